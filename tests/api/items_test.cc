// The item exports: reads, appends, updates and deletes, with every result
// code they give.
#include <cstring>

#include "item_test_util.h"

namespace varnfile_test {
namespace {

constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;

class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override { handle_ = CreateFileWith("MEMORY$"); }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(0, VARNFileClose(handle_));
    }
  }
  uint32_t handle_ = 0;
};

// ---- reading ----

TEST_F(ItemsTest, ReadsReturnItemsInOrderThenEndOfFile) {
  ASSERT_EQ(0, AddText(handle_, 10, "alpha", 1, 100));
  ASSERT_EQ(0, AddText(handle_, 11, "beta", 2, 200));
  ASSERT_EQ(0, AddText(handle_, 12, "gamma", 3, 300));
  EXPECT_EQ(First, Position(handle_));  // adding never moves the cursor
  ReadResult a = ReadNext(handle_);
  EXPECT_EQ(0, a.rc);
  EXPECT_EQ(10, a.commandId);
  EXPECT_EQ(1, a.extraId);
  EXPECT_EQ(100u, a.extraValue);
  EXPECT_EQ("alpha", a.data);
  EXPECT_EQ(First + 27, Position(handle_));
  EXPECT_EQ("beta", ReadNext(handle_).data);
  EXPECT_EQ("gamma", ReadNext(handle_).data);
  uint32_t end = Position(handle_);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
  EXPECT_EQ(end, Position(handle_));
}

TEST_F(ItemsTest, TooSmallBufferGives258AndARetrySucceeds) {
  ASSERT_EQ(0, AddText(handle_, 1, "0123456789"));
  ReadResult small = ReadNext(handle_, 4);
  EXPECT_EQ(VARNFILE_E_BUFFER_TOO_SMALL, small.rc);
  EXPECT_EQ(10, small.length);
  EXPECT_EQ(First, Position(handle_));
  ReadResult exact = ReadNext(handle_, 10);
  EXPECT_EQ(0, exact.rc);
  EXPECT_EQ("0123456789", exact.data);
}

TEST_F(ItemsTest, ZeroLengthItemReadsWithANullBuffer) {
  ASSERT_EQ(0, VARNFileAddItem(handle_, 5, 6, 7, 0, nullptr));
  uint16_t c, e, length = 0;
  uint32_t v;
  EXPECT_EQ(0, VARNFileReadItem(handle_, &c, &e, &v, &length, nullptr));
  EXPECT_EQ(5, c);
  EXPECT_EQ(0, length);
  EXPECT_EQ(First + 22, Position(handle_));
}

TEST_F(ItemsTest, ArgumentChecksComeBeforeTheHandle) {
  uint16_t c, e, length = 4;
  uint32_t v;
  uint8_t buffer[4];
  const uint32_t bad = 999;
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdID(bad, nullptr, &e, &v));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdIDEx(bad, &c, nullptr, &v, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdIDEx(bad, &c, &e, nullptr, &length));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadItem(bad, &c, &e, &v, nullptr, buffer));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadItem(bad, &c, &e, &v, &length, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileAddItem(bad, 1, 0, 0, 3, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileUpdateItem(bad, 1, 0, 0, 3, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileReadCmdID(bad, &c, &e, &v));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileReadItem(bad, &c, &e, &v, &length, buffer));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileAddItem(bad, 1, 0, 0, 0, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileUpdateItem(bad, 1, 0, 0, 0, nullptr));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDeleteItem(bad));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDuplicate(bad, handle_));
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDuplicate(handle_, bad));
  // A reserved id is checked on a resolved handle only.
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileAddItem(bad, 0xFF00, 0, 0, 0, nullptr));
}

// ---- deleting ----

TEST_F(ItemsTest, DeletedItemIsPassedOverAndCannotBeDeletedTwice) {
  ASSERT_EQ(0, AddText(handle_, 'A', "a"));
  ASSERT_EQ(0, AddText(handle_, 'B', "b"));
  ASSERT_EQ(0, AddText(handle_, 'C', "c"));
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 23));
  EXPECT_EQ(0, VARNFileDeleteItem(handle_));
  EXPECT_EQ(First + 23, Position(handle_));  // the cursor stays on it
  EXPECT_EQ(VARNFILE_E_RESERVED_ID, VARNFileDeleteItem(handle_));
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  EXPECT_EQ('A', ReadNext(handle_).commandId);
  EXPECT_EQ('C', ReadNext(handle_).commandId);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
}

