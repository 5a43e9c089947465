// Helpers shared by the subcommands of the varnfile tool: argument parsing,
// errors, formatting, the item CRC and the terminal progress bar.
#ifndef VARNFILE_TOOLS_TOOL_UTIL_H_
#define VARNFILE_TOOLS_TOOL_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>

#include "varnfile.hpp"

namespace varntool {

// Exit statuses, after the sysexits.h convention; main's --help lists them.
enum ExitStatus : int {
  ExitOk = 0,
  ExitUsage = 64,         // bad command line or argument value
  ExitDamaged = 65,       // not a transaction file, damaged or never closed; bad input data
  ExitNoInput = 66,       // no such file
  ExitAged = 69,          // the file is older than its aging limit
  ExitSoftware = 70,      // an internal error of the tool
  ExitCannotCreate = 73,  // the target exists, or its directory does not
  ExitIo = 74,            // reading or writing failed
  ExitInUse = 75,         // another process holds the file (try again, or --wait)
  ExitDenied = 77,        // no permission
};

// A failure of the tool itself (bad argument value, unusable file), reported
// as "varnfile: <message>" with its exit status.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message, int status = ExitUsage)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// The exit status for a result code of the library.
int StatusForResult(uint16_t code);

// The exit status for a system call that failed with errno `error`: a
// permission failure (EACCES, EPERM) is ExitDenied wherever it happens,
// anything else `otherwise`. Every failed system call the tool reports takes
// its status from here.
int StatusForErrno(int error, int otherwise);

// "<what>: <the system's text for error>", with StatusForErrno's status.
ToolError SystemError(const std::string& what, int error, int otherwise);

// Why a write to the file at `path` failed, as far as the tool can tell:
// the system's text for `error` (errno taken right after the failing call)
// where it names a cause of failed writes (a full disk or quota, the
// file-size limit, a read-only file system, an I/O error), else "no space
// left on device" when the file's folder has none left; empty when neither
// says. Ask before the unfinished file is removed, which frees space.
std::string WriteFailureCause(int error, const std::string& path);

// A failure of the library while it wrote to `path` (the user's name for
// it), as a ToolError with the library's exit status: `what` failed ("cannot
// finish FILE"), the code in words, and the cause of a failed write
// (WriteFailureCause of errno, which the failing call left: ask at once).
ToolError WriteFailure(const std::string& what, uint16_t code, const std::string& path);

// The refusal of a file of more than LargestFileSize bytes (ExitDamaged):
// positions are 32-bit, so it cannot be a transaction file.
ToolError TooLargeForTransactionFile(const std::string& path);

// The limit of a file's size: positions are unsigned 32-bit numbers.
constexpr uint64_t LargestFileSize = 0xFFFFFFFFull;

// The longest file name, in bytes, that the library takes.
constexpr std::size_t LongestName = 259;

// Refuses a longer name before anything is read or made, as too long rather
// than as the library's "invalid argument" (or as a file it cannot open
// once it is made).
void CheckNameLength(const std::string& path);

// True when an append of `length` bytes of data under `method` to a file
// whose data ends at `end` would take it past LargestFileSize, counted as
// the library counts it: under a chained method at the item's largest
// compressed size, under the other compressing methods at an item's
// largest stored size.
bool PastSizeLimit(uint64_t end, std::size_t length, varn::Method method);

// The refusal of an item that would take the file at `path`, whose data
// ends at `end`, past LargestFileSize (ExitCannotCreate: the file cannot
// take it), when a failed append of `length` bytes of data under `method`
// can be that; else nothing is thrown. The library refuses such an append
// before it writes anything, with the code of a failed write; under a
// chained method it counts the item at its largest compressed size.
void ThrowIfPastSizeLimit(const std::string& path, uint64_t end, std::size_t length, varn::Method method);

// Opens an input file for reading (--file, --input): a directory is refused
// as not a file (66) before the system gets to answer for it (EISDIR on
// POSIX, EACCES on Windows); a FIFO or device is read as it comes.
void OpenInput(std::ifstream& in, const std::string& path);

// Options every subcommand shares.
struct Settings {
  bool quiet = false;  // -q: no progress bars, summaries or warnings
  double wait = 0;     // --wait: seconds to retry a file that another process holds
  // What the command changed, for the message of a failure that comes after
  // (standard output that cannot be written): "" when nothing.
  std::string changed;
};
Settings& settings();

// MinGW checks formats by its own printf's rules (%zu, %llu) only when asked.
#if defined(__MINGW_PRINTF_FORMAT)
#define VARNTOOL_PRINTF_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#else
#define VARNTOOL_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif
// A report on stderr (summaries beside data on stdout, warnings), unless -q.
// Report and Note print one line each; what it holds shows as Shown shows
// it (a file name with a line break in it too).
void Report(const char* format, ...) VARNTOOL_PRINTF_FORMAT;
// The warning for a new file that took the stamp and aging limit of a
// source that has aged.
void WarnAgedLikeSource(const std::string& target);
// What a command that writes no data did, on stdout, unless -q.
void Note(const char* format, ...) VARNTOOL_PRINTF_FORMAT;
// What a failed command changed all the same, on stderr, also under -q:
// the error alone would let a script take the file for unchanged.
void ReportChanged(const char* format, ...) VARNTOOL_PRINTF_FORMAT;

// Cache and buffer sizes for walking a whole file: walking backwards
// through a chained file replays the chain from its last reset point once per
// read-ahead window, so a wide window (half the cached items) saves most of
// the replays.
inline void UseWideWindows(varn::File& file) {
  file.SetParameters(256, 16u << 20, 64u << 10, 64u << 10);
}

// True for the methods whose items decode only after those before them,
// back to the last reset point.
inline bool IsChained(uint16_t method) {
  return method == VARNFILE_METHOD_CHAINED_DEFLATE || method == VARNFILE_METHOD_CHAINED_PREDICTOR;
}

// The refusal of data that does not fit one item once compressed under
// `method` (the library's 260); `what` names the data.
ToolError DoesNotFit(const std::string& what, varn::Method method, int status = ExitUsage);

// Appends an item and returns its position. Data that does not fit one
// item once compressed is refused with a message that says so (exit 64;
// 65 for an input line); a failure names the code in words. `where`
// ("line 5: " for an input line, or "") starts the message.
uint32_t AppendItem(varn::File& file, const varn::Item& item, const std::string& where);

// Parses a decimal or 0x-prefixed hexadecimal number no larger than max;
// `what` names the argument in the error.
uint64_t ParseNumber(const std::string& text, uint64_t max, const char* what);

// Parses a method given as its number (0..4) or its name ("none",
// "predictor", "chained-deflate", "chained-predictor", "deflate").
varn::Method ParseMethod(const std::string& text);

// "2026-12-05 15:50:11" from the 3-byte date (month, day, years since 1900)
// and 3-byte time (hour, minute, second) of a file header.
std::string FormatStamp(const uint8_t* date, const uint8_t* time);

// "29 days 23:59:00" for a span in seconds.
std::string FormatSpan(int64_t seconds);

// Classic 16-bytes-a-line hex dump with offsets and printable characters.
std::string HexDump(const uint8_t* data, std::size_t length);

// The item CRC as a file stores it: CRC-16/X-25 with its two bytes exchanged.
uint16_t ItemCrc(const uint8_t* data, std::size_t length);

// "1 item", "2 items".
std::string Counted(uint64_t count, const char* noun);

// How many of a report's `total` lines are listed one by one under a cap of
// `cap` lines (0: no cap); the rest are only counted.
inline std::size_t ListedLines(std::size_t total, uint64_t cap) {
  return cap == 0 || cap >= total ? total : static_cast<std::size_t>(cap);
}

// Quotes text for a message, escaping what would not print: control
// characters, and bytes that are no part of valid UTF-8, as \xNN, and the
// characters that turn or hide the text around them (bidirectional
// controls, zero-width characters) as \u{XXXX}; " and \ after a backslash.
std::string Quote(const std::string& text);

// Text as Quote escapes it, without the quotes (a backslash stays as it is):
// how text output and messages show file names, and every message whole.
std::string Shown(const std::string& text);

// "varnfile: <message>" on stderr, as Shown shows it, after what stdout holds.
void PrintError(const std::string& message);

// True when the two paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);
// True when path leads to a regular file, through symbolic links. A name
// that the system takes for a device (NUL, COM1.txt, dir\nul on Windows)
// never does, whatever a listing of its folder shows.
bool IsRegularFile(const std::string& path);
// True when path is a regular file that begins as a transaction file does.
// With `orCut`, also when it holds only the start of that, or nothing: what
// a create that was stopped midway leaves.
bool BeginsAsTransactionFile(const std::string& path, bool orCut = false);

// Paths are split as the library splits the names it is given: at '/', on
// Windows also at '\' and at a drive's colon, which stays with the folder
// ("C:NAME" is NAME in the current folder of drive C:), reading a two-byte
// character of the ANSI code page as one, so that its second byte is never
// a separator.
//
// The folder part of a path: "." for a bare name; a path that names only a
// folder ("/", "C:", "C:\") is its own.
std::string DirectoryOf(const std::string& path);
// The final component of a path: "" when it ends in a separator.
std::string NameOf(const std::string& path);
// True when the last character of path is a separator.
bool EndsInSeparator(const std::string& path);
// name in the folder dir: "dir/name", or "C:name" after a drive's colon.
std::string InDirectory(const std::string& dir, const std::string& name);

// Ends the tool with a message and ExitIo, removing what RemoveOnInterrupt
// holds, when another program cuts short a file that the tool has mapped
// (RawFile) and it reads the bytes that are gone, instead of dying of it.
void CatchCutMappings();

// Removes a file if the tool is interrupted (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C) while this lives: scratch copies and targets that are not
// finished yet. The handler removes every registered path and then dies of
// the same signal, so the shell sees the interruption (Windows removes only
// files that no open holds any more). Destroying (or Keep()) only forgets
// the path; it never removes anything.
class RemoveOnInterrupt {
 public:
  explicit RemoveOnInterrupt(const std::string& path);
  ~RemoveOnInterrupt() { Keep(); }
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

