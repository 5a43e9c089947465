// Predictor round trip and decoding of arbitrary stored bytes, through the
// block codec. Input: byte 0 picks the method (bit 0: chained) and byte 1
// the room for the raw decode; the rest is split into up to four items that
// are compressed and decoded in order (the decode must give them back, and
// never write past an item), then decoded again as if it were stored bytes.
#include <cstring>
#include <vector>

#include "store/block_codec.h"
#include "codec_fuzz.h"
#include "store/store.h"

using namespace codec_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 70000) return 0;
  Store store{};
  store.streamHandle = -1;
  store.method = (data[0] & 1) ? MethodChainedPredictor : MethodPredictor;
  Bytes area(MaxCompressedCapacity), source(MaxCompressedCapacity + 8);
  const size_t pieces = 1 + (data[0] >> 1) % 4;
  for (size_t i = 0, offset = 2; i < pieces; ++i) {
    size_t length = i + 1 == pieces ? size - offset : (size - offset) / 2;
    length = std::min<size_t>(length, MaxItemLength);
    ItemHeader header{};
    header.length = static_cast<uint16_t>(length);
    ResultCode rc = CompressItem(&store, &header, data + offset, area.data());
    if (rc == ResultOk) {
      Check(header.storedLength <= CompressedCapacity(store.method, header.length));
      std::memcpy(source.data(), area.data(), header.storedLength);
      Bytes decoded(length);
      Check(DecompressItem(&store, &header, source.data(), decoded.data()) == ResultOk);
      Check(std::equal(decoded.begin(), decoded.end(), data + offset));
    } else {
      // Refused as too large: the chain starts afresh on both sides.
      Check(rc == ResultInvalidArgument);
      DecompressItem(&store, nullptr, nullptr, nullptr);
    }
    offset += length;
  }
  // The payload as the stored bytes of an item of `room` bytes.
  if (size - 2 <= MaxItemLength) {
    ItemHeader header{};
    header.length = static_cast<uint16_t>(data[1] * 3u);
    header.storedLength = static_cast<uint16_t>(size - 2);
    std::memcpy(source.data(), data + 2, size - 2);
    Bytes decoded(header.length);
    Check(DecompressItem(&store, &header, source.data(), decoded.data()) == ResultOk);
  }
  SetCompressionMethod(&store, MethodNone);
  return 0;
}
