// import: make a file from exported items or from lines of text, or add
// them to one.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "item_text.h"
#include "json_lines.h"
#include "open_file.h"
#include "raw_file.h"
#include "tool_util.h"
#include "transfer.h"
#include "walk.h"

namespace varntool {
namespace {

struct ImportOptions {
  std::string path, input, method = "chained-deflate", description, format;  // see export
  std::string flags, aging, like;  // the header of a new file
  std::string command = "0", extra = "0", value = "0";
  bool append = false, lines = false, csv = false;
  NewFileOptions target;
};

// The ids every item gets unless its line gives its own.
struct Defaults {
  uint16_t command, extra;
  uint32_t value;
};

std::string AtLine(uint64_t line) { return "line " + std::to_string(line) + ": "; }

uint64_t NumberAt(const std::string& text, uint64_t max, const char* name, uint64_t line) {
  try {
    return ParseNumber(text, max, name);
  } catch (const ToolError& e) {
    throw ToolError(AtLine(line) + e.what(), ExitDamaged);
  }
}

// A number, or a string that holds one as a CSV field would (sqlite3 -json
// gives the columns of a CSV .import, which are text, as strings).
uint64_t Field(const std::map<std::string, JsonValue>& object, const char* key, uint64_t max,
               uint64_t fallback, uint64_t line) {
  auto it = object.find(key);
  if (it == object.end()) return fallback;
  const JsonValue& v = it->second;
  if (v.type == JsonValue::Type::String) return NumberAt(v.text, max, key, line);
  if (v.type != JsonValue::Type::Number || v.negativeOrFraction || v.number > max)
    throw ToolError(AtLine(line) + "\"" + key + "\" must be an integer 0.." + std::to_string(max),
                    ExitDamaged);
  return v.number;
}

// Data given as text or base64. `asText` follows the message of data that
// is no base64: how the line says that its data is text.
void DecodeData(const std::string& encoding, const std::string& text, std::vector<uint8_t>* out,
                uint64_t line, const char* asText) {
  if (encoding == "text") {
    out->assign(text.begin(), text.end());
  } else if (encoding == "base64") {
    if (!Base64Decode(text, out))
      throw ToolError(AtLine(line) + "the data is not base64 text (" + asText + " takes it as it is)", ExitDamaged);
  } else {
    throw ToolError(AtLine(line) + "encoding must be text or base64, not " + Quote(encoding), ExitDamaged);
  }
}

void CheckItem(const varn::Item& item, uint64_t line) {
  if (item.data.size() > VARNFILE_MAX_ITEM_LENGTH)
    throw ToolError(AtLine(line) + "data longer than 65535 bytes", ExitDamaged);
  if (item.command >= 0xFF00 && item.command != EndMarkerCommand)
    throw ToolError(AtLine(line) + "command " + std::to_string(item.command) + " is reserved",
                    ExitDamaged);
}

// "length does not match the data", with both.
std::string LengthMismatch(const char* name, uint64_t length, std::size_t data) {
  return std::string(name) + " is " + std::to_string(length) + ", but the data holds " + Counted(data, "byte");
}

// `hint` follows the message of a line that is no JSON object.
varn::Item JsonItem(const std::string& text, const Defaults& d, bool commandGiven, uint64_t line,
                    const char* hint = "") {
  static const char* const keys[] = {"position", "command", "extra", "value", "length", "encoding", "data"};
  std::map<std::string, JsonValue> object;
  std::string error;
  if (!ParseJsonObject(text, &object, &error)) throw ToolError(AtLine(line) + error + hint, ExitDamaged);
  // A null stands for a value not given (sqlite3 -json writes a NULL column
  // so): as if the key were not there.
  for (auto it = object.begin(); it != object.end();)
    it = it->second.type == JsonValue::Type::Null ? object.erase(it) : std::next(it);
  // "cmd" is the command's column in CSV (export writes it so): rows that
  // went through a CSV table arrive with that name.
  auto cmd = object.find("cmd");
  if (cmd != object.end()) {
    if (object.count("command") != 0)
      throw ToolError(AtLine(line) + "\"cmd\" and \"command\" both given; give one", ExitDamaged);
    object.emplace("command", cmd->second);
    object.erase(cmd);
  }
  for (const auto& entry : object) {
    if (std::find_if(std::begin(keys), std::end(keys), [&](const char* k) { return entry.first == k; }) ==
        std::end(keys))
      throw ToolError(AtLine(line) + "unknown key " + Quote(entry.first) +
                      " (known: position, command or cmd, extra, value, length, encoding, data)", ExitDamaged);
  }
  if (!commandGiven && object.count("command") == 0) throw ToolError(AtLine(line) + "no \"command\"", ExitDamaged);
  varn::Item item;
  item.command = static_cast<uint16_t>(Field(object, "command", 0xFFFF, d.command, line));
  item.extra = static_cast<uint16_t>(Field(object, "extra", 0xFFFF, d.extra, line));
  item.value = static_cast<uint32_t>(Field(object, "value", 0xFFFFFFFF, d.value, line));
  const bool hasLength = object.count("length") != 0;
  const uint64_t length = hasLength ? Field(object, "length", 0xFFFF, 0, line) : 0;
  auto it = object.find("encoding");
  const bool hasEncoding = it != object.end();
  std::string encoding = "text";
  if (hasEncoding) {
    if (it->second.type != JsonValue::Type::String)
      throw ToolError(AtLine(line) + "\"encoding\" must be \"text\" or \"base64\"", ExitDamaged);
    encoding = it->second.text;
    if (encoding != "text" && encoding != "base64")
      throw ToolError(AtLine(line) + "encoding must be text or base64, not " + Quote(encoding), ExitDamaged);
  }
  // Without "encoding" the data is text, as a line written by hand or by
  // another tool (sqlite3 -json | jq -c '.[]') means it. Exports made before
  // export wrote the key gave every item's data in base64, with its
  // "length": data that decodes as base64 to exactly that length is such a
  // line's. (Text of n bytes never has n bytes as base64, but for "".)
  std::vector<uint8_t> decoded;
  bool base64 = false;
  it = object.find("data");
  if (it != object.end()) {
    if (it->second.type != JsonValue::Type::String)
      throw ToolError(AtLine(line) + "\"data\" must be a string", ExitDamaged);
    const std::string& text = it->second.text;
    base64 = !hasEncoding && hasLength && Base64Decode(text, &decoded);
    if (base64 && decoded.size() == length)
      item.data = std::move(decoded);
    else
      DecodeData(encoding, text, &item.data, line, "\"encoding\":\"text\"");
  }
  if (hasLength && length != item.data.size())
    throw ToolError(AtLine(line) + LengthMismatch("\"length\"", length, item.data.size()) +
                        (base64 ? " as text, " + Counted(decoded.size(), "byte") +
                                      " as base64 (\"encoding\" says which it is)"
                                : ""),
                    ExitDamaged);
  return item;
}

// A row as export's text format writes it: position, command, extra, value,
// encoding and data, separated by tabs. Text data holds no tab or line end
// (such data goes as base64), so the data is the whole last field.
varn::Item TextItem(std::string row, uint64_t line) {
  if (!row.empty() && row.back() == '\r') row.pop_back();
  std::vector<std::string> f;
  for (std::size_t at = 0;; ++at) {
    std::size_t tab = row.find('\t', at);
    f.push_back(row.substr(at, tab - at));
    if ((at = tab) == std::string::npos) break;
  }
  if (f.size() != 6)
    throw ToolError(AtLine(line) + std::to_string(f.size()) +
                    " fields, not the 6 of position, command, extra, value, encoding, data", ExitDamaged);
  varn::Item item;
  item.command = static_cast<uint16_t>(NumberAt(f[1], 0xFFFF, "command", line));
  item.extra = static_cast<uint16_t>(NumberAt(f[2], 0xFFFF, "extra", line));
  item.value = static_cast<uint32_t>(NumberAt(f[3], 0xFFFFFFFF, "value", line));
  DecodeData(f[4], f[5], &item.data, line, "an encoding field of text");
  return item;
}

// CSV columns by name; the header row is optional (without one the
// columns are cmd,extra,value,data).
class CsvColumns {
 public:
  // True when the record names columns (and is no item).
  bool ReadHeader(const std::vector<std::string>& fields) {
    static const char* const names[] = {"position", "cmd", "command", "extra", "value", "length", "encoding", "data"};
    // Column names in any letter case: spreadsheets and other tools write
    // CMD or Data as readily as cmd.
    auto lower = [](std::string f) {
      for (char& c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return f;
    };
    auto known = [&](const std::string& f) {
      const std::string name = lower(f);
      return std::find_if(std::begin(names), std::end(names), [&](const char* n) { return name == n; }) !=
             std::end(names);
    };
    // An item's first field is a number (or empty): a record that starts
    // with a column name, or with any word and names a column elsewhere
    // (sqlite3 -header puts an id column first), is a header row.
    const std::string& first = fields[0];
    const bool header = known(first) || (!first.empty() &&
                                         !std::isdigit(static_cast<unsigned char>(first[0])) &&
                                         std::any_of(fields.begin(), fields.end(), known));
    for (const std::string& f : fields) {
      if (known(f)) continue;
      if (header)
        throw ToolError("line 1: the header row names the unknown column " + Quote(f) +
                        " (known: position, cmd or command, extra, value, length, encoding, data)",
                        ExitDamaged);
      return false;
    }
    index_.clear();
    named_ = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string name = lower(fields[i]);
      if (name == "command") name = "cmd";
      if (index_.count(name) != 0) throw ToolError("line 1: column " + Quote(name) + " appears twice", ExitDamaged);
      index_[name] = i;
    }
    return true;
  }
  varn::Item Item(const std::vector<std::string>& fields, const Defaults& d, uint64_t line) const {
    if (fields.size() != index_.size())
      throw ToolError(AtLine(line) + Counted(fields.size(), "field") + ", " +
                      (named_ ? "the header row names " + std::to_string(index_.size())
                              : "not the 4 of cmd,extra,value,data (a header row names others)") +
                      OtherSeparator(fields, index_.size()),
                      ExitDamaged);
    varn::Item item;
    item.command = static_cast<uint16_t>(Number(fields, "cmd", 0xFFFF, d.command, line));
    item.extra = static_cast<uint16_t>(Number(fields, "extra", 0xFFFF, d.extra, line));
    item.value = static_cast<uint32_t>(Number(fields, "value", 0xFFFFFFFF, d.value, line));
    auto data = index_.find("data");
    auto encoding = index_.find("encoding");
    if (data != index_.end())
      DecodeData(encoding != index_.end() ? fields[encoding->second] : "text", fields[data->second],
                 &item.data, line, "an encoding of text");
    if (index_.count("length") != 0) {
      const uint64_t length = Number(fields, "length", 0xFFFF, 0, line);
      if (length != item.data.size())
        throw ToolError(AtLine(line) + LengthMismatch("length", length, item.data.size()), ExitDamaged);
    }
    return item;
  }

