"""The record store: an SQLite file (the default) or a PostgreSQL database.

Tables (schema version 2):
  meta          key/value; ``schema_version`` says which layout the store has.
  runs          one row per recorded run of a program, with its retention limits.
  functions     one row per recorded function (full name, module, file).
  blobs         one row per distinct payload: its content hash, how it is
                compressed (see ``blob_codec``), how many calls refer to it.
  dictionaries  compression dictionaries, one per function at most per writer.
  calls         one row per recorded call: run, function, pid, thread, time,
                whether it raised, payload size, its blob, and the node id of
                the test that was running when it was made (``test``).
  summaries     per run and function: calls seen, calls stored, raised, sizes;
                kept up to date with every write, so that ``list``, ``stats``
                and ``runs`` never scan the calls.
  metrics       metric message counts per run, kind, reason and detail; the
                calls that were not kept are counted here too (kind NotKept).
  drops         running totals of messages the channels could not deliver;
                a child process's are kept under its own channel names.
  processes     one row per recorded process of a run: the one that started it
                and every child that joined it (spawned or forked).

A store of schema version 1 (payloads inline in a ``records`` table) is read
as it is; the first writer upgrades it in one transaction, leaving the old
records where they are (they read on as before) and starting the new call
numbers after the old ones. A schema 2 store made before processes were
recorded lacks ``calls.test`` and ``processes``; its first writer adds them,
and readers take it as it is.

The SQLite file is created readable and writable by its owner only (records
hold arguments, return values and copies of globals, which may be secrets);
SQLite gives its WAL and shared-memory files the same mode. Writers use WAL
with ``synchronous=NORMAL``: a committed transaction survives a crash of any
process, which is what a handler's acknowledgement of a record means.
"""

import contextlib
import json
import os
import sqlite3
import time
import urllib.parse

from corvane_collector.host import blob_codec

SCHEMA_VERSION = 2
POSTGRES_SCHEMES = ("postgresql://", "postgres://")
BUSY_TIMEOUT = 30.0

NOT_KEPT = "NotKept"
REASON_OLDER = "older than the newest {} calls of its function in the run"
REASON_FULL = "the store reached its size limit"

V1_TABLES = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE runs (
    id {id},
    pid {int},
    started {real} NOT NULL,
    ended {real},
    argv TEXT,
    project TEXT,
    rate {real},
    python TEXT,
    exit_code {int},
    recording TEXT
);
CREATE TABLE metrics (
    run_id {int} NOT NULL,
    kind TEXT NOT NULL,
    reason TEXT NOT NULL DEFAULT '',
    detail TEXT NOT NULL DEFAULT '',
    count {int} NOT NULL,
    PRIMARY KEY (run_id, kind, reason, detail)
);
CREATE TABLE drops (
    run_id {int} NOT NULL,
    channel TEXT NOT NULL,
    reason TEXT NOT NULL,
    count {int} NOT NULL,
    PRIMARY KEY (run_id, channel, reason)
)
"""

# What version 2 adds to version 1 (without its ``records`` table).
V2_CHANGES = """
ALTER TABLE runs ADD COLUMN keep_per_function {int};
ALTER TABLE runs ADD COLUMN max_store_size {int};
CREATE TABLE functions (
    id {id},
    full_name TEXT NOT NULL,
    module TEXT NOT NULL,
    file TEXT NOT NULL,
    UNIQUE (full_name, module, file)
);
CREATE TABLE dictionaries (id {id}, function TEXT NOT NULL, data {blob} NOT NULL);
CREATE INDEX dictionaries_by_function ON dictionaries (function);
CREATE TABLE blobs (
    id {id},
    hash {blob} NOT NULL UNIQUE,
    codec INTEGER NOT NULL,
    dict_id {int},
    size {int} NOT NULL,
    refs {int} NOT NULL,
    data {blob} NOT NULL
);
CREATE TABLE calls (
    id {calls_id},
    run_id {int} NOT NULL,
    function_id {int} NOT NULL,
    pid {int},
    thread {int},
    time {real},
    raised INTEGER NOT NULL,
    size {int} NOT NULL,
    blob_id {int} NOT NULL,
    test TEXT
);
CREATE INDEX calls_by_function ON calls (function_id, run_id, id);
CREATE TABLE summaries (
    run_id {int} NOT NULL,
    function_id {int} NOT NULL,
    calls {int} NOT NULL,
    stored {int} NOT NULL,
    raised {int} NOT NULL,
    total_size {int} NOT NULL,
    max_size {int} NOT NULL,
    last_time {real},
    PRIMARY KEY (run_id, function_id)
)
"""

PROCESS_TABLE = """
CREATE TABLE IF NOT EXISTS processes (
    run_id {int} NOT NULL,
    pid {int} NOT NULL,
    parent_pid {int},
    how TEXT NOT NULL,
    started {real} NOT NULL,
    ended {real},
    argv TEXT,
    exit_code {int},
    recording TEXT,
    PRIMARY KEY (run_id, pid, started)
)
"""

SQLITE_TYPES = {"id": "INTEGER PRIMARY KEY", "calls_id": "INTEGER PRIMARY KEY AUTOINCREMENT",
                "int": "INTEGER", "real": "REAL", "blob": "BLOB"}


def schema_statements(template, types):
    return [s.strip().format(**types) for s in template.split(";") if s.strip()]


class StoreError(Exception):
    """The store cannot be created, opened or read; the message says why."""


def _describe(exc):
    return str(exc).strip() or type(exc).__name__


def is_url(location):
    return isinstance(location, str) and location.startswith(POSTGRES_SCHEMES)


def split_password(location):
    """(the URL without its password, the password or None)."""
    parts = urllib.parse.urlsplit(location)
    password = parts.password
    netloc = parts.netloc
    if password is not None:
        user, _, host = netloc.rpartition("@")
        netloc = user.partition(":")[0] + "@" + host
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    password = next((v for k, v in query if k == "password"), password)
    query = urllib.parse.urlencode([(k, v) for k, v in query if k != "password"], safe="/")
    return urllib.parse.urlunsplit(parts._replace(netloc=netloc, query=query)), password


def display_location(location):
    """The store's location as messages show it: never with a password."""
    return split_password(location)[0] if is_url(location) else os.fspath(location)


