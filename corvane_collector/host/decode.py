"""Reading stored records and metric messages without running anyone's code.

Records are pickles of the recorder's call objects whose values are themselves
pickles of the user's data. Loading them with the standard unpickler would
import the user's modules and call whatever the pickle names. The
``ReadingUnpickler`` here imports nothing: every class or function that a
pickle refers to becomes a ``Placeholder`` class (or a ``Reference``) that
only remembers its name, its arguments and its state, except for a short list
of harmless standard types (containers, numbers, dates, paths, built-in
exceptions) that are rebuilt for real.

``load(data, trusted=True)`` uses the standard unpickler instead, for users
who ask for real objects and accept that it imports their modules.
"""

import _compat_pickle
import base64
import builtins
import collections
import copyreg
import datetime
import decimal
import fractions
import io
import math
import os
import pathlib
import pickle
import types
import uuid

_BUILTIN_TYPES = {
    "set", "frozenset", "bytearray", "bytes", "complex", "slice", "range", "list", "dict",
    "tuple", "str", "int", "float", "bool",
}
_ALLOWED = {
    ("collections", "OrderedDict"): collections.OrderedDict,
    ("collections", "deque"): collections.deque,
    ("collections", "Counter"): collections.Counter,
    ("collections", "defaultdict"): collections.defaultdict,
    ("datetime", "date"): datetime.date,
    ("datetime", "time"): datetime.time,
    ("datetime", "datetime"): datetime.datetime,
    ("datetime", "timedelta"): datetime.timedelta,
    ("datetime", "timezone"): datetime.timezone,
    ("decimal", "Decimal"): decimal.Decimal,
    ("fractions", "Fraction"): fractions.Fraction,
    ("uuid", "UUID"): uuid.UUID,
    ("pathlib", "PurePosixPath"): pathlib.PurePosixPath,
    ("pathlib", "PureWindowsPath"): pathlib.PureWindowsPath,
    ("pathlib", "PosixPath"): pathlib.PurePosixPath,
    ("pathlib", "WindowsPath"): pathlib.PureWindowsPath,
}


class Placeholder:
    """An object of a class that was not imported: its name, arguments and state."""

    __slots__ = ("ph_args", "ph_kwargs", "ph_state", "ph_items", "ph_list")
    ph_module = ""
    ph_name = ""

    def __new__(cls, *args, **kwargs):
        self = object.__new__(cls)
        self.ph_args = args
        self.ph_kwargs = kwargs
        self.ph_state = None
        self.ph_items = {}
        self.ph_list = []
        return self

    def __init__(self, *args, **kwargs):
        pass

    def __setstate__(self, state):
        self.ph_state = state

    # Pickles of list and dict subclasses add their items through these.
    def __setitem__(self, key, value):
        self.ph_items[key] = value

    def append(self, value):
        self.ph_list.append(value)

    def extend(self, values):
        self.ph_list.extend(values)

    @property
    def ph_class(self):
        return f"{self.ph_module}.{self.ph_name}" if self.ph_module else self.ph_name

    @property
    def ph_attributes(self):
        """The instance attributes that the pickle restored (dict and slot state merged)."""
        state = self.ph_state
        attrs = {}
        if isinstance(state, tuple) and len(state) == 2 and all(
                s is None or isinstance(s, dict) for s in state):
            for part in state:
                if part:
                    attrs.update(part)
        elif isinstance(state, dict):
            attrs.update(state)
        return attrs

    def __getattr__(self, name):
        # Only reached for names that are not slots: the restored attributes.
        if name.startswith("ph_") or name.startswith("__"):
            raise AttributeError(name)
        attrs = self.ph_attributes
        if name in attrs:
            return attrs[name]
        raise AttributeError(f"{self.ph_class} placeholder has no attribute {name!r}")

    def __repr__(self):
        return render(self)


