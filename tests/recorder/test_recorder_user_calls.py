"""Entry and return of recorded project calls, driven as the evaluator drives
them: record_user_function_call(callee, *args, **kwargs) before the call and
record_user_function_return_value(result, record) after it."""

import types

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_collection.call_model import ExternalFunctionCall, UserFunctionCall
from corvane_collector.data_collection.call_trail import CallTrail, CallTrailTracker
from corvane_collector.data_collection.metrics import (
    FailureReasons, LimitReasons, UnpicklableReasons)
from corvane_collector.exceptions import ProblematicPickleException

from recorder_doubles import current_tracker


def add(a, b=0):
    return a + b


async def coro(x):
    return x


class Widget:
    def __init__(self, size):
        self.size = size

    def grow(self, by):
        return self.size + by

    @classmethod
    def make(cls, size):
        return cls(size)


def enter(env, *args, **kwargs):
    return cr.record_user_function_call(*args, **kwargs)


def external(name, result="r"):
    """An external call record on the current tracker, completed with result."""
    rec = cr.record_external_call(types.SimpleNamespace(__qualname__=name, __module__="lib"))
    cr.record_external_return_value(result, rec)
    return rec


# --- entry ---------------------------------------------------------------------

def test_plain_call_builds_record_and_pushes_tracker(env, fake_probe):
    previous = CallTrailTracker("m.previous")
    CallTrail.set_current_running_function(previous)
    rec = enter(env, add, 1, b=2)
    assert type(rec) is UserFunctionCall
    assert rec.post_run_args == (1,) and rec.post_run_kwargs == {"b": 2}
    assert env.decode(rec.pre_run_args) == (1,) and env.decode(rec.pre_run_kwargs) == {"b": 2}
    assert rec.globals == {}
    tracker = current_tracker()
    assert tracker.func_full_name == rec.function_metadata.full_name == __name__ + ".add"
    assert tracker.caller_function is previous
    assert env.metric_names == ["CollectionTry"]


def test_bound_method_puts_instance_first(env, fake_probe):
    w = Widget(3)
    rec = enter(env, w.grow, 4)
    assert rec.post_run_args == (w, 4)
    assert rec.function_metadata.full_name.endswith("Widget.grow")


def test_method_from_type_keeps_instance_as_first_argument(env, fake_probe):
    # CALL_METHOD passes the plain function taken from the type, then the instance.
    w = Widget(3)
    rec = enter(env, Widget.grow, w, 4)
    assert rec.post_run_args == (w, 4)


def test_classmethod_only_drops_the_callee(env, monkeypatch):
    seen = []

    def probe(f, *rest):
        seen.append(f)
        from recorder_doubles import FakeMetadata
        return FakeMetadata("m.Widget.make")
    monkeypatch.setattr(cr, "EXTRACT_METADATA", probe)
    bound = Widget.make
    rec = enter(env, bound, 5)
    assert rec.post_run_args == (5,)
    assert seen == [bound]


def test_class_callee_is_replaced_by_its_init(env, monkeypatch):
    seen = []

    def probe(f, *rest):
        seen.append(f)
        from recorder_doubles import FakeMetadata
        return FakeMetadata("m.Widget.__init__")
    monkeypatch.setattr(cr, "EXTRACT_METADATA", probe)
    rec = enter(env, Widget, 9)
    assert seen == [Widget.__init__]
    assert rec.post_run_args == (9,)


def test_oversized_argument_is_refused(env, fake_probe, monkeypatch):
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 4.0)
    before = current_tracker()
    assert enter(env, add, "short", b=1) is None
    names = env.metric_names
    assert names == ["CollectionTry", "LimitFailure", "Unpicklable"]
    limit, unpicklable = env.metrics[1:]
    assert limit.fields == (__name__ + ".add",
                            LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("unknown", "args/kwargs"))
    assert unpicklable.fields == ("", UnpicklableReasons.GENERAL)
    assert current_tracker() is before


def test_keyword_argument_is_measured_and_bound_instance_too(env, fake_probe, monkeypatch):
    measured = []
    monkeypatch.setattr(cr, "is_size_too_big", lambda v: measured.append(v) or False)
    w = Widget(1)
    enter(env, w.grow, 2, extra="k")
    assert measured == [w, 2, "k"]


