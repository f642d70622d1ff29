"""The ``gen-tests`` command: pytest files that replay recorded calls.

Choosing and naming the tests reads the records without importing anything
(the reading of ``show``); only running the written tests rebuilds objects.
"""

import ast
import keyword
import math
import os
import re

from corvane_collector import replay as helper
from corvane_collector.host import decode, store as store_mod

_HELPER_NAMES = {"os", "pytest", "mock", "replay", "RECORDS", "call", "result", "raised", "externals"}
_NAME_MAX = 72
_SHOWN_MAX = 40


class GenerationProblem(Exception):
    """The tests cannot be written; the message says why."""


def _is_literal(value, depth=0):
    if depth > 6:
        return False
    if value is None or isinstance(value, (bool, int, str, bytes)):
        return True
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, (list, tuple, set, frozenset)) and type(value) in (list, tuple, set):
        return all(_is_literal(v, depth + 1) for v in value)
    if type(value) is dict:
        return all(_is_literal(k, depth + 1) and _is_literal(v, depth + 1) for k, v in value.items())
    return False


def literal_source(value, width=200):
    """Python source that evaluates to ``value``, or None when there is no short one."""
    if not _is_literal(value):
        return None
    text = repr(value)
    if len(text) > width:
        return None
    try:
        if ast.literal_eval(text) != value:
            return None
    except (ValueError, SyntaxError):
        return None
    return text


def _class_of(view_value):
    """(module, qualname) of a decoded object's class, or of a decoded class."""
    if isinstance(view_value, decode.Placeholder):
        return view_value.ph_module, view_value.ph_name
    if isinstance(view_value, type):
        if issubclass(view_value, decode.Placeholder):
            return view_value.ph_module, view_value.ph_name
        return view_value.__module__, view_value.__qualname__
    return type(view_value).__module__, type(view_value).__qualname__


def _type_key(value):
    module, name = _class_of(value)
    return f"{module}.{name}"


def _outcome_key(view):
    if view.raised:
        return ("raises", _type_key(view.exception))
    return ("returns", _type_key(view.return_value))


def _kept(value, depth=0):
    """Whether a value read without importing is one a replay can rebuild (as far as that shows)."""
    if depth > 30:
        return True
    if isinstance(value, (decode.UnpicklableValue, decode.Undecodable)):
        return False
    if isinstance(value, decode.Reference):
        return "<" not in value.name
    if isinstance(value, decode.Placeholder):
        inner = list(value.ph_args) + list(value.ph_kwargs.values()) + \
            list(value.ph_attributes.values()) + value.ph_list + list(value.ph_items.values())
        return all(_kept(v, depth + 1) for v in inner)
    if isinstance(value, dict):
        return all(_kept(k, depth + 1) and _kept(v, depth + 1) for k, v in value.items())
    if isinstance(value, (list, tuple, set, frozenset)):
        return all(_kept(v, depth + 1) for v in value)
    return True


def replayable(view):
    """False for records whose arguments or external results were only described."""
    return (view.error is None and _kept(view.args_before) and _kept(view.kwargs_before)
            and all(c["raised"] or _kept(c["result"]) for c in view.external_calls))


def choose(views, per_function):
    """Up to ``per_function`` records: first one of each (argument types, outcome), then others."""
    chosen, keys = [], set()
    for rec, view in views:
        key = (tuple(_type_key(a) for a in (view.args_before or ())),
               tuple(sorted((k, _type_key(v)) for k, v in (view.kwargs_before or {}).items())),
               _outcome_key(view))
        if key not in keys:
            keys.add(key)
            chosen.append((rec, view))
    rest = [pair for pair in views if pair not in chosen]
    chosen.extend(rest[:max(0, per_function - len(chosen))])
    chosen = chosen[:per_function]
    chosen.sort(key=lambda pair: pair[0]["id"])
    return chosen


def _slug(text):
    text = re.sub(r"\W+", "_", text).strip("_")
    return text


def _shown_args(view, is_method):
    args = list(view.args_before or ())
    if is_method and args:
        args = args[1:]
    parts = [decode.render(a, width=0) for a in args]
    parts += [f"{k}={decode.render(v, width=0)}" for k, v in (view.kwargs_before or {}).items()]
    return ", ".join(parts)


def test_name(qualname, view, is_method, taken):
    """A test name that says what the call checks, unique among ``taken``."""
    pieces = [_slug(qualname)]
    shown = _shown_args(view, is_method)
    if shown and len(shown) <= _SHOWN_MAX:
        pieces.append(_slug(shown))
    if view.raised:
        pieces += ["raises", _slug(_class_of(view.exception)[1].rpartition(".")[2])]
    else:
        pieces.append("returns")
        value = literal_source(view.return_value, _SHOWN_MAX)
        pieces.append(_slug(value) if value and _slug(value) else
                      _slug(_class_of(view.return_value)[1].rpartition(".")[2]))
    name = "test_" + "_".join(p for p in pieces if p)
    name = name[:_NAME_MAX].rstrip("_")
    base, n = name, 2
    while name in taken:
        name = f"{base}_{n}"
        n += 1
    taken.add(name)
    return name


def _import_name(name):
    return f"_{name}" if name in _HELPER_NAMES or keyword.iskeyword(name) else name


