// The pieces of the block writer: the word-wise bit writer, length-limited
// Huffman codes, the run-length coding of code lengths and the cost model.
#include "codec/deflate_block_writer.h"

#include <cstring>
#include <random>
#include <vector>

#include "gtest/gtest.h"

namespace varnfile {
namespace {

// ---------------------------------------------------------------------------
// Bit writer

TEST(BitWriter, BitsGoOutAsLittleEndianWordsOldestFirst) {
  uint8_t out[16];
  std::memset(out, 0xEE, sizeof(out));
  BitWriter w;
  BitWriterClear(&w);
  EXPECT_EQ(12u, BitWriterOpen(&w, out, 16));
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x5, 3));     // 101
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0xFFFF, 16));
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x1234, 16));  // crosses the first word
  EXPECT_EQ(out + 4, w.current);
  EXPECT_EQ(3u, w.bitCount);
  EXPECT_EQ(5u, BitWriterFinish(&w, 1));
  const uint8_t expected[5] = {0xFD, 0xFF, 0xA7, 0x91, 0x00};
  EXPECT_EQ(0, std::memcmp(expected, out, 5));
}

TEST(BitWriter, FullOutputLeavesTheWriterUnchanged) {
  uint8_t out[9];
  BitWriter w;
  BitWriterClear(&w);
  BitWriterOpen(&w, out, 9);  // 8 usable: one whole word, then the final one
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0xFFFF, 16));
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0xFFFF, 16));  // stores word 1
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x7FFF, 15));
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x1, 1));
  EXPECT_EQ(1u, BitWriterPutBits(&w, 0x3, 16));  // a second word is due
  EXPECT_EQ(16u, w.bitCount);
  EXPECT_EQ(0xFFFFu, w.bitBuffer);
  EXPECT_EQ(4u, BitWriterFinish(&w, 0)) << "an interrupted call reports whole words";
  EXPECT_EQ(6u, BitWriterFinish(&w, 1));
}

TEST(BitWriter, BytesPadToABoundaryAndRealignToTheWordGrid) {
  uint8_t out[32];
  BitWriter w;
  BitWriterClear(&w);
  BitWriterOpen(&w, out, 32);
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x1, 3));
  const uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(0u, BitWriterPutBytes(&w, data, 7));
  // 1 padded byte + 7 = 8: back on the grid.
  EXPECT_EQ(out + 8, w.current);
  EXPECT_EQ(0u, w.bitCount);
  EXPECT_EQ(0u, BitWriterPutBytes(&w, data, 3));  // 11 bytes: 3 go back
  EXPECT_EQ(out + 8, w.current);
  EXPECT_EQ(24u, w.bitCount);
  EXPECT_EQ(0x030201u, w.bitBuffer);
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0xAB, 8));
  EXPECT_EQ(12u, BitWriterFinish(&w, 1));
  const uint8_t expected[12] = {1, 1, 2, 3, 4, 5, 6, 7, 1, 2, 3, 0xAB};
  EXPECT_EQ(0, std::memcmp(expected, out, 12));
}

TEST(BitWriter, BytesThatDoNotFitReportFullWithThePaddingDone) {
  uint8_t out[12];
  BitWriter w;
  BitWriterClear(&w);
  BitWriterOpen(&w, out, 12);
  EXPECT_EQ(0u, BitWriterPutBits(&w, 0x7, 3));
  const uint8_t data[8] = {};
  EXPECT_EQ(1u, BitWriterPutBytes(&w, data, 8));
  EXPECT_EQ(0u, w.bitCount);
  EXPECT_EQ(1u, BitWriterFinish(&w, 0));
  EXPECT_EQ(0x07, out[0]);
}

// ---------------------------------------------------------------------------
// Huffman codes

std::vector<uint16_t> Frequencies(const std::vector<uint16_t>& values) { return values; }

// Checks lengths within the limit, a complete prefix code (Kraft sum 1) and
// that the codes are distinct canonical codes.
void ExpectCompleteCode(const CodeEntry* codes, const std::vector<uint16_t>& f, uint32_t maxBits) {
  uint64_t kraft = 0;
  uint32_t used = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == 0) {
      EXPECT_EQ(0u, codes[i].length) << i;
      continue;
    }
    ++used;
    ASSERT_GE(codes[i].length, 1u) << i;
    ASSERT_LE(codes[i].length, maxBits) << i;
    kraft += uint64_t{1} << (15 - codes[i].length);
  }
  if (used >= 2) {
    EXPECT_EQ(uint64_t{1} << 15, kraft);
  }
  for (size_t i = 0; i < f.size(); ++i) {
    for (size_t j = i + 1; j < f.size(); ++j) {
      if (codes[i].length == 0 || codes[j].length == 0) continue;
      uint32_t l = std::min(codes[i].length, codes[j].length);
      uint32_t mask = (1u << l) - 1;
      bool distinct = (codes[i].code & mask) != (codes[j].code & mask);
      EXPECT_TRUE(distinct) << i << " prefixes " << j;
    }
  }
}

