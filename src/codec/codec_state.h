// The per-file codec state: one half for decoding, one for encoding, so that
// reading and appending items of the same open file never share a table or
// a context. Embedded in the store; all zero while no file is open.
#ifndef VARNFILE_CODEC_CODEC_STATE_H_
#define VARNFILE_CODEC_CODEC_STATE_H_

#include <cstdint>

namespace varnfile {

struct InflateContext;
struct DeflateContext;

constexpr uint32_t PredictionTableSize = 32768;

// Drives one run of the byte predictor over one item.
struct PredictorState {
  uint32_t flags;         // bit 0: keep the table from the previous item (chained)
  uint32_t inputLength;   // bytes at input
  uint32_t outputLength;  // set by the run: bytes written to output
  const uint8_t* input;
  uint8_t* output;
  uint8_t* table;         // PredictionTableSize bytes, owned by this record
};

struct DecoderState {
  InflateContext* inflate;   // null until the first DEFLATE item is decoded
  PredictorState predictor;
  bool predictorTableAllocated;
};

struct EncoderState {
  DeflateContext* deflate;   // null until the first DEFLATE item is encoded
  PredictorState predictor;
  bool predictorTableAllocated;
};

}  // namespace varnfile

#endif  // VARNFILE_CODEC_CODEC_STATE_H_