  void Keep();

 private:
  int slot_ = -1;
};

// While one lives, an interruption does not end the tool at once: an append
// stops between two items and closes its file properly rather than die in
// the middle of a write, which can leave a torn record behind. The
// destructor then ends the tool as the interruption would have (unless an
// exception is under way: its error is reported instead).
class DeferInterrupts {
 public:
  DeferInterrupts();
  ~DeferInterrupts();
  DeferInterrupts(const DeferInterrupts&) = delete;
  DeferInterrupts& operator=(const DeferInterrupts&) = delete;

  // True once an interruption has come.
  bool Interrupted() const;
};

// A file of the tool's own under a fresh name "<dir>/<stem>-xxxxxxxx",
// created exclusively, opened for writing and removed when this goes out of
// scope or the tool is interrupted. Failures throw ToolError (ExitIo).
class ScratchFile {
 public:
  // Named: the file keeps its name until it takes another or goes.
  // Nameless: a private copy that no name reaches where the library can
  // still open it (Linux: made without one, or its name let go at once),
  // so that no kill at any moment leaves it behind; elsewhere as Named,
  // until ReleaseName or OpenForReading.
  enum class Naming { Named, Nameless };

  // The random characters after "<stem>-".
  static constexpr std::size_t RandomSize = 8;
  // The length of every path ScratchFile(dir, stem) makes.
  static std::size_t PathSize(const std::string& dir, const std::string& stem) {
    return InDirectory(dir, stem + "-").size() + RandomSize;
  }

