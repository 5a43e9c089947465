#include "io/clock.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "api/handle_table.h"
#include "platform/posix_clock.h"

namespace varnfile {
namespace {

// 2020-03-01 12:00:00 UTC.
constexpr int64_t March1Noon = 1583064000;
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

  uint32_t AgedAt(int64_t now, DateStamp date, TimeStamp time, AgingLimit limit) {
    PlatformSetClockOverride(now, 0);
    return IsAged(&state_, &date, &time, &limit);
  }

  LibraryState state_;
};

const DateStamp StampDate = {3, 1, 120};
const TimeStamp StampTime = {12, 0, 0};
const AgingLimit ThirtyDays = {30, 0, 0, 0};

// ---- readings and change detection ----

TEST_F(ClockTest, ReadingBreaksTheLocalClockIntoStampBytes) {
  PlatformSetClockOverride(1000000000, 0);  // 2001-09-09 01:46:40
  DateStamp date;
  TimeStamp time;
  EXPECT_EQ(ReadClock(&state_, &date, &time), 1u);
  EXPECT_EQ(date.month, 9);
  EXPECT_EQ(date.day, 9);
  EXPECT_EQ(date.year, 101);
  EXPECT_EQ(time.hour, 1);
  EXPECT_EQ(time.minute, 46);
  EXPECT_EQ(time.second, 40);
}

TEST_F(ClockTest, ChangeIsReportedOncePerSecond) {
  PlatformSetClockOverride(March1Noon, 100);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 1u);
  PlatformSetClockOverride(March1Noon, 900);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 0u);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 0u);
  PlatformSetClockOverride(March1Noon + 1, 0);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 1u);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 0u);
}

TEST_F(ClockTest, SameTimeOnAnotherDayIsAChange) {
  PlatformSetClockOverride(March1Noon, 0);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 1u);
  PlatformSetClockOverride(March1Noon + Day, 0);
  EXPECT_EQ(ReadClock(&state_, nullptr, nullptr), 1u);
}

TEST_F(ClockTest, RealClockReportsOneThenZeroWithinASecond) {
  // Retry until both readings fall into the same second of the real clock.
  for (int attempt = 0; attempt < 5; ++attempt) {
    ResetClockReading();
    time_t before = time(nullptr);
    uint32_t first = ReadClock(&state_, nullptr, nullptr);
    uint32_t second = ReadClock(&state_, nullptr, nullptr);
    if (time(nullptr) != before) continue;
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 0u);
    return;
  }
  FAIL() << "no two readings within one second";
}

// ---- options and the missing server clock ----

TEST_F(ClockTest, SetDateTimeOptionsKeepsParamOnlyForTheServerClock) {
  EXPECT_EQ(VARNFileSetDateTimeOptions(2, 5), 0);
  LibraryState* state = LockLibrary();
  EXPECT_EQ(state->dateTimeMode, 2u);
  EXPECT_EQ(state->dateTimeParam, 0u);
  UnlockLibrary();

  EXPECT_EQ(VARNFileSetDateTimeOptions(1, 5), 0);
  state = LockLibrary();
  EXPECT_EQ(state->dateTimeMode, 1u);
  EXPECT_EQ(state->dateTimeParam, 5u);
  UnlockLibrary();

  EXPECT_EQ(VARNFileSetDateTimeOptions(0xFFFF, 9), 0);
  state = LockLibrary();
  EXPECT_EQ(state->dateTimeMode, 0xFFFFu);
  EXPECT_EQ(state->dateTimeParam, 0u);
  UnlockLibrary();
  VARNFileSetDateTimeOptions(0, 0);
}

