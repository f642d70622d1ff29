"""Handler process: reads frames from standard input and writes them to the store.

Started by the channels as ``python -c ... --kind data|metrics --store STORE
--run-id N`` (see ``channels.handler_command``). It runs in a fresh
interpreter that never imports the interceptor, so nothing here is recorded.

* data: one call per message, with the columns read from the record's outer
  layer (a record that cannot be read is stored all the same, with empty name
  columns: nothing is thrown away). Payloads are compressed and stored once
  per content here, off the program's threads, within the run's limits
  (newest calls kept per function, store size) that the run's row holds.
* metrics: counts per (kind, reason, detail), added to the ``metrics`` table;
  drops frames update the ``drops`` table.

Whatever is available on the pipe is read, written and committed in one
transaction; a committed batch is safe from a crash of either process. The
handler ignores SIGINT (a Ctrl-C aimed at the user's program must not lose the
tail of the stream) and exits at end of file.
"""

import argparse
import collections
import os
import signal
import sys

from corvane_collector.host import decode, protocol, store
from corvane_collector.host.channels import REASON_FLUSH_TIMEOUT

READ_SIZE = 1 << 20
# Keep one transaction from growing without bound while the pipe stays full.
MAX_BATCH_FRAMES = 5000
MAX_BATCH_BYTES = 32 << 20


def _log(message):
    sys.stderr.write(f"corvane collector handler: {message}\n")
    sys.stderr.flush()


def _write_drops(sink):
    if sink.drops:
        store.set_drop_totals(sink.conn, sink.run_id,
                              {(store.drop_channel(c, sink.child_pid), r): n
                               for (c, r), n in sink.drops.items()})


class DataSink:
    def __init__(self, conn, run_id, pid):
        self.conn = conn
        self.run_id = run_id
        self.pid = pid
        self.rows = []
        self.bytes = 0
        self.drops = {}
        self.undecodable = 0
        self.test = None
        self.writer = store.RecordWriter(conn, *store.run_limits(conn, run_id))

    def add(self, kind, tid, when, payload):
        if kind == protocol.FRAME_DROPS:
            protocol.merge_drops(self.drops, protocol.decode_drops(payload))
            return
        if kind == protocol.FRAME_CONTEXT:
            try:
                self.test = protocol.decode_context(payload)
            except ValueError:
                self.test = None
            return
        try:
            full_name, module, file, raised = decode.record_columns(payload)
        except Exception:  # noqa: BLE001 - store it anyway, with empty columns
            full_name = module = file = None
            raised = False
            self.undecodable += 1
        self.rows.append((self.run_id, full_name, module, file, self.pid, tid, when,
                          int(bool(raised)), len(payload), payload, self.test))
        self.bytes += len(payload)

    @property
    def batch_full(self):
        return len(self.rows) >= MAX_BATCH_FRAMES or self.bytes >= MAX_BATCH_BYTES

    def commit(self):
        if self.rows:
            # Compression happens before the transaction: other writers wait less.
            self.writer.store(self.writer.prepare(self.rows))
            self.rows = []
            self.bytes = 0
        if self.drops:
            store.run_in_transaction(self.conn, lambda: _write_drops(self))
            self.drops = {}


class MetricsSink:
    def __init__(self, conn, run_id, pid):
        self.conn = conn
        self.run_id = run_id
        self.counts = collections.Counter()
        self.drops = {}

    def add(self, kind, tid, when, payload):
        if kind == protocol.FRAME_DROPS:
            protocol.merge_drops(self.drops, protocol.decode_drops(payload))
            return
        if kind != protocol.FRAME_MESSAGE:
            return
        try:
            key = decode.metric_key(payload)
        except Exception as exc:  # noqa: BLE001
            key = ("Undecodable", type(exc).__name__, "")
        self.counts[key] += 1

    batch_full = False

    def commit(self):
        if self.counts or self.drops:
            store.run_in_transaction(self.conn, self._write)
            self.counts = collections.Counter()
            self.drops = {}

    def _write(self):
        if self.counts:
            store.add_metric_counts(self.conn, self.run_id, self.counts)
        _write_drops(self)


def serve(fd, conn, kind, run_id, pid, child=False):
    sink = (DataSink if kind == "data" else MetricsSink)(conn, run_id, pid)
    # Drop totals are running totals per channel: a child process's must not
    # overwrite its parent's.
    sink.child_pid = pid if child else None
    reader = protocol.FrameReader()
    frames = 0
    accepted = received = 0
    while True:
        try:
            chunk = os.read(fd, READ_SIZE)
        except InterruptedError:
            continue
        if not chunk:
            break
        reader.feed(chunk)
        for frame in reader.frames():
            if frame[0] == protocol.FRAME_ACCEPTED:
                accepted = max(accepted, protocol.decode_count(frame[3]))
                continue
            received += frame[0] == protocol.FRAME_MESSAGE
            sink.add(*frame)
            frames += 1
            if sink.batch_full:
                sink.commit()
        sink.commit()
    if accepted > received:
        # The process ended with messages still queued (killed, or out of time
        # at exit; its own count, if it could send one, is the same total).
        protocol.merge_drops(sink.drops, {(kind, REASON_FLUSH_TIMEOUT): accepted - received})
    sink.commit()
    if reader.pending:
        _log(f"{kind} stream ended inside a frame ({reader.pending} bytes lost)")
    if kind == "data" and sink.undecodable:
        _log(f"{sink.undecodable} records could not be read; stored without names")
    return frames


def main(argv=None):
    parser = argparse.ArgumentParser(prog="corvane_collector.host.handler")
    parser.add_argument("--kind", choices=("data", "metrics"), required=True)
    parser.add_argument("--store", required=True, help="a file, or a postgresql:// URL")
    parser.add_argument("--run-id", type=int, required=True)
    parser.add_argument("--pid", type=int, default=None, help="pid of the recorded process")
    parser.add_argument("--child", action="store_true",
                        help="the recorded process joined a run that another one started")
    args = parser.parse_args(argv)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        conn = store.open_store(args.store)
    except store.StoreError as exc:
        _log(str(exc))
        # Drain the pipe so the recorded program is never stuck on us.
        while os.read(0, READ_SIZE):
            pass
        return 2
    serve(0, conn, args.kind, args.run_id, args.pid if args.pid is not None else os.getppid(),
          args.child)
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
