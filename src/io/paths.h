// Path utilities: splitting off the final component, joining a directory
// and a name, the existence test and directory creation.
//
// Paths are byte strings. The splitting and joining rules are written once
// over a separator predicate: the build uses the platform's set (on POSIX
// only '/', on Windows ':', '/' and '\' with the drive colon's special
// rule); the Windows set is available everywhere so its rules stay
// testable.
#ifndef VARNFILE_IO_PATHS_H_
#define VARNFILE_IO_PATHS_H_

#include <cstdint>
#include <cstring>

#include "base/result_code.h"

namespace varnfile {

// True when c separates path components.
using SeparatorTest = bool (*)(char c);

bool IsPlatformSeparator(char c);  // POSIX: '/'; Windows: the Windows set
bool IsWindowsSeparator(char c);   // ':', '/', '\'

constexpr char WindowsSeparator = '\\';
#if defined(_WIN32)
constexpr char PlatformSeparator = WindowsSeparator;
#else
constexpr char PlatformSeparator = '/';
#endif

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
uint32_t SplitPathWith(char* path, char* nameOut, uint32_t dirOnly, SeparatorTest isSeparator);
uint32_t SplitPath(char* path, char* nameOut, uint32_t dirOnly);

// Appends name to directory in place and returns directory. A non-empty
// directory that does not end in a separator first gets one (separator).
// REQUIRES: directory has room for the result.
char* JoinPathWith(char* directory, const char* name, SeparatorTest isSeparator, char separator);
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
