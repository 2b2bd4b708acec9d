#!/usr/bin/env python3
"""make bench: every measurement is a row of ROWS, timed by this runner;
bench/report.py turns the figures into results.md.

    bench.py --build ROOT --out results.md [--long] [--quick] [--runs N] [--sections 1,2]

A row of spihost, curl, wget or dd is timed whole by hyperfine; any other
command prints its own figures as "field: value" lines (GetFile inside
spibench.exe, the receive floors, the native fetch), and such rows run in
rounds, one run of each per round. A {w} row runs at each width that runs here
(win64; win32 where tools/runs-i386.py says so). vs: the row a ratio is taken
against. goals: (text, row, op, limit), a line of the targets table each: op
"<=" median / the row's median, "faster" the inverse, "MiB" the median of the
row's own field, "all" every run as expected. nginx serves the static files
over http:// and https://, bench/slowserver.py the rest; a CA made here signs
their certificate and is trusted in each width's prefix for the run only.
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import re
import resource
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness  # noqa: E402  (loopback nginx, list files)
import testpki  # noqa: E402  (the test CA, trusted in one prefix)
import report  # noqa: E402

MIB = 1 << 20
BIG, HUGE, GIANT, SMALL = 64 * MIB, 256 * MIB, 3 << 30, 4096
CAP = BIG + MIB  # a floor's block: the body and room for the response header
WS = "peak_working_set_bytes"
COMMAND_SECONDS = 900.0  # bound on one command (a hyperfine row included)
DISTURBED_CORES, SECTION_ATTEMPTS, RETRY_PAUSE = 0.5, 3, 20.0
QUIET_CORES, QUIET_WINDOW, QUIET_WAIT = 0.2, 10.0, 20 * 60.0
SECTIONS = {1: "200 members, 50 ms server", 2: "64 MiB downloads", 3: "1,000-member listing",
            4: "memory, drip and 256 MiB", 5: "3 GiB member",
            6: "200 members, 50 ms away, kept connections"}
RTT = 0.05  # the relay's round trip
FAR_CURL = "curl -sf --http1.1 --parallel --parallel-max 6 "
LIST = "{spihost} list {d}/"
GET = "{wine} {spibench} bench-get {z}/"
FLOOR = "{wine} {floor} 127.0.0.1 {port} /big64.bin %d " % CAP
SLOW_CURL = "curl -sf --http1.0 -K {d}/slow200.cfg --parallel-max "
S = argparse.Namespace()  # the run's slow server and output directory, for the checks


def row(key, section, runs, label, cmd, **opts):
    how = "hf" if cmd.split()[0] in ("{spihost}", "curl", "wget", "dd") else "in"
    return dict(key=key, section=section, runs=runs, label=label, cmd=cmd, how=how, **opts)


def giant_ok(f, r, to_file=False):
    """Every byte, with the CRC-32 the server computed while sending; at 32
    bits code 6 (the body does not fit the process) leaving no file too."""
    sent = (S.slow.stats()["huge"] or [{"complete": False, "crc32": ""}])[-1]
    path = os.path.join(S.out, str(GIANT))
    if to_file and os.path.exists(path):
        f["bytes"], f["crc32"] = os.path.getsize(path), file_crc32(path)
    left = os.listdir(S.out)
    for name in left:
        os.unlink(os.path.join(S.out, name))
    subprocess.run(["sync"], timeout=COMMAND_SECONDS)  # no dirty pages left for the next run
    whole = f["rc"] == 0 and sent["complete"] and f.get("bytes") == GIANT and \
        f.get("crc32") == sent["crc32"]
    f["outcome"] = "all bytes, CRC-32 equal" if whole else "code %s%s" % (
        f["code"], ", a file left" if left else "")
    return whole or (r["tier"].bits == 32 and f["code"] == 6 and not left)


ROWS = [
    # 1. 200 members of 16 KiB behind the server that waits 50 ms before each answer
    row("slow/{w}", 1, 5, "`spihost list LIST`, {W}", LIST + "slow200.ykt", vs="par6", count=200,
        flight=True, goals=[("{w}: 200-member listing <= 1.5 x curl --parallel-max 6", "par6",
                             "<=", 1.5),
                            ("{w}: 200-member listing >= 4 x faster than curl -K", "seq",
                             "faster", 4)]),
    row("par6", 1, 5, "`curl --http1.0 --parallel --parallel-max 6 -K CFG`",
        SLOW_CURL + "6 --parallel", count=200),
    row("seq", 1, 5, "`curl --http1.0 -K CFG` (one at a time)", SLOW_CURL + "1", vs="par6",
        count=200),
    row("wget", 1, 5, "`wget -q -O /dev/null -i URLS` (one at a time)",
        "wget -q -O /dev/null -i {d}/slow200.txt", vs="par6", count=200),
    row("par200", 1, 5, "server check: `curl --http1.0 --parallel --parallel-max 200 -K CFG`",
        SLOW_CURL + "200 --parallel", vs="par6", count=200),
    row("slow-tls/{w}", 1, 5, "`spihost list LIST` over https://, {W}", LIST + "slow200s.ykt",
        vs="par6-tls", count=200, flight=True,
        goals=[("{w}: 200-member listing over https:// <= 1.5 x curl --parallel-max 6 over "
                "https://", "par6-tls", "<=", 1.5)]),
    row("par6-tls", 1, 5, "`curl --http1.1 --parallel --parallel-max 6 -K CFG` over https://",
        "curl -sf --http1.1 --parallel --parallel-max 6 --cacert {ca} -K {d}/slow200s.cfg",
        vs="par6", count=200),
    # 2. one 64 MiB member (nginx)
    row("curl64", 2, 9, "`curl -s -o /dev/null URL` (whole command)",
        "curl -sf -o /dev/null {web}/big64.bin", bytes=BIG),
    row("curl64-tls", 2, 9, "the same over https:// (`--cacert CA`)",
        "curl -sf -o /dev/null --cacert {ca} {webs}/big64.bin", bytes=BIG, vs="curl64"),
    row("native", 2, 9, "native `HttpFetch`, body kept (clang -O2, in-process)",
        "{tools}/fetch_bench {web}/big64.bin", bytes=BIG, vs="curl64",
        goals=[("native HttpFetch <= 1.25 x curl (64 MiB), kept from before", "curl64", "<=",
                1.25)]),
    row("native-floor", 2, 9, "native floor: recv loop into a fresh malloc'd block, 4 MiB reads",
        "{tools}/native_floor 127.0.0.1 {port} /big64.bin %d fresh 4194304" % CAP, least=BIG,
        vs="curl64"),
    row("get/{w}", 2, 9, "{W} `GetFile`, no progress callback", GET + "big64.ykt 0", bytes=BIG,
        vs="fresh/{w}",
        goals=[("{w}: 64 MiB GetFile <= 1.25 x fresh-block floor (4 MiB reads)", "fresh/{w}",
                "<=", 1.25),
               ("{w}: the same against the touched-block floor, 4 MiB reads (reference)",
                "touched/{w}", "<=", 1.25),
               ("{w}: the same against the touched-block floor, 64 KiB reads, as in earlier "
                "results (reference)", "touched64k/{w}", "<=", 1.25)]),
    row("get-cb/{w}", 2, 9, "{W} `GetFile` with a progress callback",
        GET + "big64.ykt 0 --progress", bytes=BIG, vs="fresh/{w}",
        also=[("{w}: of which after the last progress call (the body was received in place: "
               "no copy)", "seconds_after_last_progress")],
        goals=[("{w}: 64 MiB GetFile, with a progress callback <= 1.25 x fresh-block floor "
                "(4 MiB reads)", "fresh/{w}", "<=", 1.25)]),
    row("get-tls/{w}", 2, 9, "{W} `GetFile` over https://", GET + "big64s.ykt 0", bytes=BIG,
        vs="get/{w}", goals=[("{w}: 64 MiB GetFile over https:// <= 1.6 x the same over "
                              "http://", "get/{w}", "<=", 1.6)]),
    row("get4k/{w}", 2, 9, "{w}: `GetFile` of a 4 KiB member (the process's first fetch)",
        GET + "tiny.ykt 0", bytes=SMALL),
    row("get4k-tls/{w}", 2, 9, "{w}: the same over https:// (a handshake, the first chain build)",
        GET + "tinys.ykt 0", bytes=SMALL, vs="get4k/{w}"),
    row("fresh/{w}", 2, 9, "{w} floor, fresh block, 4 MiB reads", FLOOR + "fresh 4194304",
        least=BIG),
    row("touched/{w}", 2, 9, "{w} floor, touched block, 4 MiB reads", FLOOR + "touched 4194304",
        least=BIG, vs="fresh/{w}"),
    row("touched64k/{w}", 2, 9, "{w} floor, touched block, 64 KiB reads (the floor of earlier "
        "results)", FLOOR + "touched 65536", least=BIG, vs="fresh/{w}"),
    # 3. a listing of 1000 members of 4096 bytes (nginx, no delay)
    row("curl1000", 3, 7, "`curl --http1.0 -s -K CFG` (the same 1000 URLs, one at a time)",
        "curl -sf --http1.0 -K {d}/list1000.cfg", count=1000),
    row("list/{w}", 3, 7, "`spihost list LIST`, {W}", LIST + "list1000.ykt", vs="curl1000",
        count=1000, goals=[("{w}: 1,000 x 4 KiB listing <= 2.0 x curl --http1.0 -K per member",
                            "curl1000", "<=", 2.0)]),
    row("one/{w}", 3, 7, "`spihost list` of a 1-member list (start-up), {w}", LIST + "tiny.ykt"),
    row("one-tls/{w}", 3, 7, "the same over https:// (and a handshake, the first chain build), "
        "{w}", LIST + "tinys.ykt", vs="one/{w}"),
    # 4. memory of an extraction: the peak working set of spibench.exe
    row("ws64/{w}", 4, 9, "{w}: `GetFile` of the 64 MiB member", GET + "big64.ykt 0", field=WS,
        bytes=BIG, goals=[("{w}: 64 MiB extraction peak <= 2 x body + 16 MiB (whole process)",
                           None, "MiB", 144)]),
    row("ws64-cb/{w}", 4, 9, "{w}: the same with a progress callback",
        GET + "big64.ykt 0 --progress", field=WS, bytes=BIG),
    row("ws4k/{w}", 4, 5, "{w}: `GetFile` of a 4 KiB member (the host under Wine)",
        GET + "tiny.ykt 0", field=WS, bytes=SMALL),
    row("drip/{w}", 4, 5, "{w}: `GetFile` while the server announces 1.5 GB and drips for 3 s",
        GET + "drip.ykt 0 --progress", field=WS,
        ok=lambda f, r: f["code"] == 6,  # the body ends short of its length: a failed download
        goals=[("{w}: peak while 1.5 GB is announced and bytes drip <= 20 MiB (whole process)",
                None, "MiB", 20)]),
    row("ws256/{w}", 4, 5, "{w}: `GetFile` of a 256 MiB member", GET + "big256.ykt 0", field=WS,
        bytes=HUGE, bits=32, may_fail=True,
        goals=[("{w}: a 256 MiB member extracts in a host without the large-address-aware "
                "flag, kept from before", None, "all", None)]),
    # 5. the 3 GiB member, generated by the server (bench-long)
    row("glist/{w}", 5, 5, "{w}: `spihost list`, size 3221225472 shown", LIST + "giant.ykt"),
    row("gmem/{w}", 5, 5, "{w}: `GetFile` to memory", GET + "giant.ykt 0 --progress --crc32",
        may_fail=True, ok=giant_ok,
        also=[("{w}: of which after the last progress call (the copy)",
               "seconds_after_last_progress")],
        goals=[("{w}: 3 GiB to memory: every byte, CRC-32 equal (32 bits: code 6)", None, "all",
                None)]),
    row("gfile/{w}", 5, 5, "{w}: `GetFile` to a file", GET + "giant.ykt 0 --progress --to {zout}",
        may_fail=True, ok=lambda f, r: giant_ok(f, r, True),
        also=[("{w}: of which after the last progress call", "seconds_after_last_progress")],
        goals=[("{w}: 3 GiB to a file: every byte, CRC-32 equal (32 bits: or code 6, no file "
                "left)", None, "all", None)]),
    row("dd", 5, 5, "Linux: `dd if=/dev/zero bs=16M count=192` into the same directory",
        "dd if=/dev/zero of={out}/dd.bin bs=16M count=192", prepare="sync"),
    # 6. 200 members of 16 KiB from a keep-alive nginx behind the 50 ms relay
    row("far/{w}", 6, 5, "`spihost list LIST`, {W}", LIST + "far200.ykt", vs="far-curl", count=200,
        relayed=True, goals=[("{w}: 200 members 50 ms away <= 1.2 x curl --parallel-max 6",
                              "far-curl", "<=", 1.2)]),
    row("far-curl", 6, 5, "`curl --http1.1 --parallel --parallel-max 6 -K CFG`",
        FAR_CURL + "-K {d}/far200.cfg", count=200, relayed=True),
    row("far-tls/{w}", 6, 5, "`spihost list LIST` over https://, {W}", LIST + "far200s.ykt",
        vs="far-curl-tls", count=200, relayed=True,
        goals=[("{w}: the same over https:// <= 1.2 x curl over https://", "far-curl-tls", "<=",
                1.2)]),
    row("far-curl-tls", 6, 5, "the same curl over https://", FAR_CURL + "--cacert {ca} -K "
        "{d}/far200s.cfg", count=200, relayed=True, vs="far-curl"),
    # ... and what the cache saves: the viewer's extraction and second listing after a listing
    row("far-x/{w}", 6, 5, "`spihost extract LIST` (the listing, then every member), {W}",
        "{spihost} extract {d}/far200.ykt -o {d}/far-out", vs="far/{w}", count=200, relayed=True,
        goals=[("{w}: list, then extract every member in one process <= 1.3 x the listing alone",
                "far/{w}", "<=", 1.3),
               ("{w}: the same: requests the server saw per member", None, "per member", 1.0)]),
    row("far-x-tls/{w}", 6, 5, "the same over https://, {W}",
        "{spihost} extract {d}/far200s.ykt -o {d}/far-out", vs="far-tls/{w}", count=200,
        relayed=True,
        goals=[("{w}: the same over https:// <= 1.3 x the listing alone", "far-tls/{w}", "<=",
                1.3),
               ("{w}: the same over https://: requests the server saw per member", None,
                "per member", 1.0)]),
    row("far-again/{w}", 6, 5, "`spihost list LIST --again` (a second listing in the same "
        "process), {W}", LIST + "far200.ykt --again", vs="far/{w}", count=200, relayed=True,
        goals=[("{w}: a second listing in one process: bodies downloaded again", None,
                "bodies again", 0)]),
]


# ------------------------------------------------------------------ running

def run(cmd, env=None):
    """(rc, stdout, stderr); output through files, never pipes, which Wine's
    background processes could hold open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        rc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                            timeout=COMMAND_SECONDS).returncode
        out.seek(0)
        err.seek(0)
        return rc, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def must(ok, what, out="", err=""):
    if not ok:
        raise RuntimeError("%s\nstdout: %s\nstderr: %s" % (what, out[-2000:], err[-2000:]))


