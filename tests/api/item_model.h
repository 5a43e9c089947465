// A plain model of a transaction file (its records and the cursor) and the
// item and cursor exports run against it and the library side by side: every
// result code, cursor position and item read must agree, and every closed
// disk file must hold the records of the model, each item's stored bytes
// decoded by decoders that are not the library's (zlib with the chain's
// history as dictionary for DEFLATE, a plain predictor decoder below).
// Shared by the model-based test (random choices) and the API sequence fuzz
// target (choices taken from its input): the harness supplies Next() and
// Fail(), and drives Step() or the operations themselves.
#ifndef VARNFILE_TESTS_API_ITEM_MODEL_H_
#define VARNFILE_TESTS_API_ITEM_MODEL_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "../../fuzz/codec_fuzz.h"
#include "api/handle_table.h"
#include "../os_util.h"
#include "store/navigation.h"
#include "varnfile.h"

namespace varnfile_test {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;

inline Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
#if defined(_WIN32)
  std::string held;
  if (!in && varnfile_test::ReadHeldFile(path, &held)) return Bytes(held.begin(), held.end());
#endif
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint16_t U16At(const Bytes& b, size_t i) { return static_cast<uint16_t>(b.at(i) | (b.at(i + 1) << 8)); }
inline uint32_t U32At(const Bytes& b, size_t i) { return U16At(b, i) | uint32_t{U16At(b, i + 2)} << 16; }

// CRC-16/X-25 bit by bit, bytes exchanged as the file stores it: an oracle
// independent of the library's table-driven one.
inline uint16_t ReferenceCrc(const std::string& data) {
  uint16_t c = 0xFFFF;
  for (unsigned char byte : data) {
    c ^= byte;
    for (int bit = 0; bit < 8; ++bit) c = static_cast<uint16_t>((c & 1) ? (c >> 1) ^ 0x8408 : c >> 1);
  }
  c ^= 0xFFFF;
  return static_cast<uint16_t>((c >> 8) | (c << 8));
}

// The predictor format decoded the plain way: a flag byte for every eight
// bytes, a set flag taking the byte from table[(b2 << 7) ^ b1].
inline std::string PredictorDecode(const uint8_t* in, size_t size, size_t length,
                                   std::string& table) {
  std::string out;
  size_t at = 0;
  unsigned b1 = 0, b2 = 0;
  while (at < size && out.size() < length) {
    unsigned flags = in[at++];
    for (int bit = 0; bit < 8 && out.size() < length; ++bit) {
      char& slot = table[(b2 << 7) ^ b1];
      if (!(flags & (1u << bit))) {
        if (at == size) return out;
        slot = static_cast<char>(in[at++]);
      }
      out.push_back(slot);
      b2 = std::exchange(b1, static_cast<uint8_t>(slot));
    }
  }
  return out;
}

// The OpenFile behind a handle, for looking inside the library.
inline varnfile::OpenFile* FileOf(uint32_t handle) {
  varnfile::OpenFile* file = nullptr;
  varnfile::ResolveHandle(varnfile::LockLibrary(), handle, &file);
  varnfile::UnlockLibrary();
  return file;
}

struct ModelRecord {
  uint16_t commandId, extraId;
  uint32_t extraValue, position;
  std::string data;
  bool resetAfter;  // bit 0 of its trailer: a chained method starts afresh behind it
};

enum Direction { ToEnd, Back, Forward };

class ItemModel {
 public:
  static constexpr uint16_t EndMarker = VARNFILE_CMD_END_MARKER;
  static constexpr uint16_t Deleted = VARNFILE_CMD_DELETED;

  // `prefix` names the disk files (two at a time), "" runs in memory.
  ItemModel(uint16_t method, std::string prefix, uint16_t items, uint32_t bytes)
      : method_(method), items_(items), bytes_(bytes), prefix_(std::move(prefix)) {}
  virtual ~ItemModel() = default;

  virtual uint32_t Next() = 0;                     // the next choice
  virtual void Fail(const std::string& what) = 0;  // a disagreement
  bool failed() const { return failed_; }
  size_t size() const { return records_.size(); }
  void set_max_data(uint32_t n) { maxData_ = n; }

  void Start() { Create(); }
  void Finish() {
    VerifyAll();
    Close();
    if (!prefix_.empty()) VARNFileDelete(path_.c_str(), 0);
  }

  // One random operation, then the cursor check.
  void Step() { ++step_, RandomOperation(), CheckCursor(); }

  enum DataKind { Noise, Run, Text };

