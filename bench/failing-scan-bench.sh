#!/usr/bin/env bash
# Scans through the command line over a file whose reads fail with EIO in chosen areas,
# 0.2 s per failed read (a FUSE file, brivo-failing-fuse from the build; needs root):
#   1. the 20,000-file NTFS bench image with two bad 64 KiB areas in its $MFT
#      (aim: under 90 s), results vs the clean image
#   2. the 30,000-file FAT32 bench image with bad areas in the FAT, in the folders and in
#      file data: results vs the clean image, time
#
# Usage: bench/failing-scan-bench.sh [--build DIR] [--delay-ms MS]
#   --build DIR   a build folder with brivo-recovery-cli and the test tools (default: build-rel)
# Environment: BRIVO_BENCH_DIR (default /var/tmp/brivo-bench), where the images are cached
# (bench/ntfs-bench.sh --files 20000 --build-only and bench/fat32-bench.sh make them).
set -euo pipefail
BUILD=build-rel
DELAY=200
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD="$2"; shift 2 ;;
    --delay-ms) DELAY="$2"; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
[[ "$BUILD" = /* ]] || BUILD="$ROOT/$BUILD"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
CLI="$BUILD/src/cli/brivo-recovery-cli"
FUSE="$BUILD/tests/brivo-failing-fuse"
[[ $EUID -eq 0 && -x "$FUSE" ]] || { echo "needs root and $FUSE" >&2; exit 1; }
NTFS="$CACHE/ntfs-20000.img"
FAT="$CACHE/fat32-30k.img"
[[ -f "$NTFS" ]] || "$HERE/ntfs-bench.sh" --files 20000 --build-only
[[ -f "$FAT" ]] || "$HERE/fat32-bench.sh" --build-only
WORK="$(mktemp -d "$CACHE/failing-scan.XXXXXX")"
MNT="$WORK/mnt"
mkdir -p "$MNT"
cleanup() {
  mountpoint -q "$MNT" 2>/dev/null && fusermount3 -u "$MNT" || true
  rm -rf "$WORK"
}
trap cleanup EXIT

le() { od -An -t u"$2" -j "$3" -N "$2" "$1" | tr -d ' '; }
count() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["count"], len([r for r in d["results"] if r["condition"].startswith("Unreadable parts")]))' "$1"; }

# scan IMAGE BAD NAME: the clean scan and the one over the failing file, compared.
scan() {
  local img="$1" bad="$2" name="$3" s e
  "$CLI" scan "$img" --format json > "$WORK/clean.json" 2>/dev/null
  "$FUSE" "$img" "$MNT" "$bad" "$DELAY"
  s=$(date +%s.%N)
  "$CLI" scan "$MNT/disk.img" --format json > "$WORK/bad.json" 2> "$WORK/bad.err" || echo "exit code $?"
  e=$(date +%s.%N)
  fusermount3 -u "$MNT"
  read -r clean _ < <(count "$WORK/clean.json")
  read -r got marked < <(count "$WORK/bad.json")
  printf '%s: %.1f s, results %s of %s on the clean image, %s marked "Unreadable parts"\n' \
    "$name" "$(echo "$e - $s" | bc)" "$got" "$clean" "$marked"
  grep -E "could not be read" "$WORK/bad.err" || echo "(no unreadable line on stderr)"
}

echo "== 1. NTFS, 20,000 files, two bad 64 KiB areas in the \$MFT, $DELAY ms per failed read"
BPS=$(le "$NTFS" 2 11); SPC=$(le "$NTFS" 1 13); LCN=$(le "$NTFS" 8 48)
MFT=$((LCN * BPS * SPC))
scan "$NTFS" "$((MFT + (2 << 20))):65536,$((MFT + (8 << 20))):65536" "ntfs-20000"

echo "== 2. FAT32, 30,000 files, bad areas in the FAT, the folders and the data, $DELAY ms per failed read"
BPS=$(le "$FAT" 2 11); SPC=$(le "$FAT" 1 13); RES=$(le "$FAT" 2 14); NFATS=$(le "$FAT" 1 16); FATSZ=$(le "$FAT" 4 36)
FATOFF=$((RES * BPS)); DATA=$(((RES + NFATS * FATSZ) * BPS))
# 64 KiB of the first FAT, 4 MiB early in the data area (where the folders were written
# first), 1 MiB of file data further on.
scan "$FAT" "$((FATOFF + 4096)):65536,$((DATA + (1 << 20))):4194304,$((DATA + (200 << 20))):1048576" "fat32-30k"
