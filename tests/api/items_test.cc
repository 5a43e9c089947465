// What the model test does not reach: argument and handle checks, damaged
// data, and copies into a file that holds records. (Positions that are no
// record start are the file walk fuzz target's.)
#include "item_test_util.h"

namespace varnfile_test {
namespace {

TEST(Items, ArgumentChecksComeBeforeTheHandle) {
  uint16_t c, e, length = 4;
  uint32_t v, p;
  uint8_t buffer[4];
  uint32_t h = CreateFileWith("MEMORY$");
  for (uint32_t bad : {0u, 77u, 0x80000001u}) {
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdID(bad, nullptr, &e, &v));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdIDEx(bad, &c, nullptr, &v, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadCmdIDEx(bad, &c, &e, nullptr, &length));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadItem(bad, &c, &e, &v, nullptr, buffer));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileReadItem(bad, &c, &e, &v, &length, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileAddItem(bad, 1, 0, 0, 3, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, VARNFileUpdateItem(bad, 1, 0, 0, 3, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileReadCmdID(bad, &c, &e, &v));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileReadItem(bad, &c, &e, &v, &length, buffer));
    // A reserved id is checked on a resolved handle only.
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileAddItem(bad, 0xFF00, 0, 0, 0, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileUpdateItem(bad, 1, 0, 0, 0, nullptr));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDeleteItem(bad));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDuplicate(bad, h));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileDuplicate(h, bad));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileGetPosition(bad, &p));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSetPosition(bad, 200));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSeekToEnd(bad, &p));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSkipNext(bad));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSkipPrev(bad));
  }
  EXPECT_EQ(0, VARNFileClose(h));
}

// A flipped data byte gives 267 with the data as stored, and the cursor
// moves on; the ids alone and a stored crc of 0 are not checked. A copy
// stops at the damaged item with what came before it.
TEST(Items, FlippedDataByteGives267) {
  std::string path = ScratchFile("crc.trn");
  uint32_t h = CreateFileWith(path);
  for (const char* text : {"first", "second", "third"}) ASSERT_EQ(0, AddText(h, text[0], text));
  ASSERT_EQ(0, VARNFileClose(h));
  std::string bytes = varnfile::ReadFile(path);
  const uint32_t second = First + 27;
  bytes[second + 14 + 2] ^= 0x20;  // "seCond"
  varnfile::WriteFile(path, bytes);

  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetPosition(h, second));
  EXPECT_EQ('s', CurrentCommand(h));
  ReadResult bad = ReadNext(h);
  EXPECT_EQ(VARNFILE_E_CRC, bad.rc);
  EXPECT_EQ("seCond", bad.data);
  EXPECT_EQ(second + 28, Position(h));
  EXPECT_EQ("third", ReadNext(h).data);

  uint32_t target = CreateFileWith("MEMORY$");
  EXPECT_EQ(VARNFILE_E_CRC, VARNFileDuplicate(target, h));
  EXPECT_EQ(second, EndOfData(target));
  EXPECT_EQ(second, Position(target));
  ASSERT_EQ(0, VARNFileSetPosition(target, First));
  EXPECT_EQ("first", ReadNext(target).data);
  EXPECT_EQ(0, VARNFileClose(target));
  EXPECT_EQ(0, VARNFileClose(h));

  bytes[second + 12] = bytes[second + 13] = 0;
  varnfile::WriteFile(path, bytes);
  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetPosition(h, second));
  EXPECT_EQ(0, ReadNext(h).rc);
  EXPECT_EQ(0, VARNFileClose(h));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

// A copy into a file that holds records overwrites them in place, which
// records of another length cannot be (268).
TEST(Items, DuplicateOverwritesTheTargetInPlace) {
  uint32_t source = CreateFileWith("MEMORY$"), target = CreateFileWith("MEMORY$");
  ASSERT_EQ(0, AddText(target, 'X', "xx"));
  ASSERT_EQ(0, AddText(source, 'A', "aa"));
  ASSERT_EQ(0, AddText(source, 'B', "bbb"));
  EXPECT_EQ(0, VARNFileDuplicate(target, source));
  std::vector<Item> copied;
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(target, &copied));
  EXPECT_EQ((std::vector<Item>{{'A', 0, 0, "aa"}, {'B', 0, 0, "bbb"}}), copied);

  uint32_t other = CreateFileWith("MEMORY$");
  ASSERT_EQ(0, AddText(other, 'Y', "yyyy"));
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, VARNFileDuplicate(other, source));
  for (uint32_t h : {source, target, other}) EXPECT_EQ(0, VARNFileClose(h));
}

}  // namespace
}  // namespace varnfile_test
