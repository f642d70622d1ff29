"""Exact reduce values of reducer_override, its predicates and the reductions."""

import copyreg
import enum
import io
import logging
import os
import types

import pytest
from jsonpickle.unpickler import loadclass

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.exceptions import ProblematicPickleException
from corvane_common.utils.obj_wrap import FunctionWrapper, ModuleWrapper, UnpicklableObject
from corvane_collector.data_serialization import pickler as P

MOD = __name__


def plain_function(a, b=2):
    return a + b


class Plain:
    def __init__(self):
        self.x = 1

    def run(self):
        return self.x

    @classmethod
    def make(cls):
        return cls()


class NoInit:
    pass


class WithGetattr:
    def __getattr__(self, name):
        raise AttributeError(name)


class WithGetstate:
    def __getstate__(self):
        raise AssertionError("must not be called")


class WithReduce:
    def __reduce__(self):
        raise AssertionError("must not be called")


class PlainError(Exception):
    pass


class ReducingError(Exception):
    def __reduce__(self):
        raise AssertionError("must not be called")


class Color(enum.Enum):
    RED = 1


class IntChild(int):
    pass


class builtin_method_lookalike:
    pass


@pytest.fixture
def pickler():
    return P.SafePickler(True, io.BytesIO())


@pytest.fixture
def usage():
    added = []

    def record(obj, names):
        used_attributes[id(obj)] = set(names)
        added.append(obj)

    yield record
    for obj in added:
        used_attributes.pop(id(obj), None)


def test_functions_become_name_references(pickler):
    assert pickler.reducer_override(plain_function) == (loadclass, (MOD + ".plain_function",))
    obj = Plain()
    assert pickler.reducer_override(obj.run) == (loadclass, (MOD + ".Plain.run",))
    assert pickler.reducer_override(Plain.make) == (loadclass, (MOD + ".Plain.make",))
    assert pickler.reducer_override(len) == (loadclass, ("builtins.len",))
    assert pickler.reducer_override([].append) == (loadclass, ("builtins.list.append",))
    assert pickler.reducer_override(str.join) == (loadclass, ("builtins.str.join",))
    assert pickler.reducer_override(dict.__dict__["fromkeys"]) == (loadclass, ("builtins.dict.fromkeys",))
    assert P.safe_pickle_loads(P.safe_pickle(plain_function)) is plain_function
    assert P.safe_pickle_loads(P.safe_pickle(obj.run)) is Plain.run


def test_functions_seen_as_external_calls_keep_their_names(pickler):
    # The metadata cache then holds the external pair; for callables whose
    # external calls are not recorded (len) its name is empty.
    from corvane_collector.data_collection.metadata_probe import MetadataProbe
    import json
    MetadataProbe.extract_function_metadata(len, True)
    MetadataProbe.extract_function_metadata(json.dumps, True)
    assert pickler.reduce_function(len) == (loadclass, ("builtins.len",))
    assert pickler.reduce_function(json.dumps) == (loadclass, ("json.dumps",))
    assert P.safe_pickle_loads(P.safe_pickle([len, json.dumps])) == [len, json.dumps]


def test_reduce_function_refuses_its_own_callables(pickler):
    for callable_ in (loadclass, P.Wraper, P.NewFuncWrap, copyreg._reconstructor, P.wrap_object,
                      UnpicklableObject):
        assert pickler.reduce_function(callable_) is NotImplemented


def test_reduce_function_of_a_class_names_its_init(pickler):
    assert pickler.reduce_function(Plain) == (loadclass, (MOD + ".Plain.__init__",))
    # no __init__ of its own: type's __init__ bound to the class
    assert pickler.reduce_function(NoInit) == (loadclass, ("builtins.type.__init__",))


def test_function_like_type_names(pickler):
    assert pickler.is_obj_function(types.FunctionType)
    assert pickler.is_obj_function(type(dict.__dict__["fromkeys"]))
    assert pickler.is_obj_function(builtin_method_lookalike)
    assert not pickler.is_obj_function(Plain)
    assert not pickler.is_obj_function(type(P.wrap_object))


def test_dynamic_rebuild_function(pickler):
    with pytest.raises(AttributeError):
        pickler.get_dynamic_rebuild_function(5, int)
    assert pickler.get_dynamic_rebuild_function(len, type(len)) is None
    with pytest.raises(TypeError):
        pickler.get_dynamic_rebuild_function(Color.RED, Color)


def test_skipped_types_and_subclasses(pickler):
    assert pickler.reducer_override(Color.RED) is NotImplemented
    assert pickler.reducer_override(PlainError("x")) is NotImplemented
    assert pickler.reducer_override(Plain) is NotImplemented
    assert P.safe_pickle_loads(P.safe_pickle(Color.RED)) is Color.RED
    assert P.SafePickler.is_subclass_for_skip(PlainError("x"))
    assert P.SafePickler.is_subclass_for_skip(Color.RED)
    assert not P.SafePickler.is_subclass_for_skip(Plain())
    assert not P.SafePickler.is_subclass_for_skip(ReducingError())
    # int subclasses are no skip type; int's __getnewargs__ makes them refused
    with pytest.raises(ProblematicPickleException, match="one of the pickle methods"):
        pickler.reducer_override(IntChild(3))


