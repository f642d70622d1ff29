import _pickle
import pickle

import pytest

from corvane_collector.data_serialization import channel_codec_base
from corvane_collector.data_serialization.channel_codec_base import ChannelCodecBase


def codec():
    try:
        from corvane_collector.data_serialization import channel_codec
    except ImportError as exc:
        pytest.skip(f"safe pickler not built yet: {exc}")
    return channel_codec


def test_base_is_abstract_in_both_methods():
    with pytest.raises(TypeError):
        ChannelCodecBase()

    class OnlySerialize(ChannelCodecBase):
        def serialize(self, obj):
            return b""
    with pytest.raises(TypeError):
        OnlySerialize()
    assert ChannelCodecBase.__abstractmethods__ == frozenset({"serialize", "deserialize"})
    assert ChannelCodecBase.serialize.__doc__ == "This function serializes an object."
    assert ChannelCodecBase.deserialize.__doc__ == "This function deserializes given data."
    for name in ("ABC", "abstractmethod", "Any", "ChannelCodecBase"):
        assert hasattr(channel_codec_base, name)


def test_base_methods_do_nothing_and_deserialize_checks_bytes():
    class Both(ChannelCodecBase):
        def serialize(self, obj):
            return ChannelCodecBase.serialize(self, obj)

        def deserialize(self, data):
            return ChannelCodecBase.deserialize(self, data)
    both = Both()
    assert both.serialize(1) is None
    assert both.deserialize(b"x") is None and both.deserialize(None) is None
    for bad in (bytearray(b"x"), "x", 3):
        with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected bytes, got "):
            both.deserialize(bad)


def test_module_attributes():
    mod = codec()
    assert mod._pickle is _pickle and mod.ChannelCodecBase is ChannelCodecBase
    assert callable(mod.safe_pickle) and mod.Any is not None
    assert issubclass(mod.IpcPickleSerializer, ChannelCodecBase)
    assert mod.IpcPickleSerializer.__doc__ == \
        "This class is used to serialize and deserialize data using pickle."


@pytest.mark.parametrize("value", [0, -7, 2 ** 100, 1.5, "text", "", b"raw", None, True,
                                   [1, [2, 3]], (1, "a"), {"k": [1, {"n": None}]}, set(), ()])
def test_round_trip_plain_data(value):
    serializer = codec().IpcPickleSerializer()
    data = serializer.serialize(value)
    assert isinstance(data, bytes)
    assert serializer.deserialize(data) == value
    # Any instance reads what another wrote.
    assert codec().IpcPickleSerializer().deserialize(data) == value


def test_obj_wrap_is_passed_through_positionally_or_by_keyword(monkeypatch):
    mod = codec()
    calls = []

    def fake(obj, obj_wrap):
        calls.append((obj, obj_wrap))
        return b"fake"
    monkeypatch.setattr(mod, "safe_pickle", fake)
    s = mod.IpcPickleSerializer()
    assert s.serialize(1) == b"fake"
    s.serialize(2, False)
    s.serialize(3, obj_wrap=False)
    assert calls == [(1, True), (2, False), (3, False)]


def test_obj_wrap_false_equals_safe_pickle():
    mod = codec()
    value = {"a": [1, 2], "b": ("x",)}
    assert mod.IpcPickleSerializer().serialize(value, obj_wrap=False) == mod.safe_pickle(value, False)


def test_deserialize_errors_propagate():
    s = codec().IpcPickleSerializer()
    with pytest.raises(Exception):
        s.deserialize(b"this is not a pickle")
    with pytest.raises(Exception):
        s.deserialize(pickle.dumps([1, 2, 3])[:-3])


def test_codec_delegates_to_whatever_safe_pickle_the_pickler_module_provides():
    # Runs without the real pickler: a stand-in module takes its place in a
    # fresh interpreter, so the codec's own behaviour is checked on its own.
    import subprocess
    import sys
    import textwrap
    code = textwrap.dedent("""
        import pickle, sys, types
        fake = types.ModuleType("corvane_collector.data_serialization.pickler")
        calls = []
        def safe_pickle(obj, obj_wrap=True):
            calls.append(obj_wrap)
            return pickle.dumps(("wrapped", obj))
        fake.safe_pickle = safe_pickle
        sys.modules[fake.__name__] = fake
        from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
        from corvane_collector.configs.run_settings import CollectorSettings
        s = CollectorSettings.serializer
        assert type(s) is IpcPickleSerializer
        print(s.deserialize(s.serialize([1])), s.deserialize(s.serialize(2, False)))
        print(s.deserialize(s.serialize(3, obj_wrap=False)), calls)
        try:
            s.deserialize(b"garbage")
        except Exception as exc:
            print(type(exc).__name__)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "('wrapped', [1]) ('wrapped', 2)"
    assert lines[1] == "('wrapped', 3) [True, False, False]"
    assert lines[2] == "UnpicklingError"
