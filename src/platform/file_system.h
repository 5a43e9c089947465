// File-system calls on paths: existence and directories, implemented once
// per platform. Each returns 0 or the errno of the failure.
#ifndef VARNFILE_PLATFORM_FILE_SYSTEM_H_
#define VARNFILE_PLATFORM_FILE_SYSTEM_H_

namespace varnfile {

// access(2) or _access with the given mode (0: existence).
int PlatformAccess(const char* path, int mode);
// mkdir(2) with mode 0777 (less the umask), or _mkdir.
int PlatformMakeDirectory(const char* path);
// True when path names an existing directory.
bool PlatformIsDirectory(const char* path);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_FILE_SYSTEM_H_
