# cython: language_level=3
"""Safe pickling of recorded values.

Pickles any value the recorder meets without calling the user's pickling
methods (``__reduce__``, ``__reduce_ex__``, ``__getstate__``,
``__getnewargs__``, ``__getnewargs_ex__``, ``__getinitargs__``) or a Python
``__getattr__``, and without failing on values that ordinary pickling
rejects: functions become name references, modules and exceptions become
wrappers, objects whose used attributes were recorded become ``ObjectWrapper``
objects holding those attributes, and whatever cannot be pickled is described
by an ``UnpicklableObject``.
"""

from cpython.object cimport PyObject

cdef extern from "Python.h":
    ctypedef PyObject *(*_getattrofunc "getattrofunc")(PyObject *, PyObject *)
    ctypedef struct _TypeHead "PyTypeObject":
        unsigned long tp_flags
        unsigned int tp_version_tag
        _getattrofunc tp_getattro
    unsigned long Py_TPFLAGS_VALID_VERSION_TAG
    PyObject *PyObject_GenericGetAttr(PyObject *, PyObject *)
    PyObject **_PyObject_GetDictPtr "corv_dict_ptr" (PyObject *)   # (corv_dict_table.h)
    PyObject *PyWeakref_GET_OBJECT(PyObject *ref)
    void Py_INCREF(object o)
    void Py_XDECREF(PyObject *o)

import datetime
import uuid
import pathlib
import random
import os
import copyreg
import types
import inspect
import corvane_collector.data_serialization.corv_pickle
from collections import OrderedDict, defaultdict
from corvane_common.qualnames import get_function_module, get_function_full_name
from corvane_common.utils.import_state import module_loaded
from corvane_common.utils.obj_wrap import (ObjectWrapper, ModuleWrapper, UnpicklableObject,
                                            FunctionWrapper, SpecialWrapper, ExceptionWrapper)
from corvane_collector.data_collection.metadata_probe import MetadataProbe
from corvane_collector.data_serialization.utils import MAIN_STR, replace__main__with_real_name
from corvane_collector.exceptions import ProblematicPickleException
from corvane_collector.configs.run_settings import CollectorSettings
from enum import Enum
from logging import Logger

has_yaml = True
try:
    import yaml._yaml
except BaseException:
    has_yaml = False

from io import BytesIO
from pydantic import BaseModel
# pydantic's modules answer an unknown attribute name through a module-level
# __getattr__ that imports a helper module the first time it runs.  Loaded
# now, so that a program which probes every module in sys.modules for an
# attribute (as warning-registry cleaners do) does not make sys.modules grow
# while it iterates over it.
try:
    import pydantic._internal._validators
except Exception:
    pass
# Loaded now rather than by the first record that names a function: an
# import made while recording can wait for another thread's import.
import jsonpickle.unpickler
from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_serialization.attribute_reading import (
    NOT_READ, ObjectReader, runs_python_descriptor, stored_attribute)

cdef object _NOT_READ = NOT_READ
cdef object _ObjectReader = ObjectReader
cdef object _runs_python_descriptor = runs_python_descriptor
cdef object _stored_attribute = stored_attribute

DOT = "."
DICT_DUNDER = "__dict__"
REDUCE_ALLOWED_QUAL_NAME = "FunctionWrapper"
REDUCE_ALLOWED_MODULE = "corvane_common.utils.obj_wrap"
TYPES_TO_CONTINUE_PICKLE_ON_ERROR = {"sqlalchemy.orm.session": ["Session"]}
GET_INITARGS = "__getinitargs__"
GET_NEWARGS_EX = "__getnewargs_ex__"
GETNEWARGS = "__getnewargs__"
GETSTATE_STR = "__getstate__"
INIT_STR = "__init__"
FUNC_STR = "__func__"
SELF_STR = "__self__"
GETATTR_STR = "__getattr__"
CODE_STR = "__code__"
CLASS_METHOD_DESCRIPTOR = "classmethod_descriptor"
BUILTIN_METHOD = "builtin_method"
FUNCTIONS_TYPES = {types.FunctionType, types.MethodDescriptorType, types.MethodType,
                   types.BuiltinFunctionType, types.BuiltinMethodType}
METHOD_TYPES = {types.MethodDescriptorType, types.MethodType, types.BuiltinMethodType}
_reconstructor = copyreg._reconstructor
EXTRACT_METADATA = MetadataProbe.extract_function_metadata
FUNCTION_META_DATA_INDEX = 0


def is_classmethod(method):
    """Whether ``method`` is bound to a class."""
    return isinstance(getattr(method, "__self__", None), type)


def wrap_object(cls, funcs):
    return ObjectWrapper(cls, funcs)


def wrap_module(full_name):
    return ModuleWrapper(full_name)


def wrap_function(full_name):
    return SpecialWrapper(full_name)


def wrap_exception(str exception_full_name, exception_args, exception_dunder_dict):
    return ExceptionWrapper(exception_full_name, exception_args, exception_dunder_dict)


def get_attributes_value(obj, attributes):
    """Values of the named attributes of ``obj``, split into plain values and methods."""
    attributes_data = {}
    funcs = {}
    reader = _ObjectReader(obj)
    for attribute in attributes:
        try:
            value = reader.read(attribute)
        except AttributeError:
            continue
        if value is _NOT_READ:
            continue
        if type(value) in METHOD_TYPES and not is_classmethod(value):
            funcs[attribute] = value
        elif type(value) == os._Environ:
            attributes_data[attribute] = dict(value)
        else:
            attributes_data[attribute] = value
    return attributes_data, funcs


def is_obj_python_based(obj):
    return hasattr(obj, CODE_STR)


def obj_has_getattr_that_is_python_based(obj):
    if not hasattr(obj, GETATTR_STR):
        return False
    return is_obj_python_based(obj.__getattr__)


def _metadata_name(obj):
    """Full name of a function as the metadata probe reports it, with the
    main script's module replaced by the module name of its file."""
    func_metadata = EXTRACT_METADATA(obj, dont_cache=True)
    if type(func_metadata) == tuple:
        func_metadata = func_metadata[FUNCTION_META_DATA_INDEX]
    func_name = func_metadata.full_name
    if not func_name:
        # The probe's cache may hold what an external call stored for this
        # callable; external calls that are not recorded carry an empty name,
        # which would load as nothing. Name the callable directly instead.
        func_name = get_function_full_name(
            get_function_module(obj, getattr(obj, SELF_STR, None)), obj)
    if func_metadata.module_name == MAIN_STR:
        # External records have no path: take it from the code object.
        full_path = getattr(func_metadata, "full_path", None)
        if full_path is None:
            full_path = getattr(getattr(obj, CODE_STR, None), "co_filename", None)
        if full_path is not None:
            file_path = os.path.relpath(full_path, CollectorSettings.project_path)
            func_name = replace__main__with_real_name(func_name, file_path)
    return func_name


# Per-type verdicts of reducer_override, so that the common values do not
# pay for the full sequence of tests.  A verdict holds only while the type is
# unchanged: it is stored with the type's version tag, which the interpreter
# replaces whenever the type or one of its bases is modified.
cdef int _FULL = 0      # apply every rule
cdef int _SKIP = 1      # always NotImplemented
cdef int _PLAIN = 2     # NotImplemented unless the instance dict or the recorded usage say otherwise
cdef int _WRAPPER = 3   # a FunctionWrapper: its own reduction unless the instance or the usage say otherwise
cdef dict _verdicts = {}
from weakref import ref as _weakref_ref
cdef Py_ssize_t _VERDICTS_LIMIT = 4096
# Names whose presence in an instance dict changes the outcome for a plain type.
cdef tuple _INSTANCE_NAMES = (GETATTR_STR, GET_NEWARGS_EX, GETNEWARGS, GET_INITARGS, GETSTATE_STR)
cdef object _class_descriptor = object.__dict__["__class__"]
cdef object _load_by_name = corvane_collector.data_serialization.corv_pickle.load_by_name
cdef str _N_GETATTR = GETATTR_STR
cdef str _N_NEWARGS_EX = GET_NEWARGS_EX
cdef str _N_NEWARGS = GETNEWARGS
cdef str _N_INITARGS = GET_INITARGS
cdef str _N_GETSTATE = GETSTATE_STR


cdef inline object _recorded_usage(object obj):
    usage = used_attributes
    if type(usage) is dict:
        return (<dict>usage).get(id(obj))
    return usage.get(id(obj))


cdef bint _mro_defines(object obj_type, object name):
    cdef object cls
    for cls in obj_type.__mro__:
        if name in cls.__dict__:
            return True
    return False


cdef bint _may_name_rebuild_function(object obj_type) except -1:
    # The type's own dotted name must start one of the known names; other
    # types make get_dynamic_rebuild_function raise or answer None.
    if type(obj_type) is not type:
        return False
    prefix = DOT.join([obj_type.__module__, obj_type.__name__]) + DOT
    for full_name in SafePickler.full_names_to_run_functions:
        if full_name.startswith(prefix):
            return True
    return False


cdef int _compute_verdict(object pickler, object obj_type) except -1:
    """What reducer_override answers for the instances of ``obj_type``,
    as far as the type alone decides it."""
    cdef object cls
    if pickler.is_obj_function(obj_type):
        return _FULL
    # Rule 2 can only name a rebuild function when the type's own dotted
    # name starts one of the known names.
    if type(obj_type) is type:
        prefix = DOT.join([obj_type.__module__, obj_type.__name__]) + DOT
        for full_name in SafePickler.full_names_to_run_functions:
            if full_name.startswith(prefix):
                return _FULL
    if obj_type in SafePickler.types_to_skip:
        return _SKIP
    if type(obj_type) is not type:
        return _FULL
    if (<_TypeHead *>obj_type).tp_getattro != <_getattrofunc>PyObject_GenericGetAttr:
        return _FULL
    for cls in obj_type.__mro__:
        found = cls.__dict__.get("__class__")
        if found is not None:
            if found is not _class_descriptor:
                return _FULL
            break
    for cls in SafePickler.subclasses_to_skip:
        if issubclass(obj_type, cls):
            return _FULL
    if issubclass(obj_type, types.ModuleType) or obj_type in SafePickler.specific_type_for_magic_mock:
        return _FULL
    if obj_type is FunctionWrapper and _wrapper_class_is_plain():
        return _WRAPPER
    if obj_type.__reduce__ != object.__reduce__ or obj_type.__reduce_ex__ != object.__reduce_ex__:
        return _FULL
    if obj_type.__qualname__ == REDUCE_ALLOWED_QUAL_NAME:
        return _FULL
    for name in _INSTANCE_NAMES:
        if _mro_defines(obj_type, name):
            return _FULL
    return _PLAIN


# FunctionWrapper objects name the methods of every failure description.
# The rules let them through to their own reduction (the exemption by
# qualified name and module); the answer is given at once while the class is
# as it was built and the instance dict has none of the names the rules read.
cdef object _wrapper_reduce = FunctionWrapper.__dict__.get("__reduce__")
cdef str _N_MODULE = "__module__"


cdef bint _wrapper_class_is_plain() except -1:
    cdef object cls = FunctionWrapper
    if cls.__dict__.get("__reduce__") is not _wrapper_reduce:
        return False
    if cls.__qualname__ != REDUCE_ALLOWED_QUAL_NAME or cls.__module__ != REDUCE_ALLOWED_MODULE:
        return False
    if cls.__mro__ != (cls, object) or (<_TypeHead *>cls).tp_getattro != <_getattrofunc>PyObject_GenericGetAttr:
        return False
    for name in _INSTANCE_NAMES:
        if name in cls.__dict__:
            return False
    return True


cdef inline bint _wrapper_instance_is_plain(object obj):
    # (the exemption reads the instance's __module__)
    cdef PyObject **dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr != NULL and dict_ptr[0] != NULL and type(<object>dict_ptr[0]) is dict \
            and _N_MODULE in <dict>dict_ptr[0]:
        return False
    return _instance_dict_is_plain(obj)


# In front of each dict, a direct-mapped table of raw slots answers the
# common lookups without making an int key or calling the weak reference:
# a slot shares the dict entry's weak reference and version tag, so it says
# what the entry says and is checked the same way.
DEF _FRONT_SLOTS = 512

cdef struct _FrontSlot:
    PyObject *ref               # owned: the weak reference of the dict entry
    unsigned int tag
    int answer

cdef _FrontSlot _verdict_front[_FRONT_SLOTS]
cdef _FrontSlot _direct_front[_FRONT_SLOTS]


cdef inline _FrontSlot *_front_slot(_FrontSlot *front, object tp):
    cdef size_t h = <size_t><void *>tp
    h = (h >> 4) * <size_t>0x9E3779B97F4A7C15
    return &front[(h >> 32) & (_FRONT_SLOTS - 1)]


cdef void _front_fill(_FrontSlot *slot, object ref, unsigned int tag, int answer):
    cdef PyObject *old = slot.ref
    Py_INCREF(ref)
    slot.ref = <PyObject *>ref
    slot.tag = tag
    slot.answer = answer
    # (released last: freeing a weak reference runs no user code, but the
    # slot is consistent first anyway)
    Py_XDECREF(old)


cdef int _type_cache_get(dict cache, _FrontSlot *front, object tp):
    """A per-type answer still valid for tp (the type's version tag is
    unchanged since it was stored), or -1."""
    cdef _TypeHead *head = <_TypeHead *>tp
    cdef _FrontSlot *slot = _front_slot(front, tp)
    if not head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        return -1
    if slot.ref != NULL and PyWeakref_GET_OBJECT(slot.ref) == <PyObject *>tp \
            and head.tp_version_tag == slot.tag:
        return slot.answer
    cdef object entry = cache.get(id(tp))
    if entry is not None and (<tuple>entry)[0]() is tp \
            and head.tp_version_tag == <unsigned int>(<tuple>entry)[1]:
        _front_fill(slot, (<tuple>entry)[0], head.tp_version_tag, (<tuple>entry)[2])
        return (<tuple>entry)[2]
    return -1


