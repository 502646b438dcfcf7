#!/usr/bin/env bash
# The ext scan at scale: 300,000 files, 100,000 of them deleted, against the engine's listing.
#
#   sudo bench/ext-scale.sh [path/to/brivo-recovery-cli]
#   sudo TOOLS=fls bench/ext-scale.sh        # the engine alone
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench/ext-scale) a
# 2 GiB ext4 volume (4 KiB blocks) through a loop mount: 300 folders of 1,000 files each
# (100 to 6,000 bytes, seeded), `sync`, then 100 of the folders removed with `rm -rf`
# (100,000 files), `sync`, a wait past the journal's commit interval, umount.
# Then, each from the page cache (one untimed run first, then RUNS timed runs, the median
# kept), under GNU time:
#   fls -r -d IMG                               the engine's deleted entries
#   brivo-recovery-cli scan --show-hidden --format tsv IMG    our plain scan
#   brivo-recovery-cli scan --deep --show-hidden --format tsv IMG
# (--show-hidden: every deleted entry, as fls lists them, the empty ones too) and reports
# entries listed, wall time, peak memory and, for ours, peak memory per entry (the whole
# peak, and above the peak of the same scan on an empty volume).
# Aims: the plain scan at least 10 times faster than fls, at most 256 bytes per entry.
# Needs root (loop mount), e2fsprogs, python3, sleuthkit, GNU time.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}/ext-scale
RUNS=${RUNS:-3}
TOOLS=${TOOLS:-fls ours ours-deep}
CLI=${1:-${BRIVO_CLI:-}}
if [[ -z $CLI ]]; then
  for c in "$HERE/../build-rel/src/cli/brivo-recovery-cli" "$HERE/../build-release/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
fi
if [[ " $TOOLS " == *" ours"* ]]; then
  [[ -n $CLI && -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build), or TOOLS=fls" >&2; exit 2; }
fi
[[ $(id -u) -eq 0 ]] || { echo "ext-scale: must run as root (loop mount)" >&2; exit 2; }
for t in mkfs.ext4 python3 fls /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "ext-scale: missing tool: $t" >&2; exit 2; }
done
mkdir -p "$CACHE"
IMG=$CACHE/ext4-300k.img
EMPTY=$CACHE/ext4-empty.img

if [[ ! -f $IMG ]]; then
  MNT=$(mktemp -d)
  trap 'umount "$MNT" 2>/dev/null || true; rmdir "$MNT"' EXIT
  rm -f "$IMG.part"; truncate -s 2G "$IMG.part"
  mkfs.ext4 -q -F -b 4096 -N 400000 -E nodiscard -L SCALE "$IMG.part"
  mount -t ext4 -o loop "$IMG.part" "$MNT"
  echo "ext-scale: writing 300,000 files..." >&2
  python3 - "$MNT" <<'PY'
import os, random, sys
root = sys.argv[1]; rnd = random.Random(300)
for d in range(300):
    folder = os.path.join(root, "Projects" if d < 100 else "Archive", f"folder_{d:03d}")
    os.makedirs(folder)
    for f in range(1000):
        with open(os.path.join(folder, f"file_{d:03d}_{f:04d}.dat"), "wb") as fh:
            fh.write(rnd.randbytes(rnd.randint(100, 6000)))
PY
  sync
  echo "ext-scale: removing 100,000 of them..." >&2
  rm -rf "$MNT/Projects"
  sync
  sleep 6
  umount "$MNT"
  mv "$IMG.part" "$IMG"
fi
if [[ ! -f $EMPTY ]]; then
  truncate -s 2G "$EMPTY.part"
  mkfs.ext4 -q -F -b 4096 -N 400000 -E nodiscard -L EMPTY "$EMPTY.part"
  mv "$EMPTY.part" "$EMPTY"
fi
[[ ${BUILD_ONLY:-0} == 1 ]] && exit 0

# measure NAME IMG CMD...: median wall seconds, peak KiB and output lines into $CACHE/NAME.result
measure() {
  local name=$1 img=$2; shift 2
  local out=$CACHE/$name.out i
  "$@" "$img" >"$out" 2>/dev/null || true
  for ((i = 0; i < RUNS; i++)); do
    /usr/bin/time -f "%e %M" -o "$CACHE/$name.time.$i" "$@" "$img" >"$out" 2>/dev/null || true
  done
  python3 - "$CACHE" "$name" "$RUNS" "$out" <<'PY' >"$CACHE/$name.result"
import statistics, sys
cache, name, runs, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
t = [open(f"{cache}/{name}.time.{i}").read().split()[-2:] for i in range(runs)]
lines = sum(1 for _ in open(out, "rb"))
print(f"{statistics.median(float(a) for a, _ in t):.2f} {max(int(b) for _, b in t)} {lines}")
PY
}

for tool in $TOOLS; do
  case $tool in
    fls) echo "ext-scale: fls -r -d..." >&2; measure fls "$IMG" fls -r -d ;;
    ours)
      echo "ext-scale: scan..." >&2
      measure ours "$IMG" "$CLI" scan --show-hidden --format tsv
      measure ours-empty "$EMPTY" "$CLI" scan --show-hidden --format tsv ;;
    ours-deep)
      echo "ext-scale: scan --deep..." >&2
      measure ours-deep "$IMG" "$CLI" scan --deep --show-hidden --format tsv
      measure ours-deep-empty "$EMPTY" "$CLI" scan --deep --show-hidden --format tsv ;;
  esac
done

echo "$(basename "$IMG"): 300,000 files written, 100,000 deleted"
printf '%-10s %10s %12s %10s %14s\n' run "wall s" "peak KiB" lines "bytes/entry"
for name in fls ours ours-deep; do
  [[ -f $CACHE/$name.result ]] || continue
  read -r s kib lines <"$CACHE/$name.result"
  # Above the same scan of the empty volume (a deep scan's content search has its own buffers).
  base=0; [[ -f $CACHE/$name-empty.result ]] && read -r _ base _ <"$CACHE/$name-empty.result"
  per=""
  if [[ $name != fls ]] && ((lines > 1)); then
    per="$((kib * 1024 / (lines - 1))) ($(((kib - base) * 1024 / (lines - 1))) above empty)"
  fi
  printf '%-10s %10s %12s %10s %14s\n' "$name" "$s" "$kib" "$lines" "$per"
done
if [[ -f $CACHE/fls.result && -f $CACHE/ours.result ]]; then
  read -r fs _ _ <"$CACHE/fls.result"; read -r os _ _ <"$CACHE/ours.result"
  python3 -c "print(f'fls / scan = {$fs / max($os, 0.001):.1f}x')"
fi
