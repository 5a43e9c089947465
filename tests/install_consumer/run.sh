#!/bin/sh
# Installs varnfile into a scratch prefix and builds small consumers against
# the installed tree: through the CMake package (a C++ and a C-only project)
# and through pkg-config, each with the shared and with the static library. Every consumer must build and
# run, the static ones without libvarnfile.so. Checks that the SONAME, the
# CMake package and pkg-config carry the same version, and runs the installed
# tool.
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
"$work/cmake-consumer/consumer_static"

echo "== C-only consumer through find_package(varnfile)"
# No C++ compiler enabled: the static library still brings its C++ runtime.
cmake -S "$here/c" -B "$work/c-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c-consumer" >/dev/null
"$work/c-consumer/c_consumer"
"$work/c-consumer/c_consumer_static"

echo "== consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs varnfile)
echo "pkg-config --cflags --libs varnfile: $flags"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 -o "$work/pc-consumer" "$here/consumer.cc" $flags
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/pc-consumer"

echo "== static consumers need no libvarnfile.so"
static_flags=$(pkg-config --static --cflags --libs varnfile)
echo "pkg-config --static --cflags --libs varnfile: $static_flags"
# shellcheck disable=SC2086
if ! ${CXX:-c++} -std=c++17 -static -o "$work/pc-static-consumer" "$here/consumer.cc" \
  $static_flags 2>"$work/static-link.log"; then
  cat "$work/static-link.log" >&2; exit 1
fi
"$work/pc-static-consumer"
# shellcheck disable=SC2086
if ! ${CC:-cc} -static -o "$work/pc-static-c-consumer" "$here/consumer.c" $static_flags \
  2>"$work/static-c-link.log"; then
  cat "$work/static-c-link.log" >&2; exit 1
fi
"$work/pc-static-c-consumer"
for program in "$work/pc-static-consumer" "$work/pc-static-c-consumer" \
  "$work/cmake-consumer/consumer_static" "$work/c-consumer/c_consumer_static"; do
  if readelf -d "$program" | grep -q 'NEEDED.*libvarnfile'; then
    echo "$program needs libvarnfile.so" >&2; exit 1
  fi
done

echo "== one version everywhere"
version=$(pkg-config --modversion varnfile)
cmake_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
  "$libdir/cmake/varnfile/varnfileConfigVersion.cmake")
soname=$(readelf -d "$libdir/libvarnfile.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
echo "pkg-config $version, CMake package $cmake_version, SONAME $soname"
if [ "$version" != "$cmake_version" ] || [ "$soname" != "libvarnfile.so.${version%%.*}" ]; then
  echo "versions differ" >&2; exit 1
fi
grep -q "^## \[$version\]" "$prefix/share/doc/varnfile/CHANGELOG.md"

echo "== installed tool, manual page and completion"
tool_version=$("$prefix/bin/varnfile" --version)
echo "$tool_version"
echo "$tool_version" | grep -q "^varnfile $version\$" ||
  { echo "the tool's --version does not say $version" >&2; exit 1; }
manpage="$prefix/share/man/man1/varnfile.1"
grep -q "^\.TH VARNFILE 1 .*\"varnfile $version\"" "$manpage"
# Every subcommand of the tool has its section in the manual page, and every
# long option of a subcommand is in that section or under COMMON OPTIONS.
common=$(sed -n '/^\.SH "COMMON OPTIONS"/,/^\.SH COMMANDS/p' "$manpage")
for cmd in $("$prefix/bin/varnfile" --help | sed -n '/^Subcommands:/,$ s/^  \([a-z][a-z-]*\) .*/\1/p'); do
  section=$(awk -v head=".SS \"$cmd" '/^\.SH/ { on = 0 } /^\.SS / { on = index($0, head " ") == 1 || index($0, head "\"") == 1 } on' "$manpage")
  [ -n "$section" ] || { echo "varnfile.1 lacks $cmd" >&2; exit 1; }
  for option in $("$prefix/bin/varnfile" "$cmd" --help |
      sed -n '/^Options:/,/^Run/ s/^ *\(-[^ ]*\).*/\1/p' | tr ',' '\n' | grep '^--'); do
    roff=$(echo "$option" | sed 's/-/\\\\-/g')
    printf '%s\n%s\n' "$section" "$common" | grep -q -- "$roff" ||
      { echo "varnfile.1 lacks $option of $cmd" >&2; exit 1; }
  done
done
if command -v man >/dev/null; then
  man -l "$manpage" 2>/dev/null | grep -q "recover SRC DST"
fi
# The completion offers the installed tool's subcommands.
# shellcheck disable=SC2016
bash -c '. "$1/share/bash-completion/completions/varnfile"
  COMP_WORDS=("$1/bin/varnfile" "ver"); COMP_CWORD=1; _varnfile; [ "${COMPREPLY[*]}" = verify ]' \
  sh "$prefix"
echo "install consumer: all good"
