#!/usr/bin/env bash
# Ctrl-C in the middle of downloads under Wine, over and over: ROUNDS aborts of
# kestrune-cli.exe serve on COM1 and ROUNDS aborts of a two-port station on COM3 and COM4 (two
# Ctrl-Cs), each at another moment of the download (boxes paced at 57600 baud). Every abort must
# end the program with status 4 and no crash or hang, and each must be followed by a download
# that the box simulator finds byte-exact. Then a box that stops answering mid-download (frozen
# with SIGSTOP) must be reported "not responding" within 21 s of the last frame the server sent.
# Prints the Ctrl-C-to-exit times (min/median/max) and the not-responding times.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK;
# ROUNDS (default 15: each abort at another moment of the first 2.5 s, in both programs).
set -uo pipefail
if [ ! -x "$BOXSIM" ]; then
  echo "SKIP: no native box simulator at $BOXSIM"
  exit 77
fi
case_name=abort_storm
source "$(dirname "$0")/case_lib.sh"
export KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR"
"$ROOT/scripts/wine-prefix.sh" >/dev/null
# The storm has a prefix of its own, so that at the end its wineserver, and every Wine process
# left behind by a killed program, can be ended without touching the Wine tests beside it.
trap 'kill_own
(source "$ROOT/scripts/wine-env.sh" && wineserver -k) >/dev/null 2>&1' EXIT
ROUNDS="${ROUNDS:-15}"
# One warm wineserver for the whole storm: a program then starts in tens of milliseconds. Not on
# this script's output: the server outlives the script while other tests use the prefix, and
# CTest waits for every holder of a test's output before it calls the test done.
(source "$ROOT/scripts/wine-env.sh" && wineserver -p 10) </dev/null >/dev/null 2>&1
# Started straight from here, not through a function: a background function is a subshell,
# and the Ctrl-C would stop there.
wine_run="$ROOT/scripts/wine-run.sh"

now_ms() { echo $(($(date +%s%N) / 1000000)); }


