import os
import sqlite3
import stat

import pytest

from corvane_collector.host import store


def test_new_store_is_private_wal_and_versioned(tmp_path):
    path = tmp_path / "r.db"
    conn = store.open_store(path, create=True)
    run = store.create_run(conn, 1, ["a"], "/p", 0.5, "3.10.13", "on")
    store.insert_records(conn, [(run, "m.f", "m", "/p/m.py", 1, 2, 3.0, 0, 4, b"data")])
    assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert conn.execute("SELECT value FROM meta WHERE key='schema_version'").fetchone()[0] == \
        str(store.SCHEMA_VERSION)
    for suffix in ("", "-wal", "-shm"):
        p = str(path) + suffix
        assert os.path.exists(p), p
        assert stat.S_IMODE(os.stat(p).st_mode) == 0o600, p
    conn.close()


def test_store_created_private_even_with_a_permissive_umask(tmp_path):
    old = os.umask(0)
    try:
        store.open_store(tmp_path / "r.db", create=True).close()
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "r.db").st_mode) == 0o600


def test_reopening_keeps_data_and_concurrent_initialisation_is_safe(tmp_path):
    path = tmp_path / "r.db"
    a = store.open_store(path, create=True)
    b = store.open_store(path, create=True)
    run = store.create_run(a, 1, [], "/p", 1.0, "3.10", "on")
    store.insert_records(b, [(run, "m.f", "m", "f", 1, 1, 1.0, 1, 1, b"x")])
    a.close()
    b.close()
    c = store.open_store(path, readonly=True)
    assert store.record_count(c) == 1
    assert store.function_summary(c)[0]["raised"] == 1


@pytest.mark.parametrize("content,needle", [
    (b"this is not a database, just text" * 100, "not a readable record store"),
    (b"SQLite format 3\x00" + b"\xff" * 2000, "not a readable record store"),
])
def test_corrupt_store_gives_a_clear_error(tmp_path, content, needle):
    path = tmp_path / "bad.db"
    path.write_bytes(content)
    for kwargs in ({"create": True}, {"readonly": True}):
        with pytest.raises(store.StoreError) as info:
            store.open_store(path, **kwargs)
        assert str(path) in str(info.value)
        assert needle in str(info.value) or "cannot open" in str(info.value)


def test_foreign_sqlite_file_and_newer_schema_are_refused(tmp_path):
    other = tmp_path / "other.db"
    conn = sqlite3.connect(other)
    conn.execute("CREATE TABLE t (x)")
    conn.commit()
    conn.close()
    with pytest.raises(store.StoreError, match="not a record store"):
        store.open_store(other, create=True)
    newer = tmp_path / "newer.db"
    store.open_store(newer, create=True).close()
    conn = sqlite3.connect(newer)
    conn.execute("UPDATE meta SET value=? WHERE key='schema_version'", (str(store.SCHEMA_VERSION + 1),))
    conn.commit()
    conn.close()
    with pytest.raises(store.StoreError, match="newer version"):
        store.open_store(newer, readonly=True)


def test_missing_and_unwritable_locations(tmp_path):
    with pytest.raises(store.StoreError, match="no record store"):
        store.open_store(tmp_path / "absent.db", readonly=True)
    with pytest.raises(store.StoreError, match="does not exist"):
        store.open_store(tmp_path / "no" / "dir" / "r.db", create=True)
    with pytest.raises(store.StoreError, match="is a directory"):
        store.open_store(tmp_path, create=True)
    # /proc refuses new files even to root.
    with pytest.raises(store.StoreError, match="cannot create"):
        store.open_store("/proc/corvane-records.db", create=True)
    assert not os.path.exists(tmp_path / "absent.db")


def test_empty_file_is_initialised_for_writing_but_reported_when_reading(tmp_path):
    path = tmp_path / "empty.db"
    path.write_bytes(b"")
    with pytest.raises(store.StoreError, match="empty record store"):
        store.open_store(path, readonly=True)
    store.open_store(path, create=True).close()
    assert store.record_count(store.open_store(path, readonly=True)) == 0


def test_read_only_store_in_read_only_directory_is_readable(tmp_path):
    d = tmp_path / "ro"
    d.mkdir()
    path = d / "r.db"
    conn = store.open_store(path, create=True)
    run = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    store.insert_records(conn, [(run, "m.f", "m", "f", 1, 1, 1.0, 0, 1, b"x")])
    conn.close()  # last connection: WAL checkpointed, -wal/-shm removed
    os.chmod(path, 0o400)
    os.chmod(d, 0o500)
    try:
        c = store.open_store(path, readonly=True)
        assert store.record_count(c) == 1
        with pytest.raises(sqlite3.OperationalError):
            c.execute("DELETE FROM records")
        c.close()
    finally:
        os.chmod(d, 0o700)


