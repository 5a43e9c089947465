// The item cache seen from the API: how many records it reads for each
// move (through its read counter), what it keeps, and how it fails. (That
// changes reach the disk on eviction and at close: the model test's disk
// bytes.)
#include "item_test_util.h"
#include "base/memory.h"
#include "base/test_hooks.h"
#include "platform/file.h"
#include "store/buffered_io.h"
#include "store/item_cache.h"

namespace varnfile_test {
namespace {

// Items "item NN" of 7 bytes: 29 bytes per record under MethodNone.
uint32_t At(int index) { return First + 29 * static_cast<uint32_t>(index); }
std::string ItemText(int i) { return "item " + std::to_string(i / 10) + std::to_string(i % 10); }

class CacheTest : public ::testing::Test {
 protected:
  // A closed disk file of `count` items, opened again with an empty cache.
  void MakeFile(int count) {
    path_ = ScratchFile("cache.trn");
    uint32_t h = CreateFileWith(path_);
    for (int i = 0; i < count; ++i) ASSERT_EQ(0, AddText(h, static_cast<uint16_t>(i), ItemText(i)));
    ASSERT_EQ(0, VARNFileClose(h));
    ASSERT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0));
  }
  void TearDown() override {
    if (handle_ != 0) VARNFileClose(handle_);
    if (!path_.empty()) VARNFileDelete(path_.c_str(), 0);
  }
  // The cache reads while running f.
  template <typename F>
  uint64_t ReadsDuring(F f) {
    uint64_t before = varnfile::TestHookValue(varnfile::TestCounter::CacheRecordReads);
    f();
    return varnfile::TestHookValue(varnfile::TestCounter::CacheRecordReads) - before;
  }
  bool Cached(int i) { return varnfile::FindCachedItem(FileOf(handle_), At(i)) != nullptr; }

  std::string path_;
  uint32_t handle_ = 0;
};

TEST_F(CacheTest, SteppingBackFromTheLastOf100ReadsAWindowOf9) {
  MakeFile(100);
  ASSERT_EQ(0, VARNFileSeekToEnd(handle_, nullptr));
  // The first step back only needs the last item; nothing lies behind it.
  EXPECT_EQ(1u, ReadsDuring([&] { ASSERT_EQ(0, VARNFileSkipPrev(handle_)); }));
  EXPECT_EQ(At(99), Position(handle_));
  // Moving back from it reads items 91 to 99 in one pass...
  EXPECT_EQ(9u, ReadsDuring([&] { ASSERT_EQ(0, VARNFileSkipPrev(handle_)); }));
  EXPECT_EQ(At(98), Position(handle_));
  for (int i = 90; i <= 98; ++i) EXPECT_TRUE(Cached(i)) << i;
  EXPECT_FALSE(Cached(89));
  // ...so the next eight steps back hit the cache.
  EXPECT_EQ(0u, ReadsDuring([&] { for (int i = 0; i < 8; ++i) ASSERT_EQ(0, VARNFileSkipPrev(handle_)); }));
  EXPECT_EQ(At(90), Position(handle_));
  EXPECT_EQ(9u, ReadsDuring([&] { ASSERT_EQ(0, VARNFileSkipPrev(handle_)); }));
  // Far back, the window again; forwards from there one read per item.
  ASSERT_EQ(0, VARNFileSetPosition(handle_, At(40)));
  EXPECT_EQ(9u, ReadsDuring([&] { ASSERT_EQ(0, ReadNext(handle_).rc); }));
  EXPECT_EQ(3u, ReadsDuring([&] { for (int i = 0; i < 3; ++i) ASSERT_EQ(0, ReadNext(handle_).rc); }));
  EXPECT_TRUE(Cached(32));
  EXPECT_FALSE(Cached(31));
}

