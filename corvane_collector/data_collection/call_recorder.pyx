"""Callbacks of the call recorder.

The replacement frame evaluator calls these functions around sampled calls of
project functions (entry and return), around the external calls such a call
makes, and at the global and attribute loads of recorded code.  They build the
call records, complete them, deliver them to the data channel and report what
happened on the metrics channel.  Nothing here may raise into the user's code:
the evaluator discards whatever escapes, so the failures this module expects
are turned into metric reports.
"""

from cpython.ref cimport PyObject, Py_XDECREF
from cpython.object cimport PyTypeObject
cimport cython

cdef extern from "Python.h":
    void PyErr_Fetch(PyObject** ptype, PyObject** pvalue, PyObject** ptraceback)
    int PyType_IsSubtype(PyTypeObject* a, PyTypeObject* b)
    PyTypeObject* Py_TYPE(object o)
    Py_ssize_t PyUnicode_GetLength(object o) except -1
    Py_ssize_t PyBytes_GET_SIZE(object o)
    Py_ssize_t Py_SIZE(object o)
    bint PyType_SUPPORTS_WEAKREFS(PyTypeObject* t)
    ctypedef PyObject* (*PyCFunction)(PyObject*, PyObject*)
    ctypedef struct PyMethodDef:
        const char* ml_name
        PyCFunction ml_meth
        int ml_flags
        const char* ml_doc
    int METH_VARARGS
    int METH_KEYWORDS
    object PyCFunction_NewEx(PyMethodDef* ml, PyObject* self, object module)
    object PyLong_FromVoidPtr(void* p)
    void* PyLong_AsVoidPtr(object p) except? NULL
    long PyLong_AsLongAndOverflow(object p, int *overflow) except? -1
    ctypedef PyObject* (*_getattrofunc "getattrofunc")(PyObject*, PyObject*)
    ctypedef struct _TypeHead "PyTypeObject":
        unsigned long tp_flags
        unsigned int tp_version_tag
        _getattrofunc tp_getattro
        Py_ssize_t tp_basicsize
        Py_ssize_t tp_itemsize
        PyTypeObject* tp_base
        PyObject* tp_mro
    PyObject* PyObject_GenericGetAttr(PyObject*, PyObject*)
    PyObject* PyImport_GetModuleDict()
    bint PyModule_Check(object o)
    PyObject** _PyObject_GetDictPtr "corv_dict_ptr" (object)   # (corv_dict_table.h)
    unsigned long Py_TPFLAGS_VALID_VERSION_TAG
    unsigned long PyThread_get_thread_ident()
    object PyLong_FromUnsignedLong(unsigned long v)
    int PyUnicode_Tailmatch(object s, object substr, Py_ssize_t start, Py_ssize_t end,
                            int direction) except -1
    Py_ssize_t PY_SSIZE_T_MAX
    Py_ssize_t PyUnicode_GET_LENGTH(object o)
    Py_UCS4 PyUnicode_READ_CHAR(object o, Py_ssize_t index)
    PyObject* PyDict_GetItemWithError(object d, object key) except? NULL
    int PySet_Add(object s, object key) except -1
    int PySet_Contains(object s, object key) except -1

import builtins
import collections
import functools
import gc
import threading
import types
from typing import Callable, Any, Tuple, Dict, Union, Optional
from pympler import asizeof
from corvane_collector.data_collection.deep_measure import RuleSizer
from corvane_collector.exceptions import ProblematicPickleException
from corvane_collector.data_collection.metrics import (
    ExternalFunction, Unpicklable, UnpicklableReasons, CollectorFailure, FailureReasons,
    CollectionTry, CollectionSuccess, LimitFailure, LimitReasons)
from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection.call_trail import CallTrail, CallTrailTracker
from corvane_collector.data_collection.call_model import ExternalFunctionCall, UserFunctionCall, FunctionCall
from corvane_collector.data_collection.metadata_probe import MetadataProbe, send_metric_report
from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_common.consts.mock_policy import MockPolicyConsts

STATELESS_EXTERNAL_FULL_NAMES = MockPolicyConsts.STATELESS_EXTERNAL_FULL_NAMES
CACHED_NONE_EXTERNAL_MODULES = set()
TYPE_ERROR_TYPE_INDEX = 1
PROBLEMATIC_PICKLE_TYPE_INDEX = 2
FUNCTION_META_DATA_INDEX = 0
IS_FUNCTION_FOR_RECORDING_INDEX = 1
MAX_STRING_SIZE = 805306368.0  # 768 MiB
__SELF__ = "__self__"
IDS_TO_FOLLOW = set()
CallTrail_thread_id_to_current_call_get = CallTrail.thread_id_to_current_call.get
CallTrail_set_current_running_function = CallTrail.set_current_running_function
threading_get_ident = threading.get_ident
types_MethodType = types.MethodType
FUNCTION_INDEX = 0
EXTRACT_METADATA = MetadataProbe.extract_function_metadata
BLACKLISTED_FUNCTIONS = set()


# The tracker of the recorded call running on this thread.  While the names
# above are still what they were bound to, that is the entry of the shared
# dict under the thread's id (what threading.get_ident returns), read here
# without the two calls; a replaced name is honoured.
cdef object _own_current_call_get = CallTrail_thread_id_to_current_call_get
cdef object _own_get_ident = threading_get_ident
cdef dict _current_calls = CallTrail.thread_id_to_current_call


# The key of the calling thread, kept while the same thread calls: a dict
# lookup under the very key object stored is an identity test, where a fresh
# int would be hashed and compared by value. _tid_stored says whether the
# dict's key for this thread is that object (the stores below make it so).
cdef unsigned long _tid_cached = 0
cdef object _tid_key = None
cdef bint _tid_stored = False


cdef inline object _thread_key():
    global _tid_cached, _tid_key, _tid_stored
    cdef unsigned long tid = PyThread_get_thread_ident()
    if tid != _tid_cached or _tid_key is None:
        _tid_key = PyLong_FromUnsignedLong(tid)
        _tid_cached = tid
        _tid_stored = False
    return _tid_key


# The current call last read or stored, for the thread that did it: it is
# still the dict's entry while the dict's version tag is unchanged (any
# store or removal, by any thread, moves it).
cdef unsigned long long _seen_version = 0
cdef unsigned long _seen_tid = 0
cdef PyObject *_seen_call = NULL    # (held by the dict; NULL: no entry)


cdef inline object _current_call():
    global _seen_version, _seen_tid, _seen_call
    cdef PyObject* found
    cdef unsigned long tid
    if CallTrail_thread_id_to_current_call_get is _own_current_call_get \
            and threading_get_ident is _own_get_ident:
        tid = PyThread_get_thread_ident()
        if _version_of(_current_calls) == _seen_version and tid == _seen_tid:
            found = _seen_call
        else:
            found = PyDict_GetItemWithError(_current_calls, _thread_key())
            _seen_version = _version_of(_current_calls)
            _seen_tid = tid
            _seen_call = found
        return None if found == NULL else <object>found
    return CallTrail_thread_id_to_current_call_get(threading_get_ident(), None)


# ---------------------------------------------------------------------------
# Metric reports

cdef object _send_metric_report = send_metric_report


cdef _send_metric(message_class, tuple fields):
    _send_metric_if(_direct_ready(), message_class, fields)


cdef inline _send_metric_if(bint direct, message_class, tuple fields):
    # (direct: what _direct_ready() said in this same callback)
    if direct and _direct_metric(message_class, fields):
        return
    _send_metric_report(message_class, fields)


cdef _object_type_of(e, index):
    """The class name quoted in a pickling failure's message.

    Messages that do not have the expected quoted part (a TypeError raised by
    arbitrary code, a custom message) still yield a usable description, so
    that the unpicklable report itself never fails.
    """
    try:
        message = str(e)
    except Exception:
        return type(e).__name__
    parts = message.split("'")
    if len(parts) > index:
        return parts[index]
    return message


# ---------------------------------------------------------------------------
# Following objects reached through globals
#
# IDS_TO_FOLLOW and used_attributes are keyed by id(); an id is only
# meaningful while its object lives.  Each followed object therefore gets a
# liveness guard:
# - a weak reference whose callback drops the id from both structures when
#   the object dies, before its memory (and so its id) can be reused;
# - for objects that cannot be weakly referenced, a strong reference held
#   for the recordings that follow the object: each top-level recorded call
#   in progress (the root of a thread's chain of trackers) holds what it
#   followed, and lets go when its tracker is gone, that is when its record
#   was delivered or dropped.  The id is dropped when the last recording
#   holding the object lets go, before the reference is: it cannot be
#   reused while any recording that relies on it is in progress, on any
#   thread, and the program's objects outlive its own use of them only as
#   long as the recording that saw them.  A recording holds at most
#   _HELD_MAX objects and _HELD_BYTES_MAX bytes; beyond that it lets go of
#   the oldest first.
# Built-in containers (list, dict, tuple, ...) are not followed at all: they
# cannot be weakly referenced, holding them would keep their contents alive,
# and attribute reads on them only ever find methods, which the pickler never
# uses (it stores such containers by value).  Large strings, bytes and
# integers are not followed for the same reason.
# Both structures thus only ever hold ids of live objects, and their size is
# bounded by the live followed objects plus what the recordings in progress
# hold.

import weakref as _weakref
from sys import getsizeof as _getsizeof

cdef dict _GUARDS = {}       # id -> weak reference guard, or the object itself
cdef dict _HELD = {}         # id -> [object, bytes counted, recordings holding it]
cdef dict _ROOTS = {}        # id of a root tracker -> its _RootRef
cdef Py_ssize_t _HELD_MAX = 4096
cdef Py_ssize_t _HELD_BYTES_MAX = 8 * 1024 * 1024
cdef Py_ssize_t _HELD_ITEM_MAX = 64 * 1024
cdef Py_ssize_t _CHAIN_MAX = 1000000


class _IdGuard(_weakref.ref):
    __slots__ = ("oid",)


class _RootRef(_weakref.ref):
    # key: id of the tracker; holds: id -> bytes counted, oldest first
    __slots__ = ("key", "holds", "nbytes")


def _forget_dead(guard):
    # Runs from the deallocation of a followed object, on whatever thread drops
    # the last reference; it must never raise.
    global _follow_epoch
    _follow_epoch += 1
    try:
        oid = guard.oid
        if _GUARDS.get(oid) is guard:
            del _GUARDS[oid]
            IDS_TO_FOLLOW.discard(oid)
            used_attributes.pop(oid, None)
    except BaseException:
        pass


cdef _unhold(oid):
    global _follow_epoch
    _follow_epoch += 1
    entry = _HELD.get(oid)
    if entry is None:
        return
    entry[2] -= 1
    if entry[2] > 0:
        return
    # The id goes first: dropping the reference may free the object.
    IDS_TO_FOLLOW.discard(oid)
    used_attributes.pop(oid, None)
    if _GUARDS.get(oid) is entry[0]:
        del _GUARDS[oid]
    del _HELD[oid]


def _recording_done(ref):
    # Runs from the deallocation of a root tracker; it must never raise.
    try:
        if _ROOTS.get(ref.key) is ref:
            del _ROOTS[ref.key]
        holds = ref.holds
        ref.holds = {}
        for oid in list(holds):
            _unhold(oid)
    except BaseException:
        pass


cdef object _current_root():
    """The root tracker of the recording in progress on this thread, or None."""
    tracker = _current_call()
    cdef Py_ssize_t steps = 0
    while tracker is not None:
        caller = tracker.caller_function
        if caller is None:
            return tracker
        tracker = caller
        steps += 1
        if steps > _CHAIN_MAX:
            return None
    return None


cdef bint _hold(obj, oid, Py_ssize_t size) except -1:
    """Hold obj for the recording in progress; False when there is none and
    no other recording holds it."""
    root = _current_root()
    if root is None:
        return oid in _HELD
    key = _id_of(root)
    ref = _ROOTS.get(key)
    if ref is None or ref() is not root:
        ref = _RootRef(root, _recording_done)
        ref.key = key
        ref.holds = {}
        ref.nbytes = 0
        _ROOTS[key] = ref
    holds = ref.holds
    if oid in holds:
        return True
    entry = _HELD.get(oid)
    if entry is None:
        entry = [obj, size, 0]
        _HELD[oid] = entry
        _GUARDS[oid] = obj
    entry[2] += 1
    holds[oid] = entry[1]
    ref.nbytes += entry[1]
    while len(holds) > _HELD_MAX or (ref.nbytes > _HELD_BYTES_MAX and len(holds) > 1):
        oldest = next(iter(holds))
        ref.nbytes -= holds.pop(oldest)
        _unhold(oldest)
    return True


# the interpreter's cache of small ints
cdef long _SMALL_INT_MIN = -5
cdef long _SMALL_INT_MAX = 256


cdef bint _guard(obj, oid) except -1:
    """Give obj a liveness guard; False when obj is not to be followed."""
    cdef type tp = type(obj)
    cdef Py_ssize_t size
    cdef long small
    cdef int overflow = 0
    if obj is None or tp is bool:
        return True  # (see below: never held, never guarded)
    if tp is int:
        small = PyLong_AsLongAndOverflow(obj, &overflow)
        if not overflow and _SMALL_INT_MIN <= small <= _SMALL_INT_MAX:
            return True
    if oid in _HELD:
        return _hold(obj, oid, 0)
    if oid in _GUARDS:
        return True
    if PyType_SUPPORTS_WEAKREFS(<PyTypeObject*>tp):
        guard = _IdGuard(obj, _forget_dead)
        guard.oid = oid
        _GUARDS[oid] = guard
        return True
    # (types by identity: `in` would compare them with ==, which a
    # metaclass may define)
    if tp is list or tp is dict or tp is set or tp is frozenset or tp is tuple \
            or tp is bytearray:
        return False
    if obj is None or tp is bool or (tp is int and _SMALL_INT_MIN <= obj <= _SMALL_INT_MAX):
        # never freed: the interpreter keeps these for its whole life, so
        # their ids cannot pass to another object
        return True
    if tp is str or tp is bytes or tp is int or tp is float or tp is complex:
        size = _getsizeof(obj)
        if size > _HELD_ITEM_MAX:
            return False
    else:
        # The interpreter's own measure: a class's __sizeof__ is user code.
        size = object.__sizeof__(obj)
    return _hold(obj, oid, size)


cdef inline object _id_of(obj):
    # What id() returns, without a call through the builtins.
    return PyLong_FromVoidPtr(<void*>obj)


cdef _follow(obj):
    oid = _id_of(obj)
    if _guard(obj, oid):
        ids = IDS_TO_FOLLOW
        if type(ids) is set:
            PySet_Add(ids, oid)
        else:
            ids.add(oid)


def _followed_count():
    """Number of objects currently followed (for diagnostics and tests)."""
    return len(_GUARDS)


def _held_capacity():
    """How many objects without weak references a recording holds at most."""
    return _HELD_MAX


def _held_count():
    """Number of objects without weak references currently held."""
    return len(_HELD)


def _holding_recordings():
    """Number of recordings in progress that hold objects."""
    return len(_ROOTS)


# ---------------------------------------------------------------------------
# Size guard and delivery

cdef object _FunctionType = types.FunctionType
cdef object _BuiltinFunctionType = types.BuiltinFunctionType
cdef object _MethodType = types.MethodType
cdef object _GeneratorType = types.GeneratorType
cdef object _CoroutineType = types.CoroutineType
cdef object _AsyncGeneratorType = types.AsyncGeneratorType
cdef object _FrameType = types.FrameType
cdef tuple _UNMEASURED_TYPES = (_GeneratorType, _CoroutineType, _AsyncGeneratorType, _FrameType)
try:
    # A module that the import system's lazy loader has not loaded yet is of
    # this class until its first attribute read, which runs the module's body.
    from importlib.util import _LazyModule as _lazy_module_type
    _UNMEASURED_TYPES += (_lazy_module_type,)
except ImportError:
    pass

# Budget of the quick bound below: values of more objects than this are
# measured by the deep measurement itself. (The bound costs some tens of
# nanoseconds an object, the deep measurement some microseconds: a value
# that runs out of budget has wasted a hundredth of its deep measurement.)
cdef Py_ssize_t _QUICK_NODES = 1 << 24


# The deep measurement descends three levels from the value (objects met
# deeper are not counted; objects at the third level count only themselves).
cdef int _MEASURE_LEVELS = 3


