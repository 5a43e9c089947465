#include "codec/huffman_table.h"

#include <cstring>

#include "codec/inflate.h"

namespace varnfile {

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

  // Each symbol's code, bit-reversed so that its first bit is bit 0.
  for (uint32_t symbol = 0; symbol < n; ++symbol) {
    uint32_t bits = codeLength[symbol];
    if (bits == 0) continue;
    uint32_t code = next[bits]++;
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < bits; ++i) reversed |= ((code >> i) & 1u) << (bits - 1 - i);
    scratch[symbol] = static_cast<uint16_t>(reversed);
  }

  // Codes of up to 8 bits fill every primary entry that starts with them.
  for (uint32_t symbol = 0; symbol < n; ++symbol) {
    uint32_t bits = codeLength[symbol];
    if (bits == 0 || bits > PrimaryBits) continue;
    for (uint32_t i = scratch[symbol]; i < PrimaryEntries; i += 1u << bits) {
      table->entries[i] = static_cast<int16_t>(symbol);
      table->entryLengths[i] = static_cast<uint8_t>(bits);
    }
  }

  // Longer codes hang below their 8-bit prefix, one node per further bit.
  int16_t* nodes = TreeNodes(table);
  uint32_t freeNode = 0;
  for (uint32_t symbol = 0; symbol < n; ++symbol) {
    uint32_t bits = codeLength[symbol];
    if (bits <= PrimaryBits) continue;
    uint32_t reversed = scratch[symbol];
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
    *slot = static_cast<int16_t>(symbol);
  }
  return 0;
}

void BuildFixedTables(InflateContext* context) {
  if (context->fixedTablesBuilt) return;
  TableArea* area = context->tables;

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

  // The fixed code is complete: both builds always succeed.
  BuildHuffmanTable(area->literalLengths, &area->literalTable, area->scratch,
                    LiteralLengthSymbols);
  BuildHuffmanTable(area->distanceLengths, &area->distanceTable, area->scratch, DistanceSymbols);
  context->fixedTablesBuilt = 1;
}

}  // namespace varnfile
