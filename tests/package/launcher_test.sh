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
64 | | --folder | kestrune-window: missing value after --folder\n$pointer
64 | | --remove-prefix --com1 /dev/null | kestrune-window: --remove-prefix takes no other option\n$pointer
69 | | --com1 /dev/ttyUSB-absent | kestrune-window: --com1: no such device /dev/ttyUSB-absent (is the adapter plugged in?); 'kestrune-cli ports' lists the serial ports of this machine
69 | | --com2 COM3 | kestrune-window: --com2: COM3 is a Windows name: on Linux COM1 and COM2 stand for /dev/ttyS0 and /dev/ttyS1, and other ports go by their device names (/dev/ttyUSB0, /dev/ttyACM0); 'kestrune-cli ports' lists them
69 | KESTRUNE_WINE=true | --com1 /dev/null --folder /absent-folder | kestrune-window: --folder /absent-folder: no such folder
69 | | --com1 /dev/null --com2=/etc/hostname | kestrune-window: --com2 /etc/hostname: not a serial device
69 | KESTRUNE_WINE=/absent/wine | --com1 /dev/null | kestrune-window: Wine is not installed (/absent/wine not found): sudo apt install wine wine64
69 | KESTRUNE_WINE=true | --com1 /dev/null | kestrune-window: no display: DISPLAY is not set (start it from a desktop session)
69 | KESTRUNE_WINE=true WAYLAND_DISPLAY=wayland-0 | | kestrune-window: no X display: Wine needs one (DISPLAY is not set; is Xwayland running?)
69 | KESTRUNE_WINE=true DISPLAY=:9876 | | kestrune-window: no display: cannot open the display :9876
0 | | --version |
0 | | --help |
0 | | --remove-prefix |
EOT

# A device the user may not open, as a user who is not root (nobody), with the words of
# kestrune-cli ports --advise: its serial group to join, or the udev rule, never the group root.
if [ "$(id -u)" -eq 0 ] && mknod "$work/ttyK" c 4 64 2>/dev/null; then
  chmod 755 "$work"
  udev="a udev rule gives it to the group dialout: echo 'KERNEL==\"ttyK\", GROUP=\"dialout\", MODE=\"0660\"' | sudo tee /etc/udev/rules.d/70-serial-dialout.rules && sudo udevadm trigger, then 'sudo usermod -aG dialout nobody' and log in again"
  while IFS='|' read -r group mode want; do
    chgrp "${group// /}" "$work/ttyK" && chmod "${mode// /}" "$work/ttyK"
    want="kestrune-window: --com1: $(printf '%b' "${want# }")"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -u DISPLAY \
      XDG_DATA_HOME="$work/nobody" "$launcher" --com1 "$work/ttyK" >/dev/null 2>"$work/err"
    got=$?
    if [ "$got" -eq 69 ] && [ "$(cat "$work/err")" = "$want" ]; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAIL: device $group $mode as nobody: status $got: $(cat "$work/err")"
    fi
  done <<EOT
root | 600 | only root can open $work/ttyK (owner root, group root, mode 0600); $udev
dialout | 660 | $work/ttyK belongs to the group dialout: join it with 'sudo usermod -aG dialout nobody', then log in again
EOT
else
  echo "(the device cases need root and mknod)"
fi

# --remove-prefix: the prefix, its lock and the port links go, and it says what it removed.
mkdir -p "$work/old/kestrune/wine/drive_c" "$work/old/kestrune/ports" && : >"$work/old/kestrune/wine.lock"
out="$(XDG_DATA_HOME="$work/old" "$launcher" --remove-prefix 2>&1)"
if [ "$out" = "kestrune-window: removed the Wine prefix $work/old/kestrune/wine (1 MB) and the port links $work/old/kestrune/ports" ] &&
  [ ! -e "$work/old/kestrune" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAIL: --remove-prefix: $out; left: $(ls -R "$work/old" 2>&1)"
fi

# --version and --help on stdout.
if [ "$("$launcher" --version)" = "kestrune-window $v" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAIL: --version: $("$launcher" --version)"
fi
if "$launcher" --help | grep -q '^Usage: kestrune-window \[--com1 DEVICE\] \[--com2 DEVICE\] \[--folder DIR\]$' &&
  "$launcher" --help | grep -qF 'Z:\usr\share\kestrune\sample.dl' &&
  "$launcher" --help | grep -q 'about 700 MB'; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAIL: --help"
fi

echo "window launcher: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
