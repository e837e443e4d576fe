#!/usr/bin/env bash
# Rebuilds samples/sample.dl with kestrune-mkimage. The content is generated (a deterministic
# pattern per module), so the file comes out the same byte for byte every time.
# Usage: samples/make-sample.sh [BUILD_FOLDER]   (default build/native)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
exec "$build/kestrune-mkimage" -o "$root/samples/sample.dl" \
  --block1-text "Kestrune sample image" \
  --block2-text "made by kestrune-mkimage" \
  --module 1 --module-version 1 --tag 0x81 --info "00 0A" --size 24576 --seed 1 \
  --module 2 --module-version 0 --tag 0x81 --info "00 01 02 03 04 05 06 07" --size 8192 --seed 2 \
  --module 3 --module-version 2 --tag 0x0A --info "4B 45 53" --size 2000 --seed 3
