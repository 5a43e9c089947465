// The compressor through its call protocol: every stream must decode with
// zlib's raw inflate (windowBits -13, so no distance may exceed 8,192) and
// with our Inflate, and must not depend on how input and output are split.
#include "codec/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/inflate.h"
#include "gtest/gtest.h"
#include "platform/memory.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;

// A compressor and a decoder; the decoder's mode 2 keeps its window for
// the next stream (chained).
struct Codec {
  DeflateContext* deflate = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
  InflateContext* inflate = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  Codec() { EXPECT_TRUE(DeflateInit(deflate, 0, 0) == 0 && InflateInit(inflate, 0) == 0); }
  ~Codec() {
    DeflateEnd(deflate);
    InflateEnd(inflate);
    MemFree(deflate);
    MemFree(inflate);
  }

  // Output `room` bytes per call (0: ample room, one call must complete).
  Bytes Compress(const Bytes& data, uint32_t mode, uint32_t room = 0) {
    Bytes stream, out(room != 0 ? room : data.size() + data.size() / 8 + 64);
    for (size_t offset = 0, calls = 0; calls < 1000000 && (room != 0 || calls == 0); ++calls) {
      uint32_t in = static_cast<uint32_t>(data.size() - offset), written = static_cast<uint32_t>(out.size());
      uint32_t done = DeflateCompress(data.data() + offset, &in, out.data(), &written, deflate, mode);
      offset += in;
      EXPECT_LE(written, out.size());
      stream.insert(stream.end(), out.begin(), out.begin() + std::min<size_t>(written, out.size()));
      if (done) {
        EXPECT_EQ(data.size(), offset);
        return stream;
      }
    }
    ADD_FAILURE() << "no completion";
    return stream;
  }

  Bytes Decode(const Bytes& stream, size_t expected, uint32_t mode) {
    Bytes input(stream), out(expected + 1);
    input.resize(stream.size() + 3);  // read 32 bits at a time
    uint32_t in = static_cast<uint32_t>(stream.size()), room = static_cast<uint32_t>(out.size());
    EXPECT_EQ(1u, Inflate(input.data(), &in, out.data(), &room, inflate, mode));
    out.resize(room);
    return out;
  }
};

// Raw inflate with zlib; dictionary = history from earlier streams.
Bytes ZlibInflate(const Bytes& stream, size_t expected, const Bytes& dictionary = Bytes()) {
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  EXPECT_EQ(Z_OK, inflateInit2(&z, -13));
  if (!dictionary.empty()) {
    EXPECT_EQ(Z_OK, inflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size())));
  }
  Bytes out(expected + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_STREAM_END, inflate(&z, Z_FINISH)) << (z.msg ? z.msg : "");
  EXPECT_EQ(0u, z.avail_in) << "bytes after the final block";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "quick ", "brown ", "fox ", "record ", "value ",
                                "1234 ", "\n", "account ", "balance ", "2026-12-05 "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng() % (seed % 2 ? 256 : 5));  // even: skewed
  return out;
}

// No three-byte sequence twice: runs of j * k (mod 256) for odd strides k.
Bytes DistinctTrigrams(size_t n) {
  Bytes out;
  for (uint32_t k = 1; out.size() < n; k += 2) {
    for (uint32_t j = 0; j < 256; ++j) out.push_back(static_cast<uint8_t>(j * k));
  }
  out.resize(n);
  return out;
}

std::vector<Bytes> Corpus() {
  std::vector<Bytes> corpus = {{}, {'a'}, {7, 7, 7}, Text(20000, 1), Random(30000, 2),
                               Bytes(50000, 'x'), Random(40000, 3), DistinctTrigrams(4097)};
  Bytes mixed = Text(70000, 4);
  for (const Bytes& part : {Random(50000, 5), Random(60000, 6), Bytes(30000, 0)}) {
    mixed.insert(mixed.end(), part.begin(), part.end());
  }
  corpus.push_back(mixed);
  Bytes runsAndText;
  for (int i = 0; i < 200; ++i) {
    Bytes piece = Text(100 + i * 3, 100 + i);
    runsAndText.insert(runsAndText.end(), piece.begin(), piece.end());
    runsAndText.insert(runsAndText.end(), static_cast<size_t>(3 + i * 5 % 700), static_cast<uint8_t>(i));
  }
  corpus.push_back(runsAndText);
  return corpus;
}

TEST(Deflate, EveryKindOfDataRoundTripsThroughZlibAndInflate) {
  Codec compressor;
  for (const Bytes& data : Corpus()) {
    SCOPED_TRACE(data.size());
    Bytes stream = compressor.Compress(data, DeflateFlushReset);
    EXPECT_EQ(data, ZlibInflate(stream, data.size()));
    EXPECT_EQ(data, compressor.Decode(stream, data.size(), 3));
    EXPECT_LE(stream.size(), data.size() + data.size() / 64 + 8);
  }
}

