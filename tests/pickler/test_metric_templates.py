"""Metric messages written from byte templates by the channel codec.

The template bytes must be what serializing the real message gives, in every
state the pickle depends on, and the template path must step aside whenever
it cannot know that.
"""

import pickle
import sys
import time
import types

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import metrics
from corvane_collector.data_collection.metadata_probe import send_metric_report
from corvane_collector.data_serialization import channel_codec
from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
from thread_helpers import run_in_threads

IDENTITY = ("tenant", "proj", "3.10.13", "0.1.0")
CASES = [
    (metrics.CollectionTry, ()),
    (metrics.CollectionSuccess, ()),
    (metrics.CollectorFailure, (metrics.FailureReasons.EXCEPTION,)),
    (metrics.Unpicklable, ("", metrics.UnpicklableReasons.GENERAL)),
    (metrics.LimitFailure, ("m.f", metrics.LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED)),
    (metrics.ExternalFunction, ("os.listdir",)),
]


@pytest.fixture
def codec():
    channel_codec._clear_templates()
    yield IpcPickleSerializer()
    channel_codec._clear_templates()


def by_template(serializer, cls, identity, fields):
    return IpcPickleSerializer.metric_message_bytes(serializer, cls, *identity, fields)


def reference(serializer, cls, identity, fields, data):
    """What serializing the real message gives, stamped as data is."""
    message = cls(*identity, *fields)
    message.timestamp = pickle.loads(data).timestamp
    return serializer.serialize(message)


def fresh(text):
    # An equal str that is a different object.
    return "".join(list(text))


@pytest.mark.parametrize("cls,fields", CASES, ids=[c[0].__name__ for c in CASES])
def test_template_bytes_are_the_serialized_message_at_each_report(codec, cls, fields):
    stamps = []
    for _ in range(3):
        before = time.time()
        data = by_template(codec, cls, IDENTITY, fields)
        after = time.time()
        assert data == reference(codec, cls, IDENTITY, fields, data)
        loaded = pickle.loads(data)
        assert type(loaded) is cls
        assert loaded.to_dict() == dict(cls(*IDENTITY, *fields).to_dict(), timestamp=loaded.timestamp)
        assert before <= loaded.timestamp <= after
        stamps.append(loaded.timestamp)
    assert channel_codec._template_count() == 1


def test_same_object_and_equal_values_each_get_their_own_layout(codec):
    shared = fresh("same")
    layouts = [
        (shared, shared, "3.10", "1.0"),          # one object twice: a memo reference
        (shared, fresh("same"), "3.10", "1.0"),   # equal but distinct: written twice
        (None, None, "3.10", "1.0"),
    ]
    outputs = []
    for identity in layouts:
        for _ in range(2):
            data = by_template(codec, metrics.ExternalFunction, identity, (fresh("a.b"),))
            assert data == reference(codec, metrics.ExternalFunction, identity, (fresh("a.b"),), data)
            outputs.append(len(data))
    assert outputs[0] < outputs[2]
    # A field that is an identity value's very object, then an equal copy.
    name = fresh("lib.f")
    identity = (name, "proj", "3.10", "1.0")
    for field in (name, fresh("lib.f"), name, fresh("lib.f")):
        data = by_template(codec, metrics.ExternalFunction, identity, (field,))
        assert data == reference(codec, metrics.ExternalFunction, identity, (field,), data)


def test_a_fresh_equal_name_reuses_the_template_when_identity_values_are_one_object(codec):
    # Tenant and project given as one string object: the pickle writes the
    # second as a reference to the first, which says nothing about how a
    # full name made anew at each report is written.
    shared = fresh("bench")
    for identity in [(shared, shared, "3.10", "1.0"), (None, None, "3.10", "1.0"),
                     (fresh("t"), fresh("p"), "3.10", "1.0")]:
        before = channel_codec._template_key_lookups()
        for _ in range(5):
            field = fresh("lib.ident")
            data = by_template(codec, metrics.ExternalFunction, identity, (field,))
            assert data == reference(codec, metrics.ExternalFunction, identity, (field,), data)
        assert channel_codec._template_key_lookups() - before == 1


