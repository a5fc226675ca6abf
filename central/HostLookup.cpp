#include "HostLookup.h"

#include <QString>

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "ServerError.h"

namespace {

// Shared by the waiting caller and the lookup's thread, which may outlive the wait.
class TLookup {
 public:
  explicit TLookup(QByteArray AName) : Name(std::move(AName)), Done(::eventfd(0, EFD_CLOEXEC)) {}
  ~TLookup() {
    if (Done >= 0) ::close(Done);
  }
  TLookup(const TLookup&) = delete;
  TLookup& operator=(const TLookup&) = delete;

  void Resolve() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(Name.constData(), nullptr, &hints, &found);
    QList<QByteArray> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char text[NI_MAXHOST];
      if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0 &&
          !addresses.contains(text)) {
        addresses << QByteArray(text);
      }
    }
    if (found != nullptr) ::freeaddrinfo(found);
    {
      const std::lock_guard guard(Lock);
      Result = result;
      Addresses = addresses;
    }
    const std::uint64_t one = 1;
    (void)!::write(Done, &one, sizeof one);
  }

  QList<QByteArray> Found() const {
    const std::lock_guard guard(Lock);
    if (Result != 0) {
      throw EServerError(TServerFailure::Outage, QStringLiteral("could not translate host name \"%1\": %2")
                                                     .arg(QString::fromUtf8(Name), QString::fromLocal8Bit(::gai_strerror(Result))));
    }
    return Addresses;
  }

  const QByteArray Name;
  const int Done;

 private:
  mutable std::mutex Lock;
  int Result = EAI_AGAIN;
  QList<QByteArray> Addresses;
};

}  // namespace

QList<QByteArray> LookUpHost(const QByteArray& Name, std::chrono::steady_clock::time_point Deadline, int StopFd) {
  const auto lookup = std::make_shared<TLookup>(Name);
  if (lookup->Done < 0) throw EServerError(TServerFailure::Outage, QString::fromLocal8Bit(std::strerror(errno)));
  std::thread([lookup] { lookup->Resolve(); }).detach();
  pollfd waits[2] = {{lookup->Done, POLLIN, 0}, {StopFd, POLLIN, 0}};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw EServerError(TServerFailure::Outage,
                         QStringLiteral("the name %1 was not looked up in time; given up").arg(QString::fromUtf8(Name)));
    }
    const int ready = ::poll(waits, StopFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throw EServerError(TServerFailure::Outage, QString::fromLocal8Bit(std::strerror(errno)));
    if (ready > 0 && StopFd >= 0 && waits[1].revents != 0) {
      throw EServerError(TServerFailure::Stopped, QStringLiteral("stopped while looking up the server's name"));
    }
    if (ready > 0 && waits[0].revents != 0) return lookup->Found();
  }
}
