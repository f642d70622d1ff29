"""Per-type answers of the safe pickler (reducer_override's verdict, the
direct paths' type check) with more classes than the front table has slots,
classes changed after their answer was taken, and classes that die."""

import gc
import io
import weakref

import pytest

from corvane_collector.exceptions import ProblematicPickleException
from corvane_collector.data_serialization import pickler as P

COUNT = 1500      # well past the front table, so slots are shared and overwritten


def full_path(obj):
    buffer = io.BytesIO()
    P.SafePickler(True, buffer, failure_reducer=P.UnpicklableHelpers.__reduce__,
                  special_cases=P.UnpicklableHelpers.special_cases).dump(obj)
    return buffer.getvalue()


def _getstate(self):
    raise AssertionError("must not be called")


@pytest.fixture
def classes():
    made = []
    for i in range(COUNT):
        name = "Many%d" % i
        namespace = {"__module__": __name__, "__qualname__": name}
        if i % 3 == 0:
            namespace["__getstate__"] = _getstate
        cls = type(name, (), namespace)
        globals()[name] = cls          # found by name, so the direct paths can write it
        made.append(cls)
    yield made
    for cls in made:
        del globals()[cls.__name__]


def _check(classes, refused):
    pickler = P.SafePickler(True, io.BytesIO())
    for i, cls in enumerate(classes):
        obj = cls()
        obj.value = i
        if refused(i):
            with pytest.raises(ProblematicPickleException):
                pickler.reducer_override(obj)
        else:
            assert pickler.reducer_override(obj) is NotImplemented
        # (a refused instance is described, a plain one written as an instance)
        assert P.safe_pickle([obj]) == full_path([obj])


def test_answers_follow_each_class_past_the_front_table(classes):
    for _ in range(2):             # the second round is answered from the tables
        _check(classes, lambda i: i % 3 == 0)
    for i, cls in enumerate(classes):
        if i % 3 == 0:
            del cls.__getstate__
        else:
            cls.__getstate__ = _getstate
    for _ in range(2):
        _check(classes, lambda i: i % 3 != 0)


def test_answers_keep_no_class_alive():
    refs = []
    pickler = P.SafePickler(True, io.BytesIO())
    for i in range(50):
        cls = type("Gone%d" % i, (), {})
        assert pickler.reducer_override(cls()) is NotImplemented
        P.safe_pickle([cls()])
        refs.append(weakref.ref(cls))
    del cls
    gc.collect()
    assert all(ref() is None for ref in refs)


# Small flat values of scalars (every argument tuple, keyword dict and
# plain result of a record) are written by the hand writer with a small
# memo; their bytes are the C pickler's under either recursion regime, as
# they were when the C pickler wrote them.

def small_values():
    shared = "shared text"
    yield from (0, 255, 256, 65535, 65536, 2 ** 31 - 1, 2 ** 31, -1, -2 ** 31, -2 ** 31 - 1,
                2 ** 80, True, False, 1.5, -0.0, float("inf"), "", "é" * 200, "x" * 255,
                "x" * 256, "x" * 4095, "\ud800", b"", b"b" * 255, b"b" * 256)
    yield from ((), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4), tuple(range(16)), [], [None],
                list("abcdefghijklmnop"), {}, {"k": 1}, {i: str(i) for i in range(16)})
    # one object written twice is a memo reference the second time
    yield (shared, shared, shared)
    yield [shared, b"z", shared]
    yield {shared: shared}
    yield ("a\ud800", 1)
    yield ("é" * 300,) * 16
    yield {str(i): "v" * 100 for i in range(16)}


@pytest.mark.parametrize("limit", [None, 20000])
def test_small_plain_values_have_the_c_picklers_bytes(limit):
    import pickle
    import sys
    from corvane_collector.data_serialization import corv_pickle
    before = sys.getrecursionlimit()
    if limit:
        sys.setrecursionlimit(limit)
    try:
        for value in small_values():
            expected = pickle.dumps(value, corv_pickle.DEFAULT_PROTOCOL)
            for obj_wrap in (True, False):
                assert P.safe_pickle(value, obj_wrap) == expected, repr(value)[:80]
            if not limit:
                # (the Python pickler of the raised regime frames differently)
                assert full_path(value) == expected, repr(value)[:80]
    finally:
        sys.setrecursionlimit(before)
