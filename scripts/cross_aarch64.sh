#!/usr/bin/env bash
# The AArch64 stage: cross-compiles the engine, its C++ tests, the
# label-step benchmark and the result digest tool (bench/fingerprint.cpp) for
# 64-bit ARM Linux and runs them under qemu-aarch64. On AArch64 the tests run
# every level the target has, scalar and neon, so the NEON kernels are
# checked against the scalar oracle the same way the x86 levels are; the
# digests, printed at every level by this build and by a native one, must
# then agree bit for bit across the two architectures. Nothing here measures
# speed (an emulator's timings say nothing about a real core).
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
# Budget: on 2 cores (AMD EPYC, Zen 4, with another build running beside
# it) the stage took 10 minutes on a fresh machine: the packages, GoogleTest
# and the cross build about 3, the whole test binary 6 under qemu, and the
# digest comparison the rest. No test is filtered out; if one ever grows too slow
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
    -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_TESTS=ON -DQUORLA_BUILD_FINGERPRINT=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
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

# The same seeded trainings and searches on both architectures must give the
# same bits. The vector levels all run one FMA chain per dot
# (tile_kernels.hpp), so neon must print what avx2 and avx512 print, and
# scalar what scalar prints on x86-64; scalar and vector levels differ by
# design wherever their sums decide a near-tie, and always in the keys'
# bits. A NEON level that fell back to the scalar table, or lost its FMA,
# therefore fails here even where every test's tolerance would pass it.
echo "== fingerprint digests: aarch64 under qemu against the native build"
native=$ROOT/build/native-fingerprint
cmake -S . -B "$native" -DQUORLA_BUILD_MODULE=OFF -DQUORLA_BUILD_FINGERPRINT=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" --parallel "$JOBS" --target quorla_fingerprint >/dev/null
"$native/quorla_fingerprint" 2 >"$OUT/fingerprint-native.txt"
"${QEMU[@]}" "$OUT/tests/quorla_fingerprint" 2 >"$OUT/fingerprint-aarch64.txt"

# One line per case and level: case, family (scalar or vector), build,
# level, and the case's lines joined into one word.
blocks() {
    awk -v build="$1" '
        function flush() { if (key != "") print key, body }
        /^case / { flush(); key = $2 " " ($4 == "scalar" ? "scalar" : "vector") " " build " " $4; body = ""; next }
        { gsub(/ /, "_"); body = body $0 ";" }
        END { flush() }' "$2"
}
# compare_digests NATIVE AARCH64: every case's digests agree within each
# family across both builds, neon ran in every case, and somewhere scalar and
# vector digests differ (else the comparison could not tell which table a
# level really ran).
compare_digests() {
    { blocks native "$1"; blocks aarch64 "$2"; } | awk '
    function difference(a, b,    x, y, i) {
      split(a, x, ";"); split(b, y, ";")
      for (i = 1; x[i] == y[i]; i++) {}
      a = "\"" x[i] "\" instead of \"" y[i] "\""
      gsub(/_/, " ", a)
      return a
    }
    { group = $1 " " $2
      if (!(($3, $4) in ran)) { ran[$3, $4] = 1; levels[$3] = levels[$3] " " $4 }
      if ($3 == "aarch64" && $4 == "neon") neon[$1] = 1
      has[group, $3] = 1; cases[$1] = 1
      if (!(group in body)) { body[group] = $5; first[group] = $3 "/" $4 }
      else if ($5 != body[group]) {
        print "case " $1 ": " $3 "/" $4 " differs from " first[group] ": " difference($5, body[group]); bad = 1
      } }
    END {
      n = 0; apart = 0
      for (c in cases) {
        n++
        for (f = 0; f < 2; f++) {
          family = f ? "vector" : "scalar"
          if (!has[c " " family, "native"] || !has[c " " family, "aarch64"]) {
            print "case " c ": no " family " level on one of the builds"; bad = 1
          }
        }
        if (!neon[c]) { print "case " c ": neon did not run"; bad = 1 }
        if (body[c " scalar"] != body[c " vector"]) apart++
      }
      if (n == 0) { print "no digests"; bad = 1 }
      else if (apart == 0) { print "scalar and vector digests agree in every case"; bad = 1 }
      if (bad) exit 1
      printf "%d cases, native:%s, aarch64:%s: each family agrees across builds", n, levels["native"], levels["aarch64"]
      printf " (scalar and vector digests differ in %d)\n", apart
    }'
}
compare_digests "$OUT/fingerprint-native.txt" "$OUT/fingerprint-aarch64.txt" ||
    { echo "the aarch64 build's digests do not match the native build's" >&2; exit 1; }
