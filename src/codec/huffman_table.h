// Decoding tables for the prefix codes of DEFLATE blocks.
//
// A table answers any code of up to its primary bits (10 for literal/length
// codes, 8 for distances, 7 for code-length codes) with one lookup of the
// next input bits; a longer code takes a second lookup in a subtable below
// its primary prefix. Each entry carries everything decoding needs (bits to
// consume, and for lengths and distances the base and the extra bits), so
// the decoder never goes back to the symbol tables. All tables and the
// code-length lists of one decompressor live in a single TableArea, so
// building a table never allocates.
#ifndef VARNFILE_CODEC_HUFFMAN_TABLE_H_
#define VARNFILE_CODEC_HUFFMAN_TABLE_H_

#include <cstddef>
#include <cstdint>

#include "codec/deflate_constants.h"

namespace varnfile {

struct InflateContext;

// A table entry, 32 bits:
//   bits 0-7    bits of input the entry stands for: the whole code, or for
//               a subtable pointer the primary bits
//   bits 8-11   extra bits of a length or distance; for a subtable pointer
//               the number of index bits of the subtable
//   bits 12-15  the kind (none set: a length, a distance or a code-length
//               symbol)
//   bits 16-31  the literal byte, the length or distance base, the
//               code-length symbol, or the index where the subtable starts
// An entry that no code reaches (only an empty code or one of a single
// symbol leaves such entries) decodes as symbol 0 with 8 bits, and a code
// of a single symbol longer than 8 bits reads a 1 bit after its 8-bit prefix
// as the end of a code for symbol 0: the decoding of invalid data does not
// depend on the table layout.
constexpr uint32_t EntryLiteral = 0x8000;
constexpr uint32_t EntrySubtable = 0x4000;
constexpr uint32_t EntryEndOfBlock = 0x2000;
constexpr uint32_t EntryInvalid = 0x1000;  // literal/length 286, 287; distance 30, 31

inline uint32_t EntryBits(uint32_t entry) { return entry & 0xFF; }
inline uint32_t EntryExtraBits(uint32_t entry) { return (entry >> 8) & 0xF; }
inline uint32_t EntryValue(uint32_t entry) { return entry >> 16; }

enum class TableKind { LiteralLength, Distance, CodeLength };

constexpr uint32_t LiteralTableBits = 10;
constexpr uint32_t DistanceTableBits = 8;
constexpr uint32_t CodeLengthTableBits = MaxCodeLengthCodeBits;
// Primary entries plus room for the subtables of any code a build accepts
// (a complete code of 288 literal/length symbols needs at most 1,334
// entries in all, one of 32 distance symbols at most 402); the room is
// generous, and a build that would still pass it is refused.
constexpr uint32_t LiteralTableSize = 2 * (1u << LiteralTableBits);
constexpr uint32_t DistanceTableSize = 3 * (1u << DistanceTableBits);
constexpr uint32_t CodeLengthTableSize = 1u << CodeLengthTableBits;

// Every table and code-length list of one decompressor: one allocation.
struct TableArea {
  uint32_t literalTable[LiteralTableSize];
  uint32_t distanceTable[DistanceTableSize];
  uint32_t codeLengthTable[CodeLengthTableSize];
  // The code lengths of a dynamic header in the order the header gives
  // them: the literal/length codes' lengths, the distance codes' right
  // behind them (a run of repeats may cross from one to the other).
  uint8_t lengths[LiteralLengthSymbols + DistanceSymbols];
  uint8_t codeLengthLengths[CodeLengthCodes];
  // Symbols sorted by code length while a table is built.
  uint16_t scratch[LiteralLengthSymbols];
};

// Builds the table of `kind` from the code lengths of symbols 0 to n - 1
// (at most 288; each 0 to 15, 0: the symbol has no code), using scratch
// (n uint16). Returns 0 when built, 1 when the lengths are rejected:
// over-subscribed, or incomplete with more than one code. An empty code and
// a code of a single symbol are accepted.
uint32_t BuildHuffmanTable(const uint8_t* lengths, uint32_t n, uint32_t* table, TableKind kind,
                           uint16_t* scratch);

// The literal/length and distance tables of RFC 1951's fixed code: built
// once per process, read-only, shared by all decompressors.
const uint32_t* FixedLiteralTable();
const uint32_t* FixedDistanceTable();

// Makes the fixed code the one in force for the context (its tables are
// shared and always built); sets the context's fixed-tables-built flag.
void BuildFixedTables(InflateContext* context);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_HUFFMAN_TABLE_H_
