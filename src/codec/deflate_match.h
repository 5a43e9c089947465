// The compressor's match finder: hash chains over the 8 KB window, the
// walks that find the longest match within a chain budget, and the table
// of each key's newest position that skips walks which cannot find one.
//
// Only the compressor includes this file. Everything here runs once or
// more per input byte and is inlined into the matching loop, so it has
// internal linkage, as if written in the compressor's own source.
#ifndef VARNFILE_CODEC_DEFLATE_MATCH_H_
#define VARNFILE_CODEC_DEFLATE_MATCH_H_

#include <cassert>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/deflate.h"
#include "codec/deflate_tables.h"

namespace varnfile {
namespace {

// The per-byte steps of the matching loop: inlined even where a function
// has several callers, so that the loop's state stays in registers.
#if defined(__GNUC__)
#define DEFLATE_HOT_INLINE inline __attribute__((always_inline))
#else
#define DEFLATE_HOT_INLINE inline
#endif

// A walk kept out of line: inlined into the matching loop (as -O3 does on
// its own), its many live values crowd out the loop's, and the whole runs
// slower.
#if defined(__GNUC__)
#define DEFLATE_OUT_OF_LINE __attribute__((noinline))
#else
#define DEFLATE_OUT_OF_LINE
#endif

// A branch the hot loops expect not to take.
#if defined(__GNUC__)
#define DEFLATE_RARELY(condition) __builtin_expect(!!(condition), 0)
#else
#define DEFLATE_RARELY(condition) (condition)
#endif

// The bucket hash is the low 12 bits of a 16-bit value of the three bytes
// in which every value has as many of them (the high four bits are those
// of the first byte). All 16 bits key the `recent` table below.
inline uint32_t Hash16(const uint8_t* p) {
  return ((uint32_t{p[0]} << 8) | p[1]) ^ ((uint32_t{p[2]} << 4) | (p[0] >> 4));
}

// The bucket of a position whose Hash16 is key.
inline uint32_t Bucket(uint32_t key) { return key & 0xFFF; }

// Selects the first three bytes in memory of a 32-bit load.
constexpr uint32_t FirstThreeBytes =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x00FFFFFFu : 0xFFFFFF00u;

inline uint32_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Leading equal bytes of a and b, at most limit; a word at a time. Never
// reads past limit.
inline uint32_t EqualBytes(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: a byte mask of the equal ones, whose lowest
  // clear bit is the first unequal byte.
  while (n + 16 <= limit) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n));
    const uint32_t equal = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFFu) return n + static_cast<uint32_t>(__builtin_ctz(~equal));
    n += 16;
  }
#endif
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Little-endian loads put the first byte lowest: the lowest set bit of
  // the difference is the first unequal byte.
  while (n + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + (static_cast<uint32_t>(__builtin_ctzll(x ^ y)) >> 3);
    n += 8;
  }
#endif
  while (n + 4 <= limit && Load32(a + n) == Load32(b + n)) n += 4;
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// The newest insertion of each three-byte key. Most searches on data that
// does not repeat find nothing; when the newest position inserted with p's
// three bytes (or an alias of them) is already out of a search's reach, no
// position in reach holds those bytes, and the chain walk would find
// nothing. The table proves that without walking. Every position behind
// the scan is inserted with the bytes it holds, except the last ones of a
// stream, which are keyed as soon as the bytes after them come (KeyTail).
// Entries keep the low 16 bits of scanCount: an entry out of reach may
// look within it (aliased key, wrapped count), which only costs a walk.

constexpr uint32_t RecentKeys = 1u << 16;

inline uint32_t RecentKey(const uint8_t* p) { return Hash16(p); }

// True when no position that a search at p (scan count `count`, `newest`
// as in the chain walk) may take holds p's key: every candidate lies at a
// distance of 1 to WindowSize - newest.
inline bool NoneInReach(const uint16_t* recent, uint32_t key, uint32_t count, uint32_t newest) {
  const uint32_t age = static_cast<uint16_t>(count - recent[key]);
  return age > WindowSize - newest;
}

inline uint32_t Offset(const DeflateContext* c, const uint8_t* p) {
  return static_cast<uint32_t>(p - c->window);
}

// ---------------------------------------------------------------------------
// Hash chains. A head or chain value, a link, names a window position by
// the byte offset of the position's chain entry, twice the position, with
// RunFlag set when it was inserted as part of a run of equal bytes. The
// walks are chains of dependent loads, each at chain + link: an address
// without a scaled index, which some processors (AMD's) resolve a cycle
// sooner. Inserting returns the link the position displaced.

