#pragma once

#include <cstdint>
#include <mutex>
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
  bool StreamForever = false;           // sends noise without pause after accepting
  std::set<int> DropReplyTo;            // commands whose reply is never sent
  std::set<int> ShortReplyTo;           // commands answered by a short error packet instead
  std::set<int> CloseOn;                // commands answered by closing the connection
  bool CapacityDiffers = false;         // the second capacity reply of a connection gives another count
  int ReplyDelayMs = 0;
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

  // Payloads of the commands received, as lower-case hex, heartbeats included as "000c".
  std::vector<std::string> Commands() const;
  std::size_t LogSize() const;
  std::uint16_t LogMark() const;
  int Connections() const;
  bool Locked() const;

 private:
  void Serve();
  void Accept();
  void Receive();
  void TakeCommand(const std::vector<std::uint8_t>& Payload);
  void Answer(const std::vector<std::uint8_t>& Payload, int Number);
  std::vector<std::uint8_t> Reply(const std::vector<std::uint8_t>& Payload);
  std::vector<std::uint8_t> PageReply(int Page) const;
  void SendFramed(const std::vector<std::uint8_t>& Payload);
  void SendRaw(const std::vector<std::uint8_t>& Bytes, int Flags = 0);
  void CloseClient();

  mutable std::mutex Lock;
  std::vector<SimRecord> Log;
  SimFaults Faults;
  std::vector<std::string> Received;
  std::uint16_t Mark = 0x2A51;
  int CommandCount = 0;
  int ConnectionCount = 0;
  int CapacityRepliesOnConnection = 0;
  bool IsLocked = false;

  int ListenFd = -1;
  int ClientFd = -1;
  int WakePipe[2] = {-1, -1};
  std::uint16_t BoundPort = 0;
  std::vector<std::uint8_t> Pending;
  std::thread Worker;
};

}  // namespace readersim
