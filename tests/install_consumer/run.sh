#!/bin/sh
# Installs varnfile into a scratch prefix and builds a small consumer against
# the installed tree twice: through the CMake package and through pkg-config.
# Both consumers must build and run. Also runs the installed tool.
#
#   tests/install_consumer/run.sh [BUILD_DIR]
#
# With BUILD_DIR (an existing, built CMake build folder) it installs from
# there; without, it configures and builds a fresh Release build first.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/varnfile-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

build=${1:-}
if [ -z "$build" ]; then
  build="$work/build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNFILE_TESTS=OFF \
    -DVARNFILE_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
fi
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's/^/  /')

libdir=$(ls -d "$prefix"/lib* | head -n 1)

echo "== consumer through find_package(varnfile)"
cmake -S "$here" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer"

echo "== consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs varnfile)
echo "pkg-config --cflags --libs varnfile: $flags"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 -o "$work/pc-consumer" "$here/consumer.cc" $flags
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/pc-consumer"

echo "== installed tool"
"$prefix/bin/varnfile" --version
echo "install consumer: all good"
