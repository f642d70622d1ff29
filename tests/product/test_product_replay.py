"""`replay` and `gen-tests` end to end: the bundled example recorded, replayed against
itself and a changed copy, tests generated and run; and the bad inputs replay must survive."""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from test_product_end_to_end import EXAMPLE, _interceptor_ready, cc

pytestmark = pytest.mark.skipif(not _interceptor_ready(), reason="interceptor not built")


def _replay(db, project, *extra):
    r = cc("replay", "--store", db, "--project", project, "--json", *extra, cwd=project)
    return r.returncode, {row["function"]: row for row in map(json.loads, r.stdout.splitlines())}


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    """The example recorded, a copy whose receipt() now says "Bill", and tests generated."""
    base = tmp_path_factory.mktemp("shop")
    original, changed = str(base / "shop"), str(base / "changed")
    shutil.copytree(EXAMPLE, original)
    shutil.copytree(EXAMPLE, changed)
    cart = os.path.join(changed, "shop", "cart.py")
    with open(cart) as f:
        source = f.read()
    with open(cart, "w") as f:
        f.write(source.replace('f"Receipt {', 'f"Bill {'))
    db = str(base / "r.db")
    r = cc("run", "--quiet", "--store", db, os.path.join(original, "main.py"), cwd=original)
    assert r.returncode == 0, r.stderr
    tests = str(base / "tests")
    r = cc("gen-tests", "--store", db, "-o", tests, cwd=original)
    assert r.returncode == 0, r.stderr
    return db, original, changed, tests


def test_replay_reproduces_the_recorded_example_and_finds_the_changed_function(shop):
    db, original, changed, _ = shop
    r = cc("replay", "--store", db, cwd=original)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.splitlines()[-1] == "replayed 29: 29 reproduced, 0 differ, 0 not replayable"
    code, rows = _replay(db, changed)
    assert code == 1
    assert rows.pop("shop.cart.receipt")["status"] == "differs"
    assert {row["status"] for row in rows.values()} == {"reproduced"}, rows


def test_generated_tests_pass_on_the_recorded_code_and_fail_on_the_change(shop):
    _, original, changed, tests = shop
    pytest_cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", tests]
    ok = subprocess.run(pytest_cmd, cwd=original, capture_output=True, text=True, timeout=300)
    assert ok.returncode == 0 and "28 passed" in ok.stdout, ok.stdout
    bad = subprocess.run(pytest_cmd, cwd=changed, capture_output=True, text=True, timeout=300)
    failed = [line for line in bad.stdout.splitlines() if line.startswith("FAILED")]
    assert len(failed) == 1 and "test_shop_cart_receipt.py::test_receipt_" in failed[0], bad.stdout


BAD_PROJECT = '''
import os


class Box:
    def __init__(self, v):
        self.v = v


def unbox(box):
    return box.v


def renamed(x):
    return x + 1


def slow(x):
    return x * 2


def leave(x):
    raise SystemExit(x)


def interrupt(x):
    return x


def bye(x):
    return x


def tampered(x):
    return x


def stamp(x):
    return os.getpid() + x


def twice(x):
    return os.getpid()


def fewer(x):
    os.getpid()
    return x


def feed(f, x):
    f(x)
    return x

'''

BAD_MAIN = """
import bad

bad.unbox(bad.Box(1)), bad.renamed(1), bad.slow(1), bad.interrupt(1), bad.bye(1), bad.tampered(1)
bad.stamp(1), bad.twice(1), bad.fewer(1), bad.feed([].append, 1)
try:
    bad.leave(4)
except SystemExit:
    pass
"""

CHANGES = [("class Box:", "class Crate:"), ("def renamed(", "def now_named("),
           ("    return x * 2", "    while True:\n        pass"),
           ("def interrupt(x):\n    return x", "def interrupt(x):\n    raise KeyboardInterrupt"),
           ("def bye(x):\n    return x", "def bye(x):\n    os._exit(3)"),
           ("    return os.getpid()\n", "    os.getpid()\n    return os.getpid()\n"),
           ("    os.getpid()\n    return x\n", "    return x\n")]