inline uint32_t LinkOf(uint32_t position) { return position << 1; }

inline uint32_t PositionOf(uint32_t link) { return (link & 0x7FFF) >> 1; }

// The link stored in the chain entry that `link` (without RunFlag) names.
inline uint32_t NextLink(const uint16_t* chain, uint32_t link) {
  uint16_t v;
  std::memcpy(&v, reinterpret_cast<const uint8_t*>(chain) + link, 2);
  return v;
}

inline uint32_t InsertPosition(DeflateContext* c, uint32_t position, uint32_t hash) {
  uint32_t old = c->head[hash];
  c->head[hash] = static_cast<uint16_t>(LinkOf(position));
  if ((old & 0x7FFF) == LinkOf(position)) return c->chain[position];  // already at the head
  c->chain[position] = static_cast<uint16_t>(old);
  return old;
}

// Puts a later position of a run at the head of the run's bucket. Its chain
// link skips the run's interior: it takes what the run's start displaced.
// Returns what the next position of the run displaces. (By value: a
// variable whose address is taken stays in memory in the hot loops.)
inline uint32_t InsertRunPosition(DeflateContext* c, uint32_t position, uint32_t hash,
                                  uint32_t displaced) {
  c->head[hash] = static_cast<uint16_t>(LinkOf(position) | RunFlag);
  if ((displaced & 0x7FFF) == LinkOf(position)) return c->chain[position];
  c->chain[position] = static_cast<uint16_t>(displaced);
  return displaced;
}

inline void Sample(DeflateContext* c, uint8_t byte) {
  c->lowBytes += byte < 0x80;
  c->highBytes += byte >= 0x80;
}

struct SearchResult {
  int32_t length;    // -1: nothing found
  uint32_t distance;
  uint8_t* end;      // window position just after the match
  uint32_t run;      // equal bytes from the position (1 when no run)
  uint32_t key;      // Hash16 of the position
};

// What a plain walk found; returned by value, in registers.
struct WalkResult {
  int32_t length;     // -1: nothing found
  uint32_t distance;  // 0 when nothing found
};

// One step of a plain walk: the candidate that *entry names (window offset
// *at, forward offset *room / 2 + newest from p) and the link after it;
// false where the walk ends, the candidate's offset not below the room the
// previous one left. Offsets and rooms are doubled, as positions in links
// are: `lift` is twice WindowSize less (position + newest) modulo the
// window size; adding it to a link gives twice the forward offset, plus
// twice WindowSize when that wraps.
//
// The walk is a chain of dependent loads, each link's address the one
// before it. An entry without RunFlag (nearly all in plain walks) is its
// chain entry's offset. Its offset from p is taken with RunFlag kept, which
// puts a flagged entry above any room: the step's one test sends both the
// walk's end and such an entry to the rare path, which tells them apart.
// The common step thus reads the next link straight from the entry, with
// no other test.
DEFLATE_HOT_INLINE bool Step(const uint16_t* chain, uint32_t lift, uint32_t* entry, uint32_t* room,
                             uint32_t* at) {
  const uint32_t link = *entry;
  const uint32_t key = (link + lift) & (2 * WindowMask | RunFlag);
  if (DEFLATE_RARELY(key >= *room)) {
    if ((link & RunFlag) == 0) return false;
    const uint32_t flagged = key - RunFlag;  // the offset: RunFlag is key's only bit above it
    if (flagged >= *room) return false;
    *room = flagged;
    *at = PositionOf(link);
    *entry = NextLink(chain, link & 0x7FFF);
    return true;
  }
  *room = key;
  *at = link >> 1;
  *entry = NextLink(chain, link);
  return true;
}

