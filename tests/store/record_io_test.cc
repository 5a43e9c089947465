// The record layer under MethodNone: records written with WriteRecord, the
// bytes they leave in the file, listing in both directions, sequential and
// positioned reads, the one-entry header cache, and corrupt chains.
#include "store/record_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/block_codec.h"
#include "store/buffered_io.h"
#include "store/store_stream_fixture.h"

namespace varnfile {
namespace {

using testing_support::Backend;
using testing_support::StoreUnderTest;

struct Written {
  uint32_t position;
  ItemHeader header;
  std::vector<uint8_t> data;
};

std::vector<uint8_t> Bytes(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed + 0x9E3779B9u;
  for (uint32_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = static_cast<uint8_t>(x);
  }
  return v;
}

class RecordFile : public testing::Test {
 protected:
  RecordFile() : file_(Backend::Memory) {}
  void SetUp() override {
    ASSERT_EQ(0, file_.openResult());
    ASSERT_EQ(0, file_.PrepareEmptyFile());
  }
  Store* s() { return file_.store(); }

 public:
  // Appends one record at the end of data; returns its position.
  uint32_t Append(uint32_t length, uint32_t seed) {
    Written w;
    w.position = s()->endOfData;
    w.data = Bytes(length, seed);
    w.header = ItemHeader{static_cast<uint16_t>(seed), static_cast<uint16_t>(seed >> 16),
                          seed * 3u, static_cast<uint16_t>(length), 0,
                          static_cast<uint16_t>(seed ^ 0xA5A5)};
    RecordView view = {};
    view.header = w.header;
    view.data = w.data.data();
    EXPECT_EQ(0, SetWriteCursor(s(), w.position));
    EXPECT_EQ(0, WriteRecord(s(), &view));
    w.header.storedLength = static_cast<uint16_t>(length);
    EXPECT_EQ(length, view.header.storedLength);
    EXPECT_EQ(w.position + 22 + length, view.nextPosition);
    EXPECT_EQ(view.nextPosition, s()->writeCursor);
    EXPECT_EQ(view.nextPosition, s()->endOfData);
    records_.push_back(w);
    return w.position;
  }

  // Expected positions of the records before index `end` (exclusive).
  std::vector<uint32_t> PositionsOf(size_t first, size_t end) {
    std::vector<uint32_t> out;
    for (size_t i = first; i < end && i < records_.size(); ++i) out.push_back(records_[i].position);
    return out;
  }

  std::vector<uint32_t> List(ListDirection dir, uint32_t from, int32_t count, ResultCode* rc) {
    std::vector<uint32_t> positions(count > 0 ? count : 1, 0xDEADBEEF);
    int32_t found = -1;
    *rc = ListRecords(s(), dir, from, count, &found, positions.data());
    EXPECT_GE(found, 0);
    positions.resize(found > 0 ? found : 0);
    return positions;
  }

  void ExpectRecordAtCursor(size_t index) {
    const Written& w = records_[index];
    RecordView view = {};
    std::vector<uint8_t> data(w.data.size() + 1, 0xCC);
    view.data = data.data();
    ASSERT_EQ(w.position, s()->readCursor);
    ASSERT_EQ(0, ReadRecord(s(), &view)) << "record " << index;
    EXPECT_TRUE(w.header == view.header) << "record " << index;
    EXPECT_EQ(index == 0 ? 0u : records_[index - 1].position, view.previousPosition);
    EXPECT_EQ(w.position + 22 + w.data.size(), view.nextPosition);
    EXPECT_EQ(0, w.data.empty() ? 0 : std::memcmp(w.data.data(), data.data(), w.data.size()));
    EXPECT_EQ(0xCC, data[w.data.size()]) << "wrote past the data";
    EXPECT_EQ(view.nextPosition, s()->readCursor);
  }

