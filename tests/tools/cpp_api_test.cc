// The C++ header: iteration both ways, RAII close and abort, moves, and the
// mapping of result codes to varn::Error.
#include "varnfile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string ScratchPath(const std::string& name) {
  const char* tmp = std::getenv("VARNFILE_TEST_TMP");
  std::string dir = tmp != nullptr ? tmp : "/tmp";
  mkdir(dir.c_str(), 0777);
  return dir + "/cpp_" + name + "_" + std::to_string(getpid()) + ".trn";
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// DEFLATE methods refuse items with 260 while the engines are not built in.
bool HaveDeflate() {
  varn::File probe = varn::File::Create("MEMORY$", varn::Method::ChainedDeflate);
  return probe.TryAdd(1, 0, 0, "abc", 3) == VARNFILE_OK;
}

std::vector<std::string> Texts(varn::ItemRange range) {
  std::vector<std::string> texts;
  for (const varn::Item& item : range) texts.push_back(item.text());
  return texts;
}

TEST(CppApiTest, IteratesForwardsAndBackwardsPassingOverDeletedItems) {
  for (varn::Method method : {varn::Method::None, varn::Method::Predictor, varn::Method::ChainedDeflate,
                              varn::Method::ChainedPredictor, varn::Method::Deflate}) {
    SCOPED_TRACE(varn::MethodName(method));
    if ((method == varn::Method::ChainedDeflate || method == varn::Method::Deflate) && !HaveDeflate())
      continue;
    varn::File file = varn::File::Create("MEMORY$", method);
    EXPECT_EQ(file.method(), method);
    std::vector<uint32_t> positions;
    for (const char* text : {"a", "bb", "", "dddd", "eeeee"})
      positions.push_back(file.Add(1, 2, 3, std::string(text)));
    EXPECT_EQ(positions.front(), uint32_t{VARNFILE_FIRST_ITEM_POSITION});
    EXPECT_EQ(Texts(file.Items()), (std::vector<std::string>{"a", "bb", "", "dddd", "eeeee"}));
    EXPECT_EQ(Texts(file.ReverseItems()), (std::vector<std::string>{"eeeee", "dddd", "", "bb", "a"}));

    file.Seek(positions[1]);
    file.Delete();
    file.Seek(positions[4]);
    file.Delete();
    EXPECT_EQ(Texts(file.Items()), (std::vector<std::string>{"a", "", "dddd"}));
    EXPECT_EQ(Texts(file.ReverseItems()), (std::vector<std::string>{"dddd", "", "a"}));

    std::vector<uint32_t> seen;
    for (const varn::Item& item : file.Items()) {
      seen.push_back(item.position);
      EXPECT_EQ(item.command, 1);
      EXPECT_EQ(item.extra, 2);
      EXPECT_EQ(item.value, 3u);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{positions[0], positions[2], positions[3]}));
    file.Close();
    EXPECT_FALSE(file.is_open());
  }
}

TEST(CppApiTest, IterationStopsAtAnEndMarkerAndOnEmptyFiles) {
  varn::File file = varn::File::Create("MEMORY$", varn::Method::None);
  EXPECT_TRUE(Texts(file.Items()).empty());
  EXPECT_TRUE(Texts(file.ReverseItems()).empty());
  file.Add(1, 0, 0, "before");
  file.Add(VARNFILE_CMD_END_MARKER, 0, 0, "");
  file.Add(1, 0, 0, "after");
  EXPECT_EQ(Texts(file.Items()), (std::vector<std::string>{"before"}));
  EXPECT_EQ(Texts(file.ReverseItems()), (std::vector<std::string>{"after"}));
}

TEST(CppApiTest, DestructorClosesAndAbortRemoves) {
  std::string path = ScratchPath("raii");
  {
    varn::File file = varn::File::Create(path, HaveDeflate() ? varn::Method::Deflate
                                                             : varn::Method::Predictor);
    file.SetDescription("kept");
    file.Add(5, 0, 0, std::string("payload"));
  }  // closed here
  {
    varn::File file = varn::File::Open(path, varn::Access::Read);  // refused unless closed
    EXPECT_EQ(file.description(), "kept");
    EXPECT_EQ(file.Read().text(), "payload");
  }
  {
    varn::File file = varn::File::Open(path);
    file.Abort();
    EXPECT_FALSE(file.is_open());
  }
  EXPECT_FALSE(Exists(path));
}

TEST(CppApiTest, MovesTransferTheHandle) {
  std::string path = ScratchPath("move");
  varn::File a = varn::File::Create(path, varn::Method::None);
  uint32_t handle = a.handle();
  varn::File b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(b.handle(), handle);
  varn::File c;
  c = std::move(b);
  EXPECT_EQ(c.handle(), handle);
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
}

TEST(CppApiTest, EveryResultCodeHasANameAndAMeaning) {
  for (uint16_t code = 257; code <= 283; ++code) {
    if (code == 259 || code == 271) {
      EXPECT_STREQ(varn::ResultName(code), "unknown");
      continue;
    }
    EXPECT_STRNE(varn::ResultName(code), "unknown") << code;
    EXPECT_STRNE(varn::ResultMeaning(code), "unknown result code") << code;
  }
  EXPECT_EQ(varn::DescribeResult(267), "267 VARNFILE_E_CRC: item data fails its CRC check");
}

TEST(CppApiTest, DuplicateFromCopiesIntoAnotherMethod) {
  varn::File source = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  for (int i = 0; i < 20; ++i) source.Add(static_cast<uint16_t>(i), 0, 0, std::string(i * 10, 'q'));
  varn::File target = varn::File::Create("MEMORY$", varn::Method::None);
  target.DuplicateFrom(source);
  int i = 0;
  for (const varn::Item& item : target.Items()) {
    EXPECT_EQ(item.command, i);
    EXPECT_EQ(item.data.size(), static_cast<std::size_t>(i * 10));
    ++i;
  }
  EXPECT_EQ(i, 20);
}

}  // namespace