cdef void _type_cache_put(dict cache, _FrontSlot *front, object tp, int answer):
    cdef _TypeHead *head = <_TypeHead *>tp
    # Without a valid version tag a later change could not be noticed.
    if head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        if len(cache) >= _VERDICTS_LIMIT:
            cache.clear()
        # The type is held weakly: an answer must not keep a user's class
        # (and everything it references) alive after the program drops it.
        ref = _weakref_ref(tp)
        cache[id(tp)] = (ref, head.tp_version_tag, answer)
        _front_fill(_front_slot(front, tp), ref, head.tp_version_tag, answer)


cdef int _verdict(object pickler, object obj_type) except -1:
    cdef int verdict = _type_cache_get(_verdicts, _verdict_front, obj_type)
    if verdict >= 0:
        return verdict
    try:
        verdict = _compute_verdict(pickler, obj_type)
    except Exception:
        verdict = _FULL
    _type_cache_put(_verdicts, _verdict_front, obj_type, verdict)
    return verdict


cdef inline bint _instance_dict_is_plain(object obj):
    cdef PyObject **dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr == NULL or dict_ptr[0] == NULL:
        return True
    cdef object instance_dict = <object>dict_ptr[0]
    if type(instance_dict) is not dict:
        return False
    if not instance_dict:
        return True
    return not (_N_GETATTR in <dict>instance_dict or _N_NEWARGS_EX in <dict>instance_dict
                or _N_NEWARGS in <dict>instance_dict or _N_INITARGS in <dict>instance_dict
                or _N_GETSTATE in <dict>instance_dict)


# Reductions of built-in methods bound to instances (``lock.acquire``): a new
# bound object every time it is read, and the name depends only on the type
# of the instance and the method's name.  Failure reductions of C objects
# hold many of them.
cdef dict _bound_builtin_names = {}
cdef object _BuiltinMethodType = types.BuiltinMethodType
cdef object _ModuleType = types.ModuleType


cdef object _bound_builtin_key(object obj):
    if type(obj) is not _BuiltinMethodType:
        return None
    owner = obj.__self__
    owner_type = type(owner)
    if owner is None or owner_type is _ModuleType or isinstance(owner, type):
        return None
    if (<_TypeHead *>owner_type).tp_flags & (1 << 9):
        # heap types can be changed or replaced; only static C types
        return None
    return (owner_type, obj.__name__)


cdef object _module_getattribute = types.ModuleType.__getattribute__


cdef object _module_name(object module):
    # A module subclass may compute its attributes on access: a lazily
    # loaded module runs its whole body at its first attribute read.  Its
    # name is read as a plain module's, from the module's namespace.
    if type(module) is _ModuleType:
        return module.__name__
    return _module_getattribute(module, "__name__")


class NewFuncWrap:
    def __init__(self, name):
        self.name = name

    def __reduce__(self):
        from jsonpickle.unpickler import loadclass
        return (loadclass, (self.name,))


class Wraper:
    def __init__(self, name):
        self.name = name

    def __reduce__(self):
        from jsonpickle.unpickler import loadclass
        return (loadclass, (self.name,))


class SafePickler(corvane_collector.data_serialization.corv_pickle.Pickler):
    """This class is a pickle.Pickler that overrides the default pickle reducer."""

    types_to_skip = {
        type, bool, int, float, bytes, str, dict, set, frozenset, list, tuple, bytearray,
        type(wrap_object),
        OrderedDict, defaultdict,
        types.FunctionType, types.MethodType,
        datetime.datetime, datetime.time, datetime.date, datetime.timedelta, datetime.tzinfo,
        datetime.timezone,
        random.Random, random.SystemRandom,
        pathlib.Path, pathlib.PurePath, pathlib.PurePosixPath, pathlib.PosixPath,
        inspect.FullArgSpec,
        uuid.UUID,
    }
    subclasses_to_skip = {type, str, Enum, BaseModel, Exception}
    full_names_to_run_functions = {"sqlalchemy.orm.decl_api.DeclarativeMeta.Base"}
    # Library classes whose instances keep their whole state in their
    # instance dict, kept by it although they define pickling methods.
    full_names_kept_by_state = {"toolz.functoolz.curry", "toolz.functoolz.Compose",
                                "toolz.functoolz.juxt"}
    full_names_to_rebuild_functions_dict = {
        "sqlalchemy.orm.decl_api.DeclarativeMeta.Base": "sqlalchemy.ext.declarative.declarative_base",
    }
    specific_type_for_magic_mock = {Logger}
    if has_yaml:
        specific_type_for_magic_mock.add(yaml._yaml.Mark)

    def __init__(self, obj_wrap, *args, **kwargs):
        self.obj_wrap = obj_wrap
        super().__init__(*args, **kwargs)
        self.dispatch_table = {}

    def reducer_override(self, obj):
        cdef int verdict
        obj_type = type(obj)
        if type(self) is SafePickler:
            verdict = _verdict(self, obj_type)
            if verdict == _SKIP:
                return NotImplemented
            if verdict == _PLAIN and _instance_dict_is_plain(obj):
                if _recorded_usage(obj) is None or not self.obj_wrap:
                    return NotImplemented
            elif verdict == _WRAPPER and _wrapper_instance_is_plain(obj):
                if _recorded_usage(obj) is None or not self.obj_wrap:
                    return NotImplemented
        if self.is_obj_function(obj_type):
            return self.reduce_function(obj)
        kept = _kept_value(obj, obj_type)
        if kept is not None:
            return kept
        try:
            # The lookup reads obj.__name__, which runs a class's __getattr__
            # for instances: only asked where a known name could match.
            if type(self) is not SafePickler or _may_name_rebuild_function(obj_type):
                dynamic_rebuild_function = self.get_dynamic_rebuild_function(obj, obj_type)
                if dynamic_rebuild_function:
                    return (wrap_function, (dynamic_rebuild_function,))
        except Exception:
            pass
        if self.is_obj_type_to_skip(obj_type) or SafePickler.is_subclass_for_skip(obj):
            return NotImplemented
        try:
            if issubclass(obj_type, Exception):
                exception_full_name = UnpicklableHelpers.get_full_name(obj)
                return (wrap_exception, (exception_full_name, obj.args, obj.__dict__))
        except Exception:
            pass
        if isinstance(obj, types.ModuleType):
            return (wrap_module, (_module_name(obj),))
        used_attrs = used_attributes.get(id(obj))
        if used_attrs is not None and self.obj_wrap and not isinstance(obj, type):
            return self.reduce_used_attrs(obj, used_attrs)
        if self.is_obj_type_specific_type_for_magic_mock(obj_type):
            return (wrap_object, (type(obj), {}), {})
        if obj_has_getattr_that_is_python_based(obj):
            raise ProblematicPickleException(
                "'" + format(obj_type) + "' cant be pickled because it has __getattr__ method")
        if self.is_problematic_pickle(obj):
            raise ProblematicPickleException(
                "'" + format(obj_type) + "' cant be pickled because it has one of the pickle methods")
        return NotImplemented

    def is_obj_function(self, obj_type):
        if obj_type in FUNCTIONS_TYPES:
            return True
        if CLASS_METHOD_DESCRIPTOR in str(obj_type):
            return True
        return BUILTIN_METHOD in str(obj_type)

    def is_obj_type_to_skip(self, obj_type):
        return obj_type in SafePickler.types_to_skip

    def is_obj_type_specific_type_for_magic_mock(self, obj_type):
        return obj_type in SafePickler.specific_type_for_magic_mock

    @staticmethod
    def is_subclass_for_skip(obj):
        for subclass in SafePickler.subclasses_to_skip:
            if not issubclass(type(obj), subclass):
                continue
            if (obj.__class__.__reduce__ == subclass.__reduce__
                    and obj.__class__.__reduce_ex__ == subclass.__reduce_ex__
                    and not hasattr(obj, GET_NEWARGS_EX)
                    and not hasattr(obj, GETNEWARGS)
                    and not hasattr(obj, GET_INITARGS)):
                return True
            if (hasattr(obj, GETSTATE_STR)
                    and hasattr(subclass, GETSTATE_STR)
                    and obj.__class__.__getstate__ == subclass.__getstate__):
                return True
        return False

    def is_problematic_pickle(self, obj):
        if (obj.__class__.__qualname__ == REDUCE_ALLOWED_QUAL_NAME
                and obj.__module__ == REDUCE_ALLOWED_MODULE):
            return False
        return (obj.__class__.__reduce__ != object.__reduce__
                or obj.__class__.__reduce_ex__ != object.__reduce_ex__
                or hasattr(obj, GET_NEWARGS_EX)
                or hasattr(obj, GETNEWARGS)
                or hasattr(obj, GET_INITARGS)
                or hasattr(obj, GETSTATE_STR))

    def reduce_function(self, obj):
        key = _bound_builtin_key(obj)
        if key is not None:
            cached = _bound_builtin_names.get(key)
            if cached is not None:
                return cached
        from jsonpickle.unpickler import loadclass
        if not (obj != loadclass and obj != Wraper and obj != NewFuncWrap
                and obj != _reconstructor and obj != wrap_object and obj != UnpicklableObject
                and obj is not _load_by_name):
            return NotImplemented
        if type(obj) is _FunctionType:
            kept = _kept_function(obj)
            if kept is not None:
                return kept
        if isinstance(obj, type):
            obj = object.__getattribute__(obj, INIT_STR)
        if hasattr(obj, FUNC_STR):
            obj = obj.__func__
        is_method = hasattr(obj, SELF_STR)
        get_function_module(obj, is_method)
        func_name = _metadata_name(obj)
        if key is not None and type(func_name) is str:
            if len(_bound_builtin_names) >= _VERDICTS_LIMIT:
                _bound_builtin_names.clear()
            _bound_builtin_names[key] = (loadclass, (func_name,))
        if type(func_name) is not str:
            # loadclass cannot resolve a missing name: the whole record would
            # fail to load.
            raise TypeError("cannot pickle '%s' object: its full name is unknown"
                            % (type(obj).__qualname__,))
        return (loadclass, (func_name,))

    def get_dynamic_rebuild_function(self, obj, obj_type):
        if obj_type is not None and type(obj_type) is not type:
            raise TypeError("the type of %r is not exactly type" % (obj_type,))
        full_name_concat = DOT.join([obj_type.__module__, obj_type.__name__, obj.__name__])
        if full_name_concat in SafePickler.full_names_to_run_functions:
            return SafePickler.full_names_to_rebuild_functions_dict.get(full_name_concat)
        return None

    def reduce_used_attrs(self, obj, attributes):
        obj_type = type(obj)
        if obj_type == types.ModuleType:
            obj_type = ModuleWrapper
        attrs, funcs = get_attributes_value(obj, attributes)
        return (wrap_object, (obj_type, funcs), attrs)


# reducer_override's per-type verdicts depend on the type only; the direct
# path asks them of this instance.
cdef object _VERDICT_PICKLER = SafePickler.__new__(SafePickler)


class UnpicklableHelpers(object):
    """This class contains functions to help with pickling objects that are generaly unpicklable.
    Its main functionality is the failure reducer that is being called when pickle fails to pickle an object.
    """

    @staticmethod
    def __reduce__(obj):
        state = {}
        funcs = {}
        obj_type = type(obj)
        if obj_has_getattr_that_is_python_based(obj):
            return (UnpicklableObject, (str(obj_type), funcs), state)
        object_dir = dir(obj)
        class_dir = dir(obj.__class__)
        is_ctypes_value = _is_ctypes_value(obj_type)
        reader = _ObjectReader(obj)
        for obj_property in object_dir:
            if obj_property.startswith("__") and obj_property != "__enter__" and obj_property != "__exit__":
                continue
            if is_ctypes_value and not _stored_or_method(obj, obj_type, obj_property):
                # A ctypes value's `value`, `contents` and fields are read
                # through the address it holds, which may point anywhere (a
                # c_char_p or a pointer made from an integer): reading them can
                # crash the program.
                continue
            if obj_type is _FrameType and obj_property == _F_LOCALS:
                # Reading it stores a snapshot of the frame's variables on
                # the frame, which then keeps the program's objects alive
                # for as long as the frame lives (a generator's, a caller's).
                continue
            try:
                if UnpicklableHelpers.should_use_getattr(obj, obj_property, object_dir, class_dir):
                    method = reader.read(obj_property)
                else:
                    method = _stored_attribute(obj, obj_property)
            except Exception:
                continue
            if method is _NOT_READ:
                continue
            if type(method) != types.MethodType:
                if (type(method) is obj_type and method is not obj
                        and _computed_on_read(obj_type, obj_property)):
                    # A fresh object of the same type made by a getter (a
                    # number's `imag`, a Fraction's `real`) would be described
                    # the same way, its own getter making the next one: an
                    # endless chain, cut only by the pickler's depth bound.
                    continue
                state[obj_property] = method
                continue
            try:
                funcs[obj_property] = FunctionWrapper(UnpicklableHelpers.get_full_name(method.__func__))
            except Exception:
                try:
                    funcs[obj_property] = FunctionWrapper(UnpicklableHelpers.get_full_name(
                        getattr(method.__self__.__class__, method.__name__)))
                except Exception:
                    pass
        return (UnpicklableObject, (str(obj_type), funcs), state)

    @staticmethod
    def should_use_getattr(obj, obj_property, object_dir, class_dir):
        # Reading through a descriptor written in Python (a caching property,
        # an ORM's lazy attribute) would change the program's object or make
        # it do work; what it stored in the instance dict is read instead.
        if _runs_python_descriptor(obj, obj_property):
            return False
        if DICT_DUNDER not in object_dir or DICT_DUNDER not in class_dir:
            return True
        object_class_dict = obj.__class__.__dict__
        if obj_property not in object_class_dict or obj_property in obj.__dict__:
            return True
        property_from_class = object_class_dict[obj_property]
        if isinstance(property_from_class, property):
            return True
        return bool(inspect.isroutine(property_from_class))

    @staticmethod
    def get_full_name(obj):
        if isinstance(obj, type):
            obj = object.__getattribute__(obj, INIT_STR)
            if hasattr(obj, FUNC_STR):
                obj = obj.__func__
        get_function_module(obj, True)
        return _metadata_name(obj)

    @staticmethod
    def special_cases(obj):
        return obj.__name__ in TYPES_TO_CONTINUE_PICKLE_ON_ERROR.get(obj.__module__, [])


