#!/usr/bin/env bash
# The NTFS deep scan's record sweep after a quick format.
#
# Builds (once, cached outside the repository) an NTFS image of SIZE MiB populated with
# FILES files in nested folders (a quarter resident, the rest 1-3 clusters), quick-formats
# it at the same size (mkntfs -Q), then writes a few new files with ntfs-3g. The
# generator's list (path, md5) of the old files is kept beside the image. Then, with a warm
# cache:
#   sweep   brivo-recovery-cli scan --deep --format tsv IMAGE
#   dd      dd if=IMAGE of=/dev/null bs=8M   (after the format nearly all of it is free)
#   check   brivo-recovery-cli recover --deep --all --out DIR IMAGE, and every old file of
#           the generator's list looked up at its original path and compared by md5
# and prints the sweep's time per GiB of free space (the free bytes from the scan's log)
# against dd's, and how many old files came back with their path, byte-exact.
#
# Usage: bench/ntfs-sweep-bench.sh [--files N] [--size MiB] [--runs R]
#   --files N   old files (default 20000)
#   --size MiB  the volume (default 2048)
#   --runs R    timed runs of the sweep and dd (default 3); the median is reported
# Environment: BRIVO_BENCH_DIR (cache, default /var/tmp/brivo-bench), BRIVO_CLI (the program,
# default build-rel/ then build/ brivo-recovery-cli, or PATH).
# Needs root (ntfs-3g mount), mkntfs, ntfs-3g, perl, md5sum.
set -euo pipefail

FILES=20000
SIZE=2048
RUNS=3
while [[ $# -gt 0 ]]; do
  case "$1" in
    --files) FILES="$2"; shift 2 ;;
    --size) SIZE="$2"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(dirname "$HERE")"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
IMG="$CACHE/ntfs-qformat-${FILES}-${SIZE}M.img"
LIST="$IMG.files.tsv"
mkdir -p "$CACHE"

CLI="${BRIVO_CLI:-}"
if [[ -z $CLI ]]; then
  for c in "$ROOT/build-rel/src/cli/brivo-recovery-cli" "$ROOT/build/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
  [[ -n $CLI ]] || CLI=$(command -v brivo-recovery-cli) || { echo "no brivo-recovery-cli" >&2; exit 1; }
fi

populate() {  # MOUNTPOINT FILES LIST
  perl - "$1" "$2" "$3" <<'PERL'
use strict; use warnings; use Digest::MD5 qw(md5_hex);
my ($root, $n, $list) = @ARGV;
open(my $lh, '>', $list) or die "$list: $!";
my %made;
sub mkd { my $d = shift; return if $made{$d}++; mkdir $d or die "mkdir $d: $!"; }
for my $i (0 .. $n - 1) {
  my $top = sprintf("d%03d", int($i / 500)); my $sub = sprintf("s%02d", int(($i % 500) / 50));
  mkd("$root/$top"); mkd("$root/$top/$sub");
  my $rel = "/$top/$sub/f$i." . (qw(txt jpg doc pdf))[$i % 4];
  my $size = ($i % 4 == 0) ? 30 + ($i % 400) : 600 + (($i * 131) % 11000);
  my $unit = sprintf("%09d.", $i);
  my $data = substr($unit x (int($size / length($unit)) + 1), 0, $size);
  open(my $fh, '>', "$root$rel") or die "$rel: $!"; binmode $fh; print $fh $data; close $fh or die;
  print $lh "$rel\t$size\t" . md5_hex($data) . "\n";
}
close $lh;
PERL
}

build_image() {
  local tmp="$IMG.building" mnt
  rm -f "$tmp"
  truncate -s "${SIZE}M" "$tmp"
  mkntfs -F -Q -q -c 4096 -L OLD "$tmp" >/dev/null 2>&1
  mnt="$(mktemp -d "$CACHE/mnt.XXXXXX")"
  ntfs-3g "$tmp" "$mnt"
  if ! populate "$mnt" "$FILES" "$LIST.building"; then umount "$mnt"; rmdir "$mnt"; exit 1; fi
  umount "$mnt"
  mkntfs -F -Q -q -c 4096 -L NEW "$tmp" >/dev/null 2>&1
  ntfs-3g "$tmp" "$mnt"
  mkdir "$mnt/new"
  for i in $(seq 1 12); do head -c $((i * 3000)) /dev/urandom >"$mnt/new/n$i.bin"; done
  umount "$mnt"
  rmdir "$mnt"
  mv "$LIST.building" "$LIST"
  mv "$tmp" "$IMG"
}

if [[ ! -f $IMG || ! -f $LIST ]]; then
  echo "building $IMG ($FILES files, ${SIZE} MiB; once)..." >&2
  SECONDS=0
  build_image
  echo "built in ${SECONDS}s" >&2
fi

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
timeit() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

cat "$IMG" >/dev/null  # warm the cache
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
sweep=$(for ((r = 0; r < RUNS; r++)); do timeit "$CLI" scan --deep --format tsv "$IMG"; done | median)
ddt=$(for ((r = 0; r < RUNS; r++)); do timeit dd if="$IMG" of=/dev/null bs=8M; done | median)
"$CLI" scan --deep --verbose --format tsv "$IMG" >"$WORK/scan.tsv" 2>"$WORK/scan.log" || true
free=$(grep -o 'free_bytes=[0-9]*' "$WORK/scan.log" | head -1 | cut -d= -f2 || true)
[[ -n $free ]] || free=$(stat -c %s "$IMG")
size=$(stat -c %s "$IMG")

"$CLI" recover --deep --all --out "$WORK/out" "$IMG" >"$WORK/recover.txt" 2>&1 || true
read -r listed exact < <(awk -F'\t' -v out="$WORK/out" '
  { path = out $1; total++
    if ((getline line < path) >= 0) { close(path); listed++
      cmd = "md5sum < \"" path "\""; cmd | getline sum; close(cmd); split(sum, s, " ")
      if (s[1] == $3) exact++ } }
  END { print listed + 0, exact + 0 }' "$LIST")
total=$(wc -l <"$LIST")

echo "image: $IMG ($((size / 1048576)) MiB, free swept: $((free / 1048576)) MiB, old files: $total)"
printf 'sweep (scan --deep): %.2f s  = %.2f s per GiB of free space\n' "$sweep" "$(echo "$sweep * 1073741824 / $free" | bc -l)"
printf 'dd over the image:   %.2f s  = %.2f s per GiB\n' "$ddt" "$(echo "$ddt * 1073741824 / $size" | bc -l)"
printf 'sweep speed vs dd:   %.2fx\n' "$(echo "($free / $sweep) / ($size / $ddt)" | bc -l)"
echo "old files at their original path: $listed / $total; byte-exact: $exact / $total"