_SIZE_UNITS = {"": 1, "B": 1, "K": 1 << 10, "KB": 1 << 10, "KIB": 1 << 10, "M": 1 << 20,
               "MB": 1 << 20, "MIB": 1 << 20, "G": 1 << 30, "GB": 1 << 30, "GIB": 1 << 30,
               "T": 1 << 40, "TB": 1 << 40, "TIB": 1 << 40}


def parse_size(text):
    """'500M', '2G', '1.5GiB', '4096' -> bytes (units of 1024); ValueError otherwise."""
    if isinstance(text, int) and not isinstance(text, bool):
        if text < 0:
            raise ValueError(f"a size cannot be negative: {text}")
        return text
    value = str(text).strip().upper()
    number = value.rstrip("BKMGTI")
    unit = value[len(number):]
    try:
        n = float(number)
    except ValueError:
        n = -1.0
    if unit not in _SIZE_UNITS or not 0 <= n < float("inf"):
        raise ValueError(f"not a size: {text!r} (expected a number of bytes, or 500M, 2G ...)")
    return int(n * _SIZE_UNITS[unit])


def open_store(path, create=False, readonly=False):
    """Opens the store at ``path`` (a file, or a postgresql:// URL); with ``create`` makes it.

    Raises StoreError with a message fit for the user on every failure.
    """
    if is_url(path):
        from corvane_collector.host import postgres_store
        return postgres_store.open_store(path, create=create, readonly=readonly)
    path = os.fspath(path)
    exists = os.path.exists(path)
    if not exists:
        if not create or readonly:
            raise StoreError(f"no record store at {path}")
        _create_file(path)
    elif os.path.isdir(path):
        raise StoreError(f"{path} is a directory, not a record store")
    elif not os.access(path, os.R_OK):
        raise StoreError(f"cannot read the record store {path}: permission denied")
    try:
        conn = _connect(path, readonly)
    except sqlite3.OperationalError as exc:
        raise StoreError(f"cannot open the record store {path}: {_describe(exc)}") from None
    except sqlite3.Error as exc:  # "file is not a database" and kin
        raise StoreError(f"{path} is not a readable record store: {_describe(exc)}") from None
    conn.location = path
    try:
        _check_or_init(conn, path, may_init=create and not readonly)
    except StoreError:
        conn.close()
        raise
    except sqlite3.Error as exc:
        conn.close()
        raise StoreError(f"{path} is not a readable record store: {_describe(exc)}") from None
    return conn


class StoreLayout:
    """What a store of the current schema holds, for either backend; opening
    an older store sets what it holds on the connection itself."""

    has_calls = True
    has_legacy = False
    has_test = True
    has_legacy_test = False
    has_processes = True
    decompressor = None


class SqliteStore(sqlite3.Connection, StoreLayout):
    """An SQLite connection that knows the store's layout and how to write to it."""

    backend = "sqlite"
    greatest = "max"
    location = None
    schema_version = SCHEMA_VERSION

    @contextlib.contextmanager
    def transaction(self):
        if self.in_transaction:
            yield
            return
        self.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            if self.in_transaction:
                self.execute("ROLLBACK")
            raise
        self.execute("COMMIT")

    @staticmethod
    def retryable(exc):
        return isinstance(exc, sqlite3.OperationalError) and "locked" in str(exc)

    def used_bytes(self):
        pages = self.execute("PRAGMA page_count").fetchone()[0]
        free = self.execute("PRAGMA freelist_count").fetchone()[0]
        return (pages - free) * self.execute("PRAGMA page_size").fetchone()[0]

    def stream(self, sql, params=()):
        return self.execute(sql, params)


def _create_file(path):
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise StoreError(f"cannot create the record store {path}: directory {parent} does not exist")
    try:
        fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    except FileExistsError:
        return
    except OSError as exc:
        raise StoreError(f"cannot create the record store {path}: {exc.strerror}") from None
    os.close(fd)


def _connect(path, readonly):
    kwargs = dict(timeout=BUSY_TIMEOUT, isolation_level=None, factory=SqliteStore)
    if readonly:
        uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
        try:
            conn = sqlite3.connect(uri, uri=True, **kwargs)
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
        except sqlite3.OperationalError:
            # A WAL store in a directory we cannot write to: no shared-memory
            # file can be made, so read it as an immutable snapshot.
            conn = sqlite3.connect(uri + "&immutable=1", uri=True, **kwargs)
        return conn
    return sqlite3.connect(path, **kwargs)


