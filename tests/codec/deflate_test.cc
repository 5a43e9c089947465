// The compressor through its call protocol: every stream must decode with
// zlib's raw inflate (windowBits -13, so no distance may exceed 8,192), and
// the stream must not depend on how input and output are split over calls.
#include "codec/deflate.h"

#include <zlib.h>

#include <algorithm>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/inflate.h"
#include "gtest/gtest.h"
#include "platform/memory.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;

class Compressor {
 public:
  explicit Compressor(uint32_t level = 0) {
    context_ = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
    EXPECT_EQ(0u, DeflateInit(context_, level, 0));
  }
  ~Compressor() {
    DeflateEnd(context_);
    MemFree(context_);
  }
  DeflateContext* get() { return context_; }

  // One call with ample room; the call must complete.
  Bytes Compress(const Bytes& data, uint32_t mode) {
    Bytes out(data.size() + data.size() / 8 + 64);
    uint32_t in = static_cast<uint32_t>(data.size());
    uint32_t room = static_cast<uint32_t>(out.size());
    EXPECT_EQ(1u, DeflateCompress(data.data(), &in, out.data(), &room, context_, mode));
    EXPECT_EQ(data.size(), in);
    out.resize(room);
    return out;
  }

  // The same input with `room` bytes of output per call.
  Bytes CompressInSmallBuffers(const Bytes& data, uint32_t room, uint32_t mode) {
    Bytes stream;
    size_t offset = 0;
    for (int calls = 0; calls < 10000000; ++calls) {
      Bytes out(room);
      uint32_t in = static_cast<uint32_t>(data.size() - offset);
      uint32_t written = room;
      uint32_t done =
          DeflateCompress(data.data() + offset, &in, out.data(), &written, context_, mode);
      EXPECT_LE(written, room);
      offset += in;
      stream.insert(stream.end(), out.begin(), out.begin() + written);
      if (done) {
        EXPECT_EQ(data.size(), offset);
        return stream;
      }
    }
    ADD_FAILURE() << "no progress";
    return stream;
  }

 private:
  DeflateContext* context_;
};

// Raw inflate with zlib; dictionary = history from earlier streams.
Bytes ZlibInflate(const Bytes& stream, size_t expected, const Bytes& dictionary = Bytes()) {
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  EXPECT_EQ(Z_OK, inflateInit2(&z, -13));
  if (!dictionary.empty()) {
    EXPECT_EQ(Z_OK, inflateSetDictionary(&z, dictionary.data(),
                                         static_cast<uInt>(dictionary.size())));
  }
  Bytes out(expected + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  EXPECT_EQ(Z_STREAM_END, rc) << (z.msg ? z.msg : "");
  EXPECT_EQ(0u, z.avail_in) << "bytes after the final block";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Our own decoder; mode 2 keeps its window for the next stream (chained).
class Decoder {
 public:
  Decoder() {
    context_ = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
    EXPECT_EQ(0u, InflateInit(context_, 0));
  }
  ~Decoder() {
    InflateEnd(context_);
    MemFree(context_);
  }
  Bytes Decode(const Bytes& stream, size_t expected, uint32_t mode) {
    Bytes input(stream);
    input.resize(stream.size() + 3);  // read 32 bits at a time
    Bytes out(expected + 1);
    uint32_t in = static_cast<uint32_t>(stream.size());
    uint32_t room = static_cast<uint32_t>(out.size());
    EXPECT_EQ(1u, Inflate(input.data(), &in, out.data(), &room, context_, mode));
    out.resize(room);
    return out;
  }

 private:
  InflateContext* context_;
};

Bytes Text(size_t n, uint32_t seed) {
  static const char* words[] = {"the ",     "quick ",   "brown ",  "fox ",   "jumps ",
                                "over ",    "lazy ",    "dog ",    "item ",  "record ",
                                "value ",   "1234 ",    "\n",      "file ",  "varn ",
                                "account ", "balance ", "posted ", "2026-12-05 "};
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
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes Binary(size_t n, uint32_t seed) {
  // Records of little-endian integers with small deltas and a few zeros.
  std::mt19937 rng(seed);
  Bytes out;
  uint32_t value = 1000;
  while (out.size() < n) {
    value += rng() % 16;
    uint8_t record[12] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), 0, 0,
                          static_cast<uint8_t>(rng() % 4), 0x80, 0xFF, 0,
                          static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() % 3), 1, 2};
    out.insert(out.end(), record, record + sizeof(record));
  }
  out.resize(n);
  return out;
}

