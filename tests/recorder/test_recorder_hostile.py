"""Arguments and settings that fight back: the recorder reports, never raises
where it promises not to, and runs none of the user's special methods while
it inspects values."""

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr

from recorder_doubles import RaisingChannel, current_tracker


def f(*args, **kwargs):
    return None


class Touchy:
    """Every special method a careless inspector might call fails loudly."""
    calls = []

    def __eq__(self, other):
        Touchy.calls.append("__eq__")
        raise RuntimeError("__eq__")

    def __hash__(self):
        Touchy.calls.append("__hash__")
        raise RuntimeError("__hash__")

    def __len__(self):
        Touchy.calls.append("__len__")
        raise RuntimeError("__len__")

    def __bool__(self):
        Touchy.calls.append("__bool__")
        raise RuntimeError("__bool__")

    @property
    def __class__(self):
        Touchy.calls.append("__class__")
        raise RuntimeError("__class__")


class Opaque:
    """A serializer that never looks at what it is given."""

    def serialize(self, value, obj_wrap=True):
        return b"opaque"


def test_inspection_runs_no_special_methods(env, fake_probe, monkeypatch):
    Touchy.calls.clear()
    t = Touchy()
    CollectorSettings.serializer = Opaque()
    # The deep-size measurement belongs to pympler, which reads __class__;
    # what is checked here is the recorder's own handling of the values.
    monkeypatch.setattr(cr, "is_size_too_big", lambda v: False)
    rec = cr.record_user_function_call(f, t, k=t)
    assert rec is not None and rec.post_run_args == (t,)
    cr.load_global_hook(t, "T")
    cr.load_attr_hook(t, "x", t)
    cr.record_user_function_return_value(t, rec)
    assert len(env.data.messages) == 1
    assert Touchy.calls == []


def test_size_guard_survives_hostile_values(env):
    Touchy.calls.clear()
    assert cr.is_size_too_big(Touchy()) is False
    assert "__len__" not in Touchy.calls and "__eq__" not in Touchy.calls


def test_deeply_nested_argument_blacklists_quietly(env, fake_probe):
    env.serializer.strict = True  # a serializer that gives up with RecursionError
    deep = []
    node = deep
    for _ in range(100000):
        node.append([])
        node = node[0]
    assert cr.record_user_function_call(f, deep) is None
    assert env.metric_names == ["CollectionTry", "Unpicklable"]
    assert cr.BLACKLISTED_FUNCTIONS == {__name__ + ".f"}


def test_argument_whose_serialization_runs_user_code_that_raises(env, fake_probe):
    class Explodes:
        def __reduce_ex__(self, protocol):
            raise ZeroDivisionError("user pickling code")
    env.serializer.strict = True
    assert cr.record_user_function_call(f, Explodes()) is None
    assert env.metric_names == ["CollectionTry", "Unpicklable"]


def test_base_exception_from_serialization_is_not_swallowed(env, fake_probe):
    class Interrupts:
        def __reduce_ex__(self, protocol):
            raise KeyboardInterrupt
    env.serializer.strict = True
    with pytest.raises(KeyboardInterrupt):
        cr.record_user_function_call(f, Interrupts())
    assert cr.BLACKLISTED_FUNCTIONS == set()


def test_failing_metrics_channel_propagates_from_entry(env, fake_probe, monkeypatch):
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", RaisingChannel(BrokenPipeError()))
    with pytest.raises(BrokenPipeError):
        cr.record_user_function_call(f, 1)
    assert current_tracker() is None


def test_failing_serializer_at_return_is_reported(env, fake_probe):
    rec = cr.record_user_function_call(f, 1)
    env.serializer.fail_on.append((lambda v: v == {"never": "matches"} or v is rec, MemoryError("no room")))
    cr.record_user_function_return_value(2, rec)
    assert env.metric_names == ["CollectionTry", "CollectorFailure"]
    assert env.data.messages == []
    assert current_tracker() is None


def test_lambda_generator_and_class_callees(env, fake_probe):
    def gen():
        yield 1

    class K:
        def __init__(self, v):
            self.v = v
    lam = lambda x: x  # noqa: E731
    for callee, arg in ((lam, 1), (gen, None), (K, 3)):
        args = (callee,) if arg is None else (callee, arg)
        rec = cr.record_user_function_call(*args)
        assert rec is not None
        cr.record_user_function_return_value(callee(*args[1:]), rec)
    assert len(env.data.messages) == 3
    assert current_tracker() is None
