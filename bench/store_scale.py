#!/usr/bin/env python3
"""The record store at scale: bytes per record, and query times on a million records.

  python bench/store_scale.py restore OLD.db [--keep N]
      stores the records of an existing store again, through the writer the
      handlers use (in batches as a handler would), into a new SQLite store,
      and prints both stores' bytes per record.
  python bench/store_scale.py queries [--records 1000000] [--functions 300] [--runs 20]
      builds a synthetic store of that many records and prints how long
      ``list``, ``stats``, ``runs``, ``show NAME`` and ``export --function NAME``
      take on it (the command line's own code, in this process, without the
      interpreter's start-up; the best of three, wall and CPU time).
"""
import argparse
import os
import random
import sqlite3
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from corvane_collector.host import store  # noqa: E402


def file_bytes(path):
    return sum(os.path.getsize(path + s) for s in ("", "-wal") if os.path.exists(path + s))


def restore(opts):
    old = sqlite3.connect(f"file:{opts.old}?mode=ro", uri=True)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "new.db")
        conn = store.open_store(path, create=True)
        runs = {}
        writer = store.RecordWriter(conn, opts.keep or None)
        batch = []
        n = 0
        t0 = time.perf_counter()
        for row in old.execute("SELECT run_id, full_name, module, file, pid, thread, time, raised,"
                               " size, data FROM records ORDER BY id"):
            if row[0] not in runs:
                runs[row[0]] = store.create_run(conn, 1, [], "/p", 1.0, "3.10", "on")
            batch.append((runs[row[0]],) + row[1:])
            n += 1
            if len(batch) >= opts.batch:
                writer.store(writer.prepare(batch))
                batch = []
        if batch:
            writer.store(writer.prepare(batch))
        elapsed = time.perf_counter() - t0
        stored = store.record_count(conn)
        conn.close()  # checkpoints the WAL into the file
        before, after = os.path.getsize(opts.old), file_bytes(path)
        n_old = old.execute("SELECT count(*) FROM records").fetchone()[0]
        print(f"old store: {n_old} records, {before} bytes, {before / n_old:.0f} bytes per record")
        print(f"new store: {stored} records, {after} bytes, {after / stored:.0f} bytes per record "
              f"({after / stored / (before / n_old):.3f} of the old per record); "
              f"stored in {elapsed:.1f} s ({n / elapsed:.0f} records/s, one process)")


def build(path, records, functions, runs):
    """A synthetic store in the tables the handlers write: a few thousand distinct payloads
    written through the writer, then the calls and their summaries in bulk."""
    conn = store.open_store(path, create=True)
    rnd = random.Random(1)
    t0 = time.perf_counter()
    run_ids = [store.create_run(conn, 1000 + i, ["app.py"], "/p", 1.0, "3.10", "on", 0)
               for i in range(runs)]
    names = [f"proj.mod{i % 17}.func{i}" for i in range(functions)]
    store.insert_records(conn, [(run_ids[0], name, name.rpartition(".")[0], "/p/m.py", 1000, 7,
                                 time.time(), 0, 300, b"record %d of %s " % (k, name.encode()) * 8)
                                for name in names for k in range(10)])
    fids = dict(conn.execute("SELECT f.full_name, f.id FROM functions f"))
    blobs = [r[0] for r in conn.execute("SELECT id FROM blobs")]
    conn.execute("DELETE FROM calls")
    conn.execute("DELETE FROM summaries")
    per_run = records // runs
    now = time.time()
    refs = dict.fromkeys(blobs, 0)
    with conn.transaction():
        for run_id in run_ids:
            rows = [(run_id, fids[names[int(rnd.paretovariate(1.2)) % functions]], now + i,
                     int(i % 13 == 0), blobs[i % len(blobs)]) for i in range(per_run)]
            for row in rows:
                refs[row[4]] += 1
            conn.executemany(
                "INSERT INTO calls (run_id, function_id, pid, thread, time, raised, size, blob_id)"
                " VALUES (?, ?, 1000, 7, ?, ?, 300, ?)", rows)
        conn.execute("INSERT INTO summaries SELECT run_id, function_id, count(*), count(*),"
                     " sum(raised), sum(size), max(size), max(time) FROM calls"
                     " GROUP BY run_id, function_id")
        conn.executemany("UPDATE blobs SET refs = ? WHERE id = ?", [(n, b) for b, n in refs.items()])
    conn.close()
    return time.perf_counter() - t0


def best_of(args, n=3):
    """Best wall and CPU seconds of the command, run in this process, output thrown away."""
    from corvane_collector.host import cli

    walls, cpus = [], []
    for _ in range(n):
        saved = sys.stdout
        sys.stdout = open(os.devnull, "w")
        try:
            t0, c0 = time.perf_counter(), time.process_time()
            code = cli.main(args)
            walls.append(time.perf_counter() - t0)
            cpus.append(time.process_time() - c0)
        finally:
            sys.stdout.close()
            sys.stdout = saved
        if code:
            sys.exit(f"{args} failed")
    return min(walls), min(cpus)


def queries(opts):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.db")
        took = build(path, opts.records, opts.functions, opts.runs)
        conn = store.open_store(path, readonly=True)
        count = store.record_count(conn)
        name = store.function_summary(conn)[0]["function"]
        conn.close()
        print(f"built {count} records of {opts.functions} functions in {opts.runs} runs "
              f"in {took:.0f} s; {file_bytes(path) / count:.0f} bytes per record")
        print("  command (in this process, best of 3)   wall      cpu")
        for args in (["list"], ["list", "--run", "last"], ["stats"], ["runs"],
                     ["show", name, "--limit", "10"], ["export", "--function", name]):
            wall, cpu = best_of(args + ["--store", path])
            print(f"  {' '.join(args):<38} {wall:.3f} s  {cpu:.3f} s")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("restore")
    p.add_argument("old")
    p.add_argument("--keep", type=int, default=0, help="keep per function (default: all)")
    p.add_argument("--batch", type=int, default=500)
    p = sub.add_parser("queries")
    p.add_argument("--records", type=int, default=1_000_000)
    p.add_argument("--functions", type=int, default=300)
    p.add_argument("--runs", type=int, default=20)
    opts = parser.parse_args()
    restore(opts) if opts.what == "restore" else queries(opts)


if __name__ == "__main__":
    main()
