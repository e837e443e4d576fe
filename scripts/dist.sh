#!/usr/bin/env bash
# Builds the packages from Release trees (never the sanitizer builds):
#   build/dist/kestrune-<version>-win64.zip   from build/dist-windows (MinGW-w64, static)
#   build/dist/kestrune_<version>_amd64.deb   from build/dist-native, carrying the Windows
#                                             tree's stripped Kestrune.exe for kestrune-window
# Usage: scripts/dist.sh   (JOBS=N for the build's parallel jobs, default 2)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${JOBS:-2}"
windows="$root/build/dist-windows"
native="$root/build/dist-native"
out="$root/build/dist"

echo "== Windows release tree ($windows)"
cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF >/dev/null
cmake --build "$windows" --parallel "$jobs"
rm -rf "$windows/stage"
cmake --install "$windows" --prefix "$windows/stage" --strip >/dev/null

echo "== Linux release tree ($native)"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF \
  -DKESTRUNE_WINDOW_EXE="$windows/stage/Kestrune.exe" >/dev/null
cmake --build "$native" --parallel "$jobs"

mkdir -p "$out"
for tree in "$windows" "$native"; do
  rm -rf "$tree/package"
  (cd "$tree" && cpack -B "$tree/package" >"$tree/cpack.log" 2>&1) || {
    cat "$tree/cpack.log" >&2
    exit 1
  }
  for f in "$tree"/package/*.zip "$tree"/package/*.deb; do
    [ -f "$f" ] && cp -f "$f" "$out/" && echo "$out/$(basename "$f"): $(stat -c %s "$f") bytes"
  done
done
