// Memory streams: the byte area behind a "MEMORY$" file. The bytes live in
// chunks that are never moved, merged or released before the stream closes;
// rewriting reuses existing chunks, and ranges never written stay gaps that
// reads do not cross. A chunk added at the top is allocated with room to
// grow, and writes that continue the stream's highest bytes fill that room
// in place: appends of small records then share a few large chunks instead
// of taking an allocation each, and a file's records lie side by side in
// memory. Any other chunk is allocated as large as the range it covers.
// When a stream closes, its chunks of the usual growth size (64 KiB) are
// kept, up to 16 MiB in all, for the streams opened after it: the first
// write to a freshly allocated page costs a page fault, which costs more
// than copying the page's bytes, and the allocator gives freed memory back
// to the system as soon as it lies at the top of its heap, so every new
// memory file would fault all its pages in again. Past its first 2 MiB a
// stream's top chunks are page blocks of 2 MiB from the system, which it
// may back with large pages (one fault for 2 MiB); up to 16 MiB of those
// are kept as well.
//
// The open memory streams sit in the library's memory-stream table, indexed
// by 1-based handles with the open-file table's rules: the lowest free slot
// is reused, the table grows by 4 slots and is freed with its last stream.
// All of it is guarded by the library lock.
#ifndef VARNFILE_IO_MEMORY_STREAM_H_
#define VARNFILE_IO_MEMORY_STREAM_H_

#include <cstdint>

#include "io/io_state.h"
#include "base/result_code.h"

namespace varnfile {

struct MemoryChunk {
  MemoryChunk* higher;  // neighbour with higher offsets; null for the highest
  MemoryChunk* lower;   // neighbour with lower offsets; null for the lowest
  uint8_t* data;        // capacity bytes, right behind this record
  int32_t start;        // stream offset of data[0]
  int32_t length;       // bytes of the stream the chunk holds
  int32_t capacity;     // length plus the room above it, not yet written
  int32_t inBlock;      // 1: the chunk is a page block (PlatformMapPageBlock)
};

// The end of a memory stream's bytes never lies beyond this offset, so
// that chunk offsets fit their 32-bit fields: a memory file holds up to
// 2 GiB - 1 bytes, half the limit of a disk file. The store refuses an
// append that would cross it, just as it refuses one that would cross 4 GiB
// on disk.
constexpr int64_t MemoryStreamLimit = INT32_MAX;

// One slot of a stream's index: where a chunk starts and how long it is,
// kept beside the pointer so that a look-up reads only the index and never
// the chunks it passes over.
struct ChunkSlot {
  int32_t start;
  int32_t length;
  MemoryChunk* chunk;
};

struct MemoryStream {
  IoState* state;        // the table it sits in, which takes its chunks back
  MemoryChunk* lowest;   // null when nothing was written
  MemoryChunk* highest;
  int64_t size;          // end of the furthest write
  int64_t position;      // any value a seek made; reads and writes check it
  // The index slot of the chunk the last look-up found, where the next one
  // starts: sequential access in either direction then costs O(1) per call
  // instead of a search. Any value is safe; it is only where a scan starts.
  uint32_t hint;
  // Every chunk in list order, for a binary search when a position lies
  // away from the hint (random access in a file of thousands of chunks).
  ChunkSlot* index;
  uint32_t indexCount;
  uint32_t indexCapacity;
};

// A new empty stream in the lowest free slot; *handle is its 1-based number.
// 272 when the stream or the grown table cannot be allocated (the table is
// then as before).
ResultCode MemoryStreamOpen(IoState* state, int32_t* handle);
// Frees the stream and its chunks and empties its slot; 264 for a handle
// that names no stream.
ResultCode MemoryStreamClose(IoState* state, int32_t handle);
// Frees the chunks kept from closed streams. The library keeps them for its
// lifetime; a state made for a while (tests make their own) drops them
// before it goes.
void MemoryStreamDropSpares(IoState* state);
// *stream for a valid handle, else 264.
ResultCode MemoryStreamResolve(IoState* state, int32_t handle, MemoryStream** stream);

// whence 0: offset from 0, 1: from the position, 2: from size; any other
// whence leaves the position. No bounds check. Returns the new position.
int64_t MemoryStreamSeek(MemoryStream* stream, int64_t offset, uint32_t whence);
// Copies up to count bytes from the position, stopping at a gap or at the
// end of the highest chunk, advances the position and returns the count.
uint32_t MemoryStreamRead(MemoryStream* stream, uint8_t* buffer, uint32_t count);
// The bytes of the chunk that holds offset, which starts at *start and
// holds *length bytes; null when no chunk holds offset.
const uint8_t* MemoryStreamChunkAt(MemoryStream* stream, int64_t offset, int64_t* start,
                                   int64_t* length);
// Writes count bytes at the position, adding chunks for the ranges not yet
// covered, and advances the position (raising size). 278 when a chunk cannot
// be allocated or the range would end beyond MemoryStreamLimit; chunks added before the
// failure stay, the position is unchanged. A zero-byte write changes nothing.
ResultCode MemoryStreamWrite(MemoryStream* stream, const uint8_t* buffer, uint32_t count);

// Lowers size to length when it is larger; the bytes behind it are never
// read again, since every read of the store stays within its end of data.
void MemoryStreamTruncate(MemoryStream* stream, uint32_t length);

}  // namespace varnfile

#endif  // VARNFILE_IO_MEMORY_STREAM_H_
