#!/usr/bin/env python3
"""How live the programs' windows stay, and what streaming costs them, seen from outside.

Run by live_probe.sh on a private Xvfb display with no window manager. For each
installation given, and for Debian's gtkterm in the same run:

- ping: the window manager's _NET_WM_PING, sent to the program's top-level window as a
  window manager sends it (a WM_PROTOCOLS client message with a stamp); the program's
  toolkit answers by sending the same message to the root window, where this probe has
  asked for SubstructureNotify. The round trip is the time from our send to the answer
  reaching us. Pings are sent on a schedule of their own (10 to 40 ms apart, fixed
  seed), whether or not the previous one has been answered, so a window that freezes for
  seconds gives one long sample per ping sent meanwhile, not one sample in all.
- cover: during a wait, a window of ours is mapped over the program's window and
  unmapped again; the screen where the program's window is is then grabbed and compared
  with a grab taken just before covering. A live window paints itself back; a frozen
  one shows what the covering window left (or the server's background) until its wait
  ends.
- stream: a far end writes 64-byte lines ended by CR into the pseudo-terminal at
  5,000 bytes a second for 30 s; the program's processor time (all threads, from
  /proc/PID/stat) and voluntary context switches (summed over /proc/PID/task/*/status)
  over that time, also per thread.
- trace (optional): strace -c, strace -tt and perf on the receiver while it streams.

Results go to a JSON file and a table; every figure of one run comes from that run.
"""

import argparse
import ctypes
import json
import math
import os
import random
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

from probe import xlib
from probe.procstat import holds_open, process_costs, snapshot
from probe.procstat import end as end_process

# Where the controls sit in the dialog templates: centres in dialog units, and the
# templates' client sizes.
TEMPLATES = {
    "sendpad": {"title": "Sendpad", "size": (139.0, 158.0),
                "controls": {"connect": (37, 30), "send": (69, 47), "text": (69, 65),
                             "clear": (37, 82)}},
    "recvpad": {"title": "Recvpad", "size": (139.0, 153.0),
                "controls": {"connect": (37, 30), "text": (69, 92)}},
}

GTKTERM_CONFIG = """[default]
port	= /dev/ttyS0
speed	= 115200
bits	= 8
stopbits	= 1
parity	= none
flow	= none
wait_delay	= 0
wait_char	= -1
rs485_rts_time_before_tx	= 30
rs485_rts_time_after_tx	= 30
echo	= False
crlfauto	= True
timestamp	= False
font	= "Monospace 12"
term_block_cursor	= True
term_rows	= 80
term_columns	= 25
term_scrollback	= 10000
term_visual_bell	= True
term_foreground_red	= 0.660000
term_foreground_blue	= 0.660000
term_foreground_green	= 0.660000
term_foreground_alpha	= 1.000000
term_background_red	= 0.000000
term_background_blue	= 0.000000
term_background_green	= 0.000000
term_background_alpha	= 1.000000

"""

STREAM_RATE = 5000  # bytes per second
STREAM_LINE = 64  # bytes, the CR included
LONG_LINE = 64 * 1024
SLOW_READ = 1024  # bytes per read of the slow far end
SLOW_PERIOD = 0.1  # seconds between its reads
IDLE_SECONDS = 10.0  # connected and silent, counted
CLEAR_LINE = 200000  # characters sent while Clear is clicked and "abc" typed
MENU_BYTES = b"bytes while the menu is open\r"


# The arithmetic, kept apart from the display so that it can be tested without one.

def percentile(values, fraction):
    """Nearest-rank percentile: the smallest value with at least `fraction` of the
    values at or below it. Unanswered samples are given as math.inf and count as the
    largest."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def ping_summary(samples):
    """Median, p99 and extremes of round trips in milliseconds; `samples` are seconds,
    math.inf for a ping never answered."""
    answered = [s for s in samples if math.isfinite(s)]
    milliseconds = [s * 1000.0 for s in samples]
    return {
        "count": len(samples),
        "unanswered": len(samples) - len(answered),
        "median_ms": statistics.median(milliseconds) if milliseconds else math.nan,
        "p99_ms": percentile(milliseconds, 0.99),
        "min_ms": min(milliseconds) if milliseconds else math.nan,
        "max_ms": max(milliseconds) if milliseconds else math.nan,
    }


def stream_lines(count):
    """`count` lines of 63 printable bytes and a CR, each telling its own number."""
    body = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-=+*"
    lines = []
    for n in range(count):
        head = "%06d " % n
        text = head + (body * 2)[n % len(body):][:STREAM_LINE - 1 - len(head)]
        lines.append(text.encode("ascii") + b"\r")
    return lines


def shown_lines_check(sent, shown_text):
    """Compares the lines sent (CR-ended bytes) with the field's text as copied: every
    line once, in order, nothing else. Gives (lines shown that match, first mismatch or
    None)."""
    expected = [line.rstrip(b"\r").decode("ascii") for line in sent]
    shown = [line for line in re.split(r"\r\n|\r|\n", shown_text) if line != ""]
    matching = 0
    for want, got in zip(expected, shown):
        if want != got:
            break
        matching += 1
    if matching == len(expected) == len(shown):
        return matching, None
    where = matching
    return matching, {"line": where,
                      "expected": expected[where] if where < len(expected) else None,
                      "shown": shown[where] if where < len(shown) else None,
                      "expected_count": len(expected), "shown_count": len(shown)}


def write_still_running(received, total, capacity):
    """Whether a write of `total` bytes must still be under way when the far end has
    read `received`: the pseudo-terminal holds at most `capacity` bytes the far end has
    not read, so until then the writer cannot have handed over everything."""
    return received + capacity < total


def image_agreement(reference, image, cover_pixel, bytes_per_pixel=4):
    """The share of pixels equal to the reference, and the share showing the covering
    window's colour, of two grabs of the same size (raw ZPixmap data)."""
    if not reference or len(reference) != len(image):
        return math.nan, math.nan
    count = len(image) // bytes_per_pixel
    same = 0
    covered = 0
    for offset in range(0, count * bytes_per_pixel, bytes_per_pixel):
        pixel = image[offset:offset + 3]
        if pixel == reference[offset:offset + 3]:
            same += 1
        if pixel == cover_pixel:
            covered += 1
    return same / count, covered / count


