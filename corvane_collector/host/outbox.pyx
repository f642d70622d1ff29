# cython: language_level=3
"""The queue of a channel and its two hot paths, compiled.

``send_message`` runs on the user's threads several times per recorded call
(the attempt, the record, the outcome, one report per external call), so it
is a C method: admitting a message is a handful of C steps with the
interpreter lock held throughout, hence atomic with respect to the writer
and to other senders. The writer thread's ``take`` moves a batch of queued
messages into one buffer of frames (the wire format of
``corvane_collector.host.protocol``) in one C call as well.

Everything that may wait, count a drop or run Python code (a full queue in
the "wait" mode, a closed channel) stays with the channel: the fast path
hands such messages to the channel's ``slow`` callable.
"""

cimport cython
from cpython.bytes cimport PyBytes_FromStringAndSize, PyBytes_AS_STRING, PyBytes_GET_SIZE
from cpython.pycapsule cimport PyCapsule_New
from libc.string cimport memcpy
from posix.time cimport clock_gettime, timespec, CLOCK_REALTIME

cdef extern from "Python.h":
    unsigned long PyThread_get_thread_ident()

cdef extern from "<unistd.h>" nogil:
    ssize_t write(int fd, const void *buf, size_t count)

# protocol.HEADER: >BQdQ (kind, thread, time, length)
DEF _HEADER_SIZE = 25
cdef unsigned char _FRAME_MESSAGE = 1
cdef unsigned char _FRAME_ACCEPTED = 4


# The sending thread's id as an int, kept while the same thread sends.
cdef unsigned long _tid_cached = 0
cdef object _tid_object = None


cdef inline object _thread_id():
    global _tid_cached, _tid_object
    cdef unsigned long tid = PyThread_get_thread_ident()
    if tid != _tid_cached or _tid_object is None:
        _tid_object = tid
        _tid_cached = tid
    return _tid_object


cdef inline double _now():
    cdef timespec ts
    clock_gettime(CLOCK_REALTIME, &ts)
    return <double>ts.tv_sec + <double>ts.tv_nsec * 1e-9


cdef inline void _put_u64(unsigned char *p, unsigned long long v):
    cdef int i
    for i in range(8):
        p[7 - i] = <unsigned char>(v & 0xff)
        v >>= 8


cdef inline void _put_header(unsigned char *p, unsigned char kind, unsigned long long tid,
                             double when, unsigned long long length):
    cdef unsigned long long bits
    p[0] = kind
    _put_u64(p + 1, tid)
    memcpy(&bits, &when, 8)
    _put_u64(p + 9, bits)
    _put_u64(p + 17, length)


