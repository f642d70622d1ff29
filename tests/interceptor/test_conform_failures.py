"""Recorder callbacks that raise, return garbage or are missing change nothing."""
import pytest

from conform_harness import requires_interceptor, run_program, LOG_RECORDER

pytestmark = requires_interceptor

# Exceptions in flight while the hooks run: in finally blocks, except handlers,
# a generator's close, a pending KeyboardInterrupt, chained and suppressed contexts.
PROGRAM = """
import sys
G = 1

def risky(n):
    try:
        raise ValueError("inner %d" % n)
    finally:
        x = G
        len([x])

def handler():
    try:
        risky(1)
    except ValueError as e:
        y = G
        abs(-1)
        print("caught", repr(e), repr(e.__context__), sys.exc_info()[0].__name__)
    print("after", sys.exc_info())

def gen():
    try:
        yield 1
        yield 2
    finally:
        z = G
        len("ab")
        print("gen finally", sys.exc_info()[0].__name__)

def gen_close():
    g = gen()
    next(g)
    g.close()
    print("closed", g.gi_frame)

def kbi():
    raise KeyboardInterrupt("stop")

def kbi_outer():
    try:
        try:
            kbi()
        finally:
            w = G
            len("x")
    except KeyboardInterrupt as e:
        print("kbi", repr(e), e.__context__, e.__traceback__.tb_next.tb_frame.f_code.co_name)

def chained():
    try:
        try:
            raise KeyError("a")
        except KeyError:
            G
            len("q")
            raise TypeError("b")
    except TypeError as e:
        print("chain", repr(e), repr(e.__context__), e.__suppress_context__)
    try:
        try:
            raise KeyError("c")
        except KeyError:
            raise TypeError("d") from None
    except TypeError as e:
        print("suppressed", repr(e.__context__), e.__suppress_context__, e.__cause__)

def deep(n):
    if n == 0:
        raise LookupError("bottom")
    try:
        return deep(n - 1)
    finally:
        G

def stop_iteration():
    it = iter([1])
    next(it)
    try:
        next(it)
    except StopIteration as e:
        print("stop", repr(e), sys.exc_info()[0].__name__)

class Prop:
    @property
    def value(self):
        raise AttributeError("no value")
    def __getattr__(self, name):
        return "fallback " + name

def prop():
    print("prop", Prop().value, hasattr(Prop(), "value"), getattr(Prop(), "zz"))

def main():
    handler()
    gen_close()
    kbi_outer()
    chained()
    try:
        deep(5)
    except LookupError as e:
        print("deep", repr(e), e.__context__)
    stop_iteration()
    prop()
    print("final", sys.exc_info())
"""

RAISING = """
def _raise(*a, **k):
    raise RuntimeError("callback failed")
for _name in CALLBACKS:
    globals()[_name] = _raise
"""

RAISING_BASE = """
def _raise(*a, **k):
    raise KeyboardInterrupt("callback interrupted")
for _name in CALLBACKS:
    globals()[_name] = _raise
"""

# Callbacks that return odd objects, including ones whose destruction raises or
# leaves an exception set: the evaluator owns these until the return callbacks.
GARBAGE = """
class Nasty:
    def __del__(self):
        raise ValueError("nasty __del__")
    def __eq__(self, other):
        raise TypeError("nasty __eq__")
    def __bool__(self):
        raise TypeError("nasty __bool__")
def _nasty(*a, **k):
    try:
        raise OSError("left behind")
    except OSError:
        pass
    return Nasty()
for _name in CALLBACKS:
    globals()[_name] = _nasty
record_external_call = lambda *a: 12345
record_user_function_return_value = lambda *a: Nasty()
"""

# Callbacks that are not callable at all.
NOT_CALLABLE = """
for _name in CALLBACKS:
    globals()[_name] = 42
"""

MISSING = """
for _name in CALLBACKS:
    del globals()[_name]
"""


@pytest.fixture(scope="module")
def stock_output():
    out = run_program(PROGRAM, apply=False).check()
    assert "caught ValueError('inner 1') None ValueError" in out.stdout
    assert "kbi KeyboardInterrupt('stop') None" in out.stdout
    return out.stdout


@pytest.mark.parametrize("variant", ["log", "raising", "raising_base", "garbage",
                                     "not_callable", "missing"])
def test_program_output_is_unchanged(stock_output, variant):
    extra = {"log": "", "raising": RAISING, "raising_base": RAISING_BASE,
             "garbage": GARBAGE, "not_callable": NOT_CALLABLE, "missing": MISSING}[variant]
    out = run_program(PROGRAM, recorder_extra=extra).check()
    lines = out.stdout.splitlines()
    if variant == "missing":
        # apply's own messages, one per callback; nothing else is added.
        messages = [l for l in lines if l.startswith("Error getting ")]
        assert len(messages) == 9
        lines = [l for l in lines if not l.startswith("Error getting ")]
    assert "\n".join(lines) == stock_output
    # Exceptions raised by callbacks, or by what they return, are discarded quietly
    # (at most reported as unraisable), never seen by the program.
    if variant == "log":
        assert out.log and out.stderr == ""


def test_pending_exception_is_exactly_restored_around_callbacks():
    # A callback that leaves an exception set (and one that clears a live one by
    # raising and catching) must not change which exception the program sees.
    out = run_program("""
        import sys
        def inner():
            raise ValueError("mine")
        def outer():
            try:
                inner()
            except ValueError as e:
                return [type(e).__name__, str(e), e.__context__ is None,
                        type(sys.exc_info()[1]).__name__]
        def main():
            return outer()
        """, recorder_extra="""
        def _meddle(*a, **k):
            try:
                raise KeyError("theirs")
            except KeyError:
                sys.exc_info()
            raise IndexError("escaping")
        for _name in CALLBACKS:
            globals()[_name] = _meddle
        """).check()
    assert out.result == ["ValueError", "mine", True, "ValueError"]


def test_sigint_arriving_during_a_recorded_call_is_not_lost():
    # The signal's handler runs at the next check of the eval breaker, which may
    # fall inside a recorder callback; the KeyboardInterrupt it raises belongs to
    # the program and must reach it as under the stock evaluator.
    body = """
        import signal
        def recorded(n):
            caught = []
            for i in range(n):
                try:
                    signal.raise_signal(signal.SIGINT)
                    for j in range(3):
                        abs(j)
                except KeyboardInterrupt:
                    caught.append(i)
            return caught
        def main():
            return recorded(20)
        """
    stock = run_program(body, apply=False).check()
    assert stock.result == list(range(20))
    ours = run_program(body).check()
    assert ours.result == stock.result


def test_async_exception_arriving_during_a_recorded_call_is_not_lost():
    body = """
        import ctypes, threading
        class AsyncExc(Exception):
            pass
        def recorded():
            set_async_exc = ctypes.pythonapi.PyThreadState_SetAsyncExc
            set_async_exc.argtypes = (ctypes.c_ulong, ctypes.py_object)
            try:
                set_async_exc(threading.get_ident(), ctypes.py_object(AsyncExc))
                for i in range(2000000):
                    pass
            except AsyncExc:
                return "delivered"
            return "lost"
        def main():
            return recorded()
        """
    stock = run_program(body, apply=False).check()
    assert stock.result == "delivered"
    assert run_program(body).check().result == "delivered"
