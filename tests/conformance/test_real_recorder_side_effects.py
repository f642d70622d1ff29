"""What recording with the package's real recorder changes in the program, pinned.

Each program runs once under the stock evaluator and once with its own file
sampled at rate 1.0 by the real recorder (in-memory channels).  The differences
checked here are the known ones of conformance/KNOWN_DIFFERENCES.md (test_queue's
reentrancy test) and ones that were mended (test_importlib's lazy-loader tests,
test_ipaddress's cached network attributes):
both runs are checked, so a change in either (a fix, or a new way of showing) is
noticed and the notes are brought up to date with it.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "interceptor"))
from conform_harness import REAL_RECORDER_SETUP, requires_interceptor, run_program  # noqa: E402

SETUP = REAL_RECORDER_SETUP

# The program allocates no gc-tracked object between gc.enable() and its append,
# so the stock evaluator runs the finalizer at the explicit gc.collect().
FINALIZER_PROGRAM = SETUP + r'''
import gc

class Cycle:
    def __init__(self, log):
        self.log = log
        self.me = self
    def __del__(self):
        self.log.append("finalizer")

def probe(log):
    gc.disable()
    c = Cycle(log)
    del c
    gc.set_threshold(1)
    gc.enable()
    log.append("program")
    gc.collect()
    return log

def main():
    old = gc.get_threshold()
    try:
        log = probe([])
    finally:
        gc.set_threshold(*old)
    return {"log": log, "records": DATA.messages, "active": evaluator_active()}
'''

LAZY_PROGRAM = SETUP + r'''
import importlib.abc, importlib.util, sys, types

class Loader(importlib.abc.Loader):
    def __init__(self):
        self.loaded = None
    def exec_module(self, module):
        self.loaded = module

def new_module(loader):
    spec = importlib.util.spec_from_loader("lazy_probe", importlib.util.LazyLoader(loader))
    module = types.ModuleType("lazy_probe")
    module.__spec__ = spec
    module.__loader__ = spec.loader
    spec.loader.exec_module(module)
    return module

def main():
    loader = Loader()
    new_module(loader)
    still_lazy = loader.loaded is None
    sys.modules["lazy_probe"] = types.ModuleType("lazy_probe")
    try:
        module = new_module(Loader())
        try:
            module.__name__
            raised = False
        except ValueError:
            raised = True
    finally:
        del sys.modules["lazy_probe"]
    return {"still_lazy": still_lazy, "substitution_raised": raised,
            "records": DATA.messages, "active": evaluator_active()}
'''

# Objects whose attributes the recorder reads (described attribute by attribute,
# or attributes the recorded code used on a global), with descriptors that change
# the object or do work when read.
DESCRIPTORS_PROGRAM = SETUP + r'''
import functools, ipaddress
from sqlalchemy import create_engine, event, ForeignKey
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column, relationship, Session

KEPT = []
DATA.send_message = KEPT.append
READS = []
QUERIES = []
CURRENT = None

class Counting:
    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        READS.append("counted")
        return 7

class Base:
    counted = Counting()
    @functools.cached_property
    def inherited(self):
        return 1

def make():
    class Local(Base):  # local: described attribute by attribute
        def __init__(self):
            self.x = 5
        @functools.cached_property
        def own(self):
            return 2
        @property
        def p(self):
            self.p_ran = True
            return 3
    return Local()

def use(obj):
    return obj.x

def first_host(net):
    return str(net.network_address)

def models():
    class Model(DeclarativeBase):
        pass
    class User(Model):
        __tablename__ = "users"
        id: Mapped[int] = mapped_column(primary_key=True)
        addresses: Mapped[list["Address"]] = relationship(lazy="select")
    class Address(Model):
        __tablename__ = "addresses"
        id: Mapped[int] = mapped_column(primary_key=True)
        user_id: Mapped[int] = mapped_column(ForeignKey("users.id"))
    return Model, User, Address

def count_then_commit(session):
    n = len(CURRENT.addresses)
    session.commit()  # expires CURRENT: the relationship is unloaded again
    return n

def main():
    global CURRENT
    obj = make()
    use(obj)
    net = ipaddress.ip_network("10.0.0.0/24")
    first_host(net)
    Model, User, Address = models()
    engine = create_engine("sqlite://")
    event.listen(engine, "before_cursor_execute", lambda *a: QUERIES.append(a[2]))
    Model.metadata.create_all(engine)
    with Session(engine) as session:
        session.add(User(id=1, addresses=[Address(id=1)]))
        session.commit()
        CURRENT = session.get(User, 1)
        count_then_commit(session)
        relationship_loaded = "addresses" in CURRENT.__dict__
    described = {}
    for data in KEPT:
        record = CollectorSettings.serializer.deserialize(data)
        if record.function_metadata.full_name.endswith(".use"):
            arg = CollectorSettings.serializer.deserialize(record.pre_run_args)[0]
            described = {k: v for k, v in vars(arg).items() if not k.startswith("_")}
    return {"program": {"reads": READS, "obj": sorted(vars(obj)),
                        "net": sorted(k for k in ("broadcast_address", "hostmask") if k in vars(net)),
                        "queries": len(QUERIES), "relationship_loaded": relationship_loaded},
            "described": described, "records": len(KEPT), "active": evaluator_active()}
'''


def _both(program):
    stock = run_program(program, recorder=None, apply=False).check().result
    ours = run_program(program, recorder=None, apply=True).check().result
    assert not stock["active"] and ours["active"]
    assert stock["records"] == 0 and ours["records"] >= 1
    return stock, ours


@requires_interceptor
def test_recorder_allocations_move_where_finalizers_run():
    stock, ours = _both(FINALIZER_PROGRAM)
    assert stock["log"] == ["program", "finalizer"]
    # A collection triggered by the recorder's own allocations, in its callbacks
    # around gc.enable() and the append, runs the finalizer before the append.
    assert ours["log"] == ["finalizer", "program"]


@requires_interceptor
def test_recording_a_lazy_module_leaves_it_unloaded():
    stock, ours = _both(LAZY_PROGRAM)
    assert stock["still_lazy"] is True and stock["substitution_raised"] is True
    # Recording new_module()'s result names the module without reading its
    # attributes through its class (the size check does not measure it), so
    # the deferred exec_module still runs at the program's first attribute
    # read, and a substituted module's error is raised there.
    assert ours["still_lazy"] is True and ours["substitution_raised"] is True


@requires_interceptor
def test_recording_runs_no_caching_or_lazy_descriptor():
    stock, ours = _both(DESCRIPTORS_PROGRAM)
    assert stock["program"] == {"reads": [], "obj": ["x"], "net": [], "queries": 10,
                                "relationship_loaded": False}
    # No cached_property filled (own class, inherited, or through a property's
    # getter), no read counted, no relationship loaded again after the commit.
    assert ours["program"] == stock["program"]
    # The property is still read; what the cached and counting descriptors
    # would have computed is left out.
    assert ours["described"] == {"x": 5, "p": 3}
