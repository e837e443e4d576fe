#!/usr/bin/env bash
# kestrune-cli.exe station under Wine on COM3 and COM4, each mapped by the prefix to a link that
# a native box simulator points at its pseudo-terminal: both boxes byte-exact, two complete
# records, and a Ctrl-C (SIGINT reaches the program as a console interrupt) ends it with 0.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
mkdir -p "$WORK"
cd "$WORK" || exit 1
rm -f record.jsonl box-*.out station.err
fail() {
  echo "FAIL: $*"
  for f in box-3.out box-4.out station.err record.jsonl; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
  exit 1
}
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done' EXIT
for n in 3 4; do
  "$BOXSIM" --timeout 5 --link "$WINE_PREFIX_DIR/ttyCOM$n" "$SAMPLE" >"box-$n.out" 2>&1 &
  pids+=("$!")
done
for n in 3 4; do
  for _ in $(seq 100); do [ -s "box-$n.out" ] && break; sleep 0.05; done
done

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station \
  --port COM3 --port COM4 --record record.jsonl --settle 1 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
for _ in $(seq 600); do
  [ -f record.jsonl ] && [ "$(wc -l <record.jsonl)" -ge 2 ] && break
  sleep 0.1
done
kill -INT "$station"
wait "$station"
status=$?
[ "$status" -eq 0 ] || fail "station exit $status"
for n in 3 4; do
  grep -q "byte-exact" "box-$n.out" || fail "COM$n: not byte-exact"
  grep -q "\"port\":\"COM$n\".*\"outcome\":\"complete\"" record.jsonl || fail "COM$n: no complete record"
done
echo "PASS"
