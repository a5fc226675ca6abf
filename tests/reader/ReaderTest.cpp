#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include "Clock.h"
#include "Reader.h"
#include "ReaderSim.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

constexpr int ShortQuietMs = 20;

// A reader client with the protocol's waits shortened, so tests stay quick.
std::unique_ptr<TReader> QuickReader(const QByteArray& Port) {
  auto reader = std::make_unique<TReader>(nullptr);
  reader->Timings.DrainQuietMs = ShortQuietMs;
  reader->Timings.ReplyWaitMs = 1000;
  reader->SetRemoteHost("127.0.0.1");
  reader->SetRemotePort(Port);
  reader->Desc = QStringLiteral("test reader");
  return reader;
}

bool AwaitReply(TReader& Reader) {
  return WaitUntil(
      [&] {
        Reader.Poll();
        return Reader.PktGood || Reader.PktTimeout;
      },
      10000) &&
         Reader.PktGood;
}

void Feed(TReader& Reader, const char* Hex) {
  const QByteArray bytes = QByteArray::fromHex(Hex);
  Reader.FeedReceiver(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<int>(bytes.size()));
}

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, 0}, t));
  return t;
}

TEST(ReaderClient, IDAndPortNoAreOneValueThatNamesThePort) {
  TReader reader(nullptr);
  EXPECT_EQ(reader.Port(), "COM0");
  reader.SetID(7);
  EXPECT_EQ(reader.PortNo(), 7);
  EXPECT_EQ(reader.Port(), "COM7");
}

TEST(ReaderClient, PollDoesNothingWhileDisabledAndMarksALostLink) {
  TReader reader(nullptr);
  reader.Poll();
  EXPECT_FALSE(reader.Backout);
  reader.Enable = true;
  reader.Poll();
  EXPECT_TRUE(reader.Backout);
  Feed(reader, "e604000cf0eb");  // the heartbeat echo
  EXPECT_FALSE(reader.Backout);
}

TEST(ReaderClient, LockAndUnlockFramesGoOutAndTheirRepliesComplete) {
  ReaderSim sim({});
  auto reader = QuickReader(QByteArray::number(sim.Port()));
  ASSERT_TRUE(reader->Reconnect(false));
  reader->SendLock(true);
  ASSERT_TRUE(AwaitReply(*reader));
  EXPECT_TRUE(sim.Locked());
  reader->SendLock(false);
  ASSERT_TRUE(AwaitReply(*reader));
  EXPECT_FALSE(sim.Locked());
  EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"0000011027", "0000001027"}));
}

// The reply wait from both sides, with a margin of two: a reply in half the wait is taken, one
// at twice the wait is missed and the wait ends by itself.
TEST(ReaderClient, TheReplyWaitTakesALateReplyAndMissesATooLateOne) {
  const struct {
    int DelayMs;
    bool Taken;
  } cases[] = {{150, true}, {600, false}};
  for (const auto& c : cases) {
    SimFaults faults;
    faults.ReplyDelayMsFor[0x03] = c.DelayMs;
    ReaderSim sim({}, faults);
    auto reader = QuickReader(QByteArray::number(sim.Port()));
    reader->Timings.ReplyWaitMs = 300;
    ASSERT_TRUE(reader->Reconnect(false));
    reader->SendCommand(QByteArray::fromHex("000300"));
    EXPECT_EQ(AwaitReply(*reader), c.Taken) << c.DelayMs;
    EXPECT_EQ(reader->PktTimeout, !c.Taken) << c.DelayMs;
    EXPECT_FALSE(reader->PktMode) << c.DelayMs;
    EXPECT_FALSE(reader->ReplyTimer().Armed()) << c.DelayMs;
  }
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
    faults.StreamForever = c.Flood;
    ReaderSim sim({}, faults);
    auto reader = QuickReader(QByteArray::number(sim.Port()));
    reader->Timings.DrainQuietMs = 100;
    reader->Timings.DrainLimitMs = c.LimitMs;
    reader->Timings.DrainLimitBytes = c.LimitBytes;
    ASSERT_TRUE(reader->Reconnect(false));
    QElapsedTimer elapsed;
    elapsed.start();
    reader->SendCommand(QByteArray::fromHex("000300"));
    EXPECT_GE(elapsed.elapsed(), c.AtLeastMs) << c.Name;
    EXPECT_LT(elapsed.elapsed(), c.UnderMs) << c.Name;
    EXPECT_TRUE(WaitUntil([&] { return !sim.Commands().empty(); }, 5000)) << c.Name;
  }
}

