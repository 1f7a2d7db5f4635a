"""Reads the statistics events (one JSON line each, as the nginx configuration
writes them), pairs each download's start with its final event, and writes a
self-contained HTML report with pictures and a JSON summary beside it."""

import base64
import contextlib
import gzip
import html
import io
import itertools
import json
import re
import sys
import urllib.parse
from array import array
from collections import Counter, defaultdict

from owner.curl_codes import name_of

DEFAULT_PACKAGE_SIZE = 307200  # what the downloader uses when the document names none
FINAL_EVENTS = ("download-succeeded", "download-failed", "download-canceled")
LISTED_BAD_LINES = 20


class Events:
    """What the log says, gathered in one pass."""

    def __init__(self):
        self.lines = 0
        self.bad_lines = []  # (line number, text), the first few
        self.bad_count = 0
        self.started = {}  # id -> time
        self.finals = {}  # id -> event name
        self.repeated_finals = 0
        self.failures = Counter()  # (errorCode, errorMsg)
        self.error_counts = Counter()  # errorCount of each final event
        self.failing_packages = Counter()  # package index of each failed attempt
        self.package_times = array("l")  # every completed package's milliseconds
        self.total_times = array("l")  # totalTime of each finished download
        self.packages = array("l")  # packageNumber of each finished download
        # Of each finished download, its packages but the last (which may be
        # short) and their time: what the throughput is measured on.
        self.full_packages = array("l")
        self.full_times = array("l")
        self.first_time = self.last_time = None  # the period the log covers, as logged
        self.days = defaultdict(Counter)  # day -> "started" and each final event's count
        self.installers = defaultdict(Counter)  # installer -> each final event's count


# A log line comes from the internet: every part is checked against the shape
# the downloader sends, with bounded lengths and numbers in range, before any
# of it is counted; a line is counted once, as parsed or as unparsed.
MAX_LINE = 2 * 1024 * 1024  # the longest event the downloader sends is 512 KiB
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")  # nginx's $time_iso8601
INT32 = 2 ** 31 - 1
ERROR_ITEM = re.compile(r'\{"number":(\d{1,10}),"errCode":(-?\d{1,10})\}')
ERROR_LIST = re.compile(r'\[(?:%s(?:,%s)*)?\]' % (ERROR_ITEM.pattern, ERROR_ITEM.pattern))
TIME_LIST = re.compile(r"\[(?:\d{1,10}(?:,\d{1,10})*)?\]")


def _fields(query):
    """The query's keys and their still escaped values; unquote what is used."""
    return dict(part.partition("=")[::2] for part in query.split("&"))


def _count(fields, key, low=0):
    text = fields[key]
    if not re.fullmatch(r"-?\d{1,10}", text) or not low <= int(text) <= INT32:
        raise ValueError(f"{key} out of range")
    return int(text)


def _parse_line(line):
    """(event, id, final) where final is None for a start, else a dict of its
    checked values; ValueError for anything else."""
    if len(line) > MAX_LINE:
        raise ValueError("line too long")
    record = json.loads(line)
    if not isinstance(record, dict) or not isinstance(record.get("event"), str) or \
            not isinstance(record.get("query"), str):
        raise ValueError("not an event record")
    name = record["event"]
    fields = _fields(record["query"])
    download = fields["id"]
    time = record.get("time")
    time = time if isinstance(time, str) and TIME.fullmatch(time) else None
    if name == "download-started":
        return name, download, time, None
    if name not in FINAL_EVENTS:
        raise ValueError(f"unknown event {name[:40]!r}")
    errors_text = urllib.parse.unquote(fields["errors"])
    times_text = urllib.parse.unquote(fields["packageTimes"])
    if not ERROR_LIST.fullmatch(errors_text):
        raise ValueError("errors is no list of error items")
    if not TIME_LIST.fullmatch(times_text):
        raise ValueError("packageTimes is no list of times")
    final = {
        "error_count": _count(fields, "errorCount"),
        "package_number": _count(fields, "packageNumber"),
        "total_time": _count(fields, "totalTime"),
        "failing": [int(number) for number, _ in ERROR_ITEM.findall(errors_text)],
        "times": [int(t) for t in times_text[1:-1].split(",") if t],
        "failure": ((_count(fields, "errorCode", -INT32), urllib.parse.unquote(fields["errorMsg"])[:200])
                    if name == "download-failed" else None),
        "installer": _installer(urllib.parse.unquote(fields.get("url", ""))),
    }
    if any(number > INT32 for number in final["failing"]) or any(t > INT32 for t in final["times"]):
        raise ValueError("a number out of range")
    return name, download, time, final