class Reference:
    """A function, class or module named by a pickle; calling it makes a placeholder object."""

    __slots__ = ("name", "kind")

    def __init__(self, name, kind=None):
        self.name = name
        self.kind = kind

    def __call__(self, *args, **kwargs):
        module, _, qualname = self.name.rpartition(".")
        return placeholder_class(module, qualname)(*args, **kwargs)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return Reference(f"{self.name}.{name}")

    def __eq__(self, other):
        return isinstance(other, Reference) and other.name == self.name

    def __hash__(self):
        return hash(("Reference", self.name))

    def __repr__(self):
        return f"<module {self.name}>" if self.kind == "module" else f"<{self.name}>"


class Undecodable:
    """What a value that could not be read shows as."""

    __slots__ = ("reason",)

    def __init__(self, reason):
        self.reason = reason

    def __repr__(self):
        return f"<undecodable: {self.reason}>"


_placeholder_classes = {}


def placeholder_class(module, name):
    key = (module, name)
    cls = _placeholder_classes.get(key)
    if cls is None:
        short = name.rpartition(".")[2] or "object"
        if not short.isidentifier():
            short = "object"
        cls = type(short, (Placeholder,), {"__slots__": (), "ph_module": module, "ph_name": name})
        _placeholder_classes[key] = cls
    return cls


class UnpicklableValue(Placeholder):
    """A value the recorder could not pickle: its type and what could be kept."""

    __slots__ = ()


_unpicklable_classes = {}


def _unpicklable_class(module, name):
    key = (module, name)
    cls = _unpicklable_classes.get(key)
    if cls is None:
        cls = type("UnpicklableValue", (UnpicklableValue,),
                   {"__slots__": (), "ph_module": module, "ph_name": name})
        _unpicklable_classes[key] = cls
    return cls


def _reconstructor(cls, base, state):
    if isinstance(cls, type) and issubclass(cls, Placeholder):
        obj = cls()
        if state is not None:
            obj.ph_args = (state,)
        return obj
    return copyreg._reconstructor(cls, base, state)


def _newobj(cls, *args):
    return cls.__new__(cls, *args)


def _newobj_ex(cls, args, kwargs):
    return cls.__new__(cls, *args, **kwargs)


def _getattr(obj, name, *default):
    if isinstance(obj, Reference):
        return Reference(f"{obj.name}.{name}")
    if isinstance(obj, Placeholder):
        return Reference(f"{obj.ph_class}().{name}")
    return Reference(f"{type(obj).__name__}.{name}")


def _builtin_type(*args):
    # The standard pickler spells the classes of None, NotImplemented and
    # Ellipsis as type(None) and so on.
    if len(args) == 1 and (args[0] is None or args[0] is NotImplemented or args[0] is Ellipsis):
        return type(args[0])
    return Reference("builtins.type")(*args)


def _codecs_encode(text, encoding="utf-8", errors="strict"):
    # Protocols 0-2 spell bytes as _codecs.encode(str, 'latin1').
    return str(text).encode(encoding if encoding in ("latin1", "latin-1") else "latin1", "strict")


def _loadclass(name, *rest):
    # The safe pickler names functions and classes this way; loading would import.
    found = _KEPT_LOADERS.get(name) if type(name) is str else None
    return found if found is not None else Reference(str(name))


def _wrap_module(full_name):
    return Reference(str(full_name), "module")


def _wrap_exception(full_name, args=(), attrs=None):
    module, _, name = str(full_name).rpartition(".")
    exc = placeholder_class(module, name)(*(args if isinstance(args, (tuple, list)) else (args,)))
    if attrs:
        exc.ph_state = attrs
    return exc


def _wrap_object(cls, funcs=None, *rest):
    # An object reduced to the attributes the call used; they arrive as its state.
    if not (isinstance(cls, type) and issubclass(cls, Placeholder)):
        name = getattr(cls, "name", None) if isinstance(cls, Reference) else None
        if name is None:
            name = f"{getattr(cls, '__module__', '')}.{getattr(cls, '__qualname__', repr(cls))}"
        module, _, qualname = name.rpartition(".")
        cls = placeholder_class(module, qualname)
    return cls()


def _unpicklable_object(type_str, funcs=None, *rest):
    text = str(type_str)
    if text.count("'") >= 2:  # "<class 'socket.socket'>"
        text = text.split("'")[1]
    module, _, name = text.rpartition(".")
    return _unpicklable_class(module, name)()


