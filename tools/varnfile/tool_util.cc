#include "tool_util.h"

#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>

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
int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Progress::Progress(const char* label, uint64_t total)
    : label_(label), total_(total), enabled_(isatty(STDERR_FILENO) == 1) {}

void Progress::Update(uint64_t done) {
  if (!enabled_ || total_ == 0) return;
  int64_t now = NowMs();
  if (drawn_ && now - lastDrawMs_ < 100) return;
  lastDrawMs_ = now;
  if (done > total_) done = total_;
  const int width = 40;
  int filled = static_cast<int>(done * width / total_);
  char bar[width + 1];
  std::memset(bar, '=', filled);
  std::memset(bar + filled, ' ', width - filled);
  bar[width] = '\0';
  std::fprintf(stderr, "\r%-8s [%s] %3d%%", label_, bar, static_cast<int>(done * 100 / total_));
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r%*s\r", 60, "");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace varntool