def ratio(value, base):
    if base is None or value is None or not base or not math.isfinite(base) \
            or not math.isfinite(value):
        return math.nan
    return value / base


# The display.

COVER_COLOUR = 0xFF00FF  # magenta: nothing in either program is drawn in it
COVER_PIXEL = bytes([0xFF, 0x00, 0xFF])  # blue, green, red of a 24-bit ZPixmap


class Display(xlib.Connection):
    """One connection to the X server, through the few Xlib calls the probe needs."""

    def __init__(self, watch_root=True):
        # Maps of top-level windows, and the ping answers: toolkits send those to the
        # root for the window manager, Qt with StructureNotify (and
        # SubstructureRedirect), GTK with SubstructureNotify (and SubstructureRedirect),
        # so both are asked for; the probe never takes SubstructureRedirect, which would
        # make it the window manager. The grabber runs on a thread of its own with its
        # own connection, so Xlib is made safe for threads.
        root_mask = xlib.SUBSTRUCTURE_NOTIFY_MASK | xlib.STRUCTURE_NOTIFY_MASK
        super().__init__(root_mask if watch_root else 0, threads=True)
        # A window can go between its map being seen and its owner being asked for (a
        # menu closed, a program ended): Xlib's default would end the probe on that.
        handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        self.ignore_errors = handler_type(lambda display, event: 0)
        self.x.XSetErrorHandler.argtypes = [handler_type]
        self.x.XSetErrorHandler(self.ignore_errors)
        self.wm_protocols = self.atom("WM_PROTOCOLS")
        self.net_wm_ping = self.atom("_NET_WM_PING")
        self.net_wm_pid = self.atom("_NET_WM_PID")
        self.maps = []  # (time, window) of every top-level window mapped
        self.replies = {}  # stamp -> time the answer arrived
        self.stamp = 1000

    def atom(self, name):
        return self.x.XInternAtom(self.dpy, name.encode(), 0)

    def pid_of(self, window):
        kind, form, items, left = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), \
            ctypes.c_ulong()
        data = ctypes.c_void_p()
        status = self.x.XGetWindowProperty(
            self.dpy, window, self.net_wm_pid, 0, 1, 0, 6, ctypes.byref(kind),
            ctypes.byref(form), ctypes.byref(items), ctypes.byref(left), ctypes.byref(data))
        if status != 0 or not data.value:
            return None
        pid = ctypes.cast(data, ctypes.POINTER(ctypes.c_long))[0] if items.value else None
        self.x.XFree(data)
        return pid

    def pump(self, timeout):
        """Handles what the server has sent, waiting up to `timeout` seconds for it."""
        if not self.x.XPending(self.dpy) and timeout > 0:
            select.select([self.fd], [], [], timeout)
        event = xlib.XEvent()
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, ctypes.byref(event))
            when = time.monotonic()
            if event.type == xlib.CLIENT_MESSAGE:
                message = ctypes.cast(ctypes.byref(event),
                                      ctypes.POINTER(xlib.XClientMessageEvent)).contents
                if message.message_type == self.wm_protocols \
                        and message.l[0] == self.net_wm_ping:
                    self.replies.setdefault(message.l[1], when)
            elif event.type == xlib.MAP_NOTIFY:
                self.maps.append((when, self.mapped_window(event)))

    def wait_for_window(self, pid, deadline, after=0.0, exclude=()):
        """The first top-level window of `pid` mapped after `after`, or None."""
        looked = 0
        while True:
            while looked < len(self.maps):
                when, window = self.maps[looked]
                looked += 1
                if when >= after and window not in exclude and self.pid_of(window) == pid:
                    return when, window
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.pump(min(left, 0.05))

    def send_ping(self, window, answerer=None):
        """Sends one ping to `window`; gives its stamp. The answer is recorded by pump().
        `answerer` set: the message goes to that window of ours instead, which the
        server hands straight back to us (the probe's own share of a round trip)."""
        self.stamp += 1
        event = xlib.XEvent()
        message = ctypes.cast(ctypes.byref(event),
                              ctypes.POINTER(xlib.XClientMessageEvent)).contents
        message.type = xlib.CLIENT_MESSAGE
        message.window = window
        message.message_type = self.wm_protocols
        message.format = 32
        message.l[0] = self.net_wm_ping
        message.l[1] = self.stamp
        message.l[2] = window
        self.x.XSendEvent(self.dpy, answerer or window, 0, 0, ctypes.byref(event))
        self.x.XFlush(self.dpy)
        return self.stamp

    def make_cover(self, x, y, width, height):
        attributes = xlib.XSetWindowAttributes()
        attributes.background_pixel = COVER_COLOUR
        attributes.override_redirect = 1
        window = self.x.XCreateWindow(self.dpy, self.root, x, y, width, height, 0, 0, 1, None,
                                      xlib.CW_BACK_PIXEL | xlib.CW_OVERRIDE_REDIRECT,
                                      ctypes.byref(attributes))
        self.x.XSync(self.dpy, 0)
        return window

    def grab(self, x, y, width, height):
        """The screen's pixels in that rectangle, raw 32-bit ZPixmap rows."""
        image = self.x.XGetImage(self.dpy, self.root, x, y, width, height, 0xFFFFFFFF,
                                 xlib.Z_PIXMAP)
        if not image:
            return b""
        contents = image.contents
        data = ctypes.string_at(contents.data, contents.bytes_per_line * contents.height)
        self.x.XFree(contents.data)
        self.x.XFree(image)
        return data

    def own_round_trip(self, samples=50):
        """Median time for a message sent to a window of ours to come back: what the
        probe itself adds to every round trip it reports."""
        window = self.x.XCreateSimpleWindow(self.dpy, self.root, 0, 0, 1, 1, 0, 0, 0)
        self.x.XSync(self.dpy, 0)
        times = []
        for _ in range(samples):
            start = time.monotonic()
            stamp = self.send_ping(window, answerer=window)
            while stamp not in self.replies and time.monotonic() - start < 2:
                self.pump(0.1)
            times.append(self.replies.get(stamp, math.inf) - start)
        self.x.XDestroyWindow(self.dpy, window)
        self.x.XSync(self.dpy, 0)
        return statistics.median(times)


