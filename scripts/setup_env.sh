#!/usr/bin/env bash
# Creates ./.venv with CPython 3.10, the build and test dependencies, and an
# editable install of the project. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
# robin-map-dev for the build; postgresql for the tests of the PostgreSQL store.
if [ ! -f /usr/include/tsl/robin_map.h ] || ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && apt-get install -y -qq robin-map-dev postgresql >/dev/null
  elif [ ! -f /usr/include/tsl/robin_map.h ]; then
    echo "error: tsl/robin_map.h missing: install Debian's robin-map-dev" >&2; exit 1
  else
    echo "warning: no PostgreSQL server binaries: its store tests will be skipped" >&2
  fi
fi
PY=$(bash scripts/find_python310.sh)
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "meson-python>=0.15" "meson>=1.2" ninja "cython>=3.0"
.venv/bin/python -m pip install -q --no-build-isolation -e ".[test,yaml]"
# The start-up hook that records child processes is a .pth file, which a wheel
# install puts into site-packages (see corvane_collector/meson.build); an
# editable install of meson-python installs only its import hook, so link it.
ln -sf "$PWD/corvane_collector/corvane_collector_processes.pth" \
  "$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/"
# The third-party project whose own test suite a scenario test records through
# the collector; fetched now so that running the tests needs no network.
if ! ls .venv/real-projects/toolz-1.0.0.tar.gz >/dev/null 2>&1; then
  .venv/bin/python -m pip download -q --no-deps --no-binary :all: "toolz==1.0.0" -d .venv/real-projects \
    || echo "warning: could not fetch toolz 1.0.0; the real-project scenario test will be skipped" >&2
fi
