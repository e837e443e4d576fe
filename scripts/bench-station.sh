#!/usr/bin/env bash
# Benchmarks of kestrune-cli station, for the record (not timed tests).
# Usage: scripts/bench-station.sh BUILD_DIR   (a Release build, as `make bench` makes one)
#
#  1. 16 and 64 ports side by side, each box paced at 57600 baud, the 64 KiB image (blocks of
#     16384, window 4): every port's download time over the protocol's own minimum (goal: at
#     most 1.01 on every port), and the station's CPU time over its wall time (goal: under 2 %
#     of one core for 16 ports, under 3 % for 64). The box simulators' own CPU and the machine's
#     load are printed too: 64 simulators share the cores with the station and can disturb it.
#  2. Peak private (anonymous) memory of the station with 16 and 64 ports against one port
#     (goal: under 200 KiB more per port; the image is held once).
#  3. Boxes per hour for the sample image on 16 ports: 3 boxes in a row on each port, the next
#     box 0.5 s after the line has settled (--settle 1).
#  4. What the port health figures cost: the station's CPU time (user + system, the whole run)
#     on 16 ports, 4 boxes in a row on each (a full health window), against the station as it
#     was before them (commit 3435b20, built into BUILD_DIR/../bench-base), runs alternating
#     (goal: the medians within 1 %).
# Ends with README-ready table rows of what was measured.
set -euo pipefail
build="$(cd "${1:-build/dist-native}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The station without the health figures: no option turns them off, so its own commit is built
# once (Release, the station alone) beside this tree.
base_commit=3435b20
base="$(dirname "$build")/bench-base"
if [ ! -x "$base/build/kestrune-cli" ]; then
  rm -rf "$base/src"
  mkdir -p "$base/src"
  git -C "$root" archive "$base_commit" | tar -x -C "$base/src"
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKESTRUNE_TESTS=OFF >/dev/null
  cmake --build "$base/build" --parallel "${JOBS:-2}" --target kestrune-cli >/dev/null
fi

exec python3 - "$build" "$work" "$root" "$base/build/kestrune-cli" "$base_commit" <<'PY'
import json, os, signal, statistics, subprocess, sys, threading, time

build, work, root, base_cli, base_commit = sys.argv[1:6]
cli = os.path.join(build, "kestrune-cli")
boxsim = os.path.join(build, "kestrune-boxsim")
mkimage = os.path.join(build, "kestrune-mkimage")
sample = os.path.join(root, "samples", "sample.dl")
ticks = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks

def machine_ticks():
    """(busy, total) jiffies of all cores so far."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:9]]
    idle = values[3] + values[4]
    return sum(values) - idle, sum(values)

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

def reap(process):
    """Waits for `process`; its CPU time (user + system) in seconds."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime

class Run:
    pass

