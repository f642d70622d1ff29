"""Replaying recorded calls in tests: the helper the files of ``gen-tests`` use.

    from corvane_collector import replay
    RECORDS = replay.records_next_to(__file__)

    def test_format_amount_270_returns_2_70_EUR():
        call = RECORDS.call(11)
        externals = replay.external_mocks(call)
        result = replay.call(format_amount, call, externals)
        assert result == "2.70 EUR"

``replay.call`` puts the record's data globals in place (``unittest.mock.patch.dict``
on the function's module), answers the external calls the record holds with
the ``unittest.mock.Mock`` objects of ``external_mocks`` (one per callee, giving
the recorded results in order, or raising the recorded exceptions), calls the
function on the recorded arguments, and returns its result or raises what it
raised. An external call the record does not hold fails the test.

Loading a record rebuilds real objects of the project's classes and imports
its modules: use records from stores you trust only.
"""

import base64
import json
import os
import sys
from unittest import mock

from corvane_collector.host import replay as _machinery

DATA_FILE = "corvane_records.json"
DATA_FORMAT = 1

RecordedCall = _machinery.RecordedCall


class Records:
    """The records of a data file written by ``gen-tests``, by record number."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            content = json.load(f)
        if content.get("format") != DATA_FORMAT:
            raise ValueError(f"{path}: unknown record data format {content.get('format')!r}")
        self.path = path
        self.recorded_project = content.get("project")
        self._data = {int(k): base64.b64decode(v["data"]) for k, v in content["records"].items()}
        # Modules a test runner imported by their directory (test modules) are found again.
        for v in content["records"].values():
            _machinery.make_importable(v.get("module"), v.get("file"), os.getcwd(),
                                       self.recorded_project)

    def call(self, record_id):
        """The recorded call, loaded as real objects (imports the project's modules)."""
        recorded = RecordedCall(self._data[record_id], record_id)
        recorded.recorded_project = self.recorded_project
        return recorded

    def __contains__(self, record_id):
        return record_id in self._data


def records_next_to(test_file):
    return Records(os.path.join(os.path.dirname(os.path.abspath(test_file)), DATA_FILE))


def write_records(directory, rows, recorded_project=None):
    """Writes the data file for ``rows`` (store rows with ``id``, ``full_name`` and ``data``)."""
    content = {"format": DATA_FORMAT, "project": recorded_project,
               "records": {str(r["id"]): {"function": r["full_name"], "module": r["module"],
                                          "file": r["file"],
                                          "data": base64.b64encode(bytes(r["data"])).decode()}
                           for r in rows}}
    path = os.path.join(directory, DATA_FILE)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)  # records hold argument values
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(content, f, indent=1)
        f.write("\n")
    return path


def external_mocks(call):
    """One ``unittest.mock.Mock`` per external callee of the record, answering in recorded order."""
    mocks = {}
    for outcome in call.external_calls:
        mocks.setdefault(outcome.name, [])
        mocks[outcome.name].append(outcome)
    return {name: mock.Mock(name=name, side_effect=_in_order(outcomes))
            for name, outcomes in mocks.items()}


def _in_order(outcomes):
    pending = list(outcomes)

    def next_outcome(*args, **kwargs):
        if not pending:
            raise StopIteration
        outcome = pending.pop(0)
        if outcome.raised:
            raise outcome.value
        return outcome.value
    return next_outcome


def data_globals(func, call):
    """The record's globals that ``call`` may put in place of the function's module globals."""
    return _machinery.globals_to_put(func.__globals__, call.globals)


def call(func, recorded, externals=None):
    """Calls ``func`` as recorded, with its external calls answered by ``externals``.

    Returns what the function returned, or raises what it raised.
    """
    if externals is None:
        externals = external_mocks(recorded)
    args, kwargs = recorded.prepared_arguments()
    recorded.arguments_used = (args, kwargs)
    root = _project_root(func)
    with mock.patch.dict(func.__globals__, data_globals(func, recorded)):
        with _machinery.answering(recorded.external_calls, root, handlers=externals,
                                  target=func) as answers:
            try:
                result = _machinery.invoke(func, args, kwargs)
            except BaseException:
                if answers.divergence:
                    raise AssertionError(answers.divergence) from None
                raise
        if answers.divergence:
            raise AssertionError(answers.divergence)
    return result


def _project_root(func):
    """The current directory when it holds the function (tests run from the project's
    directory), else the directory its top-level package lives in."""
    here = os.getcwd()
    if os.path.abspath(func.__code__.co_filename).startswith(here + os.sep):
        return here
    return _machinery.project_root_of(sys.modules[func.__module__])


def function_of(recorded, project=None):
    """The recorded function in the current code of ``project`` (default: the current directory).

    For functions of a script that was run as ``__main__``, which cannot be imported by name.
    """
    return _machinery.find_function(recorded, os.path.abspath(project or os.getcwd()),
                                    getattr(recorded, "recorded_project", None))


def assert_same(value, recorded_value):
    """Fails unless ``value`` matches ``recorded_value`` as a record holds values."""
    found = _machinery.difference(recorded_value, _machinery.recorded_form(value))
    if found:
        raise AssertionError(f"{_machinery.short(value)} differs from the recorded "
                             f"{_machinery.short(recorded_value)}: {found}")


def assert_same_exception(exc, recorded):
    """Fails unless ``exc`` has the type and arguments of the recorded exception."""
    found = _machinery.exception_difference(recorded.exception, exc)
    if found:
        raise AssertionError(f"raised {_machinery.short(exc)}, recorded "
                             f"{_machinery.short(recorded.exception)}: {found}")


def assert_arguments_after(recorded):
    """Fails unless the arguments, after the call, match what the record holds."""
    if recorded.args_after is None:
        return
    args, kwargs = recorded.arguments_used
    assert_same(args, recorded.args_after)
    if recorded.kwargs_after:
        assert_same(kwargs, recorded.kwargs_after)
