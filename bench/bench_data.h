// Test data shared by the codec benchmarks: text-like and binary records
// from a fixed linear congruential generator, so that the compressor's and
// the decompressor's benchmarks see the same bytes.
#ifndef VARNFILE_BENCH_BENCH_DATA_H_
#define VARNFILE_BENCH_BENCH_DATA_H_

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bench_data {

using Bytes = std::vector<uint8_t>;

inline uint32_t Next(uint32_t& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

// Words of transaction-like text with a number now and then.
inline Bytes Text(size_t size, uint32_t seed) {
  static const char* const words[] = {
      "the ",    "quick ", "brown ",  "fox ",     "jumps ",  "over ",   "lazy ",   "dog. ",
      "item ",   "file ",  "store ",  "record ",  "header ", "cache\n", "of ",     "and ",
      "a ",      "to ",    "window ", "value=",   "42, ",    "data ",   "with ",   "CRC ",
      "stream ", "order ", "amount ", "customer ", "2024-",  "total: ", "EUR ",    "paid\n"};
  uint32_t state = seed;
  Bytes out;
  while (out.size() < size) {
    const char* word = words[Next(state) % (sizeof words / sizeof words[0])];
    out.insert(out.end(), word, word + std::strlen(word));
    if (Next(state) % 9 == 0) {
      char number[16];
      int n = std::snprintf(number, sizeof number, "%u ", Next(state) % 100000);
      out.insert(out.end(), number, number + n);
    }
  }
  out.resize(size);
  return out;
}

// Ten-byte binary records: a rising counter, a type, an amount, flags.
inline Bytes Binary(size_t size, uint32_t seed) {
  uint32_t state = seed;
  Bytes out;
  uint32_t counter = 1000;
  while (out.size() < size) {
    counter += Next(state) % 7;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    out.push_back(static_cast<uint8_t>(Next(state) % 4));
    out.push_back(0);
    uint32_t amount = Next(state) % 5000;
    out.push_back(static_cast<uint8_t>(amount));
    out.push_back(static_cast<uint8_t>(amount >> 8));
    out.push_back(static_cast<uint8_t>(Next(state)));
    out.push_back(static_cast<uint8_t>(0xF0 | (Next(state) % 3)));
  }
  out.resize(size);
  return out;
}

// About 1 MB of items of 70 to 2,000 bytes, each from its own seed.
inline std::vector<Bytes> Items(bool text) {
  std::vector<Bytes> items;
  uint32_t state = text ? 5 : 6;
  size_t total = 0;
  while (total < (1 << 20)) {
    size_t size = 70 + Next(state) % (2000 - 70 + 1);
    items.push_back(text ? Text(size, Next(state)) : Binary(size, Next(state)));
    total += items.back().size();
  }
  return items;
}

// One 1 MB buffer of the same kind.
inline Bytes Whole(bool text) { return text ? Text(1 << 20, 1) : Binary(1 << 20, 2); }

}  // namespace bench_data

#endif  // VARNFILE_BENCH_BENCH_DATA_H_
