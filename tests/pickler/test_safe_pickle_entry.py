"""Entry points and class tables of the safe pickler."""

import _pickle
import copyreg
import inspect
import io
import logging
import pickle

import pytest

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_serialization import corv_pickle
from corvane_collector.data_serialization import pickler as P


class Plain:
    def __init__(self):
        self.x = 1


class Registered:
    pass


class IntChild(int):
    pass


def test_plain_values_round_trip_through_the_c_unpickler():
    for value in (5, {"a": [1, 2]}, (1, "x", 2.5, None, True), [b"b", {3, 4}, frozenset({5})]):
        assert _pickle.loads(P.safe_pickle(value)) == value
        assert P.safe_pickle_loads(P.safe_pickle(obj=value, obj_wrap=False)) == value


def test_plain_data_matches_the_standard_pickler_byte_for_byte():
    value = {"k%d" % i: (i, str(i), [i * 1.5]) for i in range(100)}
    assert P.safe_pickle(value) == pickle.dumps(value)


def test_safe_pickle_loads_swallows_exceptions_only():
    assert P.safe_pickle_loads(b"not a pickle") is None
    assert P.safe_pickle_loads(P.safe_pickle(None)) is None
    assert P.safe_pickle_loads(None) is None


def test_loads_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(corv_pickle, "loads", lambda data: ("patched", data))
    assert P.safe_pickle_loads(b"x") == ("patched", b"x")

    def interrupt(data):
        raise KeyboardInterrupt

    monkeypatch.setattr(corv_pickle, "loads", interrupt)
    with pytest.raises(KeyboardInterrupt):
        P.safe_pickle_loads(b"x")


def test_safe_pickler_construction():
    assert P.SafePickler.__bases__ == (corv_pickle.Pickler,)
    assert P.SafePickler.__doc__ == "This class is a pickle.Pickler that overrides the default pickle reducer."
    pickler = P.SafePickler(False, io.BytesIO())
    assert pickler.obj_wrap is False
    assert pickler.dispatch_table == {}
    with pytest.raises(TypeError):
        P.SafePickler()


def test_copyreg_registrations_are_ignored():
    copyreg.pickle(Registered, lambda obj: (int, (42,)))
    try:
        assert pickle.loads(pickle.dumps(Registered())) == 42
        assert type(P.safe_pickle_loads(P.safe_pickle(Registered()))) is Registered
    finally:
        del copyreg.dispatch_table[Registered]


def test_obj_wrap_false_ignores_recorded_attribute_usage():
    obj = Plain()
    used_attributes[id(obj)] = {"x"}
    try:
        wrapped = P.safe_pickle_loads(P.safe_pickle(obj))
        plain = P.safe_pickle_loads(P.safe_pickle(obj, obj_wrap=False))
    finally:
        del used_attributes[id(obj)]
    assert type(wrapped).__name__ == "ObjectWrapper" and wrapped.x == 1
    assert type(plain) is Plain and plain.x == 1


def test_class_tables():
    tables = P.SafePickler
    assert len(tables.types_to_skip) == 31
    assert type(P.wrap_object) in tables.types_to_skip
    assert inspect.FullArgSpec in tables.types_to_skip and IntChild not in tables.types_to_skip
    assert tables.subclasses_to_skip == {type, str, P.Enum, P.BaseModel, Exception}
    assert tables.full_names_to_rebuild_functions_dict == {
        "sqlalchemy.orm.decl_api.DeclarativeMeta.Base": "sqlalchemy.ext.declarative.declarative_base"}
    expected_magic = {logging.Logger}
    if P.has_yaml:
        expected_magic.add(P.yaml._yaml.Mark)
    assert tables.specific_type_for_magic_mock == expected_magic


def test_module_functions_are_pickled_by_reference():
    for func in (P.wrap_object, P.wrap_module, P.wrap_function, P.wrap_exception, P.safe_pickle):
        assert P.safe_pickle_loads(P.safe_pickle(func)) is func


def test_without_the_yaml_extension_only_logger_is_a_magic_mock_type():
    import subprocess
    import sys
    probe = ("import sys; sys.modules['yaml._yaml'] = None\n"
             "from corvane_collector.data_serialization import pickler as P\n"
             "print(P.has_yaml, sorted(t.__name__ for t in P.SafePickler.specific_type_for_magic_mock))\n")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "['Logger']"]


def test_pickling_does_not_keep_user_classes_alive():
    import gc
    import weakref

    from corvane_collector.data_serialization.pickler import safe_pickle

    def make():
        class Temporary:
            def __init__(self):
                self.x = 1
        return Temporary

    cls = make()
    ref = weakref.ref(cls)
    safe_pickle(cls())
    safe_pickle([cls(), cls()])
    del cls
    gc.collect()
    assert ref() is None
