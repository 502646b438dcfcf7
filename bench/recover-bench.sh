#!/usr/bin/env bash
# Recovery benchmark: `recover --all` against the engine's own tsk_recover.
#
# On each bench image (built once by bench/ntfs-bench.sh and bench/fat32-bench.sh, cached
# outside the repository), runs side by side, round-robin, into a fresh folder on the same
# file system as the images:
#   brivo  brivo-recovery-cli recover --masks '*' --all --out DIR IMAGE
#   tsk    tsk_recover IMAGE DIR
# and reports the median wall and processor time, the peak memory (RSS, /usr/bin/time) and
# the files and bytes each one wrote. Then runs brivo once more with --report (which adds
# a SHA-256 of every file) and checks a sample of the recovered files against `icat -R`
# with the same address.
# Aim: no slower than tsk_recover on each image, peak memory under 64 MiB.
#
# fat32-30k-reused is fat32-30k after the volume filled up again: one large file takes the
# free space at its end, then 1,500 new files land in the clusters the deleted ones left, so
# most deleted files there are rated Overwritten (mcopy, built here from fat32-30k).
# Usage: bench/recover-bench.sh [--runs R] [--sample N] [--images "ntfs-20000 ntfs-300000 fat32-30k"]
#   --runs R      timed runs per command and image (default 3); the median is reported
#   --sample N    recovered files checked against icat per image (default 200; 0 skips)
#   --images L    image names in the cache, without .img
# Environment:
#   BRIVO_BENCH_DIR  cache of the images (default /var/tmp/brivo-bench; also read as
#                    BRIVO_BENCH_CACHE, the FAT32 script's name for it)
#   BRIVO_CLI        the program to time (default: an optimised build under build*/)
# Needs sleuthkit (tsk_recover, icat), GNU time, sha256sum, python3 (mtools for fat32-30k-reused).
set -euo pipefail
export LC_ALL=C.UTF-8

RUNS=3
SAMPLE=200
IMAGES="ntfs-20000 ntfs-300000 fat32-30k"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) RUNS="$2"; shift 2 ;;
    --sample) SAMPLE="$2"; shift 2 ;;
    --images) IMAGES="$2"; shift 2 ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CACHE="${BRIVO_BENCH_DIR:-${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}}"
CLI="${BRIVO_CLI:-}"
if [[ -z "$CLI" ]]; then
  for c in "$HERE"/../build-release/src/cli/brivo-recovery-cli "$HERE"/../build/src/cli/brivo-recovery-cli; do
    [[ -x "$c" ]] && { CLI="$c"; break; }
  done
fi
[[ -n "$CLI" && -x "$CLI" ]] || { echo "recover-bench: set BRIVO_CLI to an optimised brivo-recovery-cli" >&2; exit 2; }
for t in tsk_recover icat sha256sum python3 /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "recover-bench: missing tool: $t" >&2; exit 2; }
done

WORK="$(mktemp -d "$CACHE/recover-bench.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

ensure_image() {  # ensure_image NAME: builds a missing image with its own script
  local img="$CACHE/$1.img"
  [[ -f "$img" ]] && return
  case "$1" in
    ntfs-*) BRIVO_BENCH_DIR="$CACHE" "$HERE/ntfs-bench.sh" --files "${1#ntfs-}" --build-only ;;
    fat32-30k) echo "recover-bench: build $img first: BRIVO_BENCH_CACHE=$CACHE bench/fat32-bench.sh $CLI" >&2
               exit 2 ;;
    fat32-30k-reused)
      ensure_image fat32-30k
      local tmp="$img.part" free stage="$WORK/new-files"
      cp "$CACHE/fat32-30k.img" "$tmp"
      free=$(MTOOLS_SKIP_CHECK=1 mdir -i "$tmp" ::/ | awk '/bytes free/ { gsub(/[^0-9]/, "", $0); print }')
      head -c $((free - 12 * 1024 * 1024)) /dev/zero >"$WORK/fill.bin"
      MTOOLS_SKIP_CHECK=1 mcopy -Q -i "$tmp" "$WORK/fill.bin" ::/
      rm -f "$WORK/fill.bin"
      mkdir -p "$stage"
      python3 - "$stage" <<'PY'
import os, random, sys
r = random.Random(3)
for i in range(1500):
    with open(os.path.join(sys.argv[1], f"NEW{i:05d}.BIN"), "wb") as fh:
        fh.write(r.randbytes(r.choice([500, 3000, 9000, 20000])))
