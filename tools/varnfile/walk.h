// Walks the items of an open file through the library, forwards or
// backwards, and fills in what the library passes over (deleted records) and
// what it does not report (stored lengths, raw crc fields) from the file's
// bytes.
#ifndef VARNFILE_TOOLS_WALK_H_
#define VARNFILE_TOOLS_WALK_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "raw_file.h"
#include "tool_util.h"
#include "varnfile.hpp"

namespace varntool {

enum class EntryKind { Live, Deleted, EndMarker };
enum class CrcState {
  Ok,         // the data matches its crc
  Bad,        // the library reports a CRC failure
  None,       // the crc field is 0: nothing to check
  Unchecked,  // not read (deleted records, end markers)
};

const char* CrcStateName(CrcState state);

struct Entry {
  EntryKind kind = EntryKind::Live;
  RecordFrame frame;  // position, ids, value, lengths, raw crc field
  CrcState crc = CrcState::Unchecked;
  const std::vector<uint8_t>* data = nullptr;  // live items: the data read
};

// Damage that stops a walk: the record at position() (0 where a step back
// found none) cannot be read, for the reason problem(); what() is the whole
// message, with what to run about it.
class DamagedRecord : public ToolError {
 public:
  DamagedRecord(uint32_t position, const std::string& problem, const std::string& message)
      : ToolError(message, ExitDamaged), position_(position), problem_(problem) {}
  uint32_t position() const { return position_; }
  const std::string& problem() const { return problem_; }

 private:
  uint32_t position_;
  std::string problem_;
};

// Receives each entry; returns false to stop the walk.
using EntryVisitor = std::function<bool(const Entry&)>;

// The items a walk's visitor keeps when the user selects them by their ids:
// those whose command id is one of `commands` and whose extra id is one of
// `extras`, an empty list taking any id. The ids are the record's own: a
// deleted record holds the deletion mark (0xFF04) in place of its command
// id, and an end marker 0xFF02.
class IdSelection {
 public:
  // The ids as given to --cmd and --extra, decimal or 0x-hexadecimal; a
  // bad one throws ToolError naming its option.
  IdSelection(const std::vector<std::string>& commands, const std::vector<std::string>& extras);

  // True when no id is given: every item is selected.
  bool all() const { return commands_.empty() && extras_.empty(); }
  bool Selects(const RecordFrame& frame) const;

 private:
  std::vector<uint16_t> commands_, extras_;
};

// Walks from `from` (forwards: that record and the ones behind it;
// backwards: the records before it, or before the end of data when `from`
// is 0). Deleted records are visited only with includeDeleted. A CRC failure
// is reported in the entry and the walk goes on; a record that cannot be
// read (the bytes do not frame it, or its link is broken) throws
// DamagedRecord, and any other failure of the library varn::Error.
void WalkItems(varn::File& file, const RawFile& raw, bool reverse, uint32_t from,
               bool includeDeleted, const EntryVisitor& visit);

// The position that a --from or --at argument names: a byte position where
// a record starts (the end of data too), or "#N", item N counted from 0 of
// the live items and end markers, whatever the command shows (deleted
// records never count, not even for list --all); "#-1" is the last. With
// `clampFromEnd` (--from), "#-N" past the first item names the first, as
// tail -n N takes a shorter file whole. Anything else throws ToolError,
// with ExitDamaged where the position is that of a damaged record.
uint32_t ResolvePosition(varn::File& file, const RawFile& raw, const std::string& text,
                         const char* what, bool clampFromEnd = false);

// What ResolvePositions makes of one argument: its position, or the
// ToolError that ResolvePosition would throw for it.
struct ResolvedPosition {
  uint32_t position = 0;
  std::exception_ptr error;
};

// ResolvePosition for each of `texts`, in their order, in one pass over the
// records for each kind of argument (#N, #-N, byte positions) whatever
// their number.
std::vector<ResolvedPosition> ResolvePositions(varn::File& file, const RawFile& raw,
                                               const std::vector<std::string>& texts,
                                               const char* what, bool clampFromEnd = false);

// The items a user picks for list or export: from the item --from names
// (included, either way) on, in the order --reverse gives, those the ids
// select, and at most --limit of them.
class ItemRange {
 public:
  // Parses --limit and the ids; a bad one throws ToolError naming its option.
  ItemRange(const RangeOptions& range, const SelectOptions& select);

  const IdSelection& selection() const { return selection_; }
  // True when --limit is 0: nothing is picked.
  bool none() const { return limit_ == 0; }

  // Finds where the walk starts; a bad --from throws ToolError. Deleted
  // records are walked only with includeDeleted; #N never counts them.
  void Locate(varn::File& file, const RawFile& raw, bool includeDeleted);

  // Hands `visit` each picked entry (false stops the walk); `passing`, when
  // given, sees every entry walked, picked or not.
  void Walk(varn::File& file, const RawFile& raw, const EntryVisitor& visit,
            const std::function<void(const Entry&)>& passing = nullptr);

  // The entries walked, picked or not, and whether --limit ended the walk
  // (the rest of the range was then not read, so not counted).
  uint64_t walked() const { return walked_; }
  bool cut() const { return cut_; }

 private:
  std::string from_;
  bool reverse_;
  uint64_t limit_;
  IdSelection selection_;
  bool includeDeleted_ = false;
  uint32_t start_ = 0;  // as WalkItems takes it
  uint64_t walked_ = 0;
  bool cut_ = false;  // the limit ended the walk
};

// The data of end markers, which the library never hands out. Without
// compression it is the stored bytes; else it is read through the library
// from a private copy of the file in which the end markers are live items:
// the same bytes otherwise, so the same decoding (a chain included). One
// copy serves every marker of the file.
class ScratchFile;

class EndMarkerReader {
 public:
  EndMarkerReader(const RawFile& raw, uint16_t method);
  ~EndMarkerReader();
  EndMarkerReader(const EndMarkerReader&) = delete;
  EndMarkerReader& operator=(const EndMarkerReader&) = delete;

  // The data of `marker`, as the file's bytes frame it, into *data, and
  // whether it passes its CRC check, as an item's data does.
  CrcState Read(const RecordFrame& marker, std::vector<uint8_t>* data);
  // The data of `marker`; data that fails its CRC check throws varn::Error.
  std::vector<uint8_t> Data(const RecordFrame& marker);

 private:
  void MakeCopy(uint32_t also);

  const RawFile& raw_;
  uint16_t method_;
  std::vector<uint32_t> live_;  // positions of the markers made live, ascending
  std::unique_ptr<ScratchFile> copy_;
  varn::File file_;  // on copy_, closed before it goes
};

}  // namespace varntool

#endif  // VARNFILE_TOOLS_WALK_H_
