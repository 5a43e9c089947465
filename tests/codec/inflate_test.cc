// The DEFLATE decompressor on hand-made streams for the exact edges of its
// contract and for invalid data (which also covers the decoding tables'
// refusals). zlib's own streams, resumed at every kind of split and
// checked against one call and against zlib (consumed bytes included): the
// inflate fuzz target and its seeds.
#include "codec/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"

namespace varnfile {
namespace {

// RFC 1951 length and distance bases, written out here so that the tests do
// not lean on the tables of the code under test.
const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Canonical codes for a list of code lengths: {code, length} per symbol.
std::vector<std::pair<uint32_t, uint32_t>> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<std::pair<uint32_t, uint32_t>> codes(lengths.size(), {0, 0});
  uint32_t code = 0;
  for (uint32_t bits = 1; bits <= 15; ++bits, code <<= 1) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == bits) codes[s] = {code++, bits};
    }
  }
  return codes;
}

std::vector<uint8_t> Lengths(size_t n, std::initializer_list<std::pair<size_t, uint8_t>> set) {
  std::vector<uint8_t> lengths(n, 0);
  for (auto [symbol, length] : set) lengths[symbol] = length;
  return lengths;
}

// Writes fields least significant bit first; Code() writes a prefix code
// most significant bit first, as DEFLATE sends Huffman codes.
class BitWriter {
 public:
  BitWriter& Bits(uint64_t value, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      pending_ |= ((value >> i) & 1u) << pendingBits_;
      if (++pendingBits_ == 8) {
        bytes_.push_back(static_cast<uint8_t>(pending_));
        pending_ = pendingBits_ = 0;
      }
    }
    return *this;
  }
  BitWriter& Code(uint32_t code, uint32_t length) {
    for (uint32_t i = length; i-- > 0;) Bits((code >> i) & 1u, 1);
    return *this;
  }
  BitWriter& Code(std::pair<uint32_t, uint32_t> code) { return Code(code.first, code.second); }
  BitWriter& Align() { return Bits(0, (8 - pendingBits_) % 8); }
  BitWriter& Header(bool final, uint32_t type) { return Bits(final ? 1 : 0, 1).Bits(type, 2); }
  BitWriter& Fixed(uint32_t symbol) {
    if (symbol < 144) return Code(0x30 + symbol, 8);
    if (symbol < 256) return Code(0x190 + symbol - 144, 9);
    if (symbol < 280) return Code(symbol - 256, 7);
    return Code(0xC0 + symbol - 280, 8);
  }
  // A back-reference in the fixed code: length 3..258, distance 1..32768.
  BitWriter& Match(uint32_t length, uint32_t distance) {
    uint32_t l = 0, d = 0;
    while (l + 1 < 29 && kLengthBase[l + 1] <= length) ++l;
    while (d + 1 < 30 && kDistanceBase[d + 1] <= distance) ++d;
    Fixed(257 + l).Bits(length - kLengthBase[l], kLengthExtra[l]).Code(d, 5);
    return Bits(distance - kDistanceBase[d], kDistanceExtra[d]);
  }
  // A dynamic block header sending 257..288 literal/length and 1..32
  // distance code lengths one by one under a complete code-length code.
  BitWriter& Dynamic(bool final, const std::vector<uint8_t>& literal,
                     const std::vector<uint8_t>& distance) {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::vector<uint8_t> clLengths(19);  // 13 codes of 4 bits, 6 of 5 bits
    for (size_t s = 0; s < 19; ++s) clLengths[s] = s < 13 ? 4 : 5;
    auto cl = CanonicalCodes(clLengths);
    Header(final, 2).Bits(static_cast<uint32_t>(literal.size() - 257), 5);
    Bits(static_cast<uint32_t>(distance.size() - 1), 5).Bits(15, 4);
    for (uint8_t s : kOrder) Bits(clLengths[s], 3);
    for (uint8_t l : literal) Code(cl[l]);
    for (uint8_t l : distance) Code(cl[l]);
    return *this;
  }
  // The same header with the lengths sent as the given code-length symbols
  // (0..18), each with the value of its extra bits: runs of 16, 17 and 18.
  BitWriter& DynamicRuns(uint32_t hlit, uint32_t hdist,
                         const std::vector<std::pair<uint8_t, uint32_t>>& runs) {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    static const uint8_t kExtra[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
    std::vector<uint8_t> clLengths(19);
    for (size_t s = 0; s < 19; ++s) clLengths[s] = s < 13 ? 4 : 5;
    auto cl = CanonicalCodes(clLengths);
    Header(true, 2).Bits(hlit - 257, 5).Bits(hdist - 1, 5).Bits(15, 4);
    for (uint8_t s : kOrder) Bits(clLengths[s], 3);
    for (auto [symbol, extra] : runs) Code(cl[symbol]).Bits(extra, kExtra[symbol]);
    return *this;
  }
  Bytes Finish() {
    Align();
    return bytes_;
  }

 private:
  Bytes bytes_;
  uint32_t pending_ = 0, pendingBits_ = 0;
};

