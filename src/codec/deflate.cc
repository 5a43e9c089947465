#include "codec/deflate.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "codec/deflate_match.h"
#include "codec/deflate_tables.h"
#include "base/memory.h"
#include "base/prefetch.h"

namespace varnfile {

const DeflateConfig DeflateConfigs[DeflateLevels] = {
    // maxChain, niceLength, goodChain, goodLength, lazyLimit
    {32, 258, 16, 11, 258},
    {512, 258, 32, 78, 258},
};

namespace {

// Resume points of the input side; the block writer's are 3..18.
constexpr uint32_t ResumeRefillMany = 1;  // waiting for the rest of a multi-byte refill
constexpr uint32_t ResumeRefillOne = 2;   // waiting for the byte of a single-byte refill
constexpr uint32_t ResumeWriteHeader = 3;

// Thresholds of the statistical block split: a block ends early when the
// concentration of its literal or distance statistics falls well below the
// peak it reached, i.e. the data has changed character.
constexpr int32_t ConcentrationFloor = 960;
constexpr int32_t DistanceFloorLowText = 480;
constexpr uint32_t LiteralCheckInterval = 64;

// Signed concentration of a frequency distribution: (S - N*N/k) / k with S
// the sum of squares, N the count and k the distinct symbols.
inline int32_t Concentration(uint32_t squares, uint32_t count, uint32_t distinct) {
  int32_t k = static_cast<int32_t>(distinct);
  if (k == 0) return 0;
  int32_t n = static_cast<int32_t>(count);
  return (static_cast<int32_t>(squares) - n * n / k) / k;
}

inline void CountLiteralSymbol(DeflateContext* c, uint32_t symbol) {
  uint32_t value = ++c->treeArea->literalFrequencies[symbol];
  c->literalDistinct += value == 1;  // no branch: a new symbol comes at random
  ++c->literalCount;
  c->literalSquares += 2 * value - 1;
}

inline void CountDistanceSymbol(DeflateContext* c, uint32_t code) {
  uint32_t value = ++c->treeArea->distanceFrequencies[code];
  c->distanceDistinct += value == 1;
  ++c->distanceCount;
  c->distanceSquares += 2 * value - 1;
}


// ---------------------------------------------------------------------------
// Input

// Copies n bytes between buffers that do not overlap. Most refills bring the
// few bytes of one match: overlapping pieces of 16, 8 or 4 bytes cover them
// without a library call and its own dispatch on the size.
inline void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t n) {
  if (n >= 16) {
    for (uint32_t i = 0; i + 16 < n; i += 16) std::memcpy(to + i, from + i, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// Brings refillRequest more bytes into the window, keeping the mirror of its
// first 257 bytes. Returns false when the call must stop for more input.
bool Refill(DeflateContext* c) {
  InputReader* in = &c->input;
  uint32_t request = c->refillRequest;
  c->refillState = static_cast<int32_t>(request);
  if (request == 1) {
    if (c->writePos == c->windowEnd) c->writePos = c->window;
    if (in->current < in->end) {
      uint8_t byte = *in->current++;
      uint32_t offset = Offset(c, c->writePos);
      c->writePos[0] = byte;
      if (offset < WindowMirror) c->windowEnd[offset] = byte;
      ++c->writePos;
      ++c->lookahead;
      c->refillRequest = 0;
      return true;
    }
    if (in->final) {
      c->refillState = 0;
      return true;
    }
    c->resumePoint = ResumeRefillOne;
    return false;
  }
  while (request > 0) {
    if (c->writePos == c->windowEnd) c->writePos = c->window;
    uint32_t offset = Offset(c, c->writePos);
    uint32_t want = WindowSize - offset + WindowMirror;
    if (want > request) want = request;
    uint32_t available = static_cast<uint32_t>(in->end - in->current);
    if (want > available && !(available > 0 && in->final)) {
      if (in->final) {
        c->refillState = 0;
        return true;
      }
      c->resumePoint = ResumeRefillMany;
      return false;
    }
    uint32_t n = want < available ? want : available;
    CopyBytes(c->writePos, in->current, n);
    in->current += n;
    if (offset + n <= WindowSize) {
      if (offset < WindowMirror) {
        uint32_t mirrored = WindowMirror - offset;
        std::memcpy(c->windowEnd + offset, c->writePos, mirrored < n ? mirrored : n);
      }
      c->writePos += n;
    } else {
      // Bytes past the window end landed in the mirror: they belong at the
      // window start.
      uint32_t over = offset + n - WindowSize;
      std::memcpy(c->window, c->windowEnd, over);
      c->writePos = c->window + over;
    }
    c->lookahead += n;
    request -= n;
    c->refillRequest = request;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Blocks

void StartBlock(DeflateContext* c) {
  HuffmanWorkArea* area = c->treeArea;
  std::memset(area->literalFrequencies, 0, sizeof(area->literalFrequencies));
  std::memset(area->distanceFrequencies, 0, sizeof(area->distanceFrequencies));
  area->literalFrequencies[EndOfBlock] = 1;
  c->literalCount = 1;
  c->literalDistinct = 1;
  c->literalSquares = 1;
  c->literalPeak = 1;
  c->lowBytes = 0;
  c->highBytes = 0;
  c->distanceCount = 0;
  c->distanceDistinct = 0;
  c->distanceSquares = 0;
  c->distancePeak = 0;
  c->distancePeakPosition = 0;
  c->literalPeakPosition = 0;
  if (c->carriedEnd != 0) {
    // The symbols after the split open this block.
    uint32_t carried = c->carriedEnd - c->symbolCount;
    std::memmove(c->symbols, c->symbols + c->symbolCount, carried * sizeof(SymbolEntry));
    std::memmove(c->matchBytes, c->matchBytes + c->symbolCount, carried * sizeof(MatchBytesEntry));
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < carried; ++i) {
      const SymbolEntry& s = c->symbols[i];
      if (s.distance == 0) {
        CountLiteralSymbol(c, s.literalOrLength);
        bytes += 1;
      } else {
        CountLiteralSymbol(c, EndOfBlock + 1 + s.literalOrLength);
        CountDistanceSymbol(c, s.distanceCode);
        bytes += c->matchBytes[i].lengthLess3 + 3u;
      }
    }
    c->carriedBytes = bytes;
    c->pending -= bytes;
    c->blockBytes = bytes;
    c->storedStart = c->window + ((Offset(c, c->scanPos) - bytes) & WindowMask);
    c->carriedEnd = 0;
    c->symbolCount = carried;
  } else {
    c->storedStart = c->scanPos;
    c->blockBytes = 0;
    c->symbolCount = 0;
  }
  c->pendingLength = -1;
  c->symbolCursor = c->symbols + c->symbolCount;
  c->matchBytesCursor = c->matchBytes + c->symbolCount;
}

// Ends the block at symbol `at`; the symbols after it are carried to the
// next block.
void Split(DeflateContext* c, uint32_t at) {
  HuffmanWorkArea* area = c->treeArea;
  uint32_t bytes = 0;
  for (uint32_t i = c->symbolCount; i > at; --i) {
    const SymbolEntry& s = c->symbols[i - 1];
    if (s.distance == 0) {
      --area->literalFrequencies[s.literalOrLength];
      bytes += 1;
    } else {
      --area->literalFrequencies[EndOfBlock + 1 + s.literalOrLength];
      --area->distanceFrequencies[s.distanceCode];
      --c->distanceCount;
      bytes += c->matchBytes[i - 1].lengthLess3 + 3u;
    }
  }
  c->literalCount -= c->symbolCount - at;
  c->pending += bytes;
  c->blockBytes -= bytes;
  c->carriedBytes = bytes;
  c->carriedEnd = c->symbolCount;
  c->symbolCount = at;
}

// Positions from scan count `from` on are not inserted (the stream ends).
inline void MarkUnkeyed(DeflateContext* c, uint32_t from) {
  if (c->unkeyed == 0) {
    c->unkeyed = 1;
    c->unkeyedStart = from;
  }
}

// Keys the positions a stream ended with, now that the bytes after them
// are in the window (lookahead >= 3 at scanPos). Runs before anything newer
// is inserted, so that `recent` keeps the newest insertion of each key.
void KeyTail(DeflateContext* c) {
  uint32_t behind = c->scanCount - c->unkeyedStart;
  const uint32_t reach = WindowSize - c->lookahead;
  if (behind > reach) behind = reach;
  const uint32_t position = Offset(c, c->scanPos);
  for (uint32_t back = behind; back > 0; --back) {
    const uint8_t* x = c->window + ((position - back) & WindowMask);
    c->recent[RecentKey(x)] = static_cast<uint16_t>(c->scanCount - back);
  }
  c->unkeyed = 0;
}

inline void Advance(DeflateContext* c, uint32_t bytes) {
  c->scanCount += bytes;
  c->pending -= bytes;
  c->lookahead -= bytes;
  c->blockBytes += bytes;
  c->windowFill += bytes;
  if (c->windowFill > WindowSize) c->windowFill = WindowSize;
  c->refillRequest = bytes;
  ++c->symbolCount;
  ++c->symbolCursor;
  ++c->matchBytesCursor;
}

DEFLATE_HOT_INLINE void RecordLiteral(DeflateContext* c, uint8_t* p) {
  SymbolEntry* s = c->symbolCursor;
  s->distance = 0;
  s->literalOrLength = p[0];
  s->distanceCode = 0;
  CountLiteralSymbol(c, p[0]);
  c->scanPos = p + 1 == c->windowEnd ? c->window : p + 1;
  Advance(c, 1);
}

// What ScanPlain finds in a span of window offsets.
struct PlainSpan {
  uint32_t runAt;     // the first offset whose three bytes are equal; the span's end if none
  uint32_t lowBytes;  // offsets up to runAt, it included, whose byte is below 0x80
};

struct BitCountTable {
  uint8_t count[256];
};

constexpr BitCountTable MakeBitCounts() {
  BitCountTable t{};
  for (uint32_t v = 1; v < 256; ++v) t.count[v] = static_cast<uint8_t>(t.count[v >> 1] + (v & 1));
  return t;
}

constexpr BitCountTable BitCounts = MakeBitCounts();

// The set bits of a 16-bit mask.
inline uint32_t CountBits16(uint32_t v) {
  return uint32_t{BitCounts.count[v & 0xFF]} + BitCounts.count[v >> 8];
}

// Scans the window offsets [a, b), b <= WindowSize, for a run start and the
// sample of low bytes, and puts the Hash16 of each offset before the run
// start at keys[offset - a]; sixteen at a time where the processor allows,
// when keys has room for 15 more. The three bytes of an offset below
// WindowSize lie within the window and its mirror, as do the sixteen-byte
// loads from any such offset (lanes past b are ignored).
inline PlainSpan ScanPlain(const uint8_t* window, uint32_t a, uint32_t b, uint16_t* keys) {
  uint32_t low = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (uint32_t k = a; k < b; k += 16) {
    const uint32_t lanes = b - k >= 16 ? 0xFFFFu : (1u << (b - k)) - 1;
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + k));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + k + 1));
    const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + k + 2));
    // Hash16 in sixteen-bit lanes: (b0 << 8 | b1) ^ (b2 << 4 | b0 >> 4).
    const __m128i pairLow = _mm_unpacklo_epi8(x1, x0);
    const __m128i pairHigh = _mm_unpackhi_epi8(x1, x0);
    const __m128i keyLow = _mm_xor_si128(
        pairLow, _mm_or_si128(_mm_slli_epi16(_mm_unpacklo_epi8(x2, zero), 4),
                              _mm_srli_epi16(pairLow, 12)));
    const __m128i keyHigh = _mm_xor_si128(
        pairHigh, _mm_or_si128(_mm_slli_epi16(_mm_unpackhi_epi8(x2, zero), 4),
                               _mm_srli_epi16(pairHigh, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + (k - a)), keyLow);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + (k - a) + 8), keyHigh);
    const uint32_t runs = static_cast<uint32_t>(_mm_movemask_epi8(
                              _mm_and_si128(_mm_cmpeq_epi8(x0, x1), _mm_cmpeq_epi8(x0, x2)))) &
                          lanes;
    const uint32_t lows = ~static_cast<uint32_t>(_mm_movemask_epi8(x0)) & lanes;
    if (runs != 0) {
      const uint32_t r = static_cast<uint32_t>(__builtin_ctz(runs));
      return {k + r, low + CountBits16(lows & ((2u << r) - 1))};
    }
    low += CountBits16(lows);
  }