PY
      # The volume runs full before the last of them: what fits is enough.
      MTOOLS_SKIP_CHECK=1 mcopy -Q -i "$tmp" "$stage"/* ::/ || true
      rm -rf "$stage"
      mv "$tmp" "$img" ;;
    *) echo "recover-bench: no image $img" >&2; exit 2 ;;
  esac
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

declare -A TIMES CPU MEM FILES BYTES
run_once() {  # run_once IMAGE KIND: one timed run into a fresh folder
  local img="$1" kind="$2" out="$WORK/out-$2" tf="$WORK/time" rc=0
  rm -rf "$out"
  sync
  if [[ "$kind" == brivo* ]]; then
    local report=()
    [[ "$kind" == brivo-report ]] && report=(--report "$WORK/report.jsonl")
    /usr/bin/time -f '%e %M %U %S' -o "$tf" "$CLI" recover --masks '*' --all "${report[@]}" \
      --out "$out" "$img" >"$WORK/brivo.out" 2>"$WORK/brivo.err" || rc=$?
  else
    mkdir -p "$out"
    /usr/bin/time -f '%e %M %U %S' -o "$tf" tsk_recover "$img" "$out" >"$WORK/tsk.out" 2>"$WORK/tsk.err" || rc=$?
  fi
  if [[ $rc -ne 0 && $rc -ne 3 ]]; then
    echo "recover-bench: $kind failed on $img (exit $rc):" >&2
    tail -5 "$WORK/${kind%-report}.err" >&2
    exit 1
  fi
  # GNU time puts "Command exited with non-zero status N" first when the exit code is not 0.
  read -r secs kib usr sys < <(tail -1 "$tf")
  TIMES[$kind]+="$secs "
  CPU[$kind]+="$(awk -v u="$usr" -v s="$sys" 'BEGIN {print u + s}') "
  (( kib > ${MEM[$kind]:-0} )) && MEM[$kind]="$kib"
  FILES[$kind]="$(find "$out" -type f | wc -l)"
  BYTES[$kind]="$(du -sb --apparent-size "$out" | cut -f1)"
}

# A sample of the report's files against icat -R with the same address and the scan's
# file-system switch: every byte must agree.
check_sample() {  # check_sample IMAGE FS
  local img="$1" fs="$2" n=0 bad=0
  [[ "$SAMPLE" -gt 0 ]] || return 0
  while IFS=$'\t' read -r addr sha; do
    n=$((n + 1))
    got="$(icat -f "$fs" -R "$img" "$addr" 2>/dev/null | sha256sum | cut -d' ' -f1)"
    [[ "$got" == "$sha" ]] || { bad=$((bad + 1)); echo "  differs from icat: $addr" >&2; }
  done < <(python3 - "$WORK/report.jsonl" "$SAMPLE" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.strip()]
ok = [r for r in rows if r["outcome"] == "ok"]
step = max(1, len(ok) // int(sys.argv[2]))
for r in ok[::step][: int(sys.argv[2])]:
    print(f'{r["address"]}\t{r["sha256"]}')
PY
)
  echo "  icat check: $n sampled, $bad differ"
  [[ $bad -eq 0 ]]
}

# Wall time suffers from whatever else runs on the machine; the processor time (user +
# system, of every thread and child) does less.
printf '%-14s %-12s %9s %9s %10s %9s %12s\n' image cmd median_s cpu_s peak_KiB files bytes
for name in $IMAGES; do
  ensure_image "$name"
  img="$CACHE/$name.img"
  case "$name" in ntfs-*) fs=ntfs ;; *) fs=fat ;; esac
  cat "$img" >/dev/null  # warm cache, as both commands see it
  TIMES=() CPU=() MEM=() FILES=() BYTES=()
  for ((r = 0; r < RUNS; r++)); do
    for kind in brivo tsk; do run_once "$img" "$kind"; done
  done
  run_once "$img" brivo-report
  for kind in brivo tsk brivo-report; do
    printf '%-14s %-12s %9s %9s %10s %9s %12s\n' "$name" "$kind" "$(median <<<"${TIMES[$kind]}")" \
      "$(median <<<"${CPU[$kind]}")" "${MEM[$kind]}" "${FILES[$kind]}" "${BYTES[$kind]}"
  done
  grep -o 'Recovery finished[^\n]*' "$WORK/brivo.out" | sed 's/^/  brivo: /'
  check_sample "$img" "$fs" || echo "  WARNING: recovered bytes differ from icat -R" >&2
done
