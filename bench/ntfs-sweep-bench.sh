#!/usr/bin/env bash
# The NTFS deep scan's record sweep: after a quick format, or over a volume whose two boot
# sectors are lost.
#
# Builds (once, cached outside the repository) an NTFS image of SIZE MiB populated with
# FILES files in nested folders (a quarter resident, the rest 1-3 clusters). Then either
#   (default)    quick-formats it at the same size (mkntfs -Q) and writes a few new files
#                with ntfs-3g: the old files are in free clusters only;
#   --lost-boot  zeroes its boot sector and the backup in its last sector: nothing names
#                the volume, and the deep scan searches every sector for its records.
# The generator's list (path, md5) of the old files is kept beside the image, and the image
# is written out in full (no holes), so reading it costs what reading a disk does. Then:
#   sweep   brivo-recovery-cli scan --deep --verbose: the time of the reading of the free
#           space (the whole volume without a boot sector) that the sweep shares with the
#           content search, from the sweep's log line, and the whole deep scan
#   dd      dd if=IMAGE of=/dev/null bs=8M
#   check   brivo-recovery-cli recover --deep --all --out DIR IMAGE, and every old file of
#           the generator's list looked up at its original path and compared by md5
# and prints the sweep's time per GiB of what it swept against dd's per GiB of the image,
# and how many old files came back with their path, byte-exact.
#
# Usage: bench/ntfs-sweep-bench.sh [--files N] [--size MiB] [--runs R] [--lost-boot] [--cold]
#   --files N    old files (default 20000)
#   --size MiB   the volume (default 2048)
#   --runs R     timed runs of the sweep and dd (default 3); the median is reported
#   --lost-boot  the lost-boot-sector image instead of the quick-formatted one
#   --cold       drop the page cache before every timed run (root), as after a fresh
#                attach of the disk; otherwise the image is read once first (warm)
# Environment: BRIVO_BENCH_DIR (cache, default /var/tmp/brivo-bench), BRIVO_CLI (the program,
# default build-rel/ then build/ brivo-recovery-cli, or PATH).
# Needs root (ntfs-3g mount), mkntfs, ntfs-3g, perl, md5sum.
set -euo pipefail

FILES=20000
SIZE=2048
RUNS=3
LOST_BOOT=0
COLD=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --lost-boot) LOST_BOOT=1; shift ;;
    --cold) COLD=1; shift ;;
    --files) FILES="$2"; shift 2 ;;
    --size) SIZE="$2"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    -h|--help) sed -n '2,32p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(dirname "$HERE")"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
KIND=qformat
[[ $LOST_BOOT == 1 ]] && KIND=lostboot
IMG="$CACHE/ntfs-${KIND}-${FILES}-${SIZE}M.dense.img"
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
  if [[ $LOST_BOOT == 1 ]]; then
    dd if=/dev/zero of="$tmp" bs=512 count=1 conv=notrunc status=none
    dd if=/dev/zero of="$tmp" bs=512 seek=$((SIZE * 2048 - 1)) count=1 conv=notrunc status=none
  else
    mkntfs -F -Q -q -c 4096 -L NEW "$tmp" >/dev/null 2>&1
    ntfs-3g "$tmp" "$mnt"
    mkdir "$mnt/new"
    for i in $(seq 1 12); do head -c $((i * 3000)) /dev/urandom >"$mnt/new/n$i.bin"; done
    umount "$mnt"
  fi
  rmdir "$mnt"
  cp --sparse=never "$tmp" "$tmp.dense" && rm -f "$tmp"
  mv "$LIST.building" "$LIST"
  mv "$tmp.dense" "$IMG"
}

if [[ ! -f $IMG || ! -f $LIST ]]; then
  echo "building $IMG ($FILES files, ${SIZE} MiB; once)..." >&2
  SECONDS=0
  build_image
  echo "built in ${SECONDS}s" >&2
fi

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
settle() {
  if [[ $COLD == 1 ]]; then sync; echo 3 >/proc/sys/vm/drop_caches; else cat "$IMG" >/dev/null; fi
}
timeit() { local s e; settle; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
# The sweep's own time, from its log line, and the whole deep scan's.
sweepit() {
  local s e ms
  settle
  s=$(date +%s.%N)
  "$CLI" scan --deep --verbose --format tsv "$IMG" >/dev/null 2>"$WORK/scan.log" || true
  e=$(date +%s.%N)
  ms=$(grep -o 'NTFS record sweep: .* ms=[0-9]*' "$WORK/scan.log" | grep -o 'ms=[0-9]*' | cut -d= -f2)
  echo "$(echo "$ms / 1000" | bc -l) $(echo "$e - $s" | bc -l)"
}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
times=$(for ((r = 0; r < RUNS; r++)); do sweepit; done)
sweep=$(awk '{ print $1 }' <<<"$times" | median)
deep=$(awk '{ print $2 }' <<<"$times" | median)
ddt=$(for ((r = 0; r < RUNS; r++)); do timeit dd if="$IMG" of=/dev/null bs=8M; done | median)
swept=$(grep -o 'NTFS record sweep: [a-z_]*=[0-9]*' "$WORK/scan.log" | head -1 | cut -d= -f2 || true)
size=$(stat -c %s "$IMG")
[[ -n $swept ]] || swept=$size

"$CLI" recover --deep --all --out "$WORK/out" "$IMG" >"$WORK/recover.txt" 2>&1 || true
(cd "$WORK/out" && find . -type f -print0 | xargs -0 -r md5sum) | sed 's|^\([0-9a-f]*\)  \./|\1\t/|' >"$WORK/got.tsv"
read -r listed exact < <(awk -F'\t' '
  NR == FNR { sum[$2] = $1; next }
  { total++; if ($1 in sum) { listed++; if (sum[$1] == $3) exact++ } }
  END { print listed + 0, exact + 0 }' "$WORK/got.tsv" "$LIST")
total=$(wc -l <"$LIST")
geometry=$(grep -o 'NTFS geometry worked out.*' "$WORK/scan.log" | head -1 || true)

cache=warm
[[ $COLD == 1 ]] && cache="cold (page cache dropped before each run)"
echo "image: $IMG ($((size / 1048576)) MiB, swept: $((swept / 1048576)) MiB, old files: $total, cache: $cache)"
[[ -n $geometry ]] && echo "$geometry"
# The sweep looks at the blocks the content search reads: its time is the pass of both.
printf 'sweep + content search (one reading): %.3f s  = %.3f s per GiB swept\n' "$sweep" "$(echo "$sweep * 1073741824 / $swept" | bc -l)"
printf 'whole deep scan:     %.3f s\n' "$deep"
printf 'dd over the image:   %.3f s  = %.3f s per GiB\n' "$ddt" "$(echo "$ddt * 1073741824 / $size" | bc -l)"
printf 'sweep speed vs dd:   %.2fx\n' "$(echo "($swept / $sweep) / ($size / $ddt)" | bc -l)"
echo "old files at their original path: $listed / $total; byte-exact: $exact / $total"
