// Building decoding tables from code lengths: the accept/reject rule, the
// primary entries of short codes, the tree below long ones, the fixed code.
#include "codec/huffman_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/inflate.h"
#include "codec/inflate_test_util.h"

namespace varnfile {
namespace {

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

  // Decodes one code from the next bits (first bit in bit 0) the way the
  // decompressor does; returns the symbol and sets *bits to the code length.
  int32_t Decode(uint32_t input, uint32_t* bits) {
    const HuffmanTable& table = area_.literalTable;
    int32_t entry = table.entries[input & 0xff];
    if (entry >= 0) {
      *bits = table.entryLengths[input & 0xff];
      return entry;
    }
    const int16_t* nodes = TreeNodes(&table);
    int32_t ref = ~entry;
    for (uint32_t i = 0; i < 7; ++i) {
      int32_t slot = nodes[ref + ((input >> (8 + i)) & 1)];
      if (slot >= 0) {
        *bits = 9 + i;
        return slot;
      }
      ref = ~slot;
    }
    return -1;
  }

  TableArea area_;
};

TEST_F(TableTest, CompleteShortCode) {
  // Codes 0, 10, 110, 111; reversed (first bit in bit 0): 0, 01, 011, 111.
  ASSERT_EQ(Build({1, 2, 3, 3}), 0u);
  for (uint32_t i = 0; i < 256; ++i) {
    SCOPED_TRACE(i);
    if (i % 2 == 0) {
      EXPECT_EQ(area_.literalTable.entries[i], 0);
      EXPECT_EQ(area_.literalTable.entryLengths[i], 1);
    } else if (i % 4 == 1) {
      EXPECT_EQ(area_.literalTable.entries[i], 1);
      EXPECT_EQ(area_.literalTable.entryLengths[i], 2);
    } else if (i % 8 == 3) {
      EXPECT_EQ(area_.literalTable.entries[i], 2);
      EXPECT_EQ(area_.literalTable.entryLengths[i], 3);
    } else {
      EXPECT_EQ(area_.literalTable.entries[i], 3);
      EXPECT_EQ(area_.literalTable.entryLengths[i], 3);
    }
  }
}

TEST_F(TableTest, SingleCodeAndEmptyCodeAreAccepted) {
  ASSERT_EQ(Build({0, 0, 1, 0}), 0u);
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(area_.literalTable.entries[i], i % 2 == 0 ? 2 : 0) << i;
    EXPECT_EQ(area_.literalTable.entryLengths[i], i % 2 == 0 ? 1 : 8) << i;
  }
  ASSERT_EQ(Build(std::vector<uint8_t>(30, 0)), 0u);
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(area_.literalTable.entries[i], 0);
    EXPECT_EQ(area_.literalTable.entryLengths[i], 8);
  }
  // A single long code: its path exists, everything else reads symbol 0.
  std::vector<uint8_t> one(40, 0);
  one[33] = 12;
  ASSERT_EQ(Build(one), 0u);
  uint32_t bits = 0;
  EXPECT_EQ(Decode(0, &bits), 33);  // code 000000000000
  EXPECT_EQ(bits, 12u);
}

TEST_F(TableTest, OverSubscribedAndIncompleteCodesAreRejected) {
  EXPECT_EQ(Build({1, 1, 2}), 1u);
  EXPECT_EQ(Build({2, 2, 2}), 1u);
  EXPECT_EQ(Build({1, 2}), 1u);
  std::vector<uint8_t> tooMany(288, 8);  // 288 codes of 8 bits, 256 fit
  EXPECT_EQ(Build(tooMany), 1u);
  std::vector<uint8_t> fifteen(288, 0);  // 3 codes of 15 bits: incomplete
  fifteen[0] = fifteen[1] = fifteen[2] = 15;
  EXPECT_EQ(Build(fifteen), 1u);
  EXPECT_EQ(Build({1, 1}), 0u);
}

TEST_F(TableTest, LongCodesWalkTheTree) {
  // Symbol s < 14 has length s + 1 (code: s ones, then a zero); symbols 14
  // and 15 have the two 15-bit codes 1...10 and 1...11.
  std::vector<uint8_t> lengths(16);
  for (uint32_t s = 0; s < 15; ++s) lengths[s] = static_cast<uint8_t>(s + 1);
  lengths[15] = 15;
  ASSERT_EQ(Build(lengths), 0u);
  for (uint32_t s = 0; s < 16; ++s) {
    uint32_t length = lengths[s];
    uint32_t code = s < 14 ? (1u << length) - 2 : (s == 14 ? 0x7FFE : 0x7FFF);
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < length; ++i) reversed |= ((code >> (length - 1 - i)) & 1) << i;
    // Bits after the code must not matter.
    for (uint32_t after : {0u, 0x7FFFu}) {
      uint32_t input = reversed | (after << length);
      uint32_t bits = 0;
      EXPECT_EQ(Decode(input & 0x7FFF, &bits), static_cast<int32_t>(s)) << s;
      EXPECT_EQ(bits, length) << s;
    }
    if (length > 8) {
      EXPECT_LT(area_.literalTable.entries[reversed & 0xff], 0) << s;
    }
  }
}

TEST(FixedTables, MatchTheFixedCode) {
  inflatetest::Context context;
  ASSERT_EQ(context->fixedTablesBuilt, 0);
  BuildFixedTables(context.get());
  EXPECT_EQ(context->fixedTablesBuilt, 1);
  const HuffmanTable& literal = context->tables->literalTable;
  // 256 is 0000000 (7 bits): indexes 0 and 128.
  for (uint32_t i : {0u, 128u}) {
    EXPECT_EQ(literal.entries[i], 256);
    EXPECT_EQ(literal.entryLengths[i], 7);
  }
  // Literal 0 is 00110000, read first bit first: index 0b00001100.
  EXPECT_EQ(literal.entries[0x0C], 0);
  EXPECT_EQ(literal.entryLengths[0x0C], 8);
  // 280 is 11000000: index 0b00000011.
  EXPECT_EQ(literal.entries[0x03], 280);
  // 144 is 110010000 (9 bits): prefix 11001000 -> index 0b00010011, then bit 0.
  int32_t entry = literal.entries[0x13];
  ASSERT_LT(entry, 0);
  EXPECT_EQ(TreeNodes(&literal)[~entry], 144);
  EXPECT_EQ(TreeNodes(&literal)[~entry + 1], 145);  // 110010001
  // Distances: 5 bits each; 3 is 00011 -> index 0b11000.
  const HuffmanTable& distance = context->tables->distanceTable;
  EXPECT_EQ(distance.entries[0x18], 3);
  EXPECT_EQ(distance.entryLengths[0x18], 5);
  EXPECT_EQ(distance.entries[0x18 + 32], 3);
}

}  // namespace
}  // namespace varnfile
