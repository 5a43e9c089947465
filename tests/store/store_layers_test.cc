// The record layer on a bare Store (no file header handling) over a memory
// stream: the memory file's size limit, and broken record links and lengths
// give 277 for listing and reading, never a hang, and leave the cursor where
// it was. (The read window and write buffer under every buffer size: the
// model-based API test, which changes them as it goes.)
// Also the item CRC's fast and portable paths against the bitwise reference
// the API tests check file bytes with.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "api/item_model.h"  // the bitwise CRC reference
#include "io/io_state.h"
#include "io/memory_stream.h"
#include "store/block_codec.h"
#include "io/stream.h"
#include "store/buffered_io.h"
#include "store/item_crc.h"
#include "store/record_io.h"
#include "store/store.h"

namespace varnfile {
namespace {

// One Store over a memory stream at the default buffer sizes; closed at the
// end.
struct StoreUnderTest {
  StoreUnderTest() {
    store.state = &state;
    store.streamHandle = -1;
    store.readBufferSize = store.writeBufferSize = DefaultBufferSize;
    store.isMemory = true;
    std::snprintf(store.fileName, sizeof(store.fileName), "MEMORY$");
    openResult = StreamOpen(&store, store.fileName, StreamAccess::StreamCreate);
  }
  ~StoreUnderTest() {
    ReleaseBuffers(&store);
    StreamClose(&store, true);
    MemoryStreamDropSpares(&state);
  }
  IoState state{};
  Store store{};
  ResultCode openResult;
};

// A memory file ends at MemoryStreamLimit as a disk file ends at 4 GiB - 1:
// a record that would end beyond it is refused (278) with the cursors and
// the end as they were; under a chained method before it is encoded, so the
// next item's compressed form cannot refer to it.
TEST(RecordLimits, MemoryFileEndsAtItsLimit) {
  for (uint32_t method : {0u, 2u}) {
    StoreUnderTest file;
    ASSERT_EQ(0, file.openResult);
    Store* s = &file.store;
    ASSERT_EQ(0, SetCompressionMethod(s, method));
    const uint32_t start = static_cast<uint32_t>(MemoryStreamLimit) - 200;
    s->endAtOpen = s->endOfData = s->writeCursor = start;
    std::vector<uint8_t> data(200, 0x5A);
    RecordView view = {ItemHeader{7, 8, 9, 179, 0, 0}, 0, 0, data.data()};
    EXPECT_EQ(ResultWriteFailed, WriteRecord(s, &view));
    EXPECT_EQ(start, s->endOfData);
    EXPECT_EQ(start, s->writeCursor);
    view.header.length = method == 0 ? 178 : 40;
    ASSERT_EQ(0, WriteRecord(s, &view));
    if (method == 0) {
      EXPECT_EQ(static_cast<uint32_t>(MemoryStreamLimit), s->endOfData);
    }
    ASSERT_EQ(0, FlushWriteBuffer(s, 0));
    SetCompressionMethod(s, MethodNone);
  }
}

TEST(RecordLinks, CorruptLinksGiveReadFailed) {
  StoreUnderTest file;
  ASSERT_EQ(0, file.openResult);
  Store* s = &file.store;
  std::vector<uint8_t> zeros(FirstItemPosition);  // where the file header would be
  ASSERT_EQ(0, BufferedWrite(s, zeros.data(), 0, FirstItemPosition));
  s->endAtOpen = s->endOfData = s->readCursor = s->writeCursor = FirstItemPosition;
  std::vector<uint32_t> at;  // where each record starts
  std::vector<uint8_t> data(40, 0x5A), got(70000);
  for (uint16_t i = 0; i < 5; ++i) {
    RecordView view = {ItemHeader{7, 8, i, static_cast<uint16_t>(30 + i), 0, 0}, 0, 0, data.data()};
    at.push_back(s->endOfData);
    ASSERT_EQ(0, SetWriteCursor(s, s->endOfData));
    ASSERT_EQ(0, WriteRecord(s, &view));
  }
  const uint32_t end = s->endOfData;
  auto list = [&](ListDirection dir, uint32_t from) {
    std::vector<uint32_t> positions(5, 0xDEADBEEF);
    int32_t found = -1;
    EXPECT_EQ(ResultReadFailed, ListRecords(s, dir, from, 5, &found, positions.data()));
    positions.resize(found < 0 ? 0 : found);
    return positions;
  };
  // Where the damage goes, a 32-bit trailer link or 16-bit stored length
  // put there, and the record where listing stops. A wrong stored length
  // makes that record unreadable; a trailer link that cannot be followed
  // leaves the record after it readable (its own trailer leads back to it),
  // with no way back from it.
  const struct { uint32_t at, value; int width; size_t broken; } cases[] = {
      {at[3] - 8, at[3], 4, 3},  // trailer links: forwards, to itself,
      {at[3] - 8, at[3] - 8, 4, 3}, {at[3] - 8, at[3] - 21, 4, 3},  // too close to be a record,
      {at[3] - 8, 100, 4, 3},                                       // into the file header...
      {at[3] - 8, 0, 4, 3},         {at[3] - 8, end + 1000, 4, 3}, {at[3] - 8, 0xFFFFFFFFu, 4, 3},
      {at[1] - 8, 173, 4, 1},       {at[1] + 10, 60000, 2, 1},  // stored lengths past the end
      {at[4] + 10, 65535, 2, 4},    {at[1] + 10, 40, 2, 1},     // more than the data area holds
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.at << " = " << c.value);
    uint8_t saved[4], bytes[4];
    ASSERT_EQ(0, BufferedRead(s, saved, c.at, c.width, 1));
    StoreU32(bytes, c.value);
    ASSERT_EQ(0, BufferedWrite(s, bytes, c.at, c.width));
    // Listing reports the records found before the break.
    if (c.width == 4) {
      EXPECT_EQ(std::vector<uint32_t>(at.begin() + c.broken, at.end()), list(ListBackward, end));
    } else if (c.value != 40) {
      EXPECT_EQ(std::vector<uint32_t>{at[c.broken]}, list(ListForward, at[c.broken - 1]));
    }
    ASSERT_EQ(0, SeekRecordRead(s, at[c.broken]));
    RecordView view = {};
    view.data = got.data();
    if (c.width == 4) {
      ASSERT_EQ(0, ReadRecord(s, &view));
      EXPECT_EQ(0u, view.previousPosition);
      EXPECT_EQ(at[c.broken + 1], s->readCursor);
    } else {
      if (c.value != 40) {  // that header alone still looks whole
        EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s, &view));
      }
      EXPECT_EQ(ResultReadFailed, ReadRecord(s, &view));
      EXPECT_EQ(at[c.broken], s->readCursor);
      if (c.value == 40) {
        // Where that length leads, inside the next record, no record starts,
        // though the bytes before it cannot be followed as a trailer either.
        ASSERT_EQ(0, SeekRecordRead(s, at[c.broken] + RecordOverhead + c.value));
        EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s, &view));
      }
    }
    ASSERT_EQ(0, SeekRecordRead(s, at[0]));  // what lies before the damage still reads
    ASSERT_EQ(0, ReadRecord(s, &view));
    EXPECT_EQ(at[1], s->readCursor);
    ASSERT_EQ(0, BufferedWrite(s, saved, c.at, c.width));
  }
  RecordView view = {};
  for (uint32_t cursor : {0u, 100u, 175u, 180u}) {  // cursors off the chain
    ASSERT_EQ(0, SeekRecordRead(s, cursor));
    EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s, &view)) << cursor;
  }
}

