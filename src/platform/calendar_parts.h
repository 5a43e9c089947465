// The C library's broken-down time as a CalendarTime, for the clock of
// each platform.
#ifndef VARNFILE_PLATFORM_CALENDAR_PARTS_H_
#define VARNFILE_PLATFORM_CALENDAR_PARTS_H_

#include <ctime>

#include "platform/system_clock.h"

namespace varnfile {

inline CalendarTime CalendarFromParts(const std::tm& parts) {
  return {parts.tm_sec, parts.tm_min, parts.tm_hour, parts.tm_mday, parts.tm_mon, parts.tm_year};
}

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_CALENDAR_PARTS_H_
