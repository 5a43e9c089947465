// Test hooks: counters that the library bumps where tests want to see how
// much work an operation did (how many records a cache walk read, say).
// Nothing in the library reads them; each bump is one relaxed atomic
// increment. Faults are injected through the allocation seam (base/memory.h)
// and the file-call seam (platform/file.h), not here.
#ifndef VARNFILE_BASE_TEST_HOOKS_H_
#define VARNFILE_BASE_TEST_HOOKS_H_

#include <cstdint>

namespace varnfile {

enum class TestCounter : uint32_t {
  // Records the item cache read through the record layer: window passes,
  // misses and re-reads alike.
  CacheRecordReads,
  // Items the block codec decoded (a decoder reset is not one).
  ItemsDecoded,
  Count,  // the number of counters, not a counter
};

void TestHookCount(TestCounter counter);
// The count since the process started.
uint64_t TestHookValue(TestCounter counter);

}  // namespace varnfile

#endif  // VARNFILE_BASE_TEST_HOOKS_H_
