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
import json
import math
import os
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from probe.display import CoverTest, Display, ping_run
from probe.figures import (STREAM_LINE, ping_summary, shown_lines_check, stream_lines,
                           write_still_running)
from probe.procstat import holds_open, process_costs, snapshot
from probe.report import table, threads_text
from probe.session import (GTKTERM_CONFIG, TEMPLATES, Pty, Session, program_path,
                           start_connected, wait_answering, wait_until)
from probe.tracing import trace

STREAM_RATE = 5000  # bytes per second
LONG_LINE = 64 * 1024
SLOW_READ = 1024  # bytes per read of the slow far end
SLOW_PERIOD = 0.1  # seconds between its reads
IDLE_SECONDS = 10.0  # connected and silent, counted
CLEAR_LINE = 200000  # characters sent while Clear is clicked and "abc" typed
MENU_BYTES = b"bytes while the menu is open\r"


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
