// Model-based test of the item and cursor exports: long random sequences of
// API calls run against the library and against a plain in-memory model of
// the record list and the cursor, and every result code, cursor position
// and item must agree. Runs over several seeds, cache limits and buffer
// sizes, on disk and in memory, with the compression method as a parameter.
#include <cstring>
#include <deque>
#include <random>
#include <sstream>

#include "item_test_util.h"
#include "store/navigation.h"

namespace varnfile_test {
namespace {

constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;
constexpr uint16_t EndMarker = VARNFILE_CMD_END_MARKER;
constexpr uint16_t Deleted = VARNFILE_CMD_DELETED;

struct ModelRecord {
  uint16_t commandId;
  uint16_t extraId;
  uint32_t extraValue;
  std::string data;
  uint32_t position;
};

// The list of records and the cursor as an index into it; the index equal
// to the number of records is the end of data.
struct Model {
  std::vector<ModelRecord> records;
  size_t cursor = 0;
  uint32_t end = First;

  size_t Count() const { return records.size(); }
  uint32_t PositionOf(size_t index) const {
    return index < records.size() ? records[index].position : end;
  }
};

enum Direction { ToEnd, Back, Forward };

struct ModelConfig {
  const char* name;
  uint16_t method;
  bool onDisk;
  uint32_t seed;
  uint16_t maxCachedItems;
  uint32_t maxCachedBytes;
  int steps;
};

std::ostream& operator<<(std::ostream& os, const ModelConfig& c) {
  return os << c.name << " method " << c.method << (c.onDisk ? " disk" : " memory") << " seed "
            << c.seed << " cache " << c.maxCachedItems << "/" << c.maxCachedBytes;
}

class ModelRun {
 public:
  explicit ModelRun(const ModelConfig& config) : config_(config), rng_(config.seed) {}

  void Run() {
    Create();
    for (step_ = 0; step_ < config_.steps; ++step_) {
      Step();
      if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "after step " << step_ << " of " << config_ << "; last calls:\n"
                      << History();
        break;
      }
    }
    if (!::testing::Test::HasFailure()) VerifyAll();
    if (handle_ != 0) {
      EXPECT_EQ(0, VARNFileClose(handle_));
    }
    handle_ = 0;
    if (config_.onDisk) {
      CheckDiskBytes();
      VARNFileDelete(path_.c_str(), 0);
    }
  }

  int itemsChecked() const { return itemsChecked_; }

 private:
  // ---- random choices ----

  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

  std::string RandomData() {
    uint32_t roll = Below(1000);
    uint32_t length;
    if (roll < 450) {
      length = Below(17);
    } else if (roll < 800) {
      length = 17 + Below(284);
    } else if (roll < 950) {
      length = 301 + Below(2700);
    } else if (config_.method != VARNFILE_METHOD_NONE) {
      length = 3001 + Below(5000);
    } else if (roll < 997) {
      length = 3001 + Below(17000);
    } else {
      length = 65535 - Below(3);
    }
    std::string data(length, '\0');
    // Mostly text-like bytes, so that compressed methods see redundancy.
    bool text = Below(4) != 0;
    for (size_t i = 0; i < length; i += 4) {
      uint32_t bits = static_cast<uint32_t>(rng_());
      for (size_t k = i; k < i + 4 && k < length; ++k, bits >>= 8) {
        data[k] = static_cast<char>(text ? 'a' + (bits & 0xFF) % 6 : bits & 0xFF);
      }
    }
    return data;
  }

  uint16_t RandomCommand() {
    uint32_t roll = Below(100);
    if (roll < 90) return static_cast<uint16_t>(Below(0xFF00));
    if (roll < 93) return 0xFEFF;
    if (roll < 95) return EndMarker;
    return static_cast<uint16_t>(0xFF00 + Below(256));  // reserved, mostly
  }

  // ---- the run ----

  void Create() {
    if (config_.onDisk) {
      path_ = ScratchPath(std::string("model_") + config_.name + "_" + std::to_string(config_.seed) +
                          "_" + std::to_string(fileNumber_++) + ".trn");
      handle_ = CreateFileWith(path_, config_.method);
    } else {
      handle_ = CreateFileWith("MEMORY$", config_.method);
    }
    SetLimits(config_.maxCachedItems, config_.maxCachedBytes, 1024, 1024);
  }

  void SetLimits(uint16_t items, uint32_t bytes, uint32_t readSize, uint32_t writeSize) {
    Log() << "SetParameters(" << items << ", " << bytes << ", " << readSize << ", " << writeSize << ")";
    EXPECT_EQ(0, VARNFileSetParameters(handle_, items, bytes, readSize, writeSize));
  }

