// Read-only access to the bytes of a transaction file, for the subcommands
// that must look where the library will not: deleted records, stored lengths,
// and files the library refuses (never closed, torn, damaged).
//
// Layout (little-endian, unpadded): a 174-byte header, then records laid end
// to end. A record at P is a 14-byte item header (command id, extra id,
// value, length, stored length, crc), the stored bytes, and an 8-byte trailer
// (record start = P, flags; bit 0 marks the last record before a reset point
// of the chained methods).
#ifndef VARNFILE_TOOLS_RAW_FILE_H_
#define VARNFILE_TOOLS_RAW_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace varntool {

constexpr uint32_t HeaderSize = 174;
constexpr uint32_t FirstItemPosition = 174;
constexpr uint32_t ItemHeaderSize = 14;
constexpr uint32_t TrailerSize = 8;
constexpr uint32_t RecordOverhead = ItemHeaderSize + TrailerSize;
constexpr uint16_t EndMarkerCommand = 0xFF02;
constexpr uint16_t DeletedCommand = 0xFF04;
constexpr uint32_t ResetPointFlag = 1;

// Header field offsets.
constexpr std::size_t MagicOffset = 0;
constexpr std::size_t VersionOffset = 4;
constexpr std::size_t BaseNameOffset = 20;
constexpr std::size_t BaseNameSize = 16;
constexpr std::size_t StampDateOffset = 36;
constexpr std::size_t StampTimeOffset = 39;
constexpr std::size_t AgingDaysOffset = 42;
constexpr std::size_t AgingHoursOffset = 44;
constexpr std::size_t CompressionOffset = 47;
constexpr std::size_t FlagsOffset = 73;
constexpr std::size_t DescriptionOffset = 77;
constexpr std::size_t DescriptionSize = 65;
constexpr std::size_t ClosedMarkerOffset = 142;

// True for a header of zeros, as a power cut can leave it: it names nothing.
bool IsZeroHeader(const uint8_t* header);

