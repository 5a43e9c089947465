#include "codec/huffman_table.h"

#include <array>
#include <cstring>

#include "codec/inflate.h"

namespace varnfile {

namespace {

// Bytes with their bit order reversed, for turning canonical codes (sent
// most significant bit first) into table indexes (first bit in bit 0).
constexpr std::array<uint8_t, 256> MakeReversedBytes() {
  std::array<uint8_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = 0;
    for (uint32_t bit = 0; bit < 8; ++bit) r |= ((i >> bit) & 1u) << (7 - bit);
    table[i] = static_cast<uint8_t>(r);
  }
  return table;
}
constexpr std::array<uint8_t, 256> ReversedBytes = MakeReversedBytes();

inline uint32_t ReverseCode(uint32_t code, uint32_t bits) {
  uint32_t reversed16 = static_cast<uint32_t>(ReversedBytes[code & 0xff]) << 8 |
                        ReversedBytes[(code >> 8) & 0xff];
  return reversed16 >> (16 - bits);
}

// Fills the literal/length and distance lengths regions with the fixed code.
void FillFixedLengths(TableArea* area) {
  std::memset(area->literalLengths, 0, sizeof area->literalLengths);
  uint8_t* literal = CodeLengthList(area->literalLengths);
  uint32_t symbol = 0;
  for (uint32_t range = 0; range < 4; ++range) {
    for (; symbol < FixedLiteralRangeEnd[range]; ++symbol) {
      literal[symbol] = FixedLiteralLengthBits[range];
      ++area->literalLengths[FixedLiteralLengthBits[range] - 1];
    }
  }
  std::memset(area->distanceLengths, 0, sizeof area->distanceLengths);
  uint8_t* distance = CodeLengthList(area->distanceLengths);
  for (symbol = 0; symbol < DistanceSymbols; ++symbol) {
    distance[symbol] = FixedDistanceBits;
    ++area->distanceLengths[FixedDistanceBits - 1];
  }
}

// The fixed code never changes, so it is built once per process into this
// image; building it for a context is then a copy of the regions a build
// fills. Built on first use (thread-safe), read-only afterwards.
const TableArea& FixedTablesImage() {
  static const TableArea image = [] {
    TableArea area;
    std::memset(&area, 0, sizeof area);
    FillFixedLengths(&area);
    // The fixed code is complete: both builds always succeed.
    BuildHuffmanTable(area.literalLengths, &area.literalTable, area.scratch,
                      LiteralLengthSymbols);
    BuildHuffmanTable(area.distanceLengths, &area.distanceTable, area.scratch, DistanceSymbols);
    return area;
  }();
  return image;
}

}  // namespace

uint32_t BuildHuffmanTable(const uint16_t* lengths, HuffmanTable* table, uint16_t* scratch,
                           uint32_t n) {
  const uint16_t* count = lengths;  // count[L - 1]: codes of L bits
  const uint8_t* codeLength = CodeLengthList(lengths);

  // Canonical first code of each length, and the code space left unused:
  // a negative remainder means over-subscribed, a positive one incomplete.
  uint32_t next[MaxCodeBits + 2];
  next[1] = 0;
  int32_t left = 1;
  uint32_t codes = 0;
  for (uint32_t bits = 1; bits <= MaxCodeBits; ++bits) {
    next[bits + 1] = (next[bits] + count[bits - 1]) << 1;
    left = (left << 1) - count[bits - 1];
    if (left < 0) return 1;
    codes += count[bits - 1];
  }
  if (left > 0 && codes > 1) return 1;

  std::memset(table->entries, 0, sizeof table->entries);
  std::memset(table->entryLengths, PrimaryBits, sizeof table->entryLengths);

  // Symbols sorted by code length, then by symbol (the canonical order):
  // codes then simply count up within each length. Symbols without a code
  // go behind all others.
  uint32_t offset[MaxCodeBits + 1];
  offset[0] = codes;
  uint32_t start = 0;
  for (uint32_t bits = 1; bits <= MaxCodeBits; ++bits) {
    offset[bits] = start;
    start += count[bits - 1];
  }
  for (uint32_t symbol = 0; symbol < n; ++symbol) {
    scratch[offset[codeLength[symbol]]++] = static_cast<uint16_t>(symbol);
  }

  // Codes of up to 8 bits fill every primary entry that starts with them
  // (the code reversed, so that its first bit is bit 0).
  uint32_t sorted = 0;
  for (uint32_t bits = 1; bits <= PrimaryBits; ++bits) {
    uint32_t code = next[bits];
    for (uint32_t k = 0; k < count[bits - 1]; ++k) {
      int16_t symbol = static_cast<int16_t>(scratch[sorted++]);
      for (uint32_t i = ReverseCode(code++, bits); i < PrimaryEntries; i += 1u << bits) {
        table->entries[i] = symbol;
        table->entryLengths[i] = static_cast<uint8_t>(bits);
      }
    }
  }

  // Longer codes hang below their 8-bit prefix, one node per further bit.
  int16_t* nodes = TreeNodes(table);
  uint32_t freeNode = 0;
  for (uint32_t bits = PrimaryBits + 1; bits <= MaxCodeBits; ++bits) {
    uint32_t code = next[bits];
    for (uint32_t k = 0; k < count[bits - 1]; ++k) {
      int16_t symbol = static_cast<int16_t>(scratch[sorted++]);
      uint32_t reversed = ReverseCode(code++, bits);
      int16_t* slot = &table->entries[reversed & (PrimaryEntries - 1)];
      for (uint32_t bit = PrimaryBits; bit < bits; ++bit) {
        if (*slot == 0) {
          nodes[2 * freeNode] = 0;
          nodes[2 * freeNode + 1] = 0;
          *slot = static_cast<int16_t>(~(2 * freeNode));
          ++freeNode;
        }
        slot = &nodes[~*slot + ((reversed >> bit) & 1u)];
      }
      *slot = symbol;
    }
  }
  return 0;
}

void BuildFixedTables(InflateContext* context) {
  if (context->fixedTablesBuilt) return;
  const TableArea& image = FixedTablesImage();
  TableArea* area = context->tables;
  // Literal/length and distance tables with their nodes, then both lengths
  // regions: exactly what filling the lengths and building would write.
  static_assert(offsetof(TableArea, distanceTable) ==
                    offsetof(TableArea, literalTable) + sizeof(HuffmanTable) +
                        sizeof(TableArea::literalNodes), "tables are contiguous");
  static_assert(offsetof(TableArea, distanceLengths) ==
                    offsetof(TableArea, literalLengths) + sizeof(TableArea::literalLengths),
                "lengths regions are contiguous");
  std::memcpy(&area->literalTable, &image.literalTable,
              offsetof(TableArea, codeLengthTable) - offsetof(TableArea, literalTable));
  std::memcpy(area->literalLengths, image.literalLengths,
              offsetof(TableArea, scratch) - offsetof(TableArea, literalLengths));
  context->fixedTablesBuilt = 1;
}

}  // namespace varnfile
