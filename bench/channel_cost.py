#!/usr/bin/env python3
"""Cost of the channels and handlers per recorded call, and handler throughput.

1. Per-call cost: the same recorded calls, repetition after repetition, with the
   records going alternately into an in-memory channel and into the real
   channels (queue + writer thread + handler process + SQLite store). The best
   time of each is kept; printed is the cost per recorded call of each and the
   share the real channels add.
2. Throughput: the records produced in step 1 are replayed into a real data
   channel as fast as one thread can send them; printed are the records per
   second the handler stores (decoded, hashed, compressed, deduplicated,
   committed), against the records per second the recorder produces (from
   step 1), and the number of drops. The same for records of about 35 KiB
   (a call with a large bytearray argument, each one different), and the
   store's bytes per record for each. The handler's rate includes its start.

Calls are recorded through the interceptor when it is available (the workload
runs at rate 1.0 under our evaluator); otherwise the recorder's callbacks are
called by hand around each call, which measures the same recorder and channel
work without the evaluator.

With ``--on-full drop`` the channels never wait for the handler (what a
service would choose); the default, ``wait``, is what ``run`` uses.

  python bench/channel_cost.py [--calls N] [--repeat R] [--on-full wait|drop]
"""
import argparse
import os
import shutil
import sys
import tempfile
import textwrap
import time

WORKLOAD = textwrap.dedent("""
    LIMIT = 7

    class Acc:
        def __init__(self):
            self.items = []

        def push(self, value):
            self.items.append(value)
            return len(self.items)

    def score(values, scale=2):
        return sum(v * scale for v in values) % LIMIT

    def measure(buf):
        return len(buf)

    def run(n, acc):
        total = 0
        for i in range(n):
            total += score([i, i + 1, i + 2])
            acc.push(total)
        return total
    """)


def _memory_channels():
    from corvane_collector.host.channels import MemoryChannel
    return MemoryChannel(), MemoryChannel()


def _handler_rate(db, messages, proj, on_full):
    """(records/s stored, records stored, drops, sends that waited, store bytes per
    record) of one handler."""
    from corvane_collector.host import channels, store

    db = db + f".{len(messages)}.{len(messages[0])}"
    conn = store.open_store(db, create=True)
    run_id = store.create_run(conn, os.getpid(), sys.argv, proj, 1.0, "3.10", "bench")
    data = channels.start_handler("data", db, run_id, on_full=on_full)
    t0 = time.perf_counter()
    for msg in messages:
        data.send_message(msg)
    data.close(300)
    data.wait_handler(300)
    elapsed = time.perf_counter() - t0
    stored = store.record_count(conn, run_id)
    conn.close()
    size = sum(os.path.getsize(db + s) for s in ("", "-wal") if os.path.exists(db + s))
    return stored / elapsed, stored, data.dropped, data.waits, size / max(1, stored)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000, help="workload iterations per repetition")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--on-full", choices=("wait", "drop"), default="wait")
    opts = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="corvane-bench-")
    try:
        proj = os.path.join(tmp, "proj")
        os.mkdir(proj)
        path = os.path.join(proj, "bench_workload.py")
        with open(path, "w") as f:
            f.write(WORKLOAD)
        sys.path.insert(0, proj)
        import bench_workload as w

        from corvane_collector.configs.run_settings import CollectorSettings
        from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
        from corvane_collector.data_collection import call_recorder as cr
        from corvane_collector.host import channels, store

        CollectorSettings.configure(
            tenant_id="bench", project_id="bench", serializer=IpcPickleSerializer(),
            project_files=frozenset({path}), project_path=proj, external_calls_max=1000)

        try:
            import interceptor
            use_evaluator = hasattr(interceptor, "apply")
        except ImportError:
            use_evaluator = False

        def by_hand(n):
            acc = w.Acc()
            for i in range(n):
                vals = [i, i + 1, i + 2]
                rec = cr.record_user_function_call(w.score, vals)
                result = w.score(vals)
                cr.record_user_function_return_value(result, rec)
                rec = cr.record_user_function_call(w.Acc.push, acc, result)
                got = acc.push(result)
                cr.record_user_function_return_value(got, rec)
            return 2 * n

        def through_evaluator(n):
            interceptor.apply({path}, 1.0)
            try:
                w.run(n, w.Acc())
            finally:
                interceptor.set_defualt_interpter()
            return 2 * n + 1

        workload = through_evaluator if use_evaluator else by_hand
        db = os.path.join(tmp, "bench.db")
        conn = store.open_store(db, create=True)
        run_id = store.create_run(conn, os.getpid(), sys.argv, proj, 1.0, "3.10", "bench")

        best = {"memory": float("inf"), "real": float("inf")}
        sample = None
        for rep in range(opts.repeat):
            # Alternate which goes first, so that warm-up and heap growth favour neither.
            for kind in (("memory", "real") if rep % 2 == 0 else ("real", "memory")):
                if kind == "memory":
                    data, metrics = _memory_channels()
                else:
                    data = channels.start_handler("data", db, run_id, on_full=opts.on_full)
                    metrics = channels.start_handler("metrics", db, run_id, on_full=opts.on_full)
                CollectorSettings.configure(data_subprocess=data, metrics_subprocess=metrics)
                t0 = time.perf_counter()
                records = workload(opts.calls)
                elapsed = time.perf_counter() - t0
                best[kind] = min(best[kind], elapsed / records)
                if kind == "memory":
                    sample = data.messages
                    del data, metrics
                else:
                    data.close(30)
                    metrics.close(30)
                    data.wait_handler(60)
                    metrics.wait_handler(60)
                    if data.dropped or metrics.dropped:
                        print(f"  note: drops during a timed repetition: {data.dropped + metrics.dropped}")

        mem, real = best["memory"], best["real"]
        print(f"recording via: {'evaluator at rate 1.0' if use_evaluator else 'recorder callbacks by hand'}")
        print(f"per recorded call, in-memory channel: {mem * 1e6:8.1f} us")
        print(f"per recorded call, real channels:     {real * 1e6:8.1f} us")
        print(f"channels and handlers add:            {100 * (real / mem - 1):8.1f} %")

        # Throughput: replay real records as fast as one thread sends them.
        small = (sample * (20000 // max(1, len(sample)) + 1))[:20000]
        print(f"recorder produces:                    {1.0 / mem:8.0f} records/s")
        # The argument is pickled before and after the call: a 17.5 KiB one makes a 35 KiB record.
        big = bytearray(b"".join(b"row %06d;" % i for i in range(2000))[:35 << 9])
        memory, _ = _memory_channels()
        CollectorSettings.configure(data_subprocess=memory, metrics_subprocess=_memory_channels()[1])
        for i in range(2000):
            big[(i * 7919) % len(big)] = i % 256
            rec = cr.record_user_function_call(w.measure, big)
            cr.record_user_function_return_value(len(big), rec)
        for label, messages in (("small", small), ("35 KiB", memory.messages)):
            rate, stored, drops, waits, per_record = _handler_rate(db, messages, proj, opts.on_full)
            size = sum(map(len, messages)) / len(messages)
            print(f"handler stores, {label:>6} records ({size / 1024:5.1f} KiB): {rate:8.0f} records/s "
                  f"({stored} of {len(messages)}; {drops} dropped, on full queue: {opts.on_full}, "
                  f"{waits} sends waited); store {per_record:.0f} bytes per record")
        conn.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
