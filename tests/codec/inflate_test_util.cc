#include "codec/inflate_test_util.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "platform/memory.h"

namespace inflatetest {

using varnfile::InflateContext;

// RFC 1951, written out again here so that the tests do not lean on the
// tables of the code under test.
static const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                         15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                         67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                           17,   25,   33,   49,   65,   97,    129,   193,
                                           257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                           4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

BitWriter& BitWriter::Bits(uint32_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    pending_ |= ((value >> i) & 1u) << pendingBits_;
    if (++pendingBits_ == 8) {
      bytes_.push_back(static_cast<uint8_t>(pending_));
      pending_ = 0;
      pendingBits_ = 0;
    }
  }
  return *this;
}

BitWriter& BitWriter::Code(uint32_t code, uint32_t length) {
  for (uint32_t i = length; i-- > 0;) Bits((code >> i) & 1u, 1);
  return *this;
}

BitWriter& BitWriter::AlignToByte() {
  if (pendingBits_ != 0) Bits(0, 8 - pendingBits_);
  return *this;
}

BitWriter& BitWriter::Byte(uint8_t value) { return Bits(value, 8); }

BitWriter& BitWriter::FixedLiteral(uint32_t symbol) {
  if (symbol < 144) return Code(0x30 + symbol, 8);
  if (symbol < 256) return Code(0x190 + symbol - 144, 9);
  if (symbol < 280) return Code(symbol - 256, 7);
  return Code(0xC0 + symbol - 280, 8);
}

BitWriter& BitWriter::FixedMatch(uint32_t length, uint32_t distance) {
  uint32_t l = 28;
  if (length != 258) {
    l = 0;
    while (l + 1 < 28 && kLengthBase[l + 1] <= length) ++l;
  }
  FixedLiteral(257 + l);
  Bits(length - kLengthBase[l], kLengthExtra[l]);
  uint32_t d = 0;
  while (d + 1 < 30 && kDistanceBase[d + 1] <= distance) ++d;
  Code(d, 5);
  return Bits(distance - kDistanceBase[d], kDistanceExtra[d]);
}

std::vector<std::pair<uint32_t, uint32_t>> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<std::pair<uint32_t, uint32_t>> codes(lengths.size(), {0, 0});
  uint32_t code = 0;
  for (uint32_t bits = 1; bits <= 15; ++bits) {
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      if (lengths[symbol] == bits) codes[symbol] = {code++, bits};
    }
    code <<= 1;
  }
  return codes;
}

BitWriter& BitWriter::DynamicHeader(bool final, const std::vector<uint8_t>& literalLengths,
                                    const std::vector<uint8_t>& distanceLengths) {
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  // 13 code-length symbols of 4 bits and 6 of 5 bits fill the code space.
  std::vector<uint8_t> codeLengthLengths(19);
  for (size_t s = 0; s < 19; ++s) codeLengthLengths[s] = s < 13 ? 4 : 5;
  auto codeLengthCodes = CanonicalCodes(codeLengthLengths);
  Bits(final ? 1 : 0, 1).Bits(2, 2);
  Bits(static_cast<uint32_t>(literalLengths.size() - 257), 5);
  Bits(static_cast<uint32_t>(distanceLengths.size() - 1), 5);
  Bits(19 - 4, 4);
  for (uint8_t symbol : kOrder) Bits(codeLengthLengths[symbol], 3);
  for (uint8_t length : literalLengths) Code(codeLengthCodes[length].first, codeLengthCodes[length].second);
  for (uint8_t length : distanceLengths) Code(codeLengthCodes[length].first, codeLengthCodes[length].second);
  return *this;
}

Bytes BitWriter::Finish() {
  AlignToByte();
  return bytes_;
}

