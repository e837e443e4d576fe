#!/usr/bin/env bash
# kestrune-cli.exe station under Wine on COM3 and COM4, each mapped by the prefix to a link that
# a native box simulator points at its pseudo-terminal, serving only the expected hardware: the
# box on COM3 is that one and byte-exact, the one on COM4 is another and is not flashed; one
# complete and one wrong-box record, and a Ctrl-C (SIGINT reaches the program as a console
# interrupt) ends it with 1, the status of a run that refused a box.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=two_ports
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
# The boxes stay on the line: a box that leaves takes its pty away (a port failure).
start_box 3 --link "$WINE_PREFIX_DIR/ttyCOM3" --stay 30 --hardware 0x00A0B1:0x5601:0x0203 "$SAMPLE"
start_box 4 --link "$WINE_PREFIX_DIR/ttyCOM4" --stay 30 --hardware 0x00A0B1:0x5602:0x0203 "$SAMPLE"

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station \
  --port COM3 --port COM4 --record record.jsonl --settle 1 --expect-hardware 0x5601 \
  --expect-oui 00-A0-B1 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
wait_lines record.jsonl 2 60
kill -INT "$station"
wait "$station"
expect "station exit" "$?" 1
contains box-3.out "byte-exact"
if grep -q "byte-exact" box-4.out; then fail "the wrong box on COM4 was flashed"; fi
grep -q '"port":"COM3".*"outcome":"complete"' record.jsonl || fail "COM3: no complete record"
grep '"port":"COM4"' record.jsonl | grep -q '"model":22018.*"outcome":"wrong box".*"framesResent":0,' ||
  fail "COM4: no wrong-box record with the box's model: $(cat record.jsonl)"
echo "PASS"
