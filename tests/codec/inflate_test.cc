// The DEFLATE decompressor against zlib's streams, resumed at every kind of
// split, and on hand-made streams for the exact edges of its contract.
#include "codec/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "codec/inflate_test_util.h"
#include "platform/memory.h"

namespace varnfile {
namespace {

using inflatetest::BitWriter;
using inflatetest::Bytes;
using inflatetest::CallResult;
using inflatetest::Context;
using inflatetest::InflateOnce;
using inflatetest::ZlibCompress;
using inflatetest::ZlibOptions;

struct NamedData {
  const char* name;
  Bytes data;
};

std::vector<NamedData> Corpus() {
  return {{"text", inflatetest::TextData(20000)},     {"binary", inflatetest::BinaryData(20000)},
          {"runs", inflatetest::RunData(20000)},      {"random", inflatetest::RandomData(9000)},
          {"empty", {}},                              {"one", {0x7A}},
          {"text64k", inflatetest::TextData(65536, 9)}, {"binary64k", inflatetest::BinaryData(65536, 7)}};
}

// One call in mode 2 with exactly the data's room: the way items are read.
void ExpectDecodes(const Bytes& stream, const Bytes& data, const std::string& what) {
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), stream, static_cast<uint32_t>(data.size()), 2, &out);
  EXPECT_EQ(r.result, 1u) << what;
  EXPECT_EQ(context->state, InflateBetweenBlocks) << what;
  EXPECT_EQ(r.consumed, stream.size()) << what;
  ASSERT_EQ(out.size(), data.size()) << what;
  EXPECT_TRUE(out == data) << what;
}

// ---- Streams from zlib -----------------------------------------------------

TEST(InflateZlibStreams, EveryLevelAndWindow) {
  for (const NamedData& item : Corpus()) {
    for (int windowBits : {-13, -11, -9}) {
      for (int level = 0; level <= 9; ++level) {
        ZlibOptions options;
        options.level = level;
        options.windowBits = windowBits;
        ExpectDecodes(ZlibCompress(item.data, options), item.data,
                      std::string(item.name) + " level " + std::to_string(level) + " window " +
                          std::to_string(windowBits));
      }
    }
  }
}

TEST(InflateZlibStreams, StrategiesAndFlushes) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const NamedData& item : Corpus()) {
    for (int strategy : strategies) {
      for (int flush : {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH}) {
        for (int level : {1, 6, 9}) {
          ZlibOptions options;
          options.level = level;
          options.strategy = strategy;
          options.flush = flush;
          options.flushEvery = 777;
          ExpectDecodes(ZlibCompress(item.data, options), item.data,
                        std::string(item.name) + " strategy " + std::to_string(strategy) +
                            " flush " + std::to_string(flush) + " level " +
                            std::to_string(level));
        }
      }
    }
  }
}

// Items of a chained file: each stream was compressed with the 8 KB before
// it as zlib's dictionary and is decoded in mode 2 on the same context.
TEST(InflateZlibStreams, ChainedStreamsShareTheWindow) {
  Bytes all = inflatetest::TextData(60000, 5);
  Bytes binary = inflatetest::BinaryData(30000, 6);
  all.insert(all.end(), binary.begin(), binary.end());
  Context context;
  size_t offset = 0;
  uint32_t seed = 11;
  int items = 0;
  while (offset < all.size()) {
    size_t size = 1 + (seed = seed * 1103515245u + 12345u) % 2500;
    if (size > all.size() - offset) size = all.size() - offset;
    Bytes item(all.begin() + offset, all.begin() + offset + size);
    size_t start = offset > WindowSize ? offset - WindowSize : 0;
    Bytes dictionary(all.begin() + start, all.begin() + offset);
    ZlibOptions options;
    options.level = 1 + items % 9;
    options.dictionary = &dictionary;
    Bytes stream = ZlibCompress(item, options);
    Bytes out;
    CallResult r = InflateOnce(context.get(), stream, static_cast<uint32_t>(size), 2, &out);
    ASSERT_EQ(r.result, 1u) << "item " << items;
    ASSERT_EQ(r.consumed, stream.size()) << "item " << items;
    ASSERT_TRUE(out == item) << "item " << items;
    offset += size;
    ++items;
  }
  EXPECT_GT(items, 50);
}

