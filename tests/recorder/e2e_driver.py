"""Runs scenarios of e2e_project under the interceptor, in a process of its
own, and prints what reached the channels as JSON.

    python e2e_driver.py SCENARIO [SCENARIO ...]

Each scenario gets fresh in-memory channels; records and metric messages are
decoded with the real serializer and flattened into plain JSON values.
"""

import json
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from corvane_collector.configs.run_settings import CollectorSettings  # noqa: E402
from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer  # noqa: E402

import e2e_project  # noqa: E402


class Channel:
    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


class RefusingSerializer(IpcPickleSerializer):
    """The real serializer, except that it refuses e2e_project.Handle values
    the way a pickler refuses an unpicklable object."""

    def serialize(self, obj, obj_wrap=True):
        if type(obj) is e2e_project.Handle:
            raise TypeError("cannot pickle 'Handle' object")
        return super().serialize(obj, obj_wrap)


def plain(value, depth=0):
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if depth > 4:
        return {"repr": repr(value)}
    if isinstance(value, (list, tuple)):
        return [plain(v, depth + 1) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v, depth + 1) for k, v in value.items()}
    if isinstance(value, type):
        return {"class": value.__module__ + "." + value.__qualname__}
    if isinstance(value, BaseException):
        return {"exception": type(value).__name__, "args": plain(list(value.args), depth + 1)}
    return {"type": type(value).__name__, "repr": repr(value)}


def record_summary(ser, rec):
    load = ser.deserialize
    return {
        "full_name": rec.function_metadata.full_name,
        "pre_args": plain(load(rec.pre_run_args)),
        "pre_kwargs": plain(load(rec.pre_run_kwargs)),
        "post_args": plain(load(rec.post_run_args)),
        "return_value": plain(load(rec.return_value)),
        "exception": plain(load(rec.execption)),
        "globals": plain(load(rec.globals)),
        "external_calls": [
            {"full_name": e.function_metadata.full_name,
             "return_value": plain(load(e.return_value)) if e.return_value is not None else "<none>",
             "exception": plain(load(e.execption)) if e.execption is not None else "<none>"}
            for e in rec.external_calls],
        "unknown_modules": sorted(rec.unknown_modules),
    }


def metric_summary(msg):
    out = {"kind": type(msg).__name__}
    for name in ("reason", "object_type", "function_full_name"):
        if hasattr(msg, name):
            out[name] = getattr(msg, name)
    return out


def run_scenario(interceptor, name, tmpdir):
    data, metrics = Channel(), Channel()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = metrics
    fn = getattr(e2e_project, "scenario_" + name)
    args = ()
    if name == "builtins":
        path = os.path.join(tmpdir, "input.txt")
        with open(path, "w") as fh:
            fh.write("twelve chars")
        args = (path,)
    elif name == "nested":
        args = (1,)
    interceptor.apply({e2e_project.__file__}, 1.0)
    try:
        result = call(fn, args)
    finally:
        interceptor.set_defualt_interpter()
    ser = CollectorSettings.serializer
    return {
        "result": plain(result),
        "records": [record_summary(ser, ser.deserialize(d)) for d in data.messages],
        "metrics": [metric_summary(ser.deserialize(m)) for m in metrics.messages],
    }


def call(fn, args):
    # A frame that starts after the interceptor is installed, so that the call
    # below goes through the replacement evaluator's call site.
    return fn(*args)


def main(names):
    CollectorSettings.serializer = RefusingSerializer()
    CollectorSettings.tenant_id = "tenant-e2e"
    CollectorSettings.project_id = "project-e2e"
    CollectorSettings.project_files = frozenset({e2e_project.__file__})
    import interceptor
    out = {}
    with tempfile.TemporaryDirectory() as tmpdir:
        for name in names:
            out[name] = run_scenario(interceptor, name, tmpdir)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
