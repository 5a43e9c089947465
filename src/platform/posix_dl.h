// Run-time loading of an optional shared library and one of its symbols.
#ifndef VARNFILE_PLATFORM_POSIX_DL_H_
#define VARNFILE_PLATFORM_POSIX_DL_H_

namespace varnfile {

// Loads the library through the loader's normal search (RTLD_NOW,
// RTLD_LOCAL); null when it cannot be loaded.
void* PlatformLoadLibrary(const char* name);
// The address of symbol in library, or null.
void* PlatformFindSymbol(void* library, const char* symbol);
void PlatformFreeLibrary(void* library);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_POSIX_DL_H_