def test_unserializable_arguments_blacklist_the_function(env, fake_probe):
    class Bad:
        pass
    env.serializer.fail_on.append((lambda v: isinstance(v, tuple) and any(isinstance(x, Bad) for x in v),
                                   ValueError("cannot serialize")))
    assert enter(env, add, Bad()) is None
    assert cr.BLACKLISTED_FUNCTIONS == {__name__ + ".add"}
    # Later calls, even with fine arguments, are refused without trying.
    assert enter(env, add, 1) is None
    assert env.metric_names == ["CollectionTry", "Unpicklable"] * 2
    assert current_tracker() is None


def test_coroutine_function_is_reported_and_not_tracked(env, fake_probe):
    assert enter(env, coro, 1) is None
    assert env.metric_names == ["CollectionTry", "CollectorFailure"]
    assert env.metrics[1].fields == (FailureReasons.ASYNCIO,)
    assert current_tracker() is None


def test_metadata_failure_propagates_after_the_try_report(env, monkeypatch):
    def broken(f, *rest):
        raise LookupError("no metadata")
    monkeypatch.setattr(cr, "EXTRACT_METADATA", broken)
    with pytest.raises(LookupError):
        enter(env, add, 1)
    assert env.metric_names == ["CollectionTry"]


# --- globals filter ------------------------------------------------------------

def test_modules_are_kept_only_when_read_from(env):
    module = types.ModuleType("some_mod")
    got = cr.filter_modules_and_function_from_globals({"os": module, "X": 3, "f": add}, "m.f")
    assert got == {"X": 3, "f": add}
    used_attributes[id(module)] = {"path"}
    try:
        got = cr.filter_modules_and_function_from_globals({"os": module, "X": 3}, "m.f")
        assert got == {"os": module, "X": 3}
    finally:
        used_attributes.pop(id(module), None)


def test_module_subclass_instance_is_an_ordinary_value(env):
    class Mod(types.ModuleType):
        pass
    m = Mod("m")
    assert cr.filter_modules_and_function_from_globals({"m": m}, "m.f") == {"m": m}


def test_oversized_global_rejects_all_and_clears_tracker(env, monkeypatch):
    CallTrail.set_current_running_function(CallTrailTracker("m.f"))
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 3.0)
    assert cr.filter_modules_and_function_from_globals({"ok": "abc", "big": "abcd", "later": "x"}, "m.f") is None
    assert current_tracker() is None
    (msg,) = env.metrics
    assert msg.fields == ("m.f", LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("big", "globals"))


def test_globals_filter_errors():
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        cr.filter_modules_and_function_from_globals(None, "m.f")

    class Growing(dict):
        def __getitem__(self, key):
            self["k%d" % len(self)] = 0
            return 0
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        cr.filter_modules_and_function_from_globals(Growing(a=1), "m.f")


# --- return --------------------------------------------------------------------

def test_normal_return_is_delivered_and_tracker_popped(env, fake_probe):
    outer = CallTrailTracker("m.outer")
    CallTrail.set_current_running_function(outer)
    rec = enter(env, add, 2, b=3)
    assert cr.record_user_function_return_value(5, rec) is None
    (delivered,) = env.delivered
    assert delivered is rec
    assert env.decode(rec.return_value) == 5
    assert env.decode(rec.execption) is type(None)
    assert env.decode(rec.post_run_args) == (2,)
    assert env.decode(rec.globals) == {}
    assert env.metric_names == ["CollectionTry", "CollectionSuccess"]
    assert current_tracker() is outer


def test_raised_exception_is_stored_and_none_returned(env, fake_probe):
    rec = enter(env, add, 1)
    err = ValueError("bad")
    cr.record_user_function_return_value(None, rec, err)
    stored = env.decode(rec.execption)
    assert type(stored) is ValueError and stored.args == ("bad",)
    assert env.decode(rec.return_value) is None
    assert len(env.records) == 1
    assert current_tracker() is None


