// The C++ header: iteration both ways, RAII close and abort, moves, and the
// mapping of result codes to varn::Error.
#include "varnfile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

std::string ScratchPath(const std::string& name) {
  const char* tmp = std::getenv("VARNFILE_TEST_TMP");
  std::string dir = tmp != nullptr ? tmp : "/tmp";
  mkdir(dir.c_str(), 0777);
  return dir + "/cpp_" + name + "_" + std::to_string(getpid()) + ".trn";
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

Texts Read(varn::ItemRange range) {
  Texts texts;
  for (const varn::Item& item : range) texts.push_back(item.text());
  return texts;
}

TEST(CppApiTest, IteratesBothWaysPassingOverDeletedItemsAndStoppingAtEndMarkers) {
  for (varn::Method method : {varn::Method::None, varn::Method::Predictor, varn::Method::ChainedDeflate,
                              varn::Method::ChainedPredictor, varn::Method::Deflate}) {
    SCOPED_TRACE(varn::MethodName(method));
    varn::File file = varn::File::Create("MEMORY$", method);
    EXPECT_EQ(file.method(), method);
    EXPECT_TRUE(Read(file.Items()).empty());
    EXPECT_TRUE(Read(file.ReverseItems()).empty());
    std::vector<uint32_t> positions;
    for (const char* text : {"a", "bb", "", "dddd", "eeeee"}) positions.push_back(file.Add(1, 2, 3, std::string(text)));
    EXPECT_EQ(positions.front(), uint32_t{VARNFILE_FIRST_ITEM_POSITION});
    EXPECT_EQ(Read(file.Items()), (Texts{"a", "bb", "", "dddd", "eeeee"}));
    EXPECT_EQ(Read(file.ReverseItems()), (Texts{"eeeee", "dddd", "", "bb", "a"}));
    file.Seek(positions[1]);
    file.Delete();
    file.Seek(positions[4]);
    file.Delete();
    EXPECT_EQ(Read(file.ReverseItems()), (Texts{"dddd", "", "a"}));
    std::vector<uint32_t> seen;
    for (const varn::Item& item : file.Items()) {
      seen.push_back(item.position);
      EXPECT_EQ(std::make_tuple(item.command, item.extra, item.value), std::make_tuple(1, 2, 3u));
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{positions[0], positions[2], positions[3]}));
    // An end marker ends iteration in either direction.
    file.Add(VARNFILE_CMD_END_MARKER, 0, 0, "");
    file.Add(1, 0, 0, "after");
    EXPECT_EQ(Read(file.Items()), (Texts{"a", "", "dddd"}));
    EXPECT_EQ(Read(file.ReverseItems()), (Texts{"after"}));
    file.Close();
    EXPECT_FALSE(file.is_open());
  }
}

TEST(CppApiTest, DestructorClosesAbortRemovesMovesTransfer) {
  std::string path = ScratchPath("raii");
  {
    varn::File file = varn::File::Create(path, varn::Method::Deflate);
    file.SetDescription("kept");
    file.Add(5, 0, 0, std::string("payload"));
  }  // closed here, or the open below is refused
  {
    varn::File file = varn::File::Open(path, varn::Access::Read);
    EXPECT_EQ(file.description(), "kept");
    EXPECT_EQ(file.Read().text(), "payload");
  }
  varn::File a = varn::File::Open(path);
  uint32_t handle = a.handle();
  varn::File b = std::move(a);
  EXPECT_FALSE(a.is_open());
  varn::File c;
  c = std::move(b);
  EXPECT_EQ(c.handle(), handle);
  c.Abort();
  EXPECT_FALSE(c.is_open());
  EXPECT_FALSE(Exists(path));
  c = varn::File::Create(path, varn::Method::None);
  handle = c.handle();
  c = varn::File();  // closes
  EXPECT_EQ(VARNFileClose(handle), VARNFILE_E_INVALID_HANDLE);
  varn::File::Remove(path);
  EXPECT_FALSE(Exists(path));
}

TEST(CppApiTest, FailuresThrowErrorWithTheCodeAndTryVariantsReturnIt) {
  std::string missing = ScratchPath("missing");
  try {
    varn::File::Open(missing, varn::Access::Read);
    FAIL() << "no exception";
  } catch (const varn::Error& error) {
    EXPECT_EQ(error.code(), VARNFILE_E_OPEN);
    EXPECT_NE(std::string(error.what()).find("274 VARNFILE_E_OPEN"), std::string::npos) << error.what();
  }
  varn::File file;
  EXPECT_EQ(varn::File::TryOpen(missing, varn::Access::Read, &file), VARNFILE_E_OPEN);
  EXPECT_FALSE(file.is_open());
  file = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  file.Add(1, 0, 0, std::string("abc"));
  try {
    file.SetMethod(varn::Method::None);
    FAIL() << "no exception";
  } catch (const varn::Error& error) {
    EXPECT_EQ(error.code(), VARNFILE_E_METHOD_LOCKED);
  }
  file.Rewind();
  EXPECT_THROW(file.Update(1, 0, 0, "xyz", 3), varn::Error);  // compressed: 268
  EXPECT_THROW(file.Add(0xFF00, 0, 0, std::string("x")), varn::Error);
  EXPECT_EQ(file.TryAdd(1, 0, 0, nullptr, 70000), VARNFILE_E_INVALID_ARGUMENT);
  varn::Item item;
  EXPECT_TRUE(file.Read(&item));
  EXPECT_FALSE(file.Read(&item));  // end of data is not an error
  EXPECT_FALSE(file.SkipNext());
  EXPECT_EQ(file.TryClose(), VARNFILE_OK);
  EXPECT_EQ(file.TryClose(), VARNFILE_OK);  // nothing left to close
  // Every code has a name and a meaning; 259 and 271 are not codes.
  for (uint16_t code = 257; code <= 283; ++code) {
    bool known = code != 259 && code != 271;
    EXPECT_EQ(std::string(varn::ResultName(code)) != "unknown", known) << code;
    if (known) {
      EXPECT_STRNE(varn::ResultMeaning(code), "unknown result code") << code;
    }
  }
  EXPECT_EQ(varn::DescribeResult(267), "267 VARNFILE_E_CRC: item data fails its CRC check");
}

}  // namespace
