"""Callbacks called from C with the call's exception still pending, as the
evaluator calls them after a call that raised."""

import os
import types

import pytest

from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_model import ExternalFunctionCall

from recorder_doubles import current_tracker


@pytest.fixture(scope="module")
def helper(tmp_path_factory):
    pyximport = pytest.importorskip("pyximport")
    build_dir = str(tmp_path_factory.mktemp("pyxbld"))
    importers = pyximport.install(build_dir=build_dir, language_level=3, inplace=False)
    try:
        import pending_exc_helper
    finally:
        pyximport.uninstall(*importers)
    return pending_exc_helper


def test_nothing_pending_gives_none_type(helper):
    result, raised, left = helper.call_with_pending(None, None, cr.get_exc_value, ())
    assert result is type(None) and raised is None and left is None


def test_pending_instance_is_taken_out(helper):
    err = KeyError("k")
    result, raised, left = helper.call_with_pending(KeyError, err, cr.get_exc_value, ())
    assert result is err
    assert raised is None and left is None


def test_not_normalised_exception_gives_its_type(helper):
    result, raised, left = helper.call_with_pending(ValueError, "message only", cr.get_exc_value, ())
    assert result is ValueError and left is None


def test_type_without_value_gives_none_type(helper):
    result, raised, left = helper.call_with_pending(StopIteration, None, cr.get_exc_value, ())
    assert result is type(None) and left is None


def test_base_exception_gives_its_type(helper):
    for exc in (KeyboardInterrupt(), GeneratorExit(), SystemExit(3)):
        result, raised, left = helper.call_with_pending(type(exc), exc, cr.get_exc_value, ())
        assert result is type(exc) and left is None


def test_user_return_callback_stores_the_pending_exception(helper, env, fake_probe):
    def f(x):
        return x
    rec = cr.record_user_function_call(f, 1)
    err = ValueError("raised by the call")
    result, raised, left = helper.call_with_pending(ValueError, err, cr.record_user_function_return_value,
                                                    (None, rec))
    assert raised is None and left is None
    stored = env.decode(rec.execption)
    assert type(stored) is ValueError and stored.args == err.args
    assert env.decode(rec.return_value) is None
    assert env.delivered == [rec]
    assert current_tracker() is None


def test_a_type_pending_without_a_value_is_the_calls_exception(helper, env, fake_probe):
    # as next() leaves StopIteration: the call raised, it did not return None
    def f(x):
        return x
    rec = cr.record_user_function_call(f, 1)
    result, raised, left = helper.call_with_pending(StopIteration, None, cr.record_user_function_return_value,
                                                    (None, rec))
    assert raised is None and left is None
    assert env.decode(rec.execption) is StopIteration


def test_external_return_callback_stores_the_pending_exception(helper, env, fake_probe):
    cr.record_user_function_call(lambda_free, 1)
    token = cr.record_external_call(os.getcwd, False)
    assert type(token) is ExternalFunctionCall
    err = OSError(2, "gone")
    result, raised, left = helper.call_with_pending(OSError, err, cr.record_external_return_value,
                                                    (None, token))
    assert raised is None and left is None
    assert type(env.decode(token.execption)) is FileNotFoundError
    assert env.decode(token.return_value) is None


def test_async_dispatch_takes_the_pending_exception_even_when_unmatched(helper, env):
    result, raised, left = helper.call_with_pending(KeyError, KeyError("x"), cr.record_return_value_async,
                                                    (1, object()))
    assert result is None and raised is None and left is None


def test_keyword_keys_must_be_strings(helper, env):
    result, raised, left = helper.call_with_pending(None, None, cr.record_user_function_call,
                                                    (len,), {1: 2})
    assert raised[0] is TypeError
    assert str(raised[1]) == "record_user_function_call() keywords must be strings"
    assert env.metrics_channel.messages == []


def lambda_free(x):
    return x
