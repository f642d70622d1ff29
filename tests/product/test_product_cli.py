import json
import os
import subprocess
import sys
import textwrap

import pytest

from corvane_collector.host import channels, cli, store

import product_fakes as fakes


def cli_run(*args, cwd, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.pop("CORVANE_STORE", None)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-m", "corvane_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, env=full_env)


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


@pytest.fixture
def cli_in(capsys, monkeypatch):
    """The command line called in this process (for commands that run no program)."""
    def call(*args, cwd, env=None):
        monkeypatch.chdir(cwd)
        monkeypatch.delenv("CORVANE_STORE", raising=False)
        for k, v in (env or {}).items():
            monkeypatch.setenv(k, v)
        capsys.readouterr()
        try:
            code = cli.main(list(args))
        except SystemExit as exc:
            code = exc.code
        out, err = capsys.readouterr()
        return Result(code, out, err)
    return call


@pytest.fixture
def filled_store(store_location):
    """A store holding one run written through the real handlers."""
    path = store_location
    conn = store.open_store(path, create=True)
    run_id = store.create_run(conn, 123, ["app.py"], "/proj", 1.0, "3.10.13", "on")
    data = channels.start_handler("data", path, run_id)
    metrics = channels.start_handler("metrics", path, run_id)
    ext = fakes.ExternalFunctionCall("math", "math.floor", 3)
    for i in range(3):
        data.send_message(fakes.record("proj.shop.Cart.total", args=([i, 2],), kwargs={"tax": 0.5},
                                       result=i + 2.0, externals=[ext], globals_used={"RATE": 2},
                                       args_after=([i, 2, 9],)))
    data.send_message(fakes.record("proj.shop.parse", args=("x1",), exc=ValueError("bad price")))
    data.send_message(fakes.record("proj.other.parse", args=("y",), result=1))
    data.send_message(fakes.record("proj.objects", args=(fakes.ExternalFunctionMetadata("m", "n"),)))
    for _ in range(5):
        metrics.send_message(fakes.metric(fakes.CollectionTry))
    for _ in range(4):
        metrics.send_message(fakes.metric(fakes.CollectionSuccess))
    metrics.send_message(fakes.metric(fakes.Unpicklable, "socket", "type error"))
    metrics.send_drop_report({("data", "queue full"): 2})
    for ch in (data, metrics):
        ch.close(10)
        assert ch.wait_handler(20) == 0
    store.finish_run(conn, run_id, 0)
    conn.close()
    return path


