"""Hostile and awkward values through safe_pickle and back through safe_pickle_loads."""

import abc
import array
import collections
import decimal
import enum
import functools
import io
import itertools
import re
import socket
import sqlite3
import sys
import threading
import types
import weakref
from unittest import mock

import pydantic
import pytest

from corvane_collector.data_serialization import corv_pickle
from corvane_collector.exceptions import ProblematicPickleException
from corvane_common.utils.obj_wrap import UnpicklableObject
from corvane_collector.data_serialization.pickler import safe_pickle, safe_pickle_loads

CALLS = collections.Counter()
# not found by name: kept by their code, they load as new functions
BY_CODE = {"lambda", "nested function"}


class CountsPickling:
    """Every pickling method counts its calls; none may ever run."""

    def __init__(self):
        self.value = 1

    def __reduce__(self):
        CALLS["__reduce__"] += 1
        return (CountsPickling, ())

    def __reduce_ex__(self, protocol):
        CALLS["__reduce_ex__"] += 1
        return (CountsPickling, ())

    def __getstate__(self):
        CALLS["__getstate__"] += 1
        return {}

    def __getnewargs__(self):
        CALLS["__getnewargs__"] += 1
        return ()

    def __getnewargs_ex__(self):
        CALLS["__getnewargs_ex__"] += 1
        return (), {}

    def __getinitargs__(self):
        CALLS["__getinitargs__"] += 1
        return ()


class GetstateOnly:
    def __getstate__(self):
        CALLS["GetstateOnly.__getstate__"] += 1
        return {}


class DynamicAttrs:
    def __getattr__(self, name):
        CALLS["__getattr__:" + name] += 1
        return 42


class RaisingGetattr:
    def __getattr__(self, name):
        raise RuntimeError("attribute hook exploded")


class RaisingProperty:
    def __init__(self):
        self.fine = "kept"

    @property
    def broken(self):
        raise RuntimeError("property exploded")


class RaisingGetattribute:
    def __getattribute__(self, name):
        raise RuntimeError("every lookup fails")


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self):
        self.a = 1
        self.b = [2]


class Meta(type):
    def __repr__(cls):
        return "<Meta class>"


class WithMeta(metaclass=Meta):
    def __init__(self):
        self.v = 3


class Abstract(abc.ABC):
    @abc.abstractmethod
    def f(self):
        ...


class Concrete(Abstract):
    def f(self):
        return 1


class Color(enum.Enum):
    RED = 1


class Level(enum.IntEnum):
    LOW = 1


class Perm(enum.Flag):
    R = 1
    W = 2


class Model(pydantic.BaseModel):
    name: str
    size: int = 0


class CustomInitError(Exception):
    def __init__(self, code, detail):
        super().__init__(f"{code}: {detail}")
        self.code = code


class Recursive:
    def __init__(self):
        self.me = self
        self.items = [self]


def nested_function_factory():
    captured = 5

    def nested():
        return captured

    return nested


def generator_function():
    yield 1


def make_traceback():
    try:
        raise ValueError("for the traceback")
    except ValueError as exc:
        return exc.__traceback__


def chained_error():
    try:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise CustomInitError(7, "outer") from inner
    except CustomInitError as outer:
        return outer


def deep_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def deep_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


def hostile_values(tmp_path):
    open_file = open(tmp_path / "f.txt", "w")
    sock = socket.socket()
    connection = sqlite3.connect(":memory:")
    thread = threading.Thread(target=lambda: None)
    recursive_list = []
    recursive_list.append(recursive_list)
    recursive_dict = {}
    recursive_dict["self"] = recursive_dict
    values = {
        "lock": threading.Lock(),
        "rlock": threading.RLock(),
        "condition": threading.Condition(),
        "event": threading.Event(),
        "socket": sock,
        "open file": open_file,
        "generator": generator_function(),
        "frame": sys._getframe(),
        "traceback": make_traceback(),
        "sqlite3 connection": connection,
        "sqlite3 cursor": connection.cursor(),
        "thread": thread,
        "current thread": threading.current_thread(),
        "lambda": lambda x: x,
        "nested function": nested_function_factory(),
        "bound C method": [].append,
        "bound C method of str": "x".upper,
        "bound method of socket": sock.fileno,
        "counts pickling": CountsPickling(),
        "getstate only": GetstateOnly(),
        "python getattr": DynamicAttrs(),
        "raising getattr": RaisingGetattr(),
        "raising property": RaisingProperty(),
        "raising getattribute": RaisingGetattribute(),
        "slots": Slotted(),
        "metaclass class": WithMeta,
        "metaclass instance": WithMeta(),
        "abc instance": Concrete(),
        "enum member": Color.RED,
        "int enum member": Level.LOW,
        "flag member": Perm.R | Perm.W,
        "pydantic model": Model(name="m", size=2),
        "pydantic class": Model,
        "custom init exception": CustomInitError(3, "bad"),
        "chained exception": chained_error(),
        "recursive list": recursive_list,
        "recursive dict": recursive_dict,
        "recursive object": Recursive(),
        "deep list": deep_list(10_000),
        "deep dict": deep_dict(10_000),
        "magic mock": mock.MagicMock(),
        "mock with spec": mock.Mock(spec=CountsPickling),
        "weakref": weakref.ref(CountsPickling),
        "memoryview": memoryview(b"abc"),
        "bytes io": io.BytesIO(b"data"),
        "itertools count": itertools.count(3),
        "compiled regex": re.compile("a+"),
        "decimal": decimal.Decimal("1.5"),
        "array": array.array("i", [1, 2]),
        "deque": collections.deque([1, 2]),
        "partial": functools.partial(int, base=2),
        "property object": RaisingProperty.broken,
        "simple namespace": types.SimpleNamespace(a=1),
        "mappingproxy": type.__dict__["__dict__"].__get__(CountsPickling),
        "code object": generator_function.__code__,
        "cell": nested_function_factory().__closure__[0],
        "module": sys,
        "builtins": (Ellipsis, NotImplemented, range(3), slice(1, 2), 1j, object()),
    }
    resources = (open_file, sock, connection)
    return values, resources


