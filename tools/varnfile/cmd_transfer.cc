// convert, export: copy items into a new file, or out to other tools.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// ---- convert ----

struct ConvertOptions {
  std::string source, target, method;  // no method: the source's
  NewFileOptions output;
  bool ignoreAging = false, dropDeleted = false;
};

// Adds the live items and end markers of `source` to `target`, in order and
// with their ids, value and data, and passes over its deleted items; how
// many there were. A CRC failure or damage stops it, as it stops a copy of
// every record.
uint64_t CopyLiveRecords(varn::File& source, const RawFile& raw, NewFile& made, varn::File* target,
                         const std::string& path) {
  EndMarkerReader markers(raw, static_cast<uint16_t>(source.method()));
  ChainBreaker chains(&made, target);
  const varn::Method method = target->method();
  Progress progress("convert", raw.size());
  uint64_t copied = 0, deleted = 0;
  WalkItems(source, raw, false, 0, true, [&](const Entry& e) {
    const RecordFrame& f = e.frame;
    const std::string where = "the item at " + std::to_string(f.position) + " of " + path;
    if (e.kind == EntryKind::Deleted) {
      ++deleted;
      return true;
    }
    if (e.crc == CrcState::Bad)
      throw ToolError(where + " fails its CRC check (convert copies only intact files: varnfile verify " + path +
                          " shows the damage, varnfile recover salvages the intact items)",
                      ExitDamaged);
    std::vector<uint8_t> marker;
    if (e.kind == EntryKind::EndMarker && f.length > 0) marker = markers.Data(f);
    const std::vector<uint8_t>& data = e.kind == EntryKind::Live ? *e.data : marker;
    uint32_t at = 0;
    errno = 0;  // a failed write's errno is its cause, never an older one
    const uint16_t rc = target->TryAdd(f.command, f.extra, f.value, data.data(), data.size(), &at);
    if (rc == VARNFILE_E_INVALID_ARGUMENT && method != varn::Method::None)
      throw DoesNotFit("convert: the data of " + where, method);
    varn::Check(rc, "convert: cannot add " + where);
    chains.Added(at);
    progress.Update(++copied, f.position);
    return true;
  });
  progress.Finish();
  return deleted;
}

// The library copies every record in one call; a watcher thread shows the
// target growing.
class GrowthWatch {
 public:
  GrowthWatch(const char* label, const std::string& path) : progress_(label, 0), path_(path) {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!done_) {
        uint64_t size = 0;
        if (varnfile::PlatformFileSize(path_.c_str(), &size) == 0) progress_.Update(0, size);
        wake_.wait_for(lock, std::chrono::milliseconds(100));
      }
      progress_.Finish();
    });
  }
  ~GrowthWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  Progress progress_;
  std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

