#include "io/paths.h"

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"

namespace varnfile {

bool IsWindowsSeparator(char c) { return c == ':' || c == '/' || c == '\\'; }

#if defined(_WIN32)
bool IsPlatformSeparator(char c) { return IsWindowsSeparator(c); }
#else
bool IsPlatformSeparator(char c) { return c == '/'; }
#endif

uint32_t SplitPathWith(char* path, char* nameOut, uint32_t dirOnly, SeparatorTest isSeparator) {
  // One scan: where the last separator is, and whether it directly follows
  // a non-empty component. A colon never counts as following a name: it
  // ends a drive prefix, which a cut must keep.
  size_t length = 0;
  bool anySeparator = false;
  size_t lastSeparator = 0;
  bool separatorAfterName = false;
  for (; path[length] != '\0'; ++length) {
    char c = path[length];
    if (!isSeparator(c)) continue;
    separatorAfterName = length > 0 && !isSeparator(path[length - 1]) && c != ':';
    anySeparator = true;
    lastSeparator = length;
  }
  size_t nameStart = anySeparator ? lastSeparator + 1 : 0;
  bool nameNonEmpty = nameStart < length;

  if (dirOnly != 0) {
    if (!separatorAfterName || nameNonEmpty) return 0;
    path[lastSeparator] = '\0';
    return 1;
  }
  if (!separatorAfterName && !nameNonEmpty) return 0;
  if (nameOut != nullptr) memmove(nameOut, path + nameStart, length - nameStart + 1);
  path[separatorAfterName ? lastSeparator : nameStart] = '\0';
  return anySeparator ? 1 : 0;
}

uint32_t SplitPath(char* path, char* nameOut, uint32_t dirOnly) {
  return SplitPathWith(path, nameOut, dirOnly, IsPlatformSeparator);
}

char* JoinPathWith(char* directory, const char* name, SeparatorTest isSeparator, char separator) {
  size_t length = strlen(directory);
  if (length > 0 && !isSeparator(directory[length - 1])) directory[length++] = separator;
  strcpy(directory + length, name);
  return directory;
}

char* JoinPath(char* directory, const char* name) {
  return JoinPathWith(directory, name, IsPlatformSeparator, PlatformSeparator);
}

ResultCode CheckAccess(const char* path, int32_t mode) {
  int err = PlatformAccess(path, mode);
  if (err == 0) return ResultOk;
  return err == EACCES ? ResultAccessDenied : ResultOpenFailed;
}

ResultCode MakeDirectory(const char* path) {
  return PlatformMakeDirectory(path) == 0 ? ResultOk : ResultMkdirFailed;
}

ResultCode MakeDirectories(const char* path) {
  size_t length = strlen(path);
  if (length > MaxPathLength) return ResultInvalidArgument;
  ResultCode rc = MakeDirectory(path);
  if (rc == ResultOk) return ResultOk;
  // A directory that is already there is what the caller asked for; this
  // also ends the climb at the first existing ancestor.
  if (PlatformIsDirectory(path)) return ResultOk;
  char parent[MaxPathLength + 1];
  memcpy(parent, path, length + 1);
  // A run of separators at the end names the same directory as one, which
  // the split below then takes off.
  while (length > 1 && IsPlatformSeparator(parent[length - 1]) &&
         IsPlatformSeparator(parent[length - 2])) {
    parent[--length] = '\0';
  }
  if (SplitPath(parent, nullptr, 0) == 0 || parent[0] == '\0') return rc;
  if (MakeDirectories(parent) != ResultOk) return rc;
  // Made here, or meanwhile by another process, or above as the parent when
  // the path ends in separators.
  if (MakeDirectory(path) == ResultOk || PlatformIsDirectory(path)) return ResultOk;
  return rc;
}

}  // namespace varnfile