  StoreUnderTest file_;
  std::vector<Written> records_;
};

// A few hundred records of lengths from 0 to 65,535.
void AppendAssorted(RecordFile* f, std::vector<uint32_t>* lengths) {
  std::mt19937 rng(77);
  for (uint32_t i = 0; i < 300; ++i) {
    uint32_t length;
    switch (i % 10) {
      case 0: length = 0; break;
      case 1: length = 1; break;
      case 7: length = rng() % 4096; break;
      default: length = rng() % 300; break;
    }
    if (i == 5) length = 65535;
    if (i == 150) length = 65535;
    if (i == 299) length = 40000;
    lengths->push_back(length);
    f->Append(length, i + 1);
  }
}

TEST_F(RecordFile, WrittenBytesFollowTheRecordLayout) {
  std::vector<uint8_t> data = {1, 2, 3};
  Append(3, 0x00020001);
  Append(0, 0x00040003);
  ASSERT_EQ(0, FlushWriteBuffer(s(), 0));
  std::vector<uint8_t> file = file_.StreamBytes();
  ASSERT_EQ(174u + 25 + 22, file.size());
  const uint8_t* r = file.data() + 174;
  // commandId, extraId, extraValue, length, storedLength, crc; little-endian.
  const uint8_t header0[14] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x06, 0x00,
                               0x03, 0x00, 0x03, 0x00, 0xA4, 0xA5};
  EXPECT_EQ(0, std::memcmp(header0, r, 14));
  EXPECT_EQ(0, std::memcmp(records_[0].data.data(), r + 14, 3));
  const uint8_t trailer0[8] = {174, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(trailer0, r + 17, 8));
  const uint8_t* r1 = r + 25;
  EXPECT_EQ(0, r1[8] | r1[9] | r1[10] | r1[11]);  // no data
  const uint8_t trailer1[8] = {199, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(trailer1, r1 + 14, 8));
}

TEST_F(RecordFile, ListingInBothDirections) {
  std::vector<uint32_t> lengths;
  AppendAssorted(this, &lengths);
  const uint32_t end = s()->endOfData;
  const int32_t total = static_cast<int32_t>(records_.size());
  ResultCode rc;

  // Backwards from the end of data.
  for (int32_t count : {1, 3, 5, total - 1, total, total + 7}) {
    std::vector<uint32_t> got = List(ListBackward, end, count, &rc);
    ASSERT_EQ(0, rc);
    size_t n = count < total ? count : total;
    EXPECT_EQ(PositionsOf(total - n, total), got) << "count " << count;
  }
  // A from beyond the end of data counts as the end of data.
  EXPECT_EQ(PositionsOf(total - 1, total), List(ListBackward, end + 5000, 1, &rc));
  // Backwards from record i lists the records before it.
  for (size_t i : {0u, 1u, 2u, 3u, 6u, 151u, 299u}) {
    for (int32_t count : {1, 3, 5, 400}) {
      std::vector<uint32_t> got = List(ListBackward, records_[i].position, count, &rc);
      ASSERT_EQ(0, rc);
      size_t n = static_cast<size_t>(count) < i ? count : i;
      EXPECT_EQ(PositionsOf(i - n, i), got) << "from " << i << " count " << count;
    }
  }
  // Forwards from record i lists the records after it.
  for (size_t i : {0u, 1u, 5u, 149u, 150u, 296u, 298u, 299u}) {
    for (int32_t count : {1, 3, 5, 400}) {
      std::vector<uint32_t> got = List(ListForward, records_[i].position, count, &rc);
      ASSERT_EQ(0, rc);
      EXPECT_EQ(PositionsOf(i + 1, i + 1 + count), got) << "from " << i << " count " << count;
    }
  }
  EXPECT_TRUE(List(ListForward, end, 3, &rc).empty());
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(List(ListBackward, end, 0, &rc).empty());
  EXPECT_TRUE(List(ListForward, 174, -1, &rc).empty());
  EXPECT_EQ(0, rc);
}

TEST_F(RecordFile, ListingAnEmptyFileFindsNothing) {
  ResultCode rc;
  EXPECT_TRUE(List(ListBackward, s()->endOfData, 1, &rc).empty());
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(List(ListForward, 174, 5, &rc).empty());
  EXPECT_EQ(0, rc);
}

TEST_F(RecordFile, ListingThreeAndFiveRecords) {
  for (uint32_t i = 0; i < 5; ++i) Append(10 * i, i);
  ResultCode rc;
  // From the first of five with count 5 forwards: the other four.
  EXPECT_EQ(PositionsOf(1, 5), List(ListForward, records_[0].position, 5, &rc));
  // Backwards with count 3 from the third: the first and second.
  std::vector<uint32_t> positions(3, 0);
  int32_t found = 0;
  ASSERT_EQ(0, ListRecords(s(), ListBackward, records_[2].position, 3, &found, positions.data()));
  EXPECT_EQ(2, found);
  EXPECT_EQ(records_[0].position, positions[0]);
  EXPECT_EQ(records_[1].position, positions[1]);
  // *found is optional.
  EXPECT_EQ(0, ListRecords(s(), ListBackward, s()->endOfData, 2, nullptr, positions.data()));
  EXPECT_EQ(records_[3].position, positions[0]);
}

TEST_F(RecordFile, ReadingBackSequentiallyAndByPosition) {
  std::vector<uint32_t> lengths;
  AppendAssorted(this, &lengths);
  for (uint32_t readSize : {1024u, 64u, 0u}) {
    ASSERT_EQ(0, StoreSetParameters(s(), readSize, 1024));
    ASSERT_EQ(0, SeekRecordRead(s(), FirstItemPosition));
    for (size_t i = 0; i < records_.size(); ++i) {
      ExpectRecordAtCursor(i);
      if (HasFailure()) return;
    }
    // At the end of data: 262 and the cursor stays.
    RecordView view = {};
    uint8_t sink[1];
    view.data = sink;
    uint32_t end = s()->readCursor;
    EXPECT_EQ(ResultEndOfFile, ReadRecord(s(), &view));
    EXPECT_EQ(ResultEndOfFile, ReadRecordHeader(s(), &view));
    EXPECT_EQ(end, s()->readCursor);
  }
  // Backwards, one by one through the positions, as the item cache does.
  std::mt19937 rng(5);
  for (size_t k = records_.size(); k-- > 0;) {
    ASSERT_EQ(0, SeekRecordRead(s(), records_[k].position));
    ExpectRecordAtCursor(k);
    size_t j = rng() % records_.size();
    ASSERT_EQ(0, SeekRecordRead(s(), records_[j].position));
    RecordView header = {};
    ASSERT_EQ(0, ReadRecordHeader(s(), &header));
    EXPECT_EQ(records_[j].header.length, header.header.length);
    EXPECT_EQ(records_[j].position, s()->readCursor);  // the header read does not move it
    ExpectRecordAtCursor(j);
  }
}

TEST_F(RecordFile, HeaderCacheFollowsRewrites) {
  for (uint32_t i = 0; i < 6; ++i) Append(50 + i, i);
  RecordView view = {};
  ASSERT_EQ(0, SeekRecordRead(s(), records_[2].position));
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  ASSERT_EQ(records_[2].position, s()->headerCachePosition);

  // Rewrite the header of the cached record: the next header read shows it.
  ItemHeader changed = records_[2].header;
  changed.commandId = 0xFF04;
  changed.extraValue = 0x12345678;
  ASSERT_EQ(0, SetWriteCursor(s(), records_[2].position));
  ASSERT_EQ(0, RewriteRecordHeader(s(), &changed));
  EXPECT_EQ(records_[2].position, s()->writeCursor);  // the cursor does not move
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  EXPECT_EQ(0xFF04, view.header.commandId);
  EXPECT_EQ(0x12345678u, view.header.extraValue);
  EXPECT_EQ(records_[1].position, view.previousPosition);
  EXPECT_EQ(records_[3].position, view.nextPosition);

  // Rewrite a whole record in place (same length, new data) while cached.
  std::vector<uint8_t> fresh = Bytes(52, 999);
  RecordView record = {};
  record.header = changed;
  record.header.commandId = 7;
  record.data = fresh.data();
  ASSERT_EQ(0, WriteRecord(s(), &record));
  EXPECT_EQ(records_[3].position, s()->writeCursor);
  std::vector<uint8_t> data(52);
  view.data = data.data();
  ASSERT_EQ(0, ReadRecord(s(), &view));
  EXPECT_EQ(7, view.header.commandId);
  EXPECT_EQ(fresh, data);

  // A rewrite elsewhere leaves the cached entry alone, and the rewritten
  // record reads back fresh once the cursor gets there.
  ASSERT_EQ(0, SeekRecordRead(s(), records_[4].position));
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  ItemHeader other = records_[0].header;
  other.extraId = 0xBEEF;
  ASSERT_EQ(0, SetWriteCursor(s(), records_[0].position));
  ASSERT_EQ(0, RewriteRecordHeader(s(), &other));
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  EXPECT_EQ(records_[4].header.commandId, view.header.commandId);
  ASSERT_EQ(0, SeekRecordRead(s(), records_[0].position));
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  EXPECT_EQ(0xBEEF, view.header.extraId);
  // And the file itself holds the rewrites once flushed.
  ASSERT_EQ(0, FlushWriteBuffer(s(), 0));
  std::vector<uint8_t> file = file_.StreamBytes();
  EXPECT_EQ(0xEF, file[records_[0].position + 2]);
  EXPECT_EQ(0xBE, file[records_[0].position + 3]);
  EXPECT_EQ(7, file[records_[2].position]);
  EXPECT_EQ(0, std::memcmp(fresh.data(), file.data() + records_[2].position + 14, 52));
}

TEST_F(RecordFile, ZeroLengthRecordIsTwentyTwoBytes) {
  Append(0, 1);
  EXPECT_EQ(174u + 22, s()->endOfData);
  RecordView view = {};
  ASSERT_EQ(0, SeekRecordRead(s(), 174));
  ASSERT_EQ(0, ReadRecord(s(), &view));  // no data area needed
  EXPECT_EQ(196u, s()->readCursor);
}

TEST_F(RecordFile, RefusedArgumentsChangeNothing) {
  Append(5, 1);
  RecordView view = {};
  view.header.length = 10;
  EXPECT_EQ(ResultInvalidArgument, WriteRecord(s(), &view));  // data missing
  EXPECT_EQ(174u + 27, s()->writeCursor);
  EXPECT_EQ(174u + 27, s()->endOfData);
  ASSERT_EQ(0, SeekRecordRead(s(), 174));
  EXPECT_EQ(ResultInvalidArgument, ReadRecord(s(), &view));  // no room for 5 bytes
  EXPECT_EQ(174u, s()->readCursor);
  int32_t found = 0;
  uint32_t positions[2];
  EXPECT_EQ(ResultInvalidArgument,
            ListRecords(s(), static_cast<ListDirection>(3), 174, 2, &found, positions));
}

// ---------------------------------------------------------------------------
// Corrupt chains: every broken link gives 277, nothing loops, nothing reads
// outside the buffers (run under AddressSanitizer).

class CorruptChain : public RecordFile {
 protected:
  void SetUp() override {
    RecordFile::SetUp();
    for (uint32_t i = 0; i < 5; ++i) Append(30 + i, i);
    ASSERT_EQ(0, FlushWriteBuffer(s(), 0));
  }
  // Overwrites the recordStart of the trailer of record i.
  void BreakTrailer(size_t i, uint32_t recordStart) {
    uint32_t at = records_[i + 1 < records_.size() ? i + 1 : i].position;
    if (i + 1 == records_.size()) at = s()->endOfData;
    uint8_t bytes[4];
    StoreU32(bytes, recordStart);
    ASSERT_EQ(0, BufferedWrite(s(), bytes, at - 8, 4));
    ASSERT_EQ(0, FlushWriteBuffer(s(), 0));
  }
  void SetStoredLength(size_t i, uint16_t storedLength) {
    uint8_t bytes[2];
    StoreU16(bytes, storedLength);
    ASSERT_EQ(0, BufferedWrite(s(), bytes, records_[i].position + 10, 2));
    ASSERT_EQ(0, FlushWriteBuffer(s(), 0));
  }
};

TEST_F(CorruptChain, BrokenTrailersStopBackwardWalks) {
  const uint32_t third = records_[2].position;
  ASSERT_EQ(third + 22 + 32, records_[3].position);
  const uint32_t fourth = records_[3].position;
  const uint32_t broken[] = {
      fourth,           // forwards: at the record behind it
      fourth - 8,       // at the trailer itself
      fourth - 21,      // too close behind to be a whole record
      100,              // into the file header
      0,                // no position at all
      s()->endOfData + 1000,  // past the end
      0xFFFFFFFFu,
  };
  for (uint32_t target : broken) {
    SCOPED_TRACE(target);
    BreakTrailer(2, target);
    ResultCode rc;
    // Walking back from the end: records 5 and 4 are found, then the link breaks.
    std::vector<uint32_t> got = List(ListBackward, s()->endOfData, 5, &rc);
    EXPECT_EQ(ResultReadFailed, rc);
    EXPECT_EQ(PositionsOf(3, 5), got);
    got = List(ListBackward, fourth, 1, &rc);
    EXPECT_EQ(ResultReadFailed, rc);
    EXPECT_TRUE(got.empty());
    // The header of the record behind the broken trailer cannot be read.
    ASSERT_EQ(0, SeekRecordRead(s(), fourth));
    RecordView view = {};
    std::vector<uint8_t> data(100);
    view.data = data.data();
    EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s(), &view));
    EXPECT_EQ(ResultReadFailed, ReadRecord(s(), &view));
    EXPECT_EQ(fourth, s()->readCursor);
    // Records before it are still fine.
    ASSERT_EQ(0, SeekRecordRead(s(), third));
    ASSERT_EQ(0, ReadRecord(s(), &view));
  }
  // The first record's trailer pointing into the file header breaks the walk.
  BreakTrailer(0, 173);
  ResultCode rc;
  std::vector<uint32_t> got = List(ListBackward, records_[1].position, 3, &rc);
  EXPECT_EQ(ResultReadFailed, rc);
  EXPECT_TRUE(got.empty());
}

