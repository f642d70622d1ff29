import collections
import datetime
import enum
import importlib
import pickle
import sys

import pytest

from corvane_collector.host import decode

import product_fakes as fakes


@pytest.fixture
def user_module(tmp_path, monkeypatch):
    """A module of 'the user' that leaves a mark when imported; unloaded after pickling."""
    marker = tmp_path / "imported"
    (tmp_path / "userpkg_for_decode.py").write_text(f"""
import pathlib
pathlib.Path({str(marker)!r}).write_text("yes")

class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

class Slotted:
    __slots__ = ("a", "b")
    def __init__(self):
        self.a, self.b = 1, [2]

class Bag(list):
    pass

class Table(dict):
    pass

class Color:
    pass

class Reduced:
    def __reduce__(self):
        return (Reduced, ("built", 3))
    def __init__(self, *args):
        self.args = args
""")
    monkeypatch.syspath_prepend(str(tmp_path))
    mod = importlib.import_module("userpkg_for_decode")
    marker.unlink()
    yield mod, marker
    sys.modules.pop("userpkg_for_decode", None)


def _unload(name):
    sys.modules.pop(name, None)


def test_reading_never_imports_the_users_modules(user_module):
    mod, marker = user_module
    data = pickle.dumps({"p": mod.Point(1, [2, 3]), "s": mod.Slotted(), "bag": mod.Bag([1, 2]),
                         "t": mod.Table(k="v"), "r": mod.Reduced(), "cls": mod.Point,
                         "fn": len})
    _unload("userpkg_for_decode")
    value = decode.load(data)
    assert "userpkg_for_decode" not in sys.modules
    assert not marker.exists()
    p = value["p"]
    assert isinstance(p, decode.Placeholder)
    assert p.ph_class == "userpkg_for_decode.Point"
    assert (p.x, p.y) == (1, [2, 3])
    assert value["s"].ph_attributes == {"a": 1, "b": [2]}
    assert value["bag"].ph_list == [1, 2]
    assert value["t"].ph_items == {"k": "v"}
    assert value["r"].ph_args == ("built", 3)
    # Classes and functions are named, never looked up.
    assert decode.render(value["cls"]) == "<userpkg_for_decode.Point>"
    assert decode.render(value["fn"]) == "<builtins.len>"
    assert decode.to_json(value["fn"]) == {"__ref__": "builtins.len"}
    assert decode.render(p) == "userpkg_for_decode.Point(x=1, y=[2, 3])"
    with pytest.raises(AttributeError):
        p.z
    # Trusted loading imports and rebuilds the real thing.
    real = decode.load(data, trusted=True)
    assert marker.exists()
    assert type(real["p"]).__name__ == "Point" and real["p"].y == [2, 3]


def test_a_hostile_pickle_runs_nothing(tmp_path):
    target = tmp_path / "pwned"

    class Evil:
        def __reduce__(self):
            import os
            return (os.system, (f"touch {target}",))

    data = pickle.dumps(Evil())
    value = decode.load(data)
    assert not target.exists()
    assert isinstance(value, decode.Placeholder)
    assert value.ph_name == "system" and value.ph_args == (f"touch {target}",)
    exec_data = pickle.dumps(_Call(exec, "open(%r, 'w')" % str(target)))
    decode.load(exec_data)
    eval_like = b"cbuiltins\neval\n(Vopen('%s','w')\ntR." % str(target).encode()
    assert isinstance(decode.load(eval_like), decode.Placeholder)
    assert not target.exists()


class _Call:
    def __init__(self, fn, arg):
        self.fn, self.arg = fn, arg

    def __reduce__(self):
        return (self.fn, (self.arg,))


def test_standard_values_come_back_real():
    values = [1, 2.5, "s", b"b", None, True, (1, (2,)), [1], {"a": {1, 2}}, frozenset({3}),
              bytearray(b"x"), complex(1, 2), collections.OrderedDict(a=1),
              collections.Counter("aab"), datetime.datetime(2020, 1, 2, 3, 4, 5),
              datetime.timedelta(seconds=3), ValueError("bad", 2), range(3)]
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        out = decode.load(pickle.dumps(values, protocol=protocol))
        assert out[:12] == values[:12]
        assert out[12] == values[12] and out[13] == values[13] and out[14] == values[14]
        assert isinstance(out[16], ValueError) and out[16].args == ("bad", 2)
        assert out[17] == range(3)


class Shade(enum.Enum):
    DARK = "dark"


def test_enum_members_and_reasons_read_as_their_values():
    member = decode.load(pickle.dumps(Shade.DARK))
    assert isinstance(member, decode.Placeholder)
    assert decode.reason_text(member) == "dark"
    assert decode.reason_text(None) == ""
    assert decode.reason_text("plain") == "plain"


@pytest.mark.parametrize("message,key", [
    (fakes.metric(fakes.CollectionTry), ("CollectionTry", "", "")),
    (fakes.metric(fakes.CollectionSuccess), ("CollectionSuccess", "", "")),
    (fakes.metric(fakes.CollectorFailure, fakes.FailureReasons.ASYNCIO),
     ("CollectorFailure", "asyncio function", "")),
    (fakes.metric(fakes.Unpicklable, "socket", "type error"), ("Unpicklable", "type error", "socket")),
    (fakes.metric(fakes.LimitFailure, "m.f", "too big: x in globals"),
     ("LimitFailure", "too big: x in globals", "m.f")),
    (fakes.metric(fakes.ExternalFunction, "json.dumps"), ("ExternalFunction", "", "json.dumps")),
    # Field names the reader does not know: the constructor order decides.
    (fakes.metric(fakes.Renamed.LimitFailure, "m.g", "limit"), ("LimitFailure", "limit", "m.g")),
    (fakes.metric(fakes.Renamed.Unpicklable, "lock", "reduce"), ("Unpicklable", "reduce", "lock")),
])
def test_metric_keys(message, key):
    assert decode.metric_key(message) == key