TEST_F(ItemsTest, DeleteAtAnEndMarkerOrTheEndGives262) {
  ASSERT_EQ(0, VARNFileAddItem(handle_, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileDeleteItem(handle_));
  ASSERT_EQ(0, VARNFileSeekToEnd(handle_, nullptr));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileDeleteItem(handle_));
}

// ---- updating ----

TEST_F(ItemsTest, ReservedIdentifiersGive270AndAddStoresNothing) {
  ASSERT_EQ(0, AddText(handle_, 'A', "a"));
  uint32_t end = EndOfData(handle_);
  for (uint16_t id : {0xFF00, 0xFF01, 0xFF03, 0xFF04, 0xFF05, 0xFFFF}) {
    EXPECT_EQ(VARNFILE_E_RESERVED_ID, VARNFileAddItem(handle_, id, 0, 0, 0, nullptr)) << id;
    EXPECT_EQ(VARNFILE_E_RESERVED_ID, VARNFileUpdateItem(handle_, id, 0, 0, 0, nullptr)) << id;
  }
  EXPECT_EQ(VARNFILE_E_RESERVED_ID, VARNFileUpdateItem(handle_, 0xFF02, 0, 0, 0, nullptr));
  EXPECT_EQ(end, EndOfData(handle_));
  EXPECT_EQ('A', CurrentCommand(handle_));
  EXPECT_EQ(0, VARNFileAddItem(handle_, 0xFEFF, 0, 0, 0, nullptr));
}

TEST_F(ItemsTest, UpdateWithoutDataRevivesADeletedItemWithItsOldData) {
  ASSERT_EQ(0, AddText(handle_, 'A', "payload", 4, 44));
  ASSERT_EQ(0, VARNFileDeleteItem(handle_));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  EXPECT_EQ(0, VARNFileUpdateItem(handle_, 'Z', 5, 55, 0, nullptr));
  ReadResult r = ReadNext(handle_);
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ('Z', r.commandId);
  EXPECT_EQ(5, r.extraId);
  EXPECT_EQ(55u, r.extraValue);
  EXPECT_EQ("payload", r.data);
}

TEST_F(ItemsTest, UpdateWithDataNeedsTheSameLength) {
  ASSERT_EQ(0, AddText(handle_, 'A', "12345"));
  const uint8_t six[] = "abcdef";
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileUpdateItem(handle_, 'B', 0, 0, 6, six));
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileUpdateItem(handle_, 'B', 0, 0, 4, six));
  ReadResult unchanged = ReadNext(handle_);
  EXPECT_EQ('A', unchanged.commandId);
  EXPECT_EQ("12345", unchanged.data);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  EXPECT_EQ(0, VARNFileUpdateItem(handle_, 'B', 2, 3, 5, six));
  EXPECT_EQ(First, Position(handle_));
  ReadResult r = ReadNext(handle_);
  EXPECT_EQ(0, r.rc);  // the crc was replaced with the data
  EXPECT_EQ('B', r.commandId);
  EXPECT_EQ("abcde", r.data);
}

TEST_F(ItemsTest, UpdateChangesAnEndMarkerAndAppendsAtTheEnd) {
  ASSERT_EQ(0, VARNFileAddItem(handle_, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  ASSERT_EQ(0, AddText(handle_, 'C', "c"));
  EXPECT_EQ(0, VARNFileUpdateItem(handle_, 'M', 0, 0, 0, nullptr));
  EXPECT_EQ('M', ReadNext(handle_).commandId);
  EXPECT_EQ('C', ReadNext(handle_).commandId);
  uint32_t end = Position(handle_);
  const uint8_t two[] = "zz";
  EXPECT_EQ(0, VARNFileUpdateItem(handle_, 'N', 0, 0, 2, two));
  EXPECT_EQ(end, Position(handle_));
  EXPECT_EQ(end + 24, EndOfData(handle_));
  ReadResult r = ReadNext(handle_);
  EXPECT_EQ('N', r.commandId);
  EXPECT_EQ("zz", r.data);
}

TEST_F(ItemsTest, UpdateBehindTheEndIsRefused) {
  ASSERT_EQ(0, AddText(handle_, 'A', "a"));
  uint32_t end = EndOfData(handle_);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, end + 40));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileUpdateItem(handle_, 'B', 0, 0, 0, nullptr));
  EXPECT_EQ(end, EndOfData(handle_));
}

