"""Wire format between a channel (in the recorded process) and its handler process.

A stream of frames over the handler's standard input. Each frame is a fixed
header followed by ``length`` payload bytes:

    kind    u8   FRAME_MESSAGE, FRAME_DROPS, FRAME_CONTEXT or FRAME_ACCEPTED
    thread  u64  identifier of the sending thread (threading.get_ident())
    time    f64  wall-clock time of the send (time.time())
    length  u64  payload length

A message payload is passed through untouched (a pickled call record on the
data channel, a pickled metric message on the metrics channel). A drops payload
is JSON: running totals of the messages a channel could not deliver, keyed by
channel name and reason, so repeating a report is harmless. A context payload
is JSON too: what the messages after it in the stream belong to (for now the
node id of the test that is running, or null). An accepted payload is a u64:
how many messages the channel had accepted when it began writing the batch
that follows; should the process die with messages still queued, the handler
knows at least how many it never got.
"""

import json
import struct

HEADER = struct.Struct(">BQdQ")
HEADER_SIZE = HEADER.size

FRAME_MESSAGE = 1
FRAME_DROPS = 2
FRAME_CONTEXT = 3
FRAME_ACCEPTED = 4
_COUNT = struct.Struct(">Q")


def pack_header(kind, thread_id, when, length):
    return HEADER.pack(kind, thread_id, when, length)


def encode_drops(totals):
    """totals: {(channel, reason): count} -> payload bytes."""
    return json.dumps([[c, r, n] for (c, r), n in sorted(totals.items())]).encode()


def decode_drops(payload):
    return {(c, r): int(n) for c, r, n in json.loads(payload.decode())}


def encode_count(n):
    return _COUNT.pack(n)


def decode_count(payload):
    return _COUNT.unpack(payload)[0]


def encode_context(test):
    return json.dumps({"test": test}).encode()


def decode_context(payload):
    test = json.loads(payload.decode()).get("test")
    return test if isinstance(test, str) else None


def merge_drops(into, totals):
    """Merges running totals: the larger count of each key wins."""
    for key, count in totals.items():
        if count > into.get(key, -1):
            into[key] = count
    return into


class FrameReader:
    """Incremental parser: feed it bytes, take complete frames out."""

    def __init__(self):
        self._buf = bytearray()

    def feed(self, data):
        self._buf += data

    def frames(self):
        """Yields (kind, thread_id, time, payload) for every complete frame."""
        buf = self._buf
        pos = 0
        end = len(buf)
        while end - pos >= HEADER_SIZE:
            kind, tid, when, length = HEADER.unpack_from(buf, pos)
            if end - pos - HEADER_SIZE < length:
                break
            start = pos + HEADER_SIZE
            yield kind, tid, when, bytes(buf[start:start + length])
            pos = start + length
        if pos:
            del buf[:pos]

    @property
    def pending(self):
        """Bytes of an incomplete trailing frame (non-zero at EOF means truncation)."""
        return len(self._buf)
