import inspect
import pickle
from typing import Any, Optional, Tuple, Union

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_model
from corvane_collector.data_collection.call_model import (
    ExternalFunctionCall,
    ExternalFunctionMetadata,
    FunctionCall,
    FunctionMetadata,
    UserFunctionCall,
    UserFunctionMetadata,
)

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class RecordingSerializer:
    """Stands in for the settings' serializer: pickles with the standard pickler
    and remembers every call, so tests can check what was serialised and how."""

    def __init__(self):
        self.calls = []

    def serialize(self, value, obj_wrap=True):
        self.calls.append((value, obj_wrap))
        return b"S" + pickle.dumps(value)

    @staticmethod
    def load(data):
        assert data[:1] == b"S"
        return pickle.loads(data[1:])


@pytest.fixture
def serializer(set_setting):
    ser = RecordingSerializer()
    set_setting("serializer", ser)
    return ser


def user_md(signature=None):
    return UserFunctionMetadata("pkg.mod", "pkg.mod.f", "h", "/p/mod.py", ("x",), signature)


# ------------------------------------------------------------------ metadata

class TestMetadataConstructors:
    def test_attribute_order_and_values(self):
        sig = inspect.getfullargspec(lambda a, b=1: None)
        md = UserFunctionMetadata("m", "m.f", "hash", "/x.py", ("a", "b"), sig, True)
        assert list(vars(md)) == ["code_hash", "full_path", "co_names", "function_signature",
                                  "is_async", "module_name", "full_name"]
        assert vars(md) == {"code_hash": "hash", "full_path": "/x.py", "co_names": ("a", "b"),
                            "function_signature": sig, "is_async": True,
                            "module_name": "m", "full_name": "m.f"}
        ext = ExternalFunctionMetadata("os", "os.getcwd", False, True)
        assert list(vars(ext)) == ["is_builtin", "is_function_for_recording",
                                   "module_name", "full_name"]
        assert (ext.is_builtin, ext.is_function_for_recording) == (False, True)
        base = FunctionMetadata(None, None)
        assert vars(base) == {"module_name": None, "full_name": None}

    def test_values_stored_unchanged(self):
        names = ["not", "a", "tuple"]
        md = UserFunctionMetadata(None, None, None, None, names, 7)
        assert md.co_names is names and md.function_signature == 7
        assert md.is_async is False
        assert UserFunctionMetadata(None, None, None, None, None, None, is_async=True).is_async is True
        ext = ExternalFunctionMetadata(None, None, 3, "yes")
        assert ext.is_builtin == 3 and ext.is_function_for_recording == "yes"

    @pytest.mark.parametrize("cls, args, bad_index, name", [
        (FunctionMetadata, ["m", "f"], 0, "module_name"),
        (FunctionMetadata, ["m", "f"], 1, "full_name"),
        (ExternalFunctionMetadata, ["m", "f", False, True], 1, "full_name"),
        (UserFunctionMetadata, ["m", "f", "h", "p", (), None], 2, "code_hash"),
        (UserFunctionMetadata, ["m", "f", "h", "p", (), None], 3, "full_path"),
    ])
    @pytest.mark.parametrize("bad", [StrSub("x"), 5, b"bytes"])
    def test_str_parameters_exact_type(self, cls, args, bad_index, name, bad):
        args = list(args)
        args[bad_index] = bad
        with pytest.raises(TypeError) as info:
            cls(*args)
        assert str(info.value) == TYPE_MSG.format(name, "str", type(bad).__name__)

    def test_first_failing_parameter_is_reported(self):
        with pytest.raises(TypeError) as info:
            UserFunctionMetadata(1, 2, 3, 4, (), None)
        assert str(info.value) == TYPE_MSG.format("module_name", "str", "int")

    def test_type_check_happens_before_any_attribute(self):
        # A bad base argument is caught at the subclass's own entry.
        obj = UserFunctionMetadata.__new__(UserFunctionMetadata)
        with pytest.raises(TypeError):
            obj.__init__(5, "f", "h", "p", (), None)
        assert vars(obj) == {}

    def test_failure_in_base_step_leaves_subclass_attributes(self):
        class Guarded(ExternalFunctionMetadata):
            @property
            def module_name(self):
                raise AttributeError("module_name")

            @module_name.setter
            def module_name(self, value):
                raise RuntimeError("read-only")

        with pytest.raises(RuntimeError, match="read-only"):
            Guarded("m", "f", True, False)
        obj = Guarded.__new__(Guarded)
        with pytest.raises(RuntimeError):
            obj.__init__("m", "f", True, False)
        assert vars(obj) == {"is_builtin": True, "is_function_for_recording": False}

    def test_argument_counts_and_keywords(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 3 positional arguments \(2 given\)$"):
            FunctionMetadata("m")
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 5 positional arguments \(4 given\)$"):
            ExternalFunctionMetadata("m", "f", True)
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 7 positional arguments \(6 given\)$"):
            UserFunctionMetadata("m", "f", "h", "p", ())
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 8 positional arguments \(9 given\)$"):
            UserFunctionMetadata("m", "f", "h", "p", (), None, False, 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            FunctionMetadata("m", "f", colour=1)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'module_name'"):
            FunctionMetadata("m", "f", module_name="x")
        md = UserFunctionMetadata(full_name="f", module_name="m", code_hash=None, full_path=None,
                                  co_names=(), function_signature=None)
        assert (md.module_name, md.full_name) == ("m", "f")

    def test_annotations(self):
        assert FunctionMetadata.__init__.__annotations__ == {
            "module_name": "str", "full_name": "str", "return": None}
        assert ExternalFunctionMetadata.__init__.__annotations__ == {
            "module_name": "str", "full_name": "str", "is_builtin": bool,
            "is_function_for_recording": bool, "return": None}
        assert UserFunctionMetadata.__init__.__annotations__ == {
            "module_name": "str", "full_name": "str", "code_hash": "str", "full_path": "str",
            "co_names": Tuple[str], "function_signature": Optional[inspect.FullArgSpec],
            "is_async": bool, "return": None}
        assert FunctionCall.__init__.__annotations__ == {
            "function_metadata": FunctionMetadata, "args": "tuple", "kwargs": "dict",
            "globals": "dict", "return": None}
        assert UserFunctionCall.__init__.__annotations__ == FunctionCall.__init__.__annotations__
        assert ExternalFunctionCall.__init__.__annotations__ == {
            "function_metadata": FunctionMetadata, "return": None}
        assert FunctionCall.add_return_value.__annotations__ == {"return_value": Any, "return": None}
        assert FunctionCall.add_execption.__annotations__ == {
            "exception": Union[type, object], "return": None}
        assert FunctionCall.serialize_post_run_args_and_kwargs.__annotations__ == {"return": None}

    def test_module_surface(self):
        assert call_model.__test__ == {}
        assert call_model.CollectorSettings is CollectorSettings
        for name in ("inspect", "Any", "List", "Optional", "Tuple", "Union"):
            assert hasattr(call_model, name), name
        assert FunctionMetadata.__bases__ == (object,)
        assert ExternalFunctionMetadata.__bases__ == (FunctionMetadata,)
        assert UserFunctionMetadata.__bases__ == (FunctionMetadata,)
        assert ExternalFunctionCall.__bases__ == (FunctionCall,)
        assert UserFunctionCall.__bases__ == (FunctionCall,)
        assert FunctionMetadata.__doc__ == "\n    This object contains function metadata.\n"
        assert ExternalFunctionMetadata.__doc__ == (
            "\n    This impelments FunctionMetadata specific to an ExternalFunction.\n")
        assert UserFunctionMetadata.__doc__ == (
            "\n    This impelments FunctionMetadata specific to a UserFunction.\n")
        assert FunctionCall.__doc__ == "\n    This object contains function call data.\n"
        assert ExternalFunctionCall.__doc__ == "\n    This object contains external function call data.\n"
        assert UserFunctionCall.__doc__ == "\n    This object contains user function call data.\n"
        for cls in (FunctionMetadata, ExternalFunctionMetadata, UserFunctionMetadata):
            assert ":param" in cls.__init__.__doc__ and ":type" in cls.__init__.__doc__

    def test_records_pickle_by_reference_with_their_attributes(self):
        md = user_md()
        back = pickle.loads(pickle.dumps(md))
        assert type(back) is UserFunctionMetadata and vars(back) == vars(md)


# ------------------------------------------------------------------ calls

class TestCallRecords:
    def test_user_call_construction(self, serializer):
        md = user_md(signature="SIG")
        args, kwargs, globs = (1, 2), {"k": 3}, {"G": 4}
        rec = UserFunctionCall(md, args, kwargs, globs)
        assert list(vars(rec)) == ["external_calls", "awaited_functions", "function_metadata",
                                   "post_run_args", "post_run_kwargs", "pre_run_args",
                                   "pre_run_kwargs", "globals", "return_value", "execption"]
        assert rec.external_calls == [] and rec.awaited_functions == []
        assert rec.function_metadata is md
        assert rec.post_run_args is args and rec.post_run_kwargs is kwargs
        assert rec.globals is globs
        assert RecordingSerializer.load(rec.pre_run_args) == args
        assert RecordingSerializer.load(rec.pre_run_kwargs) == kwargs
        assert rec.return_value is None and rec.execption is None
        # args, kwargs, then the shared metadata's signature; globals never.
        assert [v for v, _ in serializer.calls] == [args, kwargs, "SIG"]
        assert all(wrap is False for _, wrap in serializer.calls)
        assert RecordingSerializer.load(md.function_signature) == "SIG"

    def test_signature_serialised_again_for_each_record(self, serializer):
        md = user_md(signature="SIG")
        UserFunctionCall(md, (), {}, {})
        first = md.function_signature
        UserFunctionCall(md, (), {}, {})
        assert serializer.calls[-1][0] == first
        assert RecordingSerializer.load(RecordingSerializer.load(md.function_signature)) == "SIG"

    def test_base_record_does_not_touch_signature(self, serializer):
        md = user_md(signature="SIG")
        rec = FunctionCall(md, (1,), None, None)
        assert md.function_signature == "SIG"
        assert "external_calls" not in vars(rec)
        assert RecordingSerializer.load(rec.pre_run_kwargs) is None

    def test_external_call(self, serializer):
        md = ExternalFunctionMetadata("os", "os.getcwd", False, True)
        rec = ExternalFunctionCall(md)
        assert rec.function_metadata is md
        assert rec.post_run_args is None and rec.post_run_kwargs is None and rec.globals is None
        assert rec.return_value is None and rec.execption is None
        assert rec.pre_run_args == serializer.serialize(None, obj_wrap=False)
        assert RecordingSerializer.load(rec.pre_run_kwargs) is None
        assert "external_calls" not in vars(rec)
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional arguments \(1 given\)$"):
            ExternalFunctionCall()

    def test_pre_run_snapshot_versus_post_run_after_mutation(self, serializer):
        items = [1, 2]
        options = {"mode": "a"}
        rec = UserFunctionCall(user_md(), (items,), {"opts": options}, None)
        # The recorded function mutates its arguments while it runs.
        items.append(3)
        options["mode"] = "b"
        assert RecordingSerializer.load(rec.pre_run_args) == ([1, 2],)
        assert RecordingSerializer.load(rec.pre_run_kwargs) == {"opts": {"mode": "a"}}
        assert rec.post_run_args[0] is items  # still live until the call ends
        rec.serialize_post_run_args_and_kwargs()
        assert RecordingSerializer.load(rec.post_run_args) == ([1, 2, 3],)
        assert RecordingSerializer.load(rec.post_run_kwargs) == {"opts": {"mode": "b"}}
        # Later mutations no longer reach the record.
        items.append(4)
        assert RecordingSerializer.load(rec.post_run_args) == ([1, 2, 3],)

    def test_serialising_post_run_twice_serialises_the_bytes(self, serializer):
        rec = UserFunctionCall(user_md(), (1,), {}, {})
        rec.serialize_post_run_args_and_kwargs()
        once = rec.post_run_args
        rec.serialize_post_run_args_and_kwargs()
        assert RecordingSerializer.load(rec.post_run_args) == once

    def test_return_value_and_exception(self, serializer):
        rec = UserFunctionCall(user_md(), (), {}, {})
        rec.add_return_value([1, "x"])
        assert RecordingSerializer.load(rec.return_value) == [1, "x"]
        err = ValueError("boom")
        rec.add_execption(exception=err)
        loaded = RecordingSerializer.load(rec.execption)
        assert type(loaded) is ValueError and loaded.args == ("boom",)
        assert "exception" not in vars(rec)
        assert serializer.calls[-1] == (err, False)
        with pytest.raises(TypeError, match=r"^add_return_value\(\) takes exactly 2 positional arguments \(1 given\)$"):
            rec.add_return_value()
        with pytest.raises(TypeError, match=r"^add_execption\(\) takes exactly 2 positional arguments \(3 given\)$"):
            rec.add_execption(1, 2)
        with pytest.raises(TypeError, match=r"^serialize_post_run_args_and_kwargs\(\) takes exactly 1 positional argument \(2 given\)$"):
            rec.serialize_post_run_args_and_kwargs(1)
        for cls in (FunctionCall, UserFunctionCall):
            with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 5 positional arguments \(4 given\)$"):
                cls(None, (), {})

    @pytest.mark.parametrize("cls", [FunctionCall, UserFunctionCall])
    @pytest.mark.parametrize("args, kwargs, globs, name, expected, got", [
        ([1], {}, {}, "args", "tuple", "list"),
        (TupleSub(), {}, {}, "args", "tuple", "TupleSub"),
        ((), [], {}, "kwargs", "dict", "list"),
        ((), DictSub(), {}, "kwargs", "dict", "DictSub"),
        ((), {}, DictSub(), "globals", "dict", "DictSub"),
        ([1], [], [], "args", "tuple", "list"),
        ((), 1, 2, "kwargs", "dict", "int"),
    ])
    def test_argument_type_checks(self, serializer, cls, args, kwargs, globs, name, expected, got):
        obj = cls.__new__(cls)
        with pytest.raises(TypeError) as info:
            obj.__init__(user_md(), args, kwargs, globs)
        assert str(info.value) == TYPE_MSG.format(name, expected, got)
        assert vars(obj) == {}  # not even external_calls
        assert serializer.calls == []

    def test_none_accepted_and_metadata_unchecked(self, serializer):
        rec = UserFunctionCall(user_md(), None, None, None)
        assert rec.post_run_args is None and rec.globals is None
        rec = FunctionCall("anything", (), {}, {})
        assert rec.function_metadata == "anything"

    def test_serializer_looked_up_at_each_use(self, set_setting, serializer):
        rec = FunctionCall(None, (1,), {}, {})
        other = RecordingSerializer()
        set_setting("serializer", other)
        rec.add_return_value(5)
        assert other.calls == [(5, False)]
        assert len(serializer.calls) == 2

    def test_serializer_failure_propagates_and_keeps_earlier_attributes(self, set_setting):
        class Failing:
            def __init__(self):
                self.n = 0

            def serialize(self, value, obj_wrap=True):
                self.n += 1
                if self.n == 2:
                    raise RuntimeError("cannot serialise")
                return b"ok"

        set_setting("serializer", Failing())
        rec = UserFunctionCall.__new__(UserFunctionCall)
        with pytest.raises(RuntimeError, match="cannot serialise"):
            rec.__init__(user_md(), (1,), {}, {})
        assert vars(rec)["pre_run_args"] == b"ok"
        assert "pre_run_kwargs" not in vars(rec) and "globals" not in vars(rec)

    def test_serializer_result_stored_unchanged(self, set_setting):
        token = object()

        class Odd:
            def serialize(self, value, obj_wrap=True):
                return token

        set_setting("serializer", Odd())
        rec = ExternalFunctionCall(None)
        rec.add_return_value(1)
        assert rec.pre_run_args is token and rec.return_value is token


class TestWithRealSerializer:
    def test_finished_record_round_trips(self, set_setting):
        from corvane_collector.data_collection.metadata_probe import MetadataProbe
        from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer

        ser = IpcPickleSerializer()
        set_setting("serializer", ser)

        def work(items, scale=1):
            items.append(scale)
            return len(items)

        md = MetadataProbe.extract_function_metadata(work, dont_cache=True)
        items = [1]
        rec = UserFunctionCall(md, (items,), {"scale": 2}, {"CONST": 3})
        external = ExternalFunctionCall(ExternalFunctionMetadata("builtins", "builtins.len", False, True))
        external.add_return_value(2)
        rec.external_calls = [external]
        items.append(2)
        rec.add_return_value(2)
        rec.serialize_post_run_args_and_kwargs()

        back = ser.deserialize(ser.serialize(rec, obj_wrap=False))
        assert type(back) is UserFunctionCall
        assert set(vars(back)) == set(vars(rec))
        assert ser.deserialize(back.pre_run_args) == ([1],)
        assert ser.deserialize(back.post_run_args) == ([1, 2],)
        assert ser.deserialize(back.pre_run_kwargs) == {"scale": 2}
        assert ser.deserialize(back.return_value) == 2 and back.execption is None
        assert back.globals == {"CONST": 3}
        meta = back.function_metadata
        assert type(meta) is UserFunctionMetadata
        assert (meta.full_name, meta.full_path, meta.co_names) == (md.full_name, __file__, work.__code__.co_names)
        assert ser.deserialize(meta.function_signature).args == ["items", "scale"]
        (ext,) = back.external_calls
        assert type(ext) is ExternalFunctionCall
        assert vars(ext.function_metadata) == vars(external.function_metadata)
        assert ser.deserialize(ext.return_value) == 2
