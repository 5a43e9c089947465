// Helpers shared by the reliability tests: a scratch folder on a fast file
// system, items whose content follows from their number, and a check that
// what a file holds agrees with what was attempted.
#ifndef VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
#define VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "varnfile.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARNFILE_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNFILE_TEST_LSAN 1
#endif
#endif
#ifdef VARNFILE_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace varnfile_reliability {

// Disk files are opened write-through, so the sweeps, which run their
// scenario thousands of times, keep their files on tmpfs when there is one.
// The folder is per process; paths inside it are unique per name.
inline std::string ScratchFolder() {
  static std::string folder = [] {
    std::string root;
    if (access("/dev/shm", W_OK) == 0) {
      root = "/dev/shm";
    } else {
      const char* base = std::getenv("VARNFILE_TEST_TMP");
      root = base != nullptr ? base : "/tmp";
      mkdir(root.c_str(), 0777);
    }
    std::string dir = root + "/varnfile_reliability_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0777);
    return dir;
  }();
  return folder;
}

inline std::string ScratchFile(const std::string& name) {
  std::string path = ScratchFolder() + "/" + name;
  unlink(path.c_str());
  return path;
}

// The item with number n of a run with the given seed. extraValue carries
// the number, so that an item read back names the item it must be.
struct Item {
  uint16_t commandId = 0;
  uint16_t extraId = 0;
  uint32_t extraValue = 0;
  std::string data;
};

inline uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Lengths from 0 to maxLength, mostly short; bytes mostly text so that the
// compressed methods find something to compress.
inline Item MakeItem(uint32_t seed, uint32_t n, uint32_t maxLength = 700) {
  Item item;
  uint32_t h = Mix(seed * 0x9E3779B9U + n);
  item.commandId = static_cast<uint16_t>(1 + h % 0xFE00);
  item.extraId = static_cast<uint16_t>(n);
  item.extraValue = n;
  uint32_t length = (h >> 8) % 8 == 0 ? 0 : Mix(h) % (maxLength + 1);
  if ((h >> 12) % 4 == 0) length %= 24;
  item.data.resize(length);
  bool text = (h >> 16) % 5 != 0;
  uint32_t r = h;
  for (uint32_t i = 0; i < length; ++i) {
    r = r * 1103515245U + 12345U;
    item.data[i] = static_cast<char>(text ? "the quick brown fox "[(r >> 16) % 20] : (r >> 16));
  }
  return item;
}

inline uint16_t AddItem(uint32_t handle, const Item& item) {
  return VARNFileAddItem(handle, item.commandId, item.extraId, item.extraValue,
                         static_cast<uint16_t>(item.data.size()),
                         item.data.empty() ? nullptr
                                           : reinterpret_cast<const uint8_t*>(item.data.data()));
}

inline bool SameItem(const Item& a, const Item& b) {
  return a.commandId == b.commandId && a.extraId == b.extraId && a.extraValue == b.extraValue &&
         a.data == b.data;
}

// Reads the item at the cursor (the cursor moves on). Returns the code.
inline uint16_t ReadOne(uint32_t handle, Item* item) {
  static thread_local std::vector<uint8_t> buffer(65536);
  uint16_t length = 65535;
  uint16_t rc = VARNFileReadItem(handle, &item->commandId, &item->extraId, &item->extraValue,
                                 &length, buffer.data());
  if (rc == 0) {
    item->data.assign(reinterpret_cast<const char*>(buffer.data()), length);
  }
  return rc;
}

// Every live item from the first to the end (bounded), and the code that
// ended the walk (262 at the end of the file).
inline uint16_t ReadAllForwards(uint32_t handle, std::vector<Item>* items, size_t bound = 100000) {
  items->clear();
  uint16_t rc = VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION);
  if (rc != 0) return rc;
  for (size_t i = 0; i < bound; ++i) {
    Item item;
    rc = ReadOne(handle, &item);
    if (rc != 0) return rc;
    items->push_back(item);
  }
  return 0;
}

// The same walk from the end backwards; the items come in file order.
inline uint16_t ReadAllBackwards(uint32_t handle, std::vector<Item>* items, size_t bound = 100000) {
  items->clear();
  uint32_t end = 0;
  uint16_t rc = VARNFileSeekToEnd(handle, &end);
  if (rc != 0) return rc;
  std::vector<Item> reversed;
  for (size_t i = 0; i < bound; ++i) {
    rc = VARNFileSkipPrev(handle);
    if (rc != 0) break;
    uint32_t at = 0;
    if ((rc = VARNFileGetPosition(handle, &at)) != 0) break;
    Item item;
    if ((rc = ReadOne(handle, &item)) != 0) break;
    reversed.push_back(item);
    if ((rc = VARNFileSetPosition(handle, at)) != 0) break;
  }
  items->assign(reversed.rbegin(), reversed.rend());
  return rc;
}

}  // namespace varnfile_reliability

#endif  // VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
