// Interpreter helpers the loop needs that libpython does not export. Each
// follows the behaviour of the interpreter's own private helper.
#include "corv_eval_support.h"

#include <string.h>

static __attribute__((noinline)) void corv_dealloc_unrecorded_any(PyObject *op) {
    if (!CORV_FLAG_IN_USE()) {
        // Every byte is 0 already; only a destructor that samples the first
        // call can change that, and then this thread's byte goes back to 0.
        Py_TYPE(op)->tp_dealloc(op);
        if (CORV_FLAG_IN_USE()) {
            PyThreadState *ts = _PyThreadState_GET();
            corv_sync_recording_thread(ts != NULL ? ts->thread_id : curr_tid);
            g_currently_recording = 0;
        }
        return;
    }
    PyThreadState *ts = _PyThreadState_GET();
    corv_dealloc_unrecorded_on(op, ts != NULL ? ts->thread_id : curr_tid);
}

// Ints, floats and strs hold no references and take no weak references:
// freeing one runs no code that could see the flag (a tail call either way).
__attribute__((noinline)) void corv_dealloc_unrecorded(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    if (CORV_LIKELY(tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type)) {
        tp->tp_dealloc(op);
        return;
    }
    corv_dealloc_unrecorded_any(op);
}

static bool corv_is_iterable_coroutine(PyObject *o) {
    if (!PyGen_CheckExact(o)) {
        return false;
    }
    PyCodeObject *code = (PyCodeObject *)((PyGenObject *)o)->gi_code;
    return (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

PyObject *corv_coro_get_awaitable_iter(PyObject *o) {
    if (PyCoro_CheckExact(o) || corv_is_iterable_coroutine(o)) {
        Py_INCREF(o);
        return o;
    }
    PyTypeObject *ot = Py_TYPE(o);
    unaryfunc getter = ot->tp_as_async != NULL ? ot->tp_as_async->am_await : NULL;
    if (getter == NULL) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     ot->tp_name);
        return NULL;
    }
    PyObject *res = getter(o);
    if (res == NULL) {
        return NULL;
    }
    if (PyCoro_CheckExact(res) || corv_is_iterable_coroutine(res)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        CORV_CLEAR(res);
    }
    else if (!PyIter_Check(res)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(res)->tp_name);
        CORV_CLEAR(res);
    }
    return res;
}

PyObject *corv_gen_yf(PyGenObject *gen) {
    PyFrameObject *f = gen->gi_frame;
    if (f == NULL || f->f_lasti < 0) {
        // A frame that has not started cannot be delegating yet.
        return NULL;
    }
    const unsigned char *code = (const unsigned char *)PyBytes_AS_STRING(f->f_code->co_code);
    if (code[(f->f_lasti + 1) * sizeof(_Py_CODEUNIT)] != YIELD_FROM) {
        return NULL;
    }
    PyObject *yf = f->f_valuestack[f->f_stackdepth - 1];
    Py_INCREF(yf);
    return yf;
}

// The wrapper type is private to libpython; we learn it once by letting the
// stock loop produce one value of it from a tiny async generator frame.
static PyTypeObject *corv_wrapped_value_type = NULL;

static PyTypeObject *corv_discover_wrapped_value_type(void) {
    PyObject *globals = NULL, *code = NULL, *mod = NULL, *fn = NULL, *out = NULL;
    PyFrameObject *frame = NULL;
    PyTypeObject *found = NULL;
    PyThreadState *tstate = PyThreadState_Get();

    globals = PyDict_New();
    if (globals == NULL) goto done;
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) goto done;
    code = Py_CompileString("async def _corv_agen():\n    yield None\n", "<corvane>",
                            Py_file_input);
    if (code == NULL) goto done;
    mod = PyEval_EvalCode(code, globals, globals);
    if (mod == NULL) goto done;
    fn = PyDict_GetItemString(globals, "_corv_agen");
    if (fn == NULL || !PyFunction_Check(fn)) goto done;
    frame = PyFrame_New(tstate, (PyCodeObject *)PyFunction_GET_CODE(fn), globals, NULL);
    if (frame == NULL) goto done;
    // A generator frame starts with the sent value on its stack.
    Py_INCREF(Py_None);
    frame->f_valuestack[0] = Py_None;
    frame->f_stackdepth = 1;
    out = _PyEval_EvalFrameDefault(tstate, frame, 0);
    if (out != NULL && strcmp(Py_TYPE(out)->tp_name, "async_generator_wrapped_value") == 0 &&
        Py_TYPE(out)->tp_basicsize == (Py_ssize_t)sizeof(corv_async_gen_wrapped_value) &&
        ((corv_async_gen_wrapped_value *)out)->agw_val == Py_None) {
        found = Py_TYPE(out);
    }
done:
    if (found == NULL && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "cannot locate the async generator value wrapper");
    }
    Py_XDECREF(out);
    Py_XDECREF((PyObject *)frame);
    Py_XDECREF(mod);
    Py_XDECREF(code);
    Py_XDECREF(globals);
    return found;
}

