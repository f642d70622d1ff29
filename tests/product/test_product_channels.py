import os
import pickle
import signal
import subprocess
import sqlite3
import sys
import threading
import time

import pytest

from corvane_collector.host import channels, protocol, store
from corvane_collector.host.outbox import Outbox

import product_fakes as fakes


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "records.db")
    conn = store.open_store(path, create=True)
    run_id = store.create_run(conn, os.getpid(), ["x"], str(tmp_path), 1.0, "3.10", "on")
    yield path, conn, run_id
    conn.close()


def wait_until(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def rows(conn, run_id):
    return [tuple(r[k] for k in ("full_name", "thread", "time", "raised", "size", "data", "pid"))
            for r in store.iter_records(conn, run_id)]


def test_messages_become_rows_in_order_with_sender_and_bytes_intact(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id)
    big = fakes.record("proj.big", args=(b"x" * (3 << 20),))  # larger than the pipe
    sent = [fakes.record(f"proj.f{i}", result=i) for i in range(300)]
    sent.insert(150, big)
    sent.append(fakes.record("proj.boom", exc=ValueError("no")))
    seen_threads = {}

    def from_thread():
        seen_threads["t"] = threading.get_ident()
        ch.send_message(fakes.record("proj.in_thread"))

    before = time.time()
    for data in sent:
        assert ch.send_message(data) is None
    t = threading.Thread(target=from_thread)
    t.start()
    t.join()
    ch.close(10)
    assert ch.wait_handler(20) == 0
    got = rows(conn, run_id)
    assert len(got) == len(sent) + 1
    assert [r[5] for r in got[:len(sent)]] == sent
    assert [r[0] for r in got[:3]] == ["proj.f0", "proj.f1", "proj.f2"]
    assert got[150][0] == "proj.big" and got[150][4] == len(big)
    assert got[len(sent) - 1][0] == "proj.boom" and got[len(sent) - 1][3] == 1
    assert all(r[3] == 0 for r in got[:len(sent) - 1])
    assert got[0][1] == threading.get_ident()
    assert got[-1][0] == "proj.in_thread" and got[-1][1] == seen_threads["t"]
    assert all(before - 1 <= r[2] <= time.time() + 1 for r in got)
    assert {r[6] for r in got} == {os.getpid()}
    assert ch.dropped == 0


def test_unreadable_payload_is_stored_not_lost(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id)
    ch.send_message(b"not a pickle at all")
    ch.send_message(pickle.dumps({"no": "record"}))
    ch.close(10)
    ch.wait_handler(20)
    got = rows(conn, run_id)
    assert [(r[0], r[5]) for r in got] == [(None, b"not a pickle at all"),
                                          (None, pickle.dumps({"no": "record"}))]


def test_handler_that_does_not_read_never_blocks_the_sender_and_drops_are_counted():
    read_end, write_end = os.pipe()
    ch = channels.HandlerChannel("data", write_end, max_messages=50, max_bytes=1 << 30)
    payload = b"y" * 100_000  # the pipe fills after a few messages
    total = 2000
    for _ in range(total):
        ch.send_message(payload)
    assert wait_until(lambda: ch.queued >= 49)
    dropped = ch.drop_totals()
    assert dropped[("data", channels.REASON_QUEUE_FULL)] > 0
    assert ch.sent + dropped[("data", channels.REASON_QUEUE_FULL)] == total
    ch.close(timeout=0.3)  # bounded: the writer is stuck on the full pipe
    totals = ch.drop_totals()
    assert totals[("data", channels.REASON_FLUSH_TIMEOUT)] >= 49
    ch.send_message(payload)  # after close: counted, not raised
    assert ch.drop_totals()[("data", channels.REASON_CLOSED)] == 1
    os.close(read_end)


def test_byte_bound_drops_even_when_the_count_bound_is_not_reached():
    read_end, write_end = os.pipe()
    ch = channels.HandlerChannel("data", write_end, max_messages=10_000, max_bytes=3_000_000)
    for _ in range(200):
        ch.send_message(b"z" * 500_000)
    assert ch.drop_totals().get(("data", channels.REASON_QUEUE_FULL), 0) > 100
    ch.close(timeout=0.2)
    os.close(read_end)


def test_dead_handler_leaves_sender_running_and_counts_losses():
    read_end, write_end = os.pipe()
    os.close(read_end)
    ch = channels.HandlerChannel("metrics", write_end)
    for _ in range(100):
        ch.send_message(b"m" * 10)
        time.sleep(0.001)
    assert wait_until(lambda: not ch.alive)
    for _ in range(10):
        ch.send_message(b"m")
    assert isinstance(ch.error, BrokenPipeError)
    assert sum(ch.drop_totals().values()) >= 10
    assert ch.drop_totals()[("metrics", channels.REASON_HANDLER_GONE)] >= 10
    ch.close(1)


def test_killed_handler_keeps_what_it_committed(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id)
    first = [fakes.record(f"proj.a{i}") for i in range(200)]
    for data in first:
        ch.send_message(data)
    assert wait_until(lambda: len(rows(conn, run_id)) == 200)
    ch.process.send_signal(signal.SIGKILL)
    ch.process.wait(10)
    for i in range(200):
        ch.send_message(fakes.record(f"proj.b{i}"))
        if i % 20 == 0:
            time.sleep(0.01)
    assert wait_until(lambda: not ch.alive)
    ch.close(2)
    got = rows(conn, run_id)
    assert [r[5] for r in got[:200]] == first
    assert len(got) == 200
    # Writing to a closed socket fails at once: every later message is counted.
    assert ch.drop_totals() == {("data", channels.REASON_HANDLER_GONE): 200}


def test_drop_totals_reach_the_store_through_the_metrics_handler(db):
    path, conn, run_id = db
    m = channels.start_handler("metrics", path, run_id)
    m.send_message(fakes.metric(fakes.CollectionTry))
    m.send_drop_report({("data", "queue full"): 5})
    m.send_drop_report({("data", "queue full"): 7, ("metrics", "queue full"): 1})
    m.send_drop_report({("data", "queue full"): 6})  # an older total never wins
    m.close(10)
    assert m.wait_handler(20) == 0
    assert store.drop_counts(conn, run_id) == [
        {"channel": "data", "reason": "queue full", "count": 7},
        {"channel": "metrics", "reason": "queue full", "count": 1}]
    assert store.metric_counts(conn, run_id) == [
        {"kind": "CollectionTry", "reason": "", "detail": "", "count": 1}]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_never_writes_into_the_parents_stream(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id)
    os.register_at_fork(after_in_child=ch.after_fork_in_child)  # what the starter does
    for i in range(50):
        ch.send_message(fakes.record(f"proj.parent_before{i}"))
    pid = os.fork()
    if pid == 0:
        try:
            for i in range(500):
                ch.send_message(fakes.record(f"proj.child{i}"))
            ch.close(1)
        finally:
            os._exit(0)
    for i in range(50):
        ch.send_message(fakes.record(f"proj.parent_after{i}"))
    assert os.waitpid(pid, 0)[1] == 0
    ch.close(10)
    assert ch.wait_handler(20) == 0
    names = [r[0] for r in rows(conn, run_id)]
    assert len(names) == 100
    assert all(n.startswith("proj.parent_") for n in names)


def test_frame_reader_reassembles_frames_split_anywhere():
    frames = [(protocol.FRAME_MESSAGE, 7, 1.5, b"abc"), (protocol.FRAME_DROPS, 0, 2.0, b""),
              (protocol.FRAME_MESSAGE, 2 ** 64 - 1, 3.25, bytes(range(256)) * 10)]
    stream = b"".join(protocol.pack_header(k, t, w, len(p)) + p for k, t, w, p in frames)
    for step in (1, 7, 25, 1000):
        reader = protocol.FrameReader()
        out = []
        for i in range(0, len(stream), step):
            reader.feed(stream[i:i + step])
            out.extend(reader.frames())
        assert out == frames
        assert reader.pending == 0
    reader = protocol.FrameReader()
    reader.feed(stream[:-5])
    assert list(reader.frames()) == frames[:2]
    assert reader.pending == len(stream[:-5]) - sum(protocol.HEADER_SIZE + len(f[3]) for f in frames[:2])


def test_handler_ignores_user_path_shadowing(tmp_path, db, monkeypatch):
    path, conn, run_id = db
    # A project module named like a standard module, in the current directory.
    (tmp_path / "sqlite3.py").write_text("raise SystemExit('shadowed')\n")
    monkeypatch.chdir(tmp_path)
    ch = channels.start_handler("data", path, run_id)
    ch.send_message(fakes.record("proj.f"))
    ch.close(10)
    assert ch.wait_handler(20) == 0
    assert [r[0] for r in rows(conn, run_id)] == ["proj.f"]


def test_writer_recovers_from_a_missed_wake_up():
    read_end, write_end = os.pipe()
    ch = channels.HandlerChannel("data", write_end)
    assert wait_until(lambda: ch._idle)
    time.sleep(channels._IDLE_POLL * 2)  # the writer has timed out of at least one wait
    ch._idle = False  # as if a sender had raced past the flag: no wake-up byte is sent
    ch.send_message(b"abc")
    assert wait_until(lambda: ch.written == 1)
    ch.close(5)
    reader = protocol.FrameReader()
    reader.feed(os.read(read_end, 100))
    assert [(f[0], f[3]) for f in reader.frames()] == [
        (protocol.FRAME_ACCEPTED, protocol.encode_count(1)), (protocol.FRAME_MESSAGE, b"abc")]
    os.close(read_end)


def test_handler_process_loads_no_recording_machinery(db):
    path, conn, run_id = db
    code = ("import sys; from corvane_collector.host.handler import main; "
            f"main(['--kind', 'data', '--store', {path!r}, '--run-id', '{run_id}']); "
            "print(sorted(m for m in sys.modules if m == 'interceptor' "
            "or m.startswith('corvane_collector.data_')))")
    frame = fakes.record("proj.f")
    stream = protocol.pack_header(protocol.FRAME_MESSAGE, 1, 2.0, len(frame)) + frame
    out = subprocess.run([sys.executable, "-c", code], input=stream, capture_output=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.decode().strip() == "[]"
    assert [r[0] for r in rows(conn, run_id)] == ["proj.f"]



@pytest.mark.parametrize("on_full", ["wait", "drop"])
def test_full_queue_with_a_slow_handler_waits_or_drops(db, on_full):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id, max_messages=20, on_full=on_full,
                                max_wait=60)
    pid, done = ch.process.pid, threading.Event()

    def slow_handler():  # stopped most of the time, let run in short bursts
        while not done.wait(0.01):
            os.kill(pid, signal.SIGSTOP)
            time.sleep(0.05)
            os.kill(pid, signal.SIGCONT)

    pulser = threading.Thread(target=slow_handler)
    pulser.start()
    try:
        for _ in range(1500):
            ch.send_message(fakes.record("proj.f", args=(b"x" * 10_000,)))
    finally:
        done.set()
        pulser.join()
    full = ch.drop_totals().get(("data", channels.REASON_QUEUE_FULL), 0)
    ch.close(60)
    assert ch.wait_handler(60) == 0
    stored = store.record_count(conn, run_id)
    if on_full == "wait":
        assert ch.waits > 0 and (stored, ch.dropped) == (1500, 0)
    else:
        assert ch.waits == 0 and full > 0 and stored == ch.sent == 1500 - full


def test_wait_is_bounded_and_a_stuck_handler_costs_one_wait(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id, max_messages=5, on_full="wait",
                                max_wait=0.3)
    os.kill(ch.process.pid, signal.SIGSTOP)
    for _ in range(200):  # more than the socket and the queue hold
        ch.send_message(b"s" * 100_000)
    full = ch.drop_totals()[("data", channels.REASON_QUEUE_FULL)]
    assert ch.wait_timeouts == 1 and full > 100 and ch.sent + full == 200
    os.kill(ch.process.pid, signal.SIGCONT)
    assert wait_until(lambda: ch.queued == 0)
    waits = ch.waits
    for _ in range(100):  # it reads again: a full queue is waited for again
        ch.send_message(b"s" * 100_000)
    assert ch.waits > waits and ch.drop_totals()[("data", channels.REASON_QUEUE_FULL)] == full
    ch.close(30)


def test_handler_dying_ends_a_wait_at_once(db):
    path, conn, run_id = db
    ch = channels.start_handler("data", path, run_id, max_messages=5, on_full="wait",
                                max_wait=600)
    os.kill(ch.process.pid, signal.SIGSTOP)
    sender = threading.Thread(target=lambda: [ch.send_message(b"d" * 100_000) for _ in range(100)])
    sender.start()
    assert wait_until(lambda: ch.waits > 0)
    ch.process.send_signal(signal.SIGKILL)
    sender.join(60)
    assert not sender.is_alive()
    assert set(ch.drop_totals()) == {("data", channels.REASON_HANDLER_GONE)}
    ch.close(5)


def test_payloads_that_are_not_bytes_are_written_as_bytes_or_counted_not_lost():
    read_end, write_end = os.pipe()
    ch = channels.HandlerChannel("data", write_end)
    before = time.time()
    two = bytearray(b"two")
    for payload in (b"one", two, memoryview(b"three"), object(), [1], b"four"):
        ch.send_message(payload)   # ([1] has a length, no buffer)
    two[:] = b"TWO"  # queued as it was when sent
    assert wait_until(lambda: ch.written == 4)
    ch.close(5)
    reader = protocol.FrameReader()
    reader.feed(os.read(read_end, 1000))
    frames = list(reader.frames())
    messages = [f for f in frames if f[0] == protocol.FRAME_MESSAGE]
    assert [f[3] for f in messages] == [b"one", b"two", b"three", b"four"]
    assert {f[1] for f in messages} == {threading.get_ident()}
    assert all(before - 1 <= f[2] <= time.time() + 1 for f in messages)
    assert frames[0][0] == protocol.FRAME_ACCEPTED
    assert ch.sent == 4 and ch.drop_totals() == {("data", channels.REASON_NOT_BYTES): 2}
    os.close(read_end)


def test_outbox_keeps_frames_in_order_across_partial_takes_and_regrowth():
    # Batches cut between frames, sends between takes (the buffer is compacted
    # and grown under queued frames), control frames in the stream's order.
    box = Outbox(10_000, 1 << 30, None, -1)
    sent, got, reader = [], [], protocol.FrameReader()

    def take_all(batch):
        while (taken := box.take(batch)) is not None:
            reader.feed(taken[0])
            frames = list(reader.frames())
            assert frames[0][0] == protocol.FRAME_ACCEPTED
            assert taken[1] == sum(f[0] == protocol.FRAME_MESSAGE for f in frames[1:])
            got.extend((f[0], f[3]) for f in frames[1:])

    for round_ in range(40):
        for i in range(25):
            payload = bytes([i % 256]) * (1 + (round_ * 131 + i * 977) % 9000)
            box.send_message(payload)
            sent.append((protocol.FRAME_MESSAGE, payload))
        box.put_control(protocol.FRAME_CONTEXT, b"ctx%d" % round_)
        sent.append((protocol.FRAME_CONTEXT, b"ctx%d" % round_))
        taken = box.take(20_000)
        reader.feed(taken[0])
        got.extend((f[0], f[3]) for f in list(reader.frames())[1:])
    assert box.messages == sum(k == protocol.FRAME_MESSAGE for k, _ in sent[len(got):])
    assert box.queued_bytes == sum(len(p) for k, p in sent[len(got):] if k == protocol.FRAME_MESSAGE)
    take_all(5_000)
    assert got == sent and box.frames == box.messages == box.queued_bytes == 0
    assert box.sent == 1000 and box.sent_bytes == sum(len(p) for k, p in sent if k == 1)
    # an emptied buffer keeps its room for the next sends; a discarded one
    # (a closed channel's) gives its memory back
    assert box.capacity > 0
    box.send_message(b"x")
    assert box.discard() == 1 and box.capacity == 0
