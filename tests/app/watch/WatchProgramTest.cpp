#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <sys/resource.h>

#include <csignal>

#include "ProgramRun.h"
#include "ReaderSim.h"
#include "RunLock.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

constexpr int InitialRecords = 100;
constexpr std::uint32_t FirstTimedCard = 500000;  // the emulator's timed events count up from here
constexpr int LimitMs = 30000;

void StartWatch(const TProgramFolder& Folder, QProcess& Process, const QStringList& Environment = {},
                const QStringList& Options = {}) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  for (const QString& setting : Environment) environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
  Process.setProcessEnvironment(environment);
  Process.start(Folder.Program(), QStringList{"--watch"} + Options);
  ASSERT_TRUE(Process.waitForStarted());
}

bool AwaitOutput(QProcess& Process, QString& Output, const QString& Text) {
  return WaitUntil(
      [&] {
        Output += QString::fromLocal8Bit(Process.readAllStandardError());
        return Output.contains(Text);
      },
      LimitMs);
}

// Starts a watch and stops it by a signal once it said Awaited (or the wait gave up): all it said.
QString WatchOutputUntil(const TProgramFolder& Folder, const QString& Awaited) {
  QProcess watch;
  StartWatch(Folder, watch);
  QString output;
  (void)AwaitOutput(watch, output, Awaited);
  watch.terminate();
  if (!watch.waitForFinished(LimitMs)) {
    watch.kill();
    watch.waitForFinished();
    output += QStringLiteral("\n(the watch did not end on the signal)");
  }
  return output + QString::fromLocal8Bit(watch.readAllStandardError());
}

// What the program said it stored: its passes' rows and its live count at the end.
// What the watch's closing line says it added, live or read from a log.
int ReportedStored(const QString& Output) {
  return Output.section("<6>run ended: ", 1).section("; ", 1).section(' ', 0, 0).toInt();
}

// Every record the emulator started with and each of the first Sent timed events, once each.
// Events are sent only while a client is connected: Sent is taken between runs.
void ExpectEverythingStoredOnce(const TProgramFolder& Folder, int Sent) {
  EXPECT_EQ(Folder.Query("PRAGMA integrity_check"), QStringList{"ok"});
  EXPECT_EQ(Folder.DoubledRecords(), 0);
  EXPECT_EQ(Folder.Query(QStringLiteral("SELECT COUNT(*) FROM records WHERE CARDNO < %1").arg(FirstTimedCard)).front().toInt(),
            InitialRecords);
  EXPECT_EQ(Folder.Query(QStringLiteral("SELECT COUNT(DISTINCT CARDNO) FROM records WHERE CARDNO >= %1 AND CARDNO < %2")
                             .arg(FirstTimedCard)
                             .arg(FirstTimedCard + static_cast<std::uint32_t>(Sent)))
                .front()
                .toInt(),
            Sent);
}

