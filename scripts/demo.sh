#!/usr/bin/env bash
# Installs what is needed, builds, then scans the bundled sample NTFS image and
# recovers every deleted file it finds into build/sample/recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVO_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"
mkdir -p build/sample
gzip -dc tests/fixtures/ntfs.img.gz > build/sample/ntfs.img
cli=build/src/cli/brivo-recovery-cli
"$cli" info build/sample/ntfs.img
"$cli" scan build/sample/ntfs.img
rm -rf build/sample/recovered
"$cli" recover --all --out build/sample/recovered build/sample/ntfs.img
echo "Recovered files are in build/sample/recovered:"
find build/sample/recovered -type f | sort
