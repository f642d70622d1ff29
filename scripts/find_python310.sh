#!/usr/bin/env bash
# Prints the path of a CPython 3.10 interpreter, without relying on a pyenv selection.
set -euo pipefail
for cand in "${CORVANE_PYTHON:-}" /root/.pyenv/versions/3.10.*/bin/python3.10 "$HOME"/.pyenv/versions/3.10.*/bin/python3.10 /usr/local/bin/python3.10 /usr/bin/python3.10; do
  if [ -n "$cand" ] && [ -x "$cand" ] && "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
    echo "$cand"; exit 0
  fi
done
if command -v python3.10 >/dev/null 2>&1 && python3.10 -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
  command -v python3.10; exit 0
fi
echo "error: CPython 3.10 not found (set CORVANE_PYTHON to its path)" >&2
exit 1