cdef Py_ssize_t _scalar_size_bound(obj, type tp) except -1:
    """At least sys.getsizeof(obj), for None and exact bool, int, float,
    complex, str and bytes, worked out from the object's length rather than
    asked of it (that is a call of its __sizeof__ through the interpreter)."""
    cdef Py_ssize_t n
    if tp is str:
        # The header (at most that of a string not made compact), the
        # characters (at most 4 bytes each and a terminator) and the copies
        # a string may cache: UTF-8 (at most 4 bytes a character) and wchar_t.
        n = PyUnicode_GetLength(obj) + 1
        return 96 + 12 * n
    if tp is bytes:
        return 48 + PyBytes_GET_SIZE(obj)
    if tp is int or tp is bool:
        # the header and at most 8 bytes a digit
        n = Py_SIZE(obj)
        if n < 0:
            n = -n
        return 32 + 8 * n
    return 64                              # None 16, float 24, complex 32


def _scalar_bound_of(obj):
    """The quick bound's figure for a scalar (for tests)."""
    return _scalar_size_bound(obj, type(obj))


cdef object _MappingProxyType = types.MappingProxyType
cdef object _partial_type = functools.partial
cdef object _OrderedDict = collections.OrderedDict
cdef object _defaultdict = collections.defaultdict
cdef object _gc_get_referents = gc.get_referents
cdef object _MethodDescriptorType = type(object.__dict__["__sizeof__"])
cdef str _N_SIZEOF = "__sizeof__"
# What the deep measurement reads of an exception, by name.
cdef tuple _EXCEPTION_NAMES = ("args", "filename", "lineno", "msg", "text")
# Built-in types that an object counted but not descended into may derive
# from: the deep measurement takes their sys.getsizeof.
cdef object _FLAT_STATIC = frozenset(
    [object, int, float, complex, str, bytes, tuple, list, dict, set, frozenset]
    + [v for v in vars(builtins).values() if isinstance(v, type) and issubclass(v, BaseException)])
cdef object _BUILTIN_EXCEPTIONS = frozenset(
    v for v in vars(builtins).values() if isinstance(v, type) and issubclass(v, Exception))

# Descriptors of built-in types (str.split, object.__init__, ...): no
# instance dict, nothing the deep measurement descends into.
cdef object _DESCRIPTOR_TYPES = frozenset([
    type(str.split), type(object.__init__), type(object().__str__), type(dict.fromkeys),
    types.GetSetDescriptorType, types.MemberDescriptorType])
cdef object _MISSING = object()

cdef extern from "Python.h":
    PyObject *_PyType_Lookup_ "_PyType_Lookup"(PyTypeObject *tp, PyObject *name)
    ctypedef struct _ListHead "PyListObject":
        Py_ssize_t allocated
    ctypedef struct PyDictObject:
        pass
    Py_ssize_t _PyDict_SizeOf(PyDictObject *d)

cdef extern from "corv_dict_table.h":
    int corv_dict_next(object d, Py_ssize_t *pos, PyObject **key, PyObject **value)

# What sys.getsizeof adds to a collected object's own figure (its collector header).
cdef Py_ssize_t _GC_HEAD = _getsizeof(()) - ().__sizeof__()


cdef inline Py_ssize_t _getsizeof_of(obj, type tp) except -1:
    # sys.getsizeof(obj), worked out as the interpreter works it out for the
    # exact tuples, lists and dicts the quick bound meets most (their size
    # methods' figures and the header), without the call
    if tp is tuple:
        return (<_TypeHead *>tp).tp_basicsize + Py_SIZE(obj) * (<_TypeHead *>tp).tp_itemsize \
            + _GC_HEAD
    if tp is list:
        return (<_TypeHead *>tp).tp_basicsize \
            + (<_ListHead *><PyObject *>obj).allocated * <Py_ssize_t>sizeof(void *) + _GC_HEAD
    if tp is dict:
        return _PyDict_SizeOf(<PyDictObject *>obj) + _GC_HEAD
    return _getsizeof(obj)


def _getsizeof_figure(obj):
    """The quick bound's sys.getsizeof figure for obj (for tests)."""
    return _getsizeof_of(obj, type(obj))


cdef Py_ssize_t _flat_bound(obj, type tp) except -2:
    """At least the deep measurement's figure for an object it counts
    without descending into: sys.getsizeof, for objects whose size method
    is the interpreter's own and whose built-in bases are plain ones (no
    array or extension types, which it sizes otherwise); -1 otherwise."""
    found = _PyType_Lookup_(<PyTypeObject *>tp, <PyObject *>_N_SIZEOF)
    if found == NULL or type(<object>found) is not _MethodDescriptorType:
        return -1
    mro = <object>(<_TypeHead*>tp).tp_mro   # (not __mro__: a metaclass may answer that)
    if type(mro) is not tuple:
        return -1
    for cls in <tuple>mro:
        if not (<_TypeHead*>cls).tp_flags & _HEAPTYPE and cls not in _FLAT_STATIC:
            return -1
    return _getsizeof(obj) + 64


cdef Py_ssize_t _items_bound(mapping, Py_ssize_t* budget, int level) except -2:
    # the keys and values of an exact dict (or OrderedDict), one level down
    cdef Py_ssize_t total = 0
    cdef Py_ssize_t part
    cdef Py_ssize_t pos = 0
    cdef Py_ssize_t n
    cdef PyObject *key_ptr
    cdef PyObject *value_ptr
    if 2 * len(mapping) > budget[0]:
        return -1
    if type(mapping) is dict:
        # (read in place; the key and value are held while they are looked
        # at, and a dict changed meanwhile, by a finalizer, is measured)
        n = len(mapping)
        while corv_dict_next(mapping, &pos, &key_ptr, &value_ptr):
            key = <object>key_ptr
            value = <object>value_ptr
            part = _quick_bound(key, budget, level + 1)
            if part < 0:
                return -1
            total += part
            part = _quick_bound(value, budget, level + 1)
            if part < 0 or len(mapping) != n:
                return -1
            total += part
        return total
    for key, value in (<dict>mapping).items():
        part = _quick_bound(key, budget, level + 1)
        if part < 0:
            return -1
        total += part
        part = _quick_bound(value, budget, level + 1)
        if part < 0:
            return -1
        total += part
    return total


cdef Py_ssize_t _static_bound(obj, type tp, Py_ssize_t* budget, int level) except -2:
    """The quick bound of built-in kinds the deep measurement sizes by rules
    of its own: a mapping proxy (its size and its items), a built-in
    exception (its size and the attributes it reads by name: never its
    traceback, context or cause), functools.partial (its size and its
    instance dict: not its function or arguments, which are no attributes
    of it), a descriptor of a built-in type (its size). -1 for anything else."""
    cdef Py_ssize_t total
    cdef Py_ssize_t part
    cdef bint descend = level < _MEASURE_LEVELS
    cdef PyObject **dict_ptr
    if tp in _DESCRIPTOR_TYPES:
        return _getsizeof(obj) + 64
    if tp is _MappingProxyType:
        referents = _gc_get_referents(obj)
        if len(referents) != 1 or (type(referents[0]) is not dict
                                   and type(referents[0]) is not _OrderedDict):
            return -1
        total = _getsizeof(obj) + 64
        if not descend:
            return total
        part = _items_bound(referents[0], budget, level)
        return -1 if part < 0 else total + part
    if tp in _BUILTIN_EXCEPTIONS:
        total = _getsizeof(obj) + 64
        if not descend:
            return total
        for name in _EXCEPTION_NAMES:
            value = getattr(obj, name, _MISSING)   # members, or the instance dict: no code runs
            if value is _MISSING:
                continue
            part = _quick_bound(value, budget, level + 1)
            if part < 0:
                return -1
            total += part
        return total
    if tp is _partial_type:
        total = _getsizeof(obj) + 64
        if not descend:
            return total
        dict_ptr = _PyObject_GetDictPtr(obj)
        if dict_ptr == NULL or dict_ptr[0] == NULL:
            return total + _getsizeof({}) + 64     # (reading it makes an empty one)
        if type(<object>dict_ptr[0]) is not dict:
            return -1
        part = _quick_bound(<object>dict_ptr[0], budget, level + 1)
        return -1 if part < 0 else total + part
    if not descend:
        return _flat_bound(obj, tp)
    return -1


cdef Py_ssize_t _quick_bound(obj, Py_ssize_t* budget, int level) except -2:
    """An upper bound of the deep size of plain data, or -1.

    Only exact built-in types whose size methods are the interpreter's own,
    and instances of plain classes, are looked at, so no user code runs.
    Each object is over-counted (no sharing is assumed, a margin is added)
    at every place it is met, down to the levels the deep measurement
    descends, so a bound under the limit means that the deep measurement is
    under it too; -1 means "measure".
    """
    cdef type tp = type(obj)
    cdef Py_ssize_t total
    cdef Py_ssize_t part
    cdef bint descend = level < _MEASURE_LEVELS
    budget[0] -= 1
    if budget[0] < 0:
        return -1
    if obj is None or tp is bool or tp is float or tp is complex or tp is int \
            or tp is str or tp is bytes:
        return _scalar_size_bound(obj, tp) + 64
    if tp is _FunctionType or tp is _BuiltinFunctionType or tp is _MethodType or tp is type:
        # code: not counted by the deep measurement
        return 64
    if tp is tuple or tp is list or tp is set or tp is frozenset:
        total = _getsizeof_of(obj, tp) + 64
        if not descend:
            return total
        if len(obj) > budget[0]:
            return -1
        for item in obj:
            part = _quick_bound(item, budget, level + 1)
            if part < 0:
                return -1
            total += part
        return total
    if tp is dict or tp is _OrderedDict or tp is _defaultdict:
        # (the deep measurement sizes the last two as dicts: their items)
        total = _getsizeof_of(obj, tp) + 64
        if not descend:
            return total
        part = _items_bound(obj, budget, level)
        return -1 if part < 0 else total + part
    if not (<_TypeHead*>tp).tp_flags & _HEAPTYPE:
        return _static_bound(obj, tp, budget, level)
    slots = _measured_like_data(tp)
    if slots is None:
        return -1 if descend else _flat_bound(obj, tp)
    # An instance of a plain class: the deep measurement counts the object,
    # its instance dict and slots and what they hold (never the class).
    # (object.__sizeof__(obj), as it works it out)
    total = (<_TypeHead *>tp).tp_basicsize + 64
    if (<_TypeHead *>tp).tp_itemsize > 0:
        total += Py_SIZE(obj) * (<_TypeHead *>tp).tp_itemsize
    if not descend:
        return total
    dict_ptr = _PyObject_GetDictPtr(obj)
    if dict_ptr != NULL and dict_ptr[0] != NULL:
        if type(<object>dict_ptr[0]) is not dict:
            return -1
        part = _quick_bound(<object>dict_ptr[0], budget, level + 1)
        if part < 0:
            return -1
        total += part
    for descriptor in <tuple>slots:
        try:
            value = descriptor.__get__(obj, tp)
        except AttributeError:
            continue                     # an empty slot is not counted
        part = _quick_bound(value, budget, level + 1)
        if part < 0:
            return -1
        total += part
    return total


# Per-type answers of _is_measured_like_data, valid while the type is
# unchanged (its version tag is kept with the answer).
cdef dict _plain_measure_types = {}
cdef object _GetSetDescriptorType = types.GetSetDescriptorType


cdef object _MemberDescriptorType = types.MemberDescriptorType


cdef object _compute_measured_like_data(type tp):
    """None, or the descriptors of the slots the deep measurement reads."""
    if type(tp) is not type:
        return None
    if (<_TypeHead*>tp).tp_getattro != <_getattrofunc>PyObject_GenericGetAttr:
        return None
    mro = tp.__mro__
    if mro[-1] is not object:
        return None
    slots = []
    for cls in mro[:-1]:
        if not (<_TypeHead*>cls).tp_flags & _HEAPTYPE:
            return None
        namespace = cls.__dict__
        # a size method or a class attribute of its own make the bound
        # unsafe (a call method does not: such instances are measured as
        # other instances are)
        if "__sizeof__" in namespace or "__class__" in namespace:
            return None
        found = namespace.get("__dict__")
        if found is not None and type(found) is not _GetSetDescriptorType:
            return None
        names = namespace.get("__slots__")
        if names is not None:
            # The deep measurement reads every name of every __slots__ by
            # attribute access (names with two leading underscores after
            # mangling); only plain names that reach the slot itself are
            # followed here.
            if type(names) is not tuple and type(names) is not list:
                return None
            for name in names:
                if name == "__weakref__" or name == "__dict__":
                    # read under a mangled name that no object has: these
                    # slots add nothing (the instance dict is counted as such)
                    continue
                if type(name) is not str or name.startswith("__"):
                    return None
                descriptor = None
                for owner in mro:
                    if name in owner.__dict__:
                        descriptor = owner.__dict__[name]
                        break
                if type(descriptor) is not _MemberDescriptorType or descriptor.__objclass__ is not cls:
                    return None
                slots.append(descriptor)
        elif cls.__basicsize__ != (<_TypeHead*>(<_TypeHead*>cls).tp_base).tp_basicsize \
                and "__dict__" not in namespace:
            return None
    if issubclass(tp, BaseException):
        return None
    return tuple(slots)


cdef object _measured_like_data(type tp):
    """None, or (for a type whose instances the deep measurement sizes like
    plain data: a Python class without size, attribute or call methods of
    its own) the descriptors of its instances' slots."""
    cdef _TypeHead* head = <_TypeHead*>tp
    key = PyLong_FromVoidPtr(<void*>tp)
    entry = _plain_measure_types.get(key)
    if entry is not None and (<tuple>entry)[0]() is tp \
            and head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
            and head.tp_version_tag == <unsigned int>(<tuple>entry)[1]:
        return (<tuple>entry)[2]
    try:
        answer = _compute_measured_like_data(tp)
    except Exception:
        answer = None
    if head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        if len(_plain_measure_types) >= 4096:
            _plain_measure_types.clear()
        _plain_measure_types[key] = (_weakref.ref(tp), head.tp_version_tag, answer)
    return answer


def is_size_too_big(obj):
    """Whether obj is too large to be recorded (len for str and bytes, deep size otherwise)."""
    return _size_too_big(obj)


cdef object _own_is_size_too_big = is_size_too_big


cdef bint _too_big(obj) except -1:
    # is_size_too_big(obj), called through the module name only when that
    # name has been given another function
    if is_size_too_big is _own_is_size_too_big:
        return _size_too_big(obj)
    if is_size_too_big(obj):
        return True
    return False


# MAX_STRING_SIZE as a C number while the module's globals are unchanged
# (a test or a user may set it; every comparison below reads it anew).
cdef unsigned long long _limit_version = 0
cdef double _limit = 0.0
cdef bint _limit_numeric = False


cdef inline bint _over_limit(Py_ssize_t size) except -1:
    global _limit_version, _limit, _limit_numeric
    if _version_of(_own_globals) != _limit_version:
        value = MAX_STRING_SIZE
        _limit_numeric = type(value) is float or type(value) is int
        if _limit_numeric:
            _limit = value
        _limit_version = _version_of(_own_globals)
    if _limit_numeric:
        return size > _limit
    return size > MAX_STRING_SIZE


cdef bint _size_too_big(obj) except -1:
    cdef type exact = type(obj)
    cdef Py_ssize_t digits
    if obj is None or exact is float or exact is bool:
        # (24 and 32 bytes in the deep measurement)
        return False
    if exact is int:
        # int.__sizeof__: the header (24 bytes) and 4 bytes a digit, rounded
        # up to 8 by the deep measurement
        digits = Py_SIZE(obj)
        if digits < 0:
            digits = -digits
        return _over_limit((24 + 4 * digits + 7) & ~7)
    if isinstance(obj, str):
        # The storage length, not a subclass's __len__: no user code runs here.
        return _over_limit(PyUnicode_GetLength(obj))
    if isinstance(obj, bytes):
        return _over_limit(PyBytes_GET_SIZE(obj))
    cdef type tp = type(obj)
    if tp is int:
        # Same figure as the deep measurement (size rounded up to 8), without
        # its set-up cost on every integer argument.
        return ((int.__sizeof__(obj) + 7) & ~7) > MAX_STRING_SIZE
    # Functions, methods and classes measure 0 in the deep measurement (it
    # does not count code); they are common globals, so skip its set-up.
    if tp is _FunctionType or tp is _BuiltinFunctionType or tp is _MethodType or tp is type:
        return False
    # A module is pickled as its name alone.  Measuring its namespace would
    # also run a module subclass's attribute hook: a lazily loaded module
    # runs its whole body at its first attribute read.
    if PyModule_Check(obj):
        return False
    # The deep measurement reads a generator's or frame's f_locals, which
    # stores a snapshot of the variables on the live frame and so keeps the
    # program's objects alive while it runs; the pickler leaves those
    # variables out too, so the object's own size is what counts.
    if tp is _GeneratorType or tp is _CoroutineType or tp is _AsyncGeneratorType or tp is _FrameType:
        return _getsizeof(obj) > MAX_STRING_SIZE
    # Small plain data: a cheap upper bound settles it; the deep measurement
    # costs tens of microseconds even for a pair of numbers.
    cdef Py_ssize_t budget = _QUICK_NODES
    cdef Py_ssize_t bound = _quick_bound(obj, &budget, 0)
    if bound >= 0 and bound <= MAX_STRING_SIZE:
        return False
    try:
        return _deep_size(obj) > MAX_STRING_SIZE
    except Exception:
        return False


