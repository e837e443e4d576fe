#!/usr/bin/env bash
# kestrune-window's refusals, one per line of the table: each names what is missing, with
# the status of a wrong usage (64) or of something unavailable (69), before Wine runs at all.
# Argument: the configured launcher (build/native/kestrune-window).
set -uo pipefail
launcher="$1" v="$KESTRUNE_VERSION"
passed=0 failed=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pointer="Run 'kestrune-window --help' for usage."

# STATUS | ENVIRONMENT (VAR=VALUE ...) | ARGUMENTS | the whole stderr (\n between lines)
while IFS='|' read -r status environment arguments want; do
  [ -n "$status" ] || continue
  want="$(printf '%b' "${want# }")"
  read -ra env_words <<<"$environment"
  read -ra arg_words <<<"$arguments"
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$work/data" "${env_words[@]}" \
    "$launcher" "${arg_words[@]}" >"$work/out" 2>"$work/err"
  got=$?
  if [ "$got" -ne "$status" ] || [ "$(cat "$work/err")" != "$want" ]; then
    failed=$((failed + 1))
    echo "FAIL: [$environment] $arguments: status $got (want $status): $(cat "$work/err")"
  elif [ -e "$work/data" ]; then
    failed=$((failed + 1))
    echo "FAIL: [$environment] $arguments: made $work/data"
  else
    passed=$((passed + 1))
  fi
done <<EOT
64 | | --bogus | kestrune-window: unknown option --bogus\n$pointer
64 | | --com1=/dev/null --bogus=1 | kestrune-window: unknown option --bogus\n$pointer
64 | | --com1 | kestrune-window: missing value after --com1\n$pointer
64 | | --com1 --com2 /dev/null | kestrune-window: missing value after --com1\n$pointer
64 | | /dev/ttyUSB0 | kestrune-window: unexpected argument /dev/ttyUSB0\n$pointer
69 | | --com1 /dev/ttyUSB-absent | kestrune-window: --com1 /dev/ttyUSB-absent: no such device (is the adapter plugged in? ls /dev/ttyUSB* /dev/ttyACM*)
69 | | --com1 /dev/null --com2=/etc/hostname | kestrune-window: --com2 /etc/hostname: not a serial device
69 | KESTRUNE_WINE=/absent/wine | --com1 /dev/null | kestrune-window: Wine is not installed (/absent/wine not found): sudo apt install wine wine64
69 | KESTRUNE_WINE=true | --com1 /dev/null | kestrune-window: no display: DISPLAY is not set (start it from a desktop session)
69 | KESTRUNE_WINE=true WAYLAND_DISPLAY=wayland-0 | | kestrune-window: no X display: Wine needs one (DISPLAY is not set; is Xwayland running?)
69 | KESTRUNE_WINE=true DISPLAY=:9876 | | kestrune-window: no display: cannot open the display :9876
0 | | --version |
0 | | --help |
EOT

# --version and --help on stdout.
if [ "$("$launcher" --version)" = "kestrune-window $v" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAIL: --version: $("$launcher" --version)"
fi
if "$launcher" --help | grep -q '^Usage: kestrune-window \[--com1 DEVICE\] \[--com2 DEVICE\]$'; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAIL: --help"
fi

echo "window launcher: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
