#!/usr/bin/env bash
# One end-to-end case of kestrune-cli station --http against simulated boxes on real
# pseudo-terminals, with curl as the client. Usage: web_case.sh CASE   (environment: CLI,
# BOXSIM, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=web-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=5

# station ARGS...: the station with --http on a free port of 127.0.0.1, in the background; its
# pid in STATION, its address in URL.
station() {
  "$CLI" station --http 0 --record record.jsonl --settle 1 "$@" "$SAMPLE" 2>station.err &
  STATION=$!
  pids+=("$STATION")
  URL=""
  for _ in $(seq 100); do
    URL="$(grep -o 'dashboard: http://[^ ]*' station.err | head -1 | cut -c12-)"
    [ -n "$URL" ] && return 0
    sleep 0.05
  done
  fail "no dashboard line"
}

records() { [ -f record.jsonl ] && wc -l <record.jsonl || echo 0; }

wait_records() { # wait_records N SECONDS
  for _ in $(seq $(($2 * 10))); do
    [ "$(records)" -ge "$1" ] && return 0
    sleep 0.1
  done
  fail "$(records) records after $2 s, expected $1"
}

status_of() { curl -s -o /dev/null -w '%{http_code}' "$@"; }

# The metrics and the record say the same of every port: attempts by outcome, module bytes
# and frames resent.
metrics_match_record() {
  python3 - <<'PY' || fail "the metrics differ from the record"
import collections, json, re
metrics = {}
for line in open("metrics.txt"):
    if not line.startswith("#"):
        key, value = line.rsplit(" ", 1)
        metrics[key] = float(value)
want = collections.Counter()
for line in open("record.jsonl"):
    r = json.loads(line)
    p = r["port"]
    want['kestrune_boxes_total{port="%s",outcome="%s"}' % (p, r["outcome"])] += 1
    want['kestrune_module_bytes_delivered_total{port="%s"}' % p] += r["moduleBytesDelivered"] or 0
    want['kestrune_frames_resent_total{port="%s"}' % p] += r["framesResent"] or 0
    if r["moduleBytesDelivered"] is not None:
        want['kestrune_download_duration_seconds_count{port="%s"}' % p] += 1
for key, value in want.items():
    assert metrics.get(key) == value, (key, metrics.get(key), value)
boxes = sum(v for k, v in metrics.items() if k.startswith("kestrune_boxes_total"))
assert boxes == sum(1 for _ in open("record.jsonl")), boxes
PY
}

case "$case_name" in
  api_and_metrics)
    # A good box and a box that refuses a block 10 times; then the page, the JSON and the
    # metrics, judged by promtool, and read only.
    start_box 1 --boxes 2 --gap 1.5 --stay 60 "$SAMPLE"
    start_box 2 --nak 1:10 --stay 60 "$SAMPLE"
    station --port "$PTY_1" --port "$PTY_2"
    expect "first line" "$(head -1 station.err | cut -d" " -f2-)" "station: dashboard: $URL"
    case "$URL" in http://127.0.0.1:*/) ;; *) fail "not on 127.0.0.1: $URL" ;; esac
    wait_records 3 60
    sleep 0.5
    curl -sf "$URL" >page.html || fail "no page"
    contains page.html "new EventSource(\"/events\")"
    curl -sf "${URL}api/station" >state.json || fail "no /api/station"
    python3 - "$PTY_1" "$PTY_2" <<'PY' || fail "the JSON state"
