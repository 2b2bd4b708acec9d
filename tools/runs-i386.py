#!/usr/bin/env python3
"""Tells whether 32-bit Windows programs are to run here under 32-bit Wine:
the one rule behind make test's win32 tier, ./spihost, make bench and the
release test.

    runs-i386.py PATH

Exits 0 when they are. Otherwise prints the reason on one line, as those
callers show it, and exits 1: "KESTA_NO_WIN32 is set" when KESTA_NO_WIN32 is
set to anything but empty or 0; "this kernel runs no 32-bit x86 programs
(WHY)"; or "32-bit Wine is not installed (WHY)" where make setup could not
install its i386 packages (a mirror whose i386 index is out of step with the
64-bit one, say). To find out about the kernel, it writes a 93-byte static i386 ELF to PATH (it only
calls exit(0) through int 0x80, so no i386 library is involved) and executes
it. Some machines boot with IA32 emulation off: there the exec fails with
"Exec format error". An i386 ELF that runs only through binfmt_misc
(qemu-user) counts as not running: 32-bit Wine does not survive that emulation.
"""

import os
import struct
import subprocess
import sys

RUN_SECONDS = 5.0  # the program does nothing; anything slower is a failure

BASE = 0x08048000
CODE = bytes([
    0xB8, 0x01, 0x00, 0x00, 0x00,  # mov eax, 1  (exit)
    0x31, 0xDB,                    # xor ebx, ebx (status 0)
    0xCD, 0x80,                    # int 0x80
])
EHDR_SIZE = 52
PHDR_SIZE = 32


def tiny_elf():
    size = EHDR_SIZE + PHDR_SIZE + len(CODE)
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)  # 32-bit, little-endian, SysV
    ehdr = ident + struct.pack("<HHIIIIIHHHHHH",
                               2, 3, 1,                   # executable, i386, version
                               BASE + EHDR_SIZE + PHDR_SIZE, EHDR_SIZE, 0, 0,
                               EHDR_SIZE, PHDR_SIZE, 1, 0, 0, 0)
    phdr = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)  # PT_LOAD, R+X
    return ehdr + phdr + CODE


def binfmt_handler(elf):
    """The name of an enabled binfmt_misc entry that would take `elf`, or None."""
    root = "/proc/sys/fs/binfmt_misc"
    try:
        entries = os.listdir(root)
    except OSError:
        return None
    for name in entries:
        if name in ("register", "status"):
            continue
        try:
            with open(os.path.join(root, name)) as f:
                fields = dict(line.split(" ", 1) for line in f.read().splitlines() if " " in line)
                f.seek(0)
                enabled = f.readline().strip() == "enabled"
        except (OSError, ValueError):
            continue
        if not enabled or "magic" not in fields:
            continue
        offset = int(fields.get("offset", "0"))
        magic = bytes.fromhex(fields["magic"])
        mask = bytes.fromhex(fields["mask"]) if "mask" in fields else b"\xff" * len(magic)
        window = elf[offset:offset + len(magic)]
        if len(window) == len(magic) and all(
                (b & m) == (g & m) for b, m, g in zip(window, mask, magic)):
            return "%s (%s)" % (name, fields.get("interpreter", "?").strip())
    return None


def probe(path):
    """None when an i386 ELF written to `path` runs and exits 0, else why not."""
    elf = tiny_elf()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(elf)
    os.chmod(path, 0o755)
    handler = binfmt_handler(elf)
    if handler:
        return "i386 ELF programs run only through the emulator of binfmt_misc entry %s" % handler
    try:
        status = subprocess.run([path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=RUN_SECONDS).returncode
    except OSError as e:
        return "exec of an i386 ELF failed: %s" % e.strerror
    except subprocess.TimeoutExpired:
        return "an i386 ELF that only exits did not end within %g s" % RUN_SECONDS
    if status != 0:
        return "an i386 ELF that exits with 0 ended with status %d" % status
    return None


WINE32_LOADER = "/usr/lib/wine/wine"
WINE32_PACKAGES = ["wine32:i386", "libgnutls30:i386"]


def missing_wine32():
    """None when 32-bit Wine is installed, else why not, as apt-get sees it now."""
    if os.path.exists(WINE32_LOADER):
        return None
    why = "make setup could not install %s" % " ".join(WINE32_PACKAGES)
    try:
        sim = subprocess.run(["apt-get", "install", "-s", "-q", "--no-install-recommends"]
                             + WINE32_PACKAGES, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=60, text=True, errors="replace")
        unmet = [l.strip() for l in sim.stdout.splitlines()
                 if " : Depends: " in l and ":i386" in l]
        if sim.returncode != 0 and unmet:
            why += "; apt-get: " + " ".join(unmet[0].split())
    except (OSError, subprocess.TimeoutExpired):
        pass
    return "32-bit Wine is not installed (%s)" % why


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    if os.environ.get("KESTA_NO_WIN32", "") not in ("", "0"):
        print("KESTA_NO_WIN32 is set")
        return 1
    why = probe(argv[0])
    if why:
        print("this kernel runs no 32-bit x86 programs (%s)" % why)
        return 1
    why = missing_wine32()
    if why:
        print(why)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
