// The exports that touch no file.
#include "base/result_code.h"

extern "C" {

VARNFILE_API uint32_t VARNFileVersion(void) { return VARNFILE_VERSION; }

VARNFILE_API uint32_t VARNFileRegister(void) { return 1; }

VARNFILE_API void VARNFileUnRegister(void) {}

// Files are created and opened by name only.
VARNFILE_API uint16_t VARNFileCreateFromFileHandle(uint32_t, uint32_t, uint32_t, uint32_t) {
  return varnfile::ResultNotTransactionFile;
}

}  // extern "C"
