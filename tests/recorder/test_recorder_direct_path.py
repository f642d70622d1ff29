"""The recorder's direct path against its named path, with the real codec,
probe and metric classes: the same records and metric messages, the same
bytes from the record templates as from the hand writer, and every value or
state the direct path does not cover sent the named way."""

import enum
import gc
import pickle
import shlex
import time

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.call_trail import CallTrail
from corvane_collector.data_serialization import pickler
from corvane_collector.host.protocol import FRAME_MESSAGE, FrameReader

from recorder_doubles import current_tracker
from test_recorder_real_codec import real  # noqa: F401  (the fixture: real codec, probe, metrics)

SCALE = 3


def add(a, b=0):
    return a + b


def grow(items, extra):
    items.append(extra)
    return len(items)


def uses_global(x):
    return x * SCALE


def fails(x):
    raise ValueError(x)


class Box:
    def __init__(self, size, label="box"):
        self.size = size
        self.label = label

    def bigger(self, by):
        return self.size + by


class Flag(enum.IntEnum):
    ON = 1


class Liar(int):
    def __eq__(self, other):
        raise RuntimeError("no comparing")

    __hash__ = int.__hash__


def sent():
    """The data and metrics channels the fixture installed."""
    return CollectorSettings.data_subprocess, CollectorSettings.metrics_subprocess


def run_call(callee, args, kwargs=None, globals_used=()):
    rec = cr.record_user_function_call(callee, *args, **(kwargs or {}))
    for name in globals_used:
        if name == "shlex.quote":  # an external call made by the callee
            token = cr.record_external_call(shlex.quote, True)
            cr.record_external_return_value(shlex.quote("a b"), token)
            continue
        cr.load_global_hook(globals()[name], name)
    try:
        result, exc = callee(*args, **(kwargs or {})), None
    except Exception as e:
        result, exc = None, e
    if exc is None:
        cr.record_user_function_return_value(result, rec)
    else:
        cr.record_user_function_return_value(None, rec, exc)
    return rec


def decoded(data):
    """A record as plain values: its fields with the byte fields loaded."""
    record = pickle.loads(data)
    fields = dict(vars(record))
    meta = dict(vars(fields.pop("function_metadata")))
    meta["function_signature"] = pickle.loads(meta["function_signature"])
    def plain(v):
        # (objects of the test's classes compare by identity, or not at all)
        if type(v).__module__ in ("builtins", "enum"):
            return v
        return type(v).__name__, vars(v) if hasattr(v, "__dict__") else int(v)
    for key, value in fields.items():
        if type(value) is bytes:
            value = pickle.loads(value)
            fields[key] = [plain(v) for v in value] if isinstance(value, tuple) else plain(value)
    fields["execption"] = repr(fields["execption"])
    fields["external_calls"] = [
        (vars(e.function_metadata), {k: v for k, v in vars(e).items() if k != "function_metadata"})
        for e in fields["external_calls"]]
    return type(record).__name__, list(vars(record)), meta, fields


def metric_view(data):
    message = pickle.loads(data)
    fields = dict(vars(message))
    fields.pop("timestamp")
    return type(message).__name__, fields


def calls():
    # (made anew for each run: a call may change its arguments)
    return [
    (add, (1, 2), None, ()),
    (add, (1.5,), {"b": 2 ** 40}, ()),
    (add, ("text", "more"), None, ()),
    (add, ((1, (2, None)), (True,)), None, ()),
    (grow, ([1, 2], 3), None, ()),
    (uses_global, (4,), None, ("SCALE",)),
    (uses_global, (5,), None, ("shlex.quote", "SCALE", "shlex.quote")),
    (fails, ("bad",), None, ()),
    (Box, (5,), {"label": "crate"}, ()),
    (Box(2).bigger, (Liar(3),), None, ()),
    (add, (Flag.ON, 2 ** 70), None, ()),
    (add, (Touchy(), None), None, ()),
    ]


