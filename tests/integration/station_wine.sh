#!/usr/bin/env bash
# kestrune-cli.exe station under Wine on COM3 and COM4, each mapped by the prefix to a link that
# a native box simulator points at its pseudo-terminal, serving only the expected hardware: the
# box on COM3 is that one and byte-exact, the one on COM4 is another and is not flashed; one
# complete and one wrong-box record, and a Ctrl-C (SIGINT reaches the program as a console
# interrupt) ends it with 1, the status of a run that refused a box. A barcode scanner on COM1
# (a pseudo-terminal) binds the unit's serial to COM3's box, and --forward delivers both lines
# to a receiver made by the test, once each by their attemptId.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=two_ports
here="$(cd "$(dirname "$0")" && pwd)"
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
# The boxes stay on the line: a box that leaves takes its pty away (a port failure). COM3's
# waits for its unit's scan.
start_box 3 --link "$WINE_PREFIX_DIR/ttyCOM3" --stay 30 --hardware 0x00A0B1:0x5601:0x0203 \
  --hold go-3 "$SAMPLE"
start_box 4 --link "$WINE_PREFIX_DIR/ttyCOM4" --stay 30 --hardware 0x00A0B1:0x5602:0x0203 "$SAMPLE"
# The scanner: each line of the file `scans` typed into a pty that COM1 is linked to.
python3 -c '
import os, pty, time
master, slave = pty.openpty()
print(os.ttyname(slave), flush=True)
sent = 0
while True:
    try:
        lines = open("scans").read().split("\n")
    except OSError:
        lines = []
    for line in lines[sent:-1]:
        os.write(master, (line + "\r\n").encode())
        sent += 1
    time.sleep(0.05)
' >scanner.out &
pids+=("$!")
for _ in $(seq 100); do [ -s scanner.out ] && break; sleep 0.05; done
ln -sfn "$(head -1 scanner.out)" "$WINE_PREFIX_DIR/ttyCOM1"
RPORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
echo ok >mode
python3 "$here/forward_receiver.py" "$RPORT" store mode 2>receiver.err &
pids+=("$!")

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station \
  --port COM3 --port COM4 --record record.jsonl --settle 1 --expect-hardware 0x5601 \
  --expect-oui 00-A0-B1 --scanner COM1 --forward "http://127.0.0.1:$RPORT/lines" \
  --forward-timeout 2 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
for _ in $(seq 300); do grep -q "Ctrl-C stops" station.err && break; sleep 0.1; done
printf 'COM3\nVB-W-0001\n' >scans
for _ in $(seq 100); do grep -q "VB-W-0001, waiting for the box" station.err && break; sleep 0.1; done
contains station.err "VB-W-0001, waiting for the box"
touch go-3
wait_lines record.jsonl 2 60
for _ in $(seq 100); do [ "$(ls store 2>/dev/null | wc -l)" -ge 2 ] && break; sleep 0.1; done
kill -INT "$station"
wait "$station"
expect "station exit" "$?" 1
contains station.err "forward: every line delivered"
python3 - <<'PY' || fail "the receiver does not hold each line once: $(cat posts.log)"
import json, os
lines = [json.loads(l) for l in open("record.jsonl")]
ids = sorted(l["attemptId"] for l in lines)
assert sorted(os.listdir("store")) == ids, (os.listdir("store"), ids)
for l in lines:
    assert json.load(open(os.path.join("store", l["attemptId"]))) == l
com3 = [l for l in lines if l["port"] == "COM3"][0]
assert (com3["unitSerial"], com3["unitSerialFrom"]) == ("VB-W-0001", "scan"), com3
PY
contains box-3.out "byte-exact"
if grep -q "byte-exact" box-4.out; then fail "the wrong box on COM4 was flashed"; fi
grep -q '"port":"COM3".*"outcome":"complete"' record.jsonl || fail "COM3: no complete record"
grep '"port":"COM4"' record.jsonl | grep -q '"model":22018.*"outcome":"wrong box".*"framesResent":0,' ||
  fail "COM4: no wrong-box record with the box's model: $(cat record.jsonl)"
echo "PASS"