#else
  for (uint32_t k = a; k < b; ++k) {
    const uint8_t* x = window + k;
    low += x[0] < 0x80;
    if (x[1] == x[0] && x[2] == x[0]) return {k, low};
    keys[k - a] = static_cast<uint16_t>(Hash16(x));
  }
#endif
  return {b, low};
}

// Inserts the positions after q (window offset) that the match of `length`
// at `position` covers, as long as three bytes of lookahead begin at them.
// A run that starts among them goes into its bucket as one link, possibly
// past the match's end, at most 256 positions per run start. With
// KeyRecent, `recent` learns the others (run positions hold three equal
// bytes, which no plain search looks for). Returns the offset from
// `position` of the first position not inserted.
template <bool KeyRecent>
DEFLATE_HOT_INLINE uint32_t InsertCovered(DeflateContext* c, uint32_t position, uint32_t q,
                                          uint32_t length) {
  const uint8_t* window = c->window;
  const uint32_t lookahead = c->lookahead;
  uint16_t* head = c->head;
  uint16_t* chain = c->chain;
  uint16_t* recent = c->recent;
  const uint32_t count = c->scanCount;  // of the match's first position
  // One position: its bucket's new head, linked to the old one unless it
  // already is the head (InsertPosition's update, without the displaced
  // value, which only a run's start needs). Returns the bucket.
  auto insert = [&](uint32_t j, uint32_t at, uint32_t hash16) {
    const uint32_t hash = Bucket(hash16);
    if (KeyRecent) recent[hash16] = static_cast<uint16_t>(count + j);
    const uint32_t old = head[hash];
    head[hash] = static_cast<uint16_t>(LinkOf(at));
    if ((old & 0x7FFF) != LinkOf(at)) chain[at] = static_cast<uint16_t>(old);
    return hash;
  };
  const uint32_t first = ((q - position) & WindowMask) + 1;
  uint32_t j = first;
  uint32_t lowBytes = 0;
  uint32_t runCount = 256;  // run positions after the run's start; 256: none
  uint32_t runHash = 0;
  uint32_t displaced = 0;
  // Most positions lie inside the match, outside any run: up to the first
  // run start among them, found (with the bytes to sample) before any is
  // inserted, they take the insertion alone.
  const uint32_t keyable = lookahead > 2 ? lookahead - 2 : 0;  // j + 3 <= lookahead
  const uint32_t plainEnd = length < keyable ? length : keyable;
  if (j < plainEnd) {
    // The keys of the positions, from keys[0] for position j (room for
    // MaxMatchLength of them and a last sixteen-byte store).
    uint16_t keys[MaxMatchLength + 16];
    const uint32_t start = (position + j) & WindowMask;
    const uint32_t end = start + (plainEnd - j);
    PlainSpan span = ScanPlain(window, start, end < WindowSize ? end : WindowSize, keys);
    if (end > WindowSize && span.runAt == WindowSize) {
      const PlainSpan wrapped =
          ScanPlain(window, 0, end - WindowSize, keys + (WindowSize - start));
      span.runAt = WindowSize + wrapped.runAt;
      span.lowBytes += wrapped.lowBytes;
    }
    lowBytes = span.lowBytes;
    // Up to the run start (the span's end when none), their offsets count
    // up from start, going on from 0 past the window's end.
    const uint32_t stop = span.runAt;
    const uint32_t stopBeforeEnd = stop < WindowSize ? stop : WindowSize;
    const uint16_t* key = keys;
    for (uint32_t at = start; at < stopBeforeEnd; ++at, ++j) insert(j, at, *key++);
    for (uint32_t at = 0; at + WindowSize < stop; ++at, ++j) insert(j, at, *key++);
    if (j < plainEnd) {
      const uint32_t at = (position + j) & WindowMask;
      const uint32_t hash = insert(j, at, Hash16(window + at));
      head[hash] |= RunFlag;
      displaced = chain[at];  // what the run's start displaced: the link holds it
      runHash = hash;
      runCount = 0;
      ++j;
    }
  }
  uint32_t sampled = j - first;
  for (; j + 3 <= lookahead; ++j) {
    uint32_t at = (position + j) & WindowMask;
    const uint8_t* x = window + at;
    if (runCount < 255 && x[0] == x[2]) {
      displaced = InsertRunPosition(c, at, runHash, displaced);
      ++runCount;
      continue;
    }
    if (j >= length) break;
    const uint32_t hash = insert(j, at, Hash16(x));
    displaced = chain[at];  // what it displaced: the link holds it
    ++sampled;
    lowBytes += x[0] < 0x80;
    if (x[1] == x[0] && x[2] == x[0]) {
      head[hash] |= RunFlag;
      runHash = hash;
      runCount = 0;
    } else {
      runCount = 256;
    }
  }
  c->lowBytes += lowBytes;
  c->highBytes += sampled - lowBytes;
  return j;
}

