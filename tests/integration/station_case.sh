#!/usr/bin/env bash
# One end-to-end case of kestrune-cli station against lines of simulated boxes on real
# pseudo-terminals. Usage: station_case.sh CASE   (environment: CLI, BOXSIM, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=station-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=5

# boxes N ARGS...: N lines of boxes, box-1 ... box-N; their devices in PORTS (--port ...).
boxes() {
  local n="$1"; shift
  PORTS=()
  for i in $(seq "$n"); do
    # Each line by a link that goes with its box (see start_box).
    "$BOXSIM" --timeout "$BOX_TIMEOUT" --link "$work/tty-$i" "$@" "$SAMPLE" >"box-$i.out" \
      2>"box-$i.err" &
    pids+=("$!")
  done
  for i in $(seq "$n"); do
    for _ in $(seq 100); do [ -s "box-$i.out" ] && break; sleep 0.05; done
    [ -s "box-$i.out" ] || fail "box $i printed no device"
    PORTS+=(--port "$work/tty-$i")
  done
}

# station ARGS...: the station in the background (its pid in STATION), stderr in station.err.
station() {
  "$CLI" station --record record.jsonl --settle 1 "$@" "$SAMPLE" 2>station.err &
  STATION=$!
  pids+=("$STATION")
}

records() { [ -f record.jsonl ] && wc -l <record.jsonl || echo 0; }

# wait_records N SECONDS: until the record has N lines.
wait_records() {
  wait_lines record.jsonl "$1" "$2" || fail "$(records) records after $2 s, expected $1"
}

# wait_verdicts N SECONDS: until every box simulator has given N verdicts (a box that woke
# while its port settled has no record line, but a verdict).
wait_verdicts() {
  local end=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$end" ]; do
    local short=0
    for f in box-*.out box_*.out; do
      [ -f "$f" ] && count_text "$f" ': download ' && [ "$COUNT" -lt "$1" ] && short=1
    done
    [ "$short" = 0 ] && { sleep 1; return 0; }
    sleep 0.1
  done
  fail "not every box gave $1 verdicts within $2 s"
}

# stop_station: one SIGINT once every port waits; the exit status in STATUS.
stop_station() {
  kill -INT "$STATION"
  wait "$STATION"
  STATUS=$?
}

# count FIELD VALUE: records whose FIELD is VALUE (every line must parse).
count() {
  python3 - "$1" "$2" <<'EOF'
import json, sys
n = 0
for line in open("record.jsonl"):
    r = json.loads(line)
    n += str(r[sys.argv[1]]) == sys.argv[2]
print(n)
EOF
}

# The wear of a cable, box by box: 1e-5 more faults per byte each box (box 1 clean), from box 5
# on enough for a frame to fail now and then, and with this seed the twelfth box's download.
RISING_NOISE="--noise-rise 0.00001 --seed 13"

