#!/usr/bin/env python3
"""Overhead of our frame evaluator against the interpreter's own, side by side.

Every workload is timed under each configuration in turn, round after round (the
configurations are switched with interceptor.apply and interceptor.set_defualt_interpter
between measurements, so machine noise hits all of them alike).  Printed, relative to
stock: the best time of each, and the median over the rounds of each round's time
against stock's in the same round; the geometric mean and the worst workload per
configuration; for the sampling configurations the extra cost per callback.  With
--counts, instructions and branch mispredictions per run as well (eval_instructions.py):
load on the machine changes wall times but not those counts.

The per-round table also gives the widest interquartile range of a configuration's
per-round ratios: a spread well above the overhead sought means more rounds are needed.
Cycles come with --counts only where perf finds hardware counters; on machines
without them (virtual machines, usually) cachegrind counts instructions and
simulated branch mispredictions, and there is no cycle count.

Configurations:
  stock        the interpreter's own evaluator
  empty        ours, empty project set, rate 0.0 (no call is a candidate)
  project-0    ours, this file in the project set, rate 0.0 (every decision made,
               nothing sampled)
  project-0.01 / project-1  this file in the project set, rate 0.01 / 1.0, with a
               recorder whose callbacks return at once (compiled, so callbacks create
               no Python frames, as with the real recorder)

  python bench/eval_overhead.py [--repeat N] [--only NAME,...] [--configs a,b,...] [--counts]

CORVANE_INTERCEPTOR_DIR names a directory to import the interceptor from instead
of the installed one.
"""
import argparse
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RECORDER_MODULE = "corvane_collector.data_collection.call_recorder"


# -- workloads ----------------------------------------------------------------------

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def w_recursion():
    return fib(22)


class Vec:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x = x
        self.y = y

    def add(self, other):
        return Vec(self.x + other.x, self.y + other.y)

    def dot(self, other):
        return self.x * other.x + self.y * other.y

    def scale(self, k):
        return Vec(self.x * k, self.y * k)


def w_method_calls():
    v = Vec(1, 2)
    w = Vec(3, 4)
    acc = 0
    for i in range(40000):
        acc += v.add(w).scale(2).dot(w)
    return acc


class Config:
    def __init__(self):
        self.alpha = 1
        self.beta = 2
        self.gamma = 3


def w_attribute_access():
    c = Config()
    total = 0
    for i in range(150000):
        total += c.alpha + c.beta * c.gamma
        c.alpha = i & 7
    return total


def numbers(n):
    for i in range(n):
        if i % 3:
            yield i * 2


def pipeline(n):
    evens = (x for x in numbers(n) if x % 4 == 0)
    return sum(x // 2 for x in evens)


def w_generators():
    return pipeline(200000)


def make_counter():
    count = 0

    def step(k):
        nonlocal count
        count += k
        return count
    return step


def w_closures():
    step = make_counter()
    adders = [(lambda a, b=b: a + b) for b in range(10)]
    total = 0
    for i in range(30000):
        total += step(1)
        total += adders[i % 10](i)
    return total


def w_comprehensions():
    data = list(range(2000))
    out = 0
    for _ in range(30):
        squares = [x * x for x in data if x & 1]
        table = {x: x + 1 for x in data[:500]}
        unique = {x % 97 for x in data}
        out += len(squares) + len(table) + len(unique) + sum(squares[:10])
    return out


class Account:
    def __init__(self, owner, balance=0):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount):
        if amount <= 0:
            raise ValueError("amount must be positive")
        self.balance += amount
        self.history.append(("deposit", amount))

    def withdraw(self, amount):
        if amount > self.balance:
            raise ValueError("insufficient funds")
        self.balance -= amount
        self.history.append(("withdraw", amount))


class Bank:
    def __init__(self, n):
        self.accounts = [Account("owner%d" % i, 100) for i in range(n)]

    def transfer(self, a, b, amount):
        try:
            self.accounts[a].withdraw(amount)
        except ValueError:
            return False
        self.accounts[b].deposit(amount)
        return True

    def total(self):
        return sum(acc.balance for acc in self.accounts)


