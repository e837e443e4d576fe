#!/usr/bin/env bash
# Builds everything (Linux, Windows, fuzz) and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh all
exec make --no-print-directory test