TEST(ReaderClient, SendCommandTimedFallsBackToTheDefaultWait) {
  TLoopbackPeer peer;
  auto reader = QuickReader(peer.PortText());
  ASSERT_TRUE(reader->Reconnect(false));
  for (int wait : {0, -5}) {
    reader->SendCommandTimed(QByteArray::fromHex("000300"), wait);
    EXPECT_EQ(reader->ReplyTimer().PeriodMs(), reader->Timings.ReplyWaitMs);
  }
  reader->SendCommandTimed(QByteArray::fromHex("000300"), 8000);
  EXPECT_EQ(reader->ReplyTimer().PeriodMs(), 8000);
  EXPECT_TRUE(reader->ReplyTimer().Armed());
}

TEST(ReaderClient, ADisconnectedClientSendsNothingAndKeepsItsFlags) {
  TReader reader(nullptr);
  reader.Responsed = true;
  reader.PktGood = true;
  reader.SendCommand(QByteArray::fromHex("000300"));
  EXPECT_FALSE(reader.Responsed);
  EXPECT_TRUE(reader.PktGood);
  EXPECT_FALSE(reader.PktMode);
}

TEST(ReaderClient, ReplyWordReadsLittleEndianFromTheReply) {
  TReader reader(nullptr);
  reader.PktMode = true;
  Feed(reader, "e6070000003412b3eb");
  ASSERT_TRUE(reader.PktGood);
  EXPECT_EQ(reader.ReplyWord(4), 0x1234);
}

TEST(ReaderClient, PagesDownloadedFromTheEmulatorDecode) {
  std::vector<readersim::SimRecord> log;
  for (std::uint32_t i = 0; i < 40; ++i) log.push_back({1, 0x012345 + i, readersim::TimeCode(2024, 5, 17, 8, 30, 15), false});
  ReaderSim sim(log);
  auto reader = QuickReader(QByteArray::number(sim.Port()));
  ASSERT_TRUE(reader->Reconnect(false));
  reader->SendCommand(QByteArray::fromHex("000a000100"));  // page 1: records 33 to 39
  ASSERT_TRUE(AwaitReply(*reader));
  ASSERT_EQ(reader->RxLen(), LongReplyLength);
  TLogRecord record;
  ASSERT_TRUE(reader->SlotPresent(0));
  ASSERT_TRUE(reader->DecodeSlot(0, record));
  EXPECT_EQ(record.CardNo, 0x012345 + 33);
  EXPECT_EQ(record.Mode, 2);
  EXPECT_EQ(record.RecTime, At(2024, 5, 17, 8, 30, 15));
  EXPECT_TRUE(reader->SlotPresent(6));
  EXPECT_FALSE(reader->SlotPresent(7));
}

struct TCardCall {
  bool Offline;
  int Port;
  int Code;
  TDateTime Stamp;
  int Mode;
};

