"""summarise.py reads a benchmark run and judges it; these check that its ratios come
from the right entries and that a missed target is called missed."""

import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import summarise  # noqa: E402


def tick(size, time, family="BM_TickWith128NewBytes"):
    name = "%s/field_bytes:%d" % (family, size)
    return {"name": name, "run_name": name, "run_type": "iteration", "real_time": time}


def one_shot(name, **counters):
    entry = {"name": name + "/iterations:1", "run_name": name + "/iterations:1",
             "run_type": "iteration", "real_time": 1.0}
    entry.update(counters)
    return entry


def summary_of(benchmarks):
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as file:
        json.dump({"context": {"date": "today", "num_cpus": 2, "load_avg": [1.0]},
                   "benchmarks": benchmarks}, file)
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            summarise.main(file.name)
    finally:
        os.remove(file.name)
    return out.getvalue()


class TickRatioTest(unittest.TestCase):
    def test_ratio_of_medians_and_of_minimums_for_the_largest_field(self):
        big = 20 << 20
        text = summary_of([tick(0, t) for t in (10, 11, 12)] + [tick(big, t) for t in (12, 13, 14)]
                          + [dict(tick(0, 1), run_type="aggregate")])
        self.assertIn("ratio 20 MB / empty: 1.18 (medians), 1.20 (minimums); meets target", text)

    def test_a_slower_large_field_misses(self):
        big = 20 << 20
        text = summary_of([tick(0, 10), tick(1 << 20, 30), tick(big, 13)])
        self.assertIn("ratio 20 MB / empty: 1.30 (medians), 1.30 (minimums); MISSES target", text)
        # Only the largest field is judged.
        self.assertIn("ratio 1 MB / empty: 3.00 (medians), 3.00 (minimums)\n", text)


class OneShotTest(unittest.TestCase):
    def test_idle_cpu_is_judged_by_its_worst_repetition(self):
        name = "BM_IdleCpuConnectedSilent/ms:10000"
        text = summary_of([one_shot(name, cpu_share_of_core=s) for s in (0.002, 0.003, 0.02)])
        self.assertIn("0.30% of one core (median; max 2.00%); MISSES target", text)

    def test_latency_needs_both_median_and_p99(self):
        name = "BM_LatencyOfShortLine/lines:200/pause_ms:30"
        text = summary_of([one_shot(name, median_ms=1.0, p90_ms=2.0, p99_ms=31.0, max_ms=40.0)])
        self.assertIn("p99 31.00 ms", text)
        self.assertIn("MISSES target", text)

    def test_failed_benchmarks_are_reported_not_counted(self):
        failed = dict(tick(0, 5), error_occurred=True, error_message="lost bytes")
        text = summary_of([failed, tick(0, 10), tick(20 << 20, 11)])
        self.assertIn("lost bytes", text)
        self.assertIn("ratio 20 MB / empty: 1.10", text)


if __name__ == "__main__":
    unittest.main()
