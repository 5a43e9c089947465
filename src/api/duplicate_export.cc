// VARNFileDuplicate: the source handle is resolved first, then the target,
// both under the (re-entrant) library lock.
#include "api/export_shape.h"
#include "store/duplicate.h"

using varnfile::OpenFile;
using varnfile::ResultCode;
using varnfile::WithOpenFile;

extern "C" {

VARNFILE_API uint16_t VARNFileDuplicate(uint32_t targetHandle, uint32_t sourceHandle) {
  return WithOpenFile(true, sourceHandle, [&](OpenFile* source) -> ResultCode {
    return WithOpenFile(true, targetHandle, [&](OpenFile* target) -> ResultCode {
      return varnfile::DuplicateItems(target, source);
    });
  });
}

}  // extern "C"
