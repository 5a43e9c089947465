// The operations through which the store reaches its file: open, close,
// seek, read, write and truncate, over either a disk file or a memory stream (the file
// named "MEMORY$" in any letter case).
#ifndef VARNFILE_IO_STREAM_H_
#define VARNFILE_IO_STREAM_H_

#include <cstdint>

#include "base/result_code.h"
#include "io/io_state.h"

namespace varnfile {

constexpr uint32_t MaxFileNameLength = 259;  // plus the NUL

// The file behind an open store, as the stream operations see it. The store
// record starts with these fields.
struct StreamFile {
  IoState* state;
  int32_t streamHandle;  // -1: no stream open
  bool isMemory;         // a "MEMORY$" file
  char fileName[MaxFileNameLength + 1];  // the name as given, or the invented path
};

enum class StreamAccess : uint32_t {
  StreamRead = 0,    // existing file, reading only; others may read too
  StreamUpdate = 1,  // existing file, reading and writing; exclusive
  StreamCreate = 3,  // create or truncate, reading and writing; exclusive
};

// True when name equals "MEMORY$" regardless of letter case.
bool IsMemoryName(const char* name);

// Opens the store's stream: a new empty memory stream when file->isMemory
// is set (272 without memory), else the disk file (274 or 275).
ResultCode StreamOpen(StreamFile* file, const char* name, StreamAccess access);
// Closes the stream; with discard set a disk file named by file->fileName
// is then removed (279 if that fails, unless the close already gave 278).
ResultCode StreamClose(StreamFile* file, bool discard);
// whence 0: from the start, 1: from the current position, 2: from the end.
// Positions are unsigned 32-bit, so the offset is 64-bit: a position above
// 2 GiB is given as itself, never as a negative number. 276 when the seek
// fails or ends outside 0 to 4 GiB - 1.
ResultCode StreamSeek(StreamFile* file, int64_t offset, uint32_t whence, uint32_t* newPosition);
// The furthest end of data the store's stream can hold: 4 GiB - 1 for a
// disk file (positions are u32), MemoryStreamLimit for a memory file.
uint32_t StreamEndLimit(const StreamFile* file);
// Reads up to count bytes. With got, a short read is not an error and the
// count read is stored; without it, anything short of count is 277.
ResultCode StreamReadBytes(StreamFile* file, uint8_t* buffer, uint32_t count, uint32_t* got);
// Reads up to count bytes at position, without a separate seek on a disk
// file; *got is the count read (a short read is not an error). The stream
// position afterwards is unspecified.
ResultCode StreamReadAt(StreamFile* file, uint8_t* buffer, uint32_t count, uint32_t position,
                        uint32_t* got);
// For a memory stream, the bytes of its chunk that holds position: they
// start at *start and run for *length bytes, and stay where they are until
// the stream is closed. Null for a disk file or a position no chunk holds.
const uint8_t* StreamMemoryView(StreamFile* file, uint32_t position, uint32_t* start,
                                uint32_t* length);
// Writes all count bytes at the current position, or fails with 278.
ResultCode StreamWriteBytes(StreamFile* file, const uint8_t* buffer, uint32_t count);

// 278 when no name leads to the file any more: another program removed it,
// or put another file under its name, while the handle held it (the lock
// binds only the library's own opens). A memory stream always passes.
ResultCode StreamCheckLinked(StreamFile* file);

// Cuts the stream back to length bytes: what a failed write left behind the
// end of the data goes. 278 when that fails.
ResultCode StreamTruncate(StreamFile* file, uint32_t length);

// The disk side of StreamOpen; also used to create uniquely named files.
ResultCode OpenDiskFile(const char* name, StreamAccess access, int32_t* descriptor);
// Makes the file writable by its owner and removes it; 279 on failure,
// including when another handle holds the file open.
ResultCode RemoveFileByName(const char* name);

}  // namespace varnfile

#endif  // VARNFILE_IO_STREAM_H_
