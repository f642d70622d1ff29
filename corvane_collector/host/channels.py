"""Channels from the recorded process to its handler processes.

A channel is what ``CollectorSettings.data_subprocess`` and
``CollectorSettings.metrics_subprocess`` hold: an object whose
``send_message(data)`` hands bytes to a handler process.

Design constraints, all coming from the fact that ``send_message`` runs on the
user's own threads, in the middle of the user's calls:

* It never raises, and never waits on the handler unless asked to. A message
  is framed into an in-memory queue by one C call made with the interpreter
  lock held (so the send path takes no lock: a signal handler that re-enters
  it cannot deadlock) and a writer thread moves queued frames into the
  handler's stream (a socket).
* The queue is bounded (message count and bytes). What happens when it is
  full is the channel's ``on_full`` mode:

  - "drop" (never block): the message is dropped and counted. For services
    in production, where a lost record is better than a slowed request.
  - "wait": the sending thread sleeps until the writer has made room, at most
    ``max_wait`` seconds for one message, then drops and counts it. A fast
    program is slowed down to the handler's pace instead of losing records.
    The sleep releases the interpreter lock (the writer needs it to make
    room) and runs no Python signal handler: the send runs inside the
    recorder's callbacks, whose exceptions are discarded, so a
    KeyboardInterrupt raised there would be lost. A signal ends the wait
    instead (the message is let in over the bound) and its handler runs as
    soon as the program's own code goes on. A handler known to be gone,
    or a writer that made no progress during a whole ``max_wait``, makes
    later sends drop at once rather than each wait the full bound.

  Drops are counted per reason; the totals travel on the metrics channel (see
  ``drop_totals``).
* ``close(timeout)`` flushes with a bounded wait; what cannot be written in
  time is counted as dropped, and the handler finishes on its own once it sees
  end of file.
* Fork: a forked child never uses the parent's channel. ``after_fork_in_child``
  disables the inherited channel (fresh queue, inherited stream closed, every
  later message silently discarded), so the child can never interleave bytes
  with the parent's stream. The starter then gives the child channels of its
  own, or, when the run does not record its processes, switches the child's
  evaluator back to the stock one.
"""

import collections
import itertools
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

from corvane_collector.host import protocol
from corvane_collector.host.outbox import Outbox
from corvane_collector.host.process_tree import ENV_RUN

DEFAULT_MAX_MESSAGES = 20000
DEFAULT_MAX_BYTES = 256 * 1024 * 1024
# Longest a sender waits for room for one message in the "wait" mode, seconds.
DEFAULT_MAX_WAIT = 5.0

ON_FULL_WAIT = "wait"
ON_FULL_DROP = "drop"
ON_FULL_MODES = (ON_FULL_WAIT, ON_FULL_DROP)

REASON_QUEUE_FULL = "queue full"
REASON_HANDLER_GONE = "handler gone"
REASON_CLOSED = "sent after close"
REASON_FLUSH_TIMEOUT = "not flushed at exit"
REASON_NOT_BYTES = "not bytes"

_NOSIGNAL = getattr(socket, "MSG_NOSIGNAL", 0)
# Join small frames into one write; larger ones are written on their own.
_BATCH_BYTES = 1 << 20
# Upper bound on how long the idle writer sleeps before it looks at the queue
# again, in case a wake-up byte was lost.
_IDLE_POLL = 0.5
# A waiting sender looks at the queue this often.
_WAIT_SLICE = 0.001


class _Counter:
    """A count that several threads bump without a lock.

    ``next()`` on an ``itertools.count`` is a single C call under the GIL,
    hence atomic, whereas ``x += 1`` on an attribute can lose updates when
    threads switch between the load and the store.
    """

    __slots__ = ("_it",)

    def __init__(self):
        self._it = itertools.count(1)

    def bump(self):
        next(self._it)

    @property
    def value(self):
        return self._it.__reduce__()[1][0] - 1


