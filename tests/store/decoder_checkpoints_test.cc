// Decoder checkpoints under the chained methods: walks in every direction
// read exactly what was written (small caches force many backward seeks),
// the record layer returns the same bytes with and without checkpoints, the
// spine thins within its budget, and the copies go at close and on a
// method change. Also the DEFLATE decoder's save/restore pair on its own.
#include "store/decoder_checkpoints.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../api/item_test_util.h"
#include "codec/block_codec.h"
#include "codec/deflate.h"
#include "codec/inflate.h"
#include "platform/memory.h"
#include "store/record_io.h"
#include "store/store.h"
#include "varnfile.h"

namespace varnfile_test {
namespace {

using Bytes = std::vector<uint8_t>;

struct TestItem {
  uint16_t commandId;
  Bytes data;
};

// Text-like data with repeats across items (so chained items refer back),
// some empty items, some incompressible ones.
std::vector<TestItem> MakeItems(uint32_t count, uint32_t seed) {
  static const char* const Words[] = {"order ", "paid ", "amount=", "EUR ", "customer ",
                                      "2026-12-05 ", "ref ", "ok\n", "card ", "bank "};
  std::mt19937 rng(seed);
  std::vector<TestItem> items(count);
  for (uint32_t i = 0; i < count; ++i) {
    TestItem& item = items[i];
    item.commandId = static_cast<uint16_t>(i % 1000);
    uint32_t kind = rng() % 20;
    uint32_t size = kind == 0 ? 0 : 20 + rng() % 1500;
    while (item.data.size() < size) {
      if (kind == 1) {
        item.data.push_back(static_cast<uint8_t>(rng()));
      } else {
        const char* w = Words[rng() % 10];
        item.data.insert(item.data.end(), w, w + std::strlen(w));
        std::string n = std::to_string(rng() % 1000);
        item.data.insert(item.data.end(), n.begin(), n.end());
      }
    }
    item.data.resize(size);
  }
  return items;
}

varnfile::Store* StoreOf(uint32_t handle) { return &FileOf(handle)->store; }

varnfile::CheckpointStats Stats(uint32_t handle) {
  varnfile::CheckpointStats stats;
  varnfile::GetCheckpointStats(StoreOf(handle), &stats);
  return stats;
}

class CheckpointWalk : public ::testing::TestWithParam<uint16_t> {
 protected:
  void TearDown() override {
    if (handle_ != 0) VARNFileClose(handle_);
    if (!path_.empty()) VARNFileDelete(path_.c_str(), 0);
  }

  void Append(const std::vector<TestItem>& items, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      const TestItem& it = items[i];
      ASSERT_EQ(0, VARNFileAddItem(handle_, it.commandId, 7, static_cast<uint32_t>(i),
                                   static_cast<uint16_t>(it.data.size()), it.data.data()))
          << i;
    }
  }

  // Reads the item at the cursor and checks it against items[index].
  void ExpectItem(const std::vector<TestItem>& items, uint32_t index) {
    uint16_t c = 0, e = 0, length = 65535;
    uint32_t v = 0;
    ASSERT_EQ(0, VARNFileReadItem(handle_, &c, &e, &v, &length, buffer_.data())) << index;
    ASSERT_EQ(index, v);
    ASSERT_EQ(items[index].commandId, c);
    ASSERT_EQ(items[index].data.size(), length) << index;
    ASSERT_EQ(0, std::memcmp(buffer_.data(), items[index].data.data(), length)) << index;
  }

  std::vector<uint32_t> ForwardWalk(const std::vector<TestItem>& items) {
    std::vector<uint32_t> positions(items.size());
    EXPECT_EQ(0, VARNFileSetPosition(handle_, VARNFILE_FIRST_ITEM_POSITION));
    for (uint32_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(0, VARNFileGetPosition(handle_, &positions[i]));
      ExpectItem(items, i);
    }
    return positions;
  }

  void BackwardWalk(const std::vector<TestItem>& items) {
    uint32_t end = 0;
    ASSERT_EQ(0, VARNFileSeekToEnd(handle_, &end));
    for (uint32_t i = static_cast<uint32_t>(items.size()); i-- > 0;) {
      ASSERT_EQ(0, VARNFileSkipPrev(handle_)) << i;
      uint32_t at = 0;
      ASSERT_EQ(0, VARNFileGetPosition(handle_, &at));
      ExpectItem(items, i);
      ASSERT_EQ(0, VARNFileSetPosition(handle_, at));
    }
    EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(handle_));
  }

