// Buffered byte access to a store's file. Two independent buffers sit
// between the record layer and the stream: a read buffer holding a window of
// the file that slides with the reads (and centres itself on requests that
// walk backwards), and a write buffer that collects adjacent writes so that
// appends reach the stream in writeBufferSize pieces (a memory file is read
// straight from its stream, without the window). The two are kept
// coherent: a read always sees every byte written before it, whether it is
// still in the write buffer or already on the stream.
//
// The file header is read and written past these buffers; everything here
// works on positions of the file as a whole.
#ifndef VARNFILE_STORE_BUFFERED_IO_H_
#define VARNFILE_STORE_BUFFERED_IO_H_

#include <cstdint>

#include "base/result_code.h"
#include "store/store.h"

namespace varnfile {

// Copies exactly count bytes of the file at position into dst, or fails:
// 277 when the file ends first, 272 when the read buffer cannot be had,
// other stream codes as the stream gives them. direct nonzero asks for no
// read-ahead and no look-behind (single, isolated reads). count 0 is a no-op.
ResultCode BufferedRead(Store* store, uint8_t* dst, uint32_t position, uint32_t count,
                        uint32_t direct);

// The count bytes at position where a memory file holds them in one piece
// of its stream, to be read in place: they stay where they are until the
// stream closes and change only when those bytes are written again. Null
// when they cannot be had that way (a disk file, bytes split between two
// pieces or never written, or some of them newer in the write buffer); the
// caller then reads a copy with BufferedRead.
const uint8_t* BufferedPeek(Store* store, uint32_t position, uint32_t count);

// Asks the processor for the count bytes before position of a memory file
// (never those of the file header), nearest first, ahead of a walk
// backwards over them. Nothing for a disk file or where the stream holds
// no bytes.
void BufferedPrefetchBefore(Store* store, uint32_t position, uint32_t count);

// Puts count bytes at position (through the write buffer where they fit).
// The count bytes reach the stream in one stream write, never split between
// two. count 0 is a no-op.
ResultCode BufferedWrite(Store* store, const uint8_t* src, uint32_t position, uint32_t count);

// Writes the write buffer to the stream and empties it. With keepReadBuffer
// 0 the read window is first brought up to date with the buffered bytes;
// nonzero skips that (the store is being closed). On failure the write
// buffer keeps its bytes.
ResultCode FlushWriteBuffer(Store* store, uint32_t keepReadBuffer);

// Cuts off bytes that a failed write left on the stream behind the data
// written so far; 0 when there are none. 278 when the cut fails.
ResultCode CutStreamTail(Store* store);

// Writes count bytes at position straight to the stream, past the write
// buffer (which must not hold any of them), with the checks and the cut-back
// of every store write.
ResultCode WriteThrough(Store* store, const uint8_t* src, uint32_t position, uint32_t count);

// Yields scratch buffers of at least sizeA and sizeB bytes in *a and *b
// (either pointer may be null when its size is 0). A size of 0 releases that
// buffer. Sizes are rounded up to multiples of 256. 272 when either cannot
// be had (then both are released if B failed).
ResultCode GetScratchBuffers(Store* store, uint32_t sizeA, uint32_t sizeB, uint8_t** a,
                             uint8_t** b);

// Flushes the write buffer, empties the read window and takes the new
// buffer sizes (a value with the top bit set counts as 0 = unbuffered).
// A buffer whose size changes is freed and allocated again on next use.
ResultCode StoreSetParameters(Store* store, uint32_t readBufferSize, uint32_t writeBufferSize);

// Frees the read, write and scratch buffers and sets their sizes,
// capacities and lengths to 0. Unflushed bytes are dropped: flush first.
ResultCode ReleaseBuffers(Store* store);

}  // namespace varnfile

#endif  // VARNFILE_STORE_BUFFERED_IO_H_