# pympler keeps module-level caches keyed by every class it meets and holding
# it (_claskeys, _typedefs). Left alone they keep the user's classes alive for
# the life of the process and grow without bound with dynamically made
# classes; entries for built-in types are kept for speed.
cdef object _pympler_claskeys = getattr(asizeof, "_claskeys", None)
cdef object _pympler_typedefs = getattr(asizeof, "_typedefs", None)
cdef unsigned long _HEAPTYPE = 1 << 9


def _deep_measure(obj):
    """pympler's deep size to three levels, with a measurer of its own (the
    module-wide one is shared with the program and between threads) that
    does not look into generators, coroutines or frames (reading their
    f_locals stores a snapshot of the variables on the live frame), nor into
    modules not loaded yet by a lazy loader, and that reads attributes by the
    collector's rule (no caching or lazily loading descriptor runs)."""
    sizer = RuleSizer(limit=3)
    sizer.exclude_types(*_UNMEASURED_TYPES)
    try:
        return sizer.asizeof(obj)
    finally:
        sizer.restore()


cdef object _deep_size(object obj):
    cdef Py_ssize_t n_clas = len(_pympler_claskeys) if type(_pympler_claskeys) is dict else -1
    cdef Py_ssize_t n_typedefs = len(_pympler_typedefs) if type(_pympler_typedefs) is dict else -1
    try:
        return _deep_measure(obj)
    finally:
        if n_clas >= 0 and len(_pympler_claskeys) > n_clas:
            for key in list(_pympler_claskeys)[n_clas:]:
                _pympler_claskeys.pop(key, None)
        if n_typedefs >= 0 and len(_pympler_typedefs) > n_typedefs:
            for key in list(_pympler_typedefs)[n_typedefs:]:
                if type(key) is not type or (<unsigned long>key.__flags__) & _HEAPTYPE:
                    _pympler_typedefs.pop(key, None)


# ---------------------------------------------------------------------------
# The direct path
#
# While the names this module calls by are bound to what they were at
# import, and the record and tracker classes, the settings class and the
# serializer are unchanged, a recorded call is built, completed and
# delivered by direct calls: the steps the named functions and methods
# take, in the same order and with the same values, without the calls
# through the interpreter.  What is the same for every call of a function
# (its metadata, the signature already pickled) is made once by the probe
# and kept while the function's code, defaults, annotations and names are
# the very objects it was made from and the probe is unchanged.  Anything
# else takes the named way.

cdef extern from "Python.h":
    ctypedef struct _DictHead "PyDictObject":
        unsigned long long ma_version_tag
    ctypedef struct _FunctionFields "PyFunctionObject":
        PyObject *func_code
        PyObject *func_defaults
        PyObject *func_kwdefaults
        PyObject *func_annotations
        PyObject *func_qualname
        PyObject *func_module
        PyObject *func_dict
    ctypedef int (*_setattrofunc "setattrofunc")(PyObject *, PyObject *, PyObject *)
    ctypedef PyObject *(*_newfunc "newfunc")(PyTypeObject *, PyObject *, PyObject *)
    ctypedef PyObject *(*_allocfunc "allocfunc")(PyTypeObject *, Py_ssize_t)
    ctypedef struct _AllocHead "PyTypeObject":
        _allocfunc tp_alloc
    ctypedef struct _SetattrHead "PyTypeObject":
        _setattrofunc tp_setattro
        _newfunc tp_new
    int PyObject_GenericSetAttr(PyObject *, PyObject *, PyObject *)
    PyObject *PyWeakref_GET_OBJECT(PyObject *ref)
    PyObject *_PyType_Lookup(PyTypeObject *tp, PyObject *name)
    object PyType_GenericAlloc(PyTypeObject *tp, Py_ssize_t nitems)
    void Py_INCREF(object o)
    int PyDict_SetItem(object d, object key, object value) except -1
    dict _PyDict_NewPresized(Py_ssize_t minused)
    dict PyDict_Copy(object d)
    object PyObject_GenericGetDict(object o, void *context)

from cpython.pycapsule cimport PyCapsule_GetPointer, PyCapsule_New
from cpython.weakref cimport PyWeakref_NewRef
import sys as _sys

ctypedef object (*_pickle_fn)(object, object)

cdef dict _own_globals = globals()
# The names the direct path stands in for, as bound at import.
cdef tuple _DIRECT_NAMES = (
    "get_function_call_object", "EXTRACT_METADATA", "UserFunctionCall", "CallTrailTracker",
    "CallTrail_set_current_running_function", "CallTrail_thread_id_to_current_call_get",
    "threading_get_ident", "send_function_call_to_handler",
    "filter_modules_and_function_from_globals", "add_recorded_functions_to_caller_tracker",
    "is_size_too_big", "get_exc_value", "CollectorSettings", "types_MethodType",
    "FUNCTION_INDEX", "__SELF__", "ExternalFunctionCall")
cdef dict _own_names = {}
cdef unsigned long long _names_version = 0
cdef bint _names_own = False

cdef object _Settings = CollectorSettings
cdef unsigned int _settings_tag = 0
cdef bint _settings_direct = False
cdef object _serializer = None
cdef object _codec_class = None
cdef unsigned int _codec_tag = 0
cdef object _codec_globals = None
cdef unsigned long long _codec_version = 0
cdef _pickle_fn _c_safe_pickle = NULL
cdef _pickle_fn _c_record_pickle = NULL
cdef object _empty_dict_pickle = None
cdef object _own_codec_serialize = None
cdef object _own_codec_safe_pickle = None
cdef str _CODEC_MODULE = "corvane_collector.data_serialization.channel_codec"
cdef str _PICKLER_MODULE = "corvane_collector.data_serialization.pickler"
cdef str _N_SERIALIZE = "serialize"
cdef str _N_FULL_NAME = "full_name"

cdef object _Record = UserFunctionCall
cdef object _External = ExternalFunctionCall
cdef object _own_external_init = ExternalFunctionCall.__dict__["__init__"]
cdef unsigned int _external_tag = 0
cdef tuple _EXTERNAL_FIELDS = ("function_metadata", "post_run_args", "post_run_kwargs",
                               "pre_run_args", "pre_run_kwargs", "globals", "return_value",
                               "execption")
cdef object _Tracker = CallTrailTracker


# A fresh copy of a layout has its keys in the layout's order, with None
# for values, and a fresh record's dict shares its class's keys, which are
# the layout's (see _share_keys): the stores below put each value in its
# place directly (the dictionary's table is declared as 3.10 lays it out).
# A place that is not the expected key's (another layout) is stored the
# general way. (The table's declarations come from corv_dict_table.h,
# included above.)
cdef extern from *:
    """
    // The value slot of entry i when it holds this very key (with a value),
    // else NULL. A split table's values are dense below ma_used.
    static inline __attribute__((always_inline)) PyObject **corv_layout_slot(PyObject *d, Py_ssize_t i,
                                                                             PyObject *key) {
        PyDictObject *mp = (PyDictObject *)d;
        if (mp->ma_values != NULL) {
            if (i < mp->ma_used && corv_keys_entries(d)[i].me_key == key) {
                return mp->ma_values + i;
            }
            return NULL;
        }
        Py_ssize_t n;
        corv_layout_entry *e = corv_dict_entries(d, &n);
        if (i < n && e[i].me_key == key && e[i].me_value != NULL) {
            return &e[i].me_value;
        }
        return NULL;
    }

    static inline __attribute__((always_inline)) int corv_layout_put(PyObject *d, Py_ssize_t i, PyObject *key, PyObject *v) {
        PyObject **slot = corv_layout_slot(d, i, key);
        if (slot == NULL) {
            return PyDict_SetItem(d, key, v);
        }
        PyObject *old = *slot;
        Py_INCREF(v);
        *slot = v;
        Py_DECREF(old);
        if (!corv_gc_is_tracked(d) && corv_is_gc(v)) {
            PyObject_GC_Track(d);
        }
        return 0;
    }

    // Whether entries 0.. of a combined table hold these keys (a tuple), in
    // this order, each with a value.
    static inline int corv_layout_holds(PyObject *d, PyObject *keys) {
        Py_ssize_t n, k = PyTuple_GET_SIZE(keys);
        corv_layout_entry *e = corv_dict_entries(d, &n);
        if (e == NULL || n < k) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < k; i++) {
            if (e[i].me_key != PyTuple_GET_ITEM(keys, i) || e[i].me_value == NULL) {
                return 0;
            }
        }
        return 1;
    }

    // d[key] = v, where key is to be entry i: stored in place when d is a
    // split table whose next entry that is (ma_used is i), as the store
    // would, version tag aside (the direct paths' own dicts only).
    static inline int corv_layout_add(PyObject *d, Py_ssize_t i, PyObject *key, PyObject *v) {
        PyDictObject *mp = (PyDictObject *)d;
        if (mp->ma_values == NULL || mp->ma_used != i
                || ((corv_layout_keys *)mp->ma_keys)->dk_nentries <= i
                || corv_keys_entries(d)[i].me_key != key || mp->ma_values[i] != NULL) {
            return PyDict_SetItem(d, key, v);
        }
        Py_INCREF(v);
        mp->ma_values[i] = v;
        mp->ma_used = i + 1;
        if (!corv_gc_is_tracked(d) && corv_is_gc(v)) {
            PyObject_GC_Track(d);
        }
        return 0;
    }

    // PyObject_IsTrue, without the call for an object whose type defines
    // no truth or length (always true)
    static inline int corv_is_true(PyObject *o) {
        if (o == Py_True) {
            return 1;
        }
        if (o == Py_False || o == Py_None) {
            return 0;
        }
        PyTypeObject *tp = Py_TYPE(o);
        if ((tp->tp_as_number == NULL || tp->tp_as_number->nb_bool == NULL)
                && (tp->tp_as_mapping == NULL || tp->tp_as_mapping->mp_length == NULL)
                && (tp->tp_as_sequence == NULL || tp->tp_as_sequence->sq_length == NULL)) {
            return 1;
        }
        return PyObject_IsTrue(o);
    }

    // The value of entry i when it is the key's (borrowed), else NULL.
    static inline PyObject *corv_layout_get(PyObject *d, Py_ssize_t i, PyObject *key) {
        PyObject **slot = corv_layout_slot(d, i, key);
        return slot == NULL ? NULL : *slot;
    }

    // The keys object a heap type's new instance dicts share, or NULL.
    static inline void *corv_cached_keys(PyObject *tp) {
        return (((PyTypeObject *)tp)->tp_flags & Py_TPFLAGS_HEAPTYPE)
            ? (void *)((PyHeapTypeObject *)tp)->ht_cached_keys : NULL;
    }

    // Whether d is a split table on these keys whose entries 0.. are these
    // keys (a tuple), in this order.
    static inline int corv_split_keys_are(PyObject *d, void *dk, PyObject *keys) {
        PyDictObject *mp = (PyDictObject *)d;
        Py_ssize_t k = PyTuple_GET_SIZE(keys);
        if (mp->ma_values == NULL || (void *)mp->ma_keys != dk
                || ((corv_layout_keys *)dk)->dk_nentries < k) {
            return 0;
        }
        corv_layout_entry *e = corv_keys_entries(d);
        for (Py_ssize_t i = 0; i < k; i++) {
            if (e[i].me_key != PyTuple_GET_ITEM(keys, i)) {
                return 0;
            }
        }
        return 1;
    }

    // Fills the new dict of an object nobody else has seen with its fields
    // (names, a tuple) and their values (new references taken). When it is
    // an empty split table on the keys dk, in place and then tracked: as
    // the insertions in the keys' order would leave it, version tag aside
    // (nothing has read it yet). Otherwise (the class's keys were changed
    // by code a collection ran meanwhile) by those insertions.
    static inline int corv_split_fill(PyObject *d, void *dk, PyObject *const *values,
                                      PyObject *names) {
        PyDictObject *mp = (PyDictObject *)d;
        Py_ssize_t n = PyTuple_GET_SIZE(names);
        if (mp->ma_values == NULL || (void *)mp->ma_keys != dk || mp->ma_used != 0) {
            for (Py_ssize_t i = 0; i < n; i++) {
                if (PyDict_SetItem(d, PyTuple_GET_ITEM(names, i), values[i]) < 0) {
                    return -1;
                }
            }
            return 0;
        }
        int gc = 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            Py_INCREF(values[i]);
            mp->ma_values[i] = values[i];
            gc |= corv_is_gc(values[i]);
        }
        mp->ma_used = n;
        if (gc && !corv_gc_is_tracked(d)) {
            PyObject_GC_Track(d);
        }
        return 0;
    }
    """
    int corv_layout_put(object d, Py_ssize_t i, object key, object v) except -1
    PyObject *corv_layout_get(object d, Py_ssize_t i, object key)
    bint corv_layout_holds(PyObject *d, PyObject *keys)
    void *corv_cached_keys(object tp)
    bint corv_split_keys_are(PyObject *d, void *dk, PyObject *keys)
    int corv_layout_add(object d, Py_ssize_t i, object key, object v) except -1
    int corv_is_true(object o) except -1
    int corv_split_fill(object d, void *dk, PyObject **values, PyObject *names) except -1


cdef extern from *:
    """
    // d[key] (a new reference; KeyError when missing), where a direct
    // path's layout puts key at entry i
    static inline __attribute__((always_inline)) PyObject *corv_field(PyObject *d, Py_ssize_t i,
                                                                      PyObject *key) {
        PyObject *v = corv_layout_get(d, i, key);
        if (v == NULL) {
            v = PyDict_GetItemWithError(d, key);
            if (v == NULL) {
                if (!PyErr_Occurred()) {
                    PyErr_SetObject(PyExc_KeyError, key);
                }
                return NULL;
            }
        }
        Py_INCREF(v);
        return v;
    }
    """
    object _field "corv_field" (dict d, Py_ssize_t i, str key)


cdef inline object _field_get(dict d, Py_ssize_t i, str key):
    # d.get(key), where a direct path's layout puts key at entry i
    cdef PyObject *v = corv_layout_get(d, i, key)
    if v != NULL:
        return <object>v
    return d.get(key)


cdef dict _presized_layout(Py_ssize_t room, tuple names):
    # A dict with these keys in this order and room for `room` keys in all:
    # copying it (one block copy of its table) and storing the values over
    # costs less than inserting each key into a fresh dict.
    cdef dict layout = _PyDict_NewPresized(room)
    for name in names:
        layout[name] = None
    return layout

cdef object _Metadata = None
cdef object _Probe = MetadataProbe
cdef tuple _RECORD_FIELDS = ("external_calls", "awaited_functions", "function_metadata",
                             "post_run_args", "post_run_kwargs", "pre_run_args",
                             "pre_run_kwargs", "globals", "return_value", "execption",
                             "unknown_modules")
cdef tuple _TRACKER_FIELDS = ("recorded_functions", "globals", "caller_function",
                              "unknown_modules", "last_call", "func_full_name")

# The instance dicts made by the direct paths: the fields above, in the
# order the classes' constructors set them (the order their pickles list
# them in); the record gains its last field, "unknown_modules", when it is
# completed, a tracker made where its caller's recording was off the
# outside mark.
cdef tuple _RECORD_FIRST_FIELDS = _RECORD_FIELDS[:-1]
cdef dict _RECORD_LAYOUT = _presized_layout(len(_RECORD_FIELDS), _RECORD_FIRST_FIELDS)
cdef dict _EXTERNAL_LAYOUT = _presized_layout(len(_EXTERNAL_FIELDS), _EXTERNAL_FIELDS)
cdef dict _TRACKER_LAYOUT = _presized_layout(len(_TRACKER_FIELDS) + 1, _TRACKER_FIELDS)

# A record or external call made here shares its class's keys, as those
# its constructor makes do: its new dict is then only an array of values to
# fill. The class's keys are made its fields, in their order, by a throwaway
# instance at import (before any instance exists, when the keys are the
# class's alone and 3.10 keeps an outgrown dict's keys as the class's); a
# dict sharing them is held so that no other keys object can take their
# address. When the class's keys are other ones later (3.10 drops them when
# a dict outgrows them while another dict shares them), its instances are
# copies of their layout again.
cdef class _SharedKeys:
    cdef object cls
    cdef void *keys       # NULL: the class's keys are not the fields'
    cdef object holder



