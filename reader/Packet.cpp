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
  RxState = TRxState::Hunting;
  RxRemain = 0;
}

void TPacketReceiver::StartBody(int Remain, int StoredLen, std::uint8_t Sum) {
  RxRemain = Remain;
  RxLen = StoredLen;
  RxSum = Sum;
  RxState = TRxState::Body;
}

void TPacketReceiver::TakeCount(std::uint8_t Count, bool PktMode) {
  if (PktMode) {
    if (Count == 0x00) {
      StartBody(LongReplyLength, 0, 0);
    } else if (Count >= 0x02 && Count <= 0x7F) {
      RxBuf[0] = Count;
      StartBody(Count - 1, 1, Count);
    } else {
      // 0x01 leaves no room for a check byte; 0x80 and above are no reply.
      Reset();
    }
    return;
  }
  switch (Count) {
    case 2:
    case 6:
    case 11:
      StartBody(Count, 0, 0);
      break;
    case 4:  // the heartbeat echo counts itself, and RxBuf[0] keeps what it held
      StartBody(3, 1, 4);
      break;
    case 12:
      StartBody(13, 0, 0);
      break;
    default:
      Reset();
  }
}

void TPacketReceiver::TakeBodyByte(std::uint8_t Byte) {
  --RxRemain;
  if (RxLen < RxBufferSize) RxBuf[static_cast<std::size_t>(RxLen++)] = Byte;
  RxSum = static_cast<std::uint8_t>(RxSum + Byte);
  if (RxRemain > 0) return;
  if (RxSum == 0) {
    RxState = TRxState::End;
  } else {
    Reset();
  }
}

bool TPacketReceiver::Feed(std::uint8_t Byte, bool PktMode) {
  switch (RxState) {
    case TRxState::Hunting:
      if (Byte == LeadByte) RxState = TRxState::Count;
      return false;
    case TRxState::Count:
      TakeCount(Byte, PktMode);
      return false;
    case TRxState::Body:
      TakeBodyByte(Byte);
      return false;
    case TRxState::End:
      if (Byte == EndByte) return true;
      Reset();
      return false;
  }
  return false;
}
