// The common shape of every export that works on an open handle: the
// caller's argument checks run before the lock (260), then the lock is
// taken, the handle resolved (273), the work done and the lock released.
// The work's code comes back unchanged.
#ifndef VARNFILE_API_EXPORT_SHAPE_H_
#define VARNFILE_API_EXPORT_SHAPE_H_

#include "api/handle_table.h"

namespace varnfile {

// Runs work(OpenFile*) -> ResultCode under the lock for a valid handle.
// argumentsValid is the export's own check of what needs no state.
template <typename Work>
ResultCode WithOpenFile(bool argumentsValid, uint32_t handle, Work work) {
  if (!argumentsValid) return ResultInvalidArgument;
  LibraryState* state = LockLibrary();
  OpenFile* file = nullptr;
  ResultCode rc = ResolveHandle(state, handle, &file);
  if (rc == ResultOk) rc = work(file);
  UnlockLibrary();
  return rc;
}

}  // namespace varnfile

#endif  // VARNFILE_API_EXPORT_SHAPE_H_
