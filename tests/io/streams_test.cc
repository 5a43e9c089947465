// The two streams behind a file. Memory streams through their public
// functions: what was written reads back, reads stop at gaps, the size is
// the end of the furthest write, and failures leave the stream as it was.
// Disk streams: open flags and codes. (Sharing between handles: the API's
// HandlesAndSharing; with another process: the tool's "in use" rows.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "api/handle_table.h"
#include "base/memory.h"
#include "io/disk_stream.h"
#include "io/memory_stream.h"
#include "io/scratch_dir.h"
#include "io/stream.h"
#include "platform/file.h"
#include "platform/pages.h"

namespace varnfile {
namespace {

// A memory stream of its own for each test, closed at its end.
class MemoryStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MemoryStreamOpen(state, &handle), ResultOk);
    ASSERT_EQ(MemoryStreamResolve(state, handle, &s), ResultOk);
  }
  void TearDown() override { EXPECT_EQ(MemoryStreamClose(state, handle), ResultOk); }
  static IoState* Io() {
    IoState* io = &LockLibrary()->io;
    UnlockLibrary();
    return io;
  }
  IoState* state = Io();
  int32_t handle = 0;
  MemoryStream* s = nullptr;
};

// Random writes and reads against a byte vector in which -1 marks bytes
// never written. Then every offset reads as written or as a gap, and writes
// of nothing, outside 31 bits or failing to allocate change nothing.
TEST_F(MemoryStreamTest, RandomizedAgainstByteVector) {
  std::vector<uint8_t> bytes(300);
  auto writeAt = [&](int32_t at, uint32_t count) {
    MemoryStreamSeek(s, at, 0);
    return MemoryStreamWrite(s, bytes.data(), count);
  };
  auto expectPositionAndSize = [&](int32_t position, int32_t size) {
    ASSERT_EQ(MemoryStreamSeek(s, 0, 1), position);
    ASSERT_EQ(MemoryStreamSeek(s, 0, 2), size);
    MemoryStreamSeek(s, position, 0);
  };
  std::mt19937 rng(7);
  std::vector<int> model(3400, -1);
  int32_t size = 0;
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE(step);
    int32_t at = static_cast<int32_t>(rng() % 3000);
    uint32_t count = rng() % 300, got = 0;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    if (rng() % 2 == 0) {
      ASSERT_EQ(writeAt(at, count), ResultOk);
      for (uint32_t i = 0; i < count; ++i) model[at + i] = bytes[i];
      if (count > 0) size = std::max(size, at + static_cast<int32_t>(count));
      got = count;
    } else {
      MemoryStreamSeek(s, at, 0);
      got = MemoryStreamRead(s, bytes.data(), count);
      uint32_t expected = 0;
      while (expected < count && model[at + expected] >= 0) ++expected;
      ASSERT_EQ(got, expected);
      for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(bytes[i], model[at + i]);
    }
    expectPositionAndSize(at + static_cast<int32_t>(got), size);
  }
  for (int32_t at = 0; at < static_cast<int32_t>(model.size()); ++at) {
    MemoryStreamSeek(s, at, 0);
    ASSERT_EQ(MemoryStreamRead(s, bytes.data(), 1), model[at] >= 0 ? 1u : 0u) << at;
    if (model[at] >= 0) {
      ASSERT_EQ(bytes[0], model[at]);
    }
  }
  for (int32_t start : {30000, 0x7FFFFFF0, -5}) {
    EXPECT_EQ(writeAt(start, start == 30000 ? 0 : 100),
              start == 30000 ? ResultOk : ResultWriteFailed);
    expectPositionAndSize(start, size);
  }
  MemSetFailure(1);
  EXPECT_EQ(writeAt(3350, 100), ResultWriteFailed);  // a new range past the end
  MemSetFailure(0);
  expectPositionAndSize(3350, size);
}

