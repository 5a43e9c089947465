#include "base/test_hooks.h"

#include <atomic>

namespace varnfile {

namespace {

std::atomic<uint64_t> counters[static_cast<uint32_t>(TestCounter::Count)];

}  // namespace

void TestHookCount(TestCounter counter) {
  counters[static_cast<uint32_t>(counter)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t TestHookValue(TestCounter counter) {
  return counters[static_cast<uint32_t>(counter)].load(std::memory_order_relaxed);
}

}  // namespace varnfile
