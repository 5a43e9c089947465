#!/bin/sh
# The test suite as a 32-bit (i386) Linux build, for what a 32-bit size_t,
# pointer, long, off_t and time_t would break: files and positions past
# 2 GiB, memory files at the edge of the address space, dates past 2038.
# The 32-bit Windows DLL has the same widths. Optional: make test and CI do
# not run it.
#
#   sh tests/m32.sh [--asan] [BUILD_DIR]     (default build-m32, build-m32-asan)
#
# Needs g++-multilib, lib32z1-dev and the GoogleTest sources in
# /usr/src/googletest (googletest), which it builds with -m32 first. On one
# core: about 5 minutes to build and 2 to 3 to run; with --asan (AddressSanitizer
# and UndefinedBehaviorSanitizer) about 8 and 9. JOBS sets the build's
# parallelism (default 1). The Python package's tests are left out: the
# system's 64-bit python3 cannot load a 32-bit library. One test skips
# itself: the tool maps a file whole, and a 32-bit process has no room for
# one of 4 GiB.
set -eu

asan=OFF
if [ "${1:-}" = "--asan" ]; then
  asan=ON
  shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-m32$([ "$asan" = ON ] && echo -asan || true)}
jobs=${JOBS:-1}
gtest_src=${GTEST_SOURCE:-/usr/src/googletest}

for need in /usr/lib32/libz.so /usr/lib/gcc/x86_64-linux-gnu/*/32/libstdc++.so "$gtest_src/CMakeLists.txt"; do
  if [ ! -e "$need" ]; then
    echo "m32.sh: $need is missing (apt-get install g++-multilib lib32z1-dev googletest)" >&2
    exit 1
  fi
done

mkdir -p "$build"
build=$(cd "$build" && pwd)  # CMake takes a relative prefix path from its build folder
if [ ! -e "$build/gtest/lib/libgtest.a" ]; then
  cmake -S "$gtest_src" -B "$build/gtest-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_INSTALL_PREFIX="$build/gtest" >/dev/null
  cmake --build "$build/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$build/gtest-build" >/dev/null
fi

type=RelWithDebInfo
[ "$asan" = ON ] && type=Debug
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=$type -DVARNFILE_SANITIZE=$asan -DVARNFILE_BENCH=OFF \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32 \
  -DCMAKE_SHARED_LINKER_FLAGS=-m32 -DCMAKE_PREFIX_PATH="$build/gtest" \
  -DZLIB_LIBRARY=/usr/lib32/libz.so -DZLIB_INCLUDE_DIR=/usr/include >/dev/null
cmake --build "$build" -j "$jobs"
cd "$build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -E '^python_package$'
