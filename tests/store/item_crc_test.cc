#include "store/item_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace varnfile {
namespace {

uint16_t Crc(const char* text) {
  return ItemCrc(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

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

TEST(ItemCrcTest, KnownValues) {
  EXPECT_EQ(Crc("123456789"), 0x6E90);
  EXPECT_EQ(Crc("abc"), 0x259E);
  EXPECT_EQ(ItemCrc(nullptr, 0), 0);
}

TEST(ItemCrcTest, StoredBytesAreX25HighByteFirst) {
  uint16_t crc = Crc("123456789");
  uint8_t stored[2] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
  EXPECT_EQ(stored[0], 0x90);
  EXPECT_EQ(stored[1], 0x6E);
}

TEST(ItemCrcTest, MatchesBitwiseReferenceOnRandomBuffers) {
  std::mt19937 rng(20261205);
  for (uint32_t length : {1u, 2u, 7u, 64u, 255u, 1000u, 65535u}) {
    std::vector<uint8_t> data(length);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(ItemCrc(data.data(), length), BitwiseReference(data)) << "length " << length;
  }
}

TEST(ItemCrcTest, SingleBitFlipChangesCrc) {
  std::vector<uint8_t> data(100, 0x5A);
  uint16_t before = ItemCrc(data.data(), 100);
  data[42] ^= 0x04;
  EXPECT_NE(ItemCrc(data.data(), 100), before);
}

}  // namespace
}  // namespace varnfile
