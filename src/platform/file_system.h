// File-system calls on paths: existence, directories, names and sizes,
// implemented once per platform. Each returns 0 or the errno of the failure.
#ifndef VARNFILE_PLATFORM_FILE_SYSTEM_H_
#define VARNFILE_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>

namespace varnfile {

// access(2) or _access with the given mode (0: existence).
int PlatformAccess(const char* path, int mode);
// mkdir(2) with mode 0777 (less the umask), or _mkdir.
int PlatformMakeDirectory(const char* path);
// True when path names an existing directory.
bool PlatformIsDirectory(const char* path);
// True when the system takes path for a device by its name, whatever the
// folder holds: on Windows NUL, CON, AUX, PRN, COM1-COM9 and LPT1-LPT9 in
// any case, with any extension, in any folder (the system opens \\.\NAME
// for them), and \\.\NAME itself. POSIX reserves no name (its devices are
// files, such as /dev/null): false.
bool PlatformIsDeviceName(const char* path);
// True when both paths name the same existing file (device and inode, or
// volume and file index).
bool PlatformSameFile(const char* a, const char* b);
// The size in bytes of the file at path, also while others hold it.
int PlatformFileSize(const char* path, uint64_t* size);
// Removes the name at once, without the lock check of FileRemove. POSIX
// removes it also while opens hold the file (they keep it until they
// close) and does so with unlink alone, so a signal handler may call it;
// Windows refuses a file that any open holds (EWOULDBLOCK).
int PlatformRemoveName(const char* path);
// Gives the file at `from` the name `to`, in place of the file that had it:
// rename(2), or MoveFileExA with write-through on Windows, which refuses a
// file that any open holds (EWOULDBLOCK).
int PlatformReplaceName(const char* from, const char* to);
// Gives the file at `from` the name `to` only while that name is free:
// EEXIST, and nothing renamed, when a file has it. The test and the rename
// are one step (renameat2 with RENAME_NOREPLACE, or a hard link and the
// removal of `from` where the file system has no such rename; MoveFileExA
// without replacing on Windows).
int PlatformRenameNew(const char* from, const char* to);
// The file a path leads to, through symbolic links (realpath); Windows
// gives the path as it is. ERANGE when it does not fit.
int PlatformResolvePath(const char* path, char* out, size_t size);
// Gives `to` the permission bits of `from` (POSIX; nothing on Windows).
int PlatformCopyMode(const char* from, const char* to);
// True when c begins a two-byte character of the code page that paths are
// given in, so that the byte after it is part of that character: on
// Windows a lead byte of the ANSI code page (IsDBCSLeadByte); never on
// POSIX, where paths are UTF-8 or single bytes.
bool PlatformIsLeadByte(char c);
// The folder for temporary files, without a trailing separator: $TMPDIR
// or /tmp on POSIX, GetTempPathA on Windows. ERANGE when it does not fit.
int PlatformTempDirectory(char* out, size_t size);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_FILE_SYSTEM_H_
