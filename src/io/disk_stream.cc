#include "io/disk_stream.h"

#include <cerrno>

#include "io/stream.h"
#include "platform/file.h"

namespace varnfile {

ResultCode OpenDiskFile(const char* name, StreamAccess access, int32_t* descriptor) {
  // Each access kind fails with its own code, whatever the reason.
  FileOpenKind kind;
  ResultCode failure;
  switch (access) {
    case StreamAccess::StreamRead:
      kind = FileOpenRead;
      failure = ResultOpenFailed;
      break;
    case StreamAccess::StreamUpdate:
      kind = FileOpenUpdate;
      failure = ResultOpenFailed;
      break;
    case StreamAccess::StreamCreate:
      kind = FileOpenCreate;
      failure = ResultCreateFailed;
      break;
    default:
      return ResultOpenFailed;
  }
  if (name == nullptr || name[0] == '\0') return failure;
  int fd = -1;
  if (FileOpen(name, kind, &fd) != 0) return failure;
  *descriptor = fd;
  return ResultOk;
}

ResultCode CreateNewDiskFile(const char* name, int32_t* descriptor, bool* exists) {
  *exists = false;
  if (name == nullptr || name[0] == '\0') return ResultCreateFailed;
  int fd = -1;
  int error = FileCreateExclusive(name, &fd);
  if (error != 0) {
    *exists = error == EEXIST;
    return ResultCreateFailed;
  }
  *descriptor = fd;
  return ResultOk;
}

ResultCode RemoveFileByName(const char* name) {
  if (name == nullptr || name[0] == '\0') return ResultRemoveFailed;
  return FileRemove(name) == 0 ? ResultOk : ResultRemoveFailed;
}

ResultCode DiskRemoveHeld(int32_t descriptor, const char* name) {
  if (name == nullptr || name[0] == '\0') return ResultRemoveFailed;
  return FileRemoveHeld(descriptor, name) == 0 ? ResultOk : ResultRemoveFailed;
}

ResultCode DiskSeek(int32_t descriptor, int64_t offset, uint32_t whence, uint32_t* newPosition) {
  int64_t position = 0;
  if (FileSeek(descriptor, offset, static_cast<int>(whence), &position) != 0) return ResultSeekFailed;
  // Transaction files are addressed with 32-bit positions.
  if (position < 0 || position > UINT32_MAX) return ResultSeekFailed;
  if (newPosition != nullptr) *newPosition = static_cast<uint32_t>(position);
  return ResultOk;
}

ResultCode DiskRead(int32_t descriptor, uint8_t* buffer, uint32_t count, uint32_t* got) {
  size_t n = 0;
  if (FileRead(descriptor, buffer, count, &n) != 0) return ResultReadFailed;
  *got = static_cast<uint32_t>(n);
  return ResultOk;
}

ResultCode DiskReadAt(int32_t descriptor, uint8_t* buffer, uint32_t count, uint32_t position,
                      uint32_t* got) {
  size_t n = 0;
  if (FileReadAt(descriptor, buffer, count, position, &n) != 0) return ResultReadFailed;
  *got = static_cast<uint32_t>(n);
  return ResultOk;
}

ResultCode DiskWrite(int32_t descriptor, const uint8_t* buffer, uint32_t count) {
  return FileWrite(descriptor, buffer, count) == 0 ? ResultOk : ResultWriteFailed;
}

ResultCode DiskCheckLinked(int32_t descriptor) {
  bool linked = false;
  return FileLinked(descriptor, &linked) == 0 && linked ? ResultOk : ResultWriteFailed;
}

ResultCode DiskTruncate(int32_t descriptor, uint32_t length) {
  return FileTruncate(descriptor, length) == 0 ? ResultOk : ResultWriteFailed;
}

ResultCode DiskClose(int32_t descriptor) {
  return FileClose(descriptor) == 0 ? ResultOk : ResultWriteFailed;
}

}  // namespace varnfile