def record_all(real, named):
    data, metric_channel = sent()
    original = cr.get_exc_value
    if named:
        # (any of the recorder's names replaced sends every call the named way)
        cr.get_exc_value = lambda: original()
    try:
        for callee, args, kwargs, used in calls():
            run_call(callee, args, kwargs, used)
            assert current_tracker() is None
    finally:
        cr.get_exc_value = original
    records = [decoded(d) for d in data.messages]
    metrics = [metric_view(m) for m in metric_channel.messages]
    del data.messages[:], metric_channel.messages[:]
    return records, metrics


def test_direct_and_named_paths_record_the_same(real):
    direct_records, direct_metrics = record_all(real, named=False)
    assert cr._function_entry_count() > 0 and cr._external_entry_count() > 0
    named_records, named_metrics = record_all(real, named=True)
    assert len(direct_records) == len(calls())
    assert direct_records == named_records
    assert direct_metrics == named_metrics


def test_direct_instance_dicts_match_the_constructors_and_are_collected(real):
    """The record, tracker and external call the direct path makes have their
    fields in the constructors' order (the order their pickles list), and the
    garbage collector sees what they hold."""
    rec = cr.record_user_function_call(add, 1, 2)
    tracker = current_tracker()
    token = cr.record_external_call(shlex.quote, True)
    try:
        named = cr.get_function_call_object((add, 1, 2), {})
        assert list(vars(rec)) == list(vars(named))
        assert list(vars(tracker)) == list(vars(cr.CallTrailTracker("x")))
        assert list(vars(token)) == list(vars(cr.ExternalFunctionCall(token.function_metadata)))
        assert all(gc.is_tracked(vars(o)) for o in (rec, tracker, token))
    finally:
        cr.record_external_return_value("'a b'", token)
        cr.record_user_function_return_value(3, rec)
    assert current_tracker() is None


class OutboxChannel:
    """Sends as the run's channels do: send_message is the outbox's own."""

    def __init__(self, room=100):
        from corvane_collector.host.outbox import Outbox
        self.refused = []    # what a full outbox hands back to its channel
        self.outbox = Outbox(room, 1 << 20, lambda data, size: self.refused.append(data), -1)
        self.send_message = self.outbox.send_message

    def queued(self):
        reader = FrameReader()
        reader.feed(self.outbox.take(1 << 20)[0])
        return [f[3] for f in reader.frames() if f[0] == FRAME_MESSAGE]


def test_records_go_through_the_channels_send_message_as_it_is_now(real, monkeypatch):
    channel = OutboxChannel()
    monkeypatch.setattr(CollectorSettings, "data_subprocess", channel)
    run_call(add, (1, 2))
    assert [pickle.loads(pickle.loads(m).pre_run_args) for m in channel.queued()] == [(1, 2)]
    got = []
    channel.send_message = got.append   # replaced: the outbox is no longer its channel's
    run_call(add, (3, 4))
    assert channel.outbox.frames == 0 and len(got) == 1


@pytest.mark.parametrize("room", [100, 1])
def test_reports_into_an_outbox_are_the_named_paths_messages(real, monkeypatch, room):
    """Reports written into the metrics channel's outbox in parts (and, when it
    is full, handed to the channel as bytes) are the messages the named path
    sends, stamped with the time they were made."""
    named = record_all(real, named=True)[1]
    channel = OutboxChannel(room)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", channel)
    before = time.time()
    for callee, args, kwargs, used in calls():
        run_call(callee, args, kwargs, used)
    after = time.time()
    messages = channel.queued() + channel.refused
    assert len(channel.refused) == (0 if room == 100 else len(named) - 1)
    assert [metric_view(m) for m in messages] == named
    stamps = [pickle.loads(m).timestamp for m in messages]
    assert stamps == sorted(stamps) and before <= stamps[0] and stamps[-1] <= after


@pytest.mark.parametrize("limit", [1, 2])
def test_the_external_call_limit_is_kept_on_both_paths(real, monkeypatch, limit):
    monkeypatch.setattr(CollectorSettings, "external_calls_max", limit)
    direct_records, direct_metrics = record_all(real, named=False)
    assert (direct_records, direct_metrics) == record_all(real, named=True)
    kept = [r for r in direct_records if r[3]["external_calls"]]
    assert [len(r[3]["external_calls"]) for r in kept] == [2] * (limit == 2)


