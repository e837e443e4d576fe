#!/usr/bin/env bash
# A line of boxes on one port, played by one kestrune-boxsim, against kestrune-cli serve runs
# over a real pseudo-terminal: boxes one after another with a power-off gap, a box that
# restarts after its download (and must not be flashed again), a box unplugged mid-download.
# Usage: boxline_case.sh CASE   (environment: CLI, BOXSIM, SAMPLE, WORK)
set -uo pipefail

case_name="$1"
source "$(dirname "$0")/case_lib.sh"

# serve NAME PTY: one attempt; exit status in SERVE_<NAME>.
serve() {
  timeout 60 "$CLI" serve --port "$2" --log "serve-$1.log" "$SAMPLE" >"serve-$1.out" 2>"serve-$1.err"
  printf -v "SERVE_$1" '%s' "$?"
}

# verdicts NAME N: waits up to 30 s until the box has printed N verdict lines.
verdicts() {
  for _ in $(seq 600); do
    [ "$(grep -c '^boxsim ' "box-$1.out")" -ge "$2" ] && return 0
    sleep 0.05
  done
  fail "box $1 printed fewer than $2 verdicts"
}

# The line as a port sees it, without ever answering: the arrival time of every byte for
# at most SECONDS, ending once the line has carried ENOUGH bytes after half a second of
# silence. It may start while a server has the port: it takes the port's lock as soon as the
# server lets go of it, and times from then.
listen() { # listen PTY SECONDS ENOUGH > times
  python3 - "$@" <<'PY'
import fcntl, os, select, sys, termios, time, tty
path, seconds, enough = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
for _ in range(6000):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        break
    except BlockingIOError:
        os.close(fd)
        time.sleep(0.01)
tty.setraw(fd)
t0, times, after = time.monotonic(), [], -1
while time.monotonic() - t0 < seconds and after < enough:
    if select.select([fd], [], [], 0.05)[0]:
        now = time.monotonic() - t0
        for b in os.read(fd, 64):
            if times and now - times[-1][0] >= 0.5:
                after = 0
            times.append((now, b))
            after += 1 if after >= 0 else 0
for t, b in times:
    print("%.3f %d" % (t, b))
PY
}

case "$case_name" in
  line_of_three)
    # Three boxes, each restarting for 4 s after its download, 1 s apart; one serve run per
    # box, each started once the box before it has finished restarting.
    start_box a --boxes 3 --gap 1 --reboot 4 --wakeup-byte 0x5A "$SAMPLE"
    # Box 1 restarting, then powered off, then box 2 waking up: as any port sees it once serve
    # has let go of it. The restart is long enough for a listener that a loaded machine keeps
    # waiting for seconds.
    timeout 60 "$CLI" serve --port "$PTY_a" --log serve-1.log "$SAMPLE" >serve-1.out 2>serve-1.err &
    server=$!
    pids+=("$server")
    wait_text serve-1.err "Set top box detected" 30 || fail "serve 1 saw no box"
    listen "$PTY_a" 10 3 >line.txt
    wait "$server"
    expect "serve 1" "$?" 0
    python3 - line.txt <<'PY' || fail "the line after box 1 (line.txt)"
import sys
rows = [l.split() for l in open(sys.argv[1])]
t = [float(r[0]) for r in rows]
assert rows and all(int(r[1]) == 0x5A for r in rows), "only wake-up bytes 0x5A"
gaps = [b - a for a, b in zip(t, t[1:])]
off = max(range(len(gaps)), key=lambda i: gaps[i])
restart, silence, after = t[:off + 1], gaps[off], t[off + 1:]
print("restart %.3f s (%d bytes), silence %.3f s, then %d bytes" %
      (restart[-1] - restart[0], len(restart), silence, len(after)))
