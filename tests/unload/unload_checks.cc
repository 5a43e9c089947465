// The memory that closed files leave for the next ones (the chunks and 2 MiB
// page blocks of memory files, the codec's contexts and tables) leaves with
// the library: a host that loads, uses and unloads it sixteen times ends
// with about the memory of one round, not sixteen.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "varnfile.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer would hold freed memory back (its quarantine) and let
// the process grow whatever the library gives back.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0"; }
#endif

namespace {

// Resident memory of this process, in KiB.
long ResidentKiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

template <typename F>
F Find(void* library, const char* name) {
  return reinterpret_cast<F>(dlsym(library, name));
}

// One round: a memory file of 6 MiB (its chunks and blocks stay with the
// library once it closes) and a memory file under chained DEFLATE (its
// compressor stays).
void UseTheLibraryOnce() {
  void* library = dlopen(VARNFILE_SHARED_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto create = Find<decltype(&VARNFileCreateEx)>(library, "VARNFileCreateEx");
  auto method = Find<decltype(&VARNFileSetCompression)>(library, "VARNFileSetCompression");
  auto add = Find<decltype(&VARNFileAddItem)>(library, "VARNFileAddItem");
  auto close = Find<decltype(&VARNFileClose)>(library, "VARNFileClose");
  ASSERT_TRUE(create && method && add && close);
  const std::vector<uint8_t> data(60000, 'x');
  for (uint16_t m : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_CHAINED_DEFLATE}) {
    uint32_t h = 0;
    ASSERT_EQ(0, create(&h, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr, 0));
    ASSERT_EQ(0, method(h, m));
    for (int n = 0; n < (m == VARNFILE_METHOD_NONE ? 105 : 3); ++n) {
      ASSERT_EQ(0, add(h, 1, 0, 0, static_cast<uint16_t>(data.size()), data.data()));
    }
    ASSERT_EQ(0, close(h));
  }
  ASSERT_EQ(0, dlclose(library));
}

TEST(Unload, KeptMemoryLeavesWithTheLibrary) {
  UseTheLibraryOnce();
  const long first = ResidentKiB();
  ASSERT_GT(first, 0);
  for (int round = 0; round < 15 && !::testing::Test::HasFatalFailure(); ++round) UseTheLibraryOnce();
  // Kept across unloads, each round would add its 4 MiB of page blocks and
  // more: 60 MiB.
  EXPECT_LT(ResidentKiB() - first, 16 * 1024);
}

}  // namespace
