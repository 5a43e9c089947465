// The clock, paths and invented file names: readings and their fallback,
// aging, paths split and checked, and the unique
// names' generator, forms and length limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "io/io_state.h"
#include "io/clock.h"
#include "io/paths.h"
#include "io/scratch_dir.h"
#include "io/unique_name.h"
#include "os_util.h"
#include "platform/system_clock.h"

namespace varnfile {
namespace {

constexpr int64_t March1Noon = 1583064000;  // 2020-03-01 12:00:00 UTC
constexpr int64_t Day = 86400;
// With the clock at 1,000 s and 250 ms, the generator is seeded with 10,005
// and its first number is 0x1B11D81E (top nibble 1: first in its second).
constexpr uint32_t FirstNumber = 0x1B11D81E;
uint32_t procCalls = 0;

// A fresh library state, clock reading and name generator, the clock at
// 1,000 s and 250 ms in UTC, and a scratch folder.
class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    varnfile_test::UseUtc();
    Restart();
  }
  void TearDown() override { PlatformClearClockOverride(); }
  void Restart() {
    state_ = IoState{};
    ResetClockReading();
    ResetUniqueNumberGenerator();
    PlatformSetClockOverride(1000, 250);
    procCalls = 0;
  }
  // Creates with the given arguments; returns the code, the path in *path.
  ResultCode Create(const std::string& directory, const char* extension,
                    const char* prefix = nullptr, NameSequenceProc proc = nullptr,
                    uint32_t procParam = 0, std::string* path = nullptr) {
    char out[MaxPathLength + 1] = "";
    int32_t descriptor = -1;
    ResultCode rc = CreateUniqueFile(&state_, directory.c_str(), extension, prefix, proc, procParam,
                                     out, &descriptor);
    EXPECT_EQ(descriptor >= 0, rc == ResultOk);
    if (descriptor >= 0) close(descriptor);
    if (path != nullptr) *path = out;
    return rc;
  }
  ScratchDir dir_;
  IoState state_;
};
using UniqueNameTest = ClockTest;

// (Readings in new headers' stamps and the fallback to the local clock: the
// store open and server clock tests.)
TEST_F(ClockTest, AgingBoundaries) {
  const DateStamp march1 = {3, 1, 120}, zeroDate = {0, 0, 120}, wild = {255, 255, 255};
  const TimeStamp noon = {12, 0, 0}, midnight = {0, 0, 0}, wildTime = {255, 255, 255};
  const AgingLimit thirty = {30, 0, 0, 0}, zero = {0, 0, 0, 0}, mixed = {1, 2, 3, 4};
  const AgingLimit huge = {49711, 0, 0, 0};  // 4,295,030,400 s wraps to 63,104 in 32 bits
  const int64_t nov30 = 1575072000;          // month 0, day 0 of 2020 is 2019-11-30
  const struct {
    int64_t now; DateStamp date; TimeStamp time; AgingLimit limit; uint32_t aged;
  } cases[] = {
      {March1Noon + 30 * Day - 1, march1, noon, thirty, 0}, {March1Noon + 30 * Day, march1, noon, thirty, 1},
      {March1Noon + 93783, march1, noon, mixed, 0}, {March1Noon + 93784, march1, noon, mixed, 1},  // 93,784 s
      {March1Noon - 1, march1, noon, zero, 0},  // stamped in the future
      {March1Noon, march1, noon, zero, 0}, {March1Noon + 1, march1, noon, zero, 1},
      {March1Noon + 63103, march1, noon, huge, 0}, {March1Noon + 63104, march1, noon, huge, 1},
      {nov30 + 30 * Day - 1, zeroDate, midnight, thirty, 0},
      {nov30 + 30 * Day, zeroDate, midnight, thirty, 1},
      {March1Noon, wild, wildTime, thirty, 0},
  };
  for (const auto& c : cases) {
    PlatformSetClockOverride(c.now, 0);
    EXPECT_EQ(IsAged(&state_, &c.date, &c.time, &c.limit), c.aged) << "now " << c.now - March1Noon;
  }
}

