"""The summary of a period from the history of events (owner/stats_store.py):
outcomes, days, installers, failures, retries, package times and
throughput, and the values the pictures draw."""

import datetime
import os
import re
from collections import Counter

from owner.curl_codes import name_of
from owner.event_lines import FINAL_EVENTS
from owner.stats_store import LISTED_BAD_LINES, bin_value, line_count

# What publish-installer writes when not told otherwise: the size throughput
# is measured with where no record of releases says better.
DEFAULT_PACKAGE_SIZE = 4 * 1024 * 1024
UNKNOWN_INSTALLER = "unknown installer"

# The period, bound as :since and :end (the day after until) to every query.
# A final event counts only with its start (paired); lines with no day of
# their own count only in a report of the whole history.
IN_PERIOD = "(:since IS NULL OR time >= :since) AND (:end IS NULL OR time < :end)"
FINALS = f"{IN_PERIOD} AND paired = 1"
DAY_IN_PERIOD = ("(:since IS NULL OR day >= :since) AND (:end IS NULL OR day < :end) "
                 "AND (day != 'unknown' OR (:since IS NULL AND :end IS NULL))")


def package_size_from_metadata(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        match = re.search(r"<suggestedPackageSize>\s*(\d+)", f.read())
    return int(match.group(1)) if match and int(match.group(1)) > 0 else DEFAULT_PACKAGE_SIZE


def releases_beside(metadata):
    """The record of releases publish-installer keeps beside the document; []
    where there is none."""
    from owner.publish import RELEASES_NAME, read_releases
    return read_releases(os.path.join(os.path.dirname(os.path.abspath(metadata)), RELEASES_NAME))


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


def _day_after(day):
    return (datetime.date.fromisoformat(day) + datetime.timedelta(days=1)).isoformat()


def _shares(counts):
    finals = sum(counts[name] for name in FINAL_EVENTS)
    return {"succeeded": counts["download-succeeded"], "failed": counts["download-failed"],
            "canceled": counts["download-canceled"],
            "success_rate": round(100.0 * counts["download-succeeded"] / finals, 1) if finals else None}


def _release_ranges(releases):
    """Per installer key ("name (first 8 of the hash)"): the releases of that
    file, each with the time from which its package size held."""
    ranges = {}
    for release in releases:
        key = f"{release['file'][:100]} ({release['sha256'][:8]})"
        ranges.setdefault(key, []).append(release)
    return ranges


def summarize(db, package_size=DEFAULT_PACKAGE_SIZE, since=None, until=None, releases=()):
    """The summary of the downloads whose events fall in [since, until] (days,
    "YYYY-MM-DD", either may be None), and the values the pictures draw.
    releases (publish-installer's record) give each release its own package
    size; without them every download is measured with package_size."""
    import numpy
    period = {"since": since, "end": until and _day_after(until)}

    def rows(sql, bound=None):
        return db.execute(sql, bound or period).fetchall()

    def column(sql, bound=None):  # one value per download, streamed into an array: millions of them stay small
        return numpy.fromiter((value for (value,) in db.execute(sql, bound or period)), dtype=numpy.float64)

    def one(sql, bound=None):
        return rows(sql, bound)[0][0]

    def outcomes_in(bound=None):
        return Counter(dict(rows(f"SELECT event, count(*) FROM finals WHERE {FINALS} GROUP BY event", bound)))
    outcomes = outcomes_in()
    per_day = {}
    for day, event, count in rows(f"SELECT substr(time, 1, 10), event, count(*) FROM finals WHERE {FINALS} "
                                  "GROUP BY 1, 2 UNION ALL SELECT substr(time, 1, 10), 'started', count(*) "
                                  f"FROM starts WHERE {IN_PERIOD} GROUP BY 1"):
        per_day.setdefault(day or "unknown", Counter())[event] = count
    per_installer = {}
    for installer, event, count in rows(f"SELECT installer, event, count(*) FROM finals WHERE {FINALS} GROUP BY 1, 2"):
        per_installer.setdefault(installer, Counter())[event] = count
    bins = rows(f"SELECT bin, sum(count) FROM package_times WHERE {DAY_IN_PERIOD} GROUP BY bin ORDER BY bin")
    totals = column(f"SELECT total_time FROM finals WHERE {FINALS} AND event = 'download-succeeded'")

    # Throughput on whole packages only (the last may be short), each with its
    # release's package size: packages per millisecond, then MB/s.
    def speeds(where, bound, size):
        return column(f"SELECT full_packages * 1.0 / full_time FROM finals WHERE {FINALS} AND {where} "
                      "AND event = 'download-succeeded' AND full_time > 0", bound) * (size / 1000.0)
    ranges = _release_ranges(releases)
    release_rows, measured = [], []
    for key, versions in ranges.items():
        for index, release in enumerate(versions):
            bound = {**period, "key": key, "from": release["published"] if index else None,
                     "to": versions[index + 1]["published"] if index + 1 < len(versions) else None}
            # Instants, not texts: nginx writes local time with its offset, the record UTC.
            where = ("installer = :key AND (:from IS NULL OR julianday(time) >= julianday(:from)) "
                     "AND (:to IS NULL OR julianday(time) < julianday(:to))")
            speed = speeds(where, bound, release["package_size"])
            measured.append(speed)
            counts = Counter(dict(rows(f"SELECT event, count(*) FROM finals WHERE {FINALS} AND {where} GROUP BY 1",
                                       bound)))
            first, last, package_ms = rows(f"SELECT min(time), max(time), avg(total_time * 1.0 / package_number) "
                                           f"FROM finals WHERE {FINALS} AND {where} AND package_number > 0", bound)[0]
            release_rows.append({
                "release": release["file"], "sha256": release["sha256"], "package_size": release["package_size"],
                "published": release.get("published"), **_shares(counts), "first_seen": first, "last_seen": last,
                "failure_codes": {str(code): n for code, n in rows(
                    f"SELECT error_code, count(*) FROM finals WHERE {FINALS} AND {where} "
                    "AND event = 'download-failed' GROUP BY 1 ORDER BY 2 DESC", bound)},
                "mean_package_time_ms": package_ms,
                "throughput_mb_per_s": {"count": len(speed),
                                        "median": float(numpy.median(speed)) if len(speed) else None}})
    unknown = Counter()
    if releases:
        for installer, counts in per_installer.items():
            if installer not in ranges:
                unknown.update(counts)
        if unknown:
            release_rows.append({"release": UNKNOWN_INSTALLER, **_shares(unknown)})
        throughput = numpy.concatenate(measured) if measured else numpy.zeros(0)
    else:
        throughput = speeds("true", period, package_size)

    previous = _previous_period(db, since, until)
    compared = previous["compared"] and {
        "period": {"since": previous["since"], "until": previous["until"],
                   **_shares(outcomes_in({"since": previous["since"], "end": previous["end"]}))},
        "previous": {"since": previous["previous_since"], "until": previous["previous_until"],
                     **_shares(outcomes_in({"since": previous["previous_since"], "end": previous["since"]}))}}
    rejected = {name[len("rejected:"):]: n for name, n in rows(
        f"SELECT name, sum(count) FROM line_counts WHERE name LIKE 'rejected:%' AND {DAY_IN_PERIOD} GROUP BY 1")}
    # Kept out of every paired figure (forged finals cannot move them), and
    # shown by outcome: a start lost on the way, or events sent by anyone.
    unpaired = f"FROM finals WHERE {IN_PERIOD} AND paired = 0"
    without_start = one(f"SELECT count(*) {unpaired}")
    finals_without_start = {
        "count": without_start, **_shares(Counter(dict(rows(f"SELECT event, count(*) {unpaired} GROUP BY 1")))),
        "failure_codes": {str(code): n for code, n in rows(
            f"SELECT error_code, count(*) {unpaired} AND event = 'download-failed' GROUP BY 1 ORDER BY 2 DESC, 1")}}
    first, last = rows(f"SELECT min(time), max(time) FROM (SELECT time FROM starts WHERE {IN_PERIOD} "
                       f"UNION ALL SELECT time FROM finals WHERE {FINALS})")[0]
    failures_by_code = Counter()
    failure_rows = rows(f"SELECT error_code, error_msg, count(*) FROM finals WHERE {FINALS} "
                        "AND event = 'download-failed' GROUP BY 1, 2 ORDER BY 3 DESC")
    for code, _, count in failure_rows:
        failures_by_code[code] += count
    summary = {
        "lines": line_count(db, "lines", DAY_IN_PERIOD, period),
        "period": {"first": first, "last": last, "since": since, "until": until},
        "success_rate": _shares(outcomes)["success_rate"],
        "days": [{"day": day, "started": counts["started"], **_shares(counts)} for day, counts in sorted(per_day.items())],
        "installers": [{"installer": name, **_shares(counts)}
                       for name, counts in sorted(per_installer.items(), key=lambda item: -sum(item[1].values()))],
        "downloads": {
            "started": one(f"SELECT count(*) FROM starts WHERE {IN_PERIOD}"),
            "succeeded": outcomes["download-succeeded"],
            "failed": outcomes["download-failed"],
            "canceled": outcomes["download-canceled"],
            "started_never_finished": one(f"SELECT count(*) FROM starts AS s WHERE {IN_PERIOD} AND NOT EXISTS "
                                          "(SELECT 1 FROM finals AS f WHERE f.id = s.id)"),
            "final_without_start": without_start,
            "repeated_final_events": line_count(db, "repeated_finals", DAY_IN_PERIOD, period),
        },
        "failures": [{"errorCode": code, "name": name_of(code), "errorMsg": message, "count": count}
                     for code, message, count in failure_rows],
        "failures_by_code": [{"errorCode": code, "name": name_of(code), "count": count}
                             for code, count in failures_by_code.most_common()],
        "retries": {
            "error_count_distribution": {str(k): v for k, v in rows(
                f"SELECT error_count, count(*) FROM finals WHERE {FINALS} GROUP BY 1 ORDER BY 1")},
            "failing_package_indices": [{"index": i, "failed_attempts": n} for i, n in rows(
                f"SELECT package, sum(count) FROM failed_attempts WHERE {DAY_IN_PERIOD} "
                "GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT 20")],
        },
        "package_times_ms": _percentiles([bin_value(b) for b, _ in bins], [n for _, n in bins]),
        "download_times_ms": _percentiles(totals),
        "throughput_mb_per_s": {
            "package_size": package_size,
            "measured_with": "each release's own package size" if releases else "package_size",
            **({"count": len(throughput), "median": float(numpy.median(throughput)),
                "p10": float(numpy.percentile(throughput, 10)), "p90": float(numpy.percentile(throughput, 90))}
               if len(throughput) else {"count": 0}),
        },
        "releases": release_rows,
        "rejected_events": {"count": sum(rejected.values()), "reasons": rejected},
        "finals_without_start": finals_without_start,
        "compared_with_previous_period": compared or None,
        "unparsed_lines": {"count": line_count(db, "unparsed", DAY_IN_PERIOD, period),
                           **{key: [{"source": source, "line": n, "text": t} for source, n, t in db.execute(
                               f"SELECT source, line, text FROM unparsed_samples WHERE {DAY_IN_PERIOD} "
                               f"ORDER BY rowid {order} LIMIT :limit", {**period, "limit": LISTED_BAD_LINES})]
                              for key, order in (("first", "ASC"), ("latest", "DESC"))}},
    }
    drawn = {"package_time_bins": bins, "total_times": totals, "throughput": throughput}
    return summary, drawn


def _previous_period(db, since, until):
    """The period and the one as long just before it: the chosen days, or the
    last seven days of the history when none are chosen."""
    if not until:
        last = db.execute("SELECT max(time) FROM finals WHERE paired = 1").fetchone()[0]
        if not last:
            return {"compared": False}
        until = last[:10]
    end = datetime.date.fromisoformat(until) + datetime.timedelta(days=1)
    start = datetime.date.fromisoformat(since) if since else end - datetime.timedelta(days=7)
    length = end - start
    return {"compared": True, "since": start.isoformat(), "until": until, "end": end.isoformat(),
            "previous_since": (start - length).isoformat(),
            "previous_until": (start - datetime.timedelta(days=1)).isoformat()}
