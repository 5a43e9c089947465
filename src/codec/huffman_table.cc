#include "codec/huffman_table.h"

#include <array>
#include <cstring>

#include "codec/inflate.h"

namespace varnfile {

namespace {

// Each symbol's entry without its bit count, per kind of table.
struct SymbolEntries {
  std::array<uint32_t, LiteralLengthSymbols> literalLength{};
  std::array<uint32_t, DistanceSymbols> distance{};
  std::array<uint32_t, CodeLengthCodes> codeLength{};
};

constexpr SymbolEntries MakeSymbolEntries() {
  SymbolEntries e;
  for (uint32_t s = 0; s < LiteralLengthSymbols; ++s) {
    if (s < EndOfBlock) {
      e.literalLength[s] = EntryLiteral | s << 16;
    } else if (s == EndOfBlock) {
      e.literalLength[s] = EntryEndOfBlock;
    } else if (s < ValidLiteralLengthSymbols) {
      const CodeBase& code = LengthCodes[s - FirstLengthSymbol];
      e.literalLength[s] = uint32_t{code.base} << 16 | uint32_t{code.extraBits} << 8;
    } else {
      e.literalLength[s] = EntryInvalid;
    }
  }
  for (uint32_t s = 0; s < DistanceSymbols; ++s) {
    if (s < ValidDistanceSymbols) {
      const CodeBase& code = DistanceCodes[s];
      e.distance[s] = uint32_t{code.base} << 16 | uint32_t{code.extraBits} << 8;
    } else {
      e.distance[s] = EntryInvalid;
    }
  }
  for (uint32_t s = 0; s < CodeLengthCodes; ++s) e.codeLength[s] = s << 16;
  return e;
}
constexpr SymbolEntries Entries = MakeSymbolEntries();

struct KindInfo {
  const uint32_t* entries;
  uint32_t primaryBits;
  uint32_t size;
};

KindInfo Info(TableKind kind) {
  switch (kind) {
    case TableKind::LiteralLength:
      return {Entries.literalLength.data(), LiteralTableBits, LiteralTableSize};
    case TableKind::Distance:
      return {Entries.distance.data(), DistanceTableBits, DistanceTableSize};
    case TableKind::CodeLength:
      break;
  }
  return {Entries.codeLength.data(), CodeLengthTableBits, CodeLengthTableSize};
}

inline uint32_t HighestBit(uint32_t v) { return 31u - static_cast<uint32_t>(__builtin_clz(v)); }

// An empty code, or a code of one symbol of `length` bits (its code is all
// zeros): the entries no code reaches decode as symbol 0 with 8 bits, and
// below the 8-bit prefix of a longer code a 1 bit at position j ends a code
// for symbol 0 of j + 1 bits.
void BuildDegenerate(uint32_t* table, const KindInfo& info, bool empty, uint32_t symbol,
                     uint32_t length) {
  const uint32_t primary = 1u << info.primaryBits;
  const uint32_t filler = info.entries[0];
  for (uint32_t i = 0; i < primary; ++i) table[i] = filler | 8;
  if (empty) return;
  const uint32_t entry = info.entries[symbol] | length;
  if (length <= 8) {
    for (uint32_t i = 0; i < primary; i += 1u << length) table[i] = entry;
    return;
  }
  // Longer than 8 bits (literal/length and distance tables only, whose
  // primary bits are 8 or more): what follows the prefix of eight zeros.
  auto below = [&](uint32_t bits, uint32_t from, uint32_t to) {
    for (uint32_t j = from; j < to; ++j) {
      if ((bits >> (j - from)) & 1u) return filler | (j + 1);
    }
    return entry;
  };
  for (uint32_t i = 0; i < primary; i += 256) {
    table[i] = below(i >> 8, 8, length < info.primaryBits ? length : info.primaryBits);
  }
  if (length > info.primaryBits) {
    const uint32_t subtableBits = length - info.primaryBits;
    table[0] = EntrySubtable | primary << 16 | subtableBits << 8 | info.primaryBits;
    for (uint32_t k = 0; k < (1u << subtableBits); ++k) {
      table[primary + k] = below(k, info.primaryBits, length);
    }
  }
}

}  // namespace

uint32_t BuildHuffmanTable(const uint8_t* codeLength, uint32_t n, uint32_t* table,
                           TableKind kind, uint16_t* sorted) {
  const KindInfo info = Info(kind);
  const uint32_t tableBits = info.primaryBits;

  // The symbols are taken as four runs of quarter = n / 4 symbols (the
  // last run also takes the n % 4 left over), counted and sorted side by
  // side: a counter incremented by consecutive symbols of the same length
  // waits for its own previous store, and four runs wait four times less.
  // Index 0 counts the symbols without a code.
  const uint32_t quarter = n / 4;
  uint16_t runCount[4][MaxCodeBits + 1] = {};
  for (uint32_t i = 0; i < quarter; ++i) {
    ++runCount[0][codeLength[i]];
    ++runCount[1][codeLength[quarter + i]];
    ++runCount[2][codeLength[2 * quarter + i]];
    ++runCount[3][codeLength[3 * quarter + i]];
  }
  for (uint32_t i = 4 * quarter; i < n; ++i) ++runCount[3][codeLength[i]];
  uint32_t count[MaxCodeBits + 1];
  for (uint32_t bits = 0; bits <= MaxCodeBits; ++bits) {
    count[bits] = runCount[0][bits] + runCount[1][bits] + runCount[2][bits] + runCount[3][bits];
  }

  // The code space left unused: a negative remainder means
  // over-subscribed, a positive one incomplete.
  int32_t left = 1;
  uint32_t codes = 0;
  for (uint32_t bits = 1; bits <= MaxCodeBits; ++bits) {
    left = (left << 1) - static_cast<int32_t>(count[bits]);
    if (left < 0) return 1;
    codes += count[bits];
  }
  if (left > 0) {
    if (codes > 1) return 1;
    uint32_t symbol = 0;
    while (codes == 1 && codeLength[symbol] == 0) ++symbol;
    BuildDegenerate(table, info, codes == 0, symbol, codes == 1 ? codeLength[symbol] : 0);
    return 0;
  }

  // Symbols sorted by code length, then by symbol: the canonical order, in
  // which codes simply count up. The symbols without a code go behind all
  // the others, where nothing reads them, so the sort needs no test.
  uint32_t offset[4][MaxCodeBits + 1];
  uint32_t start = 0;
  for (uint32_t bits = 1; bits <= MaxCodeBits + 1; ++bits) {
    const uint32_t b = bits <= MaxCodeBits ? bits : 0;  // no code: last
    for (uint32_t run = 0; run < 4; ++run) {
      offset[run][b] = start;
      start += runCount[run][b];
    }
  }
  for (uint32_t i = 0; i < quarter; ++i) {
    sorted[offset[0][codeLength[i]]++] = static_cast<uint16_t>(i);
    sorted[offset[1][codeLength[quarter + i]]++] = static_cast<uint16_t>(quarter + i);
    sorted[offset[2][codeLength[2 * quarter + i]]++] = static_cast<uint16_t>(2 * quarter + i);
    sorted[offset[3][codeLength[3 * quarter + i]]++] = static_cast<uint16_t>(3 * quarter + i);
  }
  for (uint32_t i = 4 * quarter; i < n; ++i) {
    sorted[offset[3][codeLength[i]]++] = static_cast<uint16_t>(i);
  }

  // Codes of up to tableBits bits, shortest first. `codeword` is the next
  // code with its first bit in bit 0 (the table index); counting up a code
  // is counting down from its highest zero bit in this reversed form. While
  // the codes have `length` bits, the table is filled only to 2^length
  // entries; moving to longer codes doubles it by copying, which repeats
  // every shorter code at all the indexes that start with it. A complete
  // code has a code of at most 8 bits, as it has at most 288 symbols.
  uint32_t length = 1;
  while (count[length] == 0) ++length;
  uint32_t remaining = count[length];
  uint32_t tableEnd = 1u << length;
  uint32_t codeword = 0;
  uint32_t next = 0;
  while (length <= tableBits) {
    do {
      table[codeword] = info.entries[sorted[next++]] | length;
      if (codeword == tableEnd - 1) {
        // The last code: every code fits the primary table.
        for (; length < tableBits; ++length) {
          std::memcpy(&table[tableEnd], table, tableEnd * sizeof table[0]);
          tableEnd <<= 1;
        }
        return 0;
      }
      const uint32_t bit = 1u << HighestBit(codeword ^ (tableEnd - 1));
      codeword = (codeword & (bit - 1)) | bit;
    } while (--remaining != 0);
    do {
      if (++length <= tableBits) {
        std::memcpy(&table[tableEnd], table, tableEnd * sizeof table[0]);
        tableEnd <<= 1;
      }
    } while ((remaining = count[length]) == 0);
  }

  // Longer codes: one subtable per primary prefix, just large enough for
  // the longest code below it.
  const uint32_t prefixMask = (1u << tableBits) - 1;
  uint32_t prefix = ~0u;
  uint32_t subtableStart = 0;
  tableEnd = 1u << tableBits;
  for (;;) {
    if ((codeword & prefixMask) != prefix) {
      prefix = codeword & prefixMask;
      subtableStart = tableEnd;
      uint32_t subtableBits = length - tableBits;
      uint32_t used = remaining;
      while (used < (1u << subtableBits)) {
        ++subtableBits;
        used = (used << 1) + count[tableBits + subtableBits];
      }
      tableEnd = subtableStart + (1u << subtableBits);
      if (tableEnd > info.size) return 1;  // cannot happen for a complete code
      table[prefix] = EntrySubtable | subtableStart << 16 | subtableBits << 8 | tableBits;
    }
    const uint32_t entry = info.entries[sorted[next++]] | length;
    for (uint32_t i = subtableStart + (codeword >> tableBits); i < tableEnd;
         i += 1u << (length - tableBits)) {
      table[i] = entry;
    }
    const uint32_t all = (1u << length) - 1;
    if (codeword == all) return 0;
    const uint32_t bit = 1u << HighestBit(codeword ^ all);
    codeword = (codeword & (bit - 1)) | bit;
    --remaining;
    while (remaining == 0) remaining = count[++length];
  }
}

namespace {

// The fixed code's tables, built on first use (thread-safe), read-only
// afterwards.
struct FixedTables {
  uint32_t literal[LiteralTableSize];
  uint32_t distance[DistanceTableSize];
};

const FixedTables& Fixed() {
  static const FixedTables* const tables = [] {
    static FixedTables built;
    uint8_t lengths[LiteralLengthSymbols + DistanceSymbols];
    uint16_t scratch[LiteralLengthSymbols];
    uint8_t* literal = lengths;
    uint32_t symbol = 0;
    for (uint32_t range = 0; range < 4; ++range) {
      for (; symbol < FixedLiteralRangeEnd[range]; ++symbol) {
        literal[symbol] = FixedLiteralLengthBits[range];
      }
    }
    uint8_t* distance = lengths + LiteralLengthSymbols;
    for (symbol = 0; symbol < DistanceSymbols; ++symbol) distance[symbol] = FixedDistanceBits;
    // The fixed code is complete: both builds always succeed.
    BuildHuffmanTable(literal, LiteralLengthSymbols, built.literal, TableKind::LiteralLength,
                      scratch);
    BuildHuffmanTable(distance, DistanceSymbols, built.distance, TableKind::Distance,
                      scratch);
    return &built;
  }();
  return *tables;
}

}  // namespace

const uint32_t* FixedLiteralTable() { return Fixed().literal; }
const uint32_t* FixedDistanceTable() { return Fixed().distance; }

void BuildFixedTables(InflateContext* context) {
  if (context->fixedTablesBuilt) return;
  Fixed();
  context->fixedTablesBuilt = 1;
}

}  // namespace varnfile
