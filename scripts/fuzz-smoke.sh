#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*_fuzz.cpp) with clang in a build folder of its own
# and runs each for a few seconds on its seeds (fuzz/corpus/<name> for <name>_fuzz), so that a target
# which no longer compiles, or crashes on its own corpus, fails the test run.
# Only the fuzzers and the libraries they link are built.
#   BRIVO_FUZZ_SECONDS  run time of each target (default 5)
#   BRIVO_FUZZ_JOBS     parallel compile jobs (default: the number of CPUs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BRIVO_FUZZ_BUILD:-build-fuzz}
seconds=${BRIVO_FUZZ_SECONDS:-5}
jobs=${BRIVO_FUZZ_JOBS:-$(nproc)}
cxx=$(command -v clang++-14 || command -v clang++ || true)
cc=$(command -v clang-14 || command -v clang || true)
if [[ -z $cxx || -z $cc ]]; then
  echo "fuzz-smoke: clang not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

targets=()
for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
CC=$cc CXX=$cxx cmake -S . -B "$build" -DBRIVO_FUZZ=ON -DBRIVO_SANITIZE=ON \
  -DBRIVO_BUILD_APP=OFF -DBRIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

work=$(mktemp -d /tmp/brivo-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=()
for name in "${targets[@]}"; do
  # New inputs go to a scratch folder listed first; the seeds are only read.
  mkdir -p "$work/$name"
  seeds=()
  [[ -d fuzz/corpus/${name%_fuzz} ]] && seeds=("fuzz/corpus/${name%_fuzz}")
  if "$build/fuzz/$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -artifact_prefix="$work/$name-" "$work/$name" "${seeds[@]}" >"$work/$name.log" 2>&1; then
    echo "fuzz-smoke: $name: ${#seeds[@]} seed folder(s), $(grep -E '^Done [0-9]+ runs' "$work/$name.log" | tail -1)"
  else
    tail -40 "$work/$name.log" >&2
    failed+=("$name")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz-smoke: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz-smoke: all ${#targets[@]} fuzz targets built and ran"
