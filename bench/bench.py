#!/usr/bin/env python3
"""make bench: times downloads through the plug-in, at each width that runs
here, against curl, wget and bare Winsock loops, and writes results.md.

Run by bench/bench.sh, which builds the helper programs first and removes
the data directory afterwards:
    bench.py --build BUILD_ROOT --tools DIR --work DIR --out results.md [--long]
BUILD_ROOT holds the Windows trees win64 (always measured) and win32
(measured where this kernel runs 32-bit programs and KESTA_NO_WIN32 is not
set). One loopback nginx serves the static files; bench/slowserver.py serves
what nginx will not: answers after 50 ms, a body that drips under a huge
announcement, and (--long) a generated 3 GiB body.
"""

import argparse
import datetime
import json
import os
import platform
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness  # noqa: E402  (the loopback nginx and URL list writing)

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
BIG_BYTES = 64 * MIB
HUGE_BYTES = 256 * MIB
SMALL_BYTES = 4096
SMALL_COUNT = 1000
SLOW_BYTES = 16 * KIB     # bench/slowserver.py's SLOW_BYTES
SLOW_COUNT = 200
SLOW_DELAY = 0.05         # seconds the server waits before each answer
PARALLEL = 6              # downloads the listing keeps in flight
CHECK_PARALLEL = 200      # curl's width when checking the server's capacity
DRIP_ANNOUNCED = 1500000000  # bench/slowserver.py's DRIP_ANNOUNCED
GIANT_BYTES = 3 * GIB
RANDOM_CHUNK = 4 * MIB    # random bytes are written this much at a time

RUNS_BIG = 9     # rounds of the 64 MiB downloads (each client once per round)
RUNS_LIST = 7    # rounds of the 1,000-member listing
RUNS_SLOW = 5    # rounds of the 200-member listing behind a 50 ms server
RUNS_TINY = 5    # bench-get of a 4 KiB member: the working-set baseline
RUNS_DRIP = 5    # bench-get of the dripping member
RUNS_HUGE = 5    # bench-get of the 256 MiB member (32-bit)
RUNS_GIANT = 5   # each 3 GiB operation
FLOOR_RING = 64 * KIB  # the floor variant that keeps reusing one recv buffer
FLOOR_SLACK = MIB      # room for the response header in the floor's buffer
FLOOR_SMALL_READ = 64 * KIB  # the floor's read size of earlier results
FLOOR_READ = 4 * MIB   # the plug-in's largest recv (its largest block of the chain)

COMMAND_TIMEOUT = 300.0  # bound on any one command
# A section is measured again when other processes used more than this many
# cores on average while it ran (a concurrent build on a 2-core machine); at
# most SECTION_ATTEMPTS times, after a pause, keeping the quietest attempt.
DISTURBED_CORES = 0.5
SECTION_ATTEMPTS = 3
RETRY_PAUSE_SECONDS = 20.0
# Before measuring, wait (polling) for other processes to use less than
# QUIET_CORES over a QUIET_WINDOW; give up waiting after QUIET_WAIT_SECONDS.
QUIET_CORES = 0.2
QUIET_WINDOW = 10.0
QUIET_POLL_SECONDS = 30.0
QUIET_WAIT_SECONDS = 20 * 60.0

TARGET_SLOW_VS_PARALLEL = 1.5   # listing <= 1.5 x curl --parallel-max 6
TARGET_SLOW_SPEEDUP = 4.0       # listing >= 4 x faster than sequential curl -K
TARGET_LIST_VS_CURL = 2.0       # 1,000 x 4 KiB: per member <= 2 x curl --http1.0 -K
TARGET_WINE_VS_FLOOR = 1.25     # 64 MiB GetFile <= 1.25 x the Wine floor
TARGET_NATIVE_VS_CURL = 1.25    # kept from before: native HttpFetch vs curl
TARGET_MEMORY_BODIES = 2        # peak of an extraction: 2 x body + 16 MiB
TARGET_MEMORY_MARGIN = 16 * MIB
TARGET_DRIP_BYTES = 20 * MIB    # peak while 1.5 GB is announced and bytes drip
GIANT_TOO_BIG_CODE = 6          # a 32-bit GetFile of 3 GiB fails with 6
LAA_FLAG = 0x20  # IMAGE_FILE_LARGE_ADDRESS_AWARE in the file header


class BenchError(Exception):
    """A tool failed or returned the wrong bytes: the figures would be wrong."""


# ------------------------------------------------------------------ running

def run(cmd, env=None):
    """Runs cmd with output to temporary files (Wine's background processes
    must never hold a pipe of ours). Returns (wall seconds, stdout, stderr, rc)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                              timeout=COMMAND_TIMEOUT)
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        return (wall, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"), proc.returncode)


def peak_of(cmd, env=None):
    """run(cmd) under GNU time: (wall, stdout, stderr, rc, peak resident bytes
    of the command). A child forked from this script would report this
    script's own peak too (a forked process starts with its parent's high-water
    mark); time's child starts from time's."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        wall, out, err, rc = run(["/usr/bin/time", "-f", "%M", "-o", report.name] + cmd, env)
        text = report.read().strip().splitlines()
    return wall, out, err, rc, int(text[-1]) * KIB if text and text[-1].isdigit() else -1


def fields(text):
    """The "key: value" lines of a tool's output as a dict of strings."""
    found = {}
    for line in text.splitlines():
        key, sep, value = line.partition(":")
        if sep:
            found[key.strip()] = value.strip()
    return found


def must(ok, what, out="", err=""):
    if not ok:
        raise BenchError("%s\nstdout: %s\nstderr: %s" % (what, out[-2000:], err[-2000:]))


def wine_path(path):
    """An absolute Linux path as Wine's Z: drive names it."""
    return "Z:" + os.path.abspath(path)


def no_win32_reason(build):
    """Why the 32-bit tier is not measured here; None when it is."""
    probe = os.path.join(build, "bench", "runs-i386")
    proc = subprocess.run([sys.executable, "-B", os.path.join(REPO, "tools", "runs-i386.py"),
                           probe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, timeout=60)
    if proc.returncode == 0:
        return None
    return proc.stdout.decode("utf-8", "replace").strip() or "the i386 probe failed"


class Tier:
    """One Windows build tree: its plug-in, spihost, spibench and Wine."""

    def __init__(self, name, tree, tools_dir):
        self.name = name
        self.tree = tree
        self.bits = 64 if name == "win64" else 32
        self.plugin = "KESTA.SPH" if self.bits == 64 else "KESTA.SPI"
        self.prefix = os.path.join(tree, "wineprefix")
        self.wine_run = os.path.join(tree, "wine-run")
        self.spibench = os.path.join(tree, "spibench.exe")
        self.floor = os.path.join(tools_dir, "floor%d.exe" % self.bits)
        # The prefix's server is kept up for the whole run (start_wine), so
        # every launch skips the launcher's start-up step.
        self.env = dict(os.environ, KESTA_BUILD=tree, KESTA_WINE_WARM="1", LC_ALL="C.UTF-8")

    def start_wine(self):
        env = dict(os.environ, WINEPREFIX=self.prefix)
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        cold = dict(self.env)
        cold.pop("KESTA_WINE_WARM")
        _, out, err, rc = run([os.path.join(REPO, "spihost"), "info"], cold)
        must(rc == 0, "%s: spihost info failed" % self.name, out, err)

    def stop_wine(self):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=self.prefix),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def spihost(self, *args):
        return run([os.path.join(REPO, "spihost")] + [str(a) for a in args], self.env)

    def spihost_peak(self, *args):
        """spihost under GNU time: also the command's peak resident bytes."""
        return peak_of([os.path.join(REPO, "spihost")] + [str(a) for a in args], self.env)

    def bench_get(self, list_path, *options):
        """One GetFile under Wine through spibench: its fields (seconds,
        bytes, crc32, peak_working_set_bytes...) as a dict, with "rc" and
        "stderr"."""
        _, out, err, rc = run([self.wine_run, self.spibench, "bench-get",
                                  wine_path(list_path), "0"] + list(options), self.env)
        got = fields(out)
        got["rc"] = rc
        got["stderr"] = err
        return got

    def bench_get_ok(self, list_path, expected, *options):
        got = self.bench_get(list_path, *options)
        must(got["rc"] == 0 and ("--to" in options or int(got.get("bytes", -1)) == expected),
             "%s: bench-get of %s failed or gave other than %d bytes" % (
                 self.name, list_path, expected), json.dumps(got), got["stderr"])
        return got

    def floor_get(self, port, path, capacity, expected, fresh=False, read=FLOOR_SMALL_READ):
        cmd = [self.wine_run, self.floor, harness.LOOPBACK, str(port), path, str(capacity),
               "fresh" if fresh else "touched", str(read)]
        _, out, err, rc = run(cmd, self.env)
        got = fields(out)
        must(rc == 0 and int(got.get("bytes", "0")) > expected,
             "%s: floor %s (capacity %d) failed" % (self.name, path, capacity), out, err)
        return float(got["seconds"])


