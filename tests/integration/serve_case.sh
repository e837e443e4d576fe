#!/usr/bin/env bash
# One end-to-end case: kestrune-cli serve against kestrune-boxsim over a real pseudo-terminal.
# Usage: serve_case.sh CASE   (environment: CLI, BOXSIM, MKIMAGE, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
source "$(dirname "$0")/case_lib.sh"

# serve NAME PTY ARGS...: runs the server; exit status in SERVE_<NAME>, elapsed s in SECONDS_<NAME>.
serve() {
  local name="$1" pty="$2"; shift 2
  local start=$SECONDS
  timeout 120 "$CLI" serve --port "$pty" --log "serve-$name.log" "$@" \
    >"serve-$name.out" 2>"serve-$name.err"
  printf -v "SERVE_$name" '%s' "$?"
  printf -v "SECONDS_$name" '%s' "$((SECONDS - start))"
}

# download IMAGE BOX-OPTIONS...: box a and one serve run of IMAGE against it, both to their end.
download() {
  local image="$1"; shift
  start_box a "$@" "$image"
  serve a "$PTY_a" "$image"
  wait_box a
}

# A clean download of IMAGE with the box options given: both sides must report success.
clean() {
  download "$@"
  expect "serve exit" "$SERVE_a" 0
  expect "box exit" "$BOX_a" 0
  contains box-a.out "byte-exact"
  contains serve-a.err "Download complete: Download was successful."
  contains serve-a.log "Round 1; All modules sent; ret = 0"
}