def test_metric_counts_add_up_and_drop_totals_keep_the_largest(tmp_path):
    conn = store.open_store(tmp_path / "r.db", create=True)
    r1 = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    r2 = store.create_run(conn, 2, [], "/p", 1.0, "3.10", "on")
    store.add_metric_counts(conn, r1, {("CollectionTry", "", ""): 3, ("Unpicklable", "reduce", "m.C"): 1})
    store.add_metric_counts(conn, r1, {("CollectionTry", "", ""): 2})
    store.add_metric_counts(conn, r2, {("CollectionTry", "", ""): 10})
    store.set_drop_totals(conn, r1, {("data", "queue full"): 4})
    store.set_drop_totals(conn, r1, {("data", "queue full"): 2})
    by_run = {m["kind"]: m["count"] for m in store.metric_counts(conn, r1)}
    assert by_run == {"CollectionTry": 5, "Unpicklable": 1}
    assert {m["kind"]: m["count"] for m in store.metric_counts(conn)}["CollectionTry"] == 15
    assert store.drop_counts(conn, r1) == [{"channel": "data", "reason": "queue full", "count": 4}]
    assert store.drop_counts(conn, r2) == []


def test_runs_and_record_queries(tmp_path):
    conn = store.open_store(tmp_path / "r.db", create=True)
    with pytest.raises(store.StoreError, match="no runs"):
        store.resolve_run(conn, "last")
    r1 = store.create_run(conn, 1, ["a.py", "x"], "/p", 1.0, "3.10", "on")
    r2 = store.create_run(conn, 2, ["-m", "b"], "/p", 0.5, "3.10", "off: why")
    rows = [(r1, "m.C.f", "m", "f", 1, 1, 1.0, 0, 10, b"1"),
            (r1, "m.C.f", "m", "f", 1, 1, 2.0, 1, 30, b"2"),
            (r2, "m.g", "m", "f", 2, 1, 3.0, 0, 5, b"3"),
            (r2, "m.Cf", "m", "f", 2, 1, 4.0, 0, 5, b"4")]
    store.insert_records(conn, rows)
    store.finish_run(conn, r1, 3)
    assert store.resolve_run(conn, "last") == r2
    assert store.resolve_run(conn, "all") is None
    assert store.resolve_run(conn, str(r1)) == r1
    with pytest.raises(store.StoreError, match="no run 99"):
        store.resolve_run(conn, "99")
    with pytest.raises(store.StoreError, match="bad run"):
        store.resolve_run(conn, "yesterday")
    summary = store.function_summary(conn)
    assert [(f["function"], f["calls"], f["raised"], f["total_size"]) for f in summary] == \
        [("m.C.f", 2, 1, 40), ("m.Cf", 1, 0, 5), ("m.g", 1, 0, 5)]
    assert [f["function"] for f in store.function_summary(conn, r2)] == ["m.Cf", "m.g"]
    runs = store.list_runs(conn)
    assert [(r["id"], r["exit_code"], r["records"], r["argv"]) for r in runs] == \
        [(r1, 3, 2, ["a.py", "x"]), (r2, None, 2, ["-m", "b"])]
    assert runs[0]["ended"] is not None and runs[1]["ended"] is None
    assert store.matching_functions(conn, "m.g") == ["m.g"]
    assert store.matching_functions(conn, "f") == ["m.C.f"]  # suffix after a dot beats substring
    assert store.matching_functions(conn, "C") == ["m.C.f", "m.Cf"]
    assert store.matching_functions(conn, "nothing") == []
    newest = list(store.iter_records(conn, function="m.C.f", limit=1, newest_first=True))
    assert [r["data"] for r in newest] == [b"2"]


