# What every end-to-end case script shares; sourced after `case_name` is set.
# Environment: WORK. Gives a fresh work folder (the current folder), `pids` killed at the end,
# fail, expect, contains, start_box and wait_box.

work="$WORK/${case_prefix:-}$case_name"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# Cases poll files thousands of times. A `sleep` and a `grep` a poll, beside the other cases,
# took more of the processor than the programs under test (mostly the kernel's, starting
# processes), so the polls stay in the shell: sleep as a builtin (Debian's bash-builtins) and
# the files read by the shell itself.
enable -f /usr/lib/bash/sleep sleep 2>/dev/null || true

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
# count_text FILE TEXT: sets COUNT to how many of FILE's lines hold TEXT (as written, not a
# pattern), the last one even while it lacks its line end; 0 without FILE.
count_text() {
  COUNT=0
  [ -f "$1" ] || return 0
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line == *"$2"* ]] && COUNT=$((COUNT + 1))
  done <"$1"
  return 0
}
# has_lines FILE N: FILE has N whole lines (a line still being written does not count).
has_lines() {
  [ -f "$1" ] || return 1
  local lines n
  mapfile lines <"$1"
  n=${#lines[@]}
  [ "$n" -gt 0 ] && [[ ${lines[n - 1]} != *$'\n' ]] && n=$((n - 1))
  [ "$n" -ge "$2" ]
}
# lines_at_least FILE TEXT N: FILE has N lines holding TEXT.
lines_at_least() { count_text "$1" "$2" && [ "$COUNT" -ge "$3" ]; }
# wait_lines FILE N SECONDS: until FILE has N lines.
wait_lines() { wait_for "$3" has_lines "$1" "$2"; }
# wait_text FILE TEXT SECONDS: until FILE holds TEXT.
wait_text() { wait_for "$3" lines_at_least "$1" "$2" 1; }

wait_box() { # wait_box NAME: its exit status in BOX_<NAME>
  local pidvar="BOXPID_$1"
  wait "${!pidvar}"
  printf -v "BOX_$1" '%s' "$?"
}
