"""The report for people: a self-contained HTML page with the pictures
embedded (matplotlib's Agg backend, no display) and the numbers beside them."""

import base64
import html
import io

from owner.stats_store import bin_value


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


def _binned(pairs, title, xlabel):
    """Counts of values binned already (100 a decade, as the history keeps
    them), five bins a bar so that no bar gets one more, on a log axis where
    the bars are of equal width and their heights compare."""
    import numpy
    pyplot, figure, axes = _figure()
    values = numpy.asarray([value for value, _ in pairs], dtype=numpy.float64)
    low, high = numpy.floor(numpy.log10(values.min()) * 20), numpy.ceil(numpy.log10(values.max()) * 20) + 1
    axes.hist(values, bins=10 ** (numpy.arange(low, high + 1) / 20), weights=[n for _, n in pairs], color="#0d70ab")
    axes.set_xscale("log")
    axes.set_title(title)
    axes.set_xlabel(xlabel + " (logarithmic bins)")
    axes.set_ylabel("count per bin")
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


def _comparison(summary):
    compared = summary["compared_with_previous_period"]
    if not compared:
        return ""
    now, before = compared["period"], compared["previous"]

    def finished(p):
        return p["succeeded"] + p["failed"] + p["canceled"]
    return (f"<p class=headline>{now['since']} to {now['until']}: {finished(now):,} finished, "
            f"{_number(now['success_rate'], 1)} % succeeded; the {before['since']} to {before['until']} before it: "
            f"{finished(before):,} finished, {_number(before['success_rate'], 1)} % succeeded.</p>")


def finals_without_start_text(unpaired):
    """"finals without a start: 2 (1 succeeded, 1 failed with 133)"."""
    parts = [f"{unpaired['succeeded']:,} succeeded"] if unpaired["succeeded"] else []
    for code, n in unpaired["failure_codes"].items():
        parts.append(f"{n:,} failed with {code}")
    if unpaired["canceled"]:
        parts.append(f"{unpaired['canceled']:,} canceled")
    return f"finals without a start: {unpaired['count']:,}" + (f" ({', '.join(parts)})" if parts else "")


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
                    ("final event without a start (below)", d["final_without_start"]),
                    ("repeated final events", d["repeated_final_events"])], ["", "downloads"]) +
            f"<p>{summary['resumed']['count']:,} finished downloads went on from the bytes an earlier run had "
            f"verified; the {summary['resumed']['succeeded']:,} of them that succeeded did not fetch "
            f"{summary['resumed']['bytes_saved'] / 1e6:,.1f} MB again.</p>")

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

    releases = summary["releases"]
    if releases:
        section("Releases", None, _table(
            [(r["release"], r.get("package_size", "–"), r["succeeded"], r["failed"], r["canceled"],
              _number(r["success_rate"], 1) + " %",
              ", ".join(f"{code}: {n}" for code, n in r.get("failure_codes", {}).items()),
              _number(r.get("mean_package_time_ms")), _number((r.get("throughput_mb_per_s") or {}).get("median"), 2),
              (r.get("first_seen") or "–")[:10] + " to " + (r.get("last_seen") or "–")[:10]) for r in releases],
            ["release", "package size", "succeeded", "failed", "canceled", "success rate", "failures by code",
             "mean package time, ms", "median MB/s", "seen"]) +
            "<p>Each release publish-installer recorded, measured with its own package size; finals that name "
            "no published release are under “unknown installer”.</p>")

    failures = summary["failures"]
    by_code = summary["failures_by_code"]
    section("Failures", _bars([f"{f['errorCode']}" for f in by_code], [f["count"] for f in by_code],
                              "Failed downloads by errorCode", "errorCode", color="#c0392b") if by_code else None,
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
    section("Package times", _binned([(bin_value(b), n) for b, n in bins], "Time of each completed package",
                                     "milliseconds") if times["count"] else None,
            _table([("packages", _number(times["count"])), ("median", _number(times["median"]) + " ms"),
                    ("90th percentile", _number(times["p90"]) + " ms"),
                    ("99th percentile", _number(times["p99"]) + " ms")],))

    speed = summary["throughput_mb_per_s"]
    section("Throughput", _binned(drawn["throughput"], "Estimated throughput per finished download", "MB/s")
            if speed["count"] else None,
            _table([("downloads", speed["count"]), ("package size", f"{speed['package_size']:,} bytes"
                                                    if speed["measured_with"] == "package_size" else "each release's own"),
                    ("median", _number(speed.get("median"), 2) + " MB/s"),
                    ("10th percentile", _number(speed.get("p10"), 2) + " MB/s"),
                    ("90th percentile", _number(speed.get("p90"), 2) + " MB/s")],) +
            "<p>Whole packages × package size ÷ their time (totalTime less the last package, which may be "
            "short), for finished downloads of two packages or more.</p>")

    total = summary["download_times_ms"]
    section("Download times", _binned([(ms / 1000.0, n) for ms, n in drawn["total_times"]],
                                      "Total time of finished downloads", "seconds") if total["count"] else None,
            _table([("downloads", total["count"]), ("median", _number(total["median"] and total["median"] / 1000, 1) + " s"),
                    ("90th percentile", _number(total["p90"] and total["p90"] / 1000, 1) + " s"),
                    ("99th percentile", _number(total["p99"] and total["p99"] / 1000, 1) + " s")],))

    unpaired = summary["finals_without_start"]
    section("Finals without a start", None,
            f"<p>{html.escape(finals_without_start_text(unpaired))}. Consistent final events whose "
            "download-started never arrived, kept out of every figure above: a start lost on the way (a proxy "
            "that refused it), or events sent by anyone (docs/serving.md).</p>")

    rejected = summary["rejected_events"]
    section("Rejected events", None,
            f"<p>{rejected['count']:,} events that the downloader cannot have sent, kept out of every figure "
            "above.</p>" + (_table(sorted(rejected["reasons"].items(), key=lambda r: -r[1]), ["reason", "events"])
                           if rejected["count"] else ""))

    bad = summary["unparsed_lines"]
    section("Lines that did not parse", None,
            f"<p>{bad['count']} of {summary['lines']} lines; the latest:</p>" +
            (_table([(b["source"], b["line"], b["text"]) for b in bad["latest"]], ["log", "line", "text"])
             if bad["latest"] else ""))

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
            f"{_number(summary['success_rate'], 1)} % of the finished ones succeeded.</p>" + _comparison(summary)
            + "".join(sections) + "</body></html>")
