# cython: language_level=3
"""The queue of a channel and its two hot paths, compiled.

``send_message`` runs on the user's threads several times per recorded call
(the attempt, the record, the outcome, one report per external call), so it
is a C method: admitting a message is a handful of C steps with the
interpreter lock held throughout, hence atomic with respect to the writer
and to other senders. Queued messages are kept already framed (the wire
format of ``corvane_collector.host.protocol``) in one growing buffer: a send
is a header and a copy, with no object made, and the writer thread's
``take`` cuts the next batch off the front in one C call.

Everything that may wait, count a drop or run Python code (a full queue in
the "wait" mode, a closed channel, a payload that is not bytes) stays with
the channel: the fast path hands such messages to the channel's ``slow``
callable.
"""

cimport cython
from cpython.ref cimport PyObject
from cpython.bytes cimport PyBytes_FromStringAndSize, PyBytes_AS_STRING, PyBytes_GET_SIZE
from cpython.mem cimport PyMem_Malloc, PyMem_Realloc, PyMem_Free
from cpython.pycapsule cimport PyCapsule_New
from libc.string cimport memcpy, memmove
from posix.time cimport clock_gettime, timespec, CLOCK_REALTIME

cdef extern from "Python.h":
    unsigned long PyThread_get_thread_ident()
    int _PyFloat_Pack8(double x, unsigned char *p, int le) except -1

cdef extern from "<unistd.h>" nogil:
    ssize_t write(int fd, const void *buf, size_t count)

# protocol.HEADER: >BQdQ (kind, thread, time, length)
DEF _HEADER_SIZE = 25
cdef unsigned char _FRAME_MESSAGE = 1
cdef unsigned char _FRAME_ACCEPTED = 4
# An emptied buffer larger than this is given back (a burst must not keep
# its memory for the rest of the run).
cdef Py_ssize_t _KEEP_CAPACITY = 8 << 20


cdef inline double _now():
    cdef timespec ts
    clock_gettime(CLOCK_REALTIME, &ts)
    return <double>ts.tv_sec + <double>ts.tv_nsec * 1e-9


cdef extern from *:
    """
    #include <string.h>
    // v big-endian at p, in one store
    static inline void corv_put_be64(unsigned char *p, unsigned long long v) {
    #if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
    #endif
        memcpy(p, &v, 8);
    }
    """
    void corv_put_be64(unsigned char *p, unsigned long long v)


cdef inline void _put_u64(unsigned char *p, unsigned long long v):
    corv_put_be64(p, v)


