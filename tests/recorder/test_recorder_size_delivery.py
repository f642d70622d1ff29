"""The size guard, delivery of finished records and merging a finished
call's tracker into its caller's."""

import array
import collections
import enum
import functools
import gc
import inspect
import types

import pytest
from pympler import asizeof

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_trail import CallTrailTracker
from corvane_collector.exceptions import ProblematicPickleException

LIMIT = 805306368


# --- size guard ----------------------------------------------------------------

def test_none_and_small_values_are_not_too_big():
    for value in (None, 0, -5, 2 ** 200, 1.5, True, 3j, "abc", b"abc", (1, 2), [1, "x"], {"k": [1]}):
        assert cr.is_size_too_big(value) is False


def test_bytes_at_the_limit_and_one_past_it():
    # bytes(n) is zero-filled from calloc: cheap even at 768 MiB.
    data = bytes(LIMIT)
    try:
        assert cr.is_size_too_big(data) is False
    finally:
        del data
    data = bytes(LIMIT + 1)
    try:
        assert cr.is_size_too_big(data) is True
    finally:
        del data
        gc.collect()


def test_str_at_the_limit_and_one_past_it():
    text = "a" * LIMIT
    try:
        assert cr.is_size_too_big(text) is False
    finally:
        del text
    text = "a" * (LIMIT + 1)
    try:
        assert cr.is_size_too_big(text) is True
    finally:
        del text
        gc.collect()


def test_str_and_bytes_are_measured_by_storage_without_user_code(monkeypatch):
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 10.0)

    class LyingStr(str):
        def __len__(self):
            raise AssertionError("user __len__ called")

    class LyingBytes(bytes):
        def __len__(self):
            return 0

    assert cr.is_size_too_big(LyingStr("x" * 11)) is True
    assert cr.is_size_too_big(LyingStr("x" * 10)) is False
    assert cr.is_size_too_big(LyingBytes(b"y" * 11)) is True
    # A non-ASCII string counts characters, not bytes.
    assert cr.is_size_too_big("\u20ac" * 10) is False


def test_guard_reads_the_module_limit(monkeypatch):
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 100.0)
    assert cr.is_size_too_big(list(range(100))) is True
    assert cr.is_size_too_big([1]) is False
    assert cr.is_size_too_big(10 ** 400) is True


def test_integer_measure_agrees_with_the_deep_measure(monkeypatch):
    for value in (0, 1, -1, 2 ** 30, 2 ** 64, -(10 ** 50), 10 ** 1000, 7 ** 5000):
        size = asizeof.asizeof(value, limit=3)
        monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size))
        assert cr.is_size_too_big(value) is False, value
        monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size - 1))
        assert cr.is_size_too_big(value) is True, value


@pytest.mark.parametrize("value", [
    (1, 2), [1, "two", 3.0], {"k": [1, 2], "j": (None, True)}, {1, 2, 3}, frozenset({"a"}),
    ["x" * 1000, b"y" * 500, 10 ** 300], ((((1,),),),), [[1] * 30, [2] * 30],
    list(range(200)), {i: str(i) for i in range(100)}, [(i, str(i)) for i in range(5000)],
])
def test_container_measure_agrees_with_the_deep_measure_at_its_boundary(monkeypatch, value):
    size = asizeof.asizeof(value, limit=3)
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size))
    assert cr.is_size_too_big(value) is False
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size - 1))
    assert cr.is_size_too_big(value) is True


def test_code_objects_measure_nothing_in_the_deep_measure():
    # The guard answers for these without measuring; that relies on the deep
    # measurement not counting functions, methods and classes.
    class K:
        payload = [0] * 100000

        def m(self):
            return self.payload
    for value in (test_code_objects_measure_nothing_in_the_deep_measure, len, K().m, K, asizeof.asizeof):
        assert asizeof.asizeof(value, limit=3) == 0
        assert cr.is_size_too_big(value) is False


def test_value_whose_measurement_raises_is_not_too_big(monkeypatch):
    class Hostile:
        def __sizeof__(self):
            raise RuntimeError("no size")

    def broken(*a, **k):
        raise ValueError("measurement failed")

    assert cr.is_size_too_big(Hostile()) is False
    monkeypatch.setattr(cr, "_deep_measure", broken)
    assert cr.is_size_too_big(Record()) is False
    assert cr.is_size_too_big([Record()]) is False


