"""The shared recording byte follows the thread that holds the GIL."""
import pytest

from corv_log_helpers import entries


def test_two_threads_handing_the_gil_back_and_forth(run_script):
    run = run_script('''
        import sys, threading, time
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        sys.setswitchinterval(1e-6)
        N = 3000
        start = threading.Barrier(2)

        # The loops below run no operation that would put the frame's own
        # flag back, so a thread that resumes mid-loop after the GIL changed
        # hands decides with whatever byte is current.
        stop = []

        def recorded_worker():
            start.wait()
            f = abs
            for i in range(N):
                f(i)
            stop.append(True)

        def make_unrecorded(stop):
            # defined inside a function: never sampled
            def unrecorded_worker():
                start.wait()
                f = len
                x = [1, 2]
                while True:
                    if stop:
                        break
                    f(x)
            return unrecorded_worker

        def main():
            a = threading.Thread(target=recorded_worker, name="A")
            b = threading.Thread(target=make_unrecorded(stop), name="B")
            a.start(); b.start()
            a.join(); b.join()

        main()
        emit(log=[e for e in fake_recorder.LOG if e[1] in ("external", "call")])
    ''', timeout=300)
    log = run.result["log"]
    by_thread = {}
    for e in log:
        by_thread.setdefault(e[0], []).append(e[1:])
    assert "B" not in by_thread, by_thread.get("B", [])[:5]
    a = by_thread["A"]
    assert a[0][:2] == ["call", "<function recorded_worker>"]
    abs_calls = [e for e in a if e[:2] == ["external", "<builtin_function_or_method abs>"]]
    assert len(abs_calls) == 3000
    # the main thread only sampled make_unrecorded (which calls nothing);
    # nothing it did while waiting for the workers was reported
    assert by_thread["MainThread"] == [["call", "<function make_unrecorded>", ["<list>"], {}]]


# The unrecorded thread gets the GIL back inside a C iterator (time.sleep
# releases it). Storing the next item then either frees the previous one (a
# release must neither park its byte under the recording thread's key nor
# take that thread's byte) or frees nothing, so that the next call decides
# with whatever byte the previous GIL holder left unless the call syncs.
NATIVE_LOOPS = {
    "frees_the_previous_item": "zip(naps, itertools.count(10 ** 6))",
    "frees_nothing": "naps",
}


@pytest.mark.parametrize("loop", sorted(NATIVE_LOOPS))
def test_thread_resuming_inside_a_native_iterator_keeps_its_own_flag(run_script, loop):
    run = run_script('''
        import itertools, sys, threading, time
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        sys.setswitchinterval(1e-6)
        N = 20000
        start = threading.Barrier(2)
        stop = []

        def recorded_worker():
            start.wait()
            f = abs
            for i in range(N):
                f(i)
            stop.append(True)

        def make_unrecorded(stop):
            def unrecorded_worker():
                start.wait()
                f = len
                x = [1, 2]
                naps = map(time.sleep, itertools.repeat(0))
                for item in %s:
                    if stop:
                        break
                    f(x)
            return unrecorded_worker

        def main():
            a = threading.Thread(target=recorded_worker, name="A")
            b = threading.Thread(target=make_unrecorded(stop), name="B")
            a.start(); b.start()
            a.join(); b.join()

        main()
        emit(log=[e for e in fake_recorder.LOG if e[1] in ("external", "call")])
    ''' % NATIVE_LOOPS[loop], timeout=300)
    by_thread = {}
    for e in run.result["log"]:
        by_thread.setdefault(e[0], []).append(e[1:])
    assert "B" not in by_thread, by_thread.get("B", [])[:5]
    abs_calls = [e for e in by_thread["A"]
                 if e[:2] == ["external", "<builtin_function_or_method abs>"]]
    assert len(abs_calls) == 20000


def test_new_threads_start_with_a_clear_flag(run_script):
    run = run_script('''
        import threading
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        def spawner():
            # recording here; the new thread's frames must not be
            def child():
                return len("abc")
            t = threading.Thread(target=child, name="child")
            t.start()
            t.join()
            return 1
        def main():
            return spawner()
        main()
        emit(log=fake_recorder.LOG)
    ''')
    assert [e for e in run.result["log"] if e[0] == "child"] == []
    assert any(e[0] == "MainThread" and e[1] == "call" for e in run.result["log"])
