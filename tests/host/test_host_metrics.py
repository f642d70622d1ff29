import pickle
import string
import subprocess
import sys

import pytest

from corvane_collector.data_collection import metrics
from corvane_collector.data_collection.metrics import (
    CollectionSuccess, CollectionTry, CollectorFailure, ExternalFunction, FailureReasons,
    LimitFailure, LimitReasons, Unpicklable, UnpicklableReasons,
)
from corvane_collector.exceptions import ProblematicPickleException

IDENTITY = ("tenant", "proj", "3.10.13", "0.1.0")

CASES = [
    (CollectionTry, (), {}),
    (CollectionSuccess, (), {}),
    (CollectorFailure, (FailureReasons.ASYNCIO,), {"reason": FailureReasons.ASYNCIO}),
    (Unpicklable, ("socket", UnpicklableReasons.TYPE_ERROR),
     {"object_type": "socket", "reason": UnpicklableReasons.TYPE_ERROR}),
    (LimitFailure, ("m.f", LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED),
     {"function_full_name": "m.f", "reason": LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED}),
    (ExternalFunction, ("os.listdir",), {"function_full_name": "os.listdir"}),
]


@pytest.mark.parametrize("cls,own,expected", CASES, ids=[c[0].__name__ for c in CASES])
def test_positional_construction_keeps_identity_and_own_fields(cls, own, expected):
    msg = cls(*IDENTITY, *own)
    assert (msg.tenant_id, msg.project_id, msg.python_version, msg.lib_version) == IDENTITY
    for name, value in expected.items():
        assert getattr(msg, name) == value
    data = msg.to_dict()
    assert data["kind"] == cls.kind
    assert {k: data[k] for k in expected} == expected
    assert isinstance(data["timestamp"], float)
    # Too few or too many positional values are refused, not silently padded.
    with pytest.raises(TypeError):
        cls(*IDENTITY, *own, "extra")
    with pytest.raises(TypeError):
        cls(*IDENTITY[:3])


def test_kinds_are_distinct():
    kinds = [cls.kind for cls in metrics.MESSAGE_CLASSES]
    assert len(set(kinds)) == len(kinds) == 6


@pytest.mark.parametrize("cls,own,expected", CASES, ids=[c[0].__name__ for c in CASES])
def test_messages_pickle_by_reference_and_load_equal(cls, own, expected):
    msg = cls(*IDENTITY, *own)
    data = pickle.dumps(msg)
    assert b"corvane_collector.data_collection.metrics" in data
    loaded = pickle.loads(data)
    assert type(loaded) is cls and loaded == msg and loaded.timestamp == msg.timestamp


def test_messages_load_in_another_process():
    msg = LimitFailure(*IDENTITY, "pkg.f", LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("x", "globals"))
    code = ("import pickle, sys; m = pickle.loads(sys.stdin.buffer.read()); "
            "print(type(m).__name__, m.function_full_name, m.kind)")
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(msg),
                         capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.decode().split() == ["LimitFailure", "pkg.f", "limit_failure"]


def test_messages_define_no_pickling_methods_the_safe_pickler_would_refuse():
    for cls in metrics.MESSAGE_CLASSES:
        msg = cls(*IDENTITY, *(["x"] * len(cls.fields)))
        assert cls.__reduce__ is object.__reduce__
        assert cls.__reduce_ex__ is object.__reduce_ex__
        for name in ("__getstate__", "__getnewargs__", "__getnewargs_ex__", "__getinitargs__",
                     "__getattr__", "__name__"):
            assert not hasattr(msg, name), (cls, name)


def test_size_template_has_exactly_two_automatic_fields():
    template = LimitReasons.MAX_STRING_SIZE_EXCEEDED
    fields = [f for _, f, _, _ in string.Formatter().parse(template) if f is not None]
    assert fields == ["", ""]
    text = template.format("arg_name", "args/kwargs")
    assert "arg_name" in text and "args/kwargs" in text
    assert text.index("arg_name") < text.index("args/kwargs")


def test_reason_values_are_distinct_strings():
    values = [FailureReasons.ASYNCIO, FailureReasons.EXCEPTION, UnpicklableReasons.GENERAL,
              UnpicklableReasons.REDUCE, UnpicklableReasons.TYPE_ERROR,
              LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED,
              LimitReasons.MAX_STRING_SIZE_EXCEEDED]
    assert all(type(v) is str for v in values)
    assert len(set(values)) == len(values)


def test_problematic_pickle_exception_message_splits_on_quotes():
    class Cls:
        pass
    exc = ProblematicPickleException("'" + format(Cls) + "' cant be pickled because it has __getattr__ method")
    assert isinstance(exc, Exception)
    assert str(exc).split("'")[2] == Cls.__module__ + "." + Cls.__qualname__
    assert pickle.loads(pickle.dumps(exc)).args == exc.args


def test_messages_through_safe_pickler_when_available():
    try:
        from corvane_collector.data_serialization.pickler import safe_pickle
    except ImportError:
        pytest.skip("safe pickler not built yet")
    msg = Unpicklable(*IDENTITY, "pkg.Cls", UnpicklableReasons.REDUCE)
    loaded = pickle.loads(safe_pickle(msg))
    assert type(loaded) is Unpicklable and loaded == msg


class _GenericOnly(metrics.MetricMessage):
    """Built by the shared constructor, for comparison with the classes' own."""


@pytest.mark.parametrize("cls,own,expected", CASES, ids=[c[0].__name__ for c in CASES])
def test_own_constructors_build_what_the_shared_one_builds(cls, own, expected):
    msg = cls(*IDENTITY, *own)
    reference = _GenericOnly.__new__(cls)
    metrics.MetricMessage.__init__(reference, *IDENTITY, *own)
    reference.timestamp = msg.timestamp
    # same attributes in the same order: the pickled state is the same
    assert list(vars(msg).items()) == list(vars(reference).items())
    assert pickle.dumps(msg) == pickle.dumps(reference)
