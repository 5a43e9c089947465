// The DEFLATE decompressor against zlib's streams, resumed at every kind of
// split, and on hand-made streams for the exact edges of its contract.
#include "codec/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;

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

// Writes fields least significant bit first; Code() writes a prefix code
// most significant bit first, as DEFLATE sends Huffman codes.
class BitWriter {
 public:
  BitWriter& Bits(uint32_t value, uint32_t count) {
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
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<uint8_t> clLengths(19);  // 13 codes of 4 bits, 6 of 5 bits
    for (size_t s = 0; s < 19; ++s) clLengths[s] = s < 13 ? 4 : 5;
    auto cl = CanonicalCodes(clLengths);
    Header(final, 2).Bits(static_cast<uint32_t>(literal.size() - 257), 5);
    Bits(static_cast<uint32_t>(distance.size() - 1), 5).Bits(15, 4);
    for (uint8_t s : kOrder) Bits(clLengths[s], 3);
    for (uint8_t l : literal) Code(cl[l].first, cl[l].second);
    for (uint8_t l : distance) Code(cl[l].first, cl[l].second);
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

struct ZlibOptions {
  int level = 6, windowBits = -13, strategy = Z_DEFAULT_STRATEGY;
  int flush = Z_NO_FLUSH;  // applied every flushEvery bytes
  size_t flushEvery = 0;
  const Bytes* dictionary = nullptr;
  int last = Z_FINISH;  // or end with `flush`, leaving the stream open
};

Bytes ZlibCompress(const Bytes& data, const ZlibOptions& o) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, o.level, Z_DEFLATED, o.windowBits, 8, o.strategy) != Z_OK) std::abort();
  if (o.dictionary != nullptr && !o.dictionary->empty()) {
    deflateSetDictionary(&z, o.dictionary->data(), static_cast<uInt>(o.dictionary->size()));
  }
  Bytes out(deflateBound(&z, data.size()) + 64 + data.size() / 8);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  size_t every = o.flushEvery != 0 ? o.flushEvery : data.size() + 1;
  for (size_t offset = 0;;) {
    size_t piece = std::min(every, data.size() - offset);
    z.next_in = const_cast<Bytef*>(data.data() + offset);
    z.avail_in = static_cast<uInt>(piece);
    offset += piece;
    bool last = offset == data.size();
    int rc = deflate(&z, last ? o.last : o.flush);
    if (last && rc != (o.last == Z_FINISH ? Z_STREAM_END : Z_OK)) std::abort();
    if (last) break;
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Test data, deterministic for a seed: 0 text, 1 binary records, 2 runs,
// 3 random bytes.
Bytes Data(int kind, size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",    "quick ", "brown ", "fox ",         "jumps ",  "over ",  "lazy ",
      "dog. ",   "item ",  "file ",  "transaction ", "record ", "cache\n", "of ",
      "window ", "value=", "42, ",   "compressed ",  "stream\n", "a "};
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  Bytes out;
  uint32_t counter = 1000;
  while (out.size() < size) {
    if (kind == 0) {
      const char* word = kWords[next() % (sizeof kWords / sizeof kWords[0])];
      out.insert(out.end(), word, word + std::strlen(word));
    } else if (kind == 1) {  // little-endian counters and small values
      counter += next() % 7;
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(counter >> (8 * i)));
      Bytes rest = {static_cast<uint8_t>(next() % 4), 0, static_cast<uint8_t>(next()),
                    static_cast<uint8_t>(0xF0 | (next() % 3))};
      out.insert(out.end(), rest.begin(), rest.end());
    } else if (kind == 2) {
      uint8_t value = static_cast<uint8_t>(next() % 3);
      out.insert(out.end(), 1 + next() % 600, value);
    } else {
      out.push_back(static_cast<uint8_t>(next()));
    }
  }
  out.resize(size);
  return out;
}

struct Context {
  Context() : c(static_cast<InflateContext*>(MemAlloc(InflateContextSize()))) {
    if (c == nullptr || InflateInit(c, 0) != 0) std::abort();
  }
  ~Context() { InflateEnd(c), MemFree(c); }
  InflateContext* get() { return c; }
  InflateContext* operator->() { return c; }
  InflateContext* c;
};

struct CallResult {
  uint32_t result, consumed, written;
  bool operator==(const CallResult& o) const {
    return result == o.result && consumed == o.consumed && written == o.written;
  }
};
std::ostream& operator<<(std::ostream& os, const CallResult& r) {
  return os << "{result " << r.result << ", consumed " << r.consumed << ", written " << r.written << "}";
}

