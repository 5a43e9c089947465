#include "store/item_crc.h"

#include "store/item_crc_fold.h"

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

// Slicing by 8: Slices[k][b] is the register after byte b followed by k zero
// bytes, so eight bytes are folded in with eight lookups that do not depend
// on each other. Slices[0] is CrcTable.
using SliceTables = std::array<std::array<uint16_t, 256>, 8>;
constexpr SliceTables MakeSlices() {
  SliceTables slices{};
  slices[0] = MakeCrcTable();
  for (uint32_t k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t prev = slices[k - 1][i];
      slices[k][i] = static_cast<uint16_t>((prev >> 8) ^ slices[0][prev & 0xFF]);
    }
  }
  return slices;
}

constexpr SliceTables Slices = MakeSlices();

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The register after data, from register c: eight bytes at a time, then
// one at a time.
uint32_t UpdateWithTables(uint32_t c, const uint8_t* data, uint32_t length) {
  const uint8_t* end = data + length;
  for (; end - data >= 8; data += 8) {
    uint32_t one = Load32(data) ^ c;
    uint32_t two = Load32(data + 4);
    c = Slices[7][one & 0xFF] ^ Slices[6][(one >> 8) & 0xFF] ^ Slices[5][(one >> 16) & 0xFF] ^
        Slices[4][one >> 24] ^ Slices[3][two & 0xFF] ^ Slices[2][(two >> 8) & 0xFF] ^
        Slices[1][(two >> 16) & 0xFF] ^ Slices[0][two >> 24];
  }
  for (; data != end; ++data) {
    c = CrcTable[(*data ^ c) & 0xFF] ^ (c >> 8);
  }
  return c;
}

uint16_t Finish(uint32_t c) {
  c ^= 0xFFFF;
  return static_cast<uint16_t>((c >> 8) | ((c & 0xFF) << 8));
}

// Below this many bytes the tables are as quick as folding.
constexpr uint32_t FoldThreshold = 64;

}  // namespace

uint16_t ItemCrc(const uint8_t* data, uint32_t length) {
  if (length == 0) return 0;
  if (length < FoldThreshold || !CrcFoldAvailable()) return ItemCrcPortable(data, length);
  uint32_t blocks = length / 16;
  uint8_t folded[16];
  CrcFold(0xFFFF, data, blocks, folded);
  uint32_t c = UpdateWithTables(0, folded, sizeof(folded));
  return Finish(UpdateWithTables(c, data + blocks * 16, length - blocks * 16));
}

uint16_t ItemCrcPortable(const uint8_t* data, uint32_t length) {
  if (length == 0) return 0;
  return Finish(UpdateWithTables(0xFFFF, data, length));
}

}  // namespace varnfile