int RunConvert(const ConvertOptions& o) {
  CheckNameLength(o.source);
  CheckNameLength(o.target);
  varn::Method method = o.method.empty() ? varn::Method::None : ParseMethod(o.method);
  if (SameFile(o.source, o.target)) throw ToolError("convert: source and target are the same file");
  bool aged = false;
  varn::File source = OpenItems(o.source, varn::Access::Read, o.ignoreAging, &aged);
  UseWideWindows(source);
  if (o.method.empty()) method = source.method();
  RawFile before;
  before.Open(o.source);
  // The library reads past a trailer that does not point back and past
  // bytes behind the last record that hold a record's worth of anything
  // (zeros read as an item of command 0): copied, the damage would reach a
  // new file that verifies clean. Nothing is made from such a file.
  const FramingFault fault = CheckFraming(before, static_cast<uint16_t>(source.method()));
  if (fault.problem != FrameProblem::None)
    throw ToolError("convert: the record at " + std::to_string(fault.position) + " of " + o.source +
                        " is damaged (" + DescribeFrameProblem(fault.problem) +
                        "), and convert copies only intact files: varnfile verify " + o.source +
                        " shows the damage, varnfile recover salvages the intact items",
                    ExitDamaged);
  HeaderImage sourceHeader = source.Header();
  if (o.ignoreAging)  // the copy's stamp was moved; keep the file's own
    std::copy(before.data(), before.data() + HeaderSize, sourceHeader.begin());
  NewFile made(o.target, o.output, true);
  varn::File target = made.Create(method);
  uint64_t dropped = 0;
  try {
    UseWideWindows(target);
    if (o.dropDeleted) {
      dropped = CopyLiveRecords(source, before, made, &target, o.source);
      // The header last: the source's stamp, aged or about to age, would
      // stop a chained copy from opening its target again.
      target.WriteHeader(MergeHeaderFields(target.Header(), sourceHeader.data()));
    } else {
      target.WriteHeader(MergeHeaderFields(target.Header(), sourceHeader.data()));
      try {
        GrowthWatch watch("convert", made.writing());
        target.DuplicateFrom(source);
      } catch (const varn::Error& e) {
        // The source is sound, but one of its items cannot be stored under
        // the new method.
        if (e.code() == VARNFILE_E_INVALID_ARGUMENT && method != varn::Method::None)
          throw DoesNotFit("convert: the data of an item of " + o.source, method);
        if (StatusForResult(e.code()) != ExitDamaged) throw;
        throw ToolError(std::string(e.what()) + " (convert copies only intact files: varnfile verify " +
                        o.source + " shows the damage, varnfile recover salvages the intact items)",
                        ExitDamaged);
      }
    }
    made.Finish(&target);
  } catch (...) {
    made.DiscardAndRethrow(&target);  // no half-made target stays behind
  }
  // The source was only read: its close loses nothing, and it goes before
  // the new file takes its name, so that nothing fails after that (the
  // summary's size too is taken before).
  if (source.TryClose() != VARNFILE_OK)
    Report("warning: closing %s failed (it was only read, so nothing is lost)\n", o.source.c_str());
  uint64_t size = 0;
  const std::string madeSize = made.Size(&size) ? ", " + std::to_string(size) + " bytes" : "";
  made.Commit();
  uint16_t from = Get16(sourceHeader.data() + CompressionOffset);
  const std::string without = o.dropDeleted ? ", without " + Counted(dropped, "deleted item") : "";
  Note("converted %s (%u %s, %llu bytes) to %s (%u %s%s)%s\n", o.source.c_str(), from,
         varn::MethodName(static_cast<varn::Method>(from)),
         static_cast<unsigned long long>(before.size()), o.target.c_str(),
         static_cast<unsigned>(method), varn::MethodName(method), madeSize.c_str(), without.c_str());
  if (aged) WarnAgedLikeSource(o.target);
  return ExitOk;
}

// ---- export ----

// The regular file that an output named `path` writes to, found through
// symbolic links, or where they lead when no file is there yet; empty for
// an output written in place: one that is no regular file (a device, also
// one that Windows finds by its name, such as NUL or dir\nul.jsonl, a
// pipe, a directory), or one that stands for an open stream (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N, a name whose links lead through them): their
// rows go where that stream goes, which may be a file opened to append,
// never into a new file put in its place.
std::string ReplaceableFile(const std::string& path) {
  static const char* const streams[] = {"/dev/fd/", "/dev/stdin", "/dev/stdout", "/dev/stderr", "/proc/"};
  std::filesystem::path at = path;
  std::error_code error;
  int hops = 0;
  for (;; ++hops) {
    const std::string text = at.generic_string();
    for (const char* stream : streams) {
      if (text.rfind(stream, 0) == 0) return "";
    }
    if (!std::filesystem::is_symlink(at, error)) break;
    if (hops == 40) return "";  // a loop: the open says so
    std::filesystem::path to = std::filesystem::read_symlink(at, error);
    if (error) return "";
    at = to.is_absolute() ? to : at.parent_path() / to;
  }
  const std::string end = hops == 0 ? path : at.string();  // as LinkEnd: not through another code page
  if (varnfile::PlatformIsDeviceName(end.c_str())) return "";
  switch (std::filesystem::status(at, error).type()) {
    case std::filesystem::file_type::not_found:
      return end;
    case std::filesystem::file_type::regular:
      return SameFile(end, "/dev/stdout") || SameFile(end, "/dev/stderr") ? "" : end;
    default:
      return "";
  }
}

