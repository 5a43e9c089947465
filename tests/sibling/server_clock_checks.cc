// The server clock against real sibling libraries. ctest runs each group
// with the loader's search path on one variant (see tests/sibling.cmake).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "io/clock.h"
#include "platform/posix_clock.h"
#include "store/store_open.h"

namespace varnfile {
namespace {

constexpr int64_t LocalSeconds = 1000000000;  // 2001-09-09 01:46:40 UTC

class SiblingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = LibraryState{};
    ResetClockReading();
    PlatformSetClockOverride(LocalSeconds, 0);
  }
  void TearDown() override { PlatformClearClockOverride(); }

  void ExpectLocalReading() {
    DateStamp date;
    TimeStamp time;
    ReadClock(&state_, &date, &time);
    EXPECT_EQ(date.month, 9);
    EXPECT_EQ(date.day, 9);
    EXPECT_EQ(date.year, 101);
    EXPECT_EQ(time.hour, 1);
    EXPECT_EQ(time.minute, 46);
    EXPECT_EQ(time.second, 40);
  }

  LibraryState state_;
};

// The test hooks of the controlled variant, reached through the same
// loaded copy that the library uses.
struct Hooks {
  void (*setAnswer)(uint16_t, const uint8_t*);
  uint32_t (*lastParam)();
  uint32_t (*callCount)();
};

Hooks LoadHooks() {
  void* library = dlopen("libqz3net0.so", RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(library, nullptr) << "the library should have loaded it";
  Hooks hooks = {};
  if (library == nullptr) return hooks;
  hooks.setAnswer = reinterpret_cast<void (*)(uint16_t, const uint8_t*)>(
      dlsym(library, "QzTestSetAnswer"));
  hooks.lastParam = reinterpret_cast<uint32_t (*)()>(dlsym(library, "QzTestLastParam"));
  hooks.callCount = reinterpret_cast<uint32_t (*)()>(dlsym(library, "QzTestCallCount"));
  dlclose(library);  // drops only the reference RTLD_NOLOAD took
  return hooks;
}

// ---- the controlled sibling ----

using ControlledSibling = SiblingTest;

TEST_F(ControlledSibling, ServerDateAndTimeAreUsedAndParamPassed) {
  SetDateTimeOptions(&state_, ServerClock, 77);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const uint8_t answer[6] = {124, 12, 31, 23, 59, 58};
  hooks.setAnswer(0, answer);

  DateStamp date;
  TimeStamp time;
  EXPECT_EQ(ReadClock(&state_, &date, &time), 1u);
  EXPECT_EQ(date.month, 12);
  EXPECT_EQ(date.day, 31);
  EXPECT_EQ(date.year, 124);
  EXPECT_EQ(time.hour, 23);
  EXPECT_EQ(time.minute, 59);
  EXPECT_EQ(time.second, 58);
  EXPECT_EQ(hooks.lastParam(), 77u);
  // The same answer again is no change.
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 0u);

  ServerDateTime out;
  EXPECT_EQ(GetServerDateTime(5, &out), 1u);
  EXPECT_EQ(out.year, 124);
  EXPECT_EQ(out.month, 12);
  EXPECT_EQ(out.day, 31);
  EXPECT_EQ(out.second, 58);
  EXPECT_EQ(hooks.lastParam(), 5u);
}

TEST_F(ControlledSibling, NewHeadersCarryTheServerStamp) {
  SetDateTimeOptions(&state_, ServerClock, 0);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const uint8_t answer[6] = {99, 11, 22, 13, 14, 15};  // 1999-11-22 13:14:15
  hooks.setAnswer(0, answer);
  FileHeader header;
  BuildNewHeader(&header, 2, "dir/SERVER.TRN", &state_);
  const uint8_t stamp[6] = {11, 22, 99, 13, 14, 15};
  EXPECT_EQ(memcmp(header.bytes + 36, stamp, sizeof stamp), 0);
  EXPECT_EQ(memcmp(header.bytes + 20, "SERVER.TRN", 11), 0);
}

