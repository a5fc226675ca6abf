#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <QFile>
#include <QProcess>

#include <unistd.h>

#include "LogDatabase.h"
#include "ProgramRun.h"
#include "ReaderSim.h"
#include "VisitJournal.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

// Every outcome a visit can have: what causes it, the row visits holds afterwards, the line the
// journal gets, and the run's exit: a reader that merely failed needs no person.
TEST(Journal, EachOutcomeGetsItsRowDetailAndPriority) {
  SimFaults none;
  SimFaults allFF;
  allFF.AllFFPages = true;
  SimFaults silent;
  silent.Silent = true;
  SimFaults differs;
  differs.CapacityDiffers = true;
  SimFaults gone;
  gone.GoneAfter = 5;  // the first page request: lock, clock, options and two capacity requests came before
  const struct {
    const char* Outcome;
    SimFaults Faults;
    std::function<void(const TProgramFolder&)> Prepare;
    const char* Detail;
    const char* Priority;
    const char* Cleared;
    int Exit;
  } cases[] = {
      {"done", none, {}, "40 added, 0 duplicates, 0 invalid of 40 reported; clock set; cleared", "<6>", "1", 0},
      {"done", allFF, {}, "not cleared: read 0 of 40 records", "<4>", "0", 0},
      {"unreachable", none, {}, "connection refused", "<4>", "0", 0},
      {"no_response", silent, {}, "no reply to lock after 3 tries", "<4>", "0", 0},
      {"link_check_failed", differs, {}, "the capacity answers differ: 40 records", "<4>", "0", 0},
      {"connection_lost", gone, {}, "no reply to download page 0, and the reconnect failed: connection refused", "<4>", "0", 0},
      {"store_failed", none,
       [](const TProgramFolder& Folder) {
         Folder.Execute("CREATE TRIGGER refuse BEFORE INSERT ON records BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
       },
       "disk says no", "<3>", "0", 8},
      {"bad_row", none,
       [](const TProgramFolder& Folder) { Folder.Execute("UPDATE readers SET download = NULL"); },
       "Could not convert NULL in column 'download' to a boolean (readers row 1, column download)", "<3>", "0", 1},
  };
  for (const auto& c : cases) {
    TProgramFolder folder;
    ReaderSim sim(readersim::SampleLog(40, 6), c.Faults);
    const QString port = QString::number(c.Outcome == QStringLiteral("unreachable") ? ClosedLoopbackPort() : sim.Port());
    folder.AddReader("127.0.0.1", port, true, true, true);
    if (c.Prepare) c.Prepare(folder);
    ASSERT_TRUE(folder.RunProgram()) << c.Outcome;
    EXPECT_EQ(folder.ExitCode, c.Exit) << c.Outcome;
    const QStringList rows = folder.Query("SELECT ipaddr, ipport, outcome, cleared, ended IS NOT NULL, detail FROM visits");
    ASSERT_EQ(rows.size(), 1) << c.Outcome;
    const QStringList row = rows.front().split('|');
    EXPECT_EQ(row.mid(0, 5), (QStringList{"127.0.0.1", port, c.Outcome, c.Cleared, "1"})) << c.Outcome;
    EXPECT_TRUE(row[5].contains(c.Detail)) << c.Outcome << ": " << row[5].toStdString();
    EXPECT_TRUE(folder.ErrorOutput.contains(c.Priority + QStringLiteral("127.0.0.1:%1 %2: %3").arg(port, c.Outcome, row[5])))
        << c.Outcome << ": " << folder.ErrorOutput.toStdString();
    EXPECT_TRUE(folder.ErrorOutput.contains("<6>run ended: 1 readers visited")) << c.Outcome;
    // Without a display there is no progress window, and no word that it cannot be raised.
    EXPECT_FALSE(folder.ErrorOutput.contains("raise()")) << c.Outcome;
  }
}

TEST(Journal, AVisitThatAKillCutShortIsMarkedInterruptedByTheNextRun) {
  TProgramFolder folder;
  SimFaults slowPages;
  slowPages.ReplyDelayMsFor[0x0A] = 300;
  ReaderSim sim(readersim::SampleLog(200, 3), slowPages);
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  QProcess run;
  folder.Start(run);
  ASSERT_TRUE(WaitUntil([&] { return folder.RecordCount() >= 66; }, 20000));
  ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
  run.waitForFinished();
  // The visit's count moves with each page it commits, so a kill leaves it true.
  const QString stored = QString::number(folder.RecordCount());
  EXPECT_EQ(folder.Query("SELECT outcome, added FROM visits"), QStringList{"running|" + stored});
  folder.Execute("DELETE FROM readers");
  ASSERT_TRUE(folder.RunProgram());
  EXPECT_EQ(folder.Query("SELECT outcome, ended IS NOT NULL, added FROM visits"), QStringList{"interrupted|1|" + stored});
  EXPECT_TRUE(folder.ErrorOutput.contains(QStringLiteral("<4>127.0.0.1:%1 interrupted: ").arg(sim.Port())))
      << folder.ErrorOutput.toStdString();
}

// SIGTERM ends a run, serial or side by side, at the next step of each visit under way: its
// reader is unlocked and keeps its log, its visit ends interrupted, no row after it is visited,
// and neither the closing line nor the exit status says the run went through.
TEST(Journal, ASignalEndsARunAtItsVisitsNextStepAndTheRunIsNoSuccess) {
  SimFaults slowPages;
  slowPages.ReplyDelayMsFor[0x0A] = 50;
  for (const int jobs : {1, 2}) {
    TProgramFolder folder;
    ReaderSim first(readersim::SampleLog(3300, 1), slowPages);
    ReaderSim second(readersim::SampleLog(3300, 2), slowPages);
    ReaderSim later(readersim::SampleLog(5, 3));
    for (const ReaderSim* sim : {&first, &second, &later}) folder.AddReader("127.0.0.1", QString::number(sim->Port()), false, true, true);
    QProcess run;
    folder.Start(run, {QStringLiteral("QUILLMERE_JOBS=%1").arg(jobs)});
    const std::size_t underWay = jobs == 1 ? 0 : 8;  // commands of the second reader: into its walk
    ASSERT_TRUE(WaitUntil([&] { return first.Commands().size() > 8 && second.Commands().size() >= underWay; }, 20000)) << jobs;
    run.terminate();
    ASSERT_TRUE(run.waitForFinished(20000)) << jobs;
    const QString output = QString::fromLocal8Bit(run.readAllStandardError());
    EXPECT_EQ(run.exitCode(), 16) << jobs << output.toStdString();
    EXPECT_EQ(folder.Query("SELECT outcome FROM visits"), QStringList(jobs, "interrupted")) << jobs;
    EXPECT_TRUE(output.contains("<4>run stopped by a signal: ")) << output.toStdString();
    EXPECT_FALSE(output.contains("run ended")) << output.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return !first.Locked() && !second.Locked(); }, 20000)) << jobs;
    EXPECT_EQ(first.LogSize() + second.LogSize(), 6600u) << jobs;
    EXPECT_EQ(later.Connections(), 0) << jobs;
    EXPECT_EQ(second.Connections(), jobs - 1);
  }
}