cdef object _FrameType = types.FrameType
cdef object _GetSetDescriptorType = types.GetSetDescriptorType


cdef bint _computed_on_read(object obj_type, str name):
    """Whether the class attribute ``name`` is a getter (a property or a C
    type's computed attribute) rather than a stored field (slot) or value."""
    for cls in obj_type.__mro__:
        found = cls.__dict__.get(name)
        if found is not None:
            return type(found) is property or type(found) is _GetSetDescriptorType
    return False
cdef str _F_LOCALS = "f_locals"
cdef object _CData = None


cdef bint _is_ctypes_value(object obj_type):
    """Whether ``obj_type`` is a ctypes data type.  ctypes is not imported for
    it: without ``_ctypes`` loaded there are no such values."""
    global _CData
    if _CData is None:
        ctypes_module = _sys_modules.get("_ctypes")
        if ctypes_module is None:
            return False
        _CData = ctypes_module._SimpleCData.__base__
    return issubclass(obj_type, _CData)


cdef bint _stored_or_method(object obj, object obj_type, str name):
    """Whether ``name`` of a ctypes value is an entry of its instance dict or a
    method: the attributes that do not go through the value's memory."""
    try:
        if name in obj.__dict__:
            return True
    except Exception:
        pass
    for cls in obj_type.__mro__:
        found = cls.__dict__.get(name)
        if found is not None:
            return bool(inspect.isroutine(found))
    return False


# ---------------------------------------------------------------------------
# Values kept by their state
#
# Some values' classes define pickling methods of their own, which the rules
# above refuse to call, although their whole state can be read without
# running any code of theirs: the standard library's signatures, parameters,
# bound arguments and partial objects (fields in slots and C members),
# instances of the library classes named in
# SafePickler.full_names_kept_by_state (fields in the instance dict), and
# functions that cannot be found by name (lambdas, local functions, functions
# made by exec), kept as their compiled code, the module whose globals they
# use, their closure values and attributes.  The loaders of corv_pickle
# rebuild them without the classes' pickling methods.  Only exact classes are
# kept so: a subclass may hold state or code of its own.

import functools as _functools
import gc as _gc
import importlib.util as _importlib_util
import marshal as _marshal

cdef object _corv = corvane_collector.data_serialization.corv_pickle
cdef object _own_reduce_value_ok = corvane_collector.data_serialization.corv_pickle._reduce_value_ok
cdef dict _found_by_name = corvane_collector.data_serialization.corv_pickle._FOUND_BY_NAME


cdef bint _reduce_ok(tuple rv) except -1:
    # _reduce_value_ok(rv): its answer for callables and classes it has
    # found by name before, without the call; asked of it otherwise
    func = rv[0]
    if _found_by_name.get(id(func)) is not func:
        return _own_reduce_value_ok(rv, True)
    args = rv[1] if len(rv) > 1 else None
    if type(args) is tuple:
        for arg in <tuple>args:
            if isinstance(arg, type) and _found_by_name.get(id(arg)) is not arg:
                return _own_reduce_value_ok(rv, True)
    return True


cdef object _Signature = inspect.Signature
cdef object _Parameter = inspect.Parameter
cdef object _BoundArguments = inspect.BoundArguments
cdef object _partial = _functools.partial
cdef object _MappingProxyType = types.MappingProxyType
cdef object _odict_items = OrderedDict.items
cdef object _gc_get_referents = _gc.get_referents
cdef object _marshal_dumps = _marshal.dumps
cdef object _MAGIC = _importlib_util.MAGIC_NUMBER
cdef object _staticmethod = staticmethod
cdef object _classmethod = classmethod
# (larger functions are described: their code would make every record large)
cdef Py_ssize_t _MAX_KEPT_CODE = 65536


cdef object _members(object cls, tuple names):
    """The member descriptors (slots, C fields) of cls by name, or None when
    one of them is something else (another interpreter's layout)."""
    found = tuple(cls.__dict__.get(name) for name in names)
    for descriptor in found:
        if type(descriptor) is not types.MemberDescriptorType:
            return None
    return found


cdef object _SIGNATURE_FIELDS = _members(_Signature, ("_parameters", "_return_annotation"))
cdef object _PARAMETER_FIELDS = _members(_Parameter, ("_name", "_kind", "_default", "_annotation"))
cdef object _PARTIAL_FIELDS = _members(_partial, ("func", "args", "keywords"))
cdef object _BOUND_FIELDS = _members(inspect.BoundArguments, ("_signature", "arguments"))
cdef tuple _PARAMETER_KINDS = tuple(inspect._ParameterKind)


cdef object _keep_parameter(object obj):
    if _PARAMETER_FIELDS is None:
        return None
    try:
        name, kind, default, annotation = [field.__get__(obj, _Parameter) for field in _PARAMETER_FIELDS]
    except AttributeError:
        return None                          # a field never set
    if type(name) is not str:
        return None
    for number in range(len(_PARAMETER_KINDS)):
        if kind is _PARAMETER_KINDS[number]:
            return (_corv.load_parameter, (name, number, default, annotation))
    return None


cdef object _keep_signature(object obj):
    if _SIGNATURE_FIELDS is None or _PARAMETER_FIELDS is None:
        return None
    try:
        proxy = (<tuple>_SIGNATURE_FIELDS)[0].__get__(obj, _Signature)
        annotation = (<tuple>_SIGNATURE_FIELDS)[1].__get__(obj, _Signature)
    except AttributeError:
        return None
    if type(proxy) is not _MappingProxyType:
        return None
    # The proxy's mapping, read without asking the proxy (which would call
    # the mapping's own methods).
    inner = _gc_get_referents(proxy)
    if len(inner) != 1:
        return None
    mapping = inner[0]
    if type(mapping) is OrderedDict:
        items = _odict_items(mapping)
    elif type(mapping) is dict:
        items = (<dict>mapping).items()
    else:
        return None
    parameters = []
    for key, parameter in items:
        if type(key) is not str or type(parameter) is not _Parameter:
            return None
        try:
            name = (<tuple>_PARAMETER_FIELDS)[0].__get__(parameter, _Parameter)
        except AttributeError:
            return None
        if type(name) is not str or name != key:
            return None                      # the loader keys the parameters by name
        parameters.append(parameter)
    return (_corv.load_signature, (tuple(parameters), annotation))


cdef object _keep_bound_arguments(object obj):
    if _BOUND_FIELDS is None:
        return None
    try:
        signature, arguments = [field.__get__(obj, _BoundArguments) for field in _BOUND_FIELDS]
    except AttributeError:
        return None
    return (_corv.load_bound_arguments, (signature, arguments))


cdef object _keep_partial(object obj):
    cdef PyObject **dict_ptr
    if _PARTIAL_FIELDS is None:
        return None
    func, args, keywords = [field.__get__(obj, _partial) for field in _PARTIAL_FIELDS]
    if type(args) is not tuple or (keywords is not None and type(keywords) is not dict):
        return None
    namespace = None
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr != NULL and dict_ptr[0] != NULL:
        if type(<object>dict_ptr[0]) is not dict:
            return None
        if <dict>dict_ptr[0]:
            namespace = <object>dict_ptr[0]
    # partial's own reduction, computed from its fields; loading calls its
    # C __setstate__.
    return (_partial, (func,), (func, args, keywords, namespace))


cdef object _keep_by_state(object obj, object obj_type):
    """An instance of a listed library class whose whole state is its
    instance dict and slots: the class by name, that dict and the slots' values."""
    cdef PyObject **dict_ptr
    if type(obj_type) is not type or not SafePickler.full_names_kept_by_state:
        return None
    module_name = obj_type.__module__
    if type(module_name) is not str or \
            DOT.join([module_name, obj_type.__qualname__]) not in SafePickler.full_names_kept_by_state:
        return None
    if (<_TypeHead *>obj_type).tp_getattro != <_getattrofunc>PyObject_GenericGetAttr:
        return None
    slots = []
    for cls in obj_type.__mro__[:-1]:
        if type(cls) is not type:
            return None
        namespace = cls.__dict__
        if not cls.__flags__ & _HEAP_TYPE or _N_GETATTR in namespace:
            return None                      # fields outside the dict, or computed on access
        if "__slots__" in namespace and not _add_slots(namespace, slots):
            return None
        found = namespace.get("__class__")
        if found is not None and found is not _class_descriptor:
            return None
    if _found_name(obj_type) is None:
        return None
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    state = None if dict_ptr == NULL or dict_ptr[0] == NULL else <object>dict_ptr[0]
    if state is not None and type(state) is not dict:
        return None
    if slots:
        values = {}
        for name, member in slots:
            try:
                values[name] = member.__get__(obj, obj_type)
            except AttributeError:
                pass                         # never set
        return (_newobj, (obj_type,), (state, values), None, None, _corv.set_instance_slots)
    if state is None:
        return (_newobj, (obj_type,))
    # One that its module holds under the name it carries (a decorated
    # function) also keeps that name: a replay may use the module's object
    # itself when it still holds this state.
    module_name = (<dict>state).get("__module__")
    qualname = (<dict>state).get("__qualname__")
    if _function_found(obj, module_name, qualname):
        return (_newobj, (obj_type,), (module_name, qualname, state), None, None,
                _corv.set_named_instance_dict)
    return (_newobj, (obj_type,), state, None, None, _corv.set_instance_dict)


cdef int _HEAP_TYPE = 1 << 9


cdef bint _add_slots(namespace, list slots) except -1:
    """Adds a class's slots as (name, member descriptor) to slots; False for
    slots that are not plain members of the class (or whose names are mangled)."""
    names = namespace["__slots__"]
    if type(names) is str:
        names = (names,)
    if type(names) is not tuple and type(names) is not list:
        return False
    for name in names:
        if type(name) is not str:
            return False
        if name == "__dict__" or name == "__weakref__":
            continue
        if (<str>name).startswith("__") and not (<str>name).endswith("__"):
            return False
        member = namespace.get(name)
        if type(member) is not _MemberDescriptorType:
            return False
        slots.append((name, member))
    return True
cdef object _defaultdict = defaultdict
cdef object _default_factory = defaultdict.__dict__["default_factory"]
cdef object _dict_items = dict.items
cdef tuple _PICKLING_NAMES = ("__reduce__", "__reduce_ex__", "__getstate__", "__setstate__",
                              "__getnewargs__", "__getnewargs_ex__", "__slots__", _N_GETATTR,
                              "__getattribute__", "__class__")


cdef object _keep_defaultdict(object obj, object obj_type):
    """A subclass of defaultdict whose classes add only methods and instance
    attributes: its class, factory, items and instance dict, read by the C
    members (defaultdict's own reduction calls the subclass's items())."""
    cdef PyObject **dict_ptr
    if type(obj_type) is not type or obj_type is _defaultdict:
        return None
    for cls in obj_type.__mro__:
        if cls is _defaultdict:
            break
        if type(cls) is not type or not cls.__flags__ & _HEAP_TYPE:
            return None
        namespace = cls.__dict__
        for name in _PICKLING_NAMES:
            if name in namespace:
                return None
    if _found_name(obj_type) is None:
        return None
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    attributes = {} if dict_ptr == NULL or dict_ptr[0] == NULL else <object>dict_ptr[0]
    if type(attributes) is not dict:
        return None
    state = (_default_factory.__get__(obj), list(_dict_items(obj)), attributes)
    return (_newobj, (obj_type,), state, None, None, _corv.set_defaultdict_state)


cdef bint _function_found(object func, object module_name, object qualname):
    """Whether the function is what its module and qualified name lead to,
    following only namespaces (no attribute lookups that could run code)."""
    if type(module_name) is not str or type(qualname) is not str or "<" in <str>qualname:
        return False
    module = _sys_modules.get(module_name)
    if not isinstance(module, _ModuleType):
        return False
    found = module
    for part in (<str>qualname).split(DOT):
        if found is module:
            namespace = _module_getattribute(module, DICT_DUNDER)
        elif type(found) is type:
            namespace = found.__dict__
        else:
            return False
        if type(namespace) is not dict and type(namespace) is not _MappingProxyType:
            return False
        found = namespace.get(part)
        if type(found) is _staticmethod or type(found) is _classmethod:
            found = found.__func__
        if found is None:
            return False
    return found is func


cdef object _keep_function(object func):
    """A function that cannot be found by name, kept by its code; None for
    the others (named as before) and for functions whose globals are not a
    module's."""
    cdef PyObject **dict_ptr
    qualname = func.__qualname__
    if _function_found(func, func.__module__, qualname) or type(qualname) is not str:
        return None
    namespace = func.__globals__
    if type(namespace) is not dict:
        return None
    module_name = (<dict>namespace).get(_N_NAME)
    if type(module_name) is not str or module_name == MAIN_STR:
        return None                          # a replayed script has another module name
    module = _sys_modules.get(module_name)
    if type(module) is not _ModuleType or _module_getattribute(module, DICT_DUNDER) is not namespace:
        return None
    code = func.__code__
    try:
        code_data = _marshal_dumps(code)
    except ValueError:
        return None                          # constants marshal cannot write
    if len(code_data) > _MAX_KEPT_CODE:
        return None
    filename = (<dict>namespace).get("__file__")
    state = {}
    closure = func.__closure__
    if closure is not None:
        cells = []
        for cell in <tuple>closure:
            try:
                cells.append((cell.cell_contents,))
            except ValueError:
                cells.append(())             # an empty cell
        state["cells"] = tuple(cells)
    for attribute, value in ((_N_DEFAULTS, func.__defaults__), (_N_KWDEFAULTS, func.__kwdefaults__),
                             (_N_DOC, func.__doc__), (_N_ANNOTATIONS, func.__annotations__ or None)):
        if value is not None:
            state[attribute] = value
    if func.__name__ != code.co_name:
        state[_N_NAME] = func.__name__
    if type(func.__module__) is not str or func.__module__ != module_name:
        state[_N_MODULE] = func.__module__
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>func)
    if dict_ptr != NULL and dict_ptr[0] != NULL and <dict>dict_ptr[0]:
        state[DICT_DUNDER] = <object>dict_ptr[0]
    return (_corv.load_function,
            (module_name, qualname, filename if type(filename) is str else None, code_data, _MAGIC,
             len(code.co_freevars)),
            state or None, None, None, _corv.set_function_state)