_PICKLER = "corvane_collector.data_serialization.pickler"
_WRAPPERS = "corvane_common.utils.obj_wrap"

def _by_name(module, qualname):
    # A class or function named while its module was being imported: the
    # same placeholder as one written by name.
    return placeholder_class(str(module), str(qualname))


def _kept_as(module, qualname):
    # A value the safe pickler kept by its state: a placeholder of its own
    # class holding the loader's arguments.
    def make(*args):
        return placeholder_class(module, qualname)(*args)
    return make


def _kept_function(module_name, qualname, *rest):
    return Reference(f"{module_name}.{qualname}")


def _set_state(obj, state):
    # The loaders' state setters: the state shows as the placeholder's.
    if isinstance(obj, Placeholder):
        obj.ph_state = state


def _set_named_state(obj, state):
    # (module name, qualified name, the instance dict)
    _set_state(obj, state[2] if isinstance(state, tuple) and len(state) == 3 else state)


_CORV_PICKLE = "corvane_collector.data_serialization.corv_pickle"
# (the safe pickler names these loaders through loadclass, as every function)
_KEPT_LOADERS = {_CORV_PICKLE + "." + name: loader for name, loader in (
    ("load_parameter", _kept_as("inspect", "Parameter")),
    ("load_signature", _kept_as("inspect", "Signature")),
    ("load_bound_arguments", _kept_as("inspect", "BoundArguments")),
    ("load_function", _kept_function),
    ("set_function_state", _set_state),
    ("set_instance_dict", _set_state),
    ("set_named_instance_dict", _set_named_state),
    ("set_defaultdict_state", _set_state),
    ("set_instance_slots", _set_state),
)}

_FUNCTIONS = {
    (_CORV_PICKLE, "load_by_name"): _by_name,
    ("jsonpickle.unpickler", "loadclass"): _loadclass,
    (_PICKLER, "wrap_module"): _wrap_module,
    (_PICKLER, "wrap_function"): _loadclass,
    (_PICKLER, "wrap_exception"): _wrap_exception,
    (_PICKLER, "wrap_object"): _wrap_object,
    (_WRAPPERS, "FunctionWrapper"): _loadclass,
    (_WRAPPERS, "UnpicklableObject"): _unpicklable_object,
    ("copyreg", "_reconstructor"): _reconstructor,
    ("copy_reg", "_reconstructor"): _reconstructor,
    ("copyreg", "__newobj__"): _newobj,
    ("copyreg", "__newobj_ex__"): _newobj_ex,
    ("builtins", "getattr"): _getattr,
    ("builtins", "type"): _builtin_type,
    ("_codecs", "encode"): _codecs_encode,
}


class ReadingUnpickler(pickle.Unpickler):
    """Unpickler that never imports: unknown names become placeholders."""

    def find_class(self, module, name):
        # Old protocols spell some names the Python 2 way (exceptions.ValueError).
        if (module, name) in _compat_pickle.NAME_MAPPING:
            module, name = _compat_pickle.NAME_MAPPING[(module, name)]
        elif module in _compat_pickle.IMPORT_MAPPING:
            module = _compat_pickle.IMPORT_MAPPING[module]
        if module == "builtins":
            if name in _BUILTIN_TYPES:
                return getattr(builtins, name)
            value = getattr(builtins, name, None)
            if isinstance(value, type) and issubclass(value, BaseException):
                return value
        found = _FUNCTIONS.get((module, name)) or _ALLOWED.get((module, name))
        if found is not None:
            return found
        return placeholder_class(module, name)

    def persistent_load(self, pid):
        return Undecodable(f"persistent id {pid!r}")


def load(data, trusted=False):
    """Unpickles ``data``; without ``trusted`` nothing is imported or run."""
    if trusted:
        return pickle.loads(data)
    return ReadingUnpickler(io.BytesIO(data)).load()