def _tables(conn):
    return {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}


def _check_or_init(conn, path, may_init):
    tables = _tables(conn)
    if not tables:
        if not may_init:
            raise StoreError(f"{path} is an empty record store (nothing was recorded into it)")
        conn.execute("PRAGMA journal_mode=WAL").fetchone()
        with conn.transaction():
            # A second process may have initialised it between our look and the lock.
            if not conn.execute("SELECT 1 FROM sqlite_master WHERE name='meta'").fetchone():
                # Statement by statement: executescript() would commit our transaction.
                # A new store is laid out exactly as an upgraded one, less the old records.
                for statement in schema_statements(V1_TABLES + ";" + V2_CHANGES + ";"
                                                   + PROCESS_TABLE, SQLITE_TYPES):
                    conn.execute(statement)
                conn.execute("INSERT INTO meta VALUES ('schema_version', ?)", (str(SCHEMA_VERSION),))
                conn.execute("INSERT INTO meta VALUES ('created', ?)", (repr(time.time()),))
        tables = _tables(conn)
    if "meta" not in tables:
        raise StoreError(f"{path} is an SQLite file but not a record store")
    version = check_schema_version(conn, path)
    if version < SCHEMA_VERSION and may_init:
        try:
            upgrade_v1(conn)
        except sqlite3.Error as exc:
            raise StoreError(f"cannot upgrade the record store {path} to schema {SCHEMA_VERSION}"
                             f" ({_describe(exc)}); it is left as it was") from None
        version = check_schema_version(conn, path)
        tables = _tables(conn)
    if version >= 2 and may_init:
        _add_process_tables(conn)
        tables = _tables(conn)
    conn.schema_version = version
    conn.has_calls = version >= 2
    conn.has_legacy = "records" in tables
    conn.has_test = conn.has_calls and _has_column(conn, "calls", "test")
    conn.has_legacy_test = conn.has_legacy and _has_column(conn, "records", "test")
    conn.has_processes = "processes" in tables
    if may_init:
        conn.execute("PRAGMA synchronous=NORMAL")


def _has_column(conn, table, column):
    return any(row[1] == column for row in conn.execute(f"PRAGMA table_info({table})"))


def _add_process_tables(conn):
    if _has_column(conn, "calls", "test") and "processes" in _tables(conn):
        return
    with conn.transaction():
        # Another writer may have added them between our look and the lock.
        if not _has_column(conn, "calls", "test"):
            conn.execute("ALTER TABLE calls ADD COLUMN test TEXT")
        for statement in schema_statements(PROCESS_TABLE, SQLITE_TYPES):
            conn.execute(statement)


def check_schema_version(conn, path):
    row = conn.execute("SELECT value FROM meta WHERE key='schema_version'").fetchone()
    if row is None:
        raise StoreError(f"{path} has no schema version: not a record store")
    try:
        version = int(row[0])
    except ValueError:
        raise StoreError(f"{path} has an unreadable schema version {row[0]!r}") from None
    if version > SCHEMA_VERSION:
        raise StoreError(f"{path} was written by a newer version (store schema {version}); "
                         f"this version reads schema {SCHEMA_VERSION} and older")
    if version < 1:
        raise StoreError(f"{path} has an unknown schema version {version}")
    return version


def upgrade_v1(conn):
    """Upgrades a schema 1 SQLite store to schema 2 in one transaction.

    The old records stay in their table and keep their numbers; new calls are
    numbered after them. Summaries of the old records are made here once.
    """
    with conn.transaction():
        if check_schema_version(conn, conn.location) >= 2:
            return  # another writer upgraded it while we waited for the lock
        for statement in schema_statements(V2_CHANGES, SQLITE_TYPES):
            conn.execute(statement)
        conn.execute("INSERT INTO sqlite_sequence (name, seq) "
                     "SELECT 'calls', max(id) FROM records HAVING max(id) IS NOT NULL")
        conn.execute("INSERT INTO functions (full_name, module, file) "
                     "SELECT DISTINCT coalesce(full_name, ''), coalesce(module, ''), "
                     "coalesce(file, '') FROM records")
        conn.execute(
            "INSERT INTO summaries (run_id, function_id, calls, stored, raised, total_size, "
            "max_size, last_time) SELECT r.run_id, f.id, count(*), count(*), sum(r.raised), "
            "sum(r.size), max(r.size), max(r.time) FROM records r JOIN functions f "
            "ON f.full_name = coalesce(r.full_name, '') AND f.module = coalesce(r.module, '') "
            "AND f.file = coalesce(r.file, '') GROUP BY r.run_id, f.id")
        conn.execute("UPDATE meta SET value=? WHERE key='schema_version'", (str(SCHEMA_VERSION),))


def run_in_transaction(conn, write, attempts=5):
    """Runs ``write()`` in one transaction, again when the store asks us to retry."""
    for attempt in range(attempts):
        try:
            with conn.transaction():
                return write()
        except Exception as exc:
            if not conn.retryable(exc) or attempt == attempts - 1:
                raise
            time.sleep(0.2 * (attempt + 1))


def _signed64(n):
    """Thread identifiers are unsigned 64-bit; the stores keep signed 64-bit integers."""
    return n - (1 << 64) if n is not None and n >= 1 << 63 else n