// One watch holds the lock for its whole life: a run or a second watch started meanwhile is
// refused and contacts nothing, the run as a run that found another, the watch as a failure;
// each names the watch and its process.
// SIGTERM ends it within a second with its lock released, and what it says it stored is in
// the file.
TEST(WatchProgram, HoldsTheLockAndEndsCleanlyOnSigterm) {
  TProgramFolder folder;
  SimFaults events;
  events.EventEveryMs = 20;
  ReaderSim sim(readersim::SampleLog(InitialRecords, 3), events);
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  QProcess watch;
  StartWatch(folder, watch);
  QString output;
  ASSERT_TRUE(AwaitOutput(watch, output, " done: ")) << output.toStdString();
  ASSERT_TRUE(folder.RunProgram(LimitMs));
  const QString holder = QStringLiteral("the watch running since %1").arg(folder.Query("SELECT started FROM watch_process").value(0));
  EXPECT_TRUE(folder.ErrorOutput.contains(holder + QStringLiteral(" (process %1) holds").arg(watch.processId())))
      << folder.ErrorOutput.toStdString();
  QProcess second;
  StartWatch(folder, second);
  ASSERT_TRUE(second.waitForFinished(LimitMs));
  EXPECT_TRUE(QString::fromLocal8Bit(second.readAllStandardError()).contains(holder));
  EXPECT_EQ(second.exitCode(), 1);  // a watch that cannot start is tried again by its unit
  EXPECT_EQ(sim.Connections(), 1);
  ASSERT_TRUE(WaitUntil([&] { return folder.RecordCount() > InitialRecords; }, LimitMs));  // live events stored
  QElapsedTimer stopping;
  stopping.start();
  watch.terminate();
  ASSERT_TRUE(watch.waitForFinished(LimitMs));
  const qint64 stopMs = stopping.elapsed();
  output += QString::fromLocal8Bit(watch.readAllStandardError());
  EXPECT_LT(stopMs, StopBoundMs) << output.toStdString();
  EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(watch.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(TRunLock(folder.DatabasePath()).Held());
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM watch_process"), QStringList{"0"});  // no window shows it any more
  EXPECT_EQ(ReportedStored(output), folder.RecordCount()) << output.toStdString();
  EXPECT_GT(folder.RecordCount(), InitialRecords);
  const int sent = sim.EventsSent();
  ASSERT_TRUE(folder.RunProgram(LimitMs));  // what was on the way when it stopped
  ExpectEverythingStoredOnce(folder, sent);
}

// A second row for a watched reader and a row without a port are refused each with its row and
// line; the others are watched all the same, however many.
TEST(WatchProgram, RowsBeyondItsReachAreRefusedAloud) {
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", "", false, true, false);
  for (int port = 1; port <= 64; ++port) folder.AddReader("127.0.0.1", QString::number(port), false, true, false);
  folder.AddReader("localhost", "1", false, true, false);
  folder.AddReader("127.0.0.1", "65", false, true, false);
  QProcess watch;
  StartWatch(folder, watch, {}, {"--watch-collect", "1"});
  QString output;
  ASSERT_TRUE(AwaitOutput(watch, output, "watching ")) << output.toStdString();
  watch.terminate();
  ASSERT_TRUE(watch.waitForFinished(LimitMs));
  output += QString::fromLocal8Bit(watch.readAllStandardError());
  EXPECT_TRUE(output.contains("watching 65 readers; each log collected on connect and every minute\n")) << output.toStdString();
  EXPECT_TRUE(output.contains("<3>127.0.0.1: bad_row: the port is empty")) << output.toStdString();
  EXPECT_TRUE(output.contains("<3>localhost:1 bad_row: the same reader as row 2 (127.0.0.1:1)")) << output.toStdString();
  EXPECT_EQ(folder.Query("SELECT ipaddr || ':' || ipport FROM visits WHERE outcome = 'bad_row' ORDER BY ipport"),
            (QStringList{"127.0.0.1:", "localhost:1"}));
  EXPECT_EQ(watch.exitCode(), 0);
}

// A reader the watch never reached, its connect still waiting at the stop, is a visit not done.
TEST(WatchProgram, AReaderNeverReachedIsNotDoneInTheClosingLine) {
  TProgramFolder folder;
  SimFaults blackhole;
  blackhole.Blackhole = true;
  ReaderSim first({}, blackhole);
  ReaderSim second({}, blackhole);
  for (const ReaderSim* sim : {&first, &second}) folder.AddReader("127.0.0.1", QString::number(sim->Port()), false, true, false);
  const QString output = WatchOutputUntil(folder, "watching 2 readers");
  EXPECT_TRUE(output.contains("<6>run ended: 2 visits, 0 done, 2 not (2 of them readers down at the end)")) << output.toStdString();
}

// Two texts of one reader whose name does not resolve are one reader in every mode: the site
// tools refuse a third, the watch keeps one line and refuses the second row once, and a run, with
// --jobs or without, visits both rows, one after the other.
TEST(WatchProgram, EveryModeTakesTwoTextsOfOneReaderForOne) {
  TProgramFolder folder;
  folder.AddReader("nosuch-door.invalid", "4001", false, true, false);
  folder.AddReader("NOSUCH-DOOR.invalid", "4001", false, true, false);
  QProcess add;
  add.start(folder.Program(), {"--add-reader", "Nosuch-Door.invalid:4001"});
  ASSERT_TRUE(add.waitForFinished(LimitMs));
  EXPECT_EQ(add.exitCode(), 2);
  EXPECT_TRUE(QString::fromLocal8Bit(add.readAllStandardError()).contains("is the reader of row 1 (nosuch-door.invalid:4001) already"));
  const QString output = WatchOutputUntil(folder, "watching ");
  EXPECT_TRUE(output.contains("watching 1 reader;")) << output.toStdString();
  EXPECT_TRUE(output.contains("<3>NOSUCH-DOOR.invalid:4001 bad_row: the same reader as row 1 (nosuch-door.invalid:4001)"))
      << output.toStdString();
  for (const QStringList& environment : {QStringList{}, QStringList{"QUILLMERE_JOBS=2"}}) {
    folder.Execute("DELETE FROM visits");
    ASSERT_TRUE(folder.RunProgram(LimitMs, environment));
    EXPECT_EQ(folder.Query("SELECT ipaddr, outcome FROM visits ORDER BY id"),
              (QStringList{"nosuch-door.invalid|unreachable", "NOSUCH-DOOR.invalid|unreachable"}))
        << environment.join(' ').toStdString();
  }
}

// Readers that need more open files than the watch may have are refused at once, in one line
// that names the fix, before any is contacted; a soft limit below the hard one is no reason to
// refuse: the watch raises it.
TEST(WatchProgram, ReadersBeyondTheOpenFileLimitAreRefusedBeforeAnyIsContacted) {
  constexpr int Readers = 200;  // about 280 descriptors with the pass threads and the fixed few
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(5, 1));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  for (int port = 1; port < Readers; ++port) folder.AddReader("127.0.0.1", QString::number(port), false, true, false);
  for (const rlim_t hard : {rlim_t{250}, rlim_t{1024}}) {
    QProcess watch;
    watch.setChildProcessModifier([hard] {
      const rlimit limit{250, hard};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    StartWatch(folder, watch);
    QString output;
    if (hard == 1024) {
      ASSERT_TRUE(AwaitOutput(watch, output, QStringLiteral("watching %1 readers").arg(Readers))) << output.toStdString();
      watch.terminate();
    }
    ASSERT_TRUE(watch.waitForFinished(LimitMs));
    output += QString::fromLocal8Bit(watch.readAllStandardError());
    if (hard == 1024) {
      EXPECT_EQ(watch.exitCode(), 0) << output.toStdString();
      continue;
    }
    EXPECT_EQ(watch.exitCode(), 15) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("<3>%1 readers need about 280 open files and this process may open 250; raise "
                                               "LimitNOFILE=")
                                    .arg(Readers)))
        << output.toStdString();
    EXPECT_EQ(sim.Connections(), 0);
  }
}

