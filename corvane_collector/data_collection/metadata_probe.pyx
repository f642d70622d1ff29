# Turns a callable into the metadata record that describes it, with a cache
# keyed by the callable's identity.
#
# The cache. The native object-to-object map of this module's copy of the map
# unit answers a lookup with one pointer-hash probe; it holds no references, so
# the entries it points at are owned here, and every entry that leaves the owner
# also leaves the native map. The owner guarantees three things:
#
# * A lookup never returns a dead object: an entry holds a strong reference to
#   its value.
# * A key whose object has died never matches a new object at the same address:
#   a key that supports weak references is held weakly, its entry is dropped by
#   the weak-reference callback (which runs before the memory can be reused),
#   and a lookup also checks that the weak reference still points at the object
#   asked about. A key without weak-reference support is held strongly, so its
#   address cannot be reused while the entry exists.
# * Memory stays bounded: at most _capacity entries, the least recently
#   written ones evicted first, and an entry with a weak key goes as soon as
#   its key dies. Nearly every callable supports weak references (functions,
#   classes, built-in functions and their bound methods, partials), so the
#   cache never keeps a callable, or the object a method is bound to, alive.
#   Strong keys are taken only for the descriptors of built-in types
#   (`str.join`, `object.__init__`), which live as long as their type anyway.
#   Any other callable without weak-reference support (a method-wrapper such
#   as `(1).__add__`, a slotted callable instance) is not cached at all: a
#   strong reference could keep a user object alive and so change the
#   program's behaviour (a file that stays open, a finaliser that runs late).
#   Such objects are mostly created anew at every attribute access, so an
#   entry could hardly ever be found again; a later lookup simply computes a
#   fresh record. For the same reason a built-in method bound to an object
#   other than a module (`items.append`) is not cached either: it would only
#   cost a weak reference and an entry that die right after the call.

from cpython.ref cimport PyObject, PyTypeObject, Py_DECREF
from cpython.exc cimport PyErr_Occurred
from cpython.weakref cimport PyWeakref_NewRef
from cpython.module cimport PyModule_Check

import threading
import os
import inspect
from typing import Any, AnyStr, Callable, Optional, Tuple

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection.metrics import ExternalFunction
from corvane_collector.data_collection.call_model import ExternalFunctionMetadata, UserFunctionMetadata
from corvane_common.qualnames import get_function_full_name, get_function_module
from corvane_common.utils.hash import get_hash
from corvane_common.utils.func_facts import get_signature
from corvane_collector.data_serialization.attribute_reading import (
    NOT_READ as _NOT_READ, runs_python_descriptor as _runs_python_descriptor,
    stored_attribute as _stored_attribute)


cdef extern from "Python.h":
    # suppress=1: a missing attribute gives NULL without an exception set.
    PyObject *_PyObject_GenericGetAttrWithDict(PyObject *obj, PyObject *name,
                                               PyObject *dict, int suppress)
    PyObject *PyWeakref_GET_OBJECT(object ref)
    bint PyType_SUPPORTS_WEAKREFS(PyTypeObject *t)
    PyTypeObject *Py_TYPE(object o)
    bint PyCFunction_Check(object o)
    bint PyType_HasFeature(PyTypeObject *t, unsigned long feature)
    unsigned long Py_TPFLAGS_HEAPTYPE

cdef extern from "map.h":
    int set_pyobject_to_pyobject_item(PyObject *key, PyObject *value) except +
    PyObject *get_pyobject_to_pyobject_item(PyObject *key)
    int erase_pyobject_to_pyobject_item(PyObject *key)
    unsigned long long size_pyobject_to_pyobject()


CODE_DUNDER = "__code__"
CO_COROUTINE = inspect.CO_COROUTINE
UNKNOWN_PATH_STR = "unknown_path"
UNHASHABLE_STR = "unhashable"
SELF_CONST = "__self__"
INIT_STR = "__init__"
FUNC_STR = "__func__"
MAIN_STR = "__main__"
threading_get_ident = threading.get_ident
BUILTINS = "builtins"
reported_modules = set()
relative_path = os.path.relpath


