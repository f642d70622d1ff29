"""The safe pickler never imports: a class or function whose module is still
being imported, or is not loaded at all, is written without asking the import
system for that module.

Asking for a module that another thread is importing waits on that module's
lock; if that thread is waiting for ours, neither ever goes on."""

import builtins
import importlib.abc
import importlib.machinery
import importlib.util
import pickle
import sys
import types

import pytest

from corvane_collector.data_serialization import corv_pickle
from corvane_collector.data_serialization import pickler as P
from corvane_collector.host import decode
from corvane_common.utils.import_state import module_loaded


@pytest.fixture
def import_log(monkeypatch):
    """Names given to ``__import__`` (the import system's entry for pickle)."""
    names = []
    real = builtins.__import__

    def logging_import(name, *args, **kwargs):
        names.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", logging_import)
    return names


def _module(name, initializing):
    module = types.ModuleType(name)
    module.__spec__ = importlib.machinery.ModuleSpec(name, None)
    module.__spec__._initializing = initializing
    return module


@pytest.fixture
def half_imported(monkeypatch):
    """A package and its module, both in sys.modules, the module still being
    initialised, with a class, a nested class and a function in it."""
    package = _module("corv_half_pkg", False)
    module = _module("corv_half_pkg.mod", True)
    package.__path__ = []
    exec("class Item:\n"
         "    class Inner:\n"
         "        pass\n"
         "    def __init__(self):\n"
         "        self.v = 1\n"
         "class Slotted:\n"
         "    __slots__ = ('a',)\n"
         "    def __init__(self):\n"
         "        self.a = 2\n"
         "def helper():\n"
         "    return 3\n", module.__dict__)
    for obj in (module.Item, module.Item.Inner, module.Slotted, module.helper):
        obj.__module__ = module.__name__
    monkeypatch.setitem(sys.modules, package.__name__, package)
    monkeypatch.setitem(sys.modules, module.__name__, module)
    return module


def test_module_loaded_follows_the_import_systems_own_test(half_imported):
    assert module_loaded("json") and module_loaded("os.path") and module_loaded("__main__")
    assert not module_loaded("corv_half_pkg.mod")
    assert module_loaded("corv_half_pkg")
    half_imported.__spec__._initializing = False
    assert module_loaded("corv_half_pkg.mod")
    # a package above it that is still being initialised counts as well
    sys.modules["corv_half_pkg"].__spec__._initializing = True
    assert not module_loaded("corv_half_pkg.mod")
    assert not module_loaded("corv_no_such_module_xyz") and not module_loaded("json.no_such_xyz")
    assert not module_loaded("") and not module_loaded(".rel") and not module_loaded(None)


def _values(mod):
    item = mod.Item()
    # (an int beyond 32 bits sends a value past the hand-written writer to the
    # C pickler)
    return [mod.Item, item, [item, mod.Item.Inner], mod.Slotted(), {"f": mod.helper, "c": mod.Item},
            (mod.Item, [mod.Item] * 3, {"deep": [[mod.Item()]]}),
            (mod.Item, [mod.Item()], 2 ** 40), [mod.Slotted(), mod.Item.Inner, 2 ** 40]]


@pytest.mark.parametrize("obj_wrap", [True, False])
def test_classes_of_a_module_being_imported_are_named_without_importing(half_imported, import_log, obj_wrap):
    for value in _values(half_imported):
        del import_log[:]
        data = P.safe_pickle(value, obj_wrap)
        assert "corv_half_pkg.mod" not in import_log and "corv_half_pkg" not in import_log, value
        # Once the module is loaded the pickle gives back the same classes.
        half_imported.__spec__._initializing = False
        try:
            loaded = pickle.loads(data)
        finally:
            half_imported.__spec__._initializing = True
        if isinstance(value, type):
            assert loaded is value
        elif type(value) is half_imported.Item:
            assert type(loaded) is half_imported.Item and loaded.v == 1
        elif type(value) is list and len(value) == 2:
            assert type(loaded[0]) is half_imported.Item and loaded[1] is half_imported.Item.Inner
        elif type(value) is half_imported.Slotted:
            assert type(loaded) is half_imported.Slotted and loaded.a == 2
        elif type(value) is dict:
            assert loaded["c"] is half_imported.Item and loaded["f"] is half_imported.helper
        elif type(value) is tuple and len(value) == 3 and type(value[2]) is int:
            assert loaded[0] is half_imported.Item and type(loaded[1][0]) is half_imported.Item
        elif type(value) is list and type(value[-1]) is int:
            assert type(loaded[0]) is half_imported.Slotted and loaded[1] is half_imported.Item.Inner
        else:
            assert loaded[0] is half_imported.Item and loaded[1] == [half_imported.Item] * 3
            assert type(loaded[2]["deep"][0][0]) is half_imported.Item


