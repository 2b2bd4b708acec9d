"""spihost and the plug-in under Wine against the scripted loopback server:
the exact request bytes, where the header block ends in responses a real
server would not send, the date fields behind the timestamp, and responses
that count as failed downloads (too short, reset, closed at once, refused).

Most groups put one address per row into a single list and run spihost once,
then check each row in a subTest: one Wine start serves a whole table.
"""

import os
import shutil
import tempfile
import unittest

import harness
from scripted_server import CLOSE_AT_ONCE, RESET, Reply, ScriptedServer

USER_AGENT = "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n"
# 784111777: Sun, 06 Nov 1994 08:49:37 UTC, the example date of HTTP/1.0.
NOV94 = 784111777
NO_DATE = -1  # a response without a usable date field
FAILED = (0, 0)  # (size, timestamp) of a member whose download failed
ADDRESS_LIMIT = 4095  # longest address a list line can hand to the download
PAUSE = 0.03  # seconds between pieces: long enough for separate recv calls


def expected_request(path, host_and_port):
    return ("GET %s HTTP/1.1\r\nHost: %s\r\n%s\r\n"
            % (path, host_and_port, USER_AGENT)).encode("latin-1")


def ok(head, body=b""):
    """A 200 response with the given header lines (CR LF after each)."""
    lines = b"".join(h + b"\r\n" for h in head)
    return b"HTTP/1.0 200 OK\r\n" + lines + b"\r\n" + body


class ScriptedCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kesta-scripted-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write_list(self, urls, name="list.ykt"):
        """A list file with CR LF line ends; returns (path, offsets of the lines)."""
        path = os.path.join(self.tmp, name)
        harness.write_list(path, urls, "\r\n")
        offsets, at = [], 0
        for u in urls:
            offsets.append(at)
            at += len(u) + 2
        return path, offsets

    def spihost(self, *args, code=0):
        r = harness.run_spihost(*args)
        self.assertEqual(r.returncode, code, "spihost %s\nstdout:\n%s\nstderr:\n%s"
                         % (" ".join(str(a)[:80] for a in args), r.stdout[:2000], r.stderr))
        return r

    def listing(self, path):
        return harness.parse_listing(self.spihost("list", path, "--seconds").stdout)

    def assertServerClean(self, server):
        self.assertEqual(server.errors, [], "scripted server trouble")


# ------------------------------------------------------------- request text

