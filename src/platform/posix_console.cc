#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

void (*cutCleanup)() = nullptr;
const char* cutMessage = "";
int cutStatus = 1;

// The faulting read cannot be resumed: returning would only fault again.
void ReportCutAndExit(int) {
  if (cutCleanup != nullptr) cutCleanup();
  if (::write(2, cutMessage, strlen(cutMessage)) < 0) {
  }
  _exit(cutStatus);
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
  // SIGPIPE too: a reader of the output that went away ends the process as
  // surely as Ctrl-C does. A signal the process was started with ignored
  // (nohup, a shell that ignores SIGPIPE) stays ignored, as it would
  // without the handler: the write to a closed pipe then fails instead.
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction action = {};
  action.sa_handler = CleanUpAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal : signals) sigaddset(&action.sa_mask, signal);
  for (int signal : signals) {
    struct sigaction was = {};
    if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

void PlatformEndAsInterrupted(int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  DieOf(signal);
  _exit(128 + signal);  // only if the signal did not end the process
}

void PlatformOnMappedFileCut(void (*cleanup)(), const char* message, int status) {
  cutCleanup = cleanup;
  cutMessage = message;
  cutStatus = status;
  struct sigaction action = {};
  action.sa_handler = ReportCutAndExit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

void PlatformNoFileSizeSignal() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &action, nullptr);
}

unsigned long PlatformProcessId() { return static_cast<unsigned long>(getpid()); }

bool PlatformProcessGone(unsigned long id) {
  const pid_t pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<unsigned long>(pid) != id) return false;  // no single process
  return kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace varnfile
