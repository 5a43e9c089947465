// convert, export, import: move items between files and other tools.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "json_lines.h"
#include "raw_file.h"
#include "tool_util.h"
#include "walk.h"

namespace varntool {
namespace {

// ---- convert ----

struct ConvertOptions {
  std::string source, target, method;
  bool force = false;
};

int RunConvert(const ConvertOptions& o) {
  varn::Method method = ParseMethod(o.method);
  if (SameFile(o.source, o.target)) throw ToolError("convert: source and target are the same file");
  varn::File source = varn::File::Open(o.source, varn::Access::Read);
  HeaderImage sourceHeader = source.Header();
  varn::File target = CreateFile(o.target, method, o.force);
  try {
    target.WriteHeader(MergeHeaderFields(target.Header(), sourceHeader.data()));
    target.DuplicateFrom(source);
    target.Close();
  } catch (...) {
    target.TryAbort();  // no half-made target stays behind
    throw;
  }
  source.Close();
  RawFile before, after;
  before.Open(o.source);
  after.Open(o.target);
  uint16_t from = Get16(sourceHeader.data() + CompressionOffset);
  std::printf("converted %s (%u %s, %llu bytes) to %s (%u %s, %llu bytes)\n", o.source.c_str(), from,
              varn::MethodName(static_cast<varn::Method>(from)),
              static_cast<unsigned long long>(before.size()), o.target.c_str(),
              static_cast<unsigned>(method), varn::MethodName(method),
              static_cast<unsigned long long>(after.size()));
  return 0;
}

// ---- export ----

struct ExportOptions {
  std::string path, output;
};

int RunExport(const ExportOptions& o) {
  RawFile raw;
  raw.Open(o.path);
  varn::File file = varn::File::Open(o.path, varn::Access::Read);
  uint16_t method = static_cast<uint16_t>(file.method());
  std::ofstream outFile;
  if (!o.output.empty()) {
    outFile.open(o.output, std::ios::binary | std::ios::trunc);
    if (!outFile) throw ToolError("cannot create " + o.output);
  }
  std::ostream& out = o.output.empty() ? std::cout : outFile;
  Progress progress("export", raw.size());
  uint64_t count = 0;
  std::string line;
  WalkItems(file, raw, false, 0, false, [&](const Entry& e) {
    progress.Update(e.frame.position);
    if (e.crc == CrcState::Bad)
      throw ToolError("the item at " + std::to_string(e.frame.position) +
                      " fails its CRC check; export stopped (run verify, or recover)");
    std::string data;
    if (e.kind == EntryKind::Live) {
      data = Base64Encode(e.data->data(), e.data->size());
    } else if (e.frame.length > 0) {
      // The library never hands out an end marker's data; without
      // compression it is the stored bytes.
      if (method != VARNFILE_METHOD_NONE)
        throw ToolError("the end marker at " + std::to_string(e.frame.position) +
                        " carries compressed data, which cannot be exported");
      data = Base64Encode(raw.data() + e.frame.position + ItemHeaderSize, e.frame.length);
    }
    line = "{\"position\":" + std::to_string(e.frame.position) +
           ",\"command\":" + std::to_string(e.frame.command) +
           ",\"extra\":" + std::to_string(e.frame.extra) + ",\"value\":" + std::to_string(e.frame.value) +
           ",\"length\":" + std::to_string(e.frame.length) + ",\"data\":\"" + data + "\"}\n";
    out << line;
    ++count;
    return true;
  });
  file.Close();
  out.flush();
  if (!out) throw ToolError("cannot write the exported items");
  progress.Finish();
  std::fprintf(stderr, "exported %llu items\n", static_cast<unsigned long long>(count));
  return 0;
}

// ---- import ----

struct ImportOptions {
  std::string path, input, method = "chained-deflate", description;
  bool append = false, force = false;
};

uint64_t Field(const std::map<std::string, JsonValue>& object, const char* key, uint64_t max,
               bool required, uint64_t line) {
  auto it = object.find(key);
  if (it == object.end()) {
    if (required) throw ToolError("line " + std::to_string(line) + ": no \"" + key + "\"");
    return 0;
  }
  const JsonValue& v = it->second;
  if (v.type != JsonValue::Type::Number || v.negativeOrFraction || v.number > max)
    throw ToolError("line " + std::to_string(line) + ": \"" + key + "\" must be an integer 0.." +
                    std::to_string(max));
  return v.number;
}

std::vector<varn::Item> ReadItems(std::istream& in) {
  std::vector<varn::Item> items;
  std::string text, error;
  std::map<std::string, JsonValue> object;
  uint64_t line = 0;
  while (std::getline(in, text)) {
    ++line;
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!ParseJsonObject(text, &object, &error))
      throw ToolError("line " + std::to_string(line) + ": " + error);
    varn::Item item;
    item.command = static_cast<uint16_t>(Field(object, "command", 0xFFFF, true, line));
    item.extra = static_cast<uint16_t>(Field(object, "extra", 0xFFFF, false, line));
    item.value = static_cast<uint32_t>(Field(object, "value", 0xFFFFFFFF, false, line));
    auto data = object.find("data");
    if (data != object.end()) {
      if (data->second.type != JsonValue::Type::String || !Base64Decode(data->second.text, &item.data))
        throw ToolError("line " + std::to_string(line) + ": \"data\" must be base64 text");
    }
    if (item.data.size() > VARNFILE_MAX_ITEM_LENGTH)
      throw ToolError("line " + std::to_string(line) + ": data longer than 65535 bytes");
    if (object.count("length") != 0 &&
        Field(object, "length", 0xFFFF, false, line) != item.data.size())
      throw ToolError("line " + std::to_string(line) + ": \"length\" does not match the data");
    if (item.command >= 0xFF00 && item.command != EndMarkerCommand)
      throw ToolError("line " + std::to_string(line) + ": command " + std::to_string(item.command) +
                      " is reserved");
    items.push_back(std::move(item));
  }
  if (in.bad()) throw ToolError("cannot read the items to import");
  return items;
}

int RunImport(const ImportOptions& o, const CLI::App& sub) {
  std::vector<varn::Item> items;
  if (o.input.empty()) {
    items = ReadItems(std::cin);
  } else {
    std::ifstream in(o.input, std::ios::binary);
    if (!in) throw ToolError("cannot open " + o.input);
    items = ReadItems(in);
  }
  varn::File file;
  bool created = !o.append;
  if (o.append) {
    if (sub.count("--method") > 0) throw ToolError("import: --method cannot change an existing file");
    file = varn::File::Open(o.path, varn::Access::ReadWrite);
  } else {
    file = CreateFile(o.path, ParseMethod(o.method), o.force);
  }
  try {
    if (sub.count("--description") > 0) file.SetDescription(o.description);
    Progress progress("import", items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      file.Add(items[i]);
      progress.Update(i + 1);
    }
    progress.Finish();
    file.Close();
  } catch (...) {
    if (created) file.TryAbort();
    throw;
  }
  std::fprintf(stderr, "imported %zu items into %s\n", items.size(), o.path.c_str());
  return 0;
}

}  // namespace

