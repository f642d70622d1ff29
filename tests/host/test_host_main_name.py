import os

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_serialization.utils import MAIN_STR, replace__main__with_real_name


@pytest.mark.parametrize("func_name,path,expected", [
    ("__main__.Cls.meth", "pkg/app.py", "pkg.app.Cls.meth"),
    ("__main__.f", "app.py", "app.f"),
    ("__main__.f", "./pkg/sub/app.py", "pkg.sub.app.f"),
    ("__main__.f", "pkg/__init__.py", "pkg.f"),
    ("__main__.f", "pkg/__main__.py", "pkg.__main__.f"),
    ("__main__", "pkg/app.py", "pkg.app"),
    ("__main__.f", "../outside/tool.py", "tool.f"),
    ("__main__.f", "../outside/pkg/__init__.py", "pkg.f"),
    ("__main__.f", "scripts/run.pyw", "scripts.run.f"),
    # Nothing to derive a module from: the name stays as it is.
    ("__main__.f", None, "__main__.f"),
    ("__main__.f", "", "__main__.f"),
    ("__main__.f", "<stdin>", "__main__.f"),
    ("__main__.f", "unknown_path", "__main__.f"),
    ("__main__.f", "__init__.py", "__main__.f"),
    # Not in the main module.
    ("pkg.mod.f", "pkg/app.py", "pkg.mod.f"),
    ("__main__x.f", "pkg/app.py", "__main__x.f"),
    (None, "pkg/app.py", None),
])
def test_main_names(func_name, path, expected):
    assert replace__main__with_real_name(func_name, path) == expected


def test_absolute_paths_are_taken_relative_to_the_project_root(monkeypatch):
    monkeypatch.setattr(CollectorSettings, "project_path", "/p")
    assert replace__main__with_real_name("__main__.Cls.meth", "/p/pkg/app.py") == "pkg.app.Cls.meth"
    assert replace__main__with_real_name("__main__.f", "/elsewhere/tool.py") == "tool.f"


def test_matches_the_pickler_call_shape():
    # The pickler passes os.path.relpath(full_path, project_path).
    rel = os.path.relpath("/proj/a/b/c.py", "/proj")
    assert replace__main__with_real_name(MAIN_STR + ".g", rel) == "a.b.c.g"


def test_module_run_with_dash_m_keeps_its_import_name(tmp_path):
    import subprocess
    import sys
    pkg = tmp_path / "src" / "pkg"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    (pkg / "app.py").write_text(
        "import os\n"
        "from corvane_collector.configs.run_settings import CollectorSettings\n"
        "from corvane_collector.data_serialization.utils import replace__main__with_real_name\n"
        f"CollectorSettings.project_path = {str(tmp_path)!r}\n"
        "rel = os.path.relpath(os.path.abspath(__file__), CollectorSettings.project_path)\n"
        "print(replace__main__with_real_name('__main__.f', rel))\n")
    as_module = subprocess.run([sys.executable, "-m", "pkg.app"], cwd=tmp_path / "src",
                               capture_output=True, text=True, timeout=60)
    assert as_module.returncode == 0, as_module.stderr
    assert as_module.stdout.strip() == "pkg.app.f"
    as_script = subprocess.run([sys.executable, "src/pkg/app.py"], cwd=tmp_path,
                               capture_output=True, text=True, timeout=60)
    assert as_script.returncode == 0, as_script.stderr
    assert as_script.stdout.strip() == "src.pkg.app.f"