// One call over `input` (followed by 3 slack bytes) into `room` bytes of
// output appended to *out; aborts if it writes past the room.
CallResult Once(InflateContext* context, const uint8_t* input, size_t size, uint32_t room,
                uint32_t mode, Bytes* out, uint8_t slack = 0xA5) {
  Bytes in(input, input + size);
  in.insert(in.end(), 3, slack);
  Bytes area(room + 1, 0xEE);
  uint32_t inputLength = static_cast<uint32_t>(size), outputLength = room;
  uint32_t result = Inflate(in.data(), &inputLength, area.data(), &outputLength, context, mode);
  if (area[room] != 0xEE) std::abort();
  out->insert(out->end(), area.begin(), area.begin() + outputLength);
  return {result, inputLength, outputLength};
}
CallResult Once(InflateContext* context, const Bytes& input, uint32_t room, uint32_t mode,
                Bytes* out, uint8_t slack = 0xA5) {
  return Once(context, input.data(), input.size(), room, mode, out, slack);
}

// Decodes a stream in input pieces of `piece` bytes (mode 0, the last one in
// mode 2) and `room` bytes of output per call, a call without progress
// followed by one with room for any step; expects it to finish with `expected`.
void ExpectPieces(const Bytes& stream, const Bytes& expected, size_t piece, uint32_t room,
                  const std::string& what) {
  Context context;
  Bytes out;
  size_t offset = 0;
  uint32_t roomNow = room;
  for (int calls = 0; calls < 2000000; ++calls) {
    size_t give = std::min(piece, stream.size() - offset);
    uint32_t mode = give == stream.size() - offset ? 2 : 0;
    size_t cap = expected.size() + 8 - out.size();
    CallResult r = Once(context.get(), stream.data() + offset, give,
                        static_cast<uint32_t>(std::min<size_t>(roomNow, cap)), mode, &out);
    offset += r.consumed;
    if (r.result == 1 && context->state <= InflateStopped) break;
    roomNow = (r.consumed == 0 && r.written == 0) ? 65536 : room;
  }
  EXPECT_EQ(context->state, InflateBetweenBlocks) << what;
  EXPECT_EQ(offset, stream.size()) << what;
  ASSERT_TRUE(out == expected) << what;
}

// ---- Streams from zlib -------------------------------------------------------

// One call in mode 2 with exactly the data's room, the way items are read,
// over levels, windows, strategies and flushes inside the stream.
TEST(InflateZlib, LevelsWindowsStrategiesAndFlushes) {
  std::vector<ZlibOptions> configs;
  for (int windowBits : {-13, -9}) {
    for (int level : {0, 1, 3, 6, 9}) configs.push_back({level, windowBits});
  }
  for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED, Z_DEFAULT_STRATEGY}) {
    for (int flush : {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH}) {
      for (int level : {1, 9}) configs.push_back({level, -13, strategy, flush, 777});
    }
  }
  std::vector<Bytes> corpus = {Data(0, 20000, 1), Data(1, 20000, 2), Data(2, 20000, 3),
                               Data(3, 9000, 4),  Bytes(),           Bytes{0x7A},
                               Data(0, 65536, 9), Data(1, 65536, 7)};
  for (size_t i = 0; i < corpus.size(); ++i) {
    for (const ZlibOptions& o : configs) {
      std::string what = "data " + std::to_string(i) + " level " + std::to_string(o.level) +
                         " window " + std::to_string(o.windowBits) + " strategy " +
                         std::to_string(o.strategy) + " flush " + std::to_string(o.flush);
      Bytes stream = ZlibCompress(corpus[i], o);
      Context context;
      Bytes out;
      CallResult r = Once(context.get(), stream, static_cast<uint32_t>(corpus[i].size()), 2, &out);
      EXPECT_EQ(r.result, 1u) << what;
      EXPECT_EQ(context->state, InflateBetweenBlocks) << what;
      EXPECT_EQ(r.consumed, stream.size()) << what;
      ASSERT_TRUE(out == corpus[i]) << what;
    }
  }
}