def test_source(full_name, module, rows_views, store_path):
    """The text of one test file for one function's chosen records."""
    qualname = full_name[len(module) + 1:] if full_name.startswith(module + ".") else full_name
    is_method = "." in qualname
    ids = [rec["id"] for rec, _ in rows_views]
    lines = [f'"""Regression tests of {full_name}, from recorded calls {", ".join(map(str, ids))}.',
             "",
             f"Written by `python3.10 -m corvane_collector gen-tests` from {store_path}. Each test",
             "calls the function on the arguments of one recorded call, with the recorded globals in",
             "place and the external calls it makes answered by unittest.mock mocks that give the",
             "recorded results, and checks the recorded outcome. Run with `python3.10 -m pytest`",
             "from the project's directory. Loading the records rebuilds the project's objects: keep",
             "the data file as private and trusted as the store it came from.",
             '"""', "", "import pytest", "", "from corvane_collector import replay"]
    exc_imports = {}
    for _, view in rows_views:
        if view.raised:
            emodule, ename = _class_of(view.exception)
            if emodule not in ("builtins", "__main__") and "." not in ename and ename.isidentifier():
                exc_imports.setdefault((emodule, ename), _import_name(ename))
    lines += ["", "# Loading the data file also finds the recorded modules that are not importable by",
              "# name alone (test modules imported by their directory).",
              "RECORDS = replay.records_next_to(__file__)", ""]
    top = qualname.split(".")[0]
    if module == "__main__":
        target = None
    else:
        alias = _import_name(top)
        lines.append(f"from {module} import {top}" + (f" as {alias}" if alias != top else "")
                     + "  # noqa: E402")
        target = alias + qualname[len(top):]
    for (emodule, ename), alias in sorted(exc_imports.items()):
        lines.append(f"from {emodule} import {ename}" + (f" as {alias}" if alias != ename else "")
                     + "  # noqa: E402")
    if target is None:
        target = "_recorded_function"
        lines.append(f"_recorded_function = replay.function_of(RECORDS.call({ids[0]}))")
    taken = set()
    for rec, view in rows_views:
        name = test_name(qualname, view, is_method, taken)
        shown = ("self, " if is_method else "") + _shown_args(view, is_method)
        shown = shown if len(shown) <= 80 else shown[:77] + "..."
        outcome = (f"raised {decode.render(view.exception, width=80)}" if view.raised
                   else f"returned {decode.render(view.return_value, width=80)}")
        lines += ["", "", f"def {name}():",
                  f'    """{qualname}({shown}) '
                  f'{outcome} (record {rec["id"]})."""'.replace("\\", "\\\\"),
                  f"    call = RECORDS.call({rec['id']})",
                  "    externals = replay.external_mocks(call)"]
        if view.raised:
            emodule, ename = _class_of(view.exception)
            if emodule == "builtins":
                cls = ename
            else:
                cls = exc_imports.get((emodule, ename), "BaseException")
            lines += [f"    with pytest.raises({cls}) as raised:",
                      f"        replay.call({target}, call, externals)",
                      "    replay.assert_same_exception(raised.value, call)"]
        else:
            lines.append(f"    result = replay.call({target}, call, externals)")
            value = literal_source(view.return_value)
            if value is not None and not isinstance(view.return_value, float):
                lines.append(f"    assert result == {value}")
            else:
                lines.append("    replay.assert_same(result, call.return_value)")
        if decode.render(view.args_after, 0) != decode.render(view.args_before, 0) or \
                decode.render(view.kwargs_after, 0) != decode.render(view.kwargs_before, 0):
            lines.append("    replay.assert_arguments_after(call)")
    return "\n".join(lines) + "\n"


def file_name(full_name):
    return "test_" + _slug(full_name.replace(".", "_")) + ".py"


def generate(conn, output, run="all", function=None, per_function=5, store_path="the record store"):
    """Writes the test files and the data file; returns [(path, number of tests)]."""
    run_id = store_mod.resolve_run(conn, run)
    if function is not None:
        names = store_mod.matching_functions(conn, function, run_id)
        if not names:
            raise GenerationProblem(f"no recorded function matches {function!r}")
        if len(names) > 1 and function not in names:
            raise GenerationProblem(f"{function!r} matches several functions: {', '.join(names[:10])}")
        names = [function] if function in names else names
    else:
        names = [f["function"] for f in store_mod.function_summary(conn, run_id) if f["function"]]
    if os.path.exists(output) and not os.path.isdir(output):
        raise GenerationProblem(f"{output} exists and is not a directory")
    projects = {r["id"]: r["project"] for r in store_mod.list_runs(conn)}
    written, needed, recorded_project = [], [], None
    os.makedirs(output, exist_ok=True)
    for name in sorted(names):
        views = []
        for rec in store_mod.iter_records(conn, run_id, function=name):
            view = decode.CallView(rec["data"])
            if rec["module"] and replayable(view):
                views.append((rec, view))
        if not views:
            continue
        chosen = choose(views, per_function)
        module = chosen[0][0]["module"]
        path = os.path.join(output, file_name(name))
        with open(path, "w", encoding="utf-8") as f:
            f.write(test_source(name, module, chosen, store_path))
        written.append((path, len(chosen)))
        needed.extend(rec for rec, _ in chosen)
        recorded_project = recorded_project or projects.get(chosen[0][0]["run_id"])
    if needed:
        helper.write_records(output, needed, recorded_project)
    return written