def test_arguments_changed_by_the_call_are_pickled_again(real):
    data, _ = sent()
    run_call(grow, ([1, 2], 3))
    record = pickle.loads(data.messages[-1])
    assert pickle.loads(record.pre_run_args) == ([1, 2], 3)
    assert pickle.loads(record.post_run_args) == ([1, 2, 3], 3)


class Tagged(cr.UserFunctionCall):
    pass


def test_replaced_record_class_takes_the_named_path(real, monkeypatch):
    monkeypatch.setattr(cr, "UserFunctionCall", Tagged)
    data, _ = sent()
    run_call(add, (1, 2))
    assert type(pickle.loads(data.messages[-1])).__name__ == "Tagged"


def test_changed_defaults_give_a_new_signature(real, monkeypatch):
    data, _ = sent()
    run_call(add, (1,))
    monkeypatch.setattr(add, "__defaults__", (5,))
    run_call(add, (1,))
    first, second = (pickle.loads(pickle.loads(d).function_metadata.function_signature)
                     for d in data.messages)
    assert first.defaults == (0,) and second.defaults == (5,)


def library_function(x):
    return x


def stand_in(x):
    return x


@pytest.mark.parametrize("change, expected", [
    (None, "somelib.library_function"),
    (("__qualname__", "Renamed.call"), "somelib.Renamed.call"),
    (("__module__", "otherlib"), "otherlib.library_function"),
    (("__func__", stand_in), "otherlib2.stand_in"),
])
def test_external_callees_are_named_as_they_are_now(real, monkeypatch, change, expected):
    """A plain external function learnt by the direct path and changed
    afterwards is reported and recorded under its new name."""
    monkeypatch.setattr(library_function, "__module__", "somelib")
    monkeypatch.setattr(stand_in, "__module__", "otherlib2")
    data, metric_channel = sent()
    rec = cr.record_user_function_call(add, 1, 2)
    calls = [library_function, library_function]
    if change is not None:
        calls.append(change)
    started = []
    for callee in calls:
        if type(callee) is tuple:
            monkeypatch.setattr(library_function, *callee, raising=False)
            callee = library_function
        time.sleep(0.002)
        started.append(time.time())
        token = cr.record_external_call(callee, True)
        cr.record_external_return_value(7, token)
    cr.record_user_function_return_value(3, rec)
    names = [e.function_metadata.full_name for e in pickle.loads(data.messages[-1]).external_calls]
    reports = [pickle.loads(m) for m in metric_channel.messages]
    reports = [m for m in reports if type(m).__name__ == "ExternalFunction"]
    assert names == [m.function_full_name for m in reports] \
        == ["somelib.library_function"] * 2 + [expected] * (change is not None)
    # each report is stamped when it is made
    assert all(m.timestamp >= t for m, t in zip(reports, started))


def test_entries_go_with_their_functions(real):
    # Neither the tables nor what is kept in front of them outlive the
    # functions, nor keep what those functions hold.
    import gc
    import weakref

    class Default:
        pass

    namespace = {"__name__": "somelib", "Default": Default}
    exec("def gone(x, d=Default()):\n    return x\n"
         "def own(x, d=Default()):\n    return x\n", namespace)
    held = [weakref.ref(namespace[name].__defaults__[0]) for name in ("gone", "own")]
    before = cr._external_entry_count(), cr._function_entry_count()
    for _ in range(3):  # (a project function's entry is made at its second call)
        rec = cr.record_user_function_call(namespace["own"], 1)
        cr.record_external_return_value(1, cr.record_external_call(namespace["gone"], True))
        cr.record_user_function_return_value(3, rec)
    assert (cr._external_entry_count(), cr._function_entry_count()) == (before[0] + 1, before[1] + 1)
    recent = cr._recent_entry_count()
    del rec, namespace
    gc.collect()
    assert (cr._external_entry_count(), cr._function_entry_count()) == before
    assert [ref() for ref in held] == [None, None]
    assert cr._recent_entry_count() == recent - 2


# --- the record templates -----------------------------------------------------

def fresh_record():
    rec = cr.record_user_function_call(add, 1, 2)
    CallTrail.set_current_running_function(None)
    rec.post_run_args, rec.post_run_kwargs = b"\x80\x04a", b"\x80\x04k"
    return rec