// Records the pending match at p; q is the last position already inserted.
void RecordMatch(DeflateContext* c, uint8_t* p, uint32_t q) {
  const uint32_t length = static_cast<uint32_t>(c->pendingLength);
  const uint32_t distance = c->pendingDistance;
  const uint32_t position = Offset(c, p);
  const uint32_t j = c->recentOn != 0 ? InsertCovered<true>(c, position, q, length)
                                      : InsertCovered<false>(c, position, q, length);
  // The stream ends within the match: its last positions stay uninserted.
  if (j < length) MarkUnkeyed(c, c->scanCount + j);

  MatchBytesEntry* bytes = c->matchBytesCursor;
  bytes->firstBytes[0] = p[0];
  bytes->firstBytes[1] = p[1];
  bytes->firstBytes[2] = p[2];
  bytes->lengthLess3 = static_cast<uint8_t>(length - 3);
  uint32_t lengthCode = LengthCodeOf.code[length - 3];
  uint32_t distanceCode = DistanceCode(distance);
  SymbolEntry* s = c->symbolCursor;
  s->distance = static_cast<uint16_t>(distance);
  s->literalOrLength = static_cast<uint8_t>(lengthCode);
  s->distanceCode = static_cast<uint8_t>(distanceCode);
  CountLiteralSymbol(c, EndOfBlock + 1 + lengthCode);
  CountDistanceSymbol(c, distanceCode);
  c->scanPos = c->pendingEnd;
  c->pendingLength = -1;
  Advance(c, length);
}

