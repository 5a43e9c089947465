#include "raw_file.h"

#include <sys/stat.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "open_file.h"
#include "tool_util.h"

namespace varntool {

#if defined(_WIN32)
// Windows: the file is read into memory whole rather than mapped.
RawFile::~RawFile() { std::free(map_); }

void RawFile::Open(const std::string& path) {
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) != _S_IFREG)
    throw ToolError("cannot read " + path + ": not a regular file");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (errno == ENOENT) throw varn::Error(VARNFILE_E_OPEN, "open " + path);
    throw ToolError("cannot read " + path + ": " + std::strerror(errno));
  }
  if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(file);
    throw ToolError("cannot read " + path + ": not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
    std::fclose(file);
    throw ToolError(path + " is larger than 4 GiB and cannot be a transaction file");
  }
  size_ = static_cast<uint64_t>(st.st_size);
  map_ = std::malloc(size_ > 0 ? size_ : 1);
  bool complete = map_ != nullptr && std::fread(map_, 1, size_, file) == size_;
  std::fclose(file);
  if (!complete) throw ToolError("cannot read " + path);
  data_ = static_cast<const uint8_t*>(map_);
}
#else
RawFile::~RawFile() {
  if (map_ != nullptr) munmap(map_, size_);
}

void RawFile::Open(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
  if (fd < 0) {
    if (errno == ENOENT) throw ToolError(path + ": no such file", ExitNoInput);
    throw ToolError("cannot read " + path + ": " + std::strerror(errno),
                    errno == EACCES ? ExitDenied : ExitIo);
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw ToolError(path + " is not a regular file", ExitNoInput);
  }
  if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
    close(fd);
    throw ToolError(path + " is larger than 4 GiB and cannot be a transaction file", ExitDamaged);
  }
  // Not while a writer holds the file: its bytes may be half written.
  try {
    LockLikeLibrary(fd, path, false);
  } catch (...) {
    close(fd);
    throw;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  if (size_ > 0) {
    map_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map_ == MAP_FAILED) {
      map_ = nullptr;
      int error = errno;
      close(fd);
      throw ToolError("cannot map " + path + ": " + std::strerror(error), ExitIo);
    }
    data_ = static_cast<const uint8_t*>(map_);
  }
  close(fd);
}
#endif

const char* DescribeFrameProblem(FrameProblem problem) {
  switch (problem) {
    case FrameProblem::None: return "consistent";
    case FrameProblem::Truncated: return "record runs past the end of the file";
    case FrameProblem::TrailerStart: return "trailer does not point back at its record";
    case FrameProblem::TrailerFlags: return "trailer holds unknown flags";
    case FrameProblem::Lengths: return "length and stored length do not fit the method";
  }
  return "unknown";
}

FrameProblem CheckFrame(const RawFile& file, uint64_t position, uint16_t method,
                        RecordFrame* frame) {
  *frame = RecordFrame();
  frame->position = static_cast<uint32_t>(position);
  if (!file.Has(position, ItemHeaderSize)) return FrameProblem::Truncated;
  const uint8_t* h = file.data() + position;
  frame->command = Get16(h);
  frame->extra = Get16(h + 2);
  frame->value = Get32(h + 4);
  frame->length = Get16(h + 8);
  frame->storedLength = Get16(h + 10);
  frame->crc = Get16(h + 12);
  if (!file.Has(position, RecordOverhead + uint64_t{frame->storedLength}))
    return FrameProblem::Truncated;
  const uint8_t* t = h + ItemHeaderSize + frame->storedLength;
  frame->trailerFlags = Get32(t + 4);
  if (Get32(t) != position) return FrameProblem::TrailerStart;
  if ((frame->trailerFlags & ~ResetPointFlag) != 0) return FrameProblem::TrailerFlags;
  uint32_t length = frame->length, stored = frame->storedLength;
  if (length == 0 && frame->crc != 0) return FrameProblem::Lengths;
  switch (method) {
    case VARNFILE_METHOD_NONE:
      if (stored != length) return FrameProblem::Lengths;
      break;
    case VARNFILE_METHOD_PREDICTOR:
    case VARNFILE_METHOD_CHAINED_PREDICTOR: {
      // One flag byte per group of 8 data bytes, plus at most 8 literals.
      uint32_t groups = (length + 7) / 8;
      if (stored < groups || stored > length + groups) return FrameProblem::Lengths;
      break;
    }
    default:
      if ((length == 0) != (stored == 0)) return FrameProblem::Lengths;
      break;
  }
  return FrameProblem::None;
}

uint32_t FindNextFrame(const RawFile& file, uint64_t from, uint16_t method) {
  RecordFrame frame;
  for (uint64_t q = from + 1; q + RecordOverhead <= file.size(); ++q) {
    // Cheap test first: the trailer's record start must name q.
    if (CheckFrame(file, q, method, &frame) == FrameProblem::None) return static_cast<uint32_t>(q);
  }
  return 0;
}

RecordScan ScanRecords(const RawFile& file, uint16_t method, std::size_t maxRecords) {
  RecordScan scan;
  uint64_t p = FirstItemPosition;
  while (p < file.size() && scan.records.size() < maxRecords) {
    RecordFrame frame;
    FrameProblem problem = CheckFrame(file, p, method, &frame);
    if (problem == FrameProblem::None) {
      scan.records.push_back(frame);
      p = frame.next();
      continue;
    }
    DamagedRange range;
    range.from = static_cast<uint32_t>(p);
    range.problem = problem;
    range.claimed = frame;
    uint32_t resume = FindNextFrame(file, p, method);
    range.to = resume != 0 ? resume : file.size();
    scan.damaged.push_back(range);
    scan.resumeIndex.push_back(scan.records.size());
    if (resume == 0) break;
    p = resume;
  }
  return scan;
}

}  // namespace varntool
