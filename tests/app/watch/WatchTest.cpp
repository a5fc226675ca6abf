#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Clock.h"
#include "Forwarder.h"
#include "Forwarding.h"
#include "HealthCheck.h"
#include "LiveEventWriter.h"
#include "LogDatabase.h"
#include "PgServer.h"
#include "ReaderSim.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "TestSupport.h"
#include "WatchForwarding.h"
#include "WatchLoop.h"

namespace {

using readersim::ReaderSim;
using readersim::SimEvent;
using readersim::SimFaults;

constexpr int LimitMs = 20000;

TWatchTimings QuickTimings() {
  TWatchTimings timings;
  timings.FirstRetryMs = 50;
  timings.LongestRetryMs = 400;
  return timings;
}

// One reader under watch, in process: the real loop, a real emulator, a real logs.mdb.
class TWatched {
 public:
  // Journalled: its passes start their rows in a journal of the test's thread, which writes
  // their ends once told (see EndRows).
  explicit TWatched(std::vector<readersim::SimRecord> Log = {}, SimFaults Faults = {}, bool ClearAfter = false,
                    TWatchTimings Timings = QuickTimings(), bool Journalled = false)
      : Sim(std::make_unique<ReaderSim>(std::move(Log), Faults)) {
    Folder.AddReader("127.0.0.1", QString::number(Sim->Port()), false, true, ClearAfter);
    Store.OpenDatabase(Folder.DatabasePath());
    Store.KeepLiveEventsPending();
    TWatchLine::TStartRow startRow;
    if (Journalled) {
      JournalDb.OpenDatabase(Folder.DatabasePath());
      Journal = std::make_unique<TRunJournal>(JournalDb, true);
      startRow = [this](const TVisit& Visit) { return Journal->VisitStartedIn(Store, Visit); };
    }
    Live = std::make_unique<TLiveEventWriter>(Store, Timings.FileRetryMs);
    Loop = std::make_unique<TWatchLoop>(Store, *Live, Timings, 1);
    Line = &Loop->Add(
        TReaderRow{"127.0.0.1", QString::number(Sim->Port()), false, true, ClearAfter},
        [this](const TWatchLine::TEnded& Told) {
          const std::lock_guard guard(Lock);
          if (Told.Visit.Outcome == TVisitOutcome::LineDown) {
            Drops.push_back(Told.Visit);
          } else {
            Ended.push_back(Told.Visit);
            Rows.push_back(Told.Row);
          }
        },
        startRow);
  }
  // The passes ended so far, written to the journal as the watch writes them.
  void EndRows() {
    const std::lock_guard guard(Lock);
    for (std::size_t pass = 0; pass < Ended.size(); ++pass) Journal->VisitWhole(Ended[pass], Rows[pass]);
  }

  std::vector<TVisit> Passes() {
    const std::lock_guard guard(Lock);
    return Ended;
  }
  std::vector<TVisit> LinesDown() {
    const std::lock_guard guard(Lock);
    return Drops;
  }
  bool AwaitPasses(std::size_t Count) {
    return WaitUntil([&] { return Passes().size() >= Count; }, LimitMs);
  }
  int Records() const { return Folder.Query("SELECT COUNT(*) FROM records").front().toInt(); }
  bool AwaitRecords(int Count) const {
    return WaitUntil([&] { return Records() >= Count; }, LimitMs);
  }
  // Live events stored and counted: the count is kept just after the commit that makes the rows
  // visible, so waiting for the rows alone could look between the two.
  bool AwaitLiveStored(int Count) const {
    return WaitUntil([&] { return Line->LiveEventsStored() >= Count; }, LimitMs);
  }
  QStringList Stored(std::uint32_t Card) const {
    return Folder.Query(QStringLiteral("SELECT RECTIME, MODE FROM records WHERE CARDNO = %1 ORDER BY rowid").arg(Card));
  }

