#include "store/duplicate.h"

#include "base/memory.h"
#include "store/item_cache.h"
#include "store/item_crc.h"
#include "store/navigation.h"

namespace varnfile {

namespace {

constexpr uint32_t CopyBufferGranule = 256;

ResultCode CopyRecords(OpenFile* target, OpenFile* source, uint8_t** buffer) {
  uint32_t capacity = 0;
  uint32_t s = FirstItemPosition;
  uint32_t t = FirstItemPosition;
  for (;;) {
    ItemHeader header;
    ResultCode rc = ReadItemAt(source, s, &header, nullptr);
    if (rc != ResultOk) return rc;
    if (header.length > capacity) {
      MemFree(*buffer);
      capacity = 0;
      uint32_t size = (header.length + CopyBufferGranule - 1) / CopyBufferGranule * CopyBufferGranule;
      *buffer = static_cast<uint8_t*>(MemAlloc(size));
      if (*buffer == nullptr) return ResultNoMemory;
      capacity = size;
    }
    rc = ReadItemAt(source, s, &header, *buffer);
    if (rc != ResultOk) return rc;
    if (header.crc != 0 && ItemCrc(*buffer, header.length) != header.crc) return ResultCrcMismatch;
    rc = WriteItemAt(target, t, &header, *buffer);
    if (rc != ResultOk) return rc;
    rc = StepPosition(source, StepForward, s, &s);
    if (rc != ResultOk) return rc;
    rc = StepPosition(target, StepForward, t, &t);
    if (rc != ResultOk) return rc;
    target->position = t;
  }
}

}  // namespace

ResultCode DuplicateItems(OpenFile* target, OpenFile* source) {
  uint8_t* buffer = nullptr;
  ResultCode rc = CopyRecords(target, source, &buffer);
  MemFree(buffer);
  // The source has no further record: everything is copied.
  return rc == ResultEndOfFile ? ResultOk : rc;
}

}  // namespace varnfile