// ---- Hand-made streams -----------------------------------------------------------

// 'A'..'M' get 1..13 bits; 'N', 'O', end of block and length 3 the four
// 15-bit codes left. Distances 0..14 get 1..15 bits, 15 the other 15. Codes
// above 8 bits go through the tree.
Bytes LongCodes(Bytes* expected) {
  std::vector<uint8_t> lengths(286, 0), distance(16, 15);
  for (uint8_t i = 0; i < 13; ++i) lengths['A' + i] = i + 1;
  lengths['N'] = lengths['O'] = lengths[256] = lengths[257] = 15;
  for (uint8_t i = 0; i < 15; ++i) distance[i] = i + 1;
  auto lit = CanonicalCodes(lengths), dist = CanonicalCodes(distance);
  BitWriter w;
  w.Dynamic(true, lengths, distance);
  std::mt19937 rng(77);
  for (int i = 0; i < 3000; ++i) {
    uint32_t pick = rng() % 16, d = rng() % 16;
    if (pick < 15 || expected->size() < 300) {
      w.Code(lit['A' + pick % 15]);
      expected->push_back(static_cast<uint8_t>('A' + pick % 15));
    } else {  // length 3, extra bits all zero
      w.Code(lit[257]).Code(dist[d]).Bits(0, kDistanceExtra[d]);
      for (int k = 0; k < 3; ++k) expected->push_back(expected->end()[-kDistanceBase[d]]);
    }
  }
  return w.Code(lit[256]).Finish();
}

// A stored block of 8,187 random bytes, then back-references whose target,
// then whose source, crosses the window end, to the oldest byte, and of
// distance 1 and length 258.
Bytes WindowCopies(Bytes* expected) {
  *expected = Sample(RandomData, WindowSize - 5, 41);
  BitWriter w;
  w.Header(false, 0).Align().Bits(static_cast<uint32_t>(expected->size()), 16);
  w.Bits(~expected->size() & 0xffff, 16);
  for (uint8_t byte : *expected) w.Bits(byte, 8);
  w.Header(true, 1);
  for (auto [length, distance] :
       {std::pair<int, int>{20, 300}, {100, 120}, {258, 8192}, {7, 3}, {258, 1}, {258, 1}}) {
    w.Match(length, distance);
    for (int i = 0; i < length; ++i) expected->push_back(expected->end()[-distance]);
  }
  for (int i = 0; i < 16; ++i) w.Fixed('.');  // so that the copies go through the fast loop too
  expected->insert(expected->end(), 16, '.');
  return w.Fixed(256).Finish();
}

