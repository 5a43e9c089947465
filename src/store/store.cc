// The three store operations that touch no stream: the end of data and the
// header image copied out and in.
#include "store/store.h"

#include <cstring>

namespace varnfile {

ResultCode StoreEndOfData(Store* store, uint32_t* out) {
  if (out != nullptr) *out = store->endOfData;
  return ResultOk;
}

// The header image keeps the method it was opened or last closed with; the
// method in force replaces it only at close. Readers of the header must see
// the method in force, so the copy shows it at its offset.
ResultCode StoreGetHeader(Store* store, FileHeader* out) {
  std::memcpy(out->bytes, store->header.bytes, FileHeaderSize);
  StoreU16(out->bytes + HeaderCompressionOffset, static_cast<uint16_t>(store->method));
  return ResultOk;
}

ResultCode StorePutHeader(Store* store, const FileHeader* in) {
  std::memcpy(store->header.bytes, in->bytes, FileHeaderSize);
  store->headerChanged = true;
  return ResultOk;
}

}  // namespace varnfile