enum class AfterSymbol { Continue, EndBlock };

// The literal statistics check and the block size limits, after any symbol.
DEFLATE_HOT_INLINE AfterSymbol CheckLiterals(DeflateContext* c) {
  if ((c->literalCount - 1) % LiteralCheckInterval == 0) {
    int32_t m = Concentration(c->literalSquares, c->literalCount, c->literalDistinct);
    if (m < ConcentrationFloor || m > c->literalPeak) {
      c->literalPeak = m;
      c->literalPeakPosition = c->symbolCount;
    } else if (m + (m >> 3) < c->literalPeak) {
      if (c->pending > 0) Split(c, c->literalPeakPosition);
      return AfterSymbol::EndBlock;
    }
  }
  if (c->pending == 0 || c->symbolCount >= BlockSymbols) return AfterSymbol::EndBlock;
  return AfterSymbol::Continue;
}

AfterSymbol CheckDistances(DeflateContext* c) {
  int32_t m = Concentration(c->distanceSquares, c->distanceCount, c->distanceDistinct);
  // Mostly text (few sampled bytes of 0x80 and above): split more readily.
  int32_t floor = ((c->lowBytes + c->highBytes) >> 3) > c->highBytes ? DistanceFloorLowText
                                                                     : ConcentrationFloor;
  if (floor <= m && m <= c->distancePeak) {
    if (m + (m >> 6) < c->distancePeak && c->pending > 0) {
      Split(c, c->distancePeakPosition);
      return AfterSymbol::EndBlock;
    }
  } else {
    c->distancePeak = m;
    c->distancePeakPosition = c->symbolCount;
  }
  return CheckLiterals(c);
}