// Under the methods whose records stand alone (on disk: a memory file lends
// uncompressed records in place), a step back from items whose bytes pass
// the cache's byte limit two at a time reads only the item it lands on: the records before it in its window would be
// evicted again before the window ends. Items of mixed sizes keep the part
// of the window that fits. A changed item waiting to be written back makes
// its windows read every record, as they always did; what they leave cached
// must be what the shorter reads leave, at every step, and the change
// reaches the file.
TEST(CacheLargeItems, AWalkBackDecodesOnlyTheItemsThatStay) {
  for (uint16_t method : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_PREDICTOR, VARNFILE_METHOD_DEFLATE}) {
    SCOPED_TRACE(method);
    const std::string path = ScratchFile("large.trn");
    std::vector<std::string> items;
    uint32_t h = CreateFileWith(path, method);
    for (uint32_t i = 0; i < 40; ++i) {
      // 40,000 bytes, or 40,000, 8,000, 8,000, 8,000 and so on from item 20.
      std::string text;
      const size_t size = i < 20 || i % 4 == 0 ? 40000 : 8000;
      for (uint32_t n = 0; text.size() < size; ++n) text += std::to_string(i * 7919 + n * n) + ",";
      items.push_back(text.substr(0, size));
      ASSERT_EQ(0, AddText(h, 1, items.back()));
    }
    ASSERT_EQ(0, VARNFileClose(h));
    auto cached = [](uint32_t handle, uint32_t position) {
      return varnfile::FindCachedItem(FileOf(handle), position) != nullptr;
    };
    // The positions cached after each step back, by run.
    std::vector<std::vector<uint32_t>> kept[2];
    for (bool changed : {false, true}) {
      ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
      ASSERT_EQ(0, VARNFileSetParameters(h, 16, 65536, 65536, 65536));
      uint64_t before = varnfile::TestHookValue(varnfile::TestCounter::CacheRecordReads);
      std::vector<uint32_t> at(items.size());
      ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
      for (uint32_t i = static_cast<uint32_t>(items.size()); i-- > 0;) {
        ASSERT_EQ(0, VARNFileSkipPrev(h)) << i;
        at[i] = Position(h);
        ReadResult r = ReadNext(h);
        ASSERT_EQ(0, r.rc) << i;
        EXPECT_EQ(items[i], r.data) << i;
        ASSERT_EQ(0, VARNFileSetPosition(h, at[i]));
        if (changed && i == 30) {
          ASSERT_EQ(0, VARNFileUpdateItem(h, 2, 0, 0, 0, nullptr));
          ASSERT_EQ(0, VARNFileSetPosition(h, at[i]));
        }
        std::vector<uint32_t> positions;
        for (auto* item = FileOf(h)->mruItem; item != nullptr; item = item->older) {
          positions.push_back(item->position);
        }
        std::sort(positions.begin(), positions.end());
        kept[changed].push_back(positions);
        if (i < 19) {  // 40,000-byte items: each alone in the cache
          EXPECT_TRUE(cached(h, at[i])) << i;
          EXPECT_FALSE(cached(h, at[i + 1])) << i;
          EXPECT_FALSE(i > 0 && cached(h, at[i - 1])) << i;
        }
      }
      const uint64_t reads = varnfile::TestHookValue(varnfile::TestCounter::CacheRecordReads) - before;
      // 20 large items once each; from item 20 on, the 8,000-byte items
      // come along with the large one after them.
      // One read per item; with the change cached, its windows read all
      // their records, and five of them only to evict them again.
      EXPECT_EQ(items.size() + (changed ? 5 : 0), reads);
      ASSERT_EQ(0, VARNFileClose(h));
    }
    // Both runs leave the same items cached at every step.
    EXPECT_EQ(kept[0], kept[1]);
    ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
    ASSERT_EQ(0, VARNFileSetPosition(h, First));
    for (uint32_t i = 0; i < items.size(); ++i) {
      ReadResult r = ReadNext(h);
      EXPECT_EQ(items[i], r.data) << i;
      EXPECT_EQ(i == 30 ? 2 : 1, r.commandId) << i;
    }
    ASSERT_EQ(0, VARNFileClose(h));
    VARNFileDelete(path.c_str(), 0);
  }
}

