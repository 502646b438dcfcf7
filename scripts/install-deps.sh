#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake pkg-config
  libgtest-dev googletest
  qt6-base-dev libgl-dev qt6-image-formats-plugins
  sleuthkit
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
  libcli11-dev nlohmann-json3-dev libssl-dev zlib1g-dev libjpeg62-turbo-dev
  gzip ca-certificates
  libfuse3-dev fuse3 gddrescue
  clang-14 libclang-rt-14-dev
  dbus polkitd udisks2 udev python3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
