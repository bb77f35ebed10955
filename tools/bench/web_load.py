#!/usr/bin/env python3
"""Loads the agent's web interface on 127.0.0.1 and times ordinary requests meanwhile.

The load: connections that never send anything, clients that send their request head a byte a
second, and "/jobnotify" streams that never read. Each kind is kept at its count while the load
lasts: a connection that the server drops is opened again. Meanwhile ordinary authenticated
requests ("/jobsview" with the session cookie) are timed one after the other, and a reading
stream (as the tray opens it) must get its reply head. Then the load goes, and the same requests
must be answered again. The service's memory (VmRSS) is printed before, during and after.

Everything is bounded: the counts given, the hold time, and every wait has its own limit, so
the run ends by itself. Only 127.0.0.1 is used.

With root rights the non-reading streams run in a child process of another account (--streams-uid,
65534 by default), as a hostile local user's would; the tray-like stream stays with this one.

Exit status: 0 when every check held, 1 when one did not (each failure is printed), 2 for bad
arguments. Times are printed, never checked: "answered in X ms under load, bound 1000 ms: met".
"""

import argparse
import os
import select
import socket
import sys
import threading
import time

BOUND_MS = 1000


def vm_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def mib(kib):
    return f"{kib / 1024:.1f} MiB" if kib >= 0 else "unknown"


