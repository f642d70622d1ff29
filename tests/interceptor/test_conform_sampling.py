"""Call-site decisions: which calls are sampled, what the recorder is given."""
from conform_harness import requires_interceptor, run_program, calls

pytestmark = requires_interceptor

M64 = (1 << 64) - 1


def signed(u):
    u &= M64
    return u - (1 << 64) if u >> 63 else u


def xorshift(x):
    u = x & M64
    u ^= (u << 13) & M64
    s = signed(u)
    s ^= s >> 7
    u = s & M64
    u ^= (u << 17) & M64
    return signed(u)


def predict(seed, bound, n):
    """Indices of the n consecutive candidate calls that the generator samples."""
    out, x = [], seed
    for i in range(n):
        x = xorshift(x)
        a = x if x == -(1 << 63) else abs(x)
        if a < bound:
            out.append(i)
    return out, x


def test_generator_sequence_and_bound_decide_sampling():
    seed = 0x1234_5678_9ABC_DEF1
    out = run_program("""
        def f(i):
            return i
        def main():
            native("random_seed").value = %d
            for i in range(200):
                f(i)
            return [native("upper_bound").value, native("random_seed").value]
        """ % seed, rate=0.5).check()
    bound, final = out.result
    expected, x = predict(seed, bound, 200)
    sampled = [e[2][0] for e in calls(out.log, "call")]
    assert sampled == expected
    assert 40 < len(sampled) < 160
    assert final == x


def test_lambdas_nested_functions_comprehensions_and_classes_never_advance_the_generator():
    seed = -0x0FED_CBA9_8765_4321
    out = run_program("""
        class K:
            def __init__(self, v):
                self.v = v
        def top(i):
            return i
        def main():
            native("random_seed").value = %d
            def inner(i):
                return i
            lam = lambda i: i
            for i in range(10):
                top(i)
                inner(i)
                lam(i)
                K(i)
                [j for j in (i,)]
                list(j for j in (i,))
            return native("random_seed").value
        """ % seed).check()
    x = seed
    for _ in range(10):
        x = xorshift(x)
    assert out.result == x
    assert [e[1] for e in calls(out.log, "call")] == ["<function top>"] * 10


def test_zero_seed_samples_every_candidate_above_a_zero_bound():
    out = run_program("""
        def f(i):
            return i
        def main():
            native("random_seed").value = 0
            for i in range(20):
                f(i)
            interceptor.set_collecting_rate(0.0)
            for i in range(20, 40):
                f(i)
            return native("random_seed").value
        """, rate=0.01).check()
    assert out.result == 0
    assert [e[2][0] for e in calls(out.log, "call")] == list(range(20))


SHAPES = """
class C:
    def method(self, a, b=0):
        return a + b
    @staticmethod
    def sm(a):
        return a
    @classmethod
    def cm(cls, a):
        return a
def f(*args, **kw):
    return len(args) + len(kw)
def main():
    c = C()
    f(1, 2)
    f(1, k=2)
    f(*[1, 2], **{"k": 3})
    f(*(4,))
    f(5, *[6], k=7, **{"j": 8})
    c.method(10)
    c.method(11, b=1)
    m = c.method
    m(12)
    C.method(c, 13)
    c.sm(14)
    C.cm(15)
    c.cm(16)
"""


def test_argument_shapes_of_every_call_opcode():
    out = run_program(SHAPES).check()
    got = [e[1:4] for e in calls(out.log, "call")]
    assert got == [
        ["<function f>", [1, 2], {}],
        ["<function f>", [1], {"k": 2}],
        ["<function f>", [1, 2], {"k": 3}],
        ["<function f>", [4], {}],
        ["<function f>", [5, 6], {"j": 8, "k": 7}],
        ["<function C.method>", ["<C>", 10], {}],
        ["<method C.method>", [11], {"b": 1}],
        ["<method C.method>", [12], {}],
        ["<function C.method>", ["<C>", 13], {}],
        ["<function C.sm>", [14], {}],
        ["<method C.cm>", [15], {}],
        ["<method C.cm>", [16], {}],
    ]
    # One return callback per record, carrying the call's value and its record.
    rets = calls(out.log, "ret")
    assert [r[1] for r in rets] == [2, 2, 3, 1, 4, 10, 12, 12, 13, 14, 15, 16]
    assert [r[2] for r in rets] == [e[4] for e in calls(out.log, "call")]


