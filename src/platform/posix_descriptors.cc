#include "platform/posix_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace varnfile {

namespace {

struct Held {
  int descriptor;
  bool gone;  // in a forked child: no longer the parent's file
};

// Opens and closes hold this for reading together with their record; a
// fork holds it for writing, so that it never comes between the two and
// leaves the child a descriptor it does not know of. Writers go first, so
// that a steady stream of opens cannot hold a fork off.
#if defined(__GLIBC__)
#define VARNFILE_FORK_GUARD PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP
#else
#define VARNFILE_FORK_GUARD PTHREAD_RWLOCK_INITIALIZER
#endif
pthread_rwlock_t forkGuard = VARNFILE_FORK_GUARD;
// Guards the record itself, which several opens change at once.
pthread_mutex_t heldLock = PTHREAD_MUTEX_INITIALIZER;
// The system's allocator, not MemAlloc: like the descriptors it lists, the
// record is the system's bookkeeping, and a test that fails the library's
// allocations must not see an open fail for it. Freed when empty.
Held* held = nullptr;
size_t heldCount = 0;
size_t heldCapacity = 0;
// Set in a child whose parent held descriptors when it forked.
std::atomic<bool> forkedAway{false};
pthread_once_t forkHandlers = PTHREAD_ONCE_INIT;

// The parent waits for the child to let go: until then the child still
// references the parent's files, and a close and a new open by the parent
// right after the fork would find them locked. The child closes its end of
// this pipe once it has let go (or when it ends); the parent reads to its
// end. Both ends are -1 when the parent held nothing, or had no pipe.
int letGo[2] = {-1, -1};

void BeforeFork() {
  pthread_rwlock_wrlock(&forkGuard);
  pthread_mutex_lock(&heldLock);
  bool holding = false;
  for (size_t i = 0; i < heldCount && !holding; ++i) holding = !held[i].gone;
  if (holding && ::pipe(letGo) == 0) {
    ::fcntl(letGo[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(letGo[1], F_SETFD, FD_CLOEXEC);
  } else {
    letGo[0] = letGo[1] = -1;
  }
}

void AfterForkInParent() {
  if (letGo[0] >= 0) {
    ::close(letGo[1]);
    char end;
    while (::read(letGo[0], &end, 1) < 0 && errno == EINTR) {
    }
    ::close(letGo[0]);
    letGo[0] = letGo[1] = -1;
  }
  pthread_mutex_unlock(&heldLock);
  pthread_rwlock_unlock(&forkGuard);
}

// The child has one thread now, and may not allocate: only calls that are
// safe after a fork of a threaded process.
void AfterForkInChild() {
  int placeholder = -1;
  for (size_t i = 0; i < heldCount; ++i) {
    if (held[i].gone) continue;
    if (placeholder < 0) placeholder = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder < 0) placeholder = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // With no descriptor to spare (the child is at its limit) the parent's
    // file stays referenced here, but is never used again.
    if (placeholder >= 0) {
      int rc;
      do {
        rc = ::dup2(placeholder, held[i].descriptor);
      } while (rc < 0 && errno == EINTR);
      if (rc >= 0) ::fcntl(held[i].descriptor, F_SETFD, FD_CLOEXEC);
    }
    held[i].gone = true;
    forkedAway.store(true, std::memory_order_relaxed);
  }
  if (placeholder >= 0) ::close(placeholder);
  if (letGo[0] >= 0) {
    ::close(letGo[0]);
    ::close(letGo[1]);
    letGo[0] = letGo[1] = -1;
  }
  // The locks were taken by the thread that forked, which has another id
  // here: they are made anew rather than released.
  const pthread_mutex_t freshMutex = PTHREAD_MUTEX_INITIALIZER;
  const pthread_rwlock_t freshGuard = VARNFILE_FORK_GUARD;
  std::memcpy(&heldLock, &freshMutex, sizeof heldLock);
  std::memcpy(&forkGuard, &freshGuard, sizeof forkGuard);
}

void ListenForFork() {
  // Without the handlers (no memory for them) a child keeps the locks, as
  // it would on a system without pthread_atfork.
  pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

// REQUIRES: heldLock.
bool Record(int descriptor) {
  if (heldCount == heldCapacity) {
    size_t capacity = heldCapacity == 0 ? 16 : heldCapacity * 2;
    void* grown = std::realloc(held, capacity * sizeof(Held));
    if (grown == nullptr) return false;
    held = static_cast<Held*>(grown);
    heldCapacity = capacity;
  }
  held[heldCount++] = Held{descriptor, false};
  return true;
}

// REQUIRES: heldLock.
void Forget(int descriptor) {
  for (size_t i = 0; i < heldCount; ++i) {
    if (held[i].descriptor != descriptor) continue;
    held[i] = held[--heldCount];
    break;
  }
  if (heldCount == 0) {
    std::free(held);
    held = nullptr;
    heldCapacity = 0;
  }
}

}  // namespace

int OpenHeld(const char* name, int flags) {
  pthread_once(&forkHandlers, ListenForFork);
  pthread_rwlock_rdlock(&forkGuard);
  int fd;
  do {
    fd = ::open(name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  int error = errno;
  if (fd >= 0) {
    pthread_mutex_lock(&heldLock);
    bool recorded = Record(fd);
    pthread_mutex_unlock(&heldLock);
    if (!recorded) {
      ::close(fd);
      fd = -1;
      error = ENOMEM;
    }
  }
  pthread_rwlock_unlock(&forkGuard);
  errno = error;
  return fd;
}

int CloseHeld(int descriptor) {
  pthread_rwlock_rdlock(&forkGuard);
  pthread_mutex_lock(&heldLock);
  Forget(descriptor);
  pthread_mutex_unlock(&heldLock);
  // EINTR is not retried: Linux has released the descriptor already.
  int rc = ::close(descriptor) == 0 ? 0 : errno;
  pthread_rwlock_unlock(&forkGuard);
  return rc;
}

bool HeldGone(int descriptor) {
  if (!forkedAway.load(std::memory_order_relaxed)) return false;
  bool gone = false;
  pthread_mutex_lock(&heldLock);
  for (size_t i = 0; i < heldCount; ++i) {
    if (held[i].descriptor == descriptor) {
      gone = held[i].gone;
      break;
    }
  }
  pthread_mutex_unlock(&heldLock);
  return gone;
}

}  // namespace varnfile
