"""Sampled and external calls in long loops leak no references."""
from conform_harness import requires_interceptor, run_program

pytestmark = requires_interceptor

# Counts callbacks and the records and tokens alive; keeps nothing it is given.
COUNTING_RECORDER = r'''
import sys
COUNTS = {"call": 0, "ret": 0, "ext": 0, "extret": 0, "loads": 0}
LIVE = {"records": 0, "tokens": 0}

class Record:
    __slots__ = ()
    def __init__(self):
        LIVE["records"] += 1
    def __del__(self):
        LIVE["records"] -= 1

class Token(Record):
    __slots__ = ()
    def __init__(self):
        LIVE["tokens"] += 1
    def __del__(self):
        LIVE["tokens"] -= 1

def record_user_function_call(callee, *args, **kwargs):
    COUNTS["call"] += 1
    return Record()

def record_user_function_return_value(value, record):
    COUNTS["ret"] += 1

def record_external_call(callee, is_python):
    COUNTS["ext"] += 1
    return Token()

def record_external_return_value(value, token):
    COUNTS["extret"] += 1

def load_attr_hook(obj, name, value):
    COUNTS["loads"] += 1

def load_global_hook(value, name):
    COUNTS["loads"] += 1

def record_user_async_function_return_value(*a, **k):
    pass
record_async_external_return_value = record_return_value_async = \
    record_user_async_function_return_value
LOG = None
import types
for _name in ("corvane_collector", "corvane_collector.data_collection"):
    _pkg = types.ModuleType(_name)
    _pkg.__path__ = []
    sys.modules.setdefault(_name, _pkg)
sys.modules["corvane_collector.data_collection.call_recorder"] = sys.modules[__name__]
'''


def test_sampled_calls_of_every_shape_leak_nothing():
    out = run_program("""
        import gc, sys
        class Thing:
            def method(self, a, b=None):
                return a
        def target(a, b=None, *rest, **kw):
            return a
        def failing(a):
            raise ValueError(a)
        def main():
            arg, kwv, thing = object(), object(), Thing()
            gc.collect()
            before = [sys.getrefcount(arg), sys.getrefcount(kwv), sys.getrefcount(thing),
                      len(gc.get_objects())]
            for i in range(100000):
                target(arg)
                target(arg, b=kwv)
                target(*(arg,), **{"b": kwv})
                thing.method(arg, kwv)
            for i in range(10000):
                try:
                    failing(arg)
                except ValueError:
                    pass
            gc.collect()
            after = [sys.getrefcount(arg), sys.getrefcount(kwv), sys.getrefcount(thing),
                     len(gc.get_objects())]
            return [before, after, dict(rec.COUNTS), dict(rec.LIVE)]
        """, recorder=COUNTING_RECORDER, timeout=600).check()
    before, after, counts, live = out.result
    assert after[:3] == before[:3]
    assert abs(after[3] - before[3]) < 100
    assert counts["call"] == counts["ret"] == 410000
    assert live == {"records": 0, "tokens": 0}


def test_external_calls_and_loads_in_a_recorded_call_leak_nothing():
    out = run_program("""
        import gc, sys
        G = object()
        class Box:
            def __init__(self, v):
                self.v = v
        def recorded(n, box, d):
            for i in range(n):
                d.get(box.v)
                len(d)
                isinstance(G, object)
            return box.v
        def main():
            box = Box(object())
            d = {}
            gc.collect()
            before = [sys.getrefcount(box), sys.getrefcount(box.v), sys.getrefcount(G),
                      sys.getrefcount(d)]
            recorded(100000, box, d)
            gc.collect()
            after = [sys.getrefcount(box), sys.getrefcount(box.v), sys.getrefcount(G),
                     sys.getrefcount(d)]
            return [before, after, dict(rec.COUNTS), dict(rec.LIVE)]
        """, recorder=COUNTING_RECORDER, timeout=600).check()
    before, after, counts, live = out.result
    assert after == before
    assert counts["ext"] == counts["extret"] >= 300000
    assert counts["loads"] >= 300000
    assert live == {"records": 0, "tokens": 0}


def test_coroutine_results_release_their_record_and_token():
    out = run_program("""
        import asyncio, gc
        async def project_coro(x):
            return x
        def recorded(n):
            for i in range(n):
                c = asyncio.sleep(0)
                c.close()
            return n
        def main():
            for i in range(10000):
                c = project_coro(i)
                c.close()
            recorded(10000)
            del c
            gc.collect()
            return [dict(rec.COUNTS), dict(rec.LIVE)]
        """, recorder=COUNTING_RECORDER, timeout=600).check()
    counts, live = out.result
    assert counts["call"] == 10001
    # Only the synchronous call of recorded() gets a return callback.
    assert counts["ret"] == 1
    assert live == {"records": 0, "tokens": 0}
