// The C++ header: iteration both ways, RAII close and abort, moves, and the
// mapping of result codes to varn::Error.
#include "varnfile.hpp"

#include <gtest/gtest.h>

#include "reliability/reliability_util.h"

namespace {

using Texts = std::vector<std::string>;

Texts Read(varn::ItemRange range) {
  Texts texts;
  for (const varn::Item& item : range) texts.push_back(item.text());
  return texts;
}

// The code of the varn::Error that f throws, or 0.
template <typename F>
uint16_t Thrown(F f) {
  try {
    f();
  } catch (const varn::Error& error) {
    return error.code();
  }
  return 0;
}

TEST(CppApiTest, IteratesBothWaysPassingOverDeletedItemsAndStoppingAtEndMarkers) {
  varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  EXPECT_TRUE(Read(file.Items()).empty() && Read(file.ReverseItems()).empty());
  std::vector<uint32_t> at, seen;
  for (const char* text : {"a", "bb", "", "dddd", "eeeee"}) at.push_back(file.Add(1, 2, 3, text));
  file.Seek(at[1]);
  file.Delete();
  file.Seek(at[4]);
  file.Delete();
  EXPECT_EQ((Texts{"dddd", "", "a"}), Read(file.ReverseItems()));
  for (const varn::Item& item : file.Items()) seen.push_back(item.position);
  EXPECT_EQ((std::vector<uint32_t>{at[0], at[2], at[3]}), seen);
  file.Add(VARNFILE_CMD_END_MARKER, 0, 0, "");
  file.Add(1, 0, 0, "after");
  EXPECT_EQ((Texts{"a", "", "dddd"}), Read(file.Items()));
  EXPECT_EQ((Texts{"after"}), Read(file.ReverseItems()));
}

TEST(CppApiTest, DestructorClosesMovesTransferAndFailuresThrowTheCode) {
  std::string path = varnfile_test::ScratchFile("raii.trn");
  varn::File::Create(path, varn::Method::Deflate).Add(5, 0, 0, "payload");  // closed at once
  varn::File a = varn::File::Open(path, varn::Access::Read);
  EXPECT_EQ("payload", a.Read().text());
  uint32_t handle = a.handle();
  a = varn::File();  // closes
  EXPECT_EQ(VARNFILE_E_INVALID_HANDLE, VARNFileClose(handle));
  a = varn::File::Open(path);
  handle = a.handle();
  varn::File b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(handle, b.handle());
  b.Abort();
  EXPECT_FALSE(varnfile_test::PathExists(path));
  EXPECT_EQ(VARNFILE_E_OPEN, Thrown([&] { varn::File::Open(path, varn::Access::Read); }));
  EXPECT_EQ(VARNFILE_E_OPEN, varn::File::TryOpen(path, varn::Access::Read, &a));
  EXPECT_FALSE(a.is_open());

  a = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  a.Add(1, 0, 0, "abc");
  EXPECT_EQ(VARNFILE_E_METHOD_LOCKED, Thrown([&] { a.SetMethod(varn::Method::None); }));
  a.Rewind();
  EXPECT_EQ(VARNFILE_E_CANNOT_REPLACE, Thrown([&] { a.Update(1, 0, 0, "xyz", 3); }));
  EXPECT_EQ(VARNFILE_E_RESERVED_ID, Thrown([&] { a.Add(0xFF00, 0, 0, "x"); }));
  EXPECT_EQ(VARNFILE_E_INVALID_ARGUMENT, a.TryAdd(1, 0, 0, nullptr, 70000));
  varn::Item item;
  EXPECT_TRUE(a.Read(&item));
  EXPECT_FALSE(a.Read(&item));  // the end of data is not an error
  EXPECT_EQ(VARNFILE_E_END_OF_FILE, Thrown([&] { a.Read(); }));
  EXPECT_EQ(VARNFILE_OK, a.TryClose());
  EXPECT_EQ(VARNFILE_OK, a.TryClose());  // nothing left to close
  EXPECT_EQ("267 VARNFILE_E_CRC: item data fails its CRC check", varn::DescribeResult(267));
}

}  // namespace