TEST(HuffmanCodes, SmallExampleGivesCanonicalReversedCodes) {
  HuffmanWorkArea work;
  CodeEntry codes[4] = {};
  auto f = Frequencies({1, 1, 2, 4});
  BuildCodeLengths(codes, f.data(), &work, 4, 15);
  EXPECT_EQ(3, codes[0].length);
  EXPECT_EQ(3, codes[1].length);
  EXPECT_EQ(2, codes[2].length);
  EXPECT_EQ(1, codes[3].length);
  // Canonical 110, 111, 10, 0, written least significant bit first.
  EXPECT_EQ(0x3, static_cast<int>(codes[0].code));
  EXPECT_EQ(0x7, static_cast<int>(codes[1].code));
  EXPECT_EQ(0x1, static_cast<int>(codes[2].code));
  EXPECT_EQ(0x0, static_cast<int>(codes[3].code));
}

TEST(HuffmanCodes, SingleUsedSymbolGetsLengthOneAndCodeZero) {
  HuffmanWorkArea work;
  std::vector<CodeEntry> codes(30);
  std::memset(codes.data(), 0, codes.size() * sizeof(CodeEntry));
  std::vector<uint16_t> values(30, 0);
  values[17] = 900;
  auto f = Frequencies(values);
  BuildCodeLengths(codes.data(), f.data(), &work, 30, 15);
  EXPECT_EQ(1, codes[17].length);
  EXPECT_EQ(0, static_cast<int>(codes[17].code));
  for (size_t i = 0; i < codes.size(); ++i) {
    if (i != 17) {
      EXPECT_EQ(0, codes[i].length);
    }
  }
}

TEST(HuffmanCodes, SkewedFrequenciesAreRescaledWithinFifteenBits) {
  // Fibonacci frequencies would give a 22-bit code.
  std::vector<uint16_t> values(286, 0);
  uint32_t a = 1, b = 1;
  for (int i = 0; i < 22; ++i) {
    values[i * 11] = static_cast<uint16_t>(a);
    uint32_t next = a + b;
    a = b;
    b = next;
  }
  values[256] = 1;
  auto f = Frequencies(values);
  HuffmanWorkArea work;
  std::vector<CodeEntry> codes(286);
  std::memset(codes.data(), 0, codes.size() * sizeof(CodeEntry));
  BuildCodeLengths(codes.data(), f.data(), &work, 286, 15);
  ExpectCompleteCode(codes.data(), f, 15);

  // Within one block of 4096 symbols: 1, 1, 1, 2, 3, ..., 987 needs 16 bits.
  std::vector<uint16_t> block(286, 0);
  a = 1, b = 1;
  block[0] = 1;
  for (int i = 1; i <= 16; ++i) {
    block[i * 13] = static_cast<uint16_t>(a);
    uint32_t next = a + b;
    a = b;
    b = next;
  }
  f = Frequencies(block);
  std::memset(codes.data(), 0, codes.size() * sizeof(CodeEntry));
  BuildCodeLengths(codes.data(), f.data(), &work, 286, 15);
  ExpectCompleteCode(codes.data(), f, 15);
}

TEST(HuffmanCodes, CodeLengthCodeStaysWithinSevenBits) {
  std::vector<uint16_t> values = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 0, 0, 1, 1, 2};
  auto f = Frequencies(values);
  HuffmanWorkArea work;
  CodeEntry codes[19] = {};
  BuildCodeLengths(codes, f.data(), &work, 19, 7);
  ExpectCompleteCode(codes, f, 7);
}

