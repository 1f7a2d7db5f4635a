"""The events' history in SQLite, beside the logs: schema, ingest and the
queries the report is made from, in plain SQL kept here, so that they can
move to a bigger engine unchanged (docs/serving.md).

Ingest is idempotent: a log is known by its first line, and the lines of it
already read are skipped, so reading a log again, a log that has grown, or its
rotated (.gz) copy adds only what is new. Starts and finals are keyed by the
download's id, so logs may come in any order."""

import hashlib
import itertools
import math
import sqlite3

SCHEMA = """
CREATE TABLE IF NOT EXISTS sources (identity TEXT PRIMARY KEY, lines INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS starts (id TEXT PRIMARY KEY, time TEXT) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS finals (
    id TEXT PRIMARY KEY, time TEXT, event TEXT NOT NULL, installer TEXT,
    error_code INTEGER, error_msg TEXT, error_count INTEGER, package_number INTEGER, total_time INTEGER,
    full_packages INTEGER, full_time INTEGER  -- its packages but the last, and their time
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS finals_by_time ON finals (time);
CREATE INDEX IF NOT EXISTS starts_by_time ON starts (time);
-- Counted per day: failed attempts by package index, package times by bin.
CREATE TABLE IF NOT EXISTS failed_attempts (
    day TEXT, package INTEGER, count INTEGER, PRIMARY KEY (day, package)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS package_times (day TEXT, bin INTEGER, count INTEGER, PRIMARY KEY (day, bin)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS unparsed_samples (source TEXT, line INTEGER, text TEXT);
"""
BINS_PER_DECADE = 100  # package times to within 2.3 %
BATCH = 50000
LISTED_BAD_LINES = 20


def time_bin(milliseconds):
    return int(BINS_PER_DECADE * math.log10(max(milliseconds, 1)))


def bin_value(index):
    """The middle of a bin, in milliseconds."""
    return 10 ** ((index + 0.5) / BINS_PER_DECADE)


def open_store(path):
    db = sqlite3.connect(path)
    # WAL: a report can read while logs are added; a 128 MiB page cache keeps
    # the id indexes of a few million downloads in memory.
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("PRAGMA cache_size = -131072")
    db.executescript(SCHEMA)
    return db


def _add(db, name, value):
    db.execute("INSERT INTO counters VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET value = value + excluded.value",
               (name, value))


def counter(db, name):
    row = db.execute("SELECT value FROM counters WHERE name = ?", (name,)).fetchone()
    return row[0] if row else 0


def ingest(db, lines, source, parse):
    """Adds what is new in lines (an iterable of text lines) to the store;
    parse(line) -> (event, id, time, final) or ValueError. Returns the number
    of new lines."""
    lines = iter(lines)
    first = next(lines, None)
    if first is None:
        return 0
    identity = hashlib.sha256(first.encode("utf-8", "replace")).hexdigest()
    row = db.execute("SELECT lines FROM sources WHERE identity = ?", (identity,)).fetchone()
    known = row[0] if row else 0
    number, new = 0, 0
    starts, attempts, times = [], {}, {}
    unparsed, repeated, samples = 0, 0, []
    insert_final = db.cursor()

    def flush():
        db.executemany("INSERT OR IGNORE INTO starts VALUES (?, ?)", starts)
        db.executemany("INSERT INTO failed_attempts VALUES (?, ?, ?) ON CONFLICT (day, package) "
                       "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in attempts.items()])
        db.executemany("INSERT INTO package_times VALUES (?, ?, ?) ON CONFLICT (day, bin) "
                       "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in times.items()])
        for batch in (starts, attempts, times):
            batch.clear()

    with db:  # one transaction: a crash leaves the store as it was
        for line in itertools.chain([first], lines):
            number += 1
            if number <= known:
                continue
            new += 1
            line = line.strip()
            if not line:
                continue
            try:
                event, download, time, final = parse(line)
            except (ValueError, KeyError, RecursionError) as error:  # json's errors are ValueErrors
                unparsed += 1
                if len(samples) < LISTED_BAD_LINES:
                    samples.append((source, number, f"{line[:200]} ({error})"))
                continue
            day = time[:10] if time else "unknown"
            if final is None:
                starts.append((download, time))
            else:
                # A download's second final event is counted as such and nothing more.
                insert_final.execute("INSERT OR IGNORE INTO finals VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                     (download, time, event, final["installer"], *(final["failure"] or (None, None)),
                                      final["error_count"], final["package_number"], final["total_time"],
                                      *final["full"]))
                if insert_final.rowcount != 1:
                    repeated += 1
                    continue
                for package in final["failing"]:
                    attempts[(day, package)] = attempts.get((day, package), 0) + 1
                for ms in final["times"]:
                    key = (day, time_bin(ms))
                    times[key] = times.get(key, 0) + 1
            if len(starts) + len(times) >= BATCH:
                flush()
        flush()
        _add(db, "lines", new)
        _add(db, "unparsed", unparsed)
        _add(db, "repeated_finals", repeated)
        db.executemany("INSERT INTO unparsed_samples VALUES (?, ?, ?)", samples)
        db.execute("INSERT INTO sources VALUES (?, ?) ON CONFLICT (identity) DO UPDATE SET lines = excluded.lines",
                   (identity, max(number, known)))
    return new
