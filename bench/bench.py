#!/usr/bin/env python3
"""make bench: times downloads through the plug-in against curl and a bare
Winsock loop, one loopback nginx for the whole run, and writes results.md.

Run by bench/bench.sh, which builds the two helper programs first and removes
the data directory afterwards:
    bench.py --win WIN_BUILD --tools DIR --work DIR --out results.md
"""

import argparse
import datetime
import os
import platform
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness  # noqa: E402  (the loopback nginx and URL list writing)

MIB = 1024 * 1024
BIG_BYTES = 64 * MIB
HUGE_BYTES = 256 * MIB
SMALL_BYTES = 4096
SMALL_COUNT = 1000
RANDOM_CHUNK = 4 * MIB  # random bytes are written this much at a time

RUNS_BIG = 9    # rounds of the 64 MiB downloads (each tool once per round)
RUNS_LIST = 7   # rounds of the 1,000-member listing
RUNS_TINY = 5   # bench-get of a 4 KiB member: the working-set baseline
RUNS_HUGE = 5   # bench-get of the 256 MiB member
FLOOR_RING = 64 * 1024  # the floor variant that keeps reusing one recv buffer
FLOOR_SLACK = MIB  # room for the response header in the floor's buffer

COMMAND_TIMEOUT = 180.0  # bound on any one command
# A section is measured again when other processes used more than this many
# cores on average while it ran (a concurrent build on a 2-core machine); at
# most SECTION_ATTEMPTS times, after a pause, keeping the quietest attempt.
DISTURBED_CORES = 0.5
SECTION_ATTEMPTS = 3
RETRY_PAUSE_SECONDS = 20.0

TARGET_NATIVE_VS_CURL = 1.25
TARGET_WINE_VS_FLOOR = 1.5
TARGET_LIST_VS_CURL = 2.5
# Peak memory of an extraction: two copies of the body and a fixed margin.
TARGET_MEMORY_BODIES = 2
TARGET_MEMORY_MARGIN = 16 * MIB
LAA_FLAG = 0x20  # IMAGE_FILE_LARGE_ADDRESS_AWARE in the file header


class BenchError(Exception):
    """A tool failed or returned the wrong bytes: the figures would be wrong."""


# ------------------------------------------------------------------ running

