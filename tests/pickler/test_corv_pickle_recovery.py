"""Failure recovery of the base pickler: rollback, memo consistency, depth."""

import io
import pickle
import pickletools
import socket
import sys
import threading
import types

import pytest

from corvane_collector.data_serialization import corv_pickle


class Placeholder:
    def __init__(self, type_text):
        self.type_text = type_text

    def __eq__(self, other):
        return type(other) is Placeholder and other.type_text == self.type_text

    def __repr__(self):
        return f"Placeholder({self.type_text})"


def describe(obj):
    return (Placeholder, (str(type(obj)),))


def dump(obj, **kwargs):
    kwargs.setdefault("failure_reducer", describe)
    buffer = io.BytesIO()
    corv_pickle.Pickler(buffer, **kwargs).dump(obj)
    return buffer.getvalue()


def nesting_depth(value):
    depth = 0
    while isinstance(value, list) and value:
        value, depth = value[0], depth + 1
    return depth, value


class Refusing(corv_pickle.Pickler):
    """Refuses instances of Bad from reducer_override."""

    def reducer_override(self, obj):
        if type(obj) is Bad:
            raise ValueError("refused")
        return NotImplemented


class Bad:
    pass


class Partial:
    pass


class Holder:
    pass


class Registered:
    pass


class Mine:
    pass


class MyList(list):
    pass


class Undescribable:
    def __reduce_ex__(self, protocol):
        raise TypeError("cannot pickle 'Undescribable' object")


def local_function():
    def inner():
        return 1
    return inner


def test_unpicklable_in_the_middle_of_a_list_is_replaced_alone():
    lock = threading.Lock()
    shared = ["shared"]
    data = [shared, 1, lock, shared, "after", {"k": shared}]
    loaded = pickle.loads(dump(data))
    assert loaded[2] == Placeholder(str(type(lock)))
    assert loaded[:2] == [["shared"], 1]
    assert loaded[3:5] == [["shared"], "after"]
    # identity of the object memoized before the failure survives
    assert loaded[0] is loaded[3] is loaded[5]["k"]


def test_rollback_in_python_pickler_keeps_memo_consistent():
    # A local function cannot be found by name: the C pickler fails and the
    # Python pickler answers it after writing and memoizing part of it.
    shared = {"v": 1}
    holder = (shared, local_function())
    data = [shared, holder, shared, holder]
    raw = dump(data)
    pickletools.dis(raw, out=io.StringIO())  # well-formed stream
    loaded = pickle.loads(raw)
    assert loaded[0] is loaded[2] is loaded[1][0]
    assert loaded[1] is loaded[3]
    assert loaded[1][1] == Placeholder("<class 'function'>")


def test_failure_raised_by_reducer_override_is_answered():
    buffer = io.BytesIO()
    Refusing(buffer, failure_reducer=describe).dump([1, Bad(), 2])
    assert pickle.loads(buffer.getvalue()) == [1, Placeholder(str(Bad)), 2]


def test_without_failure_reducer_failures_propagate():
    with pytest.raises(TypeError, match="lock"):
        dump([threading.Lock()], failure_reducer=None)
    # interpreter exception types leave as TypeError naming the type
    with pytest.raises(TypeError, match="cannot pickle 'Bad' object: refused"):
        Refusing(io.BytesIO()).dump([Bad()])


def test_unanswerable_failure_leaves_as_type_error_naming_the_type():
    def failing_reducer(obj):
        raise RuntimeError("cannot describe")

    with pytest.raises(TypeError) as info:
        dump(local_function(), failure_reducer=failing_reducer)
    assert str(info.value).split("'")[1] == "function"
    assert isinstance(info.value.__cause__, pickle.PicklingError)
    # as a member it is omitted instead
    (marker,) = pickle.loads(dump([local_function()], failure_reducer=failing_reducer))
    assert type(marker) is corv_pickle.Omitted and "cannot describe" in marker.reason


