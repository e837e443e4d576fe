#!/usr/bin/env bash
# One download captured with `kestrune-cli serve --pcap` against kestrune-boxsim on a real
# pseudo-terminal, then read back with tshark: every frame must be a DSM-CC message on UDP port
# 13819, in the order and with the fields the box itself reports.
# Usage: pcap_case.sh CASE   (environment: CLI, BOXSIM, MKIMAGE, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
source "$(dirname "$0")/../integration/case_lib.sh"

command -v tshark >/dev/null || fail "tshark is missing (scripts/setup.sh installs it)"

# The box's request carries these two values; the capture must show them.
buffer_size=65536
max_block=0
case "$case_name" in
  sample)
    image="$SAMPLE"
    ;;
  small_blocks)
    # Many windows across three modules, one of them empty. Tag 0 keeps each moduleInfo
    # readable to a dissector that takes its first byte as a length.
    "$MKIMAGE" -o three.dl --module 1 --tag 0 --size 5000 --module 2 --tag 0 --size 0 \
      --module 0x300 --tag 0 --module-version 2 --size 3000 >/dev/null || fail "mkimage"
    image=three.dl
    buffer_size=4096
    max_block=1024
    ;;
  capped_block)
    # The largest blocks: 65535-byte messages, more than a UDP datagram holds.
    "$MKIMAGE" -o big.dl --module 7 --info "00 01" --size 140000 --module 8 --size 0 \
      --module 9 --info "AA" --size 70000 >/dev/null || fail "mkimage"
    image=big.dl
    buffer_size=200000
    max_block=65535
    ;;
  wrong_id)
    image="$SAMPLE"
    ;;
  *)
    fail "no such case"
    ;;
esac

if [ "$case_name" = wrong_id ]; then
  # A box whose first data request carries a wrong downloadId: the server must refuse it and
  # send nothing more. Its capture, replayed against a fresh server, asks with a wrong id again
  # (derived from the new server's) and sees that server refuse it as well.
  start_box a --wrong-id 1 "$image"
  timeout 120 "$CLI" serve --port "$PTY_a" --quiet --pcap cap.pcap "$image" 2>serve.err &
  serve_pid=$!
  wait_box a
  kill "$serve_pid" 2>/dev/null # it would wait out its watchdog
  wait "$serve_pid" 2>/dev/null
  expect "box exit (wrong id)" "$BOX_a" 2
  contains box-a.out "refused, as it must be"
  replay() { # replay NAME CAPTURE: the box of the capture against a fresh server
    start_box "$1" --replay "$2"
    timeout 120 "$CLI" serve --port "$(eval echo "\$PTY_$1")" --quiet "$image" \
      2>"serve-$1.err" &
    serve_pid=$!
    wait_box "$1"
    kill "$serve_pid" 2>/dev/null
    wait "$serve_pid" 2>/dev/null
  }
  replay r cap.pcap
  expect "replayed box exit (wrong id)" "$BOX_r" 0
  contains box-r.out "(1 with the wrong downloadId they had)"
  # The same capture with the request's id made right: now the server sends blocks the
  # captured server never sent, and the replay must say so.
  python3 - cap.pcap right.pcap <<'EOF2' || fail "cannot write right.pcap"
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at, records, given = 24, [], None
while at < len(data):
    length = struct.unpack_from("<I", data, at + 8)[0]
    records.append(at + 16 + 28)  # the message, after the IPv4 and UDP headers
    at += 16 + length
for m in records:
    if data[m + 2:m + 4] == b"\x10\x02":
        given = data[m + 12:m + 16]
    elif data[m + 2:m + 4] == b"\x10\x04" and given is not None:
        data[m + 4:m + 8] = given
open(sys.argv[2], "wb").write(data)
EOF2
  replay w right.pcap
  expect "replayed box exit (a server that answers more)" "$BOX_w" 1
  contains box-w.out "which the capture does not have"
  echo "PASS ($case_name)"
  exit 0
fi

start_box a --buffer-size "$buffer_size" --max-block "$max_block" "$image"
started=$(date +%s.%N)
timeout 120 "$CLI" serve --port "$PTY_a" --quiet --pcap cap.pcap "$image" 2>serve.err
status=$?
ended=$(date +%s.%N)
wait_box a
expect "serve exit" "$status" 0
expect "box exit" "$BOX_a" 0
contains box-a.out "byte-exact"

