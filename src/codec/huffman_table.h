// Decoding tables for the prefix codes of DEFLATE blocks.
//
// A table answers any code of up to 8 bits with one lookup of the next 8
// input bits; the rare longer codes (9 to 15 bits) continue in a small binary
// tree below their 8-bit prefix. All tables and the code-length lists of one
// decompressor live in a single TableArea, so building a table never
// allocates.
#ifndef VARNFILE_CODEC_HUFFMAN_TABLE_H_
#define VARNFILE_CODEC_HUFFMAN_TABLE_H_

#include <cstddef>
#include <cstdint>

#include "codec/deflate_constants.h"

namespace varnfile {

struct InflateContext;

constexpr uint32_t PrimaryBits = 8;
constexpr uint32_t PrimaryEntries = 1u << PrimaryBits;
// Tree nodes a table may need: fewer than its number of symbols for a
// complete code, at most 7 for a code of a single symbol.
constexpr uint32_t LiteralTreeNodes = LiteralLengthSymbols;
constexpr uint32_t DistanceTreeNodes = DistanceSymbols;

// The decoding form of one prefix code. Its tree nodes follow it directly in
// the TableArea (see TreeNodes).
//
// entries[i], for i the next 8 input bits (first bit in bit 0):
//   >= 0  a symbol whose code is entryLengths[i] bits long (1 to 8);
//   <  0  ~ref: the code is longer than 8 bits. Consume 8 bits, then follow
//         one tree slot per further bit, starting at slot ref + bit.
// An entry that no code reaches (only an empty code or one of a single
// symbol leaves such entries) holds symbol 0 with length 8.
//
// Tree nodes are pairs of int16 slots: slot 0 for a 0 bit, slot 1 for a 1
// bit. A slot holds a symbol (>= 0), ~ref of the next node (< 0), or 0 when
// no code passes it. Node k has ref 2k, counted in slots from the start of
// the table's node room.
struct HuffmanTable {
  int16_t entries[PrimaryEntries];
  uint8_t entryLengths[PrimaryEntries];
};

// A lengths region is the input of a build: 15 counts (uint16, count[L - 1]
// symbols have a code of L bits), then one uint8 code length per symbol
// (0 = the symbol has no code). Counts and lengths must agree.
constexpr uint32_t LengthCountWords = MaxCodeBits;
inline uint8_t* CodeLengthList(uint16_t* region) {
  return reinterpret_cast<uint8_t*>(region + LengthCountWords);
}
inline const uint8_t* CodeLengthList(const uint16_t* region) {
  return reinterpret_cast<const uint8_t*>(region + LengthCountWords);
}

// Every table and code-length list of one decompressor: one allocation of
// 4,540 bytes, in this order.
struct TableArea {
  HuffmanTable literalTable;
  int16_t literalNodes[2 * LiteralTreeNodes];
  HuffmanTable distanceTable;
  int16_t distanceNodes[2 * DistanceTreeNodes];
  // Code-length codes are at most 7 bits: looked up with 7-bit indexes, no tree.
  HuffmanTable codeLengthTable;
  // Literal/length lengths; while a dynamic header is read, the same place
  // holds the counts and 19 lengths of the code-length code.
  uint16_t literalLengths[LengthCountWords + LiteralLengthSymbols / 2];
  uint16_t distanceLengths[LengthCountWords + DistanceSymbols / 2];
  // Reversed codes, one per symbol, while a table is built.
  uint16_t scratch[LiteralLengthSymbols];
};
constexpr uint32_t TableAreaSize = 4540;
static_assert(sizeof(TableArea) == TableAreaSize, "TableArea layout");
static_assert(offsetof(TableArea, literalNodes) ==
                  offsetof(TableArea, literalTable) + sizeof(HuffmanTable),
              "literal nodes follow their table");
static_assert(offsetof(TableArea, distanceNodes) ==
                  offsetof(TableArea, distanceTable) + sizeof(HuffmanTable),
              "distance nodes follow their table");

// The node room directly behind a table inside the TableArea.
inline int16_t* TreeNodes(HuffmanTable* table) {
  return reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(table) + sizeof(HuffmanTable));
}
inline const int16_t* TreeNodes(const HuffmanTable* table) {
  return reinterpret_cast<const int16_t*>(reinterpret_cast<const uint8_t*>(table) +
                                          sizeof(HuffmanTable));
}

// Builds table from the first n lengths of the lengths region `lengths`,
// using scratch (n uint16) for the reversed codes. Returns 0 when built, 1
// when the lengths are rejected: over-subscribed, or incomplete with more
// than one code. An empty code and a code of a single symbol are accepted.
// The table's node room must hold fewer than n nodes (at least 7 when n is
// small); a code-length table (all lengths <= 7) needs none.
uint32_t BuildHuffmanTable(const uint16_t* lengths, HuffmanTable* table, uint16_t* scratch,
                           uint32_t n);

// Builds the literal/length (288 symbols) and distance (32 symbols) tables
// of RFC 1951's fixed code into the context's TableArea, unless the
// context's fixed-tables-built flag says they are there already; sets it.
void BuildFixedTables(InflateContext* context);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_HUFFMAN_TABLE_H_
