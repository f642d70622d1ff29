import gc
import inspect
import pickle
import weakref

import pytest

from corvane_collector.configs.run_settings import CollectorSettings
from corvane_collector.data_collection import metadata_probe as mp
from corvane_collector.data_collection import metrics
from corvane_collector.data_collection.call_model import (
    ExternalFunctionMetadata,
    UserFunctionCall,
    UserFunctionMetadata,
)
from corvane_common import qualnames
from corvane_common.utils import func_facts
from corvane_common.utils import hash as code_hash

MetadataProbe = mp.MetadataProbe
extract = MetadataProbe.extract_function_metadata


class Channel:
    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


class PickleSerializer:
    def __init__(self):
        self.calls = []

    def serialize(self, value, obj_wrap=True):
        self.calls.append((value, obj_wrap))
        return pickle.dumps(value)


class MetricSpy:
    """Replaces the metric class to capture its positional arguments."""
    made = []

    def __init__(self, *args):
        self.args = args
        MetricSpy.made.append(args)


@pytest.fixture(autouse=True)
def fresh_cache():
    mp._clear_cache()
    yield
    mp._clear_cache()


@pytest.fixture
def channels(monkeypatch, set_setting):
    metrics_channel = Channel()
    serializer = PickleSerializer()
    set_setting("metrics_subprocess", metrics_channel)
    set_setting("serializer", serializer)
    MetricSpy.made = []
    monkeypatch.setattr(mp, "ExternalFunction", MetricSpy)
    return metrics_channel


@pytest.fixture
def host_calls(monkeypatch):
    """Wraps the host functions the probe calls, keeping their real results."""
    log = []

    def spy(name, real):
        def wrapper(*args):
            log.append((name, args))
            return real(*args)
        monkeypatch.setattr(mp, name, wrapper)

    spy("get_function_module", qualnames.get_function_module)
    spy("get_function_full_name", qualnames.get_function_full_name)
    spy("get_hash", code_hash.get_hash)
    spy("get_signature", func_facts.get_signature)
    return log


def plain(a, b=2, *rest, key=None):
    return len(rest) + a


async def coro(x):
    return await x


class Widget:
    def __init__(self, size):
        self.size = size

    def grow(self, by):
        return self.size + by


class Gadget(Widget):
    pass


class Bare:
    pass


# ------------------------------------------------------------------ user branch

