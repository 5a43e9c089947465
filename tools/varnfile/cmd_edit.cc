// create, add, set: make files and change them.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
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

void CheckNewFile(const std::string& path, bool force) {
  if (!force && FileExists(path))
    throw ToolError(path + " already exists (use --force to replace it)");
}

varn::File CreateFile(const std::string& path, varn::Method method, bool force) {
  CheckNewFile(path, force);
  return varn::File::Create(path, method);
}

namespace {

void CheckDescription(const std::string& text) {
  if (text.size() > 64)
    throw ToolError("description: at most 64 characters, got " + std::to_string(text.size()));
  if (text.find('\0') != std::string::npos) throw ToolError("description: holds a NUL character");
}

std::vector<uint8_t> ReadAll(std::istream& in, const std::string& what) {
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + what);
  return data;
}

struct CreateOptions {
  std::string path, method = "chained-deflate", description, flags;
  bool force = false;
};

void RunCreate(const CreateOptions& o) {
  varn::Method method = ParseMethod(o.method);
  uint32_t flags = o.flags.empty() ? 0 : static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags"));
  CheckDescription(o.description);
  varn::File file = CreateFile(o.path, method, o.force);
  try {
    if (!o.description.empty()) file.SetDescription(o.description);
    if (flags != 0) file.SetFlags(flags);
  } catch (...) {
    file.TryAbort();
    throw;
  }
  file.Close();
  std::printf("created %s (method %u, %s)\n", o.path.c_str(), static_cast<unsigned>(method),
              varn::MethodName(method));
}

struct AddOptions {
  std::string path, command, extra = "0", value = "0", text, dataFile;
  bool fromStdin = false;
};

void RunAdd(const AddOptions& o) {
  uint16_t command = static_cast<uint16_t>(ParseNumber(o.command, 0xFFFF, "--cmd"));
  uint16_t extra = static_cast<uint16_t>(ParseNumber(o.extra, 0xFFFF, "--extra"));
  uint32_t value = static_cast<uint32_t>(ParseNumber(o.value, 0xFFFFFFFF, "--value"));
  std::vector<uint8_t> data;
  if (!o.dataFile.empty()) {
    std::ifstream in(o.dataFile, std::ios::binary);
    if (!in) throw ToolError("cannot open " + o.dataFile);
    data = ReadAll(in, o.dataFile);
  } else if (o.fromStdin) {
    data = ReadAll(std::cin, "standard input");
  } else {
    data.assign(o.text.begin(), o.text.end());
  }
  if (data.size() > VARNFILE_MAX_ITEM_LENGTH)
    throw ToolError("item data is " + std::to_string(data.size()) + " bytes; at most " +
                    std::to_string(VARNFILE_MAX_ITEM_LENGTH) + " fit one item");
  varn::File file = varn::File::Open(o.path, varn::Access::ReadWrite);
  uint32_t position = file.Add(command, extra, value, data.data(), data.size());
  file.Close();
  std::printf("added item 0x%04X at %u (%zu bytes)\n", command, position, data.size());
}

struct SetOptions {
  std::string path, flags, description;
  bool resetAging = false;
};

void RunSet(const SetOptions& o, const CLI::App& sub) {
  bool setFlags = sub.count("--flags") > 0, setDescription = sub.count("--description") > 0;
  if (!setFlags && !setDescription && !o.resetAging)
    throw ToolError("set: nothing to change (give --flags, --description or --reset-aging)");
  uint32_t flags = setFlags ? static_cast<uint32_t>(ParseNumber(o.flags, 0xFFFFFFFF, "--flags")) : 0;
  if (setDescription) CheckDescription(o.description);
  varn::File file = varn::File::Open(o.path, varn::Access::ReadWrite);
  if (setFlags) file.SetFlags(flags);
  if (setDescription) file.SetDescription(o.description);
  if (o.resetAging) file.ResetAging();
  HeaderImage header = file.Header();
  file.Close();
  std::printf("flags        0x%08X\n", Get32(header.data() + FlagsOffset));
  std::printf("description  %s\n", Quote(HeaderText(header.data() + DescriptionOffset,
                                                     DescriptionSize)).c_str());
  std::printf("stamp        %s\n",
              FormatStamp(header.data() + StampDateOffset, header.data() + StampTimeOffset).c_str());
}

}  // namespace

void AddEditCommands(CLI::App& app, int* status) {
  {
    auto o = std::make_shared<CreateOptions>();
    CLI::App* sub = app.add_subcommand("create", "Create an empty transaction file");
    sub->add_option("FILE", o->path, "File to create")->required();
    sub->add_option("--method,-m", o->method,
                    "Compression method: 0 none, 1 predictor, 2 chained-deflate (default), "
                    "3 chained-predictor, 4 deflate");
    sub->add_option("--description,-d", o->description, "Description (at most 64 characters)");
    sub->add_option("--flags", o->flags, "Caller flags (32-bit number)");
    sub->add_flag("--force,-f", o->force, "Replace an existing file");
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
    sub->callback([o, status, sub] {
      if (sub->count("--data") + sub->count("--file") + sub->count("--stdin") != 1)
        throw ToolError("add: give the data with exactly one of --data, --file or --stdin");
      RunAdd(*o);
      *status = 0;
    });
  }
  {
    auto o = std::make_shared<SetOptions>();
    CLI::App* sub = app.add_subcommand("set", "Change the flags, description or aging stamp");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--flags", o->flags, "New caller flags (32-bit number)");
    sub->add_option("--description,-d", o->description, "New description (at most 64 characters)");
    sub->add_flag("--reset-aging", o->resetAging, "Restamp the file with the current time");
    sub->callback([o, status, sub] {
      RunSet(*o, *sub);
      *status = 0;
    });
  }
}

}  // namespace varntool