TEST_F(ControlledSibling, CreatedFileIsStampedAndAgedByTheServer) {
  SetDateTimeOptions(&state_, ServerClock, 0);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const uint8_t created[6] = {110, 1, 15, 8, 0, 0};  // 2010-01-15 08:00:00
  hooks.setAnswer(0, created);
  const char* base = std::getenv("VARNFILE_TEST_TMP");
  std::filesystem::path folder = base != nullptr ? base : "/tmp";
  std::filesystem::create_directories(folder);
  std::string path = (folder / ("server." + std::to_string(getpid()) + ".trn")).string();

  Store store;
  ASSERT_EQ(StoreOpen(&state_, &store, nullptr, nullptr, path.c_str(), nullptr, 0, CreateNamed, 2,
                      nullptr),
            ResultOk);
  ASSERT_EQ(StoreClose(&store, 0), ResultOk);
  uint8_t header[174];
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fread(header, 1, sizeof header, file), sizeof header);
  fclose(file);
  const uint8_t stamp[6] = {1, 15, 110, 8, 0, 0};
  EXPECT_EQ(memcmp(header + 36, stamp, sizeof stamp), 0);

  // The local clock says 2001, but the server's says 30 days later.
  const uint8_t later[6] = {110, 2, 14, 8, 0, 0};
  hooks.setAnswer(0, later);
  EXPECT_EQ(StoreOpen(&state_, &store, nullptr, nullptr, path.c_str(), nullptr, 0, OpenReadOnly,
                      0, nullptr),
            ResultAged);
  const uint8_t earlier[6] = {110, 2, 14, 7, 59, 59};
  hooks.setAnswer(0, earlier);
  ASSERT_EQ(StoreOpen(&state_, &store, nullptr, nullptr, path.c_str(), nullptr, 0, OpenReadOnly,
                      0, nullptr),
            ResultOk);
  EXPECT_EQ(StoreClose(&store, 0), ResultOk);
  std::filesystem::remove(path);
}

TEST_F(ControlledSibling, FailedAnswerFallsBackForThatReading) {
  SetDateTimeOptions(&state_, ServerClock, 1);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const uint8_t answer[6] = {120, 6, 15, 8, 30, 0};
  hooks.setAnswer(3, answer);
  ExpectLocalReading();
  hooks.setAnswer(0, answer);
  DateStamp date;
  ReadClock(&state_, &date, nullptr);
  EXPECT_EQ(date.month, 6);
  EXPECT_EQ(date.day, 15);
}

TEST_F(ControlledSibling, LocalModeNeverAsksTheServer) {
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.callCount, nullptr);
  uint32_t calls = hooks.callCount();
  SetDateTimeOptions(&state_, 2, 9);
  ExpectLocalReading();
  EXPECT_EQ(hooks.callCount(), calls);
}

TEST_F(ControlledSibling, AgingMeasuresAgainstTheServerClock) {
  SetDateTimeOptions(&state_, ServerClock, 0);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const DateStamp stampDate = {3, 1, 120};
  const TimeStamp stampTime = {12, 0, 0};
  const AgingLimit limit = {30, 0, 0, 0};
  const uint8_t notYet[6] = {120, 3, 31, 11, 59, 59};  // 30 days less 1 s
  hooks.setAnswer(0, notYet);
  EXPECT_EQ(IsAged(&state_, &stampDate, &stampTime, &limit), 0u);
  const uint8_t due[6] = {120, 3, 31, 12, 0, 0};
  hooks.setAnswer(0, due);
  EXPECT_EQ(IsAged(&state_, &stampDate, &stampTime, &limit), 1u);
}

TEST_F(ControlledSibling, UnloadThenLoadAgain) {
  ASSERT_EQ(LoadServerClock(), 1u);
  UnloadServerClock();
  UnloadServerClock();
  EXPECT_EQ(LoadServerClock(), 1u);
}

// ---- the variant that answers without a day ----

using DayZeroSibling = SiblingTest;

TEST_F(DayZeroSibling, ZeroDayFallsBackToTheLocalClock) {
  SetDateTimeOptions(&state_, ServerClock, 3);
  ExpectLocalReading();
  EXPECT_EQ(LoadServerClock(), 1u);
  ServerDateTime out;
  EXPECT_EQ(GetServerDateTime(3, &out), 0u);
  EXPECT_EQ(out.year, 126);  // what it answered, day 0 included
  EXPECT_EQ(out.day, 0);
}

// ---- a library that appears while the program runs ----

using LateSibling = SiblingTest;

TEST_F(LateSibling, LoadIsRetriedAtEveryReading) {
  const char* source = std::getenv("VARNFILE_SIBLING_SOURCE");
  const char* searchPath = std::getenv("LD_LIBRARY_PATH");
  ASSERT_NE(source, nullptr);
  ASSERT_NE(searchPath, nullptr);
  std::filesystem::path target = std::filesystem::path(searchPath) / "libqz3net0.so";
  std::filesystem::remove(target);

  SetDateTimeOptions(&state_, ServerClock, 0);
  ExpectLocalReading();
  ExpectLocalReading();
  EXPECT_EQ(LoadServerClock(), 0u);

  std::filesystem::copy_file(source, target);
  DateStamp date;
  TimeStamp time;
  ReadClock(&state_, &date, &time);
  EXPECT_EQ(date.year, 101);  // the sibling's default answer, 2001-02-03 04:05:06
  EXPECT_EQ(date.month, 2);
  EXPECT_EQ(date.day, 3);
  EXPECT_EQ(time.hour, 4);
  EXPECT_EQ(time.second, 6);
  UnloadServerClock();
  std::filesystem::remove(target);
}

}  // namespace
}  // namespace varnfile
