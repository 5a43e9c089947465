// A library the CLI tests preload into the tool (LD_PRELOAD, Linux) to make
// one file misbehave as another process or a failing disk would, at a moment
// no test can reach from outside:
//
//   VARNFILE_SHIM_NAME=NAME   the file, by its last path component
//   VARNFILE_SHIM_FAULT=reopen  once a rename (or link) has given a file the
//                               name NAME, every open of NAME fails with EIO:
//                               the file is taken the moment it has its name
//   VARNFILE_SHIM_FAULT=close   every close of a descriptor open for writing
//                               on NAME closes it and then fails with EIO, as
//                               a close that reports a lost write does
// It defines open and open64 both, so it must see them as two functions,
// not one renamed to the other by the build's 64-bit offsets.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* Name(void) { return getenv("VARNFILE_SHIM_NAME"); }

static int Fault(const char* kind) {
  const char* fault = getenv("VARNFILE_SHIM_FAULT");
  return fault != NULL && Name() != NULL && strcmp(fault, kind) == 0;
}

static int IsName(const char* path) {
  if (path == NULL) return 0;
  const char* slash = strrchr(path, '/');
  return strcmp(slash != NULL ? slash + 1 : path, Name()) == 0;
}

static int named = 0;  // a rename or link gave a file the name

static void Renamed(int rc, const char* to) {
  if (rc == 0 && Fault("reopen") && IsName(to)) named = 1;
}

static int RefuseOpen(const char* path) {
  if (!named || !Fault("reopen") || !IsName(path)) return 0;
  errno = EIO;
  return 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define MODE(flags)                                  \
  mode_t mode = 0;                                   \
  if ((flags) & (O_CREAT | O_TMPFILE)) {             \
    va_list args;                                    \
    va_start(args, flags);                           \
    mode = (mode_t)va_arg(args, int);                \
    va_end(args);                                    \
  }

int open(const char* path, int flags, ...) {
  MODE(flags);
  return RefuseOpen(path) ? -1 : REAL(open)(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  MODE(flags);
  return RefuseOpen(path) ? -1 : REAL(open64)(path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...) {
  MODE(flags);
  return RefuseOpen(path) ? -1 : REAL(openat)(dir, path, flags, mode);
}
int openat64(int dir, const char* path, int flags, ...) {
  MODE(flags);
  return RefuseOpen(path) ? -1 : REAL(openat64)(dir, path, flags, mode);
}

int rename(const char* from, const char* to) {
  int rc = REAL(rename)(from, to);
  Renamed(rc, to);
  return rc;
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
  int rc = REAL(renameat)(fromDir, from, toDir, to);
  Renamed(rc, to);
  return rc;
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  int rc = REAL(renameat2)(fromDir, from, toDir, to, flags);
  Renamed(rc, to);
  return rc;
}
int link(const char* from, const char* to) {
  int rc = REAL(link)(from, to);
  Renamed(rc, to);
  return rc;
}

int close(int fd) {
  int failing = 0;
  if (Fault("close")) {
    char byDescriptor[64], path[4096];
    snprintf(byDescriptor, sizeof byDescriptor, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(byDescriptor, path, sizeof path - 1);
    int flags = fcntl(fd, F_GETFL);
    if (n > 0 && flags != -1 && (flags & O_ACCMODE) != O_RDONLY) {
      path[n] = 0;
      failing = IsName(path);
    }
  }
  int rc = REAL(close)(fd);
  if (rc != 0 || !failing) return rc;
  errno = EIO;
  return -1;
}