TEST_F(CorruptChain, StoredLengthPastTheEnd) {
  SetStoredLength(4, 65535);
  SetStoredLength(1, 60000);
  ResultCode rc;
  std::vector<uint32_t> got = List(ListForward, records_[0].position, 5, &rc);
  EXPECT_EQ(ResultReadFailed, rc);
  EXPECT_EQ(PositionsOf(1, 2), got);
  got = List(ListForward, records_[4].position, 1, &rc);
  EXPECT_EQ(ResultReadFailed, rc);  // the last record runs past the end
  EXPECT_TRUE(got.empty());
  for (size_t i : {1u, 4u}) {
    ASSERT_EQ(0, SeekRecordRead(s(), records_[i].position));
    RecordView view = {};
    std::vector<uint8_t> data(70000);
    view.data = data.data();
    EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s(), &view));
    EXPECT_EQ(ResultReadFailed, ReadRecord(s(), &view));
    EXPECT_EQ(records_[i].position, s()->readCursor);
  }
}

TEST_F(CorruptChain, StoredLengthDifferentFromLengthIsNotRead) {
  // Within the file, but more bytes than the data area the length promises.
  SetStoredLength(1, 40);
  ASSERT_EQ(0, SeekRecordRead(s(), records_[1].position));
  std::vector<uint8_t> data(31);
  RecordView view = {};
  view.data = data.data();
  EXPECT_EQ(ResultReadFailed, ReadRecord(s(), &view));
}

