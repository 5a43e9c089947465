#include "codec/dynamic_cost_bound.h"

#include <algorithm>

#include "codec/deflate_tables.h"

namespace varnfile {

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

}  // namespace

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

}  // namespace varnfile
