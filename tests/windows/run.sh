#!/bin/bash
# The Windows stage: installs the MinGW-w64 compilers and Wine (Debian
# packages), cross-builds GoogleTest, builds varnfile.dll, the tool
# varnfile.exe and the tests for x86_64 and i686, checks that each DLL
# exports exactly the 34 names of src/api/varnfile.def and needs no MinGW run-time DLL, and runs
# the x86_64 tests under wine64 through ctest. The i686 programs are built
# but not run (a kernel without 32-bit emulation cannot run them; elsewhere
# `ctest` in <root>/i686 runs them under wine).
#   tests/windows/run.sh [build-root]     (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=${1:-build-windows}
case "$root" in /*) ;; *) root="$PWD/$root" ;; esac
started=$(date +%s)

packages="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine libz-mingw-w64-dev
  libgtest-dev libcli11-dev cmake make"
need=""
for pkg in $packages; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need="$need $pkg"
done
if [ -n "$need" ]; then
  echo "installing:$need"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends $need) >/dev/null
fi

# Wine: a prefix of this build; the server and the prefix come up first,
# with their output redirected, or test discovery waits on the pipe they
# keep open.
export WINEDEBUG=-all WINEPREFIX="$root/wine"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true  # already up for this prefix
# A persistent server (-p) never leaves on its own: stop it when the stage
# ends, or it stays behind, using CPU, after the build folder is gone.
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1

exports_of() {  # the export names of a DLL, one a line, sorted
  "$1-objdump" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}
expected=$(sed -n 's/^  \(VARNFile[A-Za-z]*\)@[0-9]*$/\1/p' src/api/varnfile.def | sort)

for arch in x86_64 i686; do
  triple=$arch-w64-mingw32
  deps="$root/deps-$arch"
  # GoogleTest from Debian's sources, and CLI11 (headers only) beside it.
  if [ ! -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$root/gtest-$arch" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" -DBUILD_GMOCK=OFF \
      -DCMAKE_INSTALL_PREFIX="$deps" >/dev/null
    cmake --build "$root/gtest-$arch" -j2 >/dev/null
    cmake --install "$root/gtest-$arch" >/dev/null
  fi
  mkdir -p "$deps/include" "$deps/share/cmake"
  cp -r /usr/include/CLI "$deps/include/"
  cp -r /usr/share/cmake/CLI11 "$deps/share/cmake/"
  export VARNFILE_WINDOWS_PREFIX="$deps"

  # Only x86_64 programs run here: the i686 tests are listed when ctest
  # runs, not when they are built.
  run_flags=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64)
  [ "$arch" = i686 ] && run_flags=(-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST)
  cmake -S . -B "$root/$arch" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVARNFILE_BENCH=OFF \
    -DZLIB_LIBRARY="/usr/$triple/lib/libz.a" \
    "${run_flags[@]}" >/dev/null
  cmake --build "$root/$arch" -j2 >"$root/build-$arch.log" 2>&1 || {
    tail -50 "$root/build-$arch.log"; exit 1; }

  dll="$root/$arch/varnfile.dll"
  if [ "$(exports_of "$triple" "$dll")" != "$expected" ]; then
    echo "varnfile.dll ($arch) does not export exactly the names of src/api/varnfile.def:" >&2
    diff <(echo "$expected") <(exports_of "$triple" "$dll") >&2 || true
    exit 1
  fi
  imports=$("$triple-objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u | tr '\n' ' ')
  case "$imports" in
    "KERNEL32.dll msvcrt.dll ") ;;
    *) echo "varnfile.dll ($arch) imports $imports(expected only KERNEL32 and msvcrt)" >&2; exit 1 ;;
  esac
  echo "varnfile.dll ($arch): $(echo "$expected" | wc -l) exports, undecorated; imports $imports"
done

cd "$root/x86_64"
# Wine now and then fails to start a program while another starts (a test
# that "fails" in a few milliseconds without a line of output): a failed
# test runs once more, and ctest's log shows both runs. The Linux stages
# run every test once.
ctest -j2 --timeout 600 --output-on-failure --repeat until-pass:2
echo "Windows stage: $(( $(date +%s) - started )) s"
