// The compressor through its call protocol: every stream decodes with zlib's
// raw inflate (8 KB window) and with our Inflate, does not depend on how
// input and output are split, and is pinned byte for byte where a test can
// know it; and the length-limited Huffman codes of the block writer.
#include "codec/deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codec/huffman_codes.h"
#include "codec_test_util.h"

namespace varnfile {
namespace {

// No three-byte sequence twice: runs of j * k (mod 256) for odd strides k.
Bytes DistinctTrigrams(size_t n) {
  Bytes out;
  for (uint32_t k = 1; out.size() < n; k += 2) {
    for (uint32_t j = 0; j < 256; ++j) out.push_back(static_cast<uint8_t>(j * k));
  }
  out.resize(n);
  return out;
}

// Streams decode with zlib, stay close to the data's size when it does not
// compress, and do not depend on the output room per call. (Input pieces:
// the deflate fuzz target.)
TEST(Deflate, EveryKindOfDataRoundTripsHoweverTheOutputIsSplit) {
  std::vector<Bytes> corpus = {{}, {'a'}, {7, 7, 7}, Sample(TextData, 20000, 1), Sample(SkewedData, 30000, 2),
                               Bytes(50000, 'x'), Sample(RandomData, 40000, 3), DistinctTrigrams(4097),
                               Sample(SkewedData, 19, 1),  // dynamic codes win by one byte
                               Sample(TextData, 70000, 4)};
  for (const Bytes& part : {Sample(RandomData, 50000, 5), Sample(SkewedData, 60000, 6),
                            Bytes(30000, 0), Sample(RunData, 40000, 7)}) {
    corpus.back().insert(corpus.back().end(), part.begin(), part.end());
  }
  // Chained, "qzk" comes back a window later as the last two bytes of one
  // item and the first of the next, never inserted; it must still be found.
  corpus.push_back(Str("qzk"));
  corpus.back().resize(WindowSize - 2);
  corpus.push_back(Str(std::string(2, '\0') + "qz"));
  corpus.push_back(Str("k----------qzk"));
  // The streams are fixed byte for byte (a faster compressor must give the
  // same bytes): a hash of the whole corpus in both modes, one engine
  // carried from item to item and one reset for each.
  uint64_t hash = 14695981039346656037u;
  Engines chained, independent;
  for (const Bytes& data : corpus) {
    for (const Bytes& pinned : {Compress(chained.deflate, data, DeflateFlushChained),
                                Compress(independent.deflate, data, DeflateFlushReset)}) {
      for (uint8_t byte : pinned) hash = (hash ^ byte) * 1099511628211u;
    }
  }
  EXPECT_EQ(hash, 11012937170684566186u);
  for (const Bytes& data : corpus) {
    SCOPED_TRACE(data.size());
    int calls = 0;
    Bytes stream = Compress(Engines().deflate, data, DeflateFlushChained, 0, 0, &calls);
    EXPECT_EQ(calls, 1) << "one call with ample room completes the stream";
    EXPECT_TRUE(ZlibGives(stream, data));
    EXPECT_LE(stream.size(), data.size() + data.size() / 64 + 8);
    for (uint32_t room : {8u, 13u, 4096u})
      EXPECT_EQ(Compress(Engines().deflate, data, DeflateFlushChained, room), stream) << room;
  }
}

TEST(Deflate, ExactStreams) {
  const struct { Bytes data; uint32_t mode; Bytes stream; } cases[] = {
      {{}, DeflateFlushReset, {0x03, 0x00}},  // one empty final fixed block
      {{}, DeflateFlushChained, {0x03, 0x00}},
      {{'a'}, DeflateFlushReset, {0x4B, 0x04, 0x00}},  // 'a' = 0x30 + 0x61 on 8 bits
      {{'a', 'a'}, DeflateFlushReset, {0x4B, 0x4C, 0x04, 0x00}},
      // Literals a, b, c; length 6 (symbol 260), distance 3 (code 2); end.
      {Str("abcabcabc"), DeflateFlushReset, {0x4B, 0x4C, 0x4A, 0x86, 0x20, 0x00}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Compress(Engines().deflate, c.data, c.mode), c.stream) << c.data.size();
  // Literal 'z' and four length-258 distance-1 matches: 3 + 8 + 4 * 13 + 7 bits.
  Engines engines;
  Bytes run(1 + 258 * 4, 'z');
  Bytes stream = Compress(engines.deflate, run, DeflateFlushReset);
  EXPECT_EQ(stream.size(), 9u);
  EXPECT_TRUE(ZlibGives(stream, run));

  // Incompressible data: stored blocks of 4,096 bytes (not final, LEN,
  // NLEN, the bytes), the second one final.
  Bytes data = DistinctTrigrams(8192);
  stream = Compress(engines.deflate, data, DeflateFlushReset);
  EXPECT_EQ(stream.size(), 2 * (5u + 4096u));
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 5), (Bytes{0x00, 0x00, 0x10, 0xFF, 0xEF}));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4096, stream.begin() + 5));
  EXPECT_EQ(stream[4096 + 5], 0x01);

  // Output room below 8 bytes is refused: nothing consumed or written.
  uint8_t out[7];
  uint32_t in = 3, room = sizeof out;
  EXPECT_EQ(DeflateCompress(data.data(), &in, out, &room, engines.deflate, DeflateFlushReset), 0u);
  EXPECT_EQ(in + room, 0u);
}