enum class Streak {
  Position,  // nothing recorded at scanPos: continue there the general way
  Symbol,    // a literal was recorded: its checks and the refill are due
};

// The common case of data that does not repeat, taken with the context's
// counters in locals: positions where no match is pending and the search
// finds none, each recorded as a literal, with the one-byte refill after it.
// Exactly the steps of the general loop for such a position; it hands back
// at anything else (a match found, a run, the periodic literal check, the
// block's end, the refill's slow cases).
Streak LiteralStreak(DeflateContext* c) {
  uint8_t* const window = c->window;
  uint8_t* const windowEnd = c->windowEnd;
  uint16_t* const frequencies = c->treeArea->literalFrequencies;
  const int32_t maxChain = static_cast<int32_t>(c->maxChain);
  const bool refilling = c->refillState != 0;
  InputReader* const in = &c->input;
  const uint8_t* inputAt = in->current;
  uint8_t* p = c->scanPos;
  uint32_t count = c->scanCount;
  uint8_t* writePos = c->writePos;
  uint32_t lookahead = c->lookahead;
  uint32_t pending = c->pending;
  uint32_t blockBytes = c->blockBytes;
  uint32_t windowFill = c->windowFill;
  uint32_t symbolCount = c->symbolCount;
  SymbolEntry* symbol = c->symbolCursor;
  uint32_t literalCount = c->literalCount;
  uint32_t literalDistinct = c->literalDistinct;
  uint32_t literalSquares = c->literalSquares;
  uint32_t lowBytes = c->lowBytes;
  uint32_t highBytes = c->highBytes;
  uint32_t literals = 0;     // recorded here
  bool refilled = false;     // the last literal's byte came in
  Streak result = Streak::Position;
  while (lookahead >= MinMatchLength) {
    const uint8_t byte = p[0];
    if (p[1] == byte && p[2] == byte) break;  // a run search
    const uint32_t m = lookahead < MaxMatchLength ? lookahead : MaxMatchLength;
    lowBytes += byte < 0x80;
    highBytes += byte >= 0x80;
    const uint32_t position = static_cast<uint32_t>(p - window);
    const uint32_t key = Hash16(p);
    const uint32_t newest = (static_cast<uint32_t>(writePos - window) - position) & WindowMask;
    int32_t best;
    uint32_t distance;
    // The next position's entry of `recent` (a table larger than the first
    // level cache) is wanted one iteration from now.
    if (c->recentOn != 0) Prefetch(c->recent + RecentKey(p + 1));
    PlainSearch(c, p, position, count, newest, m, maxChain, key, &best, &distance);
    if (best >= static_cast<int32_t>(MinMatchLength)) {
      // Pending now, as the general search leaves it.
      c->lazyBound = c->lazyLimit < m ? c->lazyLimit : m;
      c->pendingLength = best;
      c->pendingDistance = distance;
      c->pendingEnd = window + ((position + static_cast<uint32_t>(best)) & WindowMask);
      c->pendingKey = key;
      c->pendingRun = 1;
      break;
    }
    InsertPosition(c, position, Bucket(key));
    if (c->recentOn != 0) c->recent[key] = static_cast<uint16_t>(count);
    // The literal.
    symbol->distance = 0;
    symbol->literalOrLength = byte;
    symbol->distanceCode = 0;
    ++symbol;
    const uint32_t f = ++frequencies[byte];
    literalDistinct += f == 1;
    ++literalCount;
    literalSquares += 2 * f - 1;
    p = p + 1 == windowEnd ? window : p + 1;
    ++count;
    --pending;
    --lookahead;
    ++blockBytes;
    windowFill += windowFill < WindowSize;
    ++symbolCount;
    ++literals;
    refilled = false;
    if ((literalCount - 1) % LiteralCheckInterval == 0 || pending == 0 ||
        symbolCount >= BlockSymbols) {
      result = Streak::Symbol;
      break;
    }
    if (refilling) {
      if (inputAt == in->end || writePos == windowEnd) {
        result = Streak::Symbol;
        break;
      }
      const uint8_t next = *inputAt++;
      const uint32_t offset = static_cast<uint32_t>(writePos - window);
      *writePos++ = next;
      if (offset < WindowMirror) windowEnd[offset] = next;
      ++lookahead;
      refilled = true;
    }
  }
  if (literals > 0) {
    c->pending = pending;
    c->lookahead = lookahead;
    c->blockBytes = blockBytes;
    c->windowFill = windowFill;
    c->symbolCount = symbolCount;
    c->symbolCursor = symbol;
    c->matchBytesCursor += literals;
    c->literalCount = literalCount;
    c->literalDistinct = literalDistinct;
    c->literalSquares = literalSquares;
    c->scanPos = p;
    c->scanCount = count;
    c->writePos = writePos;
    in->current = inputAt;
    // After a literal the refill request is one byte, or none once it came.
    c->refillRequest = refilled ? 0 : 1;
    if (refilled) c->refillState = 1;
  }
  c->lowBytes = lowBytes;
  c->highBytes = highBytes;
  return result;
}

