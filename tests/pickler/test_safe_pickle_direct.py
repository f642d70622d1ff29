"""safe_pickle's direct dumps give the bytes of the full SafePickler path.

The full path is run here by building the SafePickler by hand, exactly as
safe_pickle does when it does not take a shortcut.
"""

import collections
import functools
import inspect
import io
import pickle
import sys
import types
import typing

import pytest
from hypothesis import given, settings, strategies as st, HealthCheck

from corvane_collector.data_collection import metrics as M
from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_collection.call_model import (
    ExternalFunctionCall, ExternalFunctionMetadata, UserFunctionCall, UserFunctionMetadata)
from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_serialization import pickler as P
from corvane_common.utils.obj_wrap import ObjectWrapper, UnpicklableObject

CALLS = collections.Counter()


def full_path(obj, obj_wrap=True):
    buffer = io.BytesIO()
    P.SafePickler(obj_wrap, buffer, failure_reducer=P.UnpicklableHelpers.__reduce__,
                  special_cases=P.UnpicklableHelpers.special_cases).dump(obj)
    return buffer.getvalue()


@pytest.fixture(autouse=True)
def real_serializer(monkeypatch):
    # records are built with the settings' serializer; other tests may have
    # left a stand-in there
    from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
    monkeypatch.setattr(CollectorSettings, "serializer", IpcPickleSerializer())


@pytest.fixture
def override_calls(monkeypatch):
    """Counts the full path's reducer_override calls."""
    seen = collections.Counter()
    original = P.SafePickler.reducer_override

    def counting(self, obj):
        seen[type(obj).__name__] += 1
        return original(self, obj)

    monkeypatch.setattr(P.SafePickler, "reducer_override", counting)
    return seen


class Plain:
    def __init__(self, **values):
        self.__dict__.update(values)


class Child(Plain):
    pass


class Slotted:
    __slots__ = ("a",)

    def __init__(self, a):
        self.a = a


class Reducing:
    def __reduce__(self):
        CALLS["reduce"] += 1
        return (int, (1,))


class Stateful:
    def __getstate__(self):
        CALLS["getstate"] += 1
        return {}


def annotated(a: int, b: "Plain" = None, *rest, key: list = (1, 2), **more) -> Plain:
    return a


def generic_annotated(a: typing.List[int]) -> typing.Optional[str]:
    return None


def plain_function(x, y=3):
    return x


def messages():
    ident = ("tenant", "project", "3.10.13", "1.0")
    return [M.CollectionTry(*ident), M.CollectionSuccess(*ident),
            M.CollectorFailure(*ident, M.FailureReasons.ASYNCIO),
            M.Unpicklable(*ident, "mod.Cls", M.UnpicklableReasons.REDUCE),
            M.LimitFailure(*ident, "mod.f", M.LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED),
            M.ExternalFunction(*ident, "os.path.join")]


def a_record():
    serialize = CollectorSettings.serializer.serialize
    metadata = UserFunctionMetadata("mod", "mod.f", "abc", "/p/mod.py", ("len", "x"),
                                    inspect.getfullargspec(annotated), False)
    record = UserFunctionCall(metadata, (1, [2, 3]), {"k": "v"}, {})
    external = ExternalFunctionCall(ExternalFunctionMetadata("os.path", "os.path.join", False, True))
    external.add_execption(type(None))
    external.add_return_value("a/b")
    record.external_calls = [external, external]
    record.unknown_modules = {"json", "re"}
    record.globals = serialize({"SCALE": 3})
    record.add_execption(type(None))
    record.add_return_value(7)
    record.serialize_post_run_args_and_kwargs()
    return record


def direct_values():
    shared = Plain(v=1)
    cyclic = Plain(name="cycle")
    cyclic.me = cyclic
    cyclic.items = [cyclic, shared, shared]
    big = Plain(blob=b"x" * 200_000, text="y" * 70_000)
    return [
        *messages(),
        a_record(),
        inspect.getfullargspec(annotated),
        inspect.getfullargspec(plain_function),
        type(None), Plain, int, inspect.FullArgSpec,
        Plain(), Plain(a=1, b="two", c=[3.0, None], d={"e": (True, b"f")}),
        Child(inner=Plain(deeper=Child())),
        [shared, shared, (shared,)],
        cyclic,
        big,
        [Plain(i=i, s=str(i) * 20) for i in range(5000)],
        {"ints": list(range(100)), "obj": Plain(), "cls": Child},
    ]