cdef int _propagate() except -1:
    # Returning the error value hands the pending exception to the caller.
    return -1


cdef object _generic_attr(object obj, object name):
    """object.__getattribute__(obj, name), None when the attribute is missing.

    The object's own __getattr__/__getattribute__ overrides are not consulted,
    nor is a descriptor written in Python other than a property (the value
    stored in the object is taken, see attribute_reading).
    """
    cdef PyObject *res
    if PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE) and _runs_python_descriptor(obj, name):
        # (only classes of Python's making can hold such descriptors)
        value = _stored_attribute(obj, name)
        return None if value is _NOT_READ else value
    res = _PyObject_GenericGetAttrWithDict(<PyObject *>obj, <PyObject *>name, NULL, 1)
    if res is NULL:
        if PyErr_Occurred() is not NULL:
            _propagate()
        return None
    value = <object>res
    Py_DECREF(<object>res)
    return value


# ---------------------------------------------------------------- the cache

cdef class _CacheEntry:
    cdef object value
    cdef object key        # strong reference (keys without weak-reference support)
    cdef object keyref     # weak reference (all other keys)
    cdef object addr       # the key's address, the owner's dict key

    cdef inline bint matches(self, object key):
        if self.keyref is None:
            return self.key is key
        return PyWeakref_GET_OBJECT(self.keyref) == <PyObject *>key


cdef class _ForgetDeadKey:
    # Weak-reference callback of one entry. It knows only the address, so no
    # reference cycle ties an evicted entry to its weak reference.
    cdef object addr

    def __call__(self, ref):
        if _entries is None:  # module being torn down
            return
        entry = _entries.get(self.addr)
        if entry is not None and (<_CacheEntry>entry).keyref is ref:
            _discard(<_CacheEntry>entry)


# Owner of the entries, oldest write first.
cdef object _entries = __import__('collections').OrderedDict()
cdef Py_ssize_t _capacity = 8192
cdef object _MISS = object()
# Types whose instances may be held strongly (see the top of this file).
cdef PyTypeObject *_method_descriptor_type = Py_TYPE(str.join)
cdef PyTypeObject *_wrapper_descriptor_type = Py_TYPE(object.__init__)
cdef PyTypeObject *_classmethod_descriptor_type = Py_TYPE(dict.__dict__['fromkeys'])


cdef inline bint _may_hold_strongly(object key):
    # Pointer comparison: a metaclass's __eq__ must not run here.
    cdef PyTypeObject *t = Py_TYPE(key)
    return (t == _method_descriptor_type or t == _wrapper_descriptor_type
            or t == _classmethod_descriptor_type)


cdef inline PyObject *_addr_ptr(object addr):
    return <PyObject *><size_t>addr


cdef void _unlink(_CacheEntry entry):
    cdef PyObject *key = _addr_ptr(entry.addr)
    if get_pyobject_to_pyobject_item(key) == <PyObject *>entry:
        erase_pyobject_to_pyobject_item(key)


cdef int _discard(_CacheEntry entry) except -1:
    _unlink(entry)
    if _entries.get(entry.addr) is entry:
        # pop hands the entry back to us, so whatever its release frees is
        # freed after the owner is consistent again.
        _entries.pop(entry.addr)
    return 0


cdef int _evict_to(Py_ssize_t limit) except -1:
    cdef _CacheEntry entry
    while len(_entries) > limit:
        _, entry = _entries.popitem(last=False)
        _unlink(entry)
    return 0


cdef object _cache_get(object key):
    cdef PyObject *found = get_pyobject_to_pyobject_item(<PyObject *>key)
    if found is NULL:
        return _MISS
    cdef _CacheEntry entry = <_CacheEntry>found
    if entry.matches(key):
        return entry.value
    return _MISS


# The key last put at the end of _entries: putting it again moves nothing.
cdef size_t _newest = 0


