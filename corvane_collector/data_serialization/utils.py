"""Naming helpers shared by the safe pickler and the recorder."""

import os
import sys

MAIN_STR = "__main__"

_MAIN_PREFIX = MAIN_STR + "."
_SOURCE_SUFFIXES = (".py", ".pyw", ".pyc")


def _module_name_from_path(file_path):
    """Dotted module name for a file path relative to the project root.

    Returns None when no module name can be derived (no path, a pseudo file
    name such as "<stdin>", or a path that does not name a file).
    """
    if not file_path or not isinstance(file_path, str):
        return None
    if file_path.startswith("<") or file_path == "unknown_path":
        return None
    if os.path.isabs(file_path):
        # Callers normally pass a path already made relative to the project
        # root; accept an absolute one too.
        from corvane_collector.configs.run_settings import CollectorSettings
        root = CollectorSettings.project_path
        try:
            file_path = os.path.relpath(file_path, root) if root else file_path
        except ValueError:
            pass
    path = os.path.normpath(file_path)
    parts = [p for p in path.replace(os.sep, "/").split("/") if p and p != "."]
    if not parts:
        return None
    if ".." in parts or os.path.isabs(path):
        # Outside the project root: the script's own directory is the first
        # entry of sys.path when it runs, so it is importable by its stem.
        # A package's __init__ keeps its directory name.
        keep = 2 if parts[-1].startswith("__init__.") else 1
        parts = [p for p in parts[-keep:] if p != ".."]
    last = parts[-1]
    for suffix in _SOURCE_SUFFIXES:
        if last.endswith(suffix):
            last = last[:-len(suffix)]
            break
    parts[-1] = last
    if parts[-1] == "__init__":
        parts.pop()
    if not parts or not all(parts):
        return None
    return ".".join(parts)


def _main_spec_name(file_path):
    """The module name the main script was run under (``python -m pkg.app``).

    Only used when the running main module's file is the one named; the
    import system knows the real name better than any path arithmetic.
    """
    main = sys.modules.get(MAIN_STR)
    spec = getattr(main, "__spec__", None)
    name = getattr(spec, "name", None)
    origin = getattr(spec, "origin", None)
    if not isinstance(name, str) or not name or name == MAIN_STR or not isinstance(origin, str):
        return None
    if not os.path.isabs(file_path):
        from corvane_collector.configs.run_settings import CollectorSettings
        root = CollectorSettings.project_path
        if not isinstance(root, str):
            return None
        file_path = os.path.join(root, file_path)
    if os.path.normpath(file_path) != os.path.normpath(origin):
        return None
    return name


def replace__main__with_real_name(func_name, file_path):
    """The full name a function of the main script has when its file is imported.

    ``func_name`` is a dotted name starting with "__main__" (for example
    "__main__.Cls.meth"); ``file_path`` is the script's path relative to the
    project root (for example "pkg/app.py"), giving "pkg.app.Cls.meth".  Names
    not in the main module, and paths that name no module, are returned
    unchanged.
    """
    if not isinstance(func_name, str):
        return func_name
    if func_name == MAIN_STR:
        rest = ""
    elif func_name.startswith(_MAIN_PREFIX):
        rest = func_name[len(MAIN_STR):]
    else:
        return func_name
    module_name = None
    if isinstance(file_path, str) and file_path and not file_path.startswith("<"):
        try:
            module_name = _main_spec_name(file_path)
        except Exception:
            module_name = None
    if module_name is None:
        module_name = _module_name_from_path(file_path)
    if module_name is None:
        return func_name
    return module_name + rest
