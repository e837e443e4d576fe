#!/usr/bin/env bash
# Builds the packages, never from the sanitizer builds:
#   build/dist/kestrune-<version>-win64.zip   from build/windows, the Windows tree the Wine
#                                             tests run (MinGW-w64, static, optimised): what
#                                             was tested is what ships, and it is built once
#   build/dist/kestrune_<version>_amd64.deb   from build/dist-native, a Release tree without
#                                             tests, carrying the Windows tree's stripped
#                                             Kestrune.exe for kestrune-window
# Usage: scripts/dist.sh [--trees]   (--trees: only build the two trees, as `make build` does;
# JOBS=N for the build's parallel jobs, default 2)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${JOBS:-2}"
windows="$root/build/windows"
native="$root/build/dist-native"
out="$root/build/dist"

echo "== Windows tree ($windows)"
(cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows --parallel "$jobs")
rm -rf "$windows/stage"
cmake --install "$windows" --prefix "$windows/stage" --strip >/dev/null

echo "== Linux release tree ($native)"
# The same settings as the Wine tests' simulator build of this tree (tests/integration), which may
# have configured it first: a different compiler or option here would rebuild it all.
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_CXX_COMPILER=g++ -DKESTRUNE_TESTS=OFF -DKESTRUNE_WINDOW_EXE="$windows/stage/Kestrune.exe" >/dev/null
cmake --build "$native" --parallel "$jobs"
[ "${1:-}" = --trees ] && exit 0

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
