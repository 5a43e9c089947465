// Model-based test of the item and cursor exports (the model is in
// item_model.h): long random sequences over several seeds, cache limits and
// buffer sizes, on disk and in memory, starting under every compression
// method; then short scripted sequences for cases that random runs reach
// too rarely.
#include <cerrno>
#include <functional>
#include <random>

#include "item_test_util.h"
#include "platform/file.h"

namespace varnfile_test {
namespace {

struct ModelConfig {
  const char* name; uint16_t method; bool onDisk; uint32_t seed; uint16_t maxCachedItems;
  uint32_t maxCachedBytes; int steps;
};

class RandomModel : public ItemModel {
 public:
  explicit RandomModel(const ModelConfig& c)
      : ItemModel(c.method,
                  c.onDisk ? ScratchFile("model_" + std::string(c.name) + std::to_string(c.seed)) : "",
                  c.maxCachedItems, c.maxCachedBytes), rng_(c.seed) {}
  uint32_t Next() override { return static_cast<uint32_t>(rng_()); }
  // A failure names the step; the seed replays the run up to it.
  void Fail(const std::string& what) override { ADD_FAILURE() << "step " << step_ << ": " << what; }

 private:
  std::mt19937 rng_;
};

class ModelTest : public ::testing::TestWithParam<ModelConfig> {};

TEST_P(ModelTest, LibraryAgreesWithTheModel) {
  RandomModel model(GetParam());
  model.Start();
  for (int i = 0; i < GetParam().steps && !model.failed(); ++i) model.Step();
  model.Finish();
}

// Under MethodNone two seeds on disk and in memory under three caches: the
// defaults, one item with no byte budget, and a small cache whose window is
// often cut by its byte budget. Under the compressed methods (slower per
// call) each cache once in memory plus one disk run. Every run also changes
// limits and buffer sizes (down to 0) and, copying, its method as it goes;
// disk runs are shorter, as disk files are written through to the device.
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

INSTANTIATE_TEST_SUITE_P(All, ModelTest, ::testing::ValuesIn(Configs()), [](const auto& info) {
  const ModelConfig& c = info.param;
  return std::string(c.name) + "_m" + std::to_string(c.method) + (c.onDisk ? "_disk" : "_mem") +
         "_s" + std::to_string(c.seed);
});

// A scripted sequence on a disk file under a cache of `items` items and
// `bytes` bytes, then the cursor and every record checked.
void Script(uint16_t method, uint16_t items, uint32_t bytes, uint32_t seed,
            const std::function<void(RandomModel&)>& script) {
  SCOPED_TRACE("method " + std::to_string(method) + ", cache " + std::to_string(items));
  RandomModel m({"script", method, true, seed, items, bytes, 0});
  m.Start();
  script(m);
  m.CheckCursor();
  m.Finish();
}

// Renaming (new ids, no data) records near the end of a chained file that
// an earlier session wrote, reached backwards or by position after the
// file was reopened, while they are not cached.
TEST(ModelScript, RenameNearTheEndOfAChainedFileAfterReopen) {
  for (uint16_t method : {2, 3}) {
    for (uint16_t items : {1, 6, 16}) {
      Script(method, items, items * 400u, items, [&](RandomModel& m) {
        for (int i = 0; i < 40; ++i) m.Add(static_cast<uint16_t>(i + 1), m.RandomData());
        m.Reopen(true);
        m.SeekToEnd();
        m.Skip(Back), m.Update(0x1234, false, std::string());
        m.Skip(Back), m.Skip(Back), m.Update(0x2345, false, std::string());
        m.CheckCursor();
        m.Reopen(true);
        m.SetPosition(m.size() - 1), m.Update(0x3456, false, std::string());
        m.SetPosition(m.size() - 3), m.Update(0x4567, false, std::string());
      });
    }
  }
}

// Under a compression method a window pass re-reads records the cache
// already holds, to keep the decoder in step; it must not undo unsaved
// changes in them: record 10 renamed and 11 deleted in the cache only,
// then a step back to record 1 whose window (12 records) runs through both.
TEST(ModelScript, WindowPassKeepsUnsavedChanges) {
  for (uint16_t method = 0; method <= 4; ++method) {
    Script(method, 24, 65536, method, [](RandomModel& m) {
      for (uint32_t i = 0; i < 30; ++i) m.Add(static_cast<uint16_t>(i), ItemModel::MakeData(7, ItemModel::Text, i));
      m.Reopen(true);
      m.SetPosition(10), m.Update('R', false, std::string());
      m.SetPosition(11), m.Delete();
      m.SetPosition(1), m.Read(true, 2);
      m.SetPosition(10), m.Read(true, 2), m.Skip(Forward);
    });
  }
}

// The reader has decoded the last record when a refused item turns it into
// a reset point; the items appended behind it must still read back once
// they have left a cache of one item.
TEST(ModelScript, ReaderAtTheEndFollowsARefusal) {
  for (uint16_t method = 0; method <= 4; ++method) {
    Script(method, 1, 0, method, [](RandomModel& m) {
      for (uint32_t i = 0; i < 6; ++i) {
        if (i == 2) m.Add(2, ItemModel::MakeData(65535, ItemModel::Noise, i));
        m.Add(1, ItemModel::MakeData(3000, ItemModel::Text, i));
        if (i < 2) m.Read(false, 9);
      }
      for (int i = 0; i < 5; ++i) m.Read(false, 9);
    });
  }
}

// A refused item reset a chained encoder, but the reset point behind the
// last record could not be marked (its trailer's read or write failed):
// the refusal is still 260, and the mark is made before the next append,
// whose item must read back.
TEST(ModelScript, AMarkThatFailsAfterARefusalIsMadeAtTheNextAppend) {
  for (uint16_t method : {2, 3}) {
    for (auto kind : {varnfile::FileCallRead, varnfile::FileCallWrite}) {
      Script(method, 16, 65536, kind, [&](RandomModel& m) {
        for (uint32_t i = 0; i < 3; ++i) m.Add(1, ItemModel::MakeData(300, ItemModel::Text, i));
        m.RandomLimits(1 << 6 | 1 << 9);  // unbuffered: the mark reaches the file
        varnfile::FileSetFault(kind, {1, false, EIO, false, false});
        m.Add(2, ItemModel::MakeData(65535, ItemModel::Noise, 7));
        varnfile::FileClearFaults();
        for (uint32_t i = 0; i < 3; ++i) m.Add(3, ItemModel::MakeData(300, ItemModel::Text, 9 + i));
      });
    }
  }
}

}  // namespace
}  // namespace varnfile_test
