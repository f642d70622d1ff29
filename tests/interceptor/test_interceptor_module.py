"""Installation, arguments, printed errors and the sampling bound."""
import math


def test_bound_arithmetic_and_rate_changes(run_script):
    run = run_script('''
        fake_recorder.install()
        bounds = {}
        interceptor.apply(set(), 1.0)
        bounds["1.0"] = native("c_int64", "upper_bound").value
        interceptor.set_collecting_rate(0.5)
        bounds["0.5"] = native("c_int64", "upper_bound").value
        interceptor.set_collecting_rate(0)
        bounds["0"] = native("c_int64", "upper_bound").value
        interceptor.set_collecting_rate(0.25)
        bounds["0.25"] = native("c_int64", "upper_bound").value
        emit(bounds=bounds, installed=evaluator_installed())
    ''')
    b = run.result["bounds"]
    assert b["1.0"] == 9223372036854775807
    assert b["0.5"] == 4611686018427387903
    assert b["0"] == 0
    assert b["0.25"] == 2305843009213693951
    assert run.result["installed"] is True


def test_set_collecting_rate_keeps_the_seed(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply(set(), 0.0)
        seed = native("c_int64", "random_seed").value
        interceptor.set_collecting_rate(0.25)
        emit(before=seed, after=native("c_int64", "random_seed").value)
    ''')
    assert run.result["before"] == run.result["after"]


def test_apply_seeds_from_urandom_each_time(run_script):
    run = run_script('''
        fake_recorder.install()
        seeds = []
        for _ in range(3):
            interceptor.apply(set(), 0.0)
            seeds.append(native("c_int64", "random_seed").value)
        emit(seeds=seeds)
    ''')
    seeds = run.result["seeds"]
    assert len(set(seeds)) == 3 and 0 not in seeds


def test_wrong_arguments_are_printed_and_change_nothing(run_script):
    run = run_script('''
        fake_recorder.install()
        r1 = interceptor.apply({"x.py"})
        installed_after_bad = evaluator_installed()
        interceptor.apply(set(), 0.5)
        r2 = interceptor.set_collecting_rate()
        bound = native("c_int64", "upper_bound").value
        for bad in (1.5, -0.1, float("nan"), float("inf"), "half", None):
            assert interceptor.set_collecting_rate(bad) is None
        bound_after = native("c_int64", "upper_bound").value
        interceptor.set_defualt_interpter()
        r3 = interceptor.apply(set(), 2.0)
        r4 = interceptor.apply(["not", "a", "set"], 0.5)
        emit(results=[r1, r2, r3, r4], installed_after_bad=installed_after_bad,
             bound=bound, bound_after=bound_after, installed_end=evaluator_installed())
    ''')
    res = run.result
    assert res["results"] == [None, None, None, None]
    assert res["installed_after_bad"] is False
    assert res["installed_end"] is False
    assert res["bound"] == res["bound_after"] == 4611686018427387903
    assert "TypeError: SS expected at least 2 arguments, got 1" in run.stderr
    assert "TypeError: S expected at least 1 argument, got 0" in run.stderr
    assert "Error: collecting_rate must be between 0.0 and 1.0" in run.lines
    assert "Error: collecting_rate must be a number" in run.lines
    assert "Error: project_files must be a set or frozenset of file paths" in run.lines


def test_recorder_import_failure_keeps_stock_evaluator(run_script):
    run = run_script('''
        import sys
        class Broken:
            def find_spec(self, name, path=None, target=None):
                if name == fake_recorder.NAME:
                    raise ImportError("recorder unavailable")
        sys.meta_path.insert(0, Broken())
        sys.modules.pop(fake_recorder.NAME, None)
        r = interceptor.apply(set(), 1.0)
        emit(r=r, installed=evaluator_installed())
    ''')
    assert run.result == {"r": None, "installed": False}
    assert run.lines == ["Error importing python script"]
    assert "ImportError: recorder unavailable" in run.stderr


def test_missing_callbacks_are_reported_in_order_and_skipped(run_script):
    run = run_script('''
        fake_recorder.install(missing=["record_external_call", "load_attr_hook",
                                       "record_user_function_return_value"])
        interceptor.apply({__file__}, 1.0)
        class P:
            def __init__(self):
                self.v = 3
        def project(p):
            return len([p.v])
        def main():
            return project(P())
        out = main()
        emit(out=out, installed=evaluator_installed(), log=fake_recorder.LOG)
    ''')
    # Printed in the order in which the callbacks are fetched.
    assert run.lines == ["Error getting record_external_call()",
                         "Error getting record_user_function_return_value()",
                         "Error getting load_attr_hook()"]
    assert run.result["out"] == 1 and run.result["installed"]
    kinds = [e[1] for e in run.result["log"]]
    assert "call" in kinds
    assert not {"external", "attr", "return"} & set(kinds)


def test_set_default_before_apply_is_harmless(run_script):
    run = run_script('''
        r = interceptor.set_defualt_interpter()
        emit(r=r, installed=evaluator_installed(), doc=interceptor.apply.__doc__,
             names=sorted(n for n in dir(interceptor) if not n.startswith("__")))
    ''')
    assert run.result == {"r": None, "installed": False, "doc": "apply.",
                          "names": ["apply", "set_collecting_rate", "set_defualt_interpter"]}


def test_exported_state_and_thread_id(run_script):
    run = run_script('''
        import threading
        fake_recorder.install()
        interceptor.apply({"p.py"}, 0.0)
        masks = [native("c_ubyte", "IS_IN_RECORDING_STATE_MASK").value,
                 native("c_ubyte", "IS_IN_ABORT_STATE_MASK").value]
        tid = native("c_uint64", "curr_tid").value
        init = ctypes.cast(native("c_void_p", "init_str").value, ctypes.py_object).value
        pf = ctypes.cast(native("c_void_p", "project_files").value, ctypes.py_object).value
        emit(masks=masks, tid_ok=(tid == threading.get_ident()), init=init,
             hash_ok=native("c_int64", "init_str_hash").value == hash("__init__"),
             pf=sorted(pf), flag=native("c_ubyte", "g_currently_recording").value)
    ''')
    assert run.result == {"masks": [1, 2], "tid_ok": True, "init": "__init__", "hash_ok": True,
                          "pf": ["p.py"], "flag": 0}


def test_maps_are_separate_from_the_metadata_probe(run_script):
    run = run_script('''
        import corvane_collector.data_collection.metadata_probe as mp
        probe = ctypes.PyDLL(mp.__file__)
        for lib in (LIB, probe):
            lib.get_tid_to_currently_recording.restype = ctypes.c_ubyte
            lib.get_tid_to_currently_recording.argtypes = [ctypes.c_int32]
            lib.set_tid_to_currently_recording.argtypes = [ctypes.c_int32, ctypes.c_ubyte]
            lib.get_pyobject_to_pyobject_item.restype = ctypes.c_void_p
            lib.get_pyobject_to_pyobject_item.argtypes = [ctypes.c_void_p]
            lib.set_pyobject_to_pyobject_item.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        LIB.set_tid_to_currently_recording(77, 1)
        probe.set_pyobject_to_pyobject_item(1234, 5678)
        emit(ours=LIB.get_tid_to_currently_recording(77),
             probe_tid=probe.get_tid_to_currently_recording(77),
             probe_obj=probe.get_pyobject_to_pyobject_item(1234),
             ours_obj=LIB.get_pyobject_to_pyobject_item(1234),
             distinct=ctypes.cast(LIB.get_tid_to_currently_recording, ctypes.c_void_p).value
                      != ctypes.cast(probe.get_tid_to_currently_recording, ctypes.c_void_p).value)
    ''')
    assert run.result == {"ours": 1, "probe_tid": 0, "probe_obj": 5678, "ours_obj": None,
                          "distinct": True}


def test_decref_helper_suspends_recording(run_script):
    run = run_script('''
        flag = native("c_ubyte", "g_currently_recording")
        seen = []
        class Watch:
            def __del__(self):
                seen.append(flag.value)
        LIB.Corv_Py_DecRef.argtypes = [ctypes.c_void_p]
        flag.value = 1
        LIB.Corv_Py_DecRef(None)
        after_null = flag.value
        w = Watch()
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(w))
        addr = id(w)
        del w
        LIB.Corv_Py_DecRef(addr)
        emit(seen=seen, after_null=after_null, after=flag.value)
    ''')
    assert run.result == {"seen": [0], "after_null": 1, "after": 1}
