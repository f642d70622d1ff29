"""Harness for the interceptor tests.

Installing the evaluator changes the whole interpreter, so every scenario
runs in its own subprocess. The subprocess gets a stand-in for the call
recorder (written next to the script, so that it is never project code)
which logs every callback it receives.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

FAKE_RECORDER = r'''
import sys, types, threading

NAME = "corvane_collector.data_collection.call_recorder"
LOG = []
# Names of callbacks that raise instead of answering.
RAISE = set()
# When True record_external_call answers None (nothing further reported).
EXTERNAL_NONE = False
# Callbacks that answer with a non-record value.
GARBAGE = set()
# When True nothing is logged (long loops).
QUIET = False
# Exceptions that were pending while a return-value callback ran.
PENDING = []

# The return-value callbacks run with the call's exception still pending in
# the thread state. The real recorder takes it out first thing, from native
# code; here ctypes does the same. Everything the first call needs is bound
# in advance, because looking anything up with an exception pending fails.
import ctypes as _ctypes
_fetch = _ctypes.pythonapi.PyErr_Fetch
_decref = _ctypes.pythonapi.Py_DecRef
_decref.argtypes = [_ctypes.c_void_p]
_slots = (_ctypes.c_void_p(), _ctypes.c_void_p(), _ctypes.c_void_p())
_refs = tuple(_ctypes.byref(s) for s in _slots)


def take_pending_exception():
    _fetch(*_refs)
    value = None
    if _slots[1].value:
        value = _ctypes.cast(_slots[1].value, _ctypes.py_object).value
    for s in _slots:
        if s.value:
            _decref(s.value)
            s.value = None
    return value


def describe(obj):
    name = getattr(obj, "__qualname__", None)
    if name is not None and (callable(obj) or isinstance(obj, type)):
        return "<%s %s>" % (type(obj).__name__, name)
    if isinstance(obj, (int, float, str, bool, type(None))):
        return obj
    if isinstance(obj, tuple):
        return [describe(x) for x in obj]
    return "<%s>" % type(obj).__name__


class Record:
    live = 0

    def __init__(self, callee):
        self.callee = callee
        Record.live += 1

    def __del__(self):
        Record.live -= 1


class Token:
    live = 0

    def __init__(self, callee):
        self.callee = callee
        Token.live += 1

    def __del__(self):
        Token.live -= 1


def _log(*entry):
    if QUIET:
        return
    LOG.append((threading.current_thread().name,) + entry)


def record_user_function_call(callee, *args, **kwargs):
    _log("call", describe(callee), [describe(a) for a in args],
         {k: describe(v) for k, v in sorted(kwargs.items())})
    if "record_user_function_call" in RAISE:
        raise RuntimeError("recorder failure")
    if "record_user_function_call" in GARBAGE:
        return 42
    return Record(callee)


def record_user_function_return_value(value, record):
    exc = take_pending_exception()
    PENDING.append(describe(exc))
    _log("return", describe(value), describe(getattr(record, "callee", record)))
    if "record_user_function_return_value" in RAISE:
        raise RuntimeError("recorder failure")


def record_external_call(callee, is_python):
    _log("external", describe(callee), is_python)
    if "record_external_call" in RAISE:
        raise RuntimeError("recorder failure")
    if EXTERNAL_NONE:
        return None
    return Token(callee)


def record_external_return_value(value, token):
    exc = take_pending_exception()
    PENDING.append(describe(exc))
    _log("external_return", describe(value), describe(getattr(token, "callee", token)))
    if "record_external_return_value" in RAISE:
        raise RuntimeError("recorder failure")


def load_attr_hook(owner, name, value):
    _log("attr", describe(owner), name, describe(value))
    if "load_attr_hook" in RAISE:
        raise RuntimeError("recorder failure")


def load_global_hook(value, name):
    _log("global", describe(value), name)
    if "load_global_hook" in RAISE:
        raise RuntimeError("recorder failure")


def _unused(*args):
    _log("unexpected", [describe(a) for a in args])


def install(missing=()):
    mod = types.ModuleType(NAME)
    for fn in (record_user_function_call, record_user_function_return_value,
               record_external_call, record_external_return_value,
               load_attr_hook, load_global_hook):
        setattr(mod, fn.__name__, fn)
    for name in ("record_async_external_return_value",
                 "record_user_async_function_return_value",
                 "record_return_value_async"):
        setattr(mod, name, _unused)
    for name in missing:
        delattr(mod, name)
    sys.modules[NAME] = mod
    return mod
'''

PRELUDE = '''
import sys, os, json, ctypes
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fake_recorder
import interceptor
LIB = ctypes.PyDLL(interceptor.__file__)
PYLIB = ctypes.pythonapi

def native(kind, name):
    return getattr(ctypes, kind).in_dll(LIB, name)

def evaluator_installed():
    get = PYLIB._PyInterpreterState_GetEvalFrameFunc
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.c_void_p]
    interp = PYLIB.PyInterpreterState_Get
    interp.restype = ctypes.c_void_p
    current = get(interp())
    ours = ctypes.cast(LIB._PyEval_EvalFrameCorvane, ctypes.c_void_p).value
    stock = ctypes.cast(PYLIB._PyEval_EvalFrameDefault, ctypes.c_void_p).value
    assert current in (ours, stock)
    return current == ours

def emit(**values):
    print("RESULT " + json.dumps(values, default=repr))
'''


class Run:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        results = [json.loads(line[len("RESULT "):]) for line in proc.stdout.splitlines()
                   if line.startswith("RESULT ")]
        self.result = results[-1] if results else None

    @property
    def lines(self):
        return [l for l in self.stdout.splitlines() if not l.startswith("RESULT ")]


@pytest.fixture
def run_script(tmp_path):
    """Runs `body` (after the prelude) as a script in a fresh interpreter."""
    def run(body, timeout=120, check=True):
        (tmp_path / "fake_recorder.py").write_text(FAKE_RECORDER)
        script = tmp_path / "scenario.py"
        script.write_text(PRELUDE + textwrap.dedent(body))
        proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                              timeout=timeout, cwd=str(tmp_path))
        run = Run(proc)
        if check:
            assert proc.returncode == 0, proc.stdout + proc.stderr
        return run
    return run