def load_value(value, trusted=False):
    """A stored field: bytes are a nested pickle; other values are already objects."""
    if isinstance(value, (bytes, bytearray)):
        try:
            return load(bytes(value), trusted)
        except Exception as exc:  # noqa: BLE001 - any damage shows as a marker, never aborts
            return Undecodable(f"{type(exc).__name__}: {exc}")
    return value


def attributes(obj):
    """The attribute dict of a decoded object, placeholder or real."""
    if isinstance(obj, Placeholder):
        return obj.ph_attributes
    return getattr(obj, "__dict__", None) or {}


def class_name(obj):
    if isinstance(obj, Placeholder):
        return obj.ph_class
    cls = type(obj)
    return f"{cls.__module__}.{cls.__qualname__}"


# -- records ---------------------------------------------------------------

def record_columns(data):
    """(full_name, module, file, raised) of a pickled call record, from its outer layer only.

    Raises on a pickle that is not a call record; the caller stores it anyway.
    """
    rec = load(data)
    attrs = attributes(rec)
    if "function_metadata" not in attrs:
        raise ValueError(f"not a call record: {class_name(rec)}")
    meta = attributes(attrs["function_metadata"])
    return (_text(meta.get("full_name")), _text(meta.get("module_name")),
            _text(meta.get("full_path")), exception_of(attrs.get("execption")) is not None)


def exception_of(field, trusted=False):
    """The exception a record field holds, or None.

    A call that returned normally carries the class of None in that field
    (or nothing at all).
    """
    if field is None:
        return None
    value = load_value(field, trusted)
    if value is None or value is type(None):
        return None
    return value


def _text(value):
    return value if isinstance(value, str) else (None if value is None else str(value))


class CallView:
    """A decoded call record, ready to print or export."""

    FIELDS = ("args_before", "kwargs_before", "args_after", "kwargs_after", "return_value",
              "exception", "globals")

    def __init__(self, data, trusted=False):
        self.error = None
        try:
            if not isinstance(data, (bytes, bytearray)):
                # The handlers import this module but never the recording machinery.
                from corvane_collector.data_serialization.corv_pickle import LoadFailure
                if isinstance(data, LoadFailure):  # the store could not give back the bytes sent
                    raise ValueError(f"{data.name}: {data.error}")
            rec = load(data, trusted)
        except Exception as exc:  # noqa: BLE001
            rec = None
            self.error = f"{type(exc).__name__}: {exc}"
        attrs = attributes(rec) if rec is not None else {}
        meta = attributes(attrs.get("function_metadata"))
        self.full_name = _text(meta.get("full_name"))
        self.module = _text(meta.get("module_name"))
        self.file = _text(meta.get("full_path"))
        self.signature = load_value(meta.get("function_signature"), trusted)
        self.args_before = load_value(attrs.get("pre_run_args"), trusted)
        self.kwargs_before = load_value(attrs.get("pre_run_kwargs"), trusted)
        self.args_after = load_value(attrs.get("post_run_args"), trusted)
        self.kwargs_after = load_value(attrs.get("post_run_kwargs"), trusted)
        self.return_value = load_value(attrs.get("return_value"), trusted)
        self.exception = exception_of(attrs.get("execption"), trusted)
        self.raised = self.exception is not None
        self.globals = load_value(attrs.get("globals"), trusted)
        unknown = attrs.get("unknown_modules")
        self.unknown_modules = sorted(map(str, unknown)) if unknown else []
        self.external_calls = []
        for call in attrs.get("external_calls") or ():
            cattrs = attributes(call)
            cmeta = attributes(cattrs.get("function_metadata"))
            self.external_calls.append({
                "function": _text(cmeta.get("full_name")),
                "module": _text(cmeta.get("module_name")),
                "result": load_value(cattrs.get("return_value"), trusted),
                "raised": exception_of(cattrs.get("execption"), trusted) is not None,
                "exception": exception_of(cattrs.get("execption"), trusted),
            })


# -- metric messages -------------------------------------------------------

