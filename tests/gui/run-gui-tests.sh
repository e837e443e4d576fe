#!/usr/bin/env bash
# Runs the GUI tests of Kestrune.exe under Wine on a private X server:
#   run-gui-tests.sh BUILD_DIR SOURCE_DIR
# Starts Xvfb on a free display, keeps one wineserver alive for the whole run, prepares the
# test images, lets the driver operate the window, saves screenshots as PNG under
# BUILD_DIR/screenshots, and ends everything it started.
set -uo pipefail

build="$(cd "$1" && pwd)"
source_dir="$(cd "$2" && pwd)"
started=$(date +%s.%N)

export KESTRUNE_WINEPREFIX="$build/wine"
source "$source_dir/scripts/wine-env.sh"
"$source_dir/scripts/wine-prefix.sh" >&2 || { echo "no Wine prefix"; exit 1; }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
elapsed() { awk -v a="$(date +%s.%N)" -v b="$started" 'BEGIN { printf "%.1f", a - b }'; }

status=0
fail() { echo "FAIL: $*"; status=1; }

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
if [ -f "$source_dir/samples/sample.dl" ]; then
  cp "$source_dir/samples/sample.dl" "$data/sample.dl"
else
  # Two modules: "hello" with a 4-byte descriptor, "abc" with an empty one.
  printf '\x00\x00\x00\x00\x00\x00\x02''\x00\x01\x00\x00\x00\x05\x01\x04\x81\x02\x00\x0a''hello''\x00\x02\x00\x00\x00\x03\x00\x02\x01\x00''abc' >"$data/sample.dl"
fi
printf 'not an image' >"$data/refused.dl"
long="$data/$(printf 'd%.0s' {1..60})/$(printf 'e%.0s' {1..50})"
mkdir -p "$long"
cp "$data/sample.dl" "$long/long-sample.dl"

# A free display; its Xvfb ends with this script.
display=""
for n in $(seq 90 150); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display"; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
cleanup() {
  wineserver -k 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' TERM INT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done

# One wineserver for the whole run: every Wine program after this starts warm.
wineserver -p
wine "$build/kestrune-cli.exe" info "$(winpath "$data/sample.dl")" >"$data/expected-report.txt" ||
  fail "kestrune-cli info refused the sample image"
echo "-- prepared in $(elapsed) s"

shots="$build/screenshots"
mkdir -p "$shots"
rm -f "$shots"/*.png
coproc DRIVER {
  wine "$build/gui-driver.exe" --app "$(winpath "$build/Kestrune.exe")" \
    --hook "$(winpath "$build/menuhook.dll")" --data "$(winpath "$data")" --shots 2>&1
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
echo "-- GUI tests took $(elapsed) s"
exit $status