def test_falsy_record_does_nothing(env):
    CallTrail.set_current_running_function(CallTrailTracker("m.f"))
    before = current_tracker()
    assert cr.record_user_function_return_value(1, None) is None
    assert env.metrics_channel.messages == [] and current_tracker() is before


def test_nested_calls_merge_into_the_caller(env, fake_probe):
    f_rec = enter(env, add, 1)
    f_tracker = current_tracker()
    cr.load_global_hook(10, "F_GLOBAL")
    external("f_before")
    g_rec = enter(env, add, 2)
    g_tracker = current_tracker()
    assert g_tracker.caller_function is f_tracker
    cr.load_global_hook(20, "G_GLOBAL")
    g_tracker.unknown_modules.add("gmod")
    g_ext = external("g_call")
    cr.record_user_function_return_value(3, g_rec)
    assert current_tracker() is f_tracker
    assert g_tracker.caller_function is None  # f's caller
    assert [r.function_metadata.full_name for r in f_tracker.recorded_functions] == ["lib.f_before", "lib.g_call"]
    assert f_tracker.globals == {"F_GLOBAL": 10, "G_GLOBAL": 20}
    assert f_tracker.unknown_modules == {"gmod"}
    assert g_rec.external_calls is g_tracker.recorded_functions and g_rec.external_calls == [g_ext]
    assert g_rec.unknown_modules is g_tracker.unknown_modules
    external("f_after")
    cr.record_user_function_return_value(4, f_rec)
    f_delivered = env.delivered[-1]
    assert f_delivered is f_rec
    assert [r.function_metadata.full_name for r in f_rec.external_calls] == ["lib.f_before", "lib.g_call", "lib.f_after"]
    assert env.decode(f_rec.globals) == {"F_GLOBAL": 10, "G_GLOBAL": 20}
    assert env.metric_names == ["CollectionTry"] * 2 + ["CollectionSuccess"] * 2
    assert current_tracker() is None


def test_oversized_return_stops_recording_up_the_chain(env, fake_probe, monkeypatch):
    f_rec = enter(env, add, 1)
    g_rec = enter(env, add, 2)
    monkeypatch.setattr(cr, "is_size_too_big", lambda v: v == "huge")
    cr.record_user_function_return_value("huge", g_rec)
    assert current_tracker() is None
    cr.record_user_function_return_value(1, f_rec)
    assert env.records == []
    names = env.metric_names
    assert names == ["CollectionTry", "CollectionTry", "LimitFailure", "LimitFailure"]
    size_msg, chain_msg = env.metrics[2:]
    full = __name__ + ".add"
    assert size_msg.fields == (full, LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(full, "user_func_return_value"))
    assert chain_msg.fields == (full, LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED)


def test_caller_over_external_limit_clears_tracker(env, fake_probe, monkeypatch):
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 3)
    f_rec = enter(env, add, 1)
    external("a")
    external("b")
    g_rec = enter(env, add, 2)
    external("c")
    external("d")
    cr.record_user_function_return_value(0, g_rec)
    assert len(env.records) == 1  # g itself is delivered
    assert current_tracker() is None
    cr.record_user_function_return_value(0, f_rec)
    assert len(env.records) == 1
    assert env.metrics[-1].fields[1] == LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED


# --- failures at a call's end: the caller's tracker is restored ----------------

def _inner_fails(env, make_failure):
    f_rec = enter(env, add, 1)
    f_tracker = current_tracker()
    cr.load_global_hook("f-value", "F_ONLY")
    external("f_first")
    g_rec = enter(env, add, 2)
    external("g_call")
    make_failure(g_rec)
    assert current_tracker() is f_tracker
    external("f_second")
    cr.record_user_function_return_value("done", f_rec)
    return f_rec


