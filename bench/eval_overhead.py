#!/usr/bin/env python3
"""Overhead of our frame evaluator against the interpreter's own, side by side.

Every workload is timed under each configuration in turn, repetition after
repetition (the configurations are switched with interceptor.apply and
interceptor.set_defualt_interpter between measurements, so machine noise hits all of
them alike); the best time of each is kept.  Printed: per-workload times relative to
stock, the geometric mean per configuration, and for the sampling configurations the
extra cost per callback.

Configurations:
  stock        the interpreter's own evaluator
  empty        ours, empty project set, rate 0.0 (no call is a candidate)
  project-0    ours, this file in the project set, rate 0.0 (every decision made,
               nothing sampled)
  project-0.01 / project-1  this file in the project set, rate 0.01 / 1.0, with a
               recorder whose callbacks return at once (compiled, so callbacks create
               no Python frames, as with the real recorder)

  python bench/eval_overhead.py [--repeat N] [--only NAME,...] [--configs a,b,...]

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


WORKLOADS = [
    ("recursion", w_recursion),
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


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--only", default=None, help="comma-separated workload names")
    ap.add_argument("--configs", default="stock,empty,project-0,project-0.01,project-1")
    args = ap.parse_args()

    interceptor = import_interceptor()
    recorder = load_recorder()
    confs = configurations(interceptor)
    names = args.configs.split(",")
    workloads = [w for w in WORKLOADS if not args.only or w[0] in args.only.split(",")]

    # Callbacks per run at rate 1.0, to turn extra time into a cost per callback.
    per_run = {}
    for name, fn in workloads:
        confs["project-1"]()
        before = recorder.stats()
        measure(fn)  # called from a frame of ours, as in the timed runs
        after = recorder.stats()
        interceptor.set_defualt_interpter()
        per_run[name] = {k: after[k] - before[k] for k in after}

    best = {(w, c): float("inf") for w, _ in workloads for c in names}
    for rep in range(args.repeat):
        for wname, fn in workloads:
            # Rotate the order so that no configuration always runs first.
            order = names[rep % len(names):] + names[:rep % len(names)]
            for c in order:
                confs[c]()
                best[(wname, c)] = min(best[(wname, c)], measure(fn))
                interceptor.set_defualt_interpter()

    print("python %s, %d repetitions, best time per configuration" % (
        sys.version.split()[0], args.repeat))
    header = "%-18s %10s" % ("workload", "stock ms") + "".join(
        " %13s" % c for c in names if c != "stock")
    print(header)
    geo = {c: [] for c in names}
    for wname, _ in workloads:
        base = best[(wname, "stock")]
        row = "%-18s %10.1f" % (wname, base * 1e3)
        for c in names:
            if c == "stock":
                continue
            ratio = best[(wname, c)] / base
            geo[c].append(ratio)
            row += " %13.3f" % ratio
        print(row)
    row = "%-18s %10s" % ("geometric mean", "")
    for c in names:
        if c != "stock":
            row += " %13.3f" % math.exp(sum(map(math.log, geo[c])) / len(geo[c]))
    print(row)
    row = "%-18s %10s" % ("worst", "")
    for c in names:
        if c != "stock":
            row += " %13.3f" % max(geo[c])
    print(row)

    if "project-1" in names:
        print()
        print("rate 1.0, minimal recorder: callbacks per run and extra cost per callback")
        print("%-18s %9s %9s %9s %9s %12s" % ("workload", "calls", "external", "attr",
                                            "global", "ns/callback"))
        for wname, _ in workloads:
            s = per_run[wname]
            n = s["user_calls"] + s["user_returns"] + s["external_calls"] + \
                s["external_returns"] + s["load_attr"] + s["load_global"]
            extra = best[(wname, "project-1")] - best[(wname, "stock")]
            print("%-18s %9d %9d %9d %9d %12s" % (
                wname, s["user_calls"], s["external_calls"], s["load_attr"],
                s["load_global"], ("%.0f" % (extra / n * 1e9)) if n else "-"))


if __name__ == "__main__":
    main()