// Each stream starts with a non-final fixed block holding "ok" and is
// decoded in modes 0, 2 and 3, in one call, with a room of 1 (a step that
// needs more gets it next time) and in pieces of 4 bytes. A valid one gives
// its data and ends between blocks; an invalid or cut one keeps the "ok"
// before the damage and ends in state 1 (a mode 3 call resets it to 0).
TEST(InflateHandMade, ValidInvalidAndCutStreams) {
  auto ok = [] { return BitWriter().Header(false, 1).Fixed('o').Fixed('k').Fixed(256); };
  auto header = [&](uint32_t l16, uint32_t l17, uint32_t l18, uint32_t l0) {
    // HLIT 257, HDIST 1, HCLEN 4: lengths of the code-length codes 16, 17, 18, 0.
    return ok().Header(true, 2).Bits(0, 14).Bits(l16, 3).Bits(l17, 3).Bits(l18, 3).Bits(l0, 3);
  };
  auto dynamic = [&](std::vector<uint8_t> literal, std::vector<uint8_t> distance) {
    return ok().Dynamic(true, literal, distance).Bits(0, 16).Finish();
  };
  auto abcd = Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  auto code = CanonicalCodes(abcd);
  auto one = Lengths(1, {{0, 1}});  // a single distance code
  Bytes longCodes, windowCopies;
  const struct { const char* name; Bytes stream, out; } valid[] = {
      {"single distance code",
       ok().Dynamic(true, abcd, one).Code(code['a']).Code(code['b']).Code(code[257])
           .Code(0, 1).Code(code[256]).Finish(),
       Str("okabbbb")},
      // A single code leaves part of the code space unused: a 1 bit where
      // its code has a 0 ends a code for symbol 0 there (here after 9 bits:
      // distance 1), whatever the tables' layout.
      {"single 12-bit distance code left after 9 bits",
       ok().Dynamic(true, abcd, Lengths(4, {{3, 12}})).Code(code['a']).Code(code['b'])
           .Code(code[257]).Code(1, 9).Code(code[256]).Finish(),
       Str("okabbbb")},
      // 254 zeros, then symbol 254 gets 2 bits and one run of code 16
      // repeats it for 255, 256, 257 and on into distances 0, 1 and 2.
      {"a run from the literal/length lengths into the distance lengths",
       ok().DynamicRuns(258, 4, {{18, 127}, {18, 105}, {2, 0}, {16, 3},
                                                       {2, 0}})
           .Code(0, 2).Code(1, 2).Code(3, 2).Code(0, 2).Code(2, 2).Finish(),
       Bytes{'o', 'k', 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"codes up to 15 bits", LongCodes(&longCodes), longCodes},
      {"copies across the window end", WindowCopies(&windowCopies), windowCopies},
      // Fixed, dynamic, fixed: no block decodes with stale tables.
      {"fixed, dynamic, fixed",
       ok().Dynamic(false, abcd, one).Code(code['b']).Code(code[256]).Header(true, 1)
           .Fixed('a').Fixed(256).Finish(),
       Str("okba")},
      {"stored", ok().Header(false, 0).Align().Bits(0, 16).Bits(0xffff, 16).Header(false, 0)
           .Align().Bits(2, 16).Bits(0xfffd, 16).Bits('!', 8).Bits('?', 8).Header(true, 1)
           .Fixed(256).Finish(), Str("ok!?")},
  };
  const struct { const char* name; Bytes stream; } invalid[] = {
      {"btype 3", ok().Header(true, 3).Finish()},
      {"nlen", ok().Header(true, 0).Align().Bits(3, 16).Bits(0xfffb, 16).Bits('a', 24).Finish()},
      {"literal 286", ok().Header(true, 1).Fixed(286).Finish()},
      {"literal 287", ok().Header(true, 1).Fixed(287).Finish()},
      {"distance 30", ok().Header(true, 1).Fixed(257).Code(30, 5).Finish()},
      {"distance 31", ok().Header(true, 1).Fixed(257).Code(31, 5).Finish()},
      {"beyond window", ok().Header(true, 1).Match(3, WindowSize + 1).Bits(0, 64).Finish()},
      {"code-length code over-subscribed", header(1, 1, 1, 0).Finish()},
      {"code-length code incomplete", header(2, 2, 2, 0).Finish()},
      // 0 -> "0", 18 -> "1": two runs of 138 zeros pass the 258 lengths wanted.
      {"run past the lengths", header(0, 0, 1, 1).Bits(0xffff, 16).Finish()},
      {"literals over-subscribed", dynamic(Lengths(257, {{'a', 1}, {'b', 1}, {256, 1}}), one)},
      {"literals incomplete", dynamic(Lengths(257, {{'a', 2}, {256, 2}}), one)},
      {"15-bit codes incomplete", dynamic(Lengths(257, {{'a', 15}, {'b', 15}, {256, 15}}), one)},
      {"distances over-subscribed", dynamic(abcd, Lengths(3, {{0, 1}, {1, 1}, {2, 1}}))},
      {"stored cut short", ok().Header(true, 0).Align().Bits(9, 16).Bits(0xfff6, 16).Finish()},
  };
  std::vector<std::tuple<const char*, Bytes, Bytes, bool>> cases;
  for (const auto& c : valid) cases.emplace_back(c.name, c.stream, c.out, true);
  for (const auto& c : invalid) cases.emplace_back(c.name, c.stream, Str("ok"), false);
  const std::pair<size_t, size_t> splits[] = {{1 << 20, 1 << 20}, {1 << 20, 1}, {4, 7}};
  for (const auto& [name, stream, out, isValid] : cases) {
    for (uint32_t mode : {0u, 2u, 3u}) {
      for (auto [piece, room] : splits) {
        Engines engines;
        Decoded d = Decode(engines.inflate, stream, piece, room, mode);
        bool allRead = isValid ? d.consumed == stream.size() : d.consumed <= stream.size();
        EXPECT_TRUE(d.out == out && allRead &&
                    d.state == (isValid || d.lastMode == 3 ? InflateBetweenBlocks : InflateStopped))
            << name << " mode " << mode << " piece " << piece << " room " << room << ": state "
            << d.state;
      }
    }
  }
}

}  // namespace
}  // namespace varnfile
