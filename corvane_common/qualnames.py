"""Module names and dotted full names of callables.

A full name is ``<module>.<qualified name>``, the name under which the object
can be found again by importing the module and walking the attributes:
``pkg.mod.Class.method``, ``builtins.len``, ``builtins.list.append`` (for the
method descriptor ``list.append`` and for a bound method such as
``[].append`` alike), ``datetime.datetime.now``, ``mod.Class`` for classes.

These functions run inside the recorder's hooks for every recorded call, so
they dispatch on the exact type first and never raise: anything odd yields
None.  They avoid attribute lookups that could run user code where a type
slot or the type's own dictionary gives the answer.
"""

import builtins as _builtins
import functools
import types

_FunctionType = types.FunctionType
_BuiltinFunctionType = types.BuiltinFunctionType
_MethodType = types.MethodType
_ModuleType = types.ModuleType
_partial = functools.partial
_partialmethod = functools.partialmethod
# Descriptors of C types carry the class that defines them in __objclass__.
_OBJCLASS_TYPES = frozenset((
    types.MethodDescriptorType,
    types.WrapperDescriptorType,
    types.ClassMethodDescriptorType,
    types.GetSetDescriptorType,
    types.MemberDescriptorType,
))
_MethodWrapperType = types.MethodWrapperType
_type_module = type.__dict__["__module__"].__get__
_type_qualname = type.__dict__["__qualname__"].__get__
_object_getattribute = object.__getattribute__

_MAX_UNWRAP = 32


def _str_or_none(value):
    return value if type(value) is str else None


def _own_attribute(obj, name):
    """``obj.__dict__[name]`` without running the object's own attribute hooks."""
    try:
        return _object_getattribute(obj, "__dict__").get(name)
    except Exception:
        return None


def _class_module(cls):
    try:
        return _str_or_none(_type_module(cls))
    except Exception:
        return None


def _static_builtin_method_module(func):
    """Module of a static method of a built-in type (``str.maketrans``).

    Such functions are bound to nothing and carry no module; their qualified
    name still starts with their type's name.
    """
    qualname = _str_or_none(func.__qualname__)
    if qualname is None or "." not in qualname:
        return None
    owner_name, _, attr = qualname.rpartition(".")
    owner = _builtins.__dict__.get(owner_name)
    if isinstance(owner, type) and owner.__dict__.get(attr) is not None:
        return "builtins"
    return None


def _module_of(func, is_method, depth=0):
    t = type(func)
    if t is _FunctionType:
        return _str_or_none(func.__module__)
    if t is _BuiltinFunctionType:
        owner = func.__self__
        if owner is None or type(owner) is _ModuleType:
            module = _str_or_none(func.__module__)
            if module is None:
                if owner is not None:
                    module = _str_or_none(owner.__name__)
                else:
                    module = _static_builtin_method_module(func)
            return module
        if issubclass(type(owner), type):
            return _class_module(owner)
        return _class_module(type(owner))
    if t is _MethodType:
        if depth >= _MAX_UNWRAP:
            return None
        return _module_of(func.__func__, None, depth + 1)
    if t in _OBJCLASS_TYPES:
        return _class_module(func.__objclass__)
    if t is _MethodWrapperType:
        return _class_module(type(func.__self__))
    if issubclass(t, type):
        return _class_module(func)
    if t is _partial or t is _partialmethod:
        if depth >= _MAX_UNWRAP:
            return None
        return _module_of(func.func, None, depth + 1)
    if t is staticmethod or t is classmethod:
        if depth >= _MAX_UNWRAP:
            return None
        return _module_of(func.__func__, None, depth + 1)
    if t is _ModuleType:
        return _str_or_none(func.__name__)
    # Any other callable: wrappers made by functools.wraps carry the wrapped
    # function's module in their own __module__; plain instances report the
    # module of their class.
    module = _str_or_none(_own_attribute(func, "__module__"))
    if module is None:
        module = _class_module(t)
    if module is None and is_method is not None and type(is_method) is not bool:
        owner_type = is_method if issubclass(type(is_method), type) else type(is_method)
        module = _class_module(owner_type)
    return module


def get_function_module(func, is_method=None):
    """The name of the module that defines ``func``, or None.

    ``is_method`` is the object a method is bound to (or a bool saying that
    ``func`` is a method); it is only used when ``func`` itself does not tell
    its module.
    """
    try:
        if type(func) is _FunctionType:
            module = func.__module__
            return module if type(module) is str else None
        return _module_of(func, is_method)
    except Exception:
        return None


def _qualname_of(func, depth=0):
    t = type(func)
    if t is _FunctionType or t is _BuiltinFunctionType or t in _OBJCLASS_TYPES \
            or t is _MethodWrapperType:
        # Built-in methods compute "list.append" from the type they are bound
        # to; descriptors from their defining class.
        return _str_or_none(func.__qualname__)
    if t is _MethodType:
        if depth >= _MAX_UNWRAP:
            return None
        return _qualname_of(func.__func__, depth + 1)
    if issubclass(t, type):
        try:
            return _str_or_none(_type_qualname(func))
        except Exception:
            return None
    if t is _partial or t is _partialmethod:
        # A partial object runs its wrapped callable: name that one.
        if depth >= _MAX_UNWRAP:
            return None
        return _qualname_of(func.func, depth + 1)
    if t is staticmethod or t is classmethod:
        if depth >= _MAX_UNWRAP:
            return None
        return _qualname_of(func.__func__, depth + 1)
    if t is _ModuleType:
        return None
    # Wrappers made by functools.wraps (lru_cache and the like) copy the
    # wrapped function's qualified name into the instance.
    own = _own_attribute(func, "__qualname__")
    if type(own) is str:
        return own
    # A callable instance: calling it runs its class's __call__.
    cls_name = _qualname_of(t, depth + 1)
    if cls_name is None:
        return None
    return cls_name + ".__call__" if callable(func) else cls_name


def get_function_full_name(module, func):
    """The dotted full name of ``func`` in ``module``, or None.

    ``module`` is normally what ``get_function_module`` returned for ``func``;
    when it is None (or not a str) the module is worked out here.  A module
    object yields its own name.
    """
    try:
        if type(func) is _FunctionType and type(module) is str:
            qualname = func.__qualname__
            return module + "." + qualname if module else qualname
        if type(func) is _ModuleType:
            return _str_or_none(func.__name__)
        qualname = _qualname_of(func)
        if qualname is None:
            return None
        if type(module) is not str:
            module = _module_of(func, None)
        if not module:
            return qualname
        return module + "." + qualname
    except Exception:
        return None
