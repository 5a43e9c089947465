#include "codec/deflate_block_writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "codec/deflate.h"
#include "codec/deflate_tables.h"

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

// The `length` low bits of code in reverse order.
inline uint16_t ReverseCode(uint32_t code, uint32_t length) {
  uint32_t v = code;
  v = ((v >> 1) & 0x5555) | ((v & 0x5555) << 1);
  v = ((v >> 2) & 0x3333) | ((v & 0x3333) << 2);
  v = ((v >> 4) & 0x0F0F) | ((v & 0x0F0F) << 4);
  v = ((v >> 8) & 0x00FF) | ((v & 0x00FF) << 8);
  return static_cast<uint16_t>(v >> (16 - length));
}

// Moves the node at heap slot `slot` down to its place. The heap is ordered
// by key: lighter first and, among equal weights, the shallower subtree
// first, which keeps codes short. Equal keys stay where they are. Each slot
// holds its node's key beside the node number; the slot after the last
// holds a key above all others, so that a missing right child is never
// taken (no branch on it).
void SiftDown(uint32_t* heapKeys, uint16_t* heap, uint32_t slot, uint32_t size) {
  const uint32_t moving = heap[slot];
  const uint32_t movingKey = heapKeys[slot];
  heapKeys[size] = 0xFFFFFFFFu;
  for (;;) {
    uint32_t child = 2 * slot + 1;
    if (child >= size) break;
    child += heapKeys[child + 1] < heapKeys[child] ? 1 : 0;
    if (heapKeys[child] >= movingKey) break;
    heap[slot] = heap[child];
    heapKeys[slot] = heapKeys[child];
    slot = child;
  }
  heap[slot] = static_cast<uint16_t>(moving);
  heapKeys[slot] = movingKey;
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

// ---------------------------------------------------------------------------
// Huffman codes

namespace {

// Canonical codes (RFC 1951), bit-reversed, for the symbols used[0..k)
// (increasing) from their lengths and lengthCounts[1..15], the number of codes
// of each length.
void AssignUsedCodes(const uint16_t* lengthCounts, CodeEntry* codes, const uint16_t* used,
                     uint32_t k) {
  uint16_t next[MaxCodeBits + 1];
  next[0] = 0;
  next[1] = 0;
  for (uint32_t l = 2; l <= MaxCodeBits; ++l) {
    next[l] = static_cast<uint16_t>((next[l - 1] + lengthCounts[l - 1]) << 1);
  }
  for (uint32_t u = 0; u < k; ++u) {
    CodeEntry& entry = codes[used[u]];
    entry.code = ReverseCode(next[entry.length]++, entry.length);
  }
}

// Writes the symbols i < n with nonzero frequency to used[], in increasing
// order, and returns their number. Four frequencies are tested at a time:
// small blocks use few of the 286 literal/length symbols.
uint32_t UsedSymbols(const uint16_t* frequencies, uint32_t n, uint16_t* used) {
  uint32_t k = 0;
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint64_t word;
    std::memcpy(&word, frequencies + i, sizeof(word));
    if (word == 0) continue;
    for (uint32_t j = i; j < i + 4; ++j) {
      used[k] = static_cast<uint16_t>(j);
      k += frequencies[j] != 0;
    }
  }
  for (; i < n; ++i) {
    used[k] = static_cast<uint16_t>(i);
    k += frequencies[i] != 0;
  }
  return k;
}

}  // namespace

void BuildCodeLengths(CodeEntry* codes, const uint16_t* frequencies, HuffmanWorkArea* work,
                      uint32_t n, uint32_t maxBits) {
  uint16_t used[ValidLiteralLengthSymbols + 2];
  BuildUsedCodeLengths(codes, frequencies, work, used, UsedSymbols(frequencies, n, used),
                       maxBits);
}

