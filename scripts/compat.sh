#!/usr/bin/env bash
# The compatibility stage: the Python tests on the other supported CPython
# versions and on the oldest NumPy that pyproject.toml allows. Each run gets
# a virtual environment and a scikit-build-core build directory of its own
# under build/compat/RUN/, installs quorla from this checkout with pip (the
# build always compiles against NumPy 2 headers in pip's isolated build
# environment), pins the NumPy under test and runs pytest. Fails if any run's
# tests fail.
#
#   ./scripts/compat.sh                      the first three runs below (CI)
#   ./scripts/compat.sh py3.12-numpy-oldest  only the named runs
#
# Runs:
#   py3.11-numpy-oldest  CPython 3.11, the oldest NumPy pyproject allows there (a 1.x)
#   py3.13-numpy-newest  CPython 3.13, the newest NumPy
#   py3.13-numpy-oldest  CPython 3.13, the oldest NumPy pyproject allows there
#   py3.12-numpy-oldest  CPython 3.12, the oldest NumPy pyproject allows there
#                        (on request only: scripts/test.sh covers 3.12 with the
#                        newest NumPy, and 3.11's run covers the 1.x ABI)
#
# "Oldest" is the floor that pyproject.toml's dependency declares for that
# interpreter (per-version environment markers), so the floor is what gets
# tested; NumPy is installed from wheels only, and a floor with no wheel for
# that Python fails the run. Interpreters are found like common.sh does, or
# given as PYTHON3_11=/path/to/python3.11, PYTHON3_13=... Extra pytest
# arguments can be passed in QUORLA_COMPAT_PYTEST_ARGS.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

OUT=$ROOT/build/compat
RUNS=("$@")
[ ${#RUNS[@]} -eq 0 ] && RUNS=(py3.11-numpy-oldest py3.13-numpy-newest py3.13-numpy-oldest)
PIP=(-m pip --disable-pip-version-check)

# find_python_version X.Y: an interpreter of CPython X.Y that runs. A pyenv
# shim can exist and refuse to run when X.Y is not the selected version, so
# each candidate is run, and must report the version asked for.
find_python_version() {
    local version=$1 override candidate
    override="PYTHON${version//./_}"
    local -a candidates=()
    if [ -n "${!override:-}" ]; then
        candidates=("${!override}")
    else
        candidates=("$(command -v "python$version" || true)"
                    "$(pyenv prefix "$version" 2>/dev/null || true)/bin/python$version")
        for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version"; do candidates+=("$candidate"); done
        candidates+=("/usr/local/bin/python$version" "/usr/bin/python$version")
    fi
    for candidate in "${candidates[@]}"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ]; then
            echo "$candidate"; return
        fi
    done
    echo "python$version not found; set $override=/path/to/python$version" >&2
    return 1
}

# numpy_floor PYTHON: the lowest NumPy version pyproject.toml's dependencies
# allow on that interpreter (their markers evaluated for it).
numpy_floor() {
    "$1" - <<'EOF'
import tomllib
from packaging.requirements import Requirement
floors = []
for text in tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]:
    requirement = Requirement(text)
    if requirement.name != "numpy" or (requirement.marker and not requirement.marker.evaluate()):
        continue
    floors += [clause.version for clause in requirement.specifier if clause.operator == ">="]
if len(floors) != 1:
    raise SystemExit(f"expected one numpy>= floor for this Python in pyproject.toml, found {floors}")
print(floors[0])
EOF
}

# run_stage NAME PYTHON_VERSION oldest|newest
run_stage() {
    local name=$1 version=$2 which=$3 start=$SECONDS
    local dir=$OUT/$name python venv
    echo "== $name: CPython $version, $which NumPy"
    python=$(find_python_version "$version")
    venv=$dir/venv
    # A new environment every time, so that nothing from an earlier run (a
    # NumPy left behind, an old quorla) is what gets tested.
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" "${PIP[@]}" install --quiet --upgrade pip packaging

    local numpy_req=numpy pin=
    if [ "$which" = oldest ]; then
        pin=$(numpy_floor "$venv/bin/python")
        numpy_req="numpy==$pin"
    fi
    # The test dependencies are resolved together with the NumPy under test,
    # so that those built on NumPy (scikit-learn, SciPy) come in releases
    # that declare support for it, rather than the newest ones being left
    # beside an older NumPy they refuse.
    local deps
    deps=$("$venv/bin/python" -c 'import tomllib; print("\n".join(r for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"] if not r.startswith("numpy")))')
    # quorla is built from this checkout in its own build directory; NumPy
    # comes from a wheel, never a source build.
    # shellcheck disable=SC2086
    "$venv/bin/python" "${PIP[@]}" install --quiet --only-binary=numpy \
        --config-settings=build-dir="$dir/build" . "$numpy_req" $deps

    local headers
    headers=$(grep -rhoE --include=build.ninja --include=flags.make '[^ "]*/numpy/_core/include' "$dir/build" 2>/dev/null | head -n 1 || true)
    [ -n "$headers" ] || { echo "$name: the module was not built against NumPy 2 headers (numpy/_core/include)" >&2; return 1; }
    "$venv/bin/python" - "$pin" "$venv" <<'EOF'
import platform, sys
import numpy, pytest, hypothesis, quorla
pin, venv = sys.argv[1], sys.argv[2]
if pin and numpy.__version__ != pin:
    raise SystemExit(f"NumPy {numpy.__version__} is installed, not the pinned {pin}")
if not quorla.__file__.startswith(venv + "/"):
    raise SystemExit(f"quorla was imported from {quorla.__file__}, not from the stage's environment")
print(f"   CPython {platform.python_version()}, NumPy {numpy.__version__} (run time), quorla {quorla.__version__}, "
      f"pytest {pytest.__version__}, hypothesis {hypothesis.__version__}")
EOF
    echo "   built against NumPy 2 headers: ${headers#-I}"
    # shellcheck disable=SC2086
    (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python ${QUORLA_COMPAT_PYTEST_ARGS:-})
    echo "   $name: passed in $((SECONDS - start)) s"
}

for run in "${RUNS[@]}"; do
    case "$run" in
        py3.11-numpy-oldest) run_stage "$run" 3.11 oldest ;;
        py3.13-numpy-newest) run_stage "$run" 3.13 newest ;;
        py3.13-numpy-oldest) run_stage "$run" 3.13 oldest ;;
        py3.12-numpy-oldest) run_stage "$run" 3.12 oldest ;;
        *) echo "unknown run '$run' (py3.11-numpy-oldest, py3.13-numpy-newest, py3.13-numpy-oldest," \
                "py3.12-numpy-oldest)" >&2; exit 2 ;;
    esac
done
