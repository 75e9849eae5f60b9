"""A private X session in which the installed programs run as a user runs them.

Xvfb picks a free display itself (-displayfd), so sessions started side by side never
collide. Openbox manages the windows: without a window manager nothing honours a
request to close a window politely, and the close button is how a user ends a program.
Input goes through the XTEST extension (xdotool), so the programs see real key and
button events, and the clipboard is the real one (xclip).

Every process started here is ended when the session closes, and also dies with the
test process if that is killed outright, so a failed or timed-out run leaves nothing
behind. Every wait is for a condition, with a deadline.
"""

import atexit
import ctypes
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

# Generous, because the machine may be busy building or running other tests; a wait
# that succeeds returns as soon as its condition holds.
WAIT_SECONDS = 30.0
POLL_SECONDS = 0.05

TOOL_PACKAGES = {
    "Xvfb": "xvfb",
    "openbox": "openbox",
    "wmctrl": "wmctrl",
    "xdotool": "xdotool",
    "xclip": "xclip",
    "xprop": "x11-utils",
}

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # Runs in the child between fork and exec: if the test process is killed (as by a
    # test time-out), the kernel kills the child too.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def missing_tools():
    """The tools this session needs that are not installed, with their Debian packages."""
    return [f"{tool} (package {package})" for tool, package in TOOL_PACKAGES.items()
            if shutil.which(tool) is None]


