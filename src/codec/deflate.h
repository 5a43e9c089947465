// The library's own DEFLATE compressor: raw RFC 1951 streams (no zlib or gzip
// wrapper) with an 8,192-byte window. Its output for a given input and call
// sequence is part of the file format, so every decision below is fixed:
// a 12-bit hash with chains, runs of equal bytes inserted as one chain link,
// one-step lazy matching, blocks of at most 4,096 symbols that a statistical
// rule may end earlier, and the block writer's choice of stored, fixed or
// dynamic codes (deflate_block_writer.h).
//
// Compression is resumable: a call stops when the output is full, or when
// input runs short in a call that is not the last of the stream, and the
// next call continues exactly there with new buffers. However the output is
// split over calls, the concatenation is the same stream.
//
// Typical use (one item per call):
//   auto* context = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
//   if (context == nullptr || DeflateInit(context, 0, 0) != 0) ...  // out of memory
//   uint32_t in = length, out = length + 80;
//   uint32_t complete = DeflateCompress(data, &in, stored, &out, context,
//                                       DeflateFlushChained);
//   ...
//   DeflateEnd(context); MemFree(context);
#ifndef VARNFILE_CODEC_DEFLATE_H_
#define VARNFILE_CODEC_DEFLATE_H_

#include <cstdint>

#include "codec/deflate_block_writer.h"