cdef object _kept_function(object func):
    try:
        return _keep_function(func)
    except Exception:
        return None                          # named as before


cdef str _N_DEFAULTS = "__defaults__"
cdef str _N_KWDEFAULTS = "__kwdefaults__"
cdef str _N_DOC = "__doc__"
cdef str _N_ANNOTATIONS = "__annotations__"


cdef object _kept_value(object obj, object obj_type):
    """A reduction keeping obj's state (see above), or None."""
    try:
        if obj_type is _Signature:
            return _keep_signature(obj)
        if obj_type is _Parameter:
            return _keep_parameter(obj)
        if obj_type is _partial:
            return _keep_partial(obj)
        if obj_type is _BoundArguments:
            return _keep_bound_arguments(obj)
        if obj is Ellipsis or obj is NotImplemented:
            return (_load_by_name, ("builtins", "Ellipsis" if obj is Ellipsis else "NotImplemented"))
        if issubclass(obj_type, _defaultdict):  # (isinstance would read a lazy module's __class__)
            return _keep_defaultdict(obj, obj_type)
        return _keep_by_state(obj, obj_type)
    except Exception:
        return None                          # the rules describe it then


cdef inline bint _is_small_scalar(object value):
    cdef object value_type = type(value)
    if value_type is int or value_type is float or value_type is bool or value is None:
        return True
    if value_type is str or value_type is bytes:
        return len(value) < 4096
    return False


cdef bint _is_small_plain(object obj):
    """Whether ``obj`` is a scalar or a small flat container of scalars.

    Such values never reach ``reducer_override`` (the base pickler writes
    these exact types itself), so the C pickler's ``dumps`` writes the very
    bytes a SafePickler would, without the cost of building one.
    """
    cdef object obj_type = type(obj)
    if _is_small_scalar(obj):
        return True
    if obj_type is tuple or obj_type is list:
        if len(obj) > 16:
            return False
        for item in obj:
            if not _is_small_scalar(item):
                return False
        return True
    if obj_type is dict:
        if len(obj) > 16:
            return False
        for key, item in (<dict>obj).items():
            if not _is_small_scalar(key) or not _is_small_scalar(item):
                return False
        return True
    return False


cdef object _c_dumps = __import__("_pickle").dumps
cdef object _DEFAULT_PROTOCOL = corvane_collector.data_serialization.corv_pickle.DEFAULT_PROTOCOL
cdef int _C_PICKLER_MAX_RECURSION_LIMIT = \
    corvane_collector.data_serialization.corv_pickle.C_PICKLER_MAX_RECURSION_LIMIT
cdef object _base_is_native = corvane_collector.data_serialization.corv_pickle._is_native
cdef object _reduce_value_ok = corvane_collector.data_serialization.corv_pickle._reduce_value_ok
cdef object _FunctionType = types.FunctionType
cdef object _BuiltinFunctionType = types.BuiltinFunctionType
cdef object _original_is_obj_function = SafePickler.__dict__["is_obj_function"]
cdef object _original_reducer_override = SafePickler.__dict__["reducer_override"]


cdef inline bint _functions_reduced_as_built():
    # The direct paths ask reduce_function (looked up on the class, so a
    # replaced one is honoured) without reducer_override's other rules; a
    # replaced reducer_override sends functions the full way.
    return SafePickler.__dict__.get("reducer_override") is _original_reducer_override


# ---------------------------------------------------------------------------
# Direct dumps
#
# Most values the recorder meets (its own records and metric messages, the
# signatures of functions, plain data, instances of plain classes) never get
# anything but NotImplemented from reducer_override, and for them the base
# pickler's hook leaves the reduction to the C pickler or computes the very
# one the C pickler would.  Such values are dumped by a bare C pickler whose
# reducer_override is a guard: it lets through the objects that the full
# path would leave to default pickling, and stops the dump at the first other
# object (before anything of that object is reduced), after which the full
# path pickles the value from scratch.  The guard sees every object that is
# not of an exact built-in type the C pickler writes by itself, at the moment
# it is about to be saved, so a value that changes while it is pickled cannot
# slip an object past it.  The C pickler's dispatch_table is empty, like the
# safe pickler's.  The bytes are the full path's (tests compare them).

cdef extern from "Python.h":
    int Py_GetRecursionLimit()

cdef object _FullArgSpec = inspect.FullArgSpec
cdef object _NotImplemented = NotImplemented
cdef dict _direct_types = {}     # id(type) -> (weak ref, version tag, verdict)


class _NotDirect(Exception):
    """Stops a direct dump: the value needs the full path."""


# Kinds of direct types
cdef int _NOT_DIRECT = 0
cdef int _DIRECT_DICT = 1       # fields in the instance dict only
cdef int _DIRECT_SLOTS = 2      # some fields in slots


cdef int _compute_direct_type(object tp) except -1:
    """Whether reducer_override and the base pickler leave every plain
    instance of tp (exact, with an instance dict free of pickling names and
    no recorded usage) to the C pickler's default reduction, and where such
    instances keep their fields."""
    cdef object cls
    if _verdict(_VERDICT_PICKLER, tp) != _PLAIN:
        return _NOT_DIRECT
    if not _base_is_native(tp):
        return _NOT_DIRECT
    for cls in tp.__mro__[:-1]:
        if "__slots__" in cls.__dict__:
            return _DIRECT_SLOTS
    return _DIRECT_DICT


cdef inline int _is_direct_type(object tp) except -1:
    cdef _FrontSlot *slot = _front_slot(_direct_front, tp)
    # (the front slot's answer, as _type_cache_get gives it, without a call)
    if (<_TypeHead *>tp).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG and slot.ref != NULL \
            and PyWeakref_GET_OBJECT(slot.ref) == <PyObject *>tp \
            and (<_TypeHead *>tp).tp_version_tag == slot.tag:
        return slot.answer
    return _is_direct_type_slow(tp)


cdef int _is_direct_type_slow(object tp) except -1:
    cdef int verdict = _type_cache_get(_direct_types, _direct_front, tp)
    if verdict >= 0:
        return verdict
    try:
        verdict = _compute_direct_type(tp)
    except Exception:
        verdict = _NOT_DIRECT
    _type_cache_put(_direct_types, _direct_front, tp, verdict)
    return verdict


cdef str _N_REDUCE_EX = "__reduce_ex__"
cdef str _N_REDUCE = "__reduce__"


# Instance dicts whose keys are the very key objects of one seen before
# (instances of one class, filled in one order) need not be searched again
# for the names that would change their reduction: runs of keys found
# without them, by class and size.
DEF _KEY_RUNS = 64
cdef PyObject *_key_runs[_KEY_RUNS]


cdef extern from "corv_dict_table.h":
    # PyDict_Next without a call per entry
    int corv_dict_next(object d, Py_ssize_t *pos, PyObject **key, PyObject **value)
    Py_ssize_t corv_dict_items(PyObject *d, PyObject **keys, PyObject **values, Py_ssize_t max)

cdef extern from "Python.h":
    Py_ssize_t PyDict_GET_SIZE "PyDict_Size"(object d)
    PyObject *PyTuple_GET_ITEM_PTR "PyTuple_GET_ITEM"(PyObject *t, Py_ssize_t i)
    Py_ssize_t PyTuple_GET_SIZE_PTR "PyTuple_GET_SIZE"(PyObject *t)


cdef inline size_t _key_run_slot(object tp, Py_ssize_t n):
    # (an even slot: runs live in pairs, the newer first)
    cdef size_t h = ((<size_t><void *>tp >> 4) ^ (<size_t>n << 40)) * <size_t>0x9E3779B97F4A7C15
    return (h >> 58) & (_KEY_RUNS - 2)


cdef inline bint _same_keys(dict d, PyObject *run):
    cdef Py_ssize_t pos = 0
    cdef Py_ssize_t i = 0
    cdef PyObject *key
    cdef PyObject *value
    if run == NULL or PyTuple_GET_SIZE_PTR(run) != PyDict_GET_SIZE(d):
        return False
    while corv_dict_next(d, &pos, &key, &value):
        if key != PyTuple_GET_ITEM_PTR(run, i):
            return False
        i += 1
    return True


cdef bint _seen_plain_keys(dict d, size_t slot):
    return _same_keys(d, _key_runs[slot]) or _same_keys(d, _key_runs[slot + 1])


cdef void _remember_plain_keys(dict d, size_t slot):
    cdef object run = tuple(d)
    Py_XDECREF(_key_runs[slot + 1])
    _key_runs[slot + 1] = _key_runs[slot]
    Py_INCREF(run)
    _key_runs[slot] = <PyObject *>run


cdef bint _direct_object(object obj, bint obj_wrap) except -1:
    """Whether the full path would pickle obj exactly as the C pickler does
    by default (obj is of a type that reaches reducer_override)."""
    cdef object tp = type(obj)
    cdef PyObject **dict_ptr
    cdef object instance_dict
    cdef size_t slot
    if tp is type:
        # classes of the plain metaclass: pickled by name either way
        return True
    if tp is _FullArgSpec:
        return True
    if (<_TypeHead *>tp).tp_flags & (1 << 9) == 0:
        # static C types other than the two above take the full path
        return False
    if not _is_direct_type(tp):
        return False
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr != NULL and dict_ptr[0] != NULL:
        instance_dict = <object>dict_ptr[0]
        if type(instance_dict) is not dict:
            return False
        if instance_dict:
            slot = _key_run_slot(tp, len(<dict>instance_dict))
            if not _seen_plain_keys(<dict>instance_dict, slot):
                if (_N_GETATTR in <dict>instance_dict or _N_NEWARGS_EX in <dict>instance_dict
                        or _N_NEWARGS in <dict>instance_dict or _N_INITARGS in <dict>instance_dict
                        or _N_GETSTATE in <dict>instance_dict or _N_REDUCE_EX in <dict>instance_dict
                        or _N_REDUCE in <dict>instance_dict):
                    return False
                _remember_plain_keys(<dict>instance_dict, slot)
    if obj_wrap and _recorded_usage(obj) is not None:
        return False
    return True


cdef object _newobj = copyreg.__newobj__
cdef object _wrap_module = wrap_module
cdef object _module_loaded = module_loaded
cdef str _N_NAME = "__name__"


cdef class _DirectGuard:
    cdef public bint obj_wrap

    def __call__(self, obj):
        cdef object tp = type(obj)
        cdef PyObject **dict_ptr
        if tp is _ModuleType:
            # reducer_override names every module by its __name__
            dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
            if dict_ptr != NULL and dict_ptr[0] != NULL and type(<object>dict_ptr[0]) is dict:
                name = (<dict>dict_ptr[0]).get(_N_NAME)
                if type(name) is str:
                    return (_wrap_module, (name,))
            raise _NotDirect()
        if obj is _wrap_module:
            return _NotImplemented
        if tp is _FunctionType:
            return _guarded_function_reduction(obj)
        if not _direct_object(obj, self.obj_wrap):
            raise _NotDirect()
        if tp is type:
            # The C pickler imports the module of a class it writes by name;
            # one that is not fully loaded takes the full path, which names
            # it without importing.
            if not _module_loaded(obj.__module__):
                raise _NotDirect()
            return _NotImplemented
        if tp is _FullArgSpec:
            return _NotImplemented
        if _is_direct_type(tp) == _DIRECT_SLOTS:
            state = _slots_state(obj, tp)
            if state is _NO_STATE:
                # (the default reduction gathers the slot values itself)
                return _NotImplemented
            if state is None:
                return (_newobj, (tp,))
            return (_newobj, (tp,), state)
        # A plain instance: the reduction object.__reduce_ex__ would compute
        # (class, no arguments, the instance dict unless it is empty),
        # without its lookups.
        dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
        if dict_ptr != NULL and dict_ptr[0] != NULL and <dict>dict_ptr[0]:
            return (_newobj, (tp,), <object>dict_ptr[0])
        return (_newobj, (tp,))


cdef object _guarded_function_reduction(object obj):
    # What the full path's hook answers for a function: reduce_function's
    # reduction once the base pickler accepts it, or default pickling (by
    # name) for the functions it leaves alone.
    if not _functions_reduced_as_built():
        raise _NotDirect()
    rv = _VERDICT_PICKLER.reduce_function(obj)
    if rv is _NotImplemented:
        return _NotImplemented
    if type(rv) is not tuple or not rv or not _reduce_value_ok(rv, True):
        raise _NotDirect()
    return rv


cdef class _Sink:
    """Output of a direct dump: the C pickler writes its whole output in one
    call unless the pickle is larger than a frame."""
    cdef list chunks

    def __cinit__(self):
        self.chunks = []

    def write(self, data):
        self.chunks.append(data)
        return len(data)

    cdef object take(self):
        cdef list chunks = self.chunks
        self.chunks = []
        if len(chunks) == 1 and type(chunks[0]) is bytes:
            return chunks[0]
        return b"".join(chunks)


class _DirectCPickler(__import__("_pickle").Pickler):
    """C pickler whose reducer_override is the guard (set per instance)."""


cdef Py_ssize_t _SMALL_DUMP = 1024


cdef class _DirectDumper:
    cdef object pickler
    cdef _Sink sink
    cdef _DirectGuard guard

    def __cinit__(self):
        self.sink = _Sink()
        self.guard = _DirectGuard()
        pickler = _DirectCPickler.__new__(_DirectCPickler)
        pickler.reducer_override = self.guard
        __import__("_pickle").Pickler.__init__(pickler, self.sink, _DEFAULT_PROTOCOL)
        pickler.dispatch_table = {}
        self.pickler = pickler

    cdef object dump(self, object obj, bint obj_wrap):
        """The pickle of obj, or None when obj needs the full path."""
        self.guard.obj_wrap = obj_wrap
        try:
            self.pickler.dump(obj)
        except Exception:
            self.sink.chunks = []
            self.pickler.memo = {}
            return None
        except BaseException:
            self.sink.chunks = []
            self.pickler.memo = {}
            raise
        data = self.sink.take()
        if len(<bytes>data) > _SMALL_DUMP:
            # Clearing a memo costs as much as the largest dump it ever held;
            # after a large one start again from a small table.
            self.pickler.memo = {}
        else:
            self.pickler.clear_memo()
        return data


