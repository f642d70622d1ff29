import pytest

import postgres_server


@pytest.fixture(scope="session")
def postgres():
    """A PostgreSQL server for the whole session (skipped without Debian's postgresql package)."""
    bin_dir = postgres_server.find_bin_dir()
    if bin_dir is None:
        pytest.skip("PostgreSQL server binaries (initdb, pg_ctl) not found: "
                    "install Debian's postgresql package")
    server = postgres_server.Server(bin_dir)
    try:
        yield server.start()
    finally:
        server.stop()


@pytest.fixture(params=["sqlite", "postgresql"])
def store_location(request, tmp_path):
    """A new, empty store: an SQLite file, or a database of its own on the test server."""
    if request.param == "sqlite":
        return str(tmp_path / "records.db")
    return request.getfixturevalue("postgres").new_database()
