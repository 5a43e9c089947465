// The exports that read and change an open file's properties: compression
// method, cache and buffer parameters, name, and the header fields. Every
// header change is made on a private copy that goes back to the store only
// once nothing can fail any more.
#include <cstring>

#include "api/export_shape.h"
#include "store/block_codec.h"
#include "io/clock.h"
#include "store/buffered_io.h"
#include "store/store.h"

namespace varnfile {
namespace {

constexpr uint16_t HighestMethod = MethodDeflate;
constexpr uint32_t MaxBufferSize = 0x7FFFFFFF;
constexpr uint32_t MaxDescriptionLength = HeaderDescriptionSize - 1;  // 64

FileHeader HeaderCopy(OpenFile* file) {
  FileHeader copy;
  StoreGetHeader(&file->store, &copy);
  return copy;
}

// Copies text and its terminator to buffer when both fit in size; 258
// otherwise, with nothing copied. A null buffer asks for nothing.
ResultCode CopyOut(const char* text, size_t length, char* buffer, uint16_t size) {
  if (buffer == nullptr) return ResultOk;
  if (length + 1 > size) return ResultBufferTooSmall;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return ResultOk;
}

size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace
}  // namespace varnfile

using namespace varnfile;

extern "C" {

VARNFILE_API uint16_t VARNFileSetCompression(uint32_t handle, uint16_t method) {
  return WithOpenFile(method <= HighestMethod, handle, [method](OpenFile* file) {
    uint32_t end = 0;
    ResultCode rc = StoreEndOfData(&file->store, &end);
    if (rc != ResultOk) return rc;
    // Items already stored keep the method they were written with.
    if (end > FirstItemPosition) return ResultMethodLocked;
    rc = SetCompressionMethod(&file->store, method);
    if (rc != ResultOk) return rc;
    file->fileMethod = method;
    return ResultOk;
  });
}

VARNFILE_API uint16_t VARNFileSetParameters(uint32_t handle, uint16_t maxCachedItems,
                                            uint32_t maxCachedBytes, uint32_t readBufferSize,
                                            uint32_t writeBufferSize) {
  return WithOpenFile(true, handle, [=](OpenFile* file) {
    if (readBufferSize > MaxBufferSize || writeBufferSize > MaxBufferSize) {
      return ResultInvalidArgument;
    }
    // The cache limits take effect even if the buffers cannot be changed:
    // they only govern what the cache keeps from the next item on.
    file->maxCachedBytes = maxCachedBytes;
    file->maxCachedItems = maxCachedItems == 0 ? 1 : maxCachedItems;
    return StoreSetParameters(&file->store, readBufferSize, writeBufferSize);
  });
}

VARNFILE_API uint16_t VARNFileGetFileName(uint32_t handle, char* buffer, uint16_t size) {
  return WithOpenFile(true, handle, [=](OpenFile* file) {
    const char* name = file->store.fileName;
    return CopyOut(name, BoundedLength(name, sizeof file->store.fileName), buffer, size);
  });
}

VARNFILE_API uint16_t VARNFileGetFlags(uint32_t handle, uint32_t* flags) {
  return WithOpenFile(true, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    if (flags != nullptr) *flags = LoadU32(copy.bytes + HeaderFlagsOffset);
    return ResultOk;
  });
}

VARNFILE_API uint16_t VARNFileSetFlags(uint32_t handle, uint32_t flags) {
  return WithOpenFile(true, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    StoreU32(copy.bytes + HeaderFlagsOffset, flags);
    return StorePutHeader(&file->store, &copy);
  });
}

// A description written whole through VARNFileWriteHeader may lack its
// terminator; it then ends with the field.
VARNFILE_API uint16_t VARNFileGetDescription(uint32_t handle, char* buffer, uint16_t size) {
  return WithOpenFile(true, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    const char* text = reinterpret_cast<const char*>(copy.bytes + HeaderDescriptionOffset);
    return CopyOut(text, BoundedLength(text, HeaderDescriptionSize), buffer, size);
  });
}

VARNFILE_API uint16_t VARNFileSetDescription(uint32_t handle, const char* text) {
  size_t length = text != nullptr ? BoundedLength(text, MaxDescriptionLength + 1) : 0;
  bool valid = text != nullptr && length <= MaxDescriptionLength;
  return WithOpenFile(valid, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    // Bytes behind the new terminator keep what the old text left there.
    std::memcpy(copy.bytes + HeaderDescriptionOffset, text, length + 1);
    return StorePutHeader(&file->store, &copy);
  });
}

VARNFILE_API uint16_t VARNFileResetAging(uint32_t handle) {
  return WithOpenFile(true, handle, [](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    DateStamp date{};
    TimeStamp time{};
    ReadClock(file->store.state, &date, &time);
    uint8_t* stamp = copy.bytes + HeaderStampDateOffset;
    stamp[0] = date.month;
    stamp[1] = date.day;
    stamp[2] = date.year;
    stamp = copy.bytes + HeaderStampTimeOffset;
    stamp[0] = time.hour;
    stamp[1] = time.minute;
    stamp[2] = time.second;
    return StorePutHeader(&file->store, &copy);
  });
}

VARNFILE_API uint16_t VARNFileReadHeader(uint32_t handle, uint8_t* buffer, uint16_t size) {
  return WithOpenFile(buffer != nullptr && size != 0, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    std::memcpy(buffer, copy.bytes, size < FileHeaderSize ? size : FileHeaderSize);
    return ResultOk;
  });
}

// The caller may change any field, magic and version included; a close
// puts back a valid version, the method in force and the closed mark.
VARNFILE_API uint16_t VARNFileWriteHeader(uint32_t handle, const uint8_t* buffer, uint16_t size) {
  return WithOpenFile(buffer != nullptr && size != 0, handle, [=](OpenFile* file) {
    FileHeader copy = HeaderCopy(file);
    std::memcpy(copy.bytes, buffer, size < FileHeaderSize ? size : FileHeaderSize);
    return StorePutHeader(&file->store, &copy);
  });
}

}  // extern "C"