  void Step() {
    uint32_t roll = Below(1000);
    size_t n = model_.Count();
    // Fewer appends once the file is long, so that walks stay cheap.
    uint32_t addShare = n < 150 ? 220 : (n < 400 ? 120 : 40);
    if (roll < addShare) return Add(RandomCommand(), OneIn(12));
    roll -= addShare;
    if (roll < 20) return Add(EndMarker, false);
    if (roll < 170) return ReadItem();
    if (roll < 240) return ReadIds();
    if (roll < 360) return Skip(Forward);
    if (roll < 480) return Skip(Back);
    if (roll < 590) return SetPosition();
    if (roll < 610) return GetPosition();
    if (roll < 640) return SeekToEnd();
    if (roll < 700) return Update(/*withData=*/false);
    if (roll < 740) return Update(/*withData=*/true);
    if (roll < 800) return Delete();
    if (roll < 808) return Reopen();
    if (roll < 812) return DuplicateIntoNewFile();
    if (roll < 830) return RandomParameters();
    if (roll < 834) return VerifyAll();
    return ReadItem();
  }

  // Every call goes to the log so that a failure can show what led to it.
  std::ostringstream& Log() {
    if (history_.size() == 40) history_.pop_front();
    history_.emplace_back();
    return history_.back();
  }
  std::string History() const {
    std::string all;
    for (const auto& line : history_) all += "  " + line.str() + "\n";
    return all;
  }
  std::string Where() const {
    std::ostringstream os;
    os << "step " << step_ << ", model cursor " << model_.cursor << " of " << model_.Count();
    return os.str();
  }

  uint32_t LibraryEnd() { return EndOfData(handle_); }

  void CheckCursor() {
    EXPECT_EQ(model_.PositionOf(model_.cursor), Position(handle_)) << Where();
  }

  // LocateItem over the model: moves the cursor as the library does and
  // gives the code and the index of the item found.
  uint16_t ModelLocate(Direction dir, size_t* found) {
    size_t p = model_.cursor;
    size_t n = model_.Count();
    for (;;) {
      if (dir == Forward) {
        if (p >= n) return VARNFILE_E_END_OF_FILE;
        ++p;
      } else if (dir == Back) {
        if (p == 0) return VARNFILE_E_NO_PREVIOUS;
        --p;
      }
      model_.cursor = p;
      if (p == n) return VARNFILE_E_END_OF_FILE;
      uint16_t id = model_.records[p].commandId;
      if (id == EndMarker) return VARNFILE_E_END_OF_FILE;
      if (id == Deleted) {
        if (dir == ToEnd) dir = Forward;
        continue;
      }
      *found = p;
      return 0;
    }
  }

  void Add(uint16_t commandId, bool empty) {
    std::string data = empty ? std::string() : RandomData();
    Log() << "AddItem(" << commandId << ", " << data.size() << " bytes)";
    uint16_t rc = VARNFileAddItem(handle_, commandId, static_cast<uint16_t>(step_), step_ * 7u,
                                  static_cast<uint16_t>(data.size()),
                                  data.empty() && OneIn(2) ? nullptr
                                                           : reinterpret_cast<const uint8_t*>(data.data()));
    if (commandId >= 0xFF00 && commandId != EndMarker) {
      EXPECT_EQ(VARNFILE_E_RESERVED_ID, rc) << Where();
      EXPECT_EQ(model_.end, LibraryEnd()) << Where();
      return;
    }
    EXPECT_EQ(0, rc) << Where();
    Append(commandId, static_cast<uint16_t>(step_), step_ * 7u, data);
    CheckCursor();
  }

  void Append(uint16_t commandId, uint16_t extraId, uint32_t extraValue, const std::string& data) {
    model_.records.push_back({commandId, extraId, extraValue, data, model_.end});
    uint32_t end = LibraryEnd();
    if (config_.method == VARNFILE_METHOD_NONE) {
      EXPECT_EQ(model_.end + 22 + data.size(), end) << Where();
    } else {
      EXPECT_GE(end, model_.end + 22) << Where();
    }
    model_.end = end;
  }

