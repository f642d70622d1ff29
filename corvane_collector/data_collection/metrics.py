"""Metric messages sent by the collector on the metrics channel.

Every message is built positionally with the four identity fields first
(tenant id, project id, Python version, collector version), followed by the
message's own fields.  Messages are plain module-level classes with nothing
but data in their instance dictionary, so that they pickle by reference to
their class and load anywhere the collector package is importable.  They
deliberately define no pickling methods: the safe pickler refuses objects
that do.

Reason values are plain strings rather than enum members for the same
reason, and because one of them is a ``str.format`` template.
"""

from time import time as _now


class FailureReasons:
    ASYNCIO = "asyncio function"
    EXCEPTION = "exception"


class UnpicklableReasons:
    GENERAL = "general"
    REDUCE = "reduce"
    TYPE_ERROR = "type error"


class LimitReasons:
    EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED = "external function calls limit exceeded"
    # Filled with (value name, place where it was met).
    MAX_STRING_SIZE_EXCEEDED = "size of {} exceeded the maximum recordable size in {}"


IDENTITY_FIELDS = ("tenant_id", "project_id", "python_version", "lib_version")


class MetricMessage:
    """Common part of all metric messages.

    ``kind`` names the message class for consumers that aggregate messages;
    ``timestamp`` is the wall-clock time at which the message was created.
    Subclasses list their own positional fields in ``fields``.
    """

    kind = "metric"
    fields = ()

    def __init__(self, tenant_id, project_id, python_version, lib_version, *values):
        if len(values) != len(self.fields):
            raise TypeError(
                f"{type(self).__name__}() takes {4 + len(self.fields)} positional "
                f"arguments ({4 + len(values)} given)")
        self.tenant_id = tenant_id
        self.project_id = project_id
        self.python_version = python_version
        self.lib_version = lib_version
        for name, value in zip(self.fields, values):
            setattr(self, name, value)
        self.timestamp = _now()

    def to_dict(self):
        """The message as a plain dict (``kind``, identity, own fields, timestamp)."""
        data = {"kind": self.kind}
        for name in IDENTITY_FIELDS + self.fields:
            data[name] = getattr(self, name, None)
        data["timestamp"] = getattr(self, "timestamp", None)
        return data

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self.to_dict() == other.to_dict()

    __hash__ = None

    def __repr__(self):
        parts = ", ".join(
            f"{name}={getattr(self, name, None)!r}" for name in IDENTITY_FIELDS + self.fields)
        return f"{type(self).__name__}({parts})"


# The recorder builds several messages per recorded call, so each class has
# a constructor of its own that sets its fields directly (same attributes, in
# the same order, as the generic one).

class _IdentityOnlyMessage(MetricMessage):
    """A message that carries nothing but the identity fields."""

    def __init__(self, tenant_id, project_id, python_version, lib_version):
        self.tenant_id = tenant_id
        self.project_id = project_id
        self.python_version = python_version
        self.lib_version = lib_version
        self.timestamp = _now()


class CollectionTry(_IdentityOnlyMessage):
    """A sampled call was handed to the recorder."""
    kind = "collection_try"


class CollectionSuccess(_IdentityOnlyMessage):
    """A finished call record was handed to the data channel."""
    kind = "collection_success"


class CollectorFailure(MetricMessage):
    """The recorder could not record a call (see ``FailureReasons``)."""
    kind = "collector_failure"
    fields = ("reason",)


class Unpicklable(MetricMessage):
    """A value of a recorded call could not be serialised."""
    kind = "unpicklable"
    fields = ("object_type", "reason")


class LimitFailure(MetricMessage):
    """A recorded call was dropped because it exceeded a limit."""
    kind = "limit_failure"
    fields = ("function_full_name", "reason")


class ExternalFunction(MetricMessage):
    """An external (library or built-in) function was seen by a recorded call."""
    kind = "external_function"
    fields = ("function_full_name",)

    def __init__(self, tenant_id, project_id, python_version, lib_version, function_full_name):
        self.tenant_id = tenant_id
        self.project_id = project_id
        self.python_version = python_version
        self.lib_version = lib_version
        self.function_full_name = function_full_name
        self.timestamp = _now()


MESSAGE_CLASSES = (
    CollectionTry, CollectionSuccess, CollectorFailure, Unpicklable, LimitFailure,
    ExternalFunction,
)
