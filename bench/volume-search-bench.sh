#!/usr/bin/env bash
# The search for lost volumes on a large disk whose partition table is gone.
#
# Builds (once, cached) a sparse disk image of SIZE GiB with no partition table holding
# five volumes at their old places: the FAT32, NTFS and exFAT volumes of the gpt-disk
# fixture at 1 MiB boundaries spread over the disk, an ext4 volume (mkfs.ext4) near its
# end, and the NTFS volume of the mbr-ext-disk fixture at an old cylinder boundary
# (63-sector tracks). Then times, with a warm cache:
#   aligned   brivo-recovery-cli info IMAGE            (1 MiB and 63-sector boundaries)
#   every     brivo-recovery-cli info --search IMAGE   (every sector)
#   dd        dd if=IMAGE of=/dev/null bs=4M            (the same bytes, read only)
#   peer      testdisk /log /cmd IMAGE partition_i386,analyze,search,list
# and prints each one's time, the search's speed against dd's, and the volumes each
# found (the peer's from testdisk.log), so the sets can be compared.
#
# Usage: bench/volume-search-bench.sh [--size GiB] [--runs R] [--no-every] [--no-peer]
#   --size GiB   the image's size (default 64)
#   --runs R     timed runs of the aligned search (default 3); the median is reported
#   --no-every   skip the every-sector search and dd (they read all SIZE GiB)
#   --no-peer    skip testdisk
# Environment: BRIVO_BENCH_DIR (cache, default /var/tmp/brivo-bench), BRIVO_CLI (the program,
# default build-rel/ then build/src/cli/brivo-recovery-cli or PATH).
# Needs: gzip, python3, mkfs.ext4 (e2fsprogs), testdisk for the peer.
set -euo pipefail

SIZE=64
RUNS=3
EVERY=1
PEER=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --size) SIZE="$2"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    --no-every) EVERY=0; shift ;;
    --no-peer) PEER=0; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(dirname "$HERE")"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
IMG="$CACHE/lost-table-${SIZE}g.img"
CLI="${BRIVO_CLI:-}"
if [[ -z "$CLI" ]]; then
  for c in "$ROOT/build-rel/src/cli/brivo-recovery-cli" "$ROOT/build/src/cli/brivo-recovery-cli"; do
    [[ -x "$c" ]] && { CLI="$c"; break; }
  done
  [[ -n "$CLI" ]] || CLI="$(command -v brivo-recovery-cli)"
fi
mkdir -p "$CACHE"

now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2 - $1:.3f}')"; }

if [[ ! -f "$IMG" ]]; then
  echo "building $IMG ..."
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  gzip -dc "$ROOT/tests/fixtures/gpt-disk.img.gz" >"$work/gpt.img"
  gzip -dc "$ROOT/tests/fixtures/mbr-ext-disk.img.gz" >"$work/mbr.img"
  truncate -s 64M "$work/ext4.img"
  mkfs.ext4 -q -F -E nodiscard "$work/ext4.img"
  truncate -s "${SIZE}G" "$IMG.part"
  python3 - "$work" "$IMG.part" "$SIZE" <<'EOF'
import sys
work, img, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
gib = 1 << 30
def piece(path, first_sector, sectors):
    with open(path, 'rb') as f:
        f.seek(first_sector * 512)
        return f.read(sectors * 512)
pieces = [
    (1 << 20, piece(work + '/gpt.img', 2048, 73728)),                      # FAT32 at 1 MiB
    (size * gib // 4, piece(work + '/gpt.img', 75776, 32768)),             # NTFS
    (size * gib // 2 + (5 << 20), piece(work + '/gpt.img', 108544, 16384)),  # exFAT
    ((size * gib * 3 // 4) // (16065 * 512) * 16065 * 512 + 63 * 512,
     piece(work + '/mbr.img', 2048, 24576)),                               # NTFS a track past a cylinder
    (size * gib - (256 << 20), open(work + '/ext4.img', 'rb').read()),     # ext4 near the end
]
with open(img, 'r+b') as f:
    for at, data in pieces:
        f.seek(at)
        f.write(data)
        print(f'  placed {len(data) >> 20} MiB at sector {at // 512}')
EOF
  mv "$IMG.part" "$IMG"
fi

echo "image: $IMG ($SIZE GiB, $(du -h "$IMG" | cut -f1) on disk)"
echo "program: $CLI"
cat "$IMG" >/dev/null 2>&1 || true  # warm the cache (a sparse image reads fast)

times=()
for ((i = 0; i < RUNS; i++)); do
  t0=$(now); "$CLI" info "$IMG" >"$CACHE/aligned.out"; t1=$(now)
  times+=("$(secs "$t0" "$t1")")
done
aligned=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((RUNS + 1) / 2))p")
echo
echo "aligned search: ${aligned} s (median of $RUNS: ${times[*]}; target < 5 s)"
sed -n '/^Volumes:/,$p' "$CACHE/aligned.out"

if ((EVERY)); then
  t0=$(now); dd if="$IMG" of=/dev/null bs=4M status=none; t1=$(now)
  dd_s=$(secs "$t0" "$t1")
  t0=$(now); "$CLI" info --search "$IMG" >"$CACHE/every.out"; t1=$(now)
  every_s=$(secs "$t0" "$t1")
  echo
  echo "dd bs=4M: ${dd_s} s; every-sector search: ${every_s} s; speed vs dd: $(python3 -c "print(f'{$dd_s / $every_s:.2f}x')") (target >= 0.9x)"
  sed -n '/^Volumes:/,$p' "$CACHE/every.out"
fi

if ((PEER)) && command -v testdisk >/dev/null; then
  peer="$(mktemp -d)"
  # It writes nothing to the image without a write command; its log lands in its folder.
  ln -s "$IMG" "$peer/disk.img"
  (cd "$peer" && t0=$(now) && testdisk /log /cmd disk.img partition_i386,analyze,search,list >/dev/null 2>&1; t1=$(now);
   echo; echo "testdisk analyze,search: $(secs "$t0" "$t1") s"; grep -E '^ *[0-9*PLDE] .*[0-9]+ +[0-9]+ +[0-9]+' testdisk.log | sort -u | head -40)
  rm -rf "$peer"
fi