// Inserts the run that starts at window offset q (pendingRun equal bytes,
// bucket its bucket) as one link, and returns the offset of its last
// position inserted. Out of line: runs are rare, and the value the start
// displaced would otherwise crowd the matching loop's registers.
DEFLATE_OUT_OF_LINE uint32_t InsertRun(DeflateContext* c, uint32_t q, uint32_t bucket) {
  uint32_t displaced = InsertPosition(c, q, bucket);
  c->head[bucket] |= RunFlag;
  for (uint32_t i = 1; i + 3 <= c->pendingRun; ++i) {
    displaced = InsertRunPosition(c, (q + i) & WindowMask, bucket, displaced);
  }
  q = (q + c->pendingRun - 3) & WindowMask;
  c->pendingRun -= 2;
  return q;
}

// Encodes from scanPos until the block ends (returns true) or the call must
// stop for input (false, resume point set).
bool MatchBlock(DeflateContext* c) {
  if (c->unkeyed != 0 && c->lookahead >= MinMatchLength) KeyTail(c);
  // The last symbol was a match. The position after a match goes to the
  // general steps: in data that repeats, it mostly starts the next match,
  // and the streak would load and store its counters for nothing.
  bool matched = false;
  for (;;) {
    AfterSymbol next;
    const bool afterMatch = matched;
    matched = false;
    if (c->pendingLength < 0 && !afterMatch && LiteralStreak(c) == Streak::Symbol) {
      next = CheckLiterals(c);
    } else if (c->lookahead < MinMatchLength) {
      if (c->lookahead == 0) return true;
      MarkUnkeyed(c, c->scanCount);
      RecordLiteral(c, c->scanPos);
      next = CheckLiterals(c);
    } else {
      uint8_t* p = c->scanPos;
      uint32_t lookahead = c->lookahead;
      SearchResult found;
      if (c->pendingLength < 0) {
        uint32_t m = lookahead < MaxMatchLength ? lookahead : MaxMatchLength;
        c->lazyBound = c->lazyLimit < m ? c->lazyLimit : m;
        Search(c, p, m, static_cast<int32_t>(c->maxChain), &found);
        c->pendingLength = found.length > 0 ? found.length : 0;
        c->pendingDistance = found.distance;
        c->pendingEnd = found.end;
        c->pendingKey = found.key;
        c->pendingRun = found.run;
      }
      // Insert p (and, on a run, the run's positions as one link).
      uint32_t q = Offset(c, p);
      const uint32_t bucket = Bucket(c->pendingKey);
      if (c->recentOn != 0) {
        c->recent[c->pendingKey] =
            static_cast<uint16_t>(c->scanCount + (c->pendingRun >= 3 ? c->pendingRun - 3 : 0));
      }
      if (c->pendingRun >= 3) {
        q = InsertRun(c, q, bucket);
      } else {
        InsertPosition(c, q, bucket);
      }
      int32_t pendingLength = c->pendingLength;
      if (pendingLength < static_cast<int32_t>(MinMatchLength)) {
        c->pendingLength = -1;
        RecordLiteral(c, p);
        next = CheckLiterals(c);
      } else {
        uint32_t lazyLookahead = lookahead - 1;
        bool take = static_cast<int32_t>(c->lazyBound) <= pendingLength ||
                    static_cast<int32_t>(lazyLookahead) < pendingLength;
        if (!take) {
          uint32_t m = lazyLookahead < MaxMatchLength ? lazyLookahead : MaxMatchLength;
          c->lazyBound = c->lazyLimit < m ? c->lazyLimit : m;
          // A good pending match searches a shorter chain; a nice one ends
          // the search. The pending length follows the data: the budget is
          // selected with a mask (all ones when good), which compilers
          // keep free of branches.
          const uint32_t length = static_cast<uint32_t>(pendingLength);
          const bool good = length >= c->goodLength;
          const uint32_t goodMask = 0u - static_cast<uint32_t>(good);
          const int32_t budget =
              static_cast<int32_t>(c->maxChain ^ ((c->maxChain ^ c->goodChain) & goodMask));
          take = good & (length >= c->niceLength);
          if (!take) {
            uint8_t* lazy = p + 1 == c->windowEnd ? c->window : p + 1;
            Search(c, lazy, m, budget, &found);
            // The pending match wins ties unless the new one is nearer.
            take = pendingLength > found.length ||
                   (pendingLength == found.length && c->pendingDistance <= found.distance);
          }
        }
        if (take) {
          RecordMatch(c, p, q);
          matched = true;
          next = CheckDistances(c);
        } else {
          RecordLiteral(c, p);
          c->pendingLength = found.length;
          c->pendingDistance = found.distance;
          c->pendingEnd = found.end;
          c->pendingRun = found.run;
          c->pendingKey = found.key;
          next = CheckLiterals(c);
        }
      }
    }
    if (next == AfterSymbol::EndBlock) return true;
    if (c->refillState != 0) {
      // The common cases inline: one byte after a literal, away from the
      // window end; the bytes of a match, with the input at hand, away from
      // the window's start (its mirror) and end.
      InputReader* in = &c->input;
      const uint32_t request = c->refillRequest;
      if (request == 1 && in->current < in->end && c->writePos < c->windowEnd) {
        uint8_t byte = *in->current++;
        uint32_t offset = Offset(c, c->writePos);
        *c->writePos++ = byte;
        if (offset < WindowMirror) c->windowEnd[offset] = byte;
        ++c->lookahead;
        c->refillRequest = 0;
        c->refillState = 1;
      } else if (request > 1 && request <= static_cast<size_t>(in->end - in->current) &&
                 Offset(c, c->writePos) >= WindowMirror &&
                 request <= static_cast<size_t>(c->windowEnd - c->writePos)) {
        CopyBytes(c->writePos, in->current, request);
        in->current += request;
        c->writePos += request;
        c->lookahead += request;
        c->refillRequest = 0;
        c->refillState = static_cast<int32_t>(request);
      } else if (!Refill(c)) {
        return false;
      }
    }
  }
}

