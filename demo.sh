#!/usr/bin/env bash
# The main job: build, then download the bundled sample image to the simulated set top box.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
exec make --no-print-directory demo
