// Many threads at once, for a few seconds: some create, fill, read back and
// close files of their own (on disk and in memory, under every method)
// while others share two handles, appending tagged items, reading from
// them and copying them. Every result must be consistent, and under
// ThreadSanitizer (tests/reliability/tsan.sh) no data race may show.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "reliability_util.h"

namespace varnfile_reliability {
namespace {

constexpr uint32_t Writers = 2;
constexpr uint32_t Owners = 3;
constexpr uint32_t Readers = 2;
constexpr auto RunTime = std::chrono::milliseconds(2500);

// Items of the shared files: extraId names the writer, extraValue counts.
Item SharedItem(uint32_t writer, uint32_t n) {
  Item item = MakeItem(1000 + writer, n, 300);
  item.extraId = static_cast<uint16_t>(writer);
  item.extraValue = n;
  return item;
}

bool IsSharedItem(const Item& item) {
  return item.extraId < Writers && SameItem(item, SharedItem(item.extraId, item.extraValue));
}

struct Shared {
  uint32_t handles[2] = {0, 0};
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> added[2][Writers] = {};
  std::atomic<int> failures{0};
  std::atomic<uint64_t> ownFiles{0}, reads{0};
};

void Fail(Shared* shared, const std::string& what) {
  if (shared->failures++ < 10) ADD_FAILURE() << what;
}

void Writer(Shared* shared, uint32_t writer) {
  uint32_t n[2] = {0, 0};
  for (uint32_t i = 0; !shared->stop; ++i) {
    int f = i % 2;
    uint16_t rc = AddItem(shared->handles[f], SharedItem(writer, n[f]));
    if (rc != 0) {
      Fail(shared, "shared add gave " + std::to_string(rc));
      return;
    }
    shared->added[f][writer] = ++n[f];
  }
}

// Reads from the shared handles. Other threads move the same cursor, so
// only the items themselves can be checked: each must be a whole item of
// some writer.
void Reader(Shared* shared, uint32_t seed) {
  uint32_t r = seed;
  while (!shared->stop) {
    r = Mix(r + 1);
    uint32_t handle = shared->handles[r % 2];
    uint16_t rc = 0;
    switch ((r >> 4) % 5) {
      case 0:
        rc = VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION);
        break;
      case 1: {
        uint32_t end = 0;
        rc = VARNFileSeekToEnd(handle, &end);
        break;
      }
      case 2:
        rc = VARNFileSkipPrev(handle);
        if (rc == VARNFILE_E_NO_PREVIOUS) rc = 0;
        break;
      case 3: {
        uint16_t c, e, length;
        uint32_t v;
        rc = VARNFileReadCmdIDEx(handle, &c, &e, &v, &length);
        if (rc == 0 && (e >= Writers || length != SharedItem(e, v).data.size()))
          Fail(shared, "identifiers of no shared item");
        if (rc == VARNFILE_E_END_OF_FILE) rc = 0;
        break;
      }
      default: {
        Item item;
        rc = ReadOne(handle, &item);
        if (rc == 0 && !IsSharedItem(item)) Fail(shared, "read an item no writer added");
        if (rc == VARNFILE_E_END_OF_FILE) rc = 0;
        ++shared->reads;
        break;
      }
    }
    if (rc != 0) Fail(shared, "shared read gave " + std::to_string(rc));
  }
}

// Files of its own: every item must come back exactly, both ways, before
// and after a reopen; now and then it copies a shared file.
void Owner(Shared* shared, uint32_t owner) {
  for (uint32_t round = 0; !shared->stop; ++round) {
    bool memory = round % 3 == 2;
    uint16_t method = static_cast<uint16_t>((owner + round) % 5);
    std::string path = memory ? "MEMORY$"
                              : ScratchFile("owner_" + std::to_string(owner) + ".trn");
    uint32_t handle = 0;
    uint16_t rc = VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr,
                                   nullptr, 0);
    if (rc == 0) rc = VARNFileSetCompression(handle, method);
    if (rc == 0) rc = VARNFileSetParameters(handle, 4, 4000, 256, round % 2 ? 0 : 512);
    std::vector<Item> mine;
    uint32_t seed = owner * 1000003u + round;
    for (uint32_t n = 0; n < 40 && rc == 0; ++n) {
      mine.push_back(MakeItem(seed, n, 900));
      rc = AddItem(handle, mine.back());
    }
    if (rc != 0) {
      Fail(shared, "own file: " + std::to_string(rc));
      VARNFileAbort(handle);
      return;
    }
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<Item> forwards, backwards;
      uint16_t f = ReadAllForwards(handle, &forwards);
      uint16_t b = ReadAllBackwards(handle, &backwards);
      bool same = f == VARNFILE_E_END_OF_FILE && b == VARNFILE_E_NO_PREVIOUS &&
                  forwards.size() == mine.size() && backwards.size() == mine.size();
      for (size_t i = 0; same && i < mine.size(); ++i) {
        same = SameItem(forwards[i], mine[i]) && SameItem(backwards[i], mine[i]);
      }
      if (!same) Fail(shared, "own file read back wrong (method " + std::to_string(method) + ")");
      if (pass == 1 || memory) break;
      if (VARNFileClose(handle) != 0 || VARNFileOpenEx(&handle, 0, path.c_str(), 0) != 0) {
        Fail(shared, "own file: reopen");
        return;
      }
    }
    if (round % 4 == 1) {
      // A copy of a shared file: every record whole.
      uint32_t copy = 0;
      rc = VARNFileCreateEx(&copy, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr, 0);
      if (rc == 0) rc = VARNFileDuplicate(copy, shared->handles[round % 2]);
      std::vector<Item> items;
      if (rc == 0 && ReadAllForwards(copy, &items) != VARNFILE_E_END_OF_FILE) rc = 1;
      for (const Item& item : items) {
        if (!IsSharedItem(item)) rc = 1;
      }
      if (rc != 0) Fail(shared, "copy of a shared file: " + std::to_string(rc));
      VARNFileClose(copy);
    }
    if (VARNFileClose(handle) != 0) Fail(shared, "own file: close");
    if (!memory) VARNFileDelete(path.c_str(), 0);
    ++shared->ownFiles;
  }
}

