// The exports that read, append, replace and delete items. Reads pass over
// deleted items and move the cursor; changes act on the record at the cursor
// exactly and never move it; appends always go to the end of data.
#include "api/export_shape.h"
#include "store/item_cache.h"
#include "store/item_crc.h"
#include "store/navigation.h"
#include "store/store.h"

namespace varnfile {
namespace {

bool IsReserved(uint16_t commandId) { return commandId >= FirstReservedCommand; }

ItemHeader MakeHeader(uint16_t commandId, uint16_t extraId, uint32_t extraValue, uint16_t length,
                      const uint8_t* data) {
  ItemHeader header{};
  header.commandId = commandId;
  header.extraId = extraId;
  header.extraValue = extraValue;
  header.length = length;
  header.crc = ItemCrc(data, length);
  return header;
}

ResultCode ReadIdentifiers(OpenFile* file, uint16_t* commandId, uint16_t* extraId,
                           uint32_t* extraValue, uint16_t* length) {
  ItemHeader header;
  ResultCode rc = LocateItem(file, StepToEnd, file->position, &file->position, &header);
  if (rc != ResultOk) return rc;
  *commandId = header.commandId;
  *extraId = header.extraId;
  *extraValue = header.extraValue;
  if (length != nullptr) *length = header.length;
  return ResultOk;
}

ResultCode ReadWholeItem(OpenFile* file, uint16_t* commandId, uint16_t* extraId,
                         uint32_t* extraValue, uint16_t* length, uint8_t* buffer) {
  uint16_t capacity = *length;
  ItemHeader header;
  ResultCode rc = LocateItem(file, StepToEnd, file->position, &file->position, &header);
  if (rc != ResultOk) return rc;
  *commandId = header.commandId;
  *extraId = header.extraId;
  *extraValue = header.extraValue;
  *length = header.length;
  // Too small a buffer leaves the cursor on the item for a retry.
  if (header.length > capacity) return ResultBufferTooSmall;
  // The located item is the most recently cached one: its data and the
  // position behind it come in one look-up.
  uint32_t next = 0;
  rc = LoadItem(file, file->position, nullptr, nullptr, &next, header.length > 0 ? buffer : nullptr);
  if (rc != ResultOk) return rc;
  file->position = next;
  // Damaged data is reported, but the cursor has moved on all the same and
  // the bytes stay in the caller's buffer.
  if (header.crc != 0 && ItemCrc(buffer, header.length) != header.crc) return ResultCrcMismatch;
  return ResultOk;
}

ResultCode AppendItem(OpenFile* file, uint16_t commandId, uint16_t extraId, uint32_t extraValue,
                      uint16_t length, const uint8_t* data) {
  // Only the end marker among the library's own identifiers may be added.
  if (IsReserved(commandId) && commandId != EndMarkerCommand) return ResultReservedId;
  uint32_t end = 0;
  StoreEndOfData(&file->store, &end);
  ItemHeader header = MakeHeader(commandId, extraId, extraValue, length, data);
  return WriteItemAt(file, end, &header, data);
}

ResultCode ReplaceItem(OpenFile* file, uint16_t commandId, uint16_t extraId, uint32_t extraValue,
                       uint16_t length, const uint8_t* data) {
  if (IsReserved(commandId)) return ResultReservedId;
  ItemHeader header = MakeHeader(commandId, extraId, extraValue, length, data);
  return WriteItemAt(file, file->position, &header, data);
}

ResultCode MarkDeleted(OpenFile* file) {
  ItemHeader header;
  ResultCode rc = ReadItemAt(file, file->position, &header, nullptr);
  if (rc != ResultOk) return rc;
  if (header.commandId == EndMarkerCommand) return ResultEndOfFile;
  if (IsReserved(header.commandId)) return ResultReservedId;
  // Data, length and crc stay: an update without data revives the item.
  header.commandId = DeletedCommand;
  return WriteItemAt(file, file->position, &header, nullptr);
}

}  // namespace
}  // namespace varnfile

using varnfile::OpenFile;
using varnfile::ResultCode;
using varnfile::WithOpenFile;

extern "C" {

VARNFILE_API uint16_t VARNFileReadCmdIDEx(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                          uint32_t* extraValue, uint16_t* length) {
  bool valid = commandId != nullptr && extraId != nullptr && extraValue != nullptr;
  return WithOpenFile(valid, handle, [&](OpenFile* file) -> ResultCode {
    return varnfile::ReadIdentifiers(file, commandId, extraId, extraValue, length);
  });
}

VARNFILE_API uint16_t VARNFileReadCmdID(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                        uint32_t* extraValue) {
  return VARNFileReadCmdIDEx(handle, commandId, extraId, extraValue, nullptr);
}

VARNFILE_API uint16_t VARNFileReadItem(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                       uint32_t* extraValue, uint16_t* length, uint8_t* buffer) {
  bool valid = commandId != nullptr && extraId != nullptr && extraValue != nullptr &&
               length != nullptr && (buffer != nullptr || *length == 0);
  return WithOpenFile(valid, handle, [&](OpenFile* file) -> ResultCode {
    return varnfile::ReadWholeItem(file, commandId, extraId, extraValue, length, buffer);
  });
}

VARNFILE_API uint16_t VARNFileAddItem(uint32_t handle, uint16_t commandId, uint16_t extraId,
                                      uint32_t extraValue, uint16_t length, const uint8_t* data) {
  bool valid = data != nullptr || length == 0;
  return WithOpenFile(valid, handle, [&](OpenFile* file) -> ResultCode {
    return varnfile::AppendItem(file, commandId, extraId, extraValue, length, data);
  });
}

VARNFILE_API uint16_t VARNFileUpdateItem(uint32_t handle, uint16_t commandId, uint16_t extraId,
                                         uint32_t extraValue, uint16_t length,
                                         const uint8_t* data) {
  bool valid = data != nullptr || length == 0;
  return WithOpenFile(valid, handle, [&](OpenFile* file) -> ResultCode {
    return varnfile::ReplaceItem(file, commandId, extraId, extraValue, length, data);
  });
}

VARNFILE_API uint16_t VARNFileDeleteItem(uint32_t handle) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    return varnfile::MarkDeleted(file);
  });
}

}  // extern "C"
