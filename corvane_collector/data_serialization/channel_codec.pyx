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

cimport cython

cdef extern from "Python.h":
    ctypedef struct _TypeHead "PyTypeObject":
        unsigned long tp_flags
        unsigned int tp_version_tag
    unsigned long Py_TPFLAGS_VALID_VERSION_TAG
    int Py_GetRecursionLimit()
    int _PyFloat_Pack8(double x, unsigned char *p, int le) except -1
    object PyBytes_FromStringAndSize(const char *data, Py_ssize_t size)
    char *PyBytes_AS_STRING(object b)
    Py_ssize_t PyBytes_GET_SIZE(object b)
    ctypedef struct PyObject
    PyObject **_PyObject_GetDictPtr(object obj)
    PyObject *PyDict_GetItemWithError(object d, object key) except? NULL

from cpython.pycapsule cimport PyCapsule_New

from libc.string cimport memcpy
from libc.stdint cimport int64_t
from posix.time cimport clock_gettime, timespec, CLOCK_REALTIME
import sys as _sys
import time as _time
from corvane_collector.data_collection import metrics as _metrics
import corvane_collector.data_serialization.corv_pickle as _corv_pickle


class IpcPickleSerializer(ChannelCodecBase):
    """This class is used to serialize and deserialize data using pickle."""

    def serialize(self, obj, obj_wrap=True) -> bytes:
        # Module globals are looked up at each call, so a replaced
        # safe_pickle takes effect at once.
        return safe_pickle(obj, obj_wrap)

    def deserialize(self, data):
        return _pickle.loads(data)

    @staticmethod
    def metric_message_bytes(serializer, cls, tenant_id, project_id, python_version,
                             lib_version, tuple fields):
        """What ``serializer.serialize(cls(tenant_id, project_id, python_version,
        lib_version, *fields))`` returns for a metric message stamped now, or
        None when the message has to be built and serialized after all."""
        return _message_bytes(serializer, cls, tenant_id, project_id, python_version,
                              lib_version, fields)


# ---------------------------------------------------------------------------
# Metric messages by template
#
# The recorder sends a few metric messages per recorded call, nearly all of
# them with the same fields; only the timestamp differs.  Their pickle is a
# plain instance with its dict of str fields and a float, so it is the same
# bytes but for the eight bytes of the timestamp (BINFLOAT has a fixed size
# and floats are never memoized).  A template keeps the bytes around them,
# made by serializing a real message once, and is used while everything the
# pickle depends on is unchanged: the serializer is this codec with its own
# method, the message class (its version tag, the name it is found under),
# the pickler regime (the recursion limit picks it), the field values and
# which of them are the same object (the memo writes a repeated object as a
# reference).  Only messages whose fields are all str or None are kept; a
# template holds those strings and the class, never an object of the program.

cdef object _IpcPickleSerializer = IpcPickleSerializer
cdef object _own_message_bytes = IpcPickleSerializer.__dict__["metric_message_bytes"]
cdef object _own_serialize = IpcPickleSerializer.__dict__["serialize"]
cdef object _own_safe_pickle = safe_pickle
cdef dict _codec_globals = globals()
cdef dict _metrics_namespace = _metrics.__dict__
cdef object _metrics_module = _metrics
cdef object _time_time = _time.time
cdef str _N_SERIALIZE = "serialize"
cdef str _N_NOW = "_now"
cdef int _C_LIMIT = _corv_pickle.C_PICKLER_MAX_RECURSION_LIMIT
# Per class: its name in the metrics module, and the strings its pickle
# always contains (attribute names, the class's own name), for a value that
# is one of these very objects would be written as a memo reference to it.
cdef dict _class_facts = {
    cls: (cls.__name__, frozenset(_metrics.IDENTITY_FIELDS + tuple(cls.fields)
                                  + ("timestamp", cls.__module__, cls.__qualname__)))
    for cls in _metrics.MESSAGE_CLASSES}
