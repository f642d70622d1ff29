#!/usr/bin/env python3
"""Runs CPython's regression test modules under the stock evaluator and under ours.

Every test module runs in its own subprocess (conformance/driver.py), in parallel,
with a per-module timeout; the outcome of each module (overall result, failing test
cases, counts) is written as JSON to conformance/results/<mode>.json.  `compare`
turns several such files into a table of the modules whose results differ.

  run.py run --mode stock                     # whole suite, stock evaluator
  run.py run --mode rate0 test_grammar ...    # selected modules
  run.py compare results/stock.json results/rate0.json results/rate1.json
"""
import argparse
import concurrent.futures
import datetime
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
MODES = ("stock", "rate0", "rate1", "rate1-real")
# Hangs for more than a quarter of an hour on machines without network.
DEFAULT_EXCLUDE = ("test_socket",)


def default_python():
    venv = os.path.join(ROOT, ".venv", "bin", "python")
    out = subprocess.run(["bash", os.path.join(ROOT, "scripts", "find_python310.sh")],
                         capture_output=True, text=True)
    if out.returncode == 0 and out.stdout.strip():
        return out.stdout.strip()
    return venv


# -- build helpers -----------------------------------------------------------------

def find_cython(python):
    for cand in (os.path.join(os.path.dirname(python), "cython"),
                 os.path.join(ROOT, ".venv", "bin", "cython"),
                 shutil.which("cython")):
        if cand and os.path.exists(cand):
            return cand
    raise RuntimeError("cython not found (run scripts/setup_env.sh)")


def build_fake_recorder(outdir, python=None):
    """Compiles fake_recorder.pyx into outdir; returns outdir."""
    python = python or sys.executable
    os.makedirs(outdir, exist_ok=True)
    src = os.path.join(HERE, "fake_recorder.pyx")
    c_file = os.path.join(outdir, "fake_recorder.c")
    info = json.loads(subprocess.check_output([python, "-c",
        "import json, sysconfig; print(json.dumps({'inc': sysconfig.get_paths()['include'],"
        " 'suffix': sysconfig.get_config_var('EXT_SUFFIX')}))"], text=True))
    so_file = os.path.join(outdir, "fake_recorder" + info["suffix"])
    if os.path.exists(so_file) and os.path.getmtime(so_file) > os.path.getmtime(src):
        return outdir
    subprocess.check_call([find_cython(python), "-3", src, "-o", c_file])
    cc = os.environ.get("CC") or shutil.which("gcc") or shutil.which("cc")
    subprocess.check_call([cc, "-O1", "-shared", "-fPIC", "-I", info["inc"], c_file,
                           "-o", so_file + ".tmp"])
    os.replace(so_file + ".tmp", so_file)
    return outdir


def snapshot_interceptor(outdir, so_path=None):
    """Copies the built interceptor into outdir so that rebuilds during a run don't
    change the library under test; returns outdir."""
    if so_path is None:
        build = os.path.join(ROOT, "build", "cp310")
        if os.path.isdir(build):
            subprocess.run(["ninja", "-C", build], capture_output=True)
        hits = glob.glob(os.path.join(build, "**", "interceptor*.so"), recursive=True)
        if not hits:
            raise RuntimeError("interceptor library not found under %s" % build)
        so_path = hits[0]
    os.makedirs(outdir, exist_ok=True)
    shutil.copy2(so_path, os.path.join(outdir, os.path.basename(so_path)))
    return outdir


def list_tests(python):
    out = subprocess.check_output([python, "-c",
        "from test.libregrtest.runtest import findtests; print('\\n'.join(findtests()))"],
        text=True)
    return [t for t in out.split() if t]


# -- running one module -------------------------------------------------------------

RESULT_RE = re.compile(r"^Tests result: (.+)$", re.M)


def parse_junit(path):
    info = {"tests": 0, "failed_cases": [], "skipped_cases": 0}
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    for case in root.iter("testcase"):
        info["tests"] += 1
        tags = {child.tag for child in case}
        if tags & {"failure", "error"}:
            info["failed_cases"].append(case.get("name"))
        elif "skipped" in tags:
            info["skipped_cases"] += 1
    info["failed_cases"].sort()
    return info


def classify(rc, output, timed_out):
    if timed_out:
        return "TIMEOUT"
    m = RESULT_RE.findall(output)
    result = m[-1].strip() if m else None
    if rc is not None and rc < 0:
        return "CRASH(signal %d)" % -rc
    if result is None:
        return "CRASH(rc %s)" % rc
    if result == "SUCCESS":
        if re.search(r"^1 test skipped:", output, re.M):
            return "SKIPPED"
        if re.search(r"skipped \(resource denied\)|1 test skipped \(resource denied\)",
                     output, re.M):
            return "RESOURCE_DENIED"
    return result.replace(" ", "_")


