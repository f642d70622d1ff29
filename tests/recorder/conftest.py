"""Fixtures installing the recorder's test doubles for one test."""

import threading

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_trail import CallTrail

from recorder_doubles import Env, IDENTITY, METRIC_NAMES, Metric, fake_extract


_ABSENT = object()


@pytest.fixture
def env(monkeypatch):
    e = Env()
    for name, value in zip(("tenant_id", "project_id", "python_version", "lib_version"), IDENTITY):
        monkeypatch.setattr(CollectorSettings, name, value, raising=False)
    # Set in the class namespace directly: reading the attribute first (as
    # monkeypatch does) would build the default serializer.
    saved_serializer = CollectorSettings.__dict__.get("serializer", _ABSENT)
    CollectorSettings.serializer = e.serializer
    monkeypatch.setattr(CollectorSettings, "data_subprocess", e.data, raising=False)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", e.metrics_channel, raising=False)
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 1000, raising=False)
    monkeypatch.setattr(CollectorSettings, "project_files", frozenset(), raising=False)
    for name in METRIC_NAMES:
        monkeypatch.setattr(cr, name, Metric(name))
    for s in (cr.BLACKLISTED_FUNCTIONS, cr.CACHED_NONE_EXTERNAL_MODULES):
        s.clear()
    CallTrail.set_current_running_function(None)
    try:
        yield e
    finally:
        if saved_serializer is _ABSENT:
            type.__delattr__(CollectorSettings, "serializer")
        else:
            CollectorSettings.serializer = saved_serializer
    CallTrail.set_current_running_function(None)
    for s in (cr.BLACKLISTED_FUNCTIONS, cr.CACHED_NONE_EXTERNAL_MODULES):
        s.clear()


@pytest.fixture
def fake_probe(monkeypatch):
    monkeypatch.setattr(cr, "EXTRACT_METADATA", fake_extract)
    return fake_extract
