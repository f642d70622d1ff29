// The replacement frame evaluator: a CPython 3.10 evaluation loop with the
// collector's hooks at the call sites and at attribute and global loads.
//
// Apart from the hooks, every opcode behaves as in the interpreter's own
// loop: same stack effects, same error messages, same opcode cache, same
// tracing events and the same eval-breaker behaviour.
#include "corv_eval_support.h"

#include <string.h>

// ---------------------------------------------------------------------------
// Process-wide state.

#undef g_currently_recording
#undef curr_tid
#undef random_seed
#undef upper_bound
#undef init_str
#undef project_files
#undef frame_dealoc
#define CORV_DEFINE_HIDDEN(type, name)                       \
    __attribute__((visibility("hidden"))) type corv_hidden_##name{}; \
    extern __attribute__((visibility("default"), alias("corv_hidden_" #name))) type name;
extern "C" {
CORV_HIDDEN_STATE(CORV_DEFINE_HIDDEN)
__attribute__((visibility("hidden"))) unsigned char corv_flag_ever_set = 0;
}
// Sampled calls between their before-call and after-call steps, on every
// thread. A byte gets the recording bit only inside one (a frame's entry flag
// and a parked byte are copies of such a byte), so when the last one ends
// every byte is 0 again and corv_flag_ever_set goes back to 0 with it.
static Py_ssize_t corv_sampled_in_flight = 0;
// Set for good once code outside the interceptor puts a non-zero byte in the
// per-thread store: such a byte is not tied to a sampled call.
static unsigned char corv_flag_pinned = 0;
// 1 while corv_switch_recording_thread parks the previous owner's byte.
static unsigned char corv_parking = 0;
extern "C" {
// Called by the per-thread store (exported) for every byte put there.
__attribute__((visibility("hidden"))) void corv_note_stored_flag(unsigned char flag) {
    if (flag != 0) {
        corv_flag_ever_set = 1;
        if (!corv_parking) {
            corv_flag_pinned = 1;
        }
    }
}
}
#undef CORV_DEFINE_HIDDEN
#define g_currently_recording corv_hidden_g_currently_recording
#define curr_tid corv_hidden_curr_tid
#define random_seed corv_hidden_random_seed
#define upper_bound corv_hidden_upper_bound
#define init_str corv_hidden_init_str
#define project_files corv_hidden_project_files
#define frame_dealoc corv_hidden_frame_dealoc

extern "C" {
__attribute__((visibility("default"))) extern const unsigned char IS_IN_RECORDING_STATE_MASK = 0x01;
__attribute__((visibility("default"))) extern const unsigned char IS_IN_ABORT_STATE_MASK = 0x02;
__attribute__((visibility("default"))) int64_t init_str_hash = 0;
__attribute__((visibility("default"))) PyObject *pyfunc_record_function_call = NULL;
__attribute__((visibility("default"))) PyObject *pyfunc_record_inner_call = NULL;
__attribute__((visibility("default"))) PyObject *record_return_value_pyfunc = NULL;
__attribute__((visibility("default"))) PyObject *record_inner_call_return_value = NULL;
__attribute__((visibility("default"))) PyObject *record_async_return_value_pyfunc = NULL;
__attribute__((visibility("default"))) PyObject *record_async_inner_call_return_value = NULL;
__attribute__((visibility("default"))) PyObject *return_value_async = NULL;
__attribute__((visibility("default"))) PyObject *load_attr_hook = NULL;
__attribute__((visibility("default"))) PyObject *load_global_hook = NULL;
__attribute__((visibility("hidden"))) PyObject *corv_entry_owner = NULL;
__attribute__((visibility("hidden"))) corv_vector_entry_fn corv_entry_fn = NULL;
__attribute__((visibility("hidden"))) PyObject *corv_return_owner = NULL;
__attribute__((visibility("hidden"))) corv_vector_return_fn corv_return_fn = NULL;
// Replay sets this to a tuple subclass; an external-call token of exactly that
// type answers the call itself, (raised, value), and the callee is not called.
// The type is kept alive by whoever sets it.
__attribute__((visibility("default"))) PyObject *g_external_answer_type = NULL;
// 1 while record_user_function_call runs for a call that was decided with
// the recording bit clear (made inside an external callee, a special method
// or a property of a recorded call), else 0. The recorder reads it first thing
// (the GIL is held) to keep such a call's external calls out of the enclosing
// record: a replay answers the enclosing external call, or runs that code
// unrecorded, so it never makes them.
__attribute__((visibility("default"))) unsigned char g_sampled_outside_recording = 0;
}

#define RECORDING_BIT IS_IN_RECORDING_STATE_MASK

static inline int32_t corv_thread_key(uint64_t tid) { return (int32_t)(uint32_t)tid; }

CORV_API void corv_switch_recording_thread(uint64_t tid) {
    corv_parking = 1;
    set_tid_to_currently_recording(corv_thread_key(curr_tid), g_currently_recording);
    corv_parking = 0;
    curr_tid = tid;
    g_currently_recording = get_tid_to_currently_recording(corv_thread_key(tid));
    // The store already notes every non-zero byte that goes in, so this is
    // redundant. It stays: without it GCC 12 spills the frame pointer of the
    // loop, one more load in every instruction's dispatch (check the
    // f_lasti store in the disassembly before removing it).
    if (g_currently_recording != 0) {
        corv_flag_ever_set = 1;
    }
}

static inline void corv_sync_current_thread(void) {
    PyThreadState *ts = _PyThreadState_GET();
    if (ts != NULL) {
        corv_sync_recording_thread(ts->thread_id);
    }
}

// Depth of recorder callbacks running on this thread. Signal handlers,
// pending calls and asynchronous exceptions wait until the callbacks are
// done: whatever they raise belongs to the program, and a callback's
// exceptions are discarded.
static thread_local int corv_callback_depth = 0;

// While a callback runs, the thread's trace and profile functions are
// suspended the way the interpreter suspends them around a trace function
// itself: frames started meanwhile inherit use_tracing == 0 from the current
// CFrame, and `tracing` keeps the trace helpers (exception events, frames
// whose CFrame still says tracing) from calling them. A debugger or profiler
// attached to the program thus neither sees nor pays for the recorder's
// frames. The saved flag is put back, not recomputed: a callback may run
// inside the user's own trace function, where tracing is already off.
struct CorvCallbackScope {
    PyThreadState *tstate;
    CFrame *cframe;
    int use_tracing;
    CorvCallbackScope() {
        corv_callback_depth++;
        tstate = _PyThreadState_GET();
        if (tstate != NULL) {
            cframe = tstate->cframe;
            use_tracing = cframe->use_tracing;
            cframe->use_tracing = 0;
            tstate->tracing++;
        }
    }
    ~CorvCallbackScope() {
        if (tstate != NULL) {
            tstate->tracing--;
            cframe->use_tracing = use_tracing;
        }
        corv_callback_depth--;
    }
    CorvCallbackScope(const CorvCallbackScope &) = delete;
    CorvCallbackScope &operator=(const CorvCallbackScope &) = delete;
};

CORV_API void corv_frame_dealloc(PyObject *frame) { frame_dealoc(frame); }

CORV_API void Corv_Py_DecRef(PyObject *op) {
    if (op == NULL) {
        return;
    }
    unsigned char saved = g_currently_recording;
    g_currently_recording = 0;
    {
        // Our own objects (records, tokens, argument tuples) may run the
        // recorder's destructors here: they count as recorder code.
        CorvCallbackScope scope;
        Py_DECREF(op);
    }
    corv_sync_current_thread();
    g_currently_recording = saved;
}

// Inlined into LOAD_GLOBAL; _PyDict_LoadGlobalHooked is the same lookup for
// other callers.
static inline __attribute__((always_inline)) PyObject *corv_load_global(
    PyDictObject *globals, PyDictObject *builtins, PyObject *name, bool *from_builtins) {
    Py_hash_t hash;
    if (!PyUnicode_CheckExact(name) || (hash = ((PyASCIIObject *)name)->hash) == -1) {
        hash = PyObject_Hash(name);
        if (hash == -1) {
            return NULL;
        }
    }
    // The tables' own lookups, as the interpreter's global lookup makes them:
    // only an error they raise themselves counts (CORV_DKIX_ERROR), never one that
    // was already set when the lookup began.
    PyObject *v;
    Py_ssize_t ix = ((corv_dict_keys *)globals->ma_keys)->dk_lookup(globals, name, hash, &v);
    if (ix == CORV_DKIX_ERROR) {
        return NULL;
    }
    if (ix != CORV_DKIX_EMPTY && v != NULL) {
        return v;
    }
    ix = ((corv_dict_keys *)builtins->ma_keys)->dk_lookup(builtins, name, hash, &v);
    if (ix < 0) {
        return NULL;
    }
    if (v != NULL) {
        *from_builtins = true;
    }
    return v;
}

CORV_API PyObject *_PyDict_LoadGlobalHooked(PyDictObject *globals, PyDictObject *builtins,
                                            PyObject *name, bool *from_builtins) {
    return corv_load_global(globals, builtins, name, from_builtins);
}

// Calls a hook with `args` and throws away whatever it returns or raises;
// the caller has already put the pending exception aside.
static inline void corv_call_and_discard(PyObject *hook, PyObject *args) {
    PyObject *r;
    {
        CorvCallbackScope scope;
        r = PyObject_Call(hook, args, NULL);
    }
    // The hook may have let another thread in; save and restore our own byte.
    corv_sync_current_thread();
    if (r == NULL) {
        PyErr_Clear();
    }
    else {
        Corv_Py_DecRef(r);
    }
}

// The same for hooks called with the caller's own references as arguments
// (held for the whole call), without an argument tuple.
static inline void corv_vcall_and_discard(PyObject *hook, PyObject *const *args, size_t nargs) {
    PyObject *r;
    {
        CorvCallbackScope scope;
        r = PyObject_Vectorcall(hook, args, nargs, NULL);
    }
    corv_sync_current_thread();
    if (r == NULL) {
        PyErr_Clear();
    }
    else {
        Corv_Py_DecRef(r);
    }
}

CORV_API int record_return_value(int do_record, int external, unsigned char prev_flag,
                                 PyObject *result, PyObject *unused, PyObject *hook_object) {
    int ok = 1;
    if (do_record == 1) {
        PyObject *cb = external ? record_inner_call_return_value : record_return_value_pyfunc;
        PyObject *value = result != NULL ? result : Py_None;
        corv_sync_current_thread();
        g_currently_recording &= (unsigned char)~RECORDING_BIT;
        // (the caller holds both arguments across the call)
        PyObject *args[2] = {value, hook_object != NULL ? hook_object : Py_None};
        if (cb != NULL) {
            PyObject *r;
            {
                CorvCallbackScope scope;
                r = cb == corv_return_owner ? corv_return_fn(args[0], args[1])
                                            : PyObject_Vectorcall(cb, args, 2, NULL);
            }
            corv_sync_current_thread();
            if (r != NULL) {
                g_currently_recording = prev_flag;
                Corv_Py_DecRef(r);
            }
            else {
                ok = 0;
            }
        }
    }
    Corv_Py_DecRef(hook_object);
    return ok;
}

// ---------------------------------------------------------------------------
// Call-site decision.

struct CorvDecision {
    bool is_python;
    bool is_user;
    bool sampled;
    bool recording;
    unsigned char flag;  // the shared byte when the decision was made
};

// project_files as apply checked it (a set or frozenset): while it is still
// the same object the type test is one comparison of pointers. Before the
// first apply it points at itself, which project_files can never be, so
// equality also tells that project_files is not NULL.
PyObject *corv_checked_project_files = (PyObject *)&corv_checked_project_files;

// Whether project_files is the set apply checked, with members.
static inline bool corv_checked_set_active(PyObject *pf) {
    return pf == corv_checked_project_files && PySet_GET_SIZE(pf) > 0;
}

static inline bool corv_project_set_active(void) {
    PyObject *pf = project_files;
    if (CORV_LIKELY(pf == corv_checked_project_files)) {
        return PySet_GET_SIZE(pf) > 0;
    }
    return pf != NULL && PyAnySet_Check(pf) && PySet_GET_SIZE(pf) > 0;
}

// The "__init__" a call of the class runs: the first one stored in a class
// dictionary along the MRO (new reference, or NULL). The type lookup walks
// the MRO exactly so (readying the type first when it has no MRO and is not
// being readied, stopping at the first hit or lookup error) and answers
// repeated lookups from the interpreter's type attribute cache, which the
// type's version tag keeps in step with changes to the class or its bases.
static inline PyObject *corv_class_init(PyTypeObject *tp) {
    if (CORV_UNLIKELY(init_str == NULL)) {
        return NULL;
    }
    PyObject *v = _PyType_Lookup(tp, init_str);
    Py_XINCREF(v);
    return v;
}

static __attribute__((noinline)) bool corv_qualname_excluded(PyObject *qualname) {
    if (qualname == NULL || !PyUnicode_Check(qualname) || PyUnicode_READY(qualname) < 0) {
        return true;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(qualname);
    if (PyUnicode_KIND(qualname) == PyUnicode_1BYTE_KIND) {
        return memchr(PyUnicode_DATA(qualname), '<', (size_t)n) != NULL;
    }
    return PyUnicode_FindChar(qualname, '<', 0, n, 1) >= 0;
}

static inline int64_t corv_next_random(void) {
    uint64_t x = (uint64_t)random_seed;
    x ^= x << 13;
    x = (uint64_t)((int64_t)x ^ ((int64_t)x >> 7));
    x ^= x << 17;
    random_seed = (int64_t)x;
    return (int64_t)x;
}

// ---------------------------------------------------------------------------
// What the decision learns about a code object, kept in the code object's
// extra slot so that it lives and dies with the code (a reused address can
// never inherit it). Both answers are revalidated on every use, so they
// stay exact when the project set is replaced or changed in place and when
// a function's __qualname__ is reassigned:
// - membership is asked with `file_key`, a string equal to co_filename; once
//   the project set has been seen to contain it, `file_key` is the set's own
//   key object, so the lookup finds it by identity instead of comparing
//   paths, and `file_slot` (where it sat in the set's table) lets most
//   lookups stop at one comparison;
// - the "<" test of the last qualified name seen is reused while the
//   function still has that very string (strings are immutable).
struct CorvCodeInfo {
    PyObject *file_key;
    size_t file_slot;  // (size_t)-1: not seen in the table
    PyObject *qualname;
    bool qualname_excluded;
};

// Layout of the code object's extra slots (Objects/codeobject.c).
struct corv_code_extra {
    Py_ssize_t ce_size;
    void *ce_extras[1];
};

static Py_ssize_t corv_code_extra_index = -1;

static void corv_code_info_free(void *p) {
    CorvCodeInfo *info = (CorvCodeInfo *)p;
    if (info == NULL) {
        return;
    }
    PyObject *key = info->file_key;
    PyObject *qualname = info->qualname;
    free(info);
    CORV_XDECREF(key);
    CORV_XDECREF(qualname);
}

void corv_reserve_code_extra(void) {
    if (corv_code_extra_index < 0) {
        corv_code_extra_index = _PyEval_RequestCodeExtraIndex(corv_code_info_free);
        if (corv_code_extra_index < 0) {
            PyErr_Clear();
        }
    }
}

static __attribute__((noinline, cold)) CorvCodeInfo *corv_code_info_new(PyCodeObject *co) {
    if (corv_code_extra_index < 0 || !PyUnicode_CheckExact(co->co_filename)) {
        // A str subclass as file name may hash and compare in Python code:
        // such code objects are always asked about afresh.
        return NULL;
    }
    CorvCodeInfo *info = (CorvCodeInfo *)malloc(sizeof(CorvCodeInfo));
    if (info == NULL) {
        return NULL;
    }
    Py_INCREF(co->co_filename);
    info->file_key = co->co_filename;
    info->file_slot = (size_t)-1;
    info->qualname = NULL;
    info->qualname_excluded = true;
    if (co->co_extra == NULL) {
        // The interpreter's own setter sizes a new block for every index
        // handed out so far, and code_dealloc then calls each of those
        // owners' free functions, even for empty slots. An owner that has
        // gone away since (a ctypes callback freed at shutdown, say) would
        // be called through a dangling pointer for code objects it never
        // touched. A block of our own size keeps the other owners' free
        // functions confined to the code objects they set; it is a valid
        // PyMem block, so the interpreter's setter can still grow it.
        Py_ssize_t size = corv_code_extra_index + 1;
        corv_code_extra *ex = (corv_code_extra *)PyMem_Malloc(
            sizeof(corv_code_extra) + (size_t)(size - 1) * sizeof(void *));
        if (ex == NULL) {
            Py_DECREF(co->co_filename);
            free(info);
            return NULL;
        }
        ex->ce_size = size;
        for (Py_ssize_t i = 0; i < size; i++) {
            ex->ce_extras[i] = NULL;
        }
        ex->ce_extras[corv_code_extra_index] = info;
        co->co_extra = ex;
        return info;
    }
    if (_PyCode_SetExtra((PyObject *)co, corv_code_extra_index, info) < 0) {
        PyErr_Clear();
        Py_DECREF(co->co_filename);
        free(info);
        return NULL;
    }
    return info;
}

// Our entry in the code object's extra block, or NULL when there is none yet.
// A failed reservation (index -1) fails the unsigned bound test.
static inline CorvCodeInfo *corv_code_info_cached(PyCodeObject *co) {
    corv_code_extra *ex = (corv_code_extra *)co->co_extra;
    if (CORV_LIKELY(ex != NULL && (size_t)corv_code_extra_index < (size_t)ex->ce_size)) {
        return (CorvCodeInfo *)ex->ce_extras[corv_code_extra_index];
    }
    return NULL;
}

static inline CorvCodeInfo *corv_code_info(PyCodeObject *co) {
    CorvCodeInfo *info = corv_code_info_cached(co);
    return CORV_LIKELY(info != NULL) ? info : corv_code_info_new(co);
}

// Outcomes of corv_set_find_slot besides a slot.
enum : Py_ssize_t {
    CORV_SLOT_ABSENT = -1,   // not a member
    CORV_SLOT_UNKNOWN = -2,  // only the set's own lookup can tell
};

// Where the set's own lookup of `key` (an exact str with its hash) ends,
// following its probe order and its comparisons: the slot of an equal key,
// or CORV_SLOT_ABSENT when it reaches an unused slot having met only keys of
// another hash or exact strs that differ. A key of the same hash that is not
// an exact str would be asked through __eq__: CORV_SLOT_UNKNOWN.
static Py_ssize_t corv_set_find_slot(PySetObject *so, PyObject *key, Py_hash_t hash) {
    size_t mask = (size_t)so->mask;
    size_t i = (size_t)hash & mask;
    size_t perturb = (size_t)hash;
    for (size_t round = 0; round <= mask; round++) {
        size_t probes = (i + 9 <= mask) ? 9 : 0;
        for (size_t j = 0; j <= probes; j++) {
            setentry *e = &so->table[i + j];
            if (e->key == NULL) {
                return CORV_SLOT_ABSENT;
            }
            if (e->key == key) {
                return (Py_ssize_t)(i + j);
            }
            if (e->hash == hash) {
                if (!PyUnicode_CheckExact(e->key)) {
                    return CORV_SLOT_UNKNOWN;
                }
                if (_PyUnicode_EQ(e->key, key)) {
                    return (Py_ssize_t)(i + j);
                }
            }
        }
        perturb >>= 5;
        i = (i * 5 + 1 + perturb) & mask;
    }
    return CORV_SLOT_UNKNOWN;
}

// Membership through the table alone when it can answer; when the set has
// our path under another key object, that object becomes our key, so that
// later lookups find it by identity at its slot.
static int corv_in_project_table(CorvCodeInfo *info) {
    PySetObject *so = (PySetObject *)project_files;
    Py_hash_t hash = ((PyASCIIObject *)info->file_key)->hash;
    if (hash == -1 || !PyAnySet_Check(so)) {
        return -1;
    }
    Py_ssize_t slot = corv_set_find_slot(so, info->file_key, hash);
    if (slot == CORV_SLOT_ABSENT) {
        return 0;
    }
    if (slot < 0) {
        return -1;
    }
    PyObject *own = so->table[slot].key;
    PyObject *old = info->file_key;
    Py_INCREF(own);
    info->file_key = own;
    info->file_slot = (size_t)slot;
    CORV_DECREF(old);
    return 1;
}

static __attribute__((noinline)) int corv_in_project_slow(CorvCodeInfo *info) {
    int r = corv_in_project_table(info);
    if (r >= 0) {
        return r;
    }
    r = PySet_Contains(project_files, info->file_key);
    if (r < 0) {
        PyErr_Clear();
        return 0;
    }
    if (r == 1) {
        // The lookup may have run __eq__ and changed the set: only adopt a
        // key the table still shows.
        corv_in_project_table(info);
    }
    return r;
}

// Whether the project set (non-empty set or frozenset) has our path in the
// slot we last saw it at: our key is kept alive by us, so a table entry
// holding it is a live member.
static inline bool corv_in_project_at_slot(PySetObject *so, CorvCodeInfo *info) {
    size_t slot = info->file_slot;
    return slot <= (size_t)so->mask && so->table[slot].key == info->file_key;
}

// Whether the first slot on the key's probe path is unused: the set's
// lookup would stop there, so the path is not a member.
static inline bool corv_absent_at_first_slot(PySetObject *so, CorvCodeInfo *info) {
    Py_hash_t hash = ((PyASCIIObject *)info->file_key)->hash;
    return hash != -1 && so->table[(size_t)hash & (size_t)so->mask].key == NULL;
}

// Whether co_filename is a member of the project set (non-empty set or
// frozenset), with exactly the answer of the set's membership test.
static inline bool corv_in_project(CorvCodeInfo *info, PyCodeObject *co) {
    if (CORV_UNLIKELY(info == NULL)) {
        int r = PySet_Contains(project_files, co->co_filename);
        if (r < 0) {
            PyErr_Clear();
        }
        return r == 1;
    }
    PySetObject *so = (PySetObject *)project_files;
    if (corv_in_project_at_slot(so, info)) {
        return true;
    }
    if (corv_absent_at_first_slot(so, info)) {
        return false;
    }
    return corv_in_project_slow(info) == 1;
}

static __attribute__((noinline)) bool corv_func_qualname_excluded_slow(PyObject *qualname,
                                                                       CorvCodeInfo *info) {
    bool excluded = corv_qualname_excluded(qualname);
    if (info != NULL && qualname != NULL && PyUnicode_CheckExact(qualname)) {
        PyObject *old = info->qualname;
        Py_INCREF(qualname);
        info->qualname = qualname;
        info->qualname_excluded = excluded;
        CORV_XDECREF(old);
    }
    return excluded;
}

static inline bool corv_func_qualname_excluded(PyFunctionObject *func, CorvCodeInfo *info) {
    PyObject *qualname = func->func_qualname;
    if (CORV_LIKELY(info != NULL && info->qualname == qualname)) {
        return info->qualname_excluded;
    }
    return corv_func_qualname_excluded_slow(qualname, info);
}

// The decision packed in a word: the flags below, and the shared byte at the
// moment of the decision in bits 8 to 15.
enum : uint32_t {
    CORV_D_PYTHON = 1u << 0,
    CORV_D_USER = 1u << 1,
    CORV_D_SAMPLED = 1u << 2,
    CORV_D_RECORDING = 1u << 3,
    // Made once a byte could be non-zero, for a project call or while the
    // byte had the recording bit: the call has after-call steps even
    // without hooks (corv_unhooked_after_call).
    CORV_D_STEPS = 1u << 4,
};

static inline CorvDecision corv_decision_of(uint32_t bits) {
    CorvDecision d;
    d.is_python = (bits & CORV_D_PYTHON) != 0;
    d.is_user = (bits & CORV_D_USER) != 0;
    d.sampled = (bits & CORV_D_SAMPLED) != 0;
    d.recording = (bits & CORV_D_RECORDING) != 0;
    d.flag = (unsigned char)(bits >> 8);
    return d;
}

// A project function that passed the name test: one draw decides.
// A sampled call is what first sets a flag byte.
static inline uint32_t corv_draw(void) {
    int64_t x = corv_next_random();
    int64_t a = x < 0 ? (int64_t)(0 - (uint64_t)x) : x;
    if (CORV_UNLIKELY(a < upper_bound)) {
        corv_flag_ever_set = 1;
        return CORV_D_PYTHON | CORV_D_USER | CORV_D_SAMPLED;
    }
    return CORV_D_PYTHON | CORV_D_USER;
}

// The decision word with the shared byte as it is now.
static inline uint32_t corv_with_flag(uint32_t bits) {
    uint32_t flag = g_currently_recording;
    return bits | ((flag & RECORDING_BIT) ? CORV_D_RECORDING : 0) | (flag << 8);
}

// Steps 2 to 4 of the decision for a plain Python function (the callee, the
// function of a bound method, or a class's __init__).
static inline uint32_t corv_decide_function(PyFunctionObject *func, bool is_class) {
    PyObject *code = func->func_code;
    if (CORV_UNLIKELY(code == NULL || !PyCode_Check(code) ||
                      ((PyCodeObject *)code)->co_filename == NULL)) {
        return 0;
    }
    if (!corv_project_set_active()) {
        return CORV_D_PYTHON;
    }
    PyCodeObject *co = (PyCodeObject *)code;
    CorvCodeInfo *info = corv_code_info(co);
    if (!corv_in_project(info, co)) {
        return CORV_D_PYTHON;
    }
    if (is_class || corv_func_qualname_excluded(func, info)) {
        return CORV_D_PYTHON | CORV_D_USER;
    }
    return corv_draw();
}

// The decision for a class whose __init__ is `init` (a reference we own and
// release). Held: the membership test may run Python code that changes the
// class.
static __attribute__((noinline)) uint32_t corv_decide_init(PyObject *init) {
    uint32_t bits = 0;
    if (PyFunction_Check(init)) {
        bits = corv_decide_function((PyFunctionObject *)init, true);
    }
    else if (PyMethod_Check(init) && PyMethod_GET_SELF(init) != NULL &&
             PyFunction_Check(PyMethod_GET_FUNCTION(init))) {
        bits = corv_decide_function((PyFunctionObject *)PyMethod_GET_FUNCTION(init), true);
    }
    CORV_DECREF(init);
    return bits;
}

static __attribute__((noinline)) uint32_t corv_decide_class(PyTypeObject *tp) {
    PyObject *init = corv_class_init(tp);
    return init == NULL ? 0 : corv_decide_init(init);
}

static __attribute__((noinline)) uint32_t corv_decide_full(PyObject *callee, uint64_t tid) {
    PyTypeObject *tp = Py_TYPE(callee);
    uint32_t bits;
    if (tp == &PyFunction_Type) {
        bits = corv_decide_function((PyFunctionObject *)callee, false);
    }
    else if (tp == &PyMethod_Type) {
        PyObject *fn = PyMethod_GET_FUNCTION(callee);
        bits = PyMethod_GET_SELF(callee) != NULL && PyFunction_Check(fn)
                   ? corv_decide_function((PyFunctionObject *)fn, false)
                   : 0;
    }
    else if (tp == &PyType_Type) {
        bits = corv_decide_class((PyTypeObject *)callee);
    }
    else {
        bits = 0;
    }
    // The membership test may have run Python code and let another thread in.
    corv_sync_recording_thread(tid);
    return bits;
}

enum : uint32_t { CORV_D_UNKNOWN = ~0u };

// The decision for a Python function whose code we have seen, while the
// project set is the one apply checked, its table answers at once and the
// function still has the qualified name last tested; CORV_D_UNKNOWN for
// anything else. Nothing here runs Python code, allocates or draws before
// the answer is certain, so the other cases start afresh with the same
// result as if they had been asked first.
static inline uint32_t corv_decide_known(PyFunctionObject *func, bool is_class) {
    PyObject *pf = project_files;
    if (CORV_UNLIKELY(!corv_checked_set_active(pf))) {
        return CORV_D_UNKNOWN;
    }
    // A function's code is always a code object (its setter sees to it).
    CorvCodeInfo *info = corv_code_info_cached((PyCodeObject *)func->func_code);
    if (CORV_UNLIKELY(info == NULL)) {
        return CORV_D_UNKNOWN;
    }
    PySetObject *so = (PySetObject *)pf;
    if (corv_in_project_at_slot(so, info)) {
        if (is_class) {
            return CORV_D_PYTHON | CORV_D_USER;
        }
        if (CORV_UNLIKELY(func->func_qualname != info->qualname)) {
            return CORV_D_UNKNOWN;
        }
        return info->qualname_excluded ? CORV_D_PYTHON | CORV_D_USER : corv_draw();
    }
    if (corv_absent_at_first_slot(so, info)) {
        return CORV_D_PYTHON;
    }
    return CORV_D_UNKNOWN;
}

// The "__init__" that _PyType_Lookup last found for a class, remembered
// with the class's version tag (and the name string it was looked up with),
// in a small table indexed by the class's address. The interpreter's own method cache rests on the same rule: while
// a class keeps a valid version tag, nothing along its MRO has changed (every
// change clears the tag of the class and of its subclasses), so the value
// found is still the one stored there, and alive. Tags only grow, so a class
// made later at the same address has another one. Borrowed references.
struct CorvInitCacheEntry {
    PyTypeObject *type;
    unsigned int version;
    PyObject *name;  // the init_str it was looked up with
    PyObject *init;
};
enum { CORV_INIT_CACHE_SIZE = 256 };
static CorvInitCacheEntry corv_init_cache[CORV_INIT_CACHE_SIZE];

static inline CorvInitCacheEntry *corv_init_cache_entry(PyTypeObject *tp) {
    uintptr_t a = (uintptr_t)tp;
    return &corv_init_cache[((a >> 4) ^ (a >> 12)) & (CORV_INIT_CACHE_SIZE - 1)];
}

static inline bool corv_version_valid(PyTypeObject *tp) {
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
}

static inline bool corv_init_cache_hit(const CorvInitCacheEntry *e, PyTypeObject *tp) {
    return e->type == tp && e->version == tp->tp_version_tag && corv_version_valid(tp) &&
           e->name == init_str;
}

// The class's "__init__" (borrowed, or NULL) as _PyType_Lookup finds it,
// remembered when the class has a valid version tag. A lookup that may have
// run Python code (comparing keys) while the tag changed is not remembered.
static PyObject *corv_class_init_lookup(PyTypeObject *tp) {
    bool valid_before = corv_version_valid(tp);
    unsigned int version_before = tp->tp_version_tag;
    PyObject *init = _PyType_Lookup(tp, init_str);
    if (init != NULL && corv_version_valid(tp) &&
        (!valid_before || tp->tp_version_tag == version_before)) {
        CorvInitCacheEntry *e = corv_init_cache_entry(tp);
        e->type = tp;
        e->version = tp->tp_version_tag;
        e->name = init_str;
        e->init = init;
    }
    return init;
}

static __attribute__((noinline)) uint32_t corv_decide_class_slow(PyTypeObject *tp,
                                                                 uint64_t tid) {
    if (CORV_UNLIKELY(init_str == NULL)) {
        return corv_decide_full((PyObject *)tp, tid);
    }
    // Borrowed: nothing runs between the lookup and the answer, and the
    // lookup is made only once (it may compare keys in Python code).
    PyObject *init = corv_class_init_lookup(tp);
    uint32_t bits = 0;
    if (init != NULL) {
        if (Py_TYPE(init) != &PyFunction_Type ||
            (bits = corv_decide_known((PyFunctionObject *)init, true)) == CORV_D_UNKNOWN) {
            Py_INCREF(init);
            bits = corv_decide_init(init);
        }
    }
    corv_sync_recording_thread(tid);
    return bits;
}

// A class call whose "__init__" is remembered and answers without running
// anything: a slot wrapper or other callable that is neither a function nor
// a method (not Python code, as corv_decide_init would find), or a function
// the known-function test answers for.
static __attribute__((noinline)) uint32_t corv_decide_class_known(PyTypeObject *tp,
                                                                  uint64_t tid) {
    const CorvInitCacheEntry *e = corv_init_cache_entry(tp);
    if (CORV_LIKELY(corv_init_cache_hit(e, tp))) {
        PyObject *init = e->init;
        PyTypeObject *itp = Py_TYPE(init);
        if (itp == &PyFunction_Type) {
            uint32_t bits = corv_decide_known((PyFunctionObject *)init, true);
            if (CORV_LIKELY(bits != CORV_D_UNKNOWN)) {
                return bits;
            }
        }
        else if (itp != &PyMethod_Type) {
            return 0;
        }
    }
    return corv_decide_class_slow(tp, tid);
}

// The decision at a call site, without the shared byte (corv_site_bits adds
// it): the common cases in a leaf, the rest in corv_decide_full.
static __attribute__((noinline, hot)) uint32_t corv_decide(PyObject *callee, uint64_t tid) {
    PyTypeObject *tp = Py_TYPE(callee);
    PyObject *fn = callee;
    if (tp == &PyMethod_Type && PyMethod_GET_SELF(callee) != NULL) {
        fn = PyMethod_GET_FUNCTION(callee);
    }
    else if (tp == &PyType_Type) {
        return corv_decide_class_known((PyTypeObject *)callee, tid);
    }
    if (CORV_LIKELY(Py_TYPE(fn) == &PyFunction_Type)) {
        uint32_t bits = corv_decide_known((PyFunctionObject *)fn, false);
        if (CORV_LIKELY(bits != CORV_D_UNKNOWN)) {
            return bits;
        }
    }
    return corv_decide_full(callee, tid);
}

// corv_decide for a plain function while the project set is the non-empty
// one apply checked (the call site has just seen so): the known case
// without the tests the site already made. Inlined into the call sites: the
// common call is decided there without a call of its own.
static inline __attribute__((always_inline)) uint32_t corv_decide_plain_function(PyObject *callee,
                                                                         uint64_t tid) {
    PyFunctionObject *func = (PyFunctionObject *)callee;
    CorvCodeInfo *info = corv_code_info_cached((PyCodeObject *)func->func_code);
    if (CORV_LIKELY(info != NULL)) {
        PySetObject *so = (PySetObject *)project_files;
        if (corv_in_project_at_slot(so, info)) {
            if (CORV_LIKELY(func->func_qualname == info->qualname)) {
                return info->qualname_excluded ? CORV_D_PYTHON | CORV_D_USER : corv_draw();
            }
        }
        else if (corv_absent_at_first_slot(so, info)) {
            return CORV_D_PYTHON;
        }
    }
    return corv_decide_full(callee, tid);
}

// The decision word of a call site: the shared byte is added once some byte
// can be non-zero; until then it is 0 and adds nothing, and no call has
// after-call steps. (Read after the decision, which syncs the byte whenever
// it may have let another thread in.)
static inline uint32_t corv_site_bits(uint32_t bits) {
    if (CORV_LIKELY(!CORV_FLAG_IN_USE())) {
        return bits;
    }
    bits = corv_with_flag(bits);
    return bits & (CORV_D_USER | CORV_D_RECORDING) ? bits | CORV_D_STEPS : bits;
}

// Whether the call gets a hook: a sampled call, or an external call made
// while recording.
static inline bool corv_decision_hooks(uint32_t bits) {
    return (bits & CORV_D_SAMPLED) || (bits & (CORV_D_USER | CORV_D_RECORDING)) == CORV_D_RECORDING;
}

// The call site's decision while the running thread is not recording:
// whether the call has to go through the hooked call (corv_hooked_call_*),
// with the decision word in *d: a call with a hook, or with after-call steps
// (CORV_D_STEPS: a project call once a byte could be non-zero), which the
// hooked call makes without the hooks' work. A call to anything else needs
// neither: syncing the byte after it is left to the next reader, which syncs
// first. There is no decision to make (*d stays 0) when the callee is not a
// function, bound method or class, or there is no project set: such a call
// can be neither sampled nor external.
static inline bool corv_site_decide_unrecorded(PyObject *callee, uint64_t tid, uint32_t *d) {
    PyTypeObject *tp = Py_TYPE(callee);
    PyObject *pf = project_files;
    if (CORV_LIKELY(tp == &PyFunction_Type)) {
        if (CORV_LIKELY(corv_checked_set_active(pf))) {
            *d = corv_site_bits(corv_decide_plain_function(callee, tid));
        }
        else if (CORV_LIKELY(pf == corv_checked_project_files) || !corv_project_set_active()) {
            return false;
        }
        else {
            *d = corv_site_bits(corv_decide(callee, tid));
        }
    }
    else if ((tp == &PyMethod_Type || tp == &PyType_Type) && corv_project_set_active()) {
        *d = corv_site_bits(corv_decide(callee, tid));
    }
    else {
        return false;
    }
    return corv_decision_hooks(*d) || (*d & CORV_D_STEPS);
}

// The after-call steps of corv_after_call for a call without hooks: the
// byte synced, then the recording bit set back for a call decided while
// recording, or cleared after a project call (whatever ran inside, the
// caller is not recording).
static __attribute__((noinline)) void corv_unhooked_after_call(uint32_t bits, uint64_t tid) {
    corv_sync_recording_thread(tid);
    if (bits & CORV_D_RECORDING) {
        g_currently_recording |= RECORDING_BIT;
    }
    else if (bits & CORV_D_USER) {
        g_currently_recording &= (unsigned char)~RECORDING_BIT;
    }
}

// The hook part before the call. Returns whether a hook was attempted and
// stores the record object or token (a new reference, or NULL) in *hook.
static bool corv_before_call(const CorvDecision &d, PyObject *callee, PyObject *const *cb_args,
                             Py_ssize_t cb_nargs, PyObject *kwnames, PyObject *cb_tuple_args,
                             PyObject *cb_kwargs, PyObject **hook) {
    *hook = NULL;
    if (d.sampled) {
        PyObject *et, *ev, *etb;
        PyErr_Fetch(&et, &ev, &etb);
        g_currently_recording = d.flag & (unsigned char)~RECORDING_BIT;
        if (pyfunc_record_function_call != NULL) {
            PyObject *r;
            CorvCallbackScope scope;
            g_sampled_outside_recording = d.recording ? 0 : 1;
            if (cb_tuple_args != NULL) {
                r = PyObject_Call(pyfunc_record_function_call, cb_tuple_args, cb_kwargs);
            }
            else {
                r = pyfunc_record_function_call == corv_entry_owner
                        ? corv_entry_fn(cb_args, cb_nargs, kwnames)
                        : PyObject_Vectorcall(pyfunc_record_function_call, cb_args,
                                              (size_t)cb_nargs, kwnames);
            }
            g_sampled_outside_recording = 0;
            corv_sync_current_thread();
            if (r == NULL) {
                PyErr_Clear();
            }
            else if (r == Py_None) {
                Corv_Py_DecRef(r);
            }
            else {
                *hook = r;
            }
        }
        PyErr_Restore(et, ev, etb);
        corv_sync_current_thread();
        if (*hook != NULL || CORV_LIKELY(g_external_answer_type == NULL)) {
            g_currently_recording |= RECORDING_BIT;
        }
        else if (d.recording) {
            // Replay: a sampled call that got no record keeps the state it was
            // made in, so only the replayed call itself turns recording on
            // (a project function called from inside an external callee runs
            // unrecorded, as it did when it was not sampled).
            g_currently_recording |= RECORDING_BIT;
        }
        return true;
    }
    if (!d.is_user && d.recording) {
        PyObject *et, *ev, *etb;
        PyErr_Fetch(&et, &ev, &etb);
        g_currently_recording = d.flag & (unsigned char)~RECORDING_BIT;
        if (pyfunc_record_inner_call != NULL) {
            PyObject *args[2] = {callee, d.is_python ? Py_True : Py_False};
            PyObject *r;
            {
                CorvCallbackScope scope;
                r = PyObject_Vectorcall(pyfunc_record_inner_call, args, 2, NULL);
            }
            corv_sync_current_thread();
            if (r == NULL) {
                PyErr_Clear();
            }
            *hook = r;
        }
        PyErr_Restore(et, ev, etb);
        corv_sync_current_thread();
        g_currently_recording = d.flag & (unsigned char)~RECORDING_BIT;
        return true;
    }
    return false;
}

static inline bool corv_is_coroutine_result(PyObject *res) {
    if (res == NULL) {
        return false;
    }
    if (PyCoro_CheckExact(res)) {
        return true;
    }
    return PyGen_CheckExact(res) &&
           (((PyCodeObject *)((PyGenObject *)res)->gi_code)->co_flags & CO_ITERABLE_COROUTINE);
}

// The end of a sampled call, after its after-call steps: the last one to end
// leaves every byte 0 (this thread's was just cleared or put back), so the
// loop can drop its flag bookkeeping until the next sample.
static inline void corv_end_sampled_call(void) {
    if (--corv_sampled_in_flight == 0 && !corv_flag_pinned && g_currently_recording == 0) {
        corv_flag_ever_set = 0;
    }
}

// The after-call steps for a call that went through corv_before_call.
static void corv_after_call(PyThreadState *tstate, const CorvDecision &d, bool hooked,
                            PyObject *hook, PyObject *res) {
    corv_sync_recording_thread(tstate->thread_id);
    g_currently_recording |= hooked ? RECORDING_BIT : (d.recording ? RECORDING_BIT : 0);
    if (hook != NULL) {
        if (corv_is_coroutine_result(res)) {
            // Asynchronous results are not recorded, but the record or token
            // still has to be given back.
            Corv_Py_DecRef(hook);
        }
        else {
            PyObject *et, *ev, *etb;
            PyErr_Fetch(&et, &ev, &etb);
            Py_XINCREF(et);
            Py_XINCREF(ev);
            Py_XINCREF(etb);
            PyErr_Restore(et, ev, etb);
            if (d.sampled) {
                record_return_value(1, 0, d.recording ? RECORDING_BIT : 0, res, NULL, hook);
            }
            else {
                int t = hook != Py_None;
                record_return_value(t, t, d.recording ? RECORDING_BIT : 0, res, NULL, hook);
            }
            // Whatever the callback left pending is replaced by the call's own state.
            PyObject *lt, *lv, *ltb;
            PyErr_Fetch(&lt, &lv, &ltb);
            Corv_Py_DecRef(lt);
            Corv_Py_DecRef(lv);
            Corv_Py_DecRef(ltb);
            PyErr_Restore(et, ev, etb);
        }
    }
    corv_sync_recording_thread(tstate->thread_id);
    if (!d.recording && d.is_user) {
        g_currently_recording &= (unsigned char)~RECORDING_BIT;
    }
    if (d.sampled) {
        corv_end_sampled_call();
    }
}

// ---------------------------------------------------------------------------
// Tracing.

static inline void corv_init_trace_info(CorvTraceInfo *ti, PyFrameObject *f) {
    if (ti->code != f->f_code) {
        ti->code = f->f_code;
        corv_line_range_init(f->f_code, &ti->bounds);
    }
}

static int corv_call_trace(Py_tracefunc func, PyObject *obj, PyThreadState *tstate,
                           PyFrameObject *frame, CorvTraceInfo *ti, int what, PyObject *arg) {
    if (tstate->tracing) {
        return 0;
    }
    tstate->tracing++;
    tstate->cframe->use_tracing = 0;
    if (frame->f_lasti < 0) {
        frame->f_lineno = frame->f_code->co_firstlineno;
    }
    else {
        corv_init_trace_info(ti, frame);
        frame->f_lineno = _PyCode_CheckLineNumber(frame->f_lasti * 2, &ti->bounds);
    }
    int result = func(obj, frame, what, arg);
    frame->f_lineno = 0;
    tstate->cframe->use_tracing = (tstate->c_tracefunc != NULL) || (tstate->c_profilefunc != NULL);
    tstate->tracing--;
    return result;
}

static int corv_call_trace_protected(Py_tracefunc func, PyObject *obj, PyThreadState *tstate,
                                     PyFrameObject *frame, CorvTraceInfo *ti, int what,
                                     PyObject *arg) {
    PyObject *type, *value, *tb;
    _PyErr_Fetch(tstate, &type, &value, &tb);
    int err = corv_call_trace(func, obj, tstate, frame, ti, what, arg);
    if (err == 0) {
        _PyErr_Restore(tstate, type, value, tb);
        return 0;
    }
    CORV_XDECREF(type);
    CORV_XDECREF(value);
    CORV_XDECREF(tb);
    return -1;
}

static void corv_call_exc_trace(Py_tracefunc func, PyObject *self, PyThreadState *tstate,
                                PyFrameObject *f, CorvTraceInfo *ti) {
    PyObject *type, *value, *orig_tb;
    _PyErr_Fetch(tstate, &type, &value, &orig_tb);
    if (value == NULL) {
        value = Py_None;
        Py_INCREF(value);
    }
    _PyErr_NormalizeException(tstate, &type, &value, &orig_tb);
    PyObject *tb = orig_tb != NULL ? orig_tb : Py_None;
    PyObject *arg = PyTuple_Pack(3, type, value, tb);
    if (arg == NULL) {
        _PyErr_Restore(tstate, type, value, orig_tb);
        return;
    }
    int err = corv_call_trace(func, self, tstate, f, ti, PyTrace_EXCEPTION, arg);
    CORV_DECREF(arg);
    if (err == 0) {
        _PyErr_Restore(tstate, type, value, orig_tb);
    }
    else {
        CORV_XDECREF(type);
        CORV_XDECREF(value);
        CORV_XDECREF(orig_tb);
    }
}

static int corv_maybe_call_line_trace(Py_tracefunc func, PyObject *obj, PyThreadState *tstate,
                                      PyFrameObject *frame, CorvTraceInfo *ti, int instr_prev) {
    int result = 0;
    corv_init_trace_info(ti, frame);
    int lastline = _PyCode_CheckLineNumber(instr_prev * 2, &ti->bounds);
    int line = _PyCode_CheckLineNumber(frame->f_lasti * 2, &ti->bounds);
    if (line != -1 && frame->f_trace_lines) {
        // Backward jumps and new lines both count as a line event.
        if (frame->f_lasti < instr_prev || line != lastline) {
            result = corv_call_trace(func, obj, tstate, frame, ti, PyTrace_LINE, Py_None);
        }
    }
    // An opcode event only follows a line event that did not raise.
    if (frame->f_trace_opcodes && result == 0) {
        result = corv_call_trace(func, obj, tstate, frame, ti, PyTrace_OPCODE, Py_None);
    }
    return result;
}

// Profiling of calls into C functions (the c_call / c_return / c_exception
// events), wrapped around `call`.
#define CORV_C_TRACE(x, call)                                                                  \
    if (ti->cframe.use_tracing && tstate->c_profilefunc) {                                     \
        if (corv_call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate, tstate->frame, \
                            ti, PyTrace_C_CALL, func)) {                                       \
            x = NULL;                                                                          \
        }                                                                                      \
        else {                                                                                 \
            x = call;                                                                          \
            if (tstate->c_profilefunc != NULL) {                                               \
                if (x == NULL) {                                                               \
                    corv_call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj,     \
                                              tstate, tstate->frame, ti, PyTrace_C_EXCEPTION,  \
                                              func);                                           \
                }                                                                              \
                else if (corv_call_trace(tstate->c_profilefunc, tstate->c_profileobj, tstate,  \
                                         tstate->frame, ti, PyTrace_C_RETURN, func)) {         \
                    CORV_DECREF(x);                                                            \
                    x = NULL;                                                                  \
                }                                                                              \
            }                                                                                  \
        }                                                                                      \
    }                                                                                          \
    else {                                                                                     \
        x = call;                                                                              \
    }

static PyObject *corv_trace_call_function(PyThreadState *tstate, CorvTraceInfo *ti,
                                          PyObject *func, PyObject **args, Py_ssize_t nargs,
                                          PyObject *kwnames) {
    PyObject *x;
    if (PyCFunction_CheckExact(func) || PyCMethod_CheckExact(func)) {
        CORV_C_TRACE(x, PyObject_Vectorcall(func, args, nargs, kwnames));
        return x;
    }
    if (Py_IS_TYPE(func, &PyMethodDescr_Type) && nargs > 0) {
        // A temporary bound method stands for the descriptor in the events.
        PyObject *self = args[0];
        func = Py_TYPE(func)->tp_descr_get(func, self, (PyObject *)Py_TYPE(self));
        if (func == NULL) {
            return NULL;
        }
        CORV_C_TRACE(x, PyObject_Vectorcall(func, args + 1, nargs - 1, kwnames));
        CORV_DECREF(func);
        return x;
    }
    return PyObject_Vectorcall(func, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

static inline PyObject *corv_call_function(PyThreadState *tstate, CorvTraceInfo *ti,
                                           PyObject ***pp_stack, Py_ssize_t oparg,
                                           PyObject *kwnames) {
    PyObject **pfunc = (*pp_stack) - oparg - 1;
    PyObject *func = *pfunc;
    Py_ssize_t nkw = kwnames == NULL ? 0 : PyTuple_GET_SIZE(kwnames);
    Py_ssize_t nargs = oparg - nkw;
    PyObject **stack = (*pp_stack) - nargs - nkw;
    PyObject *x;
    if (CORV_UNLIKELY(ti->cframe.use_tracing)) {
        x = corv_trace_call_function(tstate, ti, func, stack, nargs, kwnames);
    }
    else {
        x = PyObject_Vectorcall(func, stack, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    while ((*pp_stack) > pfunc) {
        PyObject *w = *--(*pp_stack);
        CORV_DECREF(w);
    }
    return x;
}

static PyObject *corv_do_call_core(PyThreadState *tstate, CorvTraceInfo *ti, PyObject *func,
                                   PyObject *callargs, PyObject *kwdict) {
    PyObject *result;
    if (PyCFunction_CheckExact(func) || PyCMethod_CheckExact(func)) {
        CORV_C_TRACE(result, PyObject_Call(func, callargs, kwdict));
        return result;
    }
    if (Py_IS_TYPE(func, &PyMethodDescr_Type)) {
        Py_ssize_t nargs = PyTuple_GET_SIZE(callargs);
        if (nargs > 0 && ti->cframe.use_tracing) {
            PyObject *self = PyTuple_GET_ITEM(callargs, 0);
            func = Py_TYPE(func)->tp_descr_get(func, self, (PyObject *)Py_TYPE(self));
            if (func == NULL) {
                return NULL;
            }
            CORV_C_TRACE(result, PyObject_VectorcallDict(func, &_PyTuple_ITEMS(callargs)[1],
                                                         nargs - 1, kwdict));
            CORV_DECREF(func);
            return result;
        }
    }
    return PyObject_Call(func, callargs, kwdict);
}

static inline bool corv_is_answer(PyObject *hook) {
    return CORV_UNLIKELY(g_external_answer_type != NULL) && hook != NULL &&
           (PyObject *)Py_TYPE(hook) == g_external_answer_type && PyTuple_GET_SIZE(hook) == 2;
}

// The outcome an answer token stands for: a new reference, or NULL with the
// answer's exception set.
static PyObject *corv_answer_outcome(PyObject *hook) {
    PyObject *value = PyTuple_GET_ITEM(hook, 1);
    int raised = PyObject_IsTrue(PyTuple_GET_ITEM(hook, 0));
    if (raised < 0) {
        return NULL;
    }
    if (!raised) {
        Py_INCREF(value);
        return value;
    }
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExceptionInstance_Class(value), value);
    }
    else {
        PyErr_SetString(PyExc_SystemError, "an external-call answer raised a non-exception");
    }
    return NULL;
}

// A call with its hooks and after-call steps, for any decision (a decision
// without hooks gets the steps alone, without the hooks' bookkeeping).
static __attribute__((noinline)) PyObject *corv_hooked_call_function_slow(
    PyThreadState *tstate, CorvTraceInfo *ti, PyObject ***pp_stack, Py_ssize_t oparg,
    PyObject *kwnames, PyObject *callee, PyObject *const *cb_args, Py_ssize_t cb_nargs,
    uint32_t bits) {
    if (!corv_decision_hooks(bits)) {
        PyObject *res = corv_call_function(tstate, ti, pp_stack, oparg, kwnames);
        corv_unhooked_after_call(bits, tstate->thread_id);
        return res;
    }
    const CorvDecision d = corv_decision_of(bits);
    PyObject *hook;
    if (d.sampled) {
        corv_sampled_in_flight++;
    }
    bool hooked = corv_before_call(d, callee, cb_args, cb_nargs, kwnames, NULL, NULL, &hook);
    PyObject *res;
    if (corv_is_answer(hook)) {
        res = corv_answer_outcome(hook);
        PyObject **pfunc = (*pp_stack) - oparg - 1;
        while ((*pp_stack) > pfunc) {
            PyObject *w = *--(*pp_stack);
            CORV_DECREF(w);
        }
    }
    else {
        res = corv_call_function(tstate, ti, pp_stack, oparg, kwnames);
    }
    corv_after_call(tstate, d, hooked, hook, res);
    return res;
}

static __attribute__((noinline)) PyObject *corv_hooked_call_core_slow(
    PyThreadState *tstate, CorvTraceInfo *ti, PyObject *func, PyObject *callargs,
    PyObject *kwdict, uint32_t bits) {
    const CorvDecision d = corv_decision_of(bits);
    PyObject *hook = NULL;
    bool hooked;
    if (d.sampled) {
        corv_sampled_in_flight++;
        Py_ssize_t n = PyTuple_GET_SIZE(callargs);
        PyObject *all = PyTuple_New(n + 1);
        if (all == NULL) {
            PyErr_Clear();
            hooked = true;
            corv_sync_recording_thread(tstate->thread_id);
            g_currently_recording |= RECORDING_BIT;
        }
        else {
            Py_INCREF(func);
            PyTuple_SET_ITEM(all, 0, func);
            for (Py_ssize_t i = 0; i < n; i++) {
                PyObject *it = PyTuple_GET_ITEM(callargs, i);
                Py_INCREF(it);
                PyTuple_SET_ITEM(all, i + 1, it);
            }
            hooked = corv_before_call(d, func, NULL, 0, NULL, all, kwdict, &hook);
            Corv_Py_DecRef(all);
        }
    }
    else {
        hooked = corv_before_call(d, func, NULL, 0, NULL, NULL, NULL, &hook);
    }
    PyObject *res = corv_is_answer(hook) ? corv_answer_outcome(hook)
                                         : corv_do_call_core(tstate, ti, func, callargs, kwdict);
    corv_after_call(tstate, d, hooked, hook, res);
    return res;
}

// ---------------------------------------------------------------------------
// Helpers of individual opcodes.

#define NAME_ERROR_MSG "name '%.200s' is not defined"
#define UNBOUNDLOCAL_ERROR_MSG "local variable '%.200s' referenced before assignment"
#define UNBOUNDFREE_ERROR_MSG \
    "free variable '%.200s' referenced before assignment in enclosing scope"
#define CANNOT_CATCH_MSG "catching classes that do not inherit from BaseException is not allowed"

static void corv_format_exc_check_arg(PyThreadState *tstate, PyObject *exc,
                                      const char *format_str, PyObject *obj) {
    if (!obj) {
        return;
    }
    const char *obj_str = PyUnicode_AsUTF8(obj);
    if (!obj_str) {
        return;
    }
    _PyErr_Format(tstate, exc, format_str, obj_str);
    if (exc == PyExc_NameError) {
        // The name lets the traceback printer offer suggestions.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (PyErr_GivenExceptionMatches(value, PyExc_NameError)) {
            PyNameErrorObject *ne = (PyNameErrorObject *)value;
            if (ne->name == NULL) {
                if (PyObject_SetAttrString(value, "name", obj) < 0) {
                    PyErr_Clear();
                }
            }
        }
        PyErr_Restore(type, value, tb);
    }
}

static void corv_format_exc_unbound(PyThreadState *tstate, PyCodeObject *co, int oparg) {
    if (_PyErr_Occurred(tstate)) {
        return;
    }
    Py_ssize_t ncells = PyTuple_GET_SIZE(co->co_cellvars);
    if (oparg < ncells) {
        corv_format_exc_check_arg(tstate, PyExc_UnboundLocalError, UNBOUNDLOCAL_ERROR_MSG,
                                  PyTuple_GET_ITEM(co->co_cellvars, oparg));
    }
    else {
        corv_format_exc_check_arg(tstate, PyExc_NameError, UNBOUNDFREE_ERROR_MSG,
                                  PyTuple_GET_ITEM(co->co_freevars, oparg - ncells));
    }
}

static void corv_format_awaitable_error(PyThreadState *tstate, PyTypeObject *type,
                                        int prevprevopcode, int prevopcode) {
    if (type->tp_as_async == NULL || type->tp_as_async->am_await == NULL) {
        if (prevopcode == BEFORE_ASYNC_WITH) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "'async with' received an object from __aenter__ "
                          "that does not implement __await__: %.100s",
                          type->tp_name);
        }
        else if (prevopcode == WITH_EXCEPT_START ||
                 (prevopcode == CALL_FUNCTION && prevprevopcode == DUP_TOP)) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "'async with' received an object from __aexit__ "
                          "that does not implement __await__: %.100s",
                          type->tp_name);
        }
    }
}

