/* Test-only extension: calls a Python function the way C code that forgot to
   clear an error does, with an exception already set in the thread state. */
#include <Python.h>

/* call_with_pending(fn, exc_type, message) -> (result, exception): fn() is
   called with exc_type(message) set; whichever of the two is missing is None. */
static PyObject *call_with_pending(PyObject *self, PyObject *args) {
    PyObject *fn, *exc_type;
    const char *message;
    if (!PyArg_ParseTuple(args, "OOs", &fn, &exc_type, &message)) {
        return NULL;
    }
    PyErr_SetString(exc_type, message);
    PyObject *result = PyObject_CallObject(fn, NULL);
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    if (ev != NULL && tb != NULL) {
        PyException_SetTraceback(ev, tb);
    }
    PyObject *out = PyTuple_Pack(2, result ? result : Py_None, ev ? ev : Py_None);
    Py_XDECREF(result);
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(tb);
    return out;
}

static PyMethodDef methods[] = {
    {"call_with_pending", call_with_pending, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "pending_call", NULL, -1, methods};

PyMODINIT_FUNC PyInit_pending_call(void) { return PyModule_Create(&module); }