  // Text over six letters (a space among them, which a fresh predictor
  // table predicts), a run of one byte, or noise.
  static std::string MakeData(size_t length, DataKind kind, uint32_t seed) {
    std::string data(length, static_cast<char>(seed));
    for (char& c : data) {
      seed = seed * 1103515245u + 12345u;
      if (kind == Noise) c = static_cast<char>(seed >> 16);
      if (kind == Text) c = " abcde"[(seed >> 16) % 6];
    }
    return data;
  }

  // Mostly short items, some long, up to 65,535 bytes; mostly text, some
  // noise and runs, and changed copies of the last item (matches across
  // items).
  std::string RandomData() {
    uint32_t roll = Below(1000), length, kind = Below(8), seed = Next();
    if (roll < 450) length = Below(17);
    else if (roll < 800) length = 17 + Below(284);
    else if (roll < 950) length = 301 + Below(2700);
    else if (roll < 990) length = 3001 + Below(17000);
    else length = 65535 - Below(3);
    length = std::min(length, maxData_);
    if (kind == 0 && !records_.empty()) {
      std::string copy = records_.back().data.substr(0, std::min(length, 20000u));
      if (!copy.empty()) copy[seed % copy.size()] ^= 1;
      return copy;
    }
    return MakeData(length, kind < 3 ? Noise : kind == 3 ? Run : Text, seed);
  }

  void Add(uint16_t commandId, const std::string& data) {
    uint16_t extraId = static_cast<uint16_t>(step_);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
    uint16_t rc = VARNFileAddItem(handle_, commandId, extraId, step_ * 7u,
                                  static_cast<uint16_t>(data.size()),
                                  data.empty() && OneIn(2) ? nullptr : bytes);
    if (commandId < 0xFF00 || commandId == EndMarker)
      return Appended(rc, commandId, extraId, step_ * 7u, data);
    Expect("AddItem of a reserved id", VARNFILE_E_RESERVED_ID, rc);
    Expect("end of data", end_, EndOfData());
  }

  // ReadItem with a buffer usually big enough, sometimes exact (shape 0) or
  // one byte short (shape 1: 258, the cursor stays); or ReadCmdIDEx, which
  // never moves on (shape 2: without the length).
  void Read(bool idsOnly, uint32_t shape) {
    size_t found = 0;
    uint16_t capacity = 65535, expected = Locate(ToEnd, &found);
    size_t size = expected == 0 ? records_[found].data.size() : 0;
    if (expected == 0 && shape == 0) capacity = static_cast<uint16_t>(size);
    if (expected == 0 && shape == 1 && size > 0 && !idsOnly) {
      capacity = static_cast<uint16_t>(size - 1);
      expected = VARNFILE_E_BUFFER_TOO_SMALL;
    }
    // Poisoned first, so that data left by an earlier read cannot pass.
    std::memset(buffer_.data(), 0xA5, size);
    uint16_t c = 0, e = 0, length = capacity;
    uint32_t v = 0;
    uint16_t rc =
        idsOnly ? VARNFileReadCmdIDEx(handle_, &c, &e, &v, shape == 2 ? nullptr : &length)
                : VARNFileReadItem(handle_, &c, &e, &v, &length, buffer_.data());
    Expect(idsOnly ? "ReadCmdIDEx" : "ReadItem", expected, rc);
    if (rc != expected || (expected != 0 && expected != VARNFILE_E_BUFFER_TOO_SMALL)) return;
    const ModelRecord& r = records_[found];
    Expect("commandId", r.commandId, c), Expect("extraId", r.extraId, e);
    Expect("extraValue", r.extraValue, v);
    if (!idsOnly || shape != 2) Expect("length", r.data.size(), length);
    if (!idsOnly && expected == 0) {
      Expect("data", 0, std::memcmp(r.data.data(), buffer_.data(), size) != 0);
      cursor_ = found + 1;
    }
  }

  void Skip(Direction dir) {
    size_t found = 0;  // the model's search alone, so the order of the two does not matter
    Expect(dir == Forward ? "SkipNext" : "SkipPrev", Locate(dir, &found),
           dir == Forward ? VARNFileSkipNext(handle_) : VARNFileSkipPrev(handle_));
  }

  void SetPosition(size_t index) { SetRawPosition(PositionOf(index), index); }
  void SetRawPosition(uint32_t position, size_t index) {
    cursor_ = index;
    Expect("SetPosition", 0, VARNFileSetPosition(handle_, position));
  }

  void SeekToEnd() {
    uint32_t end = 0;
    Expect("SeekToEnd", 0, VARNFileSeekToEnd(handle_, &end));
    Expect("end of data", end_, end);
    cursor_ = records_.size();
  }

