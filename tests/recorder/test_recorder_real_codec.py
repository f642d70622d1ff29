"""The recorder with the real serializer, metric classes and metadata probe:
records and metrics decode from the channels' bytes."""

import shlex
import threading

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_trail import CallTrail
from corvane_collector.data_collection import metrics

from recorder_doubles import Channel, IDENTITY, current_tracker

codec = pytest.importorskip("corvane_collector.data_serialization.channel_codec")

_ABSENT = object()


@pytest.fixture
def real(monkeypatch):
    data, metric_channel = Channel(), Channel()
    serializer = codec.IpcPickleSerializer()
    saved = CollectorSettings.__dict__.get("serializer", _ABSENT)
    CollectorSettings.serializer = serializer
    for name, value in zip(("tenant_id", "project_id", "python_version", "lib_version"), IDENTITY):
        monkeypatch.setattr(CollectorSettings, name, value)
    monkeypatch.setattr(CollectorSettings, "data_subprocess", data)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", metric_channel)
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 1000)
    CallTrail.set_current_running_function(None)
    cr.BLACKLISTED_FUNCTIONS.clear()

    class Real:
        def records(self):
            return [serializer.deserialize(d) for d in data.messages]

        def metrics(self):
            return [serializer.deserialize(d) for d in metric_channel.messages]

        def load(self, data_bytes):
            return serializer.deserialize(data_bytes)
    try:
        yield Real()
    finally:
        if saved is _ABSENT:
            type.__delattr__(CollectorSettings, "serializer")
        else:
            CollectorSettings.serializer = saved
        CallTrail.set_current_running_function(None)
        cr.BLACKLISTED_FUNCTIONS.clear()


LIMIT = 3


def scale(values, factor=2):
    return [v * factor for v in values[:LIMIT]]


def test_record_round_trip(real):
    values = [1, 2, 3, 4]
    rec = cr.record_user_function_call(scale, values, factor=3)
    cr.load_global_hook(LIMIT, "LIMIT")
    token = cr.record_external_call(shlex.quote, True)
    cr.record_external_return_value("'a b'", token)
    values.append(5)  # mutated by the call: shows after, not before
    cr.record_user_function_return_value([3, 6, 9], rec)

    (record,) = real.records()
    assert record.function_metadata.full_name.endswith("scale")
    assert real.load(record.pre_run_args) == ([1, 2, 3, 4],)
    assert real.load(record.post_run_args) == ([1, 2, 3, 4, 5],)
    assert real.load(record.pre_run_kwargs) == {"factor": 3}
    assert real.load(record.return_value) == [3, 6, 9]
    assert real.load(record.execption) is type(None)
    assert real.load(record.globals) == {"LIMIT": 3}
    (ext,) = record.external_calls
    assert ext.function_metadata.full_name.endswith("quote")
    assert real.load(ext.return_value) == "'a b'"
    assert record.unknown_modules == set()

    kinds = [type(m) for m in real.metrics()]
    assert kinds[0] is metrics.CollectionTry and kinds[-1] is metrics.CollectionSuccess
    assert metrics.ExternalFunction in kinds  # sent by the probe for the external callee
    for m in real.metrics():
        assert (m.tenant_id, m.project_id, m.python_version, m.lib_version) == IDENTITY


def test_unpicklable_result_is_described_not_lost(real):
    lock = threading.Lock()
    rec = cr.record_user_function_call(scale, [1])
    cr.record_user_function_return_value(lock, rec)
    (record,) = real.records()
    described = real.load(record.return_value)
    assert type(described).__name__ == "UnpicklableObject"
    assert "acquire" in repr(described)
    assert type(real.metrics()[-1]) is metrics.CollectionSuccess
    assert current_tracker() is None


def test_real_metric_classes_carry_the_reasons(real, monkeypatch):
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 2.0)
    assert cr.record_user_function_call(scale, "abc") is None
    try_msg, limit_msg, unpicklable_msg = real.metrics()
    assert type(try_msg) is metrics.CollectionTry
    assert type(limit_msg) is metrics.LimitFailure
    assert limit_msg.reason == metrics.LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("unknown", "args/kwargs")
    assert limit_msg.function_full_name.endswith("scale")
    assert type(unpicklable_msg) is metrics.Unpicklable
    assert (unpicklable_msg.object_type, unpicklable_msg.reason) == ("", metrics.UnpicklableReasons.GENERAL)