TEST(Concurrency, OwnAndSharedFilesStayConsistent) {
  Shared shared;
  std::string diskPath = ScratchFile("shared.trn");
  ASSERT_EQ(0, VARNFileCreateEx(&shared.handles[0], VARNFILE_NAME_EXACT, diskPath.c_str(), nullptr,
                                nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileCreateEx(&shared.handles[1], VARNFILE_NAME_EXACT, "MEMORY$", nullptr,
                                nullptr, nullptr, 0));
  ASSERT_EQ(0, VARNFileSetCompression(shared.handles[1], VARNFILE_METHOD_PREDICTOR));
  ASSERT_EQ(0, VARNFileSetParameters(shared.handles[0], 8, 10000, 512, 0));

  std::vector<std::thread> threads;
  for (uint32_t w = 0; w < Writers; ++w) threads.emplace_back(Writer, &shared, w);
  for (uint32_t r = 0; r < Readers; ++r) threads.emplace_back(Reader, &shared, r * 7919u);
  for (uint32_t o = 0; o < Owners; ++o) threads.emplace_back(Owner, &shared, o);
  std::this_thread::sleep_for(RunTime);
  shared.stop = true;
  for (std::thread& t : threads) t.join();

  // Each shared file holds every writer's items, each writer's in order.
  uint64_t total = 0;
  for (int f = 0; f < 2; ++f) {
    if (f == 0) {
      ASSERT_EQ(0, VARNFileClose(shared.handles[0]));
      ASSERT_EQ(0, VARNFileOpenEx(&shared.handles[0], 0, diskPath.c_str(), 0));
    }
    std::vector<Item> items;
    EXPECT_EQ(VARNFILE_E_END_OF_FILE, ReadAllForwards(shared.handles[f], &items));
    uint32_t next[Writers] = {};
    for (const Item& item : items) {
      ASSERT_TRUE(IsSharedItem(item));
      ASSERT_EQ(next[item.extraId], item.extraValue) << "writer " << item.extraId;
      ++next[item.extraId];
    }
    for (uint32_t w = 0; w < Writers; ++w) EXPECT_EQ(shared.added[f][w].load(), next[w]);
    total += items.size();
    EXPECT_EQ(0, VARNFileClose(shared.handles[f]));
  }
  VARNFileDelete(diskPath.c_str(), 0);
  std::printf("concurrency: %llu shared items, %llu shared reads, %llu own files\n",
              static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(shared.reads.load()),
              static_cast<unsigned long long>(shared.ownFiles.load()));
  EXPECT_EQ(0, shared.failures.load());
  EXPECT_GT(shared.ownFiles.load(), 0u);
}

}  // namespace
}  // namespace varnfile_reliability
