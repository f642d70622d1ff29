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


def test_store_of_the_first_layout_is_read_as_is_and_extended_by_a_writer(tmp_path):
    path = tmp_path / "old.db"
    conn = store.open_store(path, create=True)
    run = store.create_run(conn, 7, ["p.py"], "/p", 1.0, "3.10", "on")
    store.insert_records(conn, [(run, "m.f", "m", "f", 7, 1, 1.0, 0, 1, b"x")])
    # Back to the layout written before processes and tests were recorded.
    conn.execute("DROP TABLE processes")
    conn.execute("ALTER TABLE records DROP COLUMN test")
    conn.close()
    old = store.open_store(path, readonly=True)
    assert [p["pid"] for p in store.list_processes(old, run)] == [7]
    assert [r["test"] for r in store.iter_records(old)] == [None]
    assert store.function_summary(old, test="t::x") == []
    old.close()
    writer = store.open_store(path, create=True)
    started = store.add_process(writer, run, 8, 7, "forked", ["p.py"], "on")
    store.insert_records(writer, [(run, "m.g", "m", "f", 8, 1, 2.0, 0, 1, b"y", "t::x")])
    store.finish_process(writer, run, 8, started, 0)
    assert [r["full_name"] for r in store.iter_records(writer, test="t::x")] == ["m.g"]
    child, root = store.list_processes(writer, run)
    assert (child["how"], child["records"], child["exit_code"]) == ("forked", 1, 0)
    assert (root["pid"], root["how"], root["records"]) == (7, None, 1)