  TLogFolder Folder;
  std::unique_ptr<ReaderSim> Sim;
  TLogDatabase Store;
  std::mutex Lock;
  std::vector<TVisit> Ended;
  std::vector<TVisit> Drops;
  std::vector<qint64> Rows;  // of Ended
  TLogDatabase JournalDb;
  std::unique_ptr<TRunJournal> Journal;
  std::unique_ptr<TLiveEventWriter> Live;
  std::unique_ptr<TWatchLoop> Loop;  // last: stopped before anything it touches goes
  TWatchLine* Line = nullptr;
};

std::vector<std::uint8_t> Join(std::vector<std::vector<std::uint8_t>> Parts) {
  std::vector<std::uint8_t> bytes;
  for (const auto& part : Parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

std::vector<std::uint8_t> Event(std::uint32_t Card, std::int32_t TimeCode = readersim::TimeCode(2026, 11, 3, 9, 15, 0)) {
  return readersim::EventPacket({{1, Card, TimeCode, false}, false});
}

// What reaches the line, and which cards that makes records of. A packet that cannot be trusted
// stores nothing, and the line goes on to the next one.
TEST(Watch, LiveEventsAreStoredAsTheyArriveAndBadOnesAreNot) {
  auto corrupt = Event(101);
  corrupt[corrupt.size() - 2] ^= 0x01;
  auto torn = Event(201);
  torn.resize(6);
  const struct {
    const char* Name;
    std::vector<std::vector<std::uint8_t>> Sends;  // each sent apart, the last one a good event
    std::vector<std::uint32_t> Absent;
  } cases[] = {
      {"a good event", {Event(1)}, {}},
      {"the same event twice", {Join({Event(2), Event(2)})}, {}},
      {"a bad check byte", {Join({corrupt, Event(102)})}, {101}},
      {"a torn packet, then events", {torn, Event(202), Event(203)}, {201}},
      {"an invalid time code", {Join({Event(301, 0), Event(302)})}, {301}},
      {"a time code past any valid date", {Join({Event(401, -5), Event(402)})}, {401}},
  };
  for (const auto& c : cases) {
    TWatched watched;
    ASSERT_TRUE(watched.AwaitPasses(1)) << c.Name;
    for (const auto& send : c.Sends) {
      watched.Sim->SendBytes(send);
      QThread::msleep(20);
    }
    const auto& bytes = c.Sends.back();
    const std::size_t end = bytes.size();
    const std::uint32_t last = static_cast<std::uint32_t>(bytes[end - 5] << 16 | bytes[end - 4] << 8 | bytes[end - 3]);
    ASSERT_TRUE(WaitUntil([&] { return !watched.Stored(last).isEmpty(); }, LimitMs)) << c.Name;
    EXPECT_EQ(watched.Stored(last), QStringList{"2026-11-03 09:15:00|2"}) << c.Name;
    for (std::uint32_t card : c.Absent) EXPECT_TRUE(watched.Stored(card).isEmpty()) << c.Name << ": card " << card;
    EXPECT_LE(watched.Records(), static_cast<int>(c.Sends.size())) << c.Name;
  }
}

// The short form carries no time: the computer's, without milliseconds, and mode "other".
TEST(Watch, AShortEventIsStoredAtTheComputersTime) {
  TWatched watched;
  ASSERT_TRUE(watched.AwaitPasses(1));
  watched.Sim->SendBytes(readersim::EventPacket({{0, 77, 0, false}, true}));
  ASSERT_TRUE(watched.AwaitRecords(1));
  const QStringList row = watched.Stored(77);
  ASSERT_EQ(row.size(), 1);
  EXPECT_TRUE(row.front().endsWith("|0")) << row.front().toStdString();
  const QDateTime stamp = QDateTime::fromString(row.front().section('|', 0, 0), "yyyy-MM-dd HH:mm:ss");
  EXPECT_LE(std::abs(stamp.secsTo(QDateTime::currentDateTime())), 5);
}

// Once the log brings a short event's copy, the swipe is one row with the log's time and mode,
// whatever the reader's clock says and however close one card's swipes come.
TEST(Watch, AShortEventBecomesItsLogCopy) {
  const struct {
    const char* Name;
    std::vector<int> ReaderSecondsFromNow;  // one swipe of card 88 each, in order
    bool PendingRowDeletedFirst;  // by hand: SQLite hands its rowid out again
  } cases[] = {
      {"the clocks agree", {0}, false},
      {"the reader 7 s behind", {-7}, false},
      {"the reader 5 minutes ahead", {300}, false},
      {"two swipes within a second or two, 30 s behind", {-30, -30}, false},
      {"three swipes, the reader 3 hours ahead", {10800, 10800, 10800}, false},
      {"after a pending row was deleted", {-7}, true},
  };
  for (const auto& c : cases) {
    TWatched watched;
    ASSERT_TRUE(watched.AwaitPasses(1)) << c.Name;
    if (c.PendingRowDeletedFirst) {
      watched.Sim->SendBytes(readersim::EventPacket({{0, 87, 0, false}, true}));
      ASSERT_TRUE(watched.AwaitRecords(1)) << c.Name;
      watched.Folder.Execute("DELETE FROM records");
    }
    QStringList logged;
    const int storedBefore = watched.Line->LiveEventsStored();
    for (std::size_t i = 0; i < c.ReaderSecondsFromNow.size(); ++i) {
      const QDateTime at = QDateTime::currentDateTime().addSecs(c.ReaderSecondsFromNow[i]);
      const std::uint8_t inOrOut = i % 2;  // mode 1 or 2
      watched.Sim->PresentCard({{inOrOut, 88, readersim::TimeCode(at.date().year(), at.date().month(), at.date().day(),
                                                                at.time().hour(), at.time().minute(), at.time().second()), false},
                                true});
      logged << at.toString("yyyy-MM-dd HH:mm:ss") + '|' + QString::number(inOrOut + 1);
      ASSERT_TRUE(watched.AwaitLiveStored(storedBefore + static_cast<int>(i) + 1)) << c.Name;
      // A short event is stamped to the second: the next swipe comes in the next one.
      const qint64 second = QDateTime::currentSecsSinceEpoch();
      ASSERT_TRUE(WaitUntil([&] { return QDateTime::currentSecsSinceEpoch() > second; }, LimitMs));
    }
    watched.Sim->SendBytes({0xE6, 0x02, 'R', static_cast<std::uint8_t>(256 - 'R'), 0xEB});  // a restart: a pass
    ASSERT_TRUE(watched.AwaitPasses(2)) << c.Name;
    EXPECT_EQ(watched.Stored(88), logged) << c.Name;
    EXPECT_EQ(watched.Passes()[1].Added, watched.Passes()[1].Live) << c.Name;  // the log added none
  }
}

// A short event forwarded before its log copy came: the server ends with the one row, at the
// log's time and mode, also when the correction is sent again after a lost acknowledgement.
TEST(Watch, AShortEventForwardedBeforeItsLogCopyIsCorrectedOnTheServer) {
  TPgServer server;
  for (const int behind : {0, 7}) {  // the log copy's time the same (only its mode differs) or another
    const QString central = server.CreateDatabase(QStringLiteral("corrected_%1").arg(behind));
    TWatched watched;
    ASSERT_TRUE(watched.AwaitPasses(1)) << behind;
    TLogDatabase db;
    db.OpenDatabase(watched.Folder.DatabasePath());
    TForwarder forwarder(db.Connection(), server.Url(central, "secret"), "north");
    const auto onServer = [&] { return server.Sql("SELECT rectime, mode FROM records", central).trimmed().toStdString(); };
    const QDateTime at = QDateTime::currentDateTime().addSecs(-behind);
    watched.Sim->PresentCard({{1, 88, readersim::TimeCode(at.date().year(), at.date().month(), at.date().day(), at.time().hour(),
                                                          at.time().minute(), at.time().second()), false},
                              true});
    ASSERT_TRUE(watched.AwaitRecords(1)) << behind;
    forwarder.Run();
    ASSERT_TRUE(onServer().ends_with("|0")) << onServer();
    watched.Sim->SendBytes({0xE6, 0x02, 'R', static_cast<std::uint8_t>(256 - 'R'), 0xEB});  // a restart: a pass
    ASSERT_TRUE(watched.AwaitPasses(2)) << behind;
    const QString logged = at.toString("yyyy-MM-dd HH:mm:ss") + "|2";
    ASSERT_EQ(watched.Stored(88), QStringList{logged}) << behind;
    watched.Folder.Execute("CREATE TABLE kept AS SELECT * FROM forwarding_corrections");
    forwarder.Run();
    EXPECT_EQ(onServer(), logged.toStdString()) << behind;
    watched.Folder.Execute("INSERT INTO forwarding_corrections SELECT * FROM kept");
    forwarder.Run();
    EXPECT_EQ(onServer(), logged.toStdString()) << behind;
  }
}

// A burst far faster than one commit per event: every event is stored once, live. The reader
// then restarts ("R"): it gets a pass of its own with its clock set, and the walk finds every
// live event already stored.
TEST(Watch, ABurstIsStoredWholeAndAPowerUpBringsAPassThatFindsItStored) {
  constexpr int Burst = 1500;
  TWatched watched;
  ASSERT_TRUE(watched.AwaitPasses(1));
  for (std::uint32_t i = 0; i < Burst; ++i) {
    watched.Sim->PresentCard({{static_cast<std::uint8_t>(i % 2), 10000 + i, readersim::TimeCode(2026, 11, 3, 9, 0, 0), false}});
  }
  ASSERT_TRUE(watched.AwaitLiveStored(Burst));
  EXPECT_EQ(watched.Line->LiveEventsStored(), Burst);
  EXPECT_EQ(watched.Records(), Burst);
  watched.Sim->SendBytes({0xE6, 0x02, 'R', static_cast<std::uint8_t>(256 - 'R'), 0xEB});
  ASSERT_TRUE(watched.AwaitPasses(2));
  const TVisit second = watched.Passes()[1];
  EXPECT_EQ(second.Outcome, TVisitOutcome::Done) << second.Detail.toStdString();
  EXPECT_TRUE(second.ClockSet);
  EXPECT_EQ(second.Live, Burst);  // counted with this row, for the check
  EXPECT_EQ(second.Added, Burst);  // and nothing more: the log held nothing new
  EXPECT_EQ(second.Duplicates, Burst);
  EXPECT_EQ(watched.Records(), Burst);
  // Served once: a request left raised would run pass after pass, each setting the clock again.
  EXPECT_FALSE(WaitUntil([&] { return watched.Passes().size() > 2; }, 1500));
  const auto commands = watched.Sim->Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& Payload) { return Payload.rfind("0002", 0) == 0; }), 1);
}

