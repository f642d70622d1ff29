"""What recording with the package's real recorder changes in the program, pinned.

Each program runs once under the stock evaluator and once with its own file
sampled at rate 1.0 by the real recorder (in-memory channels).  The differences
checked here are the known ones of conformance/KNOWN_DIFFERENCES.md (test_queue's
reentrancy test) and ones that were mended (test_importlib's lazy-loader tests):
both runs are checked, so a change in either (a fix, or a new way of showing) is
noticed and the notes are brought up to date with it.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "interceptor"))
from conform_harness import REAL_RECORDER_SETUP, requires_interceptor, run_program  # noqa: E402

SETUP = REAL_RECORDER_SETUP

# The program allocates no gc-tracked object between gc.enable() and its append,
# so the stock evaluator runs the finalizer at the explicit gc.collect().
FINALIZER_PROGRAM = SETUP + r'''
import gc

class Cycle:
    def __init__(self, log):
        self.log = log
        self.me = self
    def __del__(self):
        self.log.append("finalizer")

def probe(log):
    gc.disable()
    c = Cycle(log)
    del c
    gc.set_threshold(1)
    gc.enable()
    log.append("program")
    gc.collect()
    return log

def main():
    old = gc.get_threshold()
    try:
        log = probe([])
    finally:
        gc.set_threshold(*old)
    return {"log": log, "records": DATA.messages, "active": evaluator_active()}
'''

LAZY_PROGRAM = SETUP + r'''
import importlib.abc, importlib.util, sys, types

class Loader(importlib.abc.Loader):
    def __init__(self):
        self.loaded = None
    def exec_module(self, module):
        self.loaded = module

def new_module(loader):
    spec = importlib.util.spec_from_loader("lazy_probe", importlib.util.LazyLoader(loader))
    module = types.ModuleType("lazy_probe")
    module.__spec__ = spec
    module.__loader__ = spec.loader
    spec.loader.exec_module(module)
    return module

def main():
    loader = Loader()
    new_module(loader)
    still_lazy = loader.loaded is None
    sys.modules["lazy_probe"] = types.ModuleType("lazy_probe")
    try:
        module = new_module(Loader())
        try:
            module.__name__
            raised = False
        except ValueError:
            raised = True
    finally:
        del sys.modules["lazy_probe"]
    return {"still_lazy": still_lazy, "substitution_raised": raised,
            "records": DATA.messages, "active": evaluator_active()}
'''


def _both(program):
    stock = run_program(program, recorder=None, apply=False).check().result
    ours = run_program(program, recorder=None, apply=True).check().result
    assert not stock["active"] and ours["active"]
    assert stock["records"] == 0 and ours["records"] >= 1
    return stock, ours


@requires_interceptor
def test_recorder_allocations_move_where_finalizers_run():
    stock, ours = _both(FINALIZER_PROGRAM)
    assert stock["log"] == ["program", "finalizer"]
    # A collection triggered by the recorder's own allocations, in its callbacks
    # around gc.enable() and the append, runs the finalizer before the append.
    assert ours["log"] == ["finalizer", "program"]


@requires_interceptor
def test_recording_a_lazy_module_leaves_it_unloaded():
    stock, ours = _both(LAZY_PROGRAM)
    assert stock["still_lazy"] is True and stock["substitution_raised"] is True
    # Recording new_module()'s result names the module without reading its
    # attributes through its class (the size check does not measure it), so
    # the deferred exec_module still runs at the program's first attribute
    # read, and a substituted module's error is raised there.
    assert ours["still_lazy"] is True and ours["substitution_raised"] is True
