"""The plug-in on a real X display (an Xvfb of the test's own): every other
Wine run here is headless, where a message box returns at once and a dialog
would go unseen. A lookup, and the tests of the lookup, must end promptly.
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

XVFB_START_SECONDS = 10.0
RUN_SECONDS = 60.0  # a dialog waits for a person: far beyond this


class Xvfb:
    """An X server on a free display number while the context lasts."""

    def __enter__(self):
        self.tmp = tempfile.mkdtemp(prefix="kesta-xvfb-")
        read, write = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "800x600x24", "-nolisten", "tcp"],
                                     pass_fds=(write,), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        deadline = time.monotonic() + XVFB_START_SECONDS
        with os.fdopen(read, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.__exit__(None, None, None)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False


class DisplayTest(unittest.TestCase):
    def test_lookups_show_nothing_on_a_display(self):
        if shutil.which("Xvfb") is None:
            self.fail("Xvfb is missing: make setup installs it (package xvfb)")
        exe = os.path.join(harness.build_dir(), "dll_tests.exe")
        with Xvfb() as x:
            env = harness.wine_env()
            env["KESTA_WINE_DISPLAY"] = x.display
            start = time.monotonic()
            try:
                proc = subprocess.run(
                    [harness.wine_runner(), exe, "--gtest_filter=PluginTest.GetFileInfo*"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                    env=env, cwd=harness.build_dir(), timeout=RUN_SECONDS)
            except subprocess.TimeoutExpired:
                self.fail("a lookup did not return on a display: a dialog waits for a person")
            took = time.monotonic() - start
        out = proc.stdout.decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 0, out)
        self.assertIn("[  PASSED  ] 1 test", out)
        print("the lookups ran on display %s in %.1f s" % (x.display, took))


if __name__ == "__main__":
    harness.main()
