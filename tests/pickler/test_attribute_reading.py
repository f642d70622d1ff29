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


class LoggingProperty(property):
    def __get__(self, obj, owner=None):
        RAN.append("property subclass")
        return 8


class Base:
    counting = Counting()
    logged = LoggingProperty(lambda self: 8)
    plain = property(lambda self: self.__dict__.setdefault("plain_ran", 3))

    @functools.cached_property
    def cached(self):
        RAN.append("cached")
        return 1


class Slotted:
    __slots__ = ("x",)
    counting = Counting()
    seen = property(lambda self: self.x)


class Finalized(Base):
    def __del__(self):
        pass


@pytest.mark.parametrize("make, state, left", [
    (Base, {"plain": 3}, {}),  # the property ran on a copy of the object
    (Finalized, {"plain": 3}, {"plain_ran": 3}),  # not copied: it ran on the object
    (lambda: weakref.proxy(KEEP), {"plain": 3}, {}),
    (Slotted, {"x": 1, "seen": 1}, {}),
])
def test_failure_reducer_runs_only_properties(make, state, left):
    RAN.clear()
    obj = make()
    if type(obj) is Slotted:
        obj.x = 1
    _, _, described = P.UnpicklableHelpers.__reduce__(obj)
    assert RAN == [] and described == state and getattr(obj, "__dict__", {}) == left
    if type(obj) is Base:
        obj.counting = 5
        obj.cached
        RAN.clear()
        _, _, described = P.UnpicklableHelpers.__reduce__(obj)
        assert described == {"plain": 3, "counting": 5, "cached": 1} and RAN == []


KEEP = Base()


def test_used_attributes_classes_sizes_and_callables_are_read_by_the_rule():
    RAN.clear()
    obj = Base()
    attrs, funcs = P.get_attributes_value(obj, ["cached", "counting", "plain"])
    assert attrs == {"plain": 3} and vars(obj) == {}
    # a class: what its namespace holds, uncalled
    _, _, described = P.UnpicklableHelpers.__reduce__(Base)
    assert described["counting"] is Base.__dict__["counting"] and "cached" in described

    class Failure(Exception):
        msg = functools.cached_property(lambda self: RAN.append("msg") or "m")

    assert not R.is_size_too_big([Failure("x"), ValueError("y")] * 600)
    assert asizeof._typedefs[ValueError].refs is asizeof._exc_refs  # pympler's own again

    class Callable:
        __func__ = functools.cached_property(lambda self: RAN.append("__func__") or len)

        def __call__(self):
            pass

    MetadataProbe.extract_function_metadata(Callable(), dont_cache=True)
    assert RAN == []
