// Model-based test of the item and cursor exports: long random sequences of
// API calls run against the library and against a plain in-memory model of
// the record list and the cursor, and every result code, cursor position
// and item must agree. Runs over several seeds, cache limits and buffer
// sizes, on disk and in memory, under every compression method.
#include <cstring>
#include <random>

#include "item_test_util.h"
#include "store/navigation.h"

namespace varnfile_test {
namespace {

constexpr uint16_t EndMarker = VARNFILE_CMD_END_MARKER;
constexpr uint16_t Deleted = VARNFILE_CMD_DELETED;

struct ModelRecord {
  uint16_t commandId, extraId;
  uint32_t extraValue, position;
  std::string data;
};

enum Direction { ToEnd, Back, Forward };

struct ModelConfig {
  const char* name;
  uint16_t method;
  bool onDisk;
  uint32_t seed, maxCachedItems, maxCachedBytes;
  int steps;
};

class ModelRun {
 public:
  explicit ModelRun(const ModelConfig& config) : config_(config), rng_(config.seed) {}

  // A failure names the step; the seed replays the run up to it.
  void Run() {
    Create();
    for (step_ = 0; step_ < config_.steps && !::testing::Test::HasFailure(); ++step_) {
      SCOPED_TRACE("step " + std::to_string(step_));
      Step();
      CheckCursor();
    }
    if (!::testing::Test::HasFailure()) VerifyAll();
    EXPECT_EQ(0, VARNFileClose(handle_));
    handle_ = 0;
    if (config_.onDisk) {
      CheckDiskBytes();
      VARNFileDelete(path_.c_str(), 0);
    }
  }

 private:
  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

  // Mostly short items, some long; mostly text-like so that compressed
  // methods see redundancy. Up to 65,535 bytes under MethodNone.
  std::string RandomData() {
    uint32_t roll = Below(1000), length;
    if (roll < 450) length = Below(17);
    else if (roll < 800) length = 17 + Below(284);
    else if (roll < 950) length = 301 + Below(2700);
    else if (config_.method != VARNFILE_METHOD_NONE) length = 3001 + Below(5000);
    else length = roll < 997 ? 3001 + Below(17000) : 65535 - Below(3);
    std::string data(length, '\0');
    bool text = Below(4) != 0;
    for (size_t i = 0; i < length; i += 4) {
      uint32_t bits = static_cast<uint32_t>(rng_());
      for (size_t k = i; k < i + 4 && k < length; ++k, bits >>= 8) {
        data[k] = static_cast<char>(text ? 'a' + (bits & 0xFF) % 6 : bits & 0xFF);
      }
    }
    return data;
  }

  // Mostly ordinary ids; the highest one, end markers, and reserved ids.
  uint16_t RandomCommand() {
    uint32_t roll = Below(100);
    return static_cast<uint16_t>(roll < 90 ? Below(0xFF00) : roll < 93 ? 0xFEFF
                                 : roll < 95 ? EndMarker : 0xFF00 + Below(256));
  }

  void Create() {
    path_ = config_.onDisk ? ScratchPath("model_" + std::string(config_.name) + "_" +
                                         std::to_string(config_.seed) + "_" +
                                         std::to_string(fileNumber_++) + ".trn")
                           : "MEMORY$";
    handle_ = CreateFileWith(path_, config_.method);
    SetLimits(config_.maxCachedItems, config_.maxCachedBytes, 1024, 1024);
  }

  void SetLimits(uint32_t items, uint32_t bytes, uint32_t readSize, uint32_t writeSize) {
    EXPECT_EQ(0, VARNFileSetParameters(handle_, static_cast<uint16_t>(items), bytes, readSize,
                                       writeSize));
  }

  void Step() {
    uint32_t roll = Below(1000);
    size_t n = records_.size();
    // Fewer appends once the file is long, so that walks stay cheap.
    uint32_t addShare = n < 150 ? 220 : (n < 400 ? 120 : 40);
    if (roll < addShare) return Add(RandomCommand(), OneIn(12));
    roll -= addShare;
    if (roll < 20) return Add(EndMarker, false);
    if (roll < 240) return Read(/*idsOnly=*/roll >= 170);
    if (roll < 480) return Skip(roll < 360 ? Forward : Back);
    if (roll < 610) return SetPosition();
    if (roll < 640) return SeekToEnd();
    if (roll < 740) return Update(/*withData=*/roll >= 700);
    if (roll < 800) return Delete();
    if (roll < 808) return config_.onDisk ? Reopen() : DuplicateIntoNewFile();
    if (roll < 812) return DuplicateIntoNewFile();
    if (roll < 830) return RandomParameters();
    if (roll < 834) return VerifyAll();
    return Read(false);
  }

