#!/usr/bin/env bash
# The demo: a real download of the sample image over a pseudo-terminal, the box played by
# kestrune-boxsim at the line's own 57600 baud, kestrune-cli serve with its progress bar.
# Usage: scripts/demo.sh BUILD_DIR   (make demo: build/demo, the two programs in Release)
set -uo pipefail
build="${1:-build/demo}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cli="$build/kestrune-cli"
boxsim="$build/kestrune-boxsim"
image="$root/samples/sample.dl"
for f in "$cli" "$boxsim"; do
  [ -x "$f" ] || { echo "demo: $f is missing; build first (make demo-programs)" >&2; exit 1; }
done

work="$(mktemp -d)"
box_pid=""
cleanup() {
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== The image"
"$cli" info "$image" | head -12
echo "..."
echo
echo "== The set top box: kestrune-boxsim on a fresh pseudo-terminal, 57600 baud"
"$boxsim" --baud 57600 --buffer-size 8192 --max-block 2048 "$image" >"$work/box.out" 2>&1 &
box_pid=$!
for _ in $(seq 100); do
  [ -s "$work/box.out" ] && break
  sleep 0.05
done
pty="$(head -1 "$work/box.out")"
[ -n "$pty" ] || { echo "demo: the box simulator did not start" >&2; cat "$work/box.out"; exit 1; }
echo "box on $pty"
echo
echo "== The server: kestrune-cli serve --port $pty samples/sample.dl"
"$cli" serve --port "$pty" --log "$work/test.log" "$image"
serve_status=$?
wait "$box_pid"
box_status=$?
box_pid=""
echo
echo "== Test Log (first and last lines)"
head -5 "$work/test.log"
echo "..."
tail -2 "$work/test.log"
echo
echo "== The box's verdict"
tail -n +2 "$work/box.out"
echo
echo "serve exit status $serve_status, box simulator exit status $box_status"
[ "$serve_status" -eq 0 ] && [ "$box_status" -eq 0 ]
