#pragma once

#include <QByteArray>

#include <cstdint>

#include "DateTime.h"

struct TLogRecord {
  std::uint8_t Mode = 0;     // 0, 1 or 2
  std::int32_t CardNo = 0;   // 24 bits
  TDateTime RecTime = 0;     // whole seconds; 0 = no valid time
};

constexpr int LogRecordSize = 8;

// The reader's packed time code; 0 when it names no real date and time.
TDateTime DecodeTimeCode(std::int32_t Code);

// False when the record's time is invalid; Mode is then left as it was.
bool DecodeRecord(const std::uint8_t* Bytes, TLogRecord& Rec);

// Whether record slot N of a page reply holds a record: its low five bits carry N mod 32.
bool SlotCheck(const std::uint8_t* RecordBytes, int N);

std::uint8_t ToBcd(std::uint8_t Value);

// The set-clock payload for the current local time: 00 02 ss mm hh dow DD MM YY.
QByteArray ClockPayload();

TDateTime StripMilliseconds(TDateTime Value);