def file_crc32(path):
    crc = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(16 * MIB), b""):
            crc = zlib.crc32(block, crc)
    return "%08x" % crc


def run_hyperfine(r, cmd):
    """The row timed by hyperfine: each run's seconds, the median, min, max."""
    with tempfile.NamedTemporaryFile(suffix=".json") as js:
        rc, out, err = run(["hyperfine", "-N", "--style", "none", "--runs", str(r["runs"]),
                            "--export-json", js.name] + ["--prepare", r.get("prepare", "true")] +
                           [cmd], r["env"])
        must(rc == 0, "%s: %s failed" % (r["key"], cmd), out, err)
        got = json.load(js)["results"][0]
    return {"seconds": got["times"], "median": got["median"], "min": got["min"], "max": got["max"]}


def run_once(r, cmd, into):
    """One run of a row that prints its figures: each field appended to its list in `into`."""
    rc, out, err = run(shlex.split(cmd), r["env"])
    f = {"rc": rc}
    for name, _, value in (line.partition(": ") for line in out.splitlines()):
        if value:
            f[name] = value.strip() if name == "crc32" else float(value)
    code = re.search(r"GetFile returned (-?\d+)", err)
    f["code"] = int(code.group(1)) if code else None
    ok = r["ok"](f, r) if "ok" in r else rc == 0 and (
        f.get("bytes") == r["bytes"] if "bytes" in r else f.get("bytes", 0) > r["least"])
    must(ok or r.get("may_fail"), "%s: %s gave %s" % (r["key"], cmd, f), out, err)
    f.setdefault("outcome", "as expected" if ok else "code %s" % f["code"])
    f["ok"] = bool(ok)
    for name, value in f.items():
        into.setdefault(name, []).append(value)