case "$case_name" in
  sixteen_ports)
    # 16 ports, 3 boxes in a row on each; the boxes of port 1 reboot after their download and
    # keep sending wake-up bytes for 2 s: none of them may be flashed twice.
    boxes 15 --boxes 3 --gap 1.5 --stay 60
    start_box 16 --boxes 3 --gap 1.5 --reboot 2 --stay 60 "$SAMPLE"
    PORTS+=(--port "$PTY_16")
    station "${PORTS[@]}" --log-dir logs
    wait_records 48 120
    sleep 1
    expect "records" "$(records)" 48
    stop_station
    expect "station exit" "$STATUS" 0
    expect "complete records" "$(count outcome complete)" 48
    # A restarting box gives its verdict once its restart is over.
    for _ in $(seq 50); do
      [ "$(cat box-*.out | grep -c 'byte-exact')" -ge 48 ] && break
      sleep 0.1
    done
    expect "byte-exact boxes" "$(cat box-*.out | grep -c 'byte-exact')" 48
    if grep -q "flashed twice" box-16.out; then fail "a rebooting box was flashed again"; fi
    expect "Test Logs" "$(ls logs | wc -l)" 48
    expect "ports in the record" "$(count imageSize 34863)" 48
    ;;
  one_bad_box)
    # A box that refuses a block 10 times: its record alone says so, and the station goes on.
    boxes 2 --boxes 2 --gap 1.5 --stay 60
    start_box 3 --nak 1:10 --stay 60 "$SAMPLE"
    bad="$PTY_3"
    station "${PORTS[@]}" --port "$bad"
    wait_records 5 90
    stop_station
    expect "station exit" "$STATUS" 1
    expect "complete records" "$(count outcome complete)" 4
    expect "failed record" "$(count outcome 'download error')" 1
    expect "failed record's port" "$(count port "$bad")" 1
    expect "its result" "$(count resultCode 513)" 1
    grep -q "$bad: download error: a frame failed 10 attempts" station.err || fail "no event line"
    ;;
  port_disappears)
    # The box of port 1 is unplugged after 3 blocks: the port is reported and recorded while
    # the others finish, and it is tried again without stopping them.
    boxes 2 --boxes 2 --gap 1.5 --stay 60 --baud 115200 --buffer-size 4096 --max-block 1024
    start_box 3 --unplug-after 3 --baud 115200 --buffer-size 4096 --max-block 1024 "$SAMPLE"
    gone="$PTY_3"
    station "${PORTS[@]}" --port "$gone"
    wait_records 6 90
    stop_station
    expect "station exit" "$STATUS" 1
    expect "complete records" "$(count outcome complete)" 4
    [ "$(count port "$gone")" -ge 2 ] || fail "the lost port has fewer than 2 records"
    expect "its port failure" "$(count outcome 'port failure')" 1
    grep -q "$gone: port failure: .*trying again every 3 s" station.err || fail "no retry line"
    ;;
  port_comes_back)
    # The box simulator behind a link name ends and a new one takes the name: the station sees
    # the old pseudo-terminal hang up, records it once, and serves the new box.
    "$BOXSIM" --timeout "$BOX_TIMEOUT" --link L1 --stay 3 "$SAMPLE" >box-1.out 2>box-1.err &
    pids+=("$!")
    for _ in $(seq 100); do [ -s box-1.out ] && break; sleep 0.05; done
    station --port L1
    wait_records 1 30
    for _ in $(seq 100); do grep -q "L1: port failure: L1 went away" station.err && break; sleep 0.1; done
    grep -q "L1: port failure: L1 went away" station.err || fail "the hang-up was not seen"
    "$BOXSIM" --timeout "$BOX_TIMEOUT" --link L1 --stay 30 "$SAMPLE" >box-2.out 2>box-2.err &
    pids+=("$!")
    wait_records 3 25
    # Another pseudo-terminal under the old name: said, and served as a new port.
    grep -q "L1: the port is back, but it is another device: no by-id name" station.err ||
      fail "no back line naming another device"
    stop_station
    expect "complete records" "$(count outcome complete)" 2
    expect "port failure records" "$(count outcome 'port failure')" 1
    ;;
  guard)
    # Under --expect-hardware (in hexadecimal, as the BOX column spells it) a box whose request
    # never arrived intact gets no DownloadInfoResponse; the right box beside it is served.
    start_box 1 --hardware 0x00A0B1:0x5602:0x0203 --corrupt-request 0:10 --stay 60 "$SAMPLE"
    start_box 2 --hardware 00-A0-B1:5601:0203 --stay 60 "$SAMPLE"
    station --port "$PTY_1" --port "$PTY_2" --expect-hardware 5601/0203
    wait_records 2 60
    stop_station
    expect "complete records" "$(count outcome complete)" 1
    expect "wrong box records" "$(count outcome 'wrong box')" 1
    grep '"outcome":"wrong box"' record.jsonl | grep -qF "its request never arrived intact" ||
      fail "no reason in the record: $(cat record.jsonl)"
    grep -qF "$PTY_1: wrong box: its request never arrived intact" station.err || fail "no event line"
    if grep -q "blockSize" box-1.out; then fail "the box got a DownloadInfoResponse"; fi
    contains box-2.out "byte-exact"
    ;;
  retry_and_suspect)
    # Port 1: a box whose first attempt fails and whose loader restarts is served again and
    # counted once, as complete. Port 2: boxes that always fail make the port a suspect.
    start_box 1 --restart-after-failure --end-early 1 --buffer-size 4096 --max-block 1024 \
      --stay 60 "$SAMPLE"
    start_box 2 --boxes 3 --gap 1.5 --end-early 1 --buffer-size 4096 --max-block 1024 \
      --stay 60 "$SAMPLE"
    station --port "$PTY_1" --port "$PTY_2" --retries 1 --suspect-after 2
    wait_records 5 60
    stop_station
    expect "station exit" "$STATUS" 1
    python3 - "$PTY_1" "$PTY_2" <<'EOF' || fail "the record's attempts"
