"""Base pickler of the collector.

``Pickler`` writes standard pickles (readable by ``pickle.loads``) and adds
two things to the standard library's pickler:

* ``reducer_override`` (defined by subclasses) is consulted for every object
  that is not of one of the exact built-in types in ``NEVER_OVERRIDDEN``
  (None, bool, int, float, str, bytes, bytearray, list, tuple, dict, set,
  frozenset, PickleBuffer), before any reduction of its own.  Those types are
  written by the pickler's own code, as the C pickler of CPython does; their
  members still go through ``reducer_override``.
* A failure to pickle one object does not fail the dump.  The object is
  replaced by ``failure_reducer(obj)`` (a reduce value), and pickling goes on
  with the next object; what the failed object had already written is rolled
  back (output and memo), so the bytes before and after it stay intact.

Which failures are answered
    Every ``Exception`` raised while one object is saved: raised by
    ``reducer_override``, by the object's own reduction (``__reduce_ex__``,
    a ``dispatch_table`` entry), by the pickler (``PicklingError`` for a class
    or function that cannot be found by name, ``TypeError`` for a C object
    without pickle support) and ``RecursionError`` for nesting deeper than the
    interpreter allows.  The innermost object whose saving failed is the one
    replaced; its container and its siblings are kept.  The argument tuple
    and the state of a reduce value are parts of the object that produced
    it: their failure is that object's failure.  Exceptions that are
    not ``Exception`` subclasses (KeyboardInterrupt, SystemExit, ...) are never
    answered.

    A class or function that a reduce value needs as its callable or as a
    direct argument must be picklable by name: a placeholder there would make
    the loader fail on the whole pickle.  Such a reduce value is refused before
    anything of it is written, and the object that produced it is replaced
    instead.

What is not answered
    With no ``failure_reducer``, every failure propagates out of ``dump``.
    With one, a member whose failure reduction cannot be pickled either is
    written as an ``Omitted`` marker (type and both failures), so that its
    container and siblings are kept; only when this happens to the value
    given to ``dump`` itself does the failure propagate.  It leaves ``dump`` as
    the original failure: ``TypeError`` and exception types of other packages
    (such as those raised by ``reducer_override``) as they were raised; the
    interpreter's own exception types (``PicklingError``, ``RecursionError``,
    ``AttributeError``, ...) as a ``TypeError`` "cannot pickle '<type>'
    object: ..." naming the value's type (chained to the original), so that
    callers have few exception types to handle.

``special_cases``
    A predicate on a class, marking classes whose instances are known to hold
    members that cannot be pickled (sessions holding engines, weak
    references, locks) and inside which pickling must go on past those
    members.  Member-level recovery already does this for every object: a
    member's failure never fails the object holding it.  The predicate is
    therefore accepted and kept as ``self.special_cases`` but changes nothing
    further.

Speed
    The first attempt runs CPython's C pickler with a hook that answers
    failures raised by ``reducer_override`` and by the objects' own reductions.
    Only when the C pickler itself fails (a global that cannot be found, a
    recursion error, ...) is the dump redone by a pure-Python pickler that can
    roll back individual objects.

Depth
    The C pickler is bounded by the interpreter's recursion limit (it raises
    ``RecursionError``); it is not used while that limit is above
    ``C_PICKLER_MAX_RECURSION_LIMIT``.  The Python pickler also stops at
    ``MAX_FALLBACK_DEPTH`` nested objects (less when the recursion limit
    leaves less room), whatever the recursion limit, so that a raised limit
    cannot exhaust the C stack; an object at that depth is written as an
    ``Omitted`` marker naming its type.

Descriptions
    One dump calls ``failure_reducer`` for at most ``MAX_DESCRIPTIONS``
    objects.  A description's state is pickled in turn and can hold more
    objects that need describing: values computed by getters, class-level
    caches shared by every instance (an address's table of netmasks, each
    entry another address), so that without a bound the size and time of
    one value's pickle grow with the program's shared state.  Every later
    failure in the same dump is written as an ``Omitted`` marker naming the
    object's type.

Exceptions with a Python ``__init__``
    ``BaseException.__reduce__`` rebuilds an exception by calling its class
    with ``args``, which fails at load time for classes whose ``__init__`` takes
    other arguments than those it passes to ``BaseException.__init__``.  Such
    exceptions are reduced through ``copyreg.__newobj__`` instead: loading
    sets ``args`` and ``__dict__`` without running ``__init__``.

Loading
    ``loads`` tries the C unpickler; when it fails, a tolerant loader loads
    the pickle again and puts a ``LoadFailure`` in the place of each object
    that cannot be rebuilt where it is loaded (a module that is missing, a
    constructor or ``__setstate__`` that raises), so that one such object
    does not lose the whole record.
"""

