"""strace and perf on a receiver while it streams (live_probe.py --trace)."""

import os
import re
import shutil
import subprocess


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
