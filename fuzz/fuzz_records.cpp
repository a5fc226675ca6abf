// Decodes arbitrary 8-byte records and time codes: a valid result must name a real date and
// time from 2000 on, and a decoded record must be a 24-bit card with a mode of 0, 1 or 2.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LogRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < LogRecordSize) return 0;
  TLogRecord record;
  if (DecodeRecord(Data, record)) {
    if (record.Mode > 2 || record.CardNo < 0 || record.CardNo > 0xFFFFFF) __builtin_trap();
    const TDateTimeParts parts = DecodeDateTime(record.RecTime);
    if (parts.Year < 2000 || parts.Year > 2059 || parts.Millisecond != 0) __builtin_trap();
  }
  std::int32_t code = 0;
  std::memcpy(&code, Data, sizeof code);
  const TDateTime time = DecodeTimeCode(code);
  if (time != 0 && StripMilliseconds(time) != time) __builtin_trap();
  (void)SlotCheck(Data, static_cast<int>(Data[1]));
  return 0;
}
