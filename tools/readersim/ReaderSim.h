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
  std::function<void()> OnClear;        // before a clear is carried out, on the emulator's thread and
                                        // under its lock: it must not call back into the emulator
};

// An emulated card reader on 127.0.0.1, serving one connection at a time on its own thread.
// It is written from the reader's side and shares no code with the client.
class ReaderSim {
 public:
  explicit ReaderSim(std::vector<SimRecord> Log, SimFaults Faults = {}, std::uint16_t Port = 0);
  ~ReaderSim();
  ReaderSim(const ReaderSim&) = delete;
  ReaderSim& operator=(const ReaderSim&) = delete;

  std::uint16_t Port() const { return BoundPort; }

  // Payloads of the commands received, as lower-case hex; heartbeats are counted apart.
  std::vector<std::string> Commands() const;
  int Heartbeats() const;
  std::size_t LogSize() const;
  std::uint16_t LogMark() const;
  int Connections() const;
  bool Locked() const;
  // For each command, how long the line had been quiet when it arrived: since the emulator
  // last sent a byte on that connection, or since the connection was accepted.
  std::vector<int> QuietBeforeMs() const;

 private:
  void FillAcceptQueue(const sockaddr_in& Address);
  void Serve();
  int MsUntilStatus() const;
  void SendStatusWhenDue();
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
  int ConnectionCount = 0;
  int CapacityRepliesOnConnection = 0;
  bool IsLocked = false;

  int ListenFd = -1;
  int ClientFd = -1;
  int WakePipe[2] = {-1, -1};
  std::vector<int> QueueFillers;
  std::uint16_t BoundPort = 0;
  std::vector<std::uint8_t> Pending;
  std::chrono::steady_clock::time_point NextStatusAt;
  std::mt19937 Random;
  std::thread Worker;
};

}  // namespace readersim
