"""The release package as a viewer's user gets it: release/dist.py (what
make dist runs) packs the built plug-in files twice into a temporary folder;
the zip must come out the same both times, and unpacked it must hold the
tested plug-in files, right sums, version resources that carry VERSION, no
link time, readable Windows texts, and plug-ins that load.

    test_dist.py REPO WIN32_TREE WIN64_TREE

KESTA.SPI is loaded through the 32-bit spihost only where this kernel runs
32-bit x86 programs (and KESTA_NO_WIN32 is unset); elsewhere its export
table is checked from the file, and one line says so. Exits 77 (a skip) when
a tree has no plug-in file yet: make test builds both trees first.
"""

import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

SKIPPED = 77
SPIHOST_SECONDS = 120  # bound on one spihost run, Wine's start included
ORDER = ["KESTA.SPI", "KESTA.SPH", "README.ja.txt", "README.en.txt", "CHANGES.txt",
         "SHA256SUMS.txt"]
MODE = 0o100644

# Set by main() from the command line.
REPO = WIN32_TREE = WIN64_TREE = None


def plugins():
    """(file name, its build tree, PE machine, width) of both plug-in files."""
    return [("KESTA.SPI", WIN32_TREE, 0x14C, 32), ("KESTA.SPH", WIN64_TREE, 0x8664, 64)]


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=SPIHOST_SECONDS, **kw)


def no_win32_reason(scratch):
    """Why the 32-bit spihost cannot run here; empty when it can."""
    probe = run([sys.executable, "-B", os.path.join(REPO, "tools", "runs-i386.py"),
                 os.path.join(scratch, "runs-i386")])
    return "" if probe.returncode == 0 else probe.stdout.strip() or "the i386 probe failed"


def pe_header(data):
    """(machine, TimeDateStamp) from a PE file's COFF header."""
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        raise AssertionError("no PE signature")
    machine, _, stamp = struct.unpack_from("<HHI", data, at + 4)
    return machine, stamp


