// Bringing the OpenFile behind a handle into use and out of it again: the
// cache defaults, the store's open and close, and the last record that new
// items are linked behind.
#ifndef VARNFILE_API_OPEN_FILE_OBJECT_H_
#define VARNFILE_API_OPEN_FILE_OBJECT_H_

#include <cstdint>

#include "api/handle_table.h"
#include "base/result_code.h"
#include "store/store.h"

namespace varnfile {

// Sets the cache defaults (16 items, 65536 bytes), opens the store in mode
// (see StoreOpen for the meaning of the name arguments; method is the
// method of a new file) and finds the file's last record. On any failure
// the file is closed again, discarding it for the create and delete modes
// so that a half-made file does not stay, and the failing step's code is
// returned. REQUIRES: the lock is held; file is zeroed or closed.
ResultCode OpenFileObject(LibraryState* state, OpenFile* file, const char* extension,
                          const char* prefix, const char* name, NameSequenceProc proc,
                          uint32_t procParam, OpenMode mode, uint32_t method);

// Writes back the cached items and closes the store, committing (discard 0)
// or removing the file (discard 1); then frees the cache and clears the
// cache fields and the store. Returns the flush's code if it failed, else
// the store close's. A file that is not open is only cleared (0).
ResultCode CloseFileObject(OpenFile* file, bool discard);

}  // namespace varnfile

#endif  // VARNFILE_API_OPEN_FILE_OBJECT_H_