def run(cmd, env=None):
    """Runs cmd with output to temporary files (Wine's background processes
    must never hold a pipe of ours). Returns (wall seconds, stdout, stderr, rc)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              env=env, timeout=COMMAND_TIMEOUT)
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        return (wall, out.read().decode("latin-1"), err.read().decode("latin-1"),
                proc.returncode)


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


class Tools:
    """Paths and environments of everything that is measured."""

    def __init__(self, args, data):
        self.data = data
        self.win = os.path.abspath(args.win)
        self.spihost = os.path.join(REPO, "spihost")
        self.wine_run = os.path.join(self.win, "wine-run")  # the tree's launcher
        self.spibench = os.path.join(self.win, "spibench.exe")
        self.fetch_bench = os.path.join(args.tools, "fetch_bench")
        self.floor = os.path.join(args.tools, "floor.exe")
        self.prefix = os.path.join(self.win, "wineprefix")
        self.env = dict(os.environ, KESTA_BUILD=self.win, WINEPREFIX=self.prefix)

    def spihost_run(self, *args):
        return run([self.spihost] + [str(a) for a in args], self.env)

    def bench_get(self, list_path, expected):
        """One GetFile under Wine: dict of seconds, bytes, peak working set;
        None when the extraction failed or gave other than `expected` bytes."""
        _, out, err, rc = run([self.wine_run, self.spibench, "bench-get", list_path, "0"], self.env)
        got = fields(out)
        if rc != 0 or int(got.get("bytes", "-1")) != expected:
            sys.stderr.write("bench-get of %s: rc %d\n%s%s" % (list_path, rc, out, err))
            return None
        return {"seconds": float(got["seconds"]), "bytes": int(got["bytes"]),
                "peak_ws": int(got["peak_working_set_bytes"])}

    def floor_get(self, port, path, capacity, expected):
        _, out, err, rc = run([self.wine_run, self.floor, harness.LOOPBACK, str(port), path,
                               str(capacity)], self.env)
        got = fields(out)
        must(rc == 0 and int(got.get("bytes", "0")) > expected,
             "floor.exe %s (capacity %d) failed" % (path, capacity), out, err)
        return float(got["seconds"])

    def native_get(self, url, expected):
        _, out, err, rc = run([self.fetch_bench, url])
        got = fields(out)
        must(rc == 0 and int(got.get("bytes", "-1")) == expected,
             "fetch_bench %s failed" % url, out, err)
        return float(got["seconds"]), int(got["peak_rss_bytes"])


def curl_wall(url):
    wall, out, err, rc = run(["curl", "-s", "-o", "/dev/null", url])
    must(rc == 0, "curl %s failed" % url, out, err)
    return wall


def curl_size(url):
    _, out, err, rc = run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", url])
    must(rc == 0, "curl %s failed" % url, out, err)
    return int(out.strip() or "-1")


# --------------------------------------------------------------- the data

def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, RANDOM_CHUNK)
            f.write(os.urandom(n))
            left -= n


class Data:
    """The served files, the URL lists and the curl config, under `work`."""

    def __init__(self, work):
        self.work = os.path.abspath(work)
        self.root = os.path.join(self.work, "www")
        os.makedirs(os.path.join(self.root, "m"), exist_ok=True)
        write_random(os.path.join(self.root, "big64.bin"), BIG_BYTES)
        write_random(os.path.join(self.root, "big256.bin"), HUGE_BYTES)
        self.small = ["m/%04d.bin" % i for i in range(SMALL_COUNT)]
        for name in self.small:
            write_random(os.path.join(self.root, name), SMALL_BYTES)

    def path(self, name):
        return os.path.join(self.work, name)

    def write_lists(self, web):
        harness.write_list(self.path("big64.ykt"), [web.url("big64.bin")])
        harness.write_list(self.path("big256.ykt"), [web.url("big256.bin")])
        harness.write_list(self.path("tiny.ykt"), [web.url(self.small[0])])
        harness.write_list(self.path("one.ykt"), [web.url(self.small[0])])
        harness.write_list(self.path("list1000.ykt"), [web.url(n) for n in self.small])
        with open(self.path("curl1000.cfg"), "w") as f:
            for name in self.small:
                f.write('url = "%s"\noutput = "/dev/null"\n' % web.url(name))


# ------------------------------------------------- load and disturbance

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    """(CPU seconds the whole machine has been busy since boot, of which
    user time of lowered-priority processes)."""
    with open("/proc/stat") as f:
        parts = f.readline().split()
    # user nice system idle iowait irq softirq steal
    ticks = [int(x) for x in parts[1:9]]
    return (sum(ticks) - ticks[3] - ticks[4]) / CLOCK_TICKS, ticks[1] / CLOCK_TICKS


def process_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return 0.0
    rest = text[text.rindex(")") + 2:].split()
    return (int(rest[11]) + int(rest[12])) / CLOCK_TICKS  # utime, stime


def wineserver_pids(prefix):
    """The wineserver of our prefix: it works in a directory named after the
    prefix's device and inode."""
    try:
        st = os.stat(prefix)
    except OSError:
        return []
    want = "server-%x-%x" % (st.st_dev, st.st_ino)
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if f.read().strip() != "wineserver":
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == want:
                pids.append(int(entry))
        except OSError:
            continue
    return pids


class CpuMeter:
    """CPU used by other processes while a section runs: the machine's busy
    time less ours (this script, its children, nginx, our wineserver)."""

    def __init__(self, nginx_pid, prefix):
        self.nginx_pid = nginx_pid
        self.prefix = prefix

    def snapshot(self):
        own = 0.0
        for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
            usage = resource.getrusage(who)
            own += usage.ru_utime + usage.ru_stime
        servers = {pid: process_seconds(pid) for pid in wineserver_pids(self.prefix)}
        busy, niced = busy_seconds()
        return {"time": time.monotonic(), "busy": busy, "niced": niced, "own": own,
                "nginx": process_seconds(self.nginx_pid), "servers": servers,
                "load": os.getloadavg()[0]}

    @staticmethod
    def others_cores(a, b):
        """(cores used by others on average, of which niced user time): a
        niced process (a fuzzer, say) yields the CPU to ours almost at once."""
        ours = (b["own"] - a["own"]) + (b["nginx"] - a["nginx"])
        ours += sum(t - a["servers"].get(pid, 0.0) for pid, t in b["servers"].items())
        wall = max(b["time"] - a["time"], 1e-6)
        others = max(0.0, (b["busy"] - a["busy"] - ours) / wall)
        niced = min(others, (b["niced"] - a["niced"]) / wall)
        return others, niced