// Writes to stdout or a file through a 64 KB buffer. stdout gets every row
// made before a failure, as a pipe reading it would have had them without
// the buffer. A file is written under a scratch name beside it
// (.varnfile-export-*) and takes its name only once every row is written:
// an export that fails or is interrupted leaves a file that was there as it
// was, and makes none that was not. A symbolic link keeps its name and
// leads to the new file. An output that is no regular file (-o /dev/null,
// a FIFO, -o /dev/stdout) is written in place, and so is a new file in a
// folder where no scratch file can be made (it goes when the export
// fails); an existing file there is refused before anything is written.
class Output {
 public:
  explicit Output(const std::string& path) : path_(path) {
    if (!path.empty()) {
      target_ = ReplaceableFile(path);
      if (!target_.empty()) {
        try {
          scratch_ = std::make_unique<ScratchFile>(DirectoryOf(target_), ".varnfile-export");
        } catch (const ToolError& e) {
          // A folder the tool may not write in. A file that is there would
          // be cut by a write in place, and an export that fails then would
          // leave it empty or half written: it is refused before the first
          // row. A new file is made in place, and goes if the export fails.
          if (FileExists(target_))
            throw ToolError("cannot replace " + path + " (" + e.what() +
                                "): an existing output is replaced only through a scratch file beside "
                                "it, so that a failed export leaves it as it was (standard output, > " +
                                path + ", writes it in place)",
                            e.status());
        }
      }
      if (scratch_) {
        if (FileExists(target_)) varnfile::PlatformCopyMode(target_.c_str(), scratch_->path().c_str());
        file_ = nullptr;
      } else if (SameFile(path, "/dev/stdout")) {
        // Standard output itself, as without --output: opened again it
        // would be cut, also where the shell opened it to append (>>).
      } else {
        std::error_code error;
        removable_ = !varnfile::PlatformIsDeviceName(path.c_str()) &&
                     std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::not_found;
        if (removable_) cleanup_ = std::make_unique<RemoveOnInterrupt>(path);
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) {
          cleanup_.reset();
          throw SystemError("cannot create " + path, errno, ExitCannotCreate);
        }
      }
    }
    buffer_.reserve(BufferSize + 1024);
  }
  ~Output() {
    if (file_ == stdout) {
      std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    } else if (file_ != nullptr) {
      std::fclose(file_);
      if (removable_) std::remove(path_.c_str());  // not finished
    }
    // A scratch file that did not take its name goes with scratch_.
  }
  void Write(const std::string& text) {
    buffer_ += text;
    if (buffer_.size() >= BufferSize) Flush();
  }
  void Finish() {
    Flush();
    if (scratch_) {
      scratch_->Close();
      int error = scratch_->TakeName(target_);
      if (error != 0)
        throw SystemError("cannot put the exported items in place of " + path_, error, ExitIo);
      return;
    }
    int error = std::fflush(file_) != 0 ? errno : 0;
    if (file_ != stdout) {
      // A failed fclose has closed the stream all the same: it is not
      // closed again, and the unfinished output goes here.
      if (std::fclose(file_) != 0 && error == 0) error = errno;
      file_ = nullptr;
      if (error != 0 && removable_) std::remove(path_.c_str());
    }
    if (error != 0)
      throw SystemError("cannot write the exported items", error, ExitIo);
    file_ = nullptr;
    if (cleanup_) cleanup_->Keep();
  }

 private:
  static constexpr std::size_t BufferSize = 64 << 10;
  void Flush() {
    if (buffer_.empty()) return;
    if (scratch_) {
      scratch_->Write(buffer_.data(), buffer_.size());
    } else if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      throw SystemError("cannot write the exported items", errno, ExitIo);
    }
    buffer_.clear();
  }
  std::string path_, target_;
  FILE* file_ = stdout;
  bool removable_ = false;  // a file the export made in place
  std::string buffer_;
  std::unique_ptr<ScratchFile> scratch_;
  std::unique_ptr<RemoveOnInterrupt> cleanup_;
};

