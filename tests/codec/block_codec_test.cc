// The block codec through its entry points, over a store record set up by
// the test: every method's stored bytes, chains and their reset points, the
// engine state's lifetime, oversized items and allocation failures. Stored
// bytes are checked by decoders that are not the library's: zlib for the
// DEFLATE methods, a small predictor decoder of this file's own for the
// others.
#include "codec/block_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "store/store.h"

namespace varnfile {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t AllMethods[] = {MethodPredictor, MethodChainedDeflate, MethodChainedPredictor,
                                   MethodDeflate};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Transaction-like text: repetitive fields with changing numbers.
Bytes Records(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += "ACCT=" + std::to_string(10000 + rng() % 50) + ";AMOUNT=" + std::to_string(rng() % 100000) +
         ";CUR=EUR;TEXT=monthly fee;\n";
  }
  s.resize(n);
  return Text(s);
}

// A varied sequence of items, as a file would hold them.
std::vector<Bytes> Workload(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> items;
  for (int i = 0; i < 60; ++i) {
    switch (i % 6) {
      case 0: items.push_back(Records(1 + rng() % 2000, rng())); break;
      case 1: items.push_back(RandomBytes(rng() % 300, rng())); break;
      case 2: items.push_back(Bytes(rng() % 5000, static_cast<uint8_t>(rng()))); break;
      case 3: items.push_back(Bytes()); break;
      case 4: items.push_back(Records(rng() % 12000, rng())); break;
      default: items.push_back(Text("abc")); break;
    }
  }
  items.push_back(Records(65535, 99));
  items.push_back(Bytes(65535, 0));
  items.push_back(Text("after the largest items"));
  return items;
}

// A store record with nothing open: just the method and the codec state.
class CodecStore {
 public:
  explicit CodecStore(uint32_t method) {
    std::memset(&store_, 0, sizeof store_);
    store_.streamHandle = -1;
    store_.method = method;
  }
  ~CodecStore() { SetCompressionMethod(&store_, MethodNone); }

  ResultCode Compress(const Bytes& data, Bytes* stored) {
    ItemHeader header{};
    header.length = static_cast<uint16_t>(data.size());
    header.storedLength = 0xBEEF;
    Bytes area(CompressedCapacity(store_.method, header.length));
    ResultCode rc = CompressItem(&store_, &header, data.data(), area.data());
    if (rc != ResultOk) {
      EXPECT_EQ(header.storedLength, 0xBEEF) << "a refused item leaves its header alone";
      return rc;
    }
    EXPECT_LE(header.storedLength, area.size());
    stored->assign(area.begin(), area.begin() + header.storedLength);
    return rc;
  }

  Bytes CompressOk(const Bytes& data) {
    Bytes stored;
    EXPECT_EQ(Compress(data, &stored), ResultOk);
    return stored;
  }

  // Decodes into an area of exactly `length` bytes. The stored bytes are
  // followed by 8 bytes, as a record's trailer follows them in the store.
  ResultCode Decompress(const Bytes& stored, size_t length, Bytes* data) {
    Bytes source(stored);
    source.insert(source.end(), {0xAE, 0, 0, 0, 0, 0, 0, 0});
    ItemHeader header{};
    header.length = static_cast<uint16_t>(length);
    header.storedLength = static_cast<uint16_t>(stored.size());
    data->assign(length, 0xCC);
    return DecompressItem(&store_, &header, source.data(), data->data());
  }

  Bytes DecompressOk(const Bytes& stored, size_t length) {
    Bytes data;
    EXPECT_EQ(Decompress(stored, length, &data), ResultOk);
    return data;
  }

  ResultCode Reset() { return DecompressItem(&store_, nullptr, nullptr, nullptr); }

  Store* store() { return &store_; }

 private:
  Store store_;
};

// ---- independent decoders ----

// The predictor format decoded the plain way: flag byte, then per bit
// either the table's guess or the next literal.
Bytes ReferencePredictorDecode(const Bytes& stored, size_t length, std::vector<uint8_t>* table) {
  Bytes out;
  size_t in = 0;
  unsigned b1 = 0, b2 = 0;
  while (in < stored.size() && out.size() < length) {
    unsigned flags = stored[in++];
    for (int bit = 0; bit < 8 && out.size() < length; ++bit) {
      unsigned slot = (b2 << 7) ^ b1;
      uint8_t c;
      if (flags & (1u << bit)) {
        c = (*table)[slot];
      } else {
        if (in == stored.size()) break;
        c = stored[in++];
        (*table)[slot] = c;
      }
      out.push_back(c);
      b2 = b1;
      b1 = c;
    }
  }
  return out;
}