void BuildUsedCodeLengths(CodeEntry* codes, const uint16_t* frequencies, HuffmanWorkArea* work,
                          const uint16_t* used, uint32_t k, uint32_t maxBits) {
  if (k == 0) return;
  if (k == 1) {
    codes[used[0]].length = 1;
    return;
  }
  // Weights and the subtree depth that breaks their ties share one key.
  // Frequencies and weights stay far below 32768 (at most 4096 symbols per
  // block), so keys compare as the pairs do.
  uint32_t* keys = work->keys;
  uint32_t* heapKeys = work->heapKeys;
  uint16_t* heap = work->heap;
  uint16_t* parents = work->parents;
  const int32_t budget = WeightBudget[maxBits];
  int32_t multiplier = 1;
  int32_t divisor = 1;
  uint32_t rebuilds = 0;
  for (;;) {
    int32_t total;
    for (;;) {
      total = 0;
      for (uint32_t leaf = 0; leaf < k; ++leaf) {
        int32_t f = static_cast<int16_t>(frequencies[used[leaf]]);
        int16_t weight = static_cast<int16_t>((f * multiplier + divisor - 1) / divisor);
        keys[leaf] = static_cast<uint32_t>(static_cast<uint16_t>(weight)) << 16;
        total += weight;
        heap[leaf] = static_cast<uint16_t>(leaf);
        heapKeys[leaf] = keys[leaf];
      }
      if (multiplier == 1) break;
      // Rounding up may overshoot the budget: shrink the multiplier, never
      // below an even share of the budget, until the weights fit.
      int32_t excess = total - budget;
      if (excess < 1) break;
      int32_t floor = budget / static_cast<int32_t>(k);
      int32_t next = multiplier - excess - (excess >> 1);
      if (next < floor) next = floor;
      if (next == multiplier) break;
      multiplier = next;
    }
    for (int32_t slot = static_cast<int32_t>(k >> 1); slot >= 0; --slot) {
      SiftDown(heapKeys, heap, static_cast<uint32_t>(slot), k);
    }
    uint32_t size = k;
    uint32_t node = 2 * k - 1;
    while (size > 1) {
      uint32_t a = heap[0];
      heap[0] = heap[size - 1];
      heapKeys[0] = heapKeys[size - 1];
      --size;
      SiftDown(heapKeys, heap, 0, size);
      uint32_t b = heap[0];
      uint32_t depthA = keys[a] & 0xFFFF, depthB = keys[b] & 0xFFFF;
      uint32_t weight = ((keys[a] >> 16) + (keys[b] >> 16)) & 0xFFFF;
      keys[node] = weight << 16 | ((depthA > depthB ? depthA : depthB) + 1);
      parents[a] = static_cast<uint16_t>(node);
      parents[b] = static_cast<uint16_t>(node);
      heap[0] = static_cast<uint16_t>(node);
      heapKeys[0] = keys[node];
      SiftDown(heapKeys, heap, 0, size);
      --node;
    }
    // Depths top down: a merged node's parent was made after it and so has
    // a smaller number; the root, made last, is k + 1.
    const uint32_t root = k + 1;
    parents[root] = 0;
    keys[root] = 0;
    for (uint32_t x = root + 1; x < 2 * k; ++x) keys[x] = keys[parents[x]] + 1;

    uint16_t counts[MaxCodeBits + 1] = {};
    bool tooLong = false;
    for (uint32_t leaf = 0; leaf < k; ++leaf) {
      uint32_t length = keys[parents[leaf]] + 1;
      if (length > maxBits) {
        tooLong = true;
        break;
      }
      codes[used[leaf]].length = static_cast<uint8_t>(length);
      ++counts[length];
    }
    if (!tooLong) {
      AssignUsedCodes(counts, codes, used, k);
      return;
    }
    // Too long: rebuild once from frequencies scaled to the weight budget,
    // which bounds the depth. Should that ever fail, equal weights give a
    // balanced tree, far within the limit for alphabets of at most 288.
    if (rebuilds == 0) {
      multiplier = budget;
      divisor = total;
    } else {
      multiplier = 1;
      divisor = 0x10000;
    }
    ++rebuilds;
  }
}

