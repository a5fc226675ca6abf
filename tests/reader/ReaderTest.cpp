#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <time.h>

#include <algorithm>
#include <vector>

#include "Clock.h"
#include "Commands.h"
#include "Reader.h"
#include "ReaderSim.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

// The protocol's waits shortened, so tests stay quick.
TLinkTimings Quick() {
  TLinkTimings timings;
  timings.DrainQuietMs = 20;
  timings.ReplyWaitMs = 1000;
  return timings;
}

bool ConnectTo(TReader& Link, int Port) {
  Link.SetAddress(QStringLiteral("127.0.0.1"), QString::number(Port));
  return Link.Connect();
}

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, 0}, t));
  return t;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(ReaderPayloads, NumbersGoLowByteFirst) {
  EXPECT_EQ(PagePayload(258).toHex(), "000a000201");
  EXPECT_EQ(ClearPayload(0x2A51).toHex(), "000500512a");
}

TEST(ReaderClient, LockAndUnlockFramesGoOutAndTheirRepliesComplete) {
  ReaderSim sim({});
  TReader link(Quick());
  ASSERT_TRUE(ConnectTo(link, sim.Port()));
  ASSERT_TRUE(link.Lock(true));
  EXPECT_TRUE(sim.Locked());
  ASSERT_TRUE(link.Lock(false));
  EXPECT_FALSE(sim.Locked());
  EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"0000011027", "0000001027"}));
}

// The reply wait from both sides, with a margin of two, and its two other ends: a reply in half
// the wait is taken, one at twice the wait is missed, a stop ends the wait at once, and a link
// that was never made sends nothing.
TEST(ReaderClient, TheReplyWaitTakesALateReplyMissesATooLateOneAndEndsAtAStop) {
  const struct {
    const char* Name;
    int DelayMs;
    bool Connect;
    int StopAfterMs;  // -1: never
    std::optional<TLinkFailure> Failure;
    int UnderMs;
    int StatusEveryMs = 0;  // 5: a line that never rests, so only a stop lets the command go before the drain's bound
  } cases[] = {
      {"late", 150, true, -1, std::nullopt, 300},
      {"too late", 600, true, -1, TLinkFailure::NoReply, 600},
      {"stopped", 600, true, 50, TLinkFailure::Stopped, 250},
      {"stopped on a line that never rests", 0, true, 0, TLinkFailure::Stopped, 50, 5},
      {"never connected", 0, false, -1, TLinkFailure::Closed, 50},
  };
  for (const auto& c : cases) {
    SimFaults faults;
    faults.ReplyDelayMsFor[0x03] = c.DelayMs;
    faults.StatusEveryMs = c.StatusEveryMs;
    ReaderSim sim({}, faults);
    TLinkTimings timings = Quick();
    timings.ReplyWaitMs = 300;
    TReader link(timings);
    if (c.Connect) {
      ASSERT_TRUE(ConnectTo(link, sim.Port())) << c.Name;
    }
    QElapsedTimer elapsed;
    elapsed.start();
    link.StopWaitsWhen([&] { return c.StopAfterMs >= 0 && elapsed.elapsed() >= c.StopAfterMs; });
    const TReply<TCapacity> reply = link.ReadCapacity();
    EXPECT_EQ(static_cast<bool>(reply), !c.Failure) << c.Name;
    if (c.Failure) {
      EXPECT_EQ(reply.Failure(), *c.Failure) << c.Name;
    }
    EXPECT_LT(elapsed.elapsed(), c.UnderMs + 200) << c.Name;
    EXPECT_TRUE(WaitUntil([&] { return sim.Commands().size() == (c.Connect ? 1U : 0U); }, 2000)) << c.Name;
  }
}

// A wait sleeps in the event loop: a reply that takes 1.5 s must cost next to no CPU time.
TEST(ReaderClient, WaitingForAReplySleeps) {
  SimFaults faults;
  faults.ReplyDelayMs = 1500;
  ReaderSim sim({}, faults);
  TLinkTimings timings = Quick();
  timings.ReplyWaitMs = 3000;
  TReader link(timings);
  ASSERT_TRUE(ConnectTo(link, sim.Port()));
  const double cpuBefore = ProcessCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  ASSERT_TRUE(link.ReadCapacity());
  const double wallSeconds = static_cast<double>(wall.elapsed()) / 1000;
  EXPECT_GE(wallSeconds, 1.0);
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.1 * wallSeconds);
}