// One pass thread, two readers: a reader whose pass falls due while the other's long pass runs
// waits its turn, and its live events are stored meanwhile; the passes never overlap.
TEST(Watch, AReaderWaitingForAPassThreadHasItsLiveEventsStoredMeanwhile) {
  TLogFolder folder;
  ReaderSim quick({});
  ReaderSim slow(readersim::SampleLog(3300, 7));
  TLogDatabase store;
  store.OpenDatabase(folder.DatabasePath());
  store.KeepLiveEventsPending();
  TLiveEventWriter live(store, QuickTimings().FileRetryMs);
  std::atomic<int> quickPasses{0};
  std::atomic<int> slowPasses{0};
  TWatchLoop loop(store, live, QuickTimings(), 1);
  loop.Add({"127.0.0.1", QString::number(quick.Port()), false, true, false}, [&](const TWatchLine::TEnded&) { ++quickPasses; });
  ASSERT_TRUE(WaitUntil([&] { return quickPasses == 1; }, LimitMs));
  loop.Add({"127.0.0.1", QString::number(slow.Port()), false, true, false}, [&](const TWatchLine::TEnded&) { ++slowPasses; });
  ASSERT_TRUE(WaitUntil([&] { return slow.Commands().size() > 5; }, LimitMs));
  const std::size_t commands = quick.Commands().size();
  quick.SendBytes({0xE6, 0x02, 'R', static_cast<std::uint8_t>(256 - 'R'), 0xEB});  // a restart: a pass due
  QThread::msleep(300);  // apart, so that the event comes once the pass waits
  quick.PresentCard({{1, 4242, readersim::TimeCode(2026, 11, 3, 9, 15, 0), false}});
  ASSERT_TRUE(WaitUntil([&] { return folder.Query("SELECT COUNT(*) FROM records WHERE CARDNO = 4242") == QStringList{"1"}; }, LimitMs));
  EXPECT_EQ(slowPasses, 0);
  EXPECT_EQ(quick.Commands().size(), commands);  // its pass waits for the one thread
  ASSERT_TRUE(WaitUntil([&] { return quickPasses == 2; }, LimitMs));
  EXPECT_EQ(slowPasses, 1);
}

// A reader that asks for its clock without end gets it in a pass, not a pass per request: run
// back to back, those passes would keep it locked, taking no card, and fill the journal.
TEST(Watch, AReaderThatKeepsAskingForItsClockIsNotVisitedOverAndOver) {
  SimFaults faults;
  faults.StatusEveryMs = 100;
  TWatched watched({}, faults);
  ASSERT_TRUE(watched.AwaitPasses(1));
  EXPECT_FALSE(WaitUntil([&] { return watched.Passes().size() > 2; }, 3000)) << watched.Passes().size() << " passes";
}

// The reader goes away and comes back on the same port: the worker connects again by itself,
// and the pass of that connect collects what the reader logged meanwhile.
TEST(Watch, AReaderThatDropsIsConnectedAgainAndItsLogCollected) {
  TCapturedErrors errors;
  TWatched watched;
  ASSERT_TRUE(watched.AwaitPasses(1));
  const std::uint16_t port = watched.Sim->Port();
  watched.Sim.reset();
  QThread::msleep(600);  // a few of the growing waits
  const auto offline = readersim::SampleLog(40, 9);
  watched.Sim = std::make_unique<ReaderSim>(offline, SimFaults{}, port);
  ASSERT_TRUE(watched.AwaitPasses(2));
  EXPECT_EQ(watched.Passes()[1].Added, 40);
  EXPECT_EQ(watched.Sim->Connections(), 1);
  // The line is said up, and its outage ended, once the pass that went through it is reported.
  ASSERT_TRUE(WaitUntil([&] { return watched.LinesDown().size() >= 2; }, LimitMs));
  const QString journal = QString::fromLocal8Bit(errors.Text());
  const QString name = QStringLiteral("127.0.0.1:%1").arg(port);
  EXPECT_EQ(journal.count("<4>" + name + ": line down (the reader closed the line)"), 1) << journal.toStdString();
  EXPECT_EQ(journal.count("<6>" + name + ": line up again after "), 1) << journal.toStdString();
  // One outage, one row: reported as it starts, and again as it ends, saying how long.
  ASSERT_EQ(watched.LinesDown().size(), 2u);
  EXPECT_EQ(watched.LinesDown()[0].Detail, "the reader closed the line");
  EXPECT_TRUE(watched.LinesDown()[1].Detail.startsWith("the reader closed the line; up again after "));
  EXPECT_EQ(watched.LinesDown()[1].Started, watched.LinesDown()[0].Started);
  EXPECT_GT(watched.LinesDown()[1].Ended, watched.LinesDown()[0].Ended);
}

// A reader that takes the connection but never answers is one outage, however many times the
// line is made again: not a pass, a drop and a "line up" each time.
TEST(Watch, AReaderThatNeverAnswersIsOneOutage) {
  TCapturedErrors errors;
  SimFaults silent;
  silent.Silent = true;
  TWatchTimings timings = QuickTimings();
  timings.LongestRetryMs = 100;
  timings.ReplyWaitMs = 100;
  TWatched watched({}, silent, false, timings);
  ASSERT_TRUE(WaitUntil([&] { return watched.Sim->Connections() >= 10; }, LimitMs));  // three tries a pass
  watched.Loop->StopAll();
  const QString journal = QString::fromLocal8Bit(errors.Text());
  const auto passes = watched.Passes();
  EXPECT_EQ(std::count_if(passes.begin(), passes.end(), [](const TVisit& Pass) { return Pass.Outcome != TVisitOutcome::Interrupted; }), 1)
      << journal.toStdString();
  EXPECT_EQ(watched.LinesDown().size(), 1u) << journal.toStdString();
  // The pass's own visit line tells the outage: no line down or up besides.
  EXPECT_EQ(journal.count("line down") + journal.count("line up again"), 0) << journal.toStdString();
}