def test_members_that_cannot_be_described_are_omitted():
    def picky(obj):
        if type(obj) is Undescribable:
            raise RuntimeError("no description")
        return describe(obj)

    holder = Holder()
    holder.engine = Undescribable()
    holder.name = "h"
    loaded = pickle.loads(dump(["keep", [Undescribable()], holder], failure_reducer=picky))
    assert loaded[0] == "keep"
    (marker,) = loaded[1]
    assert type(marker) is corv_pickle.Omitted and marker.type_text == str(Undescribable)
    assert "nor described" in marker.reason and "no description" in marker.reason
    assert type(loaded[2]) is Holder and loaded[2].name == "h"
    assert type(loaded[2].engine) is corv_pickle.Omitted
    # the value itself: the failure propagates
    with pytest.raises(TypeError, match="Undescribable"):
        dump(Undescribable(), failure_reducer=picky)


def test_special_cases_predicate_is_kept_and_validated():
    pickler = corv_pickle.Pickler(io.BytesIO(), special_cases=bool)
    assert pickler.special_cases is bool
    with pytest.raises(TypeError):
        corv_pickle.Pickler(io.BytesIO(), special_cases=5)


def _unfindable_class():
    class Unfindable:
        pass
    return Unfindable


class StateOverride(corv_pickle.Pickler):
    def reducer_override(self, obj):
        if type(obj) is Holder:
            return (Holder, (), {"x": [1, _unfindable_class()]})
        return NotImplemented


def test_members_of_reduce_value_state_are_answered_in_place():
    buffer = io.BytesIO()
    StateOverride(buffer, failure_reducer=describe).dump([Holder()])
    loaded = pickle.loads(buffer.getvalue())
    assert type(loaded[0]) is Holder and loaded[0].x == [1, Placeholder("<class 'type'>")]


def test_objects_that_already_wrote_part_of_themselves_are_rolled_back():
    obj = Partial()
    obj.fine = list(range(50))
    obj.bad = local_function()
    loaded = pickle.loads(dump([obj, "tail"]))
    assert loaded[1] == "tail"
    assert loaded[0].fine == list(range(50))
    assert loaded[0].bad == Placeholder("<class 'function'>")


@pytest.mark.parametrize("depth", [10, 10_000])
def test_deep_nesting_never_crashes(depth):
    data = []
    for _ in range(depth):
        data = [data]
    got_depth, bottom = nesting_depth(pickle.loads(dump(data)))
    if depth == 10:
        assert (got_depth, bottom) == (10, [])
    else:
        assert 100 < got_depth < depth
        assert type(bottom) is corv_pickle.Omitted and bottom.type_text == "<class 'list'>"


def test_deep_nesting_with_a_raised_recursion_limit(tmp_path):
    # Run in a child: a stack overflow there must not take the test run down.
    script = tmp_path / "deep.py"
    script.write_text(
        "import sys, io, pickle\n"
        "from corvane_collector.data_serialization import corv_pickle\n"
        "sys.setrecursionlimit(200000)\n"
        "data = []\n"
        "for _ in range(100000): data = [data]\n"
        "buf = io.BytesIO()\n"
        "corv_pickle.Pickler(buf, failure_reducer=lambda o: (str, ('cut',))).dump(data)\n"
        "value, depth = pickle.loads(buf.getvalue()), 0\n"
        "while isinstance(value, list): value, depth = value[0], depth + 1\n"
        "print(depth, type(value).__name__)\n")
    import subprocess
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    depth, bottom = result.stdout.split()
    assert int(depth) <= corv_pickle.MAX_FALLBACK_DEPTH and bottom == "Omitted"


def test_recursive_structures_keep_their_cycles():
    cyclic_list = []
    cyclic_list.append(cyclic_list)
    cyclic_dict = {}
    cyclic_dict["self"] = cyclic_dict
    loaded = pickle.loads(dump([cyclic_list, cyclic_dict, threading.Lock()]))
    assert loaded[0][0] is loaded[0]
    assert loaded[1]["self"] is loaded[1]
    # with a failure in the same dump (Python pickler path)
    loaded = pickle.loads(dump([cyclic_list, local_function(), cyclic_dict]))
    assert loaded[0][0] is loaded[0] and loaded[2]["self"] is loaded[2]


def test_socket_and_generator_in_object_state():
    holder = Holder()
    sock = socket.socket()
    try:
        holder.sock = sock
        holder.gen = (i for i in range(3))
        holder.value = 7
        loaded = pickle.loads(dump(holder))
    finally:
        sock.close()
    assert loaded.value == 7
    assert loaded.sock == Placeholder(str(socket.socket))
    assert loaded.gen == Placeholder("<class 'generator'>")