METRICS_MODULE = "corvane_collector.data_collection.metrics"
# The fields after the four identity fields, in constructor order.
_METRIC_FIELDS = {
    "CollectionTry": (),
    "CollectionSuccess": (),
    "CollectorFailure": ("reason",),
    "Unpicklable": ("detail", "reason"),
    "LimitFailure": ("detail", "reason"),
    "ExternalFunction": ("detail",),
}
_REASON_NAMES = ("reason", "limit_reason", "limit_reason_message", "failure_reason")
_DETAIL_NAMES = ("object_type", "obj_type", "function_full_name", "full_name", "function_name")


def _find_message(obj, depth=0):
    """The metric object itself, looking through a wrapper if there is one."""
    if isinstance(obj, Placeholder):
        if obj.ph_module == METRICS_MODULE or depth >= 3:
            return obj
        inner = list(obj.ph_args) + list(obj.ph_attributes.values())
        for value in inner:
            if isinstance(value, Placeholder):
                found = _find_message(value, depth + 1)
                if found is not None and found.ph_module == METRICS_MODULE:
                    return found
    return obj if depth == 0 else None


def reason_text(value):
    """Text of a reason value: an enum member shows as its value."""
    if value is None:
        return ""
    if isinstance(value, Placeholder):
        if value.ph_args and len(value.ph_args) == 1 and not isinstance(value.ph_args[0], Placeholder):
            return str(value.ph_args[0])
        attrs = value.ph_attributes
        if "_value_" in attrs:
            return str(attrs["_value_"])
        return value.ph_class
    return str(getattr(value, "value", value))


def metric_key(data):
    """(kind, reason, detail) of a pickled metric message."""
    msg = _find_message(load(data))
    kind = msg.ph_name.rpartition(".")[2] if isinstance(msg, Placeholder) else type(msg).__name__
    attrs = attributes(msg)
    reason = next((attrs[n] for n in _REASON_NAMES if n in attrs), None)
    detail = next((attrs[n] for n in _DETAIL_NAMES if n in attrs), None)
    if reason is None and detail is None and kind in _METRIC_FIELDS:
        values = list(attrs.values())[4:] or list(getattr(msg, "ph_args", ()))[4:]
        for field, value in zip(_METRIC_FIELDS[kind], values):
            if field == "reason":
                reason = value
            else:
                detail = value
    return kind, reason_text(reason), reason_text(detail)


# -- generators, coroutines, frames and code -----------------------------------
# The recorder cannot pickle these and describes them by their attributes: a
# code object's bytecode and tables, a frame's globals and builtins, a chain of
# calling frames. Shown as such they are pages of noise; what a reader wants is
# which function it is, where it stands and (when recorded) its variables.

# The attribute prefix of each kind that runs a frame of its own.
_SUSPENDABLE = {"generator": "gi", "coroutine": "cr", "async_generator": "ag"}
_EXECUTION_KINDS = frozenset(_SUSPENDABLE) | {"frame", "code"}
_MISSING = object()


def _described(obj):
    """(type name, attributes) of a value the recorder could only describe, else None."""
    if isinstance(obj, UnpicklableValue):
        return obj.ph_class, obj.ph_attributes
    cls = type(obj)
    if cls.__name__ == "UnpicklableObject" and cls.__module__ == "corvane_common.utils.obj_wrap":
        try:  # loaded with --import: the wrapper itself
            return obj.wrapped_type_name(), obj.wrapped_attributes()
        except Exception:  # noqa: BLE001
            return None
    return None


def _described_attrs(obj, kind):
    found = _described(obj)
    return found[1] if found is not None and found[0] == kind else None


def _qualified_name(code, frame):
    name = code.get("co_name") if code else None
    if not isinstance(name, str):
        return None
    namespace = frame.get("f_globals") if frame else None
    if not isinstance(namespace, dict):
        return name
    # The function itself, as the module's globals name it: its full dotted name.
    func = namespace.get(name)
    if isinstance(func, Reference) and func.name.rpartition(".")[2] == name:
        return func.name
    if isinstance(func, types.FunctionType) and func.__name__ == name:
        return f"{func.__module__}.{func.__qualname__}"
    module = namespace.get("__name__")
    return f"{module}.{name}" if isinstance(module, str) else name


