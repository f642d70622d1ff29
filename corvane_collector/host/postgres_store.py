"""The record store in a PostgreSQL database, written by many processes on many hosts.

``--store postgresql://user@host/db`` (or ``$CORVANE_STORE``). The tables are
those of the SQLite store (see ``store``), in PostgreSQL's types; the first
writer creates them under an advisory lock, so processes starting together
never race. Writers take row locks in a fixed order (blob hashes sorted) and
a transaction that still meets a deadlock is retried whole. Reading streams
through a server-side cursor.

A password is best kept out of the URL (in ``~/.pgpass`` or ``PGPASSWORD``);
one given in the URL reaches the handler processes through their environment,
never their command line, and messages never show it.
"""

import contextlib
import itertools
import re
import time

from corvane_collector.host import store as store_mod

PG_TYPES = {"id": "BIGSERIAL PRIMARY KEY", "calls_id": "BIGSERIAL PRIMARY KEY", "int": "BIGINT",
            "real": "DOUBLE PRECISION", "blob": "BYTEA"}
CONNECT_TIMEOUT = 10
# Serialises the creation of the tables by writers that start at the same moment.
_SCHEMA_LOCK = 0x636F7276

_cursor_names = itertools.count()


def _sql(sql):
    return sql.replace("?", "%s")


def _message(exc):
    return re.sub(r"\s+", " ", str(exc)).strip() or type(exc).__name__


class PostgresStore(store_mod.StoreLayout):
    """A connection to a store in PostgreSQL, with the interface the store functions use."""

    backend = "postgresql"
    greatest = "greatest"

    def __init__(self, conn, location):
        self._conn = conn
        self.location = location
        self.schema_version = store_mod.SCHEMA_VERSION

    def execute(self, sql, params=()):
        return self._conn.execute(_sql(sql), params)

    def executemany(self, sql, rows):
        rows = list(rows)
        if rows:
            with self._conn.cursor() as cur:
                cur.executemany(_sql(sql), rows)

    @contextlib.contextmanager
    def transaction(self):
        with self._conn.transaction():
            yield

    @staticmethod
    def retryable(exc):
        import psycopg
        return isinstance(exc, (psycopg.errors.DeadlockDetected,
                                psycopg.errors.SerializationFailure))

    def used_bytes(self):
        return self.execute("SELECT pg_database_size(current_database())").fetchone()[0]

    def stream(self, sql, params=()):
        with self._conn.transaction():
            with self._conn.cursor(name=f"corvane_read_{next(_cursor_names)}") as cur:
                cur.itersize = 200
                cur.execute(_sql(sql), params)
                yield from cur

    def handler_location(self):
        """The URL and environment for a handler process: the password travels in the environment."""
        url, password = store_mod.split_password(self.location)
        return url, ({"PGPASSWORD": password} if password is not None else {})

    def close(self):
        self._conn.close()


def open_store(location, create=False, readonly=False):
    shown = store_mod.display_location(location)
    try:
        import psycopg
    except ImportError:
        raise store_mod.StoreError(
            f"cannot open the record store {shown}: the psycopg package is not installed") from None
    try:
        conn = psycopg.connect(location, autocommit=True, connect_timeout=CONNECT_TIMEOUT)
    except psycopg.Error as exc:
        raise store_mod.StoreError(f"cannot connect to the record store {shown}: "
                                   f"{_message(exc)}") from None
    except Exception as exc:  # noqa: BLE001 - a malformed URL
        raise store_mod.StoreError(f"bad record store URL {shown}: {_message(exc)}") from None
    pg = PostgresStore(conn, location)
    try:
        if readonly:
            pg.execute("SET default_transaction_read_only = on")
        _check_or_init(pg, shown, may_init=create and not readonly)
    except store_mod.StoreError:
        conn.close()
        raise
    except psycopg.Error as exc:
        conn.close()
        raise store_mod.StoreError(f"cannot use the record store {shown}: {_message(exc)}") from None
    return pg


def _has_table(pg, name):
    # A query of the catalog, not to_regclass(): its cache may not yet show a
    # table that another writer created while we waited for the lock.
    return pg.execute("SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_tables WHERE "
                      "schemaname = current_schema() AND tablename = ?)", (name,)).fetchone()[0]


def _has_test(pg):
    return pg.execute("SELECT EXISTS (SELECT 1 FROM information_schema.columns WHERE "
                      "table_schema = current_schema() AND table_name = 'calls' AND "
                      "column_name = 'test')").fetchone()[0]


def _check_or_init(pg, shown, may_init):
    if not _has_table(pg, "meta"):
        if not may_init:
            raise store_mod.StoreError(f"{shown} holds no record store (nothing was recorded into it)")
        with pg.transaction():
            pg.execute("SELECT pg_advisory_xact_lock(?)", (_SCHEMA_LOCK,))
            if not _has_table(pg, "meta"):
                for statement in store_mod.schema_statements(
                        store_mod.V1_TABLES + ";" + store_mod.V2_CHANGES + ";"
                        + store_mod.PROCESS_TABLE, PG_TYPES):
                    pg.execute(statement)
                pg.execute("INSERT INTO meta VALUES ('schema_version', ?), ('created', ?)",
                           (str(store_mod.SCHEMA_VERSION), repr(time.time())))
    pg.schema_version = store_mod.check_schema_version(pg, shown)
    if may_init and not (_has_test(pg) and _has_table(pg, "processes")):
        # Made before processes were recorded: the first writer adds what is missing.
        with pg.transaction():
            pg.execute("SELECT pg_advisory_xact_lock(?)", (_SCHEMA_LOCK,))
            pg.execute("ALTER TABLE calls ADD COLUMN IF NOT EXISTS test TEXT")
            for statement in store_mod.schema_statements(store_mod.PROCESS_TABLE, PG_TYPES):
                pg.execute(statement)
    pg.has_test = _has_test(pg)
    pg.has_processes = _has_table(pg, "processes")
