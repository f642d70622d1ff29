#!/usr/bin/env python3
"""Instructions and branch mispredictions of the workloads of eval_overhead.py, stock
against ours.

Timings on a shared machine swing by more than the overheads we look for; counts of
events do not.  Each workload runs in a child, once and three times; the difference,
halved, is the cost of one run without start-up.  The counter is perf (cycles,
instructions, branch misses) when the machine gives hardware counters, else valgrind's
cachegrind with its branch simulator (instructions; conditional and indirect branches
and their mispredictions by the simulated predictor; with a fixed hash seed these are
the same from run to run).  Printed: the stock figures per run and, for the empty
project set and for this file's project set at rate 0, the ratios to stock.

With --cache-sim (cachegrind only), first-level instruction and data cache misses of
cachegrind's simulated caches (this machine's sizes) as well: the evaluator's code
competes with the interpreter's for the instruction cache, and a few hot lines more
in one cache set can cost a miss on every pass through a loop, which the instruction
count does not show.

  python bench/eval_instructions.py [--only NAME,...] [--tool perf|cachegrind] [-j N]
                                    [--cache-sim]

Needs perf or valgrind.  CORVANE_INTERCEPTOR_DIR works as for eval_overhead.py.
"""
import argparse
import concurrent.futures
import math
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIGS = ("stock", "empty", "project-0")

CHILD = r'''
import os, sys
sys.path.insert(0, %(here)r)
import eval_overhead as eo
interceptor = eo.import_interceptor()
eo.load_recorder()
conf, name, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
fn = dict(eo.WORKLOADS)[name]
me = {os.path.abspath(eo.__file__), eo.__file__}
if conf == "empty":
    interceptor.apply(set(), 0.0)
elif conf == "project-0":
    interceptor.apply(me, 0.0)
def run():
    for _ in range(n):
        fn()
run()
interceptor.set_defualt_interpter()
'''

PERF_EVENTS = ("instructions", "cycles", "branch-misses")
CACHE_EVENTS = ("I1-misses", "D1-misses")


def perf_works():
    """Whether perf counts every event we ask for on this machine."""
    if shutil.which("perf") is None:
        return False
    proc = subprocess.run(["perf", "stat", "-x,", "-e", ",".join(PERF_EVENTS), "true"],
                          capture_output=True, text=True)
    return proc.returncode == 0 and "<not supported>" not in proc.stderr and \
        "<not counted>" not in proc.stderr


def child_argv(conf, name, runs):
    return [sys.executable, "-c", CHILD % {"here": HERE}, conf, name, str(runs)]


def counts_perf(conf, name, runs):
    proc = subprocess.run(["perf", "stat", "-x,", "-e", ",".join(PERF_EVENTS)] +
                          child_argv(conf, name, runs), capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    if proc.returncode != 0:
        raise RuntimeError("child failed: %s" % proc.stderr[-2000:])
    out = {}
    for line in proc.stderr.splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[2] in PERF_EVENTS:
            out[fields[2]] = int(fields[0])
    return out


def counts_cachegrind(conf, name, runs, cache_sim=False):
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=%s" % ("yes" if cache_sim else "no"),
         "--branch-sim=yes",
         "--cachegrind-out-file=/dev/null"] + child_argv(conf, name, runs),
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    refs = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    branches = re.search(r"Branches:\s+[\d,]+\s+\(\s*([\d,]+) cond \+\s*([\d,]+) ind\)",
                         proc.stderr)
    misses = re.search(r"Mispredicts:\s+[\d,]+\s+\(\s*([\d,]+) cond \+\s*([\d,]+) ind\)",
                       proc.stderr)
    if proc.returncode != 0 or not (refs and branches and misses):
        raise RuntimeError("child failed: %s" % proc.stderr[-2000:])
    num = lambda m, i: int(m.group(i).replace(",", ""))  # noqa: E731
    out = {"instructions": num(refs, 1), "cond-branches": num(branches, 1),
           "cond-misses": num(misses, 1), "ind-branches": num(branches, 2),
           "ind-misses": num(misses, 2)}
    if cache_sim:
        for key, label in (("I1-misses", "I1"), ("D1-misses", "D1")):
            m = re.search(r"%s\s+misses:\s+([\d,]+)" % label, proc.stderr)
            if m is None:
                raise RuntimeError("no %s misses in: %s" % (label, proc.stderr[-2000:]))
            out[key] = num(m, 1)
    return out


