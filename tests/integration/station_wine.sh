#!/usr/bin/env bash
# kestrune-cli.exe station under Wine on COM3 and COM4, each mapped by the prefix to a link that
# a native box simulator points at its pseudo-terminal: both boxes byte-exact, two complete
# records, and a Ctrl-C (SIGINT reaches the program as a console interrupt) ends it with 0.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=two_ports
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
for n in 3 4; do
  # The boxes stay on the line: a box that leaves takes its pty away (a port failure).
  start_box "$n" --link "$WINE_PREFIX_DIR/ttyCOM$n" --stay 30 "$SAMPLE"
done

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station \
  --port COM3 --port COM4 --record record.jsonl --settle 1 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
for _ in $(seq 600); do
  [ -f record.jsonl ] && [ "$(wc -l <record.jsonl)" -ge 2 ] && break
  sleep 0.1
done
kill -INT "$station"
wait "$station"
expect "station exit" "$?" 0
for n in 3 4; do
  contains "box-$n.out" "byte-exact"
  grep -q "\"port\":\"COM$n\".*\"outcome\":\"complete\"" record.jsonl || fail "COM$n: no complete record"
done
echo "PASS"