  // Data for an update: mostly the current item's length, changed.
  std::string UpdateData() {
    if (cursor_ == records_.size() || OneIn(4)) return RandomData();
    std::string data = records_[cursor_].data;
    for (char& c : data) c ^= 0x5A;
    return data;
  }

  // In place at the cursor (ids; data only of the same length under
  // MethodNone, else 268); at the end of data an append.
  void Update(uint16_t commandId, bool withData, const std::string& data) {
    uint16_t extraId = static_cast<uint16_t>(step_ + 1);
    uint16_t length = withData ? static_cast<uint16_t>(data.size()) : 0;
    uint16_t rc = VARNFileUpdateItem(
        handle_, commandId, extraId, step_ * 3u, length,
        withData ? reinterpret_cast<const uint8_t*>(data.data()) : nullptr);
    if (commandId >= 0xFF00) return Expect("UpdateItem reserved", VARNFILE_E_RESERVED_ID, rc);
    if (cursor_ == records_.size())
      return Appended(rc, commandId, extraId, step_ * 3u, withData ? data : std::string());
    ModelRecord& r = records_[cursor_];
    bool refused = withData && (length != r.data.size() || method_ != VARNFILE_METHOD_NONE);
    Expect("UpdateItem", refused ? VARNFILE_E_CANNOT_REPLACE : 0, rc);
    if (refused) return;
    r = {commandId, extraId, step_ * 3u, r.position, withData ? data : r.data, r.resetAfter};
    changed_ = true;
  }

  void Delete() {
    uint16_t id = cursor_ < records_.size() ? records_[cursor_].commandId : EndMarker;
    uint16_t expected = id == EndMarker ? VARNFILE_E_END_OF_FILE
                        : id >= 0xFF00  ? VARNFILE_E_RESERVED_ID : 0;
    Expect("DeleteItem", expected, VARNFileDeleteItem(handle_));
    if (expected == 0) records_[cursor_].commandId = Deleted;
    changed_ |= expected == 0;
  }

  // Closes (the disk bytes are checked) and opens the file again, with the
  // default cache limits and buffers or, with `limits`, those it was made with.
  void Reopen(bool limits = false) {
    Close();
    Expect("Open", 0, VARNFileOpen(&handle_, path_.c_str(), 0));
    cursor_ = 0;
    if (limits) SetLimits(items_, bytes_);
  }

  void SetLimits(uint16_t items, uint32_t bytes) {
    Expect("SetParameters", 0, VARNFileSetParameters(handle_, items, bytes, 1024, 1024));
  }

  // Copies everything into a fresh file under `method`, which then takes
  // the old one's place with its cursor at its end. Items too big to store
  // compressed keep the copy uncompressed. The positions come from the
  // copy's record chain, as a compressed copy stores other sizes.
  void Duplicate(uint16_t method) {
    uint32_t old = handle_;
    std::string oldPath = path_;
    for (const ModelRecord& r : records_) method = Incompressible(r.data) ? 0 : method;
    bool sameSizes = method == VARNFILE_METHOD_NONE && method_ == VARNFILE_METHOD_NONE;
    method_ = method;
    Create();
    Expect("Duplicate", 0, VARNFileDuplicate(handle_, old));
    Expect("Close", 0, VARNFileClose(old));
    if (!prefix_.empty()) VARNFileDelete(oldPath.c_str(), 0);
    varnfile::OpenFile* file = FileOf(handle_);
    varnfile::LockLibrary();
    uint32_t p = First;
    for (ModelRecord& r : records_) {
      if (sameSizes) Expect("copied position", r.position, p);
      r.position = p;
      r.resetAfter = false;
      Expect("a step through the copy", 0, varnfile::StepPosition(file, varnfile::StepForward, p, &p));
      if (failed_) break;
    }
    varnfile::UnlockLibrary();
    Expect("SeekToEnd", 0, VARNFileSeekToEnd(handle_, &end_));
    Expect("end of the copy", p, end_);
    cursor_ = records_.size();
    appended_ = !records_.empty(), changed_ = false;
  }

  void RandomLimits(uint32_t pick) {
    static const uint16_t items[] = {16, 1, 2, 5, 0, 40, 3, 300};
    static const uint32_t bytes[] = {65536, 0, 100, 2000, 10, 1 << 20, 700, 5000};
    static const uint32_t buffers[] = {1024, 0, 1, 7, 64, 4096, 300, 1024};
    Expect("SetParameters", 0, VARNFileSetParameters(handle_, items[pick & 7], bytes[(pick >> 3) & 7],
                                                     buffers[(pick >> 6) & 7], buffers[(pick >> 9) & 7]));
  }

