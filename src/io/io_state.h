// What the stream layer and the clock keep for the whole library: the table
// of open memory streams and the date/time options. One record per library,
// inside the library state and guarded by the library lock; each store
// points at it.
#ifndef VARNFILE_IO_IO_STATE_H_
#define VARNFILE_IO_IO_STATE_H_

#include <cstdint>

namespace varnfile {

struct MemoryStream;
struct MemoryChunk;

struct IoState {
  MemoryStream** memStreams;  // memCapacity slots; null when no stream is open
  uint32_t memCapacity;       // a multiple of 4
  uint32_t memCount;
  // Growth chunks of closed memory streams, kept for the next ones
  // (memory_stream.cc), linked through `higher`.
  MemoryChunk* spareChunks;
  uint32_t spareCount;
  MemoryChunk* spareBlocks;  // the same for chunks in page blocks
  uint32_t spareBlockCount;
  uint32_t dateTimeMode;   // 1: server clock
  uint32_t dateTimeParam;  // handed to the server clock
};

}  // namespace varnfile

#endif  // VARNFILE_IO_IO_STATE_H_
