#!/usr/bin/env bash
# kestrune-cli station --forward against a receiver made by the test (forward_receiver.py), and
# unit serials from the box. Usage: forward_case.sh CASE   (environment: CLI, BOXSIM, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=forward-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=5
here="$(cd "$(dirname "$0")" && pwd)"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

receiver() { # receiver: the receiver in the background, its pid in RECEIVER
  python3 "$here/forward_receiver.py" "$RPORT" store mode 2>receiver.err &
  RECEIVER=$!
  pids+=("$RECEIVER")
  for _ in $(seq 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $RPORT), 0.2)" 2>/dev/null && return
    sleep 0.1
  done
  fail "the receiver did not start"
}

station() { # station ARGS...: in the background, its pid in STATION, appending to station.err
  "$CLI" station --record record.jsonl --settle 1 "$@" "$SAMPLE" 2>>station.err &
  STATION=$!
  pids+=("$STATION")
}

case "$case_name" in
  faults)
    # Two lines of boxes; the receiver down at the start, then failing, slow, closing
    # mid-request, killed mid-request; the station killed with -9 and started again. At the
    # end the receiver must hold every record line once, and the record and it agree.
    RPORT="$(free_port)"
    echo ok >mode
    start_box 1 --boxes 8 --gap 2 --stay 300 "$SAMPLE"
    start_box 2 --boxes 8 --gap 2 --stay 300 "$SAMPLE"
    forward=(--port "$PTY_1" --port "$PTY_2" --forward "http://127.0.0.1:$RPORT/lines"
             --forward-timeout 1 --forward-drain-seconds 60 --station line-7 --lot L-42)
    station "${forward[@]}"
    wait_lines record.jsonl 2 60 || fail "no records while the receiver was down"
    echo slow 1.5 >mode # longer than --forward-timeout: stored, but not acknowledged
    receiver
    sleep 6
    echo fail500 >mode
    sleep 3
    echo drop >mode
    sleep 2
    echo slow 5 >mode
    sleep 1.5
    kill -9 "$RECEIVER" # mid-request
    echo ok >mode
    receiver
    wait_lines record.jsonl 6 90 || fail "fewer than 6 records before the kill"
    kill -9 "$STATION"
    wait "$STATION" 2>/dev/null
    written_before="$(wc -l <record.jsonl)"
    station "${forward[@]}"
    # Every box of both lines has its verdict (the one the kill cut short fails it).
    for _ in $(seq 1800); do
      grep -q 'box 8 of 8' box-1.out && grep -q 'box 8 of 8' box-2.out && break
      sleep 0.1
    done
    grep -q 'box 8 of 8' box-1.out && grep -q 'box 8 of 8' box-2.out ||
      fail "the lines' last boxes never came"
    # The Ctrl-C once the restarted station says it takes them: a background job starts with
    # SIGINT ignored until the station installs its handler, and its start can take seconds here.
    wait_for 60 lines_at_least station.err "Ctrl-C stops" 2 || fail "the restarted station never said it serves"
    sleep 2
    kill -INT "$STATION"
    wait "$STATION"
    contains station.err "forward: every line delivered to MES"
    python3 - <<'PY' || fail "the receiver and the record disagree"
import json, os
lines = [json.loads(l) for l in open("record.jsonl") if l.strip()]
ids = [l["attemptId"] for l in lines]
assert len(ids) == len(set(ids)), "an attemptId twice in the record"
stored = sorted(f for f in os.listdir("store") if not f.endswith(".tmp"))
assert sorted(ids) == stored, (len(ids), len(stored))
for l in lines:
    assert json.load(open("store/" + l["attemptId"])) == l
    assert l["station"] == "line-7" and l["lot"] == "L-42"
