// The few operating-system calls the tests make beyond the library, for
// POSIX and for Windows: the process id, the time zone, directories, a
// file's modification time and read-only mode, and the exit status of a
// shell command.
#ifndef VARNFILE_TESTS_OS_UTIL_H_
#define VARNFILE_TESTS_OS_UTIL_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#include <direct.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/utime.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace varnfile_test {

#if defined(_WIN32)
inline int ProcessId() { return _getpid(); }
inline void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }
inline void UseUtc() {
  _putenv_s("TZ", "UTC");
  _tzset();
}
inline int MakeDirectory(const std::string& path) { return _mkdir(path.c_str()); }
inline bool PathExists(const std::string& path) { return _access(path.c_str(), 0) == 0; }
// The read-only attribute: the owner's write bit is all Windows keeps.
inline int MakeReadOnly(const std::string& path) { return _chmod(path.c_str(), _S_IREAD); }
inline int SetModifiedTime(const std::string& path, int64_t seconds) {
  struct __utimbuf64 times = {seconds, seconds};
  return _utime64(path.c_str(), &times);
}
inline int64_t ModifiedTime(const std::string& path) {
  struct __stat64 info;
  return _stat64(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}
// std::system returns the command's exit code.
inline int ExitStatus(int raw) { return raw; }

// Windows lets no second open read a file that is held for update or
// create. A test that looks at the bytes of a file this process holds so
// reads them (up to length bytes from offset) through the holding
// descriptor, found by the file's full name; the descriptor's position is
// kept. False when no descriptor of this process holds the file.
inline bool ReadHeldFile(const std::string& path, std::string* bytes, int64_t offset = 0,
                         size_t length = SIZE_MAX) {
  char full[MAX_PATH];
  if (GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr) == 0) return false;
  for (int fd = 3; fd < 512; ++fd) {
    intptr_t handle = _get_osfhandle(fd);
    if (handle == -1 || handle == -2) continue;
    char name[MAX_PATH + 8];
    DWORD n = GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(handle), name, sizeof name, 0);
    if (n == 0 || n >= sizeof name) continue;
    const char* held = std::strncmp(name, "\\\\?\\", 4) == 0 ? name + 4 : name;
    if (_stricmp(held, full) != 0) continue;
    __int64 position = _lseeki64(fd, 0, SEEK_CUR);
    bytes->clear();
    char chunk[4096];
    int got;
    for (_lseeki64(fd, offset, SEEK_SET); bytes->size() < length &&
         (got = _read(fd, chunk, static_cast<unsigned>(
                                     std::min(sizeof chunk, length - bytes->size())))) > 0;)
      bytes->append(chunk, static_cast<size_t>(got));
    _lseeki64(fd, position, SEEK_SET);
    return true;
  }
  return false;
}
#else
inline int ProcessId() { return getpid(); }
inline void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }
inline void UseUtc() {
  setenv("TZ", "UTC", 1);
  tzset();
}
inline int MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777); }
inline bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
inline int MakeReadOnly(const std::string& path) { return chmod(path.c_str(), 0444); }
inline int SetModifiedTime(const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0);
}
inline int64_t ModifiedTime(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}
// The exit status of a shell that exited, else -1.
inline int ExitStatus(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
#endif

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_OS_UTIL_H_