def execution_view(obj):
    """What a described generator, coroutine, async generator, frame or code
    object comes down to, or None for any other value.

    A dict with ``kind``, ``name`` (dotted as far as the record tells),
    ``state`` ("created", "running", "suspended" or "closed", for the first
    three kinds), ``file`` and ``line`` (where it stands, or where its function
    starts), and ``locals`` when the frame's variables were recorded.
    """
    found = _described(obj)
    if found is None or found[0] not in _EXECUTION_KINDS:
        return None
    kind, attrs = found
    state = None
    if kind == "code":
        code, frame = attrs, None
    elif kind == "frame":
        code, frame = _described_attrs(attrs.get("f_code"), "code"), attrs
    else:
        prefix = _SUSPENDABLE[kind]
        raw_frame = attrs.get(prefix + "_frame", _MISSING)
        frame = _described_attrs(raw_frame, "frame")
        code = _described_attrs(attrs.get(prefix + "_code"), "code")
        # As inspect.getgeneratorstate tells them apart.
        if attrs.get(prefix + "_running"):
            state = "running"
        elif raw_frame is None:
            state = "closed"
        elif frame is not None:
            state = "created" if frame.get("f_lasti") == -1 else "suspended"
    view = {"kind": kind, "name": _qualified_name(code, frame), "state": state,
            "file": code.get("co_filename") if code else None, "line": None}
    if frame is not None and state != "created":
        view["line"] = frame.get("f_lineno")
    elif code:
        view["line"] = code.get("co_firstlineno")
    recorded = frame.get("f_locals") if frame else None
    if isinstance(recorded, dict):
        view["locals"] = recorded
    return view


def _render_execution(view, depth):
    parts = [view["kind"]]
    if view["name"]:
        parts.append(view["name"])
    if view["state"]:
        parts.append(view["state"])
    file, line = view["file"], view["line"]
    where = os.path.basename(file) if isinstance(file, str) else ""
    if line is not None:
        where = f"{where}:{line}" if where else f"line {line}"
    if where:
        standing = view["kind"] == "frame" or view["state"] in ("running", "suspended")
        parts.append(f"at {where}" if standing else f"({where})")
    text = " ".join(map(str, parts))
    if "locals" in view:
        names = ", ".join(f"{k}={_render(v, depth - 1)}" for k, v in view["locals"].items())
        text += f", locals {names}" if names else ", no locals"
    return f"<{text}>"


# -- showing values ----------------------------------------------------------

def _type_name(cls):
    if issubclass(cls, Placeholder):
        return f"{cls.ph_module}.{cls.ph_name}" if cls.ph_module else cls.ph_name
    module = getattr(cls, "__module__", "")
    name = getattr(cls, "__qualname__", cls.__name__)
    return name if module == "builtins" else f"{module}.{name}"


def render(obj, width=200, depth=4):
    """A short, one-line, repr-like text of a decoded value."""
    text = _render(obj, depth)
    if width and len(text) > width:
        text = text[:width - 3] + "..."
    return text


