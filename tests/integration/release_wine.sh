#!/usr/bin/env bash
# kestrune-cli.exe station --release under Wine on COM3 and COM4 (each mapped by the prefix to
# a link that a native box simulator points at its pseudo-terminal): a signed release of two
# images, a box of each model, each byte-exact with its own image; then release check of the
# same file tampered with.
# Environment: EXE (kestrune-cli.exe), WINE_PREFIX_DIR, BOXSIM (native), SAMPLE, ROOT, WORK.
set -uo pipefail
case_name=release
source "$(dirname "$0")/case_lib.sh"
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-prefix.sh" >/dev/null
wine_cli() { KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" "$@"; }

# a.dl is the sample; b.dl one module of 3,000 bytes (three empty blocks, the entry, its data).
cp "$SAMPLE" a.dl
python3 -c 'import sys, struct
data = bytes((i * 7) & 255 for i in range(3000))
sys.stdout.buffer.write(b"\0\0\0\0\0" + struct.pack(">HHIBB", 1, 1, len(data), 1, 2) + b"\x81\0" + data)' >b.dl
entry() { # entry FILE LABEL MODEL: one image of the release
  printf '{"file": "%s", "label": "%s", "size": %s, "sha256": "%s", "oui": "00-A0-B1", "model": "%s"}' \
    "$1" "$2" "$(stat -c %s "$1")" "$(sha256sum "$1" | cut -c1-64)" "$3"
}
{
  echo '{"name": "lot 4711", "images": ['
  entry a.dl vb2000 0x5601
  echo ','
  entry b.dl vb2100 0x5602
  echo ']}'
} >rel.json
minisign -G -W -p key.pub -s key.sec >/dev/null 2>&1 || fail "minisign -G"
minisign -S -W -s key.sec -m rel.json >/dev/null 2>&1 || fail "minisign -S"

BOX_TIMEOUT=5
start_box 3 --link "$WINE_PREFIX_DIR/ttyCOM3" --stay 30 --hardware 0x00A0B1:0x5601:0x0203 a.dl
start_box 4 --link "$WINE_PREFIX_DIR/ttyCOM4" --stay 30 --hardware 0x00A0B1:0x5602:0x0100 b.dl

# Started as the script itself, not through the function, so that the Ctrl-C reaches Wine.
KESTRUNE_WINEPREFIX="$WINE_PREFIX_DIR" "$ROOT/scripts/wine-run.sh" "$EXE" station --port COM3 --port COM4 --record record.jsonl --settle 1 --release rel.json \
  --release-key key.pub 2>station.err &
station=$!
pids+=("$station")
wait_lines record.jsonl 2 60
kill -INT "$station"
wait "$station"
expect "station exit" "$?" 0
contains box-3.out "byte-exact"
contains box-4.out "byte-exact"
key="$(head -1 key.pub | awk '{printf "%016s", $NF}' | tr ' ' 0)"
grep '"port":"COM3"' record.jsonl | grep -q "\"keyId\":\"$key\"}.*\"imageLabel\":\"vb2000\".*\"outcome\":\"complete\"" ||
  fail "COM3: no complete record of vb2000: $(cat record.jsonl)"
grep '"port":"COM4"' record.jsonl | grep -q '"imageLabel":"vb2100".*"outcome":"complete"' ||
  fail "COM4: no complete record of vb2100: $(cat record.jsonl)"

wine_cli release check rel.json --release-key key.pub >check.txt 2>&1
expect "check exit" "$?" 0
echo ' ' >>rel.json
wine_cli release check rel.json --release-key key.pub >check.txt 2>&1
expect "tampered check exit" "$?" 5
contains check.txt "a station would refuse it: the release no longer matches its signature"
echo "PASS"