@pytest.mark.parametrize("fields", [
    {},
    {"return_value": b"x" * 300, "globals": b"g" * 7000},
    {"post_run_args": "same-as-pre"},
    {"globals": "same-as-kwargs", "execption": "same-as-kwargs"},
    {"(a deleted entry)": "extra"},       # a free slot in the table, same order
    {"(a deleted entry)": "globals"},     # a key moved to the end
])
def test_template_bytes_are_the_hand_writers(real, fields):
    rec = fresh_record()
    rec.globals, rec.return_value, rec.execption = b"\x80\x04}\x94.", b"\x80\x04K\x03.", b"e"
    rec.unknown_modules = set()
    for name, value in fields.items():
        if value == "same-as-pre":
            value = rec.pre_run_args
        elif value == "same-as-kwargs":
            value = rec.pre_run_kwargs
        if name == "(a deleted entry)":
            vars(rec)[value] = getattr(rec, value, None)
            kept = vars(rec).pop(value)
            if value != "extra":
                vars(rec)[value] = kept
            continue
        setattr(rec, name, value)
    for _ in range(2):  # built, then reused
        assert pickler._record_pickle_by_template(rec, rec.function_metadata) \
            == pickler.safe_pickle(rec, False)


def test_a_template_is_built_at_the_second_record_of_a_layout(real):
    def make():
        def fresh(a):
            return a
        return fresh
    data, _ = sent()
    fresh = make()
    builds = pickler._record_template_stats()[1]
    for n in range(3):
        run_call(fresh, (n,))
        assert pickler._record_template_stats()[1] == builds + (n >= 1)
    assert [pickle.loads(pickle.loads(d).return_value) for d in data.messages] == [0, 1, 2]


@pytest.mark.parametrize("change", ["external_call", "unknown_module", "str_field", "too_large"])
def test_records_the_templates_do_not_cover(real, change):
    rec = fresh_record()
    rec.globals = rec.return_value = rec.execption = b"v"
    rec.unknown_modules = set()
    assert pickler._record_pickle_by_template(rec, rec.function_metadata) is not None
    if change == "external_call":
        rec.external_calls = [cr.ExternalFunctionCall(rec.function_metadata)]
    elif change == "unknown_module":
        rec.unknown_modules = {"mod"}
    elif change == "str_field":
        rec.return_value = "not bytes"
    else:
        rec.return_value = b"x" * 70000
    assert pickler._record_pickle_by_template(rec, rec.function_metadata) is None
    assert pickle.loads(pickler.safe_pickle(rec, False)).return_value == rec.return_value


@pytest.mark.parametrize("value", [0, 255, 256, 65535, 65536, -1, -2 ** 31, 2 ** 31 - 1, 1.25,
                                   True, None, (1, 2.5, None, False), tuple(range(16))])
def test_small_number_writer_matches_the_pickler(value):
    assert pickler._tiny_pickle_of(value) == pickle.dumps(value, 4)


@pytest.mark.parametrize("value", [2 ** 31, Flag.ON, Liar(2), (1, "a"), tuple(range(17)), ()])
def test_small_number_writer_declines(value):
    assert pickler._tiny_pickle_of(value) is None
    assert type(pickler.safe_pickle(value, False)) is bytes



class Touchy:
    def __getattr__(self, name):
        raise RuntimeError("no attributes")


@pytest.mark.parametrize("limit", [49.0, 50.0])
def test_values_at_the_size_limit_and_odd_objects_go_as_named(real, monkeypatch, limit):
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", limit)
    monkeypatch.setattr(__import__(__name__), "calls", lambda: [
        (add, ("x" * 50, ""), None, ()),
        (add, (Touchy(), None), None, ()),
    ])
    direct = record_all(real, named=False)
    named = record_all(real, named=True)
    assert direct == named
    # (the object is over either limit by its deep size)
    assert len(direct[0]) == (1 if limit == 50.0 else 0)


