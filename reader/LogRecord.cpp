#include "LogRecord.h"

#include "Clock.h"

namespace {

std::uint8_t ModeFromCode(std::uint8_t Byte0) {
  switch (Byte0 >> 6) {
    case 0:
      return 1;
    case 1:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

TDateTime DecodeTimeCode(std::int32_t Code) {
  if (Code <= 0) return 0;
  std::int32_t v = Code;
  const int s = v % 60;
  v /= 60;
  const int m = v % 60;
  v /= 60;
  const int h = v % 24;
  v /= 24;
  const int d = v % 32;
  v /= 32;
  const int month = v % 13;
  v /= 13;
  TDateTime result = 0;
  return TryEncodeDateTime({2000 + v, month, d, h, m, s, 0}, result) ? result : 0;
}

bool DecodeRecord(const std::uint8_t* Bytes, TLogRecord& Rec) {
  Rec.CardNo = Bytes[1] << 16 | Bytes[2] << 8 | Bytes[3];
  const std::uint32_t code = static_cast<std::uint32_t>(Bytes[4]) | static_cast<std::uint32_t>(Bytes[5]) << 8 |
                             static_cast<std::uint32_t>(Bytes[6]) << 16 | static_cast<std::uint32_t>(Bytes[7]) << 24;
  Rec.RecTime = DecodeTimeCode(static_cast<std::int32_t>(code));
  if (Rec.RecTime == 0) return false;
  Rec.Mode = ModeFromCode(Bytes[0]);
  return true;
}

bool SlotCheck(const std::uint8_t* RecordBytes, int N) {
  return (N % 32) == (RecordBytes[0] & 0x1F);
}

std::uint8_t ToBcd(std::uint8_t Value) {
  return static_cast<std::uint8_t>((Value / 10) * 16 + Value % 10);
}

QByteArray ClockPayload() {
  const TDateTime now = Now();
  const TDateTimeParts p = DecodeDateTime(now);
  const auto bcd = [](int v) { return static_cast<char>(ToBcd(static_cast<std::uint8_t>(v))); };
  QByteArray payload;
  payload.append('\x00').append('\x02');
  payload.append(bcd(p.Second)).append(bcd(p.Minute)).append(bcd(p.Hour));
  payload.append(static_cast<char>(DayOfTheWeek(now)));
  payload.append(bcd(p.Day)).append(bcd(p.Month)).append(bcd(p.Year % 100));
  return payload;
}

TDateTime StripMilliseconds(TDateTime Value) {
  TDateTimeParts p = DecodeDateTime(Value);
  p.Millisecond = 0;
  TDateTime result = 0;
  TryEncodeDateTime(p, result);
  return result;
}