TEST_F(CorruptChain, ReadCursorOffTheChain) {
  RecordView view = {};
  std::vector<uint8_t> data(100);
  view.data = data.data();
  for (uint32_t at : {0u, 100u, 175u, 180u}) {
    ASSERT_EQ(0, SeekRecordRead(s(), at));
    EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s(), &view)) << at;
  }
  ResultCode rc;
  EXPECT_TRUE(List(ListForward, 100, 3, &rc).empty());
  EXPECT_EQ(ResultReadFailed, rc);
}

TEST(CorruptFiles, RandomDamageNeverHangsOrOverreads) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    StoreUnderTest t(Backend::Memory);
    ASSERT_EQ(0, t.PrepareEmptyFile());
    Store* s = t.store();
    std::vector<uint32_t> lengths;
    for (int i = 0; i < 12; ++i) {
      std::vector<uint8_t> data = Bytes(rng() % 200, static_cast<uint32_t>(i));
      RecordView view = {};
      view.header.length = static_cast<uint16_t>(data.size());
      view.data = data.data();
      ASSERT_EQ(0, WriteRecord(s, &view));
    }
    // Damage a few random bytes behind the header.
    for (int k = 0; k < 1 + round % 4; ++k) {
      uint32_t at = FirstItemPosition + rng() % (s->endOfData - FirstItemPosition);
      uint8_t b = static_cast<uint8_t>(rng());
      ASSERT_EQ(0, BufferedWrite(s, &b, at, 1));
    }
    int32_t found = 0;
    uint32_t positions[64];
    ListRecords(s, ListBackward, s->endOfData, 64, &found, positions);
    ASSERT_LE(found, 64);
    for (int32_t i = 1; i < found; ++i) ASSERT_LT(positions[i - 1], positions[i]);
    ListRecords(s, ListForward, FirstItemPosition, 64, &found, positions);
    ASSERT_LE(found, 64);
    // Read forwards as far as the chain holds.
    std::vector<uint8_t> data(65536);
    RecordView view = {};
    view.data = data.data();
    SeekRecordRead(s, FirstItemPosition);
    int steps = 0;
    while (ReadRecord(s, &view) == 0) ASSERT_LT(++steps, 64);
  }
}

}  // namespace
}  // namespace varnfile

