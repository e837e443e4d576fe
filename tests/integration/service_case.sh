#!/usr/bin/env bash
# One end-to-end case of a station run as a service: from a config file with slot names, a
# reload (SIGHUP) during downloads, a broken config at a reload, logrotate's rename, a lot's
# quota, and systemd's notify socket. Usage: service_case.sh CASE
# (environment: CLI, BOXSIM, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=service-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=5

# config FILE PORT...: a config of the sample with the slots A1, A2, ... on PORT...
config() {
  local file="$1" i=1; shift
  {
    echo "# a line of the test"
    echo "image = \"${IMAGE:-$SAMPLE}\""
    echo "record = \"record.jsonl\""
    echo "settle = 1"
    [ -n "${LOT:-}" ] && printf 'lot = "%s"\nhttp = "0"\n' "$LOT"
    for p in "$@"; do
      printf '\n[[port]]\nslot = "A%d"\ndevice = "%s"\n' "$i" "$p"
      i=$((i + 1))
    done
  } >"$file"
}

# lines N ARGS...: N box simulators (lines) on new ptys; their devices in DEVICES.
lines() {
  local n="$1"; shift
  DEVICES=()
  for i in $(seq "$n"); do
    start_box "$i" "$@" "$SAMPLE"
    local var="PTY_$i"
    DEVICES+=("${!var}")
  done
}

# field N NAME: NAME of record line N (1-based) as Python prints it.
field() {
  python3 -c 'import json,sys; print(json.loads(open("record.jsonl").readlines()[int(sys.argv[1])-1])[sys.argv[2]])' "$1" "$2"
}

# every_line_whole: every record line parses.
every_line_whole() {
  python3 - "$@" <<'PY' || fail "a record line is torn"
import json, sys
for name in sys.argv[1:] or ["record.jsonl"]:
    for line in open(name):
        json.loads(line)
PY
}

station() {
  "$CLI" station "$@" 2>station.err &
  STATION=$!
  pids+=("$STATION")
}

case "$case_name" in
  config_slots)
    lines 2 --boxes 1 --stay 30
    config line.toml "${DEVICES[@]}"
    "$CLI" station --config line.toml --check --settle 2 >check.txt 2>check.err
    expect "check exit" "$?" 0
    contains check.txt "settle = 2  # command line"
    contains check.txt "port = A1=$PTY_1, A2=$PTY_2  # line.toml line 6"
    contains check.txt "retries = 0  # default"
    station --config line.toml
    wait_lines record.jsonl 2 60 || fail "no records"
    kill -INT "$STATION"; wait "$STATION"; expect "station exit" "$?" 0
    slots="$(field 1 slot) $(field 2 slot)"
    [ "$slots" = "A1 A2" ] || [ "$slots" = "A2 A1" ] || fail "slots in the record: $slots"
    [ "$(field 1 port)" = "$(field 1 slot)" ] || fail "the record's port is not its slot"
    case "$(field 1 device)" in "$PTY_1" | "$PTY_2") ;; *) fail "device $(field 1 device)" ;; esac
    grep -qE '^[0-9T:.-]+Z A1: complete' station.err || fail "no timed line for A1"
    if grep -q $'\e' station.err; then fail "control characters in a log"; fi
    ;;
  refusals)
    printf 'settle = 1\nretries = 300\n' >bad.toml
    "$CLI" station --config bad.toml 2>err.txt; expect "status" "$?" 64
    contains err.txt "bad.toml:2: retries: needs a number from 0 to 100, not 300"
    printf '[[port]]\nslot = "A1"\ndevice = "/dev/null"\n[[port]]\nslot = "A1"\ndevice = "/dev/zero"\n' >dup.toml
    "$CLI" station --config dup.toml 2>err.txt; expect "status" "$?" 64
    contains err.txt "dup.toml:5: port.slot: A1 is given twice (first on line 2)"
    ;;
  reload_during_downloads)
    # Four downloads in progress at the SIGHUP: they finish byte-exact with the image they
    # started with; each port's next box gets the new one. The reload brings the next lot and
    # a fifth slot, which the record, the table's events, the page and the health all show.
    cp "$SAMPLE" next.dl
    lines 4 --boxes 2 --gap 2 --baud 57600 --stay 60
    LOT=L-1 config line.toml "${DEVICES[@]}"
    station --config line.toml
    for _ in $(seq 100); do [ "$(grep -c 'a box woke up' station.err)" -ge 4 ] && break; sleep 0.1; done
    URL="$(grep -o 'dashboard: http://[^ ]*' station.err | head -1 | cut -c12-)"
    sleep 1
    start_box 5 --boxes 1 --baud 57600 --stay 60 "$SAMPLE"
    LOT=L-2 IMAGE=next.dl config line.toml "${DEVICES[@]}" "$PTY_5"
    kill -HUP "$STATION"
    wait_lines record.jsonl 9 120 || fail "not 9 records"
    curl -sf "${URL}api/station" >state.json || fail "no /api/station at $URL"
    kill -INT "$STATION"; wait "$STATION"; expect "station exit" "$?" 0
    contains station.err "reloaded line.toml"
    contains station.err "station $(hostname), lot L-2"
    every_line_whole
    expect "complete" "$(grep -c '"outcome":"complete"' record.jsonl)" 9
    expect "old image" "$(grep -c "\"image\":\"$SAMPLE\"" record.jsonl)" 4
    expect "new image" "$(grep -c '"image":"next.dl"' record.jsonl)" 5
    expect "new lot" "$(grep -c '"lot":"L-2"' record.jsonl)" 5
    expect "byte-exact" "$(cat box-*.out | grep -c 'byte-exact')" 9
    python3 - <<'PY' || fail "the page does not show the reload: $(cat state.json)"
