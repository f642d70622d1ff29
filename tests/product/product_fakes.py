"""Stand-ins for the recorder's records and metric messages, for tests of the host side.

They carry the attribute names that travel inside real pickled records; the
values are pickled with the standard pickler instead of the safe one.
"""

import enum
import pickle


def ser(value):
    return pickle.dumps(value)


class UserFunctionMetadata:
    def __init__(self, module_name, full_name, full_path):
        self.code_hash = "h"
        self.full_path = full_path
        self.co_names = ()
        self.function_signature = ser(None)
        self.is_async = False
        self.module_name = module_name
        self.full_name = full_name


class ExternalFunctionMetadata:
    def __init__(self, module_name, full_name):
        self.is_builtin = False
        self.is_function_for_recording = True
        self.module_name = module_name
        self.full_name = full_name


class ExternalFunctionCall:
    def __init__(self, module_name, full_name, result):
        self.function_metadata = ExternalFunctionMetadata(module_name, full_name)
        self.post_run_args = None
        self.post_run_kwargs = None
        self.pre_run_args = ser(None)
        self.pre_run_kwargs = ser(None)
        self.globals = None
        self.return_value = ser(result)
        self.execption = None


class UserFunctionCall:
    def __init__(self, full_name, args=(), kwargs=None, result=None, exc=None, module="proj.mod",
                 path="/proj/mod.py", externals=(), globals_used=None, args_after=None):
        self.external_calls = list(externals)
        self.awaited_functions = []
        self.function_metadata = UserFunctionMetadata(module, full_name, path)
        self.post_run_args = ser(args if args_after is None else args_after)
        self.post_run_kwargs = ser(kwargs or {})
        self.pre_run_args = ser(args)
        self.pre_run_kwargs = ser(kwargs or {})
        self.globals = ser(globals_used or {})
        # As the recorder fills them: a normal return stores the class of None
        # as the exception, a raise stores None as the result.
        self.return_value = ser(None if exc is not None else result)
        self.execption = ser(exc if exc is not None else type(None))
        self.unknown_modules = set()


def record(full_name, **kw):
    """A pickled call record, as the data channel carries it."""
    return pickle.dumps(UserFunctionCall(full_name, **kw))


class FailureReasons(enum.Enum):
    ASYNCIO = "asyncio function"
    EXCEPTION = "unexpected exception"


class _Metric:
    def __init__(self, tenant_id, project_id, python_version, lib_version, *rest):
        self.tenant_id = tenant_id
        self.project_id = project_id
        self.python_version = python_version
        self.lib_version = lib_version
        for name, value in zip(self.FIELDS, rest):
            setattr(self, name, value)


class CollectionTry(_Metric):
    FIELDS = ()


class CollectionSuccess(_Metric):
    FIELDS = ()


class CollectorFailure(_Metric):
    FIELDS = ("reason",)


class Unpicklable(_Metric):
    FIELDS = ("object_type", "reason")


class LimitFailure(_Metric):
    FIELDS = ("function_full_name", "limit_reason")


class ExternalFunction(_Metric):
    FIELDS = ("function_full_name",)


class Opaque(_Metric):
    """A message class whose fields have names the reader does not know."""
    FIELDS = ("first", "second")


def metric(cls, *fields):
    return pickle.dumps(cls("t", "p", "3.10", "0.1", *fields))


class Renamed:
    """Message classes whose fields carry names the reader does not look for."""

    class LimitFailure(_Metric):
        FIELDS = ("who", "why")

    class Unpicklable(_Metric):
        FIELDS = ("what", "why")