def run_station(image, ports, box_args, records_wanted, settle="3", program=cli):
    """Starts `ports` boxes and a station on them; returns what was measured once the record
    holds `records_wanted` lines."""
    boxes = [subprocess.Popen([boxsim, "--baud", "57600", "--timeout", "10"] + box_args + [image],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
             for _ in range(ports)]
    devices = [b.stdout.readline().strip() for b in boxes]
    run_station.runs = getattr(run_station, "runs", 0) + 1
    record = os.path.join(work, "record-%d.jsonl" % run_station.runs)
    args = [program, "station", "--record", record, "--settle", settle]
    for d in devices:
        args += ["--port", d]
    busy0, total0 = machine_ticks()
    t0 = time.monotonic()
    station = subprocess.Popen(args + [image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop, peak = threading.Event(), []
    sampler = threading.Thread(target=sample_memory, args=(station.pid, stop, peak))
    sampler.start()
    # A box that has finished leaves, and its pseudo-terminal with it: the station records that
    # port's failure, which is not one of the downloads waited for.
    lines, downloads = [], 0
    while downloads < records_wanted:
        time.sleep(0.05)
        if os.path.exists(record):
            lines = open(record).read().splitlines()
            downloads = sum(json.loads(l)["outcome"] != "port failure" for l in lines)
        if time.monotonic() - t0 > 600:
            break
    r = Run()
    r.wall = time.monotonic() - t0
    r.cpu = cpu_seconds(station.pid)
    busy1, total1 = machine_ticks()
    r.machine = (busy1 - busy0) / max(total1 - total0, 1) * os.cpu_count()  # cores busy
    r.load = os.getloadavg()[0]
    os.kill(station.pid, signal.SIGINT)
    r.cpu_whole = reap(station)  # to its end, in microseconds rather than clock ticks
    stop.set()
    sampler.join()
    r.peak = peak[0] if peak else 0
    r.records = [json.loads(l) for l in lines]
    r.verdicts, r.boxes_cpu = [], 0.0
    for b in boxes:
        r.verdicts += b.stdout.read().strip().splitlines()
        os.kill(b.pid, signal.SIGKILL)  # (not b.kill(): it would reap the box before wait4)
        r.boxes_cpu += reap(b)
    r.ratios = []
    for v in r.verdicts:
        if "byte-exact" in v:
            elapsed, minimum = parse_times(v)
            r.ratios.append(elapsed / minimum)
    return r

def parse_times(verdict):
    tail = verdict.rsplit(";", 1)[-1]
    return float(tail.split(" s (")[0]), float(tail.split("minimum ")[1].split(" s")[0])

image64 = os.path.join(work, "64k.dl")
subprocess.run([mkimage, "-o", image64, "--module", "1", "--info", "00 0A", "--size", "65536"],
               check=True, stdout=subprocess.DEVNULL)
shape = ["--buffer-size", "65536", "--max-block", "16384"]

print("Kestrune station benchmarks (%s, %d cores, load %.1f before)" %
      (build, os.cpu_count(), os.getloadavg()[0]))
rows = []
runs = {}
for step, ports in enumerate((16, 64), 1):
    print()
    print("1.%d %d ports, 64 KiB image, boxes at 57600 baud" % (step, ports))
    r = runs[ports] = run_station(image64, ports, shape, ports)
    complete = sum(x["outcome"] == "complete" for x in r.records)
    print("   %d of %d byte-exact, %d complete records" % (len(r.ratios), ports, complete))
    for x in r.records:
        if x["outcome"] not in ("complete", "port failure"):
            print("   %s: %s: %s" % (x["port"], x["outcome"], x["reason"]))
    if r.ratios:
        print("   download / protocol minimum: worst %.4f, best %.4f" % (max(r.ratios), min(r.ratios)))
    print("   station CPU %.3f s over %.1f s wall: %.2f %% of one core" %
          (r.cpu, r.wall, 100 * r.cpu / r.wall))
    print("   the %d box simulators: %.2f s of CPU, %.1f %% of one core" %
          (ports, r.boxes_cpu, 100 * r.boxes_cpu / r.wall))
    print("   machine: %.2f of %d cores busy on average, load %.1f at the end" %
          (r.machine, os.cpu_count(), r.load))
    shown = "%d of %d byte-exact" % (len(r.ratios), ports)
    if r.ratios:
        shown = "%.4f to %.4f" % (min(r.ratios), max(r.ratios)) + (
            "" if len(r.ratios) == ports else " (%s)" % shown)
    what = ("64 KiB image, 16384 B x window 4, boxes at 57600 baud" if ports == 16 else
            "the same image, shape and boxes")
    rows.append("| %d ports at once, %s: download / protocol minimum, every port | %s | "
                "at most 1.01 |" % (ports, what, shown))
    rows.append("| station CPU over wall time for those %d downloads | %.2f %% of one core "
                "(%.3f s in %.1f s; the box simulators %.1f %%, %.2f of %d cores busy) | under %d %% |" %
                (ports, 100 * r.cpu / r.wall, r.cpu, r.wall, 100 * r.boxes_cpu / r.wall,
                 r.machine, os.cpu_count(), 2 if ports == 16 else 3))

print()
print("2. Peak anonymous memory of the station")
one = run_station(image64, 1, shape, 1)
print("   1 port:   %6d KiB" % one.peak)
for ports in (16, 64):
    more = (runs[ports].peak - one.peak) / (ports - 1)
    print("   %d ports: %6d KiB  (%.0f KiB more per further port)" % (ports, runs[ports].peak, more))
    rows.append("| peak private memory: 1 port / %d ports | %s KiB / %s KiB: %.0f KiB per further "
                "port | under 200 KiB per port |" %
                (ports, format(one.peak, ","), format(runs[ports].peak, ","), more))

print()
print("3. The sample image on 16 ports, 3 boxes in a row on each")
r = run_station(sample, 16, ["--boxes", "3", "--gap", "1.5"], 48, settle="1")
complete = sum(x["outcome"] == "complete" for x in r.records)
exact = sum("byte-exact" in v for v in r.verdicts)
print("   %d complete records, %d byte-exact boxes in %.1f s: %.0f boxes per hour" %
      (complete, exact, r.wall, complete * 3600 / r.wall))
print("   (each box: %.1f s of download, then the settle and the next box's power-up)" %
      (sum(x["durationSeconds"] for x in r.records) / max(len(r.records), 1)))
rows.append("| sample.dl on 16 ports, 3 boxes in a row each (`--settle 1`, the next box 1.5 s after "
            "the last) | %d byte-exact in %.1f s: %s boxes per hour | – |" %
            (exact, r.wall, format(round(complete * 3600 / r.wall), ",")))

print()
print("4. The port health figures: station CPU on 16 ports, 4 boxes in a row each, with and "
      "without them")
with_health, without = [], []
for n in range(3):
    for program, times in ((cli, with_health), (base_cli, without)):
        r = run_station(sample, 16, ["--boxes", "4", "--gap", "1.5"], 64, settle="1",
                        program=program)
        complete = sum(x["outcome"] == "complete" for x in r.records)
        times.append(r.cpu_whole)
        print("   %s: %.3f s of CPU over %.1f s, %d complete" %
              ("with   " if program == cli else "without", r.cpu_whole, r.wall, complete))
a, b = statistics.median(with_health), statistics.median(without)
print("   medians: %.3f s with, %.3f s without (%s): %+.1f %%" %
      (a, b, base_commit, 100 * (a - b) / b))
rows.append("| station CPU, 16 ports x 4 boxes of sample.dl, with the port health figures / "
            "without (%s), medians of 3 alternating runs | %.3f s / %.3f s: %+.1f %% "
            "(with %s; without %s) | within 1 %% |" %
            (base_commit, a, b, 100 * (a - b) / b,
             ", ".join("%.3f" % t for t in with_health), ", ".join("%.3f" % t for t in without)))

print()
print("README rows:")
for row in rows:
    print(row)
PY
