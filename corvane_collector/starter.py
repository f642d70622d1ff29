"""Starting and stopping the collector inside the current process.

``start`` finds the project's files, opens the record store, starts the two
handler processes, fills ``CollectorSettings`` and installs the recording
evaluator. ``stop`` (also run at interpreter exit) puts the stock evaluator
back, flushes the channels with a bounded wait and closes the run in the
store.

If the recording machinery cannot be loaded (the interceptor or the call
recorder does not import), the program still runs normally; the run is marked
in the store with the reason and nothing is recorded.
"""

import atexit
import os
import platform
import sys
import threading
import time

DEFAULT_COLLECTING_RATE = 1.0
DEFAULT_EXTERNAL_CALLS_MAX = 1000
DEFAULT_STORE = "corvane-records.db"
DEFAULT_KEEP_PER_FUNCTION = 1000
DEFAULT_EXIT_TIMEOUT = 10.0

# Directories never searched for project files.
EXCLUDED_DIRS = frozenset({
    ".git", ".hg", ".svn", "__pycache__", "site-packages", "dist-packages", "build", "dist",
    ".tox", ".nox", ".venv", "venv", ".eggs", "node_modules", ".mypy_cache", ".pytest_cache",
    ".hypothesis", ".idea", ".vscode",
})


class StartError(RuntimeError):
    """The collector cannot be started or stopped as asked; the message says why."""


_lock = threading.Lock()
_session = None
_fork_hook_installed = False


def _own_dirs():
    """Our own code must never count as project code, or we would record ourselves."""
    here = os.path.dirname(os.path.realpath(__file__))
    dirs = {here}
    try:
        import corvane_common
        dirs.add(os.path.dirname(os.path.realpath(corvane_common.__file__)))
    except Exception:  # noqa: BLE001
        pass
    return dirs


def _excluded_dir(dirpath, name):
    if name in EXCLUDED_DIRS or name.endswith(".egg-info"):
        return True
    return os.path.exists(os.path.join(dirpath, name, "pyvenv.cfg"))


def find_project_files(project_path, cwd=None):
    """Every ``.py`` file below ``project_path``, spelled the ways ``co_filename`` can spell it.

    The import system reports a module's file as the ``sys.path`` entry joined
    with the relative path, so one file may show up absolute, with symlinks
    resolved, or relative to the current directory (for a relative entry such
    as ``''`` or ``src``). All of these spellings go into the set.
    """
    root = os.path.abspath(project_path)
    if not os.path.exists(root):
        raise StartError(f"project path does not exist: {project_path}")
    if not os.path.isdir(root):
        raise StartError(f"project path is not a directory: {project_path}")
    cwd = os.path.abspath(cwd or os.getcwd())
    own = _own_dirs()
    files = set()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames
                             if not _excluded_dir(dirpath, d)
                             and os.path.realpath(os.path.join(dirpath, d)) not in own)
        if os.path.realpath(dirpath) in own:
            continue
        for name in filenames:
            if not name.endswith(".py"):
                continue
            path = os.path.join(dirpath, name)
            files.add(path)
            files.add(os.path.realpath(path))
            rel = os.path.relpath(path, cwd)
            if not rel.startswith(os.pardir + os.sep):
                files.add(rel)
    return frozenset(files)


class Session:
    """One started collector: its store, run, channels and settings."""

    def __init__(self):
        self.store_location = None  # as given: a URL may hold a password
        self.store_path = None  # as messages show it
        self.handler_location = None
        self.handler_env = {}
        self.run_id = None
        self.data = None
        self.metrics = None
        self.project_path = None
        self.project_files = frozenset()
        self.rate = None
        self.recording = "off"
        self.interceptor = None
        self.exit_timeout = DEFAULT_EXIT_TIMEOUT
        self.exit_code = None
        self.pid = os.getpid()
        self.subprocesses = False
        self.options = {}
        # "root" for the process that created the run; "spawned" or "forked"
        # for a child that joined it.
        self.how = "root"
        self.parent_pid = None
        self.process_started = None
        # Node id of the test running now (set by the pytest plugin).
        self.test = None


def _validate_rate(rate):
    try:
        value = float(rate)
    except (TypeError, ValueError):
        raise StartError(f"collecting rate must be a number from 0.0 to 1.0, got {rate!r}") from None
    if not 0.0 <= value <= 1.0:
        raise StartError(f"collecting rate must be from 0.0 to 1.0, got {rate!r}")
    return value


def _validate_max(value):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise StartError(f"external_calls_max must be a whole number >= 0, got {value!r}")
    return value


def _validate_keep(value):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise StartError(f"keep_per_function must be a whole number >= 0 (0: keep all), got {value!r}")
    return value or None


