// Decoder checkpoints only change the time a seek takes: a backward walk
// over the records of a chained file gives the same items and positions
// with checkpoints as with every seek replayed from the reset point, and
// the copies stay within their memory budget however long the file.
#include "store/decoder_checkpoints.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "api/item_model.h"  // FileOf
#include "base/memory.h"
#include "base/test_hooks.h"
#include "codec/codec_test_util.h"
#include "store/block_codec.h"
#include "store/codec_spares.h"
#include "store/record_io.h"
#include "store/store.h"
#include "varnfile.h"

namespace varnfile {
namespace {

// A record visited: its position, previous and next links and extra value,
// and its data.
using Visit = std::pair<std::vector<uint32_t>, Bytes>;

// Walks from the last record to the first by seeks, each record's previous
// link naming the next target; with dropEachTime every seventh seek starts
// with no copies and replays from the reset point.
std::vector<Visit> BackwardWalk(Store* store, bool dropEachTime) {
  std::vector<Visit> visits;
  const uint32_t budget = CheckpointBudget;
  Bytes buffer(65536);
  int32_t found = 0;
  uint32_t at = 0;
  EXPECT_EQ(0, ListRecords(store, ListBackward, store->endOfData, 1, &found, &at));
  while (found == 1 && at != 0 && !testing::Test::HasFailure()) {
    if (dropEachTime && visits.size() % 7 == 0) {
      DropDecoderCheckpoints(store);
      store->readCursor = store->endOfData;  // no decoder state to go on
    }
    RecordView view = {};
    view.data = buffer.data();
    EXPECT_EQ(0, SeekRecordRead(store, at));
    EXPECT_EQ(0, ReadRecord(store, &view));
    visits.push_back({{at, view.previousPosition, view.nextPosition, view.header.extraValue},
                      Bytes(buffer.begin(), buffer.begin() + view.header.length)});
    CheckpointStats stats;
    GetCheckpointStats(store, &stats);
    EXPECT_LE(stats.stateBytes + KeptBytes, budget);
    at = view.previousPosition;
  }
  return visits;
}

class CheckpointWalk : public testing::TestWithParam<uint16_t> {};

TEST_P(CheckpointWalk, BackwardWalkIsTheSameWithAndWithoutCheckpoints) {
  const uint16_t method = GetParam();
  // Text-like items with repeats across items (so chained items refer
  // back), some empty, some incompressible.
  std::mt19937 rng(11 + method);
  std::vector<Bytes> items;
  for (int i = 0; i < 2000; ++i) {
    uint32_t kind = rng() % 20, size = kind == 0 ? 0 : rng() % 600;
    items.push_back(Sample(kind == 1 ? RandomData : TextData, size, rng()));
  }
  uint32_t handle = 0;
  ASSERT_EQ(0, VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetCompression(handle, method));
  const bool chained =
      method == VARNFILE_METHOD_CHAINED_DEFLATE || method == VARNFILE_METHOD_CHAINED_PREDICTOR;
  Store* store = &varnfile_test::FileOf(handle)->store;
  Bytes buffer(65536);
  auto readItem = [&](size_t i) {  // the item at the cursor, which must be item i
    uint16_t c = 0, e = 0, length = 65535;
    uint32_t value = 0;
    ASSERT_EQ(0, VARNFileReadItem(handle, &c, &e, &value, &length, buffer.data())) << i;
    ASSERT_EQ(i, value);
    ASSERT_EQ(items[i], Bytes(buffer.begin(), buffer.begin() + length));
  };
  // Written and read forwards a part at a time, as a reader follows a file
  // that grows: the copies spread over what the file held at each read, the
  // spine fills, and the last parts make room in it. Then read backwards
  // through the item cache: the walk decodes each item about once, as the
  // replay that reaches an item keeps what the next steps back want.
  std::vector<uint32_t> positions(items.size());
  uint32_t cursor = VARNFILE_FIRST_ITEM_POSITION;
  for (size_t from = 0; from < items.size(); from += 250) {
    if (from == 1000 && chained) {
      // Refused for its stored size: the chain gets a reset point here.
      Bytes big = Sample(RandomData, 65535, 5);
      ASSERT_EQ(260, VARNFileAddItem(handle, 1, 0, 0, 65535, big.data()));
    }
    for (size_t i = from; i < from + 250; ++i) {
      ASSERT_EQ(0, VARNFileAddItem(handle, 1, 0, uint32_t(i), uint16_t(items[i].size()), items[i].data()));
    }
    ASSERT_EQ(0, VARNFileSetPosition(handle, cursor));
    for (size_t i = from; i < from + 250; ++i) {
      ASSERT_EQ(0, VARNFileGetPosition(handle, &positions[i]));
      ASSERT_NO_FATAL_FAILURE(readItem(i));
    }
    ASSERT_EQ(0, VARNFileGetPosition(handle, &cursor));
  }
  uint64_t decodedBefore = TestHookValue(TestCounter::ItemsDecoded);
  for (size_t i = items.size(); i-- > 0;) {
    ASSERT_EQ(0, VARNFileSkipPrev(handle));
    ASSERT_NO_FATAL_FAILURE(readItem(i));
    ASSERT_EQ(0, VARNFileSetPosition(handle, positions[i]));
  }
  EXPECT_LE(TestHookValue(TestCounter::ItemsDecoded) - decodedBefore, items.size() * 9 / 8);
  for (int k = 0; k < 300; ++k) {  // and at saved positions
    size_t i = rng() % items.size();
    ASSERT_EQ(0, VARNFileSetPosition(handle, positions[i]));
    ASSERT_NO_FATAL_FAILURE(readItem(i));
  }
  std::vector<Visit> with = BackwardWalk(store, false);
  ASSERT_EQ(items.size(), with.size());
  for (size_t k = 0; k < with.size(); ++k) {
    const std::vector<uint32_t>& links = with[k].first;
    ASSERT_EQ(items.size() - 1 - k, links[3]);
    ASSERT_EQ(items[links[3]], with[k].second);
    ASSERT_EQ(k == 0 ? store->endOfData : with[k - 1].first[0], links[2]);
  }
  CheckpointStats stats;
  GetCheckpointStats(store, &stats);
  if (!chained) {
    EXPECT_EQ(nullptr, store->checkpoints) << "unchained methods keep no copies";
  } else {
    // The spine filled, dropped copies to make room and stayed in budget.
    EXPECT_GT(stats.spineEvictions, 0u);
    EXPECT_LE(stats.spineCount, stats.spineCapacity);
    EXPECT_TRUE(with == BackwardWalk(store, true));  // seeks replayed
    BackwardWalk(store, false);
    ASSERT_NE(nullptr, store->checkpoints);
    SetCompressionMethod(store, VARNFILE_METHOD_CHAINED_DEFLATE + VARNFILE_METHOD_CHAINED_PREDICTOR - method);
    EXPECT_EQ(nullptr, store->checkpoints) << "a method change drops every copy";
    SetCompressionMethod(store, method);
  }
  ASSERT_EQ(0, VARNFileAbort(handle));
}

// Walked forwards once, a chained file of many short records gets copies
// spread over all of it: the spine fills up to its budget as the walk ends
// and none is taken only to be dropped again. A file walked after it takes
// the memory of its copies instead of allocating its own, and reads the
// same at saved positions.
TEST(CheckpointSpread, AFirstWalkSpreadsTheCopiesOverTheFile) {
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_CHAINED_PREDICTOR}) {
    SCOPED_TRACE(method);
    DropCodecSpares();
    uint64_t allocations[2] = {};
    for (uint32_t round = 0; round < 2; ++round) {
      uint32_t handle = 0;
      ASSERT_EQ(0, VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr, 0));
      ASSERT_EQ(0, VARNFileSetCompression(handle, method));
      std::vector<Bytes> lines;
      for (uint32_t i = 0; i < 20000; ++i) {
        lines.push_back(Sample(TextData, 60 + i % 20, i + round * 7));
        ASSERT_EQ(0, VARNFileAddItem(handle, 1, 0, i, uint16_t(lines[i].size()), lines[i].data()));
      }
      ASSERT_EQ(0, VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION));
      Bytes buffer(65536);
      std::vector<uint32_t> positions(lines.size());
      auto readItem = [&](uint32_t i) {
        uint16_t c = 0, e = 0, length = 65535;
        uint32_t value = 0;
        ASSERT_EQ(0, VARNFileReadItem(handle, &c, &e, &value, &length, buffer.data()));
        ASSERT_EQ(lines[i], Bytes(buffer.begin(), buffer.begin() + length)) << i;
      };
      MemSetFailure(0);
      for (uint32_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(0, VARNFileGetPosition(handle, &positions[i]));
        ASSERT_NO_FATAL_FAILURE(readItem(i));
      }
      allocations[round] = MemAllocCount();
      Store* store = &varnfile_test::FileOf(handle)->store;
      CheckpointStats stats;
      GetCheckpointStats(store, &stats);
      EXPECT_EQ(0u, stats.spineEvictions);
      EXPECT_GT(stats.stateBytes, CheckpointBudget / 2);
      EXPECT_GT(FindCheckpoint(store, store->endOfData, nullptr), positions[18000]);
      EXPECT_GE(allocations[0], stats.spineCount);
      for (uint32_t k = 0; k < 200; ++k) {
        const uint32_t i = (k * 7919) % lines.size();
        ASSERT_EQ(0, VARNFileSetPosition(handle, positions[i]));
        ASSERT_NO_FATAL_FAILURE(readItem(i));
      }
      ASSERT_EQ(0, VARNFileAbort(handle));
    }
    EXPECT_LT(allocations[1] * 4, allocations[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, CheckpointWalk, testing::Values(0, 1, 2, 3, 4));

}  // namespace
}  // namespace varnfile
