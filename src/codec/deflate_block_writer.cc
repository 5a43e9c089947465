#include "codec/deflate_block_writer.h"

#include <cassert>
#include <cstring>

#include "codec/deflate.h"
#include "codec/deflate_tables.h"
#include "codec/dynamic_cost_bound.h"

namespace varnfile {

namespace {

inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void Store64(uint8_t* p, uint64_t v) {
  Store32(p, static_cast<uint32_t>(v));
  Store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Resume points of the block writer: each names the write that found the
// output full and is repeated by the next call.
enum WriterPoint : uint32_t {
  WriteHeader = 3,           // waiting to write the 3 block-header bits
  WriteStoredLength = 4,     // ... LEN and NLEN of a stored block
  WriteStoredData = 5,       // ... a piece of stored data
  WriteDynamicCounts = 6,    // ... HLIT, HDIST, HCLEN
  WriteCodeLengthCode = 7,   // ... one 3-bit code-length code length
  WriteLengthEntry = 8,      // ... the code of a LengthEntry
  WriteLengthExtra = 9,      // ... its extra bits
  WriteTriple1 = 10,         // ... first literal of a length-3 match as literals
  WriteTriple2 = 11,
  WriteTriple3 = 12,
  WriteLengthCode = 13,      // ... a length symbol's code
  WriteLengthBits = 14,      // ... a length's extra bits
  WriteDistanceCode = 15,    // ... a distance code
  WriteDistanceBits = 16,    // ... a distance's extra bits
  WriteLiteral = 17,         // ... a literal's code
  WriteEndOfBlock = 18,      // ... the end-of-block code
  NextSymbol = 19,           // no write: pick the next symbol (never saved)
};

}  // namespace

// ---------------------------------------------------------------------------
// Bit writer

void BitWriterClear(BitWriter* writer) { std::memset(writer, 0, sizeof(*writer)); }

uint32_t BitWriterOpen(BitWriter* writer, uint8_t* output, uint32_t capacity) {
  // Whole words only: the last word of the buffer must be able to take the
  // final partial word without writing past the capacity.
  uint32_t usable = capacity & ~3u;
  writer->start = output;
  writer->current = output;
  writer->end = output + usable - 4;
  return usable - 4;
}

namespace {

// BitWriterPutBits, inlined into the block writer, which puts the bits of a
// block header and its code-length codes one field at a time.
inline uint32_t PutBits(BitWriter* writer, uint32_t value, uint32_t n) {
  uint32_t count = writer->bitCount;
  if (count + n < 32) {
    writer->bitBuffer |= value << count;
    writer->bitCount = count + n;
    return 0;
  }
  if (writer->current >= writer->end) return 1;
  Store32(writer->current, (value << count) | writer->bitBuffer);
  writer->current += 4;
  writer->bitBuffer = value >> (32 - count);
  writer->bitCount = count + n - 32;
  return 0;
}

}  // namespace

uint32_t BitWriterPutBits(BitWriter* writer, uint32_t value, uint32_t n) {
  return PutBits(writer, value, n);
}

namespace {

// Puts the writer back on its grid of whole words: the bytes written past
// the last whole word return to the front of the bit buffer, oldest lowest
// (at most three, so the buffer then holds at most 31 bits).
void ReturnLooseBytes(BitWriter* writer) {
  while (((writer->current - writer->start) & 3) != 0) {
    --writer->current;
    writer->bitBuffer = (writer->bitBuffer << 8) | writer->current[0];
    writer->bitCount += 8;
  }
}

}  // namespace

namespace {

// The writer's fast path, for a run of small writes while two words of room
// are left: bits gather in a 64-bit buffer and go out after each item (one
// symbol, one length entry), as many whole bytes as they make, with one
// 8-byte store and no test per field. Done puts the writer back on its
// grid of whole words.
struct FastBits {
  uint8_t* out;
  uint8_t* limit;
  uint64_t buffer;
  uint32_t count;