TEST(ItemCrcTest, KnownAnswersAndBitwiseReference) {
  // X-25 of "123456789" is 0x906E, stored high byte first: 90 6E.
  EXPECT_EQ(ItemCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x6E90);
  // Every length up to 400 (the 64-byte folding threshold, every tail
  // behind the 16-byte blocks, whole and partial 128-byte groups, which go
  // two blocks per multiply where the processor can) and a few longer ones,
  // at every alignment: the folding and table paths must agree bit for bit.
  std::mt19937 rng(20261205);
  std::vector<uint32_t> lengths = {1000, 1055, 65535};
  for (uint32_t n = 1; n <= 400; ++n) lengths.push_back(n);
  for (uint32_t length : lengths) {
    std::vector<uint8_t> buffer(length + 3);
    for (auto& b : buffer) b = static_cast<uint8_t>(rng());
    for (uint32_t offset = 0; offset < 4; ++offset) {
      std::string data(buffer.begin() + offset, buffer.begin() + offset + length);
      uint16_t expected = varnfile_test::ReferenceCrc(data);
      EXPECT_EQ(ItemCrc(buffer.data() + offset, length), expected) << length << "+" << offset;
      EXPECT_EQ(ItemCrcPortable(buffer.data() + offset, length), expected) << length;
    }
  }
}

}  // namespace
}  // namespace varnfile
