// Helpers shared by the subcommands of the varnfile tool: argument parsing,
// errors, formatting, the item CRC and the terminal progress bar.
#ifndef VARNFILE_TOOLS_TOOL_UTIL_H_
#define VARNFILE_TOOLS_TOOL_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "varnfile.hpp"

namespace varntool {

// A failure of the tool itself (bad argument value, unusable file), reported
// as "varnfile: <message>" with exit status 1.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};

// Cache and buffer sizes for walking a whole file: walking backwards
// through a chained file replays the chain from its last reset point once per
// read-ahead window, so a wide window (half the cached items) saves most of
// the replays.
inline void UseWideWindows(varn::File& file) {
  file.SetParameters(256, 16u << 20, 64u << 10, 64u << 10);
}

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

// Quotes text for a message, escaping what would not print.
std::string Quote(const std::string& text);

// True when the two paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);

// Removes a file if the tool is interrupted (SIGINT, SIGTERM, SIGHUP) while
// this lives: scratch copies and targets that are not finished yet. The
// signal handler unlinks every registered path and then dies of the same
// signal, so the shell sees the interruption. Destroying (or Keep()) only
// forgets the path; it never removes anything.
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

// A one-line progress bar on stderr, drawn only when stderr is a terminal,
// at most a few times a second; Finish() (or the destructor) clears it.
class Progress {
 public:
  Progress(const char* label, uint64_t total);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(uint64_t done);
  void Finish();

 private:
  const char* label_;
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  int64_t lastDrawMs_ = 0;
};

}  // namespace varntool

#endif  // VARNFILE_TOOLS_TOOL_UTIL_H_