def test_store_made_before_processes_is_read_as_is_and_extended_by_a_writer(store_location):
    conn = store.open_store(store_location, create=True)
    run = store.create_run(conn, 7, ["p.py"], "/p", 1.0, "3.10", "on")
    store.insert_records(conn, [(run, "m.f", "m", "f", 7, 1, 1.0, 0, 1, b"x")])
    # Back to the layout written before processes and tests were recorded.
    conn.execute("DROP TABLE processes")
    conn.execute("ALTER TABLE calls DROP COLUMN test")
    conn.close()
    old = store.open_store(store_location, readonly=True)
    assert [p["pid"] for p in store.list_processes(old, run)] == [7]
    assert store.list_runs(old)[0]["processes"] == 1
    assert [r["test"] for r in store.iter_records(old)] == [None]
    assert store.function_summary(old, test="t::x") == []
    assert list(store.iter_records(old, test="t::x")) == []
    old.close()
    writer = store.open_store(store_location, create=True)
    started = store.add_process(writer, run, 8, 7, "forked", ["p.py"], "on")
    store.insert_records(writer, [(run, "m.g", "m", "f", 8, 1, 2.0, 0, 1, b"y", "t::x"),
                                  (run, "m.g", "m", "f", 8, 1, 3.0, 1, 1, b"z", "t::y")])
    store.finish_process(writer, run, 8, started, 0)
    assert [(r["full_name"], r["data"]) for r in store.iter_records(writer, test="t::x")] == \
        [("m.g", b"y")]
    assert [(f["function"], f["calls"], f["raised"])
            for f in store.function_summary(writer, run, test="t::y")] == [("m.g", 1, 1)]
    assert store.matching_functions(writer, "g", run, test="t::x") == ["m.g"]
    assert store.matching_functions(writer, "f", run, test="t::x") == []
    child, root = store.list_processes(writer, run)
    assert (child["how"], child["records"], child["exit_code"]) == ("forked", 2, 0)
    assert (root["pid"], root["how"], root["records"]) == (7, None, 1)
    writer.close()


def _rows(run, payloads, name="m.f"):
    return [(run, name, "m", "/p/m.py", 1, 2, float(i), 0, len(p), p) for i, p in enumerate(payloads)]


def test_payloads_come_back_exactly_stored_once_and_compressed(store_location):
    conn = store.open_store(store_location, create=True)
    run = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    big = b"".join(b"item %d of a long similar record;" % i for i in range(2000))
    payloads = [b"", b"tiny", os.urandom(5000), big, big, b"tiny"]
    # Enough alike records of one function for a trained dictionary.
    similar = [b"".join(b"field%d=%d;" % (j, (i * j) % 97) for j in range(300)) for i in range(40)]
    store.insert_records(conn, _rows(run, payloads))
    store.insert_records(conn, _rows(run, similar, "m.g"))
    got = [r["data"] for r in store.iter_records(conn)]
    assert got == payloads + similar
    blobs = conn.execute("SELECT count(*), sum(length(data)), max(codec) FROM blobs").fetchone()
    assert blobs[0] == len(set(payloads + similar))
    assert blobs[1] < sum(map(len, set(payloads + similar))) / 3
    assert blobs[2] == 2  # the later records of m.g used the function's dictionary
    assert conn.execute("SELECT count(*) FROM dictionaries").fetchone()[0] == 1


def test_retention_keeps_the_newest_calls_per_function_and_counts_the_rest(store_location):
    conn = store.open_store(store_location, create=True)
    run = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    other = store.create_run(conn, 2, [], "/p", 1.0, "3.10", "on")
    store.insert_records(conn, _rows(other, [b"o%d" % i for i in range(5)]))
    for start in (0, 3, 6):  # batches below, at and across the limit
        payloads = [b"p%d" % (i % 4) * 40 for i in range(start, start + 3)]
        store.insert_records(conn, _rows(run, payloads) + _rows(run, [b"g"], "m.g"),
                             keep_per_function=4)
    kept = [(r["full_name"], r["data"]) for r in store.iter_records(conn, run)]
    assert kept == [("m.g", b"g"), ("m.f", b"p1" * 40), ("m.g", b"g"), ("m.f", b"p2" * 40),
                    ("m.f", b"p3" * 40), ("m.f", b"p0" * 40), ("m.g", b"g")]
    assert store.record_count(conn, other) == 5  # another run is never trimmed
    (f, g) = store.function_summary(conn, run)
    assert (f["function"], f["calls"], f["stored"], g["stored"]) == ("m.f", 9, 4, 3)
    not_kept = [m for m in store.metric_counts(conn, run) if m["kind"] == store.NOT_KEPT]
    assert [(m["detail"], m["count"]) for m in not_kept] == [("m.f", 5)]
    # Blobs of evicted calls are gone; shared ones are counted right.
    refs = dict(conn.execute("SELECT data, refs FROM blobs WHERE size = 80").fetchall())
    assert sorted(refs.values()) == [1, 1, 1, 1]


def test_store_size_limit_stops_storing_and_counts(tmp_path):
    conn = store.open_store(tmp_path / "r.db", create=True)
    run = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    limit = conn.used_bytes() + 200_000
    for i in range(20):
        store.insert_records(conn, _rows(run, [os.urandom(50_000)]), max_store_size=limit)
    stored = store.record_count(conn, run)
    assert 3 <= stored < 20
    counts = {m["reason"]: m["count"] for m in store.metric_counts(conn, run)}
    assert counts == {store.REASON_FULL: 20 - stored}