def report(names, confs, tool=None, jobs=1, cache_sim=False):
    """Prints the table for workloads NAMES under CONFS (stock first).

    jobs > 1 runs that many children at once: right for cachegrind, whose counts do
    not depend on load; perf's cycles do."""
    tool = tool or ("perf" if perf_works() else "cachegrind")
    if tool == "perf":
        counter = counts_perf
    else:
        def counter(conf, name, runs):
            return counts_cachegrind(conf, name, runs, cache_sim)
    confs = [c for c in confs if c != "stock"]
    with concurrent.futures.ThreadPoolExecutor(max(1, jobs)) as pool:
        futures = {(c, name, runs): pool.submit(counter, c, name, runs)
                   for name in names for c in ["stock"] + confs for runs in (1, 3)}

        def per_run(conf, name):
            one = futures[(conf, name, 1)].result()
            three = futures[(conf, name, 3)].result()
            return {k: (three[k] - one[k]) / 2 for k in one}
        _print_table(names, confs, tool, per_run, cache_sim)


def _print_table(names, confs, tool, per_run, cache_sim=False):
    events = PERF_EVENTS if tool == "perf" else (
        "instructions", "cond-misses", "ind-misses")
    if tool != "perf" and cache_sim:
        events += ("I1-misses", "D1-misses")
    print("counts per run with %s, ratios to stock" % tool)
    head = "%-22s %14s" % ("workload", "stock instr")
    for c in confs:
        head += "".join(" %*s" % (max(10, len(c) + len(e) + 1), "%s:%s" % (c, e))
                        for e in events)
    print(head)
    ratios = {(c, e): [] for c in confs for e in events}
    for name in names:
        base = per_run("stock", name)
        row = "%-22s %14d" % (name, base["instructions"])
        for c in confs:
            mine = per_run(c, name)
            for e in events:
                width = max(10, len(c) + len(e) + 1)
                if e in CACHE_EVENTS:
                    # Stock often has next to none: the difference, not a ratio.
                    ratios[(c, e)].append(mine[e] - base[e])
                    row += " %+*.0f" % (width, mine[e] - base[e])
                    continue
                r = mine[e] / base[e] if base[e] > 0 else float("nan")
                if base[e] > 0 and mine[e] > 0:
                    ratios[(c, e)].append(r)
                row += " %*.3f" % (width, r)
        print(row, flush=True)
    row = "%-22s %14s" % ("geometric mean", "")
    for c in confs:
        for e in events:
            xs = ratios[(c, e)]
            width = max(10, len(c) + len(e) + 1)
            if e in CACHE_EVENTS:
                row += " %+*.0f" % (width, sum(xs))
                continue
            g = math.exp(sum(map(math.log, xs)) / len(xs)) if xs else float("nan")
            row += " %*.3f" % (width, g)
    print(row)
    if cache_sim:
        print("(I1/D1-misses: first-level cache misses per run more than stock's; "
              "on the last line their sum)")
    if tool == "cachegrind":
        print("(cond/ind-misses: conditional and indirect branch mispredictions of "
              "cachegrind's simulated predictor)")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=None, help="comma-separated workload names")
    ap.add_argument("--tool", choices=("perf", "cachegrind"), default=None,
                    help="default: perf when the machine gives hardware counters")
    ap.add_argument("-j", "--jobs", type=int, default=1,
                    help="children at once (only for cachegrind, whose counts ignore load)")
    ap.add_argument("--cache-sim", action="store_true",
                    help="with cachegrind, also first-level instruction and data cache misses")
    args = ap.parse_args()
    sys.path.insert(0, HERE)
    import eval_overhead
    names = [w for w, _ in eval_overhead.WORKLOADS
             if not args.only or w in args.only.split(",")]
    report(names, CONFIGS, args.tool, args.jobs, args.cache_sim)


if __name__ == "__main__":
    main()