class HandlerChannel:
    """Queue plus writer thread in front of a stream to the handler.

    ``stream`` is a connected socket (what ``start_handler`` makes) or a
    writable file descriptor. A socket is written with MSG_NOSIGNAL, so a dead
    handler can never kill the program with SIGPIPE, even when the program has
    restored the default SIGPIPE action (as command line tools often do).
    """

    def __init__(self, name, stream, process=None, max_messages=DEFAULT_MAX_MESSAGES,
                 max_bytes=DEFAULT_MAX_BYTES, on_full=ON_FULL_DROP, max_wait=DEFAULT_MAX_WAIT):
        if on_full not in ON_FULL_MODES:
            raise ValueError(f"on_full must be 'wait' or 'drop', got {on_full!r}")
        self.name = name
        self.process = process
        self.on_full = on_full
        self.max_wait = max_wait
        # Looked up here, not in the first full send: that runs inside the
        # program's calls, where importing would run code.
        self._pause = _signal_free_sleep() if on_full == ON_FULL_WAIT else None
        if isinstance(stream, socket.socket):
            self._sock = stream
            self._fd = stream.fileno()
        else:
            self._sock = None
            self._fd = stream
        self._drops = collections.defaultdict(_Counter)
        self._waits = _Counter()
        self._wait_timeouts = _Counter()
        self.written = 0
        # Bytes handed to the stream so far (writer only), and its value when
        # a sender last waited the whole bound without seeing it change.
        self._progress = 0
        self._stalled_at = None
        self.error = None
        self._alive = True
        self._disabled = False
        self._inflight = 0  # messages taken by the writer and not yet fully written
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        # The queue, its bounds and counts, and the send path: every recorded
        # call sends several messages from inside the user's calls, so the
        # common case is one C call (the outbox's own send_message).
        self._outbox = Outbox(max_messages, max_bytes, self._send_slow, self._wake_w)
        self.send_message = self._outbox.send_message
        self._stop = False
        self._writer = threading.Thread(target=self._write_loop, daemon=True,
                                        name="corvane-channel-" + name)
        self._writer.start()

    # -- user threads ---------------------------------------------------

    def send_message(self, data):
        """Queue ``data`` (bytes) for the handler; never raises.

        When the queue is full it drops the message, or first waits for room
        (bounded) in the "wait" mode. (Each channel's own ``send_message``
        attribute is the outbox's, which calls ``_send_slow`` for those cases.)
        """
        return self._outbox.send_message(data)

    # The outbox holds these; the channel's other steps read and set them here.
    max_messages = property(lambda self: self._outbox.max_messages,
                            lambda self, n: setattr(self._outbox, "max_messages", n))
    max_bytes = property(lambda self: self._outbox.max_bytes,
                         lambda self, n: setattr(self._outbox, "max_bytes", n))
    _accepting = property(lambda self: self._outbox.accepting,
                          lambda self, flag: setattr(self._outbox, "accepting", flag))
    _idle = property(lambda self: self._outbox.idle,
                     lambda self, flag: setattr(self._outbox, "idle", flag))

    def _send_slow(self, data, size):
        if size < 0:
            if not self._disabled:
                self._drops[REASON_NOT_BYTES].bump()
            return
        if not self._accepting:
            if not self._disabled:
                self._drops[REASON_HANDLER_GONE if not self._alive else REASON_CLOSED].bump()
            return
        reason = REASON_QUEUE_FULL if self._pause is None else self._wait_for_room(size)
        if reason is not None:
            if not self._disabled:
                self._drops[reason].bump()
            return
        self._outbox.admit(data, size)

    def _full(self, size):
        outbox = self._outbox
        return outbox.frames > 0 and (outbox.frames >= outbox.max_messages
                                      or outbox.queued_bytes + size > outbox.max_bytes)

    def _wait_for_room(self, size):
        """Sleeps until the queue has room for ``size`` bytes; None once it has,
        else the reason the message is dropped."""
        progress = self._progress
        if progress == self._stalled_at:
            return REASON_QUEUE_FULL  # a stuck writer would make every send wait the bound
        self._waits.bump()
        deadline = time.monotonic() + self.max_wait
        watch = _SignalWatch()
        try:
            while True:
                if not self._accepting:
                    return REASON_HANDLER_GONE if not self._alive else REASON_CLOSED
                if not self._full(size):
                    return None
                if not self._writer.is_alive():
                    return REASON_QUEUE_FULL
                left = deadline - time.monotonic()
                if left <= 0:
                    self._wait_timeouts.bump()
                    if self._progress == progress:
                        self._stalled_at = progress
                    return REASON_QUEUE_FULL
                self._pause(min(left, _WAIT_SLICE))
                if watch.fired():
                    return None  # keep the message; the program's handler runs next
        finally:
            watch.close()

    # -- writer thread ----------------------------------------------------

    def _write_loop(self):
        outbox = self._outbox
        while True:
            # (an accepted frame, then the frames taken, in one buffer)
            batch = outbox.take(_BATCH_BYTES)
            if batch is None:
                if self._stop:
                    return
                outbox.idle = True
                if not outbox.frames and not self._stop:  # re-check: a sender may have missed idle
                    try:
                        select.select([self._wake_r], [], [], _IDLE_POLL)
                        os.read(self._wake_r, 4096)
                    except (BlockingIOError, InterruptedError):
                        pass
                    except OSError:
                        return
                outbox.idle = False
                continue
            data, count = batch
            self._inflight = count
            if not self._write_all([data]):  # the handler is gone; senders now count drops
                self._inflight = 0
                self._count_lost(count + outbox.discard(), REASON_HANDLER_GONE)
                return
            self._inflight = 0
            self.written += count

    def _write_all(self, chunks):
        """Writes the chunks to the stream; False once the handler is gone."""
        try:
            for chunk in chunks:
                view = memoryview(chunk)
                while view:
                    if self._sock is not None:
                        n = self._sock.send(view, _NOSIGNAL)
                    else:
                        n = os.write(self._fd, view)
                    view = view[n:]
                    self._progress += n
            return True
        except OSError as exc:  # BrokenPipeError: the handler exited or was killed
            self._handler_gone(exc)
            return False

    def _count_lost(self, n, reason):
        counter = self._drops[reason]
        for _ in range(n):
            counter.bump()

    def _handler_gone(self, exc):
        self._alive = False
        self._accepting = False
        self.error = exc

    # -- control, from the starter ------------------------------------------

    @property
    def alive(self):
        return self._alive and (self.process is None or self.process.poll() is None)

    @property
    def queued(self):
        return self._outbox.frames

    @property
    def sent(self):
        """Messages accepted into the queue."""
        return self._outbox.sent

    @property
    def waits(self):
        """Sends that found the queue full and waited for room ("wait" mode)."""
        return self._waits.value

    @property
    def wait_timeouts(self):
        """Waits that ended at ``max_wait`` without room (each a dropped message)."""
        return self._wait_timeouts.value

    def drop_totals(self):
        """{(channel name, reason): count} of the messages dropped so far."""
        return {(self.name, reason): c.value for reason, c in list(self._drops.items()) if c.value}

    @property
    def dropped(self):
        return sum(self.drop_totals().values())

    def send_drop_report(self, totals):
        """Queues a drops frame (running totals of any channels) for the handler."""
        if totals:
            self._send_control(protocol.FRAME_DROPS, protocol.encode_drops(totals))

    def send_context(self, test):
        """Queues a context frame: the messages queued after it were made while ``test`` ran."""
        self._send_control(protocol.FRAME_CONTEXT, protocol.encode_context(test))

    def _send_control(self, kind, payload):
        # In the stream's order with the messages; never refused for a full queue.
        if not self._accepting:
            return
        self._outbox.put_control(kind, payload)

    def flush(self, timeout):
        """Waits until the queue is written (or the handler is gone); True when empty."""
        deadline = time.monotonic() + timeout
        while self._outbox.frames and self._alive and time.monotonic() < deadline:
            time.sleep(0.005)
        return not self._outbox.frames

    def close(self, timeout=5.0):
        """Stops accepting, flushes within ``timeout`` seconds, closes the stream.

        What is still queued when the time is up is counted as dropped. The
        handler process is not waited for here (see ``wait_handler``).
        """
        if self._disabled:
            return
        self._accepting = False
        deadline = time.monotonic() + timeout
        self._stop = True
        try:
            os.write(self._wake_w, b"w")
        except OSError:
            pass
        self._writer.join(max(0.0, deadline - time.monotonic()))
        if self._writer.is_alive():
            # Stuck writing to a handler that does not read: give up on what
            # is queued. The daemon writer dies with the process.
            self._count_lost(self._outbox.discard() + self._inflight, REASON_FLUSH_TIMEOUT)
        else:
            # A sender that raced with the writer's exit may have left a message.
            self._count_lost(self._outbox.discard(),
                             REASON_HANDLER_GONE if not self._alive else REASON_FLUSH_TIMEOUT)
            self._close_stream()
        _close_fd(self._wake_r)
        _close_fd(self._wake_w)

    def wait_handler(self, timeout):
        """Waits up to ``timeout`` for the handler to finish; its exit code or None."""
        if self.process is None:
            return None
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def after_fork_in_child(self):
        """Makes the inherited channel inert in a forked child (see module docstring)."""
        self._disabled = True
        self._accepting = False
        self._outbox.discard()
        self._outbox.wake_fd = -1
        self._drops = collections.defaultdict(_Counter)
        self._close_stream()
        for fd in (self._wake_r, self._wake_w):
            _close_fd(fd)
        self._wake_r = self._wake_w = -1
        self.process = None

    def _close_stream(self):
        if self._sock is not None:
            self._sock.close()
        else:
            _close_fd(self._fd)
        self._fd = -1


