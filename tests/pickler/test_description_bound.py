"""How much of one value the failure reducer describes, and the wrappers it makes."""

import ipaddress
import pickle
import sys
import threading

import pytest

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_serialization import corv_pickle
from corvane_collector.data_serialization import pickler as P
from corvane_common.utils.obj_wrap import FunctionWrapper, ObjectWrapper, UnpicklableObject

LIMIT = corv_pickle.MAX_DESCRIPTIONS


def load(value):
    return P.safe_pickle_loads(P.safe_pickle(value))


def kinds(loaded):
    return [type(item).__name__ for item in loaded]


@pytest.fixture(params=["C pickler", "Python pickler"])
def pickler_kind(request):
    """Runs a test under each of the base pickler's two picklers."""
    if request.param == "Python pickler":
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(corv_pickle.C_PICKLER_MAX_RECURSION_LIMIT + 1000)
        yield request.param
        sys.setrecursionlimit(limit)
    else:
        yield request.param


class Cached:
    """Like the standard library's addresses: its own reduction, and a table
    shared by the class whose entries are instances again."""

    __slots__ = ("n",)
    table = {}

    def __init__(self, n):
        self.n = n

    def __reduce__(self):
        raise TypeError("not by its own reduction")

    @property
    def text(self):
        return "address %d, written out in full" % self.n

    @property
    def parts(self):
        return [self.n >> 8, self.n & 0xff]


def test_one_value_describes_a_bounded_number_of_objects(pickler_kind):
    locks = [threading.Lock() for _ in range(LIMIT + 5)]
    loaded = load(locks + [locks[-1]])
    assert kinds(loaded[:LIMIT]) == ["UnpicklableObject"] * LIMIT
    assert kinds(loaded[LIMIT:]) == ["Omitted"] * 6
    assert loaded[-1] is loaded[-2]                      # one object, one marker
    assert loaded[-1].type_text == str(type(locks[0])) and "not described" in loaded[-1].reason
    # the bound is per dump
    assert kinds(load(locks[:LIMIT])) == ["UnpicklableObject"] * LIMIT


def test_a_class_wide_table_does_not_make_every_instance_larger(pickler_kind):
    Cached.table.clear()
    sizes = []
    for entries in (LIMIT, 10 * LIMIT):
        Cached.table.update({n: Cached(n) for n in range(entries)})
        data = P.safe_pickle(Cached(-1))
        sizes.append(len(data))
        loaded = P.safe_pickle_loads(data)
        assert type(loaded) is UnpicklableObject and loaded.n == -1
        described = [v for v in loaded.table.values() if type(v) is UnpicklableObject]
        assert len(described) == LIMIT - 1
    # the extra entries cost a marker each, not a description each
    per_extra = (sizes[1] - sizes[0]) / (9 * LIMIT)
    assert per_extra < (sizes[0] / LIMIT) / 2
    Cached.table.clear()


def test_addresses_with_full_netmask_caches_stay_bounded():
    for prefix in range(129):
        ipaddress.ip_network("::/%d" % prefix)
    loaded = load(ipaddress.ip_address("::1"))
    assert type(loaded) is UnpicklableObject and loaded._ip == 1
    described = [v for k, v in vars(loaded).items() if type(v) is UnpicklableObject]
    nested = [pair[0] for pair in loaded._netmask_cache.values()]
    assert len(described) + sum(type(v) is UnpicklableObject for v in nested) <= LIMIT - 1
    assert any(type(v) is corv_pickle.Omitted for v in nested)


def test_function_wrappers_keep_their_reduction_and_the_rules(pickler_kind):
    wrappers = [FunctionWrapper("mod.f%d" % i) for i in range(50)]
    if pickler_kind == "C pickler":                       # (the Python one writes no frames)
        assert P.safe_pickle(wrappers) == pickle.dumps(wrappers, corv_pickle.DEFAULT_PROTOCOL)
    assert load(wrappers) == wrappers
    assert load(wrappers + [wrappers[0]])[-1] == FunctionWrapper("mod.f0")

    renamed = FunctionWrapper("mod.g")
    renamed.__module__ = "elsewhere"          # no longer the exempt class by its name
    assert type(load([renamed])[0]) is UnpicklableObject

    own = FunctionWrapper("mod.h")
    own.__reduce__ = lambda: (str, ("its own",))
    assert load([own]) == ["its own"]
    hooked = FunctionWrapper("mod.k")
    hooked.__getattr__ = lambda name: None
    assert type(load([hooked])[0]) is UnpicklableObject

    used = FunctionWrapper("mod.i")
    used_attributes[id(used)] = {"full_name"}
    try:
        assert type(load([used])[0]) is ObjectWrapper
        assert P.safe_pickle_loads(P.safe_pickle([used], False)) == [FunctionWrapper("mod.i")]
    finally:
        del used_attributes[id(used)]

    missing = FunctionWrapper("mod.j")
    del missing.full_name
    assert type(load([missing])[0]) is UnpicklableObject


def test_a_changed_wrapper_class_is_looked_at_again(monkeypatch):
    wrappers = [FunctionWrapper("mod.f"), FunctionWrapper("mod.g")]
    assert load(wrappers) == wrappers
    monkeypatch.setattr(FunctionWrapper, "__reduce__", lambda self: (str, ("changed",)))
    assert load(wrappers) == ["changed", "changed"]
