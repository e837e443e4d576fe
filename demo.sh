#!/usr/bin/env bash
# The main job: build, then download the bundled sample image to the simulated set top box.
# ./demo.sh --window: the same download from the Kestrune window under Wine, on this display.
# Each installs only the Debian packages it needs (scripts/setup.sh demo or window); make
# then skips its own setup, which would install everything the tests need.
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-}" in
"") ;;
--window)
  if [ -z "${DISPLAY:-}" ]; then
    echo "demo: no display (DISPLAY is not set), so no window: running the headless demo instead."
  else
    scripts/setup.sh window
    KESTRUNE_SKIP_SETUP=1 exec make --no-print-directory demo-window
  fi
  ;;
*)
  echo "demo.sh: unknown option $1" >&2
  echo "usage: ./demo.sh [--window]" >&2
  exit 64
  ;;
esac
scripts/setup.sh demo
KESTRUNE_SKIP_SETUP=1 exec make --no-print-directory demo
