"""Replaying recorded calls against the project's current code.

A record is loaded with the standard (trusting) unpickler: its arguments
become real objects of the project's classes, which imports the project's
modules and runs their code. Replay is therefore only for stores the user
trusts.

One replay: the recorded function is looked up in the current code, its
recorded data globals are put in place (and restored afterwards), and it is
called on the rebuilt arguments under the collector's own evaluator. The
evaluator reports the external calls that the function (and the project code
it calls) makes exactly where and as the recorder saw them; each one the
record holds is answered from the record, by the callee's full name and its
order among that callee's calls, and the callee itself is not called. Calls
the recorder never records (stateless built-ins, built-in functions) run for
real. The outcome is then compared with the record.
"""

import contextlib
import ctypes
import functools
import importlib
import importlib.util
import io
import math
import os
import pickle
import signal
import sys
import types

from corvane_collector.data_serialization import corv_pickle
from corvane_common.utils import obj_wrap

REPRODUCED = "reproduced"
DIFFERS = "differs"
NOT_REPLAYABLE = "not replayable"

RECORDER_MODULE = "corvane_collector.data_collection.call_recorder"
SHOWN_WIDTH = 80


class NotReplayable(Exception):
    """The record cannot be replayed; the message says why."""


class ReplayDivergence(BaseException):
    """Raised into the replayed call at an external call the record does not hold.

    A BaseException, so that the replayed code's ``except Exception`` does not
    swallow it.
    """


class ReplayTimeout(BaseException):
    """The replayed call did not end within its time."""


def short(value, width=SHOWN_WIDTH):
    try:
        text = repr(value)
    except Exception as exc:  # noqa: BLE001 - a broken __repr__ must not stop the report
        text = f"<{type(value).__name__} with a failing repr: {type(exc).__name__}>"
    text = " ".join(text.split())
    return text if len(text) <= width else text[:width - 3] + "..."


# -- records ------------------------------------------------------------------

class ExternalOutcome:
    """What one recorded external call gave: a value or an exception."""

    __slots__ = ("name", "raised", "value")

    def __init__(self, name, raised, value):
        self.name = name
        self.raised = raised
        self.value = value

    def __repr__(self):
        return f"{self.name} {'raised' if self.raised else '->'} {short(self.value, 60)}"


_MISSING = object()


def _loadclass(name, *rest):
    from jsonpickle.unpickler import loadclass
    found = loadclass(name, *rest)
    # The stock loader gives None for a name it cannot find, which would
    # pass for a recorded None.
    return found if found is not None else corv_pickle.LoadFailure(name, "not found here")


class _Unpickler(pickle.Unpickler):
    def find_class(self, module, name):
        if module == "jsonpickle.unpickler" and name == "loadclass":
            return _loadclass
        return super().find_class(module, name)


def load(data):
    """A pickle of the recorder's, rebuilt as real objects (imports what it names)."""
    try:
        return _Unpickler(io.BytesIO(data)).load()
    except Exception:  # noqa: BLE001 - load what can be loaded; the rest become LoadFailure
        return corv_pickle.loads(data)


def _field(value, what):
    if value is None:
        return None
    if not isinstance(value, (bytes, bytearray)):
        return value
    try:
        return load(bytes(value))
    except Exception as exc:  # noqa: BLE001
        raise NotReplayable(f"{what} could not be rebuilt: {type(exc).__name__}: {exc}") from None


def _exception_field(value, what):
    exc = _field(value, what)
    return None if exc is None or exc is type(None) else exc


# (a module, kept by name, is imported again: see _resolve_functions)
_DESCRIPTIONS = (corv_pickle.LoadFailure, obj_wrap.UnpicklableObject, obj_wrap.ObjectWrapper,
                 obj_wrap.SpecialWrapper)
_LEAVES = (str, bytes, int, float, complex, bool, type(None), type)


def _is_description(value):
    return isinstance(value, _DESCRIPTIONS)


_METHOD_DESCRIPTORS = (types.MethodDescriptorType, types.WrapperDescriptorType)


def _names_method(value):
    """Whether ``value`` is a method as its class holds it. The recorder names a
    bound method (``[].append``, ``obj.run``) as that, without the object."""
    if isinstance(value, _METHOD_DESCRIPTORS):
        return True
    if type(value) is not types.FunctionType or corv_pickle.is_rebuilt_function(value):
        return False
    owner_name, _, name = value.__qualname__.rpartition(".")
    if not owner_name or "<" in owner_name:
        return False
    owner = sys.modules.get(value.__module__)
    for part in owner_name.split("."):
        owner = getattr(owner, part, None)
    return isinstance(owner, type) and owner.__dict__.get(name) is value


