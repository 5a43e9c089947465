// The exports that read and move the cursor of an open file.
#include "api/export_shape.h"
#include "store/navigation.h"
#include "store/store.h"

using varnfile::OpenFile;
using varnfile::ResultCode;
using varnfile::WithOpenFile;

extern "C" {

VARNFILE_API uint16_t VARNFileGetPosition(uint32_t handle, uint32_t* position) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    if (position != nullptr) *position = file->position;
    return varnfile::ResultOk;
  });
}

// Any value from 174 on is taken as it is; smaller ones mean the first item.
VARNFILE_API uint16_t VARNFileSetPosition(uint32_t handle, uint32_t position) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    file->position = position < varnfile::FirstItemPosition ? varnfile::FirstItemPosition : position;
    return varnfile::ResultOk;
  });
}

VARNFILE_API uint16_t VARNFileSeekToEnd(uint32_t handle, uint32_t* position) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    uint32_t end = 0;
    varnfile::StoreEndOfData(&file->store, &end);
    file->position = end;
    if (position != nullptr) *position = end;
    return varnfile::ResultOk;
  });
}

VARNFILE_API uint16_t VARNFileSkipNext(uint32_t handle) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    return LocateItem(file, varnfile::StepForward, file->position, &file->position, nullptr);
  });
}

VARNFILE_API uint16_t VARNFileSkipPrev(uint32_t handle) {
  return WithOpenFile(true, handle, [&](OpenFile* file) -> ResultCode {
    return LocateItem(file, varnfile::StepBack, file->position, &file->position, nullptr);
  });
}

}  // extern "C"