  void RandomReads(const std::vector<TestItem>& items, const std::vector<uint32_t>& positions,
                   uint32_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    for (uint32_t k = 0; k < count; ++k) {
      uint32_t index = rng() % items.size();
      ASSERT_EQ(0, VARNFileSetPosition(handle_, positions[index]));
      ExpectItem(items, index);
    }
  }

  uint32_t handle_ = 0;
  std::string path_;
  Bytes buffer_ = Bytes(65536);
};

// Small caches and buffers: every few steps back is a seek that restores a
// checkpoint. What is read must be what was written, in every order.
TEST_P(CheckpointWalk, SmallCacheWalksReadWhatWasWritten) {
  uint16_t method = GetParam();
  std::vector<TestItem> items = MakeItems(3000, 11 + method);
  handle_ = CreateFileWith("MEMORY$", method);
  ASSERT_NE(0u, handle_);
  ASSERT_EQ(0, VARNFileSetParameters(handle_, 4, 4096, 256, 256));
  Append(items, 0, items.size());
  std::vector<uint32_t> positions = ForwardWalk(items);
  BackwardWalk(items);
  varnfile::CheckpointStats stats = Stats(handle_);
  EXPECT_GT(stats.spineCount, 0u);
  EXPECT_GT(stats.localCount, 0u);
  RandomReads(items, positions, 500, 5);
  // The default cache too: windows of 9 records walking back.
  ASSERT_EQ(0, VARNFileSetParameters(handle_, 16, 65536, 1024, 1024));
  BackwardWalk(items);
  ForwardWalk(items);
}

// Several sessions make several chains (reset points between them); a file
// reopened starts with no copies, and walks cross the reset points.
TEST_P(CheckpointWalk, ChainsOfSeveralSessionsAfterReopen) {
  uint16_t method = GetParam();
  std::vector<TestItem> items = MakeItems(1500, 23 + method);
  path_ = ScratchPath("checkpoints_" + std::to_string(method) + ".trn");
  handle_ = CreateFileWith(path_, method);
  ASSERT_NE(0u, handle_);
  for (size_t first = 0; first < items.size(); first += 500) {
    if (first != 0) {
      ASSERT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0));
    }
    EXPECT_EQ(0u, Stats(handle_).spineCount + Stats(handle_).localCount);
    ASSERT_EQ(0, VARNFileSetParameters(handle_, 3, 65536, 512, 512));
    Append(items, first, first + 500);
    // Walk what the file holds so far while still appending to it.
    std::vector<TestItem> sofar(items.begin(), items.begin() + first + 500);
    BackwardWalk(sofar);
    ASSERT_EQ(0, VARNFileClose(handle_));
    handle_ = 0;
  }
  ASSERT_EQ(0, VARNFileOpenEx(&handle_, VARNFILE_ACCESS_READ, path_.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetParameters(handle_, 2, 65536, 0, 0));
  BackwardWalk(items);
  std::vector<uint32_t> positions = ForwardWalk(items);
  RandomReads(items, positions, 300, 9);
}

INSTANTIATE_TEST_SUITE_P(ChainedMethods, CheckpointWalk,
                         ::testing::Values(VARNFILE_METHOD_CHAINED_DEFLATE,
                                           VARNFILE_METHOD_CHAINED_PREDICTOR));

