#!/usr/bin/env python3
"""Hostile and careless clients of a running station's page, many at once, with a legitimate
client beside them and a watch on the station's memory and descriptors.

Usage: web_attack.py PORT PID PHASE SECONDS   (PHASE: mixed, flood or slow; PID 0: a station
whose memory and descriptors cannot be watched, such as one under Wine)
  mixed: 40 idle, 17 slowloris and 16 long-line clients, each reconnecting when closed, and
         the one-shot attacks (3,000 ranges, huge headers, bodies on GET and HEAD, pipelining,
         a rebinding Host, HTTP/1.0 /events, other methods).
  flood: 300 idle connections at once, far beyond the server's budget.
  slow:  40 idle and 17 slowloris clients, each reconnecting when closed.
Prints one line of figures (JSON); exits 1 with the broken property when one is broken.
"""
import asyncio
import json
import os
import sys
import time

PORT, PID, PHASE, SECONDS = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
HOST = b"127.0.0.1:%d" % PORT
DEADLINE = 3.0  # the server's request deadline
BUDGET = 128  # its connections at once
faults = []
figures = {"phase": PHASE}


def fault(text):
    faults.append(text)


def sample():
    if PID == 0:
        return 0, 0
    with open("/proc/%d/status" % PID) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/%d/fd" % PID))


async def connect():
    return await asyncio.open_connection("127.0.0.1", PORT)


async def read_all(reader, limit=10.0):
    """Everything until the server closes, or None when it did not close within `limit`."""
    try:
        return await asyncio.wait_for(reader.read(-1), limit)
    except asyncio.TimeoutError:
        return None
    except ConnectionError:
        return b""


async def answers(reader, count, limit=5.0, heads=()):
    """`count` answers with a Content-Length, in order: [(status, headers, body)]; those whose
    index is in `heads` answer a HEAD (no body)."""
    out = []
    for i in range(count):
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), limit)
        lines = head.decode("latin-1").split("\r\n")
        headers = {l.split(":", 1)[0].lower(): l.split(":", 1)[1].strip() for l in lines[1:] if l}
        length = 0 if i in heads else int(headers.get("content-length", 0))
        body = await asyncio.wait_for(reader.readexactly(length), limit)
        out.append((int(lines[0].split()[1]), headers, body))
    return out


def request(path=b"/", method=b"GET", extra=b"", host=HOST, version=b"1.1"):
    return b"%s %s HTTP/%s\r\nHost: %s\r\n%s\r\n" % (method, path, version, host, extra)


async def holder(kind, stop, lifetimes, stats):
    """One connection of `kind`, again and again until `stop`: how long the server let it live."""
    while not stop.is_set():
        started = time.monotonic()
        try:
            reader, writer = await connect()
        except OSError:
            stats["connect_failed"] = stats.get("connect_failed", 0) + 1
            await asyncio.sleep(0.1)
            continue
        try:
            if kind == "slow":
                # A byte every 0.3 s, never the head's end.
                writer.write(b"GET / HTTP/1.1\r\nHost: " + HOST + b"\r\n")
                for byte in b"X-Slow: " + b"a" * 1000:
                    writer.write(bytes([byte]))
                    await writer.drain()
                    try:
                        if await asyncio.wait_for(reader.read(1024), 0.3) == b"":
                            break
                    except asyncio.TimeoutError:
                        pass
            elif kind == "long":
                # A line without end, as fast as the server takes it.
                writer.write(b"GET /")
                sent = 0
                reader._transport.set_write_buffer_limits(16384)
                while sent < 10_000_000 and not writer.is_closing() and not reader.at_eof():
                    writer.write(b"a" * 16384)
                    sent += 16384
                    await writer.drain()
                if sent >= 10_000_000:
                    stats["long_unrefused"] = stats.get("long_unrefused", 0) + 1
            else:
                await reader.read(-1)
        except (asyncio.TimeoutError, ConnectionError, OSError):
            pass
        lifetimes.append(time.monotonic() - started)
        writer.close()
        if stop.is_set():
            return