def run_module(test, mode, python, env, timeout, workdir, extra_args=()):
    tag = "%s.%s" % (test, mode)
    stats_path = os.path.join(workdir, tag + ".stats.json")
    junit_path = os.path.join(workdir, tag + ".xml")
    log_path = os.path.join(workdir, tag + ".log")
    inner_timeout = max(30, int(timeout) - 30)
    cmd = [python, "-X", "faulthandler", os.path.join(HERE, "driver.py"), mode, stats_path,
           test, "--fail-env-changed", "--timeout=%d" % inner_timeout,
           "--junit-xml", junit_path] + list(extra_args)
    start = time.monotonic()
    timed_out = False
    with open(log_path, "w") as log:
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env,
                                cwd=workdir, start_new_session=True)
        try:
            rc = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(proc.pid, signal.SIGKILL)
            rc = proc.wait()
    duration = time.monotonic() - start
    with open(log_path, errors="replace") as f:
        output = f.read()
    entry = {"result": classify(rc, output, timed_out), "rc": rc,
             "duration": round(duration, 2)}
    junit = parse_junit(junit_path)
    if junit:
        entry.update(junit)
    try:
        with open(stats_path) as f:
            stats = json.load(f)
        entry["evaluator_active"] = stats.get("evaluator_active")
        if "recorder" in stats:
            entry["recorder"] = stats["recorder"]
        entry["project_files"] = stats.get("project_files")
    except (OSError, ValueError):
        entry["evaluator_active"] = None
    if entry["result"] not in ("SUCCESS", "SKIPPED", "RESOURCE_DENIED", "NO_TESTS_RAN"):
        entry["log_tail"] = output[-3000:]
    return entry


def make_env(mode, interceptor_dir, recorder_dir):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if interceptor_dir:
        env["CORVANE_INTERCEPTOR_DIR"] = interceptor_dir
    if recorder_dir:
        env["CORVANE_FAKE_RECORDER_DIR"] = recorder_dir
    return env


def run_suite(tests, mode, python, jobs, timeout, interceptor_dir=None, recorder_dir=None,
              progress=True, extra_args=(), partial=None):
    """Runs TESTS under MODE; returns {test: outcome}.  With PARTIAL (a path), the
    outcomes so far are rewritten there after each module, so that a run stopped
    early still leaves its results."""
    workdir = tempfile.mkdtemp(prefix="conformance-%s-" % mode)
    env = make_env(mode, interceptor_dir, recorder_dir)
    results = {}
    lock = threading.Lock()
    done = [0]

    def one(test):
        entry = run_module(test, mode, python, env, timeout, workdir, extra_args)
        with lock:
            results[test] = entry
            done[0] += 1
            if progress:
                print("[%d/%d] %s %s: %s (%.1fs)" % (done[0], len(tests), mode, test,
                      entry["result"], entry["duration"]), flush=True)
            if partial:
                with open(partial + ".tmp", "w") as f:
                    json.dump({"meta": {"mode": mode, "python": python, "partial": True},
                               "modules": results}, f, indent=1, sort_keys=True)
                os.replace(partial + ".tmp", partial)
        return entry

    # Long modules first (by the stock baseline's durations) keeps every worker busy
    # until the end instead of leaving one long module running alone.
    order = list(tests)
    try:
        with open(os.path.join(RESULTS, "stock.json")) as f:
            known = json.load(f)["modules"]
        order.sort(key=lambda t: -known.get(t, {}).get("duration", 60.0))
    except (OSError, ValueError, KeyError):
        pass
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(one, order))
    shutil.rmtree(workdir, ignore_errors=True)
    return {name: results[name] for name in tests}


# -- comparison ---------------------------------------------------------------------

OK_RESULTS = {"SUCCESS", "SKIPPED", "RESOURCE_DENIED", "NO_TESTS_RAN"}


def differs(base, other):
    """Why OTHER's outcome of a module differs from BASE's, or None."""
    if other is None:
        return "not run"
    reasons = []
    if base["result"] != other["result"]:
        reasons.append("result %s vs %s" % (other["result"], base["result"]))
    bf, of = set(base.get("failed_cases", [])), set(other.get("failed_cases", []))
    if bf != of:
        new, gone = sorted(of - bf), sorted(bf - of)
        if new:
            reasons.append("new failures: " + ", ".join(new[:5]) +
                           (" (+%d)" % (len(new) - 5) if len(new) > 5 else ""))
        if gone:
            reasons.append("failures gone: " + ", ".join(gone[:5]))
    if other.get("evaluator_active") is False:
        reasons.append("evaluator not active")
    return "; ".join(reasons) or None