def test_direct_values_have_the_full_paths_bytes(override_calls):
    for value in direct_values():
        for obj_wrap in (True, False):
            direct = P.safe_pickle(value, obj_wrap)
            assert direct == full_path(value, obj_wrap), value
            assert type(direct) is bytes
    # the full path was run above, so the counter works; each direct dump
    # itself runs none of it
    assert sum(override_calls.values()) > 0
    override_calls.clear()
    for value in direct_values():
        P.safe_pickle(value)
    assert not override_calls


def test_records_and_messages_load_back_field_by_field():
    record = pickle.loads(P.safe_pickle(a_record(), False))
    assert type(record) is UserFunctionCall
    assert pickle.loads(record.pre_run_args) == (1, [2, 3])
    assert pickle.loads(record.return_value) == 7
    assert pickle.loads(record.execption) is type(None)
    assert [c.function_metadata.full_name for c in record.external_calls] == ["os.path.join"] * 2
    assert record.external_calls[0] is record.external_calls[1]
    assert pickle.loads(record.function_metadata.function_signature) == inspect.getfullargspec(annotated)
    for message in messages():
        loaded = pickle.loads(P.safe_pickle(message))
        assert loaded == message and loaded.timestamp == message.timestamp


def test_values_the_guard_stops_take_the_full_path():
    CALLS.clear()
    values = [
        [Plain(i=i) for i in range(50)] + [Reducing()],
        Plain(first=Plain(), bad=Stateful()),
        {"ok": Plain(), "lock": __import__("threading").Lock()},
        Plain(fn=plain_function),
        Plain(mod=sys.modules[__name__]),
        Slotted(Reducing()),
        inspect.getfullargspec(generic_annotated),
        Plain(exc=ValueError("x")),
        complex(1, 2),
    ]
    for value in values:
        for obj_wrap in (True, False):
            assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap)
    assert not CALLS
    loaded = pickle.loads(P.safe_pickle(values[0]))
    assert type(loaded[-1]) is UnpicklableObject and loaded[0].i == 0


def test_instance_dict_entries_that_change_pickling_take_the_full_path():
    CALLS.clear()
    class Name(str):
        pass

    for name in ("__reduce__", "__reduce_ex__", "__getstate__", "__getnewargs__", "__getattr__",
                 Name("__reduce__")):
        value = Plain(x=1, _private=2)
        value.__dict__[name] = lambda *a: CALLS.update([name]) or (int, (2,))
        assert P.safe_pickle(value) == full_path(value), name
        assert P.safe_pickle([Plain(), value], False) == full_path([Plain(), value], False), name
        # after an instance of the class with as many keys, all but the last the same
        seen = Plain(x=1, _private=2, other=3)
        assert P.safe_pickle([seen, value], False) == full_path([seen, value], False), name


def test_recorded_usage_is_honoured_only_with_obj_wrap():
    inner = Plain(a=1, b=2, c=3)
    holder = [Plain(), inner]
    used_attributes[id(inner)] = {"a"}
    try:
        wrapped = P.safe_pickle(holder)
        assert wrapped == full_path(holder)
        loaded = pickle.loads(wrapped)
        assert type(loaded[1]) is ObjectWrapper
        assert P.safe_pickle(holder, False) == full_path(holder, False)
        assert type(pickle.loads(P.safe_pickle(holder, False))[1]) is Plain
    finally:
        del used_attributes[id(inner)]


def test_a_class_changed_after_being_pickled_is_looked_at_again():
    class Later:
        pass

    globals()["Later"] = Later
    Later.__qualname__ = "Later"
    try:
        assert P.safe_pickle(Later()) == full_path(Later())
        CALLS.clear()
        Later.__reduce__ = lambda self: CALLS.update(["later"]) or (int, (3,))
        value = Later()
        assert P.safe_pickle(value) == full_path(value)
        assert type(pickle.loads(P.safe_pickle(value))) is UnpicklableObject
        assert not CALLS
    finally:
        del globals()["Later"]


