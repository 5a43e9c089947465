// The library lock and the open-file table. Handle n names slot n - 1; the
// lowest free number is reused first; the table grows by 4 slots and is
// freed when its last file closes.
#ifndef VARNFILE_API_HANDLE_TABLE_H_
#define VARNFILE_API_HANDLE_TABLE_H_

#include <cstdint>

#include "base/result_code.h"
#include "io/io_state.h"
#include "store/open_file.h"

namespace varnfile {

// The one library-wide record, all zero at load, guarded by the lock.
struct LibraryState {
  OpenFile** files;      // fileCapacity slots; null when no file is open
  uint32_t fileCapacity;  // a multiple of 4
  uint32_t fileCount;
  IoState io;  // memory streams and date/time options
};

// Enters the re-entrant library lock and returns the one state. Never fails.
LibraryState* LockLibrary();
void UnlockLibrary();

// Takes the lock; on success returns 0 with the lock still held and a zeroed
// OpenFile in the new slot (*fileOut). The handle stays invalid to every
// export until that file's isOpen is set, so a callback run while it is
// being opened cannot reach it. On failure releases the lock and returns 272.
ResultCode AllocateHandle(LibraryState** stateOut, uint32_t* handleOut, OpenFile** fileOut);
// Frees the OpenFile of a valid handle, empties its slot and releases the
// lock. REQUIRES: the lock is held and the handle is valid.
void ReleaseHandle(LibraryState* state, uint32_t handle);
// 0 and *out for the handle of an open file, else 273 (also while the file
// is still being opened or created). REQUIRES: the lock is held. Inline,
// since every export on a handle starts with it.
inline ResultCode ResolveHandle(LibraryState* state, uint32_t handle, OpenFile** out) {
  uint32_t index = handle - 1;
  if (index >= state->fileCapacity) return ResultInvalidHandle;
  OpenFile* file = state->files[index];
  if (file == nullptr || !file->isOpen) return ResultInvalidHandle;
  if (out != nullptr) *out = file;
  return ResultOk;
}

}  // namespace varnfile

#endif  // VARNFILE_API_HANDLE_TABLE_H_
