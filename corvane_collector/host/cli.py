"""The command line: ``python3.10 -m corvane_collector COMMAND ...``.

  run [options] script.py args... | -m module args...
  runs   list   show   stats   export --format jsonl   replay   gen-tests

``run`` executes the program in this process, like ``python3.10 script.py``
would, with the collector started around it, and exits with the program's own
exit code. The other commands read the record store; they never import the
recorded program's modules unless ``show``/``export`` get ``--import``;
``replay`` and ``gen-tests`` do, by design.
"""

import argparse
import datetime
import json
import os
import sqlite3
import sys
import threading
import traceback
import types

from corvane_collector.host import decode, store as store_mod

PROG = "python3.10 -m corvane_collector"
EXIT_USAGE = 2
ENV_STORE = "CORVANE_STORE"


class UsageError(Exception):
    pass


def _err(message):
    sys.stderr.write(f"corvane collector: {message}\n")


def _default_store():
    return os.environ.get(ENV_STORE) or "corvane-records.db"


# -- run ----------------------------------------------------------------------

RUN_USAGE = f"""usage: {PROG} run [--project DIR] [--rate R] [--store STORE]
                 [--external-calls-max N] [--on-full wait|drop] [--keep-per-function N]
                 [--max-store-size SIZE] [--quiet] script.py [args...]
       {PROG} run [options] -m module [args...]

Runs a Python program with the collector recording its project's calls.

options:
  --project DIR             project root: calls of functions in .py files below it are
                            recorded (default: the script's directory, or the current
                            directory with -m)
  --rate R                  share of candidate calls to record, 0.0 to 1.0 (default 1.0)
  --store STORE             record store: a file, or postgresql://user@host/db
                            (default: $CORVANE_STORE or ./corvane-records.db)
  --external-calls-max N    most external calls kept per recorded call (default 1000)
  --on-full wait|drop       when a handler falls behind and its queue is full: wait
                            slows the program down until there is room (at most 5 s
                            per record, then it is dropped and counted); drop never
                            blocks and counts what it drops (default wait)
  --keep-per-function N     keep the newest N calls of each function in this run
                            (default 1000; 0 keeps all)
  --max-store-size SIZE     stop storing calls once the store holds SIZE (500M, 2G ...)
  --quiet                   no summary on standard error at the end
"""

_RUN_VALUE_OPTIONS = {"--project", "--rate", "--store", "--external-calls-max", "--on-full",
                      "--keep-per-function", "--max-store-size"}


def _whole_number(text, flag):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise UsageError(f"{flag} must be a whole number >= 0, got {text!r}")
    return value


def parse_run_args(argv):
    """Splits ``run``'s own options from the program and its arguments.

    Options end at the script path, at ``-m MODULE`` or at ``--``; everything
    after belongs to the program, untouched.
    """
    opts = {"quiet": False}
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg in ("-h", "--help"):
            raise UsageError(None)
        if arg == "--":
            i += 1
            break
        if arg == "--quiet":
            opts["quiet"] = True
            i += 1
            continue
        if arg == "-m" or (arg.startswith("-m") and len(arg) > 2 and not arg.startswith("--")):
            module = arg[2:] if len(arg) > 2 else (argv[i + 1] if i + 1 < len(argv) else None)
            if not module:
                raise UsageError("-m needs a module name")
            rest = argv[i + 1:] if len(arg) > 2 else argv[i + 2:]
            return opts, ("module", module), rest
        name, eq, value = arg.partition("=")
        if name in _RUN_VALUE_OPTIONS:
            if not eq:
                if i + 1 >= len(argv):
                    raise UsageError(f"{name} needs a value")
                value = argv[i + 1]
                i += 1
            opts[name[2:].replace("-", "_")] = value
            i += 1
            continue
        if arg.startswith("-"):
            raise UsageError(f"unknown option {arg!r} for run")
        break
    if i >= len(argv):
        raise UsageError("nothing to run: give a script or -m module")
    return opts, ("script", argv[i]), argv[i + 1:]


