#include "codec/inflate.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "base/memory.h"

namespace varnfile {

namespace {

// ---------------------------------------------------------------------------
// Bit reader
//
// While a call runs, the reader lives in locals: `buffer` holds the
// unconsumed bits with the next one in bit 0 and nothing above `count`.
// Outside the fast loop count stays below 32, and the cursor has advanced in
// whole 32-bit words from the input start: a word is loaded only when an
// operation needs more bits than the buffer holds. The bytes reported as
// consumed (the cursor) therefore depend only on the bits consumed, which
// keeps resumed and one-shot decoding in step. The fast loop loads a word
// ahead and gives the unused whole words back before it leaves.
//
// Loads read 32 bits at the cursor while the cursor is before the end, so
// they may read up to 3 bytes past the end of the input; the caller
// guarantees those bytes are readable.
// ---------------------------------------------------------------------------

constexpr uint32_t InputWordBytes = 4;
constexpr uint32_t InputSlackBytes = InputWordBytes - 1;
static_assert(InputSlackBytes == 3, "callers leave 3 readable bytes past the input");

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t LowBits(uint32_t n) { return (uint64_t{1} << n) - 1; }

struct Bits {
  const uint8_t* start;
  const uint8_t* next;
  const uint8_t* end;
  uint64_t buffer;
  uint32_t count;
  bool final;  // the input is the whole rest of the stream
};

// The next n bits (n <= 14), or false with nothing consumed.
inline bool GetBits(Bits& b, uint32_t n, uint32_t* value) {
  if (b.count < n) {
    if (b.next >= b.end) return false;
    b.buffer |= static_cast<uint64_t>(Load32(b.next)) << b.count;
    b.next += InputWordBytes;
    b.count += 32;
  }
  *value = static_cast<uint32_t>(b.buffer & LowBits(n));
  b.buffer >>= n;
  b.count -= n;
  return true;
}

// Drops n bits that Decode made visible (n <= 15). Bits that were never
// there (the zero bits at the end of a final input) empty the buffer.
inline void Consume(Bits& b, uint32_t n) {
  if (n <= b.count) {
    b.buffer >>= n;
    b.count -= n;
  } else if (b.next < b.end) {
    uint32_t excess = n - b.count;
    b.buffer = Load32(b.next) >> excess;
    b.next += InputWordBytes;
    b.count = 32 - excess;
  } else {
    b.buffer = 0;
    b.count = 0;
  }
}

// The table entry of the next code, with its bits consumed. The lookup
// sees the buffered bits and, behind them, the next input bytes; false,
// with nothing consumed, when the code is longer than what is there. At the
// end of the whole stream's input the missing bits read as 0 instead (if
// any bit is left at all).
inline bool Decode(Bits& b, const uint32_t* table, uint32_t tableBits, uint32_t* entryOut) {
  uint64_t v = b.buffer;
  uint32_t have = b.count;
  for (const uint8_t* p = b.next; have < MaxCodeBits && p < b.end; ++p) {
    v |= static_cast<uint64_t>(*p) << have;
    have += 8;
  }
  uint32_t entry = table[v & LowBits(tableBits)];
  if (entry & EntrySubtable) {
    entry = table[EntryValue(entry) + ((v >> tableBits) & LowBits(EntryExtraBits(entry)))];
  }
  const uint32_t n = EntryBits(entry);
  if (n > have && !(b.final && have > 0)) return false;
  Consume(b, n);
  *entryOut = entry;
  return true;
}

// Stored blocks: drops the bits up to the next byte boundary and copies n
// whole bytes to dest, first from the buffer, then straight from the input.
// Then loads 1 to 3 bytes so that the cursor is again a whole number of
// words from the input start. False, with nothing consumed, when the input
// does not hold n more bytes.
inline bool ReadBytes(Bits& b, uint32_t n, uint8_t* dest) {
  uint32_t buffered = b.count / 8;
  ptrdiff_t available = static_cast<ptrdiff_t>(buffered) + (b.end - b.next);
  if (available < static_cast<ptrdiff_t>(n)) return false;
  uint32_t partial = b.count % 8;
  b.buffer >>= partial;
  b.count -= partial;
  uint32_t fromBuffer = n < buffered ? n : buffered;
  for (uint32_t i = 0; i < fromBuffer; ++i) {
    dest[i] = static_cast<uint8_t>(b.buffer);
    b.buffer >>= 8;
    b.count -= 8;
  }
  uint32_t fromInput = n - fromBuffer;
  if (fromInput != 0) {
    std::memcpy(dest + fromBuffer, b.next, fromInput);
    b.next += fromInput;
    uint32_t misaligned = static_cast<uint32_t>(b.next - b.start) % InputWordBytes;
    if (misaligned != 0) {
      // The buffer is empty here: every buffered byte went first.
      for (uint32_t i = misaligned; i < InputWordBytes; ++i) {
        b.buffer |= static_cast<uint64_t>(*b.next++) << b.count;
        b.count += 8;
      }
    }
  }
  return true;
}

// Gives back the whole words the fast loop loaded ahead of need.
inline void GiveBackWords(Bits& b) {
  while (b.count >= 32) {
    b.next -= InputWordBytes;
    b.count -= 32;
  }
  b.buffer &= LowBits(b.count);
}

// ---------------------------------------------------------------------------
// Tables and window
// ---------------------------------------------------------------------------

// The tables of the block being decoded: the shared fixed-code tables, or
// those its dynamic header built.
inline const uint32_t* LiteralTable(const InflateContext* context) {
  return (context->blockHeader >> 1) == BlockFixed ? FixedLiteralTable()
                                                   : context->tables->literalTable;
}
inline const uint32_t* DistanceTable(const InflateContext* context) {
  return (context->blockHeader >> 1) == BlockFixed ? FixedDistanceTable()
                                                   : context->tables->distanceTable;
}

// Brings the window up to date with n bytes just written to the output.
void AppendToWindow(InflateContext* context, const uint8_t* bytes, size_t n) {
  size_t position = static_cast<size_t>(context->windowCursor - context->window);
  if (n > WindowSize) {
    position = (position + (n - WindowSize)) % WindowSize;
    bytes += n - WindowSize;
    n = WindowSize;
  }
  size_t first = WindowSize - position;
  if (first > n) first = n;
  std::memcpy(context->window + position, bytes, first);
  std::memcpy(context->window, bytes + first, n - first);
  position = (position + n) % WindowSize;
  context->windowCursor = context->window + position;
}

// Copies a back-reference of `length` bytes from `distance` back inside the
// output (out - distance >= the output start), byte for byte in effect: a
// distance shorter than the length repeats the last `distance` bytes.
// Never writes past out + length.
inline void CopyMatch(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* src = out - distance;
  if (distance >= 8 && length >= 8) {
    // 8-byte pieces read only bytes already final; the last piece ends
    // exactly at out + length (it may redo a few bytes, with equal values).
    uint8_t* end = out + length;
    while (out + 8 < end) {
      uint64_t piece;
      std::memcpy(&piece, src, 8);
      std::memcpy(out, &piece, 8);
      out += 8;
      src += 8;
    }
    uint64_t piece;
    std::memcpy(&piece, end - 8 - distance, 8);
    std::memcpy(end - 8, &piece, 8);
    return;
  }
  if (distance >= length && length >= 4) {
    // Short and not overlapping: two 4-byte pieces that may overlap.
    uint32_t head;
    uint32_t tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + length - 4, 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + length - 4, &tail, 4);
    return;
  }
  if (distance == 1) {
    std::memset(out, *src, length);
    return;
  }
  for (uint32_t i = 0; i < length; ++i) out[i] = src[i];
}

enum class HeaderResult { Done, NeedInput, Invalid };

// Reads (or goes on reading) a dynamic block header and builds its tables.
HeaderResult ReadDynamicHeader(InflateContext* context, Bits& b) {
  DynamicHeaderProgress& h = context->header;
  TableArea* area = context->tables;
  uint32_t value;
  for (;;) {
    switch (h.step) {
      case DynamicStart:
        context->fixedTablesBuilt = 0;
        h.step = DynamicCounts;
        [[fallthrough]];

      case DynamicCounts:
        if (!GetBits(b, DynamicHeaderBits, &value)) return HeaderResult::NeedInput;
        h.hlit = (value & 31) + MinLiteralLengthCodes;
        h.hdist = ((value >> 5) & 31) + MinDistanceCodes;
        h.hclen = (value >> 10) + MinCodeLengthCodes;
        h.total = h.hlit + h.hdist;
        std::memset(area->codeLengthLengths, 0, sizeof area->codeLengthLengths);
        h.lengthsRead = 0;
        h.step = DynamicCodeLengths;
        [[fallthrough]];

      case DynamicCodeLengths:
        while (h.lengthsRead < h.hclen) {
          if (!GetBits(b, CodeLengthCodeBits, &value)) return HeaderResult::NeedInput;
          area->codeLengthLengths[CodeLengthOrder[h.lengthsRead]] = static_cast<uint8_t>(value);
          ++h.lengthsRead;
        }
        if (BuildHuffmanTable(area->codeLengthLengths, CodeLengthCodes, area->codeLengthTable,
                              TableKind::CodeLength, area->scratch) != 0) {
          return HeaderResult::Invalid;
        }
        // Runs of zeros only move on.
        std::memset(area->lengths, 0, h.total);
        h.lastLength = 0;
        h.lengthsRead = 0;
        h.step = DynamicLengthCode;
        [[fallthrough]];

      case DynamicLengthCode:
        // While whole words of input remain, every code with its extra bits
        // (at most 8 + 7 bits) comes from a buffer refilled once per code.
        // The words loaded ahead are given back before the exact path below
        // takes over, so both leave the reader in the same place.
        if (b.end - b.next >= static_cast<ptrdiff_t>(InputWordBytes)) {
          const uint32_t total = h.total;
          uint8_t* const lengths = area->lengths;
          uint32_t read = h.lengthsRead;
          uint32_t last = h.lastLength;
          bool invalid = false;
          while (read < total && b.end - b.next >= static_cast<ptrdiff_t>(InputWordBytes)) {
            if (b.count < 32) {
              b.buffer |= static_cast<uint64_t>(Load32(b.next)) << b.count;
              b.next += InputWordBytes;
              b.count += 32;
            }
            uint32_t entry = area->codeLengthTable[b.buffer & LowBits(CodeLengthTableBits)];
            uint32_t symbol = EntryValue(entry);
            uint32_t n = EntryBits(entry);
            b.buffer >>= n;
            b.count -= n;
            if (symbol < RepeatPrevious) {
              last = symbol;
              lengths[read++] = static_cast<uint8_t>(symbol);
              continue;
            }
            uint32_t code = symbol - RepeatPrevious;
            uint32_t extra = static_cast<uint32_t>(b.buffer & LowBits(RepeatExtraBits[code]));
            b.buffer >>= RepeatExtraBits[code];
            b.count -= RepeatExtraBits[code];
            uint32_t repeat = RepeatBase[code] + extra;
            if (repeat > total - read) {
              invalid = true;
              break;
            }
            if (code != 0) last = 0;
            if (last != 0) std::memset(lengths + read, static_cast<int>(last), repeat);
            read += repeat;
          }
          h.lengthsRead = read;
          h.lastLength = last;
          GiveBackWords(b);
          if (invalid) return HeaderResult::Invalid;
        }
        while (h.lengthsRead < h.total) {
          uint32_t entry;
          if (!Decode(b, area->codeLengthTable, CodeLengthTableBits, &entry)) {
            return HeaderResult::NeedInput;
          }
          uint32_t symbol = EntryValue(entry);
          if (symbol < RepeatPrevious) {
            area->lengths[h.lengthsRead++] = static_cast<uint8_t>(symbol);
            h.lastLength = symbol;
            continue;
          }
          h.repeatCode = symbol - RepeatPrevious;
          h.step = DynamicRepeatExtra;
          break;
        }
        if (h.step == DynamicLengthCode) break;  // all lengths read
        [[fallthrough]];

      case DynamicRepeatExtra: {
        if (!GetBits(b, RepeatExtraBits[h.repeatCode], &value)) return HeaderResult::NeedInput;
        uint32_t repeat = RepeatBase[h.repeatCode] + value;
        if (repeat > h.total - h.lengthsRead) return HeaderResult::Invalid;
        if (h.repeatCode != 0) h.lastLength = 0;
        // Code 16 repeats the last length, 0 before any length was read.
        if (h.lastLength != 0) {
          std::memset(area->lengths + h.lengthsRead, static_cast<int>(h.lastLength), repeat);
        }
        h.lengthsRead += repeat;
        h.step = DynamicLengthCode;
        continue;
      }

      default:
        assert(false && "dynamic header step out of range");
        return HeaderResult::Invalid;
    }
    break;  // every code length is read
  }
  if (BuildHuffmanTable(area->lengths, h.hlit, area->literalTable, TableKind::LiteralLength,
                        area->scratch) != 0 ||
      BuildHuffmanTable(area->lengths + h.hlit, h.hdist, area->distanceTable, TableKind::Distance,
                        area->scratch) != 0) {
    return HeaderResult::Invalid;
  }
  return HeaderResult::Done;
}

// ---------------------------------------------------------------------------
// Fast loop
// ---------------------------------------------------------------------------

enum class FastExit { Room, EndOfBlock, Invalid };

// Input bytes one round of the fast loop may load: a word before the first
// code, one before a length code that follows literals, and one before its
// distance code.
constexpr ptrdiff_t FastInputBytes = 3 * InputWordBytes;

// Decodes whole symbols of a fixed or dynamic block straight into the
// output while FastInputBytes of input remain, so that no symbol can stop
// halfway for lack of input. A back-reference that would not fit the room
// left is given back undecoded: the step-by-step path then stops on it
// exactly where it must. The window is brought up to date once, when the
// loop ends, and the bit reader leaves with fewer than 32 bits buffered,
// exactly as the step-by-step path would leave it.
FastExit DecodeFast(InflateContext* context, Bits& b, uint8_t** outCursor, uint8_t* outEnd) {
  const uint32_t* const literalTable = LiteralTable(context);
  const uint32_t* const distanceTable = DistanceTable(context);
  const uint8_t* window = context->window;
  const size_t windowCursor = static_cast<size_t>(context->windowCursor - window);

  uint8_t* out = *outCursor;
  uint8_t* const fastStart = out;
  const uint8_t* in = b.next;
  uint64_t bits = b.buffer;
  uint32_t count = b.count;
  FastExit exit = FastExit::Room;

  // One or two lookups give the entry of the code at the bits (which hold
  // at least MaxCodeBits of them).
  auto lookup = [](const uint32_t* table, uint32_t tableBits, uint64_t at) {
    uint32_t entry = table[at & LowBits(tableBits)];
    if (entry & EntrySubtable) {
      entry = table[EntryValue(entry) + ((at >> tableBits) & LowBits(EntryExtraBits(entry)))];
    }
    return entry;
  };

  while (out < outEnd && b.end - in >= FastInputBytes) {
    if (count < 32) {
      bits |= static_cast<uint64_t>(Load32(in)) << count;
      in += InputWordBytes;
      count += 32;
    }
    uint32_t entry = lookup(literalTable, LiteralTableBits, bits);
    // Literals while the bits at hand hold a whole code and there is room.
    while (entry & EntryLiteral) {
      const uint32_t n = EntryBits(entry);
      bits >>= n;
      count -= n;
      *out++ = static_cast<uint8_t>(EntryValue(entry));
      if (count < MaxCodeBits || out == outEnd) break;
      entry = lookup(literalTable, LiteralTableBits, bits);
    }
    if (entry & EntryLiteral) continue;
    // The entry stands for the low bits, which a refill keeps as they are.
    if (count < 32) {
      bits |= static_cast<uint64_t>(Load32(in)) << count;
      in += InputWordBytes;
      count += 32;
    }
    // Where this symbol starts, in case it must be given back.
    const uint8_t* const symbolIn = in;
    const uint64_t symbolBits = bits;
    const uint32_t symbolCount = count;
    if (entry & (EntryEndOfBlock | EntryInvalid)) {
      bits >>= EntryBits(entry);
      count -= EntryBits(entry);
      exit = (entry & EntryInvalid) ? FastExit::Invalid : FastExit::EndOfBlock;
      break;
    }
    // A length: its code and extra bits take at most 20 of the 32 or more
    // bits at hand.
    bits >>= EntryBits(entry);
    count -= EntryBits(entry);
    uint32_t length = EntryValue(entry) + static_cast<uint32_t>(bits & LowBits(EntryExtraBits(entry)));
    bits >>= EntryExtraBits(entry);
    count -= EntryExtraBits(entry);

    if (count < 32) {
      bits |= static_cast<uint64_t>(Load32(in)) << count;
      in += InputWordBytes;
      count += 32;
    }
    entry = lookup(distanceTable, DistanceTableBits, bits);
    bits >>= EntryBits(entry);
    count -= EntryBits(entry);
    if (entry & EntryInvalid) {
      exit = FastExit::Invalid;
      break;
    }
    uint32_t distance = EntryValue(entry) + static_cast<uint32_t>(bits & LowBits(EntryExtraBits(entry)));
    bits >>= EntryExtraBits(entry);
    count -= EntryExtraBits(entry);
    if (distance > WindowSize) {
      exit = FastExit::Invalid;
      break;
    }

    if (length > static_cast<size_t>(outEnd - out)) {
      in = symbolIn;
      bits = symbolBits;
      count = symbolCount;
      break;
    }
  size_t produced = static_cast<size_t>(out - fastStart);
    if (distance <= produced) {
      CopyMatch(out, distance, length);
      out += length;
      continue;
    }
    // The source starts in the window, which still ends where this loop
    // began; the rest of the match (if any) comes from this loop's output.
    size_t back = distance - produced;
    size_t position = (windowCursor + WindowSize - back) % WindowSize;
    uint32_t fromWindow = back < length ? static_cast<uint32_t>(back) : length;
    uint32_t first = static_cast<uint32_t>(WindowSize - position);
    if (first > fromWindow) first = fromWindow;
    std::memcpy(out, window + position, first);
    std::memcpy(out + first, window, fromWindow - first);
    out += fromWindow;
    if (length > fromWindow) {
      CopyMatch(out, distance, length - fromWindow);
      out += length - fromWindow;
    }
  }

  b.next = in;
  b.buffer = bits;
  b.count = count;
  GiveBackWords(b);
  AppendToWindow(context, fastStart, static_cast<size_t>(out - fastStart));
  *outCursor = out;
  return exit;
}

// Internal steps of the decoding loop that are never left in the context.
constexpr uint32_t StepCopy = 102;           // start the next back-reference step
constexpr uint32_t StepBlockEnd = 103;

}  // namespace

