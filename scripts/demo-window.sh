#!/usr/bin/env bash
# The demo with the window: the box simulator on a fresh pseudo-terminal at 57600 baud, and
# Kestrune.exe under Wine on this display with its COM1 on that pseudo-terminal
# (kestrune-window). The operator loads the sample and presses Start download.
# Usage: scripts/demo-window.sh BUILD_DIR   (a native build, build/demo; build/windows has Kestrune.exe)
set -uo pipefail
build="$(cd "${1:-build/demo}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
for f in "$build/kestrune-boxsim" "$build/kestrune-window" "$root/build/windows/Kestrune.exe"; do
  [ -e "$f" ] || { echo "demo: $f is missing; build first (make demo-window)" >&2; exit 1; }
done

work="$(mktemp -d)"
box_pid=""
cleanup() {
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The box waits up to ten minutes for the operator to press Start download.
"$build/kestrune-boxsim" --baud 57600 --buffer-size 8192 --max-block 2048 --wait 600 \
  "$root/samples/sample.dl" >"$work/box.out" 2>&1 &
box_pid=$!
for _ in $(seq 100); do
  [ -s "$work/box.out" ] && break
  sleep 0.05
done
pty="$(head -1 "$work/box.out")"
[ -n "$pty" ] || { echo "demo: the box simulator did not start" >&2; cat "$work/box.out"; exit 1; }
cat <<EOT
== The set top box: kestrune-boxsim on $pty, 57600 baud
== The window: kestrune-window --com1 $pty
   In the window: File > Load image, choose sample.dl (the dialog opens in samples/),
   then Download > Start download (COM1). Close the window when the result box has shown.
EOT
"$build/kestrune-window" --com1 "$pty" --folder "$root/samples"
window_status=$?
echo
if kill -0 "$box_pid" 2>/dev/null; then
  echo "== The box did not finish a download (window exit status $window_status)"
  exit 1
fi
wait "$box_pid"
box_status=$?
box_pid=""
echo "== The box's verdict"
tail -n +2 "$work/box.out"
echo "window exit status $window_status, box simulator exit status $box_status"
[ "$box_status" -eq 0 ]