// Idle across a minute, the worker sends a heartbeat: an echo keeps the line, silence past the
// echo's wait drops it and brings a new connection and its pass.
TEST(Watch, AnUnansweredHeartbeatDropsTheLineAndAnAnsweredOneKeepsIt) {
  for (const bool echoed : {true, false}) {
    std::atomic<int> minutesAhead{0};
    const TScopedClock clock([&] { return QDateTime::currentDateTime().addSecs(60 * minutesAhead); });
    TWatchTimings timings = QuickTimings();
    timings.EchoWaitMs = 2000;  // room for a loaded machine's emulator to echo
    SimFaults faults;
    faults.NoHeartbeatEcho = !echoed;
    TWatched watched({}, faults, false, timings);
    ASSERT_TRUE(watched.AwaitPasses(1));
    minutesAhead = 1;
    ASSERT_TRUE(WaitUntil([&] { return watched.Sim->Heartbeats() >= 1; }, LimitMs)) << echoed;
    if (echoed) {
      // A minute on, the line sends its next heartbeat only once the first was answered, and on
      // the same line only if that answer kept it. The clock moves on a minute at a time: the
      // echo, which starts the idle minute afresh, may land before or after any one step.
      QElapsedTimer step;
      step.start();
      ASSERT_TRUE(WaitUntil(
          [&] {
            if (step.hasExpired(250)) {
              ++minutesAhead;
              step.restart();
            }
            return watched.Sim->Heartbeats() >= 2;
          },
          LimitMs));
      EXPECT_TRUE(watched.LinesDown().empty());
      EXPECT_EQ(watched.Sim->Connections(), 1);
      continue;
    }
    ASSERT_TRUE(WaitUntil([&] { return !watched.LinesDown().empty(); }, LimitMs));
    EXPECT_EQ(watched.LinesDown()[0].Detail, "no answer to a heartbeat in 2 s");
    ASSERT_TRUE(watched.AwaitPasses(2));
    EXPECT_GE(watched.Sim->Connections(), 2);  // a real minute may pass meanwhile, and drop it again
  }
}

// A reader that drops every line soon after its pass is tried again after waits that double up
// to the longest and stay there: never a busy loop, never a wait that grows without end.
TEST(Watch, AReaderThatKeepsDroppingIsTriedAfterGrowingBoundedWaits) {
  SimFaults dropping;
  dropping.CloseAfterMs = 300;
  TWatchTimings timings = QuickTimings();
  timings.FirstRetryMs = 25;
  timings.LongestRetryMs = 800;  // longer than a line stays up, which would start the waits afresh
  timings.DrainQuietMs = 0;
  TWatched watched({}, dropping, false, timings);
  constexpr std::size_t Connects = 10;
  ASSERT_TRUE(WaitUntil([&] { return watched.Sim->Connections() >= static_cast<int>(Connects); }, LimitMs));
  const auto times = watched.Sim->ConnectionTimes();
  for (std::size_t i = 1; i < Connects; ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]).count();
    const int wait = std::min(timings.FirstRetryMs << (i - 1), timings.LongestRetryMs);
    EXPECT_GE(gap, dropping.CloseAfterMs + wait - 10) << "wait " << i;  // the emulator's close is timed to the millisecond
    // Slack for a loaded machine, where a pass may still run at the close and wait out its
    // tries; a doubling without end is at 6.4 s by the 9th wait.
    EXPECT_LT(gap, dropping.CloseAfterMs + wait + 4000) << "wait " << i;
  }
  EXPECT_GE(watched.LinesDown().size(), Connects - 1);
}

// A reading program holds logs.mdb in rollback-journal mode, which keeps every write out, for
// twenty times the store's busy time-out: live events wait for it in memory while the line is
// read on, none is lost or called stored before it is, and the pass it failed comes again soon,
// after them, and stores the log.
TEST(Watch, AReadingProgramHoldingTheFileDelaysLiveEventsAndLosesNone) {
  constexpr int LogRecords = 30;
  constexpr int Events = 20;
  constexpr int BusyMs = 100;
  TCapturedErrors errors;
  ReaderSim sim(readersim::SampleLog(LogRecords, 5));
  TLogFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  const auto count = [&](const char* Sql) { return folder.Query(Sql).front().toInt(); };
  const char* const records = "SELECT COUNT(*) FROM records";
  {
    QSqlDatabase reading = QSqlDatabase::addDatabase("QSQLITE", "reading-program");
    reading.setDatabaseName(folder.DatabasePath());
    ASSERT_TRUE(reading.open());
    QSqlQuery hold(reading);
    ASSERT_TRUE(hold.exec("PRAGMA journal_mode=DELETE") && hold.exec("BEGIN") && hold.exec("SELECT COUNT(*) FROM records") && hold.next());
    TLogDatabase store(BusyMs);
    store.OpenDatabase(folder.DatabasePath());
    std::atomic<int> passes{0};
    TWatchTimings timings = QuickTimings();
    timings.FileRetryMs = 20;
    TLiveEventWriter live(store, timings.FileRetryMs);
    TWatchLoop loop(store, live, timings, 1);
    const TWatchLine& worker = loop.Add({"127.0.0.1", QString::number(sim.Port()), false, true, false}, [&](const TWatchLine::TEnded&) { ++passes; });
    ASSERT_TRUE(WaitUntil([&] { return passes >= 1; }, LimitMs));
    for (std::uint32_t card = 0; card < Events; ++card) {
      sim.PresentCard({{1, 90000 + card, readersim::TimeCode(2026, 11, 3, 10, 0, static_cast<int>(card)), false}});
    }
    // Read and stamped as they come, held in memory: a short event keeps its arrival's time.
    ASSERT_TRUE(WaitUntil([&] { return worker.EventsWaiting() == Events; }, LimitMs)) << worker.EventsWaiting();
    QThread::msleep(20 * BusyMs);
    EXPECT_EQ(count(records), 0);
    EXPECT_EQ(worker.LiveEventsStored(), 0);
    hold.finish();
    ASSERT_TRUE(hold.exec("COMMIT"));
    ASSERT_TRUE(WaitUntil([&] { return count(records) == LogRecords + Events && passes >= 2; }, LimitMs)) << count(records);
    // The pass due meanwhile waits for the events before it: they are stored live.
    EXPECT_EQ(worker.LiveEventsStored(), Events);
    EXPECT_EQ(worker.EventsWaiting(), 0);
    EXPECT_FALSE(worker.StoreFailed());  // the pass the hold failed came again and stored all
    EXPECT_EQ(count("SELECT COUNT(DISTINCT RECTIME || CARDNO) FROM records"), LogRecords + Events);
  }
  QSqlDatabase::removeDatabase("reading-program");
  const QString journal = QString::fromLocal8Bit(errors.Text());
  // Once at least; this test's own looks at the file may make a slow machine's store wait again.
  EXPECT_GE(journal.count("logs.mdb is held by another program"), 1) << journal.toStdString();
  EXPECT_EQ(journal.count("logs.mdb free again"), journal.count("logs.mdb is held by another program")) << journal.toStdString();
}

