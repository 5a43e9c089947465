# Cross-compiles for Windows with Debian's MinGW-w64 compilers (the
# -posix ones, which have std::thread and std::recursive_mutex):
# mingw-x86_64.cmake and mingw-i686.cmake name the processor and include
# this file.
# Programs and the DLL link the C++ and thread run-times statically, so they
# need no MinGW DLL beside them. Packages (GoogleTest, zlib) are searched
# for under the MinGW root and under the folder named by the environment
# variable VARNFILE_WINDOWS_PREFIX, where tests/windows/run.sh installs a
# cross-built GoogleTest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VARNFILE_MINGW_ARCH})
set(VARNFILE_MINGW_TRIPLE ${VARNFILE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNFILE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNFILE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNFILE_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VARNFILE_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${VARNFILE_MINGW_TRIPLE} $ENV{VARNFILE_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