class RequestTextTest(ScriptedCase):
    def test_request_bytes_for_each_address_form(self):
        long_query = "/long?pad=" + "q" * 3000 + "&n=long.txt"
        # label, address after "http://" (%(port)d filled in), path sent,
        # Host line value, member name
        rows = [
            ("bare host asks for /", "127.0.0.1:%(port)d", "/",
             "127.0.0.1:%(port)d", "%(port)d"),
            ("name as host", "localhost:%(port)d/by-name.txt", "/by-name.txt",
             "localhost:%(port)d", "by-name.txt"),
            ("host in lower case, path as written", "LocalHost:%(port)d/Case.TXT", "/Case.TXT",
             "localhost:%(port)d", "Case.TXT"),
            ("query kept, name after '='", "127.0.0.1:%(port)d/x?y=1", "/x?y=1",
             "127.0.0.1:%(port)d", "1"),
            ("3000-character query in full", "127.0.0.1:%(port)d" + long_query, long_query,
             "127.0.0.1:%(port)d", "long.txt"),
            ("port text of 7 characters", "127.0.0.1:%(port)07d/zeros.txt", "/zeros.txt",
             "127.0.0.1:%(port)d", "zeros.txt"),
            ("spaces percent-encoded", "127.0.0.1:%(port)d/a dir/b c.txt", "/a%20dir/b%20c.txt",
             "127.0.0.1:%(port)d", "b c.txt"),
            ("backslash sent as a slash", "127.0.0.1:%(port)d/w\\pic.png", "/w/pic.png",
             "127.0.0.1:%(port)d", "pic.png"),
            ("dot segments resolved", "127.0.0.1:%(port)d/a/../b/./c.txt", "/b/c.txt",
             "127.0.0.1:%(port)d", "c.txt"),
            ("a fragment never sent nor named", "127.0.0.1:%(port)d/one.bin#frag", "/one.bin",
             "127.0.0.1:%(port)d", "one.bin"),
        ]
        body = b"0123456789"
        with ScriptedServer(default=Reply(ok([], body))) as server:
            fill = {"port": server.port}
            urls = ["http://" + (r[1] % fill) for r in rows]
            path, offsets = self.write_list(urls)
            listed = self.listing(path)
        self.assertServerClean(server)
        self.assertEqual(len(listed), len(rows))
        for (label, _, sent, host, name), row, offset in zip(rows, listed, offsets):
            with self.subTest(label):
                self.assertEqual(server.requests_for(sent),
                                 [expected_request(sent, host % fill)])
                self.assertEqual(row, (offset, len(body), NO_DATE, name % fill))
        self.assertEqual(server.connection_count(), len(rows), "one request per member")

    def test_addresses_that_are_not_fetched(self):
        # Lines whose address is refused before any connection: each still
        # gets a record, of size 0 and time 0. The address of exactly
        # ADDRESS_LIMIT characters is the control: it is requested in full.
        def padded(prefix, total):
            return prefix + "p" * (total - len(prefix) - len("&n=x")) + "&n=x"

        with ScriptedServer(default=Reply(ok([], b"body"))) as server:
            base = "http://127.0.0.1:%d" % server.port
            rows = [  # label, line, path prefix a request would carry, fetched
                ("a port with a sign", "http://127.0.0.1:+%d/signed.txt" % server.port,
                 "/signed.txt", False),
                ("address longer than the line buffer", padded(base + "/over?", ADDRESS_LIMIT + 1),
                 "/over?", False),
                ("address exactly at the limit", padded(base + "/edge?", ADDRESS_LIMIT),
                 "/edge?", True),
                ("scheme and nothing else", "http://", None, False),
            ]
            path, offsets = self.write_list([r[1] for r in rows])
            listed = self.listing(path)
        self.assertServerClean(server)
        self.assertEqual(len(listed), len(rows))
        for (label, line, sent, fetched), row, offset in zip(rows, listed, offsets):
            with self.subTest(label):
                self.assertEqual(row[0], offset)
                got = [p for p, _ in server.requests if sent and p and p.startswith(sent)]
                if fetched:
                    self.assertEqual(got, [line[len(base):]], "requested in full")
                    self.assertEqual(row[1:3], (4, NO_DATE))
                else:
                    self.assertEqual(got, [], "nothing may be requested")
                    self.assertEqual(row[1:3], FAILED)

    def test_capital_scheme_in_the_list_is_no_address(self):
        # Lines are matched on "http://" exactly; HTTP:// never reaches the
        # download, so the listing is empty and nothing connects.
        with ScriptedServer(default=Reply(ok([], b"x"))) as server:
            path, _ = self.write_list(["HTTP://127.0.0.1:%d/caps.txt" % server.port])
            self.assertEqual(self.listing(path), [])
            r = self.spihost("show", path, "caps.txt", code=1)
            self.assertIn("spihost: GetFileInfoW returned 6", r.stderr)
        self.assertEqual(server.connection_count(), 0)


# ---------------------------------------------------------- header and body