import collections
import copyreg
import io
import pickle
import sys
import weakref
from types import FunctionType, MemberDescriptorType

import _pickle

import corvane_collector  # noqa: F401  (the safe pickler reaches this module through the package)
from corvane_common.utils.import_state import module_loaded

__all__ = ["Pickler", "loads", "dumps", "LoadFailure", "Omitted", "DEFAULT_PROTOCOL",
           "NEVER_OVERRIDDEN", "MAX_FALLBACK_DEPTH", "MAX_DESCRIPTIONS", "load_by_name"]

DEFAULT_PROTOCOL = pickle.DEFAULT_PROTOCOL
HIGHEST_PROTOCOL = pickle.HIGHEST_PROTOCOL
PicklingError = pickle.PicklingError

# Written by the pickler's own code, without consulting reducer_override.
NEVER_OVERRIDDEN = frozenset({
    type(None), bool, int, float, str, bytes, bytearray,
    list, tuple, dict, set, frozenset, pickle.PickleBuffer,
})
# Written as a single opcode: nothing to roll back, nothing to answer.
_SCALARS = frozenset({type(None), bool, int, float, str, bytes})
# Reduce-value parts (arguments, state) that are written as containers.
_PARTS = frozenset({tuple, dict, list})

MAX_FALLBACK_DEPTH = 300
# Objects described by the failure reducer in one dump (see "Descriptions").
MAX_DESCRIPTIONS = 16
# The C pickler's depth is bounded only by the recursion limit; above this
# limit deep nesting could overflow the C stack, so the Python pickler (with
# its own bound) is used instead.
C_PICKLER_MAX_RECURSION_LIMIT = 10000

# Failures of these modules' exception types leave dump as TypeError.
_GENERIC_MODULES = frozenset({"builtins", "pickle", "_pickle", "copyreg"})

_newobj = copyreg.__newobj__
_exception_reduce = BaseException.__reduce__
_object_reduce_ex = object.__reduce_ex__
_object_reduce = object.__reduce__
_c_pickler_init = _pickle.Pickler.__init__

# Classes and functions found to be importable by name, by id (the entry
# keeps the object alive, so the id cannot be reused while it is cached).
_FOUND_BY_NAME = {id(f): f for f in (
    copyreg.__newobj__, copyreg.__newobj_ex__, copyreg._reconstructor,
    object, type, int, str, bytes, bytearray, set, frozenset, list, dict, tuple,
    getattr,
)}
_PERMANENT = len(_FOUND_BY_NAME)
# Types whose default reduction the C pickler may compute by itself: plain
# Python classes that inherit object's reduction.  A wrong guess only costs
# speed: a failure there makes the Python pickler redo the dump.
_NATIVE_TYPES = {}
_CACHE_LIMIT = 4096
_HEAPTYPE = 1 << 9


def _remember(cache, obj):
    if len(cache) >= _CACHE_LIMIT:
        cache.clear()
    cache[id(obj)] = obj


def _is_native(obj_type):
    """Whether instances of ``obj_type`` can be left to the C pickler's
    default reduction (see ``_NATIVE_TYPES``)."""
    try:
        if obj_type.__reduce_ex__ is not _object_reduce_ex or obj_type.__reduce__ is not _object_reduce:
            return False
        if issubclass(obj_type, BaseException):
            return False
        mro = obj_type.__mro__
        if mro[-1] is not object:
            return False
        for cls in mro[:-1]:
            if not cls.__flags__ & _HEAPTYPE:
                return False
            namespace = cls.__dict__
            # Python classes add fields only through __slots__ or __dict__;
            # a C type with its own fields cannot be pickled by default.
            if ("__slots__" not in namespace and "__dict__" not in namespace
                    and cls.__basicsize__ != cls.__base__.__basicsize__):
                return False
        return _global_ok(obj_type)
    except Exception:
        return False


class _CPickler(_pickle.Pickler):
    """C pickler whose ``reducer_override`` is set per instance (a closure)."""


def _global_ok(obj, cached=True):
    """Whether ``obj`` (a class or function) can be pickled by name.

    A positive answer is remembered; ``cached=False`` checks again (the
    Python pickler does, so that a class whose module rebound its name since,
    as reloading does, is refused there rather than written as a placeholder).
    """
    if cached and _FOUND_BY_NAME.get(id(obj)) is obj:
        return True
    try:
        name = obj.__qualname__
        module_name = obj.__module__
    except Exception:
        return False
    if type(name) is not str or "<locals>" in name:
        return False
    if module_name is None or type(module_name) is not str:
        # pickle's own search over sys.modules; rare enough to leave to it
        return True
    module = sys.modules.get(module_name)
    if module is None:
        return False  # the pickler would import it (see _named_reduction)
    try:
        found = _follow_path(module, name)
    except Exception:
        return False
    if found is not obj:
        return False
    if len(_FOUND_BY_NAME) >= _CACHE_LIMIT:
        for key in list(_FOUND_BY_NAME)[_PERMANENT:]:
            del _FOUND_BY_NAME[key]
    _FOUND_BY_NAME[id(obj)] = obj
    return True


