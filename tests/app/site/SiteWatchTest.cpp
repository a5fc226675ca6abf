#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include <sys/stat.h>

#include "Backup.h"
#include "ExitStatus.h"
#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

constexpr int LimitMs = 30000;

int Stored(const TProgramFolder& Folder) {
  return Folder.Query("SELECT COUNT(*) FROM records").value(0).toInt();
}

// Copies taken while a real watch stores live events and checkpoints its log: each passes
// integrity_check and is its owner's and group's alone under umask 0, and the watch goes on
// storing and stops cleanly afterwards.
TEST(SiteBackupUnderWatch, EachCopyIsWholeAndTheWatchGoesOn) {
  readersim::SimFaults faults;
  faults.EventEveryMs = 5;
  readersim::ReaderSim sim(readersim::SampleLog(300, 4), faults);
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  QProcess watch;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  watch.setProcessEnvironment(environment);
  watch.start(folder.Program(), {"--watch"});
  ASSERT_TRUE(watch.waitForStarted());
  ASSERT_TRUE(WaitUntil([&] { return Stored(folder) > 400; }, LimitMs));
  const mode_t umask = ::umask(0);
  for (int copy = 0; copy < 3; ++copy) {
    const QString path = folder.Path() + QStringLiteral("copy%1.mdb").arg(copy);
    const int stored = Stored(folder);
    ASSERT_EQ(BackupTo(folder.DatabasePath(), path, false), ExitCode(TExitStatus::Ok));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    TLogFolder check;
    ASSERT_TRUE(QFile::remove(check.DatabasePath()) && QFile::copy(path, check.DatabasePath()));
    EXPECT_EQ(check.Query("PRAGMA integrity_check"), QStringList{"ok"});
    EXPECT_GE(check.Query("SELECT COUNT(*) FROM records").value(0).toInt(), stored);
    ASSERT_TRUE(WaitUntil([&] { return Stored(folder) > stored + 50; }, LimitMs)) << "the watch stopped storing";
  }
  ::umask(umask);
  watch.terminate();
  ASSERT_TRUE(watch.waitForFinished(LimitMs));
  EXPECT_EQ(watch.exitCode(), ExitCode(TExitStatus::Ok)) << watch.readAllStandardError().toStdString();
}

}  // namespace