def test_unpicklable_inner_result_keeps_outer_record_whole(env, fake_probe):
    class Lock:
        pass
    env.serializer.fail_on.append((lambda v: isinstance(v, Lock), TypeError("cannot pickle 'lock' object")))
    f_rec = _inner_fails(env, lambda g: cr.record_user_function_return_value(Lock(), g))
    assert env.delivered == [f_rec]
    names = [r.function_metadata.full_name for r in f_rec.external_calls]
    assert names == ["lib.f_first", "lib.f_second"]
    assert env.decode(f_rec.globals) == {"F_ONLY": "f-value"}
    assert env.decode(f_rec.return_value) == "done"
    unpicklable = [m for m in env.metrics if m.name == "Unpicklable"]
    assert [m.fields for m in unpicklable] == [("lock", UnpicklableReasons.TYPE_ERROR)]
    assert cr.BLACKLISTED_FUNCTIONS == {__name__ + ".add"}


def test_problematic_inner_global_restores_caller(env, fake_probe):
    class Odd:
        pass
    message = "'" + format(Odd) + "' cant be pickled because it has __getattr__ method"
    env.serializer.fail_on.append((lambda v: isinstance(v, dict) and any(isinstance(x, Odd) for x in v.values()),
                                   ProblematicPickleException(message)))

    def fail(g_rec):
        cr.load_global_hook(Odd(), "ODD")
        cr.record_user_function_return_value(0, g_rec)
    f_rec = _inner_fails(env, fail)
    unpicklable = [m for m in env.metrics if m.name == "Unpicklable"]
    assert [m.fields for m in unpicklable] == [(Odd.__module__ + "." + Odd.__qualname__, UnpicklableReasons.REDUCE)]
    assert env.delivered == [f_rec]


def test_unexpected_inner_failure_restores_caller(env, fake_probe):
    def fail(g_rec):
        def broken(value):
            raise LookupError("unexpected")
        g_rec.add_return_value = broken
        cr.record_user_function_return_value(0, g_rec)
    f_rec = _inner_fails(env, fail)
    assert env.delivered == [f_rec]
    failures = [m for m in env.metrics if m.name == "CollectorFailure"]
    assert [m.fields for m in failures] == [(FailureReasons.EXCEPTION,)]


def test_failing_data_channel_restores_caller(env, fake_probe, monkeypatch):
    from recorder_doubles import RaisingChannel

    def fail(g_rec):
        monkeypatch.setattr(CollectorSettings, "data_subprocess", RaisingChannel(OSError("closed")))
        cr.record_user_function_return_value(0, g_rec)
        monkeypatch.setattr(CollectorSettings, "data_subprocess", env.data)
    f_rec = _inner_fails(env, fail)
    assert env.delivered == [f_rec]
    assert [m.name for m in env.metrics].count("CollectorFailure") == 1


def test_unquoted_type_error_message_reports_once_and_restores(env, fake_probe):
    class Thing:
        pass
    env.serializer.fail_on.append((lambda v: isinstance(v, Thing), TypeError("nothing quoted here")))
    f_rec = _inner_fails(env, lambda g: cr.record_user_function_return_value(Thing(), g))
    unpicklable = [m for m in env.metrics if m.name == "Unpicklable"]
    assert [m.fields for m in unpicklable] == [("nothing quoted here", UnpicklableReasons.TYPE_ERROR)]
    assert env.delivered == [f_rec]


def test_failure_at_outermost_call_leaves_no_tracker(env, fake_probe):
    class Lock:
        pass
    env.serializer.fail_on.append((lambda v: isinstance(v, Lock), TypeError("cannot pickle 'lock' object")))
    rec = enter(env, add, 1)
    cr.record_user_function_return_value(Lock(), rec)
    assert current_tracker() is None
    assert env.records == []


# --- asynchronous twins --------------------------------------------------------

def test_async_dispatch_by_exact_type(env, fake_probe):
    rec = enter(env, add, 1)
    assert cr.record_return_value_async(7, rec) is None
    assert env.decode(rec.return_value) == 7 and len(env.records) == 1

    class SubRecord(UserFunctionCall):
        pass
    sub = object.__new__(SubRecord)
    assert cr.record_return_value_async(1, sub) is None
    assert len(env.records) == 1


def test_async_user_twin_records_like_sync(env, fake_probe):
    rec = enter(env, add, 1)
    cr.record_user_async_function_return_value(8, rec, KeyError("k"))
    assert type(env.decode(rec.execption)) is KeyError
    assert env.delivered == [rec]