def wait_for(condition, what, timeout=WAIT_SECONDS):
    """Polls `condition` until it gives a true value, and returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up after {timeout:.0f} s waiting for {what}")
        time.sleep(POLL_SECONDS)


class Desktop:
    """Xvfb with Openbox, and the processes started on it."""

    def __init__(self):
        self.workdir = tempfile.mkdtemp(prefix="serialpads-e2e-")
        self.children = []
        self.env = None
        self.server = None
        # Also on the way out of an interrupted run, which skips the test's own clean-up.
        atexit.register(self.close)

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        missing = missing_tools()
        if missing:
            raise RuntimeError("end-to-end tests need: " + ", ".join(missing)
                               + "; tools/install-deps.sh installs them")
        home = os.path.join(self.workdir, "home")
        runtime = os.path.join(self.workdir, "runtime")
        os.makedirs(home)
        os.makedirs(runtime, mode=0o700)
        self.env = dict(os.environ)
        # Nothing the session does may touch the user's own settings or desktop.
        self.env.update(HOME=home, XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8",
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"))
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                     "SESSION_MANAGER"):
            self.env.pop(name, None)

        readable, writable = os.pipe()
        try:
            self.server = self.spawn(
                ["Xvfb", "-displayfd", str(writable), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=[writable], log="xvfb.log")
            os.close(writable)
            writable = -1
            number = self._read_display_number(readable)
        finally:
            os.close(readable)
            if writable >= 0:
                os.close(writable)
        self.env["DISPLAY"] = f":{number}"

        self.spawn(["openbox", "--sm-disable"], log="openbox.log")
        wait_for(lambda: self.run(["wmctrl", "-m"], check=False).returncode == 0,
                 "the window manager to start")

    def _read_display_number(self, fd):
        text = b""
        deadline = time.monotonic() + WAIT_SECONDS
        while not text.endswith(b"\n"):
            if self.server.poll() is not None:
                raise RuntimeError("Xvfb ended at start: " + self.log("xvfb.log"))
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("Xvfb did not report its display")
            ready, _, _ = select.select([fd], [], [], min(left, 0.5))
            if ready:
                chunk = os.read(fd, 64)
                if not chunk:
                    raise RuntimeError("Xvfb closed its display pipe: " + self.log("xvfb.log"))
                text += chunk
        return int(text)

    def log(self, name):
        try:
            with open(os.path.join(self.workdir, name), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def spawn(self, args, extra_env=None, pass_fds=(), log=None, stdin=subprocess.DEVNULL):
        """Starts a process on this display; it is ended when the session closes."""
        env = dict(self.env) if self.env else dict(os.environ)
        env.update(extra_env or {})
        out = open(os.path.join(self.workdir, log), "ab") if log else subprocess.DEVNULL
        try:
            process = subprocess.Popen(args, env=env, stdin=stdin, stdout=out, stderr=out,
                                       pass_fds=pass_fds, preexec_fn=_die_with_parent)
        finally:
            if log:
                out.close()
        self.children.append(process)
        return process

    def run(self, args, check=True, input=None):
        """Runs a short command (xdotool and the like) to its end."""
        result = subprocess.run(args, env=self.env, input=input, capture_output=True,
                                timeout=WAIT_SECONDS, preexec_fn=_die_with_parent)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(args)} failed ({result.returncode}): "
                                 + result.stderr.decode(errors="replace"))
        return result

    def close(self):
        # Programs first, the server last, so nothing loses its display while ending.
        for process in reversed(self.children):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.children):
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.children.clear()
        shutil.rmtree(self.workdir, ignore_errors=True)

    # Windows, keys and the clipboard.

    def visible_windows(self, pid):
        result = self.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], check=False)
        return [int(w) for w in result.stdout.split()]

    def window_name(self, window):
        result = self.run(["xdotool", "getwindowname", str(window)], check=False)
        if result.returncode != 0:
            return None  # gone meanwhile
        return result.stdout.decode(errors="replace").rstrip("\n")

    def window_size(self, window):
        values = {}
        geometry = self.run(["xdotool", "getwindowgeometry", "--shell", str(window)])
        for line in geometry.stdout.split():
            key, _, value = line.decode().partition("=")
            values[key] = value
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def allowed_actions(self, window):
        """What the window manager lets the user do with the window (_NET_WM_ALLOWED_ACTIONS)."""
        result = self.run(["xprop", "-id", str(window), "_NET_WM_ALLOWED_ACTIONS"])
        _, _, names = result.stdout.decode().partition("=")
        return {name.strip() for name in names.split(",") if name.strip()}

    def maximise(self, window):
        """Asks the window manager to maximise the window, as its maximise button would,
        and returns once it has handled the request, whatever it made of it."""
        self.run(["wmctrl", "-i", "-r", hex(window), "-b", "add,maximized_vert,maximized_horz"])
        # The window manager handles requests in order, so once a harmless one that
        # follows has shown its effect, the first has been dealt with too.
        self.run(["wmctrl", "-i", "-r", hex(window), "-b", "add,above"])
        wait_for(lambda: "_NET_WM_STATE_ABOVE" in self.window_state(window),
                 "the window manager to handle the requests")
        self.run(["wmctrl", "-i", "-r", hex(window), "-b", "remove,above"])

    def window_state(self, window):
        result = self.run(["xprop", "-id", str(window), "_NET_WM_STATE"])
        return result.stdout.decode()

    def active_window(self):
        result = self.run(["xdotool", "getactivewindow"], check=False)
        return int(result.stdout) if result.returncode == 0 and result.stdout.strip() else None

    def click(self, window, x, y):
        # No --sync: it waits for the pointer to move, which it never does when it is
        # already there. The server handles the motion before the click regardless.
        self.run(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1"])

    def key(self, *keys):
        self.run(["xdotool", "key", "--clearmodifiers", *keys])

    def type(self, text):
        self.run(["xdotool", "type", "--clearmodifiers", "--delay", "20", text])

    def close_window(self, window):
        # Asks the window manager to close the window, as its close button does.
        self.run(["wmctrl", "-i", "-c", hex(window)])

    def clipboard(self):
        result = self.run(["xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"],
                          check=False)
        return result.stdout.decode("utf-8") if result.returncode == 0 else None

    def offer_clipboard(self, text):
        """Puts `text` on the clipboard; returns the xclip process serving it."""
        server = self.spawn(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                            stdin=subprocess.PIPE)
        server.stdin.write(text.encode("utf-8"))
        server.stdin.close()
        wait_for(lambda: self.clipboard() == text, "the clipboard to hold the text to paste")
        return server
