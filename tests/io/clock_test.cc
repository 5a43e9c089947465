#include "io/clock.h"

#include <cstdlib>
#include <ctime>
#include <vector>

#include <gtest/gtest.h>

#include "api/handle_table.h"
#include "platform/posix_clock.h"

namespace varnfile {
namespace {

constexpr int64_t March1Noon = 1583064000;  // 2020-03-01 12:00:00 UTC
constexpr int64_t Day = 86400;

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = LibraryState{};
    ResetClockReading();
  }
  void TearDown() override { PlatformClearClockOverride(); }
  uint32_t ReadAt(int64_t seconds, uint32_t milliseconds) {
    PlatformSetClockOverride(seconds, milliseconds);
    return ReadClock(&state_, nullptr, nullptr);
  }
  // 2001-09-09 01:46:40, the local clock's stamp bytes.
  void ExpectSeptember9(const DateStamp& d, const TimeStamp& t) {
    EXPECT_EQ((std::vector<int>{d.month, d.day, d.year, t.hour, t.minute, t.second}),
              (std::vector<int>{9, 9, 101, 1, 46, 40}));
  }
  LibraryState state_;
};

TEST_F(ClockTest, ReadingsAndChangeOncePerSecond) {
  PlatformSetClockOverride(1000000000, 0);
  DateStamp date;
  TimeStamp time;
  EXPECT_EQ(ReadClock(&state_, &date, &time), 1u);
  ExpectSeptember9(date, time);
  EXPECT_EQ(ReadAt(March1Noon, 100), 1u);
  EXPECT_EQ(ReadAt(March1Noon, 900), 0u);
  EXPECT_EQ(ReadAt(March1Noon, 900), 0u);
  EXPECT_EQ(ReadAt(March1Noon + 1, 0), 1u);
  EXPECT_EQ(ReadAt(March1Noon + 1 + Day, 0), 1u) << "same time on another day";
  // The real clock: retry until both readings fall into the same second.
  PlatformClearClockOverride();
  for (int attempt = 0; attempt < 5; ++attempt) {
    ResetClockReading();
    time_t before = ::time(nullptr);
    uint32_t first = ReadClock(&state_, nullptr, nullptr);
    uint32_t second = ReadClock(&state_, nullptr, nullptr);
    if (::time(nullptr) != before) continue;
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 0u);
    return;
  }
  FAIL() << "no two readings within one second";
}

TEST_F(ClockTest, OptionsAndTheMissingServerClock) {
  // The param is kept only for the server clock (mode 1).
  const uint32_t cases[][4] = {{2, 5, 2, 0}, {1, 5, 1, 5}, {0xFFFF, 9, 0xFFFF, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(VARNFileSetDateTimeOptions(static_cast<uint16_t>(c[0]), c[1]), 0);
    LibraryState* state = LockLibrary();
    EXPECT_EQ(state->dateTimeMode, c[2]);
    EXPECT_EQ(state->dateTimeParam, c[3]);
    UnlockLibrary();
  }
  VARNFileSetDateTimeOptions(0, 0);
  // This program runs without libqz3net0.so on the loader's path: the local
  // clock answers, and every reading tries the load again.
  SetDateTimeOptions(&state_, ServerClock, 42);
  PlatformSetClockOverride(1000000000, 0);
  for (int reading = 0; reading < 3; ++reading) {
    DateStamp date;
    TimeStamp time;
    ReadClock(&state_, &date, &time);
    ExpectSeptember9(date, time);
    EXPECT_EQ(LoadServerClock(), 0u);
  }
  ServerDateTime out = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(GetServerDateTime(42, &out), 0u);
  EXPECT_EQ(out.year + out.day + out.second, 0);
  UnloadServerClock();  // nothing loaded: a no-op
}

TEST_F(ClockTest, AgingBoundaries) {
  const DateStamp march1 = {3, 1, 120}, zeroDate = {0, 0, 120}, wild = {255, 255, 255};
  const TimeStamp noon = {12, 0, 0}, midnight = {0, 0, 0}, wildTime = {255, 255, 255};
  const AgingLimit thirty = {30, 0, 0, 0}, zero = {0, 0, 0, 0}, mixed = {1, 2, 3, 4};
  const AgingLimit huge = {49711, 0, 0, 0};  // 4,295,030,400 s wraps to 63,104 in 32 bits
  const int64_t nov30 = 1575072000;          // month 0, day 0 of 2020 is 2019-11-30
  struct Case {
    int64_t now;
    DateStamp date;
    TimeStamp time;
    AgingLimit limit;
    uint32_t aged;
  };
  const Case cases[] = {
      {March1Noon + 30 * Day - 1, march1, noon, thirty, 0},
      {March1Noon + 30 * Day, march1, noon, thirty, 1},
      {March1Noon + 93783, march1, noon, mixed, 0},  // 93,784 seconds
      {March1Noon + 93784, march1, noon, mixed, 1},
      {March1Noon - 1, march1, noon, zero, 0},  // stamped in the future
      {March1Noon, march1, noon, zero, 0},
      {March1Noon + 1, march1, noon, zero, 1},
      {March1Noon + 63103, march1, noon, huge, 0},
      {March1Noon + 63104, march1, noon, huge, 1},
      {nov30 + 30 * Day - 1, zeroDate, midnight, thirty, 0},
      {nov30 + 30 * Day, zeroDate, midnight, thirty, 1},
      {March1Noon, wild, wildTime, thirty, 0},
  };
  for (const Case& c : cases) {
    PlatformSetClockOverride(c.now, 0);
    EXPECT_EQ(IsAged(&state_, &c.date, &c.time, &c.limit), c.aged) << "now " << c.now - March1Noon;
  }
}

}  // namespace
}  // namespace varnfile