cdef inline bint _keys_held(_SharedKeys shared):
    # whether the class's keys are the fields' now
    return shared.keys != NULL and corv_cached_keys(shared.cls) == shared.keys


cdef _SharedKeys _share_keys(object cls, tuple names):
    cdef _SharedKeys shared = _SharedKeys.__new__(_SharedKeys)
    shared.cls = cls
    try:
        probe = PyType_GenericAlloc(<PyTypeObject *>cls, 0)
        for name in names:
            object.__setattr__(probe, name, None)
        fields = _fields_of(probe)
    except Exception:
        return shared
    keys = corv_cached_keys(cls)
    if keys != NULL and corv_split_keys_are(<PyObject *>fields, keys, <PyObject *>names):
        shared.holder = fields
        shared.keys = keys
    return shared


cdef _SharedKeys _record_keys = None
cdef _SharedKeys _external_keys = None


def _keys_shared():
    """Whether records and external calls made here share their classes' keys (for tests)."""
    return _keys_held(_record_keys), _keys_held(_external_keys)


cdef tuple _RECORD_METHODS = ("add_return_value", "add_execption",
                              "serialize_post_run_args_and_kwargs")
cdef dict _own_record_methods = {name: getattr(FunctionCall, name) for name in _RECORD_METHODS}
cdef object _own_record_init = UserFunctionCall.__dict__["__init__"]
cdef object _own_call_init = FunctionCall.__dict__["__init__"]
cdef object _own_tracker_init = CallTrailTracker.__dict__["__init__"]
cdef unsigned int _record_tag = 0
cdef unsigned int _tracker_tag = 0
cdef unsigned int _metadata_tag = 0
cdef unsigned int _probe_tag = 0
cdef bint _classes_direct = False
cdef _newfunc _object_tp_new = (<_SetattrHead *>object).tp_new

cdef dict _probe_globals = None
cdef tuple _PROBE_HOST_NAMES = ("get_function_full_name", "get_function_module", "get_hash",
                                "get_signature", "UserFunctionMetadata", "MetadataProbe",
                                "ExternalFunctionMetadata", "ExternalFunction",
                                "send_metric_report", "CollectorSettings")
cdef dict _own_probe_hosts = None
cdef unsigned long long _probe_version = 0
cdef bint _probe_direct = False
cdef dict _trail_globals = None
cdef dict _threading_globals = threading.__dict__
cdef object _own_set_current = CallTrail_set_current_running_function


cdef inline unsigned long long _version_of(dict d):
    return (<_DictHead *><PyObject *>d).ma_version_tag


cdef inline bint _tag_is(object cls, unsigned int tag):
    cdef _TypeHead *head = <_TypeHead *>cls
    return head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG and head.tp_version_tag == tag


cdef bint _check_names() except -1:
    global _names_version, _names_own
    _names_own = True
    for name in _DIRECT_NAMES:
        if _own_globals.get(name) is not _own_names[name]:
            _names_own = False
    _names_version = _version_of(_own_globals)
    return 0


cdef bint _plain_fields(object cls, tuple names) except -1:
    """Whether setting these attributes on an instance of cls is a store
    in its instance dict (no __setattr__, no descriptors of those names)."""
    if type(cls) is not type or (<_SetattrHead *>cls).tp_setattro != <_setattrofunc>PyObject_GenericSetAttr:
        return False
    # (object.__new__ then only allocates it)
    if (<_SetattrHead *>cls).tp_new != _object_tp_new \
            or (<_AllocHead *>cls).tp_alloc != <_allocfunc>PyType_GenericAlloc:
        return False
    for name in names:
        if _PyType_Lookup(<PyTypeObject *>cls, <PyObject *>name) != NULL:
            return False
    return True


cdef bint _check_classes() except -1:
    global _classes_direct, _record_tag, _tracker_tag, _metadata_tag, _probe_tag, _Metadata
    global _external_tag
    _classes_direct = False
    if _Metadata is None:
        from corvane_collector.data_collection.call_model import UserFunctionMetadata
        _Metadata = UserFunctionMetadata
    if _probe_globals is None:
        return 0
    if _Record.__dict__.get("__init__") is not _own_record_init \
            or FunctionCall.__dict__.get("__init__") is not _own_call_init \
            or _Tracker.__dict__.get("__init__") is not _own_tracker_init:
        return 0
    if _External.__dict__.get("__init__") is not _own_external_init:
        return 0
    for name in _RECORD_METHODS:
        if getattr(_Record, name, None) is not _own_record_methods[name] \
                or getattr(_External, name, None) is not _own_record_methods[name]:
            return 0
    if not (_plain_fields(_Record, _RECORD_FIELDS) and _plain_fields(_Tracker, _TRACKER_FIELDS)
            and _plain_fields(_External, _EXTERNAL_FIELDS)
            and _plain_fields(_Metadata, (_N_FULL_NAME,))):
        return 0
    for cls in (_Record, _Tracker, _Metadata, _Probe, _External):
        if not (<_TypeHead *>cls).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
            return 0
    _record_tag = (<_TypeHead *>_Record).tp_version_tag
    _tracker_tag = (<_TypeHead *>_Tracker).tp_version_tag
    _metadata_tag = (<_TypeHead *>_Metadata).tp_version_tag
    _probe_tag = (<_TypeHead *>_Probe).tp_version_tag
    _external_tag = (<_TypeHead *>_External).tp_version_tag
    _classes_direct = True
    return 0


cdef bint _check_settings() except -1:
    """Learns the serializer: direct while it is the channel codec's, with
    its own serialize calling the safe pickler's safe_pickle."""
    global _settings_tag, _settings_direct, _serializer, _codec_class, _codec_tag
    global _codec_globals, _codec_version, _c_safe_pickle, _c_record_pickle, _empty_dict_pickle
    global _own_codec_serialize, _own_codec_safe_pickle
    _settings_direct = False
    serializer = _Settings.serializer
    head = <_TypeHead *>_Settings
    if not head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        return 0
    _settings_tag = head.tp_version_tag
    _serializer = serializer
    if _codec_class is None:
        codec = _sys.modules.get(_CODEC_MODULE)
        pickler = _sys.modules.get(_PICKLER_MODULE)
        if codec is None or pickler is None:
            return 0
        codec_class, own_serialize, own_safe_pickle = codec._direct_serialize()
        safe_pickle, safe_capsule, record_capsule = pickler._direct_pickling()
        if own_safe_pickle is not safe_pickle:
            return 0
        _c_safe_pickle = <_pickle_fn>PyCapsule_GetPointer(safe_capsule, b"corvane.safe_pickle")
        _c_record_pickle = <_pickle_fn>PyCapsule_GetPointer(record_capsule, b"corvane.record_pickle")
        _codec_globals = codec.__dict__
        _own_codec_serialize = own_serialize
        _own_codec_safe_pickle = own_safe_pickle
        _codec_class = codec_class
        _empty_dict_pickle = _c_safe_pickle({}, False)
    if type(serializer) is not _codec_class:
        return 0
    if _codec_class.__dict__.get(_N_SERIALIZE) is not _own_codec_serialize \
            or _codec_globals.get("safe_pickle") is not _own_codec_safe_pickle:
        return 0
    if not (<_TypeHead *>_codec_class).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        return 0
    _codec_tag = (<_TypeHead *>_codec_class).tp_version_tag
    _codec_version = _version_of(_codec_globals)
    _learn_metrics()
    _settings_direct = True
    return 0


# Metric reports as the probe's send_metric_report makes them: the identity
# fields read from the settings (unchanged since they were read, as the
# settings class is), the message's bytes from the codec's template, and
# the metrics channel's send_message.
ctypedef object (*_message_bytes_fn)(object, object, object, object, object, object, tuple)
ctypedef int (*_message_parts_fn)(object, object, object, object, object, object, tuple,
                                  PyObject **, double *, PyObject **) except -1
cdef _message_bytes_fn _c_message_bytes = NULL
cdef _message_parts_fn _c_message_parts = NULL
cdef object _codec_message_method = None
cdef tuple _identity = None
cdef object _metrics_channel = None
cdef str _N_MESSAGE_BYTES = "metric_message_bytes"


cdef int _learn_metrics() except -1:
    global _c_message_bytes, _c_message_parts, _codec_message_method, _identity, _metrics_channel
    _c_message_bytes = NULL
    _c_message_parts = NULL
    codec = _sys.modules.get(_CODEC_MODULE)
    if codec is None:
        return 0
    cls, method, capsule = codec._direct_message_bytes()
    if cls is not _codec_class \
            or _PyType_Lookup(<PyTypeObject *>cls, <PyObject *>_N_MESSAGE_BYTES) != <PyObject *>method:
        return 0
    _identity = (_Settings.tenant_id, _Settings.project_id, _Settings.python_version,
                 _Settings.lib_version)
    _metrics_channel = _Settings.metrics_subprocess
    _codec_message_method = method
    _c_message_parts = <_message_parts_fn>PyCapsule_GetPointer(
        codec._direct_message_parts(), b"corvane.metric_message_parts")
    _c_message_bytes = <_message_bytes_fn>PyCapsule_GetPointer(capsule, b"corvane.metric_message_bytes")
    return 0


cdef unsigned int _codec_meta_tag = 0    # the codec's metaclass, when it had no such name


cdef inline bint _metrics_direct() except -1:
    global _codec_meta_tag
    if not (_c_message_bytes != NULL and _probe_globals is not None and _probe_unchanged()):
        return False
    # (a metaclass attribute of that name would be found instead; the
    # finding is kept while the metaclass is unchanged)
    meta = type(_codec_class)
    if _codec_meta_tag != 0 and _tag_is(meta, _codec_meta_tag):
        return True
    if _PyType_Lookup(Py_TYPE(_codec_class), <PyObject *>_N_MESSAGE_BYTES) != NULL:
        return False
    _codec_meta_tag = (<_TypeHead *>meta).tp_version_tag \
        if (<_TypeHead *>meta).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG else 0
    return True


cdef object _direct_metric_bytes(message_class, tuple fields):
    # The report's bytes, or None when the codec cannot write them itself.
    return _c_message_bytes(_serializer, message_class, _identity[0], _identity[1],
                            _identity[2], _identity[3], fields)


# A channel whose send_message is its outbox's own (the run's channels) is
# sent to by the outbox's C entry, without the attribute lookup and method
# call; any other channel, or one whose attribute was replaced, by its
# send_message.
cdef extern from *:
    """
    static inline PyObject *corv_outbox_of(PyObject *channel, PyObject *name,
                                           PyObject *outbox_type, PyObject *descr) {
        PyTypeObject *tp = Py_TYPE(channel);
        PyObject **dp, *m, *self, *found;
        if (tp->tp_getattro != PyObject_GenericGetAttr || PyErr_Occurred()) {
            return NULL;
        }
        dp = corv_dict_ptr(channel);
        if (dp == NULL || *dp == NULL || !PyDict_CheckExact(*dp)) {
            return NULL;
        }
        m = PyDict_GetItemWithError(*dp, name);
        if (m == NULL) {
            PyErr_Clear();  // (nothing was pending: only a key's own __eq__ can fail here)
            return NULL;
        }
        if (!PyCFunction_CheckExact(m)
                || ((PyCFunctionObject *)m)->m_ml != ((PyMethodDescrObject *)descr)->d_method) {
            return NULL;
        }
        self = PyCFunction_GET_SELF(m);
        if (self == NULL || (PyObject *)Py_TYPE(self) != outbox_type) {
            return NULL;
        }
        // (a data descriptor of the class would be found before the instance dict)
        found = _PyType_Lookup(tp, name);
        if (found != NULL && Py_TYPE(found)->tp_descr_set != NULL) {
            return NULL;
        }
        return self;
    }
    """
    PyObject *corv_outbox_of(object channel, object name, object outbox_type, object descr)

ctypedef int (*_outbox_send_fn)(object, object) except? -1
ctypedef int (*_outbox_send_parts_fn)(object, PyObject *, double, PyObject *)
cdef _outbox_send_fn _c_outbox_send = NULL
cdef _outbox_send_parts_fn _c_outbox_send_parts = NULL
cdef object _Outbox = None
cdef object _outbox_send_descr = None
cdef str _N_SEND_MESSAGE = "send_message"
cdef str _OUTBOX_MODULE = "corvane_collector.host.outbox"


# The channels last found to send by their outboxes (the data and the
# metrics channel), each kept while its instance dict and class are
# unchanged: the dict's version tag moves on any store in it, and a new
# dict never takes an old one's.
ctypedef struct _SentChannel:
    PyObject *channel
    PyObject *fields
    unsigned long long version
    unsigned int tag
    PyObject *box            # (a reference of _sent_boxes)

cdef _SentChannel _sent[2]
cdef list _sent_boxes = [None, None]
cdef int _sent_next = 0


cdef inline int _sent_slot(channel):
    # the slot kept for this channel, or -1
    return 0 if _sent[0].channel == <PyObject *>channel else \
        1 if _sent[1].channel == <PyObject *>channel else -1


cdef inline PyObject *_known_box(channel):
    cdef PyObject **dp
    cdef int i = _sent_slot(channel)
    if i < 0 or _sent[i].box == NULL:
        return NULL
    dp = _PyObject_GetDictPtr(channel)
    if dp != NULL and dp[0] == _sent[i].fields \
            and _version_of(<dict>dp[0]) == _sent[i].version \
            and _tag_is(type(channel), _sent[i].tag):
        return _sent[i].box
    return NULL


cdef int _channel_send(channel, data) except -1:
    # 1 when the data went to an outbox, 0 when to the channel's send_message
    global _c_outbox_send, _c_outbox_send_parts, _Outbox, _outbox_send_descr, _sent_next
    cdef PyObject *box = _known_box(channel)
    cdef PyObject **dp
    cdef int i
    if box != NULL:
        _c_outbox_send(<object>box, data)
        return 1
    if _c_outbox_send == NULL:
        module = _sys.modules.get(_OUTBOX_MODULE)
        if module is not None:
            _Outbox, _outbox_send_descr, capsule, parts_capsule = module._direct_send()
            _c_outbox_send_parts = <_outbox_send_parts_fn>PyCapsule_GetPointer(
                parts_capsule, b"corvane.outbox_send_parts")
            _c_outbox_send = <_outbox_send_fn>PyCapsule_GetPointer(capsule, b"corvane.outbox_send")
    if _c_outbox_send != NULL:
        box = corv_outbox_of(channel, _N_SEND_MESSAGE, _Outbox, _outbox_send_descr)
        if box != NULL:
            tp = type(channel)
            if (<_TypeHead *>tp).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
                i = _sent_slot(channel)
                if i < 0:
                    i = _sent_next
                _sent_next = 1 - i
                dp = _PyObject_GetDictPtr(channel)
                _sent_boxes[i] = <object>box
                _sent[i].channel = <PyObject *>channel
                _sent[i].fields = dp[0]
                _sent[i].version = _version_of(<dict>dp[0])
                _sent[i].tag = (<_TypeHead *>tp).tp_version_tag
                _sent[i].box = box
            _c_outbox_send(<object>box, data)
            return 1
    channel.send_message(data)
    return 0


cdef bint _direct_metric(message_class, tuple fields) except -1:
    """Sends the report the probe would; False when it has to be asked."""
    cdef PyObject *head
    cdef PyObject *tail
    cdef double stamp
    cdef PyObject *box
    if not _metrics_direct():
        return False
    # (a channel's outbox takes the report's parts: no bytes object between)
    box = _known_box(_metrics_channel)
    if box != NULL and _c_outbox_send_parts != NULL \
            and _c_message_parts(_serializer, message_class, _identity[0], _identity[1],
                                 _identity[2], _identity[3], fields, &head, &stamp, &tail):
        _c_outbox_send_parts(<object>box, head, stamp, tail)
        return True
    data = _direct_metric_bytes(message_class, fields)
    if data is None:
        return False
    _channel_send(_metrics_channel, data)
    return True


cdef unsigned long long _serializer_dict_version = 0


