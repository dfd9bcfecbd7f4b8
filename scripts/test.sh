#!/usr/bin/env bash
# The test command: from a fresh clone, installs quorla with its test
# dependencies into a virtual environment, builds and runs the C++ engine
# tests, then runs the Python tests. Fails if any test fails.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

VENV=${QUORLA_VENV:-$ROOT/.venv}
make_venv "$VENV"

echo "== installing quorla and its test dependencies"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check ".[test]"

echo "== C++ engine tests"
if [ ! -f /usr/include/gtest/gtest.h ]; then
    SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get install -y -q libgtest-dev >/dev/null 2>&1 ||
        { $SUDO apt-get update -q >/dev/null && $SUDO apt-get install -y -q libgtest-dev >/dev/null; }
fi
cmake -S . -B build/cpp-tests -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests --parallel 2
./build/cpp-tests/quorla_engine_tests --gtest_brief=1

echo "== Python tests"
"$VENV/bin/python" -m pytest -q tests/python "$@"

echo "== Python tests on tens of millions of rows"
"$VENV/bin/python" -m pytest -q -m large tests/python "$@"