def test_the_python_pickler_names_them_without_importing_too(half_imported, import_log, monkeypatch):
    # Above this limit the dump goes through the pure-Python pickler.
    monkeypatch.setattr(sys, "getrecursionlimit", lambda: corv_pickle.C_PICKLER_MAX_RECURSION_LIMIT + 1)
    for value in _values(half_imported):
        del import_log[:]
        data = corv_pickle.dumps(value, failure_reducer=P.UnpicklableHelpers.__reduce__)
        assert "corv_half_pkg.mod" not in import_log, value
        half_imported.__spec__._initializing = False
        try:
            pickle.loads(data)
        finally:
            half_imported.__spec__._initializing = True


def test_reading_a_record_names_them_without_importing(half_imported):
    for tail in ([], [2 ** 40]):
        data = P.safe_pickle([half_imported.Item(), half_imported.Item] + tail)
        instance, cls = decode.load(data)[:2]
        assert isinstance(instance, decode.Placeholder) and type(instance) is cls
        assert (cls.ph_module, cls.ph_name) == ("corv_half_pkg.mod", "Item")


@pytest.fixture
def unloaded_module(tmp_path, monkeypatch):
    """A class whose module is importable but not loaded: importing it would
    run the module's code."""
    (tmp_path / "corv_not_loaded_xyz.py").write_text(
        "import builtins\nbuiltins.corv_not_loaded_ran = True\nclass Thing:\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    namespace = {}
    exec("class Thing:\n    def __init__(self):\n        self.x = 5\n", namespace)
    cls = namespace["Thing"]
    cls.__module__ = "corv_not_loaded_xyz"
    yield cls
    sys.modules.pop("corv_not_loaded_xyz", None)
    if hasattr(builtins, "corv_not_loaded_ran"):
        del builtins.corv_not_loaded_ran


@pytest.mark.parametrize("shape", ["class", "instance", "in_list"])
def test_a_class_whose_module_is_not_loaded_is_described_not_imported(unloaded_module, shape):
    value = {"class": unloaded_module, "instance": unloaded_module(),
             "in_list": [1, unloaded_module(), "after"]}[shape]
    data = P.safe_pickle(value)
    assert "corv_not_loaded_xyz" not in sys.modules
    assert not hasattr(builtins, "corv_not_loaded_ran")
    loaded = corv_pickle.loads(data)
    assert "corv_not_loaded_xyz" not in sys.modules
    if shape == "in_list":
        # only the one element is described; its siblings are kept
        assert loaded[0] == 1 and loaded[2] == "after"
        assert "Thing" in str(loaded[1].__dict__)


def test_a_reduce_value_naming_an_unloaded_class_is_refused(unloaded_module):
    class Rebuilt:
        def __reduce__(self):
            return (unloaded_module, ())

    assert not corv_pickle._reduce_value_ok((unloaded_module, ()), False)
    data = corv_pickle.dumps([Rebuilt()], failure_reducer=lambda obj: (str, ("described",)))
    assert "corv_not_loaded_xyz" not in sys.modules
    assert pickle.loads(data) == ["described"]


class _CountingLoader(importlib.abc.Loader):
    def __init__(self):
        self.executed = 0

    def exec_module(self, module):
        self.executed += 1
        module.attr = 42


@pytest.mark.parametrize("obj_wrap", [True, False])
def test_a_lazily_loaded_module_is_named_without_loading_it(obj_wrap):
    loader = _CountingLoader()
    spec = importlib.util.spec_from_loader("corv_lazy_xyz", importlib.util.LazyLoader(loader))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    for value in (module, [1, module], {"m": module}):
        data = P.safe_pickle(value, obj_wrap)
        assert loader.executed == 0, value
        assert "corv_lazy_xyz" in repr(pickle.loads(data))
    # its first real use still loads it
    assert module.attr == 42 and loader.executed == 1


def test_the_size_guard_leaves_a_lazily_loaded_module_unloaded():
    from corvane_collector.data_collection import call_recorder as cr
    loader = _CountingLoader()
    spec = importlib.util.spec_from_loader("corv_lazy_size_xyz", importlib.util.LazyLoader(loader))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert cr.is_size_too_big(module) is False
    assert cr.is_size_too_big([module, {"m": module}]) is False
    assert loader.executed == 0
