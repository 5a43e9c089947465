#include "open_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/system_clock.h"
#include "raw_file.h"
#include "tool_util.h"

namespace varntool {
namespace {

using Clock = std::chrono::steady_clock;
using varnfile::FileOpenKind;

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

FileOpenKind KindFor(bool exclusive) {
  return exclusive ? varnfile::FileOpenUpdate : varnfile::FileOpenRead;
}

// Tries the open the library would make, and closes it again: 0, or why it
// fails (EWOULDBLOCK: another open holds the file).
int ProbeOpen(const std::string& path, bool exclusive) {
  // Windows opens no directory as a file and calls that "access denied".
  if (varnfile::PlatformIsDirectory(path.c_str())) return EISDIR;
  int fd = -1;
  int error = varnfile::FileOpen(path.c_str(), KindFor(exclusive), &fd);
  if (error == 0) varnfile::FileClose(fd);
  return error;
}

// Throws the ToolError for a failed open of path with errno error, if it
// names a cause the user can act on; returns otherwise.
void ThrowKnownOpenError(const std::string& path, int error) {
  if (StatusForErrno(error, 0) == ExitDenied) throw ToolError(path + ": permission denied", ExitDenied);
  switch (error) {
    case 0: return;
    case ENOENT: throw ToolError(path + ": no such file", ExitNoInput);
    case EISDIR:
    case EINVAL:
    case ENXIO:  // a socket, or a device that is not there
      throw ToolError(path + " is not a regular file", ExitNoInput);
    case EWOULDBLOCK: throw ToolError(InUse(path), ExitInUse);
    default: return;
  }
}

// The header bytes as they lie on disk (fewer when the file is shorter).
std::vector<uint8_t> ReadHeaderBytes(const std::string& path) {
  std::vector<uint8_t> bytes(HeaderSize);
  int fd = -1;
  std::size_t n = varnfile::FileOpen(path.c_str(), varnfile::FileOpenRead, &fd) != 0
                      ? 0 : ReadAt(fd, 0, bytes.data(), bytes.size());
  if (fd >= 0) varnfile::FileClose(fd);
  bytes.resize(n);
  return bytes;
}

// A copy of an aged file with its stamp moved into the future, opened
// read-only. Where the library can open a file without a name (Linux) the
// copy never has one; where the system lets a held file's name go (POSIX)
// it goes once the library holds the copy; elsewhere the copy is removed
// when the tool ends.
varn::File OpenAgedCopy(const std::string& path) {
  int in = OpenLikeLibrary(path, false);  // not while a writer is at work
  std::unique_ptr<ScratchFile> copy;
  char tmp[4096];
  bool ok = true;
  try {
    if (varnfile::PlatformTempDirectory(tmp, sizeof tmp) != 0)
      throw ToolError("cannot make a copy of the aged file: no folder for temporary files", ExitIo);
    copy = std::make_unique<ScratchFile>(tmp, "varnfile-aged", ScratchFile::Naming::Nameless);
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t offset = 0;;) {
      std::size_t n = 0;
      ok = varnfile::FileRead(in, chunk.data(), chunk.size(), &n) == 0;
      if (!ok || n == 0) break;
      if (offset == 0 && n >= HeaderSize) {
        // 1 January 2155: a stamp in the future never ages.
        const uint8_t future[6] = {1, 1, 255, 0, 0, 0};
        std::memcpy(chunk.data() + StampDateOffset, future, sizeof future);
      }
      copy->Write(chunk.data(), n);
      offset += n;
    }
  } catch (...) {
    varnfile::FileClose(in);
    throw;
  }
  varnfile::FileClose(in);
  if (!ok) throw ToolError("cannot make a copy of the aged file " + path, ExitIo);
  varn::File file;
  try {
    file = copy->OpenForReading();
  } catch (const varn::Error& e) {
    ThrowOpenFailure(path, e.code(), false);
  }
  static std::vector<std::unique_ptr<ScratchFile>> heldCopies;
  if (copy->named()) heldCopies.push_back(std::move(copy));
  return file;
}

}  // namespace