// No three-byte sequence twice, all byte values equally frequent: runs of
// j * k (mod 256) for odd strides k.
Bytes DistinctTrigrams(size_t n) {
  Bytes out;
  for (uint32_t k = 1; out.size() < n; k += 2) {
    for (uint32_t j = 0; j < 256; ++j) out.push_back(static_cast<uint8_t>(j * k));
  }
  out.resize(n);
  return out;
}

Bytes SourceCode() {
  std::string s;
  for (int i = 0; i < 40; ++i) {
    s += "static uint32_t Function" + std::to_string(i) +
         "(const uint8_t* data, size_t length) {\n"
         "  uint32_t sum = " + std::to_string(i * 7) + ";\n"
         "  for (size_t i = 0; i < length; ++i) sum = sum * 31 + data[i];\n"
         "  return sum;\n}\n\n";
  }
  return Bytes(s.begin(), s.end());
}

std::vector<std::pair<std::string, Bytes>> Corpus() {
  std::vector<std::pair<std::string, Bytes>> corpus;
  corpus.push_back({"empty", {}});
  corpus.push_back({"one", {'a'}});
  corpus.push_back({"two", {'a', 'a'}});
  corpus.push_back({"three equal", {7, 7, 7}});
  corpus.push_back({"text", Text(20000, 1)});
  corpus.push_back({"source", SourceCode()});
  corpus.push_back({"binary", Binary(30000, 2)});
  corpus.push_back({"run", Bytes(50000, 'x')});
  corpus.push_back({"run 300", Bytes(300, 0)});
  Bytes alternating;
  for (int i = 0; i < 20000; ++i) alternating.push_back(i % 2 ? 0xAA : 0x55);
  corpus.push_back({"alternating", alternating});
  Bytes period3;
  for (int i = 0; i < 9000; ++i) period3.push_back("abc"[i % 3]);
  corpus.push_back({"period 3", period3});
  corpus.push_back({"random", Random(40000, 3)});
  corpus.push_back({"trigrams", DistinctTrigrams(4097)});
  Bytes mixed = Text(70000, 4);
  Bytes r = Random(50000, 5);
  mixed.insert(mixed.end(), r.begin(), r.end());
  Bytes b = Binary(70000, 6);
  mixed.insert(mixed.end(), b.begin(), b.end());
  mixed.insert(mixed.end(), 30000, 0);
  Bytes t = Text(42144, 7);
  mixed.insert(mixed.end(), t.begin(), t.end());
  corpus.push_back({"mixed 256K", mixed});
  Bytes runsAndText;
  for (int i = 0; i < 200; ++i) {
    Bytes piece = Text(100 + i * 3, 100 + i);
    runsAndText.insert(runsAndText.end(), piece.begin(), piece.end());
    runsAndText.insert(runsAndText.end(), static_cast<size_t>(3 + i * 5 % 700),
                       static_cast<uint8_t>(i));
  }
  corpus.push_back({"runs and text", runsAndText});
  return corpus;
}

// ---------------------------------------------------------------------------
// Round trips

TEST(DeflateRoundTrip, EveryKindOfDataDecodesWithZlib) {
  for (uint32_t level = 0; level < 2; ++level) {
    Compressor compressor(level);
    for (const auto& [name, data] : Corpus()) {
      SCOPED_TRACE(name + " level " + std::to_string(level));
      Bytes stream = compressor.Compress(data, DeflateFlushReset);
      EXPECT_EQ(data, ZlibInflate(stream, data.size()));
      Decoder decoder;
      EXPECT_EQ(data, decoder.Decode(stream, data.size(), 3));
      EXPECT_LE(stream.size(), data.size() + data.size() / 64 + 8);
    }
  }
}

TEST(DeflateRoundTrip, EmptyInputIsOneEmptyFixedBlock) {
  Compressor compressor;
  EXPECT_EQ((Bytes{0x03, 0x00}), compressor.Compress({}, DeflateFlushReset));
  EXPECT_EQ((Bytes{0x03, 0x00}), compressor.Compress({}, DeflateFlushChained));
}

TEST(DeflateRoundTrip, ShortInputsAreLiterals) {
  Compressor compressor;
  // Fixed codes: 'a' = 0x30 + 0x61 on 8 bits, then end of block.
  EXPECT_EQ((Bytes{0x4B, 0x04, 0x00}), compressor.Compress({'a'}, DeflateFlushReset));
  EXPECT_EQ((Bytes{0x4B, 0x4C, 0x04, 0x00}), compressor.Compress({'a', 'a'}, DeflateFlushReset));
}