def save_ppm(path, data, width, height):
    """A grab as a binary PPM (viewable with any image viewer, or `convert` to PNG)."""
    with open(path, "wb") as file:
        file.write(b"P6 %d %d 255\n" % (width, height))
        pixels = bytearray(width * height * 3)
        pixels[0::3] = data[2::4][:width * height]
        pixels[1::3] = data[1::4][:width * height]
        pixels[2::3] = data[0::4][:width * height]
        file.write(pixels)


class CoverTest:
    """Covers the window during a ping run and grabs it back, on a thread of its own with
    its own connection so that the grabs do not delay reading the ping answers."""

    def __init__(self, display, window, start_after, out_dir, label):
        self.rect = display.geometry(window)
        self.cover = display.make_cover(*self.rect)
        self.display = display
        self.start_after = start_after
        self.out_dir = out_dir
        self.label = label
        self.reference = None
        self.grabs = []  # (seconds after uncovering, pixels)
        self.phase = "waiting"
        self.thread = None
        self.uncovered_at = None

    def step(self, now, origin):
        """Called from the ping loop; maps and unmaps the cover at their times."""
        if self.phase == "waiting" and now - origin >= self.start_after:
            self.reference = self._grab_now()
            self.display.x.XMapRaised(self.display.dpy, self.cover)
            self.display.x.XSync(self.display.dpy, 0)
            self.phase = "covered"
            self.covered_at = now
        elif self.phase == "covered" and now - self.covered_at >= 0.2:
            self.display.x.XUnmapWindow(self.display.dpy, self.cover)
            self.display.x.XSync(self.display.dpy, 0)
            self.uncovered_at = time.monotonic()
            self.phase = "grabbing"
            self.thread = threading.Thread(target=self._grab_after, daemon=True)
            self.thread.start()

    def _grab_now(self):
        grabber = Display(watch_root=False)
        try:
            return grabber.grab(*self.rect)
        finally:
            grabber.x.XCloseDisplay(grabber.dpy)

    def _grab_after(self):
        grabber = Display(watch_root=False)
        try:
            for delay in (0.05, 0.1, 0.2, 0.4, 0.8):
                pause = self.uncovered_at + delay - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                self.grabs.append((delay, grabber.grab(*self.rect)))
        finally:
            grabber.x.XCloseDisplay(grabber.dpy)

    def result(self, wait_ended_at):
        if self.thread:
            self.thread.join(timeout=5)
        self.display.x.XDestroyWindow(self.display.dpy, self.cover)
        self.display.x.XSync(self.display.dpy, 0)
        if self.phase != "grabbing":
            return {"done": False, "why": "the wait ended before the cover was put up"}
        x, y, width, height = self.rect
        checks = []
        for delay, pixels in self.grabs:
            same, covered = image_agreement(self.reference, pixels, COVER_PIXEL)
            checks.append({"after_ms": delay * 1000, "same_as_before": same,
                           "cover_left": covered,
                           "within_wait": self.uncovered_at + delay < wait_ended_at})
        if self.out_dir and self.grabs:
            save_ppm(os.path.join(self.out_dir, self.label + "-before-cover.ppm"),
                     self.reference, width, height)
            save_ppm(os.path.join(self.out_dir, self.label + "-uncovered-200ms.ppm"),
                     self.grabs[2][1], width, height)
        inside = [c for c in checks if c["within_wait"]]
        repainted = [c for c in inside if c["same_as_before"] >= 0.98 and c["cover_left"] < 0.01]
        return {"done": True, "checks": checks,
                "repainted_within_wait": bool(repainted),
                "first_repainted_ms": repainted[0]["after_ms"] if repainted else None,
                "grabs_within_wait": len(inside)}


def ping_run(display, window, until, minimum=60, seed=7, cover=None, limit=60.0):
    """Pings `window` 10 to 40 ms apart until `until(now)` says stop (and at least
    `minimum` pings have gone out, when `until` is None). Gives the round trips of the
    pings sent, in seconds (math.inf when never answered within 3 s after the end)."""
    rng = random.Random(seed)
    sent = []
    origin = time.monotonic()
    next_ping = origin
    while True:
        now = time.monotonic()
        if now - origin > limit:
            break
        if until is not None:
            if until(now):
                break
        elif len(sent) >= minimum:
            break
        if cover:
            cover.step(now, origin)
        if now >= next_ping:
            sent.append((now, display.send_ping(window)))
            next_ping = now + rng.uniform(0.010, 0.040)
        display.pump(max(0.0, min(next_ping - time.monotonic(), 0.01)))
    ended = time.monotonic()
    while time.monotonic() - ended < 3 and any(stamp not in display.replies for _, stamp in sent):
        display.pump(0.05)
    return [display.replies.get(stamp, math.inf) - when for when, stamp in sent], ended


# Ports, programs and the far end.