  uint32_t PositionOf(size_t index) const {
    return index < records_.size() ? records_[index].position : end_;
  }
  void CheckCursor() { EXPECT_EQ(PositionOf(cursor_), Position(handle_)); }

  // The library's item search over the model: moves the cursor as the
  // library does and gives the code and the index of the item found.
  uint16_t ModelLocate(Direction dir, size_t* found) {
    size_t p = cursor_, n = records_.size();
    for (;;) {
      if (dir == Forward) {
        if (p >= n) return VARNFILE_E_END_OF_FILE;
        ++p;
      } else if (dir == Back) {
        if (p == 0) return VARNFILE_E_NO_PREVIOUS;
        --p;
      }
      cursor_ = p;
      if (p == n || records_[p].commandId == EndMarker) return VARNFILE_E_END_OF_FILE;
      if (records_[p].commandId == Deleted) {
        if (dir == ToEnd) dir = Forward;
        continue;
      }
      *found = p;
      return 0;
    }
  }

  void Add(uint16_t commandId, bool empty) {
    std::string data = empty ? std::string() : RandomData();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
    uint16_t rc = VARNFileAddItem(handle_, commandId, static_cast<uint16_t>(step_), step_ * 7u,
                                  static_cast<uint16_t>(data.size()),
                                  data.empty() && OneIn(2) ? nullptr : bytes);
    if (commandId >= 0xFF00 && commandId != EndMarker) {
      EXPECT_EQ(VARNFILE_E_RESERVED_ID, rc);
      EXPECT_EQ(end_, EndOfData(handle_));
      return;
    }
    EXPECT_EQ(0, rc);
    Append(commandId, static_cast<uint16_t>(step_), step_ * 7u, data);
  }

  void Append(uint16_t commandId, uint16_t extraId, uint32_t extraValue, const std::string& data) {
    records_.push_back({commandId, extraId, extraValue, end_, data});
    uint32_t end = EndOfData(handle_);
    EXPECT_GE(end, end_ + 22);
    if (config_.method == VARNFILE_METHOD_NONE) { EXPECT_EQ(end_ + 22 + data.size(), end); }
    end_ = end;
  }

  // ReadItem with a buffer usually big enough, sometimes exact or one byte
  // short (258, the cursor stays); or ReadCmdIDEx, which never moves on.
  void Read(bool idsOnly) {
    size_t found = 0;
    uint16_t capacity = 65535;
    uint32_t shape = Below(10);
    uint16_t expected = ModelLocate(ToEnd, &found);
    size_t size = expected == 0 ? records_[found].data.size() : 0;
    if (expected == 0 && shape == 0) capacity = static_cast<uint16_t>(size);
    if (expected == 0 && shape == 1 && size > 0) {
      capacity = static_cast<uint16_t>(size - 1);
      expected = VARNFILE_E_BUFFER_TOO_SMALL;
    }
    // The bytes expected are poisoned first so that data left by an earlier
    // read cannot pass for this one.
    std::memset(buffer_.data(), 0xA5, size);
    uint16_t c = 0, e = 0, length = capacity;
    uint32_t v = 0;
    uint16_t rc = idsOnly ? VARNFileReadCmdIDEx(handle_, &c, &e, &v, OneIn(3) ? nullptr : &length)
                          : VARNFileReadItem(handle_, &c, &e, &v, &length, buffer_.data());
    if (idsOnly && expected == VARNFILE_E_BUFFER_TOO_SMALL) expected = 0;
    EXPECT_EQ(expected, rc);
    if (rc == expected && (expected == 0 || expected == VARNFILE_E_BUFFER_TOO_SMALL)) {
      const ModelRecord& r = records_[found];
      EXPECT_EQ(r.commandId, c);
      EXPECT_EQ(r.extraId, e);
      EXPECT_EQ(r.extraValue, v);
      if (!idsOnly) { EXPECT_EQ(r.data.size(), length); }
      if (!idsOnly && expected == 0) {
        EXPECT_EQ(0, std::memcmp(r.data.data(), buffer_.data(), size));
        cursor_ = found + 1;
      }
    }
  }

