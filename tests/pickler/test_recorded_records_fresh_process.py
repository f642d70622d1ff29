"""Records produced by the real recorder load back in a fresh process."""

import json
import os
import subprocess
import sys

import pytest

RECORDER_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "recorder")

RECORD = r'''
import json, pickle, sys
sys.path.insert(0, sys.argv[2])
import e2e_driver, e2e_project
from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
CollectorSettings.serializer = IpcPickleSerializer()
CollectorSettings.tenant_id = "tenant"
CollectorSettings.project_id = "project"
CollectorSettings.project_files = frozenset({e2e_project.__file__})
import interceptor
messages, names = [], []
for name, args in (("nested", (1,)), ("methods", ()), ("exception", ()), ("globals", ()),
                   ("with_block", ())):
    data, metrics = e2e_driver.Channel(), e2e_driver.Channel()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = metrics
    interceptor.apply({e2e_project.__file__}, 1.0)
    try:
        e2e_driver.call(getattr(e2e_project, "scenario_" + name), args)
    finally:
        interceptor.set_defualt_interpter()
    messages.extend(data.messages)
    names.extend(pickle.loads(m).function_metadata.full_name for m in data.messages)
with open(sys.argv[1], "wb") as out:
    pickle.dump(messages, out)
print(json.dumps(names))
'''

LOAD = r'''
import json, pickle, sys
from corvane_collector.data_serialization.pickler import safe_pickle_loads
FIELDS = ("pre_run_args", "pre_run_kwargs", "post_run_args", "post_run_kwargs", "return_value",
          "execption", "globals")
summary = []
for data in pickle.load(open(sys.argv[1], "rb")):
    record = safe_pickle_loads(data)
    fields = {}
    for field in FIELDS:
        raw = getattr(record, field, None)
        if isinstance(raw, bytes):
            value = safe_pickle_loads(raw)
            fields[field] = type(value).__name__
    externals = [e.function_metadata.full_name for e in (record.external_calls or [])]
    summary.append({"name": record.function_metadata.full_name, "fields": fields,
                    "externals": externals})
print(json.dumps(summary))
'''


def recorder_available():
    probe = "import interceptor, corvane_collector.data_collection.call_recorder"
    return (os.path.exists(os.path.join(RECORDER_TESTS, "e2e_driver.py"))
            and subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0)


@pytest.mark.skipif(not recorder_available(), reason="the recorder and interceptor are not built")
def test_records_of_the_end_to_end_program_load_in_a_fresh_process(tmp_path):
    store = tmp_path / "records.bin"
    recorded = subprocess.run([sys.executable, "-c", RECORD, str(store), RECORDER_TESTS],
                              capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert recorded.returncode == 0, recorded.stderr
    names = json.loads(recorded.stdout.strip().splitlines()[-1])
    assert len(names) >= 5
    # a fresh process without the project on its path
    loaded = subprocess.run([sys.executable, "-c", LOAD, str(store)], capture_output=True, text=True,
                            timeout=300, cwd="/")
    assert loaded.returncode == 0, loaded.stderr
    summary = json.loads(loaded.stdout.strip().splitlines()[-1])
    assert [entry["name"] for entry in summary] == names
    for entry in summary:
        # every serialised part of every record loads
        assert entry["fields"]["pre_run_args"] == "tuple", entry
        assert entry["fields"]["globals"] == "dict", entry
    by_name = {entry["name"]: entry for entry in summary}
    assert by_name["e2e_project.fails"]["fields"]["execption"] == "ValueError"
    assert by_name["e2e_project.quoted"]["fields"]["return_value"] == "str"
    assert "shlex.quote" in by_name["e2e_project.quoted"]["externals"]