class SplitTest(ScriptedCase):
    # label, response Reply, expected body
    ROWS = [
        ("status, Date, blank line, abc",
         Reply(ok([b"Date: Sun, 06 Nov 1994 08:49:37 GMT"], b"abc")), b"abc"),
        ("ends right after the blank line", Reply(ok([b"Server: s"])), b""),
        ("bare LF lines, LF LF before the body",
         Reply(b"HTTP/1.0 200 OK\nServer: s\n\nbody\n"), b"body\n"),
        ("CR LF header wins over LF LF in the body",
         Reply(ok([b"Server: s"], b"one\n\ntwo")), b"one\n\ntwo"),
        ("no blank line: all header", Reply(b"HTTP/1.0 200 OK\r\nServer: s\r\n"), b""),
        ("LF LF LF LF wins over LF LF at the same place",
         Reply(b"HTTP/1.0 200 OK\n\n\n\nbody"), b"body"),
        ("three LFs: the first two end the header", Reply(b"HTTP/1.0 200 OK\n\n\nbody"),
         b"\nbody"),
        ("CR CR CR CR", Reply(b"HTTP/1.0 200 OK\r\r\r\rbody"), b"body"),
        ("LF CR LF CR", Reply(b"HTTP/1.0 200 OK\n\r\n\rbody"), b"body"),
        ("CR LF LF", Reply(b"HTTP/1.0 200 OK\r\n\nbody"), b"body"),
        ("LF LF, then CR LF in the body", Reply(b"HTTP/1.0 200 OK\n\n\r\nbody"), b"\r\nbody"),
        ("LF LF at the very end", Reply(b"HTTP/1.0 200 OK\n\n"), b""),
        ("LF LF at the very start", Reply(b"\n\nab"), b"ab"),
        ("four bytes, a blank line", Reply(b"\r\n\r\n"), b""),
        ("four bytes, no blank line", Reply(b"abcd"), b""),
        ("blank line cut into pieces",
         Reply(b"HTTP/1.0 200 OK\r\nServer: s\r\n\r\nabc", cuts=[27, 28, 29, 30], pause=PAUSE),
         b"abc"),
        ("LF LF cut into pieces", Reply(b"HTTP/1.0 200 OK\n\nxyz", cuts=[16], pause=PAUSE),
         b"xyz"),
        ("LF LF LF LF cut after two LFs",
         Reply(b"HTTP/1.0 200 OK\n\n\n\nbody", cuts=[17], pause=PAUSE), b"body"),
        ("LF LF at the very end, cut", Reply(b"HTTP/1.0 200 OK\n\n", cuts=[16], pause=PAUSE),
         b""),
        ("one byte a piece", Reply(b"HTTP/1.0 200 OK\r\n\r\nslow", piece=1, pause=0.005),
         b"slow"),
        ("404 page is the content",
         Reply(b"HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>gone</p>\n"),
         b"<p>gone</p>\n"),
        ("redirect without a Location is the content",
         Reply(b"HTTP/1.0 302 Found\r\nX-Location: http://127.0.0.1:1/x\r\n\r\nmoved"), b"moved"),
        ("status 300 is not followed",
         Reply(b"HTTP/1.0 300 Choices\r\nLocation: http://127.0.0.1:1/x\r\n\r\npick"), b"pick"),
        ("Content-Length frames the body", Reply(ok([b"Content-Length: 2"], b"abcdef")), b"ab"),
        ("every byte value", Reply(ok([], bytes(range(256)) * 3)), bytes(range(256)) * 3),
    ]

    def big_row(self):
        data = bytes((i * 7919 + (i >> 8)) & 0xFF for i in range(300 * 1024 + 17))
        return ("300 KiB in 64 KiB pieces", Reply(ok([], data), piece=65536, pause=0.01), data)

    def announced_rows(self):
        """Content-Length frames the body but never sizes the block received
        into: bytes past it are not body. (A body that stops short is a
        failed download: FailureTest.)"""
        data = bytes((i * 131 + (i >> 9)) & 0xFF for i in range(200 * 1024 + 3))

        def announced(length, body):
            return Reply(ok([b"Content-Length: %d" % length], body), piece=65536, pause=0.01)
        return [
            ("announced length exact", announced(len(data), data), data),
            ("bytes past the announced length are not body",
             Reply(ok([b"Content-Length: 3000"], data[:3000] + b"EXTRA")), data[:3000]),
        ]

    def test_header_block_ends_at_the_first_blank_line(self):
        rows = self.ROWS + [self.big_row()] + self.announced_rows()
        routes = {"/s/%02d.bin" % i: reply for i, (_, reply, _) in enumerate(rows)}
        names = ["%02d.bin" % i for i in range(len(rows))]
        with ScriptedServer(routes) as server:
            path, _ = self.write_list([server.url(p) for p in sorted(routes)])
            listed = self.listing(path)
            outs = {}
            modes = (("host writes", []), ("plug-in writes", ["--plugin-writes"]),
                     ("memory image", ["--memory"]))
            for mode, extra in modes:
                outs[mode] = os.path.join(self.tmp, mode.replace(" ", "-"))
                os.mkdir(outs[mode])
                self.spihost("extract", path, "-o", outs[mode], *extra)
        self.assertServerClean(server)
        self.assertEqual([r[3] for r in listed], names)
        for (label, reply, body), row, name in zip(rows, listed, names):
            with self.subTest(label):
                dated = b"\r\nDate:" in reply.data.split(b"\r\n\r\n")[0]
                self.assertEqual(row[1:3], (len(body), NOV94 if dated else NO_DATE))
                for mode, out in outs.items():
                    with open(os.path.join(out, name), "rb") as f:
                        got = f.read()
                    self.assertTrue(got == body, "%s: %r... (%d bytes) instead of %r..."
                                    % (mode, got[:40], len(got), body[:40]))


