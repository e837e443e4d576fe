#!/usr/bin/env bash
# kestrune-cli.exe station --http under Wine on COM3 and COM4 (mapped to the ptys of native box
# simulators): the dashboard line; three boxes on each port while 40 idle and 17 slowloris
# clients (web_attack.py) hold the page's connections, every download byte-exact and the page
# answering a legitimate client within 1 s meanwhile; then /api/station and /metrics (judged by
# promtool) from the Windows program, and the station's end within 1 s of Ctrl-C with the
# clients still there.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=web_two_ports
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null

BOX_TIMEOUT=5
for n in 3 4; do
  start_box "$n" --link "$WINE_PREFIX_DIR/ttyCOM$n" --boxes 3 --gap 1.5 --stay 60 "$SAMPLE"
done

KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station --http 0 \
  --port COM3 --port COM4 --record record.jsonl --settle 1 "$SAMPLE" 2>station.err &
station=$!
pids+=("$station")
url=""
for _ in $(seq 300); do
  url="$(grep -o 'dashboard: http://127.0.0.1:[0-9]*/' station.err | head -1 | cut -c12-)"
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || fail "no dashboard line"
port="${url##*:}"; port="${port%/}"
python3 "$(dirname "$0")/web_attack.py" "$port" 0 slow 10 >attack.txt ||
  fail "the page under idle and slow clients: $(cat attack.txt)"
records() { [ -f record.jsonl ] && wc -l <record.jsonl || echo 0; }
for _ in $(seq 600); do
  [ "$(records)" -ge 6 ] && break
  sleep 0.1
done
expect "records" "$(records)" 6
for _ in $(seq 50); do
  [ "$(cat box-*.out | grep -c 'byte-exact')" -ge 6 ] && break
  sleep 0.1
done
expect "byte-exact boxes" "$(cat box-*.out | grep -c 'byte-exact')" 6
curl -sf --max-time 10 "${url}api/station" >state.json || fail "no /api/station"
curl -sf --max-time 10 "${url}metrics" >metrics.txt || fail "no /metrics"
python3 - <<'PY' || fail "the state"
import json
s = json.load(open("state.json"))
assert sorted(p["port"] for p in s["ports"]) == ["COM3", "COM4"], s["ports"]
assert all(p["done"] == 3 and p["last"]["outcome"] == "complete" for p in s["ports"]), s["ports"]
PY
promtool check metrics <metrics.txt >promtool.txt 2>&1 || fail "promtool: $(cat promtool.txt)"
for n in 3 4; do
  contains metrics.txt "kestrune_boxes_total{port=\"COM$n\",outcome=\"complete\"} 3"
done
python3 "$(dirname "$0")/web_attack.py" "$port" 0 slow 30 >stop.txt 2>&1 &
pids+=("$!")
sleep 2
kill -INT "$station"
stopped=$(date +%s.%N)
wait "$station"
expect "station exit" "$?" 0
ended=$(python3 -c "print('%.2f' % ($(date +%s.%N) - $stopped))")
python3 -c "import sys; sys.exit($ended >= 1)" || fail "the station ended $ended s after Ctrl-C"
echo "$(cat attack.txt); ended $ended s after Ctrl-C"
echo "PASS"