cdef str _metrics_name = _metrics.__name__
cdef dict _sys_namespace = _sys.__dict__
cdef str _N_MODULES = "modules"
cdef unsigned int _codec_version_tag = 0
cdef dict _templates = {}     # (class, values, alias pattern) -> _Template
cdef dict _last = {}          # class -> the _Template used last for it
cdef Py_ssize_t _TEMPLATES_MAX = 512
# Timestamps for the two trial messages of a template (any two distinct
# floats work: a template is only kept if they land in the same place).
cdef double _PROBE_A = 1234567890.0625
cdef double _PROBE_B = 987654321.5


cdef class _Template:
    cdef bytes head
    cdef bytes tail
    cdef unsigned int version_tag
    cdef bint c_regime
    cdef tuple values
    # Bit k: the value at k is no other value's object (only the first 64
    # values are tracked; a value beyond that never counts as alone).
    cdef unsigned long long alone


cdef object _alias_pattern(tuple values):
    """For each value the index of the first value that is the same object."""
    cdef Py_ssize_t i, j
    cdef Py_ssize_t n = len(values)
    cdef list pattern = []
    for i in range(n):
        for j in range(i + 1):
            if values[j] is values[i]:
                pattern.append(j)
                break
    return tuple(pattern)


cdef unsigned long long _alone_mask(tuple pattern):
    """Bit k set when value k is not the same object as any other value."""
    cdef Py_ssize_t i
    cdef Py_ssize_t n = len(pattern)
    cdef unsigned long long shared = 0
    cdef unsigned long long mask = 0
    cdef Py_ssize_t first
    for i in range(n):
        first = pattern[i]
        if first != i and first < 64:
            shared |= (<unsigned long long>1) << first
            if i < 64:
                shared |= (<unsigned long long>1) << i
    for i in range(min(n, 64)):
        if not shared & ((<unsigned long long>1) << i):
            mask |= (<unsigned long long>1) << i
    return mask


cdef bint _codec_unchanged(serializer):
    global _codec_version_tag
    cdef _TypeHead *head = <_TypeHead *>_IpcPickleSerializer
    cdef PyObject **own
    if type(serializer) is not _IpcPickleSerializer:
        return False
    if not (head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG and head.tp_version_tag == _codec_version_tag):
        # The class changed (or was never checked) since its method was
        # last found to be its own.
        if _IpcPickleSerializer.__dict__.get(_N_SERIALIZE) is not _own_serialize:
            return False
        if head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
            _codec_version_tag = head.tp_version_tag
    own = _PyObject_GetDictPtr(serializer)
    if own != NULL and own[0] != NULL and _N_SERIALIZE in <dict>(<object>own[0]):
        return False
    return _codec_globals.get("safe_pickle") is _own_safe_pickle


@cython.boundscheck(False)   # (indices in range by construction)
@cython.wraparound(False)
cdef inline bint _same_layout(_Template template, tenant_id, project_id, python_version,
                             lib_version, tuple fields):
    """Whether template was made for these values: the same objects, or for
    a field an equal str that is no other value's object, where the
    template's value was no other value's object either (a full name is
    made anew at every call).  Values shared elsewhere in the message, such
    as identity fields that are one object, do not matter to such a field:
    the pickle writes it on its own either way."""
    cdef tuple kept = template.values
    cdef Py_ssize_t i, j
    if len(kept) != 4 + len(fields) or kept[0] is not tenant_id or kept[1] is not project_id \
            or kept[2] is not python_version or kept[3] is not lib_version:
        return False
    for i in range(len(fields)):
        value = fields[i]
        if kept[4 + i] is value:
            continue
        if 4 + i >= 64 or not template.alone & ((<unsigned long long>1) << (4 + i)) \
                or type(value) is not str or not (<str>value == kept[4 + i]):
            return False
        if value is tenant_id or value is project_id or value is python_version \
                or value is lib_version:
            return False
        for j in range(len(fields)):
            if j != i and fields[j] is value:
                return False
    return True


cdef object _trial(serializer, cls, tuple values, double stamp):
    message = cls(*values)
    message.timestamp = stamp
    return serializer.serialize(message)