def _reduce_value_ok(rv, cached=True):
    """Refuses reduce values whose callable or direct arguments cannot be
    pickled by name (see the module docstring)."""
    if not _global_ok(rv[0], cached):
        return False
    args = rv[1] if len(rv) > 1 else None
    if type(args) is tuple:
        for arg in args:
            if isinstance(arg, type) and not _global_ok(arg, cached):
                return False
    return True


def _follow_path(found, qualname):
    """The object that the dotted ``qualname`` names inside ``found``."""
    for part in qualname.split("."):
        found = getattr(found, part)
    return found


def load_by_name(module_name, qualname):
    """Loads a class or function that was pickled while its module was still
    being imported (see ``_named_reduction``)."""
    import importlib
    return _follow_path(importlib.import_module(module_name), qualname)


_FOUND_BY_NAME[id(load_by_name)] = load_by_name
_PERMANENT += 1


def _named_reduction(obj, module_name, failure_reducer):
    """The reduction of a class or function whose module (or a package above
    it) is not fully loaded.

    ``pickle`` writes such objects by name only after importing their module:
    that would run the module's code, or wait for the thread that is
    importing it, which may be waiting for us.  A module that is still being
    initialised is named without importing it, through ``load_by_name``; an
    object whose module is not loaded at all is answered as a failure.
    """
    try:
        qualname = obj.__qualname__
        if type(qualname) is str and "<locals>" not in qualname:
            module = sys.modules.get(module_name)
            if module is not None and _follow_path(module, qualname) is obj:
                return (load_by_name, (module_name, qualname))
    except Exception as exc:
        return _answer(failure_reducer, obj, exc)
    return _answer(failure_reducer, obj, _not_loaded(obj))


def _not_loaded(obj):
    return PicklingError("Can't pickle %r: its module is not loaded and cannot be imported here" % (obj,))


def _module_name_of(obj):
    """``obj.__module__`` as a str, or None (the pickler then searches
    ``sys.modules`` for it, which imports nothing new)."""
    try:
        module_name = obj.__module__
    except Exception:
        return None
    return module_name if type(module_name) is str else None


class _Describer:
    """The failure reducer of one dump: the real one for the first
    ``MAX_DESCRIPTIONS`` objects, an ``Omitted`` marker for the others."""

    __slots__ = ("reducer", "left")

    def __init__(self, reducer):
        self.reducer = reducer
        self.left = MAX_DESCRIPTIONS

    def __call__(self, obj):
        if self.left <= 0:
            return (Omitted, (_type_text(type(obj)), _NOT_DESCRIBED))
        self.left -= 1
        return self.reducer(obj)


_NOT_DESCRIBED = "not described: the value already holds %d described objects" % MAX_DESCRIPTIONS


def _describer(failure_reducer):
    return None if failure_reducer is None else _Describer(failure_reducer)


def _answer(failure_reducer, obj, exc):
    if failure_reducer is None:
        raise exc
    try:
        return failure_reducer(obj)
    except Exception:
        # The caller learns about the original failure, not the reducer's.
        raise exc from None


# (written by the picklers as type(None) and the like, not by name)
_SINGLETON_TYPES = (type(None), type(NotImplemented), type(Ellipsis))


