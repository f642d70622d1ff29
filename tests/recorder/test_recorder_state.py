"""Module state of the call recorder, its metric-report convention, the
object-type extraction of unpicklable reports, and argument checking."""

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_trail import CallTrail
from corvane_collector.data_collection.metadata_probe import MetadataProbe
from corvane_collector.exceptions import ProblematicPickleException

from recorder_doubles import IDENTITY, current_tracker

CALLBACKS = (
    "record_external_call", "record_external_return_value", "record_async_external_return_value",
    "record_user_function_return_value", "record_user_async_function_return_value",
    "record_return_value_async", "record_user_function_call", "load_attr_hook", "load_global_hook",
)
FUNCTIONS = (
    "get_module_location", "is_size_too_big", "create_size_too_big_metric",
    "should_skip_external_function", "record_external_call", "get_function_call_object",
    "record_user_function_call", "add_recorded_functions_to_caller_tracker",
    "set_function_calls_count", "get_function_calls_count", "send_function_call_to_handler",
    "filter_modules_and_function_from_globals", "record_user_function_return_value",
    "record_user_async_function_return_value", "record_external_return_value",
    "record_async_external_return_value", "record_return_value_async", "get_exc_value",
    "load_attr_hook", "load_global_hook",
)


def test_constants_and_bound_helpers():
    assert type(cr.MAX_STRING_SIZE) is float and cr.MAX_STRING_SIZE == 805306368.0
    assert (cr.FUNCTION_INDEX, cr.FUNCTION_META_DATA_INDEX) == (0, 0)
    assert (cr.IS_FUNCTION_FOR_RECORDING_INDEX, cr.TYPE_ERROR_TYPE_INDEX) == (1, 1)
    assert cr.PROBLEMATIC_PICKLE_TYPE_INDEX == 2
    assert cr.__SELF__ == "__self__"
    # The dict's own bound get: replacing the dict would disconnect the recorder.
    assert cr.CallTrail_thread_id_to_current_call_get.__self__ is CallTrail.thread_id_to_current_call
    assert cr.CallTrail_set_current_running_function is CallTrail.set_current_running_function
    assert cr.EXTRACT_METADATA is MetadataProbe.extract_function_metadata
    import threading, types
    assert cr.threading_get_ident is threading.get_ident
    assert cr.types_MethodType is types.MethodType
    for s in (cr.CACHED_NONE_EXTERNAL_MODULES, cr.IDS_TO_FOLLOW, cr.BLACKLISTED_FUNCTIONS):
        assert type(s) is set
    assert isinstance(cr.STATELESS_EXTERNAL_FULL_NAMES, (set, frozenset))


def test_every_bound_name_is_a_callable_module_attribute():
    for name in set(CALLBACKS) | set(FUNCTIONS):
        assert callable(getattr(cr, name)), name


def test_each_report_reads_the_identity_fields_again(env, monkeypatch):
    cr.create_size_too_big_metric("m.f", "unknown", "args/kwargs")
    monkeypatch.setattr(CollectorSettings, "project_id", "project-2")
    cr.create_size_too_big_metric("m.f", "unknown", "args/kwargs")
    first, second = env.metrics
    assert first.args[:4] == IDENTITY
    assert second.args[:4] == (IDENTITY[0], "project-2") + IDENTITY[2:]
    # Metric messages are serialized with the serializer's default wrapping.
    assert [wrap for value, wrap in env.serializer.calls] == [True, True]


def test_size_metric_formats_the_limit_template(env):
    from corvane_collector.data_collection.metrics import LimitReasons
    cr.create_size_too_big_metric("m.f", "unknown", "args/kwargs")
    (msg,) = env.metrics
    assert msg.name == "LimitFailure"
    assert msg.fields == ("m.f", LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("unknown", "args/kwargs"))


def test_report_failure_propagates(env, monkeypatch):
    class Broken:
        def send_message(self, data):
            raise OSError("channel closed")
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", Broken())
    with pytest.raises(OSError):
        cr.create_size_too_big_metric("m.f", "x", "globals")