def _first_description(value, depth=0, seen=None, test=_is_description):
    """The first description (an object standing for a value that was not kept) inside
    ``value``, or the first item that ``test`` picks."""
    if depth > 40 or isinstance(value, _LEAVES):
        return None
    if test(value):
        return value
    seen = set() if seen is None else seen
    if id(value) in seen:
        return None
    seen.add(id(value))
    if isinstance(value, dict):
        items = list(value.keys()) + list(value.values())
    elif isinstance(value, (list, tuple, set, frozenset)):
        items = list(value)
    else:
        items = list(_attributes(value).values())  # the instance dict and the slots
    for item in items:
        found = _first_description(item, depth + 1, seen, test)
        if found is not None:
            return found
    return None


def _describe(desc):
    if isinstance(desc, corv_pickle.LoadFailure):
        return f"{desc.name} ({desc.error})"
    if isinstance(desc, obj_wrap.UnpicklableObject):
        return f"an unpicklable {desc.wrapped_type_name()}"
    if isinstance(desc, obj_wrap.ObjectWrapper):
        return f"a {desc.wrapped_type_name()} reduced to the attributes used"
    return f"a reference to {desc.full_name}"


def _resolve_functions(value):
    """Arguments that name functions or modules become them (when they resolve here)."""
    if isinstance(value, obj_wrap.FunctionWrapper):
        func = value.resolve()
        if func is None:
            raise NotReplayable(f"function {value.full_name} named in the arguments no longer exists")
        return func
    if type(value) is obj_wrap.ModuleWrapper:
        module = value.resolve()
        if module is None:
            raise NotReplayable(f"module {value.full_name} named in the arguments cannot be imported")
        return module
    named = corv_pickle.instance_name(value)
    if named is not None:
        return _named_original(value, *named)
    if type(value) is tuple:
        return tuple(_resolve_functions(v) for v in value)
    if type(value) is list:
        value[:] = [_resolve_functions(v) for v in value]
    elif type(value) is dict:
        for k, v in list(value.items()):
            value[k] = _resolve_functions(v)
    return value


def _named_original(value, module_name, qualname):
    """The module's own object for a copy of it (code may compare it by identity),
    given the state it had when recorded (a curry's caches may differ here)."""
    try:
        live = corv_pickle.load_by_name(module_name, qualname)
    except Exception:  # noqa: BLE001 - gone from the module: the copy stands in
        return value
    if type(live) is not type(value):
        return value
    if _attribute_difference(value, live, 0) is not None:
        corv_pickle.set_instance_dict(live, object.__getattribute__(value, "__dict__"))
    return live


class RecordedCall:
    """One recorded call, loaded as real objects.

    ``args``/``kwargs`` are the arguments at entry, ``args_after``/
    ``kwargs_after`` after the call (or None), ``exception`` the exception
    the call raised (None when it returned ``return_value``), ``globals`` the
    globals it used, ``external_calls`` its recorded external calls in order.
    """

    def __init__(self, data, record_id=None, project=None, recorded_project=None):
        self.record_id = record_id
        try:
            rec = load(bytes(data))
        except Exception as exc:  # noqa: BLE001
            raise NotReplayable(f"unreadable record: {type(exc).__name__}: {exc}") from None
        meta = getattr(rec, "function_metadata", None)
        if meta is None or not hasattr(rec, "pre_run_args"):
            raise NotReplayable(f"not a call record: {type(rec).__name__}")
        self.full_name = getattr(meta, "full_name", None)
        self.module = getattr(meta, "module_name", None)
        self.file = getattr(meta, "full_path", None)
        if not isinstance(self.full_name, str) or not isinstance(self.module, str):
            raise NotReplayable("the record does not name its function")
        if getattr(meta, "is_async", False):
            raise NotReplayable("coroutine function")
        make_importable(self.module, self.file, project, recorded_project)
        self.args = _field(rec.pre_run_args, "the arguments")
        self.kwargs = _field(rec.pre_run_kwargs, "the keyword arguments")
        if type(self.args) is not tuple or type(self.kwargs) is not dict:
            raise NotReplayable("the arguments could not be rebuilt")
        self.args_after = _field(rec.post_run_args, "the arguments after the call")
        self.kwargs_after = _field(rec.post_run_kwargs, "the keyword arguments after the call")
        if isinstance(self.args_after, (bytes, bytearray)):
            self.args_after = self.kwargs_after = None  # never serialised: not recorded
        self.return_value = _field(rec.return_value, "the return value")
        self.exception = _exception_field(rec.execption, "the exception")
        globs = _field(getattr(rec, "globals", None), "the globals")
        self.globals = globs if isinstance(globs, dict) else {}
        self.external_calls = []
        self.unfinished = None  # the first external call the record holds no outcome of
        for call in getattr(rec, "external_calls", None) or ():
            cmeta = getattr(call, "function_metadata", None)
            name = getattr(cmeta, "full_name", None)
            what = f"the result of external call {name}"
            if call.execption is None:  # its return callback never came (a coroutine made)
                self.unfinished = self.unfinished or name
            exc = _exception_field(call.execption, what)
            if exc is not None:
                self.external_calls.append(ExternalOutcome(name, True, _as_exception(exc)))
            else:
                self.external_calls.append(ExternalOutcome(
                    name, False, _resolve_functions(_field(call.return_value, what))))

    def replay_problem(self):
        """Why these values cannot drive a replay, or None."""
        for where, value in (("the arguments", self.args), ("the keyword arguments", self.kwargs)):
            found = _first_description(value)
            if isinstance(found, corv_pickle.LoadFailure):
                return f"the arguments could not be rebuilt: {_describe(found)}"
            if found is not None:
                return f"the record holds descriptions instead of values: {where} hold {_describe(found)}"
            found = _first_description(value, test=_names_method)
            if found is not None:
                module = getattr(found, "__module__", None) or found.__objclass__.__module__
                return (f"{where} name the method {module}.{found.__qualname__}: the object it may have "
                        "been bound to is not in the record")
        if self.unfinished:
            return f"the record holds no outcome of external call {self.unfinished}"
        for call in self.external_calls:
            if call.name is None:
                return "an external call of the record has no name"
            found = None if call.raised else _first_description(call.value)
            if found is not None:
                return ("the record holds descriptions instead of values: the result of "
                        f"{call.name} is {_describe(found)}")
        return None

    def prepared_arguments(self):
        return _resolve_functions(self.args), _resolve_functions(self.kwargs)