def section_bytes(path, section):
    """The bytes of one section of a PE file."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "section")
        run(["x86_64-w64-mingw32-objcopy", "-O", "binary", "--only-section=" + section, path, out],
            check=True)
        with open(out, "rb") as f:
            return f.read()


def symbols(path):
    return run(["x86_64-w64-mingw32-objdump", "-t", path], check=True).stdout


def version_resource(path):
    """The VERSIONINFO of a PE file as windres writes it back as text:
    ({'FILEVERSION': '0.7.0.0', ...}, {'FileVersion': '0.7.0', ...})."""
    text = run(["x86_64-w64-mingw32-windres", "-J", "coff", "-O", "rc", "-i", path],
               check=True).stdout
    numbers = {k: ".".join(re.split(r",\s*", v))
               for k, v in re.findall(r"^\s*(FILEVERSION|PRODUCTVERSION) ([\d, ]+)$", text, re.M)}
    strings = dict(re.findall(r'^\s*VALUE "(\w+)", "([^"]*)"$', text, re.M))
    return numbers, strings


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="kesta-dist-")
        top = cls.scratch.name
        with open(os.path.join(REPO, "VERSION")) as f:
            cls.version = f.read().strip()
        zips = []
        for attempt in ("a", "b"):
            out = os.path.join(top, attempt)
            dist = run([sys.executable, "-B", os.path.join(REPO, "release", "dist.py"), REPO,
                        os.path.join(WIN32_TREE, "KESTA.SPI"),
                        os.path.join(WIN64_TREE, "KESTA.SPH"), out])
            if dist.returncode != 0:
                raise AssertionError("dist.py failed: " + dist.stderr)
            zips.append(os.path.join(out, "kesta-%s.zip" % cls.version))
        cls.zip_paths = zips
        cls.unpacked = os.path.join(top, "unpacked")
        with zipfile.ZipFile(zips[0]) as z:
            cls.infos = z.infolist()
            z.extractall(cls.unpacked)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def read(self, name, folder=None):
        with open(os.path.join(folder or self.unpacked, name), "rb") as f:
            return f.read()

    def test_two_runs_give_the_same_bytes(self):
        first, second = (hashlib.sha256(self.read(p, "/")).hexdigest() for p in self.zip_paths)
        self.assertEqual(first, second)

    def test_entries_in_order_with_the_commit_date_and_one_mode(self):
        stamp = int(os.environ.get("SOURCE_DATE_EPOCH") or
                    run(["git", "-C", REPO, "log", "-1", "--format=%ct"], check=True).stdout)
        date = time.gmtime(stamp)[:5] + (time.gmtime(stamp)[5] // 2 * 2,)  # zip keeps even seconds
        self.assertEqual([i.filename for i in self.infos], ORDER)
        for info in self.infos:
            with self.subTest(entry=info.filename):
                self.assertEqual(info.date_time, date)
                self.assertEqual(info.external_attr >> 16, MODE)
                self.assertEqual(info.create_system, 3)

    def test_sums_cover_every_other_file(self):
        lines = self.read("SHA256SUMS.txt").decode("ascii").splitlines()
        listed = []
        for line in lines:
            m = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line)
            self.assertIsNotNone(m, "not a sha256sum line: %r" % line)
            listed.append(m.group(2))
            self.assertEqual(hashlib.sha256(self.read(m.group(2))).hexdigest(), m.group(1),
                             m.group(2))
        self.assertEqual(listed, ORDER[:-1])

    def test_plugin_files_are_the_built_ones_stripped_without_link_time(self):
        for name, tree, machine, _ in plugins():
            with self.subTest(plugin=name):
                data = self.read(name)
                packed = os.path.join(self.unpacked, name)
                built = os.path.join(tree, name)
                # The code the tests ran, without the symbols the build keeps.
                self.assertEqual(section_bytes(packed, ".text"), section_bytes(built, ".text"),
                                 "not the code the tests ran")
                self.assertIn("no symbols", symbols(packed))
                self.assertNotIn("no symbols", symbols(built), "the build lost its symbols")
                self.assertLess(len(data), os.path.getsize(built))
                self.assertEqual(pe_header(data), (machine, 0))
                # The resource directories carry a time field too.
                dump = run(["x86_64-w64-mingw32-objdump", "-p",
                            os.path.join(self.unpacked, name)], check=True).stdout
                times = re.findall(r"Time: ([0-9a-fA-F]+)", dump)
                self.assertTrue(times, "no resource directory")
                self.assertEqual(set(times), {"00000000"})

    def test_version_resources_carry_the_version(self):
        for name, _, _, width in plugins():
            with self.subTest(plugin=name):
                numbers, strings = version_resource(os.path.join(self.unpacked, name))
                self.assertEqual(numbers, {"FILEVERSION": self.version + ".0",
                                           "PRODUCTVERSION": self.version + ".0"})
                self.assertEqual(strings.get("FileVersion"), self.version)
                self.assertEqual(strings.get("ProductVersion"), self.version)
                self.assertEqual(strings.get("OriginalFilename"), name)
                self.assertEqual(strings.get("ProductName"), "Pelloran")
                self.assertIn("%d-bit viewers" % width, strings.get("FileDescription", ""))
                self.assertTrue(strings.get("LegalCopyright", "").startswith("Copyright (C) "))

    def test_texts_read_on_windows(self):
        # name, encoding as Windows reads it, what each must name
        rows = [
            ("README.ja.txt", "cp932", ["KESTA.SPI", "KESTA.SPH", "http://",
                                        "%s での変更" % self.version, "アンインストール"]),
            ("README.en.txt", "ascii", ["KESTA.SPI", "KESTA.SPH", "http://",
                                        "Changes in %s" % self.version, "Uninstalling"]),
            ("CHANGES.txt", "ascii", [self.version]),
        ]
        for name, encoding, named in rows:
            with self.subTest(text=name):
                data = self.read(name)
                text = data.decode(encoding)
                if encoding == "cp932":
                    self.assertEqual(data.decode("shift_jis"), text)
                lines = data.split(b"\r\n")
                self.assertEqual(lines[-1], b"", "no CR LF after the last line")
                bare = [i + 1 for i, line in enumerate(lines) if b"\r" in line or b"\n" in line]
                self.assertEqual(bare, [], "lines with a bare CR or LF")
                for word in named:
                    self.assertIn(word, text)

    def test_plugins_load_from_the_unpacked_folder(self):
        reason = no_win32_reason(self.scratch.name)
        for name, tree, _, width in plugins():
            path = os.path.join(self.unpacked, name)
            with self.subTest(plugin=name):
                if width == 32 and reason:
                    print("%s not loaded: %s; its export table checked from the file"
                          % (name, reason))
                    check = run([sys.executable, "-B",
                                 os.path.join(REPO, "tools", "check-exports.py"), path, "i386"])
                    self.assertEqual(check.returncode, 0, check.stdout)
                    continue
                env = dict(os.environ, KESTA_BUILD=tree)
                info = run([os.path.join(REPO, "spihost"), "--plugin", path, "info"], env=env)
                self.assertEqual(info.returncode, 0, info.stdout + info.stderr)
                self.assertIn("0: 00AM\n", info.stdout)
                self.assertIn("2: *.ykt\n", info.stdout)


def main():
    global REPO, WIN32_TREE, WIN64_TREE
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    REPO, WIN32_TREE, WIN64_TREE = (os.path.abspath(p) for p in sys.argv[1:])
    for name, tree, _, _ in plugins():
        if not os.path.isfile(os.path.join(tree, name)):
            print("%s is not built in %s (make windows builds both): no package to check"
                  % (name, tree))
            return SKIPPED
    program = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
