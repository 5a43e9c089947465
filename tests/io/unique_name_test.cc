#include "io/unique_name.h"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "io/clock.h"
#include "io/paths.h"
#include "io/scratch_dir.h"
#include "platform/posix_clock.h"

namespace varnfile {
namespace {

// With the clock at 1,000 s and 250 ms, the generator is seeded with 10,005
// and its first number is 0x1B11D81E (top nibble 1: first in its second).
constexpr uint32_t FirstNumber = 0x1B11D81E;
uint32_t procCalls = 0;

uint32_t ReturnParam(uint32_t, uint32_t procParam) { return procParam; }
uint32_t PlusFive(uint32_t previous, uint32_t) { return previous + 5; }
uint32_t CountedZero(uint32_t, uint32_t) { return ++procCalls, 0; }
uint32_t CountedSeven(uint32_t previous, uint32_t) {
  EXPECT_EQ(previous, ++procCalls == 1 ? 0u : 7u);
  return 7;
}

class UniqueNameTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }
  void TearDown() override { PlatformClearClockOverride(); }
  void Restart() {
    state_ = LibraryState{};
    ResetClockReading();
    ResetUniqueNumberGenerator();
    PlatformSetClockOverride(1000, 250);
    procCalls = 0;
  }
  // Creates with the given arguments; returns the code, the path in *path.
  ResultCode Create(const std::string& directory, const char* extension, const char* prefix = nullptr,
                    NameSequenceProc proc = nullptr, uint32_t procParam = 0, std::string* path = nullptr) {
    char out[MaxPathLength + 1] = "";
    int32_t descriptor = -1;
    ResultCode rc = CreateUniqueFile(&state_, directory.c_str(), extension, prefix, proc, procParam, out,
                                     &descriptor);
    if (rc == ResultOk) {
      EXPECT_GE(descriptor, 0);
      close(descriptor);
    } else {
      EXPECT_EQ(descriptor, -1);
    }
    if (path != nullptr) *path = out;
    return rc;
  }
  ScratchDir dir_;
  LibraryState state_;
};

TEST_F(UniqueNameTest, GeneratorCountsWithinTheSecond) {
  EXPECT_EQ(MakeUniqueNumber(&state_), FirstNumber);
  EXPECT_NE(MakeUniqueNumber(&state_) & 0x0FFFFFFF, FirstNumber & 0x0FFFFFFF);
  for (uint32_t i = 3; i <= 17; ++i) EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, i & 15) << i;
  PlatformSetClockOverride(1001, 0);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 1u);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 2u);
}

TEST_F(UniqueNameTest, NamesFromAFreshGenerator) {
  struct Case {
    std::string directory;
    const char *extension, *prefix;
    NameSequenceProc proc;
    uint32_t param;
    const char* name;
  };
  const std::string d = dir_.path().string();
  const Case cases[] = {
      {d, "trn", nullptr, nullptr, 0, "1B11D81E.TRN"},
      {d, "TRN", nullptr, nullptr, 0, "1B11D81F.TRN"},  // the first candidate exists now
      {d + "/", "", nullptr, nullptr, 0, "1B11D81E."},
      {d, nullptr, nullptr, nullptr, 0, "1B11D81E"},
      {d, "ABCDEF", nullptr, nullptr, 0, "1B11D81E.ABCDEF"},  // 15 characters
      // 0x1B11D81E >> 6 is 7,096,160: "483fk" in base 36.
      {d, "dat", "ab", nullptr, 0, "AB483FK.DAT"},
      {d, "x", "q", ReturnParam, 35, "Q0000Z.X"},
      {d, "x", "q", ReturnParam, 60466176, "Q10000.X"},  // 36^5 is "100000": five stay
      {d, "x", "q", ReturnParam, 0xFFFFFFFF, "Q1Z141.X"},  // "1z141z3"
      {d, nullptr, "ABCDEFGHIJ", ReturnParam, 1, "ABCDEFGHIJ00001"},
  };
  for (const Case& c : cases) {
    Restart();
    std::string path;
    ASSERT_EQ(Create(c.directory, c.extension, c.prefix, c.proc, c.param, &path), ResultOk) << c.name;
    EXPECT_EQ(path, dir_ / c.name);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    WriteFile(path, "kept");
  }
  EXPECT_EQ(ReadFile(dir_ / "1B11D81E.TRN"), "kept");
  // Existing candidates are skipped and kept; a proc supplies every number.
  WriteFile(dir_ / "00000005.T", "a");
  WriteFile(dir_ / "0000000A.T", "b");
  std::string path;
  ASSERT_EQ(Create(d, "t", nullptr, PlusFive, 0, &path), ResultOk);
  EXPECT_EQ(path, dir_ / "0000000F.T");
  EXPECT_EQ(ReadFile(dir_ / "00000005.T") + ReadFile(dir_ / "0000000A.T"), "ab");
  // Outputs are optional.
  Restart();
  EXPECT_EQ(CreateUniqueFile(&state_, d.c_str(), "U", nullptr, nullptr, 0, nullptr, nullptr), ResultOk);
  EXPECT_TRUE(Exists(dir_ / "1B11D81E.U"));
}

