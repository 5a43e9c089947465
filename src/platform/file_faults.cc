#include "platform/file_faults.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace varnfile {

namespace {

struct FaultSlot {
  std::atomic<uint64_t> calls{0};     // since FileResetCallCounts
  std::atomic<uint64_t> sinceArm{0};  // since FileSetFault
  FileFault fault{};
};

FaultSlot faultSlots[FileCallKinds];
std::atomic<bool> faultsArmed{false};

}  // namespace

FaultDecision CountFileCall(FileCallKind kind) {
  FaultSlot& slot = faultSlots[kind];
  slot.calls.fetch_add(1, std::memory_order_relaxed);
  if (!faultsArmed.load(std::memory_order_relaxed)) return {false, false, false, 0};
  uint64_t n = slot.sinceArm.fetch_add(1, std::memory_order_relaxed) + 1;
  const FileFault& f = slot.fault;
  if (f.failAt == 0) return {false, false, false, 0};
  bool hit = f.sticky ? n >= f.failAt : n == f.failAt;
  if (!hit) return {false, false, false, 0};
  FaultDecision decision{true, f.shortTransfer, f.exitProcess, f.error != 0 ? f.error : EIO};
  if (decision.exitProcess && !decision.shortTransfer) std::_Exit(decision.error);
  return decision;
}

namespace {

// Counts a read and applies the armed fault, if it hits: its error, or a
// short read (success with half of *count).
int ReadFault(size_t* count) {
  FaultDecision fault = CountFileCall(FileCallRead);
  if (!fault.fail) return 0;
  if (!fault.shortTransfer) return fault.error;
  *count /= 2;
  return 0;
}

}  // namespace

int FileRead(int descriptor, void* buffer, size_t count, size_t* got) {
  *got = 0;
  int rc = ReadFault(&count);
  return rc != 0 ? rc : ReadOnce(descriptor, buffer, count, got);
}

int FileReadAt(int descriptor, void* buffer, size_t count, int64_t offset, size_t* got) {
  *got = 0;
  int rc = ReadFault(&count);
  return rc != 0 ? rc : ReadOnceAt(descriptor, buffer, count, offset, got);
}

int FileWrite(int descriptor, const void* buffer, size_t count) {
  FaultDecision fault = CountFileCall(FileCallWrite);
  if (fault.fail) {
    if (!fault.shortTransfer) return fault.error;
    count /= 2;  // write half, then report the failure
  }
  int rc = WriteAll(descriptor, buffer, count);
  if (rc != 0) return rc;
  if (fault.fail && fault.exitProcess) std::_Exit(fault.error);
  return fault.fail ? fault.error : 0;
}

void FileSetFault(FileCallKind kind, const FileFault& fault) {
  if (kind >= FileCallKinds) return;
  FaultSlot& slot = faultSlots[kind];
  slot.fault = fault;
  slot.sinceArm.store(0, std::memory_order_relaxed);
  bool any = false;
  for (const FaultSlot& s : faultSlots) any = any || s.fault.failAt != 0;
  faultsArmed.store(any, std::memory_order_relaxed);
}

void FileClearFaults() {
  faultsArmed.store(false, std::memory_order_relaxed);
  for (FaultSlot& slot : faultSlots) {
    slot.fault = FileFault{};
    slot.sinceArm.store(0, std::memory_order_relaxed);
  }
}

namespace {
std::atomic<void (*)(const char*)> openHook{nullptr};
std::atomic<bool> namelessCreate{true};
}  // namespace

void FileSetNamelessCreate(bool allowed) { namelessCreate.store(allowed, std::memory_order_relaxed); }

bool NamelessCreateAllowed() { return namelessCreate.load(std::memory_order_relaxed); }

void FileSetOpenHook(void (*hook)(const char* name)) {
  openHook.store(hook, std::memory_order_relaxed);
}

void RunOpenHook(const char* name) {
  if (void (*hook)(const char*) = openHook.load(std::memory_order_relaxed)) hook(name);
}

uint64_t FileCallCount(FileCallKind kind) {
  return kind < FileCallKinds ? faultSlots[kind].calls.load(std::memory_order_relaxed) : 0;
}

void FileResetCallCounts() {
  for (FaultSlot& slot : faultSlots) slot.calls.store(0, std::memory_order_relaxed);
}

}  // namespace varnfile
