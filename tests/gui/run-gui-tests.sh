#!/usr/bin/env bash
# Runs the GUI tests of Kestrune.exe under Wine on a private X server:
#   run-gui-tests.sh BUILD_DIR SOURCE_DIR [NATIVE_BUILD_DIR]
# Starts Xvfb on a free display, keeps one wineserver alive for the whole run, prepares the
# test images, lets the driver operate the window, plays the box with the native simulator
# (NATIVE_BUILD_DIR/kestrune-boxsim) on the pseudo-terminal that the prefix's COM1 leads to,
# saves screenshots as PNG under BUILD_DIR/screenshots, and ends everything it started.
#
# KESTRUNE_GUI_ABORTS (default 30): how many aborts at random moments; KESTRUNE_GUI_SEED: their
# random seed (printed by every run); KESTRUNE_GUI_ONLY: a comma-separated choice of the groups
# window, downloads, failures, relay, aborts, watchdog. KESTRUNE_GUI_BENCH=N: no tests, but the
# window's benchmark (N timed downloads with the Test Log hidden, N shown; the driver's
# "BENCH ..." lines), no screenshots.
# Exit status: 0 passed, 1 failed, 77 the window passed but the downloads were skipped because
# the native build has no box simulator.
set -uo pipefail

build="$(cd "$1" && pwd)"
source_dir="$(cd "$2" && pwd)"
native_dir="${3:-$source_dir/build/native}"
started=$(date +%s.%N)

# A prefix of its own: the suite ends its wineserver with `wineserver -k`, which would end the
# Wine programs of every other test in the same prefix.
export KESTRUNE_WINEPREFIX="${GUI_WINEPREFIX:-$build/wine-gui}"
source "$source_dir/scripts/wine-env.sh"
"$source_dir/scripts/wine-prefix.sh" >&2 || { echo "no Wine prefix"; exit 1; }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
elapsed() { awk -v a="$(date +%s.%N)" -v b="$started" 'BEGIN { printf "%.1f", a - b }'; }

status=0
fail() { echo "FAIL: $*"; status=1; }

boxsim="$native_dir/kestrune-boxsim"
driver_box_option=""
if [ ! -x "$boxsim" ]; then
  echo "-- no box simulator at $boxsim (build the native tree first): the downloads are skipped"
  driver_box_option="--no-box"
fi

# The product: a GUI program (no console), one static file.
headers="$(x86_64-w64-mingw32-objdump -p "$build/Kestrune.exe")"
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "Kestrune.exe is not a GUI program"
for dll in $(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers"); do
  case "$dll" in
    kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|msvcrt.dll|advapi32.dll) ;;
    *) fail "Kestrune.exe needs $dll beside it" ;;
  esac
done

# Test images: the sample image, a refused one, and the sample again behind a long path.
data="$build/gui-data"
rm -rf "$data"
mkdir -p "$data"
# Two modules: "hello" with a 4-byte descriptor, "abc" with an empty one.
printf '\x00\x00\x00\x00\x00\x00\x02''\x00\x01\x00\x00\x00\x05\x01\x04\x81\x02\x00\x0a''hello''\x00\x02\x00\x00\x00\x03\x00\x02\x01\x00''abc' >"$data/two-modules.dl"
if [ -f "$source_dir/samples/sample.dl" ]; then
  cp "$source_dir/samples/sample.dl" "$data/sample.dl"
else
  cp "$data/two-modules.dl" "$data/sample.dl"
fi
printf 'not an image' >"$data/refused.dl"
long="$data/$(printf 'd%.0s' {1..60})/$(printf 'e%.0s' {1..50})"
mkdir -p "$long"
cp "$data/sample.dl" "$long/long-sample.dl"
# The two-module image behind file names of 85 and 150 characters.
for length in 85 150; do
  cp "$data/two-modules.dl" "$data/long-name-$(printf 'x%.0s' $(seq $((length - 13)))).dl"
done

