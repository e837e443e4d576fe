#!/usr/bin/env bash
# One real start of kestrune-window under Xvfb: the launcher makes its prefix (kept in WORK,
# so later runs take seconds) with the Wine fonts, the window opens on the display, and COM1
# of that prefix reaches the box simulator's pseudo-terminal (kestrune-cli.exe serves the
# sample through it, byte-exact).
# Arguments: LAUNCHER BOXSIM WINDOWS_BUILD SAMPLE WORK
set -uo pipefail
launcher="$1" boxsim="$2" windows="$3" sample="$4" work="$5"
for f in "$windows/Kestrune.exe" "$windows/kestrune-cli.exe"; do
  [ -f "$f" ] || { echo "SKIP: no $f (make windows)"; exit 77; }
done
mkdir -p "$work" && cd "$work" && rm -f box.out window.err serve.err || exit 1
export XDG_DATA_HOME="$work/data"
prefix="$XDG_DATA_HOME/kestrune/wine"
xvfb="" box="" window=""
cleanup() {
  # The next run must not meet this prefix's wineserver on its way out.
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null
  for pid in $window $box $xvfb; do kill "$pid" 2>/dev/null; done
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in window.err box.out serve.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }

source "$(dirname "$0")/../../scripts/xvfb.sh"
start_xvfb "$work/display.txt" 1024x768x24
xvfb=$xvfb_pid
[ -n "${xvfb_display:-}" ] || fail "Xvfb named no display within 10 s"
display=$xvfb_display

"$boxsim" --wait 120 --timeout 20 "$sample" >box.out 2>&1 &
box=$!
for _ in $(seq 100); do [ -s box.out ] && break; sleep 0.05; done
pty="$(head -1 box.out)"
[ -c "$pty" ] || fail "the box simulator did not start"

mkdir -p images
DISPLAY="$display" KESTRUNE_EXE="$windows/Kestrune.exe" "$launcher" --com1 "$pty" \
  --folder "$work/images" 2>window.err &
window=$!
for _ in $(seq 240); do
  DISPLAY="$display" xwininfo -root -tree 2>/dev/null | grep -q '"Serial Download Server for Veltrano"' && break
  kill -0 "$window" 2>/dev/null || fail "the launcher ended (Xvfb $(kill -0 "$xvfb" 2>/dev/null && echo runs || echo ended))"
  sleep 0.25
done
DISPLAY="$display" xwininfo -root -tree | grep -q '"Serial Download Server for Veltrano"' ||
  fail "no window on $display"
[ -f "$prefix/drive_c/windows/Fonts/sserife.fon" ] || fail "the Wine fonts were not copied"
grep -q "^kestrune-window: COM1 is $pty, COM2 is /dev/ttyS1\$" window.err || fail "no port line"
# The Open dialog starts in --folder, and the launcher says how that folder and the sample are
# written there.
[ "$(readlink "/proc/$window/cwd")" = "$work/images" ] || fail "Wine not started in --folder"
grep -qF "kestrune-window: the Open dialog starts in Z:$(echo "$work/images" | tr / '\\'); the sample image is Z:" window.err ||
  fail "no line about the Open dialog's folder"
# Wine's own messages (making the prefix, its devices) are in the prefix's log, not here.
! grep -v '^kestrune-window: ' window.err || fail "Wine's messages reached the terminal"
grep -q '^== .* kestrune-window ' "$prefix/kestrune-window.log" || fail "no log in the prefix"

WINEPREFIX="$prefix" WINEDEBUG=-all timeout 60 wine "$windows/kestrune-cli.exe" serve --quiet \
  --port COM1 "$sample" >/dev/null 2>serve.err || fail "serve on COM1 of the launcher's prefix"
wait "$box" || fail "box simulator"
box=""
grep -q "byte-exact" box.out || fail "not byte-exact"
echo "window launcher start: 1 passed, 0 failed"
