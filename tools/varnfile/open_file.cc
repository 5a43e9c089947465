#include "open_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "raw_file.h"
#include "tool_util.h"

namespace varntool {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline() {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(settings().wait * 1000));
}

// Sleeps a little before the next try; false once the --wait time is over.
bool WaitMore(Clock::time_point deadline) {
  if (Clock::now() >= deadline) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return true;
}

std::string InUse(const std::string& path) {
  char waited[48];
  std::snprintf(waited, sizeof waited, " (waited %g s)", settings().wait);
  return path + " is in use by another process" +
         (settings().wait > 0 ? waited : " (--wait SECONDS retries)");
}

// True when another open file description holds a lock on `path` that a
// shared (or exclusive) lock conflicts with.
bool HeldElsewhere(const std::string& path, bool exclusive) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// The header bytes as they lie on disk (fewer when the file is shorter).
std::vector<uint8_t> ReadHeaderBytes(const std::string& path) {
  std::vector<uint8_t> bytes(HeaderSize);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  ssize_t n = fd < 0 ? 0 : pread(fd, bytes.data(), bytes.size(), 0);
  if (fd >= 0) close(fd);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

// A copy of an aged file with its stamp moved into the future, opened
// read-only and unlinked at once: the copy disappears with the handle.
varn::File OpenAgedCopy(const std::string& path) {
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/varnfile-aged-XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  int out = mkstemp(buffer.data());
  if (out < 0) throw ToolError("cannot make a copy of the aged file: " + std::string(std::strerror(errno)), ExitIo);
  name = buffer.data();
  RemoveOnInterrupt cleanup(name);
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0;
  try {
    if (ok) LockLikeLibrary(in, path, false);  // not while a writer is at work
  } catch (...) {
    close(in);
    close(out);
    unlink(name.c_str());
    throw;
  }
  std::vector<uint8_t> chunk(1 << 20);
  for (uint64_t offset = 0; ok;) {
    ssize_t n = pread(in, chunk.data(), chunk.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (offset == 0 && n >= static_cast<ssize_t>(HeaderSize)) {
      // 1 January 2155: a stamp in the future never ages.
      const uint8_t future[6] = {1, 1, 255, 0, 0, 0};
      std::memcpy(chunk.data() + StampDateOffset, future, sizeof future);
    }
    for (ssize_t done = 0, w; ok && done < n; done += w) {
      w = write(out, chunk.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) w = 0;
      else ok = w > 0;
    }
    offset += static_cast<uint64_t>(n);
  }
  if (in >= 0) close(in);
  if (close(out) != 0) ok = false;
  varn::File file;
  uint16_t rc = ok ? varn::File::TryOpen(name, varn::Access::Read, &file) : VARNFILE_OK;
  unlink(name.c_str());
  if (!ok) throw ToolError("cannot make a copy of the aged file " + path, ExitIo);
  if (rc != VARNFILE_OK) ThrowOpenFailure(path, rc, false);
  return file;
}

}  // namespace

std::string HeaderProblem(const std::string& path, const uint8_t* h, std::size_t size) {
  if (size < HeaderSize)
    return path + " is not a transaction file (" + std::to_string(size) +
           " bytes, shorter than a header)";
  if (std::memcmp(h, "KVRW", 4) != 0) return path + " is not a transaction file (no KVRW magic)";
  uint16_t version = Get16(h + VersionOffset);
  if (version < 264 || version > 272)
    return path + " has format version " + std::to_string(version) + "; versions 264 to 272 are read";
  if (Get16(h + ClosedMarkerOffset) == 0)
    return path + " was never closed properly (its writer stopped first); "
           "varnfile recover salvages its items";
  return "";
}

int64_t AgingSeconds(const uint8_t* header) {
  return int64_t{Get16(header + AgingDaysOffset)} * 86400 + header[AgingHoursOffset] * 3600 +
         header[AgingHoursOffset + 1] * 60 + header[AgingHoursOffset + 2];
}

void LockLikeLibrary(int fd, const std::string& path, bool exclusive) {
  Clock::time_point deadline = Deadline();
  while (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR)
      throw ToolError("cannot lock " + path + ": " + std::strerror(errno), ExitIo);
    if (!WaitMore(deadline)) throw ToolError(InUse(path), ExitInUse);
  }
}

