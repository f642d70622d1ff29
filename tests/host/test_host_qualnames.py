import collections
import datetime
import functools
import math
import operator
import os
import random
import time
import types

import pytest

from corvane_common.consts.mock_policy import MockPolicyConsts
from corvane_common.qualnames import get_function_full_name, get_function_module
from corvane_common.utils.obj_wrap import resolve_name


def full_name(obj):
    """Full name the way the metadata probe asks for it."""
    return get_function_full_name(get_function_module(obj, getattr(obj, "__self__", None)), obj)


class Outer:
    def meth(self):
        pass

    @classmethod
    def cmeth(cls):
        pass

    @staticmethod
    def smeth():
        pass

    class Inner:
        def deep(self):
            pass

    def __call__(self):
        pass


class MyList(list):
    pass


@functools.lru_cache(maxsize=None)
def cached(x):
    return x


MOD = __name__

NAMED = [
    (len, "builtins.len"),
    (print, "builtins.print"),
    (list.append, "builtins.list.append"),
    ([].append, "builtins.list.append"),
    ("".join, "builtins.str.join"),
    (str.maketrans, "builtins.str.maketrans"),
    (dict.fromkeys, "builtins.dict.fromkeys"),
    (dict.__dict__["fromkeys"], "builtins.dict.fromkeys"),
    (object.__init__, "builtins.object.__init__"),
    ((1).__add__, "builtins.int.__add__"),
    (int, "builtins.int"),
    (math.sqrt, "math.sqrt"),
    (operator.add, "_operator.add"),
    (datetime.datetime.now, "datetime.datetime.now"),
    (collections.OrderedDict, "collections.OrderedDict"),
    (collections.OrderedDict().get, "collections.OrderedDict.get"),
    (os.path.join, "posixpath.join"),
    (Outer, f"{MOD}.Outer"),
    (Outer.meth, f"{MOD}.Outer.meth"),
    (Outer().meth, f"{MOD}.Outer.meth"),
    (Outer.cmeth, f"{MOD}.Outer.cmeth"),
    (Outer.smeth, f"{MOD}.Outer.smeth"),
    (Outer.Inner.deep, f"{MOD}.Outer.Inner.deep"),
    (Outer.Inner().deep, f"{MOD}.Outer.Inner.deep"),
    (MyList().append, f"{MOD}.MyList.append"),
    (cached, f"{MOD}.cached"),
    (full_name, f"{MOD}.full_name"),
]


@pytest.mark.parametrize("obj,expected", NAMED, ids=[n for _, n in NAMED])
def test_full_names_resolve_back_to_the_same_callable(obj, expected):
    assert full_name(obj) == expected
    module = get_function_module(obj, getattr(obj, "__self__", None))
    assert expected.startswith(module + ".")
    resolved = resolve_name(expected)
    assert callable(resolved)
    owner = getattr(obj, "__self__", None)
    if isinstance(obj, types.BuiltinMethodType) and owner is not None \
            and not isinstance(owner, (type, types.ModuleType)):
        # A bound built-in method names the method of the instance's type,
        # which may be inherited from a built-in base.
        assert resolved is getattr(type(owner), obj.__name__)
    else:
        assert full_name(resolved) == expected
    function = getattr(obj, "__func__", None)
    if isinstance(obj, (types.FunctionType, type)) or isinstance(function, types.FunctionType):
        assert resolved is obj or resolved is function or getattr(resolved, "__func__", None) is function


def test_partial_and_callable_instances():
    assert full_name(functools.partial(math.pow, 2)) == "math.pow"
    assert full_name(functools.partial(functools.partial(Outer.meth), 1)) == f"{MOD}.Outer.meth"
    assert full_name(Outer()) == f"{MOD}.Outer.__call__"
    # Non-callable instances are named by their class (used for exceptions).
    assert full_name(ValueError("x")) == "builtins.ValueError"
    assert full_name(types) == "types"


def test_local_functions_keep_their_qualified_name():
    def inner():
        pass
    assert full_name(inner) == f"{MOD}.test_local_functions_keep_their_qualified_name.<locals>.inner"
    assert full_name(lambda: 0).endswith(".<lambda>")


def test_explicit_module_argument_is_used_and_missing_module_is_worked_out():
    assert get_function_full_name("othermod", Outer.meth) == "othermod.Outer.meth"
    assert get_function_full_name(None, Outer.meth) == f"{MOD}.Outer.meth"
    assert get_function_full_name(3, len) == "builtins.len"


def test_function_without_module_gets_its_bare_qualified_name():
    namespace = {}
    exec("def f():\n    pass\n", namespace)  # no __name__ in the globals
    f = namespace["f"]
    assert f.__module__ is None
    assert get_function_module(f, None) is None
    assert get_function_full_name(None, f) == "f"


class Hostile:
    """Every attribute hook raises; naming must neither run it nor raise."""
    def __getattribute__(self, name):
        raise RuntimeError("touched " + name)

    def __getattr__(self, name):
        raise RuntimeError("touched " + name)


class BadModule:
    __module__ = 42


class RaisingDescriptors:
    @property
    def __func__(self):
        raise RuntimeError("no")


ODD = [Hostile(), BadModule, BadModule(), RaisingDescriptors(), None, 3, object(),
       types.SimpleNamespace(__qualname__=5, __module__=[])]


@pytest.mark.parametrize("index", range(len(ODD)))
def test_odd_objects_never_raise(index):
    obj = ODD[index]
    module = get_function_module(obj, None)
    assert module is None or type(module) is str
    name = get_function_full_name(module, obj)
    assert name is None or type(name) is str
    get_function_module(obj, True)
    get_function_module(obj, obj)


def test_hostile_object_is_named_by_its_class_without_running_its_hooks():
    hostile = Hostile()
    assert get_function_full_name(get_function_module(hostile, None), hostile) == f"{MOD}.Hostile"
    assert get_function_full_name(None, BadModule) == "BadModule"


def test_is_method_owner_gives_the_module_when_the_callable_has_none():
    class NoModule:
        pass
    NoModule.__module__ = None
    namespace = {}
    exec("def f():\n    pass\n", namespace)
    # Plain functions answer for themselves even with an owner given.
    assert get_function_module(namespace["f"], Outer()) is None
    assert get_function_module(NoModule(), Outer()) == MOD


STATELESS = MockPolicyConsts.STATELESS_EXTERNAL_FULL_NAMES


def test_every_stateless_name_is_what_naming_gives_the_real_object():
    assert isinstance(STATELESS, frozenset) and len(STATELESS) > 200
    mismatched = {}
    for name in STATELESS:
        obj = resolve_name(name)
        if obj is None or full_name(obj) != name:
            mismatched[name] = obj and full_name(obj)
    assert mismatched == {}


@pytest.mark.parametrize("obj", [open, input, print, next, id, vars, getattr, setattr, time.time,
                                 time.sleep, random.random, random.randint, os.getcwd, os.listdir,
                                 list.append, [].append, dict.update, dict.pop, set.add,
                                 operator.iadd, operator.setitem, os.urandom, datetime.datetime.now,
                                 collections.deque.append])
def test_stateful_or_effectful_functions_are_not_stateless(obj):
    assert full_name(obj) not in STATELESS


@pytest.mark.parametrize("obj", [len, isinstance, str, "".join, str.join, math.sqrt, operator.add,
                                 abs, sorted, os.path.join, collections.OrderedDict.__init__])
def test_typical_pure_functions_are_stateless(obj):
    assert full_name(obj) in STATELESS