TEST_F(ClockTest, ServerClockWithoutSiblingFallsBackAndRetries) {
  // This program runs without libqz3net0.so on the loader's path.
  SetDateTimeOptions(&state_, ServerClock, 42);
  PlatformSetClockOverride(1000000000, 0);
  for (int reading = 0; reading < 3; ++reading) {
    DateStamp date;
    TimeStamp time;
    ReadClock(&state_, &date, &time);
    EXPECT_EQ(date.month, 9);
    EXPECT_EQ(date.day, 9);
    EXPECT_EQ(date.year, 101);
    EXPECT_EQ(time.second, 40);
    EXPECT_EQ(LoadServerClock(), 0u);
  }
  ServerDateTime out = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(GetServerDateTime(42, &out), 0u);
  EXPECT_EQ(out.year, 0);
  EXPECT_EQ(out.day, 0);
  EXPECT_EQ(out.second, 0);
  UnloadServerClock();  // nothing loaded: a no-op
}

// ---- aging ----

TEST_F(ClockTest, AgingAtTheExactBoundaries) {
  EXPECT_EQ(AgedAt(March1Noon + 29 * Day + 23 * 3600, StampDate, StampTime, ThirtyDays), 0u);
  EXPECT_EQ(AgedAt(March1Noon + 30 * Day - 1, StampDate, StampTime, ThirtyDays), 0u);
  EXPECT_EQ(AgedAt(March1Noon + 30 * Day, StampDate, StampTime, ThirtyDays), 1u);
  EXPECT_EQ(AgedAt(March1Noon + 400 * Day, StampDate, StampTime, ThirtyDays), 1u);
}

TEST_F(ClockTest, EveryLimitFieldCounts) {
  const AgingLimit limit = {1, 2, 3, 4};  // 93,784 seconds
  EXPECT_EQ(AgedAt(March1Noon + 93783, StampDate, StampTime, limit), 0u);
  EXPECT_EQ(AgedAt(March1Noon + 93784, StampDate, StampTime, limit), 1u);
}

TEST_F(ClockTest, FutureStampNeverAges) {
  const AgingLimit zero = {0, 0, 0, 0};
  EXPECT_EQ(AgedAt(March1Noon - 1, StampDate, StampTime, zero), 0u);
  EXPECT_EQ(AgedAt(March1Noon - 365 * Day, StampDate, StampTime, ThirtyDays), 0u);
}

TEST_F(ClockTest, ZeroLimitAgesAfterOneSecond) {
  const AgingLimit zero = {0, 0, 0, 0};
  EXPECT_EQ(AgedAt(March1Noon, StampDate, StampTime, zero), 0u);
  EXPECT_EQ(AgedAt(March1Noon + 1, StampDate, StampTime, zero), 1u);
}

TEST_F(ClockTest, LimitIsComputedInThirtyTwoBits) {
  // 49,711 days is 4,295,030,400 seconds, which wraps to 63,104.
  const AgingLimit huge = {49711, 0, 0, 0};
  EXPECT_EQ(AgedAt(March1Noon + 63103, StampDate, StampTime, huge), 0u);
  EXPECT_EQ(AgedAt(March1Noon + 63104, StampDate, StampTime, huge), 1u);
}

TEST_F(ClockTest, InvalidStampIsNormalisedNotRefused) {
  // Month 0, day 0 of 2020 normalises to 2019-11-30 00:00:00.
  const DateStamp zeroDate = {0, 0, 120};
  const TimeStamp midnight = {0, 0, 0};
  const int64_t nov30 = 1575072000;
  EXPECT_EQ(AgedAt(nov30 + 30 * Day - 1, zeroDate, midnight, ThirtyDays), 0u);
  EXPECT_EQ(AgedAt(nov30 + 30 * Day, zeroDate, midnight, ThirtyDays), 1u);
  // Every byte at its maximum still gives an answer.
  const DateStamp wild = {255, 255, 255};
  const TimeStamp wildTime = {255, 255, 255};
  EXPECT_EQ(AgedAt(March1Noon, wild, wildTime, ThirtyDays), 0u);
}

}  // namespace
}  // namespace varnfile