def test_base_exceptions_from_measurement_are_not_swallowed(monkeypatch):
    def interrupted(*a, **k):
        raise KeyboardInterrupt
    monkeypatch.setattr(cr, "_deep_measure", interrupted)
    with pytest.raises(KeyboardInterrupt):
        cr.is_size_too_big(SizedRecord())


class SizedRecord:
    def __sizeof__(self):
        return 10


class Fields:
    def __init__(self, **values):
        self.__dict__.update(values)


class FieldsChild(Fields):
    pass


@pytest.mark.parametrize("make", [
    lambda: Fields.__new__(Fields), lambda: Fields(), lambda: Fields(a=1, b="two" * 100, c=[1.5] * 40),
    lambda: FieldsChild(inner=Fields(deeper=FieldsChild(x=(1, 2)))),
    lambda: [Fields(i=i) for i in range(20)], lambda: {"obj": Fields(blob=b"z" * 5000)},
    lambda: Slotted(), lambda: SlottedChild(), lambda: [SlottedChild(), Slotted("x" * 3000)],
    lambda: Fields(deep=[[[["below the measured levels" * 100]]]]),
    lambda: Fields(fn=len, cls=Fields, meth=Fields().__init__),
])
def test_plain_instance_measure_agrees_with_the_deep_measure_at_its_boundary(monkeypatch, make):
    value = make()
    size = asizeof.asizeof(value, limit=3)
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size))
    assert cr.is_size_too_big(value) is False
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", float(size - 1))
    assert cr.is_size_too_big(value) is True


class WithSlots:
    __slots__ = ("a", "__weakref__")

    def __init__(self):
        self.a = [0] * 10


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a=None):
        self.a = a


class SlottedChild(Slotted):
    __slots__ = ["c"]

    def __init__(self):
        super().__init__([1.5] * 20)
        self.b = "text" * 50
        self.c = Slotted((1, 2, 3))


class Shadowed(Slotted):
    def __init__(self):
        Slotted.a.__set__(self, "in the slot")

    @property
    def a(self):
        return [0] * 10 ** 6


class ClassProperty:
    @property
    def __class__(self):
        return int


class Callable(Fields):
    def __call__(self):
        return 1


class DictProperty:
    @property
    def __dict__(self):
        return {"big": [0] * 10}


class OwnError(ValueError):
    pass


class Kind(enum.IntEnum):
    A = 1


class Mapping(dict):
    pass


def annotated(a: "x" * 200, b=[1.5] * 40, *rest, c: int = 3, **more) -> Fields:
    pass


@pytest.mark.parametrize("make", [
    lambda: Callable(a=[1] * 50), lambda: inspect.signature(annotated),
    lambda: Fields(sig=inspect.signature(annotated)), lambda: functools.partial(len, [1] * 100),
    lambda: Fields(p=functools.partial(len, "x" * 900)), lambda: types.MappingProxyType({"a": [1] * 50}),
    lambda: ValueError("x" * 1000, [2] * 30), lambda: OSError(2, "no such file", "f" * 500),
    lambda: Fields(err=ValueError("x" * 300)), lambda: Fields(kinds=[Kind.A, (Kind.A,)]),
    lambda: [str.split, object.__init__, "".join], lambda: Fields(deeper=Fields(kind=Kind.A)),
    lambda: inspect.signature(annotated).bind_partial([0] * 100, c="z" * 300),
    lambda: collections.defaultdict(list, a=[1] * 60), lambda: collections.OrderedDict(b="y" * 700),
    lambda: WithSlots(),
])
def test_built_in_kinds_measure_agrees_with_the_deep_measure_at_its_boundary(monkeypatch, make):
    test_plain_instance_measure_agrees_with_the_deep_measure_at_its_boundary(monkeypatch, make)