case "$case_name" in
  clean_sample)
    clean "$SAMPLE"
    contains box-a.out "blockSize 16384, windowSize 4"
    # The Test Log text as the window shows it.
    head -c 56 serve-a.log | cmp - <(printf 'Kestrune (NorDig)  V1.01  08-Dec-1998\n\nDOWNLOAD STARTED\n') \
      || fail "log banner"
    contains serve-a.log "Byte 85 received"
    contains serve-a.log "0 0 0"
    # Every line on stderr names the port.
    if grep -v "^$PTY_a: " serve-a.err | grep -q .; then fail "a line without the port"; fi
    ;;
  clean_small_blocks)
    # blockSize 1024, windowSize 8: windows cross module ends.
    clean "$SAMPLE" --buffer-size 8192 --max-block 1024
    contains box-a.out "blockSize 1024, windowSize 8"
    contains serve-a.log "23 0 0"
    ;;
  clean_window_one)
    clean "$SAMPLE" --buffer-size 0 --wakeup-byte 0xF0
    contains box-a.out "windowSize 1"
    contains serve-a.log "Byte 240 received"
    ;;
  clean_capped_block)
    # The box allows 65535-byte blocks; the server keeps to 65517 so every frame fits.
    "$MKIMAGE" -o big.dl --module 7 --info "00 01" --size 140000 --module 8 --size 0 \
      --module 9 --info "AA" --size 70000 >/dev/null || fail "mkimage"
    clean big.dl --buffer-size 200000 --max-block 65535 --no-type1
    contains box-a.out "blockSize 65517, windowSize 3"
    ;;
  nak_recovered)
    clean "$SAMPLE" --nak 0:2 --nak 3:9 --buffer-size 4096 --max-block 2048
    ;;
  nak_exhausted)
    download "$SAMPLE" --nak 2:10
    expect "serve exit" "$SERVE_a" 1
    expect "box exit" "$BOX_a" 2
    contains serve-a.err "Download error: Download was not successful."
    contains serve-a.log "1 0 513"
    contains serve-a.log "Round 1; All modules sent; ret = 513"
    ;;
  nak_watchdog)
    # At 57600 baud ten tries of a 16 KiB block take longer than the watchdog's 20 s: the words
    # say that the box was refusing the block, not that it stopped answering: a download error,
    # its reason first, and the figures never claim the whole download.
    download "$SAMPLE" --nak 1:10 --baud 57600
    expect "serve exit" "$SERVE_a" 1
    contains serve-a.err "Download error: Download was not successful."
    contains serve-a.err "no frame got through for 20 s: the box refused block 0 of module 0"
    contains serve-a.err "times with CRC errors"
    if grep -q "stopped answering" serve-a.err; then fail "said the box stopped answering"; fi
    if grep -q "Download 100.0 %" serve-a.err; then fail "a failed download showed 100 %"; fi
    ;;
  outputs_lost)
    # A log that cannot be written (a full device) is reported after the download's outcome,
    # and the status says so; --log and --pcap may not share a file.
    start_box a "$SAMPLE"
    timeout 60 "$CLI" serve --port "$PTY_a" --log /dev/full "$SAMPLE" 2>err.txt
    expect "serve exit" "$?" 73
    wait_box a
    expect "box exit" "$BOX_a" 0
    contains err.txt "Download complete: Download was successful."
    contains err.txt "cannot write the log /dev/full: No space left on device; it is incomplete"
    [ "$(grep -n 'Download complete' err.txt | cut -d: -f1)" -lt \
      "$(grep -n 'cannot write the log' err.txt | cut -d: -f1)" ] || fail "the outcome came second"
    ln -s same.out alias.out
    timeout 10 "$CLI" serve --port "$work/no-such-device" --log same.out --pcap same.out \
      "$SAMPLE" 2>err.txt
    expect "same file exit" "$?" 64
    contains err.txt "--log and --pcap name the same file"
    touch same.out
    timeout 10 "$CLI" serve --port "$work/no-such-device" --log same.out --pcap alias.out \
      "$SAMPLE" 2>err.txt
    expect "same file by another name exit" "$?" 64
    ;;
  image_guard)
    # An image with no modules is refused unless forced; one that is mostly something else is
    # served with a warning.
    "$MKIMAGE" -o empty.dl >/dev/null 2>&1 || fail "mkimage"
    timeout 10 "$CLI" serve --port "$work/no-such-device" empty.dl 2>err.txt
    expect "no modules exit" "$?" 5
    contains err.txt "empty.dl: the image has no modules: there is nothing to download"
    timeout 10 "$CLI" serve --port "$work/no-such-device" --force empty.dl 2>err.txt
    expect "forced exit" "$?" 3
    cat "$SAMPLE" >padded.dl
    head -c 100000 /dev/zero >>padded.dl
    start_box a padded.dl
    serve a "$PTY_a" padded.dl
    wait_box a
    expect "padded exit" "$SERVE_a" 0
    contains serve-a.err "only 34,863 of 134,863 bytes of padded.dl are described by its module table: is it a .dl file?"
    ;;
  corrupt_request)
    clean "$SAMPLE" --corrupt-request 0:3 --corrupt-request 2:9 --max-block 8192
    ;;
  corrupt_info_request_exhausted)
    # The handshake's receive gives up; the server still answers (blockSize 16384,
    # windowSize 1: nothing was ever parsed) and the data phase goes on to the end.
    clean "$SAMPLE" --corrupt-request 0:10
    contains box-a.out "blockSize 16384, windowSize 1"
    ;;
  corrupt_data_request_exhausted)
    # The first data request never arrives whole: the data phase ends with the link's code.
    download "$SAMPLE" --corrupt-request 1:10
    expect "serve exit" "$SERVE_a" 1
    contains serve-a.log "ret = 513"
    contains serve-a.err "a frame failed 10 attempts (result 513)"
    ;;
  end_early)
    # The box says it has everything after the first window: reason 5 with most of the image
    # missing is a failure, and the operator is told how far the box got.
    download "$SAMPLE" --end-early 1 --buffer-size 4096 --max-block 1024
    expect "serve exit" "$SERVE_a" 1
    expect "box exit" "$BOX_a" 2
    contains box-a.out "ended early"
    contains serve-a.err "Download error: Download was not successful."
    contains serve-a.err "the box ended the download after 4,096 of 34,768 module bytes"
    contains serve-a.log "Round 1; All modules sent; ret = 0"
    if grep -q "Start download" serve-a.err; then fail "window wording on the command line"; fi
    ;;
  restart_after_failure)
    # A loader that restarts after a failed download: the early end hits its first attempt
    # only, the second attempt (the next serve run) completes, and the box counts that one.
    start_box a --restart-after-failure --end-early 1 --buffer-size 4096 --max-block 1024 "$SAMPLE"
    serve one "$PTY_a" "$SAMPLE"
    serve two "$PTY_a" "$SAMPLE"
    wait_box a
    expect "first serve" "$SERVE_one" 1
    expect "second serve" "$SERVE_two" 0
    expect "box exit" "$BOX_a" 0
    contains box-a.out "download 1, attempt 1: ended early, as asked"
    contains box-a.out "download 1, attempt 2: byte-exact"
    ;;
  which_box)
    # The box says who it is; a box that is not the expected hardware is not served at all.
    hw=(--hardware 0x00A0B1:0x5601:0x0203 --software 0x0101:0x0001)
    start_box a "${hw[@]}" "$SAMPLE"
    serve a "$PTY_a" "$SAMPLE" --expect-hardware 0x5601/0x0203 --expect-oui 00-A0-B1
    wait_box a
    expect "expected box exit" "$SERVE_a" 0
    contains serve-a.err "box: hardware OUI 0x00A0B1 model 0x5601 version 0x0203; software OUI 0x00A0B1 model 0x0101 version 0x0001"
    start_box b "${hw[@]}" "$SAMPLE"
    serve b "$PTY_b" "$SAMPLE" --expect-hardware 0x5602
    wait_box b
    expect "wrong box exit" "$SERVE_b" 6
    contains serve-b.err "Wrong box: Not served: the box is hardware OUI 0x00A0B1 model 0x5601"
    contains serve-b.err "not the hardware model 0x5602 expected"
    [ "$SECONDS_b" -le 3 ] || fail "the wrong box took ${SECONDS_b} s"
    if grep -q "byte-exact" box-b.out; then fail "the wrong box was flashed"; fi
    ;;
  guard_request_not_intact)
    # A box whose request never arrives whole cannot show who it is: under a guard it gets no
    # DownloadInfoResponse (the box would say "blockSize"), and the words say why.
    start_box a --hardware 0x00A0B1:0x5602:0x0203 --corrupt-request 0:10 "$SAMPLE"
    serve a "$PTY_a" "$SAMPLE" --expect-hardware 0x5601 --trace
    wait_box a
    expect "serve exit" "$SERVE_a" 6
    contains serve-a.err "Wrong box: Not served: its request never arrived intact (a frame failed 10 attempts, result 513)"
    contains serve-a.log "Round 1; Not served; ret = 513"
    if grep -q "blockSize" box-a.out; then fail "the box got a DownloadInfoResponse"; fi
    if grep -q "Enjoy" serve-a.err; then fail "the box was served"; fi
    # The trace: 2 for the wake-up, then only the link's answers (1 and 4), never a frame.
    grep -qE ': trace .* write +1 bytes' serve-a.err || fail "no trace of the answers"
    if grep -E ': trace .* write +[0-9]+ bytes' serve-a.err | grep -vqE ' write +1 bytes'; then
      fail "more than single bytes went to the box"
    fi
    ;;
  default_box_identity)
    # The default box's descriptors have the compact 7-byte bodies: read, shown and guarded.
    start_box a "$SAMPLE"
    serve a "$PTY_a" "$SAMPLE" --expect-hardware 5678/9abc
    wait_box a
    expect "serve exit" "$SERVE_a" 0
    contains serve-a.err "box: hardware specifier 0:0x1234 model 0x5678 version 0x9ABC; software specifier 0:0x0001 model 0x0002 version 0x0003"
    start_box b --no-type1 "$SAMPLE"
    serve b "$PTY_b" "$SAMPLE" --expect-hardware 0x5678 --expect-oui 00-12-34
    wait_box b
    expect "no type-1 exit" "$SERVE_b" 6
    contains serve-b.err "Not served: it sent no hardware descriptor; expected hardware model 0x5678 OUI 0x001234"
    ;;
  repeat_block)
    clean "$SAMPLE" --repeat-block 2 --buffer-size 4096 --max-block 1024
    # Window 2 was blocks 4 to 7 of module 0; block 4 came twice, with the same bytes.
    expect "block 4 sent" "$(grep -c '^4 0 0$' serve-a.log)" 2
    ;;
  wrong_id)
    download "$SAMPLE" --wrong-id 2 --buffer-size 4096 --max-block 1024
    expect "serve exit" "$SERVE_a" 1
    expect "box exit" "$BOX_a" 2
    contains box-a.out "refused, as it must be"
    contains serve-a.log "Round 1; All modules sent; ret = 1315"
    ;;
  silent_watchdog)
    start_box a --silent --timeout 30 "$SAMPLE"
    serve a "$PTY_a" "$SAMPLE"
    kill "$BOXPID_a" 2>/dev/null
    expect "serve exit" "$SERVE_a" 2
    contains serve-a.err "Communication error: Not possible to download, the set top box is not responding."
    [ "$SECONDS_a" -ge 19 ] && [ "$SECONDS_a" -le 30 ] || fail "watchdog after ${SECONDS_a} s"
    ;;
  side_by_side)
    "$MKIMAGE" -o other.dl --module 1 --info "00 0A" --size 30000 --seed 9 >/dev/null || fail "mkimage"
    start_box a --baud 115200 "$SAMPLE"
    start_box b --baud 115200 --buffer-size 8192 --max-block 2048 other.dl
    serve a "$PTY_a" "$SAMPLE" &
    sa=$!
    serve b "$PTY_b" other.dl
    wait "$sa"
    SERVE_a=$(grep -c "Download complete" serve-a.err)
    wait_box a
    wait_box b
    expect "box a" "$BOX_a" 0
    expect "box b" "$BOX_b" 0
    expect "serve b" "$SERVE_b" 0
    expect "serve a complete" "$SERVE_a" 1
    if grep -q "$PTY_b" serve-a.err; then fail "server a talks about port b"; fi
    ;;
  two_downloads_through_link)
    # One box, two downloads in a row, reached through a symbolic link (as Wine's COM1 is).
    ln -s /nonexistent ttyCOM1
    start_box a --downloads 2 --link "$work/ttyCOM1" "$SAMPLE"
    [ "$(readlink ttyCOM1)" = "$PTY_a" ] || fail "link not repointed"
    serve one "$work/ttyCOM1" "$SAMPLE"
    serve two "$work/ttyCOM1" "$SAMPLE"
    wait_box a
    expect "first serve" "$SERVE_one" 0
    expect "second serve" "$SERVE_two" 0
    expect "box exit" "$BOX_a" 0
    expect "byte-exact downloads" "$(grep -c 'byte-exact' box-a.out)" 2
    if [ -L ttyCOM1 ]; then fail "the link outlived the box"; fi
    ;;
  end_early_sample)
    # --end-early alone on the sample, whose modules fit the default window: the box still
    # ends right after the block asked for.
    download "$SAMPLE" --end-early 1
    expect "serve exit" "$SERVE_a" 1
    expect "box exit" "$BOX_a" 2
    contains box-a.out "ended early, as asked"
    contains serve-a.err "the box ended the download after 16,384 of 34,768 module bytes"
    ;;
  countdown)
    # On a terminal serve counts down the box's 20 s to wake up; this box wakes after 2.5 s.
    start_box a --hold woken "$SAMPLE"
    (wait_text serve-a.tty "20 s left" 30 && sleep 2.5; touch woken) &
    pids+=("$!")
    script -qec "$CLI serve --port $PTY_a $SAMPLE" /dev/null >serve-a.tty 2>&1
    expect "serve exit" "$?" 0
    wait_box a
    expect "box exit" "$BOX_a" 0
    contains serve-a.tty "20 s left for the box to wake up"
    contains serve-a.tty "19 s left for the box to wake up"
    if grep -q "17 s left" serve-a.tty; then fail "the countdown went on after the wake-up"; fi
    ;;
  box_stopped)
    # A box told to stop (SIGTERM) while it waits ends at once and takes its link with it.
    start_box a --link "$work/ttyS9" --stay 60 "$SAMPLE"
    [ "$(readlink ttyS9)" = "$PTY_a" ] || fail "link not made"
    started=$(date +%s%N)
    kill -TERM "$BOXPID_a"
    wait_box a
    ms=$((($(date +%s%N) - started) / 1000000))
    expect "box exit" "$BOX_a" 143
    [ "$ms" -lt 400 ] || fail "the box took $ms ms to end on SIGTERM"
    if [ -L ttyS9 ]; then fail "the link outlived the box"; fi
    ;;
  port_failure)
    # Each reason is told, and nothing is written to what is not a serial port.
    cp "$SAMPLE" same.dl
    cp "$SAMPLE" before.dl
    start_box a --wait 30 "$SAMPLE"
    # Held until the cases are through, however long a loaded machine takes for them.
    flock "$PTY_a" bash -c 'until [ -e released ]; do sleep 0.1; done' &
    pids+=("$!")
    sleep 0.2
    while read -r port reason; do
      serve a "$port" same.dl
      expect "serve exit ($port)" "$SERVE_a" 3
      contains serve-a.err "Error: Failed to open communication resource."
      contains serve-a.err "$reason"
      if grep -q "choose option" serve-a.err; then fail "window wording on the command line"; fi
    done <<EOF2
