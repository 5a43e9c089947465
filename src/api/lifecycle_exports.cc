// The exports that create, open, close, abandon and delete files.
#include "api/handle_table.h"
#include "api/open_file_object.h"
#include "io/paths.h"
#include "io/unique_name.h"
#include "store/block_codec.h"

namespace varnfile {
namespace {

// Every file the exports create starts out chained DEFLATE.
constexpr uint32_t NewFileMethod = MethodChainedDeflate;

// The shape shared by create and open: a new handle goes straight into the
// caller's variable and the lock stays held until the file is open or the
// handle is freed again (the variable then reads 0).
ResultCode OpenIntoNewHandle(uint32_t* handle, const char* extension, const char* prefix,
                             const char* name, NameSequenceProc proc, uint32_t procParam,
                             OpenMode mode) {
  LibraryState* state = nullptr;
  OpenFile* file = nullptr;
  ResultCode rc = AllocateHandle(&state, handle, &file);
  if (rc != ResultOk) return rc;
  uint32_t newHandle = *handle;
  rc = OpenFileObject(state, file, extension, prefix, name, proc, procParam, mode, NewFileMethod);
  if (rc != ResultOk) {
    *handle = 0;
    ReleaseHandle(state, newHandle);
    return rc;
  }
  file->position = FirstItemPosition;
  UnlockLibrary();
  return ResultOk;
}

ResultCode EndHandle(uint32_t handle, bool discard) {
  LibraryState* state = LockLibrary();
  OpenFile* file = nullptr;
  ResultCode rc = ResolveHandle(state, handle, &file);
  if (rc != ResultOk) {
    UnlockLibrary();
    return rc;
  }
  rc = CloseFileObject(file, discard);
  // The handle is gone even when the close failed.
  ReleaseHandle(state, handle);
  return rc;
}

}  // namespace
}  // namespace varnfile

using namespace varnfile;

extern "C" {

VARNFILE_API uint16_t VARNFileCreateEx(uint32_t* handle, uint16_t nameMode, const char* name,
                                       const char* extension, const char* prefix,
                                       NameSequenceProc proc, uint32_t procParam) {
  // Arguments refused here leave *handle as it was and the disk untouched.
  if (handle == nullptr) return ResultInvalidArgument;
  if (nameMode == VARNFILE_NAME_UNIQUE) {
    ResultCode rc = CheckUniqueNameLimits(name, extension, prefix);
    if (rc != ResultOk) return rc;
    return OpenIntoNewHandle(handle, extension, prefix, name, proc, procParam,
                             OpenMode::CreateUnique);
  }
  // An exact name is required; the other arguments only shape invented names.
  if (name == nullptr || PathTooLong(name)) return ResultInvalidArgument;
  return OpenIntoNewHandle(handle, nullptr, nullptr, name, nullptr, 0, OpenMode::CreateNamed);
}

VARNFILE_API uint16_t VARNFileCreate(uint32_t* handle, const char* directory, const char* extension) {
  return VARNFileCreateEx(handle, VARNFILE_NAME_UNIQUE, directory, extension, nullptr, nullptr, 0);
}

VARNFILE_API uint16_t VARNFileOpenEx(uint32_t* handle, uint16_t access, const char* name, uint32_t) {
  if (handle == nullptr || name == nullptr || PathTooLong(name)) return ResultInvalidArgument;
  OpenMode mode =
      access == VARNFILE_ACCESS_READ_WRITE ? OpenMode::OpenReadWrite : OpenMode::OpenReadOnly;
  return OpenIntoNewHandle(handle, nullptr, nullptr, name, nullptr, 0, mode);
}

VARNFILE_API uint16_t VARNFileOpen(uint32_t* handle, const char* name, uint32_t ignored) {
  return VARNFileOpenEx(handle, VARNFILE_ACCESS_READ_WRITE, name, ignored);
}

VARNFILE_API uint16_t VARNFileClose(uint32_t handle) { return EndHandle(handle, false); }

VARNFILE_API uint16_t VARNFileAbort(uint32_t handle) { return EndHandle(handle, true); }

// Removes a disk file through a scratch OpenFile: the delete mode opens
// nothing and removes the file on its failure path. "Not opened" (274) is
// the expected outcome and means done; whether a file was there to remove,
// or could be removed, is not reported.
VARNFILE_API uint16_t VARNFileDelete(const char* name, uint32_t) {
  LibraryState* state = nullptr;
  uint32_t scratch = 0;
  OpenFile* file = nullptr;
  ResultCode rc = AllocateHandle(&state, &scratch, &file);
  if (rc != ResultOk) return rc;
  rc = OpenFileObject(state, file, nullptr, nullptr, name, nullptr, 0, OpenMode::DeleteByName,
                      NewFileMethod);
  if (rc == ResultOk) rc = CloseFileObject(file, false);  // never expected: nothing is opened
  if (rc == ResultOpenFailed) rc = ResultOk;
  ReleaseHandle(state, scratch);
  return rc;
}

}  // extern "C"