def _convert_run_options(opts):
    out = {"quiet": opts["quiet"]}
    if "rate" in opts:
        try:
            out["rate"] = float(opts["rate"])
        except ValueError:
            raise UsageError(f"--rate must be a number from 0.0 to 1.0, got {opts['rate']!r}") from None
        if not 0.0 <= out["rate"] <= 1.0:
            raise UsageError(f"--rate must be from 0.0 to 1.0, got {opts['rate']!r}")
    for key in ("external_calls_max", "keep_per_function"):
        if key in opts:
            out[key] = _whole_number(opts[key], "--" + key.replace("_", "-"))
    if "on_full" in opts:
        if opts["on_full"] not in ("wait", "drop"):
            raise UsageError(f"--on-full must be wait or drop, got {opts['on_full']!r}")
        out["on_full"] = opts["on_full"]
    if "max_store_size" in opts:
        try:
            out["max_store_size"] = store_mod.parse_size(opts["max_store_size"])
        except ValueError as exc:
            raise UsageError(f"--max-store-size: {exc}") from None
    for key in ("project", "store"):
        if key in opts:
            out[key] = opts[key]
    return out


def _exit_code_of(exc):
    """The process exit code Python gives a SystemExit."""
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        sys.stderr.write(f"{code}\n")
    except Exception:  # noqa: BLE001
        pass
    return 1


def _print_user_traceback(exc):
    """Prints an uncaught exception as Python would, without our own frames on top."""
    ours = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tb = exc.__traceback__
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if not (filename.startswith(ours + os.sep) or filename.endswith(os.sep + "runpy.py")
                or filename.startswith("<frozen")):
            break
        tb = tb.tb_next
    exc.__traceback__ = tb  # the default hook prints the exception's own traceback
    try:
        sys.excepthook(type(exc), exc, tb)
    except Exception:  # noqa: BLE001
        traceback.print_exception(type(exc), exc, tb)


def _run_target(target, args):
    """Runs the program as ``python3.10 script.py`` / ``-m module`` would; returns its exit code."""
    import runpy

    kind, name = target
    if kind == "script":
        path = os.path.abspath(name)
        sys.argv = [name] + list(args)
        sys.path[0] = os.path.dirname(path)
        try:
            with open(path, "rb") as f:
                source = f.read()
        except OSError as exc:
            _err(f"can't open file {name!r}: [Errno {exc.errno}] {exc.strerror}")
            return EXIT_USAGE
        main = types.ModuleType("__main__")
        main.__file__ = path
        main.__builtins__ = __builtins__
        main.__cached__ = None
        sys.modules["__main__"] = main
        code = compile(source, path, "exec", dont_inherit=True)
        exec(code, main.__dict__)
    else:
        sys.argv = [name] + list(args)  # runpy puts the module's file in argv[0]
        sys.path[0] = os.getcwd()
        # runpy runs the module in the current __main__'s namespace: give it a fresh one.
        sys.modules["__main__"] = types.ModuleType("__main__")
        runpy._run_module_as_main(name, alter_argv=True)
    return 0


def _join_user_threads():
    """What the interpreter does at exit before anything else: wait for non-daemon threads."""
    me = threading.current_thread()
    for t in threading.enumerate():
        if t is not me and not t.daemon and t.is_alive():
            t.join()


