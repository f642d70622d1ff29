import pytest

from corvane_collector.configs.run_settings import CollectorSettings

_ABSENT = object()


@pytest.fixture
def set_setting():
    """Assigns CollectorSettings attributes for one test and restores them.

    Works on the class namespace directly, so replacing the serializer does not
    first build the default one.
    """
    saved = {}

    def assign(name, value):
        saved.setdefault(name, CollectorSettings.__dict__.get(name, _ABSENT))
        setattr(CollectorSettings, name, value)

    def remove(name):
        saved.setdefault(name, CollectorSettings.__dict__.get(name, _ABSENT))
        if name in CollectorSettings.__dict__:
            delattr(CollectorSettings, name)

    assign.remove = remove
    yield assign
    for name, value in saved.items():
        if value is _ABSENT:
            if name in CollectorSettings.__dict__:
                delattr(CollectorSettings, name)
        else:
            setattr(CollectorSettings, name, value)