// One path split both ways: as a name (dirOnly 0) and as a directory
// (dirOnly 1). Only "/" separates; on Windows ':', '/' and '\' do (the rows
// run there with '\' for '/'), and a drive's colon stays with the directory.
TEST(PathsTest, SplitPath) {
  const struct {  // as a name: the path left, the name, the result; as a directory: path left, result
    const char *path, *pathAfter, *name; uint32_t result; const char* dirPathAfter; uint32_t dirResult;
  } cases[] = {
      {"/dir/file.trn", "/dir", "file.trn", 1, "/dir/file.trn", 0},
      {"file.trn", "", "file.trn", 0, "file.trn", 0},
      {"/file", "/", "file", 1, "/file", 0},
      {"/dir/", "/dir", "", 1, "/dir", 1},
      {"/", "/", "untouched", 0, "/", 0},
      {"", "", "untouched", 0, "", 0},
#if defined(_WIN32)
      {"C:FILE", "C:", "FILE", 1, "C:FILE", 0},
      {"C:/dir/file", "C:/dir", "file", 1, "C:/dir/file", 0},
      {"C:/", "C:/", "untouched", 0, "C:/", 0},
#else
      {"a:b/c\\d", "a:b", "c\\d", 1, "a:b/c\\d", 0},
#endif
  };
  auto native = [](std::string p) {
#if defined(_WIN32)
    std::replace(p.begin(), p.end(), '/', '\\');
#endif
    return p;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char path[64], name[64] = "untouched";
    strcpy(path, native(c.path).c_str());
    EXPECT_EQ(SplitPath(path, name, 0), c.result);
    EXPECT_EQ(path, native(c.pathAfter));
    EXPECT_STREQ(name, c.name);
    strcpy(path, native(c.path).c_str());
    EXPECT_EQ(SplitPath(path, nullptr, 1), c.dirResult);
    EXPECT_EQ(path, native(c.dirPathAfter));
  }
}

// Code page 932 spells some characters with two bytes: a lead byte from
// 0x81-0x9F or 0xE0-0xFC, then a byte that may be 0x5C, the backslash
// (SO, U+30BD, is 83 5C; TABLE, U+8868, 95 5C). Paths are read a character
// at a time under the Windows separators, so such a byte never separates.
bool Cp932Lead(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
constexpr PathSyntax Cp932Paths = {IsWindowsSeparator, Cp932Lead, '\\'};
#define SO "\x83\x5C"
#define TABLE "\x95\x5C"

TEST(PathsTest, TwoByteCharactersEndingInABackslashAreNoSeparators) {
  const struct {  // as in SplitPath above
    const char *path, *pathAfter, *name; uint32_t result; const char* dirPathAfter; uint32_t dirResult;
  } cases[] = {
      {"C:\\dbcs\\" SO, "C:\\dbcs", SO, 1, "C:\\dbcs\\" SO, 0},
      {"C:\\dbcs\\a\\" TABLE ".trn", "C:\\dbcs\\a", TABLE ".trn", 1, "C:\\dbcs\\a\\" TABLE ".trn", 0},
      {TABLE ".trn", "", TABLE ".trn", 0, TABLE ".trn", 0},
      {SO, "", SO, 0, SO, 0},
      {SO "\\", SO, "", 1, SO, 1},      // a real separator after the character: stripped once
      {SO "\\\\", SO "\\\\", "untouched", 0, SO "\\\\", 0},  // a run ends in no name: as after any name
      {SO "\\" TABLE, SO, TABLE, 1, SO "\\" TABLE, 0},
      {SO "/x" TABLE "y", SO, "x" TABLE "y", 1, SO "/x" TABLE "y", 0},
      {"C:" SO, "C:", SO, 1, "C:" SO, 0},  // a drive's colon still stays with the directory
      {"C:" TABLE "\\", "C:" TABLE, "", 1, "C:" TABLE, 1},
      {"dir\\\x83", "dir", "\x83", 1, "dir\\\x83", 0},  // a lead byte that ends the path is one character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char path[64], name[64] = "untouched";
    strcpy(path, c.path);
    EXPECT_EQ(SplitPathWith(path, name, 0, Cp932Paths), c.result);
    EXPECT_STREQ(path, c.pathAfter);
    EXPECT_STREQ(name, c.name);
    strcpy(path, c.path);
    EXPECT_EQ(SplitPathWith(path, nullptr, 1, Cp932Paths), c.dirResult);
    EXPECT_STREQ(path, c.dirPathAfter);
  }
}

// A join adds a backslash unless the directory's last character is a
// separator; a character whose second byte is 0x5C is none.
TEST(PathsTest, JoinsAfterTwoByteCharacters) {
  const struct { const char *directory, *joined; bool endsInSeparator; } cases[] = {
      {"C:\\dbcs\\" SO, "C:\\dbcs\\" SO "\\N.TRN", false},
      {TABLE, TABLE "\\N.TRN", false},
      {SO "\\", SO "\\N.TRN", true},
      {SO "/", SO "/N.TRN", true},
      {"C:", "C:N.TRN", true},  // drive-relative
      {"C:" SO, "C:" SO "\\N.TRN", false},
      {"", "N.TRN", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directory);
    EXPECT_EQ(EndsInSeparatorWith(c.directory, Cp932Paths), c.endsInSeparator);
    char path[64];
    strcpy(path, c.directory);
    EXPECT_STREQ(JoinPathWith(path, "N.TRN", Cp932Paths), c.joined);
  }
}
#undef SO
#undef TABLE

// (Directories made level by level: the store open and file export tests.)
TEST(PathsTest, CheckAccessCodes) {
  ScratchDir dir;
  EXPECT_EQ(CheckAccess(dir.path().string().c_str(), 0), ResultOk);
  EXPECT_EQ(CheckAccess((dir / "missing").c_str(), 0), ResultOpenFailed);
  EXPECT_EQ(CheckAccess((dir / "missing/below").c_str(), 0), ResultOpenFailed);
#if !defined(_WIN32)
  // Windows denies through access control lists, not mode bits: no
  // attribute makes a folder's contents inaccessible.
  if (geteuid() != 0) {
    std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    WriteFile(locked + "/inside", "x");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(CheckAccess((locked + "/inside").c_str(), 0), ResultAccessDenied);
    chmod(locked.c_str(), 0700);
    std::filesystem::remove_all(locked);
  }
#endif
}

uint32_t VARNFILE_CALL Counted(uint32_t, uint32_t procParam) {
  ++procCalls;
  return procParam;
}
uint32_t VARNFILE_CALL PlusFive(uint32_t previous, uint32_t) { return previous + 5; }

TEST_F(UniqueNameTest, GeneratorCountsWithinTheSecond) {
  EXPECT_EQ(MakeUniqueNumber(&state_), FirstNumber);
  EXPECT_NE(MakeUniqueNumber(&state_) & 0x0FFFFFFF, FirstNumber & 0x0FFFFFFF);
  for (uint32_t i = 3; i <= 17; ++i) EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, i & 15) << i;
  PlatformSetClockOverride(1001, 0);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 1u);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 2u);
}

