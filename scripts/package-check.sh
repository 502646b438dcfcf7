#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get and scans the sample image with
# the installed command-line program (as the README's sample scan does).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRIVO_BUILD_TESTS=OFF -DBRIVO_BUILD_APP=ON
cmake --build "$build" -j"$(nproc)"
(cd "$build" && rm -f ./*.deb && cpack -G DEB)
deb=$(ls "$build"/*.deb)
echo "Package: $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
apt-get install -y "./$deb"
for f in /usr/bin/brivo-recovery /usr/bin/brivo-recovery-cli \
         /usr/share/brivo-file-recovery/transl.dt \
         /usr/share/applications/brivo-file-recovery.desktop \
         /usr/share/icons/hicolor/48x48/apps/brivo-file-recovery.png \
         /usr/share/man/man1/brivo-recovery-cli.1.gz; do
  test -s "$f" || { echo "missing from the package: $f" >&2; exit 1; }
done
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
gzip -dc tests/fixtures/ntfs.img.gz > "$sample/ntfs.img"
brivo-recovery-cli info "$sample/ntfs.img"
brivo-recovery-cli scan "$sample/ntfs.img" | tee "$sample/scan.txt"
test "$(grep -c . "$sample/scan.txt")" -gt 1
brivo-recovery-cli recover --all --out "$sample/recovered" "$sample/ntfs.img"
test -n "$(find "$sample/recovered" -type f)"
echo "The installed package scans and recovers the sample image."