uint32_t InflateContextSize() { return sizeof(InflateContext); }

uint32_t InflateInit(InflateContext* context, uint32_t resetOnly) {
  uint8_t* window = nullptr;
  TableArea* tables = nullptr;
  if (resetOnly) {
    window = context->window;
    tables = context->tables;
  } else {
    // Zeroed once so that a stream reaching back before its start reads
    // defined bytes; later resets keep whatever the window holds.
    window = static_cast<uint8_t*>(MemAllocZero(WindowSize));
    tables = static_cast<TableArea*>(MemAllocZero(sizeof(TableArea)));
    if (window == nullptr || tables == nullptr) {
      MemFree(window);
      MemFree(tables);
      std::memset(context, 0, sizeof *context);
      return 1;
    }
  }
  std::memset(context, 0, sizeof *context);
  context->window = window;
  context->windowEnd = window + WindowSize;
  context->tables = tables;
  context->windowCursor = window;
  context->bitReader.usedBits = 32;
  return 0;
}

uint32_t InflateSaveCarried(const InflateContext* context, uint8_t* out) {
  // Between streams (or after one stopped on invalid data) nothing in the
  // tables is needed again except the fixed code, which is rebuilt.
  if (context->state != InflateBetweenBlocks && context->state != InflateStopped) return 0;
  std::memcpy(out, context, sizeof *context);
  std::memcpy(out + sizeof *context, context->window, WindowSize);
  return 1;
}