// Each case from a fresh generator. A proc returning 0 stops at once; a
// refusal creates nothing. (Names too long, refused before any candidate,
// and a null or empty directory as the current one: the API's
// NameLimitsBeforeTheDisk and AbortAndDelete.)
TEST_F(UniqueNameTest, NamesAndRefusals) {
  const std::string d = dir_.path().string();
  const struct {
    std::string directory; const char *extension, *prefix; NameSequenceProc proc; uint32_t param;
    ResultCode expected; std::string name;
  } cases[] = {
      {d, "trn", nullptr, nullptr, 0, ResultOk, "1B11D81E.TRN"},
      {d, "TRN", nullptr, nullptr, 0, ResultOk, "1B11D81F.TRN"},  // the first candidate exists now
      {d + "/", "", nullptr, nullptr, 0, ResultOk, "1B11D81E."},
#if defined(_WIN32)
      // Windows drops a name's trailing dot: "1B11D81E." above took this one.
      {d, nullptr, nullptr, nullptr, 0, ResultOk, "1B11D81F"},
#else
      {d, nullptr, nullptr, nullptr, 0, ResultOk, "1B11D81E"},
#endif
      // 0x1B11D81E >> 6 is 7,096,160: "483fk" in base 36.
      {d, "dat", "ab", nullptr, 0, ResultOk, "AB483FK.DAT"},
      {d, "x", "q", Counted, 35, ResultOk, "Q0000Z.X"},
      {d, "x", "q", Counted, 60466176, ResultOk, "Q10000.X"},    // 36^5 is "100000": five stay
      {d, "x", "q", Counted, 0xFFFFFFFF, ResultOk, "Q1Z141.X"},  // "1z141z3"
      {d, nullptr, "ABCDEFGHIJ", Counted, 1, ResultOk, "ABCDEFGHIJ00001"},
      {d, "T", nullptr, Counted, 0, ResultNoUniqueName, ""},
      {dir_ / "absent", "T", nullptr, nullptr, 0, ResultCreateFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.expected));
    Restart();
    std::vector<std::string> before = dir_.List();
    std::string path;
    ASSERT_EQ(Create(c.directory, c.extension, c.prefix, c.proc, c.param, &path), c.expected);
    EXPECT_EQ(procCalls, c.proc != nullptr ? 1u : 0u);
    if (c.expected != ResultOk) {
      EXPECT_EQ(dir_.List(), before);
      continue;
    }
    EXPECT_EQ(path, dir_ / c.name);
    EXPECT_EQ(ReadFile(path), "");
    WriteFile(path, "kept");
  }
  // Existing candidates are skipped and kept; a proc supplies every number,
  // and one that repeats a taken name ends the search.
  WriteFile(dir_ / "00000005.T", "a");
  WriteFile(dir_ / "0000000A.T", "b");
  std::string path;
  ASSERT_EQ(Create(d, "t", nullptr, PlusFive, 0, &path), ResultOk);
  EXPECT_EQ(path, dir_ / "0000000F.T");
  WriteFile(dir_ / "00000007.T", "seven");
  procCalls = 0;
  EXPECT_EQ(Create(d, "T", nullptr, Counted, 7), ResultNoUniqueName);
  EXPECT_EQ(procCalls, 10001u);
  EXPECT_EQ(ReadFile(dir_ / "00000005.T") + ReadFile(dir_ / "0000000A.T") + ReadFile(dir_ / "00000007.T"),
            "abseven");
  EXPECT_EQ(ReadFile(dir_ / "1B11D81E.TRN"), "kept");
}

}  // namespace
}  // namespace varnfile
