"""The ``replay`` command: selects records, replays each (in a child process
by default), prints one line per record and a summary."""

import importlib
import importlib.util
import json
import os
import select
import signal
import sys
import time

from corvane_collector.host import replay, store as store_mod

DEFAULT_TIMEOUT = 10.0


class UsageProblem(Exception):
    """Bad usage of the command; the message says what."""


def select_records(conn, run="all", function=None, record=None, limit=None):
    """The store rows to replay, oldest first."""
    try:
        run_id = store_mod.resolve_run(conn, run)
    except store_mod.StoreError as exc:
        raise UsageProblem(str(exc)) from None
    if record is not None:
        rows = list(store_mod.iter_records(conn, record_id=record))
        if not rows:
            raise UsageProblem(f"no record {record} in the store")
        return rows
    names = [None]
    if function is not None:
        names = store_mod.matching_functions(conn, function, run_id)
        if not names:
            raise UsageProblem(f"no recorded function matches {function!r}")
        if len(names) > 1 and function not in names:
            raise UsageProblem(f"{function!r} matches several functions: {', '.join(names[:10])}"
                               + (" ..." if len(names) > 10 else ""))
        names = [function] if function in names else names
    elif limit is not None:
        names = [f["function"] for f in store_mod.function_summary(conn, run_id)]
    rows = []
    for name in names:
        rows.extend(store_mod.iter_records(conn, run_id, function=name, limit=limit,
                                           newest_first=limit is not None))
    rows.sort(key=lambda r: r["id"])
    return rows


def recorded_projects(conn):
    return {r["id"]: r["project"] for r in store_mod.list_runs(conn)}


def _preload(row, project, recorded_project):
    """Imports the record's module once here, so that each child starts with it loaded."""
    module = row["module"]
    if not module or module == "__main__" or module in sys.modules:
        return
    try:
        replay.make_importable(module, row["file"], project, recorded_project)
        found = importlib.util.find_spec(module)
        if found is None or not (found.origin or "").startswith(project + os.sep):
            return
        importlib.import_module(module)
    except BaseException:  # noqa: BLE001 - the child reports it for its record
        pass


def _outside_project(row, project):
    """Why the record's function is not the project's (another project's store), or None."""
    module = row["module"]
    if not module or module == "__main__":
        return None
    loaded = sys.modules.get(module)
    origin = getattr(loaded, "__file__", None) if loaded else None
    if origin is None:
        try:
            spec = importlib.util.find_spec(module)
        except BaseException:  # noqa: BLE001
            return None
        origin = spec.origin if spec is not None else None
    if origin and not os.path.abspath(origin).startswith(project + os.sep):
        return f"module {module} is not part of the project {project} (it is {origin})"
    return None


def replay_in_child(row, project, recorded_project, timeout):
    """Replays one record in a forked child; the child's death or hang costs only this record."""
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child
        try:
            os.close(rfd)
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            res = replay.replay_record(row["data"], row["id"], project, recorded_project,
                                       function=row["full_name"])
            payload = json.dumps(res.to_dict())
        except BaseException as exc:  # noqa: BLE001
            payload = json.dumps(replay.Result(
                row["id"], row["full_name"], replay.NOT_REPLAYABLE,
                [f"replay failed: {type(exc).__name__}: {replay.short(exc)}"]).to_dict())
        try:
            data = payload.encode()
            while data:
                data = data[os.write(wfd, data):]
        finally:
            os._exit(0)
    os.close(wfd)
    chunks = []
    deadline = time.monotonic() + timeout if timeout and timeout > 0 else None
    timed_out = False
    try:
        while True:
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([rfd], [], [], wait)
            if not ready:
                timed_out = True
                break
            chunk = os.read(rfd, 65536)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(rfd)
    if timed_out:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    _, status = os.waitpid(pid, 0)
    if timed_out:
        return replay.Result(row["id"], row["full_name"], replay.DIFFERS,
                             [f"did not return within {timeout:g} s (stopped)"])
    try:
        return replay.Result.from_dict(json.loads(b"".join(chunks)))
    except ValueError:
        if os.WIFSIGNALED(status):
            how = f"was killed by signal {os.WTERMSIG(status)}"
        else:
            how = f"exited with status {os.waitstatus_to_exitcode(status)}"
        return replay.Result(row["id"], row["full_name"], replay.DIFFERS,
                             [f"the replayed call ended the process: it {how}"])


def replay_rows(rows, project, projects, in_process=False, timeout=DEFAULT_TIMEOUT):
    """Yields a Result per row."""
    project = os.path.abspath(project)
    if project not in sys.path:
        sys.path.insert(0, project)
    replay.prepare(project)
    for row in rows:
        recorded_project = projects.get(row["run_id"])
        _preload(row, project, recorded_project)
        reason = _outside_project(row, project)
        if reason:
            yield replay.Result(row["id"], row["full_name"], replay.NOT_REPLAYABLE, [reason])
        elif in_process:
            yield replay.replay_record(row["data"], row["id"], project, recorded_project, timeout,
                                      row["full_name"])
        else:
            yield replay_in_child(row, project, recorded_project, timeout)


def summary_line(counts):
    n = sum(counts.values())
    return (f"replayed {n}: {counts[replay.REPRODUCED]} reproduced, {counts[replay.DIFFERS]} differ, "
            f"{counts[replay.NOT_REPLAYABLE]} not replayable")


def run(conn, args, out=sys.stdout):
    """The command itself; returns the exit status."""
    rows = select_records(conn, args.run, args.function, args.record, args.limit)
    counts = {replay.REPRODUCED: 0, replay.DIFFERS: 0, replay.NOT_REPLAYABLE: 0}
    for res in replay_rows(rows, args.project, recorded_projects(conn), args.in_process,
                           args.timeout):
        counts[res.status] += 1
        out.write((json.dumps(res.to_dict()) if args.json else res.line()) + "\n")
        out.flush()
    if not args.json:
        out.write(summary_line(counts) + "\n")
    return 1 if counts[replay.DIFFERS] else 0
