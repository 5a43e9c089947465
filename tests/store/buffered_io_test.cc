// The buffered byte layer: coherence of the read window and the write
// buffer against a plain byte-vector model, the stream traffic the buffers
// produce, and the worked window cases.
#include "store/buffered_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/memory.h"
#include "platform/posix_file.h"
#include "store/record_io.h"
#include "store/store_stream_fixture.h"

namespace varnfile {
namespace {

using testing_support::Backend;
using testing_support::BackendName;
using testing_support::StoreUnderTest;

std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// Writes bytes straight through the buffers at position and flushes.
void Put(Store* store, const std::vector<uint8_t>& bytes, uint32_t position) {
  ASSERT_EQ(0, BufferedWrite(store, bytes.data(), position, static_cast<uint32_t>(bytes.size())));
  ASSERT_EQ(0, FlushWriteBuffer(store, 0));
}

// ---------------------------------------------------------------------------
// Randomized coherence: every read must return what the model holds.

constexpr uint32_t BufferSizes[] = {0, 1, 7, 64, 1024, 4096};

struct CoherenceStats {
  uint64_t operations = 0;
  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t configurations = 0;
};

CoherenceStats totalStats;

void RunCoherence(Backend backend, uint32_t readSize, uint32_t writeSize, uint32_t seed,
                  int operations) {
  SCOPED_TRACE(testing::Message() << BackendName(backend) << " read " << readSize << " write "
                                  << writeSize << " seed " << seed);
  StoreUnderTest t(backend, "coherence");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, StoreSetParameters(s, readSize, writeSize));
  std::mt19937 rng(seed);
  std::vector<uint8_t> model;
  uint32_t cursor = 0;  // drives sequential forward and backward walks

  auto length = [&](uint32_t small, uint32_t large) {
    return rng() % 4 == 0 ? rng() % (large + 1) : rng() % (small + 1);
  };
  for (int op = 0; op < operations; ++op) {
    uint32_t kind = rng() % 100;
    if (kind < 35 || model.size() < 200) {
      // Write at or before the end (never a gap): appends, overwrites,
      // writes straddling the end.
      uint32_t size = static_cast<uint32_t>(model.size());
      uint32_t position;
      uint32_t pick = rng() % 3;
      if (pick == 0 || size == 0) {
        position = size;
      } else if (pick == 1) {
        position = rng() % (size + 1);
      } else {
        position = cursor <= size ? cursor : size;
      }
      uint32_t count = length(64, 5000);
      std::vector<uint8_t> bytes = Pattern(count, seed * 7919u + static_cast<uint32_t>(op));
      ASSERT_EQ(0, BufferedWrite(s, bytes.data(), position, count)) << "op " << op;
      if (position + count > model.size()) model.resize(position + count);
      if (count != 0) std::memcpy(model.data() + position, bytes.data(), count);
      totalStats.writes++;
    } else if (kind < 90) {
      uint32_t size = static_cast<uint32_t>(model.size());
      uint32_t count = length(40, 6000);
      uint32_t position;
      uint32_t pick = rng() % 4;
      if (pick == 0) {  // walking backwards
        position = cursor > count + 10 ? cursor - count - rng() % 10 : rng() % (size + 1);
      } else if (pick == 1) {  // walking forwards
        position = cursor;
      } else {
        position = rng() % (size + 64);
      }
      uint32_t direct = rng() % 5 == 0 ? 1 : 0;
      std::vector<uint8_t> got(count + 1, 0xEE);
      ResultCode rc = BufferedRead(s, got.data(), position, count, direct);
      if (static_cast<uint64_t>(position) + count <= size) {
        ASSERT_EQ(0, rc) << "op " << op << " read " << count << " at " << position;
        ASSERT_EQ(0, count == 0 ? 0 : std::memcmp(got.data(), model.data() + position, count))
            << "op " << op << " read " << count << " at " << position;
      } else if (count != 0) {
        ASSERT_EQ(ResultReadFailed, rc) << "op " << op << " read " << count << " at " << position;
      }
      ASSERT_EQ(0xEE, got[count]) << "wrote past the destination";
      if (rc == 0) cursor = pick == 0 ? position : position + count;
      totalStats.reads++;
    } else if (kind < 96) {
      ASSERT_EQ(0, FlushWriteBuffer(s, 0));
    } else {
      uint32_t r = BufferSizes[rng() % 6];
      uint32_t w = BufferSizes[rng() % 6];
      ASSERT_EQ(0, StoreSetParameters(s, r, w));
    }
    totalStats.operations++;
  }
  // Everything reaches the stream exactly as modelled.
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  EXPECT_EQ(model, t.StreamBytes());
  totalStats.configurations++;
}

TEST(BufferCoherence, RandomOperationsMatchByteModel) {
  totalStats = CoherenceStats();
  uint32_t seed = 1;
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    for (uint32_t r : BufferSizes) {
      for (uint32_t w : BufferSizes) {
        // Disk writes are synchronous: fewer operations there.
        RunCoherence(backend, r, w, seed++, backend == Backend::Memory ? 1500 : 400);
        if (HasFatalFailure()) return;
      }
    }
  }
  RecordProperty("operations", static_cast<int>(totalStats.operations));
  std::printf("coherence: %llu operations (%llu reads, %llu writes) over %llu configurations\n",
              static_cast<unsigned long long>(totalStats.operations),
              static_cast<unsigned long long>(totalStats.reads),
              static_cast<unsigned long long>(totalStats.writes),
              static_cast<unsigned long long>(totalStats.configurations));
}