// Items of a chained file: each stream was compressed with the 8 KB before
// it as zlib's dictionary and is decoded in mode 2 on the same context. A
// mode 3 call then resets the cursor but keeps the window's bytes.
TEST(InflateZlib, ChainedStreamsShareTheWindow) {
  Bytes all = Data(0, 60000, 5), binary = Data(1, 30000, 6);
  all.insert(all.end(), binary.begin(), binary.end());
  Context context;
  uint32_t seed = 11;
  int items = 0;
  for (size_t offset = 0, size; offset < all.size(); offset += size, ++items) {
    size = std::min<size_t>(1 + (seed = seed * 1103515245u + 12345u) % 2500, all.size() - offset);
    Bytes item(all.begin() + offset, all.begin() + offset + size);
    Bytes dictionary(all.begin() + (offset > WindowSize ? offset - WindowSize : 0),
                     all.begin() + offset);
    ZlibOptions o;
    o.level = 1 + items % 9;
    o.dictionary = &dictionary;
    Bytes stream = ZlibCompress(item, o), out;
    ASSERT_EQ(Once(context.get(), stream, static_cast<uint32_t>(size), 2, &out),
              (CallResult{1, static_cast<uint32_t>(stream.size()), static_cast<uint32_t>(size)}));
    ASSERT_TRUE(out == item) << "item " << items;
  }
  EXPECT_GT(items, 50);

  // A fresh context, exactly 8,192 bytes of history, then mode 3: a distance
  // d now reads the byte 8,192 - d of the window, which is that history.
  Context fresh;
  Bytes history = Data(0, WindowSize, 21), next = Data(0, 3000, 22), out;
  ASSERT_EQ(Once(fresh.get(), ZlibCompress(history, ZlibOptions()), WindowSize, 3, &out).result, 1u);
  EXPECT_EQ(fresh->windowCursor, fresh->window);
  ZlibOptions o;
  o.dictionary = &history;
  out.clear();
  EXPECT_EQ(Once(fresh.get(), ZlibCompress(next, o), 3000, 3, &out).result, 1u);
  EXPECT_TRUE(out == next);
}

// ---- Resumption ----------------------------------------------------------------

TEST(InflateResume, InputPiecesAndOutputRoomGiveTheSameBytes) {
  for (int kind = 0; kind < 4; ++kind) {
    Bytes data = Data(kind, kind == 3 ? 3000 : 12000, 31 + kind);
    for (int level : {0, 1, 6, 9}) {
      for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
        Bytes stream = ZlibCompress(data, {level, -13, strategy, Z_SYNC_FLUSH, 5000});
        for (size_t piece : {4u, 8u, 12u, 100u, 1u << 20}) {
          for (uint32_t room : {1u, 2u, 3u, 7u, 258u, 259u, 1u << 20}) {
            ExpectPieces(stream, data, piece, room,
                         "kind " + std::to_string(kind) + " level " + std::to_string(level) +
                             " strategy " + std::to_string(strategy) + " piece " +
                             std::to_string(piece) + " room " + std::to_string(room));
          }
        }
      }
    }
  }
}

// A back-reference step (length 258) waits, unchanged, until the call has
// room for all of it.
TEST(InflateResume, RoomSmallerThanAStepMakesNoProgress) {
  Bytes stream = BitWriter().Header(true, 1).Fixed('a').Match(258, 1).Fixed(256).Finish();
  Context context;
  Bytes out;
  EXPECT_EQ(Once(context.get(), stream, 1, 0, &out), (CallResult{0, 4, 1}));
  const uint8_t* rest = stream.data() + 4;
  uint32_t restSize = static_cast<uint32_t>(stream.size() - 4);
  for (uint32_t room : {1u, 100u, 257u}) {
    InflateContext before;
    std::memcpy(&before, context.get(), sizeof before);
    EXPECT_EQ(Once(context.get(), rest, restSize, room, 0, &out), (CallResult{0, 0, 0}));
    EXPECT_EQ(context->state, InflateCopyOutput);
    EXPECT_EQ(context->length, before.length);
    EXPECT_EQ(context->windowCursor, before.windowCursor);
  }
  EXPECT_EQ(Once(context.get(), rest, restSize, 258, 2, &out), (CallResult{1, restSize, 258}));
  EXPECT_EQ(out, Bytes(259, 'a'));

}

