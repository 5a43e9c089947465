// The counting and fault injection behind the test seam of file.h, shared
// by the POSIX and the Windows file calls. Each call of a kind asks
// CountFileCall first; nothing else runs unless a fault is armed.
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

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_FILE_FAULTS_H_
