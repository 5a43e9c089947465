#include "tool_util.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

#if defined(__linux__)
#include <sys/file.h>
#endif

#include "item_text.h"
#include "raw_file.h"
#include "io/paths.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/file_system.h"

namespace varntool {

uint64_t ParseNumber(const std::string& text, uint64_t max, const char* what) {
  std::size_t at = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  // What is accepted, said whenever the text is no such number ("-1" too).
  const ToolError notANumber(std::string(what) + ": expected a whole number " +
                             (max == UINT64_MAX ? std::string("0 or more") : "from 0 to " + std::to_string(max)) +
                             " (decimal, or hexadecimal after 0x), got " + Quote(text));
  if (at >= text.size()) throw notANumber;
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else throw notANumber;
    if (value > (max - digit) / base)
      throw ToolError(std::string(what) + ": " + text + " is larger than " + std::to_string(max));
    value = value * base + digit;
  }
  return value;
}

varn::Method ParseMethod(const std::string& text) {
  for (uint16_t m = 0; m <= 4; ++m) {
    varn::Method method = static_cast<varn::Method>(m);
    if (text == std::to_string(m) || text == varn::MethodName(method)) return method;
  }
  throw ToolError("method: expected 0..4 or none, predictor, chained-deflate, chained-predictor, "
                  "deflate; got " + Quote(text));
}

std::string FormatStamp(const uint8_t* date, const uint8_t* time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 1900 + date[2], date[0], date[1],
                time[0], time[1], time[2]);
  return text;
}

std::string FormatSpan(int64_t seconds) {
  bool negative = seconds < 0;
  if (negative) seconds = -seconds;
  char text[64];
  std::snprintf(text, sizeof text, "%s%lld days %02d:%02d:%02d", negative ? "-" : "",
                static_cast<long long>(seconds / 86400), static_cast<int>(seconds / 3600 % 24),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

std::string HexDump(const uint8_t* data, std::size_t length) {
  std::string out;
  char line[128];
  for (std::size_t row = 0; row < length; row += 16) {
    int n = std::snprintf(line, sizeof line, "%08llx ", static_cast<unsigned long long>(row));
    for (std::size_t i = 0; i < 16; ++i) {
      if (row + i < length) n += std::snprintf(line + n, sizeof line - n, " %02x", data[row + i]);
      else n += std::snprintf(line + n, sizeof line - n, "   ");
      if (i == 7) line[n++] = ' ';
    }
    n += std::snprintf(line + n, sizeof line - n, "  |");
    for (std::size_t i = 0; i < 16 && row + i < length; ++i) {
      uint8_t c = data[row + i];
      line[n++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    line[n++] = '|';
    line[n++] = '\n';
    out.append(line, n);
  }
  return out;
}

uint16_t ItemCrc(const uint8_t* data, std::size_t length) {
  if (length == 0) return 0;
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  crc ^= 0xFFFF;
  return static_cast<uint16_t>((crc >> 8) | (crc << 8));
}

std::string Counted(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

namespace {

// Text that shows what it holds on a terminal, on one line: control
// characters and bytes that are no part of valid UTF-8 as \xNN, the
// invisible formats as \u{XXXX}; quoted, also " and \ escaped.
std::string Escaped(const std::string& text, bool quoted) {
  std::string out = quoted ? "\"" : "";
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const std::size_t n = Utf8Sequence(bytes + i, text.size() - i, &cp);
    if (n == 0 || IsControl(cp)) {
      for (std::size_t k = 0; k < std::max<std::size_t>(n, 1); ++k) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", bytes[i + k]);
        out += escaped;
      }
      i += std::max<std::size_t>(n, 1);
      continue;
    }
    if (IsInvisibleFormat(cp)) out += CodePointEscape(cp);
    else if (quoted && (cp == '"' || cp == '\\')) out += std::string("\\") + static_cast<char>(cp);
    else out.append(text, i, n);
    i += n;
  }
  return quoted ? out + "\"" : out;
}

// A line of Report or Note shown as Shown shows text, its line end kept.
void PrintLine(FILE* stream, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size < 0) return;
  std::string line(static_cast<std::size_t>(size) + 1, '\0');
  std::vsnprintf(&line[0], line.size(), format, args);
  line.resize(static_cast<std::size_t>(size));
  const bool ended = !line.empty() && line.back() == '\n';
  if (ended) line.pop_back();
  std::fputs((Shown(line) + (ended ? "\n" : "")).c_str(), stream);
}

}  // namespace

std::string Quote(const std::string& text) { return Escaped(text, true); }

std::string Shown(const std::string& text) { return Escaped(text, false); }

void PrintError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "varnfile: %s\n", Shown(message).c_str());
  std::fflush(stderr);
}

