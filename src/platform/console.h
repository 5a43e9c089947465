// The terminal, standard streams and interruptions, implemented once per
// platform for programs built on the library (the command-line tool); the
// library itself uses none of it.
#ifndef VARNFILE_PLATFORM_CONSOLE_H_
#define VARNFILE_PLATFORM_CONSOLE_H_

namespace varnfile {

// True when the descriptor (1: standard output, 2: standard error) is a
// terminal.
bool PlatformIsTerminal(int descriptor);
// The width of the terminal on the descriptor in columns; 0 when it is no
// terminal or does not say.
int PlatformTerminalColumns(int descriptor);
// Standard input and output pass bytes unchanged (Windows otherwise turns
// line ends into CR LF and stops at Ctrl-Z).
void PlatformBinaryStdio();
// Calls cleanup(signal) when the process is interrupted (POSIX: SIGINT,
// SIGTERM, SIGHUP, and SIGPIPE from a pipe whose reader went away, each
// unless the process was started with it ignored; Windows: Ctrl-C,
// Ctrl-Break, closing the console). When
// it returns true the process then ends as the interruption would have
// (POSIX: dies of the signal; Windows: exits with STATUS_CONTROL_C_EXIT,
// 0xC000013A); when it returns false the process goes on,
// and ends itself later with PlatformEndAsInterrupted(signal). cleanup runs
// in a signal handler on POSIX and on a thread of its own on Windows:
// PlatformRemoveName and lock-free atomics are what it may use.
void PlatformOnInterrupt(bool (*cleanup)(int signal));
// Ends the process as the interruption that cleanup was given would have
// (POSIX: of the signal, 128 + signal where it survives it; Windows:
// STATUS_CONTROL_C_EXIT, for Ctrl-C, Ctrl-Break and a closed console).
[[noreturn]] void PlatformEndAsInterrupted(int signal);
// A write past the process's file-size limit (POSIX: RLIMIT_FSIZE) fails
// with EFBIG instead of ending the process with SIGXFSZ, so that the
// program can clean up and say why. Only programs call this: the library
// leaves every signal as its caller set it.
void PlatformNoFileSizeSignal();
// When a read of a mapped file faults because another program cut the file
// short under the mapping (POSIX: SIGBUS; Windows lets no program cut a
// mapped file), calls cleanup, writes message to standard error and ends
// the process with status. cleanup runs in a signal handler:
// PlatformRemoveName is what it may call.
void PlatformOnMappedFileCut(void (*cleanup)(), const char* message, int status);

// The identifier of this process (getpid, GetCurrentProcessId).
unsigned long PlatformProcessId();
// True only when no process with the identifier runs on this machine now
// (POSIX: kill(id, 0) fails with ESRCH; Windows: no such process, or it
// has exited). A process of another user counts as running.
bool PlatformProcessGone(unsigned long id);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_CONSOLE_H_