cdef bint _direct_ready() except -1:
    """Whether the direct path stands for the named one now."""
    global _serializer_dict_version
    cdef PyObject **own
    if _version_of(_own_globals) != _names_version:
        _check_names()
    if not _names_own:
        return False
    if not (_tag_is(_Settings, _settings_tag) and _settings_direct
            and _tag_is(_codec_class, _codec_tag)
            and _version_of(_codec_globals) == _codec_version):
        _check_settings()
        if not _settings_direct:
            return False
    # (an instance attribute named serialize would be called instead; a
    # dict's version tag is new at each of its changes and unlike any other
    # dict's, so the dict last found without one needs no second look)
    own = _PyObject_GetDictPtr(_serializer)
    if own != NULL and own[0] != NULL \
            and (<_DictHead *>own[0]).ma_version_tag != _serializer_dict_version:
        if _N_SERIALIZE in <dict>(<object>own[0]):
            return False
        _serializer_dict_version = (<_DictHead *>own[0]).ma_version_tag
    if not (_classes_direct and _tag_is(_Record, _record_tag) and _tag_is(_Tracker, _tracker_tag)
            and _tag_is(_Metadata, _metadata_tag) and _tag_is(_Probe, _probe_tag)
            and _tag_is(_External, _external_tag)):
        _check_classes()
        if not _classes_direct:
            return False
    return True


cdef inline object _serialize(value, bint obj_wrap, bint direct):
    # CollectorSettings.serializer.serialize(value, obj_wrap=obj_wrap)
    if direct:
        return _c_safe_pickle(value, obj_wrap)
    return CollectorSettings.serializer.serialize(value, obj_wrap=obj_wrap)


cdef bint _probe_unchanged() except -1:
    global _probe_version, _probe_direct
    if _version_of(_probe_globals) != _probe_version:
        _probe_direct = True
        for name in _PROBE_HOST_NAMES:
            if _probe_globals.get(name) is not _own_probe_hosts[name]:
                _probe_direct = False
        _probe_version = _version_of(_probe_globals)
    return _probe_direct


cdef inline dict _fields_of(object obj):
    # obj.__dict__ for an object of one of the checked classes (their
    # __dict__ is the instance dict), without the attribute lookup
    cdef PyObject **slot = _PyObject_GetDictPtr(obj)
    if slot != NULL and slot[0] != NULL and type(<object>slot[0]) is dict:
        return <dict>slot[0]
    return obj.__dict__


cdef unsigned long long _full_name_version = 0   # of the metadata's dict read last
cdef object _full_name_found = None


cdef inline object _full_name_of(object meta):
    # meta.full_name for metadata of the checked class (a dict's version
    # tag is unlike any other dict's, and new at each change)
    global _full_name_version, _full_name_found
    cdef PyObject *found
    cdef dict fields
    if type(meta) is _Metadata:
        fields = _fields_of(meta)
        if _version_of(fields) == _full_name_version:
            return _full_name_found
        found = PyDict_GetItemWithError(fields, _N_FULL_NAME)
        if found != NULL:
            _full_name_version = _version_of(fields)
            _full_name_found = <object>found
            return <object>found
    return meta.full_name


cdef inline void _set_instance_dict(object obj, dict d):
    cdef PyObject **slot = _PyObject_GetDictPtr(obj)
    Py_INCREF(d)
    Py_XDECREF(slot[0])
    slot[0] = <PyObject *>d


# Per function: the metadata the probe gave, with its signature pickled as
# every record of the function carries it.

# Entries kept per function, held weakly: each goes with its function.

cdef class _WeakEntry:
    cdef object ref
    # what the entry was made from, held so that addresses cannot be reused
    cdef tuple held
    cdef unsigned long long probe_version

    cdef inline bint made_for(self, object func):
        # func's entry, made with the probe module as it is now
        return PyWeakref_GET_OBJECT(<PyObject *>self.ref) == <PyObject *>func \
            and self.probe_version == _version_of(_probe_globals)


cdef inline bint _function_dict_holds(_FunctionFields *f, str name, str other):
    # whether the function's own dict holds either name (or is no dict)
    if f.func_dict == NULL:
        return False
    d = <object>f.func_dict
    return type(d) is not dict or name in <dict>d or other in <dict>d


cdef str _N_SIGNATURE = "__signature__"
cdef str _N_SELF = "__self__"
cdef str _N_FUNC = "__func__"


# The entries found last, by their function's address, in front of the
# tables (whose keys are ints made per lookup): an entry found here is used
# only when it still fits the function, as one from the table would be.
DEF _RECENT_ENTRIES = 64
cdef list _recent_functions = [None] * _RECENT_ENTRIES
cdef list _recent_externals = [None] * _RECENT_ENTRIES
cdef list _recent_builtins = [None] * _RECENT_ENTRIES


cdef inline Py_ssize_t _recent_slot(size_t address):
    return (address >> 4) & (_RECENT_ENTRIES - 1)


cdef class _ForgetEntry:
    cdef dict table
    cdef object key

    def __call__(self, ref):
        entry = self.table.get(self.key)
        if entry is not None and (<_WeakEntry>entry).ref is ref:
            del self.table[self.key]
        # (nor does the front of the tables keep what the entry holds)
        slot = _recent_slot(<size_t>PyLong_AsVoidPtr(self.key))
        for recent in (_recent_functions, _recent_externals, _recent_builtins):
            entry = (<list>recent)[slot]
            if entry is not None and (<_WeakEntry>entry).ref is ref:
                (<list>recent)[slot] = None


cdef int _keep_entry(dict table, object func, _WeakEntry entry) except -1:
    cdef _ForgetEntry forget = _ForgetEntry.__new__(_ForgetEntry)
    forget.table = table
    forget.key = PyLong_FromVoidPtr(<void *>func)
    entry.ref = PyWeakref_NewRef(func, forget)
    return _store_entry(table, forget.key, entry)


cdef int _store_entry(dict table, object key, _WeakEntry entry) except -1:
    entry.probe_version = _version_of(_probe_globals)
    if len(table) >= _FUNCTION_ENTRIES_MAX:
        table.clear()
    table[key] = entry
    return 0


cdef class _FunctionEntry(_WeakEntry):
    # the function's fields the metadata was made from (NULL ones too),
    # held so that their addresses cannot be reused meanwhile
    cdef PyObject *fields[6]
    cdef object meta
    cdef object full_name

    cdef bint fits(self, object func):
        cdef _FunctionFields *f = <_FunctionFields *><PyObject *>func
        return self.made_for(func) \
            and f.func_code == self.fields[0] and f.func_defaults == self.fields[1] \
            and f.func_kwdefaults == self.fields[2] and f.func_annotations == self.fields[3] \
            and f.func_qualname == self.fields[4] and f.func_module == self.fields[5] \
            and not _special_function_dict(f)


cdef inline bint _special_function_dict(_FunctionFields *f):
    # names with which the probe describes a function another way
    return _function_dict_holds(f, _N_SIGNATURE, _N_SELF)


cdef dict _function_entries = {}
cdef Py_ssize_t _FUNCTION_ENTRIES_MAX = 8192


cdef inline object _none_if_null(PyObject *p):
    return None if p == NULL else <object>p


@cython.boundscheck(False)   # (slots are in range by construction)
@cython.wraparound(False)
cdef object _function_entry(object func):
    """The entry of a plain project function, or None (the named way)."""
    cdef _FunctionFields *f = <_FunctionFields *><PyObject *>func
    cdef _FunctionEntry entry
    cdef Py_ssize_t slot = _recent_slot(<size_t><PyObject *>func)
    found = _recent_functions[slot]
    if found is not None and (<_FunctionEntry>found).fits(func):
        return found
    key = PyLong_FromVoidPtr(<void *>func)
    found = _function_entries.get(key)
    if found is not None and (<_FunctionEntry>found).fits(func):
        _recent_functions[slot] = found
        return found
    if not _probe_unchanged():
        return None
    if _special_function_dict(f):
        return None
    meta = EXTRACT_METADATA(func)
    if type(meta) is not _Metadata:
        return None
    meta_dict = meta.__dict__
    if meta_dict.get("is_async") is not False or type(meta_dict.get("full_name")) is not str:
        return None
    # What the record's constructor does to the shared metadata.
    try:
        meta.function_signature = _c_safe_pickle(meta.function_signature, False)
    except Exception:
        return None
    entry = _FunctionEntry.__new__(_FunctionEntry)
    entry.fields[0] = f.func_code
    entry.fields[1] = f.func_defaults
    entry.fields[2] = f.func_kwdefaults
    entry.fields[3] = f.func_annotations
    entry.fields[4] = f.func_qualname
    entry.fields[5] = f.func_module
    entry.held = tuple([_none_if_null(entry.fields[i]) for i in range(6)])
    entry.meta = meta
    entry.full_name = meta_dict["full_name"]
    _keep_entry(_function_entries, func, entry)
    return entry


def _recent_entry_count():
    """Entries kept in front of the function and external tables (for tests)."""
    return sum(e is not None for e in _recent_functions + _recent_externals)


def _function_entry_count():
    """Number of functions whose metadata the direct path keeps (for tests)."""
    return len(_function_entries)


cdef object _NOT_DIRECT = object()
cdef str _direct_full_name = None   # the full name of the record made last below


cdef object _direct_call_object(callee, tuple rest, dict kwargs):
    """What get_function_call_object((callee,) + rest, kwargs) returns, or
    _NOT_DIRECT (nothing done) when it has to be asked."""
    cdef _FunctionEntry entry
    cdef Py_ssize_t i
    cdef dict fields
    cdef PyObject *values[10]
    tp = type(callee)
    if tp is _FunctionType:
        func = callee
        call_args = rest
    elif tp is _MethodType:
        owner = (<object>callee).__self__
        if isinstance(owner, type):
            return _NOT_DIRECT
        func = (<object>callee).__func__
        call_args = (owner,) + rest
    elif tp is type:
        func = callee.__init__
        call_args = rest
    else:
        return _NOT_DIRECT
    if type(func) is not _FunctionType:
        return _NOT_DIRECT
    found = _function_entry(func)
    if found is None:
        return _NOT_DIRECT
    entry = <_FunctionEntry>found
    for value in <tuple>call_args:
        if _size_too_big(value):
            return _NOT_DIRECT
    for value in kwargs.values():
        if _size_too_big(value):
            return _NOT_DIRECT
    global _direct_full_name
    full_name = entry.full_name
    if full_name in BLACKLISTED_FUNCTIONS:
        return None
    try:
        pre_run_args = _c_safe_pickle(call_args, False)
        pre_run_kwargs = _c_safe_pickle(kwargs, False) if kwargs else _empty_dict_pickle
    except Exception:
        BLACKLISTED_FUNCTIONS.add(full_name)
        return None
    record = PyType_GenericAlloc(<PyTypeObject *>_Record, 0)
    if _keys_held(_record_keys):
        # (the values first: nothing may run between the dict and its fill)
        external_calls = []
        awaited_functions = []
        call_globals = {}
        values[0] = <PyObject *>external_calls
        values[1] = <PyObject *>awaited_functions
        values[2] = <PyObject *>entry.meta
        values[3] = <PyObject *>call_args
        values[4] = <PyObject *>kwargs
        values[5] = <PyObject *>pre_run_args
        values[6] = <PyObject *>pre_run_kwargs
        values[7] = <PyObject *>call_globals
        values[8] = <PyObject *>None        # return_value
        values[9] = <PyObject *>None        # execption
        fields = PyObject_GenericGetDict(record, NULL)
        corv_split_fill(fields, _record_keys.keys, values, <PyObject *>_RECORD_FIRST_FIELDS)
    else:
        fields = PyDict_Copy(_RECORD_LAYOUT)
        corv_layout_put(fields, 0, "external_calls", [])
        corv_layout_put(fields, 1, "awaited_functions", [])
        corv_layout_put(fields, 2, "function_metadata", entry.meta)
        corv_layout_put(fields, 3, "post_run_args", call_args)
        corv_layout_put(fields, 4, "post_run_kwargs", kwargs)
        corv_layout_put(fields, 5, "pre_run_args", pre_run_args)
        corv_layout_put(fields, 6, "pre_run_kwargs", pre_run_kwargs)
        corv_layout_put(fields, 7, "globals", {})
        # (return_value and execption stay None)
        _set_instance_dict(record, fields)
    _direct_full_name = full_name
    return record


# External callees that are plain Python functions, or bound methods of
# one: once the probe has made their metadata, later calls get a copy of it,
# stored in the probe's cache and reported as the probe reports it, for as
# long as the function's module and qualified name, the probe's names and
# classes and the metric path are what they were when it was made.

ctypedef int (*_cache_put_fn)(object, object, object) except -1
cdef _cache_put_fn _c_probe_cache_put = NULL
cdef object _ExternalMeta = None
cdef unsigned int _external_meta_tag = 0
cdef object _own_extract_external = MetadataProbe._extract_external_function_metadata
cdef object _Message = ExternalFunction
cdef str _N_EXTRACT_EXTERNAL = "_extract_external_function_metadata"


cdef class _CalleeEntry(_WeakEntry):
    # an external callee's entry: what the probe made for it
    cdef dict meta_fields
    cdef object recorded        # the probe's verdict: True or False
    cdef tuple report_fields    # (None: the probe sends no report)

    cdef bint fits(self, object func):
        # whether it still answers for `func`
        return False

    cdef object answer(self, object key, object owner):
        # What the probe returns, made as it makes it: stored in its cache
        # under key (owner: what it takes for the key's __self__) and
        # reported as it reports it; None when the report cannot be written.
        data = None
        if self.report_fields is not None:
            data = _direct_metric_bytes(_Message, self.report_fields)
            if data is None:
                return None
        meta = PyType_GenericAlloc(<PyTypeObject *>_ExternalMeta, 0)
        _set_instance_dict(meta, self.meta_fields.copy())
        result = (meta, self.recorded)
        _c_probe_cache_put(key, owner, result)
        if data is not None:
            _channel_send(_metrics_channel, data)
        return result


cdef dict _probe_made(object result):
    # The fields of the metadata the probe made (result), when it made them
    # itself: its own host functions and external rule (its class is watched
    # by its version tag from here), the plain metadata class, a named verdict.
    if not _external_ready() or type(result) is not tuple or len(<tuple>result) != 2 \
            or (result[1] is not True and result[1] is not False) \
            or type(result[0]) is not _ExternalMeta:
        return None
    if getattr(_Probe, _N_EXTRACT_EXTERNAL, None) is not _own_extract_external \
            or not _probe_unchanged():
        return None
    meta_fields = result[0].__dict__
    if type(meta_fields) is not dict or type(meta_fields.get("full_name")) is not str:
        return None
    return dict(meta_fields)


@cython.boundscheck(False)   # (slots are in range by construction)
@cython.wraparound(False)
cdef inline object _callee_entry(list recent, dict table, object func):
    # func's entry that fits it: the one kept in front of the table, else the
    # table's (then kept in front), else None
    cdef Py_ssize_t slot = _recent_slot(<size_t><PyObject *>func)
    found = recent[slot]
    if found is None or not (<_CalleeEntry>found).fits(func):
        found = table.get(PyLong_FromVoidPtr(<void *>func))
        if found is None or not (<_CalleeEntry>found).fits(func):
            return None
        recent[slot] = found
    return found


cdef class _ExternalEntry(_CalleeEntry):
    cdef PyObject *module
    cdef PyObject *qualname

    cdef bint fits(self, object func):
        cdef _FunctionFields *f = <_FunctionFields *><PyObject *>func
        return self.made_for(func) and f.func_qualname == self.qualname \
            and f.func_module == self.module and not _unwrapping_function_dict(f)


cdef inline bint _unwrapping_function_dict(_FunctionFields *f):
    # names with which the probe would look past the function itself
    return _function_dict_holds(f, _N_FUNC, _N_SELF)


cdef dict _external_entries = {}


cdef inline object _external_function(object call):
    # the plain function behind an external callee, or None
    tp = type(call)
    if tp is _MethodType:
        call = (<object>call).__func__
    elif tp is not _FunctionType:
        return None
    return call if type(call) is _FunctionType else None


cdef bint _external_ready() except -1:
    global _c_probe_cache_put, _ExternalMeta, _external_meta_tag
    if _c_probe_cache_put == NULL:
        from corvane_collector.data_collection.call_model import ExternalFunctionMetadata
        from corvane_collector.data_collection import metadata_probe
        probe_globals, probe_class, capsule = metadata_probe._direct_cache()
        if probe_globals is not _probe_globals or probe_class is not _Probe:
            return False
        _ExternalMeta = ExternalFunctionMetadata
        _c_probe_cache_put = <_cache_put_fn>PyCapsule_GetPointer(capsule, b"corvane.probe_cache_put")
    if not _tag_is(_ExternalMeta, _external_meta_tag):
        if not (<_TypeHead *>_ExternalMeta).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
                or not _plain_fields(_ExternalMeta, ("module_name", "full_name", "is_builtin",
                                                      "is_function_for_recording")):
            return False
        _external_meta_tag = (<_TypeHead *>_ExternalMeta).tp_version_tag
    return _metrics_direct()


