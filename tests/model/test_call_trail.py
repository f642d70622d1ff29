import threading

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_trail
from corvane_collector.data_collection.call_model import ExternalFunctionMetadata
from corvane_collector.data_collection.call_trail import CallTrail, CallTrailTracker


class StrSub(str):
    pass


@pytest.fixture
def calls_max(set_setting):
    def set_max(value):
        set_setting("external_calls_max", value)
    return set_max


@pytest.fixture
def clean_trail():
    # The dicts are shared process-wide: restore this thread's entries afterwards.
    tid = threading.get_ident()
    dicts = (CallTrail.thread_id_to_current_call, CallTrail.tid_to_external_call)
    saved = [(d, d.pop(tid, KeyError)) for d in dicts]
    yield
    for d, value in saved:
        if value is KeyError:
            d.pop(tid, None)
        else:
            d[tid] = value


class TestTracker:
    def test_initial_state_and_order(self):
        tracker = CallTrailTracker("pkg.mod.f")
        assert list(vars(tracker)) == ["recorded_functions", "globals", "caller_function",
                                       "unknown_modules", "last_call", "func_full_name"]
        assert tracker.recorded_functions == [] and tracker.globals == {}
        assert tracker.unknown_modules == set()
        assert tracker.caller_function is None and tracker.last_call is None
        assert tracker.func_full_name == "pkg.mod.f"
        other = CallTrailTracker("g")
        assert other.recorded_functions is not tracker.recorded_functions
        assert other.globals is not tracker.globals
        assert other.unknown_modules is not tracker.unknown_modules
        assert CallTrailTracker(None).func_full_name is None

    @pytest.mark.parametrize("bad", [StrSub("f"), 1, b"f"])
    def test_name_type_check(self, bad):
        with pytest.raises(TypeError) as info:
            CallTrailTracker(bad)
        assert str(info.value) == (
            f"Argument 'func_full_name' has incorrect type (expected str, got {type(bad).__name__})")

    def test_argument_counts(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional arguments \(1 given\)$"):
            CallTrailTracker()
        tracker = CallTrailTracker("f")
        with pytest.raises(TypeError, match=r"^add_external_module_call\(\) takes exactly 2 positional arguments \(3 given\)$"):
            tracker.add_external_module_call(1, 2)

    def test_limit_reached(self, calls_max):
        calls_max(2)
        tracker = CallTrailTracker("f")
        first, second, third = object(), object(), object()
        assert tracker.add_external_module_call(first) is False
        assert tracker.last_call is first
        assert tracker.add_external_module_call(second) is False
        assert tracker.add_external_module_call(third) is True
        assert tracker.recorded_functions == [first, second]
        assert tracker.last_call is second

    def test_zero_limit_keeps_nothing(self, calls_max):
        calls_max(0)
        tracker = CallTrailTracker("f")
        assert [tracker.add_external_module_call(i) for i in range(3)] == [True] * 3
        assert tracker.recorded_functions == [] and tracker.last_call is None

    def test_limit_read_at_every_call(self, calls_max):
        calls_max(1)
        tracker = CallTrailTracker("f")
        assert tracker.add_external_module_call("a") is False
        assert tracker.add_external_module_call("b") is True
        calls_max(3)
        assert tracker.add_external_module_call("c") is False
        assert tracker.recorded_functions == ["a", "c"]

    def test_missing_or_bad_limit_propagates(self, set_setting):
        tracker = CallTrailTracker("f")
        set_setting("external_calls_max", "many")
        with pytest.raises(TypeError):
            tracker.add_external_module_call("a")
        set_setting.remove("external_calls_max")
        with pytest.raises(AttributeError):
            tracker.add_external_module_call("a")
        assert tracker.recorded_functions == []

    def test_default_limit(self):
        assert isinstance(CollectorSettings.external_calls_max, int)
        assert CollectorSettings.external_calls_max > 0


class TestTrail:
    def test_surface(self):
        assert call_trail.__test__ == {}
        assert call_trail.ExternalFunctionMetadata is ExternalFunctionMetadata
        assert call_trail.CollectorSettings is CollectorSettings
        assert call_trail.threading is threading
        assert isinstance(CallTrail.thread_id_to_current_call, dict)
        assert isinstance(CallTrail.tid_to_external_call, dict)
        assert CallTrail.current_running_function is None
        assert CallTrailTracker.__doc__.startswith("\n    ") and CallTrailTracker.__doc__.endswith(".\n")
        assert CallTrailTracker.add_external_module_call.__doc__.strip().startswith(
            "Adds external module to function call (used to mock it on the test processor end)")
        assert ":return: True if reached max external calls, False otherwise" in (
            CallTrailTracker.add_external_module_call.__doc__)
        assert CallTrailTracker.__init__.__annotations__ == {"func_full_name": "str", "return": None}
        assert CallTrailTracker.add_external_module_call.__annotations__ == {
            "function_call": ExternalFunctionMetadata, "return": bool}
        assert CallTrail.set_current_running_function.__annotations__ == {
            "func": CallTrailTracker, "return": None}
        assert CallTrail.get_last_recording.__annotations__ == {"return": CallTrailTracker}

    def test_current_and_last_recording(self, clean_trail):
        current = CallTrail.thread_id_to_current_call
        bound_get = current.get  # as other modules bind it once
        assert CallTrail.get_last_recording() is None
        tracker = CallTrailTracker("f")
        CallTrail.set_current_running_function(tracker)
        assert bound_get(threading.get_ident()) is tracker
        CallTrail.set_current_running_function(None)
        assert threading.get_ident() in current and bound_get(threading.get_ident()) is None
        CallTrail.set_last_recording(tracker)
        assert CallTrail.get_last_recording() is tracker
        # The dicts are mutated in place, never rebound.
        assert CallTrail.thread_id_to_current_call is current

    def test_threads_see_their_own_tracker(self, clean_trail):
        barrier = threading.Barrier(2)
        seen = {}

        def worker(name):
            tracker = CallTrailTracker(name)
            CallTrail.set_current_running_function(tracker)
            CallTrail.set_last_recording(tracker)
            barrier.wait()  # both have written before either reads
            seen[name] = (CallTrail.thread_id_to_current_call.get(threading.get_ident()).func_full_name,
                          CallTrail.get_last_recording().func_full_name)
            CallTrail.thread_id_to_current_call.pop(threading.get_ident(), None)
            CallTrail.tid_to_external_call.pop(threading.get_ident(), None)

        threads = [threading.Thread(target=worker, args=(n,)) for n in ("a", "b")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert seen == {"a": ("a", "a"), "b": ("b", "b")}
        assert CallTrail.get_last_recording() is None

    def test_static_method_counts(self):
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            CallTrail.set_current_running_function()
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)|takes exactly 0"):
            CallTrail.get_last_recording(1)
