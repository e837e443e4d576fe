#!/usr/bin/env bash
# Benchmarks of the download server, for the record (not timed tests).
# Usage: scripts/bench.sh BUILD_DIR   (a Release build with kestrune-cli, kestrune-boxsim,
# kestrune-mkimage; `make bench` uses the release tree build/dist-native)
#
#  1. Download time of a 64 KiB image against the box simulator paced at 57600 baud, for three
#     box shapes, divided by the protocol's own minimum for that exchange (every byte on the
#     line at 5760 bytes/s plus the mandated 100 ms pauses). Goal: at most 1.01.
#  2. The server's CPU time (user + system) over its wall time during those downloads.
#     Goal: under 1 % of one core.
#  3. Peak private (anonymous) memory of `kestrune-cli serve` for a 64 KiB image and for a
#     512 MiB sparse image (the box ends after the first window). Goal: no growth with size.
#  4. `kestrune-cli info` on a 50-module image of 1 GiB (sparse) against a 50-module image of
#     a few KiB. Goal: time independent of the data size.
#  5. Row 1's first shape again through kestrune-relay, which holds the box's bytes like a USB
#     serial adapter, at 0, 1, 4 and 16 ms of latency: what an adapter's latency timer costs.
set -euo pipefail
build="$(cd "${1:-build/dist-native}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

exec python3 - "$build" "$work" <<'PY'
import os, resource, struct, subprocess, sys, threading, time

build, work = sys.argv[1], sys.argv[2]
cli = os.path.join(build, "kestrune-cli")
boxsim = os.path.join(build, "kestrune-boxsim")
mkimage = os.path.join(build, "kestrune-mkimage")
relay = os.path.join(build, "kestrune-relay")

def write_sparse_image(path, module_sizes):
    """A .dl image whose module data are holes: written entries, data never touched."""
    with open(path, "wb") as f:
        f.write(bytes([0, 0, 0, 0, 0]) + struct.pack(">H", len(module_sizes)))
        for i, size in enumerate(module_sizes):
            f.write(struct.pack(">HIBB", i + 1, size, 1, 2) + bytes([0x81, 0]))
            f.seek(size, os.SEEK_CUR)
        f.truncate(f.tell())

def peak_anon(pid, stop, result):
    peak = 0
    while not stop.is_set():
        try:
            with open(f"/proc/{pid}/status") as s:
                for line in s:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            break
        time.sleep(0.005)
    result.append(peak)

def download(image, box_args, latency=None):
    """One download: box first (its device on its first line), then the server; with a
    latency, the relay between them."""
    box = subprocess.Popen([boxsim, "--baud", "57600", "--timeout", "10"] + box_args + [image],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    pty = box.stdout.readline().strip()
    adapter = None
    if latency is not None:
        adapter = subprocess.Popen([relay, "--latency", str(latency), pty],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        pty = adapter.stdout.readline().strip()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    serve = subprocess.Popen([cli, "serve", "--quiet", "--port", pty, image],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop, peak = threading.Event(), []
    sampler = threading.Thread(target=peak_anon, args=(serve.pid, stop, peak))
    sampler.start()
    status = serve.wait()
    wall = time.monotonic() - t0
    stop.set()
    sampler.join()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    verdict = box.stdout.read()
    box.wait()
    if adapter is not None:
        adapter.wait()
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return status, wall, cpu, peak[0] if peak else 0, verdict.strip()

def parse_times(verdict):
    # "...; 12.345 s (protocol minimum 12.300 s)"
    tail = verdict.rsplit(";", 1)[-1]
    elapsed = float(tail.split(" s (")[0])
    minimum = float(tail.split("minimum ")[1].split(" s")[0])
    return elapsed, minimum

image64 = os.path.join(work, "64k.dl")
subprocess.run([mkimage, "-o", image64, "--module", "1", "--info", "00 0A", "--size", "65536"],
               check=True, stdout=subprocess.DEVNULL)

print("Kestrune benchmarks (%s)" % build)
print()
print("1-2. 64 KiB image, box simulator at 57600 baud")
print("%-22s %9s %9s %7s %9s %8s" % ("box shape", "download", "minimum", "ratio", "serve CPU", "CPU/wall"))
shapes = [("1024 B x window 8", ["--buffer-size", "8192", "--max-block", "1024"]),
          ("4096 B x window 4", ["--buffer-size", "16384", "--max-block", "4096"]),
          ("16384 B x window 4", ["--buffer-size", "65536", "--max-block", "16384"])]
peak64 = 0
for name, args in shapes:
    status, wall, cpu, peak, verdict = download(image64, args)
    if status != 0 or "byte-exact" not in verdict:
        print("%-22s FAILED (serve %d): %s" % (name, status, verdict))
        continue
    elapsed, minimum = parse_times(verdict)
    peak64 = max(peak64, peak)
    print("%-22s %8.3fs %8.3fs %7.4f %8.3fs %7.3f%%" %
          (name, elapsed, minimum, elapsed / minimum, cpu, 100.0 * cpu / wall))

print()
print("3. Peak anonymous memory of kestrune-cli serve")
big = os.path.join(work, "512m.dl")
write_sparse_image(big, [512 * 1024 * 1024 - 64])
status, wall, cpu, peak_big, verdict = download(
    big, ["--buffer-size", "65536", "--max-block", "16384", "--end-early", "1"])
print("   64 KiB image:            %6d KiB" % peak64)
print("   512 MiB sparse image:    %6d KiB  (serve exit %d, %s)" %
      (peak_big, status, "first window only" if "ended early" in verdict else verdict))

print()
print("4. kestrune-cli info on 50-module images")
def best_of(image, runs=5):
    best = None
    for _ in range(runs):
        t0 = time.perf_counter()
        subprocess.run([cli, "info", image], check=True, stdout=subprocess.DEVNULL)
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    return best
small = os.path.join(work, "small50.dl")
huge = os.path.join(work, "huge50.dl")
write_sparse_image(small, [64] * 50)
write_sparse_image(huge, [(1024 * 1024 * 1024) // 50 - 64] * 50)
ts, th = best_of(small), best_of(huge)
print("   50 modules, %10d bytes: %.2f ms" % (os.path.getsize(small), ts * 1000))
print("   50 modules, %10d bytes: %.2f ms  (ratio %.2f)" % (os.path.getsize(huge), th * 1000, th / ts))

print()
print("5. 64 KiB image, 1024 B x window 8, through kestrune-relay (a USB adapter's latency)")
print("%-22s %9s %9s %7s" % ("adapter latency", "download", "minimum", "ratio"))
for latency in (0, 1, 4, 16):
    name = "%d ms" % latency
    status, wall, cpu, peak, verdict = download(image64, shapes[0][1], latency)
    if status != 0 or "byte-exact" not in verdict:
        print("%-22s FAILED (serve %d): %s" % (name, status, verdict))
        continue
    elapsed, minimum = parse_times(verdict)
    print("%-22s %8.3fs %8.3fs %7.4f" % (name, elapsed, minimum, elapsed / minimum))
PY
