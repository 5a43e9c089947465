// Helpers shared by the reliability and tool tests: scratch files, items
// whose content follows from their number, and whole-file writes and walks
// through the C API.
#ifndef VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
#define VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "io/scratch_dir.h"
#include "os_util.h"
#include "platform/file.h"
#include "varnfile.h"

#ifndef VARNFILE_TOOL_PATH
#define VARNFILE_TOOL_PATH ""  // the tool is not built
#endif

namespace varnfile_test {

// Disk files are opened write-through, so scratch files live on tmpfs when
// there is one, in a folder of this process. Process ids come round again,
// so the folder is emptied when first used (a killed run leaves one behind)
// and removed when the process that made it exits (not a forked child).
inline const std::string& ScratchFolder() {
  struct Folder {
    std::string path;
    int owner = ProcessId();
    std::error_code ignored = {};
    ~Folder() { if (ProcessId() == owner) std::filesystem::remove_all(path, ignored); }
  };
  static const Folder folder{[] {
    const char* base = std::getenv("VARNFILE_TEST_TMP");
    std::string root = PathExists("/dev/shm") ? "/dev/shm" : base ? base : "/tmp";
    MakeDirectory(root);
    std::string dir = root + "/varnfile_test_" + std::to_string(ProcessId());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    MakeDirectory(dir);
    return dir;
  }()};
  return folder.path;
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
  auto Tie() const { return std::tie(commandId, extraId, extraValue, data); }
  bool operator==(const Item& o) const { return Tie() == o.Tie(); }
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
inline void Spit(const std::string& path, const std::string& bytes) { varnfile::WriteFile(path, bytes); }

struct ToolRun {
  int status;  // the exit status, or -1 when the shell did not exit
  std::string out, err;
};

// Runs the varnfile tool with `arguments` as the shell splits them and its
// standard input from `input`. A run that hangs is killed after a minute
// (status 124), so that a regression fails instead of stalling the suite.
inline ToolRun RunTool(const std::string& arguments, const std::string& input = "") {
  std::string io = ScratchFile("tool");
  Spit(io + ".in", input);
#if defined(_WIN32)
  std::string command = VARNFILE_TOOL_PATH " " + arguments + " <" + io + ".in >" + io + ".out";
  // cmd.exe quotes with double quotes only and takes a leading '/' for a
  // switch: the program's path gets backslashes.
  std::replace(command.begin(), command.end(), '\'', '"');
  size_t programEnd = std::string(VARNFILE_TOOL_PATH).size();
  std::replace(command.begin(), command.begin() + programEnd, '/', '\\');
#else
  std::string command = "timeout 60 " VARNFILE_TOOL_PATH " " + arguments + " <" + io + ".in >" + io + ".out";
#endif
  // A run that never started must not show the output of the one before.
  std::remove((io + ".out").c_str());
  std::remove((io + ".err").c_str());
  int raw = std::system((command + " 2>" + io + ".err").c_str());
#if defined(_WIN32)
  // Under Wine, when other programs start at the same time, std::system now
  // and then fails to start cmd.exe at all (-1, before any redirection), or
  // cmd.exe fails to start a program it ran a moment before ("Can't
  // recognize ... as an internal or external command", 9009). Neither is
  // one of the tool's statuses and the tool did not run: start it again.
  for (int retry = 0; retry < 3 && (raw == -1 || raw == 9009); ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    raw = std::system((command + " 2>" + io + ".err").c_str());
  }
#endif
  return {ExitStatus(raw), Slurp(io + ".out"), Slurp(io + ".err")};
}

// ---- a writing session and its ledger, for the fault and kill sweeps ----

// Item n with new identifiers and, when `data`, every data byte changed
// (same length): an update that a torn rewrite would show.
inline Item Revised(Item item, bool data) {
  item.commandId = static_cast<uint16_t>(0x7000 + item.extraValue % 0x1000);
  item.extraId ^= 0x55;
  if (data) for (char& c : item.data) c = static_cast<char>(c ^ 0x21);
  return item;
}

// Sweeps that start the tool for every point take every third point under
// AddressSanitizer, where each process start costs a large shadow mapping.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t ToolSweepStride = 3;
#else
constexpr uint64_t ToolSweepStride = 1;
#endif
// Under Wine a process start costs a tenth of a second and more, and a
// write-through write a hundred times what it costs on Linux: the write
// sweeps take every WineSweepStride-th point there (Linux runs them all).
#if defined(_WIN32)
constexpr uint64_t WineSweepStride = 7;
#else
constexpr uint64_t WineSweepStride = 1;
#endif

inline Item SessionItem(uint32_t n) { return MakeItem(31, n, 1500); }

enum SessionStep : uint8_t { StepCreate, StepAdd, StepUpdate, StepDelete, StepFlush, StepClose };
constexpr uint32_t SessionItems = 36;

// Creates path with `method` and a write buffer of `buffer` bytes, appends
// 24 items, updates every 5th (data too when uncompressed) and deletes every
// 7th, appends 12 more and closes. The cache holds 2 items, so changes are
// written back during the session too; every 4th step flushes the write
// buffer. note(step, item, rc) follows every call.
template <typename Note>
void RunWriteSession(const std::string& path, uint16_t method, uint32_t buffer, Note note) {
  uint32_t h = 0, steps = 0;
  std::vector<uint32_t> positions(SessionItems, 0);
  uint16_t rc = VARNFileCreateEx(&h, VARNFILE_NAME_EXACT, path.c_str(), nullptr, nullptr, nullptr, 0);
  if (rc == 0) rc = VARNFileSetCompression(h, method);
  if (rc == 0) rc = VARNFileSetParameters(h, 2, 65536, 1024, static_cast<uint16_t>(buffer));
  note(StepCreate, 0, rc);
  if (rc != 0) return;
  auto step = [&](SessionStep kind, uint32_t n, uint16_t result) {
    note(kind, n, result);
    if (++steps % 4 == 0)
      note(StepFlush, 0, VARNFileSetParameters(h, 2, 65536, 1024, static_cast<uint16_t>(buffer)));
  };
  auto add = [&](uint32_t n) {
    uint16_t result = VARNFileSeekToEnd(h, &positions[n]);
    if (result == 0) result = AddItem(h, SessionItem(n));
    if (result != 0) positions[n] = 0;  // nothing of it to update
    step(StepAdd, n, result);
  };
  for (uint32_t n = 0; n < 24; ++n) add(n);
  for (uint32_t n = 0; n < 24; ++n) {
    if ((n % 5 != 1 && n % 7 != 3) || positions[n] == 0 || VARNFileSetPosition(h, positions[n]) != 0)
      continue;
    if (n % 7 == 3) {
      step(StepDelete, n, VARNFileDeleteItem(h));
      continue;
    }
    bool data = method == VARNFILE_METHOD_NONE;
    Item u = Revised(SessionItem(n), data);
    step(StepUpdate, n,
         VARNFileUpdateItem(h, u.commandId, u.extraId, u.extraValue,
                            data ? static_cast<uint16_t>(u.data.size()) : 0,
                            data ? reinterpret_cast<const uint8_t*>(u.data.data()) : nullptr));
  }
  for (uint32_t n = 24; n < SessionItems; ++n) add(n);
  note(StepClose, 0, VARNFileClose(h));
}

// The write calls of an undisturbed session.
inline uint64_t SessionWrites(const std::string& path, uint16_t method, uint32_t buffer) {
  varnfile::FileResetCallCounts();
  RunWriteSession(path, method, buffer, [](SessionStep, uint32_t, uint16_t) {});
  return varnfile::FileCallCount(varnfile::FileCallWrite);
}

// What a session under `method` with a write buffer of `buffer` bytes was
// told: which calls returned 0, and up to which item the appended records
// had surely reached the file.
struct Ledger {
  Ledger(uint16_t method, uint32_t buffer)
      : withData(method == VARNFILE_METHOD_NONE), buffered(buffer != 0) {}
  bool withData;  // updates change data too
  bool buffered;  // a write buffer holds appended records
  bool closed = false;    // the close returned 0
  uint32_t writtenOut = 0;  // items below this, if added, are in the file
  uint32_t nextAdd = 0;     // items tried so far
  std::vector<bool> added = std::vector<bool>(SessionItems), updated = added, updateTried = added,
                    deleted = added, deleteTried = added;

  void Note(SessionStep step, uint32_t n, uint16_t rc) {
    switch (step) {
      case StepAdd:
        nextAdd = n + 1;
        added[n] = rc == 0;
        if (rc == 0 && !buffered) writtenOut = n + 1;
        break;
      case StepUpdate: updateTried[n] = true; updated[n] = rc == 0; break;
      case StepDelete: deleteTried[n] = true; deleted[n] = rc == 0; break;
      case StepFlush: if (rc == 0) writtenOut = nextAdd; break;
      case StepClose: closed = rc == 0; break;
      default: break;
    }
  }

  // Checks the live items of the file against what was acknowledged: none
  // invented, none altered (old or new version), none that was written out
  // lost; after a close that returned 0, exactly the acknowledged state.
  // `tried` allows the add under way at a crash. Returns the items lost.
  uint32_t Check(const std::vector<Item>& items, bool tried, std::string* problem) const {
    uint32_t lost = 0, next = 0;
    auto missing = [&](uint32_t upTo) {
      for (; next < upTo; ++next) {
        bool must = added[next] && !deleteTried[next] && (closed || next < writtenOut);
        if (must || (closed && added[next] && !deleted[next])) {
          ++lost;
          *problem += "item " + std::to_string(next) + " lost; ";
        }
      }
    };
    for (const Item& got : items) {
      uint32_t k = got.extraValue;
      bool known = k < SessionItems && k >= next && (added[k] || (tried && k + 1 == nextAdd));
      if (!known) return *problem = "item " + std::to_string(k) + " was never added", lost;
      missing(k);
      bool isNew = got == Revised(SessionItem(k), withData), isOld = got == SessionItem(k);
      if (!isNew && !isOld) return *problem = "item " + std::to_string(k) + " altered", lost;
      if (isNew && !updateTried[k]) return *problem = "item " + std::to_string(k) + " revised", lost;
      if (closed && (deleted[k] || isNew != updated[k]))
        return *problem = "item " + std::to_string(k) + " is not as acknowledged", lost;
      next = k + 1;
    }
    missing(SessionItems);
    return lost;
  }
};

// Salvages path with `varnfile recover` and returns the items of the copy
// (an extra item "!" when the tool or the walk failed).
inline std::vector<Item> Recovered(const std::string& path) {
  std::string copy = path + ".recovered";
  if (RunTool("recover " + path + " " + copy + " --force").status != 0)
    return {Item{0, 0, 0, "!"}};
  std::vector<Item> items = ReadFile(copy);
  std::remove(copy.c_str());
  return items;
}

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_RELIABILITY_RELIABILITY_UTIL_H_