// After a reset the window cursor is back at the window start and the
// window's bytes stay: a distance d then reads the byte 8,192 - d of the
// window, which after exactly 8,192 bytes of history is that history.
TEST(InflateZlibStreams, ResetKeepsTheWindowBytes) {
  Bytes history = inflatetest::TextData(WindowSize, 21);
  Bytes next = inflatetest::TextData(3000, 22);
  ZlibOptions options;
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), ZlibCompress(history, options),
                             WindowSize, 3, &out);
  ASSERT_EQ(r.result, 1u);
  EXPECT_EQ(context->windowCursor, context->window);  // mode 3 reset it
  options.dictionary = &history;
  Bytes stream = ZlibCompress(next, options);
  out.clear();
  r = InflateOnce(context.get(), stream, 3000, 3, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_TRUE(out == next);
}

// ---- Resumption --------------------------------------------------------------

TEST(InflateResume, InputPiecesAndOutputRoomGiveTheSameBytes) {
  std::vector<NamedData> data = {{"text", inflatetest::TextData(12000, 31)},
                                 {"binary", inflatetest::BinaryData(12000, 32)},
                                 {"runs", inflatetest::RunData(12000, 33)},
                                 {"random", inflatetest::RandomData(3000, 34)}};
  for (const NamedData& item : data) {
    for (int level : {0, 1, 6, 9}) {
      for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
        ZlibOptions options;
        options.level = level;
        options.strategy = strategy;
        options.flush = Z_SYNC_FLUSH;
        options.flushEvery = 5000;
        Bytes stream = ZlibCompress(item.data, options);
        for (size_t piece : {4u, 8u, 12u, 100u, 1u << 20}) {
          for (uint32_t room : {1u, 2u, 3u, 7u, 258u, 259u, 1u << 20}) {
            Context context;
            Bytes out;
            size_t consumed = 0;
            std::string what = std::string(item.name) + " level " + std::to_string(level) +
                               " strategy " + std::to_string(strategy) + " piece " +
                               std::to_string(piece) + " room " + std::to_string(room);
            ASSERT_TRUE(inflatetest::InflatePieces(context.get(), stream, piece, room,
                                                   item.data.size(), &out, &consumed))
                << what;
            EXPECT_EQ(consumed, stream.size()) << what;
            ASSERT_TRUE(out == item.data) << what;
          }
        }
      }
    }
  }
}

// A fixed block "a" then (length 258, distance 1), split so that the
// back-reference's single step needs 258 bytes of room.
TEST(InflateResume, RoomSmallerThanAStepMakesNoProgress) {
  Bytes stream = BitWriter()
                     .Bits(1, 1).Bits(1, 2)  // final, fixed
                     .FixedLiteral('a')
                     .FixedMatch(258, 1)
                     .FixedLiteral(256)
                     .Finish();
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), stream, 1, 0, &out);
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.written, 1u);
  EXPECT_EQ(r.consumed, 4u);
  // The step is in the window but not delivered: any room below 258 leaves
  // everything as it was.
  for (uint32_t room : {1u, 100u, 257u}) {
    InflateContext before;
    std::memcpy(&before, context.get(), sizeof before);
    r = InflateOnce(context.get(), stream.data() + 4, stream.size() - 4, room, 0, &out);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.written, 0u);
    EXPECT_EQ(r.consumed, 0u);
    EXPECT_EQ(context->state, InflateCopyOutput);
    EXPECT_EQ(context->length, before.length);
    EXPECT_EQ(context->windowCursor, before.windowCursor);
  }
  r = InflateOnce(context.get(), stream.data() + 4, stream.size() - 4, 258, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.written, 258u);
  EXPECT_EQ(r.consumed, stream.size() - 4);
  EXPECT_EQ(out, Bytes(259, 'a'));
}

