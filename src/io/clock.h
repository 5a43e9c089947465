// The clock behind every time stamp: the current date and time from the
// local clock or, when the caller selected it, from a server clock that the
// optional sibling library ("libqz3net0.so", on Windows "QZ3NET0.DLL")
// supplies; the aging test of a stamp against a limit; and the change
// detection that the unique-name generator uses to count names made within
// one second.
//
// Everything here runs under the library lock, which guards the remembered
// reading and the loading of the sibling library.
#ifndef VARNFILE_IO_CLOCK_H_
#define VARNFILE_IO_CLOCK_H_

#include <cstdint>

#include "io/io_state.h"
#include "varnfile.h"

namespace varnfile {

// Stored as 3 bytes in this order (header offset 36).
struct DateStamp {
  uint8_t month;  // 1 to 12
  uint8_t day;    // 1 to 31
  uint8_t year;   // years since 1900
};

// Stored as 3 bytes in this order (header offset 39).
struct TimeStamp {
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};

// Stored as 5 bytes: days (u16 little-endian), hours, minutes, seconds.
struct AgingLimit {
  uint16_t days;
  uint8_t hours;
  uint8_t minutes;
  uint8_t seconds;
};

// The 6 bytes the sibling library fills, in this order.
struct ServerDateTime {
  uint8_t year;  // years since 1900
  uint8_t month;
  uint8_t day;   // 0: no valid date
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};
static_assert(sizeof(ServerDateTime) == 6, "the sibling library fills 6 bytes");

// dateTimeMode value that selects the server clock; any other is local.
constexpr uint32_t ServerClock = 1;

// The sibling library and its entry point, as the loader finds them.
#if defined(_WIN32)
constexpr char ServerClockLibrary[] = "QZ3NET0.DLL";
#else
constexpr char ServerClockLibrary[] = "libqz3net0.so";
#endif
constexpr char ServerClockEntry[] = "NetGetServerDateAndTime";
// uint16_t NetGetServerDateAndTime(uint32_t param, uint8_t out[6]): 0 for
// success, in the calling convention of the library's own exports.
using ServerClockProc = uint16_t(VARNFILE_CALL*)(uint32_t param, uint8_t* out);

// The current date and time into date and time (each optional), from the
// server clock when state selects it and the server answers, else from the
// local clock. True when the reading differs from the previous one
// (the first reading always does), else false.
bool ReadClock(IoState* state, DateStamp* date, TimeStamp* time);

// True when at least limit has passed from the stamp to the current reading,
// both taken as local standard times; a stamp in the future never ages.
// A stamp that is no valid calendar date is normalised, never refused.
bool IsAged(IoState* state, const DateStamp* stampDate, const TimeStamp* stampTime,
            const AgingLimit* limit);

// The two sides of that test, for tools that show when a file ages: the
// current reading in seconds since 1970 taken as local standard time
// (without counting as a reading for ReadClock's change report), and the
// limit in seconds as the test counts it, in 32 bits (a limit of more than
// about 49,710 days wraps).
int64_t ClockSeconds(IoState* state);
uint32_t AgingLimitSeconds(const AgingLimit* limit);

// Stores the options: any mode is accepted; param is kept only for the
// server clock and is 0 otherwise.
void SetDateTimeOptions(IoState* state, uint32_t mode, uint32_t param);

// True when the sibling library is loaded (loading it now if it is not). A
// failed load is not remembered: the next call tries again. A library
// without the entry point counts as missing and is not kept.
bool LoadServerClock();
// Frees the sibling library if it is loaded. Runs at unload.
void UnloadServerClock();
// Zeroes *out and asks the server; true only if it answered 0 with a day
// that is not 0.
bool GetServerDateTime(uint32_t param, ServerDateTime* out);

// Test seam: forgets the previous reading, so that the next reading
// reports a change.
void ResetClockReading();

}  // namespace varnfile

#endif  // VARNFILE_IO_CLOCK_H_