# A display of its own; its Xvfb ends with this script.
source "$source_dir/scripts/xvfb.sh"
start_xvfb "$data/display.txt" 1024x768x24 || { echo "Xvfb named no display within 10 s"; exit 1; }
export DISPLAY=$xvfb_display
# The box on COM1: the simulator, or a pseudo-terminal that never says a word.
box_pid=""
box_out="$data/box.out"
box_go="$data/box.go"
stop_box() {
  if [ -n "$box_pid" ]; then
    kill "$box_pid" 2>/dev/null
    wait "$box_pid" 2>/dev/null
    box_pid=""
  fi
}
# Waits until the new box has printed its device (its first line); answers the driver.
box_ready() {
  for _ in $(seq 200); do
    if [ -s "$box_out" ]; then
      echo "ready $(head -1 "$box_out")"
      return
    fi
    kill -0 "$box_pid" 2>/dev/null || break
    sleep 0.025
  done
  echo "failed: $(head -c 300 "$data/box.err" 2>/dev/null | tr "\n" " ")"
}
relay_pid=""
stop_relay() {
  if [ -n "$relay_pid" ]; then
    kill "$relay_pid" 2>/dev/null
    wait "$relay_pid" 2>/dev/null
    relay_pid=""
  fi
}
# --relay MS: the box on a pty of its own, and kestrune-relay (a USB adapter with that latency)
# between it and COM1.
start_box() {
  stop_box
  stop_relay
  rm -f "$box_out" "$box_go"
  local args=() latency=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --hold) args+=(--hold "$box_go") ;;
      --relay) latency="$2"; shift ;;
      *) args+=("$1") ;;
    esac
    shift
  done
  if [ -z "$latency" ]; then
    "$boxsim" --link "$WINEPREFIX/ttyCOM1" "${args[@]}" "$data/sample.dl" >"$box_out" 2>"$data/box.err" &
    box_pid=$!
    box_ready
    return
  fi
  "$boxsim" "${args[@]}" "$data/sample.dl" >"$box_out" 2>"$data/box.err" &
  box_pid=$!
  local answer
  answer="$(box_ready)"
  case "$answer" in ready*) ;; *) echo "$answer"; return ;; esac
  "$native_dir/kestrune-relay" --latency "$latency" --link "$WINEPREFIX/ttyCOM1" "${answer#ready }" \
    >"$data/relay.out" 2>"$data/relay.err" &
  relay_pid=$!
  for _ in $(seq 200); do [ -s "$data/relay.out" ] && break; sleep 0.025; done
  if [ -s "$data/relay.out" ]; then echo "$answer"; else echo "failed: no relay device"; fi
}
start_silent_box() {
  stop_box
  rm -f "$box_out"
  python3 "$source_dir/tests/gui/silent-box.py" "$WINEPREFIX/ttyCOM1" >"$box_out" 2>"$data/box.err" &
  box_pid=$!
  box_ready
}
verdict_count() { grep -c '^boxsim ' "$box_out" 2>/dev/null || true; }
# BOXWAIT N S: the N-th verdict line, waiting up to S seconds.
box_wait() {
  local deadline=$(( $(date +%s%N) + $2 * 1000000000 ))
  while [ "$(verdict_count)" -lt "$1" ] && [ "$(date +%s%N)" -lt "$deadline" ]; do sleep 0.05; done
  local line
  line="$(grep '^boxsim ' "$box_out" 2>/dev/null | sed -n "$1p")"
  echo "${line:-none (the box printed $(verdict_count) verdicts)}"
}
# BOXEND S: the simulator's exit status, waiting up to S seconds.
box_end() {
  local deadline=$(( $(date +%s%N) + $1 * 1000000000 ))
  while kill -0 "$box_pid" 2>/dev/null && [ "$(date +%s%N)" -lt "$deadline" ]; do sleep 0.05; done
  if kill -0 "$box_pid" 2>/dev/null; then
    stop_box
    echo "still running after $1 s"
    return
  fi
  wait "$box_pid"
  echo "exit $?"
  box_pid=""
}

cleanup() {
  stop_box
  stop_relay
  wineserver -k 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' TERM INT

# One wineserver for the whole run: every Wine program after this starts warm.
wineserver -p
wine "$build/kestrune-cli.exe" info "$(winpath "$data/sample.dl")" >"$data/expected-report.txt" ||
  fail "kestrune-cli info refused the sample image"
wine "$build/kestrune-cli.exe" info "$(winpath "$data/two-modules.dl")" \
  >"$data/expected-two-modules.txt" || fail "kestrune-cli info refused the two-module image"
echo "-- prepared in $(elapsed) s"

shots="$build/screenshots"
driver_mode=(--shots)
if [ -n "${KESTRUNE_GUI_BENCH:-}" ]; then
  driver_mode=(--bench "$KESTRUNE_GUI_BENCH")
else
  mkdir -p "$shots"
  rm -f "$shots"/*.png
fi
coproc DRIVER {
  wine "$build/gui-driver.exe" --app "$(winpath "$build/Kestrune.exe")" \
    --hook "$(winpath "$build/menuhook.dll")" --data "$(winpath "$data")" "${driver_mode[@]}" \
    $driver_box_option 2>&1
}
driver_pid=$DRIVER_PID
exec {to_driver}>&"${DRIVER[1]}"
# Wine's open-file dialog asks for the volume label of Z: (the Unix root) and Wine prints a
# notice when it may not read that device; it is Wine's, not the program's: counted, not shown.
volume_notices=0
while IFS= read -r line <&"${DRIVER[0]}"; do
  line="${line%$'\r'}"
  case "$line" in
    "SHOT "*)
      name="${line#SHOT }"
      import -window root "$shots/$name.png" || fail "screenshot $name"
      echo "   screenshot $shots/$name.png"
      echo done >&"$to_driver"
      ;;
    "BOX "*) read -ra box_args <<<"${line#BOX }"; start_box "${box_args[@]}" >&"$to_driver" ;;
    "SILENT") start_silent_box >&"$to_driver" ;;
    "BOXWAKE") touch "$box_go"; echo done >&"$to_driver" ;;
    "BOXCOUNT") verdict_count >&"$to_driver" ;;
    "BOXWAIT "*) read -r n secs <<<"${line#BOXWAIT }"; box_wait "$n" "$secs" >&"$to_driver" ;;
    "BOXEND "*) box_end "${line#BOXEND }" >&"$to_driver" ;;
    *"FS volume label and serial are not available"*) volume_notices=$((volume_notices + 1)) ;;
    *) echo "$line" ;;
  esac
done
[ "$volume_notices" -eq 0 ] || echo "   (Wine's volume-label notice from the open-file dialog: $volume_notices times)"
wait "$driver_pid"
driver_status=$?
[ "$driver_status" -eq 0 ] || fail "the driver reported failures (exit status $driver_status)"

# Kestrune.exe's own standard output and error.
touch "$data/app-output.txt"
noise="$(cat "$data/app-output.txt")"
[ -z "$noise" ] || { fail "Kestrune.exe wrote to its console:"; printf '%s\n' "$noise" | head -20; }
stop_box
echo "-- GUI tests took $(elapsed) s"
if [ "$status" -eq 0 ] && [ -n "$driver_box_option" ]; then
  echo "-- SKIPPED: the downloads need $boxsim"
  exit 77
fi
exit $status