// ---------------------------------------------------------------------------
// Stream traffic, counted at the platform layer of a disk file.

class DiskTraffic : public testing::Test {
 protected:
  void SetUp() override { FileResetCallCounts(); }
  static uint64_t Reads() { return FileCallCount(FileCallRead); }
  static uint64_t Writes() { return FileCallCount(FileCallWrite); }
  static uint64_t Seeks() { return FileCallCount(FileCallSeek); }
};

TEST_F(DiskTraffic, AppendsReachTheStreamInWriteBufferPieces) {
  StoreUnderTest t(Backend::Disk, "append");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, t.PrepareEmptyFile());
  std::vector<uint8_t> data = Pattern(100, 3);
  RecordView view = {};
  view.data = data.data();
  view.header.length = 100;
  FileResetCallCounts();
  uint32_t records = 0;
  while (s->endOfData - FirstItemPosition < 1024 * 1024) {
    view.header.extraValue = records++;
    ASSERT_EQ(0, WriteRecord(s, &view));
  }
  uint64_t writesBeforeFlush = Writes();
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  uint32_t bytes = s->endOfData - FirstItemPosition;
  // Every write but the last carries exactly 1,024 bytes.
  EXPECT_EQ((bytes + 1023) / 1024, Writes());
  EXPECT_EQ(bytes / 1024, writesBeforeFlush);
  EXPECT_EQ(0u, Reads());
  EXPECT_LE(Seeks(), 1u);  // only the first write moves the stream
  std::printf("appending %u records of 100 data bytes (%u file bytes): %llu stream writes\n",
              records, bytes, static_cast<unsigned long long>(Writes()));
}

TEST_F(DiskTraffic, UnbufferedWritesGoStraightToTheStream) {
  StoreUnderTest t(Backend::Disk, "nowb");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, StoreSetParameters(s, 1024, 0));
  FileResetCallCounts();
  std::vector<uint8_t> b = Pattern(10, 1);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(0, BufferedWrite(s, b.data(), i * 10, 10));
  EXPECT_EQ(5u, Writes());
  EXPECT_EQ(0u, Seeks());  // each write continues where the last ended
  EXPECT_EQ(nullptr, s->writeBuffer);
}

TEST_F(DiskTraffic, ReadOfBufferedBytesDoesNotTouchTheStream) {
  StoreUnderTest t(Backend::Disk, "wbread");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  std::vector<uint8_t> before = Pattern(2000, 1);
  Put(s, before, 0);
  std::vector<uint8_t> fresh = Pattern(300, 2);
  ASSERT_EQ(0, BufferedWrite(s, fresh.data(), 2000, 300));
  FileResetCallCounts();
  std::vector<uint8_t> got(300);
  ASSERT_EQ(0, BufferedRead(s, got.data(), 2000, 300, 0));
  EXPECT_EQ(fresh, got);
  EXPECT_EQ(0u, Reads() + Seeks() + Writes());

  // Straddling the buffer's start: stream bytes before, buffered bytes after.
  std::vector<uint8_t> mixed(100);
  ASSERT_EQ(0, BufferedRead(s, mixed.data(), 1950, 100, 0));
  EXPECT_EQ(0, std::memcmp(mixed.data(), before.data() + 1950, 50));
  EXPECT_EQ(0, std::memcmp(mixed.data() + 50, fresh.data(), 50));
  EXPECT_EQ(300u, s->writeBufferLength);  // nothing was flushed for it
  EXPECT_EQ(0u, Writes());
}

