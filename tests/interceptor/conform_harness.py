"""Runs small programs under the interceptor in a child interpreter.

The evaluator replaces the interpreter's frame evaluator, so a fault in it can take the
whole process down: every program runs in a subprocess and reports back on stdout.

A program is a piece of source that defines `main()`.  The harness writes it to a file
of its own (that file is the project set), installs a logging call recorder under the
recorder's module name, calls `interceptor.apply`, runs `main()` and prints the log as
JSON after a marker line.  The recorder lives in another file, outside the project
set, so its own code is never a candidate for sampling.
"""
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

MARK = "@@LOG@@"
RECORDER_MODULE = "corvane_collector.data_collection.call_recorder"
CALLBACKS = ("record_external_call", "record_external_return_value",
             "record_async_external_return_value", "record_user_function_return_value",
             "record_user_async_function_return_value", "record_return_value_async",
             "record_user_function_call", "load_attr_hook", "load_global_hook")

# A recorder that logs every callback with a printable description of its arguments.
# It keeps no reference to what it is given (descriptions are strings or plain
# literals), so it does not change object lifetimes in the program under test.
LOG_RECORDER = r'''
import sys, threading, types

LOG = []
SETTINGS = {"log_loads": True, "only_thread": None}
_live = {"records": 0, "tokens": 0}
_next = [0]

class Record:
    __slots__ = ("n",)
    def __init__(self):
        _next[0] += 1
        self.n = _next[0]
        _live["records"] += 1
    def __del__(self):
        _live["records"] -= 1

class Token:
    __slots__ = ("n",)
    def __init__(self):
        _next[0] += 1
        self.n = _next[0]
        _live["tokens"] += 1
    def __del__(self):
        _live["tokens"] -= 1

def desc(v):
    if v is None or isinstance(v, (bool, int, float, str)):
        return v
    if isinstance(v, (types.FunctionType, types.BuiltinFunctionType, type)):
        return "<%s %s>" % (type(v).__name__, getattr(v, "__qualname__", v.__name__))
    if isinstance(v, types.MethodType):
        return "<method %s>" % v.__func__.__qualname__
    if isinstance(v, (types.MethodDescriptorType, types.WrapperDescriptorType)):
        return "<descriptor %s.%s>" % (v.__objclass__.__name__, v.__name__)
    if isinstance(v, (list, tuple)) and len(v) < 8:
        return [desc(x) for x in v]
    return "<%s>" % type(v).__name__

def _log(entry):
    if SETTINGS["only_thread"] is None or threading.get_ident() == SETTINGS["only_thread"]:
        LOG.append(entry)

def record_user_function_call(callee, *args, **kwargs):
    rec = Record()
    _log(["call", desc(callee), [desc(a) for a in args],
          {k: desc(v) for k, v in sorted(kwargs.items())}, rec.n])
    return rec

# The return callbacks run with the call's exception still pending, when it raised.
# Python code cannot run normally in that state (the first C call it makes fails
# with SystemError), so the very first thing they do is take the pending
# exception out of the thread state through the C API; its type is logged.
import ctypes
_api = ctypes.pythonapi
_fetch = _api.PyErr_Fetch
_fetch.argtypes = None  # no conversion: it would run Python code first
_fetch.restype = None
_decref = _api.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]
_decref.restype = None
_slots = (ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_void_p())
_FETCH_ARGS = tuple(ctypes.byref(p) for p in _slots)

def _take_pending():
    _fetch(*_FETCH_ARGS)
    name = None
    if _slots[0].value:
        name = ctypes.cast(_slots[0].value, ctypes.py_object).value.__name__
    for p in _slots:
        if p.value:
            _decref(p.value)
            p.value = None
    return name

def record_user_function_return_value(value, record):
    pending = _take_pending()
    _log(["ret", desc(value), getattr(record, "n", desc(record))] +
         ([pending] if pending else []))

def record_external_call(callee, is_python):
    tok = Token()
    _log(["ext", desc(callee), is_python, tok.n])
    return tok

def record_external_return_value(value, token):
    pending = _take_pending()
    _log(["extret", desc(value), getattr(token, "n", desc(token))] +
         ([pending] if pending else []))

def load_attr_hook(obj, name, value):
    if SETTINGS["log_loads"]:
        _log(["attr", desc(obj), name, desc(value)])

def load_global_hook(value, name):
    if SETTINGS["log_loads"]:
        _log(["global", desc(value), name])

def _unexpected(*args, **kwargs):
    _log(["async-callback"])

record_user_async_function_return_value = _unexpected
record_async_external_return_value = _unexpected
record_return_value_async = _unexpected

def live():
    return dict(_live)

CALLBACKS = @CALLBACKS@
# Importing the recorder by its dotted name imports the parent packages first:
# stand-ins for them keep the package itself out of the program.
_parts = @NAME@.split(".")
for _i in range(1, len(_parts)):
    _pkg = types.ModuleType(".".join(_parts[:_i]))
    _pkg.__path__ = []
    sys.modules.setdefault(_pkg.__name__, _pkg)
sys.modules[@NAME@] = sys.modules[__name__]
'''.replace("@NAME@", repr(RECORDER_MODULE)).replace("@CALLBACKS@", repr(CALLBACKS))

