"""safe_pickle against the standard library's C pickle.dumps, side by side.

Run: .venv/bin/python bench/pickle_bench.py [--quick]

Prints, per case, the best CPU time per call of each and the median of the
ratios safe_pickle / pickle.dumps measured in alternating rounds; then the
CPU time per record of a
realistic recorded payload (user objects with recorded attribute usage,
functions, an exception, an unpicklable member).
"""

import argparse
import statistics
import time
import pickle
import sys
import threading
import timeit

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_serialization.pickler import safe_pickle


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y


class Service:
    def __init__(self):
        self.name = "svc"
        self.retries = 3
        self.endpoints = ["a", "b", "c"]
        self.lock = threading.Lock()

    def call(self, value):
        return value


def helper(value):
    return value


class LookupFailed(Exception):
    pass


def best_per_call(func, number, repeat):
    # CPU time of this process: other load on the machine does not count
    return min(timeit.repeat(func, number=number, repeat=repeat, timer=time.process_time)) / number


def plain_cases():
    return [
        ("small tuple of ints", (1, 2, 3, 4, 5)),
        ("small tuple of strings", ("alpha", "beta", "gamma")),
        ("dict of 1,000 entries", {"key%d" % i: i for i in range(1000)}),
        ("list of 10,000 Point objects", [Point(i, -i) for i in range(10000)]),
    ]


def recorded_payload():
    service = Service()
    config = Point(1, 2)
    used_attributes[id(service)] = {"name", "retries", "call"}
    used_attributes[id(config)] = {"x"}
    try:
        raise LookupFailed("no such key", 42)
    except LookupFailed as exc:
        error = exc
    record = {
        "args": (service, config, [Point(i, i) for i in range(20)]),
        "kwargs": {"callback": helper, "mode": "fast", "limits": {"max": 10, "min": 1}},
        "globals": {"helper": helper, "len": len, "sys": sys},
        "result": None,
        "exception": error,
        "external_calls": [("builtins.len", (3,), 3), ("json.dumps", ({"a": 1},), '{"a": 1}')],
    }
    return record, (service, config)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    options = parser.parse_args()
    repeat = 3 if options.quick else 7

    print(f"{'case':32} {'pickle.dumps':>14} {'safe_pickle':>14} {'ratio':>7}")
    for name, value in plain_cases():
        assert pickle.loads(safe_pickle(value, False)) == pickle.loads(pickle.dumps(value)) or \
            name.startswith("list of")
        # calls per timing run, aiming at about 0.05 s for pickle.dumps
        once = best_per_call(lambda: pickle.dumps(value), 1, 3)
        number = max(1, int(0.05 / max(once, 1e-7)))
        # alternate the two in each round so that both see the same machine load
        bases, ours, ratios = [], [], []
        for _ in range(repeat):
            base = best_per_call(lambda: pickle.dumps(value), number, 1)
            mine = best_per_call(lambda: safe_pickle(value, False), number, 1)
            bases.append(base)
            ours.append(mine)
            ratios.append(mine / base)
        ratio = statistics.median(ratios)
        print(f"{name:32} {min(bases) * 1e6:12.2f}us {min(ours) * 1e6:12.2f}us {ratio:6.2f}x")

    record, keep_alive = recorded_payload()
    try:
        data = safe_pickle(record)
        number = 200 if options.quick else 1000
        per_record = best_per_call(lambda: safe_pickle(record), number, repeat)
        print(f"\nrecorded payload: {len(data)} bytes, {per_record * 1e6:.1f}us per record")
    finally:
        for obj in keep_alive:
            used_attributes.pop(id(obj), None)


if __name__ == "__main__":
    main()