// The record layer returns the same header, data and cursor whether a seek
// restores a checkpoint or replays from the reset point.
TEST(DecoderCheckpoints, SeeksGiveTheSameRecordsWithAndWithoutCheckpoints) {
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_CHAINED_PREDICTOR}) {
    std::vector<TestItem> items = MakeItems(600, 31 + method);
    uint32_t handle = CreateFileWith("MEMORY$", method);
    ASSERT_NE(0u, handle);
    std::vector<uint32_t> positions;
    for (size_t i = 0; i < items.size(); ++i) {
      uint32_t end = 0;
      ASSERT_EQ(0, VARNFileSeekToEnd(handle, &end));
      positions.push_back(end);
      ASSERT_EQ(0, VARNFileAddItem(handle, items[i].commandId, 0, static_cast<uint32_t>(i),
                                   static_cast<uint16_t>(items[i].data.size()),
                                   items[i].data.data()));
    }
    varnfile::Store* store = StoreOf(handle);
    std::mt19937 rng(method);
    Bytes with(65536), without(65536);
    for (int k = 0; k < 160; ++k) {
      uint32_t index = k < 80 ? static_cast<uint32_t>(599 - k * 7) : rng() % 600;
      uint32_t at = positions[index];
      varnfile::RecordView a = {}, b = {};
      a.data = with.data();
      b.data = without.data();
      ASSERT_EQ(0, varnfile::SeekRecordRead(store, at));
      ASSERT_EQ(0, varnfile::ReadRecord(store, &a));
      uint32_t cursorWith = store->readCursor;
      varnfile::DropDecoderCheckpoints(store);
      store->readCursor = store->endOfData;  // force the replay from the reset point
      ASSERT_EQ(0, varnfile::SeekRecordRead(store, at));
      ASSERT_EQ(0, varnfile::ReadRecord(store, &b));
      ASSERT_EQ(cursorWith, store->readCursor);
      ASSERT_EQ(a.header.length, b.header.length);
      ASSERT_EQ(a.header.storedLength, b.header.storedLength);
      ASSERT_EQ(a.nextPosition, b.nextPosition);
      ASSERT_EQ(a.previousPosition, b.previousPosition);
      ASSERT_EQ(0, std::memcmp(with.data(), without.data(), a.header.length)) << index;
      ASSERT_EQ(0, std::memcmp(with.data(), items[index].data.data(), a.header.length)) << index;
      // Walk forwards a little so the spine fills again.
      for (int step = 0; step < 12 && store->readCursor < store->endOfData; ++step) {
        varnfile::RecordView v = {};
        v.data = with.data();
        ASSERT_EQ(0, varnfile::ReadRecord(store, &v));
      }
    }
    ASSERT_EQ(0, VARNFileAbort(handle));
  }
}

// Reading a long chain forwards fills the spine; when it is full every other
// copy goes and the interval doubles. The copies never exceed the budget.
TEST(DecoderCheckpoints, SpineThinsEvenlyWithinItsBudget) {
  std::vector<TestItem> items = MakeItems(20000, 3);
  for (TestItem& item : items) item.data.resize(item.data.size() % 40);  // small, fast
  uint32_t handle = CreateFileWith("MEMORY$", VARNFILE_METHOD_CHAINED_DEFLATE);
  ASSERT_NE(0u, handle);
  for (size_t i = 0; i < items.size(); ++i) {
    ASSERT_EQ(0, VARNFileAddItem(handle, 1, 0, static_cast<uint32_t>(i),
                                 static_cast<uint16_t>(items[i].data.size()),
                                 items[i].data.data()));
  }
  Bytes buffer(65536);
  uint32_t previousInterval = 0;
  ASSERT_EQ(0, VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION));
  for (size_t i = 0; i < items.size(); ++i) {
    uint16_t c, e, length = 65535;
    uint32_t v;
    ASSERT_EQ(0, VARNFileReadItem(handle, &c, &e, &v, &length, buffer.data()));
    varnfile::CheckpointStats stats = Stats(handle);
    ASSERT_LE(stats.spineCount, stats.spineCapacity);
    ASSERT_LE(stats.stateBytes, varnfile::CheckpointBudget);
    if (stats.spineInterval != previousInterval && previousInterval != 0) {
      // Thinning halves the copies and doubles the interval.
      EXPECT_EQ(previousInterval * 2, stats.spineInterval);
      EXPECT_LE(stats.spineCount, stats.spineCapacity / 2 + 1);
    }
    previousInterval = stats.spineInterval;
  }
  varnfile::CheckpointStats stats = Stats(handle);
  // About one copy per interval over the whole file.
  uint32_t expected = static_cast<uint32_t>(items.size()) / stats.spineInterval;
  EXPECT_GE(stats.spineCount + 1, expected);
  EXPECT_LE(stats.spineCount, expected + 1);
  EXPECT_GT(stats.spineInterval, varnfile::FirstSpineInterval);
  // The budget holds whatever the method's state size.
  EXPECT_GE(stats.spineCapacity * 2 * varnfile::DecoderStateSize(VARNFILE_METHOD_CHAINED_DEFLATE),
            varnfile::CheckpointBudget / 2);
  ASSERT_EQ(0, VARNFileAbort(handle));
}

