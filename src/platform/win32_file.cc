// The file calls on Windows: CreateFileA with the share modes that give
// each access kind its sharing rule, wrapped in a C run-time descriptor by
// _open_osfhandle, then _lseeki64, _read, _write and _close on it.
#include "platform/file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "platform/file_faults.h"

namespace varnfile {

namespace {

// The errno that the C run-time would give for a system error.
int ErrnoFromSystem(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;  // held by another open, as a refused flock says
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

struct OpenShape {
  DWORD access;
  DWORD share;
  DWORD disposition;
  int descriptorFlags;
};

// A read lets other reads in; an update or a create shares nothing, so a
// file that someone else holds is never truncated by CREATE_ALWAYS. The
// exclusive opens also take DELETE access, which shuts out nobody more,
// so that FileRemoveHeld can mark their file through the handle itself.
constexpr DWORD Exclusive = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr OpenShape ReadShape = {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                 _O_RDONLY | _O_BINARY};
constexpr OpenShape UpdateShape = {Exclusive, 0, OPEN_EXISTING, _O_RDWR | _O_BINARY};
constexpr OpenShape CreateShape = {Exclusive, 0, CREATE_ALWAYS,
                                   _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY};
constexpr OpenShape CreateNewShape = {Exclusive, 0, CREATE_NEW, _O_RDWR | _O_CREAT | _O_BINARY};

int OpenShaped(const char* name, const OpenShape& shape, int* descriptor) {
  FaultDecision fault = CountFileCall(FileCallOpen);
  // An injected EINVAL stands for a file system that refuses write-through
  // (ERROR_INVALID_FUNCTION): it fails only the first attempt.
  if (fault.fail && fault.error != EINVAL) return fault.error;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_INVALID_FUNCTION;
  if (!fault.fail) {
    file = CreateFileA(name, shape.access, shape.share, nullptr, shape.disposition,
                       FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE) error = GetLastError();
  }
  if (file == INVALID_HANDLE_VALUE && error == ERROR_INVALID_FUNCTION) {
    file = CreateFileA(name, shape.access, shape.share, nullptr, shape.disposition, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) error = GetLastError();
  }
  if (file == INVALID_HANDLE_VALUE) return ErrnoFromSystem(error);
  // Whether this open made the file: a create that then fails takes it away again.
  const bool made = shape.disposition == CREATE_NEW ||
                    (shape.disposition == CREATE_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS);
  // Only files on a disk: a directory never opens without backup
  // semantics, and devices, pipes and consoles are refused here.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return EINVAL;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), shape.descriptorFlags);
  if (fd < 0) {
    if (made) {
      FILE_DISPOSITION_INFO dispose = {TRUE};
      SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
    }
    CloseHandle(file);
    return EMFILE;
  }
  *descriptor = fd;
  return 0;
}

}  // namespace

int FileOpen(const char* name, FileOpenKind kind, int* descriptor) {
  switch (kind) {
    case FileOpenRead:
      return OpenShaped(name, ReadShape, descriptor);
    case FileOpenUpdate:
      return OpenShaped(name, UpdateShape, descriptor);
    case FileOpenCreate:
      return OpenShaped(name, CreateShape, descriptor);
  }
  return EINVAL;
}

int FileCreateExclusive(const char* name, int* descriptor) {
  return OpenShaped(name, CreateNewShape, descriptor);
}

// A file opened with delete-on-close keeps its name until then: Windows
// has no file without one.
int FileCreateNameless(const char*, int*) { return ENOTSUP; }

int FileSeek(int descriptor, int64_t offset, int whence, int64_t* newPosition) {
  FaultDecision fault = CountFileCall(FileCallSeek);
  if (fault.fail) return fault.error;
  if (whence < 0 || whence > 2) return EINVAL;  // SEEK_SET, SEEK_CUR, SEEK_END
  __int64 result = _lseeki64(descriptor, offset, whence);
  if (result < 0) return errno;
  *newPosition = static_cast<int64_t>(result);
  return 0;
}

int ReadOnce(int descriptor, void* buffer, size_t count, size_t* got) {
  if (count > INT_MAX) count = INT_MAX;
  int n = _read(descriptor, buffer, static_cast<unsigned>(count));
  if (n < 0) return errno;
  *got = static_cast<size_t>(n);
  return 0;
}

// The C runtime has no positioned read: a seek and a read.
int ReadOnceAt(int descriptor, void* buffer, size_t count, int64_t offset, size_t* got) {
  if (offset < 0) return EINVAL;
  if (_lseeki64(descriptor, offset, SEEK_SET) < 0) return errno;
  return ReadOnce(descriptor, buffer, count, got);
}

int WriteAll(int descriptor, const void* buffer, size_t count) {
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    unsigned chunk = count > INT_MAX ? INT_MAX : static_cast<unsigned>(count);
    int n = _write(descriptor, next, chunk);
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    next += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

int FileTruncate(int descriptor, int64_t length) {
  FaultDecision fault = CountFileCall(FileCallTruncate);
  if (fault.fail) return fault.error;
  return _chsize_s(descriptor, length);
}

int FileLinked(int descriptor, bool* linked) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  if (!GetFileInformationByHandle(file, &info)) return ErrnoFromSystem(GetLastError());
  *linked = info.nNumberOfLinks > 0;
  return 0;
}

int FileClose(int descriptor) {
  FaultDecision fault = CountFileCall(FileCallClose);
  // Close even when a fault is injected: the test wants the error, not a
  // leaked descriptor.
  int rc = _close(descriptor) == 0 ? 0 : errno;
  return fault.fail ? fault.error : rc;
}

int FileMapRead(int descriptor, uint64_t size, const void** data) {
  if (size > SIZE_MAX) return EFBIG;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return ErrnoFromSystem(GetLastError());
  // The view keeps the mapping (and the file) alive on its own.
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  DWORD error = view == nullptr ? GetLastError() : 0;
  CloseHandle(mapping);
  if (view == nullptr) return ErrnoFromSystem(error);
  *data = view;
  return 0;
}

void FileUnmap(const void* data, uint64_t) {
  if (data != nullptr) UnmapViewOfFile(data);
}

// Windows has sparse files too, but nothing this library writes makes
// them: every byte counts as data.
int FileFindData(int, int64_t offset, int64_t size, int64_t* dataAt, int64_t* holeAt) {
  *dataAt = offset;
  *holeAt = size;
  return 0;
}

int FileRemove(const char* name) {
  FaultDecision fault = CountFileCall(FileCallRemove);
  if (fault.fail) return fault.error;
  // The system refuses to remove a file that any open holds (a sharing
  // violation), and a read-only one: the attribute goes first.
  _chmod(name, _S_IREAD | _S_IWRITE);
  return DeleteFileA(name) ? 0 : ErrnoFromSystem(GetLastError());
}

int FileRemoveHeld(int descriptor, const char* name) {
  FaultDecision fault = CountFileCall(FileCallRemove);
  if (fault.fail) return fault.error;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  // While this handle holds the file without FILE_SHARE_DELETE nobody can
  // rename or remove it, so the name still leads to it. An exclusive
  // handle marks it: the file goes when the descriptor is closed.
  FILE_DISPOSITION_INFO dispose = {TRUE};
  if (SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose)) return 0;
  DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED) return ErrnoFromSystem(error);
  // A read handle has no DELETE access (asking for it would shut out the
  // other readers): its file is closed first, the descriptor kept on the
  // NUL device for the caller's close, and the name removed, which fails
  // while any other open holds the file.
  int placeholder = _open("NUL", _O_RDONLY | _O_BINARY);
  if (placeholder < 0) return errno;
  int rc = _dup2(placeholder, descriptor) == 0 ? 0 : errno;
  _close(placeholder);
  if (rc != 0) return rc;
  _chmod(name, _S_IREAD | _S_IWRITE);
  return DeleteFileA(name) ? 0 : ErrnoFromSystem(GetLastError());
}

}  // namespace varnfile
