# cython: language_level=3
"""How the collector reads one attribute of a program's object.

Describing a value must not change it nor make it do work: a
``functools.cached_property`` stores its result in the instance, an ORM's
attribute descriptor loads a relationship from the database, a custom
descriptor may count or consume.  So while recording, an attribute is read
with ``getattr`` except where that would run the ``__get__`` of a descriptor
written in Python (found on the object's type along its MRO, own class or
inherited) other than a ``property``; such an attribute is taken from the
object's instance dict when the program has stored it there (a filled cache),
and is otherwise left out.

Read as ``getattr`` reads them: properties (their getters are the object's
declared view of its state), functions and other routines (their ``__get__``
is C: they give bound methods), plain class attributes, slots and every other
descriptor implemented in C (getset descriptors of built-in and extension
types, Cython properties).

For a class the "instance dict" is the class's own namespace: a Python
descriptor found there is taken as the object stored, without calling it.

A property's getter is still the program's code, and it may itself fill a
cache (``ipaddress`` networks' ``is_private`` reads their cached
``broadcast_address``) or set a flag on the object.  Where the object is a
plain instance (a class of Python's making, built by ``object.__new__``, no
finalizer, its fields in its instance dict), an ``ObjectReader`` runs the
getters on a shallow copy of it, so that what they store lands in the copy.
"""

from cpython.object cimport PyObject, PyTypeObject

cdef extern from "Python.h":
    ctypedef PyObject *(*descrgetfunc)(PyObject *, PyObject *, PyObject *)
    ctypedef int (*descrsetfunc)(PyObject *, PyObject *, PyObject *)
    ctypedef struct _DescrHead "PyTypeObject":
        descrgetfunc tp_descr_get
        descrsetfunc tp_descr_set
    PyObject *_PyType_Lookup(PyTypeObject *tp, PyObject *name)
    PyObject **_PyObject_GetDictPtr(PyObject *obj)
    PyObject *PyWeakref_GET_OBJECT(PyObject *ref)
    PyObject *PyDict_GetItemWithError(object d, object key) except? NULL
    bint PyType_Check(object o)
    bint PyUnicode_CheckExact(object o)
    PyTypeObject *Py_TYPE(object o)
    ctypedef void (*destructor)(PyObject *)
    ctypedef struct _TypeShape "PyTypeObject":
        unsigned long tp_flags
        Py_ssize_t tp_basicsize
        Py_ssize_t tp_dictoffset
        Py_ssize_t tp_weaklistoffset
        destructor tp_finalize
        destructor tp_del
    unsigned long Py_TPFLAGS_HEAPTYPE
    int PyObject_GenericSetDict(object obj, object value, void *context) except -1

import weakref as _weakref


class _NotRead:
    """The attribute is left out: reading it would run Python code."""

    __slots__ = ()

    def __repr__(self):
        return "NOT_READ"

    def __reduce__(self):
        return "NOT_READ"


NOT_READ = _NotRead()
cdef object _NOT_READ = NOT_READ


class _PythonGet:
    def __get__(self, obj, owner=None):
        return self


# Every class whose __get__ is Python code (defined or inherited) gets this
# get slot; C descriptor types, Cython's included, have their own.
cdef descrgetfunc _python_get_slot = (<_DescrHead *>_PythonGet).tp_descr_get
cdef object _type_namespace = type.__dict__["__dict__"].__get__
cdef object _ProxyType = _weakref.ProxyType
cdef object _CallableProxyType = _weakref.CallableProxyType


cdef inline bint _gets_in_python(PyObject *descr):
    return descr != NULL and (<_DescrHead *>Py_TYPE(<object>descr)).tp_descr_get == _python_get_slot


cdef inline object _target(object obj):
    # A weak proxy reads every attribute from its referent.
    cdef object tp = type(obj)
    if tp is _ProxyType or tp is _CallableProxyType:
        return <object>PyWeakref_GET_OBJECT(<PyObject *>obj)
    return obj


cdef bint _python_descriptor_of(object obj, object name) except -1:
    cdef PyObject *meta_attr
    cdef PyObject *attr
    if not PyUnicode_CheckExact(name):
        return False
    if PyType_Check(obj):
        # type.__getattribute__: the metaclass's data descriptors first, then
        # the class's own MRO, then the metaclass's other attributes.
        meta_attr = _PyType_Lookup(Py_TYPE(obj), <PyObject *>name)
        if meta_attr != NULL and (<_DescrHead *>Py_TYPE(<object>meta_attr)).tp_descr_set != NULL:
            return _gets_in_python(meta_attr)
        attr = _PyType_Lookup(<PyTypeObject *>obj, <PyObject *>name)
        if attr != NULL:
            return _gets_in_python(attr)
        return _gets_in_python(meta_attr)
    return _gets_in_python(_PyType_Lookup(Py_TYPE(obj), <PyObject *>name))