def _validate_store_size(value, parse_size):
    if value is None:
        return None
    try:
        if isinstance(value, float) or isinstance(value, bool):
            raise ValueError(value)
        return parse_size(value) or None
    except ValueError:
        raise StartError(f"max_store_size must be a size in bytes (or like 500M, 2G), got {value!r}") from None


def start(project_path, collecting_rate=DEFAULT_COLLECTING_RATE, store=None,
          external_calls_max=DEFAULT_EXTERNAL_CALLS_MAX, *, tenant_id="local", project_id=None,
          exit_timeout=DEFAULT_EXIT_TIMEOUT, argv=None, max_queue_messages=None,
          max_queue_bytes=None, extra_project_files=(), on_full="wait",
          keep_per_function=DEFAULT_KEEP_PER_FUNCTION, max_store_size=None, subprocesses=False,
          _join=None):
    """Starts recording the calls of the project at ``project_path``.

    ``on_full`` says what a send does when a handler's queue is full: "wait"
    (the default) slows the sending thread down until there is room, for at
    most a few seconds per message, so that nothing is lost; "drop" never
    blocks and counts the message as dropped, for services where a lost
    record is better than a slowed request.

    ``store`` is a file path or a ``postgresql://`` URL. The handlers keep the
    newest ``keep_per_function`` calls of each function (0: all) and stop
    storing once the store holds ``max_store_size`` bytes (an int, or text
    such as "500M"); what they do not keep is counted in the run's metrics.

    With ``subprocesses`` the Python 3.10 processes the program starts
    (subprocesses of ``sys.executable``, ``multiprocessing`` workers, forked
    children) are recorded too, into the same run and with the same settings
    (see ``corvane_collector.host.process_tree``). ``_join`` is that module's:
    the run a child joins; its limits are those the run was created with.

    Returns the ``Session``. Raises ``StartError`` for a bad argument, a
    second start, or a store that cannot be used (before anything is recorded).
    """
    global _session
    from corvane_collector.host import channels, store as store_mod

    with _lock:
        if _session is not None:
            raise StartError("the collector is already started in this process")
        rate = _validate_rate(collecting_rate)
        external_calls_max = _validate_max(external_calls_max)
        if on_full not in channels.ON_FULL_MODES:
            raise StartError(f"on_full must be 'wait' or 'drop', got {on_full!r}")
        keep = _validate_keep(keep_per_function)
        max_size = _validate_store_size(max_store_size, store_mod.parse_size)
        session = Session()
        session.project_path = os.path.abspath(project_path)
        session.project_files = find_project_files(project_path) | frozenset(extra_project_files)
        session.rate = rate
        session.exit_timeout = float(exit_timeout)
        location = store or DEFAULT_STORE
        session.store_location = location if store_mod.is_url(location) else os.path.abspath(location)
        session.store_path = store_mod.display_location(session.store_location)
        session.subprocesses = bool(subprocesses)
        session.options = dict(external_calls_max=external_calls_max, tenant_id=tenant_id,
                               project_id=project_id or os.path.basename(session.project_path),
                               max_queue_messages=max_queue_messages,
                               max_queue_bytes=max_queue_bytes, on_full=on_full,
                               keep_per_function=keep, max_store_size=max_size)
        if _join is not None:
            session.run_id = _join["run_id"]
            session.how, session.parent_pid = "spawned", _join.get("parent_pid")
        _open_in_store(session, sys.argv if argv is None else argv)
        _start_handlers(session)
        session.recording = _install(session, external_calls_max, session.options["tenant_id"],
                                     session.options["project_id"])
        _set_recording(session)
        _session = session
        _install_process_hooks(session.subprocesses)
        if session.subprocesses:
            from corvane_collector.host import process_tree
            process_tree.export(session)
        return session


def _open_in_store(session, argv):
    """Creates the run (or checks the one to join) and enters this process in it."""
    from corvane_collector.host import store as store_mod

    conn = None
    try:
        conn = store_mod.open_store(session.store_location, create=True)
        if conn.backend == "postgresql":
            session.handler_location, session.handler_env = conn.handler_location()
        else:
            session.handler_location, session.handler_env = session.store_location, {}
        if session.how == "root":
            session.run_id = store_mod.create_run(
                conn, session.pid, argv, session.project_path, session.rate,
                platform.python_version(), "starting",
                keep_per_function=session.options["keep_per_function"],
                max_store_size=session.options["max_store_size"])
        else:
            store_mod.open_run(conn, session.run_id)
        session.process_started = store_mod.add_process(
            conn, session.run_id, session.pid, session.parent_pid, session.how, argv, "starting")
    except store_mod.StoreError as exc:
        raise StartError(str(exc)) from None
    except Exception as exc:  # database errors on a read-only or full disk
        raise StartError(f"cannot write to the record store {session.store_path}: {exc}") from None
    finally:
        # No connection is held while the program runs: a forked child must
        # never inherit one (SQLite connections do not survive a fork).
        if conn is not None:
            conn.close()


