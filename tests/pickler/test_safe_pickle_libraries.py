"""The library special cases against the real libraries, and loading in a fresh process."""

import io
import json
import logging
import os
import subprocess
import sys
import textwrap

import pytest
import sqlalchemy
from sqlalchemy import Column, Integer, String, create_engine
from sqlalchemy.orm import Session, declarative_base

from corvane_collector.data_collection.attr_usage import used_attributes
from corvane_common.utils.obj_wrap import SpecialWrapper, UnpicklableObject
from corvane_collector.data_serialization import pickler as P

Base = declarative_base()


class User(Base):
    __tablename__ = "users"
    id = Column(Integer, primary_key=True)
    name = Column(String)


def test_declarative_base_pickles_as_its_rebuild_reference():
    pickler = P.SafePickler(True, io.BytesIO())
    assert pickler.get_dynamic_rebuild_function(Base, type(Base)) == \
        "sqlalchemy.ext.declarative.declarative_base"
    assert pickler.reducer_override(Base) == (
        P.wrap_function, ("sqlalchemy.ext.declarative.declarative_base",))
    loaded = P.safe_pickle_loads(P.safe_pickle(Base))
    assert loaded == SpecialWrapper("sqlalchemy.ext.declarative.declarative_base")
    assert loaded.resolve() is sqlalchemy.ext.declarative.declarative_base
    # a mapped class is not the Base: pickled by reference
    assert P.safe_pickle_loads(P.safe_pickle(User)) is User


def test_session_with_in_memory_sqlite_is_pickled_past_its_unpicklable_members():
    engine = create_engine("sqlite://")
    Base.metadata.create_all(engine)
    with Session(engine) as session:
        session.add(User(name="ada"))
        session.commit()
        user = session.query(User).first()
        assert P.UnpicklableHelpers.special_cases(type(session))
        loaded_session = P.safe_pickle_loads(P.safe_pickle(session))
        loaded_user = P.safe_pickle_loads(P.safe_pickle(user))
    assert type(loaded_session) is Session
    assert loaded_session.autoflush is True
    # the weak-reference identity map could not be pickled: described instead
    assert type(loaded_session.identity_map).__name__ in {"UnpicklableObject", "WeakInstanceDict"}
    assert type(loaded_user) is User and loaded_user.name == "ada"
    engine.dispose()


def test_yaml_mark_and_logger_are_empty_object_wrappers():
    yaml_ext = pytest.importorskip("yaml._yaml")
    pickler = P.SafePickler(True, io.BytesIO())
    mark = yaml_ext.Mark("name", 1, 2, 3, None, None)
    assert pickler.reducer_override(mark) == (P.wrap_object, (yaml_ext.Mark, {}), {})
    logger = logging.getLogger("corvane.libraries")
    used_attributes[id(logger)] = {"name"}
    try:
        # recorded usage comes first (rule order), the logger then keeps its name
        assert pickler.reducer_override(logger) == (P.wrap_object, (logging.Logger, {}),
                                                    {"name": "corvane.libraries"})
    finally:
        del used_attributes[id(logger)]
    assert pickler.reducer_override(logger) == (P.wrap_object, (logging.Logger, {}), {})


class Config:
    pass


def test_environ_is_copied_as_a_plain_dict():
    config = Config()
    config.env = os.environ
    used_attributes[id(config)] = {"env"}
    try:
        func, args, attrs = P.SafePickler(True, io.BytesIO()).reducer_override(config)
        loaded = P.safe_pickle_loads(P.safe_pickle(config))
    finally:
        del used_attributes[id(config)]
    assert type(attrs["env"]) is dict and attrs["env"] == dict(os.environ)
    assert type(loaded.env) is dict and loaded.env == dict(os.environ)


RECORD_MODULE = '''
import threading

class Account:
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance
        self.lock = threading.Lock()

    def deposit(self, amount):
        self.balance += amount

class Refused(Exception):
    def __init__(self, code, why):
        super().__init__(f"{code}: {why}")
        self.code = code

def transfer(a, b, amount):
    return amount
'''

LOADER = '''
import json, sys
from corvane_collector.data_serialization.pickler import safe_pickle_loads
record = safe_pickle_loads(open(sys.argv[1], "rb").read())
account, wrapped, func, error, data = record["args"]
print(json.dumps({
    "account_type": type(account).__name__,
    "account": [account.owner, account.balance],
    "lock": type(account.lock).__name__,
    "lock_type": account.lock.wrapped_type_name(),
    "wrapped_type": wrapped.wrapped_type_name(),
    "wrapped_attrs": wrapped.wrapped_attributes(),
    "wrapped_funcs": sorted(wrapped.wrapped_functions()),
    "func": func.__qualname__,
    "error": [type(error).__name__, list(error.args), error.code],
    "data": data,
}))
'''


def test_records_load_in_a_fresh_process(tmp_path):
    (tmp_path / "recmod.py").write_text(textwrap.dedent(RECORD_MODULE))
    sys.path.insert(0, str(tmp_path))
    try:
        import recmod
        account = recmod.Account("ada", 10)
        other = recmod.Account("bob", 5)
        used_attributes[id(other)] = {"owner", "deposit"}
        try:
            record = {"args": (account, other, recmod.transfer, recmod.Refused(4, "no funds"),
                               {"n": [1, 2.5, "x"]})}
            data = P.safe_pickle(record)
        finally:
            del used_attributes[id(other)]
    finally:
        sys.path.remove(str(tmp_path))
        sys.modules.pop("recmod", None)
    (tmp_path / "record.bin").write_bytes(data)
    (tmp_path / "loader.py").write_text(LOADER)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    result = subprocess.run([sys.executable, str(tmp_path / "loader.py"), str(tmp_path / "record.bin")],
                            capture_output=True, text=True, env=env, timeout=120, cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout)
    assert got == {
        "account_type": "Account",
        "account": ["ada", 10],
        "lock": "UnpicklableObject",
        "lock_type": "_thread.lock",
        "wrapped_type": "recmod.Account",
        "wrapped_attrs": {"owner": "bob"},
        "wrapped_funcs": ["deposit"],
        "func": "transfer",
        "error": ["Refused", ["4: no funds"], 4],
        "data": {"n": [1, 2.5, "x"]},
    }


def test_records_whose_classes_are_missing_still_load(tmp_path):
    (tmp_path / "gone.py").write_text("class Thing:\n    def __init__(self):\n        self.v = 7\n")
    sys.path.insert(0, str(tmp_path))
    try:
        import gone
        data = P.safe_pickle({"thing": gone.Thing(), "plain": [1, 2]})
    finally:
        sys.path.remove(str(tmp_path))
        sys.modules.pop("gone", None)
    loader = ("import sys; from corvane_collector.data_serialization.pickler import safe_pickle_loads\n"
              "r = safe_pickle_loads(open(sys.argv[1], 'rb').read())\n"
              "print(type(r['thing']).__name__, r['thing'].name, r['thing'].v, r['plain'])\n")
    (tmp_path / "record.bin").write_bytes(data)
    result = subprocess.run([sys.executable, "-c", loader, str(tmp_path / "record.bin")],
                            capture_output=True, text=True, timeout=120, cwd="/")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["LoadFailure", "gone.Thing", "7", "[1,", "2]"]
