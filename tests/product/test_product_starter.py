import json
import os
import subprocess
import sys
import textwrap

import pytest

import corvane_collector
from corvane_collector import starter


def _touch(path, text=""):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def test_project_files_found_and_tool_folders_left_out(tmp_path, monkeypatch):
    root = tmp_path / "proj"
    keep = ["main.py", "pkg/__init__.py", "pkg/sub/deep.py", "tests/test_x.py"]
    skip = ["venv2/lib/python3.10/site-packages/lib.py", ".git/hooks/x.py", "build/lib/a.py",
            "pkg/__pycache__/c.py", "lib/site-packages/s.py", ".tox/py310/t.py",
            "foo.egg-info/e.py", "dist/d.py"]
    for rel in keep + skip:
        _touch(root / rel)
    _touch(root / "venv2" / "pyvenv.cfg")  # a virtual environment under any name
    _touch(root / "notes.txt")
    _touch(root / "pkg" / "mod.pyc")
    monkeypatch.chdir(tmp_path)
    files = starter.find_project_files("proj")
    absolute = {f for f in files if os.path.isabs(f)}
    assert absolute == {str(root / rel) for rel in keep}
    # Relative spellings for relative sys.path entries ('' or 'proj').
    assert {f for f in files if not os.path.isabs(f)} == {os.path.join("proj", rel) for rel in keep}


def test_symlinked_project_lists_both_spellings(tmp_path):
    real = tmp_path / "real"
    _touch(real / "m.py")
    link = tmp_path / "link"
    link.symlink_to(real)
    files = starter.find_project_files(str(link), cwd="/")
    assert str(link / "m.py") in files and str(real / "m.py") in files


def test_collector_never_records_itself(tmp_path):
    pkg_root = os.path.dirname(os.path.dirname(os.path.abspath(corvane_collector.__file__)))
    files = starter.find_project_files(pkg_root, cwd="/")
    assert not any("/corvane_collector/" in f or "/corvane_common/" in f for f in files)


def test_bad_project_paths_and_settings_are_refused(tmp_path):
    with pytest.raises(starter.StartError, match="does not exist"):
        starter.find_project_files(tmp_path / "missing")
    _touch(tmp_path / "file.py")
    with pytest.raises(starter.StartError, match="not a directory"):
        starter.find_project_files(tmp_path / "file.py")
    for rate in (-0.1, 1.5, "x", None):
        with pytest.raises(starter.StartError, match="collecting rate"):
            starter.start(tmp_path, rate, store=str(tmp_path / "r.db"))
    for bad in (-1, 2.5, True, "3"):
        with pytest.raises(starter.StartError, match="external_calls_max"):
            starter.start(tmp_path, 1.0, str(tmp_path / "r.db"), bad)
    with pytest.raises(starter.StartError, match="on_full must be 'wait' or 'drop', got 'block'"):
        starter.start(tmp_path, 1.0, str(tmp_path / "r.db"), on_full="block")
    assert starter.current() is None
    assert not (tmp_path / "r.db").exists()
    with pytest.raises(starter.StartError, match="not started"):
        starter.stop()