// A method change drops every copy; unchained methods never make any.
TEST(DecoderCheckpoints, MethodChangeDropsCopiesAndUnchainedMethodsKeepNone) {
  std::vector<TestItem> items = MakeItems(200, 41);
  for (uint16_t method : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_PREDICTOR,
                          VARNFILE_METHOD_DEFLATE, VARNFILE_METHOD_CHAINED_DEFLATE}) {
    uint32_t handle = CreateFileWith("MEMORY$", method);
    ASSERT_NE(0u, handle);
    for (size_t i = 0; i < items.size(); ++i) {
      ASSERT_EQ(0, VARNFileAddItem(handle, 1, 0, 0, static_cast<uint16_t>(items[i].data.size()),
                                   items[i].data.data()));
    }
    ASSERT_EQ(0, VARNFileSetParameters(handle, 2, 65536, 256, 256));
    Bytes buffer(65536);
    uint32_t end = 0;
    ASSERT_EQ(0, VARNFileSeekToEnd(handle, &end));
    while (VARNFileSkipPrev(handle) == 0) {
      uint16_t c, e, length = 65535;
      uint32_t v;
      ASSERT_EQ(0, VARNFileReadCmdIDEx(handle, &c, &e, &v, &length));
    }
    varnfile::Store* store = StoreOf(handle);
    if (method == VARNFILE_METHOD_CHAINED_DEFLATE) {
      EXPECT_NE(nullptr, store->checkpoints);
      varnfile::SetCompressionMethod(store, VARNFILE_METHOD_CHAINED_PREDICTOR);
      EXPECT_EQ(nullptr, store->checkpoints);
      varnfile::SetCompressionMethod(store, method);
    } else {
      EXPECT_EQ(nullptr, store->checkpoints) << method;
    }
    ASSERT_EQ(0, VARNFileAbort(handle));
  }
}

// The DEFLATE decoder's carried state: a copy taken between two streams and
// put back into another context decodes the following streams the same way;
// a context in the middle of a stream cannot be copied.
TEST(DecoderCheckpoints, InflateCarriedStateRoundTrip) {
  using namespace varnfile;
  std::vector<TestItem> items = MakeItems(40, 77);
  auto* deflate = static_cast<DeflateContext*>(MemAlloc(DeflateContextSize()));
  ASSERT_EQ(0u, DeflateInit(deflate, 0, 0));
  std::vector<Bytes> streams;
  for (const TestItem& item : items) {
    Bytes out(item.data.size() * 2 + 200);
    uint32_t in = static_cast<uint32_t>(item.data.size());
    uint32_t room = static_cast<uint32_t>(out.size());
    if (in == 0) {
      streams.emplace_back();
      continue;
    }
    ASSERT_EQ(1u, DeflateCompress(item.data.data(), &in, out.data(), &room, deflate,
                                  DeflateFlushChained));
    out.resize(room);
    out.resize(room + 4, 0);
    streams.push_back(out);
  }
  DeflateEnd(deflate);
  MemFree(deflate);

  auto decode = [&](InflateContext* context, size_t i, Bytes* out) {
    out->assign(items[i].data.size(), 0);
    if (streams[i].empty()) return;
    uint32_t in = static_cast<uint32_t>(streams[i].size() - 4);
    uint32_t room = static_cast<uint32_t>(out->size());
    Inflate(streams[i].data(), &in, out->data(), &room, context, 2);
  };
  auto* a = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  auto* b = static_cast<InflateContext*>(MemAlloc(InflateContextSize()));
  ASSERT_EQ(0u, InflateInit(a, 0));
  ASSERT_EQ(0u, InflateInit(b, 0));
  Bytes saved(InflateCarriedSize);
  Bytes out;
  for (size_t i = 0; i < 20; ++i) decode(a, i, &out);
  ASSERT_EQ(1u, InflateSaveCarried(a, saved.data()));
  // b decodes something unrelated first: its tables and window differ.
  for (size_t i = 0; i < 3; ++i) decode(b, i, &out);
  InflateRestoreCarried(b, saved.data());
  for (size_t i = 20; i < items.size(); ++i) {
    decode(b, i, &out);
    ASSERT_EQ(items[i].data, out) << i;
  }
  // Half a stream: nothing can be saved, and nothing is written.
  size_t big = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (streams[i].size() > streams[big].size()) big = i;
  }
  ASSERT_EQ(0u, InflateInit(a, 1));
  uint32_t in = 8;
  Bytes room(70000);
  uint32_t outLength = static_cast<uint32_t>(room.size());
  EXPECT_EQ(0u, Inflate(streams[big].data(), &in, room.data(), &outLength, a, 0));
  Bytes untouched(InflateCarriedSize, 0xEE);
  EXPECT_EQ(0u, InflateSaveCarried(a, untouched.data()));
  EXPECT_EQ(Bytes(InflateCarriedSize, 0xEE), untouched);
  InflateEnd(a);
  InflateEnd(b);
  MemFree(a);
  MemFree(b);
}

}  // namespace
}  // namespace varnfile_test