// Appends fill the highest chunk's room in place. Whatever the sizes, the
// bytes read back in one read, a write that lands past the end still leaves
// a gap, and a write that grows the highest chunk while an allocation below
// it fails leaves the grown bytes zero, never what the heap held before.
TEST_F(MemoryStreamTest, AppendsGrowTheHighestChunk) {
  std::mt19937 rng(11);
  std::vector<uint8_t> model;
  std::vector<uint8_t> bytes(70000);
  while (model.size() < 400000) {
    // Mostly appends; now and then a write that starts inside the bytes
    // and runs past their end, as a rewritten last record does.
    uint32_t count = rng() % 5 == 0 ? 1 + rng() % 70000 : 1 + rng() % 2000;
    uint32_t back = rng() % 4 == 0 ? rng() % std::min<uint32_t>(count, model.size() + 1) : 0;
    uint32_t at = static_cast<uint32_t>(model.size()) - back;
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(rng());
    MemoryStreamSeek(s, at, 0);
    ASSERT_EQ(MemoryStreamWrite(s, bytes.data(), count), ResultOk);
    model.resize(std::max<size_t>(model.size(), at + count));
    std::copy(bytes.begin(), bytes.begin() + count, model.begin() + at);
  }
  std::vector<uint8_t> all(model.size());
  MemoryStreamSeek(s, 0, 0);
  ASSERT_EQ(MemoryStreamRead(s, all.data(), static_cast<uint32_t>(all.size())), all.size());
  EXPECT_TRUE(all == model);

  // Past the end, with room left in the highest chunk: the bytes between
  // stay a gap.
  const int32_t end = static_cast<int32_t>(model.size());
  const size_t stale = sizeof(MemoryChunk) + 65536;
  void* block = MemAlloc(stale);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xEE, stale);
  MemFree(block);
  MemoryStreamSeek(s, end + 10, 0);
  ASSERT_EQ(MemoryStreamWrite(s, bytes.data(), 5), ResultOk);
  MemoryStreamSeek(s, end, 0);
  EXPECT_EQ(MemoryStreamRead(s, all.data(), 10), 0u);
  MemoryStreamSeek(s, end + 10, 0);
  EXPECT_EQ(MemoryStreamRead(s, all.data(), 10), 5u);

  // Now the highest chunk starts at end + 10 with room above it, and a gap
  // lies below it. A write from inside that gap to beyond the chunk grows
  // the chunk first, then needs a chunk for the gap: make that fail. Heap
  // block freed before that chunk was made held 0xEE, so that room taken
  // from it would show it.
  std::fill(bytes.begin(), bytes.end(), 0x11);
  MemoryStreamSeek(s, end + 5, 0);
  MemSetFailure(1);
  EXPECT_EQ(MemoryStreamWrite(s, bytes.data(), 100), ResultWriteFailed);
  MemSetFailure(0);
  MemoryStreamSeek(s, end + 10, 0);
  uint32_t got = MemoryStreamRead(s, all.data(), 200);
  ASSERT_GE(got, 5u);
  for (uint32_t i = 5; i < got; ++i) EXPECT_EQ(all[i], 0) << i;
}

