#!/usr/bin/env python3
"""Runs an in-process test program on Qt's Wayland platform under a headless Weston.

Usage: run_on_weston.py TEST_PROGRAM [gtest arguments]

Starts Weston with its headless back end on a private socket in a private runtime
directory (mode 0700, as Wayland requires), runs the program there with
QT_QPA_PLATFORM=wayland and no X display, and stops Weston afterwards. Fails when the
program fails, when it ran no test, or when Qt printed any warning: on Wayland a call the
compositor does not allow shows up as a warning rather than as a failed test.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SOCKET = "serialpads-wayland"
# Qt's Wayland event thread may find its wake-up pipe already closed while the program
# is being torn down, after every test has run (one run in a few dozen): a race in Qt's
# own shutdown, not a call the compositor refused. Allowed only as the last lines.
TEARDOWN_RACE = "Failed to write to the pipe: Bad file descriptor."


def wait_for(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            sys.exit(f"timed out waiting for {what}")
        time.sleep(0.02)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    weston = shutil.which("weston")
    if weston is None:
        sys.exit("weston (package weston) is needed")
    runtime = tempfile.mkdtemp(prefix="serialpads-wayland-")
    os.chmod(runtime, 0o700)
    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    # The headless compositor offers no seat (no keyboard or pointer), and Qt's Wayland
    # text-input context takes one for granted: the tests' synthetic key presses would
    # crash it. Qt's plain compose input context handles them as on X11.
    environment.update(XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY=SOCKET,
                       QT_QPA_PLATFORM="wayland", QT_IM_MODULE="compose")
    log_path = os.path.join(runtime, "weston.log")
    with open(log_path, "w") as log:
        compositor = subprocess.Popen(
            [weston, "--backend=headless-backend.so", f"--socket={SOCKET}", "--idle-time=0",
             "--no-config"], env=environment, stdout=log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        wait_for(lambda: os.path.exists(os.path.join(runtime, SOCKET))
                 or compositor.poll() is not None, "weston to open its socket")
        if compositor.poll() is not None:
            with open(log_path) as log:
                sys.exit("weston did not start:\n" + log.read())
        result = subprocess.run(sys.argv[1:], env=environment, capture_output=True, text=True,
                                stdin=subprocess.DEVNULL)
    finally:
        compositor.terminate()
        try:
            compositor.wait(timeout=10)
        except subprocess.TimeoutExpired:
            compositor.kill()
            compositor.wait()
        shutil.rmtree(runtime, ignore_errors=True)

    sys.stdout.write(result.stdout)
    sys.stdout.write(result.stderr)
    problems = []
    if result.returncode != 0:
        problems.append(f"the tests exited with status {result.returncode}")
    if "[  PASSED  ]" not in result.stdout:
        problems.append("no test passed")
    # Qt's messages go to standard error; the tests write nothing there themselves.
    warnings = [line for line in result.stderr.splitlines() if line.strip()]
    while warnings and warnings[-1].strip() == TEARDOWN_RACE:
        warnings.pop()
    if warnings:
        problems.append("Qt printed warnings:\n  " + "\n  ".join(warnings))
    if problems:
        sys.exit("\n".join(problems))


if __name__ == "__main__":
    main()
