"""Slotted instances and plain functions on safe_pickle's direct paths.

Both used to send a value to the full SafePickler path (functions) or to the
C pickler's own default reduction (slots); the direct paths now write them
and must give the full path's bytes.
"""

import gc
import io
import pickle
import weakref

import pytest

from corvane_collector.data_serialization import corv_pickle
from corvane_collector.data_serialization import pickler as P
from tests.thread_helpers import run_in_threads

READS = []


def full_path(obj, obj_wrap=True):
    buffer = io.BytesIO()
    P.SafePickler(obj_wrap, buffer, failure_reducer=P.UnpicklableHelpers.__reduce__,
                  special_cases=P.UnpicklableHelpers.special_cases).dump(obj)
    return buffer.getvalue()


@pytest.fixture
def full_dumps(monkeypatch):
    """Counts the dumps that take the full path."""
    count = [0]
    original = corv_pickle.Pickler.dump

    def counting(self, obj):
        count[0] += 1
        return original(self, obj)

    monkeypatch.setattr(corv_pickle.Pickler, "dump", counting)
    return count


class Pair:
    __slots__ = ("x", "y")

    def __init__(self, *values):
        for name, value in zip(Pair.__slots__, values):
            Pair.__dict__[name].__set__(self, value)


class Mangled:
    __slots__ = ("__hidden", "shown", "__weakref__")

    def __init__(self):
        self.__hidden = "h"
        self.shown = [1, 2]


class Wider(Pair):
    __slots__ = ("z",)


class WithDict(Pair):
    pass


class Shadowed(Pair):
    @property
    def x(self):
        READS.append("x")
        return "from the property"


def plain_function(a, b=2):
    return a + b


def moved_function():
    return 0


moved_function.__module__ = "json"


def with_func_attribute():
    return 1


with_func_attribute.__func__ = plain_function


def values():
    shared = Pair(1, 2)
    with_dict = WithDict(3)
    with_dict.extra = {"k": shared}
    wider = Wider(1)
    wider.z = (shared,)

    def local():
        return 2

    from jsonpickle.unpickler import loadclass
    return [
        Pair(1, 2), Pair(1), Pair(), Mangled(), wider, WithDict(), with_dict,
        [shared, shared, Pair(shared, [shared])],
        Shadowed(5, 6),
        {"f": plain_function, "g": plain_function, "h": [plain_function]},
        (moved_function, with_func_attribute, lambda: 1, local, loadclass),
        [Pair(i, plain_function) for i in range(200)],            # past the hand writer's share
        {"big": [Wider(i) for i in range(120)], "f": plain_function},
    ]


def test_slotted_instances_and_functions_have_the_full_paths_bytes(full_dumps):
    for value in values():
        for obj_wrap in (True, False):
            READS.clear()
            direct = P.safe_pickle(value, obj_wrap)
            direct_reads = list(READS)
            READS.clear()
            assert direct == full_path(value, obj_wrap), repr(value)[:80]
            # a property standing where a slot was is read as often either way
            assert direct_reads == READS
    loaded = pickle.loads(P.safe_pickle(values()[7]))
    assert loaded[0] is loaded[1] and loaded[2].x is loaded[0] and loaded[2].y[0] is loaded[0]
    assert pickle.loads(P.safe_pickle(Mangled()))._Mangled__hidden == "h"
    # the full path ran above (the counter works); none of these needs it
    assert full_dumps[0] >= 2 * len(values())
    full_dumps[0] = 0
    for value in values():
        P.safe_pickle(value)
    assert full_dumps[0] == 0


def test_function_reductions_follow_a_patched_pickler(monkeypatch):
    assert pickle.loads(P.safe_pickle({"f": moved_function}))["f"] is not moved_function
    value = {"f": plain_function, "many": [plain_function] * 100}
    original = P.SafePickler.reducer_override

    def renaming(self, obj):
        if obj is plain_function:
            return (P.wrap_module, ("renamed",))
        return original(self, obj)

    monkeypatch.setattr(P.SafePickler, "reducer_override", renaming)
    assert P.safe_pickle(value) == full_path(value)
    assert pickle.loads(P.safe_pickle(value))["f"].full_name == "renamed"
    monkeypatch.setattr(P.SafePickler, "reducer_override", original)
    monkeypatch.setattr(P.SafePickler, "reduce_function",
                        lambda self, obj: (P.wrap_module, ("patched",)))
    assert P.safe_pickle(value) == full_path(value)
    assert pickle.loads(P.safe_pickle(value))["many"][0].full_name == "patched"


def test_slot_layouts_follow_the_class():
    class Later:
        __slots__ = ("a", "b")

    Later.__module__, Later.__qualname__ = __name__, "Later"
    globals()["Later"] = Later
    try:
        value = Later()
        value.a, value.b = 1, 2
        for _ in range(2):      # the first stores __slotnames__, the second its layout
            assert P.safe_pickle([value]) == full_path([value])
        # __slotnames__ is a list on the class: it can change without the class
        Later.__slotnames__.reverse()
        assert P.safe_pickle([value]) == full_path([value])
        assert list(pickle.loads(P.safe_pickle(value)).__slotnames__) == ["b", "a"]
        # a property shadowing a slot, added after the class was pickled
        Later.b = property(lambda self: READS.append("b") or "shadow")
        READS.clear()
        assert P.safe_pickle([value]) == full_path([value])
        assert READS == ["b", "b"]
        del Later.b
        Later.__slotnames__ = ("a",)           # not a list: the default reduction decides
        assert P.safe_pickle([value]) == full_path([value])
    finally:
        del globals()["Later"]


def test_slot_layouts_keep_no_class_alive():
    refs = []
    for i in range(20):
        cls = type("Gone%d" % i, (), {"__slots__": ("v",)})
        item = cls()
        item.v = i
        P.safe_pickle([item])                  # found by no name: laid out, then the full path
        refs.append(weakref.ref(cls))
    del cls, item
    gc.collect()
    assert all(ref() is None for ref in refs)


def test_threads_get_the_full_paths_bytes():
    cases = values()
    expected = [full_path(value) for value in cases]
    failures = []

    def worker(offset):
        for n in range(30):
            i = (n + offset) % len(cases)
            if P.safe_pickle(cases[i]) != expected[i]:
                failures.append(i)

    run_in_threads(worker, [(k,) for k in range(4)])
    assert not failures
