"""Objects without weak references that recorded code reads through globals are
held only while a recording that follows them is in progress, and their ids never
outlive them."""

import gc
import sys
import threading

import pytest

from corvane_collector.data_collection import call_recorder as cr
from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_collector.data_collection.call_trail import CallTrail, CallTrailTracker


class Slotted:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


class Finalized:
    __slots__ = ("log",)

    def __init__(self, log):
        self.log = log

    def __del__(self):
        self.log.append("del")


def start_recording(name="proj.f", caller=None):
    t = CallTrailTracker(name)
    t.caller_function = caller
    CallTrail.set_current_running_function(t)
    return t


def end_recording(tracker):
    """What the end of a recorded call does to the thread's trackers."""
    caller = tracker.caller_function
    tracker.caller_function = None
    CallTrail.set_current_running_function(caller)


def follow(obj, name="S"):
    cr.load_global_hook(obj, name)
    cr.load_attr_hook(obj, "value", getattr(obj, "value", None))


def test_released_when_the_top_level_recording_ends(env):
    gc.collect()
    held_before = cr._held_count()
    log = []
    root = start_recording()
    obj = Finalized(log)
    oid = id(obj)
    cr.load_global_hook(obj, "F")
    cr.load_attr_hook(obj, "log", log)
    root.globals.clear()
    del obj
    # The recording still relies on the id: the object stays.
    assert log == [] and oid in cr.IDS_TO_FOLLOW and used_attributes[oid] == {"log"}
    end_recording(root)
    del root
    # No collection needed: it goes when the record is done with it.
    assert log == ["del"]
    assert oid not in cr.IDS_TO_FOLLOW and oid not in used_attributes
    assert cr._held_count() == held_before


def test_nested_recordings_hold_for_the_outermost(env):
    log = []
    outer = start_recording("proj.outer")
    inner = start_recording("proj.inner", caller=outer)
    obj = Finalized(log)
    oid = id(obj)
    cr.load_global_hook(obj, "F")
    inner.globals.clear()
    del obj
    end_recording(inner)
    del inner
    # The outer record is still to be pickled, with what the inner call read.
    assert log == [] and oid in cr.IDS_TO_FOLLOW
    end_recording(outer)
    del outer
    assert log == ["del"] and oid not in cr.IDS_TO_FOLLOW


def test_dropped_recording_releases_too(env):
    # An abandoned recording (a value over the size limit, the external call
    # limit) sets no tracker current; the trackers then go, and so do the holds.
    log = []
    outer = start_recording("proj.outer")
    inner = start_recording("proj.inner", caller=outer)
    cr.load_global_hook(Finalized(log), "F")
    CallTrail.set_current_running_function(None)
    del outer, inner
    assert log == ["del"]


def test_other_threads_recording_keeps_the_object_and_its_id(env):
    shared = Slotted(7)
    oid = id(shared)
    base = sys.getrefcount(shared)
    main_root = start_recording("proj.main")
    follow(shared)
    main_root.globals.clear()
    steps = {name: threading.Event() for name in ("followed", "main_done", "finish")}
    seen = {}

    def other():
        root = start_recording("proj.other")
        cr.load_attr_hook(shared, "value", shared.value)
        root.globals.clear()
        steps["followed"].set()
        steps["main_done"].wait(10)
        # The main thread's record is done; this one is still in progress.
        seen["followed"] = oid in cr.IDS_TO_FOLLOW
        seen["attrs"] = set(used_attributes.get(oid, ()))
        steps["finish"].wait(10)
        end_recording(root)

    t = threading.Thread(target=other)
    t.start()
    assert steps["followed"].wait(10)
    end_recording(main_root)
    del main_root
    steps["main_done"].set()
    steps["finish"].set()
    t.join(10)
    assert seen == {"followed": True, "attrs": {"value"}}
    # Both recordings are over.
    assert oid not in cr.IDS_TO_FOLLOW and oid not in used_attributes
    assert sys.getrefcount(shared) == base


def test_new_object_at_a_released_address_starts_clean(env):
    reused = False
    for _ in range(20):
        root = start_recording()
        old = Slotted(1)
        follow(old)
        old_id = id(old)
        root.globals.clear()
        del old
        end_recording(root)
        del root
        root = start_recording()
        new = Slotted(2)
        reused = reused or id(new) == old_id
        assert id(new) not in cr.IDS_TO_FOLLOW and used_attributes.get(id(new)) is None
        # Reading from it unprompted does not follow it either.
        cr.load_attr_hook(new, "value", 2)
        assert used_attributes.get(id(new)) is None
        end_recording(root)
        del root, new
    assert reused, "address was never reused; the check above was not exercised"


def test_without_a_recording_in_progress_nothing_is_held(env):
    CallTrail.set_current_running_function(None)
    held = cr._held_count()
    weak_target = type("Plain", (), {})()
    cr.IDS_TO_FOLLOW.add(id(weak_target))
    value = Slotted(3)
    cr.load_attr_hook(weak_target, "s", value)
    assert id(value) not in cr.IDS_TO_FOLLOW and cr._held_count() == held
    # An id put in the set for an object that can have no guard is dropped.
    box = Slotted(4)
    cr.IDS_TO_FOLLOW.add(id(box))
    cr.load_attr_hook(box, "value", 4)
    assert id(box) not in cr.IDS_TO_FOLLOW and id(box) not in used_attributes


def test_many_recordings_leave_nothing_behind(env):
    gc.collect()
    held, followed, roots = cr._held_count(), cr._followed_count(), cr._holding_recordings()
    for i in range(3000):
        root = start_recording()
        follow(Slotted(i))
        follow("text %d" % i, "T")
        root.globals.clear()
        end_recording(root)
        del root
    assert cr._held_count() == held
    assert cr._followed_count() <= followed + 2
    assert cr._holding_recordings() == roots


@pytest.mark.parametrize("value", [7, -5, 256, True, None])
def test_values_the_interpreter_never_frees_are_followed_without_being_held(env, value):
    held = cr._held_count()
    root = start_recording()
    cr.load_global_hook(value, "V")
    cr.load_attr_hook(value, "real", getattr(value, "real", None))
    assert id(value) in cr.IDS_TO_FOLLOW and "real" in used_attributes[id(value)]
    assert cr._held_count() == held
    end_recording(root)


def test_ints_outside_the_small_int_cache_are_held(env):
    held = cr._held_count()
    root = start_recording()
    big = int("257")
    cr.load_global_hook(big, "B")
    assert cr._held_count() == held + 1
    end_recording(root)
    del root
    gc.collect()
    assert cr._held_count() == held


def test_a_global_loaded_again_stays_followed(env):
    class Config:
        level = 3
    config = Config()
    root = start_recording()
    for _ in range(3):
        cr.load_global_hook(config, "config")
        cr.load_attr_hook(config, "level", 3)
    assert root.globals == {"config": config}
    assert id(config) in cr.IDS_TO_FOLLOW and used_attributes[id(config)] == {"level"}
    other = Config()
    cr.load_global_hook(other, "config")  # the name now holds another object
    assert root.globals["config"] is other and id(other) in cr.IDS_TO_FOLLOW
    end_recording(root)
