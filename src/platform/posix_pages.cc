// Page blocks on POSIX systems: anonymous mappings, aligned to their size
// and marked for transparent huge pages where the system has them (the
// kernel backs only aligned 2 MiB ranges with a huge page; without the mark
// or the feature the block is made of small pages, as any mapping).
#include "platform/pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace varnfile {

void* PlatformMapPageBlock() {
  // Map one block more and trim both ends, so that the block starts on a
  // boundary of its size.
  const size_t span = 2 * PageBlockBytes;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + PageBlockBytes - 1) & ~uintptr_t{PageBlockBytes - 1};
  const size_t head = aligned - start;
  if (head != 0) munmap(raw, head);
  munmap(reinterpret_cast<void*>(aligned + PageBlockBytes), span - head - PageBlockBytes);
#ifdef MADV_HUGEPAGE
  // A hint: where it fails, the block keeps small pages.
  madvise(reinterpret_cast<void*>(aligned), PageBlockBytes, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void PlatformUnmapPageBlock(void* block) {
  if (block != nullptr) munmap(block, PageBlockBytes);
}

}  // namespace varnfile
