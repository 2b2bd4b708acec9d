"""A loopback HTTP server that answers with scripted bytes, for responses a
real server won't send (no blank line, bare LF, three bytes, a reset).

Per connection it records the exact request bytes (read up to the blank line
CR LF CR LF, a size cap, the peer's close or a bounded wait), picks a Reply by
the request's path, sends it (whole, or in pieces with pauses) and closes.
One thread serves connections one after another; every wait is bounded.
With tls=(certfile, keyfile) each connection is an HTTPS one: the same
replies, sent through Python's ssl after a bounded handshake.

    with ScriptedServer({"/a": Reply(b"HTTP/1.0 200 OK\\r\\n\\r\\nabc")}) as srv:
        url = srv.url("/a")          # http://127.0.0.1:<port>/a
        ...                          # let the plug-in fetch it
        srv.requests_for("/a")       # [b"GET /a HTTP/1.0\\r\\n..."]

    with ScriptedServer(routes, tls=(pki.good.chain, pki.good.key)) as srv:
        url = srv.url("/a")          # https://localhost:<port>/a
"""

import os
import socket
import ssl
import struct
import threading
import time

LOOPBACK = "127.0.0.1"  # the address this server binds (or ::1 when asked)
ACCEPT_POLL_SECONDS = 0.05  # how often the serving thread looks at the stop flag
REQUEST_WAIT_SECONDS = 5.0  # bound on waiting for a request's blank line
REQUEST_CAP = 64 * 1024  # a request longer than this is cut (ours are < 5 KiB)
SEND_WAIT_SECONDS = 10.0  # bound on one blocked send
STOP_WAIT_SECONDS = 15.0  # bound on joining the thread (a reply may be pausing)
MAX_PAUSE_SECONDS = 2.0  # longest pause a reply may ask for between pieces
HANDSHAKE_SECONDS = 5.0  # bound on a TLS handshake
CLOSE_NOTIFY_SECONDS = 2.0  # bound on waiting for the client's end after our close_notify
HOLD_SECONDS = 30.0  # a held connection is closed after this, if nothing ended it before

SEND = "send"  # read the request, send the pieces, close normally (FIN)
CLOSE_AT_ONCE = "close"  # close right after accepting: nothing read or sent
RESET = "reset"  # read the request, send the pieces, then abort (RST)
HOLD = "hold"  # as `first`: accept and send nothing (no TLS handshake either);
#                 as a route's reply: send the data, then stay silent


class Reply:
    """What to do with one connection.

    data: the bytes to send; piece: when set, send them in pieces of this
    many bytes, or `cuts` gives the exact offsets at which to split;
    pause: seconds to wait between pieces; how: SEND, CLOSE_AT_ONCE, RESET
    or HOLD. Over TLS, close_notify=False ends the stream with the TCP close
    alone (a RESET never sends close_notify), and `raw` bytes are written on
    the TCP connection itself after the data, outside TLS (a cut or forged
    record; no close_notify follows them).
    """

    def __init__(self, data=b"", piece=None, cuts=None, pause=0.0, how=SEND,
                 close_notify=True, raw=b""):
        if how not in (SEND, CLOSE_AT_ONCE, RESET, HOLD):
            raise ValueError("unknown reply kind %r" % (how,))
        if pause < 0 or pause > MAX_PAUSE_SECONDS:
            raise ValueError("pause must lie within 0..%s s" % MAX_PAUSE_SECONDS)
        self.data = bytes(data)
        self.piece = piece
        self.cuts = list(cuts) if cuts else []
        self.pause = pause
        self.how = how
        self.close_notify = close_notify and not raw
        self.raw = bytes(raw)

    def pieces(self):
        """The data split as asked: at `cuts`, else every `piece` bytes."""
        if self.cuts:
            edges = [0] + sorted(c for c in self.cuts if 0 < c < len(self.data))
            edges.append(len(self.data))
            return [self.data[a:b] for a, b in zip(edges, edges[1:]) if b > a]
        if self.piece:
            return [self.data[i:i + self.piece] for i in range(0, len(self.data), self.piece)]
        return [self.data] if self.data else []


def request_path(request):
    """The path of a request line 'GET <path> HTTP/1.0', or None. The path
    runs from the first space to the last, so spaces sent inside it stay."""
    line = request.split(b"\r\n", 1)[0]
    first = line.find(b" ")
    last = line.rfind(b" ")
    if first < 0 or last <= first:
        return None
    return line[first + 1:last].decode("latin-1")


