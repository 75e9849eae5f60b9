"""The live probe's arithmetic, kept apart from the display so that it can be tested
without one: percentiles with unanswered pings, the check that every streamed line is
shown, when a slow far end proves a write still runs, and how alike two grabs are."""

import math
import re
import statistics

STREAM_LINE = 64  # bytes of a streamed line, the CR included


def percentile(values, fraction):
    """Nearest-rank percentile: the smallest value with at least `fraction` of the
    values at or below it. Unanswered samples are given as math.inf and count as the
    largest."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def ping_summary(samples):
    """Median, p99 and extremes of round trips in milliseconds; `samples` are seconds,
    math.inf for a ping never answered."""
    answered = [s for s in samples if math.isfinite(s)]
    milliseconds = [s * 1000.0 for s in samples]
    return {
        "count": len(samples),
        "unanswered": len(samples) - len(answered),
        "median_ms": statistics.median(milliseconds) if milliseconds else math.nan,
        "p99_ms": percentile(milliseconds, 0.99),
        "min_ms": min(milliseconds) if milliseconds else math.nan,
        "max_ms": max(milliseconds) if milliseconds else math.nan,
    }


def stream_lines(count):
    """`count` lines of 63 printable bytes and a CR, each telling its own number."""
    body = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-=+*"
    lines = []
    for n in range(count):
        head = "%06d " % n
        text = head + (body * 2)[n % len(body):][:STREAM_LINE - 1 - len(head)]
        lines.append(text.encode("ascii") + b"\r")
    return lines


def shown_lines_check(sent, shown_text):
    """Compares the lines sent (CR-ended bytes) with the field's text as copied: every
    line once, in order, nothing else. Gives (lines shown that match, first mismatch or
    None)."""
    expected = [line.rstrip(b"\r").decode("ascii") for line in sent]
    shown = [line for line in re.split(r"\r\n|\r|\n", shown_text) if line != ""]
    matching = 0
    for want, got in zip(expected, shown):
        if want != got:
            break
        matching += 1
    if matching == len(expected) == len(shown):
        return matching, None
    where = matching
    return matching, {"line": where,
                      "expected": expected[where] if where < len(expected) else None,
                      "shown": shown[where] if where < len(shown) else None,
                      "expected_count": len(expected), "shown_count": len(shown)}


def write_still_running(received, total, capacity):
    """Whether a write of `total` bytes must still be under way when the far end has
    read `received`: the pseudo-terminal holds at most `capacity` bytes the far end has
    not read, so until then the writer cannot have handed over everything."""
    return received + capacity < total


def image_agreement(reference, image, cover_pixel, bytes_per_pixel=4):
    """The share of pixels equal to the reference, and the share showing the covering
    window's colour, of two grabs of the same size (raw ZPixmap data)."""
    if not reference or len(reference) != len(image):
        return math.nan, math.nan
    count = len(image) // bytes_per_pixel
    same = 0
    covered = 0
    for offset in range(0, count * bytes_per_pixel, bytes_per_pixel):
        pixel = image[offset:offset + 3]
        if pixel == reference[offset:offset + 3]:
            same += 1
        if pixel == cover_pixel:
            covered += 1
    return same / count, covered / count


def ratio(value, base):
    if base is None or value is None or not base or not math.isfinite(base) \
            or not math.isfinite(value):
        return math.nan
    return value / base