def _set_recording(session):
    from corvane_collector.host import store as store_mod

    try:
        conn = store_mod.open_store(session.store_location)
        try:
            if session.how == "root":
                store_mod.set_run_recording(conn, session.run_id, session.recording)
            store_mod.set_process_recording(conn, session.run_id, session.pid,
                                            session.process_started, session.recording)
        finally:
            conn.close()
    except Exception:  # noqa: BLE001 - the run goes on; stop() writes the final state
        pass


def _start_handlers(session):
    from corvane_collector.host import channels

    options = {"child": session.how != "root", "on_full": session.options["on_full"],
               "handler_env": session.handler_env}
    if session.options["max_queue_messages"] is not None:
        options["max_messages"] = session.options["max_queue_messages"]
    if session.options["max_queue_bytes"] is not None:
        options["max_bytes"] = session.options["max_queue_bytes"]
    try:
        session.data = channels.start_handler("data", session.handler_location, session.run_id,
                                              **options)
        session.metrics = channels.start_handler("metrics", session.handler_location,
                                                 session.run_id, **options)
    except OSError as exc:
        for ch in (session.data, session.metrics):
            if ch is not None:
                ch.close(1.0)
        raise StartError(f"cannot start the handler processes: {exc}") from None


def _install(session, external_calls_max, tenant_id, project_id):
    """Fills the settings and installs the evaluator; returns "on" or "off: why"."""
    try:
        from corvane_collector.configs.run_settings import CollectorSettings
        from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
    except Exception as exc:  # noqa: BLE001 - run the program unrecorded, and say why
        return f"off: settings or serializer unavailable ({type(exc).__name__}: {exc})"
    from corvane_collector import __version__

    CollectorSettings.configure(
        tenant_id=tenant_id, project_id=project_id, python_version=platform.python_version(),
        lib_version=__version__, serializer=IpcPickleSerializer(),
        data_subprocess=session.data, metrics_subprocess=session.metrics,
        project_files=session.project_files, project_path=session.project_path,
        external_calls_max=external_calls_max)
    try:
        # Imported here first so that a failure has a message of ours; the
        # interceptor imports it again by name and would only print.
        import corvane_collector.data_collection.call_recorder  # noqa: F401
        import interceptor
    except Exception as exc:  # noqa: BLE001
        return f"off: recording machinery unavailable ({type(exc).__name__}: {exc})"
    if not hasattr(interceptor, "apply"):
        return "off: the interceptor module has no apply()"
    interceptor.apply(set(session.project_files), session.rate)
    session.interceptor = interceptor
    return "on"


def _install_process_hooks(subprocesses):
    global _fork_hook_installed
    if not _fork_hook_installed:
        os.register_at_fork(after_in_child=_after_fork_in_child)
        atexit.register(_at_exit)
        _fork_hook_installed = True
    if subprocesses and os._exit is _real_exit:
        os._exit = _exit_flushing


_real_exit = os._exit


def _exit_flushing(code):
    """``os._exit`` that first stops a recorded child process.

    Forked ``multiprocessing`` workers (fork and forkserver) always end with
    ``os._exit``, which skips the exit hooks: without this their last records
    would be lost. The process that created the run keeps the plain meaning.
    """
    session = _session
    if session is not None and session.how != "root" and session.pid == os.getpid():
        try:
            session.exit_code = code
            stop()
        except BaseException:  # noqa: BLE001 - the exit must happen whatever we do
            pass
    _real_exit(code)


def _after_fork_in_child():
    # The child must never write into the parent's pipes or close the
    # parent's run. When the run records its processes, the child gets its own
    # handlers and keeps the evaluator; otherwise it records nothing.
    global _session, _lock
    _lock = threading.Lock()
    parent = _session
    if parent is None:
        return
    _session = None
    for ch in (parent.data, parent.metrics):
        if ch is not None:
            ch.after_fork_in_child()
    if parent.subprocesses and parent.interceptor is not None:
        try:
            _session = _continue_in_forked_child(parent)
            return
        except Exception as exc:  # noqa: BLE001 - the child runs on, unrecorded
            sys.stderr.write(f"corvane collector: this forked process is not recorded: {exc}\n")
    try:
        if parent.interceptor is not None:
            parent.interceptor.set_defualt_interpter()
    except Exception:  # noqa: BLE001
        pass


