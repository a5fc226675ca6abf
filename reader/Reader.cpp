#include "Reader.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <sys/socket.h>

#include <algorithm>

#include "Clock.h"
#include "Commands.h"
#include "SimpleTimer.h"

namespace {

// Event packets carry their numbers big-endian, unlike log records.
std::uint32_t BigEndian(const std::uint8_t* Bytes, int Count) {
  std::uint32_t value = 0;
  for (int i = 0; i < Count; ++i) value = value << 8 | Bytes[i];
  return value;
}

QByteArray HeartbeatPacket() {
  QByteArray packet = QByteArray::fromHex("e600000c00eb");
  FixPacket(packet);
  return packet;
}

// A closed peer stays readable for ever; watching it would wake the loop without end.
bool PeerHasClosed(TTcpClient& Socket) {
  bool readable = false;
  return Socket.PollState(&readable, nullptr, nullptr, 0) && readable && !Socket.WaitReadable(0);
}

std::unique_ptr<QSocketNotifier> WatchSocket(TTcpClient& Socket) {
  if (!Socket.Active()) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(Socket.SocketHandle(), QSocketNotifier::Read);
  QSocketNotifier* raw = notifier.get();
  // Level-triggered: disarm on every wake-up and re-arm once the bytes are taken in.
  QObject::connect(raw, &QSocketNotifier::activated, raw, [raw] { raw->setEnabled(false); });
  return notifier;
}

}  // namespace

TReader::TReader(TLinkTimings ATimings) : Timings(ATimings) {
  LastRx = Now();
  SinceLineActive.start();
}

TReader::~TReader() = default;

void TReader::SetAddress(const QString& Host, const QString& Port) {
  Socket.SetRemoteHost(Host.toUtf8());
  Socket.SetRemotePort(Port.toUtf8());
}

QString TReader::Host() const {
  return QString::fromUtf8(Socket.RemoteHost());
}

QString TReader::Address() const {
  return QString::fromUtf8(Socket.RemoteHost() + ':' + Socket.RemotePort());
}

bool TReader::Connect() {
  Disconnect();
  const bool connected = Socket.Connect();
  if (connected) PeerIdentity = ConnectedPeerIdentity(Socket.SocketHandle());
  SinceLineActive.restart();
  return connected;
}

void TReader::Disconnect() {
  Socket.Disconnect();
  Receiver.Reset();
  ClockAsked = PowerUpSeen = false;
  EchoDue.reset();
}

TReply<TAck> TReader::Lock(bool Locked) {
  return Acknowledged(LockPayload(Locked));
}

TReply<TAck> TReader::SetClock() {
  TReply<TAck> reply = Acknowledged(ClockPayload());
  ClockAsked = PowerUpSeen = false;  // asked or not, answered or not: one try per request
  return reply;
}

TReply<TAck> TReader::SetOptions() {
  return Acknowledged(OptionsPayload());
}

TReply<TCapacity> TReader::ReadCapacity() {
  if (const auto failure = Exchange(CapacityPayload(), TExpect::Capacity)) return *failure;
  return CapacityOf(Receiver.RxBuf().data());
}

TReply<TLogPage> TReader::ReadPage(int PageIndex) {
  if (const auto failure = Exchange(PagePayload(PageIndex), TExpect::Page)) return *failure;
  return PageOf(Receiver.RxBuf().data());
}

TReply<TAck> TReader::ClearLog(std::uint16_t LogMark) {
  return Acknowledged(ClearPayload(LogMark), Timings.ClearReplyWaitMs);
}

TReply<TAck> TReader::Acknowledged(const QByteArray& Payload, int WaitMs) {
  if (const auto failure = Exchange(Payload, TExpect::Any, WaitMs)) return *failure;
  return TAck{};
}

// The command leaves after the line's quiet; its deadline is fixed then. A reply of another
// layout than the one awaited counts as none: it would be some other command's. The timer that
// wakes the wait belongs to the thread that waits: a watched line is driven by one thread while
// idle and by another in its pass.
std::optional<TLinkFailure> TReader::Exchange(const QByteArray& Payload, TExpect Expect, int WaitMs) {
  if (!Connected()) return TLinkFailure::Closed;
  DrainInput();
  const int waitMs = WaitMs < 1 ? Timings.ReplyWaitMs : WaitMs;
  Receiver.Reset();
  ReplyAwaited = true;
  ReplyCame = false;
  TSimpleTimer timer(waitMs, [this](TSimpleTimer* Elapsed) {
    Elapsed->SetArmed(false);
    ReplyAwaited = false;
  });
  timer.SetArmed(true);
  ReplyDeadline.setRemainingTime(waitMs);
  SendPacket(FrameCommand(Payload));
  const std::optional<TLinkFailure> failure = AwaitReply();
  ReplyAwaited = false;
  if (failure) {
    Receiver.Reset();
    return failure;
  }
  return ReplyIs(Expect) ? std::nullopt : std::optional{TLinkFailure::NoReply};
}

