#!/usr/bin/env bash
# One end-to-end case over kestrune-relay, which holds bytes like a USB serial adapter (a packet
# or its latency timer): kestrune-cli serve and station against kestrune-boxsim behind it.
# Usage: relay_case.sh CASE   (environment: CLI, BOXSIM, RELAY, MKIMAGE, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
case_prefix=relay-
source "$(dirname "$0")/case_lib.sh"
BOX_TIMEOUT=5

# start_relay NAME DEVICE ARGS...: the relay in front of DEVICE; its device in RELAY_<NAME>.
start_relay() {
  local name="$1" device="$2"; shift 2
  start_device relay "$name" "RELAY_$name" "$RELAY" "$@" "$device"
}

# downloads NAME N IMAGE LATENCY BOX-OPTIONS...: a box for N downloads behind a relay, and N
# serve runs one after the other; every one must be byte-exact.
downloads() {
  local name="$1" n="$2" image="$3" latency="$4"; shift 4
  start_box "$name" --downloads "$n" "$@" "$image"
  local pty="PTY_$name"
  start_relay "$name" "${!pty}" --latency "$latency"
  local relay="RELAY_$name"
  for i in $(seq "$n"); do
    timeout 120 "$CLI" serve --quiet --port "${!relay}" --log "serve-$name-$i.log" "$image" \
      >"serve-$name-$i.out" 2>"serve-$name-$i.err"
    expect "serve $name $i exit" "$?" 0
    contains "serve-$name-$i.log" "Round 1; All modules sent; ret = 0"
  done
  wait_box "$name"
  local status="BOX_$name"
  expect "box $name exit" "${!status}" 0
  expect "box $name byte-exact downloads" "$(grep -c 'byte-exact' "box-$name.out")" "$n"
}

# The skip notes of every serve log: how many runs met leftovers, and how many bytes in all.
skipped() {
  cat serve-*.log | awk -F': ' '/^Bytes skipped before the first frame header/ { n++; b += $2 }
    END { printf "%d runs with leftovers, %d bytes skipped\n", n, b }'
}

# A small image (two modules, about 6 KiB), so that most of the 20 downloads take a second.
small() {
  "$MKIMAGE" -o small.dl --module 1 --info "00 01" --size 5000 --module 2 --size 1200 \
    >/dev/null || fail "mkimage"
}

case "$case_name" in
  latency_2ms|latency_8ms|latency_16ms)
    # 20 downloads: boxes waking every 50 ms and every 10 ms, and the sample at the line rate.
    latency="${case_name#latency_}"
    latency="${latency%ms}"
    small
    downloads slow 9 small.dl "$latency" --max-block 1024 --buffer-size 4096
    downloads fast 9 small.dl "$latency" --wakeup-every 0.01
    downloads sample 2 "$SAMPLE" "$latency" --baud 57600
    echo "latency $latency ms: $(skipped)"
    ;;
  packets)
    # Packets of 1 to 62 bytes at 16 ms: headers and payloads come in pieces of every size.
    small
    for packet in 1 2 3 5 10 11 12 31 61 62; do
      start_box "p$packet" --max-block 512 --buffer-size 2048 small.dl
      pty="PTY_p$packet"
      start_relay "p$packet" "${!pty}" --latency 16 --packet "$packet" --to-box-packet "$packet"
      relay="RELAY_p$packet"
      timeout 60 "$CLI" serve --quiet --port "${!relay}" --log "serve-p$packet.log" small.dl \
        >"serve-p$packet.out" 2>"serve-p$packet.err"
      expect "serve exit, packets of $packet" "$?" 0
      wait_box "p$packet"
      status="BOX_p$packet"
      expect "box exit, packets of $packet" "${!status}" 0
      contains "box-p$packet.out" "byte-exact"
    done
    echo "packets: $(skipped)"
    ;;
  station_four_ports)
    # A station of four adapters at 16 ms, three boxes in a row on each.
    ports=()
    for i in 1 2 3 4; do
      start_box "$i" --boxes 3 --gap 2 --wakeup-every 0.01 "$SAMPLE"
      pty="PTY_$i"
      start_relay "$i" "${!pty}" --latency 16
      relay="RELAY_$i"
      ports+=(--port "${!relay}")
    done
    "$CLI" station --record record.jsonl --settle 1 --log-dir logs "${ports[@]}" "$SAMPLE" \
      2>station.err &
    station=$!
    pids+=("$station")
    for i in 1 2 3 4; do wait_box "$i"; done
    for i in 1 2 3 4; do
      status="BOX_$i"
      expect "box line $i exit" "${!status}" 0
      expect "box line $i byte-exact" "$(grep -c 'byte-exact' "box-$i.out")" 3
    done
    for _ in $(seq 50); do [ "$(wc -l <record.jsonl)" -ge 12 ] && break; sleep 0.1; done
    kill -INT "$station"
    wait "$station"
    expect "complete records" "$(grep -c '"outcome": *"complete"' record.jsonl)" 12
    cat logs/* | awk -F': ' '/^Bytes skipped before the first frame header/ { n++; b += $2 }
      END { printf "station: %d downloads with leftovers, %d bytes skipped\n", n, b }'
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "PASS"