def cmd_run(argv):
    from corvane_collector import starter

    try:
        opts, target, args = parse_run_args(argv)
        opts = _convert_run_options(opts)
    except UsageError as exc:
        if exc.args[0] is None:
            sys.stdout.write(RUN_USAGE)
            return 0
        _err(str(exc))
        sys.stderr.write(RUN_USAGE)
        return EXIT_USAGE
    kind, name = target
    if kind == "script" and not os.path.isfile(name):
        _err(f"can't open file {name!r}: no such file")
        return EXIT_USAGE
    project = opts.get("project") or (os.path.dirname(os.path.abspath(name))
                                      if kind == "script" else os.getcwd())
    store_path = opts.get("store") or _default_store()
    argv0 = [name] if kind == "script" else ["-m", name]
    from corvane_collector.host import process_tree
    process_tree.leave_inherited_run()
    try:
        session = starter.start(project, opts.get("rate", starter.DEFAULT_COLLECTING_RATE),
                                store_path,
                                opts.get("external_calls_max", starter.DEFAULT_EXTERNAL_CALLS_MAX),
                                argv=argv0 + list(args), on_full=opts.get("on_full", "wait"),
                                keep_per_function=opts.get("keep_per_function",
                                                           starter.DEFAULT_KEEP_PER_FUNCTION),
                                max_store_size=opts.get("max_store_size"), subprocesses=True)
    except starter.StartError as exc:
        _err(str(exc))
        return EXIT_USAGE
    if not opts["quiet"] and session.recording != "on":
        _err(f"recording is {session.recording}; the program runs unrecorded")

    code = 0
    try:
        code = _run_target(target, args)
    except SystemExit as exc:
        code = _exit_code_of(exc)
    except KeyboardInterrupt as exc:
        _print_user_traceback(exc)
        code = 130
    except BaseException as exc:  # noqa: BLE001 - the program's own uncaught exception
        _print_user_traceback(exc)
        code = 1
    try:
        _join_user_threads()
    except KeyboardInterrupt:
        code = 130
    starter.set_exit_code(code)
    summary = starter.stop()
    if not opts["quiet"]:
        _print_run_summary(summary, store_path)
    return code


def _print_run_summary(summary, store_path):
    for problem in summary.get("problems", ()):
        _err(problem)
    if summary.get("store_error"):
        _err(f"could not read back the store: {summary['store_error']}")
    if summary["records"] is None:
        _err(f"run {summary['run_id']}: the handlers are still writing to {store_path}")
        return
    if summary["recording"] != "on":
        _err(f"run {summary['run_id']}: nothing was recorded (recording {summary['recording']})")
        return
    dropped = f", {summary['dropped']} dropped" if summary["dropped"] else ""
    if summary.get("not_kept"):
        dropped += f", {summary['not_kept']} not kept (see stats)"
    processes = summary.get("processes") or 1
    processes = f" in {processes} processes" if processes > 1 else ""
    _err(f"run {summary['run_id']}: recorded {summary['records']} calls of "
         f"{summary['functions']} functions{processes} into "
         f"{store_mod.display_location(store_path)}{dropped}")
    if summary["records"]:
        store_arg = "" if store_path == _default_store() else f" --store {store_path}"
        _err(f"see them with: {PROG} list{store_arg}")


# -- reading commands ---------------------------------------------------------

def _open(args):
    return store_mod.open_store(args.store, readonly=True)


def _when(t):
    if t is None:
        return "-"
    return datetime.datetime.fromtimestamp(t).strftime("%Y-%m-%d %H:%M:%S")


