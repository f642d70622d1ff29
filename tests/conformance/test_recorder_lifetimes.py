"""Recording must not keep the program's objects alive longer than the program does.

Programs that count objects (gc.get_objects), watch weak references or rely on
__del__ running when the last reference goes see any object the recorder keeps.
"""
import gc
import io
import threading
import weakref

import pytest

from corvane_collector.data_serialization import corv_pickle


class Thing:
    def __init__(self, n):
        self.n = n


def describe(obj):
    return (str, (str(type(obj)),))


@pytest.fixture
def no_cyclic_gc():
    was = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


@pytest.mark.parametrize("payload", [b"", b"x" * 200000], ids=["small", "large-bytes"])
def test_fallback_pickler_frees_what_it_saved_without_a_collection(no_cyclic_gc, payload):
    # A function without a name to load it by fails the native pickler: the
    # dump is redone by the fallback pickler, whose memo refers to every
    # object it saved.  Large bytes take the pickler's large-write path.
    things = [Thing(i) for i in range(50)]
    refs = [weakref.ref(t) for t in things]
    value = [things, lambda: 0, payload]
    buffer = io.BytesIO()
    corv_pickle.Pickler(buffer, failure_reducer=describe).dump(value)
    loaded = corv_pickle.loads(buffer.getvalue())
    assert [t.n for t in loaded[0]] == list(range(50)) and loaded[2] == payload
    assert loaded[1] == str(type(value[1]))
    del value, things, loaded
    assert [r for r in refs if r() is not None] == []


def test_fallback_pickler_frees_what_it_saved_when_the_dump_fails(no_cyclic_gc):
    things = [Thing(i) for i in range(20)]
    refs = [weakref.ref(t) for t in things]
    value = [things, threading.Lock()]
    with pytest.raises(Exception):
        # Without a failure reducer the lock's failure is the dump's failure.
        corv_pickle.Pickler(io.BytesIO()).dump(value)
    del value, things
    assert [r for r in refs if r() is not None] == []


def _fails_with_locals():
    marker = "kept by the program"  # noqa: F841  (read back through the traceback)
    raise KeyError("program's own")


@pytest.mark.parametrize("reducer", [None, describe], ids=["dump-fails", "dump-recovers"])
def test_failed_dumps_leave_the_callers_exception_alone(reducer):
    # A dump made while the program handles an exception (the recorder runs
    # inside the program's except blocks) must not touch that exception's
    # traceback: the program may still read its frames.
    import pickle
    try:
        _fails_with_locals()
    except KeyError as program_exc:
        try:
            pickle.dumps(threading.Lock())
        except TypeError as own_pickling:
            inner = own_pickling
        value = [Thing(1), threading.Lock(), lambda: 0]
        try:
            corv_pickle.Pickler(io.BytesIO(), failure_reducer=reducer).dump(value)
        except Exception:
            pass
        frames = []
        tb = program_exc.__traceback__
        while tb is not None:
            frames.append(tb.tb_frame)
            tb = tb.tb_next
        assert frames[-1].f_locals.get("marker") == "kept by the program"
        # A failure of the program's own pickling, caught by the program,
        # keeps its frames too.
        assert inner.__traceback__ is not None


# -- with the evaluator and the real recorder -------------------------------------

import os  # noqa: E402
import sys  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "interceptor"))
from conform_harness import requires_interceptor, run_program  # noqa: E402

PROGRAM = r'''
import gc
from corvane_collector.configs.run_settings import CollectorSettings

class Channel:
    def __init__(self):
        self.messages = 0
    def send_message(self, data):
        self.messages += 1

DATA = Channel()
CollectorSettings.data_subprocess = DATA
CollectorSettings.metrics_subprocess = Channel()
CollectorSettings.project_files = frozenset([__file__])

LOG = []

class Slot:
    # no weak references: the recorder has to hold it to follow it
    __slots__ = ("n",)
    def __init__(self, n):
        self.n = n
    def __del__(self):
        LOG.append("del %d" % self.n)

CURRENT = None

def use(k):
    return CURRENT.n + k

def inner(k):
    return use(k) * 2

def main():
    global CURRENT
    gc.disable()
    out = []
    for i in range(5):
        CURRENT = Slot(i)
        out.append(inner(i))
        CURRENT = None
        LOG.append("dropped %d" % i)
    gc.enable()
    return {"out": out, "log": LOG, "records": DATA.messages, "active": evaluator_active()}
'''


@requires_interceptor
def test_program_objects_die_when_the_program_drops_them():
    stock = run_program(PROGRAM, recorder=None, apply=False).check().result
    ours = run_program(PROGRAM, recorder=None).check().result
    assert not stock["active"] and ours["active"]
    assert ours["records"] >= 10 and stock["records"] == 0
    assert ours["out"] == stock["out"]
    assert stock["log"][:2] == ["del 0", "dropped 0"]
    assert ours["log"] == stock["log"]
