#include "base/memory.h"

#include <atomic>
#include <cstdlib>

namespace varnfile {

namespace {

std::atomic<uint64_t> allocCount{0};
std::atomic<uint64_t> failAtCount{0};
std::atomic<bool> failSticky{false};

// Allocations happen under the library lock (or on one thread, in the
// tests that drive a layer directly), so the count is kept with a plain load
// and store: no locked instruction on every allocation of the read paths.
bool ShouldFail() {
  uint64_t n = allocCount.load(std::memory_order_relaxed) + 1;
  allocCount.store(n, std::memory_order_relaxed);
  uint64_t at = failAtCount.load(std::memory_order_relaxed);
  if (at == 0) return false;
  return failSticky.load(std::memory_order_relaxed) ? n >= at : n == at;
}

}  // namespace

void* MemAlloc(size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* MemAllocZero(size_t size) {
  if (ShouldFail()) return nullptr;
  return std::calloc(1, size == 0 ? 1 : size);
}

void MemFree(void* block) { std::free(block); }

bool MemAllocAllowed() { return !ShouldFail(); }

void MemSetFailure(uint64_t failAt, bool sticky) {
  allocCount.store(0, std::memory_order_relaxed);
  failSticky.store(sticky, std::memory_order_relaxed);
  failAtCount.store(failAt, std::memory_order_relaxed);
}

uint64_t MemAllocCount() { return allocCount.load(std::memory_order_relaxed); }

}  // namespace varnfile
