#include "tool_util.h"

#include <limits.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <cstdarg>
#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace varntool {

uint64_t ParseNumber(const std::string& text, uint64_t max, const char* what) {
  std::size_t at = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  if (at >= text.size()) throw ToolError(std::string(what) + ": not a number: " + Quote(text));
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else throw ToolError(std::string(what) + ": not a number: " + Quote(text));
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
    int n = std::snprintf(line, sizeof line, "%08zx ", row);
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

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

#if defined(_WIN32)
// Windows has no inode numbers in stat: the volume and the file index of an
// open handle name the file.
bool SameFile(const std::string& a, const std::string& b) {
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!identify(a, &ia) || !identify(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}
#else
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
#endif

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

namespace {

// The paths to remove on an interrupt. A slot's path is written before the
// slot is marked in use, so the handler never reads a half-written path.
struct InterruptSlot {
  volatile sig_atomic_t used;
  char path[PATH_MAX];
};
InterruptSlot interruptSlots[8];

void RemoveAndDie(int signal) {
  for (InterruptSlot& slot : interruptSlots)
    if (slot.used) unlink(slot.path);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void InstallInterruptHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action = {};
  action.sa_handler = RemoveAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path) {
  InstallInterruptHandlers();
  if (path.size() >= PATH_MAX) return;
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

namespace {
int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Progress::Progress(const char* label, uint64_t totalBytes)
    : label_(label), total_(totalBytes),
      enabled_(!settings().quiet && isatty(STDERR_FILENO) == 1), startMs_(NowMs()) {}

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

int OutputWidth() {
  struct winsize size;
  if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  int n = columns != nullptr ? std::atoi(columns) : 0;
  return n > 0 ? n : 80;
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

void Note(const char* format, ...) {
  if (settings().quiet) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

Settings& settings() {
  static Settings s;
  return s;
}

void Report(const char* format, ...) {
  if (settings().quiet) return;
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

}  // namespace varntool
