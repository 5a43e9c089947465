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
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "varnfile.h"

namespace {

uint16_t Check(uint16_t rc) {
  if (rc == 0 || (rc >= 257 && rc <= 283 && rc != 259 && rc != 271)) return rc;
  std::fprintf(stderr, "an export returned %u, not a result code\n", rc);
  std::abort();
}

uint32_t h = 0, v, at;
uint16_t c, e, length;
uint8_t buffer[65536];

uint16_t Read() {
  length = 65535;
  return Check(VARNFileReadItem(h, &c, &e, &v, &length, buffer));
}
uint32_t Position() { return Check(VARNFileGetPosition(h, &at)) == 0 ? at : 0; }

void Walk(uint32_t rng, uint32_t fileSize, bool update) {
  std::vector<uint32_t> seen;  // positions where items were found
  // Forwards, stepping over end markers, then backwards; every step must
  // make progress.
  Check(VARNFileSetPosition(h, VARNFILE_FIRST_ITEM_POSITION));
  for (int step = 0; step < 3000; ++step) {
    uint32_t from = Position();
    uint16_t rc = Read();
    if (rc == 0 || rc == VARNFILE_E_CRC) {
      seen.push_back(from);
    } else if (rc != VARNFILE_E_END_OF_FILE || Check(VARNFileSkipNext(h)) || Position() == from) {
      break;
    }
  }
  Check(VARNFileSeekToEnd(h, &at));
  for (int step = 0; step < 3000; ++step) {
    uint32_t before = Position(), item = 0;
    if (Check(VARNFileSkipPrev(h)) != 0 || (item = Position()) >= before) break;
    Read();
    Check(VARNFileSetPosition(h, item));
  }
  // Found items, mostly, and arbitrary positions in and just past the file.
  for (int step = 0; step < 200; ++step) {
    rng = rng * 1664525U + 1013904223U;
    uint32_t pick = rng >> 8, kind = (rng >> 4) % 5;
    Check(VARNFileSetPosition(
        h, !seen.empty() && pick % 3 ? seen[pick % seen.size()] : (pick >> 2) % (fileSize + 64)));
    if (kind == 0) Read();
    if (kind == 1) Check(VARNFileReadCmdIDEx(h, &c, &e, &v, &length));
    if (kind == 2) Check(VARNFileSkipNext(h));
    if (kind == 3) Check(VARNFileSkipPrev(h));
    if (kind == 4) Check(VARNFileReadCmdID(h, &c, &e, &v));
  }
  if (!update) return;
  for (size_t i = 0; i < seen.size() && i < 40; i += 3) {
    Check(VARNFileSetPosition(h, seen[i]));
    Check(i % 2 ? VARNFileDeleteItem(h) : VARNFileUpdateItem(h, 0x1234, 1, 2, 0, nullptr));
  }
  Check(VARNFileAddItem(h, 7, 8, 9, 5, buffer));
  uint32_t copy = 0;
  if (Check(VARNFileCreateEx(&copy, 0, "MEMORY$", nullptr, nullptr, nullptr, 0)) == 0) {
    Check(VARNFileDuplicate(copy, h));
    Check(VARNFileClose(copy));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 200000) return 0;
  static const uint16_t cacheItems[] = {16, 1, 3, 0};
  static const uint32_t cacheBytes[] = {65536, 0, 700, 1 << 20}, buffers[] = {1024, 0, 7, 300};
  static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/varnfile_file_walk_" + std::to_string(getpid()) + ".trn";
  uint8_t options = data[0];
  std::vector<uint8_t> file(data + 1, data + size);
  uint32_t seed = 2166136261U;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619U;
  bool patch = (options & 0x10) != 0 && file.size() >= VARNFILE_HEADER_SIZE;
  for (uint8_t m = 0; m < (patch ? 5 : 1); ++m) {
    // Magic, version 272, aging limit 65535 days, method m, closed.
    const std::pair<int, uint8_t> fields[] = {{0, 'K'},  {1, 'V'}, {2, 'R'},  {3, 'W'},
                                              {4, 0x10}, {5, 1},   {42, 255}, {43, 255},
                                              {47, m},   {48, 0},  {142, 1},  {143, 0}};
    for (const auto& [at, byte] : fields) {
      if (patch) file[at] = byte;
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (!file.empty() && std::fwrite(file.data(), file.size(), 1, f) != 1) ||
        std::fclose(f) != 0)
      std::abort();
    if (Check(VARNFileOpenEx(&h, options & 0x20 ? 1 : 0, path.c_str(), 0)) != 0) {
      if (h != 0) std::abort();  // a refused open hands out no handle
      continue;
    }
    uint32_t bytes = buffers[(options >> 2) & 3];
    Check(VARNFileSetParameters(h, cacheItems[options & 3], cacheBytes[options & 3], bytes, bytes));
    Walk(seed + m, static_cast<uint32_t>(file.size()), options & 0x20);
    Check(VARNFileClose(h));
    h = 0;
  }
  unlink(path.c_str());
  return 0;
}
