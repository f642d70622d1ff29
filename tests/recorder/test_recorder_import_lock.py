"""A thread started and joined (without a timeout) in the body of a project
module, while that module and its package are being imported, with its calls
recorded at rate 1.0.

Recording those calls pickles classes and functions of the module being
imported.  Pickling them by name the standard way imports their module, which
waits for the importing thread: the importing thread waits in join() for the
recorded one, and the program would hang for ever."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import faulthandler, json, sys, time
    faulthandler.dump_traceback_later(60, exit=True)
    sys.path.insert(0, sys.argv[1])
    from corvane_collector.configs.run_settings import CollectorSettings
    from corvane_collector.host import decode

    class Channel:
        def __init__(self):
            self.messages = []
        def send_message(self, data):
            self.messages.append(data)

    data = Channel()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = Channel()
    project = {sys.argv[1] + "/hang_pkg/__init__.py", sys.argv[1] + "/hang_pkg/workers.py"}
    CollectorSettings.project_files = frozenset(project)
    import interceptor
    interceptor.apply(set(project), 1.0)

    def run():
        started = time.monotonic()
        import hang_pkg
        return time.monotonic() - started, hang_pkg.workers.results

    seconds, results = run()
    interceptor.set_defualt_interpter()
    records = {}
    for message in data.messages:
        record = CollectorSettings.serializer.deserialize(message)
        name = record.function_metadata.full_name
        records[name] = {
            "args": [repr(decode.load(record.pre_run_args))],
            "globals": sorted(decode.load(record.globals)),
            "return": repr(decode.load(record.return_value)),
        }
    print(json.dumps({"seconds": seconds, "results": results, "records": records}))
""")

PACKAGE_INIT = "from hang_pkg import workers\n"

WORKERS = textwrap.dedent("""
    import threading

    class Item:
        def __init__(self, v):
            self.v = v

    def double(item):
        return Item(item.v * 2)

    results = []

    class Worker(threading.Thread):
        def __init__(self, v):
            super().__init__()
            self.v = v
            self.key = lambda item: item.v

        def run(self):
            results.append(self.key(double(Item(self.v))))

    workers = [Worker(v) for v in (1, 2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
""")


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    probe = "import interceptor; interceptor.apply"
    if subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode != 0:
        pytest.skip("interceptor module not available in this build")
    root = tmp_path_factory.mktemp("import_lock")
    (root / "hang_pkg").mkdir()
    (root / "hang_pkg" / "__init__.py").write_text(PACKAGE_INIT)
    (root / "hang_pkg" / "workers.py").write_text(WORKERS)
    script = root / "child.py"
    script.write_text(CHILD)
    try:
        proc = subprocess.run([sys.executable, str(script), str(root)], capture_output=True,
                              text=True, timeout=120)
    except subprocess.TimeoutExpired as exc:
        pytest.fail("the program hung: %s" % (exc.stderr or "")[-3000:])
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


def test_threads_joined_during_an_import_finish(run):
    assert sorted(run["results"]) == [2, 4]
    assert run["seconds"] < 30


def test_their_calls_are_recorded_with_the_modules_classes(run):
    records = run["records"]
    names = {name.replace("hang_pkg.workers.", "") for name in records}
    records = {name.replace("hang_pkg.workers.", ""): record for name, record in records.items()}
    assert {"Worker.run", "double"} <= names, names
    # classes of the module being imported, named by reference (placeholders
    # when read back without importing the program)
    assert "hang_pkg.workers" in records["double"]["args"][0] and "Item" in records["double"]["args"][0]
    assert "Item" in records["double"]["return"]
    assert {"Item", "double", "results"} <= set(records["Worker.run"]["globals"])
