#!/usr/bin/env python3
"""Cost of recording, side by side with the interpreter alone and with a
sys.setprofile + pickle recorder (bench/setprofile_tracer.py), in one run.

  python bench/record_cost.py [--calls N] [--repeat R] [--workloads] [--memory N]

Per-call cases (bench/_record_cost_project.py is the project):
  small         a function of two ints
  ten_external  a function that makes 10 calls into library code
  attr_method   a method that reads 5 attributes and 2 globals
Printed: CPU time per call under stock, under the collector at rate 1.0
(real recorder, safe pickler, in-memory channels), and under the baseline;
the ratios collector/baseline of the time per call and of the cost over stock;
and the collector with the real channels (queue and writer thread, into a
process that reads and discards), each run flushed before its time is taken.

--workloads  whole-program time of the call-dense programs of bench/_record_workloads.py
             (every function a project function) under the collector at rates 0.01 and
             1.0 and under the baseline, relative to stock, and rate 1.0 over the baseline.
--memory N   N recorded calls in a loop after a warm-up, all delivered; RSS growth.
"""

import argparse
import gc
import math
import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import _record_cost_project as proj  # noqa: E402
from setprofile_tracer import SetprofileRecorder  # noqa: E402


class NullSerializer:
    """Returns the same few bytes for everything: isolates the recorder's own cost."""

    def serialize(self, value, obj_wrap=True):
        return b"x"


class Sink:
    """A channel that keeps only counts, so that memory growth is the collector's own:
    the compiled outbox's send path (host/outbox.pyx), whose queue is emptied
    (nothing written) whenever it holds 256 KiB, so that the sink costs the recorded
    call next to nothing. (What the run's real channels add per message, the
    real-channels column of the per-call table shows.)"""

    def __init__(self):
        from corvane_collector.host.outbox import Outbox
        self.refused = 0
        self._outbox = Outbox(sys.maxsize, 1 << 18, self._full, -1)
        self.send_message = self._outbox.send_message

    def _full(self, data, size):
        if size < 0:
            self.refused += 1
            return
        self._outbox.discard(keep_room=True)
        self._outbox.admit(data, size)

    @property
    def count(self):
        return self._outbox.sent

    @property
    def bytes(self):
        return self._outbox.sent_bytes


def configure_collector():
    from corvane_collector.configs.run_settings import CollectorSettings
    from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
    data, metrics = Sink(), Sink()
    CollectorSettings.serializer = IpcPickleSerializer()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = metrics
    CollectorSettings.tenant_id = "bench"
    CollectorSettings.project_id = "bench"
    return data, metrics


# The loops live here, outside the project, so that only the callee is a
# recorded call and records do not nest.

def loop_small(n):
    f = proj.small
    for i in range(n):
        f(i, 2)


def loop_ten_external(n):
    f = proj.ten_external
    for i in range(n):
        f(i)


def loop_attr_method(n):
    p = proj.Point()
    for i in range(n):
        p.reads(i)


CASES = [("small", loop_small), ("ten_external", loop_ten_external), ("attr_method", loop_attr_method)]


def draining_channels():
    """A data and a metrics channel as the collector's run makes them, each
    writing into a child process that reads and discards."""
    from corvane_collector.host.channels import HandlerChannel
    made = []
    for name in ("data", "metrics"):
        ours, theirs = socket.socketpair()
        pid = os.fork()
        if pid == 0:
            ours.close()
            while theirs.recv(1 << 20):
                pass
            os._exit(0)
        theirs.close()
        made.append(HandlerChannel(name, ours))
    return made


def timed(fn, *args):
    # CPU time of this process: the machine is shared, and waiting for a core
    # is no cost of the code under test.
    gc.collect()
    t0 = time.process_time()
    fn(*args)
    return time.process_time() - t0


