#!/usr/bin/env bash
# The main job on a fresh machine: installs the project (scripts/setup_env.sh),
# records the bundled example project and shows what was recorded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup_env.sh
store=${CORVANE_DEMO_STORE:-demo-records.db}
rm -f "$store" "$store-wal" "$store-shm"
cc() { .venv/bin/python -m corvane_collector "$@"; }

echo "== run: the example program, recorded"
cc run --store "$store" --project examples/shop examples/shop/main.py
echo
echo "== list: the recorded functions"
cc list --store "$store"
echo
if cc list --store "$store" --json | grep -q '"function"'; then
  echo "== show: the newest two calls of Cart.total"
  cc show Cart.total --limit 2 --store "$store" || true
  echo "== show: the failed lookup"
  cc show catalogue.lookup --limit 1 --store "$store" || true
fi
echo "== stats: what the collector counted"
cc stats --store "$store"