#undef DEFLATE_HOT_INLINE
#undef DEFLATE_RARELY
#undef DEFLATE_OUT_OF_LINE

}  // namespace

uint32_t DeflateContextSize() { return sizeof(DeflateContext); }

uint32_t DeflateInit(DeflateContext* context, uint32_t level, uint32_t resetOnly) {
  bool clearChain = true;
  if (resetOnly == 0) {
    std::memset(context, 0, sizeof(*context));
    context->head = static_cast<uint16_t*>(MemAlloc(HashBuckets * sizeof(uint16_t)));
    if (context->head != nullptr) {
      context->chain = static_cast<uint16_t*>(MemAlloc(WindowSize * sizeof(uint16_t)));
    }
    if (context->chain != nullptr) {
      context->symbols = static_cast<SymbolEntry*>(MemAlloc(BlockSymbols * sizeof(SymbolEntry)));
    }
    if (context->symbols != nullptr) {
      context->matchBytes =
          static_cast<MatchBytesEntry*>(MemAlloc(BlockSymbols * sizeof(MatchBytesEntry)));
    }
    if (context->matchBytes != nullptr) {
      // Zeroed so that nothing ever depends on bytes no input has written.
      context->window = static_cast<uint8_t*>(MemAllocZero(WindowSize + WindowMirror));
    }
    if (context->window != nullptr) {
      context->treeArea = static_cast<HuffmanWorkArea*>(MemAlloc(sizeof(HuffmanWorkArea)));
    }
    if (context->treeArea != nullptr) {
      context->recent = static_cast<uint16_t*>(MemAllocZero(RecentKeys * sizeof(uint16_t)));
    }
    if (context->recent == nullptr) {
      DeflateEnd(context);
      return 1;
    }
  } else {
    // Fewer than WindowSize bytes since the tables were last clear, and no
    // wrap: only the chain entries below windowFill were ever written.
    // Clearing those alone (most items are far shorter than the window)
    // leaves the chain table as zero as clearing all of it.
    const uint32_t used = context->windowFill;
    if (used < WindowSize && context->writePos == context->window + used) {
      std::memset(context->chain, 0, used * sizeof(uint16_t));
      clearChain = false;
    }
    // Keep the buffers and the level; forget everything else.
    const size_t keep = offsetof(DeflateContext, writePos);
    std::memset(reinterpret_cast<uint8_t*>(context) + keep, 0, sizeof(*context) - keep);
  }
  // A window on: what `recent` holds reads as out of reach (an entry that
  // wrapped may read as within it, which costs a walk).
  context->scanCount += WindowSize;
  context->resetCount = context->scanCount;
  if (resetOnly == 0) context->recentOn = 1;
  if (level >= DeflateLevels) level = 0;
  const DeflateConfig& config = DeflateConfigs[level];
  context->level = level;
  context->maxChain = config.maxChain;
  context->goodChain = config.goodChain;
  context->niceLength = config.niceLength;
  context->goodLength = config.goodLength;
  context->lazyLimit = config.lazyLimit;
  std::memset(context->head, 0, HashBuckets * sizeof(uint16_t));
  if (clearChain) std::memset(context->chain, 0, WindowSize * sizeof(uint16_t));
  context->refillRequest = FullLookahead;
  context->refillState = -1;
  context->scanPos = context->window;
  context->writePos = context->window;
  context->windowEnd = context->window + WindowSize;
  return 0;
}