std::size_t ReadAt(int fd, uint64_t offset, void* buffer, std::size_t count) {
  int64_t at = 0;
  if (varnfile::FileSeek(fd, static_cast<int64_t>(offset), 0, &at) != 0) return 0;
  std::size_t done = 0;
  for (std::size_t got = 1; done < count && got > 0; done += got) {
    if (varnfile::FileRead(fd, static_cast<uint8_t*>(buffer) + done, count - done, &got) != 0) break;
  }
  return done;
}

int OpenLikeLibrary(const std::string& path, bool exclusive) {
  Clock::time_point deadline = Deadline();
  for (;;) {
    int fd = -1;
    int error = varnfile::PlatformIsDirectory(path.c_str())
                    ? EISDIR : varnfile::FileOpen(path.c_str(), KindFor(exclusive), &fd);
    if (error == 0) return fd;
    if (error == EWOULDBLOCK && WaitMore(deadline)) continue;
    ThrowKnownOpenError(path, error);
    throw SystemError("cannot open " + path, error, ExitIo);
  }
}

std::string HeaderProblem(const std::string& path, const uint8_t* h, std::size_t size) {
  if (size < HeaderSize)
    return path + " is not a transaction file (" + std::to_string(size) +
           " bytes, shorter than a header)";
  if (std::memcmp(h, "KVRW", 4) != 0) {
    // A header zeroed (as a power cut can leave it) or with only its magic
    // damaged: the records behind it may all be there.
    const uint16_t version = Get16(h + VersionOffset);
    const char* why = IsZeroHeader(h) ? "its header is all zeros"
                      : IsReadableVersion(version) ? "its magic is damaged"
                                                         : nullptr;
    if (why == nullptr) return path + " is not a transaction file (no KVRW magic)";
    return path + " is not a transaction file (no KVRW magic: " + why +
           "); if it was one, varnfile recover reads the records behind its header into a new file";
  }
  uint16_t version = Get16(h + VersionOffset);
  if (!IsReadableVersion(version))
    return path + " has format version " + std::to_string(version) + "; versions " +
           std::to_string(OldestReadVersion) + " to " + std::to_string(NewestReadVersion) + " are read";
  if (Get16(h + ClosedMarkerOffset) == 0)
    return path + " was never closed properly (its writer stopped first); varnfile recover "
           "copies its items into a new file, closed properly";
  return "";
}

bool NeverClosed(const uint8_t* h, std::size_t size) {
  if (size < HeaderSize || std::memcmp(h, "KVRW", 4) != 0) return false;
  const uint16_t version = Get16(h + VersionOffset);
  return IsReadableVersion(version) && Get16(h + ClosedMarkerOffset) == 0;
}

int64_t AgingSeconds(const uint8_t* header) {
  return int64_t{Get16(header + AgingDaysOffset)} * 86400 + header[AgingHoursOffset] * 3600 +
         header[AgingHoursOffset + 1] * 60 + header[AgingHoursOffset + 2];
}

