#!/usr/bin/env bash
# Files in pieces found by their content, side by side with PhotoRec: see
# fragments-bench.py for the volumes and what is counted. Run by hand:
#
#   bench/fragments-bench.sh [PHOTOREC_BRUTE_FORCE_SECONDS]
#
# Builds an optimised carve-bench into $BRIVO_BENCH_CACHE/fragments/build (default
# /var/tmp/brivo-bench), outside the repository, and keeps the made files there for the
# next run. Needs imagemagick, libjpeg-turbo-progs (cjpeg), zip, dosfstools, mtools,
# testdisk (photorec), GNU time, python3.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}/fragments
for t in convert cjpeg zip mkfs.fat mcopy photorec /usr/bin/time python3 cmake; do
  command -v "$t" >/dev/null || { echo "fragments-bench: missing tool: $t" >&2; exit 2; }
done
mkdir -p "$CACHE"
cmake -S "$HERE/.." -B "$CACHE/build" -DCMAKE_BUILD_TYPE=Release -DBRIVO_BUILD_BENCH=ON -DBRIVO_BUILD_APP=OFF \
  -DBRIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$CACHE/build" -j"$(nproc)" --target carve-bench >/dev/null
exec python3 "$HERE/fragments-bench.py" "$CACHE" "$CACHE/build/bench/carve-bench" "${1:-300}"