cdef object _stored_entry(object obj, object name):
    cdef PyObject *found
    cdef PyObject **dict_ptr
    if PyType_Check(obj):
        namespace = _type_namespace(obj)
        return namespace[name] if name in namespace else _NOT_READ
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr == NULL or dict_ptr[0] == NULL or type(<object>dict_ptr[0]) is not dict:
        return _NOT_READ
    found = PyDict_GetItemWithError(<object>dict_ptr[0], name)
    return _NOT_READ if found == NULL else <object>found


def runs_python_descriptor(obj, name):
    """Whether ``getattr(obj, name)`` would run the ``__get__`` of a descriptor
    written in Python other than a property (see the module docstring)."""
    return _python_descriptor_of(_target(obj), name)


def read_attribute(obj, name):
    """``getattr(obj, name)``, except for an attribute behind a descriptor
    written in Python other than a property: its entry in the instance dict
    (a class's own namespace), or ``NOT_READ`` when there is none.  A
    property is read as ``ObjectReader`` reads it.

    Exceptions raised by ``getattr`` (AttributeError included) propagate.
    """
    return ObjectReader(obj).read(name)


def stored_attribute(obj, name):
    """The entry ``name`` of the object's instance dict (a class's own
    namespace), read without running any of the object's code, or
    ``NOT_READ``."""
    return _stored_entry(_target(obj), name)


cdef descrgetfunc _property_get_slot = (<_DescrHead *>property).tp_descr_get
cdef object _object_new = object.__new__
cdef object _object_new_entry = object.__dict__["__new__"]
cdef str _N_NEW = "__new__"
cdef object _NO_COPY = object()


cdef object _shallow_copy(object obj):
    """A new instance of obj's class holding a copy of its instance dict, or
    _NO_COPY where such a copy would not stand for obj (fields outside the
    dict, a constructor or finalizer of its own)."""
    cdef _TypeShape *shape = <_TypeShape *>Py_TYPE(obj)
    cdef PyObject **dict_ptr
    cdef Py_ssize_t expected = (<_TypeShape *>object).tp_basicsize
    tp = type(obj)
    if not shape.tp_flags & Py_TPFLAGS_HEAPTYPE or shape.tp_finalize != NULL or shape.tp_del != NULL:
        return _NO_COPY
    if shape.tp_dictoffset <= 0:
        return _NO_COPY
    expected += sizeof(PyObject *)
    if shape.tp_weaklistoffset:
        expected += sizeof(PyObject *)
    if shape.tp_basicsize != expected:
        return _NO_COPY                      # slots or a C base with fields
    if _PyType_Lookup(<PyTypeObject *>tp, <PyObject *>_N_NEW) != <PyObject *>_object_new_entry:
        return _NO_COPY
    dict_ptr = _PyObject_GetDictPtr(<PyObject *>obj)
    if dict_ptr == NULL or (dict_ptr[0] != NULL and type(<object>dict_ptr[0]) is not dict):
        return _NO_COPY
    try:
        copy = _object_new(tp)
    except Exception:
        return _NO_COPY                      # an abstract class
    if dict_ptr[0] != NULL and PyObject_GenericSetDict(copy, (<dict>dict_ptr[0]).copy(), NULL) < 0:
        return _NO_COPY
    return copy


cdef class ObjectReader:
    """Reads attributes of one object by the rule of this module.

    ``read(name)`` is ``read_attribute(obj, name)``, except that a property
    of a plain instance is read from a shallow copy of the object (made at
    the first such read and shared by the later ones), so that its getter
    cannot change the program's object.  A getter that returns the copy
    itself is answered with the object.
    """

    cdef object obj
    cdef object target
    cdef object copy

    def __cinit__(self, obj):
        self.obj = obj
        self.target = _target(obj)
        self.copy = None

    def read(self, name):
        cdef PyObject *descr
        target = self.target
        if _python_descriptor_of(target, name):
            return _stored_entry(target, name)
        if PyUnicode_CheckExact(name) and not PyType_Check(target):
            descr = _PyType_Lookup(Py_TYPE(target), <PyObject *>name)
            if descr != NULL and (<_DescrHead *>Py_TYPE(<object>descr)).tp_descr_get == _property_get_slot:
                if self.copy is None:
                    self.copy = _shallow_copy(target)
                if self.copy is not _NO_COPY:
                    value = (<object>descr).__get__(self.copy, type(target))
                    return target if value is self.copy else value
        return getattr(self.obj, name)