cdef object _direct_external_metadata(object call):
    """What EXTRACT_METADATA(call, True) returns, made as the probe makes it,
    with its cache written and its report sent; None when the probe has to
    be asked."""
    func = _external_function(call)
    if func is None:
        return None
    found = _callee_entry(_recent_externals, _external_entries, func)
    if found is None or not _external_ready():
        return None
    return (<_CalleeEntry>found).answer(func, None)


cdef int _learn_external(object call, object result) except -1:
    """Keeps what the probe made for a plain external function, when every
    call of it would make the same."""
    cdef _FunctionFields *f
    cdef _ExternalEntry entry
    func = _external_function(call)
    if func is None:
        return 0
    f = <_FunctionFields *><PyObject *>func
    module = _none_if_null(f.func_module)
    if (module is not None and type(module) is not str) or module == "builtins" \
            or _unwrapping_function_dict(f):
        return 0
    meta_fields = _probe_made(result)
    if meta_fields is None or result[1] is not True or not meta_fields["full_name"]:
        return 0
    entry = _ExternalEntry.__new__(_ExternalEntry)
    entry.module = f.func_module
    entry.qualname = f.func_qualname
    entry.held = (module, <object>f.func_qualname)
    entry.meta_fields = meta_fields
    entry.recorded = True
    entry.report_fields = (meta_fields["full_name"],)
    _keep_entry(_external_entries, func, entry)
    return 0


# Built-in external callees: a module-level built-in function whose
# __module__ is a str, or a method descriptor of a static type. Once the
# probe has made their metadata, later calls get a copy of it, stored in the
# probe's cache and reported as the probe reports it (it reports only those
# worth recording: not the builtins module's, but open and input), for as
# long as the callee's module and the probe's names and classes are what
# they were when it was made (the probe's open and input are bound at its
# import).
cdef extern from *:
    """
    // What the probe's answer for a built-in callee rests on, or NULL for a
    // callee not covered: a function's __module__ (the probe then reads no
    // other name), or the static type a method descriptor belongs to (whose
    // names cannot change).
    static inline PyObject *corv_builtin_basis(PyObject *call) {
        PyTypeObject *tp = Py_TYPE(call);
        if (tp == &PyCFunction_Type) {
            PyCFunctionObject *f = (PyCFunctionObject *)call;
            if ((f->m_self == NULL || PyModule_CheckExact(f->m_self)) && f->m_module != NULL
                    && PyUnicode_CheckExact(f->m_module)) {
                return f->m_module;
            }
            return NULL;
        }
        if (tp == &PyMethodDescr_Type) {
            PyTypeObject *owner = PyDescr_TYPE(call);
            if (owner != NULL && !(owner->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
                return (PyObject *)owner;
            }
        }
        return NULL;
    }
    // The callee's __self__ as the probe reads it: a function's module
    // (a new reference).
    static inline PyObject *corv_builtin_owner(PyObject *call) {
        PyObject *self = Py_TYPE(call) == &PyCFunction_Type ? PyCFunction_GET_SELF(call) : NULL;
        self = self != NULL ? self : Py_None;
        Py_INCREF(self);
        return self;
    }
    """
    PyObject *corv_builtin_basis(object call)
    object corv_builtin_owner(object call)

cdef class _BuiltinEntry(_CalleeEntry):
    cdef object callee          # held: a method descriptor (it takes no weak reference)
    cdef PyObject *basis        # (held in `held`)

    cdef bint fits(self, object call):
        if self.callee is None:
            if not self.made_for(call):
                return False
        elif self.callee is not call or self.probe_version != _version_of(_probe_globals):
            return False
        return corv_builtin_basis(call) == self.basis


cdef dict _builtin_entries = {}


cdef object _direct_builtin_metadata(object call):
    """What EXTRACT_METADATA(call, True) returns for a learnt built-in
    callee, made as the probe makes it, with its cache written and its
    report sent; None when the probe has to be asked."""
    if corv_builtin_basis(call) == NULL:
        return None
    found = _callee_entry(_recent_builtins, _builtin_entries, call)
    if found is None or not _external_ready():
        return None
    return (<_CalleeEntry>found).answer(call, corv_builtin_owner(call))


cdef int _learn_builtin(object call, object result) except -1:
    """Keeps what the probe made for a built-in callee, when every call of
    it would make the same."""
    cdef _BuiltinEntry entry
    cdef PyObject *basis = corv_builtin_basis(call)
    if basis == NULL:
        return 0
    meta_fields = _probe_made(result)
    if meta_fields is None:
        return 0
    entry = _BuiltinEntry.__new__(_BuiltinEntry)
    entry.meta_fields = meta_fields
    entry.recorded = result[1]
    # (the probe reports a callee it names, see extract_function_metadata)
    entry.report_fields = (meta_fields["full_name"],) if meta_fields["full_name"] else None
    entry.basis = basis
    entry.held = (<object>basis,)
    if type(call) is _BuiltinFunctionType:
        _keep_entry(_builtin_entries, call, entry)
    else:
        entry.callee = call
        _store_entry(_builtin_entries, PyLong_FromVoidPtr(<void *>call), entry)
    return 0


def _builtin_entry_fits(call):
    """Whether the direct path answers for the built-in callee now (for tests)."""
    return _callee_entry(_recent_builtins, _builtin_entries, call) is not None


def _external_entry_count():
    """Number of external functions whose metadata the direct path keeps (for tests)."""
    return len(_external_entries)


cdef object _new_external_call(function_metadata):
    # ExternalFunctionCall(function_metadata): no arguments, globals or result yet
    cdef dict fields
    cdef PyObject *values[8]
    none_pickle = _c_safe_pickle(None, False)
    call = PyType_GenericAlloc(<PyTypeObject *>_External, 0)
    if _keys_held(_external_keys):
        values[0] = <PyObject *>function_metadata
        values[3] = values[4] = <PyObject *>none_pickle
        # (the arguments after the call, globals, result and exception)
        values[1] = values[2] = values[5] = values[6] = values[7] = <PyObject *>None
        fields = PyObject_GenericGetDict(call, NULL)
        corv_split_fill(fields, _external_keys.keys, values, <PyObject *>_EXTERNAL_FIELDS)
        return call
    fields = PyDict_Copy(_EXTERNAL_LAYOUT)
    corv_layout_put(fields, 0, "function_metadata", function_metadata)
    corv_layout_put(fields, 3, "pre_run_args", none_pickle)
    corv_layout_put(fields, 4, "pre_run_kwargs", none_pickle)
    # (the arguments after the call, globals, result and exception stay None)
    _set_instance_dict(call, fields)
    return call


# The tracker of the last finished call, kept for the next call when
# nothing else held it (no reference, no weak reference) and it had no other
# fields: its instance dict and its empty containers are used again. While it
# waits it holds nothing of the program's: what it had besides empty
# containers and its name was let go when it was kept.
cdef object _spare_tracker = None

cdef extern from *:
    """
    static inline int corv_unreferenced(PyObject *o) {
        PyTypeObject *tp = Py_TYPE(o);
        return Py_REFCNT(o) == 1 && (tp->tp_weaklistoffset <= 0
                                     || *(PyObject **)((char *)o + tp->tp_weaklistoffset) == NULL);
    }

    // The instance dict of an object of exactly this type that nothing else
    // references (weakly either), when only the object holds the dict and
    // it has n entries (borrowed), else NULL.
    static inline PyObject *corv_unshared_fields(PyObject *o, PyObject *tp, Py_ssize_t n) {
        if ((PyObject *)Py_TYPE(o) != tp || !corv_unreferenced(o)) {
            return NULL;
        }
        PyObject **dp = corv_dict_ptr(o);
        if (dp == NULL || *dp == NULL || !PyDict_CheckExact(*dp) || Py_REFCNT(*dp) != 1
                || PyDict_GET_SIZE(*dp) != n) {
            return NULL;
        }
        return *dp;
    }

    // the value of layout entry i when it is an empty container of this
    // exact type that only the dict holds (borrowed), else NULL
    static inline PyObject *corv_own_empty(PyObject *d, Py_ssize_t i, PyObject *key,
                                           PyTypeObject *tp) {
        PyObject *v = corv_layout_get(d, i, key);
        return v != NULL && Py_TYPE(v) == tp && Py_REFCNT(v) == 1 && Py_SIZE(v) == 0 ? v : NULL;
    }

    static inline int corv_set_unreferenced_empty(PyObject *d, Py_ssize_t i, PyObject *key) {
        PyObject *v = corv_layout_get(d, i, key);
        return v != NULL && PySet_CheckExact(v) && Py_REFCNT(v) == 1 && PySet_GET_SIZE(v) == 0;
    }
    """
    bint corv_unreferenced(object o)
    PyObject *corv_unshared_fields(object o, object tp, Py_ssize_t n)
    PyObject *corv_own_empty(object d, Py_ssize_t i, object key, PyTypeObject *tp)
    bint corv_set_unreferenced_empty(object d, Py_ssize_t i, object key)


cdef inline object _tracker_fields(object tracker):
    # the dict of a tracker of the direct path's making that nothing else
    # holds, its entries in the layout's order, or None
    cdef PyObject *d = corv_unshared_fields(tracker, _Tracker, len(_TRACKER_FIELDS))
    if d == NULL:
        return None
    if corv_layout_holds(d, <PyObject *>_TRACKER_FIELDS):
        return <object>d
    return None


cdef int _keep_spare_tracker(object tracker) except -1:
    # (tracker: the finished call's, held by the caller alone)
    global _spare_tracker
    fields = _tracker_fields(tracker)
    if fields is None:
        return 0
    # (the record still holds the external calls and the modules: empty,
    # they are used again only once it has let them go)
    calls = <object>corv_layout_get(fields, 0, "recorded_functions")
    if type(calls) is not list or len(<list>calls):
        corv_layout_put(fields, 0, "recorded_functions", None)
    if corv_own_empty(fields, 1, "globals", <PyTypeObject *>dict) == NULL:
        corv_layout_put(fields, 1, "globals", None)
    corv_layout_put(fields, 2, "caller_function", None)
    modules = <object>corv_layout_get(fields, 3, "unknown_modules")
    if type(modules) is not set or len(<set>modules):
        corv_layout_put(fields, 3, "unknown_modules", None)
    corv_layout_put(fields, 4, "last_call", None)
    _spare_tracker = tracker
    return 0


cdef object _spare_tracker_for(str full_name, object caller):
    # the spare tracker made CallTrailTracker(full_name) with this caller,
    # or None
    global _spare_tracker
    tracker = _spare_tracker
    if tracker is None:
        return None
    _spare_tracker = None
    # (held here alone, unless something took it while it waited)
    fields = _tracker_fields(tracker)
    if fields is None:
        return None
    if corv_own_empty(fields, 0, "recorded_functions", <PyTypeObject *>list) == NULL:
        corv_layout_put(fields, 0, "recorded_functions", [])
    if corv_own_empty(fields, 1, "globals", <PyTypeObject *>dict) == NULL:
        corv_layout_put(fields, 1, "globals", {})
    corv_layout_put(fields, 2, "caller_function", caller)
    if not corv_set_unreferenced_empty(fields, 3, "unknown_modules"):
        corv_layout_put(fields, 3, "unknown_modules", set())
    corv_layout_put(fields, 5, "func_full_name", full_name)
    return tracker


def _spare_tracker_id():
    """id() of the tracker kept for the next call, or None (for tests)."""
    return None if _spare_tracker is None else id(_spare_tracker)


cdef object _new_tracker(str full_name, bint outside):
    # CallTrailTracker(full_name) with its caller set
    cdef dict fields
    caller = _current_call()
    if not outside or caller is None:   # (no field of its own: see below)
        tracker = _spare_tracker_for(full_name, caller)
        if tracker is not None:
            return tracker
    tracker = PyType_GenericAlloc(<PyTypeObject *>_Tracker, 0)
    fields = PyDict_Copy(_TRACKER_LAYOUT)
    corv_layout_put(fields, 0, "recorded_functions", [])
    corv_layout_put(fields, 1, "globals", {})
    corv_layout_put(fields, 2, "caller_function", caller)
    corv_layout_put(fields, 3, "unknown_modules", set())
    corv_layout_put(fields, 5, "func_full_name", full_name)
    # (last_call stays None)
    if outside and caller is not None:
        fields[_OUTSIDE_CALLER] = True
    _set_instance_dict(tracker, fields)
    return tracker


# A recorded call made where its caller's recording was off (inside an
# external callee, a special method or a property that the caller's code
# ran) keeps its external calls out of the caller's record: a replay of the
# caller answers the enclosing external call, or runs that code unrecorded,
# so it never makes them. The evaluator says so while the call's callback runs.
cdef extern from "<dlfcn.h>":
    void *dlopen(const char *filename, int flag)
    void *dlsym(void *handle, const char *symbol)
    int dlclose(void *handle)
    int RTLD_NOW
    int RTLD_NOLOAD

from os import fsencode as _os_fsencode

cdef str _OUTSIDE_CALLER = "made_outside_caller_recording"
cdef unsigned char *_outside_flag = NULL
cdef object _outside_flag_module = None


cdef bint _find_outside_flag() except -1:
    global _outside_flag, _outside_flag_module
    module = _sys.modules.get("interceptor")
    if module is None or module is _outside_flag_module:
        return 0
    _outside_flag_module = module
    path = getattr(module, "__file__", None)
    if type(path) is not str:
        return 0
    cdef void *handle = dlopen(_os_fsencode(path), RTLD_NOW | RTLD_NOLOAD)
    if handle == NULL:
        return 0
    _outside_flag = <unsigned char *>dlsym(handle, b"g_sampled_outside_recording")
    dlclose(handle)  # (the import system keeps it loaded)
    return 0


cdef inline bint _sampled_outside_recording() except -1:
    if _outside_flag == NULL:
        _find_outside_flag()
        if _outside_flag == NULL:
            return False
    return _outside_flag[0] != 0


cdef unsigned long long _trail_version = 0
cdef unsigned long long _threading_version = 0
cdef unsigned int _trail_tag = 0
cdef bint _trail_direct = False


cdef _set_current(tracker):
    # CallTrail.set_current_running_function(tracker): a store in the
    # shared dict under the thread's id while what it reads is unchanged
    global _trail_version, _threading_version, _trail_tag, _trail_direct, _tid_stored
    global _seen_version, _seen_tid, _seen_call
    if not (_trail_direct and _version_of(_trail_globals) == _trail_version
            and _version_of(_threading_globals) == _threading_version
            and _tag_is(CallTrail, _trail_tag)):
        _trail_direct = _trail_globals is not None \
            and (<_TypeHead *>CallTrail).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
            and _threading_globals.get("get_ident") is _own_get_ident \
            and _trail_globals.get("threading") is threading \
            and _trail_globals.get("CallTrail") is CallTrail \
            and CallTrail.__dict__.get("thread_id_to_current_call") is _current_calls
        if _trail_direct:
            _trail_version = _version_of(_trail_globals)
            _threading_version = _version_of(_threading_globals)
            _trail_tag = (<_TypeHead *>CallTrail).tp_version_tag
    if _trail_direct and CallTrail_set_current_running_function is _own_set_current:
        key = _thread_key()
        if not _tid_stored:
            # a store keeps the key already there: put ours in its place
            _current_calls.pop(key, None)
            _tid_stored = True
        _current_calls[key] = tracker
        _seen_version = _version_of(_current_calls)
        _seen_tid = _tid_cached
        _seen_call = <PyObject *>tracker
    else:
        CallTrail_set_current_running_function(tracker)


cdef bint _unchanged_scalars(object value, int depth) except -1:
    """Whether value is made of objects that no call can change: exact
    scalars and tuples of them (its pickle is then the same after the call)."""
    tp = type(value)
    if value is None or tp is int or tp is float or tp is bool or tp is str or tp is bytes \
            or tp is complex:
        return True
    if tp is tuple and depth < 4:
        for item in <tuple>value:
            if not _unchanged_scalars(item, depth + 1):
                return False
        return True
    return False


def create_size_too_big_metric(str function_full_name, str name, str failure_place):
    """Report that a call was dropped because one of its values was too large."""
    limit_reason_message = LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(name, failure_place)
    _send_metric(LimitFailure, (function_full_name, limit_reason_message))
    return None


def send_function_call_to_handler(function_under_test):
    """Serialize a finished call record, send it to the data channel and report success."""
    return _send_call(function_under_test, False)


