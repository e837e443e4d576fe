#!/usr/bin/env bash
# The README's pictures, made anew from the real programs (`make pictures`):
#   docs/pictures/window.png       the window after loading the sample (GUI suite screenshot)
#   docs/pictures/result-box.png   the window, its Test Log and "Download complete"
#   docs/pictures/serve.png        kestrune-cli serve's progress bar in an xterm
#   docs/pictures/station-page.png station --http's page in headless Chromium (the browser test)
# Usage: scripts/pictures.sh WINDOWS_BUILD NATIVE_BUILD
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
windows="$(cd "$1" && pwd)"
native="$(cd "$2" && pwd)"
out="$root/docs/pictures"
mkdir -p "$out"

# 1. The window, as the GUI suite photographs it (with Wine's own fonts).
KESTRUNE_GUI_ONLY=window,downloads bash "$root/tests/gui/run-gui-tests.sh" "$windows" "$root" \
  "$native" >/dev/null
shots="$windows/screenshots"
# The main window sits at the virtual desktop's origin; the Test Log opens below it.
convert "$shots/main-report.png" -crop 566x146+0+0 +repage "$out/window.png"
convert "$shots/result-box.png" -crop 700x620+0+0 +repage "$out/result-box.png"

# 2. serve's progress bar, in a real terminal on a private X server, caught mid-download.
work="$(mktemp -d)"
display=""
cleanup() {
  kill ${xvfb:-} ${box:-} 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source "$root/scripts/xvfb.sh"
start_xvfb "$work/display.txt" 900x200x24 || { echo "Xvfb named no display" >&2; exit 1; }
xvfb=$xvfb_pid display=$xvfb_display
"$native/kestrune-boxsim" --baud 57600 --buffer-size 8192 --max-block 1024 \
  "$root/samples/sample.dl" >"$work/box.out" 2>&1 &
box=$!
for _ in $(seq 100); do [ -s "$work/box.out" ] && break; sleep 0.05; done
pty="$(head -1 "$work/box.out")"
DISPLAY="$display" xterm -geometry 104x5+0+0 -fa 'DejaVu Sans Mono' -fs 10 -bg white -fg black \
  -e "$native/kestrune-cli" serve --port "$pty" "$root/samples/sample.dl" &
term=$!
sleep 5
DISPLAY="$display" import -window root -crop 760x80+0+0 +repage "$out/serve.png"
wait "$term" || true

# 3. The station's page, as the browser test sees it.
CLI="$native/kestrune-cli" BOXSIM="$native/kestrune-boxsim" SAMPLE="$root/samples/sample.dl" \
  WORK="$work/browser" SCREENSHOT="$out/station-page.png" node "$root/tests/web/dashboard.mjs" >/dev/null
echo "Pictures in $out: $(cd "$out" && echo *.png)"