TEST_F(ItemsTest, EndMarkerStopsReadsUntilSkipped) {
  ASSERT_EQ(0, AddText(handle_, 'A', "a"));
  ASSERT_EQ(0, VARNFileAddItem(handle_, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  ASSERT_EQ(0, AddText(handle_, 'C', "c"));
  EXPECT_EQ('A', ReadNext(handle_).commandId);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
  EXPECT_EQ(0, VARNFileSkipNext(handle_));
  EXPECT_EQ('C', ReadNext(handle_).commandId);
}

// Under a compression method data is never rewritten in place; the ids are.
TEST(ItemsCompressed, UpdateWithDataGives268EvenForTheSameLength) {
  uint32_t h = CreateFileWith("MEMORY$", VARNFILE_METHOD_CHAINED_DEFLATE);
  if (AddText(h, 'A', "some text") != 0) {
    VARNFileClose(h);
    GTEST_SKIP() << "compression not available yet";
  }
  const uint8_t nine[] = "other txt";
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileUpdateItem(h, 'B', 0, 0, 9, nine));
  EXPECT_EQ(0, VARNFileUpdateItem(h, 'B', 0, 0, 0, nullptr));
  ReadResult r = ReadNext(h);
  EXPECT_EQ('B', r.commandId);
  EXPECT_EQ("some text", r.data);
  EXPECT_EQ(0, VARNFileClose(h));
}

// ---- damaged data ----

TEST(ItemsOnDisk, FlippedDataByteGives267AndTheCursorMovesOn) {
  std::string path = ScratchPath("crc.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 1, "first"));
  ASSERT_EQ(0, AddText(h, 2, "second"));
  ASSERT_EQ(0, VARNFileClose(h));
  std::vector<uint8_t> bytes = FileBytes(path);
  ASSERT_EQ(size_t{First + 27 + 28}, bytes.size());
  bytes[First + 14 + 2] ^= 0x20;  // 'r' of "first" becomes 'R'
  WriteFileBytes(path, bytes);

  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ReadResult bad = ReadNext(h);
  EXPECT_EQ(VARNFILE_E_CRC, bad.rc);
  EXPECT_EQ("fiRst", bad.data);
  EXPECT_EQ(First + 27, Position(h));
  EXPECT_EQ("second", ReadNext(h).data);
  // The identifiers alone are not checked.
  ASSERT_EQ(0, VARNFileSetPosition(h, First));
  EXPECT_EQ(1, CurrentCommand(h));
  // Nor is an item whose stored crc is 0.
  EXPECT_EQ(0, VARNFileClose(h));
  bytes[First + 12] = 0;
  bytes[First + 13] = 0;
  WriteFileBytes(path, bytes);
  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  EXPECT_EQ(0, ReadNext(h).rc);
  EXPECT_EQ(0, VARNFileClose(h));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// ---- duplicate ----

class DuplicateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = CreateFileWith("MEMORY$");
    target_ = CreateFileWith("MEMORY$");
  }
  void TearDown() override {
    EXPECT_EQ(0, VARNFileClose(source_));
    EXPECT_EQ(0, VARNFileClose(target_));
  }
  uint32_t source_ = 0;
  uint32_t target_ = 0;
};

TEST_F(DuplicateTest, CopiesEveryRecordIncludingDeletedAndMarkers) {
  ASSERT_EQ(0, AddText(source_, 'A', "one", 1, 11));
  ASSERT_EQ(0, AddText(source_, 'B', "two!", 2, 22));
  ASSERT_EQ(0, VARNFileAddItem(source_, VARNFILE_CMD_END_MARKER, 9, 99, 0, nullptr));
  ASSERT_EQ(0, AddText(source_, 'C', std::string(700, 'c'), 3, 33));
  ASSERT_EQ(0, VARNFileSetPosition(source_, First + 25));
  ASSERT_EQ(0, VARNFileDeleteItem(source_));  // B, still only in the cache
  ASSERT_EQ(0, VARNFileSetPosition(source_, First));

  EXPECT_EQ(0, VARNFileDuplicate(target_, source_));
  EXPECT_EQ(First, Position(source_));
  uint32_t end = EndOfData(target_);
  EXPECT_EQ(EndOfData(source_), end);
  EXPECT_EQ(end, Position(target_));

  // Record by record: the deleted item and the marker are there too.
  ASSERT_EQ(0, VARNFileSetPosition(target_, First + 25));
  uint16_t rc = 0;
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, (CurrentCommand(target_, &rc), rc));  // B deleted, then M
  EXPECT_EQ(First + 51, Position(target_));
  ASSERT_EQ(0, VARNFileSetPosition(target_, First));
  ReadResult a = ReadNext(target_);
  EXPECT_EQ('A', a.commandId);
  EXPECT_EQ(1, a.extraId);
  EXPECT_EQ(11u, a.extraValue);
  EXPECT_EQ("one", a.data);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(target_));  // onto M
  ASSERT_EQ(0, VARNFileSkipNext(target_));
  ReadResult c = ReadNext(target_);
  EXPECT_EQ('C', c.commandId);
  EXPECT_EQ(std::string(700, 'c'), c.data);
  ASSERT_EQ(0, VARNFileSetPosition(target_, First + 25));
  EXPECT_EQ(0, VARNFileUpdateItem(target_, 'B', 0, 0, 0, nullptr));
  EXPECT_EQ("two!", ReadNext(target_).data);
}

