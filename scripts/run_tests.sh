#!/usr/bin/env bash
# The project's test command (after scripts/setup_env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
