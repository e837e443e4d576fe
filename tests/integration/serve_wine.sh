#!/usr/bin/env bash
# kestrune-cli.exe serve under Wine on COM1, with the native box simulator behind the prefix's
# COM1 link; and COM9, which no device backs, as the port that does not open. (COM2, mapped
# to a missing path, is no use here: Wine hands out a handle for it all the same, and the
# watch does not examine its line settings.)
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
if [ ! -x "$BOXSIM" ]; then
  echo "SKIP: no native box simulator at $BOXSIM (build the native tree first)"
  exit 77
fi
case_name=com1
source "$(dirname "$0")/case_lib.sh"
run() { KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" timeout 120 "$ROOT/scripts/wine-run.sh" "$EXE" "$@"; }

# The prefix (and its COM1 mapping) must exist before the link is repointed.
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
start_box a --link "$WINE_PREFIX_DIR/ttyCOM1" "$SAMPLE"
run serve --port COM1 --log serve.log "$SAMPLE" >serve.out 2>serve.err
status=$?
wait_box a
expect "serve exit" "$status" 0
expect "box exit" "$BOX_a" 0
contains box-a.out "byte-exact"
grep -q "^COM1: Download complete: Download was successful." serve.err || fail "no result line"
contains serve.log "Round 1; All modules sent; ret = 0"

run serve --port COM9 "$SAMPLE" >/dev/null 2>com9.err
expect "COM9: exit" "$?" 3
grep -q "^COM9: Error: Failed to open communication resource." com9.err || fail "COM9: no port-failure text"
echo "PASS"
