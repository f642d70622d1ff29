# Records describing a function and one call of it. They are plain attribute
# bags: instances keep their attributes in __dict__ and the attribute names are
# part of what the handler process receives, so they must not change.
#
# Parameters declared with a builtin type (str, tuple, dict) get Cython's own
# exact-type check (None allowed, subclasses rejected). The annotations that
# callers can introspect are attached explicitly after each class, because
# Cython would otherwise store every annotation as a string.

import inspect
from typing import Any, List, Optional, Tuple, Union

from corvane_collector.configs.run_settings import CollectorSettings

cdef extern from "Python.h":
    ctypedef struct _TypeHead "PyTypeObject":
        unsigned long tp_flags
        unsigned int tp_version_tag
    unsigned long Py_TPFLAGS_VALID_VERSION_TAG


# The subclasses' constructors end with super().__init__(...).  While the
# instance is of the subclass itself and the base's constructor is the one
# defined here, that call is the base's steps run in place: the same
# attributes set in the same order, without building a super object and
# parsing the arguments again.  The finding is kept with the subclass's
# version tag, which changes whenever the subclass or a base is modified.

cdef class _OwnBaseInit:
    cdef object cls
    cdef object base
    cdef object own_init        # the base's constructor as defined here
    cdef bint known
    cdef unsigned int tag

    cdef bint holds(self, object obj) except -1:
        cdef _TypeHead *head
        if type(obj) is not self.cls:
            return False
        head = <_TypeHead *>self.cls
        if self.known and head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG \
                and head.tp_version_tag == self.tag:
            return True
        self.known = False
        if self.cls.__mro__[1] is not self.base \
                or self.base.__dict__.get("__init__") is not self.own_init:
            return False
        if head.tp_flags & Py_TPFLAGS_VALID_VERSION_TAG:
            self.tag = head.tp_version_tag
            self.known = True
        return True


cdef _OwnBaseInit _own_base_init(cls, base):
    cdef _OwnBaseInit check = _OwnBaseInit.__new__(_OwnBaseInit)
    check.cls = cls
    check.base = base
    check.own_init = base.__dict__["__init__"]
    return check


cdef _OwnBaseInit _external_metadata_base
cdef _OwnBaseInit _user_metadata_base
cdef _OwnBaseInit _external_call_base
cdef _OwnBaseInit _user_call_base


cdef inline _set_names(self, module_name, full_name):
    # FunctionMetadata's steps
    self.module_name = module_name
    self.full_name = full_name


cdef _set_call(self, function_metadata, args, kwargs, globals):
    # FunctionCall's steps
    self.function_metadata = function_metadata
    # Live references: serialised only once the call has finished.
    self.post_run_args = args
    self.post_run_kwargs = kwargs
    # Snapshots taken now, so that the running function cannot alter them.
    self.pre_run_args = CollectorSettings.serializer.serialize(args, obj_wrap=False)
    self.pre_run_kwargs = CollectorSettings.serializer.serialize(kwargs, obj_wrap=False)
    self.globals = globals
    self.return_value = None
    self.execption = None


class FunctionMetadata:
    "\n    This object contains function metadata.\n"

    def __init__(self, str module_name, str full_name):
        """
        :param module_name: name of the module that defines the function
        :type module_name: str
        :param full_name: the function's full (qualified) name
        :type full_name: str
        """
        _set_names(self, module_name, full_name)


FunctionMetadata.__init__.__annotations__ = {
    'module_name': 'str',
    'full_name': 'str',
    'return': None,
}


class ExternalFunctionMetadata(FunctionMetadata):
    "\n    This impelments FunctionMetadata specific to an ExternalFunction.\n"

    def __init__(self, str module_name, str full_name, is_builtin,
                 is_function_for_recording):
        """
        :param module_name: name of the module that defines the function
        :type module_name: str
        :param full_name: the function's full name, empty when the call is not kept
        :type full_name: str
        :param is_builtin: whether the function comes from a built-in module
        :type is_builtin: bool
        :param is_function_for_recording: whether the details of the call are kept
        :type is_function_for_recording: bool
        """
        self.is_builtin = is_builtin
        self.is_function_for_recording = is_function_for_recording
        if _external_metadata_base.holds(self):
            _set_names(self, module_name, full_name)
        else:
            super().__init__(module_name, full_name)


ExternalFunctionMetadata.__init__.__annotations__ = {
    'module_name': 'str',
    'full_name': 'str',
    'is_builtin': bool,
    'is_function_for_recording': bool,
    'return': None,
}