import json, sys
lines = [json.loads(l) for l in open("record.jsonl")]
one = [l for l in lines if l["port"] == sys.argv[1]]
two = [l for l in lines if l["port"] == sys.argv[2]]
assert [l["attempt"] for l in one] == [1, 2], one
assert one[0]["boxSession"] == one[1]["boxSession"]
assert [l["outcome"] for l in one] == ["download error", "complete"]
assert len({l["boxSession"] for l in two}) == len(two) >= 3
assert [l["failuresInRow"] for l in two][:3] == [1, 2, 3], two
EOF
    grep -q "$PTY_1: the box woke again: attempt 2 of 2" station.err || fail "no retry line"
    grep -q "2 failures in a row on $PTY_2: check its cable and adapter" station.err ||
      fail "no suspect line"
    grep -q "station: 1 complete, 3 failed" station.err || fail "a box counted twice"
    grep -q "suspect ports: $PTY_2 (3 failures in a row)" station.err || fail "no suspect summary"
    # kestrune-cli report counts that record as the station did, in each of its formats.
    "$CLI" report --suspect-after 2 --format json record.jsonl >report.json 2>report.err
    expect "report exit" "$?" 0
    python3 - "$PTY_1" "$PTY_2" <<'EOF' || fail "the report's numbers"
import json, sys
r = json.load(open("report.json"))
t = r["total"]
assert (t["boxes"], t["complete"], t["failed"], t["retriesSaved"]) == (4, 1, 3, 1), t
assert t["failedByOutcome"]["download error"] == 3, t
assert [p["port"] for p in r["suspectPorts"]] == [sys.argv[2]], r["suspectPorts"]
one = [p for p in r["ports"] if p["port"] == sys.argv[1]][0]
assert one["yield"] == 1.0 and one["medianSeconds"] > 0, one
EOF
    "$CLI" report --format csv record.jsonl >report.csv 2>report.err
    python3 -c 'import csv
rows = [r for r in csv.DictReader(open("report.csv", newline="")) if r["scope"] == "total"]
assert rows[0]["boxes"] == "4" and rows[0]["retriesSaved"] == "1", rows' || fail "the CSV report"
    "$CLI" report record.jsonl >report.txt 2>report.err
    contains report.txt "suspect ports (3 failures in a row or more): $PTY_2 (3 failures in a row)"
    "$CLI" report record.jsonl missing.jsonl >report.txt 2>report.err
    expect "report of a missing record" "$?" 66
    contains report.err "cannot open the record missing.jsonl: No such file or directory"
    "$CLI" report --since yesterday record.jsonl 2>report.err
    expect "report with a wrong --since" "$?" 64
    ;;
  failed_box_counts)
    # With --retries 1, boxes that fail and never wake again within the settle time: each is
    # counted failed (table, summary, status), and the second box, 3 s after the first, is a
    # box of its own, not the first one's attempt 2.
    start_box 1 --boxes 2 --gap 3 --nak 1:10 --buffer-size 4096 --max-block 1024 --stay 60 \
      "$SAMPLE"
    station --retries 1 --port "$PTY_1"
    wait_records 2 60
    sleep 2
    stop_station
    expect "station exit" "$STATUS" 1
    contains station.err "station: 0 complete, 2 failed, 0 aborted"
    grep -q "woke again" station.err && fail "a later box was taken for a retry"
    grep -q "no record" station.err && fail "a recording station said it has no record"
    python3 - <<'EOF' || fail "the record's boxes"
