#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <initializer_list>

namespace varnfile {

namespace {

bool (*interruptCleanup)(int) = nullptr;

// Puts back the default action and raises the signal again: inside the
// handler it is delivered, and the process dies of it, once the handler
// returns; outside at once.
void DieOf(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void CleanUpAndDie(int signal) {
  if (interruptCleanup == nullptr || interruptCleanup(signal)) DieOf(signal);
}

}  // namespace

bool PlatformIsTerminal(int descriptor) { return isatty(descriptor) == 1; }

int PlatformTerminalColumns(int descriptor) {
  struct winsize size;
  if (!PlatformIsTerminal(descriptor) || ioctl(descriptor, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void PlatformBinaryStdio() {}

void PlatformOnInterrupt(bool (*cleanup)(int)) {
  interruptCleanup = cleanup;
  struct sigaction action = {};
  action.sa_handler = CleanUpAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void PlatformEndAsInterrupted(int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  DieOf(signal);
  _exit(128 + signal);  // only if the signal did not end the process
}

void PlatformNoFileSizeSignal() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &action, nullptr);
}

}  // namespace varnfile
