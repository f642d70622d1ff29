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

--keep DIR  also keep the callgrind output of the 3000-call run of each case
            as DIR/CASE.callgrind, for callgrind_annotate.

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
    with open(out_file) as fh:
        for line in fh:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise RuntimeError("no totals in %s" % out_file)


def main():
    sys.path.insert(0, HERE)
    import record_cost
    names = [c for c, _ in record_cost.CASES]
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=None, help="comma-separated case names")
    ap.add_argument("--keep", default=None, help="directory for the callgrind outputs")
    args = ap.parse_args()
    chosen = [c for c in names if not args.only or c in args.only.split(",")]
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    print("%-14s %14s" % ("case", "instr/call"))
    with tempfile.TemporaryDirectory() as tmp:
        for case in chosen:
            low = instructions(case, 1000, os.path.join(tmp, "low"))
            high_file = (os.path.join(args.keep, case + ".callgrind") if args.keep
                         else os.path.join(tmp, "high"))
            high = instructions(case, 3000, high_file)
            print("%-14s %14.0f" % (case, (high - low) / 2000), flush=True)


if __name__ == "__main__":
    main()