def _unsigned64(n):
    return n + (1 << 64) if n is not None and n < 0 else n


def _values(rows, width):
    return ", ".join(["(" + ", ".join("?" * width) + ")"] * rows)


def _chunks(items, size=400):
    for i in range(0, len(items), size):
        yield items[i:i + size]


# -- writing ---------------------------------------------------------------

def create_run(conn, pid, argv, project, rate, python, recording, keep_per_function=None,
               max_store_size=None):
    return conn.execute(
        "INSERT INTO runs (pid, started, argv, project, rate, python, recording, "
        "keep_per_function, max_store_size) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
        (pid, time.time(), json.dumps(list(argv)), project, rate, python, recording,
         keep_per_function, max_store_size)).fetchone()[0]


def run_limits(conn, run_id):
    """(keep_per_function, max_store_size) of a run; None where there is no limit."""
    row = conn.execute("SELECT keep_per_function, max_store_size FROM runs WHERE id=?",
                       (run_id,)).fetchone()
    return (row[0] or None, row[1] or None) if row else (None, None)


def run_project(conn, run_id):
    row = conn.execute("SELECT project FROM runs WHERE id=?", (run_id,)).fetchone()
    return row[0] if row else None


def set_run_recording(conn, run_id, recording):
    conn.execute("UPDATE runs SET recording=? WHERE id=?", (recording, run_id))


def finish_run(conn, run_id, exit_code=None, recording=None):
    conn.execute("UPDATE runs SET ended=?, exit_code=?, recording=coalesce(?, recording) WHERE id=?",
                 (time.time(), exit_code, recording, run_id))


def insert_records(conn, rows, keep_per_function=None, max_store_size=None):
    """rows: (run_id, full_name, module, file, pid, thread, time, raised, size, data[, test]),
    in one transaction."""
    writer = RecordWriter(conn, keep_per_function, max_store_size)
    writer.store(writer.prepare(rows))


