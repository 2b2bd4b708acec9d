#!/usr/bin/env python3
"""Checks a built plug-in's export table from the file alone, without running
it: usable where the plug-in's width cannot run at all.

    check-exports.py PLUGIN i386|x86-64

Reads `x86_64-w64-mingw32-objdump -p` (which reads i386 PE files too) and
checks the machine, the export directory's module name (the file's own name),
and the ten plain names at their ordinals, with nothing else exported. On
i386 it also disassembles each export from its address and checks that the
first `ret` met pops exactly the export's argument bytes (__stdcall); a plain
`ret` would leave them on the host's stack. x86-64 has one calling
convention, so there is nothing to pop there.

It also checks that the plug-in imports only from system DLLs every Windows
has: a dependency on a runtime DLL (libwinpthread-1.dll, libstdc++-6.dll)
loads where the toolchain's DLLs lie beside it and fails on a user's machine.
And that no posix-threads runtime is linked in, statically or not: it takes a
thread-local slot (TlsAlloc) that it never gives back (TlsFree), so a host
that loads and unloads the plug-in a thousand times runs out of slots.
"""

import os
import re
import subprocess
import sys

OBJDUMP = "x86_64-w64-mingw32-objdump"
FORMATS = {"i386": "pei-i386", "x86-64": "pei-x86-64"}
# How far past an export's address its first `ret` may lie: the exports only
# forward to the operation behind them, or inline a short one.
RET_WINDOW = 0x2000

# name, ordinal, argument bytes on i386
EXPORTS = [
    ("GetArchiveInfo", 1, 16),
    ("GetFile", 2, 24),
    ("GetFileInfo", 3, 20),
    ("GetPluginInfo", 4, 12),
    ("IsSupported", 5, 8),
    ("GetArchiveInfoW", 6, 16),
    ("GetFileW", 7, 24),
    ("GetFileInfoW", 8, 20),
    ("GetPluginInfoW", 9, 12),
    ("IsSupportedW", 10, 8),
]

# The DLLs the plug-in may import from (upper case): the system's own, and
# msvcrt.dll, the C runtime that every mingw-w64 program links to. SChannel
# (secur32.dll) and crypt32.dll are loaded on the first https:// download,
# not imported: loading them with the plug-in would load them for every
# list, and Wine's secur32 starts Winsock at each load without an end.
IMPORTS = {"KERNEL32.DLL", "USER32.DLL", "WS2_32.DLL", "MSVCRT.DLL"}


def objdump(*args):
    return subprocess.run([OBJDUMP] + list(args), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True).stdout


def parse_exports(text):
    """(format, image base, module name, {ordinal: rva}, {name: ordinal})."""
    fmt = re.search(r"file format (\S+)", text)
    base = re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M)
    module = re.search(r"^Name\s+[0-9a-fA-F]+ (\S+)", text, re.M)
    ordinal_base = re.search(r"^Export Address Table -- Ordinal Base (\d+)", text, re.M)
    if not (fmt and base and module and ordinal_base):
        return None
    first = int(ordinal_base.group(1))
    rvas = {}
    for m in re.finditer(r"^\s*\[\s*(\d+)\] \+base\[\s*(\d+)\] ([0-9a-fA-F]+) Export RVA",
                         text, re.M):
        rvas[int(m.group(2))] = int(m.group(3), 16)
    names = {}
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"^\s*\[\s*(\d+)\] (\S+)$", line)
            if not m:
                break
            names[m.group(2)] = int(m.group(1)) + first
    return fmt.group(1), int(base.group(1), 16), module.group(1), rvas, names


def first_ret(path, address):
    """The operand bytes of the first `ret` at or after `address` (0 for a
    plain `ret`), or None when none lies within RET_WINDOW."""
    text = objdump("-d", "--start-address=%#x" % address,
                   "--stop-address=%#x" % (address + RET_WINDOW), path)
    for line in text.splitlines():
        m = re.match(r"^\s*[0-9a-f]+:\s+(?:[0-9a-f]{2} )+\s*(ret[lq]?)\b\s*(\S*)", line)
        if m:
            operand = m.group(2)
            return int(operand[1:], 16) if operand.startswith("$") else 0
    return None


def check(path, machine):
    """The list of faults found; empty when the table is right."""
    text = objdump("-p", path)
    parsed = parse_exports(text)
    if parsed is None:
        return ["no export table found"]
    fmt, image_base, module, rvas, names = parsed
    faults = []
    imported = {m.upper() for m in re.findall(r"^\s*DLL Name: (\S+)", text, re.M)}
    functions = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", text, re.M))
    if "TlsAlloc" in functions and "TlsFree" not in functions:
        faults.append("imports TlsAlloc without TlsFree: a thread-local slot lost per load")
    with open(path, "rb") as f:
        if b"pthread" in f.read():
            faults.append("holds a posix-threads runtime (the text 'pthread' is in the file)")
    if imported - IMPORTS:
        faults.append("imports from %s, which a user's system may not have"
                      % ", ".join(sorted(imported - IMPORTS)))
    if fmt != FORMATS[machine]:
        faults.append("file format %s, expected %s" % (fmt, FORMATS[machine]))
    if module != os.path.basename(path):
        faults.append("export directory names %s, expected %s"
                      % (module, os.path.basename(path)))
    expected = {name: ordinal for name, ordinal, _ in EXPORTS}
    if names != expected:
        faults.append("exported names and ordinals %s, expected %s"
                      % (sorted(names.items(), key=lambda x: x[1]),
                         sorted(expected.items(), key=lambda x: x[1])))
    if sorted(rvas) != sorted(expected.values()):
        faults.append("export address table holds ordinals %s" % sorted(rvas))
    if machine != "i386":
        return faults
    for name, _, arg_bytes in EXPORTS:
        ordinal = names.get(name)  # where the name really points
        if ordinal not in rvas:
            continue
        popped = first_ret(path, image_base + rvas[ordinal])
        if popped is None:
            faults.append("%s: no ret within %#x bytes of its address" % (name, RET_WINDOW))
        elif popped != arg_bytes:
            faults.append("%s: first ret pops %d bytes, expected %d"
                          % (name, popped, arg_bytes))
    return faults


def main(argv):
    if len(argv) != 2 or argv[1] not in FORMATS:
        sys.stderr.write(__doc__)
        return 2
    path = argv[0]
    if not os.path.isfile(path):
        print("check-exports: %s is missing" % path)
        return 1
    faults = check(path, argv[1])
    for fault in faults:
        print("check-exports: %s: %s" % (path, fault))
    if not faults:
        print("check-exports: %s: %d exports at their ordinals%s"
              % (path, len(EXPORTS), ", each popping its arguments" if argv[1] == "i386" else ""))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
