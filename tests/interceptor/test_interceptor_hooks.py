"""Return-value, external-call and load hooks, and the release of records."""
from corv_log_helpers import entries


def test_return_values_and_exceptions_reach_the_recorder_and_the_caller(run_script):
    run = run_script('''
        import sys
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        class Boom(ValueError):
            pass
        err = Boom("bad")
        def five():
            return 5
        def fails():
            raise err
        def gen():
            yield 1
            yield 2
        def main():
            out = [five()]
            try:
                fails()
            except Boom as e:
                out.append(e is err)
                out.append(e.__context__ is None)
            g = gen()
            out.append(list(g))
            return out
        emit(out=main(), log=fake_recorder.LOG, seen=fake_recorder.PENDING)
    ''')
    assert run.result["out"] == [5, True, True, [1, 2]]
    assert entries(run.result["log"], "return") == [
        ["return", 5, "<function five>"],
        ["return", None, "<function fails>"],
        ["return", "<generator>", "<function gen>"],
    ]
    # The raised exception is pending while the callback runs, and only then.
    assert run.result["seen"] == [None, "<Boom>", None]


def test_coroutine_results_get_no_callback_and_leak_nothing(run_script):
    run = run_script('''
        import asyncio, gc, types
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        async def project_coro(x):
            await asyncio.sleep(0)
            return x + 1
        @types.coroutine
        def iterable_coro():
            yield
        def main():
            total = 0
            for i in range(200):
                total += asyncio.run(project_coro(i))
            for i in range(200):
                c = iterable_coro()
                c.close()
            return total
        def run_lib_coros():
            # an external coroutine function, called while recording
            async def helper():
                return 1
            for i in range(200):
                co = asyncio.sleep(0)
                co.close()
        def recording():
            run_lib_coros()
            return 0
        total = main()
        recording()
        gc.collect()
        emit(total=total, records=fake_recorder.Record.live, tokens=fake_recorder.Token.live,
             kinds=sorted({e[1] for e in fake_recorder.LOG}),
             coro_returns=[e for e in fake_recorder.LOG
                           if e[1] == "return" and e[2] in ("<coroutine>", "<generator>")])
    ''', timeout=300)
    assert run.result["total"] == sum(range(1, 201))
    assert run.result["records"] == 0
    assert run.result["tokens"] == 0
    assert run.result["coro_returns"] == []


def test_sampled_calls_in_a_loop_keep_reference_counts_stable(run_script):
    run = run_script('''
        import sys, gc
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        fake_recorder.QUIET = True   # keep memory flat
        arg = object()
        kw = object()
        def project(a, k=None):
            return a
        def main():
            before = (sys.getrefcount(arg), sys.getrefcount(kw))
            for _ in range(100000):
                project(arg, k=kw)
                project(*(arg,), **{"k": kw})
            return before, (sys.getrefcount(arg), sys.getrefcount(kw))
        before, after = main()
        gc.collect()
        emit(before=before, after=after, records=fake_recorder.Record.live)
    ''', timeout=300)
    assert run.result["before"] == run.result["after"]
    assert run.result["records"] == 0


def test_external_calls_are_reported_with_their_callee(run_script):
    run = run_script('''
        import json
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        class Thing:
            def __init__(self):
                self.made = True
        class Native:
            pass
        def project(x):
            lst = []
            lst.append(len(x))
            json.dumps(lst)
            dict.fromkeys("ab")
            Thing()
            Native()
            return lst
        def main():
            return project("abc")
        emit(out=main(), log=fake_recorder.LOG)
    ''')
    assert run.result["out"] == [3]
    log = entries(run.result["log"], "external", "external_return")
    assert log == [
        ["external", "<builtin_function_or_method len>", False],
        ["external_return", 3, "<builtin_function_or_method len>"],
        ["external", "<method_descriptor list.append>", False],
        ["external_return", None, "<method_descriptor list.append>"],
        ["external", "<function dumps>", True],
        ["external_return", "[3]", "<function dumps>"],
        ["external", "<builtin_function_or_method dict.fromkeys>", False],
        ["external_return", "<dict>", "<builtin_function_or_method dict.fromkeys>"],
        # a class whose first __init__ is native counts as external
        ["external", "<type Native>", False],
        ["external_return", "<Native>", "<type Native>"],
    ]
    # the project class is neither sampled nor external
    assert not [e for e in run.result["log"]
                if e[1] in ("call", "external") and "Thing" in str(e)]


