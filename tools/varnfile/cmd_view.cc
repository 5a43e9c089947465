// info, list, cat, verify: look into files without changing them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "item_text.h"
#include "json_lines.h"
#include "open_file.h"
#include "io/clock.h"
#include "platform/system_clock.h"
#include "raw_file.h"
#include "tool_util.h"
#include "walk.h"

namespace varntool {
namespace {

// Seconds since the epoch of a header stamp taken as local time, as the
// library's aging test reads it; false when it names no representable time.
bool StampTime(const uint8_t* header, int64_t* seconds) {
  varnfile::CalendarTime t = {};
  t.month = header[StampDateOffset] - 1;
  t.day = header[StampDateOffset + 1];
  t.yearsSince1900 = header[StampDateOffset + 2];
  t.hour = header[StampTimeOffset];
  t.minute = header[StampTimeOffset + 1];
  t.second = header[StampTimeOffset + 2];
  return varnfile::PlatformMakeTime(t, seconds) == 0;
}

std::string FormatLocal(int64_t when) {
  varnfile::CalendarTime t;
  if (varnfile::PlatformLocalTime(when, &t) != 0) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 1900 + t.yearsSince1900,
                t.month + 1, t.day, t.hour, t.minute, t.second);
  return text;
}

// The header fields, as text lines or into a JSON object.
void DescribeHeader(const std::string& path, uint64_t size, const uint8_t* h, JsonObject* json) {
  uint16_t method = Get16(h + CompressionOffset);
  std::string magic(reinterpret_cast<const char*>(h), 4);
  std::string baseName = HeaderText(h + BaseNameOffset, BaseNameSize);
  std::string stampText = FormatStamp(h + StampDateOffset, h + StampTimeOffset);
  int64_t limit = AgingSeconds(h);
  // Aged or not, and when, by the library's own test: its clock reads local
  // time as standard time, and it counts the limit in 32 bits.
  const varnfile::AgingLimit stored = {Get16(h + AgingDaysOffset), h[AgingHoursOffset],
                                       h[AgingHoursOffset + 1], h[AgingHoursOffset + 2]};
  const int64_t counted = varnfile::AgingLimitSeconds(&stored);
  int64_t stamp = 0, wallNow = 0;
  uint32_t milliseconds = 0;
  bool stampValid = StampTime(h, &stamp);
  const int64_t now = varnfile::ClockSeconds(nullptr);
  varnfile::PlatformClockNow(&wallNow, &milliseconds);
  const bool aged = now > stamp && counted <= now - stamp;
  int64_t left = stamp + counted - now;
  if (!aged && left <= 0) left = 1;  // a stamp just now: it ages at the next second
  const int64_t agesAt = wallNow + left;
  const char* methodName = varn::MethodName(static_cast<varn::Method>(method));
  // A value no writer sets: what the library reads the items as.
  std::string methodText = methodName;
  const uint16_t readAs = MethodReadAs(method);
  if (readAs != method)
    methodText += std::string(": read as ") + varn::MethodName(static_cast<varn::Method>(readAs));
  std::string description = HeaderText(h + DescriptionOffset, DescriptionSize);
  bool closed = Get16(h + ClosedMarkerOffset) != 0;
  if (json != nullptr) {
    json->Add("file", path).Add("size", size).Add("magic", magic).Add("version", Get16(h + VersionOffset));
    json->Add("base_name", baseName).Add("stamp", stampText).Add("aging_limit_seconds", limit);
    if (stampValid) json->Add("ages_at", FormatLocal(agesAt)).AddBool("aged", aged);
    // read_as: the method the library reads the items with (method_name's
    // own for every method a writer sets).
    json->Add("method", method).Add("method_name", methodName);
    json->Add("read_as", varn::MethodName(static_cast<varn::Method>(readAs)));
    json->Add("flags", Get32(h + FlagsOffset));
    json->Add("description", description).AddBool("closed", closed);
    return;
  }
  std::printf("file           %s\n", Shown(path).c_str());
  std::printf("size           %llu bytes\n", static_cast<unsigned long long>(size));
  std::printf("magic          %s\n", Quote(magic).c_str());
  std::printf("version        %u\n", Get16(h + VersionOffset));
  std::printf("base name      %s\n", Quote(baseName).c_str());
  std::printf("stamp          %s\n", stampText.c_str());
  if (counted == limit)
    std::printf("aging limit    %s\n", FormatSpan(limit).c_str());
  else  // what the library counts: the limit wraps at 2^32 seconds
    std::printf("aging limit    %s (counts as %s)\n", FormatSpan(limit).c_str(),
                FormatSpan(counted).c_str());
  if (stampValid && !aged)
    std::printf("ages at        %s (in %s)\n", FormatLocal(agesAt).c_str(), FormatSpan(left).c_str());
  else if (stampValid)
    std::printf("ages at        %s (aged %s ago)\n", FormatLocal(agesAt).c_str(), FormatSpan(-left).c_str());
  // The header's method reaches the file at the first close: a file never
  // closed names the one it was created with, which its writer may have
  // changed before the first item.
  std::printf("method         %u (%s)%s\n", method, methodText.c_str(),
              closed ? "" : ", as created: the items may use another (recover finds it)");
  std::printf("flags          0x%08X\n", Get32(h + FlagsOffset));
  std::printf("description    %s\n", Quote(description).c_str());
  std::printf("closed         %s\n", closed ? "yes" : "no (never closed properly)");
}

// ---- info ----

struct InfoOptions {
  std::string path;
  bool json = false;
};

// The item counts of info.
struct ItemCounts {
  uint64_t live = 0, deleted = 0, markers = 0, dataBytes = 0, storedBytes = 0;
};

void AddCounts(const ItemCounts& c, JsonObject* json) {
  json->Add("live", c.live).Add("deleted", c.deleted).Add("end_markers", c.markers);
  json->Add("data_bytes", c.dataBytes).Add("stored_bytes", c.storedBytes);
}

// `how` follows the counts on their line.
void PrintCounts(const ItemCounts& c, const std::string& how) {
  std::printf("items          %llu live, %llu deleted, %llu end markers%s\n",
              static_cast<unsigned long long>(c.live), static_cast<unsigned long long>(c.deleted),
              static_cast<unsigned long long>(c.markers), how.c_str());
  std::printf("data bytes     %llu\n", static_cast<unsigned long long>(c.dataBytes));
  std::printf("stored bytes   %llu\n", static_cast<unsigned long long>(c.storedBytes));
  if (c.dataBytes > 0)
    std::printf("ratio          %.3f (stored / data, %.1f%% saved)\n",
                static_cast<double>(c.storedBytes) / c.dataBytes,
                100.0 - 100.0 * static_cast<double>(c.storedBytes) / c.dataBytes);
  else
    std::printf("ratio          -\n");
}

// A file that was never closed, which the library does not open: its
// items counted as recover reads them.
void DescribeUnclosed(const RawFile& raw, const std::string& problem, JsonObject* json) {
  const SalvageCount salvage = CountSalvage(raw);
  ItemCounts c;
  c.live = salvage.live, c.deleted = salvage.deleted, c.markers = salvage.markers;
  c.dataBytes = salvage.dataBytes, c.storedBytes = salvage.storedBytes;
  const uint16_t headerMethod = Get16(raw.data() + CompressionOffset);
  if (json != nullptr) {
    AddCounts(c, json);
    json->Add("items_method", salvage.method).Add("dropped", uint64_t{salvage.dropped.size()});
    json->AddRaw("damaged", JsonObject().Add("problem", problem).str());
    return;
  }
  std::string how = " (as recover reads them";
  if (salvage.method != headerMethod)
    how += std::string(", stored with method ") + std::to_string(salvage.method) + " (" +
           varn::MethodName(static_cast<varn::Method>(salvage.method)) + ")";
  PrintCounts(c, how + ")");
  if (!salvage.dropped.empty())
    std::printf("dropped        %zu, which recover leaves out (varnfile verify names them)\n",
                salvage.dropped.size());
  std::printf("damaged        never closed properly (varnfile recover copies the items into a "
              "file closed properly)\n");
}

// Reads aged files as they are: info is where one sees that a file has aged.
int RunInfo(const InfoOptions& o) {
  RawFile raw;
  raw.Open(o.path);
  if (raw.size() < HeaderSize || std::memcmp(raw.data(), "KVRW", 4) != 0)
    throw ToolError(HeaderProblem(o.path, raw.data(), raw.size()), ExitDamaged);
  JsonObject json;
  varn::File file;
  try {
    file = OpenItems(o.path, varn::Access::Read, true);
  } catch (const ToolError& e) {
    if (e.status() != ExitDamaged) throw;
    // The reason first, then what the header says.
    PrintError(e.what());
    DescribeHeader(o.path, raw.size(), raw.data(), o.json ? &json : nullptr);
    if (NeverClosed(raw.data(), raw.size()))
      DescribeUnclosed(raw, e.what(), o.json ? &json : nullptr);
    else if (o.json)
      json.AddRaw("damaged", JsonObject().Add("problem", e.what()).str());
    if (o.json) std::printf("%s\n", json.str().c_str());
    return e.status();
  }
  DescribeHeader(o.path, raw.size(), raw.data(), o.json ? &json : nullptr);
  ItemCounts c;
  uint64_t badCrc = 0;
  UseWideWindows(file);
  // A record that cannot be read stops the count there: the header and the
  // counts up to it are still shown, with the damage.
  std::unique_ptr<DamagedRecord> damage;
  std::unique_ptr<EndMarkerReader> markers;  // made for the first end marker with data
  std::vector<uint8_t> marker;
  try {
    WalkItems(file, raw, false, 0, true, [&](const Entry& e) {
      if (e.kind == EntryKind::Live) ++c.live;
      else if (e.kind == EntryKind::Deleted) ++c.deleted;
      else ++c.markers;
      // An end marker's data is checked too, as list and export check it.
      CrcState crc = e.crc;
      if (e.kind == EntryKind::EndMarker && e.frame.length > 0) {
        if (!markers) markers = std::make_unique<EndMarkerReader>(raw, static_cast<uint16_t>(file.method()));
        crc = markers->Read(e.frame, &marker);
      }
      if (crc == CrcState::Bad) ++badCrc;
      c.dataBytes += e.frame.length;
      c.storedBytes += e.frame.storedLength;
      return true;
    });
  } catch (const DamagedRecord& e) {
    damage = std::make_unique<DamagedRecord>(e);
    PrintError(e.what());
  }
  file.Close();
  const int status = badCrc > 0 || damage ? ExitDamaged : ExitOk;
  if (o.json) {
    AddCounts(c, &json);
    json.Add("crc_failures", badCrc);
    if (damage) {
      JsonObject where;
      if (damage->position() != 0) where.Add("position", damage->position());
      json.AddRaw("damaged", where.Add("problem", damage->problem()).str());
    }
    std::printf("%s\n", json.str().c_str());
    return status;
  }
  PrintCounts(c, damage ? " (read up to the damage)" : "");
  if (badCrc > 0) std::printf("crc failures   %llu (run verify)\n", static_cast<unsigned long long>(badCrc));
  if (damage && damage->position() != 0)
    std::printf("damaged        at %u: %s (run verify)\n", damage->position(), damage->problem().c_str());
  else if (damage)
    std::printf("damaged        %s (run verify)\n", damage->problem().c_str());
  return status;
}

// ---- list ----

struct ListOptions {
  std::string path;
  RangeOptions range;
  SelectOptions select;
  bool all = false, noPreview = false, json = false, ignoreAging = false;
};

int RunList(const ListOptions& o) {
  ItemRange range(o.range, o.select);
  varn::File file = OpenItems(o.path, varn::Access::Read, o.ignoreAging);
  // -n 0 shows nothing, not even the heading: a quiet check that the file
  // opens (missing, held, aged or foreign give their exit codes).
  if (range.none()) return ExitOk;
  UseWideWindows(file);
  RawFile raw;
  raw.Open(o.path);
  range.Locate(file, raw, o.all);
  const int fixed = 62;  // the columns before the preview
  const int width = OutputWidth();
  std::size_t previewWidth = width == 0 ? SIZE_MAX : width > fixed + 8 ? width - fixed : 8;
  if (!o.json)
    std::printf("%10s  %-7s %-7s %10s  %6s  %6s  %-4s%s\n", "position", "command", "extra", "value",
                "length", "stored", "crc", o.noPreview ? "" : "  data");
  uint64_t bad = 0;
  std::string line;
  std::unique_ptr<EndMarkerReader> markers;  // made for the first end marker with data
  std::vector<uint8_t> marker;
  range.Walk(file, raw, [&](const Entry& e) {
    const char* kind = e.kind == EntryKind::Deleted ? "deleted"
                       : e.kind == EntryKind::EndMarker ? "end marker" : "live";
    const uint8_t* data = e.data != nullptr ? e.data->data() : nullptr;
    std::size_t length = e.data != nullptr ? e.data->size() : 0;
    // An end marker's data too, as export gives it, and checked.
    CrcState crc = e.crc;
    if (!o.noPreview && e.kind == EntryKind::EndMarker && e.frame.length > 0) {
      if (!markers) markers = std::make_unique<EndMarkerReader>(raw, static_cast<uint16_t>(file.method()));
      crc = markers->Read(e.frame, &marker);
      data = marker.data();
      length = marker.size();
    }
    if (o.json) {
      JsonObject row;
      row.Add("position", e.frame.position).Add("command", e.frame.command);
      row.Add("extra", e.frame.extra).Add("value", e.frame.value).Add("length", e.frame.length);
      row.Add("stored", e.frame.storedLength).Add("crc", CrcStateName(crc)).Add("kind", kind);
      if (!o.noPreview && (e.data != nullptr || data != nullptr)) {
        EncodedData encoded = EncodeData(data, length);
        row.Add("encoding", encoded.encoding).Add("data", encoded.text);
      }
      line = row.str();
    } else {
      char fields[96];
      std::snprintf(fields, sizeof fields, "%10u  0x%04X  0x%04X  %10u  %6u  %6u  %-4s",
                    e.frame.position, e.frame.command, e.frame.extra, e.frame.value, e.frame.length,
                    e.frame.storedLength, CrcStateName(crc));
      line = fields;
      if (e.kind != EntryKind::Live) line += std::string("  (") + kind + ")";
      // A deleted item's data is not read; an end marker's is shown after its kind.
      if (!o.noPreview && length > 0 && data != nullptr) line += "  " + Preview(data, length, previewWidth);
    }
    std::printf("%s\n", line.c_str());
    if (crc == CrcState::Bad || e.crc == CrcState::Bad) ++bad;
    return true;
  });
  file.Close();
  return bad > 0 ? ExitDamaged : ExitOk;
}

// ---- cat ----

struct CatOptions {
  std::string path, at;
  bool hex = false, ignoreAging = false;
};

int RunCat(const CatOptions& o, const CLI::App& sub) {
  if (sub.count("--at") == 0)
    throw ToolError("cat: no item given (give it as --at POS|#N or after the file: varnfile cat "
                    "FILE '#0')");
  varn::File file = OpenItems(o.path, varn::Access::Read, o.ignoreAging);
  RawFile raw;
  raw.Open(o.path);
  uint32_t at = ResolvePosition(file, raw, o.at, "--at");
  RecordFrame frame;
  CheckFrame(raw, at, static_cast<uint16_t>(file.method()), &frame);
  if (at == raw.size()) throw ToolError("--at " + o.at + ": that is the end of data, no item");
  if (frame.command == DeletedCommand)
    throw ToolError("the item at " + std::to_string(at) + " is deleted");
  file.Seek(at);
  uint16_t command, extra, length;
  uint32_t value;
  uint16_t rc = VARNFileReadCmdIDEx(file.handle(), &command, &extra, &value, &length);
  uint32_t here = file.Tell();
  if (rc == VARNFILE_OK && here != at)
    throw ToolError("no live item starts at " + std::to_string(at) + " (the next one is at " +
                    std::to_string(here) + ")");
  std::vector<uint8_t> data;
  if (rc == VARNFILE_E_END_OF_FILE && here == at) {
    data = EndMarkerReader(raw, static_cast<uint16_t>(file.method())).Data(frame);
  } else {
    varn::Check(rc, ("read item at " + std::to_string(at)).c_str());
    data.resize(length);
    rc = VARNFileReadItem(file.handle(), &command, &extra, &value, &length,
                          data.empty() ? nullptr : data.data());
    varn::Check(rc, ("read item at " + std::to_string(at)).c_str());
  }
  file.Close();
  if (o.hex) {
    std::fputs(HexDump(data.data(), data.size()).c_str(), stdout);
  } else if (!data.empty() && std::fwrite(data.data(), 1, data.size(), stdout) != data.size()) {
    throw ToolError("cannot write to standard output", ExitIo);
  }
  return 0;
}

// ---- verify ----

struct VerifyOptions {
  std::string path;
  bool json = false, ignoreAging = false;
  std::string maxProblems = "100";  // lines of the plain report; 0: all
};

uint64_t Digest(uint16_t command, uint16_t extra, uint32_t value, const uint8_t* data, uint16_t length) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  mix(command);
  mix(extra);
  mix(value);
  mix(length);
  for (uint16_t i = 0; i < length; ++i) mix(data[i]);
  return h;
}