$work/no-such-device no such device $work/no-such-device
same.dl same.dl is not a serial port
/dev/null /dev/null is not a serial port
$PTY_a $PTY_a is busy: another program has it open
EOF2
    touch released
    cmp -s same.dl before.dl || fail "the image named as the port was written to"
    ;;
  log_files)
    # The log is checked after the image and never destroys a file: not the image (whatever
    # the path), not yesterday's log when no box ever woke up.
    cp "$SAMPLE" image.dl
    cp "$SAMPLE" before.dl
    ln -s image.dl link.dl
    for log in image.dl ./image.dl link.dl; do
      timeout 10 "$CLI" serve --port "$work/no-such-device" --log "$log" image.dl 2>err.txt
      expect "serve --log $log exit" "$?" 64
      contains err.txt "is the image itself"
    done
    cmp -s image.dl before.dl || fail "the image was damaged by --log"
    printf 'yesterday\n' >old.log
    timeout 10 "$CLI" serve --port "$work/no-such-device" --log old.log image.dl 2>/dev/null
    expect "serve exit without a port" "$?" 3
    expect "old log" "$(cat old.log)" "yesterday"
    timeout 10 "$CLI" serve --port "$work/no-such-device" --log new.log image.dl 2>/dev/null
    [ -e new.log ] && fail "a log was left behind by a run that never started"
    timeout 10 "$CLI" serve --port "$work/no-such-device" --log "$work/no-dir/x.log" image.dl 2>err.txt
    expect "unwritable log exit" "$?" 73
    contains err.txt "cannot write the log"
    timeout 10 "$CLI" serve image.dl --port 2>err.txt
    expect "missing value exit" "$?" 64
    contains err.txt "missing value after --port"
    # A run that starts empties the old log and writes its own.
    start_box a "$SAMPLE"
    timeout 60 "$CLI" serve --port "$PTY_a" --log old.log image.dl 2>/dev/null
    expect "serve exit" "$?" 0
    wait_box a
    head -1 old.log | grep -q "^Kestrune" || fail "the old log was not replaced"
    ;;
  image_rewritten)
    # The server's copy of the image is emptied and rewritten during the download: the box still
    # gets the image as it was loaded.
    cp "$SAMPLE" served.dl
    start_box a --baud 57600 "$SAMPLE"
    serve a "$PTY_a" served.dl &
    sp=$!
    sleep 3
    : >served.dl
    head -c 50000 /dev/urandom >served.dl
    wait "$sp"
    wait_box a
    expect "box exit" "$BOX_a" 0
    contains box-a.out "byte-exact"
    contains serve-a.err "Download complete"
    ;;
  noise_light)
    # A few faults on the line (this seed: 3): retries carry the download through.
    clean "$SAMPLE" --noise 0.0001 --seed 6 --timeout 5 --buffer-size 8192 --max-block 2048
    contains box-a.out "line faults"
    ;;
  noise_heavy)
    # A line this bad cannot carry a download; it must end as a reported failure, in time.
    download "$SAMPLE" --noise 0.01 --seed 1 --timeout 5 --buffer-size 8192 --max-block 2048
    case "$SERVE_a" in 1|2) ;; *) fail "serve exit $SERVE_a for a hopeless line" ;; esac
    [ "$BOX_a" != 0 ] || fail "the box claims a good download"
    if grep -q "Download complete" serve-a.err; then fail "success reported"; fi
    [ "$SECONDS_a" -le 60 ] || fail "a failure took ${SECONDS_a} s"
    ;;
  abort_waiting)
    # Ctrl-C while waiting for the box: port closed, exit status 4, at once.
    start_box a --wait 30 "$SAMPLE"
    kill -STOP "$BOXPID_a"
    timeout 30 "$CLI" serve --port "$PTY_a" "$SAMPLE" >serve-a.out 2>serve-a.err &
    sp=$!
    wait_text serve-a.err "Waiting for the set top box" 20 || fail "serve never said it waits"
    sleep 0.3
    kill -INT "$sp"
    wait "$sp"
    expect "serve exit" "$?" 4
    contains serve-a.err "Aborted."
    kill -CONT "$BOXPID_a"
    ;;
  abort_downloading)
    start_box a --baud 57600 "$SAMPLE"
    timeout 30 "$CLI" serve --port "$PTY_a" --log serve-a.log "$SAMPLE" >serve-a.out 2>serve-a.err &
    sp=$!
    wait_text serve-a.err "Download 0.0 %" 30 || fail "the download never started"
    sleep 1
    kill -INT "$sp"
    t0=$(date +%s%N)
    wait "$sp"
    status=$?
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    expect "serve exit" "$status" 4
    [ "$ms" -lt 1000 ] || fail "abort took ${ms} ms"
    wait_box a
    expect "box exit" "$BOX_a" 2
    # The session logged no closing line: it was ended, not finished.
    if grep -q "Round" serve-a.log; then fail "closing line after an abort"; fi
    ;;
  bad_image)
    printf 'xx' >bad.dl
    serve a /dev/null bad.dl
    expect "serve exit" "$SERVE_a" 5
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "PASS ($case_name)"
