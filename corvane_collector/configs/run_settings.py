"""Process-wide settings of the collector.

Every component reads these values on the ``CollectorSettings`` class at the
moment it needs them, so a starter can reconfigure the collector at any time
by assigning class attributes (or through ``CollectorSettings.configure``).

The default serializer lives in the compiled channel codec, which imports the
safe pickler, which in turn imports this module.  Creating the serializer at
import time would make ``import run_settings`` depend on half the package and
turn the import order into a cycle, so it is created on first access instead:
a non-data descriptor on the metaclass builds it once and stores it in the
class namespace, after which the plain class attribute shadows the descriptor
and reads cost nothing extra.
"""

import os
import platform


class NullChannel:
    """Stand-in for a handler channel before a starter connects the real one.

    Messages are dropped (the collector must never fail or block because no
    handler process exists); the count of dropped messages is kept so that a
    misconfigured start-up can be diagnosed.
    """

    def __init__(self, name="null"):
        self.name = name
        self.dropped = 0

    def send_message(self, data):
        self.dropped += 1
        return None

    def __repr__(self):
        return f"NullChannel({self.name!r}, dropped={self.dropped})"


def _default_serializer():
    from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
    return IpcPickleSerializer()


class _DefaultSerializer:
    """Creates the default serializer the first time it is read.

    Being a non-data descriptor (no ``__set__``) on the metaclass, it is only
    consulted while the class namespace has no ``serializer`` entry: an
    assignment on the class, or the first read, puts one there.
    """

    def __get__(self, cls, metacls=None):
        if cls is None:
            return self
        serializer = _default_serializer()
        type.__setattr__(cls, "serializer", serializer)
        return serializer


class _SettingsMeta(type):
    serializer = _DefaultSerializer()


def _lib_version():
    try:
        from importlib.metadata import version
        return version("corvane-collector")
    except Exception:
        return "unknown"


def _initial_project_path():
    try:
        return os.getcwd()
    except OSError:
        # The working directory may have been removed; the root is still a
        # valid start for relative paths.
        return os.sep


class CollectorSettings(metaclass=_SettingsMeta):
    """Settings read by the collector at every use (never cached by readers)."""

    # Identity fields carried, in this order, by every metric message.
    tenant_id = None
    project_id = None
    python_version = platform.python_version()
    lib_version = _lib_version()

    # ``serializer`` is provided by the metaclass until it is first read or
    # assigned (see the module docstring).

    data_subprocess = NullChannel("data")
    metrics_subprocess = NullChannel("metrics")

    # File paths of the project's modules, as the import system reports them.
    project_files = set()
    # Root directory of the project; the start of relative module paths.
    project_path = _initial_project_path()
    # Most external calls kept for one recorded call.
    external_calls_max = 1000

    _SETTING_NAMES = frozenset((
        "tenant_id", "project_id", "python_version", "lib_version", "serializer",
        "data_subprocess", "metrics_subprocess", "project_files", "project_path",
        "external_calls_max",
    ))

    @classmethod
    def configure(cls, **values):
        """Assign several settings at once, refusing unknown names.

        A misspelt setting would otherwise silently create a new attribute
        that nothing reads.
        """
        unknown = sorted(set(values) - cls._SETTING_NAMES)
        if unknown:
            raise AttributeError(
                "unknown collector setting(s): " + ", ".join(unknown))
        if "project_files" in values:
            files = values["project_files"]
            if not isinstance(files, (set, frozenset)):
                raise TypeError(
                    "project_files must be a set or frozenset of paths, got "
                    + type(files).__name__)
        if "external_calls_max" in values:
            limit = values["external_calls_max"]
            if type(limit) is not int or limit < 0:
                raise TypeError(
                    "external_calls_max must be a non-negative int, got " + repr(limit))
        for channel_name in ("data_subprocess", "metrics_subprocess"):
            channel = values.get(channel_name)
            if channel_name in values and not callable(getattr(channel, "send_message", None)):
                raise TypeError(channel_name + " must have a send_message(data) method")
        for name, value in values.items():
            setattr(cls, name, value)