  explicit FastBits(const BitWriter* writer)
      : out(writer->current),
        limit(writer->end),
        buffer(writer->bitBuffer),
        count(writer->bitCount) {}
  bool Room() const { return limit - out >= 8; }
  void Put(uint32_t value, uint32_t n) {
    buffer |= static_cast<uint64_t>(value) << count;
    count += n;
  }
  // At most 7 bits wait after a flush; an item adds at most 48.
  void Flush() {
    Store64(out, buffer);
    out += count >> 3;
    buffer >>= count & ~7u;
    count &= 7;
  }
  void Done(BitWriter* writer) const {
    writer->current = out;
    writer->bitBuffer = static_cast<uint32_t>(buffer);  // at most 7 bits
    writer->bitCount = count;
    ReturnLooseBytes(writer);
  }
};

}  // namespace

uint32_t BitWriterPutBytes(BitWriter* writer, const uint8_t* source, uint32_t n) {
  if (writer->bitCount > 0) {
    Store32(writer->current, writer->bitBuffer);
    writer->current += (writer->bitCount + 7) >> 3;
    writer->bitCount = 0;
    writer->bitBuffer = 0;
  }
  if (writer->current > writer->end ||
      static_cast<size_t>(writer->end - writer->current) < n) {
    return 1;
  }
  std::memcpy(writer->current, source, n);
  writer->current += n;
  ReturnLooseBytes(writer);
  return 0;
}

uint32_t BitWriterFinish(BitWriter* writer, uint32_t complete) {
  uint32_t n = static_cast<uint32_t>(writer->current - writer->start);
  if (complete && writer->bitCount > 0) {
    Store32(writer->current, writer->bitBuffer);
    n += (writer->bitCount + 7) >> 3;
  }
  uint32_t room = static_cast<uint32_t>(writer->end - writer->start) + 4;
  return n < room ? n : room;
}

namespace {

// Index of the lowest set bit of a nonzero word.
inline uint32_t LowestBit(uint64_t bits) {
#if defined(__GNUC__)
  return static_cast<uint32_t>(__builtin_ctzll(bits));
#else
  uint32_t n = 0;
  while ((bits & 1) == 0) {
    bits >>= 1;
    ++n;
  }
  return n;
#endif
}

// A block of fewer symbols than this finds its symbols in use from the
// symbols themselves rather than from the 316 frequencies.
constexpr uint32_t FewSymbols = 64;

// The literal/length symbols in use (end-of-block included) of the block's
// symbols, in increasing order, into used[], then its distance codes in use;
// returns the first count and sets *distances to the second. The same sets
// as the nonzero frequencies: those count exactly these symbols.
uint32_t UsedSymbolsOfBlock(const DeflateContext* context, uint16_t* used, uint32_t* distances) {
  uint64_t literalSet[(ValidLiteralLengthSymbols + 63) / 64] = {};
  uint32_t distanceSet = 0;
  literalSet[EndOfBlock / 64] |= uint64_t{1} << (EndOfBlock % 64);
  const SymbolEntry* symbols = context->symbols;
  for (uint32_t i = 0; i < context->symbolCount; ++i) {
    uint32_t symbol = symbols[i].literalOrLength;
    if (symbols[i].distance != 0) {
      symbol += EndOfBlock + 1;
      distanceSet |= 1u << symbols[i].distanceCode;
    }
    literalSet[symbol / 64] |= uint64_t{1} << (symbol % 64);
  }
  uint32_t k = 0;
  for (uint32_t w = 0; w < sizeof(literalSet) / sizeof(literalSet[0]); ++w) {
    for (uint64_t bits = literalSet[w]; bits != 0; bits &= bits - 1) {
      used[k++] = static_cast<uint16_t>(w * 64 + LowestBit(bits));
    }
  }
  uint32_t d = 0;
  for (uint32_t bits = distanceSet; bits != 0; bits &= bits - 1) {
    used[k + d++] = static_cast<uint16_t>(LowestBit(bits));
  }
  *distances = d;
  return k;
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing a block

void DeflatePrepareBlock(DeflateContext* context) {
  HuffmanWorkArea* area = context->treeArea;

  uint32_t storedCost = context->blockBytes + 4;
  // A stored block is copied from the window, which keeps only 8192 - 260
  // bytes behind the lookahead; symbols carried to the next block lie
  // between the two. A block whose bytes may already be overwritten is
  // written with codes instead.
  uint32_t carried = context->carriedEnd != 0 ? context->carriedBytes : 0;
  const bool storedTooLong = context->blockBytes + carried > StoredBlockLimit;

  // The symbols in use of both tables and the codes sent: up to the last
  // used one, at least up to end-of-block.
  uint16_t* used = area->usedSymbols;
  uint32_t literalsUsed, distancesUsed, literalsSent, distancesSent;
  if (context->symbolCount < FewSymbols) {
    literalsUsed = UsedSymbolsOfBlock(context, used, &distancesUsed);
    literalsSent = used[literalsUsed - 1] + 1u;
    distancesSent = distancesUsed > 0 ? used[literalsUsed + distancesUsed - 1] + 1u : 0;
  } else {
    literalsSent = ValidLiteralLengthSymbols;
    while (literalsSent > EndOfBlock + 1 && area->literalFrequencies[literalsSent - 1] == 0) {
      --literalsSent;
    }
    distancesSent = ValidDistanceSymbols;
    while (distancesSent > 0 && area->distanceFrequencies[distancesSent - 1] == 0) {
      --distancesSent;
    }
    literalsUsed = UsedSymbols(area->literalFrequencies, literalsSent, used);
    distancesUsed = UsedSymbols(area->distanceFrequencies, distancesSent, used + literalsUsed);
  }
  const uint32_t fixedCost = DataCost(FixedLiteralCodes.entries, FixedDistanceCodes.entries, area,
                                      used, literalsUsed, distancesUsed, 0);
  // When the dynamic block provably costs no less than the cheaper of the
  // other two, it loses (ties go to them): skip building its codes. The
  // cheap bound first; the optimal code's cost, which takes a sort, only
  // for a small block or when even the fixed codes do not beat storing
  // (data that hardly compresses, where the dynamic codes rarely win).
  // (Stored is the cheaper one only where it may be written.)
  const uint32_t rival = storedCost <= fixedCost && !storedTooLong ? storedCost : fixedCost;
  const uint8_t typeWithoutDynamic = storedCost > fixedCost || storedTooLong ? 1 : 0;
  uint32_t bound = 0;
  {
    uint32_t* scratch = nullptr;
    const int passes = storedCost <= fixedCost || context->symbolCount < FewSymbols ? 2 : 1;
    for (int pass = 0; pass < passes && bound < rival; ++pass) {
      bound = DynamicCostAtLeast(area, used, literalsUsed, literalsSent, distancesUsed,
                                 distancesSent, scratch);
      scratch = area->keys;
    }
  }
#ifdef NDEBUG
  if (bound >= rival) {
    context->blockType = typeWithoutDynamic;
    context->literalCodes = FixedLiteralCodes.entries;
    context->distanceCodes = FixedDistanceCodes.entries;
    return;
  }
#endif
  // (Debug builds take the long way every time and check the bound below.)

  std::memset(area->codes, 0, sizeof(area->codes));
  BuildUsedCodeLengths(area->codes, area->literalFrequencies, area, used, literalsUsed,
                       MaxCodeBits);
  BuildUsedCodeLengths(area->codes + literalsSent, area->distanceFrequencies, area,
                       used + literalsUsed, distancesUsed, MaxCodeBits);
  // One sequence of used symbols over both tables, for the run-length coder.
  for (uint32_t u = literalsUsed; u < literalsUsed + distancesUsed; ++u) {
    used[u] = static_cast<uint16_t>(used[u] + literalsSent);
  }
  // The code-length symbols are counted in the literal frequencies below:
  // the data cost comes first.
  const uint32_t dynamicDataCost = DataCost(area->codes, area->codes + literalsSent, area, used,
                                            literalsUsed, distancesUsed, literalsSent);
  if (distancesSent == 0) distancesSent = 1;  // one unused distance code of length 0

  uint32_t entries = EncodeLengths(area->lengths, area->codes, literalsSent + distancesSent, used,
                                   literalsUsed + distancesUsed);
  // The literal codes are built: their first 19 counters now count the
  // code-length symbols.
  uint16_t* lengthFrequencies = area->literalFrequencies;
  for (uint32_t s = 0; s < CodeLengthCodes; ++s) lengthFrequencies[s] = 0;
  uint32_t highestSymbol = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t symbol = area->lengths[i].symbol;
    ++lengthFrequencies[symbol];
    if (symbol + 1 > highestSymbol) highestSymbol = symbol + 1;
  }
  uint32_t lengthCodesSent = CodeLengthCodes;
  while (lengthCodesSent > 4 && lengthFrequencies[CodeLengthOrder[lengthCodesSent - 1]] == 0) {
    --lengthCodesSent;
  }
  CodeEntry* lengthCodes = area->codes + literalsSent + distancesSent;
  BuildCodeLengths(lengthCodes, lengthFrequencies, area, highestSymbol, MaxCodeLengthCodeBits);

  uint32_t dynamicCost =
      dynamicDataCost + HeaderCost(area->lengths, entries, lengthCodes, lengthCodesSent);

  // Cheapest wins; ties go to the fixed codes over the dynamic ones, and to
  // stored over either.
  uint8_t type;
  if (fixedCost > dynamicCost) {
    type = storedCost > dynamicCost ? 2 : 0;
  } else {
    type = storedCost > fixedCost ? 1 : 0;
  }
  if (type == 0 && storedTooLong) {
    type = fixedCost > dynamicCost ? 2 : 1;
  }
  assert(bound <= dynamicCost);
  assert(bound < rival || type == typeWithoutDynamic);
  (void)typeWithoutDynamic;

  context->blockType = type;
  context->literalCodesSent = literalsSent;
  context->distanceCodesSent = distancesSent;
  context->lengthCodesSent = lengthCodesSent;
  context->lengthEntries = entries;
  context->literalCodes = area->codes;
  context->distanceCodes = area->codes + literalsSent;
  context->lengthCodes = lengthCodes;
  if (type == 1) {
    context->literalCodes = FixedLiteralCodes.entries;
    context->distanceCodes = FixedDistanceCodes.entries;
  }
}

#define PUT_BITS_OR_SUSPEND(point, value, n) \
  if (PutBits(writer, (value), (n)) != 0) return (point)

uint32_t DeflateWriteBlock(DeflateContext* context, uint32_t point) {
  BitWriter* writer = &context->bits;
  HuffmanWorkArea* area = context->treeArea;
  const SymbolEntry* symbolsEnd = context->symbols + context->symbolCount;
  const CodeEntry* literals = context->literalCodes;
  const CodeEntry* distances = context->distanceCodes;
  for (;;) {
    switch (point) {
      case WriteHeader:
        // The block is the last one when nothing else waits to be encoded.
        PUT_BITS_OR_SUSPEND(WriteHeader, context->blockType * 2u + (context->pending == 0), 3);
        context->symbolCursor = context->symbols;
        context->matchBytesCursor = context->matchBytes;
        if (context->blockType == 0) {
          context->emitCount = context->blockBytes;
          context->storedCursor = context->storedStart;
          point = WriteStoredLength;
        } else {
          point = context->blockType == 1 ? NextSymbol : WriteDynamicCounts;
        }
        break;

      case WriteStoredLength: {
        uint32_t length = context->blockBytes & 0xFFFF;
        uint8_t lengths[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)};
        if (BitWriterPutBytes(writer, lengths, 4) != 0) return WriteStoredLength;
        point = WriteStoredData;
        break;
      }

      case WriteStoredData:
        while (context->emitCount > 0) {
          if (context->storedCursor == context->windowEnd) {
            context->storedCursor = context->window;
          }
          uint32_t piece = context->emitCount;
          uint32_t toWindowEnd = static_cast<uint32_t>(context->windowEnd - context->storedCursor);
          if (piece > toWindowEnd) piece = toWindowEnd;
          // Fill what is left of this buffer; a piece that cannot fit at all
          // is retried in the next buffer.
          size_t padding = (writer->bitCount + 7) >> 3;
          uint8_t* after = writer->current + padding;
          uint32_t room = after < writer->end ? static_cast<uint32_t>(writer->end - after)
                                              : static_cast<uint32_t>(writer->end - writer->start);
          if (piece > room) piece = room;
          if (BitWriterPutBytes(writer, context->storedCursor, piece) != 0) {
            return WriteStoredData;
          }
          context->storedCursor += piece;
          context->emitCount -= piece;
        }
        return 0;

      case WriteDynamicCounts:
        PUT_BITS_OR_SUSPEND(WriteDynamicCounts,
                            (context->literalCodesSent - 257) +
                                (context->distanceCodesSent - 1) * 32 +
                                (context->lengthCodesSent - 4) * 1024,
                            14);
        context->emitIndex = 0;
        point = WriteCodeLengthCode;
        break;

      case WriteCodeLengthCode:
        while (context->emitIndex < context->lengthCodesSent) {
          PUT_BITS_OR_SUSPEND(WriteCodeLengthCode,
                              context->lengthCodes[CodeLengthOrder[context->emitIndex]].length, 3);
          ++context->emitIndex;
        }
        context->lengthCursor = area->lengths;
        point = WriteLengthEntry;
        break;

      case WriteLengthEntry: {
        // The entries in a run of fast writes (an entry without extra bits
        // has extra value 0), then, near the end of the buffer, one write
        // at a time, each resumable.
        const LengthEntry* entriesEnd = area->lengths + context->lengthEntries;
        LengthEntry* cursor = context->lengthCursor;
        FastBits fast(writer);
        if (fast.Room()) fast.Flush();
        while (cursor != entriesEnd && fast.Room()) {
          const CodeEntry& code = context->lengthCodes[cursor->symbol];
          fast.Put(code.code, code.length);
          fast.Put(cursor->extraValue, cursor->extraBits);
          fast.Flush();
          ++cursor;
        }
        fast.Done(writer);
        context->lengthCursor = cursor;
        if (cursor == entriesEnd) {
          point = NextSymbol;
          break;
        }
        const CodeEntry& code = context->lengthCodes[cursor->symbol];
        PUT_BITS_OR_SUSPEND(WriteLengthEntry, code.code, code.length);
        point = WriteLengthExtra;
        break;
      }

      case WriteLengthExtra:
        if (context->lengthCursor->extraBits != 0) {
          PUT_BITS_OR_SUSPEND(WriteLengthExtra, context->lengthCursor->extraValue,
                              context->lengthCursor->extraBits);
        }
        ++context->lengthCursor;
        point = WriteLengthEntry;
        break;

      case NextSymbol: {
        // Fast path: with two words of room, no write of one symbol (at most
        // 48 bits) can find the output full.
        SymbolEntry* cursor = context->symbolCursor;
        MatchBytesEntry* bytes = context->matchBytesCursor;
        FastBits fast(writer);
        auto put = [&](uint32_t value, uint32_t n) { fast.Put(value, n); };
        if (fast.Room()) fast.Flush();
        while (cursor != symbolsEnd && fast.Room()) {
          if (cursor->distance == 0) {
            const CodeEntry& c = literals[cursor->literalOrLength];
            put(c.code, c.length);
          } else {
            uint32_t lengthCode = cursor->literalOrLength;
            uint32_t distanceCode = cursor->distanceCode;
            const CodeEntry& lc = literals[EndOfBlock + 1 + lengthCode];
            const CodeEntry& dc = distances[distanceCode];
            uint32_t lengthExtra = LengthCodes[lengthCode].extraBits;
            uint32_t distanceExtra = DistanceCodes[distanceCode].extraBits;
            bool asLiterals = false;
            if (bytes->lengthLess3 == 0) {
              const CodeEntry& b0 = literals[bytes->firstBytes[0]];
              const CodeEntry& b1 = literals[bytes->firstBytes[1]];
              const CodeEntry& b2 = literals[bytes->firstBytes[2]];
              asLiterals = b0.length != 0 && b1.length != 0 && b2.length != 0 &&
                           uint32_t{b0.length} + b1.length + b2.length <=
                               lc.length + lengthExtra + dc.length + distanceExtra;
              if (asLiterals) {
                put(b0.code, b0.length);
                put(b1.code, b1.length);
                put(b2.code, b2.length);
              }
            }
            if (!asLiterals) {
              // Without extra bits, a length or distance is its code's base:
              // the field is then 0 bits of value 0, put without a test.
              put(lc.code, lc.length);
              put(bytes->lengthLess3 + 3u - LengthCodes[lengthCode].base, lengthExtra);
              put(dc.code, dc.length);
              put(cursor->distance - DistanceCodes[distanceCode].base, distanceExtra);
            }
          }
          fast.Flush();
          ++cursor;
          ++bytes;
        }
        fast.Done(writer);
        context->symbolCursor = cursor;
        context->matchBytesCursor = bytes;
        if (cursor == symbolsEnd) {
          point = WriteEndOfBlock;
          break;
        }
        // Near the end of the buffer: one write at a time, each resumable.
        if (cursor->distance == 0) {
          point = WriteLiteral;
          break;
        }
        uint32_t lengthCode = cursor->literalOrLength;
        uint32_t distanceCode = cursor->distanceCode;
        context->emitLiteral = &literals[EndOfBlock + 1 + lengthCode];
        context->emitDistance = &distances[distanceCode];
        context->emitLengthBase = lengthCode;
        context->emitDistanceBase = distanceCode;
        point = WriteLengthCode;
        if (bytes->lengthLess3 == 0) {
          uint32_t matchBits = context->emitLiteral->length + LengthCodes[lengthCode].extraBits +
                               context->emitDistance->length +
                               DistanceCodes[distanceCode].extraBits;
          uint32_t literalBits = 0;
          bool allCoded = true;
          for (int k = 0; k < 3; ++k) {
            uint8_t length = literals[bytes->firstBytes[k]].length;
            context->tripleLengths[k] = length;
            allCoded = allCoded && length != 0;
            literalBits += length;
          }
          if (allCoded && literalBits <= matchBits) point = WriteTriple1;
        }
        break;
      }

      case WriteTriple1:
      case WriteTriple2:
      case WriteTriple3: {
        const CodeEntry& c = literals[context->matchBytesCursor->firstBytes[point - WriteTriple1]];
        PUT_BITS_OR_SUSPEND(point, c.code, c.length);
        if (point == WriteTriple3) {
          ++context->symbolCursor;
          ++context->matchBytesCursor;
          point = NextSymbol;
        } else {
          ++point;
        }
        break;
      }

      case WriteLengthCode:
        PUT_BITS_OR_SUSPEND(WriteLengthCode, context->emitLiteral->code,
                            context->emitLiteral->length);
        point = WriteLengthBits;
        break;

      case WriteLengthBits: {
        const CodeBase& base = LengthCodes[context->emitLengthBase];
        if (base.extraBits != 0) {
          PUT_BITS_OR_SUSPEND(WriteLengthBits,
                              context->matchBytesCursor->lengthLess3 + 3u - base.base,
                              base.extraBits);
        }
        point = WriteDistanceCode;
        break;
      }

      case WriteDistanceCode:
        PUT_BITS_OR_SUSPEND(WriteDistanceCode, context->emitDistance->code,
                            context->emitDistance->length);
        point = WriteDistanceBits;
        break;

      case WriteDistanceBits: {
        const CodeBase& base = DistanceCodes[context->emitDistanceBase];
        if (base.extraBits != 0) {
          PUT_BITS_OR_SUSPEND(WriteDistanceBits, context->symbolCursor->distance - base.base,
                              base.extraBits);
        }
        ++context->symbolCursor;
        ++context->matchBytesCursor;
        point = NextSymbol;
        break;
      }

      case WriteLiteral: {
        const CodeEntry& c = literals[context->symbolCursor->literalOrLength];
        PUT_BITS_OR_SUSPEND(WriteLiteral, c.code, c.length);
        ++context->symbolCursor;
        ++context->matchBytesCursor;
        point = NextSymbol;
        break;
      }

      case WriteEndOfBlock: {
        const CodeEntry& c = literals[EndOfBlock];
        PUT_BITS_OR_SUSPEND(WriteEndOfBlock, c.code, c.length);
        return 0;
      }

      default:
        // Not a writer state: nothing sensible to continue.
        return 0;
    }
  }
}

#undef PUT_BITS_OR_SUSPEND

}  // namespace varnfile
