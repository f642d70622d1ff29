"""End to end: the interceptor installed at rate 1.0 over a small project
program, the real recorder, serializer and probe, in-memory channels.

The program runs in a child interpreter (e2e_driver.py) so that installing
the evaluator never touches the test runner itself."""

import json
import os
import subprocess
import sys

import pytest

from corvane_collector.data_collection.metrics import FailureReasons, UnpicklableReasons

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = ("nested", "methods", "exception", "generator", "globals", "with_block", "builtins",
             "lambda_and_inner", "coroutine", "threads", "unpicklable_inner", "keywords")
NONE_CLASS = {"class": "builtins.NoneType"}


def _interceptor_usable():
    probe = "import interceptor; interceptor.apply; interceptor.set_defualt_interpter"
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


@pytest.fixture(scope="module")
def runs():
    if not _interceptor_usable():
        pytest.skip("interceptor module not available in this build")
    proc = subprocess.run([sys.executable, os.path.join(HERE, "e2e_driver.py"), *SCENARIOS],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)


def names(run):
    return [r["full_name"] for r in run["records"]]


def metric_kinds(run):
    return [m["kind"] for m in run["metrics"]]


def test_nested_calls_and_library_call(runs):
    run = runs["nested"]
    assert run["result"] == 18
    inner, outer = run["records"]
    assert (inner["full_name"], outer["full_name"]) == ("e2e_project.quoted", "e2e_project.scenario_nested")
    assert inner["pre_args"] == ["a b"] and inner["return_value"] == "'a b'"
    assert inner["exception"] == NONE_CLASS
    assert inner["external_calls"] == [{"full_name": "shlex.quote", "return_value": "'a b'",
                                        "exception": NONE_CLASS}]
    assert outer["pre_args"] == [1] and outer["pre_kwargs"] == {}
    assert outer["return_value"] == 18
    # The inner call's library call belongs to the outer record as well.
    assert [e["full_name"] for e in outer["external_calls"]] == ["shlex.quote"]
    assert outer["globals"]["FACTOR"] == 3
    assert outer["globals"]["quoted"]["type"] == "function"
    assert outer["globals"]["shlex"]["type"] == "ModuleWrapper"  # read from, so kept
    assert metric_kinds(run) == ["CollectionTry", "CollectionTry", "ExternalFunction",
                                 "CollectionSuccess", "CollectionSuccess"]


def test_methods_and_class_calls(runs):
    run = runs["methods"]
    assert run["result"] == 16
    first, second, outer = run["records"]
    assert names(run) == ["e2e_project.Counter.bump"] * 2 + ["e2e_project.scenario_methods"]
    # The instance is the first argument; the constructor call itself is not recorded.
    assert first["pre_args"][0]["type"] == "Counter" and first["pre_args"][1] == 5
    assert (first["return_value"], second["return_value"]) == (15, 16)
    assert outer["globals"] == {"Counter": {"class": "e2e_project.Counter"}}
    assert outer["external_calls"] == []


def test_exception_raised_and_caught(runs):
    run = runs["exception"]
    assert run["result"] == "caught bad 4"
    failing, outer = run["records"]
    assert failing["full_name"] == "e2e_project.fails"
    assert failing["exception"] == {"exception": "ValueError", "args": ["bad 4"]}
    assert failing["return_value"] is None
    assert outer["exception"] == NONE_CLASS and outer["return_value"] == "caught bad 4"
    assert metric_kinds(run).count("CollectionSuccess") == 2


def test_generator_is_recorded_once_at_creation(runs):
    run = runs["generator"]
    assert run["result"] == [3, 2, 1]
    gen, outer = run["records"]
    assert gen["full_name"] == "e2e_project.countdown" and gen["pre_args"] == [3]
    assert "generator" in gen["return_value"]["repr"]
    assert outer["return_value"] == [3, 2, 1]


def test_globals_keep_only_the_attributes_read(runs):
    run = runs["globals"]
    assert run["result"] == "db.local:5432/7"
    (rec,) = run["records"]
    wrapped = rec["globals"]["SETTINGS"]
    assert wrapped["type"] == "ObjectWrapper"
    assert "db" in wrapped["repr"] and "timeout" in wrapped["repr"]
    assert "unused" not in wrapped["repr"]


