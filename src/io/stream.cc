// The stream operations, dispatched to a memory stream or a disk file by the
// file's isMemory flag.
#include "io/stream.h"

#include "io/disk_stream.h"
#include "io/memory_stream.h"

namespace varnfile {

namespace {

constexpr char MemoryName[] = "MEMORY$";

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool IsMemoryName(const char* name) {
  if (name == nullptr) return false;
  const char* expected = MemoryName;
  for (; *expected != '\0'; ++name, ++expected) {
    if (AsciiUpper(*name) != *expected) return false;
  }
  return *name == '\0';
}

ResultCode StreamOpen(StreamFile* file, const char* name, StreamAccess access) {
  if (file->isMemory) {
    int32_t handle = -1;
    ResultCode rc = MemoryStreamOpen(file->state, &handle);
    if (rc != ResultOk) return rc;
    file->streamHandle = handle;
    return ResultOk;
  }
  int32_t descriptor = -1;
  ResultCode rc = OpenDiskFile(name, access, &descriptor);
  if (rc != ResultOk) return rc;
  file->streamHandle = descriptor;
  return ResultOk;
}

ResultCode StreamClose(StreamFile* file, bool discard) {
  // Nothing is open before the first open or after a close.
  if (file->streamHandle < 0) return ResultOk;
  int32_t handle = file->streamHandle;
  if (file->isMemory) {
    ResultCode rc = MemoryStreamClose(file->state, handle);
    if (rc == ResultOk) file->streamHandle = -1;
    return rc;
  }
  file->streamHandle = -1;
  // A discarded file is removed while this handle still holds it, so that
  // the removal can tell its own file from one put under the same name.
  ResultCode removed = discard ? DiskRemoveHeld(handle, file->fileName) : ResultOk;
  ResultCode rc = DiskClose(handle);
  return rc != ResultOk ? rc : removed;
}

ResultCode StreamSeek(StreamFile* file, int64_t offset, uint32_t whence, uint32_t* newPosition) {
  if (file->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(file->state, file->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    int64_t position = MemoryStreamSeek(stream, offset, whence);
    if (position < 0 || position > UINT32_MAX) return ResultSeekFailed;
    if (newPosition != nullptr) *newPosition = static_cast<uint32_t>(position);
    return ResultOk;
  }
  return DiskSeek(file->streamHandle, offset, whence, newPosition);
}

uint32_t StreamEndLimit(const StreamFile* file) {
  return file->isMemory ? static_cast<uint32_t>(MemoryStreamLimit) : UINT32_MAX;
}

ResultCode StreamReadBytes(StreamFile* file, uint8_t* buffer, uint32_t count, uint32_t* got) {
  uint32_t n = 0;
  if (file->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(file->state, file->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    n = MemoryStreamRead(stream, buffer, count);
  } else {
    ResultCode rc = DiskRead(file->streamHandle, buffer, count, &n);
    if (rc != ResultOk) return rc;
  }
  if (got != nullptr) {
    *got = n;
    return ResultOk;
  }
  return n == count ? ResultOk : ResultReadFailed;
}

ResultCode StreamReadAt(StreamFile* file, uint8_t* buffer, uint32_t count, uint32_t position,
                        uint32_t* got) {
  *got = 0;
  if (file->isMemory) {
    ResultCode rc = StreamSeek(file, position, 0, nullptr);
    return rc != ResultOk ? rc : StreamReadBytes(file, buffer, count, got);
  }
  return DiskReadAt(file->streamHandle, buffer, count, position, got);
}

const uint8_t* StreamMemoryView(StreamFile* file, uint32_t position, uint32_t* start,
                                uint32_t* length) {
  MemoryStream* stream = nullptr;
  if (!file->isMemory || MemoryStreamResolve(file->state, file->streamHandle, &stream) != ResultOk) {
    return nullptr;
  }
  int64_t chunkStart = 0;
  int64_t chunkLength = 0;
  const uint8_t* bytes = MemoryStreamChunkAt(stream, position, &chunkStart, &chunkLength);
  if (bytes == nullptr) return nullptr;
  *start = static_cast<uint32_t>(chunkStart);
  *length = static_cast<uint32_t>(chunkLength);
  return bytes;
}

ResultCode StreamWriteBytes(StreamFile* file, const uint8_t* buffer, uint32_t count) {
  if (file->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(file->state, file->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    return MemoryStreamWrite(stream, buffer, count);
  }
  return DiskWrite(file->streamHandle, buffer, count);
}

ResultCode StreamCheckLinked(StreamFile* file) {
  return file->isMemory ? ResultOk : DiskCheckLinked(file->streamHandle);
}

ResultCode StreamTruncate(StreamFile* file, uint32_t length) {
  if (file->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(file->state, file->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    MemoryStreamTruncate(stream, length);
    return ResultOk;
  }
  return DiskTruncate(file->streamHandle, length);
}

}  // namespace varnfile
