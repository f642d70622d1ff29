"""Facts about functions that the metadata records carry."""

import inspect
import types
import weakref

_getfullargspec = inspect.getfullargspec
_FunctionType = types.FunctionType

# Argspecs of plain functions, computed once per function.  The
# metadata of every recorded call asks for the argspec, and building one costs
# far more than the rest of the metadata.  An entry is reused only while the
# attributes that the argspec is derived from are the very objects it was made
# from; weak keys let the entry go with its function.  A __signature__
# attribute overrides what the code says and can come and go at any time, so
# functions that have one are not cached.
# Entries are keyed by id(func) and hold a weak reference whose callback
# drops the entry when the function dies (before its id can be reused); a
# lookup also checks that the reference still points at the function asked
# about.  (A WeakKeyDictionary would build a weak reference at every lookup.)
_ARGSPECS = {}


def _forget(ref):
    try:
        entry = _ARGSPECS.get(ref.key)
        if entry is not None and entry[0] is ref:
            del _ARGSPECS[ref.key]
    except BaseException:
        pass


def get_signature(func):
    """``inspect.getfullargspec(func)``, or None when it cannot be computed.

    The result is shared between calls for the same unchanged function and
    must be treated as read-only.
    """
    try:
        if type(func) is _FunctionType and "__signature__" not in func.__dict__:
            key = id(func)
            entry = _ARGSPECS.get(key)
            if entry is not None:
                ref, code, defaults, kwdefaults, annotations, argspec = entry
                if ref() is func and code is func.__code__ and defaults is func.__defaults__ \
                        and kwdefaults is func.__kwdefaults__ \
                        and annotations is func.__annotations__:
                    return argspec
            argspec = _getfullargspec(func)
            _ARGSPECS[key] = (weakref.KeyedRef(func, _forget, key), func.__code__, func.__defaults__,
                              func.__kwdefaults__, func.__annotations__, argspec)
            return argspec
        return _getfullargspec(func)
    except Exception:
        return None
