"""Values whose classes define pickling methods, kept by their state: they load back
equal without those methods running; subclasses and tampered instances are described."""

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


@pytest.mark.parametrize("value", [
    SignatureSub([inspect.Parameter("x", inspect.Parameter.POSITIONAL_ONLY)]),
    PartialSub(sample, 1),
    Hostile(),
], ids=["signature subclass", "partial subclass", "hostile"])
def test_subclasses_and_hostile_objects_are_described(value):
    back = roundtrip(value)
    assert type(back) is UnpicklableObject


def test_tampered_signatures_and_parameters_are_described_without_running_their_members():
    sig = inspect.signature(sample)

    class Mapping(dict):
        def items(self):
            calls.append("items")
            raise AssertionError("must not be called")

    inspect.Signature.__dict__["_parameters"].__set__(sig, types.MappingProxyType(Mapping(a=1)))
    assert type(roundtrip(sig)) is UnpicklableObject
    param = inspect.Parameter("x", inspect.Parameter.KEYWORD_ONLY, default=Hostile())
    back = roundtrip(param)
    # the parameter is kept; its hostile default is described in its place
    assert type(back) is inspect.Parameter and type(back.default) is UnpicklableObject


GLOBAL = 10


def adder(n):
    def add(x, scale=1):
        return (x + n + GLOBAL) * scale
    return add


def countdown():
    # (a closure that holds the function itself)
    def down(n):
        return [n] + down(n - 1) if n else []
    return down


def made_by_exec():
    names = {}
    exec("def triple(x, k=3):\n    return x * k + GLOBAL\n", globals(), names)
    return names["triple"]


def test_functions_not_found_by_name_are_kept_by_their_code():
    add = adder(5)
    add.__defaults__ = (2,)
    add.tag = "t"
    for func, arg, expected in ((lambda x, y=3: x * y, 2, 6), (add, 1, 32),
                                (countdown(), 3, [3, 2, 1]), (made_by_exec(), 2, 16)):
        back = roundtrip(func)
        assert type(back) is types.FunctionType and back is not func
        assert back(arg) == expected == func(arg)
        assert (back.__qualname__, back.__globals__) == (func.__qualname__, globals())
    assert roundtrip(add).tag == "t"
    # a recursive closure refers to the rebuilt function itself
    down = roundtrip(countdown())
    assert down.__closure__[0].cell_contents is down
    # functions found by name stay references
    assert roundtrip(adder) is adder


def test_functions_whose_globals_are_no_module_are_named_as_before():
    names = {}
    exec("f = lambda: 1", {"__name__": __name__}, names)
    assert not isinstance(roundtrip(names["f"]), types.FunctionType)


def test_reading_records_never_rebuilds_kept_values():
    value = (SIG, functools.partial(sample, 1), adder(1))
    sig, part, func = decode.load(P.safe_pickle(value))
    assert isinstance(sig, decode.Placeholder) and sig.ph_class == "inspect.Signature"
    assert isinstance(part, decode.Placeholder) and part.ph_class == "functools.partial"
    assert func == decode.Reference(f"{__name__}.adder.<locals>.add")
