#include "codec/block_codec.h"

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "codec/predictor.h"
#include <cstring>

#include "platform/memory.h"
#include "store/decoder_checkpoints.h"
#include "store/store.h"

namespace varnfile {

namespace {

// A decoder stopped early by damaged input leaves the rest of the item's
// area as it found it: another item's or another file's bytes. Zero what it
// did not write, so that every byte handed on came from this record or is 0.
// Only the unwritten tail is touched; an intact record costs nothing.
inline void ZeroUnwritten(uint8_t* destination, uint32_t written, uint32_t length) {
  if (written < length) std::memset(destination + written, 0, length - written);
}

inline uint32_t PredictorFlags(uint32_t method) {
  return IsChainedMethod(method) ? PredictorKeepTable : 0;
}

// The table of one direction, created on first use. 272 when it cannot be
// allocated; nothing is kept then.
ResultCode EnsurePredictorTable(PredictorState* predictor, uint32_t* allocated) {
  if (*allocated != 0) return ResultOk;
  if (PredictorInit(predictor, 0) != 0) return ResultNoMemory;
  *allocated = 1;
  return ResultOk;
}

void ReleasePredictorTable(PredictorState* predictor, uint32_t* allocated) {
  if (*allocated == 0) return;
  PredictorFree(predictor);
  *allocated = 0;
}

ResultCode CompressPredictor(Store* store, ItemHeader* header, const uint8_t* source,
                             uint8_t* destination) {
  EncoderState& encoder = store->encoder;
  ResultCode rc = EnsurePredictorTable(&encoder.predictor, &encoder.predictorTableAllocated);
  if (rc != ResultOk) return rc;
  if (header->length == 0) {
    header->storedLength = 0;
    return ResultOk;
  }
  PredictorState& run = encoder.predictor;
  run.flags = PredictorFlags(store->method);
  run.input = source;
  run.inputLength = header->length;
  run.output = destination;
  PredictorEncode(&run);
  if (run.outputLength > MaxItemStoredLength) {
    // The item already shaped the table; start the chain afresh so that the
    // decoder, reset at the caller's new reset point, stays in step.
    PredictorInit(&run, 1);
    return ResultInvalidArgument;
  }
  header->storedLength = static_cast<uint16_t>(run.outputLength);
  return ResultOk;
}

ResultCode DecompressPredictor(Store* store, const ItemHeader* header, const uint8_t* source,
                               uint8_t* destination) {
  DecoderState& decoder = store->decoder;
  ResultCode rc = EnsurePredictorTable(&decoder.predictor, &decoder.predictorTableAllocated);
  if (rc != ResultOk) return rc;
  PredictorState& run = decoder.predictor;
  if (header == nullptr) {
    PredictorInit(&run, 1);
    return ResultOk;
  }
  if (header->storedLength == 0) {
    ZeroUnwritten(destination, 0, header->length);
    return ResultOk;
  }
  run.flags = PredictorFlags(store->method);
  run.input = source;
  run.inputLength = header->storedLength;
  run.output = destination;
  run.outputLength = header->length;
  PredictorDecode(&run);
  ZeroUnwritten(destination, run.outputLength, header->length);
  return ResultOk;
}

// The compressor level the library always uses (the first row of its
// configuration table).
constexpr uint32_t DeflateLevel = 0;

// DeflateCompress flush modes and Inflate modes: bit 1 says the input is
// the whole rest of the item's stream; bit 0 resets the context once the
// stream is complete, so that every item stands alone.
constexpr uint32_t FinishChained = 2;
constexpr uint32_t FinishAndReset = 3;

inline uint32_t FinishMode(uint32_t method) {
  return IsChainedMethod(method) ? FinishChained : FinishAndReset;
}

ResultCode CompressDeflate(Store* store, ItemHeader* header, const uint8_t* source,
                           uint8_t* destination) {
  EncoderState& encoder = store->encoder;
  if (encoder.deflate == nullptr) {
    auto* context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
    if (context == nullptr) return ResultNoMemory;
    // A failed init has already released the context's own buffers.
    if (DeflateInit(context, DeflateLevel, 0) != 0) {
      MemFree(context);
      return ResultNoMemory;
    }
    encoder.deflate = context;
  }
  if (header->length == 0) {
    header->storedLength = 0;
    return ResultOk;
  }
  uint32_t inputLength = header->length;
  uint32_t outputLength = CompressedCapacity(store->method, header->length);
  uint32_t complete = DeflateCompress(source, &inputLength, destination, &outputLength,
                                      encoder.deflate, FinishMode(store->method));
  if (complete == 0 || outputLength > MaxItemStoredLength) {
    // Never store a stream cut short. The context holds a half-written
    // stream (and, chained, the item in its history): start afresh.
    DeflateInit(encoder.deflate, DeflateLevel, 1);
    return ResultInvalidArgument;
  }
  header->storedLength = static_cast<uint16_t>(outputLength);
  return ResultOk;
}

ResultCode EnsureInflateContext(Store* store) {
  DecoderState& decoder = store->decoder;
  if (decoder.inflate != nullptr) return ResultOk;
  auto* context = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  if (context == nullptr) return ResultNoMemory;
  if (InflateInit(context, 0) != 0) {
    MemFree(context);
    return ResultNoMemory;
  }
  decoder.inflate = context;
  return ResultOk;
}

ResultCode DecompressDeflate(Store* store, const ItemHeader* header, const uint8_t* source,
                             uint8_t* destination) {
  ResultCode rc = EnsureInflateContext(store);
  if (rc != ResultOk) return rc;
  DecoderState& decoder = store->decoder;
  if (header == nullptr) {
    InflateInit(decoder.inflate, 1);
    return ResultOk;
  }
  if (header->storedLength == 0) {
    ZeroUnwritten(destination, 0, header->length);
    return ResultOk;
  }
  uint32_t inputLength = header->storedLength;
  uint32_t outputLength = header->length;
  uint32_t finished = Inflate(source, &inputLength, destination, &outputLength, decoder.inflate,
                              FinishMode(store->method));
  ZeroUnwritten(destination, outputLength, header->length);
  // An unchained item that did not finish (corrupt or cut data) would leave
  // the decoder mid-stream; every later item stands alone, so restart it.
  if (finished == 0 && !IsChainedMethod(store->method)) InflateInit(decoder.inflate, 1);
  return ResultOk;
}

uint32_t DeflateDecoderStateSize() { return InflateCarriedSize; }

bool SaveDeflateDecoder(const Store* store, uint8_t* out) {
  return store->decoder.inflate != nullptr && InflateSaveCarried(store->decoder.inflate, out) != 0;
}

ResultCode RestoreDeflateDecoder(Store* store, const uint8_t* in) {
  ResultCode rc = EnsureInflateContext(store);
  if (rc != ResultOk) return rc;
  InflateRestoreCarried(store->decoder.inflate, in);
  return ResultOk;
}

void ResetDeflateEncoder(Store* store) {
  if (store->encoder.deflate != nullptr) DeflateInit(store->encoder.deflate, DeflateLevel, 1);
}

void ReleaseDeflateContexts(Store* store) {
  if (store->decoder.inflate != nullptr) {
    InflateEnd(store->decoder.inflate);
    MemFree(store->decoder.inflate);
    store->decoder.inflate = nullptr;
  }
  if (store->encoder.deflate != nullptr) {
    DeflateEnd(store->encoder.deflate);
    MemFree(store->encoder.deflate);
    store->encoder.deflate = nullptr;
  }
}


}  // namespace

ResultCode CompressItem(Store* store, ItemHeader* header, const uint8_t* source,
                        uint8_t* destination) {
  if (store->method == MethodNone) return ResultInvalidArgument;
  if (IsPredictorMethod(store->method)) return CompressPredictor(store, header, source, destination);
  return CompressDeflate(store, header, source, destination);
}

ResultCode DecompressItem(Store* store, const ItemHeader* header, const uint8_t* source,
                          uint8_t* destination) {
  if (store->method == MethodNone) return ResultInvalidArgument;
  if (IsPredictorMethod(store->method)) {
    return DecompressPredictor(store, header, source, destination);
  }
  return DecompressDeflate(store, header, source, destination);
}

uint32_t DecoderStateSize(uint32_t method) {
  if (!IsChainedMethod(method)) return 0;
  return IsPredictorMethod(method) ? PredictionTableSize : DeflateDecoderStateSize();
}

bool SaveDecoderState(const Store* store, uint8_t* out) {
  if (!IsChainedMethod(store->method)) return false;
  if (!IsPredictorMethod(store->method)) return SaveDeflateDecoder(store, out);
  if (store->decoder.predictorTableAllocated == 0) return false;
  std::memcpy(out, store->decoder.predictor.table, PredictionTableSize);
  return true;
}

ResultCode RestoreDecoderState(Store* store, const uint8_t* in) {
  if (!IsChainedMethod(store->method)) return ResultInvalidArgument;
  if (!IsPredictorMethod(store->method)) return RestoreDeflateDecoder(store, in);
  DecoderState& decoder = store->decoder;
  ResultCode rc = EnsurePredictorTable(&decoder.predictor, &decoder.predictorTableAllocated);
  if (rc != ResultOk) return rc;
  std::memcpy(decoder.predictor.table, in, PredictionTableSize);
  return ResultOk;
}

void ResetEncoder(Store* store) {
  if (store->encoder.predictorTableAllocated != 0) PredictorInit(&store->encoder.predictor, 1);
  ResetDeflateEncoder(store);
}

ResultCode SetCompressionMethod(Store* store, uint32_t method) {
  if (method == store->method) return ResultOk;
  DropDecoderCheckpoints(store);
  // Only the state of the current method can exist, but releasing whatever
  // is present keeps a close leak-free whatever happened before it.
  ReleasePredictorTable(&store->decoder.predictor, &store->decoder.predictorTableAllocated);
  ReleasePredictorTable(&store->encoder.predictor, &store->encoder.predictorTableAllocated);
  ReleaseDeflateContexts(store);
  store->method = method;
  return ResultOk;
}

}  // namespace varnfile