cdef inline unsigned long long _get_u64(const unsigned char *p):
    cdef unsigned long long v = 0
    cdef int i
    for i in range(8):
        v = (v << 8) | p[i]
    return v


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

    ``frames`` counts the queued frames, ``messages`` the queued message
    frames and ``queued_bytes`` their payload bytes; ``sent`` the messages
    admitted so far and ``sent_bytes`` their payload bytes. ``slow(data,
    size)`` is called for a message the fast path does not admit (closed,
    no room, or a size of -1: a payload that is not bytes-like).
    """

    cdef unsigned char *_buf
    cdef Py_ssize_t _start       # first queued byte
    cdef Py_ssize_t _end         # one past the last
    cdef readonly Py_ssize_t capacity   # bytes allocated for the buffer
    cdef readonly Py_ssize_t frames
    cdef readonly Py_ssize_t messages
    cdef readonly Py_ssize_t queued_bytes
    cdef public Py_ssize_t max_messages
    cdef public Py_ssize_t max_bytes
    cdef public bint accepting
    cdef public bint idle
    cdef public int wake_fd
    cdef readonly unsigned long long sent
    cdef readonly unsigned long long sent_bytes
    cdef object _slow

    def __init__(self, Py_ssize_t max_messages, Py_ssize_t max_bytes, slow, int wake_fd):
        self.max_messages = max_messages
        self.max_bytes = max_bytes
        self._slow = slow
        self.wake_fd = wake_fd
        self.accepting = True
        self.idle = False

    def __dealloc__(self):
        PyMem_Free(self._buf)

    @cython.binding(False)  # a plain C method: bound, it is called without a method object
    def send_message(self, data):
        """Queue ``data`` (bytes) for the handler; never raises."""
        self._send(data)
        return None

    cdef int _send(self, data):
        cdef Py_ssize_t size
        try:
            if type(data) is not bytes:
                copied = _as_bytes(data)
                if copied is None:
                    self._slow(data, -1)  # not bytes: the channel counts it
                    return 0
                data = copied
            size = PyBytes_GET_SIZE(data)
            if self._fits(size):
                self._admit(data, size)
            else:
                self._slow(data, size)
        except Exception:  # the user's program must never see our failures
            pass
        return 0

    cdef int _room(self, Py_ssize_t need) except -1:
        # Makes room for need more bytes at the end of the buffer.
        cdef Py_ssize_t used = self._end - self._start
        cdef Py_ssize_t capacity
        cdef unsigned char *grown
        if self._end + need <= self.capacity:
            return 0
        if self._start > 0:
            memmove(self._buf, self._buf + self._start, used)
            self._start = 0
            self._end = used
            if used + need <= self.capacity:
                return 0
        capacity = max(self.capacity * 2, used + need, 4096)
        grown = <unsigned char *>PyMem_Realloc(self._buf, capacity)
        if grown == NULL:
            raise MemoryError()
        self._buf = grown
        self.capacity = capacity
        return 0

    cdef inline unsigned char *_reserve(self, Py_ssize_t size) except NULL:
        # where the payload of a frame of this size goes (_commit queues it)
        self._room(_HEADER_SIZE + size)
        return self._buf + self._end + _HEADER_SIZE

    cdef inline void _commit(self, unsigned char kind, unsigned long long tid, Py_ssize_t size):
        _put_header(self._buf + self._end, kind, tid, _now(), <unsigned long long>size)
        self._end += _HEADER_SIZE + size
        self.frames += 1
        if self.idle:
            self._wake()

    cdef int _put(self, unsigned char kind, unsigned long long tid, data) except -1:
        cdef Py_ssize_t size = PyBytes_GET_SIZE(data)
        memcpy(self._reserve(size), PyBytes_AS_STRING(data), size)
        self._commit(kind, tid, size)
        return 0

    cdef inline void _count(self, Py_ssize_t size):
        self.messages += 1
        self.queued_bytes += size
        self.sent += 1
        self.sent_bytes += size

    cdef inline int _admit(self, data, Py_ssize_t size) except -1:
        self._put(_FRAME_MESSAGE, PyThread_get_thread_ident(), data)
        self._count(size)
        return 0

    cdef inline bint _fits(self, Py_ssize_t size):
        return self.accepting and (self.frames == 0 or (
            self.frames < self.max_messages and self.queued_bytes + size <= self.max_bytes))

    cdef int _send_parts(self, PyObject *head, double stamp, PyObject *tail):
        # _send of the message head + stamp (8 bytes, big-endian) + tail,
        # written into the queue without the message's bytes object
        cdef Py_ssize_t n_head = PyBytes_GET_SIZE(<object>head)
        cdef Py_ssize_t n_tail = PyBytes_GET_SIZE(<object>tail)
        cdef Py_ssize_t size = n_head + 8 + n_tail
        cdef unsigned char *out
        data = None
        try:
            if self._fits(size):
                out = self._reserve(size)
            else:
                data = PyBytes_FromStringAndSize(NULL, size)
                out = <unsigned char *>PyBytes_AS_STRING(data)
            memcpy(out, PyBytes_AS_STRING(<object>head), n_head)
            _PyFloat_Pack8(stamp, out + n_head, 0)
            memcpy(out + n_head + 8, PyBytes_AS_STRING(<object>tail), n_tail)
            if data is None:
                self._commit(_FRAME_MESSAGE, PyThread_get_thread_ident(), size)
                self._count(size)
            else:
                self._send(data)
        except Exception:  # the user's program must never see our failures
            pass
        return 0

    cdef _wake(self):
        self.idle = False
        if self.wake_fd >= 0:
            write(self.wake_fd, b"w", 1)  # a full pipe means the writer is awake anyway

    def admit(self, data, Py_ssize_t size):
        """Queues a message over the bounds (the channel decided to let it in)."""
        self._admit(data, PyBytes_GET_SIZE(<bytes?>data))

    def put_control(self, unsigned char kind, bytes payload):
        """Queues a frame that is not a message (drops, context), after the
        messages queued so far."""
        self._put(kind, 0, payload)

    def wake(self):
        self._wake()

    def take(self, Py_ssize_t batch_bytes):
        """Cuts queued frames off the front, whole frames up to about
        ``batch_bytes`` of them, and returns (buffer, messages): the buffer
        holds an accepted frame and then the frames taken. None when nothing
        is queued."""
        cdef unsigned long long accepted = self.sent
        cdef Py_ssize_t pos = self._start
        cdef Py_ssize_t size
        cdef Py_ssize_t count = 0
        cdef Py_ssize_t payload = 0
        cdef Py_ssize_t n_frames = 0
        cdef unsigned char *out
        if self.frames == 0:
            return None
        while pos < self._end and pos - self._start < batch_bytes:
            size = <Py_ssize_t>_get_u64(self._buf + pos + 17)
            if self._buf[pos] == _FRAME_MESSAGE:
                count += 1
                payload += size
            n_frames += 1
            pos += _HEADER_SIZE + size
        result = PyBytes_FromStringAndSize(NULL, _HEADER_SIZE + 8 + pos - self._start)
        out = <unsigned char *>PyBytes_AS_STRING(result)
        _put_header(out, _FRAME_ACCEPTED, 0, 0.0, 8)
        _put_u64(out + _HEADER_SIZE, accepted)
        memcpy(out + _HEADER_SIZE + 8, self._buf + self._start, pos - self._start)
        self._start = pos
        self.frames -= n_frames
        self.messages -= count
        self.queued_bytes -= payload
        if self._start == self._end:
            self._emptied()
        return result, count

    def discard(self, bint keep_room=False):
        """Empties the queue; returns how many messages it held. The
        buffer's memory is given back unless keep_room is set."""
        cdef Py_ssize_t count = self.messages
        self.frames = self.messages = self.queued_bytes = 0
        if keep_room:
            self._emptied()
        else:
            self._start = self._end = 0
            self._release()
        return count

    cdef void _emptied(self):
        self._start = self._end = 0
        if self.capacity > _KEEP_CAPACITY:
            self._release()

    cdef void _release(self):
        PyMem_Free(self._buf)
        self._buf = NULL
        self.capacity = 0


cdef object _as_bytes(payload):
    # A bytes-like payload is copied now: the sender may change it later.
    try:
        return bytes(memoryview(payload).cast("B"))
    except Exception:
        return None


# For the recorder, which sends from C: the send path without the method
# call, and what tells a channel's send_message is an outbox's own.
cdef int _send_entry(object outbox, object data):
    return (<Outbox>outbox)._send(data)


cdef int _send_parts_entry(object outbox, PyObject *head, double stamp, PyObject *tail):
    return (<Outbox>outbox)._send_parts(head, stamp, tail)


def _direct_send():
    """(the Outbox class, its send_message descriptor, a capsule of the C
    send, a capsule of the C send of a message given as head, stamp and tail)"""
    return (Outbox, Outbox.__dict__["send_message"],
            PyCapsule_New(<void *>_send_entry, b"corvane.outbox_send", NULL),
            PyCapsule_New(<void *>_send_parts_entry, b"corvane.outbox_send_parts", NULL))
