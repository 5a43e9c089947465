// Run-time loading on Windows: LoadLibraryA through the system's search
// order, with the error box for a missing file switched off meanwhile.
#include "platform/dynamic_library.h"

#include <windows.h>

#include <cstdint>

namespace varnfile {

void* PlatformLoadLibrary(const char* name) {
  UINT previous = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryA(name);
  SetErrorMode(previous);
  // Handles below 32 were error numbers once; none of them is a module.
  if (reinterpret_cast<uintptr_t>(module) < 32) return nullptr;
  return reinterpret_cast<void*>(module);
}

void* PlatformFindSymbol(void* library, const char* symbol) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), symbol);
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address));
}

void PlatformFreeLibrary(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace varnfile