cdef object _send_call(function_under_test, bint direct):
    try:
        if direct and type(function_under_test) is _Record:
            _post_run_args_direct(function_under_test)
            pickled_data = _c_record_pickle(
                function_under_test, _field_get(_fields_of(function_under_test), 2,
                                                "function_metadata"))
            if pickled_data is None:
                pickled_data = _c_safe_pickle(function_under_test, False)
        else:
            function_under_test.serialize_post_run_args_and_kwargs()
            pickled_data = CollectorSettings.serializer.serialize(function_under_test, False)
        # (its truth without a call for the common bytes)
        if PyBytes_GET_SIZE(pickled_data) > 0 if type(pickled_data) is bytes else pickled_data:
            if direct:
                # (an outbox runs no Python code: what was checked still holds)
                direct = _channel_send(CollectorSettings.data_subprocess, pickled_data)
            else:
                CollectorSettings.data_subprocess.send_message(pickled_data)
            _send_metric_if(direct or _direct_ready(), CollectionSuccess, ())
    except ProblematicPickleException as e:
        obj_type = _object_type_of(e, PROBLEMATIC_PICKLE_TYPE_INDEX)
        _send_metric(Unpicklable, (obj_type, UnpicklableReasons.REDUCE))
    except TypeError as e:
        obj_type = _object_type_of(e, TYPE_ERROR_TYPE_INDEX)
        _send_metric(Unpicklable, (obj_type, UnpicklableReasons.TYPE_ERROR))
    return None


cdef _post_run_args_direct(record):
    # serialize_post_run_args_and_kwargs(): arguments that no call can have
    # changed pickle to their bytes from before the call, kept as they are
    cdef dict fields = _fields_of(record)
    args = _field(fields, 3, "post_run_args")
    kwargs = _field(fields, 4, "post_run_kwargs")
    pre_args = _field_get(fields, 5, "pre_run_args")
    if _unchanged_scalars(args, 0) and type(pre_args) is bytes:
        corv_layout_put(fields, 3, "post_run_args", pre_args)
    else:
        corv_layout_put(fields, 3, "post_run_args", _c_safe_pickle(args, False))
    if type(kwargs) is dict and not <dict>kwargs:
        corv_layout_put(fields, 4, "post_run_kwargs", _empty_dict_pickle)
    elif type(kwargs) is dict and _unchanged_scalars(tuple((<dict>kwargs).values()), 0) \
            and type(_field_get(fields, 6, "pre_run_kwargs")) is bytes:
        # (the keyword dict is the recorder's own copy: its keys cannot change)
        corv_layout_put(fields, 4, "post_run_kwargs", _field(fields, 6, "pre_run_kwargs"))
    else:
        corv_layout_put(fields, 4, "post_run_kwargs", _c_safe_pickle(kwargs, False))


def add_recorded_functions_to_caller_tracker(flow_tracker):
    """Merge a finished call's tracker into its caller's.

    Returns True when the caller's tracker would go over the external-call
    limit (its external calls are then not merged).
    """
    return _merge_into_caller(flow_tracker)


cdef bint _merge_into_caller(flow_tracker) except -1:
    try:
        if flow_tracker and flow_tracker.caller_function:
            caller = flow_tracker.caller_function
            caller.globals.update(flow_tracker.globals)
            if getattr(flow_tracker, _OUTSIDE_CALLER, False):
                pass  # its external calls are not the caller's
            elif (len(flow_tracker.recorded_functions) + len(caller.recorded_functions)
                    > CollectorSettings.external_calls_max):
                return True
            else:
                for record in flow_tracker.recorded_functions:
                    caller.add_external_module_call(record)
    except Exception:
        pass
    try:
        if flow_tracker and flow_tracker.caller_function:
            caller_modules = flow_tracker.caller_function.unknown_modules
            for element in flow_tracker.unknown_modules:
                caller_modules.add(element)
    except Exception:
        pass
    return False


# ---------------------------------------------------------------------------
# User calls: entry

def get_function_call_object(args, kwargs):
    """Normalise the callee and its arguments and build the call record, or None."""
    original_function = args[FUNCTION_INDEX]
    # Identity tests, not ==: a metaclass's __eq__ must not run here.
    if type(original_function) is type:
        original_function = original_function.__init__
    if (isinstance(original_function, types_MethodType)
            and not isinstance(getattr(original_function, __SELF__, None), type)):
        args = (original_function.__self__,) + args[FUNCTION_INDEX + 1:]
        original_function = original_function.__func__
    else:
        args = args[1:]
    function_metadata = EXTRACT_METADATA(original_function)
    for value in list(args) + list(kwargs.values()):
        if _too_big(value):
            create_size_too_big_metric(function_metadata.full_name, "unknown", "args/kwargs")
            return None
    if function_metadata.full_name in BLACKLISTED_FUNCTIONS:
        return None
    try:
        return UserFunctionCall(function_metadata, args, kwargs, {})
    except Exception:
        # Arguments that cannot be serialized now will not be later either.
        BLACKLISTED_FUNCTIONS.add(function_metadata.full_name)
        return None


cdef _record_user_function_call(callee, tuple rest, dict kwargs, tuple args):
    # args: (callee,) + rest when the caller has it (None: made when needed)
    # (read before anything here can let another thread run)
    cdef bint outside = _sampled_outside_recording()
    cdef bint direct = _direct_ready()
    _send_metric_if(direct, CollectionTry, ())
    function_under_test = _direct_call_object(callee, rest, kwargs) if direct else _NOT_DIRECT
    if function_under_test is _NOT_DIRECT:
        function_under_test = get_function_call_object(
            args if args is not None else (callee,) + rest, kwargs)
    elif function_under_test is not None:
        # (a direct record's function is never a coroutine function)
        # (the full name the function's entry holds is its metadata's)
        recording_wrapper = _new_tracker(_direct_full_name, outside)
        _set_current(recording_wrapper)
        return function_under_test
    if function_under_test is None:
        _send_metric(Unpicklable, ("", UnpicklableReasons.GENERAL))
        return None
    if function_under_test.function_metadata.is_async:
        _send_metric(CollectorFailure, (FailureReasons.ASYNCIO,))
        return None
    if direct:
        recording_wrapper = _new_tracker(function_under_test.function_metadata.full_name, outside)
        _set_current(recording_wrapper)
        return function_under_test
    recording_wrapper = CallTrailTracker(function_under_test.function_metadata.full_name)
    recording_wrapper.caller_function = _current_call()
    if outside and recording_wrapper.caller_function is not None:
        setattr(recording_wrapper, _OUTSIDE_CALLER, True)
    CallTrail_set_current_running_function(recording_wrapper)
    return function_under_test


cdef str _KEYWORDS_MUST_BE_STRINGS = "record_user_function_call() keywords must be strings"


cdef object _record_user_function_call_entry(object self, object args, PyObject* kwargs):
    # Called through the classic (args tuple, keyword dict) convention rather
    # than vectorcall, so that the keyword dict reaches us as given and a
    # non-string key is refused under this function's name.
    cdef dict call_kwargs
    if kwargs == NULL:
        call_kwargs = {}
    else:
        for key in (<object>kwargs):
            if not isinstance(key, str):
                raise TypeError(_KEYWORDS_MUST_BE_STRINGS)
        # A dict of our own: the caller's may be reused after the call.
        call_kwargs = dict(<object>kwargs)
    if len(<tuple>args) == 0:
        return _record_user_function_call(None, (), call_kwargs, <tuple>args)
    return _record_user_function_call((<tuple>args)[0], (<tuple>args)[1:], call_kwargs,
                                      <tuple>args)


cdef extern from *:
    """
    static inline PyObject *corv_tuple_of(PyObject *const *items, Py_ssize_t n) {
        PyObject *t = PyTuple_New(n);
        if (t != NULL) {
            for (Py_ssize_t i = 0; i < n; i++) {
                Py_INCREF(items[i]);
                PyTuple_SET_ITEM(t, i, items[i]);
            }
        }
        return t;
    }

    // A C function's call checks the recursion depth on the way in.
    static inline int corv_enter_c_call(void) {
        return Py_EnterRecursiveCall(" while calling a Python object") ? -1 : 0;
    }
    """
    tuple corv_tuple_of(PyObject **items, Py_ssize_t n)
    int corv_enter_c_call() except -1
    void Py_LeaveRecursiveCall()


cdef object _record_user_function_call_vector(PyObject **args, Py_ssize_t nargs,
                                              PyObject *kwnames):
    # The evaluator's vectorcall of record_user_function_call (callee and
    # positional arguments, then the keyword values under kwnames), without
    # the argument tuple and keyword dict that the classic convention builds
    # on the way: the evaluator calls this directly while its callback is
    # that very function.
    cdef Py_ssize_t i
    cdef Py_ssize_t n_kw = 0 if kwnames == NULL else len(<tuple>kwnames)
    cdef Py_ssize_t n_pos = nargs   # (the keyword values follow the positional ones)
    cdef dict call_kwargs = {}
    corv_enter_c_call()
    try:
        for i in range(n_kw):
            key = (<tuple>kwnames)[i]
            if not isinstance(key, str):
                raise TypeError(_KEYWORDS_MUST_BE_STRINGS)
            call_kwargs[key] = <object>args[n_pos + i]
        if n_pos < 1:
            return _record_user_function_call(None, (), call_kwargs, ())
        return _record_user_function_call(<object>args[0], corv_tuple_of(args + 1, n_pos - 1),
                                          call_kwargs, None)
    finally:
        Py_LeaveRecursiveCall()


ctypedef object (*_vector_entry_fn)(PyObject **, Py_ssize_t, PyObject *)
cdef _vector_entry_fn _vector_entry_ptr = _record_user_function_call_vector


cdef PyMethodDef _record_user_function_call_def
_record_user_function_call_def.ml_name = "record_user_function_call"
_record_user_function_call_def.ml_meth = <PyCFunction><void*>_record_user_function_call_entry
_record_user_function_call_def.ml_flags = METH_VARARGS | METH_KEYWORDS
_record_user_function_call_def.ml_doc = (
    "record_user_function_call(*args, **kwargs)\n--\n\n"
    "Entry callback of a sampled project call: the record, or None when it is not recorded.")

record_user_function_call = PyCFunction_NewEx(&_record_user_function_call_def, NULL, __name__)


def filter_modules_and_function_from_globals(function_globals, str func_full_name):
    """The globals to store with a record: modules only if read from; None if one is too big."""
    return _filter_globals(function_globals, func_full_name)


cdef object _filter_globals(function_globals, str func_full_name):
    used_globals = {}
    for global_index in function_globals:
        value = function_globals[global_index]
        if type(value) is types.ModuleType:
            if id(value) in used_attributes:
                used_globals[global_index] = value
        elif _too_big(value):
            create_size_too_big_metric(func_full_name, global_index, "globals")
            CallTrail_set_current_running_function(None)
            return None
        else:
            used_globals[global_index] = value
    return used_globals


def set_function_calls_count(flow_tracker, count):
    if flow_tracker:
        flow_tracker.function_calls_count = count
    return None


def get_function_calls_count(flow_tracker):
    if flow_tracker:
        return flow_tracker.function_calls_count
    return 0


# ---------------------------------------------------------------------------
# User calls: return

def get_exc_value():
    """Take the pending exception out of the thread state.

    Returns the exception instance when it is an Exception, the exception type
    for anything else (not normalised, or a BaseException such as
    KeyboardInterrupt), and type(None) when nothing is pending.  The pending
    exception is not restored: the evaluator puts back its own copy.
    """
    return _take_exc_value(False)


cdef object _own_get_exc_value = get_exc_value


cdef object _exc_value():
    # get_exc_value(), called through the module name only when that name
    # has been given another function
    if get_exc_value is _own_get_exc_value:
        return _take_exc_value(True)
    return get_exc_value()


cdef object _take_exc_value(bint type_alone):
    # type_alone: a type set without a value (StopIteration from next(), set
    # by C code) is the call's exception too, kept as its class like one not
    # yet normalised; get_exc_value() itself gives type(None) for it
    cdef PyObject* exc_type = NULL
    cdef PyObject* exc_value = NULL
    cdef PyObject* exc_tb = NULL
    PyErr_Fetch(&exc_type, &exc_value, &exc_tb)
    result = type(None)
    if exc_value != NULL:
        if PyType_IsSubtype(Py_TYPE(<object>exc_value), <PyTypeObject*>Exception):
            result = <object>exc_value
        elif exc_type != NULL:
            result = <object>exc_type
    elif exc_type != NULL and type_alone:
        result = <object>exc_type
    Py_XDECREF(exc_type)
    Py_XDECREF(exc_value)
    Py_XDECREF(exc_tb)
    return result


cdef _restore_caller_tracker(wrapper, caller_eft, bint caller_known):
    # After a failure the finished call's tracker must not stay current: the
    # enclosing recorded call would otherwise complete its record from it.
    if wrapper is None:
        return
    if not caller_known:
        caller_eft = wrapper.caller_function
    CallTrail_set_current_running_function(caller_eft)
    wrapper.caller_function = caller_eft.caller_function if caller_eft else None


cdef bint _merge_direct(dict tracker, caller) except -1:
    # add_recorded_functions_to_caller_tracker for trackers of the
    # recorder's own class (their attributes are their dicts' entries)
    if type(caller) is not _Tracker or caller.__class__ is not _Tracker:
        return _merge_into_caller_of(tracker, caller)
    cdef dict caller_fields = _fields_of(caller)
    try:
        own_globals = tracker["globals"]
        if own_globals:
            caller_fields["globals"].update(own_globals)
        recorded = tracker["recorded_functions"]
        if _OUTSIDE_CALLER in tracker:
            pass  # its external calls are not the caller's
        elif len(recorded) + len(caller_fields["recorded_functions"]) \
                > CollectorSettings.external_calls_max:
            return True
        else:
            for record in recorded:
                caller.add_external_module_call(record)
    except Exception:
        pass
    try:
        modules = tracker["unknown_modules"]
        if modules:
            caller_modules = caller_fields["unknown_modules"]
            for element in modules:
                caller_modules.add(element)
    except Exception:
        pass
    return False


cdef bint _merge_into_caller_of(dict tracker, caller) except -1:
    # the general steps, for a caller the direct path did not make
    if not caller:
        return False
    try:
        caller.globals.update(tracker["globals"])
        if _OUTSIDE_CALLER in tracker:
            pass  # its external calls are not the caller's
        elif (len(tracker["recorded_functions"]) + len(caller.recorded_functions)
                > CollectorSettings.external_calls_max):
            return True
        else:
            for record in tracker["recorded_functions"]:
                caller.add_external_module_call(record)
    except Exception:
        pass
    try:
        caller_modules = caller.unknown_modules
        for element in tracker["unknown_modules"]:
            caller_modules.add(element)
    except Exception:
        pass
    return False


cdef object _complete_direct(ret_val, function_under_test, curexc_value, wrapper):
    # The steps below, by direct calls on a record and tracker of the
    # recorder's own classes (their attributes are stores in their dicts).
    # (entries by their place in the direct paths' layouts, see _RECORD_LAYOUT
    # and _TRACKER_LAYOUT; looked up by key where they are elsewhere)
    cdef dict record = _fields_of(function_under_test)
    cdef dict tracker = _fields_of(wrapper)
    func_full_name = _full_name_of(_field(record, 2, "function_metadata"))
    tracker_globals = _field(tracker, 1, "globals")
    if type(tracker_globals) is dict and not <dict>tracker_globals:
        corv_layout_put(record, 7, "globals", _empty_dict_pickle)
    else:
        used_globals = _filter_globals(tracker_globals, func_full_name)
        if used_globals is None:
            return None
        corv_layout_put(record, 7, "globals",
                        _empty_dict_pickle if type(used_globals) is dict and not used_globals
                        else _c_safe_pickle(used_globals, True))
    corv_layout_put(record, 9, "execption", _c_safe_pickle(curexc_value, False))
    if _size_too_big(ret_val):
        create_size_too_big_metric(func_full_name, func_full_name, "user_func_return_value")
        _set_current(None)
        return None
    corv_layout_put(record, 8, "return_value", _c_safe_pickle(ret_val, False))
    caller_eft = _field(tracker, 2, "caller_function")
    corv_layout_put(tracker, 2, "caller_function", None)
    corv_layout_put(tracker, 4, "last_call", None)
    try:
        corv_layout_put(record, 0, "external_calls", _field(tracker, 0, "recorded_functions"))
        corv_layout_add(record, 10, "unknown_modules", _field(tracker, 3, "unknown_modules"))
        _send_call(function_under_test, True)
    finally:
        # (after a failure the caller's handlers restore the caller from here)
        corv_layout_put(tracker, 2, "caller_function", caller_eft)
    if not _merge_direct(tracker, caller_eft):
        _set_current(caller_eft)
        corv_layout_put(tracker, 2, "caller_function",
                        caller_eft.caller_function if caller_eft else None)
    else:
        _set_current(None)
    return None