def recheck(stock_path, mode_path, python, jobs, timeout, rounds=2):
    """Reruns, side by side, every module whose result under the mode of MODE_PATH
    differs from STOCK_PATH's, under both evaluators, ROUNDS times; stores the
    outcomes and a verdict in the mode's file.  On a loaded machine some tests are
    timing-sensitive: a difference that disappears when both run again together
    is not a divergence of the evaluator."""
    with open(stock_path) as f:
        stock = json.load(f)
    with open(mode_path) as f:
        run = json.load(f)
    mode = run["meta"]["mode"]
    # Both sides run on the interpreter of the mode's run: the real recorder's
    # runs use the project's venv, whose start-up differs from the bare one's.
    python = run["meta"].get("python") or python
    suspects = [m for m, e in run["modules"].items()
                if m in stock["modules"] and differs(stock["modules"][m], e)]
    if not suspects:
        return run
    snap = tempfile.mkdtemp(prefix="conformance-lib-")
    lib = snapshot_interceptor(os.path.join(snap, "lib"))
    rec = build_fake_recorder(os.path.join(snap, "recorder"), python)
    history = {m: [] for m in suspects}
    for r in range(rounds):
        again_stock = run_suite(suspects, "stock", python, jobs, timeout)
        again_mode = run_suite(suspects, mode, python, jobs, timeout, lib, rec)
        for m in suspects:
            history[m].append({"stock": again_stock[m]["result"],
                               "mode": again_mode[m]["result"],
                               "differs": differs(again_stock[m], again_mode[m])})
    shutil.rmtree(snap, ignore_errors=True)
    for m in suspects:
        agree = [h for h in history[m] if not h["differs"]]
        run["modules"][m]["recheck"] = {
            "rounds": history[m],
            "verdict": "not reproduced" if agree else "reproduced"}
    with open(mode_path, "w") as f:
        json.dump(run, f, indent=1, sort_keys=True)
    return run


