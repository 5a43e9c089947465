#include "platform/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool PlatformSameFile(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int PlatformFileSize(const char* path, uint64_t* size) {
  struct stat info;
  if (stat(path, &info) != 0) return errno;
  *size = static_cast<uint64_t>(info.st_size);
  return 0;
}

int PlatformRemoveName(const char* path) { return unlink(path) == 0 ? 0 : errno; }

int PlatformReplaceName(const char* from, const char* to) {
  return rename(from, to) == 0 ? 0 : errno;
}

int PlatformResolvePath(const char* path, char* out, size_t size) {
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return errno;
  size_t length = std::strlen(resolved);
  int error = length < size ? 0 : ERANGE;
  if (error == 0) std::memcpy(out, resolved, length + 1);
  std::free(resolved);
  return error;
}

int PlatformCopyMode(const char* from, const char* to) {
  struct stat st;
  if (stat(from, &st) != 0) return errno;
  return chmod(to, st.st_mode & 07777) == 0 ? 0 : errno;
}

int PlatformTempDirectory(char* out, size_t size) {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp == nullptr || *tmp == 0) tmp = "/tmp";
  size_t length = std::strlen(tmp);
  while (length > 1 && tmp[length - 1] == '/') --length;
  if (length >= size) return ERANGE;
  std::memcpy(out, tmp, length);
  out[length] = 0;
  return 0;
}

}  // namespace varnfile
