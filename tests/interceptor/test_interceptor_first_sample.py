"""Until the first call is sampled every flag byte is 0 and the loop skips
its flag bookkeeping; these scenarios cross from that state into recording
at the awkward places: inside an operation, inside a release, and through a
byte put in the per-thread store from outside."""
# The project functions below are module-level (sampled at rate 1.0); the
# drivers are nested functions, which are never sampled, so the first
# sampled call happens exactly where each scenario puts it.
import textwrap

SCENARIO = '''
    fake_recorder.install()
    interceptor.apply({__file__}, 1.0)

    class Plus:
        def __add__(self, other):
            # run by the addition's special method slot: no call site
            return len([other, other])

    PLUS = Plus()

    class Trigger:
        def __add__(self, other):
            return target(other)

    class Dying:
        def __del__(self):
            target("from del")

    def target(x):
        # recorded: this call is external, the addition's special method is not
        len("in target")
        y = PLUS + x
        abs(-1)
        return y

    def main():
        def driver():
            %s
            len("after")
            return target(2)
        return driver()

    main()
    emit(log=[e[1:] for e in fake_recorder.LOG if e[1] in ("call", "external")])
'''


def recorded_target(arg):
    return [["call", "<function target>", [arg], {}],
            ["external", "<builtin_function_or_method len>", False],
            ["external", "<builtin_function_or_method abs>", False]]


def test_first_sample_inside_an_operation(run_script):
    run = run_script(SCENARIO % 'Trigger() + 1')
    # driver's own "after" is not reported: its frame is not recording
    assert run.result["log"] == recorded_target(1) + recorded_target(2)


def test_first_sample_inside_a_release(run_script):
    run = run_script(SCENARIO % 'Dying()')
    assert run.result["log"] == recorded_target("from del") + recorded_target(2)


def test_first_sample_at_a_plain_call_site(run_script):
    run = run_script(SCENARIO % 'pass')
    assert run.result["log"] == recorded_target(2)


# Thread T runs `worker` (defined in main) and waits in go.acquire() inside
# it while `hold` on the main thread puts T's byte in the store with the
# recording bit. Only T's external calls are logged.
STORE_SCENARIO = '''
import threading
fake_recorder.install()
interceptor.apply(%s, %s)
LIB.set_tid_to_currently_recording.argtypes = [ctypes.c_int32, ctypes.c_ubyte]
parked = threading.Lock()
go = threading.Lock()
go.acquire()

def hold(worker):
    parked.acquire()
    t = threading.Thread(target=worker, name="T")
    t.start()
    parked.acquire()
    # T is parked in go.acquire(), its byte in the store
    LIB.set_tid_to_currently_recording(ctypes.c_int32(t.ident & 0xFFFFFFFF).value, 1)
    return t

def main():
%s
    t = hold(worker)
    go.release()
    t.join()
    return abs(-5)

main()
emit(log=[e[:3] for e in fake_recorder.LOG if e[1] == "external" and e[0] == "T"])
'''


def store_scenario(project, rate, worker):
    return STORE_SCENARIO % (project, rate, textwrap.indent(textwrap.dedent(worker), "    "))


def test_byte_put_in_the_thread_store_from_outside_is_honoured(run_script):
    run = run_script(store_scenario("set()", 0.0, '''
        def worker():
            def inner():
                return abs(-3)
            parked.release()
            go.acquire()
            return inner()
    '''))
    # Back from go.acquire(), T decides with its stored byte: inner is an
    # external call (whose own call is not); the main thread's byte stayed 0.
    assert run.result["log"] == [["T", "external", "<function main.<locals>.worker.<locals>.inner>"]]


def test_unsampled_project_call_leaves_its_caller_unrecorded(run_script):
    # While a call is sampled (hold, when T decides its calls), a project
    # call that is not sampled takes the stock call path; its after-call
    # steps still clear the recording bit that its callee left set (here
    # from the store, while it waited). The store's byte also keeps the
    # loop's bookkeeping on after hold, the last sampled call, has ended.
    # The callees are locals: a global load would put the frame's entry
    # flag back.
    run = run_script(store_scenario("{__file__}", 1.0, '''
        def worker():
            after = abs
            def inner():
                # a nested project function: decided, never sampled
                waited = abs
                parked.release()
                go.acquire()
                return waited(-3)
            inner()
            return after(-4)
    '''))
    # abs(-3) is recorded with the stored byte, abs(-4) after inner() is not
    assert run.result["log"] == [["T", "external", "<builtin_function_or_method abs>"]]


def test_a_call_ending_leaves_another_threads_recording_on(run_script):
    # T's sampled call waits while the main thread's sampled calls start and
    # end: T's byte, parked in the store, must still count when T goes on.
    run = run_script('''
        import threading
        fake_recorder.install()
        interceptor.apply({__file__}, 1.0)
        waiting = threading.Lock()
        go = threading.Lock()
        waiting.acquire()
        go.acquire()

        def waits():
            waiting.release()
            go.acquire()
            return abs(-1)

        def quick():
            return len("q")

        def main():
            t = threading.Thread(target=waits, name="T")
            t.start()
            waiting.acquire()
            quick()
            go.release()
            t.join()

        main()
        emit(log=[e[:3] for e in fake_recorder.LOG if e[1] == "external"])
    ''')
    assert run.result["log"] == [
        ["T", "external", "<method_descriptor lock.release>"],
        ["T", "external", "<method_descriptor lock.acquire>"],
        ["MainThread", "external", "<builtin_function_or_method len>"],
        ["T", "external", "<builtin_function_or_method abs>"]]