def test_bad_inputs_are_reported_per_record_and_the_rest_go_on(tmp_path, shop):
    original, changed = tmp_path / "bad", tmp_path / "bad_changed"
    original.mkdir()
    changed.mkdir()
    (original / "bad.py").write_text(textwrap.dedent(BAD_PROJECT))
    (original / "main.py").write_text(BAD_MAIN)
    source = BAD_PROJECT
    for old, new in CHANGES:
        assert old in source
        source = source.replace(old, new)
    (changed / "bad.py").write_text(source)
    db = str(tmp_path / "r.db")
    r = cc("run", "--quiet", "--store", db, str(original / "main.py"), cwd=str(original))
    assert r.returncode == 0, r.stderr
    with sqlite3.connect(db) as conn:
        blob_id, data = conn.execute(
            "SELECT b.id, b.data FROM calls c JOIN functions f ON f.id = c.function_id "
            "JOIN blobs b ON b.id = c.blob_id WHERE f.full_name = 'bad.tampered'").fetchone()
        conn.execute("UPDATE blobs SET data = ? WHERE id = ?", (data[:len(data) // 2], blob_id))
    code, rows = _replay(db, str(changed), "--timeout", "2")
    assert code == 1
    status = {name.rpartition(".")[2]: (row["status"], " ".join(row["reasons"]))
              for name, row in rows.items()}
    assert status["unbox"][0] == "not replayable" and "bad.Box" in status["unbox"][1]
    assert status["renamed"] == ("not replayable", "function no longer exists: bad.renamed")
    assert status["slow"] == ("differs", "did not return within 2 s (stopped)")
    assert status["leave"] == ("reproduced", "")
    assert status["interrupt"][0] == "differs" and "KeyboardInterrupt" in status["interrupt"][1]
    # os._exit is an external call the record does not hold: it is not made.
    assert status["bye"] == ("differs", "external call posix._exit is not in the record")
    assert status["tampered"][0] == "not replayable" and "unreadable record" in status["tampered"][1]
    # Answered from the record (the child's own pid differs), and one call too many.
    assert status["stamp"] == ("reproduced", "")
    assert status["twice"] == ("differs", "external call posix.getpid made 2 times, the record holds 1")
    assert status["fewer"] == ("differs", "external call posix.getpid made 0 times, the record holds 1")
    # a bound method is kept as its class's method, without its object
    assert status["feed"][0] == "not replayable" and "builtins.list.append" in status["feed"][1]
    # A store written by another project, and bad usage.
    code, rows = _replay(shop[0], str(changed))
    assert code == 0 and {row["status"] for row in rows.values()} == {"not replayable"}
    assert cc("replay", "--store", db, "--record", "999", cwd=str(changed)).returncode == 2


KEPT_PROJECT = {
    "kept.py": '''
import inspect


def kinds(sig):
    return [p.kind.name for p in sig.parameters.values()]


def text_of(f):
    return str(inspect.signature(f))


def bound(sig, *args):
    return dict(sig.bind(*args).arguments)


def apply(f, *args):
    return f(*args)
''',
    "helpers.py": '''
import functools

TWICE = lambda x: x * 2  # noqa: E731


def adder(n):
    def add(x, scale=1):
        return (x + n) * scale
    return add


def factorial():
    def fact(n):
        return 1 if n <= 1 else n * fact(n - 1)
    return fact


def made_by_exec():
    names = {}
    exec("def triple(x, k=3):\\n    return x * k\\n", globals(), names)
    return names["triple"]


def shifted(x, by=0, *, times=1):
    return (x + by) * times


PARTIAL = functools.partial(shifted, 1, times=3)
''',
    "main.py": '''
import inspect

import helpers
import kept

sig = inspect.signature(helpers.shifted)
kept.kinds(sig)
kept.bound(sig, 1, 2)
for f in (helpers.TWICE, helpers.adder(5), helpers.factorial(), helpers.made_by_exec(),
          helpers.PARTIAL):
    kept.text_of(f)
    kept.apply(f, 4)
''',
}


def _recorded_and_replayed(tmp_path, files):
    """The store of a run of main.py among ``files`` and its replay's rows."""
    for name, source in files.items():
        (tmp_path / name).write_text(textwrap.dedent(source))
    db = str(tmp_path / "r.db")
    r = cc("run", "--quiet", "--store", db, str(tmp_path / "main.py"), cwd=str(tmp_path))
    assert r.returncode == 0, r.stderr
    r = cc("replay", "--store", db, "--project", str(tmp_path), "--json", cwd=str(tmp_path))
    return db, [json.loads(line) for line in r.stdout.splitlines()]


def test_records_holding_signatures_partials_and_unnamed_functions_reproduce(tmp_path):
    _, rows = _recorded_and_replayed(tmp_path, KEPT_PROJECT)
    kept = [row for row in rows if row["function"].startswith("kept.")]
    # kinds, bound and five functions each given to text_of and apply
    assert len(kept) == 12, rows
    assert [row for row in kept if row["status"] != "reproduced"] == []


CALLBACK_PROJECT = {
    "noted.py": '''
import random


class Noted:
    def __call__(self, x):
        return note(x)

    @property
    def size(self):
        return note(2)


def note(x):
    random.random()
    return x


def run(f):
    # An instance call and a property run note() with this call's recording off.
    f(1)
    f.size
    return random.random()
''',
    "main.py": '''
import noted

noted.run(noted.Noted())
''',
}


def test_calls_recorded_inside_an_unrecorded_callee_keep_their_externals_to_themselves(tmp_path):
    db, rows = _recorded_and_replayed(tmp_path, CALLBACK_PROJECT)
    assert sorted((row["function"], row["status"]) for row in rows) == [
        ("noted.note", "reproduced"), ("noted.note", "reproduced"), ("noted.run", "reproduced")]
    r = cc("show", "noted.run", "--store", db, cwd=str(tmp_path))
    assert "external calls (1)" in r.stdout, r.stdout


class _LoadsOnRepr:
    """Like the site module's license printers: the first repr adds an attribute."""

    def __init__(self):
        self.name = "notice"

    def __repr__(self):
        self.text = "loaded"
        return f"<{self.name}>"


def test_showing_a_differing_result_does_not_change_the_arguments_compared_after_it():
    from types import SimpleNamespace

    from corvane_collector.host import replay

    value = _LoadsOnRepr()
    recorded = SimpleNamespace(exception=None, return_value=replay.recorded_form(2),
                               args_after=replay.recorded_form((_LoadsOnRepr(),)), kwargs_after={})
    found = replay.outcome_differences(recorded, value, None, (value,), {})
    assert len(found) == 1 and found[0].startswith("returned <notice>, recorded 2"), found
    assert value.text == "loaded"  # it was shown


class _NeverEquals:
    def __init__(self, tag):
        self.tag = tag

    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


@pytest.mark.parametrize("replayed_tag, differs", [("same", False), ("other", True)])
def test_an_eq_that_never_holds_is_passed_over_for_the_attributes(replayed_tag, differs):
    from corvane_collector.host import replay

    found = replay.difference(_NeverEquals("same"), _NeverEquals(replayed_tag))
    assert (found is not None) == differs, found