void DeflateEnd(DeflateContext* context) {
  MemFree(context->recent);
  MemFree(context->treeArea);
  MemFree(context->window);
  MemFree(context->matchBytes);
  MemFree(context->symbols);
  MemFree(context->chain);
  MemFree(context->head);
  std::memset(context, 0, sizeof(*context));
}

uint32_t DeflateCompress(const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                         uint32_t* outputLength, DeflateContext* context, uint32_t flushMode) {
  const uint32_t given = *inputLength;
  if (*outputLength < DeflateMinimumOutput || context->window == nullptr) {
    *inputLength = 0;
    *outputLength = 0;
    return 0;
  }
  DeflateContext* c = context;
  if (c->resumePoint == 0) {
    BitWriterClear(&c->bits);
    std::memset(&c->input, 0, sizeof(c->input));
  }
  c->input.start = input;
  c->input.current = input;
  c->input.end = input + given;
  c->input.final = flushMode != 0 ? 1 : 0;
  BitWriterOpen(&c->bits, output, *outputLength);
  c->pending += given;

  enum class Stage { StartBlock, Refill, Match, Write, Exit };
  Stage stage;
  uint32_t point = c->resumePoint;
  if (point != 0) {
    c->resumePoint = 0;
    stage = point <= ResumeRefillOne ? Stage::Refill : Stage::Write;
  } else {
    // A new stream (segment) begins.
    c->refillState = -1;
    c->refillRequest = FullLookahead;
    c->lookahead = 0;
    c->carriedEnd = 0;
    stage = Stage::StartBlock;
  }
  while (stage != Stage::Exit) {
    switch (stage) {
      case Stage::StartBlock:
        StartBlock(c);
        stage = c->refillState != 0 ? Stage::Refill : Stage::Match;
        break;
      case Stage::Refill:
        stage = Refill(c) ? Stage::Match : Stage::Exit;
        break;
      case Stage::Match:
        if (!MatchBlock(c)) {
          stage = Stage::Exit;
          break;
        }
        ChooseRecent(c);
        DeflatePrepareBlock(c);
        point = ResumeWriteHeader;
        stage = Stage::Write;
        break;
      case Stage::Write: {
        uint32_t stopped = DeflateWriteBlock(c, point);
        if (stopped != 0) {
          c->resumePoint = stopped;
          stage = Stage::Exit;
        } else {
          stage = c->pending == 0 ? Stage::Exit : Stage::StartBlock;
        }
        break;
      }
      case Stage::Exit:
        break;
    }
  }

  const uint32_t complete = c->resumePoint == 0 ? 1 : 0;
  *outputLength = BitWriterFinish(&c->bits, complete);
  const uint32_t taken = static_cast<uint32_t>(c->input.current - c->input.start);
  *inputLength = taken;
  if (complete && (flushMode & 1) != 0) {
    DeflateInit(c, c->level, 1);
    return 1;
  }
  c->pending -= given - taken;
  return complete;
}

}  // namespace varnfile
