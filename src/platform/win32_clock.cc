// The clock on Windows: _ftime64 for the current instant, _localtime64_s
// for the local calendar, and the zone's standard bias from the C run-time
// (which follows TZ when it is set) for the way back.
#include "platform/system_clock.h"

#include <sys/timeb.h>

#include <cerrno>
#include <ctime>

#include "platform/calendar_parts.h"
#include "platform/clock_override.h"

namespace varnfile {

namespace {

int64_t FloorDivide(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1 to
// 12, any year).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = FloorDivide(year, 400);
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace

void PlatformClockNow(int64_t* seconds, uint32_t* milliseconds) {
  if (ClockOverridden(seconds, milliseconds)) return;
  struct __timeb64 now;
  _ftime64(&now);
  *seconds = static_cast<int64_t>(now.time);
  *milliseconds = now.millitm;
}

int PlatformLocalTime(int64_t seconds, CalendarTime* out) {
  __time64_t t = static_cast<__time64_t>(seconds);
  struct tm parts;
  errno_t error = _localtime64_s(&parts, &t);
  if (error != 0) return error;
  *out = CalendarFromParts(parts);
  return 0;
}

// The C run-time's mktime stops at 1970 and at the year 3000; a stamp's
// byte-sized year reaches back to 1900. Standard time is the calendar
// instant plus the zone's standard bias, so the arithmetic is done here,
// normalising out-of-range fields the way mktime does.
int PlatformMakeTime(const CalendarTime& in, int64_t* seconds) {
  _tzset();
  long bias = _timezone;  // seconds west of UTC, standard time
  int64_t month = in.month;
  int64_t year = 1900 + static_cast<int64_t>(in.yearsSince1900) + FloorDivide(month, 12);
  month -= FloorDivide(month, 12) * 12;
  int64_t days = DaysFromCivil(year, month + 1, 1) + static_cast<int64_t>(in.day) - 1;
  *seconds = days * 86400 + static_cast<int64_t>(in.hour) * 3600 +
             static_cast<int64_t>(in.minute) * 60 + in.second + bias;
  return 0;
}

}  // namespace varnfile