// The format versions this tool (and the library) read: 264 to 272.
constexpr uint16_t OldestReadVersion = 264;
constexpr uint16_t NewestReadVersion = 272;
inline bool IsReadableVersion(uint16_t version) {
  return version >= OldestReadVersion && version <= NewestReadVersion;
}

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Text of a NUL-terminated header field, stopping at the field's end.
inline std::string HeaderText(const uint8_t* field, std::size_t size) {
  std::size_t n = 0;
  while (n < size && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

// The whole file mapped read-only; the file itself is never changed. If
// another program cuts it short meanwhile, reading the lost bytes ends the
// tool with ExitIo (CatchCutMappings).
class RawFile {
 public:
  RawFile() = default;
  ~RawFile();
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  // Maps `path`; throws ToolError when it cannot be read. Files of 4 GiB
  // or more cannot be transaction files (positions are 32-bit) and are refused.
  void Open(const std::string& path);

  uint64_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  // True when [position, position + length) lies inside the file.
  bool Has(uint64_t position, uint64_t length) const {
    return position <= size_ && length <= size_ - position;
  }
  // The first position at or after `position` whose byte is not zero, or
  // the size. Holes of a sparse file are passed over without reading them
  // (which would fill memory with their zeros).
  uint64_t ZeroesEnd(uint64_t position) const;

 private:
  static constexpr uint64_t PageSize = 4096;
  static constexpr std::size_t MaxHoles = 1 << 16;

  // Notes where the open file `fd` of `size` bytes has holes.
  void FindHoles(int fd, int64_t size);
  // The end of the hole that holds position, or position when none does.
  uint64_t HoleEnd(uint64_t position) const;

  const uint8_t* data_ = nullptr;  // mapped; null for an empty file
  uint64_t size_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> holes_;  // [start, end), in order
};

enum class FrameProblem {
  None,
  Truncated,       // the record runs past the end of the file
  TrailerStart,    // the trailer does not point back at the record
  TrailerFlags,    // unknown trailer flag bits
  Lengths,         // length and stored length cannot belong together
  ResetPoint,      // a whole trailer's reset point that the records behind contradict
};

// One record as its bytes frame it.
struct RecordFrame {
  uint32_t position = 0;
  uint16_t command = 0;
  uint16_t extra = 0;
  uint32_t value = 0;
  uint16_t length = 0;
  uint16_t storedLength = 0;
  uint16_t crc = 0;
  uint32_t trailerFlags = 0;
  // TrailerStart or TrailerFlags: the record's own trailer is damaged, but
  // its item header and the record behind it frame it (see CheckRecord).
  FrameProblem trailerDamage = FrameProblem::None;

  uint32_t next() const { return position + RecordOverhead + storedLength; }
};

const char* DescribeFrameProblem(FrameProblem problem);

// Reads the item header at `position` into *frame (also when the rest fails)
// and checks that the record is framed consistently for `method`: it ends
// inside the file, its trailer points back at it with no unknown flags, and
// its stored length fits its length under the method.
FrameProblem CheckFrame(const RawFile& file, uint64_t position, uint16_t method,
                        RecordFrame* frame);

// As CheckFrame, but a record whose own trailer is damaged (it does not
// point back, or it holds unknown flags) is still a record when everything
// else frames it: its lengths fit the method, it ends inside the file, and
// a consistently framed record starts where it ends (or the file ends
// there). The library reads such a record forwards; frame->trailerDamage
// then names the damage and None is returned. A damaged flags word leaves
// the record's reset-point bit in doubt.
FrameProblem CheckRecord(const RawFile& file, uint64_t position, uint16_t method,
                         RecordFrame* frame);

// The first position after `from` where a consistently framed record starts,
// or 0 when there is none.
uint32_t FindNextFrame(const RawFile& file, uint64_t from, uint16_t method);

// Where the bytes stop framing the file as a writer leaves it: the first
// record, from the first item position on, that does not end inside the
// file, whose trailer does not point back at it or holds unknown flags,
// or whose lengths do not fit `method` (bytes past the last record
// included). problem is None when every record is framed and the last one
// ends where the file ends. Copying a file whole is sound only then: the
// library reads past a trailer that does not point back.
struct FramingFault {
  uint32_t position = 0;
  FrameProblem problem = FrameProblem::None;
};
FramingFault CheckFraming(const RawFile& file, uint16_t method);

// Bytes that hold no consistent record.
struct DamagedRange {
  uint32_t from = 0;
  uint64_t to = 0;  // exclusive
  FrameProblem problem = FrameProblem::None;
  RecordFrame claimed;  // what the item header at `from` said
};

// Every record from the first item position on, in file order (framed
// consistently, or as CheckRecord accepts it with a damaged trailer), and
// the ranges between them that frame nothing.
struct RecordScan {
  std::vector<RecordFrame> records;
  std::vector<DamagedRange> damaged;
  // Index into records of the first record after each damaged range.
  std::vector<std::size_t> resumeIndex;
};

// The method 0 to 4 under which the library reads the items of a file
// whose header names `method`. Writers set only those five values; any
// other (damage, or a foreign writer) goes through the codec's two tests:
// 1 and 3 select the predictor, every other value DEFLATE, and the bit of
// value 2 chains the items.
uint16_t MethodReadAs(uint16_t method);

// Stops after maxRecords records.
RecordScan ScanRecords(const RawFile& file, uint16_t method, std::size_t maxRecords = SIZE_MAX);

// What recover salvages of a file: every record its bytes frame, read back
// through the library from a scratch copy (in $TMPDIR or /tmp) under the
// method the items decode with, whatever the header says. This is how info
// and verify count the items of a file that was never closed, which the
// library will not open. (Made by recover's own reading, in cmd_recover.cc.)
struct SalvageCount {
  uint16_t method = 0;      // the method the items are read with
  std::size_t records = 0;  // framed records
  uint64_t live = 0, deleted = 0, markers = 0;  // read whole, passing their CRC
  uint64_t dataBytes = 0, storedBytes = 0;      // of those
  // What recover would drop, in file order: records whose data do not
  // decode to their CRC, bytes that frame no record.
  std::vector<std::pair<uint32_t, std::string>> dropped;
};
SalvageCount CountSalvage(const RawFile& raw);

}  // namespace varntool

#endif  // VARNFILE_TOOLS_RAW_FILE_H_