// A changed item that cannot be written back stays cached with its change,
// and the read that needed the room reports the write failure.
TEST_F(CacheTest, FailedWriteBackKeepsTheChangedItem) {
  MakeFile(3);
  ASSERT_EQ(0, VARNFileClose(handle_));
  ASSERT_EQ(0, VARNFileOpenEx(&handle_, VARNFILE_ACCESS_READ, path_.c_str(), 0));
  ASSERT_EQ(0, VARNFileSetParameters(handle_, 1, 65536, 1024, 0));
  ASSERT_EQ(0, VARNFileUpdateItem(handle_, 'Q', 0, 0, 0, nullptr));
  ASSERT_EQ(0, VARNFileSetPosition(handle_, At(1)));
  uint16_t rc = 0;
  CurrentCommand(handle_, &rc);
  EXPECT_EQ(VARNFILE_E_WRITE, rc);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, At(0)));
  EXPECT_EQ('Q', CurrentCommand(handle_));
  EXPECT_EQ(VARNFILE_E_WRITE, VARNFileClose(handle_));
  ASSERT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0));
  EXPECT_EQ(0, CurrentCommand(handle_));  // the file is as it was
}

// In a compressed file a delete rewrites the item's header alone. Headers
// written back one after another still reach the disk a buffer at a time
// (the unchanged bytes between them go along), not one synchronous write
// each, and every byte but the command ids stays as it was.
TEST_F(CacheTest, DeletesInACompressedFileShareWrites) {
  for (uint16_t method = 1; method <= 4; ++method) {
    SCOPED_TRACE(method);
    path_ = ScratchFile("deletes.trn");
    uint32_t h = CreateFileWith(path_, method);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(0, AddText(h, 7, ItemText(i) + " of the batch"));
    ASSERT_EQ(0, VARNFileClose(h));
    const std::string before = Slurp(path_);
    ASSERT_EQ(0, VARNFileOpen(&h, path_.c_str(), 0));
    ASSERT_EQ(0, VARNFileSetParameters(h, 1, 65536, 1024, 1024));
    const uint64_t writes = varnfile::FileCallCount(varnfile::FileCallWrite);
    std::vector<uint32_t> headers;
    for (uint16_t rc = 0; rc == 0 && CurrentCommand(h) == 7; rc = VARNFileSkipNext(h)) {
      headers.push_back(Position(h));
      ASSERT_EQ(0, VARNFileDeleteItem(h));
    }
    ASSERT_EQ(0, VARNFileClose(h));
    EXPECT_EQ(headers.size(), 200u);
    EXPECT_LT(varnfile::FileCallCount(varnfile::FileCallWrite) - writes, 20u);
    std::string after = Slurp(path_);
    ASSERT_EQ(after.size(), before.size());
    for (uint32_t at : headers) after.replace(at, 2, before, at, 2);
    EXPECT_TRUE(after.compare(First, std::string::npos, before, First, std::string::npos) == 0);
    VARNFileDelete(path_.c_str(), 0);
  }
  path_.clear();
}

// A memory file's record is read in place, not copied; replacing the item's
// data changes the file's bytes only when the item is written back.
TEST_F(CacheTest, AMemoryFileChangesOnlyAtWriteBack) {
  handle_ = CreateFileWith("MEMORY$");
  const uint32_t at = First + 14;  // item 0's data; 2,000 bytes bypass the write buffer
  ASSERT_EQ(0, VARNFileSetParameters(handle_, 1, 65536, 1024, 1024));
  for (char c : {'a', 'b', 'c'}) ASSERT_EQ(0, AddText(handle_, 1, std::string(2000, c)));
  std::string bytes(2000, '?'), z(2000, 'z');
  auto stored = [&] {
    auto* dst = reinterpret_cast<uint8_t*>(&bytes[0]);
    EXPECT_EQ(0, varnfile::BufferedRead(&FileOf(handle_)->store, dst, at, 2000, 1));
    return bytes;
  };
  EXPECT_EQ(std::string(2000, 'a'), ReadNext(handle_).data);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  ASSERT_EQ(0, VARNFileUpdateItem(handle_, 1, 0, 0, 2000, reinterpret_cast<uint8_t*>(&z[0])));
  EXPECT_EQ(std::string(2000, 'a'), stored());
  EXPECT_EQ(z, ReadNext(handle_).data);
  EXPECT_EQ(std::string(2000, 'b'), ReadNext(handle_).data);  // evicts item 0
  EXPECT_EQ(z, stored());
}

