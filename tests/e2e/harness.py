"""End-to-end helpers: an nginx of our own on a free loopback port, spihost.exe
under Wine in the build tree's prefix, and the parsing of its listing output.

Each tests/e2e/test_*.py is a unittest module run as a script; call
harness.main() at its end. CTest runs them in each Windows build tree (32-bit
with KESTA.SPI, 64-bit with KESTA.SPH) and passes that tree's KESTA_BUILD,
WINEPREFIX, KESTA_WINE_RUN (the tree's launcher, which picks the Wine of the
tree's width) and TZ. Without KESTA_BUILD the 32-bit tree build/win32 is used.
The demo (demo/demo.py) uses its nginx too.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

LOOPBACK = "127.0.0.1"  # the only address anything here listens on or talks to
LOOPBACK6 = "::1"  # ...but for the IPv6 rows, where the kernel has it on lo
NGINX_START_SECONDS = 10.0  # bound on waiting for nginx to accept
NGINX_STOP_SECONDS = 5.0  # bound on waiting for it to exit before killing it
NGINX_START_ATTEMPTS = 3  # a free port can be taken between probe and bind
SPIHOST_TIMEOUT = 120.0  # default bound on one spihost run
# A wineserver started by wine-run.sh outlives its last client by 60 s; well
# inside that, a start finds it up and may skip the boot step.
WINE_WARM_SECONDS = 30.0


def free_port(host=LOOPBACK):
    """A loopback TCP port that nothing listens on at the moment of the call."""
    s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind((host, 0))
        return s.getsockname()[1]
    finally:
        s.close()


def has_ipv6_loopback():
    """True when ::1 can be bound here (IPv6 enabled on lo)."""
    try:
        free_port(LOOPBACK6)
        return True
    except OSError:
        return False


NGINX_CONF = """\
# Written by tests/e2e/harness.py: loopback servers over one static root (plain
# HTTP, and HTTPS listeners when asked), everything they write kept in their
# own temporary directory.
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;

events {{
    worker_connections 64;
}}

