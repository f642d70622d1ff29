"""Recording the processes a recorded program starts, into its run.

A session started with ``subprocesses=True`` puts its settings (store, run,
project, rate, limits) into the environment variable ``CORVANE_COLLECTOR_RUN``.
Every new interpreter inherits it, and the start-up hook installed with the
package (``corvane_collector_processes.pth`` in site-packages) calls
``start_from_environment``, which starts the collector in the new process as
a member of that run: subprocesses of ``sys.executable``, ``multiprocessing``
spawn and forkserver workers, pytest-xdist workers. Forked children need no
hook: the starter's at-fork handler gives them their own handlers (see
``starter._after_fork_in_child``).

The hook costs nothing when the variable is not set: the ``.pth`` line tests
the variable and the interpreter's version before it imports anything of
ours. A bad value never fails the child: it runs unrecorded and says why, once.
The handler processes are started without the variable, so they are never
recorded.
"""

import json
import os
import sys

ENV_RUN = "CORVANE_COLLECTOR_RUN"
_FORMAT = 1


def export(session):
    """Lets the processes started from now on join ``session``'s run."""
    value = json.dumps({
        "format": _FORMAT, "store": session.store_location, "run": session.run_id,
        "pid": session.pid, "project": session.project_path, "rate": session.rate,
        "exit_timeout": session.exit_timeout, **session.options,
    })
    os.environ[ENV_RUN] = value
    session.exported = value


def withdraw(session):
    """Processes started after the run ended are not recorded into it."""
    if os.environ.get(ENV_RUN) == getattr(session, "exported", None):
        del os.environ[ENV_RUN]


def _settings(raw):
    try:
        value = json.loads(raw)
    except ValueError as exc:
        raise ValueError(f"{ENV_RUN} is unreadable ({exc})") from None
    if not isinstance(value, dict) or value.get("format") != _FORMAT:
        raise ValueError(f"{ENV_RUN} is unreadable (not written by this version)")
    try:
        run_id = value["run"]
        if isinstance(run_id, bool) or not isinstance(run_id, int):
            raise TypeError("run")
        kwargs = dict(
            project_path=str(value["project"]), collecting_rate=value["rate"],
            store=str(value["store"]), external_calls_max=value["external_calls_max"],
            tenant_id=value["tenant_id"], project_id=value["project_id"],
            exit_timeout=float(value["exit_timeout"]),
            max_queue_messages=value.get("max_queue_messages"),
            max_queue_bytes=value.get("max_queue_bytes"),
            on_full=value.get("on_full", "wait"),
            keep_per_function=value.get("keep_per_function") or 0,
            max_store_size=value.get("max_store_size"))
    except (KeyError, TypeError, ValueError) as exc:
        raise ValueError(f"{ENV_RUN} is unreadable (bad or missing {exc})") from None
    return kwargs, {"run_id": run_id, "parent_pid": value.get("pid")}


def start_from_environment():
    """Joins the run named by ``CORVANE_COLLECTOR_RUN``; the session, or None.

    Never raises: when the variable cannot be used, the process runs
    unrecorded, says why on standard error, and drops the variable so that
    its own children do not say it again.
    """
    raw = os.environ.get(ENV_RUN)
    if not raw or sys.version_info[:2] != (3, 10) or sys.implementation.name != "cpython":
        return None
    try:
        from corvane_collector import starter
        if starter.current() is not None:
            return starter.current()
        kwargs, join = _settings(raw)
        from corvane_collector.host import store
        if not store.is_url(kwargs["store"]) and not os.path.isfile(kwargs["store"]):
            raise ValueError(f"its record store {kwargs['store']} does not exist")
        return starter.start(subprocesses=True, _join=join, **kwargs)
    except Exception as exc:  # noqa: BLE001 - never fail the program we were asked to record
        reason = str(exc)
        if "has already ended" in reason or "no run" in reason:
            reason += f" ({ENV_RUN} is left over from an earlier run?)"
        os.environ.pop(ENV_RUN, None)
        try:
            sys.stderr.write(f"corvane collector: this process is not recorded: {reason}\n")
        except Exception:  # noqa: BLE001 - no usable standard error
            pass
        return None


def leave_inherited_run():
    """Stops the session this process joined at start-up, if any.

    For ``run`` started inside a recorded program: its own run replaces the
    one inherited from the parent.
    """
    from corvane_collector import starter
    session = starter.current()
    if session is not None and session.how != "root":
        starter.stop()