class ScriptedServer:
    """Serves `routes` (path -> Reply) on a free loopback port while the
    context lasts; a path without a route gets `default` (a 404 page unless
    given). With first=Reply(how=CLOSE_AT_ONCE) every connection is closed
    before anything is read (or any TLS handshake), since no path is known
    then; with first=Reply(how=HOLD) each one is held open, silent, until the
    client closes it, the server stops or HOLD_SECONDS pass. With first_from=N
    the first N connections are served by the routes as usual.

    tls=(certfile, keyfile) serves HTTPS; a failed handshake counts as a
    connection without request and is kept in handshake_failures, and in
    errors only with handshake_errors=True (a client that rejects the
    certificate aborts the handshake, as it should)."""

    NOT_FOUND = Reply(b"HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nno route\n")

    def __init__(self, routes=None, default=None, first=None, tls=None, handshake_errors=False,
                 address=LOOPBACK, first_from=0):
        self.address = address  # LOOPBACK, or "::1" for an IPv6 server
        self.first_from = first_from  # `first` applies from this connection on (0: the first)
        self._accepted = 0
        self.routes = dict(routes or {})
        self.default = default or self.NOT_FOUND
        self.first = first
        self.port = None
        self.requests = []  # (path or None, bytes) in arrival order
        self.errors = []  # what went wrong while serving, for the test to show
        self.handshake_failures = []  # why each failed TLS handshake failed
        self.handshake_errors = handshake_errors
        self._held = []  # (connection, deadline) of the connections held silent
        self._context = None
        if tls:
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._context.load_cert_chain(*tls)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener = None
        self._thread = None

    # ------------------------------------------------------------ public

    def url(self, path="/", host=None):
        """http://127.0.0.1:<port>path, or https://localhost:<port>path with TLS."""
        if host is None and ":" in self.address:
            host = "[%s]" % self.address
        if self._context:
            return "https://%s:%d%s" % (host or "localhost", self.port, path)
        return "http://%s:%d%s" % (host or LOOPBACK, self.port, path)

    def held_closed_by_client(self, seconds):
        """True once every held connection has seen the client's end."""
        deadline = time.monotonic() + seconds
        for conn, _ in list(self._held):
            try:
                conn.settimeout(max(0.01, deadline - time.monotonic()))
                while conn.recv(4096):
                    pass  # what the client sent (a TLS hello), then its end
            except ConnectionResetError:
                pass
            except OSError:  # timed out, or closed by us when its time was up
                return False
        return True

    def requests_for(self, path):
        with self._lock:
            return [data for p, data in self.requests if p == path]

    def connection_count(self):
        with self._lock:
            return len(self.requests)

    def __enter__(self):
        family = socket.AF_INET6 if ":" in self.address else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind((self.address, 0))
            self._listener.listen(16)
            self._listener.settimeout(ACCEPT_POLL_SECONDS)
            self.port = self._listener.getsockname()[1]
            self._thread = threading.Thread(target=self._serve, name="scripted-server",
                                            daemon=True)
            self._thread.start()
        except BaseException:
            self._listener.close()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        """Stops the thread (bounded) and closes the listening socket."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join(STOP_WAIT_SECONDS)
            if self._thread.is_alive():
                self.errors.append("serving thread did not stop in time")
            self._thread = None
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        for conn, _ in self._held:
            conn.close()

    # ----------------------------------------------------------- serving

    def _serve(self):
        while not self._stop.is_set():
            now = time.monotonic()
            for conn, deadline in self._held:
                if deadline < now:
                    conn.close()
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError as e:
                if not self._stop.is_set():
                    self.errors.append("accept: %s" % e)
                return
            kept = False
            try:
                accepted = self._accepted
                self._accepted += 1
                if self.first is not None and self.first.how in (CLOSE_AT_ONCE, HOLD) and \
                        accepted >= self.first_from:
                    with self._lock:
                        self.requests.append((None, b""))
                    if self.first.how == HOLD:
                        self._held.append((conn, time.monotonic() + HOLD_SECONDS))
                        kept = True
                    continue
                if self._context is not None:
                    tls_conn = self._handshake(conn)
                    if tls_conn is None:
                        continue
                    conn = tls_conn
                kept = self._handle(conn)
            except OSError as e:
                self.errors.append("connection: %s" % e)
            finally:
                if not kept:
                    conn.close()

    def _handshake(self, conn):
        """The TLS connection over `conn`, or None (and the failure noted)
        when the handshake fails or runs out of time."""
        conn.settimeout(HANDSHAKE_SECONDS)
        try:
            return self._context.wrap_socket(conn, server_side=True)
        except OSError as e:  # ssl.SSLError and timeouts included
            with self._lock:
                self.requests.append((None, b""))
                self.handshake_failures.append(str(e))
            if self.handshake_errors:
                self.errors.append("handshake: %s" % e)
            return None

    def _handle(self, conn):
        """Serves one connection; True when it keeps the connection open
        (closing it is then its own business), else the server closes it."""
        conn.setblocking(True)
        request = self._read_request(conn)
        path = request_path(request)
        with self._lock:
            self.requests.append((path, request))
        reply = self.routes.get(path, self.default)
        if reply.how == CLOSE_AT_ONCE:
            self._end_tls(conn, reply)
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(SEND_WAIT_SECONDS)
        pieces = reply.pieces()
        for i, piece in enumerate(pieces):
            if i > 0 and reply.pause:
                if self._stop.wait(reply.pause):
                    return
            conn.sendall(piece)
        if reply.raw:
            # Under the TLS layer: the same descriptor, written directly.
            os.write(conn.fileno(), reply.raw)
        if reply.how == HOLD:
            self._held.append((conn, time.monotonic() + HOLD_SECONDS))
            return True
        if reply.how == RESET:
            # Linger on with a zero time: close() then sends RST, not FIN.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            self._end_tls(conn, reply)

    @staticmethod
    def _end_tls(conn, reply):
        """Sends close_notify on a TLS connection if the reply asks for it,
        then waits (bounded) for the client's own close_notify or close, so
        that nothing it sent is left unread when we close (which would send
        RST)."""
        if isinstance(conn, ssl.SSLSocket) and reply.close_notify:
            conn.settimeout(CLOSE_NOTIFY_SECONDS)
            try:
                conn.unwrap()
            except (OSError, ValueError):
                pass  # the client closed without close_notify, or took too long

    def _read_request(self, conn):
        """Everything received until the first CR LF CR LF has arrived, the
        peer closes, the cap is reached or the bounded wait runs out (bytes
        sent after the blank line in the same segment are kept, so a test
        sees them)."""
        deadline = time.monotonic() + REQUEST_WAIT_SECONDS
        data = b""
        while b"\r\n\r\n" not in data and len(data) < REQUEST_CAP:
            left = deadline - time.monotonic()
            if left <= 0 or self._stop.is_set():
                self.errors.append("request not complete after %d bytes" % len(data))
                break
            conn.settimeout(min(left, 0.5))
            try:
                chunk = conn.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                break
            data += chunk
        return data
