#include "platform/memory.h"

#include <gtest/gtest.h>

namespace varnfile {
namespace {

// The n-th allocation fails once, or from then on when sticky.
TEST(MemoryTest, InjectedFailures) {
  MemSetFailure(2);
  void* a = MemAlloc(8);
  EXPECT_EQ(MemAlloc(8), nullptr);
  void* c = MemAllocZero(8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(MemAllocCount(), 3u);
  MemFree(a);
  MemFree(c);
  MemSetFailure(1, true);
  EXPECT_EQ(MemAlloc(1), nullptr);
  EXPECT_EQ(MemAlloc(1), nullptr);
  MemSetFailure(0);
}

}  // namespace
}  // namespace varnfile
