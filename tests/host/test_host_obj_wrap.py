import math
import pickle
import socket

import pytest

from corvane_common.utils.obj_wrap import (
    ExceptionWrapper, FunctionWrapper, ModuleWrapper, ObjectWrapper, SpecialWrapper,
    UnpicklableObject, resolve_name,
)


class Reduced:
    """Pickles as a given reduce value, the way the safe pickler emits wrappers."""

    def __init__(self, value):
        self.value = value

    def __reduce__(self):
        return self.value


def through_pickle(reduce_value):
    return pickle.loads(pickle.dumps(Reduced(reduce_value)))


class Thing:
    def run(self):
        return "ran"


def test_function_wrapper_identity_and_pickles_by_full_name():
    assert FunctionWrapper.__qualname__ == "FunctionWrapper"
    assert FunctionWrapper.__module__ == "corvane_common.utils.obj_wrap"
    wrapper = FunctionWrapper("math.sqrt")
    assert wrapper.__module__ == "corvane_common.utils.obj_wrap"
    assert wrapper.__reduce__() == (FunctionWrapper, ("math.sqrt",))
    loaded = pickle.loads(pickle.dumps(wrapper))
    assert type(loaded) is FunctionWrapper and loaded == wrapper
    assert loaded.resolve() is math.sqrt and loaded(9) == 3.0
    missing = FunctionWrapper("no_such_module_xyz.f")
    assert missing.resolve() is None
    with pytest.raises(LookupError):
        missing()


def test_unpicklable_object_keeps_type_string_method_names_and_state():
    funcs = {"run": FunctionWrapper(f"{__name__}.Thing.run"), "close": FunctionWrapper("socket.socket.close")}
    obj = through_pickle((UnpicklableObject, (str(socket.socket), funcs), {"x": 1, "name": "n"}))
    assert isinstance(obj, UnpicklableObject)
    assert obj.wrapped_type_str() == "<class 'socket.socket'>"
    assert obj.wrapped_type_name() == "socket.socket"
    assert obj.method_names() == ["close", "run"]
    assert obj.x == 1 and obj.name == "n"
    assert obj.wrapped_attributes() == {"x": 1, "name": "n"}
    assert obj.resolve_method("run") is Thing.run
    assert obj.resolve_method("close") is socket.socket.close
    assert obj.resolve_method("absent") is None
    # A loaded description can be stored again with the standard pickler.
    again = pickle.loads(pickle.dumps(obj))
    assert again.wrapped_type_str() == obj.wrapped_type_str()
    assert again.method_names() == obj.method_names() and again.x == 1


def test_unpicklable_object_with_empty_description():
    obj = through_pickle((UnpicklableObject, ("<class 'pkg.Proxy'>", {}), {}))
    assert obj.wrapped_type_name() == "pkg.Proxy"
    assert obj.method_names() == [] and obj.wrapped_attributes() == {}


def test_object_wrapper_exposes_used_attributes_and_reports_its_type():
    obj = through_pickle((ObjectWrapper, (Thing, {"run": Thing.run}), {"x": 5, "label": "a"}))
    assert obj.x == 5 and obj.label == "a"
    assert obj.wrapped_type() is Thing
    assert obj.wrapped_type_name() == f"{__name__}.Thing"
    assert obj.wrapped_functions() == {"run": Thing.run}
    assert obj.wrapped_attributes() == {"x": 5, "label": "a"}
    module_like = through_pickle((ObjectWrapper, (ModuleWrapper, {}), {"pi": 3.14}))
    assert module_like.wrapped_type() is ModuleWrapper and module_like.pi == 3.14


def test_module_and_special_wrappers_resolve_when_importable():
    assert ModuleWrapper("math").resolve() is math
    assert ModuleWrapper("math.sqrt").resolve() is None  # not a module
    assert ModuleWrapper("no_such_module_xyz").resolve() is None
    assert pickle.loads(pickle.dumps(ModuleWrapper("os.path"))) == ModuleWrapper("os.path")
    special = SpecialWrapper("collections.OrderedDict")
    assert special.rebuild() == {}
    with pytest.raises(LookupError):
        SpecialWrapper("no_such_module_xyz.make").rebuild()


def test_exception_wrapper_stands_for_the_exception():
    exc = ExceptionWrapper("builtins.KeyError", ("k",), {"note": 1})
    assert isinstance(exc, Exception)
    assert str(exc) == str(KeyError("k").args[0]) and exc.args == ("k",)
    assert exc.note == 1 and exc.exception_full_name == "builtins.KeyError"
    assert exc.resolve_type() is KeyError
    with pytest.raises(ExceptionWrapper):
        raise exc
    again = pickle.loads(pickle.dumps(exc))
    assert type(again) is ExceptionWrapper
    assert (again.exception_full_name, again.args, again.note) == ("builtins.KeyError", ("k",), 1)
    # Unknown names and no full name at all are accepted.
    assert ExceptionWrapper(None, (), {}).resolve_type() is None
    assert ExceptionWrapper("math.sqrt", (1, 2), {}).resolve_type() is None


def test_wrappers_define_no_attribute_hook_the_safe_pickler_would_refuse():
    for cls in (ObjectWrapper, ModuleWrapper, SpecialWrapper, ExceptionWrapper,
                UnpicklableObject, FunctionWrapper):
        assert not hasattr(cls, "__getattr__"), cls
        assert not hasattr(cls, "__getstate__"), cls
    for cls in (ObjectWrapper, ModuleWrapper, SpecialWrapper, UnpicklableObject):
        assert cls.__reduce__ is object.__reduce__ and cls.__reduce_ex__ is object.__reduce_ex__


def test_resolve_name():
    assert resolve_name("os.path.join") is __import__("os").path.join
    assert resolve_name(f"{__name__}.Thing.run") is Thing.run
    assert resolve_name("math.no_such_attr") is None
    assert resolve_name("") is None and resolve_name(None) is None