TEST(InflateResume, LiteralWaitsForRoom) {
  Bytes stream = BitWriter().Bits(1, 1).Bits(1, 2).FixedLiteral('x').FixedLiteral('y')
                     .FixedLiteral(256).Finish();
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), stream, 1, 2, &out);
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(context->state, InflateLiteralOutput);
  EXPECT_EQ(context->symbol, 'y');
  EXPECT_EQ(r.consumed, 4u);
  r = InflateOnce(context.get(), nullptr, 0, 0, 0, &out);
  EXPECT_EQ(r.result, 0u);  // still no room
  EXPECT_EQ(context->state, InflateLiteralOutput);
  r = InflateOnce(context.get(), nullptr, 0, 5, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(out, Bytes({'x', 'y'}));
}

// In mode 0 the end of the input is not the end of the stream: a code cut
// short waits. In mode 2 the missing bits read as zeros.
TEST(InflateResume, ModeZeroWaitsModeTwoFillsWithZeros) {
  BitWriter writer;
  writer.Bits(1, 1).Bits(1, 2);
  for (int i = 0; i < 8; ++i) writer.FixedLiteral('0' + i);
  writer.FixedLiteral(256);
  Bytes stream = writer.Finish();  // 3 + 9 * 8 - 1 bits
  Bytes first(stream.begin(), stream.begin() + 4);  // 32 bits: 3 literals and 5 bits

  Context waiting;
  Bytes out;
  CallResult r = InflateOnce(waiting.get(), first, 100, 0, &out, 0x00);
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.consumed, 4u);
  EXPECT_EQ(out, Bytes({'0', '1', '2'}));
  EXPECT_EQ(waiting->state, InflateLiteralCode);
  r = InflateOnce(waiting.get(), stream.data() + 4, stream.size() - 4, 100, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.consumed, stream.size() - 4);
  EXPECT_EQ(out, Bytes({'0', '1', '2', '3', '4', '5', '6', '7'}));

  Context filling;
  out.clear();
  r = InflateOnce(filling.get(), first, 100, 2, &out, 0x00);
  EXPECT_EQ(r.result, 0u);  // ran dry after the zero-filled code
  EXPECT_EQ(out.size(), 4u);
}

// ---- Edge cases of the call contract ----------------------------------------

TEST(InflateEdges, EmptyFixedBlockConsumesTwoBytes) {
  for (uint32_t mode : {0u, 2u, 3u}) {
    Context context;
    Bytes out;
    CallResult r = InflateOnce(context.get(), Bytes({0x03, 0x00}), 10, mode, &out);
    EXPECT_EQ(r.result, 1u);
    EXPECT_EQ(r.written, 0u);
    EXPECT_EQ(r.consumed, 2u);
    EXPECT_EQ(context->state, InflateBetweenBlocks);
  }
  // Trailing bytes after the stream are not consumed either.
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), Bytes({0x03, 0x00, 0x55, 0x66, 0x77, 0x88}), 10, 2,
                             &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.consumed, 2u);
}

TEST(InflateEdges, NoInputInModeTwoAndThree) {
  Context context;
  Bytes out;
  Bytes data = inflatetest::TextData(100);
  InflateOnce(context.get(), ZlibCompress(data, ZlibOptions()), 100, 2, &out);
  ASSERT_NE(context->windowCursor, context->window);

  CallResult r = InflateOnce(context.get(), nullptr, 0, 10, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.written, 0u);
  EXPECT_NE(context->windowCursor, context->window);  // mode 2 keeps the history

  r = InflateOnce(context.get(), nullptr, 0, 10, 3, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(context->windowCursor, context->window);  // mode 3 reset it
  EXPECT_EQ(context->state, InflateBetweenBlocks);

  r = InflateOnce(context.get(), nullptr, 0, 10, 0, &out);
  EXPECT_EQ(r.result, 0u);  // mode 0 simply waits
  EXPECT_EQ(context->state, InflateBlockHeader);
}

TEST(InflateEdges, DistanceOneLengthMax) {
  Bytes stream = BitWriter().Bits(1, 1).Bits(1, 2).FixedLiteral('z').FixedMatch(258, 1)
                     .FixedMatch(258, 1).FixedLiteral(256).Finish();
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), stream, 1000, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(out, Bytes(517, 'z'));
}

