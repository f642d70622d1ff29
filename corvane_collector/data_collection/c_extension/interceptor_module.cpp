// The `interceptor` module: installs the replacement evaluator, binds the
// recorder's callbacks and sets the sampling state.
#include "corv_state.h"

#include <internal/pycore_interp.h>
#include <internal/pycore_pystate.h>

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <unistd.h>

// Keeps the last "sys.modules" and "awaited_functions" objects alive, as
// the installation always has.
static PyObject *corv_sys_modules = NULL;
static PyObject *corv_awaited_functions = NULL;

static void corv_print_line(const char *msg) {
    // The interpreter's error print goes to stderr first; the message line
    // follows on stdout.
    fflush(stderr);
    printf("%s\n", msg);
    fflush(stdout);
}

static void corv_print_error(const char *msg) {
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    corv_print_line(msg);
}

bool corv_bound_from_rate(double rate, int64_t *bound) {
    if (!(rate >= 0.0 && rate <= 1.0)) {  // also rejects NaN
        return false;
    }
    long double product = (long double)rate * 9223372036854775807.0L;
    *bound = (int64_t)product;
    return true;
}

// Converts and checks a rate; prints and returns false when it is unusable.
static bool corv_rate_argument(PyObject *rate_obj, int64_t *bound) {
    double rate = PyFloat_AsDouble(rate_obj);
    if (rate == -1.0 && PyErr_Occurred()) {
        corv_print_error("Error: collecting_rate must be a number");
        return false;
    }
    if (!corv_bound_from_rate(rate, bound)) {
        corv_print_line("Error: collecting_rate must be between 0.0 and 1.0");
        return false;
    }
    return true;
}

CORV_API void init_random_seed_from_urandom(void) {
    int fd = open("/dev/urandom", O_RDONLY);
    if (fd < 0) {
        return;
    }
    int64_t seed;
    if (read(fd, &seed, sizeof(seed)) == (ssize_t)sizeof(seed)) {
        random_seed = seed;
    }
    close(fd);
}

static PyObject *corv_fetch_callback(PyObject *module, const char *attr, const char *failure) {
    PyObject *cb = PyObject_GetAttrString(module, attr);
    if (cb == NULL) {
        corv_print_error(failure);
    }
    return cb;
}

// The C functions behind the entry and return callbacks, when the recorder
// offers them (a module put in its place, as replay does, does not): each is
// called while its callback is still the object it came with.
static void corv_fetch_direct_callbacks(PyObject *recorder) {
    corv_entry_owner = NULL;
    corv_return_owner = NULL;
    PyObject *offer = PyObject_GetAttrString(recorder, "_direct_callbacks");
    PyObject *found = offer == NULL ? NULL : PyObject_CallNoArgs(offer);
    Py_XDECREF(offer);
    if (found == NULL || !PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != 4) {
        PyErr_Clear();
        Py_XDECREF(found);
        return;
    }
    void *entry = PyCapsule_GetPointer(PyTuple_GET_ITEM(found, 1), "corvane.record_call_entry");
    void *ret = PyCapsule_GetPointer(PyTuple_GET_ITEM(found, 3), "corvane.record_call_return");
    if (entry == NULL || ret == NULL) {
        PyErr_Clear();
    }
    else {
        // (the objects are held by the callback globals they are compared with)
        if (PyTuple_GET_ITEM(found, 0) == pyfunc_record_function_call) {
            corv_entry_fn = (corv_vector_entry_fn)entry;
            corv_entry_owner = pyfunc_record_function_call;
        }
        if (PyTuple_GET_ITEM(found, 2) == record_return_value_pyfunc) {
            corv_return_fn = (corv_vector_return_fn)ret;
            corv_return_owner = record_return_value_pyfunc;
        }
    }
    Py_DECREF(found);
}

