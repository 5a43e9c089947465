// The byte predictor: a one-pass, order-2 context predictor. Each byte is
// predicted from a 32 KB table indexed by the two bytes before it; a byte
// that matches its prediction costs one flag bit, any other byte is stored
// as a literal and becomes the new prediction.
//
// Stored format, per group of up to 8 input bytes: one flag byte, then the
// group's unpredicted bytes in input order. Bit i (value 1 << i) of the flag
// byte is set when byte i of the group was predicted. The flag bits of a
// short last group that stand for no byte are clear, so the format needs no
// length: decoding ends exactly at the end of the input. n bytes of input
// take at most n + ceil(n / 8) bytes.
//
// The two bytes of context start at 0 for every item. Under the chained
// predictor (flags bit 0 set) the table is kept from the previous item;
// otherwise it is refilled with spaces before the item.
#ifndef VARNFILE_CODEC_PREDICTOR_H_
#define VARNFILE_CODEC_PREDICTOR_H_

#include <cstdint>

#include "codec/codec_state.h"

namespace varnfile {

// Bit 0 of PredictorState::flags: keep the table from the previous item.
constexpr uint32_t PredictorKeepTable = 1;
// The value of every byte of a fresh table (ASCII space).
constexpr uint8_t PredictorFreshByte = 0x20;

// resetOnly = 0: allocates the state's table (PredictionTableSize bytes).
// In both cases fills the table with spaces. Returns 0, or 1 when the
// allocation failed (the state is unchanged).
uint32_t PredictorInit(PredictorState* state, uint32_t resetOnly);

// Frees the table and clears the pointer. Null tables are ignored.
void PredictorFree(PredictorState* state);

// Encodes inputLength bytes at input into output, which must have room for
// inputLength + ceil(inputLength / 8) bytes; sets outputLength.
void PredictorEncode(PredictorState* state);

// Decodes inputLength bytes at input. On entry outputLength is the room at
// output; decoding stops there even when corrupt input asks for more bytes
// (excess flag bits are ignored). On return outputLength is the number of
// bytes written. Returns 1 when all input was decoded within the room, 0
// when the room ran out first.
uint32_t PredictorDecode(PredictorState* state);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_PREDICTOR_H_
