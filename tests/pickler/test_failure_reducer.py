"""The failure reducer and its helpers."""

import json
import threading

import pytest
import sqlalchemy.orm.session

from corvane_common.utils.obj_wrap import FunctionWrapper, UnpicklableObject
from corvane_collector.data_serialization import pickler as P

Helpers = P.UnpicklableHelpers
MOD = __name__


def stored_function():
    return 1


class Service:
    K = 2

    def __init__(self):
        self.x = 1

    def run(self):
        return self.x


class Base:
    inherited = "from base"


class Child(Base):
    own = "class level"

    def __init__(self):
        self.own_instance = 5


class Props:
    def __init__(self):
        self.reads = []

    @property
    def good(self):
        return 3

    @property
    def bad(self):
        raise RuntimeError("getter failed")


class Manager:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def __repr__(self):
        return "Manager()"


class Spy:
    """Counts every attribute read; has a Python __getattr__."""

    reads = []

    def __getattribute__(self, name):
        Spy.reads.append(name)
        return object.__getattribute__(self, name)

    def __getattr__(self, name):
        raise AttributeError(name)


def test_plain_object_state_and_funcs():
    service = Service()
    func, args, state = Helpers.__reduce__(service)
    assert func is UnpicklableObject
    assert args == (str(Service), {"run": FunctionWrapper(MOD + ".Service.run")})
    assert state == {"x": 1}  # the class constant K is left out


def test_inherited_class_attributes_are_read_with_getattr():
    _, _, state = Helpers.__reduce__(Child())
    assert state == {"own_instance": 5, "inherited": "from base"}


def test_properties():
    _, (type_text, funcs), state = Helpers.__reduce__(Props())
    assert state == {"good": 3, "reads": []}
    assert funcs == {}


def test_context_manager_dunders_are_kept():
    _, (_, funcs), _ = Helpers.__reduce__(Manager())
    assert funcs == {"__enter__": FunctionWrapper(MOD + ".Manager.__enter__"),
                     "__exit__": FunctionWrapper(MOD + ".Manager.__exit__")}


def test_functions_stored_on_the_instance_go_to_state():
    service = Service()
    service.callback = stored_function
    _, _, state = Helpers.__reduce__(service)
    assert state["callback"] is stored_function
    loaded = P.safe_pickle_loads(P.safe_pickle(threading.Lock()))
    assert type(loaded) is UnpicklableObject


def test_python_getattr_reads_nothing_else():
    Spy.reads.clear()
    assert Helpers.__reduce__(Spy()) == (UnpicklableObject, (str(Spy), {}), {})
    assert set(Spy.reads) <= {"__getattr__", "__class__"}


def test_should_use_getattr():
    child = Child()
    object_dir, class_dir = dir(child), dir(Child)
    assert not Helpers.should_use_getattr(child, "own", object_dir, class_dir)
    assert Helpers.should_use_getattr(child, "own_instance", object_dir, class_dir)
    assert Helpers.should_use_getattr(child, "inherited", object_dir, class_dir)
    props = Props()
    assert Helpers.should_use_getattr(props, "good", dir(props), dir(Props))
    slotted = threading.Lock()
    assert Helpers.should_use_getattr(slotted, "acquire", dir(slotted), dir(type(slotted)))


def test_get_full_name():
    assert Helpers.get_full_name(Service) == MOD + ".Service.__init__"
    assert Helpers.get_full_name(Service.run) == MOD + ".Service.run"
    assert Helpers.get_full_name(len) == "builtins.len"


def test_special_cases():
    assert Helpers.special_cases(sqlalchemy.orm.session.Session)
    assert not Helpers.special_cases(int)
    with pytest.raises(AttributeError):
        Helpers.special_cases(5)


def test_unpicklable_object_keeps_type_methods_and_state_after_loading():
    service = Service()
    service.lock = threading.Lock()
    service.__class__ = type("LocalService", (Service,), {"__module__": MOD})
    loaded = P.safe_pickle_loads(P.safe_pickle([1, service, 2]))
    assert loaded[0] == 1 and loaded[2] == 2
    described = loaded[1]
    assert type(described) is UnpicklableObject
    assert described.wrapped_type_name() == MOD + ".LocalService"
    assert described.x == 1
    assert type(described.lock) is UnpicklableObject
    assert described.resolve_method("run") is Service.run


