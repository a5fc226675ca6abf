#include <gtest/gtest.h>

#include "Clock.h"
#include "DateTime.h"

#include <ctime>

namespace {

TDateTime Encode(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  TDateTime t = -1;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, t));
  return t;
}

TEST(DateTime, DayNumbersCountFromTheEndOf1899) {
  EXPECT_EQ(Encode(1899, 12, 30), 0.0);
  EXPECT_EQ(Encode(1900, 1, 1), 2.0);
  EXPECT_EQ(Encode(2024, 5, 17), 45429.0);
  EXPECT_DOUBLE_EQ(Encode(2024, 5, 17, 12), 45429.5);
}

TEST(DateTime, RejectsDatesAndTimesThatDoNotExist) {
  TDateTime t = 7;
  EXPECT_FALSE(TryEncodeDateTime({2023, 2, 29, 0, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({2024, 0, 1, 0, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({2024, 13, 1, 0, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({2024, 4, 31, 0, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({2024, 1, 0, 0, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 24, 0, 0, 0}, t));
  EXPECT_FALSE(TryEncodeDateTime({1900, 2, 29, 0, 0, 0, 0}, t));
  EXPECT_EQ(t, 7);
  EXPECT_TRUE(TryEncodeDateTime({2000, 2, 29, 0, 0, 0, 0}, t));
}

TEST(DateTime, DecodeRoundsToTheMillisecondAndRoundTrips) {
  const TDateTimeParts parts{2024, 5, 17, 8, 30, 15, 0};
  TDateTime t = 0;
  ASSERT_TRUE(TryEncodeDateTime(parts, t));
  EXPECT_EQ(DecodeDateTime(t), parts);
  EXPECT_EQ(DecodeDateTime(t - 1e-10).Second, 15);  // a hair below must not read as 14.999
  EXPECT_EQ(DecodeDateTime(Encode(2059, 9, 23, 3, 14, 7, 999)), (TDateTimeParts{2059, 9, 23, 3, 14, 7, 999}));
  EXPECT_EQ(DecodeDateTime(Encode(2024, 12, 31, 23, 59, 59, 999)).Day, 31);
}

TEST(DateTime, DayOfTheWeekStartsOnSunday) {
  EXPECT_EQ(DayOfTheWeek(Encode(2024, 5, 17, 8, 30)), 6);  // a Friday
  EXPECT_EQ(DayOfTheWeek(Encode(2024, 5, 19)), 1);
  EXPECT_EQ(DayOfTheWeek(Encode(2024, 5, 18, 23, 59, 59)), 7);
  EXPECT_EQ(MinuteOfTheHour(Encode(2024, 5, 17, 8, 30, 15)), 30);
}

TEST(Clock, NowReadsTheReplaceableClock) {
  const TScopedClock clock([] { return QDateTime(QDate(2024, 5, 17), QTime(8, 30, 15, 250)); });
  EXPECT_EQ(DecodeDateTime(Now()), (TDateTimeParts{2024, 5, 17, 8, 30, 15, 250}));
}

// A zone half an hour off any whole-hour zone tells local time from universal time.
TEST(Clock, NowIsTheSystemsLocalTime) {
  const QByteArray zone = qgetenv("TZ");
  qputenv("TZ", "QMT-5:30");
  tzset();
  const TDateTime local = ToDateTime(QDateTime::currentDateTime());
  EXPECT_NEAR(Now(), local, 2.0 / 86400);
  zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
  tzset();
}

}  // namespace
