"""The record subclasses run their base's steps in place only while the
instance is of the subclass itself and the base constructor is the
module's own: a replaced base constructor, or a class between the subclass
and the base in a user's subclass, is still called."""

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_model as M


class Tagging:
    def serialize(self, value, obj_wrap=True):
        return ("s", value, obj_wrap)


@pytest.fixture(autouse=True)
def tagging_serializer(monkeypatch):
    monkeypatch.setattr(CollectorSettings, "serializer", Tagging())


def user_metadata():
    return M.UserFunctionMetadata("m", "m.f", "h", "p.py", ("x",), "sig", True)


def test_records_have_their_attributes_in_order():
    ext = M.ExternalFunctionMetadata("os", "os.getcwd", False, True)
    assert list(vars(ext).items()) == [
        ("is_builtin", False), ("is_function_for_recording", True),
        ("module_name", "os"), ("full_name", "os.getcwd")]
    user = user_metadata()
    assert list(vars(user)) == ["code_hash", "full_path", "co_names", "function_signature",
                                "is_async", "module_name", "full_name"]
    call = M.ExternalFunctionCall(ext)
    assert list(vars(call).items()) == [
        ("function_metadata", ext), ("post_run_args", None), ("post_run_kwargs", None),
        ("pre_run_args", ("s", None, False)), ("pre_run_kwargs", ("s", None, False)),
        ("globals", None), ("return_value", None), ("execption", None)]
    record = M.UserFunctionCall(user, (1,), {"k": 2}, {})
    assert list(vars(record)) == ["external_calls", "awaited_functions", "function_metadata",
                                  "post_run_args", "post_run_kwargs", "pre_run_args",
                                  "pre_run_kwargs", "globals", "return_value", "execption"]
    assert record.pre_run_args == ("s", (1,), False) and user.function_signature == ("s", "sig", False)


@pytest.mark.parametrize("base, make", [
    (M.FunctionMetadata, lambda: M.ExternalFunctionMetadata("os", "os.sep", False, True)),
    (M.FunctionMetadata, user_metadata),
    (M.FunctionCall, lambda: M.ExternalFunctionCall(None)),
    (M.FunctionCall, lambda: M.UserFunctionCall(user_metadata(), (), {}, {})),
])
def test_a_replaced_base_constructor_is_called(monkeypatch, base, make):
    for _ in range(2):          # the in-place steps are known to hold before the change
        assert "replaced" not in vars(make())
    own = base.__dict__["__init__"]
    calls = []

    def replaced(self, *args):
        calls.append(args)
        self.replaced = True
        if base is M.FunctionCall:
            self.function_metadata = args[0]     # the user record reads it back

    monkeypatch.setattr(base, "__init__", replaced)
    made = make()
    assert made.replaced and len(calls) == 1
    assert "module_name" not in vars(made) and "pre_run_args" not in vars(made)
    monkeypatch.setattr(base, "__init__", own)
    assert "replaced" not in vars(make())


def test_a_class_between_subclass_and_base_is_called():
    seen = []

    class Between(M.FunctionMetadata):
        def __init__(self, module_name, full_name):
            seen.append((type(self).__name__, module_name))
            super().__init__(module_name, full_name)

    class Mixed(M.ExternalFunctionMetadata, Between):
        pass

    class BetweenCall(M.FunctionCall):
        def __init__(self, *args):
            seen.append(("call",) + args[1:])
            super().__init__(*args)

    class MixedCall(M.ExternalFunctionCall, BetweenCall):
        pass

    for _ in range(2):
        made = Mixed("os", "os.sep", False, True)
        assert made.full_name == "os.sep"
        call = MixedCall(made)
        assert call.pre_run_args == ("s", None, False)
    assert seen == [("Mixed", "os"), ("call", None, None, None)] * 2
    # the plain subclasses are not affected by the user's classes
    assert M.ExternalFunctionMetadata("a", "a.b", False, True).full_name == "a.b"
    assert seen == [("Mixed", "os"), ("call", None, None, None)] * 2


def test_argument_checks_are_unchanged():
    with pytest.raises(TypeError, match="Argument 'full_name' has incorrect type"):
        M.ExternalFunctionMetadata("m", 5, False, True)
    with pytest.raises(TypeError, match="Argument 'args' has incorrect type"):
        M.UserFunctionCall(None, [1], {}, {})