def measure_section(name, meter, body, log):
    """Runs body() up to SECTION_ATTEMPTS times while others disturb it;
    returns the quietest attempt's result and records the section in `log`."""
    best = None
    for attempt in range(1, SECTION_ATTEMPTS + 1):
        before = meter.snapshot()
        result = body()
        after = meter.snapshot()
        others, niced = CpuMeter.others_cores(before, after)
        entry = {"name": name, "attempt": attempt,
                 "seconds": after["time"] - before["time"],
                 "others": others - niced, "niced": niced,
                 "load_before": before["load"], "load_after": after["load"]}
        print("  %s attempt %d: %.1f s, other processes %.2f cores (+ %.2f niced), "
              "load %.2f -> %.2f" % (name, attempt, entry["seconds"], entry["others"],
                                     entry["niced"], entry["load_before"],
                                     entry["load_after"]), flush=True)
        if best is None or entry["others"] < best[1]["others"]:
            best = (result, entry)
        if entry["others"] <= DISTURBED_CORES or attempt == SECTION_ATTEMPTS:
            break
        time.sleep(RETRY_PAUSE_SECONDS)
    best[1]["attempts"] = attempt
    log.append(best[1])
    return best[0]


# ---------------------------------------------------------- the sections

def section_big(tools, web):
    """The 64 MiB member by every client, one of each per round, so that a
    disturbance spreads over all of them alike."""
    url = web.url("big64.bin")
    list_path = tools.data.path("big64.ykt")
    times = {"curl": [], "native": [], "wine": [], "floor": [], "ring": [],
             "wine_ws": [], "native_rss": []}
    for _ in range(RUNS_BIG):
        times["curl"].append(curl_wall(url))
        seconds, rss = tools.native_get(url, BIG_BYTES)
        times["native"].append(seconds)
        times["native_rss"].append(rss)
        got = tools.bench_get(list_path, BIG_BYTES)
        must(got is not None, "GetFile of the 64 MiB member failed")
        times["wine"].append(got["seconds"])
        times["wine_ws"].append(got["peak_ws"])
        times["floor"].append(tools.floor_get(web.port, "/big64.bin",
                                              BIG_BYTES + FLOOR_SLACK, BIG_BYTES))
        times["ring"].append(tools.floor_get(web.port, "/big64.bin", FLOOR_RING, BIG_BYTES))
    return times


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


def check_listing(out, count):
    sizes = listing_sizes(out)
    return len(sizes) == count and set(sizes) == {SMALL_BYTES}


def section_list(tools):
    data = tools.data
    times = {"spihost": [], "curl": [], "one": []}
    for _ in range(RUNS_LIST):
        wall, out, err, rc = tools.spihost_run("list", data.path("list1000.ykt"))
        must(rc == 0 and check_listing(out, SMALL_COUNT), "spihost list of 1,000 members failed", out, err)
        times["spihost"].append(wall)
        wall, out, err, rc = run(["curl", "--http1.0", "-s", "-K", data.path("curl1000.cfg")])
        must(rc == 0, "curl -K of 1,000 URLs failed", out, err)
        times["curl"].append(wall)
        wall, out, err, rc = tools.spihost_run("list", data.path("one.ykt"))
        must(rc == 0 and check_listing(out, 1), "spihost list of 1 failed", out, err)
        times["one"].append(wall)
    return times


def laa_flag(exe):
    """(Characteristics value, whether the large-address-aware bit is set)."""
    _, out, err, rc = run(["i686-w64-mingw32-objdump", "-p", exe])
    must(rc == 0, "objdump -p %s failed" % exe, out, err)
    m = re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", out, re.M)
    must(m is not None, "no Characteristics line for %s" % exe, out)
    value = int(m.group(1), 16)
    return value, bool(value & LAA_FLAG)


def section_memory(tools):
    data = tools.data
    tiny = []
    for _ in range(RUNS_TINY):
        got = tools.bench_get(data.path("tiny.ykt"), SMALL_BYTES)
        must(got is not None, "GetFile of the 4 KiB member failed")
        tiny.append(got["peak_ws"])
    huge = [tools.bench_get(data.path("big256.ykt"), HUGE_BYTES) for _ in range(RUNS_HUGE)]
    return {"tiny_ws": tiny, "huge": huge}


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
            ("wine", one_line(["wine", "--version"])),
            ("curl", one_line(["curl", "--version"])),
            ("nginx", one_line(["nginx", "-v"])),
            ("clang", one_line(["clang++", "--version"])),
            ("mingw", one_line(["i686-w64-mingw32-g++-posix", "--version"]))]


