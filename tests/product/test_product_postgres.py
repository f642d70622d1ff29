import os
import subprocess
import sys
import textwrap

import pytest

from corvane_collector import starter
from corvane_collector.host import store

WRITER = textwrap.dedent("""
    import os, sys
    import corvane_collector as cc
    sys.path.insert(0, sys.argv[3])
    import product_fakes as fakes
    n = int(sys.argv[2])
    s = cc.start(sys.argv[4], 1.0, sys.argv[1], keep_per_function=0, exit_timeout=200)
    for i in range(n):
        # Half the records are alike in every process: their blobs are shared.
        same = i % 2 == 0
        s.data.send_message(fakes.record("proj.shared" if same else "proj.own",
                                         args=(i % 10 if same else (os.getpid(), i), "x" * 3000)))
    summary = cc.stop()
    assert summary["dropped"] == 0 and summary["records"] == n, summary
""")


def test_eight_processes_record_into_one_database_at_once_and_lose_nothing(postgres, tmp_path):
    url = postgres.new_database()
    here = os.path.dirname(os.path.abspath(__file__))
    n = 300
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, url, str(n), here, str(tmp_path)],
                              stderr=subprocess.PIPE, text=True) for _ in range(8)]
    errors = [p.communicate(timeout=300)[1] for p in procs]
    assert [p.returncode for p in procs] == [0] * 8, errors
    conn = store.open_store(url, readonly=True)
    runs = store.list_runs(conn)
    assert sorted(r["records"] for r in runs) == [n] * 8
    for run in runs:
        recs = list(store.iter_records(conn, run["id"]))
        assert [r["pid"] for r in recs] == [run["pid"]] * n
        assert all(isinstance(r["data"], bytes) and len(r["data"]) == r["size"] for r in recs)
    blobs, refs = conn.execute("SELECT count(*), CAST(sum(refs) AS BIGINT) FROM blobs").fetchone()
    assert refs == 8 * n and blobs == 5 + 8 * n // 2


@pytest.mark.parametrize("which", ["unreachable", "unknown role"])
def test_store_that_cannot_be_reached_or_authenticated_stops_before_the_program(
        which, tmp_path, postgres):
    url = (f"postgresql://corvane@/db?host={tmp_path}" if which == "unreachable"
           else postgres.url(user="nobody_here"))
    with pytest.raises(starter.StartError, match="cannot connect to the record store"):
        starter.start(tmp_path, 1.0, url)
    assert starter.current() is None
    (tmp_path / "p.py").write_text("open('ran', 'w').write('x')\n")
    env = dict(os.environ, CORVANE_STORE=url)
    r = subprocess.run([sys.executable, "-m", "corvane_collector", "run", "p.py"], cwd=tmp_path,
                       env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and "cannot connect to the record store" in r.stderr, r.stderr
    assert not (tmp_path / "ran").exists()
    if which == "unknown role":
        assert store.list_runs(store.open_store(postgres.url(), create=True)) == []