@pytest.mark.parametrize("call, param", [
    (lambda: cr.create_size_too_big_metric(1, "n", "p"), "function_full_name"),
    (lambda: cr.create_size_too_big_metric("f", b"n", "p"), "name"),
    (lambda: cr.filter_modules_and_function_from_globals({}, 3), "func_full_name"),
    (lambda: cr.load_global_hook(object(), 5), "name"),
    (lambda: cr.load_attr_hook(object(), 1.5, None), "attr"),
    (lambda: cr.should_skip_external_function("a", 7, False), "module_name"),
    (lambda: cr.get_module_location(["os"]), "module_name"),
])
def test_typed_parameters_reject_other_types_before_acting(env, call, param):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith("Argument '%s' has incorrect type (expected str, got " % param)
    assert env.metrics_channel.messages == []


def test_str_subclass_is_rejected_and_none_accepted(env):
    class S(str):
        pass
    with pytest.raises(TypeError, match="expected str, got S"):
        cr.create_size_too_big_metric(S("f"), "n", "p")
    cr.create_size_too_big_metric(None, None, None)
    assert [m.name for m in env.metrics] == ["LimitFailure"]


def test_argument_count_messages():
    with pytest.raises(TypeError, match=r"get_function_calls_count\(\) takes exactly 1 positional argument \(0 given\)"):
        cr.get_function_calls_count()
    with pytest.raises(TypeError, match=r"is_size_too_big\(\) takes exactly 1 positional argument \(2 given\)"):
        cr.is_size_too_big(1, 2)
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        cr.get_function_call_object((len,))


def test_call_counts_on_trackers():
    from corvane_collector.data_collection.call_trail import CallTrailTracker
    t = CallTrailTracker("m.f")
    cr.set_function_calls_count(t, 7)
    assert cr.get_function_calls_count(t) == 7
    assert cr.set_function_calls_count(None, 5) is None
    assert cr.get_function_calls_count(None) == 0
    with pytest.raises(AttributeError):
        cr.get_function_calls_count(CallTrailTracker("m.g"))


# --- object type named in unpicklable reports --------------------------------

def _unpicklable_via_delivery(env, exc):
    class Record:
        def serialize_post_run_args_and_kwargs(self):
            pass
    env.serializer.fail_on.append((lambda v: type(v) is Record, exc))
    cr.send_function_call_to_handler(Record())
    return env.metrics


def test_type_error_names_the_quoted_type(env):
    (msg,) = _unpicklable_via_delivery(env, TypeError("cannot pickle 'socket' object"))
    assert msg.name == "Unpicklable"
    assert msg.fields[0] == "socket"
    from corvane_collector.data_collection.metrics import UnpicklableReasons
    assert msg.fields[1] == UnpicklableReasons.TYPE_ERROR


def test_problematic_pickle_names_the_dotted_class(env):
    class Cls:
        pass
    Cls.__module__, Cls.__qualname__ = "pkg", "Cls"
    message = "'" + format(Cls) + "' cant be pickled because it has one of the pickle methods"
    (msg,) = _unpicklable_via_delivery(env, ProblematicPickleException(message))
    from corvane_collector.data_collection.metrics import UnpicklableReasons
    assert msg.fields == ("pkg.Cls", UnpicklableReasons.REDUCE)


@pytest.mark.parametrize("exc", [
    TypeError("no quotes in this message"),
    ProblematicPickleException("only 'one quote"),
    ProblematicPickleException(""),
])
def test_message_without_quoted_part_still_gives_one_report(env, exc):
    (msg,) = _unpicklable_via_delivery(env, exc)
    assert msg.name == "Unpicklable"
    assert msg.fields[0] == str(exc)
    assert env.data.messages == []


def test_exception_whose_str_raises_still_gives_one_report(env):
    class Odd(TypeError):
        def __str__(self):
            raise RuntimeError("no text")
    (msg,) = _unpicklable_via_delivery(env, Odd())
    assert msg.name == "Unpicklable" and msg.fields[0] == "Odd"
    assert current_tracker() is None