def _run_py(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_start_twice_then_stop_closes_the_run(tmp_path):
    _touch(tmp_path / "proj" / "m.py", "def f():\n    return 1\n")
    r = _run_py(f"""
        import json, sys
        import corvane_collector as cc
        s = cc.start({str(tmp_path / 'proj')!r}, 0.5, {str(tmp_path / 'r.db')!r}, 7)
        try:
            cc.start({str(tmp_path / 'proj')!r})
        except cc.StartError as e:
            print("second:", e)
        sys.path.insert(0, {str(tmp_path / 'proj')!r})
        import m
        m.f()
        summary = cc.stop()
        try:
            cc.stop()
        except cc.StartError as e:
            print("again:", e)
        print(json.dumps(summary))
        """, tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "second: the collector is already started in this process"
    assert lines[1] == "again: the collector is not started"
    summary = json.loads(lines[2])
    assert summary["handlers_finished"] and summary["handler_exit_codes"] == [0, 0]
    assert summary["run_id"] == 1 and summary["dropped"] == 0
    from corvane_collector.host import store
    conn = store.open_store(tmp_path / "r.db", readonly=True)
    (run,) = store.list_runs(conn)
    assert run["rate"] == 0.5 and run["ended"] is not None
    assert run["recording"] == summary["recording"]


def test_interpreter_exit_stops_the_collector_and_a_fork_child_records_nothing(tmp_path):
    _touch(tmp_path / "proj" / "m.py")
    r = _run_py(f"""
        import os
        import corvane_collector as cc
        from corvane_collector import starter
        s = cc.start({str(tmp_path / 'proj')!r}, 1.0, {str(tmp_path / 'r.db')!r})
        pid = os.fork()
        if pid == 0:
            # The child's channel is inert and its session is gone.
            s.data.send_message(b"from child")
            print("child", starter.current() is None, s.data.sent, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        s.data.send_message(b"from parent")
        print("parent", starter.current() is s, flush=True)
        """, tmp_path)
    assert r.returncode == 0, r.stderr
    assert "child True 0" in r.stdout and "parent True" in r.stdout
    from corvane_collector.host import store
    conn = store.open_store(tmp_path / "r.db", readonly=True)
    (run,) = store.list_runs(conn)
    assert run["ended"] is not None  # closed by the exit hook
    data = [r["data"] for r in store.iter_records(conn)]
    assert data == [b"from parent"]


def test_exit_with_a_stalled_handler_is_bounded_and_counts_what_was_lost(tmp_path):
    _touch(tmp_path / "proj" / "m.py")
    r = _run_py(f"""
        import json, os, signal
        import corvane_collector as cc
        s = cc.start({str(tmp_path / 'proj')!r}, 1.0, {str(tmp_path / 'r.db')!r}, exit_timeout=1.0)
        os.kill(s.data.process.pid, signal.SIGSTOP)   # a handler that stops reading
        for i in range(400):
            s.data.send_message(b"x" * 100_000)
        summary = cc.stop()
        os.kill(summary["handler_pids"][0], signal.SIGCONT)  # it then finishes on its own
        print(json.dumps(summary))
        """, tmp_path)
    assert r.returncode == 0, r.stderr
    summary = json.loads(r.stdout)
    assert summary["handlers_finished"] is False and summary["records"] is None
    lost = {(d["channel"], d["reason"]): d["count"] for d in summary["drops"]}
    assert lost[("data", "not flushed at exit")] > 0
    assert summary["dropped"] == sum(lost.values())
    assert summary["sent"] == 400


def test_killed_handler_mid_run_is_reported_and_the_program_finishes(tmp_path):
    _touch(tmp_path / "proj" / "m.py")
    r = _run_py(f"""
        import json, os, signal, time
        import corvane_collector as cc
        from corvane_collector.host import store
        db = {str(tmp_path / 'r.db')!r}
        s = cc.start({str(tmp_path / 'proj')!r}, 1.0, db)
        for i in range(50):
            s.data.send_message(b"before")
        conn = store.open_store(db, readonly=True)
        for _ in range(500):
            if store.record_count(conn) == 50:
                break
            time.sleep(0.02)
        os.kill(s.data.process.pid, signal.SIGKILL)
        s.data.process.wait()
        for i in range(50):
            s.data.send_message(b"after")
            time.sleep(0.002)
        summary = cc.stop()
        print(json.dumps(summary))
        print(sum(r["data"] == b"before" for r in store.iter_records(conn)))
        """, tmp_path)
    assert r.returncode == 0, r.stderr
    summary_line, before = r.stdout.splitlines()
    summary = json.loads(summary_line)
    assert before == "50"
    assert summary["handler_exit_codes"][0] == -9
    assert any("data handler exited early (exit code -9)" in p for p in summary["problems"])
    assert summary["dropped"] > 0


def test_dead_handler_cannot_kill_a_program_that_restored_sigpipe(tmp_path):
    _touch(tmp_path / "proj" / "m.py")
    r = _run_py(f"""
        import os, signal, time
        import corvane_collector as cc
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)   # as many command line tools do
        s = cc.start({str(tmp_path / 'proj')!r}, 1.0, {str(tmp_path / 'r.db')!r})
        os.kill(s.data.process.pid, signal.SIGKILL)
        s.data.process.wait()
        deadline = time.monotonic() + 60
        while s.data.dropped == 0 and time.monotonic() < deadline:
            s.data.send_message(b"z" * 1000)
            time.sleep(0.001)
        print("still here", s.data.alive, s.data.dropped > 0)
        """, tmp_path)
    assert r.returncode == 0, (r.returncode, r.stderr)
    assert r.stdout.strip() == "still here False True"
