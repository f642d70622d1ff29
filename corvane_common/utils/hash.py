"""Content hash of a function's code.

The hash identifies what a function does, not where it lives: it covers the
byte code, the constants (nested code objects included, recursively), the
names, variable names, free and cell variables, flags, argument counts and
the code's name.  It leaves out the file name and line numbers, so moving a
function within its file keeps its hash, and it depends on nothing that
varies between processes (no ids, no string hash randomisation: frozenset
constants are hashed in a canonical order).
"""

import hashlib
import weakref
import types

from corvane_common.utils.identity_table import IdentityTable

_CodeType = types.CodeType
_FunctionType = types.FunctionType

# Digests by code object.  Code objects compare by content (and their
# equality distinguishes 1, 1.0 and True among constants), which is exactly
# what the digest covers, so equal code may share an entry.  The cache is
# bounded: programs that build functions dynamically must not grow it
# without limit.  Code is held weakly: the program decides how long its code
# objects (and what hangs on them, such as extra slots and their free
# functions) live.
_CACHE = weakref.WeakKeyDictionary()
_CACHE_MAX = 4096
# The same digests by the code object's identity (hashing a code object hashes
# its whole content).
_BY_ID = IdentityTable()

_MAX_UNWRAP = 32


def _encode_str(value):
    data = value.encode("utf-8", "surrogatepass")
    return b"%d:" % len(data) + data


def _encode_const(value, out):
    t = type(value)
    if t is str:
        out.append(b"s" + _encode_str(value))
    elif value is None:
        out.append(b"N")
    elif value is Ellipsis:
        out.append(b"E")
    elif t is bool:
        out.append(b"T" if value else b"F")
    elif t is int:
        out.append(b"i%d;" % value)
    elif t is float:
        out.append(b"f" + value.hex().encode() + b";")
    elif t is complex:
        out.append(b"c" + value.real.hex().encode() + b"," + value.imag.hex().encode() + b";")
    elif t is bytes:
        out.append(b"b%d:" % len(value) + value)
    elif t is tuple:
        out.append(b"(%d:" % len(value))
        for item in value:
            _encode_const(item, out)
        out.append(b")")
    elif t is frozenset:
        items = []
        for item in value:
            parts = []
            _encode_const(item, parts)
            items.append(b"".join(parts))
        items.sort()
        out.append(b"{%d:" % len(items))
        out.extend(items)
        out.append(b"}")
    elif t is _CodeType:
        _encode_code(value, out)
    else:
        # Not produced by the compiler; keep it deterministic all the same.
        out.append(b"?" + _encode_str(t.__qualname__) + _encode_str(repr(value)))


def _encode_names(names, out):
    out.append(b"[%d:" % len(names))
    for name in names:
        out.append(_encode_str(name))
    out.append(b"]")


def _encode_code(code, out):
    out.append(b"C%d,%d,%d,%d,%d;" % (
        code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount,
        code.co_nlocals, code.co_flags))
    out.append(_encode_str(code.co_name))
    out.append(b"%d:" % len(code.co_code) + code.co_code)
    out.append(b"K")
    _encode_const(code.co_consts, out)
    _encode_names(code.co_names, out)
    _encode_names(code.co_varnames, out)
    _encode_names(code.co_freevars, out)
    _encode_names(code.co_cellvars, out)


def _code_of(func):
    for _ in range(_MAX_UNWRAP):
        t = type(func)
        if t is _CodeType:
            return func
        if t is _FunctionType:
            return func.__code__
        inner = getattr(func, "__func__", None)
        if inner is None or inner is func:
            break
        func = inner
    code = getattr(func, "__code__", None)
    return code if type(code) is _CodeType else None


def hash_code(code):
    """Hex digest of a code object's content."""
    digest = _CACHE.get(code)
    if digest is not None:
        return digest
    parts = []
    _encode_code(code, parts)
    digest = hashlib.blake2b(b"".join(parts), digest_size=16).hexdigest()
    if len(_CACHE) >= _CACHE_MAX:
        _CACHE.clear()
    if len(_BY_ID) >= _CACHE_MAX:
        _BY_ID.clear()
    _CACHE[code] = digest
    _BY_ID.put(code, digest)
    return digest


def get_hash(func):
    """Stable hash (hex str) of the code of ``func``, or None without code.

    Accepts functions, bound and class methods, static methods and code
    objects.
    """
    try:
        if type(func) is _FunctionType:
            code = func.__code__
            digest = _BY_ID.get(code)
            if digest is not None:
                return digest
        code = _code_of(func)
        if code is None:
            return None
        return hash_code(code)
    except Exception:
        return None
