"""Loads the interceptor from a given directory (a snapshot or an older build).

In the project's venv the editable install's finder answers before sys.path,
so putting the directory first would still give the live build: the file is
loaded by name instead.
"""
import glob
import importlib.machinery
import importlib.util
import os
import sys


def load_interceptor(so_dir):
    """Imports interceptor*.so from SO_DIR as the module `interceptor`."""
    paths = sorted(glob.glob(os.path.join(so_dir, "interceptor*.so")))
    if not paths:
        raise SystemExit(f"CORVANE_INTERCEPTOR_DIR: no interceptor*.so in {so_dir}")
    loader = importlib.machinery.ExtensionFileLoader("interceptor", paths[0])
    spec = importlib.util.spec_from_file_location("interceptor", paths[0], loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules["interceptor"] = module
    spec.loader.exec_module(module)
    return module
