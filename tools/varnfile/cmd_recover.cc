// recover: salvage the items of a file that the library refuses or cannot
// read to the end (never closed, torn last record, damaged bytes).
//
// The source is only ever read. Its bytes are scanned for records whose
// framing is consistent (the trailer points back at the record, the lengths
// fit the method, the record ends inside the file); damaged stretches are
// skipped up to the next consistent record. A record whose only damage is
// its own trailer is kept when its lengths and the record behind it say
// where it ends; where the damaged trailer leaves a chain's reset point in
// doubt, the records behind it decide. The framed records are then laid
// end to end into a scratch copy that the library accepts (closed mark set,
// version and magic valid, aging stamp moved out of reach, trailers rewritten
// to the new positions), and read back through the library itself: the same
// decoder, the same chain replay from reset points, the same CRC check as
// every reader uses, so there is no second decoder to trust. Where damage cut
// a chain, the record before the gap is marked as a reset point, so the chain
// restarts cleanly at the first record after it; items whose history was
// lost fail their CRC and are dropped. Deleted records and end markers are
// read too (their command id is masked in the copy) and put back as they
// were. Every item that decodes and passes its CRC goes, in order, into a new
// file with the source's method and header fields, which is then closed
// properly.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/file_system.h"
#include "raw_file.h"
#include "tool_util.h"

namespace varntool {
namespace {

struct RecoverOptions {
  std::string source, target, method;
  NewFileOptions output;
  bool resetAging = false;
  std::string maxDropped = "100";  // lines of the report; 0: all
};

// A record dropped, or a trailer repaired, and why.
struct Finding {
  uint32_t position;
  std::string reason;
};

// One line per finding, at most `cap` of them (0: all), then how many more.
void PrintFindings(const std::vector<Finding>& findings, uint64_t cap) {
  const std::size_t listed = ListedLines(findings.size(), cap);
  for (std::size_t i = 0; i < listed; ++i)
    std::printf("  at %u: %s\n", findings[i].position, findings[i].reason.c_str());
  if (listed < findings.size())
    std::printf("  ... %zu more (--max-dropped 0 lists them all)\n", findings.size() - listed);
}

// gaps[i]: damage lies between framed records i - 1 and i.
std::vector<bool> GapsBefore(const RecordScan& scan) {
  std::vector<bool> gaps(scan.records.size() + 1, false);
  for (std::size_t index : scan.resumeIndex) gaps[index] = true;
  return gaps;
}

// Writes framed records [first, last) laid end to end behind a header the
// library accepts to `out`, a piece of some MB at a time (not the whole
// file in memory: a source of gigabytes would need that much). Under a
// chained method the first of them starts a chain.
void WriteReadableCopy(const RawFile& raw, const RecordScan& scan, uint16_t method,
                       std::size_t first, std::size_t last, ScratchFile* out,
                       std::vector<uint32_t>* newPositions) {
  // Each write of the scratch file waits for the disk: pieces this large
  // keep those waits few.
  constexpr std::size_t PieceSize = 8 << 20;
  std::vector<uint8_t> piece(raw.data(), raw.data() + HeaderSize);
  piece.reserve(PieceSize + RecordOverhead + VARNFILE_MAX_ITEM_LENGTH);
  std::memcpy(piece.data() + MagicOffset, "KVRW", 4);
  Put16(piece.data() + VersionOffset, VARNFILE_VERSION);
  Put16(piece.data() + CompressionOffset, method);
  Put16(piece.data() + ClosedMarkerOffset, 1);
  // 1 January 2155, 30 days: a stamp in the future never ages.
  const uint8_t futureDate[3] = {1, 1, 255}, midnight[3] = {0, 0, 0};
  std::memcpy(piece.data() + StampDateOffset, futureDate, 3);
  std::memcpy(piece.data() + StampTimeOffset, midnight, 3);
  std::vector<bool> gapBefore = GapsBefore(scan);
  uint64_t written = 0;  // bytes of the copy before the piece
  for (std::size_t i = first; i < last; ++i) {
    const RecordFrame& r = scan.records[i];
    const uint64_t position = written + piece.size();
    if (position + RecordOverhead + r.storedLength > 0xFFFFFFFFull)
      throw ToolError("the records do not fit a transaction file");
    newPositions->push_back(static_cast<uint32_t>(position));
    const uint8_t* source = raw.data() + r.position;
    const std::size_t at = piece.size();
    piece.insert(piece.end(), source, source + ItemHeaderSize + r.storedLength + TrailerSize);
    uint8_t* record = piece.data() + at;
    // Deleted records and end markers are read like live items. Every
    // trailer is written anew, so a damaged one is whole in the copy.
    if (r.command >= 0xFF00) Put16(record, 0x0001);
    uint8_t* trailer = record + ItemHeaderSize + r.storedLength;
    Put32(trailer, static_cast<uint32_t>(position));
    uint32_t flags = 0;
    if (IsChained(method))
      flags = (r.trailerFlags & ResetPointFlag) | (gapBefore[i + 1] || i + 1 == last ? 1u : 0u);
    Put32(trailer + 4, flags);
    if (piece.size() >= PieceSize) {
      out->Write(piece.data(), piece.size());
      written += piece.size();
      piece.clear();
    }
  }
  out->Write(piece.data(), piece.size());
}

// The stem of the readable copy's scratch name.
constexpr const char* CopyStem = ".varnfile-recover";

// Where a readable copy made for the folder `dir` goes: there, unless its
// name there would pass the 259 bytes the library takes (a deep
// directory); then in the folder for temporary files.
std::string CopyFolder(const std::string& dir) {
  if (ScratchFile::PathSize(dir, CopyStem) <= LongestName) return dir;
  char tmp[4096];
  return varnfile::PlatformTempDirectory(tmp, sizeof tmp) == 0 ? tmp : dir;
}

// Framed records [first, last) of a scan, readable through the library
// from a scratch copy in the folder `dir` (see CopyFolder).
class Salvager {
 public:
  Salvager(const RawFile& raw, const RecordScan& scan, uint16_t method, const std::string& dir,
           std::size_t first, std::size_t last)
      : scan_(scan), first_(first), scratch_(CopyFolder(dir), CopyStem, ScratchFile::Naming::Nameless),
        buffer_(VARNFILE_MAX_ITEM_LENGTH) {
    // The copy holds the whole source: it has no name where the library can
    // open it without one, else until the library has it.
    WriteReadableCopy(raw, scan, method, first, last, &scratch_, &positions_);
    copy_ = scratch_.OpenForReading();
  }

