#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QStringList>

#include <memory>
#include <thread>
#include <vector>

#include "Sockets.h"
#include "TestSupport.h"

namespace {

// A client connected to Peer, whose side of the connection is accepted.
std::unique_ptr<TTcpClient> ConnectedClient(TLoopbackPeer& Peer) {
  auto client = std::make_unique<TTcpClient>(nullptr);
  client->SetRemoteHost("127.0.0.1");
  client->SetRemotePort(Peer.PortText());
  EXPECT_TRUE(client->Connect());
  EXPECT_TRUE(Peer.Accept());
  return client;
}

// A client whose notifications are written down in order.
struct TWatchedClient {
  QStringList Events;
  std::vector<int> Errors;
  std::unique_ptr<TTcpClient> Client = std::make_unique<TTcpClient>(nullptr);  // goes first

  TWatchedClient(const QByteArray& Host, const QByteArray& Port) {
    Client->SetRemoteHost(Host);
    Client->SetRemotePort(Port);
    Client->OnCreateHandle = [this](TBaseSocket*) { Events << "create"; };
    Client->OnDestroyHandle = [this](TBaseSocket*) { Events << "destroy"; };
    Client->OnConnect = [this](TBaseSocket*) { Events << "connect"; };
    Client->OnDisconnect = [this](TBaseSocket*) { Events << "disconnect"; };
    Client->OnError = [this](TBaseSocket*, int code) { Errors.push_back(code); };
  }
};

TEST(Sockets, ConnectDisconnectAndDestructionNotifyInOrder) {
  TLoopbackPeer listener;
  TWatchedClient watched("127.0.0.1", listener.PortText());
  EXPECT_TRUE(watched.Client->Connect());
  EXPECT_TRUE(watched.Client->Connected());
  EXPECT_TRUE(watched.Client->Connect());  // already connected: nothing fires
  EXPECT_EQ(watched.Events, QStringList({"create", "connect"}));
  watched.Client->Disconnect();
  EXPECT_FALSE(watched.Client->Active());
  EXPECT_EQ(watched.Client->SocketHandle(), -1);
  EXPECT_EQ(watched.Events, QStringList({"create", "connect", "disconnect", "destroy"}));
  watched.Client->Disconnect();  // closed: nothing happens
  EXPECT_EQ(watched.Events.size(), 4);

  watched.Events.clear();
  EXPECT_TRUE(watched.Client->Connect());
  watched.Client.reset();
  EXPECT_EQ(watched.Events, QStringList({"create", "connect", "disconnect", "destroy"}));
  EXPECT_TRUE(watched.Errors.empty());
}

TEST(Sockets, RefusedConnectFailsAtOnceAndLeavesTheSocketOpen) {
  const int closedPort = ClosedLoopbackPort();
  TWatchedClient watched("127.0.0.1", QByteArray::number(closedPort));
  QElapsedTimer elapsed;
  elapsed.start();
  EXPECT_FALSE(watched.Client->Connect());
  EXPECT_LT(elapsed.elapsed(), ConnectTimeoutMs);
  EXPECT_TRUE(watched.Client->Active());
  EXPECT_FALSE(watched.Client->Connected());
  ASSERT_EQ(watched.Errors.size(), 1u);  // one failed call, one notification
  EXPECT_EQ(watched.Errors[0], ECONNREFUSED);
  watched.Client->Disconnect();
  EXPECT_EQ(watched.Events, QStringList({"create", "destroy"}));  // no shutdown, no OnDisconnect
}

// An address is taken as it is; anything else, a name beginning with a digit too, is looked up.
TEST(Sockets, HostTextsAreAddressesOrNamesToLookUp) {
  EXPECT_EQ(ResolveHost(""), "0.0.0.0");
  EXPECT_EQ(ResolveHost("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("192.168.1.300"), "");
  EXPECT_EQ(ResolveHost("1stfloor"), "");
  EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1");

  TLoopbackPeer listener;
  TWatchedClient watched("1stfloor", listener.PortText());
  EXPECT_FALSE(watched.Client->Connect());
  EXPECT_FALSE(watched.Client->Connected());
  ASSERT_EQ(watched.Errors.size(), 1u);
  EXPECT_EQ(ConnectFailureText(watched.Errors[0]), "the name did not resolve");
  // An address the system refuses is no name that did not resolve.
  EXPECT_EQ(ConnectFailureText(EADDRNOTAVAIL), "address or port not usable");
}

// Texts that reach one peer have one identity, whatever their spelling; this machine is one peer.
TEST(Sockets, PeersAreToldApartByWhatTheyReach) {
  const std::vector<QString> identities = PeerIdentities(
      {{"localhost", "4001"}, {"127.000.000.001", "04001"}, {"0.0.0.0", "4001"}, {"10.1.2.3", "http"}, {"010.1.2.3", "80"},
       {"10.1.2.3", "4001"}, {"no-such-host.invalid", "4001"}},
      5000);
  EXPECT_EQ(identities[0], "this machine:4001");
  EXPECT_EQ(identities[1], identities[0]);
  EXPECT_EQ(identities[2], identities[0]);
  EXPECT_EQ(identities[3], "10.1.2.3:80");
  EXPECT_EQ(identities[4], "8.1.2.3:80");  // a leading 0 is octal, as the connect reads it
  EXPECT_EQ(identities[5], "10.1.2.3:4001");
  EXPECT_EQ(identities[6], "");
  // The key every mode tells readers apart by: a name that does not resolve in any case, its port as a number.
  EXPECT_EQ(ReaderKey(identities[0], "localhost", "4001"), "this machine:4001");
  EXPECT_EQ(ReaderKey(identities[6], "No-Such-Host.invalid", "http"), ReaderKey("", "no-such-host.invalid", "80"));

  // A line names the peer it reached the same way, without a look-up.
  TLoopbackPeer listener;
  TWatchedClient line("localhost", listener.PortText());
  EXPECT_EQ(ConnectedPeerIdentity(line.Client->SocketHandle()), "");
  ASSERT_TRUE(line.Client->Connect());
  EXPECT_EQ(ConnectedPeerIdentity(line.Client->SocketHandle()), PeerIdentity("127.0.0.1", listener.PortText()));
}

TEST(Sockets, PortTextRules) {
  EXPECT_EQ(ResolvePort(""), 0);
  EXPECT_EQ(ResolvePort("http"), 80);
  EXPECT_EQ(ResolvePort("70000"), 70000);
  EXPECT_EQ(ResolvePort("-1"), -1);

  TLoopbackPeer listener;
  // Only the low 16 bits count: the listener's port plus 65536 reaches it.
  TWatchedClient wrapped("127.0.0.1", QByteArray::number(listener.Port() + 65536));
  EXPECT_TRUE(wrapped.Client->Connect());

  TWatchedClient named("127.0.0.1", "nosuchservice");
  try {
    named.Client->Connect();
    FAIL() << "no conversion error";
  } catch (const EConvertError& error) {
    EXPECT_STREQ(error.what(), "'nosuchservice' is not a valid integer value");
  }
  EXPECT_TRUE(named.Client->Active());
  EXPECT_FALSE(named.Client->Connected());
}

TEST(Sockets, APeerThatClosesIsNotReadableButStaysConnected) {
  TLoopbackPeer peer;
  const auto client = ConnectedClient(peer);
  peer.CloseConnection();
  EXPECT_FALSE(client->WaitReadable(1000));
  char buffer[16];
  EXPECT_EQ(client->ReceiveBytes(buffer, sizeof buffer, 0), 0);
  EXPECT_TRUE(client->Connected());
  client->Disconnect();
  EXPECT_FALSE(client->Connected());
}

TEST(Sockets, WaitReadableZeroLeavesQueuedBytesInPlace) {
  EXPECT_FALSE(TTcpClient(nullptr).WaitReadable(0));  // not open: no platform call, no error
  TLoopbackPeer peer;
  const auto client = ConnectedClient(peer);
  EXPECT_FALSE(client->WaitReadable(0));
  peer.Send("abc");
  ASSERT_TRUE(client->WaitReadable(2000));
  EXPECT_TRUE(client->WaitReadable(0));
  char buffer[16];
  EXPECT_EQ(client->PeekBytes(buffer, sizeof buffer), 3);
  EXPECT_EQ(client->ReceiveBytes(buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(QByteArray(buffer, 3), "abc");
}

TEST(Sockets, PollStateWithoutTimeoutWaitsUntilReady) {
  TLoopbackPeer peer;
  const auto client = ConnectedClient(peer);
  std::thread late([&peer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Send("x");
  });
  bool readable = false;
  EXPECT_TRUE(client->PollState(&readable, nullptr, nullptr, -1));
  EXPECT_TRUE(readable);
  late.join();
}

TEST(Sockets, ChangingTheRemoteTextClosesButTheSameTextDoesNot) {
  TLoopbackPeer listener;
  TWatchedClient watched("localhost", listener.PortText());
  ASSERT_TRUE(watched.Client->Connect());
  watched.Client->SetRemoteHost("localhost");
  watched.Client->SetRemotePort(listener.PortText());
  EXPECT_TRUE(watched.Client->Connected());
  watched.Client->SetRemoteHost("LOCALHOST");
  EXPECT_FALSE(watched.Client->Connected());
  EXPECT_FALSE(watched.Client->Active());
  EXPECT_EQ(watched.Client->RemoteHost(), "LOCALHOST");
}

TEST(Sockets, FailedCallsFireOnErrorOncePerCall) {
  TTcpClient client(nullptr);
  int errors = 0;
  client.OnError = [&](TBaseSocket*, int) { ++errors; };
  char buffer[4];
  EXPECT_EQ(client.ReceiveBytes(buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(client.SendBytes(buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(errors, 2);
}

TEST(Sockets, SendToAPeerThatHasGoneDoesNotKillTheProcess) {
  TLoopbackPeer peer;
  const auto client = ConnectedClient(peer);
  peer.CloseConnection();
  std::vector<char> data(64 * 1024, 'x');
  int last = 0;
  for (int i = 0; i < 20 && last != -1; ++i) last = client->SendBytes(data.data(), static_cast<int>(data.size()), 0);
  EXPECT_EQ(last, -1);
}

// The connect wait from both sides. With the accept queue full, handshakes go unanswered; once
// it is emptied, the kernel's first SYN retry (after 1 s) is answered, inside the wait; left
// full, the connect is given up at the wait's end, not after the kernel's retries (about two
// minutes). Each step waits on what the kernel says of the sockets, not on time.
TEST(Sockets, AConnectIsWaitedForUntilTheTimeout) {
  constexpr int Fillers = 8;
  constexpr int LimitMs = 20000;
  for (const bool queueEmptied : {true, false}) {
    TLoopbackPeer listener(0);
    std::vector<int> fillers;
    for (int i = 0; i < Fillers; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<std::uint16_t>(listener.Port()));
      (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers.push_back(fd);
    }
    int stalled = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
          const int queued = AcceptQueueLength(listener.Port());
          stalled = HandshakesUnderWay(listener.Port());
          return queued > 0 && queued + stalled == Fillers;
        },
        LimitMs));
    std::atomic<bool> done{false};
    std::atomic<bool> sawConnectWait{false};
    std::thread emptier([&] {
      if (!queueEmptied) return;
      // Only once the client's own handshake went unanswered: it is the retry that gets through.
      while (!done && HandshakesUnderWay(listener.Port()) == stalled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sawConnectWait = !done;
      while (!done) listener.Accept(50);
    });
    TWatchedClient watched("127.0.0.1", listener.PortText());
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(watched.Client->Connect(), queueEmptied);
    done = true;
    emptier.join();
    if (queueEmptied) {
      EXPECT_TRUE(sawConnectWait);
      EXPECT_GE(elapsed.elapsed(), 900);  // it was the retry that got through
    } else {
      EXPECT_GE(elapsed.elapsed(), ConnectTimeoutMs - 100);
      // What a site relies on, whatever the constant says: a dead address holds a run for
      // seconds, not for the kernel's minutes.
      EXPECT_LT(elapsed.elapsed(), 30000);
      ASSERT_EQ(watched.Errors.size(), 1u);
      EXPECT_EQ(watched.Errors[0], ETIMEDOUT);
    }
    for (int fd : fillers) ::close(fd);
  }
}

}  // namespace