  void ReadItem() {
    size_t found = 0;
    // The buffer is usually big enough; sometimes exactly, or one byte short.
    uint16_t capacity = 65535;
    uint32_t shape = Below(10);
    Log() << "ReadItem(shape " << shape << ")";
    uint16_t expected = ModelLocate(ToEnd, &found);
    if (expected == 0) {
      uint16_t length = static_cast<uint16_t>(model_.records[found].data.size());
      if (shape == 0) capacity = length;
      if (shape == 1 && length > 0) capacity = static_cast<uint16_t>(length - 1);
      if (shape == 1 && length > 0) expected = VARNFILE_E_BUFFER_TOO_SMALL;
    }
    // One buffer for all reads; the bytes expected are poisoned first so
    // that data left by an earlier read cannot pass for this one.
    std::vector<uint8_t>& buffer = readBuffer_;
    if (expected == 0) std::memset(buffer.data(), 0xA5, model_.records[found].data.size());
    uint16_t c = 0, e = 0, length = capacity;
    uint32_t v = 0;
    uint16_t rc = VARNFileReadItem(handle_, &c, &e, &v, &length, buffer.data());
    EXPECT_EQ(expected, rc) << Where();
    if (rc == expected && (expected == 0 || expected == VARNFILE_E_BUFFER_TOO_SMALL)) {
      const ModelRecord& r = model_.records[found];
      EXPECT_EQ(r.commandId, c) << Where();
      EXPECT_EQ(r.extraId, e) << Where();
      EXPECT_EQ(r.extraValue, v) << Where();
      EXPECT_EQ(r.data.size(), length) << Where();
      if (expected == 0) {
        EXPECT_TRUE(std::memcmp(r.data.data(), buffer.data(), r.data.size()) == 0) << Where();
        ++itemsChecked_;
        model_.cursor = found + 1;
      }
    }
    CheckCursor();
  }

  void ReadIds() {
    Log() << "ReadCmdIDEx";
    size_t found = 0;
    uint16_t expected = ModelLocate(ToEnd, &found);
    uint16_t c = 0, e = 0, length = 0;
    uint32_t v = 0;
    uint16_t rc = VARNFileReadCmdIDEx(handle_, &c, &e, &v, OneIn(3) ? nullptr : &length);
    EXPECT_EQ(expected, rc) << Where();
    if (rc == expected && expected == 0) {
      EXPECT_EQ(model_.records[found].commandId, c) << Where();
      EXPECT_EQ(model_.records[found].extraId, e) << Where();
      EXPECT_EQ(model_.records[found].extraValue, v) << Where();
    }
    CheckCursor();
  }

  void Skip(Direction dir) {
    Log() << (dir == Forward ? "SkipNext" : "SkipPrev");
    size_t found = 0;
    uint16_t expected = ModelLocate(dir, &found);
    EXPECT_EQ(expected, dir == Forward ? VARNFileSkipNext(handle_) : VARNFileSkipPrev(handle_))
        << Where();
    CheckCursor();
  }

  void SetPosition() {
    uint32_t position;
    if (OneIn(10)) {
      position = Below(First);
      model_.cursor = 0;
    } else {
      model_.cursor = Below(static_cast<uint32_t>(model_.Count()) + 1);
      position = model_.PositionOf(model_.cursor);
    }
    Log() << "SetPosition(" << position << ")";
    EXPECT_EQ(0, VARNFileSetPosition(handle_, position)) << Where();
    CheckCursor();
  }

  void GetPosition() {
    Log() << "GetPosition";
    CheckCursor();
  }

  void SeekToEnd() {
    Log() << "SeekToEnd";
    uint32_t end = 0;
    EXPECT_EQ(0, VARNFileSeekToEnd(handle_, &end)) << Where();
    EXPECT_EQ(model_.end, end) << Where();
    model_.cursor = model_.Count();
    CheckCursor();
  }

  void Update(bool withData) {
    uint16_t commandId = RandomCommand();
    size_t at = model_.cursor;
    bool atEnd = at == model_.Count();
    std::string data;
    if (withData) {
      // Mostly the same length as the item at the cursor, so it can succeed.
      if (!atEnd && !OneIn(4)) {
        data = model_.records[at].data;
        for (auto& ch : data) ch = static_cast<char>(ch ^ 0x5A);
      } else {
        data = RandomData();
      }
    }
    Log() << "UpdateItem(" << commandId << ", " << (withData ? std::to_string(data.size()) : "no")
          << " data) at " << at;
    uint16_t rc = VARNFileUpdateItem(
        handle_, commandId, static_cast<uint16_t>(step_ + 1), step_ * 3u,
        static_cast<uint16_t>(data.size()),
        withData ? reinterpret_cast<const uint8_t*>(data.data()) : nullptr);
    uint16_t expected = 0;
    if (commandId >= 0xFF00) {
      expected = VARNFILE_E_RESERVED_ID;
    } else if (atEnd) {
      // At the end of data the item is appended instead.
      EXPECT_EQ(0, rc) << Where();
      if (rc == 0) Append(commandId, static_cast<uint16_t>(step_ + 1), step_ * 3u, data);
      CheckCursor();
      return;
    } else if (withData && (data.size() != model_.records[at].data.size() ||
                            config_.method != VARNFILE_METHOD_NONE)) {
      expected = VARNFILE_E_CANNOT_REPLACE;
    }
    EXPECT_EQ(expected, rc) << Where();
    if (expected == 0) {
      ModelRecord& r = model_.records[at];
      r.commandId = commandId;
      r.extraId = static_cast<uint16_t>(step_ + 1);
      r.extraValue = step_ * 3u;
      if (withData) r.data = data;
    }
    CheckCursor();
  }