def _as_exception(exc):
    """An exception the replay can raise in the callee's place."""
    if isinstance(exc, obj_wrap.ExceptionWrapper):
        cls = exc.resolve_type()
        if cls is not None:
            try:
                real = cls.__new__(cls)
                real.args = exc.exception_args
                for name, value in exc.exception_dunder_dict.items():
                    setattr(real, name, value)
                return real
            except Exception:  # noqa: BLE001 - the wrapper stands in for it
                pass
        return exc
    if isinstance(exc, type) and issubclass(exc, BaseException):
        try:
            return exc()
        except Exception:  # noqa: BLE001
            return exc.__new__(exc)
    if isinstance(exc, BaseException):
        return exc
    return RuntimeError(f"recorded exception {short(exc)}")


# -- finding the function -----------------------------------------------------

def project_root_of(module):
    """The directory a module's top-level package lives in."""
    path = os.path.abspath(getattr(module, "__file__", None) or "")
    depth = module.__name__.count(".") + (1 if os.path.basename(path).startswith("__init__.") else 0)
    root = os.path.dirname(path)
    for _ in range(depth):
        root = os.path.dirname(root)
    return root


def load_main_module(path):
    """A script recorded as ``__main__``, loaded under a name of its own (its main block does not run)."""
    name = "__corvane_replay_main__"
    if name in sys.modules and getattr(sys.modules[name], "__file__", None) == path:
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


def current_path(path, project=None, recorded_project=None):
    """Where a file recorded in ``recorded_project`` is in ``project``."""
    if not isinstance(path, str) or not path:
        return None
    if project and os.path.isabs(path) and path.startswith(project.rstrip(os.sep) + os.sep):
        return path  # replayed in the tree it was recorded in
    if project and recorded_project and path.startswith(recorded_project.rstrip(os.sep) + os.sep):
        return os.path.join(project, os.path.relpath(path, recorded_project))
    if project and not os.path.isabs(path):
        return os.path.join(project, path)
    return path


def make_importable(module, file, project=None, recorded_project=None):
    """Puts on sys.path the directory a recorded module was imported from, when its name alone
    does not find it (test modules that a test runner imported by their directory)."""
    if not module or module == "__main__" or module in sys.modules:
        return
    try:
        if importlib.util.find_spec(module) is not None:
            return
    except Exception:  # noqa: BLE001 - a parent package that does not import: try the file
        pass
    path = current_path(file, project, recorded_project)
    if not path or not os.path.isfile(path):
        return
    root = os.path.dirname(os.path.abspath(path))
    for _ in range(module.count(".") + (1 if os.path.basename(path).startswith("__init__.") else 0)):
        root = os.path.dirname(root)
    if root not in sys.path:
        sys.path.append(root)


