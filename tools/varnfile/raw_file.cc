#include "raw_file.h"

#include <algorithm>
#include <cstring>

#include "open_file.h"
#include "platform/file.h"
#include "tool_util.h"

namespace varntool {

bool IsZeroHeader(const uint8_t* header) {
  return std::all_of(header, header + HeaderSize, [](uint8_t b) { return b == 0; });
}

namespace {

// An item header and the trailer's record start: where these are all zero
// bytes, no record starts.
constexpr uint64_t ZeroFrame = ItemHeaderSize + 4;

}  // namespace

RawFile::~RawFile() { varnfile::FileUnmap(data_, size_); }

void RawFile::Open(const std::string& path) {
  // Not while a writer holds the file: its bytes may be half written.
  int fd = OpenLikeLibrary(path, false);
  int64_t end = 0;
  int error = varnfile::FileSeek(fd, 0, 2, &end);
  if (error == 0 && static_cast<uint64_t>(end) > LargestFileSize) {
    varnfile::FileClose(fd);
    throw TooLargeForTransactionFile(path);
  }
  if (error == 0) FindHoles(fd, end);
  const void* view = nullptr;
  CatchCutMappings();
  if (error == 0 && end > 0) error = varnfile::FileMapRead(fd, static_cast<uint64_t>(end), &view);
  varnfile::FileClose(fd);
  if (error != 0) throw SystemError("cannot map " + path, error, ExitIo);
  size_ = static_cast<uint64_t>(end);
  data_ = static_cast<const uint8_t*>(view);
}

void RawFile::FindHoles(int fd, int64_t size) {
  holes_.clear();
  int64_t at = 0;
  // A file of many small holes keeps the first ones; the rest is read.
  while (at < size && holes_.size() < MaxHoles) {
    int64_t data = at, hole = size;
    if (varnfile::FileFindData(fd, at, size, &data, &hole) != 0) break;
    if (data > at) holes_.emplace_back(at, data);
    if (data >= size || hole <= data) break;
    at = hole;
  }
}

uint64_t RawFile::HoleEnd(uint64_t position) const {
  auto after = std::upper_bound(
      holes_.begin(), holes_.end(), position,
      [](uint64_t p, const std::pair<uint64_t, uint64_t>& h) { return p < h.first; });
  if (after == holes_.begin()) return position;
  const auto& hole = *(after - 1);
  return position < hole.second ? hole.second : position;
}

uint64_t RawFile::ZeroesEnd(uint64_t position) const {
  uint64_t p = HoleEnd(position);
  while (p < size_) {
    // Eight bytes at a time up to the next page, where a hole may begin.
    const uint64_t page = (p | (PageSize - 1)) + 1;
    const uint64_t stop = page < size_ ? page : size_;
    while (p + 8 <= stop) {
      uint64_t word;
      std::memcpy(&word, data_ + p, 8);
      if (word != 0) break;
      p += 8;
    }
    while (p < stop && data_[p] == 0) ++p;
    if (p < stop) return p;
    p = HoleEnd(p);
  }
  return size_;
}

const char* DescribeFrameProblem(FrameProblem problem) {
  switch (problem) {
    case FrameProblem::None: return "consistent";
    case FrameProblem::Truncated: return "record runs past the end of the file";
    case FrameProblem::TrailerStart: return "trailer does not point back at its record";
    case FrameProblem::TrailerFlags: return "trailer holds unknown flags";
    case FrameProblem::Lengths: return "length and stored length do not fit the method";
    case FrameProblem::ResetPoint: return "reset point that the records behind it contradict";
  }
  return "unknown";
}

uint16_t MethodReadAs(uint16_t method) {
  if (method <= VARNFILE_METHOD_DEFLATE) return method;
  return (method & 2) != 0 ? VARNFILE_METHOD_CHAINED_DEFLATE : VARNFILE_METHOD_DEFLATE;
}

namespace {

// Whether the lengths an item header gives fit `method`.
bool LengthsFit(const RecordFrame& frame, uint16_t method) {
  uint32_t length = frame.length, stored = frame.storedLength;
  if (length == 0 && frame.crc != 0) return false;
  switch (method) {
    case VARNFILE_METHOD_NONE:
      return stored == length;
    case VARNFILE_METHOD_PREDICTOR:
    case VARNFILE_METHOD_CHAINED_PREDICTOR: {
      // One flag byte per group of 8 data bytes, plus at most 8 literals.
      uint32_t groups = (length + 7) / 8;
      return stored >= groups && stored <= length + groups;
    }
    default:
      return (length == 0) == (stored == 0);
  }
}

// Reads the item header and the trailer flags; Truncated when the record
// runs past the end of the file, else the trailer's problem (None when it
// points back and holds no unknown flag).
FrameProblem ReadFrame(const RawFile& file, uint64_t position, RecordFrame* frame) {
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
  return FrameProblem::None;
}

}  // namespace

FrameProblem CheckFrame(const RawFile& file, uint64_t position, uint16_t method,
                        RecordFrame* frame) {
  FrameProblem problem = ReadFrame(file, position, frame);
  if (problem != FrameProblem::None) return problem;
  return LengthsFit(*frame, method) ? FrameProblem::None : FrameProblem::Lengths;
}

FrameProblem CheckRecord(const RawFile& file, uint64_t position, uint16_t method,
                         RecordFrame* frame) {
  FrameProblem problem = ReadFrame(file, position, frame);
  if (problem == FrameProblem::Truncated) return problem;
  bool fit = LengthsFit(*frame, method);
  if (problem == FrameProblem::None) return fit ? problem : FrameProblem::Lengths;
  // Only the trailer is wrong. One damaged byte there costs no item when
  // the lengths and the record behind confirm where this record ends. A
  // record of nothing but zero bytes is the zero-filled tail of a file
  // whose writer stopped, not an item of command 0 whose trailer is gone.
  const uint8_t* bytes = file.data() + position;
  bool zeros = std::all_of(bytes, bytes + RecordOverhead + frame->storedLength,
                           [](uint8_t b) { return b == 0; });
  RecordFrame next;
  if (fit && !zeros && (frame->next() == file.size() ||
              CheckFrame(file, frame->next(), method, &next) == FrameProblem::None)) {
    frame->trailerDamage = problem;
    return FrameProblem::None;
  }
  return problem;
}

uint32_t FindNextFrame(const RawFile& file, uint64_t from, uint16_t method) {
  RecordFrame frame;
  for (uint64_t q = from + 1; q + RecordOverhead <= file.size(); ++q) {
    // No record starts where ZeroFrame zero bytes do: its stored length
    // would be 0 and its trailer would name position 0. A zero-filled or
    // sparse stretch (a writer stopped after extending its file) is passed
    // in one step, up to where its last ZeroFrame bytes begin.
    if (file.data()[q] == 0) {
      const uint64_t end = file.ZeroesEnd(q);
      if (end - q >= ZeroFrame) {
        q = end - ZeroFrame;
        continue;
      }
    }
    // Cheap test first: the record must end inside the file, and its
    // trailer's record start must name q.
    const uint32_t stored = Get16(file.data() + q + 10);
    if (!file.Has(q, RecordOverhead + uint64_t{stored}) ||
        Get32(file.data() + q + ItemHeaderSize + stored) != q)
      continue;
    if (CheckFrame(file, q, method, &frame) == FrameProblem::None) return static_cast<uint32_t>(q);
  }
  return 0;
}

FramingFault CheckFraming(const RawFile& file, uint16_t method) {
  FramingFault fault;
  uint64_t p = FirstItemPosition;
  while (p < file.size()) {
    RecordFrame frame;
    fault.problem = CheckFrame(file, p, method, &frame);
    if (fault.problem != FrameProblem::None) {
      fault.position = static_cast<uint32_t>(p);
      return fault;
    }
    p = frame.next();
  }
  return fault;
}

RecordScan ScanRecords(const RawFile& file, uint16_t method, std::size_t maxRecords) {
  RecordScan scan;
  uint64_t p = FirstItemPosition;
  while (p < file.size() && scan.records.size() < maxRecords) {
    RecordFrame frame;
    FrameProblem problem = CheckRecord(file, p, method, &frame);
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
