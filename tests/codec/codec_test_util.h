// Helpers shared by the codec tests: deterministic sample data, and those
// they share with the codec fuzz targets (engine contexts, our decoder
// called once or resumed, zlib as the independent DEFLATE decoder).
#ifndef VARNFILE_TESTS_CODEC_CODEC_TEST_UTIL_H_
#define VARNFILE_TESTS_CODEC_CODEC_TEST_UTIL_H_

#include <random>
#include <string>
#include <vector>

#include "../../fuzz/codec_fuzz.h"

namespace varnfile {

using namespace codec_fuzz;

inline Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Sample data of n bytes for a seed: transaction-like text with changing
// numbers, runs of a few byte values, bytes from 0..4, or random bytes.
enum SampleKind { TextData, RunData, SkewedData, RandomData };
inline Bytes Sample(SampleKind kind, size_t n, uint32_t seed) {
  static const char* const kWords[] = {"ACCT=", "AMOUNT=", ";CUR=EUR", ";TEXT=monthly fee", "\n",
                                       "the ",  "quick ",  "brown ",   "record ",           "of "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    if (kind == TextData) {
      std::string word = kWords[rng() % 10];
      if (word.back() == '=') word += std::to_string(rng() % (seed % 2 ? 100 : 100000));
      out.insert(out.end(), word.begin(), word.end());
    } else if (kind == RunData) {
      out.insert(out.end(), 1 + rng() % 600, static_cast<uint8_t>(rng() % 3));
    } else {
      out.push_back(static_cast<uint8_t>(rng() % (kind == SkewedData ? 5 : 256)));
    }
  }
  out.resize(n);
  return out;
}

}  // namespace varnfile

#endif  // VARNFILE_TESTS_CODEC_CODEC_TEST_UTIL_H_