def test_exceptions_that_override_their_pickling_are_wrapped(pickler):
    error = ReducingError("boom", 7)
    error.extra = "data"
    assert pickler.reducer_override(error) == (
        P.wrap_exception, (MOD + ".ReducingError", ("boom", 7), {"extra": "data"}))
    loaded = P.safe_pickle_loads(P.safe_pickle(error))
    assert type(loaded).__name__ == "ExceptionWrapper"
    assert loaded.exception_full_name == MOD + ".ReducingError" and loaded.args == ("boom", 7)


def test_modules_are_wrapped(pickler, usage):
    usage(os, {"path"})
    assert pickler.reducer_override(os) == (P.wrap_module, ("os",))
    assert P.safe_pickle_loads(P.safe_pickle(os)) == ModuleWrapper("os")


def test_recorded_attribute_usage(usage):
    obj = Plain()
    usage(obj, {"x", "run", "missing"})
    wrapping = P.SafePickler(True, io.BytesIO())
    assert wrapping.reducer_override(obj) == (P.wrap_object, (Plain, {"run": obj.run}), {"x": 1})
    assert P.SafePickler(False, io.BytesIO()).reducer_override(obj) is NotImplemented
    # classes never take the usage rule
    usage(Plain, {"x"})
    assert wrapping.reducer_override(Plain) is NotImplemented
    loaded = P.safe_pickle_loads(P.safe_pickle(obj))
    assert loaded.wrapped_type() is Plain and loaded.x == 1
    assert loaded.wrapped_functions() == {"run": Plain.run}


def test_reduce_used_attrs_of_a_module_uses_module_wrapper(pickler):
    assert pickler.reduce_used_attrs(os, ["sep"]) == (P.wrap_object, (ModuleWrapper, {}), {"sep": os.sep})


def test_get_attributes_value():
    obj = Plain()
    obj.env = os.environ
    obj.factory = Plain.make
    attrs, funcs = P.get_attributes_value(obj, ["x", "env", "factory", "run", "nope"])
    assert attrs == {"x": 1, "env": dict(os.environ), "factory": Plain.make}
    assert type(attrs["env"]) is dict
    assert funcs == {"run": obj.run}

    class Raising:
        @property
        def bad(self):
            raise ValueError("property failed")

    with pytest.raises(ValueError):
        P.get_attributes_value(Raising(), ["bad"])


def test_is_classmethod():
    assert P.is_classmethod(Plain.make)
    assert not P.is_classmethod(Plain().run)
    assert not P.is_classmethod(5)


def test_magic_mock_types(pickler):
    logger = logging.getLogger("corvane.test")
    assert pickler.reducer_override(logger) == (P.wrap_object, (logging.Logger, {}), {})
    loaded = P.safe_pickle_loads(P.safe_pickle(logger))
    assert loaded.wrapped_type() is logging.Logger


def test_python_getattr_is_refused_with_the_quoted_type(pickler):
    with pytest.raises(ProblematicPickleException) as info:
        pickler.reducer_override(WithGetattr())
    message = str(info.value)
    assert message == "'" + str(WithGetattr) + "' cant be pickled because it has __getattr__ method"
    assert message.split("'")[2] == MOD + ".WithGetattr"


def test_pickling_methods_are_refused(pickler):
    for obj in (WithGetstate(), WithReduce()):
        with pytest.raises(ProblematicPickleException) as info:
            pickler.reducer_override(obj)
        assert str(info.value) == ("'" + str(type(obj)) +
                                   "' cant be pickled because it has one of the pickle methods")
    assert pickler.reducer_override(FunctionWrapper("a.b")) is NotImplemented
    assert pickler.reducer_override(Plain()) is NotImplemented


def test_type_verdicts_follow_class_changes(pickler, usage):
    class Mutable:
        pass

    obj = Mutable()
    assert pickler.reducer_override(obj) is NotImplemented
    Mutable.__getstate__ = lambda self: {}
    with pytest.raises(ProblematicPickleException):
        pickler.reducer_override(obj)
    del Mutable.__getstate__
    assert pickler.reducer_override(obj) is NotImplemented
    obj.__getnewargs__ = lambda: ()
    with pytest.raises(ProblematicPickleException):
        pickler.reducer_override(obj)
    del obj.__getnewargs__
    usage(obj, {"nothing"})
    assert pickler.reducer_override(obj) == (P.wrap_object, (Mutable, {}), {})


def test_predicates_are_static_where_required():
    assert P.is_obj_python_based(plain_function) and not P.is_obj_python_based(len)
    assert P.obj_has_getattr_that_is_python_based(WithGetattr())
    assert not P.obj_has_getattr_that_is_python_based(Plain())


def test_wrappers_and_name_helpers():
    with pytest.raises(TypeError, match="Argument 'exception_full_name' has incorrect type"):
        P.wrap_exception(5, (), {})
    wrapped = P.wrap_exception(None, ("a",), {"k": 1})
    assert wrapped.args == ("a",) and wrapped.k == 1
    assert P.wrap_function("x.y").full_name == "x.y"
    assert P.wrap_module("os").resolve() is os
    for cls in (P.NewFuncWrap, P.Wraper):
        holder = cls(MOD + ".plain_function")
        assert holder.name == MOD + ".plain_function"
        assert holder.__reduce__() == (loadclass, (MOD + ".plain_function",))
        import pickle
        assert pickle.loads(pickle.dumps(holder)) is plain_function
        # its own __reduce__ is a pickling method like any other: refused
        loaded = P.safe_pickle_loads(P.safe_pickle(holder))
        assert type(loaded) is UnpicklableObject and loaded.name == MOD + ".plain_function"
