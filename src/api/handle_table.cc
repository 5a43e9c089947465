#include "api/handle_table.h"

#include <cstring>
#include <mutex>

#include "base/memory.h"
#include "io/memory_stream.h"
#include "store/codec_spares.h"

namespace varnfile {

namespace {

// Zero at load; the lock is re-entrant so that a caller's callback, run
// with the lock held, may call back into the library.
LibraryState libraryState;
std::recursive_mutex libraryLock;

// The memory that closed files leave for the next ones (memory-file chunks
// and page blocks, codec contexts and tables, decoder checkpoint blocks)
// goes when the library is unloaded or the process ends, so that a host
// that loads and unloads the library again and again does not lose it
// each time. Defined after the lock, so that it goes first. A thread still
// inside the library keeps it: the release never waits for the lock.
struct KeptMemoryRelease {
  ~KeptMemoryRelease() {
    if (!libraryLock.try_lock()) return;
    MemoryStreamDropSpares(&libraryState.io);
    DropCodecSpares();
    libraryLock.unlock();
  }
};
KeptMemoryRelease keptMemoryRelease;

constexpr uint32_t TableGrowth = 4;

void FreeFileTable(LibraryState* state) {
  MemFree(state->files);
  state->files = nullptr;
  state->fileCapacity = 0;
}

}  // namespace

LibraryState* LockLibrary() {
  libraryLock.lock();
  return &libraryState;
}

void UnlockLibrary() { libraryLock.unlock(); }

ResultCode AllocateHandle(LibraryState** stateOut, uint32_t* handleOut, OpenFile** fileOut) {
  LibraryState* state = LockLibrary();
  uint32_t slot = 0;
  while (slot < state->fileCapacity && state->files[slot] != nullptr) ++slot;
  if (slot == state->fileCapacity) {
    uint32_t capacity = state->fileCapacity - state->fileCapacity % TableGrowth + TableGrowth;
    auto* grown = static_cast<OpenFile**>(MemAllocZero(capacity * sizeof(OpenFile*)));
    if (grown == nullptr) {
      UnlockLibrary();
      return ResultNoMemory;
    }
    if (state->fileCapacity != 0) std::memcpy(grown, state->files, state->fileCapacity * sizeof(OpenFile*));
    MemFree(state->files);
    state->files = grown;
    state->fileCapacity = capacity;
  }
  auto* file = static_cast<OpenFile*>(MemAllocZero(sizeof(OpenFile)));
  if (file == nullptr) {
    if (state->fileCount == 0) FreeFileTable(state);
    UnlockLibrary();
    return ResultNoMemory;
  }
  file->store.streamHandle = -1;
  state->files[slot] = file;
  ++state->fileCount;
  if (stateOut != nullptr) *stateOut = state;
  if (handleOut != nullptr) *handleOut = slot + 1;
  *fileOut = file;
  return ResultOk;
}

void ReleaseHandle(LibraryState* state, uint32_t handle) {
  MemFree(state->files[handle - 1]);
  state->files[handle - 1] = nullptr;
  if (--state->fileCount == 0) FreeFileTable(state);
  UnlockLibrary();
}

}  // namespace varnfile
