"""Runs one CPython regression test module with a chosen frame evaluator.

Usage: python driver.py MODE STATS_JSON TEST_NAME [regrtest options...]

MODE is one of
  stock       the interpreter's own evaluator, nothing imported
  rate0       interceptor.apply(set(), 0.0), with the minimal recorder bound
  rate1       the test module's own files as the project set, rate 1.0, with the
              minimal recorder (conformance/fake_recorder.pyx) bound as the call recorder
  rate1-real  same project set and rate, with the package's real call recorder

The evaluator is installed before test.libregrtest is imported, so every frame the
test module runs is evaluated by it.  Whether it really is the active evaluator is
checked through the interpreter state's frame-evaluation slot, before and after the
run, and written to STATS_JSON together with the recorder's counters.

Environment:
  CORVANE_INTERCEPTOR_DIR  directory holding interceptor*.so (loaded from there)
  CORVANE_FAKE_RECORDER_DIR  directory holding the compiled minimal recorder
"""
import ctypes
import json
import os
import sys

RECORDER_MODULE = "corvane_collector.data_collection.call_recorder"


def test_files(test_name):
    """The source files that make up a regression test module (or package)."""
    import test as test_pkg
    testdir = os.path.dirname(test_pkg.__file__)
    base = test_name[5:] if test_name.startswith("test.") else test_name
    path = os.path.join(testdir, *base.split("."))
    files = set()
    if os.path.isdir(path):
        for root, _dirs, names in os.walk(path):
            for name in names:
                if name.endswith(".py"):
                    files.add(os.path.join(root, name))
    elif os.path.exists(path + ".py"):
        files.add(path + ".py")
    return files


def eval_slot():
    """Address currently stored in the interpreter's frame-evaluation slot."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api._PyInterpreterState_GetEvalFrameFunc.restype = ctypes.c_void_p
    api._PyInterpreterState_GetEvalFrameFunc.argtypes = [ctypes.c_void_p]
    return api._PyInterpreterState_GetEvalFrameFunc(api.PyInterpreterState_Get())


def symbol_address(lib, name):
    try:
        return ctypes.cast(getattr(lib, name), ctypes.c_void_p).value
    except AttributeError:
        return None


def register_recorder(module):
    """Makes MODULE what importing the recorder's dotted name gives.  The import
    machinery also imports the parent packages, so stand-ins for them are registered
    too unless they are already loaded."""
    import types
    parts = RECORDER_MODULE.split(".")
    for i in range(1, len(parts)):
        name = ".".join(parts[:i])
        if name not in sys.modules:
            pkg = types.ModuleType(name)
            pkg.__path__ = []
            sys.modules[name] = pkg
    sys.modules[RECORDER_MODULE] = module


class CountingChannel:
    """In-memory handler channel: counts what would be sent, keeps nothing."""

    def __init__(self):
        self.messages = 0
        self.bytes = 0

    def send_message(self, data):
        self.messages += 1
        self.bytes += len(data) if data else 0


def install_real_recorder(test_name):
    """Imports the package's recorder and points its settings at in-memory
    channels; returns an object whose stats() reports what was sent."""
    import importlib
    import types
    from corvane_collector.configs.run_settings import CollectorSettings
    from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
    data, metrics = CountingChannel(), CountingChannel()
    # Built before recording starts, as the starter does: otherwise the first
    # record imports the whole serializer inside the test's own call.
    CollectorSettings.serializer = IpcPickleSerializer()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = metrics
    CollectorSettings.project_files = frozenset(test_files(test_name))
    import test as test_pkg
    CollectorSettings.project_path = os.path.dirname(test_pkg.__file__)
    importlib.import_module(RECORDER_MODULE)
    return types.SimpleNamespace(stats=lambda: {
        "data_messages": data.messages, "data_bytes": data.bytes,
        "metric_messages": metrics.messages})


def install(mode, test_name):
    """Installs the evaluator for MODE; returns (expected slot address, recorder)."""
    if mode == "stock":
        return symbol_address(ctypes.pythonapi, "_PyEval_EvalFrameDefault"), None
    so_dir = os.environ.get("CORVANE_INTERCEPTOR_DIR")
    if so_dir:
        from interceptor_file import load_interceptor
        interceptor = load_interceptor(so_dir)
    else:
        import interceptor
    recorder = None
    # apply() installs nothing unless it can import a recorder; at rate 0 with an
    # empty project set the minimal one is never called, but it must be there.
    if mode in ("rate0", "rate1"):
        rec_dir = os.environ.get("CORVANE_FAKE_RECORDER_DIR")
        if rec_dir:
            sys.path.insert(0, rec_dir)
        import fake_recorder
        if rec_dir:
            sys.path.remove(rec_dir)
        register_recorder(fake_recorder)
        recorder = fake_recorder
    elif mode == "rate1-real":
        recorder = install_real_recorder(test_name)
    if mode == "rate0":
        interceptor.apply(set(), 0.0)
    else:
        interceptor.apply(test_files(test_name), 1.0)
    lib = ctypes.CDLL(interceptor.__file__)
    return symbol_address(lib, "_PyEval_EvalFrameCorvane"), recorder


def reset_signals():
    """A runner started in the background of a non-interactive shell passes on
    SIGINT and SIGQUIT ignored; the interpreter then installs no KeyboardInterrupt
    handler and the tests of interrupts fail whatever the evaluator.  Give every
    run the dispositions of an interpreter started from a terminal."""
    import signal
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    for sig in (signal.SIGQUIT, signal.SIGHUP):
        if signal.getsignal(sig) == signal.SIG_IGN:
            signal.signal(sig, signal.SIG_DFL)


def main():
    reset_signals()
    mode, stats_path, test_name = sys.argv[1:4]
    regrtest_args = sys.argv[4:]
    expected, recorder = install(mode, test_name)
    stats = {"mode": mode, "test": test_name,
             "evaluator_expected": expected, "evaluator_before": eval_slot(),
             "project_files": len(test_files(test_name)) if mode.startswith("rate1") else 0}

    def write_stats(code):
        stats["evaluator_after"] = eval_slot()
        stats["evaluator_active"] = (expected is not None
                                     and stats["evaluator_before"] == expected
                                     and stats["evaluator_after"] == expected)
        stats["exit_code"] = code
        if recorder is not None and hasattr(recorder, "stats"):
            stats["recorder"] = recorder.stats()
        with open(stats_path, "w") as f:
            json.dump(stats, f)

    from test.libregrtest import main as regrtest_main
    sys.argv = [sys.argv[0]] + regrtest_args + [test_name]
    code = 0
    try:
        regrtest_main()
    except SystemExit as exc:
        code = exc.code
    write_stats(code)
    sys.exit(code)


if __name__ == "__main__":
    main()