posts = open("posts.log").read().split("\n")
dups = sum(1 for p in posts if p.endswith(" again"))
print("FIGURES written=%d delivered=%d duplicates=%d" % (len(ids), len(stored), dups))
PY
    grep -o 'longest backlog [0-9]*' station.err | tail -1
    echo "written before the kill: $written_before"
    # Every download the record calls complete was byte-exact on its box.
    exact=$(cat box-1.out box-2.out | grep -c 'byte-exact')
    complete=$(grep -c '"outcome":"complete"' record.jsonl)
    expect "byte-exact downloads against complete lines" "$exact" "$complete"
    [ "$exact" -ge 14 ] || fail "only $exact byte-exact downloads"
    ;;
  timing)
    # The same downloads with and without --forward, side by side, so that both meet the same
    # load (one after the other, a change in the machine's load between them decided it):
    # delivery on its own thread must not slow a port. The receiver is slow for the first half
    # of the boxes, then fails.
    RPORT="$(free_port)"
    echo "slow 0.3" >mode
    receiver
    for run in plain forward; do
      start_box "${run}1" --boxes 4 --gap 2 --stay 60 --baud 115200 "$SAMPLE"
      start_box "${run}2" --boxes 4 --gap 2 --stay 60 --baud 115200 "$SAMPLE"
    done
    "$CLI" station --record plain.jsonl --settle 1 --port "$PTY_plain1" --port "$PTY_plain2" \
      "$SAMPLE" 2>plain.err &
    plain=$!
    "$CLI" station --record forward.jsonl --settle 1 --port "$PTY_forward1" \
      --port "$PTY_forward2" --forward "http://127.0.0.1:$RPORT/lines" \
      --forward-drain-seconds 0 "$SAMPLE" 2>station.err &
    STATION=$!
    pids+=("$plain" "$STATION")
    wait_lines forward.jsonl 4 60 && echo fail500 >mode
    wait_lines plain.jsonl 8 120 || fail "plain: not every box recorded"
    wait_lines forward.jsonl 8 120 || fail "forward: not every box recorded"
    kill -INT "$plain" "$STATION"
    wait "$plain"
    wait "$STATION"
    for run in plain forward; do
      for n in 1 2; do
        [ "$(grep -c 'byte-exact' "box-$run$n.out")" = 4 ] || fail "$run: line $n not byte-exact"
      done
    done
    python3 - <<'PY' || fail "downloads were slower with --forward"
import json, statistics
def median(path):
    return statistics.median(json.loads(l)["durationSeconds"] for l in open(path))
plain, forward = median("plain.jsonl"), median("forward.jsonl")
print("TIMING median %.3f s without --forward, %.3f s with it (%+.2f %%)" % (plain, forward, 100 * (forward / plain - 1)))
assert forward <= plain * 1.02, (plain, forward)
PY
    ;;
  serials)
    # The unit's serial from its descriptor into the record, and the unit's history.
    start_box 1 --boxes 2 --gap 2 --stay 60 --serial VB-2000-00123456 "$SAMPLE"
    start_box 2 --serial 'not printable' --stay 30 "$SAMPLE"
    station --port "$PTY_1" --port "$PTY_2" --serial-descriptor 0x40 --operator ann
    wait_lines record.jsonl 3 60 || fail "not every box recorded"
    kill -INT "$STATION"
    wait "$STATION"
    contains station.err "holds bytes that are not printable"
    "$CLI" report --unit VB-2000-00123456 --format json record.jsonl >history.json ||
      fail "report --unit failed"
    python3 - <<'PY' || fail "the history is wrong"
