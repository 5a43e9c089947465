// The system clock and the local calendar, as plain functions over a small
// broken-down time record, so that nothing outside this folder needs
// <time.h> semantics such as tm_isdst or the 1900 year base.
#ifndef VARNFILE_PLATFORM_SYSTEM_CLOCK_H_
#define VARNFILE_PLATFORM_SYSTEM_CLOCK_H_

#include <cstdint>

namespace varnfile {

// A local calendar time. Fields follow the C library's ranges: month 0 to
// 11, yearsSince1900, and so on; a record handed to PlatformMakeTime may be
// out of range and is normalised.
struct CalendarTime {
  int32_t second;
  int32_t minute;
  int32_t hour;
  int32_t day;    // 1 to 31
  int32_t month;  // 0 to 11
  int32_t yearsSince1900;
};

// Seconds since 1970 and the milliseconds within that second. Never fails;
// under a test override returns the overriding instant.
void PlatformClockNow(int64_t* seconds, uint32_t* milliseconds);

// Breaks seconds since 1970 down into local time. 0 or errno.
int PlatformLocalTime(int64_t seconds, CalendarTime* out);

// Seconds since 1970 of a local calendar time taken as standard time
// (daylight saving not in effect), normalising out-of-range fields. 0 or
// errno (the time cannot be represented).
int PlatformMakeTime(const CalendarTime& in, int64_t* seconds);

// Test seam: while set, PlatformClockNow reports this instant instead of
// the system clock. Cleared by PlatformClearClockOverride.
void PlatformSetClockOverride(int64_t seconds, uint32_t milliseconds);
void PlatformClearClockOverride();

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_SYSTEM_CLOCK_H_