TEST(ReaderClient, CardEventsRaiseOnCardCode) {
  const TScopedClock clock([] { return QDateTime(QDate(2024, 6, 1), QTime(10, 0, 5, 730)); });
  const struct {
    const char* Name;
    const char* Bytes;
    int Calls;
    TCardCall Expected;
  } cases[] = {
      {"11-byte offline", "e60b8534545117000001234522eb", 1, {true, 3, 74565, At(2024, 5, 17, 8, 30, 15), 5}},
      {"6-byte", "e606000001234597eb", 1, {false, 3, 74565, At(2024, 6, 1, 10, 0, 5), -1}},
      {"13-byte", "e60c000d0334545117000001234597eb", 1, {false, 3, 74565, At(2024, 5, 17, 8, 30, 15), 3}},
      {"6-byte card 0", "e606000000000000eb", 0, {}},
      {"13-byte without 0x0d", "e60c000e0334545117000001234596eb", 0, {}},
  };
  for (const auto& c : cases) {
    TReader reader(nullptr);
    reader.SetPortNo(3);
    std::vector<TCardCall> calls;
    reader.OnCardCode = [&](bool offline, int port, int code, TDateTime stamp, std::int8_t mode) {
      calls.push_back({offline, port, code, stamp, mode});
    };
    Feed(reader, c.Bytes);
    ASSERT_EQ(static_cast<int>(calls.size()), c.Calls) << c.Name;
    if (c.Calls == 0) continue;
    EXPECT_EQ(calls[0].Offline, c.Expected.Offline) << c.Name;
    EXPECT_EQ(calls[0].Port, c.Expected.Port) << c.Name;
    EXPECT_EQ(calls[0].Code, c.Expected.Code) << c.Name;
    EXPECT_EQ(calls[0].Stamp, c.Expected.Stamp) << c.Name;
    EXPECT_EQ(calls[0].Mode, c.Expected.Mode) << c.Name;
  }
}

TEST(ReaderClient, StatusCodesSetTheModelAndBypassAndPowerup) {
  TReader reader(nullptr);
  reader.Reader = 4;
  std::vector<int> bypass;
  int powerups = 0;
  reader.OnBypass = [&](int port, int state) { bypass.push_back(port * 10 + state); };
  reader.OnPowerup = [&](int port) { powerups += port; };
  Feed(reader, "e60231cfeb");  // "1"
  EXPECT_TRUE(reader.Responsed);
  EXPECT_TRUE(reader.ResponseOk);
  EXPECT_EQ(reader.ModelName, "LN07");
  Feed(reader, "e60242beeb");  // "B"
  EXPECT_FALSE(reader.ResponseOk);
  EXPECT_EQ(reader.ModelName, "LN07");
  Feed(reader, "e60250b0eb");  // "P"
  Feed(reader, "e6027090eb");  // "p"
  EXPECT_EQ(bypass, (std::vector<int>{40, 41}));
  Feed(reader, "e60252aeeb");  // "R": not connected, so only the event
  EXPECT_EQ(powerups, 4);
}

// Sending from inside a receive let a reader recurse the client into a stack overflow: a
// request for the clock is only noted, for the pass to serve between its commands.
TEST(ReaderClient, AClockRequestIsNotedAndNothingIsSent) {
  for (const char* status : {"e60243bdeb", "e60252aeeb"}) {  // "C", "R"
    TLoopbackPeer peer;
    auto reader = QuickReader(peer.PortText());
    ASSERT_TRUE(reader->Reconnect(false));
    ASSERT_TRUE(peer.Accept());
    peer.Send(QByteArray::fromHex(status));
    ASSERT_TRUE(WaitUntil(
        [&] {
          reader->Poll();
          return reader->ClockRequested;
        },
        5000))
        << status;
    EXPECT_FALSE(reader->PktMode) << status;
    EXPECT_TRUE(peer.Read(50).isEmpty()) << status;
  }
}