class RecordWriter:
    """Writes batches of calls: compressed, stored once per content, within the run's limits.

    ``prepare`` does the work that needs no lock (the limits within the batch,
    hashing, compressing); ``store`` writes a prepared batch in one transaction.
    """

    def __init__(self, conn, keep_per_function=None, max_store_size=None):
        self.conn = conn
        self.keep = keep_per_function or None
        self.max_store_size = max_store_size or None
        self.full = False
        self.compressor = blob_codec.Compressor(self._find_dictionary)
        self._function_ids = {}
        self._saved = []

    def _find_dictionary(self, function):
        row = self.conn.execute("SELECT id, data FROM dictionaries WHERE function=? "
                                "ORDER BY id DESC LIMIT 1", (function,)).fetchone()
        return blob_codec.Dictionary(bytes(row[1]), row[0]) if row else None

    def prepare(self, rows):
        """The batch: entries [run_id, key, pid, thread, time, raised, size, hash, why not
        kept or None, test] and blobs {hash: (codec, Dictionary or None, bytes, size)}."""
        entries = []
        by_function = {}
        for row in rows:
            run_id, name, module, file, pid, thread, when, raised, size, data = row[:10]
            key = (name or "", module or "", file or "")
            entries.append([run_id, key, pid, _signed64(thread), when, int(bool(raised)), size,
                            data, REASON_FULL if self.full else None,
                            row[10] if len(row) > 10 else None])
            by_function.setdefault((run_id, key), []).append(entries[-1])
        if self.keep:
            for same in by_function.values():
                for e in same[:-self.keep]:
                    e[8] = e[8] or REASON_OLDER.format(self.keep)  # newer calls replace it
        blobs = {}
        for e in entries:
            data, e[7] = e[7], None
            if e[8] is None:
                e[7] = digest = blob_codec.content_hash(data)
                if digest not in blobs:
                    codec, d, blob = self.compressor.compress(e[1][0], data)
                    blobs[digest] = (codec, d, blob, len(data))
        return entries, blobs

    def store(self, batch):
        full = self.full
        known = set(self._function_ids)
        try:
            run_in_transaction(self.conn, lambda: self._write(batch))
        except BaseException:
            # Rolled back: forget the functions and dictionaries it stored.
            self.full = full
            for key in set(self._function_ids) - known:
                del self._function_ids[key]
            saved = [u for u in self._saved if u[1].id is not None]
            for _, d in saved:
                d.id = None
            self.compressor.unsaved.extend(saved)
            raise
        finally:
            self._saved = []

    def _write(self, batch):
        entries, blobs = batch
        conn = self.conn
        if self.max_store_size and not self.full and \
                conn.used_bytes() >= self.max_store_size:
            self.full = True
        if self.full:
            for e in entries:
                e[8] = e[8] or REASON_FULL
        function_ids = self._ids(entries)
        stored = [e for e in entries if e[8] is None]
        not_kept = {}
        for e in entries:
            if e[8] is not None:
                k = (e[0], e[1][0], e[8])
                not_kept[k] = not_kept.get(k, 0) + 1
        blob_ids = self._store_blobs(stored, blobs) if stored else {}
        conn.executemany(
            "INSERT INTO calls (run_id, function_id, pid, thread, time, raised, size, blob_id,"
            " test) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(e[0], function_ids[e[1]], e[2], e[3], e[4], e[5], e[6], blob_ids[e[7]], e[9])
             for e in stored])
        over = self._update_summaries(entries, stored, function_ids)
        names = {v: k[0] for k, v in function_ids.items()}
        for (run_id, fid), n in sorted(over.items()):
            self._evict(run_id, fid, n)
            k = (run_id, names[fid], REASON_OLDER.format(self.keep))
            not_kept[k] = not_kept.get(k, 0) + n
        by_run = {}
        for (run_id, name, reason), n in not_kept.items():
            by_run.setdefault(run_id, {})[(NOT_KEPT, reason, name)] = n
        for run_id, counts in sorted(by_run.items()):
            add_metric_counts(conn, run_id, counts)

    def _ids(self, entries):
        conn = self.conn
        # Sorted, as the blobs: concurrent writers then lock new rows in one order.
        for key in sorted({e[1] for e in entries} - self._function_ids.keys()):
            conn.execute("INSERT INTO functions (full_name, module, file) VALUES (?, ?, ?) "
                         "ON CONFLICT (full_name, module, file) DO NOTHING", key)
            self._function_ids[key] = conn.execute(
                "SELECT id FROM functions WHERE full_name=? AND module=? AND file=?",
                key).fetchone()[0]
        return self._function_ids

    def _store_blobs(self, stored, blobs):
        conn = self.conn
        for function, d in self.compressor.unsaved:
            if d.id is None:
                d.id = conn.execute("INSERT INTO dictionaries (function, data) VALUES (?, ?) "
                                    "RETURNING id", (function, d.data)).fetchone()[0]
        refs = {}
        for e in stored:
            refs[e[7]] = refs.get(e[7], 0) + 1
        ids = {}
        # In hash order: writers in other processes lock the same rows in the same order.
        rows = [(h, *blobs[h], refs[h]) for h in sorted(refs)]
        for chunk in _chunks(rows):
            params = []
            for h, codec, d, blob, size, n in chunk:
                params += [h, codec, d.id if d is not None else None, size, n, blob]
            for h, blob_id in conn.execute(
                    "INSERT INTO blobs (hash, codec, dict_id, size, refs, data) VALUES "
                    + _values(len(chunk), 6)
                    + " ON CONFLICT (hash) DO UPDATE SET refs = blobs.refs + excluded.refs"
                    " RETURNING hash, id", params).fetchall():
                ids[bytes(h)] = blob_id
        self._saved += self.compressor.unsaved
        self.compressor.unsaved = []
        return ids

    def _update_summaries(self, entries, stored, function_ids):
        """Adds the batch to the summaries; returns {(run, function id): calls over the limit}."""
        sums = {}
        for e in entries:
            k = (e[0], function_ids[e[1]])
            s = sums.get(k)
            if s is None:
                s = sums[k] = [0, 0, 0, 0, 0, None]
            s[0] += 1
            s[2] += e[5]
            s[3] += e[6]
            s[4] = max(s[4], e[6])
            s[5] = e[4] if s[5] is None or (e[4] is not None and e[4] > s[5]) else s[5]
        for e in stored:
            sums[(e[0], function_ids[e[1]])][1] += 1
        g = self.conn.greatest
        over = {}
        items = sorted(sums.items())
        for chunk in _chunks(items, 200):
            params = [x for (run_id, fid), s in chunk for x in (run_id, fid, *s)]
            for run_id, fid, n in self.conn.execute(
                    "INSERT INTO summaries (run_id, function_id, calls, stored, raised, total_size,"
                    " max_size, last_time) VALUES " + _values(len(chunk), 8)
                    + " ON CONFLICT (run_id, function_id) DO UPDATE SET"
                    " calls = summaries.calls + excluded.calls,"
                    " stored = summaries.stored + excluded.stored,"
                    " raised = summaries.raised + excluded.raised,"
                    " total_size = summaries.total_size + excluded.total_size,"
                    f" max_size = {g}(summaries.max_size, excluded.max_size),"
                    f" last_time = {g}(coalesce(summaries.last_time, excluded.last_time),"
                    " coalesce(excluded.last_time, summaries.last_time))"
                    " RETURNING run_id, function_id, stored", params).fetchall():
                if self.keep and n > self.keep:
                    over[(run_id, fid)] = n - self.keep
        return over

    def _evict(self, run_id, function_id, n):
        """Deletes the ``n`` oldest calls of a function in a run, and blobs nobody refers to."""
        conn = self.conn
        rows = conn.execute("SELECT id, blob_id FROM calls WHERE function_id=? AND run_id=? "
                            "ORDER BY id LIMIT ?", (function_id, run_id, n)).fetchall()
        refs = {}
        for _, blob_id in rows:
            refs[blob_id] = refs.get(blob_id, 0) + 1
        for chunk in _chunks([r[0] for r in rows]):
            conn.execute(f"DELETE FROM calls WHERE id IN ({', '.join('?' * len(chunk))})", chunk)
        conn.executemany("UPDATE blobs SET refs = refs - ? WHERE id = ?",
                         [(k, blob_id) for blob_id, k in sorted(refs.items())])
        for chunk in _chunks(sorted(refs)):
            conn.execute(f"DELETE FROM blobs WHERE refs <= 0 AND id IN ({', '.join('?' * len(chunk))})",
                         chunk)
        conn.execute("UPDATE summaries SET stored = stored - ? WHERE run_id=? AND function_id=?",
                     (len(rows), run_id, function_id))


