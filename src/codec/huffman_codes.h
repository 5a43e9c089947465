// Length-limited Huffman codes for the compressor's blocks: code lengths
// from a block's frequencies, canonical codes, the run-length coding of the
// lengths that a dynamic header sends, and the costs in bytes of a block's
// header and symbols that the block writer compares.
#ifndef VARNFILE_CODEC_HUFFMAN_CODES_H_
#define VARNFILE_CODEC_HUFFMAN_CODES_H_

#include <cstdint>

namespace varnfile {

#pragma pack(push, 1)
// One symbol's Huffman code, bit-reversed so that it is written least
// significant bit first with a single shift. length 0: symbol unused.
struct CodeEntry {
  uint16_t code;
  uint8_t length;
};

// One item of the run-length coded sequence of code lengths.
struct LengthEntry {
  uint8_t symbol;      // code-length symbol 0..18
  uint8_t extraBits;   // 0, or 2 (16), 3 (17), 7 (18)
  uint8_t extraValue;  // repeat count - 3 (16, 17) or - 11 (18)
};

#pragma pack(pop)

// The scratch of one compressor for coding a block. The three code tables
// share codes[]: the literal/length codes in use, then the distance codes,
// then the code-length codes, without gaps, so that the run-length coder sees
// the literal/length and distance lengths as one sequence. While a dynamic
// header is prepared, the first 19 literal/length frequencies serve as the
// code-length frequencies (the literal codes are built by then).
struct HuffmanWorkArea {
  // Node scratch of BuildCodeLengths, up to 2 x 288 nodes: leaves first,
  // then the merged nodes numbered downwards from 2k - 1.
  uint32_t keys[576];      // weight << 16 | subtree depth; later the depth in the tree
  uint32_t heapKeys[288 + 1];  // the keys of the heap's nodes, slot by slot, and a sentinel
  uint16_t heap[288];      // node numbers
  uint16_t parents[576];   // node numbers; 0 above the root
  uint16_t literalFrequencies[286];
  uint16_t distanceFrequencies[30];
  CodeEntry codes[286 + 30 + 19];
  // The symbols in use of the two tables, in increasing order, the distance
  // codes counted from the first one after the literal/length codes sent.
  uint16_t usedSymbols[286 + 30];
  LengthEntry lengths[286 + 30];
};
static_assert(sizeof(CodeEntry) == 3 && sizeof(LengthEntry) == 3, "packed entries");

// Writes the symbols i < n with nonzero frequency to used[], in increasing
// order, and returns their number.
uint32_t UsedSymbols(const uint16_t* frequencies, uint32_t n, uint16_t* used);

// Sets codes[i].length for every symbol i < n with nonzero frequency, a
// Huffman code of at most maxBits bits, and codes[i].code, the canonical
// (RFC 1951) code bit-reversed. Entries of unused symbols are left as they
// are. A code that comes out longer than maxBits is rebuilt once from
// frequencies scaled down to the weight budget of maxBits. work provides
// the node scratch.
void BuildCodeLengths(CodeEntry* codes, const uint16_t* frequencies, HuffmanWorkArea* work,
                      uint32_t n, uint32_t maxBits);
// The same for the symbols in use given in used[0..k), increasing: exactly
// those with nonzero frequency.
void BuildUsedCodeLengths(CodeEntry* codes, const uint16_t* frequencies, HuffmanWorkArea* work,
                          const uint16_t* used, uint32_t k, uint32_t maxBits);
// Run-length codes the lengths of codes[0..n) into entries; returns the
// number of entries (at most n).
uint32_t EncodeLengths(LengthEntry* entries, const CodeEntry* codes, uint32_t n);
// The same, given the symbols with nonzero length in used[0..k), increasing.
uint32_t EncodeLengths(LengthEntry* entries, const CodeEntry* codes, uint32_t n,
                       const uint16_t* used, uint32_t k);
// Bytes of a dynamic header after the 3 block-header bits.
uint32_t HeaderCost(const LengthEntry* entries, uint32_t count, const CodeEntry* lengthCodes,
                    uint32_t codesSent);
// Bytes of the block's symbols under the given codes (end of block
// excluded), from the frequencies of the symbols in use: the literal/length
// symbols used[0..literals), increasing, and the distance codes
// used[literals..literals + distances) - distanceBase.
uint32_t DataCost(const CodeEntry* literalCodes, const CodeEntry* distanceCodes,
                  const HuffmanWorkArea* area, const uint16_t* used, uint32_t literals,
                  uint32_t distances, uint32_t distanceBase);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_HUFFMAN_CODES_H_
