#!/usr/bin/env python3
"""The installed sendpad and recvpad, driven through a real X server as a user drives
them, with pseudo-terminals as their serial ports.

Usage: test_pads.py --build-dir DIR [unittest arguments, such as SendpadTest]

The build is installed into a temporary prefix first, so what runs is what a package
holds, found where the package puts it. What is checked is what the far end of the line
and the user can observe: the bytes on the line, the text in the receiver's field, who
holds the device, the terminal settings left behind, and the exit status.
"""

import argparse
import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

# The source tree stays free of compiled files.
sys.dont_write_bytecode = True

from desktop import Desktop, wait_for
from pads import Pad, PtyPort

BUILD_DIR = None
CMAKE = "cmake"
PREFIX = None


def setUpModule():
    global PREFIX
    PREFIX = tempfile.mkdtemp(prefix="serialpads-prefix-")
    atexit.register(shutil.rmtree, PREFIX, ignore_errors=True)
    result = subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", PREFIX],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("installing the build failed:\n" + result.stdout + result.stderr)
    for program in ("sendpad", "recvpad"):
        if not os.access(os.path.join(PREFIX, "bin", program), os.X_OK):
            raise RuntimeError(f"the install did not put {program} in {PREFIX}/bin")


class PadTestCase(unittest.TestCase):
    """One X session per test class; a fresh port directory and program per test."""

    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def setUp(self):
        self.ports_dir = tempfile.mkdtemp(prefix="ports-", dir=self.desktop.workdir)
        self.port = PtyPort(self.ports_dir, 1)
        self.addCleanup(self.port.close)

    def start(self, name):
        pad = Pad(self.desktop, PREFIX, name, self.ports_dir)
        # A program a failed test leaves running must not hold the next test's port.
        self.addCleanup(lambda: pad.process.poll() is not None or pad.process.kill())
        return pad

    def connect(self, pad):
        pad.click("connect")
        self.port.wait_opened()
        self.assertTrue(self.port.is_held(), "a connected program must hold the device alone")

    def assertPortAsBefore(self):
        self.port.wait_released()
        self.assertEqual(self.port.settings(), self.port.settings_before,
                         "the device's terminal settings were not put back")

    def assertEndsCleanly(self, pad):
        self.assertEqual(pad.wait_exit(), 0)
        self.assertPortAsBefore()

    def assertHasOneSize(self, pad):
        """The window manager offers neither maximising nor resizing, and refuses both."""
        actions = self.desktop.allowed_actions(pad.window)
        self.assertIn("_NET_WM_ACTION_CLOSE", actions)
        for action in ("_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT",
                       "_NET_WM_ACTION_RESIZE"):
            self.assertNotIn(action, actions)
        size = self.desktop.window_size(pad.window)
        self.desktop.maximise(pad.window)
        self.assertNotIn("MAXIMIZED", self.desktop.window_state(pad.window))
        self.assertEqual(self.desktop.window_size(pad.window), size)


class SendpadTest(PadTestCase):
    def send(self, pad, expected):
        pad.click("send")
        self.assertEqual(self.port.read(len(expected)), expected)

    def test_failed_open_shows_message_and_leaves_dialog_ready(self):
        # Port 2's entry names a device that does not exist.
        os.symlink(os.path.join(self.ports_dir, "gone"), os.path.join(self.ports_dir, "com2"))
        pad = self.start("sendpad")
        pad.choose_port(2)
        pad.click("connect")

        box = wait_for(pad.other_window, "the error message")
        self.assertEqual(self.desktop.window_name(box), "Sendpad")
        # The message takes the keyboard, so Enter answers it rather than the dialog.
        wait_for(lambda: self.desktop.active_window() == box, "the message to take focus")
        self.desktop.key("Return")
        wait_for(lambda: pad.other_window() is None, "the message to go away")
        self.assertFalse(self.port.is_held())

        # Connect is still there to try again, on the port that works.
        pad.choose_port(1)
        self.connect(pad)
        pad.close()
        self.assertEndsCleanly(pad)

    def test_sends_each_line_with_one_carriage_return(self):
        pad = self.start("sendpad")
        self.connect(pad)

        # Connect puts the caret in the text field.
        self.desktop.type("Hi")
        self.send(pad, b"Hi\r")

        pad.click("hello")
        self.send(pad, b"Hello World\r")

        # Text from the clipboard goes out in the locale's encoding (UTF-8); Enter sends.
        pasted = "Grüße, 世界 €"
        pad.click("clear")
        clipboard = self.desktop.offer_clipboard(pasted)
        self.desktop.key("ctrl+v")
        self.desktop.key("Return")
        self.assertEqual(self.port.read(len(pasted.encode()) + 1), pasted.encode() + b"\r")
        clipboard.terminate()

        pad.click("disconnect")
        self.assertPortAsBefore()

        # The field keeps its text over a disconnect, and a new connection sends it again.
        self.connect(pad)
        self.send(pad, pasted.encode() + b"\r")

        # Closed while connected: the port is still let go and its settings put back.
        pad.close()
        self.assertEndsCleanly(pad)
        self.assertEqual(self.port.pending(), b"")

    def test_window_has_one_size(self):
        pad = self.start("sendpad")
        self.assertHasOneSize(pad)
        pad.close()
        self.assertEndsCleanly(pad)

    def test_terminate_signal_ends_like_closing_the_window(self):
        pad = self.start("sendpad")
        self.connect(pad)
        pad.process.send_signal(signal.SIGTERM)
        self.assertEndsCleanly(pad)


class RecvpadTest(PadTestCase):
    def test_shows_what_arrives_and_releases_port_on_close(self):
        pad = self.start("recvpad")
        self.connect(pad)

        # CR LF and a lone CR each end one line; UTF-8 arrives as its characters.
        self.port.write(b"first line\r\nzweite Zeile: gr\xc3\xbc\xc3\x9fe\r")
        pad.wait_field("first line\nzweite Zeile: grüße\n")

        pad.click("disconnect")
        self.assertPortAsBefore()

        # Text from a new connection follows what is already shown.
        self.connect(pad)
        self.port.write(b"third\r")
        pad.wait_field("first line\nzweite Zeile: grüße\nthird\n")

        pad.close()
        self.assertEndsCleanly(pad)


def main():
    global BUILD_DIR, CMAKE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cmake", default=CMAKE)
    options, rest = parser.parse_known_args()
    BUILD_DIR = options.build_dir
    CMAKE = options.cmake
    # Ended from outside (a time-out, Ctrl+C): stop at once, and let the exit handlers
    # end the X session and its programs and remove the temporary install.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