TEST(HuffmanCodes, RandomFrequenciesAlwaysGiveCompleteLimitedCodes) {
  std::mt19937 rng(11);
  HuffmanWorkArea work;
  for (int round = 0; round < 300; ++round) {
    uint32_t n = 2 + rng() % 285;
    uint32_t maxBits = round % 3 == 0 ? 7 : 15;
    if (maxBits == 7) n = 2 + n % 18;
    std::vector<uint16_t> values(n);
    for (auto& v : values) {
      uint32_t kind = rng() % 4;
      v = static_cast<uint16_t>(kind == 0 ? 0 : kind == 1 ? 1 : rng() % (kind == 2 ? 50 : 4000));
    }
    values[rng() % n] = static_cast<uint16_t>(1 + rng() % 4000);
    auto f = Frequencies(values);
    std::vector<CodeEntry> codes(n);
    std::memset(codes.data(), 0, n * sizeof(CodeEntry));
    BuildCodeLengths(codes.data(), f.data(), &work, n, maxBits);
    ExpectCompleteCode(codes.data(), f, maxBits);
  }
}

// ---------------------------------------------------------------------------
// Run-length coding of code lengths

std::vector<CodeEntry> Lengths(const std::vector<uint8_t>& lengths) {
  std::vector<CodeEntry> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i) codes[i] = CodeEntry{0, lengths[i]};
  return codes;
}

std::vector<std::vector<int>> Encode(const std::vector<uint8_t>& lengths) {
  auto codes = Lengths(lengths);
  std::vector<LengthEntry> entries(lengths.size() + 1);
  uint32_t n = EncodeLengths(entries.data(), codes.data(), static_cast<uint32_t>(codes.size()));
  std::vector<std::vector<int>> out;
  for (uint32_t i = 0; i < n; ++i) {
    out.push_back({entries[i].symbol, entries[i].extraBits, entries[i].extraValue});
  }
  return out;
}

TEST(EncodeLengths, EightEqualLengthsAreLengthRepeatSixLength) {
  EXPECT_EQ((std::vector<std::vector<int>>{{5, 0, 0}, {16, 2, 3}, {5, 0, 0}}),
            Encode(std::vector<uint8_t>(8, 5)));
}

TEST(EncodeLengths, HundredFortyZerosAreOneLongRepeatAndTwoZeros) {
  EXPECT_EQ((std::vector<std::vector<int>>{{18, 7, 127}, {0, 0, 0}, {0, 0, 0}}),
            Encode(std::vector<uint8_t>(140, 0)));
}

TEST(EncodeLengths, ShortRunsAndTheSymbolBoundaries) {
  EXPECT_EQ((std::vector<std::vector<int>>{{4, 0, 0}, {4, 0, 0}, {4, 0, 0}}),
            Encode({4, 4, 4}));
  EXPECT_EQ((std::vector<std::vector<int>>{{4, 0, 0}, {16, 2, 0}}), Encode({4, 4, 4, 4}));
  EXPECT_EQ((std::vector<std::vector<int>>{{0, 0, 0}, {0, 0, 0}, {7, 0, 0}}), Encode({0, 0, 7}));
  EXPECT_EQ((std::vector<std::vector<int>>{{17, 3, 0}, {7, 0, 0}}), Encode({0, 0, 0, 7}));
  EXPECT_EQ((std::vector<std::vector<int>>{{17, 3, 7}}), Encode(std::vector<uint8_t>(10, 0)));
  EXPECT_EQ((std::vector<std::vector<int>>{{18, 7, 0}}), Encode(std::vector<uint8_t>(11, 0)));
  // A run crosses from the literal/length lengths into the distance lengths.
  EXPECT_EQ((std::vector<std::vector<int>>{{8, 0, 0}, {16, 2, 1}, {0, 0, 0}, {3, 0, 0}}),
            Encode({8, 8, 8, 8, 8, 0, 3}));
}

// ---------------------------------------------------------------------------
// Costs

TEST(BlockCosts, DataAndHeaderCostsRoundUpToBytes) {
  CodeEntry literals[286] = {};
  CodeEntry distances[30] = {};
  literals['a'].length = 3;
  literals[257 + 10].length = 4;  // length code 10: 15-16, 1 extra bit
  distances[20].length = 5;       // distance code 20: 1025-1536, 9 extra bits
  SymbolEntry symbols[3] = {{0, 'a', 0}, {0, 'a', 0}, {1100, 10, 20}};
  EXPECT_EQ((3u + 3u + 4u + 1u + 5u + 9u + 7u) >> 3, DataCost(literals, distances, symbols, 3));

  CodeEntry lengthCodes[19] = {};
  lengthCodes[18].length = 2;
  lengthCodes[5].length = 1;
  LengthEntry entries[2] = {{18, 7, 100}, {5, 0, 0}};
  // 14 + 3 * 4 + (2 + 7) + 1 = 36 bits.
  EXPECT_EQ(5u, HeaderCost(entries, 2, lengthCodes, 4));
}

}  // namespace
}  // namespace varnfile
