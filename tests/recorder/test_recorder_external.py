"""External calls made by recorded code: skipping, renaming of context
manager methods, the external-call limit and the results."""

import builtins
import json
import shlex
import os
import sys
import types

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_model import ExternalFunctionCall
from corvane_collector.data_collection.call_trail import CallTrail, CallTrailTracker
from corvane_collector.data_collection.metrics import LimitReasons

from recorder_doubles import FakeMetadata, current_tracker


@pytest.fixture
def tracker(env):
    t = CallTrailTracker("proj.f")
    CallTrail.set_current_running_function(t)
    return t


def test_no_current_tracker_records_nothing(env, fake_probe):
    assert cr.record_external_call(shlex.quote, True) is None


def test_callee_not_for_recording_is_ignored(env, tracker, monkeypatch):
    monkeypatch.setattr(cr, "EXTRACT_METADATA", lambda f, ext=False: (FakeMetadata(""), False))
    assert cr.record_external_call(len, False) is None
    assert tracker.recorded_functions == []


def test_recorded_external_call_with_result(env, tracker, fake_probe):
    token = cr.record_external_call(shlex.quote, True)
    assert type(token) is ExternalFunctionCall
    assert tracker.recorded_functions == [token] and tracker.last_call is token
    cr.record_external_return_value('{"a": 1}', token)
    assert env.decode(token.return_value) == '{"a": 1}'
    assert env.decode(token.execption) is type(None)


def test_real_probe_names_a_library_function(env, tracker):
    token = cr.record_external_call(shlex.quote, True)
    assert token.function_metadata.full_name.endswith("quote")
    assert token.function_metadata.module_name == "shlex"


def test_stateless_function_is_skipped(env, tracker, fake_probe, monkeypatch):
    monkeypatch.setattr(cr, "STATELESS_EXTERNAL_FULL_NAMES", frozenset({"shlex.quote"}))
    assert cr.record_external_call(shlex.quote, True) is None
    assert tracker.recorded_functions == []


