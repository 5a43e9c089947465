// Building decoding tables from code lengths: which codes are accepted and
// rejected, and the primary entries of accepted short codes.
#include "codec/huffman_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace varnfile {
namespace {

std::vector<uint8_t> Lengths(size_t n, size_t symbol, uint8_t length) {
  std::vector<uint8_t> lengths(n, 0);
  lengths[symbol] = length;
  return lengths;
}

// A TableArea-shaped scratch for one literal/length build.
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&area_, 0xCD, sizeof area_); }

  // Fills the literal lengths region from a list and builds the literal table.
  uint32_t Build(const std::vector<uint8_t>& lengths) {
    std::memset(area_.literalLengths, 0, sizeof area_.literalLengths);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      CodeLengthList(area_.literalLengths)[symbol] = lengths[symbol];
      if (lengths[symbol] != 0) ++area_.literalLengths[lengths[symbol] - 1];
    }
    return BuildHuffmanTable(area_.literalLengths, &area_.literalTable, area_.scratch,
                             static_cast<uint32_t>(lengths.size()));
  }

  TableArea area_;
};

// Accepted codes fill all 256 entries: each entry i holds the symbol whose
// reversed code is a prefix of i. Unreached entries read symbol 0, 8 bits.
TEST_F(TableTest, AcceptedCodesFillEveryEntry) {
  struct Case {
    std::vector<uint8_t> lengths;
    std::vector<std::pair<uint32_t, uint32_t>> expect;  // {mask, value}: symbol, length
    std::vector<std::pair<int16_t, uint8_t>> entries;
  } cases[] = {
      // 0, 10, 110, 111; read first bit first: 0, 01, 011, 111.
      {{1, 2, 3, 3}, {{1, 0}, {3, 1}, {7, 3}, {7, 7}}, {{0, 1}, {1, 2}, {2, 3}, {3, 3}}},
      {{1, 1}, {{1, 0}, {1, 1}}, {{0, 1}, {1, 1}}},
      {{0, 0, 1, 0}, {{1, 0}, {1, 1}}, {{2, 1}, {0, 8}}},  // a single code
      {std::vector<uint8_t>(30, 0), {{0, 0}}, {{0, 8}}},    // no code at all
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Build(c.lengths), 0u) << c.lengths.size();
    for (uint32_t i = 0; i < 256; ++i) {
      size_t k = 0;
      while ((i & c.expect[k].first) != c.expect[k].second) ++k;
      EXPECT_EQ(area_.literalTable.entries[i], c.entries[k].first) << i;
      EXPECT_EQ(area_.literalTable.entryLengths[i], c.entries[k].second) << i;
    }
  }
  ASSERT_EQ(Build(Lengths(40, 33, 12)), 0u);  // a single long code continues in the tree
  EXPECT_LT(area_.literalTable.entries[0], 0);
}

TEST_F(TableTest, OverSubscribedAndIncompleteCodesAreRejected) {
  std::vector<uint8_t> fifteen = Lengths(288, 0, 15);  // 3 codes of 15 bits: incomplete
  fifteen[1] = fifteen[2] = 15;
  for (const auto& lengths : {std::vector<uint8_t>{1, 1, 2}, std::vector<uint8_t>{2, 2, 2},
                              std::vector<uint8_t>{1, 2}, std::vector<uint8_t>(288, 8), fifteen}) {
    EXPECT_EQ(Build(lengths), 1u) << lengths.size();
  }
}

}  // namespace
}  // namespace varnfile
