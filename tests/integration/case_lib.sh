# What every end-to-end case script shares; sourced after `case_name` is set.
# Environment: WORK. Gives a fresh work folder (the current folder), `pids` killed at the end,
# fail, expect, contains, start_box and wait_box.

work="$WORK/${case_prefix:-}$case_name"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

pids=()
# Only what is still a child of this case: a pid that ended long ago may by now be another
# case's process (the numbers come round again on a busy machine).
kill_own() {
  local p
  [ -z "${watchdog_pid:-}" ] || kill "$watchdog_pid" 2>/dev/null
  for p in "${pids[@]}"; do
    [ "$(ps -o ppid= -p "$p" 2>/dev/null | tr -d ' ')" = "$$" ] && kill -9 "$p" 2>/dev/null
  done
  return 0
}
trap kill_own EXIT

fail() {
  echo "FAIL ($case_name): $*"
  for f in "$work"/*.out "$work"/*.err "$work"/*.log "$work"/*.txt "$work"/*.jsonl; do
    [ -f "$f" ] && { echo "--- $f"; tail -30 "$f"; }
  done
  exit 1
}

# CTest ends a case that outlives its TIMEOUT without a word; CASE_SECONDS (the CMake file sets
# it a little shorter) makes the case fail first, with what its programs said last.
# The timer is not this shell's child, so that a case's bare `wait` does not wait for it; its pid
# is kept to end it with the case (while it sleeps, the number is still its own).
watchdog_pid=""
if [ -n "${CASE_SECONDS:-}" ]; then
  trap 'fail "still running after $CASE_SECONDS s"' USR1
  watchdog_pid="$( (sleep "$CASE_SECONDS" && kill -USR1 $$) </dev/null >/dev/null 2>&1 & echo $!)"
fi

expect() { # expect WHAT ACTUAL EXPECTED
  [ "$2" = "$3" ] || fail "$1: got $2, expected $3"
}

contains() { # contains FILE TEXT
  grep -qF -- "$2" "$1" || fail "$1 lacks: $2"
}

# start_device KIND NAME VAR COMMAND...: COMMAND in the background, its output in KIND-NAME.out;
# the device it prints on its first line in VAR, its pid in LAST_PID.
start_device() {
  local kind="$1" name="$2" var="$3"; shift 3
  "$@" >"$kind-$name.out" 2>"$kind-$name.err" &
  LAST_PID=$!
  pids+=("$LAST_PID")
  for _ in $(seq 100); do
    [ -s "$kind-$name.out" ] && break
    sleep 0.05
  done
  local pty
  pty="$(head -1 "$kind-$name.out")"
  [ -n "$pty" ] || fail "$kind $name printed no device"
  printf -v "$var" '%s' "$pty"
}

# start_box NAME ARGS...: a box (line) on a fresh pty; sets PTY_<NAME> and BOXPID_<NAME>.
# Unless the case names a link of its own, PTY_<NAME> is a link in the work folder that goes with
# the box: a station that retries a box gone for good then finds nothing, never the same pty
# number given meanwhile to another case's box.
start_box() {
  local name="$1"; shift
  local own=() arg
  for arg in "$@"; do [ "$arg" = --link ] && own=(x); done
  if [ ${#own[@]} -eq 0 ]; then
    start_device box "$name" "PTY_$name" "$BOXSIM" --timeout "${BOX_TIMEOUT:-3}" \
      --link "$work/tty-$name" "$@"
    printf -v "PTY_$name" '%s' "$work/tty-$name"
  else
    start_device box "$name" "PTY_$name" "$BOXSIM" --timeout "${BOX_TIMEOUT:-3}" "$@"
  fi
  printf -v "BOXPID_$name" '%s' "$LAST_PID"
}

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms; false when SECONDS pass first. Cases
# wait for what a program says, not for a time, which a loaded machine stretches.
wait_for() {
  local limit=$(($1 * 20)) n; shift
  for ((n = 0; n < limit; n++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}
has_lines() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
# lines_at_least FILE TEXT N: FILE has N lines holding TEXT.
lines_at_least() { [ -f "$1" ] && [ "$(grep -c -- "$2" "$1")" -ge "$3" ]; }
# wait_lines FILE N SECONDS: until FILE has N lines.
wait_lines() { wait_for "$3" has_lines "$1" "$2"; }
# wait_text FILE TEXT SECONDS: until FILE holds TEXT.
wait_text() { wait_for "$3" grep -qsF -- "$2" "$1"; }

wait_box() { # wait_box NAME: its exit status in BOX_<NAME>
  local pidvar="BOXPID_$1"
  wait "${!pidvar}"
  printf -v "BOX_$1" '%s' "$?"
}