tshark -r cap.pcap -o ip.check_checksum:TRUE -T fields -E separator=/t -E occurrence=a -E aggregator=, \
  -e frame.time_epoch -e frame.len -e frame.cap_len -e frame.protocols \
  -e ip.checksum.status -e ip.src -e ip.dst -e udp.srcport -e udp.dstport -e udp.length \
  -e mpeg_dsmcc.message_id -e mpeg_dsmcc.download_id \
  -e mpeg_dsmcc.dii.download_id -e mpeg_dsmcc.dii.block_size -e mpeg_dsmcc.dii.window_size \
  -e mpeg_dsmcc.dii.module_count -e mpeg_dsmcc.dii.module_id -e mpeg_dsmcc.dii.module_size \
  -e mpeg_dsmcc.dii.module_version -e mpeg_dsmcc.ddb.module_id -e mpeg_dsmcc.ddb.block_num \
  -e udp.payload >fields.tsv 2>tshark.err || fail "tshark exit $?"
if grep -qi "cut short\|isn't a capture file\|appears to be damaged" tshark.err; then
  fail "tshark: $(cat tshark.err)"
fi
# The message each frame holds, in the dissector's words (it names no field of a data request).
tshark -r cap.pcap -V 2>/dev/null | grep -E "^Frame [0-9]+:|User Network Message - " >labels.txt

CASE="$case_name" STARTED="$started" ENDED="$ended" BUFFER_SIZE="$buffer_size" \
  MAX_BLOCK="$max_block" python3 - <<'EOF' || fail "the capture does not match the download"
import os, re, sys

SERVER, BOX = "10.0.0.1", "10.0.0.2"
DIR, DII, DDB, DDR = 0x1001, 0x1002, 0x1003, 0x1004
names = ("time len caplen protocols ipsum src dst sport dport udplen mid did "
         "dii_did dii_bs dii_ws dii_count dii_mod dii_size dii_ver ddb_mod ddb_block payload").split()
frames = [dict(zip(names, line.rstrip("\n").split("\t"))) for line in open("fields.tsv")]
verdict = open("box-a.out").read()
m = re.search(r"(\d+) modules, \d+ bytes; (\d+) blocks, (\d+) data bytes, downloadId (\d+), "
              r"blockSize (\d+), windowSize (\d+)", verdict)
modules, blocks, data_bytes, download_id, block_size, window_size = map(int, m.groups())
problems = []

def check(ok, what):
    if not ok:
        problems.append(what)

def num(text):
    return int(text, 0)

def ints(text):
    return [num(v) for v in text.split(",")] if text else []

labels = {}
for line in open("labels.txt"):
    if line.startswith("Frame "):
        number = int(line.split()[1].rstrip(":"))
    else:
        labels[number] = line.split(" - ", 1)[1].strip()
NAMES = {DIR: "Download Info Request", DII: "Download Info Indication",
         DDB: "Download Data Block", DDR: "Download Data Request"}

previous = float(os.environ["STARTED"])
for i, f in enumerate(frames, 1):
    payload = bytes.fromhex(f["payload"])
    mid = int.from_bytes(payload[2:4], "big")
    here = f"frame {i} (0x{mid:04x})"
    check(labels.get(i) == NAMES.get(mid), f"{here}: the dissector calls it {labels.get(i)}")
    check(mid == DDR or f["mid"] == f"0x{mid:04x}", f"{here}: message_id {f['mid']}")
    check("mpeg_dsmcc" in f["protocols"].split(":"), f"{here}: not decoded as DSM-CC")
    check(f["ipsum"] == "1", f"{here}: IPv4 header checksum status {f['ipsum']}")
    check(f["sport"] == f["dport"] == "13819", f"{here}: ports {f['sport']} {f['dport']}")
    to_box = mid in (DII, DDB)
    check((f["src"], f["dst"]) == ((SERVER, BOX) if to_box else (BOX, SERVER)),
          f"{here}: {f['src']} -> {f['dst']}")
    check(previous <= float(f["time"]) <= float(os.environ["ENDED"]), f"{here}: time {f['time']}")
    previous = float(f["time"])
    # The length on the wire is always the whole message's; a record holds at most 65535 bytes.
    message_length = int(f["len"]) - 28
    check(int(f["caplen"]) == min(int(f["len"]), 65535), f"{here}: {f['caplen']} of {f['len']}")
    check(int(f["udplen"]) == 8 + len(payload), f"{here}: UDP length {f['udplen']}")
    check(len(payload) == min(message_length, 65507), f"{here}: {len(payload)} payload bytes")
    check(payload[:2] == b"\x11\x03", f"{here}: header {payload[:4].hex()}")
    f["mid"], f["payload"], f["message_length"] = mid, payload, message_length

kinds = [f["mid"] for f in frames]
check(kinds[:3] == [DIR, DII, DDR], f"the exchange starts {[hex(k) for k in kinds[:3]]}")
check(kinds.count(DIR) == 1 and kinds.count(DII) == 1, "one request, one response")
check(kinds[-1] == DDR, "the last frame is not a data request")

