"""The events' history in SQLite, beside the logs: schema, ingest and the
queries the report is made from, in plain SQL kept here, so that they can
move to a bigger engine unchanged (docs/serving.md).

Ingest is idempotent: a log is known by its first line, and the lines of it
already read are skipped, so reading a log again, a log that has grown, or its
rotated (.gz) copy adds only what is new. Starts and finals are keyed by the
download's id, so logs may come in any order."""

import collections
import hashlib
import itertools
import math
import multiprocessing
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
CHUNK = 20000  # lines parsed at a time
IN_FLIGHT = 4  # chunks handed to the workers ahead of the writes
LISTED_BAD_LINES = 20


def time_bin(milliseconds):
    return int(BINS_PER_DECADE * math.log10(max(milliseconds, 1)))


def bin_value(index):
    """The middle of a bin, in milliseconds."""
    return 10 ** ((index + 0.5) / BINS_PER_DECADE)


def open_store(path):
    db = sqlite3.connect(path)
    # WAL: a report can read while logs are added; a 64 MiB page cache keeps
    # the id indexes of a few million downloads in memory.
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("PRAGMA cache_size = -65536")
    db.executescript(SCHEMA)
    return db


def _add(db, name, value):
    db.execute("INSERT INTO counters VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET value = value + excluded.value",
               (name, value))


def counter(db, name):
    row = db.execute("SELECT value FROM counters WHERE name = ?", (name,)).fetchone()
    return row[0] if row else 0


def _parse_chunk(parse, start, lines):
    """Lines numbered from start, parsed into what ingest stores: ("start",
    id, time), ("final", id, day, row, failing packages, time bins) or
    ("unparsed", number, text). Runs in a worker process."""
    parsed = []
    for number, line in enumerate(lines, start):
        line = line.strip()
        if not line:
            continue
        try:
            event, download, time, final = parse(line)
        except (ValueError, KeyError, RecursionError) as error:  # json's errors are ValueErrors
            parsed.append(("unparsed", number, f"{line[:200]} ({error})"))
            continue
        if final is None:
            parsed.append(("start", download, time))
            continue
        row = (download, time, event, final["installer"], *(final["failure"] or (None, None)), final["error_count"],
               final["package_number"], final["total_time"], *final["full"])
        parsed.append(("final", download, time[:10] if time else "unknown", row, final["failing"],
                       [time_bin(ms) for ms in final["times"]]))
    return parsed


def _chunks(lines, start):
    """(first number, lines) of CHUNK lines at a time."""
    while True:
        chunk = list(itertools.islice(lines, CHUNK))
        if not chunk:
            return
        yield start, chunk
        start += len(chunk)


def ingest(db, lines, source, parse):
    """Adds what is new in lines (an iterable of text lines) to the store;
    parse(line) -> (event, id, time, final) or ValueError. Returns the number
    of new lines. Two worker processes parse while this one writes; at most
    a few chunks are in flight, so memory stays bounded however long the log."""
    lines = iter(lines)
    first = next(lines, None)
    if first is None:
        return 0
    identity = hashlib.sha256(first.encode("utf-8", "replace")).hexdigest()
    row = db.execute("SELECT lines FROM sources WHERE identity = ?", (identity,)).fetchone()
    known = row[0] if row else 0
    lines = itertools.chain([first], lines)
    skipped = sum(1 for _ in itertools.islice(lines, known))
    new = 0
    unparsed, repeated, samples = 0, 0, []
    insert_final = db.cursor()

    def store(parsed):
        nonlocal unparsed, repeated
        starts, attempts, times = [], collections.Counter(), collections.Counter()
        for item in parsed:
            if item[0] == "start":
                starts.append(item[1:])
            elif item[0] == "unparsed":
                unparsed += 1
                if len(samples) < LISTED_BAD_LINES:
                    samples.append((source, *item[1:]))
            else:
                _, download, day, final_row, failing, bins = item
                # A download's second final event is counted as such and nothing more.
                insert_final.execute("INSERT OR IGNORE INTO finals VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", final_row)
                if insert_final.rowcount != 1:
                    repeated += 1
                    continue
                attempts.update((day, package) for package in failing)
                times.update((day, index) for index in bins)
        db.executemany("INSERT OR IGNORE INTO starts VALUES (?, ?)", starts)
        db.executemany("INSERT INTO failed_attempts VALUES (?, ?, ?) ON CONFLICT (day, package) "
                       "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in attempts.items()])
        db.executemany("INSERT INTO package_times VALUES (?, ?, ?) ON CONFLICT (day, bin) "
                       "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in times.items()])

    with db, multiprocessing.get_context("fork").Pool(2) as workers:  # one transaction: a crash changes nothing
        in_flight = collections.deque()
        for start, chunk in _chunks(lines, skipped + 1):
            new += len(chunk)
            in_flight.append(workers.apply_async(_parse_chunk, (parse, start, chunk)))
            if len(in_flight) > IN_FLIGHT:
                store(in_flight.popleft().get())
        while in_flight:
            store(in_flight.popleft().get())
        _add(db, "lines", new)
        _add(db, "unparsed", unparsed)
        _add(db, "repeated_finals", repeated)
        db.executemany("INSERT INTO unparsed_samples VALUES (?, ?, ?)", samples)
        db.execute("INSERT INTO sources VALUES (?, ?) ON CONFLICT (identity) DO UPDATE SET lines = excluded.lines",
                   (identity, skipped + new))
    return new
