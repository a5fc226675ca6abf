#include "Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

namespace {

constexpr int AddressFamilies[] = {AF_UNSPEC, AF_UNIX, AF_INET};
constexpr int SocketTypes[] = {SOCK_STREAM, SOCK_DGRAM, SOCK_RAW, SOCK_RDM, SOCK_SEQPACKET};
constexpr int InternetFamilyIndex = 2;

// Connects a blocking socket with a bound on the wait; the socket is blocking again afterwards.
// Abandon, when not -1, ends the wait once it is readable: the connect fails with ECANCELED.
int ConnectWithTimeout(int Handle, const sockaddr_in& Address, int Abandon) {
  const int flags = fcntl(Handle, F_GETFL);
  if (flags == -1 || fcntl(Handle, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
  int result = ::connect(Handle, reinterpret_cast<const sockaddr*>(&Address), sizeof Address);
  if (result == -1 && errno == EINPROGRESS) {
    pollfd pfd[] = {{Handle, POLLOUT, 0}, {Abandon, POLLIN, 0}};
    int ready = 0;
    do {
      ready = ::poll(pfd, Abandon < 0 ? 1 : 2, ConnectTimeoutMs);
    } while (ready == -1 && errno == EINTR);
    int error = ready == 0 ? ETIMEDOUT : 0;
    socklen_t length = sizeof error;
    if (ready > 0 && (pfd[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) error = ECANCELED;
    if (ready > 0 && error == 0) getsockopt(Handle, SOL_SOCKET, SO_ERROR, &error, &length);
    result = error == 0 && ready > 0 ? 0 : -1;
    if (result == -1) errno = error != 0 ? error : errno;
  }
  const int savedErrno = errno;
  fcntl(Handle, F_SETFL, flags);
  errno = savedErrno;
  return result;
}

// A host that did not resolve leaves no address: fail without sending anything anywhere.
int ConnectTo(int Handle, const std::optional<sockaddr_in>& Address, int Abandon) {
  if (!Address) {
    errno = HostNotResolved;
    return -1;
  }
  return ConnectWithTimeout(Handle, *Address, Abandon);
}

bool ParseInteger(const QByteArray& Text, int& Value) {
  const char* first = Text.constData();
  const char* last = first + Text.size();
  const auto [end, error] = std::from_chars(first, last, Value);
  return error == std::errc() && end == last;
}

// Raises EConvertError for a port that is no number; nullopt for a host that did not resolve.
std::optional<sockaddr_in> BuildAddress(const QByteArray& Host, const QByteArray& Port) {
  const QByteArray host = ResolveHost(Host);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(ResolvePort(Port) & 0xFFFF));
  if (host.isEmpty()) return std::nullopt;
  address.sin_addr.s_addr = inet_addr(host.constData());
  return address;
}

}  // namespace

void SocketsStartup() {
  // A write to a reader that has gone must never end the process.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) throw ESocketError("cannot ignore SIGPIPE");
}

void SocketsCleanup() {
  if (std::signal(SIGPIPE, SIG_DFL) == SIG_ERR) throw ESocketError("cannot restore SIGPIPE");
}

QByteArray ResolveHost(const QByteArray& Host) {
  if (Host.isEmpty()) return "0.0.0.0";
  // A name may start with a digit too ("3rd-floor"): only what is no address is looked up.
  if (Host.front() >= '0' && Host.front() <= '9' && inet_addr(Host.constData()) != INADDR_NONE) return Host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(Host.constData(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&ipv4->sin_addr.s_addr);
  QByteArray text = QByteArray::number(b[0]) + '.' + QByteArray::number(b[1]) + '.' +
                    QByteArray::number(b[2]) + '.' + QByteArray::number(b[3]);
  freeaddrinfo(found);
  return text;
}

int ResolvePort(const QByteArray& Port) {
  if (Port.isEmpty()) return 0;
  // The reentrant form: visits side by side resolve their ports at the same moment.
  servent entry{};
  servent* service = nullptr;
  std::array<char, 1024> buffer{};
  if (getservbyname_r(Port.constData(), nullptr, &entry, buffer.data(), buffer.size(), &service) == 0 && service != nullptr) {
    return ntohs(static_cast<std::uint16_t>(service->s_port));
  }
  int value = 0;
  if (!ParseInteger(Port, value)) {
    throw EConvertError("'" + Port.toStdString() + "' is not a valid integer value");
  }
  return value;
}

TBaseSocket::TBaseSocket(QObject* Owner) : QObject(Owner) {}

TBaseSocket::~TBaseSocket() {
  TBaseSocket::Deactivate();
}

void TBaseSocket::NotifyReceive(const void* Buf, int& DataLen) {
  Fire(OnReceive, this, Buf, DataLen);
}

void TBaseSocket::NotifySend(const void* Buf, int& DataLen) {
  Fire(OnSend, this, Buf, DataLen);
}

int TBaseSocket::CheckResult(int Code) {
  if (Code == -1) NotifyError();
  return Code;
}

void TBaseSocket::Activate() {
  if (IsActive) return;
  Handle = CheckResult(::socket(AddressFamilies[AddressFamily], SocketTypes[SocketKind], ProtocolNumber));
  IsActive = Handle != -1;
  if (!IsActive) return;
  if (SocketBlockMode == TSocketBlockMode::bmNonBlocking) {
    CheckResult(fcntl(Handle, F_SETFL, fcntl(Handle, F_GETFL) | O_NONBLOCK));
  }
  NotifyCreateHandle();
}

void TBaseSocket::Deactivate() {
  if (!IsActive) return;
  CheckResult(::close(Handle));
  Handle = -1;
  IsActive = false;
  NotifyDestroyHandle();
}

void TBaseSocket::NotifyCreateHandle() {
  if (IsActive) Fire(OnCreateHandle, this);
}

void TBaseSocket::NotifyDestroyHandle() {
  Fire(OnDestroyHandle, this);
}

void TBaseSocket::NotifyError() {
  LastError = errno;
  Fire(OnError, this, errno);
}

bool TBaseSocket::PollState(bool* ReadReady, bool* WriteReady, bool* ExceptReady, int TimeoutMs) {
  return PollStateUs(ReadReady, WriteReady, ExceptReady, TimeoutMs < 0 ? -1 : qint64{TimeoutMs} * 1000);
}

bool TBaseSocket::PollStateUs(bool* ReadReady, bool* WriteReady, bool* ExceptReady, qint64 TimeoutUs) {
  if (!IsActive) return false;
  pollfd pfd{Handle, 0, 0};
  if (ReadReady != nullptr) pfd.events |= POLLIN;
  if (WriteReady != nullptr) pfd.events |= POLLOUT;
  if (ExceptReady != nullptr) pfd.events |= POLLPRI;
  bool result = false;
  try {
    const timespec timeout{static_cast<time_t>(TimeoutUs / 1000000), static_cast<long>(TimeoutUs % 1000000) * 1000};
    result = CheckResult(::ppoll(&pfd, 1, TimeoutUs < 0 ? nullptr : &timeout, nullptr)) > 0;
  } catch (...) {
    return false;  // only an OnError handler can raise here
  }
  // A hang-up or error counts as readable, as select reports it: the read then tells what happened.
  if (ReadReady != nullptr) *ReadReady = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  if (WriteReady != nullptr) *WriteReady = (pfd.revents & POLLOUT) != 0;
  if (ExceptReady != nullptr) *ExceptReady = (pfd.revents & POLLPRI) != 0;
  return result;
}

bool TBaseSocket::WaitReadable(int TimeoutMs) {
  return WaitReadableUs(TimeoutMs < 0 ? -1 : qint64{TimeoutMs} * 1000);
}

bool TBaseSocket::WaitReadableUs(qint64 TimeoutUs) {
  bool readable = false;
  bool exceptional = false;
  if (!PollStateUs(&readable, nullptr, &exceptional, TimeoutUs) || !readable || exceptional) return false;
  char peeked = 0;
  return PeekBytes(&peeked, 1) == 1;
}

int TBaseSocket::ReceiveBytes(void* Buf, int Len, int Flags) {
  int count = static_cast<int>(CheckResult(static_cast<int>(::recv(Handle, Buf, static_cast<size_t>(Len), Flags))));
  if (count != -1) NotifyReceive(Buf, count);
  return count;
}

int TBaseSocket::SendBytes(const void* Buf, int Len, int Flags) {
  int count = Len;
  NotifySend(Buf, count);
  return CheckResult(static_cast<int>(::send(Handle, Buf, static_cast<size_t>(count), Flags | MSG_NOSIGNAL)));
}

int TBaseSocket::PeekBytes(void* Buf, int Len) {
  return CheckResult(static_cast<int>(::recv(Handle, Buf, static_cast<size_t>(Len), MSG_PEEK)));
}

TIpSocket::TIpSocket(QObject* Owner) : TBaseSocket(Owner) {
  AddressFamily = InternetFamilyIndex;
}

void TIpSocket::SetRemoteHost(const QByteArray& Value) {
  if (Value == Host) return;
  Deactivate();
  Host = Value;
}

void TIpSocket::SetRemotePort(const QByteArray& Value) {
  if (Value == Port) return;
  Deactivate();
  Port = Value;
}

TCustomIpClient::TCustomIpClient(QObject* Owner) : TIpSocket(Owner) {}

TCustomIpClient::~TCustomIpClient() {
  TCustomIpClient::Deactivate();
}

bool TCustomIpClient::Connect() {
  Activate();
  return IsConnected;
}

void TCustomIpClient::Disconnect() {
  Deactivate();
}

void TCustomIpClient::Activate() {
  TIpSocket::Activate();
  if (!Active() || IsConnected) return;
  const std::optional<sockaddr_in> address = BuildAddress(RemoteHost(), RemotePort());
  IsConnected = CheckResult(ConnectTo(SocketHandle(), address, ConnectAbandon)) == 0;
  if (IsConnected) NotifyConnect();
}

void TCustomIpClient::Deactivate() {
  if (IsConnected) {
    CheckResult(::shutdown(SocketHandle(), SHUT_RDWR));
    IsConnected = false;
    NotifyDisconnect();
  }
  TIpSocket::Deactivate();
}

void TCustomIpClient::NotifyConnect() {
  Fire(OnConnect, this);
}

void TCustomIpClient::NotifyDisconnect() {
  Fire(OnDisconnect, this);
}

QString ConnectFailureText(int ErrorCode) {
  switch (ErrorCode) {
    case ECONNREFUSED: return QStringLiteral("connection refused");
    case ETIMEDOUT: return QStringLiteral("connect timed out");
    case EADDRNOTAVAIL: return QStringLiteral("address or port not usable");
    case HostNotResolved: return QStringLiteral("the name did not resolve");
    default: return QString::fromLocal8Bit(std::strerror(ErrorCode));
  }
}

namespace {

// A connect to 0.0.0.0 or to any 127.x address reaches this machine's own listener.
QString IdentityOf(in_addr Address, int Port) {
  const std::uint32_t host = ntohl(Address.s_addr);
  if (host == INADDR_ANY || host >> 24 == IN_LOOPBACKNET) return QStringLiteral("this machine:%1").arg(Port);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &Address, text, sizeof text);
  return QStringLiteral("%1:%2").arg(QLatin1String(text)).arg(Port);
}

}  // namespace

QString PeerIdentity(const QByteArray& Host, const QByteArray& Port) {
  const QByteArray address = ResolveHost(Host);
  int port = 0;
  try {
    port = ResolvePort(Port);
  } catch (const EConvertError&) {
    return {};
  }
  if (address.isEmpty()) return {};
  in_addr resolved{};
  resolved.s_addr = inet_addr(address.constData());
  return IdentityOf(resolved, port);
}

QString ConnectedPeerIdentity(int Handle) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (Handle < 0 || ::getpeername(Handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) return {};
  return IdentityOf(peer.sin_addr, ntohs(peer.sin_port));
}

QString ReaderKey(const QString& Identity, const QByteArray& Host, const QByteArray& Port) {
  if (!Identity.isEmpty()) return Identity;
  QString port = QString::fromUtf8(Port);
  try {
    port = QString::number(ResolvePort(Port));
  } catch (const EConvertError&) {
  }
  return QStringLiteral("name %1:%2").arg(QString::fromUtf8(Host).toLower(), port);
}

namespace {

// An address, or no host at all: nothing to look up.
bool NeedsNoLookup(const QByteArray& Host) {
  return Host.isEmpty() || inet_addr(Host.constData()) != INADDR_NONE;
}

}  // namespace

std::vector<QString> PeerIdentities(const std::vector<std::pair<QByteArray, QByteArray>>& Peers, int DeadlineMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  std::vector<std::future<QString>> lookups;
  for (const auto& [host, port] : Peers) {
    auto promise = std::make_shared<std::promise<QString>>();
    lookups.push_back(promise->get_future());
    if (NeedsNoLookup(host)) {
      promise->set_value(PeerIdentity(host, port));
      continue;
    }
    // Detached: a look-up the resolver never answers must not hold the run, only its own visit.
    std::thread([promise, host = host, port = port] { promise->set_value(PeerIdentity(host, port)); }).detach();
  }
  std::vector<QString> identities;
  for (auto& lookup : lookups) {
    identities.push_back(lookup.wait_until(deadline) == std::future_status::ready ? lookup.get() : QString());
  }
  return identities;
}

namespace {

// Only the identities found without a name server.
std::vector<QString> AddressIdentities(const std::vector<std::pair<QByteArray, QByteArray>>& Peers) {
  std::vector<QString> identities;
  for (const auto& [host, port] : Peers) identities.push_back(NeedsNoLookup(host) ? PeerIdentity(host, port) : QString());
  return identities;
}

}  // namespace

std::vector<QString> ReaderKeys(const std::vector<std::pair<QByteArray, QByteArray>>& Peers, TNameLookup Lookup) {
  std::vector<QString> keys = Lookup == TNameLookup::Bounded ? PeerIdentities(Peers, IdentityLookupMs) : AddressIdentities(Peers);
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = ReaderKey(keys[i], Peers[i].first, Peers[i].second);
  return keys;
}
