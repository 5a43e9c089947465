#include "store/navigation.h"

#include "store/item_cache.h"
#include "store/store.h"

namespace varnfile {

ResultCode StepPosition(OpenFile* file, StepDirection dir, uint32_t from, uint32_t* out) {
  if (dir == StepToEnd) return StoreEndOfData(&file->store, out);
  if (from < FirstItemPosition) return ResultBadPosition;
  if (from == FirstItemPosition && dir == StepBack) return ResultNoPrevious;
  if (from > FirstItemPosition && from > file->lastItemPosition) {
    // At the end of data (or in an empty file): nothing ahead, and behind
    // lies the last record if there is one.
    if (dir == StepForward) return ResultEndOfFile;
    if (file->lastItemPosition < FirstItemPosition) return ResultNoPrevious;
    if (out != nullptr) *out = file->lastItemPosition;
    return ResultOk;
  }
  uint32_t previous = 0;
  uint32_t next = 0;
  ResultCode rc = LoadItem(file, from, nullptr, &previous, &next, nullptr);
  if (rc != ResultOk) return rc;
  // A record read past a damaged trailer has no way back.
  if (dir == StepBack && previous < FirstItemPosition) return ResultReadFailed;
  if (out != nullptr) *out = dir == StepForward ? next : previous;
  return ResultOk;
}

ResultCode LocateItem(OpenFile* file, StepDirection dir, uint32_t from, uint32_t* positionOut,
                      ItemHeader* headerOut) {
  // Every step moves strictly forwards or strictly backwards (the record
  // layer refuses links that do not), so the walk ends.
  uint32_t p = from;
  for (;;) {
    if (dir != StepToEnd) {
      ResultCode rc = StepPosition(file, dir, p, &p);
      if (rc != ResultOk) return rc;
    }
    if (positionOut != nullptr) *positionOut = p;
    ItemHeader header;
    ResultCode rc = ReadItemAt(file, p, &header, nullptr);
    if (rc != ResultOk) return rc;
    if (header.commandId == EndMarkerCommand) return ResultEndOfFile;
    if (header.commandId == DeletedCommand) {
      if (dir == StepToEnd) dir = StepForward;
      continue;
    }
    if (headerOut != nullptr) *headerOut = header;
    return ResultOk;
  }
}

}  // namespace varnfile
