"""A third-party project's own test suite, recorded: its results must not change.

Uses the source distribution of toolz 1.0.0 that scripts/setup_env.sh puts in
.venv/real-projects (so no network is needed here); bench/real_project.py
measures the same scenario at several rates.
"""

import json
import os
import re
import subprocess
import sys
import tarfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SDIST = os.path.join(ROOT, ".venv", "real-projects", "toolz-1.0.0.tar.gz")
PYTEST = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "toolz/tests"]


def _interceptor_ready():
    try:
        import interceptor
        import corvane_collector.data_collection.call_recorder  # noqa: F401
        return hasattr(interceptor, "apply")
    except Exception:  # noqa: BLE001
        return False


pytestmark = [
    pytest.mark.skipif(not os.path.exists(SDIST), reason="toolz source not fetched by setup"),
    pytest.mark.skipif(not _interceptor_ready(), reason="interceptor not built"),
]


def _counts(output):
    found = re.findall(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed)", output)
    assert found, output[-2000:]
    return {kind: int(n) for n, kind in found}


def test_recorded_suite_gives_the_plain_results(tmp_path):
    with tarfile.open(SDIST) as tar:
        tar.extractall(tmp_path)
    src = tmp_path / "toolz-1.0.0"
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_ADDOPTS"}
    plain = subprocess.run([sys.executable, *PYTEST], cwd=src, capture_output=True, text=True,
                           timeout=600, env=env)
    db = str(tmp_path / "r.db")
    recorded = subprocess.run(
        [sys.executable, "-m", "corvane_collector", "run", "--store", db, "--project", "toolz",
         "--rate", "0.05", *PYTEST], cwd=src, capture_output=True, text=True, timeout=900, env=env)
    assert recorded.returncode == plain.returncode == 0, recorded.stderr[-3000:]
    assert _counts(recorded.stdout) == _counts(plain.stdout)
    assert _counts(plain.stdout)["passed"] >= 150

    def cc(*args):
        out = subprocess.run([sys.executable, "-m", "corvane_collector", *args, "--store", db],
                             capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        return json.loads(out.stdout)

    funcs = cc("list", "--json")
    library = {f["function"] for f in funcs
               if f["file"] and f["file"].startswith(str(src / "toolz")) and "/tests/" not in f["file"]}
    assert len(library) >= 15, sorted(library)
    stats = cc("stats", "--json")
    assert stats["records_stored"] == stats["successes"] > 0
    assert stats["dropped"] == 0