cdef bytes _packed(double stamp):
    cdef unsigned char raw[9]
    raw[0] = 0x47                           # BINFLOAT
    _PyFloat_Pack8(stamp, &raw[1], 0)
    return PyBytes_FromStringAndSize(<const char *>raw, 9)


cdef object _build_template(serializer, cls, tuple values, bint c_regime):
    """A template for messages of cls with these values, or None."""
    cdef _Template template
    first = _trial(serializer, cls, values, _PROBE_A)
    mark = _packed(_PROBE_A)
    if type(first) is not bytes or (<bytes>first).count(mark) != 1:
        return None
    at = (<bytes>first).find(mark)
    head = (<bytes>first)[:at + 1]
    tail = (<bytes>first)[at + 9:]
    second = _trial(serializer, cls, values, _PROBE_B)
    if second != head + _packed(_PROBE_B)[1:] + tail:
        return None
    template = _Template.__new__(_Template)
    template.head = head
    template.tail = tail
    template.version_tag = (<_TypeHead *>cls).tp_version_tag
    template.c_regime = c_regime
    template.values = values
    return template


cdef Py_ssize_t _key_lookups = 0   # templates looked up by key (for tests)


cdef object _find_template(serializer, cls, frozenset names, bint c_regime, tuple values):
    global _key_lookups
    _key_lookups += 1
    for value in values:
        if value is not None and (type(value) is not str or value in names):
            return None
    pattern = _alias_pattern(values)
    key = (cls, values, pattern)
    entry = _templates.get(key)
    if entry is None or (<_Template>entry).version_tag != (<_TypeHead *>cls).tp_version_tag \
            or (<_Template>entry).c_regime != c_regime:
        entry = _build_template(serializer, cls, values, c_regime)
        if entry is None:
            return None
        if len(_templates) >= _TEMPLATES_MAX:
            _templates.clear()
        _templates[key] = entry
    # Later messages with these values skip the key.
    (<_Template>entry).values = values
    (<_Template>entry).alone = _alone_mask(pattern)
    _last[cls] = entry
    return entry


cdef bint _metrics_module_registered() except -1:
    """Whether sys.modules maps the metrics module's name to it (the pickle
    names message classes by module)."""
    cdef PyObject *modules = PyDict_GetItemWithError(_sys_namespace, _N_MODULES)
    cdef PyObject *found
    if modules != NULL and type(<object>modules) is dict:
        found = PyDict_GetItemWithError(<object>modules, _metrics_name)
        return found == <PyObject *>_metrics_module
    return _sys.modules.get(_metrics_name) is _metrics_module


# The last message of each class whose checks all held, with what they
# depended on: the same serializer and identity values, the codec's class
# and module, the metrics module and sys.modules unchanged since.  A message
# of that class laid out as that one (the same values, or equal strings
# where the template allows them) is then written from the same template
# without the other checks.
cdef class _Verified:
    cdef object cls
    cdef _Template template
    cdef object serializer
    cdef object tenant_id
    cdef object project_id
    cdef object python_version
    cdef object lib_version
    cdef unsigned int class_tag
    cdef unsigned int codec_tag
    cdef unsigned long long codec_version
    cdef unsigned long long metrics_version
    cdef unsigned long long modules_version
    cdef bint c_regime


cdef extern from "Python.h":
    ctypedef struct _DictHead "PyDictObject":
        unsigned long long ma_version_tag

cdef dict _verified = {}
# (the two entries found last: a recorded call's reports alternate between two classes)
cdef object _recent_verified_0 = None
cdef object _recent_verified_1 = None
cdef dict _sys_modules_dict = _sys.modules


cdef inline unsigned long long _version_of(dict d):
    return (<_DictHead *><PyObject *>d).ma_version_tag


