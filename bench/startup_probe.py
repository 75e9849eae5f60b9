#!/usr/bin/env python3
"""Start-up, memory and idle cost of the pads beside their peers, in one run on one
display: Debian's gtkterm on the same kind of port, a bare Qt window that opens the
device (bare_window.cpp: the floor of the stack the pads stand on), that window with a
line of text for start-up and, for the idle figures, that window waking as often as a
connected receiver and the receiver's polling alone without a window (plain_loop.c).

- start-up: from just before the program is started to the server's MapNotify of its
  first top-level window (its _NET_WM_PID names it). The programs take turns, one start
  each per round, so a burst of load on a shared machine hits them alike. Each pad is
  then connected (Connect clicked); 0.5 s after the port is held, VmRSS is read.
- idle: every program started at once, each connected to a pseudo-terminal that sends
  nothing, then counted over the same consecutive windows: time on a processor in
  nanoseconds (/proc/PID/task/*/schedstat) and voluntary context switches
  (/proc/PID/task/*/status), summed over all threads.

Run by startup.sh, which makes the display and builds the two comparison programs.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

from probe.display import Display
from probe.session import GTKTERM_CONFIG, Pty, Session, program_path, start_connected, wait_until
from probe.procstat import fine_costs, fine_snapshot, holds_open, memory_of


class Program:
    """One program under measurement: how it is started on a port, and whether it has a
    window (and so a start-up time)."""

    def __init__(self, label, kind, args, env=None, windowed=True):
        self.label, self.kind, self.args, self.env, self.windowed = \
            label, kind, args, env or (lambda pty: {}), windowed


def start(session, program, pty):
    if program.windowed:
        return start_connected(session, program.kind, program.args(pty), pty,
                               program.env(pty), log=program.label + ".log")[0]
    process = session.start_windowless(program.args(pty))
    if not wait_until(lambda: holds_open(process.pid, pty.device), 10):
        raise RuntimeError("%s did not open %s" % (program.label, pty.device))
    return process


def one_start(session, program):
    pty = Pty()
    try:
        process = start(session, program, pty)
        mapped_after = process.mapped_after
        time.sleep(0.5)
        memory = memory_of(process.pid)
        session.end(process)
        return {"startup_ms": mapped_after * 1000, "rss": memory["rss"]}
    finally:
        pty.close()


def measure_startups(session, programs, runs):
    # One start each first, not counted: the page cache and fontconfig's cache, which a
    # user's machine has long had.
    for program in programs:
        one_start(session, program)
    results = {program.label: [] for program in programs}
    for _ in range(runs):
        for program in programs:
            results[program.label].append(one_start(session, program))
    return results


def measure_idle(session, programs, windows, seconds):
    ptys = [Pty() for _ in programs]
    processes = []
    try:
        for program, pty in zip(programs, ptys):
            processes.append(start(session, program, pty))
        time.sleep(2.0)  # every program settled in its connected, silent state
        rows = {program.label: [] for program in programs}
        for _ in range(windows):
            before = [fine_snapshot(process.pid) for process in processes]
            begun = time.monotonic()
            time.sleep(seconds)
            after = [fine_snapshot(process.pid) for process in processes]
            spent = time.monotonic() - begun
            for program, then, now in zip(programs, before, after):
                rows[program.label].append(fine_costs(then, now, spent))
        return rows
    finally:
        for process in processes:
            session.end(process)
        for pty in ptys:
            pty.close()


def startup_table(results):
    lines = ["| Program | start-up, exec to mapped: median (min-max), ms | VmRSS connected, "
             "median MiB |", "|---|---|---|"]
    for label, runs in results.items():
        times = [run["startup_ms"] for run in runs]
        rss = statistics.median(run["rss"] for run in runs) / 1048576.0
        lines.append("| %s | %.1f (%.1f-%.1f) | %.1f |" % (label, statistics.median(times),
                                                           min(times), max(times), rss))
    return "\n".join(lines)


def idle_table(rows, seconds):
    lines = ["| Program | CPU, %% of one core, each %g s window | median | "
             "wake-ups/s, each window | median |" % seconds, "|---|---|---|---|---|"]
    for label, windows in rows.items():
        cpu = [w["cpu_percent"] for w in windows]
        wake = [w["wakeups_per_second"] for w in windows]
        lines.append("| %s | %s | %.3f | %s | %.1f |" % (
            label, " / ".join("%.3f" % v for v in cpu), statistics.median(cpu),
            " / ".join("%.1f" % v for v in wake), statistics.median(wake)))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--installation", action="append", default=[],
                        help="LABEL=DIR, an installation prefix or a build directory")
    parser.add_argument("--bare", required=True, help="the bare Qt window")
    parser.add_argument("--plain", required=True, help="the polling loop alone")
    parser.add_argument("--gtkterm", default=shutil.which("gtkterm"))
    parser.add_argument("--gtkterm-shim", required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--idle-windows", type=int, default=3)
    parser.add_argument("--idle-seconds", type=float, default=30.0)
    parser.add_argument("--out", default=None)
    parser.add_argument("--no-session-bus", action="store_true",
                        help="run the programs without a session bus, as before 2026-12-10")
    arguments = parser.parse_args()

    work = tempfile.mkdtemp(prefix="serialpads-startup-")
    session = Session(Display(), work, arguments.out or work,
                      session_bus=not arguments.no_session_bus)
    with open(os.path.join(session.env["XDG_CONFIG_HOME"], ".gtktermrc"), "w") as file:
        file.write(GTKTERM_CONFIG)

    def pad_env(pty):
        return {"SERIALPADS_PORTS": session.ports(pty.device)}

    pads, receivers = [], []
    for entry in arguments.installation:
        label, _, prefix = entry.partition("=")
        for kind in ("recvpad", "sendpad"):
            path = program_path(prefix, kind)
            program = Program("%s %s" % (kind, label), kind, lambda pty, p=path: [p], pad_env)
            pads.append(program)
            if kind == "recvpad":
                receivers.append(program)
    bare = Program("bare Qt window", "bare", lambda pty: [arguments.bare, pty.device])
    # Start-up only: the bare window showing a line of text, and so loading fonts.
    bare_label = Program("bare Qt window with a label", "bare",
                         lambda pty: [arguments.bare, pty.device, "label"])
    peers = [bare]
    if arguments.gtkterm:
        peers.append(Program("gtkterm", "gtkterm",
                             lambda pty: [arguments.gtkterm, "-p", pty.device, "-s", "9600"],
                             lambda pty: {"LD_PRELOAD": arguments.gtkterm_shim}))
    plain = Program("polling loop in C", "plain", lambda pty: [arguments.plain, pty.device],
                    windowed=False)
    # Idle only: the bare window waking as often as a connected receiver does.
    bare_polling = Program("bare Qt window, waking every 50 ms", "bare",
                           lambda pty: [arguments.bare, pty.device, "poll"])

    load = os.getloadavg()
    print("%d processors, load %s, %s" % (os.cpu_count(), " ".join("%.2f" % v for v in load),
                                         "a session bus" if session.bus else "no session bus"),
          flush=True)
    results = {"date": time.strftime("%Y-%m-%d %H:%M"), "load_at_start": load,
               "session_bus": bool(session.bus)}
    try:
        results["startup"] = measure_startups(session, pads + peers + [bare_label],
                                              arguments.runs)
        print(startup_table(results["startup"]), flush=True)
        if arguments.idle_windows:
            results["idle"] = measure_idle(session, receivers + peers + [bare_polling, plain],
                                           arguments.idle_windows, arguments.idle_seconds)
            print(idle_table(results["idle"], arguments.idle_seconds), flush=True)
    finally:
        session.end_all()
        shutil.rmtree(work, ignore_errors=True)
    results["load_at_end"] = os.getloadavg()
    print("load at end %s" % " ".join("%.2f" % v for v in results["load_at_end"]))
    if arguments.out:
        with open(os.path.join(arguments.out, "startup.json"), "w") as file:
            json.dump(results, file, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
