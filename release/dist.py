#!/usr/bin/env python3
"""Writes the release package OUT_DIR/kesta-VERSION.zip from the built plug-in
files and the texts in the tree (make dist):

    dist.py REPO KESTA.SPI KESTA.SPH OUT_DIR

The package holds, in this order: KESTA.SPI, KESTA.SPH, README.ja.txt
(Shift-JIS), README.en.txt, CHANGES.txt (all three with CR LF line ends, as
Windows text editors expect) and SHA256SUMS.txt (the sums of the other five,
in sha256sum's format). The texts are kept in the tree as UTF-8 with LF.

The plug-in files go in stripped of their symbols (the build tree keeps the
unstripped ones for debugging), with a zero PE time stamp as they were linked.
The same inputs give the same zip bytes: every entry has the date of the
last commit (SOURCE_DATE_EPOCH when set), read as UTC, mode 0644 and the
same compression. The version comes from REPO/VERSION alone; CHANGES.txt
and both readmes must already describe it, or no package is written.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

ZIP_EPOCH = 315532800  # 1980-01-01T00:00:00Z, the earliest date a zip entry holds
ENTRY_MODE = 0o100644  # a plain file, rw-r--r--
UNIX = 3  # "made by" system: the mode above is a Unix one
SUMS = "SHA256SUMS.txt"
# The strip of each plug-in file's width.
STRIP = {"KESTA.SPI": "i686-w64-mingw32-strip", "KESTA.SPH": "x86_64-w64-mingw32-strip"}

# Each text in the package: its name, its file in the tree, its encoding and
# the line that says it covers VERSION (a regular expression, {v} the version).
TEXTS = [
    ("README.ja.txt", "release/README.ja.txt", "shift_jis", r"^■ {v} での変更$"),
    ("README.en.txt", "release/README.en.txt", "ascii", r"^Changes in {v}$"),
    ("CHANGES.txt", "CHANGES.txt", "ascii", r"^{v} \(\d{{4}}-\d\d-\d\d\)$"),
]


class DistError(Exception):
    pass


def read_version(repo):
    with open(os.path.join(repo, "VERSION"), encoding="ascii") as f:
        version = f.read().strip()
    if not re.fullmatch(r"\d+\.\d+\.\d+", version):
        raise DistError("VERSION must hold MAJOR.MINOR.PATCH, not %r" % version)
    return version


def source_date(repo):
    """Seconds since 1970 for every entry: SOURCE_DATE_EPOCH, else the last commit's time."""
    stamp = os.environ.get("SOURCE_DATE_EPOCH")
    if not stamp:
        stamp = subprocess.run(["git", "-C", repo, "log", "-1", "--format=%ct"], check=True,
                               stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    return max(int(stamp), ZIP_EPOCH)


def windows_text(repo, source, encoding, covers, version):
    """The tree's UTF-8 text in the package's encoding with CR LF line ends."""
    with open(os.path.join(repo, source), encoding="utf-8", newline="") as f:
        text = f.read()
    if "\r" in text:
        raise DistError("%s: keep LF line ends in the tree; the package gets CR LF" % source)
    if not re.search(covers.format(v=re.escape(version)), text, re.M):
        raise DistError("%s does not describe version %s yet" % (source, version))
    text = text.replace("\n", "\r\n")
    try:
        data = text.encode(encoding)
    except UnicodeEncodeError as e:
        raise DistError("%s: %r has no %s form" % (source, e.object[e.start:e.end], encoding))
    # Windows reads Shift-JIS as code page 932, which maps a few bytes to
    # other characters; the text must read the same there.
    if encoding == "shift_jis" and data.decode("cp932") != text:
        raise DistError("%s: a character reads differently under code page 932" % source)
    return data


def stripped(name, path):
    """The plug-in file's bytes without its symbols. strip writes the PE time
    stamp anew; SOURCE_DATE_EPOCH=0 keeps it 0, as the link left it."""
    with tempfile.TemporaryDirectory(prefix="kesta-strip-") as tmp:
        out = os.path.join(tmp, name)
        subprocess.run([STRIP[name], "--strip-all", "-o", out, path], check=True,
                       env=dict(os.environ, SOURCE_DATE_EPOCH="0"))
        with open(out, "rb") as f:
            return f.read()


def entries(repo, spi, sph, version):
    """[(name, bytes)] in the package's order, the sums last."""
    files = []
    for name, path in (("KESTA.SPI", spi), ("KESTA.SPH", sph)):
        files.append((name, stripped(name, path)))
    for name, source, encoding, covers in TEXTS:
        files.append((name, windows_text(repo, source, encoding, covers, version)))
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)
    return files + [(SUMS, sums.encode("ascii"))]


def write_zip(path, files, stamp):
    date = time.gmtime(stamp)[:6]
    temp = path + ".tmp"
    with zipfile.ZipFile(temp, "w") as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=date)
            info.create_system = UNIX
            info.external_attr = ENTRY_MODE << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=9)
    os.replace(temp, path)


def tree_is_clean(repo):
    out = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--untracked-files=no"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         universal_newlines=True)
    return out.returncode != 0 or not out.stdout.strip()


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    repo, spi, sph, out_dir = argv
    try:
        version = read_version(repo)
        files = entries(repo, spi, sph, version)
        stamp = source_date(repo)
    except (DistError, OSError, subprocess.CalledProcessError) as e:
        print("dist: %s" % e, file=sys.stderr)
        return 1
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "kesta-%s.zip" % version)
    write_zip(path, files, stamp)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    print("dist: %s, entries dated %s UTC, sha256 %s"
          % (path, time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(stamp)), digest))
    if not tree_is_clean(repo):
        print("dist: the tree has uncommitted changes: this package is not the last commit's",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