// Back-references whose target, then whose source, crosses the window end,
// checked against zlib and against a byte-by-byte copy.
TEST(InflateEdges, CopiesAcrossTheWindowEnd) {
  Bytes prefix = inflatetest::RandomData(WindowSize - 5, 41);
  BitWriter writer;
  writer.Bits(0, 1).Bits(0, 2).AlignToByte();  // stored, not final
  writer.Bits(static_cast<uint32_t>(prefix.size()), 16).Bits(~prefix.size() & 0xffff, 16);
  for (uint8_t byte : prefix) writer.Byte(byte);
  writer.Bits(1, 1).Bits(1, 2);           // final fixed block
  writer.FixedMatch(20, 300);             // target crosses the end
  writer.FixedMatch(100, 120);            // source crosses the end
  writer.FixedMatch(258, WindowSize);     // the oldest byte
  writer.FixedMatch(7, 3);
  writer.FixedLiteral(256);
  Bytes stream = writer.Finish();

  Bytes expected = prefix;
  for (auto [length, distance] : {std::pair<size_t, size_t>{20, 300}, {100, 120},
                                  {258, WindowSize}, {7, 3}}) {
    for (size_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
  }
  Bytes viaZlib;
  ASSERT_TRUE(inflatetest::ZlibDecompress(stream, &viaZlib));
  ASSERT_EQ(viaZlib, expected);

  for (uint32_t room : {1u << 20, 7u, 259u}) {
    Context context;
    Bytes out;
    size_t consumed = 0;
    ASSERT_TRUE(inflatetest::InflatePieces(context.get(), stream, 1 << 20, room,
                                           expected.size(), &out, &consumed));
    EXPECT_EQ(out, expected) << room;
  }
}

// Second stream on the same context reaches 8,192 bytes back into the first.
TEST(InflateEdges, SecondStreamReachesIntoTheFirst) {
  Bytes first = inflatetest::RandomData(WindowSize, 51);
  Context context;
  Bytes out;
  ZlibOptions stored;
  stored.level = 0;
  ASSERT_EQ(InflateOnce(context.get(), ZlibCompress(first, stored), WindowSize, 2, &out).result,
            1u);
  Bytes stream = BitWriter().Bits(1, 1).Bits(1, 2).FixedMatch(10, WindowSize)
                     .FixedMatch(3, 1).FixedLiteral(256).Finish();
  out.clear();
  ASSERT_EQ(InflateOnce(context.get(), stream, 100, 2, &out).result, 1u);
  Bytes expected(first.begin(), first.begin() + 10);
  expected.insert(expected.end(), 3, first[9]);
  EXPECT_EQ(out, expected);
}

TEST(InflateEdges, StoredBlocks) {
  // LEN 0 is valid and produces nothing.
  Bytes empty = BitWriter().Bits(1, 1).Bits(0, 2).AlignToByte().Bits(0, 16).Bits(0xffff, 16)
                    .Finish();
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), empty, 10, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.consumed, 5u);
  EXPECT_EQ(context->state, InflateBetweenBlocks);

  // A chunk of 0 bytes (no room given) ends the stream.
  Bytes five = BitWriter().Bits(1, 1).Bits(0, 2).AlignToByte().Bits(5, 16).Bits(0xfffa, 16)
                   .Byte(1).Byte(2).Byte(3).Byte(4).Byte(5).Finish();
  Context noRoom;
  r = InflateOnce(noRoom.get(), five, 0, 0, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(noRoom->state, InflateStopped);

  // So does a call given no input, even with the chunk's bytes buffered.
  Context noInput;
  out.clear();
  r = InflateOnce(noInput.get(), five.data(), 8, 100, 0, &out);
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.consumed, 8u);
  EXPECT_EQ(noInput->state, InflateStoredInput);
  r = InflateOnce(noInput.get(), nullptr, 0, 100, 0, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(noInput->state, InflateStopped);
  EXPECT_TRUE(out.empty());

  // Chunks are limited by what the call was given, and resume.
  Context pieces;
  out.clear();
  size_t consumed = 0;
  ASSERT_TRUE(inflatetest::InflatePieces(pieces.get(), five, 4, 2, 5, &out, &consumed));
  EXPECT_EQ(out, Bytes({1, 2, 3, 4, 5}));
  EXPECT_EQ(consumed, five.size());
}

