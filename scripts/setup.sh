#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when one is missing.
set -euo pipefail

packages=(
  build-essential make cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 fonts-wine
  xvfb x11-utils imagemagick
  python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
