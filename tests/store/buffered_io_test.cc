// The buffered byte layer: coherence of the read window and the write
// buffer against a plain byte-vector model, the stream traffic of appends
// and the worked window cases. Reads past the end and of bytes still in the
// write buffer are part of the random operations.
#include "store/buffered_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/posix_file.h"
#include "store/record_io.h"
#include "store/store_stream_fixture.h"

namespace varnfile {
namespace {

using testing_support::Backend;
using testing_support::StoreUnderTest;

std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return v;
}

void Put(Store* store, const std::vector<uint8_t>& bytes, uint32_t position) {
  ASSERT_EQ(0, BufferedWrite(store, bytes.data(), position, static_cast<uint32_t>(bytes.size())));
  ASSERT_EQ(0, FlushWriteBuffer(store, 0));
}

constexpr uint32_t BufferSizes[] = {0, 1, 7, 64, 1024, 4096};

// Random writes (never leaving a gap), reads walking forwards, backwards or
// anywhere, flushes and resizes: every read returns what the model holds.
void RunCoherence(Backend backend, uint32_t readSize, uint32_t writeSize, uint32_t seed, int operations) {
  SCOPED_TRACE(testing::Message() << (backend == Backend::Disk ? "disk" : "memory") << " read "
                                  << readSize << " write " << writeSize);
  StoreUnderTest t(backend);
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, StoreSetParameters(s, readSize, writeSize));
  std::mt19937 rng(seed);
  std::vector<uint8_t> model;
  uint32_t cursor = 0;
  auto length = [&](uint32_t small, uint32_t large) { return rng() % 4 == 0 ? rng() % (large + 1) : rng() % (small + 1); };
  for (int op = 0; op < operations; ++op) {
    uint32_t kind = rng() % 100, size = static_cast<uint32_t>(model.size()), pick = rng() % 4;
    if (kind < 35 || size < 200) {
      uint32_t position = pick == 0 || size == 0 ? size : pick == 1 ? rng() % (size + 1) : std::min(cursor, size);
      uint32_t count = length(64, 5000);
      std::vector<uint8_t> bytes = Pattern(count, seed * 7919u + static_cast<uint32_t>(op));
      ASSERT_EQ(0, BufferedWrite(s, bytes.data(), position, count)) << "op " << op;
      if (position + count > size) model.resize(position + count);
      if (count != 0) std::memcpy(model.data() + position, bytes.data(), count);
    } else if (kind < 90) {
      uint32_t count = length(40, 6000);
      uint32_t position = pick == 0 ? (cursor > count + 10 ? cursor - count - rng() % 10 : rng() % (size + 1))
                          : pick == 1 ? cursor : rng() % (size + 64);
      std::vector<uint8_t> got(count + 1, 0xEE);
      ResultCode rc = BufferedRead(s, got.data(), position, count, rng() % 5 == 0 ? 1 : 0);
      if (static_cast<uint64_t>(position) + count <= size) {
        ASSERT_EQ(0, rc) << "op " << op << " read " << count << " at " << position;
        ASSERT_EQ(0, count == 0 ? 0 : std::memcmp(got.data(), model.data() + position, count)) << "op " << op;
        cursor = pick == 0 ? position : position + count;
      } else if (count != 0) {
        ASSERT_EQ(ResultReadFailed, rc) << "op " << op << " read " << count << " at " << position;
      }
      ASSERT_EQ(0xEE, got[count]) << "wrote past the destination";
    } else if (kind < 96) {
      ASSERT_EQ(0, FlushWriteBuffer(s, 0));
    } else {
      ASSERT_EQ(0, StoreSetParameters(s, BufferSizes[rng() % 6], BufferSizes[rng() % 6]));
    }
  }
  uint8_t b[100];
  EXPECT_EQ(ResultReadFailed, BufferedRead(s, b, 0xFFFFFFF0u, 100, 0));  // the end wraps around
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  EXPECT_EQ(model, t.StreamBytes());
}

TEST(BufferCoherence, RandomOperationsMatchByteModel) {
  uint32_t seed = 1;
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    for (uint32_t r : BufferSizes) {
      for (uint32_t w : BufferSizes) {
        RunCoherence(backend, r, w, seed++, backend == Backend::Memory ? 1500 : 400);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(BufferTraffic, AppendsReachTheStreamInWriteBufferPieces) {
  StoreUnderTest t(Backend::Disk);
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, t.PrepareEmptyFile());
  std::vector<uint8_t> data = Pattern(100, 3);
  RecordView view = {};
  view.data = data.data();
  view.header.length = 100;
  FileResetCallCounts();
  while (s->endOfData - FirstItemPosition < 1024 * 1024) {
    view.header.extraValue++;
    ASSERT_EQ(0, WriteRecord(s, &view));
  }
  uint64_t writesBeforeFlush = FileCallCount(FileCallWrite);
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  uint32_t bytes = s->endOfData - FirstItemPosition;
  // Every write but the last carries exactly 1,024 bytes; nothing is read.
  EXPECT_EQ((bytes + 1023) / 1024, FileCallCount(FileCallWrite));
  EXPECT_EQ(bytes / 1024, writesBeforeFlush);
  EXPECT_EQ(0u, FileCallCount(FileCallRead));
  EXPECT_LE(FileCallCount(FileCallSeek), 1u);
}

TEST(ReadWindow, BackwardReadCentresTheWindowAndDirectReadsDoNot) {
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    StoreUnderTest t(backend);
    ASSERT_EQ(0, t.openResult());
    Store* s = t.store();
    std::vector<uint8_t> bytes = Pattern(30000, 6);
    Put(s, bytes, 0);
    uint8_t b[8];
    ASSERT_EQ(0, BufferedRead(s, b, 20000, 8, 0));
    EXPECT_EQ(20000u, s->readBufferStart);
    FileResetCallCounts();
    ASSERT_EQ(0, BufferedRead(s, b, 10000, 8, 0));
    EXPECT_EQ(0, std::memcmp(b, bytes.data() + 10000, 8));
    EXPECT_EQ(9492u, s->readBufferStart);  // 10,000 - (1,024 - 8) / 2
    EXPECT_EQ(1024u, s->readBufferLength);
    ASSERT_EQ(0, BufferedRead(s, b, 9500, 8, 0));  // served by the look-behind
    EXPECT_EQ(0, std::memcmp(b, bytes.data() + 9500, 8));
    EXPECT_EQ(backend == Backend::Disk ? 1u : 0u, FileCallCount(FileCallRead));
    ASSERT_EQ(0, BufferedRead(s, b, 5000, 8, 1));
    EXPECT_EQ(5000u, s->readBufferStart);
    EXPECT_EQ(8u, s->readBufferLength);
    // The window never reaches back into the file header.
    ASSERT_EQ(0, BufferedRead(s, b, 400, 8, 0));
    EXPECT_EQ(FirstItemPosition, s->readBufferStart);
    EXPECT_EQ(0, std::memcmp(b, bytes.data() + 400, 8));
  }
}

}  // namespace
}  // namespace varnfile
