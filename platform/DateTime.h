#pragma once

#include <cstdint>

// A point in time as days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;

struct TDateTimeParts {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;

  bool operator==(const TDateTimeParts&) const = default;
};

// Fails (returns false, leaves Result alone) for a date or time that does not exist.
bool TryEncodeDateTime(const TDateTimeParts& Parts, TDateTime& Result);

// Rounds to the nearest millisecond first, so 08:30:15 never comes back as 08:30:14.999.
TDateTimeParts DecodeDateTime(TDateTime Value);

int MinuteOfTheHour(TDateTime Value);

// 1 = Sunday ... 7 = Saturday.
int DayOfTheWeek(TDateTime Value);

bool IsLeapYear(int Year);
int DaysInMonth(int Year, int Month);