TEST(Deflate, ExactSmallStreams) {
  const std::string abc = "abcabcabc";
  const struct {
    Bytes data;
    uint32_t mode;
    Bytes stream;
  } cases[] = {
      {{}, DeflateFlushReset, {0x03, 0x00}},  // one empty final fixed block
      {{}, DeflateFlushChained, {0x03, 0x00}},
      {{'a'}, DeflateFlushReset, {0x4B, 0x04, 0x00}},  // 'a' = 0x30 + 0x61 on 8 bits
      {{'a', 'a'}, DeflateFlushReset, {0x4B, 0x4C, 0x04, 0x00}},
      // Literals a, b, c; length 6 (symbol 260), distance 3 (code 2); end.
      {Bytes(abc.begin(), abc.end()), DeflateFlushReset, {0x4B, 0x4C, 0x4A, 0x86, 0x20, 0x00}},
  };
  for (const auto& c : cases) {
    Codec compressor;
    EXPECT_EQ(c.stream, compressor.Compress(c.data, c.mode)) << c.data.size();
  }
  // Literal 'z' and four length-258 distance-1 matches: 3 + 8 + 4 * 13 + 7 bits.
  Codec compressor;
  Bytes run(1 + 258 * 4, 'z');
  Bytes stream = compressor.Compress(run, DeflateFlushReset);
  EXPECT_EQ(9u, stream.size());
  EXPECT_EQ(run, ZlibInflate(stream, run.size()));
}

TEST(Deflate, IncompressibleInputGivesStoredBlocksOf4096Bytes) {
  Codec compressor;
  Bytes data = DistinctTrigrams(4097);
  Bytes stream = compressor.Compress(data, DeflateFlushReset);
  // Not final, stored, LEN 4096 and NLEN; the last byte in a final fixed block.
  ASSERT_GE(stream.size(), 5u + 4096u);
  EXPECT_EQ((Bytes{0x00, 0x00, 0x10, 0xFF, 0xEF}), Bytes(stream.begin(), stream.begin() + 5));
  EXPECT_EQ(0, std::memcmp(stream.data() + 5, data.data(), 4096));
  EXPECT_LE(stream.size(), 5u + 4096u + 3u);
  EXPECT_EQ(data, ZlibInflate(stream, data.size()));
  stream = compressor.Compress(DistinctTrigrams(8192), DeflateFlushReset);
  EXPECT_EQ(2 * (4096u + 5u), stream.size());
  EXPECT_EQ(1, stream[4096 + 5] & 1) << "second stored block is final";
}

TEST(Deflate, ChainedRecordsDecodeWithTheHistoryAsDictionary) {
  Codec compressor;
  Bytes history;
  std::vector<Bytes> records;
  for (int i = 0; i < 30; ++i) records.push_back(Text(300 + (i * 997) % 3000, 50 + i % 4));
  records.push_back(DistinctTrigrams(9000));
  records.push_back(Bytes(20000, 'q'));
  for (int i = 0; i < 10; ++i) records.push_back(Random(500 + i * 333, 8 + i % 2));
  records.push_back(records[0]);
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    Bytes stream = compressor.Compress(records[i], DeflateFlushChained);
    Bytes dictionary(history.size() > 8192 ? history.end() - 8192 : history.begin(), history.end());
    EXPECT_EQ(records[i], ZlibInflate(stream, records[i].size(), dictionary));
    EXPECT_EQ(records[i], compressor.Decode(stream, records[i].size(), 2));
    history.insert(history.end(), records[i].begin(), records[i].end());
  }
}

TEST(Deflate, ResetModeAndReinitGiveTheStreamOfAFreshContext) {
  Bytes record = Text(2000, 77);
  Codec fresh, chained, independent;
  Bytes expected = fresh.Compress(record, DeflateFlushReset);
  chained.Compress(record, DeflateFlushChained);
  EXPECT_LT(chained.Compress(record, DeflateFlushChained).size(), 40u);  // matches into the last
  EXPECT_EQ(expected, independent.Compress(record, DeflateFlushReset));
  independent.Compress(Text(5000, 78), DeflateFlushReset);
  EXPECT_EQ(expected, independent.Compress(record, DeflateFlushReset));
  EXPECT_EQ(0u, DeflateInit(chained.deflate, 0, 1));
  EXPECT_EQ(expected, chained.Compress(record, DeflateFlushReset));
}

TEST(Deflate, SplitOutputOrInputGivesTheSameStream) {
  for (const Bytes& data : Corpus()) {
    SCOPED_TRACE(data.size());
    Codec whole;
    Bytes expected = whole.Compress(data, DeflateFlushChained);
    for (uint32_t room : {8u, 13u, 4096u}) {
      Codec pieces;
      EXPECT_EQ(expected, pieces.Compress(data, DeflateFlushChained, room)) << "room " << room;
    }
    for (size_t piece : {1u, 7u, 259u, 260u, 261u, 5000u}) {
      if (piece < 200 && data.size() > 70000) continue;
      Codec streaming;
      Bytes stream, out(data.size() + 1024);
      size_t consumed = 0, received = 0;
      // Input arrives `piece` bytes at a time; the unconsumed rest is offered again.
      for (uint32_t done = 0; !done;) {
        received = std::min(data.size(), received + piece);
        uint32_t mode = received == data.size() ? DeflateFlushChained : DeflateFlushMore;
        uint32_t in = static_cast<uint32_t>(received - consumed);
        uint32_t room = static_cast<uint32_t>(out.size());
        done = DeflateCompress(data.data() + consumed, &in, out.data(), &room, streaming.deflate, mode);
        ASSERT_EQ(mode == DeflateFlushChained ? 1u : 0u, done);
        consumed += in;
        stream.insert(stream.end(), out.begin(), out.begin() + room);
      }
      EXPECT_EQ(expected, stream) << "piece " << piece;
    }
  }
}

}  // namespace
}  // namespace varnfile