def test_a_class_no_longer_found_under_its_name_is_not_written_by_it():
    class Later:
        pass

    Later.__qualname__ = "Later"
    globals()["Later"] = Later
    try:
        assert type(pickle.loads(P.safe_pickle(Later()))) is Later
        globals()["Later"] = None                # the module's name now holds another object
        value = Later()
        assert P.safe_pickle(value) == full_path(value)
        assert type(pickle.loads(P.safe_pickle(value))) is UnpicklableObject
        globals()["Later"] = Later
        assert type(pickle.loads(P.safe_pickle(Later()))) is Later
        Later.__qualname__ = "Elsewhere"         # renamed, the module unchanged
        assert P.safe_pickle(value) == full_path(value)
        assert type(pickle.loads(P.safe_pickle(value))) is UnpicklableObject
    finally:
        del globals()["Later"]


def test_a_module_whose_class_was_written_by_name_is_not_kept_alive():
    import gc
    import weakref
    module = types.ModuleType("corvane_test_transient")
    exec("class Thing:\n    pass\n", module.__dict__)
    sys.modules[module.__name__] = module
    try:
        assert type(pickle.loads(P.safe_pickle(module.Thing()))).__name__ == "Thing"
    finally:
        del sys.modules[module.__name__]
    gone = weakref.ref(module)
    del module
    gc.collect()
    assert gone() is None


def test_a_class_that_cannot_be_found_by_name_takes_the_full_path():
    def make():
        class Local:
            pass
        return Local()

    value = [Plain(), make()]
    assert P.safe_pickle(value) == full_path(value)
    assert type(pickle.loads(P.safe_pickle(value))[1]) is UnpicklableObject


def test_failed_dumps_leave_nothing_behind_for_the_next_one():
    shared = Plain(s="shared")
    good = [shared, Plain(t=shared)]
    expected = full_path(good)
    for _ in range(3):
        assert P.safe_pickle([shared, Reducing()]) == full_path([shared, Reducing()])
        assert P.safe_pickle(good) == expected
        assert P.safe_pickle(Plain(x=shared)) == full_path(Plain(x=shared))


class _PicklingModule(types.ModuleType):
    """A module whose attribute reads pickle something themselves."""

    def __getattribute__(self, name):
        inner = object.__getattribute__(self, "inner")
        if object.__getattribute__(self, "active") and name != "inner":
            inner.append(P.safe_pickle([Plain(n=len(inner)), Plain(m="x")]))
        return object.__getattribute__(self, name)


def test_safe_pickle_called_while_a_dump_runs_is_independent():
    # Pickling a class by name imports its module, which can run code of
    # the program (and so record and pickle again) in the middle of a dump.
    module = _PicklingModule("corvane_test_pickling_module")
    module.inner = []
    module.active = False

    class Thing:
        pass

    Thing.__module__ = module.__name__
    Thing.__qualname__ = "Thing"
    module.Thing = Thing
    sys.modules[module.__name__] = module
    try:
        value = [Plain(a=1), Thing(), Plain(b=[Plain(c=2)]), Thing]
        expected = full_path(value)
        module.active = True
        del module.inner[:]
        got = P.safe_pickle(value)
        module.active = False
        assert module.inner, "the module was never consulted during the dump"
        assert got == expected
        for n, data in enumerate(module.inner):
            assert data == full_path([Plain(n=n), Plain(m="x")])
        loaded = pickle.loads(got)
        assert type(loaded[1]) is Thing and loaded[3] is Thing and loaded[2].b[0].c == 2
    finally:
        del sys.modules[module.__name__]


def test_a_raised_recursion_limit_uses_the_full_paths_layout():
    value = Plain(a=[1, 2], b=Child())
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)
    try:
        assert P.safe_pickle(value) == full_path(value)
    finally:
        sys.setrecursionlimit(limit)