TEST_F(CacheTest, AWindowWhoseTrailersDisagreeWithTheLengthsReadsEachRecordWhereItLies) {
  // Items 1 and 2 deleted; the trailer behind item 3 names item 0 as its
  // record. A window back from item 4 lists item 0 right before item 3,
  // but reading on from item 0 reaches item 1, not item 3.
  MakeFile(5);
  for (int i : {1, 2}) {
    ASSERT_EQ(0, VARNFileSetPosition(handle_, At(i)));
    ASSERT_EQ(0, VARNFileDeleteItem(handle_));
  }
  ASSERT_EQ(0, VARNFileClose(handle_));
  handle_ = 0;
  std::string bytes = Slurp(path_);
  bytes.replace(At(3) - 8, 4, std::string{char(First & 0xFF), char(First >> 8), 0, 0});
  Spit(path_, bytes);
  ASSERT_EQ(0, VARNFileOpen(&handle_, path_.c_str(), 0));

  ASSERT_EQ(0, VARNFileSeekToEnd(handle_, nullptr));
  ASSERT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(At(4), Position(handle_));
  // Item 3 is read where the trailers put it, not from the end of item 0,
  // and the walk back follows the trailers to item 0 and ends.
  ASSERT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(At(3), Position(handle_));
  EXPECT_EQ(ItemText(3), ReadNext(handle_).data);
  ASSERT_EQ(0, VARNFileSetPosition(handle_, At(3)));
  ASSERT_EQ(0, VARNFileSkipPrev(handle_));
  EXPECT_EQ(At(0), Position(handle_));
  EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(handle_));
  // Every walk forwards from the start ends.
  ASSERT_EQ(0, VARNFileSetPosition(handle_, First));
  uint16_t rc = 0;
  for (int step = 0; step < 10 && rc == 0; ++step) rc = VARNFileSkipNext(handle_);
  EXPECT_NE(0, rc);
}

// A closed file of thirty items under `method` ("item N of thirty"), one
// session; the positions of its records.
std::vector<uint32_t> MakeThirty(const std::string& path, uint16_t method) {
  uint32_t h = CreateFileWith(path, method);
  std::vector<uint32_t> at;
  for (int i = 0; i < 30; ++i) {
    at.push_back(EndOfData(h));
    EXPECT_EQ(0, AddText(h, 1, ItemText(i) + " of thirty"));
  }
  EXPECT_EQ(0, VARNFileClose(h));
  return at;
}

// A record whose header no longer fits its bytes: its length one more, or
// its stored length one less, one more or past the end of the file. The
// damaged item fails (277) or reads with its CRC failing (267). The items
// before it read in any order, and a walk back from the last of them
// reaches the first, although the windows of those steps read ahead into
// the damage. Without a chain every other item reads too, and a walk back
// from the end stops only where the damaged item cannot be read at all;
// under a chain the items after it go with it (their decoder runs through
// it). (Damage to the last record keeps the file from opening at all.)
TEST(CacheDamage, ADamagedRecordFailsOnlyItsOwnReads) {
  const std::string path = ScratchFile("damaged.trn");
  for (uint16_t method = 0; method <= VARNFILE_METHOD_DEFLATE; ++method) {
    const bool chained = method == VARNFILE_METHOD_CHAINED_DEFLATE || method == VARNFILE_METHOD_CHAINED_PREDICTOR;
    const std::vector<uint32_t> at = MakeThirty(path, method);
    const std::string good = Slurp(path);
    auto u16 = [&](size_t i) { return uint32_t(uint8_t(good[i]) | uint8_t(good[i + 1]) << 8); };
    uint32_t h = 0;
    for (int damaged : {0, 1, 6, 20, 28}) {
      const uint32_t length = u16(at[damaged] + 8), stored = u16(at[damaged] + 10);
      const std::pair<int, uint32_t> changes[] = {{8, length + 1}, {10, stored - 1}, {10, stored + 1}, {10, 60000}};
      for (const auto& [field, value] : changes) {
        SCOPED_TRACE("method " + std::to_string(method) + ", item " + std::to_string(damaged) +
                     ", field " + std::to_string(field) + " = " + std::to_string(value));
        std::string bytes = good;
        bytes[at[damaged] + field] = static_cast<char>(value);
        bytes[at[damaged] + field + 1] = static_cast<char>(value >> 8);
        Spit(path, bytes);
        ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0));
        uint16_t damagedRc = 0;
        for (int i = chained ? damaged : 29; i >= 0; --i) {
          ASSERT_EQ(0, VARNFileSetPosition(h, at[i]));
          ReadResult got = ReadNext(h);
          if (i == damaged) {
            damagedRc = got.rc;
            continue;
          }
          EXPECT_EQ(0, got.rc) << i;
          EXPECT_EQ(ItemText(i) + " of thirty", got.data) << i;
        }
        // A stored length one short may still hold the whole stream.
        ASSERT_TRUE(damagedRc == 0 || damagedRc == VARNFILE_E_READ || damagedRc == VARNFILE_E_CRC)
            << damagedRc;
        if (!chained) {
          ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
          int reached = 30;
          while (reached > 0 && VARNFileSkipPrev(h) == 0) --reached;
          EXPECT_EQ(damagedRc == VARNFILE_E_READ ? damaged + 1 : 0, reached);
        }
        ASSERT_EQ(0, VARNFileClose(h));
        if (damaged == 0) continue;
        ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0));
        ASSERT_EQ(0, VARNFileSetPosition(h, at[damaged - 1]));
        for (int i = damaged - 2; i >= 0; --i) {
          ASSERT_EQ(0, VARNFileSkipPrev(h)) << i;
          EXPECT_EQ(at[i], Position(h));
        }
        EXPECT_EQ(VARNFILE_E_NO_PREVIOUS, VARNFileSkipPrev(h));
        ASSERT_EQ(0, VARNFileClose(h));
      }
    }
  }
}

