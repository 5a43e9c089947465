// create, add, set: make files and change them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "open_file.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "raw_file.h"
#include "tool_util.h"

namespace varntool {

HeaderImage MergeHeaderFields(const HeaderImage& target, const uint8_t* source) {
  HeaderImage merged;
  std::copy(source, source + VARNFILE_HEADER_SIZE, merged.begin());
  auto keep = [&](std::size_t offset, std::size_t size) {
    std::copy(target.begin() + offset, target.begin() + offset + size, merged.begin() + offset);
  };
  keep(MagicOffset, 4);
  keep(VersionOffset, 2);
  keep(BaseNameOffset, BaseNameSize);
  keep(CompressionOffset, 2);
  keep(ClosedMarkerOffset, 2);
  // A description must stay terminated inside its field.
  merged[DescriptionOffset + DescriptionSize - 1] = 0;
  return merged;
}

void AddNewFileOptions(CLI::App* sub, NewFileOptions* options) {
  sub->add_flag("--force,-f", options->force, "Replace an existing file");
  sub->add_flag("--parents,-p", options->parents, "Create missing directories of the new file");
}

void CheckNewFile(const std::string& path, const NewFileOptions& options) {
  if (!options.force && FileExists(path))
    throw ToolError(path + " already exists (use --force to replace it)", ExitCannotCreate);
  std::string dir = DirectoryOf(path);
  if (!options.parents && !FileExists(dir))
    throw ToolError("directory " + dir + " does not exist (use --parents to create it)",
                    ExitCannotCreate);
}

NewFile::NewFile(const std::string& path, const NewFileOptions& options) : path_(path) {
  CheckNewFile(path, options);
  if (!FileExists(path)) {
    unfinished_ = std::make_unique<RemoveOnInterrupt>(path);
    return;
  }
  // The file itself is replaced, where a symbolic link leads, and keeps its
  // permissions.
  char real[4096];
  replaced_ = varnfile::PlatformResolvePath(path.c_str(), real, sizeof real) == 0 ? real : path;
  varnfile::FileClose(OpenLikeLibrary(replaced_, true));  // in use: refused, as a create would be
  scratch_ = std::make_unique<ScratchFile>(DirectoryOf(replaced_), ".varnfile-new");
  scratch_->Close();
  varnfile::PlatformCopyMode(replaced_.c_str(), scratch_->path().c_str());
}

NewFile::~NewFile() = default;

const std::string& NewFile::writing() const { return scratch_ ? scratch_->path() : path_; }

varn::File NewFile::Create(varn::Method method) {
  varn::File file;
  uint16_t rc = varn::File::TryCreate(writing(), method, &file);
  if (rc != VARNFILE_OK) ThrowOpenFailure(path_, rc, true);
  if (scratch_) {  // the header names the file by the name it will have
    HeaderImage header = file.Header();
    std::size_t slash = path_.find_last_of(PathSeparators);
    std::string name = path_.substr(slash == std::string::npos ? 0 : slash + 1, BaseNameSize - 1);
    std::fill(header.begin() + BaseNameOffset, header.begin() + BaseNameOffset + BaseNameSize, 0);
    std::copy(name.begin(), name.end(), header.begin() + BaseNameOffset);
    file.WriteHeader(header);
  }
  return file;
}

void NewFile::Commit() {
  if (!scratch_) {
    unfinished_->Keep();
    return;
  }
  int fd = OpenLikeLibrary(replaced_, true);  // nobody holds the old file while it is replaced
#if defined(_WIN32)
  varnfile::FileClose(fd);  // Windows renames over no file that an open holds
  fd = -1;
#endif
  int error = varnfile::PlatformReplaceName(scratch_->path().c_str(), replaced_.c_str());
  if (fd >= 0) varnfile::FileClose(fd);
  if (error != 0)
    throw ToolError("cannot put the new file in place of " + path_ + ": " + std::strerror(error),
                    ExitIo);
}

constexpr const char* StaysUnfinished = " cannot be removed and stays behind, never closed";

void NewFile::Finish(varn::File* file) {
  uint16_t rc = file->TryClose();
  if (rc == VARNFILE_OK) return;
  bool removed = varnfile::FileRemove(writing().c_str()) == 0;
  std::string what = !removed  ? "; " + writing() + StaysUnfinished
                     : scratch_ ? " (removed it; the old file is as it was)"
                                : " (removed it)";
  throw varn::Error(rc, "cannot finish " + path_ + what);
}

void NewFile::Discard(varn::File* file) {
  if (file->TryAbort() != VARNFILE_OK) Report("varnfile: %s%s\n", writing().c_str(), StaysUnfinished);
}

namespace {

void CheckDescription(const std::string& text) {
  if (text.size() > 64)
    throw ToolError("description: at most 64 characters, got " + std::to_string(text.size()));
  if (text.find('\0') != std::string::npos) throw ToolError("description: holds a NUL character");
}

std::vector<uint8_t> ReadAll(std::istream& in, const std::string& what) {
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + what, ExitIo);
  return data;
}

struct CreateOptions {
  std::string path, method = "chained-deflate", description, flags, aging;
  NewFileOptions target;
};

void RunCreate(const CreateOptions& o) {
  varn::Method method = ParseMethod(o.method);
  uint32_t flags = o.flags.empty() ? 0 : static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags"));
  CheckDescription(o.description);
  HeaderImage aging{};
  if (!o.aging.empty()) ParseAging(o.aging, aging.data());
  NewFile made(o.path, o.target);
  varn::File file = made.Create(method);
  try {
    if (!o.description.empty()) file.SetDescription(o.description);
    if (flags != 0) file.SetFlags(flags);
    if (!o.aging.empty()) {
      HeaderImage header = file.Header();
      std::copy(aging.begin() + AgingDaysOffset, aging.begin() + CompressionOffset,
                header.begin() + AgingDaysOffset);
      file.WriteHeader(header);
    }
    made.Finish(&file);
  } catch (...) {
    made.Discard(&file);
    throw;
  }
  made.Commit();
  Note("created %s (method %u, %s)\n", o.path.c_str(), static_cast<unsigned>(method),
         varn::MethodName(method));
}

struct AddOptions {
  std::string path, command, extra = "0", value = "0", text, dataFile;
  bool fromStdin = false;
};

void RunAdd(const AddOptions& o) {
  varn::Item item;
  item.command = static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd"));
  item.extra = static_cast<uint16_t>(ParseNumber(o.extra, 0xFFFF, "--extra"));
  item.value = static_cast<uint32_t>(ParseNumber(o.value, 0xFFFFFFFF, "--value"));
  std::vector<uint8_t>& data = item.data;
  if (!o.dataFile.empty()) {
    std::ifstream in(o.dataFile, std::ios::binary);
    if (!in)
      throw ToolError("cannot open " + o.dataFile + ": " + std::strerror(errno),
                      errno == ENOENT ? ExitNoInput : ExitIo);
    data = ReadAll(in, o.dataFile);
  } else if (o.fromStdin) {
    data = ReadAll(StandardInput("the item data"), "standard input");
  } else {
    data.assign(o.text.begin(), o.text.end());
  }
  if (data.size() > VARNFILE_MAX_ITEM_LENGTH)
    throw ToolError("item data is " + std::to_string(data.size()) + " bytes; at most " +
                    std::to_string(VARNFILE_MAX_ITEM_LENGTH) + " fit one item");
  varn::File file = OpenItems(o.path, varn::Access::ReadWrite);
  DeferInterrupts defer;  // the item and the close are written whole
  uint32_t position = AppendItem(file, item, "add");
  file.Close();
  Note("added item 0x%04X at %u (%zu bytes)\n", item.command, position, data.size());
}

struct SetOptions {
  std::string path, flags, description, aging;
  bool resetAging = false;
};

// Edits the header directly (see HeaderEditor), so that an aged file can be
// rescued: the library would refuse to open it.
void RunSet(const SetOptions& o, const CLI::App& sub) {
  bool setFlags = sub.count("--flags") > 0, setDescription = sub.count("--description") > 0;
  bool setAging = sub.count("--aging") > 0;
  if (!setFlags && !setDescription && !setAging && !o.resetAging)
    throw ToolError("set: nothing to change (give --flags, --description, --aging or --reset-aging)");
  uint32_t flags = setFlags ? static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags")) : 0;
  if (setDescription) CheckDescription(o.description);
  HeaderImage aging{};
  if (setAging) ParseAging(o.aging, aging.data());
  HeaderEditor editor(o.path);
  uint8_t* h = editor.header();
  if (setFlags) Put32(h + FlagsOffset, flags);
  if (setDescription) {
    std::fill(h + DescriptionOffset, h + DescriptionOffset + DescriptionSize, 0);
    std::copy(o.description.begin(), o.description.end(), h + DescriptionOffset);
  }
  if (setAging) std::copy(aging.begin() + AgingDaysOffset, aging.begin() + CompressionOffset, h + AgingDaysOffset);
  if (o.resetAging) StampNow(h);
  editor.Write();
  if (settings().quiet) return;
  std::printf("flags        0x%08X\n", Get32(h + FlagsOffset));
  std::printf("description  %s\n", Quote(HeaderText(h + DescriptionOffset, DescriptionSize)).c_str());
  std::printf("stamp        %s\n", FormatStamp(h + StampDateOffset, h + StampTimeOffset).c_str());
  std::printf("aging limit  %s\n", FormatSpan(AgingSeconds(h)).c_str());
}

}  // namespace

