#!/usr/bin/env bash
# Direct NTFS scan inside disk-image containers.
#
# Takes the NTFS bench image that bench/ntfs-bench.sh builds (FILES files, cached), converts
# it once into an E01 (ewfacquire, deflate, 1.4 GiB segments) and a QCOW2 (qemu-img), both
# cached beside it, and times with a warm cache:
#   raw    brivo-recovery-cli scan --format json IMAGE.img
#   e01    the same scan of IMAGE-e01.E01 (read through the E01 library)
#   qcow2  the same scan of IMAGE.qcow2
#   fls    fls -r -d -p -m / IMAGE-e01.E01   (the engine on the same E01; minutes)
# and reports the median wall time and peak memory (RSS) of each, the container/raw ratio
# (target <= 4) and fls/e01 (target >= 50), and the peak bytes per MFT record.
#
# Usage: bench/container-bench.sh [--files N] [--runs R] [--fls-runs R]
#   --files N     files in the image (default 300000)
#   --runs R      timed runs per scan (default 3); the median is reported
#   --fls-runs R  runs of fls (default 1; 0 skips it)
# Environment: BRIVO_BENCH_DIR (cache, default /var/tmp/brivo-bench), BRIVO_CLI (the program,
# default build/src/cli/brivo-recovery-cli or PATH).
# Needs what bench/ntfs-bench.sh needs, plus ewfacquire (ewf-tools), qemu-img (qemu-utils).
set -euo pipefail

FILES=300000
RUNS=3
FLS_RUNS=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --files) FILES="$2"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    --fls-runs) FLS_RUNS="$2"; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
IMG="$CACHE/ntfs-${FILES}.img"
E01_BASE="$CACHE/ntfs-${FILES}-e01"
E01="$E01_BASE.E01"
QCOW="$CACHE/ntfs-${FILES}.qcow2"

[[ -f "$IMG" ]] || BRIVO_BENCH_DIR="$CACHE" "$HERE/ntfs-bench.sh" --files "$FILES" --build-only
if [[ ! -f "$E01" ]]; then
  echo "converting to E01 (runs once)..." >&2
  ewfacquire -u -q -t "$E01_BASE" -c deflate:fast -f encase6 "$IMG" >/dev/null
fi
if [[ ! -f "$QCOW" ]]; then
  echo "converting to QCOW2 (runs once)..." >&2
  qemu-img convert -f raw -O qcow2 "$IMG" "$QCOW.part" && mv "$QCOW.part" "$QCOW"
fi

CLI="${BRIVO_CLI:-}"
if [[ -z "$CLI" ]]; then
  for c in "$HERE/../build/src/cli/brivo-recovery-cli" "$(command -v brivo-recovery-cli || true)"; do
    if [[ -n "$c" && -x "$c" ]]; then CLI="$c"; break; fi
  done
fi
[[ -n "$CLI" ]] || { echo "no brivo-recovery-cli found (set BRIVO_CLI)" >&2; exit 2; }

RECORDS=$(( $(icat "$IMG" 0 | wc -c) / 1024 ))
cat "$IMG" "$E01_BASE".E* "$QCOW" >/dev/null   # warm cache
echo "image: $IMG  MFT records: $RECORDS" >&2
ls -l "$IMG" "$E01_BASE".E* "$QCOW" >&2

# shellcheck source=bench/scan-timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/scan-timing.sh"
add_cmd raw "$CLI scan --format json $IMG"
add_cmd e01 "$CLI scan --format json $E01"
add_cmd qcow2 "$CLI scan --format json $QCOW"

time_commands "$RUNS"
[[ "$FLS_RUNS" -gt 0 ]] && time_extra fls "fls -r -d -p -m / $E01" "$FLS_RUNS"

print_table 8 "$RECORDS"
echo
awk -v r="${MED[raw]}" -v e="${MED[e01]}" -v q="${MED[qcow2]}" -v f="${MED[fls]:-0}" 'BEGIN {
  printf "e01 / raw    : %.2f  (target <= 4)\n", e / r;
  printf "qcow2 / raw  : %.2f  (target <= 4)\n", q / r;
  if (f > 0) printf "fls / e01    : %.1f  (target >= 50)\n", f / e }'
