// Many threads at once for a few seconds: writers append tagged items to two
// shared handles (disk and memory) while readers move about in them, and
// owners write, close and read back files of their own under every method.
// Every result must be consistent, and under ThreadSanitizer (tsan.sh) no
// data race may show.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "reliability/reliability_util.h"

namespace varnfile_test {
namespace {

constexpr uint32_t Writers = 2, Readers = 2, Owners = 3;

// Items of the shared files: extraId names the writer, extraValue counts.
Item SharedItem(uint32_t writer, uint32_t n) {
  Item item = MakeItem(1000 + writer, n, 300);
  item.extraId = static_cast<uint16_t>(writer);
  return item;
}

bool IsSharedItem(const Item& i) { return i.extraId < Writers && i == SharedItem(i.extraId, i.extraValue); }

struct Shared {
  uint32_t handles[2] = {0, 0};
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> added[2][Writers] = {};
  std::atomic<int> failures{0};
  std::atomic<uint64_t> ownFiles{0};
  void Fail(const std::string& what) { if (failures++ < 10) ADD_FAILURE() << what; }
};

void Writer(Shared* shared, uint32_t writer) {
  uint32_t n[2] = {0, 0};
  for (uint32_t f = 0; !shared->stop; f ^= 1) {
    uint16_t rc = AddItem(shared->handles[f], SharedItem(writer, n[f]));
    if (rc != 0) return shared->Fail("shared add gave " + std::to_string(rc));
    shared->added[f][writer] = ++n[f];
  }
}

// Other threads move the same cursor, so only the items themselves can be
// checked: each must be a whole item of some writer.
void Reader(Shared* shared, uint32_t r) {
  while (!shared->stop) {
    r = Mix(r + 1);
    uint32_t h = shared->handles[r % 2], op = (r >> 4) % 4, end = 0;
    Item item;
    uint16_t rc = op == 0   ? VARNFileSetPosition(h, VARNFILE_FIRST_ITEM_POSITION)
                  : op == 1 ? VARNFileSeekToEnd(h, &end)
                  : op == 2 ? VARNFileSkipPrev(h)
                            : ReadOne(h, &item);
    if (rc == 0 && op == 3 && !IsSharedItem(item)) shared->Fail("read an item no writer added");
    if (rc != 0 && rc != VARNFILE_E_NO_PREVIOUS && rc != VARNFILE_E_END_OF_FILE)
      shared->Fail("shared read gave " + std::to_string(rc));
  }
}

// Files of its own, under every method: every item comes back exactly after
// a close. Now and then a copy of a shared file, which must hold whole items.
void Owner(Shared* shared, uint32_t owner) {
  std::string path = ScratchFile("owner_" + std::to_string(owner) + ".trn");
  for (uint32_t round = 0; !shared->stop; ++round, ++shared->ownFiles) {
    std::vector<Item> mine, copied;
    for (uint32_t n = 0; n < 40; ++n) mine.push_back(MakeItem(owner * 1000003u + round, n, 900));
    if (MakeFile(path, (owner + round) % 5, mine).size() != mine.size() || ReadFile(path) != mine)
      return shared->Fail("own file read back wrong, round " + std::to_string(round));
    uint32_t copy = 0;
    if (round % 8 == 1 &&
        (VARNFileCreateEx(&copy, 0, "MEMORY$", nullptr, nullptr, nullptr, 0) != 0 ||
         VARNFileDuplicate(copy, shared->handles[round % 2]) != 0 ||
         ReadAllForwards(copy, &copied) != VARNFILE_E_END_OF_FILE || VARNFileClose(copy) != 0 ||
         !std::all_of(copied.begin(), copied.end(), IsSharedItem)))
      shared->Fail("copy of a shared file");
  }
}

TEST(Concurrency, OwnAndSharedFilesStayConsistent) {
  Shared shared;
  std::string path = ScratchFile("shared.trn");
  ASSERT_EQ(0, VARNFileCreateEx(&shared.handles[0], 0, path.c_str(), nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetParameters(shared.handles[0], 8, 10000, 512, 0));
  ASSERT_EQ(0, VARNFileCreateEx(&shared.handles[1], 0, "MEMORY$", nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetCompression(shared.handles[1], VARNFILE_METHOD_PREDICTOR));
  std::vector<std::thread> threads;
  for (uint32_t w = 0; w < Writers; ++w) threads.emplace_back(Writer, &shared, w);
  for (uint32_t r = 0; r < Readers; ++r) threads.emplace_back(Reader, &shared, r * 7919u);
  for (uint32_t o = 0; o < Owners; ++o) threads.emplace_back(Owner, &shared, o);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  shared.stop = true;
  for (std::thread& t : threads) t.join();

  // Each shared file holds every writer's items, each writer's in order.
  std::vector<Item> files[2];
  ASSERT_EQ(0, VARNFileClose(shared.handles[0]));
  files[0] = ReadFile(path);
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(shared.handles[1], &files[1]));
  EXPECT_EQ(0, VARNFileClose(shared.handles[1]));
  for (int f = 0; f < 2; ++f) {
    uint32_t next[Writers] = {};
    for (const Item& item : files[f]) {
      ASSERT_TRUE(IsSharedItem(item));
      ASSERT_EQ(next[item.extraId]++, item.extraValue) << "writer " << item.extraId;
    }
    for (uint32_t w = 0; w < Writers; ++w) EXPECT_EQ(shared.added[f][w].load(), next[w]);
  }
  EXPECT_EQ(0, shared.failures.load());
  EXPECT_GT(shared.ownFiles.load(), 0u);
}

}  // namespace
}  // namespace varnfile_test
