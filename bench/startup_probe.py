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
import ctypes.util
import os
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
STRUCTURE_NOTIFY_MASK = 1 << 17

# Where Connect sits in both dialogs' templates, in dialog units: x 7 to 67, y 23 to 37.
CONNECT_CENTRE_DU = (37.0, 30.0)
DIALOG_WIDTH_DU = 139.0


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("pad", ctypes.c_long * 24)]


class XMapEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("event", ctypes.c_ulong),
        ("window", ctypes.c_ulong),
        ("override_redirect", ctypes.c_int),
    ]


class Display:
    """The few Xlib calls the probe needs, over ctypes."""

    def __init__(self):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.dpy = self.x.XOpenDisplay(None)
        if not self.dpy:
            sys.exit("cannot open display %s" % os.environ.get("DISPLAY"))
        for name, argtypes, restype in [
            ("XDefaultRootWindow", [ctypes.c_void_p], ctypes.c_ulong),
            ("XSelectInput", [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long], ctypes.c_int),
            ("XFlush", [ctypes.c_void_p], ctypes.c_int),
            ("XSync", [ctypes.c_void_p, ctypes.c_int], ctypes.c_int),
            ("XPending", [ctypes.c_void_p], ctypes.c_int),
            ("XNextEvent", [ctypes.c_void_p, ctypes.POINTER(XEvent)], ctypes.c_int),
            ("XConnectionNumber", [ctypes.c_void_p], ctypes.c_int),
            ("XFetchName",
             [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)], ctypes.c_int),
            ("XGetGeometry",
             [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong)]
             + [ctypes.POINTER(ctypes.c_int)] * 2 + [ctypes.POINTER(ctypes.c_uint)] * 4,
             ctypes.c_int),
            ("XTranslateCoordinates",
             [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
              ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
              ctypes.POINTER(ctypes.c_ulong)], ctypes.c_int),
            ("XCreateSimpleWindow",
             [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
              ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong], ctypes.c_ulong),
            ("XMapWindow", [ctypes.c_void_p, ctypes.c_ulong], ctypes.c_int),
            ("XDestroyWindow", [ctypes.c_void_p, ctypes.c_ulong], ctypes.c_int),
        ]:
            function = getattr(self.x, name)
            function.argtypes = argtypes
            function.restype = restype
        self.root = self.x.XDefaultRootWindow(self.dpy)
        self.x.XSelectInput(self.dpy, self.root, SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XSync(self.dpy, 0)
        self.fd = self.x.XConnectionNumber(self.dpy)

    def name(self, window):
        text = ctypes.c_char_p()
        if not self.x.XFetchName(self.dpy, window, ctypes.byref(text)) or not text.value:
            return None
        # The few bytes XFetchName allocated are left to the process's end.
        return text.value.decode("utf-8", "replace")

    def wait_for_map(self, wanted, deadline):
        """The time and id of the first top-level window mapped with the title `wanted`
        (any window when `wanted` is None), or None at the deadline."""
        event = XEvent()
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, ctypes.byref(event))
                if event.type != MAP_NOTIFY:
                    continue
                when = time.monotonic()
                window = ctypes.cast(ctypes.byref(event), ctypes.POINTER(XMapEvent)).contents.window
                if wanted is None or self.name(window) == wanted:
                    return when, window
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.fd], [], [], left)

    def geometry(self, window):
        root = ctypes.c_ulong()
        x, y = ctypes.c_int(), ctypes.c_int()
        width, height, border, depth = (ctypes.c_uint() for _ in range(4))
        self.x.XGetGeometry(self.dpy, window, ctypes.byref(root), ctypes.byref(x), ctypes.byref(y),
                            ctypes.byref(width), ctypes.byref(height), ctypes.byref(border),
                            ctypes.byref(depth))
        child = ctypes.c_ulong()
        self.x.XTranslateCoordinates(self.dpy, window, self.root, 0, 0, ctypes.byref(x),
                                     ctypes.byref(y), ctypes.byref(child))
        return x.value, y.value, width.value, height.value

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


def memory_of(pid):
    """VmRSS and the private and proportional sizes of smaps_rollup, in bytes."""
    values = {}
    for path, keys in ((f"/proc/{pid}/status", ("VmRSS",)),
                       (f"/proc/{pid}/smaps_rollup", ("Pss", "Private_Clean", "Private_Dirty"))):
        with open(path) as file:
            for line in file:
                key, _, rest = line.partition(":")
                if key in keys:
                    values[key] = int(rest.split()[0]) * 1024
    return {"rss": values.get("VmRSS", 0), "pss": values.get("Pss", 0),
            "private": values.get("Private_Clean", 0) + values.get("Private_Dirty", 0)}


def holds_open(pid, device):
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == device:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def end(process):
    # SIGTERM ends the programs as closing the window does, releasing the port.
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


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
