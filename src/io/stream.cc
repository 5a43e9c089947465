// The stream operations, dispatched to a memory stream or a disk file by the
// store's isMemory flag.
#include "io/stream.h"

#include "io/disk_stream.h"
#include "io/memory_stream.h"
#include "store/store.h"

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

ResultCode StreamOpen(Store* store, const char* name, StreamAccess access) {
  if (store->isMemory) {
    int32_t handle = -1;
    ResultCode rc = MemoryStreamOpen(store->state, &handle);
    if (rc != ResultOk) return rc;
    store->streamHandle = handle;
    return ResultOk;
  }
  int32_t descriptor = -1;
  ResultCode rc = OpenDiskFile(name, access, &descriptor);
  if (rc != ResultOk) return rc;
  store->streamHandle = descriptor;
  return ResultOk;
}

ResultCode StreamClose(Store* store, uint32_t discard) {
  // Nothing is open before the first open or after a close.
  if (store->streamHandle < 0) return ResultOk;
  int32_t handle = store->streamHandle;
  if (store->isMemory) {
    ResultCode rc = MemoryStreamClose(store->state, handle);
    if (rc == ResultOk) store->streamHandle = -1;
    return rc;
  }
  store->streamHandle = -1;
  // A discarded file is removed while this handle still holds it, so that
  // the removal can tell its own file from one put under the same name.
  ResultCode removed = discard ? DiskRemoveHeld(handle, store->fileName) : ResultOk;
  ResultCode rc = DiskClose(handle);
  return rc != ResultOk ? rc : removed;
}

ResultCode StreamSeek(Store* store, int64_t offset, uint32_t whence, uint32_t* newPosition) {
  if (store->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(store->state, store->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    int64_t position = MemoryStreamSeek(stream, offset, whence);
    if (position < 0 || position > UINT32_MAX) return ResultSeekFailed;
    if (newPosition != nullptr) *newPosition = static_cast<uint32_t>(position);
    return ResultOk;
  }
  return DiskSeek(store->streamHandle, offset, whence, newPosition);
}

uint32_t StreamEndLimit(const Store* store) {
  return store->isMemory ? static_cast<uint32_t>(MemoryStreamLimit) : UINT32_MAX;
}

ResultCode StreamReadBytes(Store* store, uint8_t* buffer, uint32_t count, uint32_t* got) {
  uint32_t n = 0;
  if (store->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(store->state, store->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    n = MemoryStreamRead(stream, buffer, count);
  } else {
    ResultCode rc = DiskRead(store->streamHandle, buffer, count, &n);
    if (rc != ResultOk) return rc;
  }
  if (got != nullptr) {
    *got = n;
    return ResultOk;
  }
  return n == count ? ResultOk : ResultReadFailed;
}

ResultCode StreamWriteBytes(Store* store, const uint8_t* buffer, uint32_t count) {
  if (store->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(store->state, store->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    return MemoryStreamWrite(stream, buffer, count);
  }
  return DiskWrite(store->streamHandle, buffer, count);
}

ResultCode StreamTruncate(Store* store, uint32_t length) {
  if (store->isMemory) {
    MemoryStream* stream = nullptr;
    ResultCode rc = MemoryStreamResolve(store->state, store->streamHandle, &stream);
    if (rc != ResultOk) return rc;
    MemoryStreamTruncate(stream, length);
    return ResultOk;
  }
  return DiskTruncate(store->streamHandle, length);
}

}  // namespace varnfile