void ThrowOpenFailure(const std::string& path, uint16_t code, bool exclusive) {
  // The library cannot seek in a file past 4 GiB: it says so as a seek that
  // failed, every command here as what the file is.
  uint64_t size = 0;
  if (code != VARNFILE_E_CREATE && code != VARNFILE_E_MKDIR && varnfile::PlatformFileSize(path.c_str(), &size) == 0 &&
      size > LargestFileSize)
    throw TooLargeForTransactionFile(path);
  if (code == VARNFILE_E_OPEN || code == VARNFILE_E_CREATE || code == VARNFILE_E_ACCESS) {
    int error = ProbeOpen(path, exclusive);
    // A file that may not be written is still in use when a reader cannot
    // have it either.
    if (error == EACCES && exclusive && ProbeOpen(path, false) == EWOULDBLOCK) error = EWOULDBLOCK;
    // A file not made yet: its directory says why it cannot be.
    if (error == ENOENT && code == VARNFILE_E_CREATE)
      error = varnfile::PlatformAccess(DirectoryOf(path).c_str(), 2);
    ThrowKnownOpenError(path, error);
    // A cause of the system's (a read-only file system, a symbolic link
    // loop) is named as it is, not as a missing file.
    if (error != 0 && error != ENOENT)
      throw SystemError(std::string(code == VARNFILE_E_CREATE ? "cannot create " : "cannot open ") + path,
                        error, ExitIo);
  }
  if (code == VARNFILE_E_MKDIR) {
    // The nearest directory that exists says why none can be made in it.
    std::string dir = DirectoryOf(path);
    while (!FileExists(dir) && DirectoryOf(dir) != dir) dir = DirectoryOf(dir);
    int error = !varnfile::PlatformIsDirectory(dir.c_str()) ? ENOTDIR : varnfile::PlatformAccess(dir.c_str(), 2);
    if (error != 0)
      throw SystemError("cannot create the directories of " + path + " in " + dir, error, ExitCannotCreate);
  }
  if (code == VARNFILE_E_HEADER_UNREADABLE || code == VARNFILE_E_NOT_TRANSACTION_FILE ||
      code == VARNFILE_E_VERSION) {
    std::vector<uint8_t> h = ReadHeaderBytes(path);
    std::string problem = HeaderProblem(path, h.data(), h.size());
    if (!problem.empty()) throw ToolError(problem, ExitDamaged);
  }
  if (code == VARNFILE_E_AGED)  // only commands that read take --ignore-aging
    throw ToolError(path + " has aged (it is older than its aging limit; info shows both): " +
                    (exclusive ? "" : "read it as it is with --ignore-aging, or ") +
                    "rescue it with varnfile set --reset-aging (or --aging DAYS)", ExitAged);
  // The library checks the last record at an open for update: a file cut
  // short in a write (a crash, a full disk, a copy of a file being written)
  // fails here. A reader gets the items before the damage.
  std::string hint = code == VARNFILE_E_READ
                         ? " (its last record is incomplete or does not link back; "
                           "varnfile recover salvages its items)"
                         : "";
  throw ToolError("cannot open " + path + ": " + varn::DescribeResult(code) + hint,
                  StatusForResult(code));
}

varn::File OpenItems(const std::string& path, varn::Access access, bool ignoreAging, bool* aged) {
  bool exclusive = access != varn::Access::Read;
  Clock::time_point deadline = Deadline();
  if (aged != nullptr) *aged = false;
  bool retriedAfterRelease = false;
  for (;;) {
    varn::File file;
    uint16_t rc = varn::File::TryOpen(path, access, &file);
    if (rc == VARNFILE_OK) return file;
    if (rc == VARNFILE_E_AGED && ignoreAging && !exclusive) {
      if (aged != nullptr) *aged = true;
      return OpenAgedCopy(path);
    }
    if (rc == VARNFILE_E_OPEN) {
      int probe = ProbeOpen(path, exclusive);
      if (probe == EWOULDBLOCK && WaitMore(deadline)) continue;
      // The holder let go between the open and the probe: open again once,
      // rather than report a file that opens as unopenable.
      if (probe == 0 && !retriedAfterRelease) {
        retriedAfterRelease = true;
        continue;
      }
    }
    ThrowOpenFailure(path, rc, exclusive);
  }
}

HeaderEditor::HeaderEditor(const std::string& path) : path_(path) {
  fd_ = OpenLikeLibrary(path, true);
  std::size_t n = ReadAt(fd_, 0, header_.data(), header_.size());
  std::string problem = HeaderProblem(path, header_.data(), n);
  if (!problem.empty()) {
    varnfile::FileClose(fd_);
    throw ToolError(problem, ExitDamaged);
  }
  original_ = header_;
}

