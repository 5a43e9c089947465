// Helpers for the decompressor tests: a bit writer for hand-made streams,
// zlib as the independent compressor and decoder, and test data.
#ifndef VARNFILE_TESTS_CODEC_INFLATE_TEST_UTIL_H_
#define VARNFILE_TESTS_CODEC_INFLATE_TEST_UTIL_H_

#include <cstdint>
#include <vector>

#include "codec/inflate.h"

namespace inflatetest {

using Bytes = std::vector<uint8_t>;

// Writes DEFLATE fields least significant bit first; Code() writes a prefix
// code most significant bit first, as RFC 1951 sends Huffman codes.
class BitWriter {
 public:
  BitWriter& Bits(uint32_t value, uint32_t count);
  BitWriter& Code(uint32_t code, uint32_t length);
  BitWriter& AlignToByte();
  BitWriter& Byte(uint8_t value);
  // Fixed-code symbols.
  BitWriter& FixedLiteral(uint32_t symbol);
  // A back-reference in the fixed code: length 3..258, distance 1..32768.
  BitWriter& FixedMatch(uint32_t length, uint32_t distance);
  // A dynamic block header (BFINAL, BTYPE 2, HLIT, HDIST, HCLEN 19) sending
  // the given literal/length (257..288) and distance (1..32) code lengths
  // one by one, under a complete code-length code.
  BitWriter& DynamicHeader(bool final, const std::vector<uint8_t>& literalLengths,
                           const std::vector<uint8_t>& distanceLengths);
  Bytes Finish();  // pads the last byte with zero bits

 private:
  Bytes bytes_;
  uint32_t pending_ = 0;
  uint32_t pendingBits_ = 0;
};

// Canonical RFC 1951 codes for a list of code lengths: {code, length}.
std::vector<std::pair<uint32_t, uint32_t>> CanonicalCodes(const std::vector<uint8_t>& lengths);

// zlib raw deflate (negative windowBits).
struct ZlibOptions {
  int level = 6;
  int windowBits = -13;
  int strategy = 0;       // Z_DEFAULT_STRATEGY
  int flush = 0;          // Z_NO_FLUSH, Z_SYNC_FLUSH or Z_FULL_FLUSH every flushEvery bytes
  size_t flushEvery = 0;
  const Bytes* dictionary = nullptr;
  bool finish = true;     // false: end with `flush` instead of Z_FINISH
};
Bytes ZlibCompress(const Bytes& data, const ZlibOptions& options);
// Raw inflate with a window of 2^-windowBits; false if zlib rejects the
// stream or it does not end within `stream`.
bool ZlibDecompress(const Bytes& stream, Bytes* out, int windowBits = -13,
                    size_t outputLimit = 1 << 20);

// Test data, deterministic for a seed.
Bytes TextData(size_t size, uint32_t seed = 1);
Bytes BinaryData(size_t size, uint32_t seed = 2);
Bytes RunData(size_t size, uint32_t seed = 3);
Bytes RandomData(size_t size, uint32_t seed = 4);

// A context made by InflateInit(…, 0), released by the destructor.
class Context {
 public:
  Context();
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  varnfile::InflateContext* get() { return context_; }
  varnfile::InflateContext* operator->() { return context_; }

 private:
  varnfile::InflateContext* context_;
};

struct CallResult {
  uint32_t result;
  uint32_t consumed;
  uint32_t written;
};
// One Inflate call over `input` (copied into an area with 3 slack bytes of
// `slack`) into an output area of `room` bytes appended to *out.
CallResult InflateOnce(varnfile::InflateContext* context, const uint8_t* input, size_t size,
                       uint32_t room, uint32_t mode, Bytes* out, uint8_t slack = 0xA5);
inline CallResult InflateOnce(varnfile::InflateContext* context, const Bytes& input,
                              uint32_t room, uint32_t mode, Bytes* out, uint8_t slack = 0xA5) {
  return InflateOnce(context, input.data(), input.size(), room, mode, out, slack);
}

// Decodes a whole stream in many calls: input pieces of `piece` bytes
// (mode 0, the last piece in mode 2) and `room` bytes of output per call.
// A call that makes no progress is followed by one with room for any step.
// Returns false if the stream does not finish; *consumed gets the total.
bool InflatePieces(varnfile::InflateContext* context, const Bytes& stream, size_t piece,
                   uint32_t room, size_t expectedSize, Bytes* out, size_t* consumed);

}  // namespace inflatetest

#endif  // VARNFILE_TESTS_CODEC_INFLATE_TEST_UTIL_H_
