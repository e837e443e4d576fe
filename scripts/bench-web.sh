#!/usr/bin/env bash
# Benchmarks of kestrune-cli station --http, for the record (not timed tests).
# Usage: scripts/bench-web.sh BUILD_DIR   (a Release build, as `make bench` makes one)
#
# 16 ports side by side, each box paced at 57600 baud, the 64 KiB image (blocks of 16384,
# window 4), three times:
#   a. --http with no client: the baseline;
#   b. 8 clients on the page's feed (/events), each reading every message, as 8 open pages do;
#   c. 40 connections that send a request and never read, and one request with 100 KB of headers.
# For each: every port's download time over the protocol minimum (goal: at most 1.01, and b and
# c within 1 % of a), the station's CPU over its wall time (goal for b: under 2 % of one core),
# and peak private memory (b against a: the memory of one client). Ends with README rows.
set -euo pipefail
build="$(cd "${1:-build/dist-native}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

exec python3 - "$build" "$work" <<'PY'
import json, os, re, signal, socket, subprocess, sys, threading, time

build, work = sys.argv[1], sys.argv[2]
cli, boxsim, mkimage = (os.path.join(build, p) for p in ("kestrune-cli", "kestrune-boxsim", "kestrune-mkimage"))
ticks = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks

def rss_anon(pid):
    with open(f"/proc/{pid}/status") as s:
        for line in s:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    return 0

def feed_client(port, stop, result):
    """Reads /events as a page does: every message; the longest gap between two."""
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /events HTTP/1.1\r\nHost: bench\r\n\r\n")
    s.settimeout(0.5)
    messages, last, gap = 0, None, 0.0
    while not stop.is_set():
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            break
        n = data.count(b"data: {")
        if n:
            now = time.monotonic()
            gap = max(gap, now - last) if last else 0.0
            last, messages = now, messages + n
    result.append((messages, gap))

def flood(port, held):
    for _ in range(40):
        s = socket.create_connection(("127.0.0.1", port))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
        held.append(s)
    big = socket.create_connection(("127.0.0.1", port), timeout=10)
    big.sendall(b"GET /api/station HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 102400 + b"\r\n\r\n")
    held.append(big)
    return big.recv(12)

def run(image, mode, ports=16):
    boxes = [subprocess.Popen([boxsim, "--baud", "57600", "--timeout", "10", "--stay", "60",
                               "--buffer-size", "65536", "--max-block", "16384", image],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
             for _ in range(ports)]
    devices = [b.stdout.readline().strip() for b in boxes]
    record = os.path.join(work, "record-%s.jsonl" % mode)
    args = [cli, "station", "--http", "0", "--record", record]
    for d in devices:
        args += ["--port", d]
    # The boxes wake as soon as the station listens: start it, connect, then count from there.
    err = open(os.path.join(work, "station-%s.err" % mode), "w+")
    t0 = time.monotonic()
    station = subprocess.Popen(args + [image], stdout=subprocess.DEVNULL, stderr=err)
    port = None
    while port is None:
        time.sleep(0.01)
        err.seek(0)
        m = re.search(r"dashboard: http://127.0.0.1:(\d+)/", err.read())
        port = int(m.group(1)) if m else None
    stop, results, held, peak, answer = threading.Event(), [], [], [0], None
    clients = []
    if mode == "clients":
        clients = [threading.Thread(target=feed_client, args=(port, stop, results)) for _ in range(8)]
        for c in clients:
            c.start()
    if mode == "flood":
        answer = flood(port, held)
    lines = []
    while len(lines) < ports and time.monotonic() - t0 < 300:
        time.sleep(0.02)
        peak[0] = max(peak[0], rss_anon(station.pid))
        if os.path.exists(record):
            lines = open(record).read().splitlines()
    wall = time.monotonic() - t0
    cpu = cpu_seconds(station.pid)
    stop.set()
    for c in clients:
        c.join()
    for s in held:
        s.close()
    os.kill(station.pid, signal.SIGINT)
    station.wait()
    ratios = []
    for b in boxes:
        b.send_signal(signal.SIGKILL)
        for v in b.stdout.read().splitlines():
            if "byte-exact" in v:
                tail = v.rsplit(";", 1)[-1]
                ratios.append(float(tail.split(" s (")[0]) / float(tail.split("minimum ")[1].split(" s")[0]))
        b.wait()
    complete = sum(json.loads(l)["outcome"] == "complete" for l in lines)
    return dict(mode=mode, wall=wall, cpu=cpu, peak=peak[0], ratios=ratios, complete=complete,
                clients=results, answer=answer)

image = os.path.join(work, "64k.dl")
subprocess.run([mkimage, "-o", image, "--module", "1", "--info", "00 0A", "--size", "65536"],
               check=True, stdout=subprocess.DEVNULL)
print("kestrune-cli station --http benchmarks (%s, %d cores, load %.1f before)" %
      (build, os.cpu_count(), os.getloadavg()[0]))
names = {"none": "no client", "clients": "8 clients on /events",
         "flood": "40 connections that never read, and 100 KB of headers"}
runs = {}
for mode in ("none", "clients", "flood"):
    r = runs[mode] = run(image, mode)
    print()
    print("16 ports, 64 KiB image, boxes at 57600 baud, --http with %s" % names[mode])
    print("   %d of 16 byte-exact, %d complete records" % (len(r["ratios"]), r["complete"]))
    if r["ratios"]:
        print("   download / protocol minimum: worst %.4f, best %.4f" % (max(r["ratios"]), min(r["ratios"])))
    print("   station CPU %.3f s over %.1f s wall: %.2f %% of one core; peak private memory %d KiB" %
          (r["cpu"], r["wall"], 100 * r["cpu"] / r["wall"], r["peak"]))
    if r["clients"]:
        print("   clients: %s messages each, longest gap between two %.2f s" %
              ("/".join(str(m) for m, _ in r["clients"]), max(g for _, g in r["clients"])))
    if r["answer"] is not None:
        print("   the 100 KB request was answered %r" % r["answer"])

a, b, c = runs["none"], runs["clients"], runs["flood"]
per_client = (b["peak"] - a["peak"]) / 8
print()
print("README rows:")
for r in (a, b, c):
    print("| 16 ports, 64 KiB image, 57600 baud, `--http` with %s: download / protocol minimum, "
          "every port | %.4f to %.4f (%d of 16 byte-exact) | at most 1.01%s |" %
          (names[r["mode"]], min(r["ratios"] or [0]), max(r["ratios"] or [0]), len(r["ratios"]),
           "" if r is a else ", within 1 % of no client"))
print("| station CPU over wall time, 16 downloads and 8 clients on /events | %.2f %% of one core "
      "(%.3f s in %.1f s; no client: %.2f %%) | under 2 %% |" %
      (100 * b["cpu"] / b["wall"], b["cpu"], b["wall"], 100 * a["cpu"] / a["wall"]))
print("| peak private memory, no client / 8 clients on /events | %s KiB / %s KiB: %.0f KiB per client "
      "| bounded |" % (format(a["peak"], ","), format(b["peak"], ","), per_client))
PY