def test_classes_are_never_sampled_nor_external():
    out = run_program("""
        class P:
            def __init__(self, v):
                self.v = v
        class Q(P):
            pass
        class D(dict):
            pass
        def make(v):
            return [P(v), Q(v), D(), len("ab")]
        def main():
            make(1)
            P(2)
        """).check()
    log = [e for e in out.log if e[0] in ("call", "ret", "ext", "extret")]
    assert [e[0:3] for e in log] == [
        ["call", "<function make>", [1]],
        ["ext", "<type D>", False],
        ["extret", "<D>", log[1][3]],
        ["ext", "<builtin_function_or_method len>", False],
        ["extret", 2, log[3][3]],
        ["ret", ["<P>", "<Q>", "<D>", 2], log[0][4]],
    ]


def test_project_functions_called_from_native_code_pass_no_call_site():
    out = run_program("""
        def key(v):
            return -v
        def main():
            return [sorted([3, 1, 2], key=key), list(map(key, [1, 2]))]
        """).check()
    assert out.result == [[3, 2, 1], [-1, -2]]
    assert calls(out.log, "call") == []


def test_recording_bit_follows_the_caller_after_a_sampled_call():
    # Outside a recorded call, a sampled call leaves nothing reported afterwards;
    # inside one, external calls after the nested sampled call are still reported.
    out = run_program("""
        def leaf(x):
            return x
        def outer():
            leaf(1)
            return abs(-5)
        def main():
            leaf(0)
            abs(-3)
            outer()
            abs(-4)
        """).check()
    seq = [(e[0], e[1]) for e in out.log if e[0] in ("call", "ext")]
    assert seq == [("call", "<function leaf>"), ("call", "<function outer>"),
                   ("call", "<function leaf>"),
                   ("ext", "<builtin_function_or_method abs>")]


def test_generator_and_coroutine_results():
    out = run_program("""
        import gc
        def gen(n):
            yield from range(n)
        async def coro(x):
            return x
        def main():
            total = sum(gen(4))
            for i in range(3):
                c = coro(i)
                c.close()
            del c
            gc.collect()
            return [total, rec.live()]
        """).check()
    total, live = out.result
    assert total == 6
    kinds = [(e[0], e[1]) for e in out.log if e[0] in ("call", "ret")]
    assert kinds == [("call", "<function gen>"), ("ret", "<generator>")] + \
        [("call", "<function coro>")] * 3
    # No return callback for coroutines, and their records are not kept alive.
    assert live["records"] == 0
    assert ["async-callback"] not in out.log


def test_exception_from_sampled_call_reaches_the_caller_unchanged():
    out = run_program("""
        def boom(x):
            raise ValueError("bad %s" % x)
        def main():
            try:
                boom(7)
            except ValueError as e:
                return [repr(e), e.__context__ is None, e.__traceback__.tb_next is not None]
        """).check()
    assert out.result == ["ValueError('bad 7')", True, True]
    # The return callback saw None as the value, with the ValueError pending.
    assert [r[1:2] + r[3:] for r in calls(out.log, "ret")] == [[None, "ValueError"]]


def test_no_record_object_means_no_return_callback_but_recording_goes_on():
    # record_user_function_call returning None (or raising) leaves no record object:
    # no return callback, while the call still runs as a recorded call.
    for returns in ("None", "raise"):
        out = run_program("""
            def leaf(x):
                return abs(x)
            def main():
                return [leaf(-1), leaf(-2)]
            """, recorder_extra="""
            _orig_call = record_user_function_call
            def record_user_function_call(callee, *args, **kwargs):
                _orig_call(callee, *args, **kwargs)
                if %r == "raise":
                    raise RuntimeError("no record")
                return None
            """ % returns).check()
        assert out.result == [1, 2]
        kinds = [e[0] for e in out.log]
        assert kinds == ["call", "ext", "extret", "call", "ext", "extret"], (returns, kinds)
