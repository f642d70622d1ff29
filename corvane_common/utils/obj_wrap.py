"""Stand-in objects for values that were not pickled as themselves.

The safe pickler replaces functions, modules, exceptions, objects whose used
attributes were recorded and objects it could not pickle by small
descriptions; when a record is loaded these classes rebuild objects that
stand for the originals: they keep the type name, the attribute values and
the names of the methods, and can resolve names to the real objects when
the code they name is importable where the record is loaded.

Rules for these classes (the safe pickler relies on them):
- no ``__getattr__``: an attribute hook written in Python makes the pickler
  refuse the object;
- no pickling methods except on ``FunctionWrapper``, which the pickler
  exempts by its qualified name and module;
- loaded state goes straight into the instance ``__dict__`` (no
  ``__setstate__``), so recorded attribute names become attributes; the
  wrappers' own bookkeeping uses name-mangled attributes that recorded names
  cannot collide with in practice.
"""

import importlib
import sys


def resolve_name(full_name):
    """The object a dotted full name refers to, or None.

    Imports the longest importable module prefix of the name and walks the
    remaining attributes.  Modules are imported only when not already loaded
    and only while resolving, never at load time of a record.
    """
    if not isinstance(full_name, str) or not full_name:
        return None
    parts = full_name.split(".")
    for split in range(len(parts), 0, -1):
        module_name = ".".join(parts[:split])
        module = sys.modules.get(module_name)
        if module is None:
            try:
                module = importlib.import_module(module_name)
            except Exception:
                continue
        obj = module
        try:
            for attr in parts[split:]:
                obj = getattr(obj, attr)
        except Exception:
            return None
        return obj
    return None


def _type_full_name(cls):
    module = getattr(cls, "__module__", None)
    name = getattr(cls, "__qualname__", None) or getattr(cls, "__name__", None)
    if not isinstance(name, str):
        return repr(cls)
    return f"{module}.{name}" if isinstance(module, str) and module != "builtins" else name


class FunctionWrapper:
    """A function named by its dotted full name.

    Pickles itself as that name; ``resolve()`` finds the real function when
    its module can be imported, and calling the wrapper calls it.
    """

    def __init__(self, full_name):
        self.full_name = full_name

    def __reduce__(self):
        return (FunctionWrapper, (self.full_name,))

    def resolve(self):
        return resolve_name(self.full_name)

    def __call__(self, *args, **kwargs):
        func = self.resolve()
        if func is None or not callable(func):
            raise LookupError(f"function {self.full_name!r} cannot be resolved here")
        return func(*args, **kwargs)

    def __eq__(self, other):
        if type(other) is not FunctionWrapper:
            return NotImplemented
        return self.full_name == other.full_name

    def __hash__(self):
        return hash((FunctionWrapper, self.full_name))

    def __repr__(self):
        return f"FunctionWrapper({self.full_name!r})"


class ObjectWrapper:
    """An object reduced to the attributes a recorded call used.

    Built as ``ObjectWrapper(cls, funcs)``: ``cls`` is the type the object
    had (``ModuleWrapper`` for a module), ``funcs`` maps the names of its
    used methods to the functions they resolved to at load time (None when
    the function could not be found).  The recorded attribute values are
    applied afterwards as instance attributes.
    """

    def __init__(self, cls, funcs=None):
        self.__type = cls
        self.__funcs = dict(funcs) if funcs else {}

    def wrapped_type(self):
        """The type the wrapped object had."""
        return self.__type

    def wrapped_type_name(self):
        """Dotted name of the type the wrapped object had."""
        return _type_full_name(self.__type)

    def wrapped_functions(self):
        """Method name to function (or None when it could not be resolved)."""
        return dict(self.__funcs)

    def wrapped_attributes(self):
        """The recorded attribute values, by name."""
        return {k: v for k, v in vars(self).items() if not k.startswith("_ObjectWrapper__")}

    def __repr__(self):
        return f"<ObjectWrapper of {self.wrapped_type_name()} {sorted(self.wrapped_attributes())}>"