class Clients:
    """The Linux clients and the native fetch."""

    def __init__(self, tools_dir):
        self.fetch_bench = os.path.join(tools_dir, "fetch_bench")
        self.native_floor = os.path.join(tools_dir, "native_floor")

    def native_floor_get(self, port, path, capacity, expected):
        _, out, err, rc = run([self.native_floor, harness.LOOPBACK, str(port), path,
                                  str(capacity), str(FLOOR_READ)])
        got = fields(out)
        must(rc == 0 and int(got.get("bytes", "0")) > expected,
             "native_floor %s failed" % path, out, err)
        return float(got["seconds"])

    def native_get(self, url, expected):
        _, out, err, rc = run([self.fetch_bench, url])
        got = fields(out)
        must(rc == 0 and int(got.get("bytes", "-1")) == expected,
             "fetch_bench %s failed" % url, out, err)
        return float(got["seconds"])

    @staticmethod
    def timed(cmd, what):
        wall, out, err, rc = run(cmd)
        must(rc == 0, "%s failed" % what, out, err)
        return wall


# --------------------------------------------------------------- the data

def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, RANDOM_CHUNK)
            f.write(os.urandom(n))
            left -= n


class Data:
    """The served files, the URL lists and the client configs, under `work`."""

    def __init__(self, work):
        self.work = os.path.abspath(work)
        self.root = os.path.join(self.work, "www")
        self.out = os.path.join(self.work, "out")  # file output of the 3 GiB member
        os.makedirs(os.path.join(self.root, "m"), exist_ok=True)
        os.makedirs(self.out, exist_ok=True)
        write_random(os.path.join(self.root, "big64.bin"), BIG_BYTES)
        write_random(os.path.join(self.root, "big256.bin"), HUGE_BYTES)
        self.small = ["m/%04d.bin" % i for i in range(SMALL_COUNT)]
        for name in self.small:
            write_random(os.path.join(self.root, name), SMALL_BYTES)

    def path(self, name):
        return os.path.join(self.work, name)

    def write_nginx_lists(self, web):
        harness.write_list(self.path("big64.ykt"), [web.url("big64.bin")])
        harness.write_list(self.path("big256.ykt"), [web.url("big256.bin")])
        harness.write_list(self.path("tiny.ykt"), [web.url(self.small[0])])
        harness.write_list(self.path("list1000.ykt"), [web.url(n) for n in self.small])
        write_curl_config(self.path("curl1000.cfg"), [web.url(n) for n in self.small])

    def write_slow_lists(self, slow):
        urls = [slow.url("slow/%03d.bin" % i) for i in range(SLOW_COUNT)]
        harness.write_list(self.path("slow200.ykt"), urls)
        write_curl_config(self.path("slow200.cfg"), urls)
        with open(self.path("slow200.txt"), "w") as f:
            f.write("".join(u + "\n" for u in urls))
        harness.write_list(self.path("drip.ykt"), [slow.url("drip")])
        harness.write_list(self.path("giant.ykt"), [slow.url("huge/%d" % GIANT_BYTES)])


def write_curl_config(path, urls):
    with open(path, "w") as f:
        for url in urls:
            f.write('url = "%s"\noutput = "/dev/null"\n' % url)