TEST_F(DiskTraffic, ReadLargerThanTheBufferBypassesIt) {
  StoreUnderTest t(Backend::Disk, "bypass");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, StoreSetParameters(s, 64, 1024));
  std::vector<uint8_t> bytes = Pattern(4000, 5);
  Put(s, bytes, 0);
  FileResetCallCounts();
  std::vector<uint8_t> got(65);
  ASSERT_EQ(0, BufferedRead(s, got.data(), 1000, 65, 0));
  EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + 1000, 65));
  EXPECT_EQ(1u, Reads());
  EXPECT_EQ(nullptr, s->readBuffer);  // never needed
  // Exactly the buffer size still goes through the window.
  ASSERT_EQ(0, BufferedRead(s, got.data(), 2000, 64, 0));
  EXPECT_NE(nullptr, s->readBuffer);
  EXPECT_EQ(2000u, s->readBufferStart);
  EXPECT_EQ(64u, s->readBufferLength);
}

TEST_F(DiskTraffic, NoReadBufferMeansEveryReadHitsTheStream) {
  StoreUnderTest t(Backend::Disk, "norb");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  ASSERT_EQ(0, StoreSetParameters(s, 0, 1024));
  Put(s, Pattern(500, 9), 0);
  FileResetCallCounts();
  uint8_t b[8];
  for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(0, BufferedRead(s, b, 100 + 8 * i, 8, 0));
  EXPECT_EQ(4u, Reads());
  EXPECT_EQ(1u, Seeks());  // the reads follow one another
}

TEST_F(DiskTraffic, SmallSequentialReadsShareOneWindowFill) {
  StoreUnderTest t(Backend::Disk, "seq");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  std::vector<uint8_t> bytes = Pattern(5000, 4);
  Put(s, bytes, 0);
  FileResetCallCounts();
  uint8_t b[22];
  for (uint32_t p = 1000; p + 22 <= 2000; p += 22) {
    ASSERT_EQ(0, BufferedRead(s, b, p, 22, 0));
    ASSERT_EQ(0, std::memcmp(b, bytes.data() + p, 22));
  }
  EXPECT_EQ(1u, Reads());
}

// ---------------------------------------------------------------------------
// Worked window cases.

TEST(ReadWindow, BackwardReadCentresTheWindow) {
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    StoreUnderTest t(backend, "centre");
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
    if (backend == Backend::Disk) {
      EXPECT_EQ(1u, FileCallCount(FileCallRead));
    }
    // The look-behind serves the next backward steps without the stream.
    ASSERT_EQ(0, BufferedRead(s, b, 9500, 8, 0));
    EXPECT_EQ(0, std::memcmp(b, bytes.data() + 9500, 8));
    if (backend == Backend::Disk) {
      EXPECT_EQ(1u, FileCallCount(FileCallRead));
    }

    // Direct mode reads only what is needed, with no look-behind.
    ASSERT_EQ(0, BufferedRead(s, b, 5000, 8, 1));
    EXPECT_EQ(5000u, s->readBufferStart);
    EXPECT_EQ(8u, s->readBufferLength);
  }
}

