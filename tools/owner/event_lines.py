"""One line of the events' log, as the nginx configuration writes it (a JSON
object per event): checked against the shape the downloader sends and turned
into the values the history keeps."""

import collections
import datetime
import functools
import gzip
import json
import re
import sys
import urllib.parse

FINAL_EVENTS = ("download-succeeded", "download-failed", "download-canceled")


class Rejected(Exception):
    """A well-formed event that the downloader cannot have sent: kept out of
    every figure and counted with its reason."""


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
ID = re.compile(r"[0-9A-Za-z_.~-]{1,64}")  # the downloader's ids are 32 such characters
# What the downloader does: five attempts a package. A package has no time
# limit, only a stall rule (below 100 B/s for 10 s), so one package may take
# five attempts of its size at 100 B/s: some 600 days for the 1 GiB packages
# publish-installer allows, past what 32 bits of milliseconds hold. Any package
# time is therefore one a real download can report. A query this long may have
# lost its oldest list items (the counts and the total stay whole).
ATTEMPTS_PER_PACKAGE = 5
TRIMMED_QUERY = 500000
SERVED = (200, 204)  # what the events location answers; anything else (429) was refused


def _fields(query):
    """The query's keys and their still escaped values; unquote what is used."""
    return dict(part.partition("=")[::2] for part in query.split("&"))


def _count(fields, key, low=0):
    text = fields[key]
    if not re.fullmatch(r"-?\d{1,10}", text) or not low <= int(text) <= INT32:
        raise ValueError(f"{key} out of range")
    return int(text)


@functools.lru_cache(maxsize=4096)  # many events share a second
def _real_time(text):
    """nginx's local time as given, if it is a real one; else None."""
    if not TIME.fullmatch(text):
        return None
    try:
        datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    return text


def _offset(text):
    if not re.fullmatch(r"\d{1,18}", text):
        raise ValueError("resumedFrom out of range")
    return int(text)


def _int32(value):
    return (value + 2 ** 31) % 2 ** 32 - 2 ** 31


def check_plausible(name, final, query_length):
    """Rejected unless the final event is consistent the way the downloader
    writes it."""
    times, failing = final["times"], final["failing"]
    trimmed = query_length >= TRIMMED_QUERY
    # A resumed run may say packages it did not transfer; its times are of those it did.
    if len(times) > final["package_number"] or (len(times) < final["package_number"] and not trimmed
                                                and not final["resumed_from"]):
        raise Rejected("packageTimes do not match packageNumber")
    whole = len(times) == final["package_number"]
    if (whole and _int32(sum(times)) != final["total_time"]) or (not whole and sum(times) > final["total_time"]):
        raise Rejected("packageTimes do not add up to totalTime")
    if len(failing) > final["error_count"] or (len(failing) < final["error_count"] and not trimmed):
        raise Rejected("errors do not match errorCount")
    if failing:
        per_package = collections.Counter(failing)
        if max(per_package) > final["package_number"] or max(per_package.values()) > ATTEMPTS_PER_PACKAGE:
            raise Rejected("more failed attempts than the downloader makes")


def parse_line(line):
    """(event, id, time, final) where final is None for a start, else a dict
    of its checked values; ValueError for a line that is not an event,
    Rejected for one the downloader cannot have sent."""
    if len(line) > MAX_LINE:
        raise ValueError("line too long")
    record = json.loads(line)
    if not isinstance(record, dict) or not isinstance(record.get("event"), str) or \
            not isinstance(record.get("query"), str):
        raise ValueError("not an event record")
    # What is kept comes from the query; a lone surrogate there (a JSON escape
    # no valid text has) raises UnicodeEncodeError, a ValueError.
    record["query"].encode("utf-8")
    name = record["event"]
    fields = _fields(record["query"])
    download = fields["id"]
    if not ID.fullmatch(download):
        raise ValueError("not an id")
    time = record.get("time")
    time = _real_time(time) if isinstance(time, str) else None
    if time is None:
        raise ValueError("no real time")
    if isinstance(record.get("status"), int) and record["status"] not in SERVED:
        raise Rejected(f"refused by the server ({record['status']})")
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
        # Where a resumed run's bytes start (a byte offset: past 32 bits for large files).
        "resumed_from": _offset(fields["resumedFrom"]) if "resumedFrom" in fields else 0,
    }
    if any(number > INT32 for number in final["failing"]) or any(t > INT32 for t in final["times"]):
        raise ValueError("a number out of range")
    check_plausible(name, final, len(record["query"]))
    # Its packages but the last (which may be short) and their time: what throughput is measured on.
    whole = name == "download-succeeded" and final["package_number"] > 1 and final["times"]
    final["full"] = (final["package_number"] - 1, final["total_time"] - final["times"][-1]) if whole else (None, None)
    if whole and final["resumed_from"] and len(final["times"]) < final["package_number"]:
        # Only what this run transferred measures its throughput.
        final["full"] = (len(final["times"]) - 1, sum(final["times"][:-1])) if len(final["times"]) > 1 else (None, None)
    return name, download, time, final


@functools.lru_cache(maxsize=1024)  # a few installers, millions of events
def _installer(escaped_url):
    """files/<SHA-256>/<name> as "name (first 8 of the hash)", the name
    decoded: one published installer."""
    url = urllib.parse.unquote(escaped_url)
    parts = urllib.parse.urlsplit(url).path.rsplit("/", 2)
    if len(parts) == 3 and re.fullmatch(r"[0-9a-f]{64}", parts[1]):
        return f"{urllib.parse.unquote(parts[2])[:100]} ({parts[1][:8]})"
    return url[:100] or "(none)"


def open_log(path):
    """A log as a seekable binary file: "-" is standard input (kept in a
    temporary file while it is read), NAME.gz a rotated log."""
    if path == "-":
        import tempfile
        spool = tempfile.TemporaryFile()
        while True:
            block = sys.stdin.buffer.read(1 << 20)
            if not block:
                break
            spool.write(block)
        spool.seek(0)
        return spool
    if path.endswith(".gz"):
        return gzip.open(path, "rb")
    return open(path, "rb")