 private:
  // A record of one field where several are expected, which holds the
  // separator of other tools (a spreadsheet that writes ';', tab-separated
  // text): what the separator of CSV is, and what reads such lines.
  static std::string OtherSeparator(const std::vector<std::string>& fields, std::size_t expected) {
    if (fields.size() != 1 || expected < 4) return "";
    if (fields[0].find(';') != std::string::npos)
      return ": CSV fields are separated by commas, and this one holds ';' (save it with ',' as the separator)";
    if (fields[0].find('\t') != std::string::npos)
      return ": CSV fields are separated by commas, and this one holds tabs (--format text reads the "
             "tab-separated rows export writes; --lines takes each line as the data of an item)";
    return "";
  }
  uint64_t Number(const std::vector<std::string>& fields, const char* name, uint64_t max,
                  uint64_t fallback, uint64_t line) const {
    auto it = index_.find(name);  // an empty field gives no number either
    return it == index_.end() || fields[it->second].empty()
               ? fallback : NumberAt(fields[it->second], max, name, line);
  }
  std::map<std::string, std::size_t> index_ = {{"cmd", 0}, {"extra", 1}, {"value", 2}, {"data", 3}};
  bool named_ = false;  // a header row named the columns
};

// The longest line (or CSV record) that holds an item, its line end aside:
// the data (at most 65,535 bytes) in the longest form the format gives it
// (\u00XX for each byte in JSON, each quote doubled in CSV), with 64 KB to
// spare for the other fields. Input that goes on longer is refused there,
// not read whole into memory: a line of gigabytes, or an unclosed quote in
// a CSV file of gigabytes, would fill it.
std::size_t LongestLine(Format format) {
  switch (format) {
    case Format::Lines:
      return VARNFILE_MAX_ITEM_LENGTH + 1;  // a \r before the \n too
    case Format::Csv:
      return 2 * VARNFILE_MAX_ITEM_LENGTH + (64 << 10);
    default:
      return 6 * VARNFILE_MAX_ITEM_LENGTH + (64 << 10);
  }
}

// Items from text input, one line (or CSV record) at a time, each checked
// as it is read: bad input throws the ToolError that names its line.
class ItemReader {
 public:
  // `formatGiven`: the command line names the format (else JSON Lines is
  // taken for it, and input that is no JSON gets a hint).
  ItemReader(std::istream& in, Format format, const Defaults& d, bool commandGiven, bool formatGiven)
      : in_(in), format_(format), defaults_(d), commandGiven_(commandGiven), formatGiven_(formatGiven) {}
  // The next item; false at the end of the input.
  bool Next(varn::Item* item);
  // The input read so far, in bytes (a line end counts one).
  uint64_t bytes() const { return bytes_; }
  // The line where the last item's line or record starts.
  uint64_t line() const { return format_ == Format::Csv ? first_ : line_; }
  // The line where it ends: the input up to here has been read.
  uint64_t lastLine() const { return line_; }

