"""spihost and the plug-in under Wine against a real nginx on loopback:
listings, lookups and extractions of files whose sizes and modification
times we set, error pages, a port nobody listens on, and the ./spihost wrapper.
"""

import datetime
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import harness

MIB = 1024 * 1024
# Served files: name -> (size, mtime). The mtimes reach the listing through
# nginx's Last-Modified; they span the 32-bit range the plug-in can express.
SERVED = {
    "empty.bin": (0, 1),  # 1970-01-01T00:00:01Z
    "four_k.bin": (4096, 951782400),  # 2000-02-29T00:00:00Z, a leap day
    "big.bin": (8 * MIB + 123, 1234567890),  # 2009-02-13T23:31:30Z
    "odd.png": (777, 2147483647),  # 2038-01-19T03:14:07Z, the last 32-bit second
}
GOOD = ["empty.bin", "four_k.bin", "big.bin", "odd.png"]
RECEIVE_SECONDS = 10.0  # bound on one raw request to nginx
CLOCK_SLACK = 5  # seconds between our clock reading and nginx's Date field


def raw_get(port, path):
    """The body nginx sends for an HTTP/1.0 GET of `path` taken verbatim
    (spaces included), as the plug-in sends it."""
    request = ("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode("latin-1")
    chunks = []
    with socket.create_connection((harness.LOOPBACK, port), timeout=RECEIVE_SECONDS) as s:
        s.sendall(request)
        deadline = time.monotonic() + RECEIVE_SECONDS
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    response = b"".join(chunks)
    return response.split(b"\r\n\r\n", 1)[1]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def line_starts(data):
    """Offsets of every 'http://' that starts a line of the list bytes."""
    starts, offset = [], 0
    for line in data.splitlines(keepends=True):
        if line.startswith(b"http://"):
            starts.append(offset)
        offset += len(line)
    return starts


def file_size_limit(cap):
    """A preexec_fn that caps the size of files the child writes (None: no cap);
    a write past it then fails (EFBIG) instead of raising SIGXFSZ."""
    if cap is None:
        return None

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (cap, cap))
    return limit


def utc_text(seconds):
    m = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    return "%04d-%02d-%02dT%02d:%02d:%02dZ" % (m.year, m.month, m.day, m.hour, m.minute, m.second)


