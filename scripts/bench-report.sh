#!/usr/bin/env bash
# Benchmark of kestrune-cli report, for the record (not a timed test).
# Usage: scripts/bench-report.sh BUILD_DIR   (a Release build, as `make bench` makes one)
#
# A generated record of one million lines as a station writes them (16 ports, a box's
# descriptors on every line, a box in 20 failing and served again, port failures, torn lines),
# and its first 100,000 lines: the wall time of `kestrune-cli report` on each (goal: under 5 s
# for the million on 2 cores) and its peak resident memory (/usr/bin/time -v; goal: the same for
# both, memory does not grow with the record). Ends with README-ready table rows.
set -euo pipefail
build="$(cd "${1:-build/dist-native}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

exec python3 - "$build" "$work" <<'PY'
import json, os, re, subprocess, sys, time

build, work = sys.argv[1], sys.argv[2]
cli = os.path.join(build, "kestrune-cli")
sha = "0de17c61889baf69df26cb0926caf01a0b04502fbc793940c9af8f24e9f75f3c"
box = ('{"descriptors":[{"type":1,"bytes":"0100a0b15601020300"},{"type":2,"bytes":'
       '"0100a0b15601010000"}],"hardware":{"specifierType":1,"specifierData":41137,"oui":'
       '"00-A0-B1","model":22017,"version":515,"subDescriptorCount":0},"software":'
       '{"specifierType":1,"specifierData":41137,"oui":"00-A0-B1","model":22017,"version":256,'
       '"subDescriptorCount":0}}')

def iso(ms):
    s, ms = divmod(ms, 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(s)) + ".%03dZ" % ms

def generate(path, lines):
    ports = ["/dev/ttyUSB%d" % i for i in range(16)]
    clock = [1796623200000 + i * 977 for i in range(16)]  # 2026-12-07T06:00Z, staggered
    boxes = [0] * 16
    failures = [0] * 16
    written = 0
    with open(path, "w") as f:
        while written < lines:
            p = written % 16
            port = ports[p]
            boxes[p] += 1
            session = "%s-20261207T060000Z-%d" % (port, boxes[p])
            attempts = ["download error", "complete"] if boxes[p] % 20 == 0 else ["complete"]
            if boxes[p] % 500 == 0:
                attempts = ["not responding"]
            for attempt, outcome in enumerate(attempts, 1):
                duration = 7000 + (boxes[p] * 7919 + p * 104729) % 900
                start = clock[p]
                end = start + duration
                clock[p] = end + 4500
                failures[p] = 0 if outcome == "complete" else failures[p] + 1
                reason = ("null" if outcome == "complete" else
                          '"the box ended the download after 4,096 of 34,768 module bytes"'
                          if outcome == "download error" else '"no box woke up within 20 s"')
                f.write('{"start":"%s","end":"%s","port":"%s","boxSession":"%s","attempt":%d,'
                        '"failuresInRow":%d,"image":"images/sample.dl","imageSize":34863,'
                        '"imageSha256":"%s","wakeupByte":85,"downloadId":%d,"blockSize":16384,'
                        '"windowSize":4,"ackPeriod":4,"box":%s,"outcome":"%s","resultCode":%s,'
                        '"reason":%s,"moduleBytesDelivered":%d,"moduleBytes":34768,'
                        '"framesResent":0,"durationSeconds":%.3f,"testLog":"logs/ttyUSB%d-'
                        '20261207T060000Z.log","capture":null}\n' %
                        (iso(start), iso(end), port, session, attempt, failures[p], sha,
                         boxes[p], box, outcome, "null" if outcome == "not responding" else
                         "0", reason, 34768 if outcome == "complete" else 4096,
                         duration / 1000, p))
                written += 1
            if boxes[p] % 2000 == 0:
                f.write('{"start":"%s","end":"%s","port":"%s","boxSession":null,"attempt":1,'
                        '"failuresInRow":%d,"image":"images/sample.dl","imageSize":34863,'
                        '"imageSha256":"%s","outcome":"port failure","resultCode":null,'
                        '"reason":"%s went away (a read error or hang-up); check its cable '
                        'and adapter","durationSeconds":0.000}\n' %
                        (iso(clock[p]), iso(clock[p]), port, failures[p] + 1, sha, port))
                written += 1
            if written % 250000 == 0:
                f.write('{"start":"%s","end":"%s","port":"%s","boxSe\n' %
                        (iso(clock[p]), iso(clock[p]), port))  # a torn line
                written += 1
    return os.path.getsize(path)

def measure(path):
    """(seconds, peak RSS in KiB, the report) of kestrune-cli report --format json PATH."""
    t0 = time.monotonic()
    run = subprocess.run(["/usr/bin/time", "-v", cli, "report", "--format", "json", path],
                         capture_output=True, text=True)
    wall = time.monotonic() - t0
    if run.returncode != 0:
        sys.exit("report failed: " + run.stderr)
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1))
    return wall, rss, json.loads(run.stdout)

print("Kestrune report benchmark (%s, %d cores, load %.1f before)" %
      (build, os.cpu_count(), os.getloadavg()[0]))
big = os.path.join(work, "record-1m.jsonl")
size = generate(big, 1000000)
small = os.path.join(work, "record-100k.jsonl")
with open(big) as src, open(small, "w") as dst:
    for i, line in enumerate(src):
        if i == 100000:
            break
        dst.write(line)
rows = []
for path, name in ((small, "100,000"), (big, "1,000,000")):
    best = None
    for _ in range(3):
        wall, rss, report = measure(path)
        best = (wall, rss) if best is None or wall < best[0] else best
    total = report["total"]
    mb = os.path.getsize(path) / 1e6
    print("   %s lines (%.0f MB): %.2f s (best of 3), peak RSS %d KiB; %d boxes, %d complete, "
          "%d skipped lines" % (name, mb, best[0], best[1], total["boxes"], total["complete"],
                                report["files"][0]["skipped"]))
    rows.append("| `kestrune-cli report` on %s record lines (%.0f MB, generated) | %.2f s, peak "
                "RSS %s KiB | under 5 s for 1,000,000; memory the same at any length |" %
                (name, mb, best[0], format(best[1], ",")))
print()
print("README rows:")
for row in rows:
    print(row)
PY
