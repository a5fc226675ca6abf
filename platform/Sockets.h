#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

#include "Errors.h"
#include "Event.h"

class TBaseSocket;

using TSocketNotifyEvent = TEvent<TBaseSocket*>;
using TSocketDataEvent = TEvent<TBaseSocket*, const void*, int&>;
using TSocketErrorEvent = TEvent<TBaseSocket*, int>;

enum class TSocketBlockMode : std::uint8_t { bmBlocking, bmNonBlocking };

// A connect that gets no answer fails after this long instead of the kernel's two minutes.
constexpr int ConnectTimeoutMs = 5000;

// Start-up and clean-up of the socket layer, once per process (main does both).
void SocketsStartup();
void SocketsCleanup();

// A socket handle owned by a component (a QObject owner destroys it with itself). Failures are
// results, never exceptions: every platform call passes through CheckResult.
class TBaseSocket : public QObject {
 public:
  explicit TBaseSocket(QObject* Owner);
  ~TBaseSocket() override;

  bool Active() const { return IsActive; }
  int SocketHandle() const { return Handle; }
  TSocketBlockMode BlockMode() const { return SocketBlockMode; }
  // errno of the last failed platform call, 0 before any.
  int LastErrorCode() const { return LastError; }

  bool PollState(bool* ReadReady, bool* WriteReady, bool* ExceptReady, int TimeoutMs);
  bool WaitReadable(int TimeoutMs);
  // The same to the microsecond, for waits that add up over a download.
  bool PollStateUs(bool* ReadReady, bool* WriteReady, bool* ExceptReady, qint64 TimeoutUs);
  bool WaitReadableUs(qint64 TimeoutUs);
  int ReceiveBytes(void* Buf, int Len, int Flags);
  int SendBytes(const void* Buf, int Len, int Flags);
  int PeekBytes(void* Buf, int Len);

  TSocketNotifyEvent OnCreateHandle;
  TSocketNotifyEvent OnDestroyHandle;
  TSocketErrorEvent OnError;
  TSocketDataEvent OnReceive;
  TSocketDataEvent OnSend;

 protected:
  virtual void NotifyReceive(const void* Buf, int& DataLen);
  virtual void NotifySend(const void* Buf, int& DataLen);
  virtual int CheckResult(int Code);
  virtual void Activate();
  virtual void Deactivate();
  virtual void NotifyCreateHandle();
  virtual void NotifyDestroyHandle();
  virtual void NotifyError();

  int AddressFamily = 0;  // index into the family table; TIpSocket sets the Internet family
  std::uint16_t ProtocolNumber = 0;
  std::uint8_t SocketKind = 0;  // 0 = stream

 private:
  bool IsActive = false;
  int Handle = -1;
  int LastError = 0;
  TSocketBlockMode SocketBlockMode = TSocketBlockMode::bmBlocking;
};

class TIpSocket : public TBaseSocket {
 public:
  explicit TIpSocket(QObject* Owner);

  const QByteArray& RemoteHost() const { return Host; }
  const QByteArray& RemotePort() const { return Port; }
  // A different text (compared case-sensitively) closes an open connection first.
  void SetRemoteHost(const QByteArray& Value);
  void SetRemotePort(const QByteArray& Value);

 private:
  QByteArray Host;
  QByteArray Port;
};

class TCustomIpClient : public TIpSocket {
 public:
  explicit TCustomIpClient(QObject* Owner);
  ~TCustomIpClient() override;

  bool Connect();
  void Disconnect();
  bool Connected() const { return IsConnected; }
  // A descriptor that, once readable, ends a pending connect at once (a stop); -1: none.
  void AbandonConnectOn(int Descriptor) { ConnectAbandon = Descriptor; }

  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;

 protected:
  void Activate() override;
  void Deactivate() override;
  virtual void NotifyConnect();
  virtual void NotifyDisconnect();

 private:
  bool IsConnected = false;
  int ConnectAbandon = -1;
};

class TTcpClient : public TCustomIpClient {
 public:
  using TCustomIpClient::TCustomIpClient;
};

// Address resolution as the client does it, exposed for tests.
QByteArray ResolveHost(const QByteArray& Host);
int ResolvePort(const QByteArray& Port);  // raises EConvertError
// The address and port a connect to Host and Port would reach, as "a.b.c.d:port", so that
// "localhost" and "127.000.000.001" name one reader; empty when they do not resolve.
QString PeerIdentity(const QByteArray& Host, const QByteArray& Port);
// The same of the peer a connected socket reaches, found without a look-up; empty when none.
QString ConnectedPeerIdentity(int Handle);
// The highest TCP port.
constexpr int HighestPort = 65535;
// How long a start waits for the name server to tell which rows name one reader.
constexpr int IdentityLookupMs = 5000;
// The one key that tells readers apart, in every mode: Identity (what a connect to Host and
// Port reaches, from PeerIdentities), or, for a name that does not resolve now, the name in lower
// case (host names are not case-sensitive) with its port as a number.
QString ReaderKey(const QString& Identity, const QByteArray& Host, const QByteArray& Port);
// The identities of many peers (host, port) at once: names are looked up side by side, and one
// the resolver has not answered within DeadlineMs gets an empty identity.
std::vector<QString> PeerIdentities(const std::vector<std::pair<QByteArray, QByteArray>>& Peers, int DeadlineMs);
// Whether names are looked up: a check must stay quick and contact nothing, so it keys a name by
// its text.
enum class TNameLookup { Bounded, None };
// The ReaderKey of each peer (host, port), names looked up side by side for IdentityLookupMs at
// most in all: a name server that does not answer holds a start once, not once per row.
std::vector<QString> ReaderKeys(const std::vector<std::pair<QByteArray, QByteArray>>& Peers,
                                TNameLookup Lookup = TNameLookup::Bounded);

// The code a connect fails with when its host name did not resolve: no errno, so that it is never
// taken for an address the system would not use.
constexpr int HostNotResolved = -2;

// Why a connect failed, from its errno, in a person's words.
QString ConnectFailureText(int ErrorCode);