TEST(ReadWindow, BackwardWindowNeverReachesIntoTheFileHeader) {
  StoreUnderTest t(Backend::Memory);
  Store* s = t.store();
  std::vector<uint8_t> bytes = Pattern(4000, 7);
  Put(s, bytes, 0);
  uint8_t b[8];
  ASSERT_EQ(0, BufferedRead(s, b, 3000, 8, 0));
  ASSERT_EQ(0, BufferedRead(s, b, 400, 8, 0));
  EXPECT_EQ(FirstItemPosition, s->readBufferStart);  // not 400 - 508
  EXPECT_EQ(0, std::memcmp(b, bytes.data() + 400, 8));
  ASSERT_EQ(0, BufferedRead(s, b, 100, 8, 0));  // behind the header's end: no look-behind
  EXPECT_EQ(100u, s->readBufferStart);
  EXPECT_EQ(0, std::memcmp(b, bytes.data() + 100, 8));
}

TEST(ReadWindow, ReadRunningPastAShortWindowSlidesIt) {
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    StoreUnderTest t(backend, "slide");
    ASSERT_EQ(0, t.openResult());
    Store* s = t.store();
    const uint32_t w = 3000;
    std::vector<uint8_t> bytes = Pattern(w + 1600, 8);
    std::vector<uint8_t> first(bytes.begin(), bytes.begin() + w + 600);
    Put(s, first, 0);
    uint8_t b[8];
    ASSERT_EQ(0, BufferedRead(s, b, w, 8, 0));
    ASSERT_EQ(w, s->readBufferStart);
    ASSERT_EQ(600u, s->readBufferLength);  // the file ended there
    // The file grows behind the window.
    std::vector<uint8_t> rest(bytes.begin() + w + 600, bytes.end());
    Put(s, rest, w + 600);
    ASSERT_EQ(600u, s->readBufferLength);
    std::vector<uint8_t> got(700);
    ASSERT_EQ(0, BufferedRead(s, got.data(), w + 500, 700, 0));
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + w + 500, 700));
    EXPECT_EQ(w + 500, s->readBufferStart);  // no look-behind kept
    EXPECT_EQ(1024u, s->readBufferLength);
  }
}

TEST(ReadWindow, ReadsPastTheEndFail) {
  for (Backend backend : {Backend::Memory, Backend::Disk}) {
    StoreUnderTest t(backend, "pastend");
    ASSERT_EQ(0, t.openResult());
    Store* s = t.store();
    std::vector<uint8_t> bytes = Pattern(1000, 9);
    Put(s, bytes, 0);
    std::vector<uint8_t> got(5000);
    for (uint32_t direct : {0u, 1u}) {
      EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 990, 11, direct));
      EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 1000, 1, direct));
      EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 50000, 8, direct));
      EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 0, 2000, direct));  // unbuffered
      EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 0xFFFFFFF0u, 100, direct));
      EXPECT_EQ(0, BufferedRead(s, got.data(), 990, 10, direct));
      EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + 990, 10));
    }
    // Bytes still in the write buffer count as part of the file.
    std::vector<uint8_t> more = Pattern(50, 10);
    ASSERT_EQ(0, BufferedWrite(s, more.data(), 1000, 50));
    EXPECT_EQ(0, BufferedRead(s, got.data(), 990, 60, 0));
    EXPECT_EQ(0, std::memcmp(got.data() + 10, more.data(), 50));
    EXPECT_EQ(ResultReadFailed, BufferedRead(s, got.data(), 990, 61, 0));
  }
}

// ---------------------------------------------------------------------------
// Buffer management.

TEST(ScratchBuffers, GrowInGranulesAndReleaseOnZero) {
  StoreUnderTest t(Backend::Memory);
  Store* s = t.store();
  uint8_t* a = nullptr;
  uint8_t* b = nullptr;
  ASSERT_EQ(0, GetScratchBuffers(s, 1, 300, &a, &b));
  EXPECT_EQ(256u, s->scratchSizeA);
  EXPECT_EQ(512u, s->scratchSizeB);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  std::memset(a, 1, 256);
  std::memset(b, 2, 512);
  uint8_t* a2 = nullptr;
  uint8_t* b2 = nullptr;
  ASSERT_EQ(0, GetScratchBuffers(s, 200, 512, &a2, &b2));  // both fit: kept
  EXPECT_EQ(a, a2);
  EXPECT_EQ(b, b2);
  ASSERT_EQ(0, GetScratchBuffers(s, 257, 0, &a2, &b2));
  EXPECT_EQ(512u, s->scratchSizeA);
  EXPECT_EQ(0u, s->scratchSizeB);
  EXPECT_EQ(nullptr, s->scratchB);
  EXPECT_EQ(nullptr, b2);

  MemSetFailure(2);  // A succeeds, B fails: both go
  EXPECT_EQ(ResultNoMemory, GetScratchBuffers(s, 1000, 100, &a2, &b2));
  MemSetFailure(0);
  EXPECT_EQ(nullptr, s->scratchA);
  EXPECT_EQ(nullptr, s->scratchB);
  EXPECT_EQ(0u, s->scratchSizeA + s->scratchSizeB);
}

