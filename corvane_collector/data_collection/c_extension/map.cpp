// Native map unit (see map.h).
#include "map.h"

#include <unordered_map>

namespace {

// Integer keys hash to themselves; pointer keys use std::hash<T*>.
struct IdentityIntHash {
    size_t operator()(int32_t k) const noexcept { return static_cast<size_t>(static_cast<uint32_t>(k)); }
};

template <class K, class V, class H = std::hash<K>>
using RobinMap = tsl::robin_map<K, V, H, std::equal_to<K>, std::allocator<std::pair<K, V>>, false,
                                tsl::rh::power_of_two_growth_policy<2>>;

// Constructed on first use and deliberately never destroyed: destructors of
// statics run after the interpreter may still call into us during shutdown.
template <class M>
M &make_map(float max_load) {
    M *m = new M();
    m->max_load_factor(max_load);
    return *m;
}

RobinMap<int32_t, unsigned char, IdentityIntHash> &tid_map() {
    static auto &m = make_map<RobinMap<int32_t, unsigned char, IdentityIntHash>>(0.5f);
    return m;
}
RobinMap<PyObject *, int32_t> &func_counter_map() {
    static auto &m = make_map<RobinMap<PyObject *, int32_t>>(0.5f);
    return m;
}
RobinMap<PyObject *, PyObject *> &gen_metadata_map() {
    static auto &m = make_map<RobinMap<PyObject *, PyObject *>>(0.5f);
    return m;
}
std::unordered_map<PyObject *, PyObject *> &object_map() {
    static auto &m = make_map<std::unordered_map<PyObject *, PyObject *>>(1.0f);
    return m;
}

}  // namespace

extern "C" {

#ifdef CORV_MAP_NOTES_STORED_FLAGS
// The interceptor's copy tells the evaluator about every byte stored.
__attribute__((visibility("hidden"))) void corv_note_stored_flag(unsigned char flag);
#endif

void set_tid_to_currently_recording(int32_t thread_key, unsigned char flag) {
    tid_map()[thread_key] = flag;
#ifdef CORV_MAP_NOTES_STORED_FLAGS
    corv_note_stored_flag(flag);
#endif
}

unsigned char get_tid_to_currently_recording(int32_t thread_key) {
    auto &m = tid_map();
    auto it = m.find(thread_key);
    return it == m.end() ? 0 : it->second;
}

void set_func_to_counter(PyObject *func, int32_t counter) { func_counter_map()[func] = counter; }

int32_t get_func_to_counter(PyObject *func) {
    auto &m = func_counter_map();
    auto it = m.find(func);
    return it == m.end() ? 0 : it->second;
}

void set_gen_to_metadata(PyObject *gen, PyObject *metadata) {
    auto &m = gen_metadata_map();
    if (metadata == nullptr) {
        m.erase(gen);
    } else {
        m[gen] = metadata;
    }
}

PyObject *get_gen_to_metadata(PyObject *gen) {
    auto &m = gen_metadata_map();
    auto it = m.find(gen);
    return it == m.end() ? nullptr : it->second;
}

void set_int_to_int_item(corv_int_to_int_map *map, int32_t key, int32_t value) {
    if (map != nullptr) (*map)[key] = value;
}

int32_t get_int_to_int_item(corv_int_to_int_map *map, int32_t key) {
    if (map == nullptr) return 0;
    auto it = map->find(key);
    return it == map->end() ? 0 : it->second;
}

int set_pyobject_to_pyobject_item(PyObject *key, PyObject *value) {
    object_map()[key] = value;
    return 0;
}

PyObject *get_pyobject_to_pyobject_item(PyObject *key) {
    auto &m = object_map();
    auto it = m.find(key);
    return it == m.end() ? nullptr : it->second;
}

int erase_pyobject_to_pyobject_item(PyObject *key) { return object_map().erase(key) ? 1 : 0; }

uint64_t size_pyobject_to_pyobject(void) { return object_map().size(); }

}  // extern "C"
