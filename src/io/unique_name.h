// Invented file names: a time-seeded pseudo-random number generator whose
// top 4 bits count the numbers made within one clock second, and the search
// that turns numbers into a file that did not exist before.
#ifndef VARNFILE_IO_UNIQUE_NAME_H_
#define VARNFILE_IO_UNIQUE_NAME_H_

#include <cstdint>

#include "io/io_state.h"
#include "base/result_code.h"

namespace varnfile {

// The invented name (prefix or digits, dot, extension) has at most this
// many characters.
constexpr uint32_t MaxInventedNameLength = 15;
// Candidates a search tests before it gives up with 281.
constexpr uint32_t MaxNameCandidates = 10001;
// Digits of the number in a name made with a prefix.
constexpr uint32_t PrefixDigits = 5;

// The next number: the low 28 bits from a linear congruential generator
// seeded once per process from the clock, the top 4 bits the count of
// numbers made since the clock's reading last changed (1 for the first).
uint32_t MakeUniqueNumber(IoState* state);

// 260 when a name invented from prefix and extension would exceed
// MaxInventedNameLength, or a path in directory MaxPathLength; else 0.
// Touches nothing on disk.
ResultCode CheckUniqueNameLimits(const char* directory, const char* extension, const char* prefix);
// Invents a name in directory (null or empty: the current directory) and
// creates the file, which must not exist yet. Names are 8 hexadecimal digits
// of a number, or prefix and 5 base-36 digits; then "." and the extension
// when one is given (an empty one too); all upper case. Numbers come from
// proc (first proc(0, procParam), then proc(previous, procParam); 0 stops)
// or from MakeUniqueNumber and count up by one. An existing candidate is
// skipped and never opened.
//
// On success the full path goes to pathOut (room for MaxPathLength + 1
// bytes) and the open descriptor, holding the exclusive lock of a created
// stream, to descriptorOut; each is optional (without descriptorOut the
// file is closed). Fails with 260 when the name would exceed
// MaxInventedNameLength or the path MaxPathLength (before anything is
// created), 281 when proc returns 0 or MaxNameCandidates candidates
// failed, 275 when a candidate that does not exist cannot be created. A
// failed search leaves no file and no descriptor behind.
ResultCode CreateUniqueFile(IoState* state, const char* directory, const char* extension,
                            const char* prefix, NameSequenceProc proc, uint32_t procParam,
                            char* pathOut, int32_t* descriptorOut);

// Test seam: forgets the seed and the same-second count, as at load.
void ResetUniqueNumberGenerator();

}  // namespace varnfile

#endif  // VARNFILE_IO_UNIQUE_NAME_H_
