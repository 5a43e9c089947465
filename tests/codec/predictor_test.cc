// The byte predictor on its own: known encodings, round trips, and the
// decoder's behaviour on stored bytes that claim more data than the item has.
#include "codec/predictor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/memory.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;

// One predictor direction with its own table, freed at the end of the test.
class PredictorRun {
 public:
  PredictorRun() {
    std::memset(&state_, 0, sizeof state_);
    EXPECT_EQ(PredictorInit(&state_, 0), 0u);
  }
  ~PredictorRun() { PredictorFree(&state_); }

  Bytes Encode(const Bytes& data, bool chained) {
    Bytes out(data.size() + (data.size() + 7) / 8);
    state_.flags = chained ? PredictorKeepTable : 0;
    state_.input = data.data();
    state_.inputLength = static_cast<uint32_t>(data.size());
    state_.output = out.data();
    PredictorEncode(&state_);
    EXPECT_LE(state_.outputLength, out.size());
    out.resize(state_.outputLength);
    return out;
  }

  // Decodes into an area of exactly `room` bytes (so ASan sees any write
  // past it); returns what was written.
  Bytes Decode(const Bytes& stored, size_t room, bool chained, uint32_t* complete = nullptr) {
    Bytes out(room);
    state_.flags = chained ? PredictorKeepTable : 0;
    state_.input = stored.data();
    state_.inputLength = static_cast<uint32_t>(stored.size());
    state_.output = out.data();
    state_.outputLength = static_cast<uint32_t>(room);
    uint32_t done = PredictorDecode(&state_);
    if (complete != nullptr) *complete = done;
    EXPECT_LE(state_.outputLength, room);
    out.resize(state_.outputLength);
    return out;
  }

  PredictorState& state() { return state_; }

 private:
  PredictorState state_;
};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// ---- known encodings ----

TEST(PredictorTest, FreshTableStoresUnpredictedBytesBehindAZeroFlag) {
  PredictorRun run;
  EXPECT_EQ(run.Encode(Text("abc"), false), (Bytes{0x00, 0x61, 0x62, 0x63}));
}

TEST(PredictorTest, EightSpacesAreOneFlagByte) {
  PredictorRun run;
  EXPECT_EQ(run.Encode(Bytes(8, 0x20), false), (Bytes{0xFF}));
  // Nine spaces: a full group, then a group of one predicted byte.
  EXPECT_EQ(run.Encode(Bytes(9, 0x20), false), (Bytes{0xFF, 0x01}));
}

