#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "ProgramRun.h"
#include "TestSupport.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

constexpr int RunLimitMs = 60000;

// Each hostile reader comes first; the good one after it must still be collected and cleared.
TEST(Hardening, StatusPacketsNeitherCrashNorStallTheRun) {
  SimFaults streaming;
  streaming.StreamForever = true;
  streaming.StreamBytes = {0xE6, 0x03, 0x00, 0xFD, 0xEB, 0xE6, 0x02, 0x43, 0xBD, 0xEB};
  SimFaults asking;
  asking.Silent = true;
  asking.StatusEveryMs = 10;
  const struct {
    const char* Name;
    SimFaults Faults;
  } cases[] = {
      {"a one-byte reply and a status C, streamed without end", streaming},
      {"silent, asking for its clock every 10 ms", asking},
  };
  for (const auto& c : cases) {
    TProgramFolder folder;
    ReaderSim hostile(readersim::SampleLog(20, 1), c.Faults);
    ReaderSim good(readersim::SampleLog(40, 2));
    folder.AddReader("127.0.0.1", QString::number(hostile.Port()), true, true, true);
    folder.AddReader("127.0.0.1", QString::number(good.Port()), true, true, true);
    ASSERT_TRUE(folder.RunProgram(RunLimitMs)) << c.Name;
    EXPECT_EQ(folder.ExitCode, 0) << c.Name;
    EXPECT_EQ(folder.RecordCount(), 40) << c.Name;
    EXPECT_EQ(good.LogSize(), 0u) << c.Name;
  }
}

// Holds a read snapshot of logs.mdb from another process, as someone browsing the file would.
class TSnapshotHolder {
 public:
  explicit TSnapshotHolder(const QString& Database) {
    Process.start("sqlite3", {Database});
    Process.write("BEGIN;\nSELECT COUNT(*) FROM records;\n.print held\n.shell sleep 60\nCOMMIT;\n");
    Process.closeWriteChannel();
    QByteArray output;
    while (!output.contains("held") && Process.waitForReadyRead(5000)) output += Process.readAllStandardOutput();
    Held = output.contains("held");
  }
  ~TSnapshotHolder() {
    Process.kill();
    Process.waitForFinished();
  }
  bool Held = false;

 private:
  QProcess Process;
};

// Under strace: between the last write into the log and the clear command leaving, the log
// must have been synced. A reader's snapshot makes a checkpoint impossible, so nothing else
// would put those records on the disk.
TEST(Hardening, TheLogIsSyncedBeforeTheClearEvenWhileAnotherProgramReads) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(100, 3));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, true);
  folder.Execute("PRAGMA journal_mode=WAL");  // as any run before this one left it
  const TSnapshotHolder reader(folder.DatabasePath());
  ASSERT_TRUE(reader.Held);
  const QString trace = folder.Path() + "trace";
  ASSERT_TRUE(folder.RunProgram(RunLimitMs, {},
                                {"strace", "-f", "-qq", "-y", "-x", "-o", trace, "-e",
                                 "trace=write,pwrite64,fsync,fdatasync,sendto"}));
  ASSERT_EQ(sim.LogSize(), 0u);
  QFile file(trace);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  bool walWritten = false;
  bool walSynced = false;
  bool clearSeen = false;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const bool onWal = line.contains("-wal>");
    if (onWal && (line.contains("write(") || line.contains("write64("))) walWritten = true, walSynced = false;
    if (onWal && line.contains("sync(")) walSynced = true;
    if (line.contains("sendto(") && line.contains("\\xe6\\x07\\x00\\x05\\x00")) {
      clearSeen = true;
      EXPECT_TRUE(walWritten);
      EXPECT_TRUE(walSynced) << "the clear left before the log was synced";
    }
  }
  EXPECT_TRUE(clearSeen);
}

TEST(Hardening, ALogsMdbThatCannotBeWrittenContactsNoReader) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(20, 4));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, true);
  QFile::setPermissions(folder.DatabasePath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
  // The folder stays writable, so only the file itself refuses; root would write it anyway.
  QFile::setPermissions(folder.Path(), QFileDevice::Permissions(0x7777));
  const QStringList asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  ASSERT_TRUE(folder.RunProgram(RunLimitMs, {}, ::geteuid() == 0 ? asNobody : QStringList{}));
  EXPECT_EQ(folder.ExitCode, 4);
  EXPECT_TRUE(folder.ErrorOutput.contains("<3>" + folder.DatabasePath() + ": the file " + folder.DatabasePath() +
                                          " may not be written by this user (nobody); give it to the group of its folder, as "
                                          "--init makes it: chgrp "))
      << folder.ErrorOutput.toStdString();
  EXPECT_TRUE(folder.ErrorOutput.contains(" && chmod 0660 " + folder.DatabasePath() + "; no reader contacted"))
      << folder.ErrorOutput.toStdString();
  EXPECT_EQ(sim.Connections(), 0);
}