namespace varnfile {
namespace {

using testing_support::Backend;
using testing_support::StoreUnderTest;

// ---------------------------------------------------------------------------
// The header image.

TEST(StoreHeader, GetShowsTheMethodInForcePutMarksChanged) {
  StoreUnderTest t(Backend::Memory);
  Store* s = t.store();
  FileHeader in;
  for (uint32_t i = 0; i < FileHeaderSize; ++i) in.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(0, StorePutHeader(s, &in));
  EXPECT_EQ(1u, s->headerChanged);
  s->method = 3;
  FileHeader out;
  ASSERT_EQ(0, StoreGetHeader(s, &out));
  EXPECT_EQ(0, std::memcmp(in.bytes, out.bytes, 47));
  EXPECT_EQ(3, out.bytes[47]);
  EXPECT_EQ(0, out.bytes[48]);
  EXPECT_EQ(0, std::memcmp(in.bytes + 49, out.bytes + 49, FileHeaderSize - 49));
  // The image itself keeps what was put until the file is closed.
  EXPECT_EQ(in.bytes[47], s->header.bytes[47]);
  s->endOfData = 174;
  uint32_t end = 0;
  ASSERT_EQ(0, StoreEndOfData(s, &end));
  EXPECT_EQ(174u, end);
  EXPECT_EQ(0, StoreEndOfData(s, nullptr));
}

// ---------------------------------------------------------------------------
// Chained compression: the decoder must have seen every record since the
// last reset point. The chained predictor carries its table from item to
// item and chained DEFLATE its window, so a record decoded without its
// predecessors comes out wrong.

class ChainedRecords : public testing::TestWithParam<uint32_t> {
 protected:
  ChainedRecords() : file_(Backend::Memory) {}
  void SetUp() override {
    ASSERT_EQ(0, file_.openResult());
    ASSERT_EQ(0, file_.PrepareEmptyFile());
    ASSERT_EQ(0, SetCompressionMethod(s(), GetParam()));
  }
  void TearDown() override { SetCompressionMethod(s(), MethodNone); }
  Store* s() { return file_.store(); }