cdef double _time_now() except? -1.0:
    # time.time(), computed as it computes it (the system clock in whole
    # nanoseconds, then seconds as a double), without the call
    cdef timespec ts
    cdef int64_t t
    if clock_gettime(CLOCK_REALTIME, &ts) != 0:
        return _time_time()
    t = <int64_t>ts.tv_sec * 1000000000 + ts.tv_nsec
    if t % 1000000000 == 0:
        return <double>(t // 1000000000)
    return <double>t / 1e9


cdef object _stamped(_Template template):
    cdef Py_ssize_t size_head, size
    cdef char *out
    cdef double stamp
    # The message's own constructor stamps it after its fields are set.
    stamp = _time_now()
    size_head = PyBytes_GET_SIZE(template.head)
    size = size_head + 8 + PyBytes_GET_SIZE(template.tail)
    data = PyBytes_FromStringAndSize(NULL, size)
    out = PyBytes_AS_STRING(data)
    memcpy(out, PyBytes_AS_STRING(template.head), size_head)
    _PyFloat_Pack8(stamp, <unsigned char *>(out + size_head), 0)
    memcpy(out + size_head + 8, PyBytes_AS_STRING(template.tail), PyBytes_GET_SIZE(template.tail))
    return data


cdef object _verified_template(serializer, cls, tenant_id, project_id, python_version,
                               lib_version, tuple fields):
    # The template a message of these values is stamped from while nothing
    # it was verified against has changed, or None
    cdef _Verified known
    cdef _TypeHead *codec_head = <_TypeHead *>_IpcPickleSerializer
    cdef PyObject **own
    global _recent_verified_0, _recent_verified_1
    if _recent_verified_0 is not None and (<_Verified>_recent_verified_0).cls is cls:
        found = _recent_verified_0
    elif _recent_verified_1 is not None and (<_Verified>_recent_verified_1).cls is cls:
        found = _recent_verified_1
    else:
        found = _verified.get(cls)
        if found is not None:
            _recent_verified_1 = _recent_verified_0
            _recent_verified_0 = found
    if found is not None:
        known = <_Verified>found
        if _same_layout(known.template, tenant_id, project_id, python_version, lib_version,
                        fields):
            own = _PyObject_GetDictPtr(serializer)
            if known.serializer is serializer and known.tenant_id is tenant_id \
                    and known.project_id is project_id and known.python_version is python_version \
                    and known.lib_version is lib_version \
                    and (own == NULL or own[0] == NULL or not <dict>(<object>own[0])) \
                    and (<_TypeHead *>cls).tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
                    and (<_TypeHead *>cls).tp_version_tag == known.class_tag \
                    and codec_head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
                    and codec_head.tp_version_tag == known.codec_tag \
                    and _version_of(_codec_globals) == known.codec_version \
                    and _version_of(_metrics_namespace) == known.metrics_version \
                    and _version_of(_sys_modules_dict) == known.modules_version \
                    and (Py_GetRecursionLimit() <= _C_LIMIT) == known.c_regime \
                    and known.template.version_tag == known.class_tag:
                return known.template
    return None


cdef object _message_bytes(serializer, cls, tenant_id, project_id, python_version,
                           lib_version, tuple fields):
    cdef _Verified known
    cdef _TypeHead *codec_head = <_TypeHead *>_IpcPickleSerializer
    cdef PyObject **own
    template = _verified_template(serializer, cls, tenant_id, project_id, python_version,
                                  lib_version, fields)
    if template is not None:
        return _stamped(<_Template>template)
    data = _checked_message_bytes(serializer, cls, tenant_id, project_id, python_version,
                                  lib_version, fields)
    if data is not None and codec_head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        own = _PyObject_GetDictPtr(serializer)
        if own == NULL or own[0] == NULL or not <dict>(<object>own[0]):
            known = _Verified.__new__(_Verified)
            known.cls = cls
            known.template = <_Template>_last[cls]
            known.serializer = serializer
            known.tenant_id = tenant_id
            known.project_id = project_id
            known.python_version = python_version
            known.lib_version = lib_version
            known.class_tag = (<_TypeHead *>cls).tp_version_tag
            known.codec_tag = codec_head.tp_version_tag
            known.codec_version = _version_of(_codec_globals)
            known.metrics_version = _version_of(_metrics_namespace)
            known.modules_version = _version_of(_sys_modules_dict)
            known.c_regime = Py_GetRecursionLimit() <= _C_LIMIT
            _verified[cls] = known
            _forget_recent_verified()
    return data


cdef object _checked_message_bytes(serializer, cls, tenant_id, project_id, python_version,
                                   lib_version, tuple fields):
    cdef _Template template
    cdef _TypeHead *head
    cdef Py_ssize_t size_head, size
    cdef double stamp
    cdef char *out
    facts = _class_facts.get(cls)
    if facts is None or not _codec_unchanged(serializer):
        return None
    head = <_TypeHead *>cls
    if not head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
        return None
    if _metrics_namespace.get((<tuple>facts)[0]) is not cls \
            or _metrics_namespace.get(_N_NOW) is not _time_time \
            or not _metrics_module_registered():
        return None
    cdef bint c_regime = Py_GetRecursionLimit() <= _C_LIMIT
    entry = _last.get(cls)
    if entry is None or (<_Template>entry).version_tag != head.tp_version_tag \
            or (<_Template>entry).c_regime != c_regime \
            or not _same_layout(<_Template>entry, tenant_id, project_id,
                                python_version, lib_version, fields):
        entry = _find_template(serializer, cls, (<tuple>facts)[1], c_regime,
                               (tenant_id, project_id, python_version, lib_version) + fields)
        if entry is None:
            return None
    return _stamped(<_Template>entry)


# For the metric reports of the recorder: the codec class, its
# metric_message_bytes as defined above (the staticmethod in the class
# namespace) and the function that method calls, so that a report can call
# it directly while the class still has that very method.
ctypedef object (*_message_bytes_fn)(object, object, object, object, object, object, tuple)
cdef _message_bytes_fn _message_bytes_ptr = _message_bytes


cdef int _message_parts(serializer, cls, tenant_id, project_id, python_version, lib_version,
                        tuple fields, PyObject **head, double *stamp, PyObject **tail) except -1:
    # What _message_bytes would return, as its parts, for a sender that
    # writes them out itself: 1 with the template's head and tail (borrowed,
    # held by the template) and the stamp, taken as _stamped takes it; 0
    # when the bytes have to be made by _message_bytes.
    template = _verified_template(serializer, cls, tenant_id, project_id, python_version,
                                  lib_version, fields)
    if template is None:
        return 0
    stamp[0] = _time_now()
    head[0] = <PyObject *>(<_Template>template).head
    tail[0] = <PyObject *>(<_Template>template).tail
    return 1


ctypedef int (*_message_parts_fn)(object, object, object, object, object, object, tuple,
                                  PyObject **, double *, PyObject **) except -1
cdef _message_parts_fn _message_parts_ptr = _message_parts


def _direct_message_parts():
    """A capsule of the function that gives a report's parts (head, stamp,
    tail) where metric_message_bytes would give its bytes."""
    return PyCapsule_New(<void *>_message_parts_ptr, b"corvane.metric_message_parts", NULL)


def _direct_message_bytes():
    """(IpcPickleSerializer, its own metric_message_bytes staticmethod, a
    capsule of the function that method calls)."""
    return (IpcPickleSerializer, _own_message_bytes,
            PyCapsule_New(<void *>_message_bytes_ptr, b"corvane.metric_message_bytes", NULL))


def _template_count():
    """Number of message templates kept (for tests)."""
    return len(_templates)


def _template_key_lookups():
    """How many messages so far needed their template looked up by key, that
    is could not reuse the template of the last message of their class
    (for tests)."""
    return _key_lookups


cdef void _forget_recent_verified():
    global _recent_verified_0, _recent_verified_1
    _recent_verified_0 = _recent_verified_1 = None


def _clear_templates():
    _templates.clear()
    _last.clear()
    _verified.clear()
    _forget_recent_verified()


def _direct_serialize():
    """(IpcPickleSerializer, its own serialize, the safe_pickle it calls):
    while the serializer is of that class with that method and this module
    still calls that safe_pickle, serialize(obj, wrap) is safe_pickle(obj, wrap)."""
    return (IpcPickleSerializer, _own_serialize, _own_safe_pickle)