class Pty:
    """A pseudo-terminal: the master is the far end; `observer` is a descriptor of the
    slave that never reads, opened before the program so that its input queue can be
    looked at (FIONREAD) without ever opening the device under the program."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.device = os.ttyname(slave)
        tty.setraw(slave)
        self.observer = slave
        os.set_blocking(self.master, False)

    def unread(self):
        import fcntl
        import termios
        count = ctypes.c_int()
        fcntl.ioctl(self.observer, termios.FIONREAD, count)
        return count.value

    def capacity(self):
        """How many bytes the slave can write before the master reads: the most a
        writer on the slave can be ahead of the far end."""
        writer = os.open(self.device, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
        total = 0
        try:
            while True:
                total += os.write(writer, b"x" * 1024)
        except BlockingIOError:
            pass
        finally:
            os.close(writer)
        while self.drain():
            pass
        return total

    def drain(self):
        got = 0
        try:
            while True:
                chunk = os.read(self.master, 65536)
                if not chunk:
                    break
                got += len(chunk)
        except (BlockingIOError, OSError):
            pass
        return got

    def close(self):
        os.close(self.observer)
        os.close(self.master)


def wait_until(condition, timeout, step=0.01):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


class Session:
    """Starts the programs on the display with a private home and port directory."""

    def __init__(self, display, work, out_dir):
        self.display = display
        self.work = work
        self.out_dir = out_dir
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, ".config"), exist_ok=True)
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"), LC_ALL="C.UTF-8",
                        QT_QPA_PLATFORM="xcb", NO_AT_BRIDGE="1")
        for name in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER"):
            self.env.pop(name, None)
        self.processes = []

    def start(self, args, extra_env=None, log=None):
        env = dict(self.env, **(extra_env or {}))
        out = open(os.path.join(self.out_dir, log), "ab") if log else subprocess.DEVNULL
        started = time.monotonic()
        process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=out)
        if log:
            out.close()
        self.processes.append(process)
        mapped = self.display.wait_for_window(process.pid, started + 30, after=started)
        if not mapped:
            self.end(process)
            raise RuntimeError("%s showed no window within 30 s" % args[0])
        process.mapped_after = mapped[0] - started  # exec to the window mapped
        # No window manager: give the window the keyboard focus as one would.
        self.xdotool("windowfocus", str(mapped[1]))
        return process, mapped[1]

    def start_windowless(self, args):
        process = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def click(self, window, program, control):
        x, y, width, height = self.display.geometry(window)
        template = TEMPLATES[program]
        units_x, units_y = template["controls"][control]
        # No --sync: xdotool then waits for a motion that never comes when the pointer is
        # already there; the server handles the move before the click anyway.
        self.xdotool("mousemove", str(x + round(units_x * width / template["size"][0])),
                     str(y + round(units_y * height / template["size"][1])), "click", "1")

    def ports(self, device):
        ports = tempfile.mkdtemp(prefix="ports-", dir=self.work)
        os.symlink(device, os.path.join(ports, "com1"))
        return ports

    def end(self, process):
        end_process(process)

    def end_all(self):
        for process in self.processes:
            self.end(process)


def wait_answering(display, window, timeout=30.0):
    """Waits until the window answers a ping: everything before it has been handled."""
    stamp = display.send_ping(window)
    deadline = time.monotonic() + timeout
    while stamp not in display.replies and time.monotonic() < deadline:
        display.pump(0.05)
    return stamp in display.replies


def program_path(prefix, name):
    for candidate in (os.path.join(prefix, "bin", name), os.path.join(prefix, name, name)):
        if os.access(candidate, os.X_OK):
            return candidate
    raise SystemExit("no %s under %s (looked for bin/%s and %s/%s)"
                     % (name, prefix, name, name, name))


def start_connected(session, program, args, pty, env=None, log=None):
    """Starts a program on `pty` and connects it (for the pads: Connect clicked)."""
    process, window = session.start(args, extra_env=env, log=log)
    if program in TEMPLATES:
        session.click(window, program, "connect")
    if not wait_until(lambda: holds_open(process.pid, pty.device), 10):
        session.end(process)
        raise RuntimeError("%s did not open %s" % (program, pty.device))
    wait_answering(session.display, window)
    time.sleep(0.3)  # the connected state settles (the receiver's timer runs)
    return process, window


# The measurements.

def measure_silent(session, program, args, env_for):
    pty = Pty()
    try:
        process, window = start_connected(session, program, args(pty), pty, env_for(pty),
                                          log=program + "-silent.log")
        # Also shows that a live window is seen to repaint after the cover.
        cover = CoverTest(session.display, window, 0.5, session.out_dir, program + "-silent")
        samples, ended = ping_run(session.display, window, None, minimum=120, cover=cover)
        result = ping_summary(samples)
        result["cover"] = cover.result(math.inf)
        session.end(process)
        return result
    finally:
        pty.close()


def measure_connect_wait(session, sendpad, shim):
    """sendpad's Connect on a Bluetooth-like port whose link never comes up."""
    pty = Pty()
    try:
        env = {"SERIALPADS_PORTS": session.ports(pty.device),
               "LD_PRELOAD": shim, "SERIALPADS_BENCH_NO_CARRIER": pty.device}
        process, window = session.start([sendpad], extra_env=env, log="sendpad-wait.log")
        wait_answering(session.display, window)
        clicked = time.monotonic()
        session.click(window, "sendpad", "connect")
        ended = {}

        def over(now):
            # The wait ends when the open gives up (the error message appears) or, on a
            # port layer that no longer waits, when the port is open.
            for when, other in session.display.maps:
                if when > clicked and other != window and session.display.pid_of(other) \
                        == process.pid:
                    ended.setdefault("at", when)
                    ended.setdefault("how", "message")
            if "at" not in ended and holds_open(process.pid, pty.device) and now - clicked > 9:
                ended.setdefault("at", now)
                ended.setdefault("how", "still waiting or connected after 9 s")
            return "at" in ended

        cover = CoverTest(session.display, window, 1.0, session.out_dir, "sendpad-connect-wait")
        samples, stopped = ping_run(session.display, window, over, cover=cover, limit=20)
        wait_end = ended.get("at", stopped)
        result = ping_summary(samples)
        result["wait_seconds"] = wait_end - clicked
        result["wait_ended_by"] = ended.get("how", "time limit")
        result["cover"] = cover.result(wait_end)
        session.end(process)
        return result
    finally:
        pty.close()


