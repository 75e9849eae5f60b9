"""A program under measurement seen as a process: whether it holds a device open, its
memory, its processor time and wake-ups from /proc, and ending it as closing its
window would. The parsing is kept apart from the reading so it can be tested on text."""

import os
import signal
import subprocess


def holds_open(pid, device):
    """Whether one of the process's descriptors is `device` (False once it has ended)."""
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


def parse_task_stat(text):
    """utime and stime, in clock ticks, from a /proc/.../stat line (the name in
    parentheses may hold spaces and parentheses itself)."""
    fields = text[text.rindex(")") + 2:].split()
    # Fields after the name start at the state (field 3); utime and stime are 14 and 15.
    return int(fields[11]), int(fields[12])


def parse_switches(text):
    """Voluntary and involuntary context switches from a /proc/.../status text."""
    values = {}
    for line in text.splitlines():
        key, _, rest = line.partition(":")
        if key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
            values[key] = int(rest)
    return values.get("voluntary_ctxt_switches", 0), values.get("nonvoluntary_ctxt_switches", 0)


def snapshot(pid):
    """The process's own processor ticks, and each thread's ticks, switches and name."""
    with open(f"/proc/{pid}/stat") as file:
        process = parse_task_stat(file.read())
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            base = f"/proc/{pid}/task/{tid}/"
            with open(base + "stat") as file:
                ticks = parse_task_stat(file.read())
            with open(base + "status") as file:
                switches = parse_switches(file.read())
            with open(base + "comm") as file:
                name = file.read().strip()
        except OSError:
            continue  # ended meanwhile
        threads[int(tid)] = {"name": name, "ticks": ticks, "switches": switches}
    return {"process": process, "threads": threads}


def process_costs(before, after, seconds, ticks_per_second):
    """Processor share and wake-ups between two snapshots (see snapshot()).

    The process's CPU is its own stat line's utime+stime, which keeps the time of
    threads that have ended. Wake-ups are the voluntary switches of each thread: the
    increase for a thread seen in both snapshots, the whole count for one that started
    in between (a thread that came and went between them is not seen)."""
    cpu = (sum(after["process"]) - sum(before["process"])) / ticks_per_second
    threads = []
    for tid, now in after["threads"].items():
        then = before["threads"].get(tid, {"ticks": (0, 0), "switches": (0, 0)})
        threads.append({
            "tid": tid,
            "name": now["name"],
            "cpu_percent": 100.0 * (sum(now["ticks"]) - sum(then["ticks"]))
            / ticks_per_second / seconds,
            "wakeups_per_second": (now["switches"][0] - then["switches"][0]) / seconds,
            "involuntary_per_second": (now["switches"][1] - then["switches"][1]) / seconds,
        })
    threads.sort(key=lambda t: -t["wakeups_per_second"])
    return {
        "seconds": seconds,
        "cpu_percent": 100.0 * cpu / seconds,
        "wakeups_per_second": sum(t["wakeups_per_second"] for t in threads),
        "threads": threads,
    }


def end(process):
    """Ends a program started with subprocess: SIGTERM ends the programs as closing the
    window does, releasing the port; one that does not end within 5 s is killed."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def parse_schedstat(text):
    """Nanoseconds on a processor, from a /proc/.../schedstat line (run, wait, slices)."""
    return int(text.split()[0])


def fine_snapshot(pid):
    """Each thread's time on a processor in nanoseconds (schedstat; stat's utime and
    stime count whole clock ticks, too coarse for a process that runs a few
    milliseconds a second) and its voluntary switches, by thread id."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        base = f"/proc/{pid}/task/{tid}/"
        try:
            with open(base + "schedstat") as file:
                run_ns = parse_schedstat(file.read())
            with open(base + "status") as file:
                voluntary = parse_switches(file.read())[0]
        except OSError:
            continue  # ended meanwhile
        threads[int(tid)] = (run_ns, voluntary)
    return threads


def fine_costs(before, after, seconds):
    """Processor share (% of one core) and voluntary wake-ups per second over all
    threads between two fine_snapshot()s. A thread that started in between counts
    whole; one that ended in between loses what it ran since the first snapshot."""
    run_ns = wakeups = 0
    for tid, (ns, voluntary) in after.items():
        then_ns, then_voluntary = before.get(tid, (0, 0))
        run_ns += ns - then_ns
        wakeups += voluntary - then_voluntary
    return {"cpu_percent": 100.0 * run_ns / 1e9 / seconds,
            "wakeups_per_second": wakeups / seconds}
