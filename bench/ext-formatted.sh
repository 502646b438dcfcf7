#!/usr/bin/env bash
# A formatted ext4 card: the deep scan against PhotoRec's free-space search.
#
#   sudo bench/ext-formatted.sh [path/to/brivo-recovery-cli]
#   sudo TOOLS=photorec bench/ext-formatted.sh      # PhotoRec alone
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench/ext-formatted) a
# 512 MiB card: first filled with seeded random bytes (a used card, not a new one), then
# made ext4 and given 4,002 old files through a loop mount (the content-search samples of
# tests/fixtures/carve, 174 copies each, in 58 folders), then formatted again with
# `mkfs.ext4 -E nodiscard` (the new file system leaves the old blocks, and writes neither
# its inode tables past the first groups nor most of its journal), then given 3 new JPEGs,
# one of them deleted. Then, from the page cache (one untimed run, then one timed):
#   brivo-recovery-cli scan --deep --format tsv IMG   results listed
#   photorec /cmd IMG partition_none,...,freespace,search   files written
# with wall time and peak memory (GNU time), and PhotoRec's old files back byte-exact (each
# copy counted, by md5); with EXACT=1 ours too, by `recover --deep --all` (slow while ext
# files are copied through the engine's icat, one process each).
# Needs root (loop mount), e2fsprogs, python3, testdisk, GNU time.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}/ext-formatted
SAMPLES=$HERE/../tests/fixtures/carve
TOOLS=${TOOLS:-ours photorec}
CLI=${1:-${BRIVO_CLI:-}}
if [[ -z $CLI ]]; then
  for c in "$HERE/../build-rel/src/cli/brivo-recovery-cli" "$HERE/../build-release/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
fi
if [[ " $TOOLS " == *" ours "* ]]; then
  [[ -n $CLI && -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build), or TOOLS=photorec" >&2; exit 2; }
  CLI=$(realpath "$CLI")
fi
[[ $(id -u) -eq 0 ]] || { echo "ext-formatted: must run as root (loop mount)" >&2; exit 2; }
for t in mkfs.ext4 python3 photorec /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "ext-formatted: missing tool: $t" >&2; exit 2; }
done
mkdir -p "$CACHE"
IMG=$CACHE/ext4-formatted.img
# The old files: every sample but the script that makes them.
samples() { find "$SAMPLES" -maxdepth 1 -type f ! -name '*.py' | sort; }

if [[ ! -f $IMG ]]; then
  MNT=$(mktemp -d)
  trap 'umount "$MNT" 2>/dev/null || true; rmdir "$MNT"' EXIT
  echo "ext-formatted: making the card..." >&2
  python3 - "$IMG.part" <<'PY'
import random, sys
rnd = random.Random(512)
with open(sys.argv[1], "wb") as f:
    for _ in range(512):
        f.write(rnd.randbytes(1 << 20))
PY
  mkfs.ext4 -q -F -E nodiscard -L CARD "$IMG.part"
  mount -t ext4 -o loop "$IMG.part" "$MNT"
  n=0
  for ((c = 0; c < 174; c++)); do
    d=$MNT/DCIM/$((100 + c / 3))CARD
    mkdir -p "$d"
    while read -r s; do
      n=$((n + 1))
      cp "$s" "$d/$(printf '%05d' "$n")_${s##*/}"
    done < <(samples)
  done
  sync
  umount "$MNT"
  mkfs.ext4 -q -F -E nodiscard -L CARD "$IMG.part"
  mount -t ext4 -o loop "$IMG.part" "$MNT"
  mkdir "$MNT/DCIM"
  for i in 1 2 3; do cp "$SAMPLES/camera.jpg" "$MNT/DCIM/NEW_$i.jpg"; printf '%d' "$i" >>"$MNT/DCIM/NEW_$i.jpg"; done
  sync
  rm "$MNT/DCIM/NEW_2.jpg"
  sync
  umount "$MNT"
  mv "$IMG.part" "$IMG"
  echo "$n" >"$CACHE/old-files"
fi

samples | xargs md5sum | cut -d' ' -f1 | sort -u >"$CACHE/sample-md5s"
exact() { # DIR: files written whose md5 is a sample's (every copy counted)
  find "$1" -type f -exec md5sum {} + | cut -d' ' -f1 | grep -cFxf "$CACHE/sample-md5s" || true
}
timed() { # OUT CMD...: "wall peakKiB" into OUT, the command's output into OUT.stdout
  local out=$1; shift
  "$@" >/dev/null 2>&1 || true
  /usr/bin/time -f "%e %M" -o "$out" "$@" >"$out.stdout" 2>/dev/null || true
}

echo "card: $(du -h --apparent-size "$IMG" | cut -f1), $(cat "$CACHE/old-files") old files before the format"
for tool in $TOOLS; do
  case $tool in
    ours)
      timed "$CACHE/ours.time" "$CLI" scan --deep --format tsv "$IMG"
      listed=$(($(wc -l <"$CACHE/ours.time.stdout") - 1))
      read -r s kib < <(tail -n 1 "$CACHE/ours.time")
      echo "ours scan --deep:      $listed listed, ${s} s, peak $((kib / 1024)) MiB"
      if [[ ${EXACT:-0} == 1 ]]; then
        out=$(mktemp -d)
        /usr/bin/time -f "%e %M" -o "$CACHE/ours-recover.time" "$CLI" recover --deep --all --out "$out/files" "$IMG" >/dev/null 2>&1 || true
        read -r rs rkib < <(tail -n 1 "$CACHE/ours-recover.time")
        echo "ours recover --deep --all: $(find "$out/files" -type f | wc -l) written, $(exact "$out/files") old files byte-exact, ${rs} s, peak $((rkib / 1024)) MiB"
        rm -rf "$out"
      fi ;;
    photorec)
      out=$(mktemp -d)
      mkdir -p "$out/warm" "$out/files"
      # Its log goes into the working folder; the first run fills the page cache.
      (cd "$out" && photorec /log /d "$out/warm/r" /cmd "$IMG" partition_none,options,paranoid,fileopt,everything,enable,freespace,search >/dev/null 2>&1) || true
      rm -rf "$out/warm"
      (cd "$out" && /usr/bin/time -f "%e %M" -o "$CACHE/photorec.time" photorec /log /d "$out/files/r" /cmd "$IMG" \
        partition_none,options,paranoid,fileopt,everything,enable,freespace,search >/dev/null 2>&1) || true
      read -r s kib < <(tail -n 1 "$CACHE/photorec.time")
      echo "photorec (free space): $(find "$out/files" -type f ! -name report.xml | wc -l) written, $(exact "$out/files") old files byte-exact, ${s} s, peak $((kib / 1024)) MiB"
      rm -rf "$out" ;;
  esac
done
