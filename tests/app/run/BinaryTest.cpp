#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <vector>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

class Binary : public testing::Test {
 protected:
  TProgramFolder Folder;
};

TEST_F(Binary, WithoutADatabaseItEndsAtOnceAndCreatesNone) {
  QFile::remove(Folder.DatabasePath());
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.ExitCode, 3);
  EXPECT_FALSE(QFile::exists(Folder.DatabasePath()));
}

TEST_F(Binary, AnEmptyReadersTableEndsCleanly) {
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.ExitCode, 0);
  EXPECT_EQ(Folder.RecordCount(), 0);
}

TEST_F(Binary, CollectsAReaderOnceAndASecondRunAddsNothing) {
  ReaderSim sim(readersim::SampleLog(100, 4));
  Folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.RecordCount(), 100);
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.ExitCode, 0);
  EXPECT_EQ(Folder.RecordCount(), 100);
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
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.ExitCode, 0);
  EXPECT_EQ(dead.Commands().size(), 3u);
  EXPECT_EQ(Folder.Query("SELECT DISTINCT READER FROM records"), QStringList{"localhost"});
  EXPECT_EQ(Folder.RecordCount(), 40);
  EXPECT_EQ(alive.LogSize(), 0u);
}

TEST_F(Binary, APortTextThatIsNoNumberStopsTheRunWithItsMessage) {
  ReaderSim later(readersim::SampleLog(5, 6));
  Folder.AddReader("127.0.0.1", "gate-port", false, true, false);
  Folder.AddReader("127.0.0.1", QString::number(later.Port()), false, true, false);
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.ExitCode, 1);
  EXPECT_TRUE(Folder.ErrorOutput.contains("<3>127.0.0.1:gate-port bad_row: 'gate-port' is not a valid integer value "
                                          "(readers row 1, column ipport)\n"))
      << Folder.ErrorOutput.toStdString();
  EXPECT_EQ(later.Connections(), 0);
}

// With the product's own waits: a lock answered after 2.5 s (reply wait 3 s) and a clear
// answered after 5.5 s (its wait 8 s) are each taken at the first try, and no command leaves
// before the line has been quiet for 200 ms.
TEST_F(Binary, TheRealWaitsTakeLateRepliesAndKeepTheQuiet) {
  readersim::SimFaults slow;
  slow.ReplyDelayMsFor = {{0x00, 2500}, {0x05, 5500}};
  ReaderSim sim(readersim::SampleLog(40, 7), slow);
  Folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, true);
  ASSERT_TRUE(Folder.RunProgram());
  EXPECT_EQ(Folder.RecordCount(), 40);
  EXPECT_EQ(sim.LogSize(), 0u);
  EXPECT_FALSE(sim.Locked());
  EXPECT_EQ(sim.Connections(), 1);  // no missed reply, so no reconnect
  const std::vector<int> quiet = sim.QuietBeforeMs();
  ASSERT_EQ(quiet.size(), 9u);  // lock, clock, options, capacity twice, two pages, clear, unlock
  EXPECT_GE(*std::min_element(quiet.begin(), quiet.end()), 195);
}

}  // namespace