namespace varnfile {

// flushMode of DeflateCompress. Nonzero means "this input ends the stream";
// bit 0 then also resets the context once the stream is complete.
constexpr uint32_t DeflateFlushMore = 0;     // more input follows
constexpr uint32_t DeflateFlushChained = 2;  // end the stream; keep the history
constexpr uint32_t DeflateFlushReset = 3;    // end the stream; forget everything

// Search parameters of one compression level.
struct DeflateConfig {
  uint32_t maxChain;    // chain steps of a search
  uint32_t niceLength;  // a match this long ends the search and the lazy step
  uint32_t goodChain;   // chain steps when the pending match is >= goodLength
  uint32_t goodLength;
  uint32_t lazyLimit;   // a pending match this long is taken without a lazy search
};

// Level 0 is the library's; level 1 searches longer chains.
constexpr uint32_t DeflateLevels = 2;
extern const DeflateConfig DeflateConfigs[DeflateLevels];

// Bytes handed to DeflateCompress are read through this.
struct InputReader {
  const uint8_t* start;
  const uint8_t* current;
  const uint8_t* end;
  uint8_t final;  // nonzero: nothing follows this input
};

// The whole state of one compressor. The caller allocates
// DeflateContextSize() bytes and never looks inside.
struct DeflateContext {
  // Buffers, allocated once by DeflateInit.
  uint16_t* head;                // 4096 bucket heads
  uint16_t* chain;               // 8192 links, by window position
  SymbolEntry* symbols;          // 4096
  MatchBytesEntry* matchBytes;   // 4096
  uint8_t* window;               // 8192 bytes + a 257-byte mirror of the first 257
  uint8_t* windowEnd;            // window + 8192
  HuffmanWorkArea* treeArea;
  uint16_t* recent;              // by three-byte key: scanCount of its newest insertion
  // Kept by a reset: the level and its parameters, and the running count of
  // bytes scanned (a reset moves it a window on, so that everything in
  // `recent` ages out of reach).
  uint32_t scanCount;
  uint32_t resetCount;       // scanCount at the last reset
  // `recent` is kept and used only while the data mostly does not repeat,
  // judged by the share of literals among the symbols of recent blocks.
  uint32_t recentOn;
  uint32_t sampledSymbols;
  uint32_t sampledLiterals;
  uint32_t level;
  uint32_t maxChain;
  uint32_t goodChain;
  uint32_t niceLength;
  uint32_t goodLength;
  uint32_t lazyLimit;
  // Window cursors and input accounting.
  uint8_t* writePos;         // where the next input byte goes
  uint8_t* scanPos;          // next byte to encode
  uint32_t pending;          // bytes handed in and not yet given to a block
  uint32_t windowFill;       // bytes of history, up to 8192
  uint32_t refillRequest;    // size of the next refill; 260 at a segment start
  int32_t refillState;       // -1 segment start, 0 input ended, else last request
  uint32_t lookahead;        // bytes from scanPos to writePos
  uint32_t carriedEnd;       // symbol count before a split; 0 when none
  uint32_t resumePoint;      // 0, or where the last call stopped (1..18)
  // The last positions of a stream have no three bytes when they are scanned
  // and are never inserted; `recent` learns their keys once the next stream
  // brings the bytes after them.
  uint32_t unkeyedStart;     // scanCount of the first of them
  uint32_t unkeyed;          // nonzero: positions unkeyedStart .. scanCount - 1
  // Code tables of the block being written: into treeArea->codes, or the
  // fixed codes.
  const CodeEntry* literalCodes;
  const CodeEntry* distanceCodes;
  CodeEntry* lengthCodes;
  // Block statistics.
  uint32_t literalSquares;   // sum of squared literal/length frequencies
  uint32_t distanceSquares;  // sum of squared distance-code frequencies
  uint32_t blockBytes;       // raw bytes covered by the block
  uint32_t carriedBytes;     // raw bytes covered by carried symbols
  int32_t distancePeak;
  int32_t literalPeak;
  uint32_t lowBytes;         // sampled bytes below 0x80
  uint32_t highBytes;        // sampled bytes of 0x80 and above
  // The pending match of the lazy search.
  uint32_t pendingDistance;
  uint32_t pendingKey;       // Hash16 of its position: the bucket is the low 12 bits
  uint32_t literalCount;     // literal/length symbols, end of block included
  uint32_t literalDistinct;
  uint32_t distanceCount;
  uint32_t distanceDistinct;
  uint32_t lengthEntries;    // run-length coded code lengths of the block
  int32_t pendingLength;     // -1: none
  uint32_t pendingRun;       // run length at the pending position
  uint32_t literalCodesSent;   // HLIT + 257
  uint32_t distanceCodesSent;  // HDIST + 1
  uint32_t lengthCodesSent;    // HCLEN + 4
  uint32_t symbolCount;
  uint32_t distancePeakPosition;
  uint32_t literalPeakPosition;
  uint32_t lazyBound;        // min(lazyLimit, m) of the last search
  // Progress of the block writer; meaningless between blocks.
  uint32_t emitCount;        // stored bytes still to copy
  uint8_t tripleLengths[3];  // literal code lengths of a length-3 match's bytes
  uint8_t blockType;         // 0 stored, 1 fixed, 2 dynamic
  uint8_t* pendingEnd;       // window position just after the pending match
  uint8_t* storedStart;      // window position of the block's first byte
  SymbolEntry* symbolCursor;
  MatchBytesEntry* matchBytesCursor;
  const CodeEntry* emitLiteral;
  const CodeEntry* emitDistance;
  uint32_t emitLengthBase;
  uint32_t emitDistanceBase;
  LengthEntry* lengthCursor;
  uint8_t* storedCursor;
  uint32_t emitIndex;
  BitWriter bits;
  InputReader input;
};

// Bytes the caller allocates for one DeflateContext.
uint32_t DeflateContextSize();

// resetOnly == 0: clears the context and allocates its buffers (about 200 KB);
// returns 1, holding nothing, when memory runs out. resetOnly != 0: keeps
// the buffers and starts afresh (history, tables and counters cleared).
// Both select level (0 or 1; others are taken as 0). Returns 0 on success.
uint32_t DeflateInit(DeflateContext* context, uint32_t level, uint32_t resetOnly);

// Releases the buffers and clears the context. Safe on a context whose
// DeflateInit failed part-way, and on one already ended.
void DeflateEnd(DeflateContext* context);

// Compresses input into output. On entry *inputLength is the bytes at input
// and *outputLength the room at output (at least DeflateMinimumOutput); on
// return they hold the bytes consumed and written. Returns 1 when the call
// completed the stream (flushMode != 0: all input encoded, last block
// written), 0 when it stopped early: output full, or (flushMode 0) input
// short. Input not consumed stays with the caller, who offers it again with
// whatever follows it.
uint32_t DeflateCompress(const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                         uint32_t* outputLength, DeflateContext* context, uint32_t flushMode);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_DEFLATE_H_
