// Length-limited Huffman codes: properties a decoder cannot check for us
// (zlib accepts any valid code, so over-long or incomplete ones must be
// caught here). Bit output and header coding are checked by the round
// trips through zlib.
#include "codec/deflate_block_writer.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "gtest/gtest.h"

namespace varnfile {
namespace {

// Lengths within the limit, unused symbols without a code, a complete
// prefix code (Kraft sum 1) and no code a prefix of another.
void BuildAndCheck(const std::vector<uint16_t>& f, uint32_t maxBits) {
  HuffmanWorkArea work;
  std::vector<CodeEntry> codes(f.size());
  std::memset(codes.data(), 0, codes.size() * sizeof(CodeEntry));
  BuildCodeLengths(codes.data(), f.data(), &work, static_cast<uint32_t>(f.size()), maxBits);
  uint64_t kraft = 0;
  uint32_t used = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    const uint32_t length = codes[i].length, code = codes[i].code;
    ASSERT_EQ(f[i] == 0, length == 0) << i;
    if (length == 0) continue;
    ++used;
    ASSERT_LE(length, maxBits) << i;
    kraft += uint64_t{1} << (15 - length);
    for (size_t j = 0; j < i; ++j) {
      const uint32_t other = codes[j].length, otherCode = codes[j].code;
      if (other == 0) continue;
      uint32_t mask = (1u << std::min(length, other)) - 1;
      EXPECT_NE(code & mask, otherCode & mask) << i << " and " << j;
    }
  }
  EXPECT_EQ(used >= 2 ? uint64_t{1} << 15 : used == 1 ? uint64_t{1} << 14 : 0, kraft);
}

TEST(HuffmanCodes, LimitedCompleteCanonicalCodes) {
  // 1, 1, 2, 4: lengths 3, 3, 2, 1; canonical 110, 111, 10, 0 written LSB first.
  HuffmanWorkArea work;
  CodeEntry codes[4] = {};
  const uint16_t f[4] = {1, 1, 2, 4};
  BuildCodeLengths(codes, f, &work, 4, 15);
  const uint32_t lengths[4] = {3, 3, 2, 1}, bits[4] = {0x3, 0x7, 0x1, 0x0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(lengths[i], static_cast<uint32_t>(codes[i].length)) << i;
    EXPECT_EQ(bits[i], static_cast<uint32_t>(codes[i].code)) << i;
  }
  std::vector<uint16_t> single(30, 0);
  single[17] = 900;  // one used symbol: length 1
  BuildAndCheck(single, 15);
  // Fibonacci frequencies would need 22 bits (and 1, 1, 1, ..., 987 16 bits).
  std::vector<uint16_t> fib(286, 0), block(286, 0);
  block[0] = 1;
  for (uint32_t i = 0, a = 1, b = 1; i < 22; ++i, b += a, a = b - a) {
    fib[i * 11] = static_cast<uint16_t>(a);
    if (i < 16) block[(i + 1) * 13] = static_cast<uint16_t>(a);
  }
  fib[256] = 1;
  BuildAndCheck(fib, 15);
  BuildAndCheck(block, 15);
  BuildAndCheck({1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 0, 0, 1, 1, 2}, 7);
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    uint32_t maxBits = round % 3 == 0 ? 7 : 15;
    uint32_t n = maxBits == 7 ? 2 + rng() % 18 : 2 + rng() % 285;
    std::vector<uint16_t> values(n);
    for (auto& v : values) {
      uint32_t kind = rng() % 4;
      v = static_cast<uint16_t>(kind == 0 ? 0 : kind == 1 ? 1 : rng() % (kind == 2 ? 50 : 4000));
    }
    values[rng() % n] = static_cast<uint16_t>(1 + rng() % 4000);
    BuildAndCheck(values, maxBits);
  }
}

}  // namespace
}  // namespace varnfile