  // Items 2k and 2k+1 carry the same value behind each of twenty contexts,
  // and the next pair other values: an item decodes right only with the
  // table its predecessors left (a stale or fresh table predicts wrong).
  static std::vector<uint8_t> Text(uint32_t i) {
    std::string t;
    for (uint32_t rep = 0; rep < 4; ++rep) {
      for (uint32_t j = 0; j < 20; ++j) {
        t += '|';
        t += static_cast<char>('A' + j);
        t += '=';
        // A fresh table predicts spaces: where even pairs hold one, the
        // first item after a reset relies on the table being fresh.
        bool space = j % 3 == 0 && (i / 2) % 2 == 0;
        t += space ? ' ' : static_cast<char>('a' + (i / 2 * 7 + j) % 26);
      }
    }
    return std::vector<uint8_t>(t.begin(), t.end());
  }

  void Append(const std::vector<uint8_t>& data) {
    RecordView view = {};
    view.header.length = static_cast<uint16_t>(data.size());
    view.data = const_cast<uint8_t*>(data.data());
    positions_.push_back(s()->endOfData);
    data_.push_back(data);
    ASSERT_EQ(0, SetWriteCursor(s(), s()->endOfData));
    ASSERT_EQ(0, WriteRecord(s(), &view));
    ASSERT_LT(view.header.storedLength, view.header.length);  // it did compress
  }

  // Ends the chain at the last record, as closing the file does.
  void EndChain() {
    uint8_t flags[4] = {1, 0, 0, 0};
    ASSERT_EQ(0, BufferedWrite(s(), flags, s()->endOfData - 4, 4));
    ASSERT_EQ(0, SetCompressionMethod(s(), MethodNone));  // drops both tables
    ASSERT_EQ(0, SetCompressionMethod(s(), GetParam()));
  }