 private:
  // The next line into text_, without its \n; false at the end of the input.
  bool ReadLine();
  [[noreturn]] void TooLong() const;
  void RefuseOtherInput() const;

  std::istream& in_;
  const Format format_;
  const Defaults defaults_;
  const bool commandGiven_, formatGiven_;
  bool read_ = false;  // an item has been read
  std::string text_, record_;
  std::vector<std::string> fields_;
  CsvColumns columns_;
  uint64_t line_ = 0, first_ = 0, bytes_ = 0;
};

void ItemReader::TooLong() const {
  const std::string longest = std::to_string(LongestLine(format_));
  if (format_ == Format::Lines)
    throw ToolError(AtLine(line_ + 1) + "longer than " + std::to_string(VARNFILE_MAX_ITEM_LENGTH) +
                    " bytes, the most one item holds", ExitDamaged);
  if (format_ == Format::Csv)
    throw ToolError(AtLine(record_.empty() ? line_ + 1 : first_) + "a record of more than " + longest +
                    " bytes, longer than any item's (is a quote not closed?)", ExitDamaged);
  throw ToolError(AtLine(line_ + 1) + "more than " + longest + " bytes without a line end, longer than any item's line",
                  ExitDamaged);
}

// Input that no line of would explain, refused at its first bytes: text
// that Windows tools saved as "Unicode", UTF-16, whose every other byte is
// 0, and, where lines are parsed, a transaction file (its magic, then its
// format version, whose low byte may be a line end), which another command
// copies. Lines of text take any bytes as data, a file's own too.
void ItemReader::RefuseOtherInput() const {
  if (text_.compare(0, 2, "\xFF\xFE") == 0 || text_.compare(0, 2, "\xFE\xFF") == 0)
    throw ToolError("the input starts with a UTF-16 byte order mark, and import reads UTF-8: convert it "
                    "first, e.g. iconv -f UTF-16 -t UTF-8 IN > OUT", ExitDamaged);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text_.data());
  if (format_ != Format::Lines && text_.compare(0, 4, "KVRW") == 0 &&
      (text_.size() == 4 || (text_.size() >= 6 && IsReadableVersion(Get16(bytes + VersionOffset)))))
    throw ToolError("the input is a transaction file, not items: varnfile convert SRC NEW copies one "
                    "(-m for another method, --drop-deleted without its deleted items), varnfile export SRC "
                    "| varnfile import NEW makes a new file of its items", ExitDamaged);
}

bool ItemReader::ReadLine() {
  text_.clear();
  const std::size_t longest = LongestLine(format_);
  char chunk[16 << 10];
  for (;;) {
    in_.getline(chunk, sizeof chunk);
    const std::size_t got = static_cast<std::size_t>(in_.gcount());
    if (!in_.fail()) {  // up to its \n (counted in got), or the last line, which has none
      text_.append(chunk, in_.eof() ? got : got - 1);
      if (line_ == 0) RefuseOtherInput();
      break;
    }
    if (in_.bad() || got == 0) return !text_.empty() && !in_.bad();  // the end of the input
    text_.append(chunk, got);  // the chunk is full: the line goes on
    if (line_ == 0) RefuseOtherInput();
    if (text_.size() + record_.size() > longest) TooLong();
    in_.clear();
  }
  if (text_.size() + record_.size() > longest) TooLong();
  return true;
}

bool ItemReader::Next(varn::Item* item) {
  while (ReadLine()) {
    ++line_;
    bytes_ += text_.size() + 1;
    if (line_ == 1 && text_.compare(0, 3, "\xEF\xBB\xBF") == 0) text_.erase(0, 3);  // a UTF-8 mark
    if (format_ == Format::Lines) {
      if (!text_.empty() && text_.back() == '\r') text_.pop_back();
      item->command = defaults_.command;
      item->extra = defaults_.extra;
      item->value = defaults_.value;
      item->data.assign(text_.begin(), text_.end());
      CheckItem(*item, line_);
      return true;
    }
    if (record_.empty() && text_.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (format_ == Format::JsonLines || format_ == Format::Text) {
      // A first line that is no JSON object: one JSON array (sqlite3 -json
      // writes one), or, given no format, text of another format, an
      // app.log without --lines. A line that starts as an object is JSON
      // with a fault of its own.
      const std::size_t first = text_.find_first_not_of(" \t\r");
      const char* hint = read_ || format_ != Format::JsonLines || text_[first] == '{' ? ""
                         : text_[first] == '['
                             ? " (the input is one JSON array, and import reads one object per line: "
                               "jq -c '.[]' turns the array into such lines)"
                         : !formatGiven_
                             ? " (the input is read as JSON Lines unless --lines, --csv or --format says otherwise)"
                             : "";
      *item = format_ == Format::Text ? TextItem(text_, line_) : JsonItem(text_, defaults_, commandGiven_, line_, hint);
      read_ = true;
      CheckItem(*item, line_);
      return true;
    }
    if (record_.empty()) first_ = line_;
    record_ += record_.empty() ? text_ : "\n" + text_;
    bool more;
    std::string error;
    if (!SplitCsv(record_, &fields_, &more, &error)) throw ToolError(AtLine(first_) + error, ExitDamaged);
    if (more) continue;
    record_.clear();
    if (first_ == 1 && columns_.ReadHeader(fields_)) continue;
    *item = columns_.Item(fields_, defaults_, first_);
    CheckItem(*item, first_);
    return true;
  }
  if (!record_.empty()) throw ToolError(AtLine(first_) + "a quoted field is not closed", ExitDamaged);
  if (in_.bad()) throw ToolError("cannot read the items to import", ExitIo);
  return false;
}

// Reads a file through its descriptor, from the first byte or after a
// seek to it: all that is left of a scratch file once its name has gone.
class DescriptorReader : public std::streambuf {
 public:
  explicit DescriptorReader(int fd) : fd_(fd), buffer_(64 << 10) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    std::size_t got = 0;
    int error = varnfile::FileReadAt(fd_, buffer_.data(), buffer_.size(), static_cast<int64_t>(offset_), &got);
    if (error != 0) throw SystemError("cannot read the scratch copy of the input", error, ExitIo);
    offset_ += got;
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return got == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
  }
  pos_type seekpos(pos_type to, std::ios_base::openmode) override {
    offset_ = static_cast<uint64_t>(static_cast<std::streamoff>(to));
    setg(buffer_.data(), buffer_.data(), buffer_.data());
    return to;
  }
  pos_type seekoff(off_type by, std::ios_base::seekdir from, std::ios_base::openmode mode) override {
    if (from == std::ios_base::beg) return seekpos(pos_type(by), mode);
    if (from == std::ios_base::cur && by == 0) return pos_type(static_cast<off_type>(offset_ - (egptr() - gptr())));
    return pos_type(off_type(-1));
  }

 private:
  int fd_;
  uint64_t offset_ = 0;
  std::vector<char> buffer_;
};

// The input of an import: standard input or a file. An append reads it
// twice (a check, then the items), so input that cannot be read again,
// standard input or a pipe, is first copied to a scratch file beside the
// target (or in the folder for temporary files where that is refused).
// Where the system lets an open file's name go (POSIX), the copy loses its
// name as soon as it is made and is written and read through its
// descriptor: however the tool ends, kill -9 included, nothing is left.
// On Windows it keeps its name while the tool runs and goes when the tool
// ends, however it ends.
class ImportInput {
 public:
  ImportInput(const std::string& path, bool twice, const std::string& target) {
    bool standard = path.empty() || path == "-";
    if (!standard) {
      OpenInput(file_, path);
    }
    std::istream& in = standard ? StandardInput("items") : file_;
    if (twice && (standard || !IsRegularFile(path))) {
      Spool(in, target);
      file_.close();
      reader_ = std::make_unique<DescriptorReader>(spool_->descriptor());
      copy_ = std::make_unique<std::istream>(reader_.get());
      in_ = copy_.get();
      return;
    }
    in_ = !standard ? static_cast<std::istream*>(&file_) : &in;
    // The share of the input read shows while its size is known.
    if (!standard) varnfile::PlatformFileSize(path.c_str(), &size_);
  }
  std::istream& stream() { return *in_; }
  uint64_t size() const { return size_; }
  // Back to the first byte, for the second reading.
  void Rewind() {
    in_->clear();
    if (!in_->seekg(0)) throw ToolError("cannot read the items to import again", ExitIo);
  }

