// The test seam of system_clock.h, shared by the POSIX and the Windows
// clocks: while set, PlatformClockNow reports this instant.
#include "platform/clock_override.h"

#include "platform/system_clock.h"

namespace varnfile {

namespace {

// Guarded by the library lock like every other caller of the clock.
bool overrideActive = false;
int64_t overrideSeconds = 0;
uint32_t overrideMilliseconds = 0;

}  // namespace

bool ClockOverridden(int64_t* seconds, uint32_t* milliseconds) {
  if (!overrideActive) return false;
  *seconds = overrideSeconds;
  *milliseconds = overrideMilliseconds;
  return true;
}

void PlatformSetClockOverride(int64_t seconds, uint32_t milliseconds) {
  overrideSeconds = seconds;
  overrideMilliseconds = milliseconds;
  overrideActive = true;
}

void PlatformClearClockOverride() { overrideActive = false; }

}  // namespace varnfile