def test_a_field_made_for_a_shared_object_is_not_reused_for_equal_copies(codec):
    # Both fields one object: the second is written as a memo reference.
    # Equal copies, or one field that is the very object of an identity
    # value, are written out and must get a layout of their own.
    shared = fresh("bench")
    identity = (shared, shared, "3.10", "1.0")
    name = fresh("m.f")
    cases = [(name, name), (fresh("m.f"), fresh("m.f")), (name, name),
             (fresh("m.f"), name), (name, name), (fresh("bench"), "r"), (shared, "r"),
             (fresh("bench"), "r")]
    sizes = []
    for fields in cases:
        data = by_template(codec, metrics.LimitFailure, identity, fields)
        assert data == reference(codec, metrics.LimitFailure, identity, fields, data)
        sizes.append(len(data))
    assert sizes[0] < sizes[1] and sizes[6] < sizes[5]


def test_values_the_template_cannot_stand_for_are_refused(codec):
    class Text(str):
        pass
    interned_name = sys.intern("tenant_id")
    refused = [
        (metrics.ExternalFunction, IDENTITY, (Text("a.b"),)),      # str subclass
        (metrics.ExternalFunction, IDENTITY, (3,)),
        (metrics.CollectionTry, (interned_name,) + IDENTITY[1:], ()),   # an attribute name itself
    ]
    for cls, identity, fields in refused:
        assert by_template(codec, cls, identity, fields) is None
    assert channel_codec._template_count() == 0


def test_template_steps_aside_for_any_other_serializer_or_class(codec, monkeypatch):
    class Sub(IpcPickleSerializer):
        pass
    own_method = IpcPickleSerializer()
    own_method.serialize = lambda obj, obj_wrap=True: b"mine"

    class Lookalike(metrics.MetricMessage):
        kind = "collection_try"
    for serializer, cls in [(Sub(), metrics.CollectionTry), (own_method, metrics.CollectionTry),
                            (codec, Lookalike), (object(), metrics.CollectionTry)]:
        assert by_template(serializer, cls, IDENTITY, ()) is None
    monkeypatch.setattr(channel_codec, "safe_pickle", lambda obj, obj_wrap=True: b"replaced")
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is None
    monkeypatch.undo()
    monkeypatch.setattr(IpcPickleSerializer, "serialize", lambda self, obj, obj_wrap=True: b"class")
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is None
    monkeypatch.undo()
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is not None


def test_a_replaced_clock_is_honoured(codec, monkeypatch):
    monkeypatch.setattr(metrics, "_now", lambda: 42.5)
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is None
    sent = []
    monkeypatch.setattr(CollectorSettings, "serializer", codec)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", type("C", (), {"send_message": staticmethod(sent.append)})())
    for name, value in zip(("tenant_id", "project_id", "python_version", "lib_version"), IDENTITY):
        monkeypatch.setattr(CollectorSettings, name, value, raising=False)
    send_metric_report(metrics.CollectionTry, ())
    assert pickle.loads(sent[0]).timestamp == 42.5


def test_a_changed_class_is_pickled_as_it_is_now(codec, monkeypatch):
    cls = metrics.CollectionSuccess
    first = by_template(codec, cls, IDENTITY, ())
    assert first == reference(codec, cls, IDENTITY, (), first)
    # A pickling method of its own makes the safe pickler describe the
    # message instead; a stale template would still hand out the old layout.
    monkeypatch.setattr(cls, "__reduce__", lambda self: (str, ("x",)), raising=False)
    now = codec.serialize(cls(*IDENTITY))
    changed = by_template(codec, cls, IDENTITY, ())
    assert b"UnpicklableObject" in now and len(changed) == len(now) != len(first)
    # Both end with the timestamp (BINFLOAT and 8 bytes), BUILD and STOP.
    assert changed[:-11] == now[:-11] and changed[-3:] == now[-3:] == b"ub."
    monkeypatch.undo()
    # Right after a change the type has no valid version tag yet (the next
    # lookup on it assigns one): the template steps aside until then.
    codec.serialize(cls(*IDENTITY))
    again = by_template(codec, cls, IDENTITY, ())
    assert again == reference(codec, cls, IDENTITY, (), again)