static int corv_check_args_iterable(PyThreadState *tstate, PyObject *func, PyObject *args) {
    if (Py_TYPE(args)->tp_iter == NULL && !PySequence_Check(args)) {
        _PyErr_Clear(tstate);
        PyObject *funcstr = _PyObject_FunctionStr(func);
        if (funcstr != NULL) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "%U argument after * must be an iterable, not %.200s", funcstr,
                          Py_TYPE(args)->tp_name);
            CORV_DECREF(funcstr);
        }
        return -1;
    }
    return 0;
}

static void corv_format_kwargs_error(PyThreadState *tstate, PyObject *func, PyObject *kwargs) {
    // Merging reports a non-mapping as an AttributeError on 'keys'.
    if (_PyErr_ExceptionMatches(tstate, PyExc_AttributeError)) {
        _PyErr_Clear(tstate);
        PyObject *funcstr = _PyObject_FunctionStr(func);
        if (funcstr != NULL) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "%U argument after ** must be a mapping, not %.200s", funcstr,
                          Py_TYPE(kwargs)->tp_name);
            CORV_DECREF(funcstr);
        }
    }
    else if (_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
        PyObject *exc, *val, *tb;
        _PyErr_Fetch(tstate, &exc, &val, &tb);
        if (val && PyTuple_Check(val) && PyTuple_GET_SIZE(val) == 1) {
            _PyErr_Clear(tstate);
            PyObject *funcstr = _PyObject_FunctionStr(func);
            if (funcstr != NULL) {
                PyObject *key = PyTuple_GET_ITEM(val, 0);
                _PyErr_Format(tstate, PyExc_TypeError,
                              "%U got multiple values for keyword argument '%S'", funcstr, key);
                CORV_DECREF(funcstr);
            }
            CORV_XDECREF(exc);
            CORV_XDECREF(val);
            CORV_XDECREF(tb);
        }
        else {
            _PyErr_Restore(tstate, exc, val, tb);
        }
    }
}