_sleep = None


def _signal_free_sleep():
    """``sleep(seconds)`` that releases the interpreter lock and runs no Python
    signal handler.

    ``time.sleep``, lock and condition waits all run the handlers of signals
    that arrive meanwhile, inside the waiting call; the C library's nanosleep
    called through ctypes just returns. None where it is unavailable (the
    channel then drops instead of waiting).
    """
    global _sleep
    if _sleep is None:
        try:
            import ctypes

            class Timespec(ctypes.Structure):
                _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]

            nanosleep = ctypes.CDLL(None, use_errno=True).nanosleep
            nanosleep.argtypes = [ctypes.POINTER(Timespec), ctypes.c_void_p]
            nanosleep.restype = ctypes.c_int
        except (ImportError, OSError, AttributeError):
            _sleep = False
        else:
            def sleep(seconds):
                whole = int(seconds)
                nanosleep(Timespec(whole, int((seconds - whole) * 1e9)), None)

            _sleep = sleep
    return _sleep or None


class _SignalWatch:
    """Tells a sender waiting on the main thread that a signal has arrived.

    The C-level handler of a signal runs on whichever thread the system picks
    and only flags it; the Python handler runs later on the main thread. An
    interrupted sleep therefore misses signals taken elsewhere or between two
    sleeps, while the wake-up fd is written in every case. The program's own
    wake-up fd (asyncio's) is put back afterwards and handed what arrived
    meanwhile. On other threads it never fires: their waits do not hold up
    any signal handler.
    """

    __slots__ = ("_r", "_w", "_previous", "_seen")

    def __init__(self):
        self._r = self._w = -1
        self._previous = None
        self._seen = b""
        if threading.current_thread() is not threading.main_thread():
            return
        try:
            self._r, self._w = os.pipe()
            os.set_blocking(self._r, False)
            os.set_blocking(self._w, False)
            self._previous = signal.set_wakeup_fd(self._w)
        except (ValueError, OSError):  # not the main interpreter, or out of descriptors
            self.close()

    def fired(self):
        if self._previous is None:
            return False
        try:
            got = os.read(self._r, 512)
        except OSError:  # BlockingIOError: nothing arrived
            return False
        self._seen += got
        return bool(got)

    def close(self):
        if self._previous is not None:
            try:
                signal.set_wakeup_fd(self._previous)
                if self._previous >= 0 and self._seen:
                    os.write(self._previous, self._seen)
            except (ValueError, OSError):
                pass
            self._previous = None
        _close_fd(self._r)
        _close_fd(self._w)
        self._r = self._w = -1