TEST(BufferManagement, AllocationFailuresAreReported) {
  StoreUnderTest t(Backend::Memory);
  Store* s = t.store();
  std::vector<uint8_t> bytes = Pattern(100, 1);
  MemSetFailure(1);
  EXPECT_EQ(ResultNoMemory, BufferedWrite(s, bytes.data(), 0, 100));
  MemSetFailure(0);
  ASSERT_EQ(0, BufferedWrite(s, bytes.data(), 0, 100));
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  uint8_t b[10];
  MemSetFailure(1);
  EXPECT_EQ(ResultNoMemory, BufferedRead(s, b, 0, 10, 0));
  MemSetFailure(0);
  ASSERT_EQ(0, BufferedRead(s, b, 0, 10, 0));
  EXPECT_EQ(0, std::memcmp(b, bytes.data(), 10));
}

TEST(BufferManagement, SetParametersFlushesAndResizes) {
  StoreUnderTest t(Backend::Memory);
  Store* s = t.store();
  std::vector<uint8_t> bytes = Pattern(600, 11);
  ASSERT_EQ(0, BufferedWrite(s, bytes.data(), 0, 600));
  uint8_t b[16];
  ASSERT_EQ(0, BufferedRead(s, b, 0, 16, 0));  // from the write buffer
  EXPECT_EQ(600u, s->writeBufferLength);
  uint8_t* oldWrite = s->writeBuffer;
  ASSERT_EQ(0, StoreSetParameters(s, 1024, 1024));  // same sizes: buffers kept
  EXPECT_EQ(0u, s->writeBufferLength);
  EXPECT_EQ(oldWrite, s->writeBuffer);
  ASSERT_EQ(0, StoreSetParameters(s, 0x80000000u, 2048));
  EXPECT_EQ(0u, s->readBufferSize);
  EXPECT_EQ(2048u, s->writeBufferSize);
  EXPECT_EQ(nullptr, s->writeBuffer);  // reallocated at the new size when needed
  EXPECT_EQ(bytes, t.StreamBytes());
  ASSERT_EQ(0, BufferedWrite(s, bytes.data(), 600, 600));
  EXPECT_EQ(2048u, s->writeBufferCapacity);

  ASSERT_EQ(0, ReleaseBuffers(s));
  EXPECT_EQ(nullptr, s->writeBuffer);
  EXPECT_EQ(nullptr, s->readBuffer);
  EXPECT_EQ(0u, s->readBufferSize + s->writeBufferSize + s->writeBufferLength +
                    s->readBufferLength + s->writeBufferCapacity + s->readBufferCapacity);
}

TEST(BufferManagement, FailedFlushKeepsTheBytes) {
  StoreUnderTest t(Backend::Disk, "failflush");
  ASSERT_EQ(0, t.openResult());
  Store* s = t.store();
  std::vector<uint8_t> bytes = Pattern(300, 12);
  ASSERT_EQ(0, BufferedWrite(s, bytes.data(), 0, 300));
  FileFault fault = {};
  fault.failAt = 1;
  fault.sticky = true;
  fault.error = 5;  // EIO
  FileSetFault(FileCallWrite, fault);
  EXPECT_EQ(ResultWriteFailed, FlushWriteBuffer(s, 0));
  EXPECT_EQ(ResultWriteFailed, StoreSetParameters(s, 64, 64));
  FileClearFaults();
  EXPECT_EQ(1024u, s->readBufferSize);  // unchanged after the failure
  EXPECT_EQ(300u, s->writeBufferLength);
  ASSERT_EQ(0, FlushWriteBuffer(s, 0));
  EXPECT_EQ(bytes, t.StreamBytes());
}

}  // namespace
}  // namespace varnfile
