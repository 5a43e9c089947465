// The record layer: records written with WriteRecord, listed both ways and
// read back, the one-entry header cache, corrupt chains, and the replay
// chained compression needs after a seek.
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

std::vector<uint8_t> Bytes(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed + 0x9E3779B9u;
  for (auto& b : v) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = static_cast<uint8_t>(x);
  return v;
}

// A memory file of records; method 0 unless a test sets one.
class RecordFile : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, file_.openResult());
    ASSERT_EQ(0, file_.PrepareEmptyFile());
  }
  Store* s() { return file_.store(); }

  void Append(const std::vector<uint8_t>& data, uint32_t seed) {
    RecordView view = {};
    view.header = ItemHeader{static_cast<uint16_t>(seed), static_cast<uint16_t>(seed >> 16), seed * 3u,
                             static_cast<uint16_t>(data.size()), 0, static_cast<uint16_t>(seed ^ 0xA5A5)};
    view.data = const_cast<uint8_t*>(data.data());
    positions_.push_back(s()->endOfData);
    headers_.push_back(view.header);
    data_.push_back(data);
    ASSERT_EQ(0, SetWriteCursor(s(), s()->endOfData));
    ASSERT_EQ(0, WriteRecord(s(), &view));
    headers_.back().storedLength = view.header.storedLength;
    EXPECT_EQ(positions_.back() + 22 + view.header.storedLength, s()->endOfData);
  }

  std::vector<uint32_t> List(ListDirection dir, uint32_t from, int32_t count, ResultCode expected = 0) {
    std::vector<uint32_t> positions(count > 0 ? count : 1, 0xDEADBEEF);
    int32_t found = -1;
    EXPECT_EQ(expected, ListRecords(s(), dir, from, count, &found, positions.data()));
    EXPECT_GE(found, 0);
    positions.resize(found > 0 ? found : 0);
    return positions;
  }
  std::vector<uint32_t> Positions(size_t first, size_t end) {
    end = std::min(end, positions_.size());
    return std::vector<uint32_t>(positions_.begin() + std::min(first, end), positions_.begin() + end);
  }

  // Reads the record at the cursor, which must be record i.
  void ExpectRecord(size_t i) {
    ASSERT_EQ(positions_[i], s()->readCursor);
    std::vector<uint8_t> data(65537, 0xCC);
    RecordView view = {};
    view.data = data.data();
    ASSERT_EQ(0, ReadRecord(s(), &view)) << "record " << i;
    if (GetParamOrNone() == MethodNone) {
      EXPECT_TRUE(headers_[i] == view.header) << "record " << i;
      EXPECT_EQ(i == 0 ? 0u : positions_[i - 1], view.previousPosition);
    }
    EXPECT_EQ(data_[i], std::vector<uint8_t>(data.begin(), data.begin() + view.header.length)) << i;
    EXPECT_EQ(0xCC, data[data_[i].size()]) << "wrote past the data";
    EXPECT_EQ(i + 1 < positions_.size() ? positions_[i + 1] : s()->endOfData, s()->readCursor);
  }
  virtual uint32_t GetParamOrNone() const { return MethodNone; }

  StoreUnderTest file_{Backend::Memory};
  std::vector<uint32_t> positions_;
  std::vector<ItemHeader> headers_;
  std::vector<std::vector<uint8_t>> data_;
};

TEST_F(RecordFile, ListedBothWaysAndReadBack) {
  std::mt19937 rng(77);
  for (uint32_t i = 0; i < 300; ++i) {
    uint32_t length = i % 10 == 0 ? 0 : i % 10 == 1 ? 1 : i % 10 == 7 ? rng() % 4096 : rng() % 300;
    Append(Bytes(i == 5 || i == 150 ? 65535 : i == 299 ? 40000 : length, i), i + 1);
  }
  const uint32_t end = s()->endOfData;
  for (int32_t count : {1, 3, 299, 300, 307}) {
    EXPECT_EQ(Positions(300 - std::min(count, 300), 300), List(ListBackward, end, count)) << count;
  }
  EXPECT_EQ(Positions(299, 300), List(ListBackward, end + 5000, 1));  // past the end: the end
  for (size_t i : {0u, 1u, 2u, 6u, 150u, 151u, 298u, 299u}) {
    for (int32_t count : {1, 3, 400}) {
      EXPECT_EQ(Positions(i - std::min<size_t>(count, i), i), List(ListBackward, positions_[i], count));
      EXPECT_EQ(Positions(i + 1, i + 1 + count), List(ListForward, positions_[i], count));
    }
  }
  EXPECT_TRUE(List(ListBackward, end, 0).empty());
  EXPECT_TRUE(List(ListForward, 174, -1).empty());
  for (uint32_t readSize : {1024u, 64u, 0u}) {
    ASSERT_EQ(0, StoreSetParameters(s(), readSize, 1024));
    ASSERT_EQ(0, SeekRecordRead(s(), FirstItemPosition));
    for (size_t i = 0; i < positions_.size() && !HasFailure(); ++i) ExpectRecord(i);
    RecordView view = {};
    EXPECT_EQ(ResultEndOfFile, ReadRecord(s(), &view));  // the cursor stays at the end
    EXPECT_EQ(end, s()->readCursor);
  }
  for (int k = 0; k < 300 && !HasFailure(); ++k) {  // positioned reads in any order
    size_t i = rng() % positions_.size();
    ASSERT_EQ(0, SeekRecordRead(s(), positions_[i]));
    RecordView header = {};
    ASSERT_EQ(0, ReadRecordHeader(s(), &header));  // does not move the cursor
    EXPECT_EQ(headers_[i].length, header.header.length);
    ExpectRecord(i);
  }
}