async def slow_read_until_close(reader):
    try:
        while True:
            got = await reader.read(1024)
            if not got:
                return
    except (ConnectionError, OSError):
        return


async def legit(stop, times):
    """The page's own client: /api/station every 0.2 s, each answer timed."""
    while not stop.is_set():
        started = time.monotonic()
        try:
            reader, writer = await connect()
            writer.write(request(b"/api/station", extra=b"Connection: close\r\n"))
            (status, _, body), = await answers(reader, 1, 5.0)
            json.loads(body)
            if status != 200:
                fault("legitimate client answered %d" % status)
            writer.close()
        except Exception as e:  # any failure is a fault of the server's
            fault("legitimate client: %r" % e)
        times.append(time.monotonic() - started)
        await asyncio.sleep(0.2)


async def one_shots():
    """Each attack once; each checks its own answer."""
    reader, writer = await connect()
    writer.write(request())
    ((_, _, page),) = await answers(reader, 1)
    writer.close()

    # 3,000 ranges (in two header lines, each within the line bound): the whole page, once.
    reader, writer = await connect()
    ranges = b",".join(b"0-%d" % (i % 10) for i in range(1500))
    writer.write(request(extra=b"Range: bytes=" + ranges + b"\r\nRange: bytes=" + ranges +
                         b"\r\nConnection: close\r\n"))
    ((status, headers, body),) = await answers(reader, 1)
    if status != 200 or body != page or "content-range" in headers:
        fault("3,000 ranges: %d, %d bytes" % (status, len(body)))
    reader, writer = await connect()
    writer.write(request(b"/events", extra=b"Range: bytes=0-10\r\n"))
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 5)
    if not head.startswith(b"HTTP/1.1 200 ") or b"Content-Range" in head:
        fault("Range on /events: %r" % head[:40])
    writer.close()

    # Refused heads: each answered once with its status, then the connection ends.
    refused = [
        ("huge headers", request(extra=b"".join(b"X-H%d: %s\r\n" % (i, b"h" * 900)
                                                for i in range(40))), 431),
        ("a body on GET", request(b"/api/station", extra=b"Content-Length: 31\r\n") +
         request(b"/metrics"), 400),
        ("chunked body on HEAD", request(method=b"HEAD", extra=b"Transfer-Encoding: chunked\r\n")
         + b"5\r\nhello\r\n0\r\n\r\n", 400),
        ("rebinding Host", request(b"/api/station", host=b"evil.example:%d" % PORT), 421),
        ("rebinding Host on /events", request(b"/events", host=b"evil.example:%d" % PORT), 421),
        ("POST", request(b"/metrics", method=b"POST", extra=b"Content-Length: 1\r\n") + b"x",
         405),
        ("unknown path", request(b"/start") + request(b"/api/station"), 404),
        ("HTTP/1.1 without Host", b"GET / HTTP/1.1\r\n\r\n", 400),
    ]
    for name, data, want in refused:
        reader, writer = await connect()
        writer.write(data)
        rest = await read_all(reader, 5.0)
        if rest is None:
            fault("%s: the connection stayed open" % name)
            continue
        statuses = rest.count(b"HTTP/1.1 ")
        if not rest.startswith(b"HTTP/1.1 %d " % want) or statuses != 1:
            fault("%s: %r (%d answers)" % (name, rest[:40], statuses))
        writer.close()

    # Pipelining: three requests in one write, three answers in order, then the end.
    reader, writer = await connect()
    writer.write(request(b"/api/station") + request(b"/metrics", method=b"HEAD") +
                 request(b"/metrics", extra=b"Connection: close\r\n"))
    got = await answers(reader, 2, heads=(1,))
    if [s for s, _, _ in got] != [200, 200] or got[1][2] != b"":
        fault("pipelining: %r" % [(s, len(b)) for s, _, b in got])
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 5)
    rest = await read_all(reader, 5.0)
    if not head.startswith(b"HTTP/1.1 200") or rest is None or not rest.startswith(b"# HELP"):
        fault("pipelining, third answer: %r" % head[:40])
    writer.close()

    # HTTP/1.0 /events: not chunked, the messages as they are, the end by the connection's.
    reader, writer = await connect()
    writer.write(b"GET /events HTTP/1.0\r\n\r\n")
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 5)
    first = await asyncio.wait_for(reader.readuntil(b"\n\n"), 5)
    second = await asyncio.wait_for(reader.readuntil(b"\n\n"), 5)
    if b"chunked" in head.lower() or b"connection: close" not in head.lower():
        fault("HTTP/1.0 /events head: %r" % head)
    if first != b"retry: 1000\n\n" or not second.startswith(b"data: {"):
        fault("HTTP/1.0 /events body: %r" % (first + second)[:40])
    writer.close()


