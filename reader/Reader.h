#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "DateTime.h"
#include "LogRecord.h"
#include "Packet.h"
#include "Sockets.h"

// The protocol's waits and bounds. Tests may shorten them; the product changes only what a
// watch needs on a busy line.
struct TLinkTimings {
  int DrainQuietMs = 200;     // a command leaves once the line has been this long without incoming data
  int ReplyWaitMs = 3000;     // default wait for a reply
  int ClearReplyWaitMs = 8000;
  int DrainLimitMs = 2000;    // a reader that never stops sending cannot hold a command back longer
  int DrainLimitBytes = 64 * 1024;
};

// Why a command got no reply: no reply of the awaited kind in time, no line to send it on, or the
// one who drives the link stopped the wait.
enum class TLinkFailure { NoReply, Closed, Stopped };

// A command's typed reply, or why there is none.
template <class T>
class TReply {
 public:
  TReply(T AValue) : Value(std::move(AValue)) {}  // NOLINT: a reply converts from its value
  TReply(TLinkFailure AFailure) : Why(AFailure) {}  // NOLINT: and from its failure
  explicit operator bool() const { return Value.has_value(); }
  const T& operator*() const { return *Value; }
  const T* operator->() const { return &*Value; }
  TLinkFailure Failure() const { return Why; }

 private:
  std::optional<T> Value;
  TLinkFailure Why = TLinkFailure::NoReply;
};

struct TAck {};

// The reader's count of records and the mark that a clear must quote.
struct TCapacity {
  std::uint16_t RecordCount = 0;
  std::uint16_t LogMark = 0;
};

// One page of the reader's log: the slots that hold a record, from the first; a slot whose time
// is no valid date is empty. A page with fewer slots than a page holds is the log's last. Each
// slot's bytes are kept as the reader sent them, to know the log again at a later visit.
struct TLogPage {
  static constexpr int Slots = 33;
  std::array<std::optional<TLogRecord>, Slots> Records;
  std::array<std::uint8_t, Slots * LogRecordSize> Bytes{};
  int Count = 0;
  bool LogEnds() const { return Count < Slots; }
  QByteArray SlotBytes(int Slot) const {
    return QByteArray(reinterpret_cast<const char*>(Bytes.data()) + Slot * LogRecordSize, LogRecordSize);
  }
};

// The most pages a log holds: page indexes run from 0 to this less one.
constexpr int LogPageCount = 2048;

// A card presented at the reader, as it reported it while no reply was awaited. The short form
// carries neither time nor mode: it is stamped with this computer's time and Mode -1.
struct TCardEvent {
  int CardNo = 0;
  TDateTime Stamp = 0;
  std::int8_t Mode = -1;
};

// The client side of one card reader. One call per command returns its typed reply or why there
// is none. The link owns the socket, the quiet before a command, the reply's deadline, the one
// read loop (replies returned, card events handed to OnCard, clock requests noted) and the idle
// line's heartbeat. Nothing here shows a person anything: that is for whoever drives the link.
class TReader {
 public:
  using TOnCard = std::function<void(const TCardEvent&)>;
  explicit TReader(TLinkTimings Timings = {});
  ~TReader();
  TReader(const TReader&) = delete;
  TReader& operator=(const TReader&) = delete;

  void SetAddress(const QString& Host, const QString& Port);
  QString Address() const;  // "host:port", as the row names it
  QString Host() const;
  // What the line reaches, as PeerIdentity names it: one reader under every spelling of its
  // address. Empty while there is no line.
  QString Identity() const { return Connected() ? PeerIdentity : QString(); }
  // Every card event the reader reports while no reply is awaited, also during a command's drain.
  void OnCard(TOnCard Handler) { CardHandler = std::move(Handler); }
  // When it returns true, every wait ends at once, unanswered.
  void StopWaitsWhen(std::function<bool()> Stopping) { StopRequested = std::move(Stopping); }
  // A descriptor that, once readable, ends a pending connect at once.
  void AbandonConnectOn(int Descriptor) { Socket.AbandonConnectOn(Descriptor); }

  // Closes any line and connects afresh; a port text that is no number raises EConvertError.
  bool Connect();
  void Disconnect();
  bool Connected() const { return Socket.Connected(); }
  QString ConnectFailure() const { return ConnectFailureText(Socket.LastErrorCode()); }

  TReply<TAck> Lock(bool Locked);
  TReply<TAck> SetClock();  // this computer's local time now
  TReply<TAck> SetOptions();
  TReply<TCapacity> ReadCapacity();
  TReply<TLogPage> ReadPage(int PageIndex);
  TReply<TAck> ClearLog(std::uint16_t LogMark);

  // The reader asked for its clock (status "C", or "R" at power-up) since the line was made or
  // the clock last set. Nothing is sent from inside a receive: the driver serves it between commands.
  bool ClockRequested() const { return ClockAsked || PowerUpSeen; }
  // Of those, a power-up ("R"): the reader's clock may have started afresh.
  bool PoweredUp() const { return PowerUpSeen; }

  // For a driver that waits on the line itself: the socket, and what to do once it is readable.
  // False when the reader closed the line.
  int SocketHandle() const { return Socket.SocketHandle(); }
  bool TakeIncoming();
  // The idle line's upkeep: once the clock's minute has moved on since the last byte, a heartbeat
  // goes out and its echo is awaited for EchoWaitMs.
  void KeepAlive(int EchoWaitMs);
  bool EchoAwaited() const { return EchoDue.has_value(); }
  bool EchoOverdue() const { return EchoDue && EchoDue->hasExpired(); }
  qint64 EchoRemainingMs() const { return EchoDue ? EchoDue->remainingTime() : -1; }

 private:
  enum class TExpect { Any, Capacity, Page };
  TReply<TAck> Acknowledged(const QByteArray& Payload, int WaitMs = 0);
  std::optional<TLinkFailure> Exchange(const QByteArray& Payload, TExpect Expect, int WaitMs = 0);
  std::optional<TLinkFailure> AwaitReply();
  bool ReplyIs(TExpect Expect) const;
  void DrainInput();
  void SendPacket(const QByteArray& Packet);
  int ReadChunk();
  void FeedReceiver(const std::uint8_t* Chunk, int Count);
  void HandlePacket();
  void RaiseCard(int FlagIndex, int TimeIndex, int CardIndex);

  TTcpClient Socket{nullptr};
  QString PeerIdentity;  // of the line made last: asked once, not for every event and record
  TLinkTimings Timings;
  TOnCard CardHandler;
  std::function<bool()> StopRequested;
  TPacketReceiver Receiver;
  std::array<std::uint8_t, RxBufferSize> Chunk{};
  QDeadlineTimer ReplyDeadline;         // fixed when the command leaves; nothing received moves it
  bool ReplyAwaited = false;
  bool ReplyCame = false;
  bool ClockAsked = false;
  bool PowerUpSeen = false;
  std::optional<QDeadlineTimer> EchoDue;
  TDateTime LastRx = 0;              // for the heartbeat's minute
  QElapsedTimer SinceLineActive;     // the last byte received, or the connect
};
