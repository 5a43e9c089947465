// The result codes every fallible operation outside the codec engines
// returns. The numbers are part of the public interface (varnfile.h).
#ifndef VARNFILE_BASE_RESULT_CODE_H_
#define VARNFILE_BASE_RESULT_CODE_H_

#include <cstdint>

#include "varnfile.h"

namespace varnfile {

using ResultCode = uint16_t;

constexpr ResultCode ResultOk = VARNFILE_OK;
constexpr ResultCode ResultBadPosition = VARNFILE_E_POSITION;
constexpr ResultCode ResultBufferTooSmall = VARNFILE_E_BUFFER_TOO_SMALL;
constexpr ResultCode ResultInvalidArgument = VARNFILE_E_INVALID_ARGUMENT;
constexpr ResultCode ResultEndInconsistent = VARNFILE_E_END_INCONSISTENT;
constexpr ResultCode ResultEndOfFile = VARNFILE_E_END_OF_FILE;
constexpr ResultCode ResultHeaderUnreadable = VARNFILE_E_HEADER_UNREADABLE;
constexpr ResultCode ResultNotTransactionFile = VARNFILE_E_NOT_TRANSACTION_FILE;
constexpr ResultCode ResultBadVersion = VARNFILE_E_VERSION;
constexpr ResultCode ResultAged = VARNFILE_E_AGED;
constexpr ResultCode ResultCrcMismatch = VARNFILE_E_CRC;
constexpr ResultCode ResultCannotReplace = VARNFILE_E_CANNOT_REPLACE;
constexpr ResultCode ResultNoPrevious = VARNFILE_E_NO_PREVIOUS;
constexpr ResultCode ResultReservedId = VARNFILE_E_RESERVED_ID;
constexpr ResultCode ResultNoMemory = VARNFILE_E_NO_MEMORY;
constexpr ResultCode ResultInvalidHandle = VARNFILE_E_INVALID_HANDLE;
constexpr ResultCode ResultOpenFailed = VARNFILE_E_OPEN;
constexpr ResultCode ResultCreateFailed = VARNFILE_E_CREATE;
constexpr ResultCode ResultSeekFailed = VARNFILE_E_SEEK;
constexpr ResultCode ResultReadFailed = VARNFILE_E_READ;
constexpr ResultCode ResultWriteFailed = VARNFILE_E_WRITE;
constexpr ResultCode ResultRemoveFailed = VARNFILE_E_REMOVE;
constexpr ResultCode ResultAccessDenied = VARNFILE_E_ACCESS;
constexpr ResultCode ResultNoUniqueName = VARNFILE_E_NO_UNIQUE_NAME;
constexpr ResultCode ResultMkdirFailed = VARNFILE_E_MKDIR;
constexpr ResultCode ResultMethodLocked = VARNFILE_E_METHOD_LOCKED;

}  // namespace varnfile

#endif  // VARNFILE_BASE_RESULT_CODE_H_