// Code lengths within the limit, unused symbols without a code, a complete
// prefix code (Kraft sum 1) and no code a prefix of another: properties a
// decoder cannot check for us, since zlib accepts any valid code.
void ExpectLimitedCompleteCode(const std::vector<uint16_t>& f, uint32_t maxBits) {
  HuffmanWorkArea work;
  std::vector<CodeEntry> codes(f.size(), CodeEntry{});
  BuildCodeLengths(codes.data(), f.data(), &work, static_cast<uint32_t>(f.size()), maxBits);
  uint64_t kraft = 0, used = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    const uint32_t length = codes[i].length;
    ASSERT_EQ(f[i] == 0, length == 0) << i;
    if (length == 0) continue;
    ++used;
    ASSERT_LE(length, maxBits) << i;
    kraft += uint64_t{1} << (15 - length);
    for (size_t j = 0; j < i; ++j) {
      uint32_t mask = (1u << std::min<uint32_t>(length, codes[j].length)) - 1;
      bool prefix = codes[j].length != 0 && (codes[i].code & mask) == (codes[j].code & mask);
      EXPECT_FALSE(prefix) << i << " and " << j;
    }
  }
  EXPECT_EQ(kraft, used >= 2 ? uint64_t{1} << 15 : used << 14);
}

TEST(HuffmanCodes, LimitedCompleteCanonicalCodes) {
  // One used symbol gets length 1. Fibonacci frequencies would need 22 bits.
  // (The codes' bits themselves: every stream zlib decodes.)
  std::vector<uint16_t> single(30, 0), fib(286, 0);
  single[17] = 900;
  for (uint32_t i = 0, a = 1, b = 1; i < 22; ++i, b += a, a = b - a) fib[i * 11] = static_cast<uint16_t>(a);
  fib[256] = 1;
  ExpectLimitedCompleteCode(single, 15);
  ExpectLimitedCompleteCode(fib, 15);
  ExpectLimitedCompleteCode({1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 0, 1, 2}, 7);
}

// Code-length code frequencies whose weights, scaled once to the 7-bit
// budget of 74, still give an 8-bit code. The rebuild after that scales by
// the budget over the scaled total; these are the lengths it gives, and so
// the bytes of a block that sends them.
TEST(HuffmanCodes, ASecondRescaleScalesByTheScaledTotal) {
  std::vector<uint16_t> f(19, 0);
  const uint16_t used[] = {0, 3, 4, 5, 7, 8, 9, 10, 11, 16, 17};
  const uint16_t counts[] = {60, 2, 1, 1, 30, 89, 12, 11, 2, 3, 11};
  const uint8_t lengths[] = {2, 4, 4, 5, 3, 2, 4, 5, 5, 5, 4};
  for (size_t i = 0; i < 11; ++i) f[used[i]] = counts[i];
  ExpectLimitedCompleteCode(f, 7);
  HuffmanWorkArea work;
  std::vector<CodeEntry> codes(f.size(), CodeEntry{});
  BuildCodeLengths(codes.data(), f.data(), &work, static_cast<uint32_t>(f.size()), 7);
  for (size_t i = 0; i < 11; ++i) EXPECT_EQ(lengths[i], codes[used[i]].length) << used[i];
}

// Which of several equal symbols gets the shorter code follows from the
// order in which the heap hands out equal weights. The streams' bytes
// depend on it: these lengths pin that order.
TEST(HuffmanCodes, TiesBreakAsTheHeapOrdersThem) {
  std::vector<uint16_t> quarters(40), gaps(30);
  for (uint16_t i = 0; i < 40; ++i) quarters[i] = static_cast<uint16_t>(i % 4 + 1);
  for (uint16_t i = 0; i < 30; ++i)
    gaps[i] = static_cast<uint16_t>((i * 7) % 5 == 0 ? 0 : (i * 5) % 3 + 2);
  const struct { std::vector<uint16_t> frequencies; std::vector<uint8_t> lengths; } cases[] = {
      {std::vector<uint16_t>(12, 1), {4, 3, 4, 4, 4, 4, 4, 3, 3, 4, 3, 4}},
      {{1, 1, 1, 2, 2, 3, 3, 3, 5, 8, 8, 13, 0, 1}, {5, 5, 5, 5, 5, 4, 4, 4, 3, 3, 3, 2, 0, 5}},
      {quarters, {6, 6, 5, 5, 6, 5, 5, 5, 6, 6, 5, 5, 6, 5, 5, 5, 6, 6, 5, 5,
                  6, 6, 5, 5, 6, 5, 5, 5, 6, 5, 5, 5, 6, 6, 5, 5, 6, 6, 5, 5}},
      {gaps, {0, 4, 5, 5, 4, 0, 5, 4, 5, 5, 0, 5, 5, 4, 5, 0, 4, 5, 5, 4, 0, 5, 4, 5, 5, 0, 5, 5, 4, 5}},
  };
  for (const auto& c : cases) {
    HuffmanWorkArea work;
    std::vector<CodeEntry> codes(c.frequencies.size(), CodeEntry{});
    BuildCodeLengths(codes.data(), c.frequencies.data(), &work,
                     static_cast<uint32_t>(c.frequencies.size()), 15);
    std::vector<uint8_t> lengths;
    for (const CodeEntry& code : codes) lengths.push_back(code.length);
    EXPECT_EQ(lengths, c.lengths) << c.frequencies.size();
  }
}

}  // namespace
}  // namespace varnfile
