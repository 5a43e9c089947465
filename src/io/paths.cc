#include "io/paths.h"

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"

namespace varnfile {

bool IsPosixSeparator(char c) { return c == '/'; }
bool IsWindowsSeparator(char c) { return c == ':' || c == '/' || c == '\\'; }

bool EndsInSeparatorWith(const char* path, const PathSyntax& syntax) {
  // Only a scan from the start tells whether the last byte is a character
  // of its own or the second byte of one.
  bool separator = false;
  for (size_t at = 0; path[at] != '\0'; at = NextCharacter(path, at, syntax)) {
    separator = syntax.isSeparator(path[at]);
  }
  return separator;
}

uint32_t SplitPathWith(char* path, char* nameOut, uint32_t dirOnly, const PathSyntax& syntax) {
  // One scan, a character at a time: where the last separator is, and
  // whether it directly follows a non-empty component. A colon never counts
  // as following a name: it ends a drive prefix, which a cut must keep.
  size_t length = 0;
  bool anySeparator = false;
  size_t lastSeparator = 0;
  bool separatorAfterName = false;
  bool afterName = false;  // the previous character belongs to a component
  for (; path[length] != '\0'; length = NextCharacter(path, length, syntax)) {
    char c = path[length];
    bool separator = syntax.isSeparator(c);
    if (separator) {
      separatorAfterName = afterName && c != ':';
      anySeparator = true;
      lastSeparator = length;
    }
    afterName = !separator;
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
  return SplitPathWith(path, nameOut, dirOnly, PlatformPaths);
}

char* JoinPathWith(char* directory, const char* name, const PathSyntax& syntax) {
  size_t length = strlen(directory);
  if (length > 0 && !EndsInSeparatorWith(directory, syntax)) directory[length++] = syntax.separator;
  strcpy(directory + length, name);
  return directory;
}

char* JoinPath(char* directory, const char* name) { return JoinPathWith(directory, name, PlatformPaths); }

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
  size_t run = length;  // where the separators at the end begin
  for (size_t at = 0; at < length; at = NextCharacter(parent, at, PlatformPaths)) {
    if (!PlatformPaths.isSeparator(parent[at])) {
      run = length;
    } else if (run == length) {
      run = at;
    }
  }
  if (run + 1 < length) parent[run + 1] = '\0';
  if (SplitPath(parent, nullptr, 0) == 0 || parent[0] == '\0') return rc;
  if (MakeDirectories(parent) != ResultOk) return rc;
  // Made here, or meanwhile by another process, or above as the parent when
  // the path ends in separators.
  if (MakeDirectory(path) == ResultOk || PlatformIsDirectory(path)) return ResultOk;
  return rc;
}

}  // namespace varnfile