http {{
    log_format kesta '$connection $ssl_session_reused "$request" $status';
    access_log {dir}/access.log kesta;
    client_body_temp_path {dir}/client_body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    default_type application/octet-stream;
    server_tokens off;
    {keepalive}

{servers}}}
"""

NGINX_SERVER = """\
    server {{
        listen {address}:{port}{ssl};
        server_name localhost;
        root {root};
        location / {{
        }}
{extra}    }}
"""

NGINX_TLS = """ ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_ciphers {ciphers};
        ssl_protocols {protocols}"""


class Tls:
    """An HTTPS listener for Nginx, on a free loopback port of its own: `cert`
    is the PEM the server sends (the leaf, then its CA), `key` the leaf's
    key, `protocols` nginx's ssl_protocols; ipv6 listens on [::1] instead of
    127.0.0.1."""

    def __init__(self, cert, key, protocols="TLSv1.2 TLSv1.3", ipv6=False, ciphers="HIGH:!aNULL"):
        self.cert = os.path.abspath(cert)
        self.key = os.path.abspath(key)
        self.protocols = protocols
        self.ciphers = ciphers  # "DEFAULT:@SECLEVEL=0" lets OpenSSL 3 speak TLS 1.0 and 1.1
        self.ipv6 = ipv6

    def address(self):
        return "[%s]" % LOOPBACK6 if self.ipv6 else LOOPBACK


# Connections closed after each answer, or kept as real servers keep them.
NO_KEEPALIVE = "keepalive_timeout 0;"
KEEPALIVE = "keepalive_timeout 65s; keepalive_requests 10000;"


def write_nginx_conf(root, workdir, port, tls=(), extra="", keepalive=False):
    """Writes workdir/nginx.conf for a server of `root` on 127.0.0.1:port,
    plus one per (Tls, port) in `tls`; `extra` (more nginx directives, such
    as location blocks) goes into every server; `keepalive` keeps connections
    for more requests."""
    root = os.path.abspath(root)
    extra = "".join("        %s\n" % line for line in extra.splitlines())
    servers = [NGINX_SERVER.format(address=LOOPBACK, port=port, ssl="", root=root, extra=extra)]
    for t, tls_port in tls:
        ssl = NGINX_TLS.format(cert=t.cert, key=t.key, protocols=t.protocols, ciphers=t.ciphers)
        servers.append(NGINX_SERVER.format(address=t.address(), port=tls_port, ssl=ssl,
                                           root=root, extra=extra))
    text = NGINX_CONF.format(dir=workdir, servers="\n".join(servers),
                             keepalive=KEEPALIVE if keepalive else NO_KEEPALIVE)
    path = os.path.join(workdir, "nginx.conf")
    with open(path, "w") as f:
        f.write(text)
    return path


def nginx_command(workdir):
    """The command line that runs the server configured in workdir."""
    return ["nginx", "-p", workdir, "-c", os.path.join(workdir, "nginx.conf"),
            "-e", os.path.join(workdir, "error.log")]


def wait_accepting(port, seconds, proc=None, host=LOOPBACK):
    """True once host:port accepts a connection, False after `seconds`
    or as soon as `proc` (if given) has exited."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Nginx:
    """nginx serving `root` on a free loopback port while the context lasts,
    and over HTTPS on one more port per entry of `tls` (name -> Tls).
    `extra` is nginx text added to every server, or a function of the
    started Nginx that returns it (the ports are known by then).

        with Nginx(docroot) as web:
            url = web.url("a.png")   # http://127.0.0.1:<port>/a.png

        tls = {"v13": Tls(pki.good.chain, pki.good.key, "TLSv1.3")}
        go = lambda web: "location = /go { return 301 %s; }" % web.https_url("a.png", "v13")
        with Nginx(docroot, tls=tls, extra=go) as web:
            web.url("go")            # redirects to https://localhost:<port>/a.png
    """

    def __init__(self, root, tls=None, extra="", keepalive=False):
        self.root = os.path.abspath(root)
        self.tls = dict(tls or {})
        self.extra = extra
        self.keepalive = keepalive
        self.port = None
        self.tls_ports = {}  # name -> port, once started
        self.proc = None
        self.workdir = None

    def url(self, name):
        return "http://%s:%d/%s" % (LOOPBACK, self.port, name.lstrip("/"))

    def https_url(self, name, listener, host=None):
        """https://localhost:<port>/name for the listener of that name (host
        [::1] for an IPv6 one); `host` overrides the host part."""
        if host is None:
            host = self.tls[listener].address() if self.tls[listener].ipv6 else "localhost"
        return "https://%s:%d/%s" % (host, self.tls_ports[listener], name.lstrip("/"))

    def __enter__(self):
        self.workdir = tempfile.mkdtemp(prefix="kesta-nginx-")
        try:
            for _ in range(NGINX_START_ATTEMPTS):
                if self._start_once():
                    return self
            raise RuntimeError("nginx did not start; log:\n" + self.error_log())
        except BaseException:
            self._cleanup_dir()
            raise

    def __exit__(self, *exc):
        self.stop()
        self._cleanup_dir()
        return False

    def _start_once(self):
        self.port = free_port()
        self.tls_ports = {name: free_port(LOOPBACK6 if t.ipv6 else LOOPBACK)
                          for name, t in self.tls.items()}
        extra = self.extra(self) if callable(self.extra) else self.extra
        write_nginx_conf(self.root, self.workdir, self.port, extra=extra,
                         tls=[(t, self.tls_ports[name]) for name, t in self.tls.items()],
                         keepalive=self.keepalive)
        self.proc = subprocess.Popen(nginx_command(self.workdir),
                                     stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + NGINX_START_SECONDS
        listeners = [(LOOPBACK, self.port)] + [
            (LOOPBACK6 if self.tls[name].ipv6 else LOOPBACK, port)
            for name, port in self.tls_ports.items()]
        if all(wait_accepting(port, deadline - time.monotonic(), self.proc, host)
               for host, port in listeners):
            return True
        self.stop()
        return False

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=NGINX_STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=NGINX_STOP_SECONDS)
        self.proc = None

    def access_log(self):
        """The requests served so far: (connection number, TLS session
        resumed, request line, status) each."""
        rows = []
        try:
            with open(os.path.join(self.workdir, "access.log")) as f:
                for line in f:
                    number, reused, rest = line.split(" ", 2)
                    request, status = rest.rsplit(" ", 1)
                    rows.append((int(number), reused == "r", request.strip('"'), int(status)))
        except OSError:
            pass
        return rows

    def error_log(self):
        try:
            with open(os.path.join(self.workdir, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def _cleanup_dir(self):
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None


# ---------------------------------------------------------------- spihost

def build_dir():
    """The Windows build tree whose spihost.exe and plug-in are tested."""
    return os.environ.get("KESTA_BUILD") or os.path.join(REPO, "build", "win32")


def spihost_exe():
    return os.path.join(build_dir(), "spihost.exe")


def spibench_exe():
    return os.path.join(build_dir(), "spibench.exe")


def is_64bit():
    """True for the 64-bit tree (KESTA.SPH and 64-bit records)."""
    return os.path.exists(os.path.join(build_dir(), "KESTA.SPH"))


def wine_runner():
    """The launcher that runs a program of the tree under Wine in its prefix."""
    return os.environ.get("KESTA_WINE_RUN") or os.path.join(build_dir(), "wine-run")


def wine_env():
    env = dict(os.environ)
    # Wine reads the command line and Linux file names in the locale's
    # character set: UTF-8, whatever the caller's locale.
    env["LC_ALL"] = "C.UTF-8"
    env.pop("KESTA_WINE_WARM", None)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


_last_run_end = None  # monotonic time at which the previous spihost run ended


def _run_env():
    """wine_env(), telling the launcher to skip its start-up step while the
    prefix's server is known to be up."""
    env = wine_env()
    if _last_run_end is not None and time.monotonic() - _last_run_end < WINE_WARM_SECONDS:
        env["KESTA_WINE_WARM"] = "1"
    return env


def run_spihost(*args, timeout=SPIHOST_TIMEOUT, cwd=None, preexec_fn=None):
    """Runs spihost.exe with `args` under Wine; returns the CompletedProcess
    with stdout and stderr as text (UTF-8). Output goes through temporary
    files, not pipes, so Wine's background processes can never hold the call
    open."""
    return run_program(spihost_exe(), *args, timeout=timeout, cwd=cwd, preexec_fn=preexec_fn)


def run_spibench(*args, timeout=SPIHOST_TIMEOUT):
    return run_program(spibench_exe(), *args, timeout=timeout)


def run_program(exe, *args, timeout=SPIHOST_TIMEOUT, cwd=None, preexec_fn=None):
    """run_spihost for any program of the tree; preexec_fn runs in the child
    before Wine starts (to set a resource limit, say)."""
    global _last_run_end
    cmd = [wine_runner(), exe] + [str(a) for a in args]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=_run_env(), cwd=cwd, timeout=timeout,
                                  preexec_fn=preexec_fn)
        finally:
            _last_run_end = time.monotonic()
        out.seek(0)
        err.seek(0)
        stdout = out.read().decode("utf-8", "replace")
        stderr = err.read().decode("utf-8", "replace")
    return subprocess.CompletedProcess(cmd, proc.returncode, stdout, stderr)


def parse_listing(stdout):
    """Rows of `spihost list --seconds` as (position, size, timestamp, name);
    the '#' header line and empty lines are skipped. Names keep their spaces."""
    rows = []
    for line in stdout.splitlines():
        line = line.rstrip("\r")
        if not line or line.startswith("#"):
            continue
        parts = line.split(" ", 3)
        if len(parts) != 4:
            raise ValueError("not a listing row: %r" % line)
        rows.append((int(parts[0]), int(parts[1]), int(parts[2]), parts[3]))
    return rows


def write_served(root, served):
    """Writes random files into `root` (name -> (size, mtime)); returns
    name -> bytes. The mtimes reach a listing through nginx's Last-Modified."""
    content = {}
    for name, (size, mtime) in served.items():
        data = os.urandom(size)
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))
        content[name] = data
    return content


def write_list(path, urls, newline="\r\n"):
    """Writes a URL list file: one address per line, each ended by `newline`
    (CR LF by default, the line end of a list written on Windows)."""
    with open(path, "wb") as f:
        f.write("".join(u + newline for u in urls).encode("latin-1"))
    return path


def main():
    """Runs the calling test module's cases; exits non-zero on any failure."""
    unittest.main(module="__main__", verbosity=2)
