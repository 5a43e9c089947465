// Test hooks: counters that the library bumps where tests want to see how
// much work an operation did (how many records a cache walk read, say).
// Nothing in the library reads them. Faults are injected through the
// allocation seam (base/memory.h) and the file-call seam (platform/file.h),
// not here.
#ifndef VARNFILE_BASE_TEST_HOOKS_H_
#define VARNFILE_BASE_TEST_HOOKS_H_

#include <atomic>
#include <cstdint>

namespace varnfile {

enum class TestCounter : uint32_t {
  // Records the item cache read through the record layer: window passes,
  // misses and re-reads alike.
  CacheRecordReads,
  // Items the block codec decoded (a decoder reset is not one).
  ItemsDecoded,
  // Records a chained seek replayed on its way to its target.
  RecordsReplayed,
  Count,  // the number of counters, not a counter
};

extern std::atomic<uint64_t> testCounters[static_cast<uint32_t>(TestCounter::Count)];

// Every bump happens under the library lock, so a plain load and store
// counts exactly and costs no locked instruction on the read paths; the
// counters are atomic only so that a test may read them from any thread.
inline void TestHookCount(TestCounter counter) {
  std::atomic<uint64_t>& c = testCounters[static_cast<uint32_t>(counter)];
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// The count since the process started.
uint64_t TestHookValue(TestCounter counter);

}  // namespace varnfile

#endif  // VARNFILE_BASE_TEST_HOOKS_H_
