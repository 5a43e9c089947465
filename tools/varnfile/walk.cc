#include "walk.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <set>

#include "platform/file_system.h"
#include "tool_util.h"

namespace varntool {

const char* CrcStateName(CrcState state) {
  switch (state) {
    case CrcState::Ok: return "ok";
    case CrcState::Bad: return "BAD";
    case CrcState::None: return "none";
    case CrcState::Unchecked: return "-";
  }
  return "?";
}

namespace {

// What to do about a record that cannot be read.
const char* const SalvageHint =
    "varnfile verify names every damaged record, varnfile recover salvages the items around them";

// What a walk reports of a record at `position` that is not framed whole.
DamagedRecord Damaged(uint32_t position, FrameProblem problem) {
  return DamagedRecord(position, DescribeFrameProblem(problem),
                       "record at " + std::to_string(position) + ": " + DescribeFrameProblem(problem) +
                           " (" + SalvageHint + ")");
}

// The record at `position`. Its own damaged trailer does not stop a walk:
// the library reads on past it, and so does the walk, which reports it once
// per run.
RecordFrame FrameAt(const RawFile& raw, uint32_t position, uint16_t method) {
  RecordFrame frame;
  FrameProblem problem = CheckRecord(raw, position, method, &frame);
  if (problem != FrameProblem::None) throw Damaged(position, problem);
  static std::set<uint32_t> reported;
  if (frame.trailerDamage != FrameProblem::None && reported.insert(position).second)
    Report("warning: record at %u: %s; its item is read on (varnfile recover repairs the "
           "trailer)\n", position, DescribeFrameProblem(frame.trailerDamage));
  return frame;
}

// The deleted records in [from, to), in file order.
std::vector<Entry> DeletedBetween(const RawFile& raw, uint32_t from, uint32_t to, uint16_t method) {
  std::vector<Entry> entries;
  while (from < to) {
    Entry entry;
    entry.kind = EntryKind::Deleted;
    entry.frame = FrameAt(raw, from, method);
    if (entry.frame.next() > to)
      throw DamagedRecord(from, "overlaps the next item",
                          "record at " + std::to_string(from) + " overlaps the next item");
    from = entry.frame.next();
    entries.push_back(entry);
  }
  return entries;
}

class Walker {
 public:
  Walker(varn::File& file, const RawFile& raw, bool includeDeleted, const EntryVisitor& visit)
      : file_(file), raw_(raw), method_(static_cast<uint16_t>(file.method())),
        includeDeleted_(includeDeleted), visit_(visit) {}

  // A read that the library refused at `position` (a live item's start; 0
  // where the step back found none): damage its record's frame shows is
  // named as such; anything else (the file cut short, a link that leads
  // nowhere) is the library's code, with what to do about it.
  [[noreturn]] void ReadFailed(uint16_t rc, uint32_t position, const std::string& what) {
    RecordFrame frame;
    if (rc == VARNFILE_E_READ && position != 0 &&
        CheckRecord(raw_, position, method_, &frame) != FrameProblem::None)
      FrameAt(raw_, position, method_);
    if (rc == VARNFILE_E_READ)
      throw DamagedRecord(position, varn::DescribeResult(rc),
                          what + ": " + varn::DescribeResult(rc) + " (" + SalvageHint + ")");
    throw varn::Error(rc, what);
  }

  // Reads the entry at the cursor, which the library has just located: a
  // live item, or an end marker when `atMarker`.
  Entry ReadHere(bool atMarker) {
    Entry entry;
    uint32_t position = file_.Tell();
    entry.frame = FrameAt(raw_, position, method_);
    if (atMarker) {
      entry.kind = EntryKind::EndMarker;
      return entry;
    }
    uint16_t length = VARNFILE_MAX_ITEM_LENGTH;
    uint16_t command, extra;
    uint32_t value;
    uint16_t rc = VARNFileReadItem(file_.handle(), &command, &extra, &value, &length, buffer_.data());
    if (rc != VARNFILE_OK && rc != VARNFILE_E_CRC)
      ReadFailed(rc, position, "read item at " + std::to_string(position));
    data_.assign(buffer_.begin(), buffer_.begin() + length);
    entry.frame.command = command;
    entry.frame.extra = extra;
    entry.frame.value = value;
    entry.frame.length = length;
    entry.data = &data_;
    if (rc == VARNFILE_E_CRC) entry.crc = CrcState::Bad;
    else entry.crc = entry.frame.crc == 0 ? CrcState::None : CrcState::Ok;
    return entry;
  }