# One dumper is kept for reuse.  A dump can let other code run (a class
# pickled by name may import; a thread switch can happen there), so a dumper
# is taken out while it works and a nested or concurrent dump builds its own.
cdef _DirectDumper _spare_dumper = None


cdef object _direct_dumps(object obj, object obj_wrap):
    global _spare_dumper
    cdef _DirectDumper dumper = _spare_dumper
    _spare_dumper = None
    if dumper is None:
        dumper = _DirectDumper()
    # Anything but a real bool is treated as true: with usage recorded the
    # guard then defers to the full path, which reads the value itself.
    result = dumper.dump(obj, obj_wrap is not False)
    _spare_dumper = dumper
    return result


cdef object _NoneType = type(None)
cdef bytes _NONE_TYPE_PICKLE = _c_dumps(_NoneType, _DEFAULT_PROTOCOL)


# Signatures: every recorded call pickles its function's argspec, and the
# argspec object is shared by the calls of an unchanged function.  Its pickle
# is kept with a list of every object it was made from; it is reused only
# while the argspec still consists of exactly those objects.  Only argspecs
# made of immutable atoms and built-in classes are kept (their pickle cannot
# change while the objects stay), so holding them keeps nothing of the
# program alive.
cdef dict _argspec_pickles = {}   # id(argspec) -> (argspec, parts, pickle)
cdef Py_ssize_t _ARGSPEC_PICKLES_MAX = 2048


cdef bint _collect_atoms(object obj, list parts, int depth) except -1:
    cdef object tp = type(obj)
    parts.append(obj)
    if obj is None or tp is str or tp is int or tp is bool or tp is float or tp is bytes:
        return True
    if tp is type:
        # a static built-in class: its name cannot be changed
        return not ((<_TypeHead *>obj).tp_flags & (1 << 9))
    if depth > 4:
        return False
    if tp is tuple or tp is list:
        for item in obj:
            if not _collect_atoms(item, parts, depth + 1):
                return False
        parts.append(len(obj))
        return True
    if tp is dict:
        for key, value in (<dict>obj).items():
            if not _collect_atoms(key, parts, depth + 1) or not _collect_atoms(value, parts, depth + 1):
                return False
        parts.append(len(obj))
        return True
    return False


cdef object _argspec_parts(object argspec):
    cdef list parts = []
    for field in argspec:
        if not _collect_atoms(field, parts, 0):
            return None
    return parts


cdef bint _same_parts(list kept, list now):
    cdef Py_ssize_t i
    if len(kept) != len(now):
        return False
    for i in range(len(kept)):
        a = kept[i]
        b = now[i]
        if a is not b and not (type(a) is int and type(b) is int and a == b):
            # (the container lengths are ints made anew each time)
            return False
    return True


cdef object _cached_argspec_pickle(object argspec):
    parts = _argspec_parts(argspec)
    if parts is None:
        return None
    key = id(argspec)
    entry = _argspec_pickles.get(key)
    if entry is not None and (<tuple>entry)[0] is argspec and _same_parts((<tuple>entry)[1], parts):
        return (<tuple>entry)[2]
    data = _direct_dumps(argspec, False)
    if data is not None:
        if len(_argspec_pickles) >= _ARGSPEC_PICKLES_MAX:
            _argspec_pickles.clear()
        _argspec_pickles[key] = (argspec, parts, data)
    return data


# Written opcode by opcode: values made only of None, bools, 32-bit ints,
# floats, str, bytes, tuples, lists, dicts, sets, classes named at their
# module's top level and instances that the guard lets through -- the
# recorder's own records and metric messages, and most plain data.  The
# bytes are laid out exactly as the C pickler lays them out for protocol 4
# (same opcodes, same memo, one frame); a value with anything else in it,
# or too large for one frame, is left to the direct dumps.
cdef extern from "Python.h":
    int _PyFloat_Pack8(double x, unsigned char *p, int le) except -1
    const char* PyUnicode_AsUTF8AndSize(object text, Py_ssize_t* size)
    void PyErr_Clear()
    object PyBytes_FromStringAndSize(const char* data, Py_ssize_t size)
    void* PyMem_Malloc(size_t n)
    void* PyMem_Realloc(void* p, size_t n)
    void PyMem_Free(void* p)
    long long PyLong_AsLongLongAndOverflow(object obj, int* overflow) except? -1
    char* PyBytes_AS_STRING(object b)
    Py_ssize_t PyBytes_GET_SIZE(object b)

from libc.string cimport memcpy
import sys as _sys

cdef dict _sys_modules = _sys.modules
cdef dict _extension_registry = copyreg._extension_registry
cdef object _NoneTypeClass = type(None)
cdef object _NotImplementedType = type(NotImplemented)
cdef object _EllipsisType = type(Ellipsis)

DEF _FRAME_HEADER = 11
# (larger values are framed by the C pickler in frames of 64 KiB: they go
# through it, whose bytes they must be)
DEF _WRITE_MAX = 60000
DEF _WRITE_DEPTH = 40
DEF _BATCH = 1000
DEF _WRITE_TOP_ITEMS = 64


# (a call record memoizes 40 to 120 objects: the table grows only past 128)
DEF _MEMO_INLINE = 256
# (a small plain value memoizes at most 33 objects: its strings and itself)
DEF _SMALL_MEMO = 64
DEF _SMALL_BUFFER = 256


cdef struct _Writer:
    unsigned char* buf
    Py_ssize_t pos
    Py_ssize_t cap
    # memo: open addressing on object addresses, indices stored plus one
    void** keys
    Py_ssize_t* values
    Py_ssize_t slots            # a power of two
    Py_ssize_t used
    void* inline_keys[_MEMO_INLINE]
    Py_ssize_t inline_values[_MEMO_INLINE]


cdef inline size_t _slot_of(void* key, Py_ssize_t slots):
    cdef size_t h = <size_t>key
    h = (h >> 4) * <size_t>0x9E3779B97F4A7C15
    return (h >> 20) & <size_t>(slots - 1)


cdef inline Py_ssize_t _memo_lookup(_Writer* w, void* key):
    cdef size_t i = _slot_of(key, w.slots)
    while w.keys[i] != NULL:
        if w.keys[i] == key:
            return w.values[i]
        i = (i + 1) & <size_t>(w.slots - 1)
    return -1


cdef bint _memo_insert(_Writer* w, void* key, Py_ssize_t value) except -1:
    cdef Py_ssize_t old_slots
    cdef void** old_keys
    cdef Py_ssize_t* old_values
    cdef Py_ssize_t j
    cdef size_t i
    if 2 * (w.used + 1) > w.slots:
        old_slots = w.slots
        old_keys = w.keys
        old_values = w.values
        w.slots = old_slots * 4
        w.keys = <void**>PyMem_Malloc(w.slots * sizeof(void*))
        w.values = <Py_ssize_t*>PyMem_Malloc(w.slots * sizeof(Py_ssize_t))
        if w.keys == NULL or w.values == NULL:
            raise MemoryError()
        for j in range(w.slots):
            w.keys[j] = NULL
        w.used = 0
        for j in range(old_slots):
            if old_keys[j] != NULL:
                _memo_insert(w, old_keys[j], old_values[j])
        if old_keys != w.inline_keys:
            PyMem_Free(old_keys)
            PyMem_Free(old_values)
    i = _slot_of(key, w.slots)
    while w.keys[i] != NULL:
        i = (i + 1) & <size_t>(w.slots - 1)
    w.keys[i] = key
    w.values[i] = value
    w.used += 1
    return True


cdef inline bint _room(_Writer* w, Py_ssize_t n) except -1:
    if w.pos + n <= w.cap:
        return True
    return _grow(w, n)


cdef bint _grow(_Writer* w, Py_ssize_t n) except -1:
    cdef Py_ssize_t cap
    cdef void* grown
    if w.pos + n > _WRITE_MAX + 64:
        return False
    cap = w.cap * 2
    while cap < w.pos + n:
        cap *= 2
    grown = PyMem_Realloc(w.buf, cap)
    if grown == NULL:
        return False
    w.buf = <unsigned char*>grown
    w.cap = cap
    return True


cdef inline void _put(_Writer* w, unsigned char byte):
    w.buf[w.pos] = byte
    w.pos += 1


cdef inline void _put_u32(_Writer* w, Py_ssize_t n):
    w.buf[w.pos] = <unsigned char>(n & 0xff)
    w.buf[w.pos + 1] = <unsigned char>((n >> 8) & 0xff)
    w.buf[w.pos + 2] = <unsigned char>((n >> 16) & 0xff)
    w.buf[w.pos + 3] = <unsigned char>((n >> 24) & 0xff)
    w.pos += 4


cdef bint _memoize(_Writer* w, object obj, list keep) except -1:
    # MEMOIZE: the next memo index; the object is kept alive until the end
    # so that its address cannot be reused meanwhile.
    _memo_insert(w, <void*>obj, w.used)
    keep.append(obj)
    if not _room(w, 1):
        return False
    _put(w, 0x94)
    return True


cdef inline bint _in_memo(_Writer* w, object obj):
    return _memo_lookup(w, <void*>obj) >= 0


cdef inline int _memo_get(_Writer* w, object obj) except -2:
    """Writes a memo reference to obj: 1 done, 0 not in the memo, -1 no room."""
    cdef Py_ssize_t index = _memo_lookup(w, <void*>obj)
    if index < 0:
        return 0
    if not _room(w, 5):
        return -1
    if index < 256:
        _put(w, 0x68)                        # BINGET
        _put(w, <unsigned char>index)
    else:
        _put(w, 0x6a)                        # LONG_BINGET
        _put_u32(w, index)
    return 1


cdef bint _write_data(_Writer* w, const char* data, Py_ssize_t size,
                      unsigned char short_op, unsigned char long_op) except -1:
    if not _room(w, size + 5):
        return False
    if size < 256:
        _put(w, short_op)
        _put(w, <unsigned char>size)
    else:
        _put(w, long_op)
        _put_u32(w, size)
    memcpy(w.buf + w.pos, data, size)
    w.pos += size
    return True


# The names found last for a class of metaclass type, by its address: kept
# while what decided them is unchanged. The class by its version tag (a
# change of __module__ or __qualname__, or of a base, clears it; tags are
# never reused, so another class made at the same address does not match),
# sys.modules and the module's dict by their version tags (the class is in
# that dict under its name), the module's class, and the extension registry.
# (Other metaclasses may compute either name.) The module is held weakly: a
# module the program lets go of is not kept alive here, nor what it holds.
DEF _NAME_SLOTS = 64
cdef extern from "Python.h":
    PyObject *PyModule_GetDict(PyObject *module)
    object PyWeakref_NewRef(object ob, object callback)

cdef struct _NameSlot:
    PyObject *cls               # (compared, not held)
    unsigned int tag
    unsigned long long modules_version
    unsigned long long module_version
    unsigned long long registry_version
    PyObject *module_ref        # held: a weak reference to the module
    PyObject *names             # held: (module name, qualified name)
cdef _NameSlot _name_slots[_NAME_SLOTS]


cdef inline _NameSlot *_name_slot(object cls):
    cdef size_t a = <size_t><PyObject *>cls
    return &_name_slots[((a >> 4) ^ (a >> 10)) & (_NAME_SLOTS - 1)]


cdef object _found_name(object cls):
    """(module name, qualified name) under which cls is found, for writing it
    by name; None when it is not found there."""
    cdef _NameSlot *slot = _name_slot(cls)
    cdef PyObject *module_ptr
    if slot.cls == <PyObject *>cls and _tag_is(cls, slot.tag) \
            and _dict_version(_sys_modules) == slot.modules_version \
            and _dict_version(_extension_registry) == slot.registry_version:
        module_ptr = PyWeakref_GET_OBJECT(slot.module_ref)
        if type(<object>module_ptr) is _ModuleType \
                and _dict_version(<object>PyModule_GetDict(module_ptr)) == slot.module_version:
            return <object>slot.names
    names = _look_up_name(cls)
    if names is not None and type(cls) is type \
            and (<_TypeHead *>cls).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        module = _sys_modules.get((<tuple>names)[0])
        module_dict = <object>PyModule_GetDict(<PyObject *>module) \
            if type(module) is _ModuleType else None
        if type(module_dict) is dict and (<dict>module_dict).get((<tuple>names)[1]) is cls:
            module_ref = PyWeakref_NewRef(module, None)
            Py_XDECREF(slot.module_ref)
            Py_XDECREF(slot.names)
            Py_INCREF(module_ref)
            Py_INCREF(names)
            slot.module_ref = <PyObject *>module_ref
            slot.names = <PyObject *>names
            slot.cls = <PyObject *>cls
            slot.tag = (<_TypeHead *>cls).tp_version_tag
            slot.modules_version = _dict_version(_sys_modules)
            slot.module_version = _dict_version(module_dict)
            slot.registry_version = _dict_version(_extension_registry)
    return names


cdef object _look_up_name(object cls):
    module_name = cls.__module__
    qualname = cls.__qualname__
    if type(module_name) is not str or type(qualname) is not str:
        return None
    module = _sys_modules.get(module_name)
    if module is None or getattr(module, qualname, None) is not cls:
        return None                          # (a dotted name fails here too)
    if _extension_registry and (module_name, qualname) in _extension_registry:
        return None
    return module_name, qualname


cdef bint _write_class(_Writer* w, object cls, list keep) except -1:
    cdef int found = _memo_get(w, cls)
    if found:
        return found > 0
    if cls is _NoneTypeClass or cls is _NotImplementedType or cls is _EllipsisType:
        return False                         # written as singletons' types
    names = _found_name(cls)
    if names is None:
        return False
    module_name, qualname = names
    if not (_write_value(w, module_name, False, keep, 0) and _write_value(w, qualname, False, keep, 0)):
        return False
    if not _room(w, 1):
        return False
    _put(w, 0x93)                            # STACK_GLOBAL
    return _memoize(w, cls, keep)


