#include "io/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "io/scratch_dir.h"

namespace varnfile {
namespace {

struct SplitCase {
  const char* path;
  // dirOnly 0
  const char* pathAfter;
  const char* name;
  uint32_t result;
  // dirOnly 1
  const char* dirPathAfter;
  uint32_t dirResult;
};

void CheckSplit(const SplitCase& c, SeparatorTest isSeparator) {
  SCOPED_TRACE(c.path);
  char path[64];
  char name[64];
  strcpy(path, c.path);
  strcpy(name, "untouched");
  EXPECT_EQ(SplitPathWith(path, name, 0, isSeparator), c.result);
  EXPECT_STREQ(path, c.pathAfter);
  EXPECT_STREQ(name, c.name);

  strcpy(path, c.path);
  EXPECT_EQ(SplitPathWith(path, nullptr, 1, isSeparator), c.dirResult);
  EXPECT_STREQ(path, c.dirPathAfter);
}

// ---- SplitPath ----

TEST(SplitPathTest, WindowsSeparatorTable) {
  const SplitCase cases[] = {
      {"C:\\DIR\\FILE.TRN", "C:\\DIR", "FILE.TRN", 1, "C:\\DIR\\FILE.TRN", 0},
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
      {"DIR\\\\", "DIR\\\\", "untouched", 0, "DIR\\\\", 0},
  };
  for (const SplitCase& c : cases) CheckSplit(c, IsWindowsSeparator);
}

TEST(SplitPathTest, PosixCounterparts) {
  const SplitCase cases[] = {
      {"/dir/file.trn", "/dir", "file.trn", 1, "/dir/file.trn", 0},
      {"file.trn", "", "file.trn", 0, "file.trn", 0},
      {"/file", "/", "file", 1, "/file", 0},
      {"/dir/", "/dir", "", 1, "/dir", 1},
      {"dir/sub/", "dir/sub", "", 1, "dir/sub", 1},
      {"/", "/", "untouched", 0, "/", 0},
      {"", "", "untouched", 0, "", 0},
      // Neither a colon nor a backslash separates here.
      {"C:FILE", "", "C:FILE", 0, "C:FILE", 0},
      {"C:\\DIR\\FILE", "", "C:\\DIR\\FILE", 0, "C:\\DIR\\FILE", 0},
      {"a:b/c\\d", "a:b", "c\\d", 1, "a:b/c\\d", 0},
  };
  for (const SplitCase& c : cases) CheckSplit(c, IsPlatformSeparator);
  // The build's SplitPath is the POSIX one.
  char path[] = "x/y";
  char name[8];
  EXPECT_EQ(SplitPath(path, name, 0), 1u);
  EXPECT_STREQ(path, "x");
  EXPECT_STREQ(name, "y");
}

TEST(SplitPathTest, NameMayBeOmitted) {
  char path[] = "/dir/file";
  EXPECT_EQ(SplitPath(path, nullptr, 0), 1u);
  EXPECT_STREQ(path, "/dir");
}

// ---- JoinPath ----

TEST(JoinPathTest, InsertsOneSeparatorWhereNeeded) {
  char buffer[64];
  strcpy(buffer, "dir");
  EXPECT_EQ(JoinPath(buffer, "A.TRN"), buffer);
  EXPECT_STREQ(buffer, "dir/A.TRN");
  strcpy(buffer, "dir/");
  EXPECT_STREQ(JoinPath(buffer, "A.TRN"), "dir/A.TRN");
  strcpy(buffer, "");
  EXPECT_STREQ(JoinPath(buffer, "A.TRN"), "A.TRN");
  strcpy(buffer, "/");
  EXPECT_STREQ(JoinPath(buffer, "A.TRN"), "/A.TRN");
}

TEST(JoinPathTest, WindowsSetKeepsDriveRelativePaths) {
  char buffer[64];
  strcpy(buffer, "C:");
  EXPECT_STREQ(JoinPathWith(buffer, "F", IsWindowsSeparator, WindowsSeparator), "C:F");
  strcpy(buffer, "C:\\DIR");
  EXPECT_STREQ(JoinPathWith(buffer, "F", IsWindowsSeparator, WindowsSeparator), "C:\\DIR\\F");
  strcpy(buffer, "C:\\");
  EXPECT_STREQ(JoinPathWith(buffer, "F", IsWindowsSeparator, WindowsSeparator), "C:\\F");
}

// ---- CheckAccess and directories ----

TEST(DirectoryTest, CheckAccessCodes) {
  ScratchDir dir;
  EXPECT_EQ(CheckAccess(dir.path().c_str(), 0), ResultOk);
  EXPECT_EQ(CheckAccess((dir / "missing").c_str(), 0), ResultOpenFailed);
  EXPECT_EQ(CheckAccess((dir / "missing/below").c_str(), 0), ResultOpenFailed);
  if (geteuid() != 0) {
    std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    std::ofstream(locked + "/inside") << "x";
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(CheckAccess((locked + "/inside").c_str(), 0), ResultAccessDenied);
    chmod(locked.c_str(), 0700);
  }
}

TEST(DirectoryTest, MakeDirectoryFailsOnExistingOrOrphan) {
  ScratchDir dir;
  EXPECT_EQ(MakeDirectory((dir / "one").c_str()), ResultOk);
  EXPECT_EQ(MakeDirectory((dir / "one").c_str()), ResultMkdirFailed);
  EXPECT_EQ(MakeDirectory((dir / "a/b").c_str()), ResultMkdirFailed);
}

TEST(DirectoryTest, MakeDirectoriesCreatesThreeLevels) {
  ScratchDir dir;
  std::string deep = dir / "a/b/c";
  EXPECT_EQ(MakeDirectories(deep.c_str()), ResultOk);
  struct stat info;
  ASSERT_EQ(stat(deep.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  // Already there: nothing to do.
  EXPECT_EQ(MakeDirectories(deep.c_str()), ResultOk);
  EXPECT_EQ(MakeDirectories((dir / "a/b/c/d/").c_str()), ResultOk);
  ASSERT_EQ(stat((dir / "a/b/c/d").c_str(), &info), 0);
}

TEST(DirectoryTest, MakeDirectoriesRelativeToTheCurrentDirectory) {
  ScratchDir dir;
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(MakeDirectories("x/y/z"), ResultOk);
  struct stat info;
  EXPECT_EQ(stat("x/y/z", &info), 0);
  ASSERT_EQ(chdir(saved), 0);
}

TEST(DirectoryTest, MakeDirectoriesRefusals) {
  ScratchDir dir;
  std::ofstream(dir / "file") << "x";
  EXPECT_EQ(MakeDirectories((dir / "file").c_str()), ResultMkdirFailed);
  EXPECT_EQ(MakeDirectories((dir / "file/sub/deeper").c_str()), ResultMkdirFailed);
  std::string longPath = dir.path().string() + "/" + std::string(260, 'd');
  EXPECT_EQ(MakeDirectories(longPath.c_str()), ResultInvalidArgument);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"file"});
}

}  // namespace
}  // namespace varnfile
