#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace varnfile {

void* PlatformLoadLibrary(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* PlatformFindSymbol(void* library, const char* symbol) { return dlsym(library, symbol); }

void PlatformFreeLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace varnfile