class TestUserBranch:
    def test_plain_function(self, host_calls):
        md = extract(plain)
        assert type(md) is UserFunctionMetadata
        module = qualnames.get_function_module(plain, None)
        assert md.module_name == module
        assert md.full_name == qualnames.get_function_full_name(module, plain)
        assert md.code_hash == code_hash.get_hash(plain)
        assert md.full_path == plain.__code__.co_filename == __file__
        assert md.co_names == plain.__code__.co_names and "len" in md.co_names
        assert md.function_signature == func_facts.get_signature(plain)
        assert md.is_async is False
        # The signature is taken before the hash (argument evaluation order).
        assert [name for name, _ in host_calls] == [
            "get_function_module", "get_function_full_name", "get_signature", "get_hash"]
        assert host_calls[0][1] == (plain, None)
        assert host_calls[1][1] == (module, plain)

    def test_coroutine_and_signature_switch(self, host_calls):
        md = extract(coro, collect_signature=False)
        assert md.is_async is True and md.function_signature is None
        assert "get_signature" not in [name for name, _ in host_calls]
        assert md.co_names == coro.__code__.co_names
        assert extract(coro).function_signature == func_facts.get_signature(coro)

    def test_builtin_without_code(self, host_calls):
        md = extract(len)
        assert (md.code_hash, md.full_path, md.co_names, md.function_signature, md.is_async) == (
            "unhashable", "unknown_path", None, None, False)
        assert md.full_name == qualnames.get_function_full_name(md.module_name, len)
        assert [name for name, _ in host_calls] == ["get_function_module", "get_function_full_name"]
        # A built-in bound to a module passes that module as is_method.
        assert host_calls[0][1] == (len, len.__self__)

    def test_bound_method_describes_its_function(self, host_calls):
        w = Widget(1)
        md = extract(w.grow)
        # is_method is read from the unwrapped function, which has no __self__.
        assert host_calls[0][1] == (Widget.grow, None)
        assert md.full_name == qualnames.get_function_full_name(md.module_name, Widget.grow)
        assert md.co_names == Widget.grow.__code__.co_names
        # Stored under the function, so the bound method itself is not found.
        assert extract(Widget.grow, dont_cache=True) is md
        other = extract(w.grow, dont_cache=True)
        assert other is not md and vars(other)["full_name"] == md.full_name

    def test_class_with_own_constructor(self, host_calls):
        md = extract(Widget)
        assert host_calls[0][1][0] is Widget.__init__
        assert md.co_names == Widget.__init__.__code__.co_names
        assert extract(Widget.__init__, dont_cache=True) is md

    def test_class_with_inherited_constructor_uses_metaclass_init(self, host_calls):
        md = extract(Gadget)
        func, is_method = host_calls[0][1]
        # object.__getattribute__ on a class does not walk the class's bases.
        assert type(func).__name__ == "method-wrapper" and func.__self__ is Gadget
        assert is_method is Gadget
        assert md.full_path == "unknown_path"

    def test_generic_lookup_ignores_instance_hooks(self, host_calls, monkeypatch):
        class Sneaky:
            def __getattr__(self, name):
                return plain

            def __call__(self):
                return 1

        class Hostile:
            def __getattribute__(self, name):
                raise RuntimeError("must not be asked")

            def __call__(self):
                return 1

        s = Sneaky()
        md = extract(s)
        assert host_calls[0][1] == (s, None)
        assert md.full_path == "unknown_path"
        # Host doubles that leave the object alone: only the probe's own look-ups run.
        monkeypatch.setattr(mp, "get_function_module", lambda f, m: "pkg")
        monkeypatch.setattr(mp, "get_function_full_name", lambda m, f: "pkg.h")
        h = Hostile()
        md = extract(h)
        assert (md.full_name, md.co_names, md.code_hash) == ("pkg.h", None, "unhashable")

    def test_bad_host_results_rejected_by_constructor(self, monkeypatch):
        monkeypatch.setattr(mp, "get_hash", lambda f: 1234)
        with pytest.raises(TypeError, match="Argument 'code_hash' has incorrect type"):
            extract(plain)
        assert mp._cache_stats() == (0, 0)

    def test_host_failure_propagates_and_caches_nothing(self, monkeypatch):
        def broken(func):
            raise LookupError("no signature")
        monkeypatch.setattr(mp, "get_signature", broken)
        with pytest.raises(LookupError):
            extract(plain)
        assert mp._cache_stats() == (0, 0)
        assert extract(plain, collect_signature=False).function_signature is None


# ------------------------------------------------------------------ external branch

