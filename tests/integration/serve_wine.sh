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
mkdir -p "$WORK"
cd "$WORK" || exit 1
run() { KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" timeout 120 "$ROOT/scripts/wine-run.sh" "$EXE" "$@"; }
fail() { echo "FAIL: $*"; for f in box.out serve.err serve.log com9.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }

# The prefix (and its COM1 mapping) must exist before the link is repointed.
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

"$BOXSIM" --timeout 5 --link "$WINE_PREFIX_DIR/ttyCOM1" "$SAMPLE" >box.out 2>&1 &
box=$!
trap 'kill $box 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s box.out ] && break; sleep 0.05; done

run serve --port COM1 --log serve.log "$SAMPLE" >serve.out 2>serve.err
status=$?
wait $box
box_status=$?
[ "$status" -eq 0 ] || fail "serve exit $status"
[ "$box_status" -eq 0 ] || fail "box exit $box_status"
grep -q "byte-exact" box.out || fail "not byte-exact"
grep -q "^COM1: Download complete: Download was successful." serve.err || fail "no result line"
grep -q "Round 1; All modules sent; ret = 0" serve.log || fail "no closing log line"

run serve --port COM9 "$SAMPLE" >/dev/null 2>com9.err
status=$?
[ "$status" -eq 3 ] || fail "COM9: exit $status, expected 3"
grep -q "^COM9: Error: Failed to open communication resource." com9.err || fail "COM9: no port-failure text"
echo "PASS"