  ScratchFile(const std::string& dir, const std::string& stem, Naming naming = Naming::Named);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  void Write(const void* data, std::size_t size);
  // Closes the file for writing (before others open it).
  void Close();
  // Gives the file, closed first, the name `target` in place of any file
  // there, and forgets its own; 0 or the errno of the rename.
  int TakeName(const std::string& target);
  // Lets the name go while the file is open, where the system lets an open
  // file's name go (POSIX): a run killed later leaves nothing behind, and
  // the file is reached through descriptor() alone. Where it does not
  // (Windows), a file still open here keeps its name until its descriptor
  // is closed, by this or by the end of the process however it ends, and
  // goes then; a closed one keeps its name until this goes out of scope.
  void ReleaseName();
  // Opens the written file read-only through the library, and lets go of
  // this descriptor and of the file's name once the library holds it (see
  // ReleaseName for a system that keeps the name of a closed file). A
  // Nameless file is opened by its descriptor's name where it has one.
  // Failures throw varn::Error (the library's) or ToolError (the close).
  varn::File OpenForReading();
  // The file's name; for a file made without one, the name it stands for
  // in messages.
  const std::string& path() const { return path_; }
  // Whether a name still reaches the file.
  bool named() const { return named_; }
  // The platform layer's descriptor, open for reading and writing; -1 after Close.
  int descriptor() const { return fd_; }

 private:
  std::string What() const;  // "cannot write ..." for a failed write
  // Creates the file under a fresh name "<dir>/<stem>-xxxxxxxx".
  void CreateNamed(const std::string& dir, const std::string& stem);
  // Where the system names an open file by its descriptor (Linux:
  // /proc/self/fd/N), lets any name go at once and keeps that other name in
  // byDescriptor_, by which the library opens the file once it is written.
  // The lock that keeps other runs off the name goes with it (nothing
  // reaches the file without a name). Elsewhere the name stays.
  void ReleaseNameEarly();

  std::string path_;
  std::string byDescriptor_;  // "" where the file is opened by path_
  int fd_ = -1;
  bool named_ = true;
  std::unique_ptr<RemoveOnInterrupt> cleanup_;
};

// A one-line progress bar on stderr (share of `total` bytes done, items,
// bytes and rate), drawn only when stderr is a terminal, not with -q, once
// the work has taken a second, and at most ten times a second; Finish() (or
// the destructor) clears it.
class Progress {
 public:
  Progress(const char* label, uint64_t totalBytes);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(uint64_t items, uint64_t bytes);
  void Finish();

 private:
  const char* label_;
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  int64_t startMs_, lastDrawMs_ = 0;
};

// Standard input, after a word on stderr when it is a terminal: a command
// that waits for typed input looks hung otherwise. `what` names the input.
std::istream& StandardInput(const char* what);

// The number of columns of the terminal on stdout; $COLUMNS when stdout is
// not a terminal, and 0 (no limit) when that is not set either: output
// for a pipe or a file keeps whole lines, for grep and the like.
int OutputWidth();

}  // namespace varntool

#endif  // VARNFILE_TOOLS_TOOL_UTIL_H_
