// The second half of the compressor: turning one finished block of buffered
// symbols into an RFC 1951 block. It builds length-limited Huffman codes for
// the block, prices the block as stored, with the fixed codes and with its
// own dynamic codes, picks the cheapest, and writes it through a bit writer
// that emits 32-bit little-endian words, least significant bit first.
//
// Every write can find the output full. The write that failed is recorded as
// the compressor's resume point (3..18) and repeated by the next call with a
// new output buffer, so a block can be spread over any number of calls.
#ifndef VARNFILE_CODEC_DEFLATE_BLOCK_WRITER_H_
#define VARNFILE_CODEC_DEFLATE_BLOCK_WRITER_H_

#include <cstdint>

#include "codec/huffman_codes.h"

namespace varnfile {

struct DeflateContext;

// One buffered symbol, in data order.
struct SymbolEntry {
  uint16_t distance;        // 0 for a literal, else the match distance 1..8191
  uint8_t literalOrLength;  // the literal byte, or the length code 0..28
  uint8_t distanceCode;     // distance code 0..29 (matches only)
};
static_assert(sizeof(SymbolEntry) == 4, "four-byte symbol entries");

// Parallel to SymbolEntry; meaningful for matches only. The first three bytes
// let a length-3 match be written as three literals when that is cheaper.
struct MatchBytesEntry {
  uint8_t firstBytes[3];
  uint8_t lengthLess3;  // match length - 3 (0..255)
};
static_assert(sizeof(MatchBytesEntry) == 4, "four-byte match-bytes entries");

// Output side of the compressor. Between writes, current is a whole number of
// 32-bit words past start; bits not yet stored wait in bitBuffer (the oldest
// in bit 0). end lies 4 bytes before the usable end of the buffer, so that a
// finishing call can always store its last partial word.
struct BitWriter {
  uint8_t* start;
  uint8_t* current;
  uint8_t* end;
  uint32_t bitBuffer;
  uint32_t bitCount;  // 0..31
};

// Output room below this is refused: a call must be able to store one whole
// word and a final partial word.
constexpr uint32_t DeflateMinimumOutput = 8;

// Clears every field.
void BitWriterClear(BitWriter* writer);
// Starts writing to a new buffer; bits left from an interrupted call are
// kept and go out first. The usable room is capacity rounded down to whole
// words (capacity >= 4). Returns the room for whole words.
uint32_t BitWriterOpen(BitWriter* writer, uint8_t* output, uint32_t capacity);
// Appends the n (<= 16) low bits of value. Returns 1, changing nothing, when
// a whole word is due and no room is left for it; else 0.
uint32_t BitWriterPutBits(BitWriter* writer, uint32_t value, uint32_t n);
// Pads to a byte boundary and copies n bytes. Returns 1 when they do not fit
// (the padding stays done); else 0. The 1-3 bytes past the last whole word
// go back into the bit buffer, so current stays on the word grid.
uint32_t BitWriterPutBytes(BitWriter* writer, const uint8_t* source, uint32_t n);
// Bytes written to the current buffer. complete != 0 also stores the last
// partial word (up to 4 bytes, within the room kept back by end).
uint32_t BitWriterFinish(BitWriter* writer, uint32_t complete);

// Builds the codes of the block the compressor has just ended and chooses
// its type. Then writes it, starting at resume point 3.
void DeflatePrepareBlock(DeflateContext* context);
// Writes (the rest of) the prepared block from resume point `point` (3..18).
// Returns 0 when the block is written, else the resume point of the write
// that found the output full.
uint32_t DeflateWriteBlock(DeflateContext* context, uint32_t point);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_DEFLATE_BLOCK_WRITER_H_
