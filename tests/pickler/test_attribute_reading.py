"""Attributes behind descriptors written in Python are not read while describing."""
import functools
import weakref

import pytest
from pympler import asizeof

from corvane_collector.data_collection import call_recorder as R
from corvane_collector.data_collection.metadata_probe import MetadataProbe
from corvane_collector.data_serialization import pickler as P

RAN = []


class Counting:  # a data descriptor: the instance dict does not shadow it
    def __get__(self, obj, owner=None):
        RAN.append("counting")
        return 7

    def __set__(self, obj, value):
        obj.__dict__["counting"] = value


def cached():
    return functools.cached_property(lambda self: RAN.append("cached") or 1)


class Base:
    counting = Counting()
    logged = type("Logged", (property,), {"__get__": Counting.__get__})()
    plain = property(lambda self: self.__dict__.setdefault("plain_ran", 3))
    cached = cached()


class Slotted:
    __slots__ = ("x",)
    counting = Counting()
    seen = property(lambda self: self.x)


KEEP = Base()


@pytest.mark.parametrize("make, state", [
    (Base, {"plain": 3}), (lambda: weakref.proxy(KEEP), {"plain": 3}), (Slotted, {"seen": 1, "x": 1})])
def test_failure_reducer_runs_only_properties_and_those_on_a_copy(make, state):
    RAN.clear()
    obj = make()
    if type(obj) is Slotted:
        obj.x = 1
    assert P.UnpicklableHelpers.__reduce__(obj)[2] == state
    assert RAN == [] and getattr(obj, "__dict__", {}) == {}
    if type(obj) is Base:  # what the program stored is taken
        obj.counting, _ = 5, obj.cached
        assert P.UnpicklableHelpers.__reduce__(obj)[2] == {"plain": 3, "counting": 5, "cached": 1}


def test_used_attributes_classes_sizes_and_callables_are_read_by_the_rule():
    RAN.clear()
    obj = Base()
    assert P.get_attributes_value(obj, ["cached", "counting", "plain"]) == ({"plain": 3}, {})
    # a class: what its own namespace holds, uncalled
    described = P.UnpicklableHelpers.__reduce__(Base)[2]
    assert described["counting"] is Base.__dict__["counting"] and "cached" in described
    failure = type("Failure", (Exception,), {"msg": cached()})("x")
    assert not R.is_size_too_big([failure, ValueError("y")] * 600)
    assert asizeof._typedefs[ValueError].refs is asizeof._exc_refs  # pympler's own again
    called = type("Callable", (), {"__func__": cached(), "__call__": len})()
    MetadataProbe.extract_function_metadata(called, dont_cache=True)
    assert RAN == [] and vars(obj) == {} and vars(failure) == vars(called) == {}
