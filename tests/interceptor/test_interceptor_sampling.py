"""Call-site decision: project membership, sampling generator, argument shapes."""
from corv_log_helpers import entries

MASK64 = (1 << 64) - 1


def xorshift(x):
    x &= MASK64
    x ^= (x << 13) & MASK64
    s = x - (1 << 64) if x >> 63 else x
    s ^= s >> 7
    x = s & MASK64
    x ^= (x << 17) & MASK64
    return x - (1 << 64) if x >> 63 else x


def expected_samples(seed, bound, n):
    out = []
    for _ in range(n):
        seed = xorshift(seed)
        a = seed if seed >= 0 else (-seed if seed != -(1 << 63) else seed)
        out.append(a < bound)
    return out, seed


def test_sampling_follows_the_xorshift_generator(run_script):
    seed = 0x1234_5678_9ABC_DEF1
    run = run_script(f'''
        fake_recorder.install()
        interceptor.apply({{__file__}}, 0.5)
        native("c_int64", "random_seed").value = {seed}
        def project(i):
            return i
        def main():
            for i in range(300):
                project(i)
        main()
        emit(log=fake_recorder.LOG, seed=native("c_int64", "random_seed").value,
             bound=native("c_int64", "upper_bound").value)
    ''')
    flags, final_seed = expected_samples(seed, run.result["bound"], 300)
    sampled = [e[2][0] for e in entries(run.result["log"], "call")]
    assert sampled == [i for i, f in enumerate(flags) if f]
    assert 100 < len(sampled) < 200
    assert run.result["seed"] == final_seed


def test_zero_seed_samples_everything_unless_bound_is_zero(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 0.01)
        def project(i):
            return i
        def main(n):
            for i in range(n):
                project(i)
        native("c_int64", "random_seed").value = 0
        main(20)
        with_bound = len(fake_recorder.LOG)
        interceptor.set_collecting_rate(0.0)
        del fake_recorder.LOG[:]
        main(20)
        emit(with_bound=with_bound, without=len(fake_recorder.LOG))
    ''')
    # each sampled call logs the call and its return
    assert run.result == {"with_bound": 40, "without": 0}


def test_lambdas_nested_functions_and_classes_are_never_sampled(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        class Project:
            def __init__(self, x):
                self.x = x
        anon = lambda x: x
        def outer():
            def inner(x):
                return x
            return inner
        inner = outer()
        def main():
            # (the prelude's helpers live in this file: read the seed directly)
            before = ctypes.c_int64.in_dll(LIB, "random_seed").value
            anon(1)
            inner(2)
            Project(3)
            [x for x in range(3)]
            return before
        before = main()
        emit(log=fake_recorder.LOG, before=before,
             after=native("c_int64", "random_seed").value)
    ''')
    calls = entries(run.result["log"], "call")
    # main itself is called from the stock module frame and is not decided;
    # `outer` is called from module level too. Nothing in main is sampled.
    assert calls == []
    # None of the candidates advanced the generator.
    assert run.result["before"] == run.result["after"]


def test_calls_outside_project_are_not_sampled(run_script):
    run = run_script('''
        import json as lib
        fake_recorder.install()
        interceptor.apply({"/nonexistent/other.py"}, 1.0)
        def project():
            return lib.dumps([1])
        def main():
            return project()
        main()
        emit(log=fake_recorder.LOG)
    ''')
    assert run.result["log"] == []


def test_argument_shapes_of_the_four_call_opcodes(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        def f(*args, **kwargs):
            return len(args) + len(kwargs)
        class Obj:
            def method(self, a):
                return a
        def main():
            o = Obj()
            f(1, 2)                       # CALL_FUNCTION
            f(1, k=2)                     # CALL_FUNCTION_KW
            args, kw = (3, 4), {"z": 5}
            f(*args, **kw)                # CALL_FUNCTION_EX
            f(*args)
            o.method("a")                 # CALL_METHOD, method found on the type
            bound = o.method
            bound("b")                    # CALL_FUNCTION on a bound method
        main()
        emit(log=fake_recorder.LOG)
    ''')
    calls = entries(run.result["log"], "call")
    assert calls == [
        ["call", "<function f>", [1, 2], {}],
        ["call", "<function f>", [1], {"k": 2}],
        ["call", "<function f>", [3, 4], {"z": 5}],
        ["call", "<function f>", [3, 4], {}],
        ["call", "<function Obj.method>", ["<Obj>", "a"], {}],
        ["call", "<method Obj.method>", ["b"], {}],
    ]
    returns = entries(run.result["log"], "return")
    assert [r[1] for r in returns] == [2, 2, 3, 2, "a", "b"]


def test_recording_bit_after_sampled_calls(run_script):
    # A sampled call made while not recording leaves the bit clear (calls
    # after it are not external calls); one made while recording leaves it
    # set (the caller's later calls are still reported).
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        def leaf():
            return 1
        def recorded():
            leaf()
            return abs(-2)
        def main():
            recorded()
            return abs(-3)
        main()
        emit(log=fake_recorder.LOG)
    ''')
    log = entries(run.result["log"], "call", "external", "return")
    assert log == [
        ["call", "<function recorded>", [], {}],
        ["call", "<function leaf>", [], {}],
        ["return", 1, "<function leaf>"],
        ["external", "<builtin_function_or_method abs>", False],
        ["return", 2, "<function recorded>"],
    ]


def test_record_callback_failures_never_disturb_the_call(run_script):
    run = run_script('''
        fake_recorder.install()
        fake_recorder.RAISE.update({"record_user_function_call",
                                    "record_user_function_return_value"})
        interceptor.apply({__file__}, 1.0)
        def project(x):
            if x < 0:
                raise ValueError("negative")
            return x * 2
        def main():
            out = [project(3)]
            try:
                project(-1)
            except ValueError as e:
                out.append(str(e))
            try:
                raise KeyError("outer")
            except KeyError:
                out.append(project(4))
                import sys
                out.append(repr(sys.exc_info()[1]))
            return out
        emit(out=main(), calls=len([e for e in fake_recorder.LOG if e[1] == "call"]))
    ''')
    assert run.result == {"out": [6, "negative", 8, "KeyError('outer')"], "calls": 3}