static PyObject *corv_special_lookup(PyThreadState *tstate, PyObject *o, _Py_Identifier *id) {
    PyObject *res = _PyObject_LookupSpecial(o, id);
    if (res == NULL && !_PyErr_Occurred(tstate)) {
        _PyErr_SetObject(tstate, PyExc_AttributeError, _PyUnicode_FromId(id));
        return NULL;
    }
    return res;
}

static int corv_do_raise(PyThreadState *tstate, PyObject *exc, PyObject *cause) {
    PyObject *type = NULL, *value = NULL;
    if (exc == NULL) {
        // Bare "raise": re-raise the exception being handled.
        _PyErr_StackItem *exc_info = _PyErr_GetTopmostException(tstate);
        PyObject *tb;
        type = exc_info->exc_type;
        value = exc_info->exc_value;
        tb = exc_info->exc_traceback;
        if (type == Py_None || type == NULL) {
            _PyErr_SetString(tstate, PyExc_RuntimeError, "No active exception to reraise");
            return 0;
        }
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        _PyErr_Restore(tstate, type, value, tb);
        return 1;
    }
    if (PyExceptionClass_Check(exc)) {
        type = exc;
        value = PyObject_CallNoArgs(exc);
        if (value == NULL) {
            goto raise_error;
        }
        if (!PyExceptionInstance_Check(value)) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "calling %R should have returned an instance of "
                          "BaseException, not %R",
                          type, Py_TYPE(value));
            goto raise_error;
        }
    }
    else if (PyExceptionInstance_Check(exc)) {
        value = exc;
        type = PyExceptionInstance_Class(exc);
        Py_INCREF(type);
    }
    else {
        CORV_DECREF(exc);
        _PyErr_SetString(tstate, PyExc_TypeError, "exceptions must derive from BaseException");
        goto raise_error;
    }
    if (cause) {
        PyObject *fixed_cause;
        if (PyExceptionClass_Check(cause)) {
            fixed_cause = PyObject_CallNoArgs(cause);
            if (fixed_cause == NULL) {
                goto raise_error;
            }
            CORV_DECREF(cause);
        }
        else if (PyExceptionInstance_Check(cause)) {
            fixed_cause = cause;
        }
        else if (cause == Py_None) {
            CORV_DECREF(cause);
            fixed_cause = NULL;
        }
        else {
            _PyErr_SetString(tstate, PyExc_TypeError,
                             "exception causes must derive from BaseException");
            goto raise_error;
        }
        PyException_SetCause(value, fixed_cause);
    }
    _PyErr_SetObject(tstate, type, value);
    CORV_DECREF(value);
    CORV_DECREF(type);
    return 0;
raise_error:
    CORV_XDECREF(value);
    CORV_XDECREF(type);
    CORV_XDECREF(cause);
    return 0;
}

// Unpacks `v` into argcnt items (plus a list and argcntafter items for a
// starred target), written downwards from `sp`.
static int corv_unpack_iterable(PyThreadState *tstate, PyObject *v, int argcnt, int argcntafter,
                                PyObject **sp) {
    int i = 0, j = 0;
    Py_ssize_t ll = 0;
    PyObject *w, *l = NULL;
    PyObject *it = PyObject_GetIter(v);
    if (it == NULL) {
        if (_PyErr_ExceptionMatches(tstate, PyExc_TypeError) && Py_TYPE(v)->tp_iter == NULL &&
            !PySequence_Check(v)) {
            _PyErr_Format(tstate, PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                          Py_TYPE(v)->tp_name);
        }
        return 0;
    }
    for (; i < argcnt; i++) {
        w = PyIter_Next(it);
        if (w == NULL) {
            if (!_PyErr_Occurred(tstate)) {
                if (argcntafter == -1) {
                    _PyErr_Format(tstate, PyExc_ValueError,
                                  "not enough values to unpack (expected %d, got %d)", argcnt, i);
                }
                else {
                    _PyErr_Format(tstate, PyExc_ValueError,
                                  "not enough values to unpack (expected at least %d, got %d)",
                                  argcnt + argcntafter, i);
                }
            }
            goto Error;
        }
        *--sp = w;
    }
    if (argcntafter == -1) {
        w = PyIter_Next(it);
        if (w == NULL) {
            if (_PyErr_Occurred(tstate)) {
                goto Error;
            }
            CORV_DECREF(it);
            return 1;
        }
        CORV_DECREF(w);
        _PyErr_Format(tstate, PyExc_ValueError, "too many values to unpack (expected %d)",
                      argcnt);
        goto Error;
    }
    l = PySequence_List(it);
    if (l == NULL) {
        goto Error;
    }
    *--sp = l;
    i++;
    ll = PyList_GET_SIZE(l);
    if (ll < argcntafter) {
        _PyErr_Format(tstate, PyExc_ValueError,
                      "not enough values to unpack (expected at least %d, got %zd)",
                      argcnt + argcntafter, argcnt + ll);
        goto Error;
    }
    for (j = argcntafter; j > 0; j--, i++) {
        *--sp = PyList_GET_ITEM(l, ll - j);
    }
    Py_SET_SIZE(l, ll - argcntafter);
    CORV_DECREF(it);
    return 1;
Error:
    for (; i > 0; i--, sp++) {
        CORV_DECREF(*sp);
    }
    CORV_XDECREF(it);
    return 0;
}