cdef int _cache_put(object key, object owner, object value) except -1:
    """Stores value under key; owner is the key's __self__ (or None)."""
    global _newest
    cdef PyObject *found = get_pyobject_to_pyobject_item(<PyObject *>key)
    cdef _CacheEntry entry
    cdef _ForgetDeadKey forget
    cdef object old_value
    if found is not NULL:
        entry = <_CacheEntry>found
        if entry.matches(key):
            # The old value is released only on return, once the owner is
            # consistent: its release may run user finalisers (and so let
            # another thread in).
            old_value = entry.value
            entry.value = value
            if entry.addr != _newest:
                _entries.move_to_end(entry.addr)
                _newest = entry.addr
            return 0
        # A leftover for a dead object at this address; never serve it.
        _discard(entry)

    if _capacity <= 0:
        return 0
    if (PyCFunction_Check(key) and owner is not None and not PyModule_Check(owner)):
        return 0
    entry = _CacheEntry.__new__(_CacheEntry)
    entry.addr = <size_t><PyObject *>key
    if PyType_SUPPORTS_WEAKREFS(Py_TYPE(key)):
        forget = _ForgetDeadKey.__new__(_ForgetDeadKey)
        forget.addr = entry.addr
        entry.keyref = PyWeakref_NewRef(key, forget)
    elif _may_hold_strongly(key):
        entry.key = key
    else:
        return 0
    entry.value = value

    _evict_to(_capacity - 1)
    _entries[entry.addr] = entry
    _newest = entry.addr
    try:
        set_pyobject_to_pyobject_item(<PyObject *>key, <PyObject *>entry)
    except BaseException:
        _entries.pop(entry.addr, None)
        _newest = 0
        raise
    return 0


def _cache_stats():
    """(owned entries, native map entries); for diagnostics and tests."""
    return len(_entries), size_pyobject_to_pyobject()


def _set_cache_capacity(Py_ssize_t capacity):
    """Sets the most entries the cache keeps; returns the previous limit."""
    global _capacity
    previous = _capacity
    _capacity = capacity
    _evict_to(capacity if capacity > 0 else 0)
    return previous


def _clear_cache():
    _evict_to(0)
    _code_facts.clear()


# ---------------------------------------------------------------- the probe

cdef str _N_MESSAGE_BYTES = "metric_message_bytes"


cdef extern from "Python.h":
    PyObject *_PyType_Lookup(PyTypeObject *tp, PyObject *name)
    PyObject *PyImport_GetModuleDict()

from cpython.pycapsule cimport PyCapsule_GetPointer, PyCapsule_New

# The channel codec's metric_message_bytes, called directly while the
# serializer is of the codec's class and that class (not its metaclass)
# still has the method the codec defined: what getattr would find and call.
ctypedef object (*_message_bytes_fn)(object, object, object, object, object, object, tuple)
cdef object _codec_class = None
cdef object _codec_method = None
cdef _message_bytes_fn _codec_message_bytes = NULL
cdef str _CODEC_MODULE = "corvane_collector.data_serialization.channel_codec"
cdef str _N_DIRECT = "_direct_message_bytes"


cdef int _learn_codec() except -1:
    """Takes the codec's direct entry once its module is loaded (it is not
    imported from here)."""
    global _codec_class, _codec_method, _codec_message_bytes
    module = (<dict><object>PyImport_GetModuleDict()).get(_CODEC_MODULE)
    if module is None:
        return 0
    direct = getattr(module, _N_DIRECT, None)
    if direct is None:
        return 0
    cls, method, capsule = direct()
    _codec_message_bytes = <_message_bytes_fn>PyCapsule_GetPointer(
        capsule, b"corvane.metric_message_bytes")
    _codec_method = method
    _codec_class = cls
    return 0


def send_metric_report(message_class, tuple fields, bint channel_first=False):
    """Send message_class(<the four identity fields>, *fields) on the metrics channel.

    The identity fields are read at every report (the host may change them
    while the process runs).  channel_first: look the channel's send_message
    up before the message is serialized rather than after.
    """
    _report(message_class, fields, channel_first)


