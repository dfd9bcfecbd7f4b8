#!/usr/bin/env bash
# Installs quorla into a virtual environment and runs the quickstart: a real
# clustering run on a built-in data set (or on a .npy file given as argument).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

VENV=${QUORLA_VENV:-$ROOT/.venv}
make_venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check .
exec "$VENV/bin/python" examples/quickstart.py "$@"
