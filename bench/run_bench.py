#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Benchmarks stepper-dial as a client sees it, beside the machine's own limit.

Starts the real program with --simulate (window on the offscreen platform and under Xvfb),
drives it over TCP on port 3000, reads the port trace, and prints one table plus a JSON file.
In the same run: a bare 1 ms timerfd loop (bench/bare_timerfd.cpp), a flood of 64 KiB
messages of random bytes that start with "36000" during a move, under Xvfb, and, headless,
32 web pages, and an MQTT broker (Debian's mosquitto) flooding 1000 commands a second or
restarted under the program.
Ramped moves (--ramp-only): a 3600-degree move on the speed ramp, as root and unprivileged,
against its planned ticks, turn about with a plain move and the bare loop.
Usage: python3 bench/run_bench.py [--build build] [--json FILE] [--repeat N] [--ramp-only]
       [--counters-against PLAIN]
"""
import argparse
import fcntl
import json
import os
import random
import platform
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import tempfile
import termios
import threading
import time

PORT = 3000


class Trace:
    """Collects 'port 0x378 <- V at T' lines from the program's standard output."""

    def __init__(self, stream):
        self.writes = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            parts = raw.split()
            if len(parts) == 6 and parts[0] == b"port":
                with self.cond:
                    self.writes.append((int(parts[3]), float(parts[5])))
                    self.cond.notify_all()

    def wait_for(self, count, timeout=30.0):
        with self.cond:
            return self.cond.wait_for(lambda: len(self.writes) >= count, timeout)

    def count(self):
        with self.cond:
            return len(self.writes)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def cpu_seconds(pid):
    """CPU time of all the process's threads, to the nanosecond (schedstat)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def connect(timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", PORT), timeout=1.0)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.0005)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()


def step_figures(times):
    """Rate against 1 kHz and the intervals, from write times in seconds."""
    intervals = [(b - a) * 1000.0 for a, b in zip(times, times[1:])]
    return {
        "step_rate_ratio": (len(times) - 1) / (times[-1] - times[0]) / 1000.0,
        "interval_ms": {"min": min(intervals), "p50": percentile(intervals, 50),
                        "p99": percentile(intervals, 99), "max": max(intervals)},
    }


def run_bare(binary):
    out = subprocess.run([binary, "4800"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         check=True).stdout
    return step_figures([float(line) for line in out.split()])


def bytes_unread(sock):
    """What the program has not read yet of this client's bytes: our send queue plus its
    receive queue, as the kernel counts them."""
    unread = struct.unpack("i", fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0" * 4))[0]
    local = f":{sock.getsockname()[1]:04X}"
    with open("/proc/net/tcp") as table:
        for line in table:
            fields = line.split()
            if fields[1].endswith(f":{PORT:04X}") and fields[2].endswith(local):
                unread += int(fields[4].split(":")[1], 16)
    return unread


def start_long_move(binary, env, options=()):
    """The program, a client, and a 36000-degree move 50 steps under way."""
    proc = subprocess.Popen([binary, "--simulate", *options], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    client = connect()
    trace = Trace(proc.stdout)
    trace.wait_for(1)
    client.sendall(b"36000")
    trace.wait_for(50)
    return proc, client, trace


def run_flood(binary, env, seconds=2.5):
    """Steps during a flood of 64 KiB random-byte messages, each starting with "36000"."""
    proc, client, trace = start_long_move(binary, env)
    try:
        rng = random.Random(9)
        messages = [b"36000" + rng.randbytes(64 * 1024 - 5) for _ in range(16)]
        start = time.monotonic()
        first = trace.count()
        sent = 0
        while time.monotonic() - start < seconds:
            client.sendall(messages[sent % len(messages)])
            sent += 1
            # Each message read on its own, so the target stays where the messages put it.
            while bytes_unread(client) > 0:
                time.sleep(0.0002)
        last = trace.count()
        figures = step_figures([t for _, t in trace.writes[first:last]])
        figures["messages"] = sent
        return figures
    finally:
        stop(proc)


def run_web(binary, env, pages_tool, seconds=4):
    """Steps while 32 pages are open and one sends 100 angle changes a second."""
    proc, _, trace = start_long_move(binary, env, ("--headless", "--web", "127.0.0.1:3080"))
    try:
        first = trace.count()
        cpu, start = cpu_seconds(proc.pid), time.monotonic()
        out = subprocess.run([pages_tool, "ws://127.0.0.1:3080/live", "32", "100", str(seconds)],
                             stdout=subprocess.PIPE, check=True).stdout.split()
        last = trace.count()
        figures = step_figures([t for _, t in trace.writes[first:last]])
        figures["page_states"], figures["pages_open"], figures["changes"] = map(int, out)
        figures["cpu_moving"] = (cpu_seconds(proc.pid) - cpu) / (time.monotonic() - start)
        figures["peak_rss_mb"] = peak_rss_mb(proc.pid)
        return figures
    finally:
        stop(proc)


HANDSHAKE = (b"GET /live HTTP/1.1\r\nHost: 127.0.0.1:3080\r\nUpgrade: websocket\r\n"
             b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
             b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")


def web_flood(stop_at, half_open=500):
    """Until stop_at: half-open requests held open and renewed as the program drops them, and
    one page after another sending pings nonstop and never reading."""
    held = []
    pings = (bytes([0x89, 0x80 | 125]) + b"\0" * 4 + b"p" * 125) * 64
    page, opened = None, 0
    while time.monotonic() < stop_at:
        while len(held) < half_open:
            try:
                s = socket.create_connection(("127.0.0.1", 3080), timeout=1)
                s.sendall(b"GET / HTTP/1.1\r\n")
                held.append(s)
                opened += 1
            except OSError:
                break
        try:
            if page is None:
                page = socket.socket()
                page.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                page.settimeout(0.05)
                page.connect(("127.0.0.1", 3080))
                page.sendall(HANDSHAKE)
            for _ in range(16):
                page.sendall(pings)
        except OSError:
            if page:
                page.close()
            page = None
        # The program closes what is older than its limit; those go, new ones come.
        alive = []
        for s in held:
            try:
                s.setblocking(False)
                gone = s.recv(1, socket.MSG_PEEK) == b""
            except BlockingIOError:
                gone = False
            except OSError:
                gone = True
            (s.close() if gone else alive.append(s))
        held = alive
    for s in held:
        s.close()
    if page:
        page.close()
    return opened


def run_web_flood(binary, env, seconds=4):
    """Steps while the web port is flooded with half-open requests and pings."""
    proc, _, trace = start_long_move(binary, env, ("--headless", "--web", "127.0.0.1:3080"))
    try:
        first = trace.count()
        cpu, start = cpu_seconds(proc.pid), time.monotonic()
        opened = web_flood(start + seconds)
        last = trace.count()
        figures = step_figures([t for _, t in trace.writes[first:last]])
        figures["cpu_moving"] = (cpu_seconds(proc.pid) - cpu) / (time.monotonic() - start)
        figures["peak_rss_mb"] = peak_rss_mb(proc.pid)
        figures["half_open"] = opened
        return figures
    finally:
        stop(proc)


def hold_connections(source, stop_at, most=40, pages=4):
    """Until stop_at, from `source`: as many connections as the program keeps, the first
    `pages` of them page handshakes, the rest requests never finished; each one the program
    cuts or refuses made again at once."""
    held = []
    while time.monotonic() < stop_at:
        while len(held) < most:
            try:
                s = socket.socket()
                s.bind((source, 0))
                s.settimeout(0.5)
                s.connect(("127.0.0.1", 3080))
                s.sendall(HANDSHAKE if len(held) < pages else b"GET / HTTP/1.1\r\n")
                held.append(s)
            except OSError:
                s.close()
                break
        alive = []
        for s in held:
            try:
                s.setblocking(False)
                while s.recv(4096):
                    pass
                s.close()  # the program closed it
            except BlockingIOError:
                alive.append(s)
            except OSError:
                s.close()
        held = alive
        time.sleep(0.01)
    for s in held:
        s.close()


def answered(source, request, expected, linger=0.0, timeout=2.0):
    """Whether a request from `source` gets an answer starting with `expected`, and no
    refusal within `linger` seconds after it (as a page is refused after its handshake)."""
    try:
        with socket.socket() as s:
            s.bind((source, 0))
            s.settimeout(timeout)
            s.connect(("127.0.0.1", 3080))
            s.sendall(request)
            got = b""
            while len(got) < len(expected):
                part = s.recv(64)
                if not part:
                    break
                got += part
            if linger:
                s.settimeout(linger)
                try:
                    got += s.recv(4096)
                except TimeoutError:
                    pass
            return got.startswith(expected) and b"too many" not in got
    except OSError:
        return False


def run_web_fairness(binary, env, seconds=10, scrapes=45, holders=4):
    """While `holders` addresses hold every connection they may, renewing each one cut: the
    share of scrapes and of pages from other addresses answered, and how many pages one
    address asking for 32 gets."""
    proc, _, _ = start_long_move(binary, env, ("--headless", "--web", "127.0.0.1:3080"))
    try:
        stop_at = time.monotonic() + seconds
        threads = [threading.Thread(target=hold_connections, args=(f"127.0.0.{2 + k}", stop_at))
                   for k in range(holders)]
        for t in threads:
            t.start()
        time.sleep(1)  # the holders at their limit
        greedy = []
        for _ in range(32):
            s = socket.socket()
            s.bind(("127.0.0.20", 0))
            s.settimeout(2)
            try:
                s.connect(("127.0.0.1", 3080))
                s.sendall(HANDSHAKE)
            except OSError:
                pass
            greedy.append(s)
        time.sleep(0.5)
        greedy_ok = 0  # answered and not refused "too many pages ..."
        for s in greedy:
            try:
                s.setblocking(False)
                got = s.recv(65536)
                greedy_ok += got.startswith(b"HTTP/1.1 101") and b"too many pages" not in got
            except OSError:
                pass
            s.close()
        pages = scrape_ok = page_ok = 0
        for k in range(scrapes):
            scrape_ok += answered("127.0.0.30", b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:3080"
                                  b"\r\n\r\n", b"HTTP/1.1 200")
            if k % 5 == 0:  # a page now and then from an address of its own, closed at once
                pages += 1
                page_ok += answered(f"127.0.0.{40 + k}", HANDSHAKE, b"HTTP/1.1 101", 0.3)
            time.sleep(max(0.0, (stop_at - time.monotonic() - 0.5) / (scrapes - k)))
        for t in threads:
            t.join()
        return {"scrapes_answered": scrape_ok / scrapes, "pages_opened": page_ok / pages,
                "greedy_pages": greedy_ok}
    finally:
        stop(proc)


class Broker:
    """A mosquitto of the benchmark's own on a free loopback port; restartable."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="bench-broker-")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.config = os.path.join(self.dir, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                    "persistence false\nuser root\n")
        self.proc = None

    def start(self):
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.proc = subprocess.Popen([mosquitto, "-c", self.config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("mosquitto did not start")

    def kill(self):
        self.proc.kill()
        self.proc.wait()


def run_mqtt(binary, env, restarts, seconds=4):
    """Steps during a long move while 1000 commands a second come over MQTT (alternately
    "36000" and "36000.0", so every one changes the text but not the target), or while the
    broker is killed and started again once a second."""
    broker = Broker()
    broker.start()
    url = f"mqtt://127.0.0.1:{broker.port}"
    proc, _, trace = start_long_move(binary, env, ("--headless", "--mqtt", url,
                                                   "--mqtt-name", "bench"))
    try:
        time.sleep(0.3)  # connected
        first = trace.count()
        cpu, start = cpu_seconds(proc.pid), time.monotonic()
        sent = 0
        if restarts:
            for _ in range(seconds):
                broker.kill()
                time.sleep(0.5)
                broker.start()
                time.sleep(0.5)
        else:
            pub = subprocess.Popen(["mosquitto_pub", "-p", str(broker.port), "-l", "-t",
                                    "stepper-dial/bench/angle/set"], stdin=subprocess.PIPE)
            while time.monotonic() - start < seconds:
                due = int((time.monotonic() - start) * 1000) + 1
                pub.stdin.write(b"".join(b"36000\n" if i % 2 else b"36000.0\n"
                                         for i in range(sent, due)))
                pub.stdin.flush()
                sent = due
                time.sleep(0.001)
            pub.stdin.close()
            pub.wait()
        last = trace.count()
        figures = step_figures([t for _, t in trace.writes[first:last]])
        figures["cpu_moving"] = (cpu_seconds(proc.pid) - cpu) / (time.monotonic() - start)
        figures["peak_rss_mb"] = peak_rss_mb(proc.pid)
        if not restarts:
            figures["mqtt_commands"] = sent
        return figures
    finally:
        stop(proc)
        broker.kill()
        shutil.rmtree(broker.dir, ignore_errors=True)


def thread_waits(pid):
    """Per thread name: nanoseconds run and nanoseconds spent runnable but waiting for a CPU
    (/proc/PID/task/TID/schedstat)."""
    waits = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                ran, waited, _ = (int(v) for v in f.read().split())
        except OSError:
            continue
        old = waits.get(name, (0, 0))
        waits[name] = (old[0] + ran, old[1] + waited)
    return waits


def stepping_writes(pid):
    """Write-type system calls the stepping thread has made (/proc/PID/task/TID/io syscw): a
    port write to the simulated port makes none, so these are the trace's wake-ups."""
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                if f.read().strip() != "stepping":
                    continue
            with open(f"/proc/{pid}/task/{task}/io") as f:
                for line in f:
                    if line.startswith("syscw:"):
                        return int(line.split()[1])
        except OSError:
            pass
    return 0


def run_traced_move(binary, env, steps=4800):
    """A move with the trace going to a file, read only once the move is over."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "trace")
        # Appending, and read through a file of its own: the reader never moves the writer.
        with open(path, "ab") as out:
            proc = subprocess.Popen([binary, "--simulate"], stdout=out,
                                    stderr=subprocess.DEVNULL, env=env)
        try:
            client = connect()
            time.sleep(0.3)
            before = thread_waits(proc.pid)
            writes_before = stepping_writes(proc.pid)
            client.sendall(b"36000")
            deadline = time.monotonic() + 120
            lines = []
            while time.monotonic() < deadline:
                time.sleep(0.25)
                with open(path, "rb") as trace:
                    lines = trace.read().split(b"\n")
                if len(lines) > steps + 1:
                    break
            after = thread_waits(proc.pid)
            syscalls = stepping_writes(proc.pid) - writes_before
            if len(lines) <= steps + 1:
                raise RuntimeError(f"the move did not finish: {len(lines) - 1} trace lines, "
                                   f"program status {proc.poll()}, first {lines[:2]}")
            times = [float(line.split()[5]) for line in lines[1:steps + 1]]
            figures = step_figures(times)
            figures["stepping_syscw_per_1000"] = syscalls * 1000.0 / steps
            # Where the move's threads lost their turn: milliseconds waiting for a CPU.
            for name, (ran, waited) in after.items():
                ran0, waited0 = before.get(name, (0, 0))
                figures[f"ms waiting: {name}"] = (waited - waited0) / 1e6
                figures[f"ms running: {name}"] = (ran - ran0) / 1e6
            return figures
        finally:
            stop(proc)


RAMP = ("500", "100", "2000")


def run_ramped_move(binary, env, planned, unprivileged):
    """A 3600-degree move on the speed ramp (headless): how many steps fell on their planned
    tick (within half a tick of it, counted from the step before), and the CPU it cost."""
    command = [binary, "--simulate", "--headless", "--max-rate", RAMP[0], "--start-rate", RAMP[1],
               "--accel", RAMP[2]]
    if unprivileged:  # no real-time: nobody may not ask for it, and no RealtimeKit here
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    try:
        client = connect()
        trace = Trace(proc.stdout)
        trace.wait_for(1)
        time.sleep(0.5)
        base = trace.count()
        cpu0, wall0 = cpu_seconds(proc.pid), time.monotonic()
        client.sendall(b"3600")
        trace.wait_for(base + len(planned), timeout=60)
        cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - wall0)
        times = [t for _, t in trace.writes[base:base + len(planned)]]
        # Each step against the one before it: a late wake-up that costs a grid point shifts
        # every later step alike, and a motor feels only the spacing.
        on_plan = 1 + sum(abs((b - a) * 1000.0 - (q - p)) < 0.5
                          for a, b, p, q in zip(times, times[1:], planned, planned[1:]))
        figures = step_figures(times)
        return {"on_plan": on_plan / len(planned), "cpu_moving": cpu,
                "interval_ms": figures["interval_ms"]}
    finally:
        stop(proc)


def run_ramp(binary, bare, plan_tool, env, repeat):
    """Ramped moves as root and unprivileged, turn about with a plain move and the bare loop,
    and the ramp rule's cost a tick beside the plain rule's."""
    planned = [int(line) for line in subprocess.run(
        [plan_tool, *RAMP, "3600"], stdout=subprocess.PIPE, check=True).stdout.split()]
    runs = {"ramped 3600 degrees / root": [], "ramped 3600 degrees / unprivileged": [],
            "stepper-dial / headless": [], "bare timerfd loop (beside the ramp)": []}
    for _ in range(repeat):
        runs["ramped 3600 degrees / root"].append(run_ramped_move(binary, env, planned, False))
        runs["ramped 3600 degrees / unprivileged"].append(
            run_ramped_move(binary, env, planned, True))
        runs["stepper-dial / headless"].append(run_once(binary, env, ["--headless"]))
        runs["bare timerfd loop (beside the ramp)"].append(run_bare(bare))
    cost = subprocess.run([plan_tool, "--cost"], stdout=subprocess.PIPE, check=True, text=True)
    print(cost.stdout.strip())
    return {name: median_of(result) for name, result in runs.items()}


def run_counters(binary, plain, bare, env, repeat):
    """This build against one without the stepping thread's counters (PLAIN, its
    stepper-dial), a headless move each, turn about with the bare loop."""
    runs = {"stepper-dial / headless, with the counters": [],
            "stepper-dial / headless, without them": [],
            "bare timerfd loop (beside the counters)": []}
    for _ in range(repeat):
        runs["stepper-dial / headless, with the counters"].append(
            run_once(binary, env, ["--headless"]))
        runs["stepper-dial / headless, without them"].append(run_once(plain, env, ["--headless"]))
        runs["bare timerfd loop (beside the counters)"].append(run_bare(bare))
    return {name: median_of(result) for name, result in runs.items()}


def run_busy_desktop(binary, bare, env, repeat):
    """The program (trace to a file) and the bare loop, turn about, while two CPU-bound loops
    keep both cores of the machine busy, as a compile and a browser tab would."""
    hogs = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2)]
    try:
        time.sleep(0.5)
        program_runs, bare_runs = [], []
        for _ in range(repeat):
            program_runs.append(run_traced_move(binary, env))
            bare_runs.append(run_bare(bare))
        return median_of(program_runs), median_of(bare_runs)
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()


def run_once(binary, env, options=()):
    started = time.monotonic()
    proc = subprocess.Popen([binary, "--simulate", *options], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    try:
        client = connect()
        startup_ms = (time.monotonic() - started) * 1000.0
        trace = Trace(proc.stdout)
        trace.wait_for(1)
        time.sleep(0.5)

        # A 4800-step move.
        base = trace.count()
        cpu0, wall0 = cpu_seconds(proc.pid), time.monotonic()
        writes0 = stepping_writes(proc.pid)
        client.sendall(b"36000")
        trace.wait_for(base + 4800, timeout=60)
        moving_cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - wall0)
        syscalls = stepping_writes(proc.pid) - writes0
        steps = step_figures([t for _, t in trace.writes[base:base + 4800]])

        # Command latency: client send to the first coil write of that command.
        latencies = []
        for i in range(200):
            time.sleep(0.005)
            before = trace.count()
            sent = time.monotonic()
            client.sendall(b"36007.5" if i % 2 == 0 else b"36000")
            trace.wait_for(before + 1, timeout=5)
            latencies.append((trace.writes[before][1] - sent) * 1000.0)
            trace.wait_for(before + 1)

        # Idle CPU: listening again, the window up, nothing to do.
        client.sendall(b"disconnect")
        time.sleep(0.2)
        cpu0, wall0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(3.0)
        idle_cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - wall0)
        peak = peak_rss_mb(proc.pid)
        return {
            **steps,
            "stepping_syscw_per_1000": syscalls * 1000.0 / 4800,
            "latency_ms": {"p50": percentile(latencies, 50), "p99": percentile(latencies, 99)},
            "cpu_moving": moving_cpu,
            "cpu_idle": idle_cpu,
            "peak_rss_mb": peak,
            "startup_ms": startup_ms,
        }
    finally:
        stop(proc)


def median_of(runs):
    """Figure by figure, the median over repeated runs (machines here are shared and noisy)."""
    first = runs[0]
    if isinstance(first, dict):
        return {key: median_of([run[key] for run in runs if key in run]) for key in first}
    return statistics.median(runs)


def start_xvfb():
    if not shutil.which("Xvfb"):
        return None, None
    display = ":97"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.exists("/tmp/.X11-unix/X97"):
            return xvfb, display
        time.sleep(0.025)
    xvfb.kill()
    return None, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--json", default=None)
    parser.add_argument("--repeat", type=int, default=5,
                        help="runs per configuration; the table shows the median of each figure")
    parser.add_argument("--platforms", default="headless,offscreen,Xvfb",
                        help="which configurations to run, of headless, offscreen and Xvfb")
    parser.add_argument("--web-flood-only", action="store_true",
                        help="only the web port floods (beside the bare loop) and holds")
    parser.add_argument("--busy-only", action="store_true",
                        help="only the busy-desktop pair (two CPU-bound loops beside it)")
    parser.add_argument("--ramp-only", action="store_true",
                        help="only ramped moves, as root and unprivileged, beside a plain move")
    parser.add_argument("--counters-against", metavar="PLAIN", default=None,
                        help="only a headless move, turn about with PLAIN/stepper-dial (a build "
                             "without the stepping thread's counters)")
    args = parser.parse_args()
    program = os.path.join(args.build, "stepper-dial")
    results = {}
    xvfb, display = start_xvfb()
    try:
        platforms = {"headless": {}, "offscreen": {"QT_QPA_PLATFORM": "offscreen"}}
        if display:
            platforms["Xvfb"] = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display}
        wanted = args.platforms.split(",")
        platforms = {name: env for name, env in platforms.items() if name in wanted}
        offscreen = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        offscreen.pop("WAYLAND_DISPLAY", None)
        bare = os.path.join(args.build, "bench", "bare-timerfd")
        if args.counters_against:
            results = run_counters(program, os.path.join(args.counters_against, "stepper-dial"),
                                   bare, dict(os.environ), args.repeat)
            platforms = {}
            args.ramp_only = True  # nothing else
        elif args.ramp_only:
            results = run_ramp(program, bare, os.path.join(args.build, "bench", "ramp-plan"),
                               dict(os.environ), args.repeat)
            platforms = {}
        if not args.web_flood_only and not args.ramp_only:
            busy, busy_bare = run_busy_desktop(program, bare, offscreen, args.repeat)
            results["stepper-dial / busy desktop"] = busy
            results["bare timerfd loop (busy desktop)"] = busy_bare
        if args.web_flood_only:
            platforms = {"headless": {}}
        for pname, penv in ({} if args.busy_only else platforms).items():
            env = dict(os.environ)
            env.pop("WAYLAND_DISPLAY", None)
            env.update(penv)
            options = ["--headless"] if pname == "headless" else []
            # Program and bare loop take turns, so the host's own stalls fall on both alike.
            def beside_bare(run, name, beside):
                runs, bare_runs = [], []
                for _ in range(args.repeat):
                    runs.append(run())
                    bare_runs.append(run_bare(bare))
                results[name] = median_of(runs)
                results[f"bare timerfd loop (beside {beside})"] = median_of(bare_runs)

            if not args.web_flood_only:
                beside_bare(lambda: run_once(program, env, options), f"stepper-dial / {pname}",
                            pname)
            if pname == "headless" and not args.web_flood_only:
                # Homed at start on the simulated switch, a step lost in 40: the move read
                # the switch every tick and was set right at every pass.
                homed = options + ["--home-switch", "simulated:100", "--home",
                                   "--simulate-slip", "40"]
                beside_bare(lambda: run_once(program, env, homed),
                            "checked at a home switch / headless", "the checked move")
            if pname == "headless":
                beside_bare(lambda: run_web_flood(program, env),
                            "web port flooded (half-open requests, pings) / headless",
                            "the web flood")
                results["web held by 4 addresses / headless"] = median_of(
                    [run_web_fairness(program, env) for _ in range(min(args.repeat, 3))])
            if pname == "headless" and not args.web_flood_only:
                pages = os.path.join(args.build, "bench", "web-pages")
                beside_bare(lambda: run_web(program, env, pages),
                            "32 web pages, 100 changes/s / headless", "the pages")
                beside_bare(lambda: run_mqtt(program, env, restarts=False),
                            "MQTT 1000 commands/s / headless", "the flood")
                beside_bare(lambda: run_mqtt(program, env, restarts=True),
                            "MQTT broker restarted 4 times / headless", "the restarts")
            if not args.web_flood_only and (pname == "Xvfb" or len(platforms) == 1):
                results[f"random-byte flood / {pname}"] = median_of(
                    [run_flood(program, env) for _ in range(args.repeat)])
    finally:
        if xvfb:
            xvfb.terminate()

    rows = [
        ("step rate / 1000 per s", lambda r: f"{r['step_rate_ratio']:.4f}",
         ">= 0.995 (flood >= 0.98)"),
        ("steps on their planned tick (within 0.5 ms)", lambda r: f"{r['on_plan']:.4f}", ""),
        ("inter-step min ms", lambda r: f"{r['interval_ms']['min']:.3f}", ">= 0.9"),
        ("inter-step p50 ms", lambda r: f"{r['interval_ms']['p50']:.3f}", ""),
        ("inter-step p99 ms", lambda r: f"{r['interval_ms']['p99']:.3f}",
         "<= 1.2 (flood <= 1.5)"),
        ("inter-step max ms", lambda r: f"{r['interval_ms']['max']:.3f}", ""),
        ("command latency p50 ms", lambda r: f"{r['latency_ms']['p50']:.3f}", ""),
        ("command latency p99 ms", lambda r: f"{r['latency_ms']['p99']:.3f}", "<= 1.5"),
        ("stepping thread write calls / 1000 ticks", lambda r: f"{r['stepping_syscw_per_1000']:.1f}",
         "0 (one wake-up a move)"),
        ("CPU moving, % of a core", lambda r: f"{100 * r['cpu_moving']:.1f}", "<= 10"),
        ("CPU idle, % of a core", lambda r: f"{100 * r['cpu_idle']:.2f}", "<= 0.2"),
        ("peak resident MB", lambda r: f"{r['peak_rss_mb']:.1f}", "<= 60"),
        ("start-up to port 3000 ms", lambda r: f"{r['startup_ms']:.0f}", "<= 300"),
        ("64 KiB messages taken in 2.5 s", lambda r: f"{r['messages']:.0f}", ""),
        ("MQTT commands sent in 4 s", lambda r: f"{r['mqtt_commands']:.0f}", "4000"),
        ("half-open requests made in 4 s", lambda r: f"{r['half_open']:.0f}", ""),
        ("scrapes from a fifth address answered, % (45 in 10 s)",
         lambda r: f"{100 * r['scrapes_answered']:.0f}", ">= 95"),
        ("pages from other addresses opened, %", lambda r: f"{100 * r['pages_opened']:.0f}",
         "100"),
        ("pages one address opens of 32 asked", lambda r: f"{r['greedy_pages']:.0f}", "<= 4"),
        ("states sent to 32 pages in 4 s (open at the end)",
         lambda r: f"{r['page_states']:.0f} ({r['pages_open']:.0f})", "<= 3840 (32)"),
    ]
    def cell(fmt, result):
        try:
            return fmt(result)
        except KeyError:
            return "-"

    names = list(results)
    print("| figure | " + " | ".join(names) + " | target |")
    print("|---|" + "---|" * len(names) + "---|")
    for label, fmt, target in rows:
        print(f"| {label} | " + " | ".join(cell(fmt, results[n]) for n in names) + f" | {target} |")
    for name, result in results.items():
        threads = sorted(k for k in result if k.startswith("ms "))
        if threads:
            print(f"\n{name}, per thread over the move:")
            for key in threads:
                print(f"  {key}: {result[key]:.1f}")
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}"
    print(f"\nmachine: {machine}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine, "results": results}, f, indent=2)
        print(f"JSON: {args.json}")


if __name__ == "__main__":
    main()
