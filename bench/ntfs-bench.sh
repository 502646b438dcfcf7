#!/usr/bin/env bash
# Direct NTFS scan benchmark.
#
# Builds (once, cached outside the repository) an NTFS image with mkntfs + ntfs-3g holding
# FILES files in nested folders, about half of them deleted, a few whole folders deleted,
# and then a batch of new files that take over freed MFT records and clusters. Then times,
# side by side on the same image with a warm cache:
#   brivo     brivo-recovery-cli scan --format json IMAGE > /dev/null
#   fls       fls -r -d -p -m / IMAGE
#   undelete  ntfsundelete --scan IMAGE
#   mft-read  icat IMAGE 0 > /dev/null   (reading the $MFT alone)
# and reports the median wall time, the ratios and the peak memory (RSS) of each.
#
# Usage: bench/ntfs-bench.sh [--files N] [--runs R] [--fls-runs R] [--build-only]
#   --files N      files in the image (default 300000; 20000 is the quick check)
#   --runs R       timed runs per command (default 5); the median is reported
#   --fls-runs R   runs of fls (default 1: it takes minutes on the big image; 0 skips it)
#   --build-only   build the image and stop
# Environment:
#   BRIVO_BENCH_DIR  cache folder for images (default /var/tmp/brivo-bench)
#   BRIVO_CLI        scanner command to time (default: brivo-recovery-cli of build/ or PATH);
#                    any program that takes the image as its last argument works, e.g. a
#                    small driver that calls the scanner directly.
# Needs root (ntfs-3g mount), mkntfs, ntfs-3g, perl, sleuthkit, ntfsundelete, /usr/bin/time.
set -euo pipefail

FILES=300000
RUNS=5
FLS_RUNS=1
BUILD_ONLY=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --files) FILES="$2"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    --fls-runs) FLS_RUNS="$2"; shift 2 ;;
    --build-only) BUILD_ONLY=1; shift ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CACHE="${BRIVO_BENCH_DIR:-/var/tmp/brivo-bench}"
IMG="$CACHE/ntfs-${FILES}.img"
mkdir -p "$CACHE"

# ---------------------------------------------------------------- image
populate() {  # populate MOUNTPOINT FILES
  perl - "$1" "$2" <<'PERL'
use strict; use warnings;
my ($root, $n) = @ARGV;
my @ext = qw(txt jpg docx pdf dat);
my %made;
sub mkd { my $d = shift; return if $made{$d}++; mkdir $d or die "mkdir $d: $!"; }
sub path_of {
  my $i = shift;
  my $top = int($i / 1000); my $sub = int(($i % 1000) / 100);
  return (sprintf("%s/t%04d", $root, $top), sprintf("%s/t%04d/s%02d", $root, $top, $sub),
          sprintf("%s/t%04d/s%02d/f%07d.%s", $root, $top, $sub, $i, $ext[$i % 5]));
}
sub write_file {
  my ($p, $size, $seed) = @_;
  my $unit = sprintf("%08d-", $seed);
  my $data = substr($unit x (int($size / length($unit)) + 1), 0, $size);
  open(my $fh, '>', $p) or die "open $p: $!";
  binmode $fh; print $fh $data; close $fh or die "close $p: $!";
}
# 1. Every file: a quarter small enough to stay resident in its record, the rest 1-2 clusters.
for my $i (0 .. $n - 1) {
  my ($t, $s, $f) = path_of($i);
  mkd($t); mkd($s);
  my $size = ($i % 4 == 0) ? 40 + ($i % 300) : 700 + (($i * 37) % 6000);
  write_file($f, $size, $i);
  print STDERR "created $i\n" if $i % 50000 == 0;
}
# 2. Delete every odd file, and whole folders now and then (deleted folders with files).
my $deleted = 0;
for my $i (0 .. $n - 1) {
  my ($t, $s, $f) = path_of($i);
  my $top = int($i / 1000); my $sub = int(($i % 1000) / 100);
  next if ($top % 25 == 7 && $sub == 3);       # removed with its folder below
  if ($i % 2 == 1) { unlink $f or die "unlink $f: $!"; $deleted++; }
}
for (my $top = 7; $top * 1000 < $n; $top += 25) {
  my $s = sprintf("%s/t%04d/s03", $root, $top);
  next unless -d $s;
  opendir(my $dh, $s) or die; my @e = grep { !/^\.\.?$/ } readdir $dh; closedir $dh;
  for my $e (@e) { unlink "$s/$e" or die "unlink $s/$e: $!"; $deleted++; }
  rmdir $s or die "rmdir $s: $!";
}
# 3. New files that take over freed records and clusters.
mkd("$root/reuse");
my $m = int($n / 20);
for my $j (0 .. $m - 1) {
  my $d = sprintf("%s/reuse/r%03d", $root, int($j / 1000)); mkd($d);
  write_file(sprintf("%s/n%07d.bin", $d, $j), 8192 + ($j % 3) * 4096, 900000000 + $j);
}
print STDERR "files=$n deleted=$deleted reused=$m\n";
PERL
}

