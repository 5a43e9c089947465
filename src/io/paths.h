// Path utilities: splitting off the final component, joining a directory
// and a name, the existence test and directory creation.
//
// Paths are byte strings in the system's code page. The splitting and
// joining rules are written once over a path syntax: which characters
// separate, and which bytes begin a two-byte character, whose second byte
// is never a separator whatever its value (in code page 932, 0x83 0x5C is
// one character, not 0x83 and a backslash). The build uses the platform's
// syntax (on POSIX only '/' and single bytes: UTF-8 never puts a '/' inside
// a character; on Windows ':', '/' and '\' with the drive colon's special
// rule, and the lead bytes of the ANSI code page); every rule stays
// testable with other separators and lead bytes.
#ifndef VARNFILE_IO_PATHS_H_
#define VARNFILE_IO_PATHS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/result_code.h"
#include "platform/file_system.h"

namespace varnfile {

// True when c separates path components.
using SeparatorTest = bool (*)(char c);
// True when c begins a two-byte character.
using LeadByteTest = bool (*)(char c);

struct PathSyntax {
  SeparatorTest isSeparator;
  LeadByteTest isLeadByte;
  char separator;  // what a join inserts
};

bool IsPosixSeparator(char c);    // '/'
bool IsWindowsSeparator(char c);  // ':', '/', '\'

#if defined(_WIN32)
inline constexpr PathSyntax PlatformPaths = {IsWindowsSeparator, PlatformIsLeadByte, '\\'};
#else
inline constexpr PathSyntax PlatformPaths = {IsPosixSeparator, PlatformIsLeadByte, '/'};
#endif

// The index of the character after the one that starts at path[at]: two
// bytes on for a lead byte, unless the string ends behind it.
// REQUIRES: path[at] is not the terminator.
inline size_t NextCharacter(const char* path, size_t at, const PathSyntax& syntax) {
  return syntax.isLeadByte(path[at]) && path[at + 1] != '\0' ? at + 2 : at + 1;
}

// True when the last character of path is a separator.
bool EndsInSeparatorWith(const char* path, const PathSyntax& syntax);
inline bool EndsInSeparator(const char* path) { return EndsInSeparatorWith(path, PlatformPaths); }

// Longest path the library handles, without its terminator.
constexpr uint32_t MaxPathLength = 259;

// True when path (not null) has more than MaxPathLength characters.
inline bool PathTooLong(const char* path) { return strnlen(path, MaxPathLength + 1) > MaxPathLength; }

// Edits path in place.
//
// dirOnly 0 splits off the final component (the text behind the last
// separator, or the whole path). It does so only when the last separator
// follows a name (a non-empty component, and the separator is not a colon)
// or the final component is non-empty; otherwise it returns 0 and changes
// nothing. It copies the final component to nameOut (if given; room for
// strlen(path) + 1 bytes), then cuts the path at the last separator when
// that follows a name, else at the start of the final component, so that a
// leading separator or a drive colon stays. Returns 1 when the path holds
// any separator, else 0.
//
// dirOnly 1 strips a trailing separator that follows a name and returns 1;
// otherwise returns 0 and changes nothing. nameOut is not used.
uint32_t SplitPathWith(char* path, char* nameOut, uint32_t dirOnly, const PathSyntax& syntax);
uint32_t SplitPath(char* path, char* nameOut, uint32_t dirOnly);

// Appends name to directory in place and returns directory. A non-empty
// directory that does not end in a separator first gets one (the syntax's;
// none after a drive colon, which keeps the join drive-relative).
// REQUIRES: directory has room for the result.
char* JoinPathWith(char* directory, const char* name, const PathSyntax& syntax);
char* JoinPath(char* directory, const char* name);

// The existence test (mode 0): 0 when the path exists, 280 when the system
// denies access, else 274.
ResultCode CheckAccess(const char* path, int32_t mode);
// Creates one directory; 282 on failure.
ResultCode MakeDirectory(const char* path);
// Creates the directory and any missing parents; 0 also when the directory
// already exists. 282 when it cannot be made (a file of that name is in the
// way, say), 260 for a path over MaxPathLength.
ResultCode MakeDirectories(const char* path);

}  // namespace varnfile

#endif  // VARNFILE_IO_PATHS_H_
