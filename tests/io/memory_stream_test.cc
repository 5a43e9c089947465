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

LibraryState* State() {
  LibraryState* state = LockLibrary();
  UnlockLibrary();
  return state;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
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
  ResultCode WriteAt(int32_t at, const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(StreamSeek(store_.get(), at, 0, nullptr), ResultOk);
    return StreamWriteBytes(store_.get(), bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  size_t ChunkCount() {
    size_t n = 0;
    for (MemoryChunk* c = Stream()->lowest; c != nullptr; c = c->higher) ++n;
    return n;
  }

  std::unique_ptr<Store> store_;
};

TEST_F(MemoryStreamTest, AdjacentWritesMakeTwoChunksAndReadAcross) {
  auto first = Pattern(100, 1), second = Pattern(100, 99);
  ASSERT_EQ(WriteAt(0, first), ResultOk);
  ASSERT_EQ(WriteAt(100, second), ResultOk);
  EXPECT_EQ(ChunkCount(), 2u);
  EXPECT_EQ(Stream()->size, 200);

  std::vector<uint8_t> got(200);
  uint32_t position = 1;
  ASSERT_EQ(StreamSeek(store_.get(), 0, 0, &position), ResultOk);
  EXPECT_EQ(position, 0u);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 200, nullptr), ResultOk);
  EXPECT_EQ(0, std::memcmp(got.data(), first.data(), 100));
  EXPECT_EQ(0, std::memcmp(got.data() + 100, second.data(), 100));
  EXPECT_EQ(Stream()->position, 200);
}

TEST_F(MemoryStreamTest, GapStopsReads) {
  ASSERT_EQ(WriteAt(0, Pattern(200, 3)), ResultOk);
  ASSERT_EQ(WriteAt(300, Pattern(10, 5)), ResultOk);
  EXPECT_EQ(Stream()->size, 310);

  std::vector<uint8_t> got(200);
  uint32_t n = 0;
  ASSERT_EQ(StreamSeek(store_.get(), 150, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 200, &n), ResultOk);
  EXPECT_EQ(n, 50u);
  EXPECT_EQ(Stream()->position, 200);

  ASSERT_EQ(StreamSeek(store_.get(), 150, 0, nullptr), ResultOk);
  EXPECT_EQ(StreamReadBytes(store_.get(), got.data(), 200, nullptr), ResultReadFailed);
  // Inside the gap nothing at all comes back.
  ASSERT_EQ(StreamSeek(store_.get(), 250, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 10, &n), ResultOk);
  EXPECT_EQ(n, 0u);
  // Past the last chunk likewise, although size is not looked at.
  ASSERT_EQ(StreamSeek(store_.get(), 305, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 10, &n), ResultOk);
  EXPECT_EQ(n, 5u);
}

TEST_F(MemoryStreamTest, RewritingAllocatesNothing) {
  ASSERT_EQ(WriteAt(0, Pattern(100, 1)), ResultOk);
  ASSERT_EQ(WriteAt(100, Pattern(100, 2)), ResultOk);
  auto patch = Pattern(100, 200);
  MemSetFailure(0);
  ASSERT_EQ(WriteAt(50, patch), ResultOk);
  EXPECT_EQ(MemAllocCount(), 0u);
  EXPECT_EQ(ChunkCount(), 2u);
  std::vector<uint8_t> got(100);
  ASSERT_EQ(StreamSeek(store_.get(), 50, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 100, nullptr), ResultOk);
  EXPECT_EQ(got, patch);
}

