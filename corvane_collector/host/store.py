"""The embedded record store: one SQLite file per store.

Tables:
  meta     key/value; ``schema_version`` says which layout the file has.
  runs     one row per recorded run of a program.
  records  one row per recorded call: who, where, when, whether it raised,
           size, and the pickled record itself.
  metrics  metric message counts aggregated per run, kind, reason and detail.
  drops    running totals of messages the channels could not deliver.
  processes  one row per recorded process of a run: the one that started it
           and every child that joined it (spawned or forked).

The file is created readable and writable by its owner only (records hold
arguments, return values and copies of globals, which may be secrets); SQLite
gives its WAL and shared-memory files the same mode. Writers use WAL with
``synchronous=NORMAL``: a committed transaction survives a crash of any
process, which is what a handler's acknowledgement of a record means.
"""

import json
import os
import sqlite3
import time
import urllib.parse

SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    pid INTEGER,
    started REAL NOT NULL,
    ended REAL,
    argv TEXT,
    project TEXT,
    rate REAL,
    python TEXT,
    exit_code INTEGER,
    recording TEXT
);
CREATE TABLE records (
    id INTEGER PRIMARY KEY,
    run_id INTEGER NOT NULL,
    full_name TEXT,
    module TEXT,
    file TEXT,
    pid INTEGER,
    thread INTEGER,
    time REAL,
    raised INTEGER NOT NULL,
    size INTEGER NOT NULL,
    data BLOB NOT NULL
);
CREATE INDEX records_by_name ON records (full_name);
CREATE INDEX records_by_run ON records (run_id);
CREATE TABLE metrics (
    run_id INTEGER NOT NULL,
    kind TEXT NOT NULL,
    reason TEXT NOT NULL DEFAULT '',
    detail TEXT NOT NULL DEFAULT '',
    count INTEGER NOT NULL,
    PRIMARY KEY (run_id, kind, reason, detail)
);
CREATE TABLE drops (
    run_id INTEGER NOT NULL,
    channel TEXT NOT NULL,
    reason TEXT NOT NULL,
    count INTEGER NOT NULL,
    PRIMARY KEY (run_id, channel, reason)
);
"""

# Added after the first layout, by every writer that opens a store (new or
# older); readers of the first layout ignore them. ``records.test`` is the node
# id of the test that was running when the record was made.
_PROCESSES_TABLE = """
CREATE TABLE IF NOT EXISTS processes (
    run_id INTEGER NOT NULL,
    pid INTEGER NOT NULL,
    parent_pid INTEGER,
    how TEXT NOT NULL,
    started REAL NOT NULL,
    ended REAL,
    argv TEXT,
    exit_code INTEGER,
    recording TEXT,
    PRIMARY KEY (run_id, pid, started)
)"""

BUSY_TIMEOUT = 30.0


class StoreError(Exception):
    """The store cannot be created, opened or read; the message says why."""


def _describe(exc):
    return str(exc) or type(exc).__name__


def open_store(path, create=False, readonly=False):
    """Opens the store at ``path``; with ``create`` makes it when missing.

    Raises StoreError with a message fit for the user on every failure.
    """
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
    try:
        _check_or_init(conn, path, may_init=create and not readonly)
    except StoreError:
        conn.close()
        raise
    except sqlite3.Error as exc:
        conn.close()
        raise StoreError(f"{path} is not a readable record store: {_describe(exc)}") from None
    return conn


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
    if readonly:
        uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
        try:
            conn = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT, isolation_level=None)
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
        except sqlite3.OperationalError:
            # A WAL store in a directory we cannot write to: no shared-memory
            # file can be made, so read it as an immutable snapshot.
            conn = sqlite3.connect(uri + "&immutable=1", uri=True, timeout=BUSY_TIMEOUT,
                                   isolation_level=None)
        return conn
    conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None)
    return conn


def _check_or_init(conn, path, may_init):
    tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    if not tables:
        if not may_init:
            raise StoreError(f"{path} is an empty record store (nothing was recorded into it)")
        conn.execute("PRAGMA journal_mode=WAL").fetchone()
        conn.execute("BEGIN IMMEDIATE")
        try:
            # A second process may have initialised it between our look and the lock.
            if not conn.execute("SELECT 1 FROM sqlite_master WHERE name='meta'").fetchone():
                # Statement by statement: executescript() would commit our transaction.
                for statement in _SCHEMA.split(";"):
                    if statement.strip():
                        conn.execute(statement)
                conn.execute("INSERT INTO meta VALUES ('schema_version', ?)", (str(SCHEMA_VERSION),))
                conn.execute("INSERT INTO meta VALUES ('created', ?)", (repr(time.time()),))
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        tables = {"meta"}
    if "meta" not in tables:
        raise StoreError(f"{path} is an SQLite file but not a record store")
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
    if may_init:
        conn.execute("PRAGMA synchronous=NORMAL")
        _add_process_tables(conn)


def _add_process_tables(conn):
    if _has_column(conn, "records", "test") and _has_table(conn, "processes"):
        return
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another writer may have added them between our look and the lock.
        if not _has_column(conn, "records", "test"):
            conn.execute("ALTER TABLE records ADD COLUMN test TEXT")
        conn.execute(_PROCESSES_TABLE)
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


def _has_table(conn, name):
    return conn.execute("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?",
                        (name,)).fetchone() is not None


def _has_column(conn, table, column):
    return any(row[1] == column for row in conn.execute(f"PRAGMA table_info({table})"))


# -- writing ---------------------------------------------------------------

def create_run(conn, pid, argv, project, rate, python, recording):
    cur = conn.execute(
        "INSERT INTO runs (pid, started, argv, project, rate, python, recording) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)",
        (pid, time.time(), json.dumps(list(argv)), project, rate, python, recording))
    return cur.lastrowid


def set_run_recording(conn, run_id, recording):
    conn.execute("UPDATE runs SET recording=? WHERE id=?", (recording, run_id))


def finish_run(conn, run_id, exit_code=None, recording=None):
    conn.execute("UPDATE runs SET ended=?, exit_code=?, recording=coalesce(?, recording) WHERE id=?",
                 (time.time(), exit_code, recording, run_id))


def insert_records(conn, rows):
    """rows: (run_id, full_name, module, file, pid, thread, time, raised, size, data[, test])."""
    rows = [row if len(row) == 11 else (*row, None) for row in rows]
    conn.executemany(
        "INSERT INTO records (run_id, full_name, module, file, pid, thread, time, raised, size, data,"
        " test) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)


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
        "ON CONFLICT (run_id, kind, reason, detail) DO UPDATE SET count = count + excluded.count",
        [(run_id, k, r, d, n) for (k, r, d), n in counts.items()])


def set_drop_totals(conn, run_id, totals):
    """totals: {(channel, reason): running total}; a smaller total never wins."""
    conn.executemany(
        "INSERT INTO drops (run_id, channel, reason, count) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (run_id, channel, reason) DO UPDATE SET count = max(count, excluded.count)",
        [(run_id, c, r, n) for (c, r), n in totals.items()])


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


def _where(run_id, extra=(), params=()):
    clauses = list(extra)
    params = list(params)
    if run_id is not None:
        clauses.append("run_id = ?")
        params.append(run_id)
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


def list_runs(conn):
    cols = ("id", "pid", "started", "ended", "argv", "project", "rate", "python", "exit_code",
            "recording")
    rows = conn.execute(
        "SELECT r.id, r.pid, r.started, r.ended, r.argv, r.project, r.rate, r.python, r.exit_code,"
        " r.recording, (SELECT count(*) FROM records WHERE run_id = r.id) FROM runs r ORDER BY r.id")
    out = []
    for row in rows:
        item = dict(zip(cols, row[:-1]))
        item["argv"] = json.loads(item["argv"]) if item["argv"] else []
        item["records"] = row[-1]
        item["processes"] = len(list_processes(conn, item["id"])) or 1
        out.append(item)
    return out


def list_processes(conn, run_id):
    """The recorded processes of a run, oldest first, each with its record count.

    Runs recorded before processes were entered have no rows of their own:
    their processes are those their records name (with ``how`` None).
    """
    counts = dict(conn.execute(
        "SELECT pid, count(*) FROM records WHERE run_id=? GROUP BY pid", (run_id,)))
    cols = ("pid", "parent_pid", "how", "started", "ended", "argv", "exit_code", "recording")
    out = []
    if _has_table(conn, "processes"):
        for row in conn.execute(f"SELECT {', '.join(cols)} FROM processes WHERE run_id=?"
                                " ORDER BY started", (run_id,)):
            item = dict(zip(cols, row))
            item["argv"] = json.loads(item["argv"]) if item["argv"] else []
            # A pid reused within a run has its records counted once, on its first row.
            item["records"] = counts.pop(item["pid"], 0)
            out.append(item)
    for pid, n in sorted(counts.items(), key=lambda kv: (kv[0] is None, kv[0] or 0)):
        out.append(dict(dict.fromkeys(cols), pid=pid, argv=[], records=n))
    return out


def _test_filter(conn, test):
    if test is None:
        return [], []
    if not _has_column(conn, "records", "test"):
        return ["0"], []  # written before tests were tagged: no record matches
    return ["test = ?"], [test]


def function_summary(conn, run_id=None, test=None):
    """One dict per recorded function: calls, how many raised, sizes, file."""
    where, params = _where(run_id, *_test_filter(conn, test))
    rows = conn.execute(
        "SELECT full_name, module, file, count(*), sum(raised), sum(size), max(size), max(time)"
        f" FROM records{where} GROUP BY full_name, module, file ORDER BY count(*) DESC, full_name",
        params)
    return [dict(function=r[0], module=r[1], file=r[2], calls=r[3], raised=r[4], total_size=r[5],
                 max_size=r[6], last_time=r[7]) for r in rows]


RECORD_COLUMNS = ("id", "run_id", "full_name", "module", "file", "pid", "thread", "time", "raised",
                  "size", "data", "test")


def iter_records(conn, run_id=None, function=None, record_id=None, limit=None, newest_first=False,
                 test=None):
    extra, params = _test_filter(conn, test)
    if function is not None:
        extra.append("full_name = ?")
        params.append(function)
    if record_id is not None:
        extra.append("id = ?")
        params.append(record_id)
    where, params = _where(run_id, extra, params)
    columns = RECORD_COLUMNS if _has_column(conn, "records", "test") else RECORD_COLUMNS[:-1]
    sql = f"SELECT {', '.join(columns)} FROM records{where} ORDER BY id"
    if newest_first:
        sql += " DESC"
    if limit is not None:
        sql += " LIMIT ?"
        params.append(int(limit))
    for row in conn.execute(sql, params):
        record = dict(zip(columns, row))
        record.setdefault("test", None)
        yield record


def matching_functions(conn, pattern, run_id=None, test=None):
    """Full names equal to ``pattern``, else those ending in it or containing it."""
    where, params = _where(run_id, *_test_filter(conn, test))
    names = [r[0] for r in conn.execute(f"SELECT DISTINCT full_name FROM records{where}", params)
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
        f"SELECT kind, reason, detail, sum(count) FROM metrics{where} GROUP BY kind, reason, detail"
        " ORDER BY kind, reason, detail", params)
    return [dict(kind=k, reason=r, detail=d, count=n) for k, r, d, n in rows]


def drop_counts(conn, run_id=None):
    where, params = _where(run_id)
    rows = conn.execute(
        f"SELECT channel, reason, sum(count) FROM drops{where} GROUP BY channel, reason"
        " ORDER BY channel, reason", params)
    return [dict(channel=c, reason=r, count=n) for c, r, n in rows]


def record_count(conn, run_id=None):
    where, params = _where(run_id)
    return conn.execute(f"SELECT count(*) FROM records{where}", params).fetchone()[0]