// A closed stream's 64 KiB chunks and page blocks serve the streams opened
// after it, with none of its bytes: a reused chunk reads back only what the
// new stream wrote, and gaps stay gaps. At most 16 MiB of each are kept. A
// page block that cannot be had fails the write that needed it, and the
// stream keeps what it held.
TEST_F(MemoryStreamTest, ChunksOfAClosedStreamServeTheNext) {
  auto fill = [](IoState* io, int32_t* h, uint32_t bytes, uint8_t value) {
    MemoryStream* other = nullptr;
    ASSERT_EQ(MemoryStreamOpen(io, h), ResultOk);
    ASSERT_EQ(MemoryStreamResolve(io, *h, &other), ResultOk);
    std::vector<uint8_t> piece(1000, value);
    for (uint32_t done = 0; done < bytes; done += 1000) {
      ASSERT_EQ(MemoryStreamWrite(other, piece.data(), 1000), ResultOk);
    }
  };
  int32_t first = 0, second = 0;
  MemoryStreamDropSpares(state);
  fill(state, &first, 40u << 20, 0xEE);
  ASSERT_EQ(MemoryStreamClose(state, first), ResultOk);
  // 64 KiB chunks up to 2 MiB, page blocks above it (19 of them).
  EXPECT_GE(state->spareCount, 28u);
  EXPECT_LE(state->spareCount, 32u);
  EXPECT_EQ(state->spareBlockCount, 8u);
  // A second stream of 4 MiB allocates its chunks only while small ones
  // grow (4 to 32 KiB), then takes spares of both kinds.
  const uint64_t before = MemAllocCount();
  fill(state, &second, 4u << 20, 0x11);
  EXPECT_LT(MemAllocCount() - before, 20u);
  EXPECT_LE(state->spareCount, 4u);
  EXPECT_LE(state->spareBlockCount, 7u);
  ASSERT_EQ(MemoryStreamClose(state, second), ResultOk);

  // Without spares, a write that needs a new page block and cannot have it
  // fails with nothing changed: size, position and every byte before it.
  MemoryStreamDropSpares(state);
  int32_t third = 0;
  fill(state, &third, 3u << 20, 0x22);
  MemoryStream* grown = nullptr;
  ASSERT_EQ(MemoryStreamResolve(state, third, &grown), ResultOk);
  std::vector<uint8_t> big(65000, 0x33);
  int blockFailures = 0;
  for (int i = 0; i < 40; ++i) {
    MemSetFailure(1);
    const int64_t size = MemoryStreamSeek(grown, 0, 2);
    const ResultCode rc = MemoryStreamWrite(grown, big.data(), 65000);
    MemSetFailure(0);
    if (rc == ResultOk) continue;
    ASSERT_EQ(rc, ResultWriteFailed);
    ++blockFailures;
    EXPECT_EQ(MemoryStreamSeek(grown, 0, 2), size);
    ASSERT_EQ(MemoryStreamWrite(grown, big.data(), 65000), ResultOk);  // without the failure
  }
  EXPECT_GT(blockFailures, 0);
  std::vector<uint8_t> back(1000);
  MemoryStreamSeek(grown, (3u << 20) - 1000, 0);
  ASSERT_EQ(MemoryStreamRead(grown, back.data(), 1000), 1000u);
  EXPECT_EQ(back, std::vector<uint8_t>(1000, 0x22));
  ASSERT_EQ(MemoryStreamClose(state, third), ResultOk);

  // Sparse writes into spares: what was not written is a gap, never 0xEE.
  std::mt19937 rng(5);
  std::vector<int> model(1 << 20, -1);
  std::vector<uint8_t> bytes(3000);
  for (int step = 0; step < 300; ++step) {
    uint32_t at = 65536 + rng() % (900u << 10), count = 1 + rng() % 3000;
    for (uint32_t i = 0; i < count; ++i) model[at + i] = bytes[i] = static_cast<uint8_t>(rng());
    MemoryStreamSeek(s, at, 0);
    ASSERT_EQ(MemoryStreamWrite(s, bytes.data(), count), ResultOk);
  }
  for (uint32_t at = 0; at < model.size() - 3000; at += 997) {
    MemoryStreamSeek(s, at, 0);
    uint32_t got = MemoryStreamRead(s, bytes.data(), 3000), expected = 0;
    while (expected < 3000 && model[at + expected] >= 0) ++expected;
    ASSERT_EQ(got, expected) << at;
    for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(bytes[i], model[at + i]) << at + i;
  }
}