class SlowServer:
    """bench/slowserver.py in a process of its own while the context lasts."""

    START_SECONDS = 10.0

    def __init__(self, workdir):
        self.port_file = os.path.join(workdir, "slowserver.port")
        self.proc = None
        self.port = None

    def __enter__(self):
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        self.proc = subprocess.Popen([sys.executable, "-B", os.path.join(HERE, "slowserver.py"),
                                      self.port_file, str(SLOW_DELAY)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + self.START_SECONDS
        while time.monotonic() < deadline and self.proc.poll() is None:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    self.port = int(f.read())
                if harness.wait_accepting(self.port, self.START_SECONDS, self.proc):
                    return self
            time.sleep(0.05)
        self.stop()
        raise BenchError("bench/slowserver.py did not start")

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None

    def url(self, name):
        return "http://%s:%d/%s" % (harness.LOOPBACK, self.port, name)

    def stats(self, reset=False):
        with urllib.request.urlopen(self.url("stats/reset" if reset else "stats"),
                                    timeout=30) as r:
            return json.loads(r.read().decode())


# ------------------------------------------------- load and disturbance

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    """(CPU seconds the machine's processes have been busy since boot, of
    which user time of lowered-priority processes; CPU seconds the hypervisor
    took from this virtual machine, steal)."""
    with open("/proc/stat") as f:
        parts = f.readline().split()
    # user nice system idle iowait irq softirq steal
    ticks = [int(x) for x in parts[1:9]]
    return ((sum(ticks) - ticks[3] - ticks[4] - ticks[7]) / CLOCK_TICKS,
            ticks[1] / CLOCK_TICKS, ticks[7] / CLOCK_TICKS)


def process_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return 0.0
    rest = text[text.rindex(")") + 2:].split()
    return (int(rest[11]) + int(rest[12])) / CLOCK_TICKS  # utime, stime


def wineserver_pids(prefixes):
    """The wineservers of our prefixes: each works in a directory named after
    its prefix's device and inode."""
    wanted = set()
    for prefix in prefixes:
        try:
            st = os.stat(prefix)
        except OSError:
            continue
        wanted.add("server-%x-%x" % (st.st_dev, st.st_ino))
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if not f.read().startswith("wineserver"):
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) in wanted:
                pids.append(int(entry))
        except OSError:
            continue
    return pids


class CpuMeter:
    """CPU used by other processes while a section runs: the machine's busy
    time less ours (this script, its children, the servers, our wineservers)."""

    def __init__(self, server_pids, prefixes):
        self.server_pids = list(server_pids)
        self.prefixes = prefixes

    def snapshot(self):
        own = 0.0
        for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
            usage = resource.getrusage(who)
            own += usage.ru_utime + usage.ru_stime
        servers = {pid: process_seconds(pid) for pid in wineserver_pids(self.prefixes)}
        servers.update({pid: process_seconds(pid) for pid in self.server_pids})
        busy, niced, steal = busy_seconds()
        return {"time": time.monotonic(), "busy": busy, "niced": niced, "steal": steal,
                "own": own,
                "servers": servers, "load": os.getloadavg()[0]}

    @staticmethod
    def others_cores(a, b):
        """(cores used by others on average, of which niced user time, cores
        stolen by the hypervisor): a niced process (a fuzzer, say) yields the
        CPU to ours almost at once; steal is time this machine wanted to run
        and could not."""
        ours = b["own"] - a["own"]
        ours += sum(t - a["servers"].get(pid, 0.0) for pid, t in b["servers"].items())
        wall = max(b["time"] - a["time"], 1e-6)
        others = max(0.0, (b["busy"] - a["busy"] - ours) / wall)
        niced = min(others, (b["niced"] - a["niced"]) / wall)
        return others, niced, (b["steal"] - a["steal"]) / wall


def busiest_processes(count=3):
    """The processes with the most CPU time over the last second, as text."""
    def sample():
        times = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                times[int(entry)] = process_seconds(int(entry))
        return times
    a = sample()
    time.sleep(1.0)
    b = sample()
    deltas = sorted(((b[p] - a.get(p, 0.0), p) for p in b), reverse=True)[:count]
    names = []
    for used, pid in deltas:
        if used <= 0.0:
            continue
        try:
            with open("/proc/%d/comm" % pid) as f:
                names.append("%s %.0f%%" % (f.read().strip(), used * 100))
        except OSError:
            continue
    return ", ".join(names) or "none"


def wait_for_quiet(max_wait, log):
    """Waits, polling, until other processes use less than QUIET_CORES over a
    QUIET_WINDOW, at most max_wait seconds. Returns a dict for the report."""
    meter = CpuMeter([], [])
    started = time.monotonic()
    checks = 0
    while True:
        before = meter.snapshot()
        time.sleep(QUIET_WINDOW)
        after = meter.snapshot()
        others, _, steal = CpuMeter.others_cores(before, after)
        others += steal
        checks += 1
        waited = time.monotonic() - started
        quiet = others < QUIET_CORES
        log("bench: other processes used %.2f cores over %.0f s (load %.2f)%s" % (
            others, QUIET_WINDOW, after["load"], "" if quiet else
            "; busiest: " + busiest_processes()))
        if quiet or waited >= max_wait:
            return {"quiet": quiet, "others": others, "waited": waited, "checks": checks,
                    "load": after["load"]}
        time.sleep(min(QUIET_POLL_SECONDS, max(0.0, max_wait - waited)))


def measure_section(name, meter, body, log):
    """Runs body() up to SECTION_ATTEMPTS times while others disturb it;
    returns the quietest attempt's result and records the section in `log`."""
    best = None
    for attempt in range(1, SECTION_ATTEMPTS + 1):
        before = meter.snapshot()
        result = body()
        after = meter.snapshot()
        others, niced, steal = CpuMeter.others_cores(before, after)
        entry = {"name": name, "attempt": attempt,
                 "seconds": after["time"] - before["time"],
                 "others": others - niced, "niced": niced, "steal": steal,
                 "load_before": before["load"], "load_after": after["load"]}
        entry["disturbance"] = entry["others"] + steal
        print("  %s attempt %d: %.1f s, other processes %.2f cores (+ %.2f niced), stolen "
              "%.2f, load %.2f -> %.2f" % (name, attempt, entry["seconds"], entry["others"],
                                           entry["niced"], steal, entry["load_before"],
                                           entry["load_after"]), flush=True)
        if best is None or entry["disturbance"] < best[1]["disturbance"]:
            best = (result, entry)
        if entry["disturbance"] <= DISTURBED_CORES or attempt == SECTION_ATTEMPTS:
            break
        time.sleep(RETRY_PAUSE_SECONDS)
    best[1]["attempts"] = attempt
    log.append(best[1])
    return best[0]


# ---------------------------------------------------------- the sections

def listing_sizes(out):
    """The size column of a listing ("position size utc name" rows after a
    '#' header line)."""
    sizes = []
    for line in out.splitlines():
        parts = line.rstrip("\r").split(" ", 3)
        if line.startswith("#") or len(parts) != 4:
            continue
        sizes.append(int(parts[1]))
    return sizes


def check_listing(out, count, size):
    sizes = listing_sizes(out)
    return len(sizes) == count and set(sizes) == {size}


def timed_listing(tier, list_path, count, size):
    wall, out, err, rc = tier.spihost("list", wine_path(list_path))
    must(rc == 0 and check_listing(out, count, size),
         "%s: spihost list of %s failed" % (tier.name, list_path), out, err)
    return wall


def section_slow(tiers, clients, data, slow):
    """200 members of 16 KiB behind a server that waits 50 ms before each
    answer: the listing at each width, curl with 6 transfers in flight, curl
    and wget one at a time; and curl with 200 in flight, which shows what the
    server itself can do."""
    times = {t.name: [] for t in tiers}
    flight = {t.name: [] for t in tiers}
    for key in ("parallel", "sequential", "wget", "check"):
        times[key] = []
    server_cpu = process_seconds(slow.proc.pid)
    started = time.monotonic()
    cfg, txt = data.path("slow200.cfg"), data.path("slow200.txt")
    for _ in range(RUNS_SLOW):
        for tier in tiers:
            slow.stats(reset=True)
            wall = timed_listing(tier, data.path("slow200.ykt"), SLOW_COUNT, SLOW_BYTES)
            times[tier.name].append(wall)
            flight[tier.name].append(slow.stats()["max_in_flight"])
        times["parallel"].append(clients.timed(
            ["curl", "--http1.0", "-s", "--parallel", "--parallel-max", str(PARALLEL),
             "-K", cfg], "curl --parallel -K"))
        times["sequential"].append(clients.timed(["curl", "--http1.0", "-s", "-K", cfg],
                                                 "curl -K"))
        times["wget"].append(clients.timed(["wget", "-q", "-O", "/dev/null", "-i", txt],
                                           "wget -i"))
        times["check"].append(clients.timed(
            ["curl", "--http1.0", "-s", "--parallel", "--parallel-max", str(CHECK_PARALLEL),
             "-K", cfg], "curl --parallel-max 200 -K"))
    wall = time.monotonic() - started
    times["flight"] = flight
    times["server_cores"] = (process_seconds(slow.proc.pid) - server_cpu) / wall
    return times


def section_big(tiers, clients, data, web):
    """The 64 MiB member by every client, one of each per round, so that a
    disturbance spreads over all of them alike."""
    url = web.url("big64.bin")
    list_path = data.path("big64.ykt")
    times = {"curl": [], "native": [], "native_floor": []}
    for t in tiers:
        times[t.name] = {k: [] for k in ("get", "get_ws", "watched", "copy", "watched_ws",
                                         "floor", "fresh", "floor_big", "fresh_big", "ring")}
    capacity = BIG_BYTES + FLOOR_SLACK
    for _ in range(RUNS_BIG):
        times["curl"].append(clients.timed(["curl", "-s", "-o", "/dev/null", url], "curl"))
        times["native"].append(clients.native_get(url, BIG_BYTES))
        times["native_floor"].append(clients.native_floor_get(web.port, "/big64.bin", capacity,
                                                              BIG_BYTES))
        for tier in tiers:
            x = times[tier.name]
            got = tier.bench_get_ok(list_path, BIG_BYTES)
            x["get"].append(float(got["seconds"]))
            x["get_ws"].append(int(got["peak_working_set_bytes"]))
            got = tier.bench_get_ok(list_path, BIG_BYTES, "--progress")
            x["watched"].append(float(got["seconds"]))
            x["copy"].append(float(got["seconds_after_last_progress"]))
            x["watched_ws"].append(int(got["peak_working_set_bytes"]))
            for key, fresh, read in (("floor", False, FLOOR_SMALL_READ),
                                     ("fresh", True, FLOOR_SMALL_READ),
                                     ("floor_big", False, FLOOR_READ),
                                     ("fresh_big", True, FLOOR_READ)):
                x[key].append(tier.floor_get(web.port, "/big64.bin", capacity, BIG_BYTES,
                                             fresh=fresh, read=read))
            x["ring"].append(tier.floor_get(web.port, "/big64.bin", FLOOR_RING, BIG_BYTES))
    return times


def section_list(tiers, clients, data):
    times = {"curl": []}
    for t in tiers:
        times[t.name] = []
        times[t.name + " one"] = []
    for _ in range(RUNS_LIST):
        times["curl"].append(clients.timed(
            ["curl", "--http1.0", "-s", "-K", data.path("curl1000.cfg")], "curl -K"))
        for tier in tiers:
            wall = timed_listing(tier, data.path("list1000.ykt"), SMALL_COUNT, SMALL_BYTES)
            times[tier.name].append(wall)
            wall = timed_listing(tier, data.path("tiny.ykt"), 1, SMALL_BYTES)
            times[tier.name + " one"].append(wall)
    return times


def section_memory(tiers, data):
    """Per width: the working set of a 4 KiB extraction (the host under
    Wine), of the member that drips under a 1.5 GB announcement, and (32-bit)
    of a 256 MiB member in a host without the large-address-aware flag."""
    result = {}
    for tier in tiers:
        x = {"tiny": [], "drip": [], "drip_bytes": [], "huge": []}
        for _ in range(RUNS_TINY):
            got = tier.bench_get_ok(data.path("tiny.ykt"), SMALL_BYTES)
            x["tiny"].append(int(got["peak_working_set_bytes"]))
        for _ in range(RUNS_DRIP):
            got = tier.bench_get(data.path("drip.ykt"), "--progress")
            must(got["rc"] == 0 and 0 < int(got.get("bytes", 0)) < DRIP_ANNOUNCED,
                 "%s: bench-get of the dripping member failed" % tier.name,
                 json.dumps(got), got["stderr"])
            x["drip"].append(int(got["peak_working_set_bytes"]))
            x["drip_bytes"].append(int(got["bytes"]))
        if tier.bits == 32:
            for _ in range(RUNS_HUGE):
                got = tier.bench_get(data.path("big256.ykt"))
                ok = got["rc"] == 0 and int(got.get("bytes", -1)) == HUGE_BYTES
                x["huge"].append({"seconds": float(got["seconds"]),
                                  "peak_ws": int(got["peak_working_set_bytes"])}
                                 if ok else None)
        result[tier.name] = x
    return result


def file_crc32(path):
    crc = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(16 * MIB)
            if not block:
                return "%08x" % crc
            crc = zlib.crc32(block, crc)


def last_giant(slow):
    """The server's record of its last 3 GiB transfer."""
    records = slow.stats()["huge"]
    must(len(records) > 0, "the server has no record of the 3 GiB transfer")
    return records[-1]


def note_failure(x, got):
    """Keeps the code and the time of a GetFile that failed as it should (32-bit)."""
    code = re.search(r"GetFile returned (-?\d+)", got["stderr"])
    x["codes"].append(int(code.group(1)) if code else None)
    x["fail_seconds"].append(float(got["seconds"]))


def section_giant(tiers, data, slow):
    """The generated 3 GiB member: listed, extracted to memory and to a file
    at each width; every byte checked against the CRC-32 the server computed
    while sending."""
    result = {}
    list_path = data.path("giant.ykt")
    member = os.path.join(data.out, str(GIANT_BYTES))  # named after its last segment
    for tier in tiers:
        x = {k: [] for k in ("list", "list_rss", "memory", "memory_copy", "memory_ws",
                             "file", "file_after", "file_ws", "codes", "fail_seconds",
                             "dd", "write", "verified")}
        for _ in range(RUNS_GIANT):
            wall, out, err, rc, peak = tier.spihost_peak("list", wine_path(list_path))
            must(rc == 0 and check_listing(out, 1, GIANT_BYTES) and peak > 0,
                 "%s: spihost list of the 3 GiB member failed" % tier.name, out, err)
            x["list"].append(wall)
            x["list_rss"].append(peak)
        for _ in range(RUNS_GIANT):
            slow.stats(reset=True)
            got = tier.bench_get(list_path, "--progress", "--crc32")
            sent = last_giant(slow)
            if tier.bits == 64:
                must(got["rc"] == 0 and int(got.get("bytes", -1)) == GIANT_BYTES and
                     sent["complete"] and got.get("crc32") == sent["crc32"],
                     "win64: 3 GiB to memory failed or differs from what was sent",
                     json.dumps(got) + json.dumps(sent), got["stderr"])
                x["memory"].append(float(got["seconds"]))
                x["memory_copy"].append(float(got["seconds_after_last_progress"]))
                x["verified"].append("memory")
            else:
                note_failure(x, got)
            x["memory_ws"].append(int(got["peak_working_set_bytes"]))
        for _ in range(RUNS_GIANT):
            sync()  # every write starts with no dirty pages of an earlier one
            slow.stats(reset=True)
            got = tier.bench_get(list_path, "--progress", "--to", wine_path(data.out))
            sent = last_giant(slow)
            if tier.bits == 64:
                must(got["rc"] == 0 and os.path.getsize(member) == GIANT_BYTES and
                     sent["complete"], "win64: 3 GiB to a file failed",
                     json.dumps(got) + json.dumps(sent), got["stderr"])
                must(file_crc32(member) == sent["crc32"],
                     "win64: the 3 GiB file differs from what was sent", json.dumps(sent))
                x["file"].append(float(got["seconds"]))
                x["file_after"].append(float(got["seconds_after_last_progress"]))
                x["verified"].append("file")
            else:
                note_failure(x, got)
                must(os.listdir(data.out) == [], "win32: a failed extraction left a file",
                     " ".join(os.listdir(data.out)))
            x["file_ws"].append(int(got["peak_working_set_bytes"]))
            if os.path.exists(member):
                os.unlink(member)
            if tier.bits == 64:
                x["dd"].append(disk_floor(data.out))
                x["write"].append(write_floor(data.out))
        result[tier.name] = x
    return result


def sync():
    subprocess.run(["sync"], stdin=subprocess.DEVNULL, timeout=COMMAND_TIMEOUT)


def disk_floor(directory):
    """Seconds for dd to write GIANT_BYTES into `directory` (no sync, as
    GetFile's write has none), reusing one 16 MiB buffer."""
    path = os.path.join(directory, "dd.bin")
    sync()
    try:
        wall, out, err, rc = run(["dd", "if=/dev/zero", "of=" + path, "bs=16M",
                                     "count=%d" % (GIANT_BYTES // (16 * MIB))])
        must(rc == 0, "dd of 3 GiB failed", out, err)
        return wall
    finally:
        if os.path.exists(path):
            os.unlink(path)


WRITE_PIECE = 1 << 30  # the plug-in's WriteFile pieces


def write_floor(directory):
    """Seconds for write() to put a GIANT_BYTES buffer that is already in
    memory into a new file in `directory`, 1 GiB a call: the floor of the
    file write of an extraction, which writes a body held in memory."""
    path = os.path.join(directory, "write.bin")
    body = bytearray(b"\x01") * GIANT_BYTES  # every page touched before the clock
    view = memoryview(body)
    sync()
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            start = time.perf_counter()
            at = 0
            while at < GIANT_BYTES:
                at += os.write(fd, view[at:at + WRITE_PIECE])
            return time.perf_counter() - start
        finally:
            os.close(fd)
    finally:
        view.release()
        del body
        if os.path.exists(path):
            os.unlink(path)


def laa_flag(exe):
    """(Characteristics value, whether the large-address-aware bit is set)."""
    _, out, err, rc = run(["i686-w64-mingw32-objdump", "-p", exe])
    must(rc == 0, "objdump -p %s failed" % exe, out, err)
    m = re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", out, re.M)
    must(m is not None, "no Characteristics line for %s" % exe, out)
    value = int(m.group(1), 16)
    return value, bool(value & LAA_FLAG)


# ------------------------------------------------------------ the report

def one_line(cmd):
    try:
        _, out, err, _ = run(cmd)
    except (OSError, subprocess.SubprocessError):
        return "?"
    text = (out or err).strip().splitlines()
    return text[0] if text else "?"


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                memory = "%.1f GiB" % (int(line.split()[1]) / (1024 * 1024))
    system = "?"
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    system = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return [("CPU", model), ("cores", str(os.cpu_count())), ("memory", memory),
            ("system", system), ("kernel", platform.release()),
            ("wine", one_line(["/usr/lib/wine/wine64", "--version"])),
            ("curl", one_line(["curl", "--version"])),
            ("wget", one_line(["wget", "--version"])),
            ("nginx", one_line(["nginx", "-v"])),
            ("python", one_line([sys.executable, "--version"])),
            ("clang", one_line(["clang++", "--version"])),
            ("mingw", one_line(["i686-w64-mingw32-g++-posix", "--version"]) + "; " +
             one_line(["x86_64-w64-mingw32-g++-posix", "--version"]))]


def med(xs):
    return statistics.median(xs)


def span(xs, scale=1.0, fmt="%.3f"):
    return (fmt + " - " + fmt) % (min(xs) * scale, max(xs) * scale)


def mib(xs):
    return "%.1f" % (med(xs) / MIB), span(xs, 1.0 / MIB, "%.1f")


def verdict(ok):
    return "PASS" if ok else "MISS"


# A build of the plug-in that receives the body straight into a block of the
# announced length (4 MiB per recv) instead of a chain and a copy, measured
# outside make bench (product code is not the bench's to change): medians of
# 21 rounds against the fresh-block floor with 4 MiB reads, on this machine.
PROTOTYPE_RUN = "2026-12-08, 21 rounds, quiet machine"
PROTOTYPE = {  # width: (GetFile, prototype, GetFile watched, prototype watched) / floor
    "win64": (1.44, 0.94, 1.68, 1.24),
    "win32": (1.38, 0.88, 1.68, 1.19),
}


def bound_lines(key, tiers, big, listing):
    """What bounds a missed target and what was tried, from this run's
    figures; [] when there is nothing to say."""
    L = []
    if key == "floor":
        L.append("`GetFile` receives the body into a chain of new blocks (64 KiB doubling to "
                 "4 MiB, so it asks each recv for up to %d MiB like the floor, and pays the "
                 "first touch of every page like the fresh floor) and, once the server has "
                 "closed, copies it "
                 "into a new block of its exact length for the host: a second first touch "
                 "of 64 MiB plus the copy. Timed from the last progress call to the "
                 "return:" % (FLOOR_READ // MIB))
        L.append("")
        for t in tiers:
            x = big[t.name]
            rest = med(x["watched"]) - med(x["copy"])
            L.append("- %s: the copy takes %.0f ms of the watched `GetFile`'s %.0f ms (%.0f %%); "
                     "without it the watched `GetFile` would be %.2f x the fresh floor, and "
                     "the unwatched one about %.2f x. The first touch of 64 MiB alone "
                     "(fresh less touched floor) is %.0f ms here." % (
                         t.name, 1000 * med(x["copy"]), 1000 * med(x["watched"]),
                         100 * med(x["copy"]) / med(x["watched"]),
                         rest / med(x["fresh_big"]),
                         (med(x["get"]) - med(x["copy"])) / med(x["fresh_big"]),
                         1000 * (med(x["fresh_big"]) - med(x["floor_big"]))))
        L.append("")
        L.append("The copy is what keeps a lying `Content-Length:` from sizing memory (the "
                 "chain holds only bytes received). Tried, outside this run (%s), not "
                 "committed: a build of the plug-in that receives straight into a block of "
                 "the announced length, 4 MiB per recv. Against the fresh floor:" % PROTOTYPE_RUN)
        L.append("")
        L.append("| width | `GetFile` | prototype | `GetFile`, watched | prototype, watched |")
        L.append("|---|---|---|---|---|")
        for t in tiers:
            p = PROTOTYPE.get(t.name)
            if p:
                L.append("| %s | %.2f x | %.2f x | %.2f x | %.2f x |" % ((t.name,) + p))
        L.append("")
        L.append("So the copy alone bounds the target. A fix that keeps the rule: allocate "
                 "the host's block at the announced length only once the bytes received "
                 "confirm it (say half of it has arrived), copy that half once and receive "
                 "the rest straight into the block; bytes past the announcement go on into "
                 "the chain (the copy as today), a shorter body shrinks the block in place. "
                 "Memory stays bounded by the bytes received, and half the copy goes. "
                 "Recv asks should stay at 4 MiB: the fresh floor asking for its whole "
                 "65 MiB block at every recv measured 1.17-1.29 x slower than with 4 MiB "
                 "asks (same separate runs), and so did the prototype until its asks were "
                 "cut to 4 MiB.")
        L.append("")
        L.append("A progress callback adds a `select` before every `recv` (ReceiveAll's "
                 "WaitFor), a wineserver round trip each: the watched `GetFile` is slower "
                 "than the unwatched one by the difference of the two rows. Receiving on a "
                 "non-blocking socket and waiting in `select` only when `recv` reports "
                 "WSAEWOULDBLOCK would keep the silence reports and drop the extra calls "
                 "while bytes keep coming.")
    elif key == "native":
        L.append("curl `-o /dev/null` keeps no body: it reuses one small buffer. `HttpFetch` "
                 "keeps the body, in a chain of new blocks and then a copy into one block of "
                 "its exact length, and pays the first touch of both. The fair native floor "
                 "(a recv loop into a fresh malloc'd block, %d MiB reads) took %.3f s; "
                 "`HttpFetch` / that floor = %.2f. The rest is the same copy as `GetFile`'s "
                 "(above)." % (FLOOR_READ // MIB, med(big["native_floor"]),
                                   med(big["native"]) / med(big["native_floor"])))
    elif key == "list1000":
        L.append("The listing makes the fewest socket calls a member's request allows: "
                 "`socket`, `connect`, one `send`, `recv` until the server closes, `shutdown` "
                 "and `closesocket`, with no copy of the body (the length-only fetch), six "
                 "members at a time. Under Wine each of those calls is one or more requests "
                 "to the wineserver process, which serves the requests of all threads of all "
                 "Wine processes one at a time, so on loopback, where nginx answers in "
                 "microseconds, six threads gain little over one. curl makes the same calls "
                 "straight to the kernel.")
        for t in tiers:
            xs = listing[t.name]
            one = listing[t.name + " one"]
            steady = (med(xs) - med(one)) / (SMALL_COUNT - 1)
            L.append("- %s: Wine and the host start in %.3f s; after that a member costs "
                     "%.3f ms, %.2f x curl's per-URL figure." % (
                         t.name, med(one), steady * 1000,
                         steady / (med(listing["curl"]) / SMALL_COUNT)))
    return L


def tier_label(tier):
    return "%s (`%s`)" % (tier.name, tier.plugin)


def report(info, tiers, skipped, quiet, slow, big, listing, memory, giant, laa, log):
    """The text of results.md."""
    L = []
    add = L.append
    targets = []  # (key, text, measured, limit, ok)
    add("# Benchmark results")
    add("")
    add("Written by `make bench%s` (bench/bench.sh and bench/bench.py) on %s, in one run. One "
        "nginx on 127.0.0.1 served the static files; `bench/slowserver.py` (a threaded Python "
        "server on 127.0.0.1) served the members that wait %d ms, drip or are generated. "
        "Every figure is a median of the runs shown, with the fastest and slowest run beside "
        "it; ratios are ratios of medians." % (
            "-long" if giant is not None else "", info["date"], SLOW_DELAY * 1000))
    add("")
    add("Widths measured: %s.%s" % (", ".join(tier_label(t) for t in tiers),
                                    (" Not measured: win32 (`KESTA.SPI`), because %s." % skipped)
                                    if skipped else ""))
    add("")
    add("## Machine")
    add("")
    add("| | |")
    add("|---|---|")
    for key, value in info["machine"]:
        add("| %s | %s |" % (key, value.replace("|", "/")))
    add("")
    if quiet["quiet"]:
        add("The machine was quiet when the run started: other processes used %.2f cores "
            "(of %d) over %.0f s, load average %.2f, after %.0f s of waiting. The load during "
            "each section is at the end." % (quiet["others"], os.cpu_count(), QUIET_WINDOW,
                                              quiet["load"], quiet["waited"]))
    else:
        add("**The machine was not quiet** when the run started: after waiting %.0f s other "
            "processes still used %.2f cores (of %d), load average %.2f. The load during "
            "each section is at the end." % (quiet["waited"], quiet["others"], os.cpu_count(),
                                             quiet["load"]))
    add("")

    # ---------------------------------------------------------- 1. slow
    add("## 1. %d members of %d KiB behind a server that waits %d ms before each answer" % (
        SLOW_COUNT, SLOW_BYTES // KIB, SLOW_DELAY * 1000))
    add("")
    add("Wall time of each whole command (for `spihost` Wine's start included), %d runs "
        "each." % RUNS_SLOW)
    add("")
    add("| command | median s | min - max s | per member ms | / curl --parallel-max %d | "
        "speed-up over curl -K |" % PARALLEL)
    add("|---|---|---|---|---|---|")
    par = med(slow["parallel"])
    seq = med(slow["sequential"])
    rows = [("`spihost list LIST`, %s" % tier_label(t), slow[t.name]) for t in tiers]
    rows += [("`curl --http1.0 --parallel --parallel-max %d -K CFG`" % PARALLEL,
              slow["parallel"]),
             ("`curl --http1.0 -K CFG` (one at a time)", slow["sequential"]),
             ("`wget -q -O /dev/null -i URLS` (one at a time)", slow["wget"]),
             ("server check: `curl --http1.0 --parallel --parallel-max %d -K CFG`"
              % CHECK_PARALLEL, slow["check"])]
    for label, xs in rows:
        add("| %s | %.3f | %s | %.2f | %.2f | %.1f |" % (
            label, med(xs), span(xs), med(xs) / SLOW_COUNT * 1000, med(xs) / par,
            seq / med(xs)))
    add("")
    ideal = -(-SLOW_COUNT // PARALLEL) * SLOW_DELAY
    add("The least any client can take with %d requests in flight is %d rounds of %d ms = "
        "%.2f s. The plug-in's listing had at most %s connections in flight at once (the "
        "server's count, each run). The server is not the bound: it answered all %d requests "
        "with up to %d in flight in %.3f s (median), and used %.2f of a core on average "
        "over the section." % (
            PARALLEL, -(-SLOW_COUNT // PARALLEL), SLOW_DELAY * 1000, ideal,
            " / ".join("%s %s" % (t.name, ",".join(str(n) for n in slow["flight"][t.name]))
                       for t in tiers),
            SLOW_COUNT, CHECK_PARALLEL, med(slow["check"]), slow["server_cores"]))
    add("")
    for t in tiers:
        r = med(slow[t.name]) / par
        s = seq / med(slow[t.name])
        targets.append(("slow_par", "%s: 200-member listing <= %.1f x curl --parallel-max %d"
                        % (t.name, TARGET_SLOW_VS_PARALLEL, PARALLEL), "%.2f x" % r,
                        "%.2f x" % TARGET_SLOW_VS_PARALLEL, r <= TARGET_SLOW_VS_PARALLEL))
        targets.append(("slow_seq", "%s: 200-member listing >= %.0f x faster than curl -K"
                        % (t.name, TARGET_SLOW_SPEEDUP), "%.1f x" % s,
                        "%.1f x" % TARGET_SLOW_SPEEDUP, s >= TARGET_SLOW_SPEEDUP))

    # ----------------------------------------------------------- 2. big
    add("## 2. One 64 MiB member (random bytes, nginx)")
    add("")
    add("`GetFile` is timed inside `spibench.exe` from the call to its return (memory "
        "output); the Wine floors inside `floor32.exe`/`floor64.exe` from `WSAStartup` to "
        "`closesocket`; the native fetch and floor in-process; curl as the whole command. "
        "A floor is a bare receive loop that sends the plug-in's request and receives until "
        "the server closes, into a block of 65 MiB: *touched* when the block was written "
        "before the clock starts, *fresh* when it is new and untouched (as a block handed to "
        "a host is), with reads of %d KiB (the read size of earlier results) or %d MiB (the "
        "plug-in's largest recv). %d runs each, one of each per round." % (
            FLOOR_SMALL_READ // KIB, FLOOR_READ // MIB, RUNS_BIG))
    add("")
    add("| client | median s | min - max s | MiB/s |")
    add("|---|---|---|---|")
    rows = [("`curl -s -o /dev/null URL` (whole command)", big["curl"]),
            ("native `HttpFetch`, body kept (clang -O2, in-process)", big["native"]),
            ("native floor: recv loop into a fresh malloc'd block, %d MiB reads"
             % (FLOOR_READ // MIB), big["native_floor"])]
    for t in tiers:
        x = big[t.name]
        rows += [("%s `GetFile`, no progress callback" % tier_label(t), x["get"]),
                 ("%s `GetFile` with a progress callback" % tier_label(t), x["watched"]),
                 ("%s: of which after the last progress call (the copy into the host's "
                  "block)" % t.name, x["copy"]),
                 ("%s floor, fresh block, %d MiB reads" % (t.name, FLOOR_READ // MIB),
                  x["fresh_big"]),
                 ("%s floor, touched block, %d MiB reads" % (t.name, FLOOR_READ // MIB),
                  x["floor_big"]),
                 ("%s floor, fresh block, %d KiB reads" % (t.name, FLOOR_SMALL_READ // KIB),
                  x["fresh"]),
                 ("%s floor, touched block, %d KiB reads (the floor of earlier results)"
                  % (t.name, FLOOR_SMALL_READ // KIB), x["floor"]),
                 ("%s floor variant: one reused %d KiB buffer" % (t.name, FLOOR_RING // KIB),
                  x["ring"])]
    for label, xs in rows:
        add("| %s | %.3f | %s | %.0f |" % (label, med(xs), span(xs), BIG_BYTES / MIB / med(xs)))
    add("")
    r_native = med(big["native"]) / med(big["curl"])
    add("Native `HttpFetch` / curl = **%.2f**; / the native fresh-block floor = %.2f." % (
        r_native, med(big["native"]) / med(big["native_floor"])))
    add("")
    for t in tiers:
        x = big[t.name]
        add("%s: `GetFile` / fresh-block floor (%d MiB reads) = **%.2f** (with the callback "
            "**%.2f**); / touched-block floor (%d MiB reads) = %.2f; / the floors of %d KiB "
            "reads: fresh %.2f, touched %.2f. The copy after the last progress call is %.0f %% "
            "of the watched `GetFile`; the first touch of 64 MiB (fresh less touched floor) "
            "costs %.0f ms." % (
                t.name, FLOOR_READ // MIB, med(x["get"]) / med(x["fresh_big"]),
                med(x["watched"]) / med(x["fresh_big"]), FLOOR_READ // MIB,
                med(x["get"]) / med(x["floor_big"]), FLOOR_SMALL_READ // KIB,
                med(x["get"]) / med(x["fresh"]), med(x["get"]) / med(x["floor"]),
                100 * med(x["copy"]) / med(x["watched"]),
                1000 * (med(x["fresh_big"]) - med(x["floor_big"]))))
        add("")
    add("The target is judged against the **fresh-block floor with %d MiB reads**. `GetFile` "
        "must hand the host a new block, and every page of a new block is faulted in on "
        "first touch; a touched-block floor leaves that cost out of its clock, so it is the "
        "floor of a download into memory that already exists, which `GetFile` never has. "
        "And the plug-in asks each recv for up to %d MiB, so a floor of %d KiB reads would "
        "be slower than the plug-in for a reason that has nothing to do with it (it measured "
        "two to three times slower than the 4 MiB floor here). The verdicts "
        "against the touched %d MiB floor and the earlier %d KiB floor are shown for "
        "reference." % (FLOOR_READ // MIB, FLOOR_READ // MIB, FLOOR_SMALL_READ // KIB,
                         FLOOR_READ // MIB, FLOOR_SMALL_READ // KIB))
    add("")
    targets.append(("native", "native HttpFetch <= %.2f x curl (64 MiB), kept from before"
                    % TARGET_NATIVE_VS_CURL, "%.2f x" % r_native,
                    "%.2f x" % TARGET_NATIVE_VS_CURL, r_native <= TARGET_NATIVE_VS_CURL))
    for t in tiers:
        x = big[t.name]
        for what, key in (("", "get"), (", with a progress callback", "watched")):
            r = med(x[key]) / med(x["fresh_big"])
            targets.append(("floor", "%s: 64 MiB GetFile%s <= %.2f x fresh-block floor "
                            "(%d MiB reads)" % (t.name, what, TARGET_WINE_VS_FLOOR,
                                                FLOOR_READ // MIB), "%.2f x" % r,
                            "%.2f x" % TARGET_WINE_VS_FLOOR, r <= TARGET_WINE_VS_FLOOR))
        for label, key in (("touched-block floor, %d MiB reads" % (FLOOR_READ // MIB),
                            "floor_big"),
                           ("touched-block floor, %d KiB reads, as in earlier results"
                            % (FLOOR_SMALL_READ // KIB), "floor")):
            r = med(x["get"]) / med(x[key])
            targets.append(("reference", "%s: the same against the %s (reference)" % (
                t.name, label), "%.2f x" % r, "%.2f x" % TARGET_WINE_VS_FLOOR,
                r <= TARGET_WINE_VS_FLOOR))

    # ---------------------------------------------------------- 3. list
    add("## 3. A listing of %d members of %d bytes (nginx, no delay)" % (SMALL_COUNT,
                                                                           SMALL_BYTES))
    add("")
    add("| command | median s (whole command) | min - max s | per member ms | runs |")
    add("|---|---|---|---|---|")
    per_curl = med(listing["curl"]) / SMALL_COUNT
    add("| `curl --http1.0 -s -K CFG` (same %d URLs, one at a time) | %.3f | %s | %.3f | %d |"
        % (SMALL_COUNT, med(listing["curl"]), span(listing["curl"]), per_curl * 1000,
           len(listing["curl"])))
    for t in tiers:
        xs = listing[t.name]
        one = listing[t.name + " one"]
        add("| `spihost list LIST`, %s | %.3f | %s | %.3f | %d |" % (
            tier_label(t), med(xs), span(xs), med(xs) / SMALL_COUNT * 1000, len(xs)))
        add("| `spihost list` of a 1-member list (start-up), %s | %.3f | %s | - | %d |" % (
            t.name, med(one), span(one), len(one)))
    add("")
    for t in tiers:
        xs = listing[t.name]
        one = listing[t.name + " one"]
        r = med(xs) / SMALL_COUNT / per_curl
        steady = (med(xs) - med(one)) / (SMALL_COUNT - 1)
        add("%s: per member spihost / curl = **%.2f**; without the start-up of Wine and the "
            "host a member costs %.3f ms (%.2f x curl's per-URL figure)." % (
                t.name, r, steady * 1000, steady / per_curl))
        targets.append(("list1000", "%s: 1,000 x 4 KiB listing <= %.1f x curl --http1.0 -K "
                        "per member" % (t.name, TARGET_LIST_VS_CURL), "%.2f x" % r,
                        "%.2f x" % TARGET_LIST_VS_CURL, r <= TARGET_LIST_VS_CURL))
    add("")

    # -------------------------------------------------------- 4. memory
    add("## 4. Memory of an extraction")
    add("")
    add("Peak working set of the whole `spibench.exe` process under Wine, as "
        "`GetProcessMemoryInfo` reports it at the end (Wine takes it from the kernel's peak "
        "resident set, VmHWM, so it covers the whole extraction).")
    add("")
    add("| figure | median MiB | min - max MiB | runs |")
    add("|---|---|---|---|")
    for t in tiers:
        x = big[t.name]
        m = memory[t.name]
        base = med(m["tiny"])
        share = [w - base for w in x["get_ws"]]
        drip_share = [w - base for w in m["drip"]]
        rows = [("%s: `GetFile` of the 64 MiB member" % t.name, x["get_ws"]),
                ("%s: the same with a progress callback" % t.name, x["watched_ws"]),
                ("%s: `GetFile` of a 4 KiB member (the host under Wine)" % t.name, m["tiny"]),
                ("%s: the 64 MiB extraction's own share (less the 4 KiB median)" % t.name,
                 share),
                ("%s: `GetFile` while the server announces 1.5 GB and drips %d-%d KiB over "
                 "3 s" % (t.name, min(m["drip_bytes"]) // KIB, max(m["drip_bytes"]) // KIB),
                 m["drip"]),
                ("%s: the dripping extraction's own share" % t.name, drip_share)]
        for label, xs in rows:
            a, b = mib(xs)
            add("| %s | %s | %s | %d |" % (label, a, b, len(xs)))
        limit = TARGET_MEMORY_BODIES * BIG_BYTES + TARGET_MEMORY_MARGIN
        targets.append(("memory", "%s: 64 MiB extraction peak <= 2 x body + 16 MiB (whole "
                        "process)" % t.name, "%.1f MiB" % (med(x["get_ws"]) / MIB),
                        "%.0f MiB" % (limit / MIB), med(x["get_ws"]) <= limit))
        targets.append(("drip", "%s: peak while 1.5 GB is announced and bytes drip <= 20 MiB "
                        "(whole process)" % t.name, "%.1f MiB" % (med(m["drip"]) / MIB),
                        "%.0f MiB" % (TARGET_DRIP_BYTES / MIB),
                        med(m["drip"]) <= TARGET_DRIP_BYTES))
    add("")
    if laa is not None:
        characteristics, laa_set = laa
        huge = memory["win32"]["huge"]
        huge_ok = [h for h in huge if h is not None]
        add("256 MiB member, win32: spibench.exe's file header Characteristics is 0x%04x, so "
            "the large-address-aware flag (0x20) is %s. `GetFile` extracted the whole member "
            "in %d of %d runs%s." % (
                characteristics, "SET" if laa_set else "absent", len(huge_ok), len(huge),
                (": %.3f s median, peak working set %.1f MiB median" % (
                    med([h["seconds"] for h in huge_ok]),
                    med([h["peak_ws"] for h in huge_ok]) / MIB)) if huge_ok else ""))
        add("")
        targets.append(("laa", "win32: a 256 MiB member extracts in a host without the "
                        "large-address-aware flag, kept from before",
                        "%d/%d runs, flag %s" % (len(huge_ok), len(huge),
                                                 "set" if laa_set else "absent"),
                        "all runs, flag absent", (not laa_set) and len(huge_ok) == len(huge)))

    # --------------------------------------------------------- 5. giant
    add("## 5. A member of 3 GiB (3221225472 bytes), generated by the server")
    add("")
    if giant is None:
        add("Not measured in this run: `make bench-long` measures it (about 5 minutes and "
            "3 GiB of disk).")
        add("")
    else:
        add("The server generates the bytes (nothing on disk) and computes their CRC-32 while "
            "sending, in one Python thread on the same 2 cores as Wine: the listing, which "
            "keeps nothing, shows the rate it can feed a client that does little else. Every "
            "successful extraction was checked against its CRC-32 (memory: spibench "
            "computes the CRC-32 of the block after the clock stops; file: the file is read "
            "back). Times: the listing as the whole `spihost list` command, `GetFile` inside "
            "`spibench.exe` with a progress callback. Memory: peak working set (listing: peak "
            "resident set of the command, from GNU time).")
        add("")
        add("| width | operation | result | median s | min - max s | peak MiB (median) | runs |")
        add("|---|---|---|---|---|---|---|")
        notes = []
        for t in tiers:
            x = giant[t.name]
            add("| %s | `spihost list` | size %d shown | %.3f | %s | %.1f | %d |" % (
                t.name, GIANT_BYTES, med(x["list"]), span(x["list"]),
                med(x["list_rss"]) / MIB, len(x["list"])))
            if t.bits == 64:
                add("| %s | `GetFile` to memory | all bytes, CRC-32 equal | %.3f | %s | %.1f | "
                    "%d |" % (t.name, med(x["memory"]), span(x["memory"]),
                              med(x["memory_ws"]) / MIB, len(x["memory"])))
                add("| %s | of which after the last progress call (the copy) | | %.3f | %s | | "
                    "|" % (t.name, med(x["memory_copy"]), span(x["memory_copy"])))
                add("| %s | `GetFile` to a file | all bytes, CRC-32 equal | %.3f | %s | %.1f | "
                    "%d |" % (t.name, med(x["file"]), span(x["file"]),
                              med(x["file_ws"]) / MIB, len(x["file"])))
                add("| %s | of which after the last progress call (the copy and the write) | "
                    "| %.3f | %s | | |" % (t.name, med(x["file_after"]), span(x["file_after"])))
                add("| Linux | write floor: `write()` of a 3 GiB buffer already in memory, "
                    "1 GiB a call, into the same directory | | %.3f | %s | | %d |" % (
                        med(x["write"]), span(x["write"]), len(x["write"])))
                add("| Linux | `dd if=/dev/zero bs=16M count=192` into the same directory "
                    "(one reused 16 MiB buffer; whole command) | | %.3f | %s | | %d |" % (
                        med(x["dd"]), span(x["dd"]), len(x["dd"])))
                ok = (len(x["memory"]) == RUNS_GIANT and len(x["file"]) == RUNS_GIANT)
                targets.append(("giant64", "win64: 3 GiB listed with its size and extracted "
                                "to memory and to a file, bytes verified",
                                "%d + %d of %d runs" % (len(x["memory"]), len(x["file"]),
                                                        2 * RUNS_GIANT),
                                "all runs", ok))
                notes.append(
                    "%s file extraction: after the last progress call %.1f s go to the copy "
                    "(about %.1f s, as after the memory extraction's last call) and the write "
                    "(about %.1f s), against %.1f s for the write floor and %.1f s for dd. "
                    "The write floor's own min - max shows how much this machine's disk varies "
                    "from run to run." % (
                        t.name, med(x["file_after"]), med(x["memory_copy"]),
                        med(x["file_after"]) - med(x["memory_copy"]), med(x["write"]),
                        med(x["dd"])))
            else:
                codes = x["codes"]
                add("| %s | `GetFile` to memory, then to a file: fails (time to fail) | codes %s "
                    "| %.3f | %s | %.1f (memory), %.1f (file) | %d |" % (
                        t.name, ",".join(str(c) for c in codes), med(x["fail_seconds"]),
                        span(x["fail_seconds"]), med(x["memory_ws"]) / MIB,
                        med(x["file_ws"]) / MIB, len(codes)))
                ok = all(c == GIANT_TOO_BIG_CODE for c in codes)
                targets.append(("giant32", "win32: 3 GiB listed as 3221225472, extraction "
                                "fails with code 6 and leaves no file",
                                "codes %s" % ",".join(sorted(set(str(c) for c in codes))),
                                "6 every run", ok))
        add("")
        for note in notes:
            add(note)
            add("")

    # ------------------------------------------------------- targets
    add("## Targets")
    add("")
    add("| target | measured | limit | result |")
    add("|---|---|---|---|")
    for _, text, measured, limit, ok in targets:
        add("| %s | %s | %s | %s |" % (text, measured, limit, verdict(ok)))
    add("")
    titles = {"floor": "the 64 MiB `GetFile` against the floor",
              "native": "native `HttpFetch` against curl",
              "list1000": "the 1,000-member listing"}
    missed = {key for key, _, _, _, ok in targets if not ok}
    for key in ("floor", "native", "list1000"):
        if key not in missed:
            continue
        add("### What bounds %s" % titles[key])
        add("")
        L.extend(bound_lines(key, tiers, big, listing))
        add("")

    add("## Load while measuring")
    add("")
    add("Other processes' CPU is the machine's busy time less this bench's own (its "
        "programs, nginx, the Python server, the prefixes' wineservers), averaged over the "
        "section, in cores of %d; niced user time (fuzzers and the like, which yield to us) "
        "is shown apart, and so is the time the hypervisor took from this virtual machine "
        "(steal). A section is measured again when other processes and steal together "
        "exceed %.1f (at most %d attempts); the quietest attempt is the one shown." % (
            os.cpu_count(), DISTURBED_CORES, SECTION_ATTEMPTS))
    add("")
    add("| section | attempts | wall s | other processes, cores | niced processes, cores "
        "| stolen, cores | load average (1 min) before - after |")
    add("|---|---|---|---|---|---|---|")
    for e in log:
        add("| %s | %d | %.1f | %.2f | %.2f | %.2f | %.2f - %.2f |" % (
            e["name"], e["attempts"], e["seconds"], e["others"], e["niced"], e["steal"],
            e["load_before"], e["load_after"]))
    high = [e["name"] for e in log if e["disturbance"] > DISTURBED_CORES]
    add("")
    if high:
        add("**The machine was disturbed** during: %s. Those figures are slower than a quiet "
            "machine would give." % ", ".join(high))
    else:
        add("No section was disturbed beyond the threshold.")
    add("")
    return "\n".join(L)


# ----------------------------------------------------------------- main

def stop_on_signal(signum, _frame):
    # Unwinds through the `with` blocks, so the servers are stopped.
    raise SystemExit(128 + signum)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the directory of win32 and win64")
    parser.add_argument("--tools", required=True, help="where fetch_bench and the floors are")
    parser.add_argument("--work", required=True, help="a directory for the served files")
    parser.add_argument("--out", required=True, help="the results file to write")
    parser.add_argument("--long", action="store_true", help="the 3 GiB member too")
    parser.add_argument("--quick", action="store_true",
                        help="two runs of everything, no retries, no waiting (to try the script)")
    parser.add_argument("--quiet-wait", type=float, default=QUIET_WAIT_SECONDS,
                        help="seconds to wait at most for a quiet machine")
    args = parser.parse_args(argv)
    if args.quick:
        global RUNS_BIG, RUNS_LIST, RUNS_SLOW, RUNS_TINY, RUNS_DRIP, RUNS_HUGE, RUNS_GIANT
        global SECTION_ATTEMPTS
        RUNS_BIG = RUNS_LIST = RUNS_SLOW = RUNS_TINY = RUNS_DRIP = RUNS_HUGE = RUNS_GIANT = 2
        SECTION_ATTEMPTS = 1
        args.quiet_wait = 0.0
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)

    build = os.path.abspath(args.build)
    skipped = no_win32_reason(build)
    names = ["win64"] + ([] if skipped else ["win32"])
    tiers = [Tier(n, os.path.join(build, n), os.path.abspath(args.tools)) for n in names]
    clients = Clients(os.path.abspath(args.tools))
    print("bench: widths %s%s" % (", ".join(names), "; win32 skipped: " + skipped
                                  if skipped else ""), flush=True)

    print("bench: writing %d + %d MiB and %d small files under %s" % (
        BIG_BYTES // MIB, HUGE_BYTES // MIB, SMALL_COUNT, args.work), flush=True)
    data = Data(args.work)
    log = []
    try:
        for t in tiers:
            t.start_wine()
        with harness.Nginx(data.root) as web, SlowServer(data.work) as slow:
            data.write_nginx_lists(web)
            data.write_slow_lists(slow)
            print("bench: nginx on 127.0.0.1:%d, slowserver on 127.0.0.1:%d; checking the "
                  "clients" % (web.port, slow.port), flush=True)
            check_clients(web, slow, data)
            quiet = wait_for_quiet(args.quiet_wait, lambda s: print(s, flush=True))
            info = {"date": datetime.datetime.now(datetime.timezone.utc).strftime(
                "%Y-%m-%d %H:%M UTC"), "machine": machine()}
            meter = CpuMeter([web.proc.pid, slow.proc.pid], [t.prefix for t in tiers])
            slow_times = measure_section(
                "200 members, 50 ms server", meter,
                lambda: section_slow(tiers, clients, data, slow), log)
            big = measure_section("64 MiB downloads", meter,
                                  lambda: section_big(tiers, clients, data, web), log)
            listing = measure_section("1,000-member listing", meter,
                                      lambda: section_list(tiers, clients, data), log)
            memory = measure_section("memory, drip and 256 MiB", meter,
                                     lambda: section_memory(tiers, data), log)
            giant = None
            if args.long:
                giant = measure_section("3 GiB member", meter,
                                        lambda: section_giant(tiers, data, slow), log)
    finally:
        for t in tiers:
            t.stop_wine()
    win32 = [t for t in tiers if t.bits == 32]
    laa = laa_flag(win32[0].spibench) if win32 else None
    text = report(info, tiers, skipped, quiet, slow_times, big, listing, memory, giant, laa,
                  log)
    temp = args.out + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, args.out)
    print(text)
    return 0


def check_clients(web, slow, data):
    """Every client gets every byte once before anything is timed."""
    _, out, err, rc = run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}",
                              web.url("big64.bin")])
    must(rc == 0 and out.strip() == str(BIG_BYTES), "curl got other than 64 MiB", out, err)
    _, out, err, rc = run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}",
                              web.url("big256.bin")])
    must(rc == 0 and out.strip() == str(HUGE_BYTES), "curl got other than 256 MiB", out, err)
    for cfg, count, size in (("curl1000.cfg", SMALL_COUNT, SMALL_BYTES),
                             ("slow200.cfg", SLOW_COUNT, SLOW_BYTES)):
        for extra in ([], ["--parallel", "--parallel-max", str(PARALLEL)]):
            _, out, err, rc = run(["curl", "--http1.0", "-s"] + extra +
                                     ["-K", data.path(cfg), "-w",
                                      "%{http_code} %{size_download}\n"])
            must(rc == 0 and out.split("\n").count("200 %d" % size) == count,
                 "curl -K %s did not get all %d files" % (cfg, count), out[-500:], err)
    _, out, err, rc = run(["wget", "-O", "/dev/null", "-i", data.path("slow200.txt")])
    must(rc == 0 and err.count("200 OK") == SLOW_COUNT, "wget -i did not get all 200",
         out, err[-2000:])


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BenchError as e:
        sys.stderr.write("bench: %s\n" % e)
        sys.exit(1)