build_image() {
  local tmp="$IMG.building" mnt
  rm -f "$tmp"
  # Room for every file's clusters plus the $MFT and slack; the file stays sparse.
  truncate -s $(( FILES * 12 * 1024 + 512 * 1024 * 1024 )) "$tmp"
  mkntfs -F -Q -q -c 4096 -L bench "$tmp" >/dev/null 2>&1
  mnt="$(mktemp -d "$CACHE/mnt.XXXXXX")"
  ntfs-3g "$tmp" "$mnt"
  if ! populate "$mnt" "$FILES"; then umount "$mnt"; rmdir "$mnt"; exit 1; fi
  umount "$mnt"
  rmdir "$mnt"
  mv "$tmp" "$IMG"
}

if [[ ! -f "$IMG" ]]; then
  echo "building $IMG ($FILES files; this runs once)..." >&2
  SECONDS=0
  build_image
  echo "built in ${SECONDS}s" >&2
fi
[[ $BUILD_ONLY == 1 ]] && exit 0

# ---------------------------------------------------------------- timing
CLI="${BRIVO_CLI:-}"
if [[ -z "$CLI" ]]; then
  for c in "$HERE/../build/src/cli/brivo-recovery-cli" "$(command -v brivo-recovery-cli || true)"; do
    if [[ -n "$c" && -x "$c" ]]; then CLI="$c scan --format json"; break; fi
  done
fi

cat "$IMG" >/dev/null   # warm cache

MFT_BYTES="$(icat "$IMG" 0 | wc -c)"
RECORDS=$(( MFT_BYTES / 1024 ))
echo "image: $IMG  MFT records: $RECORDS" >&2

# Commands by name; their runs go round-robin, so that load from elsewhere on the machine
# falls on every command alike.
# shellcheck source=bench/scan-timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/scan-timing.sh"
if [[ -n "$CLI" ]]; then
  add_cmd brivo "$CLI $IMG"
  # The same scan printed as TSV: shows how much of the time and memory the JSON output
  # itself takes.
  [[ "$CLI" == *"--format json" ]] && add_cmd brivo-tsv "${CLI%json}tsv $IMG"
else
  echo "no scanner found (set BRIVO_CLI); timing the peers only" >&2
fi
add_cmd mft-read "icat $IMG 0"
add_cmd undelete "ntfsundelete --scan $IMG"

time_commands "$RUNS"
[[ "$FLS_RUNS" -gt 0 ]] && time_extra fls "fls -r -d -p -m / $IMG" "$FLS_RUNS"

print_table 10 "$RECORDS"
if [[ -n "${MED[brivo]:-}" ]]; then
  echo
  awk -v b="${MED[brivo]}" -v m="${MED[mft-read]}" -v u="${MED[undelete]}" -v mem="${PEAK[brivo]}" -v n="$RECORDS" 'BEGIN {
    printf "brivo / ntfsundelete --scan : %.2f  (target <= 1)\n", b / u;
    printf "brivo / reading the $MFT    : %.2f  (target <= 5)\n", b / m;
    printf "brivo peak bytes per record : %.1f (target <= 256)\n", mem * 1024 / n }'
fi