bool SameFile(const std::string& a, const std::string& b) {
  return varnfile::PlatformSameFile(a.c_str(), b.c_str());
}

bool FileExists(const std::string& path) { return varnfile::PlatformAccess(path.c_str(), 0) == 0; }

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return !varnfile::PlatformIsDeviceName(path.c_str()) && std::filesystem::is_regular_file(path, error);
}

bool BeginsAsTransactionFile(const std::string& path, bool orCut) {
  // Only a regular file is read: opening a FIFO to read would wait for a
  // writer (and an export to it is the writer its reader waits for).
  if (!IsRegularFile(path)) return false;
  char magic[4] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(magic, sizeof magic);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  return (got == sizeof magic || orCut) && std::memcmp(magic, "KVRW", got) == 0;
}

std::string DirectoryOf(const std::string& path) {
  std::string dir = path;
  varnfile::SplitPath(&dir[0], nullptr, 0);
  dir.resize(std::strlen(dir.c_str()));
  return dir.empty() ? "." : dir;
}

std::string NameOf(const std::string& path) {
  std::string dir = path, name(path.size() + 1, '\0');
  varnfile::SplitPath(&dir[0], &name[0], 0);
  name.resize(std::strlen(name.c_str()));
  return name;
}

bool EndsInSeparator(const std::string& path) { return varnfile::EndsInSeparator(path.c_str()); }

std::string InDirectory(const std::string& dir, const std::string& name) {
  return dir.empty() || EndsInSeparator(dir) ? dir + name : dir + "/" + name;
}

namespace {

// The paths to remove on an interrupt. A slot's path is written before the
// slot is marked in use, so the handler never reads a half-written path.
struct InterruptSlot {
  volatile std::sig_atomic_t used;
  char path[4096];
};
InterruptSlot interruptSlots[8];

void RemoveRegistered() {
  for (InterruptSlot& slot : interruptSlots)
    if (slot.used) varnfile::PlatformRemoveName(slot.path);
}

// While a DeferInterrupts lives: the interruption that came, 0 for none.
std::atomic<int> deferring{0}, deferredSignal{0};

bool OnInterrupt(int signal) {
  if (deferring.load() != 0) {
    deferredSignal.store(signal);
    return false;
  }
  RemoveRegistered();
  return true;
}

void CatchInterrupts() {
  static bool installed = false;
  if (!installed) varnfile::PlatformOnInterrupt(OnInterrupt);
  installed = true;
}

}  // namespace

void CatchCutMappings() {
  static bool installed = false;
  if (!installed)
    varnfile::PlatformOnMappedFileCut(
        RemoveRegistered, "varnfile: another program cut short a file while it was read\n", ExitIo);
  installed = true;
}

DeferInterrupts::DeferInterrupts() {
  CatchInterrupts();
  deferring.store(1);
}

DeferInterrupts::~DeferInterrupts() {
  deferring.store(0);
  int signal = deferredSignal.load();
  // A failure on its way to main still closes the file and is reported.
  if (signal == 0 || std::uncaught_exceptions() > 0) return;
  RemoveRegistered();
  varnfile::PlatformEndAsInterrupted(signal);
}

bool DeferInterrupts::Interrupted() const { return deferredSignal.load() != 0; }

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path) {
  CatchInterrupts();
  if (path.size() >= sizeof interruptSlots[0].path) return;
  for (int i = 0; i < static_cast<int>(std::size(interruptSlots)); ++i) {
    if (interruptSlots[i].used) continue;
    std::memcpy(interruptSlots[i].path, path.c_str(), path.size() + 1);
    interruptSlots[i].used = 1;
    slot_ = i;
    return;
  }
  throw ToolError("too many files to clean up at once");
}