def rss_kib():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def per_call_cases(interceptor, calls, repeat):
    project = {proj.__file__}
    data, metrics = configure_collector()
    baseline_sink = Sink()
    tracer = SetprofileRecorder(project, baseline_sink)
    from corvane_collector.configs.run_settings import CollectorSettings
    real_serializer = CollectorSettings.serializer

    def with_serializer(ser):
        def start():
            CollectorSettings.serializer = ser
            interceptor.apply(project, 1.0)
        return start
    real_data, real_metrics = draining_channels()

    def with_channels(data_channel, metrics_channel):
        def start():
            CollectorSettings.data_subprocess = data_channel
            CollectorSettings.metrics_subprocess = metrics_channel
            with_serializer(real_serializer)()
        return start
    modes = {
        "stock": (lambda: None, lambda: None),
        "collector": (with_channels(data, metrics), interceptor.set_defualt_interpter),
        "baseline": (tracer.start, tracer.stop),
        "no-pickling": (with_serializer(NullSerializer()), interceptor.set_defualt_interpter),
        "real-channels": (with_channels(real_data, real_metrics), interceptor.set_defualt_interpter),
    }

    def flushed(fn):
        def run(n):
            fn(n)
            deadline = time.monotonic() + 60
            for ch in (real_data, real_metrics):
                while ch.written < ch.sent and time.monotonic() < deadline:
                    time.sleep(0.001)
        return run
    best = {}
    for rep in range(repeat):
        for name, fn in CASES:
            order = list(modes)
            order = order[rep % len(order):] + order[:rep % len(order)]
            for mode in order:
                start, stop = modes[mode]
                d0, b0, r0 = data.count, baseline_sink.count, real_data.written
                start()
                try:
                    t = timed(flushed(fn) if mode == "real-channels" else fn, calls)
                finally:
                    stop()
                    CollectorSettings.data_subprocess = data
                    CollectorSettings.metrics_subprocess = metrics
                if mode in ("collector", "no-pickling"):
                    assert data.count - d0 == calls, "not every call was delivered"
                if mode == "real-channels":
                    assert real_data.written - r0 == calls, "not every call was delivered"
                if mode == "baseline":
                    assert baseline_sink.count - b0 >= calls
                key = (name, mode)
                best[key] = min(best.get(key, float("inf")), t)
    print("per recorded call, best of %d runs of %d calls (CPU microseconds)" % (repeat, calls))
    print("%-14s %8s %10s %9s %19s %17s %12s %14s %14s" % (
        "case", "stock", "collector", "baseline", "collector/baseline", "extra-cost ratio",
        "no-pickling", "real-channels", "real/baseline"))
    for name, _ in CASES:
        s, c, b, n, r = (best[(name, m)] / calls * 1e6
                         for m in ("stock", "collector", "baseline", "no-pickling", "real-channels"))
        print("%-14s %8.2f %10.2f %9.2f %19.2f %17.2f %12.2f %14.2f %14.2f" % (
            name, s, c, b, c / b, (c - s) / (b - s), n, r, r / b))
    print("no-pickling: the collector with a serializer that returns constant bytes; a "
          "serializer of its own takes the recorder off its direct paths, so this is the "
          "named paths' cost without pickling, not the direct paths' share")
    print("real-channels: the collector with the run's channels (send path, queue and "
          "writer thread) into a process that discards, flushed before the time is taken")
    print("records delivered: %d, metric messages: %d, mean record size %.0f bytes" % (
        data.count, metrics.count, data.bytes / max(data.count, 1)))


