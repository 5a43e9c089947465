// Helpers for the item, navigation and cache tests: files made through the
// C API, items of known text, and the raw bytes of a file on disk.
#ifndef VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_
#define VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/handle_table.h"
#include "varnfile.h"

namespace varnfile_test {

// A fresh path in the scratch folder, unique to this process and name.
inline std::string ScratchPath(const std::string& name) {
  const char* base = std::getenv("VARNFILE_TEST_TMP");
  std::string dir = base != nullptr ? base : "/tmp";
  mkdir(dir.c_str(), 0777);
  std::string path = dir + "/items_" + std::to_string(getpid()) + "_" + name;
  std::remove(path.c_str());
  return path;
}

// Creates a file of exactly this name (or "MEMORY$") under the given method.
inline uint32_t CreateFileWith(const std::string& name, uint16_t method = VARNFILE_METHOD_NONE) {
  uint32_t handle = 0;
  EXPECT_EQ(0, VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, name.c_str(), nullptr, nullptr,
                                nullptr, 0));
  EXPECT_EQ(0, VARNFileSetCompression(handle, method));
  return handle;
}

inline uint16_t AddText(uint32_t handle, uint16_t commandId, const std::string& text,
                        uint16_t extraId = 0, uint32_t extraValue = 0) {
  return VARNFileAddItem(handle, commandId, extraId, extraValue,
                         static_cast<uint16_t>(text.size()),
                         reinterpret_cast<const uint8_t*>(text.data()));
}

inline uint32_t Position(uint32_t handle) {
  uint32_t position = 0;
  EXPECT_EQ(0, VARNFileGetPosition(handle, &position));
  return position;
}

inline uint32_t EndOfData(uint32_t handle) {
  uint32_t saved = Position(handle);
  uint32_t end = 0;
  EXPECT_EQ(0, VARNFileSeekToEnd(handle, &end));
  EXPECT_EQ(0, VARNFileSetPosition(handle, saved));
  return end;
}

// What VARNFileReadItem gave: its code, the fields and the data as text.
struct ReadResult {
  uint16_t rc = 0;
  uint16_t commandId = 0;
  uint16_t extraId = 0;
  uint32_t extraValue = 0;
  uint16_t length = 0;
  std::string data;
};

inline ReadResult ReadNext(uint32_t handle, uint16_t capacity = 4096) {
  ReadResult r;
  std::vector<uint8_t> buffer(capacity + 1);
  r.length = capacity;
  r.rc = VARNFileReadItem(handle, &r.commandId, &r.extraId, &r.extraValue, &r.length,
                          buffer.data());
  if (r.rc == 0 || r.rc == VARNFILE_E_CRC) {
    r.data.assign(reinterpret_cast<const char*>(buffer.data()), r.length);
  }
  return r;
}

// The command id of the item at the cursor (which moves onto the next live
// item), or 0 with the failing code in *rc.
inline uint16_t CurrentCommand(uint32_t handle, uint16_t* rc = nullptr) {
  uint16_t commandId = 0, extraId = 0;
  uint32_t extraValue = 0;
  uint16_t code = VARNFileReadCmdID(handle, &commandId, &extraId, &extraValue);
  if (rc != nullptr) *rc = code;
  return code == 0 ? commandId : 0;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return bytes;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
}

inline uint16_t U16At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(U16At(b, at)) | (static_cast<uint32_t>(U16At(b, at + 2)) << 16);
}

// CRC-16/X-25 bit by bit, bytes exchanged as the file stores it: an oracle
// independent of the library's table-driven one.
inline uint16_t ReferenceCrc(const uint8_t* data, size_t length) {
  if (length == 0) return 0;
  uint16_t c = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    c ^= data[i];
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : static_cast<uint16_t>(c >> 1);
  }
  c ^= 0xFFFF;
  return static_cast<uint16_t>((c >> 8) | (c << 8));
}

// The OpenFile behind a handle, for tests that look inside the cache.
inline varnfile::OpenFile* FileOf(uint32_t handle) {
  varnfile::LibraryState* state = varnfile::LockLibrary();
  varnfile::OpenFile* file = nullptr;
  varnfile::ResolveHandle(state, handle, &file);
  varnfile::UnlockLibrary();
  return file;
}

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_
