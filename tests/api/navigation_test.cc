// The cursor exports over deleted items and end markers, at the edges of
// the file, and at positions that are no record start.
#include "item_test_util.h"

namespace varnfile_test {
namespace {

struct Move {
  uint16_t (*call)(uint32_t);
  uint16_t rc;
  uint32_t position;  // where the cursor stands after the call
};

uint16_t ReadId(uint32_t h) {
  uint16_t rc = 0;
  CurrentCommand(h, &rc);
  return rc;
}

// A, B (deleted), C, an end marker, D (deleted), E; one-byte items are 23
// bytes apart, the marker 22. Each move runs from where the last one left.
TEST(Navigation, DeletedItemsArePassedAndEndMarkersStopOnce) {
  uint32_t h = CreateFileWith("MEMORY$");
  const uint32_t a = First, b = a + 23, c = b + 23, m = c + 23, d = m + 22, e = d + 23, end = e + 23;
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, VARNFileSkipNext(h));
  EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(h));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadId(h));
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(h).rc);
  EXPECT_EQ(First, Position(h));
  for (char id : {'A', 'B', 'C'}) ASSERT_EQ(0, AddText(h, id, "x"));
  ASSERT_EQ(0, VARNFileAddItem(h, VARNFILE_CMD_END_MARKER, 0, 0, 0, nullptr));
  for (char id : {'D', 'E'}) ASSERT_EQ(0, AddText(h, id, "x"));
  for (uint32_t p : {b, d}) {
    ASSERT_EQ(0, VARNFileSetPosition(h, p));
    ASSERT_EQ(0, VARNFileDeleteItem(h));
  }
  EXPECT_EQ(0, VARNFileSeekToEnd(h, nullptr));
  EXPECT_EQ(0, VARNFileGetPosition(h, nullptr));
  for (uint32_t p : {0u, 100u, 173u}) {  // inside the header: raised to the first item
    ASSERT_EQ(0, VARNFileSetPosition(h, p));
    EXPECT_EQ(a, Position(h));
  }
  const Move moves[] = {
      {VARNFileSkipNext, 0, c},  {VARNFileSkipPrev, 0, a},
      {VARNFileSkipPrev, VARNFILE_E_NO_PREVIOUS, a},
      {VARNFileSkipNext, 0, c},  {VARNFileSkipNext, VARNFILE_E_END_OF_FILE, m},
      {ReadId, VARNFILE_E_END_OF_FILE, m},  {VARNFileSkipNext, 0, e},
      {VARNFileSkipPrev, VARNFILE_E_END_OF_FILE, m},  {VARNFileSkipPrev, 0, c},
      {VARNFileSkipNext, VARNFILE_E_END_OF_FILE, m},  {VARNFileSkipNext, 0, e},
      {VARNFileSkipNext, VARNFILE_E_END_OF_FILE, end},
      {VARNFileSkipNext, VARNFILE_E_END_OF_FILE, end},  {VARNFileSkipPrev, 0, e},
  };
  for (const Move& move : moves) {
    EXPECT_EQ(move.rc, move.call(h)) << "move " << &move - moves;
    EXPECT_EQ(move.position, Position(h)) << "move " << &move - moves;
  }
  // Reading from a deleted item moves on to the next live one; a deleted
  // first item leaves SkipPrev on it with 269.
  ASSERT_EQ(0, VARNFileSetPosition(h, b));
  EXPECT_EQ('C', CurrentCommand(h));
  EXPECT_EQ(c, Position(h));
  ASSERT_EQ(0, VARNFileSetPosition(h, a));
  ASSERT_EQ(0, VARNFileDeleteItem(h));
  ASSERT_EQ(0, VARNFileSetPosition(h, c));
  EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(h));
  EXPECT_EQ(a, Position(h));
  EXPECT_EQ(0, VARNFileClose(h));
}

// Positions that are no record start read whatever bytes lie there as a
// record. No call may crash, hang or read out of bounds, and every code
// must be one the calls can give.
TEST(Navigation, ArbitraryPositionsGiveCodesNotCrashes) {
  for (uint16_t method : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_CHAINED_DEFLATE}) {
    uint32_t h = CreateFileWith("MEMORY$", method);
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(0, AddText(h, static_cast<uint16_t>(i * 97), std::string(i * 3 % 50, 'q')));
    }
    uint32_t end = EndOfData(h), seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(0, VARNFileSetPosition(h, next() % (end + 64)));
      uint16_t rc = 0;
      switch (next() % 6) {
        case 0: rc = ReadNext(h, 100).rc; break;
        case 1: rc = VARNFileSkipNext(h); break;
        case 2: rc = VARNFileSkipPrev(h); break;
        case 3: rc = ReadId(h); break;
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