def test_list_shows_functions_with_counts_failures_and_sizes(cli_in, filled_store, tmp_path):
    r = cli_in("list", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split() == ["calls", "raised", "avg", "size", "function", "file"]
    assert lines[1].split()[0:2] == ["3", "0"] and "proj.shop.Cart.total" in lines[1]
    parse = next(line for line in lines if "proj.shop.parse" in line)
    assert parse.split()[:2] == ["1", "1"]
    j = json.loads(cli_in("list", "--json", "--store", filled_store, cwd=tmp_path).stdout)
    assert {f["function"]: (f["calls"], f["raised"]) for f in j} == {
        "proj.shop.Cart.total": (3, 0), "proj.shop.parse": (1, 1), "proj.other.parse": (1, 0),
        "proj.objects": (1, 0)}
    assert all(f["total_size"] > 0 for f in j)


def test_show_decodes_arguments_results_external_calls_and_globals(cli_in, filled_store, tmp_path):
    r = cli_in("show", "Cart.total", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert out.count("proj.shop.Cart.total") == 3
    assert "args:        ([0, 2],)" in out and "args after:  ([0, 2, 9],)" in out
    assert "kwargs:      {'tax': 0.5}" in out
    assert "returned:    2.0" in out
    assert "math.floor -> 3" in out
    assert "globals used: {'RATE': 2}" in out
    r = cli_in("show", "proj.shop.parse", "--store", filled_store, cwd=tmp_path)
    assert "raised:      ValueError('bad price')" in r.stdout
    # One record by number, as JSON.
    r = cli_in("show", "4", "--json", "--store", filled_store, cwd=tmp_path)
    call = json.loads(r.stdout)
    assert call["function"] == "proj.shop.parse" and call["raised"] is True
    assert call["exception"] == {"__exception__": "ValueError", "args": ["bad price"]}
    r = cli_in("show", "Cart.total", "--limit", "1", "--store", filled_store, cwd=tmp_path)
    assert r.stdout.count("proj.shop.Cart.total") == 1 and "([2, 2],)" in r.stdout


def test_show_imports_only_when_asked(cli_in, filled_store, tmp_path, monkeypatch):
    monkeypatch.delitem(sys.modules, "product_fakes")
    plain = json.loads(cli_in("show", "6", "--json", "--store", filled_store, cwd=tmp_path).stdout)
    assert "product_fakes" not in sys.modules
    expected = {"__class__": "product_fakes.ExternalFunctionMetadata",
                "attributes": {"is_builtin": False, "is_function_for_recording": True,
                               "module_name": "m", "full_name": "n"}}
    assert plain["args_before"] == [expected]
    real = json.loads(cli_in("show", "6", "--json", "--import", "--store", filled_store,
                             cwd=tmp_path).stdout)
    assert "product_fakes" in sys.modules  # the real class was imported this time
    assert real["args_before"] == [expected]


def test_show_refuses_ambiguous_or_unknown_names(cli_in, filled_store, tmp_path):
    r = cli_in("show", "parse", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 1
    assert "matches several functions" in r.stderr and "proj.other.parse" in r.stderr
    r = cli_in("show", "nope", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 1 and "no recorded function matches 'nope'" in r.stderr
    r = cli_in("show", "999", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 1 and "no record 999" in r.stderr


def test_export_writes_one_json_call_per_line(cli_in, filled_store, tmp_path):
    r = cli_in("export", "--format", "jsonl", "--store", filled_store, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    calls = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(calls) == 6
    assert [c["id"] for c in calls] == [1, 2, 3, 4, 5, 6]
    first = calls[0]
    assert first["args_before"] == [[0, 2]] and first["args_after"] == [[0, 2, 9]]
    assert first["external_calls"] == [{"function": "math.floor", "module": "math", "result": 3,
                                        "raised": False}]
    assert first["pid"] == os.getpid() and first["run"] == 1
    out = tmp_path / "out.jsonl"
    r = cli_in("export", "--function", "proj.shop.parse", "-o", str(out), "--store",
                filled_store, cwd=tmp_path)
    assert r.returncode == 0 and "exported 1 calls" in r.stderr
    assert json.loads(out.read_text())["function"] == "proj.shop.parse"
    assert oct(out.stat().st_mode & 0o777) == oct(0o600)
    r = cli_in("export", "-o", str(tmp_path / "no" / "such" / "dir.jsonl"), "--store",
               filled_store, cwd=tmp_path)
    assert r.returncode == 1 and "cannot write" in r.stderr


def test_stats_reports_tries_successes_failures_and_drops(cli_in, filled_store, tmp_path):
    r = cli_in("stats", "--json", "--store", filled_store, cwd=tmp_path)
    s = json.loads(r.stdout)
    assert (s["tries"], s["successes"], s["records_stored"], s["dropped"]) == (5, 4, 6, 2)
    assert s["unpicklable"] == [{"type": "socket", "reason": "type error", "count": 1}]
    text = cli_in("stats", "--store", filled_store, cwd=tmp_path).stdout
    assert "tries:             5" in text and "data channel: queue full" in text
    runs = json.loads(cli_in("runs", "--json", "--store", filled_store, cwd=tmp_path).stdout)
    assert [(r["id"], r["records"], r["exit_code"]) for r in runs] == [(1, 6, 0)]


def test_reading_commands_report_bad_stores_clearly(cli_in, tmp_path):
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"garbage" * 1000)
    for cmd in ("list", "show", "stats", "export", "runs"):
        r = cli_in(cmd, "--store", str(bad), cwd=tmp_path)
        assert r.returncode == 1, cmd
        assert "not a readable record store" in r.stderr and "Traceback" not in r.stderr
    r = cli_in("list", "--store", str(tmp_path / "none.db"), cwd=tmp_path)
    assert r.returncode == 1 and "no record store at" in r.stderr
    assert not (tmp_path / "none.db").exists()
    r = cli_in("list", cwd=tmp_path, env={"CORVANE_STORE": str(bad)})
    assert r.returncode == 1 and str(bad) in r.stderr


def test_malformed_command_lines(cli_in, tmp_path):
    for args, needle in [(("run",), "nothing to run"), (("run", "--rate", "2", "x.py"), "--rate"),
                         (("run", "--rate", "abc", "x.py"), "--rate"),
                         (("run", "--external-calls-max", "-1", "x.py"), "--external-calls-max"),
                         (("run", "--on-full", "block", "x.py"), "--on-full must be wait or drop"),
                         (("run", "--bogus", "x.py"), "unknown option"),
                         (("run", "-m"), "-m needs a module"), (("run", "--store"), "needs a value"),
                         (("list", "--run"), "expected one argument"), (("frobnicate",), "invalid choice"),
                         (("export", "--format", "csv"), "invalid choice"),
                         (("run", "--keep-per-function", "-3", "x.py"), "--keep-per-function"),
                         (("run", "--max-store-size", "lots", "x.py"), "--max-store-size")]:
        r = cli_in(*args, cwd=tmp_path)
        assert r.returncode == 2, args
        assert needle in r.stderr, (args, r.stderr)
    assert cli_in("run", "--help", cwd=tmp_path).returncode == 0
    assert cli_in(cwd=tmp_path).returncode == 2


def test_parse_run_args_keeps_the_programs_arguments_untouched():
    assert cli.parse_run_args(["--rate", "0.5", "s.py", "--rate", "x", "-m", "y"]) == (
        {"quiet": False, "rate": "0.5"}, ("script", "s.py"), ["--rate", "x", "-m", "y"])
    assert cli.parse_run_args(["--store=a.db", "-m", "pytest", "-q", "--store", "b"]) == (
        {"quiet": False, "store": "a.db"}, ("module", "pytest"), ["-q", "--store", "b"])
    assert cli.parse_run_args(["-mpkg.mod", "a"])[1:] == (("module", "pkg.mod"), ["a"])
    assert cli.parse_run_args(["--quiet", "--", "-weird.py", "a"]) == (
        {"quiet": True}, ("script", "-weird.py"), ["a"])


def _write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))


def test_run_passes_arguments_and_exit_codes_through(tmp_path):
    _write(tmp_path / "app" / "prog.py", """
        import sys, threading
        out = []
        t = threading.Thread(target=lambda: (__import__("time").sleep(0.2), out.append("late")))
        t.start()
        print("args", sys.argv, __name__, __file__.endswith("prog.py"))
        from corvane_collector import starter
        print("on full", starter.current().data.on_full)
        def at_end():
            print("atexit", out)
        import atexit; atexit.register(at_end)
        sys.exit(int(sys.argv[1]))
        """)
    db = str(tmp_path / "r.db")
    r = cli_run("run", "--store", db, "app/prog.py", "7", "--rate", cwd=tmp_path)
    assert r.returncode == 7, r.stderr
    assert "args ['app/prog.py', '7', '--rate'] __main__ True" in r.stdout
    assert "on full wait" in r.stdout
    assert "on full drop" in cli_run("run", "--store", str(tmp_path / "d.db"), "--on-full",
                                     "drop", "app/prog.py", "0", cwd=tmp_path).stdout
    assert "atexit ['late']" in r.stdout
    assert "run 1:" in r.stderr
    conn = store.open_store(db, readonly=True)
    (run,) = store.list_runs(conn)
    assert run["exit_code"] == 7 and run["argv"] == ["app/prog.py", "7", "--rate"]
    assert run["project"] == str(tmp_path / "app") and run["ended"] is not None


def test_run_reports_uncaught_exceptions_like_python(tmp_path):
    _write(tmp_path / "boom.py", """
        def inner():
            raise RuntimeError("kaput")
        inner()
        """)
    r = cli_run("run", "--quiet", "--store", str(tmp_path / "r.db"), "boom.py", cwd=tmp_path)
    assert r.returncode == 1
    assert r.stderr.startswith("Traceback (most recent call last):")
    assert 'boom.py", line 4, in <module>' in r.stderr and "RuntimeError: kaput" in r.stderr
    assert "corvane_collector" not in r.stderr
    _write(tmp_path / "msg.py", "raise SystemExit('goodbye')\n")
    r = cli_run("run", "--quiet", "--store", str(tmp_path / "r.db"), "msg.py", cwd=tmp_path)
    assert r.returncode == 1 and r.stderr.strip() == "goodbye"


def test_run_module_with_arguments(tmp_path):
    _write(tmp_path / "pkg" / "__init__.py", "")
    _write(tmp_path / "pkg" / "tool.py", """
        import sys
        def main():
            print("tool", sys.argv[1:], sys.argv[0].endswith("tool.py"))
            return 4
        if __name__ == "__main__":
            sys.exit(main())
        """)
    r = cli_run("run", "--store", str(tmp_path / "r.db"), "-m", "pkg.tool", "x", "-y", cwd=tmp_path)
    assert r.returncode == 4, r.stderr
    assert "tool ['x', '-y'] True" in r.stdout
    r = cli_run("run", "--store", str(tmp_path / "r.db"), "-m", "no_such_mod", cwd=tmp_path)
    assert r.returncode == 1 and "No module named no_such_mod" in r.stderr


def test_run_refuses_bad_project_store_or_script_before_running_anything(tmp_path):
    _write(tmp_path / "p.py", "open('ran', 'w').write('x')\n")
    r = cli_run("run", "--project", "missing", "p.py", cwd=tmp_path)
    assert r.returncode == 2 and "project path does not exist: missing" in r.stderr
    r = cli_run("run", "--store", "/proc/nope.db", "p.py", cwd=tmp_path)
    assert r.returncode == 2 and "cannot create the record store /proc/nope.db" in r.stderr
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"x" * 5000)
    r = cli_run("run", "--store", str(bad), "p.py", cwd=tmp_path)
    assert r.returncode == 2 and "not a readable record store" in r.stderr
    r = cli_run("run", "absent.py", cwd=tmp_path)
    assert r.returncode == 2 and "can't open file 'absent.py'" in r.stderr
    assert not (tmp_path / "ran").exists()


def test_program_that_calls_os_exit_keeps_the_run_readable(tmp_path):
    _write(tmp_path / "quit.py", "import os\nprint('bye', flush=True)\nos._exit(5)\n")
    db = str(tmp_path / "r.db")
    r = cli_run("run", "--store", db, "quit.py", cwd=tmp_path)
    assert r.returncode == 5 and r.stdout == "bye\n"
    runs = json.loads(cli_run("runs", "--json", "--store", db, cwd=tmp_path).stdout)
    assert runs[0]["ended"] is None and runs[0]["exit_code"] is None


def test_run_keeps_the_newest_calls_per_function_and_stats_counts_the_rest(tmp_path):
    _write(tmp_path / "prog.py", """
        def f(i):
            return i
        for i in range(7):
            f(i)
        """)
    db = str(tmp_path / "r.db")
    r = cli_run("run", "--keep-per-function", "2", "--store", db, "prog.py", cwd=tmp_path)
    assert r.returncode == 0 and "5 not kept" in r.stderr, r.stderr
    (f,) = json.loads(cli_run("list", "--json", "--store", db, cwd=tmp_path).stdout)
    assert (f["calls"], f["stored"]) == (7, 2)
    shown = cli_run("show", "f", "--store", db, cwd=tmp_path).stdout
    assert "args:        (5,)" in shown and "args:        (6,)" in shown and "(4,)" not in shown
    stats = cli_run("stats", "--store", db, cwd=tmp_path).stdout
    assert "calls not kept:    5" in stats and "older than the newest 2 calls" in stats
