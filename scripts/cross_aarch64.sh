#!/usr/bin/env bash
# The AArch64 stage: cross-compiles the engine, its C++ tests and the
# label-step benchmark for 64-bit ARM Linux and runs them under qemu-aarch64.
# On AArch64 the tests run every level the target has, scalar and neon, so
# the NEON kernels are checked against the scalar oracle the same way the
# x86 levels are; nothing here measures speed (an emulator's timings say
# nothing about a real core).
#
# What it needs (Debian/Ubuntu package names) is installed with apt-get when
# missing: the cross compiler, qemu's user-mode emulator, and GoogleTest's
# sources, which are built for the target once and kept under
# build/aarch64/gtest/ (Debian ships them in /usr/src/googletest).
#
#   ./scripts/cross_aarch64.sh
#
# JOBS sets the build's parallelism (default 2). Extra arguments go to the
# test binary, e.g. --gtest_filter='AllLevels/*' to rerun one group.
#
# Budget: on 2 cores the stage took 2.5 minutes from an empty build/aarch64
# (GoogleTest and the cross build about 1.5, the whole test binary about 1
# under qemu), plus the packages on a fresh machine, so no test is filtered
# out. If one ever grows too slow
# under emulation, exclude it here with --gtest_filter=-Suite.Name and say
# why.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

JOBS=${JOBS:-2}
OUT=$ROOT/build/aarch64
SYSROOT=/usr/aarch64-linux-gnu
GTEST_SRC=/usr/src/googletest
GTEST_PREFIX=$OUT/gtest/install
QEMU=(qemu-aarch64 -L "$SYSROOT")

need=()
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || need+=(qemu-user)
[ -f "$GTEST_SRC/CMakeLists.txt" ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing ${need[*]}"
    SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q >/dev/null
    $SUDO apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi

# GoogleTest for the target: the host's libgtest is x86-64 and useless here.
# Built once; the stamp names the source so that an upgraded package is
# rebuilt.
gtest_stamp="$(cat "$GTEST_SRC/CMakeLists.txt" "$GTEST_SRC/googletest/CMakeLists.txt" | sha256sum | cut -c1-16)"
if [ "$(cat "$OUT/gtest/stamp" 2>/dev/null)" != "$gtest_stamp" ]; then
    echo "== building GoogleTest for aarch64"
    rm -rf "$OUT/gtest"
    cmake -Wno-deprecated -S "$GTEST_SRC" -B "$OUT/gtest/build" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$GTEST_PREFIX" >/dev/null
    cmake --build "$OUT/gtest/build" --parallel "$JOBS" >/dev/null
    cmake --install "$OUT/gtest/build" >/dev/null
    echo "$gtest_stamp" >"$OUT/gtest/stamp"
fi

echo "== cross-compiling the engine tests for aarch64"
cmake -S . -B "$OUT/tests" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DQUORLA_CROSS_PREFIX="$GTEST_PREFIX" \
    -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$OUT/tests" --parallel "$JOBS"

# The binaries must really be for the target and the target must really
# pick NEON, or every NEON test would be skipped and the stage prove nothing.
aarch64-linux-gnu-readelf -h "$OUT/tests/quorla_engine_tests" | grep -q "AArch64" ||
    { echo "quorla_engine_tests is not an AArch64 binary" >&2; exit 1; }

echo "== label-step benchmark under qemu-aarch64 (a run at every level, not a timing)"
bench=$("${QEMU[@]}" "$OUT/tests/quorla_bench_label" 2000 13 37 2 1)
echo "$bench" | grep -q '"detected": "neon"' || { echo "$bench" >&2; echo "neon was not detected" >&2; exit 1; }
echo "$bench" | grep -q '"level": "neon"' || { echo "$bench" >&2; echo "neon did not run" >&2; exit 1; }

echo "== engine tests under qemu-aarch64"
log=$OUT/engine_tests.log
"${QEMU[@]}" "$OUT/tests/quorla_engine_tests" --gtest_brief=1 "$@" 2>&1 | tee "$log"
if grep -q "neon not available" "$log"; then
    echo "NEON tests were skipped on an AArch64 target" >&2
    exit 1
fi