// In mode 0 the end of the input is not the end of the stream: a code cut
// short waits. In mode 2 the missing bits read as zeros.
TEST(InflateResume, ModeZeroWaitsModeTwoFillsWithZeros) {
  BitWriter writer;
  writer.Header(true, 1);
  for (int i = 0; i < 8; ++i) writer.Fixed('0' + i);
  Bytes stream = writer.Fixed(256).Finish(), out;
  Bytes first(stream.begin(), stream.begin() + 4);  // 3 literals and 5 bits
  Context waiting;
  EXPECT_EQ(Once(waiting.get(), first, 100, 0, &out, 0x00), (CallResult{0, 4, 3}));
  EXPECT_EQ(waiting->state, InflateLiteralCode);
  uint32_t restSize = static_cast<uint32_t>(stream.size() - 4);
  EXPECT_EQ(Once(waiting.get(), stream.data() + 4, restSize, 100, 2, &out), (CallResult{1, restSize, 5}));
  EXPECT_EQ(out, Bytes({'0', '1', '2', '3', '4', '5', '6', '7'}));
  Context filling;  // runs dry after the zero-filled code
  EXPECT_EQ(Once(filling.get(), first, 100, 2, &out, 0x00), (CallResult{0, 4, 4}));
}

// ---- Edges of the call contract ------------------------------------------------

TEST(InflateEdges, EmptyStreamsAndCallsWithoutInput) {
  for (uint32_t mode : {0u, 2u, 3u}) {  // an empty fixed block; trailing bytes stay
    Context context;
    Bytes out;
    EXPECT_EQ(Once(context.get(), Bytes({0x03, 0x00, 0x55, 0x66}), 10, mode, &out), (CallResult{1, 2, 0}));
    EXPECT_EQ(context->state, InflateBetweenBlocks);
  }
  Context context;
  Bytes out;
  Once(context.get(), ZlibCompress(Data(0, 100, 1), ZlibOptions()), 100, 2, &out);
  EXPECT_EQ(Once(context.get(), nullptr, 0, 10, 2, &out), (CallResult{1, 0, 0}));
  EXPECT_NE(context->windowCursor, context->window);  // mode 2 keeps the history
  EXPECT_EQ(Once(context.get(), nullptr, 0, 10, 3, &out), (CallResult{1, 0, 0}));
  EXPECT_EQ(context->windowCursor, context->window);  // mode 3 resets it
  EXPECT_EQ(context->state, InflateBetweenBlocks);
  EXPECT_EQ(Once(context.get(), nullptr, 0, 10, 0, &out).result, 0u);  // mode 0 waits
  EXPECT_EQ(context->state, InflateBlockHeader);
}

TEST(InflateEdges, StoredBlocks) {
  Bytes empty = BitWriter().Header(true, 0).Align().Bits(0, 16).Bits(0xffff, 16).Finish(), out;
  Context context;
  EXPECT_EQ(Once(context.get(), empty, 10, 2, &out), (CallResult{1, 5, 0}));
  EXPECT_EQ(context->state, InflateBetweenBlocks);
  Bytes five = BitWriter().Header(true, 0).Align().Bits(5, 16).Bits(0xfffa, 16)
                   .Bits(0x04030201, 32).Bits(5, 8).Finish();
  Context noRoom;  // a chunk of 0 bytes ends the stream
  EXPECT_EQ(Once(noRoom.get(), five, 0, 0, &out).result, 1u);
  EXPECT_EQ(noRoom->state, InflateStopped);
  Context noInput;  // so does a call given no input, chunk bytes buffered
  EXPECT_EQ(Once(noInput.get(), five.data(), 8, 100, 0, &out), (CallResult{0, 8, 0}));
  EXPECT_EQ(noInput->state, InflateStoredInput);
  EXPECT_EQ(Once(noInput.get(), nullptr, 0, 100, 0, &out), (CallResult{1, 0, 0}));
  EXPECT_EQ(noInput->state, InflateStopped);
  ExpectPieces(five, Bytes({1, 2, 3, 4, 5}), 4, 2, "stored in pieces");
}

