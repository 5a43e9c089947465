#include "codec/predictor.h"

#include <cstddef>
#include <cstring>

#include "base/memory.h"

namespace varnfile {

namespace {

constexpr uint32_t GroupSize = 8;

// The table slot that predicts the byte after b2, b1. b2 << 7 reaches
// 0x7F80 and b1 at most 0xFF, so the index always lies within the table.
inline uint32_t PredictionIndex(uint32_t b2, uint32_t b1) { return (b2 << 7) ^ b1; }
static_assert(((0xFFu << 7) ^ 0xFFu) < PredictionTableSize, "index stays in the table");

inline void RefillTable(uint8_t* table) {
  std::memset(table, PredictorFreshByte, PredictionTableSize);
}

}  // namespace

uint32_t PredictorInit(PredictorState* state, uint32_t resetOnly) {
  if (resetOnly == 0) {
    uint8_t* table = static_cast<uint8_t*>(MemAlloc(PredictionTableSize));
    if (table == nullptr) return 1;
    state->table = table;
  }
  RefillTable(state->table);
  return 0;
}

void PredictorFree(PredictorState* state) {
  MemFree(state->table);
  state->table = nullptr;
}

void PredictorEncode(PredictorState* state) {
  uint8_t* table = state->table;
  if ((state->flags & PredictorKeepTable) == 0) RefillTable(table);

  const uint8_t* inNext = state->input;
  const uint8_t* const inEnd = inNext + state->inputLength;
  uint8_t* outNext = state->output;
  uint32_t b1 = 0;
  uint32_t b2 = 0;
  while (inNext < inEnd) {
    // The flag byte goes first; the group's literals follow it directly,
    // so the slot is reserved now and filled once the group is known.
    uint8_t* flagSlot = outNext++;
    uint32_t flagByte = 0;
    uint32_t groupLength = static_cast<uint32_t>(inEnd - inNext);
    if (groupLength > GroupSize) groupLength = GroupSize;
    for (uint32_t i = 0; i < groupLength; ++i) {
      uint8_t c = *inNext++;
      uint8_t* slot = table + PredictionIndex(b2, b1);
      if (*slot == c) {
        flagByte |= 1u << i;
      } else {
        *slot = c;
        *outNext++ = c;
      }
      b2 = b1;
      b1 = c;
    }
    *flagSlot = static_cast<uint8_t>(flagByte);
  }
  state->outputLength = static_cast<uint32_t>(outNext - state->output);
}

uint32_t PredictorDecode(PredictorState* state) {
  uint8_t* table = state->table;
  if ((state->flags & PredictorKeepTable) == 0) RefillTable(table);

  const uint8_t* inNext = state->input;
  const uint8_t* const inEnd = inNext + state->inputLength;
  uint8_t* outNext = state->output;
  uint8_t* const outEnd = outNext + state->outputLength;
  uint32_t b1 = 0;
  uint32_t b2 = 0;
  uint32_t complete = 1;
  while (inNext < inEnd) {
    uint32_t flagByte = *inNext++;
    if (inEnd - inNext >= static_cast<ptrdiff_t>(GroupSize) &&
        outEnd - outNext >= static_cast<ptrdiff_t>(GroupSize)) {
      // A whole group with room for it: every clear bit has its literal
      // and no byte can overrun, so the checks below are not needed. The
      // choice between table and literal is made without a branch (a hit
      // stores back the byte the slot already holds).
      for (uint32_t i = 0; i < GroupSize; ++i) {
        uint8_t* slot = table + PredictionIndex(b2, b1);
        uint32_t literal = ((flagByte >> i) & 1) ^ 1;
        uint8_t c = literal != 0 ? *inNext : *slot;
        *slot = c;
        inNext += literal;
        *outNext++ = c;
        b2 = b1;
        b1 = c;
      }
      continue;
    }
    for (uint32_t i = 0; i < GroupSize; ++i) {
      uint8_t* slot = table + PredictionIndex(b2, b1);
      bool predicted = (flagByte >> i) & 1;
      // A clear bit with no literal left is the padding of a short last group.
      if (!predicted && inNext == inEnd) goto done;
      // Corrupt input can claim more bytes than the item holds: stop there.
      if (outNext == outEnd) {
        complete = 0;
        goto done;
      }
      uint8_t c;
      if (predicted) {
        c = *slot;
      } else {
        c = *inNext++;
        *slot = c;
      }
      *outNext++ = c;
      b2 = b1;
      b1 = c;
    }
  }
done:
  state->outputLength = static_cast<uint32_t>(outNext - state->output);
  return complete;
}

}  // namespace varnfile