def test_copyreg_registrations_do_not_reach_direct_dumps():
    import copyreg
    copyreg.pickle(Child, lambda obj: CALLS.update(["copyreg"]) or (int, (4,)))
    CALLS.clear()
    try:
        value = {"c": Child(z=1)}
        assert P.safe_pickle(value) == full_path(value)
        assert type(pickle.loads(P.safe_pickle(value))["c"]) is Child
        assert not CALLS
    finally:
        del copyreg.dispatch_table[Child]


leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=8),
    st.binary(max_size=8), st.sampled_from([Plain, Child, type(None), int]),
    st.sampled_from(["reducing", "stateful", "lock", "function"]))
shapes = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.dictionaries(st.text(max_size=4), children, max_size=4),
        st.dictionaries(st.sampled_from("abcd"), children, max_size=3).map(lambda d: ("plain", d)),
        st.dictionaries(st.sampled_from("abcd"), children, max_size=3).map(lambda d: ("child", d))),
    max_leaves=20)


def build(shape):
    if shape == "reducing":
        return Reducing()
    if shape == "stateful":
        return Stateful()
    if shape == "lock":
        return __import__("threading").Lock()
    if shape == "function":
        return plain_function
    if isinstance(shape, tuple) and len(shape) == 2 and shape[0] in ("plain", "child"):
        values = {k: build(v) for k, v in shape[1].items()}
        return Plain(**values) if shape[0] == "plain" else Child(**values)
    if isinstance(shape, list):
        return [build(v) for v in shape]
    if isinstance(shape, tuple):
        return tuple(build(v) for v in shape)
    if isinstance(shape, dict):
        return {k: build(v) for k, v in shape.items()}
    return shape


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shapes, st.booleans())
def test_generated_values_have_the_full_paths_bytes(shape, obj_wrap):
    CALLS.clear()
    value = build(shape)
    assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap)
    assert not CALLS


def with_mutable_default(x, seen=[], *, opts={"k": 1}, **rest) -> int:
    seen.append(x)
    return len(seen)


def test_signature_pickles_follow_changes_to_the_signature():
    spec = inspect.getfullargspec(with_mutable_default)
    first = P.safe_pickle(spec, False)
    assert first == full_path(spec, False)
    assert P.safe_pickle(spec, False) is first          # kept between calls
    with_mutable_default(1)                               # the default list grows
    assert P.safe_pickle(spec, False) == full_path(spec, False) != first
    spec.defaults[0][0] = "replaced"                      # same length, other item
    assert pickle.loads(P.safe_pickle(spec, False)).defaults == (["replaced"],)
    spec.kwonlydefaults["opts"]["k"] = 2.5
    assert pickle.loads(P.safe_pickle(spec, False)).kwonlydefaults == {"opts": {"k": 2.5}}
    spec.args.append("y")
    assert pickle.loads(P.safe_pickle(spec, False)).args == ["x", "seen", "y"]
    assert P.safe_pickle(spec, False) == full_path(spec, False)
    # an equal argspec that is another object has its own pickle
    other = inspect.FullArgSpec(*spec)
    assert P.safe_pickle(other, False) == full_path(other, False)


def test_signatures_with_program_objects_are_pickled_every_time():
    def uses_program_class(a: Plain = Plain(v=1)) -> Child:
        return a

    spec = inspect.getfullargspec(uses_program_class)
    assert P.safe_pickle(spec, False) == full_path(spec, False)
    spec.defaults[0].v = 2
    assert pickle.loads(P.safe_pickle(spec, False)).defaults[0].v == 2
    assert P.safe_pickle(spec, False) == full_path(spec, False)


field_values = st.one_of(
    st.none(), st.booleans(), st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-2 ** 40, max_value=2 ** 40),
    st.sampled_from([0, 255, 256, 65535, 65536, 2 ** 31 - 1, 2 ** 31, -1, -2 ** 31, -2 ** 31 - 1]),
    st.text(max_size=300), st.text(alphabet=st.characters(min_codepoint=0xd800, max_codepoint=0xdfff),
                                    max_size=3),
    st.lists(st.integers(), max_size=2), st.binary(max_size=4))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(M.MESSAGE_CLASSES), st.lists(field_values, min_size=6, max_size=6),
       st.booleans(), st.booleans())