def _continue_in_forked_child(parent):
    from corvane_collector.configs.run_settings import CollectorSettings

    session = Session()
    for name in ("store_location", "store_path", "handler_location", "handler_env", "run_id", "project_path", "project_files", "rate",
                 "exit_timeout", "subprocesses", "options", "interceptor", "test"):
        setattr(session, name, getattr(parent, name))
    session.how, session.parent_pid = "forked", parent.pid
    _open_in_store(session, sys.argv)
    _start_handlers(session)
    CollectorSettings.configure(data_subprocess=session.data, metrics_subprocess=session.metrics)
    if session.test is not None:
        session.data.send_context(session.test)
    session.recording = "on"
    _set_recording(session)
    return session


def _at_exit():
    if _session is not None and _session.pid == os.getpid():
        try:
            stop()
        except Exception as exc:  # noqa: BLE001 - never disturb the exit of the program
            sys.stderr.write(f"corvane collector: error while stopping: {exc}\n")


def set_exit_code(code):
    """Remembers the program's exit code, stored with the run when it is closed."""
    if _session is not None:
        _session.exit_code = code


def current():
    """The running ``Session``, or None."""
    return _session


def set_test(nodeid):
    """Tags the records made from now on with a test's node id (None: no test)."""
    session = _session
    if session is not None and session.data is not None:
        session.test = nodeid
        session.data.send_context(nodeid)


def stop():
    """Stops recording, flushes the channels and closes the run; returns a summary dict."""
    global _session
    from corvane_collector.host import store as store_mod

    with _lock:
        session = _session
        if session is None:
            raise StartError("the collector is not started")
        _session = None
    if session.interceptor is not None:
        try:
            session.interceptor.set_defualt_interpter()
        except Exception:  # noqa: BLE001
            pass
    try:
        from corvane_collector.configs.run_settings import CollectorSettings, NullChannel
        if getattr(CollectorSettings, "data_subprocess", None) is session.data:
            # Calls still finishing under the evaluator deliver into nothing.
            CollectorSettings.data_subprocess = NullChannel("data")
            CollectorSettings.metrics_subprocess = NullChannel("metrics")
    except Exception:  # noqa: BLE001
        pass

    deadline = time.monotonic() + session.exit_timeout
    remaining = lambda: max(0.0, deadline - time.monotonic())  # noqa: E731
    session.data.close(remaining() * 0.7)
    drops = session.data.drop_totals()
    drops.update(session.metrics.drop_totals())
    session.metrics.send_drop_report(drops)
    session.metrics.close(remaining())
    # The metrics channel's own drops after its last report cannot travel on it.
    late = {k: v for k, v in session.metrics.drop_totals().items() if drops.get(k) != v}
    codes = [session.data.wait_handler(remaining()), session.metrics.wait_handler(remaining())]
    finished = all(c is not None for c in codes)
    summary = {"run_id": session.run_id, "store": session.store_path,
               "recording": session.recording, "handlers_finished": finished,
               "handler_exit_codes": codes,
               "handler_pids": [getattr(ch.process, "pid", None)
                                for ch in (session.data, session.metrics)],
               "sent": session.data.sent,
               "dropped": sum(drops.values()) + sum(late.values()),
               "drops": [{"channel": c, "reason": r, "count": n}
                         for (c, r), n in sorted({**drops, **late}.items())],
               "records": None, "functions": None}
    if session.subprocesses and session.how == "root":
        from corvane_collector.host import process_tree
        process_tree.withdraw(session)
    conn = None
    try:
        conn = store_mod.open_store(session.store_location)
        if late:
            child = None if session.how == "root" else session.pid
            store_mod.set_drop_totals(conn, session.run_id, {
                (store_mod.drop_channel(c, child), r): n for (c, r), n in late.items()})
        store_mod.finish_process(conn, session.run_id, session.pid, session.process_started,
                                 session.exit_code, session.recording)
        if session.how == "root":
            store_mod.finish_run(conn, session.run_id, session.exit_code, session.recording)
            if finished:
                summary["records"] = store_mod.record_count(conn, session.run_id)
                summary["functions"] = len(store_mod.function_summary(conn, session.run_id))
                summary["processes"] = len(store_mod.list_processes(conn, session.run_id))
                summary["not_kept"] = sum(m["count"] for m in store_mod.metric_counts(
                    conn, session.run_id) if m["kind"] == store_mod.NOT_KEPT)
    except Exception as exc:  # noqa: BLE001
        summary["store_error"] = str(exc)
    finally:
        if conn is not None:
            conn.close()
    for ch, code in ((session.data, codes[0]), (session.metrics, codes[1])):
        if ch.error is not None or (code not in (None, 0)):
            summary.setdefault("problems", []).append(
                f"{ch.name} handler exited early (exit code {code}); "
                f"{sum(ch.drop_totals().values())} messages dropped")
    return summary