cdef object _own_send_metric_report = send_metric_report
cdef str _N_SEND_METRIC_REPORT = "send_metric_report"


cdef object _report(message_class, tuple fields, bint channel_first):
    cdef type tp
    tenant_id = CollectorSettings.tenant_id
    project_id = CollectorSettings.project_id
    python_version = CollectorSettings.python_version
    lib_version = CollectorSettings.lib_version
    send_message = CollectorSettings.metrics_subprocess.send_message if channel_first else None
    serializer = CollectorSettings.serializer
    # The channel codec writes its own messages from a template when it can.
    tp = type(serializer)
    data = None
    if tp is _codec_class and _codec_message_bytes != NULL \
            and _PyType_Lookup(Py_TYPE(tp), <PyObject *>_N_MESSAGE_BYTES) == NULL \
            and _PyType_Lookup(<PyTypeObject *>tp, <PyObject *>_N_MESSAGE_BYTES) \
            == <PyObject *>_codec_method:
        data = _codec_message_bytes(serializer, message_class, tenant_id, project_id,
                                    python_version, lib_version, fields)
    else:
        by_template = getattr(tp, _N_MESSAGE_BYTES, None)
        if by_template is not None:
            if _codec_class is None:
                _learn_codec()
            data = by_template(serializer, message_class, tenant_id, project_id,
                               python_version, lib_version, fields)
    if data is None:
        data = serializer.serialize(message_class(tenant_id, project_id, python_version,
                                                  lib_version, *fields))
    if not channel_first:
        send_message = CollectorSettings.metrics_subprocess.send_message
    send_message(data)


def get_attribute_full_name(obj, /):
    """
    Returns the full name of an object: its class's module and qualified name.
    """
    klass = obj.__class__
    mod = klass.__module__
    if _generic_attr(klass, "__qualname__"):
        return f"{mod}.{klass.__qualname__}"
    return f"{mod}.{klass.__name__}"


cdef extern from "Python.h":
    ctypedef struct _FunctionHead "PyFunctionObject":
        PyObject *func_module
        PyObject *func_qualname
    PyObject **_PyObject_GetDictPtr(object obj)

cdef object _FunctionType = __import__("types").FunctionType
cdef dict _probe_globals = globals()
cdef object _host_module_of = get_function_module
cdef object _host_full_name = get_function_full_name
cdef str _N_MODULE_OF = "get_function_module"
cdef str _N_FULL_NAME = "get_function_full_name"
cdef str _N_EXTRACT_EXTERNAL = "_extract_external_function_metadata"
cdef str _BUILTINS = "builtins"


cdef bint _plain_function(func, is_external_call) except -1:
    """Whether func is a plain Python function whose names the probe may
    work out itself: what the host functions and the external rule would
    give is then a matter of its module and qualified name."""
    cdef PyObject **own
    if type(func) is not _FunctionType:
        return False
    if _probe_globals.get(_N_MODULE_OF) is not _host_module_of \
            or _probe_globals.get(_N_FULL_NAME) is not _host_full_name:
        return False
    # __self__ is no attribute of a function, but its instance dict may hold one.
    own = _PyObject_GetDictPtr(func)
    if own != NULL and own[0] != NULL and SELF_CONST in <dict>(<object>own[0]):
        return False
    if is_external_call:
        if getattr(MetadataProbe, _N_EXTRACT_EXTERNAL) is not _own_extract_external:
            return False
        # A function claiming the built-in module is judged by the rule itself.
        module = _function_module(func)
        if type(module) is str and <str>module == _BUILTINS:
            return False
    return True


cdef inline object _function_module(func):
    # func.__module__ (None when the function was made without one)
    cdef PyObject *module = (<_FunctionHead *>func).func_module
    return None if module == NULL else <object>module


# The hash and argspec of a plain function, as the host functions gave them,
# kept while everything they are derived from is the very same object: the
# code (the hash covers nothing else), the defaults, keyword defaults and
# annotations (the argspec), with no __signature__ of its own.  The host
# functions keep the same results themselves, but reaching them costs a
# Python call each; held here the function is held weakly, and the entry
# goes with it.