def test_messages_written_by_hand_have_the_full_paths_bytes(cls, values, share, obj_wrap):
    own = len(cls.fields)
    message = cls(*values[:4 + own])
    message.timestamp = values[5]
    if share:
        # the same string object twice is written once and then referred to
        message.project_id = message.tenant_id = "shared-%d" % len(values)
        message.lib_version = message.__dict__["tenant_id"]
    assert P.safe_pickle(message, obj_wrap) == full_path(message, obj_wrap)
    loaded = pickle.loads(P.safe_pickle(message, obj_wrap))
    assert type(loaded) is cls
    assert repr(list(vars(loaded).items())) == repr(list(vars(message).items()))


def test_message_cases_that_the_hand_writer_leaves_to_the_general_path():
    ident = ("t", "p", "3.10", "1")
    cases = []
    big = M.CollectorFailure(*ident, "r" * 40000)
    cases.append(big)
    odd_field = M.ExternalFunction(*ident, "f")
    odd_field.extra = Plain(x=1)
    cases.append(odd_field)
    used = M.CollectionTry(*ident)
    cases.append(used)
    used_attributes[id(used)] = {"tenant_id"}
    try:
        for message in cases:
            for obj_wrap in (True, False):
                assert P.safe_pickle(message, obj_wrap) == full_path(message, obj_wrap)
        assert type(pickle.loads(P.safe_pickle(used))) is ObjectWrapper
    finally:
        del used_attributes[id(used)]


def test_a_message_class_that_gained_a_reduction_is_not_written_by_hand(monkeypatch):
    monkeypatch.setattr(M.CollectionSuccess, "__reduce__",
                        lambda self: CALLS.update(["message reduce"]) or (int, (5,)), raising=False)
    CALLS.clear()
    message = M.CollectionSuccess("t", "p", "3.10", "1")
    assert P.safe_pickle(message) == full_path(message)
    assert type(pickle.loads(P.safe_pickle(message))) is UnpicklableObject
    assert not CALLS


def test_modules_are_named_as_the_full_path_names_them():
    import json
    from corvane_common.utils.obj_wrap import ModuleWrapper

    class SubModule(types.ModuleType):
        pass

    renamed = types.ModuleType("renamed_module")
    renamed.__dict__["__name__"] = 12
    values = [{"json": json, "os": sys.modules["os"]}, Plain(mod=json), SubModule("sub"), renamed,
              [json, json]]
    for value in values:
        for obj_wrap in (True, False):
            assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap)
    loaded = pickle.loads(P.safe_pickle(values[0]))
    assert type(loaded["json"]) is ModuleWrapper
    twice = pickle.loads(P.safe_pickle(values[-1]))
    assert type(twice[0]) is ModuleWrapper and twice[0] is twice[1]


class Outer:
    class Inner:
        pass


def edge_values():
    strings = ["s%d" % i for i in range(300)]
    recursive_list = []
    recursive_tuple = (recursive_list, 1)
    recursive_list.append(recursive_tuple)
    return [
        [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4), ((),), (((1,),),)],
        [[], [1], [1, 2], list(range(1000)), list(range(1001))],
        [{}, {1: 2}, {1: 2, 3: 4}, {i: i for i in range(1001)}],
        [set(), {1}, set(range(999)), set(range(1000)), frozenset({1, 2})],
        [0, 255, 256, 65535, 65536, -1, -256, 2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 10 ** 30],
        [b"", b"x" * 255, b"x" * 256, bytearray(b"ab"), "\u00e9" * 127, "\u00e9" * 128, "\ud800x"],
        [1.5, -0.0, float("inf"), float("nan"), True, False, None, complex(1, 1)],
        strings + strings,                    # memo indices past 255
        [Plain(t=(1, Plain())), Plain, int, Outer.Inner, Outer.Inner(), type(None), type(...)],
        [recursive_list, recursive_tuple],
        ["z" * 20000, "y" * 20000, b"w" * 19900],   # just under one frame
        ["z" * 40000, "y" * 40000],                  # more than one frame
        (Plain(a=1),) * 3,
        [with_free_slots({"a": 1, "b": 2, "c": 3}), holey_plain(), [holey_plain()] * 2],
        split_tables(),
    ]


