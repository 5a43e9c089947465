#include "io/unique_name.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
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
constexpr int64_t SeedSeconds = 1000;
constexpr uint32_t SeedMilliseconds = 250;
constexpr uint32_t FirstNumber = 0x1B11D81E;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class UniqueNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = LibraryState{};
    ResetClockReading();
    ResetUniqueNumberGenerator();
    PlatformSetClockOverride(SeedSeconds, SeedMilliseconds);
    procCalls_ = 0;
  }
  void TearDown() override { PlatformClearClockOverride(); }

  // Creates with the given arguments; returns the code, the path in *path.
  ResultCode Create(const char* directory, const char* extension, const char* prefix,
                    NameSequenceProc proc, uint32_t procParam, std::string* path) {
    char out[MaxPathLength + 1] = "";
    int32_t descriptor = -1;
    ResultCode rc =
        CreateUniqueFile(&state_, directory, extension, prefix, proc, procParam, out, &descriptor);
    if (rc == ResultOk) {
      EXPECT_GE(descriptor, 0);
      close(descriptor);
    } else {
      EXPECT_EQ(descriptor, -1);
    }
    if (path != nullptr) *path = out;
    return rc;
  }

  LibraryState state_;

 public:
  static uint32_t procCalls_;
};

uint32_t UniqueNameTest::procCalls_ = 0;

// ---- the generator ----

TEST_F(UniqueNameTest, GeneratorIsSeededFromTheClock) {
  EXPECT_EQ(MakeUniqueNumber(&state_), FirstNumber);
  // The next numbers of the same second: the generator moves on, the count
  // in the top nibble rises.
  uint32_t second = MakeUniqueNumber(&state_);
  EXPECT_EQ(second >> 28, 2u);
  EXPECT_NE(second & 0x0FFFFFFF, FirstNumber & 0x0FFFFFFF);
}

TEST_F(UniqueNameTest, SameSecondCountWrapsAndRestarts) {
  for (uint32_t i = 1; i <= 17; ++i) {
    EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, i & 15) << "number " << i;
  }
  PlatformSetClockOverride(SeedSeconds + 1, 0);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 1u);
  EXPECT_EQ(MakeUniqueNumber(&state_) >> 28, 2u);
}

// ---- names ----