// ---- Invalid data -------------------------------------------------------------

struct BadStream {
  const char* name;
  Bytes stream;
  Bytes decodedFirst;
};

// Every stream starts with a non-final fixed block holding "ok", so the
// output must keep what came before the damage.
std::vector<BadStream> BadStreams() {
  auto start = [] {
    BitWriter w;
    w.Bits(0, 1).Bits(1, 2).FixedLiteral('o').FixedLiteral('k').FixedLiteral(256);
    return w;
  };
  std::vector<BadStream> bad;
  bad.push_back({"btype 3", start().Bits(1, 1).Bits(3, 2).Finish(), {'o', 'k'}});
  bad.push_back({"nlen", start().Bits(1, 1).Bits(0, 2).AlignToByte().Bits(3, 16).Bits(0xfffb, 16)
                             .Bits(0x616161, 24).Finish(), {'o', 'k'}});
  bad.push_back({"literal 286", start().Bits(1, 1).Bits(1, 2).FixedLiteral('!')
                                    .FixedLiteral(286).Finish(), {'o', 'k', '!'}});
  bad.push_back({"literal 287", start().Bits(1, 1).Bits(1, 2).FixedLiteral(287).Finish(),
                 {'o', 'k'}});
  bad.push_back({"distance 30", start().Bits(1, 1).Bits(1, 2).FixedLiteral(257).Code(30, 5)
                                    .Finish(), {'o', 'k'}});
  bad.push_back({"distance 31", start().Bits(1, 1).Bits(1, 2).FixedLiteral(257).Code(31, 5)
                                    .Finish(), {'o', 'k'}});
  bad.push_back({"beyond window", start().Bits(1, 1).Bits(1, 2).FixedMatch(3, WindowSize + 1)
                                      .FixedLiteral(256).Finish(), {'o', 'k'}});
  // Dynamic headers: HLIT 257, HDIST 1, HCLEN 4 (lengths of 16, 17, 18, 0).
  auto dynamic = [&](uint32_t l16, uint32_t l17, uint32_t l18, uint32_t l0) {
    BitWriter w = start();
    w.Bits(1, 1).Bits(2, 2).Bits(0, 5).Bits(0, 5).Bits(0, 4);
    w.Bits(l16, 3).Bits(l17, 3).Bits(l18, 3).Bits(l0, 3);
    return w;
  };
  bad.push_back({"code-length code over-subscribed", dynamic(1, 1, 1, 0).Finish(), {'o', 'k'}});
  bad.push_back({"code-length code incomplete", dynamic(2, 2, 2, 0).Finish(), {'o', 'k'}});
  // Code-length code: 18 -> "0", 0 -> "1". 18 with 138 zeros twice is 276
  // lengths of 258 wanted: the run goes past HLIT + HDIST.
  bad.push_back({"run past the lengths", dynamic(0, 0, 1, 1).Code(0, 1).Bits(127, 7).Code(0, 1)
                                             .Bits(127, 7).Finish(), {'o', 'k'}});
  return bad;
}

TEST(InflateInvalid, EndsTheStreamKeepingWhatWasDecoded) {
  for (const BadStream& bad : BadStreams()) {
    for (uint32_t mode : {0u, 2u, 3u}) {
      for (uint32_t room : {1000u, 1u}) {
        Context context;
        Bytes out;
        CallResult r{};
        // Small room: several calls, each continuing where the last stopped.
        size_t offset = 0;
        for (int call = 0; call < 20; ++call) {
          r = InflateOnce(context.get(), bad.stream.data() + offset, bad.stream.size() - offset,
                          room, mode, &out);
          offset += r.consumed;
          if (r.result == 1) break;
        }
        std::string what = std::string(bad.name) + " mode " + std::to_string(mode);
        EXPECT_EQ(r.result, 1u) << what;
        EXPECT_EQ(out, bad.decodedFirst) << what;
        EXPECT_LE(offset, bad.stream.size()) << what;
        if (mode == 3) {
          EXPECT_EQ(context->state, InflateBetweenBlocks) << what;  // reset
        } else {
          EXPECT_EQ(context->state, InflateStopped) << what;
        }
      }
    }
  }
}

