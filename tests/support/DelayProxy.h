#pragma once

#include <QString>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// A TCP proxy on a free port of 127.0.0.1 in front of a server's Unix socket that holds back
// every reply of the server for ReplyDelayMs: a distant link, in one process. It counts the replies
// it relayed, so a test can tell one round trip per row from one per batch.
class TDelayProxy {
 public:
  TDelayProxy(QString SocketPath, int ReplyDelayMs);
  ~TDelayProxy();
  TDelayProxy(const TDelayProxy&) = delete;
  TDelayProxy& operator=(const TDelayProxy&) = delete;

  int Port() const { return PortNumber; }
  int Replies() const { return ReplyCount; }

 private:
  void Accept();
  void Relay(int Client);

  QString ServerSocket;
  int DelayMs;
  int Listener = -1;
  int PortNumber = 0;
  int StopPipe[2] = {-1, -1};  // readable once the proxy stops
  std::atomic<int> ReplyCount{0};
  std::mutex RelaysLock;
  std::vector<std::thread> Relays;
  std::thread Acceptor;
};