# stop_program PID EXPECTED TIMES SIGNALS...: sends each signal (100 ms apart), waits for the
# exit (at most 10 s) and appends the time from the last signal to the exit to the file TIMES.
stop_program() {
  local pid="$1" expected="$2" times="$3"; shift 3
  local first=1 sent
  for s in "$@"; do
    [ "$first" = 1 ] || sleep 0.1
    first=0
    kill -"$s" "$pid"
    sent=$(now_ms)
  done
  local n
  for ((n = 0; n < 200; n++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "$pid" 2>/dev/null && fail "round $round: still running 10 s after Ctrl-C"
  wait "$pid"
  local status=$?
  echo $(($(now_ms) - sent)) >>"$times"
  expect "round $round: exit status" "$status" "$expected"
}

# The moment of the abort: 0.2 to 2.5 s into the download, another one each round.
abort_delay() { printf '%d.%03d' $(((200 + $1 * 733 % 2300) / 1000)) $(((200 + $1 * 733 % 2300) % 1000)); }

kill_box() {
  local pidvar="BOXPID_$1"
  kill -9 "${!pidvar}" 2>/dev/null
  wait "${!pidvar}" 2>/dev/null
}

BOX_TIMEOUT=3
: >serve-stops.txt
: >station-stops.txt
start=$(now_ms)
for ((round = 1; round <= ROUNDS; round++)); do
  rm -f ./*.out ./*.err
  # serve, aborted mid-download.
  start_box paced --link "$WINE_PREFIX_DIR/ttyCOM1" --baud 57600 "$SAMPLE"
  "$wine_run" "$EXE" serve --port COM1 "$SAMPLE" >serve.out 2>serve.err &
  serve=$!
  wait_for 20 grep -qs "download started" serve.err || fail "round $round: serve: no box woke up"
  sleep "$(abort_delay "$round")"
  stop_program "$serve" 4 serve-stops.txt INT
  kill_box paced
  # The next download on the same port is whole.
  start_box next --link "$WINE_PREFIX_DIR/ttyCOM1" "$SAMPLE"
  timeout 60 "$wine_run" "$EXE" serve --port COM1 "$SAMPLE" >serve.out 2>serve.err
  expect "round $round: serve after the abort" "$?" 0
  wait_box next
  expect "round $round: box after the abort" "$BOX_next" 0
  contains box-next.out "byte-exact"

  # A two-port station: the first Ctrl-C lets the downloads go on, the second aborts them.
  for n in 3 4; do
    start_box "paced$n" --link "$WINE_PREFIX_DIR/ttyCOM$n" --baud 57600 "$SAMPLE"
  done
  "$wine_run" "$EXE" station --port COM3 --port COM4 "$SAMPLE" >station.out 2>station.err &
  station=$!
  wait_for 20 lines_at_least station.err "a box woke up" 2 ||
    fail "round $round: station: the boxes did not both wake up"
  sleep "$(abort_delay $((round + 7)))"
  stop_program "$station" 4 station-stops.txt INT INT
  lines_at_least station.err ": aborted" 2 || fail "round $round: station: not both aborted"
  for n in 3 4; do kill_box "paced$n"; done
  # Then both ports deliver whole images; one Ctrl-C ends the station that waits for more.
  rm -f record.jsonl
  # The boxes stay on the line after their download: a box that leaves takes its pty away,
  # which the station rightly records as a port failure.
  for n in 3 4; do
    start_box "next$n" --link "$WINE_PREFIX_DIR/ttyCOM$n" --stay 30 "$SAMPLE"
  done
  "$wine_run" "$EXE" station --port COM3 --port COM4 --settle 1 --record record.jsonl "$SAMPLE" \
    >station.out 2>station.err &
  station=$!
  wait_for 30 lines_at_least record.jsonl '"outcome":"complete"' 2 ||
    fail "round $round: station: two complete downloads did not follow the abort"
  stop_program "$station" 0 /dev/null INT
  for n in 3 4; do
    contains "box-next$n.out" "byte-exact"
    kill_box "next$n"
  done
done
storm_ms=$(($(now_ms) - start))

# The time from the last frame the server sent (the newest record from 10.0.0.1 in the
# capture) to the end of the attempt, in milliseconds.
since_last_frame() { # since_last_frame PCAP END_MS
  python3 - "$1" "$2" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
offset, last = 24, None
while offset + 16 <= len(data):
    sec, usec, incl, _ = struct.unpack_from("<IIII", data, offset)
    if data[offset + 16 + 12:offset + 16 + 16] == bytes([10, 0, 0, 1]):
        last = sec * 1000 + usec // 1000
    offset += 16 + incl
print(int(sys.argv[2]) - last if last is not None else "none")
EOF
}

# A box that stops answering in the middle of its download, for serve and for a station.
BOX_TIMEOUT=60
start_box frozen1 --link "$WINE_PREFIX_DIR/ttyCOM1" --baud 57600 "$SAMPLE"
start_box frozen3 --link "$WINE_PREFIX_DIR/ttyCOM3" --baud 57600 "$SAMPLE"
"$wine_run" "$EXE" serve --port COM1 --pcap silent.pcap "$SAMPLE" >serve.out 2>serve.err &
serve=$!
"$wine_run" "$EXE" station --port COM3 --record silent.jsonl --pcap-dir silent-pcap "$SAMPLE" \
  >station.out 2>station.err &
station=$!
wait_for 20 grep -qs "download started" serve.err || fail "silent serve: no box woke up"
wait_for 20 grep -qs "a box woke up" station.err || fail "silent station: no box woke up"
sleep 2
kill -STOP "$BOXPID_frozen1" "$BOXPID_frozen3"
gone() { ! kill -0 "$1" 2>/dev/null; }
wait_for 40 gone "$serve" || fail "silent serve: still running after 40 s"
serve_end=$(now_ms)
wait "$serve"
expect "silent serve: exit status" "$?" 2
contains serve.err "not responding"
wait_for 40 test -s silent.jsonl || fail "silent station: no record"
station_end=$(now_ms)
contains silent.jsonl '"outcome":"not responding"'
stop_program "$station" 1 /dev/null INT
kill -CONT "$BOXPID_frozen1" "$BOXPID_frozen3"
serve_silent=$(since_last_frame silent.pcap "$serve_end")
station_silent=$(since_last_frame silent-pcap/*.pcap "$station_end")

summary() { # summary FILE: "N: min A, median B, max C" of its numbers
  local count
  count=$(wc -l <"$1")
  sort -n "$1" >sorted.txt
  echo "$count: min $(head -1 sorted.txt), median $(sed -n "$(((count + 1) / 2))p" sorted.txt), max $(tail -1 sorted.txt)"
}
echo "storm: $ROUNDS rounds, each an aborted serve and an aborted 2-port station, each followed by byte-exact downloads: $((storm_ms / 1000)) s"
echo "Ctrl-C to exit, ms: serve $(summary serve-stops.txt)"
echo "second Ctrl-C to exit, ms: station $(summary station-stops.txt)"
echo "not responding after the last frame sent: serve $serve_silent ms, station $station_silent ms"
for t in "$serve_silent" "$station_silent"; do
  [[ "$t" =~ ^[0-9]+$ ]] && [ "$t" -le 21000 ] || fail "not responding took $t ms after the last frame"
done
echo "PASS"
