"""pytest plugin: ``pytest --corvane`` records the calls made while the tests run.

Options: ``--corvane-rate R``, ``--corvane-store=FILE``, ``--corvane-project=DIR``
(default: pytest's root directory). The session's process starts the run with
its child processes recorded, so pytest-xdist workers join it. Whenever a
process is being recorded (by ``--corvane``, by ``run -m pytest``, or as a
worker of either), every record is tagged with the node id of the test that
was running; ``show``/``list``/``export --test NODEID`` select by it.

Loaded in every pytest run of the environment; without a recording it only
registers its options.
"""

import os
import sys

import pytest


def pytest_addoption(parser):
    group = parser.getgroup("corvane", "call recording (corvane collector)")
    group.addoption("--corvane", action="store_true", default=False,
                    help="record the calls of the project's functions while the tests run")
    group.addoption("--corvane-rate", metavar="R", default=None,
                    help="share of candidate calls to record, 0.0 to 1.0 (default 1.0)")
    # pytest finds its root directory before it knows plugin options, so an
    # existing FILE or DIR given as a separate argument would count as a test path.
    group.addoption("--corvane-store", metavar="FILE", default=None,
                    help="record store, given as --corvane-store=FILE (default: $CORVANE_STORE "
                         "or ./corvane-records.db)")
    group.addoption("--corvane-project", metavar="DIR", default=None,
                    help="project root whose functions are recorded, given as "
                         "--corvane-project=DIR (default: the rootdir)")


_started = []  # the store path, when this process started the run


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    if not config.getoption("corvane"):
        return
    from corvane_collector import starter
    from corvane_collector.host import process_tree

    if hasattr(config, "workerinput"):
        # An xdist worker: normally joined the run at start-up already; this
        # covers an environment whose start-up hook is missing.
        process_tree.start_from_environment()
        return
    if starter.current() is not None:
        return  # already recorded, e.g. by ``run -m pytest --corvane``
    from corvane_collector.host import cli

    store = config.getoption("corvane_store") or cli._default_store()
    rate = config.getoption("corvane_rate")
    project = config.getoption("corvane_project") or str(config.rootpath)
    try:
        starter.start(project, starter.DEFAULT_COLLECTING_RATE if rate is None else rate, store,
                      argv=["-m", "pytest", *config.invocation_params.args], subprocesses=True)
    except starter.StartError as exc:
        raise pytest.UsageError(f"--corvane: {exc}") from None
    _started.append(store)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    starter = sys.modules.get("corvane_collector.starter")
    if starter is None or starter.current() is None:
        yield
        return
    starter.set_test(item.nodeid)
    try:
        yield
    finally:
        starter.set_test(None)


def pytest_sessionfinish(session, exitstatus):
    if _started:
        from corvane_collector import starter
        starter.set_exit_code(int(exitstatus))


@pytest.hookimpl(trylast=True)
def pytest_unconfigure(config):
    if not _started:
        return
    from corvane_collector import starter
    from corvane_collector.host import cli

    store = _started.pop()
    if starter.current() is None or starter.current().pid != os.getpid():
        return
    cli._print_run_summary(starter.stop(), store)
