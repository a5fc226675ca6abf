#include "Clock.h"

#include <utility>

namespace {

TClockSource& ClockSource() {
  static TClockSource Source = [] { return QDateTime::currentDateTime(); };
  return Source;
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
  return ToDateTime(ClockSource()());
}

TScopedClock::TScopedClock(TClockSource Source) : Previous(std::exchange(ClockSource(), std::move(Source))) {}

TScopedClock::~TScopedClock() {
  ClockSource() = std::move(Previous);
}