  // Reads record i of the scan (first <= i < last): 0 with its data in
  // data()/length(), or the library's code.
  uint16_t Read(std::size_t i) {
    const RecordFrame& r = scan_.records[i];
    const uint32_t at = positions_[i - first_];
    uint16_t rc = VARNFileSetPosition(copy_.handle(), at);
    uint16_t command, extra;
    uint32_t value;
    length_ = VARNFILE_MAX_ITEM_LENGTH;
    if (rc == VARNFILE_OK)
      rc = VARNFileReadItem(copy_.handle(), &command, &extra, &value, &length_, buffer_.data());
    if (rc == VARNFILE_OK && copy_.Tell() != at + RecordOverhead + r.storedLength)
      rc = VARNFILE_E_READ;  // the library read some other record
    return rc;
  }
  const uint8_t* data() const { return buffer_.data(); }
  uint16_t length() const { return length_; }
  // The copy was only read: a failed close loses nothing.
  void Close() { copy_.TryClose(); }

 private:
  const RecordScan& scan_;
  std::size_t first_;
  ScratchFile scratch_;
  std::vector<uint32_t> positions_;
  varn::File copy_;
  std::vector<uint8_t> buffer_;
  uint16_t length_ = 0;
};

bool IsReserved(uint16_t command) {
  return command >= 0xFF00 && command != EndMarkerCommand && command != DeletedCommand;
}

// Whether reading a record tells anything of its decoding: it has data and
// a CRC, and no reserved command id keeps recover from reading it.
bool Checkable(const RecordFrame& r) { return r.crc != 0 && !IsReserved(r.command); }

// Under a chained method, a record's reset-point bit is in doubt where its
// trailer is damaged (unknown flags, or a record start that does not point
// back: the damage may reach the flags word that follows it), and where the
// bit is set but a record behind it fails its CRC (one flipped bit makes
// any record a reset point, and costs every item up to the next true one).
// The records behind it tell: of the two readings, the one under which more
// of them decode to their CRC is taken (the bit as stored when they tie, or
// when all of them decode with it).
class ResetPointJudge {
 public:
  ResetPointJudge(const RawFile& raw, RecordScan* scan, uint16_t method, const std::string& dir)
      : raw_(raw), scan_(scan), method_(method), dir_(dir), gapBefore_(GapsBefore(*scan)) {}

