// Arbitrary bytes as a transaction file: opened through the C API and
// walked forwards, backwards and at random positions, reading every item;
// with a writable open the walk also updates, deletes, appends, copies the
// file and closes it. Nothing may crash, hang or read out of bounds, and
// every export must answer with one of the library's result codes.
//
// Input: byte 0 holds options, the rest is the file.
//   bits 0-1: cache limits; bits 2-3: read and write buffer sizes;
//   bit 4: make the header acceptable (magic, version, closed mark, no
//          aging) and walk the file once under each compression method;
//   bit 5: open for update and change the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "varnfile.h"

namespace {

constexpr int MaxSteps = 3000;
constexpr uint32_t First = VARNFILE_FIRST_ITEM_POSITION;

void CheckCode(uint16_t rc, const char* what) {
  bool known = rc == 0 || (rc >= 257 && rc <= 283 && rc != 259 && rc != 271);
  if (!known) {
    std::fprintf(stderr, "%s returned %u, not a result code\n", what, rc);
    std::abort();
  }
}

std::string ScratchPath() {
  static std::string path = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    if (base == nullptr) base = "/tmp";
    return std::string(base) + "/varnfile_file_walk_" + std::to_string(getpid()) + ".trn";
  }();
  return path;
}

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

struct Walker {
  uint32_t handle;
  uint32_t rng;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(65536);
  std::vector<uint32_t> seen;  // positions where items were found

  uint32_t Next() {
    rng = rng * 1664525U + 1013904223U;
    return rng >> 8;
  }

  uint16_t Read() {
    uint16_t c = 0, e = 0, length = 65535;
    uint32_t v = 0;
    uint16_t rc = VARNFileReadItem(handle, &c, &e, &v, &length, buffer.data());
    CheckCode(rc, "ReadItem");
    return rc;
  }

  uint32_t Position() {
    uint32_t at = 0;
    CheckCode(VARNFileGetPosition(handle, &at), "GetPosition");
    return at;
  }

  void Forwards() {
    CheckCode(VARNFileSetPosition(handle, First), "SetPosition");
    for (int step = 0; step < MaxSteps; ++step) {
      uint32_t at = Position();
      uint16_t rc = Read();
      if (rc == 0 || rc == VARNFILE_E_CRC) {
        seen.push_back(at);
        continue;
      }
      if (rc == VARNFILE_E_END_OF_FILE) {
        // An end marker: step over it; at the end of data this fails.
        uint16_t skip = VARNFileSkipNext(handle);
        CheckCode(skip, "SkipNext");
        if (skip != 0 || Position() == at) return;
        continue;
      }
      return;
    }
  }

  void Backwards() {
    uint32_t end = 0;
    CheckCode(VARNFileSeekToEnd(handle, &end), "SeekToEnd");
    for (int step = 0; step < MaxSteps; ++step) {
      uint32_t before = Position();
      uint16_t rc = VARNFileSkipPrev(handle);
      CheckCode(rc, "SkipPrev");
      if (rc != 0) return;
      uint32_t at = Position();
      if (at >= before) return;  // the walk must make progress
      Read();
      CheckCode(VARNFileSetPosition(handle, at), "SetPosition");
    }
  }

  void Random(uint32_t fileSize) {
    uint32_t limit = fileSize + 64;
    for (int step = 0; step < 200; ++step) {
      uint32_t at;
      uint32_t pick = Next();
      if (!seen.empty() && pick % 3 != 0) {
        at = seen[pick % seen.size()];
      } else {
        at = Next() % limit;
      }
      CheckCode(VARNFileSetPosition(handle, at), "SetPosition");
      uint16_t c = 0, e = 0, length = 0;
      uint32_t v = 0;
      switch (Next() % 5) {
        case 0:
          Read();
          break;
        case 1:
          CheckCode(VARNFileReadCmdIDEx(handle, &c, &e, &v, &length), "ReadCmdIDEx");
          break;
        case 2:
          CheckCode(VARNFileSkipNext(handle), "SkipNext");
          break;
        case 3:
          CheckCode(VARNFileSkipPrev(handle), "SkipPrev");
          break;
        default:
          CheckCode(VARNFileReadCmdID(handle, &c, &e, &v), "ReadCmdID");
          break;
      }
    }
  }

  void Change() {
    static const uint8_t text[] = "appended by the walk";
    for (size_t i = 0; i < seen.size() && i < 40; i += 3) {
      CheckCode(VARNFileSetPosition(handle, seen[i]), "SetPosition");
      if (i % 2 == 0) {
        CheckCode(VARNFileUpdateItem(handle, 0x1234, 1, 2, 0, nullptr), "UpdateItem");
      } else {
        CheckCode(VARNFileDeleteItem(handle), "DeleteItem");
      }
    }
    CheckCode(VARNFileAddItem(handle, 7, 8, 9, sizeof text, text), "AddItem");
    uint32_t copy = 0;
    uint16_t rc =
        VARNFileCreateEx(&copy, VARNFILE_NAME_EXACT, "MEMORY$", nullptr, nullptr, nullptr, 0);
    CheckCode(rc, "CreateEx");
    if (rc == 0) {
      CheckCode(VARNFileDuplicate(copy, handle), "Duplicate");
      CheckCode(VARNFileClose(copy), "Close");
    }
  }
};

void WalkFile(const std::string& path, uint8_t options, uint32_t fileSize, uint32_t seed) {
  bool update = (options & 0x20) != 0;
  Walker w;
  w.handle = 0;
  w.rng = seed;
  uint16_t rc = VARNFileOpenEx(&w.handle, update ? 1 : 0, path.c_str(), 0);
  CheckCode(rc, "OpenEx");
  if (rc != 0) {
    if (w.handle != 0) std::abort();
    return;
  }
  static const uint16_t cacheItems[] = {16, 1, 3, 0};
  static const uint32_t cacheBytes[] = {65536, 0, 700, 1 << 20};
  static const uint32_t buffers[] = {1024, 0, 7, 300};
  CheckCode(VARNFileSetParameters(w.handle, cacheItems[options & 3], cacheBytes[options & 3],
                                  buffers[(options >> 2) & 3], buffers[(options >> 2) & 3]),
            "SetParameters");
  w.Forwards();
  w.Backwards();
  w.Random(fileSize);
  if (update) w.Change();
  CheckCode(VARNFileClose(w.handle), "Close");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 200000) return 0;
  uint8_t options = data[0];
  std::vector<uint8_t> file(data + 1, data + size);
  uint32_t seed = 2166136261U;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619U;
  const std::string path = ScratchPath();

  bool patch = (options & 0x10) != 0 && file.size() >= VARNFILE_HEADER_SIZE;
  int methods = patch ? 5 : 1;
  for (int m = 0; m < methods; ++m) {
    if (patch) {
      std::memcpy(file.data(), "KVRW", 4);
      file[4] = 272 & 0xFF;
      file[5] = 272 >> 8;
      file[42] = 0xFF;  // aging limit: 65535 days
      file[43] = 0xFF;
      file[47] = static_cast<uint8_t>(m);
      file[48] = 0;
      file[142] = 1;  // closed properly
      file[143] = 0;
    }
    if (!WriteBytes(path, file.data(), file.size())) std::abort();
    WalkFile(path, options, static_cast<uint32_t>(file.size()), seed + m);
  }
  unlink(path.c_str());
  return 0;
}