def test_instances_the_quick_measure_cannot_vouch_for_are_measured(monkeypatch):
    measured = []

    def measure(obj):
        measured.append(type(obj).__name__)
        return 10 ** 12

    monkeypatch.setattr(cr, "_deep_measure", measure)
    unvouched = (SizedRecord(), ClassProperty(), DictProperty(), Shadowed(),
                 OwnError("y"), Fields(err=OwnError("x")), array.array("b", b"xy"),
                 types.MappingProxyType(Mapping(a=1)), Kind.A)
    for value in unvouched:
        assert cr.is_size_too_big(value) is True
    assert measured == [type(v).__name__ for v in unvouched]
    # plain ones never reach the deep measurement (functions count nothing there),
    # nor do built-in exceptions, descriptors, partials, proxies of dicts, call methods
    for value in (Fields(a=[1, 2], b=Fields(), fn=len), SlottedChild(), ValueError("y"),
                  Fields(err=ValueError("x"), split=str.split), Callable(), inspect.signature(annotated),
                  functools.partial(len, 1), types.MappingProxyType({"a": 1})):
        assert cr.is_size_too_big(value) is False
    assert len(measured) == len(unvouched)


def test_a_class_given_a_size_method_later_is_measured_again(monkeypatch):
    class Late:
        pass

    value = Late()
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 100000.0)
    assert cr.is_size_too_big(value) is False
    Late.__sizeof__ = lambda self: 10 ** 6
    assert cr.is_size_too_big(value) is True


# --- delivery ------------------------------------------------------------------

class Record:
    def __init__(self):
        self.post_serialized = 0

    def serialize_post_run_args_and_kwargs(self):
        self.post_serialized += 1


def _with_cached_copies(text):
    # A string that also holds its UTF-8 and wchar_t copies, as one that was
    # handed to C code asking for them does.
    import ctypes
    api = ctypes.pythonapi
    api.PyUnicode_AsUTF8.restype = ctypes.c_void_p
    api.PyUnicode_AsUTF8.argtypes = [ctypes.py_object]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    assert api.PyUnicode_AsUTF8(text) and api.PyUnicode_AsUnicode(text)
    return text


def test_the_quick_bound_of_a_scalar_is_at_least_its_size():
    import sys
    texts = ["", "a", "ascii" * 50, "é" * 30, "€" * 30, "\U0001f600" * 30]
    values = [None, True, False, 0, 1, -1, 2 ** 30, -(2 ** 300), 10 ** 1000, 0.5, 1j,
              b"", b"x" * 1000] + texts
    values += [_with_cached_copies("".join([t, "z"])) for t in texts]
    for value in values:
        assert cr._scalar_bound_of(value) >= sys.getsizeof(value), repr(value)[:40]
    # The cached copies count: without them the bound of the last strings
    # would be short of what they measure.
    assert any(sys.getsizeof(v) > 48 + 4 * (len(v) + 1) for v in values[-len(texts):])


def test_the_quick_bounds_container_sizes_are_getsizeofs():
    import sys
    grown = list(range(100))
    del grown[10:]                               # allocated stays above the length
    wide = Fields(a=1, b=2, c=3, d=4)
    narrow = Fields(a=1)                         # a split table short of its keys
    emptied = dict.fromkeys(range(40))
    emptied.clear()
    for value in [(), (1,), tuple(range(50)), [], [1] * 7, grown, {}, {1: 2},
                  dict.fromkeys(range(40)), emptied, vars(wide), vars(narrow)]:
        assert cr._getsizeof_figure(value) == sys.getsizeof(value), repr(value)[:40]


def test_delivery_sends_record_then_success(env):
    rec = Record()
    assert cr.send_function_call_to_handler(rec) is None
    assert rec.post_serialized == 1
    (data,) = env.data.messages
    assert env.decode(data) is not None
    # The whole record is serialized without object wrapping.
    assert env.serializer.calls[0] == (rec, False)
    assert env.metric_names == ["CollectionSuccess"]
    assert env.metrics[0].args == ("tenant-1", "project-1", "3.10", "0.1.0")


def test_falsy_serialization_sends_nothing(env, monkeypatch):
    class Empty:
        def serialize(self, value, obj_wrap=True):
            return b""
    # Set directly: the env fixture puts the real serializer back, and a
    # monkeypatch undo running after it would put the test double back.
    CollectorSettings.serializer = Empty()
    cr.send_function_call_to_handler(Record())
    assert env.data.messages == [] and env.metrics_channel.messages == []