def med(xs):
    return statistics.median(xs)


def span(xs, scale=1.0, fmt="%.3f"):
    return (fmt + " - " + fmt) % (min(xs) * scale, max(xs) * scale)


def verdict(ok):
    return "PASS" if ok else "MISS"


# Why a listing under Wine costs more per member than curl, and what was
# tried; printed under the targets when the listing target is missed.
LISTING_BOUND = [
    "The listing makes the fewest socket calls a member's request allows: `socket`, "
    "`connect`, one `send`, two `recv` (the whole 4 KiB response, then the close), "
    "`shutdown` and `closesocket`, with no copy of the body (the length-only fetch). "
    "Under Wine each of those calls is one or more requests to the wineserver process. "
    "A trace of the server (`wineserver -d1`, 10 against 30 members) counts about 18 "
    "requests per member, and `connect` completes through a signal-delivered APC. curl "
    "makes the same calls straight to the kernel. The per-member cost is therefore "
    "bounded by the wineserver round trips, and it depends on how quickly an idle CPU "
    "wakes up: on this 2-core VM the same listing measured between 2.2 x and 3.5 x curl "
    "per member in different runs (higher when the machine is otherwise idle).",
    "",
    "Tried: dropping the `shutdown` before `closesocket` saved about 10 % per member. "
    "That is not enough to reach the target, and shutting both directions down before "
    "the close is part of the fetch's behaviour towards servers, so it was kept. The "
    "fixed start-up of Wine and the host is not a per-member cost; the figure without "
    "it is given above.",
]