def w_oo_simulation():
    bank = Bank(50)
    ok = 0
    for i in range(20000):
        ok += bank.transfer(i % 50, (i * 7) % 50, (i % 13) * 10 + 1)
    return ok + bank.total()


def w_string_formatting():
    parts = []
    for i in range(30000):
        parts.append("%s-%d" % ("item", i))
        parts.append("{}:{:>5}".format(i, i * 2))
        parts.append(f"{i:04d}/{i * 0.5:.2f}")
    return len("".join(parts))


def w_loops():
    total = 0
    for i in range(300000):
        if i & 1:
            total += i
        else:
            total -= 1
    n = 100000
    while n:
        n -= 1
    return total


def small(a, b=2):
    return a + b


def keywords(a, *, k=1):
    return a * k


def varargs(*args):
    return len(args)


def w_calls():
    total = 0
    for i in range(40000):
        total += small(i) + small(i, 3) + keywords(i, k=2) + varargs(i, i)
    return total


def w_nested_comprehensions():
    out = 0
    for _ in range(20):
        rows = [[x * y for x in range(10)] for y in range(300)]
        out += sum(sum(r) for r in rows)
        out += len({k: [v for v in range(3)] for k in range(300)})
    return out


def w_builtin_calls():
    data = [3, 1, 2]
    total = 0
    for i in range(60000):
        total += len(data) + min(data) + abs(-i) + isinstance(i, int)
    return total


WORKLOADS = [
    ("recursion", w_recursion),
    ("calls", w_calls),
    ("loops", w_loops),
    ("builtin_calls", w_builtin_calls),
    ("nested_comprehensions", w_nested_comprehensions),
    ("method_calls", w_method_calls),
    ("attribute_access", w_attribute_access),
    ("generators", w_generators),
    ("closures", w_closures),
    ("comprehensions", w_comprehensions),
    ("oo_simulation", w_oo_simulation),
    ("string_formatting", w_string_formatting),
]


# -- configurations -------------------------------------------------------------------

def load_recorder():
    """The minimal compiled recorder, registered under the recorder's module name."""
    sys.path.insert(0, os.path.join(ROOT, "conformance"))
    import run as conformance_run
    out = conformance_run.build_fake_recorder(
        os.path.join(ROOT, "build", "bench-recorder"), sys.executable)
    sys.path.insert(0, out)
    import fake_recorder
    from driver import register_recorder
    register_recorder(fake_recorder)
    return fake_recorder


def configurations(interceptor):
    me = {os.path.abspath(__file__), __file__}
    return {
        "stock": lambda: interceptor.set_defualt_interpter(),
        "empty": lambda: interceptor.apply(set(), 0.0),
        "project-0": lambda: interceptor.apply(me, 0.0),
        "project-0.01": lambda: interceptor.apply(me, 0.01),
        "project-1": lambda: interceptor.apply(me, 1.0),
    }


def measure(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def import_interceptor():
    """The interceptor, from CORVANE_INTERCEPTOR_DIR when that is set."""
    so_dir = os.environ.get("CORVANE_INTERCEPTOR_DIR")
    if not so_dir:
        import interceptor
        return interceptor
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                    "conformance"))
    from interceptor_file import load_interceptor
    return load_interceptor(so_dir)


def geomean(xs):
    return math.exp(sum(map(math.log, xs)) / len(xs))


def median(xs):
    xs = sorted(xs)
    n = len(xs)
    return xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) / 2