// The quiet before a command counts from the last byte on the line. A line that never rests
// that long holds the command until the drain's time bound; a line that rests lets it go at
// once; a line that floods it lets it go at the byte bound.
TEST(ReaderClient, ACommandLeavesAfterTheQuietOrAtTheDrainsBounds) {
  const struct {
    const char* Name;
    int StatusEveryMs;
    bool Flood;
    int LimitMs;
    int LimitBytes;
    int AtLeastMs;
    int UnderMs;
  } cases[] = {
      {"a status every 40 ms: held to the time bound", 40, false, 600, 1 << 20, 600, 3000},
      {"a status every 400 ms: leaves in the first rest", 400, false, 3000, 1 << 20, 100, 400},
      {"a flood: leaves at the byte bound", 0, true, 60000, 4096, 0, 5000},
  };
  for (const auto& c : cases) {
    SimFaults faults;
    faults.StatusEveryMs = c.StatusEveryMs;
    faults.StatusEveryMs = c.StatusEveryMs;
    ReaderSim sim({}, faults);
    TLinkTimings timings = Quick();
    timings.DrainQuietMs = 100;
    timings.DrainLimitMs = c.LimitMs;
    timings.DrainLimitBytes = c.LimitBytes;
    TReader link(timings);
    ASSERT_TRUE(ConnectTo(link, sim.Port()));
    QElapsedTimer elapsed;
    // The first command's own reply comes at once: the call's time is the drain's.
    elapsed.start();
    (void)link.ReadCapacity();
    const qint64 tookMs = elapsed.elapsed();
    EXPECT_TRUE(WaitUntil([&] { return !sim.Commands().empty(); }, 5000)) << c.Name;
    EXPECT_GE(tookMs, c.AtLeastMs) << c.Name;
    EXPECT_LT(tookMs, c.UnderMs + (c.Flood ? timings.ReplyWaitMs : 0)) << c.Name;
  }
}

TEST(ReaderClient, PagesDownloadedFromTheEmulatorDecode) {
  std::vector<readersim::SimRecord> log;
  for (std::uint32_t i = 0; i < 40; ++i) log.push_back({1, 0x012345 + i, readersim::TimeCode(2024, 5, 17, 8, 30, 15), false});
  log[34].TimeCode = 0;  // no valid time: a slot present but empty
  ReaderSim sim(log);
  TReader link(Quick());
  ASSERT_TRUE(ConnectTo(link, sim.Port()));
  const TReply<TLogPage> page = link.ReadPage(1);  // records 33 to 39
  ASSERT_TRUE(page);
  ASSERT_EQ(page->Count, 7);
  EXPECT_TRUE(page->LogEnds());
  ASSERT_TRUE(page->Records[0]);
  EXPECT_EQ(page->Records[0]->CardNo, 0x012345 + 33);
  EXPECT_EQ(page->Records[0]->Mode, 2);
  EXPECT_EQ(page->Records[0]->RecTime, At(2024, 5, 17, 8, 30, 15));
  EXPECT_FALSE(page->Records[1]);
  const TReply<TLogPage> first = link.ReadPage(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Count, TLogPage::Slots);
  EXPECT_FALSE(first->LogEnds());
}

struct TLine {
  TLoopbackPeer Peer;
  TReader Link{Quick()};
  std::vector<TCardEvent> Cards;
  TLine() {
    Link.OnCard([this](const TCardEvent& Card) { Cards.push_back(Card); });
    EXPECT_TRUE(ConnectTo(Link, Peer.Port()));
    EXPECT_TRUE(Peer.Accept());
  }
  // Sends Hex and takes in what came, until the sentinel card 1 sent after it has arrived.
  std::vector<TCardEvent> Carry(const char* Hex) {
    Cards.clear();
    const std::vector<std::uint8_t> sentinel = readersim::EventPacket({{0, 1, 0, false}, true});
    Peer.Send(QByteArray::fromHex(Hex) + QByteArray(reinterpret_cast<const char*>(sentinel.data()), static_cast<qsizetype>(sentinel.size())));
    EXPECT_TRUE(WaitUntil(
        [&] {
          EXPECT_TRUE(Link.TakeIncoming());
          return !Cards.empty() && Cards.back().CardNo == 1;
        },
        5000))
        << Hex;
    return {Cards.begin(), Cards.end() - 1};
  }
};

TEST(ReaderClient, CardEventsInEachFormReachOnCard) {
  const TScopedClock clock([] { return QDateTime(QDate(2024, 6, 1), QTime(10, 0, 5, 730)); });
  const struct {
    const char* Name;
    const char* Bytes;
    std::size_t Calls;
    TCardEvent Expected;
  } cases[] = {
      {"11-byte offline", "e60b8534545117000001234522eb", 1, {74565, At(2024, 5, 17, 8, 30, 15), 5}},
      {"6-byte", "e606000001234597eb", 1, {74565, At(2024, 6, 1, 10, 0, 5), -1}},
      {"13-byte", "e60c000d0334545117000001234597eb", 1, {74565, At(2024, 5, 17, 8, 30, 15), 3}},
      {"6-byte card 0", "e606000000000000eb", 0, {}},
      {"13-byte without 0x0d", "e60c000e0334545117000001234596eb", 0, {}},
  };
  TLine line;
  for (const auto& c : cases) {
    const std::vector<TCardEvent> cards = line.Carry(c.Bytes);
    ASSERT_EQ(cards.size(), c.Calls) << c.Name;
    if (c.Calls == 0) continue;
    EXPECT_EQ(cards[0].CardNo, c.Expected.CardNo) << c.Name;
    EXPECT_EQ(cards[0].Stamp, c.Expected.Stamp) << c.Name;
    EXPECT_EQ(cards[0].Mode, c.Expected.Mode) << c.Name;
  }
}