import json
h = json.load(open("history.json"))
assert len(h["attempts"]) == 2, h
assert all(a["unitSerialFrom"] == "box" and a["operator"] == "ann" for a in h["attempts"])
assert h["attempts"][0]["start"] <= h["attempts"][1]["start"]
PY
    "$CLI" report --station nowhere record.jsonl >none.txt
    contains none.txt "0"
    ;;
  scanner|keyboard_wedge)
    # A scanner on a pseudo-terminal and four slots: a serial bound by a scan, one that agrees
    # with the box's, one that does not (the box is not served), two units for one slot and a
    # scan that names no slot (both dropped). In `scanner` the box on slot 2 fails once and is
    # retried: the retry keeps its scan, though the slot's next unit is scanned in between.
    # keyboard_wedge: the same scanner types into the terminal that is the station's standard
    # input (--scanner -), which nothing else may be.
    if [ "$case_name" = keyboard_wedge ]; then
      "$CLI" station --port /dev/null --scanner - "$SAMPLE" </dev/null 2>notty.err
      expect "not a terminal" "$?" 3
      contains notty.err "cannot open the scanner -: the standard input is not a terminal"
    fi
    for n in 1 2 3 4; do
      serial=()
      [ "$n" = 1 ] || [ "$n" = 3 ] && serial=(--serial 00123456)
      [ "$n" = 2 ] && [ "$case_name" = scanner ] &&
        serial=(--restart-after-failure --end-early 12 --buffer-size 4096 --max-block 1024
                --baud 115200)
      start_box "$n" --hold "go-$n" --stay 30 "${serial[@]}" "$SAMPLE"
    done
    python3 -c '
import os, pty, sys, time
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
    if [ "$case_name" = keyboard_wedge ]; then
      "$CLI" station --record record.jsonl --settle 1 --port "$PTY_1" --port "$PTY_2" \
        --port "$PTY_3" --port "$PTY_4" --scanner - --serial-descriptor 0x40 "$SAMPLE" \
        <"$(head -1 scanner.out)" 2>>station.err &
      STATION=$!
      pids+=("$STATION")
    else
      station --port "$PTY_1" --port "$PTY_2" --port "$PTY_3" --port "$PTY_4" \
        --scanner "$(head -1 scanner.out)" --serial-descriptor 0x40 --retries 1
    fi
    sleep 1
    slot() { basename "$1"; }
    printf '%s\n' VB-LONELY "$(slot "$PTY_1")" 00123456 "$(slot "$PTY_2")" VB-2000-2 \
      "$(slot "$PTY_3")" 00123457 "$PTY_4" U-A "$PTY_4" U-B >scans
    for _ in $(seq 50); do grep -q 'both dropped' station.err && break; sleep 0.1; done
    contains station.err "VB-2000-2, waiting for the box"
    touch go-1 go-2 go-3 go-4
    if [ "$case_name" = scanner ]; then
      for _ in $(seq 100); do grep -q "$PTY_2: box:" station.err && break; sleep 0.1; done
      printf '%s\n' "$(slot "$PTY_2")" VB-2000-NEXT >>scans
      for _ in $(seq 100); do grep -q "$PTY_2: the box woke again" station.err && break; sleep 0.1; done
      grep -E "VB-2000-NEXT, waiting|the box woke again" station.err | head -1 |
        grep -q "VB-2000-NEXT" || fail "the next unit was not scanned before the retry"
      wait_lines record.jsonl 5 60 || fail "not every slot's box recorded"
    fi
    wait_lines record.jsonl 4 60 || fail "not every slot's box recorded"
    kill -INT "$STATION"
    wait "$STATION"
    contains station.err "names no slot"
    contains station.err "a second unit scanned (U-B, after U-A): both dropped"
    python3 - "$PTY_1" "$PTY_2" "$PTY_3" "$PTY_4" <<'PY' || fail "the serials are not where they belong"
import json, sys
by = {l["port"]: l for l in map(json.loads, open("record.jsonl"))}
p1, p2, p3, p4 = (by[p] for p in sys.argv[1:])
assert (p1["unitSerial"], p1["unitSerialFrom"], p1["outcome"]) == ("00123456", "box", "complete"), p1
assert (p2["unitSerial"], p2["unitSerialFrom"], p2["outcome"]) == ("VB-2000-2", "scan", "complete"), p2
every2 = [l for l in map(json.loads, open("record.jsonl")) if l["port"] == sys.argv[2]]
assert all(l["unitSerial"] == "VB-2000-2" for l in every2), every2
assert p3["outcome"] == "wrong box" and p3["reason"] == "the box says 00123456, the scan says 00123457", p3
assert p4["unitSerial"] is None and p4["outcome"] == "complete", p4
PY
    ;;
  *)
    fail "no such case" ;;
esac
echo "PASS ($case_name)"
