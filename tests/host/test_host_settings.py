import subprocess
import sys
import textwrap

import pytest

from corvane_collector.configs import run_settings
from corvane_collector.configs.run_settings import CollectorSettings, NullChannel


def run_fresh(code):
    """Run code in a fresh interpreter and return its stdout lines."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


def codec_available():
    try:
        import corvane_collector.data_serialization.channel_codec  # noqa: F401
    except ImportError:
        return False
    return True


def test_settings_import_first_in_fresh_interpreter_does_not_load_codec():
    out = run_fresh("""
        import sys
        from corvane_collector.configs.run_settings import CollectorSettings as S
        print(S.external_calls_max, type(S.project_files).__name__, len(S.project_files))
        print('corvane_collector.data_serialization.channel_codec' in sys.modules)
        print('corvane_collector.data_serialization.pickler' in sys.modules)
    """)
    assert out == ["1000", "set", "0", "False", "False"]


def test_serializer_is_created_once_on_first_read_and_can_be_replaced():
    out = run_fresh("""
        from corvane_collector.configs import run_settings
        made = []
        def factory():
            made.append(object())
            return made[-1]
        run_settings._default_serializer = factory
        S = run_settings.CollectorSettings
        first, second = S.serializer, S.serializer
        print(first is second, len(made), first is made[0])
        S.serializer = 'mine'
        print(S.serializer, len(made))
        del S.serializer
        print(S.serializer is made[-1], len(made))
    """)
    assert out == ["True", "1", "True", "mine", "1", "True", "2"]


@pytest.mark.skipif(not codec_available(), reason="safe pickler not built yet")
def test_default_serializer_is_ipc_pickle_serializer_in_any_import_order():
    for first in ("corvane_collector.data_serialization.pickler",
                  "corvane_collector.data_serialization.channel_codec",
                  "corvane_collector.data_collection.metadata_probe"):
        out = run_fresh(f"""
            import {first}
            from corvane_collector.configs.run_settings import CollectorSettings as S
            from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
            s = S.serializer
            print(type(s) is IpcPickleSerializer, S.serializer is s)
            print(S.serializer.deserialize(S.serializer.serialize([1, 'a'])) == [1, 'a'])
        """)
        assert out == ["True", "True", "True"], first


def test_default_channels_are_noops_that_count_dropped_messages():
    channel = NullChannel("t")
    assert channel.send_message(b"abc") is None
    channel.send_message(b"")
    assert channel.dropped == 2
    for name in ("data_subprocess", "metrics_subprocess"):
        default = getattr(CollectorSettings, name)
        assert callable(default.send_message)


def test_identity_defaults_are_picklable_values():
    import pickle
    values = (CollectorSettings.tenant_id, CollectorSettings.project_id,
              CollectorSettings.python_version, CollectorSettings.lib_version)
    assert pickle.loads(pickle.dumps(values)) == values
    assert CollectorSettings.python_version == ".".join(map(str, sys.version_info[:3]))


@pytest.fixture
def restore_settings():
    names = ("tenant_id", "project_files", "external_calls_max", "metrics_subprocess")
    saved = {n: CollectorSettings.__dict__[n] for n in names}
    yield
    for n, v in saved.items():
        setattr(CollectorSettings, n, v)


def test_configure_sets_known_values_and_rejects_mistakes(restore_settings):
    channel = NullChannel()
    CollectorSettings.configure(tenant_id="t1", project_files=frozenset({"/p/a.py"}),
                                external_calls_max=5, metrics_subprocess=channel)
    assert CollectorSettings.tenant_id == "t1"
    assert "/p/a.py" in CollectorSettings.project_files
    assert CollectorSettings.external_calls_max == 5
    assert CollectorSettings.metrics_subprocess is channel

    with pytest.raises(AttributeError, match="tenantid"):
        CollectorSettings.configure(tenantid="x")
    with pytest.raises(TypeError):
        CollectorSettings.configure(project_files=["/p/a.py"])
    with pytest.raises(TypeError):
        CollectorSettings.configure(external_calls_max="10")
    with pytest.raises(TypeError):
        CollectorSettings.configure(metrics_subprocess=object())
    # A rejected call changes nothing, not even its valid parts.
    with pytest.raises(TypeError):
        CollectorSettings.configure(tenant_id="t2", external_calls_max=-1)
    assert CollectorSettings.tenant_id == "t1"


def test_project_path_default_is_a_directory():
    import os
    assert os.path.isdir(CollectorSettings.project_path)
    assert run_settings._initial_project_path() == os.getcwd()