// Dynamic blocks with hand-picked code lengths.
std::vector<uint8_t> Lengths(size_t n, std::initializer_list<std::pair<size_t, uint8_t>> set) {
  std::vector<uint8_t> lengths(n, 0);
  for (auto [symbol, length] : set) lengths[symbol] = length;
  return lengths;
}

TEST(InflateDynamic, SingleDistanceCodeIsAccepted) {
  auto literal = Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  auto distance = Lengths(1, {{0, 1}});
  auto lit = inflatetest::CanonicalCodes(literal);
  BitWriter w;
  w.DynamicHeader(true, literal, distance);
  w.Code(lit['a'].first, 2).Code(lit['b'].first, 2);
  w.Code(lit[257].first, 2).Code(0, 1);  // length 3, distance 1
  w.Code(lit[256].first, 2);
  Context context;
  Bytes out;
  CallResult r = InflateOnce(context.get(), w.Finish(), 100, 2, &out);
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(context->state, InflateBetweenBlocks);
  EXPECT_EQ(out, Bytes({'a', 'b', 'b', 'b', 'b'}));
}

TEST(InflateDynamic, RejectedCodesEndTheStream) {
  auto distance = Lengths(1, {{0, 1}});
  for (auto literal : {Lengths(257, {{'a', 1}, {'b', 1}, {256, 1}}),     // over-subscribed
                       Lengths(257, {{'a', 2}, {256, 2}})}) {             // incomplete
    Bytes stream = BitWriter().Bits(0, 1).Bits(1, 2).FixedLiteral('o').FixedLiteral(256)
                       .DynamicHeader(true, literal, distance).Bits(0, 16).Finish();
    Context context;
    Bytes out;
    CallResult r = InflateOnce(context.get(), stream, 100, 2, &out);
    EXPECT_EQ(r.result, 1u);
    EXPECT_EQ(context->state, InflateStopped);
    EXPECT_EQ(out, Bytes({'o'}));
  }
  // An over-subscribed distance code.
  auto literal = Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  Bytes stream = BitWriter().DynamicHeader(true, literal, Lengths(3, {{0, 1}, {1, 1}, {2, 1}}))
                     .Bits(0, 16).Finish();
  Context context;
  Bytes out;
  EXPECT_EQ(InflateOnce(context.get(), stream, 100, 2, &out).result, 1u);
  EXPECT_EQ(context->state, InflateStopped);
}

// Codes of 1 to 15 bits for literals and for distances: every code longer
// than 8 bits goes through the tree, in the fast loop and, with little
// room, step by step.
TEST(InflateDynamic, CodesOfNineToFifteenBits) {
  // Literals 'A'..'M' get 1..13 bits; the 4 codes of 15 bits left go to
  // 'N', 'O', end of block and length 3. Distances 0..14 get 1..15 bits,
  // distance 15 the second code of 15 bits.
  std::vector<uint8_t> literal(286, 0);
  for (uint8_t i = 0; i < 13; ++i) literal['A' + i] = i + 1;
  literal['A' + 13] = 15;
  literal['A' + 14] = 15;
  literal[256] = 15;
  literal[257] = 15;
  std::vector<uint8_t> distance(16, 0);
  for (uint8_t i = 0; i < 15; ++i) distance[i] = i + 1;
  distance[15] = 15;
  auto lit = inflatetest::CanonicalCodes(literal);
  auto dist = inflatetest::CanonicalCodes(distance);

  BitWriter w;
  w.DynamicHeader(true, literal, distance);
  Bytes expected;
  uint32_t seed = 77;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint32_t pick = (seed >> 16) % 16;
    if (pick < 15 || expected.size() < 300) {
      uint32_t symbol = 'A' + (pick % 15);
      w.Code(lit[symbol].first, lit[symbol].second);
      expected.push_back(static_cast<uint8_t>(symbol));
    } else {
      uint32_t d = (seed >> 8) % 16;  // distance symbol 0..15, extra bits 0
      static const uint16_t kBase[16] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193};
      static const uint8_t kExtra[16] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6};
      w.Code(lit[257].first, lit[257].second);  // length 3
      w.Code(dist[d].first, dist[d].second).Bits(0, kExtra[d]);
      for (int k = 0; k < 3; ++k) expected.push_back(expected[expected.size() - kBase[d]]);
    }
  }
  w.Code(lit[256].first, lit[256].second);
  Bytes stream = w.Finish();
  for (uint32_t room : {1u << 20, 1u, 3u, 300u}) {
    for (size_t piece : {size_t{1} << 20, size_t{4}}) {
      Context context;
      Bytes out;
      size_t consumed = 0;
      ASSERT_TRUE(inflatetest::InflatePieces(context.get(), stream, piece, room, expected.size(),
                                             &out, &consumed));
      EXPECT_EQ(consumed, stream.size());
      ASSERT_EQ(out, expected) << room << " " << piece;
    }
  }
}