def _make_hook(owner_override, failure_reducer, dispatch_table, proto, native):
    """The per-object hook shared by both picklers.

    Returns a reduce value, or NotImplemented for objects the pickler writes
    by itself (classes and functions by name).  Failures raised by
    ``reducer_override`` and by the object's own reduction are answered here,
    before anything of the object has been written.
    """

    def hook(obj):
        if owner_override is not None:
            try:
                rv = owner_override(obj)
            except Exception as exc:
                return _answer(failure_reducer, obj, exc)
            if rv is not NotImplemented:
                if type(rv) is tuple and rv and not _reduce_value_ok(rv, native):
                    return _answer(failure_reducer, obj, PicklingError("reduce value of %r refers to an object that "
                                                     "cannot be found by name" % (type(obj),)))
                return rv
        obj_type = type(obj)
        if (native and _NATIVE_TYPES.get(id(obj_type)) is obj_type
                and (not dispatch_table or obj_type not in dispatch_table)):
            return NotImplemented
        if obj_type is FunctionType or isinstance(obj, type):
            module_name = _module_name_of(obj)
            if module_name is not None and not module_loaded(module_name):
                return _named_reduction(obj, module_name, failure_reducer)
            if native and obj not in _SINGLETON_TYPES and not _global_ok(obj):
                # Answered here as the Python pickler answers it: left to the
                # C pickler, its name would fail the whole dump, and the
                # Python pickler would pickle the value again from the start.
                return _answer(failure_reducer, obj,
                               PicklingError("Can't pickle %r: it is not found by name" % (obj,)))
            return NotImplemented
        # Default reduction, computed here so that its failure can be answered.
        try:
            reduce = dispatch_table.get(obj_type)
            if reduce is not None:
                rv = reduce(obj)
            else:
                reduce = getattr(obj, "__reduce_ex__", None)
                if reduce is not None:
                    rv = reduce(proto)
                else:
                    reduce = getattr(obj, "__reduce__", None)
                    if reduce is None:
                        raise PicklingError("Can't pickle %r object: %r" % (obj_type.__name__, obj))
                    rv = reduce()
        except Exception as exc:
            return _answer(failure_reducer, obj, exc)
        if type(rv) is str:
            # written by name: the pickler imports the object's module
            module_name = _module_name_of(obj)
            if module_name is not None and not module_loaded(module_name):
                return _answer(failure_reducer, obj, _not_loaded(obj))
        elif type(rv) is tuple:
            if (rv and rv[0] is obj_type and isinstance(obj, BaseException)
                    and obj_type.__reduce__ is _exception_reduce
                    and obj_type.__reduce_ex__ is _object_reduce_ex
                    and type(getattr(obj_type, "__init__", None)) is FunctionType
                    and len(rv) >= 2 and type(rv[1]) is tuple):
                # Rebuild without running the class's own __init__.
                rv = (_newobj, (obj_type,) + rv[1]) + rv[2:]
            if rv and not _reduce_value_ok(rv, native):
                return _answer(failure_reducer, obj, PicklingError("Can't pickle %r: its class cannot be found by name"
                                                 % (obj_type,)))
            if native and _is_native(obj_type):
                _remember(_NATIVE_TYPES, obj_type)
        return rv

    return hook


class Pickler:
    """Pickler that never fails on a single object (see the module docstring).

    ``Pickler(file, protocol=None, *, fix_imports=True, buffer_callback=None,
    failure_reducer=None, special_cases=None)``; ``file`` is any object with a
    ``write`` method.  ``dump(obj)`` writes one complete pickle to it with a
    single ``write`` call.  Subclasses may define ``reducer_override(obj)``
    and set an instance attribute ``dispatch_table`` (a mapping from type to
    reduction function) that replaces ``copyreg.dispatch_table``.
    """

    def __init__(self, file, protocol=None, *, fix_imports=True, buffer_callback=None,
                 failure_reducer=None, special_cases=None):
        try:
            self._file_write = file.write
        except AttributeError:
            raise TypeError("file must have a 'write' attribute") from None
        if protocol is None:
            protocol = DEFAULT_PROTOCOL
        elif protocol < 0:
            protocol = HIGHEST_PROTOCOL
        elif protocol > HIGHEST_PROTOCOL:
            raise ValueError("pickle protocol must be <= %d" % HIGHEST_PROTOCOL)
        if buffer_callback is not None and protocol < 5:
            raise ValueError("buffer_callback needs protocol >= 5")
        if failure_reducer is not None and not callable(failure_reducer):
            raise TypeError("failure_reducer must be callable")
        if special_cases is not None and not callable(special_cases):
            raise TypeError("special_cases must be callable")
        self.protocol = protocol
        self.fix_imports = fix_imports
        self.buffer_callback = buffer_callback
        self.failure_reducer = failure_reducer
        self.special_cases = special_cases

    def dump(self, obj):
        """Write one complete pickle of ``obj`` to the file."""
        # The exception the caller is handling, if any: failures of this dump
        # have it as context, and it and its tracebacks are the caller's.
        ambient = sys.exc_info()[1]
        dispatch_table = getattr(self, "dispatch_table", None)
        if dispatch_table is None:
            dispatch_table = copyreg.dispatch_table
        owner_override = getattr(self, "reducer_override", None)
        hook = _make_hook(owner_override, _describer(self.failure_reducer), dispatch_table, self.protocol, True)
        if sys.getrecursionlimit() > C_PICKLER_MAX_RECURSION_LIMIT:
            self._file_write(self._dump_fallback(obj, hook, dispatch_table, ambient))
            return
        buffer = io.BytesIO()
        c_pickler = _CPickler.__new__(_CPickler)
        c_pickler.reducer_override = hook
        _c_pickler_init(c_pickler, buffer, self.protocol, fix_imports=self.fix_imports,
                        buffer_callback=self.buffer_callback)
        c_pickler.dispatch_table = dispatch_table
        try:
            c_pickler.dump(obj)
        except Exception as exc:
            _release_failure_frames(exc, ambient)
            c_pickler = buffer = exc = None
            data = self._dump_fallback(obj, hook, dispatch_table, ambient)
        else:
            data = buffer.getvalue()
        self._file_write(data)

    def _dump_fallback(self, obj, hook, dispatch_table, ambient=None):
        # The Python pickler computes every default reduction itself, and
        # describes the objects again from the first.
        failure_reducer = _describer(self.failure_reducer)
        hook = _make_hook(getattr(self, "reducer_override", None), failure_reducer, dispatch_table,
                          self.protocol, False)
        fallback = _FallbackPickler(self.protocol, self.fix_imports, self.buffer_callback,
                                    hook, failure_reducer, dispatch_table)
        try:
            return fallback.run(obj)
        except Exception as exc:
            _release_failure_frames(exc, ambient)
            raise
        finally:
            fallback.memo.clear()

    def clear_memo(self):
        """Kept for interface compatibility: no memo survives a dump."""