TEST_F(RecordFile, HeaderCacheFollowsRewrites) {
  for (uint32_t i = 0; i < 6; ++i) Append(Bytes(50 + i, i), i);
  RecordView view = {};
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[2]));
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  ASSERT_EQ(positions_[2], s()->headerCachePosition);
  ItemHeader changed = headers_[2];
  changed.commandId = 0xFF04;
  ASSERT_EQ(0, SetWriteCursor(s(), positions_[2]));
  ASSERT_EQ(0, RewriteRecordHeader(s(), &changed));
  EXPECT_EQ(positions_[2], s()->writeCursor);
  ASSERT_EQ(0, ReadRecordHeader(s(), &view));
  EXPECT_EQ(0xFF04, view.header.commandId);
  EXPECT_EQ(positions_[3], view.nextPosition);
  // A whole record rewritten in place (same length, new data) while cached.
  std::vector<uint8_t> fresh = Bytes(52, 999), data(52);
  RecordView record = {};
  record.header = changed;
  record.header.commandId = 7;
  record.data = fresh.data();
  ASSERT_EQ(0, WriteRecord(s(), &record));
  view.data = data.data();
  ASSERT_EQ(0, ReadRecord(s(), &view));
  EXPECT_EQ(7, view.header.commandId);
  EXPECT_EQ(fresh, data);
}

// Every broken link gives 277 for listing and reading, never a hang, and
// the cursor stays; the records before the damage still read.
TEST_F(RecordFile, CorruptLinksGiveReadFailed) {
  for (uint32_t i = 0; i < 5; ++i) Append(Bytes(30 + i, i), i);
  const uint32_t fourth = positions_[3], end = s()->endOfData;
  const struct {
    uint32_t at;     // where the damage goes
    uint32_t value;  // 32-bit trailer link, or 16-bit stored length
    int width;
    uint32_t cursor;  // the record that can no longer be read
    ListDirection dir;
  } cases[] = {
      {fourth - 8, fourth, 4, fourth, ListBackward},  // link forwards
      {fourth - 8, fourth - 8, 4, fourth, ListBackward},
      {fourth - 8, fourth - 21, 4, fourth, ListBackward},  // too close to be a record
      {fourth - 8, 100, 4, fourth, ListBackward},          // into the file header
      {fourth - 8, 0, 4, fourth, ListBackward},
      {fourth - 8, end + 1000, 4, fourth, ListBackward},
      {fourth - 8, 0xFFFFFFFFu, 4, fourth, ListBackward},
      {positions_[1] - 8, 173, 4, positions_[1], ListBackward},
      {positions_[1] + 10, 60000, 2, positions_[1], ListForward},  // stored length past the end
      {positions_[4] + 10, 65535, 2, positions_[4], ListForward},
      {positions_[1] + 10, 40, 2, positions_[1], ListForward},  // more than the data area
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.at << " = " << c.value);
    uint8_t saved[4], bytes[4];
    ASSERT_EQ(0, BufferedRead(s(), saved, c.at, c.width, 1));
    StoreU32(bytes, c.value);
    ASSERT_EQ(0, BufferedWrite(s(), bytes, c.at, c.width));
    size_t broken = std::find(positions_.begin(), positions_.end(), c.cursor) - positions_.begin();
    if (c.dir == ListBackward) {
      EXPECT_EQ(Positions(broken, 5), List(ListBackward, end, 5, ResultReadFailed));
    } else if (c.value != 40) {
      EXPECT_EQ(Positions(broken, broken + 1), List(ListForward, positions_[broken - 1], 5, ResultReadFailed));
    }
    ASSERT_EQ(0, SeekRecordRead(s(), c.cursor));
    std::vector<uint8_t> data(70000);
    RecordView view = {};
    view.data = data.data();
    if (c.value != 40) {  // that header alone still looks whole
      EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s(), &view));
    }
    EXPECT_EQ(ResultReadFailed, ReadRecord(s(), &view));
    EXPECT_EQ(c.cursor, s()->readCursor);
    ASSERT_EQ(0, SeekRecordRead(s(), positions_[0]));
    ASSERT_EQ(0, ReadRecord(s(), &view));
    ASSERT_EQ(0, BufferedWrite(s(), saved, c.at, c.width));
  }
  RecordView view = {};
  for (uint32_t at : {0u, 100u, 175u, 180u}) {  // cursors off the chain
    ASSERT_EQ(0, SeekRecordRead(s(), at));
    EXPECT_EQ(ResultReadFailed, ReadRecordHeader(s(), &view)) << at;
  }
}