cdef class _CodeFacts:
    cdef object ref
    cdef object code
    cdef object defaults
    cdef object kwdefaults
    cdef object annotations
    cdef object code_hash
    cdef object signature

    cdef bint fits(self, func) except -1:
        return PyWeakref_GET_OBJECT(self.ref) == <PyObject *>func \
            and func.__code__ is self.code and func.__defaults__ is self.defaults \
            and func.__kwdefaults__ is self.kwdefaults and func.__annotations__ is self.annotations


cdef class _ForgetFacts:
    cdef object key

    def __call__(self, ref):
        if _code_facts is None:  # module being torn down
            return
        entry = _code_facts.get(self.key)
        if entry is not None and (<_CodeFacts>entry).ref is ref:
            del _code_facts[self.key]


cdef dict _code_facts = {}       # address of the function -> _CodeFacts
cdef Py_ssize_t _CODE_FACTS_MAX = 4096
cdef object _host_hash = get_hash
cdef object _host_signature = get_signature
cdef str _N_HASH = "get_hash"
cdef str _N_SIGNATURE = "get_signature"
cdef str _N_SIGNATURE_ATTR = "__signature__"


cdef object _facts_of(func):
    """The _CodeFacts of a plain function, or None when the host functions
    are to be asked (replaced ones, or a function with a __signature__)."""
    cdef PyObject **own
    cdef _CodeFacts facts
    cdef _ForgetFacts forget
    if _probe_globals.get(_N_HASH) is not _host_hash \
            or _probe_globals.get(_N_SIGNATURE) is not _host_signature:
        return None
    own = _PyObject_GetDictPtr(func)
    if own != NULL and own[0] != NULL and _N_SIGNATURE_ATTR in <dict>(<object>own[0]):
        return None
    key = <size_t><PyObject *>func
    entry = _code_facts.get(key)
    if entry is not None and (<_CodeFacts>entry).fits(func):
        return entry
    facts = _CodeFacts.__new__(_CodeFacts)
    # The host functions in the order the record's fields are computed.
    facts.signature = get_signature(func)
    facts.code_hash = get_hash(func)
    facts.code = func.__code__
    facts.defaults = func.__defaults__
    facts.kwdefaults = func.__kwdefaults__
    facts.annotations = func.__annotations__
    forget = _ForgetFacts.__new__(_ForgetFacts)
    forget.key = key
    facts.ref = PyWeakref_NewRef(func, forget)
    if len(_code_facts) >= _CODE_FACTS_MAX:
        _code_facts.clear()
    _code_facts[key] = facts
    return facts


def _code_facts_count():
    """Number of plain functions whose hash and argspec are kept (for tests)."""
    return len(_code_facts)