_SUSPENDABLE = 0x20 | 0x80 | 0x100 | 0x200  # generator, coroutine, async generator flags


_OWN_FILES = frozenset((__file__, pickle.__file__))


def _release_failure_frames(exc, ambient):
    """Drop the locals of the finished frames in a failure's tracebacks.

    Those frames hold the objects being saved and, through the handlers' own
    variables, the exceptions whose tracebacks hold the frames: reference
    cycles that would keep the caller's objects alive until the next cyclic
    collection.  Only the message of such a failure is ever used.  Only the
    picklers' own frames are cleared, and ``ambient`` (the exception the
    caller was handling when the dump began) and what it leads to are not
    visited: they belong to the caller.  Suspended generator frames are left
    alone (clearing one would close it).
    """
    seen = set()
    pending = [ambient]
    while pending:
        e = pending.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        pending.append(e.__cause__)
        pending.append(e.__context__)
    pending = [exc]
    while pending:
        e = pending.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        tb = e.__traceback__
        while tb is not None:
            frame = tb.tb_frame
            code = frame.f_code
            if code.co_filename in _OWN_FILES and not code.co_flags & _SUSPENDABLE:
                try:
                    frame.clear()
                except RuntimeError:
                    pass  # still running
            tb = tb.tb_next
        pending.append(e.__cause__)
        pending.append(e.__context__)
        if type(e) is _GiveUp:
            # Its original failure is raised with it as context: a cycle.
            pending.append(e.original)
            e.original = None
            e.args = ()


class Omitted:
    """Stands, in a loaded pickle, for an object the pickler left out.

    ``type_text`` is ``str()`` of the object's type, ``reason`` says why: it
    was nested deeper than the pickler goes, or neither it nor its failure
    reduction could be pickled.
    """

    def __init__(self, type_text, reason):
        self.type_text = type_text
        self.reason = reason

    def __eq__(self, other):
        return type(other) is Omitted and (other.type_text, other.reason) == (self.type_text, self.reason)

    def __hash__(self):
        return hash((Omitted, self.type_text, self.reason))

    def __repr__(self):
        return "Omitted(%r, %r)" % (self.type_text, self.reason)


def _type_text(obj_type):
    try:
        text = str(obj_type)
    except Exception:
        text = None
    return text if type(text) is str else "<class of unknown name>"


class _GiveUp(Exception):
    """Internal: carries a failure that is not answered where it happened."""

    def __init__(self, original, obj_type):
        super().__init__(original)
        self.original = original
        self.obj_type = obj_type