def measure_long_write(session, sendpad):
    """sendpad writing a 64 KiB line to a far end that reads 1 KiB every 100 ms."""
    pty = Pty()
    capacity = pty.capacity()
    clip = None
    try:
        env = {"SERIALPADS_PORTS": session.ports(pty.device)}
        process, window = start_connected(session, "sendpad", [sendpad], pty, env,
                                          log="sendpad-write.log")
        line = ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-" * 1024)
        line = line[:LONG_LINE]
        clip = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                                env=session.env, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        clip.stdin.write(line.encode("ascii"))
        clip.stdin.close()

        def offered():
            result = subprocess.run(["xclip", "-o", "-selection", "clipboard"],
                                    env=session.env, capture_output=True, check=False)
            return result.stdout == line.encode("ascii")
        if not wait_until(offered, 10, 0.05):
            raise RuntimeError("the clipboard did not take the long line")
        session.click(window, "sendpad", "text")
        session.xdotool("key", "--clearmodifiers", "ctrl+v")
        wait_answering(session.display, window)  # the paste has been handled

        received = bytearray()
        marks = []
        stop = threading.Event()

        def slow_far_end():
            next_read = time.monotonic()
            while not stop.is_set():
                try:
                    chunk = os.read(pty.master, SLOW_READ)
                    received.extend(chunk)
                    marks.append((time.monotonic(), len(received)))
                except (BlockingIOError, OSError):
                    pass
                next_read += SLOW_PERIOD
                stop.wait(max(0.0, next_read - time.monotonic()))
        reader = threading.Thread(target=slow_far_end, daemon=True)
        reader.start()
        total = LONG_LINE + 1
        # The writer may be ahead of the far end by what the pseudo-terminal holds, plus
        # a margin for the last read's size.
        margin = capacity + 2 * SLOW_READ
        clicked = time.monotonic()
        session.click(window, "sendpad", "send")
        cover = CoverTest(session.display, window, 1.0, session.out_dir, "sendpad-long-write")
        samples, stopped = ping_run(
            session.display, window,
            lambda now: not write_still_running(len(received), total, margin),
            cover=cover, limit=60)
        result = ping_summary(samples)
        result["certainly_writing_seconds"] = stopped - clicked
        result["cover"] = cover.result(stopped)
        wait_until(lambda: len(received) >= total, 30, 0.05)
        stop.set()
        reader.join()
        result["far_end_bytes"] = len(received)
        result["bytes_exact"] = bytes(received) == line.encode("ascii") + b"\r"
        result["pty_capacity"] = capacity
        result["write_total_seconds"] = (marks[-1][0] - clicked) if marks else math.nan
        session.end(process)
        return result
    finally:
        if clip and clip.poll() is None:
            clip.kill()
            clip.wait()
        pty.close()


def measure_idle(session, program, args, env_for):
    """CPU and wake-ups connected to a port that sends nothing."""
    pty = Pty()
    try:
        process, _ = start_connected(session, program, args(pty), pty, env_for(pty),
                                     log=program + "-idle.log")
        time.sleep(1.0)
        ticks = os.sysconf("SC_CLK_TCK")
        before = snapshot(process.pid)
        start = time.monotonic()
        time.sleep(IDLE_SECONDS)
        result = process_costs(before, snapshot(process.pid), time.monotonic() - start, ticks)
        session.end(process)
        return result
    finally:
        pty.close()


def measure_menu_open(session, recvpad):
    """recvpad connected with its received text's menu held open while bytes arrive:
    the bytes still waiting in the port 2.5 s later, and the CPU meanwhile."""
    pty = Pty()
    try:
        env = {"SERIALPADS_PORTS": session.ports(pty.device)}
        process, window = start_connected(session, "recvpad", [recvpad], pty, env,
                                          log="recvpad-menu.log")
        x, y, width, height = session.display.geometry(window)
        units_x, units_y = TEMPLATES["recvpad"]["controls"]["text"]
        session.xdotool("mousemove", str(x + round(units_x * width / 139.0)),
                        str(y + round(units_y * height / 153.0)), "click", "3")
        time.sleep(0.5)
        ticks = os.sysconf("SC_CLK_TCK")
        before = snapshot(process.pid)
        start = time.monotonic()
        os.write(pty.master, MENU_BYTES)
        time.sleep(2.5)
        result = process_costs(before, snapshot(process.pid), time.monotonic() - start, ticks)
        result["bytes_sent"] = len(MENU_BYTES)
        result["bytes_left_in_port"] = pty.unread()
        session.xdotool("key", "Escape")
        time.sleep(0.3)
        session.end(process)
        return result
    finally:
        pty.close()


