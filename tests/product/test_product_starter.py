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
    data = [row[0] for row in conn.execute("SELECT data FROM records")]
    assert data == [b"from parent"]