  // A fresh decoder and the read cursor at the first record: a new open.
  void Reopen() {
    ASSERT_EQ(0, SetCompressionMethod(s(), MethodNone));
    ASSERT_EQ(0, SetCompressionMethod(s(), GetParam()));
    s()->readCursor = FirstItemPosition;
  }

  std::vector<uint8_t> ReadAtCursor(ResultCode* rc) {
    RecordView view = {};
    std::vector<uint8_t> data(4096);
    view.data = data.data();
    *rc = ReadRecord(s(), &view);
    data.resize(*rc == 0 ? view.header.length : 0);
    return data;
  }

  void ExpectRecord(size_t i) {
    ASSERT_EQ(positions_[i], s()->readCursor);
    ResultCode rc;
    std::vector<uint8_t> got = ReadAtCursor(&rc);
    ASSERT_EQ(0, rc) << "record " << i;
    EXPECT_EQ(data_[i], got) << "record " << i;
  }

  StoreUnderTest file_;
  std::vector<uint32_t> positions_;
  std::vector<std::vector<uint8_t>> data_;
};

TEST_P(ChainedRecords, SeekReplaysFromTheLastResetPoint) {
  for (uint32_t i = 0; i < 6; ++i) Append(Text(i));
  Reopen();
  // Reading sequentially needs no replay.
  for (size_t i = 0; i < 6; ++i) ExpectRecord(i);

  // The test means something: the fourth record alone decodes wrong.
  Reopen();
  s()->readCursor = positions_[3];
  ResultCode rc;
  EXPECT_NE(data_[3], ReadAtCursor(&rc));

  // Straight after opening, a seek to the fourth decodes the first three.
  Reopen();
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[3]));
  ExpectRecord(3);
  // Back to the second: the decoder restarts and replays the first.
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[1]));
  ExpectRecord(1);
  // Forwards again: only the records in between are replayed.
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[5]));
  ExpectRecord(5);
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[0]));
  ExpectRecord(0);
  // Seeking to a position that is not on the chain fails and keeps the cursor.
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[2]));
  EXPECT_EQ(ResultReadFailed, SeekRecordRead(s(), positions_[4] + 3));
  EXPECT_EQ(positions_[2], s()->readCursor);
}

TEST_P(ChainedRecords, ResetPointsBoundTheReplay) {
  for (uint32_t i = 0; i < 3; ++i) Append(Text(i));
  EndChain();  // a close after three records
  // The first record behind the reset point leans on a fresh table.
  for (uint32_t i = 3; i < 7; ++i) Append(Text(i + 1));
  Reopen();
  // Sequential reading resets behind the marked record.
  for (size_t i = 0; i < 7; ++i) ExpectRecord(i);

  // Break the second record: a replay that went back past the reset point
  // would now fail.
  uint8_t huge[2] = {0xFF, 0xFF};
  ASSERT_EQ(0, BufferedWrite(s(), huge, positions_[1] + 10, 2));
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[4]));  // back: stops at the reset point
  ExpectRecord(4);
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[3]));
  ExpectRecord(3);
  // Behind the reset point the replay starts at the first record and meets
  // the broken one; the cursor stays where it was.
  EXPECT_EQ(ResultReadFailed, SeekRecordRead(s(), positions_[2]));
  EXPECT_EQ(positions_[4], s()->readCursor);
}

TEST_P(ChainedRecords, RefusedOversizedItemEndsTheChain) {
  for (uint32_t i = 0; i < 3; ++i) Append(Text(i));
  const uint32_t end = s()->endOfData;
  // Noise does not compress: the stored form would exceed 65,535 bytes.
  std::vector<uint8_t> noise = Bytes(65535, 42);
  RecordView view = {};
  view.header.length = 65535;
  view.data = noise.data();
  ASSERT_EQ(0, SetWriteCursor(s(), end));
  EXPECT_EQ(ResultInvalidArgument, WriteRecord(s(), &view));
  EXPECT_EQ(end, s()->endOfData);
  EXPECT_EQ(end, s()->writeCursor);
  uint8_t trailer[8];
  ASSERT_EQ(0, BufferedRead(s(), trailer, end - 8, 8, 1));
  EXPECT_EQ(positions_[2], LoadU32(trailer));
  EXPECT_EQ(1u, LoadU32(trailer + 4));  // the last record is now a reset point
  // The chain goes on decodable (the next record leans on a fresh table).
  for (uint32_t i = 3; i < 5; ++i) Append(Text(i + 1));
  Reopen();
  for (size_t i = 0; i < 5; ++i) ExpectRecord(i);
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[4]));
  ExpectRecord(4);
}