def test_with_block_records_enter_and_exit_of_the_library_class(runs):
    run = runs["with_block"]
    assert run["result"] == 10
    (rec,) = run["records"]
    ext = [e["full_name"] for e in rec["external_calls"]]
    assert ext[0] == "contextlib.nullcontext.__init__"
    assert ext[-1] == "contextlib.nullcontext.__exit__"
    assert rec["external_calls"][-1]["return_value"] is None


def test_builtin_open_and_file_methods(runs):
    run = runs["builtins"]
    assert run["result"] == 12
    (rec,) = run["records"]
    ext = rec["external_calls"]
    assert ext[0]["full_name"].endswith("open")
    assert any(e["full_name"].endswith(".read") and e["return_value"] == "twelve chars" for e in ext)
    assert ext[-1]["full_name"].endswith("__exit__")
    # len() is neither recorded nor stops the record.
    assert not any(e["full_name"].endswith("len") for e in ext)


def test_lambdas_and_inner_functions_are_never_recorded(runs):
    run = runs["lambda_and_inner"]
    assert names(run) == ["e2e_project.scenario_lambda_and_inner"]
    assert metric_kinds(run) == ["CollectionTry", "CollectionSuccess"]


def test_coroutine_function_is_reported_not_recorded(runs):
    run = runs["coroutine"]
    assert names(run) == ["e2e_project.scenario_coroutine"]
    failures = [m for m in run["metrics"] if m["kind"] == "CollectorFailure"]
    assert len(failures) == 1 and failures[0]["reason"] == FailureReasons.ASYNCIO


def test_two_threads_record_independently(runs):
    run = runs["threads"]
    assert run["result"] == [["left", 170], ["right", 190]]
    works = [r for r in run["records"] if r["full_name"] == "e2e_project.work"]
    assert sorted(w["pre_args"][0] for w in works) == ["left", "right"]
    for w in works:
        tag = w["pre_args"][0]
        quoted = [e["return_value"] for e in w["external_calls"]]
        # Each thread's record holds exactly its own twenty library calls, in order.
        assert quoted == ["'%s %d'" % (tag, i) for i in range(20)]
    inner = [r for r in run["records"] if r["full_name"] == "e2e_project.quoted"]
    assert len(inner) == 40
    for r in inner:
        assert r["return_value"] == "'%s'" % r["pre_args"][0]
    outer = run["records"][-1]
    assert outer["full_name"] == "e2e_project.scenario_threads"
    assert not any(e["full_name"] == "shlex.quote" for e in outer["external_calls"])


def test_failed_inner_call_leaves_the_outer_record_whole(runs):
    run = runs["unpicklable_inner"]
    assert run["result"] == "'x y'zHandle"
    assert names(run) == ["e2e_project.quoted", "e2e_project.quoted", "e2e_project.scenario_unpicklable_inner"]
    outer = run["records"][-1]
    assert [e["return_value"] for e in outer["external_calls"]] == ["'x y'", "z"]
    assert sorted(outer["globals"]) == ["make_lock", "quoted", "shlex"]
    unpicklable = [m for m in run["metrics"] if m["kind"] == "Unpicklable"]
    assert [(m["object_type"], m["reason"]) for m in unpicklable] == [("Handle", UnpicklableReasons.TYPE_ERROR)]


def test_keyword_and_star_calls_keep_their_arguments(runs):
    run = runs["keywords"]
    records = [(r["full_name"].rsplit(".", 1)[-1], r["pre_args"], r["pre_kwargs"])
               for r in run["records"]]
    assert records[:3] == [("keyed", [1], {"c": 2}),
                           ("keyed", [3, 4, 5], {"c": 6, "d": 7}),
                           ("keyed", [8, 9], {"c": 10, "e": 11})]
    assert records[3][0] == "bump" and records[3][1][0]["type"] == "Counter"
    assert records[3][1][1:] == [] and records[3][2] == {"by": 12}
    assert [r["return_value"] for r in run["records"][:4]] == [
        [1, 0, [], 2, []], [3, 4, [5], 6, ["d"]], [8, 9, [], 10, ["e"]], 12]