TEST_F(DuplicateTest, EmptySourceChangesNothing) {
  EXPECT_EQ(0, VARNFileDuplicate(target_, source_));
  EXPECT_EQ(First, EndOfData(target_));
  EXPECT_EQ(First, Position(target_));
}

TEST_F(DuplicateTest, DamagedSourceItemStopsTheCopyWith267) {
  std::string path = ScratchPath("dup_crc.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 'A', "good"));
  ASSERT_EQ(0, AddText(h, 'B', "damaged"));
  ASSERT_EQ(0, AddText(h, 'C', "never copied"));
  ASSERT_EQ(0, VARNFileClose(h));
  std::vector<uint8_t> bytes = FileBytes(path);
  bytes[First + 26 + 14] ^= 1;
  WriteFileBytes(path, bytes);
  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  EXPECT_EQ(VARNFILE_E_CRC, VARNFileDuplicate(target_, h));
  EXPECT_EQ(First + 26, EndOfData(target_));
  EXPECT_EQ(First + 26, Position(target_));
  ASSERT_EQ(0, VARNFileSetPosition(target_, First));
  EXPECT_EQ("good", ReadNext(target_).data);
  EXPECT_EQ(0, VARNFileClose(h));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

TEST_F(DuplicateTest, NonEmptyTargetIsOverwrittenInPlaceThenExtended) {
  ASSERT_EQ(0, AddText(target_, 'X', "xx"));
  ASSERT_EQ(0, AddText(source_, 'A', "aa"));
  ASSERT_EQ(0, AddText(source_, 'B', "bbb"));
  EXPECT_EQ(0, VARNFileDuplicate(target_, source_));
  ASSERT_EQ(0, VARNFileSetPosition(target_, First));
  EXPECT_EQ("aa", ReadNext(target_).data);
  EXPECT_EQ("bbb", ReadNext(target_).data);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(target_).rc);

  // A record of another length cannot be replaced.
  ASSERT_EQ(0, VARNFileSetPosition(source_, First));
  ASSERT_EQ(0, VARNFileDeleteItem(source_));
  uint32_t other = CreateFileWith("MEMORY$");
  ASSERT_EQ(0, AddText(other, 'Y', "yyyy"));
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileDuplicate(other, source_));
  EXPECT_EQ(0, VARNFileClose(other));
}

}  // namespace
}  // namespace varnfile_test