class MetadataProbe:
    "\n    This class is responsible for extracting function meta data.\n    "

    FUNCTION_DATA = {}

    @staticmethod
    def extract_function_metadata(function_obj, is_external_call=False, dont_cache=False,
                                  collect_signature=True):
        """
        Extracts the metadata of a callable.

        :param function_obj: the callable
        :type function_obj: Callable
        :param is_external_call: whether the callable lies outside the project
        :type is_external_call: Optional[bool]
        :param dont_cache: whether the function should be cached: when true the
            cache is read and not written, otherwise it is written and not read
        :type dont_cache: Optional[bool]
        :param collect_signature: whether to collect the function's signature
        :type collect_signature: Optional[bool]
        :return: the function metadata
        """
        if isinstance(function_obj, type) and function_obj.__init__ != object.__init__:
            function_obj = _generic_attr(function_obj, INIT_STR)

        func_tmp = _generic_attr(function_obj, FUNC_STR)
        func = func_tmp if func_tmp else function_obj

        if dont_cache:
            cached = _cache_get(function_obj)
            if cached is not _MISS:
                return cached

        plain = _plain_function(func, is_external_call)
        if plain:
            # What the general path below computes for a plain function, its
            # host calls worked out here.
            is_method = None
            is_python_module = True
            module = _function_module(func)
            if type(module) is not str:
                module = None
            full_name = <object>(<_FunctionHead *>func).func_qualname
            if module:
                if type(full_name) is str:
                    # one new string rather than two
                    full_name = f"{<str>module}.{<str>full_name}"
                else:
                    full_name = module + "." + full_name
        else:
            is_method = _generic_attr(func, SELF_CONST)
            is_python_module = _generic_attr(func, CODE_DUNDER)
            module = get_function_module(func, is_method)

        if is_external_call:
            if plain:
                function_metadata = (ExternalFunctionMetadata(module, full_name, False, True), True)
            else:
                function_metadata = MetadataProbe._extract_external_function_metadata(module, func)
        else:
            if not plain:
                full_name = get_function_full_name(module, func)
            is_coro = False
            signature = None
            if is_python_module:
                if func.__code__.co_flags & CO_COROUTINE:
                    is_coro = True
                facts = _facts_of(func) if plain and collect_signature else None
                if facts is not None:
                    signature = (<_CodeFacts>facts).signature
                    code_hash = (<_CodeFacts>facts).code_hash
                else:
                    if collect_signature:
                        signature = get_signature(func)
                    code_hash = get_hash(func)
                function_metadata = UserFunctionMetadata(
                    module, full_name, code_hash, func.__code__.co_filename,
                    func.__code__.co_names, signature, is_coro)
            else:
                function_metadata = UserFunctionMetadata(
                    module, full_name, UNHASHABLE_STR, UNKNOWN_PATH_STR, None, None, False)

        if not dont_cache:
            _cache_put(func, is_method, function_metadata)

        if is_external_call and not dont_cache and function_metadata[0].full_name:
            if _probe_globals.get(_N_SEND_METRIC_REPORT) is _own_send_metric_report:
                _report(ExternalFunction, (function_metadata[0].full_name,), True)
            else:
                send_metric_report(ExternalFunction, (function_metadata[0].full_name,), True)

        return function_metadata

    @staticmethod
    def _extract_external_function_metadata(str module, function_obj):
        """
        Builds the metadata of an external callable.

        :param module: name of the module the callable comes from
        :type module: str
        :param function_obj: the callable
        :type function_obj: Callable
        :return: the metadata and whether the call is kept; the flag is returned
            as well as an optimisation, so that callers need not read it back
            from the record
        """
        full_name = ""
        is_function_for_recording = True
        if isinstance(function_obj, type):
            # A class without its own constructor is not worth recording.
            is_function_for_recording = function_obj.__init__ != object.__init__
        if is_function_for_recording:
            # Of the built-in module only open and input touch the outside world.
            is_function_for_recording = (module != "builtins" or function_obj == open
                                         or function_obj == input)
        if is_function_for_recording:
            full_name = get_function_full_name(module, function_obj)
        function_metadata_obj = ExternalFunctionMetadata(module, full_name, False,
                                                         is_function_for_recording)
        return function_metadata_obj, is_function_for_recording


cdef object _own_extract_external = MetadataProbe._extract_external_function_metadata


# For the recorder, which answers repeated external calls of a plain function
# itself and stores what it made where this module would.
ctypedef int (*_cache_put_fn)(object, object, object) except -1
cdef _cache_put_fn _cache_put_ptr = _cache_put


def _direct_cache():
    """(this module's globals, the class of the probe, a capsule of the cache writer)."""
    return (_probe_globals, MetadataProbe,
            PyCapsule_New(<void *>_cache_put_ptr, b"corvane.probe_cache_put", NULL))


MetadataProbe.extract_function_metadata.__annotations__ = {
    'function_obj': Callable,
    'is_external_call': Optional[bool],
    'dont_cache': Optional[bool],
    'collect_signature': Optional[bool],
    'return': Any,
}
MetadataProbe._extract_external_function_metadata.__annotations__ = {
    'module': 'str',
    'function_obj': Callable,
    'return': Tuple[ExternalFunctionMetadata, bool],
}


__test__ = {}
