// Helpers for the item, navigation, cache and model tests: files made through
// the C API, items of known text, and the raw bytes of a file on disk (with
// those of the model in item_model.h).
#ifndef VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_
#define VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_

#include <gtest/gtest.h>

#include "item_model.h"
#include "reliability/reliability_util.h"  // ScratchFile, WriteFile

namespace varnfile_test {

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
  uint32_t saved = Position(handle), end = 0;
  EXPECT_EQ(0, VARNFileSeekToEnd(handle, &end));
  EXPECT_EQ(0, VARNFileSetPosition(handle, saved));
  return end;
}

// What VARNFileReadItem gave: its code and the item (the data also on 267).
struct ReadResult : Item {
  uint16_t rc = 0;
};

inline ReadResult ReadNext(uint32_t handle) {
  ReadResult r;
  r.rc = ReadOne(handle, &r);
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

}  // namespace varnfile_test

#endif  // VARNFILE_TESTS_API_ITEM_TEST_UTIL_H_
