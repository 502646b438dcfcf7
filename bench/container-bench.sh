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

declare -A CMD TIMES MEMS
NAMES=()
add_cmd() { NAMES+=("$1"); CMD[$1]="$2"; TIMES[$1]=""; MEMS[$1]=""; }
add_cmd raw "$CLI scan --format json $IMG"
add_cmd e01 "$CLI scan --format json $E01"
add_cmd qcow2 "$CLI scan --format json $QCOW"

TF="$(mktemp)"
trap 'rm -f "$TF"' EXIT
run_once() {
  local name="$1" t0 t1 rc=0
  t0=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$TF" ${CMD[$name]} >/dev/null 2>&1 || rc=$?
  t1=$EPOCHREALTIME
  [[ $rc == 0 ]] || echo "warning: $name exited with status $rc" >&2
  TIMES[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f", b - a}') "
  MEMS[$name]+="$(tail -n 1 "$TF") "
}
for ((r = 0; r < RUNS; r++)); do
  for name in "${NAMES[@]}"; do run_once "$name"; done
done
if [[ "$FLS_RUNS" -gt 0 ]]; then
  add_cmd fls "fls -r -d -p -m / $E01"
  for ((r = 0; r < FLS_RUNS; r++)); do run_once fls; done
fi

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
maximum() { tr ' ' '\n' | grep . | sort -g | tail -1; }
declare -A MED PEAK
echo
printf '%-8s %10s %12s %14s\n' command median_s peak_KiB bytes/record
for name in "${NAMES[@]}"; do
  MED[$name]="$(median <<<"${TIMES[$name]}")"
  PEAK[$name]="$(maximum <<<"${MEMS[$name]}")"
  printf '%-8s %10.3f %12d %14.1f\n' "$name" "${MED[$name]}" "${PEAK[$name]}" \
    "$(awk -v m="${PEAK[$name]}" -v n="$RECORDS" 'BEGIN {print m * 1024 / n}')"
done
echo
awk -v r="${MED[raw]}" -v e="${MED[e01]}" -v q="${MED[qcow2]}" -v f="${MED[fls]:-0}" 'BEGIN {
  printf "e01 / raw    : %.2f  (target <= 4)\n", e / r;
  printf "qcow2 / raw  : %.2f  (target <= 4)\n", q / r;
  if (f > 0) printf "fls / e01    : %.1f  (target >= 50)\n", f / e }'