// Chained compression: a record decodes right only after every record since
// the last reset point, so a seek must replay them.
class ChainedRecords : public RecordFile, public testing::WithParamInterface<uint32_t> {
 protected:
  void SetUp() override {
    RecordFile::SetUp();
    ASSERT_EQ(0, SetCompressionMethod(s(), GetParam()));
  }
  void TearDown() override { SetCompressionMethod(s(), MethodNone); }
  uint32_t GetParamOrNone() const override { return GetParam(); }

  // Pairs of items share the value behind each of twenty contexts and the
  // next pair differs: only the table the predecessors left predicts right.
  static std::vector<uint8_t> Text(uint32_t i) {
    std::string t;
    for (uint32_t j = 0; j < 80; ++j) {
      bool space = j % 3 == 0 && (i / 2) % 2 == 0;  // what a fresh table predicts
      t += std::string("|") + static_cast<char>('A' + j % 20) + '=' +
           (space ? ' ' : static_cast<char>('a' + (i / 2 * 7 + j % 20) % 26));
    }
    return std::vector<uint8_t>(t.begin(), t.end());
  }
  // A fresh decoder and the cursor at the first record: a new open.
  void Reopen() {
    ASSERT_EQ(0, SetCompressionMethod(s(), MethodNone));
    ASSERT_EQ(0, SetCompressionMethod(s(), GetParam()));
    s()->readCursor = FirstItemPosition;
  }
};

TEST_P(ChainedRecords, SeekReplaysFromTheLastResetPoint) {
  for (uint32_t i = 0; i < 3; ++i) Append(Text(i), i);
  uint8_t flags[4] = {1, 0, 0, 0};  // a close after three records: a reset point
  ASSERT_EQ(0, BufferedWrite(s(), flags, s()->endOfData - 4, 4));
  Reopen();
  for (uint32_t i = 3; i < 8; ++i) Append(Text(i + 1), i);  // the first leans on a fresh table
  for (const ItemHeader& h : headers_) ASSERT_LT(h.storedLength, h.length);  // it did compress
  Reopen();
  for (size_t i = 0; i < 8; ++i) ExpectRecord(i);
  Reopen();
  s()->readCursor = positions_[6];  // the test means something: alone it decodes wrong
  std::vector<uint8_t> data(4096);
  RecordView view = {};
  view.data = data.data();
  ReadRecord(s(), &view);
  EXPECT_NE(data_[6], std::vector<uint8_t>(data.begin(), data.begin() + view.header.length));
  Reopen();
  for (size_t i : {6u, 4u, 7u, 3u, 5u, 0u, 2u}) {
    ASSERT_EQ(0, SeekRecordRead(s(), positions_[i]));
    ExpectRecord(i);
  }
  EXPECT_EQ(ResultReadFailed, SeekRecordRead(s(), positions_[4] + 3));  // not on the chain
  EXPECT_EQ(positions_[3], s()->readCursor);
  // Break the second record: replays behind the reset point stop at it,
  // those after it never go back that far.
  uint8_t huge[2] = {0xFF, 0xFF};
  ASSERT_EQ(0, BufferedWrite(s(), huge, positions_[1] + 10, 2));
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[5]));
  ExpectRecord(5);
  ASSERT_EQ(0, SeekRecordRead(s(), positions_[3]));
  ExpectRecord(3);
  EXPECT_EQ(ResultReadFailed, SeekRecordRead(s(), positions_[2]));
  EXPECT_EQ(positions_[4], s()->readCursor);
}

INSTANTIATE_TEST_SUITE_P(Methods, ChainedRecords, testing::Values(MethodChainedPredictor, MethodChainedDeflate));

}  // namespace
}  // namespace varnfile
