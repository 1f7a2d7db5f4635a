"""The summary of a period from the history of events (owner/stats_store.py):
outcomes, days, installers, failures, retries, package times and
throughput, and the values the pictures draw."""

import datetime
import os
import re
from collections import Counter

from owner.curl_codes import name_of
from owner.event_lines import FINAL_EVENTS
from owner.stats_store import LISTED_BAD_LINES, bin_value, line_count, rate_bin

# What publish-installer writes when not told otherwise: the size throughput
# is measured with where no record of releases says better.
DEFAULT_PACKAGE_SIZE = 4 * 1024 * 1024
UNKNOWN_INSTALLER = "unknown installer"

# The period, bound as :since and :end (the day after until) to every query
# of the per-day counts, which hold only finals paired with their start;
# lines with no day of their own count only in a report of the whole history.
# Rows are bound by their time as :low and :high, "" and "~" where the period
# is open, so that the time index serves.
DAY_IN_PERIOD = ("(:since IS NULL OR day >= :since) AND (:end IS NULL OR day < :end) "
                 "AND (day != 'unknown' OR (:since IS NULL AND :end IS NULL))")
TIME_IN_PERIOD = "time >= :low AND time < :high"


def package_size_from_metadata(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        match = re.search(r"<suggestedPackageSize>\s*(\d+)", f.read())
    return int(match.group(1)) if match and int(match.group(1)) > 0 else DEFAULT_PACKAGE_SIZE


def releases_beside(metadata):
    """The record of releases publish-installer keeps beside the document; []
    where there is none."""
    from owner.publish import RELEASES_NAME, read_releases
    return read_releases(os.path.join(os.path.dirname(os.path.abspath(metadata)), RELEASES_NAME))


def _percentiles(pairs, shares=(("median", 0.5), ("p90", 0.9), ("p99", 0.99))):
    """Of (value, count) pairs sorted by value: for each share, the value at
    which that share of all counts is reached."""
    total = sum(n for _, n in pairs)
    result = {"count": total, **{name: None for name, _ in shares}}
    for name, share in shares:
        running = 0
        for value, n in pairs:
            running += n
            if total and running >= share * total:
                result[name] = value
                break
    return result


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


def _utc_day(instant, days=0):
    moment = datetime.datetime.fromisoformat(instant)
    if moment.tzinfo:
        moment = moment.astimezone(datetime.timezone.utc)
    return (moment.date() + datetime.timedelta(days=days)).isoformat()


def _release_parts(start, end):
    """The days of the instants [start, end) (either None: open) as (source,
    first day, day after): "counts" for days wholly inside, read from the
    per-day counts, "finals" for the days around a bound, read from the finals
    and compared as instants. nginx's offsets are within 14 hours, so a local
    day two days past a bound's UTC day lies wholly on its side."""
    if start and end and _utc_day(end) < _utc_day(start, 3):
        return [("finals", _utc_day(start, -1), _utc_day(end, 2))]
    return ([("finals", _utc_day(start, -1), _utc_day(start, 2))] if start else []) + \
        [("counts", start and _utc_day(start, 2), end and _utc_day(end, -1))] + \
        ([("finals", _utc_day(end, -1), _utc_day(end, 2))] if end else [])


def _release_figures(rows, period, key, start, end):
    """Outcomes, failure codes, first and last seen, package time and rate
    bins of the paired finals of one installer between two instants."""
    events, codes, rates = Counter(), Counter(), Counter()
    seen, package_ms, timed = [], 0.0, 0
    for source, low, high in _release_parts(start, end):
        bound = {**period, "key": key, "from": start, "to": end, "plow": low or "", "phigh": high or "~"}
        if source == "counts":
            where = f"installer = :key AND day >= :plow AND day < :phigh AND {DAY_IN_PERIOD}"
            groups = rows("SELECT event, error_code, sum(count), min(first), max(last), sum(package_ms), sum(timed) "
                          f"FROM final_groups WHERE {where} GROUP BY 1, 2", bound)
            rates.update(dict(rows(f"SELECT bin, sum(count) FROM final_bins WHERE {where} AND kind = 'rate' "
                                   "GROUP BY 1", bound)))
        else:  # instants, not texts: nginx writes local time with its offset, the record UTC
            where = (f"installer = :key AND paired = 1 AND time >= :plow AND time < :phigh AND {TIME_IN_PERIOD} "
                     "AND (:from IS NULL OR julianday(time) >= julianday(:from)) "
                     "AND (:to IS NULL OR julianday(time) < julianday(:to))")
            groups = rows("SELECT event, error_code, count(*), min(time), max(time), "
                          "total(CASE WHEN package_number > 0 THEN total_time * 1.0 / package_number END), "
                          f"total(package_number > 0) FROM finals WHERE {where} GROUP BY 1, 2", bound)
            rates.update(rate_bin(rate) for (rate,) in rows(
                f"SELECT full_packages * 1.0 / full_time FROM finals WHERE {where} "
                "AND event = 'download-succeeded' AND full_time > 0", bound))
        for event, code, count, first, last, ms, n in groups:
            events[event] += count
            if event == "download-failed":
                codes[code] += count
            seen += [first, last]
            package_ms += ms or 0
            timed += int(n or 0)
    return {"events": events, "codes": codes, "rates": rates, "first": min(seen, default=None),
            "last": max(seen, default=None), "package_ms": package_ms / timed if timed else None}


def _speeds(rates, package_size):
    """Rate bins as (MB/s, count) pairs."""
    return [(bin_value(b) * package_size / 1000.0, n) for b, n in sorted(rates.items())]


def summarize(db, package_size=DEFAULT_PACKAGE_SIZE, since=None, until=None, releases=()):
    """The summary of the downloads whose events fall in [since, until] (days,
    "YYYY-MM-DD", either may be None), and the values the pictures draw.
    releases (publish-installer's record) give each release its own package
    size; without them every download is measured with package_size."""
    end = until and _day_after(until)
    period = {"since": since, "end": end, "low": since or "", "high": end or "~"}

    def rows(sql, bound=None):
        return db.execute(sql, bound or period).fetchall()

    def one(sql, bound=None):
        return rows(sql, bound)[0][0]

    groups = f"FROM final_groups WHERE {DAY_IN_PERIOD}"

    def outcomes_in(bound=None):
        return Counter(dict(rows(f"SELECT event, sum(count) {groups} GROUP BY 1", bound)))
    outcomes = outcomes_in()
    per_day = {}
    for day, event, count in rows(f"SELECT day, event, sum(count) {groups} GROUP BY 1, 2 UNION ALL "
                                  "SELECT day, 'started', sum(count) FROM line_counts WHERE name = 'starts' "
                                  f"AND {DAY_IN_PERIOD} GROUP BY 1"):
        per_day.setdefault(day, Counter())[event] = count
    per_installer = {}
    for installer, event, count in rows(f"SELECT installer, event, sum(count) {groups} GROUP BY 1, 2"):
        per_installer.setdefault(installer, Counter())[event] = count

    def bins_of(table, kind=None):
        return rows(f"SELECT bin, sum(count) FROM {table} WHERE {DAY_IN_PERIOD} "
                    f"{'AND kind = :kind' if kind else ''} GROUP BY bin ORDER BY bin", {**period, "kind": kind})
    package_bins = bins_of("package_times")
    totals = [(bin_value(b), n) for b, n in bins_of("final_bins", "total")]

    # Throughput on whole packages only (the last may be short), each with its
    # release's package size: packages per millisecond, then MB/s.
    ranges = _release_ranges(releases)
    release_rows, throughput = [], []
    for key, versions in ranges.items():
        for index, release in enumerate(versions):
            start = release["published"] if index else None
            figures = _release_figures(rows, period, key, start,
                                       versions[index + 1]["published"] if index + 1 < len(versions) else None)
            speed = _speeds(figures["rates"], release["package_size"])
            throughput += speed
            release_rows.append({
                "release": release["file"], "sha256": release["sha256"], "package_size": release["package_size"],
                "published": release.get("published"), **_shares(figures["events"]),
                "first_seen": figures["first"], "last_seen": figures["last"],
                "failure_codes": {str(code): n for code, n in sorted(figures["codes"].items(),
                                                                     key=lambda item: (-item[1], item[0]))},
                "mean_package_time_ms": figures["package_ms"],
                "throughput_mb_per_s": {"count": sum(n for _, n in speed),
                                        "median": _percentiles(speed, (("median", 0.5),))["median"]}})
    unknown = Counter()
    if releases:
        for installer, counts in per_installer.items():
            if installer not in ranges:
                unknown.update(counts)
        if unknown:
            release_rows.append({"release": UNKNOWN_INSTALLER, **_shares(unknown)})
        throughput.sort()
    else:
        throughput = _speeds(Counter(dict(bins_of("final_bins", "rate"))), package_size)
    speeds = _percentiles(throughput, (("median", 0.5), ("p10", 0.1), ("p90", 0.9)))

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
    unpaired = f"FROM finals INDEXED BY finals_unpaired WHERE {TIME_IN_PERIOD} AND paired = 0"
    without_start = one(f"SELECT count(*) {unpaired}")
    finals_without_start = {
        "count": without_start, **_shares(Counter(dict(rows(f"SELECT event, count(*) {unpaired} GROUP BY 1")))),
        "failure_codes": {str(code): n for code, n in rows(
            f"SELECT error_code, count(*) {unpaired} AND event = 'download-failed' GROUP BY 1 ORDER BY 2 DESC, 1")}}
    starts = f"FROM starts WHERE {TIME_IN_PERIOD} ORDER BY time"
    first, last = rows(f"SELECT min(first), max(last) {groups}")[0]
    seen = [t for t in (first, last, one(f"SELECT time {starts} LIMIT 1"), one(f"SELECT time {starts} DESC LIMIT 1"))
            if t]
    failure_rows = rows(f"SELECT error_code, error_msg, sum(count) {groups} AND event = 'download-failed' "
                        "GROUP BY 1, 2 ORDER BY 3 DESC")
    failures_by_code = Counter()
    for code, _, count in failure_rows:
        failures_by_code[code] += count
    started = line_count(db, "starts", DAY_IN_PERIOD, period)
    # Downloads that went on from an earlier run's verified bytes, and the bytes the succeeded ones did not fetch again.
    resumed, resumed_ok, saved = rows("SELECT total(resumed), total(CASE WHEN event = 'download-succeeded' THEN "
                                      "resumed END), total(CASE WHEN event = 'download-succeeded' THEN resumed_bytes "
                                      f"END) {groups}")[0]
    summary = {
        "lines": line_count(db, "lines", DAY_IN_PERIOD, period),
        "period": {"first": min(seen, default=None), "last": max(seen, default=None), "since": since, "until": until},
        "success_rate": _shares(outcomes)["success_rate"],
        "days": [{"day": day, "started": counts["started"], **_shares(counts)} for day, counts in sorted(per_day.items())],
        "installers": [{"installer": name, **_shares(counts)}
                       for name, counts in sorted(per_installer.items(), key=lambda item: -sum(item[1].values()))],
        "downloads": {
            "started": started,
            "succeeded": outcomes["download-succeeded"],
            "failed": outcomes["download-failed"],
            "canceled": outcomes["download-canceled"],
            "started_never_finished": started - line_count(db, "starts_finished", DAY_IN_PERIOD, period),
            "final_without_start": without_start,
            "repeated_final_events": line_count(db, "repeated_finals", DAY_IN_PERIOD, period),
        },
        "failures": [{"errorCode": code, "name": name_of(code), "errorMsg": message, "count": count}
                     for code, message, count in failure_rows],
        "failures_by_code": [{"errorCode": code, "name": name_of(code), "count": count}
                             for code, count in failures_by_code.most_common()],
        "retries": {
            "error_count_distribution": {str(k): v for k, v in rows(
                f"SELECT error_count, sum(count) {groups} GROUP BY 1 ORDER BY 1")},
            "failing_package_indices": [{"index": i, "failed_attempts": n} for i, n in rows(
                f"SELECT package, sum(count) FROM failed_attempts WHERE {DAY_IN_PERIOD} "
                "GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT 20")],
        },
        "package_times_ms": _percentiles([(bin_value(b), n) for b, n in package_bins]),
        "download_times_ms": _percentiles(totals),
        "throughput_mb_per_s": {
            "package_size": package_size,
            "measured_with": "each release's own package size" if releases else "package_size",
            **({key: speeds[key] for key in ("count", "median", "p10", "p90")} if speeds["count"] else {"count": 0}),
        },
        "resumed": {"count": int(resumed), "succeeded": int(resumed_ok), "bytes_saved": int(saved)},
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
    drawn = {"package_time_bins": package_bins, "total_times": totals, "throughput": throughput}
    return summary, drawn


def _previous_period(db, since, until):
    """The period and the one as long just before it: the chosen days, or the
    last seven days of the history when none are chosen."""
    if not until:
        last = db.execute("SELECT max(last) FROM final_groups").fetchone()[0]
        if not last:
            return {"compared": False}
        until = last[:10]
    end = datetime.date.fromisoformat(until) + datetime.timedelta(days=1)
    start = datetime.date.fromisoformat(since) if since else end - datetime.timedelta(days=7)
    length = end - start
    return {"compared": True, "since": start.isoformat(), "until": until, "end": end.isoformat(),
            "previous_since": (start - length).isoformat(),
            "previous_until": (start - datetime.timedelta(days=1)).isoformat()}