import json, sys
s = json.load(open("state.json"))
ports = {p["port"]: p for p in s["ports"]}
good, bad = ports[sys.argv[1]], ports[sys.argv[2]]
assert good["done"] == 2 and good["last"]["outcome"] == "complete", good
assert bad["failed"] == 1 and bad["last"]["outcome"] == "download error", bad
assert "a frame failed 10 attempts" in bad["last"]["reason"], bad
assert s["totals"]["boxes"] == 3 and abs(s["totals"]["yieldPercent"] - 66.67) < 0.01, s["totals"]
assert any("download error" in e["text"] for e in s["events"]), s["events"]
PY
    curl -sf "${URL}metrics" >metrics.txt || fail "no /metrics"
    promtool check metrics <metrics.txt >promtool.txt 2>&1 || fail "promtool: $(cat promtool.txt)"
    contains metrics.txt 'kestrune_build_info{version="'
    metrics_match_record
    expect "POST" "$(status_of -X POST --data x "${URL}metrics")" 405
    expect "DELETE" "$(status_of -X DELETE "${URL}api/station")" 405
    expect "HEAD" "$(status_of -I "${URL}api/station")" 200
    expect "unknown path" "$(status_of "${URL}start")" 404
    # The first message of /events is the state now.
    timeout 3 curl -sN "${URL}events" >events.txt
    grep -q '^data: {.*"events":\[.*"ports":' events.txt || fail "no state on /events"
    kill -INT "$STATION"
    wait "$STATION"
    expect "station exit" "$?" 1
    ;;
  client_limit)
    # 16 clients of /events at once; the 17th is answered 503 and closed while other pages are
    # still answered, and once one of the 16 leaves, a new client is served again.
    start_box 1 --stay 60 "$SAMPLE"
    station --port "$PTY_1"
    readers=()
    for i in $(seq 16); do
      curl -sN "${URL}events" >"reader-$i.txt" &
      readers+=("$!")
      pids+=("$!")
    done
    for _ in $(seq 50); do
      [ "$(grep -l '^data: ' reader-*.txt 2>/dev/null | wc -l)" -ge 16 ] && break
      sleep 0.1
    done
    expect "clients served" "$(grep -l '^data: ' reader-*.txt | wc -l)" 16
    expect "one more" "$(status_of --max-time 5 "${URL}events")" 503
    expect "the state" "$(status_of --max-time 5 "${URL}api/station")" 200
    kill "${readers[0]}"
    sleep 0.5
    expect "after one left" "$(status_of --max-time 2 -o /dev/null "${URL}events")" 200
    kill -INT "$STATION"
    wait "$STATION"
    expect "station exit" "$?" 0
    ;;
  limits)
    # While four ports download, 40 connections that send a request and never read, and one
    # request with 100 KB of headers: every download is byte-exact and the station is still
    # answering.
    for i in 1 2 3 4; do start_box "$i" --boxes 2 --gap 1.5 --stay 60 "$SAMPLE"; done
    station --port "$PTY_1" --port "$PTY_2" --port "$PTY_3" --port "$PTY_4"
    port="${URL##*:}"; port="${port%/}"
    python3 - "$port" >flood.txt 2>&1 <<'PY' &
import socket, sys, time
held = []
for _ in range(40):
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    held.append(s)
time.sleep(15)
PY
    pids+=("$!")
    sleep 1
    python3 - "$port" >big.txt 2>&1 <<'PY' || fail "the 100 KB request: $(cat big.txt)"
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b"GET /api/station HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 102400 + b"\r\n\r\n")
answer = s.recv(100)
assert not answer.startswith(b"HTTP/1.1 200"), answer
print(answer[:20])
PY
    wait_records 8 90
    expect "complete records" "$(grep -c '"outcome":"complete"' record.jsonl)" 8
    for _ in $(seq 50); do
      [ "$(cat box-*.out | grep -c 'byte-exact')" -ge 8 ] && break
      sleep 0.1
    done
    expect "byte-exact boxes" "$(cat box-*.out | grep -c 'byte-exact')" 8
    # The held connections time out or are dropped; then the station answers again.
    for _ in $(seq 150); do
      [ "$(status_of --max-time 2 "${URL}metrics")" = 200 ] && break
      sleep 0.2
    done
    expect "after the flood" "$(status_of --max-time 2 "${URL}metrics")" 200
    # With room in the pool: 100 KB of headers in one line, and in 25 lines of 4 KB each within
    # the limit of a line, are both refused.
    python3 - "${URL##*:}" >headers.txt 2>&1 <<'PY' || fail "100 KB of headers: $(cat headers.txt)"
import socket, sys
port = int(sys.argv[1].rstrip("/"))
for name, headers in (("one line", b"X-Big: " + b"a" * 102400 + b"\r\n"),
                      ("25 lines", b"".join(b"X-Many-%d: %s\r\n" % (i, b"a" * 4096)
                                            for i in range(25)))):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(b"GET /api/station HTTP/1.1\r\nHost: x\r\n" + headers + b"\r\n")
    answer = s.recv(100)
    assert answer.startswith(b"HTTP/1.1 431"), (name, answer)
