#include "store/item_crc.h"

#include <array>

namespace varnfile {

namespace {

constexpr uint16_t ReflectedPolynomial = 0x8408;

// T[i] is i shifted right eight times, XOR-ing the polynomial after every
// shift that drops a 1 bit. Built at compile time.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ ReflectedPolynomial : c >> 1;
    table[i] = static_cast<uint16_t>(c);
  }
  return table;
}

constexpr std::array<uint16_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x1189, "reflected CCITT table");
static_assert(CrcTable[128] == 0x8408, "reflected CCITT table");

}  // namespace

uint16_t ItemCrc(const uint8_t* data, uint32_t length) {
  if (length == 0) return 0;
  uint32_t c = 0xFFFF;
  for (const uint8_t* end = data + length; data != end; ++data) {
    c = CrcTable[(*data ^ c) & 0xFF] ^ (c >> 8);
  }
  c ^= 0xFFFF;
  return static_cast<uint16_t>((c >> 8) | ((c & 0xFF) << 8));
}

}  // namespace varnfile