void RemoveOnInterrupt::Keep() {
  if (slot_ >= 0) interruptSlots[slot_].used = 0;
  slot_ = -1;
}

ScratchFile::ScratchFile(const std::string& dir, const std::string& stem, Naming naming) {
  if (naming == Naming::Nameless && varnfile::FileCreateNameless(dir.c_str(), &fd_) == 0) {
    path_ = InDirectory(dir, stem + " (no name)");
    named_ = false;
  } else {
    CreateNamed(dir, stem);
  }
  if (naming == Naming::Nameless) ReleaseNameEarly();
}

void ScratchFile::CreateNamed(const std::string& dir, const std::string& stem) {
  static std::mt19937_64 random(std::random_device{}() ^
                                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    path_ = InDirectory(dir, stem + "-");
    for (std::size_t i = 0; i < RandomSize; ++i) path_ += digits[random() % (sizeof digits - 1)];
    error = varnfile::FileCreateExclusive(path_.c_str(), &fd_);
  }
  if (error != 0) {
    fd_ = -1;
    throw SystemError("cannot create a scratch file in " + dir, error, ExitIo);
  }
  cleanup_ = std::make_unique<RemoveOnInterrupt>(path_);
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) varnfile::FileClose(fd_);
  if (named_) varnfile::PlatformRemoveName(path_.c_str());
}

void ScratchFile::ReleaseName() {
  if (!named_) return;
  // Windows keeps the name of an open file, and an interrupt handler could
  // not remove it while this descriptor holds it without delete sharing:
  // the descriptor marks it instead, and it goes when the descriptor is
  // closed, also when the process ends some other way (Ctrl-C, a kill).
  if (varnfile::PlatformRemoveName(path_.c_str()) == 0 ||
      (fd_ >= 0 && varnfile::FileRemoveHeld(fd_, path_.c_str()) == 0)) {
    named_ = false;
    cleanup_.reset();
  }
}

std::string ScratchFile::What() const {
  // A file without a name is named by its folder alone: nothing of it stays.
  return named_ ? "cannot write the scratch file " + path_ : "cannot write a scratch file in " + DirectoryOf(path_);
}

void ScratchFile::ReleaseNameEarly() {
#if defined(__linux__)
  const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd_);
  if (fd_ < 0 || !FileExists(byDescriptor)) return;
  ReleaseName();
  if (named_) return;
  // The library's open takes a shared lock, which this descriptor's own
  // exclusive one would refuse.
  ::flock(fd_, LOCK_UN);
  byDescriptor_ = byDescriptor;
#endif
}

varn::File ScratchFile::OpenForReading() {
  if (!byDescriptor_.empty()) {
    varn::File file = varn::File::Open(byDescriptor_, varn::Access::Read);
    Close();  // the library's own descriptor keeps the file
    return file;
  }
  Close();
  varn::File file = varn::File::Open(path_, varn::Access::Read);
  ReleaseName();
  return file;
}

int ScratchFile::TakeName(const std::string& target) {
  int error = varnfile::PlatformReplaceName(path_.c_str(), target.c_str());
  if (error == 0) {
    named_ = false;
    cleanup_.reset();
  }
  return error;
}

void ScratchFile::Write(const void* data, std::size_t size) {
  int error = varnfile::FileWrite(fd_, data, size);
  if (error != 0) throw SystemError(What(), error, ExitIo);
}

void ScratchFile::Close() {
  int error = varnfile::FileClose(fd_);
  fd_ = -1;
  if (error != 0) throw SystemError(What(), error, ExitIo);
}

