// Constant tables of the compressor, derived at compile time from the format's
// numbers in deflate_constants.h: the fixed codes as ready-to-write entries,
// the maps from a match length or distance to its code, and the weight
// budgets that keep Huffman codes within their length limit.
#ifndef VARNFILE_CODEC_DEFLATE_TABLES_H_
#define VARNFILE_CODEC_DEFLATE_TABLES_H_

#include <cstdint>

#include "codec/deflate_constants.h"
#include "codec/huffman_codes.h"

namespace varnfile {

constexpr uint32_t WindowMask = WindowSize - 1;
constexpr uint32_t WindowMirror = 257;
constexpr uint32_t HashBuckets = 4096;
constexpr uint32_t FullLookahead = 260;
constexpr uint32_t BlockSymbols = 4096;
constexpr uint16_t RunFlag = 0x8000;
// A stored block is copied from the window, so its bytes, those carried to
// the next block and the lookahead must all still be there.
constexpr uint32_t StoredBlockLimit = WindowSize - FullLookahead;

// Total weight a code of at most n bits can take (index n): from the third
// entry on, the sum of the two before plus 2.
inline constexpr uint16_t WeightBudget[16] = {1,   2,   5,   9,   16,  27,   45,   74,
                                              121, 197, 320, 519, 841, 1362, 2205, 3569};

constexpr uint16_t ReverseBits(uint32_t code, uint32_t length) {
  uint32_t reversed = 0;
  for (uint32_t i = 0; i < length; ++i) {
    reversed = (reversed << 1) | ((code >> i) & 1);
  }
  return static_cast<uint16_t>(reversed);
}

struct FixedLiteralTable {
  CodeEntry entries[ValidLiteralLengthSymbols];
};
constexpr FixedLiteralTable MakeFixedLiterals() {
  FixedLiteralTable table{};
  for (uint32_t s = 0; s < ValidLiteralLengthSymbols; ++s) {
    uint32_t code = 0, length = 0;
    if (s < 144) {
      code = 0x30 + s, length = 8;
    } else if (s < 256) {
      code = 0x190 + (s - 144), length = 9;
    } else if (s < 280) {
      code = s - 256, length = 7;
    } else {
      code = 0xC0 + (s - 280), length = 8;
    }
    table.entries[s].code = ReverseBits(code, length);
    table.entries[s].length = static_cast<uint8_t>(length);
  }
  return table;
}
inline constexpr FixedLiteralTable FixedLiteralCodes = MakeFixedLiterals();

struct FixedDistanceTable {
  CodeEntry entries[ValidDistanceSymbols];
};
constexpr FixedDistanceTable MakeFixedDistances() {
  FixedDistanceTable table{};
  for (uint32_t s = 0; s < ValidDistanceSymbols; ++s) {
    table.entries[s].code = ReverseBits(s, 5);
    table.entries[s].length = 5;
  }
  return table;
}
inline constexpr FixedDistanceTable FixedDistanceCodes = MakeFixedDistances();

// Length code (0..28) of match length l, at index l - 3.
struct LengthCodeTable {
  uint8_t code[256];
};
constexpr LengthCodeTable MakeLengthCodes() {
  LengthCodeTable table{};
  uint32_t c = 0;
  for (uint32_t l = 3; l <= 258; ++l) {
    while (c < 27 && LengthCodes[c + 1].base <= l) ++c;
    table.code[l - 3] = static_cast<uint8_t>(l == 258 ? 28 : c);
  }
  return table;
}
inline constexpr LengthCodeTable LengthCodeOf = MakeLengthCodes();

// Distance code of distance d: entry d - 1 for d <= 256, else entry
// 256 + ((d - 1) >> 7); codes from 16 on start at multiples of 128 plus 1.
struct DistanceCodeTable {
  uint8_t code[512];
};
constexpr DistanceCodeTable MakeDistanceCodes() {
  DistanceCodeTable table{};
  uint32_t c = 0;
  for (uint32_t d = 1; d <= 256; ++d) {
    while (c < 29 && DistanceCodes[c + 1].base <= d) ++c;
    table.code[d - 1] = static_cast<uint8_t>(c);
  }
  for (uint32_t i = 2; i < 256; ++i) {
    uint32_t d = (i << 7) + 1;
    while (c < 29 && DistanceCodes[c + 1].base <= d) ++c;
    table.code[256 + i] = static_cast<uint8_t>(c);
  }
  return table;
}
inline constexpr DistanceCodeTable DistanceCodeOf = MakeDistanceCodes();

constexpr uint32_t DistanceCode(uint32_t distance) {
  return distance <= 256 ? DistanceCodeOf.code[distance - 1]
                         : DistanceCodeOf.code[256 + ((distance - 1) >> 7)];
}

static_assert(LengthCodeOf.code[0] == 0 && LengthCodeOf.code[8] == 8 &&
                  LengthCodeOf.code[255] == 28 && LengthCodeOf.code[254] == 27,
              "length codes");
static_assert(DistanceCode(1) == 0 && DistanceCode(5) == 4 && DistanceCode(256) == 15 &&
                  DistanceCode(257) == 16 && DistanceCode(8192) == 25 &&
                  DistanceCode(6145) == 25 && DistanceCode(6144) == 24,
              "distance codes");
static_assert(FixedLiteralCodes.entries[256].length == 7 &&
                  FixedLiteralCodes.entries[256].code == 0,
              "fixed end of block");

}  // namespace varnfile

#endif  // VARNFILE_CODEC_DEFLATE_TABLES_H_
