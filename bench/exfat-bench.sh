#!/usr/bin/env bash
# Direct exFAT scan, recovery and deep sweep against the engine.
#
#   sudo bench/exfat-bench.sh [EXFAT_BENCH]
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench) an exFAT image
# made with mkfs.exfat and mount.exfat-fuse on a loop device: 30,000 files in nested
# folders, about half of them deleted (six folders whole), then a few new files. Then
# times, round-robin, the medians of RUNS runs:
#   exfat-bench IMAGE                     vs  fls -r -d -p IMAGE         (aim: >= 10x faster)
#   exfat-bench IMAGE --out DIR           vs  tsk_recover IMAGE DIR      (aim: <= 1x)
#   exfat-bench IMAGE --deep minus scan   vs  dd of the image            (sweep time per GiB)
# and the peak memory per result. EXFAT_BENCH is the bench program of an optimised build
# (-DBRIVO_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release).
# Needs root (loop device, FUSE), exfatprogs, exfat-fuse, sleuthkit, python3.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}
IMG=$CACHE/exfat-30k.img
RUNS=${RUNS:-5}
BENCH=${1:-}
if [[ -z $BENCH ]]; then
  for c in "$HERE/../build-release/bench/exfat-bench" "$HERE/../build/bench/exfat-bench"; do
    [[ -x $c ]] && { BENCH=$c; break; }
  done
fi
[[ -n $BENCH && -x $BENCH ]] || { echo "usage: $0 path/to/exfat-bench (an optimised build)" >&2; exit 2; }
for t in mkfs.exfat mount.exfat-fuse losetup fls tsk_recover python3; do
  command -v "$t" >/dev/null || { echo "exfat-bench: missing tool: $t" >&2; exit 2; }
done

TOP=30 SUB=20 PER=50  # 30,000 files
GONE_DIRS=6

build_image() {
  local tmp=$IMG.part mnt loop
  mnt=$(mktemp -d /tmp/brivo-exfat-bench.XXXXXX)
  rm -f "$tmp"
  truncate -s 1G "$tmp"
  mkfs.exfat -L BENCH30K -c 4K "$tmp" >/dev/null
  loop=$(losetup -f --show "$tmp")
  trap 'umount "$mnt" 2>/dev/null || true; losetup -d "$loop" 2>/dev/null || true; rmdir "$mnt"' RETURN
  mount.exfat-fuse "$loop" "$mnt" 2>/dev/null
  echo "exfat-bench: writing $((TOP * SUB * PER)) files through FUSE..." >&2
  python3 - "$mnt" $TOP $SUB $PER $GONE_DIRS <<'PY'
import os, shutil, sys
root, top, sub, per, gone = sys.argv[1], *map(int, sys.argv[2:])
def folder(t, s):
    return os.path.join(root, f"Project folder {t:02d}", f"Subfolder number {s:02d} with a long name")
for t in range(top):
    for s in range(sub):
        d = folder(t, s)
        os.makedirs(d)
        for f in range(per):
            n = (t * sub + s) * per + f
            with open(os.path.join(d, f"Document {n:05d} with a fairly long name.txt"), "w") as fh:
                fh.write(f"document {n}\n" * (1 + n % 400))
for t in range(gone):
    shutil.rmtree(folder(t, sub - 1))
for t in range(top):
    for s in range(sub):
        if t < gone and s == sub - 1:
            continue
        for f in range(1, per, 2):
            n = (t * sub + s) * per + f
            os.remove(os.path.join(folder(t, s), f"Document {n:05d} with a fairly long name.txt"))
for i in range(20):
    with open(os.path.join(root, f"new file {i}.bin"), "wb") as fh:
        fh.write(os.urandom(200000))
PY
  umount "$mnt"
  mv "$tmp" "$IMG"
}

mkdir -p "$CACHE"
[[ -f $IMG ]] || build_image
echo "image: $IMG ($(du -h --apparent-size "$IMG" | cut -f1)), files $((TOP * SUB * PER))"
echo "deleted files listed by fls: $(fls -r -d -p "$IMG" | grep -c '^r/r' || true)"

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }
OUT=$(mktemp -d /var/tmp/brivo-exfat-out.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
: >"$OUT/scan"; : >"$OUT/fls"; : >"$OUT/deep"; : >"$OUT/dd"; : >"$OUT/rec"; : >"$OUT/tsk"
for ((i = 0; i < RUNS; i++)); do
  t=$(now); "$BENCH" "$IMG" >"$OUT/scan.txt"; echo "$(now) - $t" | bc >>"$OUT/scan"
  t=$(now); fls -r -d -p "$IMG" >/dev/null; echo "$(now) - $t" | bc >>"$OUT/fls"
  t=$(now); "$BENCH" "$IMG" --deep >"$OUT/deep.txt"; echo "$(now) - $t" | bc >>"$OUT/deep"
  t=$(now); dd if="$IMG" of=/dev/null bs=1M status=none; echo "$(now) - $t" | bc >>"$OUT/dd"
  rm -rf "$OUT/r" "$OUT/t"; mkdir -p "$OUT/r"
  t=$(now); "$BENCH" "$IMG" --out "$OUT/r" >"$OUT/rec.txt"; echo "$(now) - $t" | bc >>"$OUT/rec"
  t=$(now); tsk_recover "$IMG" "$OUT/t" >/dev/null; echo "$(now) - $t" | bc >>"$OUT/tsk"
done
scan=$(median <"$OUT/scan") fls=$(median <"$OUT/fls") deep=$(median <"$OUT/deep") dd=$(median <"$OUT/dd")
rec=$(median <"$OUT/rec") tsk=$(median <"$OUT/tsk")
cat "$OUT/scan.txt" "$OUT/deep.txt" "$OUT/rec.txt"
results=$(awk '/^scan:/ { print $4 }' "$OUT/scan.txt")
peak=$(awk '/^peak memory/ { print $3 }' "$OUT/scan.txt")
printf 'scan %.3f s vs fls -r -d -p %.3f s: %.1fx faster\n' "$scan" "$fls" "$(echo "$fls / $scan" | bc -l)"
printf 'recover %.3f s vs tsk_recover %.3f s: %.2fx the time\n' "$rec" "$tsk" "$(echo "$rec / $tsk" | bc -l)"
printf 'deep sweep %.3f s beyond the scan over a 1 GiB volume; dd reads it in %.3f s\n' \
  "$(echo "$deep - $scan" | bc -l)" "$dd"
printf 'peak memory %s KiB for %s results (%.0f bytes per result)\n' "$peak" "$results" "$(echo "$peak * 1024 / $results" | bc -l)"