def _size(n):
    if n is None:
        return "-"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def _table(headers, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]
    lines = ["  ".join(str(h).ljust(w) for h, w in zip(headers, widths)).rstrip()]
    for r in rows:
        lines.append("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    return "\n".join(lines) + "\n"


def _clip(text, width):
    return text if len(text) <= width else text[:width - 3] + "..."


def cmd_runs(args):
    conn = _open(args)
    runs = store_mod.list_runs(conn)
    if args.json:
        json.dump(runs, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    rows = [(r["id"], _when(r["started"]), r["records"], r["processes"],
             "-" if r["exit_code"] is None else r["exit_code"], _clip(r["recording"] or "-", 40),
             " ".join(r["argv"])) for r in runs]
    sys.stdout.write(_table(("run", "started", "records", "processes", "exit", "recording",
                             "command"), rows))
    return 0


def cmd_list(args):
    conn = _open(args)
    run_id = store_mod.resolve_run(conn, args.run)
    funcs = store_mod.function_summary(conn, run_id, test=args.test)
    if args.json:
        json.dump(funcs, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    if not funcs:
        sys.stdout.write("no calls recorded\n")
        return 0
    # A "stored" column only when retention or a size limit left some calls out.
    stored = any(f["stored"] != f["calls"] for f in funcs)
    rows = [(f["calls"], *((f["stored"],) if stored else ()), f["raised"],
             _size(f["total_size"] / f["calls"]), f["function"] or "<unreadable record>",
             _short_path(f["file"])) for f in funcs]
    headers = ("calls", *(("stored",) if stored else ()), "raised", "avg size", "function", "file")
    sys.stdout.write(_table(headers, rows))
    return 0


def _short_path(path):
    if not path:
        return "-"
    try:
        rel = os.path.relpath(path)
    except ValueError:
        return path
    return path if rel.startswith(os.pardir) else rel


def _select_records(conn, args, run_id):
    if args.target is not None and args.target.isdigit():
        recs = list(store_mod.iter_records(conn, record_id=int(args.target)))
        if not recs:
            raise store_mod.StoreError(f"no record {args.target} in the store")
        return recs
    names = [None]
    if args.target is not None:
        names = store_mod.matching_functions(conn, args.target, run_id, test=args.test)
        if not names:
            raise store_mod.StoreError(f"no recorded function matches {args.target!r}")
        if len(names) > 1 and args.target not in names:
            raise store_mod.StoreError(
                f"{args.target!r} matches several functions: {', '.join(names[:10])}"
                + (" ..." if len(names) > 10 else ""))
    recs = []
    for name in names:
        recs.extend(store_mod.iter_records(conn, run_id, function=name, limit=args.limit,
                                           newest_first=True, test=args.test))
    recs.sort(key=lambda r: r["id"])
    return recs


def _trusted_loading(conn, rec):
    """Lets ``--import`` find the recorded project's modules."""
    project = store_mod.run_project(conn, rec["run_id"])
    if project and project not in sys.path:
        sys.path.insert(0, project)


def call_to_dict(rec, view):
    return {
        "id": rec["id"], "run": rec["run_id"], "function": rec["full_name"] or view.full_name,
        "module": rec["module"], "file": rec["file"], "pid": rec["pid"], "thread": rec["thread"],
        "time": rec["time"], "raised": bool(rec["raised"]), "size": rec["size"],
        "test": rec.get("test"),
        "args_before": decode.to_json(view.args_before),
        "kwargs_before": decode.to_json(view.kwargs_before),
        "args_after": decode.to_json(view.args_after),
        "kwargs_after": decode.to_json(view.kwargs_after),
        "return_value": decode.to_json(view.return_value),
        "exception": decode.to_json(view.exception) if view.raised else None,
        "globals": decode.to_json(view.globals),
        "external_calls": [{"function": c["function"], "module": c["module"],
                            "result": decode.to_json(c["result"]), "raised": c["raised"]}
                           for c in view.external_calls],
        "unknown_modules": view.unknown_modules,
        "decode_error": view.error,
    }


def _print_call(rec, view, width):
    r = lambda v: decode.render(v, width=width)  # noqa: E731
    out = sys.stdout
    name = rec["full_name"] or view.full_name or "<unreadable record>"
    out.write(f"#{rec['id']}  {name}  (run {rec['run_id']}, pid {rec['pid']}, "
              f"thread {rec['thread']}, {_when(rec['time'])}, {_size(rec['size'])})\n")
    if rec["file"]:
        out.write(f"  file:        {_short_path(rec['file'])}\n")
    if rec.get("test"):
        out.write(f"  test:        {rec['test']}\n")
    if view.error:
        out.write(f"  unreadable:  {view.error}\n")
        return
    out.write(f"  args:        {r(view.args_before)}\n")
    if view.kwargs_before:
        out.write(f"  kwargs:      {r(view.kwargs_before)}\n")
    if decode.render(view.args_after, 0) != decode.render(view.args_before, 0):
        out.write(f"  args after:  {r(view.args_after)}\n")
    if decode.render(view.kwargs_after, 0) != decode.render(view.kwargs_before, 0):
        out.write(f"  kwargs after: {r(view.kwargs_after)}\n")
    if view.raised:
        out.write(f"  raised:      {r(view.exception)}\n")
    else:
        out.write(f"  returned:    {r(view.return_value)}\n")
    if view.external_calls:
        out.write(f"  external calls ({len(view.external_calls)}):\n")
        for c in view.external_calls:
            outcome = f"raised {r(c['exception'])}" if c["raised"] else f"-> {r(c['result'])}"
            out.write(f"    {c['function'] or '?'} {outcome}\n")
    if view.globals:
        out.write(f"  globals used: {r(view.globals)}\n")
    out.write("\n")


def cmd_show(args):
    conn = _open(args)
    run_id = store_mod.resolve_run(conn, args.run)
    recs = _select_records(conn, args, run_id)
    if not recs:
        sys.stdout.write("no calls recorded\n")
        return 0
    for rec in recs:
        if args.trusted:
            _trusted_loading(conn, rec)
        view = decode.CallView(rec["data"], trusted=args.trusted)
        if args.json:
            sys.stdout.write(json.dumps(call_to_dict(rec, view)) + "\n")
        else:
            _print_call(rec, view, 0 if args.full else 200)
    return 0


def cmd_export(args):
    conn = _open(args)
    run_id = store_mod.resolve_run(conn, args.run)
    if args.output:
        # The export holds what the store holds (argument values...): owner only.
        try:
            fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        except OSError as exc:
            raise store_mod.StoreError(f"cannot write {args.output}: {exc.strerror}") from None
        out = os.fdopen(fd, "w", encoding="utf-8")
    else:
        out = sys.stdout
    progress = bool(args.output) and sys.stderr.isatty()
    total = store_mod.record_count(conn, run_id) if progress else 0
    count = 0
    try:
        for rec in store_mod.iter_records(conn, run_id, function=args.function, test=args.test):
            if args.trusted:
                _trusted_loading(conn, rec)
            view = decode.CallView(rec["data"], trusted=args.trusted)
            out.write(json.dumps(call_to_dict(rec, view)) + "\n")
            count += 1
            if progress and count % 2000 == 0:
                sys.stderr.write(f"\rexported {count} of at most {total} calls")
                sys.stderr.flush()
        if progress and count >= 2000:
            sys.stderr.write("\n")
    finally:
        if out is not sys.stdout:
            out.close()
    if args.output:
        _err(f"exported {count} calls to {args.output}")
    return 0


def stats_dict(conn, run_id):
    metrics = store_mod.metric_counts(conn, run_id)
    drops = store_mod.drop_counts(conn, run_id)
    totals = {}
    for m in metrics:
        totals[m["kind"]] = totals.get(m["kind"], 0) + m["count"]
    by = lambda kind: [m for m in metrics if m["kind"] == kind]  # noqa: E731
    return {
        "run": run_id if run_id is not None else "all",
        "records_stored": store_mod.record_count(conn, run_id),
        "tries": totals.get("CollectionTry", 0),
        "successes": totals.get("CollectionSuccess", 0),
        "failures": [dict(reason=m["reason"], count=m["count"]) for m in by("CollectorFailure")],
        "unpicklable": [dict(type=m["detail"], reason=m["reason"], count=m["count"])
                        for m in by("Unpicklable")],
        "limits": [dict(function=m["detail"], reason=m["reason"], count=m["count"])
                   for m in by("LimitFailure")],
        "external_functions": sum(m["count"] for m in by("ExternalFunction")),
        "other": [m for m in metrics if m["kind"] not in (
            "CollectionTry", "CollectionSuccess", "CollectorFailure", "Unpicklable",
            "LimitFailure", "ExternalFunction", store_mod.NOT_KEPT)],
        "not_kept": [dict(function=m["detail"], reason=m["reason"], count=m["count"])
                     for m in by(store_mod.NOT_KEPT)],
        "drops": drops,
        "dropped": sum(d["count"] for d in drops),
        "processes": _processes(conn, run_id),
    }


def _processes(conn, run_id):
    runs = [run_id] if run_id is not None else [r["id"] for r in store_mod.list_runs(conn)]
    return [dict(run=r, **p) for r in runs for p in store_mod.list_processes(conn, r)]


def cmd_stats(args):
    conn = _open(args)
    run_id = store_mod.resolve_run(conn, args.run)
    s = stats_dict(conn, run_id)
    if args.json:
        json.dump(s, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    out = sys.stdout
    out.write(f"run:               {s['run']}\n")
    out.write(f"records stored:    {s['records_stored']}\n")
    out.write(f"tries:             {s['tries']}\n")
    out.write(f"successes:         {s['successes']}\n")
    failed = sum(f["count"] for f in s["failures"])
    out.write(f"failures:          {failed}\n")
    for f in s["failures"]:
        out.write(f"  {f['count']:>8}  {f['reason']}\n")
    unp = sum(u["count"] for u in s["unpicklable"])
    out.write(f"unpicklable:       {unp}\n")
    for u in s["unpicklable"]:
        out.write(f"  {u['count']:>8}  {u['reason']}  {u['type'] or '-'}\n")
    lim = sum(m["count"] for m in s["limits"])
    out.write(f"limits hit:        {lim}\n")
    for m in s["limits"]:
        out.write(f"  {m['count']:>8}  {m['function'] or '-'}: {m['reason']}\n")
    out.write(f"external function metadata reports: {s['external_functions']}\n")
    for m in s["other"]:
        out.write(f"other: {m['kind']} {m['reason']} {m['detail']}: {m['count']}\n")
    not_kept = {}
    for m in s["not_kept"]:
        not_kept[m["reason"]] = not_kept.get(m["reason"], 0) + m["count"]
    out.write(f"calls not kept:    {sum(not_kept.values())}\n")
    for reason, count in sorted(not_kept.items()):
        out.write(f"  {count:>8}  {reason}\n")
    out.write(f"dropped messages:  {s['dropped']}\n")
    for d in s["drops"]:
        out.write(f"  {d['count']:>8}  {d['channel']} channel: {d['reason']}\n")
    out.write(f"processes:         {len(s['processes'])}\n")
    for p in s["processes"]:
        if p["how"] is None:  # a store written before processes were entered
            end = "-"
        elif p["ended"] is None:
            end = "did not stop (killed, or still running)"
        else:
            end = f"exit {'-' if p['exit_code'] is None else p['exit_code']}"
        parent = f" from {p['parent_pid']}" if p["parent_pid"] else ""
        out.write(f"  run {p['run']} pid {p['pid']}: {p['how'] or '-'}{parent}, "
                  f"{p['records']} records, {end}\n")
    return 0


REPLAY_TRUST = ("replay imports the project's modules, rebuilds the recorded objects and runs "
                "the recorded functions: use it only on record stores you trust (a tampered "
                "store can run any code).")


def cmd_replay(args):
    from corvane_collector.host import replay_runner

    if args.timeout is not None and args.timeout <= 0:
        _err("--timeout must be a number of seconds above 0")
        return EXIT_USAGE
    if args.limit is not None and args.limit < 1:
        _err("--limit must be a whole number >= 1")
        return EXIT_USAGE
    if not os.path.isdir(args.project):
        _err(f"project directory {args.project} does not exist")
        return EXIT_USAGE
    try:
        conn = _open(args)
        return replay_runner.run(conn, args)
    except (store_mod.StoreError, replay_runner.UsageProblem) as exc:
        _err(str(exc))
        return EXIT_USAGE


def cmd_gen_tests(args):
    from corvane_collector.host import gen_tests

    if args.per_function < 1:
        _err("--per-function must be a whole number >= 1")
        return EXIT_USAGE
    try:
        conn = _open(args)
        written = gen_tests.generate(conn, args.output, run=args.run, function=args.function,
                                     per_function=args.per_function, store_path=args.store)
    except (store_mod.StoreError, gen_tests.GenerationProblem) as exc:
        _err(str(exc))
        return EXIT_USAGE
    for path, count in written:
        sys.stdout.write(f"{path}: {count} tests\n")
    if not written:
        sys.stdout.write("no recorded calls to write tests for\n")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Record a Python program's calls and look at what was recorded.",
        epilog=f"'{PROG} run --help' describes run.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.add_parser("run", help="run a program with recording on (see run --help)",
                   add_help=False)

    def reader(name, help_text, func, runs=True, json=True, trusted=False, tests=False):
        p = sub.add_parser(name, help=help_text)
        p.add_argument("--store", default=_default_store(),
                       help="record store, a file or a postgresql:// URL "
                            "(default: $CORVANE_STORE or ./corvane-records.db)")
        if runs:
            p.add_argument("--run", default="all", help="run number, 'last' or 'all' (default)")
        if json:
            p.add_argument("--json", action="store_true", help="JSON output")
        if trusted:
            p.add_argument("--import", dest="trusted", action="store_true",
                           help="rebuild real objects: imports the recorded project's modules")
        if tests:
            p.add_argument("--test", metavar="NODEID", default=None,
                           help="only the calls made while this test ran (its pytest node id)")
        p.set_defaults(func=func)
        return p

    reader("runs", "list the recorded runs", cmd_runs, runs=False)
    reader("list", "recorded functions with call counts, failures and sizes", cmd_list, tests=True)
    p = reader("show", "one function's (or one record's) calls, decoded", cmd_show,
               json=False, trusted=True, tests=True)
    p.add_argument("target", nargs="?",
                   help="function full name (or its last part), or a record number")
    p.add_argument("--limit", type=int, default=10,
                   help="newest calls shown per function (default 10)")
    p.add_argument("--full", action="store_true", help="do not shorten long values")
    p.add_argument("--json", action="store_true", help="one JSON object per call")
    reader("stats", "metrics: tries, successes, failures by reason, limits, drops", cmd_stats)
    p = reader("export", "every recorded call, machine-readable, one per line", cmd_export,
               json=False, trusted=True, tests=True)
    p.add_argument("--format", choices=("jsonl",), default="jsonl")
    p.add_argument("--function", help="only the calls of this function (full name)")
    p.add_argument("--output", "-o", help="write to this file instead of standard output")
    p = reader("replay", "call recorded functions again on their recorded inputs and compare",
               cmd_replay, json=False)
    p.description = (
        "Replays recorded calls against the project's current code: each recorded function is "
        "called on its recorded arguments, with its recorded globals in place and every external "
        "call the record holds answered from the record, and its outcome is compared with the "
        "record. Exit status: 0 when nothing differs, 1 when something differs, 2 for bad usage. "
        "WARNING: " + REPLAY_TRUST)
    p.add_argument("--function", help="only the records of this function (full name or its last part)")
    p.add_argument("--record", type=int, help="only this record number")
    p.add_argument("--project", default=".",
                   help="the project's directory, put first on sys.path (default: the current directory)")
    p.add_argument("--limit", type=int, help="at most K records per function (the newest)")
    p.add_argument("--json", action="store_true", help="one JSON object per record")
    p.add_argument("--in-process", action="store_true",
                   help="replay in this process instead of one child process per record")
    p.add_argument("--timeout", type=float, default=10.0,
                   help="seconds a replayed call may take (default 10)")
    p = reader("gen-tests", "write pytest files that replay recorded calls", cmd_gen_tests,
               json=False)
    p.description = ("Writes one pytest file per recorded function, with one test per chosen "
                     "record, and a data file with those records. The tests replay the calls with "
                     "their external calls mocked from the record. WARNING: the tests rebuild the "
                     "recorded objects and run the project's code: generate them only from "
                     "record stores you trust, and keep the data file as private as the store.")
    p.add_argument("--function", help="only this function (full name or its last part)")
    p.add_argument("--per-function", type=int, default=5,
                   help="most tests per function (default 5)")
    p.add_argument("-o", "--output", required=True, help="directory to write the tests into")
    return parser


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] == "run":
        return cmd_run(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "func", None):
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        return args.func(args)
    except store_mod.StoreError as exc:
        _err(str(exc))
        return 1
    except BrokenPipeError:
        # `... | head`: the reader went away; not an error of ours.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 0
    except Exception as exc:  # noqa: BLE001 - the database's own errors, not ours
        if not isinstance(exc, sqlite3.Error) and not type(exc).__module__.startswith("psycopg"):
            raise
        _err(f"cannot read the record store {store_mod.display_location(args.store)}: {exc}")
        return 1