// A row no reader can be reached by tells the same story however Quillmere runs: a port the
// socket layer would cut to its low 16 bits reaches no other reader under a watch either.
TEST(WatchProgram, ABadRowTellsTheSameStoryInARunUnderJobsAndUnderAWatch) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(5, 2));
  for (const QString& port : {QStringLiteral("0"), QString::number(sim.Port() + 65536), QStringLiteral("99999999999")}) {
    folder.AddReader("127.0.0.1", port, false, true, false);
  }
  folder.Execute("INSERT INTO readers VALUES ('127.0.0.1', '1', NULL, 1, 0)");
  const char* const refusals = "SELECT ipport, outcome, detail FROM visits ORDER BY id";
  ASSERT_TRUE(folder.RunProgram(LimitMs));
  const QStringList run = folder.Query(refusals);
  ASSERT_EQ(run.size(), 4) << run.join('\n').toStdString();
  folder.Execute("DELETE FROM visits");
  ASSERT_TRUE(folder.RunProgram(LimitMs, {"QUILLMERE_JOBS=2"}));
  EXPECT_EQ(folder.Query(refusals), run);
  folder.Execute("DELETE FROM visits");
  const QString output = WatchOutputUntil(folder, "watching ");
  ASSERT_TRUE(output.contains("<6>run ended")) << output.toStdString();
  EXPECT_EQ(folder.Query(refusals), run);
  EXPECT_EQ(sim.Connections(), 0);
}

// Rows added or removed while a watch runs are taken up without a restart, each said.
TEST(WatchProgram, ReadersRowsAddedOrRemovedMeanwhileAreTakenUp) {
  TProgramFolder folder;
  ReaderSim first(readersim::SampleLog(5, 1));
  ReaderSim added(readersim::SampleLog(7, 2));
  folder.AddReader("127.0.0.1", QString::number(first.Port()), false, true, false);
  QProcess watch;
  StartWatch(folder, watch);
  QString output;
  ASSERT_TRUE(AwaitOutput(watch, output, "watching 1 reader;")) << output.toStdString();
  folder.AddReader("127.0.0.1", QString::number(added.Port()), false, true, false);
  ASSERT_TRUE(AwaitOutput(watch, output, "a new readers row; watched from now on")) << output.toStdString();
  ASSERT_TRUE(WaitUntil([&] { return folder.RecordCount() == 12; }, LimitMs));
  folder.Execute(QStringLiteral("DELETE FROM readers WHERE ipport = '%1'").arg(first.Port()));
  ASSERT_TRUE(AwaitOutput(watch, output, QStringLiteral("127.0.0.1:%1: its readers row was removed").arg(first.Port())))
      << output.toStdString();
  watch.terminate();
  ASSERT_TRUE(watch.waitForFinished(LimitMs));
  EXPECT_EQ(watch.exitCode(), 0);
  EXPECT_EQ(added.Connections(), 1);
}