def test_project_module_found_by_origin_is_cached(env, tracker, monkeypatch, tmp_path):
    mod_file = tmp_path / "projmod_for_recorder.py"
    mod_file.write_text("def f():\n    return 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import projmod_for_recorder
    monkeypatch.setattr(CollectorSettings, "project_files", frozenset({str(mod_file)}))
    lookups = []
    real = cr.get_module_location
    monkeypatch.setattr(cr, "get_module_location", lambda name: lookups.append(name) or real(name))
    assert cr.should_skip_external_function("projmod_for_recorder.f", "projmod_for_recorder", False) is True
    assert "projmod_for_recorder" in cr.CACHED_NONE_EXTERNAL_MODULES
    assert cr.should_skip_external_function("projmod_for_recorder.g", "projmod_for_recorder", False) is True
    assert lookups == ["projmod_for_recorder"]
    sys.modules.pop("projmod_for_recorder", None)


def test_checked_file_needs_no_lookup(env, monkeypatch):
    monkeypatch.setattr(cr, "get_module_location", lambda name: pytest.fail("looked up"))
    assert cr.should_skip_external_function("shlex.quote", "shlex", True) is False


def test_module_locations():
    assert cr.get_module_location("json") == json.__file__
    assert cr.get_module_location("no_such_module_anywhere_xyz") is None
    assert cr.get_module_location("sys") == "built-in"
    fake = types.ModuleType("spec_less_module_xyz")
    fake.__spec__ = None
    sys.modules["spec_less_module_xyz"] = fake
    try:
        assert cr.get_module_location("spec_less_module_xyz") is None
    finally:
        del sys.modules["spec_less_module_xyz"]


def test_module_location_never_imports_a_parent_package(tmp_path, monkeypatch):
    # A module that is not loaded: finding it would import its package, which
    # runs the package's code or, while another thread imports the package,
    # waits for that thread.
    package = tmp_path / "corv_loc_pkg_xyz"
    package.mkdir()
    (package / "__init__.py").write_text("import builtins\nbuiltins.corv_loc_pkg_ran = True\n")
    (package / "sub.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        assert cr.get_module_location("corv_loc_pkg_xyz.sub") is None
        assert "corv_loc_pkg_xyz" not in sys.modules and not hasattr(builtins, "corv_loc_pkg_ran")
        # its package half imported (another thread is running its body)
        import importlib.util
        spec = importlib.util.find_spec("corv_loc_pkg_xyz")
        half = importlib.util.module_from_spec(spec)
        spec._initializing = True
        sys.modules["corv_loc_pkg_xyz"] = half
        assert cr.get_module_location("corv_loc_pkg_xyz.sub") is None
        # once the package is loaded the submodule is found where it is
        spec._initializing = False
        assert cr.get_module_location("corv_loc_pkg_xyz.sub") == str(package / "sub.py")
        assert "corv_loc_pkg_xyz.sub" not in sys.modules
    finally:
        sys.modules.pop("corv_loc_pkg_xyz", None)
        if hasattr(builtins, "corv_loc_pkg_ran"):
            del builtins.corv_loc_pkg_ran


class Manager:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_bound_exit_is_named_after_the_class_function(env, tracker, monkeypatch):
    names = {}

    def probe(f, ext=False):
        func = getattr(f, "__func__", f)
        if getattr(f, "__self__", None) is not None:
            name = "bound." + func.__name__       # what a bound method would be called
        else:
            name = "cls." + func.__qualname__
        names[name] = f
        return (FakeMetadata(name, "somelib"), True)
    monkeypatch.setattr(cr, "EXTRACT_METADATA", probe)
    m = Manager()
    exit_token = cr.record_external_call(m.__exit__, True)
    enter_token = cr.record_external_call(m.__enter__, True)
    assert exit_token.function_metadata.full_name == "cls.Manager.__exit__"
    assert enter_token.function_metadata.full_name == "cls.Manager.__enter__"
    assert names["cls.Manager.__exit__"] is Manager.__exit__


def test_only_names_ending_in_the_method_are_renamed(env, tracker, monkeypatch):
    class Name(str):
        def endswith(self, suffix, *args):
            return suffix == ".__enter__"

    def probe(f, ext=False):
        if getattr(f, "__self__", None) is not None:
            return (FakeMetadata(given, "somelib"), True)
        return (FakeMetadata("cls." + f.__qualname__, "somelib"), True)
    monkeypatch.setattr(cr, "EXTRACT_METADATA", probe)
    m = Manager()
    found = []
    for given in ("x.__enter__.y", "x__exit__", "__enter__", Name("odd"), "lib.Manager.__exit__"):
        found.append(cr.record_external_call(m.__enter__, True).function_metadata.full_name)
    # A name of a str subclass fails the skip rule's argument check: the call
    # is recorded as it is.
    assert found == ["x.__enter__.y", "x__exit__", "__enter__", "odd", "cls.Manager.__exit__"]


def test_a_replaced_skip_rule_is_honoured(env, tracker, monkeypatch):
    seen = []

    def skip(full_name, module_name, checked):
        seen.append((full_name, module_name, checked))
        return full_name == "shlex.quote"
    monkeypatch.setattr(cr, "should_skip_external_function", skip)
    assert cr.record_external_call(shlex.quote, True) is None
    assert type(cr.record_external_call(shlex.split, 1)) is ExternalFunctionCall
    assert seen == [("shlex.quote", "shlex", True), ("shlex.split", "shlex", 1)]
    assert [t.function_metadata.full_name for t in tracker.recorded_functions] == ["shlex.split"]


def test_renaming_errors_are_swallowed(env, tracker, monkeypatch):
    monkeypatch.setattr(cr, "EXTRACT_METADATA", lambda f, ext=False: (FakeMetadata("x.__exit__", "somelib"), True))
    token = cr.record_external_call(object(), True)  # no __self__: renaming fails
    assert token.function_metadata.full_name == "x.__exit__"
    assert tracker.recorded_functions == [token]


def test_call_past_the_limit_is_returned_but_stops_recording(env, tracker, fake_probe, monkeypatch):
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 2)
    first = cr.record_external_call(shlex.quote, True)
    second = cr.record_external_call(shlex.split, True)
    third = cr.record_external_call(shlex.quote, True)
    assert type(third) is ExternalFunctionCall
    assert tracker.recorded_functions == [first, second]
    assert current_tracker() is None
    cr.record_external_return_value("late", third)
    assert env.decode(third.return_value) == "late"
    assert cr.record_external_call(shlex.quote, True) is None


def test_oversized_external_result(env, tracker, fake_probe, monkeypatch):
    token = cr.record_external_call(shlex.quote, True)
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 3.0)
    cr.record_external_return_value("abcd", token)
    assert token.return_value is None
    assert env.decode(token.execption) is type(None)
    assert current_tracker() is None
    (msg,) = env.metrics
    full = token.function_metadata.full_name
    assert msg.fields == (full, LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(full, "external_func_return_value"))


def test_result_serialization_errors_are_swallowed(env, tracker, fake_probe):
    token = cr.record_external_call(shlex.quote, True)

    class Bad:
        pass
    env.serializer.fail_on.append((lambda v: isinstance(v, Bad), TypeError("cannot pickle 'Bad' object")))
    assert cr.record_external_return_value(Bad(), token, KeyError("k")) is None
    assert type(env.decode(token.execption)) is KeyError
    assert token.return_value is None
    assert env.metrics_channel.messages == []
    assert current_tracker() is tracker


def test_async_external_twin(env, tracker, fake_probe):
    token = cr.record_external_call(shlex.quote, True)
    cr.record_async_external_return_value(3, token)
    assert env.decode(token.return_value) == 3


def test_a_replaced_exception_reader_is_honoured(env, tracker, fake_probe, monkeypatch):
    token = cr.record_external_call(shlex.quote, True)
    with monkeypatch.context() as patch:
        patch.setattr(cr, "get_exc_value", lambda: KeyError("from the replacement"))
        cr.record_external_return_value("r", token)
    assert repr(env.decode(token.execption)) == repr(KeyError("from the replacement"))
    cr.record_external_return_value("r", token)
    assert env.decode(token.execption) is type(None)
