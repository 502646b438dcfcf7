# SPDX-License-Identifier: GPL-3.0-or-later
# Round-robin timing of scan commands, shared by the NTFS and container benchmarks (sourced,
# not run). add_cmd NAME "COMMAND"; time_commands RUNS; then time_extra NAME "COMMAND" RUNS
# for a slow peer timed apart; print_table WIDTH RECORDS fills MED and PEAK and prints the
# median wall time, the peak RSS and the peak bytes per MFT record of each command.
declare -A CMD TIMES MEMS MED PEAK
NAMES=()
add_cmd() { NAMES+=("$1"); CMD[$1]="$2"; TIMES[$1]=""; MEMS[$1]=""; }

TF="$(mktemp)"
trap 'rm -f "$TF"' EXIT
run_once() {  # run_once NAME: one wall time and one peak RSS
  local name="$1" t0 t1 rc=0
  t0=$EPOCHREALTIME
  # shellcheck disable=SC2086
  /usr/bin/time -f '%M' -o "$TF" ${CMD[$name]} >/dev/null 2>&1 || rc=$?
  t1=$EPOCHREALTIME
  [[ $rc == 0 ]] || echo "warning: $name exited with status $rc" >&2
  TIMES[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f", b - a}') "
  MEMS[$name]+="$(tail -n 1 "$TF") "
}
time_commands() {
  local r name
  for ((r = 0; r < $1; r++)); do
    for name in "${NAMES[@]}"; do run_once "$name"; done
  done
}
time_extra() {  # time_extra NAME COMMAND RUNS: listed last, timed after the others
  local r
  add_cmd "$1" "$2"
  for ((r = 0; r < $3; r++)); do run_once "$1"; done
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
maximum() { tr ' ' '\n' | grep . | sort -g | tail -1; }
print_table() {  # print_table WIDTH RECORDS
  local w="$1" n="$2" name
  echo
  printf "%-${w}s %10s %12s %14s\n" command median_s peak_KiB bytes/record
  for name in "${NAMES[@]}"; do
    MED[$name]="$(median <<<"${TIMES[$name]}")"
    PEAK[$name]="$(maximum <<<"${MEMS[$name]}")"
    printf "%-${w}s %10.3f %12d %14.1f\n" "$name" "${MED[$name]}" "${PEAK[$name]}" \
      "$(awk -v m="${PEAK[$name]}" -v n="$n" 'BEGIN {print m * 1024 / n}')"
  done
}