  // Settles the bit of every record whose trailer is damaged.
  void SettleDamagedTrailers() {
    for (std::size_t i = 0; i < scan_->records.size(); ++i) {
      RecordFrame& r = scan_->records[i];
      if (r.trailerDamage == FrameProblem::None) continue;
      r.trailerFlags &= ResetPointFlag;
      Settle(i);
    }
  }

  // Settles the bit of every whole trailer's reset point where a record
  // that it decides does not read from `salvager` (a copy with the bits as
  // they are now). Returns whether any bit changed.
  bool SettleFailingResetPoints(Salvager& salvager) {
    bool changed = false;
    for (std::size_t i = 0; i < scan_->records.size(); ++i) {
      RecordFrame& r = scan_->records[i];
      if (r.trailerDamage != FrameProblem::None || (r.trailerFlags & ResetPointFlag) == 0) continue;
      const Span span = Behind(i);
      bool failed = false;
      for (std::size_t j = i + 1; j < span.last && !failed; ++j)
        failed = Checkable(scan_->records[j]) && salvager.Read(j) != VARNFILE_OK;
      if (failed && Settle(i)) {
        r.trailerDamage = FrameProblem::ResetPoint;
        changed = true;
      }
    }
    return changed;
  }

 private:
  // The records that record i's bit decides: from the start of its chain
  // to the next reset point (nothing behind it depends on the bit), at
  // most `behind` records past i, or up to damage.
  struct Span {
    std::size_t first = 0, last = 0, checkable = 0;
  };
  static constexpr std::size_t behind = 16;

  Span Behind(std::size_t i) const {
    const std::vector<RecordFrame>& records = scan_->records;
    Span span;
    span.first = i;
    span.last = i + 1;
    while (span.first > 0 && !gapBefore_[span.first] &&
           (records[span.first - 1].trailerFlags & ResetPointFlag) == 0)
      --span.first;
    while (span.last < records.size() && !gapBefore_[span.last] && span.last - i <= behind) {
      span.checkable += Checkable(records[span.last]) ? 1 : 0;
      if ((records[span.last++].trailerFlags & ResetPointFlag) != 0) break;
    }
    return span;
  }

  // Reads the span behind record i under both readings of its bit and
  // keeps the better one. Returns whether that is the other one.
  bool Settle(std::size_t i) {
    RecordFrame& r = scan_->records[i];
    const uint32_t stored = r.trailerFlags & ResetPointFlag;
    const Span span = Behind(i);
    std::size_t passed[2] = {0, 0};
    for (uint32_t flip = 0; flip < 2 && passed[0] < span.checkable; ++flip) {
      r.trailerFlags = stored ^ flip;
      Salvager trial(raw_, *scan_, method_, dir_, span.first, span.last);
      for (std::size_t j = i + 1; j < span.last; ++j)
        if (Checkable(scan_->records[j]) && trial.Read(j) == VARNFILE_OK) ++passed[flip];
      trial.Close();
    }
    r.trailerFlags = passed[1] > passed[0] ? stored ^ 1u : stored;
    return r.trailerFlags != stored;
  }