class NginxCase(unittest.TestCase):
    """One nginx and one set of served files for the whole module."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kesta-e2e-")
        cls.root = os.path.join(cls.tmp, "www")
        os.mkdir(cls.root)
        cls.content = harness.write_served(cls.root, SERVED)
        cls.web = harness.Nginx(cls.root)
        cls.web.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.web.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def write_list(self, name, members, newline="\r\n"):
        path = os.path.join(self.tmp, name)
        return harness.write_list(path, [self.web.url(m) for m in members], newline)

    def out_dir(self):
        path = tempfile.mkdtemp(dir=self.tmp, prefix="out-")
        return path

    def spihost_ok(self, *args):
        r = harness.run_spihost(*args)
        self.assertEqual(r.returncode, 0, "spihost %s\nstdout:%s\nstderr:%s"
                         % (" ".join(map(str, args)), r.stdout, r.stderr))
        return r

    def listing(self, path, *extra):
        return harness.parse_listing(self.spihost_ok("list", path, "--seconds", *extra).stdout)


class ListingTest(NginxCase):
    def test_sizes_times_and_positions_for_each_line_end(self):
        for newline in ("\n", "\r\n"):
            with self.subTest(newline=repr(newline)):
                path = self.write_list("good.ykt", GOOD, newline)
                positions = line_starts(read_bytes(path))
                expected = [(positions[i], SERVED[n][0], SERVED[n][1], n)
                            for i, n in enumerate(GOOD)]
                self.assertEqual(self.listing(path), expected)

    def test_memory_image_lists_like_the_file(self):
        for newline in ("\n", "\r\n"):
            with self.subTest(newline=repr(newline)):
                path = self.write_list("mem.ykt", GOOD, newline)
                self.assertEqual(self.listing(path, "--memory"), self.listing(path))

    def test_date_column_is_the_seconds_as_utc(self):
        path = self.write_list("dates.ykt", GOOD)
        seconds = self.listing(path)
        dated = self.spihost_ok("list", path).stdout.splitlines()[1:]
        self.assertEqual(len(dated), len(seconds))
        for (pos, size, stamp, name), line in zip(seconds, dated):
            self.assertEqual(line, "%d %d %s %s" % (pos, size, utc_text(stamp), name))

    def test_error_pages_are_the_content(self):
        # 404 for a missing file, one whose address holds a space (sent as
        # %20; the member name keeps the space) among them. Their timestamp is
        # nginx's Date: now.
        rows = [
            ("missing.png", "/missing.png"),
            ("with space.bin", "/with%20space.bin"),
        ]
        path = self.write_list("errors.ykt", [name for name, _ in rows])
        before = int(time.time()) - CLOCK_SLACK
        listed = self.listing(path)
        after = int(time.time()) + CLOCK_SLACK
        self.assertEqual([r[3] for r in listed], [name for name, _ in rows])
        for (name, request), (_, size, stamp, _) in zip(rows, listed):
            body = raw_get(self.web.port, request)
            self.assertEqual(size, len(body), name)
            self.assertTrue(before <= stamp <= after, "%s: %d not in [%d, %d]"
                            % (name, stamp, before, after))
        out = self.out_dir()
        self.spihost_ok("extract", path, "missing.png", "-o", out)
        with open(os.path.join(out, "missing.png"), "rb") as f:
            self.assertEqual(f.read(), raw_get(self.web.port, "/missing.png"))

    def test_unreachable_member_lists_empty_between_good_ones(self):
        dead = "http://127.0.0.1:%d/gone.png" % harness.free_port()
        path = os.path.join(self.tmp, "dead.ykt")
        harness.write_list(path, [dead, self.web.url("four_k.bin"), dead])
        listed = self.listing(path)
        self.assertEqual([(r[1], r[2], r[3]) for r in listed], [
            (0, 0, "gone.png"),
            (4096, SERVED["four_k.bin"][1], "four_k.bin"),
            (0, 0, "gone.png"),
        ])
        r = harness.run_spihost("extract", path, "four_k.bin", "-o", self.out_dir())
        self.assertEqual(r.returncode, 0, r.stderr)
        out = self.out_dir()
        r = harness.run_spihost("extract", path, "-o", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("spihost: GetFileW returned 6", r.stderr)
        # The last line counts the files written, not the members tried.
        self.assertEqual(r.stderr.splitlines()[-1], "spihost: 1 file written into %s" % out)


class ExtractTest(NginxCase):
    def test_extracted_bytes_equal_the_served_files(self):
        modes = [
            ("host writes, file input", []),
            ("plug-in writes, file input", ["--plugin-writes"]),
            ("host writes, memory input", ["--memory"]),
            ("plug-in writes, memory input", ["--memory", "--plugin-writes"]),
        ]
        path = self.write_list("all.ykt", GOOD)
        for label, extra in modes:
            with self.subTest(mode=label):
                out = self.out_dir()
                r = self.spihost_ok("extract", path, "-o", out, *extra)
                self.assertEqual(len(r.stdout.splitlines()), len(GOOD), r.stdout)
                for name in GOOD:
                    with open(os.path.join(out, name), "rb") as f:
                        self.assertTrue(f.read() == self.content[name],
                                        "%s: %s differs" % (label, name))
                    self.assertIn("%s %d -> " % (name, SERVED[name][0]), r.stdout)
                self.assertIn("spihost: %d files written into %s" % (len(GOOD), out),
                              r.stderr.splitlines())

    def test_extraction_replaces_an_existing_file(self):
        path = self.write_list("replace.ykt", ["four_k.bin"])
        for extra in ([], ["--plugin-writes"]):
            with self.subTest(extra=extra):
                out = self.out_dir()
                with open(os.path.join(out, "four_k.bin"), "wb") as f:
                    f.write(b"x" * 10000)  # longer than the body: must not survive
                self.spihost_ok("extract", path, "-o", out, *extra)
                with open(os.path.join(out, "four_k.bin"), "rb") as f:
                    self.assertTrue(f.read() == self.content["four_k.bin"])

    def test_named_members_only(self):
        path = self.write_list("named.ykt", GOOD)
        rows = [
            (["odd.png"], 0, ["odd.png"]),
            (["odd.png", "empty.bin"], 0, ["odd.png", "empty.bin"]),
            (["nothere.png"], 1, []),
            (["ODD.PNG"], 1, []),  # names match with case
        ]
        for names, code, written in rows:
            with self.subTest(names=names):
                out = self.out_dir()
                r = harness.run_spihost("extract", path, *names, "-o", out)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(sorted(os.listdir(out)), sorted(written))


class UnsafeNameTest(NginxCase):
    def test_device_and_dotted_names_are_never_written(self):
        # Windows opens a device for CON or LPT1.TXT in any directory, and
        # drops trailing dots; neither writer may create such a file.
        rows = [  # member name, host's complaint, code from a plug-in that writes
            ("CON", "refusing to write member name 'CON'", 8),
            ("lpt1.txt", "refusing to write member name 'lpt1.txt'", 8),
            ("dots...", "refusing to write member name 'dots...'", 8),
        ]
        path = self.write_list("unsafe.ykt", [name for name, _, _ in rows] + ["four_k.bin"])
        for extra in ([], ["--plugin-writes"]):
            for name, complaint, code in rows:
                with self.subTest(name=name, extra=extra):
                    parent = self.out_dir()
                    out = os.path.join(parent, "d")
                    os.mkdir(out)
                    r = harness.run_spihost("extract", path, name, "-o", out, *extra)
                    self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                    expected = ("GetFileW returned %d" % code) if extra else complaint
                    self.assertIn(expected, r.stderr)
                    self.assertEqual(os.listdir(out), [])
                    self.assertEqual(os.listdir(parent), ["d"])


class SharedNameTest(NginxCase):
    def test_members_that_share_a_name_are_each_written(self):
        # Four members named 1.jpg, 1.jpg, "1 (2).jpg" and 1.JPG (the same
        # file name to Windows). Later ones get the first numbered name that
        # no selected member has; the line of each says where it went.
        served = {"a/1.jpg": b"first", "b/1.jpg": b"second", "c/1.JPG": b"third",
                  "d/1 (2).jpg": b"fourth"}  # requested as /d/1%20(2).jpg
        for name, data in served.items():
            os.makedirs(os.path.join(self.root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(data)
        path = self.write_list("shared.ykt", ["a/1.jpg", "b/1.jpg", "d/1 (2).jpg", "c/1.JPG"])
        every = {"1.jpg": "a/1.jpg", "1 (3).jpg": "b/1.jpg", "1 (2).jpg": "d/1 (2).jpg",
                 "1 (4).JPG": "c/1.JPG"}
        rows = [  # arguments, files written: file name -> served member
            ([], every),
            (["--plugin-writes"], every),
            (["1.jpg"], {"1.jpg": "a/1.jpg", "1 (2).jpg": "b/1.jpg"}),
            (["1.jpg", "--plugin-writes"], {"1.jpg": "a/1.jpg", "1 (2).jpg": "b/1.jpg"}),
        ]
        for args, files in rows:
            with self.subTest(args=args):
                out = self.out_dir()
                r = self.spihost_ok("extract", path, "-o", out, *args)
                self.assertEqual(sorted(os.listdir(out)), sorted(files))
                for file_name, member in files.items():
                    self.assertEqual(read_bytes(os.path.join(out, file_name)), served[member])
                    line = "%s %d -> %s/%s" % (os.path.basename(member), len(served[member]),
                                               out, file_name)
                    self.assertIn(line, r.stdout.splitlines())


class WriteTest(NginxCase):
    def test_writes_leave_no_partial_file_and_clobber_nothing(self):
        # A file-size limit stops the write of big.bin half-way, as a full
        # disk would: the old file stays whole and no temporary file remains.
        # A one-letter member's temporary names are "~" and single letters:
        # an existing "~" is no temporary file of ours and keeps its bytes.
        with open(os.path.join(self.root, "x"), "wb") as f:
            f.write(b"new x")
        path = self.write_list("writes.ykt", ["big.bin", "x"])
        limit = 4 * MIB  # below big.bin, above anything Wine writes to its prefix
        rows = [  # member, file-size limit, files before, exit code, files after
            ("big.bin", limit, {"big.bin": b"old"}, 1, {"big.bin": b"old"}),
            ("x", None, {"x": b"old x", "~": b"mine"}, 0, {"x": b"new x", "~": b"mine"}),
        ]
        for member, cap, before, code, after in rows:
            for extra in ([], ["--plugin-writes"]):
                with self.subTest(member=member, extra=extra):
                    out = self.out_dir()
                    for name, data in before.items():
                        with open(os.path.join(out, name), "wb") as f:
                            f.write(data)
                    harness.run_spihost("info")  # Wine's server up before any limit applies
                    r = harness.run_spihost("extract", path, member, "-o", out, *extra,
                                            preexec_fn=file_size_limit(cap))
                    self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                    self.assertEqual({n: read_bytes(os.path.join(out, n))
                                      for n in os.listdir(out)}, after)


class UnicodeTest(NginxCase):
    def test_names_the_ansi_code_page_cannot_spell(self):
        # Wine's ANSI code page here is 1252: the Unicode entry points take
        # the list and the output folder, the ANSI ones (--ansi) refuse them.
        folder = os.path.join(self.tmp, "日本語")
        os.makedirs(os.path.join(folder, "出力"), exist_ok=True)
        path = self.write_list(os.path.join("日本語", "一覧.ykt"), ["four_k.bin", "odd.png"])
        plain = self.write_list("plain.ykt", ["four_k.bin", "odd.png"])
        listed = self.listing(plain)
        rows = [  # arguments, exit code, output folder inside 日本語
            (["list", path, "--seconds"], 0, False),
            (["list", plain, "--seconds", "--ansi"], 0, False),
            (["show", path, "odd.png"], 0, False),
            (["extract", path], 0, True),
            (["extract", path, "--plugin-writes"], 0, True),
            (["extract", path, "--memory"], 0, True),
            (["extract", plain, "--ansi"], 0, False),
            (["extract", plain, "--ansi", "--plugin-writes"], 0, False),
            (["list", path, "--ansi"], 1, False),
            (["extract", plain, "--ansi", "--plugin-writes"], 1, True),
        ]
        for args, code, inside in rows:
            with self.subTest(args=args, inside=inside):
                out = tempfile.mkdtemp(dir=os.path.join(folder, "出力") if inside else self.tmp)
                if args[0] == "extract":
                    args = args + ["-o", out]
                r = harness.run_spihost(*args)
                self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                if code:
                    self.assertIn("code page 1252 cannot spell it", r.stderr)
                    self.assertEqual(os.listdir(out), [])
                elif args[0] == "list":
                    self.assertEqual(harness.parse_listing(r.stdout), listed)
                elif args[0] == "show":
                    self.assertIn("filename: odd.png\n", r.stdout)
                else:
                    for name in ("four_k.bin", "odd.png"):
                        self.assertEqual(read_bytes(os.path.join(out, name)), self.content[name])
                        self.assertIn("-> %s/%s" % (out, name), r.stdout)


class OffsetTest(NginxCase):
    def test_every_command_reads_from_the_start_offset(self):
        # A title line before the addresses: the list as a whole fails; from
        # an offset on, list, show and extract read the same members, from
        # the file or from a memory image, and positions stay file offsets.
        title = b"Holiday pictures\r\n"
        path = self.write_list("titled.ykt", ["empty.bin", "four_k.bin"])
        with open(path, "rb") as f:
            data = title + f.read()
        with open(path, "wb") as f:
            f.write(data)
        first, second = line_starts(data)
        rows = [  # offset, names from there on (None: the listing fails)
            (0, None),
            (first, ["empty.bin", "four_k.bin"]),
            (second, ["four_k.bin"]),
            (len(data), []),
            (len(data) + 1, None),
        ]
        positions = {"empty.bin": first, "four_k.bin": second}
        for offset, names in rows:
            for mode in ([], ["--memory"]):
                with self.subTest(offset=offset, mode=mode):
                    at = ["--offset", offset] + mode
                    listed = harness.run_spihost("list", path, "--seconds", *at)
                    out = self.out_dir()
                    extracted = harness.run_spihost("extract", path, "-o", out, *at)
                    if names is None:
                        self.assertEqual((listed.returncode, extracted.returncode), (1, 1))
                        self.assertEqual(os.listdir(out), [])
                        continue
                    self.assertEqual(listed.returncode, 0, listed.stderr)
                    self.assertEqual([(r[0], r[3]) for r in harness.parse_listing(listed.stdout)],
                                     [(positions[n], n) for n in names])
                    self.assertEqual(extracted.returncode, 0, extracted.stderr)
                    self.assertEqual(sorted(os.listdir(out)), sorted(names))
                    for name in names:
                        shown = self.spihost_ok("show", path, name, *at)
                        self.assertIn("position: %d\n" % positions[name], shown.stdout)
        r = harness.run_spihost("list", path, "--offset", len(data) + 1)
        self.assertIn("spihost: GetArchiveInfoW returned 3", r.stderr)


class BenchGetTest(NginxCase):
    def test_timed_extraction_reports_bytes_and_memory(self):
        path = self.write_list("bench.ykt", ["empty.bin", "big.bin"])
        second = line_starts(read_bytes(path))[1]
        rows = [(0, 0), (second, SERVED["big.bin"][0])]  # position, body length
        for position, length in rows:
            with self.subTest(position=position):
                r = harness.run_spibench("bench-get", path, position)
                self.assertEqual(r.returncode, 0, r.stderr)
                fields = dict(line.split(": ", 1) for line in r.stdout.splitlines())
                self.assertEqual(int(fields["bytes"]), length)
                self.assertGreaterEqual(float(fields["seconds"]), 0.0)
                # The body was held in memory at least once. (Wine's pagefile
                # figure does not follow the heap; the working set does.)
                self.assertGreater(int(fields["peak_working_set_bytes"]), length)
                self.assertGreater(int(fields["peak_pagefile_bytes"]), 0)
        r = harness.run_spibench("bench-get", path, 3)  # inside an address
        self.assertEqual(r.returncode, 1)
        self.assertIn("spibench: GetFile returned 3", r.stderr)


class CacheTest(NginxCase):
    """A listing's bodies serve the calls after it in the same process: the
    server, which counts, sends each member once."""

    def requests_during(self, action):
        before = len(self.web.access_log())
        action()
        counts = {}
        for _, _, request, status in self.web.access_log()[before:]:
            counts.setdefault(request.split()[1].lstrip("/"), []).append(status)
        return counts

    def test_one_download_per_member_and_a_revalidation_for_a_future_date(self):
        # odd.png's Last-Modified lies past its Date: it is kept but never
        # fresh, so each later use asks nginx, which answers 304.
        names = ["empty.bin", "four_k.bin", "big.bin", "odd.png"]
        path = self.write_list("once.ykt", names)
        rows = [
            ("extract, host writes", ["extract", path, "-o", None]),
            ("extract, plug-in writes", ["extract", path, "-o", None, "--plugin-writes"]),
            ("extract, memory input", ["extract", path, "-o", None, "--memory"]),
            ("list twice", ["list", path, "--again"]),
        ]
        for label, args in rows:
            with self.subTest(label):
                args = [self.out_dir() if a is None else a for a in args]
                counts = self.requests_during(lambda: self.spihost_ok(*args))
                expected = {n: [200] for n in names[:3]}
                expected["odd.png"] = [200, 304]
                self.assertEqual(counts, expected)


class ShowTest(NginxCase):
    def test_lookup_by_name(self):
        path = self.write_list("show.ykt", GOOD + ["four_k.bin"])
        positions = line_starts(read_bytes(path))
        rows = [  # name, exit code, position or None
            ("empty.bin", 0, positions[0]),
            ("big.bin", 0, positions[2]),
            ("odd.png", 0, positions[3]),
            ("four_k.bin", 0, positions[1]),  # listed twice: the first wins
            ("FOUR_K.BIN", 1, None),
            ("absent.bin", 1, None),
        ]
        for name, code, position in rows:
            with self.subTest(name=name):
                r = harness.run_spihost("show", path, name)
                self.assertEqual(r.returncode, code, r.stderr)
                if code:
                    self.assertIn("spihost: GetFileInfoW returned 6", r.stderr)
                    continue
                size, mtime = SERVED[name]
                fields = dict(line.split(": ", 1) for line in r.stdout.splitlines())
                self.assertEqual(fields, {
                    "method": "YKTPK", "position": str(position),
                    "compsize": str(size), "filesize": str(size),
                    "timestamp": str(mtime), "path": "", "filename": name,
                })

    def test_lookup_of_unreachable_member_fails(self):
        path = os.path.join(self.tmp, "show-dead.ykt")
        harness.write_list(path, ["http://127.0.0.1:%d/gone.png" % harness.free_port()])
        r = harness.run_spihost("show", path, "gone.png")
        self.assertEqual(r.returncode, 1)
        self.assertIn("spihost: GetFileInfoW returned 6", r.stderr)


class WrapperTest(NginxCase):
    """./spihost from the repository, with Linux paths as a user types them."""

    def run_wrapper(self, *args, cwd, **env_changes):
        """Runs ./spihost in `cwd`; env_changes set (or, with None, remove)
        environment variables. Returns (exit status, stdout, stderr)."""
        env = dict(os.environ)
        env["KESTA_BUILD"] = harness.build_dir()
        for name, value in env_changes.items():
            env.pop(name, None)
            if value is not None:
                env[name] = value
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([os.path.join(harness.REPO, "spihost")] + list(args),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=env, cwd=cwd, timeout=harness.SPIHOST_TIMEOUT)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read().decode("latin-1"), err.read().decode("latin-1")

    def test_absolute_and_relative_paths(self):
        # Paths are printed as typed: a Linux path stays one (never "Z:/..."),
        # a relative one stays relative, and one line on stderr names the
        # directory. Within the prefix's drive_c, '/' is not Z: to Wine.
        path = self.write_list("wrap.ykt", ["four_k.bin"])
        prefix_c = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")
        in_prefix = prefix_c if os.path.isdir(prefix_c) else "/"
        w1, w3, w5 = (os.path.join(self.tmp, w) for w in ("w1", "w3", "w5"))
        os.makedirs(w5)
        rows = [  # working directory, list argument, -o argument (None: none), file printed
            ("/", path, w1, w1 + "/four_k.bin"),
            (self.tmp, "wrap.ykt", "w2", "w2/four_k.bin"),
            (in_prefix, path, w3, w3 + "/four_k.bin"),
            (in_prefix, path, w3 + "/", w3 + "/four_k.bin"),
            (self.tmp, "wrap.ykt", "w4/", "w4/four_k.bin"),
            (w5, path, None, "./four_k.bin"),
        ]
        for cwd, list_arg, out_arg, printed in rows:
            with self.subTest(cwd=cwd, list_arg=list_arg, out_arg=out_arg):
                out = os.path.join(cwd, out_arg or ".")
                os.makedirs(out, exist_ok=True)
                out_args = ["-o", out_arg] if out_arg is not None else []
                code, stdout, stderr = self.run_wrapper("extract", list_arg, *out_args, cwd=cwd)
                self.assertEqual(code, 0, stderr)
                with open(os.path.join(out, "four_k.bin"), "rb") as f:
                    self.assertTrue(f.read() == self.content["four_k.bin"])
                self.assertEqual(stdout, "four_k.bin 4096 -> %s\n" % printed)
                self.assertIn("spihost: 1 file written into %s" % (out_arg or "."),
                              stderr.splitlines())


    def test_32_bit_build_where_the_kernel_runs_it_else_64_bit(self):
        # Without KESTA_BUILD the wrapper takes win32 where make test's probe
        # runs, else (or with KESTA_NO_WIN32=1) win64 and says so in one line.
        # Which spihost ran shows in how it takes the 64-bit plug-in.
        root = os.path.dirname(harness.build_dir())
        sph = os.path.join(root, "win64", "KESTA.SPH")
        if not all(os.path.isfile(os.path.join(root, t, "spihost.exe")) for t in ("win32", "win64")):
            self.skipTest("needs both Windows trees in %s" % root)
        # The kernel's answer alone: the first row runs the wrapper without KESTA_NO_WIN32.
        env = {k: v for k, v in os.environ.items() if k != "KESTA_NO_WIN32"}
        probe = subprocess.run([sys.executable, os.path.join(harness.REPO, "tools", "runs-i386.py"),
                                os.path.join(self.tmp, "runs-i386")],
                               stdout=subprocess.DEVNULL, timeout=30, env=env)
        rows = [  # KESTA_NO_WIN32, 64-bit spihost taken
            (None, probe.returncode != 0),
            ("1", True),
        ]
        for no_win32, wide in rows:
            with self.subTest(no_win32=no_win32):
                code, _, stderr = self.run_wrapper("--plugin", sph, "info", cwd=self.tmp,
                                                   KESTA_BUILD=None, KESTA_BUILD_ROOT=root,
                                                   KESTA_NO_WIN32=no_win32)
                self.assertEqual(code, 0 if wide else 3, stderr)
                notes = [line for line in stderr.splitlines() if "using the 64-bit" in line]
                self.assertEqual(len(notes), 1 if wide else 0, stderr)


def pe_header(machine):
    """The first bytes of a PE image for `machine`: enough for its width to be read."""
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    return dos + b"PE\0\0" + struct.pack("<H", machine) + bytes(18)


class HostTest(unittest.TestCase):
    """The host on its own: date arithmetic, usage and load failures."""

    def test_utc_formatting(self):
        # The range of the tree's timestamps: int32, or int64 for 64-bit records
        # (years 1 and 9999 are the ends Python's dates reach).
        rows = [-2**31, -86401, -86400, -1, 0, 1, 86399, 68169600, 951782400,
                951868800, 4107542400 - 2**32, 1234567890, 2**31 - 1]
        if harness.is_64bit():
            rows += [-62135596800, 2**31, 4107542400, 253402300799]
        r = harness.run_spibench("utc", "--", *rows)
        self.assertEqual(r.returncode, 0, r.stderr)
        got = r.stdout.splitlines()
        self.assertEqual(len(got), len(rows))
        for seconds, line in zip(rows, got):
            self.assertEqual(line, "%d %s" % (seconds, utc_text(seconds)))

    def test_exit_codes(self):
        tmp = tempfile.mkdtemp(prefix="kesta-host-")
        self.addCleanup(shutil.rmtree, tmp, True)
        some_list = os.path.join(tmp, "none.ykt")
        # A plug-in of the other width: only its header is read.
        other = os.path.join(tmp, "OTHER.SPI")
        with open(other, "wb") as f:
            f.write(pe_header(0x014C if harness.is_64bit() else 0x8664))
        rows = [  # program, arguments, exit code, text in stderr
            ("spihost", [], 2, "usage: spihost"),
            ("spihost", ["frobnicate"], 2, "unknown command 'frobnicate'"),
            # The bench's commands are spibench's alone.
            ("spihost", ["bench-get", some_list, "0"], 2, "unknown command 'bench-get'"),
            ("spihost", ["utc", "0"], 2, "unknown command 'utc'"),
            ("spihost", ["list"], 2, "usage: spihost"),
            ("spihost", ["show", some_list], 2, "usage: spihost"),
            ("spihost", ["list", some_list, "--bogus"], 2, "unknown option '--bogus'"),
            # An option a command does not use is refused, never ignored.
            ("spihost", ["list", some_list, "-o", tmp], 2, "list does not take -o"),
            ("spihost", ["show", some_list, "x", "--seconds"], 2, "show does not take --seconds"),
            ("spihost", ["list", some_list, "--plugin-writes"], 2,
             "list does not take --plugin-writes"),
            ("spihost", ["supported", some_list, "--memory"], 2,
             "supported does not take --memory"),
            ("spihost", ["info", "--offset", "1"], 2, "info does not take --offset"),
            ("spihost", ["--plugin", "/nonexistent/KESTA.SPI", "info"], 3, "cannot load"),
            ("spihost", ["--plugin", harness.spihost_exe(), "info"], 3, "has no GetPluginInfo"),
            ("spihost", ["--plugin", other, "info"], 3,
             "is a %d-bit plug-in and this spihost is %d-bit"
             % ((32, 64) if harness.is_64bit() else (64, 32))),
            ("spihost", ["list", "/nonexistent/dir/x.ykt", "--memory"], 1, "cannot open"),
            ("spibench", ["frobnicate"], 2, "usage: spibench"),
            ("spibench", ["bench-get", some_list, "twelve"], 2, "usage: spibench"),
            ("spibench", ["utc", str(2**63 if harness.is_64bit() else 2**31)], 2,
             "not a timestamp of this width"),
        ]
        for program, args, code, text in rows:
            with self.subTest(program=program, args=args):
                exe = os.path.join(harness.build_dir(), program + ".exe")
                r = harness.run_program(exe, *args)
                self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                self.assertIn(text, r.stderr)

    def test_supported_names(self):
        rows = [("list.ykt", "1"), ("LIST.YKT", "1"), ("list.Ykt", "0"), ("listykt", "1"),
                ("list.txt", "0"), ("kt", "0")]
        for name, answer in rows:
            with self.subTest(name=name):
                r = harness.run_spihost("supported", name)
                self.assertEqual((r.returncode, r.stdout.strip()), (0, answer), r.stderr)

    def test_info_texts(self):
        r = harness.run_spihost("info")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        for expected in ("0: 00AM", "1: Pelloran ver 0.6", "2: *.ykt", "3: Pelloran(*.ykt)"):
            self.assertIn(expected, lines)


if __name__ == "__main__":
    harness.main()