// One raw DEFLATE item through zlib. `history` is what the decoder has seen
// since the last reset point; its last 8,192 bytes are the dictionary.
Bytes ZlibInflate(const Bytes& stored, size_t length, const Bytes& history) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  if (!history.empty()) {
    size_t take = history.size() < 8192 ? history.size() : 8192;
    EXPECT_EQ(inflateSetDictionary(&z, history.data() + history.size() - take,
                                   static_cast<uInt>(take)),
              Z_OK);
  }
  Bytes out(length + 1);
  Bytes in(stored);
  z.next_in = in.data();
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << "zlib: " << (z.msg ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "the stream ends at storedLength";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// ---- the predictor methods ----

TEST(BlockCodecTest, PredictorVectors) {
  CodecStore plain(MethodPredictor);
  EXPECT_EQ(plain.CompressOk(Text("abc")), (Bytes{0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(plain.CompressOk(Text("abc")), (Bytes{0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(plain.CompressOk(Bytes(8, ' ')), (Bytes{0xFF}));

  CodecStore chained(MethodChainedPredictor);
  EXPECT_EQ(chained.CompressOk(Text("abc")), (Bytes{0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(chained.CompressOk(Text("abc")), (Bytes{0x07}));
  EXPECT_EQ(chained.CompressOk(Text("abc")), (Bytes{0x07}));
}

TEST(BlockCodecTest, PredictorStoredBytesDecodeIndependently) {
  for (uint32_t method : {MethodPredictor, MethodChainedPredictor}) {
    CodecStore encoder(method);
    std::vector<uint8_t> table(32768, 0x20);
    for (const Bytes& data : Workload(method)) {
      Bytes stored = encoder.CompressOk(data);
      EXPECT_LE(stored.size(), data.size() + (data.size() + 7) / 8);
      if (method == MethodPredictor) table.assign(32768, 0x20);
      EXPECT_EQ(ReferencePredictorDecode(stored, data.size(), &table), data) << "method " << method;
    }
  }
}

// ---- every method: round trips, chains and reset points ----

TEST(BlockCodecTest, EveryMethodRoundTripsAWorkloadInOrder) {
  for (uint32_t method : AllMethods) {
    std::vector<Bytes> items = Workload(method * 7);
    CodecStore writer(method);
    std::vector<Bytes> stored;
    for (const Bytes& data : items) stored.push_back(writer.CompressOk(data));
    CodecStore reader(method);
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(stored[i].empty(), items[i].empty());
      EXPECT_EQ(reader.DecompressOk(stored[i], items[i].size()), items[i])
          << "method " << method << " item " << i;
    }
  }
}

// A file appended to in two sessions: the second session's encoder starts
// afresh, and the last record of the first one is a reset point.
TEST(BlockCodecTest, ChainsDecodeFromEveryResetPoint) {
  for (uint32_t method : {MethodChainedPredictor, MethodChainedDeflate}) {
    std::vector<Bytes> items;
    for (int i = 0; i < 40; ++i) items.push_back(Records(100 + i * 37, i));
    std::vector<Bytes> stored;
    {
      CodecStore session1(method);
      for (int i = 0; i < 20; ++i) stored.push_back(session1.CompressOk(items[i]));
    }
    {
      CodecStore session2(method);
      for (int i = 20; i < 40; ++i) stored.push_back(session2.CompressOk(items[i]));
    }
    // Straight through, resetting behind the reset point.
    CodecStore reader(method);
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(reader.DecompressOk(stored[i], items[i].size()), items[i]) << i;
      if (i == 19) {
        EXPECT_EQ(reader.Reset(), ResultOk);
      }
    }
    // Backwards in the file: replay the second chain after a reset, then
    // the first chain from the start of the file, on the same decoder.
    EXPECT_EQ(reader.Reset(), ResultOk);
    for (int i = 20; i < 25; ++i) EXPECT_EQ(reader.DecompressOk(stored[i], items[i].size()), items[i]);
    EXPECT_EQ(reader.Reset(), ResultOk);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(reader.DecompressOk(stored[i], items[i].size()), items[i]);
    // A decoder that skipped the chain's start decodes wrongly, silently.
    EXPECT_EQ(reader.Reset(), ResultOk);
    EXPECT_NE(reader.DecompressOk(stored[30], items[30].size()), items[30]);
  }
}

TEST(BlockCodecTest, UnchainedItemsDecodeInAnyOrder) {
  for (uint32_t method : {MethodPredictor, MethodDeflate}) {
    std::vector<Bytes> items;
    for (int i = 0; i < 12; ++i) items.push_back(Records(500 + i * 300, i));
    CodecStore writer(method);
    std::vector<Bytes> stored;
    for (const Bytes& data : items) stored.push_back(writer.CompressOk(data));
    CodecStore reader(method);
    for (int i = 11; i >= 0; --i) EXPECT_EQ(reader.DecompressOk(stored[i], items[i].size()), items[i]);
    // Identical items store identically: nothing is carried over.
    EXPECT_EQ(writer.CompressOk(items[4]), stored[4]);
  }
}

TEST(BlockCodecTest, ZeroLengthItemsStoreNothing) {
  for (uint32_t method : AllMethods) {
    CodecStore codec(method);
    Bytes stored;
    ASSERT_EQ(codec.Compress(Bytes(), &stored), ResultOk);
    EXPECT_TRUE(stored.empty());
    // Decoding a 0-byte record writes nothing, even into a larger area.
    uint8_t area[4] = {1, 2, 3, 4};
    uint8_t source[8] = {};
    ItemHeader header{};
    EXPECT_EQ(DecompressItem(codec.store(), &header, source, area), ResultOk);
    EXPECT_EQ(area[0], 1);
    EXPECT_EQ(area[3], 4);
  }
}

TEST(BlockCodecTest, MethodNoneIsNotTheCodecs) {
  CodecStore codec(MethodNone);
  Bytes stored;
  EXPECT_EQ(codec.Compress(Text("abc"), &stored), ResultInvalidArgument);
  Bytes data;
  EXPECT_EQ(codec.Decompress(Text("abc"), 3, &data), ResultInvalidArgument);
  EXPECT_EQ(codec.store()->encoder.predictorTableAllocated, 0u);
  EXPECT_EQ(codec.store()->encoder.deflate, nullptr);
}

// ---- state lifetime ----

TEST(BlockCodecTest, StateIsCreatedPerDirectionOnFirstUse) {
  CodecStore codec(MethodChainedPredictor);
  Store* store = codec.store();
  EXPECT_EQ(store->encoder.predictorTableAllocated, 0u);
  codec.CompressOk(Text("abc"));
  EXPECT_EQ(store->encoder.predictorTableAllocated, 1u);
  EXPECT_EQ(store->decoder.predictorTableAllocated, 0u);
  EXPECT_EQ(codec.Reset(), ResultOk);
  EXPECT_EQ(store->decoder.predictorTableAllocated, 1u);
  EXPECT_NE(store->decoder.predictor.table, store->encoder.predictor.table);
}

TEST(BlockCodecTest, SameMethodKeepsStateOtherMethodReleasesIt) {
  CodecStore codec(MethodChainedPredictor);
  Store* store = codec.store();
  codec.CompressOk(Text("abc"));
  EXPECT_EQ(SetCompressionMethod(store, MethodChainedPredictor), ResultOk);
  EXPECT_EQ(store->encoder.predictorTableAllocated, 1u);
  EXPECT_EQ(codec.CompressOk(Text("abc")), (Bytes{0x07}));  // history kept

  EXPECT_EQ(SetCompressionMethod(store, MethodPredictor), ResultOk);
  EXPECT_EQ(store->method, MethodPredictor);
  EXPECT_EQ(store->encoder.predictorTableAllocated, 0u);
  EXPECT_EQ(store->encoder.predictor.table, nullptr);
  EXPECT_EQ(SetCompressionMethod(store, MethodChainedPredictor), ResultOk);
  EXPECT_EQ(codec.CompressOk(Text("abc")), (Bytes{0x00, 0x61, 0x62, 0x63}));  // history gone
}

TEST(BlockCodecTest, MethodChangeReleasesDeflateContexts) {
  CodecStore codec(MethodChainedDeflate);
  Store* store = codec.store();
  Bytes stored = codec.CompressOk(Records(3000, 1));
  codec.DecompressOk(stored, 3000);
  EXPECT_NE(store->encoder.deflate, nullptr);
  EXPECT_NE(store->decoder.inflate, nullptr);
  EXPECT_EQ(SetCompressionMethod(store, MethodChainedDeflate), ResultOk);
  EXPECT_NE(store->encoder.deflate, nullptr);
  EXPECT_EQ(SetCompressionMethod(store, MethodPredictor), ResultOk);
  EXPECT_EQ(store->encoder.deflate, nullptr);
  EXPECT_EQ(store->decoder.inflate, nullptr);
}

// An item compressed but never stored must leave no trace in the chain.
TEST(BlockCodecTest, ResetEncoderStartsTheChainAfresh) {
  for (uint32_t method : AllMethods) {
    Bytes item = Records(2500, 3);
    CodecStore codec(method);
    ResetEncoder(codec.store());  // nothing to reset yet: allocates nothing
    EXPECT_EQ(codec.store()->encoder.predictorTableAllocated, 0u);
    EXPECT_EQ(codec.store()->encoder.deflate, nullptr);
    Bytes first = codec.CompressOk(item);
    codec.CompressOk(item);
    ResetEncoder(codec.store());
    EXPECT_EQ(codec.CompressOk(item), first) << "method " << method;
  }
}

// ---- oversized items ----

TEST(BlockCodecTest, PredictorRefusesAStoredFormAbove65535) {
  Bytes noise = RandomBytes(65535, 3);  // about 65,535 + 8,192 stored
  for (uint32_t method : {MethodPredictor, MethodChainedPredictor}) {
    CodecStore codec(method);
    Bytes first = codec.CompressOk(Text("abc"));
    Bytes stored;
    EXPECT_EQ(codec.Compress(noise, &stored), ResultInvalidArgument);
    // The encoder starts afresh, as the decoder will behind the reset point
    // the store puts in front of the next record.
    EXPECT_EQ(codec.CompressOk(Text("abc")), first);
  }
  // 58,253 bytes take at most 58,253 + 7,282 = 65,535: always storable.
  CodecStore codec(MethodPredictor);
  Bytes stored;
  EXPECT_EQ(codec.Compress(RandomBytes(58253, 4), &stored), ResultOk);
  EXPECT_LE(stored.size(), 65535u);
}

TEST(BlockCodecTest, DeflateGetsRoomToFinishIncompressibleItems) {
  // Random data goes out as stored blocks: more than length + 80 from about
  // 61,440 bytes on, yet still a storable record below about 65,450.
  for (uint32_t method : {MethodDeflate, MethodChainedDeflate}) {
    for (size_t length : {61440u, 61441u, 64000u, 65400u}) {
      CodecStore writer(method);
      CodecStore reader(method);
      Bytes data = RandomBytes(length, static_cast<uint32_t>(length));
      Bytes stored = writer.CompressOk(data);
      EXPECT_GT(stored.size(), length);
      EXPECT_EQ(ZlibInflate(stored, length, Bytes()), data);
      EXPECT_EQ(reader.DecompressOk(stored, length), data);
    }
  }
}

TEST(BlockCodecTest, DeflateRefusesAStoredFormAbove65535AndStartsAfresh) {
  Bytes noise = RandomBytes(65535, 5);
  for (uint32_t method : {MethodDeflate, MethodChainedDeflate}) {
    CodecStore codec(method);
    Bytes first = codec.CompressOk(Records(2000, 1));
    Bytes stored;
    EXPECT_EQ(codec.Compress(noise, &stored), ResultInvalidArgument);
    EXPECT_EQ(codec.CompressOk(Records(2000, 1)), first);
  }
}

// ---- the DEFLATE methods against zlib ----

TEST(BlockCodecTest, DeflateItemsAreRawStreamsZlibDecodes) {
  for (uint32_t method : {MethodDeflate, MethodChainedDeflate}) {
    CodecStore writer(method);
    Bytes history;  // data since the last reset point
    for (const Bytes& data : Workload(method + 40)) {
      Bytes stored = writer.CompressOk(data);
      if (data.empty()) continue;
      EXPECT_EQ(ZlibInflate(stored, data.size(), history), data) << "method " << method;
      if (method == MethodChainedDeflate) history.insert(history.end(), data.begin(), data.end());
    }
  }
}

TEST(BlockCodecTest, ChainedDeflateReachesIntoThePreviousItem) {
  Bytes item = Records(3000, 8);
  CodecStore chained(MethodChainedDeflate);
  Bytes first = chained.CompressOk(item);
  Bytes second = chained.CompressOk(item);
  EXPECT_LT(second.size() * 4, first.size());
  EXPECT_EQ(ZlibInflate(second, item.size(), item), item);

  CodecStore plain(MethodDeflate);
  EXPECT_EQ(plain.CompressOk(item), first);
  EXPECT_EQ(plain.CompressOk(item), first);
}

// Methods above 4 (from a foreign header) go through the same two tests:
// 5 acts as DEFLATE, 6 and 7 as chained DEFLATE.
TEST(BlockCodecTest, ForeignMethodValuesFollowTheTwoTests) {
  EXPECT_FALSE(IsPredictorMethod(5));
  EXPECT_FALSE(IsPredictorMethod(7));
  EXPECT_TRUE(IsChainedMethod(6));
  EXPECT_TRUE(IsChainedMethod(7));
  EXPECT_FALSE(IsChainedMethod(5));
  Bytes item = Records(3000, 8);
  CodecStore four(MethodDeflate), five(5), two(MethodChainedDeflate), seven(7);
  EXPECT_EQ(five.CompressOk(item), four.CompressOk(item));
  EXPECT_EQ(five.CompressOk(item), four.CompressOk(item));
  EXPECT_EQ(seven.CompressOk(item), two.CompressOk(item));
  EXPECT_EQ(seven.CompressOk(item), two.CompressOk(item));
}

// ---- allocation failures ----

// Fails the n-th allocation for n = 1, 2, ... until the call succeeds: every
// failure is 272, keeps no state, and the next call works.
TEST(BlockCodecTest, AllocationFailuresGive272AndKeepNothing) {
  for (uint32_t method : AllMethods) {
    Bytes data = Records(5000, method);
    Bytes expected;
    {
      CodecStore reference(method);
      expected = reference.CompressOk(data);
    }
    CodecStore codec(method);
    Store* store = codec.store();
    Bytes stored;
    ResultCode rc;
    int failures = 0;
    for (uint64_t n = 1;; ++n) {
      MemSetFailure(n);
      rc = codec.Compress(data, &stored);
      MemSetFailure(0);
      if (rc == ResultOk) break;
      ASSERT_EQ(rc, ResultNoMemory) << "method " << method << " n " << n;
      EXPECT_EQ(store->encoder.predictorTableAllocated, 0u);
      EXPECT_EQ(store->encoder.predictor.table, nullptr);
      EXPECT_EQ(store->encoder.deflate, nullptr);
      ++failures;
    }
    EXPECT_GE(failures, 1);
    EXPECT_EQ(stored, expected);

    Bytes decoded;
    failures = 0;
    for (uint64_t n = 1;; ++n) {
      MemSetFailure(n);
      rc = codec.Decompress(stored, data.size(), &decoded);
      MemSetFailure(0);
      if (rc == ResultOk) break;
      ASSERT_EQ(rc, ResultNoMemory) << "method " << method << " n " << n;
      EXPECT_EQ(store->decoder.predictorTableAllocated, 0u);
      EXPECT_EQ(store->decoder.inflate, nullptr);
      ++failures;
    }
    EXPECT_GE(failures, 1);
    EXPECT_EQ(decoded, data);
  }
}

TEST(BlockCodecTest, AllocationFailureOnAResetKeepsNothing) {
  for (uint32_t method : {MethodChainedPredictor, MethodChainedDeflate}) {
    CodecStore codec(method);
    MemSetFailure(1);
    EXPECT_EQ(codec.Reset(), ResultNoMemory);
    MemSetFailure(0);
    EXPECT_EQ(codec.store()->decoder.predictorTableAllocated, 0u);
    EXPECT_EQ(codec.store()->decoder.inflate, nullptr);
    EXPECT_EQ(codec.Reset(), ResultOk);
  }
}

// ---- corrupt stored bytes ----

TEST(BlockCodecTest, CorruptStoredBytesNeverWritePastTheItem) {
  std::mt19937 rng(12);
  for (uint32_t method : AllMethods) {
    CodecStore reader(method);
    for (int trial = 0; trial < 300; ++trial) {
      Bytes stored = RandomBytes(1 + rng() % 200, rng());
      size_t length = rng() % 300;
      Bytes data;
      EXPECT_EQ(reader.Decompress(stored, length, &data), ResultOk);
      EXPECT_EQ(data.size(), length);
    }
    // A good item after the garbage decodes correctly once the decoder is
    // reset (always so for the unchained methods).
    Bytes item = Records(777, 1);
    CodecStore writer(method);
    Bytes stored = writer.CompressOk(item);
    EXPECT_EQ(reader.Reset(), ResultOk);
    EXPECT_EQ(reader.DecompressOk(stored, item.size()), item);
  }
}

}  // namespace
}  // namespace varnfile