  void Skip(Direction dir) {
    size_t found = 0;
    uint16_t expected = ModelLocate(dir, &found);
    EXPECT_EQ(expected, dir == Forward ? VARNFileSkipNext(handle_) : VARNFileSkipPrev(handle_));
  }

  // A record start, the end of data, or (raised to the first item) a
  // position inside the header.
  void SetPosition() {
    bool inHeader = OneIn(10);
    cursor_ = inHeader ? 0 : Below(static_cast<uint32_t>(records_.size()) + 1);
    EXPECT_EQ(0, VARNFileSetPosition(handle_, inHeader ? Below(First) : PositionOf(cursor_)));
  }

  void SeekToEnd() {
    uint32_t end = 0;
    EXPECT_EQ(0, VARNFileSeekToEnd(handle_, &end));
    EXPECT_EQ(end_, end);
    cursor_ = records_.size();
  }

  // In place at the cursor (ids always; data of the same length under
  // MethodNone only, else 268); at the end of data an append.
  void Update(bool withData) {
    uint16_t commandId = RandomCommand();
    size_t at = cursor_;
    bool atEnd = at == records_.size();
    std::string data;
    if (withData && !atEnd && !OneIn(4)) {
      data = records_[at].data;
      for (auto& ch : data) ch = static_cast<char>(ch ^ 0x5A);
    } else if (withData) {
      data = RandomData();
    }
    uint16_t extraId = static_cast<uint16_t>(step_ + 1);
    uint16_t rc = VARNFileUpdateItem(
        handle_, commandId, extraId, step_ * 3u, static_cast<uint16_t>(data.size()),
        withData ? reinterpret_cast<const uint8_t*>(data.data()) : nullptr);
    uint16_t expected = 0;
    if (commandId >= 0xFF00) {
      expected = VARNFILE_E_RESERVED_ID;
    } else if (atEnd) {
      EXPECT_EQ(0, rc);
      if (rc == 0) Append(commandId, extraId, step_ * 3u, data);
      return;
    } else if (withData && (data.size() != records_[at].data.size() ||
                            config_.method != VARNFILE_METHOD_NONE)) {
      expected = VARNFILE_E_CANNOT_REPLACE;
    }
    EXPECT_EQ(expected, rc);
    if (expected == 0) {
      ModelRecord& r = records_[at];
      r = {commandId, extraId, step_ * 3u, r.position, withData ? data : r.data};
    }
  }

  void Delete() {
    uint16_t id = cursor_ < records_.size() ? records_[cursor_].commandId : EndMarker;
    uint16_t expected = id == EndMarker ? VARNFILE_E_END_OF_FILE
                        : id >= 0xFF00  ? VARNFILE_E_RESERVED_ID : 0;
    if (expected == 0) records_[cursor_].commandId = Deleted;
    EXPECT_EQ(expected, VARNFileDeleteItem(handle_));
  }

  void Reopen() {
    EXPECT_EQ(0, VARNFileClose(handle_));
    handle_ = 0;
    CheckDiskBytes();
    EXPECT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0));
    cursor_ = 0;
    if (OneIn(2)) SetLimits(config_.maxCachedItems, config_.maxCachedBytes, 1024, 1024);
  }

  // Copies everything into a fresh file, which then takes the old one's
  // place; the cursor of the copy stands at its end. Under a compression
  // method the copy may store records in other sizes: the positions come
  // from the record chain itself.
  void DuplicateIntoNewFile() {
    uint32_t old = handle_;
    std::string oldPath = path_;
    Create();
    EXPECT_EQ(0, VARNFileDuplicate(handle_, old));
    EXPECT_EQ(0, VARNFileClose(old));
    if (config_.onDisk) VARNFileDelete(oldPath.c_str(), 0);
    varnfile::OpenFile* file = FileOf(handle_);
    varnfile::LockLibrary();
    uint32_t p = First;
    for (ModelRecord& r : records_) {
      if (config_.method == VARNFILE_METHOD_NONE) { EXPECT_EQ(r.position, p); }
      r.position = p;
      uint16_t rc = varnfile::StepPosition(file, varnfile::StepForward, p, &p);
      EXPECT_EQ(0, rc);
      if (rc != 0) break;
    }
    varnfile::UnlockLibrary();
    end_ = EndOfData(handle_);
    EXPECT_EQ(end_, p);
    cursor_ = records_.size();
  }