struct ExportOptions {
  std::string path, output, format;  // no --format: from the output's name
  RangeOptions range;
  SelectOptions select;
  bool ignoreAging = false, force = false;
};

int RunExport(const ExportOptions& o) {
  // "-" is standard output, as for --input of import (./- names a file).
  const std::string output = o.output == "-" ? "" : o.output;
  Format format = ParseFormat(FormatOfName(o.format, output), false);
  ItemRange range(o.range, o.select);
  CheckNameLength(o.path);
  CheckFileName(output, "the name of the output");
  // The output is truncated before the first row: never the items' own file.
  if (!output.empty() && SameFile(o.path, output))
    throw ToolError("export: the output is " + o.path + " itself");
  // An output that another open holds is refused first: where that open
  // shuts out readers (Windows), its first bytes cannot even be read.
  if (!output.empty() && IsRegularFile(output)) {
    try {
      varnfile::FileClose(OpenLikeLibrary(output, false));
    } catch (const ToolError& e) {
      if (e.status() == ExitInUse) throw;
    }
  }
  if (!output.empty() && BeginsAsTransactionFile(output)) {
    if (!o.force)
      throw ToolError(output + " is a transaction file; export writes over one only with --force",
                      ExitCannotCreate);
    // Not one that a program has open: its items would go, and its close
    // would fail. Refused as a create over it is (75).
    varnfile::FileClose(OpenLikeLibrary(output, true));
  }
  varn::File file = OpenItems(o.path, varn::Access::Read, o.ignoreAging);
  UseWideWindows(file);
  RawFile raw;
  raw.Open(o.path);
  uint16_t method = static_cast<uint16_t>(file.method());
  range.Locate(file, raw, false);
  EndMarkerReader markers(raw, method);
  Output out(output);
  if (format == Format::Csv) out.Write("position,cmd,extra,value,length,encoding,data\r\n");
  Progress progress("export", raw.size());
  uint64_t count = 0, seen = 0;
  std::string line;
  auto passing = [&](const Entry& e) {
    progress.Update(seen++, o.range.reverse ? raw.size() - e.frame.position : e.frame.position);
  };
  range.Walk(file, raw, [&](const Entry& e) {
    if (e.crc == CrcState::Bad)
      throw ToolError("the item at " + std::to_string(e.frame.position) +
                      " fails its CRC check; export stopped (run verify, or recover)", ExitDamaged);
    EncodedData data{"text", ""};
    if (e.kind == EntryKind::Live) {
      data = EncodeData(e.data->data(), e.data->size());
    } else if (e.frame.length > 0) {
      std::vector<uint8_t> marker = markers.Data(e.frame);
      data = EncodeData(marker.data(), marker.size());
    }
    const RecordFrame& f = e.frame;
    switch (format) {
      case Format::JsonLines:
        line = JsonObject().Add("position", f.position).Add("command", f.command).Add("extra", f.extra)
                   .Add("value", f.value).Add("length", f.length).Add("encoding", data.encoding)
                   .Add("data", data.text).str() + "\n";
        break;
      case Format::Csv:
        line = std::to_string(f.position) + "," + std::to_string(f.command) + "," +
               std::to_string(f.extra) + "," + std::to_string(f.value) + "," +
               std::to_string(f.length) + "," + data.encoding + "," + CsvField(data.text) + "\r\n";
        break;
      default:
        line = std::to_string(f.position) + "\t" + std::to_string(f.command) + "\t" +
               std::to_string(f.extra) + "\t" + std::to_string(f.value) + "\t" + data.encoding +
               "\t" + data.text + "\n";
    }
    out.Write(line);
    ++count;
    return true;
  }, passing);
  file.Close();
  out.Finish();
  progress.Finish();
  // Like head or LIMIT, a walk that --limit ended reads no further: the
  // items it left are not counted, and the summary gives the total only
  // when the walk went through the whole range.
  if (!range.cut() && !range.selection().all())
    Report("exported %llu of %s\n", static_cast<unsigned long long>(count),
           Counted(range.walked(), "item").c_str());
  else
    Report("exported %s\n", Counted(count, "item").c_str());
  return ExitOk;
}

}  // namespace

