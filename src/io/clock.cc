#include "io/clock.h"

#include "platform/system_clock.h"
#include "platform/dynamic_library.h"

namespace varnfile {

namespace {

// The most recent reading, all zero at load, so the first reading always
// counts as a change.
DateStamp lastDate = {0, 0, 0};
TimeStamp lastTime = {0, 0, 0};

void* serverLibrary = nullptr;
ServerClockProc serverEntry = nullptr;

// Frees the sibling library when the process ends or this library is
// unloaded; files still open are left alone.
struct ServerClockUnloader {
  ~ServerClockUnloader() { UnloadServerClock(); }
};
ServerClockUnloader unloader;

bool SameDate(const DateStamp& a, const DateStamp& b) {
  return a.month == b.month && a.day == b.day && a.year == b.year;
}

bool SameTime(const TimeStamp& a, const TimeStamp& b) {
  return a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

// Seconds since 1970 of a stored stamp, read as local standard time. A
// stamp mktime cannot place (it cannot happen with byte-sized fields on a
// 64-bit time_t) counts as the epoch.
int64_t StampSeconds(const DateStamp& date, const TimeStamp& time) {
  CalendarTime parts;
  parts.second = time.second;
  parts.minute = time.minute;
  parts.hour = time.hour;
  parts.day = date.day;
  parts.month = static_cast<int32_t>(date.month) - 1;
  parts.yearsSince1900 = date.year;
  int64_t seconds = 0;
  if (PlatformMakeTime(parts, &seconds) != 0) return 0;
  return seconds;
}

}  // namespace

bool LoadServerClock() {
  if (serverLibrary != nullptr) return true;
  void* library = PlatformLoadLibrary(ServerClockLibrary);
  if (library == nullptr) return false;
  void* entry = PlatformFindSymbol(library, ServerClockEntry);
  if (entry == nullptr) {
    PlatformFreeLibrary(library);
    return false;
  }
  serverLibrary = library;
  serverEntry = reinterpret_cast<ServerClockProc>(entry);
  return true;
}

void UnloadServerClock() {
  if (serverLibrary == nullptr) return;
  PlatformFreeLibrary(serverLibrary);
  serverLibrary = nullptr;
  serverEntry = nullptr;
}

bool GetServerDateTime(uint32_t param, ServerDateTime* out) {
  *out = ServerDateTime{0, 0, 0, 0, 0, 0};
  if (!LoadServerClock()) return false;
  if (serverEntry(param, reinterpret_cast<uint8_t*>(out)) != 0) return false;
  return out->day != 0;
}

namespace {

// The current date and time: the server's when state selects it and it
// answers, else the local clock's; all zero when neither can be read.
void CurrentReading(IoState* state, DateStamp* date, TimeStamp* time) {
  *date = DateStamp{0, 0, 0};
  *time = TimeStamp{0, 0, 0};
  ServerDateTime server;
  if (state != nullptr && state->dateTimeMode == ServerClock &&
      GetServerDateTime(state->dateTimeParam, &server)) {
    *date = DateStamp{server.month, server.day, server.year};
    *time = TimeStamp{server.hour, server.minute, server.second};
    return;
  }
  int64_t seconds;
  uint32_t milliseconds;
  PlatformClockNow(&seconds, &milliseconds);
  CalendarTime parts;
  if (PlatformLocalTime(seconds, &parts) != 0) return;
  *date = DateStamp{static_cast<uint8_t>(parts.month + 1), static_cast<uint8_t>(parts.day),
                    static_cast<uint8_t>(parts.yearsSince1900)};
  *time = TimeStamp{static_cast<uint8_t>(parts.hour), static_cast<uint8_t>(parts.minute),
                    static_cast<uint8_t>(parts.second)};
}

}  // namespace

bool ReadClock(IoState* state, DateStamp* date, TimeStamp* time) {
  DateStamp nowDate;
  TimeStamp nowTime;
  CurrentReading(state, &nowDate, &nowTime);
  bool changed = false;
  if (!SameTime(nowTime, lastTime) || !SameDate(nowDate, lastDate)) {
    lastDate = nowDate;
    lastTime = nowTime;
    changed = true;
  }
  if (date != nullptr) *date = nowDate;
  if (time != nullptr) *time = nowTime;
  return changed;
}

int64_t ClockSeconds(IoState* state) {
  DateStamp date;
  TimeStamp time;
  CurrentReading(state, &date, &time);
  return StampSeconds(date, time);
}

// 32-bit arithmetic, as the limit has always been computed.
uint32_t AgingLimitSeconds(const AgingLimit* limit) {
  return ((static_cast<uint32_t>(limit->days) * 24u + limit->hours) * 60u + limit->minutes) * 60u +
         limit->seconds;
}

bool IsAged(IoState* state, const DateStamp* stampDate, const TimeStamp* stampTime,
            const AgingLimit* limit) {
  int64_t stamp = StampSeconds(*stampDate, *stampTime);
  DateStamp nowDate;
  TimeStamp nowTime;
  ReadClock(state, &nowDate, &nowTime);
  int64_t now = StampSeconds(nowDate, nowTime);
  if (now <= stamp) return false;
  return static_cast<int64_t>(AgingLimitSeconds(limit)) <= now - stamp;
}

void SetDateTimeOptions(IoState* state, uint32_t mode, uint32_t param) {
  state->dateTimeMode = mode;
  state->dateTimeParam = mode == ServerClock ? param : 0;
}

void ResetClockReading() {
  lastDate = DateStamp{0, 0, 0};
  lastTime = TimeStamp{0, 0, 0};
}

}  // namespace varnfile
