// A stand-in for the optional server-clock library libqz3net0.so
// (QZ3NET0.DLL on Windows).
//
// The default build answers with a date and time that a test sets through
// QzTestSetAnswer (2001-02-03 04:05:06 until then) and records the
// parameter of the last call. Built with QZ3NET_DAY_ZERO it answers success
// but leaves the day byte 0, which marks the answer as no date.
#include <cstdint>
#include <cstring>

#include "varnfile.h"

#if defined(_WIN32)
#define QZ3NET_EXPORT extern "C" __declspec(dllexport)
#else
#define QZ3NET_EXPORT extern "C" __attribute__((visibility("default")))
#endif

static uint16_t answerResult = 0;
static uint8_t answerBytes[6] = {101, 2, 3, 4, 5, 6};  // years since 1900, month, day, h, m, s
static uint32_t lastParam = 0;

// The entry point uses the calling convention of the library's exports.
QZ3NET_EXPORT uint16_t VARNFILE_CALL NetGetServerDateAndTime(uint32_t param, uint8_t out[6]) {
  lastParam = param;
#if defined(QZ3NET_DAY_ZERO)
  const uint8_t noDate[6] = {126, 7, 0, 8, 9, 10};
  memcpy(out, noDate, sizeof noDate);
  return 0;
#endif
  memcpy(out, answerBytes, sizeof answerBytes);
  return answerResult;
}

QZ3NET_EXPORT void QzTestSetAnswer(uint16_t result, const uint8_t bytes[6]) {
  answerResult = result;
  memcpy(answerBytes, bytes, sizeof answerBytes);
}

QZ3NET_EXPORT uint32_t QzTestLastParam() { return lastParam; }
