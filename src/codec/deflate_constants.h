// The numbers of the raw DEFLATE format (RFC 1951) as both of our engines use
// them, plus the one number that is ours: the 8,192-byte window. The
// compressor never emits a distance beyond it, and the decompressor keeps no
// more history than it.
#ifndef VARNFILE_CODEC_DEFLATE_CONSTANTS_H_
#define VARNFILE_CODEC_DEFLATE_CONSTANTS_H_

#include <cstdint>

namespace varnfile {

// History shared by compressor and decompressor; also the largest distance.
constexpr uint32_t WindowSize = 8192;

// Back-references copy 3 to 258 bytes.
constexpr uint32_t MinMatchLength = 3;
constexpr uint32_t MaxMatchLength = 258;

// Block header: BFINAL (1 bit), then BTYPE (2 bits).
constexpr uint32_t BlockHeaderBits = 3;
constexpr uint32_t BlockStored = 0;
constexpr uint32_t BlockFixed = 1;
constexpr uint32_t BlockDynamic = 2;  // BTYPE 3 is invalid

// A stored block starts at a byte boundary with LEN and NLEN, 16 bits each.
constexpr uint32_t MaxStoredLength = 65535;

// Prefix codes are at most 15 bits long; code-length codes at most 7.
constexpr uint32_t MaxCodeBits = 15;
constexpr uint32_t MaxCodeLengthCodeBits = 7;

// Literal/length alphabet: 0-255 literals, 256 end of block, 257-285 lengths.
// 286 and 287 take part in the fixed code but never occur in valid data.
constexpr uint32_t EndOfBlock = 256;
constexpr uint32_t FirstLengthSymbol = 257;
constexpr uint32_t LengthCodeCount = 29;                      // 257..285
constexpr uint32_t ValidLiteralLengthSymbols = 286;           // 0..285
constexpr uint32_t LiteralLengthSymbols = 288;                // with 286, 287
static_assert(FirstLengthSymbol + LengthCodeCount == ValidLiteralLengthSymbols, "");

// Distance alphabet: 0-29; 30 and 31 exist only in the fixed code.
constexpr uint32_t DistanceCodeCount = 30;
constexpr uint32_t ValidDistanceSymbols = 30;
constexpr uint32_t DistanceSymbols = 32;

// Dynamic block header: HLIT (5 bits, + 257), HDIST (5 bits, + 1),
// HCLEN (4 bits, + 4), then HCLEN 3-bit lengths of the code-length code.
constexpr uint32_t DynamicHeaderBits = 14;
constexpr uint32_t MinLiteralLengthCodes = 257;
constexpr uint32_t MinDistanceCodes = 1;
constexpr uint32_t MinCodeLengthCodes = 4;
constexpr uint32_t CodeLengthCodes = 19;
constexpr uint32_t CodeLengthCodeBits = 3;  // bits per code-length-code length

// The order in which the code-length code's lengths are sent.
inline constexpr uint8_t CodeLengthOrder[CodeLengthCodes] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Code-length symbols 16 (repeat the last length 3-6 times), 17 (repeat
// zero 3-10 times) and 18 (repeat zero 11-138 times).
constexpr uint32_t RepeatPrevious = 16;
constexpr uint32_t RepeatZeroShort = 17;
constexpr uint32_t RepeatZeroLong = 18;
inline constexpr uint8_t RepeatExtraBits[3] = {2, 3, 7};
inline constexpr uint8_t RepeatBase[3] = {3, 3, 11};

// One length or distance code: the smallest value it stands for and the
// number of extra bits (read least significant bit first) added to it.
struct CodeBase {
  uint16_t base;
  uint8_t extraBits;
};

// Length symbols 257..285, indexed by symbol - 257. 285 is 258 with no extra
// bits; 284 with all five extra bits set also comes to 258, which decoders
// accept but our compressor never writes.
inline constexpr CodeBase LengthCodes[LengthCodeCount] = {
    {3, 0},   {4, 0},   {5, 0},   {6, 0},   {7, 0},   {8, 0},   {9, 0},   {10, 0},
    {11, 1},  {13, 1},  {15, 1},  {17, 1},  {19, 2},  {23, 2},  {27, 2},  {31, 2},
    {35, 3},  {43, 3},  {51, 3},  {59, 3},  {67, 4},  {83, 4},  {99, 4},  {115, 4},
    {131, 5}, {163, 5}, {195, 5}, {227, 5}, {258, 0}};

// Distance symbols 0..29. Codes 26-29 reach beyond our window (above 8,192)
// and are never produced by our compressor.
inline constexpr CodeBase DistanceCodes[DistanceCodeCount] = {
    {1, 0},      {2, 0},      {3, 0},      {4, 0},     {5, 1},     {7, 1},
    {9, 2},      {13, 2},     {17, 3},     {25, 3},    {33, 4},    {49, 4},
    {65, 5},     {97, 5},     {129, 6},    {193, 6},   {257, 7},   {385, 7},
    {513, 8},    {769, 8},    {1025, 9},   {1537, 9},  {2049, 10}, {3073, 10},
    {4097, 11},  {6145, 11},  {8193, 12},  {12289, 12}, {16385, 13}, {24577, 13}};

// The distance codes that can address our window: 0..25 reach 8,192 exactly.
constexpr uint32_t WindowDistanceCodes = 26;
static_assert(DistanceCodes[WindowDistanceCodes - 1].base +
                      (1u << DistanceCodes[WindowDistanceCodes - 1].extraBits) - 1 ==
                  WindowSize,
              "distance code 25 ends at the window size");
static_assert(LengthCodes[LengthCodeCount - 1].base == MaxMatchLength, "");

// The fixed code: literal/length code lengths by symbol range, and the one
// length of all 32 distance codes.
// Symbols 0-143: 8 bits, 144-255: 9 bits, 256-279: 7 bits, 280-287: 8 bits.
inline constexpr uint8_t FixedLiteralLengthBits[4] = {8, 9, 7, 8};
inline constexpr uint16_t FixedLiteralRangeEnd[4] = {144, 256, 280, 288};
constexpr uint32_t FixedDistanceBits = 5;

}  // namespace varnfile

#endif  // VARNFILE_CODEC_DEFLATE_CONSTANTS_H_
