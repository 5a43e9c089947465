// File-system calls on paths: existence, directories and the exclusive
// creation of a new file. Each returns 0 or the errno of the failure.
#ifndef VARNFILE_PLATFORM_POSIX_FS_H_
#define VARNFILE_PLATFORM_POSIX_FS_H_

#include <cstdint>

namespace varnfile {

// access(2) with the given mode (0: existence).
int PlatformAccess(const char* path, int mode);
// mkdir(2) with mode 0777 (less the umask).
int PlatformMakeDirectory(const char* path);
// True when path names an existing directory.
bool PlatformIsDirectory(const char* path);
// Creates a file that must not exist yet (O_CREAT | O_EXCL), for reading
// and writing, write-through where the file system allows it, and holding
// the exclusive lock that every created stream holds. EEXIST when a file
// of that name is already there; nothing is ever opened or truncated
// then. On failure no descriptor stays open.
int PlatformCreateExclusive(const char* path, int32_t* descriptor);
// Closes a descriptor that PlatformCreateExclusive returned.
int PlatformCloseDescriptor(int32_t descriptor);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_POSIX_FS_H_