import json
lines = [json.loads(l) for l in open("record.jsonl")]
assert [l["attempt"] for l in lines] == [1, 1], lines
assert len({l["boxSession"] for l in lines}) == 2, lines
assert {l["outcome"] for l in lines} == {"download error"}, lines
EOF
    # Without --record the operator is told at the start.
    "$CLI" station --port "$PTY_1" "$SAMPLE" 2>bare.err &
    bare=$!
    pids+=("$bare")
    for _ in $(seq 50); do grep -q "Ctrl-C stops" bare.err && break; sleep 0.1; done
    kill -INT "$bare"
    wait "$bare"
    contains bare.err "station: no record: this shift's boxes are on the screen only"
    ;;
  stop_finishes_then_aborts)
    # The first SIGINT lets the downloads in progress finish; in a second station, a second
    # SIGINT aborts them.
    boxes 3 --baud 57600
    station "${PORTS[@]}"
    for _ in $(seq 100); do grep -q "downloading" station.err && break; sleep 0.1; done
    sleep 1
    stop_station
    expect "first station exit" "$STATUS" 0
    expect "complete records" "$(count outcome complete)" 3
    grep -q "downloads in progress finish" station.err || fail "no stop message"

    rm -f record.jsonl
    boxes 3 --baud 57600
    station "${PORTS[@]}"
    for _ in $(seq 100); do grep -q "downloading" station.err && break; sleep 0.1; done
    sleep 1
    kill -INT "$STATION"
    sleep 0.3
    kill -INT "$STATION"
    t0=$(date +%s%N)
    wait "$STATION"
    STATUS=$?
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    expect "second station exit" "$STATUS" 4
    [ "$ms" -lt 3000 ] || fail "the abort took ${ms} ms"
    expect "aborted records" "$(count outcome aborted)" 3
    ;;
  killed_mid_download)
    # SIGKILL at any moment leaves whole records, at most a torn last line.
    boxes 4 --boxes 3 --gap 0.3 --baud 230400
    station "${PORTS[@]}" --settle 0.2
    wait_records 5 60
    kill -9 "$STATION"
    wait "$STATION" 2>/dev/null
    python3 - <<'EOF' || fail "the record does not parse"
import json
lines = open("record.jsonl", "rb").read().split(b"\n")
whole = lines[:-1]  # after the last newline: nothing, or a torn line
for line in whole:
    json.loads(line)
assert len(whole) >= 5, len(whole)
EOF
    ;;
  refusals)
    # Mistakes stop the station before any box is served.
    boxes 1
    "$CLI" station "$SAMPLE" 2>err.txt
    expect "no port" "$?" 64
    grep -q "give at least one --port" err.txt || fail "no port message"
    "$CLI" station "${PORTS[@]}" "${PORTS[@]}" "$SAMPLE" 2>err.txt
    expect "a port twice" "$?" 64
    ln -s "${PORTS[1]}" alias
    "$CLI" station "${PORTS[@]}" --port ./alias "$SAMPLE" 2>err.txt
    expect "one device under two names" "$?" 64
    grep -q "are the same device" err.txt || fail "no message for the alias"
    "$CLI" station "${PORTS[@]}" --record "$work/no-dir/record.jsonl" "$SAMPLE" 2>err.txt
    expect "unwritable record" "$?" 73
    "$CLI" station "${PORTS[@]}" --port "$work/no-such-port" "$SAMPLE" 2>err.txt
    expect "missing port" "$?" 3
    grep -q "no such device .*no-such-port" err.txt || fail "no reason for the missing port"
    [ -e record.jsonl ] && fail "a record was started"
    ;;
  rising_noise)
    # Eight ports; the cable of the eighth wears box by box (seeded) until its boxes fail: that
    # port, and only it, is marked degrading, at least three boxes before its first failure.
    boxes 7 --boxes 12 --gap 1.2 --stay 240
    start_box 8 --boxes 12 --gap 1.2 --stay 240 $RISING_NOISE "$SAMPLE"
    PORTS+=(--port "$PTY_8")
    station "${PORTS[@]}"
    wait_verdicts 12 330
    stop_station
    python3 - "$PTY_8" <<'EOF' >health.txt || fail "health: $(cat health.txt)"