  void Delete() {
    Log() << "DeleteItem at " << model_.cursor;
    uint16_t expected = 0;
    if (model_.cursor == model_.Count()) {
      expected = VARNFILE_E_END_OF_FILE;
    } else {
      uint16_t id = model_.records[model_.cursor].commandId;
      if (id == EndMarker) {
        expected = VARNFILE_E_END_OF_FILE;
      } else if (id >= 0xFF00) {
        expected = VARNFILE_E_RESERVED_ID;
      } else {
        model_.records[model_.cursor].commandId = Deleted;
      }
    }
    EXPECT_EQ(expected, VARNFileDeleteItem(handle_)) << Where();
    CheckCursor();
  }

  void Reopen() {
    if (!config_.onDisk) return DuplicateIntoNewFile();
    Log() << "Close and Open";
    EXPECT_EQ(0, VARNFileClose(handle_)) << Where();
    handle_ = 0;
    CheckDiskBytes();
    EXPECT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0)) << Where();
    model_.cursor = 0;
    CheckCursor();
    if (OneIn(2)) SetLimits(config_.maxCachedItems, config_.maxCachedBytes, 1024, 1024);
  }

  // Copies everything into a fresh file, which then takes the old one's
  // place; the cursor of the copy stands at its end.
  void DuplicateIntoNewFile() {
    Log() << "Duplicate into a new file";
    uint32_t old = handle_;
    std::string oldPath = path_;
    Create();
    EXPECT_EQ(0, VARNFileDuplicate(handle_, old)) << Where();
    EXPECT_EQ(0, VARNFileClose(old)) << Where();
    if (config_.onDisk) VARNFileDelete(oldPath.c_str(), 0);
    RelearnPositions();
    model_.cursor = model_.Count();
    CheckCursor();
  }

  // Under a compression method the copy may store records in other sizes:
  // take their positions from the record chain itself.
  void RelearnPositions() {
    varnfile::OpenFile* file = FileOf(handle_);
    varnfile::LockLibrary();
    uint32_t p = First;
    for (size_t i = 0; i < model_.Count(); ++i) {
      if (config_.method == VARNFILE_METHOD_NONE) {
        EXPECT_EQ(model_.records[i].position, p) << Where();
      }
      model_.records[i].position = p;
      uint16_t rc = varnfile::StepPosition(file, varnfile::StepForward, p, &p);
      EXPECT_EQ(0, rc) << Where();
      if (rc != 0) break;
    }
    varnfile::UnlockLibrary();
    model_.end = LibraryEnd();
    EXPECT_EQ(model_.end, model_.Count() == 0 ? First : p) << Where();
  }

  void RandomParameters() {
    static const uint16_t items[] = {0, 1, 1, 2, 3, 5, 16, 40, 300};
    static const uint32_t bytes[] = {0, 10, 100, 1000, 65536, 1u << 20};
    static const uint32_t buffers[] = {0, 0, 1, 7, 64, 1024, 4096};
    SetLimits(items[Below(9)], bytes[Below(6)], buffers[Below(7)], buffers[Below(7)]);
  }

  // Reads every record at its position: the whole model, item by item.
  void VerifyAll() {
    Log() << "VerifyAll";
    for (size_t i = 0; i < model_.Count() && !::testing::Test::HasFailure(); ++i) {
      model_.cursor = i;
      EXPECT_EQ(0, VARNFileSetPosition(handle_, model_.PositionOf(i)));
      ReadItem();
    }
  }

  // The bytes of a closed MethodNone file, record by record, against the
  // model with an independent CRC; under other methods the framing only.
  void CheckDiskBytes() {
    if (handle_ != 0 || ::testing::Test::HasFailure()) return;
    std::vector<uint8_t> bytes = FileBytes(path_);
    ASSERT_EQ(model_.end, bytes.size()) << Where();
    for (const ModelRecord& r : model_.records) {
      size_t at = r.position;
      ASSERT_LE(at + 22, bytes.size());
      EXPECT_EQ(r.commandId, U16At(bytes, at)) << "record at " << at;
      EXPECT_EQ(r.extraId, U16At(bytes, at + 2)) << "record at " << at;
      EXPECT_EQ(r.extraValue, U32At(bytes, at + 4)) << "record at " << at;
      EXPECT_EQ(r.data.size(), U16At(bytes, at + 8)) << "record at " << at;
      EXPECT_EQ(ReferenceCrc(reinterpret_cast<const uint8_t*>(r.data.data()), r.data.size()),
                U16At(bytes, at + 12))
          << "record at " << at;
      size_t stored = U16At(bytes, at + 10);
      ASSERT_LE(at + 22 + stored, bytes.size());
      EXPECT_EQ(r.position, U32At(bytes, at + 14 + stored)) << "record at " << at;
      if (config_.method == VARNFILE_METHOD_NONE) {
        ASSERT_EQ(r.data.size(), stored);
        EXPECT_TRUE(std::memcmp(bytes.data() + at + 14, r.data.data(), stored) == 0)
            << "record at " << at;
        EXPECT_EQ(0u, U32At(bytes, at + 18 + stored)) << "record at " << at;
      }
    }
  }

  ModelConfig config_;
  std::mt19937 rng_;
  Model model_;
  uint32_t handle_ = 0;
  std::string path_;
  int fileNumber_ = 0;
  int step_ = 0;
  int itemsChecked_ = 0;
  std::deque<std::ostringstream> history_;
  std::vector<uint8_t> readBuffer_ = std::vector<uint8_t>(65536);
};

