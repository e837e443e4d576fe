#!/usr/bin/env bash
# Runs a GoogleTest program under the build folder's Wine prefix (wine-run.sh), and once more if
# it ended before GoogleTest said a word: such a run never reached the tests and tested nothing.
# CI met it once, a unit program failing in a second with no output beside the other Wine
# programs. A program that reached its tests is never run again, whatever its result.
set -uo pipefail
here="$(dirname "$0")"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
  "$here/wine-run.sh" "$@" >"$out" 2>&1
  status=$?
  cat "$out"
  if [ "$status" = 0 ] || grep -q '\[==========\]' "$out"; then
    exit "$status"
  fi
  echo "wine-gtest: $1 ended with status $status before its tests started (run $attempt of 2)" >&2
done
exit "$status"