cdef bint _write_value(_Writer* w, object obj, bint obj_wrap, list keep, int depth) except -1:
    cdef object tp = type(obj)
    cdef Py_ssize_t size
    cdef Py_ssize_t n
    cdef Py_ssize_t i
    cdef const char* data
    cdef long long number
    cdef int overflow = 0
    cdef int found
    cdef int kind
    cdef PyObject **dict_ptr
    if not _room(w, 9):
        return False
    if obj is None:
        _put(w, 0x4e)                        # NONE
        return True
    if tp is bool:
        _put(w, 0x88 if obj is True else 0x89)
        return True
    if tp is int:
        number = PyLong_AsLongLongAndOverflow(obj, &overflow)
        if overflow or not -0x80000000 <= number <= 0x7fffffff:
            return False
        if 0 <= number <= 0xff:
            _put(w, 0x4b)                    # BININT1
            _put(w, <unsigned char>number)
        elif 0 <= number <= 0xffff:
            _put(w, 0x4d)                    # BININT2
            _put(w, <unsigned char>(number & 0xff))
            _put(w, <unsigned char>((number >> 8) & 0xff))
        else:
            _put(w, 0x4a)                    # BININT
            _put_u32(w, <Py_ssize_t>(number & 0xffffffff))
        return True
    if tp is float:
        _put(w, 0x47)                        # BINFLOAT
        _PyFloat_Pack8(<double>obj, w.buf + w.pos, 0)
        w.pos += 8
        return True
    found = _memo_get(w, obj)
    if found:
        return found > 0
    if tp is str:
        data = PyUnicode_AsUTF8AndSize(obj, &size)
        if data == NULL:
            PyErr_Clear()                    # lone surrogates: the C pickler's way
            return False
        return _write_data(w, data, size, 0x8c, 0x58) and _memoize(w, obj, keep)
    if tp is bytes:
        return _write_data(w, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), 0x43, 0x42) \
            and _memoize(w, obj, keep)
    if depth >= _WRITE_DEPTH:
        return False
    if tp is tuple:
        n = len(<tuple>obj)
        if n == 0:
            _put(w, 0x29)                    # EMPTY_TUPLE
            return True
        if n > 3:
            _put(w, 0x28)                    # MARK
        for i in range(n):
            if not _write_value(w, (<tuple>obj)[i], obj_wrap, keep, depth + 1):
                return False
        if _in_memo(w, obj):
            return False                     # a tuple that contains itself
        if not _room(w, 1):
            return False
        _put(w, <unsigned char>(0x84 + n) if n <= 3 else 0x74)   # TUPLE1..3 / TUPLE
        return _memoize(w, obj, keep)
    if tp is list:
        n = len(<list>obj)
        if n > _BATCH:
            return False
        _put(w, 0x5d)                        # EMPTY_LIST
        if not _memoize(w, obj, keep):
            return False
        if n == 0:
            return True
        if n > 1:
            _put(w, 0x28)
        i = 0
        while i < len(<list>obj):
            if not _write_value(w, (<list>obj)[i], obj_wrap, keep, depth + 1):
                return False
            i += 1
        if i != n or not _room(w, 1):
            return False
        _put(w, 0x61 if n == 1 else 0x65)    # APPEND / APPENDS
        return True
    if tp is dict:
        return _write_dict(w, <dict>obj, obj_wrap, keep, depth)
    if tp is set:
        n = len(<set>obj)
        if n >= _BATCH:
            return False
        _put(w, 0x8f)                        # EMPTY_SET
        if not _memoize(w, obj, keep):
            return False
        if n == 0:
            return True
        _put(w, 0x28)
        for item in <set>obj:
            if not _write_value(w, item, obj_wrap, keep, depth + 1):
                return False
        if len(<set>obj) != n or not _room(w, 1):
            return False
        _put(w, 0x90)                        # ADDITEMS
        return True
    if tp is type:
        return _write_class(w, obj, keep)
    if tp is _FunctionType:
        return _write_function(w, obj, obj_wrap, keep, depth)
    if tp is _BuiltinFunctionType:
        # (named by reduce_function as functions are, where the guard's
        # first rules send it there)
        if not _reaches_own_rules(tp) or not _VERDICT_PICKLER.is_obj_function(tp):
            return False
        return _write_function(w, obj, obj_wrap, keep, depth)
    if tp is _ModuleType:
        return _write_module(w, obj, keep, depth)
    if tp is _FullArgSpec:
        return False
    if tp is _Signature or tp is _Parameter:
        return _write_kept(w, obj, tp, obj_wrap, keep, depth)
    # A plain instance, reduced as the guard reduces it (its dict), or as
    # the default reduction reduces it (its dict and slots).
    if not _direct_object(obj, obj_wrap):
        return _write_kept(w, obj, tp, obj_wrap, keep, depth)
    kind = _is_direct_type(tp)
    if kind == _DIRECT_DICT:
        state = None
        dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
        if dict_ptr != NULL and dict_ptr[0] != NULL and <dict>dict_ptr[0]:
            state = <object>dict_ptr[0]
    elif kind == _DIRECT_SLOTS:
        state = _slots_state(obj, tp)
        if state is _NO_STATE:
            return False
        # (the state tuple and slot dict are new objects that take memo
        # entries; they are kept alive until the end like every other)
        keep.append(state)
    else:
        return False
    if not _write_class(w, tp, keep) or not _room(w, 2):
        return False
    _put(w, 0x29)                            # EMPTY_TUPLE
    _put(w, 0x81)                            # NEWOBJ
    if _in_memo(w, obj):
        return False
    if not _memoize(w, obj, keep):
        return False
    if state is not None:
        if not _write_value(w, state, obj_wrap, keep, depth + 1) or not _room(w, 1):
            return False
        _put(w, 0x62)                        # BUILD
    return True


# Slotted instances: the default reduction's state is (instance dict or None,
# {slot name: value}) for the names of the class's __slotnames__ that are
# set, or just the first part when none is.  It is computed here only for
# classes whose every listed name reaches a slot of the class's own making
# (so reading it runs no code), whose size is what those slots account for
# (the default reduction refuses others), and whose __slotnames__ the
# default reduction has already stored on the class.
cdef object _NO_STATE = object()
cdef dict _slot_layouts = {}     # id(type) -> (weak ref, version tag, names, descriptors)
cdef object _MemberDescriptorType = types.MemberDescriptorType


cdef object _compute_slot_layout(object tp, list names):
    cdef Py_ssize_t expected = object.__basicsize__
    if tp.__dictoffset__:
        expected += sizeof(void*)
    if tp.__weakrefoffset__:
        expected += sizeof(void*)
    expected += sizeof(void*) * len(names)
    if tp.__basicsize__ != expected:
        return None
    mro = tp.__mro__
    descriptors = []
    for name in names:
        if type(name) is not str:
            return None
        found = None
        for cls in mro:
            namespace = cls.__dict__
            if name in namespace:
                found = namespace[name]
                break
        if type(found) is not _MemberDescriptorType or found.__objclass__ not in mro:
            return None
        descriptors.append(found)
    return tuple(descriptors)


cdef object _slot_layout(object tp):
    """The member descriptors of tp's __slotnames__, or None."""
    cdef _TypeHead *head = <_TypeHead *>tp
    names = tp.__dict__.get("__slotnames__")
    if type(names) is not list:
        return None
    key = id(tp)
    entry = _slot_layouts.get(key)
    if entry is not None and (<tuple>entry)[0]() is tp \
            and head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
            and head.tp_version_tag == <unsigned int>(<tuple>entry)[1] \
            and (<tuple>entry)[2] == names:
        return (<tuple>entry)[3]
    try:
        layout = _compute_slot_layout(tp, <list>names)
    except Exception:
        layout = None
    if head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        if len(_slot_layouts) >= _VERDICTS_LIMIT:
            _slot_layouts.clear()
        # the names are copied: the list can change without the type's tag
        _slot_layouts[key] = (_weakref_ref(tp), head.tp_version_tag, list(<list>names), layout)
    return layout


cdef object _slots_state(object obj, object tp):
    layout = _slot_layout(tp)
    if layout is None:
        return _NO_STATE
    first = None
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr != NULL and dict_ptr[0] != NULL:
        if type(<object>dict_ptr[0]) is not dict:
            return _NO_STATE
        if <dict>dict_ptr[0]:
            first = <object>dict_ptr[0]
    slots = {}
    for descriptor in <tuple>layout:
        try:
            value = descriptor.__get__(obj, tp)
        except AttributeError:
            continue                         # an empty slot is left out
        slots[descriptor.__name__] = value
    if slots:
        return (first, slots)
    return first


# Plain functions: the full path's reduction is reduce_function's
# (loadclass, (full name,)), written as a reduce value.
cdef object _loadclass = None


cdef object _function_reduction(object obj):
    """reduce_function's answer for obj, or None when the full path would
    do something else with it (a patched pickler, another answer)."""
    global _loadclass
    if not _functions_reduced_as_built():
        return None
    if _loadclass is None:
        from jsonpickle.unpickler import loadclass
        _loadclass = loadclass
    rv = _VERDICT_PICKLER.reduce_function(obj)
    if type(rv) is not tuple:
        return None
    if len(<tuple>rv) == 2 and (<tuple>rv)[0] is _loadclass and type((<tuple>rv)[1]) is tuple:
        return rv
    # a function kept by its code: (load_function, args, state, None, None, set_function_state)
    if len(<tuple>rv) == 6 and (<tuple>rv)[0] is _corv.load_function \
            and type((<tuple>rv)[1]) is tuple and (<tuple>rv)[3] is None and (<tuple>rv)[4] is None \
            and (<tuple>rv)[5] is _corv.set_function_state and _reduce_ok(<tuple>rv):
        return rv
    return None


cdef bint _write_function(_Writer* w, object obj, bint obj_wrap, list keep, int depth) except -1:
    rv = _function_reduction(obj)
    if rv is None:
        return False
    if len(<tuple>rv) != 2:
        return _write_reduce(w, obj, <tuple>rv, obj_wrap, keep, depth)
    keep.append(rv)
    if not _write_class(w, (<tuple>rv)[0], keep) \
            or not _write_value(w, (<tuple>rv)[1], False, keep, depth + 1) or not _room(w, 1):
        return False
    _put(w, 0x52)                            # REDUCE
    if _in_memo(w, obj):
        return False
    return _memoize(w, obj, keep)


cdef bint _write_module(_Writer* w, object obj, list keep, int depth) except -1:
    # Every module is named by its __name__, as the guard names it:
    # wrap_module(name), written as a reduce value.
    cdef PyObject **dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr == NULL or dict_ptr[0] == NULL or type(<object>dict_ptr[0]) is not dict:
        return False
    name = (<dict>dict_ptr[0]).get(_N_NAME)
    if type(name) is not str:
        return False
    args = (name,)
    keep.append(args)
    if not _write_class(w, _wrap_module, keep) \
            or not _write_value(w, args, False, keep, depth + 1) or not _room(w, 1):
        return False
    _put(w, 0x52)                            # REDUCE
    if _in_memo(w, obj):
        return False
    return _memoize(w, obj, keep)


cdef bint _write_reduce(_Writer* w, object obj, tuple rv, bint obj_wrap, list keep,
                        int depth) except -1:
    """rv, a reduce value of obj, written as the C pickler writes one: the
    callable and arguments (a class and NEWOBJ for copyreg.__newobj__),
    REDUCE, the memo, then the state (BUILD, or through a state setter:
    setter, (obj, state), REDUCE, POP). False for other shapes."""
    cdef Py_ssize_t n = len(rv)
    if n != 2 and n != 3 and not (n == 6 and rv[3] is None and rv[4] is None):
        return False
    func = rv[0]
    args = rv[1]
    if type(args) is not tuple:
        return False
    keep.append(rv)
    if func is _newobj:
        if len(<tuple>args) != 1 or type((<tuple>args)[0]) is not type \
                or not _write_class(w, (<tuple>args)[0], keep) or not _room(w, 2):
            return False
        _put(w, 0x29)                        # EMPTY_TUPLE
        _put(w, 0x81)                        # NEWOBJ
    else:
        if not _write_value(w, func, obj_wrap, keep, depth + 1) \
                or not _write_value(w, args, obj_wrap, keep, depth + 1) or not _room(w, 1):
            return False
        _put(w, 0x52)                        # REDUCE
    if _in_memo(w, obj) or not _memoize(w, obj, keep):
        return False
    state = rv[2] if n >= 3 else None
    if state is None:
        return True
    if n == 6 and rv[5] is not None:
        if not _write_value(w, rv[5], obj_wrap, keep, depth + 1) or _memo_get(w, obj) != 1 \
                or not _write_value(w, state, obj_wrap, keep, depth + 1) or not _room(w, 3):
            return False
        _put(w, 0x86)                        # TUPLE2
        _put(w, 0x52)                        # REDUCE
        _put(w, 0x30)                        # POP
        return True
    if not _write_value(w, state, obj_wrap, keep, depth + 1) or not _room(w, 1):
        return False
    _put(w, 0x62)                            # BUILD
    return True


cdef bint _reaches_own_rules(object tp) except -1:
    # Whether reducer_override, as built, passes objects of tp past its
    # verdict to is_obj_function and the rules after it.
    return _functions_reduced_as_built() \
        and SafePickler.__dict__.get("is_obj_function") is _original_is_obj_function \
        and _verdict(_VERDICT_PICKLER, tp) == _FULL


cdef bint _write_kept(_Writer* w, object obj, object tp, bint obj_wrap, list keep,
                      int depth) except -1:
    # An object the guard keeps by a rule of its own (signatures,
    # parameters, partials, listed classes kept by their state): that rule's
    # reduction, where the guard's verdict sends the object the full way to it.
    if not _reaches_own_rules(tp) or _VERDICT_PICKLER.is_obj_function(tp):
        return False
    rv = _kept_value(obj, tp)
    if type(rv) is not tuple or not _reduce_ok(<tuple>rv):
        return False
    return _write_reduce(w, obj, <tuple>rv, obj_wrap, keep, depth)


