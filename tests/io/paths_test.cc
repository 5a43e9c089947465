#include "io/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "io/scratch_dir.h"

namespace varnfile {
namespace {

// One path split both ways: a name (dirOnly 0) and a directory (dirOnly 1).
struct SplitCase {
  const char *path, *pathAfter, *name;
  uint32_t result;
  const char* dirPathAfter;
  uint32_t dirResult;
};

void CheckSplits(const std::vector<SplitCase>& cases, SeparatorTest isSeparator) {
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.path);
    char path[64], name[64] = "untouched";
    strcpy(path, c.path);
    EXPECT_EQ(SplitPathWith(path, name, 0, isSeparator), c.result);
    EXPECT_STREQ(path, c.pathAfter);
    EXPECT_STREQ(name, c.name);
    strcpy(path, c.path);
    EXPECT_EQ(SplitPathWith(path, nullptr, 1, isSeparator), c.dirResult);
    EXPECT_STREQ(path, c.dirPathAfter);
  }
}

TEST(PathsTest, SplitPath) {
  CheckSplits({{"C:\\DIR\\FILE.TRN", "C:\\DIR", "FILE.TRN", 1, "C:\\DIR\\FILE.TRN", 0},
               {"FILE.TRN", "", "FILE.TRN", 0, "FILE.TRN", 0},
               {"C:FILE", "C:", "FILE", 1, "C:FILE", 0},
               {"\\FILE", "\\", "FILE", 1, "\\FILE", 0},
               {"C:\\FILE", "C:\\", "FILE", 1, "C:\\FILE", 0},
               {"C:\\DIR\\", "C:\\DIR", "", 1, "C:\\DIR", 1},
               {"C:\\", "C:\\", "untouched", 0, "C:\\", 0},
               {"", "", "untouched", 0, "", 0},
               // Forward slashes count too, and a colon never ends a name.
               {"C:/DIR/FILE.TRN", "C:/DIR", "FILE.TRN", 1, "C:/DIR/FILE.TRN", 0},
               {"C:", "C:", "untouched", 0, "C:", 0},
               {"DIR\\\\", "DIR\\\\", "untouched", 0, "DIR\\\\", 0}},
              IsWindowsSeparator);
  CheckSplits({{"/dir/file.trn", "/dir", "file.trn", 1, "/dir/file.trn", 0},
               {"file.trn", "", "file.trn", 0, "file.trn", 0},
               {"/file", "/", "file", 1, "/file", 0},
               {"/dir/", "/dir", "", 1, "/dir", 1},
               {"dir/sub/", "dir/sub", "", 1, "dir/sub", 1},
               {"/", "/", "untouched", 0, "/", 0},
               {"", "", "untouched", 0, "", 0},
               // Neither a colon nor a backslash separates here.
               {"C:FILE", "", "C:FILE", 0, "C:FILE", 0},
               {"C:\\DIR\\FILE", "", "C:\\DIR\\FILE", 0, "C:\\DIR\\FILE", 0},
               {"a:b/c\\d", "a:b", "c\\d", 1, "a:b/c\\d", 0}},
              IsPlatformSeparator);
  // The build's SplitPath is the POSIX one; the name may be omitted.
  char path[] = "x/y";
  EXPECT_EQ(SplitPath(path, nullptr, 0), 1u);
  EXPECT_STREQ(path, "x");
}

TEST(PathsTest, JoinPathInsertsOneSeparatorWhereNeeded) {
  const char* cases[][2] = {{"dir", "dir/A"}, {"dir/", "dir/A"}, {"", "A"}, {"/", "/A"}};
  char buffer[64];
  for (const auto& c : cases) {
    strcpy(buffer, c[0]);
    EXPECT_EQ(JoinPath(buffer, "A"), buffer);
    EXPECT_STREQ(buffer, c[1]);
  }
  // The Windows set keeps drive-relative paths.
  const char* windows[][2] = {{"C:", "C:F"}, {"C:\\DIR", "C:\\DIR\\F"}, {"C:\\", "C:\\F"}};
  for (const auto& c : windows) {
    strcpy(buffer, c[0]);
    EXPECT_STREQ(JoinPathWith(buffer, "F", IsWindowsSeparator, WindowsSeparator), c[1]);
  }
}

TEST(PathsTest, AccessAndDirectories) {
  ScratchDir dir;
  EXPECT_EQ(CheckAccess(dir.path().c_str(), 0), ResultOk);
  EXPECT_EQ(CheckAccess((dir / "missing").c_str(), 0), ResultOpenFailed);
  EXPECT_EQ(CheckAccess((dir / "missing/below").c_str(), 0), ResultOpenFailed);
  if (geteuid() != 0) {
    std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    WriteFile(locked + "/inside", "x");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(CheckAccess((locked + "/inside").c_str(), 0), ResultAccessDenied);
    chmod(locked.c_str(), 0700);
    std::filesystem::remove_all(locked);
  }
  EXPECT_EQ(MakeDirectory((dir / "one").c_str()), ResultOk);
  EXPECT_EQ(MakeDirectory((dir / "one").c_str()), ResultMkdirFailed);
  EXPECT_EQ(MakeDirectory((dir / "a/b").c_str()), ResultMkdirFailed);
  // MakeDirectories makes every level, absolute or relative; existing ones
  // are fine.
  EXPECT_EQ(MakeDirectories((dir / "a/b/c").c_str()), ResultOk);
  EXPECT_EQ(MakeDirectories((dir / "a/b/c").c_str()), ResultOk);
  EXPECT_EQ(MakeDirectories((dir / "a/b/c/d/").c_str()), ResultOk);
  struct stat info;
  ASSERT_EQ(stat((dir / "a/b/c/d").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(MakeDirectories("x/y/z"), ResultOk);
  EXPECT_EQ(stat("x/y/z", &info), 0);
  ASSERT_EQ(chdir(saved), 0);
  WriteFile(dir / "file", "x");
  EXPECT_EQ(MakeDirectories((dir / "file").c_str()), ResultMkdirFailed);
  EXPECT_EQ(MakeDirectories((dir / "file/sub/deeper").c_str()), ResultMkdirFailed);
  EXPECT_EQ(MakeDirectories((dir.path().string() + "/" + std::string(260, 'd')).c_str()),
            ResultInvalidArgument);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"a", "file", "one", "x"}));
}

}  // namespace
}  // namespace varnfile
