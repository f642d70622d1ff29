"""The call-site decision remembers what it learnt about each code object;
every answer must stay the one a fresh decision would give."""
from corv_log_helpers import entries
from test_interceptor_sampling import xorshift


def sampled_tags(log):
    return [e[2][0] for e in entries(log, "call")]


def test_membership_follows_the_project_set_as_it_changes(run_script):
    run = run_script('''
        fake_recorder.install()
        files = {"/nowhere/else.py"}
        interceptor.apply(files, 1.0)
        def project(tag):
            return tag
        def main(tag):
            project(tag)
        def copy(s):
            return "".join(list(s))      # equal, but another object
        main("a")
        files.add(copy(__file__))
        main("b")
        files.discard(__file__)
        files.add("/other/one.py")       # may take over the freed slot
        main("c")
        files.add(copy(__file__))
        main("d")
        for i in range(2000):            # the table grows: every slot moves
            files.add("/grown/f%d.py" % i)
        main("e")
        interceptor.apply(set(files), 1.0)          # same key objects, new table
        main("f")
        interceptor.apply({copy(__file__)}, 1.0)    # an equal key the code never saw
        main("g")
        interceptor.apply(frozenset({"/only/other.py"}), 1.0)
        main("h")
        interceptor.apply(frozenset({copy(__file__)}), 1.0)
        main("i")
        interceptor.apply(set(), 1.0)
        main("j")
        emit(log=fake_recorder.LOG)
    ''')
    assert sampled_tags(run.result["log"]) == ["b", "d", "e", "f", "g", "i"]


def test_qualified_name_is_tested_on_the_function_not_its_code(run_script):
    seed = 0x0DEF_ACED_1234_5678
    run = run_script(f'''
        import types
        fake_recorder.install()
        interceptor.apply({{__file__}}, 1.0)
        native("c_int64", "random_seed").value = {seed}
        def project(tag):
            return tag
        twin = types.FunctionType(project.__code__, globals(), "twin")
        twin.__qualname__ = "factory.<locals>.twin"
        def main(tag):
            project(tag)
            twin(tag + "-twin")
        main("a")
        project.__qualname__ = "outer.<locals>.project"
        main("b")
        project.__qualname__ = "".join(["pro", "ject"])
        main("c")
        twin.__qualname__ = "twin"
        main("d")
        emit(log=fake_recorder.LOG, seed=native("c_int64", "random_seed").value)
    ''')
    assert sampled_tags(run.result["log"]) == ["a", "c", "d", "d-twin"]
    # Only the four calls that passed the name test drew from the generator.
    expected = seed
    for _ in range(4):
        expected = xorshift(expected)
    assert run.result["seed"] == expected


