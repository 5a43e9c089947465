// The block codec: the one place where the store meets the compression
// engines. It turns the data of one item into the bytes stored for it and
// back, under the file's compression method, and keeps the per-file engine
// state (a prediction table or a DEFLATE context per direction) in the
// store's CodecState. The engines report small internal values; only this
// layer turns them into result codes.
//
// Framing: the codec adds nothing of its own. Under methods 1 to 4 the
// stored bytes are exactly the engine's output for the item (a bare
// RFC 1951 stream for the DEFLATE methods, the predictor format for the
// others); an item of length 0 has storedLength 0 under every method.
#ifndef VARNFILE_STORE_BLOCK_CODEC_H_
#define VARNFILE_STORE_BLOCK_CODEC_H_

#include <cstdint>

#include "base/result_code.h"
#include "store/file_format.h"

namespace varnfile {

struct Store;

enum CompressionMethod : uint32_t {
  MethodNone = 0,
  MethodPredictor = 1,
  MethodChainedDeflate = 2,    // the method of every newly created file
  MethodChainedPredictor = 3,
  MethodDeflate = 4,
};

constexpr uint32_t HighestCompressionMethod = MethodDeflate;

// The codec's two tests. Methods 1 and 3 select the byte predictor and every
// other value DEFLATE; the bit of value 2 marks a chained method, whose
// history runs on from item to item. A method read from a foreign header
// (above 4) goes through the same tests.
inline bool IsPredictorMethod(uint32_t method) {
  return method == MethodPredictor || method == MethodChainedPredictor;
}
inline bool IsChainedMethod(uint32_t method) { return (method & 2) != 0; }

// The largest storedLength a record can carry.
constexpr uint32_t MaxItemStoredLength = 65535;

// Bytes the destination of CompressItem must hold for an item of `length`
// bytes under `method` (not 0). The predictor's worst case is exact:
// length + ceil(length / 8). For DEFLATE the area is larger than the
// classic length + 80 so that incompressible items near 65,535 bytes, which
// go out as stored blocks at 5 bytes of overhead per 4,096, still finish:
// the codec never stores a stream cut short. The stored bytes do not depend
// on the area's size as long as the compressor finishes in it.
inline uint32_t CompressedCapacity(uint32_t method, uint32_t length) {
  if (IsPredictorMethod(method)) return length + (length + 7) / 8;
  return length + length / 8 + 96;
}
// The most CompressedCapacity can ask for (a 65,535-byte item).
constexpr uint32_t MaxCompressedCapacity = MaxItemLength + MaxItemLength / 8 + 96;

// Compresses the `header->length` bytes at `source` into `destination`
// (room for CompressedCapacity(store->method, length) bytes) under
// store->method, and sets header->storedLength. The encoder state of the
// store is created on first use and carries the history of a chained
// method from call to call, so records must be compressed in the order in
// which they are written.
// Returns 0; 272 when the encoder's table or context cannot be allocated
// (nothing is kept, the next call tries again); 260 when the stored form
// would exceed 65,535 bytes (or, for DEFLATE, would not fit the area): the
// item must not be stored, header->storedLength is untouched, and the
// encoder has been reset, so under a chained method the caller must make
// the file's last record a reset point (trailer bit 0) before it writes
// the next record. 260 also for method 0, which the store handles itself.
ResultCode CompressItem(Store* store, ItemHeader* header, const uint8_t* source,
                        uint8_t* destination);

// Decodes the header->storedLength bytes at `source` into `destination`
// (room for header->length bytes; never more is written). `source` must be
// readable for 3 bytes past storedLength (the DEFLATE decoder loads its
// input 32 bits at a time; the record's trailer, read behind the data,
// covers this). A null header resets the decoder of the file's method: the
// store calls it at every reset point of a chained method.
// Corrupt data is not detected here (the item CRC is the check): the call
// still returns 0, and the destination holds whatever was decoded.
// Returns 0; 272 when the decoder's table or context cannot be allocated
// (nothing is kept); 260 for method 0.
ResultCode DecompressItem(Store* store, const ItemHeader* header, const uint8_t* source,
                          uint8_t* destination);

// The decoder's carried state under a chained method, as a flat copy: the
// DEFLATE window with its cursor, or the prediction table. It lets the
// store resume decoding a chain at a record it has passed before instead
// of decoding the chain again from its reset point.
// DecoderStateSize: the most bytes such a copy takes under `method` (0 when
// the method carries nothing from item to item).
// SaveDecoderState: copies the state into `out` (room for DecoderStateSize
// bytes) and returns the bytes written, which for a prediction table that
// is mostly fresh are far fewer; 0 when there is none to copy (no decoder
// yet, or a DEFLATE stream left unfinished by corrupt data), and then
// nothing is written.
// RestoreDecoderState: puts back a copy saved under the store's current
// method, creating the decoder if needed; 272 when it cannot be created.
uint32_t DecoderStateSize(uint32_t method);
uint32_t SaveDecoderState(const Store* store, uint8_t* out);
ResultCode RestoreDecoderState(Store* store, const uint8_t* in);

// Starts the encoder's history afresh, as if no item had been compressed
// since the file was opened; allocates nothing. For a caller that
// compressed an item under a chained method and then failed to store it:
// the item is in the encoder's history but not in the file, so the encoder
// is reset and the caller makes the file's last record a reset point.
void ResetEncoder(Store* store);

// Stores a new method in store->method. A different method first releases
// all codec state of both directions; the same method keeps it. Closing a
// file calls it with MethodNone, which releases everything (the process
// keeps one context or table of each kind for the next file: codec_spares.h).
// Always 0.
ResultCode SetCompressionMethod(Store* store, uint32_t method);

}  // namespace varnfile

#endif  // VARNFILE_STORE_BLOCK_CODEC_H_