// ---- Fixed tables --------------------------------------------------------------

TEST(InflateFixedTables, BuiltOnceForARunOfFixedBlocksAndAgainAfterADynamicOne) {
  BitWriter writer;
  writer.Bits(0, 1).Bits(1, 2).FixedLiteral('a').FixedLiteral('b').FixedLiteral(256);
  writer.Bits(0, 1).Bits(1, 2).FixedLiteral('c').FixedLiteral(256);
  Bytes fixedPart = writer.Finish();

  Context context;
  Bytes out;
  // Stop inside the first block (room for one literal): the tables are built.
  CallResult r = InflateOnce(context.get(), fixedPart, 1, 0, &out);
  ASSERT_EQ(r.result, 0u);
  ASSERT_EQ(context->fixedTablesBuilt, 1);
  // A build clears the lengths regions; a marker there survives only if the
  // second fixed block reuses the tables.
  context->tables->literalLengths[0] = 0x5A5A;
  r = InflateOnce(context.get(), fixedPart.data() + r.consumed, fixedPart.size() - r.consumed,
                  100, 0, &out);
  EXPECT_EQ(out, Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(context->tables->literalLengths[0], 0x5A5A);
  EXPECT_EQ(context->fixedTablesBuilt, 1);

  // A dynamic block (from zlib), then a fixed one: the flag is cleared and
  // the fixed tables are built again.
  Bytes text = inflatetest::TextData(3000, 61);
  ZlibOptions options;
  options.flush = Z_SYNC_FLUSH;
  options.finish = false;
  Bytes stream = ZlibCompress(text, options);
  ASSERT_EQ(stream[0] & 7, 4);  // not final, dynamic
  Context again;
  out.clear();
  // The sync flush ends on an empty stored block (00 00 ff ff); a final
  // fixed block follows it.
  ASSERT_EQ(Bytes(stream.end() - 4, stream.end()), Bytes({0x00, 0x00, 0xff, 0xff}));
  Bytes fixedTail = BitWriter().Bits(1, 1).Bits(1, 2).FixedLiteral('!').FixedLiteral(256)
                        .Finish();
  stream.insert(stream.end(), fixedTail.begin(), fixedTail.end());
  again->fixedTablesBuilt = 1;  // as if a fixed block came first
  r = InflateOnce(again.get(), stream, 5000, 2, &out);
  EXPECT_EQ(r.result, 1u);
  text.push_back('!');
  EXPECT_EQ(out, text);
  EXPECT_EQ(again->fixedTablesBuilt, 1);
}

// ---- Lifecycle -------------------------------------------------------------------

TEST(InflateLifecycle, InitFailsCleanlyWhenMemoryRunsOut) {
  auto* context = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  ASSERT_NE(context, nullptr);
  for (uint64_t failAt = 1; failAt <= 2; ++failAt) {
    MemSetFailure(failAt);
    EXPECT_EQ(InflateInit(context, 0), 1u) << failAt;
    EXPECT_EQ(context->window, nullptr);
    EXPECT_EQ(context->tables, nullptr);
  }
  MemSetFailure(0);
  ASSERT_EQ(InflateInit(context, 0), 0u);
  EXPECT_EQ(InflateEnd(context), 0u);
  EXPECT_EQ(context->window, nullptr);
  MemFree(context);
}

}  // namespace
}  // namespace varnfile
