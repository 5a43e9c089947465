// Sizes and identities of files up to 4 GiB: stat must be the 64-bit one
// on every target, also where the default off_t is 32-bit (it fails with
// EOVERFLOW on a file past 2 GiB).
#define _FILE_OFFSET_BITS 64
#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varnfile {

static_assert(sizeof(off_t) >= 8, "file sizes beyond 2 GiB need a 64-bit off_t");

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

bool PlatformIsDeviceName(const char*) { return false; }

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

int PlatformRenameNew(const char* from, const char* to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;  // EINVAL: the file system has no such rename
#endif
  if (link(from, to) != 0) {
    // No hard links here either (FAT, some network file systems): the test
    // and the rename are two steps.
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
    if (access(to, F_OK) == 0) return EEXIST;
    return rename(from, to) == 0 ? 0 : errno;
  }
  // Both names lead to the file now; the scratch name goes. Should that
  // fail, the file has its name all the same, and a second name beside it.
  unlink(from);
  return 0;
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

bool PlatformIsLeadByte(char) { return false; }

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
