// Helpers shared by the reliability and tool tests: scratch files, items
// whose content follows from their number, and whole-file writes and walks
// through the C API.
#ifndef VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
#define VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/scratch_dir.h"
#include "os_util.h"
#include "varnfile.h"

#ifndef VARNFILE_TOOL_PATH
#define VARNFILE_TOOL_PATH ""  // the tool is not built
#endif

namespace varnfile_test {

// Disk files are opened write-through, so scratch files live on tmpfs when
// there is one, in a folder of this process.
inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("VARNFILE_TEST_TMP");
    std::string root = PathExists("/dev/shm") ? "/dev/shm" : base ? base : "/tmp";
    MakeDirectory(root);
    std::string dir = root + "/varnfile_test_" + std::to_string(ProcessId());
    MakeDirectory(dir);
    return dir;
  }();
  return folder;
}

// A path in the scratch folder, with no file there.
inline std::string ScratchFile(const std::string& name) {
  std::string path = ScratchFolder() + "/" + name;
  std::remove(path.c_str());
  return path;
}

struct Item {
  uint16_t commandId = 0, extraId = 0;
  uint32_t extraValue = 0;
  std::string data;
  bool operator==(const Item& o) const {
    return commandId == o.commandId && extraId == o.extraId && extraValue == o.extraValue &&
           data == o.data;
  }
};

inline uint32_t Mix(uint32_t x) {
  x = (x ^ (x >> 16)) * 0x7feb352dU;
  x = (x ^ (x >> 15)) * 0x846ca68bU;
  return x ^ (x >> 16);
}

// Item n of a run: extraValue carries n, so an item read back names the item
// it must be. Lengths 0..maxLength, mostly short; bytes mostly text, so that
// the compressed methods find something to compress.
inline Item MakeItem(uint32_t seed, uint32_t n, uint32_t maxLength = 700) {
  uint32_t h = Mix(seed * 0x9E3779B9U + n);
  Item item{static_cast<uint16_t>(1 + h % 0xFE00), static_cast<uint16_t>(n), n, ""};
  uint32_t length = (h >> 8) % 8 == 0 ? 0 : Mix(h) % (maxLength + 1);
  if ((h >> 12) % 4 == 0) length %= 24;
  bool text = (h >> 16) % 5 != 0;
  for (uint32_t i = 0, r = h; i < length; ++i) {
    r = r * 1103515245U + 12345U;
    item.data += static_cast<char>(text ? "the quick brown fox "[(r >> 16) % 20] : (r >> 16));
  }
  return item;
}

inline uint16_t AddItem(uint32_t handle, const Item& item) {
  return VARNFileAddItem(handle, item.commandId, item.extraId, item.extraValue,
                         static_cast<uint16_t>(item.data.size()),
                         reinterpret_cast<const uint8_t*>(item.data.data()));
}

// Reads the item at the cursor (the cursor moves on); its data also when
// the item fails its CRC check (267).
inline uint16_t ReadOne(uint32_t handle, Item* item) {
  static thread_local std::vector<uint8_t> buffer(65536);
  uint16_t length = 65535;
  uint16_t rc = VARNFileReadItem(handle, &item->commandId, &item->extraId, &item->extraValue,
                                 &length, buffer.data());
  if (rc == 0 || rc == VARNFILE_E_CRC)
    item->data.assign(reinterpret_cast<const char*>(buffer.data()), length);
  return rc;
}

// Appends every live item from the first on; returns the code that ended the
// walk (262 at the end of the file).
inline uint16_t ReadAllForwards(uint32_t handle, std::vector<Item>* items) {
  uint16_t rc = VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION);
  for (Item item; rc == 0 && items->size() < 100000 && (rc = ReadOne(handle, &item)) == 0;)
    items->push_back(item);
  return rc;
}

// A closed file holding items; the position of each item (empty on failure).
inline std::vector<uint32_t> MakeFile(const std::string& path, uint16_t method,
                                      const std::vector<Item>& items) {
  std::vector<uint32_t> positions;
  uint32_t h = 0, at = 0;
  if (VARNFileCreateEx(&h, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr, nullptr, 0) ||
      VARNFileSetCompression(h, method))
    return {};
  for (const Item& item : items) {
    if (VARNFileSeekToEnd(h, &at) != 0 || AddItem(h, item) != 0) break;
    positions.push_back(at);
  }
  if (VARNFileClose(h) != 0 || positions.size() != items.size()) return {};
  return positions;
}

// The live items of a file, read forwards. A failed open, or a walk that
// does not end at the end, shows as an extra item "!" with the code as value.
inline std::vector<Item> ReadFile(const std::string& path) {
  std::vector<Item> items;
  uint32_t h = 0;
  uint16_t rc = VARNFileOpenEx(&h, VARNFILE_ACCESS_READ, path.c_str(), 0);
  uint16_t end = rc == 0 ? ReadAllForwards(h, &items) : rc;
  if (rc == 0) rc = VARNFileClose(h);
  if (rc != 0 || end != VARNFILE_E_END_OF_FILE) items.push_back(Item{0, 0, end, "!"});
  return items;
}

inline std::string Slurp(const std::string& path) { return varnfile::ReadFile(path); }
inline void Spit(const std::string& path, const std::string& bytes) {
  varnfile::WriteFile(path, bytes);
}

struct ToolRun {
  int status;  // the exit status, or -1 when the shell did not exit
  std::string out, err;
};

// Runs the varnfile tool with `arguments` as the shell splits them and its
// standard input from `input`.
inline ToolRun RunTool(const std::string& arguments, const std::string& input = "") {
  std::string io = ScratchFile("tool");
  Spit(io + ".in", input);
  std::string command = VARNFILE_TOOL_PATH " " + arguments + " <" + io + ".in >" + io + ".out";
#if defined(_WIN32)
  // cmd.exe quotes with double quotes only and takes a leading '/' for a
  // switch: the program's path gets backslashes.
  std::replace(command.begin(), command.end(), '\'', '"');
  size_t programEnd = std::string(VARNFILE_TOOL_PATH).size();
  std::replace(command.begin(), command.begin() + programEnd, '/', '\\');
#endif
  int raw = std::system((command + " 2>" + io + ".err").c_str());
  return {ExitStatus(raw), Slurp(io + ".out"), Slurp(io + ".err")};
}

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