def test_class_calls_follow_changes_to_init_along_the_mro(run_script):
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        ns = {}
        exec(compile("def lib_init(self, *args):\\n    pass\\n", "/lib/other.py", "exec"), ns)
        lib_init = ns["lib_init"]
        class Base:
            def __init__(self):
                self.x = 1
        class Sub(Base):
            pass
        class Other:
            def __init__(self):
                self.y = 2
        def recorded(tag):
            Base()
            Sub()
            return tag
        def main(tag):
            recorded(tag)
        main("project inits")
        Base.__init__ = lib_init
        main("library init")
        del Base.__init__
        main("native init")
        Sub.__init__ = lib_init
        main("sub only")
        del Sub.__init__
        Sub.__bases__ = (Other,)
        main("new base")
        emit(log=fake_recorder.LOG)
    ''')
    phases = {}
    current = None
    for e in entries(run.result["log"], "call", "external"):
        if e[0] == "call":
            current = e[2][0]
            phases[current] = []
        else:
            phases[current].append(e[1:])
    assert phases == {
        # project classes are neither sampled nor external
        "project inits": [],
        "library init": [["<type Base>", True], ["<type Sub>", True]],
        "native init": [["<type Base>", False], ["<type Sub>", False]],
        "sub only": [["<type Base>", False], ["<type Sub>", True]],
        "new base": [["<type Base>", False]],
    }


def test_classes_made_at_a_freed_classs_address_are_judged_by_their_own_init(run_script):
    # Classes made and dropped one after another often reuse an address.
    run = run_script('''
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        ns = {}
        exec(compile("def lib_init(self):\\n    pass\\n", "/lib/other.py", "exec"), ns)
        def project_init(self):
            pass
        def recorded(cls):
            cls()
        def main(cls):
            recorded(cls)
        kinds = []
        for i in range(40):
            kind = ("project", "library", "native")[i % 3]
            body = {"project": {"__init__": project_init},
                    "library": {"__init__": ns["lib_init"]}, "native": {}}[kind]
            cls = type("C%d" % i, (), body)
            main(cls)
            kinds.append(kind)
            del cls
        emit(log=fake_recorder.LOG, kinds=kinds)
    ''')
    external = [tuple(e[1:]) for e in entries(run.result["log"], "external")]
    expected = [("<type C%d>" % i, kind == "library")
                for i, kind in enumerate(run.result["kinds"]) if kind != "project"]
    assert external == expected


def test_dead_code_objects_leave_nothing_behind(run_script):
    # Code objects made and dropped one after another often reuse an address;
    # each must be judged by its own file.
    run = run_script('''
        import gc
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        SOURCE = "def f(tag):\\n    return tag\\n"
        def make(filename):
            ns = {}
            exec(compile(SOURCE, filename, "exec"), ns)
            return ns["f"]
        def main(fn, tag):
            fn(tag)
        for i in range(300):
            fn = make(__file__ if i % 3 == 0 else "/elsewhere/%d.py" % (i % 2))
            main(fn, i)
            del fn
            gc.collect()
        emit(log=fake_recorder.LOG)
    ''')
    assert sampled_tags(run.result["log"]) == list(range(0, 300, 3))


def test_remembered_answers_live_in_the_code_objects_extra_slot(run_script):
    # Our read of the code object's extra slots agrees with the interpreter's
    # accessor, and what the slot holds is released with the code.
    run = run_script('''
        import gc
        fake_recorder.install()
        key = "".join(list(__file__))
        interceptor.apply({key}, 0.0)
        get_extra = PYLIB._PyCode_GetExtra
        get_extra.argtypes = [ctypes.py_object, ctypes.c_ssize_t,
                              ctypes.POINTER(ctypes.c_void_p)]
        LIB.corv_probe_code_info.restype = ctypes.c_void_p
        LIB.corv_probe_code_info.argtypes = [ctypes.py_object]
        LIB.corv_probe_code_extra_index.restype = ctypes.c_ssize_t
        index = LIB.corv_probe_code_extra_index()
        def via_api(code):
            out = ctypes.c_void_p()
            assert get_extra(code, index, ctypes.byref(out)) == 0
            return out.value
        def make():
            ns = {}
            exec(compile("def f():\\n    return 1\\n", "".join(list(__file__)), "exec"), ns)
            return ns["f"]
        def main(fn):
            fn()
        fn = make()
        before = [LIB.corv_probe_code_info(fn.__code__), via_api(fn.__code__)]
        base = sys.getrefcount(key)
        main(fn)
        after = [LIB.corv_probe_code_info(fn.__code__), via_api(fn.__code__)]
        during = sys.getrefcount(key)
        del fn
        gc.collect()
        emit(index=index, before=before, after=after, base=base, during=during,
             released=sys.getrefcount(key))
    ''')
    r = run.result
    assert r["index"] >= 0
    assert r["before"] == [None, None]
    assert r["after"][0] is not None and r["after"][0] == r["after"][1]
    # the code's answer holds the project set's own key while the code lives
    assert r["during"] == r["base"] + 1
    assert r["released"] == r["base"]


def test_other_extra_slot_owners_are_only_called_for_their_own_code(run_script):
    # Another owner of a code-extra index (here a ctypes callback, as a
    # debugger or profiler might register) must see its free function run
    # for the code objects it set, never for the ones only we annotated: at
    # shutdown such an owner may already be gone.
    run = run_script('''
        import gc
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        freefunc = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
        request = PYLIB._PyEval_RequestCodeExtraIndex
        request.argtypes = (freefunc,)
        request.restype = ctypes.c_ssize_t
        set_extra = PYLIB._PyCode_SetExtra
        set_extra.argtypes = (ctypes.py_object, ctypes.c_ssize_t, ctypes.c_void_p)
        set_extra.restype = ctypes.c_int
        freed = []
        FREE = freefunc(freed.append)
        other = request(FREE)
        LIB.corv_probe_code_info.restype = ctypes.c_void_p
        LIB.corv_probe_code_info.argtypes = [ctypes.py_object]
        def make(tag):
            ns = {}
            exec(compile("def f(t):\\n    return t\\n", __file__, "exec"), ns)
            return ns["f"]
        def main(fn, tag):
            fn(tag)
        ours_only = make("a")
        main(ours_only, "a")
        annotated = LIB.corv_probe_code_info(ours_only.__code__) is not None
        del ours_only
        gc.collect()
        after_ours = list(freed)
        # An owner setting its slot on a code object we annotated first, and
        # one setting it before our first look: both ways round stay intact.
        first_ours = make("b")
        main(first_ours, "b")
        set_extra(first_ours.__code__, other, 1111)
        first_other = make("c")
        set_extra(first_other.__code__, other, 2222)
        main(first_other, "c")
        main(first_ours, "d")
        still = [LIB.corv_probe_code_info(first_ours.__code__) is not None,
                 LIB.corv_probe_code_info(first_other.__code__) is not None]
        del first_ours, first_other
        gc.collect()
        emit(log=fake_recorder.LOG, annotated=annotated, after_ours=after_ours,
             freed=freed, still=still)
    ''')
    r = run.result
    assert r["annotated"] is True
    assert r["after_ours"] == []
    assert None not in r["freed"]
    assert sorted(r["freed"]) == [1111, 2222]
    assert r["still"] == [True, True]
    assert sampled_tags(r["log"]) == ["a", "b", "c", "d"]


def test_a_key_that_compares_in_python_is_asked_at_every_decision(run_script):
    # A member that only its __eq__ can match: the answer may change at any
    # time, so every decision asks it once, as the set's own lookup does.
    run = run_script('''
        fake_recorder.install()
        class Alias:
            def __init__(self, path):
                self.path, self.on, self.asked = path, True, 0
            def __hash__(self):
                return hash(self.path)
            def __eq__(self, other):
                self.asked += 1
                return self.on and other == self.path
        alias = Alias(__file__)
        files = {alias}
        interceptor.apply(files, 1.0)
        def project(tag):
            return tag
        def main(tag):
            project(tag)
        path = "".join(list(__file__))  # equal to co_filename, not the same object
        asked, plain = [], []
        for tag, on in (("a", True), ("b", True), ("c", False), ("d", True)):
            alias.on = on
            before = alias.asked
            path in files
            plain.append(alias.asked - before)
            before = alias.asked
            main(tag)
            asked.append(alias.asked - before)
        emit(log=fake_recorder.LOG, asked=asked, plain=plain)
    ''')
    assert sampled_tags(run.result["log"]) == ["a", "b", "d"]
    # main runs from the module's frame, which started before apply: one
    # decision per round, for project, asking __eq__ as often as the set's
    # own lookup does (a miss can meet the key twice on its probe path)
    assert run.result["asked"] == run.result["plain"]
    assert all(n >= 1 for n in run.result["asked"])


def test_non_members_of_a_crowded_table_are_told_apart(run_script):
    # In a big table the first slot of a non-member's probe path is often
    # taken; the answer then comes from walking the path. Functions of many
    # files outside the set stay external until their file joins the set.
    run = run_script('''
        fake_recorder.install()
        files = {"/lib/m%d.py" % i for i in range(3000)}
        files.add("".join(list(__file__)))
        interceptor.apply(files, 1.0)
        libs = []
        for i in range(40):
            ns = {}
            exec(compile("def lib%d(tag):\\n    return tag\\n" % i,
                         "/elsewhere/%d.py" % i, "exec"), ns)
            libs.append(ns["lib%d" % i])
        def main(tag):
            for fn in libs:
                fn(tag)
        def run(tag):
            main(tag)
        run("out")
        files.add("".join(["/elsewhere/", "7.py"]))
        run("one in")
        files.discard("/elsewhere/7.py")
        run("out again")
        emit(log=fake_recorder.LOG)
    ''')
    phases = {}
    current = None
    for e in entries(run.result["log"], "call", "external"):
        if e[0] == "call" and e[1] == "<function main>":
            current = e[2][0]
            phases[current] = {"sampled": [], "external": []}
        elif e[0] == "call":
            phases[current]["sampled"].append(e[1])
        else:
            phases[current]["external"].append(e[1:])
    every = [["<function lib%d>" % i, True] for i in range(40)]
    assert phases == {
        "out": {"sampled": [], "external": every},
        "one in": {"sampled": ["<function lib7>"],
                   "external": every[:7] + every[8:]},
        "out again": {"sampled": [], "external": every},
    }
