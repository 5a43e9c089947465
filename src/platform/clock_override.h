// The instant a test set with PlatformSetClockOverride, for the clocks of
// both systems.
#ifndef VARNFILE_PLATFORM_CLOCK_OVERRIDE_H_
#define VARNFILE_PLATFORM_CLOCK_OVERRIDE_H_

#include <cstdint>

namespace varnfile {

// True, with the instant, while a test override is set.
bool ClockOverridden(int64_t* seconds, uint32_t* milliseconds);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_CLOCK_OVERRIDE_H_