// A trailer link behind record `damaged` that cannot be followed, under
// every method, in a file of one chain and of three: out of range, 0, into
// the file header, forwards to the record it ends, to itself, too close
// before itself to start a record, or into the record before (a link that
// still looks like one). Forwards every item reads; backwards each item
// down to the damaged link reads, although the windows back from them list
// records across the damage, then the step back past it fails.
TEST(CacheDamage, ADamagedTrailerStopsOnlyTheStepPastIt) {
  const std::string path = ScratchFile("trailer.trn");
  for (int sessions : {1, 3}) {
    for (uint16_t method = 0; method <= VARNFILE_METHOD_DEFLATE; ++method) {
      std::vector<uint32_t> at = MakeThirty(path, method);
      if (sessions == 3) {
        // The same items in three sessions of ten: the chains reset at items
        // 10 and 20, on either side of some of the damage below.
        uint32_t h = CreateFileWith(path, method);
        for (int i = 0; i < 30; ++i) {
          if (i == 10 || i == 20) {
            ASSERT_EQ(0, VARNFileClose(h));
            ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ_WRITE, path.c_str(), 0));
          }
          at[i] = EndOfData(h);
          ASSERT_EQ(0, AddText(h, 1, ItemText(i) + " of thirty"));
        }
        ASSERT_EQ(0, VARNFileClose(h));
      }
      const std::string good = Slurp(path);
      for (int damaged : {1, 12, 20, 27}) {
        const uint32_t trailer = at[damaged] - 8;
        const uint32_t plausible = at[damaged - 1] + 3;
        for (uint32_t link : {0xFFFFFFFFu, 0u, 100u, at[damaged], trailer, trailer - 13, plausible}) {
          SCOPED_TRACE("method " + std::to_string(method) + ", " + std::to_string(sessions) +
                       " session(s), item " + std::to_string(damaged) + ", link " + std::to_string(link));
          std::string bytes = good;
          for (int b = 0; b < 4; ++b) bytes[trailer + b] = static_cast<char>(link >> (8 * b));
          Spit(path, bytes);
          uint32_t h = 0;
          ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
          ASSERT_EQ(0, VARNFileSetPosition(h, at[0]));
          for (int i = 0; i < 30; ++i) ASSERT_EQ(ItemText(i) + " of thirty", ReadNext(h).data) << i;
          EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadNext(h).rc);
          ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
          for (int i = 29; i >= damaged; --i) {
            ASSERT_EQ(0, VARNFileSkipPrev(h)) << i;
            ASSERT_EQ(at[i], Position(h));
            ASSERT_EQ(ItemText(i) + " of thirty", ReadNext(h).data) << i;
            ASSERT_EQ(0, VARNFileSetPosition(h, at[i]));
          }
          // The step lands where a link that looks like one points, and fails
          // reading there; any other link is not followed.
          EXPECT_EQ(VARNFILE_E_READ, VARNFileSkipPrev(h));
          EXPECT_EQ(link == plausible ? link : at[damaged], Position(h));
          ASSERT_EQ(0, VARNFileClose(h));
        }
      }
    }
  }
  VARNFileDelete(path.c_str(), 0);
}

