// File-system calls on paths: existence and directories. Each returns 0
// or the errno of the failure.
#ifndef VARNFILE_PLATFORM_POSIX_FS_H_
#define VARNFILE_PLATFORM_POSIX_FS_H_

namespace varnfile {

// access(2) with the given mode (0: existence).
int PlatformAccess(const char* path, int mode);
// mkdir(2) with mode 0777 (less the umask).
int PlatformMakeDirectory(const char* path);
// True when path names an existing directory.
bool PlatformIsDirectory(const char* path);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_POSIX_FS_H_
