// The record layer on a bare Store over a memory stream: the memory file's
// size limit. (Broken record links and lengths: the API's CacheDamage tests
// on the file bytes; positions off the chain: the file walk fuzz target.)
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