// A stretch of zeros (a sparse extension, or a power cut that kept the
// file's size but not its bytes) between the items and one whole record
// behind it. Zeros read as empty records whose trailers lead nowhere: under
// a chain the record behind them cannot be decoded, and the seek to it
// fails after the first of them instead of replaying them all. Without a
// chain the record reads.
TEST(CacheDamage, AStretchOfZerosIsNotReplayedAsRecords) {
  const std::string path = ScratchFile("zeros.trn");
  for (uint16_t method : {VARNFILE_METHOD_NONE, VARNFILE_METHOD_CHAINED_DEFLATE,
                          VARNFILE_METHOD_CHAINED_PREDICTOR}) {
    SCOPED_TRACE(method);
    const std::vector<uint32_t> at = MakeThirty(path, method);
    std::string bytes = Slurp(path);
    std::string last = bytes.substr(at[29]);
    const uint32_t behind = static_cast<uint32_t>(bytes.size()) + (1u << 20);
    for (int b = 0; b < 4; ++b) last[last.size() - 8 + b] = static_cast<char>(behind >> (8 * b));
    bytes.resize(behind, '\0');
    Spit(path, bytes + last);
    uint32_t h = 0;
    ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
    ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
    const uint64_t before = varnfile::TestHookValue(varnfile::TestCounter::RecordsReplayed);
    EXPECT_EQ(method == VARNFILE_METHOD_NONE ? 0 : VARNFILE_E_READ, VARNFileSkipPrev(h));
    EXPECT_EQ(behind, Position(h));
    if (method == VARNFILE_METHOD_NONE) {
      EXPECT_EQ(ItemText(29) + " of thirty", ReadNext(h).data);
    }
    EXPECT_LT(varnfile::TestHookValue(varnfile::TestCounter::RecordsReplayed) - before, 100u);
    ASSERT_EQ(0, VARNFileClose(h));
  }
  VARNFileDelete(path.c_str(), 0);
}

// A read at a position inside a record fails, and the failure leaves
// nothing behind: reading at the end of data then gives 262 at once. The
// file was closed, so its last record is a reset point.
TEST(CacheChained, AFailedReadInsideARecordLeavesTheNextReadsIntact) {
  std::string path = ScratchFile("chained.trn");
  uint32_t h = CreateFileWith(path, VARNFILE_METHOD_CHAINED_DEFLATE);
  std::vector<uint32_t> at;
  for (int i = 0; i < 4; ++i) {
    at.push_back(EndOfData(h));
    ASSERT_EQ(0, AddText(h, 1, "chained " + std::string(static_cast<size_t>(3 + 5 * i), 'x')));
  }
  uint32_t end = EndOfData(h);
  ASSERT_EQ(0, VARNFileClose(h));
  auto readAt = [&](uint32_t p) {
    EXPECT_EQ(0, VARNFileSetPosition(h, p));
    return ReadNext(h).rc;
  };
  for (uint32_t inside = at[0] + 1; inside < at[1]; ++inside) {
    ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
    for (int i = 3; i >= 0; --i) EXPECT_EQ(0, readAt(at[i])) << inside;
    EXPECT_EQ(VARNFILE_E_READ, readAt(inside)) << inside;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0, readAt(at[i])) << inside;
    EXPECT_EQ(VARNFILE_E_END_OF_FILE, readAt(end)) << inside;
    ASSERT_EQ(0, VARNFileClose(h));
  }
  VARNFileDelete(path.c_str(), 0);
}