def _installer(url):
    """files/<SHA-256>/<name> as "name (first 8 of the hash)": one published installer."""
    parts = urllib.parse.urlsplit(url).path.rsplit("/", 2)
    if len(parts) == 3 and re.fullmatch(r"[0-9a-f]{64}", parts[1]):
        return f"{parts[2][:100]} ({parts[1][:8]})"
    return url[:100] or "(none)"


def _add_line(events, line):
    name, download, time, final = _parse_line(line)
    if time:
        events.first_time = min(events.first_time or time, time)
        events.last_time = max(events.last_time or time, time)
    day = time[:10] if time else "unknown"
    if final is None:
        if download not in events.started:
            events.started[download] = day
            events.days[day]["started"] += 1
        return
    if download in events.finals:
        events.repeated_finals += 1
        return
    events.finals[download] = name
    events.days[day][name] += 1
    events.installers[final["installer"]][name] += 1
    if final["failure"]:
        events.failures[final["failure"]] += 1
    events.error_counts[final["error_count"]] += 1
    for number in final["failing"]:
        events.failing_packages[number] += 1
    events.package_times.extend(final["times"])
    if name == "download-succeeded":
        events.total_times.append(final["total_time"])
        events.packages.append(final["package_number"])
        if final["package_number"] > 1 and final["times"]:
            events.full_packages.append(final["package_number"] - 1)
            events.full_times.append(final["total_time"] - final["times"][-1])


def read_events(lines):
    """Events from an iterable of log lines; a line that does not parse is
    counted and kept for the report, never fatal."""
    events = Events()
    for number, line in enumerate(lines, 1):
        events.lines += 1
        line = line.strip()
        if not line:
            continue
        try:
            _add_line(events, line)
        except (ValueError, KeyError, RecursionError) as error:  # json's errors are ValueErrors
            events.bad_count += 1
            if len(events.bad_lines) < LISTED_BAD_LINES:
                events.bad_lines.append((number, f"{line[:200]} ({error})"))
    return events