def run_section(rows, ctx):
    """The section's figures by row key: the hyperfine rows one after another,
    then the others in rounds."""
    got = {}
    for r in (r for r in rows if r["how"] == "hf"):
        if r.get("flight"):
            S.slow.stats(reset=True)
        if r.get("relayed"):
            S.relay.stats(reset=True)
            logged = len(S.kept.access_log())
        got[r["key"]] = run_hyperfine(r, r["cmd"].format(**ctx, **r["ctx"]))
        if r.get("flight"):  # the most connections the listing kept in flight at once
            got[r["key"]]["flight"] = S.slow.stats()["max_in_flight"]
        if r.get("relayed"):  # connections opened per run, as the relay counted them
            got[r["key"]]["connections"] = S.relay.stats()["connections"] / r["runs"]
            # and the requests the server logged per run, and of them those with a body
            seen = S.kept.access_log()[logged:]
            got[r["key"]]["requests"] = len(seen) / r["runs"]
            got[r["key"]]["bodies"] = sum(1 for *_, status in seen if status == 200) / r["runs"]
    inner = [r for r in rows if r["how"] == "in"]
    for i in range(max([r["runs"] for r in inner] or [0])):
        for r in (r for r in inner if i < r["runs"]):
            run_once(r, r["cmd"].format(**ctx, **r["ctx"]), got.setdefault(r["key"], {}))
    for r in inner:
        xs = got[r["key"]][r.get("field", "seconds")]
        got[r["key"]].update(median=statistics.median(xs), min=min(xs), max=max(xs))
    return got