class Split:
    def __init__(self, n):
        for name in "abcdef"[:n]:
            setattr(self, name, name * 2)


def split_tables():
    # instances of one class share their keys: the later ones hold fewer
    # values than the keys the first ones added
    values = [Split(6), Split(2), Split(0), Split(4)]
    assert sys.getsizeof(vars(values[1])) < sys.getsizeof(dict(vars(values[1])))   # (split)
    return values


def with_free_slots(d):
    # deleted entries left in the table before and after the live ones (no
    # insertion after them, which could make the table be rebuilt)
    d["x1"] = 0
    d.pop(next(iter(d)))
    d["x2"] = 0
    d.pop("x2")
    return d


def holey_plain():
    obj = Plain(p=1, q=2, r=3)
    with_free_slots(vars(obj))
    return obj


def test_edge_values_have_the_full_paths_bytes():
    for value in edge_values():
        for obj_wrap in (True, False):
            assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap), repr(value)[:80]
        pickle.loads(P.safe_pickle(value))
    for item in [x for group in edge_values() if type(group) is list for x in group]:
        assert P.safe_pickle(item) == full_path(item), repr(item)[:80]


KEPT_LAMBDA = lambda x, y=[1, 2]: x  # noqa: E731 - kept by its code: no name finds it


def kept_closure(k):
    def inner(x, *, scale=2):
        "doc"
        return x * k * scale
    inner.note = {"n": k}
    return inner


@pytest.mark.parametrize("value", [
    KEPT_LAMBDA, kept_closure(3), [KEPT_LAMBDA, KEPT_LAMBDA, kept_closure(4)],
    {len: KEPT_LAMBDA, abs: (1, kept_closure(5), ())}, functools.partial(kept_closure, 2),
    inspect.signature(kept_closure(1)).bind(1, scale=3), [Plain(f=KEPT_LAMBDA), len],
], ids=["lambda", "closure", "shared", "builtin-keys", "partial", "bound", "in-instance"])
def test_values_kept_by_rules_of_their_own_have_the_full_paths_bytes(value):
    for obj_wrap in (True, False):
        assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap)


def test_signatures_and_parameters_have_the_full_paths_bytes():
    def sample(a, b=[1, 2], *rest, c: int = 3, d: "note" = Plain(x=1), **more) -> str:
        pass

    sig = inspect.signature(sample)
    broken = inspect.Parameter("e", inspect.Parameter.KEYWORD_ONLY)
    del broken._default                          # a field never set: kept by no rule of its own
    values = [sig, inspect.signature(len), [sig, sig, sig.parameters["c"]],
              {"sig": sig, "params": list(sig.parameters.values())},
              sig.replace(parameters=[inspect.Parameter("x", inspect.Parameter.POSITIONAL_ONLY)]),
              [broken, sig]]
    for value in values:
        for obj_wrap in (True, False):
            assert P.safe_pickle(value, obj_wrap) == full_path(value, obj_wrap)
    loaded = pickle.loads(P.safe_pickle([sig, sig]))
    assert loaded[0] is loaded[1] and list(loaded[0].parameters) == ["a", "b", "rest", "c", "d", "more"]


def test_classes_not_found_by_name_are_answered_without_pickling_again(monkeypatch):
    class Local:
        pass

    def local_function():
        pass

    value = {"cls": Local, "fn": local_function, "data": [1, Plain(x=2)], "none": type(None)}
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)                  # the Python pickler's answer throughout
    try:
        by_python = pickle.loads(P.safe_pickle(value))
    finally:
        sys.setrecursionlimit(limit)
    from corvane_collector.data_serialization import corv_pickle
    monkeypatch.setattr(corv_pickle.Pickler, "_dump_fallback",
                        lambda *a: pytest.fail("pickled again by the Python pickler"))
    loaded = pickle.loads(P.safe_pickle(value))
    assert loaded["data"][0] == 1 and loaded["data"][1].x == 2 and loaded["none"] is type(None)
    for key in ("cls", "fn"):
        assert type(loaded[key]) is type(by_python[key]) is not type
        assert vars(loaded[key]) == vars(by_python[key])