def test_hostile_corpus_round_trips_without_running_user_pickling_code(tmp_path):
    CALLS.clear()
    values, resources = hostile_values(tmp_path)
    try:
        failures = {}
        for name, value in values.items():
            try:
                data = safe_pickle(value)
            except (ProblematicPickleException, TypeError) as exc:  # allowed outcome
                failures[name] = exc
                continue
            assert type(data) is bytes, name
            if name in BY_CODE:
                loaded = safe_pickle_loads(data)
                assert loaded is not value and loaded.__qualname__ == value.__qualname__
                assert loaded.__code__ == value.__code__
            else:
                assert safe_pickle_loads(data) is not None, name
        # everything at once, in one record, with plain data around it
        record = {"before": [1, "two"], "values": list(values.values()), "after": (3.0, None)}
        loaded = safe_pickle_loads(safe_pickle(record))
        assert loaded["before"] == [1, "two"] and loaded["after"] == (3.0, None)
        assert len(loaded["values"]) == len(values)
    finally:
        for resource in resources:
            resource.close()
    pickling_calls = {k: v for k, v in CALLS.items() if not k.startswith("__getattr__:")}
    assert pickling_calls == {}
    # the only attribute names a Python __getattr__ is ever asked for are
    # the existence tests of the pickling rules (never a pickling method call)
    asked = {k.split(":", 1)[1] for k in CALLS if k.startswith("__getattr__:")}
    assert asked <= {"__name__", "__getattr__", "__reduce_ex__", "__reduce__", "__getnewargs_ex__",
                     "__getnewargs__", "__getinitargs__", "__getstate__"}
    # every lookup raising: neither picklable nor describable as a whole
    assert set(failures) == {"raising getattribute"}
    assert str(failures["raising getattribute"]).split("'")[1] == "RaisingGetattribute"


def test_selected_outcomes(tmp_path):
    values, resources = hostile_values(tmp_path)
    try:
        loaded = {name: safe_pickle_loads(safe_pickle(values[name])) for name in (
            "lock", "counts pickling", "python getattr", "slots", "enum member", "pydantic model",
            "custom init exception", "chained exception", "recursive object", "metaclass instance",
            "lambda", "raising property", "deep list")}
    finally:
        for resource in resources:
            resource.close()
    assert type(loaded["lock"]) is UnpicklableObject
    assert loaded["lock"].wrapped_type_name() == "_thread.lock"
    assert type(loaded["counts pickling"]) is UnpicklableObject
    assert loaded["counts pickling"].value == 1
    assert loaded["python getattr"].wrapped_attributes() == {}
    assert type(loaded["slots"]) is Slotted and (loaded["slots"].a, loaded["slots"].b) == (1, [2])
    assert loaded["enum member"] is Color.RED
    assert loaded["pydantic model"] == Model(name="m", size=2)
    error = loaded["custom init exception"]
    assert type(error) is CustomInitError and error.args == ("3: bad",) and error.code == 3
    assert type(loaded["chained exception"]) is CustomInitError
    recursive = loaded["recursive object"]
    assert recursive.me is recursive and recursive.items[0] is recursive
    assert type(loaded["metaclass instance"]) is WithMeta and loaded["metaclass instance"].v == 3
    assert loaded["raising property"].fine == "kept"
    depth, value = 0, loaded["deep list"]
    while isinstance(value, list) and value:
        value, depth = value[0], depth + 1
    assert depth > 50 and type(value) is corv_pickle.Omitted


def test_hostile_values_in_other_threads(tmp_path):
    # the pickler keeps no shared mutable state between calls
    errors = []

    def work():
        try:
            for _ in range(20):
                lock = threading.Lock()
                loaded = safe_pickle_loads(safe_pickle([1, lock, CountsPickling(), {"a": (2, 3)}]))
                assert loaded[0] == 1 and loaded[3] == {"a": (2, 3)}
                assert type(loaded[1]) is UnpicklableObject
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