static PyObject *set_corvane_interpeter(PyObject *self, PyObject *args) {
    PyObject *files = NULL, *rate_obj = NULL;
    if (!PyArg_UnpackTuple(args, "SS", 2, 100, &files, &rate_obj)) {
        PyErr_Print();
        Py_RETURN_NONE;
    }
    // Refuse unusable arguments before anything changes.
    if (!PyAnySet_Check(files)) {
        corv_print_line("Error: project_files must be a set or frozenset of file paths");
        Py_RETURN_NONE;
    }
    int64_t bound;
    if (!corv_rate_argument(rate_obj, &bound)) {
        Py_RETURN_NONE;
    }

    PyThreadState *tstate = PyThreadState_Get();
    PyInterpreterState *interp = tstate->interp;
    curr_tid = (uint64_t)PyThread_get_thread_ident();

    PyObject *init = PyUnicode_FromString("__init__");
    if (init != NULL) {
        // The interned string is the one class lookups use everywhere, so
        // the decision shares their entries in the type attribute cache.
        PyUnicode_InternInPlace(&init);
        Py_hash_t h = PyObject_Hash(init);
        if (h == -1) {
            PyErr_Clear();
            Py_DECREF(init);
        }
        else {
            init_str = init;
            init_str_hash = (int64_t)h;
        }
    }
    else {
        PyErr_Clear();
    }

    init_random_seed_from_urandom();
    upper_bound = bound;

    PyObject *sys_name = PyUnicode_FromString("sys");
    if (sys_name == NULL) {
        corv_print_error("Error formating python script sys ");
    }
    else {
        PyObject *sys_mod = PyImport_Import(sys_name);
        Py_DECREF(sys_name);
        if (sys_mod == NULL) {
            corv_print_error("Error importing python script");
        }
        else {
            PyObject *modules = PyObject_GetAttrString(sys_mod, "modules");
            if (modules == NULL) {
                corv_print_error("Error getting modules()");
            }
            else {
                corv_sys_modules = modules;
            }
            Py_DECREF(sys_mod);
        }
    }

    PyObject *rec_name = PyUnicode_FromString("corvane_collector.data_collection.call_recorder");
    if (rec_name == NULL) {
        corv_print_error(
            "Error formating python script corvane_collector.data_collection.call_recorder ");
        Py_RETURN_NONE;
    }
    PyObject *recorder = PyImport_Import(rec_name);
    Py_DECREF(rec_name);
    if (recorder == NULL) {
        corv_print_error("Error importing python script");
        Py_RETURN_NONE;
    }

    pyfunc_record_inner_call = corv_fetch_callback(recorder, "record_external_call",
                                                   "Error getting record_external_call()");
    record_inner_call_return_value = corv_fetch_callback(
        recorder, "record_external_return_value", "Error getting record_external_return_value()");
    record_async_inner_call_return_value =
        corv_fetch_callback(recorder, "record_async_external_return_value",
                            "Error getting record_async_external_return_value()");
    record_return_value_pyfunc =
        corv_fetch_callback(recorder, "record_user_function_return_value",
                            "Error getting record_user_function_return_value()");
    record_async_return_value_pyfunc =
        corv_fetch_callback(recorder, "record_user_async_function_return_value",
                            "Error getting record_user_async_function_return_value()");
    return_value_async = corv_fetch_callback(recorder, "record_return_value_async",
                                             "Error getting record_return_value_async()");
    PyObject *awaited = PyUnicode_FromString("awaited_functions");
    if (awaited == NULL) {
        PyErr_Clear();
    }
    else {
        corv_awaited_functions = awaited;
    }
    pyfunc_record_function_call = corv_fetch_callback(recorder, "record_user_function_call",
                                                      "Error getting record_user_function_call()");
    load_attr_hook = corv_fetch_callback(recorder, "load_attr_hook", "Error getting load_attr_hook()");
    load_global_hook =
        corv_fetch_callback(recorder, "load_global_hook", "Error getting load_global_hook()");
    corv_fetch_direct_callbacks(recorder);
    Py_DECREF(recorder);

    Py_INCREF(files);
    project_files = files;
    corv_checked_project_files = files;

    corv_reserve_code_extra();
    _PyInterpreterState_SetEvalFrameFunc(interp, _PyEval_EvalFrameCorvane);
    Py_RETURN_NONE;
}

static PyObject *set_collecting_rate(PyObject *self, PyObject *args) {
    PyObject *rate_obj = NULL;
    if (!PyArg_UnpackTuple(args, "S", 1, 100, &rate_obj)) {
        PyErr_Print();
        Py_RETURN_NONE;
    }
    int64_t bound;
    if (corv_rate_argument(rate_obj, &bound)) {
        upper_bound = bound;
    }
    Py_RETURN_NONE;
}

static PyObject *unset_corvane_interpeter(PyObject *self, PyObject *unused) {
    _PyInterpreterState_SetEvalFrameFunc(PyThreadState_Get()->interp, _PyEval_EvalFrameDefault);
    Py_RETURN_NONE;
}

static PyMethodDef CorvaneMethods[] = {
    {"apply", set_corvane_interpeter, METH_VARARGS, "apply."},
    {"set_collecting_rate", set_collecting_rate, METH_VARARGS, "set_collecting_rate."},
    {"set_defualt_interpter", unset_corvane_interpeter, METH_NOARGS, "set_defualt_interpter."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef corvane_calls_hooker = {
    PyModuleDef_HEAD_INIT, "interceptor", NULL, -1, CorvaneMethods,
};

CORV_API PyObject *PyInit_interceptor(void) {
    return PyModule_Create2(&corvane_calls_hooker, 1013);
}
