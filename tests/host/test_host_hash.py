import os
import subprocess
import sys
import textwrap

from corvane_common.utils import hash as code_hash
from corvane_common.utils.func_facts import get_signature
from corvane_common.utils.hash import get_hash


def make(source, name="f", filename="<test>"):
    namespace = {}
    exec(compile(textwrap.dedent(source), filename, "exec"), namespace)
    return namespace[name]


def test_hash_is_a_hex_string_and_same_code_hashes_equal():
    a = make("def f(x):\n    return x + 1\n")
    b = make("def f(x):\n    return x + 1\n", filename="/elsewhere/other.py")
    h = get_hash(a)
    assert isinstance(h, str) and int(h, 16) >= 0
    assert get_hash(b) == h


def test_moving_a_function_does_not_change_its_hash():
    a = make("def f(x):\n    return x + 1\n")
    b = make("\n\n\n\ndef f(x):\n    return x + 1\n")
    assert a.__code__.co_firstlineno != b.__code__.co_firstlineno
    assert get_hash(a) == get_hash(b)


def test_any_change_of_the_code_changes_the_hash():
    variants = [
        "def f(x):\n    return x + 1\n",
        "def f(x):\n    return x + 2\n",
        "def f(x):\n    return x + 1.0\n",
        "def f(x):\n    return x + True\n",
        "def f(x):\n    return x - 1\n",
        "def f(y):\n    return y + 1\n",
        "def f(x, z=0):\n    return x + 1\n",
        "def f(x, *, z):\n    return x + 1\n",
        "def f(x):\n    return y + 1\n",
        "def f(x):\n    'doc'\n    return x + 1\n",
        "def f(x):\n    return x in {'a', 'b'}\n",
        "def f(x):\n    return x in {'a', 'c'}\n",
        "def f(x):\n    def g():\n        return 1\n    return g\n",
        "def f(x):\n    def g():\n        return 2\n    return g\n",
        "async def f(x):\n    return x + 1\n",
        "def f(x):\n    yield x + 1\n",
        "def g(x):\n    return x + 1\n",
    ]
    hashes = [get_hash(make(src, name="g" if src.startswith("def g") else "f")) for src in variants]
    assert len(set(hashes)) == len(variants)


def test_hash_is_the_same_in_other_processes_whatever_the_string_hash_seed():
    # A frozenset constant iterates in a seed-dependent order.
    src = "def f(x):\n    return x in {'alpha', 'beta', 'gamma', 'delta', 'eps'}\n"
    code = (
        "import textwrap\n"
        "from corvane_common.utils.hash import get_hash\n"
        f"ns = {{}}\nexec(compile({src!r}, '<t>', 'exec'), ns)\n"
        "print(get_hash(ns['f']))\n")
    digests = set()
    for seed in ("1", "2", "3"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout.strip())
    assert digests == {get_hash(make(src))}


def test_methods_hash_like_their_function_and_objects_without_code_give_none():
    class C:
        def m(self):
            return 1

        @classmethod
        def c(cls):
            return 1

        @staticmethod
        def s():
            return 1

    assert get_hash(C().m) == get_hash(C.m) == get_hash(C.m.__code__)
    assert get_hash(C.c) == get_hash(C.__dict__["c"]) is not None
    assert get_hash(C.__dict__["s"]) == get_hash(C.s) is not None
    for obj in (len, [].append, 3, None, object(), C):
        assert get_hash(obj) is None


def test_cache_stays_bounded_with_many_distinct_functions():
    for i in range(code_hash._CACHE_MAX + 500):
        get_hash(make(f"def f():\n    return {i}\n"))
    assert len(code_hash._CACHE) <= code_hash._CACHE_MAX


def test_signature_or_none():
    def f(a, b=1, *args, c, d=2, **kw) -> int:
        pass
    spec = get_signature(f)
    assert spec.args == ["a", "b"] and spec.varargs == "args" and spec.kwonlyargs == ["c", "d"]
    assert spec.defaults == (1,) and spec.kwonlydefaults == {"d": 2} and spec.varkw == "kw"
    assert get_signature(3) is None
    assert get_signature(len).args == ["obj"]

    class BadSig:
        @property
        def __signature__(self):
            raise RuntimeError("boom")

        def __call__(self):
            pass
    assert get_signature(BadSig()) is None


def test_signature_follows_changes_of_the_function():
    def f(a, b=1):
        pass
    first = get_signature(f)
    assert get_signature(f) == first
    f.__defaults__ = (2,)
    assert get_signature(f).defaults == (2,)

    def g(x, y, *, z):
        pass
    f.__code__ = g.__code__
    f.__kwdefaults__ = {"z": 0}
    assert get_signature(f).args == ["x", "y"] and get_signature(f).kwonlydefaults == {"z": 0}
    f.__annotations__ = {"x": int}
    assert get_signature(f).annotations == {"x": int}
    import inspect
    f.__signature__ = inspect.Signature([inspect.Parameter("only", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    assert get_signature(f).args == ["only"]
    del f.__signature__
    assert get_signature(f).args == ["x", "y"]


def test_signature_entries_go_with_their_functions_and_are_never_given_to_others():
    from corvane_common.utils import func_facts
    import gc
    kept = get_signature(make("def f(a, b):\n    pass\n"))    # the function is gone at once
    gc.collect()
    assert kept.args == ["a", "b"]
    before = len(func_facts._ARGSPECS)
    reused = False
    for i in range(200):
        f = make("def f(x%d):\n    pass\n" % i)
        address = id(f)
        assert get_signature(f).args == ["x%d" % i]
        assert get_signature(f) is get_signature(f)
        del f
        gc.collect()                        # (the function and its globals form a cycle)
        g = make("def g(y%d, z):\n    pass\n" % i, name="g")
        reused = reused or id(g) == address
        assert get_signature(g).args == ["y%d" % i, "z"]
        del g
        gc.collect()
    assert reused, "the allocator never reused a function's address"
    gc.collect()
    assert len(func_facts._ARGSPECS) <= before + 1


def test_hash_follows_a_function_given_other_code():
    a = make("def f(x):\n    return x + 1\n")
    b = make("def f(x):\n    return x + 2\n")
    first = get_hash(a)
    assert get_hash(a) == first == code_hash.hash_code(a.__code__)
    a.__code__ = b.__code__
    assert get_hash(a) == get_hash(b) == code_hash.hash_code(b.__code__) != first