TEST(DeflateRoundTrip, RepeatIsThreeLiteralsAndOneMatchInFixedCodes) {
  Compressor compressor;
  // Final fixed block (3 bits 1,1,0); literals a, b, c (8-bit codes
  // 0x91..0x93); length 6 (symbol 260, 7 bits), distance 3 (code 2, 5
  // bits); end of block (7 zero bits): 46 bits.
  const std::string text = "abcabcabc";
  EXPECT_EQ((Bytes{0x4B, 0x4C, 0x4A, 0x86, 0x20, 0x00}),
            compressor.Compress(Bytes(text.begin(), text.end()), DeflateFlushReset));
}

TEST(DeflateRoundTrip, IncompressibleInputGivesStoredBlocksOf4096Bytes) {
  Bytes data = DistinctTrigrams(4097);
  std::set<uint32_t> seen;
  for (size_t i = 0; i + 2 < data.size(); ++i) {
    ASSERT_TRUE(seen.insert(data[i] << 16 | data[i + 1] << 8 | data[i + 2]).second);
  }
  Compressor compressor;
  Bytes stream = compressor.Compress(data, DeflateFlushReset);
  // Not final, stored, then LEN 4096 and NLEN: the first block ends at
  // exactly 4096 symbols. The last byte follows in a final fixed block.
  ASSERT_GE(stream.size(), 5u + 4096u);
  EXPECT_EQ((Bytes{0x00, 0x00, 0x10, 0xFF, 0xEF}), Bytes(stream.begin(), stream.begin() + 5));
  EXPECT_EQ(0, std::memcmp(stream.data() + 5, data.data(), 4096));
  EXPECT_EQ(data, ZlibInflate(stream, data.size()));
  EXPECT_LE(stream.size(), 5u + 4096u + 3u);

  Bytes twoBlocks = DistinctTrigrams(8192);
  stream = compressor.Compress(twoBlocks, DeflateFlushReset);
  EXPECT_EQ(2 * (4096u + 5u), stream.size());
  EXPECT_EQ(1, stream[4096 + 5] & 1) << "second stored block is final";
}

TEST(DeflateRoundTrip, LongRunIsOneLiteralAndDistanceOneMatches) {
  Compressor compressor;
  Bytes data(1 + 258 * 4, 'z');
  Bytes stream = compressor.Compress(data, DeflateFlushReset);
  // Fixed block: literal 'z', four matches (length 258 = code 285, distance
  // code 0), end of block: 3 + 8 + 4 * (8 + 5) + 7 bits = 9 bytes.
  EXPECT_EQ(9u, stream.size());
  EXPECT_EQ(data, ZlibInflate(stream, data.size()));
}

// ---------------------------------------------------------------------------
// Chaining

TEST(DeflateChained, RecordsReachIntoEarlierRecords) {
  Compressor compressor;
  Decoder decoder;
  Bytes history;
  std::vector<Bytes> records;
  for (int i = 0; i < 30; ++i) records.push_back(Text(300 + (i * 997) % 3000, 50 + i % 4));
  records.push_back(DistinctTrigrams(9000));
  records.push_back(Bytes(20000, 'q'));
  for (int i = 0; i < 10; ++i) records.push_back(Binary(500 + i * 333, 9 + i % 2));
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    Bytes stream = compressor.Compress(records[i], DeflateFlushChained);
    Bytes dictionary(history.size() > 8192 ? history.end() - 8192 : history.begin(),
                     history.end());
    EXPECT_EQ(records[i], ZlibInflate(stream, records[i].size(), dictionary));
    EXPECT_EQ(records[i], decoder.Decode(stream, records[i].size(), 2));
    history.insert(history.end(), records[i].begin(), records[i].end());
  }
}

TEST(DeflateChained, RepeatedRecordBecomesMatchesIntoThePreviousOne) {
  Bytes record = Text(2000, 77);
  Compressor chained;
  Bytes first = chained.Compress(record, DeflateFlushChained);
  Bytes second = chained.Compress(record, DeflateFlushChained);
  EXPECT_LT(second.size(), 40u);  // eight long matches
  EXPECT_EQ(record, ZlibInflate(second, record.size(), record));

  Compressor independent;
  Bytes again = independent.Compress(record, DeflateFlushReset);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first, independent.Compress(record, DeflateFlushReset));
  // Mode 3 forgets even when other records came in between.
  independent.Compress(Text(5000, 78), DeflateFlushReset);
  EXPECT_EQ(first, independent.Compress(record, DeflateFlushReset));
}

TEST(DeflateChained, ResetContextGivesTheStreamOfAFreshOne) {
  Bytes record = Binary(7000, 3);
  Compressor fresh;
  Bytes expected = fresh.Compress(record, DeflateFlushReset);
  Compressor used;
  used.Compress(Text(9000, 1), DeflateFlushChained);
  EXPECT_EQ(0u, DeflateInit(used.get(), 0, 1));
  EXPECT_EQ(expected, used.Compress(record, DeflateFlushReset));
}

