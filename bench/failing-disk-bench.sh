#!/usr/bin/env bash
# Failing-disk benchmark, on the 20,000-file NTFS bench image (bench/ntfs-bench.sh
# --files 20000 --build-only makes it in the cache):
#   1. image speed: brivo-recovery-cli image IMAGE OUT vs dd bs=1M, warm cache, median of
#      RUNS (aim: image >= 0.9x dd)
#   2. image + map of the same image behind a file whose reads fail with EIO in two bad
#      areas (a FUSE file, brivo-failing-fuse from the test build; needs root), against
#      ddrescue over the same file: same bytes, same bad sectors, map accepted by ddrescuelog
#   3. the direct NTFS scan with two bad 64 KiB areas in the $MFT at 0.2 s per failed read
#      (failing-disk-bench): results listed vs the clean image, time (aim: under 90 s)
#
# Usage: bench/failing-disk-bench.sh [--runs R] [--build DIR]
#   --build DIR   a build folder configured with -DBRIVO_BUILD_BENCH=ON (default: build-rel)
# Environment: BRIVO_BENCH_DIR (default /var/tmp/brivo-bench), where images are cached and
# the copies are written (they are removed at the end).
set -euo pipefail
RUNS=3
BUILD=build-rel
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) RUNS="$2"; shift 2 ;;
    --build) BUILD="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
[[ "$BUILD" = /* ]] || BUILD="$ROOT/$BUILD"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
IMG="$CACHE/ntfs-20000.img"
CLI="$BUILD/src/cli/brivo-recovery-cli"
FUSE="$BUILD/tests/brivo-failing-fuse"
SCANBENCH="$BUILD/bench/failing-disk-bench"
[[ -f "$IMG" ]] || "$HERE/ntfs-bench.sh" --files 20000 --build-only
WORK="$(mktemp -d "$CACHE/failing.XXXXXX")"
MNT="$WORK/mnt"
cleanup() {
  mountpoint -q "$MNT" 2>/dev/null && fusermount3 -u "$MNT" || true
  rm -rf "$WORK"
}
trap cleanup EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
secs() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s.%N); echo "$e - $s" | bc; }

cat "$IMG" > /dev/null  # warm cache
SIZE=$(stat -c %s "$IMG")
echo "== 1. image vs dd: $IMG ($((SIZE >> 20)) MiB), median of $RUNS"
# The image is flushed to the disk before its map says it is there (a crash must not leave
# a map claiming bytes the image lacks), so the fair peer is dd with conv=fsync; plain dd
# (whose copy may still sit in the page cache when it ends) is shown too.
dd_t=(); ddf_t=(); im_t=()
for ((i = 0; i < RUNS; i++)); do
  rm -f "$WORK/dd.img"; dd_t+=("$(secs dd if="$IMG" of="$WORK/dd.img" bs=1M conv=sparse)")
  rm -f "$WORK/dd.img"; ddf_t+=("$(secs dd if="$IMG" of="$WORK/dd.img" bs=1M conv=sparse,fsync)")
  rm -f "$WORK/im.img" "$WORK/im.img.map"; im_t+=("$(secs "$CLI" image "$IMG" "$WORK/im.img")")
done
DD=$(printf '%s\n' "${dd_t[@]}" | median); DDF=$(printf '%s\n' "${ddf_t[@]}" | median)
IM=$(printf '%s\n' "${im_t[@]}" | median)
cmp "$IMG" "$WORK/im.img" && echo "image identical to the source"
rate() { echo "$SIZE / 1048576 / $1" | bc -l; }
printf 'dd bs=1M conv=sparse:       %.2f s (%.0f MiB/s)\n' "$DD" "$(rate "$DD")"
printf 'dd bs=1M conv=sparse,fsync: %.2f s (%.0f MiB/s)\n' "$DDF" "$(rate "$DDF")"
printf 'brivo image:                %.2f s (%.0f MiB/s)\n' "$IM" "$(rate "$IM")"
printf 'speed vs dd conv=fsync: %.2fx, vs plain dd: %.2fx\n' "$(echo "$DDF / $IM" | bc -l)" "$(echo "$DD / $IM" | bc -l)"
rm -f "$WORK"/dd.img "$WORK"/im.img*

echo "== 2. image + map over a failing file vs ddrescue"
if [[ $EUID -ne 0 || ! -x "$FUSE" ]]; then
  echo "skipped: needs root and $FUSE"
else
  mkdir -p "$MNT"
  BAD="$((100 << 20)):65536,$(((300 << 20) + 4096)):1048576,$(((500 << 20) + 512)):512"
  "$FUSE" "$IMG" "$MNT" "$BAD" 0
  t1=$(secs "$CLI" image "$MNT/disk.img" "$WORK/b.img")
  t2=$(secs ddrescue -b512 "$MNT/disk.img" "$WORK/d.img" "$WORK/d.map")
  printf 'brivo image: %.2f s    ddrescue: %.2f s\n' "$t1" "$t2"
  cmp "$WORK/b.img" "$WORK/d.img" && echo "same bytes in both images"
  ddrescuelog -b512 -l- "$WORK/b.img.map" > "$WORK/b.bad" && echo "map accepted by ddrescuelog"
  ddrescuelog -b512 -l- "$WORK/d.map" > "$WORK/d.bad"
  cmp "$WORK/b.bad" "$WORK/d.bad" && echo "same bad sectors: $(wc -l < "$WORK/b.bad") x 512 B"
  ddrescuelog -t "$WORK/b.img.map" | sed -n '2,8p'
  fusermount3 -u "$MNT"
fi

echo "== 3. NTFS scan, two bad 64 KiB areas in the \$MFT, 0.2 s per failed read"
"$SCANBENCH" "$IMG" --delay-ms 200 --areas 2 --area-kib 64