def test_call_view_of_a_record():
    ext = fakes.ExternalFunctionCall("math", "math.sqrt", 3.0)
    data = fakes.record("proj.mod.Cart.total", args=([1, 2],), kwargs={"tax": 0.2}, result=3.6,
                        externals=[ext], globals_used={"RATE": 2}, args_after=([1, 2, 3],))
    view = decode.CallView(data)
    assert view.error is None
    assert (view.full_name, view.module, view.file) == ("proj.mod.Cart.total", "proj.mod", "/proj/mod.py")
    assert view.args_before == ([1, 2],) and view.args_after == ([1, 2, 3],)
    assert view.kwargs_before == {"tax": 0.2}
    assert view.return_value == 3.6 and not view.raised
    assert view.globals == {"RATE": 2}
    assert view.external_calls == [{"function": "math.sqrt", "module": "math", "result": 3.0,
                                    "raised": False, "exception": None}]
    failed = decode.CallView(fakes.record("proj.f", exc=KeyError("k")))
    assert failed.raised and isinstance(failed.exception, KeyError)
    assert decode.record_columns(fakes.record("proj.f", exc=KeyError("k"))) == \
        ("proj.f", "proj.mod", "/proj/mod.py", True)
    broken = decode.CallView(b"\x80\x04garbage")
    assert broken.error and broken.full_name is None
    with pytest.raises(ValueError):
        decode.record_columns(pickle.dumps([1, 2]))


def test_damaged_nested_value_shows_as_marker_not_failure():
    rec = fakes.UserFunctionCall("proj.f")
    rec.return_value = b"\x80\x04\x95broken"
    view = decode.CallView(pickle.dumps(rec))
    assert isinstance(view.return_value, decode.Undecodable)
    assert view.args_before == ()


def test_json_form_is_serialisable_and_tagged(user_module):
    import json
    mod, _ = user_module
    value = decode.load(pickle.dumps({"p": mod.Point(1, 2), 3: b"\x00", "f": float("nan"),
                                      "s": {1}, "e": OSError(2, "x")}))
    out = decode.to_json(value)
    json.dumps(out)
    assert out["__dict__"][0] == ["p", {"__class__": "userpkg_for_decode.Point",
                                        "attributes": {"x": 1, "y": 2}}]
    as_map = {json.dumps(k): v for k, v in out["__dict__"]}
    assert as_map["3"] == {"__bytes__": "AA=="}
    assert as_map['"f"'] == {"__float__": "nan"}
    assert as_map['"s"'] == {"__set__": [1]}
    assert as_map['"e"']["__exception__"] == "FileNotFoundError"


def test_render_shortens_long_values():
    text = decode.render(list(range(1000)), width=50)
    assert len(text) == 50 and text.endswith("...")
    assert decode.render([[[[[[1]]]]]], depth=2) == "[[[...]]]"


def test_safe_pickler_descriptions_read_as_names_not_imports():
    pickler = pytest.importorskip("corvane_collector.data_serialization.pickler")
    import json
    import threading

    def helper():
        pass

    value = {"mod": json, "fn": helper, "lib": json.dumps, "exc": CustomError("x", 2),
             "lock": threading.Lock(), "plain": {"a": (1, 2)}}
    out = decode.load(pickler.safe_pickle(value, False))
    assert decode.render(out["mod"]) == "<module json>"
    assert decode.to_json(out["mod"]) == {"__module__": "json"}
    assert decode.render(out["lib"]) == "<json.dumps>"
    assert decode.render(out["fn"]).endswith("helper>")
    assert isinstance(out["exc"], decode.Placeholder) and out["exc"].ph_args == ("x", 2)
    assert out["exc"].ph_class == "test_product_decode.CustomError"
    lock = out["lock"]
    assert isinstance(lock, decode.UnpicklableValue) and lock.ph_class == "_thread.lock"
    assert decode.render(lock) == "<unpicklable _thread.lock>"
    assert decode.to_json(lock)["unpicklable"] is True
    assert out["plain"] == {"a": (1, 2)}


class CustomError(Exception):
    pass



class _Described:
    """Pickles the way the failure reducer describes what it cannot pickle."""

    def __init__(self, type_text, **attrs):
        self.type_text, self.attrs = type_text, attrs

    def __reduce__(self):
        from corvane_common.utils.obj_wrap import UnpicklableObject
        return (UnpicklableObject, (self.type_text, {}), self.attrs)


def test_a_frame_with_recorded_locals_shows_them_as_values():
    code = _Described("<class 'code'>", co_name="fetch", co_filename="/srv/svc.py", co_code=b"")
    frame = _Described("<class 'frame'>", f_lasti=8, f_lineno=12, f_code=code,
                       f_globals={"__name__": "svc"}, f_locals={"x": 1, "items": [2]})
    data = pickle.dumps(_Described("<class 'coroutine'>", cr_running=False, cr_frame=frame,
                                   cr_code=code))
    for trusted in (False, True):
        assert decode.render(decode.load(data, trusted)) == \
            "<coroutine svc.fetch suspended at svc.py:12, locals x=1, items=[2]>"
    assert decode.to_json(decode.load(data))["locals"] == {"x": 1, "items": [2]}
