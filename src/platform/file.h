// File calls for the disk streams, implemented once per platform
// (posix_file.cc, win32_file.cc). Every function returns 0 or an errno
// value, never a result code; src/io maps errno to result codes.
// Interrupted calls are retried, short writes are continued, and a failed
// open leaves no descriptor behind.
//
// Sharing: a read open lets other reads in but no update; an update or
// create open is exclusive, within one process as well as across
// processes. On POSIX every open takes a non-blocking flock on its own open
// file description (shared for reading, exclusive otherwise); on Windows the
// share modes of CreateFileA say the same (a sharing violation). An open
// that conflicts gives EWOULDBLOCK on both.
#ifndef VARNFILE_PLATFORM_FILE_H_
#define VARNFILE_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>

namespace varnfile {

enum FileOpenKind : uint32_t {
  FileOpenRead = 0,    // existing file, read only, shared lock
  FileOpenUpdate = 1,  // existing file, read and write, exclusive lock
  FileOpenCreate = 2,  // create or truncate, read and write, exclusive lock
};

// Opens name with O_CLOEXEC and O_DSYNC (retried once without O_DSYNC when
// the file system refuses it with EINVAL), then takes the lock. Create uses
// O_CREAT without O_TRUNC and truncates only once the exclusive lock is
// held, so a file that someone else holds is never cut. A new file gets its
// name already locked where the system can (O_TMPFILE and a link, Linux);
// elsewhere a create that cannot lock the file it made removes it again.
// Directories are refused with EISDIR and every other file that is not
// regular (FIFO, device, socket) with EINVAL, without blocking on it.
int FileOpen(const char* name, FileOpenKind kind, int* descriptor);
// Like FileOpen(FileOpenCreate) but with O_EXCL: an existing file is never
// opened (EEXIST).
int FileCreateExclusive(const char* name, int* descriptor);
// A new, empty file without a name in the folder `folder`, open for reading
// and writing, unlocked and not write-through (a private scratch copy):
// nothing but the descriptor reaches it, and it goes with its last
// descriptor however the process ends. ENOTSUP where the system or the
// file system has no such files (Windows; Linux without O_TMPFILE).
int FileCreateNameless(const char* folder, int* descriptor);
// whence 0: start, 1: current, 2: end. *newPosition gets the new offset.
int FileSeek(int descriptor, int64_t offset, int whence, int64_t* newPosition);
// One read of up to count bytes; *got is what arrived (0 at the end).
int FileRead(int descriptor, void* buffer, size_t count, size_t* got);
// One read of up to count bytes at offset, in one call where the system
// has one (pread). The file position afterwards is unspecified: POSIX
// leaves it, Windows moves it. Counted and faulted as a read.
int FileReadAt(int descriptor, void* buffer, size_t count, int64_t offset, size_t* got);
// Writes all count bytes, continuing after short writes.
int FileWrite(int descriptor, const void* buffer, size_t count);
// Sets the file's length to length bytes (cutting off what lies behind).
int FileTruncate(int descriptor, int64_t length);
// Whether a name still leads to the file: one that was removed, or replaced
// by another under its name, while the descriptor held it has none (on
// POSIX; Windows lets neither happen to a held file).
int FileLinked(int descriptor, bool* linked);
// Closes the descriptor, which also drops its lock.
int FileClose(int descriptor);
// Maps the first size bytes (size > 0) of an open file read-only into
// memory at *data, a private view that later writes to the file need not
// show. The mapping outlives the descriptor; FileUnmap releases it.
int FileMapRead(int descriptor, uint64_t size, const void** data);
void FileUnmap(const void* data, uint64_t size);
// The holes of a sparse file: *dataAt gets the first offset at or after
// `offset` that may hold data, the file's size when none does, and
// *holeAt the first offset at or after *dataAt where a hole begins (the
// size when none does). Bytes of a hole read as zero without being stored.
// Where the system tells no holes, *dataAt is offset and *holeAt the size.
// Moves the descriptor's file position.
int FileFindData(int descriptor, int64_t offset, int64_t size, int64_t* dataAt, int64_t* holeAt);
// Removes name unless another open holds it (EWOULDBLOCK). A file that may
// be removed is first made readable and writable by its owner (0600) when
// no other name reaches it; a symbolic link is removed as a link, and the
// file it leads to keeps its permissions.
int FileRemove(const char* name);
// Removes name while descriptor still holds it, but only when name still
// names the file that descriptor has open (same device and inode) and no
// other open holds it (EWOULDBLOCK). A file that was replaced under the
// name and is linked nowhere else counts as removed; one that only moved
// gives ENOENT. The descriptor stays open; its lock is now exclusive.
int FileRemoveHeld(int descriptor, const char* name);

// ---- test seam ----
//
// Tests can make calls of one kind fail with a chosen errno, and count the
// calls of each kind. The counters and the armed check cost one relaxed
// increment and one load per call; nothing else runs unless a fault is set.

enum FileCallKind : uint32_t {
  FileCallOpen = 0,  // FileOpen, FileCreateExclusive, FileCreateNameless
  FileCallRead,
  FileCallWrite,
  FileCallSeek,
  FileCallClose,
  FileCallRemove,
  FileCallTruncate,
  FileCallKinds,
};

struct FileFault {
  uint64_t failAt;   // the n-th call of the kind from now fails (1 = next); 0: off
  bool sticky;       // every call from the n-th on fails
  int error;         // errno to report; EINVAL on an open fails only its
                     // O_DSYNC attempt, as a file system refusing it would
  // Reads and writes only: the failing call first transfers half of its
  // bytes. A short read then reports success with the shorter count; a
  // short write writes half and then fails with error.
  bool shortTransfer;
  // The failing call ends the process with _exit(error) instead of
  // returning (after its half transfer, if shortTransfer is set): a crash at
  // that call, for crash-consistency tests.
  bool exitProcess;
};

// Arms (or with failAt 0 disarms) the fault for one kind and restarts that
// kind's count of calls towards failAt.
void FileSetFault(FileCallKind kind, const FileFault& fault);
// Disarms every fault.
void FileClearFaults();
// Runs hook(name) in every open between the system's open and the lock
// (nullptr: none), where another process may rename or replace the name.
void FileSetOpenHook(void (*hook)(const char* name));
// Whether a create on Linux makes its new file without a name (O_TMPFILE)
// and names it once it holds the lock (the default), or makes it by name,
// as on a system or file system without nameless files. Windows: no effect.
void FileSetNamelessCreate(bool allowed);
// Calls of a kind since the last FileResetCallCounts (or the start).
uint64_t FileCallCount(FileCallKind kind);
void FileResetCallCounts();

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_FILE_H_
