#!/usr/bin/env bash
# Installs the Debian packages a job needs, only those that are missing.
# Usage: scripts/setup.sh [demo | window | all]
#   demo    the native build and its demo (./demo.sh): compiler, CMake, ccache, CLI11,
#           toml++, libsodium, libsystemd, cpp-httplib, GoogleTest
#   window  demo, and the Windows build under Wine on this display (./demo.sh --window)
#   all     (the default) window, and everything the tests need (./test.sh, CI): clang for
#           the fuzzers, Xvfb, ImageMagick and xterm for the pictures and the GUI suite,
#           tshark for the captures, bash-builtins for the cases' polls, minisign for the
#           release signatures, help2man, dpkg-dev, lintian and unzip for the packages
# KESTRUNE_SKIP_SETUP=1 skips it, for developers who manage their own machine.
set -euo pipefail
if [ "${KESTRUNE_SKIP_SETUP:-0}" = 1 ]; then
  exit 0
fi

demo=(
  build-essential make cmake ninja-build pkg-config ccache
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libsodium-dev libsystemd-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev googletest
)
window=(
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  autoconf automake libtool
  wine wine64 fonts-wine
  x11-utils
)
all=(
  clang libclang-rt-14-dev clang-format
  xvfb imagemagick xterm
  python3 bash-builtins
  help2man dpkg-dev unzip lintian
  tshark
  minisign
  chromium prometheus nodejs
)

case "${1:-all}" in
demo) packages=("${demo[@]}") ;;
window) packages=("${demo[@]}" "${window[@]}") ;;
all) packages=("${demo[@]}" "${window[@]}" "${all[@]}") ;;
*)
  echo "setup.sh: unknown job $1 (demo, window or all)" >&2
  exit 64
  ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Debian's nodejs comes without npm (another package); some builds of nodejs bring their own.
if [ "${1:-all}" = all ] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
if [ ${#missing[@]} -eq 0 ]; then
  install=false
else
  install=true
  echo "Installing: ${missing[*]}"
fi
# No prompt anywhere: sudo drops the environment, so the frontend is passed through env. The
# capture tests read files and need no setuid dumpcap; answering that question up front keeps
# wireshark-common from asking it.
noninteractive=(env DEBIAN_FRONTEND=noninteractive)
if $install; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    $sudo debconf-set-selections
  $sudo "${noninteractive[@]}" apt-get update -qq
  $sudo "${noninteractive[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser test's driver (puppeteer-core, at the versions of its lock file; it drives the
# system's Chromium and downloads no browser).
web_tests="$(dirname "$0")/../tests/web"
if [ "${1:-all}" = all ] && [ ! -d "$web_tests/node_modules" ]; then
  (cd "$web_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
