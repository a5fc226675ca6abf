#include "DateTime.h"

#include <cmath>

namespace {

constexpr std::int64_t MsPerDay = 86'400'000;

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil algorithm).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

const std::int64_t EpochDays = DaysFromCivil(1899, 12, 30);

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t TotalMilliseconds(TDateTime Value) {
  return std::llround(Value * static_cast<double>(MsPerDay));
}

}  // namespace

bool IsLeapYear(int Year) {
  return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

int DaysInMonth(int Year, int Month) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

bool TryEncodeDateTime(const TDateTimeParts& P, TDateTime& Result) {
  if (P.Year < 1 || P.Year > 9999 || P.Day < 1 || P.Day > DaysInMonth(P.Year, P.Month)) return false;
  if (P.Hour < 0 || P.Hour > 23 || P.Minute < 0 || P.Minute > 59 || P.Second < 0 || P.Second > 59 ||
      P.Millisecond < 0 || P.Millisecond > 999) {
    return false;
  }
  const std::int64_t days = DaysFromCivil(P.Year, P.Month, P.Day) - EpochDays;
  const std::int64_t ms = ((P.Hour * 60LL + P.Minute) * 60 + P.Second) * 1000 + P.Millisecond;
  Result = static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(MsPerDay);
  return true;
}

TDateTimeParts DecodeDateTime(TDateTime Value) {
  const std::int64_t total = TotalMilliseconds(Value);
  const std::int64_t days = FloorDiv(total, MsPerDay);
  std::int64_t ms = total - days * MsPerDay;
  TDateTimeParts p;
  CivilFromDays(days + EpochDays, p.Year, p.Month, p.Day);
  p.Millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  p.Second = static_cast<int>(ms % 60);
  ms /= 60;
  p.Minute = static_cast<int>(ms % 60);
  p.Hour = static_cast<int>(ms / 60);
  return p;
}

int MinuteOfTheHour(TDateTime Value) {
  return DecodeDateTime(Value).Minute;
}

int DayOfTheWeek(TDateTime Value) {
  const std::int64_t days = FloorDiv(TotalMilliseconds(Value), MsPerDay);
  // Day 0, 1899-12-30, was a Saturday.
  return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}