def test_builtin_callees_record_as_the_probe_does(real):
    # Learnt built-ins, recorded (math's) or not: the same records and
    # reports as the named path, whose probe makes the metadata each time;
    # stored in the probe's cache as it stores them; references balanced.
    import builtins
    import math
    import sys
    from corvane_collector.data_collection import metadata_probe as mp
    original = cr.get_exc_value
    def record(named):
        if named:
            cr.get_exc_value = lambda: original()
        try:
            rec = cr.record_user_function_call(add, 1, 2)
            for callee in (math.sqrt, abs, math.sqrt, str.strip, math.sqrt):
                token = cr.record_external_call(callee, True)
                cr.record_external_return_value(2.0, token)
            cr.record_user_function_return_value(3, rec)
        finally:
            cr.get_exc_value = original
        data, metric_channel = sent()
        records = [decoded(d) for d in data.messages]
        metrics = [metric_view(m) for m in metric_channel.messages]
        del data.messages[:], metric_channel.messages[:]
        return records, metrics
    direct = record(named=False)
    assert all(cr._builtin_entry_fits(c) for c in (math.sqrt, abs, str.strip))
    assert mp.MetadataProbe.extract_function_metadata(abs, True, dont_cache=True)[1] is False
    assert direct == record(named=True)
    assert [m[1]["function_full_name"] for m in direct[1] if m[0] == "ExternalFunction"] \
        == ["math.sqrt"] * 3
    counts = [sys.getrefcount(o) for o in (builtins, abs, str.strip)]
    for _ in range(1000):
        assert cr.record_external_call(abs, True) is None
        assert cr.record_external_call(str.strip, True) is None
    assert [sys.getrefcount(o) for o in (builtins, abs, str.strip)] == counts


def test_builtin_callee_is_judged_as_it_is_now(real, monkeypatch):
    """A built-in learnt as not worth recording is asked about again once its
    module is renamed: a library function now, recorded under that name."""
    data, _ = sent()
    rec = cr.record_user_function_call(add, 1, 2)
    assert [cr.record_external_call(abs, True) for _ in range(2)] == [None, None]
    monkeypatch.setattr(abs, "__module__", "somelib")
    cr.record_external_return_value(1, cr.record_external_call(abs, True))
    cr.record_user_function_return_value(3, rec)
    names = [e.function_metadata.full_name for e in pickle.loads(data.messages[-1]).external_calls]
    assert names == ["somelib.abs"]


REPLACED_FIRST = r'''
import sys
sys.path.insert(0, sys.argv[1])
from recorder_doubles import Channel
from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
from corvane_collector.data_collection import call_recorder as cr, metadata_probe as mp
CollectorSettings.serializer = IpcPickleSerializer()
CollectorSettings.data_subprocess, CollectorSettings.metrics_subprocess = Channel(), Channel()
seen = []
def counting(original):
    return lambda *args: seen.append(original.__name__) or original(*args)
if sys.argv[2] == "recorder":
    cr.EXTRACT_METADATA = counting(cr.EXTRACT_METADATA)
else:
    mp.get_function_full_name = counting(mp.get_function_full_name)
def add(a, b):
    return a + b
for _ in range(3):
    cr.record_user_function_return_value(3, cr.record_user_function_call(add, 1, 2))
# (once a call at least: the direct path would have asked it for the first alone)
print(len(seen) >= 3, len(CollectorSettings.data_subprocess.messages))
'''


@pytest.mark.parametrize("module", ["recorder", "probe"])
def test_a_name_replaced_before_the_first_record_is_honoured(module):
    """The direct path stands for the names as bound at import, not as first
    seen: a name replaced before any call was recorded is called."""
    import os, subprocess, sys
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", REPLACED_FIRST, here, module],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["True", "3"]


class Held:
    """An argument whose lifetime the tests watch."""