// Back-references whose target, then whose source, crosses the window end,
// to the oldest byte, and of distance 1 and length 258, against a
// byte-by-byte copy, with little and much room.
TEST(InflateEdges, CopiesAcrossTheWindowEnd) {
  Bytes expected = Data(3, WindowSize - 5, 41);
  BitWriter writer;
  writer.Header(false, 0).Align().Bits(static_cast<uint32_t>(expected.size()), 16);
  writer.Bits(~expected.size() & 0xffff, 16);
  for (uint8_t byte : expected) writer.Bits(byte, 8);
  writer.Header(true, 1);
  for (auto [length, distance] : {std::pair<uint32_t, uint32_t>{20, 300}, {100, 120},
                                  {258, WindowSize}, {7, 3}, {258, 1}, {258, 1}}) {
    writer.Match(length, distance);
    for (size_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
  }
  Bytes stream = writer.Fixed(256).Finish();
  for (uint32_t room : {1u << 20, 7u, 259u}) {
    ExpectPieces(stream, expected, 1 << 20, room, "room " + std::to_string(room));
  }
}

// ---- Dynamic blocks --------------------------------------------------------------

std::vector<uint8_t> Lengths(size_t n, std::initializer_list<std::pair<size_t, uint8_t>> set) {
  std::vector<uint8_t> lengths(n, 0);
  for (auto [symbol, length] : set) lengths[symbol] = length;
  return lengths;
}

// A single distance code of one bit is accepted. Codes of 1 to 15 bits for
// literals and distances: codes above 8 bits go through the tree, in the
// fast loop and, with little room or input, step by step.
TEST(InflateDynamic, SingleDistanceCodeAndCodesUpToFifteenBits) {
  auto literal = Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  auto lit = CanonicalCodes(literal);
  BitWriter small;
  small.Dynamic(true, literal, Lengths(1, {{0, 1}})).Code(lit['a'].first, 2).Code(lit['b'].first, 2);
  Bytes stream = small.Code(lit[257].first, 2).Code(0, 1).Code(lit[256].first, 2).Finish();
  ExpectPieces(stream, Bytes({'a', 'b', 'b', 'b', 'b'}), 1 << 20, 100, "single distance code");

  // 'A'..'M' get 1..13 bits; 'N', 'O', end of block and length 3 the four
  // 15-bit codes left. Distances 0..14 get 1..15 bits, 15 the other 15.
  std::vector<uint8_t> lengths(286, 0), distance(16, 0);
  for (uint8_t i = 0; i < 13; ++i) lengths['A' + i] = i + 1;
  lengths['N'] = lengths['O'] = lengths[256] = lengths[257] = 15;
  for (uint8_t i = 0; i < 15; ++i) distance[i] = i + 1;
  distance[15] = 15;
  lit = CanonicalCodes(lengths);
  auto dist = CanonicalCodes(distance);
  BitWriter w;
  w.Dynamic(true, lengths, distance);
  Bytes expected;
  uint32_t seed = 77;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint32_t pick = (seed >> 16) % 16;
    if (pick < 15 || expected.size() < 300) {
      w.Code(lit['A' + pick % 15].first, lit['A' + pick % 15].second);
      expected.push_back(static_cast<uint8_t>('A' + pick % 15));
    } else {
      uint32_t d = (seed >> 8) % 16;  // extra bits all zero
      w.Code(lit[257].first, lit[257].second).Code(dist[d].first, dist[d].second);
      w.Bits(0, kDistanceExtra[d]);
      for (int k = 0; k < 3; ++k) expected.push_back(expected[expected.size() - kDistanceBase[d]]);
    }
  }
  stream = w.Code(lit[256].first, lit[256].second).Finish();
  for (uint32_t room : {1u << 20, 1u, 3u, 300u}) {
    for (size_t piece : {size_t{1} << 20, size_t{4}}) {
      ExpectPieces(stream, expected, piece, room, std::to_string(room) + " " + std::to_string(piece));
    }
  }
}

// A dynamic block after fixed ones must not decode with stale fixed tables,
// nor a fixed block after a dynamic one.
TEST(InflateDynamic, FixedBlockAfterADynamicOne) {
  Bytes text = Data(0, 3000, 61);
  ZlibOptions o;
  o.flush = o.last = Z_SYNC_FLUSH;
  o.flushEvery = 1000;
  // A fixed block of six 9-bit literals ends on a byte boundary.
  BitWriter head;
  head.Header(false, 1);
  for (int i = 0; i < 6; ++i) head.Fixed(200);
  Bytes stream = head.Fixed(256).Finish(), zlib = ZlibCompress(text, o);
  ASSERT_EQ(zlib[0] & 7, 4);  // not final, dynamic
  stream.insert(stream.end(), zlib.begin(), zlib.end());
  Bytes tail = BitWriter().Header(true, 1).Fixed('!').Fixed(256).Finish();
  stream.insert(stream.end(), tail.begin(), tail.end());
  text.insert(text.begin(), 6, 200);
  text.push_back('!');
  ExpectPieces(stream, text, 1 << 20, 1 << 20, "one call");
  ExpectPieces(stream, text, 1 << 20, 5, "small room");
}

// ---- Invalid data -------------------------------------------------------------

