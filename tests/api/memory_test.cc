#include "platform/memory.h"

#include <gtest/gtest.h>

namespace varnfile {
namespace {

TEST(MemoryTest, NthAllocationFailsOnce) {
  MemSetFailure(2);
  void* a = MemAlloc(8);
  void* b = MemAlloc(8);
  void* c = MemAllocZero(8);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(MemAllocCount(), 3u);
  MemFree(a);
  MemFree(c);
  MemSetFailure(0);
}

TEST(MemoryTest, StickyFailureKeepsFailing) {
  MemSetFailure(1, true);
  EXPECT_EQ(MemAlloc(1), nullptr);
  EXPECT_EQ(MemAlloc(1), nullptr);
  MemSetFailure(0);
  void* p = MemAlloc(1);
  EXPECT_NE(p, nullptr);
  MemFree(p);
}

}  // namespace
}  // namespace varnfile
