"""Reads the statistics events (one JSON line each, as the nginx configuration
writes them) into the store of their history (owner/stats_store.py), pairs
each download's start with its final event, and writes a self-contained HTML
report of a period with pictures and a JSON summary beside it."""

import base64
import datetime
import functools
import gzip
import html
import io
import json
import os
import re
import sys
import urllib.parse
from collections import Counter

from owner.curl_codes import name_of
from owner.stats_store import LISTED_BAD_LINES, bin_value, counter, ingest, open_store

DEFAULT_PACKAGE_SIZE = 307200  # what the downloader uses when the document names none
FINAL_EVENTS = ("download-succeeded", "download-failed", "download-canceled")


# A log line comes from the internet: every part is checked against the shape
# the downloader sends, with bounded lengths and numbers in range, before any
# of it is counted; a line is counted once, as parsed or as unparsed.
MAX_LINE = 2 * 1024 * 1024  # the longest event the downloader sends is 512 KiB
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")  # nginx's $time_iso8601
INT32 = 2 ** 31 - 1
# The lists as the downloader escapes them (curl_easy_escape: "[" is %5B):
# matched escaped, which also spares decoding them.
ERROR_ITEM = re.compile(r"%7B%22number%22%3A(\d{1,10})%2C%22errCode%22%3A(-?\d{1,10})%7D")
ERROR_LIST = re.compile(r"%%5B(?:%s(?:%%2C%s)*)?%%5D" % (ERROR_ITEM.pattern, ERROR_ITEM.pattern))
TIME_LIST = re.compile(r"%5B(?:\d{1,10}(?:%2C\d{1,10})*)?%5D")


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
    errors_text = fields["errors"]
    times_text = fields["packageTimes"]
    if not ERROR_LIST.fullmatch(errors_text):
        raise ValueError("errors is no list of error items")
    if not TIME_LIST.fullmatch(times_text):
        raise ValueError("packageTimes is no list of times")
    final = {
        "error_count": _count(fields, "errorCount"),
        "package_number": _count(fields, "packageNumber"),
        "total_time": _count(fields, "totalTime"),
        "failing": [int(number) for number, _ in ERROR_ITEM.findall(errors_text)],
        "times": [int(t) for t in times_text[3:-3].split("%2C") if t],
        "failure": ((_count(fields, "errorCode", -INT32), urllib.parse.unquote(fields["errorMsg"])[:200])
                    if name == "download-failed" else None),
        "installer": _installer(fields.get("url", "")),
    }
    if any(number > INT32 for number in final["failing"]) or any(t > INT32 for t in final["times"]):
        raise ValueError("a number out of range")
    # Its packages but the last (which may be short) and their time: what throughput is measured on.
    whole = name == "download-succeeded" and final["package_number"] > 1 and final["times"]
    final["full"] = (final["package_number"] - 1, final["total_time"] - final["times"][-1]) if whole else (None, None)
    return name, download, time, final


@functools.lru_cache(maxsize=1024)  # a few installers, millions of events
def _installer(escaped_url):
    """files/<SHA-256>/<name> as "name (first 8 of the hash)": one published installer."""
    url = urllib.parse.unquote(escaped_url)
    parts = urllib.parse.urlsplit(url).path.rsplit("/", 2)
    if len(parts) == 3 and re.fullmatch(r"[0-9a-f]{64}", parts[1]):
        return f"{parts[2][:100]} ({parts[1][:8]})"
    return url[:100] or "(none)"


def read_into(db, lines, source):
    """Adds the new lines of a log to the store; returns how many were new."""
    return ingest(db, lines, source, _parse_line)