import json
s = json.load(open("state.json"))
assert s["lot"] == "L-2", s["lot"]
a5 = [p for p in s["ports"] if p["port"] == "A5"]
assert len(s["ports"]) == 5 and len(a5) == 1, [p["port"] for p in s["ports"]]
assert a5[0]["done"] == 1 and a5[0]["linkQuality"] is not None, a5[0]
PY
    ;;
  broken_config_at_reload)
    lines 1 --boxes 2 --gap 2 --stay 60
    config line.toml "${DEVICES[@]}"
    station --config line.toml
    wait_lines record.jsonl 1 60 || fail "no first record"
    echo "retries = \"many\"" >>line.toml
    kill -HUP "$STATION"
    wait_lines record.jsonl 2 60 || fail "the old settings did not go on"
    kill -INT "$STATION"; wait "$STATION"; expect "station exit" "$?" 0
    contains station.err "reload refused: line.toml:"
    contains station.err "going on with the old settings"
    ;;
  logrotate)
    # logrotate renames the record, then reloads: every line is in one of the two files.
    lines 2 --boxes 3 --gap 1.5 --stay 60
    config line.toml "${DEVICES[@]}"
    station --config line.toml
    wait_lines record.jsonl 2 60 || fail "no records"
    mv record.jsonl record.jsonl.1
    kill -HUP "$STATION"
    for _ in $(seq 900); do
      [ $(($(cat record.jsonl.1 record.jsonl 2>/dev/null | wc -l))) -ge 6 ] && break; sleep 0.1
    done
    kill -INT "$STATION"; wait "$STATION"; expect "station exit" "$?" 0
    every_line_whole record.jsonl.1 record.jsonl
    expect "lines" "$(cat record.jsonl.1 record.jsonl | wc -l)" 6
    [ -s record.jsonl ] || fail "nothing written after the reload"
    ;;
  stop_after)
    lines 2 --boxes 5 --gap 1.5 --stay 60
    config line.toml "${DEVICES[@]}"
    station --config line.toml --stop-after 3
    for _ in $(seq 900); do kill -0 "$STATION" 2>/dev/null || break; sleep 0.1; done
    wait "$STATION"; expect "station exit" "$?" 0
    contains station.err "3 boxes complete (--stop-after): no new boxes"
    n="$(wc -l <record.jsonl)"
    [ "$n" -ge 3 ] && [ "$n" -le 4 ] || fail "$n records after --stop-after 3"
    ;;
  notify)
    # The test is the service manager: its notify socket, a watchdog of 1 s.
    lines 1 --boxes 1 --stay 30
    config line.toml "${DEVICES[@]}"
    python3 - notify.sock >notify.txt <<'PY' &
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(15)
start = time.monotonic()
try:
    while True:
        msg = s.recv(4096).decode()
        print("%.2f %s" % (time.monotonic() - start, msg.replace("\n", " ")), flush=True)
        if msg.startswith("STOPPING=1"):
            break
