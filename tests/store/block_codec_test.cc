// The block codec through its entry points, over a store record set up by
// the test: exact predictor bytes; chained DEFLATE and foreign methods;
// items whose stored form does not fit (the encoder starts afresh). Corrupt
// stored bytes: the predictor, inflate and file walk fuzz targets. Round
// trips of varied items under every method, chains and their reset points
// are the model-based API test's (zlib and a plain predictor decoder check
// its files); allocation failures are the fault sweep's.
#include "store/block_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "codec/codec_test_util.h"
#include "store/store.h"

namespace varnfile {
namespace {

// A store record with nothing open: just the method and the codec state.
class Codec {
 public:
  explicit Codec(uint32_t method) {
    store_.streamHandle = -1;
    store_.method = method;
  }
  ~Codec() { SetCompressionMethod(&store_, MethodNone); }

  // Compresses into an area of exactly the capacity the codec asks for.
  ResultCode TryCompress(const Bytes& data, Bytes* stored) {
    ItemHeader header{};
    header.length = static_cast<uint16_t>(data.size());
    header.storedLength = 0xBEEF;
    stored->assign(CompressedCapacity(store_.method, header.length), 0);
    ResultCode rc = CompressItem(&store_, &header, data.data(), stored->data());
    // A refused item keeps its header; a stored one fits the area.
    EXPECT_TRUE(rc == ResultOk ? header.storedLength <= stored->size()
                               : header.storedLength == 0xBEEF);
    stored->resize(rc == ResultOk ? header.storedLength : 0);
    return rc;
  }
  Bytes Compress(const Bytes& data) {
    Bytes stored;
    EXPECT_EQ(TryCompress(data, &stored), ResultOk);
    return stored;
  }

  // Decodes into an area of exactly `length` bytes. The stored bytes are
  // followed by 8 bytes, as a record's trailer follows them in the store.
  Bytes Decompress(const Bytes& stored, size_t length) {
    Bytes source(stored), data(length, 0xCC);
    source.insert(source.end(), 8, 0xAE);
    ItemHeader header{};
    header.length = static_cast<uint16_t>(length);
    header.storedLength = static_cast<uint16_t>(stored.size());
    EXPECT_EQ(DecompressItem(&store_, &header, source.data(), data.data()), ResultOk);
    return data;
  }

 private:
  Store store_{};
};

// Exact predictor bytes, through both directions of the codec.
TEST(BlockCodec, PredictorExactBytes) {
  const Bytes abc = {0x00, 0x61, 0x62, 0x63};  // a fresh table predicts none of them
  const struct { uint32_t method; std::vector<Bytes> items, stored; } cases[] = {
      {MethodPredictor, {Str("abc"), Str("abc")}, {abc, abc}},
      // The table kept 61 at index 0, 62 at 0x61 and 63 at 0x30E2.
      {MethodChainedPredictor, {Str("abc"), Str("abc"), Str("abc")}, {abc, {0x07}, {0x07}}},
      {MethodPredictor, {Bytes(8, ' '), Bytes(9, ' ')}, {{0xFF}, {0xFF, 0x01}}},
      // Spaces predicted at fresh slots; the second 'x' at the slot the first one set.
      {MethodPredictor, {Str("  x  x")}, {{0x3B, 'x'}}},
      // The slot of (b2, b1) is (b2 << 7) ^ b1: the last 'A', after 01 80, at 0.
      {MethodPredictor, {{'A', 0x01, 0x80, 'A'}}, {{0x08, 'A', 0x01, 0x80}}},
  };
  for (const auto& c : cases) {
    Codec writer(c.method), reader(c.method);
    for (size_t i = 0; i < c.items.size(); ++i) {
      EXPECT_EQ(writer.Compress(c.items[i]), c.stored[i]) << i;
      EXPECT_EQ(reader.Decompress(c.stored[i], c.items[i].size()), c.items[i]) << i;
    }
  }
  // Decoding stops at the item's length, also when the flags claim more,
  // and a literal run cut short ends it quietly: the rest is zeroed, never
  // left as the area held it.
  const struct { Bytes stored, data; } decodes[] = {
      {{0xFF, 0xFF, 0xFF}, Bytes(3, ' ')},
      {{0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}, Str("abcde")},
      {{0x00, 'h', 'i'}, {'h', 'i', 0, 0}},
  };
  for (const auto& d : decodes) EXPECT_EQ(Codec(MethodPredictor).Decompress(d.stored, d.data.size()), d.data);
}

// Chained DEFLATE refers back into the item before (zlib needs it as the
// dictionary); unchained DEFLATE stores each item alone. Methods above 4
// (from a foreign header) go through the same two tests: 5 acts as 4, 6 and
// 7 as 2.
TEST(BlockCodec, ChainedDeflateRefersBackAndForeignMethodsFollowTheTests) {
  Bytes item = Sample(TextData, 3000, 8);
  Codec chained(MethodChainedDeflate), plain(MethodDeflate), five(5), six(6), seven(7);
  Bytes first = chained.Compress(item), second = chained.Compress(item);
  EXPECT_LT(second.size() * 4, first.size());
  EXPECT_TRUE(ZlibGives(second, item, item));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(plain.Compress(item), first);
    EXPECT_EQ(five.Compress(item), first);
    EXPECT_EQ(six.Compress(item), i == 0 ? first : second);
    EXPECT_EQ(seven.Compress(item), i == 0 ? first : second);
  }
}

// A stored form above 65,535 bytes is refused with 260, the header left
// alone, and the encoder starts afresh (the store puts a reset point before
// the next record). Below that, incompressible items finish: the predictor's
// worst case from 58,253 bytes, DEFLATE's stored blocks past length + 80.
TEST(BlockCodec, StoredFormsThatDoNotFitAreRefused) {
  const ResultCode Refused = ResultInvalidArgument;
  const struct { uint32_t method, length; ResultCode rc; } cases[] = {
      {MethodPredictor, 65535, Refused},  {MethodChainedPredictor, 65535, Refused},
      {MethodDeflate, 65535, Refused},    {MethodChainedDeflate, 65535, Refused},
      {MethodPredictor, 58253, ResultOk}, {MethodChainedPredictor, 58253, ResultOk},
      {MethodDeflate, 61440, ResultOk},   {MethodChainedDeflate, 61441, ResultOk},
      {MethodDeflate, 64000, ResultOk},   {MethodChainedDeflate, 65400, ResultOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "method " << c.method << " length " << c.length);
    Codec writer(c.method), reader(c.method);
    Bytes before = Sample(TextData, 2000, 1), first = writer.Compress(before), stored;
    Bytes data = Sample(RandomData, c.length, c.length);
    ASSERT_EQ(writer.TryCompress(data, &stored), c.rc);
    if (c.rc != ResultOk) {
      EXPECT_EQ(writer.Compress(before), first);
      continue;
    }
    EXPECT_GT(stored.size(), c.length);
    EXPECT_LE(stored.size(), 65535u);
    reader.Decompress(first, before.size());
    EXPECT_EQ(reader.Decompress(stored, c.length), data);
    if (IsPredictorMethod(c.method)) continue;
    EXPECT_TRUE(ZlibGives(stored, data, IsChainedMethod(c.method) ? before : Bytes()));
  }
}

}  // namespace
}  // namespace varnfile
