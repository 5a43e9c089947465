#include "store/item_crc_fold.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNFILE_CRC_FOLD 1
#include <immintrin.h>
// The 256-bit form is left out on Windows, where GCC does not align the
// stack for spilled 256-bit values.
#if !defined(_WIN32)
#define VARNFILE_CRC_FOLD_WIDE 1
#endif
#endif

namespace varnfile {

#if VARNFILE_CRC_FOLD

namespace {

// x^16 * (x^16 + x^12 + x^5 + 1): the CRC-16 register as a 32-bit one.
constexpr uint64_t FoldPolynomial = 0x110210000ull;

// x^k mod FoldPolynomial, coefficient of x^d in bit d.
constexpr uint64_t PowerMod(uint32_t k) {
  uint64_t r = 1;
  for (uint32_t i = 0; i < k; ++i) {
    r <<= 1;
    if ((r >> 32) != 0) r ^= FoldPolynomial;
  }
  return r;
}

// The reflected form that the data has once loaded: x^d in bit 63 - d.
constexpr uint64_t Reflect(uint64_t poly) {
  uint64_t out = 0;
  for (int d = 0; d < 64; ++d) {
    if (((poly >> d) & 1) != 0) out |= uint64_t{1} << (63 - d);
  }
  return out;
}

// Constants that move a 16-byte block `bits` further on: its first eight
// bytes are multiplied by x^(bits + 64), its last eight by x^bits. A
// product of two reflected operands comes out one degree low, hence the
// exponents one below.
constexpr uint64_t FoldFirstHalf(uint32_t bits) { return Reflect(PowerMod(bits + 63)); }
constexpr uint64_t FoldSecondHalf(uint32_t bits) { return Reflect(PowerMod(bits - 1)); }

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

#if VARNFILE_CRC_FOLD_WIDE

// The same folds on two blocks at once (VPCLMULQDQ on 256-bit registers).
__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) inline __m256i Fold2(__m256i x,
                                                                             __m256i k) {
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00),
                          _mm256_clmulepi64_epi128(x, k, 0x11));
}

__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) inline __m256i Load2(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

bool WideFoldAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("vpclmulqdq") != 0 && __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
}

// Folds `groups` (at least 1) 128-byte groups of data, with crc mixed into
// the first bytes, into one 16-byte block: eight lanes in four registers,
// a 128-byte stride apart, then folded into one.
__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) __m128i FoldWide(uint32_t crc,
                                                                         const uint8_t* data,
                                                                         uint32_t groups) {
  const __m256i by8 = _mm256_set_epi64x(
      static_cast<long long>(FoldSecondHalf(1024)), static_cast<long long>(FoldFirstHalf(1024)),
      static_cast<long long>(FoldSecondHalf(1024)), static_cast<long long>(FoldFirstHalf(1024)));
  const __m256i by2 = _mm256_set_epi64x(
      static_cast<long long>(FoldSecondHalf(256)), static_cast<long long>(FoldFirstHalf(256)),
      static_cast<long long>(FoldSecondHalf(256)), static_cast<long long>(FoldFirstHalf(256)));
  const __m128i by1 = _mm_set_epi64x(static_cast<long long>(FoldSecondHalf(128)),
                                     static_cast<long long>(FoldFirstHalf(128)));
  __m256i y0 = _mm256_xor_si256(Load2(data), _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0,
                                                              static_cast<int>(crc)));
  __m256i y1 = Load2(data + 32);
  __m256i y2 = Load2(data + 64);
  __m256i y3 = Load2(data + 96);
  for (data += 128; --groups > 0; data += 128) {
    y0 = _mm256_xor_si256(Fold2(y0, by8), Load2(data));
    y1 = _mm256_xor_si256(Fold2(y1, by8), Load2(data + 32));
    y2 = _mm256_xor_si256(Fold2(y2, by8), Load2(data + 64));
    y3 = _mm256_xor_si256(Fold2(y3, by8), Load2(data + 96));
  }
  __m256i y = _mm256_xor_si256(Fold2(y0, by2), y1);
  y = _mm256_xor_si256(Fold2(y, by2), y2);
  y = _mm256_xor_si256(Fold2(y, by2), y3);
  // The low half holds the earlier block.
  return _mm_xor_si128(Fold(_mm256_castsi256_si128(y), by1), _mm256_extracti128_si256(y, 1));
}

#endif  // VARNFILE_CRC_FOLD_WIDE

}  // namespace

bool CrcFoldAvailable() {
  // The processor is asked once; __builtin_cpu_init makes the answer valid
  // even when the first CRC runs from a static constructor.
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0;
  }();
  return available;
}

__attribute__((target("pclmul,sse4.1"))) void CrcFold(uint32_t crc, const uint8_t* data,
                                                      uint32_t blocks, uint8_t out[16]) {
  const __m128i by4 = _mm_set_epi64x(static_cast<long long>(FoldSecondHalf(512)),
                                     static_cast<long long>(FoldFirstHalf(512)));
  const __m128i by1 = _mm_set_epi64x(static_cast<long long>(FoldSecondHalf(128)),
                                     static_cast<long long>(FoldFirstHalf(128)));
#if VARNFILE_CRC_FOLD_WIDE
  // Two blocks per multiply where the processor can; the blocks behind the
  // last whole 128-byte group are folded in one at a time below.
  if (blocks >= 16 && WideFoldAvailable()) {
    uint32_t groups = blocks / 8;
    __m128i x = FoldWide(crc, data, groups);
    data += groups * 128;
    for (blocks -= groups * 8; blocks > 0; --blocks, data += 16) {
      x = _mm_xor_si128(Fold(x, by1), Load(data));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
    return;
  }
#endif
  // Four independent lanes a 64-byte stride apart, so that the multiplies
  // overlap; then the lanes are folded into one.
  __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load(data + 16);
  __m128i x2 = Load(data + 32);
  __m128i x3 = Load(data + 48);
  data += 64;
  blocks -= 4;
  for (; blocks >= 4; blocks -= 4, data += 64) {
    x0 = _mm_xor_si128(Fold(x0, by4), Load(data));
    x1 = _mm_xor_si128(Fold(x1, by4), Load(data + 16));
    x2 = _mm_xor_si128(Fold(x2, by4), Load(data + 32));
    x3 = _mm_xor_si128(Fold(x3, by4), Load(data + 48));
  }
  __m128i x = _mm_xor_si128(Fold(x0, by1), x1);
  x = _mm_xor_si128(Fold(x, by1), x2);
  x = _mm_xor_si128(Fold(x, by1), x3);
  for (; blocks > 0; --blocks, data += 16) x = _mm_xor_si128(Fold(x, by1), Load(data));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
}

#else

bool CrcFoldAvailable() { return false; }

void CrcFold(uint32_t, const uint8_t*, uint32_t, uint8_t*) {}

#endif

}  // namespace varnfile
