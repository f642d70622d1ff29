# Calls a function from C the way the evaluator calls the recorder's
# callbacks: with an exception pending in the thread state, or with a keyword
# dict that Python-level call syntax would refuse.

from cpython.ref cimport PyObject

cdef extern from "Python.h":
    void PyErr_Restore(PyObject* t, PyObject* v, PyObject* tb)
    void PyErr_Fetch(PyObject** t, PyObject** v, PyObject** tb)
    PyObject* PyObject_Call(PyObject* f, PyObject* args, PyObject* kwargs)
    void Py_XINCREF(PyObject* o)
    void Py_XDECREF(PyObject* o)


def call_with_pending(exc_type, exc_value, func, tuple args, dict kwargs=None):
    """Call func(*args, **kwargs) with (exc_type, exc_value) pending.

    Returns (result, raised, left_pending): the result or None, the type of
    the exception the call raised (None when it returned), and the type still
    pending after a normal return (None when nothing was left pending).
    """
    cdef PyObject* t = NULL
    cdef PyObject* v = NULL
    cdef PyObject* res
    cdef PyObject* pt = NULL
    cdef PyObject* pv = NULL
    cdef PyObject* ptb = NULL
    if exc_type is not None:
        t = <PyObject*>exc_type
    if exc_value is not None:
        v = <PyObject*>exc_value
    Py_XINCREF(t)
    Py_XINCREF(v)
    PyErr_Restore(t, v, NULL)
    res = PyObject_Call(<PyObject*>func, <PyObject*>args, <PyObject*>kwargs if kwargs is not None else NULL)
    PyErr_Fetch(&pt, &pv, &ptb)
    result = None
    raised = None
    left = None
    if res != NULL:
        result = <object>res
        if pt != NULL:
            left = <object>pt
    elif pt != NULL:
        raised = (<object>pt, <object>pv if pv != NULL else None)
    Py_XDECREF(res)
    Py_XDECREF(pt)
    Py_XDECREF(pv)
    Py_XDECREF(ptb)
    return result, raised, left
