// The counting and fault injection behind the test seam of file.h, shared
// by the POSIX and the Windows file calls. Each call of a kind asks
// CountFileCall first; nothing else runs unless a fault is armed. FileRead,
// FileReadAt and FileWrite are written once over the platform's ReadOnce,
// ReadOnceAt and WriteAll.
#ifndef VARNFILE_PLATFORM_FILE_FAULTS_H_
#define VARNFILE_PLATFORM_FILE_FAULTS_H_

#include "platform/file.h"

namespace varnfile {

struct FaultDecision {
  bool fail;
  bool shortTransfer;
  bool exitProcess;  // the caller ends the process after its half transfer
  int error;         // EIO when the armed fault names none
};

// Counts the call and tells whether the armed fault (if any) hits it. A
// fault that ends the process without a half transfer ends it here.
FaultDecision CountFileCall(FileCallKind kind);

// Runs the hook that FileSetOpenHook set, if any.
void RunOpenHook(const char* name);
// What FileSetNamelessCreate last set; true unless a test turned it off.
bool NamelessCreateAllowed();

// The system calls under FileRead and FileWrite, once per platform: one
// read of up to count bytes, and a write of all count bytes that continues
// after short writes. 0 or errno.
int ReadOnce(int descriptor, void* buffer, size_t count, size_t* got);
// One read of up to count bytes at offset (the position afterwards is
// unspecified).
int ReadOnceAt(int descriptor, void* buffer, size_t count, int64_t offset, size_t* got);
int WriteAll(int descriptor, const void* buffer, size_t count);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_FILE_FAULTS_H_
