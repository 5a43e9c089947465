// The bytes that item operations leave in a MethodNone file, and when they
// get there: appends at once (through the write buffer), updates and deletes
// only when their item leaves the cache or the file is closed.
#include "item_test_util.h"

namespace varnfile_test {
namespace {

constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;

std::vector<uint8_t> Record(uint16_t commandId, uint16_t extraId, uint32_t extraValue,
                            const std::string& data, uint16_t crc, uint32_t position) {
  std::vector<uint8_t> r;
  auto u16 = [&](uint16_t v) {
    r.push_back(static_cast<uint8_t>(v));
    r.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto u32 = [&](uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  };
  u16(commandId);
  u16(extraId);
  u32(extraValue);
  u16(static_cast<uint16_t>(data.size()));
  u16(static_cast<uint16_t>(data.size()));
  u16(crc);
  r.insert(r.end(), data.begin(), data.end());
  u32(position);
  u32(0);
  return r;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, size_t from, size_t count) {
  if (from + count > b.size()) return {};
  return std::vector<uint8_t>(b.begin() + from, b.begin() + from + count);
}

TEST(FileBytes, ItemsOfThreeAndFiveBytesLieAt174And199) {
  std::string path = ScratchPath("bytes35.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 0x0102, "abc", 0x0304, 0x05060708));
  ASSERT_EQ(0, AddText(h, 7, "hello", 8, 9));
  ASSERT_EQ(0, VARNFileClose(h));
  std::vector<uint8_t> bytes = FileBytes(path);
  ASSERT_EQ(226u, bytes.size());
  // "abc" has the stored crc 0x259E.
  EXPECT_EQ(Record(0x0102, 0x0304, 0x05060708, "abc", 0x259E, 174), Slice(bytes, 174, 25));
  EXPECT_EQ(Record(7, 8, 9, "hello", ReferenceCrc(reinterpret_cast<const uint8_t*>("hello"), 5), 199),
            Slice(bytes, 199, 27));
  EXPECT_EQ(199u, U32At(bytes, 218));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

TEST(FileBytes, ZeroLengthItemIs22Bytes) {
  std::string path = ScratchPath("bytes0.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, VARNFileAddItem(h, 0x4142, 1, 2, 0, nullptr));
  ASSERT_EQ(0, VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  ASSERT_EQ(0, VARNFileClose(h));
  std::vector<uint8_t> bytes = FileBytes(path);
  ASSERT_EQ(174u + 44u, bytes.size());
  EXPECT_EQ(Record(0x4142, 1, 2, "", 0, 174), Slice(bytes, 174, 22));
  EXPECT_EQ(Record(0xFF02, 0, 0, "", 0, 196), Slice(bytes, 196, 22));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// The whole picture of write-back: an update and a delete stay in the cache
// while their items are cached, reach the disk when evicted, and the rest
// reaches it at close.
TEST(FileBytes, ChangesReachTheDiskOnlyOnEvictionOrClose) {
  std::string path = ScratchPath("writeback.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 'A', "aaaa"));  // at 174
  ASSERT_EQ(0, AddText(h, 'B', "bbbb"));  // at 200
  ASSERT_EQ(0, AddText(h, 'C', "cccc"));  // at 226
  // Without a write buffer everything appended is on the disk now.
  ASSERT_EQ(0, VARNFileSetParameters(h, 3, 65536, 1024, 0));
  std::vector<uint8_t> before = FileBytes(path);
  ASSERT_EQ(252u, before.size());

  const uint8_t xyzw[] = "xyzw";
  ASSERT_EQ(0, VARNFileUpdateItem(h, 'a', 1, 2, 4, xyzw));  // A, at the cursor
  ASSERT_EQ(0, VARNFileSetPosition(h, 226));
  ASSERT_EQ(0, VARNFileDeleteItem(h));  // C
  EXPECT_EQ(before, FileBytes(path));

  // Reading B makes A the least recently used; one more item evicts it.
  ASSERT_EQ(0, VARNFileSetPosition(h, 200));
  ASSERT_EQ(0, ReadNext(h).rc);
  ASSERT_EQ(0, AddText(h, 'D', "dddd"));  // at 252
  std::vector<uint8_t> evicted = FileBytes(path);
  ASSERT_EQ(278u, evicted.size());
  EXPECT_EQ(Record('a', 1, 2, "xyzw", ReferenceCrc(xyzw, 4), 174), Slice(evicted, 174, 26));
  EXPECT_EQ(Slice(before, 200, 52), Slice(evicted, 200, 52));  // C not yet deleted on disk

  ASSERT_EQ(0, VARNFileClose(h));
  std::vector<uint8_t> closed = FileBytes(path);
  ASSERT_EQ(278u, closed.size());
  EXPECT_EQ(Record(0xFF04, 0, 0, "cccc", ReferenceCrc(reinterpret_cast<const uint8_t*>("cccc"), 4), 226),
            Slice(closed, 226, 26));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// maxCachedItems 0 is taken as 1: the next cached item evicts the changed
// one at once.
TEST(FileBytes, ItemLimitZeroWritesBackAtTheNextItem) {
  std::string path = ScratchPath("limit0.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, VARNFileSetParameters(h, 0, 65536, 0, 0));
  ASSERT_EQ(0, AddText(h, 'A', "a"));
  ASSERT_EQ(0, AddText(h, 'B', "b"));  // evicts A
  ASSERT_EQ(0, VARNFileSetPosition(h, 197));
  ASSERT_EQ(0, VARNFileDeleteItem(h));  // B, the only cached item
  EXPECT_EQ('B', U16At(FileBytes(path), 197));
  ASSERT_EQ(0, VARNFileSetPosition(h, 174));
  EXPECT_EQ('A', CurrentCommand(h));
  EXPECT_EQ(0xFF04, U16At(FileBytes(path), 197));
  EXPECT_EQ(0, VARNFileAbort(h));
}

// Abort throws the file away, changes and all.
TEST(FileBytes, AbortRemovesTheFileWithItsChanges) {
  std::string path = ScratchPath("abort.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 'A', "a"));
  ASSERT_EQ(0, VARNFileDeleteItem(h));
  EXPECT_EQ(0, VARNFileAbort(h));
  EXPECT_TRUE(FileBytes(path).empty());
}

}  // namespace
}  // namespace varnfile_test