PY
    kill -INT "$STATION"
    wait "$STATION"
    expect "station exit" "$?" 0
    ;;
  address_in_use)
    # A second station on the first one's port stops at the start and says why; so does an
    # --http that is not an address.
    start_box 1 --stay 30 "$SAMPLE"
    start_box 2 --stay 30 "$SAMPLE"
    station --port "$PTY_1"
    port="${URL##*:}"; port="${port%/}"
    "$CLI" station --http "$port" --port "$PTY_2" "$SAMPLE" 2>second.err
    expect "second station" "$?" 69
    contains second.err "cannot listen on 127.0.0.1:$port: Address already in use"
    "$CLI" station --http 8080x --port "$PTY_2" "$SAMPLE" 2>usage.err
    expect "bad --http" "$?" 64
    contains usage.err "--http 8080x: the port must be a number from 0 to 65535"
    kill -INT "$STATION"
    wait "$STATION"
    ;;
  hostile_attacks)
    # Four lines of three boxes at 115200 baud, one on a port whose name is not UTF-8. The first
    # box of each line downloads without clients; the others while the attacks run: 40 idle,
    # 17 slowloris and 16 long-line clients with the one-shot attacks beside them, then 300 idle
    # connections at once. Then the metrics (promtool), and Ctrl-C in the middle of the attacks.
    # A gap well past the 1 s settle: a box that wakes during it is held as the same box waking
    # again, and once, under the attacks, the settle ran half a second late.
    for i in 1 2 3 4; do start_box "$i" --boxes 3 --gap 3 --baud 115200 --stay 60 "$SAMPLE"; done
    bad="$work/caf"$'\xe9'
    ln -s "$PTY_4" "$bad"
    # Memory the sanitizer keeps of freed blocks is not the station's.
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:quarantine_size_mb=0" \
      station --port "$PTY_1" --port "$PTY_2" --port "$PTY_3" --port "$bad"
    port="${URL##*:}"; port="${port%/}"
    attack="$(dirname "$0")/web_attack.py"
    wait_records 4 60
    python3 "$attack" "$port" "$STATION" mixed 8 >mixed.txt || fail "mixed: $(cat mixed.txt)"
    python3 "$attack" "$port" "$STATION" flood 5 >flood.txt || fail "flood: $(cat flood.txt)"
    wait_records 12 90
    for _ in $(seq 50); do
      [ "$(cat box-*.out | grep -c 'byte-exact')" -ge 12 ] && break
      sleep 0.1
    done
    expect "byte-exact boxes" "$(cat box-*.out | grep -c 'byte-exact')" 12
    expect "complete records" "$(grep -c '"outcome":"complete"' record.jsonl)" 12
    # Each line's later boxes against its first, which had no clients (within 1 % measured;
    # 2 % allowed for a machine shared with other work).
    python3 - >ratio.txt <<'PY' || fail "downloads slowed: $(cat ratio.txt)"
import collections, json
by = collections.defaultdict(list)
for line in open("record.jsonl"):
    r = json.loads(line)
    by[r["port"]].append(r["durationSeconds"])
ratios = [sum(d[1:]) / len(d[1:]) / d[0] for d in by.values()]
print("download ratio %.3f (worst line %.3f)" % (sum(ratios) / len(ratios), max(ratios)))
assert sum(ratios) / len(ratios) < 1.02, ratios
PY
    curl -sf "${URL}metrics" >metrics.txt || fail "no /metrics"
    promtool check metrics <metrics.txt >promtool.txt 2>&1 || fail "promtool: $(cat promtool.txt)"
    contains metrics.txt "kestrune_boxes_total{port=\"$work/caf"$'\xef\xbf\xbd'"\",outcome=\"complete\"} 3"
    grep -q '^kestrune_web_refused_total [1-9]' metrics.txt || fail "no refusals counted"
    python3 "$attack" "$port" "$STATION" mixed 30 >stop.txt 2>&1 &
    pids+=("$!")
    sleep 2
    kill -INT "$STATION"
    stopped=$(date +%s.%N)
    wait "$STATION"
    expect "station exit" "$?" 0
    python3 -c "import sys; t = $(date +%s.%N) - $stopped; print('ended %.2f s after Ctrl-C' % t)
