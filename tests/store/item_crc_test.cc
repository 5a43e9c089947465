#include "store/item_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace varnfile {
namespace {

// CRC-16/X-25 one bit at a time, then the byte exchange of the stored form.
uint16_t BitwiseReference(const std::vector<uint8_t>& data) {
  uint16_t c = 0xFFFF;
  for (uint8_t b : data) {
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((c ^ (b >> bit)) & 1) != 0;
      c = static_cast<uint16_t>(c >> 1);
      if (mix) c ^= 0x8408;
    }
  }
  c = static_cast<uint16_t>(~c);
  return static_cast<uint16_t>((c >> 8) | (c << 8));
}

TEST(ItemCrcTest, KnownAnswersAndBitwiseReference) {
  // X-25 of "123456789" is 0x906E, stored high byte first: 90 6E.
  EXPECT_EQ(ItemCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x6E90);
  EXPECT_EQ(ItemCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0x259E);
  EXPECT_EQ(ItemCrc(nullptr, 0), 0);
  // Lengths around the 64-byte folding threshold and the 16-byte blocks,
  // at every alignment: the folding and table paths must agree bit for bit.
  std::mt19937 rng(20261205);
  for (uint32_t length : {1u, 2u, 7u, 15u, 16u, 63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 1000u,
                          1055u, 65535u}) {
    std::vector<uint8_t> buffer(length + 3);
    for (auto& b : buffer) b = static_cast<uint8_t>(rng());
    for (uint32_t offset = 0; offset < 4; ++offset) {
      std::vector<uint8_t> data(buffer.begin() + offset, buffer.begin() + offset + length);
      uint16_t expected = BitwiseReference(data);
      EXPECT_EQ(ItemCrc(buffer.data() + offset, length), expected) << length << "+" << offset;
      EXPECT_EQ(ItemCrcPortable(buffer.data() + offset, length), expected) << length;
    }
  }
}

}  // namespace
}  // namespace varnfile
