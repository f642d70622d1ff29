"""Facts about functions that the metadata records carry."""

import inspect

_getfullargspec = inspect.getfullargspec


def get_signature(func):
    """``inspect.getfullargspec(func)``, or None when it cannot be computed."""
    try:
        return _getfullargspec(func)
    except Exception:
        return None