TEST_F(UniqueNameTest, HexNameInDirectory) {
  ScratchDir dir;
  std::string path;
  ASSERT_EQ(Create(dir.path().c_str(), "trn", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "1B11D81E.TRN");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
}

TEST_F(UniqueNameTest, RealClockNamesFollowThePattern) {
  PlatformClearClockOverride();
  ScratchDir dir;
  const std::regex pattern("[0-9A-F]{8}\\.TRN");
  std::string first;
  std::string second;
  ASSERT_EQ(Create(dir.path().c_str(), "Trn", nullptr, nullptr, 0, &first), ResultOk);
  ASSERT_EQ(Create(dir.path().c_str(), "Trn", nullptr, nullptr, 0, &second), ResultOk);
  std::string name1 = first.substr(first.rfind('/') + 1);
  std::string name2 = second.substr(second.rfind('/') + 1);
  EXPECT_TRUE(std::regex_match(name1, pattern)) << name1;
  EXPECT_TRUE(std::regex_match(name2, pattern)) << name2;
  EXPECT_EQ(name1[0], '1');
  EXPECT_NE(name1, name2);
}

TEST_F(UniqueNameTest, TrailingSeparatorAndExtensionForms) {
  ScratchDir dir;
  std::string withSlash = dir.path().string() + "/";
  std::string path;
  ASSERT_EQ(Create(withSlash.c_str(), "", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "1B11D81E.");
  ASSERT_EQ(Create(dir.path().c_str(), nullptr, nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "24B30E69");
}

TEST_F(UniqueNameTest, NullAndEmptyDirectoryMeanTheCurrentOne) {
  ScratchDir dir;
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::string path;
  EXPECT_EQ(Create(nullptr, "A", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, "1B11D81E.A");
  EXPECT_EQ(Create("", "B", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, "24B30E69.B");
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"1B11D81E.A", "24B30E69.B"}));
}

TEST_F(UniqueNameTest, PrefixNameUsesFiveBase36Digits) {
  ScratchDir dir;
  std::string path;
  // 0x1B11D81E >> 6 is 7,096,160: "483fk" in base 36.
  ASSERT_EQ(Create(dir.path().c_str(), "dat", "ab", nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "AB483FK.DAT");
}

uint32_t ReturnParam(uint32_t, uint32_t procParam) { return procParam; }

TEST_F(UniqueNameTest, PrefixDigitsArePaddedAndCut) {
  ScratchDir dir;
  std::string path;
  ASSERT_EQ(Create(dir.path().c_str(), "x", "q", ReturnParam, 35, &path), ResultOk);
  EXPECT_EQ(path, dir / "Q0000Z.X");
  // 36^5 has six digits, "100000"; the first five stay.
  ASSERT_EQ(Create(dir.path().c_str(), "x", "q", ReturnParam, 60466176, &path), ResultOk);
  EXPECT_EQ(path, dir / "Q10000.X");
  ASSERT_EQ(Create(dir.path().c_str(), "x", "q", ReturnParam, 0xFFFFFFFF, &path), ResultOk);
  EXPECT_EQ(path, dir / "Q1Z141.X");  // 4294967295 is "1z141z3"
}

TEST_F(UniqueNameTest, ExistingCandidateIsSkippedAndKept) {
  ScratchDir dir;
  std::ofstream(dir / "1B11D81E.TRN") << "precious";
  std::string path;
  ASSERT_EQ(Create(dir.path().c_str(), "TRN", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "1B11D81F.TRN");
  EXPECT_EQ(ReadFile(dir / "1B11D81E.TRN"), "precious");
}

uint32_t Sequence(uint32_t previous, uint32_t) { return previous + 5; }

TEST_F(UniqueNameTest, ProcSuppliesEveryNumber) {
  ScratchDir dir;
  std::ofstream(dir / "00000005.T") << "a";
  std::ofstream(dir / "0000000A.T") << "b";
  std::string path;
  ASSERT_EQ(Create(dir.path().c_str(), "t", nullptr, Sequence, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "0000000F.T");
  EXPECT_EQ(ReadFile(dir / "00000005.T"), "a");
  EXPECT_EQ(ReadFile(dir / "0000000A.T"), "b");
}

// ---- refusals ----

uint32_t CountedZero(uint32_t, uint32_t) {
  ++UniqueNameTest::procCalls_;
  return 0;
}

uint32_t CountedSeven(uint32_t previous, uint32_t) {
  ++UniqueNameTest::procCalls_;
  EXPECT_EQ(previous, UniqueNameTest::procCalls_ == 1 ? 0u : 7u);
  return 7;
}

TEST_F(UniqueNameTest, ProcReturningZeroStopsAtOnce) {
  ScratchDir dir;
  EXPECT_EQ(Create(dir.path().c_str(), "T", nullptr, CountedZero, 0, nullptr),
            ResultNoUniqueName);
  EXPECT_EQ(procCalls_, 1u);
  EXPECT_TRUE(dir.List().empty());
}

TEST_F(UniqueNameTest, GivesUpAfter10001Candidates) {
  ScratchDir dir;
  std::ofstream(dir / "00000007.T") << "seven";
  EXPECT_EQ(Create(dir.path().c_str(), "T", nullptr, CountedSeven, 0, nullptr),
            ResultNoUniqueName);
  EXPECT_EQ(procCalls_, 10001u);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"00000007.T"});
  EXPECT_EQ(ReadFile(dir / "00000007.T"), "seven");
}

TEST_F(UniqueNameTest, NamesOverFifteenCharactersAreRefused) {
  ScratchDir dir;
  const char* d = dir.path().c_str();
  // 8 digits + "." + 7 = 16; 10-letter prefix + 5 digits + ".X" = 17.
  EXPECT_EQ(Create(d, "ABCDEFG", nullptr, CountedZero, 0, nullptr), ResultInvalidArgument);
  EXPECT_EQ(Create(d, "X", "ABCDEFGHIJ", CountedZero, 0, nullptr), ResultInvalidArgument);
  EXPECT_EQ(Create(d, nullptr, "ABCDEFGHIJK", CountedZero, 0, nullptr), ResultInvalidArgument);
  EXPECT_EQ(procCalls_, 0u);
  EXPECT_TRUE(dir.List().empty());
  // Exactly 15 is fine.
  std::string path;
  EXPECT_EQ(Create(d, "ABCDEF", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path, dir / "1B11D81E.ABCDEF");
  EXPECT_EQ(Create(d, nullptr, "ABCDEFGHIJ", ReturnParam, 1, &path), ResultOk);
  EXPECT_EQ(path, dir / "ABCDEFGHIJ00001");
}

TEST_F(UniqueNameTest, PathsOverTheLimitAreRefused) {
  ScratchDir dir;
  std::string base = dir.path().string() + "/";
  // A directory that leaves room for exactly 259 bytes with "/" and 12.
  std::string fits = base + std::string(259 - 13 - base.size(), 'd');
  ASSERT_EQ(mkdir(fits.c_str(), 0777), 0);
  std::string path;
  EXPECT_EQ(Create(fits.c_str(), "TRN", nullptr, nullptr, 0, &path), ResultOk);
  EXPECT_EQ(path.size(), 259u);
  std::string tooLong = fits + "e";
  EXPECT_EQ(Create(tooLong.c_str(), "TRN", nullptr, CountedZero, 0, nullptr),
            ResultInvalidArgument);
  std::string huge(300, 'x');
  EXPECT_EQ(Create(huge.c_str(), "TRN", nullptr, CountedZero, 0, nullptr), ResultInvalidArgument);
  EXPECT_EQ(procCalls_, 0u);
}

TEST_F(UniqueNameTest, MissingDirectoryGives275) {
  ScratchDir dir;
  EXPECT_EQ(Create((dir / "absent").c_str(), "T", nullptr, nullptr, 0, nullptr),
            ResultCreateFailed);
  EXPECT_TRUE(dir.List().empty());
}

TEST_F(UniqueNameTest, OutputsAreOptional) {
  ScratchDir dir;
  EXPECT_EQ(CreateUniqueFile(&state_, dir.path().c_str(), "T", nullptr, nullptr, 0, nullptr,
                             nullptr),
            ResultOk);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"1B11D81E.T"});
}

}  // namespace
}  // namespace varnfile