  void RandomParameters() {
    static const uint16_t items[] = {0, 1, 1, 2, 3, 5, 16, 40, 300};
    static const uint32_t bytes[] = {0, 10, 100, 1000, 65536, 1u << 20};
    static const uint32_t buffers[] = {0, 0, 1, 7, 64, 1024, 4096};
    SetLimits(items[Below(9)], bytes[Below(6)], buffers[Below(7)], buffers[Below(7)]);
  }

  // Reads every record at its position: the whole model, item by item.
  void VerifyAll() {
    for (size_t i = 0; i < records_.size() && !::testing::Test::HasFailure(); ++i) {
      cursor_ = i;
      EXPECT_EQ(0, VARNFileSetPosition(handle_, PositionOf(i)));
      Read(false);
      CheckCursor();
    }
  }

  // The bytes of a closed file, record by record, against the model with an
  // independent CRC; under compression methods the framing only.
  void CheckDiskBytes() {
    if (::testing::Test::HasFailure()) return;
    Bytes bytes = FileBytes(path_);
    ASSERT_EQ(end_, bytes.size());
    for (const ModelRecord& r : records_) {
      size_t at = r.position;
      Bytes want = Record(r.commandId, r.extraId, r.extraValue, r.data, ReferenceCrc(r.data), at);
      if (config_.method == VARNFILE_METHOD_NONE) {
        EXPECT_EQ(want, Slice(bytes, at, want.size())) << "record at " << at;
        continue;
      }
      size_t stored = at + 14 <= bytes.size() ? U16At(bytes, at + 10) : 0;
      EXPECT_EQ(Slice(want, 0, 10), Slice(bytes, at, 10)) << "record at " << at;
      EXPECT_EQ(Slice(want, 12, 2), Slice(bytes, at + 12, 2)) << "record at " << at;
      EXPECT_EQ(Slice(want, 14 + r.data.size(), 4), Slice(bytes, at + 14 + stored, 4)) << at;
    }
  }

  ModelConfig config_;
  std::mt19937 rng_;
  std::vector<ModelRecord> records_;
  size_t cursor_ = 0;  // an index into records_; records_.size() is the end
  uint32_t end_ = First;
  uint32_t handle_ = 0;
  std::string path_;
  int fileNumber_ = 0, step_ = 0;
  Bytes buffer_ = Bytes(65536);
};

class ModelTest : public ::testing::TestWithParam<ModelConfig> {};

TEST_P(ModelTest, LibraryAgreesWithTheModel) { ModelRun(GetParam()).Run(); }

// Under MethodNone two seeds on disk and in memory under three caches: the
// defaults, one item with no byte budget, and a small cache whose window is
// often cut by its byte budget. Under the compressed methods (slower per
// call) each cache once in memory plus one disk run. Every run also changes
// limits and buffer sizes (down to 0) as it goes; disk runs are shorter, as
// disk files are written through to the device.
std::vector<ModelConfig> Configs() {
  std::vector<ModelConfig> all;
  for (uint16_t m = 0; m <= 4; ++m) {
    for (uint32_t seed = 1; seed <= (m == 0 ? 2u : 1u); ++seed) {
      for (bool onDisk : {false, true}) {
        int steps = m == 0 ? (onDisk ? 600 : 4000) : (onDisk ? 200 : 1000);
        if (m == 0 || !onDisk) all.push_back({"defaults", m, onDisk, seed, 16, 65536, steps});
        if (m == 0 || !onDisk) all.push_back({"single", m, onDisk, seed + 100, 1, 0, steps});
        all.push_back({"small", m, onDisk, seed + 200, 6, 2000, steps});
      }
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(All, ModelTest, ::testing::ValuesIn(Configs()),
                         [](const ::testing::TestParamInfo<ModelConfig>& info) {
                           const ModelConfig& c = info.param;
                           return std::string(c.name) + "_m" + std::to_string(c.method) +
                                  (c.onDisk ? "_disk" : "_mem") + "_s" + std::to_string(c.seed);
                         });

}  // namespace
}  // namespace varnfile_test
