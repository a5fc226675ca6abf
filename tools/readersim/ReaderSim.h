#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SimLog.h"

namespace readersim {

// Misbehaviour on purpose. Command numbers count every command received (heartbeats excluded),
// from 0, across connections.
struct SimFaults {
  bool Silent = false;                  // accepts connections, answers nothing
  bool NoHeartbeatEcho = false;         // answers commands, but no heartbeat
  int CloseAfterMs = 0;                 // non-zero: each connection is closed this long after it was accepted
  bool Blackhole = false;               // never completes a connect: the client's connect times out
  bool StreamForever = false;           // sends StreamBytes (noise if empty) without pause after accepting
  std::vector<std::uint8_t> StreamBytes;
  std::set<int> DropReplyTo;            // commands whose reply is never sent
  std::set<int> ShortReplyTo;           // commands answered by a short error packet instead
  std::set<int> CloseOn;                // commands answered by closing the connection
  int GoneAfter = -1;                   // this command is answered by closing and listening no more
  bool CapacityDiffers = false;         // the second capacity reply of a connection gives another count
  int ReplyDelayMs = 0;
  std::map<std::uint8_t, int> ReplyDelayMsFor;  // by command byte; wins over ReplyDelayMs
  int StatusEveryMs = 0;                // non-zero: a status packet this often while connected
  char StatusCode = 'C';
  int StatusTimes = -1;                 // how many status packets in all; -1: without end
  // Non-zero: each command, decided by this seed, may be answered by closing (2 %), get no
  // reply (10 %), a reply with a bad check byte (5 %), a reply 3.5 s late (2 %), or a stray
  // status or heartbeat packet before its reply (10 %).
  std::uint32_t ChaosSeed = 0;
  bool Trickle = false;                 // every reply goes out a byte at a time
  enum class Mangling { None, Garbage, Truncated, Oversized } Mangle = Mangling::None;
  bool AllFFPages = false;              // every slot of every page reads FF
  std::size_t WrapAt = 0;               // non-zero: the log holds this many, a new record overwrites the oldest
  int EventEveryMs = 0;                 // non-zero: a live card event this often while connected and unlocked
  bool ShortEvents = false;             // live events in the 6-byte form, without time or mode
  std::uint32_t EventCardBase = 500000; // the timed events' cards count up from here
  std::function<void(std::uint32_t)> OnEventSent;  // a timed event's card, once it is sent, on the
                                                   // emulator's thread and outside its lock
  std::function<void()> OnClear;        // before a clear is carried out, on the emulator's thread and
                                        // under its lock: it must not call back into the emulator
};

// A card presented at the reader: kept in its log, and sent to the connected client at once.
struct SimEvent {
  SimRecord Record;
  bool Short = false;  // the 6-byte form: card code only
};

// The packet a live event travels in: E6, 0B (or 06), the body, its check byte, EB. The
// 11-byte form carries the record's mode as its flag byte and its time code big-endian.
std::vector<std::uint8_t> EventPacket(const SimEvent& Event);

// An emulated card reader on 127.0.0.1, serving one connection at a time on its own thread.
// It is written from the reader's side and shares no code with the client.
class ReaderSim {
 public:
  explicit ReaderSim(std::vector<SimRecord> Log, SimFaults Faults = {}, std::uint16_t Port = 0);
  ~ReaderSim();
  ReaderSim(const ReaderSim&) = delete;
  ReaderSim& operator=(const ReaderSim&) = delete;

  std::uint16_t Port() const { return BoundPort; }

  // On demand, from any thread: the event goes into the log, and out to the client if one is
  // connected. Raw bytes go out as they are (a torn or corrupt packet).
  void PresentCard(const SimEvent& Event);
  void SendBytes(std::vector<std::uint8_t> Bytes);
  // The log as another client left it (cleared and refilled), or as another reader at this
  // address holds it; the log mark stays.
  void ReplaceLog(std::vector<SimRecord> NewLog);
  // Live events sent so far, those at an interval and on demand.
  int EventsSent() const;

  // Payloads of the commands received, as lower-case hex; heartbeats are counted apart.
  std::vector<std::string> Commands() const;
  int Heartbeats() const;
  std::size_t LogSize() const;
  std::uint16_t LogMark() const;
  int Connections() const;
  // When each connection was accepted, the first first.
  std::vector<std::chrono::steady_clock::time_point> ConnectionTimes() const;
  bool Locked() const;
  // For each command, how long the line had been quiet when it arrived: since the emulator
  // last sent a byte on that connection, or since the connection was accepted.
  std::vector<int> QuietBeforeMs() const;

 private:
  void FillAcceptQueue(const sockaddr_in& Address);
  void Serve();
  int MsUntilStatus() const;
  void SendStatusWhenDue();
  int MsUntilEvent() const;
  int MsUntilClose() const;
  int NextTimedSendMs() const;
  void SendEventWhenDue();
  void SendQueued();
  void Accept();
  void Receive();
  void TakeCommand(const std::vector<std::uint8_t>& Payload);
  struct FaultPlan {
    bool Close = false;
    bool Drop = false;
    bool BadCheck = false;
    bool StrayFirst = false;
    int DelayMs = 0;
  };
  FaultPlan PlanFor(int Number, std::uint8_t Command);
  void Answer(const std::vector<std::uint8_t>& Payload, int Number);
  std::vector<std::uint8_t> ReplyPacket(const std::vector<std::uint8_t>& Payload, int Number);
  void Mangle(std::vector<std::uint8_t>& Packet);
  void Deliver(const std::vector<std::uint8_t>& Packet);
  std::vector<std::uint8_t> Reply(const std::vector<std::uint8_t>& Payload);
  std::vector<std::uint8_t> PageReply(int Page) const;
  void Append(const SimRecord& Record);
  void SendRaw(const std::vector<std::uint8_t>& Bytes, int Flags = 0);
  void CloseClient();

  mutable std::mutex Lock;
  std::vector<SimRecord> Log;
  SimFaults Faults;
  std::vector<std::string> Received;
  std::vector<int> QuietBefore;
  std::chrono::steady_clock::time_point LastSentAt;
  std::uint16_t Mark = 0x2A51;
  int CommandCount = 0;
  int HeartbeatCount = 0;
  int EventCount = 0;
  std::uint32_t NextEventCard = 0;
  std::vector<std::vector<std::uint8_t>> Queued;
  std::vector<std::chrono::steady_clock::time_point> AcceptedAt;
  int CapacityRepliesOnConnection = 0;
  bool IsLocked = false;

  int ListenFd = -1;
  int ClientFd = -1;
  int WakePipe[2] = {-1, -1};
  std::vector<int> QueueFillers;
  std::uint16_t BoundPort = 0;
  std::vector<std::uint8_t> Pending;
  std::chrono::steady_clock::time_point NextStatusAt;
  std::chrono::steady_clock::time_point NextEventAt;
  std::chrono::steady_clock::time_point CloseAt;
  std::mt19937 Random;
  std::thread Worker;
};

}  // namespace readersim
