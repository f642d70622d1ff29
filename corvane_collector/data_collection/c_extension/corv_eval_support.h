// Internal helpers of the evaluation loop: interpreter internals we read,
// layouts of private interpreter structures, and the reference-release rule.
#ifndef CORV_EVAL_SUPPORT_H
#define CORV_EVAL_SUPPORT_H

#include "corv_state.h"

#include <internal/pycore_ceval.h>
#include <internal/pycore_code.h>
#include <internal/pycore_object.h>
#include <internal/pycore_pyerrors.h>
#include <internal/pycore_pystate.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_tuple.h>
#include <internal/pycore_sysmodule.h>
#include <opcode.h>
#include <structmember.h>

#define CORV_LIKELY(x) __builtin_expect(!!(x), 1)
#define CORV_UNLIKELY(x) __builtin_expect(!!(x), 0)

// Private layouts of CPython 3.10 (Objects/dict-common.h, genobject.c).
// tests/interceptor/test_interceptor_layouts.py checks them against the
// running interpreter.
typedef Py_ssize_t (*corv_dict_lookup_func)(PyDictObject *mp, PyObject *key, Py_hash_t hash,
                                            PyObject **value_addr);
// What dk_lookup answers besides an index.
enum : Py_ssize_t { CORV_DKIX_EMPTY = -1, CORV_DKIX_ERROR = -3 };
struct corv_dict_keys {
    Py_ssize_t dk_refcnt;
    Py_ssize_t dk_size;
    corv_dict_lookup_func dk_lookup;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};
struct corv_dict_entry {
    Py_hash_t me_hash;
    PyObject *me_key;
    PyObject *me_value;
};
static inline int corv_dk_index_size(Py_ssize_t size) {
    return size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
}
static inline corv_dict_entry *corv_dk_entries(corv_dict_keys *dk) {
    return (corv_dict_entry *)(dk->dk_indices + dk->dk_size * corv_dk_index_size(dk->dk_size));
}

struct corv_async_gen_wrapped_value {
    PyObject_HEAD
    PyObject *agw_val;
};

// Tracing bookkeeping of one running frame: the line-table cursor and the
// C-level frame that tells callees whether tracing is on.
struct CorvTraceInfo {
    PyCodeObject *code;
    PyCodeAddressRange bounds;
    CFrame cframe;
};

// Releasing a reference may run a destructor or a weakref callback; those
// must never be recorded, so deallocation runs with the flag at 0. The byte
// saved and put back is the running thread's own: the thread may have got
// the GIL back since its last switch (inside an iterator, say), with the
// previous holder's byte still in place.
static inline void corv_dealloc_unrecorded_on(PyObject *op, uint64_t tid) {
    corv_sync_recording_thread(tid);
    unsigned char saved = g_currently_recording;
    g_currently_recording = 0;
    // What _Py_Dealloc does in this (non-trace-refs) build.
    Py_TYPE(op)->tp_dealloc(op);
    corv_sync_recording_thread(tid);
    g_currently_recording = saved;
}

// Out of line, for any thread (corv_eval_helpers.cpp).
void corv_dealloc_unrecorded(PyObject *op);

// The evaluation loop knows its thread and redefines CORV_DEALLOC to say so.
#define CORV_DEALLOC(op) corv_dealloc_unrecorded(op)
#define CORV_DECREF(o)                                   \
    do {                                                 \
        PyObject *corv_tmp_ = (PyObject *)(o);           \
        if (--corv_tmp_->ob_refcnt == 0) {               \
            CORV_DEALLOC(corv_tmp_);                     \
        }                                                \
    } while (0)
#define CORV_XDECREF(o)                                  \
    do {                                                 \
        PyObject *corv_xtmp_ = (PyObject *)(o);          \
        if (corv_xtmp_ != NULL) {                        \
            CORV_DECREF(corv_xtmp_);                     \
        }                                                \
    } while (0)
#define CORV_CLEAR(o)                                    \
    do {                                                 \
        PyObject *corv_ctmp_ = (PyObject *)(o);          \
        if (corv_ctmp_ != NULL) {                        \
            (o) = NULL;                                  \
            CORV_DECREF(corv_ctmp_);                     \
        }                                                \
    } while (0)
#define CORV_SETREF(dst, src)                            \
    do {                                                 \
        PyObject *corv_stmp_ = (PyObject *)(dst);        \
        (dst) = (src);                                   \
        CORV_DECREF(corv_stmp_);                         \
    } while (0)

// Helpers shared between the loop and its tests.
PyObject *corv_coro_get_awaitable_iter(PyObject *o);
PyObject *corv_gen_yf(PyGenObject *gen);
PyObject *corv_async_gen_value_wrapper_new(PyObject *val);
Py_ssize_t corv_dict_get_item_hint(PyDictObject *mp, PyObject *key, Py_ssize_t hint,
                                   PyObject **value);
int corv_code_init_opcache(PyCodeObject *co);
void corv_line_range_init(PyCodeObject *co, PyCodeAddressRange *bounds);

#endif
