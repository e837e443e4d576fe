#!/usr/bin/env bash
# Runs a Windows program under the build folder's quiet Wine prefix (CTest's emulator).
set -uo pipefail
here="$(dirname "$0")"
source "$here/wine-env.sh"
"$here/wine-prefix.sh" >&2
exec wine "$@"