class Load:
    """The idle, slow-head and (in this process) non-reading stream connections, kept at their
    counts by one thread until stop()."""

    def __init__(self, port, idle, slow, streams, cookie):
        self.port = port
        self.counts = {"idle": idle, "slow": slow, "stream": streams}
        host = f"127.0.0.1:{port}"
        self.slow_head = (f"GET /jobsview HTTP/1.1\r\nHost: {host}\r\nCookie: {cookie}\r\n"
                          "\r\n").encode()
        self.stream_head = f"GET /jobnotify/ HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
        self.socks = {}  # fd -> [kind, socket, bytes of the head sent, opened at, connected]
        self.poll = select.poll()
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.opened = {k: 0 for k in self.counts}   # connections opened, reopenings included
        self.dropped = {k: 0 for k in self.counts}  # connections the server closed
        self.refused_connects = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.retry_at = {}  # kind -> time before which a dropped one is not opened again

    def open_one(self, kind):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if kind == "stream":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", self.port))
        except BlockingIOError:
            pass
        except OSError:
            self.refused_connects += 1
            s.close()
            return False
        self.socks[s.fileno()] = [kind, s, 0, time.monotonic(), False]
        self.poll.register(s.fileno(), select.POLLRDHUP | select.POLLHUP | select.POLLERR |
                           select.POLLOUT)
        self.opened[kind] += 1
        return True

    def held(self, kind):
        return sum(1 for v in self.socks.values() if v[0] == kind)

    def fill(self):
        now = time.monotonic()
        for kind, want in self.counts.items():
            if now < self.retry_at.get(kind, 0):
                continue
            missing = want - self.held(kind)
            for _ in range(missing):
                if not self.open_one(kind):
                    break

    def drop(self, fd):
        kind, s = self.socks.pop(fd)[:2]
        self.poll.unregister(fd)
        s.close()
        self.dropped[kind] += 1
        # A refused stream or a dropped head is tried again a second later, not at once.
        self.retry_at[kind] = time.monotonic() + 1.0

    def run(self):
        next_byte = time.monotonic()
        while not self.stopping.is_set():
            self.fill()
            for fd, events in self.poll.poll(100):
                entry = self.socks.get(fd)
                if not entry:
                    continue
                kind, s = entry[0], entry[1]
                if events & (select.POLLRDHUP | select.POLLHUP | select.POLLERR):
                    self.drop(fd)
                    continue
                if events & select.POLLOUT:
                    # Connected: a stream sends its whole head, the others nothing yet.
                    self.poll.modify(fd, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
                    entry[4] = True
                    if kind == "stream":
                        try:
                            s.send(self.stream_head)
                        except OSError:
                            self.drop(fd)
            now = time.monotonic()
            if now >= next_byte:
                next_byte = now + 1.0
                for fd, entry in list(self.socks.items()):
                    if entry[0] != "slow" or not entry[4]:
                        continue
                    try:
                        entry[1].send(self.slow_head[entry[2]:entry[2] + 1])
                        # Never the last byte: the head stays unfinished.
                        entry[2] = min(entry[2] + 1, len(self.slow_head) - 2)
                    except OSError:
                        self.drop(fd)
        for fd in list(self.socks):
            self.socks[fd][1].close()
        self.socks.clear()

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.thread.join(10)


def exchange(port, request, limit_s, head_only=False):
    """Sends request on a new connection; (status or 0, milliseconds, what failed)."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=limit_s) as s:
            s.settimeout(max(0.1, limit_s - (time.monotonic() - started)))
            s.sendall(request)
            data = b""
            while True:
                if head_only and b"\r\n\r\n" in data:
                    break
                left = limit_s - (time.monotonic() - started)
                if left <= 0:
                    raise socket.timeout("no whole reply")
                s.settimeout(left)
                part = s.recv(65536)
                if not part:
                    break
                data += part
    except OSError as e:
        return 0, (time.monotonic() - started) * 1000, str(e) or type(e).__name__
    ms = (time.monotonic() - started) * 1000
    line = data.split(b"\r\n", 1)[0].decode("latin-1")
    parts = line.split()
    if len(parts) < 2 or not parts[1].isdigit():
        return 0, ms, f"no status line: {line!r}"
    return int(parts[1]), ms, ""


def probe(port, cookie, limit_s):
    request = (f"GET /jobsview HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nCookie: {cookie}\r\n"
               "Connection: close\r\n\r\n").encode()
    return exchange(port, request, limit_s)


def tray_stream(port, limit_s):
    request = f"GET /jobnotify/ HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()
    return exchange(port, request, limit_s, head_only=True)


def streams_child(port, count, hold_s, uid, report):
    """The non-reading streams in a process of account uid; writes the count it held open
    (connected, head sent, not dropped) after the ramp to report, then holds until killed."""
    os.setgroups([])
    os.setgid(uid)
    os.setuid(uid)
    load = Load(port, 0, 0, count, "")
    load.start()
    time.sleep(2.0)
    os.write(report, f"{load.held('stream')} {load.dropped['stream']}\n".encode())
    deadline = time.monotonic() + hold_s
    while time.monotonic() < deadline:
        time.sleep(0.2)
    load.stop()
    os._exit(0)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--cookie", required=True, help="the session cookie (name=value)")
    p.add_argument("--pid", type=int, required=True, help="the service's process")
    p.add_argument("--idle", type=int, default=500)
    p.add_argument("--slow", type=int, default=60)
    p.add_argument("--streams", type=int, default=50)
    p.add_argument("--probes", type=int, default=10)
    p.add_argument("--ramp", type=float, default=3.0, help="seconds the load builds up")
    p.add_argument("--hold", type=float, default=15.0,
                   help="seconds the load is held while requests are timed")
    p.add_argument("--probe-limit", type=float, default=90.0,
                   help="seconds a probe may wait before it counts as unanswered")
    p.add_argument("--streams-uid", type=int, default=65534)
    p.add_argument("--memory-slack-mib", type=int, default=256,
                   help="how far above its start the memory may stay after the load")
    a = p.parse_args()
    if a.idle < 0 or a.slow < 0 or a.streams < 0 or a.probes < 1:
        p.error("counts must not be negative, and at least one probe")

    failures = []

    def check(ok, text):
        if not ok:
            failures.append(text)
            print("FAILED: " + text, flush=True)

    rss_before = vm_rss_kib(a.pid)
    status, ms, why = probe(a.port, a.cookie, a.probe_limit)
    print(f"before the load: /jobsview {status} in {ms:.0f} ms, memory {mib(rss_before)}",
          flush=True)
    check(status == 200, f"/jobsview before the load answered {status} {why}")

    # The non-reading streams: another account's when this one may switch, else this one's.
    child = None
    report_r = None
    own_streams = a.streams
    as_other = os.geteuid() == 0 and a.streams > 0
    if as_other:
        report_r, report_w = os.pipe()
        child = os.fork()
        if child == 0:
            os.close(report_r)
            streams_child(a.port, a.streams, a.ramp + a.hold + a.probes * a.probe_limit + 30,
                          a.streams_uid,
                          report_w)
        os.close(report_w)
        own_streams = 0
    else:
        print("the non-reading streams run as this account (no root rights to run them as "
              "another): the tray-like stream shares their quota, so its slot is not checked",
              flush=True)

    load = Load(a.port, a.idle, a.slow, own_streams, a.cookie)
    load.start()
    rss_peak = rss_before
    sampler_stop = threading.Event()

    def sample():
        nonlocal rss_peak
        while not sampler_stop.wait(0.1):
            rss_peak = max(rss_peak, vm_rss_kib(a.pid))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    try:
        time.sleep(a.ramp)
        if child:
            line = b""
            ready, _, _ = select.select([report_r], [], [], 10)
            if ready:
                line = os.read(report_r, 100)
            held = line.decode().split()
            print(f"non-reading streams of account {a.streams_uid}: "
                  f"{held[0] if held else '?'} of {a.streams} not closed by the server", flush=True)
        print(f"load held: {load.held('idle')} idle, {load.held('slow')} slow-head, "
              f"{load.held('stream')} own streams; opened {load.opened}, dropped by the server "
              f"{load.dropped}", flush=True)

        # The probes, spread over the hold time (at least --probes of them), so that the load
        # also goes through the server's dropping of stalled clients and their coming back.
        times = []
        hold_end = time.monotonic() + a.hold
        while len(times) < a.probes or time.monotonic() < hold_end:
            status, ms, why = probe(a.port, a.cookie, a.probe_limit)
            times.append(ms)
            print(f"under load: /jobsview {status} in {ms:.0f} ms", flush=True)
            check(status == 200, f"/jobsview under load answered {status} {why}")
            if len(times) >= a.probes and time.monotonic() >= hold_end:
                break
            time.sleep(max(0.0, min(1.0, hold_end - time.monotonic())))
        if as_other:
            status, ms, why = tray_stream(a.port, a.probe_limit)
            print(f"under load: the tray's stream {status} in {ms:.0f} ms", flush=True)
            check(status == 200, f"the tray's stream under load got {status} {why}")
        rss_during = vm_rss_kib(a.pid)
        print(f"load at the end: {load.held('idle')} idle, {load.held('slow')} slow-head held; "
              f"opened {load.opened}, dropped by the server {load.dropped}", flush=True)
    finally:
        load.stop()
        if child:
            os.kill(child, 9)
            os.waitpid(child, 0)
            os.close(report_r)
        sampler_stop.set()
        sampler.join()

    worst = max(times)
    middle = sorted(times)[len(times) // 2]
    print(f"answered in {worst:.0f} ms under load (median {middle:.0f} ms, {len(times)} requests), "
          f"bound {BOUND_MS} ms: {'met' if worst <= BOUND_MS else 'not met'}", flush=True)

    # Recovery: the server lets go of what the load held; the same requests are answered.
    recovered = False
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        status, ms, why = probe(a.port, a.cookie, 10)
        if status == 200:
            recovered = True
            break
        time.sleep(0.5)
    print(f"after the load: /jobsview {status} in {ms:.0f} ms", flush=True)
    check(recovered, f"/jobsview after the load answered {status} {why}")
    # The server sees the streams' clients gone within its next look at them.
    deadline = time.monotonic() + 15
    while True:
        status, ms, why = tray_stream(a.port, 10)
        if status == 200 or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    print(f"after the load: a stream {status} in {ms:.0f} ms", flush=True)
    check(status == 200, f"a stream after the load got {status} {why}")
    time.sleep(2)
    rss_after = vm_rss_kib(a.pid)
    print(f"memory (VmRSS): before {mib(rss_before)}, during {mib(rss_during)} "
          f"(peak {mib(rss_peak)}), after {mib(rss_after)}", flush=True)
    check(rss_after >= 0 and rss_after <= rss_before + a.memory_slack_mib * 1024,
          f"memory after the load {mib(rss_after)} is more than {a.memory_slack_mib} MiB "
          f"above its start {mib(rss_before)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
