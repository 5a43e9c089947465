#include "platform/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace varnfile {

int PlatformAccess(const char* path, int mode) {
  if (access(path, mode == 0 ? F_OK : mode) == 0) return 0;
  return errno;
}

int PlatformMakeDirectory(const char* path) {
  if (mkdir(path, 0777) == 0) return 0;
  return errno;
}

bool PlatformIsDirectory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace varnfile