def find_function(call, project=None, recorded_project=None):
    """The recorded function in the current code (a plain function), or NotReplayable."""
    if call.module == "__main__":
        path = current_path(call.file, project, recorded_project)
        if not path or not os.path.isfile(path):
            raise NotReplayable(f"the script {call.file} no longer exists")
        try:
            module = load_main_module(path)
        except BaseException as exc:  # noqa: BLE001
            raise NotReplayable(f"the script {path} cannot be loaded: {type(exc).__name__}: {exc}") from None
    else:
        try:
            module = importlib.import_module(call.module)
        except BaseException as exc:  # noqa: BLE001
            raise NotReplayable(f"module {call.module} cannot be imported: "
                                f"{type(exc).__name__}: {exc}") from None
    qualname = call.full_name[len(call.module) + 1:] if call.full_name.startswith(call.module + ".") \
        else call.full_name
    obj = module
    for part in qualname.split("."):
        obj = getattr(obj, part, _MISSING) if isinstance(obj, (type, types.ModuleType)) else _MISSING
        if obj is _MISSING:
            raise NotReplayable(f"function no longer exists: {call.full_name}")
    if isinstance(obj, (staticmethod, classmethod)):
        obj = obj.__func__
    if isinstance(obj, types.MethodType):  # a classmethod looked up on its class
        obj = obj.__func__
    if not isinstance(obj, types.FunctionType):
        raise NotReplayable(f"{call.full_name} is no longer a Python function")
    if obj.__code__.co_flags & (0x80 | 0x100 | 0x200):  # coroutine, iterable coroutine, async generator
        raise NotReplayable("coroutine function")
    return obj


# -- comparing ----------------------------------------------------------------

def _type_name(cls):
    return f"{getattr(cls, '__module__', '?')}.{getattr(cls, '__qualname__', getattr(cls, '__name__', '?'))}"


def _value_type_name(value):
    if isinstance(value, (obj_wrap.ObjectWrapper, obj_wrap.UnpicklableObject)):
        return value.wrapped_type_name()
    return _type_name(type(value))


def _has_own_eq(value):
    return type(value).__eq__ is not object.__eq__


def _equal_to_itself(value):
    try:
        return bool(value == value)
    except Exception:  # noqa: BLE001 - a failing __eq__ tells nothing either
        return False


def _attributes(value):
    if isinstance(value, (obj_wrap.ObjectWrapper, obj_wrap.UnpicklableObject)):
        return value.wrapped_attributes()
    attrs = {}
    d = getattr(value, "__dict__", None)
    if isinstance(d, dict):
        attrs.update(d)
    for cls in type(value).__mro__:
        for slot in cls.__dict__.get("__slots__", ()) if isinstance(cls.__dict__.get("__slots__", ()), (tuple, list)) else ():
            if slot not in ("__dict__", "__weakref__") and hasattr(value, slot):
                attrs.setdefault(slot, getattr(value, slot))
    return attrs


def difference(recorded, replayed, depth=0):
    """None when the replayed value matches the recorded one, else what differs."""
    if recorded is replayed or depth > 60:
        return None
    if isinstance(recorded, (obj_wrap.ObjectWrapper, obj_wrap.UnpicklableObject)):
        # Only what was kept of the object can be compared.
        if _value_type_name(recorded) != _value_type_name(replayed):
            return f"a {_value_type_name(replayed)} instead of a {_value_type_name(recorded)}"
        if isinstance(recorded, obj_wrap.UnpicklableObject):
            return None  # what could be read of it (frames, handles...) says nothing stable
        mine = _attributes(replayed)
        for name, value in recorded.wrapped_attributes().items():
            if name not in mine:
                return f"attribute {name} is missing"
            found = difference(value, mine[name], depth + 1)
            if found:
                return f".{name}: {found}"
        return None
    if isinstance(recorded, BaseException) or isinstance(replayed, BaseException):
        return exception_difference(recorded, replayed, depth)
    if type(recorded) is not type(replayed):
        return f"{short(replayed)} instead of {short(recorded)}"
    if isinstance(recorded, float):
        if math.isnan(recorded) and math.isnan(replayed):
            return None
        return None if recorded == replayed else f"{short(replayed)} instead of {short(recorded)}"
    if isinstance(recorded, (list, tuple)):
        if len(recorded) != len(replayed):
            return f"{len(replayed)} items instead of {len(recorded)}: {short(replayed)} instead of {short(recorded)}"
        for i, (a, b) in enumerate(zip(recorded, replayed)):
            found = difference(a, b, depth + 1)
            if found:
                return f"[{i}]: {found}"
        return None
    if isinstance(recorded, dict):
        if set(map(_key, recorded)) != set(map(_key, replayed)):
            return f"keys {short(list(replayed))} instead of {short(list(recorded))}"
        mine = {_key(k): v for k, v in replayed.items()}
        for k, v in recorded.items():
            found = difference(v, mine[_key(k)], depth + 1)
            if found:
                return f"[{short(k, 30)}]: {found}"
        return None
    try:
        if bool(recorded == replayed):
            return None
    except Exception:  # noqa: BLE001 - a failing __eq__ falls back to the attributes
        pass
    if type(recorded) is types.FunctionType and type(replayed) is types.FunctionType:
        return _function_difference(recorded, replayed, depth)
    if _has_own_eq(recorded) and not isinstance(recorded, type):
        # Functions kept by their code and objects without an __eq__ of
        # their own load as new objects: an __eq__ that compares such members
        # by identity (a partial application's function, a module spec's
        # loader) never holds, so the attributes are compared instead, as
        # for objects without an __eq__. So are they for an __eq__ that does
        # not hold even for the value itself: it tells nothing.
        if _equal_to_itself(recorded) and not (
                _holds_identity_compared(recorded) and _attributes(recorded)
                and _attribute_difference(recorded, replayed, depth) is None):
            return f"{short(replayed)} instead of {short(recorded)}"
    if isinstance(recorded, type) or callable(recorded) and not _attributes(recorded):
        # Classes and functions: the same name is the same thing.
        same = _type_name(recorded) == _type_name(replayed)
        return None if same else f"{short(replayed)} instead of {short(recorded)}"
    # No meaningful __eq__: compare what pickling keeps, the attributes.
    return _attribute_difference(recorded, replayed, depth)