def expand(tiers, runs, long):
    """ROWS as they run here: a {w} row once per width, {w} and {W} filled in."""
    def fill(x, t):
        if isinstance(x, str):
            return x.replace("{w}", t.name).replace("{W}", t.label)
        return type(x)(fill(y, t) for y in x) if isinstance(x, (list, tuple)) else x
    out = []
    for r in (r for r in ROWS if r["section"] != 5 or long):
        for t in (tiers if "{w}" in r["key"] else [None]):
            if t is None or r.get("bits", t.bits) == t.bits:
                out.append(dict({k: fill(v, t) if t else v for k, v in r.items()}, tier=t,
                                ctx=t.ctx if t else {}, env=t.env if t else None,
                                runs=min(r["runs"], runs or r["runs"])))
    return out


# ------------------------------------------------------------ the run's parts

class Tier:
    """One Windows build tree: its plug-in, spihost, spibench and prefix."""

    def __init__(self, name, build, tools):
        self.name, self.tree = name, os.path.join(build, name)
        self.bits = 64 if name == "win64" else 32
        self.label = "%s (`%s`)" % (name, "KESTA.SPH" if self.bits == 64 else "KESTA.SPI")
        self.prefix = os.path.join(self.tree, "wineprefix")
        self.wine_run = os.path.join(self.tree, "wine-run")
        self.ctx = {"wine": self.wine_run, "spibench": os.path.join(self.tree, "spibench.exe"),
                    "floor": os.path.join(tools, "floor%d.exe" % self.bits)}
        self.env = dict(os.environ, KESTA_BUILD=self.tree, KESTA_WINE_WARM="1", LC_ALL="C.UTF-8")

    def start(self):
        """Runs spihost once (which makes the prefix the first time), then
        keeps the prefix's server up, so that no timed start pays its boot."""
        rc, out, err = run([os.path.join(REPO, "spihost"), "info"], dict(self.env,
                                                                           KESTA_WINE_WARM=""))
        must(rc == 0, "%s: spihost info failed" % self.name, out, err)
        for flag in ("-k", "-w", "-p"):
            self.wineserver(flag)

    def wineserver(self, flag):
        subprocess.run(["wineserver", flag], env=dict(os.environ, WINEPREFIX=self.prefix),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


class Helper:
    """One of bench/'s Python servers while the context lasts: started with
    a file to write its ports into, read once it has; stats() asks the port
    named by control_port."""

    def __init__(self, work, script, args):
        port_file = os.path.join(work, script + ".ports")
        self.proc = subprocess.Popen([sys.executable, "-B", os.path.join(HERE, script), port_file]
                                     + args, stdin=subprocess.DEVNULL)
        for _ in range(200):  # 10 s at most
            if os.path.exists(port_file) or self.proc.poll() is not None:
                break
            time.sleep(0.05)
        with open(port_file) as f:
            self.ports = [int(p) for p in f.read().split()]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=30)

    def stats(self, reset=False):
        url = "http://127.0.0.1:%d/stats%s" % (self.control_port, "/reset" if reset else "")
        with urllib.request.urlopen(url, timeout=30) as r:
            return json.loads(r.read().decode())


