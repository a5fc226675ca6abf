#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>

constexpr std::uint8_t LeadByte = 0xE6;
constexpr std::uint8_t EndByte = 0xEB;
// A long reply (count byte 0) carries exactly this many body bytes: a log page.
constexpr int LongReplyLength = 270;
constexpr int RxBufferSize = 2048;

// E6, K, payload, check, EB with K = payload length + 2 and K + payload + check = 0 (mod 256).
QByteArray FrameCommand(const QByteArray& Payload);

// Writes K and the check byte into a laid-out packet whose check position holds 0.
void FixPacket(QByteArray& Packet);

enum class TRxState : std::uint8_t { Hunting = 0, Count = 1, Body = 2, End = 4 };

// The byte-at-a-time receiver. Works in place on its buffer: nothing is allocated per byte or
// packet, and no count byte can make it store beyond it (the largest body is 270 bytes). After
// a complete packet it goes back to hunting by itself; the packet stays readable until the
// next one starts to overwrite it.
class TPacketReceiver {
 public:
  // Takes one byte; true when it completed a packet (RxBuf and RxLen then hold it).
  bool Feed(std::uint8_t Byte, bool PktMode);
  // Drops a partial packet; what the last complete one left stays readable.
  void Reset();

  const std::array<std::uint8_t, RxBufferSize>& RxBuf() const { return Buffer; }
  int RxLen() const { return Length; }
  int RxRemain() const { return Remain; }
  // The last complete packet came unasked: an event, or a status code that arrived while a
  // reply was awaited.
  bool Unsolicited() const { return WasUnsolicited; }
  TRxState RxState() const { return State; }

 private:
  void StartBody(int BodyRemain, int StoredLen, std::uint8_t Sum);
  void TakeCount(std::uint8_t Count, bool PktMode);
  void TakeEventKind(std::uint8_t Kind);
  void TakeBodyByte(std::uint8_t Byte);

  std::array<std::uint8_t, RxBufferSize> Buffer{};
  TRxState State = TRxState::Hunting;
  int Remain = 0;
  int Length = 0;
  std::uint8_t RunningSum = 0;
  bool WasUnsolicited = false;
};