def _attribute_difference(recorded, replayed, depth):
    a, b = _attributes(recorded), _attributes(replayed)
    if set(a) != set(b):
        return f"attributes {sorted(b)} instead of {sorted(a)}"
    for name in a:
        found = difference(a[name], b[name], depth + 1)
        if found:
            return f".{name}: {found}"
    return None


def _function_difference(recorded, replayed, depth):
    """Functions match when they are the same function by name, or (kept by their
    code) have the same code, defaults, closure values and attributes."""
    if _type_name(recorded) != _type_name(replayed):
        return f"{short(replayed)} instead of {short(recorded)}"
    if not (corv_pickle.is_rebuilt_function(recorded) or corv_pickle.is_rebuilt_function(replayed)):
        return None  # the same name is the same function
    if recorded.__code__ != replayed.__code__:
        return f"{short(replayed)} has other code than the recorded {short(recorded)}"
    if not _cells_full(recorded, replayed):
        return f"the closure of {short(replayed)} is not the recorded one"
    cells = [[c.cell_contents for c in f.__closure__ or ()] for f in (recorded, replayed)]
    for what, a, b in (("defaults", recorded.__defaults__, replayed.__defaults__),
                       ("keyword defaults", recorded.__kwdefaults__, replayed.__kwdefaults__),
                       ("closure values", cells[0], cells[1]),
                       ("attributes", recorded.__dict__, replayed.__dict__)):
        found = difference(a, b, depth + 1)
        if found:
            return f"{what} of {short(replayed)}: {found}"
    return None


def _cells_full(*funcs):
    try:
        for f in funcs:
            for c in f.__closure__ or ():
                c.cell_contents  # noqa: B018 - an empty cell raises
        return len(funcs[0].__closure__ or ()) == len(funcs[1].__closure__ or ())
    except ValueError:
        return False


def _holds_identity_compared(value, depth=0):
    """Whether ``value``'s members (a few levels down) include a function kept by its
    code or an object that compares by identity."""
    if type(value) is types.FunctionType:
        return corv_pickle.is_rebuilt_function(value)
    if depth > 3 or isinstance(value, _LEAVES):
        return False
    if isinstance(value, (list, tuple, set, frozenset)):
        items = value
    elif isinstance(value, dict):
        items = value.values()
    elif isinstance(value, functools.partial):
        items = [value.func, *value.args, *value.keywords.values()]
    elif depth and type(value).__eq__ is object.__eq__ and not callable(value):
        return True
    else:
        items = _attributes(value).values()
    return any(_holds_identity_compared(item, depth + 1) for item in items)


def _key(k):
    try:
        hash(k)
        return k
    except TypeError:
        return repr(k)


def _exception_type_name(exc):
    if isinstance(exc, obj_wrap.ExceptionWrapper):
        name = exc.exception_full_name
    else:
        name = _type_name(exc if isinstance(exc, type) else type(exc))
    return name[len("builtins."):] if isinstance(name, str) and name.startswith("builtins.") else name


def _exception_args(exc):
    if isinstance(exc, obj_wrap.ExceptionWrapper):
        return tuple(exc.exception_args)
    if isinstance(exc, type):
        return None
    return tuple(getattr(exc, "args", ()))


