#!/usr/bin/env bash
# The sanitizer stage: the C++ engine tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the worker pool's tests (and the engine steps
# that run on it) under ThreadSanitizer, and the Python tests against an
# ASan/UBSan build of the module. Every build lives under build/sanitize/,
# so the normal install in the virtual environment is left as it is. Fails on any test failure and on any
# sanitizer report.
#
#   ./scripts/sanitize.sh            all three runs
#   ./scripts/sanitize.sh cpp tsan   only the named runs (cpp, tsan, python)
#
# Extra pytest arguments can be passed in QUORLA_SANITIZE_PYTEST_ARGS.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

VENV=${QUORLA_VENV:-$ROOT/.venv}
OUT=$ROOT/build/sanitize
LOGS=$OUT/logs
RUNS=("$@")
[ ${#RUNS[@]} -eq 0 ] && RUNS=(cpp tsan python)

# Reports go to files as well as ending the process: a report from a child
# process whose exit status a test does not look at (or expects to be
# non-zero) still leaves a file, and any file fails the stage.
rm -rf "$LOGS"
mkdir -p "$LOGS"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan"
ASAN_COMMON="halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
ASAN_COMMON+=":check_initialization_order=1:log_path=$LOGS/asan"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$LOGS/tsan"

check_logs() {
    local found=0 file
    for file in "$LOGS"/*; do
        [ -e "$file" ] || continue
        found=1
        echo "---- sanitizer report: $file" >&2
        cat "$file" >&2
    done
    if [ "$found" -ne 0 ]; then
        echo "sanitizer reports found (see above)" >&2
        LOGS_SHOWN=1
        return 1
    fi
}
LOGS_SHOWN=0

# A failed command ends the script through set -e; the reports behind it
# are shown on the way out.
trap 'status=$?; [ "$status" -ne 0 ] && [ "$LOGS_SHOWN" -eq 0 ] && { check_logs || true; }; exit "$status"' EXIT

ensure_gtest() {
    [ -f /usr/include/gtest/gtest.h ] && return
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get install -y -q libgtest-dev >/dev/null 2>&1 ||
        { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q libgtest-dev >/dev/null; }
}

# configure_and_build DIR SANITIZERS [cmake options...]
configure_and_build() {
    local dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLA_SANITIZE="$sanitizers" "$@" >/dev/null
    cmake --build "$dir" --parallel 2 >/dev/null
}

timed() {
    local label=$1 start=$SECONDS
    shift
    echo "== $label"
    "$@"
    check_logs
    echo "   $label: passed in $((SECONDS - start)) s"
}

run_cpp_asan() {
    ensure_gtest
    configure_and_build "$OUT/asan-cpp" address,undefined -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_TESTS=ON
    ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" "$OUT/asan-cpp/quorla_engine_tests" --gtest_brief=1
}

run_pool_tsan() {
    ensure_gtest
    configure_and_build "$OUT/tsan-cpp" thread -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_TESTS=ON
    # The pool's own suites, then the engine steps that run on it (label
    # step, mean update, medoids, assignment's pool use, per-thread
    # generators), where a race in the work split would show.
    local pool='ThreadCountRules.*:PoolStates.*:PoolLoops*:*/PoolLoops.*:GlobalPool.*'
    local users='*LabelStep.*:Train.*:*/TrainModes.*:UpdateMedoids.*:MedoidTraining.*'
    users+=':*/Levels.AssignmentOnAPool*:*/Levels.LabelsDoNotDependOnThePoolSize*'
    users+=':ThreadRandomPerThread.*:*/Levels.PoolsWithMoreWorkersThanTiles*:TrainingStops.*:MemberSums.*'
    users+=':Search.*'
    "$OUT/tsan-cpp/quorla_engine_tests" --gtest_brief=1 --gtest_filter="$pool:$users"
}

run_python_asan() {
    make_venv "$VENV"
    # Only the test dependencies: the module under test is the one built here.
    local deps
    deps=$("$VENV/bin/python" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
    # shellcheck disable=SC2086
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check $deps
    configure_and_build "$OUT/asan-module" address,undefined -DQUORLA_BUILD_MODULE=ON -DQUORLA_BUILD_TESTS=OFF \
        -DPython_EXECUTABLE="$VENV/bin/python"

    # libstdc++ is preloaded next to the runtime: the interpreter does not
    # link it, so without it ASan finds no __cxa_throw to wrap when it starts
    # and stops the process at the module's first C++ exception.
    local runtime
    runtime="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
    # The interpreter itself is not built with ASan and keeps memory until
    # exit, so leak detection is off here; tests/python/test_leaks.py checks
    # the module's own references and memory. PYTHONMALLOC=malloc_debug sends
    # Python's objects through malloc (where ASan sees them) and adds the
    # interpreter's own checks for misused memory APIs.
    local -a env=(
        LD_PRELOAD="$runtime"
        ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0"
        PYTHONMALLOC=malloc_debug
        PYTHONFAULTHANDLER=1
        # The pure-Python estimator (quorla_sklearn) from this checkout, on
        # top of the sanitized extension.
        PYTHONPATH="$OUT/asan-module:$ROOT/python"
        QUORLA_SANITIZED=address,undefined
    )
    local where
    where=$(env "${env[@]}" "$VENV/bin/python" -c '
import numpy, quorla
assert float(numpy.arange(4, dtype=numpy.float32).sum()) == 6.0  # NumPy works under the preloaded runtime
print(quorla.__file__)')
    case "$where" in
        "$OUT/asan-module/"*) ;;
        *) echo "the sanitized module was not the one imported: $where" >&2; return 1 ;;
    esac
    # shellcheck disable=SC2086
    env "${env[@]}" "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python ${QUORLA_SANITIZE_PYTEST_ARGS:-}
}

for run in "${RUNS[@]}"; do
    case "$run" in
        cpp) timed "C++ engine tests, ASan + UBSan" run_cpp_asan ;;
        tsan) timed "worker pool tests and the engine steps on it, TSan" run_pool_tsan ;;
        python) timed "Python tests against the ASan + UBSan module" run_python_asan ;;
        *) echo "unknown run '$run' (cpp, tsan, python)" >&2; exit 2 ;;
    esac
done
