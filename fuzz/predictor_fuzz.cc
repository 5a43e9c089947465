// Predictor round trip and decoding of arbitrary stored bytes, through the
// block codec. Input: byte 0 picks the method (bit 0: chained) and byte 1
// the room for the raw decode; the rest is split into up to four items that
// are compressed and decoded in order (the decode must give them back, and
// never write past an item), then decoded again as if it were stored bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/block_codec.h"
#include "store/store.h"

using namespace varnfile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 70000) return 0;
  uint32_t method = (data[0] & 1) ? MethodChainedPredictor : MethodPredictor;
  size_t room = data[1] * 3u;
  const uint8_t* payload = data + 2;
  size_t payloadSize = size - 2;

  Store store;
  std::memset(&store, 0, sizeof store);
  store.streamHandle = -1;
  store.method = method;

  std::vector<uint8_t> area(MaxCompressedCapacity);
  std::vector<uint8_t> source(MaxCompressedCapacity + 8);
  size_t pieces = 1 + (data[0] >> 1) % 4;
  size_t offset = 0;
  for (size_t i = 0; i < pieces; ++i) {
    size_t length = i + 1 == pieces ? payloadSize - offset : (payloadSize - offset) / 2;
    if (length > MaxItemLength) length = MaxItemLength;
    ItemHeader header{};
    header.length = static_cast<uint16_t>(length);
    ResultCode rc = CompressItem(&store, &header, payload + offset, area.data());
    if (rc == ResultInvalidArgument) {
      // Refused as too large: the chain starts afresh on both sides.
      DecompressItem(&store, nullptr, nullptr, nullptr);
      offset += length;
      continue;
    }
    if (rc != ResultOk) abort();
    if (header.storedLength > CompressedCapacity(method, header.length)) abort();
    std::memcpy(source.data(), area.data(), header.storedLength);
    std::vector<uint8_t> decoded(length);
    if (DecompressItem(&store, &header, source.data(), decoded.data()) != ResultOk) abort();
    if (length != 0 && std::memcmp(decoded.data(), payload + offset, length) != 0) abort();
    offset += length;
  }

  // The payload as stored bytes of an item of `room` bytes.
  if (payloadSize <= MaxItemLength) {
    ItemHeader header{};
    header.length = static_cast<uint16_t>(room);
    header.storedLength = static_cast<uint16_t>(payloadSize);
    std::memcpy(source.data(), payload, payloadSize);
    std::vector<uint8_t> decoded(room);
    if (DecompressItem(&store, &header, source.data(), decoded.data()) != ResultOk) abort();
  }
  SetCompressionMethod(&store, MethodNone);
  return 0;
}