void AddTransferCommands(CLI::App& app, int* status) {
  {
    auto o = std::make_shared<ConvertOptions>();
    CLI::App* sub = app.add_subcommand(
        "convert", "Copy every record into a new file stored with another compression method");
    sub->add_option("SRC", o->source, "Transaction file to read")->required();
    sub->add_option("DST", o->target, "New file to write")->required();
    sub->add_option("--method,-m", o->method, "Method of the new file: 0..4 or its name")->required();
    sub->add_flag("--force,-f", o->force, "Replace an existing DST");
    sub->callback([o, status] { *status = RunConvert(*o); });
  }
  {
    auto o = std::make_shared<ExportOptions>();
    CLI::App* sub = app.add_subcommand(
        "export", "Write the items as JSON Lines (ids, value, data in base64)");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--output,-o", o->output, "Write to this file instead of stdout");
    sub->callback([o, status] { *status = RunExport(*o); });
  }
  {
    auto o = std::make_shared<ImportOptions>();
    CLI::App* sub = app.add_subcommand(
        "import", "Make a file from JSON Lines items, as export writes them");
    sub->add_option("FILE", o->path, "Transaction file to create (or extend with --append)")
        ->required();
    sub->add_option("--input,-i", o->input, "Read from this file instead of stdin");
    sub->add_option("--method,-m", o->method, "Method of the new file: 0..4 or its name");
    sub->add_option("--description,-d", o->description, "Description of the file");
    sub->add_flag("--append", o->append, "Add to an existing file");
    sub->add_flag("--force,-f", o->force, "Replace an existing file");
    sub->callback([o, status, sub] { *status = RunImport(*o, *sub); });
  }
}

}  // namespace varntool
