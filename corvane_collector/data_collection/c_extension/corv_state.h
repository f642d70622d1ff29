// Process-wide state of the interceptor shared by the evaluator and the
// module definition. Everything here has an exported, unmangled name so that
// other native modules (and tests through ctypes) can reach it.
#ifndef CORV_STATE_H
#define CORV_STATE_H

// The interpreter's atomics header picks <stdatomic.h> when the C compiler
// offers it; a C++ compiler cannot use it, and the GCC builtins path has the
// same memory layout.
#include <pyconfig.h>
#undef HAVE_STD_ATOMIC
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#include <Python.h>
#include <frameobject.h>

#include <stdint.h>

#include "map.h"

#define CORV_API extern "C" __attribute__((visibility("default")))

// The state the loop reads on every call and operation. Our own code
// reaches it through hidden names (direct, PC-relative accesses); the
// exported names are aliases of the same storage, defined with it.
#define CORV_HIDDEN_STATE(X)                  \
    X(unsigned char, g_currently_recording)   \
    X(uint64_t, curr_tid)                     \
    X(int64_t, random_seed)                   \
    X(int64_t, upper_bound)                   \
    X(PyObject *, init_str)                   \
    X(PyObject *, project_files)              \
    X(destructor, frame_dealoc)
#define CORV_DECLARE_HIDDEN(type, name) \
    extern "C" __attribute__((visibility("hidden"))) type corv_hidden_##name;
CORV_HIDDEN_STATE(CORV_DECLARE_HIDDEN)
#undef CORV_DECLARE_HIDDEN
#define g_currently_recording corv_hidden_g_currently_recording
#define curr_tid corv_hidden_curr_tid
#define random_seed corv_hidden_random_seed
#define upper_bound corv_hidden_upper_bound
#define init_str corv_hidden_init_str
#define project_files corv_hidden_project_files
#define frame_dealoc corv_hidden_frame_dealoc

CORV_API const unsigned char IS_IN_RECORDING_STATE_MASK;
CORV_API const unsigned char IS_IN_ABORT_STATE_MASK;

CORV_API int64_t init_str_hash;

CORV_API PyObject *pyfunc_record_function_call;
CORV_API PyObject *pyfunc_record_inner_call;
CORV_API PyObject *record_return_value_pyfunc;
CORV_API PyObject *record_inner_call_return_value;
CORV_API PyObject *record_async_return_value_pyfunc;
CORV_API PyObject *record_async_inner_call_return_value;
CORV_API PyObject *return_value_async;
CORV_API PyObject *load_attr_hook;
CORV_API PyObject *load_global_hook;

// The recorder's entry and return callbacks as C functions, called instead
// of the callback objects while those are still the objects they came with
// (apply fetches them; NULL: call the objects).
typedef PyObject *(*corv_vector_entry_fn)(PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames);
typedef PyObject *(*corv_vector_return_fn)(PyObject *value, PyObject *record);
extern "C" __attribute__((visibility("hidden"))) PyObject *corv_entry_owner;
extern "C" __attribute__((visibility("hidden"))) corv_vector_entry_fn corv_entry_fn;
extern "C" __attribute__((visibility("hidden"))) PyObject *corv_return_owner;
extern "C" __attribute__((visibility("hidden"))) corv_vector_return_fn corv_return_fn;

CORV_API void corv_frame_dealloc(PyObject *frame);
CORV_API void Corv_Py_DecRef(PyObject *op);
CORV_API int record_return_value(int do_record, int external, unsigned char prev_flag,
                                 PyObject *result, PyObject *unused, PyObject *hook_object);
CORV_API void init_random_seed_from_urandom(void);
CORV_API PyObject *_PyDict_LoadGlobalHooked(PyDictObject *globals, PyDictObject *builtins,
                                            PyObject *name, bool *from_builtins);
CORV_API PyObject *_PyEval_EvalFrameCorvane(PyThreadState *tstate, PyFrameObject *f,
                                            int throwflag);

// Zero until some thread's flag byte may have become non-zero: a call was
// sampled, a frame started with a non-zero flag, or a non-zero byte went
// into the per-thread store. While it is zero every thread's byte is 0, so
// moving, clearing and restoring bytes changes nothing and the loop skips
// it. Reset when the last sampled call in flight ends and no byte was put
// in the store from outside (corv_end_sampled_call). (A separate byte:
// sharing a word with the flag itself made the compiler lay the loop out
// worse.) Code outside the interceptor sets a thread's byte through the
// per-thread store, not by writing g_currently_recording.
extern "C" __attribute__((visibility("hidden"))) unsigned char corv_flag_ever_set;
#define CORV_FLAG_IN_USE() __builtin_expect(corv_flag_ever_set != 0, 0)

// Moves the shared flag byte to the thread `tid`: the byte of the previous
// owner is parked in the per-thread store and the new owner's byte loaded.
CORV_API void corv_switch_recording_thread(uint64_t tid);

static inline void corv_sync_recording_thread(uint64_t tid) {
    if (__builtin_expect(curr_tid != tid, 0)) {
        corv_switch_recording_thread(tid);
    }
}

// Sampling bound for a collecting rate; false when the rate cannot give a
// bound (not a number, or outside 0.0 to 1.0).
bool corv_bound_from_rate(double rate, int64_t *bound);

// The project_files object apply last installed (and checked to be a set or
// frozenset).
extern "C" __attribute__((visibility("hidden"))) PyObject *corv_checked_project_files;

// Claims the code objects' extra slot in which the call-site decision keeps
// its per-code answers (once; without it every decision is made afresh).
void corv_reserve_code_extra(void);

#endif