class UserFunctionMetadata(FunctionMetadata):
    "\n    This impelments FunctionMetadata specific to a UserFunction.\n"

    def __init__(self, str module_name, str full_name, str code_hash,
                 str full_path, co_names, function_signature, is_async=False):
        """
        :param module_name: name of the module that defines the function
        :type module_name: str
        :param full_name: the function's full (qualified) name
        :type full_name: str
        :param code_hash: hash of the function's code
        :type code_hash: str
        :param full_path: file the function's code comes from
        :type full_path: str
        :param co_names: names used by the function's code
        :type co_names: Tuple[str]
        :param function_signature: the function's full argument description (inspect.FullArgSpec)
        :type function_signature: Optional[inspect.FullArgSpec]
        :param is_async: whether the function is a coroutine function
        :type is_async: bool
        """
        self.code_hash = code_hash
        self.full_path = full_path
        self.co_names = co_names
        self.function_signature = function_signature
        self.is_async = is_async
        if _user_metadata_base.holds(self):
            _set_names(self, module_name, full_name)
        else:
            super().__init__(module_name, full_name)


UserFunctionMetadata.__init__.__annotations__ = {
    'module_name': 'str',
    'full_name': 'str',
    'code_hash': 'str',
    'full_path': 'str',
    'co_names': Tuple[str],
    'function_signature': Optional[inspect.FullArgSpec],
    'is_async': bool,
    'return': None,
}


class FunctionCall(object):
    "\n    This object contains function call data.\n"

    def __init__(self, function_metadata, tuple args, dict kwargs, dict globals):
        """
        :param function_metadata: metadata of the called function
        :type function_metadata: FunctionMetadata
        :param args: positional arguments of the call
        :type args: tuple
        :param kwargs: keyword arguments of the call
        :type kwargs: dict
        :param globals: globals used by the call
        :type globals: dict
        """
        _set_call(self, function_metadata, args, kwargs, globals)

    def add_return_value(self, return_value):
        """
        :param return_value: the value the call returned
        :type return_value: Any
        """
        self.return_value = CollectorSettings.serializer.serialize(return_value, obj_wrap=False)

    def add_execption(self, exception):
        """
        :param exception: the exception the call raised
        :type exception: Union[type, object]
        """
        self.execption = CollectorSettings.serializer.serialize(exception, obj_wrap=False)

    def serialize_post_run_args_and_kwargs(self):
        """
        Replaces the live arguments by their serialised form; meant to be called
        once, right before the record itself is serialised.
        """
        self.post_run_args = CollectorSettings.serializer.serialize(self.post_run_args, obj_wrap=False)
        self.post_run_kwargs = CollectorSettings.serializer.serialize(self.post_run_kwargs, obj_wrap=False)


FunctionCall.__init__.__annotations__ = {
    'function_metadata': FunctionMetadata,
    'args': 'tuple',
    'kwargs': 'dict',
    'globals': 'dict',
    'return': None,
}
FunctionCall.add_return_value.__annotations__ = {'return_value': Any, 'return': None}
FunctionCall.add_execption.__annotations__ = {'exception': Union[type, object], 'return': None}
FunctionCall.serialize_post_run_args_and_kwargs.__annotations__ = {'return': None}


class ExternalFunctionCall(FunctionCall):
    "\n    This object contains external function call data.\n"

    def __init__(self, function_metadata):
        """
        :param function_metadata: metadata of the called external function
        :type function_metadata: FunctionMetadata
        """
        if _external_call_base.holds(self):
            _set_call(self, function_metadata, None, None, None)
        else:
            super().__init__(function_metadata, None, None, None)


ExternalFunctionCall.__init__.__annotations__ = {
    'function_metadata': FunctionMetadata,
    'return': None,
}


class UserFunctionCall(FunctionCall):
    "\n    This object contains user function call data.\n"

    def __init__(self, function_metadata, tuple args, dict kwargs, dict globals):
        """
        :param function_metadata: metadata of the recorded function
        :type function_metadata: FunctionMetadata
        :param args: positional arguments of the call
        :type args: tuple
        :param kwargs: keyword arguments of the call
        :type kwargs: dict
        :param globals: globals used by the call
        :type globals: dict
        """
        self.external_calls = []
        self.awaited_functions = []
        if _user_call_base.holds(self):
            _set_call(self, function_metadata, args, kwargs, globals)
        else:
            super().__init__(function_metadata, args, kwargs, globals)
        # The metadata object is shared (the probe caches it): its signature is
        # replaced in place by the serialised form that travels with the record.
        self.function_metadata.function_signature = CollectorSettings.serializer.serialize(
            self.function_metadata.function_signature, obj_wrap=False)


UserFunctionCall.__init__.__annotations__ = {
    'function_metadata': FunctionMetadata,
    'args': 'tuple',
    'kwargs': 'dict',
    'globals': 'dict',
    'return': None,
}


_external_metadata_base = _own_base_init(ExternalFunctionMetadata, FunctionMetadata)
_user_metadata_base = _own_base_init(UserFunctionMetadata, FunctionMetadata)
_external_call_base = _own_base_init(ExternalFunctionCall, FunctionCall)
_user_call_base = _own_base_init(UserFunctionCall, FunctionCall)


__test__ = {}
