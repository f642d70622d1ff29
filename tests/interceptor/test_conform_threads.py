"""The recording flag is per thread, also when threads hand the GIL over mid-frame."""
from conform_harness import requires_interceptor, run_program, THREAD_TAG

pytestmark = requires_interceptor

PROGRAM = """
import sys, threading
N = 20000

def recorded(n, lst):
    # The loop makes its calls through a local, so no load between the loop's
    # back edge (where the GIL may change hands) and the call restores the flag.
    f = len
    for i in range(n):
        f(lst)
    return n

def main():
    sys.setswitchinterval(1e-6)
    lst = [1]
    ids = {}

    def unrecorded():
        ids["other"] = threading.get_ident()
        g = abs
        for i in range(N):
            g(i)

    # The recorded call in the main thread, the unrecorded loop in another.
    t = threading.Thread(target=unrecorded)
    t.start()
    recorded(N, lst)
    t.join()
    ids["main"] = threading.get_ident()

    # And the other way round: the thread's target is sampled at threading's call site.
    def main_loop():
        g = abs
        for i in range(N):
            g(i)
    t = threading.Thread(target=recorded, args=(N, lst))
    t.start()
    main_loop()
    t.join()
    ids["second"] = t.ident
    return ids
"""


def test_two_threads_handing_the_gil_back_and_forth():
    out = run_program(PROGRAM, recorder_extra=THREAD_TAG, timeout=300).check()
    ids = out.result
    ext = [e for e in out.log if e[0] == "ext"]
    by_thread = {}
    for e in ext:
        by_thread.setdefault((e[1], e[-1]), 0)
        by_thread[(e[1], e[-1])] += 1
    len_name = "<builtin_function_or_method len>"
    abs_name = "<builtin_function_or_method abs>"
    # Not one call of the unrecorded loops is reported, in any thread.
    assert not [k for k in by_thread if k[0] == abs_name], by_thread
    # Every call of the recorded loops is reported, and from the thread that made it.
    assert by_thread.get((len_name, ids["main"]), 0) == 20000, by_thread
    assert by_thread.get((len_name, ids["second"]), 0) == 20000, by_thread
    # Each recorded call gets its return value callback in its own thread.
    rets = [e for e in out.log if e[0] == "ret"]
    assert sorted(e[-1] for e in rets) == sorted([ids["main"], ids["second"]])


def test_new_thread_starts_not_recording():
    out = run_program("""
import threading
def recorded():
    box = []
    def body():
        box.append(abs(-1))
    t = threading.Thread(target=body)
    t.start()
    t.join()
    return box
def main():
    return recorded()
""", recorder_extra=THREAD_TAG).check()
    assert out.result == [1]
    main_tid = out.log[0][-1]
    assert all(e[-1] == main_tid for e in out.log), out.log