class Verifier {
 public:
  explicit Verifier(const VerifyOptions& o) : o_(o) {}

  int Run() {
    maxProblems_ = ParseNumber(o_.maxProblems, UINT64_MAX, "--max-problems");
    raw_.Open(o_.path);
    CheckBytes();
    CheckThroughLibrary();
    // In the order of the file; at one position, in the order found (the
    // header's magic first: a file of another kind is that before all else).
    std::stable_sort(problems_.begin(), problems_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (o_.json) {
      std::string list;
      for (const auto& p : problems_) {
        list += (list.empty() ? "" : ",") +
                JsonObject().Add("position", p.first).Add("problem", p.second).str();
      }
      std::printf("%s\n", JsonObject()
                               .Add("file", o_.path)
                               .Add("records", records_)
                               .Add("live", live())
                               .AddBool("aged", aged_)
                               .AddBool("ok", problems_.empty())
                               .AddRaw("problems", "[" + list + "]")
                               .Add("unchecked", unchecked_)
                               .str()
                               .c_str());
    } else {
      // Damage early in a chained file fails every item after it: the
      // first problems tell where; the summary still counts them all.
      // Quiet, the problems still show (they are the errors), the rest not.
      const std::size_t listed = ListedLines(problems_.size(), maxProblems_);
      for (std::size_t i = 0; i < listed; ++i) {
        const auto& p = problems_[i];
        if (p.first == 0) std::printf("problem: %s\n", Shown(p.second).c_str());
        else std::printf("problem at %u: %s\n", p.first, Shown(p.second).c_str());
      }
      if (listed < problems_.size())
        std::printf("... %zu more problems (--max-problems 0 lists them all)\n",
                    problems_.size() - listed);
    }
    if (!o_.json && !settings().quiet) {
      // Walks that stopped at damage read different numbers of items.
      std::string read = salvaged_ ? " read as recover reads them (the file was never closed)"
                         : forward_.size() == backwardCount_
                             ? " read forwards and backwards"
                             : " read forwards, " + std::to_string(backwardCount_) + " backwards";
      std::printf("%s: %zu records, %llu live items%s, %zu problem%s%s\n", Shown(o_.path).c_str(),
                  records_, static_cast<unsigned long long>(live()), read.c_str(), problems_.size(),
                  problems_.size() == 1 ? "" : "s", aged_ ? " (the file has aged)" : "");
      // A CRC covers the data alone, and a CRC of 0 is not checked: a writer
      // stores one for about one item in 65,536, damage that zeroes bytes
      // far more often. Not a problem in itself, but worth knowing.
      if (unchecked_ != 0)
        std::printf("note: %llu item%s with data carr%s no CRC (0): %s data %s not checked\n",
                    static_cast<unsigned long long>(unchecked_), unchecked_ == 1 ? "" : "s",
                    unchecked_ == 1 ? "ies" : "y", unchecked_ == 1 ? "its" : "their",
                    unchecked_ == 1 ? "is" : "are");
    }
    if (!problems_.empty()) return ExitDamaged;
    if (agedAdvice_.empty()) return ExitOk;
    PrintError(agedAdvice_);
    return ExitAged;
  }

 private:
  void Problem(uint32_t position, const std::string& text) { problems_.emplace_back(position, text); }

  // Live items read: forwards through the library, or as recover reads a
  // file that was never closed.
  uint64_t live() const { return salvaged_ ? *salvaged_ : forward_.size(); }

  // The header fields and the framing of every record, from the bytes.
  void CheckBytes() {
    if (raw_.size() < HeaderSize) {
      Problem(0, "the file is " + std::to_string(raw_.size()) + " bytes, shorter than its header");
      return;
    }
    const uint8_t* h = raw_.data();
    if (std::string(reinterpret_cast<const char*>(h), 4) != "KVRW")
      Problem(0, "not a transaction file: wrong magic (no KVRW)");
    uint16_t version = Get16(h + VersionOffset);
    if (!IsReadableVersion(version)) Problem(0, "unsupported version " + std::to_string(version));
    if (Get16(h + ClosedMarkerOffset) == 0)
      Problem(0, "the file was never closed properly (varnfile recover copies its items into a "
                 "new file, closed properly)");
    // A method no writer sets is damage (or a foreign writer's): the items
    // are still checked as the library reads them.
    const uint16_t headerMethod = Get16(h + CompressionOffset);
    method_ = MethodReadAs(headerMethod);
    if (method_ != headerMethod)
      Problem(0, "unknown compression method " + std::to_string(headerMethod) +
                     " in the header (the library reads the items as " +
                     varn::MethodName(static_cast<varn::Method>(method_)) + ")");
    RecordScan scan = ScanRecords(raw_, method_);
    records_ = scan.records.size();
    for (const DamagedRange& d : scan.damaged) {
      std::string text = DescribeFrameProblem(d.problem);
      if (d.to >= raw_.size() && d.problem == FrameProblem::Truncated)
        text = "torn tail: the last record is incomplete (" +
               Counted(raw_.size() - d.from, "byte") + " left)";
      else
        text += "; " + Counted(d.to - d.from, "byte") + (d.to - d.from == 1 ? " frames" : " frame") +
                " no record";
      Problem(d.from, text);
    }
    // Under a chained method every close that appended marks the last
    // record as the end of a chain. A closed file whose last record is not
    // marked was cut at a record boundary, or a session that appended to it
    // never closed it: the records before are intact, the last ones may not
    // be all that was written.
    const bool chained =
        method_ == VARNFILE_METHOD_CHAINED_DEFLATE || method_ == VARNFILE_METHOD_CHAINED_PREDICTOR;
    if (chained && Get16(h + ClosedMarkerOffset) != 0 && scan.damaged.empty() &&
        !scan.records.empty() && scan.records.back().next() == raw_.size() &&
        (scan.records.back().trailerFlags & 1) == 0)
      Problem(scan.records.back().position,
              "the last record does not end its chain: the file was cut at a record boundary, "
              "or the last session that appended to it was not closed (the items are "
              "readable; varnfile recover copies them into a file closed properly)");
    for (const RecordFrame& r : scan.records) {
      if (r.command != DeletedCommand && r.length != 0 && r.crc == 0) ++unchecked_;
      if (r.command == EndMarkerCommand && r.length != 0 && r.crc != 0) markers_.push_back(r);
      // The library reads past a record's damaged trailer, but not back
      // over a damaged link.
      if (r.trailerDamage != FrameProblem::None)
        Problem(r.position, std::string(DescribeFrameProblem(r.trailerDamage)) +
                                "; the item is framed by its header and the record behind it "
                                "(varnfile recover repairs the trailer)");
      // Without compression the stored bytes are the data: deleted records,
      // which the library never reads, are checked here.
      if (method_ != VARNFILE_METHOD_NONE || r.command != DeletedCommand || r.crc == 0) continue;
      if (ItemCrc(raw_.data() + r.position + ItemHeaderSize, r.length) != r.crc)
        Problem(r.position, "deleted item's data fails its CRC check");
    }
  }

  // Inside a handler of `e`: damage that keeps the library from opening the
  // file is a problem; anything else ends the check.
  void CannotOpen(const ToolError& e) {
    if (e.status() != ExitDamaged) throw;
    Problem(0, std::string("the library cannot open the file: ") + e.what());
  }

  // Reads every live item forwards, then backwards, through the library.
  void CheckThroughLibrary() {
    varn::File file;
    try {
      file = OpenItems(o_.path, varn::Access::Read, o_.ignoreAging, &aged_);
    } catch (const ToolError& e) {
      // A file that has aged is checked all the same: its items are read as
      // they are, from a private copy. Damage found there makes it 65; a
      // sound one ends with its own status (69) and advice, as elsewhere.
      // A file that was never closed is read as recover reads it.
      if (e.status() == ExitDamaged && NeverClosed(raw_.data(), raw_.size())) {
        ReadAsRecover();
        return;
      }
      if (e.status() != ExitAged) return CannotOpen(e);
      aged_ = true;  // and perhaps damaged: the summary says both
      agedAdvice_ = e.what();
      try {
        file = OpenItems(o_.path, varn::Access::Read, true);
      } catch (const ToolError& copy) {
        return CannotOpen(copy);
      }
    }
    uint16_t rc;
    UseWideWindows(file);
    std::vector<uint8_t> buffer(VARNFILE_MAX_ITEM_LENGTH);
    uint32_t end = file.SeekToEnd();
    {
      // A walk that stopped early has nothing to compare with the other.
      bool broken = false;
      Progress progress("verify", uint64_t{end} * 2);
      uint64_t visited = 0;
      file.Rewind();
      uint32_t last = 0;
      for (;;) {
        uint16_t command, extra, length;
        uint32_t value;
        rc = VARNFileReadCmdIDEx(file.handle(), &command, &extra, &value, &length);
        uint32_t here = file.Tell();
        progress.Update(++visited, here);
        if (last != 0 && here <= last) {
          Problem(here, "reading forwards does not move past " + std::to_string(last));
          broken = true;
          break;
        }
        last = here;
        if (rc == VARNFILE_E_END_OF_FILE && here < end) {  // an end marker
          rc = VARNFileSkipNext(file.handle());
          if (rc == VARNFILE_OK || rc == VARNFILE_E_END_OF_FILE) continue;
        }
        if (rc == VARNFILE_E_END_OF_FILE) break;
        uint64_t digest;
        if (rc == VARNFILE_OK) rc = ReadAt(file, here, &buffer, &digest);
        if (rc == VARNFILE_E_CRC) {
          Problem(here, "item data fails its CRC check");
          badCrc_.push_back(here);
        } else if (rc != VARNFILE_OK) {
          Problem(here, "reading forwards failed: " + varn::DescribeResult(rc));
          broken = true;
          break;
        }
        forward_.emplace_back(here, digest);
      }
      std::vector<std::pair<uint32_t, uint64_t>> backward;
      last = file.SeekToEnd();
      for (;;) {
        rc = VARNFileSkipPrev(file.handle());
        uint32_t here = file.Tell();
        progress.Update(++visited, uint64_t{end} * 2 - here);
        if (rc == VARNFILE_E_NO_PREVIOUS) break;
        if (here >= last) {
          Problem(here, "stepping back does not move before " + std::to_string(last));
          broken = true;
          break;
        }
        last = here;
        if (rc == VARNFILE_E_END_OF_FILE) continue;  // stepped onto an end marker
        uint64_t digest;
        if (rc == VARNFILE_OK) rc = ReadAt(file, here, &buffer, &digest);
        if (rc == VARNFILE_E_CRC) {
          if (std::find(badCrc_.begin(), badCrc_.end(), here) == badCrc_.end())
            Problem(here, "item data fails its CRC check when read backwards");
        } else if (rc != VARNFILE_OK) {
          Problem(here, "reading backwards failed: " + varn::DescribeResult(rc));
          broken = true;
          break;
        }
        backward.emplace_back(here, digest);
        file.Seek(here);
      }
      backwardCount_ = backward.size();
      std::reverse(backward.begin(), backward.end());
      if (!broken) CompareWalks(backward);
    }
    CheckEndMarkers();
    rc = file.TryClose();
    if (rc != VARNFILE_OK) Problem(0, "closing the file failed: " + varn::DescribeResult(rc));
  }

  // The library reads past end markers and never checks their data: it is
  // read and checked here, as an item's is.
  void CheckEndMarkers() {
    if (markers_.empty()) return;
    EndMarkerReader reader(raw_, method_);
    std::vector<uint8_t> data;
    for (const RecordFrame& marker : markers_) {
      try {
        if (reader.Read(marker, &data) == CrcState::Bad)
          Problem(marker.position, "end marker's data fails its CRC check");
      } catch (const varn::Error& e) {
        Problem(marker.position, std::string("end marker's data cannot be read: ") + e.what());
      }
    }
  }

  // Reads every framed record as recover does; each that it would drop is
  // a problem (damage that frames no record is one already).
  void ReadAsRecover() {
    const SalvageCount salvage = CountSalvage(raw_);
    salvaged_ = salvage.live;
    records_ = salvage.records;  // framed under the method the items decode with
    std::vector<uint32_t> known;
    for (const auto& p : problems_) known.push_back(p.first);
    for (const auto& [position, reason] : salvage.dropped)
      if (std::find(known.begin(), known.end(), position) == known.end())
        Problem(position, reason + " (recover drops it)");
  }

  // Reads the item at the cursor (at `here`) whole.
  uint16_t ReadAt(varn::File& file, uint32_t here, std::vector<uint8_t>* buffer, uint64_t* digest) {
    (void)here;
    uint16_t command, extra, length = VARNFILE_MAX_ITEM_LENGTH;
    uint32_t value;
    uint16_t rc = VARNFileReadItem(file.handle(), &command, &extra, &value, &length, buffer->data());
    *digest = Digest(command, extra, value, buffer->data(), length);
    return rc;
  }

  void CompareWalks(const std::vector<std::pair<uint32_t, uint64_t>>& backward) {
    std::size_t n = std::min(forward_.size(), backward.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (forward_[i].first != backward[i].first) {
        Problem(forward_[i].first, "walking backwards finds an item at " +
                                       std::to_string(backward[i].first) +
                                       " where walking forwards found this one");
        return;
      }
      if (forward_[i].second != backward[i].second)
        Problem(forward_[i].first, "the item reads differently backwards than forwards");
    }
    if (forward_.size() != backward.size())
      Problem(0, "walking forwards finds " + std::to_string(forward_.size()) +
                     " live items, walking backwards " + std::to_string(backward.size()));
  }

  const VerifyOptions& o_;
  uint64_t maxProblems_ = 0;
  RawFile raw_;
  uint16_t method_ = 0;
  std::size_t records_ = 0;
  uint64_t unchecked_ = 0;  // items with data whose CRC is 0
  std::vector<std::pair<uint32_t, std::string>> problems_;
  std::vector<std::pair<uint32_t, uint64_t>> forward_;
  std::size_t backwardCount_ = 0;
  std::vector<uint32_t> badCrc_;
  std::vector<RecordFrame> markers_;  // end markers whose data carries a CRC
  std::optional<uint64_t> salvaged_;  // live items as recover reads them
  bool aged_ = false;
  std::string agedAdvice_;  // why a sound file that has aged ends with 69
};

}  // namespace