def package_size_from_metadata(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        match = re.search(r"<suggestedPackageSize>\s*(\d+)", f.read())
    return int(match.group(1)) if match and int(match.group(1)) > 0 else DEFAULT_PACKAGE_SIZE


def _percentiles(values, weights=None):
    """Of values, or of sorted bin values with their counts (weights)."""
    import numpy
    if len(values) == 0:
        return {"count": 0, "median": None, "p90": None, "p99": None}
    data = numpy.asarray(values, dtype=numpy.float64)
    if weights is None:
        median, p90, p99 = numpy.percentile(data, [50, 90, 99])
        return {"count": len(data), "median": float(median), "p90": float(p90), "p99": float(p99)}
    cumulative = numpy.cumsum(numpy.asarray(weights, dtype=numpy.float64))

    def at(share):  # the bin in which the share of all counts is reached
        return float(data[min(numpy.searchsorted(cumulative, share * cumulative[-1]), len(data) - 1)])
    return {"count": int(cumulative[-1]), "median": at(0.5), "p90": at(0.9), "p99": at(0.99)}


def summarize(db, package_size=DEFAULT_PACKAGE_SIZE, since=None, until=None):
    """The summary of the downloads whose events fall in [since, until] (days,
    "YYYY-MM-DD", either may be None), and the values the pictures draw."""
    import numpy
    end = until and (datetime.date.fromisoformat(until) + datetime.timedelta(days=1)).isoformat()
    when = "(:since IS NULL OR time >= :since) AND (:end IS NULL OR time < :end)"
    days = "(:since IS NULL OR day >= :since) AND (:end IS NULL OR day < :end)"
    period = {"since": since, "end": end}

    def rows(sql):
        return db.execute(sql.replace("WHEN", when).replace("DAYS", days), period).fetchall()

    def column(sql):  # one value per download, streamed into an array: millions of them stay small
        cursor = db.execute(sql.replace("WHEN", when), period)
        return numpy.fromiter((value for (value,) in cursor), dtype=numpy.float64)

    def one(sql):
        return rows(sql)[0][0]
    outcomes = dict(rows("SELECT event, count(*) FROM finals WHERE WHEN GROUP BY event"))
    per_day = {}
    for day, event, count in rows("SELECT substr(time, 1, 10), event, count(*) FROM finals WHERE WHEN "
                                  "GROUP BY 1, 2 UNION ALL SELECT substr(time, 1, 10), 'started', count(*) "
                                  "FROM starts WHERE WHEN GROUP BY 1"):
        per_day.setdefault(day or "unknown", Counter())[event] = count
    per_installer = {}
    for installer, event, count in rows("SELECT installer, event, count(*) FROM finals WHERE WHEN GROUP BY 1, 2"):
        per_installer.setdefault(installer, Counter())[event] = count
    bins = rows("SELECT bin, sum(count) FROM package_times WHERE DAYS GROUP BY bin ORDER BY bin")
    totals = column("SELECT total_time FROM finals WHERE WHEN AND event = 'download-succeeded'")
    # Whole packages only (the last may be short): packages per millisecond, then MB/s.
    throughput = column("SELECT full_packages * 1.0 / full_time FROM finals WHERE WHEN "
                        "AND event = 'download-succeeded' AND full_time > 0") * (package_size / 1000.0)

    def shares(counts):
        finals = sum(counts[name] for name in FINAL_EVENTS)
        return {"succeeded": counts["download-succeeded"], "failed": counts["download-failed"],
                "canceled": counts["download-canceled"],
                "success_rate": round(100.0 * counts["download-succeeded"] / finals, 1) if finals else None}
    first, last = rows("SELECT min(time), max(time) FROM (SELECT time FROM starts WHERE WHEN "
                       "UNION ALL SELECT time FROM finals WHERE WHEN)")[0]
    summary = {
        "lines": counter(db, "lines"),
        "period": {"first": first, "last": last, "since": since, "until": until},
        "success_rate": shares(Counter(outcomes))["success_rate"],
        "days": [{"day": day, "started": counts["started"], **shares(counts)} for day, counts in sorted(per_day.items())],
        "installers": [{"installer": name, **shares(counts)}
                       for name, counts in sorted(per_installer.items(), key=lambda item: -sum(item[1].values()))],
        "downloads": {
            "started": one("SELECT count(*) FROM starts WHERE WHEN"),
            "succeeded": outcomes.get("download-succeeded", 0),
            "failed": outcomes.get("download-failed", 0),
            "canceled": outcomes.get("download-canceled", 0),
            "started_never_finished": one("SELECT count(*) FROM starts AS s WHERE WHEN AND NOT EXISTS "
                                          "(SELECT 1 FROM finals AS f WHERE f.id = s.id)"),
            "final_without_start": one("SELECT count(*) FROM finals AS f WHERE WHEN AND NOT EXISTS "
                                       "(SELECT 1 FROM starts AS s WHERE s.id = f.id)"),
            "repeated_final_events": counter(db, "repeated_finals"),
        },
        "failures": [{"errorCode": code, "name": name_of(code), "errorMsg": message, "count": count}
                     for code, message, count in rows("SELECT error_code, error_msg, count(*) FROM finals WHERE WHEN "
                                                      "AND event = 'download-failed' GROUP BY 1, 2 ORDER BY 3 DESC")],
        "retries": {
            "error_count_distribution": {str(k): v for k, v in rows(
                "SELECT error_count, count(*) FROM finals WHERE WHEN GROUP BY 1 ORDER BY 1")},
            "failing_package_indices": [{"index": i, "failed_attempts": n} for i, n in rows(
                "SELECT package, sum(count) FROM failed_attempts WHERE DAYS GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT 20")],
        },
        "package_times_ms": _percentiles([bin_value(b) for b, _ in bins], [n for _, n in bins]),
        "download_times_ms": _percentiles(totals),
        "throughput_mb_per_s": {
            "package_size": package_size,
            **({"count": len(throughput), "median": float(numpy.median(throughput)),
                "p10": float(numpy.percentile(throughput, 10)), "p90": float(numpy.percentile(throughput, 90))}
               if len(throughput) else {"count": 0}),
        },
        "unparsed_lines": {"count": counter(db, "unparsed"),
                           "first": [{"source": source, "line": n, "text": t} for source, n, t in db.execute(
                               "SELECT source, line, text FROM unparsed_samples LIMIT ?", (LISTED_BAD_LINES,))]},
    }
    drawn = {"package_time_bins": bins, "total_times": totals, "throughput": throughput}
    return summary, drawn


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


def _histogram(values, title, xlabel, unit, log=False, weights=None):
    """Log-spaced bins for a wide range, drawn as a density (share per unit):
    counts per log bin would make a uniform sample look like a ramp."""
    import numpy
    pyplot, figure, axes = _figure()
    data = numpy.asarray(values, dtype=numpy.float64)
    weights = None if weights is None else numpy.asarray(weights, dtype=numpy.float64)
    if log:
        kept = data > 0
        data, weights = data[kept], None if weights is None else weights[kept]
        if not len(data):  # only zeros (loopback): nothing a log axis can show
            pyplot.close(figure)
            return None
        bins = numpy.logspace(numpy.log10(data.min()), numpy.log10(data.max() * 1.01), 40)
        axes.set_xscale("log")
    else:
        bins = 40
    axes.hist(data, bins=bins, weights=weights, color="#0d70ab", density=True)
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


def render_html(summary, drawn, source):
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
    bins = drawn["package_time_bins"]
    section("Package times", _histogram([bin_value(b) for b, _ in bins], "Time of each completed package",
                                        "milliseconds", "ms", log=True, weights=[n for _, n in bins]) if times["count"] else None,
            _table([("packages", _number(times["count"])), ("median", _number(times["median"]) + " ms"),
                    ("90th percentile", _number(times["p90"]) + " ms"),
                    ("99th percentile", _number(times["p99"]) + " ms")],))

    speed = summary["throughput_mb_per_s"]
    section("Throughput", _histogram(drawn["throughput"], "Estimated throughput per finished download",
                                     "MB/s", "MB/s", log=True) if speed["count"] else None,
            _table([("downloads", speed["count"]), ("package size", f"{speed['package_size']:,} bytes"),
                    ("median", _number(speed.get("median"), 2) + " MB/s"),
                    ("10th percentile", _number(speed.get("p10"), 2) + " MB/s"),
                    ("90th percentile", _number(speed.get("p90"), 2) + " MB/s")],) +
            "<p>Whole packages × package size ÷ their time (totalTime less the last package, which may be "
            "short), for finished downloads of two packages or more.</p>")

    total = summary["download_times_ms"]
    section("Download times", _histogram(drawn["total_times"] / 1000.0, "Total time of finished downloads",
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


def default_store(events_logs):
    """Beside the first log that is a file, else in the current folder."""
    files = [path for path in events_logs if path != "-"]
    return os.path.join(os.path.dirname(os.path.abspath(files[0])) if files else ".", "tovik-events.sqlite")


def write_report(events_logs, output, metadata=None, store=None, since=None, until=None):
    """Adds what is new in the logs (any order) to the store, then writes
    OUTPUT (HTML) and OUTPUT's .json summary for the period; returns the
    summary and the JSON's path."""
    package_size = package_size_from_metadata(metadata) if metadata else DEFAULT_PACKAGE_SIZE
    db = open_store(store or default_store(events_logs))
    with db:
        for path in events_logs:
            with open_log(path) as lines:
                read_into(db, lines, path)
    summary, drawn = summarize(db, package_size, since, until)
    db.close()
    page = render_html(summary, drawn, ", ".join(events_logs))
    json_path = re.sub(r"\.html?$", "", output) + ".json"
    for path, text in ((output, page), (json_path, json.dumps(summary, indent=2) + "\n")):
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return summary, json_path