def measure_clear_during_send(session, sendpad):
    """sendpad sending a 200,000-character line to a far end slow to take it; Clear is
    clicked during the Send and "abc" typed after it. What the field then holds (a
    dialog that keeps its order: "abc") and whether the far end got the line."""
    pty = Pty()
    clip = None
    try:
        env = {"SERIALPADS_PORTS": session.ports(pty.device)}
        process, window = start_connected(session, "sendpad", [sendpad], pty, env,
                                          log="sendpad-clear.log")
        line = ("0123456789" * (CLEAR_LINE // 10 + 1))[:CLEAR_LINE]
        clip = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                                env=session.env, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        clip.stdin.write(line.encode("ascii"))
        clip.stdin.close()
        if not wait_until(lambda: subprocess.run(
                ["xclip", "-o", "-selection", "clipboard"], env=session.env,
                capture_output=True, check=False).stdout == line.encode("ascii"), 10, 0.05):
            raise RuntimeError("the clipboard did not take the line")
        session.click(window, "sendpad", "text")
        session.xdotool("key", "--clearmodifiers", "ctrl+v")
        wait_answering(session.display, window)
        received = bytearray()
        stop = threading.Event()

        def slow_far_end():
            while not stop.is_set():
                try:
                    received.extend(os.read(pty.master, 4 * SLOW_READ))
                except (BlockingIOError, OSError):
                    pass
                stop.wait(0.05)
        reader = threading.Thread(target=slow_far_end, daemon=True)
        reader.start()
        session.click(window, "sendpad", "send")
        time.sleep(0.3)
        writing_at_click = len(received) < CLEAR_LINE
        session.click(window, "sendpad", "clear")
        session.xdotool("type", "--delay", "20", "abc")
        wait_until(lambda: len(received) >= CLEAR_LINE + 1, 60, 0.05)
        stop.set()
        reader.join()
        wait_answering(session.display, window)
        time.sleep(0.3)
        session.click(window, "sendpad", "text")
        session.xdotool("key", "--clearmodifiers", "ctrl+a")
        session.xdotool("key", "--clearmodifiers", "ctrl+c")
        wait_answering(session.display, window)
        held = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=session.env,
                              capture_output=True, check=False).stdout.decode("utf-8", "replace")
        result = {"writing_when_clear_clicked": writing_at_click,
                  "field_after": held if len(held) <= 40 else "%d characters" % len(held),
                  "field_is_abc": held == "abc",
                  "far_end_exact": bytes(received[:CLEAR_LINE + 1]) == line.encode() + b"\r"}
        session.end(process)
        return result
    finally:
        if clip and clip.poll() is None:
            clip.kill()
            clip.wait()
        pty.close()


def stream_to(pty, lines, stop, sent):
    """Writes `lines` at STREAM_RATE, each at its own moment from the start (so a late
    write is caught up, not carried forward), until all are written or `stop` is set."""
    start = time.monotonic()
    for n, line in enumerate(lines):
        due = start + n * STREAM_LINE / STREAM_RATE
        if stop.wait(max(0.0, due - time.monotonic())):
            return
        view = memoryview(line)
        while view:
            try:
                written = os.write(pty.master, view)
                view = view[written:]
            except BlockingIOError:
                select.select([], [pty.master], [], 0.01)
        sent.append(line)


def measure_stream(session, program, args, env_for, seconds, trace_dir=None, copy=None):
    pty = Pty()
    stop = threading.Event()
    writer = None
    try:
        process, window = start_connected(session, program, args(pty), pty, env_for(pty),
                                          log=program + "-stream.log")
        extra = 40.0 if trace_dir else 0.0
        lines = stream_lines(int((seconds + 2 + extra) * STREAM_RATE / STREAM_LINE))
        sent = []
        writer = threading.Thread(target=stream_to, args=(pty, lines, stop, sent), daemon=True)
        writer.start()
        time.sleep(1.0)  # in full flow before counting
        ticks = os.sysconf("SC_CLK_TCK")
        before = snapshot(process.pid)
        start = time.monotonic()
        load_start = os.getloadavg()
        time.sleep(seconds)
        after = snapshot(process.pid)
        result = process_costs(before, after, time.monotonic() - start, ticks)
        result["load_at_start"] = load_start
        if trace_dir:
            result["trace"] = trace(process.pid, trace_dir, program)
        stop.set()
        writer.join()
        result["lines_sent"] = len(sent)
        wait_until(lambda: pty.unread() == 0, 10, 0.05)
        time.sleep(0.2)
        result["unread_at_end"] = pty.unread()
        if copy:
            wait_answering(session.display, window)
            result["shown"] = copy(window, sent)
        session.end(process)
        return result
    finally:
        stop.set()
        if writer:
            writer.join()
        pty.close()


def copy_recvpad_field(session):
    def copy(window, sent):
        session.click(window, "recvpad", "text")
        session.xdotool("key", "--clearmodifiers", "ctrl+a")
        session.xdotool("key", "--clearmodifiers", "ctrl+c")
        wait_answering(session.display, window)
        result = subprocess.run(["xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"],
                                env=session.env, capture_output=True, check=False)
        text = result.stdout.decode("utf-8", "replace")
        matching, mismatch = shown_lines_check(sent, text)
        return {"lines_matching": matching, "mismatch": mismatch}
    return copy


def trace(pid, out_dir, label):
    """Where the wake-ups go: strace -c and strace -tt on all threads for a few seconds
    each, then perf (software clock) when it works. Saves the raw outputs."""
    found = {}
    if shutil.which("strace"):
        summary = os.path.join(out_dir, label + "-strace-c.txt")
        subprocess.run(["timeout", "-s", "INT", "5", "strace", "-f", "-c", "-o", summary,
                        "-p", str(pid)], check=False, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        found["strace_c"] = summary
        timed = os.path.join(out_dir, label + "-strace-tt.txt")
        subprocess.run(["timeout", "-s", "INT", "3", "strace", "-f", "-tt", "-o", timed,
                        "-p", str(pid)], check=False, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        found["strace_tt"] = timed
        found["strace_tt_by_thread"] = strace_by_thread(timed, pid, 3.0)
    if shutil.which("perf"):
        stat = os.path.join(out_dir, label + "-perf-stat.txt")
        subprocess.run(["perf", "stat", "--per-thread", "-e",
                        "task-clock,context-switches,cpu-migrations", "-p", str(pid), "-o",
                        stat, "--", "sleep", "5"], check=False, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        found["perf_stat"] = stat
        data = os.path.join(out_dir, label + "-perf.data")
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-g", "-o",
                        data, "-p", str(pid), "--", "sleep", "8"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = os.path.join(out_dir, label + "-perf-report.txt")
        with open(report, "w") as file:
            subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                            "--sort", "comm,dso,sym", "--percent-limit", "1", "-g", "none"],
                           check=False, stdout=file, stderr=subprocess.DEVNULL)
        found["perf_report"] = report
    return found


def strace_by_thread(path, pid, seconds):
    """Calls per second, by thread and call, from an strace -f -tt log."""
    counts = {}
    names = {}
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/comm") as file:
                names[int(tid)] = file.read().strip()
    except OSError:
        pass
    pattern = re.compile(r"^(\d+)\s+\S+\s+(?:<\.\.\. )?(\w+)")
    try:
        with open(path) as file:
            for line in file:
                match = pattern.match(line)
                if not match or "resumed>" in line and "<..." not in line:
                    continue
                if "<..." in line:
                    continue  # the end of a call already counted at its start
                tid, call = int(match.group(1)), match.group(2)
                key = "%s/%s" % (names.get(tid, str(tid)), call)
                counts[key] = counts.get(key, 0) + 1
    except OSError:
        return {}
    return {key: count / seconds for key, count in
            sorted(counts.items(), key=lambda item: -item[1])[:25]}


# The run and its table.

def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a" if value is None or math.isnan(value) else "inf"
    return "%.*f" % (digits, value)


def table(results):
    """Rows of the run's headline figures, each installation beside gtkterm."""
    gtk = results.get("gtkterm", {})
    out = []
    head = "| Measure | gtkterm |"
    rule = "|---|---|"
    for label in results["installations"]:
        head += " %s | ratio |" % label
        rule += "---|---|"
    out += [head, rule]

    def row(name, value_of, base_of=None, digits=2):
        base = base_of(gtk) if (base_of and gtk) else None
        line = "| %s | %s |" % (name, fmt(base, digits) if base_of else "")
        for label in results["installations"]:
            value = value_of(results["installations"][label])
            line += " %s | %s |" % (fmt(value, digits),
                                    fmt(ratio(value, base), 2) if base_of else "")
        out.append(line)

    def get(*keys):
        def walk(data):
            for key in keys:
                if not isinstance(data, dict) or key not in data:
                    return None
                data = data[key]
            return data
        return walk

    row("connected, silent: ping median, ms", get("silent", "median_ms"),
        get("silent", "median_ms"))
    row("connected, silent: ping p99, ms", get("silent", "p99_ms"), get("silent", "p99_ms"))
    row("  repainted after cover (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(get("silent", "cover", "repainted_within_wait")(r)),
        lambda r: {True: 1.0, False: 0.0}.get(get("silent", "cover", "repainted_within_wait")(r)),
        digits=0)
    row("sendpad Connect waiting for the link: ping median, ms",
        get("connect_wait", "median_ms"), get("silent", "median_ms"))
    row("sendpad Connect waiting for the link: ping p99, ms", get("connect_wait", "p99_ms"),
        get("silent", "p99_ms"))
    row("  length of that wait, s", get("connect_wait", "wait_seconds"))
    row("  repainted after cover during the wait (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            (get("connect_wait", "cover", "repainted_within_wait")(r))), digits=0)
    row("sendpad writing 64 KiB to a slow reader: ping median, ms",
        get("long_write", "median_ms"), get("silent", "median_ms"))
    row("sendpad writing 64 KiB to a slow reader: ping p99, ms", get("long_write", "p99_ms"),
        get("silent", "p99_ms"))
    row("  repainted after cover during the write (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            (get("long_write", "cover", "repainted_within_wait")(r))), digits=0)
    row("  far end got the line exactly (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(get("long_write", "bytes_exact")(r)), digits=0)
    row("connected, silent: CPU, % of one core", get("idle", "cpu_percent"),
        get("idle", "cpu_percent"), digits=3)
    row("connected, silent: voluntary wake-ups per second", get("idle", "wakeups_per_second"),
        get("idle", "wakeups_per_second"), digits=1)
    row("recvpad, menu held open while bytes arrive: bytes left in the port after 2.5 s",
        get("menu_open", "bytes_left_in_port"), digits=0)
    row("  CPU meanwhile, % of one core", get("menu_open", "cpu_percent"), digits=2)
    row("sendpad, Clear clicked during a 200,000-character Send, then abc: field is abc "
        "(1 yes, 0 no)", lambda r: {True: 1.0, False: 0.0}.get(
            get("clear_during_send", "field_is_abc")(r)), digits=0)
    row("  Send still writing when Clear was clicked (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            get("clear_during_send", "writing_when_clear_clicked")(r)), digits=0)
    row("5,000 B/s stream: CPU, % of one core", get("stream", "cpu_percent"),
        get("stream", "cpu_percent"))
    row("5,000 B/s stream: voluntary wake-ups per second", get("stream", "wakeups_per_second"),
        get("stream", "wakeups_per_second"), digits=0)
    # The receivers stream longer when they are traced, so the counts are not compared.
    row("  lines sent", get("stream", "lines_sent"), digits=0)
    row("  lines sent, gtkterm", lambda r: get("stream", "lines_sent")(gtk), digits=0)
    row("  lines shown exactly, in order", get("stream", "shown", "lines_matching"), digits=0)
    row("  bytes left unread in the port at the end", get("stream", "unread_at_end"),
        get("stream", "unread_at_end"), digits=0)
    return "\n".join(out)


def threads_text(label, stream):
    lines = ["%s, by thread (CPU %% of one core, voluntary and involuntary switches per s):"
             % label]
    for thread in stream.get("threads", []):
        lines.append("  %-18s %6.2f %%  %7.1f  %6.1f" % (
            thread["name"], thread["cpu_percent"], thread["wakeups_per_second"],
            thread["involuntary_per_second"]))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--installation", action="append", default=[], metavar="LABEL=DIR",
                        help="an installation prefix or build directory, with a label")
    parser.add_argument("--gtkterm", default=shutil.which("gtkterm"))
    parser.add_argument("--shim", required=True, help="the no-carrier LD_PRELOAD library")
    parser.add_argument("--gtkterm-shim", required=True,
                        help="the LD_PRELOAD library that lets gtkterm keep a pty open")
    parser.add_argument("--out", required=True)
    parser.add_argument("--stream-seconds", type=float, default=30.0)
    parser.add_argument("--trace", action="store_true",
                        help="also strace and perf the receivers while they stream")
    arguments = parser.parse_args()
    os.makedirs(arguments.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="serialpads-live-")
    display = Display()
    session = Session(display, work, arguments.out)
    results = {"date": time.strftime("%Y-%m-%d %H:%M"), "processors": os.cpu_count(),
               "load_at_start": os.getloadavg(),
               "probe_own_round_trip_ms": display.own_round_trip() * 1000,
               "installations": {}}
    print("display %s, %d processors, load %s; probe's own round trip %.3f ms"
          % (os.environ.get("DISPLAY"), os.cpu_count(),
             " ".join("%.2f" % v for v in os.getloadavg()), results["probe_own_round_trip_ms"]),
          flush=True)
    try:
        if arguments.gtkterm:
            # Its own defaults as it writes them on a first run (without the file it opens
            # no port until a message about creating it is answered), but with each CR
            # shown as a line end, as the pads show it.
            with open(os.path.join(session.env["XDG_CONFIG_HOME"], ".gtktermrc"), "w") as file:
                file.write(GTKTERM_CONFIG)

            def gtk_args(pty):
                return [arguments.gtkterm, "-p", pty.device, "-s", "9600"]

            print("gtkterm: silent", flush=True)
            def gtk_env(pty):
                return {"LD_PRELOAD": arguments.gtkterm_shim}
            gtk = {"silent": measure_silent(session, "gtkterm", gtk_args, gtk_env)}
            print("gtkterm: idle", flush=True)
            gtk["idle"] = measure_idle(session, "gtkterm", gtk_args, gtk_env)
            print("gtkterm: stream", flush=True)
            gtk["stream"] = measure_stream(session, "gtkterm", gtk_args, gtk_env,
                                           arguments.stream_seconds)
            results["gtkterm"] = gtk
        for entry in arguments.installation:
            label, _, prefix = entry.partition("=")
            sendpad = program_path(prefix, "sendpad")
            recvpad = program_path(prefix, "recvpad")
            mine = {"prefix": prefix}

            def pad_env(pty):
                return {"SERIALPADS_PORTS": session.ports(pty.device)}
            print("%s: recvpad silent" % label, flush=True)
            mine["silent"] = measure_silent(session, "recvpad", lambda pty: [recvpad], pad_env)
            print("%s: recvpad idle" % label, flush=True)
            mine["idle"] = measure_idle(session, "recvpad", lambda pty: [recvpad], pad_env)
            print("%s: sendpad Clear during a long Send" % label, flush=True)
            mine["clear_during_send"] = measure_clear_during_send(session, sendpad)
            print("%s: sendpad Connect waiting for the link" % label, flush=True)
            mine["connect_wait"] = measure_connect_wait(session, sendpad, arguments.shim)
            print("%s: sendpad writing a long line" % label, flush=True)
            mine["long_write"] = measure_long_write(session, sendpad)
            print("%s: recvpad stream" % label, flush=True)
            trace_dir = os.path.join(arguments.out, label + "-trace") if arguments.trace else None
            if trace_dir:
                os.makedirs(trace_dir, exist_ok=True)
            mine["stream"] = measure_stream(session, "recvpad", lambda pty: [recvpad], pad_env,
                                            arguments.stream_seconds, trace_dir=trace_dir,
                                            copy=copy_recvpad_field(session))
            results["installations"][label] = mine
        # Last of all, the results so far written first: in this Xvfb set-up a program
        # started after a menu was held open (and its program ended) could not connect
        # to the display, and the probe's own connection did not always survive it.
        with open(os.path.join(arguments.out, "results.json"), "w") as file:
            json.dump(results, file, indent=1, default=str)
        print(table(results), flush=True)
        for label, mine in results["installations"].items():
            print("%s: recvpad menu held open" % label, flush=True)
            mine["menu_open"] = measure_menu_open(session, program_path(mine["prefix"], "recvpad"))
            print("  %s" % json.dumps({key: value for key, value in mine["menu_open"].items()
                                       if key != "threads"}), flush=True)
    finally:
        session.end_all()
        shutil.rmtree(work, ignore_errors=True)
    results["load_at_end"] = os.getloadavg()
    with open(os.path.join(arguments.out, "results.json"), "w") as file:
        json.dump(results, file, indent=1, default=str)
    print()
    print(table(results))
    print()
    if "gtkterm" in results:
        print(threads_text("gtkterm", results["gtkterm"]["stream"]))
    for label, mine in results["installations"].items():
        print(threads_text("recvpad " + label, mine["stream"]))
    print("load average at start %s, at end %s" % (
        " ".join("%.2f" % v for v in results["load_at_start"]),
        " ".join("%.2f" % v for v in results["load_at_end"])))
    print("raw results and grabs in %s" % arguments.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