class SlowServer(Helper):
    """bench/slowserver.py: port (http://, and its stats) and tls_port."""

    def __init__(self, work, chain, key):
        super().__init__(work, "slowserver.py", ["0.05", chain, key])
        self.port, self.tls_port = self.ports
        self.control_port = self.port


class Relay(Helper):
    """bench/relay.py in front of the keep-alive nginx's two ports: far_port
    (http://), far_tls_port (https://) and its stats' port."""

    def __init__(self, work, ports):
        super().__init__(work, "relay.py", [str(RTT)] + [str(p) for p in ports])
        self.far_port, self.far_tls_port, self.control_port = self.ports


def write_data(d, web, slow, with_huge, relay):
    """The served files, the URL lists and the curl and wget inputs under d."""
    os.makedirs(os.path.join(d, "www", "m"))
    os.makedirs(os.path.join(d, "out"))
    os.makedirs(os.path.join(d, "far-out"))  # apart from out/, which the 3 GiB rows empty
    small = ["m/%04d.bin" % i for i in range(1000)]
    for name, size in [("big64.bin", BIG)] + [("big256.bin", HUGE)] * with_huge + [
            (n, SMALL) for n in small]:
        with open(os.path.join(d, "www", name), "wb") as f:
            for _ in range(0, size, 4 * MIB):
                f.write(os.urandom(min(size, 4 * MIB)))
    os.makedirs(os.path.join(d, "www", "far"))
    # Dated a month back, as images long on a server are: the cache takes
    # them as fresh for 5 minutes (a tenth of their age, at most 5 minutes).
    month_ago = time.time() - 30 * 86400
    for i in range(200):
        path = os.path.join(d, "www", "far", "%03d.bin" % i)
        with open(path, "wb") as f:
            f.write(os.urandom(16 * 1024))
        os.utime(path, (month_ago, month_ago))
    far200 = ["http://127.0.0.1:%d/far/%03d.bin" % (relay.far_port, i) for i in range(200)]
    far200s = ["https://localhost:%d/far/%03d.bin" % (relay.far_tls_port, i) for i in range(200)]
    slow200 = ["http://127.0.0.1:%d/slow/%03d.bin" % (slow.port, i) for i in range(200)]
    slow200s = ["https://localhost:%d/slow/%03d.bin" % (slow.tls_port, i) for i in range(200)]
    lists = {"big64": [web.url("big64.bin")], "big64s": [web.https_url("big64.bin", "good")],
             "big256": [web.url("big256.bin")], "tiny": [web.url(small[0])],
             "tinys": [web.https_url(small[0], "good")], "list1000": [web.url(n) for n in small],
             "slow200": slow200, "slow200s": slow200s, "far200": far200, "far200s": far200s,
             "drip": ["http://127.0.0.1:%d/drip" % slow.port],
             "giant": ["http://127.0.0.1:%d/huge/%d" % (slow.port, GIANT)]}
    for name, urls in lists.items():
        harness.write_list(os.path.join(d, name + ".ykt"), urls)
        with open(os.path.join(d, name + ".cfg"), "w") as f:
            f.write("".join('url = "%s"\noutput = "/dev/null"\n' % u for u in urls))
    with open(os.path.join(d, "slow200.txt"), "w") as f:
        f.write("".join(u + "\n" for u in slow200))


