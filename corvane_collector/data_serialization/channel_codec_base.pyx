"""Interface of the serializers through which records and metrics become bytes."""

from abc import ABC, abstractmethod
from typing import Any


class ChannelCodecBase(ABC):

    @abstractmethod
    def serialize(self, obj) -> bytes:
        """This function serializes an object."""
        pass

    @abstractmethod
    def deserialize(self, bytes data) -> Any:
        """This function deserializes given data."""
        pass
