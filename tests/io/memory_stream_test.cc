#include "io/memory_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "api/handle_table.h"
#include "io/stream.h"
#include "platform/memory.h"
#include "store/store.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;
using Chunks = std::vector<std::pair<int32_t, int32_t>>;

LibraryState* State() {
  LibraryState* state = LockLibrary();
  UnlockLibrary();
  return state;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

// A store holding one open memory stream, driven through the stream
// interface the store itself uses.
class MemoryStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<Store>();
    store_->state = State();
    store_->streamHandle = -1;
    store_->isMemory = 1;
    ASSERT_EQ(StreamOpen(store_.get(), "MEMORY$", StreamCreate), ResultOk);
  }
  void TearDown() override {
    MemSetFailure(0);
    EXPECT_EQ(StreamClose(store_.get(), 0), ResultOk);
    EXPECT_EQ(store_->streamHandle, -1);
  }
  MemoryStream* Stream() {
    MemoryStream* s = nullptr;
    EXPECT_EQ(MemoryStreamResolve(store_->state, store_->streamHandle, &s), ResultOk);
    return s;
  }
  ResultCode WriteAt(int32_t at, const Bytes& bytes) {
    EXPECT_EQ(StreamSeek(store_.get(), at, 0, nullptr), ResultOk);
    return StreamWriteBytes(store_.get(), bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  Bytes ReadAt(int32_t at, uint32_t count) {
    Bytes got(count);
    EXPECT_EQ(StreamSeek(store_.get(), at, 0, nullptr), ResultOk);
    EXPECT_EQ(StreamReadBytes(store_.get(), got.data(), count, nullptr), ResultOk);
    return got;
  }
  Chunks Layout() {
    Chunks chunks;
    for (MemoryChunk* c = Stream()->lowest; c != nullptr; c = c->higher) chunks.push_back({c->start, c->length});
    return chunks;
  }
  std::unique_ptr<Store> store_;
};

TEST_F(MemoryStreamTest, ShortReadsSeeksAndRangeLimits) {
  ASSERT_EQ(WriteAt(0, Pattern(50, 1)), ResultOk);
  uint8_t got[100];
  uint32_t at = 0;
  ASSERT_EQ(StreamSeek(store_.get(), 10, 0, nullptr), ResultOk);
  EXPECT_EQ(StreamReadBytes(store_.get(), got, 41, nullptr), ResultReadFailed);  // 40 remain
  ASSERT_EQ(StreamSeek(store_.get(), -8, 2, &at), ResultOk);
  EXPECT_EQ(at, 42u);
  ASSERT_EQ(StreamSeek(store_.get(), 5, 1, &at), ResultOk);
  EXPECT_EQ(at, 47u);
  ASSERT_EQ(StreamSeek(store_.get(), 5, 7, &at), ResultOk);  // unknown whence: stays
  EXPECT_EQ(at, 47u);
  // A zero-byte write beyond the end allocates and extends nothing; writes
  // outside the 31-bit range fail.
  MemSetFailure(0);
  ASSERT_EQ(StreamSeek(store_.get(), 1000, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamWriteBytes(store_.get(), nullptr, 0), ResultOk);
  EXPECT_EQ(MemAllocCount(), 0u);
  EXPECT_EQ(Stream()->size, 50);
  for (int32_t start : {0x7FFFFFF0, -5}) {
    ASSERT_EQ(StreamSeek(store_.get(), start, 0, nullptr), ResultOk);
    EXPECT_EQ(StreamWriteBytes(store_.get(), got, 100), ResultWriteFailed) << start;
  }
  EXPECT_EQ(Layout(), (Chunks{{0, 50}}));
}

// A write across gaps fills exactly the gaps; rewriting written bytes
// reuses the chunks and allocates nothing.
TEST_F(MemoryStreamTest, WritesFillGapsAndRewritesAllocateNothing) {
  ASSERT_EQ(WriteAt(10, Pattern(10, 1)), ResultOk);
  ASSERT_EQ(WriteAt(40, Pattern(10, 2)), ResultOk);
  Bytes span = Pattern(60, 3);
  ASSERT_EQ(WriteAt(0, span), ResultOk);
  const Chunks expected = {{0, 10}, {10, 10}, {20, 20}, {40, 10}, {50, 10}};
  EXPECT_EQ(Layout(), expected);
  EXPECT_EQ(ReadAt(0, 60), span);
  Bytes patch = Pattern(50, 200);
  MemSetFailure(0);
  ASSERT_EQ(WriteAt(5, patch), ResultOk);
  EXPECT_EQ(MemAllocCount(), 0u);
  EXPECT_EQ(Layout(), expected);
  EXPECT_EQ(ReadAt(5, 50), patch);
}

// Writes and reads at random positions against a plain byte vector in which
// -1 marks bytes never written: a read stops at the first gap. Afterwards
// the chunks must cover exactly the written bytes, in order, no overlap.
TEST_F(MemoryStreamTest, RandomizedAgainstByteVector) {
  constexpr int Span = 3000;
  for (uint32_t seed : {1u, 2u, 3u}) {
    TearDown();
    SetUp();
    std::mt19937 rng(seed);
    std::vector<int> model(Span + 400, -1);
    int32_t size = 0;
    for (int step = 0; step < 2000; ++step) {
      int32_t at = static_cast<int32_t>(rng() % Span);
      uint32_t count = rng() % 300;
      if (rng() % 2 == 0) {
        Bytes bytes = Pattern(count, static_cast<uint8_t>(rng()));
        ASSERT_EQ(WriteAt(at, bytes), ResultOk);
        for (uint32_t i = 0; i < count; ++i) model[at + i] = bytes[i];
        if (count > 0 && at + static_cast<int32_t>(count) > size) size = at + static_cast<int32_t>(count);
        ASSERT_EQ(Stream()->size, size);
      } else {
        Bytes got(count + 1, 0xEE);
        uint32_t n = 12345;
        ASSERT_EQ(StreamSeek(store_.get(), at, 0, nullptr), ResultOk);
        ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), count, &n), ResultOk);
        uint32_t expected = 0;
        while (expected < count && model[at + expected] >= 0) ++expected;
        ASSERT_EQ(n, expected) << "seed " << seed << " step " << step;
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(got[i], model[at + i]);
        ASSERT_EQ(got[count], 0xEE);
        ASSERT_EQ(Stream()->position, at + static_cast<int32_t>(n));
      }
    }
    std::vector<bool> covered(model.size(), false);
    int64_t lastEnd = INT64_MIN;
    MemoryChunk* previous = nullptr;
    for (MemoryChunk* c = Stream()->lowest; c != nullptr; c = c->higher) {
      ASSERT_EQ(c->lower, previous);
      ASSERT_GT(c->length, 0);
      ASSERT_GE(c->start, lastEnd);
      for (int32_t i = 0; i < c->length; ++i) covered[c->start + i] = true;
      lastEnd = int64_t{c->start} + c->length;
      previous = c;
    }
    ASSERT_EQ(Stream()->highest, previous);
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(covered[i], model[i] >= 0) << "offset " << i;
  }
}