def compare(paths, out_md=None, out_json=None):
    runs = []
    for p in paths:
        with open(p) as f:
            runs.append(json.load(f))
    base = runs[0]
    modes = [r["meta"]["mode"] for r in runs]
    names = list(base["modules"])
    rows, diff_rows, summary = [], [], {}
    for r in runs:
        mods = r["modules"]
        common = [n for n in names if n in mods]
        summary[r["meta"]["mode"]] = {
            "modules": len(mods),
            "ok": sum(1 for n in mods if mods[n]["result"] in OK_RESULTS),
            "not_ok": sum(1 for n in mods if mods[n]["result"] not in OK_RESULTS),
            "differ_from_first": sum(1 for n in common
                                     if r is not base and differs(base["modules"][n], mods[n])),
            "evaluator_inactive": sum(1 for n in mods if mods[n].get("evaluator_active") is False),
        }
        recs = [mods[n]["recorder"] for n in mods if mods[n].get("recorder")]
        if recs:
            summary[r["meta"]["mode"]]["recorder"] = {
                k: sum(x.get(k, 0) for x in recs) for k in recs[0]}
            summary[r["meta"]["mode"]]["modules_with_live_records"] = sorted(
                n for n in mods if (mods[n].get("recorder") or {}).get("live_records")
                or (mods[n].get("recorder") or {}).get("live_tokens"))
    for name in names:
        cells = [r["modules"].get(name, {}).get("result", "-") for r in runs]
        why = []
        for r in runs[1:]:
            if name not in r["modules"]:
                continue
            w = differs(base["modules"][name], r["modules"][name])
            if w:
                check = r["modules"][name].get("recheck")
                if check:
                    w += " [rerun %dx with stock: %s]" % (len(check["rounds"]),
                                                          check["verdict"])
                why.append("%s: %s" % (r["meta"]["mode"], w))
        row = {"module": name, "results": dict(zip(modes, cells)), "differs": bool(why),
               "why": why}
        rows.append(row)
        if why or cells[0] not in OK_RESULTS:
            diff_rows.append(row)
    lines = ["# Conformance: %s" % " vs ".join(modes), ""]
    for r in runs:
        m = r["meta"]
        lines.append("- %s: %s, %d modules, %s" % (m["mode"], m.get("date", "?"),
                     len(r["modules"]), m.get("note", "")))
    lines += ["", "| mode | modules | ok | not ok | differ from %s | evaluator inactive |" % modes[0],
              "|---|---|---|---|---|---|"]
    for mode in modes:
        s = summary[mode]
        lines.append("| %s | %d | %d | %d | %d | %d |" % (mode, s["modules"], s["ok"], s["not_ok"],
                     s["differ_from_first"], s["evaluator_inactive"]))
    for mode in modes:
        rec = summary[mode].get("recorder")
        if rec:
            lines.append("")
            lines.append("%s recorder callbacks over all modules: %s" % (mode, ", ".join(
                "%s %d" % (k, v) for k, v in rec.items())))
            leaky = summary[mode]["modules_with_live_records"]
            if leaky:
                lines.append("%s modules ending with records or tokens still alive: %s" % (
                    mode, ", ".join(leaky[:30]) + (" ..." if len(leaky) > 30 else "")))
    lines += ["", "Modules that differ, or that are not ok under %s:" % modes[0], "",
              "| module | " + " | ".join(modes) + " | differs? |",
              "|---|" + "---|" * len(modes) + "---|"]
    for row in diff_rows:
        lines.append("| %s | %s | %s |" % (row["module"],
                     " | ".join(row["results"][m] for m in modes),
                     ("yes: " + "; ".join(row["why"])) if row["differs"] else "no"))
    text = "\n".join(lines) + "\n"
    if out_md:
        with open(out_md, "w") as f:
            f.write(text)
    if out_json:
        with open(out_json, "w") as f:
            json.dump({"modes": modes, "summary": summary, "rows": rows}, f, indent=1)
    return text, summary, rows


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    r = sub.add_parser("run")
    r.add_argument("--mode", choices=MODES, required=True)
    r.add_argument("--python", default=None, help="interpreter (default: CPython 3.10)")
    r.add_argument("-j", "--jobs", type=int, default=2)
    r.add_argument("--timeout", type=float, default=1800.0, help="seconds per module")
    r.add_argument("-x", "--exclude", action="append", default=[])
    r.add_argument("--interceptor", default=None, help="path of interceptor*.so")
    r.add_argument("-o", "--output", default=None)
    r.add_argument("--note", default="")
    r.add_argument("tests", nargs="*")
    k = sub.add_parser("recheck", help="rerun differing modules next to stock")
    k.add_argument("stock")
    k.add_argument("modefile")
    k.add_argument("--rounds", type=int, default=2)
    k.add_argument("-j", "--jobs", type=int, default=2)
    k.add_argument("--timeout", type=float, default=1800.0)
    k.add_argument("--python", default=None)
    c = sub.add_parser("compare")
    c.add_argument("files", nargs="+")
    c.add_argument("--md", default=None)
    c.add_argument("--json", default=None)
    args = ap.parse_args()

    if args.cmd == "recheck":
        run = recheck(args.stock, args.modefile, args.python or default_python(), args.jobs,
                      args.timeout, args.rounds)
        for m, e in sorted(run["modules"].items()):
            if "recheck" in e:
                print(m, e["recheck"]["verdict"], [h["mode"] for h in e["recheck"]["rounds"]])
        return 0
    if args.cmd == "compare":
        text, _, _ = compare(args.files, args.md, args.json)
        print(text)
        return 0

    # The real recorder needs the installed package: use the project's venv.
    python = args.python or (os.path.join(ROOT, ".venv", "bin", "python")
                             if args.mode == "rate1-real" else default_python())
    tests = args.tests or [t for t in list_tests(python)
                           if t not in DEFAULT_EXCLUDE and t not in args.exclude]
    interceptor_dir = recorder_dir = None
    snap = None
    if args.mode != "stock":
        snap = tempfile.mkdtemp(prefix="conformance-lib-")
        interceptor_dir = snapshot_interceptor(os.path.join(snap, "lib"), args.interceptor)
        if args.mode in ("rate0", "rate1"):
            recorder_dir = build_fake_recorder(os.path.join(snap, "recorder"), python)
    start = time.time()
    out = args.output or os.path.join(RESULTS, args.mode + ".json")
    modules = run_suite(tests, args.mode, python, args.jobs, args.timeout,
                        interceptor_dir, recorder_dir, partial=out + ".partial")
    if snap:
        shutil.rmtree(snap, ignore_errors=True)
    git = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %s"],
                         capture_output=True, text=True).stdout.strip()
    meta = {"mode": args.mode, "python": python, "jobs": args.jobs, "timeout": args.timeout,
            "date": datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M UTC"),
            "wall_seconds": round(time.time() - start, 1), "commit": git, "note": args.note}
    os.makedirs(RESULTS, exist_ok=True)
    with open(out, "w") as f:
        json.dump({"meta": meta, "modules": modules}, f, indent=1, sort_keys=True)
    if os.path.exists(out + ".partial"):
        os.remove(out + ".partial")
    bad = [t for t, e in modules.items() if e["result"] not in OK_RESULTS]
    print("%d modules, %d not ok: %s" % (len(modules), len(bad), " ".join(bad)))
    print("wrote", out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