static PyObject *corv_import_name(PyThreadState *tstate, PyFrameObject *f, PyObject *name,
                                  PyObject *fromlist, PyObject *level) {
    _Py_IDENTIFIER(__import__);
    PyObject *import_func = _PyDict_GetItemIdWithError(f->f_builtins, &PyId___import__);
    if (import_func == NULL) {
        if (!_PyErr_Occurred(tstate)) {
            _PyErr_SetString(tstate, PyExc_ImportError, "__import__ not found");
        }
        return NULL;
    }
    if (import_func == tstate->interp->import_func) {
        int ilevel = _PyLong_AsInt(level);
        if (ilevel == -1 && _PyErr_Occurred(tstate)) {
            return NULL;
        }
        return PyImport_ImportModuleLevelObject(
            name, f->f_globals, f->f_locals == NULL ? Py_None : f->f_locals, fromlist, ilevel);
    }
    Py_INCREF(import_func);
    PyObject *stack[5] = {name, f->f_globals, f->f_locals == NULL ? Py_None : f->f_locals,
                          fromlist, level};
    PyObject *res = PyObject_Vectorcall(import_func, stack, 5, NULL);
    CORV_DECREF(import_func);
    return res;
}

static PyObject *corv_import_from(PyThreadState *tstate, PyObject *v, PyObject *name) {
    _Py_IDENTIFIER(__name__);
    _Py_IDENTIFIER(__spec__);
    PyObject *x, *fullmodname, *pkgname, *pkgpath, *pkgname_or_unknown, *errmsg;
    if (_PyObject_LookupAttr(v, name, &x) != 0) {
        return x;
    }
    // A circular relative import may have the submodule in sys.modules only.
    pkgname = _PyObject_GetAttrId(v, &PyId___name__);
    if (pkgname == NULL) {
        goto error;
    }
    if (!PyUnicode_Check(pkgname)) {
        CORV_CLEAR(pkgname);
        goto error;
    }
    fullmodname = PyUnicode_FromFormat("%U.%U", pkgname, name);
    if (fullmodname == NULL) {
        CORV_DECREF(pkgname);
        return NULL;
    }
    x = PyImport_GetModule(fullmodname);
    CORV_DECREF(fullmodname);
    if (x == NULL && !_PyErr_Occurred(tstate)) {
        goto error;
    }
    CORV_DECREF(pkgname);
    return x;
error:
    pkgpath = PyModule_GetFilenameObject(v);
    if (pkgname == NULL) {
        pkgname_or_unknown = PyUnicode_FromString("<unknown module name>");
        if (pkgname_or_unknown == NULL) {
            CORV_XDECREF(pkgpath);
            return NULL;
        }
    }
    else {
        pkgname_or_unknown = pkgname;
    }
    if (pkgpath == NULL || !PyUnicode_Check(pkgpath)) {
        _PyErr_Clear(tstate);
        errmsg = PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                      pkgname_or_unknown);
        PyErr_SetImportError(errmsg, pkgname, NULL);
    }
    else {
        PyObject *spec = _PyObject_GetAttrId(v, &PyId___spec__);
        const char *fmt = _PyModuleSpec_IsInitializing(spec)
                              ? "cannot import name %R from partially initialized module %R "
                                "(most likely due to a circular import) (%S)"
                              : "cannot import name %R from %R (%S)";
        CORV_XDECREF(spec);
        errmsg = PyUnicode_FromFormat(fmt, name, pkgname_or_unknown, pkgpath);
        PyErr_SetImportError(errmsg, pkgname, pkgpath);
    }
    CORV_XDECREF(errmsg);
    CORV_XDECREF(pkgname_or_unknown);
    CORV_XDECREF(pkgpath);
    return NULL;
}

static int corv_import_all_from(PyThreadState *tstate, PyObject *locals, PyObject *v) {
    _Py_IDENTIFIER(__all__);
    _Py_IDENTIFIER(__dict__);
    _Py_IDENTIFIER(__name__);
    PyObject *all, *dict, *name, *value;
    int skip_leading_underscores = 0;
    int pos, err;
    if (_PyObject_LookupAttrId(v, &PyId___all__, &all) < 0) {
        return -1;
    }
    if (all == NULL) {
        if (_PyObject_LookupAttrId(v, &PyId___dict__, &dict) < 0) {
            return -1;
        }
        if (dict == NULL) {
            _PyErr_SetString(tstate, PyExc_ImportError,
                             "from-import-* object has no __dict__ and no __all__");
            return -1;
        }
        all = PyMapping_Keys(dict);
        CORV_DECREF(dict);
        if (all == NULL) {
            return -1;
        }
        skip_leading_underscores = 1;
    }
    for (pos = 0, err = 0;; pos++) {
        name = PySequence_GetItem(all, pos);
        if (name == NULL) {
            if (!_PyErr_ExceptionMatches(tstate, PyExc_IndexError)) {
                err = -1;
            }
            else {
                _PyErr_Clear(tstate);
            }
            break;
        }
        if (!PyUnicode_Check(name)) {
            PyObject *modname = _PyObject_GetAttrId(v, &PyId___name__);
            if (modname == NULL) {
                CORV_DECREF(name);
                err = -1;
                break;
            }
            if (!PyUnicode_Check(modname)) {
                _PyErr_Format(tstate, PyExc_TypeError,
                              "module __name__ must be a string, not %.100s",
                              Py_TYPE(modname)->tp_name);
            }
            else {
                _PyErr_Format(tstate, PyExc_TypeError, "%s in %U.%s must be str, not %.100s",
                              skip_leading_underscores ? "Key" : "Item", modname,
                              skip_leading_underscores ? "__dict__" : "__all__",
                              Py_TYPE(name)->tp_name);
            }
            CORV_DECREF(modname);
            CORV_DECREF(name);
            err = -1;
            break;
        }
        if (skip_leading_underscores) {
            if (PyUnicode_READY(name) == -1) {
                CORV_DECREF(name);
                err = -1;
                break;
            }
            if (PyUnicode_READ_CHAR(name, 0) == '_') {
                CORV_DECREF(name);
                continue;
            }
        }
        value = PyObject_GetAttr(v, name);
        if (value == NULL) {
            err = -1;
        }
        else if (PyDict_CheckExact(locals)) {
            err = PyDict_SetItem(locals, name, value);
        }
        else {
            err = PyObject_SetItem(locals, name, value);
        }
        CORV_DECREF(name);
        CORV_XDECREF(value);
        if (err != 0) {
            break;
        }
    }
    CORV_DECREF(all);
    return err;
}

// "+=" and "+" on strings: when the left operand is about to be overwritten
// by the next instruction, drop that reference first so that the append can
// work in place.
static PyObject *corv_unicode_concatenate(PyThreadState *tstate, PyObject *v, PyObject *w,
                                          PyFrameObject *f, const _Py_CODEUNIT *next_instr) {
    if (Py_REFCNT(v) == 2) {
        _Py_CODEUNIT word = *next_instr;
        int opcode = _Py_OPCODE(word), oparg = _Py_OPARG(word);
        switch (opcode) {
        case STORE_FAST: {
            PyObject **fastlocals = f->f_localsplus;
            if (fastlocals[oparg] == v) {
                fastlocals[oparg] = NULL;
                CORV_DECREF(v);
            }
            break;
        }
        case STORE_DEREF: {
            PyObject **freevars = f->f_localsplus + f->f_code->co_nlocals;
            PyObject *c = freevars[oparg];
            if (PyCell_GET(c) == v) {
                PyCell_SET(c, NULL);
                CORV_DECREF(v);
            }
            break;
        }
        case STORE_NAME: {
            PyObject *name = PyTuple_GET_ITEM(f->f_code->co_names, oparg);
            PyObject *locals = f->f_locals;
            if (locals && PyDict_CheckExact(locals)) {
                PyObject *cur = PyDict_GetItemWithError(locals, name);
                if ((cur == v && PyDict_DelItem(locals, name) != 0) ||
                    (cur == NULL && _PyErr_Occurred(tstate))) {
                    CORV_DECREF(v);
                    return NULL;
                }
            }
            break;
        }
        }
    }
    PyObject *res = v;
    PyUnicode_Append(&res, w);
    return res;
}

static PyObject *corv_match_keys(PyThreadState *tstate, PyObject *map, PyObject *keys) {
    _Py_IDENTIFIER(get);
    Py_ssize_t nkeys = PyTuple_GET_SIZE(keys);
    if (!nkeys) {
        return PyTuple_New(0);
    }
    PyObject *seen = NULL, *dummy = NULL, *values = NULL;
    // map.get(key, dummy) neither raises for a missing key nor creates one
    // in mappings that define __missing__.
    PyObject *get = _PyObject_GetAttrId(map, &PyId_get);
    if (get == NULL) {
        goto fail;
    }
    seen = PySet_New(NULL);
    if (seen == NULL) {
        goto fail;
    }
    dummy = PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type);
    if (dummy == NULL) {
        goto fail;
    }
    values = PyList_New(0);
    if (values == NULL) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < nkeys; i++) {
        PyObject *key = PyTuple_GET_ITEM(keys, i);
        if (PySet_Contains(seen, key) || PySet_Add(seen, key)) {
            if (!_PyErr_Occurred(tstate)) {
                _PyErr_Format(tstate, PyExc_ValueError,
                              "mapping pattern checks duplicate key (%R)", key);
            }
            goto fail;
        }
        PyObject *value = PyObject_CallFunctionObjArgs(get, key, dummy, NULL);
        if (value == NULL) {
            goto fail;
        }
        if (value == dummy) {
            CORV_DECREF(value);
            CORV_DECREF(values);
            Py_INCREF(Py_None);
            values = Py_None;
            goto done;
        }
        PyList_Append(values, value);
        CORV_DECREF(value);
    }
    CORV_SETREF(values, PyList_AsTuple(values));
done:
    CORV_DECREF(get);
    CORV_DECREF(seen);
    CORV_DECREF(dummy);
    return values;
fail:
    CORV_XDECREF(get);
    CORV_XDECREF(seen);
    CORV_XDECREF(dummy);
    CORV_XDECREF(values);
    return NULL;
}

static PyObject *corv_match_class_attr(PyThreadState *tstate, PyObject *subject, PyObject *type,
                                       PyObject *name, PyObject *seen) {
    if (PySet_Contains(seen, name) || PySet_Add(seen, name)) {
        if (!_PyErr_Occurred(tstate)) {
            _PyErr_Format(tstate, PyExc_TypeError,
                          "%s() got multiple sub-patterns for attribute %R",
                          ((PyTypeObject *)type)->tp_name, name);
        }
        return NULL;
    }
    PyObject *attr = PyObject_GetAttr(subject, name);
    if (attr == NULL && _PyErr_ExceptionMatches(tstate, PyExc_AttributeError)) {
        _PyErr_Clear(tstate);
    }
    return attr;
}

static PyObject *corv_match_class(PyThreadState *tstate, PyObject *subject, PyObject *type,
                                  Py_ssize_t nargs, PyObject *kwargs) {
    if (!PyType_Check(type)) {
        _PyErr_Format(tstate, PyExc_TypeError, "called match pattern must be a type");
        return NULL;
    }
    if (PyObject_IsInstance(subject, type) <= 0) {
        return NULL;
    }
    PyObject *seen = PySet_New(NULL);
    if (seen == NULL) {
        return NULL;
    }
    PyObject *attrs = PyList_New(0);
    if (attrs == NULL) {
        CORV_DECREF(seen);
        return NULL;
    }
    PyObject *match_args = NULL;
    if (nargs) {
        int match_self = 0;
        match_args = PyObject_GetAttrString(type, "__match_args__");
        if (match_args) {
            if (!PyTuple_CheckExact(match_args)) {
                _PyErr_Format(tstate, PyExc_TypeError, "%s.__match_args__ must be a tuple (got %s)",
                              ((PyTypeObject *)type)->tp_name, Py_TYPE(match_args)->tp_name);
                goto fail;
            }
        }
        else if (_PyErr_ExceptionMatches(tstate, PyExc_AttributeError)) {
            _PyErr_Clear(tstate);
            // Matching the subject itself is only allowed without __match_args__.
            match_args = PyTuple_New(0);
            match_self = PyType_HasFeature((PyTypeObject *)type, _Py_TPFLAGS_MATCH_SELF);
        }
        else {
            goto fail;
        }
        Py_ssize_t allowed = match_self ? 1 : PyTuple_GET_SIZE(match_args);
        if (allowed < nargs) {
            const char *plural = (allowed == 1) ? "" : "s";
            _PyErr_Format(tstate, PyExc_TypeError,
                          "%s() accepts %d positional sub-pattern%s (%d given)",
                          ((PyTypeObject *)type)->tp_name, (int)allowed, plural, (int)nargs);
            goto fail;
        }
        if (match_self) {
            PyList_Append(attrs, subject);
        }
        else {
            for (Py_ssize_t i = 0; i < nargs; i++) {
                PyObject *name = PyTuple_GET_ITEM(match_args, i);
                if (!PyUnicode_CheckExact(name)) {
                    _PyErr_Format(tstate, PyExc_TypeError,
                                  "__match_args__ elements must be strings (got %s)",
                                  Py_TYPE(name)->tp_name);
                    goto fail;
                }
                PyObject *attr = corv_match_class_attr(tstate, subject, type, name, seen);
                if (attr == NULL) {
                    goto fail;
                }
                PyList_Append(attrs, attr);
                CORV_DECREF(attr);
            }
        }
        CORV_CLEAR(match_args);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwargs); i++) {
        PyObject *name = PyTuple_GET_ITEM(kwargs, i);
        PyObject *attr = corv_match_class_attr(tstate, subject, type, name, seen);
        if (attr == NULL) {
            goto fail;
        }
        PyList_Append(attrs, attr);
        CORV_DECREF(attr);
    }
    CORV_SETREF(attrs, PyList_AsTuple(attrs));
    CORV_DECREF(seen);
    return attrs;
fail:
    CORV_XDECREF(match_args);
    CORV_DECREF(seen);
    CORV_DECREF(attrs);
    return NULL;
}

// ---------------------------------------------------------------------------
// Eval breaker.

static inline void corv_recompute_eval_breaker(PyInterpreterState *interp) {
    struct _ceval_runtime_state *ceval = &interp->runtime->ceval;
    struct _ceval_state *ceval2 = &interp->ceval;
    _Py_atomic_store_relaxed(
        &ceval2->eval_breaker,
        _Py_atomic_load_relaxed(&ceval2->gil_drop_request) |
            (_Py_atomic_load_relaxed(&ceval->signals_pending) &&
             _Py_ThreadCanHandleSignals(interp)) |
            (_Py_atomic_load_relaxed(&ceval2->pending.calls_to_do) &&
             _Py_ThreadCanHandlePendingCalls()) |
            ceval2->pending.async_exc);
}