assert t[0] < 0.5, "the restart's wake-up bytes are there as soon as serve has gone"
assert restart[-1] < 5, "the restart lasts 4 s (a loaded machine stretches it a little)"
assert max(gaps[:off] or [0]) < 0.15, "a restart byte every 50 ms"
assert 0.95 <= silence <= 1.5, "the power-off gap is 1 s of silence"
assert len(after) >= 3 and max(gaps[off + 1:]) < 0.15, "box 2 wakes up, a byte every 50 ms"
PY
    serve 2 "$PTY_a"
    expect "serve 2" "$SERVE_2" 0
    verdicts a 2
    serve 3 "$PTY_a"
    expect "serve 3" "$SERVE_3" 0
    wait_box a
    expect "box exit" "$BOX_a" 0
    expect "verdicts" "$(grep -c '^boxsim ' box-a.out)" 3
    for b in 1 2 3; do
      contains box-a.out "boxsim $(head -1 box-a.out): box $b of 3: download 1: byte-exact: 3 modules, 34768 bytes; 4 blocks, 34768 data bytes, downloadId 1, blockSize 16384, windowSize 4;"
      contains "serve-$b.err" "Download complete: Download was successful."
      contains "serve-$b.log" "Byte 90 received"
    done
    ;;
  reflash_caught)
    # A server that answers a restarting box's wake-up would flash it twice: the box says
    # so and fails; the next box of the line is served as usual.
    # The second serve must start within the restart, however slow the first one's exit.
    start_box a --boxes 2 --gap 1.5 --reboot 6 "$SAMPLE"
    serve 1 "$PTY_a"
    expect "serve 1" "$SERVE_1" 0
    timeout 60 "$CLI" serve --port "$PTY_a" "$SAMPLE" >serve-2.out 2>serve-2.err &
    s2=$!
    pids+=("$s2")
    verdicts a 1
    kill -TERM "$s2"
    wait "$s2"
    contains box-a.out "box 1 of 2: download 1: flashed twice: a server answered the wake-up"
    contains box-a.out "; 3 modules, 34768 bytes; 4 blocks, 34768 data bytes, downloadId 1,"
    if grep -q "byte-exact" box-a.out; then fail "a box flashed twice counted as byte-exact"; fi
    serve 3 "$PTY_a"
    expect "serve 3" "$SERVE_3" 0
    wait_box a
    expect "box exit" "$BOX_a" 1
    contains box-a.out "box 2 of 2: download 1: byte-exact"
    ;;
  unplug)
    # Unplugged after the response (0 blocks) and after 3 blocks of a window of 4: the box
    # leaves at once, its device and its link go, and the server ends with a failure.
    while read -r name after; do
      ln -s /nonexistent "link-$name"
      start_box "$name" --unplug-after "$after" --link "$work/link-$name" \
        --buffer-size 4096 --max-block 1024 "$SAMPLE"
      (
        start=$SECONDS
        timeout 60 "$CLI" serve --port "$work/link-$name" "$SAMPLE" >"serve-$name.out" 2>"serve-$name.err"
        echo "$? $((SECONDS - start))" >"serve-$name.status"
      ) &
      pids+=("$!")
    done <<EOF2
zero 0
three 3
EOF2
    for name in zero three; do
      pidvar="BOXPID_$name" ptyvar="PTY_$name"
      for _ in $(seq 100); do kill -0 "${!pidvar}" 2>/dev/null || break; sleep 0.1; done
      kill -0 "${!pidvar}" 2>/dev/null && fail "box $name still there 10 s after the server started"
      wait_box "$name"
      boxvar="BOX_$name"
      expect "box $name exit" "${!boxvar}" 2
      [ -e "${!ptyvar}" ] && fail "${!ptyvar} still exists after the unplug"
      [ -L "link-$name" ] && fail "link-$name still exists after the unplug"
    done
    contains box-zero.out "download 1: unplugged after 0 blocks, as asked: 0 blocks, 0 data bytes, downloadId 1, blockSize 1024, windowSize 4;"
    contains box-three.out "download 1: unplugged after 3 blocks, as asked: 3 blocks, 3072 data bytes, downloadId 1, blockSize 1024, windowSize 4;"
    wait
    for name in zero three; do
      read -r status took <"serve-$name.status"
      # Any failure outcome will do (not responding, a download error, a port failure),
      # but never success, and not much later than the stall watchdog.
      case "$status" in 1|2|3) ;; *) fail "serve $name exit $status after an unplug" ;; esac
      [ "$took" -le 25 ] || fail "serve $name took ${took} s to give up"
      if grep -q "Download complete" "serve-$name.err"; then fail "success reported"; fi
    done
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "PASS ($case_name)"
