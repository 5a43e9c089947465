// What convert, export and import share: the text formats that items go
// out and come in as, and the chain breaks of a new file filled item by item.
#ifndef VARNFILE_TOOLS_TRANSFER_H_
#define VARNFILE_TOOLS_TRANSFER_H_

#include <cstdint>
#include <string>

#include "commands.h"
#include "raw_file.h"
#include "tool_util.h"
#include "varnfile.hpp"

namespace varntool {

// The formats of export's rows and import's lines. Lines (one item per
// line of text) is import's alone.
enum class Format { JsonLines, Csv, Text, Lines };

// --format's name of a format; `lines` when "lines" may be named.
Format ParseFormat(const std::string& text, bool lines);

// The format a file's name asks for when --format is not given: CSV for
// .csv, tab-separated text for .tsv (in any case), JSON Lines for any other
// name and for stdin and stdout, as `export -o items.csv` is expected to
// write CSV.
std::string FormatOfName(const std::string& given, const std::string& path);

// The stored bytes of one chain that a new file filled item by item gets.
constexpr uint32_t ChainBytes = 4 << 20;

// Under a chained method an item decodes only after those before it back
// to the last reset point, which each close marks. A new file that items
// are added to one by one (import, convert --drop-deleted) is closed and
// opened again every ChainBytes, so that reading its last items or item #N
// does not decode every item before them first. Such a file is staged, as
// every new file of import and convert (see NewFile): one killed midway
// leaves no file under its name that opens with part of them, nor one that
// does not open and is in the way of the next run.
class ChainBreaker {
 public:
  // `made` is null for a file that is not new: it is not broken up.
  ChainBreaker(NewFile* made, varn::File* file)
      : made_(made), file_(file), chained_(made != nullptr && IsChained(static_cast<uint16_t>(file->method()))) {}
  // After the item that was added at `at`.
  void Added(uint32_t at) {
    if (!chained_ || at - start_ < ChainBytes) return;
    made_->Finish(file_, false);
    *file_ = varn::File::Open(made_->writing(), varn::Access::ReadWrite);
    UseWideWindows(*file_);
    start_ = at;
  }

 private:
  NewFile* made_;
  varn::File* file_;
  const bool chained_;
  uint32_t start_ = FirstItemPosition;
};

}  // namespace varntool

#endif  // VARNFILE_TOOLS_TRANSFER_H_
