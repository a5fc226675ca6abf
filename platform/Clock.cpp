#include "Clock.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

// Empty: the system clock, read by SystemNow.
TClockSource& ClockSource() {
  static TClockSource Source;
  return Source;
}

// Read straight from the system: Qt looks the time-zone file up again at every reading, and
// every reply received takes a reading.
TDateTime SystemNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  TDateTime result = 0;
  TryEncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                     static_cast<int>(now.tv_nsec / 1000000)},
                    result);
  return result;
}

}  // namespace

TDateTime ToDateTime(const QDateTime& Value) {
  const QDate d = Value.date();
  const QTime t = Value.time();
  TDateTime Result = 0;
  TryEncodeDateTime({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()}, Result);
  return Result;
}

TDateTime Now() {
  const TClockSource& source = ClockSource();
  return source ? ToDateTime(source()) : SystemNow();
}

TScopedClock::TScopedClock(TClockSource Source) : Previous(std::exchange(ClockSource(), std::move(Source))) {}

TScopedClock::~TScopedClock() {
  ClockSource() = std::move(Previous);
}