 private:
  void Spool(std::istream& in, const std::string& target) {
    try {
      spool_ = std::make_unique<ScratchFile>(DirectoryOf(target), ".varnfile-import",
                                             ScratchFile::Naming::Nameless);
    } catch (const ToolError&) {  // a folder we may not write in: the temporary files' folder
      char tmp[4096];
      if (varnfile::PlatformTempDirectory(tmp, sizeof tmp) != 0) throw;
      spool_ = std::make_unique<ScratchFile>(tmp, "varnfile-import", ScratchFile::Naming::Nameless);
    }
    spool_->ReleaseName();
    std::vector<char> chunk(64 << 10);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
      spool_->Write(chunk.data(), static_cast<std::size_t>(in.gcount()));
      size_ += static_cast<uint64_t>(in.gcount());
    }
    if (in.bad()) throw ToolError("cannot read the items to import", ExitIo);
  }
  std::unique_ptr<ScratchFile> spool_;  // outlives the readers of it
  std::unique_ptr<DescriptorReader> reader_;
  std::unique_ptr<std::istream> copy_;
  std::ifstream file_;
  std::istream* in_ = nullptr;
  uint64_t size_ = 0;
};

// After an append failed: how many items the file holds from `start`,
// where the append began, as the first that many of the input. Items the
// write buffer held when a write failed are not in the file, so the count
// of items handed over says too much, and a run that resumes after it
// would skip input. The position lets them be found (export --from) and
// removed: an append is no transaction.
// `lines` holds the input line on which each of the last items handed over
// ends, item n at n % size: where a resumed run starts.
void ReportAppended(varn::File* file, const std::string& path, uint32_t start, uint64_t added,
                    const std::vector<uint64_t>& lines) {
  file->TryClose();  // what the buffer holds is written now or never
  uint64_t held = 0;
  try {
    varn::File kept = OpenItems(path, varn::Access::Read);
    RawFile raw;
    raw.Open(path);
    WalkItems(kept, raw, false, start, false, [&](const Entry&) { return ++held > 0; });
  } catch (const std::exception&) {
    ReportChanged("items may have been added to %s from position %u before the failure (varnfile list --from %u "
                  "shows them)\n", path.c_str(), start, start);
    return;
  }
  if (held == 0) {
    Report("0 items added to %s before the failure: it is as it was\n", path.c_str());
    return;
  }
  std::string through;
  if (held <= added && added - held < lines.size()) {
    const uint64_t last = lines[(held - 1) % lines.size()];
    through = ", through line " + std::to_string(last) + " (resume at line " + std::to_string(last + 1) + ")";
  }
  ReportChanged("%s added to %s before the failure, the first at position %u: the first %s of the input%s\n",
                Counted(held, "item").c_str(), path.c_str(), start,
                held == 1 ? "item" : Counted(held, "item").c_str(), through.c_str());
}

