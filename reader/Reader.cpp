#include "Reader.h"

#include <algorithm>

#include "Clock.h"
#include "MessageBox.h"

namespace {

constexpr int ReplyTimerInitialMs = 50;
constexpr int SlotOffset = 5;

// Event packets carry their numbers big-endian, unlike log records.
std::uint32_t BigEndian(const std::uint8_t* Bytes, int Count) {
  std::uint32_t value = 0;
  for (int i = 0; i < Count; ++i) value = value << 8 | Bytes[i];
  return value;
}

}  // namespace

QByteArray LockPayload(bool Locked) {
  return QByteArray::fromHex(Locked ? "0000011027" : "0000001027");
}

TReader::TReader(QObject* Owner) : TTcpClient(Owner) {
  MarkReceived();
  SinceLineActive.start();
  Timer = std::make_unique<TSimpleTimer>(ReplyTimerInitialMs, [this](TSimpleTimer*) { ReplyTimeout(); });
}

TReader::~TReader() {
  Timer->SetArmed(false);
  Timer.reset();
}

bool TReader::HeartBeat() {
  const TDateTime now = Now();
  if (MinuteOfTheHour(now) == MinuteOfTheHour(LastRx)) return false;
  LastRx = now;
  return true;
}

bool TReader::Reconnect(bool ShowError) {
  Disconnect();
  ClockRequested = false;
  const bool connected = Connect();
  SinceLineActive.restart();
  Enable = connected;
  if (ShowError && !connected) {
    ShowDesktopMessage("Failed to connect reader (" + Desc + ':' + QString::fromUtf8(RemotePort()) + "). Please retry later!");
  }
  return connected;
}

void TReader::Poll() {
  if (!Enable) return;
  if (!Connected()) {
    Backout = true;
    return;
  }
  if (WaitReadable(0)) {
    const int count = ReceiveBytes(RxChunk.data(), RxBufferSize, 0);
    if (count > 0) SinceLineActive.restart();
    FeedReceiver(RxChunk.data(), count);
    MarkReceived();
    return;
  }
  // A heartbeat while a command waits would have its echo taken for the reply.
  if (!PktMode && HeartBeat()) SendHeartbeat();
}

void TReader::SendPacket(const QByteArray& Packet) {
  Poll();
  SendBytes(Packet.constData(), static_cast<int>(Packet.size()), 0);
  Poll();
}

// The quiet is counted from the last byte the line carried, not from the start of the drain:
// time spent storing the previous reply already counts. What arrived goes through the receiver
// with no command waiting, so a status packet (a clock request) is noted and a stale reply dropped.
void TReader::DrainInput() {
  std::array<std::uint8_t, RxBufferSize> scratch;
  ResetReceiver();
  QElapsedTimer elapsed;
  elapsed.start();
  int drained = 0;
  while (drained < Timings.DrainLimitBytes && elapsed.elapsed() < Timings.DrainLimitMs) {
    const qint64 quietLeftUs = std::max<qint64>(0, qint64{Timings.DrainQuietMs} * 1000 - SinceLineActive.nsecsElapsed() / 1000);
    if (!WaitReadableUs(quietLeftUs)) return;
    const int count = ReceiveBytes(scratch.data(), RxBufferSize, 0);
    if (count <= 0) return;
    SinceLineActive.restart();
    FeedReceiver(scratch.data(), count);
    drained += count;
  }
}

void TReader::SendHeartbeat() {
  QByteArray packet = QByteArray::fromHex("e600000c00eb");
  FixPacket(packet);
  SendPacket(packet);
}

void TReader::SendLock(bool Locked) {
  SendCommand(LockPayload(Locked));
}

void TReader::SetClock() {
  SendCommand(ClockPayload());
}

void TReader::SendCommand(const QByteArray& Payload) {
  AwaitReply(Payload, Timings.ReplyWaitMs);
}

void TReader::SendCommandTimed(const QByteArray& Payload, int WaitMs) {
  AwaitReply(Payload, WaitMs < 1 ? Timings.ReplyWaitMs : WaitMs);
}

