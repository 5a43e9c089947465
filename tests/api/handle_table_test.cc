#include "api/handle_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

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

void Release(uint32_t handle) {
  LibraryState* state = LockLibrary();
  ReleaseHandle(state, handle);
}

ResultCode Resolve(uint32_t handle) {
  LibraryState* state = LockLibrary();
  OpenFile* file = nullptr;
  ResultCode rc = ResolveHandle(state, handle, &file);
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
  auto other = std::async(std::launch::async, [] {
    LockLibrary();
    UnlockLibrary();
  });
  return other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

TEST(HandleTableTest, NumberingReuseGrowthAndRestart) {
  ASSERT_EQ(State()->fileCount, 0u) << "another test left a file open";
  uint32_t a = Open(), b = Open(), c = Open();
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  EXPECT_EQ(c, 3u);
  Release(b);
  EXPECT_EQ(Open(), 2u);
  EXPECT_EQ(Open(), 4u);
  EXPECT_EQ(State()->fileCapacity, 4u);
  EXPECT_EQ(Open(), 5u);
  EXPECT_EQ(State()->fileCapacity, 8u);
  EXPECT_EQ(State()->fileCount, 5u);

  OpenFile* file = nullptr;
  LibraryState* state = LockLibrary();
  ASSERT_EQ(ResolveHandle(state, 5, &file), ResultOk);
  EXPECT_EQ(file->store.streamHandle, -1);
  EXPECT_EQ(file->position, 0u);
  UnlockLibrary();

  for (uint32_t h = 1; h <= 5; ++h) Release(h);
  EXPECT_EQ(State()->files, nullptr);
  EXPECT_EQ(State()->fileCapacity, 0u);
  EXPECT_EQ(Open(), 1u);
  Release(1);
  EXPECT_TRUE(LockIsFree());
}

TEST(HandleTableTest, InvalidHandlesGive273) {
  uint32_t a = Open(), b = Open();
  Release(b);
  EXPECT_EQ(Resolve(a), ResultOk);
  EXPECT_EQ(Resolve(0), ResultInvalidHandle);
  EXPECT_EQ(Resolve(b), ResultInvalidHandle);  // closed slot
  EXPECT_EQ(Resolve(5), ResultInvalidHandle);  // above the capacity of 4
  EXPECT_EQ(Resolve(0x80000000u), ResultInvalidHandle);
  EXPECT_EQ(Resolve(0x80000001u), ResultInvalidHandle);
  EXPECT_EQ(Resolve(0xFFFFFFFFu), ResultInvalidHandle);
  Release(a);
  EXPECT_EQ(Resolve(a), ResultInvalidHandle);  // no table at all
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
    EXPECT_EQ(State()->fileCapacity, 0u);
  }
  // A full table that cannot grow, and an OpenFile that cannot be had with
  // files open, both leave the table as it was.
  std::vector<uint32_t> open;
  for (int i = 0; i < 4; ++i) open.push_back(Open());
  OpenFile** table = State()->files;
  uint32_t handle = 0;
  MemSetFailure(1);
  EXPECT_EQ(AllocateHandle(nullptr, &handle), ResultNoMemory);
  MemSetFailure(0);
  EXPECT_EQ(State()->files, table);
  EXPECT_EQ(State()->fileCapacity, 4u);
  EXPECT_EQ(State()->fileCount, 4u);
  Release(open.back());
  open.pop_back();
  MemSetFailure(1);
  EXPECT_EQ(AllocateHandle(nullptr, &handle), ResultNoMemory);
  MemSetFailure(0);
  EXPECT_EQ(State()->fileCount, 3u);
  EXPECT_EQ(Resolve(4), ResultInvalidHandle);
  EXPECT_TRUE(LockIsFree());
  for (uint32_t h : open) Release(h);
  EXPECT_EQ(State()->files, nullptr);
}

TEST(HandleTableTest, LockIsReentrant) {
  LockLibrary();
  LockLibrary();
  UnlockLibrary();
  UnlockLibrary();
  EXPECT_TRUE(LockIsFree());
}

}  // namespace
}  // namespace varnfile
