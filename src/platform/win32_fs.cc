// Existence and directories on Windows: _access, _mkdir and the file's
// attributes.
#include "platform/file_system.h"

#include <windows.h>
#include <direct.h>
#include <io.h>

#include <cerrno>

namespace varnfile {

int PlatformAccess(const char* path, int mode) {
  if (_access(path, mode) == 0) return 0;
  return errno;
}

int PlatformMakeDirectory(const char* path) {
  if (_mkdir(path) == 0) return 0;
  return errno;
}

bool PlatformIsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace varnfile