# ------------------------------------------------------- load while measuring

TICK = os.sysconf("SC_CLK_TCK")


def cpu_of(pid):
    with contextlib.suppress(OSError):
        with open("/proc/%d/stat" % pid) as f:
            rest = f.read().rsplit(")", 1)[1].split()
        return (int(rest[11]) + int(rest[12])) / TICK  # utime, stime
    return 0.0


def our_servers(prefixes, pids):
    """The given pids and every process of our prefixes (the wineservers and
    Wine's services: what runs with WINEPREFIX set to one of them)."""
    marks = {("WINEPREFIX=" + p).encode() for p in prefixes}
    for p in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open("/proc/%s/environ" % p, "rb") as f:
            if marks & set(f.read().split(b"\0")):
                pids.append(int(p))
    return pids


def snapshot(servers):
    with open("/proc/stat") as f:  # user nice system idle iowait irq softirq steal
        t = [int(x) / TICK for x in f.readline().split()[1:9]]
    own = sum(u.ru_utime + u.ru_stime for u in map(
        resource.getrusage, (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)))
    return {"time": time.monotonic(), "busy": sum(t) - t[3] - t[4] - t[7], "niced": t[1],
            "steal": t[7], "own": own, "servers": {p: cpu_of(p) for p in servers},
            "load": os.getloadavg()[0]}


