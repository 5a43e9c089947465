// VARNFileSetDateTimeOptions: the clock that stamps files from now on.
#include "api/handle_table.h"
#include "io/clock.h"

extern "C" {

// Never fails; any mode is stored, and param only for the server clock.
VARNFILE_API uint16_t VARNFileSetDateTimeOptions(uint16_t mode, uint32_t param) {
  varnfile::LibraryState* state = varnfile::LockLibrary();
  varnfile::SetDateTimeOptions(&state->io, mode, param);
  varnfile::UnlockLibrary();
  return varnfile::ResultOk;
}

}  // extern "C"