# -------------------------------------------------------------- date fields

class DateTest(ScriptedCase):
    # label, header lines (or a whole response), expected timestamp
    ROWS = [
        ("Last-Modified, RFC 1123", [b"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"], NOV94),
        ("Date only", [b"Date: Sun, 06 Nov 1994 08:49:37 GMT"], NOV94),
        ("RFC 850 form", [b"Date: Sunday, 06-Nov-94 08:49:37 GMT"], NOV94),
        ("asctime form", [b"Date: Sun Nov  6 08:49:37 1994"], NOV94),
        ("zone +0000 read as UTC", [b"Date: Sun, 06 Nov 1994 08:49:37 +0000"], NOV94),
        ("Last-Modified wins over an earlier Date",
         [b"Date: Sun, 06 Nov 1994 08:49:37 GMT", b"Last-Modified: Thu, 01 Jan 1970 00:00:10 GMT"],
         10),
        ("field names in any case", [b"last-MODIFIED: Sun, 06 Nov 1994 08:49:37 GMT"], NOV94),
        ("empty Last-Modified hides a valid Date",
         [b"Last-Modified:", b"Date: Sun, 06 Nov 1994 08:49:37 GMT"], NO_DATE),
        ("no date field", [b"Server: s"], NO_DATE),
        ("unparsable date", [b"Date: yesterday"], 0),
        ("folded, two spaces make one",
         [b"Last-Modified: Sun, 06 Nov", b"  1994 08:49:37 GMT"], NOV94),
        ("folded with a tab", [b"Date: Sun, 06", b"\t Nov 1994 08:49:37 GMT"], NOV94),
        ("date before 1970", [b"Date: Wed, 31 Dec 1969 23:59:59 GMT"], -1),
        ("last 32-bit second", [b"Date: Tue, 19 Jan 2038 03:14:07 GMT"], 2147483647),
        ("value of 255 characters, trailing spaces ignored",
         [b"Date: Sun, 06 Nov 1994 08:49:37 GMT" + b" " * 226], NOV94),
        ("value of 256 characters is not converted",
         [b"Date: Sun, 06 Nov 1994 08:49:37 GMT" + b" " * 227], 0),
        ("Date behind 4096 bytes of header is not seen",
         [b"X-Pad: " + b"p" * 4200, b"Date: Sun, 06 Nov 1994 08:49:37 GMT"], NO_DATE),
        ("Date after the blank line is body",
         b"HTTP/1.0 200 OK\r\n\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n", NO_DATE),
        ("bare LF header lines", b"HTTP/1.0 200 OK\nDate: Sun, 06 Nov 1994 08:49:37 GMT\n\nb",
         NOV94),
    ]

    def test_timestamp_from_the_date_fields(self):
        replies = {}
        for i, (_, head, _) in enumerate(self.ROWS):
            data = head if isinstance(head, bytes) else ok(head, b"dated body")
            replies["/d/%02d.txt" % i] = Reply(data)
        with ScriptedServer(replies) as server:
            path, _ = self.write_list([server.url(p) for p in sorted(replies)])
            listed = self.listing(path)
            shown = {}
            for i in (0, 7, 9):  # the record of a lookup carries the same timestamp
                r = self.spihost("show", path, "%02d.txt" % i)
                shown[i] = dict(line.split(": ", 1) for line in r.stdout.splitlines())
        self.assertServerClean(server)
        self.assertEqual(len(listed), len(self.ROWS))
        for i, ((label, _, stamp), row) in enumerate(zip(self.ROWS, listed)):
            with self.subTest(label):
                self.assertEqual(row[2], stamp)
                if i in shown:
                    self.assertEqual(shown[i]["timestamp"], str(stamp))