def report(info, big, listing, memory, laa, log):
    """The text of results.md."""
    L = []
    add = L.append
    add("# Benchmark results")
    add("")
    add("Written by `make bench` (bench/bench.sh and bench/bench.py) on %s. One nginx on "
        "127.0.0.1 served every request; every figure is a median of the runs shown, with "
        "the fastest and slowest run beside it." % info["date"])
    add("")
    add("## Machine")
    add("")
    add("| | |")
    add("|---|---|")
    for key, value in info["machine"]:
        add("| %s | %s |" % (key, value.replace("|", "/")))
    add("")

    add("## 1. One 64 MiB member (random bytes)")
    add("")
    add("| client | median s | min - max s | MiB/s | runs |")
    add("|---|---|---|---|---|")
    rows = [("`curl -s -o /dev/null URL` (wall time of the command)", big["curl"]),
            ("native `HttpFetch`, body kept (clang -O2, in-process)", big["native"]),
            ("KESTA.SPI `GetFile` under Wine (`spibench bench-get`)", big["wine"]),
            ("floor: Winsock recv loop under Wine, 64 KiB reads into a preallocated "
             "buffer for the whole response", big["floor"]),
            ("floor variant: the same loop reusing one 64 KiB buffer", big["ring"])]
    for label, xs in rows:
        add("| %s | %.3f | %s | %.0f | %d |" % (label, med(xs), span(xs),
                                               BIG_BYTES / MIB / med(xs), len(xs)))
    add("")
    r_native = med(big["native"]) / med(big["curl"])
    r_wine = med(big["wine"]) / med(big["floor"])
    add("Ratios of medians: native `HttpFetch` / curl = **%.2f**; Wine `GetFile` / Wine floor "
        "= **%.2f** (against the reused-buffer variant %.2f; against curl %.2f)." % (
            r_native, r_wine, med(big["wine"]) / med(big["ring"]),
            med(big["wine"]) / med(big["curl"])))
    add("")

    add("## 2. A listing of %d members of %d bytes" % (SMALL_COUNT, SMALL_BYTES))
    add("")
    add("| command | median s (whole command) | min - max s | per member ms | runs |")
    add("|---|---|---|---|---|")
    per_spi = med(listing["spihost"]) / SMALL_COUNT
    per_curl = med(listing["curl"]) / SMALL_COUNT
    add("| `spihost list LIST` (Wine start included) | %.3f | %s | %.3f | %d |" % (
        med(listing["spihost"]), span(listing["spihost"]), per_spi * 1000,
        len(listing["spihost"])))
    add("| `curl --http1.0 -s -K CFG` (same %d URLs) | %.3f | %s | %.3f | %d |" % (
        SMALL_COUNT, med(listing["curl"]), span(listing["curl"]), per_curl * 1000,
        len(listing["curl"])))
    add("| `spihost list` of a 1-member list (start-up) | %.3f | %s | - | %d |" % (
        med(listing["one"]), span(listing["one"]), len(listing["one"])))
    add("")
    r_list = per_spi / per_curl
    steady = (med(listing["spihost"]) - med(listing["one"])) / (SMALL_COUNT - 1)
    add("Ratio per member: spihost / curl = **%.2f**. Without the start-up of Wine and the "
        "host, a member costs %.3f ms (%.2f x curl's per-URL figure)." % (
            r_list, steady * 1000, steady / per_curl))
    add("")

    add("## 3. Memory of an extraction")
    add("")
    ws = big["wine_ws"]
    base = med(memory["tiny_ws"])
    share = [w - base for w in ws]
    limit = TARGET_MEMORY_BODIES * BIG_BYTES + TARGET_MEMORY_MARGIN
    add("| figure | median MiB | min - max MiB | runs |")
    add("|---|---|---|---|")
    add("| peak working set, `bench-get` of the 64 MiB member | %.1f | %s | %d |" % (
        med(ws) / MIB, span(ws, 1.0 / MIB, "%.1f"), len(ws)))
    add("| peak working set, `bench-get` of a 4 KiB member (the host under Wine) | %.1f | %s "
        "| %d |" % (base / MIB, span(memory["tiny_ws"], 1.0 / MIB, "%.1f"),
                    len(memory["tiny_ws"])))
    add("| the extraction's own share (64 MiB peak less the 4 KiB median) | %.1f | %s | %d |" % (
        med(share) / MIB, span(share, 1.0 / MIB, "%.1f"), len(share)))
    add("| native `HttpFetch`: peak resident set of the whole process | %.1f | %s | %d |" % (
        med(big["native_rss"]) / MIB, span(big["native_rss"], 1.0 / MIB, "%.1f"),
        len(big["native_rss"])))
    add("")
    add("Limit: 2 x 64 MiB + 16 MiB = %.0f MiB." % (limit / MIB))
    add("")
    characteristics, laa_set = laa
    huge_ok = [h for h in memory["huge"] if h is not None]
    add("256 MiB member: spibench.exe's file header Characteristics is 0x%04x, so the "
        "large-address-aware flag (0x20) is %s. `bench-get` extracted the whole member "
        "(bytes = %d) in %d of %d runs%s." % (
            characteristics, "SET" if laa_set else "absent", HUGE_BYTES, len(huge_ok),
            len(memory["huge"]),
            (": %.3f s median, peak working set %.1f MiB median" % (
                med([h["seconds"] for h in huge_ok]),
                med([h["peak_ws"] for h in huge_ok]) / MIB)) if huge_ok else ""))
    add("")

    add("## Targets")
    add("")
    add("| target | measured | limit | result |")
    add("|---|---|---|---|")
    add("| native HttpFetch <= 1.25 x curl (64 MiB) | %.2f x | %.2f x | %s |" % (
        r_native, TARGET_NATIVE_VS_CURL, verdict(r_native <= TARGET_NATIVE_VS_CURL)))
    add("| Wine GetFile <= 1.5 x Wine floor (64 MiB) | %.2f x | %.2f x | %s |" % (
        r_wine, TARGET_WINE_VS_FLOOR, verdict(r_wine <= TARGET_WINE_VS_FLOOR)))
    add("| listing <= 2.5 x curl per member | %.2f x | %.2f x | %s |" % (
        r_list, TARGET_LIST_VS_CURL, verdict(r_list <= TARGET_LIST_VS_CURL)))
    add("| peak memory <= 2 x body + 16 MiB: the extraction's own share | %.1f MiB | %.0f MiB "
        "| %s |" % (med(share) / MIB, limit / MIB, verdict(med(share) <= limit)))
    add("| the same, whole process under Wine included | %.1f MiB | %.0f MiB | %s |" % (
        med(ws) / MIB, limit / MIB, verdict(med(ws) <= limit)))
    huge_pass = (not laa_set) and len(huge_ok) == len(memory["huge"])
    add("| a 256 MiB member extracts in a host without the large-address-aware flag | "
        "%d/%d runs, flag %s | all runs, flag absent | %s |" % (
            len(huge_ok), len(memory["huge"]), "set" if laa_set else "absent",
            verdict(huge_pass)))
    add("")
    if r_list > TARGET_LIST_VS_CURL:
        add("### What bounds the listing")
        add("")
        for line in LISTING_BOUND:
            add(line)
        add("")

    add("## Load while measuring")
    add("")
    add("Other processes' CPU is the machine's busy time less this bench's own (its "
        "programs, nginx, the prefix's wineserver), averaged over the section, in cores of "
        "%d; niced user time (fuzzers and the like, which yield to us) is shown apart. A "
        "section is measured again when the rest exceeds %.1f (at most %d attempts); the "
        "quietest attempt is the one shown." % (os.cpu_count(), DISTURBED_CORES,
                                                SECTION_ATTEMPTS))
    add("")
    add("| section | attempts | wall s | other processes, cores | niced processes, cores "
        "| load average (1 min) before - after |")
    add("|---|---|---|---|---|---|")
    for e in log:
        add("| %s | %d | %.1f | %.2f | %.2f | %.2f - %.2f |" % (
            e["name"], e["attempts"], e["seconds"], e["others"], e["niced"],
            e["load_before"], e["load_after"]))
    high = [e["name"] for e in log if e["others"] > DISTURBED_CORES]
    add("")
    if high:
        add("**Load was high** during: %s. Those figures are slower than a quiet machine "
            "would give." % ", ".join(high))
    else:
        add("No section was disturbed beyond the threshold.")
    add("")
    return "\n".join(L)