Bytes ZlibCompress(const Bytes& data, const ZlibOptions& options) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, options.level, Z_DEFLATED, options.windowBits, 8, options.strategy) !=
      Z_OK) {
    std::abort();
  }
  if (options.dictionary != nullptr && !options.dictionary->empty()) {
    deflateSetDictionary(&z, options.dictionary->data(),
                         static_cast<uInt>(options.dictionary->size()));
  }
  Bytes out(deflateBound(&z, data.size()) + 64 + data.size() / 8);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  size_t offset = 0;
  size_t every = options.flushEvery != 0 ? options.flushEvery : data.size() + 1;
  for (;;) {
    size_t piece = data.size() - offset < every ? data.size() - offset : every;
    z.next_in = const_cast<Bytef*>(data.data() + offset);
    z.avail_in = static_cast<uInt>(piece);
    offset += piece;
    bool last = offset == data.size();
    int flush = options.flush != 0 ? options.flush : Z_NO_FLUSH;
    if (last && options.finish) flush = Z_FINISH;
    int rc = deflate(&z, flush);
    if (last) {
      if (rc != (options.finish ? Z_STREAM_END : Z_OK)) std::abort();
      break;
    }
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bool ZlibDecompress(const Bytes& stream, Bytes* out, int windowBits, size_t outputLimit) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, windowBits) != Z_OK) return false;
  out->assign(outputLimit, 0);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  int rc = inflate(&z, Z_FINISH);
  out->resize(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

namespace {
uint32_t Next(uint32_t& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}
}  // namespace

Bytes TextData(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",     "quick ", "brown ", "fox ",   "jumps ",       "over ",    "lazy ",
      "dog. ",    "item ",  "file ",  "store ", "transaction ", "record ",  "header ",
      "cache\n",  "of ",    "and ",   "a ",     "to ",          "window ",  "value=",
      "42, ",     "data ",  "with ",  "CRC ",   "compressed ",  "stream\n", "reading "};
  uint32_t state = seed;
  Bytes out;
  while (out.size() < size) {
    const char* word = kWords[Next(state) % (sizeof kWords / sizeof kWords[0])];
    out.insert(out.end(), word, word + std::strlen(word));
  }
  out.resize(size);
  return out;
}

Bytes BinaryData(size_t size, uint32_t seed) {
  // Records of little-endian counters, small values and a few random bytes,
  // like the transaction items the library stores.
  uint32_t state = seed;
  Bytes out;
  uint32_t counter = 1000;
  while (out.size() < size) {
    counter += Next(state) % 7;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    out.push_back(static_cast<uint8_t>(Next(state) % 4));
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(Next(state)));
    out.push_back(static_cast<uint8_t>(0xF0 | (Next(state) % 3)));
  }
  out.resize(size);
  return out;
}

Bytes RunData(size_t size, uint32_t seed) {
  uint32_t state = seed;
  Bytes out;
  while (out.size() < size) {
    uint8_t value = static_cast<uint8_t>(Next(state) % 3);
    size_t run = 1 + Next(state) % 600;
    out.insert(out.end(), run, value);
  }
  out.resize(size);
  return out;
}

Bytes RandomData(size_t size, uint32_t seed) {
  uint32_t state = seed;
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<uint8_t>(Next(state));
  return out;
}

Context::Context()
    : context_(static_cast<InflateContext*>(varnfile::MemAlloc(varnfile::InflateContextSize()))) {
  if (context_ == nullptr || varnfile::InflateInit(context_, 0) != 0) std::abort();
}

Context::~Context() {
  varnfile::InflateEnd(context_);
  varnfile::MemFree(context_);
}

CallResult InflateOnce(InflateContext* context, const uint8_t* input, size_t size, uint32_t room,
                       uint32_t mode, Bytes* out, uint8_t slack) {
  Bytes in(input, input + size);
  in.insert(in.end(), 3, slack);
  Bytes area(room + 1, 0xEE);  // one guard byte behind the room
  uint32_t inputLength = static_cast<uint32_t>(size);
  uint32_t outputLength = room;
  CallResult r;
  r.result = varnfile::Inflate(in.data(), &inputLength, area.data(), &outputLength, context, mode);
  r.consumed = inputLength;
  r.written = outputLength;
  if (area[room] != 0xEE) std::abort();  // wrote past its room
  out->insert(out->end(), area.begin(), area.begin() + outputLength);
  return r;
}

bool InflatePieces(InflateContext* context, const Bytes& stream, size_t piece, uint32_t room,
                   size_t expectedSize, Bytes* out, size_t* consumed) {
  size_t offset = 0;
  uint32_t roomNow = room;
  for (int calls = 0; calls < 2000000; ++calls) {
    size_t left = stream.size() - offset;
    size_t give = left < piece ? left : piece;
    uint32_t mode = give == left ? 2 : 0;
    size_t before = out->size();
    uint32_t thisRoom = roomNow;
    if (expectedSize + 8 - before < thisRoom) thisRoom = static_cast<uint32_t>(expectedSize + 8 - before);
    CallResult r = InflateOnce(context, stream.data() + offset, give, thisRoom, mode, out);
    offset += r.consumed;
    bool finished = context->state <= varnfile::InflateStopped;
    if (r.result == 1 && finished) {
      *consumed = offset;
      return context->state == varnfile::InflateBetweenBlocks;
    }
    roomNow = (r.consumed == 0 && r.written == 0) ? 65536 : room;
  }
  return false;
}

}  // namespace inflatetest
