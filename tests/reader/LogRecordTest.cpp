#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>

#include "Clock.h"
#include "LogRecord.h"

namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, t));
  return t;
}

TLogRecord Decoded(const char* Hex, bool ExpectValid = true) {
  const QByteArray bytes = QByteArray::fromHex(Hex);
  TLogRecord record;
  EXPECT_EQ(DecodeRecord(reinterpret_cast<const std::uint8_t*>(bytes.constData()), record), ExpectValid) << Hex;
  return record;
}

TEST(TimeCode, DecodesTheWorkedExamplesAndRejectsImpossibleDates) {
  EXPECT_EQ(DecodeTimeCode(877941015), At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(DecodeTimeCode(0x34545117), At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(DecodeTimeCode(2851200), At(2000, 1, 1, 0, 0, 0));
  EXPECT_EQ(DecodeTimeCode(0x7FFFFFFF), At(2059, 9, 23, 3, 14, 7));
  for (std::int32_t code : {0, -1, 1, 2851199, static_cast<std::int32_t>(0x80000000)}) {
    EXPECT_EQ(DecodeTimeCode(code), 0) << code;
  }
  // 2023-02-29 does not exist.
  const std::int32_t feb29 = (((((23 * 13 + 2) * 32 + 29) * 24 + 0) * 60 + 0) * 60 + 0);
  EXPECT_EQ(DecodeTimeCode(feb29), 0);
}

TEST(LogRecordDecoding, ReadsCardTimeAndMode) {
  const TLogRecord record = Decoded("4301234517515434");
  EXPECT_EQ(record.Mode, 2);
  EXPECT_EQ(record.CardNo, 74565);
  EXPECT_EQ(record.RecTime, At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(Decoded("8301234517515434").Mode, 0);
  EXPECT_EQ(Decoded("C301234517515434").Mode, 0);
  EXPECT_EQ(Decoded("0301234517515434").Mode, 1);
  EXPECT_EQ(Decoded("03FFFFFF17515434").CardNo, 16777215);
}

TEST(LogRecordDecoding, AnInvalidTimeLeavesTheModeAlone) {
  const QByteArray bytes = QByteArray::fromHex("4301234500000080");  // negative time code
  TLogRecord record;
  record.Mode = 9;
  EXPECT_FALSE(DecodeRecord(reinterpret_cast<const std::uint8_t*>(bytes.constData()), record));
  EXPECT_EQ(record.Mode, 9);
  EXPECT_EQ(record.CardNo, 74565);
  EXPECT_EQ(record.RecTime, 0);
}

TEST(LogRecordDecoding, SlotCheckUsesTheLowFiveBits) {
  const QByteArray bytes = QByteArray::fromHex("4301234517515434");
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.constData());
  EXPECT_TRUE(SlotCheck(b, 3));
  EXPECT_TRUE(SlotCheck(b, 35));
  EXPECT_TRUE(SlotCheck(b, 67));
  EXPECT_FALSE(SlotCheck(b, 4));
  const std::uint8_t slot32[] = {0xE0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(SlotCheck(slot32, 32));
}

TEST(ReaderClock, ClockPayloadForAFridayMorning) {
  const TScopedClock clock([] { return QDateTime(QDate(2024, 5, 17), QTime(8, 30, 15, 640)); });
  EXPECT_EQ(ClockPayload().toHex(), "000215300806170524");
  EXPECT_EQ(ToBcd(7), 0x07);
  EXPECT_EQ(ToBcd(10), 0x10);
  EXPECT_EQ(ToBcd(59), 0x59);
}

TEST(ReaderClock, StripMillisecondsKeepsEverythingElse) {
  EXPECT_EQ(StripMilliseconds(At(2024, 5, 17, 8, 30, 15, 999)), At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(StripMilliseconds(At(2024, 12, 31, 23, 59, 59, 500)), At(2024, 12, 31, 23, 59, 59));
}

}  // namespace