class TestExternalBranch:
    def test_builtin_not_for_recording(self, channels, host_calls):
        result = extract(len, True)
        md, flag = result
        assert type(result) is tuple and flag is False
        assert type(md) is ExternalFunctionMetadata
        assert (md.is_builtin, md.is_function_for_recording, md.full_name) == (False, False, "")
        assert md.module_name == "builtins" == qualnames.get_function_module(len, len.__self__)
        assert "get_function_full_name" not in [name for name, _ in host_calls]
        assert channels.messages == [] and MetricSpy.made == []

    @pytest.mark.parametrize("func", [open, input])
    def test_open_and_input_are_recorded_with_one_metric_each_time(self, channels, func):
        md, flag = extract(func, True)
        assert flag is True and md.is_function_for_recording is True
        assert md.full_name and md.full_name == qualnames.get_function_full_name(md.module_name, func)
        extract(func, True)
        extract(func, True, True)  # the reader sends nothing
        ids = (CollectorSettings.tenant_id, CollectorSettings.project_id,
               CollectorSettings.python_version, CollectorSettings.lib_version)
        assert MetricSpy.made == [ids + (md.full_name,)] * 2
        assert len(channels.messages) == 2
        assert pickle.loads(channels.messages[0]).args == ids + (md.full_name,)
        # The metric goes through serialize with the serializer's default obj_wrap.
        sent = [c for c in CollectorSettings.serializer.calls if isinstance(c[0], MetricSpy)]
        assert [wrap for _, wrap in sent] == [True, True]

    def test_metric_channel_looked_up_before_serialising(self, channels, set_setting):
        order = []

        class WatchedChannel:
            @property
            def send_message(self):
                order.append("send_message")
                return lambda data: order.append("sent")

        class WatchedSerializer:
            def serialize(self, value, obj_wrap=True):
                order.append("serialize")
                return b"m"

        set_setting("metrics_subprocess", WatchedChannel())
        set_setting("serializer", WatchedSerializer())
        extract(open, True)
        assert order == ["send_message", "serialize", "sent"]

    def test_real_metric_class_is_sent(self, channels, monkeypatch):
        monkeypatch.setattr(mp, "ExternalFunction", metrics.ExternalFunction)
        extract(inspect.getfile, True)
        assert len(channels.messages) == 1
        assert isinstance(pickle.loads(channels.messages[0]), metrics.ExternalFunction)

    def test_a_replaced_report_function_is_called(self, channels, monkeypatch):
        reports = []
        monkeypatch.setattr(mp, "send_metric_report",
                            lambda cls, fields, channel_first=False: reports.append(
                                (cls, fields, channel_first)))
        extract(inspect.getfile, True)
        assert reports == [(MetricSpy, ("inspect.getfile",), True)] and channels.messages == []
        monkeypatch.undo()
        monkeypatch.setattr(mp, "ExternalFunction", MetricSpy)
        extract(inspect.getfile, True)
        assert len(reports) == 1 and len(channels.messages) == 1

    def test_a_qualified_name_of_a_str_subclass_is_joined_by_its_own_rules(self, channels):
        class Qual(str):
            def __radd__(self, other):
                return "radd:" + other + str(self)

        def f():
            pass
        f.__qualname__ = Qual("f")
        expected = f.__module__ + "." + f.__qualname__
        assert expected.startswith("radd:")
        assert extract(f, True)[0].full_name == expected
        assert extract(f).full_name == expected
        f.__qualname__ = "g.<locals>.f"
        assert extract(f, True)[0].full_name == f.__module__ + ".g.<locals>.f"

    def test_module_function_and_classes(self, channels):
        md, flag = extract(inspect.getfile, True)
        assert flag is True and md.full_name
        md, flag = extract(Bare, True)
        assert (flag, md.full_name) == (False, "")
        md, flag = extract(Widget, True)
        assert flag is True and md.full_name  # Widget.__init__, a plain function
        assert len(channels.messages) == 2

    def test_direct_external_extraction(self, channels):
        md, flag = MetadataProbe._extract_external_function_metadata("pkg.mod", Widget)
        assert flag is True and md.full_name  # a class with its own constructor
        md, flag = MetadataProbe._extract_external_function_metadata("builtins", Widget)
        assert (flag, md.full_name) == (False, "")  # of builtins only open and input
        md, flag = MetadataProbe._extract_external_function_metadata(module=None, function_obj=Bare)
        assert (flag, md.full_name, md.module_name) == (False, "", None)
        with pytest.raises(TypeError) as info:
            MetadataProbe._extract_external_function_metadata(b"mod", len)
        assert str(info.value) == "Argument 'module' has incorrect type (expected str, got bytes)"
        with pytest.raises(TypeError, match=r"^_extract_external_function_metadata\(\) takes exactly 2 positional arguments \(1 given\)$"):
            MetadataProbe._extract_external_function_metadata("m")

    def test_bad_module_from_host(self, channels, monkeypatch):
        monkeypatch.setattr(mp, "get_function_module", lambda f, m: 42)
        with pytest.raises(TypeError, match="Argument 'module' has incorrect type"):
            extract(plain, True)

    def test_missing_metric_channel_after_caching(self, channels, set_setting):
        set_setting.remove("metrics_subprocess")
        with pytest.raises(AttributeError):
            extract(open, True)
        assert extract(open, dont_cache=True)[0].full_name


# ------------------------------------------------------------------ cache semantics