def record_user_function_return_value(ret_val, function_under_test, cur_exc=None):
    """Return callback of a recorded project call: complete, deliver and merge its record."""
    return _record_return(ret_val, function_under_test, cur_exc)


cdef object _record_return(ret_val, function_under_test, cur_exc):
    if not corv_is_true(function_under_test):
        return None
    wrapper = None
    caller_eft = None
    cdef bint caller_known = False
    cdef bint direct
    try:
        curexc_value = cur_exc if cur_exc is not None else _exc_value()
        wrapper = _current_call()
        if wrapper is None:
            _send_metric(LimitFailure, (function_under_test.function_metadata.full_name,
                                        LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED))
            return None
        direct = _direct_ready() and type(function_under_test) is _Record \
            and type(wrapper) is _Tracker
        if direct:
            _complete_direct(ret_val, function_under_test, curexc_value, wrapper)
            _keep_spare_tracker(wrapper)
            return None
        func_full_name = function_under_test.function_metadata.full_name
        used_globals = filter_modules_and_function_from_globals(wrapper.globals, func_full_name)
        if used_globals is None:
            return None
        function_under_test.globals = CollectorSettings.serializer.serialize(used_globals)
        function_under_test.add_execption(curexc_value)
        if _too_big(ret_val):
            create_size_too_big_metric(func_full_name, func_full_name, "user_func_return_value")
            CallTrail_set_current_running_function(None)
            return None
        function_under_test.add_return_value(ret_val)

        caller_eft = wrapper.caller_function
        caller_known = True
        wrapper.caller_function = None
        wrapper.last_call = None
        function_under_test.external_calls = wrapper.recorded_functions
        function_under_test.unknown_modules = wrapper.unknown_modules
        send_function_call_to_handler(function_under_test)
        wrapper.caller_function = caller_eft
        caller_is_external_functions_limit_exceeded = add_recorded_functions_to_caller_tracker(wrapper)

        if not caller_is_external_functions_limit_exceeded:
            CallTrail_set_current_running_function(caller_eft)
            wrapper.caller_function = caller_eft.caller_function if caller_eft else None
        else:
            CallTrail_set_current_running_function(None)
        return None
    except ProblematicPickleException as e:
        _restore_caller_tracker(wrapper, caller_eft, caller_known)
        BLACKLISTED_FUNCTIONS.add(function_under_test.function_metadata.full_name)
        obj_type = _object_type_of(e, PROBLEMATIC_PICKLE_TYPE_INDEX)
        _send_metric(Unpicklable, (obj_type, UnpicklableReasons.REDUCE))
        return None
    except TypeError as e:
        _restore_caller_tracker(wrapper, caller_eft, caller_known)
        BLACKLISTED_FUNCTIONS.add(function_under_test.function_metadata.full_name)
        obj_type = _object_type_of(e, TYPE_ERROR_TYPE_INDEX)
        _send_metric(Unpicklable, (obj_type, UnpicklableReasons.TYPE_ERROR))
        return None
    except Exception:
        _restore_caller_tracker(wrapper, caller_eft, caller_known)
        BLACKLISTED_FUNCTIONS.add(function_under_test.function_metadata.full_name)
        _send_metric(CollectorFailure, (FailureReasons.EXCEPTION,))
        return None


cdef object _record_return_vector(object ret_val, object function_under_test):
    # record_user_function_return_value(ret_val, function_under_test), as the
    # evaluator calls it
    return _record_return(ret_val, function_under_test, None)


ctypedef object (*_vector_return_fn)(object, object)
cdef _vector_return_fn _vector_return_ptr = _record_return_vector


def _direct_callbacks():
    """(record_user_function_call, a capsule of its vector entry,
    record_user_function_return_value, a capsule of the function it calls
    with no cur_exc): the evaluator calls the C functions while its
    callbacks are these very objects."""
    return (record_user_function_call,
            PyCapsule_New(<void *>_vector_entry_ptr, b"corvane.record_call_entry", NULL),
            record_user_function_return_value,
            PyCapsule_New(<void *>_vector_return_ptr, b"corvane.record_call_return", NULL))


def record_user_async_function_return_value(ret_val, function_under_test, cur_exc=None):
    """Placeholder for future asynchronous recording: records like a synchronous return."""
    return record_user_function_return_value(ret_val, function_under_test, cur_exc)


def record_return_value_async(return_value, func_obj):
    """Dispatch an asynchronous result to the user or external return handler."""
    curexc_value = _exc_value()
    if type(func_obj) is ExternalFunctionCall:
        return record_async_external_return_value(return_value, func_obj, curexc_value)
    elif type(func_obj) is UserFunctionCall:
        return record_user_async_function_return_value(return_value, func_obj, curexc_value)
    return None


# ---------------------------------------------------------------------------
# External calls

def get_module_location(str module_name):
    """The origin file of the named module, or None when it cannot be found."""
    import importlib.util
    if module_name not in <object>PyImport_GetModuleDict():
        # find_spec imports the parent package of a module that is not
        # loaded: that runs its code, or waits for the thread that is
        # importing it (which may be waiting for this one).
        dot = module_name.rfind(".")
        if dot > 0:
            from corvane_common.utils.import_state import module_loaded
            if not module_loaded(module_name[:dot]):
                return None
    try:
        spec = importlib.util.find_spec(module_name)
    except ValueError:
        return None
    return None if spec is None else spec.origin


def should_skip_external_function(str full_name, str module_name, did_check_function_file_in_project_files):
    """Whether an external callee is not to be recorded (stateless, or in fact project code)."""
    return _should_skip(full_name, module_name, did_check_function_file_in_project_files)


cdef object _own_should_skip = should_skip_external_function
cdef str _ENTER_SUFFIX = ".__enter__"
cdef str _EXIT_SUFFIX = ".__exit__"


cdef inline bint _may_end_with_dunder(name) except -1:
    # False only for an exact str whose last character is not "_"
    cdef Py_ssize_t n
    if type(name) is not str:
        return True
    n = PyUnicode_GET_LENGTH(name)
    return n > 0 and PyUnicode_READ_CHAR(name, n - 1) == 95


cdef inline bint _ends_with(name, str suffix) except -1:
    # name.endswith(suffix), without the method call for an exact str
    if type(name) is str:
        return PyUnicode_Tailmatch(name, suffix, 0, PY_SSIZE_T_MAX, 1)
    return name.endswith(suffix)


cdef object _should_skip(str full_name, str module_name, did_check_function_file_in_project_files):
    if full_name in STATELESS_EXTERNAL_FULL_NAMES:
        return True
    if module_name in CACHED_NONE_EXTERNAL_MODULES:
        return True
    if did_check_function_file_in_project_files:
        return False
    module_file_path = get_module_location(module_name)
    if module_file_path is None:
        return False
    if module_file_path in CollectorSettings.project_files:
        CACHED_NONE_EXTERNAL_MODULES.add(module_name)
        return True
    return False


cdef object _own_add_external = CallTrailTracker.__dict__["add_external_module_call"]
cdef str _N_ADD_EXTERNAL = "add_external_module_call"


cdef int _direct_add_external(tracker, call, bint ready) except -2:
    """tracker.add_external_module_call(call) done here: 1 limit reached, 0
    added, -1 when the method has to be called (ready: what _direct_ready()
    has just said)."""
    cdef dict fields
    if type(tracker) is not _Tracker or not ready \
            or _PyType_Lookup(<PyTypeObject *>_Tracker, <PyObject *>_N_ADD_EXTERNAL) \
            != <PyObject *>_own_add_external \
            or _trail_globals.get("CollectorSettings") is not _Settings:
        return -1
    fields = _fields_of(tracker)
    recorded = fields.get("recorded_functions")
    if type(recorded) is not list or "add_external_module_call" in fields:
        return -1
    if len(<list>recorded) >= _Settings.external_calls_max:
        return 1
    (<list>recorded).append(call)
    fields["last_call"] = call
    return 0


def record_external_call(call, did_check_function_file_in_project_files=0):
    """Before-call callback of an external call made by recorded code: its record, or None."""
    cdef bint direct = _direct_ready()
    cdef dict meta_fields = None
    func = _direct_external_metadata(call) if direct else None
    if func is None and direct:
        func = _direct_builtin_metadata(call)
    if func is None:
        func = EXTRACT_METADATA(call, True)
        if direct:
            _learn_external(call, func)
            _learn_builtin(call, func)
    else:
        # (made by the direct path, of the plain metadata class it checked)
        meta_fields = _fields_of((<tuple>func)[0])
    if type(func) is tuple:
        if not (<tuple>func)[IS_FUNCTION_FOR_RECORDING_INDEX]:
            return None
    elif not func[IS_FUNCTION_FOR_RECORDING_INDEX]:
        return None
    current_running_function_tmp = _current_call()
    if not current_running_function_tmp:
        return None
    function_metadata = func[FUNCTION_META_DATA_INDEX]
    try:
        if meta_fields is not None:
            function_full_name = meta_fields["full_name"]
            module_name = meta_fields["module_name"]
        else:
            function_full_name = function_metadata.full_name
            module_name = function_metadata.module_name
        if should_skip_external_function is _own_should_skip:
            # The same argument checks as the call through the module name
            skip = _should_skip(function_full_name, module_name,
                                did_check_function_file_in_project_files)
        else:
            skip = should_skip_external_function(function_full_name, module_name,
                                                 did_check_function_file_in_project_files)
        if skip:
            return None
        # A bound __enter__/__exit__ is recorded under the name of the function
        # found on the context manager's class.
        dunder = _may_end_with_dunder(function_full_name)
        if dunder and _ends_with(function_full_name, _ENTER_SUFFIX):
            type_enter_function = call.__self__.__class__.__enter__
            function_metadata.full_name = EXTRACT_METADATA(type_enter_function, True)[0].full_name
        elif dunder and _ends_with(function_full_name, _EXIT_SUFFIX):
            type_exit_function = call.__self__.__class__.__exit__
            function_metadata.full_name = EXTRACT_METADATA(type_exit_function, True)[0].full_name
    except Exception:
        pass
    cdef bint ready = _direct_ready()
    if ready:
        external_function = _new_external_call(func[0])
    else:
        external_function = ExternalFunctionCall(func[0])
    # (nothing that runs Python code since the check when ready)
    direct_add = _direct_add_external(current_running_function_tmp, external_function, ready)
    if direct_add >= 0:
        is_external_function_call_limit_exceeded = direct_add == 1
    else:
        is_external_function_call_limit_exceeded = current_running_function_tmp.add_external_module_call(external_function)
    if is_external_function_call_limit_exceeded:
        CallTrail.set_current_running_function(None)
    return external_function


def record_external_return_value(return_value, func_obj, cur_exc=None):
    """After-call callback of a recorded external call: store its exception and result."""
    curexc_value = cur_exc if cur_exc is not None else _exc_value()
    cdef dict fields
    if type(func_obj) is _External and _direct_ready():
        # add_execption and add_return_value: stores in the record's dict
        fields = _fields_of(func_obj)
        try:
            fields["execption"] = _c_safe_pickle(curexc_value, False)
            if _size_too_big(return_value):
                create_size_too_big_metric(fields["function_metadata"].full_name,
                                           fields["function_metadata"].full_name,
                                           "external_func_return_value")
                CallTrail.set_current_running_function(None)
            else:
                fields["return_value"] = _c_safe_pickle(return_value, False)
        except Exception:
            pass
        return None
    try:
        func_obj.add_execption(curexc_value)
        if _too_big(return_value):
            create_size_too_big_metric(func_obj.function_metadata.full_name,
                                       func_obj.function_metadata.full_name,
                                       "external_func_return_value")
            CallTrail.set_current_running_function(None)
        else:
            func_obj.add_return_value(return_value)
    except Exception:
        pass
    return None


def record_async_external_return_value(return_value, func_obj, cur_exc=None):
    """Placeholder for future asynchronous recording: records like a synchronous result."""
    return record_external_return_value(return_value, func_obj, cur_exc)


# ---------------------------------------------------------------------------
# Load hooks

# The last attribute read noted, when both objects are followed by guards:
# the same read again (a loop reading one attribute) finds everything done.
# _follow_epoch moves whenever a followed id or its attributes are dropped,
# and the containers are compared by identity and size.
cdef unsigned long long _follow_epoch = 0
cdef unsigned long long _read_epoch = 0
cdef PyObject *_read_obj = NULL
cdef PyObject *_read_result = NULL
cdef object _read_attr = None
cdef object _read_ids = None
cdef object _read_usage = None
cdef Py_ssize_t _read_ids_len = -1
cdef Py_ssize_t _read_usage_len = -1


cdef inline bint _read_noted(obj, attr, result):
    return <PyObject *>obj == _read_obj and <PyObject *>result == _read_result \
        and attr is _read_attr and _read_epoch == _follow_epoch \
        and IDS_TO_FOLLOW is _read_ids and used_attributes is _read_usage \
        and type(_read_ids) is set and type(_read_usage) is dict \
        and len(<set>_read_ids) == _read_ids_len and len(<dict>_read_usage) == _read_usage_len


cdef inline void _note_read(obj, attr, result):
    global _read_obj, _read_result, _read_attr, _read_epoch, _read_ids, _read_usage
    global _read_ids_len, _read_usage_len
    if PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj)) and PyType_SUPPORTS_WEAKREFS(Py_TYPE(result)) \
            and type(IDS_TO_FOLLOW) is set and type(used_attributes) is dict:
        _read_obj = <PyObject *>obj
        _read_result = <PyObject *>result
        _read_attr = attr
        _read_epoch = _follow_epoch
        _read_ids = IDS_TO_FOLLOW
        _read_usage = used_attributes
        _read_ids_len = len(<set>_read_ids)
        _read_usage_len = len(<dict>_read_usage)
    else:
        _read_obj = NULL


def load_attr_hook(obj, str attr, result):
    """Attribute-load callback: note attribute reads on followed objects."""
    global _follow_epoch
    cdef PyObject* found
    if _read_noted(obj, attr, result):
        return None
    try:
        oid = _id_of(obj)
        ids = IDS_TO_FOLLOW
        if (PySet_Contains(ids, oid) if type(ids) is set else oid in ids):
            # An id put there without a guard gets one now, so that it
            # cannot outlive its object; one that cannot have a guard
            # is not followed further.
            if not _guard(obj, oid):
                _follow_epoch += 1
                IDS_TO_FOLLOW.discard(oid)
                used_attributes.pop(oid, None)
                return None
            usage = used_attributes
            if type(usage) is dict:
                found = PyDict_GetItemWithError(usage, oid)
                attrs = None if found == NULL else <object>found
            else:
                attrs = usage.get(oid)
            if attrs is not None or oid in usage:
                _follow(result)
                if type(attrs) is set:
                    PySet_Add(attrs, attr)
                else:
                    attrs.add(attr)
            else:
                used_attributes[oid] = {attr}
                _follow(result)
            # (a result that takes weak references has a guard by now)
            _note_read(obj, attr, result)
    except:
        pass
    return None


def load_global_hook(global_obj, str name):
    """Global-load callback: collect the global into the current recorded call and follow it."""
    cdef PyObject *found
    eft = _current_call()
    if eft:
        if type(eft) is _Tracker and _classes_direct and _tag_is(_Tracker, _tracker_tag):
            # (a plain field of the checked class: its instance dict's entry)
            collected = _field(_fields_of(eft), 1, "globals")
        else:
            collected = eft.globals
        if type(collected) is dict:
            # Loaded before in this call: an object that can carry a weak
            # reference stays followed for as long as the call holds it, so
            # there is nothing to store or follow again.
            found = PyDict_GetItemWithError(collected, name)
            if found == <PyObject *>global_obj and PyType_SUPPORTS_WEAKREFS(Py_TYPE(global_obj)):
                return None
        collected[name] = global_obj
        _follow(global_obj)
    return None


# The names as bound at import (the end of it), here and in the probe's
# module, which the direct path stands in for: one replaced even before the
# first recorded call is honoured.
cdef _keep_own_names():
    global _probe_globals, _own_probe_hosts, _trail_globals
    for name in _DIRECT_NAMES:
        _own_names[name] = _own_globals[name]
    # (the probe's and the call trail's modules are imported above)
    probe_module = _sys.modules.get(MetadataProbe.__module__)
    if probe_module is not None:
        _own_probe_hosts = {name: probe_module.__dict__.get(name) for name in _PROBE_HOST_NAMES}
        _trail_globals = _sys.modules[CallTrail.__module__].__dict__
        _probe_globals = probe_module.__dict__


_keep_own_names()
_record_keys = _share_keys(_Record, _RECORD_FIELDS)
_external_keys = _share_keys(_External, _EXTERNAL_FIELDS)