void AddEditCommands(CLI::App& app, int* status) {
  const char* agingHelp =
      "Aging limit: the file cannot be opened this long after its stamp (creation or last "
      "reset); DAYS or DAYS:HH:MM:SS, new files get 30 days";
  {
    auto o = std::make_shared<CreateOptions>();
    CLI::App* sub = app.add_subcommand("create", "Create an empty transaction file");
    sub->add_option("FILE", o->path, "File to create")->required();
    sub->add_option("--method,-m", o->method,
                    "Compression method: 0 none, 1 predictor, 2 chained-deflate (default), "
                    "3 chained-predictor, 4 deflate");
    sub->add_option("--description,-d", o->description, "Description (at most 64 characters)");
    sub->add_option("--flags", o->flags, "Caller flags (32-bit number)");
    sub->add_option("--aging", o->aging, agingHelp);
    AddNewFileOptions(sub, &o->target);
    AddCommonOptions(sub);
    sub->callback([o, status] {
      RunCreate(*o);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<AddOptions>();
    CLI::App* sub = app.add_subcommand("add", "Append one item to a file");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--cmd,-c", o->command, "Command id (0..0xFEFF, or 0xFF02 for an end marker)")
        ->required();
    sub->add_option("--extra,-e", o->extra, "Extra id (16-bit, default 0)");
    sub->add_option("--value,-v", o->value, "Value (32-bit, default 0)");
    CLI::Option* text = sub->add_option("--data", o->text, "Item data given as text");
    CLI::Option* file = sub->add_option("--file", o->dataFile, "Read the item data from a file");
    CLI::Option* in = sub->add_flag("--stdin", o->fromStdin, "Read the item data from stdin");
    text->excludes(file)->excludes(in);
    file->excludes(in);
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      if (sub->count("--data") + sub->count("--file") + sub->count("--stdin") != 1)
        throw ToolError("add: give the data with exactly one of --data, --file or --stdin");
      RunAdd(*o);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<SetOptions>();
    CLI::App* sub = app.add_subcommand(
        "set",
        "Change the flags, description, aging limit or aging stamp. Writes the header fields "
        "directly under the file's exclusive lock, so it also rescues a file that has aged");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--flags", o->flags, "New caller flags (32-bit number)");
    sub->add_option("--description,-d", o->description, "New description (at most 64 characters)");
    sub->add_option("--aging", o->aging, agingHelp);
    sub->add_flag("--reset-aging", o->resetAging, "Restamp the file with the current time");
    AddCommonOptions(sub);
    sub->callback([o, status, sub] {
      RunSet(*o, *sub);
      *status = 0;
    });
  }
}

}  // namespace varntool