def exception_difference(recorded, replayed, depth=0):
    if not isinstance(replayed, BaseException) and not isinstance(replayed, obj_wrap.ExceptionWrapper):
        return f"{short(replayed)} instead of {short(recorded)}"
    if not (isinstance(recorded, (BaseException, type))):
        return f"{short(replayed)} instead of {short(recorded)}"
    if _exception_type_name(recorded) != _exception_type_name(replayed):
        return f"{_exception_type_name(replayed)} instead of {_exception_type_name(recorded)}"
    mine, theirs = _exception_args(replayed), _exception_args(recorded)
    if mine is None or theirs is None:  # the recorder kept only the class
        return None
    found = difference(list(theirs), recorded_form(list(mine)), depth + 1)
    return f"arguments {short(mine)} instead of {short(theirs)}" if found else None


def recorded_form(value):
    """``value`` as a record would hold it: pickled by the collector's serializer and loaded back."""
    from corvane_collector.configs.run_settings import CollectorSettings
    try:
        return load(CollectorSettings.serializer.serialize(value, obj_wrap=False))
    except Exception:  # noqa: BLE001 - compare the live value then
        return value


def shown_pair(replayed, recorded, width=SHOWN_WIDTH):
    """Both values shortly, cut around where their texts first differ."""
    a, b = short(replayed, 1 << 20), short(recorded, 1 << 20)
    if len(a) <= width and len(b) <= width:
        return a, b
    same = 0
    while same < min(len(a), len(b)) and a[same] == b[same]:
        same += 1
    start = max(0, same - 20)

    def cut(text):
        return ("..." if start else "") + text[start:start + width] + \
            ("..." if len(text) > start + width else "")
    return cut(a), cut(b)


def outcome_differences(call, result, raised, args, kwargs):
    """What differs between a replay's outcome and the record, as short texts (empty: nothing)."""
    # Every value is taken in its recorded form before any of them is shown:
    # a __repr__ may change its object (the site module's license printers
    # load their text on the first one), and the arguments may hold the result.
    args_form = recorded_form(args) if call.args_after is not None else None
    kwargs_form = recorded_form(kwargs) if isinstance(call.kwargs_after, dict) and call.kwargs_after \
        else None
    result_form = recorded_form(result) if call.exception is None and raised is None else None
    found = []
    if call.exception is not None:
        if raised is None:
            found.append(f"returned {short(result)}, recorded raised {short(call.exception)}")
        else:
            diff = exception_difference(call.exception, raised)
            if diff:
                found.append(f"raised {short(raised)}, recorded raised {short(call.exception)}")
    elif raised is not None:
        found.append(f"raised {short(raised)}, recorded returned {short(call.return_value)}")
    else:
        diff = difference(call.return_value, result_form)
        if diff:
            mine, theirs = shown_pair(result, call.return_value)
            found.append(f"returned {mine}, recorded {theirs}"
                         + ("" if diff.endswith(f"instead of {short(call.return_value)}") else f" ({diff})"))
    if args_form is not None:
        diff = difference(call.args_after, args_form)
        if diff:
            found.append(f"arguments after the call differ: {diff}")
    if kwargs_form is not None:
        diff = difference(call.kwargs_after, kwargs_form)
        if diff:
            found.append(f"keyword arguments after the call differ: {diff}")
    return found


# -- answering external calls ---------------------------------------------------

class ExternalAnswers:
    """Answers one replay's external calls from the record.

    ``handlers`` maps a callee's full name to a callable that gives the next
    outcome (by default: the recorded outcomes in order); ``divergence`` is the
    first external call that could not be answered.
    """

    def __init__(self, external_calls, handlers=None):
        self.handlers = handlers if handlers is not None else _outcome_handlers(external_calls)
        self.recorded = {}
        for c in external_calls:
            self.recorded[c.name] = self.recorded.get(c.name, 0) + 1
        self.made = {}
        self.divergence = None

    def unmade(self):
        """The first callee the replay called fewer times than the record holds, as a text, or None."""
        for name, count in self.recorded.items():
            made = self.made.get(name, 0)
            if made < count:
                return f"external call {name} made {made} times, the record holds {count}"
        return None

    def answer(self, name):
        """(raised, value) for the next call of ``name``."""
        count = self.made.get(name, 0) + 1
        self.made[name] = count
        handler = self.handlers.get(name)
        if handler is None:
            return self._diverge(f"external call {name} is not in the record")
        try:
            return False, handler()
        except StopIteration:
            return self._diverge(f"external call {name} made {count} times, "
                                 f"the record holds {count - 1}")
        except BaseException as exc:  # noqa: BLE001 - the recorded exception
            return True, exc

    def _diverge(self, text):
        if self.divergence is None:
            self.divergence = text
        return True, ReplayDivergence(text)


