"""The probe works out the names of plain Python functions itself; the
records must be those of the general path through the host functions."""

import functools
import inspect
import pickle
import types

import pytest

from corvane_collector.data_collection import metadata_probe as mp
from corvane_common import qualnames
from corvane_common.utils.hash import get_hash as _real_hash
from thread_helpers import run_in_threads

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


def _general(func, monkeypatch):
    # A wrapped host function turns the shortcut off.
    with monkeypatch.context() as m:
        m.setattr(mp, "get_hash", lambda f: _real_hash(f))
        return extract(func)


def _fields(meta):
    return dict(vars(meta))


def test_hash_and_argspec_follow_every_change_of_the_function(monkeypatch):
    def target(a, b=1, *, k=2) -> int:
        return a

    def other(x, y):
        return x * y
    assert _fields(extract(target)) == _fields(_general(target, monkeypatch))
    assert mp._code_facts_count() == 1          # the shortcut was taken
    changes = [
        lambda f: setattr(f, "__defaults__", (5, 6)),
        lambda f: setattr(f, "__kwdefaults__", {"k": 9}),
        lambda f: setattr(f, "__annotations__", {"a": str}),
        lambda f: setattr(f, "__code__", other.__code__),
        lambda f: setattr(f, "__signature__", inspect.Signature()),
    ]
    for change in changes:
        before = _fields(extract(target))
        change(target)
        after = _fields(extract(target))
        assert after == _fields(_general(target, monkeypatch))
        assert after != before


def test_kept_facts_go_with_their_function():
    import gc
    import weakref

    def make(i):
        ns = {}
        exec("def f%d(a):\n    return a + %d\n" % (i, i), ns)
        return ns["f%d" % i]
    funcs = [make(i) for i in range(50)]
    refs = [weakref.ref(f) for f in funcs]
    hashes = {extract(f).code_hash for f in funcs}
    assert len(hashes) == 50 and mp._code_facts_count() == 50
    del funcs
    gc.collect()
    assert all(r() is None for r in refs)
    assert mp._code_facts_count() == 0


def test_threads_extracting_at_once_see_their_own_functions():
    def make(i):
        ns = {}
        exec("def g(a, b=%d):\n    return a\n" % i, ns)
        return ns["g"]
    funcs = [make(i) for i in range(8)]
    expected = [(_real_hash(f), f.__defaults__) for f in funcs]
    bad = []

    def work(k):
        for _ in range(400):
            meta = extract(funcs[k])
            if (meta.code_hash, meta.function_signature.defaults) != expected[k]:
                bad.append(k)
    run_in_threads(work, [(k,) for k in range(8)])
    assert bad == []