void InflateRestoreCarried(InflateContext* context, const uint8_t* in) {
  InflateContext saved;
  std::memcpy(&saved, in, sizeof saved);
  uint8_t* window = context->window;
  TableArea* tables = context->tables;
  *context = saved;
  context->window = window;
  context->windowEnd = window + WindowSize;
  context->tables = tables;
  // Cursors into the saved window become cursors into this one.
  auto offset = [&saved](const uint8_t* p) {
    return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(saved.window);
  };
  context->windowCursor = window + offset(saved.windowCursor);
  context->copySource = saved.copySource != nullptr ? window + offset(saved.copySource) : nullptr;
  // The table memory holds whatever this context decoded last.
  context->fixedTablesBuilt = 0;
  std::memcpy(window, in + sizeof saved, WindowSize);
}

void InflateClear(InflateContext* context) {
  std::memset(context->window, 0, WindowSize);
  std::memset(context->tables, 0, sizeof(TableArea));
  InflateInit(context, 1);
}

uint32_t InflateEnd(InflateContext* context) {
  MemFree(context->tables);
  MemFree(context->window);
  std::memset(context, 0, sizeof *context);
  return 0;
}

uint32_t Inflate(const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                 uint32_t* outputLength, InflateContext* context, uint32_t mode) {
  const uint32_t inputGiven = *inputLength;
  const uint32_t outputGiven = *outputLength;
  // A stored chunk never exceeds what this call could both read and write.
  const uint32_t chunkLimit = inputGiven < outputGiven ? inputGiven : outputGiven;

  BitReader& reader = context->bitReader;
  uint32_t state = context->state;
  if (state == InflateBetweenBlocks) {
    reader.bitBuffer = 0;
    reader.usedBits = 32;
  }
  Bits b;
  b.start = input;
  b.next = input;
  b.end = input + inputGiven;
  b.count = 32 - reader.usedBits;
  b.buffer = b.count != 0 ? reader.bitBuffer >> reader.usedBits : 0;
  b.final = mode != 0;

  uint8_t* out = output;
  uint8_t* const outEnd = output + outputGiven;
  uint32_t value;

  for (;;) {
    switch (state) {
      case InflateBetweenBlocks:
      case InflateStopped:
      case InflateBlockHeader:
        if (!GetBits(b, BlockHeaderBits, &value)) {
          state = InflateBlockHeader;
          goto leave;
        }
        context->blockHeader = value;
        switch (value >> 1) {
          case BlockStored:
            state = InflateStoredLength;
            break;
          case BlockFixed:
            BuildFixedTables(context);
            state = InflateLiteralCode;
            break;
          case BlockDynamic:
            context->header.step = DynamicStart;
            state = InflateDynamicHeader;
            break;
          default:
            state = InflateStopped;
            goto leave;
        }
        break;

      // ---- Stored block ---------------------------------------------------
      case InflateStoredLength: {
        uint8_t lengths[4];
        if (!ReadBytes(b, 4, lengths)) goto leave;
        uint32_t len = lengths[0] | static_cast<uint32_t>(lengths[1]) << 8;
        uint32_t nlen = lengths[2] | static_cast<uint32_t>(lengths[3]) << 8;
        if (nlen != (~len & 0xffffu)) {
          state = InflateStopped;
          goto leave;
        }
        context->length = len;
        state = InflateStoredInput;
      }
        [[fallthrough]];

      case InflateStoredInput: {
        if (context->length == 0) {
          state = StepBlockEnd;
          break;
        }
        uint32_t chunk = context->length;
        uint32_t room = static_cast<uint32_t>(context->windowEnd - context->windowCursor);
        if (chunk > room) chunk = room;
        if (chunk > chunkLimit) chunk = chunkLimit;
        if (chunk == 0) {
          state = InflateStopped;
          goto leave;
        }
        if (!ReadBytes(b, chunk, context->windowCursor)) goto leave;
        context->distance = chunk;
        state = InflateStoredOutput;
      }
        [[fallthrough]];

      case InflateStoredOutput: {
        uint32_t chunk = context->distance;
        if (static_cast<uint32_t>(outEnd - out) < chunk) goto leave;
        std::memcpy(out, context->windowCursor, chunk);
        out += chunk;
        context->windowCursor += chunk;
        if (context->windowCursor == context->windowEnd) context->windowCursor = context->window;
        context->length -= chunk;
        state = InflateStoredInput;
        break;
      }

      // ---- Dynamic block header ------------------------------------------
      case InflateDynamicHeader:
        switch (ReadDynamicHeader(context, b)) {
          case HeaderResult::Done:
            state = InflateLiteralCode;
            break;
          case HeaderResult::NeedInput:
            goto leave;
          case HeaderResult::Invalid:
            state = InflateStopped;
            goto leave;
        }
        break;

      // ---- Symbols of a fixed or dynamic block ---------------------------
      case InflateLiteralCode:
      case InflateLiteralTree: {
        state = InflateLiteralCode;
        if (out < outEnd && b.end - b.next >= FastInputBytes) {
          FastExit exit = DecodeFast(context, b, &out, outEnd);
          if (exit == FastExit::EndOfBlock) {
            state = StepBlockEnd;
            break;
          }
          if (exit == FastExit::Invalid) {
            state = InflateStopped;
            goto leave;
          }
        }
        uint32_t entry;
        if (!Decode(b, LiteralTable(context), LiteralTableBits, &entry)) goto leave;
        if (entry & EntryLiteral) {
          context->symbol = static_cast<int32_t>(EntryValue(entry));
          state = InflateLiteralOutput;
          break;
        }
        if (entry & EntryEndOfBlock) {
          state = StepBlockEnd;
          break;
        }
        if (entry & EntryInvalid) {
          state = InflateStopped;
          goto leave;
        }
        context->codeEntry = entry;
        state = InflateLengthExtra;
      }
        [[fallthrough]];

      case InflateLengthExtra:
        if (!GetBits(b, EntryExtraBits(context->codeEntry), &value)) goto leave;
        context->length = EntryValue(context->codeEntry) + value;
        state = InflateDistanceCode;
        [[fallthrough]];

      case InflateDistanceCode:
      case InflateDistanceTree: {
        uint32_t entry;
        if (!Decode(b, DistanceTable(context), DistanceTableBits, &entry)) {
          state = InflateDistanceCode;
          goto leave;
        }
        if (entry & EntryInvalid) {
          state = InflateStopped;
          goto leave;
        }
        context->codeEntry = entry;
        state = InflateDistanceExtra;
      }
        [[fallthrough]];

      case InflateDistanceExtra: {
        if (!GetBits(b, EntryExtraBits(context->codeEntry), &value)) goto leave;
        uint32_t distance = EntryValue(context->codeEntry) + value;
        if (distance > WindowSize) {
          state = InflateStopped;
          goto leave;
        }
        context->distance = distance;
        size_t target = static_cast<size_t>(context->windowCursor - context->window);
        context->copySource = context->window + (target + WindowSize - distance) % WindowSize;
        state = StepCopy;
      }
        [[fallthrough]];

      case StepCopy: {
        if (context->length == 0) {
          state = InflateLiteralCode;
          break;
        }
        // A step never crosses the window end, so it needs no wrap test.
        uint8_t* target = context->windowCursor;
        uint8_t* source = context->copySource;
        uint8_t* later = source > target ? source : target;
        uint32_t step = static_cast<uint32_t>(context->windowEnd - later);
        if (step > context->length) step = context->length;
        if (source > target || static_cast<uint32_t>(target - source) >= step) {
          std::memmove(target, source, step);
        } else {
          for (uint32_t i = 0; i < step; ++i) target[i] = source[i];
        }
        context->step = step;
        state = InflateCopyOutput;
      }
        [[fallthrough]];

      case InflateCopyOutput: {
        uint32_t step = context->step;
        if (static_cast<uint32_t>(outEnd - out) < step) goto leave;
        std::memcpy(out, context->windowCursor, step);
        out += step;
        context->windowCursor += step;
        if (context->windowCursor == context->windowEnd) context->windowCursor = context->window;
        context->copySource += step;
        if (context->copySource == context->windowEnd) context->copySource = context->window;
        context->length -= step;
        state = StepCopy;
        break;
      }

      case InflateLiteralOutput:
        if (out == outEnd) goto leave;
        *out++ = static_cast<uint8_t>(context->symbol);
        *context->windowCursor++ = static_cast<uint8_t>(context->symbol);
        if (context->windowCursor == context->windowEnd) context->windowCursor = context->window;
        state = InflateLiteralCode;
        break;

      case StepBlockEnd:
        if (context->blockHeader & 1) {
          state = InflateBetweenBlocks;  // the stream has finished
          goto leave;
        }
        state = InflateBlockHeader;
        break;

      default:
        assert(false && "inflate state out of range");
        state = InflateStopped;
        goto leave;
    }
  }

leave:
  // Every stop above leaves `state` at its resume point.
  assert(state <= InflateLiteralOutput);
  assert(b.count < 32);
  context->state = state;
  reader.inputStart = input;
  reader.cursor = b.next;
  reader.end = b.end;
  reader.usedBits = static_cast<uint8_t>(32 - b.count);
  reader.bitBuffer = b.count != 0 ? static_cast<uint32_t>(b.buffer << (32 - b.count)) : 0;
  reader.finalInput = b.final ? 1 : 0;
  context->output.start = output;
  context->output.cursor = out;
  context->output.end = outEnd;

  const bool finished = state == InflateBetweenBlocks || state == InflateStopped;
  ptrdiff_t consumed = b.next - input;
  // At the end of a stream the whole bytes still buffered belong to
  // whatever follows it.
  if (finished) consumed -= b.count / 8;
  if (consumed < 0) consumed = 0;
  if (consumed > static_cast<ptrdiff_t>(inputGiven)) consumed = inputGiven;
  *inputLength = static_cast<uint32_t>(consumed);
  const uint32_t written = static_cast<uint32_t>(out - output);
  *outputLength = written;

  uint32_t result = finished ? 1 : 0;
  if (mode != 0 && written == 0 && inputGiven == 0) result = 1;
  if (result == 1 && (mode & 1) != 0) InflateInit(context, 1);
  return result;
}

}  // namespace varnfile
