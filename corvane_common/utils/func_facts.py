"""Facts about functions that the metadata records carry."""

import inspect
import keyword
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
            argspec = _plain_argspec(func)
            if argspec is None:
                argspec = _getfullargspec(func)
            _ARGSPECS.put(func, (func.__code__, func.__defaults__, func.__kwdefaults__,
                                 func.__annotations__, argspec))
            return argspec
        return _getfullargspec(func)
    except Exception:
        return None


_FullArgSpec = inspect.FullArgSpec
_EMPTY = inspect.Parameter.empty
_CO_VARARGS = inspect.CO_VARARGS
_CO_VARKEYWORDS = inspect.CO_VARKEYWORDS
_iskeyword = keyword.iskeyword


def _plain_argspec(func):
    """What ``inspect.getfullargspec`` gives for a plain function, read from
    its code, defaults and annotations without building a Signature; None
    for the shapes where the Signature would do more than arrange them
    (names it renames or refuses, more defaults than parameters, the
    "empty" marker used as a value)."""
    if "_partialmethod" in func.__dict__:
        return None  # the Signature is the partialmethod's
    code = func.__code__
    pos_count = code.co_argcount
    kwonly_count = code.co_kwonlyargcount
    flags = code.co_flags
    count = pos_count + kwonly_count + bool(flags & _CO_VARARGS) + bool(flags & _CO_VARKEYWORDS)
    names = code.co_varnames[:count]
    if len(names) != count or len(set(names)) != count:
        return None
    for name in names:
        if type(name) is not str or not name.isidentifier() or _iskeyword(name):
            return None
    defaults = func.__defaults__
    kwdefaults = func.__kwdefaults__
    annotations = func.__annotations__
    if (defaults and (len(defaults) > pos_count or any(d is _EMPTY for d in defaults))) \
            or (kwdefaults and any(d is _EMPTY for d in kwdefaults.values())) \
            or any(a is _EMPTY for a in annotations.values()):
        return None
    args = list(names[:pos_count])
    index = pos_count + kwonly_count
    varargs = names[index] if flags & _CO_VARARGS else None
    if varargs is not None:
        index += 1
    varkw = names[index] if flags & _CO_VARKEYWORDS else None
    kwonly = list(names[pos_count:pos_count + kwonly_count])
    kept_kwdefaults = None
    if kwdefaults:
        kept_kwdefaults = {name: kwdefaults[name] for name in kwonly if name in kwdefaults} or None
    kept_annotations = {}
    if "return" in annotations:
        kept_annotations["return"] = annotations["return"]
    for name in args + ([varargs] if varargs else []) + kwonly + ([varkw] if varkw else []):
        if name in annotations:
            kept_annotations[name] = annotations[name]
    return _FullArgSpec(args, varargs, varkw, tuple([d for d in defaults]) if defaults else None,
                        kwonly, kept_kwdefaults, kept_annotations)