cdef bint _write_dict(_Writer* w, dict obj, bint obj_wrap, list keep, int depth) except -1:
    cdef Py_ssize_t n = len(obj)
    cdef Py_ssize_t pos = 0
    cdef PyObject *key_ptr
    cdef PyObject *value_ptr
    cdef int found
    if n > _BATCH:
        return False
    _put(w, 0x7d)                            # EMPTY_DICT
    if not _memoize(w, obj, keep):
        return False
    if n == 0:
        return True
    if n > 1:
        _put(w, 0x28)
    # (writing may make a collection run, whose finalizers may change the
    # dict: the key and value are held while they are written)
    while corv_dict_next(obj, &pos, &key_ptr, &value_ptr):
        key = <object>key_ptr
        value = <object>value_ptr
        if len(obj) != n:
            return False
        # (a key written before, the common case of instance dicts, is a memo reference)
        found = _memo_get(w, key) if type(key) is str else 0
        if found < 0 or (found == 0 and not _write_value(w, key, obj_wrap, keep, depth + 1)) \
                or not _write_value(w, value, obj_wrap, keep, depth + 1):
            return False
    if len(obj) != n or not _room(w, 1):
        return False
    _put(w, 0x73 if n == 1 else 0x75)        # SETITEM / SETITEMS
    return True


cdef object _write_pickle(object obj, object obj_wrap, Py_ssize_t memo_slots=_MEMO_INLINE,
                          Py_ssize_t buffer_size=1024):
    """The pickle of obj written here, or None when obj needs the C pickler.

    memo_slots (a power of two, at most the inline table) and buffer_size
    are where the memo and the output start: a small value needs neither
    the whole inline table cleared nor a large buffer."""
    cdef _Writer w
    cdef list keep = []
    cdef unsigned long long frame_len
    cdef int i
    w.keys = w.inline_keys
    w.values = w.inline_values
    w.slots = memo_slots
    w.used = 0
    for i in range(memo_slots):
        w.inline_keys[i] = NULL
    w.buf = <unsigned char*>PyMem_Malloc(buffer_size)
    if w.buf == NULL:
        return None
    w.cap = buffer_size
    w.pos = _FRAME_HEADER
    try:
        if not _write_value(&w, obj, obj_wrap is not False, keep, 0) or not _room(&w, 1):
            return None
        _put(&w, 0x2e)                       # STOP
        if w.pos > _WRITE_MAX:
            return None
        w.buf[0] = 0x80                      # PROTO 4
        w.buf[1] = 4
        frame_len = w.pos - _FRAME_HEADER
        if frame_len < 4:
            # too short to be framed
            return PyBytes_FromStringAndSize(<const char*>w.buf, 2) + \
                PyBytes_FromStringAndSize(<const char*>(w.buf + _FRAME_HEADER), frame_len)
        w.buf[2] = 0x95                      # FRAME
        for i in range(8):
            w.buf[3 + i] = <unsigned char>((frame_len >> (8 * i)) & 0xff)
        return PyBytes_FromStringAndSize(<const char*>w.buf, w.pos)
    except Exception:
        return None
    finally:
        PyMem_Free(w.buf)
        if w.keys != w.inline_keys:
            PyMem_Free(w.keys)
            PyMem_Free(w.values)


cdef bytes _NONE_PICKLE = _c_dumps(None, _DEFAULT_PROTOCOL)


def safe_pickle(obj, obj_wrap=True):
    return _safe_pickle(obj, obj_wrap)


cdef inline Py_ssize_t _tiny_scalar(unsigned char *out, object obj):
    """Writes an exact bool, 32-bit int, float or None as the hand writer
    does; the bytes written, or -1 for any other value."""
    cdef object tp = type(obj)
    cdef long long number
    cdef int overflow = 0
    if obj is None:
        out[0] = 0x4e
        return 1
    if tp is bool:
        out[0] = 0x88 if obj is True else 0x89
        return 1
    if tp is float:
        out[0] = 0x47
        _PyFloat_Pack8(<double>obj, out + 1, 0)
        return 9
    if tp is not int:
        return -1
    number = PyLong_AsLongLongAndOverflow(obj, &overflow)
    if overflow or not -0x80000000 <= number <= 0x7fffffff:
        return -1
    if 0 <= number <= 0xff:
        out[0] = 0x4b
        out[1] = <unsigned char>number
        return 2
    if 0 <= number <= 0xffff:
        out[0] = 0x4d
        out[1] = <unsigned char>(number & 0xff)
        out[2] = <unsigned char>((number >> 8) & 0xff)
        return 3
    out[0] = 0x4a
    out[1] = <unsigned char>(number & 0xff)
    out[2] = <unsigned char>((number >> 8) & 0xff)
    out[3] = <unsigned char>((number >> 16) & 0xff)
    out[4] = <unsigned char>((number >> 24) & 0xff)
    return 5


DEF _TINY_ITEMS = 16


cdef object _tiny_pickle(object obj):
    """What the hand writer writes for a number, a bool or a tuple of up to
    16 of them (none of which takes a memo entry but the tuple), or None."""
    cdef unsigned char buf[_FRAME_HEADER + 2 + 9 * _TINY_ITEMS + 2]
    cdef Py_ssize_t pos = _FRAME_HEADER
    cdef Py_ssize_t n, i, written
    cdef unsigned long long frame_len
    if type(obj) is tuple:
        n = len(<tuple>obj)
        if n == 0 or n > _TINY_ITEMS:
            return None
        if n > 3:
            buf[pos] = 0x28                  # MARK
            pos += 1
        for i in range(n):
            written = _tiny_scalar(buf + pos, (<tuple>obj)[i])
            if written < 0:
                return None
            pos += written
        buf[pos] = <unsigned char>(0x84 + n) if n <= 3 else 0x74
        buf[pos + 1] = 0x94                  # MEMOIZE
        pos += 2
    else:
        written = _tiny_scalar(buf + pos, obj)
        if written < 0:
            return None
        pos += written
    buf[pos] = 0x2e                          # STOP
    pos += 1
    buf[0] = 0x80
    buf[1] = 4
    frame_len = pos - _FRAME_HEADER
    if frame_len < 4:
        buf[_FRAME_HEADER - 2] = 0x80
        buf[_FRAME_HEADER - 1] = 4
        return PyBytes_FromStringAndSize(<const char *>(buf + _FRAME_HEADER - 2), frame_len + 2)
    buf[2] = 0x95
    for i in range(8):
        buf[3 + i] = <unsigned char>((frame_len >> (8 * i)) & 0xff)
    return PyBytes_FromStringAndSize(<const char *>buf, pos)


def _tiny_pickle_of(obj):
    """The small-number writer's answer for obj (None: not such a value), for tests."""
    return _tiny_pickle(obj)


cdef object _safe_pickle(object obj, object obj_wrap):
    if obj is None:
        return _NONE_PICKLE
    data = _tiny_pickle(obj)
    if data is not None:
        return data
    if _is_small_plain(obj):
        # (the hand writer lays these out as the C pickler does; a value it
        # declines, such as a large int, goes to the C pickler itself)
        data = _write_pickle(obj, obj_wrap, _SMALL_MEMO, _SMALL_BUFFER)
        if data is not None:
            return data
        return _c_dumps(obj, _DEFAULT_PROTOCOL)
    if Py_GetRecursionLimit() <= _C_PICKLER_MAX_RECURSION_LIMIT:
        # (above that limit the full path uses the Python pickler, whose
        # output is laid out differently)
        if obj is _NoneType:
            # the exception of every call that raised nothing
            return _NONE_TYPE_PICKLE
        if type(obj) is _FullArgSpec:
            data = _cached_argspec_pickle(obj)
            if data is not None:
                return data
        large = (type(obj) is dict or type(obj) is list or type(obj) is tuple or type(obj) is set) \
            and len(obj) > _WRITE_TOP_ITEMS
        if not large:
            # (large containers of plain data go faster through the C pickler)
            data = _write_pickle(obj, obj_wrap)
            if data is not None:
                return data
        data = _direct_dumps(obj, obj_wrap)
        if data is not None:
            return data
        if large:
            # holding what the guard stops (functions kept by their code,
            # signatures): the hand writer still beats the full path
            data = _write_pickle(obj, obj_wrap)
            if data is not None:
                return data
    pickle_data = BytesIO()
    pickler = SafePickler(obj_wrap, pickle_data, failure_reducer=UnpicklableHelpers.__reduce__,
                          special_cases=UnpicklableHelpers.special_cases)
    pickler.dump(obj)
    return pickle_data.getvalue()


def safe_pickle_loads(data):
    try:
        return corvane_collector.data_serialization.corv_pickle.loads(data)
    except Exception:
        return None

# ---------------------------------------------------------------------------
# Call records by template
#
# The record of a recorded call pickles to the same bytes from one call of a
# function to the next but for its byte-string fields (the pickled
# arguments, result, exception and globals): the record's class, its field
# names (the very same string objects), the function's metadata object and
# the empty containers are written the same way, and each byte string takes
# one memo entry, whatever its length.  A template keeps the bytes between
# the byte strings, made by writing a stand-in record whose byte strings are
# markers, and stands for the hand writer's output while everything that
# output depends on is unchanged: the record's class and the metadata's
# class (their version tags, the names they are found under, their direct
# verdicts), the metadata object and its dict (the dict's version), the
# field names and their order, which byte strings are one object, and the
# pickler regime (the recursion limit picks it).  Records with external
# calls, awaited calls or unknown modules, and records too large for the
# hand writer, take the general path.

cdef extern from "Python.h":
    ctypedef struct _DictHead "PyDictObject":
        unsigned long long ma_version_tag
    int PyDict_Next(object d, Py_ssize_t *pos, PyObject **key, PyObject **value)
    object PyBytes_FromStringAndSize(const char* data, Py_ssize_t size)
    ctypedef struct _AnyType "PyTypeObject":
        pass
    _AnyType PyBytes_Type
    _AnyType PyList_Type
    _AnyType PySet_Type
    _AnyType PyDict_Type
    _AnyType *Py_TYPE_OF "Py_TYPE"(PyObject *o)
    Py_ssize_t Py_SIZE_OF "Py_SIZE"(PyObject *o)
    Py_ssize_t PySet_SIZE_OF "PySet_GET_SIZE"(PyObject *o)

from cpython.pycapsule cimport PyCapsule_New
cimport cython

cdef int _F_BYTES = 0
cdef int _F_EMPTY_LIST = 1
cdef int _F_EMPTY_SET = 2
cdef int _F_META = 3
DEF _RECORD_FIELDS_MAX = 24


cdef class _RecordTemplate:
    cdef tuple keys              # the field names, in order
    cdef object meta
    cdef object record_type
    cdef object meta_type
    cdef unsigned int record_tag
    cdef unsigned int meta_tag
    cdef unsigned long long meta_version
    cdef tuple meta_bytes        # the byte strings the metadata holds
    cdef tuple pattern           # per byte field: the first byte field that is the same object
    cdef tuple segments          # the bytes around the first occurrences of the byte fields
    cdef Py_ssize_t fixed_size   # header and segments
    cdef bint c_regime
    cdef Py_ssize_t n_fields
    cdef Py_ssize_t firsts[_RECORD_FIELDS_MAX]
    cdef Py_ssize_t n_keys
    cdef PyObject *key_ptrs[_RECORD_FIELDS_MAX]    # (held by keys)
    cdef int kind_codes[_RECORD_FIELDS_MAX]
    # sys.modules and the classes' module dicts when the classes were last
    # found under their names
    cdef unsigned long long modules_version
    cdef object record_module
    cdef object meta_module
    cdef unsigned long long record_module_version
    cdef unsigned long long meta_module_version


cdef dict _record_templates = {}    # (id of the metadata, pattern) -> _RecordTemplate
cdef dict _last_record_template = {}  # id of the metadata -> the templates used last, newest first
# (its entry looked up last, kept: the same function is recorded many times in a row)
cdef size_t _recent_key = 0
cdef object _recent_value = None
DEF _RECENT_TEMPLATES = 4
cdef Py_ssize_t _RECORD_TEMPLATES_MAX = 2048
cdef Py_ssize_t _record_template_builds = 0


cdef inline unsigned long long _dict_version(object d):
    return (<_DictHead *><PyObject *>d).ma_version_tag


cdef inline bint _class_found(object cls) except -1:
    """Whether the hand writer writes cls by name."""
    return _found_name(cls) is not None


cdef inline bint _tag_is(object cls, unsigned int tag):
    cdef _TypeHead *head = <_TypeHead *>cls
    return head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG and head.tp_version_tag == tag


cdef bint _classes_found(_RecordTemplate t) except -1:
    """Whether both classes are still found under their names; the finding
    is kept while sys.modules and their modules' dicts are unchanged."""
    if t.record_module is not None and t.meta_module is not None \
            and _dict_version(_sys_modules) == t.modules_version \
            and _dict_version(t.record_module) == t.record_module_version \
            and _dict_version(t.meta_module) == t.meta_module_version:
        return True
    if not (_class_found(t.record_type) and _class_found(t.meta_type)):
        return False
    t.record_module = _module_dict_of(t.record_type)
    t.meta_module = _module_dict_of(t.meta_type)
    if t.record_module is not None and t.meta_module is not None:
        t.modules_version = _dict_version(_sys_modules)
        t.record_module_version = _dict_version(t.record_module)
        t.meta_module_version = _dict_version(t.meta_module)
    return True


cdef object _module_dict_of(object cls):
    # the dict of a plain module, whose attribute reads are reads of it
    module = _sys_modules.get(cls.__module__)
    if type(module) is not _ModuleType:
        return None
    found = module.__dict__
    return found if type(found) is dict else None


