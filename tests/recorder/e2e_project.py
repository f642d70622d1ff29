"""A small project program recorded end to end by test_recorder_end_to_end.

Each scenario_* function is called by the driver once the interceptor is
installed with this file as the only project file."""

import contextlib
import shlex
import threading

FACTOR = 3


class Db:
    def __init__(self):
        self.host = "db.local"
        self.port = 5432


class Settings:
    def __init__(self):
        self.timeout = 7
        self.db = Db()
        self.unused = "never read"


SETTINGS = Settings()


def quoted(text):
    return shlex.quote(text)


def scenario_nested(a, b=2):
    q = quoted("a b")
    return len(q) * FACTOR + a + b


class Counter:
    def __init__(self, start):
        self.value = start

    def bump(self, by):
        self.value += by
        return self.value


def scenario_methods():
    c = Counter(10)
    c.bump(5)
    return c.bump(1)


def fails(x):
    raise ValueError("bad %d" % x)


def scenario_exception():
    try:
        fails(4)
    except ValueError as e:
        return "caught " + str(e)


def countdown(n):
    while n:
        yield n
        n -= 1


def scenario_generator():
    return list(countdown(3))


def scenario_globals():
    return SETTINGS.db.host + ":" + str(SETTINGS.db.port) + "/" + str(SETTINGS.timeout)


def scenario_with_block():
    with contextlib.nullcontext(5) as value:
        doubled = value * 2
    return doubled


def scenario_builtins(path):
    with open(path) as fh:
        text = fh.read()
    return len(text)


def scenario_lambda_and_inner():
    def helper(x):
        return x + 1
    square = lambda x: x * x  # noqa: E731
    return helper(square(3))


async def coro(x):
    return x


def scenario_coroutine():
    c = coro(1)
    c.close()
    return "closed"


def work(tag, n):
    total = 0
    for i in range(n):
        total += len(quoted("%s %d" % (tag, i)))
    return tag, total


def scenario_threads():
    results = {}

    def run(tag):
        results[tag] = work(tag, 20)
    threads = [threading.Thread(target=run, args=(t,)) for t in ("left", "right")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sorted(results.values())


def scenario_unpicklable_inner():
    before = quoted("x y")
    lock = make_lock()
    after = quoted("z")
    return before + after + str(type(lock).__name__)


class Handle:
    def __reduce__(self):
        raise TypeError("cannot pickle 'Handle' object")


def make_lock():
    return Handle()


def keyed(a, b=0, *rest, c=None, **more):
    return [a, b, list(rest), c, sorted(more)]


def scenario_keywords():
    # each call convention of the call site: positional, keywords,
    # star-arguments, and a bound method with keywords
    out = [keyed(1, c=2), keyed(3, 4, 5, c=6, d=7), keyed(*(8, 9), **{"c": 10, "e": 11})]
    out.append(Counter(0).bump(by=12))
    return out