def add_process(conn, run_id, pid, parent_pid, how, argv, recording):
    """Enters a recorded process of a run; ``how``: "root", "spawned" or "forked"."""
    started = time.time()
    conn.execute(
        "INSERT INTO processes (run_id, pid, parent_pid, how, started, argv, recording)"
        " VALUES (?, ?, ?, ?, ?, ?, ?)",
        (run_id, pid, parent_pid, how, started, json.dumps(list(argv)), recording))
    return started


def set_process_recording(conn, run_id, pid, started, recording):
    conn.execute("UPDATE processes SET recording=? WHERE run_id=? AND pid=? AND started=?",
                 (recording, run_id, pid, started))


def finish_process(conn, run_id, pid, started, exit_code=None, recording=None):
    conn.execute(
        "UPDATE processes SET ended=?, exit_code=?, recording=coalesce(?, recording)"
        " WHERE run_id=? AND pid=? AND started=?",
        (time.time(), exit_code, recording, run_id, pid, started))


def open_run(conn, run_id):
    """Checks that a child process may join ``run_id``: the run exists and is still going."""
    row = conn.execute("SELECT ended FROM runs WHERE id=?", (run_id,)).fetchone()
    if row is None:
        raise StoreError(f"no run {run_id} in the store")
    if row[0] is not None:
        raise StoreError(f"run {run_id} has already ended")


def drop_channel(channel, child_pid=None):
    """The channel name drop totals are kept under: a child process's carry its pid."""
    return channel if child_pid is None else f"{channel} (pid {child_pid})"


def add_metric_counts(conn, run_id, counts):
    """counts: {(kind, reason, detail): n}, added to what is stored."""
    conn.executemany(
        "INSERT INTO metrics (run_id, kind, reason, detail, count) VALUES (?, ?, ?, ?, ?) "
        "ON CONFLICT (run_id, kind, reason, detail) DO UPDATE SET count = metrics.count + excluded.count",
        [(run_id, k, r, d, n) for (k, r, d), n in sorted(counts.items())])


def set_drop_totals(conn, run_id, totals):
    """totals: {(channel, reason): running total}; a smaller total never wins."""
    conn.executemany(
        "INSERT INTO drops (run_id, channel, reason, count) VALUES (?, ?, ?, ?) "
        f"ON CONFLICT (run_id, channel, reason) DO UPDATE SET count = {conn.greatest}"
        "(drops.count, excluded.count)",
        [(run_id, c, r, n) for (c, r), n in sorted(totals.items())])


# -- reading ---------------------------------------------------------------

def resolve_run(conn, which):
    """'all' -> None, 'last' -> the newest run id, a number -> that run id."""
    if which in (None, "all"):
        return None
    if which == "last":
        row = conn.execute("SELECT max(id) FROM runs").fetchone()
        if row[0] is None:
            raise StoreError("the store holds no runs yet")
        return row[0]
    try:
        run_id = int(which)
    except (TypeError, ValueError):
        raise StoreError(f"bad run {which!r}: expected a run number, 'last' or 'all'") from None
    if not conn.execute("SELECT 1 FROM runs WHERE id=?", (run_id,)).fetchone():
        raise StoreError(f"no run {run_id} in the store")
    return run_id


def _where(run_id, extra=(), params=(), column="run_id"):
    clauses = list(extra)
    params = list(params)
    if run_id is not None:
        clauses.append(f"{column} = ?")
        params.append(run_id)
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


def _summaries(conn, test=None):
    """A query of (run_id, full_name, module, file, calls, stored, raised, total_size,
    max_size, last_time), one row per run and function, and its parameters.

    With ``test``, of the stored calls made while that test ran (the summaries
    do not say which test a call belongs to).
    """
    if test is not None:
        return _test_summaries(conn, test)
    if conn.has_calls:
        return ("SELECT s.run_id, NULLIF(f.full_name, '') AS full_name, NULLIF(f.module, '') AS"
                " module, NULLIF(f.file, '') AS file, s.calls, s.stored, s.raised, s.total_size,"
                " s.max_size, s.last_time FROM summaries s JOIN functions f ON f.id = s.function_id"), []
    return _LEGACY_SUMMARIES.format(where=""), []


_LEGACY_SUMMARIES = (
    "SELECT run_id, full_name, module, file, count(*) AS calls, count(*) AS stored,"
    " sum(raised) AS raised, sum(size) AS total_size, max(size) AS max_size,"
    " max(time) AS last_time FROM records{where} GROUP BY run_id, full_name, module, file")


def _test_summaries(conn, test):
    parts, params = [], []
    if conn.has_test:
        parts.append(
            "SELECT c.run_id, NULLIF(f.full_name, '') AS full_name, NULLIF(f.module, '') AS module,"
            " NULLIF(f.file, '') AS file, count(*) AS calls, count(*) AS stored,"
            " sum(c.raised) AS raised, sum(c.size) AS total_size, max(c.size) AS max_size,"
            " max(c.time) AS last_time FROM calls c JOIN functions f ON f.id = c.function_id"
            " WHERE c.test = ? GROUP BY c.run_id, f.full_name, f.module, f.file")
        params.append(test)
    if conn.has_legacy_test:
        parts.append(_LEGACY_SUMMARIES.format(where=" WHERE test = ?"))
        params.append(test)
    if not parts:  # written before tests were tagged: no call matches
        return ("SELECT id AS run_id, NULL AS full_name, NULL AS module, NULL AS file, 0 AS calls,"
                " 0 AS stored, 0 AS raised, 0 AS total_size, 0 AS max_size, NULL AS last_time"
                " FROM runs WHERE 1 = 0"), []
    return " UNION ALL ".join(parts), params