extern "C" __attribute__((visibility("default"))) PyTypeObject *corv_async_gen_wrapped_value_type(void) {
    if (corv_wrapped_value_type == NULL) {
        // The discovery runs code: an exception the caller already has set
        // (an async generator resumed from C with an error pending) is put
        // aside meanwhile, and replaced only by the discovery's own failure.
        PyObject *et, *ev, *etb;
        PyErr_Fetch(&et, &ev, &etb);
        corv_wrapped_value_type = corv_discover_wrapped_value_type();
        if (corv_wrapped_value_type != NULL) {
            PyErr_Restore(et, ev, etb);
        }
        else {
            CORV_XDECREF(et);
            CORV_XDECREF(ev);
            CORV_XDECREF(etb);
        }
    }
    return corv_wrapped_value_type;
}

PyObject *corv_async_gen_value_wrapper_new(PyObject *val) {
    PyTypeObject *tp = corv_async_gen_wrapped_value_type();
    if (tp == NULL) {
        return NULL;
    }
    corv_async_gen_wrapped_value *o = PyObject_GC_New(corv_async_gen_wrapped_value, tp);
    if (o == NULL) {
        return NULL;
    }
    Py_INCREF(val);
    o->agw_val = val;
    PyObject_GC_Track((PyObject *)o);
    return (PyObject *)o;
}

Py_ssize_t corv_dict_get_item_hint(PyDictObject *mp, PyObject *key, Py_ssize_t hint,
                                   PyObject **value) {
    corv_dict_keys *dk = (corv_dict_keys *)mp->ma_keys;
    if (hint >= 0 && hint < dk->dk_nentries) {
        corv_dict_entry *ep = corv_dk_entries(dk) + (size_t)hint;
        if (ep->me_key == key) {
            // Split tables keep their values beside the shared keys.
            PyObject *res = mp->ma_values != NULL ? mp->ma_values[(size_t)hint] : ep->me_value;
            if (res != NULL) {
                *value = res;
                return hint;
            }
        }
    }
    Py_hash_t hash = ((PyASCIIObject *)key)->hash;
    if (hash == -1) {
        hash = PyObject_Hash(key);
        if (hash == -1) {
            return -1;
        }
    }
    return dk->dk_lookup(mp, key, hash, value);
}

int corv_code_init_opcache(PyCodeObject *co) {
    Py_ssize_t n = PyBytes_Size(co->co_code) / (Py_ssize_t)sizeof(_Py_CODEUNIT);
    // The code object frees both arrays with PyMem_Free when it dies.
    co->co_opcache_map = (unsigned char *)PyMem_Calloc(n, 1);
    if (co->co_opcache_map == NULL) {
        return -1;
    }
    const _Py_CODEUNIT *words = (const _Py_CODEUNIT *)PyBytes_AS_STRING(co->co_code);
    Py_ssize_t used = 0;
    for (Py_ssize_t i = 0; i < n;) {
        int op = _Py_OPCODE(words[i]);
        i++;  // entries are indexed by the offset of the following instruction
        if (op == LOAD_GLOBAL || op == LOAD_ATTR) {
            used++;
            co->co_opcache_map[i] = (unsigned char)used;
            if (used > 254) {
                break;
            }
        }
    }
    if (used) {
        co->co_opcache = (_PyOpcache *)PyMem_Calloc(used, sizeof(_PyOpcache));
        if (co->co_opcache == NULL) {
            PyMem_Free(co->co_opcache_map);
            co->co_opcache_map = NULL;
            return -1;
        }
    }
    else {
        PyMem_Free(co->co_opcache_map);
        co->co_opcache_map = NULL;
        co->co_opcache = NULL;
    }
    co->co_opcache_size = (unsigned char)used;
    return 0;
}

void corv_line_range_init(PyCodeObject *co, PyCodeAddressRange *bounds) {
    const char *table = PyBytes_AS_STRING(co->co_linetable);
    bounds->opaque.lo_next = table;
    bounds->opaque.limit = table + PyBytes_GET_SIZE(co->co_linetable);
    bounds->opaque.computed_line = co->co_firstlineno;
    bounds->ar_start = -1;
    bounds->ar_end = 0;
    bounds->ar_line = -1;
}

// Entry points for the layout tests (called through ctypes).
extern "C" __attribute__((visibility("default"))) Py_ssize_t corv_probe_dict_hint(PyObject *dict,
                                                                                 PyObject *key,
                                                                                 Py_ssize_t hint,
                                                                                 PyObject **value) {
    *value = NULL;
    return corv_dict_get_item_hint((PyDictObject *)dict, key, hint, value);
}
extern "C" __attribute__((visibility("default"))) PyObject *corv_probe_gen_yf(PyObject *gen) {
    PyObject *r = corv_gen_yf((PyGenObject *)gen);
    if (r == NULL) {
        Py_RETURN_NONE;
    }
    return r;
}
extern "C" __attribute__((visibility("default"))) PyObject *corv_probe_awaitable(PyObject *o) {
    return corv_coro_get_awaitable_iter(o);
}
extern "C" __attribute__((visibility("default"))) PyObject *corv_probe_wrap_value(PyObject *o) {
    return corv_async_gen_value_wrapper_new(o);
}