def test_damaged_blob_reads_as_a_load_failure_naming_its_record(store_location):
    from corvane_collector.data_serialization.corv_pickle import LoadFailure

    conn = store.open_store(store_location, create=True)
    run = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
    payloads = [b"first " * 100, b"second " * 100, b"third r. " * 100]
    store.insert_records(conn, _rows(run, payloads))
    blob = conn.execute("SELECT data FROM blobs WHERE size = ?", (len(payloads[1]),)).fetchone()[0]
    conn.execute("UPDATE blobs SET data = ? WHERE size = ?", (bytes(blob)[:-9], len(payloads[1])))
    conn.execute("UPDATE blobs SET data = ? WHERE size = ?",
                 (bytes(blob[:12]) + b"\0" * 8 + bytes(blob[20:]), len(payloads[2])))
    got = list(store.iter_records(conn))
    assert got[0]["data"] == payloads[0]
    for rec in got[1:]:
        assert type(rec["data"]) is LoadFailure and rec["data"].name == f"record {rec['id']}"
    assert "damaged" in got[1]["data"].error
    from corvane_collector.host import decode
    assert "record 2" in decode.CallView(got[1]["data"]).error


# What version 1 of the store wrote: payloads inline in one table.
V1_RECORDS = """CREATE TABLE records (id INTEGER PRIMARY KEY, run_id INTEGER NOT NULL,
    full_name TEXT, module TEXT, file TEXT, pid INTEGER, thread INTEGER, time REAL,
    raised INTEGER NOT NULL, size INTEGER NOT NULL, data BLOB NOT NULL)"""


def make_v1_store(path):
    conn = sqlite3.connect(path)
    for statement in store.schema_statements(store.V1_TABLES, store.SQLITE_TYPES) + [
            V1_RECORDS, "CREATE INDEX records_by_name ON records (full_name)",
            "CREATE INDEX records_by_run ON records (run_id)"]:
        conn.execute(statement)
    conn.execute("INSERT INTO meta VALUES ('schema_version', '1')")
    conn.execute("INSERT INTO runs (id, pid, started, argv, project, rate, python, recording)"
                 " VALUES (1, 5, 1.0, '[\"old.py\"]', '/p', 1.0, '3.10', 'on')")
    conn.executemany("INSERT INTO records VALUES (?, 1, ?, 'm', '/p/m.py', 5, 7, ?, ?, ?, ?)",
                     [(i, f"m.f{i % 2}", float(i), i % 2, 3, b"v1%d" % i) for i in range(1, 6)])
    conn.commit()
    conn.close()


def _v1_view(conn):
    return ([(f["function"], f["calls"], f["raised"]) for f in store.function_summary(conn)],
            [(r["id"], r["data"]) for r in store.iter_records(conn)], store.list_runs(conn)[0]["records"])


def test_v1_store_is_read_as_it_is_and_upgraded_only_when_written(tmp_path, monkeypatch):
    path = tmp_path / "v1.db"
    make_v1_store(path)
    expected = ([("m.f1", 3, 3), ("m.f0", 2, 0)],
                [(i, b"v1%d" % i) for i in range(1, 6)], 5)
    old = store.open_store(path, readonly=True)
    assert _v1_view(old) == expected
    assert [(p["pid"], p["records"]) for p in store.list_processes(old, 1)] == [(5, 5)]
    # An upgrade that fails half-way leaves the old store as it was.
    real_execute = store.SqliteStore.execute

    def failing(self, sql, *args):
        if sql.startswith("INSERT INTO summaries"):
            raise sqlite3.OperationalError("disk I/O error")
        return real_execute(self, sql, *args)
    monkeypatch.setattr(store.SqliteStore, "execute", failing)
    with pytest.raises(store.StoreError, match="cannot upgrade .* left as it was"):
        store.open_store(path, create=True)
    monkeypatch.undo()
    conn = store.open_store(path, readonly=True)
    assert conn.schema_version == 1 and _v1_view(conn) == expected
    conn.close()
    conn = store.open_store(path, create=True)
    assert conn.schema_version == 2 and _v1_view(conn) == expected
    store.insert_records(conn, _rows(1, [b"new"]))
    assert [r["id"] for r in store.iter_records(conn, function="m.f", newest_first=True)] == [6]
    assert [r["id"] for r in store.iter_records(conn, limit=2, newest_first=True)] == [6, 5]
