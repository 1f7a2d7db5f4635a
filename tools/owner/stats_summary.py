"""The summary of a period from the history of events (owner/stats_store.py):
outcomes, days, installers, failures, retries, package times and
throughput, and the values the pictures draw."""

import datetime
import re
from collections import Counter

from owner.curl_codes import name_of
from owner.event_lines import FINAL_EVENTS
from owner.stats_store import LISTED_BAD_LINES, bin_value, counter

DEFAULT_PACKAGE_SIZE = 307200  # what the downloader uses when the document names none

# The period, bound as :since and :end (the day after until) to every query.
IN_PERIOD = "(:since IS NULL OR time >= :since) AND (:end IS NULL OR time < :end)"
DAY_IN_PERIOD = "(:since IS NULL OR day >= :since) AND (:end IS NULL OR day < :end)"


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
    period = {"since": since, "end": end}

    def rows(sql):
        return db.execute(sql, period).fetchall()

    def column(sql):  # one value per download, streamed into an array: millions of them stay small
        return numpy.fromiter((value for (value,) in db.execute(sql, period)), dtype=numpy.float64)

    def one(sql):
        return rows(sql)[0][0]
    outcomes = dict(rows(f"SELECT event, count(*) FROM finals WHERE {IN_PERIOD} GROUP BY event"))
    per_day = {}
    for day, event, count in rows(f"SELECT substr(time, 1, 10), event, count(*) FROM finals WHERE {IN_PERIOD} "
                                  "GROUP BY 1, 2 UNION ALL SELECT substr(time, 1, 10), 'started', count(*) "
                                  f"FROM starts WHERE {IN_PERIOD} GROUP BY 1"):
        per_day.setdefault(day or "unknown", Counter())[event] = count
    per_installer = {}
    for installer, event, count in rows(f"SELECT installer, event, count(*) FROM finals WHERE {IN_PERIOD} "
                                        "GROUP BY 1, 2"):
        per_installer.setdefault(installer, Counter())[event] = count
    bins = rows(f"SELECT bin, sum(count) FROM package_times WHERE {DAY_IN_PERIOD} GROUP BY bin ORDER BY bin")
    totals = column(f"SELECT total_time FROM finals WHERE {IN_PERIOD} AND event = 'download-succeeded'")
    # Whole packages only (the last may be short): packages per millisecond, then MB/s.
    throughput = column(f"SELECT full_packages * 1.0 / full_time FROM finals WHERE {IN_PERIOD} "
                        "AND event = 'download-succeeded' AND full_time > 0") * (package_size / 1000.0)

    def shares(counts):
        finals = sum(counts[name] for name in FINAL_EVENTS)
        return {"succeeded": counts["download-succeeded"], "failed": counts["download-failed"],
                "canceled": counts["download-canceled"],
                "success_rate": round(100.0 * counts["download-succeeded"] / finals, 1) if finals else None}
    first, last = rows(f"SELECT min(time), max(time) FROM (SELECT time FROM starts WHERE {IN_PERIOD} "
                       f"UNION ALL SELECT time FROM finals WHERE {IN_PERIOD})")[0]
    summary = {
        "lines": counter(db, "lines"),
        "period": {"first": first, "last": last, "since": since, "until": until},
        "success_rate": shares(Counter(outcomes))["success_rate"],
        "days": [{"day": day, "started": counts["started"], **shares(counts)} for day, counts in sorted(per_day.items())],
        "installers": [{"installer": name, **shares(counts)}
                       for name, counts in sorted(per_installer.items(), key=lambda item: -sum(item[1].values()))],
        "downloads": {
            "started": one(f"SELECT count(*) FROM starts WHERE {IN_PERIOD}"),
            "succeeded": outcomes.get("download-succeeded", 0),
            "failed": outcomes.get("download-failed", 0),
            "canceled": outcomes.get("download-canceled", 0),
            "started_never_finished": one(f"SELECT count(*) FROM starts AS s WHERE {IN_PERIOD} AND NOT EXISTS "
                                          "(SELECT 1 FROM finals AS f WHERE f.id = s.id)"),
            "final_without_start": one(f"SELECT count(*) FROM finals AS f WHERE {IN_PERIOD} AND NOT EXISTS "
                                       "(SELECT 1 FROM starts AS s WHERE s.id = f.id)"),
            "repeated_final_events": counter(db, "repeated_finals"),
        },
        "failures": [{"errorCode": code, "name": name_of(code), "errorMsg": message, "count": count}
                     for code, message, count in rows(
                         f"SELECT error_code, error_msg, count(*) FROM finals WHERE {IN_PERIOD} "
                         "AND event = 'download-failed' GROUP BY 1, 2 ORDER BY 3 DESC")],
        "retries": {
            "error_count_distribution": {str(k): v for k, v in rows(
                f"SELECT error_count, count(*) FROM finals WHERE {IN_PERIOD} GROUP BY 1 ORDER BY 1")},
            "failing_package_indices": [{"index": i, "failed_attempts": n} for i, n in rows(
                f"SELECT package, sum(count) FROM failed_attempts WHERE {DAY_IN_PERIOD} "
                "GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT 20")],
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
