// The server clock against real sibling libraries. ctest runs each group
// with the loader's search path on one variant (see tests/sibling.cmake).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/clock.h"
#include "platform/posix_clock.h"
#include "store/store_open.h"

namespace varnfile {
namespace {

class SiblingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = LibraryState{};
    ResetClockReading();
    PlatformSetClockOverride(1000000000, 0);  // 2001-09-09 01:46:40 UTC
  }
  void TearDown() override { PlatformClearClockOverride(); }
  // The stamp bytes of a reading: month, day, year, hour, minute, second.
  std::vector<int> Reading(uint32_t* changed = nullptr) {
    DateStamp d;
    TimeStamp t;
    uint32_t c = ReadClock(&state_, &d, &t);
    if (changed != nullptr) *changed = c;
    return {d.month, d.day, d.year, t.hour, t.minute, t.second};
  }
  const std::vector<int> local_ = {9, 9, 101, 1, 46, 40};
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
  hooks.setAnswer = reinterpret_cast<void (*)(uint16_t, const uint8_t*)>(dlsym(library, "QzTestSetAnswer"));
  hooks.lastParam = reinterpret_cast<uint32_t (*)()>(dlsym(library, "QzTestLastParam"));
  hooks.callCount = reinterpret_cast<uint32_t (*)()>(dlsym(library, "QzTestCallCount"));
  dlclose(library);  // drops only the reference RTLD_NOLOAD took
  return hooks;
}

using ControlledSibling = SiblingTest;

// Answers are year, month, day, hour, minute, second.
TEST_F(ControlledSibling, ServerAnswersStampReadingsHeadersAndAging) {
  ASSERT_EQ(LoadServerClock(), 1u);
  UnloadServerClock();
  UnloadServerClock();
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_TRUE(hooks.setAnswer != nullptr && hooks.callCount != nullptr);
  const uint8_t answer[6] = {124, 12, 31, 23, 59, 58};
  hooks.setAnswer(0, answer);
  // The local mode never asks the server.
  uint32_t calls = hooks.callCount();
  SetDateTimeOptions(&state_, 2, 9);
  EXPECT_EQ(Reading(), local_);
  EXPECT_EQ(hooks.callCount(), calls);

  SetDateTimeOptions(&state_, ServerClock, 77);
  uint32_t changed = 0;
  EXPECT_EQ(Reading(&changed), (std::vector<int>{12, 31, 124, 23, 59, 58}));
  EXPECT_EQ(changed, 1u);
  EXPECT_EQ(hooks.lastParam(), 77u);
  Reading(&changed);
  EXPECT_EQ(changed, 0u) << "the same answer again is no change";
  ServerDateTime out;
  EXPECT_EQ(GetServerDateTime(5, &out), 1u);
  EXPECT_EQ((std::vector<int>{out.year, out.month, out.day, out.second}), (std::vector<int>{124, 12, 31, 58}));
  EXPECT_EQ(hooks.lastParam(), 5u);
  hooks.setAnswer(3, answer);  // a failed answer: the local clock for that reading
  EXPECT_EQ(Reading(), local_);

  const uint8_t created[6] = {99, 11, 22, 13, 14, 15};
  hooks.setAnswer(0, created);
  FileHeader header;
  BuildNewHeader(&header, 2, "dir/SERVER.TRN", &state_);
  EXPECT_EQ(memcmp(header.bytes + 20, "SERVER.TRN\0\0\0\0\0\0\x0B\x16\x63\x0D\x0E\x0F", 22), 0);

  const DateStamp stampDate = {3, 1, 120};
  const TimeStamp stampTime = {12, 0, 0};
  const AgingLimit limit = {30, 0, 0, 0};
  const uint8_t notYet[6] = {120, 3, 31, 11, 59, 59}, due[6] = {120, 3, 31, 12, 0, 0};
  hooks.setAnswer(0, notYet);
  EXPECT_EQ(IsAged(&state_, &stampDate, &stampTime, &limit), 0u);
  hooks.setAnswer(0, due);
  EXPECT_EQ(IsAged(&state_, &stampDate, &stampTime, &limit), 1u);
}

TEST_F(ControlledSibling, CreatedFileIsStampedAndAgedByTheServer) {
  SetDateTimeOptions(&state_, ServerClock, 0);
  ASSERT_EQ(LoadServerClock(), 1u);
  Hooks hooks = LoadHooks();
  ASSERT_NE(hooks.setAnswer, nullptr);
  const uint8_t created[6] = {110, 1, 15, 8, 0, 0}, later[6] = {110, 2, 14, 8, 0, 0},
                earlier[6] = {110, 2, 14, 7, 59, 59};
  hooks.setAnswer(0, created);
  const char* base = std::getenv("VARNFILE_TEST_TMP");
  std::filesystem::create_directories(base != nullptr ? base : "/tmp");
  std::string path = std::string(base != nullptr ? base : "/tmp") + "/server." + std::to_string(getpid()) + ".trn";
  auto open = [&](OpenMode mode, uint32_t method) {
    Store store;
    ResultCode rc = StoreOpen(&state_, &store, nullptr, nullptr, path.c_str(), nullptr, 0, mode, method, nullptr);
    if (rc == ResultOk) {
      EXPECT_EQ(StoreClose(&store, 0), ResultOk);
    }
    return rc;
  };
  ASSERT_EQ(open(CreateNamed, 2), ResultOk);
  char header[48] = {};
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fread(header, 1, sizeof header, file), sizeof header);
  fclose(file);
  EXPECT_EQ(std::string(header + 36, 6), std::string("\x01\x0F\x6E\x08\0\0", 6));
  // The local clock says 2001, but the server's says 30 days later.
  hooks.setAnswer(0, later);
  EXPECT_EQ(open(OpenReadOnly, 0), ResultAged);
  hooks.setAnswer(0, earlier);
  EXPECT_EQ(open(OpenReadOnly, 0), ResultOk);
  std::filesystem::remove(path);
}

using DayZeroSibling = SiblingTest;

TEST_F(DayZeroSibling, ZeroDayFallsBackToTheLocalClock) {
  SetDateTimeOptions(&state_, ServerClock, 3);
  EXPECT_EQ(Reading(), local_);
  EXPECT_EQ(LoadServerClock(), 1u);
  ServerDateTime out;
  EXPECT_EQ(GetServerDateTime(3, &out), 0u);
  EXPECT_EQ(out.year, 126);  // what it answered, day 0 included
  EXPECT_EQ(out.day, 0);
}

using LateSibling = SiblingTest;

// A library that appears while the program runs: the load is retried at
// every reading.
TEST_F(LateSibling, LoadIsRetriedAtEveryReading) {
  const char* source = std::getenv("VARNFILE_SIBLING_SOURCE");
  const char* searchPath = std::getenv("LD_LIBRARY_PATH");
  ASSERT_TRUE(source != nullptr && searchPath != nullptr);
  std::filesystem::path target = std::filesystem::path(searchPath) / "libqz3net0.so";
  std::filesystem::remove(target);
  SetDateTimeOptions(&state_, ServerClock, 0);
  EXPECT_EQ(Reading(), local_);
  EXPECT_EQ(Reading(), local_);
  EXPECT_EQ(LoadServerClock(), 0u);
  std::filesystem::copy_file(source, target);
  EXPECT_EQ(Reading(), (std::vector<int>{2, 3, 101, 4, 5, 6}));  // the default answer, 2001-02-03 04:05:06
  UnloadServerClock();
  std::filesystem::remove(target);
}

}  // namespace
}  // namespace varnfile
