#!/usr/bin/env python3
"""Tells whether this kernel runs 32-bit x86 programs, which 32-bit Wine needs.

    runs-i386.py PATH

Writes a 93-byte static i386 ELF to PATH (it only calls exit(0) through
int 0x80, so no i386 library is involved) and executes it. Exits 0 when it
ran and exited 0; otherwise prints why not on one line and exits 1. Some
machines boot with IA32 emulation off: there the exec fails with "Exec
format error". An i386 ELF that runs only through binfmt_misc (qemu-user)
counts as not running: 32-bit Wine does not survive that emulation.
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


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    path = argv[0]
    elf = tiny_elf()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(elf)
    os.chmod(path, 0o755)
    handler = binfmt_handler(elf)
    if handler:
        print("i386 ELF programs run only through the emulator of binfmt_misc entry %s"
              % handler)
        return 1
    try:
        status = subprocess.run([path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=RUN_SECONDS).returncode
    except OSError as e:
        print("exec of an i386 ELF failed: %s" % e.strerror)
        return 1
    except subprocess.TimeoutExpired:
        print("an i386 ELF that only exits did not end within %g s" % RUN_SECONDS)
        return 1
    if status != 0:
        print("an i386 ELF that exits with 0 ended with status %d" % status)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