int RunImport(const ImportOptions& o, const CLI::App& sub) {
  CheckNameLength(o.path);
  if (o.lines && o.csv) throw ToolError("import: give --lines or --csv, not both");
  Format format = o.lines ? Format::Lines
                  : o.csv ? Format::Csv
                          : ParseFormat(FormatOfName(o.format, o.input), true);
  if ((o.lines || o.csv) && sub.count("--format") > 0 && ParseFormat(o.format, true) != format)
    throw ToolError("import: --format " + o.format + " and " + (o.lines ? "--lines" : "--csv") +
                    " name two formats; give one");
  Defaults defaults{static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd")),
                    static_cast<uint16_t>(ParseNumber(o.extra, 0xFFFF, "--extra")),
                    static_cast<uint32_t>(ParseNumber(o.value, 0xFFFFFFFF, "--value"))};
  if (defaults.command >= 0xFF00 && defaults.command != EndMarkerCommand)
    throw ToolError("--cmd: " + o.command + " is reserved");
  if (o.append && sub.count("--method") > 0) throw ToolError("import: --method cannot change an existing file");
  if (o.append && sub.count("--flags") + sub.count("--aging") + sub.count("--like") > 0)
    throw ToolError("import: --flags, --aging and --like make a new file's header (varnfile set changes "
                    "those of an existing file)");
  if (sub.count("--description") > 0) CheckDescription(o.description);
  // The header fields of a new file: those of the --like file, then those
  // given. An export and an import of its items drop the deleted ones, and
  // the new file goes on as the old one did (its aging limit above all: the
  // default of 30 days would leave it unopenable before the old one).
  HeaderImage header{}, aging{};
  std::string methodName = o.method;
  if (!o.like.empty()) {
    RawFile like;
    like.Open(o.like);
    const std::string problem = HeaderProblem(o.like, like.data(), static_cast<std::size_t>(like.size()));
    if (!problem.empty()) throw ToolError("--like: " + problem, ExitDamaged);
    std::copy(like.data(), like.data() + HeaderSize, header.begin());
    if (sub.count("--method") == 0) methodName = std::to_string(Get16(header.data() + CompressionOffset));
  }
  if (!o.flags.empty()) Put32(header.data() + FlagsOffset, static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags")));
  if (!o.aging.empty()) ParseAging(o.aging, aging.data());
  // A new file in place of its own input (the same name, another name of
  // it, or standard input read from it) would replace the items it reads.
  // An append takes only the items it checked first, so it may read its file.
  if (!o.append && SameFile(o.input.empty() || o.input == "-" ? "/dev/stdin" : o.input, o.path))
    throw ToolError("import: the input is " + o.path + " itself");
  if (!o.append) CheckNewName(o.path);
  // Importing into a file that exists most often means adding to it, as
  // sqlite3's .import adds to a table: the refusal names both ways.
  if (!o.append && !o.target.force && FileExists(o.path))
    throw ToolError(o.path + " already exists (use --append to add to it, --force to replace it)",
                    ExitCannotCreate);
  if (!o.append) CheckNewFile(o.path, o.target);
  bool commandGiven = sub.count("--cmd") > 0;
  const bool formatGiven = o.lines || o.csv || sub.count("--format") > 0;
  ImportInput input(o.input, o.append, o.path);
  varn::Item item;
  // Nothing is appended unless the whole input is good: an append checks it
  // all first. A new file takes each item as it is checked and is thrown
  // away at the first bad one.
  uint64_t count = 0;
  if (o.append) {
    ItemReader check(input.stream(), format, defaults, commandGiven, formatGiven);
    Progress progress("check", input.size());
    while (check.Next(&item)) progress.Update(++count, check.bytes());
    progress.Finish();
    input.Rewind();
  }
  std::unique_ptr<NewFile> made;
  varn::File file;
  uint32_t appendStart = 0;
  if (o.append) {
    file = OpenItems(o.path, varn::Access::ReadWrite);
    appendStart = file.SeekToEnd();
  } else {
    varn::Method method = ParseMethod(methodName);
    made = std::make_unique<NewFile>(o.path, o.target, true);
    file = made->Create(method);
  }
  // An interrupted append stops between two items and closes the file.
  std::unique_ptr<DeferInterrupts> defer;
  if (o.append) defer = std::make_unique<DeferInterrupts>();
  uint64_t added = 0;
  int64_t limit = 0;  // the new file's aging limit
  bool interrupted = false;
  // The line each of the last items ends on, for a failed append to say
  // where to resume: the items a failed write loses are those of the last
  // 64 KB written, far fewer than this many.
  std::vector<uint64_t> lines(o.append ? 1 << 14 : 0);
  ChainBreaker chains(made.get(), &file);
  try {
    UseWideWindows(file);  // 64 KB write buffer: one write per 64 KB, not per item
    ItemReader items(input.stream(), format, defaults, commandGiven, formatGiven);
    Progress progress("import", input.size());
    // An append takes no more items than it checked: input that grew since
    // (the target itself given as --input, a log still written) is not read.
    while (!(interrupted = defer && defer->Interrupted() && added < count) && (!o.append || added < count) &&
           items.Next(&item)) {
      uint32_t at = AppendItem(file, item, AtLine(items.line()));
      if (o.append) lines[added % lines.size()] = items.lastLine();
      progress.Update(++added, items.bytes());
      chains.Added(at);
    }
    progress.Finish();
    if (o.append) {
      // The description once all the items are in: an append that fails or
      // is interrupted leaves it.
      if (sub.count("--description") > 0 && !interrupted) file.SetDescription(o.description);
      file.Close();
    } else {
      // The header last: an aging limit of 0 would age the file before a
      // chained import opens it again.
      HeaderImage fields = file.Header();
      if (!o.like.empty()) {
        auto take = [&](std::size_t offset, std::size_t size) {
          std::copy(header.begin() + offset, header.begin() + offset + size, fields.begin() + offset);
        };
        take(FlagsOffset, 4);
        take(DescriptionOffset, DescriptionSize);
        take(AgingDaysOffset, CompressionOffset - AgingDaysOffset);
        fields[DescriptionOffset + DescriptionSize - 1] = 0;
      }
      if (!o.flags.empty()) std::copy(header.begin() + FlagsOffset, header.begin() + FlagsOffset + 4, fields.begin() + FlagsOffset);
      if (!o.aging.empty())
        std::copy(aging.begin() + AgingDaysOffset, aging.begin() + CompressionOffset, fields.begin() + AgingDaysOffset);
      file.WriteHeader(fields);
      if (sub.count("--description") > 0) file.SetDescription(o.description);
      limit = AgingSeconds(fields.data());
      made->Finish(&file);
    }
  } catch (const varn::Error& e) {
    if (!o.append) made->DiscardAndRethrow(&file);
    const std::string cause = e.code() == VARNFILE_E_WRITE ? WriteFailureCause(errno, o.path) : "";
    // The library refuses an item that would pass 4 GiB before it writes.
    uint32_t end = 0;
    const varn::Method method = file.is_open() ? file.method() : varn::Method::None;
    const bool atEnd = e.code() == VARNFILE_E_WRITE && file.is_open() &&
                       VARNFileSeekToEnd(file.handle(), &end) == VARNFILE_OK;
    if (added > 0) ReportAppended(&file, o.path, appendStart, added, lines);
    if (atEnd) ThrowIfPastSizeLimit(o.path, end, item.data.size(), method);
    if (cause.empty()) throw;
    throw ToolError(std::string(e.what()) + " (" + cause + ")", StatusForResult(e.code()));
  } catch (...) {
    if (!o.append) made->DiscardAndRethrow(&file);
    if (added > 0) ReportAppended(&file, o.path, appendStart, added, lines);
    throw;
  }
  if (made) made->Commit();
  // An append names where its items begin: they can be told from those
  // before them (export --from), and taken out again.
  std::string from = o.append && added > 0 ? ", the first at position " + std::to_string(appendStart) : "";
  if (o.append && sub.count("--description") > 0 && !interrupted) from += ", and replaced its description";
  Report("%s %s into %s%s\n", interrupted ? "interrupted: imported" : "imported",
         Counted(added, "item").c_str(), o.path.c_str(), from.c_str());
  if (!o.append) {
    // Aging is the one way a sound file stops opening: as create, say so.
    // (The limit was taken from the header as it was written: the file,
    // once it has its name, may be another process's to hold.)
    if (limit == 0)
      WarnIfAged(o.path, 0);
    else if (o.aging.empty() && o.like.empty())
      Report("%s ages in %s: then it cannot be opened until varnfile set --reset-aging restamps it "
             "(--aging or --like gives a new file another limit)\n", o.path.c_str(), FormatSpan(limit).c_str());
  }
  return ExitOk;
}

}  // namespace