TEST_F(MemoryStreamTest, WriteSpanningGapFillsItExactly) {
  ASSERT_EQ(WriteAt(10, Pattern(10, 1)), ResultOk);   // [10, 20)
  ASSERT_EQ(WriteAt(40, Pattern(10, 2)), ResultOk);   // [40, 50)
  auto span = Pattern(60, 3);
  ASSERT_EQ(WriteAt(0, span), ResultOk);  // [0, 60): adds [0,10), [20,40), [50,60)
  std::vector<std::pair<int32_t, int32_t>> chunks;
  for (MemoryChunk* c = Stream()->lowest; c != nullptr; c = c->higher) chunks.push_back({c->start, c->length});
  std::vector<std::pair<int32_t, int32_t>> expected = {{0, 10}, {10, 10}, {20, 20}, {40, 10}, {50, 10}};
  EXPECT_EQ(chunks, expected);
  std::vector<uint8_t> got(60);
  ASSERT_EQ(StreamSeek(store_.get(), 0, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 60, nullptr), ResultOk);
  EXPECT_EQ(got, span);
}

TEST_F(MemoryStreamTest, ZeroByteWriteBeyondSizeChangesNothing) {
  ASSERT_EQ(WriteAt(0, Pattern(20, 1)), ResultOk);
  MemSetFailure(0);
  ASSERT_EQ(StreamSeek(store_.get(), 1000, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamWriteBytes(store_.get(), nullptr, 0), ResultOk);
  EXPECT_EQ(MemAllocCount(), 0u);
  EXPECT_EQ(ChunkCount(), 1u);
  EXPECT_EQ(Stream()->size, 20);
  EXPECT_EQ(Stream()->position, 1000);
}

TEST_F(MemoryStreamTest, SeekFromCurrentAndEnd) {
  ASSERT_EQ(WriteAt(0, Pattern(50, 1)), ResultOk);
  uint32_t at = 0;
  ASSERT_EQ(StreamSeek(store_.get(), -8, 2, &at), ResultOk);
  EXPECT_EQ(at, 42u);
  ASSERT_EQ(StreamSeek(store_.get(), 5, 1, &at), ResultOk);
  EXPECT_EQ(at, 47u);
  ASSERT_EQ(StreamSeek(store_.get(), 5, 7, &at), ResultOk);  // unknown whence: stays
  EXPECT_EQ(at, 47u);
}

TEST_F(MemoryStreamTest, WritesOutsideThe31BitRangeFail) {
  ASSERT_EQ(StreamSeek(store_.get(), 0x7FFFFFF0, 0, nullptr), ResultOk);
  auto bytes = Pattern(100, 1);
  EXPECT_EQ(StreamWriteBytes(store_.get(), bytes.data(), 100), ResultWriteFailed);
  ASSERT_EQ(StreamSeek(store_.get(), -5, 0, nullptr), ResultOk);
  EXPECT_EQ(StreamWriteBytes(store_.get(), bytes.data(), 10), ResultWriteFailed);
  EXPECT_EQ(ChunkCount(), 0u);
}

// Writes and reads at random positions against a plain byte vector in which
// -1 marks bytes never written. Afterwards the chunks must cover exactly the
// written bytes, in order and without overlap.
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
        auto bytes = Pattern(count, static_cast<uint8_t>(rng()));
        ASSERT_EQ(WriteAt(at, bytes), ResultOk);
        for (uint32_t i = 0; i < count; ++i) model[at + i] = bytes[i];
        if (count > 0 && at + static_cast<int32_t>(count) > size) size = at + static_cast<int32_t>(count);
        ASSERT_EQ(Stream()->size, size);
      } else {
        std::vector<uint8_t> got(count + 1, 0xEE);
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

// A stream written in many small pieces (as with an unbuffered store) is
// read forwards and backwards piece by piece, and rewritten in the middle.
TEST_F(MemoryStreamTest, ManySmallChunksInBothDirections) {
  constexpr int Pieces = 50000;
  for (int i = 0; i < Pieces; ++i) {
    uint8_t piece[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x77};
    ASSERT_EQ(StreamWriteBytes(store_.get(), piece, 3), ResultOk);
  }
  EXPECT_EQ(ChunkCount(), static_cast<size_t>(Pieces));
  uint8_t got[3];
  for (int i = Pieces - 1; i >= 0; i -= 7) {
    ASSERT_EQ(StreamSeek(store_.get(), i * 3, 0, nullptr), ResultOk);
    ASSERT_EQ(StreamReadBytes(store_.get(), got, 3, nullptr), ResultOk);
    ASSERT_EQ(got[0], static_cast<uint8_t>(i));
    ASSERT_EQ(got[1], static_cast<uint8_t>(i >> 8));
  }
  ASSERT_EQ(StreamSeek(store_.get(), 0, 0, nullptr), ResultOk);
  for (int i = 0; i < Pieces; ++i) {
    ASSERT_EQ(StreamReadBytes(store_.get(), got, 3, nullptr), ResultOk);
    ASSERT_EQ(got[0], static_cast<uint8_t>(i));
  }
  // Rewrites across piece boundaries reuse the pieces.
  MemSetFailure(0);
  for (int i = Pieces - 2; i > 0; i -= 11) {
    uint8_t patch[4] = {1, 2, 3, 4};
    ASSERT_EQ(StreamSeek(store_.get(), i * 3 + 1, 0, nullptr), ResultOk);
    ASSERT_EQ(StreamWriteBytes(store_.get(), patch, 4), ResultOk);
  }
  EXPECT_EQ(MemAllocCount(), 0u);
  EXPECT_EQ(ChunkCount(), static_cast<size_t>(Pieces));
}

TEST_F(MemoryStreamTest, FailedChunkAllocationKeepsPositionAndLeaksNothing) {
  ASSERT_EQ(WriteAt(100, Pattern(10, 1)), ResultOk);
  ASSERT_EQ(WriteAt(200, Pattern(10, 1)), ResultOk);
  auto span = Pattern(300, 9);  // needs [0,100), [110,200) and [210,300)
  for (uint64_t n = 1;; ++n) {
    ASSERT_EQ(StreamSeek(store_.get(), 0, 0, nullptr), ResultOk);
    MemSetFailure(n);
    ResultCode rc = StreamWriteBytes(store_.get(), span.data(), 300);
    MemSetFailure(0);
    if (rc == ResultOk) {
      EXPECT_GT(n, 1u);
      break;
    }
    ASSERT_EQ(rc, ResultWriteFailed);
    EXPECT_EQ(Stream()->position, 0);
    EXPECT_EQ(Stream()->size, 210);
    ASSERT_LT(n, 20u);
  }
  std::vector<uint8_t> got(300);
  ASSERT_EQ(StreamSeek(store_.get(), 0, 0, nullptr), ResultOk);
  ASSERT_EQ(StreamReadBytes(store_.get(), got.data(), 300, nullptr), ResultOk);
  EXPECT_EQ(got, span);
}

// ---- the memory-stream table ----

TEST(MemoryStreamTableTest, HandlesReuseGrowAndRestart) {
  LibraryState* state = State();
  ASSERT_EQ(state->memCount, 0u);
  int32_t h[6];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(MemoryStreamOpen(state, &h[i]), ResultOk);
  EXPECT_EQ(h[0], 1);
  EXPECT_EQ(h[2], 3);
  EXPECT_EQ(state->memCapacity, 4u);
  ASSERT_EQ(MemoryStreamClose(state, 2), ResultOk);
  ASSERT_EQ(MemoryStreamOpen(state, &h[1]), ResultOk);
  EXPECT_EQ(h[1], 2);
  ASSERT_EQ(MemoryStreamOpen(state, &h[3]), ResultOk);
  EXPECT_EQ(state->memCapacity, 4u);
  ASSERT_EQ(MemoryStreamOpen(state, &h[4]), ResultOk);
  EXPECT_EQ(h[4], 5);
  EXPECT_EQ(state->memCapacity, 8u);

  MemoryStream* s = nullptr;
  EXPECT_EQ(MemoryStreamResolve(state, 0, &s), ResultNotTransactionFile);
  EXPECT_EQ(MemoryStreamResolve(state, -1, &s), ResultNotTransactionFile);
  EXPECT_EQ(MemoryStreamResolve(state, 6, &s), ResultNotTransactionFile);  // empty slot
  EXPECT_EQ(MemoryStreamResolve(state, 9, &s), ResultNotTransactionFile);  // above capacity
  EXPECT_EQ(MemoryStreamResolve(state, INT32_MIN, &s), ResultNotTransactionFile);
  EXPECT_EQ(MemoryStreamClose(state, 6), ResultNotTransactionFile);

  for (int i = 0; i < 5; ++i) ASSERT_EQ(MemoryStreamClose(state, h[i]), ResultOk);
  EXPECT_EQ(state->memStreams, nullptr);
  EXPECT_EQ(state->memCapacity, 0u);
  EXPECT_EQ(state->memCount, 0u);
  ASSERT_EQ(MemoryStreamOpen(state, &h[0]), ResultOk);
  EXPECT_EQ(h[0], 1);
  ASSERT_EQ(MemoryStreamClose(state, h[0]), ResultOk);
}

TEST(MemoryStreamTableTest, StreamOperationsOnAClosedHandleGive264) {
  Store store{};
  store.state = State();
  store.isMemory = 1;
  store.streamHandle = 3;
  uint8_t byte = 0;
  EXPECT_EQ(StreamSeek(&store, 0, 0, nullptr), ResultNotTransactionFile);
  EXPECT_EQ(StreamReadBytes(&store, &byte, 1, nullptr), ResultNotTransactionFile);
  EXPECT_EQ(StreamWriteBytes(&store, &byte, 1), ResultNotTransactionFile);
  EXPECT_EQ(StreamClose(&store, 0), ResultNotTransactionFile);
}

TEST(MemoryStreamTableTest, AllocationFailuresGive272AndLeaveTableAsBefore) {
  LibraryState* state = State();
  // Empty table: either allocation failing leaves no table behind.
  for (uint64_t n = 1; n <= 2; ++n) {
    int32_t h = -7;
    MemSetFailure(n);
    EXPECT_EQ(MemoryStreamOpen(state, &h), ResultNoMemory);
    MemSetFailure(0);
    EXPECT_EQ(h, -7);
    EXPECT_EQ(state->memStreams, nullptr);
    EXPECT_EQ(state->memCapacity, 0u);
  }
  // A full table that cannot grow keeps its four streams.
  int32_t h[4];
  for (auto& x : h) ASSERT_EQ(MemoryStreamOpen(state, &x), ResultOk);
  MemoryStream** table = state->memStreams;
  int32_t extra = 0;
  MemSetFailure(1);
  EXPECT_EQ(MemoryStreamOpen(state, &extra), ResultNoMemory);
  MemSetFailure(0);
  EXPECT_EQ(state->memStreams, table);
  EXPECT_EQ(state->memCapacity, 4u);
  EXPECT_EQ(state->memCount, 4u);
  for (auto x : h) ASSERT_EQ(MemoryStreamClose(state, x), ResultOk);
  EXPECT_EQ(state->memStreams, nullptr);
}

TEST(MemoryNameTest, OnlyTheWholeNameInAnyCase) {
  EXPECT_TRUE(IsMemoryName("MEMORY$"));
  EXPECT_TRUE(IsMemoryName("memory$"));
  EXPECT_TRUE(IsMemoryName("MeMoRy$"));
  EXPECT_FALSE(IsMemoryName("MEMORY$.TRN"));
  EXPECT_FALSE(IsMemoryName("MEMORY"));
  EXPECT_FALSE(IsMemoryName("/tmp/MEMORY$"));
  EXPECT_FALSE(IsMemoryName(""));
  EXPECT_FALSE(IsMemoryName(nullptr));
}

}  // namespace
}  // namespace varnfile
