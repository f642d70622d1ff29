// A dict's table as CPython 3.10 lays it out (Objects/dict-common.h is not
// installed): the recorder stores into the entries of the dicts it made
// itself without a lookup per key, and the pickler walks dicts without a
// call per entry.
#ifndef CORV_DICT_TABLE_H
#define CORV_DICT_TABLE_H

#include <Python.h>

typedef struct {
    Py_ssize_t dk_refcnt;
    Py_ssize_t dk_size;
    void *dk_lookup;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
} corv_layout_keys;

typedef struct {
    Py_hash_t me_hash;
    PyObject *me_key;
    PyObject *me_value;
} corv_layout_entry;

// _PyObject_GetDictPtr, without the call for a type whose instances have
// their dict at a fixed offset (the common case: not variable-sized).
static inline PyObject **corv_dict_ptr(PyObject *o) {
    Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
    if (offset > 0) {
        return (PyObject **)((char *)o + offset);
    }
    return _PyObject_GetDictPtr(o);
}

// The entries of a dict's keys object: they follow its index table, whose
// items are as wide as its size needs.
static inline corv_layout_entry *corv_keys_entries(PyObject *d) {
    corv_layout_keys *dk = (corv_layout_keys *)((PyDictObject *)d)->ma_keys;
    Py_ssize_t size = dk->dk_size;
    int ix = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    return (corv_layout_entry *)(dk->dk_indices + size * ix);
}

// The entries of a combined table (*n of them, deleted ones with a NULL
// value), or NULL for a split one.
static inline corv_layout_entry *corv_dict_entries(PyObject *d, Py_ssize_t *n) {
    PyDictObject *mp = (PyDictObject *)d;
    if (mp->ma_values != NULL) {
        return NULL;
    }
    *n = ((corv_layout_keys *)mp->ma_keys)->dk_nentries;
    return corv_keys_entries(d);
}

// PyDict_Next, with the table read in place: the table is looked up again
// at each step, as PyDict_Next does, so a dict changed between steps is read
// as PyDict_Next would read it. A split table's values are dense (3.10 keeps
// them so): entry i's key goes with value i, for i below ma_used.
static inline int corv_dict_next(PyObject *d, Py_ssize_t *pos, PyObject **key,
                                 PyObject **value) {
    PyDictObject *mp = (PyDictObject *)d;
    Py_ssize_t i = *pos;
    if (i < 0) {
        return 0;
    }
    if (mp->ma_values != NULL) {
        if (i >= mp->ma_used) {
            return 0;
        }
        *pos = i + 1;
        *key = corv_keys_entries(d)[i].me_key;
        *value = mp->ma_values[i];
        return 1;
    }
    Py_ssize_t n;
    corv_layout_entry *e = corv_dict_entries(d, &n);
    while (i < n && e[i].me_value == NULL) {
        i++;
    }
    if (i >= n) {
        *pos = n;
        return 0;
    }
    *pos = i + 1;
    *key = e[i].me_key;
    *value = e[i].me_value;
    return 1;
}

// The live items of a dict, in order, into keys[] and values[] (borrowed):
// how many, or -1 when there are more than max.
static inline Py_ssize_t corv_dict_items(PyObject *d, PyObject **keys, PyObject **values,
                                         Py_ssize_t max) {
    PyDictObject *mp = (PyDictObject *)d;
    Py_ssize_t count = 0, n;
    if (mp->ma_used > max) {
        return -1;
    }
    if (mp->ma_values != NULL) {
        corv_layout_entry *e = corv_keys_entries(d);
        for (Py_ssize_t i = 0; i < mp->ma_used; i++) {
            keys[i] = e[i].me_key;
            values[i] = mp->ma_values[i];
        }
        return mp->ma_used;
    }
    corv_layout_entry *e = corv_dict_entries(d, &n);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (e[i].me_value != NULL) {
            if (count >= max) {
                return -1;
            }
            keys[count] = e[i].me_key;
            values[count] = e[i].me_value;
            count++;
        }
    }
    return count;
}

// The garbage collector's tests without a call each: in 3.10 a tracked
// object's GC header (two words before it, Include/internal/pycore_gc.h)
// has a non-zero first word, and an object takes part in collection when
// its type says so and its tp_is_gc, if any, agrees (PyObject_IS_GC).
static inline int corv_gc_is_tracked(PyObject *op) {
    return ((uintptr_t *)op)[-2] != 0;
}

static inline int corv_is_gc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    return PyType_IS_GC(tp) && (tp->tp_is_gc == NULL || tp->tp_is_gc(op));
}

#endif
