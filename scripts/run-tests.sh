#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# whole test suite, then builds every fuzz target with clang and runs each briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=build-tests
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBRIVO_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
./scripts/fuzz-smoke.sh
