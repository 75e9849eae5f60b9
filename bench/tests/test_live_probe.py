"""The live probe's own arithmetic, without a display: percentiles with unanswered
pings, the processor and wake-up figures from /proc snapshots (probe/procstat.py, which
the start-up probe shares), the check that every streamed line is shown, and when a
slow far end proves the write is still running."""

import math
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from probe import display, figures, report  # noqa: E402
from probe import procstat  # noqa: E402


class PingSummaryTest(unittest.TestCase):
    def test_median_and_nearest_rank_p99(self):
        samples = [n / 1000.0 for n in range(1, 101)]  # 1 to 100 ms
        summary = figures.ping_summary(samples)
        self.assertAlmostEqual(summary["median_ms"], 50.5)
        self.assertAlmostEqual(summary["p99_ms"], 99.0)
        self.assertEqual(summary["unanswered"], 0)

    def test_an_unanswered_ping_counts_as_the_slowest(self):
        samples = [0.001] * 98 + [math.inf, math.inf]
        summary = figures.ping_summary(samples)
        self.assertEqual(summary["unanswered"], 2)
        self.assertEqual(summary["p99_ms"], math.inf)
        self.assertAlmostEqual(summary["median_ms"], 1.0)

    def test_percentile_of_few_values(self):
        self.assertEqual(figures.percentile([5.0], 0.99), 5.0)
        self.assertEqual(figures.percentile([3.0, 1.0, 2.0], 0.5), 2.0)
        self.assertTrue(math.isnan(figures.percentile([], 0.5)))


def stat_line(name, utime, stime):
    # Fields 3 to 13, then utime (14) and stime (15), then the rest.
    return "%d (%s) S 1 2 3 4 5 6 7 8 9 10 %d %d 0 0 20 0 3 0" % (42, name, utime, stime)


class ProcParsingTest(unittest.TestCase):
    def test_a_name_with_spaces_and_parentheses(self):
        self.assertEqual(procstat.parse_task_stat(stat_line("Thread (pooled)", 17, 4)),
                         (17, 4))

    def test_switches(self):
        text = "Name:\trecvpad\nvoluntary_ctxt_switches:\t120\nnonvoluntary_ctxt_switches:\t7\n"
        self.assertEqual(procstat.parse_switches(text), (120, 7))


def thread(name, ticks, switches):
    return {"name": name, "ticks": ticks, "switches": switches}


class ProcessCostsTest(unittest.TestCase):
    def test_cpu_from_the_process_and_wakeups_summed_over_threads(self):
        before = {"process": (100, 50),
                  "threads": {1: thread("main", (90, 40), (1000, 5)),
                              2: thread("pool", (10, 10), (500, 0))}}
        after = {"process": (160, 70),  # 80 ticks more, some from a thread gone meanwhile
                 "threads": {1: thread("main", (140, 55), (1600, 9)),
                             2: thread("pool", (12, 11), (800, 0)),
                             3: thread("new", (1, 0), (100, 0))}}
        costs = procstat.process_costs(before, after, seconds=10.0, ticks_per_second=100)
        self.assertAlmostEqual(costs["cpu_percent"], 8.0)
        # 600 + 300 + 100 switches over 10 s; a thread that started counts whole.
        self.assertAlmostEqual(costs["wakeups_per_second"], 100.0)
        by_name = {t["name"]: t for t in costs["threads"]}
        self.assertAlmostEqual(by_name["main"]["cpu_percent"], 6.5)
        self.assertAlmostEqual(by_name["main"]["involuntary_per_second"], 0.4)
        self.assertEqual(costs["threads"][0]["name"], "main")  # most wake-ups first