class TestCacheSemantics:
    def test_reader_never_writes(self, channels):
        fresh = extract(plain, dont_cache=True)
        assert type(fresh) is UserFunctionMetadata
        assert mp._cache_stats() == (0, 0)
        assert extract(plain, dont_cache=True) is not fresh

    def test_reader_gets_latest_written_object(self, channels):
        first = extract(plain)
        assert extract(plain, dont_cache=True) is first
        second = extract(plain)
        assert second is not first
        assert extract(plain, dont_cache=True) is second
        assert mp._cache_stats() == (1, 1)

    def test_read_ignores_external_flag_and_signature_switch(self, channels):
        pair = extract(inspect.getfile, True)
        assert extract(inspect.getfile, dont_cache=True, collect_signature=False) is pair

    def test_reader_sees_signature_replaced_by_call_record(self, channels):
        md = extract(plain)
        UserFunctionCall(md, (1,), {}, {})
        cached = extract(plain, dont_cache=True)
        assert cached is md
        assert pickle.loads(cached.function_signature) == func_facts.get_signature(plain)

    def test_strongly_held_builtins_hit(self, channels):
        pair = extract(len, True)
        assert extract(len, dont_cache=True) is pair
        # Descriptors of built-in types have no weak references: held strongly.
        for descriptor in (str.join, object.__init__, dict.__dict__["fromkeys"]):
            stored = extract(descriptor, True)
            assert extract(descriptor, dont_cache=True) is stored
        assert mp._cache_stats() == (4, 4)

    def test_bound_builtin_does_not_keep_its_object_alive(self, channels):
        class Items(list):
            pass

        items = Items()
        alive = weakref.ref(items)
        bound = items.append
        stored = extract(bound, True)
        assert mp._cache_stats() == (0, 0)  # made per access: not worth an entry
        assert extract(bound, dont_cache=True) is not stored
        wrapper = items.__len__  # a method-wrapper: no weak references
        extract(wrapper, True)
        assert mp._cache_stats() == (0, 0)
        assert extract(wrapper, dont_cache=True) is not stored
        del items, bound, wrapper
        gc.collect()
        assert alive() is None

    def test_weakly_held_key_does_not_keep_its_object_alive(self, channels):
        class Tool:
            def __call__(self):
                return 1

        tool = Tool()
        alive = weakref.ref(tool)
        stored = extract(tool, True)
        assert extract(tool, dont_cache=True) is stored
        del tool
        assert alive() is None
        assert mp._cache_stats() == (0, 0)

    def test_slotted_callable_is_not_cached(self, channels):
        class Slotted:
            __slots__ = ("payload",)

            def __call__(self):
                return self.payload

        obj = Slotted()
        first = extract(obj, True)
        assert mp._cache_stats() == (0, 0)
        assert extract(obj, dont_cache=True) is not first

    def test_dead_key_leaves_cache(self, channels):
        def make():
            def inner():
                return 1
            return inner

        f = make()
        extract(f)
        assert mp._cache_stats() == (1, 1)
        del f
        gc.collect()
        assert mp._cache_stats() == (0, 0)

    def test_new_object_at_dead_key_address_does_not_hit(self, channels):
        def make():
            def inner():
                return 1
            return inner

        f = make()
        old = extract(f)
        old_address = id(f)
        del f
        reused = None
        keep = []
        for _ in range(10000):
            g = make()
            if id(g) == old_address:
                reused = g
                break
            keep.append(g)
        if reused is None:
            pytest.skip("the allocator did not reuse the address")
        got = extract(reused, dont_cache=True)
        assert got is not old
        assert mp._cache_stats() == (0, 0)

    def test_cycle_collected_key_leaves_cache(self, channels):
        class Node:
            def __call__(self):
                return 0

        node = Node()
        node.me = node  # only the cycle collector frees it
        extract(node, True)
        assert mp._cache_stats() == (1, 1)
        del node
        gc.collect()
        assert mp._cache_stats() == (0, 0)

    def test_capacity_evicts_oldest_writes(self, channels):
        previous = mp._set_cache_capacity(50)
        try:
            funcs = [eval("lambda: %d" % i) for i in range(120)]
            records = [extract(f) for f in funcs]
            assert mp._cache_stats() == (50, 50)
            assert extract(funcs[0], dont_cache=True) is not records[0]
            assert extract(funcs[-1], dont_cache=True) is records[-1]
            # A rewrite refreshes an entry, so it outlives older ones.
            refreshed = extract(funcs[70])
            for f in funcs[:49]:
                extract(f)
            assert extract(funcs[70], dont_cache=True) is refreshed
            assert extract(funcs[71], dont_cache=True) is not records[71]
            mp._set_cache_capacity(10)
            assert mp._cache_stats() == (10, 10)
        finally:
            mp._set_cache_capacity(previous)

    def test_threads_sharing_the_cache_keep_it_consistent(self, channels, monkeypatch):
        from thread_helpers import run_in_threads

        def slow_module(func, is_method):
            sum(range(50))  # Python work, so threads switch inside an extraction
            return "m"

        monkeypatch.setattr(mp, "get_function_module", slow_module)
        previous = mp._set_cache_capacity(64)
        errors = []
        shared = [eval("lambda: %d" % i) for i in range(100)]

        def worker(seed):
            try:
                for i in range(3000):
                    f = shared[(i * seed) % len(shared)]
                    extract(f, False, False, False)
                    got = extract(f, dont_cache=True)
                    assert got.full_path == "<string>"  # never another key's record
                    extract(lambda: i)  # short-lived keys mixed in
            except BaseException as exc:  # reported below
                errors.append(exc)

        try:
            run_in_threads(worker, [(k,) for k in (1, 3, 7)])
        finally:
            mp._set_cache_capacity(previous)
        assert errors == []
        owned, native = mp._cache_stats()
        assert owned == native <= 64
        # Entries still present answer for their own key.
        for f in shared:
            got = extract(f, dont_cache=True)
            assert got.full_path == "<string>" and got.co_names == f.__code__.co_names

    def test_million_short_lived_callables_stay_bounded(self, channels, monkeypatch):
        # Trivial host doubles keep the loop quick; the cache logic is what is measured.
        monkeypatch.setattr(mp, "get_function_module", lambda f, m: "m")
        monkeypatch.setattr(mp, "get_function_full_name", lambda m, f: "m.f")
        monkeypatch.setattr(mp, "get_hash", lambda f: "h")
        previous = mp._set_cache_capacity(1000)
        try:
            biggest = 0
            survivors = []
            for i in range(1_000_000):
                extract(lambda: i, False, False, False)
                if i % 5 == 0:
                    extract([].append, True)  # built-in bound methods, made per access
                if i % 1000 == 0:
                    survivors.append(lambda: i)  # some stay alive: capacity caps them
                    extract(survivors[-1], False, False, False)
                    biggest = max(biggest, mp._cache_stats()[0])
            owned, native = mp._cache_stats()
            assert owned == native
            assert len(survivors) == 1000
            # Short-lived keys left with their objects; the capacity caps the rest.
            assert 990 <= biggest <= 1000 and owned <= 1000
            last = extract(survivors[-1], dont_cache=True)
            assert last is extract(survivors[-1], dont_cache=True)
            assert mp._cache_stats() == (owned, owned)
        finally:
            mp._set_cache_capacity(previous)