// A kill at any moment, clear after on: what the reader no longer holds was stored, and the next
// start finds everything its log still holds.
TEST(WatchProgram, AKillLosesNothingTheLogHolds) {
  TProgramFolder folder;
  SimFaults events;
  events.EventEveryMs = 5;
  ReaderSim sim(readersim::SampleLog(InitialRecords, 4), events);
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, true);
  for (int killAfterMs : {150, 400, 900, 1300}) {
    QProcess watch;
    StartWatch(folder, watch);
    QThread::msleep(static_cast<unsigned long>(killAfterMs));
    watch.kill();
    ASSERT_TRUE(watch.waitForFinished(LimitMs));
    EXPECT_EQ(folder.Query("PRAGMA integrity_check"), QStringList{"ok"}) << killAfterMs;
    EXPECT_EQ(folder.DoubledRecords(), 0) << killAfterMs;
  }
  const int sent = sim.EventsSent();
  ASSERT_TRUE(folder.RunProgram(LimitMs));
  ExpectEverythingStoredOnce(folder, sent);
}

// The disk fails once while events arrive, at points spread over a watch's life: the failure
// is a <3> line and the exit status, nothing is reported stored that is not, the reader is not
// left locked, and the next run finds in the reader's log what the watch could not store. Each
// watch ends once the emulator sent it as many events, however long that took: the same work,
// and so about the same calls, at any load.
TEST(WatchProgram, ADiskFailureWhileEventsArriveLosesNothing) {
  constexpr int EventsPerWatch = 25;
  const QString report = QDir::temp().filePath("quillmere-watch-fault-report");
  long calls = 0;
  for (long faultAt : {0L, -30L, -50L, -70L, -90L}) {  // negative: that share of an unfaulted watch's calls
    TProgramFolder folder;
    SimFaults events;
    events.EventEveryMs = 100;
    ReaderSim sim(readersim::SampleLog(InitialRecords, 5), events);
    folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
    const long at = faultAt < 0 ? calls * -faultAt / 100 : 0;
    QFile::remove(report);
    QProcess watch;
    StartWatch(folder, watch, {"LD_PRELOAD=" FAULT_INJECTOR, "QUILLMERE_FAULT_AT=" + QString::number(at),
                               "QUILLMERE_FAULT_ERRNO=ENOSPC", "QUILLMERE_FAULT_REPORT=" + report,
                               "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0"});
    ASSERT_TRUE(WaitUntil([&] { return sim.EventsSent() >= EventsPerWatch || watch.state() == QProcess::NotRunning; }, LimitMs));
    watch.terminate();
    ASSERT_TRUE(watch.waitForFinished(LimitMs));
    const QString output = QString::fromLocal8Bit(watch.readAllStandardError());
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const long made = file.readLine().trimmed().toLong();
    const QString failed = QString::fromLocal8Bit(file.readLine().trimmed());
    if (at == 0) calls = made;
    const std::string where = "fault at " + std::to_string(at) + " of " + std::to_string(made) + " (" + failed.toStdString() +
                              "), exit " + std::to_string(watch.exitCode()) + ":\n" + output.toStdString();
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit) << where;
    const bool sqliteFolderSync = failed == "fdatasync on " + QDir(folder.Path()).absolutePath();
    if (!failed.isEmpty() && !sqliteFolderSync) {
      EXPECT_TRUE(output.contains("<3>")) << where;
      EXPECT_NE(watch.exitCode(), 0) << where;
    }
    EXPECT_LE(ReportedStored(output), folder.RecordCount()) << where;
    EXPECT_FALSE(sim.Locked()) << where << "the reader was left locked, taking no card";
    const int sent = sim.EventsSent();
    ASSERT_TRUE(folder.RunProgram(LimitMs)) << where;
    ExpectEverythingStoredOnce(folder, sent);
    if (HasFailure()) return;
  }
}

}  // namespace
