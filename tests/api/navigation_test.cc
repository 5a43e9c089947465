// The cursor exports over live items, deleted items and end markers.
#include "item_test_util.h"

namespace varnfile_test {
namespace {

constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;

class NavigationTest : public ::testing::Test {
 protected:
  void SetUp() override { handle_ = CreateFileWith("MEMORY$"); }
  void TearDown() override { EXPECT_EQ(0, VARNFileClose(handle_)); }

  // Adds A, B, C (one-byte items under MethodNone: 23 bytes apart) and, with
  // a marker, an end marker between B and C.
  void AddAbc(bool markerBeforeC = false) {
    ASSERT_EQ(0, AddText(handle_, 'A', "a"));
    ASSERT_EQ(0, AddText(handle_, 'B', "b"));
    if (markerBeforeC) {
      ASSERT_EQ(0, VARNFileAddItem(handle_, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
    }
    ASSERT_EQ(0, AddText(handle_, 'C', "c"));
  }

  uint32_t handle_ = 0;
};

TEST_F(NavigationTest, EmptyFileHasNothingAheadOrBehind) {
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(handle_));
  EXPECT_EQ(First, Position(handle_));
  EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First, Position(handle_));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(handle_).rc);
  uint16_t rc = 0;
  CurrentCommand(handle_, &rc);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, rc);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileDeleteItem(handle_));
  EXPECT_EQ(First, Position(handle_));
}

TEST_F(NavigationTest, SkipNextStopsAtTheEndAndSkipPrevComesBack) {
  AddAbc();
  EXPECT_EQ(0, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 23, Position(handle_));
  EXPECT_EQ(0, VARNFileSkipNext(handle_));
  EXPECT_EQ('C', CurrentCommand(handle_));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 69, Position(handle_));  // the end of data
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 69, Position(handle_));
  EXPECT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First + 46, Position(handle_));
  EXPECT_EQ('C', CurrentCommand(handle_));
}

TEST_F(NavigationTest, DeletedItemsArePassedBothWays) {
  AddAbc();
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 23));
  ASSERT_EQ(0, VARNFileDeleteItem(handle_));
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  EXPECT_EQ(0, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 46, Position(handle_));
  EXPECT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First, Position(handle_));
  // Reading from a deleted item moves on to the next live one.
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 23));
  EXPECT_EQ('C', CurrentCommand(handle_));
  EXPECT_EQ(First + 46, Position(handle_));
}

TEST_F(NavigationTest, DeletedFirstItemLeavesTheCursorOnItWith269) {
  AddAbc();
  ASSERT_EQ(0, VARNFileDeleteItem(handle_));  // A
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 23));
  EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First, Position(handle_));
}

TEST_F(NavigationTest, SkipPrevFromTheEndPassesADeletedLastItem) {
  AddAbc();
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 46));
  ASSERT_EQ(0, VARNFileDeleteItem(handle_));  // C
  ASSERT_EQ(0, VARNFileSeekToEnd(handle_, nullptr));
  EXPECT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First + 23, Position(handle_));
}

TEST_F(NavigationTest, EndMarkerStopsOnceThenIsSkipped) {
  AddAbc(/*markerBeforeC=*/true);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First + 23));  // B
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 46, Position(handle_));  // on the marker
  EXPECT_EQ(0, VARNFileSkipNext(handle_));
  EXPECT_EQ(First + 68, Position(handle_));  // the marker is 22 bytes
  EXPECT_EQ('C', CurrentCommand(handle_));
  // Backwards the marker stops the walk as well.
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First + 46, Position(handle_));
  EXPECT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(First + 23, Position(handle_));
}

TEST_F(NavigationTest, SetPositionRaisesSmallValuesAndSeekToEndReportsTheEnd) {
  std::string ten(10, 'x');
  ASSERT_EQ(0, AddText(handle_, 1, ten));
  for (uint32_t p : {0u, 100u, 173u}) {
    ASSERT_EQ(0, VARNFileSetPosition(handle_, p));
    EXPECT_EQ(First, Position(handle_));
  }
  uint32_t end = 0;
  EXPECT_EQ(0, VARNFileSeekToEnd(handle_, &end));
  EXPECT_EQ(206u, end);
  EXPECT_EQ(206u, Position(handle_));
  EXPECT_EQ(0, VARNFileSeekToEnd(handle_, nullptr));
  EXPECT_EQ(0, VARNFileGetPosition(handle_, nullptr));
}