def test_dispatch_table_replaces_copyreg():
    import copyreg
    copyreg.pickle(Registered, lambda obj: (int, (42,)))
    try:
        class Plain(corv_pickle.Pickler):
            pass

        buffer = io.BytesIO()
        pickler = Plain(buffer)
        assert pickle.loads(dump(Registered())) == 42
        pickler.dispatch_table = {}
        pickler.dump(Registered())
        assert type(pickle.loads(buffer.getvalue())) is Registered
    finally:
        del copyreg.dispatch_table[Registered]


def test_reducer_override_is_consulted_for_non_builtin_objects_only():
    seen = []

    class Watching(corv_pickle.Pickler):
        def reducer_override(self, obj):
            seen.append(type(obj))
            return NotImplemented

    Watching(io.BytesIO()).dump([1, "s", 2.0, None, (1,), {1: 2}, {3}, Mine(), MyList([5])])
    assert Mine in seen and MyList in seen
    assert not set(seen) & corv_pickle.NEVER_OVERRIDDEN - {type}


def test_exceptions_with_custom_init_load_back():
    class_source = (
        "class CustomInit(Exception):\n"
        "    def __init__(self, a, b):\n"
        "        super().__init__(f'{a}-{b}')\n"
        "        self.a = a\n")
    namespace = {"__name__": __name__}
    exec(class_source, namespace)
    CustomInit = namespace["CustomInit"]
    globals()["CustomInit"] = CustomInit
    CustomInit.__qualname__ = "CustomInit"
    try:
        loaded = pickle.loads(dump(CustomInit(1, 2)))
    finally:
        del globals()["CustomInit"]
    assert type(loaded) is CustomInit
    assert loaded.args == ("1-2",) and loaded.a == 1


def test_file_without_write_and_bad_protocol_are_rejected():
    with pytest.raises(TypeError):
        corv_pickle.Pickler(object())
    with pytest.raises(ValueError):
        corv_pickle.Pickler(io.BytesIO(), protocol=99)


def test_dump_writes_once_and_loads_matches_stdlib():
    writes = []

    class Sink:
        def write(self, data):
            writes.append(bytes(data))

    corv_pickle.Pickler(Sink(), failure_reducer=describe).dump([1, threading.Lock(), local_function()])
    assert len(writes) == 1
    assert corv_pickle.loads(writes[0]) == pickle.loads(writes[0])


class RejectsState:
    def __setstate__(self, state):
        raise ValueError("state rejected at load time")


def rebuild_fails(value):
    raise RuntimeError("constructor failed at load time: %s" % value)


class RebuildFails:
    def __reduce__(self):
        return (rebuild_fails, ("x",))


def test_loads_keeps_the_rest_of_a_record_when_one_object_cannot_be_rebuilt():
    rejecting = RejectsState()
    rejecting.kept = 1
    data = pickle.dumps({"a": [1, 2], "state": rejecting, "rebuild": RebuildFails(), "z": "end"})
    with pytest.raises(Exception):
        pickle.loads(data)
    loaded = corv_pickle.loads(data)
    assert loaded["a"] == [1, 2] and loaded["z"] == "end"
    # the state is applied without the failing __setstate__
    assert type(loaded["state"]) is RejectsState and loaded["state"].kept == 1
    failure = loaded["rebuild"]
    assert type(failure) is corv_pickle.LoadFailure
    assert failure.name == __name__ + ".rebuild_fails" and "constructor failed" in failure.error
    with pytest.raises(Exception):
        corv_pickle.loads(b"\x80\x04garbage")


def test_instances_of_a_class_whose_name_was_rebound_are_answered(tmp_path):
    # as after reloading a module: the old class is no longer found by its name
    module = types.ModuleType("reloaded_mod")
    exec("class Thing:\n    def __init__(self):\n        self.v = 1\n", module.__dict__)
    sys.modules["reloaded_mod"] = module
    try:
        old = module.Thing()
        assert type(pickle.loads(dump([old]))[0]) is module.Thing  # cached as found by name
        exec("class Thing:\n    pass\n", module.__dict__)
        loaded = pickle.loads(dump([old, "after"]))
    finally:
        del sys.modules["reloaded_mod"]
    assert loaded == [Placeholder(str(type(old))), "after"]
