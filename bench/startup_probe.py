#!/usr/bin/env python3
"""Start-up time and memory of one program, measured from outside on an X display.

For each run: the time is taken just before the program is started; the program's
dialog is known to be mapped when the X server reports its MapNotify on the root window
(we ask for SubstructureNotify on the root, so there is no polling and no helper
process to wait for). Then Connect is clicked at its place in the dialog, the program is
waited for until it holds the port open, and its memory is read from /proc.

The port is a pseudo-terminal reached through a private port directory, so no serial
hardware is needed. The display must be one without a window manager, so the program's
window is a direct child of the root.
"""

import argparse
import ctypes
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

from probe import xlib
from probe.procstat import end, holds_open, memory_of

# Where Connect sits in both dialogs' templates, in dialog units: x 7 to 67, y 23 to 37.
CONNECT_CENTRE_DU = (37.0, 30.0)
DIALOG_WIDTH_DU = 139.0


class Display(xlib.Connection):
    """A connection that hears of every top-level window being mapped."""

    def __init__(self):
        super().__init__(xlib.SUBSTRUCTURE_NOTIFY_MASK)

    def name(self, window):
        text = ctypes.c_char_p()
        if not self.x.XFetchName(self.dpy, window, ctypes.byref(text)) or not text.value:
            return None
        # The few bytes XFetchName allocated are left to the process's end.
        return text.value.decode("utf-8", "replace")

    def wait_for_map(self, wanted, deadline):
        """The time and id of the first top-level window mapped with the title `wanted`
        (any window when `wanted` is None), or None at the deadline."""
        event = xlib.XEvent()
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, ctypes.byref(event))
                if event.type != xlib.MAP_NOTIFY:
                    continue
                when = time.monotonic()
                window = self.mapped_window(event)
                if wanted is None or self.name(window) == wanted:
                    return when, window
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.fd], [], [], left)

    def own_map_delay(self):
        """How long it takes this probe to hear of a window being mapped: its own window
        is mapped and the time to its MapNotify is measured. This is the observer's own
        share of every start-up time it reports."""
        window = self.x.XCreateSimpleWindow(self.dpy, self.root, 0, 0, 10, 10, 0, 0, 0)
        self.x.XSync(self.dpy, 0)
        start = time.monotonic()
        self.x.XMapWindow(self.dpy, window)
        self.x.XFlush(self.dpy)
        seen = self.wait_for_map(None, start + 2)
        self.x.XDestroyWindow(self.dpy, window)
        self.x.XSync(self.dpy, 0)
        return (seen[0] - start) if seen else float("nan")


def one_run(display, program, title, height_du, device, environment):
    start = time.monotonic()
    process = subprocess.Popen([program], env=environment, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    mapped = display.wait_for_map(title, start + 20)
    if not mapped:
        end(process)
        return {"error": "no window titled %r within 20 s: %s" % (title, process.stderr.read()[:400])}
    result = {"startup": mapped[0] - start}

    x, y, width, height = display.geometry(mapped[1])
    click_x = x + int(width * CONNECT_CENTRE_DU[0] / DIALOG_WIDTH_DU)
    click_y = y + int(height * CONNECT_CENTRE_DU[1] / height_du)
    # No --sync: xdotool then waits for a motion that never comes when the pointer is
    # already there, as it is from the second run on. The server handles the move and
    # the click in order, so the click lands at the new place anyway.
    subprocess.run(["xdotool", "mousemove", str(click_x), str(click_y), "click", "1"],
                   env=environment, check=False)
    deadline = time.monotonic() + 5
    while not holds_open(process.pid, device) and time.monotonic() < deadline:
        time.sleep(0.01)
    result["connected"] = holds_open(process.pid, device)
    # Let the connected state settle (the receiver starts ticking) before reading memory.
    time.sleep(0.5)
    result.update(memory_of(process.pid))
    end(process)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--title", required=True)
    parser.add_argument("--height-du", type=float, required=True)
    parser.add_argument("--runs", type=int, default=10)
    arguments = parser.parse_args()

    master, slave = os.openpty()
    device = os.ttyname(slave)
    os.close(slave)
    ports = tempfile.mkdtemp(prefix="serialpads-startup-")
    os.symlink(device, os.path.join(ports, "com1"))
    environment = dict(os.environ, SERIALPADS_PORTS=ports, QT_QPA_PLATFORM="xcb")

    display = Display()
    overhead = statistics.median(display.own_map_delay() for _ in range(20))

    # One run first, not counted: it brings the program and its libraries into the page
    # cache and lets fontconfig build its cache, which a user's machine has done long
    # before.
    warm = one_run(display, arguments.program, arguments.title, arguments.height_du, device,
                   environment)
    runs = [one_run(display, arguments.program, arguments.title, arguments.height_du, device,
                    environment) for _ in range(arguments.runs)]
    os.close(master)
    os.remove(os.path.join(ports, "com1"))
    os.rmdir(ports)

    failed = [run["error"] for run in [warm] + runs if "error" in run]
    if failed:
        print("%s: %s" % (arguments.title, failed[0]))
        return 1
    times = [run["startup"] * 1000 for run in runs]
    mib = 1024.0 * 1024.0
    print("%s (%s)" % (arguments.title, arguments.program))
    print("  observer's own delay to see a map: %.3f ms (median of 20)" % (overhead * 1000))
    print("  first (uncounted) run: %.1f ms" % (warm["startup"] * 1000))
    print("  start-up, exec to mapped, %d runs: median %.1f ms, min %.1f ms, max %.1f ms"
          % (len(times), statistics.median(times), min(times), max(times)))
    print("  each: " + " ".join("%.1f" % t for t in times))
    connected = sum(1 for run in runs if run["connected"])
    print("  connected after clicking Connect: %d of %d runs" % (connected, len(runs)))
    for key, label in (("rss", "VmRSS"), ("pss", "Pss"), ("private", "Private")):
        values = [run[key] / mib for run in runs]
        print("  %-7s once connected: median %.1f MiB, min %.1f, max %.1f"
              % (label, statistics.median(values), min(values), max(values)))
    return 0 if connected == len(runs) else 1


if __name__ == "__main__":
    sys.exit(main())