  bool Gap(uint32_t from, uint32_t to, bool reverse) {
    if (!includeDeleted_ || from >= to) return true;
    std::vector<Entry> deleted = DeletedBetween(raw_, from, to, method_);
    if (reverse) std::reverse(deleted.begin(), deleted.end());
    for (const Entry& entry : deleted)
      if (!visit_(entry)) return false;
    return true;
  }

  void Forward(uint32_t from) {
    uint32_t end = file_.SeekToEnd();
    file_.Seek(from);
    uint32_t expected = std::max<uint32_t>(from, FirstItemPosition);
    for (;;) {
      uint16_t command, extra;
      uint32_t value;
      uint16_t rc = VARNFileReadCmdID(file_.handle(), &command, &extra, &value);
      uint32_t here = file_.Tell();
      bool atMarker = false;
      if (rc == VARNFILE_E_END_OF_FILE) {
        if (here >= end) {
          Gap(expected, end, false);
          return;
        }
        atMarker = true;
      } else if (rc != VARNFILE_OK) {
        ReadFailed(rc, here, "read item at " + std::to_string(here));
      }
      if (here < expected)
        throw DamagedRecord(here, "lies before the end of the item before it",
                            "the item at " + std::to_string(here) + " lies before the end of the one read");
      if (!Gap(expected, here, false)) return;
      Entry entry = ReadHere(atMarker);
      expected = entry.frame.next();
      if (!visit_(entry)) return;
      file_.Seek(expected);
    }
  }

  void Backward(uint32_t from) {
    uint32_t end = file_.SeekToEnd();
    if (from != 0 && from < end) file_.Seek(from);
    uint32_t later = file_.Tell();  // start of what has been visited
    // A reader opens a file whose last record is damaged (a torn tail) and
    // steps back from its end to the last record a walk from the first
    // reaches whole. The items before the damage are listed; the damage is
    // reported once they are.
    std::unique_ptr<DamagedRecord> tail;
    for (;;) {
      uint16_t rc = VARNFileSkipPrev(file_.handle());
      uint32_t here = file_.Tell();
      if (rc == VARNFILE_E_NO_PREVIOUS) {
        if (!tail) Gap(FirstItemPosition, later, true);
        break;
      }
      if (rc != VARNFILE_OK && rc != VARNFILE_E_END_OF_FILE)
        ReadFailed(rc, 0, "step back from " + std::to_string(later));
      if (here >= later)
        throw DamagedRecord(later, "stepping back from it does not move the cursor",
                            "stepping back from " + std::to_string(later) + " does not move the cursor");
      Entry entry = ReadHere(rc == VARNFILE_E_END_OF_FILE);
      if (later == end && entry.frame.next() < end) tail = TailDamage(entry.frame.next(), end);
      if (!tail && !Gap(entry.frame.next(), later, true)) break;
      if (!visit_(entry)) break;
      later = here;
      file_.Seek(here);
    }
    if (tail) throw *tail;
  }

  // The first record from `from` to the end of data that is not framed
  // whole; none when the deleted records there reach the end exactly.
  std::unique_ptr<DamagedRecord> TailDamage(uint32_t from, uint32_t end) {
    for (uint64_t p = from; p < end;) {
      RecordFrame frame;
      FrameProblem problem = CheckRecord(raw_, p, method_, &frame);
      if (problem == FrameProblem::None && frame.next() > end) problem = FrameProblem::Truncated;
      if (problem != FrameProblem::None)
        return std::make_unique<DamagedRecord>(Damaged(static_cast<uint32_t>(p), problem));
      p = frame.next();
    }
    return nullptr;
  }

