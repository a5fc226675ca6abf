#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <memory>
#include <optional>

#include "CollectNow.h"
#include "CollectRequests.h"
#include "ExitStatus.h"
#include "LiveEventWriter.h"
#include "LogDatabase.h"
#include "ReaderSim.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "SiteConnection.h"
#include "TestSupport.h"
#include "WatchDesk.h"
#include "WatchLines.h"
#include "WatchState.h"
#include "WatchedReaders.h"

namespace {

constexpr int LimitMs = 20000;

// A watch in process, as TWatchRun wires it, over every readers row: its lock, its workers, the
// journal they report to, and its desk. The asker runs in this thread too: its wait is the
// event loop the desk and the reports need.
class TInProcessWatch {
 public:
  explicit TInProcessWatch(const TLogFolder& Folder) : Lock(Folder.DatabasePath()) {
    Db.OpenDatabase(Folder.DatabasePath());
    Journal = std::make_unique<TRunJournal>(Db, true);
    Store.OpenDatabase(Folder.DatabasePath());
    Store.KeepLiveEventsPending();
    Live = std::make_unique<TLiveEventWriter>(Store, 250);
    TWatchTimings timings;
    timings.FirstRetryMs = 50;
    timings.LongestRetryMs = 400;
    Readers = std::make_unique<TWatchedReaders>(Db, ReadReaderRecords(Db), Store, *Live, *Journal, Receiver, timings, 4, &Lines);
    Desk = std::make_unique<TWatchDesk>(Db, Lines, [this](const QString& R) { return Readers->Watches(R); },
                                        [this](const QString& R) { Readers->CollectNow(R); });
  }
  ~TInProcessWatch() {
    Readers->StopAll();
    QCoreApplication::sendPostedEvents(&Receiver);
    Desk->End();
  }

  TRunLock Lock;
  TLogDatabase Db;
  std::unique_ptr<TRunJournal> Journal;
  TLogDatabase Store{250};
  QObject Receiver;
  TWatchLines Lines;
  std::unique_ptr<TLiveEventWriter> Live;
  std::unique_ptr<TWatchedReaders> Readers;
  std::unique_ptr<TWatchDesk> Desk;
};

int Visits(const TLogFolder& Folder, const QString& Outcome) {
  return Folder.Query(QStringLiteral("SELECT COUNT(*) FROM visits WHERE outcome = '%1'").arg(Outcome)).front().toInt();
}

// A process that has ended: its pid names no live watch.
qint64 EndedPid() {
  QProcess ended;
  ended.start(QStringLiteral("true"), {});
  ended.waitForFinished();
  return ended.processId() > 0 ? ended.processId() : 999999;
}

}  // namespace

// The whole way: a request each for the watched readers goes in, the watch takes them within a
// second, passes them, and the asker prints their outcomes and ends 0; the rows the window reads
// show the line up; a second row of a watched reader is asked through the first. A reader the
// watch keeps no line to is refused by the watch, one no row names by the asker, before anything
// is written.
TEST(CollectNow, AWatchTakesTheRequestAndPassesItsReaders) {
  TLogFolder folder;
  readersim::ReaderSim sim(readersim::SampleLog(20, 1));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  folder.AddReader("localhost", QString::number(sim.Port()), false, true, false);  // asked through the first
  TInProcessWatch watch(folder);
  ASSERT_TRUE(WaitUntil([&] { return Visits(folder, "done") == 1; }, LimitMs));

  EXPECT_EQ(CollectNow(folder.DatabasePath(), std::nullopt, {LimitMs, LimitMs, 100}), ExitCode(TExitStatus::Ok));
  EXPECT_EQ(Visits(folder, "done"), 2);  // the watch collects hourly: this pass was the request's
  EXPECT_TRUE(WaitUntil([&] { return folder.Query("SELECT line FROM watch_lines") == QStringList{"up"}; }, LimitMs))
      << folder.Query("SELECT * FROM watch_lines").join(' ').toStdString();

  qint64 unwatched = 0;
  {
    const TSiteConnection asker(folder.DatabasePath(), TAccess::Write);
    unwatched = AskCollect(asker.Db(), QStringLiteral("127.0.0.1"), QString::number(ClosedLoopbackPort()));
  }
  ASSERT_TRUE(WaitUntil([&] { return !folder.Query(QStringLiteral("SELECT answer FROM collect_requests WHERE id = %1").arg(unwatched)).front().isEmpty(); }, LimitMs));
  EXPECT_TRUE(folder.Query(QStringLiteral("SELECT answer FROM collect_requests WHERE id = %1").arg(unwatched)).front().startsWith("refused"));

  const int asked = folder.Query("SELECT COUNT(*) FROM collect_requests").front().toInt();
  EXPECT_EQ(CollectNow(folder.DatabasePath(), TReaderAddress{"127.0.0.1", QString::number(ClosedLoopbackPort())}),
            ExitCode(TExitStatus::Usage));
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM collect_requests").front().toInt(), asked);
}

// Only a live watch takes requests: without the lock, under a run's lock, or under the lock with
// the row of a watch that was killed, nothing is asked and the status says so, also when the
// killed watch's process id is another live process's by now (after a reboot, soon).
TEST(CollectNow, WithoutAWatchNothingIsAsked) {
  struct TCase {
    const char* Name;
    bool Locked;
    std::optional<qint64> WatchPid;
  };
  for (const TCase& c : {TCase{"nothing holds the file", false, QCoreApplication::applicationPid()},
                         TCase{"a run holds it", true, std::nullopt}, TCase{"a killed watch left its row", true, EndedPid()},
                         TCase{"a killed watch's process id lives on", true, 1}}) {
    SCOPED_TRACE(c.Name);
    TLogFolder folder;
    folder.AddReader("127.0.0.1", "4370", false, true, false);
    if (c.WatchPid) {
      const TSiteConnection writer(folder.DatabasePath(), TAccess::Write);
      BeginWatchState(writer.Db(), *c.WatchPid);
      CreateCollectRequests(writer.Db());
    }
    std::optional<TRunLock> lock;
    if (c.Locked) lock.emplace(folder.DatabasePath());
    EXPECT_EQ(CollectNow(folder.DatabasePath(), std::nullopt), ExitCode(TExitStatus::NoWatch));
    if (c.WatchPid) {
      EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM collect_requests").front(), "0");
    }
  }
}
