#include "api/handle_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/memory.h"

namespace varnfile {
namespace {

// Allocates a handle and releases the lock that AllocateHandle keeps.
uint32_t Open() {
  LibraryState* state = nullptr;
  uint32_t handle = 0;
  EXPECT_EQ(AllocateHandle(&state, &handle), ResultOk);
  UnlockLibrary();
  return handle;
}

void Release(uint32_t handle) { ReleaseHandle(LockLibrary(), handle); }

ResultCode Resolve(uint32_t handle) {
  OpenFile* file = nullptr;
  ResultCode rc = ResolveHandle(LockLibrary(), handle, &file);
  UnlockLibrary();
  return rc;
}

LibraryState* State() {
  LibraryState* state = LockLibrary();
  UnlockLibrary();
  return state;
}

// True when another thread can take the library lock: no call left it held.
bool LockIsFree() {
  auto other = std::async(std::launch::async, [] { LockLibrary(), UnlockLibrary(); });
  return other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

// Allocates a handle under the n-th allocation failing: 272, the handle
// untouched and the lock released.
void FailAllocation(uint64_t n) {
  uint32_t handle = 77;
  MemSetFailure(n);
  EXPECT_EQ(AllocateHandle(nullptr, &handle), ResultNoMemory) << n;
  MemSetFailure(0);
  EXPECT_EQ(handle, 77u);
  EXPECT_TRUE(LockIsFree());
}

// Below the exports (the lifecycle test covers numbering and reuse): the
// table grows by four slots and goes with its last handle, and a failed
// allocation (the table, its growth, or the OpenFile) leaves it as it was.
TEST(HandleTableTest, GrowthReleaseAndFailedAllocations) {
  ASSERT_EQ(State()->fileCount, 0u) << "another test left a file open";
  for (uint64_t n : {1, 2}) FailAllocation(n);
  EXPECT_EQ(State()->files, nullptr);
  for (uint32_t h = 1; h <= 4; ++h) EXPECT_EQ(Open(), h);
  OpenFile** table = State()->files;
  FailAllocation(1);
  EXPECT_EQ(State()->files, table);
  EXPECT_EQ(State()->fileCapacity, 4u);
  EXPECT_EQ(Open(), 5u);
  EXPECT_EQ(State()->fileCapacity, 8u);
  FailAllocation(1);
  EXPECT_EQ(State()->fileCount, 5u);
  for (uint32_t h = 1; h <= 5; ++h) Release(h);
  EXPECT_EQ(State()->files, nullptr);
  EXPECT_EQ(Resolve(1), ResultInvalidHandle);  // no table at all
  // The lock is reentrant, and no call above left it held.
  LockLibrary();
  LockLibrary();
  UnlockLibrary();
  UnlockLibrary();
  EXPECT_TRUE(LockIsFree());
}

}  // namespace
}  // namespace varnfile
