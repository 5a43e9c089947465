// The disk side of the streams: descriptor operations with their result
// codes. Opening and removal by name are declared in io/stream.h.
#ifndef VARNFILE_IO_DISK_STREAM_H_
#define VARNFILE_IO_DISK_STREAM_H_

#include <cstdint>

#include "base/result_code.h"

namespace varnfile {

// 276 when the seek fails; *newPosition (if given) is the new offset.
ResultCode DiskSeek(int32_t descriptor, int64_t offset, uint32_t whence, uint32_t* newPosition);
// One read of up to count bytes; 277 when it fails. *got is the count read.
ResultCode DiskRead(int32_t descriptor, uint8_t* buffer, uint32_t count, uint32_t* got);
// The same at position; the descriptor's offset afterwards is unspecified.
ResultCode DiskReadAt(int32_t descriptor, uint8_t* buffer, uint32_t count, uint32_t position,
                      uint32_t* got);
// Writes all count bytes; 278 when any of them cannot be written.
ResultCode DiskWrite(int32_t descriptor, const uint8_t* buffer, uint32_t count);
// 278 unless a name still leads to the file.
ResultCode DiskCheckLinked(int32_t descriptor);
// Sets the file's length; 278 when that fails.
ResultCode DiskTruncate(int32_t descriptor, uint32_t length);
// 278 when the close fails. The descriptor is gone either way.
ResultCode DiskClose(int32_t descriptor);
// Removes name when it still names the file that descriptor holds and no
// other open has it; 279 otherwise. The descriptor stays open.
ResultCode DiskRemoveHeld(int32_t descriptor, const char* name);
// Creates name, which must not exist yet: 0 and the descriptor, 275 when it
// cannot be created, or *exists set (and 275) when the name is taken.
ResultCode CreateNewDiskFile(const char* name, int32_t* descriptor, bool* exists);

}  // namespace varnfile

#endif  // VARNFILE_IO_DISK_STREAM_H_