  // Reads every record at its position: the whole model, item by item.
  void VerifyAll() {
    for (size_t i = 0; i < records_.size() && !failed_; ++i) SetPosition(i), Read(false, 9), CheckCursor();
  }

  void CheckCursor() {
    uint32_t at = 0;
    Expect("GetPosition", 0, VARNFileGetPosition(handle_, &at));
    Expect("cursor", PositionOf(cursor_), at);
  }

 protected:
  void Expect(const char* what, long long expected, long long got) {
    if (expected == got || failed_) return;
    failed_ = true;
    Fail(std::string(what) + ": expected " + std::to_string(expected) + ", got " + std::to_string(got));
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

  int step_ = 0;

 private:
  void RandomOperation() {
    uint32_t roll = Below(1000), n = static_cast<uint32_t>(records_.size());
    // Fewer appends once the file is long, so that walks stay cheap.
    uint32_t addShare = n < 150 ? 220 : (n < 400 ? 120 : 40);
    if (roll < addShare) return Add(RandomCommand(), OneIn(12) ? std::string() : RandomData());
    roll -= addShare;
    if (roll < 20) return Add(EndMarker, std::string());
    if (roll < 240) return Read(/*idsOnly=*/roll >= 170, Below(10));
    if (roll < 480) return Skip(roll < 360 ? Forward : Back);
    // A record, the end, or (raised to the first item) inside the header.
    if (roll < 610) return OneIn(10) ? SetRawPosition(Below(First), 0) : SetPosition(Below(n + 1));
    if (roll < 640) return SeekToEnd();
    if (roll < 740) return Update(RandomCommand(), roll >= 700, UpdateData());
    if (roll < 800) return Delete();
    if (roll < 808 && !prefix_.empty()) return Reopen(OneIn(2));
    if (roll < 812) return Duplicate(OneIn(2) ? method_ : static_cast<uint16_t>(Below(5)));
    if (roll < 830) return RandomLimits(Next());
    if (roll < 834) return VerifyAll();
    Read(false, 9);
  }

  // Mostly ordinary ids; the highest one, end markers, and reserved ids.
  uint16_t RandomCommand() {
    uint32_t roll = Below(100);
    return static_cast<uint16_t>(roll < 90 ? Below(0xFF00) : roll < 93 ? 0xFEFF
                                 : roll < 95 ? EndMarker : 0xFF00 + Below(256));
  }

  // Noise too long to be stored compressed: its stored form would pass
  // 65,535 bytes (copies of items are shorter, runs and text compress).
  static bool Incompressible(const std::string& data) {
    return data.size() >= 65533 && data.find_first_not_of(data[0]) != std::string::npos &&
           data.find_first_not_of(" abcde") != std::string::npos;
  }
  bool Chained() const { return method_ == 2 || method_ == 3; }

  void Create() {
    path_ = prefix_.empty() ? "MEMORY$" : prefix_ + std::to_string(fileNumber_++ % 2) + ".trn";
    Expect("CreateEx", 0, VARNFileCreateEx(&handle_, VARNFILE_NAME_EXACT, path_.c_str(), nullptr,
                                           nullptr, nullptr, 0));
    Expect("SetCompression", 0, VARNFileSetCompression(handle_, method_));
    SetLimits(items_, bytes_);
    closedBytes_.clear();
  }

  void Close() {
    Expect("Close", 0, VARNFileClose(std::exchange(handle_, 0)));
    // A close after appends under a chained method marks a reset point.
    if (appended_ && Chained() && !records_.empty()) records_.back().resetAfter = true;
    if (!prefix_.empty()) CheckDiskBytes();
    appended_ = changed_ = false;
  }

  uint32_t PositionOf(size_t i) const { return i < records_.size() ? records_[i].position : end_; }

  uint32_t EndOfData() {
    uint32_t end = 0;
    Expect("SeekToEnd", 0, VARNFileSeekToEnd(handle_, &end));
    Expect("SetPosition", 0, VARNFileSetPosition(handle_, PositionOf(cursor_)));
    return end;
  }

  // An append at the end of data: stored, or refused with 260 when its
  // stored form would not fit; a chained encoder has then taken it into
  // its history already, so the last record becomes a reset point.
  void Appended(uint16_t rc, uint16_t commandId, uint16_t extraId, uint32_t extraValue,
                const std::string& data) {
    bool refused = method_ != VARNFILE_METHOD_NONE && Incompressible(data);
    Expect("append", refused ? VARNFILE_E_INVALID_ARGUMENT : 0, rc);
    if (rc != 0) {
      if (Chained() && !records_.empty()) records_.back().resetAfter = changed_ = true;
      return Expect("end of data after a refusal", end_, EndOfData());
    }
    records_.push_back({commandId, extraId, extraValue, end_, data, false});
    uint32_t end = EndOfData();
    if (method_ == VARNFILE_METHOD_NONE) Expect("end of data", end_ + 22 + data.size(), end);
    Expect("the end of data grows", 1, end >= end_ + 22);
    end_ = end;
    appended_ = true;
  }

  // The library's item search over the model: moves the cursor as the
  // library does and gives the code and the index of the item found.
  uint16_t Locate(Direction dir, size_t* found) {
    size_t p = cursor_, n = records_.size();
    for (;;) {
      if (dir == Forward && p++ >= n) return VARNFILE_E_END_OF_FILE;
      if (dir == Back && p-- == 0) return VARNFILE_E_NO_PREVIOUS;
      cursor_ = p;
      if (p == n || records_[p].commandId == EndMarker) return VARNFILE_E_END_OF_FILE;
      if (records_[p].commandId != Deleted) break;
      if (dir == ToEnd) dir = Forward;
    }
    *found = cursor_;
    return 0;
  }

  // The bytes of a closed file against the model: header fields, every
  // record's fields, CRC and trailer, and its stored data decoded
  // independently; a session that changed nothing left every byte alone.
  void CheckDiskBytes() {
    if (failed_) return;
    Bytes file = FileBytes(path_);
    Expect("file size", end_, file.size());
    if (file.size() != end_) return;
    if (!appended_ && !changed_ && !closedBytes_.empty())
      Expect("a session without changes leaves the bytes", 1, file == closedBytes_);
    closedBytes_ = file;
    Expect("closed mark", 1, U16At(file, 142));
    Expect("method", method_, U16At(file, 47));
    std::string table(32768, ' ');
    Bytes history;
    uint32_t at = First;
    for (size_t i = 0; i < records_.size() && !failed_; ++i) {
      const ModelRecord& r = records_[i];
      auto eq = [&](const char* what, long long expected, long long got) {
        Expect((what + (" of record " + std::to_string(i))).c_str(), expected, got);
      };
      eq("position", at, r.position);
      size_t stored = U16At(file, at + 10), next = at + 22 + stored;
      eq("size", 1, next <= file.size());
      if (failed_) return;
      eq("commandId", r.commandId, U16At(file, at)), eq("extraId", r.extraId, U16At(file, at + 2));
      eq("extraValue", r.extraValue, U32At(file, at + 4)), eq("length", r.data.size(), U16At(file, at + 8));
      eq("crc", ReferenceCrc(r.data), U16At(file, at + 12)), eq("trailer start", at, U32At(file, next - 8));
      eq("trailer flags", r.resetAfter, U32At(file, next - 4));
      const uint8_t* in = file.data() + at + 14;
      const Bytes item(r.data.begin(), r.data.end());
      bool decoded;
      if (method_ == VARNFILE_METHOD_NONE || r.data.empty()) {
        decoded = stored == item.size() && std::equal(item.begin(), item.end(), in);
      } else if (method_ == 1 || method_ == 3) {
        if (method_ == 1) table.assign(32768, ' ');
        decoded = PredictorDecode(in, stored, r.data.size(), table) == r.data;
      } else {  // zlib, with the item's chain so far (its last 8 KB) as dictionary
        decoded = codec_fuzz::ZlibGives(Bytes(in, in + stored), item, method_ == 2 ? history : Bytes());
        history.insert(history.end(), item.begin(), item.end());
        if (history.size() > 16384) history.erase(history.begin(), history.end() - 8192);
      }
      eq("stored data decoding to the item", 1, decoded);
      if (r.resetAfter) table.assign(32768, ' '), history.clear();
      at = static_cast<uint32_t>(next);
    }
    Expect("end of the last record", end_, at);
  }

  std::vector<ModelRecord> records_;
  size_t cursor_ = 0;  // an index into records_; records_.size() is the end
  uint32_t end_ = First, handle_ = 0, maxData_ = 65535;
  uint16_t method_, items_;
  uint32_t bytes_;
  std::string prefix_, path_;
  int fileNumber_ = 0;
  bool failed_ = false, appended_ = false, changed_ = false;
  Bytes closedBytes_, buffer_ = Bytes(65536);
};

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_API_ITEM_MODEL_H_
