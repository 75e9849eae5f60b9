"""Programs under measurement on one display: pseudo-terminals as their ports, a private
home and port directory, starting a program connected, and where each control sits."""

import ctypes
import os
import subprocess
import tempfile
import time
import tty

from probe.procstat import end as end_process
from probe.procstat import holds_open


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

    def __init__(self, display, work, out_dir, session_bus=False):
        self.display = display
        self.work = work
        self.out_dir = out_dir
        if out_dir:
            os.makedirs(out_dir, exist_ok=True)
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, ".config"), exist_ok=True)
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"), LC_ALL="C.UTF-8",
                        QT_QPA_PLATFORM="xcb", NO_AT_BRIDGE="1")
        for name in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER"):
            self.env.pop(name, None)
        self.processes = []
        # A bus of the session's own, as every desktop session has one: without it,
        # each Qt program's accessibility bridge tries to launch one on its first text.
        self.bus = None
        if session_bus:
            self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=self.env)
            self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.stdout.readline().decode().strip()

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
        if self.bus:
            self.bus.terminate()
            self.bus.wait()
            self.bus = None


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