import json, sys
worn = sys.argv[1]
lines = [json.loads(l) for l in open("record.jsonl")]
mine = [l for l in lines if l["port"] == worn]
marked = [i for i, l in enumerate(mine) if l["linkQuality"]["degrading"]]
failed = [i for i, l in enumerate(mine) if l["outcome"] != "complete"]
others = [l["port"] for l in lines if l["port"] != worn and l["linkQuality"]["degrading"]]
assert marked, "the worn port was never marked"
assert failed, "the worn port's boxes never failed"
assert not others, "clean ports marked: %s" % others
ahead = failed[0] - marked[0]
assert ahead >= 3, "marked only %d boxes before its first failure" % ahead
print("marked at box %d, first failure at box %d: %d boxes ahead" %
      (marked[0] + 1, failed[0] + 1, ahead))
EOF
    cat health.txt
    grep -q "$PTY_8: link degrading: " station.err || fail "no degrading event"
    ;;
  same_noise)
    # The same wear on every port (mains noise, a bad hub), up to failures: no port is marked,
    # and the station says the line as a whole worsened.
    boxes 8 --boxes 12 --gap 1.2 --stay 240 $RISING_NOISE
    station "${PORTS[@]}"
    wait_verdicts 12 330
    stop_station
    [ "$(grep -c 'link degrading' station.err)" = 0 ] || fail "$(grep 'link degrading' station.err)"
    grep -q "the line as a whole worsened: " station.err || fail "no word of the whole line"
    [ "$(count outcome complete)" -lt "$(records)" ] || fail "no box failed"
    ;;
  causes)
    # Each cause of failure from its fault, and the report names each: a block every box on
    # three ports refuses (image), a noisy cable (port), a box that ends early where the boxes
    # before and after it on its port pass (box), an unplug mid-download (handling).
    boxes 3 --boxes 2 --gap 1.2 --stay 120 --nak 2:10
    start_box noisy --boxes 1 --stay 120 --noise 0.0002 --seed 3 "$SAMPLE"
    start_box gone --unplug-after 1 "$SAMPLE"
    start_box clean --boxes 3 --gap 1.2 --stay 120 "$SAMPLE"
    start_box early --boxes 3 --gap 1.2 --stay 120 --faulty-box 2 --end-early 3 "$SAMPLE"
    PORTS+=(--port "$PTY_noisy" --port "$PTY_gone" --port "$PTY_clean" --port "$PTY_early")
    station "${PORTS[@]}"
    # 2 boxes on each of the first three ports, 3 on the clean one and on the early one, 1 on
    # the noisy one, and the unplugged one's download and its port failure.
    wait_records 15 120
    stop_station
    "$CLI" report record.jsonl >report.txt || fail "report: $?"
    sed -n '/FAILURES BY CAUSE/,$p' report.txt
    grep -q "^image: block 1 of module 0 failed on 3 of 7 ports" report.txt || fail "no image cause"
    grep -q "^port: $PTY_noisy: " report.txt || fail "no port cause"
    grep -q "^box: $PTY_early: 1 box failed where 2 others passed" report.txt || fail "no box cause"
    grep -q "^handling: $PTY_gone: " report.txt || fail "no handling cause"
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "PASS ($case_name)"
