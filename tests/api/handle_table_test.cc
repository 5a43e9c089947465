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

// The table grows by four slots and goes when its last handle does (the
// lifecycle test covers numbering and reuse through the exports).
TEST(HandleTableTest, GrowthAndRelease) {
  ASSERT_EQ(State()->fileCount, 0u) << "another test left a file open";
  for (uint32_t h = 1; h <= 4; ++h) EXPECT_EQ(Open(), h);
  EXPECT_EQ(State()->fileCapacity, 4u);
  EXPECT_EQ(Open(), 5u);
  EXPECT_EQ(State()->fileCapacity, 8u);
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

TEST(HandleTableTest, AllocationFailureGives272AndReleasesTheLock) {
  // First allocation is the table, second the OpenFile: either way no table
  // stays behind when no file is open.
  for (uint64_t n = 1; n <= 2; ++n) {
    LibraryState* state = nullptr;
    uint32_t handle = 77;
    MemSetFailure(n);
    EXPECT_EQ(AllocateHandle(&state, &handle), ResultNoMemory);
    MemSetFailure(0);
    EXPECT_EQ(handle, 77u);
    EXPECT_TRUE(LockIsFree());
    EXPECT_EQ(State()->files, nullptr);
  }
  // A full table that cannot grow, and an OpenFile that cannot be had with
  // files open, both leave the table as it was.
  for (int i = 0; i < 4; ++i) Open();
  OpenFile** table = State()->files;
  uint32_t handle = 0;
  for (uint32_t open : {4u, 3u}) {
    MemSetFailure(1);
    EXPECT_EQ(AllocateHandle(nullptr, &handle), ResultNoMemory);
    MemSetFailure(0);
    EXPECT_EQ(State()->files, table);
    EXPECT_EQ(State()->fileCount, open);
    Release(open);
  }
  EXPECT_EQ(Resolve(4), ResultInvalidHandle);
  EXPECT_TRUE(LockIsFree());
  Release(1);
  Release(2);
  EXPECT_EQ(State()->files, nullptr);
}

}  // namespace
}  // namespace varnfile