def package_size_from_metadata(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        match = re.search(r"<suggestedPackageSize>\s*(\d+)", f.read())
    return int(match.group(1)) if match and int(match.group(1)) > 0 else DEFAULT_PACKAGE_SIZE


def _percentiles(values):
    import numpy
    if len(values) == 0:
        return {"count": 0, "median": None, "p90": None, "p99": None}
    data = numpy.frombuffer(values, dtype=numpy.int64) if values.itemsize == 8 else numpy.array(values)
    median, p90, p99 = numpy.percentile(data, [50, 90, 99])
    return {"count": int(len(data)), "median": float(median), "p90": float(p90), "p99": float(p99)}


def summarize(events, package_size=DEFAULT_PACKAGE_SIZE):
    import numpy
    outcomes = Counter(events.finals.values())
    throughput = []
    if len(events.full_times):
        times = numpy.array(events.full_times, dtype=numpy.float64)
        packages = numpy.array(events.full_packages, dtype=numpy.float64)
        known = times > 0
        # Whole packages only (the last may be short): bytes per millisecond -> MB/s.
        throughput = (packages[known] * package_size / times[known] / 1000.0).tolist()

    def shares(counts):
        finals = sum(counts[name] for name in FINAL_EVENTS)
        return {"succeeded": counts["download-succeeded"], "failed": counts["download-failed"],
                "canceled": counts["download-canceled"],
                "success_rate": round(100.0 * counts["download-succeeded"] / finals, 1) if finals else None}
    return {
        "lines": events.lines,
        "period": {"first": events.first_time, "last": events.last_time},
        "success_rate": shares(outcomes)["success_rate"],
        "days": [{"day": day, "started": counts["started"], **shares(counts)}
                 for day, counts in sorted(events.days.items())],
        "installers": [{"installer": name, **shares(counts)}
                       for name, counts in sorted(events.installers.items(), key=lambda item: -sum(item[1].values()))],
        "downloads": {
            "started": len(events.started),
            "succeeded": outcomes["download-succeeded"],
            "failed": outcomes["download-failed"],
            "canceled": outcomes["download-canceled"],
            "started_never_finished": sum(1 for d in events.started if d not in events.finals),
            # Counted at the end: logs of several servers may come in any order.
            "final_without_start": sum(1 for d in events.finals if d not in events.started),
            "repeated_final_events": events.repeated_finals,
        },
        "failures": [{"errorCode": code, "name": name_of(code), "errorMsg": message, "count": count}
                     for (code, message), count in events.failures.most_common()],
        "retries": {
            "error_count_distribution": {str(k): v for k, v in sorted(events.error_counts.items())},
            "failing_package_indices": [{"index": i, "failed_attempts": n}
                                        for i, n in events.failing_packages.most_common(20)],
        },
        "package_times_ms": _percentiles(events.package_times),
        "download_times_ms": _percentiles(events.total_times),
        "throughput_mb_per_s": {
            "package_size": package_size,
            **({"count": len(throughput), "median": float(numpy.median(throughput)),
                "p10": float(numpy.percentile(throughput, 10)), "p90": float(numpy.percentile(throughput, 90))}
               if throughput else {"count": 0}),
        },
        "unparsed_lines": {"count": events.bad_count,
                           "first": [{"line": n, "text": t} for n, t in events.bad_lines]},
        "_throughput_values": throughput,
    }


# ---------------------------------------------------------------- pictures

def _figure():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    figure, axes = pyplot.subplots(figsize=(6.4, 3.2), dpi=100)
    axes.grid(axis="y", alpha=0.3)
    return pyplot, figure, axes


def _embedded(pyplot, figure):
    buffer = io.BytesIO()
    figure.tight_layout()
    figure.savefig(buffer, format="png")
    pyplot.close(figure)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _bars(labels, values, title, xlabel, ylabel="downloads", color="#0d70ab"):
    pyplot, figure, axes = _figure()
    axes.bar([str(label) for label in labels], values, color=color)
    axes.set_title(title)
    axes.set_xlabel(xlabel)
    axes.set_ylabel(ylabel)
    if len(labels) > 8:
        axes.tick_params(axis="x", labelrotation=60, labelsize=7)
    return _embedded(pyplot, figure)


def _histogram(values, title, xlabel, unit, log=False):
    """Log-spaced bins for a wide range, drawn as a density (share per unit):
    counts per log bin would make a uniform sample look like a ramp."""
    import numpy
    pyplot, figure, axes = _figure()
    data = numpy.asarray(values, dtype=numpy.float64)
    if log:
        data = data[data > 0]
        bins = numpy.logspace(numpy.log10(data.min()), numpy.log10(data.max() * 1.01), 40) if len(data) else 10
        axes.set_xscale("log")
    else:
        bins = 40
    axes.hist(data, bins=bins, color="#0d70ab", density=True)
    axes.set_title(title)
    axes.set_xlabel(xlabel)
    axes.set_ylabel(f"share per {unit}")
    return _embedded(pyplot, figure)


def _days_chart(days):
    pyplot, figure, axes = _figure()
    labels = [d["day"] for d in days]
    bottom = [0] * len(days)
    for key, color in (("succeeded", "#27ae60"), ("failed", "#c0392b"), ("canceled", "#95a5a6")):
        values = [d[key] for d in days]
        axes.bar(labels, values, bottom=bottom, color=color, label=key)
        bottom = [b + v for b, v in zip(bottom, values)]
    axes.set_ylabel("finished downloads")
    axes.set_ylim(0, max(bottom) * 1.3 or 1)  # room for the legend above the bars
    axes.legend(loc="upper left", fontsize=7, ncol=3)
    rate = axes.twinx()
    rate.plot(labels, [d["success_rate"] for d in days], color="#0d70ab", marker="o")
    rate.set_ylim(0, 100)
    rate.set_ylabel("success rate, %")
    axes.set_title("Downloads and success rate per day")
    if len(labels) > 4:
        axes.tick_params(axis="x", labelrotation=60, labelsize=7)
    return _embedded(pyplot, figure)


def _table(rows, header=None):
    head = "<tr>" + "".join(f"<th>{html.escape(str(h))}</th>" for h in header) + "</tr>" if header else ""
    body = "".join("<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in row) + "</tr>" for row in rows)
    return f"<table>{head}{body}</table>"


def _number(value, digits=0):
    return "–" if value is None else f"{value:,.{digits}f}"


def render_html(summary, events, source):
    d = summary["downloads"]
    sections = []

    def section(title, picture, numbers):
        image = f'<img src="{picture}" alt="{html.escape(title)}">' if picture else ""
        sections.append(f"<section><h2>{html.escape(title)}</h2><div class=row>{image}"
                        f"<div class=numbers>{numbers}</div></div></section>")

    outcome_labels = ["succeeded", "failed", "canceled", "never finished"]
    outcome_values = [d["succeeded"], d["failed"], d["canceled"], d["started_never_finished"]]
    section("Downloads", _bars(outcome_labels, outcome_values, "Outcome of each download", ""),
            _table([("started", d["started"]), ("succeeded", d["succeeded"]), ("failed", d["failed"]),
                    ("canceled", d["canceled"]), ("started, never finished", d["started_never_finished"]),
                    ("final event without a start", d["final_without_start"]),
                    ("repeated final events", d["repeated_final_events"])], ["", "downloads"]))

    days = summary["days"]
    section("Per day", _days_chart(days) if days else None,
            _table([(x["day"], x["started"], x["succeeded"], x["failed"], x["canceled"],
                     _number(x["success_rate"], 1) + " %") for x in days],
                   ["day", "started", "succeeded", "failed", "canceled", "success rate"]))

    section("Installers", None,
            _table([(x["installer"], x["succeeded"], x["failed"], x["canceled"], _number(x["success_rate"], 1) + " %")
                    for x in summary["installers"]], ["installer (name and hash)", "succeeded", "failed", "canceled",
                                                      "success rate"]) +
            "<p>Each published installer by the file its <code>url</code> names.</p>")

    failures = summary["failures"]
    section("Failures", _bars([f"{f['errorCode']}" for f in failures], [f["count"] for f in failures],
                              "Failed downloads by errorCode", "errorCode", color="#c0392b") if failures else None,
            _table([(f["errorCode"], f["name"], f["errorMsg"], f["count"]) for f in failures],
                   ["errorCode", "name", "errorMsg", "downloads"])
            if failures else "<p>No download failed.</p>")

    retries = summary["retries"]
    distribution = retries["error_count_distribution"]
    indices = retries["failing_package_indices"]
    section("Retries", _bars(list(distribution), list(distribution.values()),
                             "Failed attempts per download (errorCount)", "errorCount") if distribution else None,
            _table(list(distribution.items()), ["errorCount", "downloads"]) +
            "<h3>Packages that fail most</h3>" +
            _table([(i["index"], i["failed_attempts"]) for i in indices[:10]], ["package index", "failed attempts"]))

    times = summary["package_times_ms"]
    section("Package times", _histogram(events.package_times, "Time of each completed package", "milliseconds", "ms",
                                        log=True) if times["count"] else None,
            _table([("packages", _number(times["count"])), ("median", _number(times["median"]) + " ms"),
                    ("90th percentile", _number(times["p90"]) + " ms"),
                    ("99th percentile", _number(times["p99"]) + " ms")],))

    speed = summary["throughput_mb_per_s"]
    section("Throughput", _histogram(summary["_throughput_values"], "Estimated throughput per finished download",
                                     "MB/s", "MB/s", log=True) if speed["count"] else None,
            _table([("downloads", speed["count"]), ("package size", f"{speed['package_size']:,} bytes"),
                    ("median", _number(speed.get("median"), 2) + " MB/s"),
                    ("10th percentile", _number(speed.get("p10"), 2) + " MB/s"),
                    ("90th percentile", _number(speed.get("p90"), 2) + " MB/s")],) +
            "<p>Whole packages × package size ÷ their time (totalTime less the last package, which may be "
            "short), for finished downloads of two packages or more.</p>")

    total = summary["download_times_ms"]
    section("Download times", _histogram([t / 1000.0 for t in events.total_times], "Total time of finished downloads",
                                         "seconds", "s", log=True) if total["count"] else None,
            _table([("downloads", total["count"]), ("median", _number(total["median"] and total["median"] / 1000, 1) + " s"),
                    ("90th percentile", _number(total["p90"] and total["p90"] / 1000, 1) + " s"),
                    ("99th percentile", _number(total["p99"] and total["p99"] / 1000, 1) + " s")],))

    bad = summary["unparsed_lines"]
    section("Lines that did not parse", None,
            f"<p>{bad['count']} of {summary['lines']} lines.</p>" +
            (_table([(b["line"], b["text"]) for b in bad["first"]], ["line", "text"]) if bad["first"] else ""))

    first, last = summary["period"]["first"], summary["period"]["last"]
    period = f"{first.replace('T', ' ')} to {last.replace('T', ' ')}" if first else "No dated events"
    style = (".headline{font-size:1.3em}"
             "body{font-family:sans-serif;margin:2em;color:#222}h1{color:#0d70ab}section{margin-bottom:2em}"
             ".row{display:flex;gap:2em;align-items:flex-start;flex-wrap:wrap}img{border:1px solid #ddd}"
             "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 8px;text-align:left}"
             "td{font-variant-numeric:tabular-nums}")
    return (f"<!DOCTYPE html><html><head><meta charset=utf-8><title>Tovik downloader statistics</title>"
            f"<style>{style}</style></head><body><h1>Tovik downloader statistics</h1>"
            f"<p>From {html.escape(source)}: {summary['lines']:,} lines.</p>"
            f"<p class=headline>{html.escape(period)}: {d['started']:,} downloads started, "
            f"{_number(summary['success_rate'], 1)} % of the finished ones succeeded.</p>"
            + "".join(sections) + "</body></html>")


def open_log(path):
    """A log as text lines: "-" is standard input, NAME.gz a rotated log."""
    if path == "-":
        return io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", errors="replace")
    if path.endswith(".gz"):
        return gzip.open(path, "rt", encoding="utf-8", errors="replace")
    return open(path, encoding="utf-8", errors="replace")


def write_report(events_logs, output, metadata=None):
    """Writes OUTPUT (HTML) and OUTPUT's .json summary from the logs, in any
    order; returns the summary."""
    package_size = package_size_from_metadata(metadata) if metadata else DEFAULT_PACKAGE_SIZE
    with contextlib.ExitStack() as stack:
        logs = [stack.enter_context(open_log(path)) for path in events_logs]
        events = read_events(itertools.chain.from_iterable(logs))
    summary = summarize(events, package_size)
    page = render_html(summary, events, ", ".join(events_logs))
    summary.pop("_throughput_values")
    json_path = re.sub(r"\.html?$", "", output) + ".json"
    for path, text in ((output, page), (json_path, json.dumps(summary, indent=2) + "\n")):
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return summary, json_path