def others(a, b):
    """Cores used on average from snapshot a to b by other processes (niced
    ones apart: they yield to ours at once) and taken by the hypervisor."""
    wall = max(b["time"] - a["time"], 1e-6)
    ours = b["own"] - a["own"] + sum(c - a["servers"].get(p, 0.0) for p, c in b["servers"].items())
    other = max(0.0, (b["busy"] - a["busy"] - ours) / wall)
    niced = min(other, (b["niced"] - a["niced"]) / wall)
    return {"others": other - niced, "niced": niced, "steal": (b["steal"] - a["steal"]) / wall,
            "seconds": wall, "load_before": a["load"], "load_after": b["load"]}


def wait_for_quiet(max_wait, servers):
    """Polls until other processes use under QUIET_CORES over QUIET_WINDOW,
    for max_wait seconds at most."""
    start = time.monotonic()
    while True:
        a = snapshot(servers)
        time.sleep(QUIET_WINDOW)
        got = others(a, snapshot(servers))
        busy = got["others"] + got["niced"] + got["steal"]
        got.update(quiet=busy < QUIET_CORES, busy=busy, waited=time.monotonic() - start)
        print("bench: other processes used %.2f cores over %.0f s" % (busy, QUIET_WINDOW))
        if got["quiet"] or got["waited"] >= max_wait:
            return got
        time.sleep(min(30.0, max(0.0, max_wait - got["waited"])))


def measure_section(number, rows, ctx, servers, attempts):
    """The section's figures and load, measured again while others disturbed
    it (`attempts` times at most); the quietest attempt counts."""
    best = None
    for attempt in range(1, attempts + 1):
        a = snapshot(servers)
        got = run_section(rows, ctx)
        b = snapshot(servers)
        slow = S.slow.proc.pid
        load = dict(others(a, b), name=SECTIONS[number], slow_cores=(
            b["servers"][slow] - a["servers"][slow]) / (b["time"] - a["time"]))
        load["disturbance"] = load["others"] + load["steal"]
        print("  attempt %d: %.1f s, other processes %.2f cores (+ %.2f niced), stolen %.2f" % (
            attempt, load["seconds"], load["others"], load["niced"], load["steal"]), flush=True)
        if best is None or load["disturbance"] < best[1]["disturbance"]:
            best = (got, load)
        if load["disturbance"] <= DISTURBED_CORES or attempt == attempts:
            best[1]["attempts"] = attempt
            return best
        time.sleep(RETRY_PAUSE)


# ------------------------------------------------------------------- main

def first_line(cmd):
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        rc, out, err = run(cmd)
        return ((out or err).strip().splitlines() or ["?"])[0]
    return "?"


