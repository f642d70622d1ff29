"""How record payloads are kept in the store: content hash, compression, dictionaries.

A payload is stored once per distinct content (its BLAKE2b hash is the key)
and compressed with zstandard. Records of one function resemble each other far
more than any one record resembles itself, so once a function has sent
``DICT_SAMPLES`` distinct payloads a zstandard dictionary is trained on them
and used for the function's later payloads; the dictionary is kept in the
store and reused by later runs. Every zstandard frame carries a checksum and
the stored size is checked on reading, so a damaged blob is reported, never
read back as other bytes.
"""

import hashlib

import zstandard

RAW = 0          # the bytes as sent (payloads too small to gain from compression)
ZSTD = 1         # a zstandard frame
ZSTD_DICT = 2    # a zstandard frame made with one of the store's dictionaries

LEVEL = 3
SMALL = 64            # payloads up to this size are kept raw
DICT_SAMPLES = 16     # distinct payloads of a function before a dictionary is trained
DICT_MIN_BYTES = 16 << 10
DICT_SAMPLE_MAX = 1 << 20  # larger payloads gain little from a dictionary: never held as samples
DICT_SIZE = 16 << 10
# Fixed training parameters: searching for the best ones takes a hundred times
# longer (seconds per function, in the handler) and gains nothing on records.
DICT_TRAINING = {"k": 1024, "d": 8, "f": 18, "accel": 1}


class BlobError(Exception):
    """A stored blob cannot be turned back into the payload that was sent."""


def content_hash(data):
    return hashlib.blake2b(data, digest_size=32).digest()


class Dictionary:
    """A trained dictionary; ``id`` is None until it is saved in the store."""

    def __init__(self, data, dict_id=None):
        self.data = data
        self.id = dict_id
        self._compressor = None

    def compressor(self):
        if self._compressor is None:
            d = zstandard.ZstdCompressionDict(self.data)
            self._compressor = zstandard.ZstdCompressor(level=LEVEL, dict_data=d,
                                                        write_checksum=True)
        return self._compressor


class Compressor:
    """Compresses the payloads of one writer; trains a dictionary per function.

    ``find_dictionary(function)`` returns the newest ``Dictionary`` the store
    holds for a function, or None. New dictionaries are listed in ``unsaved``
    until the writer has stored them.
    """

    def __init__(self, find_dictionary=lambda function: None):
        self._plain = zstandard.ZstdCompressor(level=LEVEL, write_checksum=True)
        self._find = find_dictionary
        self._dicts = {}      # function -> Dictionary, or None while sampling / when untrainable
        self._samples = {}    # function -> [payload, ...]
        self.unsaved = []

    def compress(self, function, data):
        """(codec, Dictionary or None, stored bytes) for one distinct payload."""
        if len(data) <= SMALL:
            return RAW, None, data
        d = None
        if function and len(data) <= DICT_SAMPLE_MAX:
            d = self._dictionary(function, data)
        if d is not None:
            return ZSTD_DICT, d, d.compressor().compress(data)
        blob = self._plain.compress(data)
        if len(blob) >= len(data):
            return RAW, None, data
        return ZSTD, None, blob

    def _dictionary(self, function, data):
        if function in self._dicts:
            return self._dicts[function]
        samples = self._samples.get(function)
        if samples is None:
            found = self._find(function)
            if found is not None:
                self._dicts[function] = found
                return found
            samples = self._samples[function] = []
        samples.append(data)
        if len(samples) < DICT_SAMPLES:
            return None
        del self._samples[function]
        d = None
        if sum(map(len, samples)) >= DICT_MIN_BYTES:
            try:
                d = Dictionary(zstandard.train_dictionary(DICT_SIZE, samples, **DICT_TRAINING).as_bytes())
            except zstandard.ZstdError:
                d = None  # samples too alike or too few: plain frames serve as well
            if d is not None:
                self.unsaved.append((function, d))
        self._dicts[function] = d
        return d


class Decompressor:
    """Turns stored blobs back into payloads; ``load_dictionary(id)`` gives a dictionary's bytes."""

    def __init__(self, load_dictionary):
        self._load = load_dictionary
        self._plain = zstandard.ZstdDecompressor()
        self._by_id = {}

    def decompress(self, codec, dict_id, blob, size=None):
        """The payload; ``size``, when known, is checked."""
        if blob is None:
            raise BlobError("the stored blob is missing")
        blob = bytes(blob)
        if codec == RAW:
            data = blob
        elif codec in (ZSTD, ZSTD_DICT):
            try:
                d = self._decompressor(dict_id) if codec == ZSTD_DICT else self._plain
                data = d.decompress(blob)
            except zstandard.ZstdError as exc:
                raise BlobError(f"the compressed blob is damaged ({exc})") from None
        else:
            raise BlobError(f"unknown blob codec {codec!r}")
        if size is not None and len(data) != size:
            raise BlobError(f"the stored blob holds {len(data)} bytes, not {size}")
        return data

    def _decompressor(self, dict_id):
        d = self._by_id.get(dict_id)
        if d is None:
            raw = self._load(dict_id)
            if raw is None:
                raise BlobError(f"dictionary {dict_id} is missing from the store")
            d = zstandard.ZstdDecompressor(dict_data=zstandard.ZstdCompressionDict(bytes(raw)))
            self._by_id[dict_id] = d
        return d