def list_runs(conn):
    cols = ("id", "pid", "started", "ended", "argv", "project", "rate", "python", "exit_code",
            "recording")
    extra = ", keep_per_function, max_store_size" if conn.has_calls else ""
    summaries, params = _summaries(conn)
    counts = dict(conn.execute(
        f"SELECT run_id, CAST(sum(stored) AS BIGINT) FROM ({summaries}) s GROUP BY run_id", params))
    processes = dict(conn.execute("SELECT run_id, count(*) FROM processes GROUP BY run_id")) \
        if conn.has_processes else {}
    out = []
    for row in conn.execute(f"SELECT {', '.join(cols)}{extra} FROM runs ORDER BY id"):
        item = dict(zip(cols, row))
        item["argv"] = json.loads(item["argv"]) if item["argv"] else []
        item["records"] = counts.get(item["id"], 0)
        if extra:
            item["keep_per_function"], item["max_store_size"] = row[len(cols):]
        # Runs recorded before processes were entered: the processes their calls name.
        item["processes"] = processes.get(item["id"]) or len(_pid_counts(conn, item["id"])) or 1
        out.append(item)
    return out


def _pid_counts(conn, run_id):
    """{pid: stored calls} of a run."""
    counts = {}
    for table in (["records"] if conn.has_legacy else []) + (["calls"] if conn.has_calls else []):
        for pid, n in conn.execute(f"SELECT pid, count(*) FROM {table} WHERE run_id=? GROUP BY pid",
                                   (run_id,)):
            counts[pid] = counts.get(pid, 0) + n
    return counts


def list_processes(conn, run_id):
    """The recorded processes of a run, oldest first, each with its record count.

    Runs recorded before processes were entered have no rows of their own:
    their processes are those their records name (with ``how`` None).
    """
    counts = _pid_counts(conn, run_id)
    cols = ("pid", "parent_pid", "how", "started", "ended", "argv", "exit_code", "recording")
    out = []
    if conn.has_processes:
        for row in conn.execute(f"SELECT {', '.join(cols)} FROM processes WHERE run_id=?"
                                " ORDER BY started", (run_id,)).fetchall():
            item = dict(zip(cols, row))
            item["argv"] = json.loads(item["argv"]) if item["argv"] else []
            # A pid reused within a run has its records counted once, on its first row.
            item["records"] = counts.pop(item["pid"], 0)
            out.append(item)
    for pid, n in sorted(counts.items(), key=lambda kv: (kv[0] is None, kv[0] or 0)):
        out.append(dict(dict.fromkeys(cols), pid=pid, argv=[], records=n))
    return out


def function_summary(conn, run_id=None, test=None):
    """One dict per recorded function: calls, stored, how many raised, sizes, file."""
    summaries, params = _summaries(conn, test)
    where, params = _where(run_id, (), params)
    rows = conn.execute(
        "SELECT full_name, module, file, CAST(sum(calls) AS BIGINT), CAST(sum(stored) AS BIGINT),"
        " CAST(sum(raised) AS BIGINT), CAST(sum(total_size) AS BIGINT), max(max_size),"
        f" max(last_time) FROM ({summaries}) s{where} GROUP BY full_name, module, file"
        " ORDER BY 4 DESC, full_name", params)
    return [dict(function=r[0], module=r[1], file=r[2], calls=r[3], stored=r[4], raised=r[5],
                 total_size=r[6], max_size=r[7], last_time=r[8]) for r in rows]


RECORD_COLUMNS = ("id", "run_id", "full_name", "module", "file", "pid", "thread", "time", "raised",
                  "size", "data", "test")

_CALLS_SELECT = (
    "SELECT c.id, c.run_id, NULLIF(f.full_name, ''), NULLIF(f.module, ''), NULLIF(f.file, ''),"
    " c.pid, c.thread, c.time, c.raised, c.size, {test}, b.codec, b.dict_id, b.data, b.size"
    " FROM calls c JOIN functions f ON f.id = c.function_id LEFT JOIN blobs b ON b.id = c.blob_id",
    {"id": "c.id", "run_id": "c.run_id", "full_name": "f.full_name", "test": "c.test"})
_LEGACY_SELECT = (
    "SELECT id, run_id, full_name, module, file, pid, thread, time, raised, size, {test}, 0, NULL,"
    " data, NULL FROM records", {"id": "id", "run_id": "run_id", "full_name": "full_name",
                                 "test": "test"})


def _decompressor(conn):
    if conn.decompressor is None:
        def load(dict_id):
            row = conn.execute("SELECT data FROM dictionaries WHERE id=?", (dict_id,)).fetchone()
            return row[0] if row else None
        conn.decompressor = blob_codec.Decompressor(load)
    return conn.decompressor