async def main():
    stop = asyncio.Event()
    rss0, fds0 = sample()
    figures.update(idle_rss_kb=rss0, idle_fds=fds0)
    peak = {"rss": rss0, "fds": fds0}
    times, lifetimes, stats = [], {"idle": [], "slow": [], "long": []}, {}

    async def watch():
        while not stop.is_set():
            rss, fds = sample()
            peak["rss"], peak["fds"] = max(peak["rss"], rss), max(peak["fds"], fds)
            await asyncio.sleep(0.05)

    tasks = [asyncio.create_task(watch()), asyncio.create_task(legit(stop, times))]
    if PHASE in ("mixed", "slow"):
        for kind, n in (("idle", 40), ("slow", 17), ("long", 16 if PHASE == "mixed" else 0)):
            tasks += [asyncio.create_task(holder(kind, stop, lifetimes[kind], stats))
                      for _ in range(n)]
        await asyncio.sleep(1.0)
        try:
            if PHASE == "mixed":
                await one_shots()
        except Exception as e:
            import traceback
            fault("one-shot attacks: %r at line %d" % (e, traceback.extract_tb(e.__traceback__)[1].lineno))
    else:
        held = []
        for _ in range(300):
            try:
                held.append(await connect())
            except OSError:
                stats["connect_failed"] = stats.get("connect_failed", 0) + 1
        closed = await asyncio.gather(*(read_all(r, SECONDS) for r, _ in held))
        figures["flood_closed_by_server"] = sum(1 for c in closed if c is not None)
        for _, w in held:
            w.close()
    await asyncio.sleep(max(0.0, SECONDS - (time.monotonic() - started)))
    stop.set()
    await asyncio.sleep(0.4)
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)

    figures.update(peak_rss_kb=peak["rss"], peak_fds=peak["fds"],
                   legit_requests=len(times), legit_max_s=round(max(times), 3), **stats)
    for kind, lives in lifetimes.items():
        if lives:
            figures["%s_connections" % kind] = len(lives)
            figures["%s_longest_s" % kind] = round(max(lives), 2)
    if max(times) >= 1.0:
        fault("a legitimate client waited %.2f s" % max(times))
    if PID and peak["fds"] > fds0 + BUDGET + 1:
        fault("descriptors %d, idle %d: beyond the budget of %d + 1" % (peak["fds"], fds0, BUDGET))
    if PID and peak["rss"] > rss0 + 8 * 1024:
        fault("memory %d KB, idle %d KB" % (peak["rss"], rss0))
    for kind in ("idle", "slow"):
        if lifetimes[kind] and max(lifetimes[kind]) > DEADLINE + 0.5:
            fault("a%s client held a connection %.2f s" % (
                "n idle" if kind == "idle" else " slow", max(lifetimes[kind])))
    if lifetimes["long"] and max(lifetimes["long"]) > 1.5:
        fault("a long line held a connection %.2f s" % max(lifetimes["long"]))
    if stats.get("long_unrefused"):
        fault("a long line was never refused")


started = time.monotonic()
asyncio.run(main())
print(json.dumps(figures))
for f in faults:
    print("FAULT:", f)
sys.exit(1 if faults else 0)