// Sleeps in the event loop between bytes, woken by the socket, the reply's timer or a window
// event, so a wait costs next to no CPU and windows stay live.
std::optional<TLinkFailure> TReader::AwaitReply() {
  const std::unique_ptr<QSocketNotifier> notifier = WatchSocket(Socket);
  QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents;
  for (;;) {
    if (StopRequested && StopRequested()) return TLinkFailure::Stopped;
    if (!ReplyAwaited || ReplyDeadline.hasExpired()) return TLinkFailure::NoReply;
    QCoreApplication::processEvents(flags);
    if (Socket.WaitReadable(0)) ReadChunk();
    if (ReplyCame) return std::nullopt;
    if (notifier && !notifier->isEnabled() && !PeerHasClosed(Socket)) notifier->setEnabled(true);
    flags = QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents;
  }
}

bool TReader::ReplyIs(TExpect Expect) const {
  switch (Expect) {
    case TExpect::Any: return true;
    case TExpect::Capacity: return Receiver.RxLen() >= CapacityReplyLength;
    // Anything but the long reply would leave another page's slots to be read.
    case TExpect::Page: return Receiver.RxLen() == LongReplyLength;
  }
  return false;
}

// The quiet is counted from the last byte the line carried, not from the start of the drain:
// time spent storing the previous reply already counts. What arrives goes through the receiver
// with no reply awaited, so a card event is handed on, a clock request noted and a stale reply dropped.
void TReader::DrainInput() {
  Receiver.Reset();
  QElapsedTimer elapsed;
  elapsed.start();
  int drained = 0;
  // A stopping driver's command goes at once: it awaits no reply that the line could confuse.
  while (drained < Timings.DrainLimitBytes && elapsed.elapsed() < Timings.DrainLimitMs && !(StopRequested && StopRequested())) {
    const qint64 quietLeftUs = std::max<qint64>(0, qint64{Timings.DrainQuietMs} * 1000 - SinceLineActive.nsecsElapsed() / 1000);
    if (!Socket.WaitReadableUs(quietLeftUs)) return;
    const int count = ReadChunk();
    if (count <= 0) return;
    drained += count;
  }
}

void TReader::SendPacket(const QByteArray& Packet) {
  Socket.SendBytes(Packet.constData(), static_cast<int>(Packet.size()), 0);
}

// The one place the socket is read: 0 when the reader closed the line, below 0 when nothing was there.
int TReader::ReadChunk() {
  const int count = Socket.ReceiveBytes(Chunk.data(), RxBufferSize, MSG_DONTWAIT);
  if (count <= 0) return count;
  SinceLineActive.restart();
  LastRx = Now();
  FeedReceiver(Chunk.data(), count);
  return count;
}

bool TReader::TakeIncoming() {
  return ReadChunk() != 0;
}

// A heartbeat only on a line idle across a minute, and never while a reply is awaited: its echo
// would be taken for the reply.
void TReader::KeepAlive(int EchoWaitMs) {
  if (EchoDue || ReplyAwaited || !Connected()) return;
  const TDateTime now = Now();
  if (MinuteOfTheHour(now) == MinuteOfTheHour(LastRx)) return;
  LastRx = now;
  EchoDue = QDeadlineTimer(EchoWaitMs);
  SendPacket(HeartbeatPacket());
}

// After the awaited reply the rest of the chunk is dropped: the reply stays readable until its
// command takes it. Events and status codes may come back to back, and the reply may follow them.
void TReader::FeedReceiver(const std::uint8_t* Bytes, int Count) {
  for (int i = 0; i < Count; ++i) {
    if (!Receiver.Feed(Bytes[i], ReplyAwaited)) continue;
    const bool reply = ReplyAwaited && !Receiver.Unsolicited();
    HandlePacket();
    if (reply) return;
  }
}

void TReader::HandlePacket() {
  if (ReplyAwaited && !Receiver.Unsolicited()) {
    ReplyCame = true;
    ReplyAwaited = false;
    return;
  }
  const auto& buf = Receiver.RxBuf();
  switch (Receiver.RxLen()) {
    case 2:
      if (buf[0] == 'C') ClockAsked = true;
      if (buf[0] == 'R') PowerUpSeen = true;
      break;
    case 4:
      if (buf[2] == 0x0C) EchoDue.reset();
      break;
    case 6: RaiseCard(-1, -1, 2); break;
    case 11: RaiseCard(0, 1, 7); break;
    case 13:
      if (buf[1] == 0x0D) RaiseCard(2, 3, 9);
      break;
    default: break;
  }
}

// FlagIndex and TimeIndex are -1 for the short event, which has neither.
void TReader::RaiseCard(int FlagIndex, int TimeIndex, int CardIndex) {
  const auto& buf = Receiver.RxBuf();
  const auto card = static_cast<int>(BigEndian(&buf[static_cast<std::size_t>(CardIndex)], 3));
  if (!CardHandler || card <= 0) return;
  if (FlagIndex < 0) {
    CardHandler({card, StripMilliseconds(Now()), -1});
    return;
  }
  const std::uint8_t flag = buf[static_cast<std::size_t>(FlagIndex)];
  const auto timeCode = static_cast<std::int32_t>(BigEndian(&buf[static_cast<std::size_t>(TimeIndex)], 4));
  CardHandler({card, DecodeTimeCode(timeCode), static_cast<std::int8_t>(flag & 0x7F)});
}
