// The DEFLATE decompressor: raw RFC 1951 streams (stored, fixed and dynamic
// blocks; no zlib or gzip wrapper, no checksum) with an 8,192-byte window.
//
// Decoding is resumable. One call works on whatever input and output room it
// is given and keeps all its progress in the InflateContext; the next call
// continues exactly where the last one stopped, possibly with different
// input and output areas. A context can also outlive a stream and keep its
// window for the next one, so that one stream's distances may reach back into
// the bytes of the streams decoded before it (chained items).
//
// Typical use:
//   InflateContext* context = (InflateContext*)MemAlloc(InflateContextSize());
//   if (InflateInit(context, 0) != 0) ...        // out of memory
//   uint32_t in = storedLength, out = length;
//   uint32_t finished = Inflate(stored, &in, data, &out, context, 2);
//   ...
//   InflateEnd(context); MemFree(context);
#ifndef VARNFILE_CODEC_INFLATE_H_
#define VARNFILE_CODEC_INFLATE_H_

#include <cstdint>

#include "codec/deflate_constants.h"
#include "codec/huffman_table.h"

namespace varnfile {

// Where decoding stands between two calls: each value is a place where a
// call stops and the next one resumes.
enum InflateState : uint32_t {
  InflateBetweenBlocks = 0,   // stream start or after a block: a new stream begins
  InflateStopped = 1,         // stream ended on invalid data (or a stored chunk of 0 bytes)
  InflateBlockHeader = 2,     // waiting for the 3 bits of a block header
  InflateStoredLength = 3,    // waiting for a stored block's LEN and NLEN
  InflateStoredInput = 4,     // waiting for the input of the next stored chunk
  InflateStoredOutput = 5,    // a stored chunk is in the window, waiting for output room
  InflateDynamicHeader = 6,   // a dynamic block header is unfinished
  InflateLiteralCode = 7,     // waiting for a literal/length code
  InflateLiteralTree = 8,     // (unused: a code is looked up whole, in one step)
  InflateLengthExtra = 9,     // waiting for a length's extra bits
  InflateDistanceCode = 10,   // waiting for a distance code
  InflateDistanceTree = 11,   // (unused: a code is looked up whole, in one step)
  InflateDistanceExtra = 12,  // waiting for a distance's extra bits
  InflateCopyOutput = 13,     // a back-reference step is in the window, waiting for room
  InflateLiteralOutput = 14,  // a literal is in hand, waiting for output room
};

// Progress of a dynamic block header ("sub-states" of InflateDynamicHeader).
enum DynamicHeaderStep : uint32_t {
  DynamicStart = 0,
  DynamicCounts = 2,        // waiting for the 14 bits of HLIT, HDIST, HCLEN
  DynamicCodeLengths = 3,   // waiting for a 3-bit code-length-code length
  DynamicLengthCode = 4,    // waiting for a code-length code
  DynamicRepeatExtra = 5,   // waiting for the extra bits of code 16, 17 or 18
};

// The bit reader. Bits are taken from bit 0 of the buffer upward, which is
// RFC 1951's order; usedBits of the buffer's 32 are consumed (32 = empty).
// Input is loaded as 32-bit little-endian words, so the input area must be
// readable for 3 bytes past its end.
struct BitReader {
  const uint8_t* inputStart;
  const uint8_t* cursor;
  const uint8_t* end;
  uint32_t bitBuffer;
  uint8_t usedBits;
  uint8_t finalInput;  // 1: this call's input is the whole rest of the stream
};

struct OutputCursor {
  uint8_t* start;
  uint8_t* cursor;
  uint8_t* end;
};

struct DynamicHeaderProgress {
  uint32_t repeatCode;   // 0, 1, 2 for codes 16, 17, 18 being completed
  uint32_t hlit;         // 257..288
  uint32_t hdist;        // 1..32
  uint32_t hclen;        // 4..19
  uint32_t total;        // hlit + hdist
  uint32_t lastLength;   // what code 16 repeats
  uint32_t step;         // DynamicHeaderStep
  uint32_t lengthsRead;  // code lengths (or code-length-code lengths) read so far
};

// Everything a stream's decoding needs between calls. Allocate
// InflateContextSize() bytes; only the functions below touch the fields.
struct InflateContext {
  uint8_t* window;           // 8,192-byte ring of the latest output
  uint8_t* windowEnd;        // window + WindowSize
  TableArea* tables;
  uint8_t* windowCursor;     // where the next decoded byte goes
  uint8_t* copySource;       // where the current back-reference reads from
  uint32_t codeEntry;        // table entry of the length/distance whose extra bits are due
  uint32_t distance;         // current distance; in a stored block, the chunk size
  uint32_t length;           // back-reference bytes to go; stored block bytes to go
  uint32_t step;             // bytes of the current back-reference step
  uint32_t blockHeader;      // bit 0 BFINAL, bits 1-2 BTYPE
  int32_t symbol;            // literal in hand
  uint32_t state;            // InflateState
  uint8_t fixedTablesBuilt;  // 1 while the tables hold the fixed code
  DynamicHeaderProgress header;
  BitReader bitReader;
  OutputCursor output;
};

// Bytes of an InflateContext; the caller allocates and owns them.
uint32_t InflateContextSize();

// resetOnly == 0: clears the context and allocates its window and TableArea;
// returns 1 (and holds nothing) when memory runs out, else 0.
// resetOnly != 0: starts afresh with the window and tables kept; the window
// cursor goes back to the window start, the window's bytes stay. Returns 0.
uint32_t InflateInit(InflateContext* context, uint32_t resetOnly);

// Makes a context that decoded other streams equal to one just
// initialised: as InflateInit with resetOnly, and the window and tables
// zeroed, so that a stream reaching back before its start reads zeros, not
// bytes of the streams decoded before. For a context handed to another file.
void InflateClear(InflateContext* context);

// Releases the window and TableArea and clears the context. Returns 0.
uint32_t InflateEnd(InflateContext* context);

// The state a context carries from one stream to the next (its window, the
// window cursor and the bit reader's leftover bits), as a flat copy that a
// caller may keep and put back later to resume decoding from that point,
// e.g. to step back in a chain of streams without decoding it again.
// Only the moment between two streams can be saved: InflateSaveCarried
// returns 0 (and writes nothing) when a stream is unfinished, else 1.
// InflateRestoreCarried takes a copy saved from any context of the same
// build and keeps the context's own window and table memory.
constexpr uint32_t InflateCarriedSize = sizeof(InflateContext) + WindowSize;
uint32_t InflateSaveCarried(const InflateContext* context, uint8_t* out);
void InflateRestoreCarried(InflateContext* context, const uint8_t* in);

// Decodes from input into output. On entry *inputLength is the bytes at
// input and *outputLength the room at output; on return they hold the bytes
// consumed and written. Returns 1 when the stream has finished (also on
// invalid data, which ends it with everything decoded so far) and 0 when it
// needs more input or room.
//
// mode != 0: the input is the whole rest of the stream (a code cut short is
// completed with zero bits). mode bit 0: reset the context (InflateInit with
// resetOnly 1) once the stream has finished. With mode 0 and input still to
// come, the input must end a multiple of 4 bytes after its start. In every
// mode the input must be readable for 3 bytes past *inputLength.
uint32_t Inflate(const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                 uint32_t* outputLength, InflateContext* context, uint32_t mode);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_INFLATE_H_
