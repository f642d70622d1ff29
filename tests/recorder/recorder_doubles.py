"""Test doubles for the call recorder: in-memory channels, a serializer that
keeps what it was given, and metric classes that keep their positional
arguments, all installed on the settings object for one test."""

import pickle
import threading

from corvane_collector.data_collection.call_trail import CallTrail


class Channel:
    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


class RaisingChannel:
    def __init__(self, exc):
        self.exc = exc

    def send_message(self, data):
        raise self.exc


class TableSerializer:
    """Serializes into a table: the bytes returned are a key to what was given.

    A value that the standard pickle can copy is stored as a copy (so later
    mutation does not show, as with a real serializer); anything else is kept
    as the object itself.  ``fail_on`` maps a predicate to the exception to
    raise for values it accepts, to imitate a failing pickler.
    """

    def __init__(self):
        self.table = []
        self.originals = []
        self.calls = []
        self.fail_on = []
        # Strict: a value the standard pickle cannot copy makes serialize raise.
        self.strict = False

    def serialize(self, value, obj_wrap=True):
        for predicate, exc in self.fail_on:
            if predicate(value):
                raise exc
        self.calls.append((value, obj_wrap))
        try:
            stored = pickle.loads(pickle.dumps(value))
        except Exception:
            if self.strict:
                raise
            stored = value
        self.table.append(stored)
        self.originals.append(value)
        return b"#%d" % (len(self.table) - 1)

    def deserialize(self, data):
        assert data.startswith(b"#"), data
        return self.table[int(data[1:])]


class Metric:
    """Stands in for a metric message class; keeps the positional arguments."""

    def __init__(self, name):
        self.name = name

    def __call__(self, *args):
        return SentMetric(self.name, args)


class SentMetric:
    def __init__(self, name, args):
        self.name = name
        self.args = args

    @property
    def fields(self):
        return self.args[4:]

    def __repr__(self):
        return "%s%r" % (self.name, self.args)


IDENTITY = ("tenant-1", "project-1", "3.10", "0.1.0")
METRIC_NAMES = ("CollectionTry", "CollectionSuccess", "CollectorFailure", "Unpicklable", "LimitFailure")


class Env:
    def __init__(self):
        self.serializer = TableSerializer()
        self.data = Channel()
        self.metrics_channel = Channel()

    def decode(self, data):
        return self.serializer.deserialize(data)

    @property
    def metrics(self):
        """The metric messages sent so far, decoded."""
        return [self.decode(m) for m in self.metrics_channel.messages]

    @property
    def metric_names(self):
        return [m.name for m in self.metrics if isinstance(m, SentMetric)]

    @property
    def delivered(self):
        """The record objects that were delivered (not copies)."""
        return [self.serializer.originals[int(m[1:])] for m in self.data.messages]

    @property
    def records(self):
        """The call records delivered so far, decoded."""
        return [self.decode(m) for m in self.data.messages]


def current_tracker():
    return CallTrail.thread_id_to_current_call.get(threading.get_ident(), None)


class FakeMetadata:
    def __init__(self, full_name, module_name="proj.mod", is_async=False):
        self.full_name = full_name
        self.module_name = module_name
        self.is_async = is_async
        self.function_signature = None


def fake_extract(function_obj, is_external_call=False, *rest):
    """Metadata from the qualified name, as the real probe's shape has it."""
    func = getattr(function_obj, "__func__", None) or function_obj
    name = getattr(func, "__qualname__", type(func).__name__)
    module = getattr(func, "__module__", None) or "builtins"
    code = getattr(func, "__code__", None)
    is_async = bool(code is not None and code.co_flags & 0x80)
    meta = FakeMetadata(module + "." + name, module, is_async)
    if is_external_call:
        return (meta, True)
    return meta


