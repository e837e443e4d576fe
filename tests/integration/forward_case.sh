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
    wait_lines record.jsonl 16 180 || fail "the boxes of both lines were not all recorded"
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
    for n in 1 2; do
      [ "$(grep -c 'byte-exact' "box-$n.out")" -ge 7 ] || fail "box line $n: downloads not byte-exact"
    done
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
  *)
    fail "no such case" ;;
esac
echo "PASS ($case_name)"