class _FallbackPickler(pickle._Pickler):
    """Pure-Python pickler that answers the failure of each object in place.

    Framing is not used (it is optional in protocol 4), so the output is one
    flat buffer and rolling an object back is a truncation.
    """

    def __init__(self, protocol, fix_imports, buffer_callback, hook, failure_reducer, dispatch_table):
        self._out = io.BytesIO()
        super().__init__(self._out, protocol, fix_imports=fix_imports, buffer_callback=buffer_callback)
        self.write = out_write = self._out.write

        # Not a bound method: the pickler must not refer to itself, so that
        # it (and its memo, which holds every object it saved) is freed as
        # soon as the dump is over rather than at the next cyclic collection.
        def write_two(header, payload):
            out_write(header)
            out_write(payload)

        self._write_large_bytes = write_two
        self._hook = hook
        self._failure_reducer = failure_reducer
        self.dispatch_table = dispatch_table
        # ids of reduce-value parts (arguments, state) being saved, with counts
        self._pass_through = {}
        self._depth = 0
        self._max_depth = MAX_FALLBACK_DEPTH

    def run(self, obj):
        # Stop well before the interpreter's limit, so that writing a marker
        # at the deepest level still has frames to work with (about four
        # frames per nesting level).
        frame, used = sys._getframe(), 0
        while frame is not None:
            frame, used = frame.f_back, used + 1
        self._max_depth = max(1, min(MAX_FALLBACK_DEPTH, (sys.getrecursionlimit() - used - 80) // 4))
        if self.proto >= 2:
            self.write(pickle.PROTO + self.proto.to_bytes(1, "little"))
        try:
            self.save(obj)
        except _GiveUp as give_up:
            original = give_up.original
            if isinstance(original, TypeError) or type(original).__module__ not in _GENERIC_MODULES:
                raise original from None
            raise TypeError("cannot pickle '%s' object: %s" % (give_up.obj_type.__qualname__, original)) \
                from original
        self.write(pickle.STOP)
        return self._out.getvalue()

    def save(self, obj, save_persistent_id=True):
        memo_entry = self.memo.get(id(obj))
        if memo_entry is not None:
            self.write(self.get(memo_entry[0]))
            return
        obj_type = type(obj)
        if obj_type in _SCALARS:
            self.dispatch[obj_type](self, obj)
            return
        if self._depth >= self._max_depth:
            self._write_omitted(obj_type, "nested deeper than %d objects" % (self._max_depth,))
            return
        out = self._out
        position = out.tell()
        memo_size = len(self.memo)
        self._depth += 1
        try:
            self._save_object(obj, obj_type)
        except Exception as exc:
            self._rollback(position, memo_size)
            if id(obj) in self._pass_through:
                if type(exc) is _GiveUp:
                    raise
                raise _GiveUp(exc, obj_type) from None
            self._answer(obj, exc)
        finally:
            self._depth -= 1

    def _save_object(self, obj, obj_type):
        if obj_type in NEVER_OVERRIDDEN:
            self.dispatch[obj_type](self, obj)
            return
        rv = self._hook(obj)
        if rv is NotImplemented:
            save_function = self.dispatch.get(obj_type)
            if save_function is not None:
                save_function(self, obj)
            else:
                self.save_global(obj)
            return
        self._save_reduce_value(obj, rv)

    def _save_reduce_value(self, obj, rv):
        if isinstance(rv, str):
            self.save_global(obj, rv)
            return
        if not isinstance(rv, tuple):
            raise PicklingError("reduce value of %r must be a string or tuple" % (type(obj),))
        if not 2 <= len(rv) <= 6:
            raise PicklingError("reduce value of %r must have two to six elements" % (type(obj),))
        # The arguments and the state are parts of this object, not values of
        # their own: a placeholder in their place would break the load, so
        # their failures are this object's failures.
        pass_through = self._pass_through
        parts = [id(part) for part in rv[1:3] if type(part) in _PARTS]
        for part in parts:
            pass_through[part] = pass_through.get(part, 0) + 1
        try:
            self.save_reduce(obj=obj, *rv)
        finally:
            for part in parts:
                count = pass_through.pop(part) - 1
                if count:
                    pass_through[part] = count

    def _write_omitted(self, obj_type, reason):
        # The marker needs two more levels (its class, its argument tuple);
        # the depth bound keeps frames in reserve for that.
        self._max_depth += 3
        try:
            self.save_reduce(Omitted, (_type_text(obj_type), reason))
        finally:
            self._max_depth -= 3

    def _rollback(self, position, memo_size):
        out = self._out
        if out.tell() != position:
            out.seek(position)
            out.truncate()
        memo = self.memo
        for _ in range(len(memo) - memo_size):
            memo.popitem()

    def _answer(self, obj, exc):
        give_up = exc if type(exc) is _GiveUp else _GiveUp(exc, type(obj))
        failure_reducer = self._failure_reducer
        if failure_reducer is None:
            raise give_up
        position = self._out.tell()
        memo_size = len(self.memo)
        try:
            rv = failure_reducer(obj)
            if type(rv) is tuple and rv and not _global_ok(rv[0], False):
                raise PicklingError("failure reduction of %r has a callable that cannot be found "
                                    "by name" % (type(obj),))
            self._save_reduce_value(obj, rv)
            return
        except Exception as second:
            self._rollback(position, memo_size)
            if self._depth <= 1:
                # the value itself: the caller must learn that it failed
                raise give_up from None
            original = give_up.original
            self._write_omitted(type(obj), "cannot be pickled (%s: %s) nor described (%s: %s)" % (
                type(original).__name__, original, type(second).__name__,
                second.original if type(second) is _GiveUp else second))


def dumps(obj, protocol=None, **kwargs):
    """Pickle ``obj`` with a ``Pickler`` and return the bytes."""
    buffer = io.BytesIO()
    Pickler(buffer, protocol, **kwargs).dump(obj)
    return buffer.getvalue()


class LoadFailure:
    """Stands, in a loaded pickle, for an object that could not be rebuilt.

    ``name`` is the dotted name of the callable (class or function) that was
    to rebuild it, ``error`` the text of the failure; items and state that the
    pickle applied to the object are kept in ``items``, ``mapping`` and as
    attributes.
    """

    def __init__(self, name, error):
        self.name = name
        self.error = error
        self.items = []
        self.mapping = {}

    def __call__(self, *args, **kwargs):
        return LoadFailure(self.name, self.error)

    def append(self, item):
        self.items.append(item)

    def extend(self, items):
        self.items.extend(items)

    def add(self, item):
        self.items.append(item)

    def __setitem__(self, key, value):
        self.mapping[key] = value

    def __repr__(self):
        return "LoadFailure(%r, %r)" % (self.name, self.error)


def _name_of(obj):
    if type(obj) is LoadFailure:
        return obj.name
    module = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    if isinstance(module, str) and isinstance(qualname, str):
        return module + "." + qualname
    return repr(type(obj))


def _describe_failure(exc):
    return "%s: %s" % (type(exc).__name__, exc)


class _TolerantUnpickler(pickle._Unpickler):
    """Loads what it can: an object that cannot be rebuilt (missing module,
    constructor or ``__setstate__`` failing) becomes a ``LoadFailure`` and
    the rest of the pickle loads around it."""

    dispatch = dict(pickle._Unpickler.dispatch)

    def find_class(self, module, name):
        try:
            return super().find_class(module, name)
        except Exception as exc:
            return LoadFailure(module + "." + name, _describe_failure(exc))

    def load_reduce(self):
        stack = self.stack
        args = stack.pop()
        func = stack[-1]
        try:
            stack[-1] = func(*args)
        except Exception as exc:
            stack[-1] = self._rebuild_failed(func, args, exc)
    dispatch[pickle.REDUCE[0]] = load_reduce

    def load_newobj(self):
        args = self.stack.pop()
        cls = self.stack.pop()
        try:
            obj = cls.__new__(cls, *args)
        except Exception as exc:
            obj = LoadFailure(_name_of(cls), _describe_failure(exc))
        self.append(obj)
    dispatch[pickle.NEWOBJ[0]] = load_newobj

    def load_newobj_ex(self):
        kwargs = self.stack.pop()
        args = self.stack.pop()
        cls = self.stack.pop()
        try:
            obj = cls.__new__(cls, *args, **kwargs)
        except Exception as exc:
            obj = LoadFailure(_name_of(cls), _describe_failure(exc))
        self.append(obj)
    dispatch[pickle.NEWOBJ_EX[0]] = load_newobj_ex

    def load_build(self):
        stack = self.stack
        state = stack[-1]
        try:
            pickle._Unpickler.load_build(self)
            return
        except Exception:
            pass
        # state was popped by the failed attempt; the instance is on top
        inst = stack[-1]
        slotstate = None
        if isinstance(state, tuple) and len(state) == 2:
            state, slotstate = state
        for values in (state, slotstate):
            if not isinstance(values, dict):
                continue
            for key, value in values.items():
                try:
                    object.__setattr__(inst, key, value)
                except Exception:
                    try:
                        inst.__dict__[key] = value
                    except Exception:
                        pass
    dispatch[pickle.BUILD[0]] = load_build

    def _rebuild_failed(self, func, args, exc):
        if isinstance(func, type) and issubclass(func, BaseException):
            # An exception whose __init__ takes other arguments than its args.
            try:
                return func.__new__(func, *args)
            except Exception:
                pass
        return LoadFailure(_name_of(func), _describe_failure(exc))


def loads(data, *, fix_imports=True, encoding="ASCII", errors="strict", buffers=None):
    """Load a pickle written by ``Pickler`` (any standard pickle).

    The C unpickler is tried first.  When it fails, the pickle is loaded again
    by a tolerant loader that replaces each object it cannot rebuild by a
    ``LoadFailure``; a pickle that is damaged as a stream still raises.
    """
    try:
        return _pickle.loads(data, fix_imports=fix_imports, encoding=encoding, errors=errors,
                             buffers=buffers)
    except Exception:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise
    return _TolerantUnpickler(io.BytesIO(data), fix_imports=fix_imports, encoding=encoding,
                              errors=errors, buffers=buffers).load()


# ---------------------------------------------------------------------------
# Loaders of the values the safe pickler keeps by their state
#
# The safe pickler reads these values' state without running their own
# pickling code (see pickler.pyx); these functions rebuild them at load time
# from that state, again without their pickling methods or validation.  They
# are named by records: keep their names and arguments.

_rebuilt_functions = weakref.WeakSet()


def load_parameter(name, kind, default, annotation):
    """An ``inspect.Parameter`` with these fields (``kind`` is the kind's number)."""
    import inspect
    param = object.__new__(inspect.Parameter)
    for field, value in zip(inspect.Parameter.__slots__,
                            (name, inspect._ParameterKind(kind), default, annotation)):
        inspect.Parameter.__dict__[field].__set__(param, value)
    return param


def load_signature(parameters, return_annotation):
    """An ``inspect.Signature`` of these parameters, in this order."""
    import collections
    import inspect
    import types
    sig = object.__new__(inspect.Signature)
    slots = inspect.Signature.__dict__
    slots["_parameters"].__set__(sig, types.MappingProxyType(
        collections.OrderedDict((param.name, param) for param in parameters)))
    slots["_return_annotation"].__set__(sig, return_annotation)
    return sig


def load_bound_arguments(signature, arguments):
    """An ``inspect.BoundArguments`` of ``signature`` holding ``arguments``."""
    import inspect
    bound = object.__new__(inspect.BoundArguments)
    inspect.BoundArguments.__dict__["_signature"].__set__(bound, signature)
    inspect.BoundArguments.__dict__["arguments"].__set__(bound, arguments)
    return bound


def load_function(module_name, qualname, filename, code_data, magic, free_count):
    """A function of module ``module_name`` made from its compiled code.

    ``code_data`` is the marshalled code object, ``magic`` the bytecode magic
    number of the interpreter that compiled it (marshalled code of another
    version cannot be loaded).  The closure's cells start empty:
    ``set_function_state`` fills them and sets the other attributes.
    """
    import importlib
    import importlib.util
    import marshal
    import types
    if magic != importlib.util.MAGIC_NUMBER:
        raise ValueError("%s: compiled by another Python version" % (qualname,))
    code = marshal.loads(code_data)
    if type(code) is not types.CodeType or len(code.co_freevars) != free_count:
        raise ValueError("%s: not the code of a function with %d free variables" % (qualname, free_count))
    module = sys.modules.get(module_name)
    if module is None:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            # a test module that its runner imported by its directory
            from corvane_collector.host.replay import make_importable
            make_importable(module_name, filename)
            module = importlib.import_module(module_name)
    closure = tuple(types.CellType() for _ in range(free_count)) or None
    func = types.FunctionType(code, module.__dict__, code.co_name, None, closure)
    func.__qualname__ = qualname
    _rebuilt_functions.add(func)
    return func


def is_rebuilt_function(func):
    """Whether ``func`` was made by ``load_function`` (a new object for each load)."""
    return func in _rebuilt_functions


def set_function_state(func, state):
    """Puts a kept function's attributes and closure values in place."""
    state = dict(state)
    cells = state.pop("cells", ())
    namespace = state.pop("__dict__", None)
    for cell, value in zip(func.__closure__ or (), cells):
        if value:
            cell.cell_contents = value[0]
    for name, value in state.items():
        setattr(func, name, value)
    if namespace:
        func.__dict__.update(namespace)


def set_instance_dict(obj, state):
    """Sets a kept instance's dict entries, without the class's ``__setstate__``."""
    if state:
        object.__getattribute__(obj, "__dict__").update(state)


def set_instance_slots(obj, state):
    """Sets a kept instance's dict entries and slots, without the class's methods."""
    namespace, slots = state
    set_instance_dict(obj, namespace)
    members = {}
    for cls in reversed(type(obj).__mro__):
        members.update((k, v) for k, v in cls.__dict__.items() if type(v) is MemberDescriptorType)
    for name, value in slots.items():
        members[name].__set__(obj, value)


def set_defaultdict_state(obj, state):
    """A kept defaultdict subclass's factory, items and attributes, set without its methods."""
    factory, items, attributes = state
    collections.defaultdict.__dict__["default_factory"].__set__(obj, factory)
    dict.update(obj, items)
    set_instance_dict(obj, attributes)


_named_instances = {}
_NAMED_INSTANCES_MAX = 10000


def set_named_instance_dict(obj, state):
    """``set_instance_dict`` for an instance that its module held under its own
    name when it was kept: the loaded copy remembers that name."""
    module_name, qualname, namespace = state
    set_instance_dict(obj, namespace)
    if len(_named_instances) >= _NAMED_INSTANCES_MAX:
        _named_instances.clear()
    _named_instances[id(obj)] = (obj, module_name, qualname)


def instance_name(obj):
    """(module name, qualified name) under which a loaded copy's original was
    its module's, or None."""
    entry = _named_instances.get(id(obj))
    return entry[1:] if entry is not None and entry[0] is obj else None
