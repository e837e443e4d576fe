#!/usr/bin/env bash
# End-to-end cases of a release: a mixed line of simulated boxes on real pseudo-terminals, a
# box the release has no image for, and release check. Keys and signatures are the real
# minisign's. Usage: release_case.sh CASE   (environment: CLI, BOXSIM, MKIMAGE, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=release-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=8

# Two images and a signed release of both: a.dl for model 0x5601, b.dl for model 0x5602.
"$MKIMAGE" -o a.dl --block1-text A --module 1 --size 20000 --seed 1 >/dev/null
"$MKIMAGE" -o b.dl --block1-text B --module 1 --size 30000 --seed 2 --module 2 --size 5000 >/dev/null
entry() { # entry FILE LABEL MODEL: one image of the release
  printf '{"file": "%s", "label": "%s", "size": %s, "sha256": "%s", "oui": "00-A0-B1", "model": "%s"}' \
    "$1" "$2" "$(stat -c %s "$1")" "$(sha256sum "$1" | cut -c1-64)" "$3"
}
{
  echo '{"name": "VB-2000 and VB-2100, lot 4711", "images": ['
  entry a.dl 4.7.11-vb2000 0x5601
  echo ','
  entry b.dl 4.7.11-vb2100 0x5602
  echo ']}'
} >rel.json
minisign -G -W -p key.pub -s key.sec >/dev/null 2>&1 || fail "minisign -G"
minisign -S -W -s key.sec -m rel.json >/dev/null 2>&1 || fail "minisign -S"

# field FIELD...: each record line's FIELD (a.b for nested ones), one line per record.
fields() {
  python3 - "$@" <<'PY'
import json, sys
for line in open("record.jsonl"):
    r = json.loads(line)
    out = []
    for f in sys.argv[1:]:
        v = r
        for k in f.split("."):
            v = v[k] if v is not None else None
        out.append(str(v))
    print(" ".join(out))
PY
}

case "$case_name" in
  mixed_line)
    # Two boxes of each model and one of a third, on five ports of one station.
    start_box 1 --hardware 00-A0-B1:5601:0203 --stay 60 a.dl
    start_box 2 --hardware 00-A0-B1:5601:0100 --stay 60 a.dl
    start_box 3 --hardware 00-A0-B1:5602:0203 --stay 60 b.dl
    start_box 4 --hardware 00-A0-B1:5602:0100 --stay 60 b.dl
    start_box 5 --hardware 00-A0-B1:5603:0100 --stay 60 a.dl
    "$CLI" station --record record.jsonl --settle 1 --pcap-dir caps --release rel.json \
      --release-key key.pub --port "$PTY_1" --port "$PTY_2" --port "$PTY_3" --port "$PTY_4" \
      --port "$PTY_5" 2>station.err &
    station=$!
    pids+=("$station")
    wait_lines record.jsonl 5 90
    kill -INT "$station"
    wait "$station"
    expect "station exit (a wrong box came)" "$?" 1
    for _ in $(seq 50); do
      [ "$(cat box-[1-4].out | grep -c 'byte-exact')" -ge 4 ] && break
      sleep 0.1
    done
    for i in 1 2 3 4; do
      contains "box-$i.out" "byte-exact"
    done
    contains station.err "serving release VB-2000 and VB-2100, lot 4711 (SHA-256 "
    # minisign's comment drops the id's leading zeros; the station always gives 16 digits.
    key="$(head -1 key.pub | awk '{printf "%016s", $NF}' | tr ' ' 0)"
    contains station.err "signed by key $key"
    fields port outcome imageLabel image release.name release.keyId >fields.txt
    ports_of() { grep -c "complete $1" fields.txt; }
    expect "boxes given the VB-2000 image" "$(ports_of 4.7.11-vb2000)" 2
    expect "boxes given the VB-2100 image" "$(ports_of 4.7.11-vb2100)" 2
    grep -q "^$PTY_1 complete 4.7.11-vb2000 \|^$PTY_2 complete 4.7.11-vb2000 " fields.txt ||
      fail "a VB-2000 box got another image"
    grep -q "^$PTY_3 complete 4.7.11-vb2100 " fields.txt || fail "box 3 got another image"
    grep -q "^$PTY_5 wrong box None None " fields.txt || fail "the third model was served"
    fields reason >reasons.txt
    contains reasons.txt "no image of release VB-2000 and VB-2100, lot 4711 for model 0x5603 version 0x0100"
    # Nothing of an image went to it: its capture holds its request and no DownloadInfoResponse
    # (messageId 0x1002 after protocolDiscriminator 0x11 and dsmccType 3).
    capture="$(fields port capture | awk -v p="$PTY_5" '$1 == p {print $2}')"
    [ -s "$capture" ] || fail "no capture of the refused box"
    python3 - "$capture" <<'PY' || fail "the refused box got a DownloadInfoResponse"
