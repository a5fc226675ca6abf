#include "Commands.h"

#include "LogRecord.h"
#include "Reader.h"
#include "ReplyWait.h"

namespace {

constexpr int CapacityCountOffset = 6;
constexpr int CapacityMarkOffset = 4;
// Count byte, 00 03 00, mark, count, check: anything shorter does not hold both words.
constexpr int CapacityReplyLength = 9;

QByteArray WithWord(const char* HexPrefix, std::uint16_t Word) {
  QByteArray payload = QByteArray::fromHex(HexPrefix);
  payload.append(static_cast<char>(Word & 0xFF)).append(static_cast<char>(Word >> 8));
  return payload;
}

bool IsExpected(const TReader& Reader, TExpectedReply Expect) {
  switch (Expect) {
    case TExpectedReply::Any: return true;
    case TExpectedReply::Capacity: return Reader.RxLen() >= CapacityReplyLength;
    // Anything but the long reply would leave the previous page's slots in the buffer.
    case TExpectedReply::Page: return Reader.RxLen() == LongReplyLength;
  }
  return false;
}

}  // namespace

TCommand LockCommand(bool Locked) {
  return {LockPayload(Locked)};
}

TCommand ClockCommand() {
  return {ClockPayload()};
}

TCommand OptionsCommand() {
  return {QByteArray::fromHex("00080480")};
}

TCommand CapacityCommand() {
  return {QByteArray::fromHex("000300"), TExpectedReply::Capacity};
}

TCommand PageCommand(int PageIndex) {
  return {WithWord("000a00", static_cast<std::uint16_t>(PageIndex)), TExpectedReply::Page};
}

TCommand ClearCommand(std::uint16_t LogMark, int WaitMs) {
  return {WithWord("000500", LogMark), TExpectedReply::Any, WaitMs};
}

std::optional<TCapacity> CapacityOf(const TReader& Reader) {
  if (!IsExpected(Reader, TExpectedReply::Capacity)) return std::nullopt;
  return TCapacity{Reader.ReplyWord(CapacityCountOffset), Reader.ReplyWord(CapacityMarkOffset)};
}

bool Exchange(TReader& Reader, const TCommand& Command) {
  Reader.SendCommandTimed(Command.Payload, Command.WaitMs);
  return WaitForReply(Reader) && IsExpected(Reader, Command.Expect);
}

QString CommandName(const QByteArray& Payload) {
  const auto byte = [&](int Index) { return Index < Payload.size() ? static_cast<std::uint8_t>(Payload[Index]) : 0; };
  switch (byte(1)) {
    case 0x00: return byte(2) == 0x01 ? QStringLiteral("lock") : QStringLiteral("unlock");
    case 0x02: return QStringLiteral("set clock");
    case 0x03: return QStringLiteral("get capacity");
    case 0x05: return QStringLiteral("clear log");
    case 0x08: return QStringLiteral("set options");
    case 0x0A: return QStringLiteral("download page %1").arg(byte(3) | byte(4) << 8);
    default: return QStringLiteral("command %1").arg(QString::fromLatin1(Payload.toHex()));
  }
}
