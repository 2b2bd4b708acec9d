#!/usr/bin/env python3
"""make demo: serves demo/images from an nginx of our own on free loopback
ports, over http:// and https://, writes a URL list of the images (one over
https://, one through a redirect from http:// to https://, the rest over
http://), lists it and extracts every member with ./spihost under Wine, and
compares the extracted bytes with the originals.

The https:// server's certificate comes from a demo CA made for this run and
trusted in the Wine prefix of the build ./spihost runs only, for as long as
the demo runs. ./spihost runs the 32-bit build where this kernel runs 32-bit
programs, else the 64-bit one (and says so); KESTA_NO_WIN32=1 takes the
64-bit one anyway.

    python3 demo/demo.py ABSOLUTE_BUILD_DIR   (the directory of win32 and win64)
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness  # noqa: E402  (the loopback nginx)
import testpki  # noqa: E402  (the demo CA and its trust in one prefix)

IMAGES = os.path.join(HERE, "images")


def spihost_tree(builds):
    """The build tree ./spihost runs: the rule of tools/runs-i386.py."""
    probe = tempfile.NamedTemporaryFile(dir=builds, prefix=".runs-i386.", delete=False)
    probe.close()
    try:
        runs = subprocess.run([sys.executable, os.path.join(REPO, "tools", "runs-i386.py"),
                               probe.name], stdout=subprocess.DEVNULL, timeout=60).returncode == 0
    finally:
        os.unlink(probe.name)
    return os.path.join(builds, "win32" if runs else "win64")


def spihost(*args):
    print("== ./spihost %s" % " ".join(args), flush=True)
    code = subprocess.run([os.path.join(REPO, "spihost")] + list(args),
                          stdin=subprocess.DEVNULL).returncode
    print(flush=True)
    if code != 0:
        raise SystemExit("demo: ./spihost %s exited %d" % (args[0], code))


def main(builds):
    os.environ["KESTA_BUILD_ROOT"] = builds
    os.environ.pop("KESTA_BUILD", None)
    out = os.path.join(builds, "demo-out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "files"))
    names = sorted(os.listdir(IMAGES))
    runner = os.path.join(spihost_tree(builds), "wine-run")
    work = tempfile.mkdtemp(prefix="kesta-demo-")
    try:
        pki = testpki.make_pki(work)
        tls = {"demo": harness.Tls(pki.good.chain, pki.good.key)}

        def moved(web):
            return ("location /moved/ { rewrite ^/moved/(.*)$ https://localhost:%d/$1 permanent; }"
                    % web.tls_ports["demo"])
        with testpki.trusted_ca(pki.ca, runner), harness.Nginx(IMAGES, tls=tls, extra=moved) as web:
            urls = [web.https_url(names[0], "demo"), web.url("moved/" + names[1])]
            urls += [web.url(n) for n in names[2:]]
            path = harness.write_list(os.path.join(out, "demo.ykt"), urls)
            print("== URL list %s (the demo CA is trusted in %s only)" % (path, runner))
            print("\n".join(urls) + "\n", flush=True)
            spihost("list", path)
            spihost("extract", path, "-o", os.path.join(out, "files"))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    status = 0
    for name in names:
        got = os.path.join(out, "files", name)
        if os.path.isfile(got) and filecmp.cmp(os.path.join(IMAGES, name), got, shallow=False):
            print("same bytes: %s" % name)
        else:
            print("DIFFERENT: %s" % name, file=sys.stderr)
            status = 1
    print()
    if status == 0:
        print("demo: every member extracted intact into %s/files" % out)
    else:
        print("demo: extracted files differ from the originals", file=sys.stderr)
    return status


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1])))