 private:
  varn::File& file_;
  const RawFile& raw_;
  uint16_t method_;
  bool includeDeleted_;
  const EntryVisitor& visit_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(VARNFILE_MAX_ITEM_LENGTH);  // the largest item
  std::vector<uint8_t> data_;
};

// Each text is one id or a comma list of them; an empty one (as in "5,")
// is refused like any other text that is not a number.
std::vector<uint16_t> ParseIds(const std::vector<std::string>& texts, const char* what) {
  std::vector<uint16_t> ids;
  for (const std::string& text : texts) {
    for (std::size_t at = 0, comma; at <= text.size(); at = comma + 1) {
      comma = std::min(text.find(',', at), text.size());
      ids.push_back(static_cast<uint16_t>(ParseNumber(text.substr(at, comma - at), 0xFFFF, what)));
    }
  }
  return ids;
}

bool Holds(const std::vector<uint16_t>& ids, uint16_t id) {
  return ids.empty() || std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

IdSelection::IdSelection(const std::vector<std::string>& commands, const std::vector<std::string>& extras)
    : commands_(ParseIds(commands, "--cmd")), extras_(ParseIds(extras, "--extra")) {}

bool IdSelection::Selects(const RecordFrame& frame) const {
  return Holds(commands_, frame.command) && Holds(extras_, frame.extra);
}

void WalkItems(varn::File& file, const RawFile& raw, bool reverse, uint32_t from,
               bool includeDeleted, const EntryVisitor& visit) {
  Walker walker(file, raw, includeDeleted, visit);
  if (reverse) walker.Backward(from);
  else walker.Forward(from == 0 ? FirstItemPosition : from);
}

ItemRange::ItemRange(const RangeOptions& range, const SelectOptions& select)
    : from_(range.from),
      reverse_(range.reverse),
      limit_(range.limit.empty() ? UINT64_MAX : ParseNumber(range.limit, UINT64_MAX, "--limit")),
      selection_(select.commands, select.extras) {}

void ItemRange::Locate(varn::File& file, const RawFile& raw, bool includeDeleted) {
  includeDeleted_ = includeDeleted;
  if (!from_.empty()) {
    start_ = ResolvePosition(file, raw, from_, "--from", true);
    if (reverse_ && start_ < raw.size()) {
      // Backwards from an item includes that item: start behind it.
      RecordFrame frame;
      CheckFrame(raw, start_, static_cast<uint16_t>(file.method()), &frame);
      start_ = frame.next();
    }
  }
}

void ItemRange::Walk(varn::File& file, const RawFile& raw, const EntryVisitor& visit,
                     const std::function<void(const Entry&)>& passing) {
  cut_ = limit_ == 0;
  if (cut_) return;
  uint64_t picked = 0;
  WalkItems(file, raw, reverse_, start_, includeDeleted_, [&](const Entry& e) {
    ++walked_;
    if (passing) passing(e);
    if (!selection_.Selects(e.frame)) return true;
    if (!visit(e)) return false;
    cut_ = ++picked == limit_;
    return !cut_;
  });
}

namespace {

// An argument waiting for its position: the number it gives (an index
// among the live items, or a byte position) and where it stands among the
// arguments.
struct Wanted {
  uint64_t n;
  std::size_t index;
  bool operator<(const Wanted& other) const { return n < other.n; }
};

}  // namespace

std::vector<ResolvedPosition> ResolvePositions(varn::File& file, const RawFile& raw,
                                               const std::vector<std::string>& texts,
                                               const char* what, bool clampFromEnd) {
  std::vector<ResolvedPosition> out(texts.size());
  auto arg = [&](std::size_t i) { return std::string(what) + " " + texts[i]; };
  auto fail = [&](std::size_t i, const ToolError& error) {
    out[i].error = std::make_exception_ptr(error);
  };
  // Sorted, the arguments of each kind are settled in one pass over the
  // records, however many there are: #N forwards over the record headers,
  // #-N backwards over the trailers, byte positions forwards.
  std::vector<Wanted> counted, fromEnd, bytes;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    try {
      if (!text.empty() && text[0] == '#') {
        bool back = text.size() > 1 && text[1] == '-';
        uint64_t n = 0;
        try {
          n = ParseNumber(text.substr(back ? 2 : 1), 0xFFFFFFFF, what);
        } catch (const ToolError&) {
          throw ToolError(arg(i) + ": #N is an item's number, counted from 0 (#0 the first), or from the end "
                          "as #-N ('#-1' the last)");
        }
        if (back && n == 0) throw ToolError(arg(i) + ": items from the end count from #-1 (the last)");
        (back ? fromEnd : counted).push_back({back ? n - 1 : n, i});
        continue;
      }
      if (text.size() > 1 && text[0] == '-' && text.find_first_not_of("0123456789", 1) == std::string::npos)
        throw ToolError(arg(i) + ": a byte position is never negative; items from the end are "
                        "#-N, '#-1' the last (quoted in a shell)");
      uint32_t position = static_cast<uint32_t>(ParseNumber(text, 0xFFFFFFFF, what));
      if (position == raw.size()) {  // the end of data
        out[i].position = position;
        continue;
      }
      if (position < FirstItemPosition || position > raw.size()) {
        // A number inside the header is most likely meant as an item's index.
        const std::string hint =
            position < FirstItemPosition ? "; #" + text + " is item " + text + " counted from 0" : "";
        throw ToolError(arg(i) + ": no record starts there (records lie from " +
                        std::to_string(FirstItemPosition) + " to the end of data at " +
                        std::to_string(raw.size()) + ")" + hint);
      }
      bytes.push_back({position, i});
    } catch (const ToolError&) {
      out[i].error = std::current_exception();
    }
  }
  const uint16_t method = static_cast<uint16_t>(file.method());
  // Counting items needs only their frames, not their data: item N of a
  // large file is found at the speed of a scan of its record headers
  // (forwards) or trailers (backwards). Deleted records never count, so
  // that #N names the same item for list --all as for cat or delete.
  std::sort(counted.begin(), counted.end());
  std::size_t k = 0;
  try {
    uint64_t seen = 0;
    for (uint64_t p = FirstItemPosition; k < counted.size() && p < raw.size();) {
      RecordFrame frame = FrameAt(raw, p, method);
      if (frame.command != DeletedCommand) {
        for (; k < counted.size() && counted[k].n == seen; ++k) out[counted[k].index].position = frame.position;
        ++seen;
      }
      p = frame.next();
    }
    for (; k < counted.size(); ++k)
      fail(counted[k].index, ToolError(arg(counted[k].index) + ": the file holds " + std::to_string(seen) + " items"));
  } catch (const ToolError&) {  // damage before the item: every one not found yet
    for (; k < counted.size(); ++k) out[counted[k].index].error = std::current_exception();
  }
  std::sort(fromEnd.begin(), fromEnd.end());
  k = 0;
  try {
    uint64_t seen = 0;
    uint32_t earliest = FirstItemPosition;  // the first item a walk back has passed
    for (uint64_t end = raw.size(); k < fromEnd.size() && end > FirstItemPosition;) {
      uint32_t p = end >= FirstItemPosition + TrailerSize ? Get32(raw.data() + end - TrailerSize) : 0;
      RecordFrame frame;
      if (p >= FirstItemPosition && p < end) frame = FrameAt(raw, p, method);
      if (frame.next() != end)
        throw ToolError("the trailer that ends at " + std::to_string(end) +
                        " does not point back at a record", ExitDamaged);
      if (frame.command != DeletedCommand) {
        for (; k < fromEnd.size() && fromEnd[k].n == seen; ++k) out[fromEnd[k].index].position = frame.position;
        ++seen;
        earliest = frame.position;
      }
      end = p;
    }
    // Fewer items than asked for: from the first of them, which a walk back
    // from the record itself includes (not from a deleted record before it,
    // behind which a walk back finds nothing).
    for (; k < fromEnd.size(); ++k) {
      if (clampFromEnd) out[fromEnd[k].index].position = earliest;
      else fail(fromEnd[k].index, ToolError(arg(fromEnd[k].index) + ": the file holds " + std::to_string(seen) + " items"));
    }
  } catch (const ToolError&) {
    for (; k < fromEnd.size(); ++k) out[fromEnd[k].index].error = std::current_exception();
  }
  // Byte positions: the records are followed from the first, so that a
  // position inside one is not taken for a start, even if its bytes happen
  // to frame a record. Past damage the bytes at the position judge.
  std::sort(bytes.begin(), bytes.end());
  uint64_t p = FirstItemPosition;
  RecordFrame frame;
  FrameProblem problem = CheckRecord(raw, p, method, &frame);
  for (const Wanted& w : bytes) {
    const uint32_t position = static_cast<uint32_t>(w.n);
    while (problem == FrameProblem::None && frame.next() <= position) {
      p = frame.next();
      problem = CheckRecord(raw, p, method, &frame);
    }
    if (problem == FrameProblem::None && p == position) {
      out[w.index].position = position;
    } else if (problem == FrameProblem::None) {
      fail(w.index, ToolError(arg(w.index) + ": no record starts there; it lies inside the record at " +
                              std::to_string(p) + " (list shows where records start)"));
    } else if (p == position) {
      fail(w.index, ToolError(arg(w.index) + ": the record there is damaged (" + DescribeFrameProblem(problem) +
                              "; varnfile recover salvages the items)", ExitDamaged));
    } else {
      RecordFrame there;
      if (CheckRecord(raw, position, method, &there) != FrameProblem::None)
        fail(w.index, ToolError(arg(w.index) + ": no record starts there (list shows where records start)"));
      else
        out[w.index].position = position;
    }
  }
  return out;
}

uint32_t ResolvePosition(varn::File& file, const RawFile& raw, const std::string& text,
                         const char* what, bool clampFromEnd) {
  ResolvedPosition resolved = ResolvePositions(file, raw, {text}, what, clampFromEnd)[0];
  if (resolved.error) std::rethrow_exception(resolved.error);
  return resolved.position;
}

EndMarkerReader::EndMarkerReader(const RawFile& raw, uint16_t method)
    : raw_(raw), method_(method) {}

EndMarkerReader::~EndMarkerReader() = default;

CrcState EndMarkerReader::Read(const RecordFrame& marker, std::vector<uint8_t>* data) {
  const uint8_t* stored = raw_.data() + marker.position + ItemHeaderSize;
  if (method_ == VARNFILE_METHOD_NONE) {
    data->assign(stored, stored + marker.length);
    if (marker.crc == 0) return CrcState::None;
    return ItemCrc(data->data(), data->size()) == marker.crc ? CrcState::Ok : CrcState::Bad;
  }
  if (!copy_ || !std::binary_search(live_.begin(), live_.end(), marker.position))
    MakeCopy(marker.position);
  file_.Seek(marker.position);
  data->resize(VARNFILE_MAX_ITEM_LENGTH);
  uint16_t command = 0, extra = 0, length = VARNFILE_MAX_ITEM_LENGTH;
  uint32_t value = 0;
  uint16_t rc = VARNFileReadItem(file_.handle(), &command, &extra, &value, &length, data->data());
  if (rc != VARNFILE_E_CRC)
    varn::Check(rc, "read the end marker at " + std::to_string(marker.position));
  data->resize(length);
  if (rc == VARNFILE_E_CRC) return CrcState::Bad;
  return marker.crc == 0 ? CrcState::None : CrcState::Ok;
}

std::vector<uint8_t> EndMarkerReader::Data(const RecordFrame& marker) {
  std::vector<uint8_t> data;
  if (Read(marker, &data) == CrcState::Bad)
    throw varn::Error(VARNFILE_E_CRC, "read the end marker at " + std::to_string(marker.position));
  return data;
}

// The copy makes live every end marker that the file frames, and `also`
// (a marker the scan may have missed behind damage).
void EndMarkerReader::MakeCopy(uint32_t also) {
  live_.clear();
  for (const RecordFrame& r : ScanRecords(raw_, method_).records)
    if (r.command == EndMarkerCommand) live_.push_back(r.position);
  if (!std::binary_search(live_.begin(), live_.end(), also))
    live_.insert(std::upper_bound(live_.begin(), live_.end(), also), also);
  file_ = varn::File();
  copy_.reset();
  char tmp[4096];
  if (varnfile::PlatformTempDirectory(tmp, sizeof tmp) != 0)
    throw ToolError("cannot read the end marker's data: no folder for temporary files", ExitIo);
  copy_ = std::make_unique<ScratchFile>(tmp, "varnfile-marker", ScratchFile::Naming::Nameless);
  std::vector<uint8_t> header(raw_.data(), raw_.data() + HeaderSize);
  const uint8_t future[6] = {1, 1, 255, 0, 0, 0};  // 1 January 2155: a stamp that never ages
  std::memcpy(header.data() + StampDateOffset, future, sizeof future);
  copy_->Write(header.data(), HeaderSize);
  const uint8_t live[2] = {1, 0};  // command 1
  uint64_t from = HeaderSize;
  for (uint32_t position : live_) {
    copy_->Write(raw_.data() + from, position - from);
    copy_->Write(live, sizeof live);
    from = position + sizeof live;
  }
  copy_->Write(raw_.data() + from, raw_.size() - from);
  file_ = copy_->OpenForReading();
}

}  // namespace varntool
