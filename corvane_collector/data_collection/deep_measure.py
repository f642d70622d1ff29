"""pympler's deep size, with the attributes it reads read by the collector's rule.

pympler follows an instance through its ``__dict__``, ``__class__`` and slots,
and an exception through ``args``, ``filename``, ``lineno``, ``msg`` and
``text``, reading each with ``getattr``: a caching or lazily loading
descriptor under one of those names would run and change the program's object.
The measurer here reads them with ``attribute_reading.read_attribute``
instead; everything else is pympler's own.

It does so by giving the object kinds concerned typedefs of its own for the
length of one measurement, in pympler's shared typedef table; the entries it
replaced are put back by ``restore``.
"""

import copy

from pympler import asizeof

from corvane_collector.data_serialization.attribute_reading import NOT_READ, read_attribute

_typedefs = getattr(asizeof, "_typedefs", None)
_new_typedef = getattr(asizeof, "_typedef", None)
_objkey = getattr(asizeof, "_objkey", None)
_NamedRef = getattr(asizeof, "_NamedRef", None)
_instance_refs = getattr(asizeof, "_inst_refs", None)
_exception_refs = getattr(asizeof, "_exc_refs", None)
# Without these the measurer is pympler's own.
_HOOKED = None not in (_typedefs, _new_typedef, _objkey, _NamedRef, _instance_refs, _exception_refs) \
    and type(_typedefs) is dict and hasattr(asizeof.Asizer, "_sizer")

_INSTANCE_NAMES = ("__dict__", "__class__")
_EXCEPTION_NAMES = ("args", "filename", "lineno", "msg", "text")


def _referents(obj, named, names):
    for name in names:
        try:
            value = read_attribute(obj, name)
        except AttributeError:
            continue
        if value is not NOT_READ:
            yield _NamedRef(name, value) if named else value


def _slot_names(obj):
    names = []
    for cls in type(obj).__mro__:
        declared = cls.__dict__.get("__slots__", ())
        if isinstance(declared, str):
            declared = (declared,)
        for name in declared:
            if type(name) is not str:
                continue
            if name.startswith("__"):
                name = "_" + cls.__name__ + name  # (as pympler spells it)
            if name not in names:
                names.append(name)
    return names


def _instance_referents(obj, named):
    yield from _referents(obj, named, _INSTANCE_NAMES)
    yield from _referents(obj, named, _slot_names(obj))


def _exception_referents(obj, named):
    return _referents(obj, named, _EXCEPTION_NAMES)


_REPLACEMENTS = {}
if _HOOKED:
    _REPLACEMENTS = {_instance_refs: _instance_referents, _exception_refs: _exception_referents}


class RuleSizer(asizeof.Asizer):
    """``asizeof.Asizer`` whose attribute reads follow the collector's rule;
    call ``restore()`` once measuring is over."""

    def __init__(self, **options):
        super().__init__(**options)
        self._replaced = {}

    if _HOOKED:
        def _sizer(self, obj, pid, deep, sized):
            key = _objkey(obj)
            if key not in self._replaced and key not in self._excl_d:
                typedef = _typedefs.get(key)
                if typedef is None:
                    typedef = _typedefs[key] = _new_typedef(
                        obj, derive=self._derive_, frames=self._frames_, infer=self._infer_)
                replacement = _REPLACEMENTS.get(typedef.refs)
                if replacement is not None:
                    self._replaced[key] = typedef
                    own = copy.copy(typedef)
                    own.refs = replacement
                    _typedefs[key] = own
            return super()._sizer(obj, pid, deep, sized)

    def restore(self):
        """Puts pympler's typedef table back as this measurer found it."""
        for key, typedef in self._replaced.items():
            _typedefs[key] = typedef
        self._replaced.clear()