class ModelTest : public ::testing::TestWithParam<ModelConfig> {};

TEST_P(ModelTest, LibraryAgreesWithTheModel) {
  const ModelConfig& config = GetParam();
  // Skip methods that cannot store items yet rather than fail on them.
  if (config.method != VARNFILE_METHOD_NONE) {
    uint32_t h = CreateFileWith("MEMORY$", config.method);
    uint16_t rc = AddText(h, 1, "probe");
    VARNFileClose(h);
    if (rc != 0) GTEST_SKIP() << "method " << config.method << " cannot store items yet";
  }
  ModelRun run(config);
  run.Run();
  RecordProperty("itemsChecked", run.itemsChecked());
}

// Under MethodNone, each of two seeds on disk and in memory under three
// caches: the defaults, a one-item cache with no byte budget, and a small
// cache whose window is often cut by its byte budget. Under the compressed
// methods (slower per call) one run of each cache plus one on disk. Every
// run also changes limits and buffer sizes (down to 0) as it goes. Disk
// files are written through to the device, so disk runs are shorter.
std::vector<ModelConfig> Configs(uint16_t method) {
  std::vector<ModelConfig> all;
  if (method == VARNFILE_METHOD_NONE) {
    for (uint32_t seed : {1u, 2u}) {
      for (bool onDisk : {false, true}) {
        int steps = onDisk ? 600 : 4000;
        all.push_back({"defaults", method, onDisk, seed, 16, 65536, steps});
        all.push_back({"single", method, onDisk, seed + 100, 1, 0, steps});
        all.push_back({"small", method, onDisk, seed + 200, 6, 2000, steps});
      }
    }
  } else {
    all.push_back({"defaults", method, false, 1, 16, 65536, 1000});
    all.push_back({"single", method, false, 102, 1, 0, 1000});
    all.push_back({"small", method, false, 203, 6, 2000, 1000});
    all.push_back({"small", method, true, 201, 6, 2000, 200});
  }
  return all;
}

std::string ConfigName(const ::testing::TestParamInfo<ModelConfig>& info) {
  const ModelConfig& c = info.param;
  return std::string(c.name) + "_m" + std::to_string(c.method) + (c.onDisk ? "_disk" : "_mem") +
         "_s" + std::to_string(c.seed);
}

INSTANTIATE_TEST_SUITE_P(MethodNone, ModelTest,
                         ::testing::ValuesIn(Configs(VARNFILE_METHOD_NONE)), ConfigName);
INSTANTIATE_TEST_SUITE_P(Compressed, ModelTest,
                         ::testing::ValuesIn([] {
                           std::vector<ModelConfig> all;
                           for (uint16_t m = 1; m <= 4; ++m) {
                             for (const ModelConfig& c : Configs(m)) all.push_back(c);
                           }
                           return all;
                         }()),
                         ConfigName);

}  // namespace
}  // namespace varnfile_test