TEST_F(MemoryStreamTest, FailedChunkAllocationKeepsPositionAndLeaksNothing) {
  ASSERT_EQ(WriteAt(100, Pattern(10, 1)), ResultOk);
  ASSERT_EQ(WriteAt(200, Pattern(10, 1)), ResultOk);
  Bytes span = Pattern(300, 9);  // needs [0,100), [110,200) and [210,300)
  for (uint64_t n = 1;; ++n) {
    ASSERT_EQ(StreamSeek(store_.get(), 0, 0, nullptr), ResultOk);
    MemSetFailure(n);
    ResultCode rc = StreamWriteBytes(store_.get(), span.data(), 300);
    MemSetFailure(0);
    if (rc == ResultOk) break;
    ASSERT_EQ(rc, ResultWriteFailed);
    EXPECT_EQ(Stream()->position, 0);
    EXPECT_EQ(Stream()->size, 210);
    ASSERT_LT(n, 20u);
  }
  EXPECT_EQ(ReadAt(0, 300), span);
}

// Handles are slots of a table that grows by doubling and goes away with
// its last stream; bad handles give 264, failed allocations 272 and leave
// the table as it was.
TEST(MemoryStreamTableTest, HandlesAndAllocationFailures) {
  LibraryState* state = State();
  ASSERT_EQ(state->memCount, 0u);
  int32_t h[5] = {-7};
  for (uint64_t n = 1; n <= 2; ++n) {  // the table, then the stream
    MemSetFailure(n);
    EXPECT_EQ(MemoryStreamOpen(state, &h[0]), ResultNoMemory);
    MemSetFailure(0);
    EXPECT_EQ(h[0], -7);
    EXPECT_EQ(state->memStreams, nullptr);
  }
  for (int i = 0; i < 4; ++i) ASSERT_EQ(MemoryStreamOpen(state, &h[i]), ResultOk);
  MemoryStream** table = state->memStreams;
  MemSetFailure(1);
  EXPECT_EQ(MemoryStreamOpen(state, &h[4]), ResultNoMemory);
  MemSetFailure(0);
  EXPECT_EQ(state->memStreams, table);
  EXPECT_EQ(state->memCount, 4u);
  ASSERT_EQ(MemoryStreamOpen(state, &h[4]), ResultOk);
  EXPECT_EQ(h[4], 5);
  MemoryStream* s = nullptr;
  for (int32_t bad : {0, -1, 6, 9, INT32_MIN}) {  // 6 empty, 9 above the capacity of 8
    EXPECT_EQ(MemoryStreamResolve(state, bad, &s), ResultNotTransactionFile) << bad;
  }
  EXPECT_EQ(MemoryStreamClose(state, 6), ResultNotTransactionFile);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(MemoryStreamClose(state, h[i]), ResultOk);
  EXPECT_EQ(state->memStreams, nullptr);
  Store store{};
  store.state = state;
  store.isMemory = 1;
  store.streamHandle = 3;
  uint8_t byte = 0;
  EXPECT_EQ(StreamSeek(&store, 0, 0, nullptr), ResultNotTransactionFile);
  EXPECT_EQ(StreamReadBytes(&store, &byte, 1, nullptr), ResultNotTransactionFile);
  EXPECT_EQ(StreamWriteBytes(&store, &byte, 1), ResultNotTransactionFile);
  EXPECT_EQ(StreamClose(&store, 0), ResultNotTransactionFile);
}

TEST(MemoryNameTest, OnlyTheWholeNameInAnyCase) {
  for (const char* yes : {"MEMORY$", "memory$", "MeMoRy$"}) EXPECT_TRUE(IsMemoryName(yes)) << yes;
  for (const char* no : {"MEMORY$.TRN", "MEMORY", "/tmp/MEMORY$", ""}) EXPECT_FALSE(IsMemoryName(no)) << no;
  EXPECT_FALSE(IsMemoryName(nullptr));
}

}  // namespace
}  // namespace varnfile