static int corv_handle_pending(PyThreadState *tstate) {
    _PyRuntimeState *const runtime = &_PyRuntime;
    struct _ceval_runtime_state *ceval = &runtime->ceval;
    struct _ceval_state *ceval2 = &tstate->interp->ceval;

    bool in_callback = corv_callback_depth > 0;
    if (!in_callback && _Py_atomic_load_relaxed(&ceval->signals_pending)) {
        if (_Py_ThreadCanHandleSignals(tstate->interp)) {
            _Py_atomic_store_relaxed(&ceval->signals_pending, 0);
            corv_recompute_eval_breaker(tstate->interp);
            if (_PyErr_CheckSignalsTstate(tstate) < 0) {
                // Leave the signal flagged so that the next check retries.
                _Py_atomic_store_relaxed(&ceval->signals_pending, 1);
                corv_recompute_eval_breaker(tstate->interp);
                return -1;
            }
        }
    }
    if (!in_callback && _Py_atomic_load_relaxed(&ceval2->pending.calls_to_do)) {
        if (_Py_ThreadCanHandlePendingCalls()) {
            if (Py_MakePendingCalls() != 0) {
                return -1;
            }
        }
    }
    if (_Py_atomic_load_relaxed(&ceval2->gil_drop_request)) {
        // Hand the GIL over; dropping it through the public API performs
        // the same forced switch as the interpreter's own loop.
        PyThreadState *saved = PyEval_SaveThread();
        PyEval_RestoreThread(saved);
        corv_sync_recording_thread(tstate->thread_id);
    }
    if (!in_callback && tstate->async_exc != NULL) {
        PyObject *exc = tstate->async_exc;
        tstate->async_exc = NULL;
        ceval2->pending.async_exc = 0;
        corv_recompute_eval_breaker(tstate->interp);
        _PyErr_SetNone(tstate, exc);
        CORV_DECREF(exc);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The loop.

#define CORV_OPCODES(X)                                                                        \
    X(POP_TOP) X(ROT_TWO) X(ROT_THREE) X(DUP_TOP) X(DUP_TOP_TWO) X(ROT_FOUR) X(NOP)           \
    X(UNARY_POSITIVE) X(UNARY_NEGATIVE) X(UNARY_NOT) X(UNARY_INVERT)                           \
    X(BINARY_MATRIX_MULTIPLY) X(INPLACE_MATRIX_MULTIPLY) X(BINARY_POWER) X(BINARY_MULTIPLY)    \
    X(BINARY_MODULO) X(BINARY_ADD) X(BINARY_SUBTRACT) X(BINARY_SUBSCR) X(BINARY_FLOOR_DIVIDE)  \
    X(BINARY_TRUE_DIVIDE) X(INPLACE_FLOOR_DIVIDE) X(INPLACE_TRUE_DIVIDE) X(GET_LEN)            \
    X(MATCH_MAPPING) X(MATCH_SEQUENCE) X(MATCH_KEYS) X(COPY_DICT_WITHOUT_KEYS)                 \
    X(WITH_EXCEPT_START) X(GET_AITER) X(GET_ANEXT) X(BEFORE_ASYNC_WITH) X(END_ASYNC_FOR)       \
    X(INPLACE_ADD) X(INPLACE_SUBTRACT) X(INPLACE_MULTIPLY) X(INPLACE_MODULO) X(STORE_SUBSCR)   \
    X(DELETE_SUBSCR) X(BINARY_LSHIFT) X(BINARY_RSHIFT) X(BINARY_AND) X(BINARY_XOR)             \
    X(BINARY_OR) X(INPLACE_POWER) X(GET_ITER) X(GET_YIELD_FROM_ITER) X(PRINT_EXPR)             \
    X(LOAD_BUILD_CLASS) X(YIELD_FROM) X(GET_AWAITABLE) X(LOAD_ASSERTION_ERROR)                 \
    X(INPLACE_LSHIFT) X(INPLACE_RSHIFT) X(INPLACE_AND) X(INPLACE_XOR) X(INPLACE_OR)            \
    X(LIST_TO_TUPLE) X(RETURN_VALUE) X(IMPORT_STAR) X(SETUP_ANNOTATIONS) X(YIELD_VALUE)        \
    X(POP_BLOCK) X(POP_EXCEPT) X(STORE_NAME) X(DELETE_NAME) X(UNPACK_SEQUENCE) X(FOR_ITER)     \
    X(UNPACK_EX) X(STORE_ATTR) X(DELETE_ATTR) X(STORE_GLOBAL) X(DELETE_GLOBAL) X(ROT_N)        \
    X(LOAD_CONST) X(LOAD_NAME) X(BUILD_TUPLE) X(BUILD_LIST) X(BUILD_SET) X(BUILD_MAP)          \
    X(LOAD_ATTR) X(COMPARE_OP) X(IMPORT_NAME) X(IMPORT_FROM) X(JUMP_FORWARD)                   \
    X(JUMP_IF_FALSE_OR_POP) X(JUMP_IF_TRUE_OR_POP) X(JUMP_ABSOLUTE) X(POP_JUMP_IF_FALSE)       \
    X(POP_JUMP_IF_TRUE) X(LOAD_GLOBAL) X(IS_OP) X(CONTAINS_OP) X(RERAISE)                      \
    X(JUMP_IF_NOT_EXC_MATCH) X(SETUP_FINALLY) X(LOAD_FAST) X(STORE_FAST) X(DELETE_FAST)        \
    X(GEN_START) X(RAISE_VARARGS) X(CALL_FUNCTION) X(MAKE_FUNCTION) X(BUILD_SLICE)             \
    X(LOAD_CLOSURE) X(LOAD_DEREF) X(STORE_DEREF) X(DELETE_DEREF) X(CALL_FUNCTION_KW)           \
    X(CALL_FUNCTION_EX) X(SETUP_WITH) X(EXTENDED_ARG) X(LIST_APPEND) X(SET_ADD) X(MAP_ADD)     \
    X(LOAD_CLASSDEREF) X(MATCH_CLASS) X(SETUP_ASYNC_WITH) X(FORMAT_VALUE)                      \
    X(BUILD_CONST_KEY_MAP) X(BUILD_STRING) X(LOAD_METHOD) X(CALL_METHOD) X(LIST_EXTEND)        \
    X(SET_UPDATE) X(DICT_MERGE) X(DICT_UPDATE)

// Instruction pairs that usually follow each other can be chained without
// a dispatch. The interpreter's own computed-goto build leaves this off
// (a chained instruction would not update f_lasti or see the tracer), and
// so do we; define CORV_PREDICT_OPCODES to 1 to enable it in builds that
// never trace.
#ifndef CORV_PREDICT_OPCODES
#define CORV_PREDICT_OPCODES 0
#endif

#define OPCACHE_MIN_RUNS 1024
#define OPCODE_CACHE_MAX_TRIES 20

#define TARGET(op) op_##op:
#define INSTR_OFFSET() ((int)(next_instr - first_instr))
#define NEXTOPARG()                        \
    do {                                   \
        _Py_CODEUNIT word_ = *next_instr;  \
        opcode = _Py_OPCODE(word_);        \
        oparg = _Py_OPARG(word_);          \
        next_instr++;                      \
    } while (0)
#define JUMPTO(x) (next_instr = first_instr + (x))
#define JUMPBY(x) (next_instr += (x))
#define DISPATCH()                                      \
    {                                                   \
        if (CORV_UNLIKELY(trace_info.cframe.use_tracing)) { \
            goto tracing_dispatch;                      \
        }                                               \
        f->f_lasti = INSTR_OFFSET();                    \
        NEXTOPARG();                                    \
        goto *op_targets[opcode];                       \
    }
#define CHECK_EVAL_BREAKER()                        \
    if (_Py_atomic_load_relaxed(eval_breaker)) {    \
        goto main_loop;                             \
    }
#if CORV_PREDICT_OPCODES
#define PREDICT_ID(op) pred_##op
#define PREDICTED(op) PREDICT_ID(op):
#define PREDICT(op)                                     \
    do {                                                \
        _Py_CODEUNIT pw_ = *next_instr;                 \
        if (_Py_OPCODE(pw_) == op) {                    \
            opcode = op;                                \
            oparg = _Py_OPARG(pw_);                     \
            next_instr++;                               \
            goto PREDICT_ID(op);                        \
        }                                               \
    } while (0)
#else
#define PREDICTED(op)
#define PREDICT(op) \
    do {            \
    } while (0)
#endif

#define STACK_LEVEL() ((int)(stack_pointer - f->f_valuestack))
#define EMPTY() (STACK_LEVEL() == 0)
#define TOP() (stack_pointer[-1])
#define SECOND() (stack_pointer[-2])
#define THIRD() (stack_pointer[-3])
#define FOURTH() (stack_pointer[-4])
#define PEEK(n) (stack_pointer[-(n)])
#define SET_TOP(v) (stack_pointer[-1] = (v))
#define SET_SECOND(v) (stack_pointer[-2] = (v))
#define SET_THIRD(v) (stack_pointer[-3] = (v))
#define SET_FOURTH(v) (stack_pointer[-4] = (v))
#define BASIC_STACKADJ(n) (stack_pointer += (n))
#define BASIC_PUSH(v) (*stack_pointer++ = (v))
#define BASIC_POP() (*--stack_pointer)
#define PUSH(v) BASIC_PUSH(v)
#define POP() BASIC_POP()
#define STACK_GROW(n) BASIC_STACKADJ(n)
#define STACK_SHRINK(n) BASIC_STACKADJ(-(n))
#define GETITEM(v, i) PyTuple_GET_ITEM((v), (i))
#define GETLOCAL(i) (fastlocals[i])
#define SETLOCAL(i, value)              \
    do {                                \
        PyObject *tmp_ = GETLOCAL(i);   \
        GETLOCAL(i) = value;            \
        CORV_XDECREF(tmp_);             \
    } while (0)

#define UNWIND_BLOCK(b)                         \
    while (STACK_LEVEL() > (b)->b_level) {      \
        PyObject *v_ = POP();                   \
        CORV_XDECREF(v_);                       \
    }
#define UNWIND_EXCEPT_HANDLER(b)                                \
    do {                                                        \
        PyObject *type_, *value_, *traceback_;                  \
        _PyErr_StackItem *exc_info_;                            \
        while (STACK_LEVEL() > (b)->b_level + 3) {              \
            value_ = POP();                                     \
            CORV_XDECREF(value_);                               \
        }                                                       \
        exc_info_ = tstate->exc_info;                           \
        type_ = exc_info_->exc_type;                            \
        value_ = exc_info_->exc_value;                          \
        traceback_ = exc_info_->exc_traceback;                  \
        exc_info_->exc_type = POP();                            \
        exc_info_->exc_value = POP();                           \
        exc_info_->exc_traceback = POP();                       \
        CORV_XDECREF(type_);                                    \
        CORV_XDECREF(value_);                                   \
        CORV_XDECREF(traceback_);                               \
    } while (0)

// The operations that may run special methods clear the recording bit for
// their duration and come back to this frame's entry flag.
// Until a byte is first set, both are no-ops (the frame's entry flag is 0
// then too); the test comes after the operation again, since the operation
// itself may sample the first call.
#define SUSPEND_RECORDING()                                         \
    do {                                                            \
        if (CORV_FLAG_IN_USE()) {                                   \
            corv_sync_recording_thread(my_tid);                     \
            g_currently_recording &= (unsigned char)~RECORDING_BIT; \
        }                                                           \
    } while (0)
#define RESUME_RECORDING()                          \
    do {                                            \
        if (CORV_FLAG_IN_USE()) {                   \
            corv_sync_recording_thread(my_tid);     \
            g_currently_recording = entry_flag;     \
        }                                           \
    } while (0)

#define OPCACHE_CHECK()                                                             \
    do {                                                                            \
        co_opcache = NULL;                                                          \
        if (co->co_opcache != NULL) {                                               \
            unsigned char off_ = co->co_opcache_map[next_instr - first_instr];      \
            if (off_ > 0) {                                                         \
                co_opcache = &co->co_opcache[off_ - 1];                             \
            }                                                                       \
        }                                                                           \
    } while (0)
// Deoptimisation clears the map slot indexed by the entry number, exactly
// as the interpreter does, so that both loops leave the same cache state.
#define OPCACHE_DEOPT()                                                             \
    do {                                                                            \
        if (co_opcache != NULL) {                                                   \
            co_opcache->optimized = -1;                                             \
            unsigned char off_ = co->co_opcache_map[next_instr - first_instr];      \
            co->co_opcache_map[off_] = 0;                                           \
            co_opcache = NULL;                                                      \
        }                                                                           \
    } while (0)
#define OPCACHE_DEOPT_LOAD_ATTR() OPCACHE_DEOPT()
#define OPCACHE_MAYBE_DEOPT_LOAD_ATTR()                                             \
    do {                                                                            \
        if (co_opcache != NULL && --co_opcache->optimized <= 0) {                   \
            OPCACHE_DEOPT_LOAD_ATTR();                                              \
        }                                                                           \
    } while (0)

// Binary operators: pop right, replace left with the result.
#define BINARY_OP(opname, call)                     \
    op_##opname: {                                  \
        PyObject *right = POP();                    \
        PyObject *left = TOP();                     \
        SUSPEND_RECORDING();                        \
        PyObject *res = call;                       \
        RESUME_RECORDING();                         \
        CORV_DECREF(left);                          \
        CORV_DECREF(right);                         \
        SET_TOP(res);                               \
        if (res == NULL)                            \
            goto error;                             \
        DISPATCH();                                 \
    }
#define UNARY_OP(opname, call)                      \
    op_##opname: {                                  \
        PyObject *value = TOP();                    \
        SUSPEND_RECORDING();                        \
        PyObject *res = call;                       \
        RESUME_RECORDING();                         \
        CORV_DECREF(value);                         \
        SET_TOP(res);                               \
        if (res == NULL)                            \
            goto error;                             \
        DISPATCH();                                 \
    }

// (the loop holds owner, name and value across the call)
static void corv_report_attr(PyObject *owner, PyObject *name, PyObject *value) {
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    if (load_attr_hook != NULL) {
        PyObject *args[3] = {owner, name, value};
        corv_vcall_and_discard(load_attr_hook, args, 3);
    }
    PyErr_Restore(et, ev, etb);
}

static void corv_report_global(PyObject *value, PyObject *name) {
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    if (load_global_hook != NULL) {
        PyObject *args[2] = {value, name};
        corv_vcall_and_discard(load_global_hook, args, 2);
    }
    PyErr_Restore(et, ev, etb);
}

// Deallocation of any other object: its destructor may run code.
static __attribute__((noinline)) void corv_dealloc_any_on_loop_thread(PyObject *op, uint64_t tid) {
    PyTypeObject *tp = Py_TYPE(op);
    if (!CORV_FLAG_IN_USE()) {
        // Every byte is 0 already; if the destructor sampled the first call,
        // the sampled call's own after-call steps left this thread's bit
        // clear, but another thread may hold the byte now.
        tp->tp_dealloc(op);
        if (CORV_FLAG_IN_USE()) {
            corv_sync_recording_thread(tid);
            g_currently_recording = 0;
        }
        return;
    }
    corv_dealloc_unrecorded_on(op, tid);
}

// Out of line: deallocation is frequent but the loop's code should stay small.
// Ints, floats and strs hold no references and take no weak references:
// freeing one runs no code that could see the flag, so it is left alone.
// Both ways out are tail calls, so the common case saves no registers.
static __attribute__((noinline)) void corv_dealloc_on_loop_thread(PyObject *op, uint64_t tid) {
    PyTypeObject *tp = Py_TYPE(op);
    if (CORV_LIKELY(tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type)) {
        tp->tp_dealloc(op);
        return;
    }
    corv_dealloc_any_on_loop_thread(op, tid);
}

// The call site of the four call opcodes: `plain` is the stock call,
// `hooked` the call with its hooks for the decision `d_`. Once any byte has
// been set, the byte is synced first: the thread may have changed hands
// since it was last synced (inside an iterator, a lookup, a release), and
// the decision reads it. Before that, every byte is 0 wherever it is. While
// recording every decided call takes the hooked call; outside recording only
// one with hooks or after-call steps does (corv_site_decide_unrecorded).
#define CORV_CALL_SITE(res, callee, plain, hooked)                   \
    do {                                                             \
        uint32_t d_ = 0;                                             \
        bool hooked_;                                                \
        if (CORV_FLAG_IN_USE() &&                                    \
            (corv_sync_recording_thread(my_tid),                     \
             g_currently_recording & RECORDING_BIT)) {               \
            d_ = corv_with_flag(corv_decide((callee), my_tid));      \
            hooked_ = true;                                          \
        }                                                            \
        else {                                                       \
            hooked_ = corv_site_decide_unrecorded((callee), my_tid, &d_); \
        }                                                            \
        if (CORV_LIKELY(!hooked_)) {                                 \
            res = plain;                                             \
        }                                                            \
        else {                                                       \
            res = hooked;                                            \
        }                                                            \
    } while (0)

// The stock call of a call site, given a stack pointer of its own: `sp` has
// its address passed to the out-of-line hooked call, so it lives in memory,
// while this copy stays in a register as the arguments are popped.
#define CORV_PLAIN_CALL(sp, nargs, kwnames)                                          \
    __extension__({                                                                  \
        PyObject **psp_ = (sp);                                                      \
        PyObject *pres_ = corv_call_function(tstate, &trace_info, &psp_, (nargs), (kwnames)); \
        (sp) = psp_;                                                                 \
        pres_;                                                                       \
    })

CORV_API PyObject *__attribute__((hot))
_PyEval_EvalFrameCorvane(PyThreadState *tstate, PyFrameObject *f, int throwflag) {
    static void *op_targets[256];
    static bool op_targets_ready = false;
    if (CORV_UNLIKELY(!op_targets_ready)) {
        for (int i = 0; i < 256; i++) {
            op_targets[i] = &&op_unknown;
        }
#define CORV_FILL_TARGET(op) op_targets[op] = &&op_##op;
        CORV_OPCODES(CORV_FILL_TARGET)
#undef CORV_FILL_TARGET
        op_targets_ready = true;
    }

    PyObject **stack_pointer;
    const _Py_CODEUNIT *next_instr;
    int opcode;
    int oparg;
    PyObject **fastlocals, **freevars;
    PyObject *retval = NULL;
    _Py_atomic_int *const eval_breaker = &tstate->interp->ceval.eval_breaker;
    PyCodeObject *co;
    const _Py_CODEUNIT *first_instr;
    PyObject *names;
    PyObject *consts;
    _PyOpcache *co_opcache;
    const uint64_t my_tid = tstate->thread_id;
    unsigned char entry_flag;
    CorvTraceInfo trace_info;
    CFrame *prev_cframe;

    if (CORV_UNLIKELY(frame_dealoc == NULL)) {
        frame_dealoc = PyFrame_Type.tp_dealloc;
        PyFrame_Type.tp_dealloc = corv_frame_dealloc;
    }
    corv_sync_recording_thread(my_tid);
    entry_flag = g_currently_recording;
    if (CORV_UNLIKELY(entry_flag != 0)) {
        // The operations put this value back, so their bookkeeping is needed.
        corv_flag_ever_set = 1;
    }

    if (_Py_EnterRecursiveCall(tstate, "")) {
        return NULL;
    }

    trace_info.code = NULL;
    prev_cframe = tstate->cframe;
    trace_info.cframe.use_tracing = prev_cframe->use_tracing;
    trace_info.cframe.previous = prev_cframe;
    tstate->cframe = &trace_info.cframe;

    tstate->frame = f;
    co = f->f_code;

    if (CORV_UNLIKELY(trace_info.cframe.use_tracing)) {
        if (tstate->c_tracefunc != NULL) {
            // The global trace function sees every frame start; what it
            // returns becomes the frame's local tracer.
            if (corv_call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, f,
                                          &trace_info, PyTrace_CALL, Py_None)) {
                goto exit_eval_frame;
            }
        }
        if (tstate->c_profilefunc != NULL) {
            if (corv_call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, f,
                                          &trace_info, PyTrace_CALL, Py_None)) {
                goto exit_eval_frame;
            }
        }
    }

    names = co->co_names;
    consts = co->co_consts;
    fastlocals = f->f_localsplus;
    freevars = f->f_localsplus + co->co_nlocals;
    first_instr = (const _Py_CODEUNIT *)PyBytes_AS_STRING(co->co_code);
    // f_lasti is the last instruction run (-1 before the first); a
    // suspended YIELD_FROM points at itself so that it runs again.
    next_instr = first_instr + f->f_lasti + 1;
    stack_pointer = f->f_valuestack + f->f_stackdepth;
    // Stack entries are invisible to the GC while the frame runs.
    f->f_stackdepth = -1;
    f->f_state = FRAME_EXECUTING;

    if (co->co_opcache_flag < OPCACHE_MIN_RUNS) {
        co->co_opcache_flag++;
        if (co->co_opcache_flag == OPCACHE_MIN_RUNS) {
            if (corv_code_init_opcache(co) < 0) {
                goto exit_eval_frame;
            }
        }
    }

    if (throwflag) {
        goto error;
    }

main_loop:
    if (_Py_atomic_load_relaxed(eval_breaker)) {
        opcode = _Py_OPCODE(*next_instr);
        // Not before entering a with/try block or while resuming a chain
        // of delegating generators (so that Ctrl-C lands in the innermost).
        if (opcode != SETUP_FINALLY && opcode != SETUP_WITH && opcode != BEFORE_ASYNC_WITH &&
            opcode != YIELD_FROM) {
            if (corv_handle_pending(tstate) != 0) {
                goto error;
            }
        }
    }

tracing_dispatch : {
    int instr_prev = f->f_lasti;
    f->f_lasti = INSTR_OFFSET();
    NEXTOPARG();
    if (trace_info.cframe.use_tracing && tstate->c_tracefunc != NULL && !tstate->tracing) {
        f->f_stackdepth = (int)(stack_pointer - f->f_valuestack);
        int err = corv_maybe_call_line_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, f,
                                             &trace_info, instr_prev);
        // A debugger may have moved the frame to another line.
        JUMPTO(f->f_lasti);
        stack_pointer = f->f_valuestack + f->f_stackdepth;
        f->f_stackdepth = -1;
        if (err) {
            goto error;
        }
        NEXTOPARG();
    }
}

dispatch_opcode:
    goto *op_targets[opcode];

