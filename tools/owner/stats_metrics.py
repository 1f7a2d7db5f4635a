"""The history's figures in the Prometheus text format, for node_exporter's
textfile collector: counters over the whole history, gauges for what can go
down or is a moment, every label value escaped as the format requires. The
file is written whole and renamed into place, so a scrape never reads half
of it (docs/serving.md)."""

import os
import tempfile

from owner.stats_store import line_count

# The downloader's own outcome codes, exported from the first run on so that
# the first one ever seen is an increase an alert can see.
OWN_CODES = range(128, 136)


def _label(value):
    return str(value).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _series(name, labels, value):
    inner = ",".join(f'{key}="{_label(text)}"' for key, text in labels.items())
    return f"{name}{{{inner}}} {value}" if inner else f"{name} {value}"


def metrics_text(db, run_ended, run_seconds):
    """The exposition of the history in db; run_ended (seconds since 1970)
    and run_seconds are this run's own."""
    def rows(sql):
        return db.execute(sql).fetchall()
    families = []

    def family(name, kind, help_text, samples):
        families.append(f"# HELP {name} {help_text}\n# TYPE {name} {kind}\n" +
                        "".join(_series(name, labels, value) + "\n" for labels, value in samples))

    outcomes = dict(rows("SELECT event, sum(count) FROM final_groups GROUP BY 1"))
    family("tovik_downloads_total", "counter",
           "Downloads over the whole history: started, and the final events paired with their start by outcome.",
           [({"outcome": "started"}, line_count(db, "starts"))] +
           [({"outcome": outcome}, outcomes.get(f"download-{outcome}", 0))
            for outcome in ("succeeded", "failed", "canceled")])
    codes = {code: 0 for code in OWN_CODES}
    codes.update(rows("SELECT error_code, sum(count) FROM final_groups WHERE event = 'download-failed' GROUP BY 1"))
    family("tovik_download_failures_total", "counter",
           "Failed downloads by errorCode: libcurl's codes, and the downloader's own 128-135 (133 a file that is "
           "not the published one, 135 a signature not trusted).",
           [({"code": code}, n) for code, n in sorted(codes.items())])
    family("tovik_downloads_by_release_total", "counter",
           "Final events paired with their start, by the installer their url names (its decoded file name, then "
           "the first digits of its SHA-256) and outcome.",
           [({"release": release, "outcome": event[len("download-"):]}, n) for release, event, n in rows(
               "SELECT installer, event, sum(count) FROM final_groups GROUP BY 1, 2 ORDER BY 1, 2")])
    family("tovik_events_rejected_total", "counter",
           "Events the downloader cannot have sent, by reason; they are in no other figure.",
           [({"reason": reason[len("rejected:"):]}, n) for reason, n in rows(
               "SELECT name, sum(count) FROM line_counts WHERE name LIKE 'rejected:%' GROUP BY 1 ORDER BY 1")])
    family("tovik_log_lines_unparsed_total", "counter", "Log lines that are not events of the downloader's shape.",
           [({}, line_count(db, "unparsed"))])
    resumed = dict(rows("SELECT event, total(resumed) FROM final_groups GROUP BY 1"))
    family("tovik_downloads_resumed_total", "counter",
           "Final events paired with their start of downloads that went on from the verified bytes an earlier run "
           "kept, by outcome.",
           [({"outcome": outcome}, int(resumed.get(f"download-{outcome}", 0)))
            for outcome in ("succeeded", "failed", "canceled")])
    family("tovik_download_resumed_bytes_total", "counter",
           "Bytes that resumed downloads which succeeded did not fetch again.",
           [({}, int(rows("SELECT total(resumed_bytes) FROM final_groups WHERE event = 'download-succeeded'")[0][0]))])
    unpaired = dict(rows("SELECT event, count(*) FROM finals INDEXED BY finals_unpaired WHERE paired = 0 GROUP BY 1"))
    family("tovik_finals_without_start", "gauge",
           "Consistent final events whose download-started has not been read, by outcome. A gauge: one leaves "
           "when its start is read later.",
           [({"outcome": outcome}, unpaired.get(f"download-{outcome}", 0))
            for outcome in ("succeeded", "failed", "canceled")])
    newest = rows("SELECT value FROM marks WHERE name = 'newest'")
    family("tovik_newest_event_timestamp_seconds", "gauge", "When the newest event read happened.",
           [({}, round(newest[0][0]) if newest else 0)])
    family("tovik_stats_run_timestamp_seconds", "gauge", "When stats-report last wrote this file.",
           [({}, round(run_ended))])
    family("tovik_stats_run_duration_seconds", "gauge", "What that run of stats-report took.",
           [({}, f"{run_seconds:.3f}")])
    return "".join(families)


def write_metrics(path, text):
    """text at path, whole: a file beside it, then a rename."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, partial = tempfile.mkstemp(dir=folder, prefix=".tovik-metrics-")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(partial, 0o644)  # node_exporter runs as a user of its own
        os.replace(partial, path)
    except BaseException:
        os.unlink(partial)
        raise
