#include "platform/posix_fs.h"

#include <fcntl.h>
#include <sys/file.h>
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

int PlatformCreateExclusive(const char* path, int32_t* descriptor) {
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
  int fd;
  do {
    fd = open(path, flags | O_DSYNC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == EINVAL) {
    // The file system refuses write-through; retry once without it.
    do {
      fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) return errno;
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    // Someone opened the new file between its creation and the lock; it is
    // theirs now as much as ours, so it is left in place.
    int err = errno;
    close(fd);
    return err;
  }
  *descriptor = fd;
  return 0;
}

int PlatformCloseDescriptor(int32_t descriptor) { return close(descriptor) == 0 ? 0 : errno; }

}  // namespace varnfile