// Sending from inside a receive let a reader recurse the client into a stack overflow: a
// request for the clock is only noted, for the driver to serve between its commands, and a
// new line forgets it.
TEST(ReaderClient, AClockRequestIsNotedAndNothingIsSent) {
  for (const auto& [status, powerUp] : {std::pair{"e60243bdeb", false}, std::pair{"e60252aeeb", true}}) {  // "C", "R"
    TLine line;
    EXPECT_FALSE(line.Link.ClockRequested());
    line.Carry(status);
    EXPECT_TRUE(line.Link.ClockRequested()) << status;
    EXPECT_EQ(line.Link.PoweredUp(), powerUp) << status;
    EXPECT_TRUE(line.Peer.Read(50).isEmpty()) << status;
    line.Link.Disconnect();
    EXPECT_FALSE(line.Link.ClockRequested()) << status;
  }
}

// A heartbeat goes out only once the clock's minute has moved on since the last byte, once; its
// echo ends the wait for it, and a wait without an echo runs out.
TEST(ReaderClient, AnIdleLineGetsOneHeartbeatAMinuteAndAwaitsItsEcho) {
  QDateTime now(QDate(2024, 5, 17), QTime(8, 30, 50));
  const TScopedClock clock([&] { return now; });
  TLine line;
  line.Carry("");
  line.Link.KeepAlive(200);
  EXPECT_TRUE(line.Peer.Read(50).isEmpty());
  EXPECT_FALSE(line.Link.EchoAwaited());
  now = now.addSecs(20);  // the minute changes
  line.Link.KeepAlive(200);
  EXPECT_EQ(line.Peer.Read().toHex(), "e604000cf0eb");
  EXPECT_TRUE(line.Link.EchoAwaited());
  line.Link.KeepAlive(200);  // and only once
  EXPECT_TRUE(line.Peer.Read(50).isEmpty());
  line.Carry("e604000cf0eb");  // the echo
  EXPECT_FALSE(line.Link.EchoAwaited());
  now = now.addSecs(60);
  line.Link.KeepAlive(100);
  EXPECT_EQ(line.Peer.Read().toHex(), "e604000cf0eb");
  EXPECT_TRUE(WaitUntil([&] { return line.Link.EchoOverdue(); }, 2000));
}

}  // namespace

// Live events from the emulator, timed and on demand, back to back in one chunk, in both forms.
TEST(ReaderClient, LiveEventsFromTheEmulatorReachOnCard) {
  SimFaults timed;
  timed.EventEveryMs = 5;
  ReaderSim sim({}, timed);
  TReader link(Quick());
  std::vector<TCardEvent> cards;
  link.OnCard([&](const TCardEvent& Card) { cards.push_back(Card); });
  ASSERT_TRUE(ConnectTo(link, sim.Port()));
  const std::uint32_t card = 0x654321;
  const auto shortEvent = readersim::EventPacket({{0, card + 1, 0, false}, true});
  auto twoInOne = readersim::EventPacket({{2, card, readersim::TimeCode(2024, 5, 17, 8, 30, 15), false}, false});
  twoInOne.insert(twoInOne.end(), shortEvent.begin(), shortEvent.end());
  ASSERT_TRUE(WaitUntil([&] { return sim.Connections() == 1; }, 5000));
  sim.SendBytes(twoInOne);
  ASSERT_TRUE(WaitUntil(
      [&] {
        EXPECT_TRUE(link.TakeIncoming());
        return cards.size() >= 12;
      },
      10000));
  const auto on = [&](std::uint32_t Card) {
    return std::find_if(cards.begin(), cards.end(), [&](const TCardEvent& c) { return c.CardNo == static_cast<int>(Card); });
  };
  ASSERT_NE(on(card), cards.end());
  EXPECT_EQ(on(card)->Stamp, At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(on(card)->Mode, 0);
  ASSERT_NE(on(card + 1), cards.end());
  EXPECT_EQ(on(card + 1)->Mode, -1);
  EXPECT_GT(on(card + 1)->Stamp, 0);
  // Each timed event is in the log too, with the time and mode it was sent with.
  EXPECT_GT(cards.back().Stamp, 0);
  EXPECT_EQ(cards.back().Mode, cards.back().CardNo % 2 == 0 ? 1 : 2);
  EXPECT_GE(sim.LogSize(), cards.size() - 2);
}