// A user outside the group meets a folder it may not enter: every start says so and who may,
// rather than that the file is missing.
TEST(Hardening, AFolderThisUserMayNotEnterIsSaidSoWithTheGroupThatMay) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(20, 4));
  QFile::setPermissions(folder.Path(), QFileDevice::Permissions(0x7755));
  const QString data = folder.Path() + "data";
  ASSERT_TRUE(QDir().mkdir(data));
  constexpr gid_t SiteGroup = 61003;
  ASSERT_EQ(::chown(QFile::encodeName(data).constData(), 0, SiteGroup), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 02770), 0);
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, true);
  const QString database = data + "/logs.mdb";
  ASSERT_TRUE(QFile::copy(folder.DatabasePath(), database));
  const QString refusal = "the folder " + data + " may not be read or written by this user (nobody); members of the group 61003 may";
  const struct {
    const char* Options;
    int Exit;
    QString Said;
  } starts[] = {
      {"", 4, "<3>" + database + ": " + refusal + "; no reader contacted"},
      {"--watch", 4, "<3>" + database + ": " + refusal + "; no reader contacted"},
      {"--init", 4, "quillmere: cannot create " + database + ": " + refusal + "\n"},
      {"--check", 3, "QUILLMERE UNKNOWN - cannot read " + database + ": " + refusal + "\n"},
  };
  for (const auto& start : starts) {
    const QStringList asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  "sh", "-c", QStringLiteral("exec \"$0\" %1 >&2").arg(start.Options)};
    ASSERT_TRUE(folder.RunProgram(RunLimitMs, {"QUILLMERE_DATABASE=" + database}, asNobody));
    EXPECT_EQ(folder.ExitCode, start.Exit) << start.Options;
    EXPECT_TRUE(folder.ErrorOutput.contains(start.Said)) << folder.ErrorOutput.toStdString();
  }
  EXPECT_EQ(sim.Connections(), 0);
}

TEST(Hardening, ADisplayThatCannotBeReachedMeansNoWindows) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(20, 5));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  ASSERT_TRUE(folder.RunProgram(RunLimitMs, {"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=", "DISPLAY=:97"}));
  EXPECT_EQ(folder.ExitCode, 0) << folder.ErrorOutput.toStdString();
  EXPECT_EQ(folder.RecordCount(), 20);
}

// At a display, a box waits for a person, but the run does not: the later reader is collected and
// the lock released while the box is still up. A logs.mdb that cannot be used gets a box too.
TEST(Hardening, MessageBoxesNeverHoldTheRunOrItsLock) {
  const TXServer display;
  ASSERT_TRUE(display.Started());
  TProgramFolder folder;
  SimFaults gone;
  gone.GoneAfter = 4;  // the first page request: the reader goes away in mid-pass
  ReaderSim dropping(readersim::SampleLog(20, 1), gone);
  ReaderSim good(readersim::SampleLog(30, 2));
  folder.AddReader("127.0.0.1", QString::number(dropping.Port()), false, true, true);
  folder.AddReader("127.0.0.1", QString::number(good.Port()), false, true, true);
  QProcess run;
  folder.Start(run, display.Environment());
  QString output;
  ASSERT_TRUE(folder.AwaitRunReleased(run, output, RunLimitMs)) << output.toStdString();
  EXPECT_EQ(folder.RecordCount(), 30);
  EXPECT_TRUE(WaitUntil([&] { return display.ShowsWindow("Quillmere"); }, 10000));
  EXPECT_EQ(run.state(), QProcess::Running);
  run.kill();
  run.waitForFinished();

  QFile::remove(folder.DatabasePath());
  folder.Start(run, display.Environment());
  ASSERT_TRUE(WaitUntil([&] { return display.ShowsWindow("Quillmere"); }, RunLimitMs));
  EXPECT_EQ(run.state(), QProcess::Running);
  run.terminate();
  run.waitForFinished();
}

}  // namespace

