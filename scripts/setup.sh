#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when one is missing.
# KESTRUNE_SKIP_SETUP=1 skips it, for developers who manage their own machine.
set -euo pipefail
if [ "${KESTRUNE_SKIP_SETUP:-0}" = 1 ]; then
  exit 0
fi

packages=(
  build-essential make cmake ninja-build pkg-config
  libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 fonts-wine
  xvfb x11-utils imagemagick xterm
  python3
  help2man dpkg-dev unzip
  tshark
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
# No prompt anywhere: sudo drops the environment, so the frontend is passed through env. The
# capture tests read files and need no setuid dumpcap; answering that question up front keeps
# wireshark-common from asking it.
noninteractive=(env DEBIAN_FRONTEND=noninteractive)
echo "wireshark-common wireshark-common/install-setuid boolean false" |
  $sudo debconf-set-selections
$sudo "${noninteractive[@]}" apt-get update -qq
$sudo "${noninteractive[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