class Node:
    """Has its own reduction, so it is described attribute by attribute."""

    __slots__ = ("value", "next")

    def __init__(self, value, next=None):
        self.value = value
        self.next = next

    def __reduce__(self):
        raise TypeError("not by its own reduction")


class Tree:
    def __init__(self, parent=None):
        self._parent = parent

    @property
    def parent(self):
        return self._parent

    @property
    def fresh(self):
        return Tree()

    def __reduce__(self):
        raise TypeError("not by its own reduction")


def test_getters_making_fresh_objects_of_the_same_type_are_left_out():
    import decimal
    import fractions

    # Decimal.imag and Fraction.real each return a new number whose own getter
    # returns another: described, each pickle was a chain hundreds deep.
    for number, kept, dropped in ((decimal.Decimal("1.5"), {"real": None}, "imag"),
                                  (fractions.Fraction(1, 3), {"imag": 0, "numerator": 1}, "real")):
        _, _, state = Helpers.__reduce__(number)
        assert dropped not in state
        for name, value in kept.items():
            assert state[name] is number if value is None else state[name] == value
        loaded = P.safe_pickle_loads(P.safe_pickle([number]))[0]
        assert type(loaded) is UnpicklableObject
        assert loaded.wrapped_type_str() == str(type(number))
        assert not [v for v in vars(loaded).values() if type(v) is UnpicklableObject
                    and v is not loaded and v.wrapped_type_str() == str(type(number))]

    # Stored objects of the same type are fields, not getters: a chain is kept.
    chain = P.safe_pickle_loads(P.safe_pickle(Node(1, Node(2, Node(3)))))
    assert (chain.value, chain.next.value, chain.next.next.value) == (1, 2, 3)
    root = Tree()
    _, _, state = Helpers.__reduce__(Tree(root))
    assert state["_parent"] is root and "parent" not in state and "fresh" not in state
    _, _, state = Helpers.__reduce__(root)
    assert state["_parent"] is None and state["parent"] is None


CTYPES_CHILD = r'''
import ctypes
import json
from corvane_collector.data_serialization import pickler as P

class Pair(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("name", ctypes.c_char_p)]

    def total(self):
        return self.n

class Named(Pair):  # fields inherited, so read with getattr
    pass

NOWHERE = 0xabcdef  # an address with no memory behind it
named = Named.from_buffer(bytearray(ctypes.sizeof(Named)))
ctypes.c_void_p.from_buffer(named, Named.name.offset).value = NOWHERE
named.tag = "kept"
values = {"c_char_p": ctypes.c_char_p(NOWHERE), "c_wchar_p": ctypes.c_wchar_p(NOWHERE),
          "pointer": ctypes.cast(NOWHERE, ctypes.POINTER(ctypes.c_int)), "struct": named}
described = {}
for label, value in values.items():
    loaded = P.safe_pickle_loads(P.safe_pickle([value]))[0]
    described[label] = [type(loaded).__name__, loaded.wrapped_type_name(),
                        sorted(loaded.wrapped_attributes()), loaded.method_names()]
print(json.dumps(described))
'''


def test_ctypes_values_are_described_without_reading_their_memory(tmp_path):
    # A ctypes value's `value`, `contents` and fields are read through the
    # address it holds; made from an address, reading them crashed the program.
    script = tmp_path / "ctypes_values.py"
    script.write_text(CTYPES_CHILD)
    import subprocess
    import sys
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    described = json.loads(result.stdout)
    assert described == {
        # from_param is a C class method: a value, not a bound method.
        "c_char_p": ["UnpicklableObject", "ctypes.c_char_p", ["from_param"], []],
        "c_wchar_p": ["UnpicklableObject", "ctypes.c_wchar_p", ["from_param"], []],
        "pointer": ["UnpicklableObject", "__main__.LP_c_int", [], []],
        # What the program stored on the value, and its methods, are still described.
        "struct": ["UnpicklableObject", "__main__.Named", ["tag"], ["total"]],
    }


def test_ctypes_values_keep_stored_attributes_and_methods():
    import ctypes

    class Counter(ctypes.Structure):
        _fields_ = [("n", ctypes.c_int)]

        def bump(self):
            self.n += 1

    counter = Counter(4)
    counter.label = "c"
    _, (_, funcs), state = Helpers.__reduce__(counter)
    assert state == {"label": "c"}
    assert set(funcs) == {"bump"}
    _, _, state = Helpers.__reduce__(ctypes.c_int(5))
    assert "value" not in state and "_objects" not in state
