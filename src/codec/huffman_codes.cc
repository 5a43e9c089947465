#include "codec/huffman_codes.h"

#include <cstring>

#include "codec/deflate_tables.h"

namespace varnfile {

namespace {

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

// Removes the root: the last node takes its place, as with SiftDown from
// slot 0 after moving it there, with the same result. The last node is
// mostly heavy and sinks to the bottom, so the hole goes all the way down
// first (one comparison per level, between the children) and the node then
// rises back past the children that are not lighter than it (SiftDown
// stops above equal keys, so it rises past them too).
void PopRoot(uint32_t* heapKeys, uint16_t* heap, uint32_t size) {
  const uint32_t last = size - 1;
  const uint32_t moving = heap[last];
  const uint32_t movingKey = heapKeys[last];
  heapKeys[last] = 0xFFFFFFFFu;
  uint32_t slot = 0;
  for (;;) {
    uint32_t child = 2 * slot + 1;
    if (child >= last) break;
    child += heapKeys[child + 1] < heapKeys[child] ? 1 : 0;
    heap[slot] = heap[child];
    heapKeys[slot] = heapKeys[child];
    slot = child;
  }
  while (slot > 0) {
    const uint32_t parent = (slot - 1) / 2;
    if (heapKeys[parent] < movingKey) break;
    heap[slot] = heap[parent];
    heapKeys[slot] = heapKeys[parent];
    slot = parent;
  }
  heap[slot] = static_cast<uint16_t>(moving);
  heapKeys[slot] = movingKey;
}

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

// Rebuilds from rescaled weights before BuildCodeLengths gives up on them.
// One is nearly always enough, two rarely needed; the cap only ends a
// sequence that would go round for ever.
constexpr uint32_t MaxRescales = 16;

}  // namespace

// Four frequencies are tested at a time: small blocks use few of the 286
// literal/length symbols.
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
      PopRoot(heapKeys, heap, size);
      --size;
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
    // Too long: rebuild from the frequencies scaled by the budget over the
    // total of the weights just used. The first time that total is the
    // frequencies' own sum; scaled weights can still be too deep (the 7-bit
    // code-length code, whose budget is only 74), and the next rebuild
    // scales by the budget over the scaled total, which the stream format
    // fixes too. Should rebuilds ever go round without end, equal weights
    // give a balanced tree, far within the limit for alphabets of at most
    // 288.
    if (rebuilds < MaxRescales) {
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

}  // namespace varnfile
