#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "ReaderSim.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;

constexpr int RunLimitMs = 90000;

// The real program, copied beside a logs.mdb in a folder of its own.
class Binary : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(QFile::copy(QStringLiteral(QUILLMERE_BINARY), Program())); }
  QString Program() const { return Folder.Path() + "quillmere"; }

  // Runs the program to its end with the simulators serving on this thread's side.
  int RunProgram() {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(Program(), {});
    EXPECT_TRUE(process.waitForFinished(RunLimitMs));
    ErrorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    return process.exitCode();
  }
  int Count() const { return Folder.Query("SELECT COUNT(*) FROM records").front().toInt(); }

  TLogFolder Folder;
  QString ErrorOutput;
};

TEST_F(Binary, WithoutADatabaseItEndsAtOnceAndCreatesNone) {
  QFile::remove(Folder.DatabasePath());
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_FALSE(QFile::exists(Folder.DatabasePath()));
}

TEST_F(Binary, AnEmptyReadersTableEndsCleanly) {
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_EQ(Count(), 0);
}

TEST_F(Binary, CollectsAReaderOnceAndASecondRunAddsNothing) {
  ReaderSim sim(readersim::SampleLog(100, 4));
  Folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_EQ(Count(), 100);
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_EQ(Count(), 100);
  EXPECT_FALSE(sim.Locked());
  EXPECT_EQ(Folder.Query("PRAGMA integrity_check"), QStringList{"ok"});
}

TEST_F(Binary, ASilentReaderIsPassedAndTheNextOneCollectedWithClear) {
  readersim::SimFaults silent;
  silent.Silent = true;
  ReaderSim dead({}, silent);
  ReaderSim alive(readersim::SampleLog(40, 5));
  Folder.AddReader("127.0.0.1", QString::number(dead.Port()), false, true, true);
  Folder.AddReader("localhost", QString::number(alive.Port()), false, true, true);
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_EQ(dead.Commands().size(), 3u);
  EXPECT_EQ(Folder.Query("SELECT DISTINCT READER FROM records"), QStringList{"localhost"});
  EXPECT_EQ(Count(), 40);
  EXPECT_EQ(alive.LogSize(), 0u);
}

TEST_F(Binary, APortTextThatIsNoNumberStopsTheRunWithItsMessage) {
  ReaderSim later(readersim::SampleLog(5, 6));
  Folder.AddReader("127.0.0.1", "gate-port", false, true, false);
  Folder.AddReader("127.0.0.1", QString::number(later.Port()), false, true, false);
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_TRUE(ErrorOutput.contains("'gate-port' is not a valid integer value")) << ErrorOutput.toStdString();
  EXPECT_EQ(later.Connections(), 0);
}

}  // namespace