// A file appended to over two opens: its first stretch ends in a reset
// point, so a read at a saved position in the second decodes only that
// stretch up to the item, whatever the method. Also when the first
// session was killed before its close could mark that point: the second
// marks it before its own first append. (The second session's items start
// with a byte that a fresh predictor guesses and the first session's
// history does not.)
TEST(CacheChained, AReadAfterAResetPointDecodesFromIt) {
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_CHAINED_PREDICTOR}) {
    for (bool killed : {false, true}) {
      SCOPED_TRACE(std::to_string(method) + (killed ? " killed" : ""));
      std::string path = ScratchFile("sessions.trn");
      uint32_t h = CreateFileWith(path, method);
      std::vector<uint32_t> at;
      auto text = [](int i) {
        return std::string(i >= 40 ? " " : "") + "session " + ItemText(i) + std::string(50, 'x');
      };
      auto add = [&](int i) {
        at.push_back(EndOfData(h));
        ASSERT_EQ(0, AddText(h, 1, text(i)));
      };
      for (int i = 0; i < 40; ++i) add(i);
      ASSERT_EQ(0, VARNFileClose(h));
      if (killed) {
        std::string bytes = Slurp(path);
        bytes[bytes.size() - 4] &= ~1;
        Spit(path, bytes);
      }
      ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ_WRITE, path.c_str(), 0));
      for (int i = 40; i < 45; ++i) add(i);
      ASSERT_EQ(0, VARNFileClose(h));
      ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
      uint64_t before = varnfile::TestHookValue(varnfile::TestCounter::ItemsDecoded);
      ASSERT_EQ(0, VARNFileSetPosition(h, at[43]));
      ReadResult r = ReadNext(h);
      EXPECT_EQ(0, r.rc);
      EXPECT_EQ(text(43), r.data);
      EXPECT_EQ(4u, varnfile::TestHookValue(varnfile::TestCounter::ItemsDecoded) - before);
      ASSERT_EQ(0, VARNFileClose(h));
      VARNFileDelete(path.c_str(), 0);
    }
  }
}

// A file written one item per session (each append opened and closed the
// file, as the tool's add does) is a row of one-record chains. Walking it
// backwards with large buffers, each step reads about one record: a window
// lists only the records before its target that the replay to the target
// passed, and here it passes none, where listing all 127 read a buffer's
// worth of bytes for every trailer, at every step.
TEST(CacheChained, AWalkBackOverOneItemSessionsReadsLittleMoreThanTheItems) {
  for (uint16_t method : {VARNFILE_METHOD_CHAINED_DEFLATE, VARNFILE_METHOD_CHAINED_PREDICTOR}) {
    SCOPED_TRACE(method);
    const std::string path = ScratchFile("sessions.trn");
    std::vector<std::string> items;
    uint32_t h = CreateFileWith(path, method);
    ASSERT_EQ(0, VARNFileClose(h));
    for (uint32_t i = 0; i < 60; ++i) {
      std::string text;
      for (uint32_t n = 0; text.size() < 6000; ++n) text += std::to_string(i * 7919 + n * n * n) + ";";
      items.push_back(text);
      ASSERT_EQ(0, VARNFileOpen(&h, path.c_str(), 0));
      ASSERT_EQ(0, AddText(h, 1, text));
      ASSERT_EQ(0, VARNFileClose(h));
    }
    ASSERT_EQ(0, VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0));
    ASSERT_EQ(0, VARNFileSetParameters(h, 256, 16u << 20, 64u << 10, 64u << 10));
    ASSERT_EQ(0, VARNFileSeekToEnd(h, nullptr));
    const uint64_t reads = varnfile::FileCallCount(varnfile::FileCallRead);
    const uint64_t decoded = varnfile::TestHookValue(varnfile::TestCounter::ItemsDecoded);
    for (uint32_t i = static_cast<uint32_t>(items.size()); i-- > 0;) {
      ASSERT_EQ(0, VARNFileSkipPrev(h)) << i;
      const uint32_t at = Position(h);
      ReadResult r = ReadNext(h);
      ASSERT_EQ(0, r.rc) << i;
      EXPECT_EQ(items[i], r.data) << i;
      ASSERT_EQ(0, VARNFileSetPosition(h, at));
    }
    EXPECT_EQ(items.size(), varnfile::TestHookValue(varnfile::TestCounter::ItemsDecoded) - decoded);
    EXPECT_LE(varnfile::FileCallCount(varnfile::FileCallRead) - reads, 3 * items.size());
    ASSERT_EQ(0, VARNFileClose(h));
    VARNFileDelete(path.c_str(), 0);
  }
}

}  // namespace
}  // namespace varnfile_test
