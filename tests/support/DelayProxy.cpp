#include "DelayProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

namespace {

bool WriteAll(int Socket, const char* Data, ssize_t Bytes) {
  while (Bytes > 0) {
    const ssize_t written = ::send(Socket, Data, static_cast<size_t>(Bytes), MSG_NOSIGNAL);
    if (written <= 0) return false;
    Data += written;
    Bytes -= written;
  }
  return true;
}

int ConnectUnix(const QString& Path) {
  const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, Path.toLocal8Bit().constData(), sizeof address.sun_path - 1);
  if (::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(server);
    return -1;
  }
  return server;
}

}  // namespace

TDelayProxy::TDelayProxy(QString SocketPath, int ReplyDelayMs) : ServerSocket(std::move(SocketPath)), DelayMs(ReplyDelayMs) {
  if (::pipe(StopPipe) != 0) return;
  Listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(Listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(Listener, 8) != 0 ||
      ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  PortNumber = ntohs(address.sin_port);
  Acceptor = std::thread([this] { Accept(); });
}

TDelayProxy::~TDelayProxy() {
  if (StopPipe[1] >= 0) {
    [[maybe_unused]] const ssize_t woken = ::write(StopPipe[1], "x", 1);  // a full pipe is awake already
  }
  if (Acceptor.joinable()) Acceptor.join();
  for (std::thread& relay : Relays) relay.join();
  for (const int fd : {Listener, StopPipe[0], StopPipe[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void TDelayProxy::Accept() {
  for (;;) {
    pollfd waits[] = {{Listener, POLLIN, 0}, {StopPipe[0], POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 || waits[1].revents != 0) return;
    const int client = ::accept(Listener, nullptr, nullptr);
    if (client < 0) continue;
    const std::lock_guard<std::mutex> lock(RelaysLock);
    Relays.emplace_back([this, client] { Relay(client); });
  }
}

void TDelayProxy::Relay(int Client) {
  const int server = ConnectUnix(ServerSocket);
  char buffer[65536];
  while (server >= 0) {
    pollfd waits[] = {{Client, POLLIN, 0}, {server, POLLIN, 0}, {StopPipe[0], POLLIN, 0}};
    if (::poll(waits, 3, -1) < 0 || waits[2].revents != 0) break;
    if (waits[0].revents != 0) {
      const ssize_t bytes = ::recv(Client, buffer, sizeof buffer, 0);
      if (bytes <= 0 || !WriteAll(server, buffer, bytes)) break;
    }
    if (waits[1].revents != 0) {
      const ssize_t bytes = ::recv(server, buffer, sizeof buffer, 0);
      if (bytes <= 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
      ++ReplyCount;
      if (!WriteAll(Client, buffer, bytes)) break;
    }
  }
  if (server >= 0) ::close(server);
  ::close(Client);
}