def test_no_external_reports_inside_library_code_or_outside_recording(run_script):
    run = run_script('''
        import json
        fake_recorder.install()
        fake_recorder.EXTERNAL_NONE = True
        interceptor.apply({__file__}, 1.0)
        def helper(v):
            return v
        def project():
            # json's own calls (and the sort key run by native code) are not reported
            sorted([3, 1, 2], key=helper)
            return json.dumps({"a": [1, 2]}, default=helper)
        def main():
            abs(-1)          # not recording: never reported
            return project()
        emit(out=main(), log=fake_recorder.LOG)
    ''')
    log = entries(run.result["log"], "external", "external_return", "call")
    assert log == [
        ["call", "<function project>", [], {}],
        ["external", "<builtin_function_or_method sorted>", False],
        ["external", "<function dumps>", True],
    ]


def test_callbacks_that_raise_keep_the_users_exception(run_script):
    run = run_script('''
        import sys
        fake_recorder.install()
        fake_recorder.RAISE.update({"record_external_call", "record_external_return_value",
                                    "record_user_function_return_value", "load_attr_hook",
                                    "load_global_hook"})
        interceptor.apply({__file__}, 1.0)
        G = 10
        class O:
            x = 1
        def gen():
            try:
                yield 1
            finally:
                out.append(("finally-in-gen", len("ab"), O.x, G))
        out = []
        def project():
            try:
                try:
                    raise KeyError("first")
                finally:
                    out.append(("finally", len("abc"), O().x, G, repr(sys.exc_info()[1])))
            except KeyError as e:
                out.append(("handler", abs(-4), G, repr(e), repr(sys.exc_info()[1])))
            g = gen()
            next(g)
            g.close()
            try:
                raise ValueError("second")
            except ValueError:
                try:
                    int("x")
                except ValueError as inner:
                    out.append(("inner", str(inner), repr(inner.__context__)))
            return "done"
        def main():
            return project()
        emit(r=main(), out=out, log_kinds=sorted({e[1] for e in fake_recorder.LOG}))
    ''')
    assert run.result["r"] == "done"
    assert run.result["out"] == [
        ["finally", 3, 1, 10, "KeyError('first')"],
        ["handler", 4, 10, "KeyError('first')", "KeyError('first')"],
        ["finally-in-gen", 2, 1, 10],
        ["inner", "invalid literal for int() with base 10: 'x'", "ValueError('second')"],
    ]
    assert {"external", "attr", "global", "return"} <= set(run.result["log_kinds"])


def test_garbage_record_objects_are_handed_back_unchanged(run_script):
    run = run_script('''
        fake_recorder.install()
        fake_recorder.GARBAGE.add("record_user_function_call")
        interceptor.apply({__file__}, 1.0)
        def project():
            return 1
        def main():
            return project()
        emit(r=main(), log=fake_recorder.LOG)
    ''')
    assert run.result["r"] == 1
    assert entries(run.result["log"], "return") == [["return", 1, 42]]


def test_attribute_and_global_loads_in_recorded_frames(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        LIMIT = 3
        class Point:
            def __init__(self, x):
                self.x = x
            def norm(self):
                return abs(self.x)
            @property
            def doubled(self):
                return abs(self.x) * 2
        def project(p):
            a = p.x
            b = p.norm()
            c = p.doubled
            try:
                p.missing
            except AttributeError:
                pass
            return a + b + c + LIMIT + len("")
        def main():
            p = Point(-2)
            p.x        # not recording: not reported
            return project(p)
        emit(r=main(), log=fake_recorder.LOG)
    ''')
    assert run.result["r"] == -2 + 2 + 4 + 3
    log = entries(run.result["log"], "attr", "global", "external")
    # norm is sampled too, so its own loads and calls are reported; the
    # property getter runs with recording suspended, so only its result is.
    assert log == [
        ["attr", "<Point>", "x", -2],
        ["attr", "<Point>", "norm", "<function Point.norm>"],
        ["attr", "<Point>", "x", -2],
        ["external", "<builtin_function_or_method abs>", False],
        ["attr", "<Point>", "doubled", 4],
        ["global", 3, "LIMIT"],
        ["external", "<builtin_function_or_method len>", False],
    ]


def test_opcode_cache_hits_are_not_reported_but_globals_always_are(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        SCALE = 2
        class Box:
            def __init__(self):
                self.v = 1
        def project(b):
            return b.v * SCALE
        def main():
            b = Box()
            counts = []
            for i in range(1100):
                del fake_recorder.LOG[:]
                project(b)
                counts.append(sorted(e[1] for e in fake_recorder.LOG
                                     if e[1] in ("attr", "global")))
            return counts
        counts = main()
        emit(first=counts[0], last=counts[-1])
    ''')
    assert run.result["first"] == ["attr", "global"]
    assert run.result["last"] == ["global"]
