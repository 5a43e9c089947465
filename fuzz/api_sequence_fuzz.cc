// A sequence of item and cursor exports, chosen by the input, run against
// the library and against a plain model of the record list and the cursor:
// every result code, cursor position and item read must agree.
//
// Input: byte 0 picks the compression method (mod 5), byte 1 the cache
// limits and buffer sizes; then one operation per byte, taking its
// arguments from the bytes that follow.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/handle_table.h"
#include "store/navigation.h"
#include "varnfile.h"

namespace {

constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;
constexpr uint16_t EndMarker = VARNFILE_CMD_END_MARKER;
constexpr uint16_t Deleted = VARNFILE_CMD_DELETED;
constexpr int MaxOperations = 200;

struct Record {
  uint16_t commandId;
  uint16_t extraId;
  uint32_t extraValue;
  std::string data;
  uint32_t position;
};

[[noreturn]] void Fail(const char* what, long expected, long got, int op) {
  std::fprintf(stderr, "operation %d: %s: expected %ld, got %ld\n", op, what, expected, got);
  std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

enum Direction { ToEnd, Back, Forward };

class Run {
 public:
  Run(uint16_t method, uint8_t limits) : method_(method), limits_(limits) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    if (base == nullptr) base = "/tmp";
    prefix_ = std::string(base) + "/varnfile_api_sequence_" + std::to_string(getpid());
  }

  void Start() {
    path_ = prefix_ + "_" + std::to_string(fileNumber_++ % 2) + ".trn";
    Expect("CreateEx", 0,
           VARNFileCreateEx(&handle_, VARNFILE_NAME_EXACT, path_.c_str(), nullptr, nullptr, nullptr, 0));
    Expect("SetCompression", 0, VARNFileSetCompression(handle_, method_));
    SetLimits(limits_);
  }

  void Finish() {
    VerifyAll();
    Expect("Close", 0, VARNFileClose(handle_));
    VARNFileDelete(path_.c_str(), 0);
  }

  void Step(Input& in) {
    ++op_;
    uint8_t code = in.Byte();
    switch (code % 16) {
      case 0:
      case 1:
      case 2: {
        uint8_t kind = in.Byte();
        uint16_t commandId = kind < 200 ? static_cast<uint16_t>(kind * 97)
                             : kind < 230 ? EndMarker
                                          : static_cast<uint16_t>(0xFF00 | kind);
        uint16_t length = static_cast<uint16_t>(in.Byte() * (code % 16 == 2 ? 8 : 1));
        return Add(commandId, Data(length, in.Byte()));
      }
      case 3:
      case 4:
        return ReadItem(in.Byte());
      case 5:
        return ReadIds();
      case 6:
        return Skip(Forward);
      case 7:
        return Skip(Back);
      case 8:
        return SetPosition(in.Byte());
      case 9:
        return SeekToEnd();
      case 10:
        return Update(in.Byte(), false, in.Byte());
      case 11:
        return Update(in.Byte(), true, in.Byte());
      case 12:
        return Delete();
      case 13:
        return Reopen();
      case 14:
        return SetLimits(in.Byte());
      default:
        if (in.Byte() % 4 == 0) return Duplicate();
        return VerifyAll();
    }
  }

 private:
  void Expect(const char* what, long expected, long got) {
    if (expected != got) Fail(what, expected, got, op_);
  }

  static std::string Data(uint16_t length, uint8_t seed) {
    std::string data(length, '\0');
    uint32_t r = seed;
    for (auto& c : data) {
      r = r * 1103515245U + 12345U;
      c = static_cast<char>(seed & 1 ? "abcab "[(r >> 16) % 6] : (r >> 16));
    }
    return data;
  }

  uint32_t Position() {
    uint32_t at = 0;
    Expect("GetPosition", 0, VARNFileGetPosition(handle_, &at));
    return at;
  }
  uint32_t PositionOf(size_t index) const {
    return index < records_.size() ? records_[index].position : end_;
  }
  void CheckCursor() { Expect("cursor", PositionOf(cursor_), Position()); }

  uint32_t LibraryEnd() {
    uint32_t saved = Position();
    uint32_t end = 0;
    Expect("SeekToEnd", 0, VARNFileSeekToEnd(handle_, &end));
    Expect("SetPosition", 0, VARNFileSetPosition(handle_, saved));
    return end;
  }

  // LocateItem over the model.
  uint16_t Locate(Direction dir, size_t* found) {
    size_t p = cursor_;
    size_t n = records_.size();
    for (;;) {
      if (dir == Forward) {
        if (p >= n) return VARNFILE_E_END_OF_FILE;
        ++p;
      } else if (dir == Back) {
        if (p == 0) return VARNFILE_E_NO_PREVIOUS;
        --p;
      }
      cursor_ = p;
      if (p == n) return VARNFILE_E_END_OF_FILE;
      uint16_t id = records_[p].commandId;
      if (id == EndMarker) return VARNFILE_E_END_OF_FILE;
      if (id == Deleted) {
        if (dir == ToEnd) dir = Forward;
        continue;
      }
      *found = p;
      return 0;
    }
  }

  void Append(uint16_t commandId, uint16_t extraId, uint32_t extraValue, const std::string& data) {
    records_.push_back({commandId, extraId, extraValue, data, end_});
    uint32_t end = LibraryEnd();
    if (method_ == VARNFILE_METHOD_NONE) Expect("end of data", end_ + 22 + data.size(), end);
    if (end < end_ + 22) Fail("end of data grows", end_ + 22, end, op_);
    end_ = end;
  }

  void Add(uint16_t commandId, const std::string& data) {
    uint16_t rc = VARNFileAddItem(handle_, commandId, static_cast<uint16_t>(op_), op_ * 7u,
                                  static_cast<uint16_t>(data.size()),
                                  reinterpret_cast<const uint8_t*>(data.data()));
    if (commandId >= 0xFF00 && commandId != EndMarker) {
      Expect("AddItem reserved", VARNFILE_E_RESERVED_ID, rc);
      return;
    }
    // A compressed item may not fit its record: refused, nothing stored.
    if (rc == VARNFILE_E_INVALID_ARGUMENT && method_ != VARNFILE_METHOD_NONE) {
      Expect("end after a refused item", end_, LibraryEnd());
      return;
    }
    Expect("AddItem", 0, rc);
    Append(commandId, static_cast<uint16_t>(op_), op_ * 7u, data);
    CheckCursor();
  }

  void ReadItem(uint8_t shape) {
    size_t found = 0;
    uint16_t capacity = 65535;
    uint16_t expected = Locate(ToEnd, &found);
    if (expected == 0) {
      uint16_t length = static_cast<uint16_t>(records_[found].data.size());
      if (shape % 8 == 0) capacity = length;
      if (shape % 8 == 1 && length > 0) {
        capacity = static_cast<uint16_t>(length - 1);
        expected = VARNFILE_E_BUFFER_TOO_SMALL;
      }
    }
    std::vector<uint8_t> buffer(capacity + 1u);
    uint16_t c = 0, e = 0, length = capacity;
    uint32_t v = 0;
    Expect("ReadItem", expected, VARNFileReadItem(handle_, &c, &e, &v, &length, buffer.data()));
    if (expected == 0 || expected == VARNFILE_E_BUFFER_TOO_SMALL) {
      const Record& r = records_[found];
      Expect("commandId", r.commandId, c);
      Expect("extraId", r.extraId, e);
      Expect("extraValue", r.extraValue, v);
      Expect("length", r.data.size(), length);
      if (expected == 0) {
        if (std::memcmp(r.data.data(), buffer.data(), r.data.size()) != 0) Fail("data", 0, 1, op_);
        cursor_ = found + 1;
      }
    }
    CheckCursor();
  }

  void ReadIds() {
    size_t found = 0;
    uint16_t expected = Locate(ToEnd, &found);
    uint16_t c = 0, e = 0, length = 0;
    uint32_t v = 0;
    Expect("ReadCmdIDEx", expected, VARNFileReadCmdIDEx(handle_, &c, &e, &v, &length));
    if (expected == 0) {
      Expect("commandId", records_[found].commandId, c);
      Expect("length", records_[found].data.size(), length);
    }
    CheckCursor();
  }

  void Skip(Direction dir) {
    size_t found = 0;
    uint16_t expected = Locate(dir, &found);
    Expect(dir == Forward ? "SkipNext" : "SkipPrev", expected,
           dir == Forward ? VARNFileSkipNext(handle_) : VARNFileSkipPrev(handle_));
    CheckCursor();
  }

  void SetPosition(uint8_t pick) {
    uint32_t position;
    if (pick >= 250) {
      position = pick % First;
      cursor_ = 0;
    } else {
      cursor_ = pick % (records_.size() + 1);
      position = PositionOf(cursor_);
    }
    Expect("SetPosition", 0, VARNFileSetPosition(handle_, position));
    CheckCursor();
  }

  void SeekToEnd() {
    uint32_t end = 0;
    Expect("SeekToEnd", 0, VARNFileSeekToEnd(handle_, &end));
    Expect("end", end_, end);
    cursor_ = records_.size();
  }

  void Update(uint8_t kind, bool withData, uint8_t seed) {
    uint16_t commandId = kind < 240 ? static_cast<uint16_t>(kind * 131) : static_cast<uint16_t>(0xFF00 | kind);
    size_t at = cursor_;
    bool atEnd = at == records_.size();
    std::string data;
    if (withData) {
      data = !atEnd && seed % 4 != 0 ? Data(static_cast<uint16_t>(records_[at].data.size()), seed)
                                     : Data(seed, seed);
    }
    uint16_t rc = VARNFileUpdateItem(handle_, commandId, static_cast<uint16_t>(op_ + 1), op_ * 3u,
                                     static_cast<uint16_t>(data.size()),
                                     withData ? reinterpret_cast<const uint8_t*>(data.data()) : nullptr);
    if (commandId >= 0xFF00) {
      Expect("UpdateItem reserved", VARNFILE_E_RESERVED_ID, rc);
    } else if (atEnd) {
      if (rc == VARNFILE_E_INVALID_ARGUMENT && method_ != VARNFILE_METHOD_NONE) return;
      Expect("UpdateItem at the end", 0, rc);
      Append(commandId, static_cast<uint16_t>(op_ + 1), op_ * 3u, data);
    } else if (withData && (data.size() != records_[at].data.size() || method_ != VARNFILE_METHOD_NONE)) {
      Expect("UpdateItem cannot replace", VARNFILE_E_CANNOT_REPLACE, rc);
    } else {
      Expect("UpdateItem", 0, rc);
      Record& r = records_[at];
      r.commandId = commandId;
      r.extraId = static_cast<uint16_t>(op_ + 1);
      r.extraValue = op_ * 3u;
      if (withData) r.data = data;
    }
    CheckCursor();
  }

  void Delete() {
    uint16_t expected = 0;
    if (cursor_ == records_.size()) {
      expected = VARNFILE_E_END_OF_FILE;
    } else {
      uint16_t id = records_[cursor_].commandId;
      if (id == EndMarker) expected = VARNFILE_E_END_OF_FILE;
      else if (id >= 0xFF00) expected = VARNFILE_E_RESERVED_ID;
    }
    Expect("DeleteItem", expected, VARNFileDeleteItem(handle_));
    if (expected == 0) records_[cursor_].commandId = Deleted;
    CheckCursor();
  }

  void Reopen() {
    Expect("Close", 0, VARNFileClose(handle_));
    Expect("Open", 0, VARNFileOpen(&handle_, path_.c_str(), 0));
    cursor_ = 0;
    CheckCursor();
    SetLimits(limits_);
  }

  void SetLimits(uint8_t pick) {
    static const uint16_t items[] = {16, 1, 2, 5, 0, 40, 3, 300};
    static const uint32_t bytes[] = {65536, 0, 100, 2000, 10, 1 << 20, 700, 5000};
    static const uint32_t buffers[] = {1024, 0, 1, 7, 64, 4096, 300, 1024};
    Expect("SetParameters", 0,
           VARNFileSetParameters(handle_, items[pick & 7], bytes[(pick >> 3) & 7],
                                 buffers[(pick >> 6) & 3], buffers[(pick >> 3) & 7]));
  }

  void Duplicate() {
    uint32_t old = handle_;
    std::string oldPath = path_;
    Start();
    Expect("Duplicate", 0, VARNFileDuplicate(handle_, old));
    Expect("Close", 0, VARNFileClose(old));
    VARNFileDelete(oldPath.c_str(), 0);
    // The copy may store records in other sizes: take the positions from
    // its record chain.
    varnfile::LibraryState* state = varnfile::LockLibrary();
    varnfile::OpenFile* file = nullptr;
    varnfile::ResolveHandle(state, handle_, &file);
    uint32_t p = First;
    for (Record& r : records_) {
      if (method_ == VARNFILE_METHOD_NONE) Expect("copied position", r.position, p);
      r.position = p;
      uint16_t rc = varnfile::StepPosition(file, varnfile::StepForward, p, &p);
      if (rc != 0) {
        varnfile::UnlockLibrary();
        Fail("step through the copy", 0, rc, op_);
      }
    }
    varnfile::UnlockLibrary();
    end_ = LibraryEnd();
    Expect("end of the copy", p, end_);
    cursor_ = records_.size();
    CheckCursor();
  }

  void VerifyAll() {
    for (size_t i = 0; i < records_.size(); ++i) {
      cursor_ = i;
      Expect("SetPosition", 0, VARNFileSetPosition(handle_, PositionOf(i)));
      ReadItem(2);
    }
  }

  uint16_t method_;
  uint8_t limits_;
  std::string prefix_;
  std::string path_;
  int fileNumber_ = 0;
  uint32_t handle_ = 0;
  std::vector<Record> records_;
  size_t cursor_ = 0;
  uint32_t end_ = First;
  int op_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Input in(data, size);
  uint16_t method = static_cast<uint16_t>(in.Byte() % 5);
  Run run(method, in.Byte());
  run.Start();
  for (int i = 0; i < MaxOperations && !in.Empty(); ++i) run.Step(in);
  run.Finish();
  return 0;
}
