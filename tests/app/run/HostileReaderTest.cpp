#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QWidget>

#include <memory>

#include "LogDatabase.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReaderSim.h"
#include "StatusLine.h"
#include "StatusWindowObserver.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

class TQuietStatus final : public IStatusLine {
 public:
  void SetStatusText(const QString& Text) override { Last = Text; }
  void SetStatusVisible(bool) override {}
  QString Last;
};

// One pass against a misbehaving emulated reader; every case must end, store nothing wrong,
// and never clear a log it has not read.
class HostileReader : public testing::Test {
 protected:

  void Visit(const ReaderSim& Sim, int ReplyWaitMs = 400, int BusyTimeoutMs = DefaultBusyTimeoutMs,
             const TPassFlags& Flags = {false, true, true}) {
    TLogDatabase db(BusyTimeoutMs);
    db.OpenDatabase(Folder.DatabasePath());
    TLinkTimings timings;
    timings.DrainQuietMs = 30;
    timings.DrainLimitMs = DrainLimitMs;
    timings.ReplyWaitMs = ReplyWaitMs;
    timings.ClearReplyWaitMs = ReplyWaitMs;
    TReader link(timings);
    TStatusWindowObserver shown(Status, Owner);
    TReaderPass pass(link, db, shown);
    ASSERT_TRUE(pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(Sim.Port())));
    pass.ReaderPass(Flags);
    LastVisit = pass.VisitOf({});
  }
  int Stored() const { return Folder.Query("SELECT COUNT(*) FROM records").front().toInt(); }

  TLogFolder Folder;
  QWidget Owner;
  TQuietStatus Status;
  TRecordingMessageBox Messages;
  TVisit LastVisit;
  int DrainLimitMs = 300;
};

TEST_F(HostileReader, RepliesThatAreNoPacketsEndThePassWithNothingStored) {
  for (auto mangling : {SimFaults::Mangling::Garbage, SimFaults::Mangling::Truncated, SimFaults::Mangling::Oversized}) {
    SimFaults faults;
    faults.Mangle = mangling;
    ReaderSim sim(readersim::SampleLog(40, 2), faults);
    Visit(sim);
    EXPECT_EQ(Stored(), 0) << static_cast<int>(mangling);
    EXPECT_EQ(sim.LogSize(), 40u) << static_cast<int>(mangling);
  }
}

// However long the drain's time bound, its byte bound ends each drain at once: the visit is
// over within seconds, where three drains of a minute each would hold the run for three.
TEST_F(HostileReader, APeerThatStreamsWithoutEndIsLeftAfterThreeTries) {
  SimFaults faults;
  faults.StreamForever = true;
  ReaderSim sim(readersim::SampleLog(40, 2), faults);
  DrainLimitMs = 60000;
  QElapsedTimer visit;
  visit.start();
  Visit(sim);
  EXPECT_LT(visit.elapsed(), 20000);
  EXPECT_EQ(Status.Last, "No response");
  EXPECT_EQ(sim.Commands().size(), 3u);
  EXPECT_EQ(Stored(), 0);
}

TEST_F(HostileReader, AReaderThatTricklesByteByByteIsStillCollected) {
  SimFaults faults;
  faults.Trickle = true;
  ReaderSim sim(readersim::SampleLog(40, 2), faults);
  Visit(sim, 3000);
  EXPECT_EQ(Stored(), 40);
  EXPECT_EQ(sim.LogSize(), 0u);
}

TEST_F(HostileReader, AnAllFFPageStoresNothingAndIsNotCleared) {
  SimFaults faults;
  faults.AllFFPages = true;
  ReaderSim sim(readersim::SampleLog(40, 2), faults);
  Visit(sim);
  EXPECT_EQ(Stored(), 0);
  EXPECT_EQ(sim.LogSize(), 40u);  // the reader said 40 records; none was read, so none is cleared
  EXPECT_FALSE(sim.Locked());
  // Without a clear asked, the records left unread are still worth a warning.
  Visit(sim, 400, DefaultBusyTimeoutMs, {false, true, false});
  EXPECT_TRUE(LastVisit.ReadShort);
  EXPECT_EQ(LastVisit.Detail, "0 added, 0 duplicates, 0 invalid of 40 reported; read 0 of 40 records");
}

// Holds the write lock of logs.mdb from another process for Seconds.
class TWriteLockHolder {
 public:
  TWriteLockHolder(const QString& Database, int Seconds) {
    Process.start("sqlite3", {Database});
    Process.write(QStringLiteral("BEGIN IMMEDIATE;\nINSERT INTO readers VALUES ('lock', '0', 0, 0, 0);\n"
                                 ".print locked\n.shell sleep %1\nROLLBACK;\n")
                      .arg(Seconds)
                      .toUtf8());
    Process.closeWriteChannel();
    Locked = Process.waitForReadyRead(5000) && Process.readAllStandardOutput().contains("locked");
  }
  ~TWriteLockHolder() { Process.waitForFinished(30000); }
  bool Locked = false;

 private:
  QProcess Process;
};

TEST_F(HostileReader, ABusyDatabaseIsWaitedFor) {
  ReaderSim sim(readersim::SampleLog(40, 4));
  const TWriteLockHolder holder(Folder.DatabasePath(), 2);
  ASSERT_TRUE(holder.Locked);
  Visit(sim);
  EXPECT_EQ(Stored(), 40);
  EXPECT_EQ(sim.LogSize(), 0u);
}

TEST_F(HostileReader, ADatabaseBusyPastTheTimeoutEndsThePassWithoutAClear) {
  ReaderSim sim(readersim::SampleLog(40, 4));
  const TWriteLockHolder holder(Folder.DatabasePath(), 3);
  ASSERT_TRUE(holder.Locked);
  Visit(sim, 400, 500);
  EXPECT_EQ(sim.LogSize(), 40u);
  EXPECT_TRUE(sim.Locked());
}

// In rollback-journal mode a reader's snapshot lets a page begin and store but not commit: the
// page must not count, and the log must not be cleared.
TEST_F(HostileReader, APageWhoseCommitFailsIsNotCountedAndTheLogNotCleared) {
  ReaderSim sim(readersim::SampleLog(40, 4));
  QSqlDatabase snapshot = QSqlDatabase::addDatabase("QSQLITE", "snapshot");
  snapshot.setDatabaseName(Folder.DatabasePath());
  ASSERT_TRUE(snapshot.open());
  {
    QSqlQuery hold(snapshot);
    ASSERT_TRUE(hold.exec("BEGIN") && hold.exec("SELECT COUNT(*) FROM records") && hold.next());
    Visit(sim, 400, 200);
  }
  snapshot.close();
  snapshot = {};
  QSqlDatabase::removeDatabase("snapshot");
  EXPECT_EQ(Stored(), 0);
  EXPECT_EQ(sim.LogSize(), 40u);
  EXPECT_EQ(LastVisit.Outcome, TVisitOutcome::StoreFailed);
  EXPECT_EQ(LastVisit.Added, 0);
  EXPECT_FALSE(LastVisit.Cleared);
}

}  // namespace
