"""The events' history in SQLite: schema, ingest and the queries the report
is made from, in plain SQL kept here, so that they can move to a bigger
engine unchanged (docs/serving.md).

Ingest is idempotent: a log is known by its first line, by how far it has
been read and by the SHA-256 of the 64 KiB just before that point, so reading
a log again, a log that has grown, or its rotated (.gz) copy adds only what is
new at a cost that does not grow with what was read before (a .gz is
decompressed up to that point), while a log that begins like another but
differs, or is shorter, is read as a log of its own.
A last line without its newline is left for the next run (a line being
written). Starts and finals are keyed by the download's id, so logs may come
in any order; a final counts only once its start is there.

What the report and the metrics read is kept as counts per day as the lines
come (outcomes by installer and failure, download times and throughput in
bins), so that reporting costs what the days and installers cost, not what
the downloads do; the raw finals are read only for the few days on which a
release was republished (owner/stats_summary.py)."""

import collections
import datetime
import hashlib
import itertools
import json
import math
import multiprocessing
import os
import sqlite3
import sys

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
-- Counted per day: failed attempts by package index, package times by bin,
-- of finals whose start is there; the others wait in pending.
CREATE TABLE IF NOT EXISTS failed_attempts (
    day TEXT, package INTEGER, count INTEGER, PRIMARY KEY (day, package)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS package_times (day TEXT, bin INTEGER, count INTEGER, PRIMARY KEY (day, bin)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS pending (id TEXT PRIMARY KEY, day TEXT, failing TEXT, bins TEXT) WITHOUT ROWID;
-- Paired finals per day (their own) and what the report groups them by; no
-- failure is 0 and ''. first and last are their times; package_ms adds
-- totalTime / packageNumber over the timed ones.
CREATE TABLE IF NOT EXISTS final_groups (
    day TEXT, installer TEXT, event TEXT, error_code INTEGER, error_msg TEXT, error_count INTEGER,
    count INTEGER, first TEXT, last TEXT, package_ms REAL, timed INTEGER,
    resumed INTEGER, resumed_bytes INTEGER,  -- those that resumed an earlier run's bytes, and how many bytes
    PRIMARY KEY (day, installer, event, error_code, error_msg, error_count)) WITHOUT ROWID;
-- Bins of paired succeeded finals: 'total' their totalTime (ms), 'rate' their
-- whole packages per millisecond (throughput before the package size).
CREATE TABLE IF NOT EXISTS final_bins (
    day TEXT, installer TEXT, kind TEXT, bin INTEGER, count INTEGER,
    PRIMARY KEY (day, installer, kind, bin)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS marks (name TEXT PRIMARY KEY, value) WITHOUT ROWID;
-- Lines, unparsed lines, repeated finals and rejected events ("rejected:<reason>")
-- per day; "starts" per day, and "starts_finished": of those, the ones with a final.
CREATE TABLE IF NOT EXISTS line_counts (day TEXT, name TEXT, count INTEGER, PRIMARY KEY (day, name)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS unparsed_samples (source TEXT, line INTEGER, text TEXT);
"""
# Columns that histories made before them lack: added, with their values.
COLUMNS = (
    ("sources", "prefix", "TEXT", None),  # SHA-256 of the lines read (histories before offset and tail)
    ("sources", "offset", "INTEGER", None),  # bytes read
    ("sources", "tail", "TEXT", None),  # SHA-256 of the TAIL_BYTES before offset
    ("finals", "paired", "INTEGER", "UPDATE finals SET paired = EXISTS (SELECT 1 FROM starts WHERE starts.id = finals.id)"),
    ("unparsed_samples", "day", "TEXT", None),
    ("finals", "resumed_from", "INTEGER", "UPDATE finals SET resumed_from = 0"),  # the byte a resumed run began at
)
# A final's values as ingest and the per-day counts take them.
FINAL_COLUMNS = ("id, time, event, installer, error_code, error_msg, error_count, package_number, total_time, "
                 "full_packages, full_time, resumed_from")
BINS_PER_DECADE = 100  # package times, download times and throughput to within 2.3 %
CHUNK = 20000  # lines parsed at a time
IN_FLIGHT = 4  # chunks handed to the workers ahead of the writes
LISTED_BAD_LINES = 20
TAIL_BYTES = 65536  # what is checked of a known log: the end of what was read of it


def time_bin(milliseconds):
    return int(BINS_PER_DECADE * math.log10(max(milliseconds, 1)))


# Bins of the times most packages take, looked up rather than computed.
_BIN_OF = [time_bin(ms) for ms in range(65536)]


def time_bins(times):
    return [_BIN_OF[ms] if ms < 65536 else time_bin(ms) for ms in times]


def rate_bin(rate):
    """The bin of a rate (any positive number: whole packages per millisecond)."""
    return math.floor(BINS_PER_DECADE * math.log10(rate))


def bin_value(index):
    """The middle of a bin, in milliseconds."""
    return 10 ** ((index + 0.5) / BINS_PER_DECADE)


def open_store(path):
    """The history at path; one that may not be written is opened read-only
    and left exactly as it is (None for writable then tells the caller)."""
    if os.path.exists(path) and not (os.access(path, os.W_OK) and os.access(os.path.dirname(os.path.abspath(path)),
                                                                               os.W_OK)):
        db = sqlite3.connect(f"file:{os.path.abspath(path)}?mode=ro&immutable=1", uri=True)
        if db.execute("SELECT 1 FROM sqlite_master WHERE name = 'marks'").fetchone():
            return db, False
        copy = sqlite3.connect(":memory:")  # from before the per-day counts: they are made in a copy
        db.backup(copy)
        db.close()
        db, writable = copy, False
    else:
        db, writable = sqlite3.connect(path), True
    # WAL: a report can read while logs are added; a 64 MiB page cache keeps
    # the id indexes of a few million downloads in memory.
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("PRAGMA cache_size = -65536")
    db.executescript(SCHEMA)
    with db:
        for table, column, kind, fill in COLUMNS:
            if column not in [row[1] for row in db.execute(f"PRAGMA table_info({table})")]:
                db.execute(f"ALTER TABLE {table} ADD COLUMN {column} {kind}")
                if fill:
                    db.execute(fill)
        db.execute("CREATE INDEX IF NOT EXISTS finals_unpaired ON finals (time) WHERE paired = 0")
        # Whole-history counters of before: counted under no day.
        db.execute("INSERT INTO line_counts SELECT 'unknown', name, value FROM counters WHERE true "
                   "ON CONFLICT (day, name) DO UPDATE SET count = count + excluded.count")
        db.execute("DELETE FROM counters")
        if not db.execute("SELECT 1 FROM marks WHERE name = 'aggregated'").fetchone():
            _aggregate_history(db)
    return db, writable


def line_count(db, name, where="true", period=None):
    """A per-day count summed over the days where holds."""
    row = db.execute(f"SELECT sum(count) FROM line_counts WHERE name = :name AND {where}",
                     {**(period or {}), "name": name}).fetchone()
    return row[0] or 0


def _parse_chunk(parse, rejected, start, lines):
    """Lines (bytes) numbered from start, parsed into what ingest stores:
    ("start", day, id, time), ("final", day, id, row, failing packages, time
    bins), ("rejected", day, reason) or ("unparsed", day, number, text); day
    is None where a line has no time of its own. Also the newest event's time
    (seconds since 1970) or None. Runs in a worker process."""
    parsed = []
    latest = {}  # the latest time text per UTC offset: texts compare as instants only within one
    for number, raw in enumerate(lines, start):
        line = raw.decode("utf-8", "replace").strip()
        if not line:
            continue
        try:
            event, download, time, final = parse(line)
        except rejected as reason:
            parsed.append(("rejected", None, str(reason)))
            continue
        except Exception as error:  # noqa: BLE001 - whatever a line does, it costs one unparsed line
            text = f"{line[:200]} ({str(error)[:100]})".encode("utf-8", "replace").decode("utf-8")
            parsed.append(("unparsed", None, number, text))
            continue
        day = time[:10]
        if time > latest.get(time[19:], ""):
            latest[time[19:]] = time
        if final is None:
            parsed.append(("start", day, download, time))
            continue
        row = (download, time, event, final["installer"], *(final["failure"] or (None, None)), final["error_count"],
               final["package_number"], final["total_time"], *final["full"], final["resumed_from"])
        parsed.append(("final", day, download, row, final["failing"], time_bins(final["times"])))
    newest = max((datetime.datetime.fromisoformat(t).timestamp() for t in latest.values()), default=None)
    return parsed, newest


def _count_final(groups, bins, row):
    """Counts a paired final (a row of finals) into the per-day groups and bins."""
    _, time, event, installer, code, message, errors, packages, total, full_packages, full_time, resumed = row
    day = time[:10]
    key = (day, installer, event, 0 if code is None else code, "" if message is None else message, errors)
    group = groups.get(key)
    if group is None:
        groups[key] = group = [0, time, time, 0.0, 0, 0, 0]
    group[0] += 1
    group[1], group[2] = min(group[1], time), max(group[2], time)
    if packages:
        group[3] += total / packages
        group[4] += 1
    if resumed:
        group[5] += 1
        group[6] += resumed
    if event == "download-succeeded":
        bins[day, installer, "total", time_bin(total)] += 1
        if full_time:
            bins[day, installer, "rate", rate_bin(full_packages / full_time)] += 1


def _add_groups(db, groups, bins):
    db.executemany("INSERT INTO final_groups VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                   "ON CONFLICT (day, installer, event, error_code, error_msg, error_count) DO UPDATE SET "
                   "count = count + excluded.count, first = min(first, excluded.first), "
                   "last = max(last, excluded.last), package_ms = package_ms + excluded.package_ms, "
                   "timed = timed + excluded.timed, resumed = resumed + excluded.resumed, "
                   "resumed_bytes = resumed_bytes + excluded.resumed_bytes", [(*k, *v) for k, v in groups.items()])
    db.executemany("INSERT INTO final_bins VALUES (?, ?, ?, ?, ?) ON CONFLICT (day, installer, kind, bin) "
                   "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in bins.items()])


def _mark_newest(db, seconds):
    if seconds is not None:
        db.execute("INSERT INTO marks VALUES ('newest', ?) ON CONFLICT (name) DO UPDATE SET "
                   "value = max(value, excluded.value)", (seconds,))


def _aggregate_history(db):
    """The per-day counts of a history from before them, from its rows, once."""
    groups, bins, counts = {}, collections.Counter(), collections.Counter()
    for row in db.execute(f"SELECT {FINAL_COLUMNS} FROM finals WHERE paired = 1"):
        _count_final(groups, bins, row)
    for name, sql in (("starts", "SELECT substr(time, 1, 10), count(*) FROM starts GROUP BY 1"),
                      ("starts_finished", "SELECT substr(s.time, 1, 10), count(*) FROM starts AS s "
                                          "JOIN finals AS f ON f.id = s.id GROUP BY 1")):
        counts.update({(day, name): n for day, n in db.execute(sql)})
    _add_groups(db, groups, bins)
    _add_counts(db, "line_counts", counts)
    newest = db.execute("SELECT max(at) FROM (SELECT max(julianday(time)) AS at FROM starts "
                        "UNION ALL SELECT max(julianday(time)) FROM finals)").fetchone()[0]
    _mark_newest(db, newest and (newest - 2440587.5) * 86400)
    db.execute("INSERT INTO marks VALUES ('aggregated', 1)")


def _looked_up(db, sql, ids):
    """{id: the rest of its row} of the rows sql (with IN ({}) for the ids) finds, many ids a query."""
    found = {}
    for at in range(0, len(ids), 10000):  # one query for many: a lookup per final costs a minute in ten million
        batch = ids[at:at + 10000]
        found.update((row[0], row[1:]) for row in db.execute(sql.format(",".join("?" * len(batch))), batch))
    return found


def _add_counts(db, table, counts):
    """Adds counts ({(day, key): n}) to a per-day table of (day, key, count)."""
    key = {"failed_attempts": "package", "package_times": "bin", "line_counts": "name"}[table]
    db.executemany(f"INSERT INTO {table} VALUES (?, ?, ?) ON CONFLICT (day, {key}) "
                   "DO UPDATE SET count = count + excluded.count", [(*k, v) for k, v in counts.items()])


def _tail(log, offset):
    """SHA-256 of the TAIL_BYTES of log before offset; None where it is shorter."""
    start = max(0, offset - TAIL_BYTES)
    log.seek(start)
    data = log.read(offset - start)
    return hashlib.sha256(data).hexdigest() if len(data) == offset - start else None


def _identify(db, log):
    """(identity, lines already read, byte offset after them) of a log (a
    binary file at its start). Its first line names it; a log that begins like
    one read before but differs from it is named by more of its lines, then by
    all of them."""
    head = list(itertools.islice(log, 1000))
    if not head or not head[0].endswith(b"\n"):
        return None, 0, 0
    complete = [line for line in itertools.takewhile(lambda line: line.endswith(b"\n"), head)]
    names = [hashlib.sha256(head[0].decode("utf-8", "replace").encode("utf-8", "replace")).hexdigest(),
             "1000:" + hashlib.sha256(b"".join(complete)).hexdigest()]
    for level, identity in enumerate(names + [None]):
        if identity is None:  # the third log to begin with the same thousand lines: all of it names it
            log.seek(0)
            whole = hashlib.sha256()
            for line in log:
                whole.update(line)
            identity = "all:" + whole.hexdigest()
        row = db.execute("SELECT lines, prefix, offset, tail FROM sources WHERE identity = ?", (identity,)).fetchone()
        if not row:
            if level:
                print("stats-report: a log begins like one read before but differs from it (or is shorter): "
                      "read as a log of its own", file=sys.stderr)
            return identity, 0, 0
        known, prefix, offset, tail = row
        if offset is not None:
            if _tail(log, offset) == tail:
                return identity, known, offset
            continue
        # A history from before offsets: the lines read are checked whole, once.
        log.seek(0)
        digest, count, offset = hashlib.sha256(), 0, 0
        for line in itertools.islice(log, known):
            if not line.endswith(b"\n"):
                break
            digest.update(line)
            count += 1
            offset += len(line)
        if count == known and prefix in (None, digest.hexdigest()):
            return identity, known, offset
    raise AssertionError("a log named by all of its lines matches itself")


def _chunks(lines, start):
    """(first number, lines) of CHUNK lines at a time."""
    while True:
        chunk = list(itertools.islice(lines, CHUNK))
        if not chunk:
            return
        yield start, chunk
        start += len(chunk)


def ingest(db, log, source, parse, rejected, final_log=False):
    """Adds what is new in log (a seekable binary file) to the store;
    parse(line) -> (event, id, time, final), rejected (the exception it raises
    for an event the downloader cannot have sent) or another error. A last
    line without its newline is left for the next run unless final_log (a
    rotated log). Returns the number of new lines. Two worker processes parse
    while this one writes; at most a few chunks are in flight, so memory
    stays bounded however long the log."""
    identity, known, offset = _identify(db, log)
    if identity is None:
        return 0
    log.seek(offset)
    if not log.read(1):
        return 0  # nothing new: no workers, nothing written
    log.seek(offset)
    new = 0
    read_to = offset
    counts = collections.Counter()
    samples = collections.deque(maxlen=LISTED_BAD_LINES)  # the latest of this run
    last_day = "unknown"
    writer = db.cursor()

    def complete(lines):
        nonlocal new, read_to
        for line in lines:
            if not line.endswith(b"\n") and not final_log:
                return  # being written: read next time, whole
            read_to += len(line)
            new += 1
            yield line

    groups, bins = {}, collections.Counter()

    def pair(start_day, final_row, failing, time_bins_):
        """A final whose start is there: counted in every figure."""
        counts[start_day, "starts_finished"] += 1
        _count_final(groups, bins, final_row)
        attempts.update((final_row[1][:10], package) for package in failing)
        times.update((final_row[1][:10], index) for index in time_bins_)

    def store(item):
        nonlocal last_day
        parsed, newest = item
        _mark_newest(db, newest)
        by_day = collections.defaultdict(list)
        for entry in parsed:
            if entry[0] == "start":
                by_day[entry[1]].append(entry[2:])
        for day, rows in by_day.items():  # counted per day as they are new
            counts[day, "starts"] += writer.executemany("INSERT OR IGNORE INTO starts VALUES (?, ?)", rows).rowcount
        # Finals read before their start: paired now.
        waiting = _looked_up(db, "SELECT id, failing, bins FROM pending WHERE id IN ({})",
                             [row[0] for rows in by_day.values() for row in rows])
        for download, (failing, time_bins_) in waiting.items():
            start_day = db.execute("SELECT substr(time, 1, 10) FROM starts WHERE id = ?", (download,)).fetchone()[0]
            final_row = db.execute(f"SELECT {FINAL_COLUMNS} FROM finals WHERE id = ?", (download,)).fetchone()
            pair(start_day, final_row, json.loads(failing), json.loads(time_bins_))
            db.execute("UPDATE finals SET paired = 1 WHERE id = ?", (download,))
            db.execute("DELETE FROM pending WHERE id = ?", (download,))
        started = _looked_up(db, "SELECT id, substr(time, 1, 10) FROM starts WHERE id IN ({})",
                             [entry[2] for entry in parsed if entry[0] == "final"])
        for entry in parsed:
            kind, day = entry[0], entry[1] or last_day
            last_day = day
            counts[day, "lines"] += 1
            if kind == "unparsed":
                counts[day, "unparsed"] += 1
                samples.append((source, entry[2], entry[3], day))
            elif kind == "rejected":
                counts[day, "rejected:" + entry[2]] += 1
            elif kind == "final":
                _, _, download, final_row, failing, time_bins_ = entry
                paired = download in started
                # A download's second final event is counted as such and nothing more.
                writer.execute(f"INSERT OR IGNORE INTO finals ({FINAL_COLUMNS}, paired) "
                                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", (*final_row, int(paired)))
                if writer.rowcount != 1:
                    counts[day, "repeated_finals"] += 1
                elif paired:
                    pair(started[download][0], final_row, failing, time_bins_)
                else:  # counted once its start is read
                    writer.execute("INSERT INTO pending VALUES (?, ?, ?, ?)",
                                         (download, day, json.dumps(failing), json.dumps(time_bins_)))

    attempts, times = collections.Counter(), collections.Counter()
    with db, multiprocessing.get_context("fork").Pool(2) as workers:  # one transaction: a crash changes nothing
        in_flight = collections.deque()
        for start, chunk in _chunks(complete(log), known + 1):
            in_flight.append(workers.apply_async(_parse_chunk, (parse, rejected, start, chunk)))
            if len(in_flight) > IN_FLIGHT:
                store(in_flight.popleft().get())
        while in_flight:
            store(in_flight.popleft().get())
        _add_counts(db, "failed_attempts", attempts)
        _add_counts(db, "package_times", times)
        _add_counts(db, "line_counts", counts)
        _add_groups(db, groups, bins)
        db.executemany("INSERT INTO unparsed_samples (source, line, text, day) VALUES (?, ?, ?, ?)", samples)
        db.execute("INSERT INTO sources (identity, lines, prefix, offset, tail) VALUES (?, ?, NULL, ?, ?) "
                   "ON CONFLICT (identity) DO UPDATE SET lines = excluded.lines, prefix = NULL, "
                   "offset = excluded.offset, tail = excluded.tail",
                   (identity, known + new, read_to, _tail(log, read_to)))
    return new
