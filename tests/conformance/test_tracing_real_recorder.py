"""A trace or profile function the program installs sees the program, never the recorder.

The program below runs its workload once under the stock evaluator and once with
everything in its file sampled by the package's real recorder (in-memory channels).
The events its sys.settrace and sys.setprofile functions receive must be the same in
both runs: the recorder's callbacks (and the pickling they do) run Python code of their
own, which a debugger or profiler attached to the program must neither see nor pay for.
"""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "interceptor"))
from conform_harness import REAL_RECORDER_SETUP, requires_interceptor, run_program  # noqa: E402

# Lives next to the program, outside the project set: the functions the
# interpreter calls back are not candidates for sampling themselves.
TRACER = r'''
import os, sys, threading

EVENTS = []

def _value(v):
    if v is None or type(v) in (bool, int, str):
        return v
    return "<%s>" % type(v).__name__

def _where(frame):
    return os.path.basename(frame.f_code.co_filename), frame.f_code.co_name, frame.f_lineno

def tracer(frame, event, arg):
    EVENTS.append(("trace", event) + _where(frame) +
                  (_value(arg) if event == "return" else None,))
    return tracer

def profiler(frame, event, arg):
    if event in ("c_call", "c_return", "c_exception"):
        detail = getattr(arg, "__qualname__", None) or getattr(arg, "__name__", "?")
    elif event == "return":
        detail = _value(arg)
    else:
        detail = None
    EVENTS.append(("profile", event) + _where(frame) + (detail,))

def start(trace=True, profile=True):
    if profile:
        sys.setprofile(profiler)
    if trace:
        sys.settrace(tracer)

def stop():
    sys.settrace(None)
    sys.setprofile(None)
    events = list(EVENTS)
    del EVENTS[:]
    return events
'''

PROGRAM = REAL_RECORDER_SETUP + r'''
import json, textwrap

LIMIT = 3

class Account:
    rate = 2
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance
    def deposit(self, amount):
        if amount <= 0:
            raise ValueError("amount must be positive")
        self.balance += amount * self.rate
        return self.balance
    @property
    def label(self):
        return "%s:%d" % (self.owner, self.balance)

def numbers(n):
    for i in range(n):
        yield i * LIMIT

class Block:
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return False

def work(n):
    acc = Account("ann", n)
    total = 0
    for v in numbers(n):
        total += acc.deposit(v + 1)
    try:
        acc.deposit(-1)
    except ValueError as exc:
        total += len(str(exc))
    with Block():
        text = textwrap.indent(json.dumps({"t": total, "l": acc.label}), "  ")
    return sorted([total, len(text), max(n, 2)])

def main():
    import tracer_util
    tracer_util.start(@TRACE@, @PROFILE@)
    results = [work(i) for i in range(4)]
    events = tracer_util.stop()
    return {"results": results, "events": events, "active": evaluator_active(),
            "records": DATA.messages}
'''


def _run(trace, profile, apply):
    import tempfile
    tmp = tempfile.mkdtemp(prefix="tracing-real-")
    with open(os.path.join(tmp, "tracer_util.py"), "w") as f:
        f.write(TRACER)
    body = PROGRAM.replace("@TRACE@", repr(trace)).replace("@PROFILE@", repr(profile))
    return run_program(body, recorder=None, apply=apply, tmp=tmp).check().result


@requires_interceptor
@pytest.mark.parametrize("trace,profile", [(True, False), (False, True), (True, True)],
                         ids=["settrace", "setprofile", "both"])
def test_user_tracer_sees_the_same_events_with_the_real_recorder(trace, profile):
    stock = _run(trace, profile, apply=False)
    ours = _run(trace, profile, apply=True)
    assert not stock["active"] and ours["active"]
    # The recorder really recorded the traced calls (and so ran its callbacks,
    # pickling included, while the user's functions were installed).
    assert ours["records"] >= 4 and stock["records"] == 0
    assert ours["results"] == stock["results"]
    files = {e[2] for e in stock["events"]}
    assert "prog.py" in files and "textwrap.py" in files
    kinds = {e[0] for e in stock["events"]}
    assert kinds == {k for k, on in (("trace", trace), ("profile", profile)) if on}
    extra = [e for e in ours["events"] if e not in stock["events"]]
    assert extra == [], "events the program did not cause: %s" % extra[:10]
    assert ours["events"] == stock["events"]
