#!/usr/bin/env bash
# kestrune-cli ports, end to end. Arguments: CLI EXPECTED [RUNNER...]
# EXPECTED: port names that must be listed ("" natively, where the machine decides); RUNNER
# (the Wine wrapper) is put before the program.
set -uo pipefail
cli="$1" expected="$2"
shift 2
run=("$@")
work="$(mktemp -d)"
links=()
trap 'rm -rf "$work"; [ ${#links[@]} -eq 0 ] || rm -f "${links[@]}"' EXIT
# Under Wine (PORTS_WINEPREFIX): a port mapped by hand, as Wine's documents tell users to, by a
# link in the prefix's dosdevices folder. Wine opens it, but enters it in neither the device
# map nor the DOS devices. A number the prefix's other tests do not use.
if [ -n "${PORTS_WINEPREFIX:-}" ]; then
  links=("$PORTS_WINEPREFIX/dosdevices/com57" "$PORTS_WINEPREFIX/dosdevices/com58")
  : >"$work/tty57"
  ln -sfn "$work/tty57" "${links[0]}" && expected="$expected COM57"
  ln -sfn "$work/absent" "${links[1]}"
fi
passed=0 failed=0
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check WHAT CONDITION...: counts the condition (a command) as passed or failed.
check() {
  local what="$1"
  shift
  if "$@"; then passed=$((passed + 1)); else fail "$what"; fi
}

# ports ARGS... into $work/out and $work/err (line ends as on Linux), status in $status.
ports() {
  "${run[@]}" "$cli" ports "$@" >"$work/out.raw" 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
}
# ended STATUS STDERR [STDOUT]: the last run's status and exact stderr; stdout exactly STDOUT
# when given.
ended() {
  [ "$status" -eq "$1" ] && [ "$(cat "$work/err")" = "$2" ] &&
    { [ $# -lt 3 ] || [ "$(cat "$work/out")" = "$3" ]; } ||
    { echo "status $status, stdout: $(head -3 "$work/out"), stderr: $(cat "$work/err")"; false; }
}

# Wrong usage: 64, the mistake and the pointer to --help, nothing on stdout.
help_line="Run 'kestrune-cli ports --help' for usage."
ports --bogus
check "ports --bogus" ended 64 "kestrune-cli ports: unknown option --bogus"$'\n'"$help_line" ""
ports extra
check "ports extra" ended 64 "kestrune-cli ports: unexpected argument extra"$'\n'"$help_line" ""
ports --help
check "ports --help" ended 0 ""
check "ports --help: usage and --plain" grep -q -- '--plain' "$work/out"

# The listing: status 0; either lines on stdout and nothing on stderr, or the "none" line.
ports
cp "$work/out" "$work/table"
cp "$work/err" "$work/table.err"
echo "--- kestrune-cli ports (status $status):"
cat "$work/table" "$work/err"
echo "---"
if [ -s "$work/table" ]; then
  check "ports" ended 0 ""
  check "ports: every line a port" bash -c '! grep -v -E "^(/dev/|COM[1-9])" "$1"' - "$work/table"
  check "ports: no trailing spaces" bash -c '! grep -q " $" "$1"' - "$work/table"
else
  check "ports: none" ended 0 "kestrune-cli ports: no serial ports found"
fi
for name in $expected; do
  check "ports: $name listed" grep -q "^$name " "$work/table"
done
if [ -n "${PORTS_WINEPREFIX:-}" ]; then
  # A link to a device that is not there (an unplugged adapter) is not a port.
  check "ports: COM58 (a dangling link) not listed" bash -c '! grep -q "^COM58 " "$1"' - "$work/table"
fi

# --plain: the first column of the table, nothing else.
ports --plain
check "ports --plain" ended 0 "$(cat "$work/table.err")" "$(awk '{print $1}' "$work/table")"

# A list that cannot be written: status 1 and why.
if [ -s "$work/table" ] && [ -w /dev/full ]; then
  "${run[@]}" "$cli" ports >/dev/full 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/err.raw" >"$work/err"
  check "ports >/dev/full" ended 1 "kestrune-cli ports: cannot write the list: No space left on device"
fi

# A machine without serial ports, and one where they cannot be looked for: natively, where a
# private mount namespace can hide sysfs's ttys (or all of its classes) from the command.
hidden() { # FOLDER...: ports with an empty tmpfs over each FOLDER
  unshare -m sh -c 'cli="$1"; shift; for f; do mount -t tmpfs none "$f" || exit 99; done
                    exec "$cli" ports' sh "$cli" "$@" >"$work/out" 2>"$work/err"
  status=$?
}
if [ ${#run[@]} -eq 0 ] && unshare -m sh -c 'mount -t tmpfs none /sys/class/tty' 2>/dev/null; then
  # udev's stable names too, where this machine has USB adapters.
  hidden /sys/class/tty $([ -d /dev/serial ] && echo /dev/serial)
  check "no ports" ended 0 "kestrune-cli ports: no serial ports found" ""
  hidden /sys/class
  check "no sysfs" ended 1 \
    "kestrune-cli ports: cannot read /sys/class/tty: No such file or directory" ""
else
  echo "(none found and cannot look: only natively, with a private mount namespace)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