# Helpers for the programs, kept in a file of their own so that they are not project
# code (calls of them from recorded frames are external calls, never sampled).
UTIL = r'''
import sys, json, ctypes
import interceptor
_LIB = ctypes.CDLL(interceptor.__file__)

def native(name, ctype=ctypes.c_int64):
    return ctype.in_dll(_LIB, name)

def eval_slot():
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api._PyInterpreterState_GetEvalFrameFunc.restype = ctypes.c_void_p
    api._PyInterpreterState_GetEvalFrameFunc.argtypes = [ctypes.c_void_p]
    return api._PyInterpreterState_GetEvalFrameFunc(api.PyInterpreterState_Get())

def evaluator_active():
    return eval_slot() == ctypes.cast(_LIB._PyEval_EvalFrameCorvane, ctypes.c_void_p).value

def stock_active():
    return eval_slot() == ctypes.cast(ctypes.pythonapi._PyEval_EvalFrameDefault,
                                      ctypes.c_void_p).value

def emit(obj):
    sys.stdout.flush()
    print(%(mark)r + json.dumps(obj), flush=True)
'''

PROLOGUE = r'''
import sys, signal
# Started from a background job, the child may have SIGINT ignored; programs
# expect the interpreter's usual KeyboardInterrupt handler.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, %(dir)r)
%(recorder_import)s
import interceptor
from progutil import native, evaluator_active, stock_active, emit
'''

EPILOGUE = r'''
if __name__ == "__main__":
    %(apply)s
    _result = main()
    %(unapply)s
    emit({"log": getattr(rec, "LOG", None), "result": _result})
'''


# recorder_extra that tags every log entry with the thread that made the callback.
THREAD_TAG = """
_orig_log = _log
def _log(entry):
    _orig_log(entry + [threading.get_ident()])
"""


def by_thread(log):
    """Splits a log tagged with THREAD_TAG into per-thread logs (tags removed)."""
    out = {}
    for e in log:
        out.setdefault(e[-1], []).append(e[:-1])
    return out


def interceptor_available():
    try:
        import interceptor  # noqa: F401
    except ImportError:
        return False
    return hasattr(interceptor, "apply")


requires_interceptor = pytest.mark.skipif(not interceptor_available(),
                                          reason="interceptor module not built")


class Outcome:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stderr = proc.stderr
        lines = proc.stdout.splitlines()
        self.payload = None
        out = []
        for line in lines:
            if line.startswith(MARK):
                self.payload = json.loads(line[len(MARK):])
            else:
                out.append(line)
        self.stdout = "\n".join(out)

    @property
    def log(self):
        assert self.payload is not None, "program printed no log:\n%s\n%s" % (
            self.stdout, self.stderr)
        return self.payload["log"]

    @property
    def result(self):
        assert self.payload is not None, "program printed no result:\n%s\n%s" % (
            self.stdout, self.stderr)
        return self.payload["result"]

    def check(self):
        assert self.returncode == 0, "exit %s\nstdout:\n%s\nstderr:\n%s" % (
            self.returncode, self.stdout, self.stderr)
        return self


# Start of a program recorded by the package's real recorder: channels that
# only count messages, and the program's own file as the project.
REAL_RECORDER_SETUP = r'''
from corvane_collector.configs.run_settings import CollectorSettings

class Channel:
    def __init__(self):
        self.messages = 0
    def send_message(self, data):
        self.messages += 1

DATA, METRICS = Channel(), Channel()
CollectorSettings.data_subprocess = DATA
CollectorSettings.metrics_subprocess = METRICS
CollectorSettings.project_files = frozenset([__file__])
'''


def run_program(body, *, recorder=LOG_RECORDER, recorder_extra="", rate=1.0,
                project="{__file__}", apply=True, unapply=False, timeout=180, raw=False,
                tmp=None):
    """Runs BODY (source defining main()) in a child interpreter.

    recorder: source of the recorder module, or None to install none.
    recorder_extra: source appended to the recorder module.  Code that changes the
    recorder belongs there, not in BODY: a function defined in the program's own
    file is project code, and the recorder calling it would be sampled in turn.
    apply: False to leave installation to the program itself (the stock evaluator
    then runs unless the program calls interceptor.apply).
    raw: BODY is the complete program (no prologue/epilogue).
    """
    tmp = tmp or tempfile.mkdtemp(prefix="interceptor-test-")
    if recorder is not None:
        with open(os.path.join(tmp, "logrec.py"), "w") as f:
            f.write(recorder + "\n" + textwrap.dedent(recorder_extra))
        rec_import = "import logrec as rec"
    else:
        rec_import = "rec = None"
    with open(os.path.join(tmp, "progutil.py"), "w") as f:
        f.write(UTIL % {"mark": MARK})
    if raw:
        source = textwrap.dedent(body)
    else:
        prologue = PROLOGUE % {"dir": tmp, "recorder_import": rec_import}
        epilogue = EPILOGUE % {
            "apply": ("interceptor.apply(%s, %r)" % (project, rate)) if apply else "pass",
            "unapply": "interceptor.set_defualt_interpter()" if unapply else "pass"}
        source = prologue + textwrap.dedent(body) + epilogue
    path = os.path.join(tmp, "prog.py")
    with open(path, "w") as f:
        f.write(source)
    proc = subprocess.run([sys.executable, "-X", "faulthandler", path], capture_output=True,
                          text=True, timeout=timeout, cwd=tmp)
    return Outcome(proc)


def run_both(body, **kw):
    """Runs BODY under the stock evaluator and under the interceptor; returns both."""
    stock = run_program(body, apply=False, **kw).check()
    ours = run_program(body, **kw).check()
    return stock, ours


def calls(log, kind):
    return [e for e in log if e[0] == kind]
