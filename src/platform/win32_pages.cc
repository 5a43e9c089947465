// Page blocks on Windows: committed virtual memory of their own (large pages
// need a privilege that processes seldom hold, so these are small pages).
#include "platform/pages.h"

#include <windows.h>

namespace varnfile {

void* PlatformMapPageBlock() {
  return VirtualAlloc(nullptr, PageBlockBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void PlatformUnmapPageBlock(void* block) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace varnfile