def _close_fd(fd):
    if fd is not None and fd >= 0:
        try:
            os.close(fd)
        except OSError:
            pass


class MemoryChannel:
    """Keeps every message in a list; for tests and benchmarks."""

    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


def handler_command(kind, store, run_id, child=False):
    """The command line of a handler process.

    ``-c`` with the first ``sys.path`` entry removed, so that a module of the
    user's project in the current directory (say a ``sqlite3.py``) can never
    shadow what the handler imports. The handler never imports the
    interceptor, so it never runs under the recording evaluator.
    """
    code = ("import sys; del sys.path[0]; "
            "from corvane_collector.host.handler import main; sys.exit(main(sys.argv[1:]))")
    return [sys.executable, "-c", code, "--kind", kind, "--store", store, "--run-id", str(run_id),
            "--pid", str(os.getpid())] + (["--child"] if child else [])


def start_handler(kind, store, run_id, child=False, handler_env=None, **channel_options):
    """Starts a handler process for ``kind`` ("data" or "metrics") and returns its channel.

    ``child``: the recorded process is a child that joined the run.
    ``handler_env`` adds to the handler's environment (a store password, kept
    off its command line).
    """
    env = dict(os.environ)
    env.pop(ENV_RUN, None)  # a handler must never be recorded itself
    env.update(handler_env or {})
    # The handler must find this very package, whatever the user's PYTHONPATH says.
    pkg_parent = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (pkg_parent, env.get("PYTHONPATH")) if p)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        ours.shutdown(socket.SHUT_RD)
        _grow_buffer(ours)
        proc = subprocess.Popen(handler_command(kind, store, run_id, child), stdin=theirs.fileno(),
                                stdout=subprocess.DEVNULL, env=env, close_fds=True)
    except BaseException:
        ours.close()
        raise
    finally:
        theirs.close()
    return HandlerChannel(kind, ours, process=proc, **channel_options)


def _grow_buffer(sock, size=4 << 20):
    """Asks for a larger send buffer so that bursts fit without the writer blocking."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, size)
    except OSError:
        pass