#undef CORV_DEALLOC
#define CORV_DEALLOC(op) corv_dealloc_on_loop_thread(op, my_tid)

    TARGET(NOP) { DISPATCH(); }

    TARGET(LOAD_FAST) {
        PyObject *value = GETLOCAL(oparg);
        if (CORV_UNLIKELY(value == NULL)) {
            corv_format_exc_check_arg(tstate, PyExc_UnboundLocalError, UNBOUNDLOCAL_ERROR_MSG,
                                      PyTuple_GetItem(co->co_varnames, oparg));
            goto error;
        }
        Py_INCREF(value);
        PUSH(value);
        DISPATCH();
    }

    TARGET(LOAD_CONST) {
        PREDICTED(LOAD_CONST);
        PyObject *value = GETITEM(consts, oparg);
        Py_INCREF(value);
        PUSH(value);
        DISPATCH();
    }

    TARGET(STORE_FAST) {
        PREDICTED(STORE_FAST);
        PyObject *value = POP();
        SETLOCAL(oparg, value);
        DISPATCH();
    }

    TARGET(POP_TOP) {
        PyObject *value = POP();
        CORV_DECREF(value);
        DISPATCH();
    }

    TARGET(ROT_TWO) {
        PyObject *top = TOP();
        PyObject *second = SECOND();
        SET_TOP(second);
        SET_SECOND(top);
        DISPATCH();
    }

    TARGET(ROT_THREE) {
        PyObject *top = TOP();
        PyObject *second = SECOND();
        PyObject *third = THIRD();
        SET_TOP(second);
        SET_SECOND(third);
        SET_THIRD(top);
        DISPATCH();
    }

    TARGET(ROT_FOUR) {
        PyObject *top = TOP();
        PyObject *second = SECOND();
        PyObject *third = THIRD();
        PyObject *fourth = FOURTH();
        SET_TOP(second);
        SET_SECOND(third);
        SET_THIRD(fourth);
        SET_FOURTH(top);
        DISPATCH();
    }

    TARGET(DUP_TOP) {
        PyObject *top = TOP();
        Py_INCREF(top);
        PUSH(top);
        DISPATCH();
    }

    TARGET(DUP_TOP_TWO) {
        PyObject *top = TOP();
        PyObject *second = SECOND();
        Py_INCREF(top);
        Py_INCREF(second);
        STACK_GROW(2);
        SET_TOP(top);
        SET_SECOND(second);
        DISPATCH();
    }

    UNARY_OP(UNARY_POSITIVE, PyNumber_Positive(value))
    UNARY_OP(UNARY_NEGATIVE, PyNumber_Negative(value))
    UNARY_OP(UNARY_INVERT, PyNumber_Invert(value))

    TARGET(UNARY_NOT) {
        PyObject *value = TOP();
        SUSPEND_RECORDING();
        int err = PyObject_IsTrue(value);
        RESUME_RECORDING();
        CORV_DECREF(value);
        if (err == 0) {
            Py_INCREF(Py_True);
            SET_TOP(Py_True);
            DISPATCH();
        }
        else if (err > 0) {
            Py_INCREF(Py_False);
            SET_TOP(Py_False);
            DISPATCH();
        }
        STACK_SHRINK(1);
        goto error;
    }

    TARGET(BINARY_POWER) {
        PyObject *exp = POP();
        PyObject *base = TOP();
        SUSPEND_RECORDING();
        PyObject *res = PyNumber_Power(base, exp, Py_None);
        RESUME_RECORDING();
        CORV_DECREF(base);
        CORV_DECREF(exp);
        SET_TOP(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    BINARY_OP(BINARY_MULTIPLY, PyNumber_Multiply(left, right))
    BINARY_OP(BINARY_MATRIX_MULTIPLY, PyNumber_MatrixMultiply(left, right))
    BINARY_OP(BINARY_TRUE_DIVIDE, PyNumber_TrueDivide(left, right))
    BINARY_OP(BINARY_FLOOR_DIVIDE, PyNumber_FloorDivide(left, right))
    BINARY_OP(BINARY_SUBSCR, PyObject_GetItem(left, right))
    BINARY_OP(BINARY_LSHIFT, PyNumber_Lshift(left, right))
    BINARY_OP(BINARY_RSHIFT, PyNumber_Rshift(left, right))
    BINARY_OP(BINARY_AND, PyNumber_And(left, right))
    BINARY_OP(BINARY_XOR, PyNumber_Xor(left, right))
    BINARY_OP(BINARY_OR, PyNumber_Or(left, right))
    BINARY_OP(INPLACE_MULTIPLY, PyNumber_InPlaceMultiply(left, right))
    BINARY_OP(INPLACE_MATRIX_MULTIPLY, PyNumber_InPlaceMatrixMultiply(left, right))
    BINARY_OP(INPLACE_TRUE_DIVIDE, PyNumber_InPlaceTrueDivide(left, right))
    BINARY_OP(INPLACE_FLOOR_DIVIDE, PyNumber_InPlaceFloorDivide(left, right))
    BINARY_OP(INPLACE_MODULO, PyNumber_InPlaceRemainder(left, right))
    BINARY_OP(INPLACE_LSHIFT, PyNumber_InPlaceLshift(left, right))
    BINARY_OP(INPLACE_RSHIFT, PyNumber_InPlaceRshift(left, right))
    BINARY_OP(INPLACE_AND, PyNumber_InPlaceAnd(left, right))
    BINARY_OP(INPLACE_XOR, PyNumber_InPlaceXor(left, right))
    BINARY_OP(INPLACE_OR, PyNumber_InPlaceOr(left, right))

    TARGET(BINARY_MODULO) {
        PyObject *divisor = POP();
        PyObject *dividend = TOP();
        PyObject *res;
        SUSPEND_RECORDING();
        // str % x formats directly unless x is a str subclass with its own __rmod__.
        if (PyUnicode_CheckExact(dividend) &&
            (!PyUnicode_Check(divisor) || PyUnicode_CheckExact(divisor))) {
            res = PyUnicode_Format(dividend, divisor);
        }
        else {
            res = PyNumber_Remainder(dividend, divisor);
        }
        RESUME_RECORDING();
        CORV_DECREF(divisor);
        CORV_DECREF(dividend);
        SET_TOP(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(BINARY_ADD) {
        PyObject *right = POP();
        PyObject *left = TOP();
        PyObject *sum;
        SUSPEND_RECORDING();
        if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
            sum = corv_unicode_concatenate(tstate, left, right, f, next_instr);
            // the concatenation consumed the reference to left
        }
        else {
            if (PyLong_CheckExact(left) && PyLong_CheckExact(right)) {
                sum = PyLong_Type.tp_as_number->nb_add(left, right);
            }
            else if (PyFloat_CheckExact(left) && PyFloat_CheckExact(right)) {
                sum = PyFloat_FromDouble(PyFloat_AS_DOUBLE(left) + PyFloat_AS_DOUBLE(right));
            }
            else {
                sum = PyNumber_Add(left, right);
            }
            CORV_DECREF(left);
        }
        RESUME_RECORDING();
        CORV_DECREF(right);
        SET_TOP(sum);
        if (sum == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(BINARY_SUBTRACT) {
        PyObject *right = POP();
        PyObject *left = TOP();
        PyObject *diff;
        SUSPEND_RECORDING();
        if (PyLong_CheckExact(left) && PyLong_CheckExact(right)) {
            diff = PyLong_Type.tp_as_number->nb_subtract(left, right);
        }
        else if (PyFloat_CheckExact(left) && PyFloat_CheckExact(right)) {
            diff = PyFloat_FromDouble(PyFloat_AS_DOUBLE(left) - PyFloat_AS_DOUBLE(right));
        }
        else {
            diff = PyNumber_Subtract(left, right);
        }
        RESUME_RECORDING();
        CORV_DECREF(right);
        CORV_DECREF(left);
        SET_TOP(diff);
        if (diff == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(INPLACE_POWER) {
        PyObject *exp = POP();
        PyObject *base = TOP();
        SUSPEND_RECORDING();
        PyObject *res = PyNumber_InPlacePower(base, exp, Py_None);
        RESUME_RECORDING();
        CORV_DECREF(base);
        CORV_DECREF(exp);
        SET_TOP(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(INPLACE_ADD) {
        PyObject *right = POP();
        PyObject *left = TOP();
        PyObject *sum;
        SUSPEND_RECORDING();
        if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
            sum = corv_unicode_concatenate(tstate, left, right, f, next_instr);
        }
        else {
            sum = PyNumber_InPlaceAdd(left, right);
            CORV_DECREF(left);
        }
        RESUME_RECORDING();
        CORV_DECREF(right);
        SET_TOP(sum);
        if (sum == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(INPLACE_SUBTRACT) {
        PyObject *right = POP();
        PyObject *left = TOP();
        SUSPEND_RECORDING();
        PyObject *diff = PyNumber_InPlaceSubtract(left, right);
        RESUME_RECORDING();
        CORV_DECREF(left);
        CORV_DECREF(right);
        SET_TOP(diff);
        if (diff == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(LIST_APPEND) {
        PyObject *v = POP();
        PyObject *list = PEEK(oparg);
        int err = PyList_Append(list, v);
        CORV_DECREF(v);
        if (err != 0)
            goto error;
        PREDICT(JUMP_ABSOLUTE);
        DISPATCH();
    }

    TARGET(SET_ADD) {
        PyObject *v = POP();
        PyObject *set = PEEK(oparg);
        int err = PySet_Add(set, v);
        CORV_DECREF(v);
        if (err != 0)
            goto error;
        PREDICT(JUMP_ABSOLUTE);
        DISPATCH();
    }

    TARGET(STORE_SUBSCR) {
        PyObject *sub = TOP();
        PyObject *container = SECOND();
        PyObject *v = THIRD();
        STACK_SHRINK(3);
        SUSPEND_RECORDING();
        int err = PyObject_SetItem(container, sub, v);
        RESUME_RECORDING();
        CORV_DECREF(v);
        CORV_DECREF(container);
        CORV_DECREF(sub);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(DELETE_SUBSCR) {
        PyObject *sub = TOP();
        PyObject *container = SECOND();
        STACK_SHRINK(2);
        int err = PyObject_DelItem(container, sub);
        CORV_DECREF(container);
        CORV_DECREF(sub);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(PRINT_EXPR) {
        _Py_IDENTIFIER(displayhook);
        PyObject *value = POP();
        PyObject *hook = _PySys_GetObjectId(&PyId_displayhook);
        if (hook == NULL) {
            _PyErr_SetString(tstate, PyExc_RuntimeError, "lost sys.displayhook");
            CORV_DECREF(value);
            goto error;
        }
        PyObject *res = PyObject_CallOneArg(hook, value);
        CORV_DECREF(value);
        if (res == NULL)
            goto error;
        CORV_DECREF(res);
        DISPATCH();
    }

    TARGET(RAISE_VARARGS) {
        PyObject *cause = NULL, *exc = NULL;
        switch (oparg) {
        case 2:
            cause = POP();
            /* fall through */
        case 1:
            exc = POP();
            /* fall through */
        case 0:
            if (corv_do_raise(tstate, exc, cause)) {
                goto exception_unwind;
            }
            break;
        default:
            _PyErr_SetString(tstate, PyExc_SystemError, "bad RAISE_VARARGS oparg");
            break;
        }
        goto error;
    }

    TARGET(RETURN_VALUE) {
        retval = POP();
        f->f_state = FRAME_RETURNED;
        f->f_stackdepth = 0;
        goto exiting;
    }

    TARGET(GET_AITER) {
        unaryfunc getter = NULL;
        PyObject *iter = NULL;
        PyObject *obj = TOP();
        PyTypeObject *type = Py_TYPE(obj);
        if (type->tp_as_async != NULL) {
            getter = type->tp_as_async->am_aiter;
        }
        if (getter != NULL) {
            iter = (*getter)(obj);
            CORV_DECREF(obj);
            if (iter == NULL) {
                SET_TOP(NULL);
                goto error;
            }
        }
        else {
            SET_TOP(NULL);
            _PyErr_Format(tstate, PyExc_TypeError,
                          "'async for' requires an object with __aiter__ method, got %.100s",
                          type->tp_name);
            CORV_DECREF(obj);
            goto error;
        }
        if (Py_TYPE(iter)->tp_as_async == NULL || Py_TYPE(iter)->tp_as_async->am_anext == NULL) {
            SET_TOP(NULL);
            _PyErr_Format(tstate, PyExc_TypeError,
                          "'async for' received an object from __aiter__ "
                          "that does not implement __anext__: %.100s",
                          Py_TYPE(iter)->tp_name);
            CORV_DECREF(iter);
            goto error;
        }
        SET_TOP(iter);
        DISPATCH();
    }

    TARGET(GET_ANEXT) {
        unaryfunc getter = NULL;
        PyObject *next_iter = NULL;
        PyObject *awaitable = NULL;
        PyObject *aiter = TOP();
        PyTypeObject *type = Py_TYPE(aiter);
        if (PyAsyncGen_CheckExact(aiter)) {
            awaitable = type->tp_as_async->am_anext(aiter);
            if (awaitable == NULL) {
                goto error;
            }
        }
        else {
            if (type->tp_as_async != NULL) {
                getter = type->tp_as_async->am_anext;
            }
            if (getter != NULL) {
                next_iter = (*getter)(aiter);
                if (next_iter == NULL) {
                    goto error;
                }
            }
            else {
                _PyErr_Format(tstate, PyExc_TypeError,
                              "'async for' requires an iterator with __anext__ method, got %.100s",
                              type->tp_name);
                goto error;
            }
            awaitable = corv_coro_get_awaitable_iter(next_iter);
            if (awaitable == NULL) {
                _PyErr_FormatFromCause(PyExc_TypeError,
                                       "'async for' received an invalid object "
                                       "from __anext__: %.100s",
                                       Py_TYPE(next_iter)->tp_name);
                CORV_DECREF(next_iter);
                goto error;
            }
            CORV_DECREF(next_iter);
        }
        PUSH(awaitable);
        PREDICT(LOAD_CONST);
        DISPATCH();
    }

    TARGET(GET_AWAITABLE) {
        PREDICTED(GET_AWAITABLE);
        PyObject *iterable = TOP();
        PyObject *iter = corv_coro_get_awaitable_iter(iterable);
        if (iter == NULL) {
            int opcode_at_minus_3 = 0;
            if ((next_instr - first_instr) > 2) {
                opcode_at_minus_3 = _Py_OPCODE(next_instr[-3]);
            }
            corv_format_awaitable_error(tstate, Py_TYPE(iterable), opcode_at_minus_3,
                                        _Py_OPCODE(next_instr[-2]));
        }
        CORV_DECREF(iterable);
        if (iter != NULL && PyCoro_CheckExact(iter)) {
            PyObject *yf = corv_gen_yf((PyGenObject *)iter);
            if (yf != NULL) {
                // The coroutine is already delegating to something.
                CORV_DECREF(yf);
                CORV_CLEAR(iter);
                _PyErr_SetString(tstate, PyExc_RuntimeError, "coroutine is being awaited already");
            }
        }
        SET_TOP(iter);
        if (iter == NULL) {
            goto error;
        }
        PREDICT(LOAD_CONST);
        DISPATCH();
    }

    TARGET(YIELD_FROM) {
        PyObject *v = POP();
        PyObject *receiver = TOP();
        PySendResult gen_status;
        if (tstate->c_tracefunc == NULL) {
            gen_status = PyIter_Send(receiver, v, &retval);
        }
        else {
            _Py_IDENTIFIER(send);
            if (v == Py_None && PyIter_Check(receiver)) {
                retval = Py_TYPE(receiver)->tp_iternext(receiver);
            }
            else {
                retval = _PyObject_CallMethodIdOneArg(receiver, &PyId_send, v);
            }
            if (retval == NULL) {
                if (tstate->c_tracefunc != NULL &&
                    _PyErr_ExceptionMatches(tstate, PyExc_StopIteration)) {
                    corv_call_exc_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, f,
                                        &trace_info);
                }
                gen_status = _PyGen_FetchStopIterationValue(&retval) == 0 ? PYGEN_RETURN
                                                                           : PYGEN_ERROR;
            }
            else {
                gen_status = PYGEN_NEXT;
            }
        }
        CORV_DECREF(v);
        if (gen_status == PYGEN_ERROR) {
            goto error;
        }
        if (gen_status == PYGEN_RETURN) {
            CORV_DECREF(receiver);
            SET_TOP(retval);
            retval = NULL;
            DISPATCH();
        }
        // The receiver stays on the stack; resuming runs this instruction again.
        f->f_lasti -= 1;
        f->f_state = FRAME_SUSPENDED;
        f->f_stackdepth = (int)(stack_pointer - f->f_valuestack);
        goto exiting;
    }

    TARGET(YIELD_VALUE) {
        retval = POP();
        if (co->co_flags & CO_ASYNC_GENERATOR) {
            PyObject *w = corv_async_gen_value_wrapper_new(retval);
            CORV_DECREF(retval);
            if (w == NULL) {
                retval = NULL;
                goto error;
            }
            retval = w;
        }
        f->f_state = FRAME_SUSPENDED;
        f->f_stackdepth = (int)(stack_pointer - f->f_valuestack);
        goto exiting;
    }

    TARGET(GEN_START) {
        PyObject *none = POP();
        CORV_DECREF(none);
        DISPATCH();
    }

    TARGET(POP_EXCEPT) {
        PyObject *type, *value, *traceback;
        _PyErr_StackItem *exc_info;
        PyTryBlock *b = PyFrame_BlockPop(f);
        if (b->b_type != EXCEPT_HANDLER) {
            _PyErr_SetString(tstate, PyExc_SystemError, "popped block is not an except handler");
            goto error;
        }
        exc_info = tstate->exc_info;
        type = exc_info->exc_type;
        value = exc_info->exc_value;
        traceback = exc_info->exc_traceback;
        exc_info->exc_type = POP();
        exc_info->exc_value = POP();
        exc_info->exc_traceback = POP();
        CORV_XDECREF(type);
        CORV_XDECREF(value);
        CORV_XDECREF(traceback);
        DISPATCH();
    }

    TARGET(POP_BLOCK) {
        PyFrame_BlockPop(f);
        DISPATCH();
    }

    TARGET(RERAISE) {
        if (oparg) {
            f->f_lasti = f->f_blockstack[f->f_iblock - 1].b_handler;
        }
        PyObject *exc = POP();
        PyObject *val = POP();
        PyObject *tb = POP();
        _PyErr_Restore(tstate, exc, val, tb);
        goto exception_unwind;
    }

    TARGET(END_ASYNC_FOR) {
        PyObject *exc = POP();
        if (PyErr_GivenExceptionMatches(exc, PyExc_StopAsyncIteration)) {
            PyTryBlock *b = PyFrame_BlockPop(f);
            CORV_DECREF(exc);
            UNWIND_EXCEPT_HANDLER(b);
            CORV_DECREF(POP());
            JUMPBY(oparg);
            DISPATCH();
        }
        else {
            PyObject *val = POP();
            PyObject *tb = POP();
            _PyErr_Restore(tstate, exc, val, tb);
            goto exception_unwind;
        }
    }

    TARGET(LOAD_ASSERTION_ERROR) {
        PyObject *value = PyExc_AssertionError;
        Py_INCREF(value);
        PUSH(value);
        DISPATCH();
    }

    TARGET(LOAD_BUILD_CLASS) {
        _Py_IDENTIFIER(__build_class__);
        PyObject *bc;
        if (PyDict_CheckExact(f->f_builtins)) {
            bc = _PyDict_GetItemIdWithError(f->f_builtins, &PyId___build_class__);
            if (bc == NULL) {
                if (!_PyErr_Occurred(tstate)) {
                    _PyErr_SetString(tstate, PyExc_NameError, "__build_class__ not found");
                }
                goto error;
            }
            Py_INCREF(bc);
        }
        else {
            PyObject *build_class_str = _PyUnicode_FromId(&PyId___build_class__);
            if (build_class_str == NULL)
                goto error;
            bc = PyObject_GetItem(f->f_builtins, build_class_str);
            if (bc == NULL) {
                if (_PyErr_ExceptionMatches(tstate, PyExc_KeyError))
                    _PyErr_SetString(tstate, PyExc_NameError, "__build_class__ not found");
                goto error;
            }
        }
        PUSH(bc);
        DISPATCH();
    }

    TARGET(STORE_NAME) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *v = POP();
        PyObject *ns = f->f_locals;
        int err;
        if (ns == NULL) {
            _PyErr_Format(tstate, PyExc_SystemError, "no locals found when storing %R", name);
            CORV_DECREF(v);
            goto error;
        }
        if (PyDict_CheckExact(ns))
            err = PyDict_SetItem(ns, name, v);
        else
            err = PyObject_SetItem(ns, name, v);
        CORV_DECREF(v);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(DELETE_NAME) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *ns = f->f_locals;
        if (ns == NULL) {
            _PyErr_Format(tstate, PyExc_SystemError, "no locals when deleting %R", name);
            goto error;
        }
        if (PyObject_DelItem(ns, name) != 0) {
            corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG, name);
            goto error;
        }
        DISPATCH();
    }

    TARGET(UNPACK_SEQUENCE) {
        PREDICTED(UNPACK_SEQUENCE);
        PyObject *seq = POP(), *item, **items;
        if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == oparg) {
            items = ((PyTupleObject *)seq)->ob_item;
            while (oparg--) {
                item = items[oparg];
                Py_INCREF(item);
                PUSH(item);
            }
        }
        else if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) == oparg) {
            items = ((PyListObject *)seq)->ob_item;
            while (oparg--) {
                item = items[oparg];
                Py_INCREF(item);
                PUSH(item);
            }
        }
        else if (corv_unpack_iterable(tstate, seq, oparg, -1, stack_pointer + oparg)) {
            STACK_GROW(oparg);
        }
        else {
            CORV_DECREF(seq);
            goto error;
        }
        CORV_DECREF(seq);
        DISPATCH();
    }

    TARGET(UNPACK_EX) {
        int totalargs = 1 + (oparg & 0xFF) + (oparg >> 8);
        PyObject *seq = POP();
        if (corv_unpack_iterable(tstate, seq, oparg & 0xFF, oparg >> 8,
                                 stack_pointer + totalargs)) {
            stack_pointer += totalargs;
        }
        else {
            CORV_DECREF(seq);
            goto error;
        }
        CORV_DECREF(seq);
        DISPATCH();
    }

    TARGET(STORE_ATTR) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *owner = TOP();
        PyObject *v = SECOND();
        STACK_SHRINK(2);
        SUSPEND_RECORDING();
        int err = PyObject_SetAttr(owner, name, v);
        RESUME_RECORDING();
        CORV_DECREF(v);
        CORV_DECREF(owner);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(DELETE_ATTR) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *owner = POP();
        int err = PyObject_SetAttr(owner, name, (PyObject *)NULL);
        CORV_DECREF(owner);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(STORE_GLOBAL) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *v = POP();
        int err = PyDict_SetItem(f->f_globals, name, v);
        CORV_DECREF(v);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(DELETE_GLOBAL) {
        PyObject *name = GETITEM(names, oparg);
        int err = PyDict_DelItem(f->f_globals, name);
        if (err != 0) {
            if (_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG, name);
            }
            goto error;
        }
        DISPATCH();
    }

    TARGET(LOAD_NAME) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *locals = f->f_locals;
        PyObject *v;
        if (locals == NULL) {
            _PyErr_Format(tstate, PyExc_SystemError, "no locals when loading %R", name);
            goto error;
        }
        if (PyDict_CheckExact(locals)) {
            v = PyDict_GetItemWithError(locals, name);
            if (v != NULL) {
                Py_INCREF(v);
            }
            else if (_PyErr_Occurred(tstate)) {
                goto error;
            }
        }
        else {
            v = PyObject_GetItem(locals, name);
            if (v == NULL) {
                if (!_PyErr_ExceptionMatches(tstate, PyExc_KeyError))
                    goto error;
                _PyErr_Clear(tstate);
            }
        }
        if (v == NULL) {
            v = PyDict_GetItemWithError(f->f_globals, name);
            if (v != NULL) {
                Py_INCREF(v);
            }
            else if (_PyErr_Occurred(tstate)) {
                goto error;
            }
            else {
                if (PyDict_CheckExact(f->f_builtins)) {
                    v = PyDict_GetItemWithError(f->f_builtins, name);
                    if (v == NULL) {
                        if (!_PyErr_Occurred(tstate)) {
                            corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG,
                                                      name);
                        }
                        goto error;
                    }
                    Py_INCREF(v);
                }
                else {
                    v = PyObject_GetItem(f->f_builtins, name);
                    if (v == NULL) {
                        if (_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                            corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG,
                                                      name);
                        }
                        goto error;
                    }
                }
            }
        }
        PUSH(v);
        DISPATCH();
    }

    TARGET(LOAD_GLOBAL) {
        PyObject *name;
        PyObject *v;
        bool from_builtins = false;
        if (CORV_FLAG_IN_USE()) {
            corv_sync_recording_thread(my_tid);
        }
        if (PyDict_CheckExact(f->f_globals) && PyDict_CheckExact(f->f_builtins)) {
            OPCACHE_CHECK();
            // While recording every load must be seen, so the cache only
            // answers outside recorded calls.
            if (co_opcache != NULL && co_opcache->optimized > 0 &&
                !(g_currently_recording & RECORDING_BIT)) {
                _PyOpcache_LoadGlobal *lg = &co_opcache->u.lg;
                if (lg->globals_ver == ((PyDictObject *)f->f_globals)->ma_version_tag &&
                    lg->builtins_ver == ((PyDictObject *)f->f_builtins)->ma_version_tag) {
                    PyObject *ptr = lg->ptr;
                    Py_INCREF(ptr);
                    RESUME_RECORDING();
                    PUSH(ptr);
                    DISPATCH();
                }
            }
            name = GETITEM(names, oparg);
            v = corv_load_global((PyDictObject *)f->f_globals, (PyDictObject *)f->f_builtins,
                                 name, &from_builtins);
            if (v == NULL) {
                if (!_PyErr_Occurred(tstate)) {
                    corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG, name);
                }
                goto error;
            }
            if (co_opcache != NULL) {
                _PyOpcache_LoadGlobal *lg = &co_opcache->u.lg;
                co_opcache->optimized = 1;
                lg->globals_ver = ((PyDictObject *)f->f_globals)->ma_version_tag;
                lg->builtins_ver = ((PyDictObject *)f->f_builtins)->ma_version_tag;
                lg->ptr = v;  // borrowed
            }
            Py_INCREF(v);
        }
        else {
            name = GETITEM(names, oparg);
            v = PyObject_GetItem(f->f_globals, name);
            if (v == NULL) {
                if (!_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                    goto error;
                }
                _PyErr_Clear(tstate);
                v = PyObject_GetItem(f->f_builtins, name);
                if (v == NULL) {
                    if (_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                        corv_format_exc_check_arg(tstate, PyExc_NameError, NAME_ERROR_MSG, name);
                    }
                    goto error;
                }
                from_builtins = true;
            }
        }
        if (entry_flag != 0 && !from_builtins) {
            SUSPEND_RECORDING();
            corv_report_global(v, name);
        }
        RESUME_RECORDING();
        PUSH(v);
        DISPATCH();
    }

    TARGET(DELETE_FAST) {
        PyObject *v = GETLOCAL(oparg);
        if (v != NULL) {
            SETLOCAL(oparg, NULL);
            DISPATCH();
        }
        corv_format_exc_check_arg(tstate, PyExc_UnboundLocalError, UNBOUNDLOCAL_ERROR_MSG,
                                  PyTuple_GetItem(co->co_varnames, oparg));
        goto error;
    }

    TARGET(DELETE_DEREF) {
        PyObject *cell = freevars[oparg];
        PyObject *oldobj = PyCell_GET(cell);
        if (oldobj != NULL) {
            PyCell_SET(cell, NULL);
            CORV_DECREF(oldobj);
            DISPATCH();
        }
        corv_format_exc_unbound(tstate, co, oparg);
        goto error;
    }

    TARGET(LOAD_CLOSURE) {
        PyObject *cell = freevars[oparg];
        Py_INCREF(cell);
        PUSH(cell);
        DISPATCH();
    }

    TARGET(LOAD_CLASSDEREF) {
        PyObject *name, *value, *locals = f->f_locals;
        Py_ssize_t idx = oparg - PyTuple_GET_SIZE(co->co_cellvars);
        name = PyTuple_GET_ITEM(co->co_freevars, idx);
        if (PyDict_CheckExact(locals)) {
            value = PyDict_GetItemWithError(locals, name);
            if (value != NULL) {
                Py_INCREF(value);
            }
            else if (_PyErr_Occurred(tstate)) {
                goto error;
            }
        }
        else {
            value = PyObject_GetItem(locals, name);
            if (value == NULL) {
                if (!_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                    goto error;
                }
                _PyErr_Clear(tstate);
            }
        }
        if (!value) {
            PyObject *cell = freevars[oparg];
            value = PyCell_GET(cell);
            if (value == NULL) {
                corv_format_exc_unbound(tstate, co, oparg);
                goto error;
            }
            Py_INCREF(value);
        }
        PUSH(value);
        DISPATCH();
    }

    TARGET(LOAD_DEREF) {
        PyObject *cell = freevars[oparg];
        PyObject *value = PyCell_GET(cell);
        if (value == NULL) {
            corv_format_exc_unbound(tstate, co, oparg);
            goto error;
        }
        Py_INCREF(value);
        PUSH(value);
        DISPATCH();
    }

    TARGET(STORE_DEREF) {
        PyObject *v = POP();
        PyObject *cell = freevars[oparg];
        PyObject *oldobj = PyCell_GET(cell);
        PyCell_SET(cell, v);
        CORV_XDECREF(oldobj);
        DISPATCH();
    }

    TARGET(BUILD_STRING) {
        PyObject *empty = PyUnicode_New(0, 0);
        if (empty == NULL) {
            goto error;
        }
        PyObject *str = _PyUnicode_JoinArray(empty, stack_pointer - oparg, oparg);
        CORV_DECREF(empty);
        if (str == NULL)
            goto error;
        while (--oparg >= 0) {
            PyObject *item = POP();
            CORV_DECREF(item);
        }
        PUSH(str);
        DISPATCH();
    }

    TARGET(BUILD_TUPLE) {
        PyObject *tup = PyTuple_New(oparg);
        if (tup == NULL)
            goto error;
        while (--oparg >= 0) {
            PyObject *item = POP();
            PyTuple_SET_ITEM(tup, oparg, item);
        }
        PUSH(tup);
        DISPATCH();
    }

    TARGET(BUILD_LIST) {
        PyObject *list = PyList_New(oparg);
        if (list == NULL)
            goto error;
        while (--oparg >= 0) {
            PyObject *item = POP();
            PyList_SET_ITEM(list, oparg, item);
        }
        PUSH(list);
        DISPATCH();
    }

    TARGET(LIST_TO_TUPLE) {
        PyObject *list = POP();
        PyObject *tuple = PyList_AsTuple(list);
        CORV_DECREF(list);
        if (tuple == NULL) {
            goto error;
        }
        PUSH(tuple);
        DISPATCH();
    }

    TARGET(LIST_EXTEND) {
        PyObject *iterable = POP();
        PyObject *list = PEEK(oparg);
        PyObject *none_val = _PyList_Extend((PyListObject *)list, iterable);
        if (none_val == NULL) {
            if (_PyErr_ExceptionMatches(tstate, PyExc_TypeError) &&
                (Py_TYPE(iterable)->tp_iter == NULL && !PySequence_Check(iterable))) {
                _PyErr_Clear(tstate);
                _PyErr_Format(tstate, PyExc_TypeError,
                              "Value after * must be an iterable, not %.200s",
                              Py_TYPE(iterable)->tp_name);
            }
            CORV_DECREF(iterable);
            goto error;
        }
        CORV_DECREF(none_val);
        CORV_DECREF(iterable);
        DISPATCH();
    }

    TARGET(SET_UPDATE) {
        PyObject *iterable = POP();
        PyObject *set = PEEK(oparg);
        int err = _PySet_Update(set, iterable);
        CORV_DECREF(iterable);
        if (err < 0) {
            goto error;
        }
        DISPATCH();
    }

    TARGET(BUILD_SET) {
        PyObject *set = PySet_New(NULL);
        int err = 0;
        if (set == NULL)
            goto error;
        for (int i = oparg; i > 0; i--) {
            PyObject *item = PEEK(i);
            if (err == 0)
                err = PySet_Add(set, item);
            CORV_DECREF(item);
        }
        STACK_SHRINK(oparg);
        if (err != 0) {
            CORV_DECREF(set);
            goto error;
        }
        PUSH(set);
        DISPATCH();
    }

    TARGET(BUILD_MAP) {
        PyObject *map = _PyDict_NewPresized((Py_ssize_t)oparg);
        if (map == NULL)
            goto error;
        for (Py_ssize_t i = oparg; i > 0; i--) {
            PyObject *key = PEEK(2 * i);
            PyObject *value = PEEK(2 * i - 1);
            if (PyDict_SetItem(map, key, value) != 0) {
                CORV_DECREF(map);
                goto error;
            }
        }
        while (oparg--) {
            CORV_DECREF(POP());
            CORV_DECREF(POP());
        }
        PUSH(map);
        DISPATCH();
    }

    TARGET(SETUP_ANNOTATIONS) {
        _Py_IDENTIFIER(__annotations__);
        int err;
        PyObject *ann_dict;
        if (f->f_locals == NULL) {
            _PyErr_Format(tstate, PyExc_SystemError, "no locals found when setting up annotations");
            goto error;
        }
        if (PyDict_CheckExact(f->f_locals)) {
            ann_dict = _PyDict_GetItemIdWithError(f->f_locals, &PyId___annotations__);
            if (ann_dict == NULL) {
                if (_PyErr_Occurred(tstate)) {
                    goto error;
                }
                ann_dict = PyDict_New();
                if (ann_dict == NULL) {
                    goto error;
                }
                err = _PyDict_SetItemId(f->f_locals, &PyId___annotations__, ann_dict);
                CORV_DECREF(ann_dict);
                if (err != 0) {
                    goto error;
                }
            }
        }
        else {
            PyObject *ann_str = _PyUnicode_FromId(&PyId___annotations__);
            if (ann_str == NULL) {
                goto error;
            }
            ann_dict = PyObject_GetItem(f->f_locals, ann_str);
            if (ann_dict == NULL) {
                if (!_PyErr_ExceptionMatches(tstate, PyExc_KeyError)) {
                    goto error;
                }
                _PyErr_Clear(tstate);
                ann_dict = PyDict_New();
                if (ann_dict == NULL) {
                    goto error;
                }
                err = PyObject_SetItem(f->f_locals, ann_str, ann_dict);
                CORV_DECREF(ann_dict);
                if (err != 0) {
                    goto error;
                }
            }
            else {
                CORV_DECREF(ann_dict);
            }
        }
        DISPATCH();
    }

    TARGET(BUILD_CONST_KEY_MAP) {
        PyObject *keys = TOP();
        if (!PyTuple_CheckExact(keys) || PyTuple_GET_SIZE(keys) != (Py_ssize_t)oparg) {
            _PyErr_SetString(tstate, PyExc_SystemError, "bad BUILD_CONST_KEY_MAP keys argument");
            goto error;
        }
        PyObject *map = _PyDict_NewPresized((Py_ssize_t)oparg);
        if (map == NULL) {
            goto error;
        }
        for (Py_ssize_t i = oparg; i > 0; i--) {
            PyObject *key = PyTuple_GET_ITEM(keys, oparg - i);
            PyObject *value = PEEK(i + 1);
            if (PyDict_SetItem(map, key, value) != 0) {
                CORV_DECREF(map);
                goto error;
            }
        }
        CORV_DECREF(POP());
        while (oparg--) {
            CORV_DECREF(POP());
        }
        PUSH(map);
        DISPATCH();
    }

    TARGET(DICT_UPDATE) {
        PyObject *update = POP();
        PyObject *dict = PEEK(oparg);
        if (PyDict_Update(dict, update) < 0) {
            if (_PyErr_ExceptionMatches(tstate, PyExc_AttributeError)) {
                _PyErr_Format(tstate, PyExc_TypeError, "'%.200s' object is not a mapping",
                              Py_TYPE(update)->tp_name);
            }
            CORV_DECREF(update);
            goto error;
        }
        CORV_DECREF(update);
        DISPATCH();
    }

    TARGET(DICT_MERGE) {
        PyObject *update = POP();
        PyObject *dict = PEEK(oparg);
        if (_PyDict_MergeEx(dict, update, 2) < 0) {
            corv_format_kwargs_error(tstate, PEEK(2 + oparg), update);
            CORV_DECREF(update);
            goto error;
        }
        CORV_DECREF(update);
        PREDICT(CALL_FUNCTION_EX);
        DISPATCH();
    }

    TARGET(MAP_ADD) {
        PyObject *value = TOP();
        PyObject *key = SECOND();
        STACK_SHRINK(2);
        PyObject *map = PEEK(oparg);
        int err = PyDict_SetItem(map, key, value);
        CORV_DECREF(value);
        CORV_DECREF(key);
        if (err != 0)
            goto error;
        PREDICT(JUMP_ABSOLUTE);
        DISPATCH();
    }

    TARGET(LOAD_ATTR) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *owner = TOP();
        PyTypeObject *type = Py_TYPE(owner);
        PyObject *res;
        PyObject **dictptr;
        PyObject *dict;
        _PyOpCodeOpt_LoadAttr *la;

        SUSPEND_RECORDING();
        OPCACHE_CHECK();
        if (co_opcache != NULL && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            if (co_opcache->optimized > 0) {
                la = &co_opcache->u.la;
                if (la->type == type && la->tp_version_tag == type->tp_version_tag) {
                    // hint >= 0: index into the instance dict; hint < -1:
                    // inverted offset of a slot.
                    if (la->hint < -1) {
                        Py_ssize_t offset = ~la->hint;
                        res = *(PyObject **)((char *)owner + offset);
                        if (res != NULL) {
                            Py_INCREF(res);
                            SET_TOP(res);
                            RESUME_RECORDING();
                            CORV_DECREF(owner);
                            DISPATCH();
                        }
                        // An empty slot takes the slow path for its error.
                    }
                    else {
                        dictptr = (PyObject **)((char *)owner + type->tp_dictoffset);
                        dict = *dictptr;
                        if (dict != NULL && PyDict_CheckExact(dict)) {
                            Py_ssize_t hint = la->hint;
                            Py_INCREF(dict);
                            res = NULL;
                            la->hint = corv_dict_get_item_hint((PyDictObject *)dict, name, hint,
                                                               &res);
                            if (res != NULL) {
                                if (!(la->hint == hint && hint >= 0)) {
                                    OPCACHE_MAYBE_DEOPT_LOAD_ATTR();
                                }
                                Py_INCREF(res);
                                SET_TOP(res);
                                RESUME_RECORDING();
                                CORV_DECREF(owner);
                                CORV_DECREF(dict);
                                DISPATCH();
                            }
                            else {
                                _PyErr_Clear(tstate);
                                OPCACHE_DEOPT_LOAD_ATTR();
                                CORV_DECREF(dict);
                            }
                        }
                        else {
                            OPCACHE_DEOPT_LOAD_ATTR();
                        }
                    }
                }
                else {
                    OPCACHE_MAYBE_DEOPT_LOAD_ATTR();
                }
            }

            if (co_opcache != NULL && type->tp_getattro == PyObject_GenericGetAttr) {
                if (type->tp_dict == NULL) {
                    if (PyType_Ready(type) < 0) {
                        RESUME_RECORDING();
                        CORV_DECREF(owner);
                        SET_TOP(NULL);
                        goto error;
                    }
                }
                PyObject *descr = _PyType_Lookup(type, name);
                if (descr != NULL) {
                    PyTypeObject *dtype = Py_TYPE(descr);
                    if (dtype == &PyMemberDescr_Type) {
                        PyMemberDescrObject *member = (PyMemberDescrObject *)descr;
                        struct PyMemberDef *dmem = member->d_member;
                        if (dmem->type == T_OBJECT_EX) {
                            Py_ssize_t offset = dmem->offset;
                            if (co_opcache->optimized == 0) {
                                co_opcache->optimized = OPCODE_CACHE_MAX_TRIES;
                            }
                            la = &co_opcache->u.la;
                            la->type = type;
                            la->tp_version_tag = type->tp_version_tag;
                            la->hint = ~offset;
                            res = *(PyObject **)((char *)owner + offset);
                            if (res != NULL) {
                                Py_INCREF(res);
                                SET_TOP(res);
                                RESUME_RECORDING();
                                CORV_DECREF(owner);
                                DISPATCH();
                            }
                        }
                    }
                    OPCACHE_DEOPT_LOAD_ATTR();
                }
                else if (type->tp_dictoffset > 0) {
                    dictptr = (PyObject **)((char *)owner + type->tp_dictoffset);
                    dict = *dictptr;
                    if (dict != NULL && PyDict_CheckExact(dict)) {
                        Py_INCREF(dict);
                        res = NULL;
                        Py_ssize_t hint =
                            corv_dict_get_item_hint((PyDictObject *)dict, name, -1, &res);
                        if (res != NULL) {
                            Py_INCREF(res);
                            SET_TOP(res);
                            RESUME_RECORDING();
                            CORV_DECREF(dict);
                            CORV_DECREF(owner);
                            if (co_opcache->optimized == 0) {
                                co_opcache->optimized = OPCODE_CACHE_MAX_TRIES;
                            }
                            la = &co_opcache->u.la;
                            la->type = type;
                            la->tp_version_tag = type->tp_version_tag;
                            la->hint = hint;
                            DISPATCH();
                        }
                        else {
                            _PyErr_Clear(tstate);
                        }
                        CORV_DECREF(dict);
                    }
                    else {
                        OPCACHE_DEOPT_LOAD_ATTR();
                    }
                }
                else {
                    OPCACHE_DEOPT_LOAD_ATTR();
                }
            }
            else if (type->tp_getattro != PyObject_GenericGetAttr) {
                OPCACHE_DEOPT_LOAD_ATTR();
            }
        }

        res = PyObject_GetAttr(owner, name);
        if (entry_flag != 0 && res != NULL) {
            corv_report_attr(owner, name, res);
        }
        RESUME_RECORDING();
        CORV_DECREF(owner);
        SET_TOP(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(COMPARE_OP) {
        PyObject *right = POP();
        PyObject *left = TOP();
        SUSPEND_RECORDING();
        PyObject *res = PyObject_RichCompare(left, right, oparg);
        RESUME_RECORDING();
        SET_TOP(res);
        CORV_DECREF(left);
        CORV_DECREF(right);
        if (res == NULL)
            goto error;
        PREDICT(POP_JUMP_IF_FALSE);
        PREDICT(POP_JUMP_IF_TRUE);
        DISPATCH();
    }

    TARGET(IS_OP) {
        PyObject *right = POP();
        PyObject *left = TOP();
        int res = (left == right) ^ oparg;
        PyObject *b = res ? Py_True : Py_False;
        Py_INCREF(b);
        SET_TOP(b);
        CORV_DECREF(left);
        CORV_DECREF(right);
        PREDICT(POP_JUMP_IF_FALSE);
        PREDICT(POP_JUMP_IF_TRUE);
        DISPATCH();
    }

    TARGET(CONTAINS_OP) {
        PyObject *right = POP();
        PyObject *left = POP();
        SUSPEND_RECORDING();
        int res = PySequence_Contains(right, left);
        RESUME_RECORDING();
        CORV_DECREF(left);
        CORV_DECREF(right);
        if (res < 0) {
            goto error;
        }
        PyObject *b = (res ^ oparg) ? Py_True : Py_False;
        Py_INCREF(b);
        PUSH(b);
        PREDICT(POP_JUMP_IF_FALSE);
        PREDICT(POP_JUMP_IF_TRUE);
        DISPATCH();
    }

    TARGET(JUMP_IF_NOT_EXC_MATCH) {
        PyObject *right = POP();
        PyObject *left = POP();
        if (PyTuple_Check(right)) {
            Py_ssize_t length = PyTuple_GET_SIZE(right);
            for (Py_ssize_t i = 0; i < length; i++) {
                PyObject *exc = PyTuple_GET_ITEM(right, i);
                if (!PyExceptionClass_Check(exc)) {
                    _PyErr_SetString(tstate, PyExc_TypeError, CANNOT_CATCH_MSG);
                    CORV_DECREF(left);
                    CORV_DECREF(right);
                    goto error;
                }
            }
        }
        else if (!PyExceptionClass_Check(right)) {
            _PyErr_SetString(tstate, PyExc_TypeError, CANNOT_CATCH_MSG);
            CORV_DECREF(left);
            CORV_DECREF(right);
            goto error;
        }
        int res = PyErr_GivenExceptionMatches(left, right);
        CORV_DECREF(left);
        CORV_DECREF(right);
        if (res > 0) {
            // the handler applies
        }
        else if (res == 0) {
            JUMPTO(oparg);
        }
        else {
            goto error;
        }
        DISPATCH();
    }

    TARGET(IMPORT_NAME) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *fromlist = POP();
        PyObject *level = TOP();
        PyObject *res = corv_import_name(tstate, f, name, fromlist, level);
        CORV_DECREF(level);
        CORV_DECREF(fromlist);
        SET_TOP(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(IMPORT_STAR) {
        PyObject *from = POP(), *locals;
        if (PyFrame_FastToLocalsWithError(f) < 0) {
            CORV_DECREF(from);
            goto error;
        }
        locals = f->f_locals;
        if (locals == NULL) {
            _PyErr_SetString(tstate, PyExc_SystemError, "no locals found during 'import *'");
            CORV_DECREF(from);
            goto error;
        }
        int err = corv_import_all_from(tstate, locals, from);
        PyFrame_LocalsToFast(f, 0);
        CORV_DECREF(from);
        if (err != 0)
            goto error;
        DISPATCH();
    }

    TARGET(IMPORT_FROM) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *from = TOP();
        PyObject *res = corv_import_from(tstate, from, name);
        PUSH(res);
        if (res == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(JUMP_FORWARD) {
        JUMPBY(oparg);
        DISPATCH();
    }

    TARGET(POP_JUMP_IF_FALSE) {
        PREDICTED(POP_JUMP_IF_FALSE);
        PyObject *cond = POP();
        if (cond == Py_True) {
            CORV_DECREF(cond);
            DISPATCH();
        }
        if (cond == Py_False) {
            CORV_DECREF(cond);
            JUMPTO(oparg);
            CHECK_EVAL_BREAKER();
            DISPATCH();
        }
        int err = PyObject_IsTrue(cond);
        CORV_DECREF(cond);
        if (err > 0) {
        }
        else if (err == 0) {
            JUMPTO(oparg);
            CHECK_EVAL_BREAKER();
        }
        else {
            goto error;
        }
        DISPATCH();
    }

    TARGET(POP_JUMP_IF_TRUE) {
        PREDICTED(POP_JUMP_IF_TRUE);
        PyObject *cond = POP();
        if (cond == Py_False) {
            CORV_DECREF(cond);
            DISPATCH();
        }
        if (cond == Py_True) {
            CORV_DECREF(cond);
            JUMPTO(oparg);
            CHECK_EVAL_BREAKER();
            DISPATCH();
        }
        int err = PyObject_IsTrue(cond);
        CORV_DECREF(cond);
        if (err > 0) {
            JUMPTO(oparg);
            CHECK_EVAL_BREAKER();
        }
        else if (err == 0) {
        }
        else {
            goto error;
        }
        DISPATCH();
    }

    TARGET(JUMP_IF_FALSE_OR_POP) {
        PyObject *cond = TOP();
        if (cond == Py_True) {
            STACK_SHRINK(1);
            CORV_DECREF(cond);
            DISPATCH();
        }
        if (cond == Py_False) {
            JUMPTO(oparg);
            DISPATCH();
        }
        int err = PyObject_IsTrue(cond);
        if (err > 0) {
            STACK_SHRINK(1);
            CORV_DECREF(cond);
        }
        else if (err == 0) {
            JUMPTO(oparg);
        }
        else {
            goto error;
        }
        DISPATCH();
    }

    TARGET(JUMP_IF_TRUE_OR_POP) {
        PyObject *cond = TOP();
        if (cond == Py_False) {
            STACK_SHRINK(1);
            CORV_DECREF(cond);
            DISPATCH();
        }
        if (cond == Py_True) {
            JUMPTO(oparg);
            DISPATCH();
        }
        int err = PyObject_IsTrue(cond);
        if (err > 0) {
            JUMPTO(oparg);
        }
        else if (err == 0) {
            STACK_SHRINK(1);
            CORV_DECREF(cond);
        }
        else {
            goto error;
        }
        DISPATCH();
    }

    TARGET(JUMP_ABSOLUTE) {
        PREDICTED(JUMP_ABSOLUTE);
        JUMPTO(oparg);
        CHECK_EVAL_BREAKER();
        DISPATCH();
    }

    TARGET(GET_LEN) {
        SUSPEND_RECORDING();
        Py_ssize_t len_i = PyObject_Length(TOP());
        RESUME_RECORDING();
        if (len_i < 0) {
            goto error;
        }
        PyObject *len_o = PyLong_FromSsize_t(len_i);
        if (len_o == NULL) {
            goto error;
        }
        PUSH(len_o);
        DISPATCH();
    }

    TARGET(MATCH_CLASS) {
        // TOS: attribute names; on success TOS1 becomes the tuple of
        // extracted attributes and TOS True, else TOS False.
        PyObject *kwnames = POP();
        PyObject *type = TOP();
        PyObject *subject = SECOND();
        PyObject *attrs = corv_match_class(tstate, subject, type, oparg, kwnames);
        CORV_DECREF(kwnames);
        if (attrs) {
            CORV_DECREF(subject);
            SET_SECOND(attrs);
        }
        else if (_PyErr_Occurred(tstate)) {
            goto error;
        }
        CORV_DECREF(type);
        SET_TOP(PyBool_FromLong(!!attrs));
        DISPATCH();
    }

    TARGET(MATCH_MAPPING) {
        PyObject *subject = TOP();
        int match = Py_TYPE(subject)->tp_flags & Py_TPFLAGS_MAPPING;
        PyObject *res = match ? Py_True : Py_False;
        Py_INCREF(res);
        PUSH(res);
        DISPATCH();
    }

    TARGET(MATCH_SEQUENCE) {
        PyObject *subject = TOP();
        int match = Py_TYPE(subject)->tp_flags & Py_TPFLAGS_SEQUENCE;
        PyObject *res = match ? Py_True : Py_False;
        Py_INCREF(res);
        PUSH(res);
        DISPATCH();
    }

    TARGET(MATCH_KEYS) {
        PyObject *keys = TOP();
        PyObject *subject = SECOND();
        PyObject *values_or_none = corv_match_keys(tstate, subject, keys);
        if (values_or_none == NULL) {
            goto error;
        }
        PUSH(values_or_none);
        if (values_or_none == Py_None) {
            Py_INCREF(Py_False);
            PUSH(Py_False);
            DISPATCH();
        }
        Py_INCREF(Py_True);
        PUSH(Py_True);
        DISPATCH();
    }

    TARGET(COPY_DICT_WITHOUT_KEYS) {
        PyObject *keys = TOP();
        PyObject *subject = SECOND();
        PyObject *rest = PyDict_New();
        if (rest == NULL || PyDict_Update(rest, subject)) {
            CORV_XDECREF(rest);
            goto error;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); i++) {
            if (PyDict_DelItem(rest, PyTuple_GET_ITEM(keys, i))) {
                CORV_DECREF(rest);
                goto error;
            }
        }
        CORV_DECREF(keys);
        SET_TOP(rest);
        DISPATCH();
    }

    TARGET(GET_ITER) {
        PyObject *iterable = TOP();
        PyObject *iter = PyObject_GetIter(iterable);
        CORV_DECREF(iterable);
        SET_TOP(iter);
        if (iter == NULL)
            goto error;
        PREDICT(FOR_ITER);
        PREDICT(CALL_FUNCTION);
        DISPATCH();
    }

    TARGET(GET_YIELD_FROM_ITER) {
        PyObject *iterable = TOP();
        if (PyCoro_CheckExact(iterable)) {
            if (!(co->co_flags & (CO_COROUTINE | CO_ITERABLE_COROUTINE))) {
                CORV_DECREF(iterable);
                SET_TOP(NULL);
                _PyErr_SetString(tstate, PyExc_TypeError,
                                 "cannot 'yield from' a coroutine object "
                                 "in a non-coroutine generator");
                goto error;
            }
        }
        else if (!PyGen_CheckExact(iterable)) {
            PyObject *iter = PyObject_GetIter(iterable);
            CORV_DECREF(iterable);
            SET_TOP(iter);
            if (iter == NULL)
                goto error;
        }
        PREDICT(LOAD_CONST);
        DISPATCH();
    }

    TARGET(FOR_ITER) {
        PREDICTED(FOR_ITER);
        PyObject *iter = TOP();
        PyObject *next = (*Py_TYPE(iter)->tp_iternext)(iter);
        if (next != NULL) {
            PUSH(next);
            PREDICT(STORE_FAST);
            PREDICT(UNPACK_SEQUENCE);
            DISPATCH();
        }
        if (_PyErr_Occurred(tstate)) {
            if (!_PyErr_ExceptionMatches(tstate, PyExc_StopIteration)) {
                goto error;
            }
            else if (tstate->c_tracefunc != NULL) {
                corv_call_exc_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, f,
                                    &trace_info);
            }
            _PyErr_Clear(tstate);
        }
        STACK_SHRINK(1);
        CORV_DECREF(iter);
        JUMPBY(oparg);
        DISPATCH();
    }

    TARGET(SETUP_FINALLY) {
        PyFrame_BlockSetup(f, SETUP_FINALLY, INSTR_OFFSET() + oparg, STACK_LEVEL());
        DISPATCH();
    }

    TARGET(BEFORE_ASYNC_WITH) {
        _Py_IDENTIFIER(__aenter__);
        _Py_IDENTIFIER(__aexit__);
        PyObject *mgr = TOP();
        PyObject *enter = corv_special_lookup(tstate, mgr, &PyId___aenter__);
        if (enter == NULL) {
            goto error;
        }
        PyObject *exit = corv_special_lookup(tstate, mgr, &PyId___aexit__);
        if (exit == NULL) {
            CORV_DECREF(enter);
            goto error;
        }
        SET_TOP(exit);
        CORV_DECREF(mgr);
        PyObject *res = PyObject_CallNoArgs(enter);
        CORV_DECREF(enter);
        if (res == NULL)
            goto error;
        PUSH(res);
        PREDICT(GET_AWAITABLE);
        DISPATCH();
    }

    TARGET(SETUP_ASYNC_WITH) {
        PyObject *res = POP();
        // The finally block sits below the __aenter__ result.
        PyFrame_BlockSetup(f, SETUP_FINALLY, INSTR_OFFSET() + oparg, STACK_LEVEL());
        PUSH(res);
        DISPATCH();
    }

    TARGET(SETUP_WITH) {
        _Py_IDENTIFIER(__enter__);
        _Py_IDENTIFIER(__exit__);
        PyObject *mgr = TOP();
        PyObject *enter = corv_special_lookup(tstate, mgr, &PyId___enter__);
        if (enter == NULL) {
            goto error;
        }
        PyObject *exit = corv_special_lookup(tstate, mgr, &PyId___exit__);
        if (exit == NULL) {
            CORV_DECREF(enter);
            goto error;
        }
        SET_TOP(exit);
        CORV_DECREF(mgr);
        PyObject *res = PyObject_CallNoArgs(enter);
        CORV_DECREF(enter);
        if (res == NULL)
            goto error;
        PyFrame_BlockSetup(f, SETUP_FINALLY, INSTR_OFFSET() + oparg, STACK_LEVEL());
        PUSH(res);
        DISPATCH();
    }

    TARGET(WITH_EXCEPT_START) {
        // Stack: exit function, then the previous exception (3 items) of
        // the handler block, then the current exception (3 items) on top.
        PyObject *exc = TOP();
        PyObject *val = SECOND();
        PyObject *tb = THIRD();
        PyObject *exit_func = PEEK(7);
        PyObject *stack[4] = {NULL, exc, val, tb};
        PyObject *res =
            PyObject_Vectorcall(exit_func, stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
        if (res == NULL)
            goto error;
        PUSH(res);
        DISPATCH();
    }

    TARGET(LOAD_METHOD) {
        PyObject *name = GETITEM(names, oparg);
        PyObject *obj = TOP();
        PyObject *meth = NULL;
        SUSPEND_RECORDING();
        int meth_found = _PyObject_GetMethod(obj, name, &meth);
        if (entry_flag != 0 && meth != NULL) {
            corv_report_attr(obj, name, meth);
        }
        RESUME_RECORDING();
        if (meth == NULL) {
            goto error;
        }
        if (meth_found) {
            // meth | self | arg1 | ... | argN
            SET_TOP(meth);
            PUSH(obj);
        }
        else {
            // NULL | meth | arg1 | ... | argN
            SET_TOP(NULL);
            CORV_DECREF(obj);
            PUSH(meth);
        }
        DISPATCH();
    }

    TARGET(CALL_METHOD) {
        PyObject **sp, *res, *meth;
        sp = stack_pointer;
        meth = PEEK(oparg + 2);
        if (meth == NULL) {
            PyObject **callee_slot = stack_pointer - oparg - 1;
            CORV_CALL_SITE(res, *callee_slot,
                           CORV_PLAIN_CALL(sp, oparg, NULL),
                           corv_hooked_call_function_slow(tstate, &trace_info, &sp, oparg, NULL,
                                                          *callee_slot, callee_slot, oparg + 1,
                                                          d_));
            stack_pointer = sp;
            (void)POP();  // the NULL
        }
        else {
            PyObject **meth_slot = stack_pointer - oparg - 2;
            CORV_CALL_SITE(res, meth,
                           CORV_PLAIN_CALL(sp, oparg + 1, NULL),
                           corv_hooked_call_function_slow(tstate, &trace_info, &sp, oparg + 1,
                                                          NULL, meth, meth_slot, oparg + 2, d_));
            stack_pointer = sp;
        }
        PUSH(res);
        if (res == NULL)
            goto error;
        CHECK_EVAL_BREAKER();
        DISPATCH();
    }

    TARGET(CALL_FUNCTION) {
        PREDICTED(CALL_FUNCTION);
        PyObject **sp, *res;
        sp = stack_pointer;
        PyObject **pfunc = stack_pointer - oparg - 1;
        CORV_CALL_SITE(res, *pfunc, CORV_PLAIN_CALL(sp, oparg, NULL),
                       corv_hooked_call_function_slow(tstate, &trace_info, &sp, oparg, NULL,
                                                      *pfunc, pfunc, oparg + 1, d_));
        stack_pointer = sp;
        PUSH(res);
        if (res == NULL) {
            goto error;
        }
        CHECK_EVAL_BREAKER();
        DISPATCH();
    }

    TARGET(CALL_FUNCTION_KW) {
        PyObject **sp, *res, *kwnames;
        kwnames = POP();
        sp = stack_pointer;
        PyObject **pfunc = stack_pointer - oparg - 1;
        CORV_CALL_SITE(res, *pfunc, CORV_PLAIN_CALL(sp, oparg, kwnames),
                       corv_hooked_call_function_slow(
                           tstate, &trace_info, &sp, oparg, kwnames, *pfunc, pfunc,
                           oparg - PyTuple_GET_SIZE(kwnames) + 1, d_));
        stack_pointer = sp;
        PUSH(res);
        CORV_DECREF(kwnames);
        if (res == NULL) {
            goto error;
        }
        CHECK_EVAL_BREAKER();
        DISPATCH();
    }

    TARGET(CALL_FUNCTION_EX) {
        PREDICTED(CALL_FUNCTION_EX);
        PyObject *func, *callargs, *kwargs = NULL, *result;
        if (oparg & 0x01) {
            kwargs = POP();
            if (!PyDict_CheckExact(kwargs)) {
                PyObject *d = PyDict_New();
                if (d == NULL)
                    goto error;
                if (_PyDict_MergeEx(d, kwargs, 2) < 0) {
                    CORV_DECREF(d);
                    corv_format_kwargs_error(tstate, SECOND(), kwargs);
                    CORV_DECREF(kwargs);
                    goto error;
                }
                CORV_DECREF(kwargs);
                kwargs = d;
            }
        }
        callargs = POP();
        func = TOP();
        if (!PyTuple_CheckExact(callargs)) {
            if (corv_check_args_iterable(tstate, func, callargs) < 0) {
                CORV_DECREF(callargs);
                goto error;
            }
            CORV_SETREF(callargs, PySequence_Tuple(callargs));
            if (callargs == NULL) {
                goto error;
            }
        }
        CORV_CALL_SITE(result, func, corv_do_call_core(tstate, &trace_info, func, callargs, kwargs),
                       corv_hooked_call_core_slow(tstate, &trace_info, func, callargs, kwargs, d_));
        CORV_DECREF(func);
        CORV_DECREF(callargs);
        CORV_XDECREF(kwargs);
        SET_TOP(result);
        if (result == NULL) {
            goto error;
        }
        CHECK_EVAL_BREAKER();
        DISPATCH();
    }

    TARGET(MAKE_FUNCTION) {
        PyObject *qualname = POP();
        PyObject *codeobj = POP();
        PyFunctionObject *func =
            (PyFunctionObject *)PyFunction_NewWithQualName(codeobj, f->f_globals, qualname);
        CORV_DECREF(codeobj);
        CORV_DECREF(qualname);
        if (func == NULL) {
            goto error;
        }
        if (oparg & 0x08) {
            func->func_closure = POP();
        }
        if (oparg & 0x04) {
            func->func_annotations = POP();
        }
        if (oparg & 0x02) {
            func->func_kwdefaults = POP();
        }
        if (oparg & 0x01) {
            func->func_defaults = POP();
        }
        PUSH((PyObject *)func);
        DISPATCH();
    }

    TARGET(BUILD_SLICE) {
        PyObject *start, *stop, *step, *slice;
        step = oparg == 3 ? POP() : NULL;
        stop = POP();
        start = TOP();
        slice = PySlice_New(start, stop, step);
        CORV_DECREF(start);
        CORV_DECREF(stop);
        CORV_XDECREF(step);
        SET_TOP(slice);
        if (slice == NULL)
            goto error;
        DISPATCH();
    }

    TARGET(FORMAT_VALUE) {
        PyObject *result;
        PyObject *fmt_spec;
        PyObject *value;
        PyObject *(*conv_fn)(PyObject *);
        int which_conversion = oparg & FVC_MASK;
        int have_fmt_spec = (oparg & FVS_MASK) == FVS_HAVE_SPEC;
        fmt_spec = have_fmt_spec ? POP() : NULL;
        value = POP();
        switch (which_conversion) {
        case FVC_NONE:
            conv_fn = NULL;
            break;
        case FVC_STR:
            conv_fn = PyObject_Str;
            break;
        case FVC_REPR:
            conv_fn = PyObject_Repr;
            break;
        case FVC_ASCII:
            conv_fn = PyObject_ASCII;
            break;
        default:
            _PyErr_Format(tstate, PyExc_SystemError, "unexpected conversion flag %d",
                          which_conversion);
            goto error;
        }
        SUSPEND_RECORDING();
        if (conv_fn != NULL) {
            result = conv_fn(value);
            RESUME_RECORDING();
            CORV_DECREF(value);
            if (result == NULL) {
                CORV_XDECREF(fmt_spec);
                goto error;
            }
            value = result;
            SUSPEND_RECORDING();
        }
        if (PyUnicode_CheckExact(value) && fmt_spec == NULL) {
            // format(str) without a spec is the string itself
            RESUME_RECORDING();
            result = value;
        }
        else {
            result = PyObject_Format(value, fmt_spec);
            RESUME_RECORDING();
            CORV_DECREF(value);
            CORV_XDECREF(fmt_spec);
            if (result == NULL) {
                goto error;
            }
        }
        PUSH(result);
        DISPATCH();
    }

    TARGET(ROT_N) {
        PyObject *top = TOP();
        memmove(&PEEK(oparg - 1), &PEEK(oparg), sizeof(PyObject *) * (oparg - 1));
        PEEK(oparg) = top;
        DISPATCH();
    }

    TARGET(EXTENDED_ARG) {
        int oldoparg = oparg;
        NEXTOPARG();
        oparg |= oldoparg << 8;
        goto dispatch_opcode;
    }

op_unknown:
    fprintf(stderr, "XXX lineno: %d, opcode: %d\n", PyFrame_GetLineNumber(f), opcode);
    _PyErr_SetString(tstate, PyExc_SystemError, "unknown opcode");
    goto error;

error:
    if (!_PyErr_Occurred(tstate)) {
        _PyErr_SetString(tstate, PyExc_SystemError, "error return without exception set");
    }
    PyTraceBack_Here(f);
    if (tstate->c_tracefunc != NULL) {
        f->f_state = FRAME_UNWINDING;
        corv_call_exc_trace(tstate->c_tracefunc, tstate->c_traceobj, tstate, f, &trace_info);
    }

exception_unwind:
    f->f_state = FRAME_UNWINDING;
    while (f->f_iblock > 0) {
        PyTryBlock *b = &f->f_blockstack[--f->f_iblock];
        if (b->b_type == EXCEPT_HANDLER) {
            UNWIND_EXCEPT_HANDLER(b);
            continue;
        }
        UNWIND_BLOCK(b);
        if (b->b_type == SETUP_FINALLY) {
            PyObject *exc, *val, *tb;
            int handler = b->b_handler;
            _PyErr_StackItem *exc_info = tstate->exc_info;
            // This block push invalidates b.
            PyFrame_BlockSetup(f, EXCEPT_HANDLER, f->f_lasti, STACK_LEVEL());
            PUSH(exc_info->exc_traceback);
            PUSH(exc_info->exc_value);
            if (exc_info->exc_type != NULL) {
                PUSH(exc_info->exc_type);
            }
            else {
                Py_INCREF(Py_None);
                PUSH(Py_None);
            }
            _PyErr_Fetch(tstate, &exc, &val, &tb);
            // The handler sees a normalised exception with its traceback.
            _PyErr_NormalizeException(tstate, &exc, &val, &tb);
            if (tb != NULL)
                PyException_SetTraceback(val, tb);
            else
                PyException_SetTraceback(val, Py_None);
            Py_INCREF(exc);
            exc_info->exc_type = exc;
            Py_INCREF(val);
            exc_info->exc_value = val;
            exc_info->exc_traceback = tb;
            if (tb == NULL)
                tb = Py_None;
            Py_INCREF(tb);
            PUSH(tb);
            PUSH(val);
            PUSH(exc);
            JUMPTO(handler);
            f->f_state = FRAME_EXECUTING;
            goto main_loop;
        }
    }

    // No handler left: the exception leaves the frame.
    while (!EMPTY()) {
        PyObject *o = POP();
        CORV_XDECREF(o);
    }
    f->f_stackdepth = 0;
    f->f_state = FRAME_RAISED;

exiting:
    if (CORV_UNLIKELY(trace_info.cframe.use_tracing)) {
        if (tstate->c_tracefunc) {
            if (corv_call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, tstate, f,
                                          &trace_info, PyTrace_RETURN, retval)) {
                CORV_CLEAR(retval);
            }
        }
        if (tstate->c_profilefunc) {
            if (corv_call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, tstate, f,
                                          &trace_info, PyTrace_RETURN, retval)) {
                CORV_CLEAR(retval);
            }
        }
    }

exit_eval_frame:
    tstate->cframe = trace_info.cframe.previous;
    tstate->cframe->use_tracing = trace_info.cframe.use_tracing;
    _Py_LeaveRecursiveCall(tstate);
    tstate->frame = f->f_back;
    return _Py_CheckFunctionResult(tstate, NULL, retval, "_PyEval_EvalFrameDefault");
}
#undef CORV_DEALLOC
#define CORV_DEALLOC(op) corv_dealloc_unrecorded(op)

// Entry points for the layout tests: the decision's answers for a code
// object as our direct read of its extra slots finds them (NULL when none).
extern "C" __attribute__((visibility("default"))) void *corv_probe_code_info(PyObject *code) {
    corv_code_extra *ex = (corv_code_extra *)((PyCodeObject *)code)->co_extra;
    if (ex == NULL || corv_code_extra_index < 0 || corv_code_extra_index >= ex->ce_size) {
        return NULL;
    }
    return ex->ce_extras[corv_code_extra_index];
}
extern "C" __attribute__((visibility("default"))) Py_ssize_t corv_probe_code_extra_index(void) {
    return corv_code_extra_index;
}
