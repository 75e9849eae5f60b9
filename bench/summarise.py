#!/usr/bin/env python3
"""Reads the JSON that recvpad_bench writes (--benchmark_out=FILE
--benchmark_out_format=json) and prints what the numbers mean against their targets,
with every ratio taken between results of that same run.

With --benchmark_repetitions the median and the minimum over the repetitions are both
shown: on a shared machine the minimum is the least disturbed run, the median the
typical one.
"""

import json
import statistics
import sys
from collections import defaultdict

TICK_RATIO_TARGET = 1.2
LATENCY_MEDIAN_TARGET_MS = 5.0
LATENCY_P99_TARGET_MS = 30.0
IDLE_CPU_TARGET = 0.01
MEMORY_PER_BYTE_TARGET = 6.0


def verdict(ok):
    return "meets target" if ok else "MISSES target"


def main(path):
    with open(path) as file:
        data = json.load(file)
    context = data.get("context", {})
    print("run of %s, %s processors, load %s" % (
        context.get("date", "?"), context.get("num_cpus", "?"),
        ", ".join("%.1f" % load for load in context.get("load_avg", []))))

    runs = defaultdict(list)
    for entry in data["benchmarks"]:
        if entry.get("run_type") == "aggregate" or entry.get("error_occurred"):
            if entry.get("error_occurred"):
                print("error in %s: %s" % (entry["name"], entry.get("error_message")))
            continue
        runs[entry["run_name"]].append(entry)

    def values(name, key):
        return [entry[key] for entry in runs.get(name, []) if key in entry]

    for family in ("BM_TickWith128NewBytes", "BM_TickWith128NewBytesAndRepaint"):
        sizes = sorted({int(name.split(":")[-1]) for name in runs if name.startswith(family + "/")})
        if not sizes:
            continue
        times = {size: values("%s/field_bytes:%d" % (family, size), "real_time") for size in sizes}
        print("\n%s (us per tick; median / min of %d repetitions)"
              % (family, len(times[sizes[0]])))
        for size in sizes:
            print("  field %8.1f MB: %7.2f / %7.2f" % (
                size / 1048576.0, statistics.median(times[size]), min(times[size])))
        # The target is for the largest field; smaller ones show the trend.
        empty = times[sizes[0]]
        for size in sizes[1:]:
            median_ratio = statistics.median(times[size]) / statistics.median(empty)
            min_ratio = min(times[size]) / min(empty)
            judged = "; " + verdict(median_ratio <= TICK_RATIO_TARGET) if size == sizes[-1] else ""
            print("  ratio %.0f MB / empty: %.2f (medians), %.2f (minimums)%s"
                  % (size / 1048576.0, median_ratio, min_ratio, judged))

    for name in sorted(runs):
        if name.startswith("BM_MemoryPerReceivedByte"):
            private = values(name, "private_per_byte")
            rss = values(name, "rss_per_byte")
            print("\n%s\n  private bytes per received byte %.2f, resident %.2f; %s" % (
                name, private[0], rss[0], verdict(max(private[0], rss[0]) <= MEMORY_PER_BYTE_TARGET)))
            print("  filling through real ticks cost %.1f us per tick"
                  % values(name, "fill_us_per_tick")[0])

    for name in sorted(runs):
        if name.startswith("BM_Latency") or name.startswith("BM_EventDelay"):
            median = statistics.median(values(name, "median_ms"))
            p99 = statistics.median(values(name, "p99_ms"))
            line = "\n%s (median over %d repetitions)\n  median %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms" % (
                name, len(values(name, "median_ms")), median,
                statistics.median(values(name, "p90_ms")), p99,
                statistics.median(values(name, "max_ms")))
            if name.startswith("BM_LatencyOfShortLine"):
                line += "; %s" % verdict(median <= LATENCY_MEDIAN_TARGET_MS and p99 <= LATENCY_P99_TARGET_MS)
            print(line)

    for name in sorted(runs):
        if name.startswith("BM_IdleCpu"):
            shares = values(name, "cpu_share_of_core")
            print("\n%s\n  %.2f%% of one core (median; max %.2f%%); %s" % (
                name, 100 * statistics.median(shares), 100 * max(shares),
                verdict(max(shares) <= IDLE_CPU_TARGET)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: summarise.py RESULTS.json")
    sys.exit(main(sys.argv[1]))
