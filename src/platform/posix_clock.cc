// Stamps reach the year 2155: time_t must be 64-bit also where the C
// library's default is 32-bit (glibc takes _TIME_BITS only together with
// _FILE_OFFSET_BITS).
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include "platform/system_clock.h"

#include <cerrno>
#include <ctime>

#include "platform/calendar_parts.h"
#include "platform/clock_override.h"

namespace varnfile {

void PlatformClockNow(int64_t* seconds, uint32_t* milliseconds) {
  if (ClockOverridden(seconds, milliseconds)) return;
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    now.tv_sec = time(nullptr);
    now.tv_nsec = 0;
  }
  *seconds = static_cast<int64_t>(now.tv_sec);
  *milliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
}

int PlatformLocalTime(int64_t seconds, CalendarTime* out) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  if (localtime_r(&t, &parts) == nullptr) return errno != 0 ? errno : EOVERFLOW;
  *out = CalendarFromParts(parts);
  return 0;
}

int PlatformMakeTime(const CalendarTime& in, int64_t* seconds) {
  struct tm parts = {};
  parts.tm_sec = in.second;
  parts.tm_min = in.minute;
  parts.tm_hour = in.hour;
  parts.tm_mday = in.day;
  parts.tm_mon = in.month;
  parts.tm_year = in.yearsSince1900;
  parts.tm_isdst = 0;
  errno = 0;
  time_t t = mktime(&parts);
  // -1 is also the valid instant one second before 1970; only errno tells.
  if (t == static_cast<time_t>(-1) && errno != 0) return errno;
  *seconds = static_cast<int64_t>(t);
  return 0;
}

}  // namespace varnfile
