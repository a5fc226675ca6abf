#include "Packet.h"

namespace {

std::uint8_t CheckFor(std::uint8_t Sum) {
  return static_cast<std::uint8_t>(256 - Sum);
}

std::uint8_t SumOf(const QByteArray& Bytes, int From, int To) {
  std::uint8_t sum = 0;
  for (int i = From; i <= To; ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(Bytes[i]));
  return sum;
}

// What the count byte of an unsolicited packet (no command waiting) announces.
struct TEventKind {
  std::uint8_t Kind;
  int BodyLength;    // bytes after the kind byte, the check byte included
  bool KindCounted;  // the kind byte is part of the sum and stored as RxBuf[0]
};

constexpr TEventKind EventKinds[] = {
    {2, 2, false},    // a status code: the code and its check byte
    {4, 3, true},     // the heartbeat echo is framed like a reply: K counts itself, and RxBuf[0]
                      // keeps what it held (the reader's firmware never wrote it)
    {6, 6, false},    // a card event without time
    {11, 11, false},  // a card event with flag and time
    {12, 13, false},  // the long card event: its kind code is one short of its body
};

}  // namespace

QByteArray FrameCommand(const QByteArray& Payload) {
  const auto count = static_cast<std::uint8_t>(Payload.size() + 2);
  QByteArray packet;
  packet.reserve(Payload.size() + 4);
  packet.append(static_cast<char>(LeadByte)).append(static_cast<char>(count)).append(Payload);
  const auto sum = static_cast<std::uint8_t>(count + SumOf(Payload, 0, static_cast<int>(Payload.size()) - 1));
  packet.append(static_cast<char>(CheckFor(sum))).append(static_cast<char>(EndByte));
  return packet;
}

void FixPacket(QByteArray& Packet) {
  const auto n = static_cast<int>(Packet.size());
  if (n < 4) return;
  Packet[1] = static_cast<char>((n - 2) % 256);
  Packet[n - 2] = static_cast<char>(CheckFor(SumOf(Packet, 1, n - 2)));
}

void TPacketReceiver::Reset() {
  State = TRxState::Hunting;
  Remain = 0;
}

void TPacketReceiver::StartBody(int BodyRemain, int StoredLen, std::uint8_t Sum) {
  Remain = BodyRemain;
  Length = StoredLen;
  RunningSum = Sum;
  State = TRxState::Body;
}

void TPacketReceiver::TakeCount(std::uint8_t Count, bool PktMode) {
  WasUnsolicited = !PktMode;
  if (!PktMode) {
    TakeEventKind(Count);
  } else if (Count == 0x00) {
    StartBody(LongReplyLength, 0, 0);
  } else if (Count >= 0x02 && Count <= 0x7F) {
    Buffer[0] = Count;
    StartBody(Count - 1, 1, Count);
  } else {
    // 0x01 leaves no room for a check byte; 0x80 and above are no reply.
    Reset();
  }
}

void TPacketReceiver::TakeEventKind(std::uint8_t Kind) {
  for (const TEventKind& kind : EventKinds) {
    if (kind.Kind != Kind) continue;
    if (kind.KindCounted) {
      StartBody(kind.BodyLength, 1, Kind);
    } else {
      StartBody(kind.BodyLength, 0, 0);
    }
    return;
  }
  Reset();
}

void TPacketReceiver::TakeBodyByte(std::uint8_t Byte) {
  --Remain;
  if (Length < RxBufferSize) Buffer[static_cast<std::size_t>(Length++)] = Byte;
  RunningSum = static_cast<std::uint8_t>(RunningSum + Byte);
  if (Remain > 0) return;
  if (RunningSum == 0) {
    State = TRxState::End;
  } else if (!WasUnsolicited && Length == 2 && Buffer[0] == 2) {
    // Not a two-byte reply, whose only body byte is its check: a status code the reader sent
    // while a reply was awaited (its code and check are summed without the count).
    Buffer[0] = Byte;
    StartBody(1, 1, Byte);
    WasUnsolicited = true;
  } else {
    Reset();
  }
}

bool TPacketReceiver::Feed(std::uint8_t Byte, bool PktMode) {
  switch (State) {
    case TRxState::Hunting:
      if (Byte == LeadByte) State = TRxState::Count;
      return false;
    case TRxState::Count:
      TakeCount(Byte, PktMode);
      return false;
    case TRxState::Body:
      TakeBodyByte(Byte);
      return false;
    case TRxState::End:
      Reset();
      return Byte == EndByte;
  }
  return false;
}