void ThrowOpenFailure(const std::string& path, uint16_t code, bool exclusive) {
  if (code == VARNFILE_E_OPEN || code == VARNFILE_E_CREATE || code == VARNFILE_E_ACCESS) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT && code != VARNFILE_E_CREATE) throw ToolError(path + ": no such file", ExitNoInput);
      if (errno == EACCES) throw ToolError(path + ": permission denied", ExitDenied);
    } else if (!S_ISREG(st.st_mode)) {
      throw ToolError(path + " is not a regular file", ExitNoInput);
    } else if (HeldElsewhere(path, exclusive)) {
      throw ToolError(InUse(path), ExitInUse);
    } else if (access(path.c_str(), exclusive ? R_OK | W_OK : R_OK) != 0) {
      throw ToolError(path + ": permission denied", ExitDenied);
    }
  }
  if (code == VARNFILE_E_HEADER_UNREADABLE || code == VARNFILE_E_NOT_TRANSACTION_FILE ||
      code == VARNFILE_E_VERSION) {
    std::vector<uint8_t> h = ReadHeaderBytes(path);
    std::string problem = HeaderProblem(path, h.data(), h.size());
    if (!problem.empty()) throw ToolError(problem, ExitDamaged);
  }
  if (code == VARNFILE_E_AGED)
    throw ToolError(path + " has aged (it is older than its aging limit; info shows both): "
                    "read it as it is with --ignore-aging, or rescue it with "
                    "varnfile set --reset-aging (or --aging DAYS)", ExitAged);
  throw ToolError("cannot open " + path + ": " + varn::DescribeResult(code), StatusForResult(code));
}

varn::File OpenItems(const std::string& path, varn::Access access, bool ignoreAging, bool* aged) {
  bool exclusive = access != varn::Access::Read;
  Clock::time_point deadline = Deadline();
  if (aged != nullptr) *aged = false;
  for (;;) {
    varn::File file;
    uint16_t rc = varn::File::TryOpen(path, access, &file);
    if (rc == VARNFILE_OK) return file;
    if (rc == VARNFILE_E_AGED && ignoreAging && !exclusive) {
      if (aged != nullptr) *aged = true;
      return OpenAgedCopy(path);
    }
    if (rc == VARNFILE_E_OPEN && HeldElsewhere(path, exclusive) && WaitMore(deadline)) continue;
    ThrowOpenFailure(path, rc, exclusive);
  }
}

HeaderEditor::HeaderEditor(const std::string& path) : path_(path) {
  fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) ThrowOpenFailure(path, errno == EACCES ? VARNFILE_E_ACCESS : VARNFILE_E_OPEN, true);
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd_);
    throw ToolError(path + " is not a regular file", ExitNoInput);
  }
  try {
    LockLikeLibrary(fd_, path, true);
    ssize_t n = pread(fd_, header_.data(), header_.size(), 0);
    std::string problem = HeaderProblem(path, header_.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!problem.empty()) throw ToolError(problem, ExitDamaged);
  } catch (...) {
    close(fd_);
    throw;
  }
}

HeaderEditor::~HeaderEditor() { close(fd_); }

void HeaderEditor::Write() {
  if (pwrite(fd_, header_.data(), header_.size(), 0) != static_cast<ssize_t>(header_.size()) ||
      fsync(fd_) != 0)
    throw ToolError("cannot write the header of " + path_ + ": " + std::strerror(errno), ExitIo);
}

void StampNow(uint8_t* header) {
  time_t now = time(nullptr);
  struct tm t;
  if (localtime_r(&now, &t) == nullptr) t = {};
  const uint8_t stamp[6] = {static_cast<uint8_t>(t.tm_mon + 1), static_cast<uint8_t>(t.tm_mday),
                            static_cast<uint8_t>(t.tm_year),    static_cast<uint8_t>(t.tm_hour),
                            static_cast<uint8_t>(t.tm_min),     static_cast<uint8_t>(t.tm_sec)};
  std::memcpy(header + StampDateOffset, stamp, sizeof stamp);
}

void ParseAging(const std::string& text, uint8_t* header) {
  const char* what = "--aging";
  std::size_t colon = text.find(':');
  uint16_t days = static_cast<uint16_t>(ParseNumber(text.substr(0, colon), 0xFFFF, what));
  uint8_t hms[3] = {0, 0, 0};
  if (colon != std::string::npos) {
    std::string rest = text.substr(colon + 1);
    const uint64_t max[3] = {23, 59, 59};
    for (int i = 0; i < 3; ++i) {
      std::size_t end = rest.find(':');
      if ((i < 2) != (end != std::string::npos))
        throw ToolError("--aging: expected DAYS or DAYS:HH:MM:SS, got " + Quote(text));
      hms[i] = static_cast<uint8_t>(ParseNumber(rest.substr(0, end), max[i], what));
      rest = end == std::string::npos ? "" : rest.substr(end + 1);
    }
  }
  Put16(header + AgingDaysOffset, days);
  std::memcpy(header + AgingHoursOffset, hms, 3);
}

}  // namespace varntool