uint32_t EncodeLengths(LengthEntry* entries, const CodeEntry* codes, uint32_t n) {
  uint16_t used[ValidLiteralLengthSymbols + ValidDistanceSymbols];
  uint32_t k = 0;
  for (uint32_t i = 0; i < n; ++i) {
    used[k] = static_cast<uint16_t>(i);
    k += codes[i].length != 0;
  }
  return EncodeLengths(entries, codes, n, used, k);
}

uint32_t EncodeLengths(LengthEntry* entries, const CodeEntry* codes, uint32_t n,
                       const uint16_t* used, uint32_t k) {
  uint32_t count = 0;
  auto emit = [&](uint32_t symbol, uint32_t extraBits, uint32_t extraValue) {
    entries[count].symbol = static_cast<uint8_t>(symbol);
    entries[count].extraBits = static_cast<uint8_t>(extraBits);
    entries[count].extraValue = static_cast<uint8_t>(extraValue);
    ++count;
  };
  // Maximal runs of equal lengths: the used symbols give the nonzero runs,
  // the gaps between them the zero runs. A nonzero run sends its length
  // once, then repeats of up to 6; a zero run goes in repeats of up to 138.
  // Pieces too short for a repeat code are sent as lengths.
  uint32_t i = 0;
  uint32_t u = 0;
  while (i < n) {
    uint32_t value = 0;
    uint32_t run;
    if (u < k && used[u] == i) {
      value = codes[i].length;
      run = 1;
      ++u;
      while (u < k && used[u] == i + run && codes[used[u]].length == value) {
        ++run;
        ++u;
      }
    } else {
      run = (u < k ? used[u] : n) - i;
    }
    i += run;
    if (value != 0) {
      emit(value, 0, 0);
      for (uint32_t rest = run - 1; rest > 0;) {
        uint32_t piece = rest < 6 ? rest : 6;
        if (piece >= 3) {
          emit(16, 2, piece - 3);
        } else {
          for (uint32_t r = 0; r < piece; ++r) emit(value, 0, 0);
        }
        rest -= piece;
      }
    } else {
      for (uint32_t rest = run; rest > 0;) {
        uint32_t piece = rest < 138 ? rest : 138;
        if (piece >= 11) {
          emit(18, 7, piece - 11);
        } else if (piece >= 3) {
          emit(17, 3, piece - 3);
        } else {
          for (uint32_t r = 0; r < piece; ++r) emit(0, 0, 0);
        }
        rest -= piece;
      }
    }
  }
  return count;
}

uint32_t HeaderCost(const LengthEntry* entries, uint32_t count, const CodeEntry* lengthCodes,
                    uint32_t codesSent) {
  uint32_t bits = 14 + 3 * codesSent;
  for (uint32_t i = 0; i < count; ++i) {
    bits += lengthCodes[entries[i].symbol].length + entries[i].extraBits;
  }
  return (bits + 7) >> 3;
}

uint32_t DataCost(const CodeEntry* literalCodes, const CodeEntry* distanceCodes,
                  const HuffmanWorkArea* area, const uint16_t* used, uint32_t literals,
                  uint32_t distances, uint32_t distanceBase) {
  const uint16_t* frequencies = area->literalFrequencies;
  uint32_t bits = 0;
  uint32_t u = 0;
  for (; u < literals && used[u] < EndOfBlock; ++u) {
    bits += frequencies[used[u]] * literalCodes[used[u]].length;
  }
  if (u < literals && used[u] == EndOfBlock) ++u;
  for (; u < literals; ++u) {
    const uint32_t s = used[u];
    bits += frequencies[s] * (literalCodes[s].length + LengthCodes[s - EndOfBlock - 1].extraBits);
  }
  for (uint32_t v = 0; v < distances; ++v) {
    const uint32_t d = used[literals + v] - distanceBase;
    bits += area->distanceFrequencies[d] * (distanceCodes[d].length + DistanceCodes[d].extraBits);
  }
  return (bits + 7) >> 3;
}