// The chain walk of a search at position p (window offset `position`) that
// does not start a run: the longest match of at most m bytes within the
// chain budget.
//
// An entry's forward offset v from p (the distance is 8192 - v) must lie at
// or above `newest`, the offset of the newest byte in the window (below it
// the position has been overwritten by newer input), and below the previous
// entry's (chains only go further back; this also ends walks over stale or
// wrapped values): one test of v - newest, taken modulo the window size,
// against the room the previous entry left. Below newest, v - newest wraps
// to at least WindowSize - newest, the first room.
DEFLATE_OUT_OF_LINE WalkResult WalkPlainChain(const DeflateContext* c, const uint8_t* p,
                                              uint32_t position, uint32_t newest, uint32_t m,
                                              int32_t budget, uint32_t entry) {
  const uint8_t* window = c->window;
  const uint16_t* chain = c->chain;
  // A match this long ends the search: nice, or all m bytes (nothing beats it).
  const uint32_t enough = c->niceLength < m ? c->niceLength : m;
  // The first three bytes of p (the load may touch the byte after them,
  // which lies within the window's mirror and is masked off).
  const uint32_t head3 = Load32(p) & FirstThreeBytes;
  const uint32_t lift = 2 * (WindowSize - ((position + newest) & WindowMask));
  uint32_t room = 2 * (WindowSize - newest);
  int32_t best = -1;
  uint32_t bestOffset = 0;
  // Until the first match, the three-byte test alone. A miss costs two steps.
  for (;;) {
    uint32_t at;
    if (!Step(chain, lift, &entry, &room, &at)) break;
    if (((Load32(window + at) ^ head3) & FirstThreeBytes) == 0) {
      best = static_cast<int32_t>(3 + EqualBytes(window + at + 3, p + 3, m - 3));
      bestOffset = room / 2 + newest;
      budget -= 1;
      break;
    }
    budget -= 2;
    if (budget <= 0) break;
  }
  if (best > 0 && static_cast<uint32_t>(best) < enough && budget > 0) {
    // A longer match must also have p's two bytes at best - 1 and best;
    // a candidate without them costs one step. (The loop keeps few values
    // live: those two bytes are read through tailBase, window + best - 1.)
    const uint8_t* tailBase = window + best - 1;
    uint32_t tail2 = Load16(p + best - 1);
    // The budget left, at least one step at the top of the loop: counted
    // without a sign, each one-step candidate ends the walk when it reaches
    // zero, a test the decrement itself makes.
    uint32_t left = static_cast<uint32_t>(budget);
    for (;;) {
      uint32_t at;
      if (!Step(chain, lift, &entry, &room, &at)) break;
      if (Load16(tailBase + at) == tail2) {
        const uint8_t* candidate = window + at;
        if (((Load32(candidate) ^ head3) & FirstThreeBytes) != 0) {
          if (left <= 2) break;
          left -= 2;
          continue;
        }
        int32_t length = static_cast<int32_t>(3 + EqualBytes(candidate + 3, p + 3, m - 3));
        if (length > best) {
          best = length;
          bestOffset = room / 2 + newest;
          if (static_cast<uint32_t>(length) >= enough) break;
          tailBase = window + best - 1;
          tail2 = Load16(p + best - 1);
        }
      }
      if (--left == 0) break;
    }
  }
  return {best, best > 0 ? WindowSize - bestOffset : 0};
}

// The chain walk of a run search (p starts `run` >= 3 equal bytes): as the
// plain walk, but run-flagged entries lead to where earlier runs began.
void WalkRunChain(const DeflateContext* c, const uint8_t* p, uint32_t position, uint32_t m,
                  uint32_t run, int32_t budget, uint32_t entry, int32_t* bestLength,
                  uint32_t* bestDistanceOut) {
  const uint8_t* window = c->window;
  const uint16_t* chain = c->chain;
  const uint32_t newest = (Offset(c, c->writePos) - position) & WindowMask;
  const uint32_t oldestOffset = WindowSize - c->windowFill;
  const uint32_t nice = c->niceLength;
  // The first three bytes of p, and the two bytes a longer match must also
  // have at best - 1 and best (loads may touch the byte after the three,
  // which lies within the window's mirror and is masked off).
  const uint32_t head3 = Load32(p) & FirstThreeBytes;
  uint32_t tail2 = 0;
  int32_t best = -1;
  uint32_t bestDistance = 0;
  uint32_t previousOffset = 65535;
  for (;;) {
    // Load the next link early: the walk is a chain of dependent loads.
    const uint32_t next = NextLink(chain, entry & 0x7FFF);
    // v: forward offset from p to the candidate; the distance is 8192 - v.
    uint32_t v = (PositionOf(entry) - position) & WindowMask;
    const uint8_t* candidate;
    if ((entry & RunFlag) != 0) {
      // The entry marks the last position of an earlier run: step back so
      // that the candidate starts where `run` equal bytes begin.
      v = v - run + 3;
      if (v == 0) v = WindowSize - 1;
      if (v < oldestOffset) v = oldestOffset;
      if (newest > v) break;
      if (((run + v) & WindowMask) < newest) {
        // That run reaches up to p: the byte just before p continues it.
        candidate = window + ((position - 1) & WindowMask);
        v = WindowSize - 1;
      } else {
        candidate = window + ((position + v) & WindowMask);
      }
    } else {
      if (newest > v) break;  // overwritten by newer input
      candidate = window + PositionOf(entry);
    }
    // Chains only go further back. (A candidate is never p itself: v is
    // at least the lookahead here, or 8191 for the byte before p.)
    if (v >= previousOffset) break;
    if (best >= 3 && Load16(candidate + best - 1) != tail2) {
      budget -= 1;
    } else if ((Load32(candidate) & FirstThreeBytes) == head3) {
      int32_t length = static_cast<int32_t>(3 + EqualBytes(candidate + 3, p + 3, m - 3));
      if (length > best) {
        best = length;
        bestDistance = WindowSize - v;
        // Nothing can beat a match of all m bytes.
        if (static_cast<uint32_t>(length) >= nice || static_cast<uint32_t>(length) >= m) break;
        tail2 = Load16(p + best - 1);
      }
      budget -= 1;
    } else {
      budget -= 2;
    }
    if (budget <= 0) break;
    previousOffset = v;
    entry = next;
  }
  *bestLength = best;
  *bestDistanceOut = bestDistance;
}

