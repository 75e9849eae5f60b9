"""The installed programs and the serial ports they talk to, as seen from outside.

A pseudo-terminal stands in for each serial device: a program opens the slave through
an entry "comN" in a private port directory, and the test is the far end on the master.
The test also keeps a descriptor of the slave open: it keeps the pair alive when the
program lets go, and lets the test read the terminal settings the program leaves behind
without opening the device at a moment that could disturb the program.

The programs' controls are found from their dialog templates: rectangles in dialog
units, scaled to the window's actual size, so the clicks land on the controls whatever
font and scale the dialog is drawn with.
"""

import errno
import fcntl
import os
import select
import subprocess
import termios
import time

from desktop import WAIT_SECONDS, wait_for


class DeviceWatch:
    """What programs do to a terminal device, seen through a descriptor kept open on it."""

    def __init__(self, device):
        self.device = os.path.realpath(device)
        self.keeper = os.open(self.device, os.O_RDWR | os.O_NOCTTY)
        self.settings_before = self.settings()

    def close(self):
        os.close(self.keeper)

    def settings(self):
        return termios.tcgetattr(self.keeper)

    def is_held(self):
        """Whether another program holds the device: it cannot be opened, or locked."""
        try:
            fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno == errno.EBUSY:
                return True
            raise
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        finally:
            os.close(fd)  # also drops our lock, if we got it
        return False

    def wait_opened(self):
        # The programs lock the device before they make it raw, so once the settings have
        # changed the program holds it; this never opens the device, so it cannot make a
        # program's own open fail.
        wait_for(lambda: self.settings() != self.settings_before,
                 f"the program to open {self.device} and make it raw")

    def wait_released(self):
        wait_for(lambda: not self.is_held(), f"the program to release {self.device}")


class PtyPort(DeviceWatch):
    """A pseudo-terminal linked as com<number> in `ports_dir`; the test is its far end."""

    def __init__(self, ports_dir, number):
        self.master, slave = os.openpty()
        try:
            super().__init__(os.ttyname(slave))
        finally:
            os.close(slave)
        os.symlink(self.device, os.path.join(ports_dir, f"com{number}"))

    def close(self):
        super().close()
        os.close(self.master)

    def write(self, data):
        os.write(self.master, data)

    def read(self, count):
        """Reads until `count` bytes have come from the program, or the deadline."""
        data = b""
        deadline = time.monotonic() + WAIT_SECONDS
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                data += os.read(self.master, 4096)
        return data

    def pending(self):
        """What the program has written that the test has not read yet."""
        data = b""
        while select.select([self.master], [], [], 0)[0]:
            data += os.read(self.master, 4096)
        return data


class Pad:
    """One running program and its main window."""

    # Client size in dialog units, and the centre of each control, from the templates.
    TEMPLATES = {
        "sendpad": {
            "title": "Sendpad",
            "size": (139, 158),
            "controls": {
                "portList": (122, 12),
                "connect": (37, 30),
                "disconnect": (102, 30),
                "send": (69, 47),
                "text": (69, 65),
                "clear": (37, 82),
                "hello": (102, 82),
            },
        },
        "recvpad": {
            "title": "Recvpad",
            "size": (139, 153),
            "controls": {
                "portList": (122, 12),
                "connect": (37, 30),
                "disconnect": (102, 30),
                "text": (69, 92),
                "textBottom": (69, 140),
            },
        },
    }

    def __init__(self, desktop, prefix, name, ports_dir, extra_env=None):
        self.desktop = desktop
        self.name = name
        self.template = self.TEMPLATES[name]
        self.title = self.template["title"]
        self.process = desktop.spawn(
            [os.path.join(prefix, "bin", name)],
            extra_env={"SERIALPADS_PORTS": ports_dir, "QT_QPA_PLATFORM": "xcb",
                       **(extra_env or {})},
            log=f"{name}.log")
        self.window = wait_for(self._main_window, f"the {self.title} window")
        desktop.run(["xdotool", "windowactivate", "--sync", str(self.window)])

    def _main_window(self):
        if self.process.poll() is not None:
            raise AssertionError(f"{self.name} ended at start ({self.process.returncode}): "
                                 + self.desktop.log(f"{self.name}.log"))
        named = [w for w in self.windows() if self.desktop.window_name(w) == self.title]
        return named[0] if len(named) == 1 else None

    def windows(self):
        """The program's visible top-level windows, pop-ups included."""
        return self.desktop.visible_windows(self.process.pid)

    def other_window(self):
        """The one visible window besides the main window (a message, a pop-up), if any."""
        others = [w for w in self.windows() if w != self.window]
        return others[0] if len(others) == 1 else None

    def point(self, control):
        width, height = self.desktop.window_size(self.window)
        units_x, units_y = self.template["controls"][control]
        template_width, template_height = self.template["size"]
        return round(units_x * width / template_width), round(units_y * height / template_height)

    def click(self, control):
        self.desktop.click(self.window, *self.point(control))

    def choose_port(self, number):
        """Picks a port from the drop-down list, as a user does: open it, go to the entry
        with the arrow keys, Enter."""
        self.click("portList")
        popup = wait_for(self.other_window, "the port list to drop down")
        # Not by typing the number: the list searches what is typed within a moment as one
        # string, so a "2" and then a "1" typed quickly by two calls would look for "21".
        # And off the list with the pointer, whose entry would otherwise become current
        # when it moves.
        _, y = self.point("portList")
        self.desktop.run(["xdotool", "mousemove", "--window", str(self.window), "2", str(y)])
        self.desktop.key("Home", *["Down"] * (number - 1), "Return")
        wait_for(lambda: popup not in self.windows(), "the port list to close")

    def copy_field(self):
        """Selects all of the text field and copies it; gives the clipboard's text."""
        self.click("text")
        self.desktop.key("ctrl+a")
        self.desktop.key("ctrl+c")
        return self.desktop.clipboard()

    def wait_field(self, expected):
        """Waits until the text field holds `expected`, read back through the clipboard."""
        seen = []

        def matches():
            seen.append(self.copy_field())
            return seen[-1] == expected

        try:
            wait_for(matches, f"the field to show {expected!r}")
        except AssertionError as error:
            raise AssertionError(f"{error}; last copied {seen[-1]!r}") from None

    def close(self):
        self.desktop.close_window(self.window)

    def wait_exit(self):
        try:
            return self.process.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.name} did not end") from None