// ---------------------------------------------------------------------------
// Resumption

TEST(DeflateResume, SmallOutputBuffersGiveTheSameStream) {
  for (const auto& [name, data] : Corpus()) {
    if (data.size() > 70000) continue;
    SCOPED_TRACE(name);
    Compressor whole;
    Bytes expected = whole.Compress(data, DeflateFlushReset);
    for (uint32_t room : {8u, 9u, 13u, 64u, 4096u}) {
      SCOPED_TRACE(room);
      Compressor pieces;
      EXPECT_EQ(expected, pieces.CompressInSmallBuffers(data, room, DeflateFlushReset));
    }
  }
}

TEST(DeflateResume, InputInPiecesThenFinishedGivesTheSameStream) {
  for (const auto& [name, data] : Corpus()) {
    SCOPED_TRACE(name);
    Compressor whole;
    Bytes expected = whole.Compress(data, DeflateFlushChained);
    for (size_t piece : {1u, 7u, 100u, 259u, 260u, 261u, 5000u}) {
      SCOPED_TRACE(piece);
      Compressor streaming;
      Bytes stream;
      size_t consumed = 0, received = 0;
      Bytes out(data.size() + 1024);
      // Input arrives `piece` bytes at a time; everything received and not
      // consumed is offered again.
      while (received < data.size()) {
        received = std::min(data.size(), received + piece);
        uint32_t in = static_cast<uint32_t>(received - consumed);
        uint32_t room = static_cast<uint32_t>(out.size());
        ASSERT_EQ(0u, DeflateCompress(data.data() + consumed, &in, out.data(), &room,
                                      streaming.get(), DeflateFlushMore));
        consumed += in;
        stream.insert(stream.end(), out.begin(), out.begin() + room);
      }
      uint32_t in = static_cast<uint32_t>(data.size() - consumed);
      uint32_t room = static_cast<uint32_t>(out.size());
      ASSERT_EQ(1u, DeflateCompress(data.data() + consumed, &in, out.data(), &room,
                                    streaming.get(), DeflateFlushChained));
      EXPECT_EQ(data.size() - consumed, in);
      stream.insert(stream.end(), out.begin(), out.begin() + room);
      EXPECT_EQ(expected, stream);
    }
  }
}

TEST(DeflateResume, UnfinishedStreamTakesInputOnlyAsTheLookaheadNeedsIt) {
  Compressor compressor;
  Bytes data = Text(1000, 5);
  uint8_t out[2048];
  // A stream starts by filling 260 bytes of lookahead: 100 bytes are not
  // enough and are left with the caller.
  uint32_t in = 100, room = sizeof(out);
  EXPECT_EQ(0u, DeflateCompress(data.data(), &in, out, &room, compressor.get(), 0));
  EXPECT_EQ(0u, in);
  EXPECT_EQ(0u, room);
  in = 1000;
  room = sizeof(out);
  EXPECT_EQ(0u, DeflateCompress(data.data(), &in, out, &room, compressor.get(), 0));
  EXPECT_GE(in, 1000u - 258u);
  EXPECT_LE(in, 1000u);
  uint32_t rest = 1000 - in;
  room = sizeof(out);
  EXPECT_EQ(1u, DeflateCompress(data.data() + in, &rest, out, &room, compressor.get(), 3));
}

TEST(DeflateResume, OutputBelowEightBytesIsRefusedWithoutProgress) {
  Compressor compressor;
  Bytes data = Text(100, 1);
  uint8_t out[7];
  uint32_t in = 100, room = 7;
  EXPECT_EQ(0u, DeflateCompress(data.data(), &in, out, &room, compressor.get(), 3));
  EXPECT_EQ(0u, in);
  EXPECT_EQ(0u, room);
  // The context is untouched: a later call gives the normal stream.
  Compressor fresh;
  EXPECT_EQ(fresh.Compress(data, 3), compressor.Compress(data, 3));
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST(DeflateLifecycle, EveryFailedAllocationIsReportedAndLeaksNothing) {
  for (uint64_t failAt = 1; failAt <= 6; ++failAt) {
    DeflateContext* context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
    MemSetFailure(failAt);
    EXPECT_EQ(1u, DeflateInit(context, 0, 0)) << failAt;
    MemSetFailure(0);
    DeflateEnd(context);  // safe again on the cleared record
    MemFree(context);
  }
  DeflateContext* context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
  MemSetFailure(7);
  EXPECT_EQ(0u, DeflateInit(context, 0, 0));
  MemSetFailure(0);
  DeflateEnd(context);
  MemFree(context);
}

}  // namespace
}  // namespace varnfile
