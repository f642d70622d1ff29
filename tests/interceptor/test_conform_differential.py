"""A program with calls of every shape behaves the same with the interceptor at rate 1.0
as with the stock evaluator, and the recorder sees a consistent story of it."""
from conform_harness import requires_interceptor, run_both, THREAD_TAG, by_thread

pytestmark = requires_interceptor

PROGRAM = r'''
import asyncio, contextlib, functools, sys, threading

G_SCALE = 3

def add(a, b=1, *rest, **kw):
    return a + b + sum(rest) + sum(kw.values())

class Celsius:
    def __get__(self, obj, owner=None):
        return None if obj is None else obj._c
    def __set__(self, obj, value):
        obj._c = value

class Temp:
    c = Celsius()
    def __init__(self, c):
        self.c = c
    @property
    def f(self):
        return self.c * 9 / 5 + 32
    def scaled(self, k=G_SCALE):
        return self.c * k
    @classmethod
    def freezing(cls):
        return cls(0)
    @staticmethod
    def describe(t):
        return "%.1fF" % t.f
    def __repr__(self):
        return "Temp(%r)" % self.c

class Managed:
    def __init__(self, log):
        self.log = log
    def __enter__(self):
        self.log.append("enter")
        return self
    def __exit__(self, *exc):
        self.log.append("exit %s" % (exc[0].__name__ if exc[0] else None))
        return exc[0] is KeyError

@contextlib.contextmanager
def scoped(log, name):
    log.append("open " + name)
    try:
        yield name.upper()
    finally:
        log.append("close " + name)

def countdown(n):
    while n:
        yield n
        n -= 1
    return "done"

def delegating():
    result = yield from countdown(3)
    yield result

def fail_at(depth):
    if depth == 0:
        raise ValueError("bottom")
    return fail_at(depth - 1)

def catch_at(depth):
    try:
        fail_at(depth)
    except ValueError as e:
        return "caught %s at %d" % (e, depth)

def reraise():
    try:
        fail_at(2)
    except ValueError as e:
        raise RuntimeError("wrapped") from e

def apply_twice(f, x):
    return f(f(x))

def square(x):
    return x * x

async def async_fetch(i):
    await asyncio.sleep(0)
    return square(i)

async def async_main():
    results = await asyncio.gather(*(async_fetch(i) for i in range(4)))
    try:
        await asyncio.wait_for(asyncio.sleep(10), timeout=0.01)
    except asyncio.TimeoutError:
        results.append("timeout")
    return results

def threaded(n):
    out = [None] * n
    def work(i):
        out[i] = add(i, b=i)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return out

def main():
    print(add(1), add(1, 2), add(1, 2, 3, 4), add(1, b=5), add(*[1, 2], **{"x": 10}))
    t = Temp(100)
    print(t, t.f, t.scaled(), t.scaled(k=2), Temp.freezing(), Temp.describe(t))
    t.c = 37
    print(t.c, getattr(t, "f"), Temp.c)
    log = []
    with Managed(log) as m:
        log.append("body")
    with Managed(log):
        raise KeyError("swallowed")
    with scoped(log, "a") as a, scoped(log, "b") as b:
        log.append(a + b)
    print(log)
    print(list(countdown(4)), list(delegating()))
    g = countdown(5)
    print(next(g), g.send(None), g.close(), list(g))
    print(catch_at(0), catch_at(3), catch_at(6))
    try:
        reraise()
    except RuntimeError as e:
        print("reraise", e, repr(e.__cause__))
    print(apply_twice(square, 3), list(map(square, range(4))),
          sorted(range(5), key=lambda v: -v), [square(i) for i in range(3)],
          functools.reduce(add, range(5)))
    print(asyncio.run(async_main()))
    print(threaded(4))
    fs = [functools.partial(add, i) for i in range(3)]
    print([f(10) for f in fs])
    print(sys.exc_info())
    return "ok"
'''


def stack_story(log, coroutine_callees):
    """Checks that calls and external calls nest properly and that nothing is
    reported outside a recorded call; returns the list of problems found."""
    problems = []
    stack = []
    for e in log:
        kind = e[0]
        if kind in ("call", "ext"):
            if kind == "ext" and not any(s[0] == "call" for s in stack):
                problems.append("external call outside a recorded call: %r" % (e,))
            stack.append((kind, e[1], e[4] if kind == "call" else e[3]))
        elif kind in ("ret", "extret"):
            want = "call" if kind == "ret" else "ext"
            ids = [s[2] for s in stack]
            if e[2] not in ids:
                problems.append("return without a call: %r" % (e,))
                continue
            while stack[-1][2] != e[2]:
                skipped = stack.pop()
                if skipped[1] not in coroutine_callees:
                    problems.append("no return callback for %r" % (skipped,))
            top = stack.pop()
            if top[0] != want:
                problems.append("mismatched return %r for %r" % (e, top))
        elif kind in ("attr", "global"):
            if not any(s[0] == "call" for s in stack):
                problems.append("load reported outside a recorded call: %r" % (e,))
        else:
            problems.append("unexpected callback %r" % (e,))
    for s in stack:
        if s[1] not in coroutine_callees:
            problems.append("left open: %r" % (s,))
    return problems


def test_output_identical_and_callbacks_consistent():
    stock, ours = run_both(PROGRAM, recorder_extra=THREAD_TAG)
    assert ours.stdout == stock.stdout
    assert ours.result == stock.result == "ok"
    threads = by_thread(ours.log)
    assert len(threads) >= 2
    log = [e for t in threads.values() for e in t]
    coroutine_callees = {"<function async_fetch>", "<function async_main>",
                         "<function sleep>", "<function wait_for>"}
    # Calls in the worker threads interleave with the main thread's: each thread's
    # story must hold on its own.
    for tid, tlog in threads.items():
        assert stack_story(tlog, coroutine_callees) == [], tid
    sampled = [e[1] for e in log if e[0] == "call"]
    # Nothing whose qualified name holds "<", and no class, is ever sampled.
    assert not [s for s in sampled if "<" in s[1:-1] or s.startswith("<type")]
    for name in ("<function add>", "<function Temp.scaled>", "<method Temp.scaled>",
                 "<method Temp.freezing>", "<function Temp.describe>",
                 "<function countdown>", "<function catch_at>", "<function fail_at>",
                 "<function square>", "<function async_fetch>", "<function threaded>"):
        assert name in sampled, name
    # Only sync results are reported; generators once, as the generator object.
    rets = {}
    for e in log:
        if e[0] == "call":
            rets[e[4]] = e[1]
    values = [(rets[e[2]], e[1]) for e in log if e[0] == "ret"]
    assert ("<function countdown>", "<generator>") in values
    assert not [v for v in values if v[0] == "<function async_fetch>"]
    assert ("<function catch_at>", "caught bottom at 3") in values
    adds = sorted(v[1] for v in values if v[0] == "<function add>")
    assert {2, 3, 10, 6, 13, 0, 2, 4, 6} <= set(adds)
    # fail_at raising: its return callback sees None, once per level.
    fail_rets = [v for v in values if v[0] == "<function fail_at>"]
    assert fail_rets and all(v[1] is None for v in fail_rets)
    assert len(fail_rets) == len([s for s in sampled if s == "<function fail_at>"])
