"""Serializer used on the channels to the handler processes.

Writes with the safe pickler, which never runs the user's pickling code, and
reads with the interpreter's own C unpickler.  Reading is not the forgiving
loader of the safe pickler: a reader must know when data is damaged, so load
errors propagate.
"""

from typing import Any

import _pickle

from corvane_collector.data_serialization.pickler import safe_pickle
from corvane_collector.data_serialization.channel_codec_base import ChannelCodecBase


class IpcPickleSerializer(ChannelCodecBase):
    """This class is used to serialize and deserialize data using pickle."""

    def serialize(self, obj, obj_wrap=True) -> bytes:
        # Module globals are looked up at each call, so a replaced
        # safe_pickle takes effect at once.
        return safe_pickle(obj, obj_wrap)

    def deserialize(self, data):
        return _pickle.loads(data)
