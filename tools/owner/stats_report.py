"""Reads the statistics events (one JSON line each, as the nginx configuration
writes them) into the store of their history (owner/stats_store.py), pairs
each download's start with its final event, and writes a self-contained HTML
report of a period with pictures and a JSON summary beside it, and the
history's figures for Prometheus. Lines are parsed by owner/event_lines.py,
summarised by owner/stats_summary.py, drawn by owner/stats_render.py and
exported by owner/stats_metrics.py."""

import hashlib
import io
import json
import os
import re
import sys
import time

from owner.event_lines import Rejected, open_log, parse_line
from owner.stats_metrics import metrics_text, write_metrics
from owner.stats_render import render_html
from owner.stats_store import ingest, open_store
from owner.stats_summary import DEFAULT_PACKAGE_SIZE, package_size_from_metadata, releases_beside, summarize

__all__ = ["open_store", "read_into", "summarize", "write_report"]


def read_into(db, log, source):
    """Adds the new lines of a log (a binary file, or a list of text lines)
    to the store; returns how many were new."""
    if isinstance(log, list):
        log = io.BytesIO(b"".join(line.encode("utf-8", "surrogatepass") + b"\n" for line in log))
    return ingest(db, log, source, parse_line, Rejected, final_log=source.endswith(".gz"))


def default_store(events_logs):
    """Beside the first log that is a file."""
    files = [path for path in events_logs if path != "-"]
    return os.path.join(os.path.dirname(os.path.abspath(files[0])), "tovik-events.sqlite")


def write_report(events_logs, output, metadata=None, store=None, since=None, until=None, prometheus=None):
    """Adds what is new in the logs (any order) to the store, then writes
    OUTPUT (HTML) and OUTPUT's .json summary for the period, and with
    prometheus the whole history's figures there; returns the summary and the
    JSON's path. A history that may not be written is only reported from."""
    started = time.monotonic()
    package_size = package_size_from_metadata(metadata) if metadata else DEFAULT_PACKAGE_SIZE
    releases = releases_beside(metadata) if metadata else []
    path = store or default_store(events_logs)
    db, writable = open_store(path)
    if writable:
        for log_path in events_logs:
            with open_log(log_path) as log:
                read_into(db, log, log_path)
    else:
        print(f"stats-report: the history {path} is read-only: the logs are not added, "
              "the report shows the history as it is", file=sys.stderr)
    summary, drawn = summarize(db, package_size, since, until, releases)
    if prometheus:
        write_metrics(prometheus, metrics_text(db, time.time(), time.monotonic() - started))
    db.close()
    source = ", ".join(events_logs)
    json_path = re.sub(r"\.html?$", "", output) + ".json"
    # The pictures are most of a run's cost when nothing is new: a report
    # made of the same figures is left as it is.
    made_of = "<!-- " + hashlib.sha256(json.dumps([summary, drawn, source]).encode()).hexdigest() + " -->\n"
    if _ends_with(output, made_of) and os.path.isfile(json_path):
        return summary, json_path
    page = render_html(summary, drawn, source) + made_of
    for out, text in ((output, page), (json_path, json.dumps(summary, indent=2) + "\n")):
        with open(out, "w", encoding="utf-8") as f:
            f.write(text)
    return summary, json_path


def _ends_with(path, text):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - len(text)))
            return f.read() == text.encode()
    except OSError:
        return False
