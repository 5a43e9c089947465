#include "store/block_codec.h"

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "codec/predictor.h"
#include <cstring>

#include "base/memory.h"
#include "base/test_hooks.h"
#include "store/codec_spares.h"
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
ResultCode EnsurePredictorTable(PredictorState* predictor, bool* allocated) {
  if (*allocated) return ResultOk;
  uint8_t* kept = TakeSparePredictorTable();
  if (kept != nullptr) {
    predictor->table = kept;
    PredictorInit(predictor, 1);
  } else if (PredictorInit(predictor, 0) != 0) {
    return ResultNoMemory;
  }
  *allocated = true;
  return ResultOk;
}

void ReleasePredictorTable(PredictorState* predictor, bool* allocated) {
  if (!*allocated) return;
  KeepPredictorTable(predictor->table);
  predictor->table = nullptr;
  *allocated = false;
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
  if (encoder.deflate == nullptr) encoder.deflate = TakeSpareDeflate(DeflateLevel);
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
  if (decoder.inflate == nullptr) decoder.inflate = TakeSpareInflate();
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

// The two forms of a saved prediction table (its first byte).
constexpr uint8_t WholeTable = 0;
constexpr uint8_t SparseTable = 1;
constexpr uint32_t SparseMapSize = PredictionTableSize / 8;
constexpr uint64_t FreshGroup = 0x0101010101010101ull * PredictorFreshByte;

inline uint64_t LoadGroup(const uint8_t* p) {
  uint64_t group;
  std::memcpy(&group, p, sizeof group);
  return group;
}

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
  KeepInflate(store->decoder.inflate);
  store->decoder.inflate = nullptr;
  KeepDeflate(store->encoder.deflate);
  store->encoder.deflate = nullptr;
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
  if (header != nullptr) TestHookCount(TestCounter::ItemsDecoded);
  if (IsPredictorMethod(store->method)) {
    return DecompressPredictor(store, header, source, destination);
  }
  return DecompressDeflate(store, header, source, destination);
}

uint32_t DecoderStateSize(uint32_t method) {
  if (!IsChainedMethod(method)) return 0;
  return IsPredictorMethod(method) ? 1 + PredictionTableSize : DeflateDecoderStateSize();
}

uint32_t SaveDecoderState(const Store* store, uint8_t* out) {
  if (!IsChainedMethod(store->method)) return 0;
  if (!IsPredictorMethod(store->method)) {
    return SaveDeflateDecoder(store, out) ? DeflateDecoderStateSize() : 0;
  }
  if (!store->decoder.predictorTableAllocated) return 0;
  const uint8_t* table = store->decoder.predictor.table;
  // Text fills few of the table's slots: most still hold the fresh byte.
  // Such a table is kept as a bit map of the slots that do not, followed by
  // their bytes; any other as it stands.
  uint8_t* map = out + 1;
  uint8_t* bytes = map + SparseMapSize;
  // A group writes at most 8 bytes; past this the whole table is smaller.
  const uint8_t* limit = out + 1 + PredictionTableSize - 8;
  for (uint32_t i = 0; i < PredictionTableSize; i += 8) {
    if (bytes > limit) {
      out[0] = WholeTable;
      std::memcpy(out + 1, table, PredictionTableSize);
      return 1 + PredictionTableSize;
    }
    uint32_t bits = 0;
    if (LoadGroup(table + i) != FreshGroup) {
      for (uint32_t k = 0; k < 8; ++k) {
        uint8_t value = table[i + k];
        uint32_t isUsed = value != PredictorFreshByte;
        *bytes = value;
        bytes += isUsed;
        bits |= isUsed << k;
      }
    }
    map[i / 8] = static_cast<uint8_t>(bits);
  }
  out[0] = SparseTable;
  return static_cast<uint32_t>(bytes - out);
}

ResultCode RestoreDecoderState(Store* store, const uint8_t* in) {
  if (!IsChainedMethod(store->method)) return ResultInvalidArgument;
  if (!IsPredictorMethod(store->method)) return RestoreDeflateDecoder(store, in);
  DecoderState& decoder = store->decoder;
  ResultCode rc = EnsurePredictorTable(&decoder.predictor, &decoder.predictorTableAllocated);
  if (rc != ResultOk) return rc;
  uint8_t* table = decoder.predictor.table;
  if (in[0] == WholeTable) {
    std::memcpy(table, in + 1, PredictionTableSize);
    return ResultOk;
  }
  const uint8_t* map = in + 1;
  const uint8_t* bytes = map + SparseMapSize;
  for (uint32_t i = 0; i < PredictionTableSize; i += 8) {
    uint32_t bits = map[i / 8];
    if (bits == 0) {
      std::memcpy(table + i, &FreshGroup, sizeof FreshGroup);
      continue;
    }
    for (uint32_t k = 0; k < 8; ++k) {
      uint32_t isUsed = (bits >> k) & 1;
      table[i + k] = isUsed ? *bytes : PredictorFreshByte;
      bytes += isUsed;
    }
  }
  return ResultOk;
}

void ResetEncoder(Store* store) {
  if (store->encoder.predictorTableAllocated) PredictorInit(&store->encoder.predictor, 1);
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
