#include "io/unique_name.h"

#include <cstdio>
#include <cstring>

#include "io/clock.h"
#include "io/disk_stream.h"
#include "io/paths.h"
#include "platform/system_clock.h"

namespace varnfile {

namespace {

// Generator state, zero at load, guarded by the library lock.
uint32_t sameSecondCount = 0;
uint32_t seed = 0;
uint32_t seedRounds = 0;

uint32_t AdvanceGenerator() {
  seed = seed * 214013u + 2531011u;
  return seed;
}

// n in base 36, digits then lower-case letters, most significant first.
void WriteBase36(uint32_t n, char out[8]) {
  char reversed[8];
  size_t count = 0;
  do {
    uint32_t digit = n % 36;
    reversed[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    n /= 36;
  } while (n != 0);
  for (size_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
  out[count] = '\0';
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The name of candidate n into name (MaxInventedNameLength + 1 bytes):
// 8 hex digits, or the prefix and the base-36 digits padded on the left
// with '0' to 5 and cut to their first 5; then "." and the extension.
// REQUIRES: the caller checked that the result fits.
void BuildName(uint32_t n, const char* prefix, const char* extension, char* name) {
  size_t length;
  if (prefix == nullptr) {
    snprintf(name, MaxInventedNameLength + 1, "%08x", static_cast<unsigned>(n));
    length = 8;
  } else {
    char digits[8];
    WriteBase36(n, digits);
    size_t digitCount = strlen(digits);
    size_t prefixLength = strlen(prefix);
    memcpy(name, prefix, prefixLength);
    length = prefixLength;
    for (size_t i = digitCount; i < PrefixDigits; ++i) name[length++] = '0';
    for (size_t i = 0; i < digitCount && i < PrefixDigits; ++i) name[length++] = digits[i];
  }
  if (extension != nullptr) {
    name[length++] = '.';
    size_t extensionLength = strlen(extension);
    memcpy(name + length, extension, extensionLength);
    length += extensionLength;
  }
  name[length] = '\0';
  for (size_t i = 0; i < length; ++i) name[i] = AsciiUpper(name[i]);
}

}  // namespace

uint32_t MakeUniqueNumber(IoState* state) {
  if (ReadClock(state, nullptr, nullptr) != 0) sameSecondCount = 0;
  ++sameSecondCount;
  if (seedRounds == 0) {
    int64_t seconds;
    uint32_t milliseconds;
    PlatformClockNow(&seconds, &milliseconds);
    seed = static_cast<uint32_t>(seconds) * 10u + (milliseconds / 10u) % 10u;
    AdvanceGenerator();
    AdvanceGenerator();
    seedRounds = 2;
  }
  return (AdvanceGenerator() & 0x0FFFFFFFu) | (sameSecondCount << 28);
}

void ResetUniqueNumberGenerator() {
  sameSecondCount = 0;
  seed = 0;
  seedRounds = 0;
}

namespace {

// The directory part of every candidate: directory without a trailing
// separator; empty for none. False when directory is too long to hold one.
bool DirectoryPart(const char* directory, char part[MaxPathLength + 1]) {
  part[0] = '\0';
  if (directory == nullptr) return true;
  if (PathTooLong(directory)) return false;
  memcpy(part, directory, strlen(directory) + 1);
  SplitPath(part, nullptr, 1);
  return true;
}

}  // namespace

ResultCode CheckUniqueNameLimits(const char* directory, const char* extension, const char* prefix) {
  // Every candidate has the same length, so one check covers the search.
  size_t nameLength = (prefix != nullptr ? strlen(prefix) + PrefixDigits : 8) +
                      (extension != nullptr ? strlen(extension) + 1 : 0);
  if (nameLength > MaxInventedNameLength) return ResultInvalidArgument;
  char directoryPart[MaxPathLength + 1];
  if (!DirectoryPart(directory, directoryPart)) return ResultInvalidArgument;
  size_t directoryLength = strlen(directoryPart);
  bool needsSeparator = directoryLength > 0 && !EndsInSeparator(directoryPart);
  if (directoryLength + (needsSeparator ? 1 : 0) + nameLength > MaxPathLength) {
    return ResultInvalidArgument;
  }
  return ResultOk;
}

ResultCode CreateUniqueFile(IoState* state, const char* directory, const char* extension,
                            const char* prefix, NameSequenceProc proc, uint32_t procParam,
                            char* pathOut, int32_t* descriptorOut) {
  // Checked before a number is drawn or anything is created.
  ResultCode limits = CheckUniqueNameLimits(directory, extension, prefix);
  if (limits != ResultOk) return limits;
  char directoryPart[MaxPathLength + 1];
  DirectoryPart(directory, directoryPart);
  size_t directoryLength = strlen(directoryPart);
  uint32_t n;
  if (proc != nullptr) {
    n = proc(0, procParam);
    if (n == 0) return ResultNoUniqueName;
  } else {
    n = MakeUniqueNumber(state);
    if (prefix != nullptr) n >>= 6;
  }
  char name[MaxInventedNameLength + 1];
  char candidate[MaxPathLength + 1];
  for (uint32_t failed = 0;;) {
    BuildName(n, prefix, extension, name);
    memcpy(candidate, directoryPart, directoryLength + 1);
    JoinPath(candidate, name);

    if (CheckAccess(candidate, 0) != ResultOk) {
      int32_t descriptor = -1;
      bool exists = false;
      ResultCode rc = CreateNewDiskFile(candidate, &descriptor, &exists);
      if (rc == ResultOk) {
        if (pathOut != nullptr) memcpy(pathOut, candidate, strlen(candidate) + 1);
        if (descriptorOut != nullptr) {
          *descriptorOut = descriptor;
        } else {
          DiskClose(descriptor);
        }
        return ResultOk;
      }
      // A name that is still free but cannot be made (no such directory,
      // no permission) ends the search; a name taken meanwhile is skipped.
      if (!exists && CheckAccess(candidate, 0) == ResultOpenFailed) return rc;
    }

    if (++failed >= MaxNameCandidates) return ResultNoUniqueName;
    if (proc != nullptr) {
      n = proc(n, procParam);
      if (n == 0) return ResultNoUniqueName;
    } else {
      ++n;
    }
  }
}

}  // namespace varnfile
