#!/usr/bin/env bash
# kestrune-cli.exe station --http under Wine on COM3 and COM4 (mapped to the ptys of native box
# simulators): the dashboard line, then /api/station and /metrics (judged by promtool) from the
# Windows program, with both boxes complete in them.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=web_two_ports
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
for n in 3 4; do
  start_box "$n" --link "$WINE_PREFIX_DIR/ttyCOM$n" --stay 30 "$SAMPLE"
done

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station --http 0 \
  --port COM3 --port COM4 --record record.jsonl --settle 1 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
for _ in $(seq 600); do
  [ -f record.jsonl ] && [ "$(wc -l <record.jsonl)" -ge 2 ] && break
  sleep 0.1
done
url="$(grep -o 'dashboard: http://127.0.0.1:[0-9]*/' station.err | head -1 | cut -c12-)"
[ -n "$url" ] || fail "no dashboard line"
curl -sf --max-time 10 "${url}api/station" >state.json || fail "no /api/station"
curl -sf --max-time 10 "${url}metrics" >metrics.txt || fail "no /metrics"
python3 - <<'PY' || fail "the state"
import json
s = json.load(open("state.json"))
assert sorted(p["port"] for p in s["ports"]) == ["COM3", "COM4"], s["ports"]
assert all(p["done"] == 1 and p["last"]["outcome"] == "complete" for p in s["ports"]), s["ports"]
PY
promtool check metrics <metrics.txt >promtool.txt 2>&1 || fail "promtool: $(cat promtool.txt)"
for n in 3 4; do
  contains metrics.txt "kestrune_boxes_total{port=\"COM$n\",outcome=\"complete\"} 1"
done
kill -INT "$station"
wait "$station"
expect "station exit" "$?" 0
echo "PASS"
