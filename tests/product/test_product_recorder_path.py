"""Real records: the call recorder's own callbacks, driven by hand, through the
real channels, handlers and store, read back by the command line."""

import json
import os
import subprocess
import sys
import textwrap

import pytest


def _have_recorder():
    try:
        import corvane_collector.data_collection.call_recorder  # noqa: F401
        import corvane_collector.data_serialization.channel_codec  # noqa: F401
        return True
    except Exception:  # noqa: BLE001
        return False


pytestmark = pytest.mark.skipif(not _have_recorder(), reason="call recorder not built")

DRIVER = """
import sys
sys.path.insert(0, {proj!r})
import corvane_collector
session = corvane_collector.start({proj!r}, 1.0, {db!r})
from corvane_collector.data_collection import call_recorder as cr
import shapes

rec = cr.record_user_function_call(shapes.area, 2, box=shapes.Box(5))
cr.load_global_hook(shapes.RATE, "RATE")
cr.record_user_function_return_value(12.5, rec)
rec = cr.record_user_function_call(shapes.fail, "q")
try:
    shapes.fail("q")
except ValueError as exc:
    cr.record_user_function_return_value(None, rec, exc)
summary = corvane_collector.stop()
print(summary["records"], summary["dropped"])
"""


def test_recorder_records_reach_the_store_and_read_back(tmp_path):
    proj = tmp_path / "proj"
    proj.mkdir()
    (proj / "shapes.py").write_text(textwrap.dedent("""
        RATE = 3
        class Box:
            def __init__(self, v):
                self.v = v
        def area(r, box=None):
            return 3.0 * r * r * RATE
        def fail(x):
            raise ValueError("bad %s" % x)
        """))
    db = str(tmp_path / "r.db")
    r = subprocess.run([sys.executable, "-c", DRIVER.format(proj=str(proj), db=db)],
                       capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["2", "0"]

    def cli(*args):
        out = subprocess.run([sys.executable, "-m", "corvane_collector", *args, "--store", db],
                             capture_output=True, text=True, timeout=120, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        return out.stdout

    listed = {f["function"]: f for f in json.loads(cli("list", "--json"))}
    assert set(listed) == {"shapes.area", "shapes.fail"}
    assert (listed["shapes.area"]["raised"], listed["shapes.fail"]["raised"]) == (0, 1)
    assert listed["shapes.area"]["file"] == str(proj / "shapes.py")
    area = json.loads(cli("show", "shapes.area", "--json"))
    assert area["args_before"] == [2]
    assert area["kwargs_before"] == {"box": {"__class__": "shapes.Box", "attributes": {"v": 5}}}
    assert area["return_value"] == 12.5 and area["raised"] is False and area["exception"] is None
    assert area["globals"] == {"RATE": 3}
    fail = json.loads(cli("show", "fail", "--json"))
    assert fail["raised"] is True
    assert fail["exception"] == {"__exception__": "ValueError", "args": ["bad q"]}
    stats = json.loads(cli("stats", "--json"))
    assert (stats["tries"], stats["successes"], stats["records_stored"]) == (2, 2, 2)
    assert "shapes" not in sys.modules