@pytest.mark.parametrize("keep", ["tracker", "weak tracker", "record", "empty record", "nothing"])
def test_a_finished_calls_tracker_is_used_again_only_when_nothing_holds_it(real, keep):
    """The tracker of a finished call serves the next call only when nothing
    holds it or the record's containers any more; what is held keeps its
    fields, and the spare holds nothing of the program's."""
    import weakref
    held = Held()
    watch = weakref.ref(held)
    seen = []
    again = []

    def first(x):
        tracker = current_tracker()
        if seen and keep == "weak tracker":
            # (a freed tracker's address may be a new one's: ask the reference)
            again.append(seen[0][1]() is tracker)
        seen.append((id(tracker), tracker if keep == "tracker" else
                     weakref.ref(tracker) if keep == "weak tracker" else None))
        if keep == "empty record" and len(seen) == 1:
            return 0
        token = cr.record_external_call(shlex.quote, True)
        cr.record_external_return_value(shlex.quote("a b"), token)
        watched.append(weakref.ref(token))
        return 1

    watched = [watch]
    run_call(add, (1, 2))   # (the direct path learns the function first)
    rec = run_call(first, (held,))
    if "record" not in keep:
        del rec
    before = sent()[0].messages[-1]
    del held
    # (the spare lets go of the call's objects)
    if keep in ("weak tracker", "nothing"):
        assert [w() for w in watched] == [None] * len(watched)
    run_call(first, (Held(),))
    if keep == "weak tracker":
        assert again == [False]
    else:
        assert (seen[0][0] == seen[1][0]) == (keep in ("record", "empty record", "nothing"))
    if keep == "tracker":
        kept = seen[0][1]
        assert kept.caller_function is None and len(kept.recorded_functions) == 1
    if "record" in keep:
        assert len(rec.external_calls) == (keep == "record") and rec.unknown_modules == set()
    else:
        assert decoded(sent()[0].messages[-1])[3]["external_calls"] == \
            decoded(before)[3]["external_calls"]


@pytest.mark.parametrize("change", ["serializer", "name"])
def test_what_changes_after_direct_calls_is_seen(real, monkeypatch, change):
    """What the direct path found unchanged at one call is looked at again
    once it changes: a serialize attribute given to the serializer (which
    then writes the record), a new full name in the function's metadata
    (the size report names it)."""
    monkeypatch.setattr(cr, "MAX_STRING_SIZE", 10.0)
    run_call(add, ("x", "y"))
    rec = cr.record_user_function_call(add, "a", "b")
    if change == "serializer":
        monkeypatch.setattr(CollectorSettings.serializer, "serialize", lambda *a, **k: b"mine",
                            raising=False)
        cr.record_user_function_return_value("ab", rec)
        assert sent()[0].messages[-1] == b"mine"
    else:
        monkeypatch.setattr(rec.function_metadata, "full_name", "renamed")
        cr.record_user_function_return_value("z" * 50, rec)
        assert "renamed" in repr(metric_view(sent()[1].messages[-1]))


SHARED_KEYS_DROPPED = r'''
import pickle, shlex, sys
sys.path.insert(0, sys.argv[1])
from recorder_doubles import Channel
from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_serialization.channel_codec import IpcPickleSerializer
from corvane_collector.data_collection import call_recorder as cr
CollectorSettings.serializer = IpcPickleSerializer()
CollectorSettings.data_subprocess, CollectorSettings.metrics_subprocess = Channel(), Channel()
def add(a, b):
    return a + b
def record():
    rec = cr.record_user_function_call(add, 1, 2)
    token = cr.record_external_call(shlex.quote, True)
    cr.record_external_return_value(shlex.quote("a b"), token)
    cr.record_user_function_return_value(3, rec)
    return CollectorSettings.data_subprocess.messages[-1]
first = [record() for _ in range(2)][1]
shared = cr._keys_shared()
# instances whose first attribute is not the first field: 3.10 stops sharing their class's keys
for cls in (cr.UserFunctionCall, cr.ExternalFunctionCall):
    object.__new__(cls).execption = None
loaded = pickle.loads(first)
print(shared == (True, True), cr._keys_shared() == (False, False), record() == first,
      [list(vars(loaded)), list(vars(loaded.external_calls[0]))])
'''


def test_records_are_made_when_their_classes_no_longer_share_their_keys():
    """Records and external calls share their classes' keys while those keep
    them; once 3.10 has dropped them, they are made as copies of their
    layouts again (the same fields in the same order, the same bytes)."""
    import os, subprocess, sys
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", SHARED_KEYS_DROPPED, here],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split(maxsplit=3)[:3] == ["True", "True", "True"]
    named = cr.get_function_call_object((add, 1, 2), {})
    external = cr.ExternalFunctionCall(None)
    assert eval(out.stdout.split(maxsplit=3)[3]) == [list(vars(named)) + ["unknown_modules"],
                                                      list(vars(external))]