// Another thread's turn at the store is no hold on the file: an event read in a pass is stored
// before the pass goes on, or the log copy the pass stores next finds no short event to take over.
TEST(Watch, AFlushWaitsOutAnotherThreadsTurnAtTheStore) {
  TLogFolder folder;
  TLogDatabase store;
  store.OpenDatabase(folder.DatabasePath());
  TLiveEventWriter live(store, QuickTimings().FileRetryMs);
  TLiveEventWriter::TSource source(QStringLiteral("reader"), QStringLiteral("127.0.0.1"), false);
  std::atomic<bool> turnTaken{false};
  const std::unique_ptr<QThread> page(QThread::create([&] {
    TWriteTransaction transaction(store);
    turnTaken = true;
    QThread::msleep(4 * BriefWaitMs);
  }));
  page->start();
  ASSERT_TRUE(WaitUntil([&] { return turnTaken.load(); }, LimitMs));
  live.Submit(source, {7, Now(), 2, {}});
  live.Flush(source);
  EXPECT_EQ(source.Waiting(), 0);
  page->wait();
  live.Settle(source);
  EXPECT_EQ(source.Stored(), 1);
  EXPECT_FALSE(source.Failed());
}

// Events that come while those before them are held back by another program's hold go in
// behind them, however the tries and the arrivals interleave: a reader's events are stored in
// the order it sent them.
TEST(Watch, EventsHeldBackByAnotherProgramKeepTheirOrder) {
  constexpr int Events = 60;
  TLogFolder folder;
  THeldFile other(folder.DatabasePath());
  TLogDatabase store;
  store.OpenDatabase(folder.DatabasePath());
  TLiveEventWriter live(store, 10);
  TLiveEventWriter::TSource source(QStringLiteral("reader"), QStringLiteral("127.0.0.1"), false);
  ASSERT_TRUE(other.Hold());
  QStringList sent;
  for (int card = 1; card <= Events; ++card) {
    live.Submit(source, {card, Now(), 2, {}});
    sent << QString::number(card);
    QThread::msleep(5);  // arrivals spread over many tries, some of them while one is under way
  }
  ASSERT_TRUE(other.Release());
  live.Settle(source);
  EXPECT_EQ(source.Stored(), Events);
  EXPECT_EQ(folder.Query("SELECT group_concat(CARDNO) FROM (SELECT CARDNO FROM records ORDER BY rowid)"), QStringList{sent.join(',')});
}

