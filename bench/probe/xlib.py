"""The few Xlib calls the probes need, over ctypes, and a connection to the display.

One binding for every probe, loaded once per process. A probe that opens connections on
more than one thread asks for threads=True before its first connection, as Xlib
requires; the others leave Xlib without its locks.
"""

import ctypes
import ctypes.util
import os
import sys

CLIENT_MESSAGE = 33
MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
STRUCTURE_NOTIFY_MASK = 1 << 17
Z_PIXMAP = 2
CW_BACK_PIXEL = 1 << 1
CW_OVERRIDE_REDIRECT = 1 << 9


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("pad", ctypes.c_long * 24)]


class XAnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong)]


class XMapEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("override_redirect", ctypes.c_int)]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class XSetWindowAttributes(ctypes.Structure):
    _fields_ = [("background_pixmap", ctypes.c_ulong), ("background_pixel", ctypes.c_ulong),
                ("border_pixmap", ctypes.c_ulong), ("border_pixel", ctypes.c_ulong),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("cursor", ctypes.c_ulong)]


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


_lib = None
_threads = False


def library(threads=False):
    """libX11 with the prototypes the probes use. threads=True makes Xlib safe for
    connections on several threads; it must come before the first connection."""
    global _lib, _threads
    if _lib is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11"))
        vp, ul, i, ui = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
        for name, argtypes, restype in [
            ("XInitThreads", [], i),
            ("XOpenDisplay", [ctypes.c_char_p], vp),
            ("XDefaultRootWindow", [vp], ul),
            ("XSelectInput", [vp, ul, ctypes.c_long], i),
            ("XFlush", [vp], i),
            ("XSync", [vp, i], i),
            ("XPending", [vp], i),
            ("XNextEvent", [vp, ctypes.POINTER(XEvent)], i),
            ("XConnectionNumber", [vp], i),
            ("XFetchName", [vp, ul, ctypes.POINTER(ctypes.c_char_p)], i),
            ("XInternAtom", [vp, ctypes.c_char_p, i], ul),
            ("XSendEvent", [vp, ul, i, ctypes.c_long, ctypes.POINTER(XEvent)], i),
            ("XGetGeometry", [vp, ul, ctypes.POINTER(ul)] + [ctypes.POINTER(i)] * 2
             + [ctypes.POINTER(ui)] * 4, i),
            ("XTranslateCoordinates", [vp, ul, ul, i, i, ctypes.POINTER(i),
                                       ctypes.POINTER(i), ctypes.POINTER(ul)], i),
            ("XCreateSimpleWindow", [vp, ul, i, i, ui, ui, ui, ul, ul], ul),
            ("XCreateWindow", [vp, ul, i, i, ui, ui, ui, i, ui, vp, ul,
                               ctypes.POINTER(XSetWindowAttributes)], ul),
            ("XMapWindow", [vp, ul], i),
            ("XMapRaised", [vp, ul], i),
            ("XUnmapWindow", [vp, ul], i),
            ("XDestroyWindow", [vp, ul], i),
            ("XGetImage", [vp, ul, i, i, ui, ui, ul, i], ctypes.POINTER(XImage)),
            ("XFree", [vp], i),
            ("XGetWindowProperty", [vp, ul, ul, ctypes.c_long, ctypes.c_long, i, ul,
                                    ctypes.POINTER(ul), ctypes.POINTER(i),
                                    ctypes.POINTER(ul), ctypes.POINTER(ul),
                                    ctypes.POINTER(ctypes.c_void_p)], i),
            ("XCloseDisplay", [vp], i),
        ]:
            function = getattr(lib, name)
            function.argtypes = argtypes
            function.restype = restype
        _lib = lib
    if threads and not _threads:
        _lib.XInitThreads()
        _threads = True
    return _lib


class Connection:
    """One connection to the X server named by $DISPLAY, watching the root window for
    `root_mask` (nothing when 0). Ends the probe when the display cannot be opened."""

    def __init__(self, root_mask, threads=False):
        self.x = library(threads)
        self.dpy = self.x.XOpenDisplay(None)
        if not self.dpy:
            sys.exit("cannot open display %s" % os.environ.get("DISPLAY"))
        self.root = self.x.XDefaultRootWindow(self.dpy)
        if root_mask:
            self.x.XSelectInput(self.dpy, self.root, root_mask)
        self.x.XSync(self.dpy, 0)
        self.fd = self.x.XConnectionNumber(self.dpy)

    def geometry(self, window):
        """The window's place on the root and its size: x, y, width, height."""
        root = ctypes.c_ulong()
        x, y = ctypes.c_int(), ctypes.c_int()
        width, height, border, depth = (ctypes.c_uint() for _ in range(4))
        self.x.XGetGeometry(self.dpy, window, ctypes.byref(root), ctypes.byref(x),
                            ctypes.byref(y), ctypes.byref(width), ctypes.byref(height),
                            ctypes.byref(border), ctypes.byref(depth))
        child = ctypes.c_ulong()
        self.x.XTranslateCoordinates(self.dpy, window, self.root, 0, 0, ctypes.byref(x),
                                     ctypes.byref(y), ctypes.byref(child))
        return x.value, y.value, width.value, height.value

    def mapped_window(self, event):
        """The window a MapNotify event is about."""
        return ctypes.cast(ctypes.byref(event), ctypes.POINTER(XMapEvent)).contents.window