def machine():
    def grep(path, key):
        with open(path) as f:
            found = (l.split(key, 1)[1].strip().strip('"') for l in f if l.startswith(key))
            return next(found, "?")
    return [("CPU", grep("/proc/cpuinfo", "model name\t:")), ("cores", str(os.cpu_count())),
            ("memory", "%.1f GiB" % (int(grep("/proc/meminfo", "MemTotal:").split()[0]) / MIB)),
            ("system", grep("/etc/os-release", "PRETTY_NAME=")), ("kernel", platform.release())] + [
        (cmd[0].split("/")[-1], first_line(cmd)) for cmd in (
            ["/usr/lib/wine/wine64", "--version"], ["hyperfine", "-V"], ["curl", "--version"],
            ["wget", "--version"], ["nginx", "-v"], [sys.executable, "--version"],
            ["clang++", "--version"], ["x86_64-w64-mingw32-g++-posix", "--version"])]


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="the directory of win64 and win32")
    p.add_argument("--out", required=True, help="the results file to write")
    p.add_argument("--long", action="store_true", help="the 3 GiB member too")
    p.add_argument("--quick", action="store_true", help="2 runs a row, no waiting or retries")
    p.add_argument("--runs", type=int, help="at most this many runs of any row")
    p.add_argument("--sections", help="only these sections: 1,2,...")
    p.add_argument("--quiet-wait", type=float, default=QUIET_WAIT,
                   help="seconds to wait at most for a quiet machine")
    args = p.parse_args(argv)
    runs = 2 if args.quick else args.runs
    build = os.path.abspath(args.build)
    tools, work = os.path.join(build, "bench"), os.path.join(build, "bench", "data")
    rc, why, _ = run([sys.executable, "-B", os.path.join(REPO, "tools", "runs-i386.py"),
                      os.path.join(tools, "runs-i386")])
    tiers = [Tier(n, build, tools) for n in ["win64"] + ["win32"] * (rc == 0)]
    rows = expand(tiers, runs, args.long)
    wanted = {int(s) for s in args.sections.split(",")} if args.sections else set(SECTIONS)
    for sig in (signal.SIGTERM, signal.SIGHUP):  # unwind, so that every server stops
        signal.signal(sig, lambda n, _: sys.exit(128 + n))
    results = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "long": args.long, "skipped": why.strip() if rc else None, "rows": {}, "load": [],
               "tiers": [t.label for t in tiers], "runs_capped": runs, "machine": machine(),
               "laa": [first_line(["sh", "-c", "i686-w64-mingw32-objdump -p '%s' | grep "
                                   "^Characteristics" % t.ctx["spibench"]])
                       for t in tiers if t.bits == 32]}
    subprocess.run(["rm", "-rf", work])
    os.makedirs(work)
    try:
        with contextlib.ExitStack() as stack:
            pki = testpki.make_pki(os.path.join(work, "pki"))
            for t in tiers:
                stack.callback(t.wineserver, "-k")
                t.start()
                stack.enter_context(testpki.trusted_ca(pki.ca, t.wine_run))
            tls = {"good": harness.Tls(pki.good.chain, pki.good.key)}
            web = stack.enter_context(harness.Nginx(os.path.join(work, "www"), tls=tls))
            # The far members: a second nginx of the same files that keeps
            # connections, as real servers do, behind the relay.
            kept = stack.enter_context(harness.Nginx(os.path.join(work, "www"), tls=tls,
                                                     keepalive=True))
            S.kept = kept
            S.relay = stack.enter_context(Relay(work, [kept.port, kept.tls_ports["good"]]))
            S.slow = stack.enter_context(SlowServer(work, pki.good.chain, pki.good.key))
            S.out = os.path.join(work, "out")
            must(all(harness.wait_accepting(p, 10) for p in (S.slow.port, S.slow.tls_port)),
                 "bench/slowserver.py does not accept")
            print("bench: widths %s; writing the served files under %s" % (
                ", ".join(t.name for t in tiers), work), flush=True)
            write_data(work, web, S.slow, any(t.bits == 32 for t in tiers), S.relay)
            ctx = {"spihost": os.path.join(REPO, "spihost"), "tools": tools, "d": work,
                   "z": "Z:" + work, "out": S.out, "zout": "Z:" + S.out, "ca": pki.ca,
                   "port": web.port, "web": web.url("").rstrip("/"),
                   "webs": web.https_url("", "good").rstrip("/")}
            servers = our_servers([t.prefix for t in tiers], [web.proc.pid, S.slow.proc.pid,
                                                              kept.proc.pid, S.relay.proc.pid])
            results["quiet"] = wait_for_quiet(0 if args.quick else args.quiet_wait, servers)
            for number in sorted(wanted & {r["section"] for r in rows}):
                print("bench: section %d, %s" % (number, SECTIONS[number]), flush=True)
                section = [r for r in rows if r["section"] == number]
                got, load = measure_section(number, section, ctx, servers,
                                            1 if args.quick else SECTION_ATTEMPTS)
                results["load"].append(load)
                for r in section:
                    results["rows"][r["key"]] = dict(got[r["key"]], **{k: r.get(k) for k in (
                        "label", "section", "vs", "goals", "also", "count", "field", "bytes",
                        "least")})
                results["rtt"] = RTT
    finally:
        subprocess.run(["rm", "-rf", work])
    with open(os.path.join(tools, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(args.out + ".tmp", "w") as f:
        f.write(report.write(results))
    os.replace(args.out + ".tmp", args.out)
    print("bench: wrote %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