def _outcome_handlers(external_calls):
    queues = {}
    for c in external_calls:
        queues.setdefault(c.name, []).append(c)

    def handler(queue):
        it = iter(queue)

        def next_outcome():
            c = next(it)
            if c.raised:
                raise c.value
            return c.value
        return next_outcome
    return {name: handler(q) for name, q in queues.items()}


class _Hooks:
    """The callbacks the evaluator calls during a replay (the recorder's names)."""

    def __init__(self):
        self.answers = None      # ExternalAnswers of the replay in progress
        self.armed = False       # the next sampled call is the replayed one
        self.entered = False
        self.token = object()
        self.answer_type = type("ExternalAnswer", (tuple,), {"__slots__": ()})
        from corvane_collector.data_collection import call_recorder, metadata_probe
        self._extract = metadata_probe.MetadataProbe.extract_function_metadata
        self._should_skip = call_recorder.should_skip_external_function

    def module(self):
        m = types.ModuleType(RECORDER_MODULE)
        for name in ("record_user_function_call", "record_user_function_return_value",
                     "record_user_async_function_return_value", "record_return_value_async",
                     "record_external_call", "record_external_return_value",
                     "record_async_external_return_value", "load_attr_hook", "load_global_hook"):
            setattr(m, name, getattr(self, name, self._nothing))
        return m

    @staticmethod
    def _nothing(*args, **kwargs):
        return None

    def record_user_function_call(self, *args, **kwargs):
        if self.armed and not self.entered:
            self.entered = True
            return self.token
        return None

    def record_user_function_return_value(self, value, token, cur_exc=None):
        if token is self.token:
            self.entered = False
            self.armed = False
        return None

    record_user_async_function_return_value = record_user_function_return_value

    def external_name(self, call, is_python):
        """The full name the recorder gives this callee, or None when it does not record it."""
        meta, for_recording = self._extract(call, True, True)
        if not for_recording:
            return None
        name = meta.full_name
        if self._should_skip(name, meta.module_name, is_python):
            return None
        for suffix in ("__enter__", "__exit__"):
            if isinstance(name, str) and name.endswith("." + suffix):
                try:
                    func = getattr(call.__self__.__class__, suffix)
                    name = self._extract(func, True, True)[0].full_name
                except Exception:  # noqa: BLE001 - the recorder keeps the name then too
                    pass
        return name

    def record_external_call(self, call, is_python=False):
        answers = self.answers
        if answers is None or not self.entered:
            return None
        try:
            name = self.external_name(call, is_python)
        except Exception:  # noqa: BLE001 - the recorder would not have recorded it either
            return None
        if name is None:
            return None
        return self.answer_type(answers.answer(name))


_hooks = None
_interceptor = None
_project_files = {}


def prepare(project_root):
    """Loads what replays need once (before forking children); returns the callbacks."""
    global _hooks, _interceptor
    from corvane_collector import starter
    from corvane_collector.configs.run_settings import CollectorSettings
    if _hooks is None:
        CollectorSettings.serializer  # noqa: B018 - made once, here, not in every child
        import interceptor
        hooks = _Hooks()
        lib = ctypes.CDLL(interceptor.__file__)
        ctypes.c_void_p.in_dll(lib, "g_external_answer_type").value = id(hooks.answer_type)
        _hooks, _interceptor = hooks, interceptor
    if project_root not in _project_files:
        _project_files[project_root] = frozenset(starter.find_project_files(project_root))
    return _hooks


def _install(project_root, target_file=None):
    """Puts the collector's evaluator in place with the replay callbacks."""
    from corvane_collector.configs.run_settings import CollectorSettings
    hooks = prepare(project_root)
    files = _project_files[project_root]
    if target_file and target_file not in files:
        # The module was imported under a spelling of its path that the
        # project walk did not produce (such as "dir/./pkg/mod.py").
        files = _project_files[project_root] = files | {target_file}
    CollectorSettings.project_files = files
    CollectorSettings.project_path = project_root
    saved = sys.modules.get(RECORDER_MODULE)
    sys.modules[RECORDER_MODULE] = hooks.module()
    try:
        _interceptor.apply(files, 1.0)
    finally:
        if saved is not None:
            sys.modules[RECORDER_MODULE] = saved
    return hooks


def globals_to_put(namespace, recorded_globals):
    """The recorded data globals that differ from what the module holds now.

    A global that still holds what was recorded stays the module's own
    object: a sentinel compared by identity (a default argument's value)
    would not be its loaded copy.
    """
    put = {}
    for name, value in recorded_globals.items():
        if not isinstance(name, str) or name not in namespace or not _is_data(value):
            continue
        if difference(value, recorded_form(namespace[name])) is not None:
            put[name] = value
    return put