void AddInspectCommands(CLI::App& app, int* status) {
  {
    auto o = std::make_shared<InfoOptions>();
    CLI::App* sub = app.add_subcommand(
        "info", "Show the header fields and item counts of a file. It also shows those of a file that has aged");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_flag("--json", o->json, "One JSON object with every field and count");
    AddCommonOptions(sub);
    sub->callback([o, status] { *status = RunInfo(*o); });
  }
  {
    auto o = std::make_shared<ListOptions>();
    CLI::App* sub = app.add_subcommand(
        "list",
        "List the items of a file, one line each. A line gives the position, ids, value, "
        "length, stored length, CRC state and a preview of the data (printable text, other bytes escaped as \\n, \\t, "
        "\\xNN, characters that turn or hide the text around them as \\u{XXXX}, cut to the terminal "
        "width, or to $COLUMNS off a terminal; whole when that is not set either, for grep)");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    AddRangeOptions(sub, &o->range);
    sub->add_flag("--all,-a", o->all, "Also show deleted items");
    AddSelectOptions(sub, &o->select);
    sub->add_flag("--no-preview", o->noPreview, "Leave out the data column");
    sub->add_flag("--json", o->json,
                  "One JSON object per item; the data as text when it is plain UTF-8, else "
                  "base64, as \"encoding\" says");
    sub->add_flag("--ignore-aging", o->ignoreAging, IgnoreAgingHelp);
    AddCommonOptions(sub);
    sub->callback([o, status] { *status = RunList(*o); });
  }
  {
    auto o = std::make_shared<CatOptions>();
    CLI::App* sub = app.add_subcommand("cat", "Write the data of one item to stdout");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_option("--at,ITEM", o->at,
                    std::string("The item, given as --at POS|#N or as the word after FILE (one of "
                                "the two is needed): ") + PositionHelp)
        ->type_name("POS|#N");
    sub->add_flag("--hex,-x", o->hex, "Hex dump instead of raw bytes");
    sub->add_flag("--ignore-aging", o->ignoreAging, IgnoreAgingHelp);
    AddCommonOptions(sub);
    sub->callback([o, status, sub] { *status = RunCat(*o, *sub); });
  }
  {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* sub = app.add_subcommand(
        "verify",
        "Check every record's framing and links and every item's CRC. The items are read "
        "forwards and backwards; exit 65 when there are problems, 69 when a sound file has aged "
        "(--ignore-aging reads it as it is; --json reports on it all the same)");
    sub->add_option("FILE", o->path, "Transaction file")->required();
    sub->add_flag("--json", o->json, "One JSON object: counts and the list of problems");
    sub->add_option("--max-problems", o->maxProblems,
                    "List at most N problems, then how many more there are (default 100; 0 "
                    "lists all; --json lists all)")
        ->type_name("N");
    sub->add_flag("--ignore-aging", o->ignoreAging, IgnoreAgingHelp);
    AddCommonOptions(sub);
    sub->callback([o, status] { *status = Verifier(*o).Run(); });
  }
}

}  // namespace varntool
