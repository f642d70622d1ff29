"""Wrappers as they come out of real records written by the safe pickler."""
import math
import pickle

import pytest

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_common.utils.obj_wrap import (
    ExceptionWrapper, ModuleWrapper, ObjectWrapper, UnpicklableObject,
)

pickler = pytest.importorskip("corvane_collector.data_serialization.pickler")
if not hasattr(pickler, "safe_pickle"):
    pytest.skip("safe pickler not built yet", allow_module_level=True)


def load(value, obj_wrap=True):
    return pickle.loads(pickler.safe_pickle(value, obj_wrap))


class Account:
    RATE = 3

    def __init__(self):
        self.balance = 10
        self.owner = "ann"

    def close(self):
        return "closed"


class Guarded:
    def __init__(self):
        self.size = 4

    def __reduce__(self):
        raise RuntimeError("user pickling code must not run")

    def grow(self):
        pass


class CustomError(Exception):
    def __reduce__(self):
        raise RuntimeError("user pickling code must not run")


def test_object_with_used_attributes_loads_as_object_wrapper():
    account = Account()
    used_attributes[id(account)] = {"balance", "close", "missing"}
    try:
        loaded = load(account)
    finally:
        del used_attributes[id(account)]
    assert isinstance(loaded, ObjectWrapper)
    assert loaded.wrapped_type() is Account and loaded.balance == 10
    assert not hasattr(loaded, "owner")
    assert loaded.wrapped_functions() == {"close": Account.close}


def test_object_refusing_default_pickling_loads_as_unpicklable_object():
    loaded = load(["before", Guarded(), "after"])
    assert loaded[0] == "before" and loaded[2] == "after"
    obj = loaded[1]
    assert isinstance(obj, UnpicklableObject)
    assert obj.wrapped_type_name() == f"{__name__}.Guarded"
    assert obj.size == 4 and obj.method_names() == ["grow"]
    assert obj.resolve_method("grow") is Guarded.grow


def test_module_and_exception_wrappers():
    assert load(math) == ModuleWrapper("math") and load(math).resolve() is math
    exc = load(CustomError("boom", 7))
    assert isinstance(exc, ExceptionWrapper) and exc.args == ("boom", 7)
    assert exc.exception_full_name == f"{__name__}.CustomError"
    assert exc.resolve_type() is CustomError