def _render(obj, depth):
    if depth < 0:
        return "..."
    d = depth - 1
    view = execution_view(obj)
    if view is not None:
        return _render_execution(view, depth)
    if isinstance(obj, Placeholder):
        parts = [_render(a, d) for a in obj.ph_args]
        parts += [f"{k}={_render(v, d)}" for k, v in obj.ph_kwargs.items()]
        attrs = obj.ph_attributes
        if obj.ph_state is not None and not attrs:
            parts.append(f"state={_render(obj.ph_state, d)}")
        if isinstance(obj, UnpicklableValue):  # its method names are noise on screen
            attrs = {k: v for k, v in attrs.items() if not isinstance(v, Reference)}
        parts += [f"{k}={_render(v, d)}" for k, v in attrs.items()]
        if obj.ph_list:
            parts.append(_render(obj.ph_list, d))
        if obj.ph_items:
            parts.append(_render(obj.ph_items, d))
        if isinstance(obj, UnpicklableValue):
            return f"<unpicklable {obj.ph_class}{' ' if parts else ''}{', '.join(parts)}>"
        return f"{obj.ph_class}({', '.join(parts)})"
    if isinstance(obj, (Reference, Undecodable)):
        return repr(obj)
    if isinstance(obj, type):
        return f"<{_type_name(obj)}>"
    if isinstance(obj, dict):
        return "{" + ", ".join(f"{_render(k, d)}: {_render(v, d)}" for k, v in obj.items()) + "}"
    if isinstance(obj, list):
        return "[" + ", ".join(_render(v, d) for v in obj) + "]"
    if isinstance(obj, tuple):
        inner = ", ".join(_render(v, d) for v in obj)
        return f"({inner},)" if len(obj) == 1 else f"({inner})"
    if isinstance(obj, (set, frozenset)):
        if not obj:
            return "set()" if isinstance(obj, set) else "frozenset()"
        inner = "{" + ", ".join(sorted(_render(v, d) for v in obj)) + "}"
        return inner if isinstance(obj, set) else f"frozenset({inner})"
    if isinstance(obj, BaseException):
        return f"{type(obj).__name__}({', '.join(_render(a, d) for a in obj.args)})"
    try:
        return repr(obj)
    except Exception:  # noqa: BLE001
        return f"<{type(obj).__name__} object>"


def to_json(obj, depth=32):
    """A JSON-ready form of a decoded value (nothing is lost silently: odd values are tagged)."""
    if depth < 0:
        return {"__truncated__": True}
    d = depth - 1
    if obj is None or isinstance(obj, (bool, int, str)):
        return obj
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else {"__float__": repr(obj)}
    view = execution_view(obj)
    if view is not None:
        out = {"__class__": view.pop("kind"), "unpicklable": True}
        out.update((k, to_json(v, d)) for k, v in view.items())
        return out
    if isinstance(obj, Placeholder):
        out = {"__class__": obj.ph_class}
        if isinstance(obj, UnpicklableValue):
            out["unpicklable"] = True
        if obj.ph_args:
            out["args"] = [to_json(a, d) for a in obj.ph_args]
        if obj.ph_kwargs:
            out["kwargs"] = {str(k): to_json(v, d) for k, v in obj.ph_kwargs.items()}
        attrs = obj.ph_attributes
        if attrs:
            out["attributes"] = {str(k): to_json(v, d) for k, v in attrs.items()}
        elif obj.ph_state is not None:
            out["state"] = to_json(obj.ph_state, d)
        if obj.ph_list:
            out["items"] = [to_json(v, d) for v in obj.ph_list]
        if obj.ph_items:
            out["mapping"] = [[to_json(k, d), to_json(v, d)] for k, v in obj.ph_items.items()]
        return out
    if isinstance(obj, Reference):
        return {"__module__": obj.name} if obj.kind == "module" else {"__ref__": obj.name}
    if isinstance(obj, type):
        return {"__ref__": _type_name(obj)}
    if isinstance(obj, Undecodable):
        return {"__undecodable__": obj.reason}
    if isinstance(obj, (bytes, bytearray)):
        return {"__bytes__": base64.b64encode(bytes(obj)).decode()}
    if isinstance(obj, dict):
        if all(isinstance(k, str) for k in obj):
            return {k: to_json(v, d) for k, v in obj.items()}
        return {"__dict__": [[to_json(k, d), to_json(v, d)] for k, v in obj.items()]}
    if isinstance(obj, (list, tuple)):
        return [to_json(v, d) for v in obj]
    if isinstance(obj, (set, frozenset)):
        return {"__set__": sorted((to_json(v, d) for v in obj), key=repr)}
    if isinstance(obj, BaseException):
        return {"__exception__": type(obj).__name__, "args": [to_json(a, d) for a in obj.args]}
    attrs = getattr(obj, "__dict__", None)
    if isinstance(attrs, dict) and not isinstance(obj, type):
        # A real object (loaded with trust): the same shape as its placeholder.
        return {"__class__": class_name(obj),
                "attributes": {str(k): to_json(v, d) for k, v in attrs.items()}}
    return {"__repr__": render(obj, width=0)}