sys.exit(t >= 1)" >>ratio.txt || fail "$(tail -1 ratio.txt)"
    cat mixed.txt flood.txt ratio.txt
    ;;
  hostile_names)
    # The address and the names the page answers to.
    start_box 1 --stay 30 "$SAMPLE"
    "$CLI" station --http nosuch.invalid:8080 --port "$PTY_1" "$SAMPLE" 2>resolve.err
    expect "a name that does not resolve" "$?" 69
    contains resolve.err "cannot listen on nosuch.invalid:8080: the name does not resolve"
    "$CLI" station --http-host linepc --port "$PTY_1" "$SAMPLE" 2>usage.err
    expect "--http-host alone" "$?" 64
    # Every address: the URL printed is one another machine can open, not 0.0.0.0.
    "$CLI" station --http 0.0.0.0:0 --http-host linepc.example --port "$PTY_1" "$SAMPLE" \
      2>station.err &
    STATION=$!
    pids+=("$STATION")
    for _ in $(seq 100); do grep -q 'dashboard: http' station.err && break; sleep 0.05; done
    line="$(grep -o 'dashboard: http.*' station.err)"
    URL="$(echo "$line" | cut -d' ' -f2)"
    case "$line" in
      "dashboard: http://0.0.0.0:"*) fail "not a URL to open: $line" ;;
      *"(and every other address of this machine)"|*"(every address; this machine has no network address now)") ;;
      *) fail "does not say what it is: $line" ;;
    esac
    expect "the printed URL" "$(status_of --max-time 2 "${URL}api/station")" 200
    port="${URL##*:}"; port="${port%/}"
    expect "--http-host" "$(status_of --max-time 2 -H "Host: LinePC.example:$port" "http://127.0.0.1:$port/")" 200
    expect "another name" "$(status_of --max-time 2 -H "Host: evil.example:$port" "http://127.0.0.1:$port/")" 421
    kill -INT "$STATION"
    wait "$STATION"
    ;;
  hostile_accept)
    # Ports first: with 4 descriptors left (the limit lowered while the station runs) and 12
    # idle clients, the page takes no more than half of them and the port reopens for its next
    # box. Then with none left the page can no longer accept: it says so on the table, and
    # accepts again once it can; the box after is served.
    start_box 1 --boxes 3 --gap 4 --stay 60 "$SAMPLE"
    # The station of the package's tree: the sanitizers' check of a virtual call probes memory
    # through a pipe of its own, and with no descriptor left it takes every object for a bad
    # one and ends the program. This case is the one that runs out on purpose.
    [ -x "$RELEASE_CLI" ] || { echo "SKIP: no $RELEASE_CLI (make release)"; exit 77; }
    CLI="$RELEASE_CLI" station --port "$PTY_1"
    port="${URL##*:}"; port="${port%/}"
    wait_records 1 30
    open=$(ls /proc/"$STATION"/fd | wc -l)
    prlimit --pid "$STATION" --nofile="$((open + 4)):" || fail "prlimit"
    python3 - "$port" <<'PY' &
import socket, sys, time
held = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(12)]
time.sleep(4)
PY
    pids+=("$!")
    wait_records 2 30
    expect "complete records" "$(grep -c '"outcome":"complete"' record.jsonl)" 2
    prlimit --pid "$STATION" --nofile=1024: || fail "prlimit"
    sleep 1
    for _ in $(seq 50); do
      curl -s --max-time 1 "${URL}api/station" | grep -q '"state":"waiting"' && break
      sleep 0.1
    done
    open=$(ls /proc/"$STATION"/fd | wc -l)
    prlimit --pid "$STATION" --nofile="$open:" || fail "prlimit"
    curl -s --max-time 2 "${URL}api/station" >/dev/null &
    for _ in $(seq 50); do grep -q 'cannot accept' station.err && break; sleep 0.1; done
    contains station.err "station: dashboard: cannot accept connections (Too many open files); trying again every second"
    prlimit --pid "$STATION" --nofile=1024: || fail "prlimit"
    wait_records 3 30
    curl -sf --max-time 2 "${URL}metrics" >metrics.txt || fail "no /metrics after"
    contains station.err "station: dashboard: accepting connections again"
    grep -q '^kestrune_web_accept_failures_total [1-9]' metrics.txt || fail "no failures counted"
    contains metrics.txt "kestrune_web_accepting 1"
    kill -INT "$STATION"
    wait "$STATION"
    expect "station exit" "$?" 0
    expect "byte-exact boxes" "$(grep -c 'byte-exact' box-1.out)" 3
    ;;
  *)
    fail "no case $case_name"
    ;;
esac
echo "ok ($case_name)"
