#!/usr/bin/env bash
# Benchmarks of kestrune-cli station, for the record (not timed tests).
# Usage: scripts/bench-station.sh BUILD_DIR   (a Release build, as `make bench` makes one)
#
#  1. 16 ports side by side, each box paced at 57600 baud, the 64 KiB image (blocks of 16384,
#     window 4): every port's download time over the protocol's own minimum (goal: at most 1.01
#     on every port), and the station's CPU time over its wall time (goal: under 2 % of one core
#     for all 16 ports).
#  2. Peak private (anonymous) memory of the station with 16 ports against one port (goal: under
#     200 KiB more per port; the image is held once).
#  3. Boxes per hour for the sample image on 16 ports: 3 boxes in a row on each port, the next
#     box 0.5 s after the line has settled (--settle 1).
set -euo pipefail
build="$(cd "${1:-build/bench}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

exec python3 - "$build" "$work" "$root" <<'PY'
import json, os, signal, subprocess, sys, threading, time

build, work, root = sys.argv[1], sys.argv[2], sys.argv[3]
cli = os.path.join(build, "kestrune-cli")
boxsim = os.path.join(build, "kestrune-boxsim")
mkimage = os.path.join(build, "kestrune-mkimage")
sample = os.path.join(root, "samples", "sample.dl")
ticks = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks

def sample_memory(pid, stop, result):
    peak = 0
    while not stop.is_set():
        try:
            with open(f"/proc/{pid}/status") as s:
                for line in s:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            break
        time.sleep(0.01)
    result.append(peak)

def run_station(image, ports, box_args, records_wanted, settle="3"):
    """Starts `ports` boxes and a station on them; returns what was measured once the record
    holds `records_wanted` lines."""
    boxes = [subprocess.Popen([boxsim, "--baud", "57600", "--timeout", "10"] + box_args + [image],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
             for _ in range(ports)]
    devices = [b.stdout.readline().strip() for b in boxes]
    run_station.runs = getattr(run_station, "runs", 0) + 1
    record = os.path.join(work, "record-%d.jsonl" % run_station.runs)
    args = [cli, "station", "--record", record, "--settle", settle]
    for d in devices:
        args += ["--port", d]
    t0 = time.monotonic()
    station = subprocess.Popen(args + [image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop, peak = threading.Event(), []
    sampler = threading.Thread(target=sample_memory, args=(station.pid, stop, peak))
    sampler.start()
    lines = []
    while len(lines) < records_wanted:
        time.sleep(0.05)
        if os.path.exists(record):
            lines = open(record).read().splitlines()
        if time.monotonic() - t0 > 600:
            break
    wall = time.monotonic() - t0
    cpu = cpu_seconds(station.pid)
    station.send_signal(signal.SIGINT)
    station.wait()
    stop.set()
    sampler.join()
    verdicts = []
    for b in boxes:
        verdicts += b.stdout.read().strip().splitlines()
        b.kill()
        b.wait()
    return wall, cpu, peak[0] if peak else 0, [json.loads(l) for l in lines], verdicts

def parse_times(verdict):
    tail = verdict.rsplit(";", 1)[-1]
    return float(tail.split(" s (")[0]), float(tail.split("minimum ")[1].split(" s")[0])

image64 = os.path.join(work, "64k.dl")
subprocess.run([mkimage, "-o", image64, "--module", "1", "--info", "00 0A", "--size", "65536"],
               check=True, stdout=subprocess.DEVNULL)
shape = ["--buffer-size", "65536", "--max-block", "16384"]

print("Kestrune station benchmarks (%s, %d cores)" % (build, os.cpu_count()))
print()
print("1. 16 ports, 64 KiB image, boxes at 57600 baud")
wall, cpu, peak16, records, verdicts = run_station(image64, 16, shape, 16)
ratios = []
for v in verdicts:
    if "byte-exact" in v:
        elapsed, minimum = parse_times(v)
        ratios.append(elapsed / minimum)
complete = sum(r["outcome"] == "complete" for r in records)
print("   %d of 16 byte-exact, %d complete records" % (len(ratios), complete))
if ratios:
    print("   download / protocol minimum: worst %.4f, best %.4f" % (max(ratios), min(ratios)))
print("   station CPU %.3f s over %.1f s wall: %.2f %% of one core" % (cpu, wall, 100 * cpu / wall))

print()
print("2. Peak anonymous memory of the station")
_, _, peak1, _, _ = run_station(image64, 1, shape, 1)
print("   1 port:   %6d KiB" % peak1)
print("   16 ports: %6d KiB  (%.0f KiB more per further port)" % (peak16, (peak16 - peak1) / 15))

print()
print("3. The sample image on 16 ports, 3 boxes in a row on each")
wall, cpu, _, records, verdicts = run_station(sample, 16, ["--boxes", "3", "--gap", "1.5"], 48,
                                              settle="1")
complete = sum(r["outcome"] == "complete" for r in records)
print("   %d complete records, %d byte-exact boxes in %.1f s: %.0f boxes per hour" %
      (complete, sum("byte-exact" in v for v in verdicts), wall, complete * 3600 / wall))
print("   (each box: %.1f s of download, then the settle and the next box's power-up)" %
      (sum(r["durationSeconds"] for r in records) / max(len(records), 1)))
PY