// A file that refuses every event (a full disk) is said once as it starts and once as it ends,
// not once per event.
TEST(Watch, AFileThatRefusesEveryEventIsSaidOnceNotPerEvent) {
  constexpr int Events = 30;
  TCapturedErrors errors;
  TWatched watched;
  ASSERT_TRUE(watched.AwaitPasses(1));
  // Every card but the last is refused. The refused ones are gathered behind a hold first: once
  // none waits, every one has met the full file, and the last comes alone.
  watched.Folder.Execute("CREATE TRIGGER full BEFORE INSERT ON records WHEN NEW.CARDNO <> 72999 "
                         "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
  THeldFile held(watched.Folder.DatabasePath());
  ASSERT_TRUE(held.Hold());
  for (std::uint32_t card = 0; card < Events; ++card) {
    watched.Sim->PresentCard({{1, 72000 + card, readersim::TimeCode(2026, 11, 3, 8, 0, static_cast<int>(card)), false}});
  }
  ASSERT_TRUE(WaitUntil([&] { return watched.Line->EventsWaiting() == Events; }, LimitMs));
  ASSERT_TRUE(held.Release());
  ASSERT_TRUE(WaitUntil([&] { return watched.Line->EventsWaiting() == 0; }, LimitMs));
  watched.Sim->PresentCard({{1, 72999, readersim::TimeCode(2026, 11, 3, 8, 1, 0), false}});
  ASSERT_TRUE(watched.AwaitRecords(1));
  const QString journal = QString::fromLocal8Bit(errors.Text());
  EXPECT_EQ(journal.count("<3>"), 1) << journal.toStdString();
  EXPECT_EQ(journal.count(QStringLiteral("live events are stored again; those not stored stay in the reader's log, after %1 in all").arg(Events)), 1)
      << journal.toStdString();
  EXPECT_TRUE(watched.Line->StoreFailed());
}

// A pass that ends link_check_failed (a reader taking cards while it is visited answers two
// different counts) leaves the line up: the next live event is stored without a reconnect.
TEST(Watch, APassWhoseCountsDifferKeepsTheLine) {
  SimFaults differs;
  differs.CapacityDiffers = true;
  TWatched watched(readersim::SampleLog(5, 3), differs);
  ASSERT_TRUE(watched.AwaitPasses(1));
  EXPECT_EQ(watched.Passes()[0].Outcome, TVisitOutcome::LinkCheckFailed);
  watched.Sim->SendBytes(Event(4242));
  ASSERT_TRUE(watched.AwaitRecords(1));
  EXPECT_EQ(watched.Stored(4242).size(), 1);
  EXPECT_EQ(watched.Sim->Connections(), 1);
}

// Events read before a line drops are stored as soon as the file takes them, while the line is
// still down: the reader may be gone for good.
TEST(Watch, EventsReadBeforeALineDropsAreStoredWhileItIsDown) {
  constexpr int Events = 5;
  TWatched watched;
  ASSERT_TRUE(watched.AwaitPasses(1));
  THeldFile held(watched.Folder.DatabasePath());
  ASSERT_TRUE(held.Hold());
  for (std::uint32_t card = 0; card < Events; ++card) {
    watched.Sim->PresentCard({{1, 70000 + card, readersim::TimeCode(2026, 11, 3, 8, 0, 0), false}});
  }
  ASSERT_TRUE(WaitUntil([&] { return watched.Line->EventsWaiting() == Events; }, LimitMs));
  watched.Sim.reset();
  ASSERT_TRUE(WaitUntil([&] { return !watched.LinesDown().empty(); }, LimitMs));
  ASSERT_TRUE(held.Release());
  ASSERT_TRUE(watched.AwaitLiveStored(Events));
  EXPECT_EQ(watched.Line->LiveEventsStored(), Events);
  EXPECT_EQ(watched.Records(), Events);
}

// A stop stores what waits for the file if the file takes it now; what it cannot take is said,
// and counts as the file failing.
TEST(Watch, AStopStoresTheEventsWaitingOrSaysTheyStayOnTheReader) {
  constexpr int Events = 5;
  for (const bool releasedFirst : {true, false}) {
    TCapturedErrors errors;
    TWatched watched;
    ASSERT_TRUE(watched.AwaitPasses(1));
    THeldFile held(watched.Folder.DatabasePath());
    ASSERT_TRUE(held.Hold());
    for (std::uint32_t card = 0; card < Events; ++card) {
      watched.Sim->PresentCard({{1, 71000 + card, readersim::TimeCode(2026, 11, 3, 8, 0, 0), false}});
    }
    ASSERT_TRUE(WaitUntil([&] { return watched.Line->EventsWaiting() == Events; }, LimitMs));
    if (releasedFirst) {
      ASSERT_TRUE(held.Release());
    }
    watched.Loop->StopAll();
    const QString journal = QString::fromLocal8Bit(errors.Text());
    EXPECT_EQ(watched.Line->LiveEventsStored(), releasedFirst ? Events : 0) << journal.toStdString();
    EXPECT_EQ(watched.Line->StoreFailed(), !releasedFirst);
    EXPECT_EQ(journal.contains("<3>") && journal.contains("5 live events not stored"), !releasedFirst) << journal.toStdString();
  }
}

// The watch's visit rows: one that another program's hold keeps out is kept back and written,
// in order, once the file is free; one still kept back at the end counts as the file failing.
TEST(Watch, AVisitRowTheFileCannotTakeIsKeptBackAndWrittenLater) {
  TLogFolder folder;
  TLogDatabase db;
  db.OpenDatabase(folder.DatabasePath());
  TCapturedErrors errors;
  TRunJournal journal(db, true);
  db.SetBusyTimeout(50);
  THeldFile held(folder.DatabasePath());
  TVisit down{"10.0.0.1", "4001", TVisitOutcome::LineDown, {}, 0, 0, 0, false, false, false, false, "gone"};
  ASSERT_TRUE(TryEncodeDateTime({2026, 1, 2, 3, 4, 5, 0}, down.Started));
  down.Ended = down.Started;
  TVisit pass = down;
  pass.Outcome = TVisitOutcome::Done;
  TLogDatabase store(50);
  store.OpenDatabase(folder.DatabasePath());
  ASSERT_TRUE(held.Hold());
  EXPECT_EQ(journal.VisitStartedIn(store, pass), -1);  // the pass goes on without its running row
  journal.LineDown(down);
  journal.VisitWhole(pass);
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM visits"), QStringList{"0"});
  ASSERT_TRUE(held.Release());
  journal.WriteKeptBack();
  EXPECT_EQ(folder.Query("SELECT outcome FROM visits ORDER BY id"), (QStringList{"line_down", "done"}));
  // A running row started, then held out at the end: its end is kept back into the same row.
  const qint64 running = journal.VisitStartedIn(store, pass);
  ASSERT_GE(running, 0);
  EXPECT_EQ(folder.Query(QStringLiteral("SELECT outcome FROM visits WHERE id = %1").arg(running)), QStringList{"running"});
  ASSERT_TRUE(held.Hold());
  journal.VisitWhole(pass, running);
  ASSERT_TRUE(held.Release());
  journal.WriteKeptBack();
  EXPECT_EQ(folder.Query("SELECT outcome FROM visits ORDER BY id"), (QStringList{"line_down", "done", "done"}));
  // Written late, the outage keeps the time it began.
  EXPECT_EQ(folder.Query("SELECT started || '|' || ended FROM visits WHERE outcome = 'line_down'"),
            QStringList{"2026-01-02 03:04:05|2026-01-02 03:04:05"});
  ASSERT_TRUE(held.Hold());
  journal.LineDown(down);
  journal.GiveUpKeptBack();
  ASSERT_TRUE(held.Release());
  EXPECT_TRUE(journal.FileFailed());
  const QString lines = QString::fromLocal8Bit(errors.Text());
  EXPECT_EQ(lines.count("<4>visit rows are kept back"), 3) << lines.toStdString();
  EXPECT_EQ(lines.count("<6>the visit rows kept back are written"), 2) << lines.toStdString();
  EXPECT_EQ(lines.count("<3>1 visit rows were not written"), 1) << lines.toStdString();
}

// An outage is one row: its end updates the row its start wrote, also when the start was kept
// back; another reader's outage is a row of its own.
TEST(Watch, AnOutageIsOneRowThatSaysHowLongItLasted) {
  for (const bool heldAtStart : {false, true}) {
    TLogFolder folder;
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    TRunJournal journal(db, true);
    db.SetBusyTimeout(50);
    THeldFile held(folder.DatabasePath());
    TVisit down{"10.0.0.1", "4001", TVisitOutcome::LineDown, {}, 0, 0, 0, false, false, false, false, "gone"};
    TVisit other = down;
    other.Port = "4002";
    if (heldAtStart) {
      ASSERT_TRUE(held.Hold());
    }
    journal.LineDown(down);
    journal.LineDown(other);
    if (heldAtStart) {
      ASSERT_TRUE(held.Release());
    }
    down.Detail = "gone; up again after 9 s";
    journal.LineDown(down);
    journal.WriteKeptBack();
    EXPECT_EQ(folder.Query("SELECT ipport || '|' || detail FROM visits ORDER BY id"),
              (QStringList{"4001|gone; up again after 9 s", "4002|gone"}))
        << heldAtStart;
  }
  // A reader down at the end, never reached, is a visit not done in the closing line. A pass
  // that lost the line again within the outage only ends its running row.
  TCapturedErrors errors;
  TLogFolder folder;
  {
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    TLogDatabase store;
    store.OpenDatabase(folder.DatabasePath());
    TRunJournal journal(db, true);
    TVisit down{"10.0.0.1", "4001", TVisitOutcome::LineDown, {}, 0, 0, 0, false, false, false, false, "refused"};
    journal.LineDown(down);
    TVisit lost = down;
    lost.Outcome = TVisitOutcome::NoResponse;
    journal.RowOnly(lost, journal.VisitStartedIn(store, lost));
  }
  EXPECT_EQ(folder.Query("SELECT outcome FROM visits ORDER BY id"), (QStringList{"line_down", "no_response"}));
  const QString lines = QString::fromLocal8Bit(errors.Text());
  EXPECT_FALSE(lines.contains("no_response")) << lines.toStdString();
  EXPECT_TRUE(lines.contains("<6>run ended: 1 visits, 0 done, 1 not (1 of them readers down at the end); 0 records added"))
      << lines.toStdString();
}

// The forward meets another program's hold on logs.mdb: a run's and a watch's alike give way
// as to an outage, said at <4>, and end as an outage, not as a failing disk.
TEST(Watch, AForwardThatMeetsAHeldFileGivesWayAsToAnOutage) {
  const QTemporaryDir nowhere;
  TRunOptions options;
  options.ForwardUrl = QStringLiteral("postgresql://quill@/central?host=%1").arg(nowhere.path());
  options.Site = "north";
  const struct {
    const char* Forward;
    std::function<TForwardEnd(const QString& File, TCapturedErrors& Errors)> Ends;
  } cases[] = {
      {"a run's", [&](const QString& File, TCapturedErrors&) { return TRunForwarding(File, options, true, 100).Finish(); }},
      {"a watch's",
       [&](const QString& File, TCapturedErrors& Errors) {
         TWatchForwarding forwarding(File, options, 100);
         EXPECT_TRUE(WaitUntil([&] { return Errors.Peek().contains("forwarding"); }, LimitMs));
         return forwarding.StopAndWait();
       }},
  };
  for (const auto& c : cases) {
    TLogFolder folder;
    folder.Execute("INSERT INTO records VALUES ('2026-11-03 09:00:00', 1, 'r', 1)");
    THeldFile held(folder.DatabasePath());
    ASSERT_TRUE(held.Hold());
    TCapturedErrors errors;
    EXPECT_EQ(c.Ends(folder.DatabasePath(), errors), TForwardEnd::Outage) << c.Forward;
    const QString journal = QString::fromLocal8Bit(errors.Text());
    EXPECT_TRUE(journal.contains("<4>forwarding")) << c.Forward << journal.toStdString();
    EXPECT_TRUE(journal.contains("database is locked")) << c.Forward << journal.toStdString();
  }
}

// A watch's forwarding to a server of its own, looking at logs.mdb every LookEveryMs, and the
// worker of one reader that sends a live event every 100 ms and tells the forwarding of each.
class TForwardedWatch {
 public:
  explicit TForwardedWatch(int LookEveryMs) : Db(Server.CreateDatabase("watched")), Sim({}, Events()) {
    Folder.AddReader("127.0.0.1", QString::number(Sim.Port()), false, true, false);
    TRunOptions options;
    options.ForwardUrl = Server.Url(Db, "secret");
    options.Site = "north";
    Forwarding = std::make_unique<TWatchForwarding>(Folder.DatabasePath(), options, 100, LookEveryMs);
  }
  // Once the first forward made the server's tables.
  bool Start() {
    if (!WaitUntil([&] { return Errors.Peek().contains("<6>forwarding to"); }, LimitMs)) return false;
    Store.OpenDatabase(Folder.DatabasePath());
    Live = std::make_unique<TLiveEventWriter>(Store, QuickTimings().FileRetryMs, Forwarding->StoredSignal());
    Loop = std::make_unique<TWatchLoop>(Store, *Live, QuickTimings(), 1);
    Loop->Add(TReaderRow{"127.0.0.1", QString::number(Sim.Port()), false, true, false}, [](const TWatchLine::TEnded&) {});
    return true;
  }
  bool Arrive(const QString& Table, int Rows) const {
    return WaitUntil([&] { return Server.Sql("SELECT COUNT(*) FROM " + Table, Db).trimmed().toInt() >= Rows; }, LimitMs);
  }
  TForwardEnd Stop() {
    Loop->StopAll();
    return Forwarding->StopAndWait();
  }

  TPgServer Server;
  QString Db;
  ReaderSim Sim;
  TLogFolder Folder;
  TCapturedErrors Errors;
  std::unique_ptr<TWatchForwarding> Forwarding;
  TLogDatabase Store;
  std::unique_ptr<TLiveEventWriter> Live;
  std::unique_ptr<TWatchLoop> Loop;  // last: stopped before anything it touches goes

 private:
  static SimFaults Events() {
    SimFaults faults;
    faults.EventEveryMs = 100;
    return faults;
  }
};

// Rows the server refuses forward after forward are one <3> line while it lasts, not one each.
TEST(Watch, RowsSetAsideForwardAfterForwardAreSaidOnce) {
  TForwardedWatch watch(100);
  ASSERT_TRUE(WaitUntil([&] { return watch.Errors.Peek().contains("<6>forwarding to"); }, LimitMs));
  for (int i = 0; i < 4; ++i) {
    watch.Folder.Execute(QStringLiteral("INSERT INTO records VALUES ('2026-11-03 09:00:0%1', %2, 'r', 1), "
                                        "('2026-02-30 10:00:00', %2, 'r', 1)")
                             .arg(i)
                             .arg(100 + i));
    ASSERT_TRUE(WaitUntil([&] { return watch.Folder.Query("SELECT COUNT(*) FROM forwarding_rejected").front().toInt() == i + 1; },
                          LimitMs));
  }
  EXPECT_EQ(watch.Forwarding->StopAndWait(), TForwardEnd::Refused);
  const QString journal = QString::fromLocal8Bit(watch.Errors.Text());
  EXPECT_EQ(journal.count("<3>"), 1) << journal.toStdString();
  EXPECT_TRUE(journal.contains("<3>rows set aside")) << journal.toStdString();
}

// A live event goes to the server as soon as it was stored, told by the thread that stored it:
// the look at logs.mdb that would find it is an hour away.
TEST(Watch, ALiveEventIsForwardedOnTheWordOfTheThreadThatStoredIt) {
  TForwardedWatch watch(3600000);
  ASSERT_TRUE(watch.Start());
  EXPECT_TRUE(watch.Arrive("records", 3));
  EXPECT_EQ(watch.Stop(), TForwardEnd::Sent);
}

// Events told of more often than the look comes do not put the look off: a visit that ended
// meanwhile is found and sent.
TEST(Watch, TheLookForVisitsComesHoweverBusyTheEvents) {
  TForwardedWatch watch(300);
  ASSERT_TRUE(watch.Start());
  ASSERT_TRUE(watch.Arrive("records", 1));
  TLogDatabase db;
  db.OpenDatabase(watch.Folder.DatabasePath());
  TVisitJournal journal;
  journal.Open(db.Connection());
  const TVisit visit{"10.0.0.1", "4001", TVisitOutcome::Done, {}, 0, 0, 0, false, false, false, false, "a pass"};
  journal.Finish(journal.Start(visit), visit);
  EXPECT_TRUE(watch.Arrive("visits", 1));
  EXPECT_EQ(watch.Stop(), TForwardEnd::Sent);
}

}  // namespace

