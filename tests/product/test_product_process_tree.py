"""A recorded program's child processes join its run: subprocesses, spawn pools,
forks, pytest-xdist workers; a bad inherited run variable never fails a child."""

import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import time

import pytest

from corvane_collector.host import process_tree
from test_product_end_to_end import _interceptor_ready
from test_product_real_project import SDIST, _counts

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(ROOT, "examples", "shop")
HOOK = os.path.join(ROOT, "corvane_collector", "corvane_collector_processes.pth")


def _recording_ready():
    hook = os.path.join(sysconfig.get_paths()["purelib"], os.path.basename(HOOK))
    return _interceptor_ready() and os.path.exists(hook)


needs_recording = pytest.mark.skipif(not _recording_ready(),
                                     reason="interceptor not built or start-up hook not installed")


def _env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTEST_ADDOPTS", process_tree.ENV_RUN)}
    return dict(env, PYTHONDONTWRITEBYTECODE="1", **extra)


def py(*args, cwd, env=None):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=600, env=env or _env())


def read(db, *args):
    out = py("-m", "corvane_collector", *args, "--store", db,
             cwd=os.path.dirname(db) if os.path.isabs(db) else ROOT)
    assert out.returncode == 0, out.stderr
    return out.stdout


def export(db, *args):
    return [json.loads(line) for line in read(db, "export", *args).splitlines()]


TREE = """
import multiprocessing as mp, os, subprocess, sys

def work(n):
    return sum(range(n))

def keep(barrier):
    global BARRIER
    BARRIER = barrier

def pooled(n):
    BARRIER.wait()           # one task per worker: both workers are used
    return work(n)

def main():
    here = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {here!r}); "
                            "import tree; print(tree.work(7))"], capture_output=True, text=True)
    ctx = mp.get_context("spawn")
    pool = ctx.Pool(2, initializer=keep, initargs=(ctx.Barrier(2),))
    pooled_results = [r.get() for r in [pool.apply_async(pooled, (n,)) for n in (3, 4)]]
    pool.close()
    pool.join()
    pid = os.fork()
    if pid == 0:
        work(999)
        os._exit(3)          # the usual end of a forked worker: it still flushes
    print(child.stdout.strip(), pooled_results, os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    return work(5)

if __name__ == "__main__":
    sys.exit(main() - 10)
"""


@needs_recording
def test_subprocess_spawn_pool_and_fork_join_one_run(tmp_path, store_location):
    (tmp_path / "proj").mkdir()
    (tmp_path / "proj" / "tree.py").write_text(textwrap.dedent(TREE))
    plain = py("proj/tree.py", cwd=tmp_path)
    db = store_location
    r = py("-m", "corvane_collector", "run", "--store", db, "--on-full", "drop", "proj/tree.py",
           cwd=tmp_path)
    assert (r.returncode, r.stdout) == (plain.returncode, plain.stdout) == (0, "21 [3, 6] 3\n"), r.stderr
    assert "this process is not recorded" not in r.stderr
    (run,) = json.loads(read(db, "runs", "--json"))
    work = {}
    # By function: decoding the record of main (a Pool among its external call results)
    # grows without bound in decode.to_json, a fault of its own.
    for name in ("__main__.work", "tree.work", "__mp_main__.work"):
        for c in export(db, "--function", name):
            work.setdefault(c["pid"], set()).add(c["args_before"][0])
    assert sorted(map(sorted, work.values())) == [[3], [4], [5], [7], [999]], work
    stats = json.loads(read(db, "stats", "--json"))
    procs = {p["pid"]: p for p in stats["processes"]}
    assert set(work) <= set(procs) and run["processes"] == len(procs)
    assert procs[run["pid"]]["how"] == "root" and procs[run["pid"]]["exit_code"] == 0
    (forked,) = [p for p in procs.values() if p["how"] == "forked"]
    assert forked["exit_code"] == 3 and forked["records"] == 1
    assert forked["parent_pid"] == run["pid"]
    assert all(p["ended"] is not None for p in procs.values()), procs
    assert not [p for p in procs.values() if "--kind" in p["argv"]]  # handlers never recorded
    assert stats["dropped"] == 0


def test_children_inherit_the_run_settings(monkeypatch):
    from corvane_collector import starter
    session = starter.Session()
    session.store_location, session.run_id, session.project_path = "postgresql://u@h/d", 4, "/p"
    session.rate = 0.5
    session.options = dict(external_calls_max=3, tenant_id="t", project_id="p",
                           max_queue_messages=10, max_queue_bytes=None, on_full="drop",
                           keep_per_function=7, max_store_size=1 << 20)
    monkeypatch.delenv(process_tree.ENV_RUN, raising=False)
    process_tree.export(session)
    kwargs, join = process_tree._settings(os.environ.pop(process_tree.ENV_RUN))
    assert join["run_id"] == 4 and kwargs["store"] == "postgresql://u@h/d"
    assert {k: kwargs[k] for k in ("on_full", "keep_per_function", "max_store_size",
                                   "max_queue_messages", "collecting_rate")} == \
        dict(on_full="drop", keep_per_function=7, max_store_size=1 << 20, max_queue_messages=10,
             collecting_rate=0.5)


@needs_recording
@pytest.mark.parametrize("suite, how", [("example", "plugin"), ("example", "run"),
                                        ("toolz", "plugin")])