// A signal while a connect waits on a reader that never answers it ends that visit interrupted at
// once, not unreachable once the connect gives up, and the run contacts no reader after it.
TEST(Journal, ASignalCutsAConnectShortAndNoRowAfterItIsVisited) {
  SimFaults blackhole;
  blackhole.Blackhole = true;
  TProgramFolder folder;
  ReaderSim silent(readersim::SampleLog(5, 1), blackhole);
  ReaderSim later(readersim::SampleLog(5, 2));
  for (const ReaderSim* sim : {&silent, &later}) folder.AddReader("127.0.0.1", QString::number(sim->Port()), false, true, false);
  QProcess run;
  folder.Start(run);
  const auto connecting = [&] {
    return folder.Query("SELECT COUNT(*) FROM sqlite_master WHERE name = 'visits'") == QStringList{"1"} &&
           folder.Query("SELECT outcome FROM visits") == QStringList{"running"};
  };
  ASSERT_TRUE(WaitUntil(connecting, 20000));
  run.terminate();
  ASSERT_TRUE(run.waitForFinished(20000));
  EXPECT_EQ(run.exitCode(), 16) << run.readAllStandardError().toStdString();
  EXPECT_EQ(folder.Query("SELECT outcome FROM visits"), QStringList{"interrupted"});
  EXPECT_EQ(later.Connections(), 0);
}

// A journal table of another shape is left alone, and collecting goes on without it.
TEST(Journal, AForeignVisitsTableIsLeftAloneWithOneWarning) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(10, 7));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  folder.Execute("CREATE TABLE visits (who TEXT, at TEXT)");
  ASSERT_TRUE(folder.RunProgram());
  EXPECT_EQ(folder.RecordCount(), 10);
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM visits"), QStringList{"0"});
  EXPECT_EQ(folder.ErrorOutput.count("<4>the visit journal in"), 1) << folder.ErrorOutput.toStdString();
}

