// Run-time loading of an optional shared library and one of its symbols.
#ifndef VARNFILE_PLATFORM_DYNAMIC_LIBRARY_H_
#define VARNFILE_PLATFORM_DYNAMIC_LIBRARY_H_

namespace varnfile {

// Loads the library through the loader's normal search (dlopen with
// RTLD_NOW | RTLD_LOCAL, or LoadLibraryA with no error box); null when it
// cannot be loaded.
void* PlatformLoadLibrary(const char* name);
// The address of symbol in library, or null.
void* PlatformFindSymbol(void* library, const char* symbol);
void PlatformFreeLibrary(void* library);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_DYNAMIC_LIBRARY_H_
