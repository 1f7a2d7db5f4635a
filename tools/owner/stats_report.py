"""Reads the statistics events (one JSON line each, as the nginx configuration
writes them) into the store of their history (owner/stats_store.py), pairs
each download's start with its final event, and writes a self-contained HTML
report of a period with pictures and a JSON summary beside it. Lines are
parsed by owner/event_lines.py, summarised by owner/stats_summary.py and
drawn by owner/stats_render.py."""

import json
import os
import re

from owner.event_lines import open_log, parse_line
from owner.stats_render import render_html
from owner.stats_store import ingest, open_store
from owner.stats_summary import DEFAULT_PACKAGE_SIZE, package_size_from_metadata, summarize

__all__ = ["open_store", "read_into", "summarize", "write_report"]


def read_into(db, lines, source):
    """Adds the new lines of a log to the store; returns how many were new."""
    return ingest(db, lines, source, parse_line)


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
