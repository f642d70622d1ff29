# cython: language_level=3
"""Minimal call recorder for the conformance runs.

Compiled (not plain Python) on purpose: like the real recorder, its callbacks create
no Python frames, so tracing and profiling tests see exactly the events they would see
without it.  It keeps no reference to anything it is given, so object lifetimes in the
tests are unchanged; it only counts callbacks and the record objects and tokens alive.
"""

cdef long long n_user_calls = 0
cdef long long n_user_returns = 0
cdef long long n_user_returns_bad = 0
cdef long long n_ext_calls = 0
cdef long long n_ext_returns = 0
cdef long long n_ext_returns_bad = 0
cdef long long n_load_attr = 0
cdef long long n_load_global = 0
cdef long long n_other = 0
cdef long long live_records = 0
cdef long long live_tokens = 0


cdef class Record:
    def __cinit__(self):
        global live_records
        live_records += 1

    def __dealloc__(self):
        global live_records
        live_records -= 1


cdef class Token:
    def __cinit__(self):
        global live_tokens
        live_tokens += 1

    def __dealloc__(self):
        global live_tokens
        live_tokens -= 1


def record_user_function_call(*args, **kwargs):
    global n_user_calls
    n_user_calls += 1
    return Record()


def record_user_function_return_value(value, record):
    global n_user_returns, n_user_returns_bad
    n_user_returns += 1
    if type(record) is not Record:
        n_user_returns_bad += 1


def record_external_call(callee, is_python):
    global n_ext_calls
    n_ext_calls += 1
    return Token()


def record_external_return_value(value, token):
    global n_ext_returns, n_ext_returns_bad
    n_ext_returns += 1
    if type(token) is not Token:
        n_ext_returns_bad += 1


def load_attr_hook(obj, name, value):
    global n_load_attr
    n_load_attr += 1


def load_global_hook(value, name):
    global n_load_global
    n_load_global += 1


def _accept(*args, **kwargs):
    global n_other
    n_other += 1


record_user_async_function_return_value = _accept
record_async_external_return_value = _accept
record_return_value_async = _accept


def stats():
    return {
        "user_calls": n_user_calls,
        "user_returns": n_user_returns,
        "user_returns_bad": n_user_returns_bad,
        "external_calls": n_ext_calls,
        "external_returns": n_ext_returns,
        "external_returns_bad": n_ext_returns_bad,
        "load_attr": n_load_attr,
        "load_global": n_load_global,
        "async_callbacks": n_other,
        "live_records": live_records,
        "live_tokens": live_tokens,
    }