def test_xdist_workers_are_recorded_with_node_ids(tmp_path, suite, how):
    args, cwd, tests = ["-m", "pytest", "-q", "-n", "2"], EXAMPLE, "tests"
    if suite == "toolz":
        if not os.path.exists(SDIST):
            pytest.skip("toolz source not fetched by setup")
        import tarfile
        with tarfile.open(SDIST) as tar:
            tar.extractall(tmp_path)
        cwd, tests = str(tmp_path / "toolz-1.0.0"), "toolz/tests"
        args += ["-p", "no:cacheprovider", tests]
    plain = py(*args, cwd=cwd)
    db = str(tmp_path / "r.db")
    if how == "plugin":
        r = py(*args, "--corvane", "--corvane-rate", "0.05" if suite == "toolz" else "1",
               f"--corvane-store={db}", cwd=cwd)
    else:
        r = py("-m", "corvane_collector", "run", "--store", db, "--project", cwd, *args, cwd=cwd)
    assert r.returncode == plain.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    assert _counts(r.stdout) == _counts(plain.stdout)
    assert re.search(r"run 1: recorded \d+ calls of \d+ functions in 3 processes", r.stderr), r.stderr
    tagged = {}
    for c in export(db):
        if c["test"] is not None:
            tagged.setdefault(c["pid"], set()).add(c["test"])
    assert len(tagged) == 2, tagged.keys()  # both workers
    nodeid = sorted(tagged[min(tagged)])[0]
    assert nodeid.startswith(tests + "/") and "::" in nodeid
    selected = export(db, "--test", nodeid)
    assert selected and {c["test"] for c in selected} == {nodeid}
    listed = json.loads(read(db, "list", "--json", "--test", nodeid))
    assert sum(f["calls"] for f in listed) == len(selected)
    if suite == "example":
        total = [c["return_value"] for c in export(db, "--test", "tests/test_cart.py::test_totals")
                 if c["function"] == "shop.cart.Cart.total"]
        assert total == [5047]


BAD_VALUES = {
    "unreadable": ("{not json", "CORVANE_COLLECTOR_RUN is unreadable"),
    "stale": (None, "run 1 has already ended (CORVANE_COLLECTOR_RUN is left over"),
}


@needs_recording
@pytest.mark.parametrize("case", sorted(BAD_VALUES))
def test_bad_run_variable_leaves_the_child_unrecorded_and_says_so_once(tmp_path, case):
    (tmp_path / "p.py").write_text("import os\ndef f():\n    return 1\nf()\n"
                                   f"print(os.environ.get({process_tree.ENV_RUN!r}, ''))\n")
    db = str(tmp_path / "r.db")
    first = py("-m", "corvane_collector", "run", "--quiet", "--store", db, "p.py", cwd=tmp_path)
    assert first.returncode == 0
    value, message = BAD_VALUES[case]
    value = value or first.stdout.strip()  # what the finished run would leave in a shell
    env = _env(**{process_tree.ENV_RUN: value})
    code = ("import subprocess, sys; print(subprocess.run([sys.executable, 'p.py'], "
            "capture_output=True, text=True).stderr == '', end=' '); sys.exit(4)")
    r = py("-c", code, cwd=tmp_path, env=env)
    assert (r.returncode, r.stdout) == (4, "True ")  # and its own child is silent
    assert r.stderr.count("corvane collector:") == 1 and message in r.stderr, r.stderr
    assert len(export(db)) == 1  # nothing added to the old run


def test_start_up_hook_does_nothing_for_another_python_version(tmp_path):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / os.path.basename(HOOK)).write_text(open(HOOK).read())
    code = ("import sys, site; sys.version_info = (3, 11, 0); "
            f"site.addsitedir({str(tmp_path / 'site')!r}); "
            "print(sorted(m for m in sys.modules if m.startswith('corvane')))")
    r = py("-S", "-c", code, cwd=tmp_path, env=_env(**{process_tree.ENV_RUN: "{}"}))
    assert (r.returncode, r.stdout, r.stderr) == (0, "[]\n", "")


KILLED_CHILD = """
import os, signal, sys, time
import corvane_collector as cc
from corvane_collector import starter
cc.start(sys.argv[1], 1.0, sys.argv[2], subprocesses=True)
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    s = starter.current()
    os.kill(s.data.process.pid, signal.SIGSTOP)   # its handler stops reading
    msg = b"x" * 100_000
    for _ in range(400):
        s.data.send_message(msg)
    written = -1
    while written != s.data.written:              # until the writer is stuck
        written = s.data.written
        time.sleep(0.3)
    os.write(w, str(s.data.process.pid).encode())
    time.sleep(600)
handler = int(os.read(r, 100))
os.kill(pid, signal.SIGKILL)
os.waitpid(pid, 0)
os.kill(handler, signal.SIGCONT)                  # it reads what was written, then sees the end
print(pid, flush=True)
"""


@needs_recording
def test_killed_child_loses_only_what_was_queued_and_the_loss_is_counted(tmp_path):
    db = str(tmp_path / "r.db")
    (tmp_path / "proj").mkdir()
    r = py("-c", KILLED_CHILD, str(tmp_path / "proj"), db, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    child = int(r.stdout)
    from corvane_collector.host import store
    conn = store.open_store(db, readonly=True)
    for _ in range(600):  # the orphaned handler finishes on its own
        drops = {(d["channel"], d["reason"]): d["count"] for d in store.drop_counts(conn)}
        if drops:
            break
        time.sleep(0.1)
    stored = store.list_processes(conn, 1)[1]["records"]
    (lost,) = drops.values()
    assert list(drops) == [(f"data (pid {child})", "not flushed at exit")]
    # At least what was queued when the last batch began; never more than was not stored.
    assert stored > 0 and 0 < lost <= 400 - stored