class ModuleWrapper:
    """A module, by name."""

    def __init__(self, full_name):
        self.full_name = full_name

    def resolve(self):
        """The module itself when it can be imported here, else None."""
        obj = resolve_name(self.full_name)
        return obj if type(obj) is type(sys) else None

    def __eq__(self, other):
        if type(other) is not ModuleWrapper:
            return NotImplemented
        return self.full_name == other.full_name

    def __hash__(self):
        return hash((ModuleWrapper, self.full_name))

    def __repr__(self):
        return f"ModuleWrapper({self.full_name!r})"


class SpecialWrapper:
    """An object that a known library function rebuilds, by that function's name."""

    def __init__(self, full_name):
        self.full_name = full_name

    def resolve(self):
        """The rebuilding function when it can be imported here, else None."""
        return resolve_name(self.full_name)

    def rebuild(self, *args, **kwargs):
        """Call the rebuilding function to get a fresh equivalent object."""
        func = self.resolve()
        if func is None or not callable(func):
            raise LookupError(f"function {self.full_name!r} cannot be resolved here")
        return func(*args, **kwargs)

    def __eq__(self, other):
        if type(other) is not SpecialWrapper:
            return NotImplemented
        return self.full_name == other.full_name

    def __hash__(self):
        return hash((SpecialWrapper, self.full_name))

    def __repr__(self):
        return f"SpecialWrapper({self.full_name!r})"


class ExceptionWrapper(Exception):
    """An exception, by the full name of its class, its args and its attributes.

    It is an exception itself, so a replay can raise it in place of the
    original; ``str()`` gives what the original's args would give.
    """

    def __init__(self, exception_full_name, exception_args=(), exception_dunder_dict=None):
        args = tuple(exception_args) if isinstance(exception_args, (tuple, list)) else (exception_args,)
        super().__init__(*args)
        attrs = dict(exception_dunder_dict) if isinstance(exception_dunder_dict, dict) else {}
        for name, value in attrs.items():
            if isinstance(name, str):
                self.__dict__[name] = value
        self.exception_full_name = exception_full_name
        self.exception_args = args
        self.exception_dunder_dict = attrs

    def __reduce__(self):
        return (ExceptionWrapper,
                (self.exception_full_name, self.exception_args, self.exception_dunder_dict))

    def resolve_type(self):
        """The original exception class when it can be imported here, else None."""
        cls = resolve_name(self.exception_full_name)
        return cls if isinstance(cls, type) and issubclass(cls, BaseException) else None

    def __repr__(self):
        return f"ExceptionWrapper({self.exception_full_name!r}, {self.exception_args!r})"


class UnpicklableObject:
    """An object that could not be pickled, described by what could be read.

    Built as ``UnpicklableObject(type_str, funcs)``: ``type_str`` is the
    ``str()`` of the original type (such as "<class 'socket.socket'>"),
    ``funcs`` maps method names to ``FunctionWrapper`` objects naming the
    functions behind them.  The readable attribute values are applied
    afterwards as instance attributes.
    """

    def __init__(self, type_str, funcs=None):
        self.__type_str = type_str
        self.__funcs = dict(funcs) if funcs else {}

    def wrapped_type_str(self):
        """``str()`` of the original type."""
        return self.__type_str

    def wrapped_type_name(self):
        """Dotted name of the original type, from its ``str()``."""
        text = self.__type_str
        if isinstance(text, str) and text.count("'") >= 2:
            return text.split("'")[1]
        return text

    def wrapped_functions(self):
        """Method name to ``FunctionWrapper``."""
        return dict(self.__funcs)

    def method_names(self):
        return sorted(self.__funcs)

    def resolve_method(self, name):
        """The real function behind method ``name``, or None."""
        wrapper = self.__funcs.get(name)
        if isinstance(wrapper, FunctionWrapper):
            return wrapper.resolve()
        return wrapper if callable(wrapper) else None

    def wrapped_attributes(self):
        """The readable attribute values, by name."""
        return {k: v for k, v in vars(self).items() if not k.startswith("_UnpicklableObject__")}

    def __repr__(self):
        return f"<UnpicklableObject {self.wrapped_type_name()} {sorted(self.wrapped_attributes())}>"