namespace {

// Stopped in the middle of a pass with clear after on: the pass ends at its next page, the
// reader is unlocked and keeps its whole log, and the pass's row says it was interrupted.
TEST(Watch, AStopInThePassUnlocksTheReaderAndClearsNothing) {
  constexpr int Records = 3300;
  TWatched watched(readersim::SampleLog(Records, 7), {}, true);
  ASSERT_TRUE(WaitUntil([&] { return watched.Sim->Commands().size() > 20; }, LimitMs));
  watched.Loop->StopAll();
  ASSERT_EQ(watched.Passes().size(), 1u);
  EXPECT_EQ(watched.Passes()[0].Outcome, TVisitOutcome::Interrupted) << watched.Passes()[0].Detail.toStdString();
  // The unlock goes out before the line closes; a stopping watch does not wait for its reply.
  EXPECT_TRUE(WaitUntil([&] { return !watched.Sim->Locked(); }, LimitMs));
  EXPECT_EQ(watched.Sim->LogSize(), static_cast<std::size_t>(Records));
  EXPECT_LT(watched.Records(), Records);
  EXPECT_GT(watched.Records(), 0);
  EXPECT_EQ(watched.Passes()[0].Added, watched.Records());  // what it stored before the stop
}

// A watch's pass is the run's visit: its running row is there from its start, under way to the
// check while the watch holds the lock, kept current page by page, and ended in the same row.
TEST(Watch, APassHasItsRunningRowFromItsStartAndTheCheckSeesItUnderWay) {
  constexpr int Records = 8000;
  SimFaults slowPages;
  slowPages.ReplyDelayMsFor[0x0A] = 20;  // a pass of some seconds
  TWatched watched(readersim::SampleLog(Records, 7), slowPages, false, QuickTimings(), true);
  const TRunLock lock(watched.Folder.DatabasePath());
  ASSERT_TRUE(WaitUntil([&] { return watched.Folder.Query("SELECT outcome FROM visits") == QStringList{"running"}; }, LimitMs));
  EXPECT_TRUE(watched.Passes().empty());  // seen while the pass works
  const THealth health = ReadHealth(watched.Folder.DatabasePath(), 24);
  ASSERT_EQ(health.Readers.size(), 1u);
  EXPECT_TRUE(health.Readers[0].UnderWay);
  ASSERT_TRUE(watched.AwaitPasses(1));
  EXPECT_GT(watched.Folder.Query("SELECT added FROM visits").front().toInt(), 0);  // as its pages went in
  watched.EndRows();
  EXPECT_EQ(watched.Folder.Query("SELECT outcome, added FROM visits"), QStringList{QStringLiteral("done|%1").arg(Records)});
}

// Unlike a run's, a watch's pass that failed to store unlocks its reader: a locked reader takes
// no card until its lock runs out.
TEST(Watch, APassThatFailedToStoreLeavesItsReaderUnlocked) {
  SimFaults slowPages;
  slowPages.ReplyDelayMsFor[0x0A] = 20;
  TWatchTimings timings = QuickTimings();
  timings.LongestRetryMs = 60000;  // no second pass to lock it again meanwhile
  TWatched watched(readersim::SampleLog(3300, 7), slowPages, false, timings);
  ASSERT_TRUE(watched.AwaitRecords(1));
  watched.Folder.Execute("CREATE TRIGGER refuse BEFORE INSERT ON records BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
  ASSERT_TRUE(watched.AwaitPasses(1));
  EXPECT_EQ(watched.Passes()[0].Outcome, TVisitOutcome::StoreFailed) << watched.Passes()[0].Detail.toStdString();
  EXPECT_FALSE(watched.Sim->Locked());
}

// A visit's line and its row agree: live events its added counts are said in its detail, in
// the counts where the detail states them.
TEST(Watch, LiveEventsCountedAsAddedAreSaidSoInTheDetail) {
  const struct {
    TVisitOutcome Outcome;
    QString Detail;
    int Live;
    QString Said;
  } cases[] = {
      {TVisitOutcome::Done, "3 added, 1 duplicates, 0 invalid of 4 reported; cleared", 61,
       "64 added (61 of them live events), 1 duplicates, 0 invalid of 4 reported; cleared"},
      {TVisitOutcome::NoResponse, "no reply to lock after 3 tries", 5,
       "no reply to lock after 3 tries; 5 live events stored since the last pass, counted as added"},
      {TVisitOutcome::NoResponse, "no reply to lock after 3 tries", 0, "no reply to lock after 3 tries"},
  };
  for (const auto& c : cases) {
    TVisit visit;
    visit.Outcome = c.Outcome;
    visit.Added = 3;
    visit.Duplicates = 1;
    visit.RecordsReported = 4;
    visit.Detail = c.Detail;
    visit.AddLiveEvents(c.Live);
    EXPECT_EQ(visit.Detail, c.Said);
    EXPECT_EQ(visit.Added, 3 + c.Live);
  }
}

// A reader that stops answering in mid-pass does not hold the stop for its tries (here 3 of
// 20 s each). Nor by one that never completes a connect (5 s on our side).
TEST(Watch, AStopIsNotHeldByAReaderThatStoppedAnsweringOrNeverConnects) {
  SimFaults silent;
  for (int command = 3; command < 100; ++command) silent.DropReplyTo.insert(command);
  TWatchTimings timings = QuickTimings();
  timings.ReplyWaitMs = LimitMs;
  TWatched watched(readersim::SampleLog(500, 7), silent, false, timings);
  ASSERT_TRUE(WaitUntil([&] { return watched.Sim->Commands().size() > 3; }, LimitMs));
  QElapsedTimer stopping;
  stopping.start();
  watched.Loop->StopAll();
  EXPECT_LT(stopping.elapsed(), StopBoundMs);
  ASSERT_EQ(watched.Passes().size(), 1u);
  EXPECT_EQ(watched.Passes()[0].Outcome, TVisitOutcome::Interrupted);  // the stop, not the reader

  SimFaults blackhole;
  blackhole.Blackhole = true;
  TWatched connecting({}, blackhole);
  // The emulator's own two connections fill its queue; a third is the line's connect, under way.
  const int port = connecting.Sim->Port();
  ASSERT_TRUE(WaitUntil([&] { return HandshakesUnderWay(port) + AcceptQueueLength(port) > 2; }, LimitMs));
  stopping.start();
  connecting.Loop->StopAll();
  EXPECT_LT(stopping.elapsed(), StopBoundMs);
  EXPECT_TRUE(connecting.Passes().empty());
}

// A watch's pass reads a log it leaves on the reader on from where the last pass left off.
TEST(Watch, APassReadsAKeptLogOnFromWhereTheLastLeftOff) {
  SimFaults dropping;
  dropping.CloseAfterMs = 2500;  // each line is made again, and each gets its pass
  TWatched watched(readersim::SampleLog(100, 7), dropping);
  ASSERT_TRUE(watched.AwaitPasses(1));
  ASSERT_EQ(watched.Passes()[0].Outcome, TVisitOutcome::Done) << watched.Passes()[0].Detail.toStdString();
  watched.Sim->ReplaceLog(readersim::SampleLog(140, 7));  // the same log, 40 records more
  ASSERT_TRUE(watched.AwaitPasses(2));
  const TVisit second = watched.Passes()[1];
  EXPECT_TRUE(second.Detail.contains("the walk started at page 3 of a kept log")) << second.Detail.toStdString();
  EXPECT_EQ(second.Added, 40);
  EXPECT_EQ(watched.Records(), 140);
}

}  // namespace
