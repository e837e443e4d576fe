#!/usr/bin/env bash
# kestrune-cli.exe service under Wine's service manager: install a station from its config (a
# box simulator on COM3), start it, one download byte-exact, a reload that the next box takes
# and a refused one, a stop in the middle of that box's download (it finishes byte-exact, the
# station ends, its log says so); started with a config that does not load (it stops, the log
# says why), and removed while it runs.
# Wine ends its services with the last user process of the prefix: a `cmd /c pause` fed from a
# fifo keeps the session while the case runs.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=service
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" source "$ROOT/scripts/wine-env.sh"
cli() { timeout 60 wine "$EXE" "$@"; }
NAME=kestrune-case
state() { wine sc query "$NAME" 2>&1 | tr -s ' ' | grep -o 'STATE : [0-9]* [A-Z_]*' || echo none; }
wait_state() { # wait_state STATE SECONDS
  local end=$((SECONDS + $2))
  while [ "$SECONDS" -le "$end" ]; do [ "$(state)" = "STATE : $1" ] && return 0; sleep 0.2; done
  fail "the service is not $1 after $2 s: $(state)"
}
# A case that failed half-way leaves no service that a later start of the prefix would run.
cleanup() {
  wine sc stop "$NAME" >/dev/null 2>&1
  wine sc delete "$NAME" >/dev/null 2>&1
  exec 8>&-
  kill_own
}
trap cleanup EXIT

mkfifo session
wine cmd /c pause <session >/dev/null 2>&1 &
pids+=("$!")
exec 8>session

cp "$SAMPLE" first.dl
cp "$SAMPLE" next.dl
config() { # config IMAGE [LINE]: relative paths, taken from the config's own folder
  printf 'image = "%s"\nrecord = "record.jsonl"\nsettle = 1\n%s\n[[port]]\nslot = "A1"\ndevice = "COM3"\n' \
    "$1" "${2:-}" >line.toml
}
config first.dl
BOX_TIMEOUT=5
# About 6 s a download at 57600 baud: the stop comes in the middle of the second.
start_box 3 --link "$WINE_PREFIX_DIR/ttyCOM3" --boxes 2 --gap 8 --baud 57600 --stay 30 "$SAMPLE"

cli service run "$NAME" --config line.toml 2>console.err
expect "run outside the manager" "$?" 64
contains console.err "service run is what the service manager starts"

cli service install "$NAME" --config line.toml --start demand >install.out 2>install.err
expect "install exit" "$?" 0
contains install.out "service run $NAME --config Z:"
# Its event source: Event Viewer takes the events' text from the program's message table.
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\'"$NAME"
wine reg query "$event_source" /v EventMessageFile >source.out 2>&1
contains source.out "kestrune-cli.exe"
cli service install "$NAME" --config line.toml >again.out 2>again.err
expect "second install exit" "$?" 3
contains again.err "a service $NAME exists already"
wine sc start "$NAME" >/dev/null 2>&1
wait_state "4 RUNNING" 20

wait_lines record.jsonl 1 60 || fail "no first record"
config next.dl
cli service reload "$NAME" >reload.out 2>&1
expect "reload exit" "$?" 0
wait_lines "$NAME.log" 1 10
for _ in $(seq 50); do grep -q "reloaded" "$NAME.log" && break; sleep 0.2; done
contains "$NAME.log" "reloaded $(tr -d '\r' <install.out | sed -n 's/.*--config //p'): each port takes the new settings"
config next.dl 'retries = 300'
cli service reload "$NAME" >/dev/null 2>&1
for _ in $(seq 50); do grep -q "reload refused" "$NAME.log" && break; sleep 0.2; done
contains "$NAME.log" "retries: needs a number from 0 to 100, not 300; going on with the old settings"

for _ in $(seq 100); do [ "$(grep -c 'A1: a box woke up' "$NAME.log")" -ge 2 ] && break; sleep 0.1; done
sleep 1
wine sc stop "$NAME" >/dev/null 2>&1
expect "while the download finishes" "$(state)" "STATE : 3 STOP_PENDING"
wait_state "1 STOPPED" 20
wait_lines record.jsonl 2 1 || fail "the download in progress at the stop was not recorded"
awk '/stopping: no new boxes/ {s = NR} /A1: complete/ {c = NR} END {exit !(s && c > s)}' "$NAME.log" ||
  fail "the stop did not come in the middle of the second download"
contains "$NAME.log" "service $NAME: the station ended with status 0"
contains "$NAME.log" "2 complete, 0 failed, 0 aborted"
grep -qE '^[0-9T:.-]+Z A1: complete' "$NAME.log" || fail "no timed line for A1 in the log"
expect "byte-exact" "$(grep -c 'byte-exact' box-3.out)" 2
grep '"outcome":"complete"' record.jsonl | head -1 | grep -q '"image":"first.dl"' ||
  fail "the first box did not get first.dl: $(cat record.jsonl)"
sed -n 2p record.jsonl | grep -q '"image":"next.dl".*"outcome":"complete"' ||
  fail "the box after the reload did not get next.dl: $(cat record.jsonl)"

# Started with the refused config: the log says why, and the service stops at once.
wine sc start "$NAME" >/dev/null 2>&1
wait_state "1 STOPPED" 20
contains "$NAME.log" "kestrune-cli station: $(tr -d '\r' <install.out | sed -n 's/.*--config //p'):4: retries"
contains "$NAME.log" "service $NAME: the station ended with status 64"
# Started again, and removed while it runs: the remove stops it first; the log is appended to.
config next.dl
wine sc start "$NAME" >/dev/null 2>&1
wait_state "4 RUNNING" 20
cli service remove "$NAME" >remove.out 2>&1
expect "remove exit" "$?" 0
contains remove.out "stopping $NAME: the downloads in progress finish first"
contains remove.out "removed the service $NAME"
expect "starts in the log" "$(grep -c "service $NAME: the station starts from" "$NAME.log")" 3
expect "after remove" "$(state)" none
wine reg query "$event_source" >/dev/null 2>&1 && fail "the event source outlived the service"
cli service reload "$NAME" >gone.out 2>&1
expect "reload of a removed service" "$?" 3
contains gone.out "there is no service $NAME"
echo "PASS"
