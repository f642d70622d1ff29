#!/usr/bin/env python3
"""Instructions executed by the workloads of eval_overhead.py, stock against ours.

Timings on a shared machine swing by more than the overheads we look for; the
number of instructions executed does not (with a fixed hash seed it is the
same from run to run).  Each workload runs in a child under valgrind's
cachegrind, once and three times; the difference, halved, is the cost of one
run without start-up.  Printed: instructions per run under stock and the
ratios for the empty project set and for this file's project set at rate 0.

  python bench/eval_instructions.py [--only NAME,...]

Needs valgrind.  CORVANE_INTERCEPTOR_DIR works as for eval_overhead.py.
"""
import argparse
import math
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

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


def instructions(conf, name, runs):
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
         sys.executable, "-c", CHILD % {"here": HERE}, conf, name, str(runs)],
        capture_output=True, text=True, env=env)
    m = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    if proc.returncode != 0 or m is None:
        raise RuntimeError("child failed: %s" % proc.stderr[-2000:])
    return int(m.group(1).replace(",", ""))


def per_run(conf, name):
    return (instructions(conf, name, 3) - instructions(conf, name, 1)) / 2


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=None, help="comma-separated workload names")
    args = ap.parse_args()
    sys.path.insert(0, HERE)
    import eval_overhead
    names = [w for w, _ in eval_overhead.WORKLOADS
             if not args.only or w in args.only.split(",")]
    print("%-18s %14s %9s %10s" % ("workload", "stock instr", "empty", "project-0"))
    ratios = {"empty": [], "project-0": []}
    for name in names:
        base = per_run("stock", name)
        row = "%-18s %14d" % (name, base)
        for conf, width in (("empty", 9), ("project-0", 10)):
            r = per_run(conf, name) / base
            ratios[conf].append(r)
            row += " %*.3f" % (width, r)
        print(row, flush=True)
    print("%-18s %14s %9.3f %10.3f" % (
        "geometric mean", "",
        math.exp(sum(map(math.log, ratios["empty"])) / len(names)),
        math.exp(sum(map(math.log, ratios["project-0"])) / len(names))))


if __name__ == "__main__":
    main()