void TReader::AwaitReply(const QByteArray& Payload, int WaitMs) {
  Responsed = false;
  if (!Connected()) return;
  DrainInput();
  Timer->SetArmed(false);
  PktMode = true;
  PktTimeout = false;
  PktGood = false;
  const QByteArray packet = FrameCommand(Payload);
  ResetReceiver();
  Timer->SetPeriod(WaitMs);
  Timer->SetArmed(true);
  ReplyDeadline.setRemainingTime(WaitMs);
  SendPacket(packet);
}

void TReader::MarkReceived() {
  LastRx = Now();
}

std::uint8_t TReader::ReplyByte(int Pos) const {
  return Pos >= 0 && Pos < Receiver.RxLen() ? Receiver.RxBuf()[static_cast<std::size_t>(Pos)] : 0;
}

std::uint16_t TReader::ReplyWord(int Pos) const {
  return static_cast<std::uint16_t>(ReplyByte(Pos) | ReplyByte(Pos + 1) << 8);
}

bool TReader::SlotPresent(int N) const {
  return SlotCheck(&Receiver.RxBuf().at(static_cast<std::size_t>(SlotOffset + LogRecordSize * N)), N);
}

bool TReader::DecodeSlot(int N, TLogRecord& Rec) const {
  return DecodeRecord(&Receiver.RxBuf().at(static_cast<std::size_t>(SlotOffset + LogRecordSize * N)), Rec);
}

// After the awaited reply the rest of the chunk is dropped: the reply stays readable in RxBuf
// until its reader takes it. Events and status codes may come back to back, and the reply may
// follow them: each is raised and the chunk goes on.
void TReader::FeedReceiver(const std::uint8_t* Chunk, int Count) {
  for (int i = 0; i < Count; ++i) {
    if (!Receiver.Feed(Chunk[i], PktMode)) continue;
    const bool reply = PktMode && !Receiver.Unsolicited();
    HandlePacket();
    if (reply) return;
  }
}

void TReader::ReplyTimeout() {
  Timer->SetArmed(false);
  PktTimeout = true;
  PktMode = false;
}

void TReader::HandlePacket() {
  if (PktMode && !Receiver.Unsolicited()) {
    Timer->SetArmed(false);
    PktGood = true;
    PktMode = false;
    return;
  }
  const auto& buf = Receiver.RxBuf();
  switch (Receiver.RxLen()) {
    case 2:
      HandleStatusCode(buf[0]);
      break;
    case 4:
      if (buf[2] == 0x0C) Backout = false;
      break;
    case 6:
      RaiseCardCode(-1, -1, 2);
      break;
    case 11:
      RaiseCardCode(0, 1, 7);
      break;
    case 13:
      if (buf[1] == 0x0D) RaiseCardCode(2, 3, 9);
      break;
    default:
      break;
  }
}

void TReader::HandleStatusCode(std::uint8_t Code) {
  const auto respond = [this](bool ok, const char* model) {
    Responsed = true;
    ResponseOk = ok;
    if (model != nullptr) ModelName = model;
  };
  switch (Code) {
    case '0': respond(true, "KV511"); break;
    case '1': respond(true, "LN07"); break;
    case '2': respond(true, "LN08"); break;
    case 'B': respond(false, nullptr); break;
    case 'G': respond(true, nullptr); break;
    case 'C': ClockRequested = true; break;
    case 'R':
      ClockRequested = true;
      Fire(OnPowerup, Reader);
      break;
    case 'P': Fire(OnBypass, Reader, 0); break;
    case 'p': Fire(OnBypass, Reader, 1); break;
    default: break;
  }
}

// FlagIndex and TimeIndex are -1 for the short event, which has neither.
void TReader::RaiseCardCode(int FlagIndex, int TimeIndex, int CardIndex) {
  const auto& buf = Receiver.RxBuf();
  const auto code = static_cast<int>(BigEndian(&buf[static_cast<std::size_t>(CardIndex)], 3));
  if (!OnCardCode || code <= 0) return;
  if (FlagIndex < 0) {
    OnCardCode(false, PortNumber, code, StripMilliseconds(Now()), std::int8_t{-1});
    return;
  }
  const std::uint8_t flag = buf[static_cast<std::size_t>(FlagIndex)];
  const auto timeCode = static_cast<std::int32_t>(BigEndian(&buf[static_cast<std::size_t>(TimeIndex)], 4));
  OnCardCode(flag >= 0x80, PortNumber, code, DecodeTimeCode(timeCode), static_cast<std::int8_t>(flag & 0x7F));
}