def workloads(interceptor, repeat, only):
    import _record_workloads as programs
    chosen = [w for w in programs.WORKLOADS if not only or w[0] in only]
    project = {programs.__file__}
    data, _ = configure_collector()
    tracer = SetprofileRecorder(project, Sink())
    modes = {
        "stock": (lambda: None, lambda: None),
        "rate-0": (lambda: interceptor.apply(project, 0.0), interceptor.set_defualt_interpter),
        "rate-0.01": (lambda: interceptor.apply(project, 0.01), interceptor.set_defualt_interpter),
        "rate-1.0": (lambda: interceptor.apply(project, 1.0), interceptor.set_defualt_interpter),
        "baseline": (tracer.start, tracer.stop),
    }
    names = list(modes)
    best = {}
    records = {}
    for rep in range(repeat):
        for wname, fn in chosen:
            order = names[rep % len(names):] + names[:rep % len(names)]
            for mode in order:
                start, stop = modes[mode]
                d0 = data.count
                start()
                try:
                    t = timed(fn)
                finally:
                    stop()
                print("  %s %s %.2f s" % (wname, mode, t), file=sys.stderr, flush=True)
                best[(wname, mode)] = min(best.get((wname, mode), float("inf")), t)
                if mode == "rate-0.01":
                    records.setdefault(wname, []).append(data.count - d0)
    print()
    print("whole-program CPU time relative to stock, best of %d" % repeat)
    print("%-18s %9s" % ("workload", "stock ms") + "".join(" %10s" % m for m in names[1:]))
    geo = {m: [] for m in names[1:]}
    for wname, _ in chosen:
        base = best[(wname, "stock")]
        row = "%-18s %9.1f" % (wname, base * 1e3)
        for m in names[1:]:
            r = best[(wname, m)] / base
            geo[m].append(r)
            row += " %10.3f" % r
        print(row)
    print("%-18s %9s" % ("geometric mean", "") + "".join(
        " %10.3f" % math.exp(sum(map(math.log, geo[m])) / len(geo[m])) for m in names[1:]))
    print()
    print("rate 1.0 over the baseline (below 1: the collector records for less)")
    over = []
    for wname, _ in chosen:
        r = best[(wname, "rate-1.0")] / best[(wname, "baseline")]
        over.append(r)
        print("%-18s %9.3f" % (wname, r))
    print("%-18s %9.3f" % ("geometric mean", math.exp(sum(map(math.log, over)) / len(over))))
    # At rate 0.01 the time over rate 0 (every decision made, nothing sampled)
    # is what the sampled calls cost; the budget is what a sampled call may
    # cost for the whole program to stay within 10% of stock.
    print()
    print("rate 0.01: records delivered, cost per record over rate 0, and the cost per record "
          "that would keep the run within 1.10x of stock")
    print("%-18s %9s %14s %14s %16s" % ("workload", "records", "us/record", "budget us", "recording share"))
    for wname, _ in chosen:
        n = sum(records[wname]) / len(records[wname])
        base = best[(wname, "stock")]
        extra = best[(wname, "rate-0.01")] - best[(wname, "rate-0")]
        over = best[(wname, "rate-0.01")] - base
        if not n:
            print("%-18s %9.0f %14s %14s %16s" % (wname, n, "-", "-", "-"))
            continue
        budget = (0.10 * base - (best[(wname, "rate-0")] - base)) / n
        print("%-18s %9.0f %14.2f %14s %15.0f%%" % (
            wname, n, extra / n * 1e6,
            "%.2f" % (budget * 1e6) if budget > 0 else "none (rate 0 over)",
            100.0 * extra / over if over > 0 else float("nan")))


def memory(interceptor, n, case):
    data, metrics = configure_collector()
    project = {proj.__file__}
    loop = dict(CASES)[case]
    interceptor.apply(project, 1.0)
    try:
        loop(100000)
        gc.collect()
        before = rss_kib()
        d0 = data.count
        t0 = time.perf_counter()
        loop(n)
        elapsed = time.perf_counter() - t0
        gc.collect()
        after = rss_kib()
    finally:
        interceptor.set_defualt_interpter()
    delivered = data.count - d0
    print()
    print("memory (%s): %d recorded calls after 100000 warm-up calls, %d delivered, %.1f s" % (
        case, n, delivered, elapsed))
    print("RSS before %.1f MiB, after %.1f MiB, growth %.1f MiB" % (
        before / 1024, after / 1024, (after - before) / 1024))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--workloads", action="store_true")
    ap.add_argument("--only", default="", help="comma-separated workload names (with --workloads)")
    ap.add_argument("--memory", type=int, default=0)
    ap.add_argument("--memory-case", default="small", choices=[c for c, _ in CASES])
    ap.add_argument("--no-cases", action="store_true")
    args = ap.parse_args()
    import interceptor
    print("python %s" % sys.version.split()[0])
    if not args.no_cases:
        per_call_cases(interceptor, args.calls, args.repeat)
    if args.workloads:
        workloads(interceptor, args.repeat, [w for w in args.only.split(",") if w])
    if args.memory:
        memory(interceptor, args.memory, args.memory_case)


if __name__ == "__main__":
    main()