// quillmere --check end to end, as a monitor runs it: its exit code and first line, contacting
// no reader and taking no lock. The cases are tested in process (HealthCheck, CommandLine).
TEST(Journal, TheHealthCheckAnswersAMonitorWithoutContactingAReader) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(10, 8));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  const auto check = [&](const QStringList& Arguments) {
    QProcess process;
    process.start(folder.Program(), Arguments);
    process.waitForFinished(30000);
    return std::make_pair(process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()));
  };
  const auto beforeAnyRun = check({"--check"});
  EXPECT_EQ(beforeAnyRun.first, 1);
  EXPECT_TRUE(beforeAnyRun.second.startsWith("QUILLMERE WARNING - no run yet: 1 readers never visited |"));
  ASSERT_TRUE(folder.RunProgram());
  const auto [code, report] = check({"--check", "6"});
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(report.startsWith("QUILLMERE OK - 1 of 1 readers ok, 0 never visited; 10 records added in 6 h | readers_ok=1;"))
      << report.toStdString();
  EXPECT_TRUE(report.contains(QStringLiteral("\nok     127.0.0.1:%1 last visit").arg(sim.Port()))) << report.toStdString();
  EXPECT_EQ(sim.Connections(), 1);  // the run's; the checks contacted no reader
  // The run took its -wal and -shm with it; a check, whoever runs it, makes none.
  EXPECT_FALSE(QFile::exists(folder.DatabasePath() + "-shm"));
  EXPECT_FALSE(QFile::exists(folder.DatabasePath() + "-wal"));

  // While a run holds the lock, the check still reads, and a visit under way is no failure;
  // once the run is killed, the visit it left running is one.
  SimFaults silent;
  silent.Silent = true;
  ReaderSim slow({}, silent);
  folder.AddReader("127.0.0.1", QString::number(slow.Port()), false, true, false);
  QProcess run;
  folder.Start(run);
  ASSERT_TRUE(WaitUntil([&] { return slow.Commands().size() == 1; }, 30000));
  const auto underWay = check({"--check"});
  EXPECT_EQ(underWay.first, 0) << underWay.second.toStdString();
  EXPECT_TRUE(underWay.second.contains(QStringLiteral("\nbusy   127.0.0.1:%1 last visit ").arg(slow.Port())))
      << underWay.second.toStdString();
  run.kill();
  run.waitForFinished();
  const auto killed = check({"--check"});
  EXPECT_EQ(killed.first, 1) << killed.second.toStdString();
  EXPECT_TRUE(killed.second.contains(QStringLiteral("\nNOT OK 127.0.0.1:%1 last visit ").arg(slow.Port())))
      << killed.second.toStdString();

  // A usage error is UNKNOWN to a monitor, in one line on standard error.
  QProcess bad;
  bad.start(folder.Program(), {"--check", "x"});
  bad.waitForFinished(30000);
  EXPECT_EQ(bad.exitCode(), 3);
  EXPECT_EQ(bad.readAllStandardError().count('\n'), 1);
  EXPECT_EQ(slow.Connections(), 1);  // a bad option contacts nothing
  // The help names the program as it was started.
  QProcess help;
  help.start(folder.Program(), {"--help"});
  help.waitForFinished(30000);
  EXPECT_TRUE(help.readAllStandardOutput().startsWith("Usage: " + folder.Program().toLocal8Bit() + " [options]"));
}

// A monitor outside the run's user and group meets the -wal and -shm of a run under way, which
// it may not read: it reads the file as it stands and says what it may miss, rather than UNKNOWN.
TEST(Journal, TheHealthCheckReadsTheFileAsItStandsBesideALogItMayNotRead) {
  TProgramFolder folder;
  folder.AddReader("10.0.0.1", "1", false, true, false);
  folder.AddReader("10.0.0.1", "2", false, true, false);
  TLogDatabase running;  // keeps the -wal and -shm, as a run or a watch does
  running.OpenDatabase(folder.DatabasePath());
  TVisitJournal journal;
  journal.Open(running.Connection());
  const QString visit = "INSERT INTO visits (started, ended, ipaddr, ipport, outcome, added) VALUES (datetime('now', "
                        "'localtime', '-2 minutes'), datetime('now', 'localtime', '-1 minutes'), '10.0.0.1', '%1', 'done', 3)";
  folder.Execute(visit.arg(1));
  folder.Execute("PRAGMA wal_checkpoint");
  folder.Execute(visit.arg(2));  // in the -wal alone
  const QString wal = folder.DatabasePath() + "-wal";
  const QString shm = folder.DatabasePath() + "-shm";
  ASSERT_TRUE(QFile::setPermissions(folder.Path(), QFileDevice::Permissions(0x7755)));
  ASSERT_TRUE(QFile::setPermissions(folder.DatabasePath(), QFileDevice::Permissions(0x6444)));
  for (const QString& path : {wal, shm}) ASSERT_TRUE(QFile::setPermissions(path, {}));
  const QStringList asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", "exec \"$0\" --check >&2"};
  ASSERT_TRUE(folder.RunProgram(30000, {"QUILLMERE_DATABASE=" + folder.DatabasePath()},
                                ::geteuid() == 0 ? asNobody : QStringList{"sh", "-c", "exec \"$0\" --check >&2"}));
  EXPECT_EQ(folder.ExitCode, 1) << folder.ErrorOutput.toStdString();
  EXPECT_TRUE(folder.ErrorOutput.startsWith("QUILLMERE WARNING - 1 of 2 readers ok, 1 never visited; 3 records added in 24 h; " +
                                            wal + " and " + shm + " may not be read by this user: the last minutes may be missing |"))
      << folder.ErrorOutput.toStdString();
}

}  // namespace
