"""Facts about functions that the metadata records carry."""

import inspect
import types

from corvane_common.utils.identity_table import IdentityTable

_getfullargspec = inspect.getfullargspec
_FunctionType = types.FunctionType

# Argspecs of plain functions, computed once per function.  The
# metadata of every recorded call asks for the argspec, and building one costs
# far more than the rest of the metadata.  An entry is reused only while the
# attributes that the argspec is derived from are the very objects it was made
# from; weak keys let the entry go with its function.  A __signature__
# attribute overrides what the code says and can come and go at any time, so
# functions that have one are not cached.
_ARGSPECS = IdentityTable()


def get_signature(func):
    """``inspect.getfullargspec(func)``, or None when it cannot be computed.

    The result is shared between calls for the same unchanged function and
    must be treated as read-only.
    """
    try:
        if type(func) is _FunctionType and "__signature__" not in func.__dict__:
            entry = _ARGSPECS.get(func)
            if entry is not None:
                code, defaults, kwdefaults, annotations, argspec = entry
                if code is func.__code__ and defaults is func.__defaults__ \
                        and kwdefaults is func.__kwdefaults__ \
                        and annotations is func.__annotations__:
                    return argspec
            argspec = _getfullargspec(func)
            _ARGSPECS.put(func, (func.__code__, func.__defaults__, func.__kwdefaults__,
                                 func.__annotations__, argspec))
            return argspec
        return _getfullargspec(func)
    except Exception:
        return None
