#!/usr/bin/env python3
"""A third-party project's own test suite, plain and recorded, side by side.

Runs the suite of toolz 1.0.0 (its source distribution, fetched by
scripts/setup_env.sh into .venv/real-projects) with plain pytest and under
``python -m corvane_collector run --project toolz --rate R -m pytest`` for each
rate, and prints for each: the suite's result line, wall and CPU time, the
ratio to the plain run, records, recorded functions (library and tests), and
the collector's failures by reason.

  python bench/real_project.py [--rates 0.01,1.0] [--replay]

With ``--replay`` each recorded store is then replayed (``python -m
corvane_collector replay``) against the same tree: the shares of records that
reproduce, differ and are not replayable, with the reasons counted.
"""
import argparse
import ast
import collections
import json
import os
import re
import resource
import subprocess
import sys
import tarfile
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SDIST = os.path.join(ROOT, ".venv", "real-projects", "toolz-1.0.0.tar.gz")
PYTEST = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "toolz/tests"]


def extract(dest):
    with tarfile.open(SDIST) as tar:
        tar.extractall(dest)
    return os.path.join(dest, "toolz-1.0.0")


def result_counts(output):
    """{'passed': 180, ...} from pytest's closing line."""
    line = [ln for ln in output.splitlines() if re.search(r"\d+ (passed|failed|error)", ln)][-1]
    return {k: int(n) for n, k in re.findall(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed)", line)}


def timed(cmd, cwd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return proc, wall, cpu


def library_functions(src):
    names = 0
    for d, _, files in os.walk(os.path.join(src, "toolz")):
        if os.sep + "tests" in d:
            continue
        for f in files:
            if f.endswith(".py"):
                tree = ast.parse(open(os.path.join(d, f)).read())
                names += sum(isinstance(n, ast.FunctionDef) for n in ast.walk(tree))
    return names


def reason_kind(reason):
    """A replay reason without the names and values of its record."""
    reason = re.sub(r"'[^']*'|\"[^\"]*\"", "...", reason)
    if "could not be rebuilt" in reason:
        return "arguments could not be rebuilt: " + (
            "a lambda" if "<lambda>" in reason else
            "a function local to another function" if "<locals>" in reason else
            "a name not found" if "not found here" in reason else "other")
    if "descriptions instead of values" in reason:
        return re.sub(r".*: (the arguments hold|the result of \S+ is) an? ", r"description: \1 ", reason)
    return re.sub(r"\S+\.\S+", "X", reason)


def replay_figures(db, src):
    proc = subprocess.run([sys.executable, "-m", "corvane_collector", "replay", "--json",
                           "--store", db, "--project", src], cwd=src, capture_output=True, text=True)
    rows = [json.loads(line) for line in proc.stdout.splitlines()]
    status = collections.Counter(r["status"] for r in rows)
    reasons = collections.Counter(reason_kind(r["reasons"][0]) for r in rows
                                  if r["status"] != "reproduced" and r["reasons"])
    n = len(rows) or 1
    print(f"           replay: {len(rows)} records, " + ", ".join(
        f"{status[k]} {k} ({100 * status[k] / n:.1f}%)"
        for k in ("reproduced", "differs", "not replayable")) + f", exit status {proc.returncode}")
    for reason, count in reasons.most_common():
        print(f"             {count:>5}  {reason}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rates", default="0.01,1.0")
    parser.add_argument("--replay", action="store_true",
                        help="replay each recorded store and count the outcomes")
    opts = parser.parse_args()
    if not os.path.exists(SDIST):
        sys.exit(f"missing {SDIST}: run scripts/setup_env.sh")
    with tempfile.TemporaryDirectory(prefix="corvane-real-") as tmp:
        src = extract(tmp)
        plain, wall0, cpu0 = timed([sys.executable, *PYTEST], src)
        print(f"plain:     {result_counts(plain.stdout)}  wall {wall0:6.1f} s  cpu {cpu0:6.1f} s")
        lib_total = library_functions(src)
        for rate in [float(r) for r in opts.rates.split(",")]:
            db = os.path.join(tmp, f"r{rate}.db")
            rec, wall, cpu = timed([sys.executable, "-m", "corvane_collector", "run", "--quiet",
                                    "--store", db, "--project", "toolz", "--rate", str(rate),
                                    *PYTEST], src)
            stats = json.loads(subprocess.run(
                [sys.executable, "-m", "corvane_collector", "stats", "--json", "--store", db],
                capture_output=True, text=True).stdout)
            funcs = json.loads(subprocess.run(
                [sys.executable, "-m", "corvane_collector", "list", "--json", "--store", db],
                capture_output=True, text=True).stdout)
            lib = {f["function"] for f in funcs if f["file"] and "/tests/" not in f["file"]}
            tests = {f["function"] for f in funcs if f["file"] and "/tests/" in f["file"]}
            same = result_counts(rec.stdout) == result_counts(plain.stdout) and \
                rec.returncode == plain.returncode
            print(f"rate {rate:<4}: {result_counts(rec.stdout)}  wall {wall:6.1f} s ({wall / wall0:5.1f}x)"
                  f"  cpu {cpu:6.1f} s ({cpu / cpu0:5.1f}x)  same result: {same}")
            size = sum(os.path.getsize(db + s) for s in ("", "-wal") if os.path.exists(db + s))
            stored = stats["records_stored"]
            print(f"           records {stored}, tries {stats['tries']}, "
                  f"successes {stats['successes']}, library functions {len(lib)} of {lib_total} "
                  f"defined, test functions {len(tests)}")
            print(f"           store {size} bytes, {size / max(1, stored):.0f} bytes per record; "
                  f"dropped {stats['dropped']}, not kept "
                  f"{sum(n['count'] for n in stats.get('not_kept', ()))}")
            print(f"           failures {stats['failures']}, unpicklable "
                  f"{sum(u['count'] for u in stats['unpicklable'])}, limits "
                  f"{sum(m['count'] for m in stats['limits'])}")
            if opts.replay:
                replay_figures(db, src)


if __name__ == "__main__":
    main()