# ---------------------------------------------------------- failed downloads

class FailureTest(ScriptedCase):
    # label, Reply; each is a failed download
    ROWS = [
        ("one byte", Reply(b"H")),
        ("two bytes", Reply(b"\r\n")),
        ("three bytes", Reply(b"\n\n\n")),
        ("nothing at all", Reply(b"")),
        # Wine reports a reset that follows data as an orderly end (recv gives
        # the data, then 0), so only resets that leave fewer than four bytes
        # are failures here whatever recv reports.
        ("reset before sending", Reply(b"", how=RESET)),
        ("reset after three bytes", Reply(b"HTT", how=RESET)),
        # A body that ends before its announced length is cut off, not short.
        ("body one byte short of Content-Length", Reply(ok([b"Content-Length: 5"], b"abcd"))),
        ("body far short of Content-Length",
         Reply(ok([b"Content-Length: 2147000000"], bytes(5000)), piece=4096, pause=0.01)),
    ]

    def test_failed_members_list_as_size_and_time_zero(self):
        dated = Reply(ok([b"Date: Sun, 06 Nov 1994 08:49:37 GMT"], b"good"))
        routes = {"/good.txt": dated}
        routes.update({"/f/%d.bin" % i: reply for i, (_, reply) in enumerate(self.ROWS)})
        with ScriptedServer(routes) as server, \
                ScriptedServer(first=Reply(how=CLOSE_AT_ONCE)) as closer:
            refused = "http://127.0.0.1:%d/refused.bin" % harness.free_port()
            extra = [("server closes at once", closer.url("/closed.bin")),
                     ("connection refused", refused)]
            labelled = [(label, server.url("/f/%d.bin" % i))
                        for i, (label, _) in enumerate(self.ROWS)] + extra
            # A good, dated member before each failing one: the failure must not
            # inherit its timestamp.
            urls = []
            for _, url in labelled:
                urls += [server.url("/good.txt"), url]
            path, _ = self.write_list(urls)
            listed = self.listing(path)
            names = [url.rsplit("/", 1)[1] for _, url in labelled]
            shows = {name: harness.run_spihost("show", path, name) for name in names}
            out = os.path.join(self.tmp, "out")
            os.mkdir(out)
            extracted = self.spihost("extract", path, *names, "-o", out, code=1)
        self.assertServerClean(server)
        self.assertEqual(len(listed), 2 * len(labelled))
        for k, (label, _) in enumerate(labelled):
            with self.subTest(label):
                good, failed = listed[2 * k], listed[2 * k + 1]
                self.assertEqual(good[1:], (4, NOV94, "good.txt"))
                self.assertEqual(failed[1:], FAILED + (names[k],))
                shown = shows[names[k]]
                self.assertEqual(shown.returncode, 1, shown.stdout)
                self.assertIn("spihost: GetFileInfoW returned 6", shown.stderr)
                self.assertIn("spihost: '%s' not extracted" % names[k], extracted.stderr)
                self.assertFalse(os.path.exists(os.path.join(out, names[k])))
        self.assertEqual(extracted.stderr.count("spihost: GetFileW returned 6"), len(labelled))


if __name__ == "__main__":
    harness.main()
