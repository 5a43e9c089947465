// The console on Windows: _isatty, the screen buffer's window, _setmode
// and a console control handler.
#include "platform/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace varnfile {

namespace {

bool (*interruptCleanup)(int) = nullptr;

// Runs on a thread of its own; returning TRUE leaves the ending to the
// program. The process ends here rather than in the default handler, with
// the status that handler gives on Windows: Wine's exits with 0, which
// would report an interrupted command as a success.
BOOL WINAPI CleanUpAndDie(DWORD event) {
  if (interruptCleanup == nullptr) return FALSE;
  if (!interruptCleanup(static_cast<int>(event))) return TRUE;
  PlatformEndAsInterrupted(static_cast<int>(event));
}

}  // namespace

bool PlatformIsTerminal(int descriptor) { return _isatty(descriptor) != 0; }

int PlatformTerminalColumns(int descriptor) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (!PlatformIsTerminal(descriptor) || !GetConsoleScreenBufferInfo(console, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void PlatformBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

void PlatformOnInterrupt(bool (*cleanup)(int)) {
  interruptCleanup = cleanup;
  SetConsoleCtrlHandler(CleanUpAndDie, TRUE);
}

// The exit status the default handler gives a process that Ctrl-C ends.
void PlatformEndAsInterrupted(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

void PlatformNoFileSizeSignal() {}  // Windows has no such limit

// Windows refuses to cut a file that a view maps.
void PlatformOnMappedFileCut(void (*)(), const char*, int) {}

unsigned long PlatformProcessId() { return GetCurrentProcessId(); }

bool PlatformProcessGone(unsigned long id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  // A process that has exited lives on as long as a handle to it is open.
  const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return exited;
}

}  // namespace varnfile