HeaderEditor::~HeaderEditor() { varnfile::FileClose(fd_); }

void HeaderEditor::Write() {
  // The file is open for write-through, as the library opens it: the write
  // is on the disk when it returns.
  int64_t at = 0;
  int error = varnfile::FileSeek(fd_, 0, 0, &at);
  if (error == 0) error = varnfile::FileWrite(fd_, header_.data(), header_.size());
  if (error != 0) {
    // A write that failed part-way left the new header's first bytes on
    // the old one: put the old bytes back (once, as far as they go), so
    // that the failed set leaves the header as it found it.
    if (varnfile::FileSeek(fd_, 0, 0, &at) == 0)
      varnfile::FileWrite(fd_, original_.data(), original_.size());
    // What the header holds now, read again, says whether to run set again.
    HeaderImage now{};
    const std::size_t got = ReadAt(fd_, 0, now.data(), now.size());
    const std::string state = got == now.size() && now == original_ ? "; the header is as it was"
                              : got == now.size() && now == header_
                                  ? "; the header holds the new fields all the same"
                                  : "; the header holds part of the new fields (run the same set again)";
    const std::string cause = WriteFailureCause(error, path_);
    throw ToolError("cannot write the header of " + path_ + ": " + (cause.empty() ? std::strerror(error) : cause) +
                        state,
                    StatusForErrno(error, ExitIo));
  }
}

void StampNow(uint8_t* header) {
  int64_t now = 0;
  uint32_t milliseconds = 0;
  varnfile::PlatformClockNow(&now, &milliseconds);
  varnfile::CalendarTime t = {};
  varnfile::PlatformLocalTime(now, &t);
  const uint8_t stamp[6] = {static_cast<uint8_t>(t.month + 1), static_cast<uint8_t>(t.day),
                            static_cast<uint8_t>(t.yearsSince1900), static_cast<uint8_t>(t.hour),
                            static_cast<uint8_t>(t.minute), static_cast<uint8_t>(t.second)};
  std::memcpy(header + StampDateOffset, stamp, sizeof stamp);
}

void ParseAging(const std::string& text, uint8_t* header) {
  const char* what = "--aging";
  // Whole days, or days and a time of day: one number or four, none empty.
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == ':') parts.emplace_back();
    else parts.back() += c;
  }
  auto number = [](const std::string& part) {
    const bool hex = part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    return !part.empty() && part.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789",
                                                   hex ? 2 : 0) == std::string::npos;
  };
  if ((parts.size() != 1 && parts.size() != 4) || !std::all_of(parts.begin(), parts.end(), number))
    throw ToolError("--aging: expected DAYS or DAYS:HH:MM:SS (whole days, or days and hours, "
                    "minutes, seconds: 30, 0:12:00:00), got " + Quote(text));
  // Days past the 32-bit count of seconds are refused below, with the limit.
  const uint64_t days = ParseNumber(parts[0], 0xFFFFFFFF, what);
  uint8_t hms[3] = {0, 0, 0};
  const uint64_t max[3] = {23, 59, 59};
  for (std::size_t i = 1; i < parts.size(); ++i)
    hms[i - 1] = static_cast<uint8_t>(ParseNumber(parts[i], max[i - 1], what));
  // The library counts the limit in seconds, in 32 bits: a longer one
  // would wrap round and age the file far sooner than asked.
  const uint64_t seconds = days * 86400ull + hms[0] * 3600ull + hms[1] * 60ull + hms[2];
  if (seconds > 0xFFFFFFFFull) {
    throw ToolError("--aging: at most 49710:06:28:15 (the limit is counted in seconds, in 32 "
                    "bits), got " + Quote(text));
  }
  Put16(header + AgingDaysOffset, static_cast<uint16_t>(days));
  std::memcpy(header + AgingHoursOffset, hms, 3);
}

}  // namespace varntool