@contextlib.contextmanager
def globals_in_place(func, recorded_globals):
    """The recorded data globals of the function's module, restored afterwards."""
    namespace = func.__globals__
    saved = {}
    for name, value in globals_to_put(namespace, recorded_globals).items():
        saved[name] = namespace[name]
        namespace[name] = value
    try:
        yield
    finally:
        namespace.update(saved)


def _is_data(value):
    if isinstance(value, (types.ModuleType, type, types.FunctionType, types.BuiltinFunctionType,
                          obj_wrap.FunctionWrapper, obj_wrap.ModuleWrapper, obj_wrap.ObjectWrapper,
                          obj_wrap.UnpicklableObject, obj_wrap.SpecialWrapper,
                          corv_pickle.LoadFailure)):
        return False
    return not callable(value) and _first_description(value) is None


@contextlib.contextmanager
def answering(external_calls, project_root, handlers=None, target=None):
    """External calls made by the next call of a project function are answered from the record.

    ``target``, the function to be called, makes sure its file counts as the project's.
    """
    hooks = _install(project_root, getattr(getattr(target, "__code__", None), "co_filename", None))
    answers = ExternalAnswers(external_calls, handlers)
    hooks.answers, hooks.armed, hooks.entered = answers, True, False
    try:
        yield answers
    finally:
        hooks.answers, hooks.armed, hooks.entered = None, False, False
        _interceptor.set_defualt_interpter()


@contextlib.contextmanager
def _time_limit(seconds):
    if not seconds or seconds <= 0 or not hasattr(signal, "setitimer"):
        yield
        return

    def expired(signum, frame):
        raise ReplayTimeout(f"no outcome within {seconds:g} s")
    old = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


class Result:
    """The outcome of replaying one record."""

    def __init__(self, record_id, function, status, reasons=()):
        self.record_id = record_id
        self.function = function
        self.status = status
        self.reasons = list(reasons)

    def to_dict(self):
        return {"id": self.record_id, "function": self.function, "status": self.status,
                "reasons": self.reasons}

    @classmethod
    def from_dict(cls, d):
        return cls(d["id"], d["function"], d["status"], d["reasons"])

    def line(self):
        text = f"#{self.record_id} {self.function or '<unknown function>'}: {self.status}"
        return text + (": " + "; ".join(self.reasons) if self.reasons else "")


def invoke(func, args, kwargs):
    # A frame of its own: only frames that start after the evaluator is in
    # place run under it, so the call must be made from a fresh one.
    return func(*args, **kwargs)


def run_call(call, func, project_root, timeout=None):
    """Replays ``call`` on ``func``; returns (result, raised, args, kwargs, answers)."""
    args, kwargs = call.prepared_arguments()
    result = raised = None
    with globals_in_place(func, call.globals), _time_limit(timeout), \
            answering(call.external_calls, project_root, target=func) as answers:
        try:
            result = invoke(func, args, kwargs)
        except ReplayTimeout:
            raise
        except BaseException as exc:  # noqa: BLE001 - SystemExit and KeyboardInterrupt are outcomes too
            raised = exc
    return result, raised, args, kwargs, answers


def replay_record(data, record_id=None, project=None, recorded_project=None, timeout=None,
                  function=None):
    """Replays one stored record in this process; returns a Result.

    ``function`` is the name the store gives the record, shown when the record is unreadable.
    """
    try:
        call = RecordedCall(data, record_id, project, recorded_project)
        function = call.full_name
        problem = call.replay_problem()
        if problem:
            return Result(record_id, function, NOT_REPLAYABLE, [problem])
        func = find_function(call, project, recorded_project)
        root = project or project_root_of(sys.modules[func.__module__])
        result, raised, args, kwargs, answers = run_call(call, func, root, timeout)
    except NotReplayable as exc:
        return Result(record_id, function, NOT_REPLAYABLE, [str(exc)])
    except ReplayTimeout as exc:
        return Result(record_id, function, DIFFERS, [f"did not return: {exc}"])
    except Exception as exc:  # noqa: BLE001 - rebuilding the arguments ran the project's code
        return Result(record_id, function, NOT_REPLAYABLE,
                      [f"the arguments could not be rebuilt: {type(exc).__name__}: {short(exc)}"])
    if answers.divergence:
        return Result(record_id, function, DIFFERS, [answers.divergence])
    found = outcome_differences(call, result, raised, args, kwargs)
    unmade = answers.unmade()
    if unmade:
        found.append(unmade)
    return Result(record_id, function, DIFFERS if found else REPRODUCED, found)