TEST(PredictorTest, ChainedTableRemembersThePreviousItem) {
  PredictorRun chained;
  EXPECT_EQ(chained.Encode(Text("abc"), true), (Bytes{0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(chained.Encode(Text("abc"), true), (Bytes{0x07}));
  // The table holds 'a' at 0, 'b' at 0x61 and 'c' at 0x30E2.
  EXPECT_EQ(chained.state().table[0], 0x61);
  EXPECT_EQ(chained.state().table[0x61], 0x62);
  EXPECT_EQ(chained.state().table[0x30E2], 0x63);

  PredictorRun plain;
  EXPECT_EQ(plain.Encode(Text("abc"), false), (Bytes{0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(plain.Encode(Text("abc"), false), (Bytes{0x00, 0x61, 0x62, 0x63}));
}

TEST(PredictorTest, MixedGroupKeepsLiteralsInInputOrder) {
  PredictorRun run;
  // "  x  x": bytes 0, 1 predicted (space after 0,0 and after 0,0x20 both
  // fresh), 'x' a literal, then spaces at fresh slots, then 'x' again at a
  // slot (0x20, 0x20) that now holds 0x20 -> a literal.
  Bytes got = run.Encode(Text("  x  x"), false);
  //  i0 ' ' slot 0x0000 holds 0x20: hit
  //  i1 ' ' slot 0x0020 holds 0x20: hit
  //  i2 'x' slot 0x1020 holds 0x20: literal, slot becomes 'x'
  //  i3 ' ' slot 0x1078 holds 0x20: hit
  //  i4 ' ' slot 0x3C20 holds 0x20: hit
  //  i5 'x' slot 0x1020 holds 'x':  hit
  EXPECT_EQ(got, (Bytes{0x3B, 'x'}));
}

TEST(PredictorTest, UnpredictableBytesCostOneFlagPerEight) {
  // No byte is a space and no table slot is visited twice, so no byte can
  // be predicted: every slot still holds the fresh 0x20 when it is read.
  Bytes data;
  std::vector<bool> slotUsed(32768, false);
  std::mt19937 rng(9);
  uint32_t b1 = 0, b2 = 0;
  while (data.size() < 1000) {
    uint32_t slot = (b2 << 7) ^ b1;
    ASSERT_FALSE(slotUsed[slot]);
    uint8_t c;
    uint32_t next;
    do {  // pick a byte whose following slot is still unused
      c = static_cast<uint8_t>(rng());
      next = (b1 << 7) ^ c;
    } while (c == 0x20 || slotUsed[next] || next == slot);
    slotUsed[slot] = true;
    data.push_back(c);
    b2 = b1;
    b1 = c;
  }
  PredictorRun run;
  Bytes stored = run.Encode(data, false);
  ASSERT_EQ(stored.size(), 1125u);
  for (size_t g = 0; g < 125; ++g) {
    EXPECT_EQ(stored[g * 9], 0x00) << "group " << g;
    EXPECT_EQ(0, std::memcmp(&stored[g * 9 + 1], &data[g * 8], 8));
  }
}

TEST(PredictorTest, EmptyInputWritesNothing) {
  PredictorRun run;
  EXPECT_TRUE(run.Encode(Bytes(), false).empty());
  EXPECT_TRUE(run.Decode(Bytes(), 0, false).empty());
}

// ---- round trips ----

TEST(PredictorTest, RoundTripsEveryKindOfData) {
  std::vector<Bytes> samples = {
      Bytes{0x00},
      Text("The quick brown fox jumps over the lazy dog. The quick brown fox."),
      Bytes(4096, 0x00),
      Bytes(777, 0xAB),
      RandomBytes(1, 1),
      RandomBytes(7, 2),
      RandomBytes(8, 3),
      RandomBytes(9, 4),
      RandomBytes(65535, 5),
  };
  Bytes text;
  for (int i = 0; i < 2000; ++i) {
    const char* line = "ORDER 000123 QTY 5 PRICE 17.20 EUR;";
    text.insert(text.end(), line, line + std::strlen(line));
    text.push_back(static_cast<uint8_t>('0' + i % 10));
  }
  samples.push_back(text);

  for (bool chained : {false, true}) {
    PredictorRun encoder;
    PredictorRun decoder;
    for (const Bytes& data : samples) {
      Bytes stored = encoder.Encode(data, chained);
      EXPECT_LE(stored.size(), data.size() + (data.size() + 7) / 8);
      uint32_t complete = 0;
      EXPECT_EQ(decoder.Decode(stored, data.size(), chained, &complete), data);
      EXPECT_EQ(complete, 1u);
    }
  }
}

TEST(PredictorTest, RepetitiveTextShrinks) {
  Bytes text;
  for (int i = 0; i < 200; ++i) {
    const char* line = "customer=4711;item=screw M4;qty=100;\n";
    text.insert(text.end(), line, line + std::strlen(line));
  }
  PredictorRun run;
  EXPECT_LT(run.Encode(text, false).size(), text.size() / 4);
}

TEST(PredictorTest, ChainedDecoderNeedsThePrecedingItems) {
  Bytes first = Text("transaction 1: debit 100");
  Bytes second = Text("transaction 2: debit 100");
  PredictorRun encoder;
  Bytes storedFirst = encoder.Encode(first, true);
  Bytes stored = encoder.Encode(second, true);

  PredictorRun inStep;
  EXPECT_EQ(inStep.Decode(storedFirst, first.size(), true), first);
  EXPECT_EQ(inStep.Decode(stored, second.size(), true), second);

  PredictorRun skipped;  // never saw `first`: wrong data, no error
  EXPECT_NE(skipped.Decode(stored, second.size(), true), second);
}

// ---- decoding stops at the item's length ----

TEST(PredictorTest, DecoderStopsAtTheRoomGiven) {
  Bytes data = Text("abcdefghijklmnop");
  PredictorRun encoder;
  Bytes stored = encoder.Encode(data, false);
  for (size_t room = 0; room < data.size(); ++room) {
    PredictorRun decoder;
    uint32_t complete = 1;
    Bytes got = decoder.Decode(stored, room, false, &complete);
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + room));
    EXPECT_EQ(complete, 0u);
  }
}

TEST(PredictorTest, ExcessFlagBitsAreIgnored) {
  // 0xFF claims eight predicted bytes; an item of three takes three spaces.
  PredictorRun decoder;
  uint32_t complete = 1;
  EXPECT_EQ(decoder.Decode(Bytes{0xFF, 0xFF, 0xFF}, 3, false, &complete), Bytes(3, 0x20));
  EXPECT_EQ(complete, 0u);
}

TEST(PredictorTest, ShortLiteralRunEndsTheDecodeQuietly) {
  // Flag 0 promises eight literals but only two follow.
  PredictorRun decoder;
  uint32_t complete = 0;
  EXPECT_EQ(decoder.Decode(Bytes{0x00, 'h', 'i'}, 8, false, &complete), Text("hi"));
  EXPECT_EQ(complete, 1u);
}

TEST(PredictorTest, ArbitraryStoredBytesNeverOverrun) {
  std::mt19937 rng(77);
  PredictorRun decoder;
  for (int trial = 0; trial < 2000; ++trial) {
    Bytes stored = RandomBytes(rng() % 64, static_cast<uint32_t>(trial));
    size_t room = rng() % 80;
    Bytes got = decoder.Decode(stored, room, trial % 2 == 1);
    EXPECT_LE(got.size(), room);
  }
}

// ---- table lifetime ----

TEST(PredictorTest, InitReportsAllocationFailureAndKeepsNothing) {
  PredictorState state;
  std::memset(&state, 0, sizeof state);
  MemSetFailure(1);
  EXPECT_EQ(PredictorInit(&state, 0), 1u);
  MemSetFailure(0);
  EXPECT_EQ(state.table, nullptr);
  ASSERT_EQ(PredictorInit(&state, 0), 0u);
  ASSERT_NE(state.table, nullptr);
  state.table[123] = 0x99;
  uint8_t* table = state.table;
  EXPECT_EQ(PredictorInit(&state, 1), 0u);  // a reset allocates nothing
  EXPECT_EQ(state.table, table);
  EXPECT_EQ(state.table[123], 0x20);
  PredictorFree(&state);
  EXPECT_EQ(state.table, nullptr);
}

}  // namespace
}  // namespace varnfile
