// Native map unit: identity-keyed hash maps with a plain C interface.
//
// Every extension module that compiles map.cpp gets its own, private set of
// maps (the modules are linked with -Bsymbolic), so the interceptor and the
// metadata probe never share state. None of the maps takes or releases Python
// references; callers that need lifetime guarantees manage them themselves.
#ifndef CORVANE_MAP_H
#define CORVANE_MAP_H

#include <stdint.h>

#ifndef Py_PYTHON_H
typedef struct _object PyObject;
#endif

#if defined(__GNUC__)
#define CORV_EXPORT __attribute__((visibility("default")))
#else
#define CORV_EXPORT
#endif

#ifdef __cplusplus
#include "tsl/robin_map.h"
// Caller-supplied int map type for set_int_to_int_item / get_int_to_int_item.
typedef tsl::robin_map<int32_t, int32_t> corv_int_to_int_map;
extern "C" {
#else
typedef struct corv_int_to_int_map corv_int_to_int_map;
#endif

CORV_EXPORT void set_tid_to_currently_recording(int32_t thread_key, unsigned char flag);
CORV_EXPORT unsigned char get_tid_to_currently_recording(int32_t thread_key);

CORV_EXPORT void set_func_to_counter(PyObject *func, int32_t counter);
CORV_EXPORT int32_t get_func_to_counter(PyObject *func);

// A null metadata pointer erases the generator's entry.
CORV_EXPORT void set_gen_to_metadata(PyObject *gen, PyObject *metadata);
CORV_EXPORT PyObject *get_gen_to_metadata(PyObject *gen);

CORV_EXPORT void set_int_to_int_item(corv_int_to_int_map *map, int32_t key, int32_t value);
CORV_EXPORT int32_t get_int_to_int_item(corv_int_to_int_map *map, int32_t key);

CORV_EXPORT int set_pyobject_to_pyobject_item(PyObject *key, PyObject *value);
CORV_EXPORT PyObject *get_pyobject_to_pyobject_item(PyObject *key);
// Not part of the historical interface: lets an owner that holds references
// for its entries drop one when it releases them.
CORV_EXPORT int erase_pyobject_to_pyobject_item(PyObject *key);
CORV_EXPORT uint64_t size_pyobject_to_pyobject(void);

#ifdef __cplusplus
}
#endif

#endif
