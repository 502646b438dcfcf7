#!/usr/bin/env bash
# Deep NTFS scan after a quick format: what comes back, and how fast free space is read.
#
#   bench/ntfs-qformat-bench.sh [BRIVO_CLI]
#
# Builds once (cached in $BRIVO_BENCH_DIR, default /var/tmp/brivo-bench) a 2 GiB NTFS
# image: mkntfs -Q, FILES files (default 3000) of 0.6-300 KB in 30 folders written with
# ntfs-3g, then mkntfs -Q over it and 20 new files. Then reports:
#   - files written before the format that `recover --deep --all` gives back under their
#     original path, and how many of those are byte-exact (against the generator's MD5s);
#   - median times of `scan --deep`, `scan` and `dd` of the image (free space is almost
#     all of it), and dd's time as a share of the deep scan's.
# Needs root (loop device, ntfs-3g mount), mkntfs, ntfs-3g, python3.
set -euo pipefail
export LC_ALL=C.UTF-8
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}
FILES=${FILES:-3000}
RUNS=${RUNS:-3}
CLI=${1:-${BRIVO_CLI:-$HERE/../build/src/cli/brivo-recovery-cli}}
[[ -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build)" >&2; exit 2; }
IMG=$CACHE/ntfs-qformat-$FILES.img
LIST=$IMG.md5
mkdir -p "$CACHE"

if [[ ! -f $IMG || ! -f $LIST ]]; then
  tmp=$IMG.part
  m=$(mktemp -d)
  rm -f "$tmp"
  truncate -s 2G "$tmp"
  mkntfs -F -Q -q "$tmp" >/dev/null 2>&1
  loop=$(losetup -f --show "$tmp")
  ntfs-3g "$loop" "$m"
  python3 "$HERE/ntfs-qformat-fill.py" "$m" "$FILES" "$LIST"
  umount "$m"
  losetup -d "$loop"
  mkntfs -F -Q -q "$tmp" >/dev/null 2>&1
  loop=$(losetup -f --show "$tmp")
  ntfs-3g "$loop" "$m"
  for i in $(seq 1 20); do head -c 50000 /dev/urandom >"$m/new $i.bin"; done
  umount "$m"
  losetup -d "$loop"
  rmdir "$m"
  mv "$tmp" "$IMG"
fi

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
timeit() {
  local s e
  s=$(date +%s%N)
  "$@" >/dev/null 2>&1
  e=$(date +%s%N)
  echo $(((e - s) / 1000000))
}
deep=() fast=() ddt=()
for ((r = 0; r < RUNS; r++)); do
  deep+=("$(timeit "$CLI" scan --deep "$IMG")")
  fast+=("$(timeit "$CLI" scan "$IMG")")
  ddt+=("$(timeit dd if="$IMG" of=/dev/null bs=4M)")
done
d=$(printf '%s\n' "${deep[@]}" | median)
f=$(printf '%s\n' "${fast[@]}" | median)
t=$(printf '%s\n' "${ddt[@]}" | median)

out=$(mktemp -d)
"$CLI" recover --deep --all --out "$out/r" "$IMG" >/dev/null 2>&1 || true
python3 "$HERE/ntfs-qformat-fill.py" --check "$LIST" "$out/r"
rm -rf "$out"
echo "median ms: scan --deep $d   scan $f   dd $t   dd / deep = $(awk -v a="$t" -v b="$d" 'BEGIN { printf "%.2f", a / b }')"
