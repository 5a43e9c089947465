// The bytes that item operations leave in a MethodNone file, and when they
// get there: appends at once (through the write buffer), updates and deletes
// only when their item leaves the cache or the file is closed.
#include "item_test_util.h"

namespace varnfile_test {
namespace {

// Items of 3 and 5 bytes at 174 and 199 (the second trailer ends at 226),
// then, after reopening, a zero-length item and an end marker of 22 bytes.
TEST(FileBytes, RecordsLieWhereTheFormatPutsThem) {
  std::string path = ScratchPath("bytes.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 0x0102, "abc", 0x0304, 0x05060708));
  ASSERT_EQ(0, AddText(h, 7, "hello", 8, 9));
  ASSERT_EQ(0, VARNFileClose(h));
  Bytes bytes = FileBytes(path);
  ASSERT_EQ(226u, bytes.size());
  // "abc" has the stored crc 0x259E.
  EXPECT_EQ(Record(0x0102, 0x0304, 0x05060708, "abc", 0x259E, 174), Slice(bytes, 174, 25));
  EXPECT_EQ(Record(7, 8, 9, "hello", ReferenceCrc("hello"), 199), Slice(bytes, 199, 27));

  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileAddItem(h, 0x4142, 1, 2, 0, nullptr));
  ASSERT_EQ(0, VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  ASSERT_EQ(0, VARNFileClose(h));
  bytes = FileBytes(path);
  ASSERT_EQ(226u + 44u, bytes.size());
  EXPECT_EQ(Record(0x4142, 1, 2, "", 0, 226), Slice(bytes, 226, 22));
  EXPECT_EQ(Record(0xFF02, 0, 0, "", 0, 248), Slice(bytes, 248, 22));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// An update and a delete stay in the cache while their items are cached,
// reach the disk when evicted, and the rest reaches it at close.
TEST(FileBytes, ChangesReachTheDiskOnlyOnEvictionOrClose) {
  std::string path = ScratchPath("writeback.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, AddText(h, 'A', "aaaa"));  // at 174
  ASSERT_EQ(0, AddText(h, 'B', "bbbb"));  // at 200
  ASSERT_EQ(0, AddText(h, 'C', "cccc"));  // at 226
  // Without a write buffer everything appended is on the disk now.
  ASSERT_EQ(0, VARNFileSetParameters(h, 3, 65536, 1024, 0));
  Bytes before = FileBytes(path);
  ASSERT_EQ(252u, before.size());

  ASSERT_EQ(0, VARNFileUpdateItem(h, 'a', 1, 2, 4, reinterpret_cast<const uint8_t*>("xyzw")));
  ASSERT_EQ(0, VARNFileSetPosition(h, 226));
  ASSERT_EQ(0, VARNFileDeleteItem(h));  // C
  EXPECT_EQ(before, FileBytes(path));

  // Reading B makes A the least recently used; one more item evicts it.
  ASSERT_EQ(0, VARNFileSetPosition(h, 200));
  ASSERT_EQ(0, ReadNext(h).rc);
  ASSERT_EQ(0, AddText(h, 'D', "dddd"));  // at 252
  Bytes evicted = FileBytes(path);
  ASSERT_EQ(278u, evicted.size());
  EXPECT_EQ(Record('a', 1, 2, "xyzw", ReferenceCrc("xyzw"), 174), Slice(evicted, 174, 26));
  EXPECT_EQ(Slice(before, 200, 52), Slice(evicted, 200, 52));  // C not yet deleted on disk

  ASSERT_EQ(0, VARNFileClose(h));
  Bytes closed = FileBytes(path);
  ASSERT_EQ(278u, closed.size());
  EXPECT_EQ(Record(0xFF04, 0, 0, "cccc", ReferenceCrc("cccc"), 226), Slice(closed, 226, 26));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

}  // namespace
}  // namespace varnfile_test