// Every stream starts with a non-final fixed block holding "ok": the output
// keeps what came before the damage, the stream ends in state 1 (mode 3:
// reset), in one call or in many with a room of 1.
TEST(InflateInvalid, EndsTheStreamKeepingWhatWasDecoded) {
  auto start = [] { return BitWriter().Header(false, 1).Fixed('o').Fixed('k').Fixed(256); };
  auto dynamic = [&](uint32_t l16, uint32_t l17, uint32_t l18, uint32_t l0) {
    // HLIT 257, HDIST 1, HCLEN 4: lengths of the code-length codes 16, 17, 18, 0.
    return start().Header(true, 2).Bits(0, 14).Bits(l16, 3).Bits(l17, 3).Bits(l18, 3).Bits(l0, 3);
  };
  auto withCodes = [&](std::vector<uint8_t> literal, std::vector<uint8_t> distance) {
    return start().Dynamic(true, literal, distance).Bits(0, 16).Finish();
  };
  auto goodLiteral = Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  struct Bad {
    const char* name;
    Bytes stream;
    std::string before;
  } cases[] = {
      {"btype 3", start().Header(true, 3).Finish(), "ok"},
      {"nlen", start().Header(true, 0).Align().Bits(3, 16).Bits(0xfffb, 16).Bits(0x616161, 24).Finish(), "ok"},
      {"literal 286", start().Header(true, 1).Fixed('!').Fixed(286).Finish(), "ok!"},
      {"literal 287", start().Header(true, 1).Fixed(287).Finish(), "ok"},
      {"distance 30", start().Header(true, 1).Fixed(257).Code(30, 5).Finish(), "ok"},
      {"distance 31", start().Header(true, 1).Fixed(257).Code(31, 5).Finish(), "ok"},
      {"beyond window", start().Header(true, 1).Match(3, WindowSize + 1).Fixed(256).Finish(), "ok"},
      {"code-length code over-subscribed", dynamic(1, 1, 1, 0).Finish(), "ok"},
      {"code-length code incomplete", dynamic(2, 2, 2, 0).Finish(), "ok"},
      // 18 -> "0", 0 -> "1": two runs of 138 zeros pass the 258 lengths wanted.
      {"run past the lengths", dynamic(0, 0, 1, 1).Code(0, 1).Bits(127, 7).Code(0, 1).Bits(127, 7).Finish(), "ok"},
      {"literal code over-subscribed", withCodes(Lengths(257, {{'a', 1}, {'b', 1}, {256, 1}}), Lengths(1, {{0, 1}})), "ok"},
      {"literal code incomplete", withCodes(Lengths(257, {{'a', 2}, {256, 2}}), Lengths(1, {{0, 1}})), "ok"},
      {"distance code over-subscribed", withCodes(goodLiteral, Lengths(3, {{0, 1}, {1, 1}, {2, 1}})), "ok"},
  };
  for (const Bad& bad : cases) {
    for (uint32_t mode : {0u, 2u, 3u}) {
      for (uint32_t room : {1000u, 1u}) {
        Context context;
        Bytes out;
        CallResult r{};
        size_t offset = 0;
        for (int call = 0; call < 20 && r.result != 1; ++call) {
          r = Once(context.get(), bad.stream.data() + offset, bad.stream.size() - offset, room, mode, &out);
          offset += r.consumed;
        }
        std::string what = std::string(bad.name) + " mode " + std::to_string(mode) + " room " +
                           std::to_string(room);
        EXPECT_EQ(r.result, 1u) << what;
        EXPECT_EQ(out, Bytes(bad.before.begin(), bad.before.end())) << what;
        EXPECT_LE(offset, bad.stream.size()) << what;
        EXPECT_EQ(context->state, mode == 3 ? InflateBetweenBlocks : InflateStopped) << what;
      }
    }
  }
}

TEST(InflateLifecycle, InitFailsCleanlyWhenMemoryRunsOut) {
  auto* context = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  ASSERT_NE(context, nullptr);
  for (uint64_t failAt = 1; failAt <= 2; ++failAt) {
    MemSetFailure(failAt);
    EXPECT_EQ(InflateInit(context, 0), 1u) << failAt;
    EXPECT_TRUE(context->window == nullptr && context->tables == nullptr) << failAt;
  }
  MemSetFailure(0);
  ASSERT_EQ(InflateInit(context, 0), 0u);
  EXPECT_EQ(InflateEnd(context), 0u);
  EXPECT_EQ(context->window, nullptr);
  MemFree(context);
}

}  // namespace
}  // namespace varnfile