def test_the_pickler_regime_is_part_of_the_template(codec):
    limit = sys.getrecursionlimit()
    try:
        for new_limit in (limit, 20000, limit):
            sys.setrecursionlimit(new_limit)
            data = by_template(codec, metrics.ExternalFunction, IDENTITY, ("m.g",))
            assert data == reference(codec, metrics.ExternalFunction, IDENTITY, ("m.g",), data)
    finally:
        sys.setrecursionlimit(limit)


def test_templates_stay_bounded(codec):
    for i in range(1500):
        by_template(codec, metrics.ExternalFunction, IDENTITY, ("lib.f%d" % i,))
    assert 0 < channel_codec._template_count() <= 512


def test_threads_reporting_at_once_each_get_their_own_messages(codec):
    results = {}

    def report(k):
        identity = ("tenant%d" % k, "proj", "3.10", "1.0")
        out = []
        for i in range(300):
            data = by_template(codec, metrics.ExternalFunction, identity, ("m.f%d" % (i % 7),))
            out.append((data, "m.f%d" % (i % 7)))
        results[k] = (identity, out)
    run_in_threads(report, [(k,) for k in range(4)])
    for identity, out in results.values():
        for data, name in out:
            loaded = pickle.loads(data)
            assert (loaded.tenant_id, loaded.function_full_name) == (identity[0], name)
            assert data == reference(codec, metrics.ExternalFunction, identity, (name,), data)


class Channel:
    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


@pytest.fixture
def reporting(codec, monkeypatch):
    """CollectorSettings with the real codec and a channel that keeps what it gets."""
    channel = Channel()
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", channel, raising=False)
    shared = fresh("bench")
    for name, value in zip(("tenant_id", "project_id", "python_version", "lib_version"),
                           (shared, shared, "3.10.13", "0.1.0")):
        monkeypatch.setattr(CollectorSettings, name, value, raising=False)
    saved = CollectorSettings.__dict__.get("serializer")
    CollectorSettings.serializer = codec
    yield channel
    if saved is None:
        type.__delattr__(CollectorSettings, "serializer")
    else:
        CollectorSettings.serializer = saved


def identity_now():
    return (CollectorSettings.tenant_id, CollectorSettings.project_id,
            CollectorSettings.python_version, CollectorSettings.lib_version)


def test_reports_send_the_serialized_message(reporting, codec):
    cases = CASES + [(metrics.ExternalFunction, (fresh("lib.ident"),)) for _ in range(3)]
    for channel_first in (False, True):
        for cls, fields in cases:
            send_metric_report(cls, fields, channel_first)
            data = reporting.messages[-1]
            assert data == reference(codec, cls, identity_now(), fields, data)
    assert len(reporting.messages) == 2 * len(cases)


def test_reports_call_the_message_bytes_method_the_codec_class_has_now(reporting, codec,
                                                                     monkeypatch):
    send_metric_report(metrics.CollectionTry, ())
    real = reporting.messages[-1]
    with monkeypatch.context() as patch:
        patch.setattr(IpcPickleSerializer, "metric_message_bytes",
                      staticmethod(lambda *args: b"replaced"))
        send_metric_report(metrics.CollectionTry, ())
        patch.setattr(IpcPickleSerializer, "metric_message_bytes", staticmethod(lambda *args: None))
        send_metric_report(metrics.CollectionTry, ())
    send_metric_report(metrics.CollectionTry, ())
    first, replaced, declined, again = reporting.messages[-4:]
    assert replaced == b"replaced"
    # Declined by the method: the message is serialized as it is.
    assert pickle.loads(declined).to_dict().keys() == pickle.loads(real).to_dict().keys()
    assert declined == reference(codec, metrics.CollectionTry, identity_now(), (), declined)
    assert again == reference(codec, metrics.CollectionTry, identity_now(), (), again)


def test_the_metrics_module_must_be_the_one_registered(codec, monkeypatch):
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is not None
    monkeypatch.setitem(sys.modules, metrics.__name__, types.ModuleType(metrics.__name__))
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is None
    monkeypatch.delitem(sys.modules, metrics.__name__)
    assert by_template(codec, metrics.CollectionTry, IDENTITY, ()) is None
    monkeypatch.undo()
    data = by_template(codec, metrics.CollectionTry, IDENTITY, ())
    assert data == reference(codec, metrics.CollectionTry, IDENTITY, (), data)