// The plain walk, skipped where `recent` proves it finds nothing.
// `key` is p's Hash16, taken once per position: stores between here and
// the caller's reads of p (which may alias anything) would otherwise make
// the compiler read and hash p's bytes again.
DEFLATE_HOT_INLINE void PlainSearch(DeflateContext* c, const uint8_t* p, uint32_t position,
                                    uint32_t count, uint32_t newest, uint32_t m, int32_t budget,
                                    uint32_t key, int32_t* bestLength, uint32_t* bestDistance) {
  const uint32_t hash = Bucket(key);
  if (c->recentOn != 0 && NoneInReach(c->recent, key, count, newest)) {
#ifndef NDEBUG
    assert(WalkPlainChain(c, p, position, newest, m, budget, c->head[hash]).length < 0);
#endif
    *bestLength = -1;
    *bestDistance = 0;
    return;
  }
  const WalkResult found = WalkPlainChain(c, p, position, newest, m, budget, c->head[hash]);
  *bestLength = found.length;
  *bestDistance = found.distance;
}

// At the end of a block, every 1024 symbols or so: take `recent` up when
// half the symbols are literals (data that mostly does not repeat, where
// many searches find nothing), drop it below three in eight (it would cost
// more than the walks it saves). Taken up again, it first learns the keys
// of the stream's positions in reach (KeyTail, before the next search).
void ChooseRecent(DeflateContext* c) {
  c->sampledSymbols += c->symbolCount;
  c->sampledLiterals += c->literalCount - 1 - c->distanceCount;
  if (c->sampledSymbols < 1024) return;
  const uint32_t literals = c->sampledLiterals, symbols = c->sampledSymbols;
  c->sampledSymbols = 0;
  c->sampledLiterals = 0;
  if (c->recentOn == 0 && literals * 2 >= symbols) {
    c->recentOn = 1;
    c->unkeyed = 1;
    c->unkeyedStart = c->scanCount - WindowSize;
    if (c->scanCount - c->resetCount < WindowSize) c->unkeyedStart = c->resetCount;
  } else if (c->recentOn != 0 && literals * 8 < symbols * 3) {
    c->recentOn = 0;
  }
}

// Searches the longest match for position p with at most m bytes and the
// given chain budget.
DEFLATE_HOT_INLINE void Search(DeflateContext* c, uint8_t* p, uint32_t m, int32_t budget,
                               SearchResult* result) {
  const uint32_t position = Offset(c, p);
  uint32_t run = 1;
  const uint8_t byte = p[0];
  if (p[1] == byte && p[2] == byte) {
    run = 3;
    while (run < m && p[run] == byte) ++run;
  }
  const uint32_t key = Hash16(p);
  Sample(c, byte);
  result->key = key;
  result->run = run;
  int32_t best;
  uint32_t bestDistance;
  if (run >= 3) {
    WalkRunChain(c, p, position, m, run, budget, c->head[Bucket(key)], &best, &bestDistance);
  } else {
    const uint32_t newest = (Offset(c, c->writePos) - position) & WindowMask;
    // The lazy position p + 1 lies one byte after scanPos.
    const uint32_t count = c->scanCount + (p != c->scanPos);
    PlainSearch(c, p, position, count, newest, m, budget, key, &best, &bestDistance);
  }
  result->length = best;
  result->distance = bestDistance;
  result->end = best > 0 ? c->window + ((position + static_cast<uint32_t>(best)) & WindowMask) : p;
}

}  // namespace
}  // namespace varnfile

#endif  // VARNFILE_CODEC_DEFLATE_MATCH_H_