TEST(ReaderClient, NoHeartbeatWhileACommandWaits) {
  QDateTime now(QDate(2024, 5, 17), QTime(8, 30, 50));
  const TScopedClock clock([&] { return now; });
  TLoopbackPeer peer;
  auto reader = QuickReader(peer.PortText());
  ASSERT_TRUE(reader->Reconnect(false));
  ASSERT_TRUE(peer.Accept());
  reader->MarkReceived();
  reader->SendCommand(QByteArray::fromHex("000300"));
  EXPECT_EQ(peer.Read().toHex(), "e605000300f8eb");
  now = now.addSecs(20);  // the minute changes while the reply is awaited
  reader->Poll();
  EXPECT_TRUE(peer.Read(50).isEmpty());
  peer.Send(QByteArray::fromHex("e609000300512a030076eb"));
  ASSERT_TRUE(AwaitReply(*reader));
  EXPECT_EQ(reader->RxLen(), 9);  // the real reply, not a heartbeat echo
  now = now.addSecs(60);
  reader->Poll();  // idle again: now the heartbeat goes out
  EXPECT_EQ(peer.Read().toHex(), "e604000cf0eb");
  reader->Poll();  // and only once in the same minute
  EXPECT_TRUE(peer.Read(50).isEmpty());
}

TEST(ReaderClient, AFailedReconnectReportsTheReader) {
  TRecordingMessageBox messages;
  const int closedPort = ClosedLoopbackPort();
  auto reader = QuickReader(QByteArray::number(closedPort));
  reader->Desc = QStringLiteral("Gate A");
  reader->Enable = true;
  EXPECT_FALSE(reader->Reconnect(true));
  EXPECT_FALSE(reader->Enable);
  EXPECT_EQ(messages.Texts, QStringList{QStringLiteral("Failed to connect reader (Gate A:%1). Please retry later!").arg(closedPort)});
  EXPECT_FALSE(reader->Reconnect(false));
  EXPECT_EQ(messages.Texts.size(), 1);
}

}  // namespace

// Live events from the emulator, timed and on demand, back to back in one chunk, in both forms.
TEST(ReaderClient, LiveEventsFromTheEmulatorRaiseOnCardCode) {
  SimFaults timed;
  timed.EventEveryMs = 5;
  ReaderSim sim({}, timed);
  auto reader = QuickReader(QByteArray::number(sim.Port()));
  std::vector<TCardCall> calls;
  reader->OnCardCode = [&](bool offline, int port, int code, TDateTime stamp, std::int8_t mode) {
    calls.push_back({offline, port, code, stamp, mode});
  };
  ASSERT_TRUE(reader->Reconnect(false));
  reader->Enable = true;
  const std::uint32_t card = 0x654321;
  const auto shortEvent = readersim::EventPacket({{0, card + 1, 0, false}, true});
  auto twoInOne = readersim::EventPacket({{2, card, readersim::TimeCode(2024, 5, 17, 8, 30, 15), false}, false});
  twoInOne.insert(twoInOne.end(), shortEvent.begin(), shortEvent.end());
  ASSERT_TRUE(WaitUntil([&] { return sim.Connections() == 1; }, 5000));
  sim.SendBytes(twoInOne);
  ASSERT_TRUE(WaitUntil(
      [&] {
        reader->Poll();
        return calls.size() >= 12;
      },
      10000));
  const auto on = [&](std::uint32_t Card) {
    return std::find_if(calls.begin(), calls.end(), [&](const TCardCall& c) { return c.Code == static_cast<int>(Card); });
  };
  ASSERT_NE(on(card), calls.end());
  EXPECT_EQ(on(card)->Stamp, At(2024, 5, 17, 8, 30, 15));
  EXPECT_EQ(on(card)->Mode, 0);
  ASSERT_NE(on(card + 1), calls.end());
  EXPECT_EQ(on(card + 1)->Mode, -1);
  EXPECT_GT(on(card + 1)->Stamp, 0);
  // Each timed event is in the log too, with the time and mode it was sent with.
  const TDateTime lastStamp = calls.back().Stamp;
  EXPECT_GT(lastStamp, 0);
  EXPECT_EQ(calls.back().Mode, calls.back().Code % 2 == 0 ? 1 : 2);
  EXPECT_GE(sim.LogSize(), calls.size() - 2);
}