TEST_P(ChainedRecords, ZeroLengthItemStoresNothing) {
  Append(Text(0));
  RecordView view = {};
  ASSERT_EQ(0, SetWriteCursor(s(), s()->endOfData));
  uint32_t before = s()->endOfData;
  ASSERT_EQ(0, WriteRecord(s(), &view));
  EXPECT_EQ(0, view.header.storedLength);
  EXPECT_EQ(before + 22, s()->endOfData);
  Append(Text(1));
  Reopen();
  ExpectRecord(0);
  ResultCode rc;
  EXPECT_TRUE(ReadAtCursor(&rc).empty());
  EXPECT_EQ(0, rc);
  ExpectRecord(1);
}

INSTANTIATE_TEST_SUITE_P(Methods, ChainedRecords,
                         testing::Values(MethodChainedPredictor, MethodChainedDeflate),
                         [](const testing::TestParamInfo<uint32_t>& info) {
                           return info.param == MethodChainedPredictor ? "ChainedPredictor"
                                                                       : "ChainedDeflate";
                         });

// Unchained methods: every record decodes on its own, in any order.
class UnchainedRecords : public testing::TestWithParam<uint32_t> {};

TEST_P(UnchainedRecords, RecordsReadBackInAnyOrder) {
  StoreUnderTest t(Backend::Memory);
  ASSERT_EQ(0, t.PrepareEmptyFile());
  Store* s = t.store();
  ASSERT_EQ(0, SetCompressionMethod(s, GetParam()));
  std::mt19937 rng(GetParam());
  std::vector<uint32_t> positions;
  std::vector<std::vector<uint8_t>> data;
  for (uint32_t i = 0; i < 60; ++i) {
    uint32_t length = i % 9 == 0 ? 0 : rng() % 9000;
    std::vector<uint8_t> d = Bytes(length, i);
    for (uint32_t k = 0; k < length; ++k) {
      if ((k / 64) % 2 == 0) d[k] = static_cast<uint8_t>('a' + k % 7);  // compressible runs
    }
    RecordView view = {};
    view.header.length = static_cast<uint16_t>(length);
    view.data = d.data();
    positions.push_back(s->endOfData);
    ASSERT_EQ(0, SetWriteCursor(s, s->endOfData));
    ASSERT_EQ(0, WriteRecord(s, &view));
    EXPECT_EQ(s->endOfData, positions.back() + 22 + view.header.storedLength);
    data.push_back(d);
  }
  // The chain of stored lengths holds both ways.
  std::vector<uint32_t> listed(60);
  int32_t found = 0;
  ASSERT_EQ(0, ListRecords(s, ListBackward, s->endOfData, 60, &found, listed.data()));
  EXPECT_EQ(positions, listed);
  ASSERT_EQ(0, ListRecords(s, ListForward, positions[0], 59, &found, listed.data()));
  EXPECT_EQ(59, found);
  EXPECT_TRUE(std::equal(positions.begin() + 1, positions.end(), listed.begin()));
  ASSERT_EQ(0, SetCompressionMethod(s, MethodNone));  // a fresh decoder
  ASSERT_EQ(0, SetCompressionMethod(s, GetParam()));
  std::vector<uint8_t> out(65536);
  for (int k = 0; k < 120; ++k) {
    size_t i = rng() % positions.size();
    ASSERT_EQ(0, SeekRecordRead(s, positions[i]));
    RecordView view = {};
    view.data = out.data();
    ASSERT_EQ(0, ReadRecord(s, &view)) << i;
    ASSERT_EQ(data[i].size(), view.header.length);
    EXPECT_TRUE(std::equal(data[i].begin(), data[i].end(), out.begin())) << i;
    EXPECT_EQ(i + 1 < positions.size() ? positions[i + 1] : s->endOfData, s->readCursor);
  }
  SetCompressionMethod(s, MethodNone);
}

INSTANTIATE_TEST_SUITE_P(Methods, UnchainedRecords,
                         testing::Values(MethodPredictor, MethodDeflate),
                         [](const testing::TestParamInfo<uint32_t>& info) {
                           return info.param == MethodPredictor ? "Predictor" : "Deflate";
                         });

}  // namespace
}  // namespace varnfile