cdef class Outbox:
    """Bounded queue of (kind, thread id, time, payload) frames.

    ``queued_bytes`` counts the payload bytes of queued messages; ``sent``
    the messages admitted so far. ``slow(data, size)`` is called for a
    message the fast path does not admit (closed, no room, or a size of -1:
    a payload without a length).
    """

    cdef readonly object queue
    cdef public Py_ssize_t queued_bytes
    cdef public Py_ssize_t max_messages
    cdef public Py_ssize_t max_bytes
    cdef public bint accepting
    cdef public bint idle
    cdef public int wake_fd
    cdef readonly unsigned long long sent
    cdef object _slow
    cdef object _append
    cdef object _popleft

    def __init__(self, queue, Py_ssize_t max_messages, Py_ssize_t max_bytes, slow, int wake_fd):
        self.queue = queue
        self._append = queue.append
        self._popleft = queue.popleft
        self.max_messages = max_messages
        self.max_bytes = max_bytes
        self._slow = slow
        self.wake_fd = wake_fd
        self.accepting = True
        self.idle = False
        self.queued_bytes = 0
        self.sent = 0

    def replace_queue(self, queue):
        """A fresh queue (after a fork, the inherited one is dropped)."""
        self.queue = queue
        self._append = queue.append
        self._popleft = queue.popleft
        self.queued_bytes = 0

    @cython.binding(False)  # a plain C method: bound, it is called without a method object
    def send_message(self, data):
        """Queue ``data`` (bytes) for the handler; never raises."""
        self._send(data)
        return None

    cdef int _send(self, data):
        cdef Py_ssize_t size
        try:
            size = len(data)
        except Exception:
            size = -1  # not bytes: the channel counts it
        try:
            if size >= 0 and self.accepting and (not self.queue or (
                    len(self.queue) < self.max_messages
                    and self.queued_bytes + size <= self.max_bytes)):
                self._admit(data, size)
            else:
                self._slow(data, size)
        except Exception:  # the user's program must never see our failures
            pass
        return 0

    cdef inline _admit(self, data, Py_ssize_t size):
        self._append((_FRAME_MESSAGE, _thread_id(), _now(), data))
        self.queued_bytes += size
        self.sent += 1
        if self.idle:
            self._wake()

    cdef _wake(self):
        self.idle = False
        if self.wake_fd >= 0:
            write(self.wake_fd, b"w", 1)  # a full pipe means the writer is awake anyway

    def admit(self, data, Py_ssize_t size):
        """Queues a message over the bounds (the channel decided to let it in)."""
        self._admit(data, size)

    def wake(self):
        self._wake()

    def take(self, Py_ssize_t batch_bytes):
        """Pops queued frames, up to about ``batch_bytes`` of them, and returns
        (buffer, messages, unwritable): the buffer holds an accepted frame
        and then the frames taken. None when the queue is empty
        (``queued_bytes`` is then reset).

        A message whose payload is not bytes-like cannot be written: it is
        left out and counted in ``unwritable``."""
        cdef list items = []
        cdef list payloads = []
        cdef Py_ssize_t total = _HEADER_SIZE + 8
        cdef Py_ssize_t count = 0
        cdef Py_ssize_t taken = 0
        cdef Py_ssize_t unwritable = 0
        cdef Py_ssize_t batch = 0
        cdef Py_ssize_t size
        cdef Py_ssize_t pos
        cdef unsigned char *out
        cdef unsigned long long accepted = self.sent
        cdef tuple frame
        cdef bint is_message
        queue = self.queue
        if not queue:
            self.queued_bytes = 0
            return None
        while queue and batch < batch_bytes:
            try:
                frame = self._popleft()
            except IndexError:
                break
            payload = frame[3]
            is_message = frame[0] == _FRAME_MESSAGE
            if is_message:
                taken += len(payload)
            if type(payload) is not bytes:
                payload = _as_bytes(payload)
                if payload is None:
                    unwritable += is_message
                    continue
            items.append(frame)
            payloads.append(payload)
            size = PyBytes_GET_SIZE(payload)
            total += _HEADER_SIZE + size
            batch += _HEADER_SIZE + size
            count += is_message
        result = PyBytes_FromStringAndSize(NULL, total)
        out = <unsigned char *>PyBytes_AS_STRING(result)
        _put_header(out, _FRAME_ACCEPTED, 0, 0.0, 8)
        _put_u64(out + _HEADER_SIZE, accepted)
        pos = _HEADER_SIZE + 8
        for i in range(len(items)):
            frame = items[i]
            payload = payloads[i]
            size = PyBytes_GET_SIZE(payload)
            _put_header(out + pos, <unsigned char>frame[0], <unsigned long long>frame[1],
                        <double>frame[2], <unsigned long long>size)
            memcpy(out + pos + _HEADER_SIZE, PyBytes_AS_STRING(payload), size)
            pos += _HEADER_SIZE + size
        self.queued_bytes -= taken
        return result, count, unwritable


cdef object _as_bytes(payload):
    try:
        return bytes(memoryview(payload).cast("B"))
    except Exception:
        return None


# For the recorder, which sends from C: the send path without the method
# call, and what tells a channel's send_message is an outbox's own.
cdef int _send_entry(object outbox, object data):
    return (<Outbox>outbox)._send(data)


def _direct_send():
    """(the Outbox class, its send_message descriptor, a capsule of the C send)"""
    return (Outbox, Outbox.__dict__["send_message"],
            PyCapsule_New(<void *>_send_entry, b"corvane.outbox_send", NULL))
