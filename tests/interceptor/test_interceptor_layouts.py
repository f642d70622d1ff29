"""Our declarations of private interpreter layouts match the running interpreter."""
import ctypes
import types

import pytest

import interceptor

LIB = ctypes.PyDLL(interceptor.__file__)
LIB.corv_probe_dict_hint.restype = ctypes.c_ssize_t
LIB.corv_probe_dict_hint.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t,
                                     ctypes.POINTER(ctypes.c_void_p)]
for name in ("corv_probe_gen_yf", "corv_probe_awaitable", "corv_probe_wrap_value"):
    getattr(LIB, name).restype = ctypes.py_object
    getattr(LIB, name).argtypes = [ctypes.py_object]


def hint(d, key, start):
    out = ctypes.c_void_p()
    ix = LIB.corv_probe_dict_hint(d, key, start, ctypes.byref(out))
    return ix, out.value


def test_dict_hint_on_combined_and_split_tables():
    keys = ["k%d" % i for i in range(40)]
    combined = {k: object() for k in keys}

    class Split:
        pass
    first, second = Split(), Split()
    for obj in (first, second):
        for k in keys[:6]:
            setattr(obj, k, object())
    for table in (combined, second.__dict__):
        for position, key in enumerate(list(table)):
            ix, value = hint(table, key, -1)
            assert (ix, value) == (position, id(table[key]))
            # a correct hint is answered from the entry itself
            assert hint(table, key, position) == (position, id(table[key]))
            # a wrong hint falls back to the full lookup
            assert hint(table, key, (position + 1) % len(table)) == (position, id(table[key]))
    ix, value = hint(combined, "absent", 3)
    assert ix < 0 and value is None


def test_gen_yf_reports_the_delegate():
    inner = iter([1, 2, 3])

    def outer():
        yield from inner
    g = outer()
    assert LIB.corv_probe_gen_yf(g) is None   # not started
    next(g)
    assert LIB.corv_probe_gen_yf(g) is inner

    def plain():
        yield 1
    p = plain()
    next(p)
    assert LIB.corv_probe_gen_yf(p) is None


def test_awaitable_lookup():
    async def coro():
        return 1
    c = coro()
    assert LIB.corv_probe_awaitable(c) is c
    c.close()

    @types.coroutine
    def gen_coro():
        yield
    g = gen_coro()
    assert LIB.corv_probe_awaitable(g) is g

    class Awaitable:
        def __await__(self):
            return iter([1])
    it = LIB.corv_probe_awaitable(Awaitable())
    assert list(it) == [1]

    class ReturnsCoroutine:
        def __await__(self):
            return coro()
    with pytest.raises(TypeError, match=r"__await__\(\) returned a coroutine"):
        LIB.corv_probe_awaitable(ReturnsCoroutine())

    class ReturnsNumber:
        def __await__(self):
            return 5
    with pytest.raises(TypeError, match="__await__\\(\\) returned non-iterator of type 'int'"):
        LIB.corv_probe_awaitable(ReturnsNumber())
    with pytest.raises(TypeError, match="object int can't be used in 'await' expression"):
        LIB.corv_probe_awaitable(3)


def test_async_generator_value_wrapper():
    marker = object()
    w = LIB.corv_probe_wrap_value(marker)
    assert type(w).__name__ == "async_generator_wrapped_value"
    # the wrapper holds exactly one reference to its value
    import sys
    before = sys.getrefcount(marker)
    del w
    assert sys.getrefcount(marker) == before - 1
