"""One line of the events' log, as the nginx configuration writes it (a JSON
object per event): checked against the shape the downloader sends and turned
into the values the history keeps."""

import functools
import gzip
import io
import json
import re
import sys
import urllib.parse

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


def parse_line(line):
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


def open_log(path):
    """A log as text lines: "-" is standard input, NAME.gz a rotated log."""
    if path == "-":
        return io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", errors="replace")
    if path.endswith(".gz"):
        return gzip.open(path, "rt", encoding="utf-8", errors="replace")
    return open(path, encoding="utf-8", errors="replace")