import sys
data = open(sys.argv[1], "rb").read()
assert b"\x11\x03\x10\x01" in data, "no DownloadInfoRequest captured"
assert b"\x11\x03\x10\x02" not in data
PY
    ;;
  request_not_intact)
    # The box whose request fails its check ten times is not served under a release: on serve
    # and on a station.
    start_box 1 --hardware 0x00A0B1:0x5602:0x0203 --corrupt-request 0:10 b.dl
    timeout 60 "$CLI" serve --quiet --port "$PTY_1" --release rel.json --release-key key.pub \
      >serve.out 2>serve.err
    expect "serve exit" "$?" 6
    contains serve.err "its request never arrived intact (a frame failed 10 attempts, result 513); release VB-2000 and VB-2100, lot 4711; it was not served"
    start_box 2 --hardware 0x00A0B1:0x5602:0x0203 --corrupt-request 0:10 --stay 60 b.dl
    "$CLI" station --record record.jsonl --settle 1 --release rel.json --port "$PTY_2" \
      2>station.err &
    station=$!
    pids+=("$station")
    wait_lines record.jsonl 1 60
    kill -INT "$station"
    wait "$station"
    fields outcome release.keyId >fields.txt
    contains fields.txt "wrong box None"
    ;;
  check)
    # What a station would do with it, signed and tampered with; and the station refuses the
    # same file before any port opens.
    "$CLI" release check rel.json --release-key key.pub >check.txt
    expect "check exit" "$?" 0
    contains check.txt "image 2 (4.7.11-vb2100, b.dl): 35,028 bytes, 2 modules, SHA-256 matches; for OUI 0x00A0B1 model 0x5602"
    contains check.txt "a station would start from it"
    sed -i 's/0x5602/0x5603/' rel.json
    "$CLI" release check rel.json --release-key key.pub >check.txt
    expect "tampered check exit" "$?" 5
    contains check.txt "a station would refuse it: the release no longer matches its signature"
    "$CLI" station --release rel.json --release-key key.pub --port /dev/null 2>station.err
    expect "station exit" "$?" 5
    contains station.err "the release no longer matches its signature"
    ;;
  expiry)
    # A release that expires while the station waits: it takes no new box, says why and ends;
    # once expired, it is refused at load.
    expires="$(date -u -d '+6 seconds' +%Y-%m-%dT%H:%M:%SZ)"
    sed -i "1s/^{/{\"expires\": \"$expires\", /" rel.json
    start_box 1 --hardware 00-A0-B1:5601:0203 --hold go --stay 30 a.dl
    timeout 30 "$CLI" station --record record.jsonl --release rel.json --port "$PTY_1" \
      2>station.err
    expect "station exit" "$?" 0
    contains station.err "serving release VB-2000 and VB-2100, lot 4711 (SHA-256 "
    contains station.err "unsigned, expires $expires)"
    contains station.err "the release VB-2000 and VB-2100, lot 4711 expired at $expires: no new boxes"
    [ ! -s record.jsonl ] || fail "a box was recorded after the expiry"
    "$CLI" release check rel.json >check.txt
    expect "expired check exit" "$?" 5
    contains check.txt "a station would refuse it: the release VB-2000 and VB-2100, lot 4711 expired at $expires"
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "PASS ($case_name)"