def quartiles(xs):
    xs = sorted(xs)
    return median(xs[:len(xs) // 2]), median(xs[(len(xs) + 1) // 2:])


def print_table(title, workloads, names, ratio_of, spread_of=None):
    """spread_of(workload, config), when given, adds the widest spread of a column."""
    others = [c for c in names if c != "stock"]
    print(title)
    print("%-22s" % "workload" + "".join(" %13s" % c for c in others))
    cols = {c: [] for c in others}
    for wname in workloads:
        row = "%-22s" % wname
        for c in others:
            r = ratio_of(wname, c)
            cols[c].append(r)
            row += " %13.3f" % r
        print(row)
    print("%-22s" % "geometric mean" + "".join(" %13.3f" % geomean(cols[c]) for c in others))
    print("%-22s" % "worst" + "".join(" %13.3f" % max(cols[c]) for c in others))
    if spread_of is not None:
        print("%-22s" % "widest IQR" + "".join(
            " %13.3f" % max(spread_of(w, c) for w in workloads) for c in others))
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--only", default=None, help="comma-separated workload names")
    ap.add_argument("--configs", default="stock,empty,project-0,project-0.01,project-1")
    ap.add_argument("--counts", action="store_true",
                    help="also count instructions and branch mispredictions per run "
                         "(hardware counters through perf when the machine has them, "
                         "else valgrind's cachegrind); slow")
    ap.add_argument("-j", "--jobs", type=int, default=1,
                    help="children at once for --counts with cachegrind")
    args = ap.parse_args()

    interceptor = import_interceptor()
    recorder = load_recorder()
    confs = configurations(interceptor)
    names = args.configs.split(",")
    if names[0] != "stock":
        names = ["stock"] + [c for c in names if c != "stock"]
    workloads = [w for w in WORKLOADS if not args.only or w[0] in args.only.split(",")]

    # Callbacks per run at rate 1.0, to turn extra time into a cost per callback.
    per_run = {}
    if "project-1" in names:
        for name, fn in workloads:
            confs["project-1"]()
            before = recorder.stats()
            measure(fn)  # called from a frame of ours, as in the timed runs
            after = recorder.stats()
            interceptor.set_defualt_interpter()
            per_run[name] = {k: after[k] - before[k] for k in after}

    times = {(w, c): [] for w, _ in workloads for c in names}
    load_before = os.getloadavg()
    for rep in range(args.repeat):
        for wname, fn in workloads:
            # Rotate the order so that no configuration always runs first.
            order = names[rep % len(names):] + names[:rep % len(names)]
            for c in order:
                confs[c]()
                times[(wname, c)].append(measure(fn))
                interceptor.set_defualt_interpter()
    load_after = os.getloadavg()

    print("python %s, %d interleaved rounds; load average %.2f before, %.2f after, %d cpus" % (
        sys.version.split()[0], args.repeat, load_before[0], load_after[0], os.cpu_count()))
    print("%-22s %10s" % ("workload", "stock ms"))
    for wname, _ in workloads:
        print("%-22s %10.1f" % (wname, min(times[(wname, "stock")]) * 1e3))
    print()
    wnames = [w for w, _ in workloads]
    print_table("wall time, best of the rounds, relative to stock", wnames, names,
                lambda w, c: min(times[(w, c)]) / min(times[(w, "stock")]))
    # Each round's time against stock's in the same round, then the median:
    # load that comes and goes hits both sides of a pair alike.  The widest
    # interquartile range of those ratios tells whether the rounds were enough.
    def round_ratios(w, c):
        return [t / s for t, s in zip(times[(w, c)], times[(w, "stock")])]

    def spread(w, c):
        q1, q3 = quartiles(round_ratios(w, c))
        return q3 - q1
    print_table("wall time, median of the per-round ratios to stock", wnames, names,
                lambda w, c: median(round_ratios(w, c)),
                spread if args.repeat >= 4 else None)

    if "project-1" in names:
        print("rate 1.0, minimal recorder: callbacks per run and extra cost per callback")
        print("%-22s %9s %9s %9s %9s %12s" % ("workload", "calls", "external", "attr",
                                            "global", "ns/callback"))
        for wname, _ in workloads:
            s = per_run[wname]
            n = s["user_calls"] + s["user_returns"] + s["external_calls"] + \
                s["external_returns"] + s["load_attr"] + s["load_global"]
            extra = min(times[(wname, "project-1")]) - min(times[(wname, "stock")])
            print("%-22s %9d %9d %9d %9d %12s" % (
                wname, s["user_calls"], s["external_calls"], s["load_attr"],
                s["load_global"], ("%.0f" % (extra / n * 1e9)) if n else "-"))
        print()

    if args.counts:
        sys.path.insert(0, HERE)
        import eval_instructions
        eval_instructions.report(wnames, [c for c in names if c in eval_instructions.CONFIGS],
                                 jobs=args.jobs)


if __name__ == "__main__":
    main()