Format ParseFormat(const std::string& text, bool lines) {
  if (text == "jsonl" || text == "json") return Format::JsonLines;
  if (text == "csv") return Format::Csv;
  if (text == "text" || text == "tsv") return Format::Text;
  if (text == "lines" && lines) return Format::Lines;
  throw ToolError(std::string("--format: expected jsonl, csv") + (lines ? ", text or lines" : " or text") +
                  ", got " + Quote(text));
}

std::string FormatOfName(const std::string& given, const std::string& path) {
  if (!given.empty()) return given;
  std::size_t dot = path.find_last_of('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == "csv") return "csv";
  if (extension == "tsv") return "text";
  return "jsonl";
}

void AddTransferCommands(CLI::App& app, int* status) {
  {
    auto o = std::make_shared<ConvertOptions>();
    CLI::App* sub = app.add_subcommand(
        "convert",
        "Copy a file into a new one, stored with another compression method or without its "
        "deleted items. Every record comes along (deleted items and end markers too, unless "
        "--drop-deleted), and so do the header fields; the copy goes through 64 KB buffers. "
        "Positions change");
    sub->add_option("SRC", o->source, "Transaction file to read")->required();
    sub->add_option("DST", o->target, "New file to write")->required();
    sub->add_option("--method,-m", o->method, "Method of the new file: 0..4 or its name (default: the source's)");
    sub->add_flag("--drop-deleted", o->dropDeleted,
                  "Leave the deleted items out: the live items and end markers are added one by one, "
                  "in order (a chained file is closed every 4 MB, as import does), and the header "
                  "fields come along all the same");
    sub->add_flag("--ignore-aging", o->ignoreAging, IgnoreAgingHelp);
    AddNewFileOptions(sub, &o->output);
    AddCommonOptions(sub);
    sub->callback([o, status] { *status = RunConvert(*o); });
  }
  {
    auto o = std::make_shared<ExportOptions>();
    CLI::App* sub = app.add_subcommand(
        "export",
        "Write the live items as JSON Lines, CSV or tab-separated text. Each row gives the "
        "position, ids, value and data: the data as it is when it is valid UTF-8 without "
        "control characters, else in base64, and the row says which (\"text\" or \"base64\"). "
        "Output goes through a 64 KB buffer; a summary (\"exported 10 items\") goes to stderr");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--output,-o,OUTPUT", o->output,
                    "Write to this file instead of stdout (- is stdout; it may follow FILE "
                    "without --output)");
    sub->add_flag("--force,-f", o->force, "Write over a transaction file given as --output");
    AddRangeOptions(sub, &o->range);
    AddSelectOptions(sub, &o->select);
    sub->add_option("--format", o->format,
                    "jsonl (the default, unless the --output name ends in .csv or .tsv): "
                    "{\"position\",\"command\",\"extra\",\"value\",\"length\","
                    "\"encoding\",\"data\"} per line; csv: a header row, then "
                    "position,cmd,extra,value,length,encoding,data (RFC 4180); text: "
                    "position, command, extra, value, encoding, data separated by tabs");
    sub->add_flag("--ignore-aging", o->ignoreAging, IgnoreAgingHelp);
    AddCommonOptions(sub);
    sub->callback([o, status] { *status = RunExport(*o); });
  }
}

}  // namespace varntool
