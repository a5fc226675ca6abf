#pragma once

#include <QDateTime>

#include <functional>

#include "DateTime.h"

using TClockSource = std::function<QDateTime()>;

// The computer's local time; every reading in the product goes through here.
TDateTime Now();

// Replaces the clock until the guard is destroyed; for tests.
class TScopedClock {
 public:
  explicit TScopedClock(TClockSource Source);
  ~TScopedClock();
  TScopedClock(const TScopedClock&) = delete;
  TScopedClock& operator=(const TScopedClock&) = delete;

 private:
  TClockSource Previous;
};

TDateTime ToDateTime(const QDateTime& Value);
