"""The live probe's X connection: top-level maps, the window manager's ping and its
answers, a covering window and screen grabs, and the ping schedule that drives them."""

import ctypes
import math
import os
import random
import select
import statistics
import threading
import time

from probe import xlib
from probe.figures import image_agreement


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
