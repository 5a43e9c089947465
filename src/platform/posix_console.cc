#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <initializer_list>

namespace varnfile {

namespace {

void (*interruptCleanup)() = nullptr;

void CleanUpAndDie(int signal) {
  if (interruptCleanup != nullptr) interruptCleanup();
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

}  // namespace

bool PlatformIsTerminal(int descriptor) { return isatty(descriptor) == 1; }

int PlatformTerminalColumns(int descriptor) {
  struct winsize size;
  if (!PlatformIsTerminal(descriptor) || ioctl(descriptor, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void PlatformBinaryStdio() {}

void PlatformOnInterrupt(void (*cleanup)()) {
  interruptCleanup = cleanup;
  struct sigaction action = {};
  action.sa_handler = CleanUpAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void PlatformNoFileSizeSignal() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &action, nullptr);
}

}  // namespace varnfile