except socket.timeout:
    pass
PY
    pids+=("$!")
    for _ in $(seq 50); do [ -S notify.sock ] && break; sleep 0.1; done
    NOTIFY_SOCKET="$PWD/notify.sock" WATCHDOG_USEC=1000000 station --config line.toml
    wait_lines record.jsonl 1 60 || fail "no record"
    sleep 2
    kill -INT "$STATION"; wait "$STATION"; expect "station exit" "$?" 0
    sleep 0.5
    contains notify.txt "READY=1"
    contains notify.txt "STATUS=1 complete, 0 failed"
    contains notify.txt "STOPPING=1"
    pings="$(grep -c 'WATCHDOG=1' notify.txt)"
    [ "$pings" -ge 4 ] || fail "$pings watchdog pings"
    # Every half second, as WATCHDOG_USEC asks.
    python3 - <<'PY' || fail "pings not at half the watchdog's time"
t = [float(l.split()[0]) for l in open("notify.txt") if "WATCHDOG=1" in l]
gaps = [b - a for a, b in zip(t, t[1:])]
assert all(0.4 <= g <= 0.8 for g in gaps), gaps
PY
    ;;
  notify_held)
    # A port thread that stops moving stops the pings, so that systemd restarts the station.
    lines 2 --boxes 1 --stay 60
    config line.toml "${DEVICES[@]}"
    python3 - notify.sock >notify.txt <<'PY' &
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(30)
start = time.monotonic()
try:
    while True:
        msg = s.recv(4096).decode()
        print("%.2f %s" % (time.monotonic() - start, msg), flush=True)
        if msg.startswith("STOPPING=1"):
            break
except socket.timeout:
    pass
PY
    pids+=("$!")
    for _ in $(seq 50); do [ -S notify.sock ] && break; sleep 0.1; done
    NOTIFY_SOCKET="$PWD/notify.sock" WATCHDOG_USEC=1000000 KESTRUNE_TEST_HOLD_PORT=A1 \
      station --config line.toml
    for _ in $(seq 100); do grep -q "A1: a box woke up" station.err && break; sleep 0.1; done
    sleep 5
    before="$(grep -c 'WATCHDOG=1' notify.txt)"
    sleep 2
    after="$(grep -c 'WATCHDOG=1' notify.txt)"
    kill -INT "$STATION"; kill -INT "$STATION"; wait "$STATION"
    [ "$before" -ge 2 ] || fail "$before pings before the port was held"
    expect "pings while A1 is held" "$after" "$before"
    ;;
  windows_only)
    # Linux has systemd: every service command says so.
    for words in "install line1 --config line.toml" "remove line1" "reload line1" "run x --config y"; do
      # shellcheck disable=SC2086
      "$CLI" service $words 2>err.txt; expect "service $words" "$?" 64
      contains err.txt "kestrune-cli service: the service commands are for Windows; on Linux use systemd (docs/service.md)"
    done
    ;;
  *)
    fail "no case $case_name"
    ;;
esac
echo "PASS ($case_name)"
