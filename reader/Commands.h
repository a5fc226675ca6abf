#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>

struct TCapacity;
struct TLogPage;

// The commands' payloads, framed by FrameCommand before they leave.
QByteArray LockPayload(bool Locked);  // 00 00 X 10 27, X = 01 to lock, 00 to unlock
QByteArray OptionsPayload();
QByteArray CapacityPayload();
QByteArray PagePayload(int PageIndex);
QByteArray ClearPayload(std::uint16_t LogMark);

// Count byte, 00 03 00, mark, count, check: a capacity reply is at least this long.
constexpr int CapacityReplyLength = 9;

// The replies' contents, from a complete reply's bytes (count byte first).
TCapacity CapacityOf(const std::uint8_t* Reply);
// Reply must hold a long reply: LongReplyLength bytes.
TLogPage PageOf(const std::uint8_t* Reply);
