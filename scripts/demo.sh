#!/usr/bin/env bash
# Install the package with its demo extras into .venv/demo and run the demo.
# Arguments are passed to examples/demo.py.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
unset PYTHONPATH

VENV="$REPO/.venv/demo"
if ! { [ -x "$VENV/bin/python" ] && "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; }; then
    rm -rf "$VENV"
    python3 -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --disable-pip-version-check --progress-bar off '.[demo]'
# Running a script puts its own folder, not the checkout, on sys.path, so the
# installed package is the one imported.
exec "$VENV/bin/python" examples/demo.py "$@"
