#include "ReaderSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace readersim {

namespace {

constexpr std::uint8_t Lead = 0xE6;
constexpr std::uint8_t End = 0xEB;
constexpr int SlotsPerPage = 33;
constexpr std::size_t NoiseChunk = 512;
constexpr int ChaosLateMs = 3500;  // past the client's 3000 ms reply wait
constexpr int TrickleGapMs = 5;
constexpr std::size_t LogCapacity = 65535;
constexpr char WakeToStop = 1;
constexpr char WakeToSend = 2;

std::string Hex(const std::vector<std::uint8_t>& Bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t b : Bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

std::uint8_t Sum(const std::vector<std::uint8_t>& Bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : Bytes) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}

// E6, the count byte, the body (which ends in its check byte), EB.
std::vector<std::uint8_t> Framed(std::uint8_t Count, const std::vector<std::uint8_t>& Body) {
  std::vector<std::uint8_t> packet;
  packet.reserve(Body.size() + 3);
  packet.push_back(Lead);
  packet.push_back(Count);
  for (std::uint8_t b : Body) packet.push_back(b);
  packet.push_back(End);
  return packet;
}

// A length-prefixed packet: the count covers itself, the payload and the check byte.
std::vector<std::uint8_t> FramedPayload(const std::vector<std::uint8_t>& Payload) {
  const auto count = static_cast<std::uint8_t>(Payload.size() + 2);
  std::vector<std::uint8_t> body = Payload;
  body.push_back(static_cast<std::uint8_t>(256 - static_cast<std::uint8_t>(count + Sum(Payload))));
  return Framed(count, body);
}

std::vector<std::uint8_t> StatusPacket(char Code) {
  const auto code = static_cast<std::uint8_t>(Code);
  return Framed(0x02, {code, static_cast<std::uint8_t>(256 - code)});
}

std::vector<std::uint8_t> HeartbeatEcho() {
  return FramedPayload({0x00, 0x0C});
}

// The mode a log record of these bits reads as: 00 in (1), 01 out (2), 1x other (0).
std::uint8_t ModeOf(std::uint8_t ModeBits) {
  return ModeBits == 0 ? 1 : ModeBits == 1 ? 2 : 0;
}

}  // namespace

std::vector<std::uint8_t> EventPacket(const SimEvent& Event) {
  const std::uint32_t card = Event.Record.Card;
  const std::vector<std::uint8_t> cardBytes = {static_cast<std::uint8_t>(card >> 16), static_cast<std::uint8_t>(card >> 8),
                                               static_cast<std::uint8_t>(card)};
  std::vector<std::uint8_t> body;
  if (Event.Short) {
    body = {0x00, 0x00};
  } else {
    const auto code = static_cast<std::uint32_t>(Event.Record.TimeCode);
    body = {ModeOf(Event.Record.ModeBits), static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code), 0x00, 0x00};
  }
  body.insert(body.end(), cardBytes.begin(), cardBytes.end());
  body.push_back(static_cast<std::uint8_t>(256 - Sum(body)));
  return Framed(Event.Short ? 0x06 : 0x0B, body);
}

