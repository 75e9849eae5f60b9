"""The live probe's table: each installation's headline figures beside gtkterm's."""

import math

from probe.figures import ratio


# The run and its table.

def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a" if value is None or math.isnan(value) else "inf"
    return "%.*f" % (digits, value)


def table(results):
    """Rows of the run's headline figures, each installation beside gtkterm."""
    gtk = results.get("gtkterm", {})
    out = []
    head = "| Measure | gtkterm |"
    rule = "|---|---|"
    for label in results["installations"]:
        head += " %s | ratio |" % label
        rule += "---|---|"
    out += [head, rule]

    def row(name, value_of, base_of=None, digits=2):
        base = base_of(gtk) if (base_of and gtk) else None
        line = "| %s | %s |" % (name, fmt(base, digits) if base_of else "")
        for label in results["installations"]:
            value = value_of(results["installations"][label])
            line += " %s | %s |" % (fmt(value, digits),
                                    fmt(ratio(value, base), 2) if base_of else "")
        out.append(line)

    def get(*keys):
        def walk(data):
            for key in keys:
                if not isinstance(data, dict) or key not in data:
                    return None
                data = data[key]
            return data
        return walk

    row("connected, silent: ping median, ms", get("silent", "median_ms"),
        get("silent", "median_ms"))
    row("connected, silent: ping p99, ms", get("silent", "p99_ms"), get("silent", "p99_ms"))
    row("  repainted after cover (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(get("silent", "cover", "repainted_within_wait")(r)),
        lambda r: {True: 1.0, False: 0.0}.get(get("silent", "cover", "repainted_within_wait")(r)),
        digits=0)
    row("sendpad Connect waiting for the link: ping median, ms",
        get("connect_wait", "median_ms"), get("silent", "median_ms"))
    row("sendpad Connect waiting for the link: ping p99, ms", get("connect_wait", "p99_ms"),
        get("silent", "p99_ms"))
    row("  length of that wait, s", get("connect_wait", "wait_seconds"))
    row("  repainted after cover during the wait (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            (get("connect_wait", "cover", "repainted_within_wait")(r))), digits=0)
    row("sendpad writing 64 KiB to a slow reader: ping median, ms",
        get("long_write", "median_ms"), get("silent", "median_ms"))
    row("sendpad writing 64 KiB to a slow reader: ping p99, ms", get("long_write", "p99_ms"),
        get("silent", "p99_ms"))
    row("  repainted after cover during the write (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            (get("long_write", "cover", "repainted_within_wait")(r))), digits=0)
    row("  far end got the line exactly (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(get("long_write", "bytes_exact")(r)), digits=0)
    row("connected, silent: CPU, % of one core", get("idle", "cpu_percent"),
        get("idle", "cpu_percent"), digits=3)
    row("connected, silent: voluntary wake-ups per second", get("idle", "wakeups_per_second"),
        get("idle", "wakeups_per_second"), digits=1)
    row("recvpad, menu held open while bytes arrive: bytes left in the port after 2.5 s",
        get("menu_open", "bytes_left_in_port"), digits=0)
    row("  CPU meanwhile, % of one core", get("menu_open", "cpu_percent"), digits=2)
    row("sendpad, Clear clicked during a 200,000-character Send, then abc: field is abc "
        "(1 yes, 0 no)", lambda r: {True: 1.0, False: 0.0}.get(
            get("clear_during_send", "field_is_abc")(r)), digits=0)
    row("  Send still writing when Clear was clicked (1 yes, 0 no)",
        lambda r: {True: 1.0, False: 0.0}.get(
            get("clear_during_send", "writing_when_clear_clicked")(r)), digits=0)
    row("5,000 B/s stream: CPU, % of one core", get("stream", "cpu_percent"),
        get("stream", "cpu_percent"))
    row("5,000 B/s stream: voluntary wake-ups per second", get("stream", "wakeups_per_second"),
        get("stream", "wakeups_per_second"), digits=0)
    # The receivers stream longer when they are traced, so the counts are not compared.
    row("  lines sent", get("stream", "lines_sent"), digits=0)
    row("  lines sent, gtkterm", lambda r: get("stream", "lines_sent")(gtk), digits=0)
    row("  lines shown exactly, in order", get("stream", "shown", "lines_matching"), digits=0)
    row("  bytes left unread in the port at the end", get("stream", "unread_at_end"),
        get("stream", "unread_at_end"), digits=0)
    return "\n".join(out)


def threads_text(label, stream):
    lines = ["%s, by thread (CPU %% of one core, voluntary and involuntary switches per s):"
             % label]
    for thread in stream.get("threads", []):
        lines.append("  %-18s %6.2f %%  %7.1f  %6.1f" % (
            thread["name"], thread["cpu_percent"], thread["wakeups_per_second"],
            thread["involuntary_per_second"]))
    return "\n".join(lines)
