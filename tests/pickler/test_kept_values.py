"""Values whose classes define pickling methods, kept by their state: they load back
equal without those methods running; subclasses and tampered instances are described."""

import collections
import functools
import inspect
import types

import pytest

from corvane_collector.data_serialization import pickler as P
from corvane_collector.host import decode, replay
from corvane_common.utils.obj_wrap import UnpicklableObject

calls = []


class Touchy:
    """Records every pickling method and attribute hook that runs."""

    def __init__(self, v):
        self.v = v

    def __reduce__(self):
        calls.append("__reduce__")
        raise AssertionError("must not be called")

    def __setstate__(self, state):
        calls.append("__setstate__")
        raise AssertionError("must not be called")

    def __eq__(self, other):
        calls.append("__eq__")
        return type(other) is Touchy and other.v == self.v

    __hash__ = object.__hash__


class TouchySub(Touchy):
    pass


class Hostile:
    def __getattr__(self, name):
        calls.append("__getattr__")
        raise AssertionError(name)

    def __reduce_ex__(self, protocol):
        calls.append("__reduce_ex__")
        raise AssertionError("must not be called")


def sample(a, b: int = 2, *args, c=(3,), **kw) -> str:
    return a


class SignatureSub(inspect.Signature):
    pass


class PartialSub(functools.partial):
    pass


@pytest.fixture(autouse=True)
def no_calls():
    calls.clear()
    yield
    assert calls == [], calls


def roundtrip(value):
    return replay.load(P.safe_pickle(value))


SIG = inspect.signature(sample)


@pytest.mark.parametrize("value", [
    SIG, SIG.parameters["c"], SIG.bind(1, 2, 3, d=4), inspect.signature(lambda: None),
    Ellipsis, NotImplemented,
], ids=["signature", "parameter", "bound", "empty", "ellipsis", "notimplemented"])
def test_kept_values_load_back_equal(value):
    back = roundtrip(value)
    assert type(back) is type(value) and back == value
    if isinstance(value, inspect.Signature):
        assert list(back.parameters) == list(value.parameters)


def test_a_partial_keeps_its_function_arguments_and_attributes():
    p = functools.partial(sample, 1, c=5)
    p.note = "kept"
    back = roundtrip(p)
    assert type(back) is functools.partial and back.func is sample
    assert (back.args, back.keywords, back.note) == ((1,), {"c": 5}, "kept")


def test_a_listed_class_is_kept_by_its_dict_without_its_pickling_methods(monkeypatch):
    name = f"{__name__}.Touchy"
    assert type(roundtrip(Touchy(1))) is UnpicklableObject
    monkeypatch.setattr(P.SafePickler, "full_names_kept_by_state", {name})
    back = roundtrip(Touchy([1, 2]))
    assert type(back) is Touchy and back.__dict__ == {"v": [1, 2]}
    # only the exact class
    assert type(roundtrip(TouchySub(1))) is UnpicklableObject


NAMED_TOUCHY = Touchy("named")
NAMED_TOUCHY.__module__, NAMED_TOUCHY.__qualname__ = __name__, "NAMED_TOUCHY"


def test_a_listed_object_its_module_holds_under_its_own_name_replays_as_that_object(monkeypatch):
    monkeypatch.setattr(P.SafePickler, "full_names_kept_by_state", {f"{__name__}.Touchy"})
    data = P.safe_pickle(NAMED_TOUCHY)
    assert replay._resolve_functions(replay.load(data)) is NAMED_TOUCHY
    # given back the state it had when recorded
    monkeypatch.setattr(NAMED_TOUCHY, "v", "changed")
    assert replay._resolve_functions(replay.load(data)) is NAMED_TOUCHY and NAMED_TOUCHY.v == "named"
    # an equal copy carrying the same name is not that object
    copy = Touchy("named")
    copy.__dict__.update(NAMED_TOUCHY.__dict__)
    assert replay._resolve_functions(roundtrip(copy)) is not NAMED_TOUCHY


class CountingDict(collections.defaultdict):
    def items(self):
        calls.append("items")
        raise AssertionError("must not be called")


class ReducingDict(collections.defaultdict):
    def __reduce__(self):
        calls.append("__reduce__")
        raise AssertionError("must not be called")


def test_a_defaultdict_subclass_keeps_factory_items_and_attributes_without_its_methods():
    value = CountingDict(list, {1: [2]})
    value.note = "kept"
    back = roundtrip(value)
    assert type(back) is CountingDict and dict.items(back) == dict.items(value)
    assert (back.default_factory, back.note) == (list, "kept")
    # one with pickling methods of its own is described
    assert type(roundtrip(ReducingDict(int))) is UnpicklableObject


class SlottedTouchy(Touchy):
    __slots__ = ("first", "unset")

    def __getstate__(self):
        calls.append("__getstate__")
        raise AssertionError("must not be called")


def test_a_listed_class_with_slots_is_kept_by_its_slots_and_dict(monkeypatch):
    monkeypatch.setattr(P.SafePickler, "full_names_kept_by_state",
                        {f"{__name__}.SlottedTouchy", f"{__name__}.Touchy"})
    value = SlottedTouchy([1])
    value.first = "f"
    back = roundtrip(value)
    assert type(back) is SlottedTouchy and (back.first, back.v) == ("f", [1])
    assert not hasattr(back, "unset")