// Page blocks come zero-filled and writable to their last byte; on POSIX
// systems they start on a 2 MiB boundary, which large pages need.
TEST(PageBlockTest, ZeroFilledWritableAndAligned) {
  for (int round = 0; round < 3; ++round) {
    auto* block = static_cast<uint8_t*>(PlatformMapPageBlock());
    ASSERT_NE(block, nullptr);
#ifndef _WIN32
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % PageBlockBytes, 0u);
#endif
    for (size_t i = 0; i < PageBlockBytes; i += 4096) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(block[PageBlockBytes - 1], 0);
    std::memset(block, 0x5A, PageBlockBytes);
    EXPECT_EQ(block[PageBlockBytes - 1], 0x5A);
    PlatformUnmapPageBlock(block);
  }
  PlatformUnmapPageBlock(nullptr);
}

TEST(MemoryNameTest, OnlyTheWholeNameInAnyCase) {
  const char* const names[] = {"MEMORY$", "memory$",      "MeMoRy$", "MEMORY$.TRN",
                               "MEMORY",  "/tmp/MEMORY$", "",        nullptr};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(IsMemoryName(names[i]), i < 3) << i;
}

class DiskStreamTest : public ::testing::Test {
 protected:
  void TearDown() override {
    FileClearFaults();
    Release();
  }
  // Opens name; a descriptor it gets stays open until Release.
  ResultCode Open(const std::string& name, StreamAccess access) {
    int32_t fd = -1;
    ResultCode rc = OpenDiskFile(name.c_str(), access, &fd);
    EXPECT_EQ(rc == ResultOk, fd >= 0);
    if (fd >= 0) held_.push_back(fd);
    return rc;
  }
  void Release() {
    for (int fd : held_) ::close(fd);
    held_.clear();
  }
  ScratchDir dir_;
  std::vector<int> held_;
};

// Descriptors are synchronous and close-on-exec; a file system that refuses
// O_DSYNC (EINVAL) is opened without it, any other error ends the open.
// (Windows: the handle is not inherited by child processes; the documented
// calls cannot read write-through back from a handle, so only the retry's
// outcome is checked there.)
TEST_F(DiskStreamTest, OpenFlagsAndCodes) {
  std::string name = dir_ / "open";
  ASSERT_EQ(Open(name, StreamAccess::StreamCreate), ResultOk);
#if defined(_WIN32)
  DWORD handleFlags = HANDLE_FLAG_INHERIT;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(held_.back())),
                                   &handleFlags));
  EXPECT_EQ(handleFlags & HANDLE_FLAG_INHERIT, 0u);
#else
  EXPECT_EQ(::fcntl(held_.back(), F_GETFL) & O_DSYNC, O_DSYNC);
  EXPECT_NE(::fcntl(held_.back(), F_GETFD) & FD_CLOEXEC, 0);
#endif
  Release();
  FileSetFault(FileCallOpen, FileFault{1, false, EINVAL, false, false});
  ASSERT_EQ(Open(name, StreamAccess::StreamUpdate), ResultOk);
#if !defined(_WIN32)
  EXPECT_EQ(::fcntl(held_.back(), F_GETFL) & O_DSYNC, 0);
#endif
  EXPECT_EQ(DiskWrite(held_.back(), reinterpret_cast<const uint8_t*>("abc"), 3), ResultOk);
  Release();
  FileSetFault(FileCallOpen, FileFault{1, false, EIO, false, false});
  EXPECT_EQ(Open(name, StreamAccess::StreamRead), ResultOpenFailed);
  // (Missing files, folders and missing parents: the API's lifecycle tests.)
  EXPECT_EQ(dir_.List(), std::vector<std::string>{"open"});
  EXPECT_EQ(ReadFile(name), "abc");
  // Positioned reads: what lies there, short at the end, none past it.
  ASSERT_EQ(Open(name, StreamAccess::StreamRead), ResultOk);
  uint8_t bytes[8] = {};
  uint32_t got = 9;
  EXPECT_EQ(DiskReadAt(held_.back(), bytes, 8, 1, &got), ResultOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), "bc");
  EXPECT_EQ(DiskReadAt(held_.back(), bytes, 8, 3, &got), ResultOk);
  EXPECT_EQ(got, 0u);
  Release();
}

}  // namespace
}  // namespace varnfile
