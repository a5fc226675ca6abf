#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "DateTime.h"
#include "Event.h"
#include "LogRecord.h"
#include "Packet.h"
#include "SimpleTimer.h"
#include "Sockets.h"

using TCardCodeEvent = TEvent<bool /*offline*/, int /*port*/, int /*code*/, TDateTime /*stamp*/, std::int8_t /*cmode*/>;
using TBypassEvent = TEvent<int /*port*/, int /*state*/>;
using TPowerupEvent = TEvent<int /*port*/>;

// The protocol's waits and bounds. Tests may shorten them; the product never changes them.
struct TLinkTimings {
  int DrainQuietMs = 200;     // a command leaves once the line has been this long without incoming data
  int ReplyWaitMs = 3000;     // default wait for a reply
  int ClearReplyWaitMs = 8000;
  int DrainLimitMs = 2000;    // a reader that never stops sending cannot hold a command back longer
  int DrainLimitBytes = 64 * 1024;
};

// The client side of one card reader: commands, the reply wait, heartbeats and live events.
class TReader : public TTcpClient {
 public:
  explicit TReader(QObject* Owner);
  ~TReader() override;

  TCardCodeEvent OnCardCode;
  TBypassEvent OnBypass;
  TPowerupEvent OnPowerup;
  bool Enable = false;
  QString Desc;
  bool Backout = false;
  int Reader = 0;
  TDateTime Offset = 0;
  bool Ahead = false;
  bool Responsed = false;
  bool PktGood = false;
  bool PktMode = false;
  bool PktTimeout = false;
  int LockTime = 1;
  int Mode = 2;
  int Lock = 0;
  bool Capture = false;
  bool APB = false;
  int Bypass = 0;
  int Model = 0;
  int Motion = 0;
  bool MotionCapture = false;
  bool MultipleShot = false;

  TDateTime LastRx = 0;
  QByteArray ModelName;
  bool ResponseOk = false;
  // The reader asked for its clock (status "C" or "R"), during a reply wait or in the line's
  // drain before a command. Nothing is sent from inside a receive: whoever drives the link
  // serves the request between commands.
  bool ClockRequested = false;
  TLinkTimings Timings;
  // When set and true, every reply wait ends at once, unanswered: whoever drives the link is
  // stopping, and a reader that stopped answering must not hold it for its tries.
  std::function<bool()> AbandonWaits;

  // ID and PortNo are one value.
  int ID() const { return PortNumber; }
  void SetID(int Value) { PortNumber = Value; }
  int PortNo() const { return PortNumber; }
  void SetPortNo(int Value) { PortNumber = Value; }
  QString Port() const { return QStringLiteral("COM%1").arg(PortNumber); }

  // True, and LastRx moved to now, when the clock's minute differs from LastRx's.
  bool HeartBeat();

  bool Reconnect(bool ShowError);
  void Poll();
  void SendPacket(const QByteArray& Packet);
  void DrainInput();
  void SendHeartbeat();
  void SendLock(bool Locked);
  // Sends the clock command with the local time, without a lock of its own; awaits its reply
  // like any command.
  void SetClock();
  void SendCommand(const QByteArray& Payload);
  void SendCommandTimed(const QByteArray& Payload, int WaitMs);
  void MarkReceived();

  std::uint16_t ReplyWord(int Pos) const;
  bool SlotPresent(int N) const;
  bool DecodeSlot(int N, TLogRecord& Rec) const;
  const std::array<std::uint8_t, RxBufferSize>& RxBuf() const { return Receiver.RxBuf(); }
  int RxLen() const { return Receiver.RxLen(); }

  void FeedReceiver(const std::uint8_t* Chunk, int Count);
  void ResetReceiver() { Receiver.Reset(); }
  void ReplyTimeout();
  // Fixed when the command was sent; nothing received or sent afterwards moves it.
  bool ReplyDeadlinePassed() const { return PktMode && ReplyDeadline.hasExpired(); }
  TSimpleTimer& ReplyTimer() { return *Timer; }

 private:
  void AwaitReply(const QByteArray& Payload, int WaitMs);
  void HandlePacket();
  void HandleStatusCode(std::uint8_t Code);
  void RaiseCardCode(int FlagIndex, int TimeIndex, int CardIndex);
  // A byte of the last packet; 0 past its end, so a short reply never lends an earlier one's bytes.
  std::uint8_t ReplyByte(int Pos) const;

  int PortNumber = 0;
  std::array<std::uint8_t, RxBufferSize> RxChunk{};
  TPacketReceiver Receiver;
  std::unique_ptr<TSimpleTimer> Timer;
  QDeadlineTimer ReplyDeadline;
  QElapsedTimer SinceLineActive;  // the last byte received, or the connect
};

// The lock command's payload: 00 00 X 10 27, X = 01 to lock, 00 to unlock.
QByteArray LockPayload(bool Locked);