TEST_F(UniqueNameTest, NullAndEmptyDirectoryMeanTheCurrentOne) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  char out[MaxPathLength + 1];
  EXPECT_EQ(CreateUniqueFile(&state_, nullptr, "A", nullptr, nullptr, 0, out, nullptr), ResultOk);
  EXPECT_STREQ(out, "1B11D81E.A");
  EXPECT_EQ(Create("", "B", nullptr, nullptr, 0, nullptr), ResultOk);
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"1B11D81E.A", "24B30E69.B"}));
}

TEST_F(UniqueNameTest, RealClockNamesFollowThePattern) {
  PlatformClearClockOverride();
  std::string first, second;
  ASSERT_EQ(Create(dir_.path().string(), "Trn", nullptr, nullptr, 0, &first), ResultOk);
  ASSERT_EQ(Create(dir_.path().string(), "Trn", nullptr, nullptr, 0, &second), ResultOk);
  first = first.substr(first.rfind('/') + 1);
  EXPECT_TRUE(std::regex_match(first, std::regex("1[0-9A-F]{7}\\.TRN"))) << first;
  EXPECT_NE(first, second.substr(second.rfind('/') + 1));
}

TEST_F(UniqueNameTest, RefusalsCreateNothing) {
  const std::string d = dir_.path().string();
  // A directory that leaves room for exactly 259 bytes with "/" and 12.
  std::string fits = d + "/" + std::string(259 - 13 - d.size() - 1, 'd');
  ASSERT_EQ(mkdir(fits.c_str(), 0777), 0);
  std::string path;
  EXPECT_EQ(Create(fits, "TRN", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path.size(), 259u);
  procCalls = 0;
  // 8 digits + "." + 7 = 16; 10-letter prefix + 5 digits + ".X" = 17.
  EXPECT_EQ(Create(d, "ABCDEFG", nullptr, CountedZero), ResultInvalidArgument);
  EXPECT_EQ(Create(d, "X", "ABCDEFGHIJ", CountedZero), ResultInvalidArgument);
  EXPECT_EQ(Create(d, nullptr, "ABCDEFGHIJK", CountedZero), ResultInvalidArgument);
  EXPECT_EQ(Create(fits + "e", "TRN", nullptr, CountedZero), ResultInvalidArgument);
  EXPECT_EQ(Create(std::string(300, 'x'), "TRN", nullptr, CountedZero), ResultInvalidArgument);
  EXPECT_EQ(procCalls, 0u);
  EXPECT_EQ(Create(d, "T", nullptr, CountedZero), ResultNoUniqueName);
  EXPECT_EQ(procCalls, 1u) << "a proc returning 0 stops at once";
  EXPECT_EQ(Create(dir_ / "absent", "T"), ResultCreateFailed);
  WriteFile(dir_ / "00000007.T", "seven");
  procCalls = 0;
  EXPECT_EQ(Create(d, "T", nullptr, CountedSeven), ResultNoUniqueName);
  EXPECT_EQ(procCalls, 10001u);
  EXPECT_EQ(ReadFile(dir_ / "00000007.T"), "seven");
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"00000007.T", fits.substr(d.size() + 1)}));
}

}  // namespace
}  // namespace varnfile
