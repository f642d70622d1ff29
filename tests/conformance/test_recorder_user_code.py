"""Recording a value neither runs the program's attribute hooks on it nor changes it.

A class's __getattr__ is part of the program: a recorder that calls it (even to
look up a name it then discards) changes what the program observes, as
test_class's call-tracking tests do.  Likewise a frame that the recorder reads
must not be left holding objects the program has let go of.
"""
import gc
import sys
import weakref

import pytest

from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer


class Tracked:
    def __init__(self, calls):
        self.calls = calls
        self.x = 1

    def __getattr__(self, name):
        self.calls.append(name)
        return "answer"


@pytest.mark.parametrize("wrap", [True, False], ids=["obj_wrap", "plain"])
def test_serializing_runs_no_getattr(wrap):
    calls = []
    value = [("spam", (Tracked(calls), "spam")), {"k": Tracked(calls)}]
    data = IpcPickleSerializer().serialize(value, wrap)
    assert isinstance(data, bytes) and data
    assert calls == []


def test_known_rebuild_names_are_still_looked_up():
    # A class of a known dotted name keeps its rebuild function: the lookup
    # is skipped only where no known name could match.
    import io
    from corvane_collector.data_serialization import pickler as P
    full = next(iter(P.SafePickler.full_names_to_run_functions))
    module, type_name, name = full.rsplit(".", 2)
    meta = type(type_name, (type,), {"__module__": module})
    cls = meta(name, (), {})
    assert P.SafePickler(True, io.BytesIO()).reducer_override(cls) == (
        P.wrap_function, (P.SafePickler.full_names_to_rebuild_functions_dict[full],))


class Thing:
    pass


def holds_nothing(a, b):
    # The arguments are let go of before the first step ends.
    a = weakref.ref(a)
    b = weakref.ref(b)
    gc.collect()
    yield a() is None and b() is None


@pytest.mark.parametrize("wrap", [True, False], ids=["obj_wrap", "plain"])
def test_serializing_a_live_generator_leaves_its_frame_unchanged(wrap):
    gen = holds_nothing(Thing(), b=Thing())
    data = IpcPickleSerializer().serialize(gen, wrap)
    assert isinstance(data, bytes) and data
    assert next(gen) is True


def test_serializing_a_running_frame_leaves_it_unchanged():
    def outer():
        kept = Thing()
        ref = weakref.ref(kept)
        IpcPickleSerializer().serialize(sys._getframe(), True)
        kept = None
        gc.collect()
        return ref() is None
    assert outer() is True


class Holder:
    def __init__(self, gen):
        self.gen = gen
        self.items = [gen, [Thing()]]


@pytest.mark.parametrize("shape", ["bare", "in-object", "in-list"])
def test_size_guard_leaves_a_live_generator_unchanged(shape):
    from corvane_collector.data_collection.call_recorder import is_size_too_big
    gen = holds_nothing(Thing(), b=Thing())
    value = {"bare": lambda: gen, "in-object": lambda: Holder(gen),
             "in-list": lambda: [Thing(), (gen, "x" * 2000)]}[shape]()
    assert is_size_too_big(value) is False
    assert next(gen) is True
