# Cross-compiling for 64-bit ARM Linux with Debian's GNU cross toolchain
# (g++-aarch64-linux-gnu), as scripts/cross_aarch64.sh does. Programs built
# with it run on an AArch64 machine or under qemu-aarch64 with
# -L /usr/aarch64-linux-gnu.
#
# Libraries and packages (GoogleTest) are looked up only under the target's
# sysroot and under QUORLA_CROSS_PREFIX, where the script installs the
# GoogleTest it builds for the target; the host's x86-64 copies must never be
# picked up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# gcc notes that GCC 10.1 changed how some small structs are passed on
# AArch64. Everything here is built by one compiler, so the note (which
# -Werror would not even turn into an error) is noise in the build log.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Handed down to try_compile projects, which see only these variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORLA_CROSS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
if(QUORLA_CROSS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${QUORLA_CROSS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CMake run the test programs it builds, e.g. for gtest_discover_tests.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
