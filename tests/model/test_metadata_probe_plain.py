"""The probe works out the names of plain Python functions itself; the
records must be those of the general path through the host functions."""

import functools
import pickle
import types

import pytest

from corvane_collector.data_collection import metadata_probe as mp
from corvane_common import qualnames

extract = mp.MetadataProbe.extract_function_metadata


def plain(a, b=2):
    return a


async def coro(x):
    return x


def _odd_functions():
    no_name = types.FunctionType(plain.__code__, {}, "no_name")        # no __module__
    claims_builtins = types.FunctionType(plain.__code__, {"__name__": "builtins"}, "b")
    empty_module = types.FunctionType(plain.__code__, {"__name__": ""}, "e")
    odd_module = types.FunctionType(plain.__code__, {}, "o")
    odd_module.__module__ = 42
    renamed = types.FunctionType(plain.__code__, {"__name__": "pkg.mod"}, "r")
    renamed.__qualname__ = "Outer.<locals>.r"
    with_self = types.FunctionType(plain.__code__, {"__name__": "m"}, "s")
    with_self.__self__ = "bound-looking"
    with_func = types.FunctionType(plain.__code__, {"__name__": "m"}, "w")
    with_func.__func__ = plain
    wrapped = functools.wraps(plain)(lambda *a: plain(*a))
    return [plain, coro, lambda: 0, no_name, claims_builtins, empty_module, odd_module,
            renamed, with_self, with_func, wrapped]


def _described(result):
    if isinstance(result, tuple):
        return (type(result[0]), vars(result[0]), result[1])
    return (type(result), vars(result))


@pytest.fixture(autouse=True)
def fresh_cache():
    mp._clear_cache()
    yield
    mp._clear_cache()


@pytest.mark.parametrize("external", [False, True])
def test_plain_functions_get_the_general_paths_record(monkeypatch, external):
    fast = []
    for func in _odd_functions():
        try:
            fast.append(_described(extract(func, external)))
        except TypeError as exc:           # a module that is not a str is refused either way
            fast.append(("TypeError", str(exc)))
    # A host function that is not the original turns the shortcut off.
    monkeypatch.setattr(mp, "get_function_module", lambda f, m: qualnames.get_function_module(f, m))
    general = []
    for func in _odd_functions():
        try:
            general.append(_described(extract(func, external)))
        except TypeError as exc:
            general.append(("TypeError", str(exc)))
    assert [repr(x) for x in fast] == [repr(x) for x in general]
    # and the records themselves name what was asked about
    assert fast[0][1]["full_name"] == __name__ + ".plain"
    # (a function made from code takes its qualified name from the code)
    assert fast[3][1]["full_name"] == "plain" and fast[3][1]["module_name"] is None


def test_replaced_external_rule_is_still_consulted(monkeypatch):
    seen = []
    real = mp.MetadataProbe._extract_external_function_metadata

    def rule(module, func):
        seen.append(func)
        return real(module, func)
    monkeypatch.setattr(mp.MetadataProbe, "_extract_external_function_metadata", staticmethod(rule))
    meta, flag = extract(plain, True)
    assert seen == [plain] and flag is True and meta.full_name == __name__ + ".plain"


def test_each_extraction_is_a_fresh_record_stored_under_the_function():
    first = extract(plain)
    second = extract(plain)
    assert first is not second and vars(first) == vars(second)
    assert extract(plain, dont_cache=True) is second
    first_ext, _ = extract(plain, True)
    assert extract(plain, dont_cache=True)[0] is first_ext
    assert pickle.loads(pickle.dumps(vars(first_ext)))["full_name"] == __name__ + ".plain"
