#!/usr/bin/env bash
# kestrune-cli ports, end to end. Arguments: CLI EXPECTED [RUNNER...]
# EXPECTED: port names that must be listed ("" natively, where the machine decides); RUNNER
# (the Wine wrapper) is put before the program.
set -uo pipefail
cli="$1" expected="$2"
shift 2
run=("$@")
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# ports ARGS... into $work/out and $work/err (line ends as on Linux), status in $status.
ports() {
  "${run[@]}" "$cli" ports "$@" >"$work/out.raw" 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
}

# Wrong usage: 64, two lines on stderr, nothing on stdout.
for case in "--bogus|unknown option --bogus" "extra|unexpected argument extra"; do
  args="${case%%|*}" pattern="${case#*|}"
  ports $args
  if [ "$status" -ne 64 ]; then
    fail "ports $args: exit status $status, expected 64"
  elif ! grep -q -- "^kestrune-cli ports: .*$pattern" "$work/err" ||
    ! grep -q "^Run 'kestrune-cli ports --help' for usage.$" "$work/err"; then
    fail "ports $args: stderr: $(cat "$work/err")"
  elif [ -s "$work/out" ]; then
    fail "ports $args: wrote to stdout"
  else
    pass
  fi
done

ports --help
if [ "$status" -ne 0 ] || ! grep -q '^Usage: kestrune-cli ports' "$work/out" ||
  ! grep -q -- '--plain' "$work/out" || [ -s "$work/err" ]; then
  fail "ports --help: status $status, stdout $(head -1 "$work/out"), stderr $(cat "$work/err")"
else
  pass
fi

# The listing: status 0; either lines on stdout and nothing on stderr, or the "none" line.
ports
cp "$work/out" "$work/table"
if [ "$status" -ne 0 ]; then
  fail "ports: exit status $status: $(cat "$work/err")"
elif [ ! -s "$work/table" ]; then
  if [ "$(cat "$work/err")" != "kestrune-cli ports: no serial ports found" ]; then
    fail "ports: nothing listed, stderr: $(cat "$work/err")"
  else
    pass
  fi
elif [ -s "$work/err" ]; then
  fail "ports: stderr: $(cat "$work/err")"
elif grep -v -E '^(/dev/|COM[1-9])' "$work/table" | grep -q .; then
  fail "ports: a line that is not a port: $(grep -v -E '^(/dev/|COM[1-9])' "$work/table")"
elif grep -q ' $' "$work/table"; then
  fail "ports: trailing spaces"
else
  pass
fi
echo "--- kestrune-cli ports (status $status):"
cat "$work/table" "$work/err"
echo "---"
for name in $expected; do
  if awk '{print $1}' "$work/table" | grep -qx "$name"; then
    pass
  else
    fail "ports: $name is not listed"
  fi
done

# --plain: the first column of the table, nothing else.
ports --plain
if [ "$status" -ne 0 ]; then
  fail "ports --plain: exit status $status"
elif ! awk '{print $1}' "$work/table" | cmp -s - "$work/out"; then
  fail "ports --plain: not the names of the table: $(cat "$work/out")"
else
  pass
fi

# A list that cannot be written: status 1 and why.
if [ -s "$work/table" ] && [ -w /dev/full ]; then
  "${run[@]}" "$cli" ports >/dev/full 2>"$work/err"
  status=$?
  if [ "$status" -ne 1 ] || ! grep -q '^kestrune-cli ports: cannot write the list' "$work/err"; then
    fail "ports >/dev/full: status $status, stderr $(cat "$work/err")"
  else
    pass
  fi
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
  if [ "$status" -ne 0 ] || [ -s "$work/out" ] ||
    [ "$(cat "$work/err")" != "kestrune-cli ports: no serial ports found" ]; then
    fail "no ports: status $status, stdout $(cat "$work/out"), stderr $(cat "$work/err")"
  else
    pass
  fi
  hidden /sys/class
  if [ "$status" -ne 1 ] || [ -s "$work/out" ] ||
    [ "$(cat "$work/err")" != "kestrune-cli ports: cannot read /sys/class/tty: No such file or directory" ]; then
    fail "no sysfs: status $status, stdout $(cat "$work/out"), stderr $(cat "$work/err")"
  else
    pass
  fi
else
  echo "(no private mount namespace here: the none-found and cannot-look cases are left out)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