ReaderSim::ReaderSim(std::vector<SimRecord> InitialLog, SimFaults InitialFaults, std::uint16_t Port)
    : Log(std::move(InitialLog)), Faults(std::move(InitialFaults)), NextEventCard(Faults.EventCardBase), Random(Faults.ChaosSeed) {
  // Close-on-exec: a program the host starts must not inherit the listener and keep the port open.
  ListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(ListenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(Port);
  socklen_t length = sizeof address;
  if (ListenFd < 0 || ::bind(ListenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(ListenFd, 4) != 0 || getsockname(ListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(WakePipe, O_CLOEXEC) != 0) {
    if (ListenFd >= 0) ::close(ListenFd);
    throw std::runtime_error("readersim: cannot listen on 127.0.0.1");
  }
  BoundPort = ntohs(address.sin_port);
  if (Faults.WrapAt > 0 && Log.size() > Faults.WrapAt) Log.erase(Log.begin(), Log.end() - static_cast<std::ptrdiff_t>(Faults.WrapAt));
  if (Faults.Blackhole) FillAcceptQueue(address);
  Worker = std::thread([this] { Serve(); });
}

// With a backlog of 0 and connections of its own that are never accepted, the listener's queue
// is full: the kernel drops every further handshake, as a host that is gone would.
void ReaderSim::FillAcceptQueue(const sockaddr_in& Address) {
  ::listen(ListenFd, 0);
  for (int i = 0; i < 2; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address);
    QueueFillers.push_back(fd);
  }
}

ReaderSim::~ReaderSim() {
  (void)!::write(WakePipe[1], &WakeToStop, 1);
  Worker.join();
  CloseClient();
  if (ListenFd >= 0) ::close(ListenFd);
  for (int fd : QueueFillers) ::close(fd);
  ::close(WakePipe[0]);
  ::close(WakePipe[1]);
}

std::vector<std::string> ReaderSim::Commands() const {
  const std::lock_guard guard(Lock);
  return Received;
}

int ReaderSim::Heartbeats() const {
  const std::lock_guard guard(Lock);
  return HeartbeatCount;
}

std::size_t ReaderSim::LogSize() const {
  const std::lock_guard guard(Lock);
  return Log.size();
}

std::uint16_t ReaderSim::LogMark() const {
  const std::lock_guard guard(Lock);
  return Mark;
}

int ReaderSim::Connections() const {
  const std::lock_guard guard(Lock);
  return static_cast<int>(AcceptedAt.size());
}

std::vector<std::chrono::steady_clock::time_point> ReaderSim::ConnectionTimes() const {
  const std::lock_guard guard(Lock);
  return AcceptedAt;
}

std::vector<int> ReaderSim::QuietBeforeMs() const {
  const std::lock_guard guard(Lock);
  return QuietBefore;
}

int ReaderSim::EventsSent() const {
  const std::lock_guard guard(Lock);
  return EventCount;
}

void ReaderSim::PresentCard(const SimEvent& Event) {
  {
    const std::lock_guard guard(Lock);
    Append(Event.Record);
  }
  SendBytes(EventPacket(Event));
}

void ReaderSim::ReplaceLog(std::vector<SimRecord> NewLog) {
  const std::lock_guard guard(Lock);
  Log = std::move(NewLog);
}

// Under the lock. A full log takes no more records, unless it wraps: the oldest then gives way.
void ReaderSim::Append(const SimRecord& Record) {
  if (Log.size() >= (Faults.WrapAt > 0 ? Faults.WrapAt : LogCapacity)) {
    if (Faults.WrapAt == 0) return;
    Log.erase(Log.begin());
  }
  Log.push_back(Record);
}

void ReaderSim::SendBytes(std::vector<std::uint8_t> Bytes) {
  {
    const std::lock_guard guard(Lock);
    Queued.push_back(std::move(Bytes));
  }
  (void)!::write(WakePipe[1], &WakeToSend, 1);
}

// Only the emulator's thread writes to the client: what others queue goes out from here.
void ReaderSim::SendQueued() {
  std::vector<std::vector<std::uint8_t>> packets;
  {
    const std::lock_guard guard(Lock);
    packets.swap(Queued);
    if (ClientFd >= 0) EventCount += static_cast<int>(packets.size());
  }
  for (const auto& packet : packets) Deliver(packet);
}

bool ReaderSim::Locked() const {
  const std::lock_guard guard(Lock);
  return IsLocked;
}

void ReaderSim::Serve() {
  const std::vector<std::uint8_t> pattern = Faults.StreamBytes.empty() ? std::vector<std::uint8_t>{0x55} : Faults.StreamBytes;
  std::vector<std::uint8_t> stream;
  while (stream.size() < NoiseChunk) stream.insert(stream.end(), pattern.begin(), pattern.end());
  for (;;) {
    const int polledClient = ClientFd;
    pollfd fds[3] = {{WakePipe[0], POLLIN, 0}, {Faults.Blackhole ? -1 : ListenFd, POLLIN, 0}, {polledClient, POLLIN, 0}};
    const bool streaming = Faults.StreamForever && polledClient >= 0;
    if (streaming) fds[2].events |= POLLOUT;
    if (::poll(fds, polledClient >= 0 ? 3 : 2, NextTimedSendMs()) < 0) continue;
    if (fds[0].revents != 0) {
      char wake[64];
      const ssize_t count = ::read(WakePipe[0], wake, sizeof wake);
      if (std::find(wake, wake + std::max<ssize_t>(count, 0), WakeToStop) != wake + std::max<ssize_t>(count, 0)) return;
      SendQueued();
    }
    SendStatusWhenDue();
    SendEventWhenDue();
    if (MsUntilClose() == 0) CloseClient();
    if ((fds[1].revents & POLLIN) && !Faults.Blackhole) Accept();
    // A new connection replaces the polled one: its readiness says nothing about the new one.
    if (ClientFd < 0 || ClientFd != polledClient) continue;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) Receive();
    if (streaming && ClientFd >= 0 && (fds[2].revents & POLLOUT)) SendRaw(stream, MSG_DONTWAIT);
  }
}

int ReaderSim::MsUntilStatus() const {
  if (Faults.StatusEveryMs <= 0 || ClientFd < 0 || Faults.StatusTimes == 0) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(NextStatusAt - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

int ReaderSim::MsUntilEvent() const {
  if (Faults.EventEveryMs <= 0 || ClientFd < 0) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(NextEventAt - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

int ReaderSim::MsUntilClose() const {
  if (Faults.CloseAfterMs <= 0 || ClientFd < 0) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(CloseAt - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// The soonest of the timed sends and the timed close; -1 when none is due.
int ReaderSim::NextTimedSendMs() const {
  int soonest = -1;
  for (const int ms : {MsUntilStatus(), MsUntilEvent(), MsUntilClose()}) {
    if (ms >= 0 && (soonest < 0 || ms < soonest)) soonest = ms;
  }
  return soonest;
}

// Each timed event is a new card, so no two are one record under the duplicate rule.
void ReaderSim::SendEventWhenDue() {
  if (MsUntilEvent() != 0) return;
  NextEventAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(Faults.EventEveryMs);
  SimEvent event;
  {
    const std::lock_guard guard(Lock);
    if (IsLocked) return;  // a locked reader takes no card: its log holds still for the download
    event.Record = {static_cast<std::uint8_t>(NextEventCard % 2), NextEventCard, TimeCodeNow(), false};
    ++NextEventCard;
    Append(event.Record);
    ++EventCount;
  }
  event.Short = Faults.ShortEvents;
  Deliver(EventPacket(event));
  if (Faults.OnEventSent) Faults.OnEventSent(event.Record.Card);
}

void ReaderSim::SendStatusWhenDue() {
  if (MsUntilStatus() != 0) return;
  Deliver(StatusPacket(Faults.StatusCode));
  if (Faults.StatusTimes > 0) --Faults.StatusTimes;
  NextStatusAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(Faults.StatusEveryMs);
}

void ReaderSim::Accept() {
  const int fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  CloseClient();  // a reader serves one client: a new connection replaces the old one
  ClientFd = fd;
  LastSentAt = std::chrono::steady_clock::now();
  NextStatusAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(Faults.StatusEveryMs);
  NextEventAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(Faults.EventEveryMs);
  CloseAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(Faults.CloseAfterMs);
  const std::lock_guard guard(Lock);
  AcceptedAt.push_back(std::chrono::steady_clock::now());
  CapacityRepliesOnConnection = 0;

}

void ReaderSim::CloseClient() {
  if (ClientFd >= 0) ::close(ClientFd);
  ClientFd = -1;
  Pending.clear();
}

void ReaderSim::Receive() {
  std::uint8_t chunk[2048];
  const ssize_t count = ::recv(ClientFd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (count <= 0) {
    CloseClient();
    return;
  }
  Pending.insert(Pending.end(), chunk, chunk + count);
  // Frames from the client: E6, K, K - 2 payload bytes, check, EB; K + payload + check = 0.
  for (;;) {
    std::size_t lead = 0;
    while (lead < Pending.size() && Pending[lead] != Lead) ++lead;
    Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(lead));
    if (Pending.size() < 2) return;
    const std::size_t total = static_cast<std::size_t>(Pending[1]) + 2;
    if (Pending[1] < 2) {
      Pending.erase(Pending.begin());
      continue;
    }
    if (Pending.size() < total) return;
    const std::vector<std::uint8_t> body(Pending.begin() + 1, Pending.begin() + static_cast<std::ptrdiff_t>(total) - 1);
    const bool valid = Pending[total - 1] == End && Sum(body) == 0;
    Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(valid ? total : 1));
    if (valid) TakeCommand(std::vector<std::uint8_t>(body.begin() + 1, body.end() - 1));
    if (ClientFd < 0) return;
  }
}

void ReaderSim::TakeCommand(const std::vector<std::uint8_t>& Payload) {
  const bool heartbeat = Payload.size() == 2 && Payload[0] == 0x00 && Payload[1] == 0x0C;
  int number = -1;
  {
    const std::lock_guard guard(Lock);
    if (heartbeat) {
      ++HeartbeatCount;
    } else {
      Received.push_back(Hex(Payload));
      QuietBefore.push_back(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - LastSentAt)
                                                 .count()));
      number = CommandCount++;
    }
  }
  if (Faults.Silent || Faults.StreamForever) return;
  if (heartbeat) {
    if (!Faults.NoHeartbeatEcho) Deliver(HeartbeatEcho());
    return;
  }
  Answer(Payload, number);
}

ReaderSim::FaultPlan ReaderSim::PlanFor(int Number, std::uint8_t Command) {
  FaultPlan plan;
  plan.Close = Faults.CloseOn.count(Number) != 0;
  plan.Drop = Faults.DropReplyTo.count(Number) != 0;
  const auto delay = Faults.ReplyDelayMsFor.find(Command);
  plan.DelayMs = delay != Faults.ReplyDelayMsFor.end() ? delay->second : Faults.ReplyDelayMs;
  if (Faults.ChaosSeed == 0) return plan;
  const int roll = static_cast<int>(Random() % 100);
  plan.Close |= roll < 2;
  plan.Drop |= roll >= 2 && roll < 12;
  plan.BadCheck = roll >= 12 && roll < 17;
  if (roll >= 17 && roll < 19) plan.DelayMs = ChaosLateMs;
  plan.StrayFirst = Random() % 10 == 0;
  return plan;
}

void ReaderSim::Answer(const std::vector<std::uint8_t>& Payload, int Number) {
  const FaultPlan plan = PlanFor(Number, Payload.size() > 1 ? Payload[1] : std::uint8_t{0xFF});
  if (Number == Faults.GoneAfter) {
    CloseClient();
    ::close(ListenFd);
    ListenFd = -1;  // poll skips it; every later connect is refused
    return;
  }
  if (plan.Close) {
    CloseClient();
    return;
  }
  if (plan.Drop) return;
  if (plan.DelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(plan.DelayMs));
  if (plan.StrayFirst) Deliver(Random() % 2 == 0 ? StatusPacket('G') : HeartbeatEcho());
  std::vector<std::uint8_t> packet = ReplyPacket(Payload, Number);
  if (plan.BadCheck) packet[packet.size() - 2] ^= 0x5A;
  Mangle(packet);
  Deliver(packet);
}

std::vector<std::uint8_t> ReaderSim::ReplyPacket(const std::vector<std::uint8_t>& Payload, int Number) {
  if (Faults.ShortReplyTo.count(Number) != 0) {
    return FramedPayload({0x00, Payload.size() > 1 ? Payload[1] : std::uint8_t{0}, 0x01});
  }
  if (Payload.size() == 5 && Payload[0] == 0x00 && Payload[1] == 0x0A) return PageReply(Payload[3] | Payload[4] << 8);
  return FramedPayload(Reply(Payload));
}

void ReaderSim::Mangle(std::vector<std::uint8_t>& Packet) {
  switch (Faults.Mangle) {
    case SimFaults::Mangling::None:
      return;
    case SimFaults::Mangling::Garbage:
      for (auto& b : Packet) b = static_cast<std::uint8_t>(Random());
      Packet.resize(Random() % 600);
      return;
    case SimFaults::Mangling::Truncated:
      Packet.resize(Packet.size() / 2);
      return;
    case SimFaults::Mangling::Oversized:
      // The count byte claims more than any reply holds, and the body runs on.
      Packet[1] = 0xFF;
      Packet.insert(Packet.end() - 1, 3000, std::uint8_t{0xE6});
      return;
  }
}

void ReaderSim::Deliver(const std::vector<std::uint8_t>& Packet) {
  if (!Faults.Trickle) {
    SendRaw(Packet);
    return;
  }
  for (std::uint8_t b : Packet) {
    SendRaw({b});
    std::this_thread::sleep_for(std::chrono::milliseconds(TrickleGapMs));
  }
}

std::vector<std::uint8_t> ReaderSim::Reply(const std::vector<std::uint8_t>& Payload) {
  const std::uint8_t command = Payload.size() > 1 ? Payload[1] : 0xFF;
  const std::lock_guard guard(Lock);
  switch (command) {
    case 0x00:
      if (Payload.size() > 2) IsLocked = Payload[2] == 0x01;
      break;
    case 0x03: {
      auto count = static_cast<std::uint16_t>(Log.size());
      if (Faults.CapacityDiffers && CapacityRepliesOnConnection % 2 == 1) ++count;
      ++CapacityRepliesOnConnection;
      return {0x00, 0x03, 0x00, static_cast<std::uint8_t>(Mark), static_cast<std::uint8_t>(Mark >> 8),
              static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)};
    }
    case 0x05:
      if (Faults.OnClear) Faults.OnClear();
      if (Payload.size() == 5 && (Payload[3] | Payload[4] << 8) == Mark) {
        Log.clear();
        ++Mark;
      }
      break;
    default:
      break;
  }
  return {0x00, command, 0x00};
}

std::vector<std::uint8_t> ReaderSim::PageReply(int Page) const {
  std::vector<std::uint8_t> body = {0x00, 0x0A, 0x00, static_cast<std::uint8_t>(Page), static_cast<std::uint8_t>(Page >> 8)};
  {
    const std::lock_guard guard(Lock);
    for (int slot = 0; slot < SlotsPerPage; ++slot) {
      const std::size_t index = static_cast<std::size_t>(Page) * SlotsPerPage + static_cast<std::size_t>(slot);
      const SimRecord empty{3, 0xFFFFFF, -1, true};
      const auto bytes = RecordBytes(index < Log.size() ? Log[index] : empty, slot);
      if (Faults.AllFFPages) {
        body.insert(body.end(), bytes.size(), std::uint8_t{0xFF});
      } else {
        body.insert(body.end(), bytes.begin(), bytes.end());
      }
    }
  }
  body.push_back(static_cast<std::uint8_t>(256 - Sum(body)));
  return Framed(0x00, body);
}

void ReaderSim::SendRaw(const std::vector<std::uint8_t>& Bytes, int Flags) {
  if (ClientFd < 0) return;
  (void)::send(ClientFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | Flags);
  LastSentAt = std::chrono::steady_clock::now();
}

}  // namespace readersim