namespace {
int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Progress::Progress(const char* label, uint64_t totalBytes)
    : label_(label), total_(totalBytes),
      enabled_(!settings().quiet && varnfile::PlatformIsTerminal(2)), startMs_(NowMs()) {}

namespace {
std::string Amount(double value, const char* unit) {
  const char* prefixes[] = {"", "k", "M", "G"};
  int i = 0;
  for (; value >= 1000 && i < 3; ++i) value /= 1000;
  char text[32];
  std::snprintf(text, sizeof text, i == 0 ? "%.0f %s%s" : "%.1f %s%s", value, prefixes[i], unit);
  return text;
}
}  // namespace

void Progress::Update(uint64_t items, uint64_t bytes) {
  if (!enabled_) return;
  int64_t now = NowMs();
  if (now - startMs_ < 1000 || (drawn_ && now - lastDrawMs_ < 100)) return;
  lastDrawMs_ = now;
  std::string line = "\r" + std::string(label_);
  if (total_ > 0) {  // a bar and a share
    const int width = 24;
    int filled = static_cast<int>(std::min(bytes, total_) * width / total_);
    char share[16];
    std::snprintf(share, sizeof share, "] %3d%%", static_cast<int>(std::min(bytes, total_) * 100 / total_));
    line += " [" + std::string(filled, '=') + std::string(width - filled, ' ') + share;
  }
  if (items > 0) line += "  " + Amount(static_cast<double>(items), "items");
  double seconds = (now - startMs_) / 1000.0;
  line += "  " + Amount(static_cast<double>(bytes), "B") + "  " + Amount(bytes / seconds, "B") + "/s\033[K";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

std::istream& StandardInput(const char* what) {
#if defined(_WIN32)
  const char* end = "Ctrl-Z, Enter";
#else
  const char* end = "Ctrl-D";
#endif
  if (varnfile::PlatformIsTerminal(0))
    Report("varnfile: reading %s from the terminal until the end of input (%s)\n", what, end);
  return std::cin;
}

int OutputWidth() {
  int width = varnfile::PlatformTerminalColumns(1);
  if (width > 0) return width;
  const char* columns = std::getenv("COLUMNS");
  int n = columns != nullptr ? std::atoi(columns) : 0;
  return n > 0 ? n : 0;
}

int StatusForResult(uint16_t code) {
  switch (code) {
    case VARNFILE_E_END_INCONSISTENT:
    case VARNFILE_E_END_OF_FILE:
    case VARNFILE_E_HEADER_UNREADABLE:
    case VARNFILE_E_NOT_TRANSACTION_FILE:
    case VARNFILE_E_VERSION:
    case VARNFILE_E_CRC:
    case VARNFILE_E_NO_PREVIOUS:
    case VARNFILE_E_READ:  // a broken link between records, or a short file
      return ExitDamaged;
    case VARNFILE_E_AGED: return ExitAged;
    case VARNFILE_E_OPEN: return ExitNoInput;
    case VARNFILE_E_CREATE:
    case VARNFILE_E_MKDIR:
    case VARNFILE_E_NO_UNIQUE_NAME:
      return ExitCannotCreate;
    case VARNFILE_E_SEEK:
    case VARNFILE_E_WRITE:
    case VARNFILE_E_REMOVE:
      return ExitIo;
    case VARNFILE_E_ACCESS: return ExitDenied;
    case VARNFILE_E_NO_MEMORY: return ExitSoftware;
    default: return ExitUsage;  // arguments the library refuses
  }
}

int StatusForErrno(int error, int otherwise) {
  return error == EACCES || error == EPERM ? ExitDenied : otherwise;
}

ToolError SystemError(const std::string& what, int error, int otherwise) {
  return ToolError(what + ": " + std::strerror(error), StatusForErrno(error, otherwise));
}

std::string WriteFailureCause(int error, const std::string& path) {
  switch (error) {
    case ENOSPC:
    case EFBIG:
    case EROFS:
    case EIO:
#if defined(EDQUOT)
    case EDQUOT:
#endif
      return std::strerror(error);
    default:
      break;
  }
  // The library's last call may have left another errno: the folder says
  // whether the disk is full.
  std::error_code failed;
  const std::filesystem::space_info space = std::filesystem::space(DirectoryOf(path), failed);
  return !failed && space.available == 0 ? "no space left on device" : "";
}

void CheckNameLength(const std::string& path) {
  if (path.size() > LongestName)
    throw ToolError(path + ": name too long (at most " + std::to_string(LongestName) + " bytes, not " +
                    std::to_string(path.size()) + ")");
}

ToolError WriteFailure(const std::string& what, uint16_t code, const std::string& path) {
  const std::string cause = code == VARNFILE_E_WRITE ? WriteFailureCause(errno, path) : "";
  return ToolError(what + ": " + varn::DescribeResult(code) + (cause.empty() ? "" : " (" + cause + ")"),
                   StatusForResult(code));
}

ToolError TooLargeForTransactionFile(const std::string& path) {
  return ToolError(path + " is 4 GiB or larger and cannot be a transaction file (positions are 32-bit numbers)",
                   ExitDamaged);
}

bool PastSizeLimit(uint64_t end, std::size_t length, varn::Method method) {
  // The stored bytes: the data as it is, or compressed, at most an item's
  // worth, or under a chained method as the library bounds them.
  uint64_t stored = method == varn::Method::None ? length : VARNFILE_MAX_ITEM_LENGTH;
  if (IsChained(static_cast<uint16_t>(method))) stored = std::max<uint64_t>(stored, length + length / 8 + 128);
  return end + RecordOverhead + stored > LargestFileSize;
}

void ThrowIfPastSizeLimit(const std::string& path, uint64_t end, std::size_t length, varn::Method method) {
  if (!PastSizeLimit(end, length, method)) return;
  throw ToolError("the item would take " + path + " past its 4 GiB limit (it ends at " + std::to_string(end) +
                      "; positions are 32-bit numbers): start a new file for further items",
                  ExitCannotCreate);
}

void OpenInput(std::ifstream& in, const std::string& path) {
  if (varnfile::PlatformIsDirectory(path.c_str()))
    throw ToolError(path + " is a directory, not a file", ExitNoInput);
  in.open(path, std::ios::binary);
  if (!in) throw SystemError("cannot open " + path, errno, errno == ENOENT ? ExitNoInput : ExitIo);
}

ToolError DoesNotFit(const std::string& what, varn::Method method, int status) {
  return ToolError(what + " do not fit one item once compressed under method " +
                   std::to_string(static_cast<unsigned>(method)) + " (" + varn::MethodName(method) +
                   "): at most 65535 stored bytes; a file of method 0 (none) keeps them as they are",
                   status);
}

uint32_t AppendItem(varn::File& file, const varn::Item& item, const std::string& where) {
  uint32_t position = 0;
  errno = 0;  // a failed write's errno is its cause (WriteFailureCause), never an older one
  uint16_t rc = file.TryAdd(item.command, item.extra, item.value, item.data.data(),
                            item.data.size(), &position);
  varn::Method method = file.method();
  // Data of an input line is bad input, as any other bad line (65); data
  // given on the command line is a usage error (64).
  if (rc == VARNFILE_E_INVALID_ARGUMENT && method != varn::Method::None)
    throw DoesNotFit(where + std::to_string(item.data.size()) + " bytes of data", method,
                     where.empty() ? ExitUsage : ExitDamaged);
  varn::Check(rc, where + "cannot add the item");
  return position;
}

void WarnAgedLikeSource(const std::string& target) {
  Report("warning: %s has aged like its source; varnfile set --reset-aging %s rescues it\n",
         target.c_str(), target.c_str());
}

void Note(const char* format, ...) {
  if (settings().quiet) return;
  va_list args;
  va_start(args, format);
  PrintLine(stdout, format, args);
  va_end(args);
}

Settings& settings() {
  static Settings s;
  return s;
}

namespace {

// One line on stderr, after what stdout holds so far.
void PrintReport(const char* format, va_list args) {
  std::fflush(stdout);
  PrintLine(stderr, format, args);
}

}  // namespace

void Report(const char* format, ...) {
  if (settings().quiet) return;
  va_list args;
  va_start(args, format);
  PrintReport(format, args);
  va_end(args);
}

void ReportChanged(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintReport(format, args);
  va_end(args);
}

}  // namespace varntool