def test_unpicklable_record_is_reported_not_sent_and_not_blacklisted(env):
    env.serializer.fail_on.append((lambda v: isinstance(v, Record), TypeError("cannot pickle 'lock' object")))
    cr.send_function_call_to_handler(Record())
    assert env.data.messages == []
    assert [(m.name, m.fields[0]) for m in env.metrics] == [("Unpicklable", "lock")]
    assert cr.BLACKLISTED_FUNCTIONS == set()


def test_other_delivery_errors_propagate(env, monkeypatch):
    from recorder_doubles import RaisingChannel
    monkeypatch.setattr(CollectorSettings, "data_subprocess", RaisingChannel(OSError("pipe closed")))
    with pytest.raises(OSError):
        cr.send_function_call_to_handler(Record())
    assert env.metrics_channel.messages == []


# --- merging into the caller's tracker -----------------------------------------

def _chain(n_inner, n_outer, limit, monkeypatch):
    monkeypatch.setattr(CollectorSettings, "external_calls_max", limit)
    outer, inner = CallTrailTracker("m.outer"), CallTrailTracker("m.inner")
    inner.caller_function = outer
    for i in range(n_outer):
        outer.add_external_module_call("outer-%d" % i)
    for i in range(n_inner):
        inner.add_external_module_call("inner-%d" % i)
    inner.globals.update(a=1, shared="inner")
    outer.globals.update(shared="outer", b=2)
    inner.unknown_modules.add("mod_x")
    return outer, inner


def test_merge_that_fits_exactly(env, monkeypatch):
    outer, inner = _chain(3, 7, 10, monkeypatch)
    assert cr.add_recorded_functions_to_caller_tracker(inner) is False
    assert outer.recorded_functions[-3:] == ["inner-0", "inner-1", "inner-2"]
    assert outer.globals == {"a": 1, "shared": "inner", "b": 2}
    assert outer.unknown_modules == {"mod_x"}
    assert outer.last_call == "inner-2"
    # The finished tracker is left as it was.
    assert len(inner.recorded_functions) == 3 and inner.caller_function is outer


def test_merge_over_the_limit_merges_only_globals(env, monkeypatch):
    outer, inner = _chain(3, 8, 10, monkeypatch)
    assert cr.add_recorded_functions_to_caller_tracker(inner) is True
    assert len(outer.recorded_functions) == 8
    assert outer.globals["shared"] == "inner"
    assert outer.unknown_modules == set()


def test_merge_without_caller(env):
    t = CallTrailTracker("m.f")
    t.add_external_module_call("x")
    assert cr.add_recorded_functions_to_caller_tracker(t) is False
    assert cr.add_recorded_functions_to_caller_tracker(None) is False


def test_merge_errors_are_swallowed_block_by_block(env, monkeypatch):
    outer, inner = _chain(1, 0, 10, monkeypatch)
    outer.globals = None  # update fails: external calls are skipped ...
    assert cr.add_recorded_functions_to_caller_tracker(inner) is False
    assert outer.recorded_functions == []
    assert outer.unknown_modules == {"mod_x"}  # ... modules still merged


def test_measuring_keeps_no_user_class_alive():
    # The deep measurement caches every class it meets; a recorded value
    # must not pin its class (or grow those caches) for the life of the process.
    import weakref

    def make():
        class Measured:
            def __init__(self):
                self.payload = [object(), {"k": (1, 2)}]
        return Measured

    cls = make()
    ref = weakref.ref(cls)
    holder = weakref.ref(cls())  # an instance's weakref: measured through its referent
    assert cr.is_size_too_big(cls()) is False
    assert cr.is_size_too_big([cls(), holder]) is False
    typedefs_before = len(asizeof._typedefs)
    assert cr.is_size_too_big(make()()) is False
    assert len(asizeof._typedefs) == typedefs_before
    del cls
    gc.collect()
    assert ref() is None


def test_the_quick_measure_runs_no_code_of_a_metaclass(monkeypatch):
    asked = []

    class Meta(type):
        @property
        def __mro__(cls):
            asked.append(cls)
            return type.__dict__["__mro__"].__get__(cls)

    class Odd(int, metaclass=Meta):
        pass

    monkeypatch.setattr(cr, "_deep_measure", lambda obj: pytest.fail("measured deeply"))
    # counted flat at the last level the deep measurement reaches
    assert cr.is_size_too_big(Fields(a=[Odd(3)])) is False
    assert asked == []