  const RawFile& raw_;
  RecordScan* scan_;
  uint16_t method_;
  const std::string dir_;
  const std::vector<bool> gapBefore_;
};

// The framed records of `raw` under `method`, their reset points settled,
// and the copy through which they are read.
std::unique_ptr<Salvager> SettledSalvager(const RawFile& raw, RecordScan* scan, uint16_t method,
                                          const std::string& dir) {
  const std::size_t n = scan->records.size();
  if (!IsChained(method)) return std::make_unique<Salvager>(raw, *scan, method, dir, 0, n);
  ResetPointJudge judge(raw, scan, method, dir);
  judge.SettleDamagedTrailers();
  auto salvager = std::make_unique<Salvager>(raw, *scan, method, dir, 0, n);
  if (judge.SettleFailingResetPoints(*salvager)) {
    salvager->Close();
    salvager = std::make_unique<Salvager>(raw, *scan, method, dir, 0, n);
  }
  return salvager;
}

// How many of the first `limit` framed records decode to their CRC when
// read as method m; *more tells whether the file frames further records.
long DecodingRecords(const RawFile& raw, uint16_t m, std::size_t limit, const std::string& dir,
                     bool* more) {
  RecordScan scan = ScanRecords(raw, m, limit == SIZE_MAX ? SIZE_MAX : limit + 1);
  *more = scan.records.size() > limit;
  if (*more) scan.records.resize(limit);
  Salvager trial(raw, scan, m, dir, 0, scan.records.size());
  long score = 0;
  for (std::size_t i = 0; i < scan.records.size(); ++i) {
    // Only items with data and a CRC tell the methods apart.
    if (Checkable(scan.records[i]) && trial.Read(i) == VARNFILE_OK) ++score;
  }
  trial.Close();
  return score;
}

// The method under which the most of the first records decode to their
// CRC. A header is rewritten only at a proper close, so a file that was
// never closed still names the method it was created with, which the
// writer may have changed before its first item. On a tie the header wins
// when the file was closed; otherwise the whole file decides between the
// tied methods: items that never refer back to earlier ones (noise, data
// compressed already) decode under a chained method and under its twin
// without chaining alike, and one later item that does refer back shows
// the chain. Where the whole file ties too, the method without chaining
// wins, as nothing shows that the items depend on each other (every item
// of a DEFLATE file also decodes under chained DEFLATE).
uint16_t DetectMethod(const RawFile& raw, uint16_t headerMethod, bool closed,
                      const std::string& dir) {
  const std::size_t sample = 256;
  std::vector<uint16_t> candidates;
  if (closed && headerMethod <= VARNFILE_METHOD_DEFLATE) candidates.push_back(headerMethod);
  for (uint16_t m : {VARNFILE_METHOD_DEFLATE, VARNFILE_METHOD_PREDICTOR, VARNFILE_METHOD_NONE,
                     VARNFILE_METHOD_CHAINED_PREDICTOR, VARNFILE_METHOD_CHAINED_DEFLATE})
    if (candidates.empty() || m != candidates.front()) candidates.push_back(static_cast<uint16_t>(m));
  std::vector<uint16_t> best;
  long bestScore = -1;
  bool more = false;
  for (uint16_t m : candidates) {
    long score = DecodingRecords(raw, m, sample, dir, &more);
    if (score > bestScore) best.clear();
    if (score >= bestScore) best.push_back(m);
    bestScore = std::max(bestScore, score);
  }
  if (best.size() < 2 || !more || (closed && best.front() == headerMethod)) return best.front();
  uint16_t chosen = best.front();
  bestScore = -1;
  for (uint16_t m : best) {
    long score = DecodingRecords(raw, m, SIZE_MAX, dir, &more);
    if (score > bestScore) {
      chosen = m;
      bestScore = score;
    }
  }
  return chosen;
}

// The stretches of bytes that frame no record, as dropped findings.
std::vector<Finding> DamagedStretches(const RawFile& raw, const RecordScan& scan) {
  std::vector<Finding> dropped;
  for (const DamagedRange& d : scan.damaged) {
    std::string reason = std::to_string(d.to - d.from) + " bytes hold no consistent record (" +
                         DescribeFrameProblem(d.problem) + ")";
    if (d.to >= raw.size() && d.problem == FrameProblem::Truncated)
      reason = "torn last record: " + std::to_string(d.to - d.from) + " bytes";
    dropped.push_back({d.from, reason});
  }
  return dropped;
}

// Reads every framed record of `scan` back through `salvager`, in order:
// hands each one that decodes to its CRC to `keep` with its data, and adds
// each one that does not to *dropped, with why.
// An end marker whose data fails is kept without that data (and added to
// *stripped when given): readers stop at it, so without it the items behind
// it would come into view.
void ReadRecords(const RecordScan& scan, uint16_t method, Salvager& salvager,
                 std::vector<Finding>* dropped, std::vector<Finding>* stripped, Progress* progress,
                 const std::function<void(const RecordFrame&, const uint8_t*, uint16_t)>& keep) {
  for (std::size_t i = 0; i < scan.records.size(); ++i) {
    const RecordFrame& r = scan.records[i];
    if (progress != nullptr) progress->Update(i, r.position);
    if (IsReserved(r.command)) {
      dropped->push_back({r.position, "reserved command id " + std::to_string(r.command)});
      continue;
    }
    uint16_t rc = salvager.Read(i);
    if (rc == VARNFILE_E_CRC && r.command == EndMarkerCommand) {
      if (stripped != nullptr) stripped->push_back({r.position, "its data does not decode to its CRC"});
      static const uint8_t none = 0;
      keep(r, &none, 0);
    } else if (rc == VARNFILE_E_CRC) {
      dropped->push_back({r.position, IsChained(method)
                                          ? "data does not decode to its CRC (or its chain is broken)"
                                          : "data does not decode to its CRC"});
    } else if (rc != VARNFILE_OK) {
      dropped->push_back({r.position, "unreadable: " + varn::DescribeResult(rc)});
    } else {
      keep(r, salvager.data(), salvager.length());
    }
  }
}

}  // namespace

SalvageCount CountSalvage(const RawFile& raw) {
  char tmp[4096];
  if (varnfile::PlatformTempDirectory(tmp, sizeof tmp) != 0)
    throw ToolError("cannot read the items as recover does: no folder for temporary files", ExitIo);
  const uint8_t* header = raw.data();
  SalvageCount count;
  count.method = DetectMethod(raw, Get16(header + CompressionOffset),
                              Get16(header + ClosedMarkerOffset) != 0, tmp);
  RecordScan scan = ScanRecords(raw, count.method);
  std::unique_ptr<Salvager> salvager = SettledSalvager(raw, &scan, count.method, tmp);
  count.records = scan.records.size();
  std::vector<Finding> dropped = DamagedStretches(raw, scan);
  ReadRecords(scan, count.method, *salvager, &dropped, nullptr, nullptr,
              [&](const RecordFrame& r, const uint8_t*, uint16_t length) {
    if (r.command == DeletedCommand) ++count.deleted;
    else if (r.command == EndMarkerCommand) ++count.markers;
    else ++count.live;
    count.dataBytes += length;
    count.storedBytes += r.storedLength;
  });
  salvager->Close();
  std::sort(dropped.begin(), dropped.end(),
            [](const Finding& a, const Finding& b) { return a.position < b.position; });
  for (const Finding& f : dropped) count.dropped.emplace_back(f.position, f.reason);
  return count;
}

namespace {

int RunRecover(const RecoverOptions& o, const CLI::App& sub) {
  CheckNameLength(o.target);
  if (SameFile(o.source, o.target)) throw ToolError("recover: source and target are the same file");
  CheckNewFile(o.target, o.output);
  const uint64_t maxDropped = ParseNumber(o.maxDropped, UINT64_MAX, "--max-dropped");
  RawFile raw;
  raw.Open(o.source);
  if (raw.size() < HeaderSize)
    throw ToolError(o.source + " is " + std::to_string(raw.size()) +
                    " bytes, too short to hold a header; nothing to recover", ExitDamaged);
  const uint8_t* header = raw.data();
  const std::string dir = DirectoryOf(o.target);  // of the scratch copies
  uint16_t headerMethod = Get16(header + CompressionOffset);
  uint16_t method = headerMethod;
  const bool magicOk = std::memcmp(header, "KVRW", 4) == 0;
  // A header of zeros (as a power cut may leave it) holds nothing to keep:
  // the new file gets a fresh one, not a stamp of 0 that has aged.
  const bool zeroHeader = IsZeroHeader(header);
  if (sub.count("--method") > 0) {
    method = static_cast<uint16_t>(ParseMethod(o.method));
  } else {
    const bool closed = Get16(header + ClosedMarkerOffset) != 0;
    method = DetectMethod(raw, headerMethod, closed, dir);
    // A file never closed names the method it was created with, whatever
    // its writer chose after: the items alone tell, and where they decode
    // under a method without a chain as well, that one is taken.
    const char* const taken = varn::MethodName(static_cast<varn::Method>(method));
    if (method == headerMethod || zeroHeader) {
      // nothing to say: the header agrees, or it names nothing
    } else if (!magicOk) {
      Report("the damaged header names method %u; the items decode under method %u (%s)\n",
             headerMethod, method, taken);
    } else if (closed) {
      Report("the header names method %u, but the items are stored with method %u (%s)\n",
             headerMethod, method, taken);
    } else {
      Report("the header names method %u, as created (the file was never closed); the items "
             "decode under method %u (%s)\n",
             headerMethod, method, taken);
    }
  }
  if (zeroHeader)
    Report("warning: %s has a header of zeros; reading it as a transaction file (the new file "
           "gets a header of its own)\n", o.source.c_str());
  else if (!magicOk)
    Report("warning: %s has a damaged magic; reading it as a transaction file\n", o.source.c_str());

  RecordScan scan = ScanRecords(raw, method);
  std::unique_ptr<Salvager> salvager = SettledSalvager(raw, &scan, method, dir);
  std::vector<Finding> dropped = DamagedStretches(raw, scan), repaired, stripped;

  // Read every framed record back through the library and write what
  // survives, in order, into a new file that is then closed properly.
  varn::Method targetMethod = static_cast<varn::Method>(method);
  NewFile made(o.target, o.output, true);  // a killed run leaves nothing under the name
  varn::File target = made.Create(targetMethod);
  uint64_t live = 0, deleted = 0, markers = 0;
  try {
    HeaderImage sourceHeader;
    std::memcpy(sourceHeader.data(), header, HeaderSize);
    if (!zeroHeader) target.WriteHeader(MergeHeaderFields(target.Header(), sourceHeader.data()));
    if (o.resetAging) target.ResetAging();
    UseWideWindows(target);
    Progress progress("recover", raw.size());
    ReadRecords(scan, method, *salvager, &dropped, &stripped, &progress,
                [&](const RecordFrame& r, const uint8_t* data, uint16_t length) {
      if (r.trailerDamage != FrameProblem::None) {
        std::string what = DescribeFrameProblem(r.trailerDamage);
        if (r.trailerDamage == FrameProblem::ResetPoint)
          what += " (read as no reset point)";
        else if (IsChained(method))
          what += (r.trailerFlags & ResetPointFlag) != 0 ? " (read as a reset point)"
                                                         : " (read as no reset point)";
        repaired.push_back({r.position, what});
      }
      if (r.command == DeletedCommand) {
        // The command id a deleted item had is gone; the library marks the
        // new copy deleted the same way it marked the original.
        uint32_t at = target.Add(0, r.extra, r.value, data, length);
        target.Seek(at);
        target.Delete();
        ++deleted;
      } else {
        target.Add(r.command, r.extra, r.value, data, length);
        if (r.command == EndMarkerCommand) ++markers;
        else ++live;
      }
    });
    salvager->Close();
    // Bytes of another kind frame a record now and then by chance, but
    // none of them decodes to its CRC: no file to show for them.
    if (!magicOk && live + deleted + markers == 0)
      throw ToolError(o.source + " is not a transaction file (no magic, and no record in it "
                      "decodes); nothing to recover", ExitDamaged);
    made.Finish(&target);
  } catch (...) {
    made.DiscardAndRethrow(&target);
  }
  // The new file must open; only its age can stop it (its stamp and limit
  // are the source's unless --reset-aging). It is opened before it takes
  // its name, which another process may hold the moment it is given: a file
  // that does not open goes, and the name stays as it was.
  varn::File check;
  uint16_t rc = varn::File::TryOpen(made.writing(), varn::Access::Read, &check);
  if (rc == VARNFILE_OK) check.TryClose();  // only read: its close loses nothing
  if (rc != VARNFILE_OK && rc != VARNFILE_E_AGED) {
    const bool removed = made.Discard();
    throw varn::Error(rc, "open the recovered file " + o.target + (removed ? " (removed it)" : ""));
  }
  made.Commit();
  if (rc == VARNFILE_E_AGED) WarnAgedLikeSource(o.target);
  if (settings().quiet) return ExitOk;
  std::printf("recovered %llu of %zu framed records from %s into %s (method %u, %s): "
              "%llu live, %llu deleted, %llu end markers\n",
              static_cast<unsigned long long>(live + deleted + markers), scan.records.size(),
              Shown(o.source).c_str(), Shown(o.target).c_str(), static_cast<unsigned>(method),
              varn::MethodName(targetMethod), static_cast<unsigned long long>(live),
              static_cast<unsigned long long>(deleted), static_cast<unsigned long long>(markers));
  if (!repaired.empty())
    std::printf("repaired %zu damaged trailer%s (the new file links its records whole):\n",
                repaired.size(), repaired.size() == 1 ? "" : "s");
  PrintFindings(repaired, maxDropped);
  if (!stripped.empty())
    std::printf("kept %zu end marker%s without data that failed its CRC check (readers stop at an end "
                "marker whatever it holds):\n", stripped.size(), stripped.size() == 1 ? "" : "s");
  PrintFindings(stripped, maxDropped);
  std::sort(dropped.begin(), dropped.end(),
            [](const Finding& a, const Finding& b) { return a.position < b.position; });
  if (dropped.empty()) {
    std::printf("nothing dropped\n");
  } else {
    std::printf("dropped %zu:\n", dropped.size());
    PrintFindings(dropped, maxDropped);
  }
  return 0;
}

}  // namespace

void AddRecoverCommand(CLI::App& app, int* status) {
  auto o = std::make_shared<RecoverOptions>();
  CLI::App* sub = app.add_subcommand(
      "recover",
      "Salvage the intact items of a damaged or never-closed file into a new one. The new file "
      "is written through a 64 KB buffer and closed properly. SRC is only read. Exits 65, "
      "leaving no DST, when SRC is not a transaction file and nothing in it decodes; an "
      "interrupted recover removes its scratch copy and the unfinished DST");
  sub->add_option("SRC", o->source, "Damaged transaction file (only read)")->required();
  sub->add_option("DST", o->target, "New file to write")->required();
  sub->add_option("--method,-m", o->method,
                  "Method the source was written with, when its header is damaged");
  sub->add_flag("--reset-aging", o->resetAging,
                "Stamp the new file with the current time (else it keeps the source's stamp and "
                "aging limit, and a source that has aged gives a file that has aged)");
  sub->add_option("--max-dropped", o->maxDropped,
                  "List at most N of the records dropped (and of the damaged trailers "
                  "repaired), then how many more there are (default 100; 0 lists all)")
      ->type_name("N");
  AddNewFileOptions(sub, &o->output);
  AddCommonOptions(sub);
  sub->callback([o, status, sub] { *status = RunRecover(*o, *sub); });
}

}  // namespace varntool