cdef object _record_layout(object record, object meta, list fields):
    """(keys, kinds) of a record the templates can write, its byte fields
    appended to fields; None for any other record."""
    cdef PyObject *key
    cdef PyObject *value
    cdef Py_ssize_t pos = 0
    cdef list keys = []
    cdef list kinds = []
    cdef PyObject **dict_ptr = _PyObject_GetDictPtr(<PyObject *>record)
    if dict_ptr == NULL or dict_ptr[0] == NULL or type(<object>dict_ptr[0]) is not dict:
        return None
    lists = []
    while PyDict_Next(<object>dict_ptr[0], &pos, &key, &value):
        if type(<object>key) is not str:
            return None
        keys.append(<object>key)
        tp = type(<object>value)
        if tp is bytes:
            kinds.append(_F_BYTES)
            fields.append(<object>value)
        elif <object>value is meta:
            kinds.append(_F_META)
        elif (tp is list or tp is set) and not <object>value:
            for other in lists:
                if other is <object>value:
                    return None
            lists.append(<object>value)
            kinds.append(_F_EMPTY_LIST if tp is list else _F_EMPTY_SET)
        else:
            return None
    if len(keys) > _RECORD_FIELDS_MAX:
        return None
    return tuple(keys), tuple(kinds)


cdef tuple _alias_pattern_of(list fields):
    cdef Py_ssize_t i, j
    cdef list pattern = []
    for i in range(len(fields)):
        for j in range(i + 1):
            if fields[j] is fields[i]:
                pattern.append(j)
                break
    return tuple(pattern)


cdef object _marker(Py_ssize_t k):
    return b"\x00\xffcorvane-record-field-%03d\xff\x00" % k


cdef object _build_record_template(object record, object meta, tuple keys, tuple kinds,
                                   list fields, tuple pattern):
    cdef _RecordTemplate t
    cdef Py_ssize_t i, at, k
    cdef PyObject **dict_ptr
    record_type = type(record)
    meta_type = type(meta)
    if not _direct_object(record, False) or not _direct_object(meta, False):
        return None
    if _is_direct_type(record_type) != _DIRECT_DICT or _is_direct_type(meta_type) != _DIRECT_DICT:
        return None
    if not (_class_found(record_type) and _class_found(meta_type)):
        return None
    if not ((<_TypeHead *>record_type).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG
            and (<_TypeHead *>meta_type).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG):
        return None
    meta_dict_ptr = _PyObject_GetDictPtr(<PyObject *>meta)
    if meta_dict_ptr == NULL or meta_dict_ptr[0] == NULL or type(<object>meta_dict_ptr[0]) is not dict:
        return None
    meta_dict = <dict>meta_dict_ptr[0]
    # The stand-in: the same fields, the byte strings replaced by markers
    # that are one object where the record's are.
    markers = [_marker(k) if pattern[k] == k else None for k in range(len(fields))]
    for k in range(len(fields)):
        markers[k] = markers[pattern[k]]
    stand_in_dict = {}
    k = 0
    source = <dict>_PyObject_GetDictPtr(<PyObject *>record)[0]
    for i in range(len(keys)):
        value = source[keys[i]]
        if kinds[i] == _F_BYTES:
            value = markers[k]
            k += 1
        elif kinds[i] == _F_EMPTY_LIST:
            value = []
        elif kinds[i] == _F_EMPTY_SET:
            value = set()
        stand_in_dict[keys[i]] = value
    stand_in = object.__new__(record_type)
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>stand_in)
    if dict_ptr == NULL:
        return None
    Py_INCREF(stand_in_dict)
    Py_XDECREF(dict_ptr[0])
    dict_ptr[0] = <PyObject *>stand_in_dict
    written = _write_pickle(stand_in, False)
    if written is None:
        return None
    body = (<bytes>written)[_FRAME_HEADER:]
    segments = []
    at = 0
    for k in range(len(fields)):
        if pattern[k] != k:
            continue
        encoded = b"C" + bytes([len(markers[k])]) + markers[k] + b"\x94"
        if body.count(encoded) != 1:
            return None
        found = body.find(encoded, at)
        if found < 0:
            return None
        segments.append(body[at:found])
        at = found + len(encoded)
    segments.append(body[at:])
    t = _RecordTemplate.__new__(_RecordTemplate)
    t.keys = keys
    t.meta = meta
    t.record_type = record_type
    t.meta_type = meta_type
    t.record_tag = (<_TypeHead *>record_type).tp_version_tag
    t.meta_tag = (<_TypeHead *>meta_type).tp_version_tag
    t.meta_version = _dict_version(meta_dict)
    t.meta_bytes = tuple(v for v in meta_dict.values() if type(v) is bytes)
    t.pattern = pattern
    t.n_keys = len(keys)
    for k in range(len(keys)):
        t.key_ptrs[k] = <PyObject *>keys[k]
        t.kind_codes[k] = kinds[k]
    t.n_fields = len(fields)
    for k in range(len(fields)):
        t.firsts[k] = pattern[k]
    t.segments = tuple(segments)
    t.fixed_size = _FRAME_HEADER + sum(len(s) for s in segments)
    t.c_regime = Py_GetRecursionLimit() <= _C_PICKLER_MAX_RECURSION_LIMIT
    # The stand-in written by the template must be what the writer wrote.
    if _render(t, markers) != written:
        return None
    return t


cdef object _render(_RecordTemplate t, list fields):
    """The pickle of a record with these byte fields, or None when it is too
    large for the hand writer."""
    cdef PyObject *values[_RECORD_FIELDS_MAX]
    cdef Py_ssize_t k
    for k in range(len(fields)):
        values[k] = <PyObject *>fields[k]
    return _render_values(t, values)


@cython.boundscheck(False)   # (indices in range by construction)
@cython.wraparound(False)
cdef object _render_values(_RecordTemplate t, PyObject **values):
    cdef Py_ssize_t total = t.fixed_size
    cdef Py_ssize_t k, n, pos, i
    cdef Py_ssize_t n_fields = t.n_fields
    cdef char *out
    cdef tuple segments = t.segments
    cdef unsigned long long frame_len
    for k in range(n_fields):
        if t.firsts[k] == k:
            n = PyBytes_GET_SIZE(<object>values[k])
            total += n + (3 if n < 256 else 6)
    if total > _WRITE_MAX:
        return None
    data = PyBytes_FromStringAndSize(NULL, total)
    out = PyBytes_AS_STRING(data)
    out[0] = <char>0x80
    out[1] = 4
    out[2] = <char>0x95
    frame_len = total - _FRAME_HEADER
    for i in range(8):
        out[3 + i] = <char>((frame_len >> (8 * i)) & 0xff)
    pos = _FRAME_HEADER
    i = 0
    for k in range(n_fields + 1):
        if k < n_fields and t.firsts[k] != k:
            continue
        segment = segments[i]
        n = PyBytes_GET_SIZE(segment)
        memcpy(out + pos, PyBytes_AS_STRING(segment), n)
        pos += n
        i += 1
        if k == n_fields:
            break
        value = <object>values[k]
        n = PyBytes_GET_SIZE(value)
        if n < 256:
            out[pos] = 0x43                  # SHORT_BINBYTES
            out[pos + 1] = <char>n
            pos += 2
        else:
            out[pos] = 0x42                  # BINBYTES
            out[pos + 1] = <char>(n & 0xff)
            out[pos + 2] = <char>((n >> 8) & 0xff)
            out[pos + 3] = <char>((n >> 16) & 0xff)
            out[pos + 4] = <char>((n >> 24) & 0xff)
            pos += 5
        memcpy(out + pos, PyBytes_AS_STRING(value), n)
        pos += n
        out[pos] = <char>0x94                # MEMOIZE
        pos += 1
    return data


@cython.boundscheck(False)   # (indices in range by construction)
@cython.wraparound(False)
cdef bint _template_fits(_RecordTemplate t, object record, PyObject **values) except -1:
    """Whether t writes this record as the hand writer would (its byte
    fields gathered into values)."""
    cdef PyObject *keys[_RECORD_FIELDS_MAX]
    cdef PyObject *items[_RECORD_FIELDS_MAX]
    cdef PyObject *value
    cdef PyObject *tp
    cdef Py_ssize_t i, j, first, n
    cdef Py_ssize_t n_bytes = 0
    cdef PyObject *meta_bytes = <PyObject *>t.meta_bytes
    cdef Py_ssize_t n_meta_bytes = PyTuple_GET_SIZE_PTR(meta_bytes)
    cdef int kind
    cdef PyObject **dict_ptr
    cdef PyObject *containers[_RECORD_FIELDS_MAX]
    cdef Py_ssize_t n_containers = 0
    if <PyObject *>Py_TYPE_OF(<PyObject *>record) != <PyObject *>t.record_type:
        return False
    if (Py_GetRecursionLimit() <= _C_PICKLER_MAX_RECURSION_LIMIT) != t.c_regime:
        return False
    if not (_tag_is(t.record_type, t.record_tag) and _tag_is(t.meta_type, t.meta_tag)):
        return False
    if _is_direct_type(t.record_type) != _DIRECT_DICT or _is_direct_type(t.meta_type) != _DIRECT_DICT:
        return False
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>t.meta)
    if dict_ptr == NULL or dict_ptr[0] == NULL or _dict_version(<object>dict_ptr[0]) != t.meta_version:
        return False
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>record)
    if dict_ptr == NULL or dict_ptr[0] == NULL or Py_TYPE_OF(dict_ptr[0]) != &PyDict_Type:
        return False
    # (nothing below runs code that could change the dict)
    n = corv_dict_items(dict_ptr[0], keys, items, _RECORD_FIELDS_MAX)
    if n != t.n_keys:
        return False
    for i in range(n):
        if keys[i] != t.key_ptrs[i]:
            return False
        value = items[i]
        tp = <PyObject *>Py_TYPE_OF(value)
        kind = t.kind_codes[i]
        if kind == _F_BYTES:
            if tp != <PyObject *>&PyBytes_Type or n_bytes >= t.n_fields:
                return False
            for j in range(n_meta_bytes):
                if PyTuple_GET_ITEM_PTR(meta_bytes, j) == value:
                    return False
            # the first byte field that is this object must be where the
            # template has it
            first = n_bytes
            for j in range(n_bytes):
                if values[j] == value:
                    first = j
                    break
            if t.firsts[n_bytes] != first:
                return False
            values[n_bytes] = value
            n_bytes += 1
        elif kind == _F_META:
            if value != <PyObject *>t.meta:
                return False
        else:
            if kind == _F_EMPTY_LIST:
                if tp != <PyObject *>&PyList_Type or Py_SIZE_OF(value) != 0:
                    return False
            elif tp != <PyObject *>&PySet_Type or PySet_SIZE_OF(value) != 0:
                return False
            # (one container in two fields would be written once)
            for j in range(n_containers):
                if containers[j] == value:
                    return False
            containers[n_containers] = value
            n_containers += 1
    if n_bytes != t.n_fields:
        return False
    return _classes_found(t)


cdef dict _layouts_seen = {}


cdef object _record_pickle(object record, object meta, bint eager=False):
    """safe_pickle(record, False) for a call record whose function metadata
    is meta, written by template; None when the record needs the general
    path (which then writes it as it always does).  A layout's template is
    built at its second record (eager: at its first): most functions of a
    sampled run are recorded once, and building costs a few records."""
    global _record_template_builds, _recent_key, _recent_value
    cdef PyObject *values[_RECORD_FIELDS_MAX]
    cdef list fields
    cdef size_t key_meta = <size_t><PyObject *>meta
    # (a function's records take a few layouts in turn: a result that is
    # one object with another field, no globals used, ...)
    if key_meta == _recent_key and _recent_value is not None:
        recent = _recent_value
    else:
        recent = _last_record_template.get(key_meta)
        _recent_key = key_meta
        _recent_value = recent
    if recent is not None:
        for entry in <list>recent:
            if (<_RecordTemplate>entry).meta is meta \
                    and _template_fits(<_RecordTemplate>entry, record, values):
                return _render_values(<_RecordTemplate>entry, values)
    fields = []
    layout = _record_layout(record, meta, fields)
    if layout is None:
        return None
    pattern = _alias_pattern_of(fields)
    key = (key_meta, pattern)
    entry = _record_templates.get(key)
    if entry is None or (<_RecordTemplate>entry).meta is not meta \
            or not _template_fits(<_RecordTemplate>entry, record, values):
        if not eager and _layouts_seen.get(key) is not meta:
            if len(_layouts_seen) >= _RECORD_TEMPLATES_MAX:
                _layouts_seen.clear()
            _layouts_seen[key] = meta
            return None
        _record_template_builds += 1
        try:
            entry = _build_record_template(record, meta, (<tuple>layout)[0], (<tuple>layout)[1],
                                           fields, pattern)
        except Exception:
            entry = None
        if entry is None:
            return None
        if len(_record_templates) >= _RECORD_TEMPLATES_MAX:
            _record_templates.clear()
            _last_record_template.clear()
            _recent_value = None
        _record_templates[key] = entry
        if not _template_fits(<_RecordTemplate>entry, record, values):
            return None
    if recent is None or (<list>recent and (<_RecordTemplate>(<list>recent)[0]).meta is not meta):
        recent = []
        _last_record_template[key_meta] = recent
        _recent_key = key_meta
        _recent_value = recent
    if entry not in <list>recent:
        (<list>recent).insert(0, entry)
        del (<list>recent)[_RECENT_TEMPLATES:]
    return _render_values(<_RecordTemplate>entry, values)


def _record_template_stats():
    """(templates kept, templates built so far), for tests."""
    return len(_record_templates), _record_template_builds


def _record_pickle_by_template(record, meta):
    """What the recorder's direct path writes for record (None: the general
    path), for tests; the template is built at once."""
    return _record_pickle(record, meta, True)


# For the recorder: safe_pickle and the record templates called directly.
ctypedef object (*_safe_pickle_fn)(object, object)
ctypedef object (*_record_pickle_fn)(object, object)
cdef _safe_pickle_fn _safe_pickle_ptr = _safe_pickle
cdef object _record_pickle_by_layout(object record, object meta):
    return _record_pickle(record, meta, False)


cdef _record_pickle_fn _record_pickle_ptr = _record_pickle_by_layout


def _direct_pickling():
    """(safe_pickle, a capsule of the function it calls, a capsule of the
    record writer)."""
    return (safe_pickle,
            PyCapsule_New(<void *>_safe_pickle_ptr, b"corvane.safe_pickle", NULL),
            PyCapsule_New(<void *>_record_pickle_ptr, b"corvane.record_pickle", NULL))