# ------------------------------------------------------------------ surface

class TestSurface:
    def test_module_attributes(self):
        expected = {
            "CODE_DUNDER": "__code__", "CO_COROUTINE": inspect.CO_COROUTINE,
            "UNKNOWN_PATH_STR": "unknown_path", "UNHASHABLE_STR": "unhashable",
            "SELF_CONST": "__self__", "INIT_STR": "__init__", "FUNC_STR": "__func__",
            "MAIN_STR": "__main__", "BUILTINS": "builtins",
        }
        for name, value in expected.items():
            assert getattr(mp, name) == value, name
        import os
        import threading
        assert mp.threading_get_ident is threading.get_ident
        assert mp.relative_path is os.path.relpath
        assert mp.reported_modules == set() or isinstance(mp.reported_modules, set)
        assert mp.__test__ == {}
        assert MetadataProbe.FUNCTION_DATA == {}
        assert MetadataProbe.__doc__ == (
            "\n    This class is responsible for extracting function meta data.\n    ")
        for name in ("threading", "os", "inspect", "Any", "AnyStr", "Callable", "Optional",
                     "Tuple", "CollectorSettings", "ExternalFunction", "ExternalFunctionMetadata",
                     "UserFunctionMetadata", "get_function_full_name", "get_function_module",
                     "get_hash", "get_signature"):
            assert hasattr(mp, name), name
        assert "the function metadata" in extract.__doc__

    def test_argument_counts(self):
        with pytest.raises(TypeError, match=r"^extract_function_metadata\(\) takes at least 1 positional argument \(0 given\)$"):
            extract()
        with pytest.raises(TypeError, match=r"^extract_function_metadata\(\) takes at most 4 positional arguments \(5 given\)$"):
            extract(plain, False, True, True, 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'cache'"):
            extract(plain, cache=True)

    def test_get_attribute_full_name(self):
        assert mp.get_attribute_full_name(3) == "builtins.int"
        assert mp.get_attribute_full_name(Widget(1)) == f"{__name__}.Widget"

        class Inner:
            pass
        assert mp.get_attribute_full_name(Inner()) == (
            f"{__name__}.TestSurface.test_get_attribute_full_name.<locals>.Inner")
        Inner.__qualname__ = ""
        assert mp.get_attribute_full_name(Inner()) == f"{__name__}.Inner"
        with pytest.raises(TypeError):
            mp.get_attribute_full_name()
