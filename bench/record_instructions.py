#!/usr/bin/env python3
"""Instructions executed per recorded call, for the cases of record_cost.py.

Each case runs in a child under valgrind's callgrind with collection switched
on only inside the evaluator's hooked call (the sampled project call, with
the recorder's entry and return callbacks, the callee's body and the external
calls it makes), once with 1000 and once with 3000 calls; the difference,
over 2000, is the instructions of one recorded call without warm-up or
start-up (the child freezes its start-up objects first, which keeps the
collections of the garbage collector in step from run to run, and runs
without address randomisation).  The collector runs as in record_cost.py: rate 1.0, the real
recorder and safe pickler, channels that only count.  With a fixed hash seed
the figures are the same from run to run.

  python bench/record_instructions.py [--only CASE,...] [--keep DIR]
  python bench/record_instructions.py --workloads [--only NAME,...] [-j N]

--keep DIR  also keep the callgrind outputs of each case, DIR/CASE.callgrind
            (3000 calls) and DIR/CASE.1000.callgrind, for callgrind_annotate or
            a per-function difference.

--workloads  instructions per run of the whole programs of record_cost.py
             --workloads under stock, at rate 0, 0.01 and 1.0 (real recorder,
             counting channels), counted over the whole child: a run once and
             three times, the difference halved. The sampling seed is fixed
             after apply, so every configuration samples the same calls from
             run to run; the ratios to stock and their geometric means.

Needs valgrind.
"""
import argparse
import os
import platform
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOGGLE = "*corv_hooked_call_function_slow*"

CHILD = r'''
import gc, sys
sys.path.insert(0, %(here)r)
import record_cost as rc
import interceptor
case, n = sys.argv[1], int(sys.argv[2])
rc.configure_collector()
# Start-up objects out of the collector's way: how many of them there are
# differs with the environment, and so would the moments of full collections.
gc.collect()
gc.freeze()
loop = dict(rc.CASES)[case]
interceptor.apply({rc.proj.__file__}, 1.0)
try:
    loop(n)
finally:
    interceptor.set_defualt_interpter()
'''


WORKLOAD_CHILD = r'''
import ctypes, gc, sys
sys.path.insert(0, %(here)r)
import record_cost as rc
import _record_workloads as programs
import interceptor
name, rate, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
fn = dict(programs.WORKLOADS)[name]
rc.configure_collector()
gc.collect()
gc.freeze()
if rate != "stock":
    interceptor.apply({programs.__file__}, float(rate))
    # (apply seeds the draw from urandom)
    ctypes.c_int64.in_dll(ctypes.CDLL(interceptor.__file__), "random_seed").value = 0x5DEECE66D
try:
    for _ in range(n):
        fn()
finally:
    if rate != "stock":
        interceptor.set_defualt_interpter()
'''
WORKLOAD_MODES = ("stock", "0", "0.01", "1.0")


def workload_instructions(name, rate, runs):
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "out")
        proc = subprocess.run(
            ["setarch", platform.machine(), "-R", "valgrind", "--tool=callgrind",
             "--callgrind-out-file=" + out_file,
             sys.executable, "-c", WORKLOAD_CHILD % {"here": HERE}, name, rate, str(runs)],
            capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if proc.returncode != 0:
            raise RuntimeError("child failed: %s" % proc.stderr[-2000:])
        return _totals(out_file)


def workloads(only, jobs):
    import concurrent.futures
    import math
    import _record_workloads as programs
    names = [w for w, _ in programs.WORKLOADS if not only or w in only]
    with concurrent.futures.ThreadPoolExecutor(jobs) as ex:
        futures = {(w, m, n): ex.submit(workload_instructions, w, m, n)
                   for w in names for m in WORKLOAD_MODES for n in (1, 3)}
        counts = {k: f.result() for k, f in futures.items()}
    print("instructions per run (millions), and relative to stock")
    print("%-16s" % "workload" + "".join("%10s" % m for m in WORKLOAD_MODES)
          + "".join("%10s" % ("rate " + m) for m in WORKLOAD_MODES[1:]))
    ratios = {m: [] for m in WORKLOAD_MODES[1:]}
    for w in names:
        per = {m: (counts[(w, m, 3)] - counts[(w, m, 1)]) / 2 for m in WORKLOAD_MODES}
        row = "%-16s" % w + "".join("%10.2f" % (per[m] / 1e6) for m in WORKLOAD_MODES)
        for m in WORKLOAD_MODES[1:]:
            ratios[m].append(per[m] / per["stock"])
            row += "%10.3f" % ratios[m][-1]
        print(row, flush=True)
    print("%-16s" % "geometric mean" + " " * 10 * len(WORKLOAD_MODES) + "".join(
        "%10.3f" % math.exp(sum(map(math.log, r)) / len(r)) for r in ratios.values()))


def _totals(out_file):
    with open(out_file) as fh:
        for line in fh:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise RuntimeError("no totals in %s" % out_file)


def instructions(case, calls, out_file):
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(
        ["setarch", platform.machine(), "-R",
         "valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=" + TOGGLE,
         "--callgrind-out-file=" + out_file,
         sys.executable, "-c", CHILD % {"here": HERE}, case, str(calls)],
        capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError("child failed: %s" % proc.stderr[-2000:])
    return _totals(out_file)


def main():
    sys.path.insert(0, HERE)
    import record_cost
    names = [c for c, _ in record_cost.CASES]
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=None, help="comma-separated case names")
    ap.add_argument("--keep", default=None, help="directory for the callgrind outputs")
    ap.add_argument("--workloads", action="store_true",
                    help="instructions per run of record_cost.py's whole programs")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="children at once (--workloads)")
    args = ap.parse_args()
    if args.workloads:
        workloads(args.only.split(",") if args.only else None, args.jobs)
        return
    chosen = [c for c in names if not args.only or c in args.only.split(",")]
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    print("%-14s %14s" % ("case", "instr/call"))
    with tempfile.TemporaryDirectory() as tmp:
        for case in chosen:
            low_file = (os.path.join(args.keep, case + ".1000.callgrind") if args.keep
                        else os.path.join(tmp, "low"))
            low = instructions(case, 1000, low_file)
            high_file = (os.path.join(args.keep, case + ".callgrind") if args.keep
                         else os.path.join(tmp, "high"))
            high = instructions(case, 3000, high_file)
            print("%-14s %14.0f" % (case, (high - low) / 2000), flush=True)


if __name__ == "__main__":
    main()
