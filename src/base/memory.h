// Every allocation of the library goes through this pair, so that a test can
// make the n-th allocation fail and check that each failure is reported as
// out of memory and leaks nothing. Nothing here throws.
#ifndef VARNFILE_BASE_MEMORY_H_
#define VARNFILE_BASE_MEMORY_H_

#include <cstddef>
#include <cstdint>

namespace varnfile {

// Returns size bytes, or null when memory runs out (or a test made this
// allocation fail). MemAllocZero returns them zero-filled.
void* MemAlloc(size_t size);
void* MemAllocZero(size_t size);
// Releases what MemAlloc returned; null is ignored.
void MemFree(void* block);
// Counts an allocation made elsewhere (a page block from the system) as this
// pair counts its own; false when the test seam makes it fail.
bool MemAllocAllowed();

// Test seam. failAt = n makes the n-th allocation from now fail (1 = the
// next one); 0 turns failures off. With sticky set, every allocation from
// the n-th on fails. MemAllocCount counts allocations attempted since the
// last MemSetFailure call.
void MemSetFailure(uint64_t failAt, bool sticky = false);
uint64_t MemAllocCount();

}  // namespace varnfile

#endif  // VARNFILE_BASE_MEMORY_H_