TEST_F(NavigationTest, ReadCmdIdKeepsTheCursorOnTheItem) {
  AddAbc();
  EXPECT_EQ('A', CurrentCommand(handle_));
  EXPECT_EQ('A', CurrentCommand(handle_));
  uint16_t c, e, length = 99;
  uint32_t v;
  EXPECT_EQ(0, VARNFileReadCmdIDEx(handle_, &c, &e, &v, &length));
  EXPECT_EQ(1, length);
  EXPECT_EQ(First, Position(handle_));
}

TEST(NavigationHandles, InvalidHandlesGive273) {
  uint32_t p;
  for (uint32_t h : {0u, 77u, 0x80000001u}) {
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileGetPosition(h, &p));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSetPosition(h, 200));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSeekToEnd(h, &p));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSkipNext(h));
    EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileSkipPrev(h));
  }
}

// A long walk both ways over a pattern of live, deleted and marker records,
// on a disk file with small caches so that the backward window and eviction
// take part.
TEST(NavigationWalk, BackwardWalkMatchesForwardWalk) {
  std::string path = ScratchPath("walk.trn");
  uint32_t h = CreateFileWith(path);
  ASSERT_EQ(0, VARNFileSetParameters(h, 5, 300, 64, 64));
  std::vector<uint16_t> live;
  for (uint16_t i = 0; i < 120; ++i) {
    ASSERT_EQ(0, AddText(h, i, std::string(i % 37, static_cast<char>('a' + i % 26))));
  }
  for (uint16_t i = 0; i < 120; ++i) {
    if (i % 4 == 1) {
      ASSERT_EQ(0, VARNFileDeleteItem(h));
    } else {
      live.push_back(i);
    }
    if (i < 119) {
      ASSERT_EQ(0, VARNFileSkipNext(h));
    }
  }
  ASSERT_EQ(0, VARNFileClose(h));
  ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetParameters(h, 7, 200, 0, 16));
  std::vector<uint16_t> forwards;
  for (ReadResult r = ReadNext(h); r.rc == 0; r = ReadNext(h)) forwards.push_back(r.commandId);
  EXPECT_EQ(live, forwards);
  std::vector<uint16_t> backwards;
  ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
  while (VARNFileSkipPrev(h) == 0) backwards.insert(backwards.begin(), CurrentCommand(h));
  EXPECT_EQ(live, backwards);
  EXPECT_EQ(0, VARNFileClose(h));
  EXPECT_EQ(0, VARNFileDelete(path.c_str(), 0));
}

}  // namespace
}  // namespace varnfile_test

namespace varnfile_test {
namespace {

// Positions that are no record start read whatever bytes lie there as a
// record. Whatever that gives, no call may crash, hang or read out of
// bounds, and every code must be one the calls can give.
TEST(NavigationRobustness, ArbitraryPositionsGiveCodesNotCrashes) {
  for (uint16_t method : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_CHAINED_DEFLATE}) {
    uint32_t h = CreateFileWith("MEMORY$", method);
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(0, AddText(h, static_cast<uint16_t>(i * 97), std::string(i * 3 % 50, 'q')));
    }
    uint32_t end = EndOfData(h);
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(0, VARNFileSetPosition(h, next() % (end + 64)));
      uint16_t rc = 0;
      switch (next() % 6) {
        case 0: rc = ReadNext(h, 100).rc; break;
        case 1: rc = VARNFileSkipNext(h); break;
        case 2: rc = VARNFileSkipPrev(h); break;
        case 3: CurrentCommand(h, &rc); break;
        case 4: rc = VARNFileDeleteItem(h); break;
        default: rc = VARNFileUpdateItem(h, 7, 0, 0, 0, nullptr); break;
      }
      EXPECT_TRUE(rc == 0 || rc == VARNFILE_E_BUFFER_TOO_SMALL || rc == VARNFILE_E_END_OF_FILE ||
                  rc == VARNFILE_E_CRC || rc == VARNFILE_E_NO_PREVIOUS ||
                  rc == VARNFILE_E_RESERVED_ID || rc == VARNFILE_E_READ ||
                  rc == VARNFILE_E_POSITION)
          << "code " << rc << " at call " << i;
    }
    VARNFileAbort(h);
  }
}

}  // namespace
}  // namespace varnfile_test