# DownloadInfoRequest: this dissector reads it with the response's layout, so its own fields
# are taken from the bytes: bufferSize and maximumBlockSize as the box was told to send them.
request = frames[kinds.index(DIR)]["payload"]
check(int.from_bytes(request[12:16], "big") == int(os.environ["BUFFER_SIZE"]), "bufferSize")
check(int.from_bytes(request[16:18], "big") == int(os.environ["MAX_BLOCK"]), "maximumBlockSize")

# DownloadInfoResponse, as the dissector names its fields.
response = frames[kinds.index(DII)]
check(num(response["dii_did"]) == download_id, f"response downloadId {response['dii_did']}")
check(num(response["dii_bs"]) == block_size, f"response blockSize {response['dii_bs']}")
check(num(response["dii_ws"]) == window_size, f"response windowSize {response['dii_ws']}")
check(num(response["dii_count"]) == modules, f"numberOfModules {response['dii_count']}")
table = list(zip(ints(response["dii_mod"]), ints(response["dii_size"])))
check(len(table) >= 1, "no module entry decoded")
expected_tables = {
    "small_blocks": [(1, 5000), (2, 0), (0x300, 3000)],
    "capped_block": [(7, 140000), (8, 0), (9, 70000)],
}
expected = expected_tables.get(os.environ["CASE"])
if expected:
    # A moduleInfo that does not start with a length byte stops the dissector after its entry.
    check(table == expected[: len(table)], f"module table {table}")
    check(os.environ["CASE"] != "small_blocks" or len(table) == 3, "whole table readable")
    if os.environ["CASE"] == "small_blocks":
        check(ints(response["dii_ver"]) == [0, 0, 2], f"moduleVersion {response['dii_ver']}")

# DownloadDataBlock: downloadId, moduleId and blockNumber as the dissector names them; one frame
# per block the box received, every byte it counted.
data = [f for f in frames if f["mid"] == DDB]
check(len(data) == blocks, f"{len(data)} blocks captured, the box received {blocks}")
check(sum(f["message_length"] - 18 for f in data) == data_bytes, "block data bytes")
check(all(num(f["did"]) == download_id for f in data), "a block with another downloadId")
seen = {}
for f in data:
    seen.setdefault(num(f["ddb_mod"]), []).append(num(f["ddb_block"]))
# Blocks and requests name a module by its place in the response's table.
for index, (module, size) in enumerate(table):
    count = -(-size // block_size)
    got = seen.get(index, [])
    check(got == list(range(count)) or (size == 0 and got in ([], [0])),
          f"module {module}: blocks {got[:5]}... of {count}")
if os.environ["CASE"] == "capped_block":
    full = [f for f in data if f["message_length"] == 65535]
    check(len(full) == 3, f"{len(full)} blocks of 65535 bytes")

# DownloadDataRequest: the dissector names none of its fields; downloadId sits where the header's
# transactionId is, then moduleId, blockNumber and downloadReason follow the header.
requests = [f["payload"] for f in frames if f["mid"] == DDR]
check(all(int.from_bytes(r[4:8], "big") == download_id for r in requests), "request downloadId")
reasons = [r[16] for r in requests]
check(reasons[0] == 1 and reasons[-1] == 5 and set(reasons[1:-1]) <= {2},
      f"downloadReason {reasons}")
first = requests[0]
check(first[12:16] == bytes(4), "the first request names block 0 of the first module")

for p in problems:
    print("capture:", p)
print(f"{len(frames)} frames: {kinds.count(DDR)} requests, {len(data)} blocks")
sys.exit(1 if problems else 0)
EOF

# The box of the capture, replayed against a server: the same image answers as captured; an
# image with one byte changed is caught at the block that holds it (once, with the sample).
start_box r --replay cap.pcap
timeout 120 "$CLI" serve --port "$PTY_r" --quiet "$image" 2>replay-serve.err
expect "serve exit (replay)" "$?" 0
wait_box r
expect "replayed box exit" "$BOX_r" 0
contains box-r.out "as captured: "
[ "$case_name" = sample ] || { echo "PASS ($case_name)"; exit 0; }
python3 - "$image" changed.dl <<'EOF2' || fail "cannot write changed.dl"
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[-1] ^= 0xFF  # the last byte of the last module
open(sys.argv[2], "wb").write(data)
EOF2
start_box m --replay cap.pcap
timeout 120 "$CLI" serve --port "$PTY_m" --quiet changed.dl 2>changed-serve.err &
serve_pid=$!
wait_box m
kill "$serve_pid" 2>/dev/null # it would wait out the silent box
wait "$serve_pid" 2>/dev/null
expect "replayed box exit (changed image)" "$BOX_m" 1
contains box-m.out "the capture has"
echo "PASS ($case_name)"