class FineCostsTest(unittest.TestCase):
    def test_nanoseconds_and_wakeups_summed_over_threads(self):
        self.assertEqual(procstat.parse_schedstat("123456789 42 7\n"), 123456789)
        before = {1: (1_000_000_000, 100), 2: (5_000_000, 3)}
        # 30 ms more on the main thread, 2 ms on a new one; thread 2 has ended.
        after = {1: (1_030_000_000, 400), 3: (2_000_000, 20)}
        costs = procstat.fine_costs(before, after, seconds=10.0)
        self.assertAlmostEqual(costs["cpu_percent"], 0.32)
        self.assertAlmostEqual(costs["wakeups_per_second"], 32.0)


class ShownLinesTest(unittest.TestCase):
    def setUp(self):
        self.sent = figures.stream_lines(5)

    def test_lines_are_64_bytes_with_one_cr_and_all_differ(self):
        lines = figures.stream_lines(200)
        self.assertTrue(all(len(line) == 64 and line.endswith(b"\r")
                            and line.count(b"\r") == 1 for line in lines))
        self.assertEqual(len(set(lines)), 200)

    def test_every_line_shown_in_order(self):
        text = "".join(line.rstrip(b"\r").decode() + "\r\n" for line in self.sent)
        self.assertEqual(figures.shown_lines_check(self.sent, text), (5, None))

    def test_a_missing_line_is_found(self):
        shown = [line.rstrip(b"\r").decode() for line in self.sent]
        del shown[2]
        matching, mismatch = figures.shown_lines_check(self.sent, "\n".join(shown))
        self.assertEqual(matching, 2)
        self.assertEqual(mismatch["line"], 2)
        self.assertEqual(mismatch["shown_count"], 4)

    def test_an_extra_line_at_the_end_is_a_mismatch(self):
        shown = [line.rstrip(b"\r").decode() for line in self.sent] + ["extra"]
        matching, mismatch = figures.shown_lines_check(self.sent, "\n".join(shown))
        self.assertEqual(matching, 5)
        self.assertIsNotNone(mismatch)


class WriteRunningTest(unittest.TestCase):
    def test_running_until_the_far_end_is_within_the_ptys_capacity(self):
        self.assertTrue(figures.write_still_running(0, 65537, 20000))
        self.assertTrue(figures.write_still_running(45536, 65537, 20000))
        self.assertFalse(figures.write_still_running(45537, 65537, 20000))


class ImageAgreementTest(unittest.TestCase):
    def test_repainted_and_covered(self):
        grey = bytes([0xEE, 0xEE, 0xEE, 0])
        cover = display.COVER_PIXEL + b"\0"
        reference = grey * 10
        self.assertEqual(figures.image_agreement(reference, reference,
                                                    display.COVER_PIXEL), (1.0, 0.0))
        half = grey * 5 + cover * 5
        self.assertEqual(figures.image_agreement(reference, half, display.COVER_PIXEL),
                         (0.5, 0.5))

    def test_grabs_of_different_sizes_do_not_compare(self):
        same, covered = figures.image_agreement(b"\0" * 8, b"\0" * 4, display.COVER_PIXEL)
        self.assertTrue(math.isnan(same))


class TableTest(unittest.TestCase):
    def test_ratio_against_gtkterm_from_the_same_run(self):
        results = {"gtkterm": {"silent": {"median_ms": 0.5, "p99_ms": 1.0},
                               "stream": {"cpu_percent": 2.0, "wakeups_per_second": 200.0}},
                   "installations": {"after": {
                       "silent": {"median_ms": 1.0, "p99_ms": 4.0},
                       "stream": {"cpu_percent": 1.0, "wakeups_per_second": 100.0}}}}
        text = report.table(results)
        self.assertIn("| connected, silent: ping median, ms | 0.50 | 1.00 | 2.00 |", text)
        self.assertIn("| 5,000 B/s stream: CPU, % of one core | 2.00 | 1.00 | 0.50 |", text)
        # A figure the run did not take shows as n/a, not as zero.
        self.assertIn("| sendpad Connect waiting for the link: ping p99, ms | 1.00 | n/a | n/a |",
                      text)


if __name__ == "__main__":
    unittest.main()