// ---------------------------------------------------------------------------
// A lower bound on the dynamic block's cost
//
// Building the dynamic codes costs more than the rest of a small block put
// together, and most small blocks go out stored or with the fixed codes. The
// bound below uses only the frequencies; when it already reaches the cheaper
// of the other two, the dynamic block cannot win (ties go to them) and its
// codes need not be built. Every term is a proven minimum of what
// DeflatePrepareBlock would compute, so the choice never changes.

namespace {

// The entries of the run-length coded lengths, by kind: the zero runs give
// theirs exactly (single zeros, repeats 17 and 18 with their extra bits);
// the runs of nonzero lengths at least `lengths` entries (lengths and
// repeats 16).
struct HeaderEntries {
  uint32_t zeros = 0;
  uint32_t shortRepeats = 0;
  uint32_t longRepeats = 0;
  uint32_t lengths = 0;

  // A run of zero lengths goes in pieces of at most 138, each one entry
  // with its extra bits, or as single zeros. Returns the run's header bits
  // at least: one per entry (a code is at least 1 bit) and the extra bits.
  uint32_t AddZeroRun(uint32_t run) {
    const uint32_t rest = run % 138;
    const uint32_t longs = run / 138 + (rest >= 11 ? 1 : 0);
    const uint32_t shorts = rest >= 3 && rest < 11 ? 1 : 0;
    const uint32_t singles = rest < 3 ? rest : 0;
    longRepeats += longs;
    shortRepeats += shorts;
    zeros += singles;
    return longs * (1 + 7) + shorts * (1 + 3) + singles;
  }
  uint32_t ExtraBits() const { return 7 * longRepeats + 3 * shortRepeats; }
  // r >= 1 nonzero lengths in a row: at least the entries of r equal ones
  // (the length, repeats of up to 6, a short rest as lengths); lengths
  // that differ only take more.
  void AddLengthRun(uint32_t r) {
    static constexpr uint8_t restEntries[6] = {0, 1, 2, 1, 1, 1};
    lengths += 1 + (r - 1) / 6 + restEntries[(r - 1) % 6];
  }
};

// Bits of the code-length codes of these entries, at least: those of an
// optimal code for the four kinds as four symbols (a code for the kinds'
// actual symbols costs no less), and one bit per entry.
uint32_t EntryCodeBitsAtLeast(const HeaderEntries& e) {
  uint32_t weights[4] = {e.zeros, e.shortRepeats, e.longRepeats, e.lengths};
  std::sort(weights, weights + 4);
  uint32_t first = 0;
  while (first < 3 && weights[first] == 0) ++first;
  if (first == 3) return weights[3];
  // Huffman's merges on sorted weights: the sum of the merged weights.
  uint32_t bits = 0;
  for (uint32_t i = first; i < 3; ++i) {
    uint32_t j = i + 1;
    weights[j] += weights[i];
    bits += weights[j];
    for (; j < 3 && weights[j + 1] < weights[j]; ++j) std::swap(weights[j], weights[j + 1]);
  }
  return bits;
}

// The k frequencies of the used symbols in ascending order, into sorted;
// temp has room for k. Few are sorted by comparison; many (a block's
// literals) by counting their low bytes and, when some reach 256, their
// high bytes (frequencies are 16-bit).
void SortFrequencies(const uint16_t* frequencies, const uint16_t* used, uint32_t k,
                     uint32_t* sorted, uint32_t* temp) {
  if (k < 64) {
    for (uint32_t u = 0; u < k; ++u) sorted[u] = frequencies[used[u]];
    std::sort(sorted, sorted + k);
    return;
  }
  uint32_t low[256] = {}, high[256] = {};
  for (uint32_t u = 0; u < k; ++u) {
    const uint32_t f = frequencies[used[u]];
    ++low[f & 255];
    ++high[f >> 8];
  }
  const bool twoPasses = high[0] != k;
  for (uint32_t b = 0, at = 0; b < 256; ++b) {
    const uint32_t n = low[b];
    low[b] = at;
    at += n;
  }
  uint32_t* first = twoPasses ? temp : sorted;
  for (uint32_t u = 0; u < k; ++u) {
    const uint32_t f = frequencies[used[u]];
    first[low[f & 255]++] = f;
  }
  if (!twoPasses) return;
  for (uint32_t b = 0, at = 0; b < 256; ++b) {
    const uint32_t n = high[b];
    high[b] = at;
    at += n;
  }
  for (uint32_t u = 0; u < k; ++u) sorted[high[temp[u] >> 8]++] = temp[u];
}

// Bits of an optimal prefix code for the k >= 2 used symbols of these
// frequencies, the `skip` (0 or 1) lightest left out: the sum of the weights
// of the merged nodes of a Huffman tree, built here without regard to ties
// or length limits (which cannot make a code cheaper). Leaves sorted, merged
// nodes queued in the order made.
uint32_t OptimalCodeBits(const uint16_t* frequencies, const uint16_t* used, uint32_t k,
                         uint32_t skip, uint32_t* scratch) {
  uint32_t* leaves = scratch;
  uint32_t* merged = scratch + k;
  SortFrequencies(frequencies, used, k, leaves, merged);
  uint32_t leaf = skip, head = 0, tail = 0;
  uint32_t bits = 0;
  auto take = [&]() {
    if (leaf < k && (head == tail || leaves[leaf] <= merged[head])) return leaves[leaf++];
    return merged[head++];
  };
  for (uint32_t made = skip; made + 1 < k; ++made) {
    uint32_t weight = take();
    weight += take();
    merged[tail++] = weight;
    bits += weight;
  }
  return bits;
}

// Code-length codes sent (HCLEN + 4), at least, for a table whose k >= 1
// used symbols get some code (index k): every length in use is sent as its
// own code-length symbol, and the count reaches the last of them in the
// sending order. With k >= 2 the code is complete, so its shortest length
// is at most log2 k; and any code has a length of at least log2 k. (One
// symbol gets length 1.)
struct CodeLengthCodesTable {
  uint8_t atLeast[ValidLiteralLengthSymbols + 1];  // by k
};
constexpr CodeLengthCodesTable MakeCodeLengthCodesTable() {
  uint8_t place[CodeLengthCodes] = {};  // by code-length symbol: its place in the order
  for (uint32_t i = 0; i < CodeLengthCodes; ++i) {
    place[CodeLengthOrder[i]] = static_cast<uint8_t>(i);
  }
  CodeLengthCodesTable table{};
  table.atLeast[1] = static_cast<uint8_t>(place[1] + 1);
  for (uint32_t k = 2; k <= ValidLiteralLengthSymbols; ++k) {
    uint32_t floorLog = 0;
    while ((2u << floorLog) <= k) ++floorLog;
    const uint32_t ceilLog = (1u << floorLog) == k ? floorLog : floorLog + 1;
    uint32_t shortest = CodeLengthCodes, longest = CodeLengthCodes;
    for (uint32_t l = 1; l <= MaxCodeBits; ++l) {
      if (l <= floorLog && place[l] < shortest) shortest = place[l];
      if (l >= ceilLog && place[l] < longest) longest = place[l];
    }
    table.atLeast[k] = static_cast<uint8_t>((shortest > longest ? shortest : longest) + 1);
  }
  return table;
}
constexpr CodeLengthCodesTable CodeLengthCodesAtLeast = MakeCodeLengthCodesTable();
static_assert(CodeLengthCodesAtLeast.atLeast[1] == 18 && CodeLengthCodesAtLeast.atLeast[16] == 12 &&
                  CodeLengthCodesAtLeast.atLeast[286] == 7,
              "code-length codes sent");

// Data bits of one alphabet under any code for it (its k >= 1 used symbols
// occurring `total` times): each occurrence takes at least one bit and, with
// scratch for 2k entries, together at least those of an optimal code. `skip`
// says that a symbol occurring once (the end-of-block code) is left out:
// what any code gives the others is a prefix code for them alone, which
// costs at least their optimal code. (All frequencies are at least 1, so
// the lightest stands for it.)
uint32_t CodeBitsAtLeast(const uint16_t* frequencies, const uint16_t* used, uint32_t k,
                         uint32_t total, uint32_t skip, uint32_t* scratch) {
  uint32_t bits = total - skip;
  if (k == 1) return bits;
  if (scratch != nullptr) {
    uint32_t optimal = OptimalCodeBits(frequencies, used, k, skip, scratch);
    if (optimal > bits) bits = optimal;
  }
  return bits;
}

// Bytes of the dynamic block (data and header, as DeflatePrepareBlock prices
// them), at least. used[0..k) lists the symbols in use of the literal/length
// table (literalsUsed of them, literalsSent sent) followed by those of the
// distance table, counted from the first distance entry.
uint32_t DynamicCostAtLeast(const HuffmanWorkArea* area, const uint16_t* used,
                            uint32_t literalsUsed, uint32_t literalsSent, uint32_t distancesUsed,
                            uint32_t distancesSent, uint32_t* scratch) {
  // Header: the counts and the 3-bit code-length code lengths sent; the
  // zero runs between the used lengths exactly; a run of r nonzero lengths
  // at least (r + 1) / 2 bits, however it splits into repeats. Or: the
  // counts, the code-length code lengths and the zero runs' extra bits,
  // and the entries' codes at least as EntryCodeBitsAtLeast prices them.
  uint32_t codesSent = CodeLengthCodesAtLeast.atLeast[literalsUsed];
  if (distancesUsed > 0) {
    const uint32_t distanceCodes = CodeLengthCodesAtLeast.atLeast[distancesUsed];
    if (distanceCodes > codesSent) codesSent = distanceCodes;
  }
  uint32_t headerBits = 14 + 3 * codesSent;
  const uint32_t n = literalsSent + (distancesSent > 0 ? distancesSent : 1);
  const uint32_t k = literalsUsed + distancesUsed;
  auto position = [&](uint32_t u) {
    return u < literalsUsed ? used[u] : literalsSent + used[u];
  };
  HeaderEntries entries;
  uint32_t i = 0;
  uint32_t u = 0;
  while (i < n) {
    if (u < k && position(u) == i) {
      uint32_t r = 1;
      while (u + r < k && position(u + r) == i + r) ++r;
      headerBits += (r + 2) / 2;
      entries.AddLengthRun(r);
      u += r;
      i += r;
    } else {
      uint32_t next = u < k ? position(u) : n;
      headerBits += entries.AddZeroRun(next - i);
      i = next;
    }
  }
  const uint32_t byEntries =
      14 + 3 * codesSent + entries.ExtraBits() + EntryCodeBitsAtLeast(entries);
  if (byEntries > headerBits) headerBits = byEntries;
  // Data: the extra bits exactly, the codes at least as above.
  uint32_t dataBits = 0;
  uint32_t literals = 0;
  for (uint32_t v = 0; v < literalsUsed; ++v) {
    uint32_t s = used[v];
    literals += area->literalFrequencies[s];
    if (s > EndOfBlock) {
      dataBits += area->literalFrequencies[s] * LengthCodes[s - EndOfBlock - 1].extraBits;
    }
  }
  dataBits += CodeBitsAtLeast(area->literalFrequencies, used, literalsUsed, literals, 1, scratch);
  if (distancesUsed > 0) {
    const uint16_t* distanceUsed = used + literalsUsed;
    uint32_t distances = 0;
    for (uint32_t v = 0; v < distancesUsed; ++v) {
      uint32_t d = distanceUsed[v];
      distances += area->distanceFrequencies[d];
      dataBits += area->distanceFrequencies[d] * DistanceCodes[d].extraBits;
    }
    dataBits += CodeBitsAtLeast(area->distanceFrequencies, distanceUsed, distancesUsed,
                                distances, 0, scratch);
  }
  return ((dataBits + 7) >> 3) + ((headerBits + 7) >> 3);
}

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