# ----------------------------------------------------------------- main

def stop_on_signal(signum, _frame):
    # Unwinds through the `with` blocks, so nginx is stopped.
    raise SystemExit(128 + signum)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--win", required=True, help="the Windows build tree")
    parser.add_argument("--tools", required=True, help="where fetch_bench and floor.exe are")
    parser.add_argument("--work", required=True, help="a directory for the served files")
    parser.add_argument("--out", required=True, help="the results file to write")
    parser.add_argument("--quick", action="store_true",
                        help="two runs of everything, no retries (to try the script)")
    args = parser.parse_args(argv)
    if args.quick:
        global RUNS_BIG, RUNS_LIST, RUNS_TINY, RUNS_HUGE, SECTION_ATTEMPTS
        RUNS_BIG = RUNS_LIST = RUNS_TINY = RUNS_HUGE = 2
        SECTION_ATTEMPTS = 1
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)

    info = {"date": datetime.datetime.now(datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M UTC"), "machine": machine()}
    print("bench: writing %d + %d MiB and %d small files under %s" % (
        BIG_BYTES // MIB, HUGE_BYTES // MIB, SMALL_COUNT, args.work), flush=True)
    tools = Tools(args, Data(args.work))
    log = []
    with harness.Nginx(tools.data.root) as web:
        tools.data.write_lists(web)
        print("bench: nginx on 127.0.0.1:%d; warming Wine and the page cache" % web.port,
              flush=True)
        _, out, err, rc = tools.spihost_run("info")
        must(rc == 0, "spihost info failed", out, err)
        must(curl_size(web.url("big64.bin")) == BIG_BYTES, "curl got other than 64 MiB")
        must(curl_size(web.url("big256.bin")) == HUGE_BYTES, "curl got other than 256 MiB")
        _, out, err, rc = run(["curl", "--http1.0", "-s", "-K", tools.data.path("curl1000.cfg"),
                               "-w", "%{http_code} %{size_download}\n"])
        must(rc == 0 and out.split("\n").count("200 %d" % SMALL_BYTES) == SMALL_COUNT,
             "curl -K did not get all 1,000 small files", out, err)
        meter = CpuMeter(web.proc.pid, tools.prefix)
        big = measure_section("64 MiB downloads", meter, lambda: section_big(tools, web), log)
        listing = measure_section("1,000-member listing", meter, lambda: section_list(tools), log)
        memory = measure_section("memory and 256 MiB", meter, lambda: section_memory(tools), log)
    laa = laa_flag(tools.spibench)
    text = report(info, big, listing, memory, laa, log)
    temp = args.out + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, args.out)
    print(text)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BenchError as e:
        sys.stderr.write("bench: %s\n" % e)
        sys.exit(1)
