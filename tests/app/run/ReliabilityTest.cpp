#include <gtest/gtest.h>

#include <csignal>

#include <QProcess>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

// Each stored record costs a scan of 500 x 500 rows: a slow disk, so that kills land while a
// page is being stored.
void SlowDownStoring(const TProgramFolder& Folder) {
  Folder.Execute("CREATE TABLE ballast (x INTEGER)");
  Folder.Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
                 "INSERT INTO ballast SELECT i FROM n");
  Folder.Execute("CREATE TRIGGER slow AFTER INSERT ON records BEGIN "
                 "SELECT COUNT(*) FROM ballast a, ballast b; END");
}

TEST(Reliability, KillsAtAnyMomentLoseNothingAndLeaveTheFileIntact) {
  TProgramFolder folder;
  SlowDownStoring(folder);
  constexpr int Records = 330;
  ReaderSim sim(readersim::SampleLog(Records, 8));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, true);
  int stored = 0;
  for (int point = 0; point < 10; ++point) {
    QProcess run;
    folder.Start(run);
    if (run.waitForFinished(500 + point * 700)) continue;
    ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
    run.waitForFinished();
    EXPECT_EQ(folder.Query("PRAGMA integrity_check"), QStringList{"ok"}) << "kill " << point;
    EXPECT_EQ(folder.DoubledRecords(), 0) << "kill " << point;
    const int now = folder.RecordCount();
    EXPECT_GE(now, stored) << "kill " << point;  // nothing posted before a kill is missing
    stored = now;
  }
  EXPECT_GT(stored, 0);
  ASSERT_TRUE(folder.RunProgram());
  EXPECT_EQ(folder.ExitCode, 0);
  EXPECT_EQ(folder.RecordCount(), Records);
  EXPECT_EQ(folder.DoubledRecords(), 0);
  EXPECT_EQ(sim.LogSize(), 0u);
}

TEST(Reliability, ASecondStartDuringARunContactsNoReaderAndEndsAtOnce) {
  TProgramFolder folder;
  readersim::SimFaults silent;
  silent.Silent = true;
  ReaderSim slow({}, silent);
  folder.AddReader("127.0.0.1", QString::number(slow.Port()), false, true, false);
  QProcess first;
  folder.Start(first);
  ASSERT_TRUE(WaitUntil([&] { return slow.Commands().size() == 1; }, 10000));  // the first lock is out
  ASSERT_TRUE(folder.RunProgram(10000));
  EXPECT_EQ(folder.ExitCode, 0);
  EXPECT_EQ(slow.Connections(), 1);
  EXPECT_EQ(slow.Commands().size(), 1u);

  // A killed run leaves no lock behind.
  first.kill();
  first.waitForFinished();
  QProcess third;
  folder.Start(third);
  EXPECT_TRUE(WaitUntil([&] { return slow.Connections() == 2; }, 10000));
  third.kill();
  third.waitForFinished();
}

TEST(Reliability, HostileReaderRowsCrashNothingAndRunNoSql) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(10, 9));
  const QString port = QString::number(sim.Port());
  folder.Execute(QStringLiteral("INSERT INTO readers VALUES ('1''); DROP TABLE records; --', '%1', 1, 1, 1)").arg(port));
  folder.Execute(QStringLiteral("INSERT INTO readers VALUES ('%1', '%2', 1, 1, 1)").arg(QString(20000, '9'), port));
  folder.Execute("INSERT INTO readers VALUES ('127.0.0.1', '-1', 1, 1, 1)");
  folder.Execute("INSERT INTO readers VALUES ('127.0.0.1', '', 1, 1, 1)");
  folder.Execute("INSERT INTO readers VALUES ('127.0.0.1', 'x'';DELETE FROM readers;--', 1, 1, 1)");
  folder.Execute(QStringLiteral("INSERT INTO readers VALUES (2130706433, %1, 1, 1, 0)").arg(port));  // 127.0.0.1 as a number
  ASSERT_TRUE(folder.RunProgram());
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_TRUE(folder.ErrorOutput.contains("'x';DELETE FROM readers;--' is not a valid integer value"))
      << folder.ErrorOutput.toStdString();
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM readers"), QStringList{"6"});
  EXPECT_EQ(folder.RecordCount(), 0);  // the table is still there, and the row after the error was not visited

  folder.Execute("DELETE FROM readers WHERE ipport LIKE 'x%'");
  ASSERT_TRUE(folder.RunProgram());
  EXPECT_EQ(folder.ExitCode, 0);
  EXPECT_EQ(folder.Query("SELECT DISTINCT READER FROM records"), QStringList{"2130706433"});
  EXPECT_EQ(folder.RecordCount(), 10);
}

}  // namespace
