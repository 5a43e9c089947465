#include "base/test_hooks.h"

namespace varnfile {

std::atomic<uint64_t> testCounters[static_cast<uint32_t>(TestCounter::Count)];

uint64_t TestHookValue(TestCounter counter) {
  return testCounters[static_cast<uint32_t>(counter)].load(std::memory_order_relaxed);
}

}  // namespace varnfile