def iter_records(conn, run_id=None, function=None, record_id=None, limit=None, newest_first=False,
                 test=None):
    """Yields one dict per call (RECORD_COLUMNS), ``data`` being the bytes that were sent;
    with ``test``, only the calls made while the test of that node id ran.

    A call whose stored blob cannot be read back has a ``LoadFailure`` naming
    the record as its ``data``.
    """
    from corvane_collector.data_serialization.corv_pickle import LoadFailure

    # Old records all have smaller numbers than new calls: each source in turn keeps the order.
    sources = ([(_LEGACY_SELECT, conn.has_legacy_test)] if conn.has_legacy else []) + \
        ([(_CALLS_SELECT, conn.has_test)] if conn.has_calls else [])
    if newest_first:
        sources.reverse()
    decompressor = _decompressor(conn)
    left = None if limit is None else int(limit)
    for (select, cols), tagged in sources:
        if left is not None and left <= 0:
            return
        if test is not None and not tagged:
            continue  # written before tests were tagged: no call matches
        select = select.format(test=cols["test"] if tagged else "NULL")
        extra, params = [], []
        if test is not None:
            extra.append(f"{cols['test']} = ?")
            params.append(test)
        if function is not None:
            extra.append(f"{cols['full_name']} = ?")
            params.append(function)
        if record_id is not None:
            extra.append(f"{cols['id']} = ?")
            params.append(record_id)
        where, params = _where(run_id, extra, params, cols["run_id"])
        order = f" ORDER BY {cols['id']}{' DESC' if newest_first else ''}"
        limit_sql = ""
        if left is not None:
            limit_sql = " LIMIT ?"
            params.append(left)
        if function is not None and record_id is None and test is None and cols is _CALLS_SELECT[1]:
            rows = _function_calls(conn, select, function, run_id, left, newest_first)
        else:
            rows = conn.stream(select + where + order + limit_sql, params)
        for row in rows:
            rec = dict(zip(RECORD_COLUMNS[:10], row[:10]))
            rec["thread"] = _unsigned64(rec["thread"])
            rec["test"] = row[10]
            try:
                rec["data"] = decompressor.decompress(row[11], row[12], row[13], row[14])
            except blob_codec.BlobError as exc:
                rec["data"] = LoadFailure(f"record {rec['id']}", str(exc))
            if left is not None:
                left -= 1
            yield rec


def _function_calls(conn, select, function, run_id, limit, newest_first):
    """The calls of one function in order, without a sort that holds their payloads.

    Their numbers come from the index first: per run, the index holds them in
    order, so the newest ``limit`` of each run are read without a sort and
    merged; then the calls are read by number.
    """
    order = " DESC" if newest_first else ""
    fids = [r[0] for r in conn.execute("SELECT id FROM functions WHERE full_name = ?", (function,))]
    ids = []
    for fid in fids:
        if limit is None:
            where, params = _where(run_id, ["function_id = ?"], [fid])
            ids += [r[0] for r in conn.execute(f"SELECT id FROM calls{where}", params)]
            continue
        where, params = _where(run_id, ["function_id = ?", "stored > 0"], [fid])
        for (run,) in conn.execute(f"SELECT run_id FROM summaries{where}", params).fetchall():
            ids += [r[0] for r in conn.execute(
                f"SELECT id FROM calls WHERE function_id = ? AND run_id = ? ORDER BY id{order}"
                " LIMIT ?", (fid, run, limit))]
    ids.sort(reverse=newest_first)
    if limit is not None:
        ids = ids[:limit]
    for chunk in _chunks(ids, 200):
        yield from conn.execute(select + f" WHERE c.id IN ({', '.join('?' * len(chunk))})"
                                f" ORDER BY c.id{order}", chunk)


def matching_functions(conn, pattern, run_id=None, test=None):
    """Full names equal to ``pattern``, else those ending in it or containing it."""
    summaries, params = _summaries(conn, test)
    where, params = _where(run_id, (), params)
    names = [r[0] for r in conn.execute(
        f"SELECT DISTINCT full_name FROM ({summaries}) s{where}", params)
        if r[0] is not None]
    for test in (lambda n: n == pattern,
                 lambda n: n.endswith("." + pattern),
                 lambda n: pattern in n):
        found = sorted(n for n in names if test(n))
        if found:
            return found
    return []


def metric_counts(conn, run_id=None):
    where, params = _where(run_id)
    rows = conn.execute(
        f"SELECT kind, reason, detail, CAST(sum(count) AS BIGINT) FROM metrics{where}"
        " GROUP BY kind, reason, detail ORDER BY kind, reason, detail", params)
    return [dict(kind=k, reason=r, detail=d, count=n) for k, r, d, n in rows]


def drop_counts(conn, run_id=None):
    where, params = _where(run_id)
    rows = conn.execute(
        f"SELECT channel, reason, CAST(sum(count) AS BIGINT) FROM drops{where}"
        " GROUP BY channel, reason ORDER BY channel, reason", params)
    return [dict(channel=c, reason=r, count=n) for c, r, n in rows]


def record_count(conn, run_id=None):
    summaries, params = _summaries(conn)
    where, params = _where(run_id, (), params)
    n = conn.execute(f"SELECT CAST(sum(stored) AS BIGINT) FROM ({summaries}) s{where}",
                     params).fetchone()[0]
    return n or 0
