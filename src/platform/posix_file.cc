// Files reach 4 GiB: offsets must be 64-bit on every target, also where
// the default off_t is 32-bit.
#define _FILE_OFFSET_BITS 64
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_faults.h"
#include "platform/posix_descriptors.h"

namespace varnfile {

static_assert(sizeof(off_t) >= 8, "file offsets beyond 2 GiB need a 64-bit off_t");

namespace {

// ---- helpers ----

int LockRetrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// True when name leads to the file that st describes (an fstat of an open
// descriptor): it was not renamed away, nor another file put in its place.
bool NameReaches(const char* name, const struct stat& st) {
  struct stat named;
  return ::stat(name, &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

// Closes fd on a failure path, keeping the error that caused it.
int Abandon(int fd, int error) {
  CloseHeld(fd);
  return error;
}

// Opens name write-through where the file system allows it; -1 and errno
// when the open fails.
int OpenWriteThrough(const char* name, int flags, bool refuseSync) {
  int fd = -1;
  if (refuseSync) {
    errno = EINVAL;
  } else {
    fd = OpenHeld(name, flags | O_DSYNC);
  }
  // Some file systems refuse synchronous writes; the file is still usable.
  if (fd < 0 && errno == EINVAL) fd = OpenHeld(name, flags);
  return fd;
}

// How a name is opened: an existing file, or a file made for the call.
enum class OpenWay {
  Read,    // an existing file, shared lock
  Update,  // an existing file, exclusive lock
  Create,  // a new file, or an existing one cut to nothing
  New,     // a new file only: EEXIST when the name is taken
};

// Attempts at the lock on a file just made, which a reader may hold for a
// moment; the pauses between them double from 0.1 ms, about 25 ms in all.
constexpr int LockAttempts = 8;

void PauseBeforeAttempt(int attempt) {
  struct timespec pause = {0, 100000L << attempt};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// A failure after the O_EXCL open that made the file: the file goes again,
// so that no empty file is left under the name (every later open would
// find no transaction file there), but only while the name still leads to
// it, it is still empty and no open holds it exclusively. Another create
// or update may have opened the name meanwhile and taken its lock first:
// the file is that one's now and stays. The shared lock taken for the
// check shuts such holders out until the name is gone, and one that locks
// later finds its file without a name and opens the name again. A lock
// refused for another reason than a holder (a file system without flock)
// cannot be held by anybody else either.
int Unmake(int fd, const char* name, int error) {
  struct stat made;
  if (LockRetrying(fd, LOCK_SH) != EWOULDBLOCK && ::fstat(fd, &made) == 0 && made.st_size == 0 &&
      NameReaches(name, made)) {
    ::unlink(name);
  }
  return Abandon(fd, error);
}

// Makes name as a new file with O_EXCL and takes its exclusive lock, where
// no nameless file can be made; EEXIST when the name is taken. The file has
// its name before its lock: a reader that opens it in between holds it for
// a moment (it finds no transaction file and lets go), so the lock is tried
// a few times, and a failure from the open on removes the file again
// (Unmake). *used is set when another create took the file and wrote to it
// before the lock came.
int CreateExclusively(const char* name, bool refuseSync, int* descriptor, bool* moved, bool* used) {
  int fd = OpenWriteThrough(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, refuseSync);
  if (fd < 0) return errno;
  RunOpenHook(name);
  int rc;
  for (int attempt = 0;; ++attempt) {
    rc = LockRetrying(fd, LOCK_EX);
    if (rc != EWOULDBLOCK || attempt + 1 == LockAttempts) break;
    PauseBeforeAttempt(attempt);
  }
  if (rc != 0) return Unmake(fd, name, rc);
  struct stat st;
  if (::fstat(fd, &st) != 0) return Unmake(fd, name, errno);
  if (!NameReaches(name, st)) {
    *moved = true;
    return Abandon(fd, EWOULDBLOCK);
  }
  *used = st.st_size != 0;
  *descriptor = fd;
  return 0;
}

// What CreateNameless gives when the system or the file system cannot make
// a nameless file and name it: the file is then made by name.
constexpr int NoNameless = -1;

#if defined(__linux__) && defined(O_TMPFILE)
// The umask of this process, read without changing it (which umask(2)
// would do under the other threads); -1 where the system does not tell.
int CurrentUmask() {
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[1024];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* line = std::strstr(text, "\nUmask:");
  return line == nullptr ? -1 : static_cast<int>(std::strtol(line + 7, nullptr, 8));
}

// Makes the new file without a name in name's folder (O_TMPFILE), takes its
// lock, and only then links it under name: no other open can reach the
// file before it is held, and a failure on the way leaves nothing under
// the name. EEXIST when the name is taken.
int CreateNameless(const char* name, bool refuseSync, int* descriptor) {
  const size_t length = std::strlen(name);
  if (!NamelessCreateAllowed() || length == 0 || name[length - 1] == '/') return NoNameless;
  char folder[PATH_MAX];
  const char* slash = std::strrchr(name, '/');
  const size_t folderLength = slash == nullptr ? 0 : slash == name ? 1 : static_cast<size_t>(slash - name);
  if (folderLength >= sizeof folder) return NoNameless;
  std::memcpy(folder, slash == nullptr ? "." : name, slash == nullptr ? 1 : folderLength);
  folder[slash == nullptr ? 1 : folderLength] = '\0';
  int fd = OpenWriteThrough(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, refuseSync);
  if (fd < 0) return NoNameless;
  // The mode must be the one an open by name gives. Older kernels did not
  // apply the umask to nameless files on file systems without ACLs: a file
  // with bits that the umask takes away is made by name instead.
  struct stat st;
  const int mask = CurrentUmask();
  if (mask < 0 || ::fstat(fd, &st) != 0 || (st.st_mode & static_cast<mode_t>(mask) & 0777) != 0) {
    return Abandon(fd, NoNameless);
  }
  int rc = LockRetrying(fd, LOCK_EX);
  if (rc != 0) return Abandon(fd, rc);
  char byDescriptor[32];
  std::snprintf(byDescriptor, sizeof byDescriptor, "/proc/self/fd/%d", fd);
  rc = ::linkat(AT_FDCWD, byDescriptor, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
  // Without /proc, a process with CAP_DAC_READ_SEARCH may link the
  // descriptor itself.
  if (rc == ENOENT) rc = ::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
  if (rc != 0) return Abandon(fd, rc == EEXIST ? EEXIST : NoNameless);
  *descriptor = fd;
  return 0;
}
#else
int CreateNameless(const char*, bool, int*) { return NoNameless; }
#endif

// Opens name and takes the lock, once. The lock comes after the open: a
// name that in between was given to another file, or taken away (another
// process renamed its finished file into place, or this file elsewhere),
// leaves the descriptor on a file that the name no longer reaches, and what
// is written there would be lost, or land in a file by another name. Then
// *moved is set and nothing is kept; the caller opens the name again.
//
// A create makes a free name exclusively, as a file that is locked before
// it has the name where it can: the new file is empty and needs no
// truncation. Only a file that already exists is cut to nothing, and a
// failed cut leaves it as it was.
int OpenOnce(const char* name, OpenWay way, bool refuseSync, int* descriptor, bool* moved) {
  bool truncate = false;
  if (way == OpenWay::Create || way == OpenWay::New) {
    bool used = false;
    int rc = CreateNameless(name, refuseSync, descriptor);
    if (rc == NoNameless) rc = CreateExclusively(name, refuseSync, descriptor, moved, &used);
    if (rc == 0 && used) {
      // Another create finished the file before this one had its lock: a
      // create cuts it as any existing file, and a New open leaves it.
      rc = way == OpenWay::New ? EEXIST : FileTruncate(*descriptor, 0);
      if (rc != 0) return Abandon(*descriptor, rc);
    }
    if (rc != EEXIST || way == OpenWay::New) return rc;
    truncate = true;
  }
  const int accessFlags = way == OpenWay::Read     ? O_RDONLY
                          : way == OpenWay::Update ? O_RDWR
                                                   : O_RDWR | O_CREAT;
  int fd = OpenWriteThrough(name, accessFlags | O_CLOEXEC | O_NONBLOCK, refuseSync);
  if (fd < 0) return errno;
  // Only regular files hold transaction files. The open is non-blocking so
  // that a FIFO without a writer (or a device) is refused, not waited on;
  // once the file is known to be regular the flag is cleared again.
  struct stat st;
  if (::fstat(fd, &st) != 0) return Abandon(fd, errno);
  if (S_ISDIR(st.st_mode)) return Abandon(fd, EISDIR);
  if (!S_ISREG(st.st_mode)) return Abandon(fd, EINVAL);
  int statusFlags = ::fcntl(fd, F_GETFL);
  if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
    return Abandon(fd, errno);
  }
  RunOpenHook(name);
  int rc = LockRetrying(fd, way == OpenWay::Read ? LOCK_SH : LOCK_EX);
  if (rc != 0) return Abandon(fd, rc);
  if (!NameReaches(name, st)) {
    *moved = true;
    return Abandon(fd, EWOULDBLOCK);
  }
  if (truncate) {
    rc = FileTruncate(fd, 0);
    if (rc != 0) return Abandon(fd, rc);
  }
  *descriptor = fd;
  return 0;
}

// A name that keeps moving under the open is treated as held by another.
constexpr int OpenAttempts = 4;

int OpenLocked(const char* name, OpenWay way, int* descriptor) {
  FaultDecision fault = CountFileCall(FileCallOpen);
  // An injected EINVAL stands for a file system that refuses O_DSYNC: it
  // fails only the first attempt, so that the retry can be tested.
  if (fault.fail && fault.error != EINVAL) return fault.error;
  int rc = EWOULDBLOCK;
  for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
    bool moved = false;
    rc = OpenOnce(name, way, fault.fail && attempt == 0, descriptor, &moved);
    if (!moved) break;
  }
  return rc;
}

}  // namespace

int FileOpen(const char* name, FileOpenKind kind, int* descriptor) {
  switch (kind) {
    case FileOpenRead:
      return OpenLocked(name, OpenWay::Read, descriptor);
    case FileOpenUpdate:
      return OpenLocked(name, OpenWay::Update, descriptor);
    case FileOpenCreate:
      return OpenLocked(name, OpenWay::Create, descriptor);
  }
  return EINVAL;
}

int FileCreateExclusive(const char* name, int* descriptor) {
  return OpenLocked(name, OpenWay::New, descriptor);
}

int FileCreateNameless(const char* folder, int* descriptor) {
  FaultDecision fault = CountFileCall(FileCallOpen);
  if (fault.fail) return fault.error;
#if defined(__linux__) && defined(O_TMPFILE)
  int fd = OpenHeld(folder, O_TMPFILE | O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    // Kernels and file systems without O_TMPFILE answer in several ways.
    return errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL ? ENOTSUP : errno;
  }
  *descriptor = fd;
  return 0;
#else
  (void)folder;
  (void)descriptor;
  return ENOTSUP;
#endif
}

int FileSeek(int descriptor, int64_t offset, int whence, int64_t* newPosition) {
  FaultDecision fault = CountFileCall(FileCallSeek);
  if (fault.fail) return fault.error;
  if (HeldGone(descriptor)) return EBADF;
  int systemWhence;
  switch (whence) {
    case 0: systemWhence = SEEK_SET; break;
    case 1: systemWhence = SEEK_CUR; break;
    case 2: systemWhence = SEEK_END; break;
    default: return EINVAL;
  }
  off_t result = ::lseek(descriptor, static_cast<off_t>(offset), systemWhence);
  if (result < 0) return errno;
  *newPosition = static_cast<int64_t>(result);
  return 0;
}

int ReadOnce(int descriptor, void* buffer, size_t count, size_t* got) {
  if (HeldGone(descriptor)) return EBADF;
  ssize_t n;
  do {
    n = ::read(descriptor, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  *got = static_cast<size_t>(n);
  return 0;
}

int ReadOnceAt(int descriptor, void* buffer, size_t count, int64_t offset, size_t* got) {
  if (offset < 0) return EINVAL;
  if (HeldGone(descriptor)) return EBADF;
  ssize_t n;
  do {
    n = ::pread(descriptor, buffer, count, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  *got = static_cast<size_t>(n);
  return 0;
}

int WriteAll(int descriptor, const void* buffer, size_t count) {
  if (HeldGone(descriptor)) return EBADF;
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    ssize_t n = ::write(descriptor, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    next += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

int FileTruncate(int descriptor, int64_t length) {
  FaultDecision fault = CountFileCall(FileCallTruncate);
  if (fault.fail) return fault.error;
  if (HeldGone(descriptor)) return EBADF;
  int rc;
  do {
    rc = ::ftruncate(descriptor, static_cast<off_t>(length)) == 0 ? 0 : errno;
  } while (rc == EINTR);
  return rc;
}

int FileLinked(int descriptor, bool* linked) {
  if (HeldGone(descriptor)) return EBADF;
  struct stat st;
  if (::fstat(descriptor, &st) != 0) return errno;
  *linked = st.st_nlink > 0;
  return 0;
}

int FileClose(int descriptor) {
  FaultDecision fault = CountFileCall(FileCallClose);
  // Close even when a fault is injected: the test wants the error, not a
  // leaked descriptor. EINTR is not retried: Linux has released the
  // descriptor already.
  int rc = CloseHeld(descriptor);
  return fault.fail ? fault.error : rc;
}

int FileMapRead(int descriptor, uint64_t size, const void** data) {
  if (size > SIZE_MAX) return EFBIG;
  if (HeldGone(descriptor)) return EBADF;
  void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, descriptor, 0);
  if (view == MAP_FAILED) return errno;
  *data = view;
  return 0;
}

void FileUnmap(const void* data, uint64_t size) {
  if (data != nullptr) ::munmap(const_cast<void*>(data), static_cast<size_t>(size));
}

int FileFindData(int descriptor, int64_t offset, int64_t size, int64_t* dataAt, int64_t* holeAt) {
  *dataAt = offset;
  *holeAt = size;
  if (HeldGone(descriptor)) return EBADF;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
  off_t data = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) *dataAt = size;  // nothing but a hole from offset on
    return errno == ENXIO || errno == EINVAL ? 0 : errno;  // EINVAL: holes unknown here
  }
  *dataAt = data < size ? data : size;
  off_t hole = ::lseek(descriptor, data, SEEK_HOLE);
  if (hole >= 0 && hole < size) *holeAt = hole;
#else
  (void)descriptor;
#endif
  return 0;
}

int FileRemove(const char* name) {
  FaultDecision fault = CountFileCall(FileCallRemove);
  if (fault.fail) return fault.error;
  // The name goes, never what it leads to. A symbolic link is removed as a
  // link; only a regular file that this name alone reaches is made
  // writable for the removal. A link's target, and a file that other hard
  // links reach, keep their permissions: the chmod would change them for
  // everyone else who reaches them.
  struct stat named;
  if (::lstat(name, &named) != 0) return errno;
  const bool link = S_ISLNK(named.st_mode);
  const bool alone = S_ISREG(named.st_mode) && named.st_nlink == 1;
  // Hold an exclusive lock while unlinking: if any open has the file, the
  // lock cannot be had and the file stays (for a link, the file it leads
  // to). A file that cannot even be opened for the check (no read
  // permission) is made accessible first, when this name alone reaches it.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (link ? 0 : O_NOFOLLOW);
  int fd = OpenHeld(name, flags);
  if (fd < 0 && errno == EACCES && alone &&
      ::fchmodat(AT_FDCWD, name, S_IRUSR | S_IWUSR, AT_SYMLINK_NOFOLLOW) == 0) {
    fd = OpenHeld(name, flags);
  }
  if (fd < 0 && link && errno == ENOENT) {
    // A link that leads nowhere holds no file open: it just goes.
    return ::unlink(name) == 0 ? 0 : errno;
  }
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) return Abandon(fd, errno);
  if (S_ISDIR(st.st_mode)) return Abandon(fd, EISDIR);
  int rc = LockRetrying(fd, LOCK_EX);
  if (rc != 0) return Abandon(fd, rc);
  // Still the file the name was looked at as, and still its only name.
  if (alone && st.st_dev == named.st_dev && st.st_ino == named.st_ino &&
      ::fstat(fd, &st) == 0 && st.st_nlink == 1) {
    ::fchmod(fd, S_IRUSR | S_IWUSR);
  }
  rc = ::unlink(name) == 0 ? 0 : errno;
  CloseHeld(fd);
  return rc;
}

int FileRemoveHeld(int descriptor, const char* name) {
  FaultDecision fault = CountFileCall(FileCallRemove);
  if (fault.fail) return fault.error;
  // Exclusive for the check and the unlink: no other open may hold the
  // file, and the name must still lead to the file this descriptor holds.
  // Another process may have renamed a different file over the name; that
  // file is not ours to remove.
  if (HeldGone(descriptor)) return EBADF;
  struct stat held;
  if (::fstat(descriptor, &held) != 0) return errno;
  int rc = LockRetrying(descriptor, LOCK_EX);
  if (rc != 0) return rc;
  if (!NameReaches(name, held)) {
    // Replaced and no longer linked anywhere: it goes with the descriptor.
    if (::fstat(descriptor, &held) == 0 && held.st_nlink == 0) return 0;
    return ENOENT;
  }
  // Made writable for the removal only when no other name reaches it.
  if (::fstat(descriptor, &held) == 0 && held.st_nlink == 1) ::fchmod(descriptor, S_IRUSR | S_IWUSR);
  return ::unlink(name) == 0 ? 0 : errno;
}

}  // namespace varnfile