void AddImportCommand(CLI::App& app, int* status) {
  {
    auto o = std::make_shared<ImportOptions>();
    CLI::App* sub = app.add_subcommand(
        "import",
        "Make a file from exported items or from lines of text. The input is JSON Lines, CSV or "
        "tab-separated text as export writes them, or one item per line of text. It is read and checked a line (or CSV record) at a time, so an import "
        "of any size needs little memory: a new file is removed at the first bad line (one that --force would "
        "replace stays as it was), and --append adds nothing unless the whole input is good (but for data that does not fit one item once "
        "compressed, found only when it is written: the items before it stay, and the message says how many). Items are added "
        "through a 64 KB write buffer, so a large import costs few synchronous writes. A new file is written "
        "as .varnfile-new-FILE beside FILE and takes its name when it is finished");
    sub->add_option("FILE", o->path, "Transaction file to create (or extend with --append)")
        ->required();
    sub->add_option("--input,-i,INPUT", o->input,
                    "Read from this file instead of stdin (- is stdin; it may follow FILE "
                    "without --input)");
    sub->add_option("--format", o->format,
                    "jsonl (the default, unless the --input name ends in .csv or .tsv; unknown keys are an error, cmd may stand for command and numbers may be strings; data is text "
                    "unless \"encoding\":\"base64\", or, without \"encoding\", base64 that decodes to \"length\" bytes, "
                    "as older exports wrote it), csv, text (the tab-separated rows of export) or lines");
    sub->add_flag("--lines", o->lines,
                  "One item per line of text: the line (without its line end, \\r\\n too) is "
                  "the data, the ids come from --cmd, --extra, --value");
    sub->add_flag("--csv", o->csv,
                  "CSV records with columns cmd,extra,value,data, or the columns a header row "
                  "names (position, cmd or command, extra, value, length, encoding, data; any "
                  "letter case); "
                  "data is text unless an encoding column says base64");
    sub->add_option("--cmd,--command,-c", o->command, "Command id of items whose input gives none (default 0)");
    sub->add_option("--extra,-e", o->extra, "Extra id of items whose input gives none (default 0)");
    sub->add_option("--value,-v", o->value, "Value of items whose input gives none (default 0)");
    sub->add_option("--method,-m", o->method, "Method of the new file: 0..4 or its name");
    sub->add_option("--description,-d", o->description, "Description of the file (at most 64 bytes)");
    sub->add_option("--flags", o->flags, "Caller flags of the new file (32-bit number)");
    sub->add_option("--aging", o->aging,
                    "Aging limit of the new file: it cannot be opened this long after it is made; "
                    "DAYS or DAYS:HH:MM:SS, 30 days unless given");
    sub->add_option("--like", o->like,
                    "Give the new file the flags, description, aging limit and method of this "
                    "transaction file (what is given as an option wins); after export SRC, "
                    "--like SRC makes a file that goes on as SRC did (convert --drop-deleted "
                    "leaves out deleted items in one command, and stops at damage)")
        ->type_name("SRC");
    sub->add_flag("--append", o->append,
                "Add to an existing file: the whole input is checked first, then read again for the items "
                "(standard input or a pipe is kept in a scratch file beside FILE meanwhile)");
    AddNewFileOptions(sub, &o->target);
    AddCommonOptions(sub);
    sub->callback([o, status, sub] { *status = RunImport(*o, *sub); });
  }
}

}  // namespace varntool
